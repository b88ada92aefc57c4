#include <gtest/gtest.h>
#include <omp.h>

#include <cstring>
#include <memory>
#include <vector>

#include "parameters/landusetable.h"
#include "tablefixture.h"
#include "tests/framework/codeof.h"

namespace {

// A block of the given method; series default to LAI 1 2 ... and flat others.
std::unique_ptr<landuse_table_entry> Parse(ControlFileFixture& cf, const std::string& method, const std::string& keys) {
  auto e = std::make_unique<landuse_table_entry>(1);
  ParseLanduseEntry(*e, *cf.diag,
                    "1 test method = " + method + " {\n RootDist = 1; TReduWet = 1; HReduDry = 1;\n" + keys + "\n}\n",
                    method);
  return e;
}

// Series keys for n fixpoints, every value v.
std::string Flat(int n, const char* v, const std::vector<std::string>& skip) {
  std::string s;
  for (const char* key : {"Albedo", "rsc", "LAI", "Z0", "VCF", "RootDepth", "AltDep"}) {
    bool skipped = false;
    for (const std::string& k : skip) skipped = skipped || k == key;
    if (skipped) continue;
    s += std::string(key) + " =";
    for (int i = 0; i < n; ++i) s += std::string(" ") + v;
    s += "; ";
  }
  return s;
}

// One cell (row 1, column 1) of vegetation layer 1.
struct CellGrid {
  double value[2] = {0, 0};
  double* rows[2] = {nullptr, value};
  Grid layers[2] = {nullptr, rows};
};

}  // namespace

TEST(LanduseValues, DayOfYearFollowsTheGregorianCalendar) {
  landuse_table_entry e(1);
  EXPECT_EQ(e.GetJulianDay(1, 3, 2000), 61);
  EXPECT_EQ(e.GetJulianDay(1, 3, 1900), 60);
  EXPECT_EQ(e.GetJulianDay(31, 12, 2100), 365);
  EXPECT_EQ(e.MonthLength(2), 28);
  EXPECT_EQ(e.GetJulianDay(29, 2, 2004), 60);
  EXPECT_EQ(e.MonthLength(2), 29);
  EXPECT_EQ(CodeOf([&] { e.GetJulianDay(32, 12, 2000); }), 150);  // day 367
}

TEST(LanduseValues, InterpolationWrapsOverTheYearEnd) {
  ControlFileFixture cf("values_wrap", "");
  auto e = Parse(cf, "VariableDayCount", "JulDays = 100 300; LAI = 1 3;" + Flat(2, "0", {"LAI"}));
  DiagStream& s = *cf.diag;
  // Day 350 lies after the last fixpoint: the interval runs from 300 - 366 to 100.
  EXPECT_NEAR(e->GetLAIAtJulianDay(s, 350, 1, 1, 1, 400.0), 3.0 * 116 / 166 + 1.0 * 50 / 166, 1e-12);
  EXPECT_NEAR(e->GetLAIAtJulianDay(s, 50, 1, 1, 1, 400.0), 3.0 * 50 / 166 + 1.0 * 116 / 166, 1e-12);
  EXPECT_DOUBLE_EQ(e->GetLAIAtJulianDay(s, 200, 1, 1, 1, 0.0), 2.0);
  // 17 December 2001 is day 351.
  EXPECT_NEAR(e->GetLAIAtDate(s, 17, 12, 2001, 1, 1, 1, 0.0), 3.0 * 115 / 166 + 1.0 * 51 / 166, 1e-12);

  // Equal neighbouring fixpoints (0 and 366 - 366) give the earlier value.
  auto eq = Parse(cf, "VariableDayCount", "JulDays = 0 200 366; LAI = 5 7 9;" + Flat(3, "0", {"LAI"}));
  EXPECT_DOUBLE_EQ(eq->GetLAIAtJulianDay(s, 0, 1, 1, 1, 0.0), 9.0);

  // The n-factor interpolates on the uncorrected days: altitude has no say.
  auto nf = Parse(cf, "VariableDayCount", "JulDays = 100 300; n-factor = 0.2 0.8;" + Flat(2, "0.5", {}));
  EXPECT_DOUBLE_EQ(nf->GetNFactorAtDate(s, 19, 7, 2001), 0.5);  // day 200
  EXPECT_NEAR(nf->GetNFactorAtDate(s, 17, 12, 2001), 0.8 * 115 / 166 + 0.2 * 51 / 166, 1e-12);
}

