#include <gtest/gtest.h>

#include <cmath>

#include "parameters/soil_table_entry.h"

namespace {

// Suction steps of the retention tables (index 1..30).
const double kSteps[31] = {0,    0,   0.0005, 0.001, 0.002, 0.005, 0.007, 0.01,  0.02, 0.03, 0.05,
                           0.07, 0.1, 0.15,   0.2,   0.3,   0.4,   0.6,   0.8,   1.2,  1.6,  2.6,
                           3.45, 6.9, 20.0,   35.0,  50.0,  75.0,  100.0, 125.0, 150.0};

struct Layer {
  double ts, tr, alpha, n, tau;
};
const Layer kLayers[3] = {{0, 0, 0, 0, 0}, {0.45, 0.05, 2.0, 1.6, 0.5}, {0.38, 0.02, 0.8, 2.5, -1.0}};

// Independent van Genuchten / Mualem formulas.
double Se(const Layer& p, double suction) {
  return std::pow(1.0 + std::pow(p.alpha * suction, p.n), -(1 - 1 / p.n));
}
double Theta(const Layer& p, double suction) {
  return p.tr + (p.ts - p.tr) * Se(p, suction);
}
double Kr(const Layer& p, double suction) {
  const double m = 1 - 1 / p.n;
  const double se = Se(p, suction);
  const double inner = 1 - std::pow(1 - std::pow(se, 1 / m), m);
  return std::pow(se, p.tau) * inner * inner;
}

class SoilHydraulics : public ::testing::Test {
 protected:
  void SetUp() override {
    e.AllocLayerArrays(2);
    for (int L = 0; L <= 2; ++L) {
      const Layer& p = kLayers[L == 0 ? 1 : L];
      e.theta_sat[L] = p.ts;
      e.theta_res[L] = p.tr;
      e.alpha[L] = p.alpha;
      e.Par_n[L] = p.n;
      e.Par_m[L] = 1 - 1 / p.n;
      e.Par_tau[L] = p.tau;
      e.ksat[L] = 1e-5;
      e.DryDensity[L] = 1500;
      e.DryHeatCapacity[L] = 800;
      e.AllocHydraulicTables(L);
    }
  }
  soil_table_entry e;
};

}  // namespace

TEST_F(SoilHydraulics, TableNodesEqualTheAnalyticCurves) {
  for (int L = 1; L <= 2; ++L) {
    const Layer& p = kLayers[L];
    const auto& theta = e.WaterContentTable(L);
    EXPECT_EQ(theta[1], p.ts);
    EXPECT_EQ(theta[30], p.tr);
    for (int k = 1; k < 30; ++k) {
      EXPECT_NEAR(theta[k], Theta(p, kSteps[k]), 1e-12) << L << " " << k;
      EXPECT_NEAR(e.InterpolateTable(L, theta[k]), kSteps[k], 1e-12) << L << " " << k;
      EXPECT_NEAR(e.InterpolateTableMin(L, theta[k], 1.0), Kr(p, kSteps[k]), 1e-12) << L << " " << k;
    }
    EXPECT_EQ(e.InterpolateTable(L, p.ts), 0.0);
    EXPECT_EQ(e.InterpolateTable(L, p.tr), 150.0);
    EXPECT_EQ(e.InterpolateTable(L, p.tr - 0.01), 150.0);
    EXPECT_EQ(e.InterpolateTableMin(L, p.ts + 0.1, p.ts), 1.0);
    EXPECT_EQ(e.InterpolateTableMin(L, p.tr, p.ts), 0.0);
    EXPECT_EQ(e.InterpolateTableMin(L, p.tr - 0.01, p.ts), 0.0);
  }
}

TEST_F(SoilHydraulics, LookUpsAreMonotoneAndTheInverseRoundTrips) {
  for (int L = 1; L <= 2; ++L) {
    const Layer& p = kLayers[L];
    const auto& theta = e.WaterContentTable(L);
    double lastSuction = 1e300, lastK = -1;
    for (int i = 0; i <= 20000; ++i) {
      const double t = p.tr - 0.01 + (p.ts - p.tr + 0.02) * i / 20000.0;
      const double s = e.InterpolateTable(L, t);
      const double k = e.InterpolateTableMin(L, t, t);
      EXPECT_LE(s, lastSuction);
      EXPECT_GE(k, lastK);
      EXPECT_TRUE(s >= 0 && s <= 150 && k >= 0 && k <= 1);
      lastSuction = s;
      lastK = k;
      if (t <= p.tr || t >= p.ts) continue;
      // Back from the suction: inside the table interval that holds t.
      int j = 1;
      while (!(theta[j] > t && t >= theta[j + 1])) ++j;
      const double back = e.InterpolateTableInverse(L, s);
      EXPECT_LE(back, theta[j] + 1e-15);
      EXPECT_GE(back, theta[j + 1] - 1e-15);
      if (kSteps[j + 1] - kSteps[j] >= 0.001) {
        EXPECT_NEAR(back, t, 1e-12);
      }
    }
    double lastTheta = 1e300;
    for (int i = 0; i <= 20000; ++i) {
      const double t = e.InterpolateTableInverse(L, 200.0 * i / 20000.0);
      EXPECT_LE(t, lastTheta);
      lastTheta = t;
    }
    EXPECT_EQ(e.InterpolateTableInverse(L, 0.0005), p.ts);  // step shorter than 0.001
    EXPECT_NEAR(e.InterpolateTableInverse(L, 0.015), (theta[7] + theta[8]) / 2, 1e-15);
    EXPECT_EQ(e.InterpolateTableInverse(L, 200), p.tr);
  }
}

