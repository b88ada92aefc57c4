#include "soil/uzkernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "tests/soil/uzcolumn.h"

using uztest::ColumnFixture;
using uztest::kCarselParrish;
using uztest::VanGenuchten;

namespace {

const double kSteps[31] = {0,    0,   0.0005, 0.001, 0.002, 0.005, 0.007, 0.01,  0.02, 0.03, 0.05,
                           0.07, 0.1, 0.15,   0.2,   0.3,   0.4,   0.6,   0.8,   1.2,  1.6,  2.6,
                           3.45, 6.9, 20.0,   35.0,  50.0,  75.0,  100.0, 125.0, 150.0};

// Closed forms of van Genuchten (1980) with Mualem's tau = 0.5.
double Se(const VanGenuchten& p, double s) {
  return std::pow(1.0 + std::pow(p.alpha * s, p.n), -(1.0 - 1.0 / p.n));
}
double ThetaOf(const VanGenuchten& p, double s) {
  return p.thetaRes + (p.thetaSat - p.thetaRes) * Se(p, s);
}
double KrOf(const VanGenuchten& p, double s) {
  const double m = 1.0 - 1.0 / p.n;
  const double se = Se(p, s);
  const double inner = 1.0 - std::pow(1.0 - std::pow(se, 1.0 / m), m);
  return std::sqrt(se) * inner * inner;
}

}  // namespace

TEST(UzSoilTables, CarselParrishSoilsFollowVanGenuchtenMualem) {
  for (const VanGenuchten& p : kCarselParrish) {
    auto soil = uztest::ReadSoil(p, 1, 1.0);
    const auto& theta = soil->WaterContentTable(1);
    for (int k = 1; k < 30; ++k) {
      EXPECT_NEAR(theta[k], ThetaOf(p, kSteps[k]), 1e-12) << p.name << " " << k;
      EXPECT_NEAR(soil->InterpolateTableMin(1, theta[k], 1.0), KrOf(p, kSteps[k]), 1e-12) << p.name << " " << k;
    }
    // Between the nodes the chain of look-ups (suction to water content to
    // conductivity) stays close to the curves.
    for (int k = 2; k < 29; ++k) {
      const double s = (kSteps[k] + kSteps[k + 1]) / 2.0;
      const double t = soil->InterpolateTableInverse(1, s);
      EXPECT_NEAR(t, ThetaOf(p, s), 0.02) << p.name << " " << s;
      EXPECT_NEAR(soil->InterpolateTableMin(1, t, 1.0), KrOf(p, s), 0.02) << p.name << " " << s;
      EXPECT_NEAR(soil->InterpolateTable(1, ThetaOf(p, s)), s, 0.5 * (kSteps[k + 1] - kSteps[k])) << p.name;
    }
    double lastSuction = 1e300, lastK = -1;
    for (int i = 0; i <= 2000; ++i) {
      const double t = p.thetaRes + (p.thetaSat - p.thetaRes) * i / 2000.0;
      const double s = soil->InterpolateTable(1, t);
      const double k = soil->InterpolateTableMin(1, t, t);
      EXPECT_LE(s, lastSuction);
      EXPECT_GE(k, lastK);
      lastSuction = s;
      lastK = k;
    }
    // theta at 3.45 m suction is a node of the table, held once per soil type.
    uzk::SoilConstants sc;
    sc.Build(*soil, 0.5562, 0.58);
    EXPECT_NEAR(sc.thetaDrainable[1], ThetaOf(p, 3.45), 1e-12) << p.name;
  }
}

TEST(UzWaterKernels, DarcyFluxFollowsTheHeadGradient) {
  EXPECT_EQ(uzk::DarcyFlux(1e-5, 99.5, 99.5, 0.2, 0.3), 0.0);
  EXPECT_NEAR(uzk::DarcyFlux(1e-5, 99.9, 99.7, 0.2, 0.2), -1e-5, 1e-18);  // head falls with depth: downward
}

