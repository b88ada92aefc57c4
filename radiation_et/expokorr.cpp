#include "radiation_et/expokorr.h"

expokorrklasse::expokorrklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                               const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "radiation_correction", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "radiation correction", modulname, kNotAvailable);
}

void expokorrklasse::Unavailable() {
  throw ReportModuleNotAvailable(diag, "radiation correction", modulname, kNotAvailable);
}

void expokorrklasse::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

Grid expokorrklasse::GetRadiationCorrectionGrid() {
  return nullptr;
}

void expokorrklasse::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