TEST_F(SoilHydraulics, FineTablesHoldSaturationAndItsDerivative) {
  const double f = 1.3;
  e.BuildVanGenuchtenTable(1, f);
  const Layer& p = kLayers[1];
  const auto& E = e.FineSaturationTable(1);
  const auto& F = e.FineDerivativeTable(1);
  EXPECT_EQ(E[0], 1.0);
  EXPECT_EQ(F[0], 0.0);
  const double dh = -10.0 / 1000;
  auto se = [&](double head) { return std::pow(1 + std::pow(std::fabs(head * f) * p.alpha, p.n), -(1 - 1 / p.n)); };
  for (int k : {1, 10, 137, 500, 999, 1000}) {
    const double head = k * dh;
    EXPECT_NEAR(E[k], se(head), 1e-12) << k;
    const double delta = 1e-6;
    EXPECT_NEAR(F[k], (se(head + delta) - se(head - delta)) / (2 * delta), 1e-6 * std::fabs(F[k]) + 1e-9) << k;
  }
  // A saturated layer does not shift its head: the look-ups give E and F at the head.
  EXPECT_EQ(e.GetShiftBySaturation(1, 1.0), 0.0);
  double head[3] = {0, 137 * dh, 0}, water[3] = {0, p.ts, 0}, out[3] = {0, 0, 0};
  e.BuildVanGenuchtenTable(2, f);
  water[2] = kLayers[2].ts;
  head[2] = 0.5;
  e.GetLayerValuesBySaturation2(out, head, water);
  EXPECT_NEAR(out[1], E[137], 1e-12);
  EXPECT_EQ(out[2], 1.0);  // a positive head is saturated
  e.GetLayerValuesBySaturation(out, head, water);
  EXPECT_NEAR(out[1], F[137], 1e-12);
  EXPECT_EQ(out[2], 0.0);
  head[1] = -10.0;
  e.GetLayerValuesBySaturation2(out, head, water);
  EXPECT_EQ(out[1], 0.0);  // at the lower end of the table
}

TEST_F(SoilHydraulics, ThermalParametersBlendFrozenAndUnfrozenValues) {
  const double temperature[3] = {0, -10, 5}, ice[3] = {0, 0.25, 0}, addend[3] = {0, 7, 0}, water[3] = {0, 0.3, 0.2};
  double out[3] = {};
  const double a = 4.2e6, b = 2.2, c = 1.5, d = 0.5;
  e.GetThermalParameters(temperature, out, ice, addend, water, a, b, c, d);
  EXPECT_NEAR(out[1], 1500 * 800 + (0.25 * b + 0.75 * (c + d) / 2) * 0.3 * a + 7, 1e-6);
  EXPECT_NEAR(out[2], 1500 * 800 + c * 0.2 * a, 1e-6);
  double k[3] = {};
  e.GetFrozenConductivity(k, nullptr, water, water);
  EXPECT_EQ(k[1], 1e-5);
}

// The table look-ups start from a per-layer index instead of searching the
// whole table; the interval they find, and so every result, must be the one
// of the plain search, bit for bit, for every water content.
namespace {

// The interval i with table[i] > x >= table[i + 1] (1 ... 29): the plain bisection.
int Bisection(const std::vector<double>& table, double x) {
  int lo = 1, hi = 30;
  while (hi - lo > 1) {
    const int mid = (lo + hi) / 2;
    (table[mid] > x ? lo : hi) = mid;
  }
  return lo;
}

double SuctionBySearch(const std::vector<double>& th, double t) {
  if (t <= th[30]) return kSteps[30];
  if (t >= th[1]) return 0.0;
  const int i = Bisection(th, t);
  const double w = (t - th[i + 1]) / (th[i] - th[i + 1]);
  return w * kSteps[i] + (1.0 - w) * kSteps[i + 1];
}

double ConductivityBySearch(const std::vector<double>& tk, const std::vector<double>& kr, double x) {
  if (x < tk[30]) return kr[30];
  if (x >= tk[1]) return 1.0;
  const int i = Bisection(tk, x);
  const double w = (x - tk[i + 1]) / (tk[i] - tk[i + 1]);
  return w * kr[i] + (1.0 - w) * kr[i + 1];
}

// Water contents that reach every interval and every bucket of the index:
// each node, its neighbouring doubles, and a dense sweep beyond both ends.
std::vector<double> Probes(const std::vector<double>& table, double from, double to) {
  std::vector<double> x;
  for (int k = 1; k <= 30; ++k)
    for (double v : {table[k], std::nextafter(table[k], 1.0), std::nextafter(table[k], -1.0)}) x.push_back(v);
  for (int i = 0; i <= 50000; ++i) x.push_back(from + (to - from) * i / 50000.0);
  return x;
}

}  // namespace

