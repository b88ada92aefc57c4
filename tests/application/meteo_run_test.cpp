// Whole runs of the fluvex program on the meteorological input as a new user
// sets it up: daily result grids with the hour stamp at the start of the step,
// grids read from files (ASCII and GIF images), monthly scenario grids, cells
// that no station reaches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/application/basins.h"
#include "tests/framework/gifencoder.h"
#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

using fluvextest::kTinyHeader;

// The tiny basin (or one of 2 rows and the given columns in one zone, for runs
// on several instances: a row shared by instances needs room for its strips)
// with one temperature section whose body each test writes.
class MeteoBasin {
 public:
  explicit MeteoBasin(const std::string& name) : dir(name) { fluvextest::WriteTinyBasin(dir); }
  MeteoBasin(const std::string& name, int columns) : dir(name) {
    const std::string header =
        "ncols " + std::to_string(columns) + "\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";
    std::string zones, dem;
    for (int c = 0; c < 2 * columns; ++c) {
      zones += c % columns == columns - 1 ? "1\n" : "1 ";
      dem += std::to_string(100 + 10 * c) + (c % columns == columns - 1 ? "\n" : " ");
    }
    WriteFile(dir / "zones.asc", header + zones);
    WriteFile(dir / "dem.asc", header + dem);
    std::filesystem::create_directories(dir / "out");
  }

  // Hourly station records from hour first to hour last of each day of
  // January 2001; value(day, hour, station) for station 0, 1, ...
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
        for (int i = 0; i < stations; ++i) s << " " << value(d, h, i);
        s << "\n";
      }
    WriteFile(dir / "temp.dat", s.str());
  }
  void Control(const std::string& outputControl, int minToIntEnd, const std::string& modelTime,
               const std::string& section) const {
    WriteFile(dir / "control.txt",
              fluvextest::TinyControl(outputControl, minToIntEnd, modelTime, "temperature", section));
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

// ASCII grids hold six significant digits.
void ExpectCells(const std::vector<double>& got, const std::vector<double>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-6 * std::fabs(want[i])) << what << " " << i;
}

const char* const kNoLimits = "-1e6\n1e6\n-1e6\n1e6";

}  // namespace

// The hour stamp marks the start of the step (min_to_int_end 60 with hours
// 0 ... 23): the step of hour 23 ends the day, and the daily mean is written there.
TEST(MeteoRun, DailyMeansWithTheHourAtTheStartOfTheStep) {
  MeteoBasin basin("meteo_daily");
  basin.Stations("500 2500", "1500 500", 2, 2, 0, 23, [](int d, int h, int) { return d == 1 ? h : 2 * h; });
  basin.Control("24", 60, "0\n1\n1\n2001\n23\n2\n1\n2001",
                "1   method\ntemp.dat\n" + Body("none", 80, 1, 1e5, kNoLimits, "0"));
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // Both stations carry the same value: every cell has it; day 1 means 11.5, day 2 23.
  ExpectCells(basin.Values("tempgrid_0101.01m"), std::vector<double>(6, 11.5), "day 1");
  ExpectCells(basin.Values("tempgrid_0101.02m"), std::vector<double>(6, 23.0), "day 2");
}

namespace {

// Method 9: the grid list file names one grid per hourly step of 1 January 2001.
void GridList(const MeteoBasin& basin, const std::vector<std::string>& grids) {
  std::string list = "grids\nYY MM DD HH 1\nxx xx xx xx 0\nyy yy yy yy 0\nnames\n";
  for (size_t h = 1; h <= grids.size(); ++h) list += "2001 1 1 " + std::to_string(h) + " " + grids[h - 1] + "\n";
  WriteFile(basin.dir / "grids.txt", list);
}

// The twelve header values of a binary grid file, of floats or (the grid
// under its own name at the run's end, which a warm start reads) doubles.
std::vector<double> FloatHeader(const std::string& path) {
  const std::string bytes = ReadFile(path);
  std::vector<double> header;
  double d[2] = {0, 0};
  if (bytes.size() >= 16) std::memcpy(d, bytes.data(), 16);
  const bool doubles = bytes.size() == (12 + d[0] * d[1]) * 8;
  for (size_t i = 0; i < 12 && (i + 1) * (doubles ? 8 : 4) <= bytes.size(); ++i) {
    float f = 0;
    double g = 0;
    if (doubles)
      std::memcpy(&g, bytes.data() + 8 * i, 8);
    else
      std::memcpy(&f, bytes.data() + 4 * i, 4);
    header.push_back(doubles ? g : f);
  }
  return header;
}

}  // namespace

