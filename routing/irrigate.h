// The irrigation sub-model, section "[irrigation]": per cell an amount [mm per
// step] by a calendar, by the soil moisture of the root zone or by the ratio
// of real to potential evapotranspiration, taken from groundwater (up to the
// cell's pumping capacity) or from the rivers and reservoirs of the routing,
// written to "irrigation_amounts" and added to "precipitation".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/exactsum.h"
#include "framework/irrigationtable.h"
#include "framework/submodelframe.h"
#include "framework/zonalstatistic.h"

class irrigationclass : public teilmodellklasse {
 public:
  // table: record 0's code is the number of records 1 ... count.
  irrigationclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                  const std::string& workFileName, const SubModelArgs& common, IrrigationTable* table = nullptr,
                  int subSteps = 1);
  ~irrigationclass() override;

  virtual ZoneRecord* GetSubbasinTable();
  virtual void SetRiverflowTable(RiverflowTable* table);
  virtual void SetQg(double* runoff);
  virtual void InitTracerStorage();
  virtual void SetMaxIrrigation(double** fromRivers, double** fromReservoirs);
  virtual void SetRoutingTarget(int** targets);
  virtual void SetRoutingDischarge(double** discharge);
  void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity) override;
  void FreeTracerArrays() override;
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void WriteStatistics();
  // The fields' running irrigations (what each asks per step) and what each
  // asked of the river in the last step are state: the sections
  // "[irrigation]" and "[irrigation_asked_of_the_river]" of instance 0's
  // storage content file, read with the soil's storage read parameter (1 or
  // 3) and written at the end.
  void ReadStorageFile(const std::string& fileName, int readParameter);
  void WriteStorageFile();
  void FreeMemory() override;

  // Read access for the tests.
  const ZoneRecord* GroundwaterRecords() const { return fromGroundwater.data(); }

 private:
  [[noreturn]] void NoRouting(const std::string& head, const std::string& what);
  void AddCell(zonalstatistic& writer, std::vector<ZoneRecord>& table, int r, int c, int k, double value, double w);
  // A cell of the instance's rows that the instance owns, with a subbasin.
  bool OwnCell(Grid zone, int r, int c) const;
  // Per subbasin, the share of what its fields asked of the river in the
  // step before that reaches them in this step (computed on instance 0,
  // known to every instance).
  void RiverShare();
  // The days of the calendar that the step covers, each with the minutes of
  // it that fall in the step.
  void CoveredDays(int64_t hour, int64_t day, int64_t month, int64_t year);
  // The amounts of the instance's cells (surface water as demanded).
  void CellPass();
  // The share of each subbasin's surface-water demand that the reservoirs
  // and rivers give (computed on instance 0, known to every instance).
  void SurfaceWaterSupply();
  // Scales the surface-water amounts by that share and books every amount:
  // statistics, tracers, and the precipitation of the cell.
  void BookAmounts();

  IrrigationTable* table = nullptr;
  int records = 0;
  int precipitation = 0, codes = 0, maxPumping = 0, amounts = 0, soilMoisture = 0, lower = 0, upper = 0, etrRatio = 0,
      rootDepth = 0;
  std::vector<ZoneRecord> fromGroundwater, fromSurface;
  // Per subbasin, the surface water given in the step (sx over RelCellSum:
  // mm over the subbasin's cells), read and changed by the routing.
  std::vector<ZoneRecord> demandRecords;
  // Per cell (rows 0 ... nrows by columns 0 ... ncols): what the field asks
  // in the step [mm], kept from step to step apart from what it is given.
  std::vector<double> demand;
  // Per cell (as demand): what the field asked of the river in the last
  // step [mm], which the river water in transit to the fields answers.
  std::vector<double> pending;
  // Per cell (as demand), for steps of a day or more: the root zone's water
  // with the river water on its way at the last step [mm; 0 unknown], and
  // the water the last step gave the field at once (rain, groundwater,
  // reservoir).
  std::vector<double> rootZone, givenAtOnce;
  // Per cell (as demand), for steps of a day or more: the rate of an
  // irrigation the last step ended on its prediction that the root zone
  // reaches the upper limit within it (0 none); the next step judges that
  // end on the root zone it finds.
  std::vector<double> endedAt;
  // Per cell (as demand), in the state only: the share of its subbasin's
  // demand that the reservoir gave in the last step (supply's first block),
  // read back into supply at a warm start's first step.
  std::vector<double> reservoirShare;
  bool reservoirShareRead = false;
  // Per cell (as demand), in the state only: the root zone's mean water
  // content the soil left at the end (SB_1_grid), which a warm start's first
  // step sees in place of what the soil reckons from its state.
  std::vector<double> waterContent;
  bool waterContentRead = false;
  std::vector<double>& StateOf(const char* section);
  // Per subbasin: amounts demanded from surface water [mm x relative cell
  // areas], and those asked of the river in the last step, summed exactly
  // (the same on any number of instances).
  std::vector<ExactSum> surfaceSum, pendingSum;
  // Per subbasin, blocks of n + 1: the reservoir's share of the demand, the
  // river water in transit per mm asked of it, then per tracer the
  // reservoir's concentrations, then those of the water in transit.
  std::vector<double> supply;
  // Per subbasin: the river water in transit per mm asked of it.
  std::vector<double> riverShare;
  struct CoveredDay {
    int64_t month = 0, day = 0;
    double minutes = 0;
  };
  std::vector<CoveredDay> coveredDays;  // of the current step
  bool strandedWarned = false;
  std::unique_ptr<zonalstatistic> groundwaterStatistic, surfaceStatistic;
  double** maxirrig = nullptr;
  double** maxirrigFromReservoirs = nullptr;
  int** routingTarget = nullptr;
  double** abfrel = nullptr;
  RiverflowTable* riverflow = nullptr;
  double* qg = nullptr;
  std::vector<int> tracerStorage;  // 1 ... tracers, grid-list positions
  std::vector<int> tracerInput;
  // Methods 3 and 4: cells of the step whose inputs miss a value, the first
  // of them (its grid-list position, row, column and record), and whether it
  // has been said.
  static bool Missing(double v) { return !(v > -9999.0); }
  int missingCells = 0, missingGrid = 0, missingRow = 0, missingColumn = 0, missingRecord = 0;
  bool missingWarned = false;
  std::string storagefile;  // the storage content file (empty: no state written)
  bool Off() const { return flowcontrol == 0 || SpinUp == 1; }
};
