// Grids of the land-use parameters of the current day, one per parameter and
// vegetation layer, and the state grids of dynamic phenology.
//
// The set-up object creates the grids once (Generate) from the land-use
// table and the layer grids landuse1 ... landuseN, which hold 1-based indexes
// of the table. The time loop brings them up to the day on every step
// (UpdateActualParameters); on the last step of a day dynamic phenology
// advances its forcing and chilling sums and start days
// (ComputeForcingUnits), and the day's parameter values are written.
//
// Per-layer grids are registered as the base name followed by the layer
// number ("root_depth1"). A grid already in the grid list under such a name
// (read as input) is taken with its contents; the object releases only what
// it allocated and registered itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/modelobject.h"
#include "parameters/landuse_table_entry.h"

class landuseparametergrids : public modelobject {
 public:
  // What the set-up object hands over: geometry, rows, decomposition and dates.
  struct Frame {
    int ncols = 0;
    int nrows = 0;
    double xllcorner = 0;
    double yllcorner = 0;
    double cellsize = 0;
    double nodata = kNodata;
    int firstRow = 0;  // own rows
    int lastRow = 0;
    int firstRowHalo = 0;  // own rows and the border rows of the neighbours
    int lastRowHalo = 0;
    const ColumnRange* dataColumns = nullptr;  // null: every column of a row
    Grid regions = nullptr;                    // "MPIRegions"; null: every cell is own
    Grid helper = nullptr;                     // "MPIHelper"
    int64_t startYear = 0, startMonth = 1, startDay = 1;
    int64_t endYear = 0, endMonth = 1, endDay = 1, endHour = 0;
    double minToIntEndMinutes = 0;  // shift from the hour stamp to the end of the step
    int reportInterval = 1;
    // The albedo grid was read (a variable grid with read switch 1, the
    // albedo that the snow left at the end of the run a warm start
    // continues): the start keeps it until the first daily update.
    bool albedoRead = false;
  };

  // Per-layer parameter and state grids, in registration order.
  enum Kind {
    kRootDepth,
    kVegetationCover,
    kLeafAreaIndex,
    kCanopyResistance,
    kInterceptionResistance,
    kRoughnessLength,
    kVegetationStart,
    kVegetationStop,
    kVegetationDuration,
    kForcingSum,
    kPhenoStart,
    kChillingSum,
    kForcingThreshold,
    kKinds
  };
  static const char* BaseName(Kind kind);
  static constexpr int kMovingWindowDays = 7;

  // layers: the layer grids, index 1 ... N (index 0 unused); table: entry 0 ... count.
  landuseparametergrids(DiagStream* diagnostics, const ModelObjectArgs& args, GridListEntry* list, const Frame& frame,
                        landuse_table_entry* table, std::vector<Grid> layers);
  ~landuseparametergrids() override;

  // Creates (or takes) the grids of layers 1 ... layerCount and fills them
  // for the start date. Collective (halo exchange).
  void Generate(int layerCount);
  // Once per step, before the sub-models run. stepMinutes is the length the
  // caller names for the step; the day's mean temperature does not depend on
  // it (see the .cpp). useRootZoneSuction: take "MeanThetaInRootZone" into
  // the phenology forcing when it exists.
  void UpdateActualParameters(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear, int stepMinutes,
                              bool useRootZoneSuction = true);
  // One day of dynamic phenology for every own cell and layer.
  void ComputeForcingUnits(int dayOfYear, int layerCount);
  // Writes every "MultipleStartTimes" stack as "<name>_End" (collective),
  // returns the table entries' pointers and releases the grids.
  void FreeMemory() override;

  // ---- read by the set-up object and the tests ----
  int Layers() const { return layerCount; }
  Grid LayerGrid(Kind kind, int layer) const;
  int LayerPosition(Kind kind, int layer) const;
  Stack MultipleStartTimes(int layer) const;
  int MaxFixpointCount() const { return nmax; }
  bool HasPhenology() const { return phenology; }
  bool HasMultipleStarts() const { return multipleStarts; }
  Grid TemperatureAVG() const { return temperatureAvg; }
  Grid TemperatureMOVAV() const { return movingMean; }
  Stack TemperatureMOVAVStack() const { return movingStack; }
  Grid StartDayOfLeaveFall() const { return leafFall; }
  int CreatedGrids() const { return created; }
  // Last step of a day: the hour stamp plus the whole hours to the end of the step is 24.
  bool IsLastStepOfDay(int64_t stepHour) const;

