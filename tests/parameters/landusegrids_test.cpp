// The land-use parameter grids: values at the start date, the daily update
// on the last step of each day, grids read as input, and the set-up errors.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "landusegrids_world.h"

using lutest::Block;
using lutest::World;
using LPG = landuseparametergrids;

namespace {

double Lin(double x0, double y0, double x1, double y1, double x) {
  return x1 == x0 ? y0 : y0 + (y1 - y0) * (x - x0) / (x1 - x0);
}

// Linear interpolation around the year between fixpoints x (ascending days)
// with values v: before the first and after the last fixpoint between the
// last one of the year before and the first one of the next year.
double Circular(const std::vector<double>& x, const std::vector<double>& v, double d) {
  const size_t n = x.size();
  if (d <= x[0]) return Lin(x[n - 1] - 366, v[n - 1], x[0], v[0], d);
  if (d > x[n - 1]) return Lin(x[n - 1], v[n - 1], x[0] + 366, v[0], d);
  for (size_t i = 1; i < n; ++i)
    if (d <= x[i]) return Lin(x[i - 1], v[i - 1], x[i], v[i], d);
  return v[n - 1];
}

// Fixpoints 30 120 200 300, shifted by altitude: AltDep 0.01 0.02 0 0 per metre above 400 m.
const std::vector<int> kDays = {30, 120, 200, 300};
const std::vector<double> kAltDep = {0.01, 0.02, 0, 0};
std::vector<double> Shifted(double z) {
  std::vector<double> x;
  for (size_t i = 0; i < kDays.size(); ++i) x.push_back(kDays[i] + std::trunc(kAltDep[i] * (z - 400.0)));
  return x;
}

const std::string kSeasonal = Block(1, "VariableDayCount",
                                    "JulDays = 30 120 200 300; AltDep = 0.01 0.02 0 0;\n"
                                    "  StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;\n"
                                    "  LAI = 1 5 6 2; RootDepth = 0.3 0.8 1.0 0.5; VCF = 0.4 0.9 1.0 0.6;\n"
                                    "  Z0 = 0.05 0.2 0.3 0.1; Albedo = 0.25 0.2 0.18 0.22; rsc = 80 60 50 70;\n"
                                    "  rs_interception = 30 20 15 25; rs_evaporation = 250 200 150 220;");
// Values at and beyond their limits: the clamps decide. The table reader
// rejects the values beyond (OutOfRange sets them in the entry).
const std::string kOutOfRange = Block(2, "VariableDayCount",
                                      "JulDays = 100 200; AltDep = 0 0; LAI = 0 0; RootDepth = 0.005 0.001;\n"
                                      "  VCF = 1 0; Z0 = 0.001 0; Albedo = 0.3 0.3; rsc = 40 40;\n"
                                      "  rs_interception = 0 0;");
void OutOfRange(landuse_table_entry& e) {
  e.LAI = {-2, -1, -2};
  e.VCF = {-0.5, 1.2, -0.5};
  e.rs_interception = {-5, -5, -5};
}

struct Series {
  LPG::Kind kind;
  std::vector<double> values;
};
const std::vector<Series> kSeries = {
    {LPG::kLeafAreaIndex, {1, 5, 6, 2}},           {LPG::kRootDepth, {0.3, 0.8, 1.0, 0.5}},
    {LPG::kVegetationCover, {0.4, 0.9, 1.0, 0.6}}, {LPG::kRoughnessLength, {0.05, 0.2, 0.3, 0.1}},
    {LPG::kCanopyResistance, {80, 60, 50, 70}},    {LPG::kInterceptionResistance, {30, 20, 15, 25}}};

// Every parameter of cell (r, c) is the value of day d.
void ExpectDay(World& w, int r, int c, int d, const std::string& when) {
  const std::vector<double> x = Shifted(w.dem[r][c]);
  for (const Series& s : kSeries)
    EXPECT_NEAR(w.GridOf(s.kind)[r][c], Circular(x, s.values, d), 1e-12)
        << LPG::BaseName(s.kind) << " cell " << r << "," << c << " day " << d << " " << when;
  EXPECT_NEAR(w.albedo[r][c], Circular(x, {0.25, 0.2, 0.18, 0.22}, d), 1e-12) << when;
  EXPECT_NEAR(w.Get("SurfaceEvaporationResistance", r, c), Circular(x, {250, 200, 150, 220}, d), 1e-12) << when;
}

}  // namespace

