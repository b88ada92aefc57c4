// The evapotranspiration sub-model, section "[evapotranspiration]". This build holds its frame:
// the section head is read and a module that is off does nothing; a module
// that is switched on ends the run with error 502, since its computation is
// not part of this build.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class verdunstungsmodellklasse : public teilmodellklasse {
 public:
  static constexpr int kNotAvailable = 502;
  verdunstungsmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                           const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  virtual void SetRadiationCorrectionGrid(Grid grid);
  virtual void SetSolidSnowStorageGrid(Grid grid);
  virtual void SetSnowMethod(int method);
  virtual void InitLakes(const std::string& section);
  virtual void PotentialEvapotranspiration(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void SnowEvaporationOnGlacier(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void RealEvapotranspiration(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void SubStepHook(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void AccumulateZoneStatistics(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void WriteStatistics();
  void FreeMemory() override;

 private:
  // A per-step call of a module that is switched on.
  void Unavailable();
  Grid radiationcorrection = nullptr;
  Grid solidsnow = nullptr;
  int snowmethod = 0;
};
