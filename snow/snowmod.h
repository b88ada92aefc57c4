// The snow model, section "[snow_model]": rain/snow partition of the step's
// water input, accumulation, melt (temperature index, temperature-wind index,
// combination and energy balance), liquid water retention and refreezing,
// snow age and albedo, lateral redistribution by slides, and the release of
// the snow cover's outflow ("snowcover_outflow") to the soil.
//
// Units: storages and fluxes in mm of water per step, temperatures of the air
// in degrees Celsius, snow pack and surface temperatures in kelvin.
//
// Glaciers ("[ice_firn]"): a cell with a glacierized fraction g > 0 keeps
// the snow of its non-glacierized part in the ordinary storages and the snow,
// firn and ice of its glacierized part in the "_onGlacier" storages and the
// firn stack; every glacier storage is in mm over the glacierized part. The
// glacier melt of a subbasin runs through three linear storages into the
// unsaturated zone's runoff. Permafrost ("[permafrost]"): the thaw depth
// grows with the square root of the snow-free days and caps the root depth.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/exactsum.h"
#include "framework/submodelframe.h"
#include "snow/glacier.h"

class zonalstatistic;

class schneemodellklasse : public teilmodellklasse {
 public:
  // Own grids of the model, in the order they are registered.
  enum OwnGrid {
    kSolid,
    kLiquid,
    kTotal,
    kDaysSnow,
    kAge,
    kSnowTemp,
    kSurfTemp,
    kMaxDeposition,
    kElevOrderRow,
    kElevOrderCol,
    kInputMass,
    kMobileMass,
    kDeposition,
    kSnowFraction,
    kRainFraction,
    kOutflow,
    kMeltOutflow,
    kOwnGridCount
  };
  // Statistics files, in the order they are created and flushed.
  enum Statistic {
    kStatOutflow,
    kStatMeltOutflow,
    kStatStorage,
    kStatDays,
    kStatAge,
    kStatSnowfall,
    kStatRainfall,
    kStatAlbedo,
    kStatSnowTemp,
    kStatSurfTemp,
    kStatInputMass,
    kStatMobileMass,
    kStatDeposition,
    kStatisticCount
  };

  // Melting point of ice, K.
  static constexpr double kMeltingPoint = 273.16;

  schneemodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                     const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  // Rain/snow partition, accumulation and melt of one step part of one cell;
  // returns the melt of the part (mm), already multiplied by w. S, L and
  // total are the solid, liquid and total storage (mm); tpack and tsurf the
  // pack and surface temperatures (K) and evap the snow evaporation (mm) of
  // the energy-balance methods. The step's water input Pstep (mm, as it
  // was before this step's snow drift) is split, and the drift of this part
  // (the deposition index times its snowfall, times w) is added to input,
  // the pack's water input, which the rain-on-snow melt and the energy
  // balance read. snowIn and rainIn receive the snowfall and rainfall added
  // to the storages in this part (mm). startAlbedo is the albedo of this
  // pack at the start of the step (the energy balance's shortwave).
  virtual double SnowCell(double T, double w, int r, int c, double& f, double& S, double& L, double& total,
                          double& tpack, double& tsurf, double& evap, double& input, double Pstep, double& snowIn,
                          double& rainIn, double startAlbedo);
  virtual void WriteStatistics();
  // Returns the flow control parameter.
  virtual int SetRadiationCorrectionGrid(Grid grid);
  virtual Grid GetSolidSnowStorageGrid();
  // Returns the flow control parameter.
  virtual int SetQg(double* runoff);
  // Where the glacier runoff's tracer concentrations go (tracer t of
  // subbasin k at t x (subbasins + 1) + k; row 0 is not written).
  void SetGlacierRunoffConcentrations(double* values);
  // Annual factors at the day number d (1 January = 1; run() forms it).
  virtual double AnnualMeltFactor(double d);
  virtual double AnnualIceRadiationFactor(double d);
  virtual double AnnualSnowRadiationFactor(double d);
  // Saturation vapour pressure over ice at T degrees Celsius, hPa.
  virtual double SatVapourPressureIce(double T);
  virtual void InitLakes(const std::string& section);
  virtual void ReadStorageFile(const std::string& fileName, int readParameter);
  virtual void WriteStorageFile(int append);
  [[noreturn]] virtual void CheckStorageValue(const std::string& label, double controlValue, double storedValue,
                                              double relativeDifference);
  virtual void ReadStorageValue(std::FILE* file, double controlValue, const std::string& label);
  virtual int GetMethod();
  virtual void SetPrecipitationSource(int interceptionFirst);