class UzLimiter : public ::testing::Test {
 protected:
  ColumnFixture f{kCarselParrish[1]};
  const int i = 2;
  double Head(int layer, double theta) const {
    return (f.z[layer - 1] + f.z[layer]) / 2.0 - f.soil->InterpolateTable(i, theta);
  }
  void SetThetas(double a, double b) {
    f.thetaOld[i] = a;
    f.thetaOld[i + 1] = b;
    f.H[i] = Head(i, a);
    f.H[i + 1] = Head(i + 1, b);
  }
  double Limit(double q, double dt, double qAbove = 0) {
    return uzk::LimitFlux(f.c, f.thetaOld[i], f.thetaOld[i + 1], qAbove, q, 0.0, dt, i, f.z.data(), f.S.data(),
                          f.H.data());
  }
};

TEST_F(UzLimiter, AdmissibleFluxesPassUnchanged) {
  SetThetas(0.30, 0.28);
  EXPECT_EQ(Limit(-1e-8, 60), -1e-8);
  // Equal old heads: never bisected, however large the flux.
  f.H[i + 1] = f.H[i];
  EXPECT_EQ(Limit(-1e-3, 3600), -1e-3);
}

TEST_F(UzLimiter, StopsOverfillAndHeadOrderReversal) {
  const double ts = f.ts[i];
  SetThetas(ts - 0.001, ts);
  const double p = Limit(1e-5, 3600);
  EXPECT_NEAR(p, 0.001 * 0.2 / 3600, 1e-18);  // fills layer i exactly to saturation

  SetThetas(0.40, 0.15);  // wet above dry: heads fall with depth
  const double Hi = f.H[i], Hj = f.H[i + 1];
  ASSERT_GT(Hi, Hj);
  const double q = Limit(-1e-4, 3600);
  EXPECT_LT(q, 0.0);
  EXPECT_GT(q, -1e-4);
  const double ti = 0.40 + q * 3600 / 0.2, tj = 0.15 - q * 3600 / 0.2;
  EXPECT_LE(Head(i + 1, tj), Head(i, ti) + 0.001 + 1e-12);
  // The heads of the iteration stay as they were.
  EXPECT_EQ(f.H[i], Hi);
  EXPECT_EQ(f.H[i + 1], Hj);

  // A zero flux stays zero even when the outflow above reverses the heads.
  SetThetas(0.30, 0.30);
  f.H[i + 1] = f.H[i] - 0.2;
  EXPECT_EQ(Limit(0.0, 3600, 1e-4), 0.0);
}

