// Common base of every sub-model: reads the head of the module's section
// (flow control and time interval), offers the solar geometry, the tracer
// concentration grids, the zone ranking of the soil-model zone grid and the
// per-step hook run().
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/modelobject.h"
#include "framework/statregistry.h"
#include "framework/tracerrecord.h"
#include "framework/types.h"

class zonalstatistic;
class landuse_table_entry;
class soil_table_entry;
class multilayer_landuse_entry;

// The settings every sub-model receives from the application besides its
// error code, the diagnostics stream and its section name.
struct SubModelArgs {
  int reportInterval = 1;  // hours between two time stamps of run()
  double latitude = 0;     // degrees
  double longitude = 0;    // degrees
  double meridian = 0;     // reference meridian of the time zone, degrees
  double minToIntEnd = 0;  // minutes from the hour of the input data to the end of the step
  double xllcorner = 0;
  double yllcorner = 0;
  double cellsize = 0;
  double nodata = kNodata;
  int outputListCount = 0;    // subbasins of the output list
  int* outputList = nullptr;  // their codes at 1 ... count; element 0 receives the count
  GridListEntry* gridlist = nullptr;
  int* zoneIndex = nullptr;                  // zone code -> zone; null leaves the object inert
  ZoneRecord* zoneRecords = nullptr;         // zones 0 ... zoneCount
  const ColumnRange* dataColumns = nullptr;  // rows 1 ... nrows
  int zoneCount = 0;
  int maxZoneCode = 0;
  int ncols = 0;
  int nrows = 0;
  int firstRow = 0;  // rows of this instance
  int lastRow = 0;
  // End of the model time (the routing model passes the start instead).
  int64_t endHour = 0;
  int64_t endDay = 0;
  int64_t endMonth = 0;
  int64_t endYear = 0;
  double timeShift = 0;  // hours from data time to local time
  landuse_table_entry* landuseTable = nullptr;
  soil_table_entry* soilTable = nullptr;
  multilayer_landuse_entry* multilayerTable = nullptr;
  ModelObjectArgs object;  // grid formats, directories, MPI lists, SpinUp, HRUs
};

class teilmodellklasse : public modelobject {
 public:
  // Finds "[moduleName]" in the control file and reads the flow control
  // parameter and the time interval. A missing section is fatal (17) only
  // with mustExist; otherwise the module is off. When the module is on, the
  // control file stays open after the time-interval line for the derived
  // constructor. subSteps must be at least 1.
  teilmodellklasse(DiagStream* diagnostics, const std::string& moduleName, const std::string& controlFileName,
                   int unused, const SubModelArgs& common, int subSteps, bool mustExist);

  virtual int GetFlowControl() { return flowcontrol; }
  // Minutes, truncated.
  virtual int GetTimeInterval() { return static_cast<int>(timeinterval); }
  // The control file and line of the time interval, for messages.
  const std::string& TimeIntervalWhere() const { return timeintervalwhere; }
  virtual int GetSubSteps() { return substeps; }
  virtual void SetSubSteps(int count);
  // Reports a floating-point exception flagged since the last call, with the
  // indices and values that locate the computation.
  virtual void ReportFPE(int i1, int i2, int i3, int i4, double a1, double a2, double a3, double a4, double a5);

  // Solar geometry; latitude and longitude in degrees, hours as clock time of
  // the time zone of the reference meridian. The calendar is that of the
  // current step's year.
  virtual double SolarDeclination(int d, int m);  // degrees
  virtual double EquationOfTime(int d, int m);    // hours
  // Elevation of the sun in degrees, or its depression below the horizon
  // (both positive).
  virtual double SunAngles(int d, int m, double lat, double lon, double clockHour);
  // Azimuth from north and elevation, radians.
  virtual void SunAnglesAtHour(int d, int m, double& azimuth, double& elevation, double lat, double lon,
                               double clockHour);
  virtual double CosZenith(double azimuth1, double polar1, double azimuth2, double polar2);
  // Clock hours; polar day or night gives sunrise 24 and sunset 0.
  virtual void SunriseSunset(int d, int m, double& sunrise, double& sunset, double lat, double lon);
  // Night and day fractions of the current step (the date stored by run()).
  virtual void SunlitFraction();

