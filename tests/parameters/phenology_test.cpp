// Dynamic phenology against hand calculations: daily steps (hour stamp 24)
// with temperatures chosen so that the forcing rates are simple numbers.
// The sigmoid rate is 28.4 / (1 + exp(-0.185 ((T - Tb) - 18.4))), exactly
// 14.2 at T - Tb = 18.4.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "landusegrids_world.h"

using lutest::Block;
using lutest::World;
using LPG = landuseparametergrids;

namespace {

// Series of n fixpoints: LAI as given, the others flat.
std::string Series(const std::string& lai, int n) {
  std::string s = "LAI = " + lai + ";";
  for (const char* key : {"Albedo", "rsc", "Z0", "VCF", "RootDepth", "AltDep"}) {
    s += std::string(" ") + key + " =";
    for (int i = 0; i < n; ++i) s += std::string(" ") + (std::string(key) == "AltDep" ? "0" : "0.5");
    s += ";";
  }
  return s;
}

// Runs the days first ... last of 2001; temperature(r, c, d) gives the day's temperature.
void RunDays(World& w, int first, int last, const std::function<double(int, int, int)>& temperature,
             const std::function<void(int)>& afterDay = nullptr) {
  for (int d = first; d <= last; ++d) {
    for (int r = 1; r <= w.nrows; ++r)
      for (int c = 1; c <= w.ncols; ++c) w.temperature[r][c] = temperature(r, c, d);
    w.StepDay(24, d, 2001);
    if (afterDay) afterDay(d);
  }
}

// A forcing-only entry whose season does not start within the test.
std::string ForcingOnlyBlock() {
  return Block(1, "DynamicPhenology_1",
               "JulDays = 1 -1 30 366; F* = 100; DP1_t1_dorm = 60; DP1_T_Bf = 0; JDReset_TStart = 1;\n"
               "  maxStartJDforDP1 = 200; " +
                   Series("1 1 2 1", 4));
}

double Cell(World& w, LPG::Kind kind, int r, int c) {
  return w.GridOf(kind)[r][c];
}
std::vector<double> Levels(World& w, int r, int c) {
  Stack s = w.grids->MultipleStartTimes(1);
  return std::vector<double>(s[r][c], s[r][c] + w.grids->MaxFixpointCount() + 1);
}

}  // namespace

// DynamicPhenology_1: forcing from day 60 at 14.2 a day against F* = 14.2.
// The sum equals F* on day 60, which does not start the season; day 61
// does. At the base temperature the rate is 0 and the season never starts.
TEST(Phenology, ForcingOnlyStartsWhenTheSumExceedsFStar) {
  World w("pheno_m3", {"11"},
          Block(1, "DynamicPhenology_1",
                "JulDays = 1 50 -1 30 366; F* = 14.2; DP1_t1_dorm = 60; DP1_T_Bf = 0; JDReset_TStart = 1;\n"
                "  maxStartJDforDP1 = 200; " +
                    Series("0.5 0.5 1 5 0.5", 5)),
          1);
  w.Build();
  EXPECT_TRUE(w.grids->HasPhenology());
  EXPECT_FALSE(w.grids->HasMultipleStarts());
  RunDays(
      w, 1, 70, [](int, int c, int) { return c == 1 ? 18.4 : 0.0; },
      [&](int d) {
        if (d == 1) {  // the reset day
          EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 1), -1.0);
        }
        if (d == 60) {
          EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 1), 14.2);
          EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 1), -1.0);
        }
        if (d == 61) {
          EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 1), 61.0);
        }
      });
  EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 1), 28.4);  // no forcing after the start
  // Fixpoints 1, 50, start 61, 61 + 30 = 91: on day 70 the leaf area lies
  // 9/30 of the way from 1 to 5.
  EXPECT_NEAR(Cell(w, LPG::kLeafAreaIndex, 1, 1), 1 * 21.0 / 30 + 5 * 9.0 / 30, 1e-12);
  EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 2), 0.0);
  EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 2), -1.0);
  EXPECT_EQ(Cell(w, LPG::kLeafAreaIndex, 1, 2), 0.5);
}