// A bisection whose heads stay reversed down to no flux skips the look-ups of
// its steps; the flux and the outflow must be those of every step looked up
// (a column without soil constants), bit for bit, also close to the 1 mm margin.
TEST_F(UzLimiter, SkippedStepsGiveTheFluxOfEveryStep) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int toZero = 0, cases = 0;
  for (const VanGenuchten& p : kCarselParrish) {
    ColumnFixture g(p);
    for (int k = 0; k < 400; ++k) {
      const double ts = g.ts[i], tr = g.tr[i];
      g.thetaOld[i] = tr + (ts - tr) * unit(random);
      g.thetaOld[i + 1] = tr + (ts - tr) * unit(random);
      g.H[i] = (g.z[i - 1] + g.z[i]) / 2.0 - g.soil->InterpolateTable(i, g.thetaOld[i]);
      // Old heads near, at or far from the order of the new ones.
      const double shift = (k % 4 == 0 ? 1e-3 : 0.3) * (unit(random) - 0.5);
      g.H[i + 1] = (g.z[i] + g.z[i + 1]) / 2.0 - g.soil->InterpolateTable(i, g.thetaOld[i + 1]) + shift;
      // Also fluxes and outflows of no size, of either sign of zero, and so
      // small that their halves leave the normal numbers.
      const double q = k % 25 == 7 ? -0.0 : (unit(random) - 0.5) * (k % 10 == 3 ? 1e-300 : 2e-6);
      const double outflow =
          k % 3 == 0 || k % 25 == 7 ? unit(random) * (k % 9 == 0 ? 1e-303 : 1e-7) : (k % 3 == 1 ? 0.0 : -0.0);
      const double dt = 600 + 3000 * unit(random);
      double S1[8] = {0, 0, outflow, 1e-8, 0, 0, 0, 0}, S2[8];
      std::copy(S1, S1 + 8, S2);
      const double skipped =
          uzk::LimitFlux(g.c, g.thetaOld[i], g.thetaOld[i + 1], 0.0, q, 0.0, dt, i, g.z.data(), S1, g.H.data());
      uzk::Column plain = g.c;
      plain.constants = nullptr;
      const double full =
          uzk::LimitFlux(plain, g.thetaOld[i], g.thetaOld[i + 1], 0.0, q, 0.0, dt, i, g.z.data(), S2, g.H.data());
      ASSERT_EQ(std::memcmp(&skipped, &full, sizeof full), 0) << p.name << " case " << k;
      ASSERT_EQ(std::memcmp(S1, S2, sizeof S1), 0) << p.name << " case " << k;
      if (q != 0 && full == std::ldexp(q, -51)) ++toZero;
      ++cases;
    }
  }
  // Both kinds of bisection occur among the cases.
  EXPECT_GT(toZero, 10);
  EXPECT_LT(toZero, cases / 2);
}

TEST(UzWaterKernels, WaterContentInDepthRange) {
  ColumnFixture f(kCarselParrish[1]);
  double sum = 0;
  for (int i = 1; i <= 6; ++i) {
    f.theta[i] = 0.28 + 0.02 * i;
    sum += f.theta[i] * 0.2;
  }
  auto range = [&](int mode, double top, double bottom) {
    return uzk::WaterContentInDepthRange(*f.soil, 6, f.d.data(), f.theta.data(), mode, top, bottom);
  };
  EXPECT_NEAR(range(1, 0, 9999), sum, 1e-8);
  EXPECT_EQ(range(1, 0, 0), kNodata);
  EXPECT_EQ(range(1, -0.01, 0.5), kNodata);
  EXPECT_EQ(range(1, 0.3, 0.3), 0.0);  // an empty range holds no water
  EXPECT_NEAR(range(1, 0.25, 0.35), 0.32 * 0.1, 1e-15);
  EXPECT_NEAR(range(1, 0.1, 0.5), 0.30 * 0.1 + 0.32 * 0.2 + 0.34 * 0.1, 1e-15);
  EXPECT_NEAR(range(0, 0.1, 0.5), (0.30 * 0.1 + 0.32 * 0.2 + 0.34 * 0.1) / 0.43 / 0.4, 1e-14);
  EXPECT_NEAR(uzk::WaterContentToDepth(*f.soil, 6, f.d.data(), f.theta.data(), 1, 0.3), 0.30 * 0.2 + 0.32 * 0.1, 1e-15);
}

