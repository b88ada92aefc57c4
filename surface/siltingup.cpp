#include "surface/siltingup.h"

siltingupclass::siltingupclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                               const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "SiltingUpModel", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "silting-up", modulname, kNotAvailable);
}

void siltingupclass::Unavailable() {
  throw ReportModuleNotAvailable(diag, "silting-up", modulname, kNotAvailable);
}

void siltingupclass::SetPrecipitationSource(int interceptionFirst) {
  precipitationsource = interceptionFirst;
}

void siltingupclass::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void siltingupclass::WriteStatistics() {
  if (flowcontrol != 0) Unavailable();
}

void siltingupclass::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