// DynamicPhenology_2: chilling on days 1 ... 39 (window from day 300 over
// the year end to day 39), threshold a * exp(b * chilling) on day 39,
// sigmoid forcing from day 40.
TEST(Phenology, ChillingThenForcingAgainstTheDerivedThreshold) {
  const std::string common =
      "JulDays = 1 -1 30 366; F* = 1; DP1_t1_dorm = 1; DP1_T_Bf = 0; JDReset_TStart = 1; maxStartJDforDP1 = 200;\n"
      "  DP2_t0_dorm = 300; DP2_t1_dorm = 40; DP2_T_Bf = 0; DP2_T_Bc = 4; DP2_Offset_1 = 0; DP2_Par_a = 28.4;\n  " +
      Series("1 1 2 1", 4);
  World w("pheno_m4", {"1221", "3..."},
          Block(1, "DynamicPhenology_2", common + " DP2_Par_b = 0; DP2_Offset_2 = 8;") +
              Block(2, "DynamicPhenology_2", common + " DP2_Par_b = -0.05; DP2_Offset_2 = 8;") +
              Block(3, "DynamicPhenology_2", common + " DP2_Par_b = 0.01; DP2_Offset_2 = 3;"),
          3);
  w.Build();
  // Before day 40: 2 on the rising limb (0.5 units), 6 on the falling limb
  // (0.5 units), 3.5 above offset 2 = 3 (no units); from day 40: 18.4 (14.2 a
  // day), 25 in cell (1, 4); from day 300: 2 everywhere (0.5 units).
  RunDays(
      w, 1, 310,
      [](int r, int c, int d) {
        if (d >= 300) return 2.0;
        if (d >= 40) return r == 1 && c == 4 ? 25.0 : 18.4;
        if (r == 2) return 3.5;
        return c == 2 || c == 3 ? 6.0 : 2.0;
      },
      [&](int d) {
        if (d == 39) {
          EXPECT_NEAR(Cell(w, LPG::kChillingSum, 1, 1), 19.5, 1e-12);
          EXPECT_NEAR(Cell(w, LPG::kChillingSum, 1, 2), 19.5, 1e-12);
          EXPECT_EQ(Cell(w, LPG::kChillingSum, 2, 1), 0.0);
          EXPECT_EQ(Cell(w, LPG::kForcingThreshold, 1, 1), 28.4);
          EXPECT_NEAR(Cell(w, LPG::kForcingThreshold, 1, 2), 28.4 * std::exp(-0.05 * 19.5), 1e-12);
          EXPECT_EQ(Cell(w, LPG::kForcingThreshold, 2, 1), 28.4);
        }
        if (d == 41) {  // 28.4 equals the threshold: not yet
          EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 1), 28.4);
          EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 1), -1.0);
        }
        if (d == 299) {
          EXPECT_EQ(Cell(w, LPG::kChillingSum, 1, 1), 0.0);
        }
      });
  EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 1), 42.0);
  EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 2), 40.0);  // 14.2 > 28.4 exp(-0.975) = 10.7
  EXPECT_EQ(Cell(w, LPG::kPhenoStart, 2, 1), 42.0);
  const double rate25 = 28.4 / (1 + std::exp(-0.185 * (25 - 18.4)));  // 21.93
  EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 4), 41.0);
  EXPECT_NEAR(Cell(w, LPG::kForcingSum, 1, 4), 2 * rate25, 1e-12);
  EXPECT_NEAR(Cell(w, LPG::kChillingSum, 1, 1), 11 * 0.5, 1e-12);  // days 300 ... 310
}

