#include "soil/uzlateral.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "soil/uzbalance.h"
#include "tests/soil/uzcolumn.h"

using uztest::ColumnFixture;
using uztest::kCarselParrish;

namespace {
const std::string kMacropores = "PMacroThresh = 3.6;  MacroCapacity = 36;  CapacityRedu = 0.5;  MacroDepth = 0.5;";
}

TEST(UzMacropores, InputAboveTheThresholdFillsLayersFromBelow) {
  ColumnFixture f(kCarselParrish[1], 6, 0.2, kMacropores);
  f.Fill(0.30);
  std::vector<double> cap(8), macro(8);
  const double tau = 3.6e6;
  double P = 1e-6;  // at the threshold of 3.6 mm/h
  EXPECT_EQ(uzk::MacroporeInfiltration(f.c, P, f.d.data(), cap.data(), f.ts.data(), f.theta.data(), macro.data(), tau),
            0.0);
  EXPECT_EQ(P, 1e-6);

  P = 2e-5;
  const double before = f.Water();
  const double total =
      uzk::MacroporeInfiltration(f.c, P, f.d.data(), cap.data(), f.ts.data(), f.theta.data(), macro.data(), tau);
  EXPECT_NEAR(cap[1], 1e-5 * std::pow(0.5, 0.1), 1e-18);
  EXPECT_NEAR(cap[2], 1e-5 * std::pow(0.5, 0.3), 1e-18);
  EXPECT_EQ(cap[3], 0.0);  // its middle lies at the macropore depth
  // Layer 2 is filled (26 mm), layer 1 takes the rest of 36 mm.
  EXPECT_DOUBLE_EQ(f.theta[2], 0.43);
  EXPECT_NEAR(total, 36.0, 1e-9);
  EXPECT_NEAR((f.Water() - before) * 1000, total, 1e-9);
  EXPECT_NEAR(P, 2e-5 - total / tau, 1e-18);
  EXPECT_NEAR((macro[1] + macro[2]) * tau, total, 1e-9);

  // Macropores ending in the upper half of layer 1 take nothing.
  ColumnFixture shallow(kCarselParrish[1], 6, 0.2, "PMacroThresh = 3.6;  MacroCapacity = 36;  MacroDepth = 0.1;");
  shallow.Fill(0.30);
  P = 2e-5;
  EXPECT_EQ(uzk::MacroporeInfiltration(shallow.c, P, shallow.d.data(), cap.data(), shallow.ts.data(),
                                       shallow.theta.data(), macro.data(), tau),
            0.0);
}

class UzRiver : public ::testing::Test {
 protected:
  void SetUp() override {
    f.Fill(0.40);
    f.c.surfaceInteraction = 2;
    f.c.groundwaterActive = true;
    river.depth = 0.5;
    river.width = 5;
    river.kolmation = 1e-5;
    river.record = record;
    river.tracers = 2;
    record[1] = 7;
    record[2] = 9;
    record[10] = 2.0;
    record[11] = 1.0;
    river.share = 2.0;  // the cell's part of the link's discharge
    river.stepSeconds = 3600;
    for (int i = 1; i <= 6; ++i) f.H[i] = 99.2;
  }
  void Exchange(int g) {
    uzk::LateralFlows(f.c, river, 3600, g, f.A.data(), f.B.data(), f.tracer.data(), f.ts.data(), f.theta.data(),
                      f.theta.data(), f.z.data(), f.H.data(), f.d.data(), in, out);
  }
  ColumnFixture f{kCarselParrish[1]};
  uzk::RiverCell river;
  double record[16] = {};
  double in = 0, out = 0;
};

TEST_F(UzRiver, ExfiltrationAboveTheRiverBottom) {
  f.c.groundwaterDistance = -0.3;  // table in layer 2, above the bed at 0.5 m
  for (int si : {1, 2}) {
    f.c.surfaceInteraction = si;
    Exchange(2);
    EXPECT_NEAR(out, 1e-5 * 0.2 * 5 / 100, 1e-20);
    EXPECT_NEAR(f.B[2], out, 1e-20);
    EXPECT_EQ(in, 0.0);
  }
  river.width = 0;
  Exchange(2);
  EXPECT_EQ(out, 0.0);
  EXPECT_EQ(f.B[2], 0.0);
}