  // Glacier grids, in the order they are registered.
  enum GlacierGrid {
    kMeltFirn,
    kMeltIce,
    kFirnTotal,
    kMassBalance,
    kOldMassBalance,
    kSolidOnGlacier,
    kLiquidOnGlacier,
    kTotalOnGlacier,
    kSurfTempOnGlacier,
    kSnowTempOnGlacier,
    kGlacierizedOld,
    kCodesOld,
    kSnowMeltOnGlacier,
    kEvapOnGlacier,
    kFirnToIce,
    kSnowAgeOnGlacier,
    kGlacierGridCount
  };
  // Glacier and permafrost statistics, in the order they are created.
  enum GlacierStatistic {
    kStatFirnMelt,
    kStatIceMelt,
    kStatSnowOnIce,
    kStatGlacierTotal,
    kStatWithoutGlaciers,
    kStatFirnWE,
    kStatMassBalance,
    kStatMassBalanceGlacierPart,
    kStatThawDepth,
    kGlacierStatCount
  };
  // One record of the per-subbasin glacier table; broadcast as a bool at 0
  // and two doubles at 8 and 16.
  struct GlacierTableRecord {
    bool glacier = false;
    double glacierized = 0;  // sum of the glacierized fractions of the cells
    double free = 0;         // sum of the non-glacierized fractions
  };