// DynamicPhenology_3: start days reached by degree days (T - 5) against the
// thresholds 30 and 100 of fixpoints 2 and 3, at their fixpoint day at the
// latest; a sum equal to the threshold starts ("reached"). With the stress
// factor 2 and a root-zone value 100 above HReduDry 50 the rate is doubled
// (w = 50 / 100); below HReduDry it is not.
TEST(Phenology, MultipleStartsByDegreeDays) {
  const std::string keys =
      "JulDays = 1 60 120 366; ForcingThreshold = -1 30 100 -1; DP1_t1_dorm = 1; DP1_T_Bf = 5;\n"
      "  JDReset_TStart = 300; maxStartJDforDP1 = 150; " +
      Series("1 2 4 3", 4);
  World w(
      "pheno_m5", {"1122"},
      Block(1, "DynamicPhenology_3", keys) + Block(2, "DynamicPhenology_3", keys + " StressFactorDynPhen = 2;", "50"),
      2);
  w.Add("MeanThetaInRootZone", [](int, int c) { return c == 3 ? 100.0 : 40.0; });
  w.Build();
  EXPECT_TRUE(w.grids->HasMultipleStarts());
  EXPECT_EQ(w.grids->MaxFixpointCount(), 4);
  // At the start (1 January): fixpoint 1 and 4 by day, 2 and 3 to be reached.
  EXPECT_EQ(Levels(w, 1, 1), (std::vector<double>{0, 1, -1, -1, 366}));
  RunDays(
      w, 1, 130, [](int, int c, int) { return c == 2 ? 5.0 : 15.0; },
      [&](int d) {
        if (d == 4) {
          EXPECT_EQ(Levels(w, 1, 1), (std::vector<double>{30, 1, 4, -1, 366}));
        }
        // Day 8, forcing sum 70: the leaf area follows the sum from threshold 30
        // (value 2) to threshold 100 (value 4).
        if (d == 8) {
          EXPECT_NEAR(Cell(w, LPG::kLeafAreaIndex, 1, 1), 2 * 30.0 / 70 + 4 * 40.0 / 70, 1e-12);
        }
        if (d == 60) {
          EXPECT_EQ(Levels(w, 1, 2), (std::vector<double>{30, 1, 60, -1, 366}));
        }
      });
  EXPECT_EQ(Levels(w, 1, 1), (std::vector<double>{100, 1, 4, 11, 366}));
  EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 1), 10.0 * 129);
  EXPECT_EQ(Levels(w, 1, 2), (std::vector<double>{100, 1, 60, 120, 366}));
  EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 2), 0.0);
  EXPECT_EQ(Levels(w, 1, 3), (std::vector<double>{100, 1, 3, 6, 366}));
  EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 3), 20.0 * 129);
  EXPECT_EQ(Levels(w, 1, 4), (std::vector<double>{100, 1, 4, 11, 366}));
}

