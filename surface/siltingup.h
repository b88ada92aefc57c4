// The silting-up sub-model, section "[SiltingUpModel]": sealing of a bare
// soil surface by the kinetic energy of rain. Per cell and step it keeps the
// rain pause, the days since the last soil tillage and the kinetic energy of
// the current rain event, derives an infiltration capacity of the sealed
// surface and turns the water input above it into direct runoff
// ("DirectRunoffSiltingUp", mm per step), taken out of the water-input grid
// that the unsaturated zone reads next.
//
// Methods 1 and 2 use a parametric formula (built-in parameters A to H, or
// parameters from the control file); method 3 evaluates the formulas of the
// "SiltingUpExpressions" block per cell (surface/evaluator.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/submodelframe.h"
#include "surface/evaluator.h"

class siltingupclass : public teilmodellklasse {
 public:
  // The five grids of the module in their grid-list order.
  enum OwnGrid { kDisposition, kRainPause, kKineticEnergy, kTillageTime, kDirectRunoff, kOwnGrids };

  siltingupclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                 const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);
  ~siltingupclass() override;
  siltingupclass(const siltingupclass&) = delete;
  siltingupclass& operator=(const siltingupclass&) = delete;

  // interceptionFirst: 1 when interception runs before snow. Chooses the
  // water-input grid once; later calls keep the first choice.
  virtual void SetPrecipitationSource(int interceptionFirst);
  void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity) override;
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  virtual void WriteStatistics();
  void FreeTracerArrays() override;
  void FreeMemory() override;

  int GetMethod() const { return method; }
  // Days; subbasin index 1 ... number of subbasins.
  double GetMinimumRainPause(int index) const { return minrainpause[index]; }
  int GetRainPauseCode(int index) const { return rainpausecode[index]; }
  const std::vector<std::string>& GetExpressions() const { return expressions; }
  const double* GetParameters() const { return parameter; }  // A ... H
  int GetGridPosition(OwnGrid k) const { return position[k]; }
  Grid GetOwnGrid(OwnGrid k) const { return own[k]; }
  int GetWaterInputPosition() const { return inputposition; }

 private:
  // Subbasin index of a zone-grid code; 0 for a code outside the zone table.
  int SubbasinOf(double code) const {
    const int k = static_cast<int>(code);
    return k >= 1 && k <= maxzonecode ? zoneindex[k] : 0;
  }
  void Construct(StatRecord* registry, int capacity);
  void ReadSection();
  void ReadRainPauseTable();
  [[noreturn]] void RainPauseError(const std::string& what);
  void ReadExpressions();
  void CreateStatistics(StatRecord* registry, int capacity);
  void CreateGrids();
  // One time step over the own rows; returns the first error code (0: none).
  void CellLoop(int64_t day, int64_t month, int64_t year);
  void SerialPass();
  void ReleaseGrids();

  struct Statistic {
    std::vector<ZoneRecord> zones;
    std::unique_ptr<zonalstatistic> writer;
    std::string file;
    int code = 0;
  };

  int method = 1;
  double parameter[8] = {65.0, 12.2, 0.52, -0.64, 0.013, -1.03, 0.7, -0.19};
  std::vector<std::string> expressions;
  std::vector<ExpressionParser::Program> programs;  // translated once, run per cell
  size_t secondgroup = 0;                           // first formula evaluated after the new kinetic energy is known
  std::vector<double> minrainpause;                 // days, subbasin index 0 ... n
  std::vector<int> rainpausecode;                   // code of each table column, -1 for copies

  int layers = 1;
  std::vector<Grid> landuse;   // layers 1 ... L
  std::vector<Grid> vegcover;  // layers 1 ... L
  Grid soil = nullptr;
  Grid elevation = nullptr;
  Grid surfacestorage = nullptr;  // "SurfStorSiltingUp", mm
  Grid input = nullptr;           // water input of the step, mm; changed in place
  int inputposition = 0;

  Grid own[kOwnGrids] = {};
  int position[kOwnGrids] = {};
  std::string gridfile[kOwnGrids];
  int writecode[kOwnGrids] = {};
  int64_t ownfirst = 0;  // rows of the own grids
  int64_t ownlast = -1;

  Statistic statistic[2];      // silting disposition, direct runoff
  std::vector<Grid> upstream;  // tracers 1 ... T: flux concentration of the water input

  bool routingchecked = false;
  bool surfacerouting = false;  // "SurfaceRoutingWeights" exists: the surface storage carries over
  int option = 0;
  bool freed = false;

  // Hydrologic response units: member cells copy their master cell.
  bool hrumode = false;
  Grid hrugrid = nullptr;
  Grid hrumaster = nullptr;

  std::vector<std::unique_ptr<ExpressionParser>> parsers;  // one per thread
  // Cells without a valid land-use or soil index, counted per step.
  int64_t invalidcells = 0;
  // Formula results without meaning that were reported (once each): a
  // kinetic energy W, a disposition Z or a capacity V that is no finite
  // number, a capacity below 0.
  bool valuewarned[4] = {false, false, false, false};
};
