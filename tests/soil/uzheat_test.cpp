#include "soil/uzheat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "soil/uzprespinup.h"
#include "tests/parameters/tablefixture.h"
#include "tests/soil/uzcolumn.h"

using uztest::ColumnFixture;
using uztest::kCarselParrish;

namespace {

constexpr double kLw = 0.5562, kLi = 2.33, kLs = 0.58;

// A column of n equal layers with uniform conductivity and heat capacity.
struct HeatColumn {
  HeatColumn(int layers, double dz, double lambda, double cv, double T0)
      : n(layers),
        d(n + 2, dz),
        l(n + 2, lambda),
        cv(n + 2, cv),
        T(n + 2, T0),
        a(n + 2),
        b(n + 2),
        c(n + 2),
        r(n + 2),
        w(n + 2),
        f(n + 2),
        G(n + 2),
        rate(n + 2) {}
  void Implicit(const uzk::HeatCell& h, double dt) {
    uzk::ImplicitHeatStep(h, l.data(), cv.data(), d.data(), T.data(), n, a.data(), b.data(), c.data(), r.data(),
                          w.data(), f.data(), dt);
  }
  int n;
  std::vector<double> d, l, cv, T, a, b, c, r, w, f, G, rate;
};

}  // namespace

TEST(UzHeat, ConductivityOfWaterIceAndAir) {
  ColumnFixture col(kCarselParrish[1], 5);  // theta_s 0.43, no dry conductivity given: 0.58
  const double theta[6] = {0, 0.2, 0.2, 0.43 - 0.0099, 0.43 - 0.0099, 0.43};
  const double u[6] = {0, 1.0, 0.5, 1.0, 0.99, 0.3};
  double lambda[6] = {};
  uzk::ThermalConductivity(lambda, col.constants, 5, u, theta, kLw, kLi);
  const double a = 0.57, s = 0.77, air = 0.23 * 0.0262;
  EXPECT_NEAR(lambda[1], s * std::pow(kLs, a / s) * std::pow(kLw, 0.2 / s) + air, 1e-14);
  EXPECT_NEAR(lambda[2], s * std::pow(kLs, a / s) * std::pow(kLw, 0.1 / s) * std::pow(kLi, 0.1 / s) + air, 1e-14);
  // Less than 1 % air: the saturated form, without air; from 99 % liquid without ice.
  EXPECT_NEAR(lambda[3], std::pow(kLs, 0.57) * std::pow(kLw, 0.43), 1e-14);
  EXPECT_NEAR(lambda[4], lambda[3], 1e-14);
  EXPECT_NEAR(lambda[5], std::pow(kLs, 0.57) * std::pow(kLw, 0.3 * 0.43) * std::pow(kLi, 0.7 * 0.43), 1e-14);

  double before[4] = {0, 0.3, 0.3, 0.3}, after[4] = {0, 0.25, 0.3, 0.35}, X[4] = {0, 2, 2, 2};
  uzk::LatentHeatTerm(before, after, X, 3, 334000.0, 1000.0);
  EXPECT_NEAR(X[1], 2 * 0.05 * 334000.0 * 1000.0, 1e-6);
  EXPECT_EQ(X[2], 0.0);
  EXPECT_EQ(X[3], 0.0);
}

TEST(UzHeat, UniformTemperatureStaysUniform) {
  HeatColumn h(5, 0.2, 1.2, 2e6, 3.5);
  uzk::HeatFluxes(h.G.data(), h.l.data(), h.d.data(), h.T.data(), 5, 3.5, 3.5, 1.0);
  uzk::TemperatureRates(h.rate.data(), h.G.data(), h.cv.data(), h.d.data(), 5, 3600);
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(h.G[i], 0.0) << i;
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(h.rate[i], 0.0) << i;
  std::vector<double> before = h.T;
  uzk::UpdateTemperatures(h.T.data(), before.data(), h.rate.data(), h.G.data(), 5, true, 3.5, 3.5);
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(h.T[i], 3.5);

  uzk::HeatCell cell;
  cell.method = 12;
  cell.airTemperature = 3.5;
  cell.lowerTemperature = 3.5;
  for (int i = 0; i <= 6; ++i) h.f[i] = i % 2 ? -1e-6 : 2e-7;  // water at the same temperature
  h.w[1] = -1e-6;
  h.Implicit(cell, 86400);
  for (int i = 1; i <= 5; ++i) EXPECT_NEAR(h.T[i], 3.5, 1e-12) << i;
}

