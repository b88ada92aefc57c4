// The example basin runs a year of hourly steps on one, two and four instances
// and on four threads with the same results, and writes what its control file
// asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunCommand;
using fluvextest::RunFluvex;
using fluvextest::TempDir;

namespace {

namespace fs = std::filesystem;

// A copy of the example with its generated inputs, run on the given instances
// and threads per instance; each pair of texts replaces the first text of the
// control file by the second.
void RunExample(const TempDir& dir, int instances, int threads = 1,
                const std::vector<std::pair<std::string, std::string>>& edits = {}) {
  for (const char* f : {"control.txt", "dem.asc", "zones.asc", "flow_times.asc", "make_inputs.py"})
    fs::copy_file(std::string(FLUVEX_EXAMPLE_DIR) + "/" + f, dir / f);
  std::string control = ReadFile(dir / "control.txt");
  for (const auto& [from, to] : edits) {
    const size_t p = control.find(from);
    ASSERT_NE(p, std::string::npos) << from;
    control.replace(p, from.size(), to);
  }
  fluvextest::WriteFile(dir / "control.txt", control);
  const auto made = RunCommand("python3 make_inputs.py .", dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.output;
  fs::create_directories(dir / "out");
  const std::string command = std::string(FLUVEX_MPIRUN) + " --oversubscribe -np " + std::to_string(instances) +
                              " -x OMP_WAIT_POLICY=passive -x OMP_NUM_THREADS=" + std::to_string(threads) + " " +
                              FLUVEX_BINARY + " control.txt";
  const auto r = RunCommand(command, dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
  EXPECT_EQ(ReadFile(dir / "Fluvex_Diag_0.xml").find("WARNING"), std::string::npos);
}

// Mean of the grid's values per code of the zone grid (cells of both not missing).
std::map<int, double> ZoneMeans(const std::string& grid, const std::string& zones) {
  auto values = [](const std::string& path) {
    std::istringstream in(ReadFile(path));
    std::string word;
    for (int i = 0; i < 12; ++i) in >> word;  // six header lines of two words
    std::vector<double> v;
    double x;
    while (in >> x) v.push_back(x);
    return v;
  };
  const auto g = values(grid);
  const auto z = values(zones);
  std::map<int, double> sum, count;
  for (size_t i = 0; i < z.size() && i < g.size(); ++i)
    if (z[i] > -9999 && g[i] > -9999) {
      sum[int(z[i])] += g[i];
      count[int(z[i])] += 1;
    }
  for (auto& [code, s] : sum) s /= count[code];
  return sum;
}

std::map<std::string, std::string> Results(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& f : fs::directory_iterator(dir / "out"))
    files[f.path().filename().string()] = ReadFile(f.path().string());
  return files;
}

std::vector<std::vector<std::string>> Rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> row;
    std::string w;
    while (words >> w) row.push_back(w);
    rows.push_back(row);
  }
  return rows;
}

int DaysInMonth(int month) {  // 2015 is no leap year
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return days[month - 1];
}

}  // namespace

TEST(ExampleBasin, RunsAYearOnOneTwoAndFourInstancesAndFourThreadsWithEqualResults) {
  TempDir one("example_1");
  TempDir two("example_2");
  TempDir four("example_4");
  TempDir threads("example_t4");
  RunExample(one, 1);
  RunExample(two, 2);
  RunExample(four, 4);
  RunExample(threads, 1, 4);
  if (HasFatalFailure()) return;
  const auto a = Results(one);

  // A daily temperature grid and a grid of the day's precipitation sum for
  // every day of 2015, and no grid of the last hour's precipitation.
  for (int m = 1; m <= 12; ++m) {
    char name[64];
    for (int d = 1; d <= DaysInMonth(m); ++d) {
      std::snprintf(name, sizeof name, "temp_2015%02d%02d.024", m, d);
      EXPECT_EQ(a.count(name), 1u) << name;
      std::snprintf(name, sizeof name, "prec_15%02d.%02ds", m, d);
      EXPECT_EQ(a.count(name), 1u) << name;
      std::snprintf(name, sizeof name, "prec_2015%02d%02d.024", m, d);
      EXPECT_EQ(a.count(name), 0u) << name;
    }
  }

  // Every statistics file of the meteorological input and of the modules has
  // its three header lines and one line per day of 2015, with a column per
  // subbasin and the basin's value.
  for (const char* stat : {"temperature.stat", "precipitation.stat", "wind.stat", "humidity.stat", "radiation.stat",
                           "etp.stat", "etr.stat", "ei.stat", "si.stat", "throughfall.stat", "rain.stat", "snow.stat",
                           "snowoutflow.stat", "snowstorage.stat"}) {
    ASSERT_EQ(a.count(stat), 1u) << stat;
    const auto rows = Rows(a.at(stat));
    ASSERT_EQ(rows.size(), 3u + 365u) << stat;
    EXPECT_EQ(rows[3][0] + "-" + rows[3][1] + "-" + rows[3][2] + "-" + rows[3][3], "2015-1-1-24") << stat;
    EXPECT_EQ(rows.back()[0] + "-" + rows.back()[1] + "-" + rows.back()[2], "2015-12-31") << stat;
    // Wind, humidity and radiation have the basin mean only.
    const bool basinOnly = std::string(stat) == "wind.stat" || std::string(stat) == "humidity.stat" ||
                           std::string(stat) == "radiation.stat";
    EXPECT_EQ(rows.back().size(), basinOnly ? 5u : 4u + 3u + 1u) << stat;
  }
  // The higher a subbasin lies on average, the colder its mean of the year.
  const auto height = ZoneMeans(one / "dem.asc", one / "zones.asc");
  ASSERT_EQ(height.size(), 3u);
  const auto t = Rows(a.at("temperature.stat"));
  std::map<int, double> temperature;
  for (size_t i = 3; i < t.size(); ++i)
    for (int z = 1; z <= 3; ++z) temperature[z] += std::stod(t[i][3 + z]) / 365;
  for (int z1 = 1; z1 <= 3; ++z1) {
    for (int z2 = 1; z2 <= 3; ++z2) {
      if (height.at(z1) > height.at(z2) + 5) {
        EXPECT_LT(temperature[z1], temperature[z2]) << z1 << " " << z2;
      }
    }
  }

  // The same files with the same contents on 2 and 4 instances and on 4
  // threads; statistics lines hold sums over the instances and may differ in
  // the last digit written.
  for (const TempDir* other : {&two, &four, &threads}) {
    const auto b = Results(*other);
    ASSERT_EQ(a.size(), b.size()) << other->path();
    for (const auto& [name, content] : a) {
      ASSERT_EQ(b.count(name), 1u) << name;
      if (name.size() > 5 && name.substr(name.size() - 5) == ".stat") {
        const auto ra = Rows(content);
        const auto rb = Rows(b.at(name));
        ASSERT_EQ(ra.size(), rb.size()) << name;
        for (size_t i = 3; i < ra.size(); ++i)
          for (size_t k = 0; k < ra[i].size(); ++k)
            EXPECT_NEAR(std::stod(ra[i][k]), std::stod(rb[i][k]), 1e-9 * std::fabs(std::stod(ra[i][k])) + 0.0011)
                << name << " line " << i + 1 << " " << other->path();
      } else if (name.rfind("MPIRegions", 0) != 0) {
        EXPECT_TRUE(content == b.at(name)) << name << " differs in " << other->path();
      }
    }
  }
}