TEST_F(UzRiver, InfiltrationBelowTheBedIsLimitedByTheRiver) {
  f.c.groundwaterDistance = -0.9;  // table in layer 5, below the bed
  Exchange(5);
  const double rate = (99.5 + 0.4 - 99.2) * 1e-5 * 5 * 100 / 1e4;
  EXPECT_NEAR(f.A[3], rate, 1e-20);
  EXPECT_NEAR(in, rate, 1e-20);
  EXPECT_EQ(f.tracer[1], 7.0);
  EXPECT_EQ(f.tracer[2], 9.0);
  river.taken = 2.0;  // the cell's share is used up
  Exchange(5);
  EXPECT_EQ(in, 0.0);
  EXPECT_EQ(f.A[3], 0.0);
  river.taken = 0.0;
  f.c.surfaceInteraction = 1;  // exfiltration only
  Exchange(5);
  EXPECT_EQ(in, 0.0);
}

namespace {

// Arrays of the balance of one column with n layers.
struct Balance {
  explicit Balance(int n)
      : theta(n + 2, 0.3),
        d(n + 2, 0.2),
        q(n + 2),
        O1(n + 2),
        O2(n + 2),
        A(n + 2),
        B(n + 2),
        avail(n + 2),
        factor(n + 2),
        l1(n + 2),
        l2(n + 2),
        lb(n + 2),
        lq(n + 2) {
    w = {theta.data(), d.data(),      q.data(),  O1.data(), O2.data(), A.data(), B.data(),
         avail.data(), factor.data(), l1.data(), l2.data(), lb.data(), lq.data()};
  }
  std::vector<double> theta, d, q, O1, O2, A, B, avail, factor, l1, l2, lb, lq;
  uzk::BalanceArrays w;
};

}  // namespace

TEST(UzLayerBalance, OutflowsAreLimitedTogether) {
  ColumnFixture f(kCarselParrish[1]);
  Balance b(6);
  b.theta[1] = 0.01;
  b.O1[1] = 4e-7;
  b.O2[1] = 2e-7;
  b.q[1] = -1e-7;
  b.theta[2] = 0.0;  // dry: unscaled
  b.O1[2] = 1e-6;
  f.c.g = 4;
  uzk::LayerBalance(f.c, 4, b.w, nullptr, 3600, 1, 1);
  const double W = 0.01 * 0.2 / 3600, k = W / 7e-7;
  EXPECT_NEAR(b.factor[1], k, 1e-15);
  EXPECT_NEAR(b.l1[1], 4e-7 * k, 1e-20);
  EXPECT_NEAR(b.l2[1], 2e-7 * k, 1e-20);
  EXPECT_NEAR(b.lq[1], -1e-7 * k, 1e-20);
  EXPECT_NEAR(b.l1[1] + b.l2[1] - b.lq[1], W, 1e-20);
  EXPECT_EQ(b.factor[2], 1.0);
  EXPECT_EQ(b.l1[2], 1e-6);
}

