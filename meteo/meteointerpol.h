// Interpolator of one meteorological variable: reads its control-file section
// and its station, regression or grid-list file, and fills its result grid
// (published in the grid list under the variable's name) once per time step.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "framework/modelobject.h"
#include "meteo/idwkernels.h"
#include "meteo/inputfile.h"
#include "meteo/meteoseams.h"
#include "meteo/tsplines.h"

// A date of the input data, in the order of the model object's own date.
struct MeteoDate {
  int64_t hour = 0;
  int64_t day = 0;
  int64_t month = 0;
  int64_t year = 0;
  int64_t Key() const { return DateKey(year, month, day, hour); }
  bool operator==(const MeteoDate& o) const {
    return hour == o.hour && day == o.day && month == o.month && year == o.year;
  }
};

// Everything the creator hands to an interpolator.
struct MeteoInterpolArgs {
  ModelObjectArgs model;        // directories, output switches, MPI lists, SpinUp switch
  std::string controlFileName;  // the preprocessed control file
  std::string variableName;     // section name and short name of the result grid
  GridListEntry* gridList = nullptr;
  int resultGridIndex = 0;
  // Raster geometry and the rows of this instance.
  int ncols = 0;
  int nrows = 0;
  int firstRow = 1;
  int lastRow = 0;
  double xll = 0;
  double yll = 0;
  double cellSize = 1;
  double nodata = kNodata;
  const ColumnRange* dataColumns = nullptr;  // per row; null: columns 1 ... ncols
  MeteoDate start;
  MeteoDate end;
  // Zone table of the zone grid: zone index by zone code 0 ... highestZoneCode.
  const int* zoneCodeTable = nullptr;
  int highestZoneCode = -1;
  // Master cells of the hydrologic response units, by unit number (element 0
  // unused); empty when the run uses no units.
  std::vector<HruMasterCell> hruMasters;
  // Creates the zonal statistics writer; none: statistics are not written.
  MeteoStatisticsFactory statisticsFactory;
};

// Parameters of the elevation regression of one region: intercepts a[1..3]
// and gradients b[1..3] of three elevation bands split at h1 and h2, and the
// trend plane c0 + cx x + cy y of the residuals.
struct RegressionRegion {
  double a[4] = {0, 0, 0, 0};
  double b[4] = {0, 0, 0, 0};
  double h1 = 0;
  double h2 = 0;
  double c0 = 0;
  double cx = 0;
  double cy = 0;
};

class meteointerpol : public modelobject {
 public:
  // Reads the section and the input files; a failure is stored in error and
  // thrown again (an exception that is no int code becomes 103).
  meteointerpol(int& error, DiagStream* diagnostics, const MeteoInterpolArgs& args);
  ~meteointerpol() override;
  meteointerpol(const meteointerpol&) = delete;
  meteointerpol& operator=(const meteointerpol&) = delete;

  void FreeMemory() override;