TEST(LanduseValues, AltitudeShiftsFixpointsAndRejectsDaysOutsideTheYear) {
  ControlFileFixture cf("values_altitude", "");
  DiagStream& s = *cf.diag;
  auto e = Parse(cf, "VariableDayCount",
                 "JulDays = 100 300; LAI = 1 3; AltDep = 0.01 0.013;" + Flat(2, "0", {"LAI", "AltDep"}));
  // 900 m: +5 days and +6.5 days, cut toward zero to 6.
  EXPECT_DOUBLE_EQ(e->GetLAIAtJulianDay(s, 306, 1, 1, 1, 900.0), 3.0);
  EXPECT_NEAR(e->GetLAIAtJulianDay(s, 205, 1, 1, 1, 900.0), 1.0 + 2.0 * 100 / 201, 1e-12);
  auto down = Parse(cf, "VariableDayCount",
                    "JulDays = 100 300; LAI = 1 3; AltDep = -0.013 0;" + Flat(2, "0", {"LAI", "AltDep"}));
  EXPECT_DOUBLE_EQ(down->GetLAIAtJulianDay(s, 94, 1, 1, 1, 900.0), 1.0);  // -6.5 becomes -6, not -7

  // A cell without elevation (-9999 m) is named as such, not only by the day it gives.
  EXPECT_FATAL(cf, e->GetLAIAtJulianDay(s, 200, 1, 1, 1, -9999.0), 152, "the cell has no elevation");

  auto far = Parse(cf, "VariableDayCount",
                   "JulDays = 100 300; LAI = 1 3; AltDep = 0.1 0.4;" + Flat(2, "0", {"LAI", "AltDep"}));
  EXPECT_FATAL(cf, far->GetLAIAtJulianDay(s, 200, 1, 1, 1, 900.0), 152,
               "altitude correction resulted in a Julian day of 500 for fix point 2 (JD should be between 1 and 366)");
  EXPECT_FATAL(cf, far->GetRootDepthAtJulianDay(s, 200, 1, 2, 3, 900.0), 152,
               "Coordinates: i=2, j=3\nLayer=1\nAltitude=900m\nJulday=200\nLanduse Code=1");
}

TEST(LanduseValues, OldRowsInterpolateMonthlyValuesBetweenThe15th) {
  ControlFileFixture cf("values_monthly", "");
  DiagStream& s = *cf.diag;
  landuse_table_entry e(1);
  ReadOldLanduseRow(e, s,
                    "6 m 0.2 10 20 30 40 50 60 70 80 90 100 110 120 1 120 240 366 1 2 3 4 "
                    "1 2 3 4 0.1 0.2 0.3 0.4 1 2 3 4 1 1\n",
                    2);
  for (int m = 1; m <= 12; ++m) EXPECT_DOUBLE_EQ(e.GetMonthlyValue(15, m), 10.0 * m);
  // 1 March after a non-leap February: p = 28, L = 31.
  EXPECT_NEAR(e.GetMonthlyValue(1, 3), 20.0 * 18 / 31 + 30.0 * 13 / 31, 1e-12);
  EXPECT_NEAR(e.GetRscAtDate(s, 1, 3, 2000, 1, 1, 1, 0), 20.0 * 17 / 31 + 30.0 * 14 / 31, 1e-12);
  EXPECT_NEAR(e.GetMonthlyValue(1, 3), 20.0 * 17 / 31 + 30.0 * 14 / 31, 1e-12);  // 2000's February stays
  EXPECT_NEAR(e.GetRscAtDate(s, 1, 3, 2001, 1, 1, 1, 0), 20.0 * 18 / 31 + 30.0 * 13 / 31, 1e-12);
  EXPECT_DOUBLE_EQ(e.GetRscAtJulianDay(s, 74, 1, 1, 1, 0), 30.0);  // 15 March
  // Day 366 wraps to 1 January: between December and January.
  EXPECT_NEAR(e.GetRsEvaporationAtJulianDay(s, 366, 1, 1, 1, 0), 120.0 * 15 / 31 + 10.0 * 16 / 31, 1e-12);
  EXPECT_DOUBLE_EQ(e.GetMonthlyInterceptionValue(20, 7), 20.0);
  // The other series use the four day fixpoints.
  EXPECT_DOUBLE_EQ(e.GetLAIAtJulianDay(s, 240, 1, 1, 1, 400.0), 3.0);
  EXPECT_EQ(cf.ErrorOf([&] { e.GetMonthlyValue(1, 13); }), 154);
  EXPECT_EQ(cf.ErrorOf([&] { e.GetRscAtJulianDay(s, -3, 1, 1, 1, 0); }), 153);
}