TEST(UzHeat, SteadyLinearProfileBetweenFixedBoundaries) {
  HeatColumn h(10, 0.1, 1.5, 2e6, 0.0);
  uzk::HeatCell cell;
  cell.airTemperature = 10.0;
  cell.lowerTemperature = -2.0;
  for (int step = 0; step < 200; ++step) h.Implicit(cell, 86400.0 * 10);
  // Layer centres on the straight line from 10 at the surface to -2 at 1 m.
  for (int i = 1; i <= 10; ++i) EXPECT_NEAR(h.T[i], 10.0 - 12.0 * (i - 0.5) * 0.1, 1e-6) << i;
  // The explicit fluxes of that profile are the same everywhere.
  uzk::HeatFluxes(h.G.data(), h.l.data(), h.d.data(), h.T.data(), 10, -2.0, 10.0, 1.0);
  for (int i = 0; i <= 10; ++i) EXPECT_NEAR(h.G[i], -1.5 * 12.0, 1e-5) << i;
}

TEST(UzHeat, SurfaceStepAgainstTheHalfSpaceSolution) {
  HeatColumn h(200, 0.02, 1.5, 2e6, 0.0);
  uzk::HeatCell cell;
  cell.airTemperature = 1.0;
  for (int step = 0; step < 5 * 24 * 4; ++step) h.Implicit(cell, 900);
  const double kappaT = 1.5 / 2e6 * 5 * 86400;
  // erfc(z / (2 sqrt(kappa t))): 0.901, 0.709 and 0.535 at 0.1, 0.3 and 0.5 m.
  for (const double depth : {0.1, 0.3, 0.5}) {
    // Centres lie at 0.01, 0.03, ...: interpolate between the two around the depth.
    const int i = static_cast<int>(depth / 0.02 + 0.5);
    const double value = (h.T[i] + h.T[i + 1]) / 2;
    EXPECT_NEAR(value, std::erfc(depth / (2 * std::sqrt(kappaT))), 0.05) << depth;
  }
}

TEST(UzHeat, LimiterStopsOvershoot) {
  HeatColumn h(3, 0.1, 2.0, 1e6, 0.0);
  h.T[3] = 10.0;
  std::vector<double> before = h.T;
  uzk::HeatFluxes(h.G.data(), h.l.data(), h.d.data(), h.T.data(), 3, 10.0, 0.0, 1.0);
  uzk::TemperatureRates(h.rate.data(), h.G.data(), h.cv.data(), h.d.data(), 3, 86400);
  uzk::UpdateTemperatures(h.T.data(), before.data(), h.rate.data(), h.G.data(), 3, true, 10.0, 0.0);
  EXPECT_GT(h.T[2], 0.0);
  EXPECT_LE(h.T[2], before[3]);  // heated from below: not warmer than the layer below was
  EXPECT_LE(h.T[3], 10.0);
  EXPECT_GE(h.T[1], 0.0);
}