// Grids read from files: the values of the file go through the scaling, and
// the statistics in the header of a binary result grid weight each cell by
// its relative area.
TEST(MeteoRun, GridInputFromAsciiFilesWithAreaWeightedHeaders) {
  MeteoBasin basin("meteo_gridinput");
  WriteFile(basin.dir / "a.asc", std::string(kTinyHeader) + "1 2 3\n4 5 6\n");
  WriteFile(basin.dir / "rca.asc", std::string(kTinyHeader) + "0.5 1 1.5\n1 1 2\n");
  GridList(basin, {"a.asc", "-9999"});
  basin.Control("24", 0, "1\n1\n1\n2001\n2\n1\n1\n2001",
                "9   method\ngrids.txt\n" + Body("1 0.1 127 1 0.1", 1, 2, 1e5, kNoLimits, "0"));
  std::string control = ReadFile(basin.dir / "control.txt");
  const std::string grids = "[standard_grids]\n1\ndem.asc elevation fillcode = 0 readcode = 1\n";
  control.replace(control.find("WriteAsciiGrids = 1"), 19, "WriteAsciiGrids = 0");
  control.replace(control.find(grids), grids.size(),
                  "[standard_grids]\n2\ndem.asc elevation fillcode = 0 readcode = 1\n"
                  "rca.asc RelCellArea fillcode = 0 readcode = 1\n");
  WriteFile(basin.dir / "control.txt", control);
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // The second step reads a.asc again; the grid is written each step under its name.
  const auto header = FloatHeader(basin.dir / "out/tempgrid");
  ASSERT_EQ(header.size(), 12u);
  // Scaled by 2: 2 4 6 / 8 10 12; weights 0.5 1 1.5 / 1 1 2 add to 7.
  EXPECT_NEAR(header[6], 7, 1e-6);                                        // count: the sum of the weights
  EXPECT_NEAR(header[7], 2, 1e-6);                                        // minimum
  EXPECT_NEAR(header[8], 12, 1e-6);                                       // maximum
  EXPECT_NEAR(header[9], 0.5 * 2 + 4 + 1.5 * 6 + 8 + 10 + 2 * 12, 1e-5);  // weighted sum 56
  EXPECT_NEAR(header[10], 56.0 / 7, 1e-5);                                // weighted mean
}

// GIF images as the grids of method 9, through the program: one pixel per
// model cell, each cell the bilinear value at its lower-left corner, then
// mapped by the two exponential branches. Two instances give the same grids.
TEST(MeteoRun, GifImagesAsGridInput) {
  for (int instances : {0, 2}) {
    MeteoBasin basin("meteo_gif" + std::to_string(instances), 8);
    // Uniform images: pixel 100 lies below the threshold 127, pixel 200 above it.
    WriteFile(basin.dir / "low.gif", giftest::Gif("GIF89a", 8, 2, 8, giftest::Lzw(std::vector<uint8_t>(16, 100), 8)));
    WriteFile(basin.dir / "high.gif", giftest::Gif("GIF89a", 8, 2, 8, giftest::Lzw(std::vector<uint8_t>(16, 200), 8)));
    GridList(basin, {"low.gif", "high.gif"});
    // f1 2, x1 0.01, threshold 127, f2 0.5, x2 0.005.
    basin.Control("24", 0, "1\n1\n1\n2001\n2\n1\n1\n2001",
                  "9   method\ngrids.txt\n" + Body("2 0.01 127 0.5 0.005", 2, 1, 1e5, kNoLimits, "0"));
    const auto r = RunFluvex("control.txt", basin.dir.path(), instances);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ExpectCells(basin.Values("tempgrid_20010101.001"), std::vector<double>(16, 2 * std::exp(1.0)), "pixel 100");
    ExpectCells(basin.Values("tempgrid_20010101.002"), std::vector<double>(16, 0.5 * std::exp(1.0)), "pixel 200");
  }
}