TEST(UzWaterKernels, RootWeightsAndStress) {
  ColumnFixture f(kCarselParrish[1]);
  f.Fill(0.30);
  std::vector<double> rel(8), w(8), e(8), ev(8), sum(8), low(8, 0.10);
  uzk::RootUptake r;
  r.rootDepth = 0.6;
  r.drySuction = 10.0;
  r.wetLimit = 0.95;
  r.wetReduction = 0.5;
  r.passLimit = 6;
  r.coverage = 0.8;
  r.demand = 1e-7;
  r.evapDepth = 0.1;
  r.dt = 60;
  auto run = [&] {
    std::fill(sum.begin(), sum.end(), 0.0);
    return uzk::RootExtraction(f.c, r, f.d.data(), f.theta.data(), low.data(), rel.data(), w.data(), e.data(),
                               ev.data(), sum.data());
  };
  // Linear profile: weights proportional to (1 - z/R) times the thickness.
  EXPECT_EQ(run(), 4);  // the tip lies on a boundary: layer 4 gets nothing
  EXPECT_NEAR(w[1], 5.0 / 9, 1e-15);
  EXPECT_NEAR(w[2], 3.0 / 9, 1e-15);
  EXPECT_NEAR(w[3], 1.0 / 9, 1e-15);
  EXPECT_NEAR(w[4], 0.0, 1e-15);
  EXPECT_NEAR(sum[1] + sum[2] + sum[3], 0.8e-7, 1e-21);
  EXPECT_EQ(sum[0], 0.0);

  // Roots deeper than the column use all layers; shallower than layer 1 reach its bottom.
  r.rootDepth = 2.0;
  EXPECT_EQ(run(), 6);
  EXPECT_NEAR(w[1] + w[2] + w[3] + w[4] + w[5] + w[6], 1.0, 1e-15);
  EXPECT_NEAR(w[6] / w[1], (1 - 1.1 / 2.0) / (1 - 0.1 / 2.0), 1e-14);
  r.rootDepth = 0.05;
  EXPECT_EQ(run(), 2);
  EXPECT_NEAR(w[1], 1.0, 1e-12);

  r.rootDepth = 0.5;  // tip inside layer 3
  EXPECT_EQ(run(), 3);
  const double w3 = (1 - 0.45 / 0.5) * 0.1, total = (1 - 0.1 / 0.5) * 0.2 + (1 - 0.3 / 0.5) * 0.2 + w3;
  EXPECT_NEAR(w[3], w3 / total, 1e-15);
  EXPECT_NEAR(rel[3], 0.2, 1e-15);

  // A dry top layer passes its weight down; more than twice the next weight stays unmet.
  r.rootDepth = 0.4;
  f.theta[1] = 0.08;
  EXPECT_EQ(run(), 3);
  EXPECT_EQ(w[1], 0.0);
  EXPECT_NEAR(w[2], 0.75, 1e-15);
  const double E = 0.25 * 0.8 * 1e-7, dry = (0.43 - 0.08) / 0.43;
  EXPECT_NEAR(ev[1], (1 - dry * dry) * E, 1e-22);
  EXPECT_NEAR(sum[0], ev[1], 1e-22);

  // Too wet: the reduction follows the line from (0.95 theta_s, 1) to (theta_s, 0.5).
  f.Fill(0.30);
  f.theta[2] = 0.43 * 0.99;
  r.rootDepth = 0.6;
  r.passLimit = 1;  // nothing is passed on
  run();
  EXPECT_NEAR(w[2], 3.0 / 9 * (1 - 0.5 * 0.8), 1e-14);
  EXPECT_NEAR(w[3], 1.0 / 9, 1e-15);
}

TEST(UzWaterKernels, HeadsOfTheActiveLayers) {
  ColumnFixture f(kCarselParrish[1]);
  f.Fill(0.30);
  double mean = 0;
  f.c.g = 1;
  for (auto& h : f.H) h = -1;
  uzk::ComputeHeads(f.c, 0, 0, mean, f.thetaOld.data(), f.theta.data(), f.A.data(), f.B.data(), f.psi.data(),
                    f.H.data(), f.z.data(), nullptr);
  const double psi = f.soil->InterpolateTable(1, 0.30);
  for (int i = 1; i <= 3; ++i) EXPECT_NEAR(f.H[i], (f.z[i - 1] + f.z[i]) / 2 - psi, 1e-12) << i;
  for (int i = 4; i <= 6; ++i) EXPECT_EQ(f.H[i], -1) << i;  // below the active range
  EXPECT_NEAR(mean, psi, 1e-15);

  // The layer holding the table keeps the head of its own suction, not the
  // table height. The saturated zone below it is hydrostatic from the head of
  // its top layer: layer 4, saturated, has no suction and the head of its
  // middle, 99.3 m, also when the head of layer 3 lies higher (a layer that
  // fills keeps its head); layer 5 shares it (its own would be 99.1 m).
  f.c.g = 3;
  f.c.groundwaterDistance = -0.5;
  f.thetaOld[3] = f.theta[3] = 0.42;
  for (int i = 4; i <= 6; ++i) f.thetaOld[i] = f.theta[i] = f.ts[i];
  uzk::ComputeHeads(f.c, 0, 0, mean, f.thetaOld.data(), f.theta.data(), f.A.data(), f.B.data(), f.psi.data(),
                    f.H.data(), f.z.data(), nullptr);
  const double h3 = 99.5 - f.soil->InterpolateTable(3, 0.42);
  ASSERT_GT(h3, 99.3);  // above the middle of layer 4
  EXPECT_DOUBLE_EQ(f.H[3], h3);
  EXPECT_NEAR(f.H[4], 99.3, 1e-12);
  EXPECT_NEAR(f.H[5], 99.3, 1e-12);
}

