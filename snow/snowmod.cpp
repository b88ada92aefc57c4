#include "snow/snowmod.h"

schneemodellklasse::schneemodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                                       const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "snow_model", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "snow model", modulname, kNotAvailable);
}

void schneemodellklasse::Unavailable() {
  throw ReportModuleNotAvailable(diag, "snow model", modulname, kNotAvailable);
}

void schneemodellklasse::SetRadiationCorrectionGrid(Grid grid) {
  radiationcorrection = grid;
}

Grid schneemodellklasse::GetSolidSnowStorageGrid() {
  return nullptr;
}

int schneemodellklasse::GetMethod() {
  return 0;
}

void schneemodellklasse::SetPrecipitationSource(int interceptionFirst) {
  precipitationsource = interceptionFirst;
}

void schneemodellklasse::InitLakes(const std::string& section) {
  (void)section;
}

void schneemodellklasse::SetQg(double* runoff) {
  qg = runoff;
}

void schneemodellklasse::ReadStorageFile(const std::string& fileName, int readParameter) {
  (void)fileName;
  (void)readParameter;
}

void schneemodellklasse::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void schneemodellklasse::WriteStatistics() {
  if (flowcontrol != 0) Unavailable();
}

void schneemodellklasse::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
