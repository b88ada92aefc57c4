// The snow model sub-model, section "[snow_model]". This build holds its frame:
// the section head is read and a module that is off does nothing; a module
// that is switched on ends the run with error 504, since its computation is
// not part of this build.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class schneemodellklasse : public teilmodellklasse {
 public:
  static constexpr int kNotAvailable = 504;
  schneemodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                     const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  virtual void SetRadiationCorrectionGrid(Grid grid);
  virtual Grid GetSolidSnowStorageGrid();
  virtual int GetMethod();
  virtual void SetPrecipitationSource(int interceptionFirst);
  virtual void InitLakes(const std::string& section);
  virtual void SetQg(double* runoff);
  virtual void ReadStorageFile(const std::string& fileName, int readParameter);
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void WriteStatistics();
  void FreeMemory() override;

 private:
  // A per-step call of a module that is switched on.
  void Unavailable();
  Grid radiationcorrection = nullptr;
  int precipitationsource = 0;
  double* qg = nullptr;
};