TEST(UzHeat, OneLayerAndWaterCarriedHeat) {
  HeatColumn h(1, 0.5, 1.0, 2e6, 4.0);
  uzk::HeatCell cell;
  cell.airTemperature = 10.0;
  cell.nFactor = 0.8;
  cell.lowerTemperature = 2.0;
  const double dt = 3600, e = 2 * 1.0 * dt / (0.25 * 2e6);
  h.Implicit(cell, dt);
  EXPECT_NEAR(h.T[1], (4.0 + e * 0.8 * 10.0 + e * 2.0) / (1 + 2 * e), 1e-12);

  // Without conduction the water mixes in: infiltration at the air
  // temperature, and water from layer 1 into layer 2 at layer 1's.
  HeatColumn m(2, 0.2, 0.0, 2e6, 0.0);
  m.T[1] = 10.0;
  cell.method = 12;
  cell.airTemperature = 20.0;
  cell.nFactor = 1.0;
  m.w[1] = -1e-6;
  m.f[1] = -1e-6;
  const double x = 1e-6 * 4.187e6 * dt / (0.2 * 2e6);
  m.Implicit(cell, dt);
  EXPECT_NEAR(m.T[1], (10.0 + x * 20.0) / (1 + x), 1e-12);
  EXPECT_NEAR(m.T[2], x * m.T[1] / (1 + x), 1e-12);
  cell.snowOnGround = true;  // melt water enters at 0 degrees
  m.T[1] = 10.0;
  m.T[2] = 0.0;
  m.Implicit(cell, dt);
  EXPECT_NEAR(m.T[1], 10.0 / (1 + x), 1e-12);
}

TEST(UzHeat, WaterBringsTheTemperatureOfTheLayerItComesFrom) {
  // Three layers at 0, 5 and 10 degrees without conduction: water rising from
  // layer 3 into layer 2 (flux across the lower boundary of layer 2, upward)
  // warms layer 2 alone.
  HeatColumn h(3, 0.2, 0.0, 2e6, 0.0);
  h.T[2] = 5.0;
  h.T[3] = 10.0;
  uzk::HeatCell cell;
  cell.method = 12;
  cell.airTemperature = 20.0;
  cell.lowerTemperature = 10.0;
  const double dt = 3600, x = 1e-6 * 4.187e6 * dt / (0.2 * 2e6);
  h.f[2] = 1e-6;
  h.Implicit(cell, dt);
  EXPECT_EQ(h.T[1], 0.0);
  EXPECT_NEAR(h.T[2], (5.0 + x * 10.0) / (1 + x), 1e-12);
  EXPECT_NEAR(h.T[3], 10.0, 1e-12);

  // Water from below the column enters layer 3 at the lower boundary's
  // temperature; macropore water enters layer 2 directly at the air's.
  h.T = {0, 0.0, 5.0, 4.0, 0};
  h.f[2] = 0;
  h.f[3] = 1e-6;
  h.w[2] = -1e-6;
  h.Implicit(cell, dt);
  EXPECT_EQ(h.T[1], 0.0);
  EXPECT_NEAR(h.T[2], (5.0 + x * 20.0) / (1 + x), 1e-12);
  EXPECT_NEAR(h.T[3], (4.0 + x * 10.0) / (1 + x), 1e-12);
}

TEST(UzPreSpinUp, TopOfPermafrostByHand) {
  EXPECT_NEAR(uzk::TopOfPermafrostTemperature(1, 0.5, 1.2, 2, 1000, 2000, 1), -1.0959, 1e-4);
  EXPECT_EQ(uzk::TopOfPermafrostTemperature(1, 1, 1.2, 2, 0, 0, 2), 0.0);
  EXPECT_EQ(uzk::NFactorOrDefault(-9999.9, 0.7), 0.7);
  EXPECT_EQ(uzk::NFactorOrDefault(0.9, 0.7), 0.9);
}

