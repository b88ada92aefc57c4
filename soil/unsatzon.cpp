#include "soil/unsatzon.h"

unsatzonmodellklasse::unsatzonmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry,
                                           int registryCapacity, const std::string& workFileName,
                                           const SubModelArgs& common, IrrigationTable* irrigationTable, int subSteps)
    : teilmodellklasse(diagnostics, "unsatzon_model", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  (void)irrigationTable;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "unsaturated zone", modulname, kNotAvailable);
}

void unsatzonmodellklasse::Unavailable() {
  throw ReportModuleNotAvailable(diag, "unsaturated zone", modulname, kNotAvailable);
}

void unsatzonmodellklasse::SelectInfiltrationInput(int interceptionFirst) {
  infiltrationinput = interceptionFirst;
}

void unsatzonmodellklasse::SetDumpOptions(char dumpMode, char closeAfterDump, char repairAfterDump,
                                          int64_t maxDumpFiles) {
  dumpmode = dumpMode;
  closeafterdump = closeAfterDump;
  repairafterdump = repairAfterDump;
  maxdumpfiles = maxDumpFiles;
}

double* unsatzonmodellklasse::GetQBb() {
  return nullptr;
}

double* unsatzonmodellklasse::GetKelsqd() {
  return nullptr;
}

double* unsatzonmodellklasse::GetKelsqi() {
  return nullptr;
}

double* unsatzonmodellklasse::GetQg() {
  return nullptr;
}

RiverflowTable* unsatzonmodellklasse::GetRiverflowTable() {
  return nullptr;
}

std::string unsatzonmodellklasse::GetStorageFileName() {
  return std::string();
}

void unsatzonmodellklasse::SetSurfaceRoutingActive(int active) {
  surfaceroutingactive = active;
}

void unsatzonmodellklasse::SetGroundwaterCoupling(int coupled) {
  groundwatercoupling = coupled;
}

int unsatzonmodellklasse::GetStorageReadParameter() {
  return 0;
}

void unsatzonmodellklasse::ComputeDrainablePoreVolume() {
  if (flowcontrol != 0) Unavailable();
}

void unsatzonmodellklasse::StartStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void unsatzonmodellklasse::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void unsatzonmodellklasse::RouteSubbasinRunoff(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void unsatzonmodellklasse::ApplyExternalGWTable(int externalStepMinutes) {
  (void)externalStepMinutes;
}

void unsatzonmodellklasse::WriteStatFiles() {
  if (flowcontrol != 0) Unavailable();
}

void unsatzonmodellklasse::Finish(bool append) {
  (void)append;
  FreeMemory();
}

void unsatzonmodellklasse::PreSpinUpStep(int64_t, int64_t, int64_t, int64_t) {
  // The pre-SpinUp needs the soil heat transport of the unsaturated zone.
  throw ReportModuleNotAvailable(diag, "unsaturated zone (heat transport of the temperature pre-SpinUp)", modulname,
                                 kNotAvailable);
}

void unsatzonmodellklasse::SetPreSpinUpSoilTemperature() {
  Unavailable();
}

ZoneRecord* unsatzonmodellklasse::GetZoneRecords() {
  return zonerecords;
}

int* unsatzonmodellklasse::GetZoneIndex() {
  return zoneindex;
}

int unsatzonmodellklasse::GetZoneCount() {
  return zonecount;
}

int unsatzonmodellklasse::GetMaxZoneCode() {
  return maxzonecode;
}

void unsatzonmodellklasse::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
