#include "soil/gwflow.h"

gwflowclass::gwflowclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                         const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "groundwater_flow", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "groundwater flow", modulname, kNotAvailable);
}

void gwflowclass::Unavailable() {
  throw ReportModuleNotAvailable(diag, "groundwater flow", modulname, kNotAvailable);
}

void gwflowclass::SetRiverflowTable(RiverflowTable* table) {
  riverflow = table;
}

void gwflowclass::SetQg(double* runoff) {
  qg = runoff;
}

void gwflowclass::StartStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void gwflowclass::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void gwflowclass::WriteGrids(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void gwflowclass::WriteStatistics() {
  if (flowcontrol != 0) Unavailable();
}

void gwflowclass::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
