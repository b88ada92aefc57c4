// Dynamic glaciers: volume-area scaling, the glacier list, band changes, the
// yearly geometry update and the mass-balance redistribution against hand
// calculations, and a ten-year run of a valley glacier under warming.
#include <omp.h>

#include <cmath>

#include "tests/snow/snowworld.h"

namespace {

const int kThreads = (omp_set_num_threads(1), 1);

std::string IceFirn(const std::string& valine, const std::string& firnline = "0 2000 0.5",
                    const std::string& date = "30 9", double DDFice = 9.6) {
  std::ostringstream s;
  s << "[ice_firn]\n11\n"
    << DDFice << "\n7.2\n2.4\n0\n0\n0\n0\n0\n10\n10\n10\n0\n0\n0\n"
    << "mfirn\n0\nqfirn.stat 0\nmice\n0\nqice.stat 0\nqglac.stat 0\nqsg.stat 0\n0\n"
    << firnline << "\n"
    << date << "\n"
    << valine << "\nfirnstack\n0\nfirn.stat 0\ngmb\n0\ngmbold\n0\ngmb1.stat 0\ngmb2.stat 0\n1.0\nsog.stat 0\n";
  for (int k = 0; k < 7; ++k) s << "grid" << k << "\n0\n";
  s << "1000 0.25\n";
  return s.str();
}

void AddGlaciers(SnowWorld& w, const std::vector<double>& fraction, const std::vector<double>& code) {
  Grid g = w.Add("GlacierizedCells", 0);
  Grid k = w.Add("GlacierCodes", kNodata);
  for (int r = 1; r <= w.nrows; ++r)
    for (int c = 1; c <= w.ncols; ++c) {
      g[r][c] = fraction[(r - 1) * w.ncols + c - 1];
      k[r][c] = code[(r - 1) * w.ncols + c - 1];
    }
}

double GlacierArea(SnowWorld& w) {
  double a = 0;
  for (int r = 1; r <= w.nrows; ++r)
    for (int c = 1; c <= w.ncols; ++c) a += std::max(0.0, w["GlacierizedCells"][r][c]);
  return a;  // cells of 1 km2
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
    EXPECT_EQ(w.Build(SnowSection{}, IceFirn("28.5 1.36 3 0")), 84);
    EXPECT_TRUE(w.Said("glacier 7 is located in more than one subbasin")) << w.console.str();
    EXPECT_TRUE(w.Said("row 1 and col 2 belongs to subbasin 2"));
  }
  {
    // Two neighbouring new cells without a coded neighbour open glacier 5 + 1.
    SnowWorld w("newcodes", {"1111"});
    AddGlaciers(w, {1, 0, 0, 0}, {5, kNodata, kNodata, kNodata});
    ASSERT_EQ(w.Build(SnowSection{}, IceFirn("28.5 1.36 3 0")), 0) << w.console.str();
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
    ASSERT_EQ(w.Build(SnowSection{}, IceFirn("28.5 1.36 3 0")), 0) << w.console.str();
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
  // A glacier of 4.5 km2 along the middle row; the outer rows are bare.
  SnowWorld w("shrink", {"11111", "11111", "11111"});
  AddGlaciers(
      w, {0, 0, 0, 0, 0, 1, 1, 1, 1, 0.5, 0, 0, 0, 0, 0},
      {kNodata, kNodata, kNodata, kNodata, kNodata, 1, 1, 1, 1, 1, kNodata, kNodata, kNodata, kNodata, kNodata});
  ASSERT_EQ(w.Build(SnowSection{}, IceFirn("28.5 1.36 3 0")), 0) << w.console.str();
  for (int c = 1; c <= 5; ++c) w["GlacierMassBalance"][2][c] = -2000;
  w.model->UpdateGlacierGeometry();
  const double V0 = 28.5 * std::pow(4.5, 1.36);
  const double dV = -2000 / 0.85 / 1000 * 4.5;
  const double target = std::pow((V0 + dV) / 28.5, 1 / 1.36);
  if (!w.Said("There were too many iterations")) {
    EXPECT_NEAR(GlacierArea(w), target, 1e-5);
  }
  EXPECT_LT(GlacierArea(w), 4.5);
  for (int c = 1; c <= 5; ++c)
    if (w["GlacierizedCells"][2][c] <= 0) {
      EXPECT_EQ(w["GlacierCodes"][2][c], -9999);
    }

  // No elevation bands: nothing changes.
  SnowWorld n("nobands", {"11111", "11111", "11111"});
  AddGlaciers(
      n, {0, 0, 0, 0, 0, 1, 1, 1, 1, 0.5, 0, 0, 0, 0, 0},
      {kNodata, kNodata, kNodata, kNodata, kNodata, 1, 1, 1, 1, 1, kNodata, kNodata, kNodata, kNodata, kNodata});
  ASSERT_EQ(n.Build(SnowSection{}, IceFirn("28.5 1.36 0 0")), 0) << n.console.str();
  for (int c = 1; c <= 5; ++c) n["GlacierMassBalance"][2][c] = -2000;
  n.model->UpdateGlacierGeometry();
  EXPECT_DOUBLE_EQ(GlacierArea(n), 4.5);
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
  ASSERT_EQ(w.Build(s, IceFirn("28.5 1.36 3 0", "2 2400 0.5", "30 9", 6.0)), 0) << w.console.str();
  Grid S = w["snowstorage_solid"], L = w["snowstorage_liquid"], Sg = w["SolidSnowStorage_onGlacier"],
       Lg = w["LiquidSnowStorage_onGlacier"];
  double area = GlacierArea(w);
  double iceMelt = 0;
  double worst = 0;
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
            before[r - 1][c - 1][0] = S[r][c] + L[r][c];
            before[r - 1][c - 1][1] = Sg[r][c] + Lg[r][c];
          }
        const bool update = month == 9 && day == 30;
        w.model->run(24, day, month, year);
        for (int r = 1; r <= 4; ++r)
          for (int c = 1; c <= 5; ++c) {
            // The yearly update moves snow between the parts.
            if (!(w["GlacierizedCells"][r][c] > 0) || update) continue;
            const double open = P - (S[r][c] + L[r][c] - before[r - 1][c - 1][0]) - w["snowcover_outflow"][r][c];
            const double onGlacier =
                P - (Sg[r][c] + Lg[r][c] - before[r - 1][c - 1][1]) - w["SnowMelt_onGlacier"][r][c];
            worst = std::max({worst, std::fabs(open), std::fabs(onGlacier)});
            iceMelt += w["melt_from_ice"][r][c] * w["GlacierizedCells"][r][c];
          }
        if (update) {
          const double now = GlacierArea(w);
          EXPECT_LE(now, area + 1e-9) << year;
          area = now;
        }
      }
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_GT(iceMelt, 0);
  EXPECT_LT(area, 6.5);
  EXPECT_GT(w.model->GetQice(1) * kThreads, 0);
}

}  // namespace