// Monthly scenario grids: method 5 multiplies by the grid of the step's
// month, method 6 adds it.
TEST(MeteoRun, MonthlyScenarioGrids) {
  for (int method : {5, 6}) {
    MeteoBasin basin("meteo_scenario" + std::to_string(method));
    basin.Stations("500 2500", "1500 500", 2, 1, 1, 2, [](int, int, int) { return 3; });
    std::string names;
    for (int m = 1; m <= 12; ++m) {
      const std::string file = "scen" + std::to_string(m) + ".asc";
      WriteFile(basin.dir / file, std::string(kTinyHeader) + (m == 1 ? "1 2 3\n4 5 6\n" : "9 9 9\n9 9 9\n"));
      names += file + "\n";
    }
    basin.Control(
        "24", 0, "1\n1\n1\n2001\n2\n1\n1\n2001",
        "1   method\ntemp.dat\n" + Body("none", 2, 1, 1e5, kNoLimits, "1\n" + std::to_string(method) + "\n" + names));
    const auto r = RunFluvex("control.txt", basin.dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::vector<double> product = {3, 6, 9, 12, 15, 18};
    const std::vector<double> sum = {4, 5, 6, 7, 8, 9};
    ExpectCells(basin.Values("tempgrid_20010101.002"), method == 5 ? product : sum, "scenario");
  }
}

// A cell that no station reaches within the maximum distance is missing: no
// scaling, no limit replacement turns it into a value, and the result grid
// holds there the nodata value its header names (-9999), which a GIS reads
// as missing.
TEST(MeteoRun, CellsWithoutStationStayMissing) {
  MeteoBasin basin("meteo_nostation");
  // Station 1 at the centre of the upper-left cell (where the cell is taken), station 2 far away.
  basin.Stations("500 100000", "1500 100000", 2, 1, 1, 2, [](int, int, int i) { return 20 * (i + 1); });
  // Reach 1100 m; scaling 0.1; below -50 the replacement 0.
  basin.Control("24", 0, "1\n1\n1\n2001\n2\n1\n1\n2001",
                "1   method\ntemp.dat\n" + Body("none", 2, 0.1, 1100, "-50\n50\n0\n50", "0"));
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // Cells at distance 0 and 1000 get 2; those at 1414, 2000 and 2236 m stay missing.
  ExpectCells(basin.Values("tempgrid_20010101.002"), {2, 2, -9999, 2, -9999, -9999}, "reach");
  EXPECT_NE(fluvextest::ReadFile(basin.dir / "out/tempgrid_20010101.002").find("nodata_value\t-9999\n"),
            std::string::npos);
}

// An output control below 1 is a report interval of 1 hour for every module.
TEST(MeteoRun, OutputControlBelowOneReportsEveryStep) {
  MeteoBasin basin("meteo_report");
  basin.Stations("500 2500", "1500 500", 2, 1, 1, 3, [](int, int h, int) { return h; });
  basin.Control("-3", 0, "1\n1\n1\n2001\n3\n1\n1\n2001",
                "1   method\ntemp.dat\n" + Body("none", 0, 1, 1e5, kNoLimits, "0"));
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const char* step : {"1.1.2001 1. h", "1.1.2001 2. h", "1.1.2001 3. h"})
    EXPECT_NE(r.output.find(std::string("temperature ") + step), std::string::npos) << step;
}
