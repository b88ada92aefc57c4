#include "radiation_et/interzep.h"

interzeptionsmodellklasse::interzeptionsmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry,
                                                     int registryCapacity, const std::string& workFileName,
                                                     const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "interception_model", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "interception", modulname, kNotAvailable);
}

void interzeptionsmodellklasse::Unavailable() {
  throw ReportModuleNotAvailable(diag, "interception", modulname, kNotAvailable);
}

int interzeptionsmodellklasse::GetMethod() {
  return 0;
}

void interzeptionsmodellklasse::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void interzeptionsmodellklasse::WriteStatistics() {
  if (flowcontrol != 0) Unavailable();
}

void interzeptionsmodellklasse::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