// A leap year of hourly steps whose hour stamps mark the step start: the
// grids change on the last step of each day only, to the value of that day.
// The first day runs with the values of the day before the start (31
// December 2003, day 365), as it would in a run started earlier.
TEST(LanduseGrids, HourlyStepsOverALeapYearFollowTheValuesOfEachDay) {
  World w("lugrids_year", {"1111", ".10."}, kSeasonal, 1);
  const double z[2][4] = {{400, 900, 1200, 100}, {0, 650, 0, 0}};
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) w.dem[r][c] = z[r - 1][c - 1];
  w.frame.startYear = 2004;
  w.frame.minToIntEndMinutes = 60;  // stamps 0 ... 23 mark the start of each hour
  w.Build();
  const int cells[5][2] = {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 2}};
  for (auto& cell : cells) ExpectDay(w, cell[0], cell[1], 365, "at the start");
  int d = 0;
  for (int month = 1; month <= 12; ++month) {
    for (int day = 1; day <= DaysInMonth(2004, month); ++day) {
      ++d;
      for (int hour = 0; hour <= 23; ++hour) {
        w.Step(hour, day, month, 2004, 60);
        const bool last = hour == 23;
        if (hour == 0 || last)
          for (auto& cell : cells)
            ExpectDay(w, cell[0], cell[1], last ? d : (d == 1 ? 365 : d - 1), last ? "last step" : "first step");
      }
    }
  }
  EXPECT_EQ(d, 366);
  // A run started on 1 July holds at its start what the run from 1 January
  // holds on the steps of 1 July: the values of 30 June (day 182).
  World later("lugrids_july", {"1111", ".10."}, kSeasonal, 1);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 4; ++c) later.dem[r][c] = z[r - 1][c - 1];
  later.frame.startYear = 2004;
  later.frame.startMonth = 7;
  later.Build();
  for (auto& cell : cells) ExpectDay(later, cell[0], cell[1], 182, "started on 1 July");
  // Vegetation period from fixpoint 2 to fixpoint 3 (both shifted): counted
  // from the last step of its first day to the step before the last step of
  // its last day, 24 steps a day.
  for (auto& cell : cells) {
    const std::vector<double> x = Shifted(w.dem[cell[0]][cell[1]]);
    EXPECT_EQ(w.GridOf(LPG::kVegetationStart)[cell[0]][cell[1]], x[1]);
    EXPECT_EQ(w.GridOf(LPG::kVegetationStop)[cell[0]][cell[1]], x[2]);
    EXPECT_EQ(w.GridOf(LPG::kVegetationDuration)[cell[0]][cell[1]], 24 * (x[2] - x[1]));
  }
  // Outside the basin and without land use: no data, also in albedo.
  EXPECT_EQ(w.GridOf(LPG::kLeafAreaIndex)[2][1], kNodata);
  EXPECT_EQ(w.GridOf(LPG::kVegetationDuration)[2][3], kNodata);
  EXPECT_EQ(w.albedo[2][3], kNodata);
  EXPECT_EQ(w.albedo[2][1], 0.5);
}

