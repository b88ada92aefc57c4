// The surface routing sub-model, section "[SurfaceRoutingModel]". This build holds its frame:
// the section head is read and a module that is off does nothing; a module
// that is switched on ends the run with error 508, since its computation is
// not part of this build.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class surfaceroutingclass : public teilmodellklasse {
 public:
  static constexpr int kNotAvailable = 508;
  surfaceroutingclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                      const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  virtual void SetQBb(double* values);
  virtual void SetKelsqd(double* values);
  virtual void SetKelsqi(double* values);
  virtual void ReadStorageFile(const std::string& fileName, int readParameter);
  virtual double* GetQg();
  virtual void StartStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void RouteToOutlets(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void WriteStatistics();
  virtual void ReleaseMemory(bool append);
  void FreeMemory() override;

 private:
  // A per-step call of a module that is switched on.
  void Unavailable();
  double* qbb = nullptr;
  double* kelsqd = nullptr;
  double* kelsqi = nullptr;
};