 private:
  // A grid or stack this object allocated, with its rows and grid-list position.
  struct Owned {
    int position;  // 0: not registered by this object
    Grid grid;
    Stack stack;
    int firstRow;
    int lastRow;
  };

  // Grid-list position for the next new grid: the first free one at or after `from`.
  int FreePosition(int from) const;
  bool IsFree(int position) const;
  // A grid found under the name (its position), or a new registered one.
  Grid TakeOrCreateGrid(const std::string& name, int& position, bool& isNew);
  Stack TakeOrCreateStartTimes(const std::string& name, int& position, bool& isNew);
  void CreateMovingMean();
  void InitialiseStartTimes(int layer, Stack stack);
  void ReleaseOwned();
  void InitialiseLayer(int layer);
  void ClearCell(int layer, int row, int column, bool withAlbedo);
  void ExchangeLayer(int layer);
  void CheckLayerIndex(int layer, int row, int column, double value) const;
  void AttachPhenologyInputs();

  void AccumulateTemperature();
  void AdvanceMovingMean();
  void UpdateLayerCells(int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  void UpdateLayerRow(int row, int day, int month, int year, DiagStream& s);
  void SetVegetationPeriodFlags(int dayOfYear);
  void CountVegetationSteps();
  void WriteDailyLogLine(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);

  // The cells of row r this object computes: zone data and owned by this instance.
  bool Valid(int row, int column) const;
  void OwnColumns(int row, int& first, int& last) const;
  double Elevation(int row, int column) const;
  // Entry index of a layer grid cell; 0 when the cell has no entry.
  int EntryIndex(int layer, int row, int column) const;

  // Phenology of one cell and layer on one day.
  void PhenologyCell(landuse_table_entry& e, int layer, int row, int column, int dayOfYear);
  double StressScaled(const landuse_table_entry& e, int row, int column, double rate) const;

  landuse_table_entry* table = nullptr;
  int tableCount = 0;
  std::vector<Grid> layerGrids;  // landuse1 ... landuseN
  int layerCount = 0;
  int firstrowhalo = 0;
  int lastrowhalo = 0;
  int64_t startyear = 0, startmonth = 1, startday = 1;
  bool albedoRead = false;  // Frame::albedoRead
  Grid elevation = nullptr;

  std::vector<Grid> grids[kKinds];     // [kind][layer]
  std::vector<int> positions[kKinds];  // [kind][layer]
  std::vector<Stack> startTimes;       // "MultipleStartTimes" per layer
  std::vector<int> startTimePositions;
  Grid evaporationResistance = nullptr;
  int evaporationResistancePosition = 0;
  Grid albedo = nullptr;
  Grid temperatureAvg = nullptr;
  int temperatureAvgPosition = 0;
  Grid leafFall = nullptr;
  Grid movingMean = nullptr;
  int movingMeanPosition = 0;
  bool movingMeanOwned = false;  // registered by this object
  Stack movingStack = nullptr;
  int nmax = 0;
  bool phenology = false;
  bool multipleStarts = false;
  int created = 0;
  int nextPosition = 1;
  std::vector<Owned> owned;

  // Daily state.
  Grid temperature = nullptr;
  Grid rootZoneSuction = nullptr;
  bool inputsLooked = false;
  Grid temperatureSum = nullptr;  // today's temperatures summed, per cell
  Grid stepsOfDay = nullptr;      // steps summed into temperatureSum, per cell
  bool newDay = true;             // the next step starts a new day's mean
  int windowDays = 0;             // days in the moving window, at most 7
  int64_t storedHour = 0, storedDay = 0, storedMonth = 0, storedYear = 0;
  bool released = false;
};