// DynamicPhenology_4: chilling days (T <= 5) until the start, threshold
// a + b ln(chilling days) from day 59, forcing T - 4 from day 60, leaf fall
// at fixpoint 4: after five cold days (7-day mean below 10) or at its day 250.
TEST(Phenology, ChillingDaysLogarithmicThresholdAndLeafFall) {
  const std::string keys =
      "JulDays = 1 -1 40 250 366; F* = 1; DP1_t1_dorm = 1; DP1_T_Bf = 0; JDReset_TStart = 1;\n"
      "  maxStartJDforDP1 = 200; DP4_t0_dorm = 280; DP4_t1_dorm = 60; DP4_T0 = 5; DP4_T1 = 4; DP4_Par_a = 50;\n"
      "  DP4_T_xylstop = 10; DP4_t_xs1 = 150; " +
      Series("0.5 0.5 4 4 0.5", 5);
  World w("pheno_m6", {"1211", "3..."},
          Block(1, "DynamicPhenology_4", keys + " DP4_Par_b = 0; DP4_SPSLF = 4;") +
              Block(2, "DynamicPhenology_4", keys + " DP4_Par_b = 0; DP4_SPSLF = 5;") +
              Block(3, "DynamicPhenology_4", keys + " DP4_Par_b = -10; DP4_SPSLF = 4;"),
          3);
  w.Build();
  EXPECT_EQ(w.grids->MaxFixpointCount(), 5);
  // Cells (1, 1) and (1, 2) turn cold on day 200, (1, 3) stays warm, (1, 4)
  // is held at T1 = 4 from day 60.
  RunDays(
      w, 1, 255,
      [](int r, int c, int d) {
        if (d < 60) return 2.0;
        if (r == 1 && c == 4) return 4.0;
        if (d >= 200 && r == 1 && c <= 2) return 3.0;
        return 14.0;
      },
      [&](int d) {
        if (d == 59) {  // day 1 precedes the reset
          EXPECT_EQ(Cell(w, LPG::kChillingSum, 1, 1), 58.0);
        }
        if (d == 64) {  // sum 50 = threshold
          EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 1), -1.0);
        }
        if (d == 80) {
          EXPECT_NEAR(Cell(w, LPG::kLeafAreaIndex, 1, 1), 0.5 + 3.5 * 15 / 40, 1e-12);
        }
        if (d == 205) {
          EXPECT_EQ(w.grids->StartDayOfLeaveFall()[1][1], 0.0);
        }
      });
  EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 1), 65.0);
  EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 1), 60.0);
  EXPECT_EQ(Cell(w, LPG::kForcingThreshold, 1, 1), 50.0);
  // The 7-day mean falls below 10 on day 202 (9.29); the fifth cold day is 206.
  EXPECT_EQ(w.grids->StartDayOfLeaveFall()[1][1], 206.0);
  EXPECT_EQ(Levels(w, 1, 1), (std::vector<double>{0, 1, 65, 105, 206, 366 + 206 - 250}));
  // Leaf fall at the last fixpoint: nothing is written beyond it, and the
  // earlier start days after the day of leaf fall move before it.
  EXPECT_EQ(w.grids->StartDayOfLeaveFall()[1][2], 206.0);
  EXPECT_EQ(Levels(w, 1, 2), (std::vector<double>{0, 1, 65, 105, 205, 206}));
  EXPECT_EQ(Levels(w, 1, 3)[0], 0.0);
  // Warm: leaf fall on the fixpoint's day.
  EXPECT_EQ(w.grids->StartDayOfLeaveFall()[1][3], 250.0);
  EXPECT_EQ(Levels(w, 1, 3), (std::vector<double>{0, 1, 65, 105, 250, 366}));
  // At T1 no forcing: the season has not started, and the chilling goes on.
  EXPECT_EQ(Cell(w, LPG::kPhenoStart, 1, 4), -1.0);
  EXPECT_EQ(Cell(w, LPG::kForcingSum, 1, 4), 0.0);
  EXPECT_EQ(Cell(w, LPG::kChillingSum, 1, 4), 58.0 + (255 - 59));
  EXPECT_EQ(w.grids->StartDayOfLeaveFall()[1][4], 0.0);
  // 50 - 10 ln 58 = 9.40: the first forcing day 60 (10) starts.
  EXPECT_EQ(Cell(w, LPG::kForcingThreshold, 2, 1), 50 - 10 * std::log(58.0));
  EXPECT_EQ(Cell(w, LPG::kPhenoStart, 2, 1), 60.0);
  EXPECT_EQ(Levels(w, 2, 1), (std::vector<double>{0, 1, 60, 100, 250, 366}));
}

