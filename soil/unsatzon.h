// The unsaturated zone sub-model, section "[unsatzon_model]": soil water of
// every cell after Richards' equation in layers, with optional soil heat
// transfer, ponding, drainage, a clay layer, river exchange and tracers.
//
// Set-up (construction) reads the section with its per-subbasin table, the
// optional sections "[heat_transfer]", "[unsatzon_tuning]" and "[permafrost]",
// binds the grids of the other sub-models, creates the statistics files,
// registers the module's grids and stacks and sets the initial soil state of
// every cell (or reads it from state stacks). Each (sub)step, run() solves
// the soil column of every own cell (soil/unsatzon_solve.cpp); the step start,
// the subbasin routing through flow-time zones and linear storages and the
// outputs of the step are in soil/unsatzon_route.cpp and unsatzon_output.cpp;
// dissolved substances (tracers) that move with the soil water in
// soil/unsatzon_tracer.cpp.
//
// Units: lengths in m, water contents as volume fractions, storage constants
// in minutes, temperatures in degrees Celsius. Stacks hold levels 0 ...
// `layers`; level k of "geodetic_heads" is the bottom of layer k (level 0 the
// surface).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "framework/exactsum.h"
#include "framework/submodelframe.h"
#include "soil/uzkernels.h"
#include "soil/uzprespinup.h"

class zonalstatistic;

class unsatzonmodellklasse : public teilmodellklasse {
 public:
  // Statistics lines of the section, in reading order.
  enum StatLine {
    kStatQDRAIN,
    kStatGWSTAND,
    kStatGWN,
    kStatSB1,
    kStatSB2,
    kStatROOT,
    kStatINFEX,
    kStatPOND,
    kStatQD,
    kStatQI,
    kStatQB,
    kStatQg,
    kStatGWIN,
    kStatGWEX,
    kStatMACRO,
    kStatINFILT,
    kStatLineCount,
    // Statistics named elsewhere: method 3, "[heat_transfer]", dynamic glaciers.
    kStatSUBSTEPS = kStatLineCount,
    kStatTEMPER,
    kStatIMMO,
    kStatCount
  };
  // Pairs of an output file name and its write code, in reading order.
  enum OutputFile {
    kOutSB05,
    kOutSB1,
    kOutWURZ,
    kOutTheta,
    kOutHH,
    kOutHGEO,
    kOutQUNTEN,
    kOutGWSTAND,
    kOutGWTHETA,
    kOutGWN,
    kOutMACRO,
    kOutUPRISE,
    kOutPERCOL,
    kOutGWLEVEL,
    kOutINFEX,
    kOutSATT,
    kOutQD,
    kOutQI,
    kOutDELTAGW,
    kOutGWIN,
    kOutGWEX,
    kOutPOND,
    kOutQDRAIN,
    kOutIRRIG,
    kOutFileCount,
    // Named elsewhere: method 3 and "[heat_transfer]".
    kOutSUBSTEPS = kOutFileCount,
    kOutTEMPER,
    kOutTHAWDEPTH,
    kOutCount
  };
  // Point files of the control cell, in reading order.
  enum PointFile {
    kPointQBOTTOM,
    kPointTHETA,
    kPointHHYD,
    kPointOTHER,
    kPointETR,
    kPointINTERFLOW,
    kPointTEMPER,
    kPointCount
  };

  // Work arrays of the column solve of one thread (soil/unsatzon_work.h).
  struct CellWork;

  // A statistics file name with its statistics code, or an output file name
  // with its write code.
  struct FileSpec {
    std::string name;
    int code = 0;
  };
  // Per-subbasin glacier record, broadcast with the struct type of a boolean
  // and two doubles at displacements 0, 8 and 16.
  struct GlacierRecord {
    bool has_glacier;
    double glacier_share;
    double free_share;
  };

  unsatzonmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                       const std::string& workFileName, const SubModelArgs& common, IrrigationTable* irrigationTable,
                       int subSteps = 1);
  ~unsatzonmodellklasse() override;

  virtual void SelectInfiltrationInput(int interceptionFirst);
  virtual void SetDumpOptions(char dumpMode, char closeAfterDump, char repairAfterDump, int64_t maxDumpFiles);
  virtual double* GetQBb();
  virtual double* GetKelsqd();
  virtual double* GetKelsqi();
  virtual double* GetQg();
  // The glacier runoff of the step per subbasin (mm over the subbasin, index
  // 1 ... subbasins), the part of Qg that the snow model handed over, and
  // behind it (as Qg) each tracer's concentration in it, which the snow
  // model puts there; read by the surface routing, which forms its own
  // subbasin runoff.
  double* GetGlacierRunoff();
  virtual double* GetQD();
  virtual double* GetQI();
  virtual RiverflowTable* GetRiverflowTable();
  virtual std::string GetStorageFileName();
  virtual void SetSurfaceRoutingActive(int active);
  virtual void SetGroundwaterCoupling(int coupled);
  virtual int GetStorageReadParameter();
  // The soil's state stacks and grids are read at the start (a warm start).
  bool ReadsState() const { return storage_read_parameter == 1 || storage_read_parameter == 3; }
  void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity) override;
  void FreeTracerArrays() override;
  virtual void ComputeDrainablePoreVolume();
  virtual void StartStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  // After each run of the groundwater model: the tracer its faces moved
  // between the columns' saturated zones joins them.
  // Adds what the groundwater model's faces moved into (m > 0) or out of
  // the column (amounts a of layers 1 ... n with contents theta and
  // thicknesses d; g the groundwater level layer).
  static void TakeGroundwaterTracer(double m, int g, int n, const double* theta, const double* d, double* a);
  virtual void RouteSubbasinRunoff(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void ApplyExternalGWTable(int externalStepMinutes);
  virtual void WriteStatFiles();
  virtual void Finish(bool append);
  virtual void InitLakes(const std::string& section);
  virtual void PreSpinUpStep(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void SetPreSpinUpSoilTemperature();
  virtual ZoneRecord* GetZoneRecords();
  virtual int* GetZoneIndex();
  virtual int GetZoneCount();
  virtual int GetMaxZoneCode();
  void FreeMemory() override;

  // Record of the river links table for a cell's "river_links" value: 0 when
  // the cell has no river link (value 0 or below), else the subbasin index.
  // A code that maps to no subbasin is fatal (199).
  int RiverLinkRecord(double linkValue);
  // The record of a valid link, else 0; reports nothing (safe on any thread).
  int KnownRiverLinkRecord(double linkValue) const;

  // Couples k water and m heat substeps of a step: both may grow so that
  // each water substep runs a whole number of heat substeps, which is returned.
  static int CoupleHeatSubsteps(int& k, int& m);

  // ---- configuration, read-only for the computation and for tests ----
  int GetMethod() const { return method; }
  int GetLayers() const { return layers; }
  int GetVegetationLayers() const { return vegetation_layers; }
  double GetMaxError() const { return max_error; }
  double GetMaxIterations() const { return max_iterations; }
  double GetReducedKsat() const { return reduced_k_sat; }
  double GetIniGwLevel() const { return ini_gw_level; }
  const std::vector<double>& Codes() const { return codes; }
  const std::vector<double>& Kelsqd() const { return kelsqd; }
  const std::vector<double>& Kelsqi() const { return kelsqi; }
  const std::vector<double>& ChannelDensity() const { return channel_density; }
  const std::vector<double>& Kelsqlat() const { return kelsqlat; }
  const std::vector<double>& QBReduction() const { return qb_reduction_factor; }
  const std::vector<double>& SnowRunoffFraction() const { return SnowRunoff_fraction; }
  const std::string& GetOptionsTag() const { return options_tag; }
  int GetHeatTransferFlowControl() const { return heat_transfer_flow_control; }
  int GetHeatFluxLowerBoundary() const { return heat_flux_lower_boundary; }
  bool SoilTemperaturePending() const { return soil_temperature_pending != 0; }
  const zonalstatistic* GetStatistic(int line) const { return statistics[line]; }

 protected:
  // One grid or stack the module registered and owns.
  struct OwnedGrid {
    int position = 0;
    Grid grid = nullptr;
    Stack stack = nullptr;
    int64_t first = 0;
    int64_t last = 0;
  };

  // ---- set-up steps (unsatzon_config.cpp) ----
  void Configure(StatRecord* registry, int registryCapacity);
  // A value that is there but is no number (or none of the format) is named
  // with its section, line and word; a value that is not there is reported
  // as by every module.
  int FindSection(const std::string& header, bool fatal) override;
  int ReadValue(ControlFile& stream, const char* format, ScanTarget destination, const std::string& label,
                std::string& lineBuffer) override;
  std::string readingsection;  // the section FindSection found last
  void ReadSectionLines();
  void ReadSubbasinTable();
  void ReadTuningSection();
  void ReadPermafrostSection();
  void ReopenControlFile();
  void CloseControlFile();
  [[noreturn]] void SubbasinTableError(const std::string& what, const std::string& where);
  // "(control file <name>, line <n>: "<word>")" for a value that could not be read.
  std::string WhereAndWord();
  // What the code line of the subbasin table has to reach: the largest zone code and a cell holding it.
  std::string LargestZoneText();
  // Every own river cell holds a leakage coefficient of its bed of 0 or more.
  void CheckRiverBeds();
  // ---- grids, stacks, statistics and initial state (unsatzon_grids.cpp) ----
  void BindGrids();
  void CreateStatistics(StatRecord* registry, int registryCapacity);
  zonalstatistic* NewStatistic(int line, int precision, const char* title, StatRecord* registry, int capacity,
                               const std::string& fileName);
  void RegisterModuleGrids();
  int NextPosition();
  Grid NewGrid(const std::string& shortName, const FileSpec& file, double ownValue, bool wholeOnZero, bool halo);
  Stack NewStack(const std::string& shortName, const FileSpec& file, bool read);
  Grid ReadStateGrid(const std::string& shortName, const FileSpec& file, bool halo);
  void InitialSoilState();
  // Ends the run naming the first cell of the basin without a value in a state grid or stack of a warm start.
  void CheckStateGrids();
  // Initial water contents of a column of n layers (hgeo: its boundaries):
  // saturated below layer g, above it in equilibrium with the middle of
  // layer g + 1; or, from a groundwater table at the height T, saturated below
  // it, in equilibrium with it above, and the table's layer holding the water
  // from which the step finds the table at T.
  static void EquilibriumProfile(const soil_table_entry& soil, int n, const double* hgeo, double* th, int g);
  static void TableProfile(const soil_table_entry& soil, int n, const double* hgeo, double* th, double T,
                           const double* thetaDrainable);
  void InitialGroundwaterGrids();
  void DrainageLevels();
  void IrrigationStartGrids();
  void GlacierSetup(StatRecord* registry, int registryCapacity);
  // Counts the per-subbasin glacier records from the glacier grid (collective).
  void CountGlacierRecords();
  void OpenPointFiles();
  void WriteStartWaterContent();
  // ---- the step (unsatzon_step.cpp, unsatzon_solve.cpp, unsatzon_dump.cpp) ----
  // Solves every own cell of the instance's rows; the first error code of
  // the parallel loop is thrown after it.
  void SolveCells();
  // forcedK: the water substeps of the call (0: the cell's own choice).
  void SolveCell(CellWork& w, int r, int c, int forcedK = 0);
  void FlushNotes(CellWork& w, int r, int c);
  void ShareRivers();
  void FillRiverCell(uzk::RiverCell& river, int r, int c, double ponding) const;
  // Soil temperatures of a cell: set-up of the step (number of heat substeps)
  // and the heat substeps that follow each water substep.
  void HeatSetup(CellWork& w, int r, int c);
  void HeatSubsteps(CellWork& w, int r, int c);
  void HeatResults(CellWork& w, int r, int c);
  void ZeroResults(int r, int c);
  void CopyMasterCells();
  void ZoneStatistics();
  // Sub-steps: every call of run leaves the amounts of its sub-step in the
  // flux grids (the surface routing, the groundwater model and the special
  // output take them per sub-step); their sums over the step replace them at
  // the end of the step, before the grids are written (with one sub-step
  // too: the surface routing hands its channel inflow over in "directflow").
  void AddToStepSums(bool first);
  void PutStepSums();
  std::vector<Grid> StepFluxGrids() const;
  double GlacierFraction(int r, int c) const;
  // The mean water content lines of the water log at model start or end.
  void AppendMeanWaterContent(const double sums[6], const char* when, const std::function<void(const char*)>& append);
  int SubbasinOf(int r, int c) const;
  // The cell's own area (m2): the cell size squared times its relative area.
  double CellArea(int r, int c) const;
  // Dump mode: checks the cell after a water substep; returns true when the
  // run is to end (close after dump).
  bool CheckAndDump(CellWork& w, int r, int c, int substep);
  void WriteDumpFile(const CellWork& w, const std::string& name);
  // First error of a parallel loop (0: none).
  void RecordError(int code);

  void ReadHeatTransferSection();
  // Temperature statistics, lower boundary and soil temperature stack.
  void HeatTransferSetup();
  // Frozen soil and thaw depth grids; heat parameters of the soil table.
  void HeatTransferGrids();

  // Own valid cell: a cell of the instance's rows inside the zone grid and
  // owned by this instance.
  bool OwnValidCell(int r, int c) const;
  // The grids and stacks the solve of a cell reads or writes (those the run
  // has), listed at the start of each solve. About forty grids are more
  // streams through memory than the processor follows by itself, so the
  // loop over a row asks for their cells a little ahead.
  void ListCellGrids();
  std::vector<Grid> aheadgrids;
  std::vector<Stack> aheadstacks;
  // The irrigation amount [mm per step] that the cell takes from groundwater
  // (its irrigation record's origin 1), 0 for any other cell.
  double GroundwaterIrrigation(int r, int c) const;
  bool ValidZone(int r, int c) const;
  // Soil table entry of a cell, null when the cell's value has no entry.
  soil_table_entry* SoilOf(int r, int c) const;
  int SoilTableCount() const;
  void ReadStatLine(FileSpec& spec, const char* label);
  void ReadOutputPair(FileSpec& spec, const char* nameLabel, const char* codeLabel);
  void ReadName(std::string& name, const char* label);
  void CheckStackLevels(int levels, const std::string& fileName);
  [[noreturn]] void ModuleFatal(const std::string& text, int code);
  // Ends the run naming the line of a conductivity that is negative or no number.
  void CheckConductivity(double value, const char* label);

  // ---- scalar parameters ----
  int method = 0;
  int surface_interaction = 0;
  int pond = 0;
  int drainage = 0;
  int clay = 0;
  double k_sat_clay = 0;
  double ini_gw_level = 0;
  double reduced_k_sat = 1e-9;  // m/s
  double max_error = 1e-5;
  double max_iterations = 100.0;
  double dParameterMinStep = 0;  // s
  int control_row = 0;
  int control_col = 0;
  int storage_read_parameter = 0;
  std::string storage_file_name;
  char surface_routing_active = 0;
  int layers = 0;
  int vegetation_layers = 1;
  std::string options_tag;
  IrrigationTable* irrigationtable = nullptr;
  StatRecord* statregistry = nullptr;  // registry of the statistics files, not owned
  int statregistrycapacity = 0;

  // ---- names read from the section ----
  FileSpec statfiles[kStatCount];
  FileSpec outfiles[kOutCount];
  std::string pointfiles[kPointCount];

  // ---- per-subbasin arrays, indexes 0 ... number of subbasins ----
  std::vector<double> codes;
  std::vector<double> kelsqd;  // minutes
  std::vector<double> kelsqi;  // minutes
  std::vector<double> channel_density;
  std::vector<double> kelsqlat;  // reciprocal of the lateral storage constant
  std::vector<double> qb_reduction_factor;
  std::vector<double> SnowRunoff_fraction;
  // Zone tables of "zonegrid_soilmodel", owned.
  ZoneRecord* soilzonerecords = nullptr;
  int* soilzoneindex = nullptr;
  Grid soilzonegrid = nullptr;

  // ---- per-subbasin runoff arrays and the river links table (created when linked) ----
  // Flat arrays of (tracers + 1) rows of (subbasins + 1) values, index
  // Flat(t, s); row 0 the water in mm per step, rows 1.. tracer concentrations.
  std::vector<double> Qg, QD, QI, QBb, QDd, QIi;
  RiverflowTable* riverflow_table = nullptr;
  // River water (m3/s) each own cell took in the solve and its link's record;
  // the cell's share of its link's discharge, and per record the sum of
  // the demands of its cells (ShareRivers).
  std::vector<double> riverTaken;
  std::vector<int> riverTakenRecord;
  std::vector<double> riverShare, riverDemand;
  int ntracers = 0;
  size_t Flat(int t, int s) const { return static_cast<size_t>(t) * (zonecount + 1) + s; }

  // ---- subbasin routing (unsatzon_route.cpp) ----
  // Number of flow-time zones per subbasin, the same on every instance.
  std::vector<double> maxzeit;
  // Zone records of direct flow and interflow, [Flat(t, s)][zone 0 ... maxzeit].
  std::vector<std::vector<ZoneRecord>> zoneFZT_QD, zoneFZT_QI;
  // Baseflow of the step per subbasin, kept whether or not its statistics file is written.
  std::vector<ZoneRecord> baseflowsums;
  // The water and weight of those records (tracer 0: [s][zone], baseflow
  // [s]), summed exactly, so that the routing and what it offers the fields
  // are the same on any number of instances; the records take their values
  // at the end of the step (SettleExactZones), and give them after a state
  // was read (exact_zones_loaded).
  std::vector<std::vector<ExactRecord>> exactQD, exactQI;
  std::vector<ExactRecord> exactQB;
  bool exact_zones_loaded = false;
  void SettleExactZones();
  virtual void InitFlowTimeZones();
  void ShiftFlowTimeZones();
  // Adds the direct flow, interflow and baseflow of an own cell of subbasin
  // s with glacier share g to the zone records of the step: all three
  // (part < 0) or one of them (kZoneDirect, kZoneInter, kZoneBase), whose
  // records the other two never touch.
  static constexpr int kZoneDirect = 0, kZoneInter = 1, kZoneBase = 2;
  void AddToFlowTimeZones(int r, int c, int s, double g, int part = -1);
  // With the surface routing: the direct runoff its sub-step brought to the
  // river cells ("directflow" after it) into the step sums and the zones.
  void AddRoutedDirectFlow();
  void InitialBaseflow();
  [[noreturn]] void NotInitialized(const char* name);
  void InitialSoilTemperatures();
  int FlowTimeZone(int r, int c) const;

  // ---- outputs, state file and end (unsatzon_output.cpp) ----
  void WriteStepOutputs(int64_t hour, int64_t day, int64_t month, int64_t year);
  int PositionOf(const void* gridOrStack) const;
  // Sums the flow-time zone records of all instances on instance 0 (the others keep zeros).
  void SumZoneRecordsOnFirstInstance();
  void WriteStorageFile(bool append);
  void ReadStorageFile();
  void ReadStorageValue(std::FILE* f, double control, const char* label, const std::string& path);
  [[noreturn]] void CheckStorageValue(const std::string& label, double control, double stored);
  void WriteEndWaterContent();
  // Buffered rows of a control-point file: the date and the values of the step.
  struct PointRows {
    std::string path;
    int first = 1;
    int last = 0;  // 0: the number of layers
    int64_t count = 0;
    std::vector<int64_t> dates;  // 4 per row
    std::vector<double> values;  // (last + 1) per row
  };
  std::vector<PointRows> pointrows;
  // Per-layer amounts of the control cell in the last call of run (mm):
  // evaporation (level 0) and transpiration per layer, and interflow per
  // layer. The cell solved for them is the control cell or, when that is a
  // member of a hydrologic response unit, its master.
  std::vector<double> control_etr, control_interflow;
  int control_source_row = 0, control_source_col = 0;
  void AddPointRows();
  void WritePointRows(PointRows& rows);
  void WriteAllPointRows();

  // ---- statistics ----
  ZoneRecord* statrecords[kStatCount] = {};
  zonalstatistic* statistics[kStatCount] = {};

  // ---- grids bound from the grid list ----
  std::vector<Grid> landuse, root_depth, vegetation_coverage_degree, leaf_area_index, SurfaceCanopyResistance,
      SurfaceIntercepResistance, RoughnessLength, pot_transpiration, real_transpiration;
  Grid SurfaceEvaporationResistance = nullptr;
  Grid albedo = nullptr;
  Grid potential_evaporation = nullptr;
  Grid real_evaporation = nullptr;
  Grid slope_angle = nullptr;
  Grid soil_types = nullptr;
  Grid elevation = nullptr;
  Grid gw_storage_coeff = nullptr;
  Grid gw_k_x = nullptr;
  Grid gw_k_y = nullptr;
  Grid max_ponding_storage = nullptr;
  Grid drainage_depth = nullptr;
  Grid drainage_distance = nullptr;
  Grid clay_depth = nullptr;
  Grid snowstorage_solid = nullptr;
  Grid flow_times = nullptr;
  Grid irrigation_codes = nullptr;
  Grid ETR2ETP = nullptr;
  Grid PermafrostThawDepth = nullptr;
  Grid silting_up = nullptr;
  char silting_up_storage = 0;
  // With silting-up and the surface routing: the water standing on the
  // surface at the step's start ("SurfStorSiltingUp" before the routing's
  // first sub-step) and the part of the step's input it makes (mm), which
  // the soil takes a share of in each sub-step.
  Grid silting_surface = nullptr;
  Grid standing_input = nullptr;
  Grid glacier_fraction = nullptr;
  Grid GlacierizedCellsOld = nullptr;
  Grid GlacierMassBalance = nullptr;
  GlacierRecord* glacier_records = nullptr;
  // True when the snow model hands its glacier runoff over through Qg.
  bool glacier_runoff_source = false;
  // The glacier part of Qg of the step, per subbasin (instance 0).
  std::vector<double> glacier_runoff;
  // Glacier fraction of the own cells in the last step (dynamic glaciers),
  // [(row - firstrow) * (ncols + 1) + column]: the yearly update changes it;
  // and the soil water (mm over the cell) that the change of the step
  // took from the soil (negative) or gave to it.
  std::vector<double> glacier_before, glacier_immo;
  std::vector<double> covered_tracer;  // a column's tracer amounts, layers 0 ... layers + 1 (scratch)
  void KeepGlacierFractions();
  void GlacierResizing();
  // The groundwater's exchange of the step before (mm over the open share
  // the cell had then) reaches a column that the update covered wholly:
  // the column takes it under the glacier, with its tracer.
  void TakeExchangeUnderGlacier(int r, int c);
  // The shares the soil columns were last split by are state: the yearly
  // update at the end of a run's last step resizes the columns in the next
  // run's first step (the section "[glacier shares of the soil columns]" of
  // instance 0's storage content file).
  void WriteGlacierShares();
  void ReadGlacierShares();
  // Water of a cell's soil column, mm over its soil.
  double ColumnWater(int r, int c) const;
  Grid HydrologicResponseUnits = nullptr;
  Grid MasterHydrologicResponseUnits = nullptr;
  Grid infiltration_input = nullptr;
  // River exchange (groundwater coupled, surface water interaction set).
  Grid river_depth = nullptr;
  Grid river_width = nullptr;
  Grid river_links = nullptr;
  Grid kolmation = nullptr;
  Grid river_infiltration = nullptr;
  Grid river_exfiltration = nullptr;

  // ---- grids and stacks of the module ----
  std::vector<OwnedGrid> owned;
  Grid groundwater_distance = nullptr;
  Grid ponding_storage = nullptr;
  Stack geodetic_heads = nullptr;
  Stack theta = nullptr;
  Stack hydraulic_heads = nullptr;
  Grid baseflow = nullptr;
  // The water (mm) the column's saturated zone can still give the
  // groundwater model in the next step: what lies above the drainable
  // content from the table's layer down, less what the column still owes of
  // the step's exchange.
  Grid groundwater_givable = nullptr;
  // The part of that exchange the column could not give in the call (mm).
  Grid groundwater_not_given = nullptr;
  Grid groundwater_level = nullptr;
  Grid Theta_in_GWLEVEL = nullptr;
  Stack q_down = nullptr;
  Grid q_downext = nullptr;
  Grid SB_1_grid = nullptr;
  Grid MeanThetaInRootZone = nullptr;
  Grid irrigation_amounts = nullptr;
  Grid Max_Pumping = nullptr;
  Grid SBLOW_grid = nullptr;
  Grid SBHIGH_grid = nullptr;
  Grid GWTableExtern = nullptr;
  Grid Balance = nullptr;
  Grid tangens_beta = nullptr;
  Grid SB_2_grid = nullptr;
  Grid macropore_infiltration = nullptr;
  Grid number_of_substeps = nullptr;
  Grid ROOTgrid = nullptr;
  Grid groundwater_recharge = nullptr;
  Grid Capillar_Uprise = nullptr;
  Grid Percolation = nullptr;
  Grid directflow = nullptr;
  // The water on the surface (the surface routing's, "SurfStorSiltingUp")
  // that the cell took up in the call (mm): "directflow" hands the surface
  // routing all the water the cell leaves on the surface, the results of
  // the step (QD, INFEX and the runoff) hold only what is new.
  Grid surface_taken = nullptr;
  Grid interflow = nullptr;
  Grid infiltration_excess = nullptr;
  Grid total_infiltration = nullptr;
  Grid infiltration_saturation = nullptr;
  Grid drainage_flow = nullptr;
  Grid drainage_level = nullptr;
  int first_own_row = 0;  // the instance's rows with one border row above and below where such rows exist
  int last_own_row = 0;

  // ---- control point ----
  bool control_here = false;
  int64_t point_buffer_lines = 0;

  // ---- soil heat transfer ----
  int heat_transfer_flow_control = 0;
  int heat_transfer_method = 0;
  double dTModLowBoundBase = 12.0;
  double dTModLapseRate = -0.007;
  double dTModCDrySoil = 800.0;
  double dTModRhoDrySoil = 1500.0;
  double dTModLamDrySoil = 0.58;
  double dTModKmin = 1e-10;
  double dTModLamWat = 0.5562;
  double dTModLamIce = 2.33;
  double dTModCWater = 4187.0;
  double dTModCIce20 = 1940.0;
  double dTModCIce0 = 2090.0;
  double dTModLatHeat = 334000.0;
  double dTModRhoWater = 1000.0;
  double dTModFactor = 1.22;
  double dTModSEForStat = 0.5;
  double dTModShortestStep = 60.0;
  double dTModLongestStep = 1800.0;
  double dTModNFactorFreezing = 1.0;
  double dTModNFactorThawing = 1.0;
  int heat_flux_lower_boundary = 0;
  char soil_temperature_pending = 0;
  Grid air_temperature = nullptr;
  Grid T_Lower_Boundary_Condition = nullptr;
  Grid HeatFlux_Lower_Boundary_Condition = nullptr;
  Stack Soil_Temperature_Stack = nullptr;
  Grid frozenSoilInGroundwater = nullptr;
  Grid ThawDepthTMod = nullptr;

  // ---- the step ----
  int substep_in_step = 0;  // the call of run within the step, 1 ... substeps
  // Sums over the sub-steps of the step, per grid of StepFluxGrids() (and the
  // levels of "q_down"): rows firstrow ... lastrow, columns 0 ... ncols.
  std::vector<std::vector<double>> stepsums;
  std::vector<double> stepsumsqdown;
  std::vector<uzk::SoilConstants> soilconstants;  // per soil table entry
  std::atomic<int64_t> dumpcounter{0};
  std::atomic<int> looperror{0};
  char external_table_applied = 0;  // set once by ApplyExternalGWTable
  int64_t stephour = 0, stepday = 0, stepmonth = 0, stepyear = 0;
  int lake_flow_control = 0;  // "[lake_model]" (InitLakes)
  int lake_method = 0;
  Grid lake_codes = nullptr;  // a lake cell has a code of 0 or more; bound with the lake model
  bool LakeCell(int r, int c) const { return lake_codes && lake_codes[r] && lake_codes[r][c] >= 0; }
  Grid MPIRegionsGrid = nullptr;
  Grid gw_head_1 = nullptr;
  bool step_bound = false;

  // ---- temperature pre-SpinUp (unsatzon_prespinup.cpp) ----
  Grid FreezingDegreeDays = nullptr;
  Grid thawingDegreeDays = nullptr;
  Grid DailyTemperature = nullptr;
  Grid AnnualTemperature = nullptr;
  uzk::PreSpinUpClock prespinupclock;
  void WriteWholeGrid(const std::string& name, Grid grid);

  // ---- links ----
  int infiltrationinput = 0;
  char dumpmode = 0;
  char closeafterdump = 0;
  char repairafterdump = 0;
  int64_t maxdumpfiles = 0;
  // Dump mode's bound of a cell's baseflow, mm per time step.
  static constexpr double kDumpBaseflowBound = 10.0;
  int groundwatercoupling = 0;

  // ---- tracers (unsatzon_tracer.cpp) ----
  // One dissolved substance in the soil. Its soil storage stack holds per
  // layer the amount (concentration times water in mm) or, for a tracer that
  // evaporates with the water, the concentration itself.
  struct SoilTracer {
    ZoneRecord* records = nullptr;  // baseflow load and water per subbasin, then its statistics line
    zonalstatistic* statistic = nullptr;
    std::string statfile;
    std::string stackfile;
    Grid input = nullptr;         // concentration of the infiltration input
    Grid silting = nullptr;       // concentration of the silting-up water, or of the surface routing's store
                                  // when the soil takes that water back (null: that of the input)
    Grid siltingStore = nullptr;  // the silting-up model's store of the water it hands on as the input (its
                                  // unit: a concentration for an evaporating tracer, an amount otherwise)
    Grid handed = nullptr;        // the concentration of that input over the step, own rows (not registered)
    Grid groundwater = nullptr;   // groundwater model, layer 1: the saturated zone's concentration (null without)
    Grid exchange = nullptr;      // what the groundwater model's faces brought the column (mm x concentration)
    Grid saturated = nullptr;     // the saturated zone's concentration at the end of the last step: that of the
                                  // groundwater the irrigation pumps in the next
    Stack store = nullptr;        // soil storage stack, levels 1 ... layers
    Grid conc = nullptr;          // concentration in layer 1 (the stack's companion grid)
    int64_t first = 0, last = 0;  // rows of store and conc
    int position = 0;             // grid-list position of store and conc
    Grid concQD = nullptr;        // concentration of the cell's direct flow of the (sub)step
    Grid concQI = nullptr;        // concentration of its interflow
    Grid concQB = nullptr;        // concentration of the water its baseflow took from the column
    double decay = 1.0;           // factor per call of run (radioactive tracers)
    PointRows point;              // control-point rows, layers 1 ... layers
  };
  std::vector<SoilTracer> soiltracers;     // 1 ... ntracers
  TracerRecord* tracersettings = nullptr;  // 1 ... ntracers, not owned
  Grid aquifer_thickness = nullptr;        // "aquifer_thickness_1" (groundwater model)
  void InitSoilTracers(TracerRecord* settings, StatRecord* registry, int capacity);
  void BindGroundwaterTracers();
  void InitialTracerBaseflow();
  // Concentration held in a layer: the stored value of an evaporating tracer,
  // else the amount per water (0 where the layer holds no water).
  double LayerConcentration(int t, int r, int c, int layer, double thickness) const;
  // Concentration of the saturated zone (the groundwater level layer and
  // those below it) of a cell's column, 0 where it holds no water.
  double SaturatedConcentration(int t, int r, int c) const;
  Grid saturated_water = nullptr;  // the saturated zone's water (mm), for the groundwater model
  void AddTracersToZones(int r, int c, int s, double g);
  void RouteTracers(int64_t hour, int64_t day, int64_t month, int64_t year);
  void AddTracerPointRows();
  void WriteTracerPointRows();
  void FlushTracerStatistics();
  void StartTracerStep();

 private:
  bool freed = false;
};
