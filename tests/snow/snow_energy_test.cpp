// Energy balance of one snow cell (warm and cold pack) against the terms
// evaluated by hand, and slides of snow between the cells of a zone.
#include <cmath>

#include "tests/snow/snowworld.h"

namespace {

constexpr double kSigma = 5.67e-08;
constexpr double kT0 = 273.16;

// The weather of the energy-balance cell and the terms of its balance.
struct Air {
  double T = 2, h = 0.8, N = 0.5, G = 500, u = 2;
  double TK() const { return T + kT0; }
  double ea() const {
    return h * (TK() <= kT0 ? 6.1071 * std::exp(22.4429 * T / (T + 172.44))
                            : 6.1078 * std::exp(17.08085 * T / (T + 234.175)));
  }
  double fu() const { return 0.18 + 0.098 * u; }
  double esIce(double Ts) const { return 6.1071 * std::exp(22.4429 * (Ts - kT0) / (Ts - kT0 + 172.44)); }
  // Sum of the terms at surface temperature Ts, dry step (cloud coefficient
  // 0.17 for cloudiness 0.5), albedo a.
  double Sum(double Ts, double a) const {
    return (1 - a) * G + kSigma * std::pow(TK(), 4) * (0.61 + 0.05 * std::sqrt(ea())) * (1 + 0.17 * N * N) -
           kSigma * std::pow(Ts, 4) + fu() * 18.85 * (TK() - Ts) + fu() * 32.82 * (ea() - esIce(Ts)) + 1.0;
  }
};

std::unique_ptr<SnowWorld> EnergyWorld(const std::string& name, const Air& air, double S, double L, double age) {
  auto w = std::make_unique<SnowWorld>(name, std::vector<std::string>{"1"});
  w->Add("snow_evaporation", 0);
  SnowSection s;
  s.method = 5;
  s.T0R = 0;
  s.transzone = 0.5;
  EXPECT_EQ(w->Build(s), 0) << w->console.str();
  w->Fill("temperature", air.T);
  w->Fill("air_humidity", air.h);
  w->Fill("cloudiness", air.N);
  w->Fill("AspectCorrectedGlobalRadiation", air.G);  // per hour: the flux itself
  w->Fill("wind_speed", air.u);
  (*w)["snowstorage_solid"][1][1] = S;
  (*w)["snowstorage_liquid"][1][1] = L;
  (*w)["snow_age"][1][1] = age;
  return w;
}

TEST(SnowEnergy, AWarmPackMeltsWhatTheSurplusAboveZeroDegreesCanMelt) {
  Air air;
  // Old snow: albedo 0.45 + 0.45 exp(-0.05 x 100).
  const double a = 0.45 + 0.45 * std::exp(-0.05 * 100);
  auto w = EnergyWorld("warm", air, 50, 0, 100);
  w->model->run(1, 15, 3, 2001);
  // The pack starts at 0 C: all of the step's energy melts snow (the wet-bulb
  // temperature at 2 C and 80 % is above 0 C); sublimation against a surface
  // at 0 C.
  const double latent = air.fu() * 32.82 * (air.ea() - 6.1071);
  const double Q = air.Sum(kT0, a) - air.fu() * 32.82 * (air.ea() - air.esIce(kT0)) + latent;
  ASSERT_GT(Q, 0);
  const double melt = 3600 * Q / 337500;
  const double E = latent * 3600 / 2835500;
  ASSERT_LT(E, 0);
  const double S = 50 + E - melt;
  EXPECT_NEAR((*w)["snowstorage_solid"][1][1], S, 1e-9);
  EXPECT_NEAR((*w)["snowstorage_liquid"][1][1], melt, 1e-9);
  EXPECT_EQ((*w)["snowcover_outflow"][1][1], 0.0);
  EXPECT_NEAR((*w)["snow_evaporation"][1][1], -E, 1e-12);
  EXPECT_EQ((*w)["surftemp"][1][1], kT0);
  EXPECT_EQ((*w)["snowtemp"][1][1], kT0);
}

TEST(SnowEnergy, AColdPackFindsItsSurfaceTemperatureAndConductsItInward) {
  Air air;
  air.T = -8;
  air.G = 0;
  auto w = EnergyWorld("cold", air, 30, 0, 1);
  w->model->run(1, 15, 1, 2001);
  // The surface temperature closing the balance, by bisection; not more than
  // 13 K below the air.
  double lo = 150, hi = kT0;
  for (int i = 0; i < 200; ++i) {
    const double mid = (lo + hi) / 2;
    (air.Sum(mid, 0.9) > 0 ? lo : hi) = mid;
  }
  const double Ts = std::max(lo, air.TK() - 13);
  const double got = (*w)["surftemp"][1][1];
  EXPECT_NEAR(got, Ts, 0.05);
  EXPECT_GE(got, air.TK() - 13 - 1e-12);
  EXPECT_LE(got, kT0);
  // The pack starts at the air temperature and moves towards the surface.
  const double Tp = air.TK();
  const double Tn = Tp + 0.3 * (got - Tp) * (2 * 3600 * 1000 * 0.3) / (30.0 * 30.0 * 2100);
  EXPECT_NEAR((*w)["snowtemp"][1][1], Tn, 1e-9);
  // Sublimation at the surface temperature found.
  const double E = air.fu() * 32.82 * (air.ea() - air.esIce(got)) * 3600 / 2835500;
  EXPECT_NEAR((*w)["snow_evaporation"][1][1], E < 0 ? -E : 0.0, 1e-6);
  EXPECT_NEAR((*w)["snowstorage_solid"][1][1], 30 + std::min(E, 0.0), 1e-6);
}

TEST(SnowEnergy, LiquidWaterRefreezesByTheDeficitOfOneEvaluation) {
  Air air;
  air.T = -8;
  air.G = 0;
  auto w = EnergyWorld("refreeze", air, 30, 4, 1);
  w->model->run(1, 15, 1, 2001);
  // With liquid water the surface stays at 0 C: one evaluation there.
  const double Q = air.Sum(kT0, 0.9);
  ASSERT_LT(Q, 0);
  const double R = -Q * 3600 / 337500;
  ASSERT_LT(R, 4);
  const double E = air.fu() * 32.82 * (air.ea() - 6.1071) * 3600 / 2835500;
  EXPECT_NEAR((*w)["snowstorage_liquid"][1][1], 4 - R, 1e-9);
  EXPECT_NEAR((*w)["snowstorage_solid"][1][1], 30 + E + R, 1e-9);
  EXPECT_EQ((*w)["surftemp"][1][1], kT0);
}

TEST(SnowEnergy, APackThatVanishesLeavesNoTemperatures) {
  Air air;
  air.T = -15;
  air.h = 0.05;
  air.u = 12;
  air.G = 0;
  auto w = EnergyWorld("vanish", air, 0.001, 0, 1);
  w->model->run(1, 15, 1, 2001);
  EXPECT_EQ((*w)["snowstorage_solid"][1][1], 0.0);
  EXPECT_EQ((*w)["snowstorage_liquid"][1][1], 0.0);
  // Only what the pack held can leave it.
  EXPECT_NEAR((*w)["snow_evaporation"][1][1], 0.001, 1e-15);
  EXPECT_EQ((*w)["surftemp"][1][1], kNodata);
  EXPECT_EQ((*w)["snowtemp"][1][1], kNodata);
  // Rain on bare ground at 3 C: no pack, no temperatures, the rain leaves.
  air.T = 3;
  auto bare = EnergyWorld("bare", air, 0, 0, 1);
  bare->Fill("precipitation", 2);
  bare->model->run(1, 15, 1, 2001);
  EXPECT_EQ((*bare)["snowcover_outflow"][1][1], 2.0);
  EXPECT_EQ((*bare)["surftemp"][1][1], kNodata);
}

// ---- slides ----

std::unique_ptr<SnowWorld> SlideWorld(const std::string& name, const std::vector<std::string>& picture) {
  auto w = std::make_unique<SnowWorld>(name, picture);
  w->Fill("slope_angle", 40);
  w->Fill("temperature", -5);  // no melt
  return w;
}

TEST(SnowSlides, SnowSlidesDownTheRowAndStopsWhereItCanBeDeposited) {
  auto w = SlideWorld("row", {"111"});
  // Only the right neighbour takes snow; the middle cell takes up 2 mm.
  w->Fill("slidefraction1", 0);
  w->Fill("slidefraction2", 0);
  w->Fill("slidefraction3", 1);
  w->Fill("slidefraction4", 0);
  w->Add("max_deposition", 100)[1][2] = 2;
  (*w)["slope_angle"][1][2] = 5;  // too flat to release, but passes mass on
  SnowSection s;
  s.method = 8;
  s.fraction = "0.5";
  s.CWH = 1;  // the pack holds its liquid water
  ASSERT_EQ(w->Build(s), 0) << w->console.str();
  (*w)["snowstorage_solid"][1][1] = 8;
  (*w)["snowstorage_liquid"][1][1] = 2;
  w->model->run(1, 15, 1, 2001);
  // Cell 1 releases 5 of its 10 mm (liquid share kept); cell 2 keeps 2 and
  // passes 3 on to cell 3.
  EXPECT_NEAR((*w)["input_mass"][1][1], 5, 1e-12);
  EXPECT_NEAR((*w)["snowstorage_liquid"][1][1], 1, 1e-12);
  EXPECT_NEAR((*w)["snowstorage_solid"][1][1], 4, 1e-12);
  EXPECT_EQ((*w)["input_mass"][1][2], 0.0);
  EXPECT_NEAR((*w)["deposition"][1][2], 2, 1e-12);
  EXPECT_NEAR((*w)["snowstorage_solid"][1][2], 2, 1e-12);
  EXPECT_EQ((*w)["snowstorage_liquid"][1][2], 0.0);
  EXPECT_EQ((*w)["mobile_mass"][1][2], 0.0);
  EXPECT_NEAR((*w)["deposition"][1][3], 3, 1e-12);
  EXPECT_NEAR((*w)["snow_storage_total"][1][3], 3, 1e-12);
}

TEST(SnowSlides, EveryZoneKeepsItsSnowAndNothingCrossesABorder) {
  const std::vector<std::string> picture = {"1112222", "1112222", "11.3322", "1133333", "3333333"};
  auto w = SlideWorld("zones", picture);
  for (int r = 1; r <= w->nrows; ++r)
    for (int c = 1; c <= w->ncols; ++c) {
      (*w)["slope_angle"][r][c] = 20 + 3 * ((r * 5 + c) % 9);
      (*w)["slidefraction1"][r][c] = 0.1 * ((r + c) % 3);
      (*w)["slidefraction4"][r][c] = 0.5;
    }
  w->Add("max_deposition", 0.4);
  SnowSection s;
  s.method = 14;  // temperature-wind index, slides and wind deposition
  s.fraction = "0.3";
  ASSERT_EQ(w->Build(s), 0) << w->console.str();
  for (int r = 1; r <= w->nrows; ++r)
    for (int c = 1; c <= w->ncols; ++c)
      if (w->Valid(r, c)) {
        (*w)["snowstorage_solid"][r][c] = 20 + r * c;
        (*w)["snowstorage_liquid"][r][c] = 0.1 * r;
      }
  for (int step = 0; step < 20; ++step) {
    double before[4] = {0, 0, 0, 0};
    for (int r = 1; r <= w->nrows; ++r)
      for (int c = 1; c <= w->ncols; ++c)
        if (w->Valid(r, c))
          before[static_cast<int>((*w)["zones"][r][c])] +=
              (*w)["snowstorage_solid"][r][c] + (*w)["snowstorage_liquid"][r][c];
    w->model->run(step + 1, 15, 1, 2001);
    double after[4] = {0, 0, 0, 0};
    double released = 0;
    for (int r = 1; r <= w->nrows; ++r)
      for (int c = 1; c <= w->ncols; ++c)
        if (w->Valid(r, c)) {
          ASSERT_GE((*w)["snowstorage_solid"][r][c], 0);
          ASSERT_GE((*w)["snowstorage_liquid"][r][c], 0);
          after[static_cast<int>((*w)["zones"][r][c])] +=
              (*w)["snowstorage_solid"][r][c] + (*w)["snowstorage_liquid"][r][c];
          released += (*w)["input_mass"][r][c];
        }
    EXPECT_GT(released, 0);
    for (int z = 1; z <= 3; ++z) EXPECT_NEAR(after[z], before[z], 1e-9 * before[z]) << "zone " << z;
  }
}

}  // namespace