// Phenology grids in the list before the set-up are states of an earlier
// run: negative cells are completed (start day TStart, threshold F*), the
// others kept. A chilling sum that is there (not negative) ends the
// forcing-only path; negative chilling cells keep it until the dormancy
// window opens (day 300).
TEST(Phenology, StoredStatesAreCompletedAndDecideTheForcingOnlyPath) {
  const std::string keys =
      "JulDays = 1 -1 30 366; F* = 14.2; DP1_t1_dorm = 150; DP1_T_Bf = 0; JDReset_TStart = 160;\n"
      "  maxStartJDforDP1 = 100; DP2_t0_dorm = 300; DP2_t1_dorm = 40; DP2_T_Bf = 10; DP2_T_Bc = 4;\n"
      "  DP2_Par_a = 28.4; DP2_Par_b = 0; " +
      Series("1 1 2 1", 4);
  for (double storedChilling : {-2.0, 3.0}) {
    World w("pheno_state", {"11"}, Block(1, "DynamicPhenology_2", keys), 1);
    w.frame.startMonth = 6;  // 1 June, day 152: past the latest start day 100
    Grid start = w.Add("Pheno_start1", [](int, int c) { return c == 1 ? -1.0 : 75.0; });
    Grid chilling = w.Add("SumOfChillingUnits1", [&](int, int) { return storedChilling; });
    Grid threshold = w.Add("FStar_ForcingThreshold1", [](int, int c) { return c == 1 ? -1.0 : 99.0; });
    Grid forcing = w.Add("SumOfForcingUnits1", [](int, int c) { return c == 1 ? -1.0 : 5.0; });
    w.Build();
    EXPECT_EQ(w.table[1].GetTStart(), 100 - 30);
    EXPECT_EQ(start[1][1], 70.0);
    EXPECT_EQ(start[1][2], 75.0);
    EXPECT_EQ(chilling[1][1], storedChilling < 0 ? 0.0 : 3.0);
    EXPECT_EQ(threshold[1][1], 14.2);
    EXPECT_EQ(threshold[1][2], 99.0);
    EXPECT_EQ(forcing[1][1], 0.0);
    EXPECT_EQ(forcing[1][2], 5.0);
    EXPECT_EQ(w.grids->CreatedGrids(), 1 + 3 + 9);
    EXPECT_EQ(w.table[1].GetUseForcingOnly(), storedChilling < 0 ? 1 : 0);
    // Reset on day 160; 14.2 a day from day 161. Forcing-only: F* = 14.2 is
    // passed on day 162. Otherwise the cell thresholds count, with the
    // rate at T - 10: far fewer units, 14.2 passed on day 164 (3.86 a day)
    // and 99 later still.
    RunDays(w, 152, 300, [](int, int, int) { return 18.4; });
    if (storedChilling < 0) {
      EXPECT_EQ(start[1][1], 162.0);
      EXPECT_EQ(start[1][2], 162.0);
      EXPECT_EQ(w.table[1].GetUseForcingOnly(), 0);  // the window opened on day 300
    } else {
      const double rate = 28.4 / (1 + std::exp(-0.185 * ((18.4 - 10) - 18.4)));
      EXPECT_EQ(start[1][1], 160.0 + std::floor(14.2 / rate) + 1);
      EXPECT_EQ(start[1][2], 160.0 + std::floor(99 / rate) + 1);
    }
  }
}

// TemperatureAVG is the mean of the day's steps whatever step length the
// caller names (the evapotranspiration interval, or 1440 when that is off),
// for start and end stamps; TemperatureMOVAV the mean of the last seven days,
// of the days seen during the first six.
TEST(Phenology, DailyAndMovingMeanTemperature) {
  struct Case {
    double minToIntEnd;
    int firstHour;
    int stepMinutes;
  };
  // Hour i of day d: 10 d + i (i + 1) / 8, a day mean of 10 d + 575 / 24.
  auto t = [](int d, int i) { return 10.0 * d + i * (i + 1) / 8.0; };
  for (const Case& k : {Case{60, 0, 1440}, Case{60, 0, 60}, Case{0, 1, 1440}}) {
    World w("pheno_means", {"1."}, ForcingOnlyBlock(), 1);
    w.frame.minToIntEndMinutes = k.minToIntEnd;
    w.Build();
    for (int d = 1; d <= 10; ++d) {
      for (int i = 0; i < 24; ++i) {
        w.temperature[1][1] = t(d, i);
        w.Step(k.firstHour + i, d, 3, 2001, k.stepMinutes);
      }
      EXPECT_NEAR(w.grids->TemperatureAVG()[1][1], 10.0 * d + 575.0 / 24, 1e-12) << "day " << d;
      const int m = std::min(d, 7);  // days in the window: mean day d - (m - 1) / 2
      EXPECT_NEAR(w.grids->TemperatureMOVAV()[1][1], 10.0 * (d - (m - 1) / 2.0) + 575.0 / 24, 1e-9) << "day " << d;
    }
    EXPECT_EQ(w.grids->TemperatureAVG()[1][2], kNodata);
    EXPECT_EQ(w.grids->TemperatureMOVAV()[1][2], kNodata);
  }
}

TEST(Phenology, MissingTemperatureIsFatal) {
  World w("pheno_notemp", {"1"}, ForcingOnlyBlock(), 1);
  w.list[w.owner.FindGrid("temperature", true)].shortname = "temperature_read";
  w.Build();
  EXPECT_EQ(CodeOf([&] { w.Step(24, 1, 1, 2001); }), 33);
  EXPECT_TRUE(
      w.Said("could not find grid with label \"temperature\". \nThis grid must be present (either by "
             "interpolating or by reading or as standard grid) for using dynamic phenology"));
}
