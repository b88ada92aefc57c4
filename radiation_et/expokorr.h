// The radiation correction sub-model, section "[radiation_correction]". This build holds its frame:
// the section head is read and a module that is off does nothing; a module
// that is switched on ends the run with error 501, since its computation is
// not part of this build.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class expokorrklasse : public teilmodellklasse {
 public:
  static constexpr int kNotAvailable = 501;
  expokorrklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                 const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual Grid GetRadiationCorrectionGrid();
  void FreeMemory() override;

 private:
  // A per-step call of a module that is switched on.
  void Unavailable();
};