TEST(UzWaterKernels, RelaxedMeanOfTheIterations) {
  ColumnFixture f(kCarselParrish[1]);
  f.Fill(0.30);
  f.c.g = 4;
  f.q[0] = -2e-6;
  f.q[1] = -1e-6;
  f.q[2] = -1.5e-6;
  int count = 0;
  auto update = [&](int iteration) {
    return uzk::UpdateTheta(f.c, iteration, 0, f.A.data(), f.B.data(), f.theta.data(), f.mean.data(), f.thetaOld.data(),
                            f.q.data(), f.S.data(), f.d.data(), count, 600);
  };
  const double next = 0.30 + 1e-6 * 600 / 0.2;        // layer 1 gains 1e-6 m/s
  EXPECT_NEAR(update(1), 1.5e-6 * 600 / 0.2, 1e-15);  // the largest change: layer 3
  EXPECT_NEAR(f.mean[1], (next + 0.30) / 2, 1e-15);
  f.mean[1] = 0.31;
  update(4);
  EXPECT_EQ(count, 1);
  EXPECT_NEAR(f.mean[1], (0.31 + next) / 2, 1e-15);
  f.mean[1] = 0.31;
  update(5);
  EXPECT_EQ(count, 2);
  EXPECT_NEAR(f.mean[1], (2 * 0.31 + next) / 3, 1e-15);
}

TEST(UzWaterKernels, ExcessIsPushedOutAndWaterIsKept) {
  ColumnFixture f(kCarselParrish[1]);
  f.Fill(0.35);
  f.thetaOld[2] = 0.42;
  f.thetaOld[3] = 0.429;
  const double dt = 3600;
  const double q[7] = {-3e-6, -4e-6, -2e-5, -1e-6, -1e-6, -1e-6, -1e-6};
  for (int i = 0; i <= 6; ++i) f.q[i] = q[i];
  f.S[1] = 1e-7;
  double sumA = 0, sumB = 0;
  uzk::UpdateThetaWithExcess(f.c, 10, 0, f.A.data(), f.B.data(), f.thetaOld.data(), f.theta.data(), f.ts.data(),
                             f.tr.data(), f.q.data(), f.S.data(), f.d.data(), sumA, sumB, dt);
  double stored = 0;
  for (int i = 1; i <= 6; ++i) {
    EXPECT_LE(f.theta[i], f.ts[i] + 1e-12) << i;
    stored += (f.theta[i] - f.thetaOld[i]) * f.d[i];
  }
  // Storage change = inflow at the top - outflow at the bottom - interflow.
  EXPECT_NEAR(stored, (f.q[6] - f.q[0] - f.S[1]) * dt, 1e-15);
  EXPECT_GT(f.q[2], q[2]);  // the excess of layers 3 and 2 is pushed up
  EXPECT_GT(f.q[1], q[1]);

  // Both fluxes lead out of an oversaturated layer, no river: it stays so.
  ColumnFixture g(kCarselParrish[1]);
  g.Fill(0.35);
  g.thetaOld[2] = 0.44;
  g.q[1] = 1e-7;
  g.q[2] = -1e-7;
  uzk::UpdateThetaWithExcess(g.c, 1, 0, g.A.data(), g.B.data(), g.thetaOld.data(), g.theta.data(), g.ts.data(),
                             g.tr.data(), g.q.data(), g.S.data(), g.d.data(), sumA, sumB, 60);
  EXPECT_GT(g.theta[2], g.ts[2]);
  EXPECT_EQ(g.q[1], 1e-7);
  EXPECT_EQ(g.q[2], -1e-7);
}

