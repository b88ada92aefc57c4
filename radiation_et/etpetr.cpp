#include "radiation_et/etpetr.h"

verdunstungsmodellklasse::verdunstungsmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry,
                                                   int registryCapacity, const std::string& workFileName,
                                                   const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "evapotranspiration", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "evapotranspiration", modulname, kNotAvailable);
}

void verdunstungsmodellklasse::Unavailable() {
  throw ReportModuleNotAvailable(diag, "evapotranspiration", modulname, kNotAvailable);
}

void verdunstungsmodellklasse::SetRadiationCorrectionGrid(Grid grid) {
  radiationcorrection = grid;
}

void verdunstungsmodellklasse::SetSolidSnowStorageGrid(Grid grid) {
  solidsnow = grid;
}

void verdunstungsmodellklasse::SetSnowMethod(int method) {
  snowmethod = method;
}

void verdunstungsmodellklasse::InitLakes(const std::string& section) {
  (void)section;
}

void verdunstungsmodellklasse::PotentialEvapotranspiration(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void verdunstungsmodellklasse::SnowEvaporationOnGlacier(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void verdunstungsmodellklasse::RealEvapotranspiration(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void verdunstungsmodellklasse::SubStepHook(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void verdunstungsmodellklasse::AccumulateZoneStatistics(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void verdunstungsmodellklasse::WriteStatistics() {
  if (flowcontrol != 0) Unavailable();
}

void verdunstungsmodellklasse::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
