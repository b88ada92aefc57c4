#include "routing/irrigate.h"

irrigationclass::irrigationclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                                 const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "irrigation", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "irrigation", modulname, kNotAvailable);
}

void irrigationclass::Unavailable() {
  throw ReportModuleNotAvailable(diag, "irrigation", modulname, kNotAvailable);
}

ZoneRecord* irrigationclass::GetSubbasinTable() {
  return nullptr;
}

void irrigationclass::SetRiverflowTable(RiverflowTable* table) {
  riverflow = table;
}

void irrigationclass::SetQg(double* runoff) {
  qg = runoff;
}

void irrigationclass::InitTracerStorage() {
  if (flowcontrol != 0) Unavailable();
}

void irrigationclass::SetMaxIrrigation(double** fromRivers, double** fromReservoirs) {
  (void)fromRivers;
  (void)fromReservoirs;
}

void irrigationclass::SetRoutingTarget(int** targets) {
  (void)targets;
}

void irrigationclass::SetRoutingDischarge(double** discharge) {
  (void)discharge;
}

void irrigationclass::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void irrigationclass::WriteStatistics() {
  if (flowcontrol != 0) Unavailable();
}

void irrigationclass::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
