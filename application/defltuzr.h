// The set-up object of one model run: reads the model-wide sections of the
// control file, fills the grid list with the reference and standard grids,
// divides the raster between the instances and derives the static grids, one
// numbered set-up step per call of InitStep.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "application/coupling.h"
#include "application/mpidecomp.h"
#include "framework/hrurecord.h"
#include "framework/irrigationtable.h"
#include "framework/modelobject.h"
#include "framework/statregistry.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/landuseparametergrids.h"
#include "parameters/multilayer_landuse_entry.h"
#include "parameters/soil_table_entry.h"

// Centroid of one region of a region grid; the wire form is a struct of these
// five fields at byte displacements 0, 4, 8, 16 and 24.
struct RegionCentroid {
  int row;
  int column;
  double rowd;
  double columnd;
  double n;
};

class defaultini : public modelobject {
 public:
  static constexpr int kLastStep = 23;
  static constexpr int kMaxZones = 16000;
  static constexpr int kMaxZoneCode = 32767;
  static constexpr int kMaxRegions = 30;

  // Never throws: an int raised while building goes to error, anything else gives 103.
  defaultini(int& error, DiagStream* diagnostics, const std::string& controlFileName, StatRecord* registry,
             int registryCapacity, int setupMode, GridListEntry* gridList);

  // One set-up step per call; done becomes true on the call after the last step.
  int InitStep(bool& done);
  void FreeMemory() override;

  // ---- general sections ----
  virtual void ReadGeneralSections(const std::string& fileName, int& outputControl, int& secondSwitch, int& thirdSwitch,
                                   double& minToIntEnd, int& meteoCount, std::vector<std::string>& meteoNames,
                                   double& latitude, double& longitude, double& meridian, double& timeShift,
                                   int& outputListCount, std::vector<int>& outputList);
  virtual void ReadModelTime();
  virtual void ReadRadiationCorrection();
  virtual int ReadSubSteps();
  [[noreturn]] virtual void IrrigationDescriptionError(int irrigationType);

  // ---- grid list sections ----
  virtual void ReadStandardGrids();
  virtual void ReadVariableGridList();

  // ---- reference grid and ranking ----
  virtual void ReadReferenceGridHeader(int& columns, int& rows, double& xll, double& yll, double& cellSize,
                                       double& nodataValue);
  virtual void RankZones(GridListEntry* list, Grid weightGrid, int columns, int rows, double nodataValue);
  virtual void RankRegions(int position);
  virtual double GetGlobalMaxOfGrid(int position);
  virtual double GetMaxElevation() { return maxElevation; }

  // ---- symbols, tables, decomposition, derived grids, coupling ----
  virtual void CompileSymbols(const std::string& controlFileName, std::string& preprocessedName);
  virtual void ReadMultilayerLanduseTable(int mode);
  virtual void ReadLanduseTable(int mode);
  virtual void ReadSoilTable(int mode);
  virtual void ReadIrrigation(int mode);
  virtual void CreateMPIRegions();
  virtual void MakeCellSizeGrids();
  virtual void MakeCoordinateGrids();
  virtual void generateMultiLayerParameterGrids(int layers);
  virtual void check_irrig_Codes(int position);
  virtual void check_SOIL_Codes(int position);
  virtual void make_nFK_kWert_and_Na();
  virtual void make_Slope_and_Aspect();
  virtual void check_ice_firn_grid();
  virtual void MakeRegionWeightGrids();
  virtual void GetCouplingParameters();
  // Derived static grids and region weights (see defltuzr_derived.cpp, defltuzr_regions.cpp).
  virtual void MakeLanduseLayerGrids();
  virtual void GetNeighbourMean(int row, int column, Grid grid);
  virtual void GenerateRegionWeights();

  // ---- code checks: codes of the code grids become 1-based table indexes ----
  virtual void CheckLanduseGrid(int position);
  IrrigationTable* GetIrrigationTable() { return irrigationtable.empty() ? nullptr : irrigationtable.data(); }

