// Glacierized cells, glacier runoff storages, the yearly firn update and the
// permafrost thaw depth against hand calculations, and the water balance of
// glacierized cells over many steps; dynamic glaciers: volume-area scaling,
// the glacier list, band changes, the geometry update and the mass-balance
// redistribution, and a ten-year run of a valley glacier under warming.
#include <omp.h>

#include <cmath>

#include "framework/zonalstatistic.h"
#include "tests/snow/snowworld.h"

namespace {

// These small worlds run fastest on one thread on a busy machine.
const int kThreads = (omp_set_num_threads(1), 1);

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
    // A new glacier's relative size divides its snow excess; a date that is
    // no day of the year means no yearly update.
    for (const auto& [line53, date] : {std::pair<std::string, std::string>{"1000 0", "30 9"}, {"1000 0.25", "31 4"}}) {
      SnowWorld w("badvalues", {"1"});
      AddGlaciers(w, {1}, {1});
      IceFirnSection f;
      f.line53 = line53;
      f.dateline = date;
      const bool noUpdate = date == "31 4";
      EXPECT_EQ(w.Build(SnowSection{}, f.Text()), noUpdate ? 0 : 80) << line53 << " " << date;
      if (noUpdate) {
        EXPECT_TRUE(w.Said("the glaciers get no yearly update")) << w.console.str();
      }
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

  // Relative cell areas 0.5 and 1.5 (mean 1), glacier fractions 1 and 0.5,
  // 4 mm of ice melt on each glacier part: the subbasin's area-weighted mean
  // is (4 x 1 x 0.5 + 4 x 0.5 x 1.5) / 2 = 2.5 mm (the plain mean 3 mm).
  SnowWorld a("areas", {"11"});
  a.Add("RelCellArea", 0.5)[1][2] = 1.5;
  AddGlaciers(a, {1, 0.5}, {1, 1});
  ASSERT_EQ(a.Build(SnowSection{}, IceFirnSection{}.Text()), 0) << a.console.str();
  double qa[2] = {0, 0};
  a.model->SetQg(qa);
  Weather(a, 10, 0);
  a.model->run(1, 10, 1, 2001);
  EXPECT_NEAR(a["melt_from_ice"][1][2], 4.0, 1e-12);
  EXPECT_NEAR(qa[1], (1 - e) * 2.5, 1e-12);
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
        // A wholly glacierized cell has no open part to take the input.
        const double Popen = w["GlacierizedCells"][r][c] < 1 ? P : 0.0;
        const double open = Popen - (S[r][c] + L[r][c] - b[0]) - w["snowcover_outflow"][r][c];
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
  Grid I = w.Add("interception_storage0", 0);
  I[1][1] = 6;  // water on the plants of the new glacier's cell
  w.model->YearlyGlacierUpdate();
  Grid g = w["GlacierizedCells"];
  Stack firn = w.model->GetFirnStack();
  EXPECT_DOUBLE_EQ(g[1][1], 0.25);
  // The new glacier cell joins its neighbour's glacier.
  EXPECT_EQ(w["GlacierCodes"][1][1], 3);
  EXPECT_NEAR(S[1][1] + L[1][1], 1000, 1e-9);
  EXPECT_EQ(I[1][1], 6);
  // The glacier part took the cell's 1600 mm and the 6 mm on its plants,
  // plus 600 x 0.75 / 0.25.
  EXPECT_NEAR(firn[1][1][1], 3406, 1e-9);
  EXPECT_NEAR(0.75 * (S[1][1] + L[1][1] + I[1][1]) + 0.25 * firn[1][1][0], 1606, 1e-9);
  EXPECT_NEAR(w["OldGlacierMassBalance"][1][1], 3406, 1e-9);
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

// ---- dynamic glaciers ----

double GlacierArea(SnowWorld& w) {
  const Grid area = w["RelCellArea"];
  double a = 0;
  for (int r = 1; r <= w.nrows; ++r)
    for (int c = 1; c <= w.ncols; ++c) a += std::max(0.0, w["GlacierizedCells"][r][c]) * (area ? area[r][c] : 1.0);
  return a;  // cells of 1 km2 times their relative areas
}

TEST(GlacierObjects, VolumeAreaScalingAndSmallestArea) {
  Glacier g;
  g.VAscaling = 28.5;
  g.VAexponent = 1.36;
  g.area = 1;
  g.VolumeFromArea();
  EXPECT_DOUBLE_EQ(g.volume, 28.5);
  g.area = 0.0004;
  g.VolumeFromArea();
  EXPECT_NEAR(g.volume, 0.0023705, 5e-7);
  EXPECT_DOUBLE_EQ(g.area, 0.001);
  // Volume below the smallest glacier's keeps that glacier.
  g.volume = 1e-6;
  g.AreaFromVolume();
  EXPECT_DOUBLE_EQ(g.area, 0.001);
  EXPECT_NEAR(g.volume, 0.0023705, 5e-7);
  g.volume = 28.5 * std::pow(2.0, 1.36);
  g.AreaFromVolume();
  EXPECT_NEAR(g.area, 2.0, 1e-12);
}

TEST(GlacierObjects, ThreeBandsShrinkInTheRatioThreeTwoOneAndEmptiedCellsLeave) {
  Glacier g(1, 3, 0, 1, 28.5, 1.36, 0, 0, 1000);
  g.minElevation = 0;
  g.maxElevation = 300;
  g.BuildBands();
  double fraction[7] = {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5};
  double code[7] = {1, 1, 1, 1, 1, 1, 1};
  const double elevation[6] = {50, 60, 150, 160, 250, 400};
  for (int i = 0; i < 6; ++i) g.AddCellToBand(&fraction[i], &code[i], elevation[i]);
  EXPECT_EQ(g.bandCellCount, 6u);
  // W = 2 x 3 + 2 x 2 + 2 x 1 = 12 changeable cell passes.
  const double f = g.FractionPerIteration(true, -1.2);
  EXPECT_NEAR(f, -0.1, 1e-15);
  double R = 0;
  for (int k = 0; k < 3; ++k) R += g.ApplyToBands(k, f);
  EXPECT_NEAR(R, 0, 1e-12);
  EXPECT_NEAR(0.5 - fraction[0], 0.3, 1e-12);
  EXPECT_NEAR(0.5 - fraction[2], 0.2, 1e-12);
  EXPECT_NEAR(0.5 - fraction[4], 0.1, 1e-12);
  EXPECT_NEAR(0.5 - fraction[5], 0.1, 1e-12);  // above the range: top band

  // A cell that cannot give the whole decrement is emptied and leaves the glacier.
  ElevationBand band;
  double small[2] = {0.05, 1};
  double codes[2] = {1, 1};
  band.AddCell(&small[0], &codes[0]);
  band.AddCell(&small[1], &codes[1]);
  EXPECT_EQ(band.CountChangeableCells(-1), 2);
  const double rest = band.ChangeCells(-0.1);
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(codes[0], -9999);
  EXPECT_NEAR(small[1], 0.85, 1e-12);  // the second sweep takes the rest
  EXPECT_NEAR(rest, 0, 1e-12);
}

TEST(GlacierList, SubbasinsNewCodesAndRedistribution) {
  {
    SnowWorld w("twosub", {"12"});
    AddGlaciers(w, {1, 1}, {7, 7});
    EXPECT_EQ(w.Build(SnowSection{}, IceFirnSection{}.Text()), 84);
    EXPECT_TRUE(w.Said("glacier 7 is located in more than one subbasin")) << w.console.str();
    EXPECT_TRUE(w.Said("row 1 and col 2 belongs to subbasin 2"));
  }
  {
    // Two neighbouring new cells without a coded neighbour open glacier 5 + 1.
    SnowWorld w("newcodes", {"1111"});
    AddGlaciers(w, {1, 0, 0, 0}, {5, kNodata, kNodata, kNodata});
    ASSERT_EQ(w.Build(SnowSection{}, IceFirnSection{}.Text()), 0) << w.console.str();
    w["GlacierCodes"][1][3] = -1;
    w["GlacierCodes"][1][4] = -1;
    w.model->CollectGlacierCells(-1, false);
    EXPECT_EQ(w["GlacierCodes"][1][3], 6);
    EXPECT_EQ(w["GlacierCodes"][1][4], 6);
    EXPECT_EQ(w["GlacierizedCells"][1][4], 0.25);
    ASSERT_EQ(w.model->GetGlaciers().size(), 2u);
    EXPECT_EQ(w.model->GetGlaciers()[1]->cellCount, 2u);
  }
  {
    SnowWorld w("redistribute", {"1111"});
    AddGlaciers(w, {1, 1, 0.5, 0.5}, {1, 1, 1, 1});
    ASSERT_EQ(w.Build(SnowSection{}, IceFirnSection{}.Text()), 0) << w.console.str();
    Grid gmb = w["GlacierMassBalance"];
    Grid g = w["GlacierizedCells"];
    const double balance[4] = {-300, -500, -800, -1200};
    for (int c = 1; c <= 4; ++c) gmb[1][c] = balance[c - 1];
    auto booked = [&]() {
      double s = 0;
      for (int c = 1; c <= 4; ++c) s += gmb[1][c] * std::max(0.0, g[1][c]);
      return s;
    };
    const double before = booked();
    w.model->RedistributeGlacierMassBalance(-1);
    for (int c = 1; c <= 4; ++c) EXPECT_EQ(gmb[1][c], balance[c - 1]);
    g[1][3] = 0.2;
    g[1][4] = 0;
    w["GlacierCodes"][1][4] = kNodata;
    w.model->RedistributeGlacierMassBalance(-1);
    EXPECT_NEAR(booked(), before, 1e-9);
    // Lost: 0.3 x -800 + 0.5 x -1200 = -840 over the fractions 2.2.
    EXPECT_NEAR(gmb[1][1], -300 - 840 / 2.2, 1e-9);
  }
}

TEST(GlacierGeometry, NegativeBalanceShrinksTheGlacierToItsScaledArea) {
  // A glacier of 4.5 cells of 1 km2 along the middle row, half covered in
  // column 5; the outer rows are bare. With elevation bands a balance of
  // -30 m of water shrinks it and empties column 5, without them nothing
  // changes. With relative cell areas of 0.5 the glacier is 2.25 km2, and
  // its volume, its change and its new area are those of 2.25 km2.
  for (const auto& [bands, relative] : {std::pair{"3", 1.0}, std::pair{"0", 1.0}, std::pair{"3", 0.5}}) {
    SnowWorld w(std::string("shrink") + bands + std::to_string(relative), {"11111", "11111", "11111"});
    if (relative != 1) w.Add("RelCellArea", relative);
    std::vector<double> fraction(15, 0), code(15, kNodata);
    for (int c = 0; c < 5; ++c) fraction[5 + c] = c < 4 ? 1 : 0.5, code[5 + c] = 1;
    AddGlaciers(w, fraction, code);
    IceFirnSection f;
    f.valine = std::string("28.5 1.36 ") + bands + " 0";
    ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
    for (int c = 1; c <= 5; ++c) w["GlacierMassBalance"][2][c] = -30000;
    w.model->UpdateGlacierGeometry();
    const double A0 = 4.5 * relative;
    if (bands[0] == '0') {
      EXPECT_DOUBLE_EQ(GlacierArea(w), A0);
      continue;
    }
    const double V0 = 28.5 * std::pow(A0, 1.36);
    const double dV = -30000 / 0.85 / 1000 * A0;
    const double target = std::pow((V0 + dV) / 28.5, 1 / 1.36);
    EXPECT_FALSE(w.Said("There were too many iterations")) << w.console.str();
    EXPECT_NEAR(GlacierArea(w), target, 1e-5);
    // The emptied cell leaves the glacier; the others keep it.
    for (int c = 1; c <= 5; ++c) {
      EXPECT_EQ(w["GlacierizedCells"][2][c] > 0, c < 5) << c;
      EXPECT_EQ(w["GlacierCodes"][2][c], c < 5 ? 1 : -9999) << c;
    }
  }
}

TEST(GlacierRun, ValleyGlacierShrinksOverTenWarmingYearsKeepingItsWater) {
  // A valley glacier: fully covered along the valley axis, half covered at
  // its sides; daily steps, a summer that warms year by year.
  SnowWorld w("valley", {"11111", "11111", "11111", "11111"});
  AddGlaciers(w, {0, 0.5, 1, 0.5, 0, 0, 0.5, 1, 0.5, 0, 0, 0.5, 1, 0.5, 0, 0, 0, 0.5, 0, 0},
              {kNodata, 1, 1, 1, kNodata, kNodata, 1,       1, 1,       kNodata,
               kNodata, 1, 1, 1, kNodata, kNodata, kNodata, 1, kNodata, kNodata});
  for (int r = 1; r <= 4; ++r)
    for (int c = 1; c <= 5; ++c) w["elevation"][r][c] = 2600 - 100 * r - 20 * std::abs(c - 3);
  SnowSection s;
  s.interval = 1440;
  IceFirnSection f;
  f.firnline = "2 2400 0.5";
  f.DDFice = 6.0;
  f.dateline = "15 11";  // the update on an early winter's snow
  ASSERT_EQ(w.Build(s, f.Text()), 0) << w.console.str();
  Grid S = w["snowstorage_solid"], L = w["snowstorage_liquid"], Sg = w["SolidSnowStorage_onGlacier"],
       Lg = w["LiquidSnowStorage_onGlacier"], g = w["GlacierizedCells"];
  Stack firn = w.model->GetFirnStack();
  auto value = [](double v) { return v > kNodata ? v : 0.0; };
  // The water of a cell, mm over the cell: the open part's snow and the
  // glacier part's snow and firn, each by its share. The yearly update moves
  // water between the parts and changes the shares; it keeps this sum but
  // for the oldest firn that turns to ice.
  auto water = [&](int r, int c) {
    const double share = std::clamp(value(g[r][c]), 0.0, 1.0);
    const double F = value(firn[r][c][1]) + value(firn[r][c][2]);
    return (1 - share) * (S[r][c] + L[r][c]) + share * (value(Sg[r][c]) + value(Lg[r][c]) + F);
  };
  double area = GlacierArea(w);
  double iceMelt = 0;
  double worst = 0;
  int updates = 0;
  for (int year = 2001; year <= 2010; ++year) {
    const int lengths[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int doy = 0;
    for (int month = 1; month <= 12; ++month)
      for (int day = 1; day <= lengths[month]; ++day) {
        ++doy;
        const double T = -1 + 10 * std::sin((doy - 110) * 0.0172) + 0.5 * (year - 2001);
        const double P = doy % 4 == 0 ? 3.0 : 0.0;
        w.Fill("temperature", T);
        w.Fill("temperature_night", T);
        w.Fill("precipitation", P);
        double before[4][5][2];
        for (int r = 1; r <= 4; ++r)
          for (int c = 1; c <= 5; ++c) {
            before[r - 1][c - 1][0] = water(r, c);
            before[r - 1][c - 1][1] = std::clamp(value(g[r][c]), 0.0, 1.0);
          }
        const bool update = month == 11 && day == 15;
        w.model->run(24, day, month, year);
        for (int r = 1; r <= 4; ++r)
          for (int c = 1; c <= 5; ++c) {
            // The step's fluxes leave each part with the share it had.
            const double g0 = before[r - 1][c - 1][1];
            const double out = (1 - g0) * w["snowcover_outflow"][r][c] +
                               g0 * (w["SnowMelt_onGlacier"][r][c] + w["melt_from_firn"][r][c]) +
                               value(w["firn_turned_to_ice"][r][c]);
            worst = std::max(worst, std::fabs(P - (water(r, c) - before[r - 1][c - 1][0]) - out));
            iceMelt += w["melt_from_ice"][r][c] * g0;
          }
        if (update) {
          const double now = GlacierArea(w);
          EXPECT_LE(now, area + 1e-9) << year;
          if (now < area - 1e-9) ++updates;
          area = now;
        }
      }
  }
  // Every year's update shrank the glacier and kept the water.
  EXPECT_EQ(updates, 10);
  EXPECT_LT(worst, 1e-9);
  EXPECT_GT(iceMelt, 0);
  EXPECT_LT(area, 6.5);
  EXPECT_GT(w.model->GetQice(1) * kThreads, 0);
}

// ---- radiation factors, static glacier cells, slides and the yearly update ----

TEST(GlacierStep, IceSnowAndFirnMeltWithTheirOwnRadiationFactors) {
  // 10 K above T0, R 100, MF 2 per day, 24 steps a day: snow on the glacier
  // and firn melt 10 (2 / 24 + 100 x 0.001) mm, bare ice 10 (2 / 24 + 100 x 0.002).
  const double snow = 10 * (2.0 / 24 + 0.1), ice = 10 * (2.0 / 24 + 0.2);
  for (int method : {2, 12, 13}) {
    SnowWorld w("radiation" + std::to_string(method), {"111"});
    w.Add("global_radiation", 100);
    IceFirnSection f;
    f.method = method;
    f.MF = 2;
    f.Aice_min = f.Aice_max = 0.002;
    f.Asnow_min = f.Asnow_max = 0.001;
    if (method == 2) {
      w.Add("ice_firn", 1)[1][3] = 2;  // ice, ice, firn
    } else {
      AddGlaciers(w, {1, 1, 1}, {1, 1, 1});
      w["elevation"][1][3] = 2100;
      f.firnline = "3 2000 0.5";  // 150 mm of firn on cell 3
    }
    ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
    w["SolidSnowStorage_onGlacier"][1][1] = 100;
    Weather(w, 10, 0);
    w.model->run(1, 10, 1, 2001);
    // Method 13 melts the glacier's snow as the snow method does: C0 3 per day.
    const double melted = method == 13 ? 10 * 3 / 24.0 : snow;
    EXPECT_NEAR(w["SolidSnowStorage_onGlacier"][1][1], 100 - melted, 1e-12) << method;
    EXPECT_EQ(w["melt_from_ice"][1][1], 0) << method;
    EXPECT_NEAR(w["melt_from_ice"][1][2], ice, 1e-12) << method;
    EXPECT_NEAR(w["melt_from_firn"][1][3], snow, 1e-12) << method;
    EXPECT_EQ(w["melt_from_ice"][1][3], 0) << method;
  }
}

TEST(GlacierStep, StaticGlacierCellsAreWholeGlacierAndEverySubbasinGetsItsRunoff) {
  // Subbasin 1: an ice cell and a bare one; subbasin 2 bare. Ice melt
  // 10 K x 9.6 / 24 = 4 mm over the whole first cell: 2 mm over subbasin 1.
  SnowWorld w("static", {"112"});
  w.Add("ice_firn", 0)[1][1] = 1;
  IceFirnSection f;
  f.method = 1;
  f.kice = f.kfirn = f.ksnow = 0.001;  // the storages pass the melt on in its step
  f.qglaccode = 4024;
  ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
  const auto& table = w.model->GetGlacierTable();
  EXPECT_DOUBLE_EQ(table[1].glacierized, 1.0);
  EXPECT_DOUBLE_EQ(table[1].free, 1.0);
  EXPECT_FALSE(table[2].glacier);
  // The static methods keep the snow-melt statistics of glacier areas off.
  EXPECT_FALSE(w.model->GlacierStatisticOf(schneemodellklasse::kStatSnowOnIce)->IsActive());
  EXPECT_TRUE(w.model->GlacierStatisticOf(schneemodellklasse::kStatGlacierTotal)->IsActive());
  double qg[3] = {0, 5, 99};
  w.model->SetQg(qg);
  Weather(w, 10, 0);
  w.model->run(1, 10, 1, 2001);
  EXPECT_NEAR(w["melt_from_ice"][1][1], 4.0, 1e-12);
  EXPECT_NEAR(qg[1], 2.0, 1e-12);
  // A subbasin without glacier gets 0, so that nothing stays there.
  EXPECT_EQ(qg[2], 0.0);
}

TEST(GlacierStep, CellsWithoutGlacierKeepNoGlacierSnowAndMethod13KeepsTheEvaporationTaken) {
  SnowWorld w("glacierfree", {"11"});
  AddGlaciers(w, {1, 0}, {1, kNodata});
  w.Add("global_radiation", 0);
  IceFirnSection f;
  f.method = 13;
  ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
  w["SolidSnowStorage_onGlacier"][1][1] = 20;
  w["SolidSnowStorage_onGlacier"][1][2] = 50;  // left from a glacier that is gone
  w["LiquidSnowStorage_onGlacier"][1][2] = 5;
  // What the evapotranspiration took from the glacier's snow before the snow step.
  w["SnowEvaporation_onGlacier"][1][1] = 0.3;
  Weather(w, -5, 0);
  w.model->run(1, 10, 1, 2001);
  EXPECT_EQ(w["SolidSnowStorage_onGlacier"][1][2], 0);
  EXPECT_EQ(w["LiquidSnowStorage_onGlacier"][1][2], 0);
  EXPECT_EQ(w["TotalSnowStorage_onGlacier"][1][2], 0);
  EXPECT_EQ(w["SolidSnowStorage_onGlacier"][1][1], 20);
  EXPECT_EQ(w["SnowEvaporation_onGlacier"][1][1], 0.3);
}

TEST(GlacierSlides, TheGlacierPartsReleaseAndTakeUpSnowByTheirShare) {
  // Cell 1 (higher) wholly glacier, cell 2 half glacier; 5 % of a part's
  // snow slides. Cell 1 has no open part: the snow given to it there is dropped.
  SnowWorld w("slides", {"11"});
  AddGlaciers(w, {1, 0.5}, {1, 1});
  SnowSection s;
  s.method = 8;
  s.minslide = "5";
  s.fraction = "0.05";
  ASSERT_EQ(w.Build(s, IceFirnSection{}.Text()), 0) << w.console.str();
  w["snowstorage_solid"][1][1] = 10;
  w["SolidSnowStorage_onGlacier"][1][1] = 10;
  Weather(w, -5, 0);
  w.model->run(1, 10, 1, 2001);
  // 0.5 mm leaves cell 1's glacier part (of area 1) and lands, below the
  // 1 x (1 - 10 / 55) mm that cell 2 takes up, on both its parts.
  EXPECT_NEAR(w["input_mass"][1][1], 0.5, 1e-12);
  EXPECT_NEAR(w["SolidSnowStorage_onGlacier"][1][1], 9.5, 1e-12);
  EXPECT_EQ(w["snowstorage_solid"][1][1], 0);
  EXPECT_NEAR(w["deposition"][1][2], 0.5, 1e-12);
  EXPECT_NEAR(w["snowstorage_solid"][1][2], 0.5, 1e-12);
  EXPECT_NEAR(w["SolidSnowStorage_onGlacier"][1][2], 0.5, 1e-12);
  EXPECT_NEAR(w["TotalSnowStorage_onGlacier"][1][2], 0.5, 1e-12);
  // Mm over each cell: 1 x 9.5 + 0.5 x 0.5 + 0.5 x 0.5 = the 10 before.
}

TEST(GlacierGeometry, APositiveBalanceOfAWholeCellGrowsTheGlacierIntoItsNeighbours) {
  // One fully covered cell of 1 km2 and one elevation band: its partly covered
  // cells are none, so the glacier first takes its bare neighbours (fraction
  // 0) and then spreads the new area over them.
  SnowWorld w("grow", {"11111"});
  AddGlaciers(w, {0, 0, 1, 0, 0}, {kNodata, kNodata, 1, kNodata, kNodata});
  IceFirnSection f;
  f.firnline = "0 2000 0.5";
  f.valine = "28.5 1.36 1 0";
  ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
  // The balance that makes the volume of 1.5 km2: (V(1.5) - V(1)) x 0.85 m of water per m of ice.
  const double dV = 28.5 * std::pow(1.5, 1.36) - 28.5;  // 1e6 m3
  w["GlacierMassBalance"][1][3] = dV * 0.85 * 1000;     // mm over 1 km2
  w.model->UpdateGlacierGeometry();
  EXPECT_NEAR(GlacierArea(w), 1.5, 1e-9);
  for (int c : {2, 4}) {
    EXPECT_NEAR(w["GlacierizedCells"][1][c], 0.25, 1e-9) << c;
    EXPECT_EQ(w["GlacierCodes"][1][c], 1) << c;
  }
  EXPECT_EQ(w["GlacierizedCells"][1][1], 0);
  EXPECT_EQ(w["GlacierCodes"][1][1], kNodata);
}

TEST(GlacierUpdate, ChangedGlacierSharesKeepTheWaterOfSnowFirnAndPlants) {
  SnowWorld w("follow", {"1111"});
  AddGlaciers(w, {0.5, 0.5, 1, 0}, {1, 1, 1, kNodata});
  IceFirnSection f;
  f.firnline = "2 3000 0.5";  // two firn layers, none at the start
  ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
  Grid I = w.Add("interception_storage0", 0);
  Grid S = w["snowstorage_solid"], L = w["snowstorage_liquid"], Sg = w["SolidSnowStorage_onGlacier"],
       Lg = w["LiquidSnowStorage_onGlacier"], before = w["GlacierizedCellsOld"], g = w["GlacierizedCells"];
  Stack firn = w.model->GetFirnStack();
  const double gB[4] = {0.5, 0.5, 1, 0}, gA[4] = {0.8, 0.2, 0, 0.25};
  // Open snow, water on the plants, the two firn layers, snow on the glacier.
  const double state[4][7] = {
      {10, 2, 1, 40, 20, 0, 0}, {10, 2, 1, 40, 20, 0, 0}, {0, 0, 0, 40, 20, 5, 1}, {8, 0, 0.4, 30, 30, 0, 0}};
  auto water = [&](int c, double share) {
    return (1 - share) * (S[1][c] + L[1][c] + I[1][c]) + share * (firn[1][c][1] + firn[1][c][2] + Sg[1][c] + Lg[1][c]);
  };
  for (int c = 1; c <= 4; ++c) {
    const double* v = state[c - 1];
    S[1][c] = v[0];
    L[1][c] = v[1];
    I[1][c] = v[2];
    firn[1][c][1] = v[3];
    firn[1][c][2] = v[4];
    Sg[1][c] = v[5];
    Lg[1][c] = v[6];
    before[1][c] = gB[c - 1];
  }
  double total = 0;
  for (int c = 1; c <= 4; ++c) total += water(c, gB[c - 1]);
  for (int c = 1; c <= 4; ++c) g[1][c] = gA[c - 1];
  w.model->FollowGlacierArea();
  // Grown by 0.3: firn spread over 0.8, the open part's 13 mm of 0.3 on top as young firn.
  EXPECT_NEAR(firn[1][1][1], 40 * 0.5 / 0.8 + 0.3 * 13 / 0.8, 1e-12);
  EXPECT_NEAR(firn[1][1][2], 20 * 0.5 / 0.8, 1e-12);
  EXPECT_EQ(S[1][1], 10);
  EXPECT_EQ(I[1][1], 1);
  // Shrunk by 0.3: the firn of 0.3 becomes snow of the open part, spread over 0.8.
  EXPECT_NEAR(S[1][2], (0.5 * 10 + 0.3 * 60) / 0.8, 1e-12);
  EXPECT_NEAR(L[1][2], 0.5 * 2 / 0.8, 1e-12);
  EXPECT_NEAR(I[1][2], 0.5 / 0.8, 1e-12);
  EXPECT_EQ(firn[1][2][1], 40);
  // Emptied: all its firn and glacier snow are the cell's snow now.
  EXPECT_NEAR(S[1][3], 65, 1e-12);
  EXPECT_NEAR(L[1][3], 1, 1e-12);
  EXPECT_EQ(firn[1][3][0], 0);
  EXPECT_EQ(Sg[1][3], 0);
  // New glacier share on a bare cell: its own snow and plants' water, no
  // firn lent by a neighbour.
  EXPECT_NEAR(firn[1][4][1], 8.4, 1e-12);
  EXPECT_EQ(firn[1][4][2], 0);
  EXPECT_NEAR(w["firn_WE_stack"][1][4], 8.4, 1e-12);
  double after = 0;
  for (int c = 1; c <= 4; ++c) after += water(c, gA[c - 1]);
  EXPECT_NEAR(after, total, 1e-12);
}

TEST(GlacierUpdate, TheOldestFirnLayerTurnsToIceAndIsReported) {
  SnowWorld w("firnice", {"1"});
  AddGlaciers(w, {0.6}, {1});
  IceFirnSection f;
  f.firnline = "2 3000 0.5";
  f.valine = "28.5 1.36 0 0";  // the geometry stays
  f.line54 = "firnice 10";
  ASSERT_EQ(w.Build(SnowSection{}, f.Text()), 0) << w.console.str();
  Stack firn = w.model->GetFirnStack();
  firn[1][1][1] = 15;
  firn[1][1][2] = 7;
  w["SolidSnowStorage_onGlacier"][1][1] = 40;
  w.model->YearlyGlacierUpdate();
  EXPECT_EQ(firn[1][1][1], 40);
  EXPECT_EQ(firn[1][1][2], 15);
  // 7 mm over the glacier part of 0.6: 4.2 mm over the cell.
  EXPECT_NEAR(w["firn_turned_to_ice"][1][1], 4.2, 1e-12);
}

}  // namespace
