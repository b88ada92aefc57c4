#include "surface/surfrout.h"

surfaceroutingclass::surfaceroutingclass(int& error, DiagStream* diagnostics, StatRecord* registry,
                                         int registryCapacity, const std::string& workFileName,
                                         const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "SurfaceRoutingModel", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "surface routing", modulname, kNotAvailable);
}

void surfaceroutingclass::Unavailable() {
  throw ReportModuleNotAvailable(diag, "surface routing", modulname, kNotAvailable);
}

void surfaceroutingclass::SetQBb(double* values) {
  qbb = values;
}

void surfaceroutingclass::SetKelsqd(double* values) {
  kelsqd = values;
}

void surfaceroutingclass::SetKelsqi(double* values) {
  kelsqi = values;
}

void surfaceroutingclass::ReadStorageFile(const std::string& fileName, int readParameter) {
  (void)fileName;
  (void)readParameter;
}

double* surfaceroutingclass::GetQg() {
  return nullptr;
}

void surfaceroutingclass::StartStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void surfaceroutingclass::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void surfaceroutingclass::RouteToOutlets(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void surfaceroutingclass::WriteStatistics() {
  if (flowcontrol != 0) Unavailable();
}

void surfaceroutingclass::ReleaseMemory(bool append) {
  (void)append;
  FreeMemory();
}

void surfaceroutingclass::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
