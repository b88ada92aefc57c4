// The reference table: small synthetic basins run through the fluvex
// program, each output compared with a value the row computes from a formula
// written out in the row (a hand computation, an analytic solution, or the
// same period at another step length or sub-step count), never with what a
// run printed.
//
// A row: its name "<area>.<case>", the formula as text (printed beside every
// check), a builder of its set-up, optional variants of the set-up (each one
// run: hourly, daily and two-day steps, 1 and 16 sub-steps, with and without
// an option) and a function that reads the runs and returns the checks.
// Rows live in tests/application/reference_rows_<area>.cpp (areas: meteo, et,
// snow, soil, groundwater, surface, routing, tracers), one file per area,
// each row registered by a static Register object:
//
//   const Register kRain{{
//       "meteo.uniform_rain", "each step's basin precipitation = the station's 2 mm/h",
//       [] {
//         SetUp s;  // 10 x 1 cells of 1 km, hourly steps, 2 to 3 January 2015
//         s.series["precipitation"] = [](const Hour&, size_t) { return 2.0; };
//         return s;
//       },
//       StepVariants(),  // hourly, daily and two-day steps (empty: one run, "base")
//       [](const Runs& runs) {
//         Checks c;
//         for (const auto& [name, run] : runs)
//           c.push_back(Relative(name + ": period's precipitation (mm)", run.Sum("precipitation.stat"), 2.0 * 48,
//           1e-4));
//         return c;
//       }}};
//
// The set-up (SetUp) starts from the example basin's control file with every
// grid it names rewritten onto the raster (a value function of (row, column)
// per grid, defaults below), its stations replaced by synthetic ones
// (series as functions of the hour; daily and two-day records are the sums of
// precipitation and radiation and the means of the rest over their hours),
// statistics written every step, and the routing description of one subbasin
// per zone code unless the row gives its own. Further edits of the control
// file (SetUp::edits, on the example's text), modules switched off
// (SetUp::off), special output points and a maker of further files extend it.
//
// Readers (Run): Series / Sum of a statistics file's column (a zone's code,
// "tot_average" for the basin; discharge.stat: the routing subbasin's code),
// Grid of an output grid, Points of the special output at a cell, Table of a
// per-step table (reservoir, abstraction), Console (the diagnostics text with
// its WARNING and FATAL lines) and exitCode.
//
// Checks: Absolute / Relative (what, got, expected, tolerance); a check
// whose fault an open issue owns carries its number (Known(check, issue)):
// it fails once it passes, so the mark goes with the fix.
//
// Run one area: ctest -R reference_test_surface (or reference_test
// --gtest_filter='surface.*'); FLUVEX_REFERENCE_KEEP=<dir> keeps every run's
// directory there; FLUVEX_PROGRAM names another fluvex (the program before a
// fix).
#pragma once

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/application/balancecases.h"
#include "tests/support/modeloutput.h"
#include "tests/support/testutil.h"

namespace fluvextest::reference {

// The hour of a station record: hours 1 to 24 of the day (24 ends the day).
struct Hour {
  int year, month, day, hour;
};

// A value of each hour at the station (its index in SetUp::stations).
using Series = std::function<double(const Hour&, size_t station)>;
using CellValue = std::function<double(int row, int col)>;

struct Station {
  std::string name;
  int row, col;             // its cell
  double altitude = -9999;  // -9999: the elevation of its cell
  double x = NAN, y = NAN;  // where it stands (m); NaN: its cell's centre
};

struct Point {  // special output: the grid id's value at a cell, each step
  std::string id, symbol;
  int row, col;
};

struct SetUp {
  // The raster: rows from the north, columns from the west.
  int ncols = 10, nrows = 1;
  double cellsize = 1000, xll = 50000, yll = 50000;
  // Grids of the example's control file; a zone not above -9999 leaves the
  // cell outside the basin (every grid missing there).
  CellValue zone = [](int, int) { return 1.0; };
  CellValue dem;  // default: a plane falling 1 % to the east from 300 m at the last column
  CellValue landuse = [](int, int) { return 1.0; };          // grassland
  CellValue soil = [](int, int) { return 3.0; };             // sandy loam
  CellValue flowTimes = [](int, int) { return 0.0; };        // s to the subbasin's outlet
  CellValue gwConductivity = [](int, int) { return 3e-5; };  // m/s (sandstone)
  // River cells (their link the subbasin code, bed depth and width in m);
  // default: the last column, 2 m deep and 5 m wide.
  CellValue river;       // link code, -9999 for no river
  CellValue riverDepth;  // default: 2 at river cells, else 0
  CellValue riverWidth;  // default: 5 at river cells, else 0
  // Further grid files written into the run's directory (a file name the
  // row's edits name), missing outside the basin.
  std::map<std::string, CellValue> grids;