// The last step of the day, for the four ways of stamping steps: hourly with
// end stamps (1 ... 24), hourly with start stamps (0 ... 23), daily end
// stamps (24) and daily start stamps (0).
TEST(LanduseGrids, DailyUpdateRunsOnTheLastStepForEndAndStartStamps) {
  struct Stamps {
    double minToIntEnd;
    std::vector<int> hours;
    int lastHour;
  };
  const std::vector<Stamps> cases = {{0, {}, 24}, {60, {}, 23}, {0, {24}, 24}, {1440, {0}, 0}};
  for (const Stamps& s : cases) {
    World w("lugrids_stamps", {"1"}, kSeasonal, 1);
    w.frame.minToIntEndMinutes = s.minToIntEnd;
    w.Build();
    std::vector<int> hours = s.hours;
    if (hours.empty())
      for (int h = 0; h < 24; ++h) hours.push_back(s.minToIntEnd == 0 ? h + 1 : h);
    for (int day = 1; day <= 28; ++day)
      for (int h : hours) {
        const double before = w.GridOf(LPG::kLeafAreaIndex)[1][1];
        w.Step(h, day, 2, 2001);  // days 32 ... 59: the leaf area changes every day
        const double after = w.GridOf(LPG::kLeafAreaIndex)[1][1];
        if (h == s.lastHour) {
          EXPECT_NE(after, before) << "min_to_int_end " << s.minToIntEnd << " day " << day << " hour " << h;
        } else {
          EXPECT_EQ(after, before) << "min_to_int_end " << s.minToIntEnd << " hour " << h;
        }
      }
    ExpectDay(w, 1, 1, 31 + 28, "end of February");
    EXPECT_TRUE(w.Said("   actual parameters 28.2.2001 " + std::to_string(s.lastHour) + ". h\n"));
  }
}

// A grid of the list under a parameter's name (read as input) is taken with
// its position; where the entry's mask leaves the parameter out, the read
// values stay, within the clamps.
TEST(LanduseGrids, ReadGridsKeepTheirValuesWhereTheMaskBitIsZero) {
  // Mask 10101110: roughness, vegetation cover, interception and canopy
  // resistance, evaporation resistance from the table; root depth, leaf area
  // and albedo as read.
  World w("lugrids_mask", {"11"},
          Block(1, "VariableDayCount",
                "useInternalParameters = 10101110; JulDays = 100 200; AltDep = 0 0;\n"
                "  LAI = 3 3; RootDepth = 1 1; VCF = 0.5 0.5; Z0 = 0.2 0.2; Albedo = 0.1 0.1;\n"
                "  rsc = 40 40;"),
          1);
  Grid lai = w.Add("leaf_area_index1", [](int, int c) { return c == 1 ? 7.0 : -3.0; });
  Grid root = w.Add("root_depth1", [](int, int c) { return c == 1 ? 0.001 : 0.6; });
  const int laiPosition = w.owner.FindGrid("leaf_area_index1", true);
  w.Build();
  EXPECT_EQ(w.grids->LayerGrid(LPG::kLeafAreaIndex, 1), lai);
  EXPECT_EQ(w.grids->LayerPosition(LPG::kLeafAreaIndex, 1), laiPosition);
  for (int day = 1; day <= 3; ++day) {
    EXPECT_EQ(lai[1][1], 7.0);
    EXPECT_EQ(lai[1][2], 0.0);  // -3 clamped
    EXPECT_EQ(root[1][1], 0.01);
    EXPECT_EQ(root[1][2], 0.6);
    EXPECT_EQ(w.albedo[1][1], 0.5);
    EXPECT_EQ(w.GridOf(LPG::kVegetationCover)[1][1], 0.5);
    EXPECT_EQ(w.GridOf(LPG::kCanopyResistance)[1][2], 40.0);
    EXPECT_EQ(w.Get("SurfaceEvaporationResistance", 1, 1), 200.0);  // the table's default
    w.Step(24, day, 1, 2001);
  }
  // One entry per name: the read grid was not registered a second time.
  int named = 0;
  for (const GridListEntry& e : w.list) named += e.shortname == "leaf_area_index1";
  EXPECT_EQ(named, 1);
  // Seven of the nine layer grids and the evaporation resistance are new.
  EXPECT_EQ(w.grids->CreatedGrids(), 8);
}