  // ---- periodic grids and per-step statistics of the grid list ----
  // Reads the time-variant standard grids whose period has come round and
  // restores temporary ones after their duration.
  virtual void UpdatePeriodicGrids(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  // Companions and result files of the standard and of the variable grids (each once per step).
  virtual void WriteStandardGridStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  virtual void WriteVariableGridStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  // A zonal statistics writer for every set-up grid that names a statistics file.
  void CreateGridStatistics();
  void StartGridStatisticsStep();
  void AddGridStatistics();
  void ReduceGridStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  void FlushGridStatistics();

  // ---- after the set-up: HRUs, land-use parameters, coupling ----
  // Reads [SpinUp]; with SpinUp on it builds the HRU grids and the records (record 0 empty).
  virtual void CreateHRUs(int& spinUpSwitch, int& doTemperaturePreSpinUp, int& repeatCount,
                          std::vector<HRURecord>& hrus);
  virtual void UpdateActualParameters(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear,
                                      int stepMinutes);
  // As UpdateActualParameters, without the root-zone suction in the phenology.
  virtual void UpdateActualParametersNoTheta(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear,
                                             int stepMinutes);
  // One day of dynamic phenology (called by UpdateActualParameters).
  void ComputeForcingUnits(int dayOfYear, int layerCount);
  // The land-use parameter grids; null before set-up step 14 or without land-use layers.
  landuseparametergrids* LanduseParameterGrids() const { return landuseparameters.get(); }
  virtual void LinkExternalEntities(StatRecord* registry, int capacity);

  // ---- external coupling ----
  virtual bool IsCouplingActive() const { return coupling.mode == 1; }
  virtual const std::string& GetSemaphoreFileName() const { return coupling.semaphoreFile; }
  virtual long GetWaitInterval() const { return coupling.waitInterval; }
  virtual char GetExternalGridMode() const { return coupling.period; }
  virtual int GetExternalTimeStep() const { return coupling.externalTimeStep; }
  virtual const std::string& GetInformSemaphoreFileName() const { return coupling.informFile; }
  virtual const std::string& GetInformSemaphoreContent() const { return coupling.informContent; }
  virtual bool HasGWTableExtern() const;
  // After the external program's semaphore file appeared: reads the external
  // grids into their internal grids, moves or deletes them, deletes the semaphore file.
  virtual void ReadExternalGrids(int64_t stepYear, int64_t stepMonth, int64_t stepDay, int64_t stepHour);
  // Every step of a coupling period but its last.
  virtual void AccumulateExternalGrids();
  // The last step of a coupling period, with the date of the previous synchronisation.
  virtual void WriteExternalGrids(int syncDay, int syncMonth, int syncYear, bool endOfDay, bool endOfMonth,
                                  bool endOfYear);
  const CouplingSettings& Coupling() const { return coupling; }

  // ---- settings read by the application and the tests ----
  int GetStep() const { return step; }
  int64_t StartYear() const { return startyear; }
  int64_t StartMonth() const { return startmonth; }
  int64_t StartDay() const { return startday; }
  int64_t StartHour() const { return starthour; }
  int64_t EndYear() const { return endyear; }
  int64_t EndMonth() const { return endmonth; }
  int64_t EndDay() const { return endday; }
  int64_t EndHour() const { return endhour; }
  int64_t EndDateKey() const { return enddatekey; }
  int OutputControl() const { return outputcontrol; }
  int SecondSwitch() const { return secondswitch; }
  int ThirdSwitch() const { return thirdswitch; }
  double MinToIntEndMinutes() const { return mintointend; }
  bool GetWriteAsciiGrids() const { return WriteAsciiGrids; }
  bool GetWriteDoubleGrids() const { return WriteDoubleGrids; }
  const std::string& GetInitialStateDirectory() const { return InitialStateDirectory; }
  const std::string& GetDefaultOutputDirectory() const { return DefaultOutputDirectory; }
  const std::vector<int>& OutputList() const { return outputlist; }
  int OutputListCount() const { return outputlistcount; }
  int* OutputListData() { return outputlist.empty() ? nullptr : outputlist.data(); }
  const std::vector<std::string>& MeteoNames() const { return meteonames; }
  int MeteoCount() const { return meteocount; }
  double Latitude() const { return latitude; }
  double Longitude() const { return longitude; }
  double Meridian() const { return meridian; }
  double TimeShift() const { return timeshift; }
  int RadiationCorrectionSwitch() const { return radiationcorrection; }
  int StandardGridCount() const { return nstandardgrids; }
  int VariableGridCount() const { return nvariablegrids; }
  const std::string& WorkFileName() const { return controlfilename; }
  int Columns() const { return ncols; }
  int Rows() const { return nrows; }
  double XllCorner() const { return xllcorner; }
  double YllCorner() const { return yllcorner; }
  double CellSize() const { return cellsize; }
  double Nodata() const { return nodata; }
  int FirstRow() const { return firstrow; }
  int LastRow() const { return lastrow; }
  int FirstRowHalo() const { return firstrowhalo; }
  int LastRowHalo() const { return lastrowhalo; }
  ColumnRange* DataColumns() { return columnranges.empty() ? nullptr : columnranges.data(); }
  const std::vector<int64_t>& CellCounts() const { return cellcounts; }
  const HaloList& HaloSend() const { return halosend; }
  const HaloList& HaloReceive() const { return haloreceive; }
  int GetSubSteps() const { return substeps; }
  // Objects built after the set-up take these settings (grid formats,
  // directories, MPI lists, SpinUp switch, HRU records).
  ModelObjectArgs ObjectArgs() const;
  int NumberOfZones() const { return nzones; }
  int MaxZoneCode() const { return maxzonecode; }
  int* ZoneCodeTable() { return zonecodes.empty() ? nullptr : zonecodes.data(); }
  ZoneRecord* ZoneRecords() { return zonerecords.empty() ? nullptr : zonerecords.data(); }
  int NumberOfRegions() const { return nregions; }
  int MaxRegionCode() const { return maxregioncode; }
  int* RegionCodeTable() { return regioncodes.empty() ? nullptr : regioncodes.data(); }
  const RegionCentroid* RegionCentroids() const { return centroids.empty() ? nullptr : centroids.data(); }
  const double* HeaderRecord() const { return header; }
  landuse_table_entry* LanduseTable() const { return landusetable.get(); }
  soil_table_entry* SoilTable() const { return soiltable.get(); }
  multilayer_landuse_entry* MultilayerTable() const { return multilayertable.get(); }
  Grid SoilStorageGrid() const { return soilstorage; }
  // Rows a grid of this instance covers: all rows on instance 0, the own rows with halo elsewhere.
  int GridFirstRow() const { return mpirank == 0 ? 1 : firstrowhalo; }
  int GridLastRow() const { return mpirank == 0 ? nrows : lastrowhalo; }

 protected:
  // Allocates a grid over this instance's rows, default value where the zone grid holds data.
  Grid MakeDefaultGrid(double defaultValue);
  void Logged(const char* text);
  // Step 6 on instance 0: the zone grid and "river_links" read whole.
  void ReadReferenceGrids();
  int FindRiverLinks() const;
  // Step 7: the owner grid file, the zone grid and "river_links" on every instance.
  void DistributeReferenceGrids();
  // Step 8: every standard grid without a grid is read or made.
  void MakeStandardGrids();
  // Step 13: the land-use layers.
  void LanduseLayers();
  void ReleaseTables();
  void FinishStatistic(GridListEntry& entry);
  void FreeDerivedGrids();
  // Code checks and the irrigation sections.
  void ReadIrrigationTable();
  void CheckLanduseCodes(int position);
  void CheckIrrigationCodes(int position);
  // Appends the events of the schedule rules of one line to record k.
  void ReadIrrigationRules(const std::string& line, IrrigationTable& record, int k);
  void FreeHRUGrids();

  // Grid-list positions of the grids the set-up read or made: standard grids
  // from first to n + 2, then (withVariableGrids) the variable grids.
  std::vector<int> SetupGridPositions(int first, bool withVariableGrids) const;
  // The land-use index grid of every layer from a new "landuse" grid.
  void RefreshLanduseLayers(Grid landuse);
  // Restores a non-persistent grid from its copy in the cells this instance owns.
  void RestorePeriodicGrid(GridListEntry& entry);

  int step = 0;
  int done = 0;
  int setupmode = 0;
  StatRecord* statregistry = nullptr;
  int statregistrycapacity = 0;
  std::string workfilename;

  // [model_time]
  int64_t starthour = 0, startday = 0, startmonth = 0, startyear = 0;
  int64_t endhour = 0, endday = 0, endmonth = 0, endyear = 0;
  int64_t enddatekey = 0;
  // [output_interval], [output_list], [coordinates], [meteo_*], [radiation_correction]
  int outputcontrol = 0;
  int secondswitch = 0;
  int thirdswitch = 0;
  int outputlistcount = 0;
  std::vector<int> outputlist;
  int meteocount = 0;
  std::vector<std::string> meteonames;
  double latitude = 0, longitude = 0, meridian = 0, timeshift = 0;
  int radiationcorrection = 0;
  int substeps = 1;
  int waitinterval = 100;
  char externalgridmode = 'I';

  // Grid list sections.
  int nstandardgrids = 0;
  int nvariablegrids = 0;
  std::vector<int> variablereadswitch;
  std::vector<int> variablepositions;  // grid-list position of each variable grid
  Grid soilstorage = nullptr;

  // Reference grid and ranking.
  double header[12] = {0};
  Grid elevation = nullptr;
  Grid relcellarea = nullptr;
  double maxElevation = 0;
  std::vector<ColumnRange> columnranges;
  int nzones = 0;
  int maxzonecode = 0;
  std::vector<int> zonecodes;
  std::vector<ZoneRecord> zonerecords;
  Grid regiongrid = nullptr;
  int nregions = 0;
  int maxregioncode = 0;
  std::vector<int> regioncodes;
  std::vector<RegionCentroid> centroids;

  // Domain decomposition.
  int firstrowhalo = 0;
  int lastrowhalo = 0;
  std::vector<int64_t> cellcounts;
  HaloList halosend;
  HaloList haloreceive;
  std::unique_ptr<MPIDecomposition> decomposition;  // owns "MPIRegions", "MPIHelper", "MPIHalo"

  // Parameter tables: entries 0 ... n, entry 0's code holds n.
  std::unique_ptr<landuse_table_entry[]> landusetable;
  std::unique_ptr<soil_table_entry[]> soiltable;
  std::unique_ptr<multilayer_landuse_entry[]> multilayertable;

  int irrigationswitch = 0;
  std::vector<IrrigationTable> irrigationtable;  // records 0 ... n, record 0's code holds n
  // Grids of the hydrologic response units (SpinUp mode), made by CreateHRUs.
  int hruposition = 0;
  int masterhruposition = 0;
  Grid hrugrid = nullptr;
  Grid masterhrugrid = nullptr;
  bool hrugridowned = false;  // false when the HRU grid is the standard grid read by the set-up
  std::vector<Grid> landuselayers;
  int nlanduselayers = 0;
  int landusealias = 0;  // position of "landuse1" when it is the "landuse" grid itself (one layer)
  // Land-use parameter grids per vegetation layer and dynamic phenology.
  std::unique_ptr<landuseparametergrids> landuseparameters;
  void FreeLanduseParameterGrids();

  // External coupling.
  CouplingSettings coupling;
  [[noreturn]] void CouplingReadError(const char* message, bool lineEnd = false);
  bool ZoneCellMissing(int row, int column) const;
  // Adds the source value of a zone cell to the accumulator (a missing value is not added).
  void AddExternalCell(ExternalWriteGrid& g, int row, int column);
  // The accumulated sum (mean: divided by the count of values), missing outside
  // the zone grid and where no value was added.
  double AccumulatedCell(const ExternalWriteGrid& g, int row, int column, bool mean) const;
  void WriteStatfile(ExternalStatfile& s);

  // Zone records of each grid statistics writer, by grid-list position.
  std::map<int, std::vector<ZoneRecord>> statisticrecords;

  // ---- derived static grids and regions ----
  struct DerivedGrid {
    int position = 0;  // grid-list position, 0 while there is none
    Grid grid = nullptr;
    int read = 0;  // 1: supplied by the control file, 0: derived here
  };
  DerivedGrid cellsizex, cellsizey, relcellareagrid, coordx, coordy;
  DerivedGrid availablesoilmoisture, hydraulicconductivity, fillableporosity, slopeangle, slopeaspect;
  Grid icefirn = nullptr;
  double transitiondistance = 0;      // map units; cells: transitiondistance / cellsize
  Grid regiongrids[4] = {};           // 1 ... 3: "regression_regions", "...2", "...3"
  Grid regionweights[4] = {};         // 1 ... 3: "regression_weights1" ... "3"
  std::vector<int> derivedpositions;  // grids made here, released by FreeDerivedGrids
  // First position from `from` on that holds nothing; none: message, code 12.
  int FreeGridPosition(int from, const std::string& message);
  // Registers a zero-filled grid of the given rows at a free position.
  Grid NewDerivedGrid(int position, const std::string& shortName, const std::string& fileName, int firstRow,
                      int lastRow);
  // Writes the grid of an entry once, as write-code kind 1.
  void WriteGridOnce(int position);
  // The same non-zero code on every instance when any of them failed.
  int AgreedError(int code);
};