  // Statistics writers and concentration grids of every tracer. Failures of
  // allocations and statistics writers come back in error; a full grid list
  // and unreadable grid files are thrown.
  virtual void InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int capacity);
  // What a tracer's statistics hold, the start of their header.
  virtual const char* TracerStatisticLabel(const TracerRecord&) const { return "tracer concentration"; }
  virtual double Product(double a, double b) { return a * b; }
  virtual double WeightedMean(double a, double b, double wa, double wb);
  virtual double Ratio(double a, double b, double c);
  virtual void FreeTracerArrays();
  // Stores the date of the step and writes the time stamp at the report interval.
  virtual void run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear);
  // Also moves the end of the run: the application sets the current step when
  // the user cancels with the next interval, and everything due at the end
  // (end-date grids, run sums and means, minimum and maximum) is written then.
  void SetDate(int64_t year, int64_t month, int64_t day, int64_t hour) override;

  // Ranks the zones of "zonegrid_soilmodel" by their codes. Collective: every
  // instance gets the same tables, allocated with Alloc and owned by the
  // caller afterwards (release with memory_handling::Free).
  void ReadZoneGrid(Grid& grid, ZoneRecord*& table, int*& index, int& count, int& largest);

  // The module's read-grids switch (1: its state is read at the start).
  int GetReadGrids() const { return readgrids; }
  // A warm start of the soil model continues the state of every module: a
  // module that is on with the switch that reads its state (value own; label:
  // the switch and its section) other than 1 would start it anew, so the run
  // ends naming both switches (error 17). what: the state it reads.
  void RequireStateRead(int soilReadParameter, int own, const std::string& label, const std::string& what);

  // Floating-point exception state: 0 none, 1 signalled, 2 reported.
  void SetFPEState(int state) { fpe = state; }
  int GetFPEState() const { return fpe; }

  // Results of SunlitFraction.
  double GetSunrise() const { return sunrise; }
  double GetSunset() const { return sunset; }
  double GetDarkBeforeSunrise() const { return darkbefore; }
  double GetDarkAfterSunset() const { return darkafter; }
  double GetNightFraction() const { return nightfraction; }
  double GetDayFraction() const { return dayfraction; }
  int GetNight() const { return night; }
  double GetStepsPerDay() const { return stepsperday; }

 protected:
  // Per-tracer state of the object.
  struct TracerGrids {
    ZoneRecord* subbasins = nullptr;  // 0 ... zones
    zonalstatistic* statistic = nullptr;
    std::string statfile;
    std::string gridfile;
    int storeindex = 0;  // grid-list positions
    int fluxindex = 0;
    Grid store = nullptr;
    Grid flux = nullptr;
    int64_t storefirst = 0;  // rows the storage grid was allocated for
    int64_t storelast = 0;
  };

  // First grid-list position without a short name (error 12 when none is left).
  int FreeGridPosition();
  // Unregisters and frees a grid the object registered at position (rows as
  // registered); both are cleared. A null grid is left alone.
  void ReleaseRegisteredGrid(int& position, Grid& grid);
  // The ranking of ReadZoneGrid on instance 0; the tables are allocated here.
  void RankZones(Grid grid, const std::string& file, ZoneRecord*& table, int*& index, int& count, int& largest);
  // Missing zone or area value.
  bool Missing(double v) const { return !(v > kNodata) || v == nodata; }
  // Year of the calendar of the solar geometry: the current step's, a common
  // year before the first step.
  int64_t CalendarYear() const {
    const int64_t y = StepDate().year;
    return y > 0 ? y : 1;
  }
  // The end date of the result grids: the model end date given at
  // construction, or the date a later SetDate moved it to.
  int64_t ResultEndDateKey() const override { return enddatekey; }
  // Reads a tracer storage grid from its file; the grid covers rows first ... last afterwards.
  // Cells that are not StoreCell hold nodata, as in a store started empty.
  void ReadTracerStorageGrid(const std::string& fileName, Grid& grid, int64_t& first, int64_t& last);
  // A warm start reads tracer t's state from fileName: where the run it
  // continues wrote no such grid, the run ends naming the tracer and the
  // grid code that writes it at a run's end (error 21). restart, when
  // given, names the read switch that starts the grid from its initial
  // value instead (else the module's read parameter).
  void RequireTracerState(const std::string& fileName, int t, const TracerRecord& tracer,
                          const std::string& restart = "");
  // Whether a tracer store has a value at (r, c): a cell of the zone grid in
  // a row whose zones this instance holds (every cell without a zone grid).
  // Elsewhere, in every row of the grid, it holds nodata, so the grid is
  // written alike on any layout.
  bool StoreCell(int r, int c) const;

  int flowcontrol = 0;
  int readgrids = 0;        // 1: storage grids (tracer concentrations among them) are read at the start
  double timeinterval = 0;  // minutes
  std::string timeintervalwhere;
  double stepsperday = 0;
  int substeps = 0;
  volatile std::sig_atomic_t fpe = 0;

  double latitude = 0;
  double longitude = 0;
  double meridian = 0;
  double pi = 0;
  double radtodeg = 0;
  double eqtime[14] = {};  // minutes at the first of months 0 (December) ... 13 (January)

  double sunrise = 0;
  double sunset = 0;
  double darkbefore = 0;
  double darkafter = 0;
  double nightfraction = 0;
  double dayfraction = 0;
  int night = 0;

  int tracercount = 0;
  TracerRecord* tracers = nullptr;       // 1 ... tracercount, not owned
  std::vector<TracerGrids> tracergrids;  // 1 ... tracercount

  Grid relcellarea = nullptr;
  // A cell's area relative to cellsize^2: 1 without the grid and where it is missing.
  double RelativeArea(int r, int c) const {
    return relcellarea && relcellarea[r] && relcellarea[r][c] > nodata ? relcellarea[r][c] : 1.0;
  }
  int* zoneindex = nullptr;
  ZoneRecord* zonerecords = nullptr;
  int zonecount = 0;
  int maxzonecode = 0;
  int outputlistcount = 0;
  int* outputlist = nullptr;

  int64_t endhour = 0;
  int64_t endday = 0;
  int64_t endmonth = 0;
  int64_t endyear = 0;
  int64_t enddatekey = 0;
  double timeshift = 0;
  landuse_table_entry* landusetable = nullptr;
  soil_table_entry* soiltable = nullptr;
  multilayer_landuse_entry* multilayertable = nullptr;
};