// Without dynamic-phenology entries: the nine grids of each layer and the
// evaporation resistance, no phenology grid and no pointer in the entries.
// A layer cell without land use is missing in that layer only.
TEST(LanduseGrids, TwoLayersWithoutPhenology) {
  World w("lugrids_layers", {"12", "21"}, kSeasonal + kOutOfRange, 2);
  OutOfRange(w.table[2]);
  w.layers.push_back(w.Add("landuse2", [](int r, int c) { return r == 1 && c == 2 ? kNodata : 1.0; }));
  w.Build(2);
  EXPECT_FALSE(w.grids->HasPhenology());
  EXPECT_EQ(w.grids->CreatedGrids(), 1 + 2 * 9);
  for (const char* name : {"TemperatureAVG", "TemperatureMOVAV", "StartDayOfLeaveFall", "SumOfForcingUnits1",
                           "Pheno_start1", "SumOfChillingUnits1", "FStar_ForcingThreshold2", "MultipleStartTimes1"})
    EXPECT_EQ(w.owner.FindGrid(name, true), 0) << name;
  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(w.table[i].PhenoStartGrids, nullptr);
    EXPECT_EQ(w.table[i].MultipleStartTimesStacks, nullptr);
  }
  EXPECT_GT(w.owner.FindGrid("root_depth2", false), 0);
  EXPECT_GT(w.owner.FindGrid("VegetationDuration2", false), 0);
  // Layer 2 of cell (1, 2) has no land use; layer 1 and the albedo are its layer-1 entry's.
  w.Step(24, 5, 5, 2001);
  EXPECT_EQ(w.GridOf(LPG::kRootDepth, 2)[1][2], kNodata);
  EXPECT_EQ(w.GridOf(LPG::kVegetationStart, 2)[1][2], kNodata);
  EXPECT_EQ(w.GridOf(LPG::kRootDepth, 1)[1][2], 0.01);
  EXPECT_EQ(w.albedo[1][2], 0.3);
  EXPECT_NEAR(w.GridOf(LPG::kLeafAreaIndex, 2)[2][1], Circular({30, 120, 200, 300}, {1, 5, 6, 2}, 125), 1e-12);
  EXPECT_EQ(w.GridOf(LPG::kLeafAreaIndex, 1)[2][1], 0.0);
}

TEST(LanduseGrids, SetUpErrors) {
  {  // no albedo
    World w("lugrids_noalbedo", {"1"}, kSeasonal, 1);
    w.list[w.owner.FindGrid("albedo", true)].shortname = "albedo_read";
    EXPECT_EQ(CodeOf([&] { w.Build(); }), 12);
    EXPECT_TRUE(
        w.Said("Albedo Grid not found for use within Landuse-Table.\n This grid must be read in as standard "
               "or variable grid (there, it can be created automatically)"));
  }
  {  // a full grid list
    World w("lugrids_full", {"1"}, kSeasonal, 1);
    for (int p = 1; p < kGridListMax; ++p)
      if (w.list[p].filename.empty()) w.list[p].filename = "taken";
    EXPECT_EQ(CodeOf([&] { w.Build(); }), 12);
    EXPECT_TRUE(w.Said("no free grid found in memory (at position 1000)"));
    for (int p = 1; p < kGridListMax; ++p)
      if (w.list[p].filename == "taken") w.list[p].filename.clear();
  }
  {  // a land-use code where an index is due
    World w("lugrids_code", {"11"}, kSeasonal, 1);
    w.layers[1][1][2] = 25;
    EXPECT_EQ(CodeOf([&] { w.Build(); }), 31);
    EXPECT_TRUE(w.Said("landuse1 holds 25 in row 1, column 2, which is no index of the land-use table (1 to 1)"));
  }
  {  // ... also when it comes later, with a new land-use grid
    World w("lugrids_code2", {"11"}, kSeasonal, 1);
    w.Build();
    w.layers[1][1][1] = 0;
    EXPECT_EQ(CodeOf([&] { w.Step(24, 1, 1, 2001); }), 31);
  }
}
