// The evapotranspiration sub-model, section "[evapotranspiration]": potential
// transpiration, interception evaporation and soil evaporation of every
// vegetation layer by Penman-Monteith (1), Hamon (2), Wendling (3) or
// Haude (4), snow evaporation from the snow pack, and the totals and
// statistics of real evapotranspiration. The reduction of potential to real
// transpiration and soil evaporation in a run is the unsaturated zone's.
//
// Units: water mm per step, radiation Wh/m2 per step, temperatures degrees
// Celsius, pressures hPa. Per-layer grids are indexed 0 ... LayerCount, layer
// 0 holding the cell total, layers 1 ... n the vegetation from the top down.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/submodelframe.h"

class zonalstatistic;

class verdunstungsmodellklasse : public teilmodellklasse {
 public:
  verdunstungsmodellklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                           const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);
  ~verdunstungsmodellklasse() override;

  void FreeMemory() override;
  void SetSubSteps(int count) override;
  void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity) override;
  void FreeTracerArrays() override;
  virtual void WriteStatistics();
  // Real roots of x^2 + p x + q = 0, the smaller in x1; returns their number.
  virtual int SolveQuadratic(double p, double q, double& x1, double& x2);
  // Magnus formula, hPa at T degrees Celsius.
  virtual double SatVapPressure(double T);
  // Potential transpiration of layer j of a cell in one part of the step
  // (part 0 night, else day); see the definition for the arguments.
  virtual double PenmanMonteith(int j, int r, int c, int part, double& soilEvaporation, double T, double fraction,
                                double& interceptionEvaporation, double& ra, double& remainingNight,
                                double& remainingDay, double sunshine, double shortwave, double cumulativeLAI);
  virtual Grid LinkSoilStorage();
  virtual int SetSolidSnowStorageGrid(Grid grid);
  virtual int SetRadiationCorrectionGrid(Grid grid);
  virtual void PotentialEvapotranspiration(int64_t hour, int64_t day, int64_t month, int64_t year);
  // The snow evaporation of the glacier part and, unless the leaves come
  // first, of the open part.
  virtual void SnowEvaporationOnGlacier(int64_t hour, int64_t day, int64_t month, int64_t year);
  // With the interception before the snow (the canopy above it) the wet
  // leaves meet a layer's demand first: the open part's snow evaporates
  // after them, in SnowEvaporationUnderLeaves, from what they left.
  void SetLeavesFirst(bool first) { leavesfirst = first; }
  void SnowEvaporationUnderLeaves(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void UpdateTotals(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void RealEvapotranspiration(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void SubStepHook(int64_t hour, int64_t day, int64_t month, int64_t year);
  virtual void AccumulateZoneStatistics(int64_t hour, int64_t day, int64_t month, int64_t year);
  // Adds the snow evaporation of the own cells to its statistics (with
  // addCells) and ends the statistics and grids of the step's snow evaporation.
  void SnowEvaporationStatistics(int64_t hour, int64_t day, int64_t month, int64_t year, bool addCells);
  virtual void InitLakes(const std::string& section);
  // The relative sunshine of the daylight period so far (its sum and steps)
  // or of the last one (at night): its section of the storage content file,
  // read at a warm start (the unsaturated zone's file name and storage read
  // parameter), written by instance 0 at the end (appended).
  void ReadStorageFile(const std::string& fileName, int readParameter);
  void WriteStorageFile();
  virtual void SetSnowMethod(int method);

  // ---- read access for the application and tests ----
  int GetMethod() const { return Method; }
  int GetLayerCount() const { return LayerCount; }
  double GetCSRoot() const { return CSRoot; }
  int GetInputFlags() const { return InputFlags; }
  int GetUseNetRadiation() const { return UseNetRadiation; }
  int GetLakeFlowControl() const { return LakeFlowControl; }
  int GetLakeInitMethod() const { return LakeInitMethod; }
  Grid GetLakeGrid() const { return lakegrid; }
  Grid GetPondingGrid() const { return pondgrid; }
  // Grid-list positions of the per-layer results (0 when not registered).
  int GetPotTranspirationPosition(int layer) const { return At(etppos, layer); }
  int GetRealTranspirationPosition(int layer) const { return At(etrpos, layer); }
  int GetInterceptionPosition(int layer) const { return At(eippos, layer); }
  const std::string& GetStatFileETP(int layer) const { return StatFileETP[layer]; }
  const std::string& GetGridFileETP(int layer) const { return GridFileETP[layer]; }
  const std::string& GetStatFileCloud() const { return StatFileCloud; }
  int GetStatCodeCloud() const { return StatCodeCloud; }
  zonalstatistic* GetStatistics(const std::string& kind, int layer = 0) const;

 protected:
  static int At(const std::vector<int>& v, int i) { return i >= 0 && i < static_cast<int>(v.size()) ? v[i] : 0; }
  void ReadSection();
  void CheckCoefficients();
  void BindInputs();
  void RegisterResults();
  // A new result grid over rows first ... last: value in the own zone cells, nodata elsewhere.
  Grid NewResultGrid(int first, int last, double value);
  zonalstatistic* NewStatistics(std::vector<ZoneRecord>& records, const std::string& file, int code, int decimals,
                                const std::string& header, const std::string& second);
  // Cell of the zones owned by this instance.
  bool OwnCell(int r, int c) const {
    return zonegrid[r][c] > nodata && (!MPIRegions || MPIRegions[r][c] == static_cast<double>(mpirank));
  }
  bool Processed(int r, int c) const { return OwnCell(r, c) && !(hrumaster && hrumaster[r][c] == nodata); }
  void ColumnsOf(int r, int& c0, int& c1) const;
  int ZoneOf(int r, int c) const;
  Grid GridAt(const std::string& name) { return gridlist[GetGrid(name)].grid; }
  void Log(const char* text, int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  // Per-step parts.
  // Returns the number of processed cells with a missing input, and the
  // bits of the missing inputs in inputs.
  long PotentialRows(int64_t stepYear, int64_t stepMonth, int64_t stepDay, int& inputs);
  // Bits (of InputFlags) of the method's inputs that are missing (not above nodata) at the cell.
  int MissingInputs(int r, int c) const;
  // One WARNING in the run, at the first step with cells (of all instances) without an input.
  void WarnMissingInputs(long cells, int inputs, int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                         int64_t stepYear);
  // Lake code and ponding storage both above 0.
  bool OpenWater(int r, int c) const;
  // Glacier fraction clipped to 0 ... 1; 0 without a glacier grid.
  double GlacierFraction(int r, int c) const;
  // Master cell of a response-unit cell; false when its unit is not one of this instance.
  bool MasterOf(int r, int c, int& mr, int& mc) const;
  [[noreturn]] void ReportResponseUnit(int r, int c);
  template <typename F>
  void ForOwnCells(F&& f) {
    for (int r = firstrow; r <= lastrow; ++r) {
      int c0, c1;
      ColumnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c)
        if (OwnCell(r, c)) f(r, c);
    }
  }
  void FinishStatistics(zonalstatistic*& s);
  // The snow evaporation of the cells' open and glacier parts; the response
  // units and statistics of the step's snow evaporation.
  void SnowEvaporationCells(bool openPart, bool glacierPart);
  void FinishSnowEvaporation(int64_t hour, int64_t day, int64_t month, int64_t year);
  // Puts the step's temperature back into the temperature grid.
  void RestoreStepTemperature();

  // ---- configuration ----
  int LayerCount = 1;
  int Method = 1;
  double PEC[14] = {};
  double fh[14] = {};
  double fk = 0;
  // Where the unlabelled coefficient lines stand in the user's control file:
  // radiation, sunshine duration, day and night amplitude.
  std::string WhereRGCoeff, WhereCS, WhereAmplitude;
  std::vector<std::string> GridFileETP, GridFileETR, GridFileEIP;
  int WriteCodeETP = 0, WriteCodeETR = 0, WriteCodeEIP = 0;
  std::vector<std::string> StatFileETP, StatFileETR, StatFileEIP;
  int StatCodeETP = 0, StatCodeETR = 0, StatCodeEIP = 0;
  std::string GridFileEVAP, StatFileEVAP;
  int WriteCodeEVAP = 0, StatCodeEVAP = 0;
  std::string GridFileEVAR, StatFileEVAR;
  int WriteCodeEVAR = 0, StatCodeEVAR = 0;
  std::string GridFileEVRS, StatFileEVRS;
  int WriteCodeEVRS = 0, StatCodeEVRS = 0;
  std::string GridFileRGEX = "correctedradiation", StatFileRGEX;
  int WriteCodeRGEX = 0, StatCodeRGEX = 0;
  std::string GridFileCloud = "cloudiness", StatFileCloud = "cloudiness";
  int WriteCodeCloud = 0, StatCodeCloud = 0;
  double RGCoeff[4] = {};
  double CS[4] = {};
  double CSRoot = 0;
  double TransmissivityMean = 0;
  double TransmissivityAmplitude = 0;
  double AmplitudeHeightScale = 0;  // m
  double MonthlyAmplitude[14] = {};
  double amplitude_fraction_day = 0;
  double AmplitudeFractionNight = 0;
  double AnnualVariability = 0;
  int InputFlags = 0;
  int UseNetRadiation = 0;
  // The grids of the humidity, vapour pressure and temperature (Haude's
  // at 14 o'clock, or the step's in their place).
  std::string HumidityName = "air_humidity", VapourName = "vapor_pressure", TemperatureName = "temperature";
  // Bit values of InputFlags.
  static constexpr int kAirPressure = 1, kLanduse0 = 2, kRadiation = 4, kSunshine = 8, kWind = 16, kHumidity = 32,
                       kVapour = 64, kTemperature = 128;

  // ---- inputs (owned by the grid list) ----
  Grid temperature = nullptr;
  Grid nighttemperature = nullptr;
  Grid elevation = nullptr;
  std::vector<Grid> landuse, lai, rootdepth, coverage, canopyres, interceptres, roughness;
  Grid evaporationres = nullptr;
  Grid albedo = nullptr;
  Grid wind = nullptr;
  Grid radiation = nullptr;
  Grid sunshine = nullptr;
  Grid vapour = nullptr;
  Grid humidity = nullptr;
  Grid airpressure = nullptr;
  Grid glacier = nullptr;
  Grid hrumaster = nullptr;
  Grid hrugrid = nullptr;
  int64_t hrumax = 0;  // highest response-unit number of this instance's master cells

  // ---- links ----
  Grid radiationcorrection = nullptr;
  Grid solidsnow = nullptr;
  Grid soilstorage = nullptr;
  Grid availablesoil = nullptr;
  int snowmethod = 0;
  bool leavesfirst = false;         // the open part's snow evaporates after the interception
  Grid interceptionevap = nullptr;  // layer 0 of "interception_evaporation", once found
  bool glacierlookup = true;        // the glacier snow grids are still to be looked up
  Grid glaciersnowevap = nullptr;
  Grid glaciersolidsnow = nullptr;

  // ---- lakes ----
  int LakeFlowControl = 0;
  int LakeInitMethod = 0;
  double AlbedoOpenWater = 0;
  double RoughnessOpenWater = 0;  // m
  double LAIOpenWater = 0, CoverageOpenWater = 0, CanopyResOpenWater = 0;
  Grid lakegrid = nullptr;
  Grid pondgrid = nullptr;

  // ---- results ----
  std::vector<Grid> etp, etr, eip;
  std::vector<int> etppos, etrpos, eippos;
  std::vector<int64_t> etrfirst, etrlast;
  std::vector<zonalstatistic*> etpstat, etrstat, eipstat;
  std::vector<std::vector<ZoneRecord>> etpzones, etrzones, eipzones;
  Grid evap = nullptr, evar = nullptr, evrs = nullptr, rgex = nullptr, cloud = nullptr, ssdtemp = nullptr;
  // Daily Penman-Monteith: the step's temperature of every processed cell
  // while the temperature grid holds the day part's (own rows, not listed).
  Grid steptemperature = nullptr;
  bool daytemperature = false;  // the temperature grid holds the day part's temperature
  int evappos = 0, evarpos = 0, evrspos = 0, rgexpos = 0, cloudpos = 0, ssdtemppos = 0;
  zonalstatistic *evapstat = nullptr, *evarstat = nullptr, *evrsstat = nullptr, *rgexstat = nullptr,
                 *cloudstat = nullptr;
  std::vector<ZoneRecord> evapzones, evarzones, evrszones, rgexzones, cloudzones;
  StatRecord* registry = nullptr;
  int registrycapacity = 0;

  // ---- per-step working state ----
  double sunpositions[25] = {};  // cos Z at the centres of the daylight sub-intervals
  int subintervals = 0;
  double subinterval = 0;  // hours
  double tau = 0;          // atmospheric transmissivity
  double dayamplitude = 0;
  double annualterm = 0;
  int ssdcounter = 0;
  int ssdperiod = 0;
  double sunriseoffset = 0;
  int stepnight = 0;  // no sun in the step (always for Hamon and Haude)
  bool missingwarned = false;
  std::string storagefile;  // the storage content file (none: no state written)

  // Constants of the Penman-Monteith evaluation.
  double sigma = 0;  // Stefan-Boltzmann constant times the step in hours
  double c_p0 = 1013.0, c_H0 = 7991.0, c_H1 = 29.33, c_T0 = 273.15, c_e0 = 0.48, c_e1 = 0.065, c_L0 = 694.67,
         c_L1 = 0.6589, c_day = 0.9, c_s2 = 237.3, c_s0 = 25029.0, c_s1 = 17.26, c_g1 = 2500.8, c_g0 = 1.6158,
         c_g2 = 2.372, c_ra0 = 25.0, c_one = 1.0, c_u = 0.54, c_z = 20.0, c_ra1 = 4.72, c_night = 0.0004,
         c_dayfactor = 0.004, c_canopy = 0.6, c_unused = 0.0067, c_aero = 0.216876, c_min = 60.0;
};
