// Whole runs of the fluvex program on the meteorological input as a new user
// sets it up: daily result grids with the hour stamp at the start of the step,
// grids read from files (ASCII and GIF images), monthly scenario grids, cells
// that no station reaches.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/framework/gifencoder.h"
#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

const char* const kHeader = "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";

// A 3 x 2 basin of cells of 1000 m (lower-left corners x 0, 1000, 2000 and
// y 1000 for the upper row, 0 for the lower), all in zones, with one
// temperature section whose body each test writes.
class MeteoBasin {
 public:
  explicit MeteoBasin(const std::string& name) : dir(name) {
    WriteFile(dir / "zones.asc", std::string(kHeader) + "1 1 2\n1 2 2\n");
    WriteFile(dir / "dem.asc", std::string(kHeader) + "100 200 300\n150 250 350\n");
    std::filesystem::create_directories(dir / "out");
  }

  // Hourly station records from hour first to hour last of each day of
  // January 2001; value(day, hour) for every station.
  template <class Value>
  void Stations(const std::string& xLine, const std::string& yLine, int stations, int days, int first, int last,
                Value value) const {
    std::ostringstream s;
    s << "hourly test data\nYY MM DD HH";
    for (int i = 0; i < stations; ++i) s << " 100";
    s << "\nYY MM DD HH " << xLine << "\nYY MM DD HH " << yLine << "\nYY MM DD HH";
    for (int i = 0; i < stations; ++i) s << " s" << i;
    s << "\n";
    for (int d = 1; d <= days; ++d)
      for (int h = first; h <= last; ++h) {
        s << "2001 1 " << d << " " << h;
        for (int i = 0; i < stations; ++i) s << " " << value(d, h);
        s << "\n";
      }
    WriteFile(dir / "temp.dat", s.str());
  }

  // The control file: output control, min_to_int_end (minutes), the model
  // time as start and end (hour day month year each) and the section body.
  void Control(const std::string& outputControl, int minToIntEnd, const std::string& modelTime,
               const std::string& section) const {
    std::ostringstream c;
    c << "[output_interval]\n"
      << outputControl << "\n0\n0\n"
      << minToIntEnd << "\nWriteAsciiGrids = 1\nDefaultOutputDirectory = out/\n\n"
      << "[output_list]\n0\n\n[coordinates]\n47.5\n8.5\n15\n0\n\n"
      << "[meteo_data_count]\n1\n\n[meteo_names]\ntemperature\n\n"
      << "[model_time]\n"
      << modelTime << "\n\n"
      << "[zone_grid]\nzones.asc\n\n[elevation_model]\ndem.asc\n\n"
      << "[standard_grids]\n1\ndem.asc elevation fillcode = 0 readcode = 1\n\n"
      << "[variable_grids]\n0\n\n"
      << "[temperature]\n"
      << section << "\n"
      << "[region_transition_distance]\n0\n\n[substance_transport]\n0\n\n[landuse_table]\n0\n\n[soil_table]\n0\n\n"
      << "[precipitation_correction]\n0\n0\n1\n0\n1\n0\n\n";
    for (const char* module : {"RegionalSuperposition", "radiation_correction", "evapotranspiration", "snow_model",
                               "interception_model", "SiltingUpModel", "unsatzon_model", "SurfaceRoutingModel",
                               "irrigation", "groundwater_flow", "routing_model", "special_output"})
      c << "[" << module << "]\n0\n60\n\n";
    WriteFile(dir / "control.txt", c.str());
  }

  // The values of an ASCII grid file of the output directory, row by row.
  std::vector<double> Values(const std::string& file) const {
    std::istringstream in(ReadFile(dir / ("out/" + file)));
    std::string word;
    for (int i = 0; i < 12; ++i) in >> word;
    std::vector<double> v;
    double x = 0;
    while (in >> x) v.push_back(x);
    return v;
  }
  bool Written(const std::string& file) const { return fluvextest::FileExists(dir / ("out/" + file)); }

  TempDir dir;
};

// Section body after the method line and the input file line: no regression
// file, the result grid, its write code, the scaling factor, statistics,
// nodata, idw weight, fraction, maximum distance, anisotropy, limits and
// replacements, then the scenario lines.
std::string Body(const std::string& third, int writeCode, double scaling, double maxDistance, const std::string& limits,
                 const std::string& scenario) {
  std::ostringstream s;
  s.precision(17);
  s << third << "\ntempgrid\n"
    << writeCode << "   write code\n"
    << scaling << "   scaling\ntemperature.stat 0\n9999\n2.0\n0.5\n"
    << maxDistance << "   maximum distance\n0\n1\n"
    << limits << "\n"
    << scenario << "\n";
  return s.str();
}

void ExpectCells(const std::vector<double>& got, const std::vector<double>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-9 * std::fabs(want[i])) << what << " " << i;
}

const char* const kNoLimits = "-1e6\n1e6\n-1e6\n1e6";

}  // namespace

// The hour stamp marks the start of the step (min_to_int_end 60 with hours
// 0 ... 23): the step of hour 23 ends the day, and the daily mean is written there.
TEST(MeteoRun, DailyMeansWithTheHourAtTheStartOfTheStep) {
  MeteoBasin basin("meteo_daily");
  basin.Stations("500 2500", "1500 500", 2, 2, 0, 23, [](int d, int h) { return d == 1 ? h : 2 * h; });
  basin.Control("24", 60, "0\n1\n1\n2001\n23\n2\n1\n2001",
                "1   method\ntemp.dat\n" + Body("none", 80, 1, 1e5, kNoLimits, "0"));
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // Both stations carry the same value: every cell has it; day 1 means 11.5, day 2 23.
  ExpectCells(basin.Values("tempgrid_0101.01m"), std::vector<double>(6, 11.5), "day 1");
  ExpectCells(basin.Values("tempgrid_0101.02m"), std::vector<double>(6, 23.0), "day 2");
}