TEST(UzWaterKernels, ClosedColumnIterationConservesWater) {
  ColumnFixture f(kCarselParrish[2], 8, 0.15);
  for (int i = 1; i <= 8; ++i) f.thetaOld[i] = f.theta[i] = f.mean[i] = i <= 3 ? 0.42 : 0.20;
  const double before = f.Water();
  const double dt = 900;
  double drainage = 0, sumA = 0, sumB = 0, inflow = 0, outflow = 0, mean = 0;
  int count = 0;
  std::vector<double> next(10);
  for (int iter = 1; iter <= 100; ++iter) {
    uzk::ComputeHeads(f.c, iter - 1, 0, mean, f.thetaOld.data(), f.theta.data(), f.A.data(), f.B.data(), f.psi.data(),
                      f.H.data(), f.z.data(), nullptr);
    uzk::ComputeFluxes(f.c, 0, 0.0, dt, f.thetaOld.data(), f.thetaOld.data(), f.mean.data(), f.A.data(), f.B.data(),
                       f.ts.data(), f.z.data(), f.H.data(), f.d.data(), f.S.data(), f.q.data(), drainage, nullptr,
                       f.tracer.data(), inflow, outflow);
    uzk::UpdateThetaWithExcess(f.c, 10, 0, f.A.data(), f.B.data(), f.thetaOld.data(), next.data(), f.ts.data(),
                               f.tr.data(), f.q.data(), f.S.data(), f.d.data(), sumA, sumB, dt);
    if (uzk::UpdateTheta(f.c, iter, 0, f.A.data(), f.B.data(), f.theta.data(), f.mean.data(), f.thetaOld.data(),
                         f.q.data(), f.S.data(), f.d.data(), count, dt) <= 1e-5)
      break;
  }
  EXPECT_FALSE(f.c.fpe);
  EXPECT_NEAR(f.Water(), before, 1e-12);
  EXPECT_LT(f.theta[1], 0.42);  // the wet top drains into the dry layers below
  EXPECT_GT(f.theta[4], 0.20);
}

