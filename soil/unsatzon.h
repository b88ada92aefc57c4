// The unsaturated zone sub-model, section "[unsatzon_model]". This build holds its frame:
// the section head is read and a module that is off does nothing; a module
// that is switched on ends the run with error 505, since its computation is
// not part of this build.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class unsatzonmodellklasse : public teilmodellklasse {
 public:
  static constexpr int kNotAvailable = 505;
  unsatzonmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                       const std::string& workFileName, const SubModelArgs& common, IrrigationTable* irrigationTable,
                       int subSteps = 1);

  virtual void SelectInfiltrationInput(int interceptionFirst);
  virtual void SetDumpOptions(char dumpMode, char closeAfterDump, char repairAfterDump, int64_t maxDumpFiles);
  virtual double* GetQBb();
  virtual double* GetKelsqd();
  virtual double* GetKelsqi();
  virtual double* GetQg();
  virtual RiverflowTable* GetRiverflowTable();
  virtual std::string GetStorageFileName();
  virtual void SetSurfaceRoutingActive(int active);
  virtual void SetGroundwaterCoupling(int coupled);
  virtual int GetStorageReadParameter();
  virtual void ComputeDrainablePoreVolume();
  virtual void StartStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void RouteSubbasinRunoff(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void ApplyExternalGWTable(int externalStepMinutes);
  virtual void WriteStatFiles();
  virtual void Finish(bool append);
  virtual void PreSpinUpStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void SetPreSpinUpSoilTemperature();
  virtual ZoneRecord* GetZoneRecords();
  virtual int* GetZoneIndex();
  virtual int GetZoneCount();
  virtual int GetMaxZoneCode();
  void FreeMemory() override;

 private:
  // A per-step call of a module that is switched on.
  void Unavailable();
  int infiltrationinput = 0;
  char dumpmode = 0;
  char closeafterdump = 0;
  char repairafterdump = 0;
  int64_t maxdumpfiles = 0;
  int surfaceroutingactive = 0;
  int groundwatercoupling = 0;
};
