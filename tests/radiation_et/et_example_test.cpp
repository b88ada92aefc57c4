// The example basin runs its year of hourly steps on two instances with its
// radiation correction, evapotranspiration after Penman-Monteith and
// interception; the annual potential evapotranspiration of the basin is what
// the climate at 50 N gives (roughly 550 to 750 mm), the interception
// evaporation a fraction of the precipitation. Days of June run with other
// settings: daily steps give the potential evapotranspiration of the hourly
// ones, a radiation correction kept for a day that of one recomputed every
// step, and the total real evapotranspiration is the sum of its parts and
// keeps to the demands of the dry and the wet canopy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <vector>

#include "tests/support/examplebasin.h"
#include "tests/support/modeloutput.h"
#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunCommand;
using fluvextest::RunFluvex;
using fluvextest::TempDir;

namespace {

namespace fs = std::filesystem;

// Sum of the last column (the basin mean) over the data lines of a statistics file.
double ColumnSum(const std::string& text, int& lines) {
  std::istringstream in(text);
  std::string line;
  double sum = 0;
  lines = 0;
  for (int i = 0; std::getline(in, line); ++i) {
    if (i < 3 || line.empty()) continue;
    std::istringstream words(line);
    std::string w, last;
    while (words >> w) last = w;
    sum += std::stod(last);
    ++lines;
  }
  return sum;
}

// The basin means (last column) of the data lines of a statistics file.
std::vector<double> Column(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  std::vector<double> values;
  for (int i = 0; std::getline(in, line); ++i) {
    if (i < 3 || line.empty()) continue;
    std::istringstream words(line);
    std::string w, last;
    while (words >> w) last = w;
    values.push_back(std::stod(last));
  }
  return values;
}

double Sum(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return s;
}

using fluvextest::Edits;

// Days 1 to last of June 2015, the evapotranspiration statistics of every step.
Edits JuneDays(int last, bool daily) {
  char time[400];
  std::snprintf(time, sizeof time,
                "[model_time]\n%d         starting hour\n1         starting day\n6         starting month\n"
                "2015      starting year\n24        end hour\n%d         end day\n6         end month\n"
                "2015      end year\n",
                daily ? 24 : 1, last);
  return {{"[model_time]\n1         starting hour\n1         starting day\n1         starting month\n"
           "2015      starting year\n24        end hour\n31        end day\n12        end month\n2015      end year\n",
           time},
          {"etp.stat 4024", "etp.stat 4001"},
          {"etr.stat 4024", "etr.stat 4001"},
          {"evar.stat 0", "evar.stat 4001"},
          {"evrs.stat 0", "evrs.stat 4001"},
          {"rgex.stat 0", "rgex.stat 4001"}};
}

// Evapotranspiration does not need the soil water and what follows it.
const Edits kSoilOff = {{"[unsatzon_model]\n1\n", "[unsatzon_model]\n0\n"},
                        {"[groundwater_flow]\n1\n", "[groundwater_flow]\n0\n"},
                        {"[SurfaceRoutingModel]\n1\n", "[SurfaceRoutingModel]\n0\n"},
                        {"[routing_model]\n1\n", "[routing_model]\n0\n"}};

// Daily steps on the day records that tests/data/balance/daily_stations.py writes.
const Edits kDaily = fluvextest::DailySteps();

Edits operator+(Edits a, const Edits& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Runs a copy of the example with the edits in dir; returns what failed.
std::string RunExample(const TempDir& dir, const Edits& edits, bool daily, int instances) {
  std::string failed = fluvextest::PrepareExample(FLUVEX_EXAMPLE_DIR, dir.path(), edits);
  if (!failed.empty()) return failed;
  if (daily) {
    const auto made =
        RunCommand("python3 " + std::string(FLUVEX_TEST_DATA) + "/balance/daily_stations.py .", dir.path());
    if (made.exitCode != 0) return made.output;
  }
  const auto r = RunFluvex("control.txt", dir.path(), instances);
  if (r.exitCode != 0)
    return "exit code " + std::to_string(r.exitCode) + "\n" +
           r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
  return "";
}

}  // namespace

TEST(ExampleBasinWithEvapotranspiration, RunsAYearWithPlausibleTotals) {
  TempDir dir("et_example");
  for (const char* f : {"control.txt", "dem.asc", "zones.asc", "flow_times.asc", "make_inputs.py"})
    fs::copy_file(std::string(FLUVEX_EXAMPLE_DIR) + "/" + f, dir / f);
  const auto made = RunCommand("python3 make_inputs.py .", dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.output;
  fs::create_directories(dir / "out");
  // Evapotranspiration and interception need neither the soil water with its
  // groundwater and surface routing nor the discharge routing of the example.
  std::string control = fluvextest::ReadFile(dir / "control.txt");
  for (const char* section :
       {"[unsatzon_model]\n", "[groundwater_flow]\n", "[SurfaceRoutingModel]\n", "[routing_model]\n"}) {
    const size_t at = control.find(std::string(section) + "1\n");
    ASSERT_NE(at, std::string::npos) << section;
    control[at + std::string(section).size()] = '0';
  }
  fluvextest::WriteFile(dir / "control.txt", control);

  const auto r = RunFluvex("control.txt", dir.path(), 2);
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);

  int days = 0;
  const double pet = ColumnSum(ReadFile(dir / "out/etp.stat"), days);
  EXPECT_EQ(days, 365);
  EXPECT_GT(pet, 550);
  EXPECT_LT(pet, 750);
  const double interception = ColumnSum(ReadFile(dir / "out/ei.stat"), days);
  int precipitationDays = 0;
  const double precipitation = ColumnSum(ReadFile(dir / "out/precipitation.stat"), precipitationDays);
  EXPECT_GT(interception, 0);
  EXPECT_LT(interception, 0.5 * precipitation);
}

TEST(ExampleBasinWithEvapotranspiration, DailyStepsGiveWhatHourlyStepsGive) {
  // A daily step's day part absorbs the day's net radiation like the hourly
  // steps do: the week's potential evapotranspiration is theirs, and each
  // day's follows the day's radiation.
  TempDir hourly("et_june_hourly"), daily("et_june_daily");
  ASSERT_EQ(RunExample(hourly, JuneDays(7, false) + kSoilOff, false, 0), "");
  ASSERT_EQ(RunExample(daily, JuneDays(7, true) + kSoilOff + kDaily, true, 0), "");
  const auto h = Column(ReadFile(hourly / "out/etp.stat"));
  const auto d = Column(ReadFile(daily / "out/etp.stat"));
  ASSERT_EQ(h.size(), 7u * 24);
  ASSERT_EQ(d.size(), 7u);
  EXPECT_GT(Sum(h), 15);
  EXPECT_NEAR(Sum(d) / Sum(h), 1, 0.05) << Sum(d) << " mm daily, " << Sum(h) << " mm hourly";
  // Day by day: the week has sunny days (6 700 Wh/m2) and dull ones (2 200
  // Wh/m2); each daily step gives its day's hourly sum within 5 %, so it
  // follows the day's radiation as the hours do.
  const auto radiation = Column(ReadFile(hourly / "out/rgex.stat"));
  ASSERT_EQ(radiation.size(), h.size());
  size_t sunny = 0, dull = 0;
  std::vector<double> days(7, 0.0), light(7, 0.0);
  for (size_t i = 0; i < 7; ++i) {
    for (size_t k = 0; k < 24; ++k) {
      days[i] += h[24 * i + k];
      light[i] += radiation[24 * i + k];
    }
    EXPECT_NEAR(d[i] / days[i], 1, 0.05) << "day " << i + 1 << ": " << d[i] << " mm daily, " << days[i] << " mm hourly";
    if (light[i] > light[sunny]) sunny = i;
    if (light[i] < light[dull]) dull = i;
  }
  EXPECT_GT(light[sunny], 2 * light[dull]);
  EXPECT_GT(d[sunny], 1.5 * d[dull]) << "the sunniest day (" << sunny + 1 << ") " << d[sunny] << " mm, the dullest ("
                                     << dull + 1 << ") " << d[dull] << " mm";
}

TEST(ExampleBasinWithEvapotranspiration, CorrectionKeptForADayFollowsTheSun) {
  // Recomputed every 24 hourly steps (first at 1 h, at night), the radiation
  // correction still corrects each daylight hour by the day's geometry. Over
  // the basin the slopes nearly cancel, so the corrected radiation is
  // compared on two slopes of 5 degrees, one facing south (row 33, column
  // 27) and one facing north (row 33, column 19), written each step by the
  // point output. At 49.75 N in early June the sun culminates 62 degrees
  // high: its beam on these slopes is cos(22.75)/cos(27.75) = 1.042 and
  // cos(32.75)/cos(27.75) = 0.950 times that on flat ground, and the
  // correction scales the direct share of the radiation (0.95 of it times
  // the relative sunshine) by that: with some sunshine the correction
  // recomputed every step raises the south slope's radiation and lowers the
  // north slope's by more than 0.5 % against a run without it. The one kept
  // for a day moves each slope's radiation the same way, by at least half
  // and at most one and a half times as much.
  const Edits points = {{"[special_output]\n0\n$step\n",
                         "[special_output]\n1\n$step\nnumfiles = 1;\n{\nfilename = slopes.txt; header = points;\n"
                         "entity { ID = AspectCorrectedGlobalRadiation; Symbol = R; Xcoords = 75500, 67500; "
                         "Ycoords = 107500, 107500; }\n}\n"}};
  TempDir every("et_june_every_hour"), daily("et_june_every_day"), off("et_june_uncorrected");
  ASSERT_EQ(RunExample(every, JuneDays(3, false) + kSoilOff + points, false, 0), "");
  ASSERT_EQ(RunExample(daily,
                       JuneDays(3, false) + kSoilOff + points +
                           Edits{{"1         the correction is recomputed every step",
                                  "24        the correction is recomputed every 24th step"}},
                       false, 2),
            "");
  ASSERT_EQ(RunExample(off,
                       JuneDays(3, false) + kSoilOff + points +
                           Edits{{"[radiation_correction]\n1\n", "[radiation_correction]\n0\n"}},
                       false, 0),
            "");
  // The sums of the two slopes' radiation over the steps.
  auto slopes = [](const TempDir& dir, double sums[2]) {
    sums[0] = sums[1] = 0;
    size_t steps = 0;
    for (const auto& row : fluvextest::Rows(ReadFile(dir / "out/slopes.txt"))) {
      if (row.size() < 6 || row[0] != "2015") continue;
      sums[0] += std::stod(row[4]);
      sums[1] += std::stod(row[5]);
      ++steps;
    }
    return steps;
  };
  double a[2], b[2], c[2];
  ASSERT_EQ(slopes(every, a), 3u * 24);
  ASSERT_EQ(slopes(daily, b), 3u * 24);
  ASSERT_EQ(slopes(off, c), 3u * 24);
  ASSERT_GT(c[0], 0);
  ASSERT_GT(c[1], 0);
  EXPECT_GT(a[0] / c[0], 1.005) << "south slope: corrected " << a[0] << ", uncorrected " << c[0];
  EXPECT_LT(a[1] / c[1], 0.995) << "north slope: corrected " << a[1] << ", uncorrected " << c[1];
  for (int k = 0; k < 2; ++k)
    EXPECT_NEAR((b[k] - c[k]) / (a[k] - c[k]), 1, 0.5) << (k ? "north" : "south") << " slope: every 24 steps " << b[k]
                                                       << ", every step " << a[k] << ", uncorrected " << c[k];
}

TEST(ExampleBasinWithEvapotranspiration, RealEvapotranspirationKeepsToItsDemands) {
  // The real evapotranspiration of a cell is the transpiration the soil gave
  // the vegetation, the soil evaporation, the snow evaporation and what the
  // interception storage lost, step by step (the statistics round each to 5
  // decimals). The potential evapotranspiration (etp) is the dry canopy's
  // transpiration and the soil's evaporation; the interception evaporation
  // E_i takes its water off the transpiration demand PT = etp - evap up to
  // that demand, so in each cell and step etr <= etp + max(0, E_i - PT).
  // Interception method 1 evaporates at most PT (etr <= etp); method 2 at
  // the potential interception evaporation of the wet canopy, which is
  // higher: somewhere etr exceeds etp, never by more than E_i - PT.
  struct Case {
    const char* name;
    const char* interception;  // the section's switch and method, or none
    bool exceeds;              // etr above etp in some cell and step
  };
  const Case cases[] = {{"no_interception", nullptr, false},
                        {"interception_1", "1\n$step\n1         method", false},
                        {"interception_2", "1\n$step\n2         method", true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Edits edits = JuneDays(3, false);
    edits.push_back({"ei.stat 4024", "ei.stat 4001"});
    for (const char* g : {"etp.asc\n0\n", "evap.asc\n0\n", "ei.asc\n0\n", "etr.asc\n40\n"})
      edits.push_back({g, std::string(g).substr(0, std::string(g).find('\n')) + "\n2\n"});
    edits.push_back(
        {"[interception_model]\n1\n$step\n1         method",
         std::string("[interception_model]\n") + (k.interception ? k.interception : "0\n$step\n1         method")});
    TempDir dir(std::string("et_june_") + k.name);
    ASSERT_EQ(RunExample(dir, edits, false, 0), "");
    const auto total = Column(ReadFile(dir / "out/etr.stat"));
    const auto layer = Column(ReadFile(dir / "out/etr_Layer_1.stat"));
    const auto soil = Column(ReadFile(dir / "out/evar.stat"));
    const auto snow = Column(ReadFile(dir / "out/evrs.stat"));
    const auto leaves = k.interception ? Column(ReadFile(dir / "out/ei.stat")) : std::vector<double>(total.size(), 0.0);
    ASSERT_EQ(total.size(), 3u * 24);
    ASSERT_EQ(layer.size(), total.size());
    ASSERT_EQ(soil.size(), total.size());
    ASSERT_EQ(snow.size(), total.size());
    ASSERT_EQ(leaves.size(), total.size());
    EXPECT_GT(Sum(layer), 1);  // June: the vegetation transpires
    if (k.interception) {
      EXPECT_GT(Sum(leaves), 0.1);
    }
    double worst = 0;
    size_t at = 0;
    for (size_t i = 0; i < total.size(); ++i) {
      const double parts = layer[i] + soil[i] + snow[i] + leaves[i];
      if (std::fabs(total[i] - parts) > worst) {
        worst = std::fabs(total[i] - parts);
        at = i;
      }
    }
    EXPECT_LE(worst, 3e-5) << "step " << at + 1 << ": total " << total[at] << ", transpiration " << layer[at]
                           << ", soil " << soil[at] << ", snow " << snow[at] << ", interception " << leaves[at];
    // Cell by cell and step by step from the grids of every step.
    int steps = 0;
    size_t above = 0;
    double beyond = -1, most = 0;
    std::string where;
    const fs::path out(dir / "out");
    for (const auto& entry : fs::directory_iterator(out)) {
      const std::string file = entry.path().filename().string();
      if (file.rfind("etr_2015", 0) != 0) continue;
      const std::string date = file.substr(4);
      const auto etr = fluvextest::ReadGridFile((out / file).string());
      const auto etp = fluvextest::ReadGridFile((out / ("etp_" + date)).string());
      const auto evap = fluvextest::ReadGridFile((out / ("evap_" + date)).string());
      const auto ei = fluvextest::ReadGridFile((out / ("ei_" + date)).string());
      ASSERT_GT(etr.values.size(), 1000u) << file;
      ASSERT_EQ(etp.values.size(), etr.values.size()) << date;
      ASSERT_EQ(evap.values.size(), etr.values.size()) << date;
      if (k.interception) {
        ASSERT_EQ(ei.values.size(), etr.values.size()) << date;
      }
      ++steps;
      for (size_t c = 0; c < etr.values.size(); ++c) {
        if (!(etr.values[c] > -9999) || !(etp.values[c] > -9999)) continue;
        const double intercepted = k.interception ? ei.values[c] : 0.0;
        const double demand = etp.values[c] - evap.values[c];
        const double over = etr.values[c] - (etp.values[c] + std::max(0.0, intercepted - demand));
        if (over > beyond) {
          beyond = over;
          where = date + ", cell " + std::to_string(c) + ": etr " + std::to_string(etr.values[c]) + ", etp " +
                  std::to_string(etp.values[c]) + ", soil demand " + std::to_string(evap.values[c]) +
                  ", interception " + std::to_string(intercepted);
        }
        if (etr.values[c] > etp.values[c] + 1e-5) ++above;
        most = std::max(most, etr.values[c] - etp.values[c]);
      }
    }
    EXPECT_EQ(steps, 3 * 24);
    EXPECT_LE(beyond, 1e-5) << where;
    if (k.exceeds) {
      EXPECT_GT(most, 0.01) << above << " cells and steps above etp";
    } else {
      EXPECT_EQ(above, 0u) << "by up to " << most << " mm";
    }
  }
}