TEST(UzWaterKernels, InterflowAndDrainage) {
  ColumnFixture f(kCarselParrish[1]);
  f.Fill(0.40);
  double mean = 0, drainage = -1, inflow = 0, outflow = 0;
  f.c.tanBeta = 0.5;
  f.c.channelDensity = 0.01;
  f.c.drainageModelled = true;
  f.c.drainageLevel = 2;
  const double dt = 600;
  auto fluxes = [&] {
    uzk::ComputeHeads(f.c, 0, 0, mean, f.thetaOld.data(), f.theta.data(), f.A.data(), f.B.data(), f.psi.data(),
                      f.H.data(), f.z.data(), nullptr);
    uzk::ComputeFluxes(f.c, 0, 0.0, dt, f.thetaOld.data(), f.theta.data(), f.theta.data(), f.A.data(), f.B.data(),
                       f.ts.data(), f.z.data(), f.H.data(), f.d.data(), f.S.data(), f.q.data(), drainage, nullptr,
                       f.tracer.data(), inflow, outflow);
  };
  // Drains at distance 0 do nothing; equal Ks below: no interflow either.
  f.c.drainageDistance = 0;
  fluxes();
  EXPECT_EQ(drainage, 0.0);
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(f.S[i], 0.0) << i;
  f.c.drainageDistance = std::nan("");
  fluxes();
  EXPECT_EQ(f.S[2], 0.0);

  f.c.drainageDistance = 20;
  fluxes();
  const double kr = f.soil->InterpolateTableMin(2, 0.40, 1.0), ks = f.soil->ksat[2];
  const double D = 2 * kr * ks * 0.2 / 20 * 100 / 20;
  const double R = (0.40 - f.constants.thetaDrainable[2]) * 0.2 / dt;
  EXPECT_NEAR(drainage, std::min(D, R), 1e-20);
  EXPECT_NEAR(f.S[2], std::min(D, R), 1e-20);
  EXPECT_EQ(f.S[1], 0.0);

  // Drains at 0.3 m in a saturated column. The table's layer is the last
  // (as when the deepest layer lies a little below saturation), but the
  // table lies at the surface at the substep's start and in the iteration:
  // the drains do not work.
  f.c.drainageDepth = 0.3;
  f.Fill(f.ts[1]);
  f.c.groundwaterDistance = 0;
  fluxes();
  EXPECT_EQ(drainage, 0.0);
  EXPECT_EQ(f.S[2], 0.0);
  // The table rises from the column's base (1.2 m) to the surface within
  // the substep: it lies below the drains for (1.2 - 0.3) / 1.2 of it.
  f.c.groundwaterDistance = f.z[6] - f.z[0];
  fluxes();
  const double krSat = f.soil->InterpolateTableMin(2, f.ts[2], 1.0);
  const double DSat = 0.75 * 2 * krSat * ks * 0.2 / 20 * 100 / 20;
  const double RSat = (f.ts[2] - f.constants.thetaDrainable[2]) * 0.2 / dt;
  EXPECT_GT(RSat, DSat);
  EXPECT_NEAR(drainage, DSat, 1e-12 * DSat);
}

TEST(UzWaterKernels, InfiltrationIsBoundedByWhatTheSurfaceLayerPasses) {
  // A sealed loam (1e-14 m/s) under 25.4 mm in an hour.
  const uztest::VanGenuchten sealed = {"sealed", 0.078, 0.43, 3.6, 1.56, 1e-14};
  const double rain = 25.4 / 3.6e6;
  for (const uztest::VanGenuchten& p : {sealed, kCarselParrish[1]}) {
    ColumnFixture f(p);
    f.Fill(0.30);
    double mean = 0, drainage = 0, inflow = 0, outflow = 0;
    auto fluxes = [&](double input, const double* F) {
      uzk::ComputeHeads(f.c, 0, 0, mean, f.thetaOld.data(), f.theta.data(), f.A.data(), f.B.data(), f.psi.data(),
                        f.H.data(), f.z.data(), F);
      uzk::ComputeFluxes(f.c, 0, input, 3600, f.thetaOld.data(), f.theta.data(), f.theta.data(), f.A.data(), f.B.data(),
                         f.ts.data(), f.z.data(), f.H.data(), f.d.data(), f.S.data(), f.q.data(), drainage, F,
                         f.tracer.data(), inflow, outflow);
      return -f.q[0];
    };
    // The Darcy flux from a saturated surface to the middle of layer 1 (0.1 m below it).
    auto passes = [&](double kr) { return p.ksat * kr * (f.z[0] - f.H[1]) / 0.1; };
    const double kSat = f.soil->InterpolateTableMin(1, 0.43, 1.0);
    const double in = fluxes(rain, nullptr);
    EXPECT_NEAR(in, std::min(rain, passes(kSat)), 1e-12 * rain) << p.name;
    if (p.ksat < 1e-10) {
      EXPECT_LT(in, 1e-12);  // the rain stays on the surface
    } else {
      EXPECT_EQ(fluxes(1e-7, nullptr), 1e-7);  // a drizzle enters whole
    }
    // Frozen water in layer 1 narrows its pores (liquid share 0.05).
    std::vector<double> F(f.n + 2, 1.0);
    F[1] = 0.05;
    const double frozen = fluxes(rain, F.data());
    EXPECT_NEAR(frozen, std::min(rain, passes(f.soil->InterpolateTableMin(1, 0.43, 0.05))), 1e-12 * rain) << p.name;
    EXPECT_LT(frozen, in) << p.name;
  }
}