TEST(LanduseValues, PhenologyStartHoldsOrMovesTheFixpoint) {
  ControlFileFixture cf("values_phenology", "");
  DiagStream& s = *cf.diag;
  const std::string keys =
      "F* = 1; DP1_t1_dorm = 1; DP1_T_Bf = 1; JDReset_TStart = 1; maxStartJDforDP1 = 1; "
      "JulDays = 1 100 -1 30 366; LAI = 1 2 5 5 1; rsc = 10 20 40 40 10;" +
      Flat(5, "0", {"LAI", "rsc"});
  auto e3 = Parse(cf, "DynamicPhenology_1", keys);
  // Start unknown: after fixpoint 2 every series keeps its value.
  for (int d : {101, 366}) {
    EXPECT_DOUBLE_EQ(e3->GetLAIAtJulianDay(s, d, 1, 1, 1, 400.0), 2.0) << d;
    EXPECT_DOUBLE_EQ(e3->GetRscAtJulianDay(s, d, 1, 1, 1, 400.0), 20.0) << d;
  }
  CellGrid start;
  start.value[1] = 120;
  e3->SetPhenoStartGrids(start.layers);
  EXPECT_DOUBLE_EQ(e3->GetLAIAtJulianDay(s, 110, 1, 1, 1, 400.0), 2.0);  // held up to the start
  EXPECT_DOUBLE_EQ(e3->GetLAIAtJulianDay(s, 135, 1, 1, 1, 400.0), 5.0);
  EXPECT_NEAR(e3->GetLAIAtJulianDay(s, 200, 1, 1, 1, 400.0), 5.0 * 166 / 216 + 1.0 * 50 / 216, 1e-12);

  auto e6 = Parse(cf, "DynamicPhenology_4",
                  keys +
                      "DP4_t0_dorm = 1; DP4_t1_dorm = 1; DP4_T0 = 1; DP4_T1 = 1; DP4_Par_a = 1; DP4_Par_b = 1; "
                      "DP4_T_xylstop = 1; DP4_t_xs1 = 1; DP4_SPSLF = 1;");
  EXPECT_DOUBLE_EQ(e6->GetRscAtJulianDay(s, 110, 1, 1, 1, 400.0), 20.0);  // start unknown: held
  e6->SetPhenoStartGrids(start.layers);
  EXPECT_DOUBLE_EQ(e6->GetRscAtJulianDay(s, 110, 1, 1, 1, 400.0), 30.0);  // rsc moves toward the start
  EXPECT_DOUBLE_EQ(e6->GetLAIAtJulianDay(s, 110, 1, 1, 1, 400.0), 2.0);

  // Per-cell fixpoint days of DynamicPhenology_3, in days or in the forcing sum.
  auto e5 = Parse(cf, "DynamicPhenology_3",
                  "DP1_t1_dorm = 1; DP1_T_Bf = 1; JDReset_TStart = 1; maxStartJDforDP1 = 1; "
                  "JulDays = 1 120 200 366; ForcingThreshold = -1 -1 200 -1; LAI = 1 2 4 8;" +
                      Flat(4, "0", {"LAI"}));
  double levels[5] = {0, 1, 130, 210, 366};
  double* cell[2] = {nullptr, levels};
  double** rows[2] = {nullptr, cell};
  Stack stacks[2] = {nullptr, rows};
  e5->SetMultipleStartTimes(stacks, 4);
  EXPECT_NEAR(e5->GetLAIAtJulianDay(s, 150, 1, 1, 1, 400.0), 2.0 * 60 / 80 + 4.0 * 20 / 80, 1e-12);
  CellGrid forcing;
  forcing.value[1] = 50;
  e5->SetForcingSumGrids(forcing.layers);
  EXPECT_NEAR(e5->GetLAIAtJulianDay(s, 150, 1, 1, 1, 400.0), 2.0 * 150 / 200 + 4.0 * 50 / 200, 1e-12);
  EXPECT_DOUBLE_EQ(e5->GetLAIAtJulianDay(s, 300, 1, 1, 1, 400.0), 4.0 + 4.0 * 90 / 156);
}

TEST(LanduseValues, VegetationPeriodDaysAreTheFixpointDays) {
  ControlFileFixture cf("values_vegetation", "");
  DiagStream& s = *cf.diag;
  auto e = Parse(cf, "VariableDayCount",
                 "StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3; "
                 "JulDays = 1 100 200 366;" +
                     Flat(4, "1", {}));
  EXPECT_DOUBLE_EQ(e->GetVegetationStartDay(s, 100, 1, 1, 1, 400.0), 100.0);
  EXPECT_DOUBLE_EQ(e->GetVegetationStartDay(s, 101, 1, 1, 1, 400.0), -1.0);
  EXPECT_DOUBLE_EQ(e->GetVegetationStopDay(s, 200, 1, 1, 1, 400.0), 200.0);
  EXPECT_DOUBLE_EQ(e->GetVegetationStopDay(s, 199, 1, 1, 1, 400.0), -1.0);
  auto none = Parse(cf, "VariableDayCount", "JulDays = 1 100 200 366;" + Flat(4, "1", {}));
  EXPECT_DOUBLE_EQ(none->GetVegetationStartDay(s, 100, 1, 1, 1, 400.0), 0.0);
}