TEST(UzPreSpinUp, DaysEndByTheDate) {
  struct Run {
    double stepMinutes;
    int firstHour;
    int steps;
  };
  // Daily temperature: -2 on day 1, +3 on day 2 (whatever the step length).
  for (const Run run : {Run{60, 0, 48}, Run{10, 0, 288}, Run{1440, 0, 2}, Run{60, 12, 36}, Run{180, 0, 16}}) {
    uzk::PreSpinUpClock clock;
    double daily = 0, annual = 0, tdd = 0, fdd = 0;
    double minutes = run.firstHour * 60.0;
    for (int s = 0; s < run.steps; ++s) {
      // The date alone: steps shorter than an hour share their date and hour.
      const int day = 1 + static_cast<int>(minutes / 1440.0);
      const uzk::DayClosing closing = uzk::AdvancePreSpinUpClock(clock, 2020, 3, day, run.stepMinutes);
      uzk::AccumulatePreSpinUpCell(closing, day == 1 ? -2.0 : 3.0, daily, annual, tdd, fdd);
      minutes += run.stepMinutes;
    }
    EXPECT_NEAR(fdd, 2.0, 1e-12) << run.stepMinutes << " " << run.firstHour;
    EXPECT_NEAR(tdd, 3.0, 1e-12) << run.stepMinutes << " " << run.firstHour;
    EXPECT_EQ(clock.stepsTotal, run.steps);
  }
  // Steps that never complete a day add nothing.
  uzk::PreSpinUpClock clock;
  double daily = 0, annual = 0, tdd = 0, fdd = 0;
  for (int s = 0; s < 5; ++s)
    uzk::AccumulatePreSpinUpCell(uzk::AdvancePreSpinUpClock(clock, 2020, 3, 1, 60), -5, daily, annual, tdd, fdd);
  EXPECT_EQ(fdd, 0.0);
  EXPECT_EQ(tdd, 0.0);
  EXPECT_EQ(annual, -25.0);
}

TEST(UzPreSpinUp, PeriodOfZeroIsRejected) {
  ControlFileFixture cf("uzprespinup", "[x]\n");
  EXPECT_NEAR(uzk::PreSpinUpPeriodYears(*cf.diag, 8760, 60), 1.0, 1e-12);
  EXPECT_FATAL(cf, uzk::PreSpinUpPeriodYears(*cf.diag, 0, 60), 1040, "the pre-SpinUp covers no time: 0 steps");
  EXPECT_EQ(cf.ErrorOf([&] { uzk::PreSpinUpPeriodYears(*cf.diag, 10, 0); }), 1040);
}

TEST(UzPreSpinUp, ProfileFromTopOfPermafrost) {
  const double thin[21] = {0, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1};
  const double thick[6] = {0, 0.2, 0.2, 0.2};
  EXPECT_EQ(uzk::PreSpinUpReferenceLayer(thin, 20), 3);
  EXPECT_EQ(uzk::PreSpinUpReferenceLayer(thick, 3), 1);  // 0.6 m in all: every layer counts

  ColumnFixture col(kCarselParrish[1], 10, 0.1);
  col.Fill(0.3);
  uzk::PreSpinUpCell cell;
  cell.meanAirTemperature = -4.0;
  cell.tdd = 500;
  cell.fdd = 2500;
  cell.periodYears = 2;
  std::vector<double> T(12);
  const double ttop =
      uzk::PreSpinUpProfile(col.constants, cell, 10, col.d.data(), col.theta.data(), col.z.data(), T.data());
  const double s = 0.3 + 0.57, air = 0.13 * 0.0262;
  const double lt = s * std::pow(kLs, 0.57 / s) * std::pow(kLw, 0.3 / s) + air;
  const double lf = s * std::pow(kLs, 0.57 / s) * std::pow(kLi, 0.3 / s) + air;
  EXPECT_NEAR(ttop, (lt * 500 - lf * 2500) / (lf * 2 * 365), 1e-12);
  EXPECT_NEAR(T[3], ttop, 1e-12);  // reference layer 10 / 3 = 3
  EXPECT_NEAR(T[4], ttop + 0.1 * 0.06 / lf, 1e-12);
  // Layers above: on the line from Tm at the surface to TTOP at the centre of layer 3.
  EXPECT_NEAR(T[1], -4.0 + (ttop + 4.0) * 0.05 / 0.25, 1e-12);
  EXPECT_NEAR(T[2], -4.0 + (ttop + 4.0) * 0.15 / 0.25, 1e-12);

  cell.fdd = 0;  // no permafrost: Tm at the top, the heat flux conducted down
  cell.meanAirTemperature = 2.0;
  uzk::PreSpinUpProfile(col.constants, cell, 10, col.d.data(), col.theta.data(), col.z.data(), T.data());
  EXPECT_EQ(T[1], 2.0);
  EXPECT_NEAR(T[10], 2.0 + 9 * 0.1 * 0.06 / lt, 1e-12);
}