  // Stations and their series by the example's file names (temperature,
  // precipitation, wind, humidity, radiation: deg C, mm per hour, m/s, %,
  // W/m2). Defaults: one station at cell (1, 1); 10 deg C, no precipitation,
  // 2 m/s, 70 %, no radiation.
  std::vector<Station> stations = {{"st1", 1, 1}};
  std::map<std::string, Series> series;

  // The period: from hour 1 of start to hour 24 of end (whole steps).
  Date start{2015, 1, 2}, end{2015, 1, 3};
  int stepMinutes = 60;  // 60, 1440 or 2880
  int substeps = 0;      // sub-steps of soil, surface routing and groundwater (0: the section is not written)
  // Modules switched off, by their section name (radiation_correction,
  // evapotranspiration, snow_model, interception_model, unsatzon_model,
  // SurfaceRoutingModel, groundwater_flow, routing_model).
  std::vector<std::string> off;
  // The routing descriptions (the lines between "Zeitoffset" and "end of the
  // routing descriptions"); empty: one "TG code" line per zone code.
  std::string routing;
  Edits edits;  // on the example's control file, before the set-up's own
  std::vector<Point> points;
  Maker make;         // further files in the run's directory, after everything else
  int instances = 1;  // a row may ask for 2 where the layout matters
  int threads = 1;

  // The area of the basin's cells of a zone code (all codes: 0), km2.
  double AreaKm2(int code = 0) const;
};

// One run's directory and console.
class Run {
 public:
  std::string dir;
  std::string console;  // standard output and error: the diagnostics entries
  int exitCode = -1;

  std::string Text(const std::string& file) const;  // a file of the run's directory
  // A column of a statistics file out/<file>, one value per line (step):
  // a zone's code ("1"), "tot_average" (the basin), discharge.stat's
  // routing subbasin code.
  std::vector<double> Series(const std::string& file, const std::string& column = "tot_average") const;
  double Sum(const std::string& file, const std::string& column = "tot_average") const;
  GridFile Grid(const std::string& file) const;  // out/<file>
  std::vector<double> Points(const std::string& symbol, int row, int col) const;
  // The numeric lines of a per-step table out/<file> (all their numbers).
  std::vector<std::vector<double>> Table(const std::string& file) const;
  int Count(const std::string& text) const;  // occurrences in the console

  std::shared_ptr<TempDir> holder;  // removes the directory with the last copy
};
using Runs = std::map<std::string, Run>;

struct Check {
  std::string what;
  double got, expected, tolerance;
  bool relative = false;
  int issue = 0;  // an open issue owns the fault this check shows
  bool Passes() const;
};
using Checks = std::vector<Check>;
Check Absolute(const std::string& what, double got, double expected, double tolerance);
Check Relative(const std::string& what, double got, double expected, double share);
Check Known(Check c, int issue);

struct Variant {
  std::string name;
  std::function<void(SetUp&)> change;
};
// Hourly, daily and two-day steps ("hourly", "daily", "twodays").
std::vector<Variant> StepVariants();
// The sub-step counts ("substeps1", "substeps16", ...).
std::vector<Variant> SubStepVariants(const std::vector<int>& counts);

struct Row {
  std::string name;  // "<area>.<case>"
  std::string formula;
  std::function<SetUp()> setUp;
  std::vector<Variant> variants;  // empty: one run named "base"
  std::function<Checks(const Runs&)> checks;
};

// Registers a row as the gtest <area>.<case>.
struct Register {
  explicit Register(Row row);
};

// Writes the set-up into dir (which exists); returns what failed.
std::string Prepare(const SetUp& s, const std::string& dir);
// Runs the set-up in a fresh directory named name.
Run RunSetUp(const SetUp& s, const std::string& name);
// The hours of a record of a step ending at hour h (the step's hours, ending with h).
std::vector<Hour> HoursOfStep(const Hour& end, int stepMinutes);

}  // namespace fluvextest::reference
