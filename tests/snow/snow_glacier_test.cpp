// Glacierized cells, glacier runoff storages, the yearly firn update and the
// permafrost thaw depth against hand calculations, and the water balance of
// glacierized cells over many steps.
#include <omp.h>

#include <cmath>

#include "tests/snow/snowworld.h"

namespace {

// These small worlds run fastest on one thread on a busy machine.
const int kThreads = (omp_set_num_threads(1), 1);

// Values of "[ice_firn]" by line (dynamic methods take all 53 lines).
struct IceFirnSection {
  int method = 11;
  double DDFice = 9.6, DDFfirn = 7.2, DDFsnow = 2.4, MF = 0, Aice_min = 0, Aice_max = 0, Asnow_min = 0, Asnow_max = 0;
  double kice = 10, kfirn = 10, ksnow = 10, qice0 = 0, qfirn0 = 0, qsnow0 = 0;
  std::string firnline = "0 2000 0.5";
  std::string dateline = "30 9";
  std::string line53 = "1000 0.25";
  std::string valine = "28.5 1.36 3 0";
  std::string Text() const {
    std::ostringstream s;
    s << "[ice_firn]\n"
      << method << " method\n"
      << DDFice << "\n"
      << DDFfirn << "\n"
      << DDFsnow << "\n"
      << MF << "\n"
      << Aice_min << "\n"
      << Aice_max << "\n"
      << Asnow_min << "\n"
      << Asnow_max << "\n"
      << kice << "\n"
      << kfirn << "\n"
      << ksnow << "\n"
      << qice0 << "\n"
      << qfirn0 << "\n"
      << qsnow0 << "\n"
      << "mfirn\n0\nqfirn.stat 0\nmice\n0\nqice.stat 0\nqglac.stat 0\n";
    if (method > 10) {
      s << "qsg.stat 0\n0 readgrid\n"
        << firnline << "\n"
        << dateline << "\n"
        << valine << "\nfirnstack\n0\nfirn.stat 0\ngmb\n0\ngmbold\n0\ngmb1.stat 0\ngmb2.stat 0\n1.0\n"
        << "snowog.stat 0\n";
      for (int k = 0; k < 7; ++k) s << "grid" << k << "\n0\n";
      s << line53 << "\n";
    }
    return s.str();
  }
};

// Adds the glacier grids of a dynamic run: fraction and code per cell.
void AddGlaciers(SnowWorld& w, const std::vector<double>& fraction, const std::vector<double>& code) {
  Grid g = w.Add("GlacierizedCells", 0);
  Grid k = w.Add("GlacierCodes", kNodata);
  for (int r = 1; r <= w.nrows; ++r)
    for (int c = 1; c <= w.ncols; ++c) {
      g[r][c] = fraction[(r - 1) * w.ncols + c - 1];
      k[r][c] = code[(r - 1) * w.ncols + c - 1];
    }
}

void Weather(SnowWorld& w, double T, double P) {
  w.Fill("temperature", T);
  w.Fill("temperature_night", T);
  w.Fill("precipitation", P);
}

TEST(GlacierConfig, FirnLevelsTablesAndRefusedInput) {
  {
    // Firn: 0.5 mm per metre above 2000 m in each of 3 levels.
    SnowWorld w("firn", {"12"});
    AddGlaciers(w, {1, 0.4}, {1, 2});
    w["elevation"][1][1] = 2100;
    w["elevation"][1][2] = 1900;
    IceFirnSection f;
    f.firnline = "3 2000 0.5";
    f.qice0 = 12.5;
    ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
    Stack firn = w.model->GetFirnStack();
    for (int k = 1; k <= 3; ++k) {
      EXPECT_DOUBLE_EQ(firn[1][1][k], 50);
      EXPECT_DOUBLE_EQ(firn[1][2][k], 0);
    }
    EXPECT_DOUBLE_EQ(firn[1][1][0], 150);
    EXPECT_DOUBLE_EQ(w["firn_WE_stack"][1][1], 150);
    EXPECT_DOUBLE_EQ(w.model->GetQice(1), 12.5);
    EXPECT_DOUBLE_EQ(w.model->GetQice(2), 12.5);
    EXPECT_DOUBLE_EQ(w.model->GetRelSizeNewGlacier(), 0.25);
    // Two subbasins: one glacier cell each, fractions summed per subbasin.
    const auto& table = w.model->GetGlacierTable();
    ASSERT_EQ(table.size(), 3u);
    EXPECT_TRUE(table[1].glacier);
    EXPECT_DOUBLE_EQ(table[2].glacierized, 0.4);
    EXPECT_DOUBLE_EQ(table[2].free, 0.6);
  }
  {
    SnowWorld w("nocode", {"11"});
    AddGlaciers(w, {0, 0.5}, {1, kNodata});
    EXPECT_EQ(w.Build(SnowSection{}, IceFirnSection{}.Text()), 80);
    EXPECT_TRUE(w.Said("at row 1 and col 2")) << w.console.str();
  }
  {
    SnowWorld w("method7", {"1"});
    w.Add("ice_firn", 1);
    IceFirnSection f;
    f.method = 7;
    EXPECT_EQ(w.Build(SnowSection{}, f.Text()), 80);
    EXPECT_TRUE(w.Said("Method for glacier melt must be 1(resp 11 for dynamic model; t-index)"));
  }
  {
    // A new glacier's relative size divides its snow excess; the date must exist.
    for (const auto& [line53, date] : {std::pair<std::string, std::string>{"1000 0", "30 9"}, {"1000 0.25", "31 4"}}) {
      SnowWorld w("badvalues", {"1"});
      AddGlaciers(w, {1}, {1});
      IceFirnSection f;
      f.line53 = line53;
      f.dateline = date;
      EXPECT_EQ(w.Build(SnowSection{}, f.Text()), 80) << line53 << " " << date;
    }
  }
  {
    // Line 53 empty: warning and defaults.
    SnowWorld w("line53", {"1"});
    AddGlaciers(w, {1}, {1});
    IceFirnSection f;
    f.line53 = "";
    ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
    EXPECT_TRUE(w.Said("Could not read the two optional parameters maxSnowPackToCreateGlacier"));
    EXPECT_DOUBLE_EQ(w.model->GetMaxSnowPackToCreateGlacier(), 1000.0);
  }
  {
    SnowWorld w("permafrost2", {"1"});
    w.Add("ThawCoeffPermaFrost", 0.1);
    w.Add("PermafrostThawDepth", 0);
    w.Add("root_depth1", 1);
    EXPECT_EQ(w.Build(SnowSection{}, "[permafrost]\n2\n"), 80);
    EXPECT_TRUE(w.Said("method for permafrost melt must be 1 (alpha*sqrt(time))"));
  }
}

TEST(GlacierStep, RunoffStorageRecursionByHand) {
  // Subbasin of 2 cells, glacier fraction 0.5 on one: r = 0.25. Ice melt
  // 10 K x 9.6 / 24 = 4 mm on the glacier part, subbasin mean q = 1, q / r = 4.
  SnowWorld w("recursion", {"11"});
  AddGlaciers(w, {0.5, 0}, {1, kNodata});
  ASSERT_EQ(w.Build(SnowSection{}, IceFirnSection{}.Text()), 0) << w.console.str();
  double qg[2] = {0, 0};
  w.model->SetQg(qg);
  Weather(w, 10, 0);
  const double e = std::exp(-0.1);
  double X = 0;
  for (int step = 1; step <= 3; ++step) {
    w.model->run(step, 10, 1, 2001);
    EXPECT_NEAR(w["melt_from_ice"][1][1], 4.0, 1e-12);
    X = X * e + (1 - e) * 4;
    EXPECT_NEAR(qg[1], X * 0.25, 1e-12);
  }
  EXPECT_NEAR(w.model->GetQice(1), 1.0367, 5e-5);
  EXPECT_NEAR(w.model->GetQfirn(1), 0, 1e-15);
}

TEST(GlacierStep, SnowOnTheGlacierMeltsFirstAndFirnOverflowMeltsIce) {
  SnowWorld w("order", {"111"});
  AddGlaciers(w, {1, 1, 1}, {1, 1, 1});
  w["elevation"][1][3] = 2100;
  IceFirnSection f;
  f.firnline = "3 2000 0.5";  // 150 mm of firn on cell 3 only
  f.DDFfirn = 384;            // 160 mm firn melt at 10 K per hour
  ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
  w["SolidSnowStorage_onGlacier"][1][1] = 100;  // snow melt 1 mm, ice stays
  w["SolidSnowStorage_onGlacier"][1][2] = 0.5;  // snow gone: ice melt 4 - 0.5
  Weather(w, 10, 0);
  w.model->run(1, 10, 1, 2001);
  EXPECT_DOUBLE_EQ(w["SolidSnowStorage_onGlacier"][1][1], 99);
  EXPECT_EQ(w["melt_from_ice"][1][1], 0);
  EXPECT_NEAR(w["SnowMelt_onGlacier"][1][2], 0.5, 1e-12);
  EXPECT_NEAR(w["melt_from_ice"][1][2], 3.5, 1e-12);
  EXPECT_NEAR(w["melt_from_firn"][1][3], 150, 1e-9);
  EXPECT_NEAR(w["melt_from_ice"][1][3], 10, 1e-9);
  EXPECT_EQ(w["firn_WE_stack"][1][3], 0);
}

TEST(GlacierStep, WaterBalanceOfGlacierizedCellsPerStep) {
  SnowWorld w("balance", {"112", "122", "222"});
  AddGlaciers(w, {0.3, 1, 0, 0.7, 0.2, 0, 0, 1, 0.5}, {1, 1, kNodata, 1, 2, kNodata, kNodata, 2, 2});
  for (int c = 1; c <= 3; ++c) w["elevation"][1][c] = 2050 + 10 * c;
  IceFirnSection f;
  f.firnline = "3 2000 0.5";
  f.DDFfirn = 30;
  SnowSection s;
  s.CWH = 0.1;
  ASSERT_EQ(w.Build(s, f.Text()), 0) << w.console.str();
  Grid S = w["snowstorage_solid"], L = w["snowstorage_liquid"], Sg = w["SolidSnowStorage_onGlacier"],
       Lg = w["LiquidSnowStorage_onGlacier"], firn = w["firn_WE_stack"];
  double worst = 0;
  for (int step = 0; step < 400 * kThreads; ++step) {
    const double T = 6 * std::sin(step * 0.05) + 1.5;
    const double P = step % 7 < 3 ? 0.8 + 0.1 * (step % 5) : 0;
    Weather(w, T, P);
    double before[3][3][3];
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 3; ++c) {
        before[r - 1][c - 1][0] = S[r][c] + L[r][c];
        before[r - 1][c - 1][1] = Sg[r][c] + Lg[r][c];
        before[r - 1][c - 1][2] = firn[r][c] > kNodata ? firn[r][c] : 0;
      }
    w.model->run(step % 24 + 1, 10 + step / 24, 1, 2001);
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 3; ++c) {
        if (!(w["GlacierizedCells"][r][c] > 0)) continue;
        const double* b = before[r - 1][c - 1];
        const double open = P - (S[r][c] + L[r][c] - b[0]) - w["snowcover_outflow"][r][c];
        const double onGlacier = P - (Sg[r][c] + Lg[r][c] - b[1]) - w["SnowMelt_onGlacier"][r][c];
        const double firnGiven = b[2] - firn[r][c] - w["melt_from_firn"][r][c];
        worst = std::max({worst, std::fabs(open), std::fabs(onGlacier), std::fabs(firnGiven)});
        EXPECT_GE(w["melt_from_ice"][r][c], 0);
      }
  }
  EXPECT_LT(worst, 1e-9);
}