TEST(LanduseValues, ThreadsGetTheSameBitsAsSerialCalls) {
  ControlFileFixture cf("values_threads", "");
  DiagStream& s = *cf.diag;
  const std::string phen =
      "F* = 1; DP1_t1_dorm = 1; DP1_T_Bf = 1; JDReset_TStart = 1; maxStartJDforDP1 = 1; "
      "DP4_t0_dorm = 1; DP4_t1_dorm = 1; DP4_T0 = 1; DP4_T1 = 1; DP4_Par_a = 1; "
      "DP4_Par_b = 1; DP4_T_xylstop = 1; DP4_t_xs1 = 1; DP4_SPSLF = 1; "
      "StartVegetationPeriodForBalance = 1; StopVegetationPeriodForBalance = 4; "
      "JulDays = 30 100 -1 40 330; AltDep = 0.01 -0.02 0.01 0.03 -0.01; "
      "LAI = 1 2 5 5 1; rsc = 10 20 40 40 10; Z0 = 0.1 0.2 0.3 0.4 0.5; "
      "SR_StemDiameter = 1 2 3 4 5; n-factor = 0.1 0.2 0.3 0.4 0.5;";
  auto e = Parse(cf, "DynamicPhenology_4", phen + Flat(5, "0.7", {"LAI", "rsc", "Z0", "AltDep"}));
  CellGrid start;
  start.value[1] = 120;
  e->SetPhenoStartGrids(start.layers);
  auto all = [&](int d, double z, std::vector<double>& out) {
    const int day = d % 28 + 1, month = d % 12 + 1;
    out.insert(out.end(),
               {e->GetRscAtJulianDay(s, d, 1, 1, 1, z), e->GetRsInterceptionAtJulianDay(s, d, 1, 1, 1, z),
                e->GetRsEvaporationAtJulianDay(s, d, 1, 1, 1, z), e->GetZ0AtJulianDay(s, d, 1, 1, 1, z),
                e->GetLAIAtJulianDay(s, d, 1, 1, 1, z), e->GetVCFAtJulianDay(s, d, 1, 1, 1, z),
                e->GetAlbedoAtJulianDay(s, d, 1, 1, 1, z), e->GetRootDepthAtJulianDay(s, d, 1, 1, 1, z),
                e->GetSR_StemDiameterAtJulianDay(s, d, 1, 1, 1, z), e->GetSR_ResidCovrgAtJulianDay(s, d, 1, 1, 1, z),
                e->GetVegetationStartDay(s, d, 1, 1, 1, z), e->GetVegetationStopDay(s, d, 1, 1, 1, z),
                e->GetRscAtDate(s, day, month, 2001, 1, 1, 1, z), e->GetLAIAtDate(s, day, month, 2001, 1, 1, 1, z),
                e->GetAlbedoAtDate(s, day, month, 2001, 1, 1, 1, z),
                e->GetSR_ResidCovrgAtDate(s, day, month, 2001, 1, 1, 1, z), e->GetNFactorAtDate(s, day, month, 2001)});
  };
  std::vector<double> serial;
  for (int d = 1; d <= 366; ++d)
    for (double altitude : {0.0, 400.0, 1150.0}) all(d, altitude, serial);
  int mismatches = 0;
#pragma omp parallel num_threads(8) reduction(+ : mismatches)
  {
    std::vector<double> mine;
    // Each thread walks the days in its own order so that the calls interleave.
    const int t = omp_get_thread_num();
    std::vector<std::vector<double>> byDay(367);
    for (int k = 0; k < 366; ++k) {
      const int d = (k * 7 + t * 53) % 366 + 1;
      for (double altitude : {0.0, 400.0, 1150.0}) all(d, altitude, byDay[d]);
    }
    for (int d = 1; d <= 366; ++d) mine.insert(mine.end(), byDay[d].begin(), byDay[d].end());
    if (mine.size() != serial.size() || std::memcmp(mine.data(), serial.data(), serial.size() * sizeof(double)) != 0)
      ++mismatches;
  }
  EXPECT_EQ(mismatches, 0);
}