  void FreeMemory() override;
  void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity) override;
  // The pack holds a tracer that does not evaporate as an amount (mm times
  // concentration), an evaporating one as a concentration.
  const char* TracerStatisticLabel(const TracerRecord& t) const override {
    return t.evaporating == 1 ? "tracer concentration" : "tracer amount (mm times concentration)";
  }
  void FreeTracerArrays() override;
  void BindTracerInputs();
  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  // The end of the step: the yearly glacier update when it is due, then the
  // step's grid statistics. run() ends with it, unless DeferStepEnd() was
  // called: then the application calls it once the step's consumers of the
  // snow outflow (interception, soil) have run with the shares of the step.
  void FinishStep();
  void DeferStepEnd() { stependdeferred = true; }

  // The bodies of the two parallel loops of run().
  void CellLoop();
  void CopyHRUStates();

  // Method groups.
  static bool EnergyBalanceMethod(int m) { return m == 5 || m == 6 || m == 7 || m == 11; }
  static bool RedistributionMethod(int m) { return m == 6 || m == 7 || m == 8 || m == 9 || m == 12 || m == 14; }
  static bool DepositionIndexMethod(int m) { return m == 7 || m == 9 || m == 10 || m == 11 || m == 13 || m == 14; }
  static bool WithoutWind(int m) { return m == 1 || m == 8 || m == 9 || m == 10; }

  // Grid of one of the model's own grids (null when it does not exist).
  Grid OwnGridOf(OwnGrid g) const { return own[g].grid; }
  zonalstatistic* StatisticOf(Statistic s) const { return stats[s].writer; }
  double GetTransZone() const { return transzone; }
  double GetT0R() const { return T0R; }
  double GetT0() const { return T0; }
  double GetEnBalScaling() const { return EnBalScaling; }
  double GetMaxDepositionSlope() const { return maxDepositionSlope; }
  int GetSubbasinCount() const { return subbasincount; }
  int GetLakeFlag() const { return lakeflag; }
  int GetGlacierMethod() const { return glaciermethod; }
  int GetGlacierReadGrid() const { return glacierreadgrid; }
  int GetPermafrostMethod() const { return permafrostmethod; }
  int GetFirnLevels() const { return firn_levels; }
  Stack GetFirnStack() const { return firnstack; }
  Grid GlacierGridOf(GlacierGrid g) const { return glac[g].grid; }
  Grid GetGlacierGrid() const { return glaciergrid; }
  Grid GetGlacierCodes() const { return glaciercodes; }
  zonalstatistic* GlacierStatisticOf(GlacierStatistic s) const { return gstats[s].writer; }
  const std::vector<GlacierTableRecord>& GetGlacierTable() const { return glaciertable; }
  // Contents of the three glacier runoff storages of subbasin index k.
  double GetQice(int k) const { return qice[k]; }
  double GetQfirn(int k) const { return qfirn[k]; }
  double GetQsnow(int k) const { return qsnow[k]; }
  double GetMaxSnowPackToCreateGlacier() const { return maxSnowPackToCreateGlacier; }
  double GetRelSizeNewGlacier() const { return relSizeNewGlacier; }
  // True in the step that ends the glacier mass balance evaluation day.
  bool GlacierUpdateDue() const;
  // The yearly conversion of snow to glacier, the firn update and the
  // recount of the glacier table (collective).
  void YearlyGlacierUpdate();
  // After the geometry update: the water of each cell's snow, firn and
  // intercepted water follows its changed glacierized fraction (from
  // GlacierizedCellsOld to the glacier grid), so that the cell keeps it.
  void FollowGlacierArea();
  // The interception storage grids (total, then each vegetation layer) when
  // the interception model runs.
  std::vector<Grid> InterceptionStorages();
  // The interception's tracer stores (1 ... tracers; null where there is none).
  std::vector<Grid> InterceptionTracers();

  // ---- glacier list (instance 0, dynamic methods) ----
  void BuildGlacierList();
  void CollectGlacierCells(int64_t code, bool range);
  void CollectBorderCells(int64_t code);
  void RebuildGlacierList();
  void GrowGlacier(int64_t code);
  void UpdateGlacierGeometry();
  void RedistributeGlacierMassBalance(int64_t code);
  const std::vector<std::unique_ptr<Glacier>>& GetGlaciers() const { return glaciers; }
  Glacier* FindGlacier(int64_t code) const;
  // The glacier of the code, made (in the subbasin given) when it is new.
  Glacier& GlacierOf(int64_t code, int subbasin);
  // Sums the values of all instances onto instance 0 (the others keep theirs);
  // false when a single instance runs and nothing was summed.
  bool SumOnRoot(std::vector<double>& sums) const;

 protected:
  struct OwnGridEntry {
    const char* shortname = "";
    std::string file;
    int writecode = 0;
    Grid grid = nullptr;
    int position = 0;
    int64_t first = 0;  // rows of the grid
    int64_t last = -1;
  };
  struct StatisticEntry {
    const char* header = "";
    int precision = 3;
    std::string file;
    int code = 0;
    std::vector<ZoneRecord> records;
    zonalstatistic* writer = nullptr;
  };
  // Scratch values of the energy balance of one cell and step part.
  struct EnergyInputs {
    double TK = 0;  // air temperature, K
    double ea = 0;  // vapour pressure of the air, hPa
    double fu = 0;  // wind function
    double G = 0;   // global radiation as a flux, W/m2
    double albedo = 0;
    double N = 0;      // cloudiness
    double Ps = 0;     // snowfall of the step, mm
    double Pr = 0;     // rainfall of the step, mm
    double P = 0;      // water input, mm
    double Tsurf = 0;  // working surface temperature, K
  };

  // ---- configuration ----
  void ReadSection(StatRecord* registry, int registryCapacity);
  void ReadExtendedLines();
  void ReadStatisticLine(Statistic s, const char* label);
  void ReadGridLines(OwnGrid g, const char* nameLabel, const char* codeLabel);
  void CreateStatistics(StatRecord* registry, int registryCapacity);
  void BindInputGrids(StatRecord* registry, int registryCapacity);
  void RegisterOwnGrids();
  void CreateGrid(OwnGrid g, int64_t first, int64_t last, double zoneValue, double elsewhere);
  void BuildElevationOrder();
  Grid Bind(const std::string& name);
  Grid BindOptional(const std::string& name);
  void CloseControlFile();

  // ---- per step ----
  // Inputs whose missing value (not above nodata) in a cell and step a
  // method cannot do without; kInPrecipitation last.
  enum Input {
    kInTemperature,
    kInNightTemperature,
    kInWind,
    kInVapour,
    kInRadiationCorrection,
    kInHumidity,
    kInRadiation,
    kInCloudiness,
    kInSurfaceTemperature,
    kInPrecipitation,
    kInputCount
  };
  // Bits (1 << Input) of the method's inputs other than the water input
  // that are missing at the cell in this step.
  int MissingInputs(int r, int c) const;
  // One WARNING per input in the run, at the first step with cells (of all
  // instances) without its value; cells[k] counts those of input k.
  void WarnMissingInputs(long* cells);
  // skip: an input of MissingInputs is missing, the snow processes of the
  // cell rest for the step.
  void StepCell(int r, int c, bool skip);
  void SkippedCell(int r, int c, double g);
  double LanduseAlbedo(int r, int c) const;
  double SnowAlbedo(double T, double age) const;
  bool OwnCell(int r, int c) const;
  // Refuses a deposition index below -1 in a cell of the instance (33).
  void CheckDepositionIndex();
  void AddStatistics();
  void WriteGridStatistics();
  void Slides();
  // The grid of a grid-list position whole on instance 0 (a gathered copy
  // when several instances run; null on the others). Collective.
  Grid WholeOnRoot(int position, Grid grid);
  void GatherSlideGrids();

  // ---- glaciers and permafrost ----
  void ReadGlacierSection(StatRecord* registry, int registryCapacity);
  void CheckGlacierGrids();
  void CreateZoneStatistic(StatisticEntry& e, const ZoneRecord* source, int count, StatRecord* registry,
                           int registryCapacity);
  void BuildGlacierTable();
  void RegisterGlacierGrids();
  void InitFirnStack();
  void ReadPermafrostSection(StatRecord* registry, int registryCapacity);
  // Glacierized fraction of a cell in [0, 1] (static methods: 1 on ice and
  // firn cells), 0 outside glaciers.
  double GlacierFraction(int r, int c) const;
  // The step's water input of the glacierized part of a cell (mm; 0 when missing).
  double GlacierInput(int r, int c) const {
    const Grid g = glacierinput ? glacierinput : waterinput;
    return g[r][c] > nodata ? g[r][c] : 0.0;
  }
  // Firn total of a cell's glacierized part (static methods: 1 on firn cells).
  bool FirnCell(int r, int c) const;
  // Partition, snow melt of both parts and ice and firn melt of a cell with
  // g > 0; adds the glacier part's snowfall and rain to its mass balance and
  // returns those of the cell (its parts' by their shares).
  void GlacierCell(int r, int c, double T, double& S, double& L, double& snowIn, double& rainIn);
  void IceAndFirnMelt(int r, int c, double T, double mg);
  void PermafrostCell(int r, int c);
  void AddGlacierStatistics(int r, int c, int zone);
  void GlacierRunoff();
  void FreeGlacierMemory();

  // ---- energy balance (methods 5, 6, 7, 11) ----
  void EnergyPrepare(int r, int c, double TK, double a, double& tpack, double& tsurf, EnergyInputs& in) const;
  double EnergyWarm(int r, int c, double w, double& S, double& L, double& total, double& tpack, double& tsurf,
                    double& evap, const EnergyInputs& in);
  void EnergyCold(int r, int c, double w, double& S, double& L, double& total, double& tpack, double& tsurf,
                  double& evap, const EnergyInputs& in);
  double EnergySum(const EnergyInputs& in, double Ts, double* latent) const;
  double WetBulbTemperature(double T, double ea, double z) const;
  static double SatVapourIceEB(double x);
  static double SatVapourWaterEB(double x);

  // ---- storage content section ----
  // Reads the "[snow_model]" section of the storage content file at path into
  // the glacier runoff storages (subbasins 1 ... count); a missing file or
  // section leaves them as they are (cold start).
  void ReadStorageSection(const std::string& path, double* ice, double* firn, double* snow);
  // Writes the section; absent arrays are written as 0.
  void WriteStorageSection(const std::string& path, const char* mode, const double* ice, const double* firn,
                           const double* snow);

  int method = 0;
  double transzone = 0;
  double T0R = 0;
  double T0 = 0;
  double CWH = 0;
  double CRFR = 0;
  double C0 = 0;
  double C1 = 0;
  double C2 = 0;
  double z0 = 0;
  double RMFMIN = 0;
  double RMFMAX = 0;
  double ALBsnow_min = 0;
  double ALBsnow_max = 0;
  int readgrid = 0;
  double maxDepositionSlope = 55.0;
  std::string depositionslopeline;  // " (file, line)" of the value, for a later refusal
  double maxDepositionFactor = 1.0;
  double minSlideSlope = 30.0;
  double slideMassFrac = 0.01;
  double LWINcorr = 1.0;
  double LWOUTcorr = 1.0;
  double EnBalScaling = 1.0;

  // Annual melt factor sinusoid.
  double rmfmean = 0;
  double rmfamplitude = 0;
  double frequency = 0.017214206;  // per day
  double phase = -80.0;            // days
  // Factors of the current step.
  double meltfactor = 0;
  double snowradfactor = 0;
  double iceradfactor = 0;

  OwnGridEntry own[kOwnGridCount];
  StatisticEntry stats[kStatisticCount];
  bool storagerange = false;  // instance 0 holds the storages of the whole domain
  // The same on every instance: whether instance 0 holds them whole. A grid
  // read collectively takes it on every instance, so that all instances read
  // it the same way (by rows sent from instance 0, not each its own rows).
  bool storagewhole = false;
  int64_t storagefirst = 0;
  int64_t storagelast = -1;
  bool maxdepositionowned = false;

  // Bound input grids.
  Grid elevation = nullptr;
  Grid albedo = nullptr;
  Grid snowevaporation = nullptr;
  std::vector<Grid> landuse;  // layers 1 ... n
  int landuselayers = 1;
  Grid temperature = nullptr;
  Grid temperaturenight = nullptr;
  Grid windspeed = nullptr;
  Grid vapourpressure = nullptr;
  Grid slidefraction[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  Grid slopeangle = nullptr;
  Grid depositionindex = nullptr;
  Grid cloudiness = nullptr;
  Grid airhumidity = nullptr;
  Grid globalradiation = nullptr;
  Grid surfacetemperature = nullptr;
  Grid hrugrid = nullptr;
  Grid masterhrugrid = nullptr;
  int64_t hrumax = 0;  // highest response-unit number of this instance's master cells
  Grid waterinput = nullptr;
  // The water input of a glacierized part: the precipitation, also when the
  // interception runs first and the open part takes its throughfall (ice
  // has no canopy).
  Grid glacierinput = nullptr;
  Grid lakecodes = nullptr;
  Grid lakewater = nullptr;
  Grid radiationcorrection = nullptr;
  int lakeflag = 0;
  int precipitationsource = 0;
  double* qg = nullptr;
  int linked = 0;
  bool stependdeferred = false;  // FinishStep() is the application's
  bool steppending = false;      // run() has run, FinishStep() not yet

  // Subbasins of the soil-model zone table.
  Grid subbasingrid = nullptr;
  ZoneRecord* subbasins = nullptr;
  int* subbasinindex = nullptr;
  int subbasincount = 0;
  int largestsubbasin = 0;

  // ---- glaciers ----
  int glaciermethod = 0;
  double DDFice = 0;
  double DDFfirn = 0;
  double DDFsnow = 0;
  double MF = 0;
  double Aice_min = 0;
  double Aice_max = 0;
  double Asnow_min = 0;
  double Asnow_max = 0;
  double kice_els = 0;
  double kfirn_els = 0;
  double ksnow_els = 0;
  int glacierreadgrid = 0;
  int firn_levels = 0;
  double firn_base = 0;
  double deltafirnper100m = 0;
  int GMBEvalDay = 0;
  int GMBEvalMonth = 0;
  double VAscaling = 0;
  double VAexponent = 0;
  int numElevBands = 0;
  int extraWeightFactorBand0 = 0;
  double debrisscaling = 1.0;
  double maxSnowPackToCreateGlacier = 1000.0;
  double relSizeNewGlacier = 0.25;
  double iceradmean = 0;
  double iceradamplitude = 0;
  double snowradmean = 0;
  double snowradamplitude = 0;
  Grid glaciergrid = nullptr;  // "ice_firn" or "GlacierizedCells"
  int glacierposition = 0;
  Grid glaciercodes = nullptr;
  int codesposition = 0;
  Grid debris = nullptr;
  Grid glacierradiation = nullptr;
  OwnGridEntry glac[kGlacierGridCount];
  Stack firnstack = nullptr;  // levels 0 (total) ... firn_levels, mm
  StatisticEntry gstats[kGlacierStatCount];
  std::vector<GlacierTableRecord> glaciertable;  // subbasin index 1 ... count
  std::vector<double> qice, qfirn, qsnow;        // glacier runoff storages, mm per step
  // Per-subbasin sums of a step: glacier melt from ice, from firn and snow
  // melt on ice areas (value x fraction x area) and the area of the cells.
  // (Summed exactly: the same on any number of instances.)
  std::vector<ExactSum> meltsums;  // 3 x (count + 1)
  // The same sums of the tracers' loads (melt x concentration), tracer t at
  // 3 x (count + 1) x (t - 1), and the concentration of the outflow of each
  // glacier runoff storage (ice, firn, snow) at the same places; the
  // concentration of a subbasin's glacier runoff goes to glacierconc (tracer
  // t of subbasin k at t x (count + 1) + k).
  std::vector<ExactSum> tracermeltsums;
  std::vector<double> glacierrunoffconc;
  double* glacierconc = nullptr;
  // (They stay until the state is written, after the tracer arrays are released.)
  int GlacierRunoffTracers() const {
    return qice.empty() ? 0 : static_cast<int>(glacierrunoffconc.size() / (3 * qice.size()));
  }
  // Storage x (0 ice, 1 firn, 2 snow) of subbasin k, tracer t.
  size_t GlacierRunoffTracerIndex(int t, size_t x, int k) const {
    return (static_cast<size_t>(t - 1) * 3 + x) * qice.size() + static_cast<size_t>(k);
  }
  std::vector<ExactSum> areasums;
  std::vector<double> cellsums;

  std::vector<std::unique_ptr<Glacier>> glaciers;  // in the order their codes were first met
  std::map<int64_t, int> glacierindex;             // code -> position in glaciers
  Grid glacierelevation = nullptr;                 // whole-domain elevation and subbasins on instance 0
  Grid glacierzone = nullptr;
  Grid glacierarea = nullptr;  // whole-domain "RelCellArea" on instance 0 (null without it)
  // Area of a cell in m2 (on instance 0, for the glacier list): the cell
  // size squared times its relative area.
  double GlacierCellArea(int r, int c) const;
  void StartGlacierList();
  bool BorderCell(int r, int c) const;
  double FirnTotal(int r, int c) const;

  // ---- permafrost ----
  int permafrostmethod = 0;
  double Min_Snow_Age_Refreeze = 0;
  double Max_SWE_SnowFree = 0;
  double reducedksat = 0;
  Grid thawcoeff = nullptr;
  Grid thawdepth = nullptr;
  Grid rootdepth = nullptr;
  Grid snowfreedays = nullptr;
  Grid snowcoverdays = nullptr;
  OwnGridEntry permafrostgrids[2];  // created "SnowFreeDaysGrid" and "SnowCoverDaysGrid"

  // Glacier runoff storages per subbasin (1 ... count), pointing into qice,
  // qfirn and qsnow when glaciers are configured.
  double* Qice = nullptr;
  double* Qfirn = nullptr;
  double* Qsnow = nullptr;
  std::string storagefile;  // empty: no storage content section in this run

  // Tracers: the input concentration-flux grid of each (1 ... count).
  std::vector<Grid> tracerinput;
  bool tracerinputbound = false;  // the interception's grids are found (BindTracerInputs)
  // The tracers of the glacier part's snow (1 ... count; none without on-glacier
  // storages), held as the open part's: a concentration for a tracer that
  // leaves with evaporating water, else the amount (mm over the glacier part
  // times concentration). The glacier part takes the precipitation's.
  // The glacier runoff takes the tracer of the water it gets: the glacier
  // part's snow outflow at that pack's concentration, firn melt at the
  // concentration of what the firn took from the snow (the amount left in
  // the store of a part without snow water, dynamic glaciers), ice melt
  // none (the ice holds no tracer: it formed before any of the run's water).
  struct GlacierTracer {
    Grid store = nullptr;
    Grid input = nullptr;
    Grid outflow = nullptr;   // concentration of the step's snow outflow of the glacier part
    Grid firnmelt = nullptr;  // concentration of the step's firn melt
    int position = 0;
    int64_t first = 0, last = 0;
    // An evaporating tracer's store holds the concentration of the snow
    // water alone: the firn of dynamic glaciers keeps its own, that of the
    // firn water (what the firn took from the snow over its levels' total).
    Grid firn = nullptr;
    int firnposition = 0;
    int64_t firnfirst = 0, firnlast = 0;
    // What the firn that turned to ice at the yearly update took of it
    // (amount over the cell, as the firn's water of "firn_to_ice"; written
    // with that grid's write code as "<path><name>firnice.<gridext>").
    Grid toice = nullptr;
    int toiceposition = 0;
  };
  std::vector<GlacierTracer> glaciertracers;
  void InitGlacierTracers();
  // Each own cell's firn as the yearly update leaves it before the new
  // geometry (its levels' total, then each tracer's firn concentration, or
  // nodata): a glacier that grows onto a cell replaces them with its own.
  std::vector<double> firnBeforeGeometry;
  // The tracer amount of a store value v of a pack of water W, and the value
  // of the amount a in the water W (v when W holds none).
  double TracerAmount(int t, double v, double W) const { return tracers[t].evaporating == 1 ? v * W : v; }
  double TracerValue(int t, double a, double W, double v) const {
    if (tracers[t].evaporating != 1) return a;
    return W > 0 ? a / W : v;
  }

  // Land-use albedo of the cells when the run has no land-use table: the
  // "albedo" grid as it was at the start (own rows).
  Grid barealbedo = nullptr;
  // Whole-domain copies on instance 0 of the static grids the slides read
  // (more than one instance only), released at the end.
  std::vector<Grid> gathered;
  Grid slideslope = nullptr;
  Grid slidezone = nullptr;
  Grid slideshare[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  Grid slideelevation = nullptr;
  Grid inputmaxdeposition = nullptr;
  Grid slidearea = nullptr;  // "RelCellArea" (null without one)

  // Date of the current step.
  int64_t stepyear = 0;
  int64_t stepmonth = 0;
  int64_t stepday = 0;
  int64_t stephour = 0;

  // First error code raised inside a parallel loop (0: none).
  int looperror = 0;
  bool inputwarned[kInputCount] = {};  // the WARNING on a missing input is written
  std::string temperaturename;         // the grid of the air temperature
};