TEST(GlacierStep, YearlyUpdateTurnsDeepSnowIntoGlacierAndFirnKeepingTheWater) {
  SnowWorld w("yearly", {"11"});
  AddGlaciers(w, {0, 0.5}, {kNodata, 3});
  IceFirnSection f;
  f.firnline = "2 3000 0.5";   // no initial firn below 3000 m
  f.valine = "28.5 1.36 0 0";  // no elevation bands: the geometry stays
  ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
  Grid S = w["snowstorage_solid"], L = w["snowstorage_liquid"];
  S[1][1] = 1500;  // W = 1600 > 1000: a new glacier of fraction 0.25
  L[1][1] = 100;
  S[1][2] = 1100;  // 1200 on the open half, 300 mm excess
  L[1][2] = 100;
  w["SolidSnowStorage_onGlacier"][1][2] = 40;
  w.model->YearlyGlacierUpdate();
  Grid g = w["GlacierizedCells"];
  Stack firn = w.model->GetFirnStack();
  EXPECT_DOUBLE_EQ(g[1][1], 0.25);
  // The new glacier cell joins its neighbour's glacier.
  EXPECT_EQ(w["GlacierCodes"][1][1], 3);
  EXPECT_NEAR(S[1][1] + L[1][1], 1000, 1e-9);
  // The glacier part took the cell's 1600 mm plus 600 x 0.75 / 0.25.
  EXPECT_NEAR(firn[1][1][1], 3400, 1e-9);
  EXPECT_NEAR(0.75 * (S[1][1] + L[1][1]) + 0.25 * firn[1][1][0], 1600, 1e-9);
  EXPECT_NEAR(w["OldGlacierMassBalance"][1][1], 3400, 1e-9);
  // Existing glacier: 200 excess moved with (1 - g) / g = 1, plus its own 40.
  EXPECT_NEAR(firn[1][2][1], 240, 1e-9);
  EXPECT_NEAR(0.5 * (S[1][2] + L[1][2]) + 0.5 * firn[1][2][0], 0.5 * 1200 + 0.5 * 40, 1e-9);
  EXPECT_EQ(w["SolidSnowStorage_onGlacier"][1][2], 0);
  const auto& table = w.model->GetGlacierTable();
  EXPECT_DOUBLE_EQ(table[1].glacierized, 0.75);
  EXPECT_DOUBLE_EQ(table[1].free, 1.25);
}