TEST(UzLayerBalance, TracerMassIsKept) {
  ColumnFixture f(kCarselParrish[1]);
  const int n = 6;
  Balance b(n);
  const double q[7] = {0, -2e-7, 1e-7, -3e-7, -1e-7, 2e-7, 0};  // closed at top and bottom
  for (int i = 0; i <= n; ++i) b.q[i] = q[i];
  std::vector<double> start = {5, 1, 2, 3, 4, 5, 6, 0}, end(8);
  const double* starts[2] = {nullptr, start.data()};
  double* ends[2] = {nullptr, end.data()};
  int mixed[2] = {0, 0};
  double cap[2] = {0, 1e9}, output[2], inter[2], drain[2];
  std::vector<double> water(n + 1);
  uzk::TracerColumn t;
  t.count = 1;
  t.water = water.data();
  t.mixed = mixed;
  t.capFactor = cap;
  t.start = starts;
  t.end = ends;
  t.inputWater = 2;
  t.output = output;
  t.interflow = inter;
  t.drainage = drain;
  f.c.g = 6;
  const double total = std::accumulate(start.begin(), start.begin() + n + 1, 0.0);
  uzk::LayerBalance(f.c, 6, b.w, &t, 3600, 1, 1);
  EXPECT_NEAR(std::accumulate(end.begin(), end.begin() + n + 1, 0.0), total, 1e-12);
  EXPECT_NEAR(end[1], 1 - 3600 * 2e-7 / (0.2 * 0.3) * 1, 1e-12);  // gave 2e-7 m/s to layer 2
  EXPECT_EQ(end[0], 5.0);

  // Open column: what enters from the input store is in the layers or has
  // left with the outflows.
  b.q[0] = -1e-7;
  b.q[n] = -1e-7;
  b.O1[2] = 5e-8;
  b.O2[3] = 5e-8;
  uzk::LayerBalance(f.c, 6, b.w, &t, 3600, 1, 1);
  EXPECT_NEAR(std::accumulate(end.begin(), end.begin() + n + 1, 0.0) + output[1] + inter[1] + drain[1], total, 1e-12);
  EXPECT_GT(output[1], 0.0);
  EXPECT_NEAR(end[0], 5 - 1e-7 * 3600 * 1000 * 5 / 2, 1e-12);

  // A mixed tracer takes one concentration below the table and keeps its mass.
  mixed[1] = 1;
  f.c.g = 3;
  uzk::LayerBalance(f.c, 3, b.w, &t, 3600, 1, 1);
  EXPECT_NEAR(end[3] / b.theta[3], end[4] / b.theta[4], 1e-12);
  EXPECT_FALSE(f.c.fpe);

  // A layer that passes on more water in the substep than it held at its
  // start (20 mm at 1, then 100 mm of the input at 5, 60 mm on down) keeps
  // the mixture of what it took in, 520 / 120 mm, and so does the water it
  // passes on (taken at its start concentration it kept 460 / 60 mm).
  mixed[1] = 0;
  std::vector<double> before(n + 2, 0.3);
  before[1] = 0.1;
  t.thetaStart = before.data();
  std::fill(b.q.begin(), b.q.end(), 0.0);
  std::fill(b.O1.begin(), b.O1.end(), 0.0);
  std::fill(b.O2.begin(), b.O2.end(), 0.0);
  b.q[0] = -100 / 3.6e6;
  b.q[1] = -60 / 3.6e6;
  const double layers[8] = {500, 20, 12, 18, 24, 30, 36, 0};
  std::copy(layers, layers + 8, start.begin());
  t.inputWater = 100;
  f.c.g = 6;
  uzk::LayerBalance(f.c, 6, b.w, &t, 3600, 1, 1);
  EXPECT_NEAR(end[0], 0.0, 1e-12);
  EXPECT_NEAR(end[1] / 60, 520.0 / 120, 1e-12);
  EXPECT_NEAR(end[2], 12 + 60 * 520.0 / 120, 1e-12);
}

TEST(UzLayerBalance, SaturatedZoneTakesTheWaterWeightedMeanConcentration) {
  ColumnFixture f(kCarselParrish[1]);
  const int n = 6;
  Balance b(n);  // no fluxes: only the mixing acts
  // Layers 4 and 5 below the table: 0.3 * 0.2 m = 60 mm at 0.1, 0.4 * 0.2 m = 80 mm at 0.3.
  b.theta[4] = 0.3;
  b.theta[5] = 0.4;
  std::vector<double> start = {0, 1, 2, 3, 6, 24, 9, 0}, end(8);
  const double* starts[2] = {nullptr, start.data()};
  double* ends[2] = {nullptr, end.data()};
  int mixed[2] = {0, 1};
  double cap[2] = {0, 1e9}, output[2], inter[2], drain[2], gw[2] = {0, 0.5};
  std::vector<double> water(n + 1);
  uzk::TracerColumn t;
  t.count = 1;
  t.water = water.data();
  t.mixed = mixed;
  t.capFactor = cap;
  t.start = starts;
  t.end = ends;
  t.output = output;
  t.interflow = inter;
  t.drainage = drain;
  f.c.g = 4;
  uzk::LayerBalance(f.c, 4, b.w, &t, 3600, 1, 1);
  // (6 + 24) / (60 + 80) mm: the mixture 0.2142857...; the layers above keep theirs.
  EXPECT_NEAR(end[4], 60 * 30.0 / 140, 1e-12);
  EXPECT_NEAR(end[5], 80 * 30.0 / 140, 1e-12);
  EXPECT_EQ(end[3], 3.0);
  EXPECT_EQ(end[6], 9.0);

  // With the groundwater model: 60 mm at 0.5 below join the mixture, (30 + 30) / 200 = 0.3.
  f.c.groundwaterActive = true;
  t.groundwater = gw;
  t.groundwaterStorage = 60;
  uzk::LayerBalance(f.c, 4, b.w, &t, 3600, 1, 1);
  EXPECT_NEAR(end[4], 18.0, 1e-12);
  EXPECT_NEAR(end[5], 24.0, 1e-12);
  EXPECT_NEAR(gw[1], 0.3, 1e-15);
}
