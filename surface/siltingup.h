// The silting-up sub-model, section "[SiltingUpModel]". This build holds its frame:
// the section head is read and a module that is off does nothing; a module
// that is switched on ends the run with error 507, since its computation is
// not part of this build.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class siltingupclass : public teilmodellklasse {
 public:
  static constexpr int kNotAvailable = 507;
  siltingupclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                 const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  virtual void SetPrecipitationSource(int interceptionFirst);
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void WriteStatistics();
  void FreeMemory() override;

 private:
  // A per-step call of a module that is switched on.
  void Unavailable();
  int precipitationsource = 0;
};
