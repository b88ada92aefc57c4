#include "routing/abfluss.h"

abflussmodellklasse::abflussmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry,
                                         int registryCapacity, const std::string& workFileName,
                                         const SubModelArgs& common, int tracerCount, TracerRecord* tracerRecords,
                                         int storageReadParameter, int subSteps)
    : teilmodellklasse(diagnostics, "routing_model", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  (void)tracerCount;
  (void)tracerRecords;
  (void)storageReadParameter;
  error = 0;
  if (flowcontrol != 0) error = ReportModuleNotAvailable(diag, "discharge routing", modulname, kNotAvailable);
}

void abflussmodellklasse::Unavailable() {
  throw ReportModuleNotAvailable(diag, "discharge routing", modulname, kNotAvailable);
}

void abflussmodellklasse::SetDischarges(double* runoff) {
  discharges = runoff;
}

void abflussmodellklasse::CountLakeCellsPerRank() {
  if (flowcontrol != 0) Unavailable();
}

void abflussmodellklasse::InitRouting() {
  if (flowcontrol != 0) Unavailable();
}

void abflussmodellklasse::SetSubbasinTable(SubbasinIrrigation* table) {
  (void)table;
}

void abflussmodellklasse::SetRiverflowTable(RiverflowTable* table) {
  riverflow = table;
}

void abflussmodellklasse::ReadStorageContent(const std::string& fileName, int readParameter) {
  (void)fileName;
  (void)readParameter;
}

double* abflussmodellklasse::GetMaxIrrigation() {
  return nullptr;
}

double* abflussmodellklasse::GetMaxIrrigationFromReservoirs() {
  return nullptr;
}

int* abflussmodellklasse::GetRoutingTarget() {
  return nullptr;
}

double* abflussmodellklasse::GetRoutingDischarge() {
  return nullptr;
}

void abflussmodellklasse::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol != 0) Unavailable();
}

void abflussmodellklasse::FlushOutputs() {
  if (flowcontrol != 0) Unavailable();
}

void abflussmodellklasse::FreeMemory() {
  teilmodellklasse::FreeMemory();
}
