// The irrigation sub-model, section "[irrigation]". This build holds its frame:
// the section head is read and a module that is off does nothing; a module
// that is switched on ends the run with error 509, since its computation is
// not part of this build.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class irrigationclass : public teilmodellklasse {
 public:
  static constexpr int kNotAvailable = 509;
  irrigationclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                  const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  virtual ZoneRecord* GetSubbasinTable();
  virtual void SetRiverflowTable(RiverflowTable* table);
  virtual void SetQg(double* runoff);
  virtual void InitTracerStorage();
  virtual void SetMaxIrrigation(double** fromRivers, double** fromReservoirs);
  virtual void SetRoutingTarget(int** targets);
  virtual void SetRoutingDischarge(double** discharge);
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void WriteStatistics();
  void FreeMemory() override;

 private:
  // A per-step call of a module that is switched on.
  void Unavailable();
  RiverflowTable* riverflow = nullptr;
  double* qg = nullptr;
};