TEST(SoilLookUps, EqualThePlainSearchBitForBit) {
  // Loam, a clay whose nodes crowd near saturation (small alpha: most of the
  // 30 suctions change the water content by less than a bucket), a sand whose
  // nodes crowd near the residual content, and equal neighbours (ts = tr + tiny).
  const Layer soils[] = {{0.43, 0.08, 3.6, 1.56, 0.5},
                         {0.50, 0.10, 0.008, 1.09, 0.5},
                         {0.37, 0.04, 14.5, 2.68, 0.5},
                         {0.30, 0.30 - 1e-15, 1.0, 1.5, 0.5}};
  for (const Layer& p : soils) {
    soil_table_entry e;
    e.AllocLayerArrays(1);
    e.theta_sat[1] = p.ts;
    e.theta_res[1] = p.tr;
    e.alpha[1] = p.alpha;
    e.Par_n[1] = p.n;
    e.Par_m[1] = 1 - 1 / p.n;
    e.Par_tau[1] = p.tau;
    e.AllocHydraulicTables(1);
    const auto& th = e.WaterContentTable(1);
    const auto& tk = e.ConductivityWaterContentTable(1);
    const auto& kr = e.RelativeConductivityTable(1);
    int checked = 0;
    for (double t : Probes(th, p.tr - 0.01, p.ts + 0.01)) {
      // EXPECT_EQ on doubles: equal bits (no NaN here).
      ASSERT_EQ(e.InterpolateTable(1, t), SuctionBySearch(th, t)) << p.alpha << " theta " << t;
      ASSERT_EQ(e.InterpolateTableMin(1, t, 1.0), ConductivityBySearch(tk, kr, t)) << p.alpha << " theta " << t;
      ASSERT_EQ(e.InterpolateTableMin(1, 1.0, t), ConductivityBySearch(tk, kr, t)) << p.alpha << " theta " << t;
      ++checked;
    }
    EXPECT_GT(checked, 50000);
    EXPECT_TRUE(std::isnan(e.InterpolateTable(1, std::nan(""))));

    // With the interval of the last call: whatever interval it brings
    // (right, a neighbour, far off, out of range), the result is the plain
    // search's, and the interval it leaves holds the value.
    const std::vector<double> probes = Probes(th, p.tr - 0.01, p.ts + 0.01);
    for (int start : {-3, 0, 1, 15, 29, 30, 31, 1000}) {
      int interval = start;
      for (size_t k = 0; k < probes.size(); k += 7) {
        const double t = probes[k];
        ASSERT_EQ(e.InterpolateTable(1, t, interval), SuctionBySearch(th, t)) << p.alpha << " theta " << t;
        if (t > th[30] && t < th[1]) {
          ASSERT_TRUE(interval >= 1 && interval < 30 && th[interval] > t && t >= th[interval + 1]) << interval;
        }
        if (k % 5 == 0) interval = start;  // a stale interval again
      }
    }
  }
}

TEST(SoilLookUps, TablesThatDoNotDescendKeepThePlainSearch) {
  // A negative m makes the retention curve rise with the suction: the index
  // is not used and the look-ups give what the bisection gives.
  soil_table_entry e;
  e.AllocLayerArrays(1);
  e.theta_sat[1] = 0.4;
  e.theta_res[1] = 0.1;
  e.alpha[1] = 2.0;
  e.Par_n[1] = 1.5;
  e.Par_m[1] = -0.3;
  e.Par_tau[1] = 0.5;
  e.AllocHydraulicTables(1);
  const auto& th = e.WaterContentTable(1);
  ASSERT_LT(th[2], th[3]);  // rises in the middle of the table
  for (double t : Probes(th, 0.0, 1.0)) {
    ASSERT_EQ(e.InterpolateTable(1, t), SuctionBySearch(th, t)) << t;
    // Whatever interval the caller brings, the result is the bisection's.
    for (int interval = 1; interval < 30; ++interval) {
      int kept = interval;
      ASSERT_EQ(e.InterpolateTable(1, t, kept), SuctionBySearch(th, t)) << t << " " << interval;
    }
  }
}