  // ---- operations of the time loop ----
  virtual void SetCheckFlag(int flag) { CheckFlag = flag; }
  virtual void SetTimeStep(double hours) { TimeStepHours = hours; }
  // min_to_int_end in hours (the creator passes its minutes / 60.0): tells the
  // result grids which step ends a day, a month or a year.
  void SetMinToIntEnd(double hours) { modelobject::SetMinToIntEnd(hours * 60.0); }
  virtual void GetDate(int64_t& hourOut, int64_t& dayOut, int64_t& monthOut, int64_t& yearOut) const;
  // The step's grid and its statistics: InterpolateGrid, AddStatisticCells, ReduceStatistics.
  virtual void Interpolate(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  // The step's grid (response-unit cells from their masters), the statistics begun.
  void InterpolateGrid(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  // Adds the grid's cells to the statistics, in the order of the cells; the
  // interpolators of several variables may do so side by side on the threads.
  void AddStatisticCells();
  // Whether the statistics write a file (AddStatisticCells does nothing otherwise).
  bool HasActiveStatistics() const { return Statistics && Statistics->IsActive(); }
  // Sums the statistics over the instances (collective) and keeps the step's line.
  void ReduceStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  virtual void ReadStepData();
  virtual int EndReached() const { return EndFlag ? 1 : 0; }
  // The input file whose records ran out before the end date of the run;
  // empty while the input lasts or when the end date ended it.
  const std::string& DataEndedIn() const { return DataEndFile; }
  virtual void SetEndDateToCurrent();
  virtual void WriteStatistics();
  virtual void ResetToStart();

  // ---- input files ----
  virtual void RefillStationBuffer(int k);
  virtual void RefillRegressionBuffer(int i);
  virtual void NextStationRecord(int k);
  virtual void NextGridListRecord();
  virtual void NextRegressionRecord(int i);
  virtual void ReadControlSection();
  virtual void ReadStationDescription(int k);
  virtual void FindStartInStationFile(int k);
  virtual void FindStartInGridList();
  void SeekStartRecord(int k, InputFile& f, long& lineNumber, std::string& line);
  virtual void FindStartInRegressionFile(int i);

  // ---- anisotropy and station geometry ----
  virtual void AverageStationSpacing();
  // Sorts the stations of a station file into equal columns along the rotated
  // y axis and creates the spline surface (methods 7 and 8); unequal columns: 70.
  virtual void BuildStationMesh(int file);
  virtual void ChooseLookupStations(int fileCount);
  virtual void AutoAnisotropy();
  virtual void BuildRotatedCoordGrids();
  virtual void RotateStationCoords();
  virtual int FindStationInBox(double x, double y, double xlo, double xhi, double ylo, double yhi) const;
  virtual int AnyFlagSet(const int* flags, int n) const;
  virtual double ScenarioFactor(int row, int col, double x, double y) const;

  // ---- cell kernels; work holds StationCount[0] + 1 doubles ----
  virtual double IdwIsotropic(double x, double y, int file, double* work) const;
  virtual double IdwAnisotropic(double x, double y, int file, double* work) const;
  virtual double NearestStation(double x, double y, int file, double* work) const;
  virtual double NearestStationLapse(double x, double y, double z, double lapseBelow, double inversionHeight,
                                     double lapseAbove) const;
  virtual double RegressionValue(double x, double y, double z, int row, int col) const;
  virtual double Bilinear(double x, double y, int file, int row, int col, double* work) const;
  virtual double Determinant3(const double* c1, const double* c2, const double* c3) const;
  double IdwIsotropicFirst(double x, double y, double* work) const { return IdwIsotropic(x, y, 0, work); }
  double IdwAnisotropicFirst(double x, double y, double* work) const { return IdwAnisotropic(x, y, 0, work); }

  // Elevation regression of the step from the values of station file `file`.
  virtual void Regression(int file);
  virtual void WriteResultGrids();

  void GetRegressionParameters(int region, double& h1, double& h2, double* a, double* b) const;
  void SetRegressionParameters(double h2, int region, const double* a, const double* b);
  // Moves the trend plane of the residuals with a changed first intercept, so
  // that the plane stays relative to the lines (precipitation correction).
  void ShiftTrendIntercept(int region, double delta) {
    if (Regr[region].c0 >= -Nodata) Regr[region].c0 += delta;
  }
  // Interpolated and post-processed value at a point; not concurrent with Interpolate.
  double InterpolateAtPoint(double x, double y, double z, double* work);

  // ---- read access for the creator and tests ----
  const std::string& GetVariableName() const { return VariableName; }
  // The file the interpolator takes its records from (station file, grid
  // list or regression file).
  const std::string& InputFileName() const {
    return (Method == 2 && !RegressionFileName.empty()) ? RegressionFileName : StationFileName[0];
  }
  int GetMethod() const { return Method; }
  // Hours between the first two records of the station file or grid list
  // (0: not known, as for a single record or a regression file).
  int64_t RecordSpacingHours() const { return IsStationMethod() || Method == 9 ? RecordStepHours[0] : 0; }
  Grid GetResultGrid() const { return ResultGrid; }
  int GetStationCount(int k) const { return StationCount[k]; }
  const std::vector<double>& GetStationValues(int k) const { return StationValues[k]; }
  const std::vector<double>& GetStationXRot(int k) const { return StationXRot[k]; }
  const std::vector<double>& GetStationYRot(int k) const { return StationYRot[k]; }
  const RegressionRegion& GetRegression(int region) const { return Regr[region]; }
  double GetMaxDistance() const { return MaxDistance; }
  double GetAnisoSlope() const { return AnisoSlope; }
  double GetAnisoRatio() const { return AnisoRatio; }
  double GetAvgHorizontalDistance() const { return AvgHorizontalDistance; }
  double GetAvgVerticalDistance() const { return AvgVerticalDistance; }
  int GetAllEqual(int k) const { return AllEqual[k]; }
  const std::string& GetDescription() const { return Description; }
  Grid GetCellX() const { return CellX; }
  Grid GetCellY() const { return CellY; }
  double GetScenarioValue(int row, int column) const { return ScenarioTable[row][column]; }
  int GetLookupStation(int file, int corner, int row, int col) const;
  const std::string& GetGridListName() const { return GridListGridName; }
  double GetNodata() const { return Nodata; }
  int GetMeshRows() const { return MeshRows; }
  int GetMeshColumns() const { return MeshColumns; }
  // Station number at mesh node (row from the top, column from the left).
  int GetMeshStation(int row, int column) const { return MeshStation[row][column]; }
  // Station values of a file for the precipitation correction, which changes
  // them in place and then judges the record again (RecomputeAllEqual).
  std::vector<double>& StationValuesForCorrection(int k) { return StationValues[k]; }
  const std::vector<double>& GetStationAltitude(int k) const { return StationAltitude[k]; }
  const std::vector<double>& GetStationX(int k) const { return StationX[k]; }
  const std::vector<double>& GetStationY(int k) const { return StationY[k]; }
  void RecomputeAllEqual(int k);

 protected:
  // Reads a grid file of the run's grid formats (GIF images included) into
  // grid: every row on instance 0, the own rows with their halo elsewhere.
  // Collective over all instances.
  virtual void ReadInputGrid(const std::string& fileName, Grid grid);
  // Binds the domain decomposition, so that the grids read for method 9 reach
  // every instance's own cells.
  virtual void SetGridInputRegionParams();

 private:
  struct StationRecordBuffer {
    std::vector<MeteoDate> dates;  // records 1 ... capacity
    std::vector<double> values;    // record r, station s at r * (n + 1) + s
    int capacity = 0;
    int count = 0;  // records held by the current block
    int next = 1;   // number of the next record to take
  };
  struct RegressionRecordBuffer {
    std::vector<MeteoDate> dates;
    std::vector<double> values;  // record r, value v (1 ... 11) at r * 12 + v
    std::vector<long> lines;     // line of each record of a text file (0: binary)
    int capacity = 0;
    int count = 0;
    int next = 1;
  };

  void Construct(const MeteoInterpolArgs& args);
  void Release(bool verbose);
  void ComposeDescription();
  bool IsStationMethod() const;
  int GridRowLow() const;
  int GridRowHigh() const;
  void FirstAndLastColumn(int row, int& first, int& last) const;
  void CheckStationFilesAgree();
  // The eleven values of a regression record into region 1; a missing
  // value (beyond +-Nodata, as in station files) makes the record missing
  // (a band value) or drops the trend (a trend value). line: the record's
  // line of a text file (0: binary).
  void TakeRegressionValues(const double* v, long line);
  void UpdateScenarioTable(int64_t month, int64_t dayOfMonth, int64_t yearOfDate);
  void LoadScenarioGrid(int64_t monthOfDate);
  // Scaling, limits, scenario and scaling grid of a computed value; here, so
  // that the row loop gets it inlined.
  // A water amount (precipitation) that the post-processing makes negative
  // (a scenario that adds a negative amount, a negative scaling with a
  // lowered lower limit) is taken as 0; *cut tells so.
  double PostProcess(double v, int row, int col, double x, double y, bool withScalingGrid, bool* cut = nullptr) const {
    // The invalid marker of a cell that no station reaches (-Nodata - 1) stays
    // a missing value: scaling, limits or a scenario would make it a number.
    if (v < -Nodata) return v;
    v *= ScalingFactor;
    if (v < LowerLimit)
      v = LowerReplacement;
    else if (v > UpperLimit)
      v = UpperReplacement;
    if (SzenUse == 1) {
      const double s = ScenarioFactor(row, col, x, y);
      v = (SzenMeth == 1 || SzenMeth == 6) ? v + s : v * s;
    }
    if (withScalingGrid && ScalingGrid) v *= ScalingGrid[row][col];
    if (WaterAmount && v < 0) {
      v = 0;
      if (cut) *cut = true;
    }
    return v;
  }
  double SingleLapseValue(double x, double y, double z) const;
  double LapseValue(double x, double y, double z) const;
  void LookUpMPIRegions();
  // Cells of the model domain that this instance computes.
  bool IsOwnCell(int row, int col) const {
    return zonegrid[row][col] > nodata && (!MPIRegions || MPIRegions[row][col] == static_cast<double>(mpirank));
  }
  int ZoneIndex(double zoneValue) const;
  // The parallel row loop; everything the threads share is decided by the caller.
  // computeReach: a uniform step of an inverse-distance method notes in
  // ReachCells which cells a valid station reaches.
  void InterpolateRows(bool applyPostProcessing, bool uniform, bool uniformValid, double uniformValue, bool warn,
                       bool computeReach);
  // One WARNING when basin cells of the grid become missing (naming the grid,
  // the step and the count over all instances), one when that ends. Collective.
  void ReportMissingCells(const MeteoDate& step);
  idw::Weighting IdwWeighting(bool anisotropic) const;
  // The valid stations of file 0 for the row loop, in the frame of the kernels.
  void CompactValidStations(bool anisotropic);
  // A station value read from a record of recordHours (0: not known) as the
  // kernels take it: missing values become -Nodata - 1.
  double StationValueRange(double v, int64_t recordHours) const;
  // Precipitation and irrigation amounts: a negative one has no meaning.
  bool IsWaterAmount() const;
  // The values 1 ... n of a record of station file k, read at line, as the
  // kernels take them; a negative water amount of a record the run uses
  // (used) ends the run naming the file, the line and the station.
  void TakeStationValues(int k, double* values, long line, bool used);
  [[noreturn]] void InputError(const std::string& file, long line, const std::string& what, int code = 49);
  // A record's date must be a calendar date and follow the previous record of
  // its file by the file's step (the step between its first two records).
  // False for a record after the end of the run, which is read ahead only.
  bool CheckRecordDate(int k, const MeteoDate& date, long line);

  std::string VariableName;
  int Method = 0;
  int StationFileCount = 1;
  std::string StationFileName[2];
  std::string StationFileLine[2];  // the whole control line of each station file
  int AdditionalColumns[2] = {0, 0};
  std::string RegressionFileName;
  double LowerInversion = 0;
  double UpperInversion = 0;
  double Tolerance = 0;
  int Overlap = 0;
  double ClusterRange = 0;
  // Method 12 keeps its lapse rate in UpperLapseRate and its inversion height in UpperInversion.
  double UpperLapseRate = -9999;
  double FixUpperLapseRate = -9999;
  int PType = 0;
  std::string ResultGridName;
  int WriteCode = 0;
  double ScalingFactor = 1;
  std::string StatFileName;
  int StatCode = 0;
  double Nodata = 9999;
  int NodataInt = 9999;
  double IdwWeight = 2;
  double IdwFraction = 0;
  double MaxDistance = 0;
  // Distance limits of the kernels: squared for the inverse-square mode, plain otherwise.
  double IdwLimitSquared = 0;
  double IdwLimit = 0;
  int IdwWeightMilli = 2000;
  double AnisoSlope = 0;
  double AnisoRatio = 1;
  std::string AnisoSlopeWhere;  // control file and line of each, for messages
  std::string AnisoRatioWhere;
  double LowerLimit = 0;
  double UpperLimit = 0;
  double LowerReplacement = 0;
  double UpperReplacement = 0;
  int SzenUse = 0;
  int SzenMeth = 0;
  int SzenNum = 0;
  std::string ScenarioGridName[13];
  std::vector<std::vector<double>> ScenarioTable;  // rows 1 ... SzenNum, columns 0 ... 15

  // Station files.
  int StationCount[2] = {0, 0};
  std::vector<double> StationValues[2];
  std::vector<double> StationAltitude[2];
  std::vector<double> StationX[2];
  std::vector<double> StationY[2];
  std::vector<double> StationDistance[2];  // from the grid's lower left corner
  std::vector<double> StationXRot[2];
  std::vector<double> StationYRot[2];
  MeteoDate FileDate[2];
  long StartPosition[2] = {0, 0};
  long CurrentPosition[2] = {0, 0};
  long StartLinePosition[2] = {0, 0};
  long StartLineNumber[2] = {0, 0};  // line numbers for messages
  long CurrentLineNumber[2] = {0, 0};
  // Hours since 1 January of year 0 of the last record read ahead (-1: none
  // yet) and the file's step in hours (0: not known yet).
  int64_t LastRecordHours[2] = {-1, -1};
  int64_t RecordStepHours[2] = {0, 0};
  int64_t LastRecordKey[2] = {0, 0};  // DateKey of that record
  bool NoValidStationWarned = false;
  StationRecordBuffer RecordBuffer[2];
  unsigned short AllEqual[2] = {0, 0};

  // Grid list file of method 9, open from its first record read until its end date.
  InputFile GridListFile;
  std::string GridListGridName;
  std::string LastValidGridName;

  // Regression file of methods 2 and 3.
  int RegressionText = 0;
  long RegressionStartPosition = 0;
  long RegressionCurrentPosition = 0;
  long RegressionStartLinePosition = 0;
  long RegressionLineNumber = 0;  // lines before the current position, for messages
  long RegressionStartLineNumber = 0;
  MeteoDate RegressionDate;
  RegressionRecordBuffer RegressionBuffer;
  RegressionRegion Regr[3];  // regions 1 and 2
  bool RegressionMissingWarned = false;

  // Dates.
  MeteoDate StartDate;
  MeteoDate CurrentDate;
  unsigned short EndFlag = 0;
  std::string DataEndFile;

  // Result and geometry.
  Grid ResultGrid = nullptr;
  int ResultGridRowLow = 0;
  int ResultGridRowHigh = -1;
  int ResultGridIndex = 0;
  bool ResultRegistered = false;
  // RelCellArea is the model object's: it also weights the statistics of binary result grids.
  Grid CoordX = nullptr;
  Grid CoordY = nullptr;
  // The point at which each cell is interpolated: its centre (CoordX and
  // CoordY hold its lower left corner), over the rows of GridRowLow ... GridRowHigh.
  Grid CentreX = nullptr;
  Grid CentreY = nullptr;
  Grid CellX = nullptr;
  Grid CellY = nullptr;
  Grid CellXRot = nullptr;
  Grid CellYRot = nullptr;
  int CellXRotIndex = 0;
  int CellYRotIndex = 0;
  Grid ElevationGrid = nullptr;
  Grid ScalingGrid = nullptr;
  Grid HruGrid = nullptr;
  Grid HruMasterGrid = nullptr;
  std::vector<HruMasterCell> HruMasters;
  Grid ScenarioGrid = nullptr;
  int ScenarioMonth = 0;
  bool ScenarioRegistered = false;
  const ColumnRange* DataColumns = nullptr;
  const int* ZoneCodeTable = nullptr;
  int HighestZoneCode = -1;
  bool MPIRegionsLooked = false;

  MeteoStatistics* Statistics = nullptr;
  // A row's cells for the statistics (columns 1 ... ncols at most), one row
  // per thread.
  std::vector<int> StatisticColumns, StatisticZones;
  std::vector<double> StatisticValues;
  MeteoStatisticsFactory StatisticsFactory;
  std::string Description;
  int CheckFlag = 0;
  double TimeStepHours = 0;

  // Mean spacing of the station network (m); -9999 when not defined.
  double AvgHorizontalDistance = -9999;
  double AvgVerticalDistance = -9999;
  double MeshFactor = 0.25;
  // Look-up stations of the bilinear methods: per file and corner 1 ... 4 one
  // station number per cell of the own rows.
  std::vector<int> LookupStations[2][5];

  // Per-thread kernel work arrays and the cells whose inverse-distance value
  // found no station, made outside the parallel region.
  std::vector<std::vector<double>> ThreadWork;
  // The stations of the step with a valid value (coordinates and value), and
  // per thread the coordinates and values of the cells of one row.
  std::vector<double> ValidX;
  std::vector<double> ValidY;
  std::vector<double> ValidValue;
  struct RowCells {
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> value;
  };
  std::vector<RowCells> ThreadRows;
  double PointAngle = 0;  // angles of the last point interpolation (radians)
  double PointAngleTurned = 0;
  // Scratch of the elevation regression: (altitude, value) of the lower and upper group.
  std::vector<std::pair<double, double>> RegrLower;
  std::vector<std::pair<double, double>> RegrUpper;
  std::vector<unsigned char> NoStationCells;
  // Own cells (as NoStationCells) that a valid station reaches, for the valid
  // stations ReachStations (by station number) of file 0.
  std::vector<unsigned char> ReachCells;
  std::vector<unsigned char> ReachStations;
  std::vector<unsigned char> ValidNow;
  bool MissingCellsReported = false;
  // The variable is a water amount (IsWaterAmount), fixed at set-up.
  bool WaterAmount = false;
  // Basin cells of the step whose water amount the post-processing made
  // negative (taken as 0), and whether that was said.
  long long NegativeCutCells = 0;
  bool NegativeCutWarned = false;

  // Station mesh of methods 7 and 8: [mesh row][mesh column], both from 1.
  int MeshRows = 0;
  int MeshColumns = 0;
  std::vector<std::vector<int>> MeshStation;
  MeshMatrix MeshValue;
  MeshMatrix MeshX;
  MeshMatrix MeshY;
  TSplines* Splines = nullptr;
  // The column splines of the step per station file (method 8: file 1 the
  // second spline), and per thread and file the work of the cells' values.
  TSplines::Columns SplineColumns[2];
  std::vector<TSplines::Scratch> SplineScratch[2];
  // The column splines of a station file's values of the step.
  void PrepareSplines(int file);
  void MakeCentreGrids();

  bool Released = false;
};