TEST(ExampleBasin, TheDailyPrecipitationGridIsTheSumOfTheDaysHourlyGrids) {
  // The example's write code for precipitation, and in addition every hourly
  // grid (kind 2: dated, every step), over 1 to 3 January; 1 and 3 January
  // are wet, and on 3 January one station value is missing.
  TempDir dir("example_daysum");
  RunExample(dir, 1, 1,
             {{"40        write code: the day's sum", "42        write code: the day's sum"},
              {"31        end day\n12        end month", "3         end day\n1         end month"}});
  if (HasFatalFailure()) return;
  for (int day : {1, 3}) {
    char name[64];
    std::snprintf(name, sizeof name, "prec_1501.%02ds", day);
    const auto daily = Rows(ReadFile(dir / ("out/" + std::string(name))));
    ASSERT_GT(daily.size(), 6u) << name;
    std::vector<std::vector<double>> sum;
    for (int h = 1; h <= 24; ++h) {
      std::snprintf(name, sizeof name, "prec_201501%02d.%03d", day, h);
      const auto hourly = Rows(ReadFile(dir / ("out/" + std::string(name))));
      ASSERT_EQ(hourly.size(), daily.size()) << name;
      sum.resize(hourly.size());
      for (size_t r = 6; r < hourly.size(); ++r) {
        sum[r].resize(hourly[r].size(), 0.0);
        for (size_t c = 0; c < hourly[r].size(); ++c) sum[r][c] += std::stod(hourly[r][c]);
      }
    }
    double total = 0;
    for (size_t r = 6; r < daily.size(); ++r) {
      ASSERT_EQ(daily[r].size(), sum[r].size());
      for (size_t c = 0; c < daily[r].size(); ++c) {
        const double d = std::stod(daily[r][c]);
        if (d == -9999) continue;  // outside the basin
        EXPECT_NEAR(d, sum[r][c], 1e-4 * std::max(1.0, sum[r][c]))
            << "day " << day << " row " << r - 5 << " col " << c + 1;
        total += d;
      }
    }
    EXPECT_GT(total, 0) << "a day without any precipitation proves nothing";
  }
}

TEST(ExampleBasin, AMissingElevationInsideTheBasinIsNamedAsSuch) {
  TempDir dir("example_noelevation");
  for (const char* f : {"control.txt", "dem.asc", "zones.asc", "flow_times.asc", "make_inputs.py"})
    fs::copy_file(std::string(FLUVEX_EXAMPLE_DIR) + "/" + f, dir / f);
  ASSERT_EQ(RunCommand("python3 make_inputs.py .", dir.path()).exitCode, 0);
  fs::create_directories(dir / "out");
  // The elevation of the first basin cell of row 20 goes missing (the zone grid is made before).
  auto dem = Rows(ReadFile(dir / "dem.asc"));
  const auto zones = Rows(ReadFile(dir / "zones.asc"));
  size_t column = 0;
  while (column < zones[25].size() && std::stod(zones[25][column]) <= -9999) ++column;
  ASSERT_LT(column, zones[25].size());
  dem[25][column] = "-9999";
  std::ostringstream text;
  for (const auto& row : dem) {
    for (size_t c = 0; c < row.size(); ++c) text << (c ? " " : "") << row[c];
    text << "\n";
  }
  fluvextest::WriteFile(dir / "dem.asc", text.str());
  const auto r = RunFluvex("control.txt", dir.path());
  EXPECT_EQ(r.exitCode, 152) << r.output;
  EXPECT_NE(r.output.find("the cell has no elevation: the elevation model is missing (NODATA) at a cell inside the "
                          "basin of the zone grid"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Coordinates: i=20, j=" + std::to_string(column + 1)), std::string::npos) << r.output;
}