TEST(Permafrost, ThawDepthFollowsSnowFreeDaysAndCapsRootDepth) {
  SnowWorld w("thaw", {"1"});
  w.Add("ThawCoeffPermaFrost", 0.05);
  w.Add("PermafrostThawDepth", 0);
  w.Add("root_depth1", 1.0);
  SnowSection s;
  s.interval = 1440;
  ASSERT_EQ(w.Build(s, "[permafrost]\n1\n3 Min_Snow_Age_Refreeze\n5 Max_SWE_SnowFree\nthaw.stat 0\n1e-7\n"), 0)
      << w.console.str();
  w["SnowFreeDaysGrid"][1][1] = 99;
  Weather(w, -5, 0);
  w.model->run(24, 10, 1, 2001);
  EXPECT_NEAR(w["PermafrostThawDepth"][1][1], 0.5, 1e-12);
  EXPECT_NEAR(w["root_depth1"][1][1], 0.5, 1e-12);
  // Snow-covered for 2 days keeps the thaw depth; the third day refreezes.
  w["snowstorage_solid"][1][1] = 100;
  for (int day = 11; day <= 12; ++day) {
    w.model->run(24, day, 1, 2001);
    EXPECT_NEAR(w["PermafrostThawDepth"][1][1], 0.5, 1e-12) << day;
  }
  w.model->run(24, 13, 1, 2001);
  EXPECT_EQ(w["PermafrostThawDepth"][1][1], 0);
  EXPECT_EQ(w["SnowFreeDaysGrid"][1][1], 0);
  EXPECT_EQ(w["root_depth1"][1][1], 0);
}

}  // namespace