TEST(UzWaterKernels, RechargeIsTheWaterTheSaturatedZoneGainsFromAbove) {
  // A loam column of six 0.2 m layers with its table in layer 4 (layers 4
  // to 6 saturated, the bottom closed, no lateral flow), the layers above
  // wet (infiltrated water on its way down) or dry (capillary rise out of
  // the table). Over a substep of the fluxes the kernels find, the recharge
  // is the water that the layers from the table's down gained, in mm:
  // positive when it sinks into the saturated zone, negative when it rises
  // out of it.
  for (double above : {0.40, 0.12}) {
    SCOPED_TRACE(above);
    ColumnFixture f(kCarselParrish[1]);
    for (int i = 1; i <= f.n; ++i) f.theta[i] = f.thetaOld[i] = f.mean[i] = i < 4 ? above : f.ts[i];
    f.c.g = 4;
    f.c.groundwaterDistance = f.z[3] - f.z[0];
    const double dt = 600, dtms = dt * 1000;
    double mean = 0, drainage = 0, inflow = 0, outflow = 0;
    uzk::ComputeHeads(f.c, 0, 0, mean, f.thetaOld.data(), f.theta.data(), f.A.data(), f.B.data(), f.psi.data(),
                      f.H.data(), f.z.data(), nullptr);
    uzk::ComputeFluxes(f.c, 0, 0.0, dt, f.thetaOld.data(), f.theta.data(), f.theta.data(), f.A.data(), f.B.data(),
                       f.ts.data(), f.z.data(), f.H.data(), f.d.data(), f.S.data(), f.q.data(), drainage, nullptr,
                       f.tracer.data(), inflow, outflow);
    int count = 0;
    uzk::UpdateTheta(f.c, 1, 0, f.A.data(), f.B.data(), f.theta.data(), f.mean.data(), f.thetaOld.data(), f.q.data(),
                     f.S.data(), f.d.data(), count, dt);
    double gained = 0;
    for (int i = 4; i <= f.n; ++i) gained += (f.theta[i] - f.thetaOld[i]) * f.d[i] * 1000;
    const double recharge = uzk::LowerBoundaryFlux(4, f.q.data(), dtms);
    EXPECT_NEAR(recharge, gained, 1e-9);
    if (above > 0.3) {
      EXPECT_GT(recharge, 0.01);
    } else {
      EXPECT_LT(recharge, -0.01);
    }
  }
}

TEST(UzWaterKernels, NonFiniteValuesAreFlaggedForTheCaller) {
  ColumnFixture f(kCarselParrish[1]);
  f.Fill(0.30);
  f.q[1] = std::nan("");
  int count = 0;
  uzk::UpdateTheta(f.c, 1, 0, f.A.data(), f.B.data(), f.theta.data(), f.mean.data(), f.thetaOld.data(), f.q.data(),
                   f.S.data(), f.d.data(), count, 60);
  EXPECT_TRUE(f.c.fpe);
}

TEST(UzZoneRecords, ReductionAddsCountsAndAreas) {
  ZoneRecord in[2] = {{1, 5, 7, 0.5, 2}, {3, 6, 8, 0.5, 4}};
  ZoneRecord io[2] = {{10, 9, 7, 0.5, 20}, {30, 9, 8, 0.5, 40}};
  int len = 2;
  uzk::SumZoneRecords(in, io, &len, nullptr);
  EXPECT_EQ(io[0].n, 11.0);
  EXPECT_EQ(io[1].RelCellSum, 44.0);
  EXPECT_EQ(io[0].sx, 0.0);
  EXPECT_EQ(io[1].zonenwert, 8.0);
  EXPECT_EQ(io[1].rel, 0.5);
}
