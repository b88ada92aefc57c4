// The discharge routing sub-model, section "[routing_model]". This build holds its frame:
// the section head is read and a module that is off does nothing; a module
// that is switched on ends the run with error 510, since its computation is
// not part of this build.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class abflussmodellklasse : public teilmodellklasse {
 public:
  static constexpr int kNotAvailable = 510;
  abflussmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                      const std::string& workFileName, const SubModelArgs& common, int tracerCount,
                      TracerRecord* tracerRecords, int storageReadParameter, int subSteps = 1);

  virtual void SetDischarges(double* runoff);
  virtual void CountLakeCellsPerRank();
  virtual void InitRouting();
  virtual void SetSubbasinTable(SubbasinIrrigation* table);
  virtual void SetRiverflowTable(RiverflowTable* table);
  virtual void ReadStorageContent(const std::string& fileName, int readParameter);
  virtual double* GetMaxIrrigation();
  virtual double* GetMaxIrrigationFromReservoirs();
  virtual int* GetRoutingTarget();
  virtual double* GetRoutingDischarge();
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void FlushOutputs();
  void FreeMemory() override;

 private:
  // A per-step call of a module that is switched on.
  void Unavailable();
  double* discharges = nullptr;
  RiverflowTable* riverflow = nullptr;
};
