// Building the routing network from the descriptions: summary counts, the
// codes of malformed descriptions, channel tables against Manning-Strickler,
// inflow files and the observed-discharge file. Routing of the steps: linear
// storages and translation against their analytic responses, uniform runoff,
// the water balance of the network, the comparison with observed discharge,
// output units and the warm start.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tests/routing/routing_support.h"

namespace {

class StepTest : public RoutingFixture {
 protected:
  StepTest() : RoutingFixture("step") {}
  // Channel of subbasin 1 into subbasin 2, whose routed value carries half
  // of the channel (subbasins 1 and 2 are 1 km2 each, relArea 1).
  std::string OneChannel(const std::string& q, double kh, double L) {
    return Head(q) + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(kh, L, 1, 50) + "\nend\n";
  }
  // Starts the routing and runs a first step without runoff: the channels
  // start with the first step's flow, here none.
  void StartEmpty() {
    Start();
    Step(0);
  }
  // Response of the channel to 1 mm in the step after the empty first one,
  // steps 0 ... n - 1 from the pulse on.
  std::vector<double> PulseResponse(int n) {
    StartEmpty();
    std::vector<double> out;
    for (int i = 0; i < n; ++i) {
      Runoff({i == 0 ? 1.0 : 0.0, 0, 0, 0});
      Step(i + 1);
      out.push_back(Routed(2) / 0.5);
    }
    return out;
  }
  // The channel length that gives class 1 the travel time t [h].
  double LengthFor(const std::string& q, double t) {
    EXPECT_EQ(Build(OneChannel(q, 1, 1)), 0);
    return t * 3600 * model->Routing(1)->Table(1).v[1];
  }
};

TEST_F(StepTest, LinearStoragesGiveTheirAnalyticResponse) {
  // One class, one sub-channel, no flood plain, kh 2 h: a pulse of the step
  // leaves 1 - g at once and g (1 - c) c^(k - 1) in step k (c = exp(-1/2), g
  // = 2 (1 - c): an input constant over the step), 2 h later on average; the
  // translation (t[1] h of 1 m) moves its share one step on.
  ASSERT_EQ(Build(OneChannel("1 1 1 1", 2, 1)), 0);
  const WQTable& w = model->Routing(1)->Table(1);
  ASSERT_EQ(w.nSubChannels, 1);
  ASSERT_EQ(w.delta[1], 0);
  const double f = w.t[1], a = 0.21306132, b = 0.30963624;
  std::vector<double> out = PulseResponse(120);
  EXPECT_NEAR(out[0], (1 - f) * a, 1e-8);
  EXPECT_NEAR(out[1], (1 - f) * b + f * a, 1e-8);
  EXPECT_NEAR(out[2], (1 - f) * b * 0.60653066 + f * b, 1e-8);
  double sum = 0, centroid = 0;
  for (size_t i = 0; i < out.size(); ++i) sum += out[i], centroid += i * out[i];
  EXPECT_NEAR(sum, 1.0, 1e-12);
  EXPECT_NEAR(centroid, 2 + f, 1e-9);

  // Two sub-channels in a row: 2 h each, and a translation between the
  // fastest and the slowest class's.
  const double L = LengthFor("0.1 1000 20 1", 1.5);
  ASSERT_EQ(Build(OneChannel("0.1 1000 20 1", 2, L)), 0);
  const WQTable& w2 = model->Routing(1)->Table(1);
  ASSERT_EQ(w2.nSubChannels, 2);
  out = PulseResponse(200);
  sum = centroid = 0;
  for (size_t i = 0; i < out.size(); ++i) sum += out[i], centroid += i * out[i];
  EXPECT_NEAR(sum, 1.0, 1e-9);
  EXPECT_GE(centroid, 4 + w2.t[21]);
  EXPECT_LE(centroid, 4 + w2.t[1]);
}

TEST_F(StepTest, TranslationSplitsAPulseBetweenTwoSteps) {
  // One discharge class (qmin = qmax), 4 sub-intervals, 9.9 h: each quarter
  // leaves 39.6 quarters later, f = 4 t - 39 of it a quarter after the rest
  // (0.1 of the pulse in step 9); the storage of 0.01 h holds k / tau = 0.04
  // of each quarter's water back for a quarter.
  const double L = LengthFor("100 100 1 4", 9.9);
  ASSERT_EQ(Build(OneChannel("100 100 1 4", 0.01, L)), 0);
  const WQTable& w = model->Routing(1)->Table(1);
  ASSERT_EQ(w.nSubChannels, 1);
  ASSERT_EQ(w.delta[1], 39);
  const double f = 4 * w.t[1] - 39, x[3] = {0.24 * (1 - f), 1 - 0.24 * (1 - f) - 0.01 * f, 0.01 * f};
  const std::vector<double> out = PulseResponse(14);
  for (int i = 0; i < 14; ++i) EXPECT_NEAR(out[i], i >= 9 && i <= 11 ? x[i - 9] : 0.0, 1e-9) << i;
}

TEST_F(StepTest, ASmoothInflowLeavesSmoothly) {
  // The example basin's channel (9.5 km, flood plain, twenty classes, twelve
  // sub-intervals) under inflows of the example's range [m3/s over its 492
  // km2]. What holds for any sound translation: a monotone inflow leaves
  // monotone, neither beyond the inflow's range (no overshoot) nor with more
  // variation than the inflow has; a constant after a change settles on it
  // without oscillation; the water goes out whole; and the new level of a
  // step arrives after the channel's travel time at the new flow and before
  // that at the old one (L / v of the table by
  // Manning-Strickler) plus the time its sub-channels' storages take to
  // come within 2 % of a step (ln 50 = 3.9 times their constants).
  // A tracer travels with its water: a constant concentration leaves at
  // that concentration whatever the flow does, the tracer's mass goes out
  // whole (what entered = what left + what the channel holds more, to
  // 1e-9), a change of the concentration reaches the outlet with its water
  // (not before the travel time), and a radioactive tracer leaves decayed
  // by its travel time: between 2^(-(t - 1 h) / T) and 2^(-(t + 1 h + the
  // storages' time) / T) at a steady flow.
  struct Case {
    const char* name;
    double (*inflow)(int hour);  // m3/s, the change starts at hour 24
    int monotone;                // 1 rising, -1 falling, 0 a single peak, 2 steady
    double (*concentration)(int hour) = [](int) { return 2.0; };
    double halfLife = 0;  // days; 0: the tracer does not decay
  };
  const Case cases[] = {
      {"a ramp from 60 to 2 m3/s over five days",
       [](int h) { return h < 24    ? 60.0
                          : h < 144 ? 60.0 - 58.0 * (h - 24) / 120.0
                                    : 2.0; }, -1},
      {"a ramp from 2 to 60 m3/s over five days",
       [](int h) { return h < 24    ? 2.0
                          : h < 144 ? 2.0 + 58.0 * (h - 24) / 120.0
                                    : 60.0; }, 1},
      {"a flood 5 -> 600 -> 5 m3/s over two days",
       [](int h) {
         return h < 24 ? 5.0 : h < 48 ? 5.0 + 595.0 * (h - 24) / 24.0 : h < 72 ? 600.0 - 595.0 * (h - 48) / 24.0 : 5.0;
       },
       0},
      {"a step from 20 to 60 m3/s", [](int h) { return h < 24 ? 20.0 : 60.0; }, 1},
      {"a step from 60 to 20 m3/s", [](int h) { return h < 24 ? 60.0 : 20.0; }, -1},
      {"a step from 2.5 to 2.767 m3/s (a class boundary)", [](int h) { return h < 24 ? 2.5 : 2.767; }, 1},
      {"a step from 600 to 1 m3/s", [](int h) { return h < 24 ? 600.0 : 1.0; }, -1},
      {"a concentration step from 1 to 5 at 20 m3/s", [](int) { return 20.0; }, 2,
       [](int h) { return h < 24 ? 1.0 : 5.0; }},
      {"a radioactive tracer (half-life 0.25 d) at 20 m3/s", [](int) { return 20.0; }, 2, [](int) { return 1.0; },
       0.25},
      {"a radioactive tracer (half-life 0.25 d) at 2 m3/s", [](int) { return 2.0; }, 2, [](int) { return 1.0; }, 0.25}};
  const double AE = 492, toDepth = 3.6 / AE;  // m3/s -> mm per hour over AE (the class's specific discharge)
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tracerRecords[1].radioactive = c.halfLife > 0 ? 1 : 0;
    tracerRecords[1].half_time = c.halfLife > 0 ? c.halfLife : -9999;
    ASSERT_EQ(
        Build(Head("1 1000 20 12") +
                  "TG 2 (area = 2, rel = 1)\nOL 1 (kh = 0.20, kv = 0.61, Bh = 24.4, Bv = 244, Th = 1.93, Mh = 30, "
                  "Mv = 20, I = 0.0005, L = 9536, AE = 492)\nend\n",
              1),
        0);
    routingclass& r = *model->Routing(1);
    const WQTable& w = r.Table(1);
    // The first step routes the start (the channel holds its flow) and is the first value.
    Start({c.inflow(0) * toDepth, 0, 0, 0}, 1, c.concentration(0));
    const int n = 24 * 12;
    std::vector<double> in(n), out(n), cOut(n);
    in[0] = c.inflow(0);
    Runoff({in[0] * toDepth, 0, 0, 0});
    Step(0);
    out[0] = Routed(2) * 2 / toDepth;
    cOut[0] = model->Tables().runoff[1][2];
    double before = r.ChannelStorage(1, false), volumeIn = 0, volumeOut = 0;
    double tracerBefore = r.ChannelTracer(1, 1), massIn = 0, massOut = 0;
    for (int h = 1; h < n; ++h) {
      in[h] = c.inflow(h);
      Runoff({in[h] * toDepth, 0, 0, 0});
      runoff[1][1] = c.concentration(h);
      Step(h);
      out[h] = Routed(2) * 2 / toDepth;  // subbasin 2 gives no runoff: the outlet is the channel's
      cOut[h] = model->Tables().runoff[1][2];
      volumeIn += in[h];
      volumeOut += out[h];
      massIn += in[h] * c.concentration(h);
      massOut += out[h] * cOut[h];
    }
    const double held = (r.ChannelStorage(1, false) - before) / toDepth;
    EXPECT_NEAR(volumeIn, volumeOut + held, 1e-9 * volumeIn);
    const double tracerHeld = (r.ChannelTracer(1, 1) - tracerBefore) / toDepth;
    const double tSteady = w.t[r.DischargeClass(1, in[0] * toDepth)];
    if (c.halfLife > 0) {
      const double slow = tSteady + 1 + w.nSubChannels * (0.20 + 0.61) * 4;
      EXPECT_LE(cOut[n - 1], std::pow(2.0, -(tSteady - 1) / 24 / c.halfLife));
      EXPECT_GE(cOut[n - 1], std::pow(2.0, -slow / 24 / c.halfLife));
    } else {
      EXPECT_NEAR(massIn, massOut + tracerHeld, 1e-9 * massIn);
    }
    if (c.monotone == 2) {
      if (c.halfLife > 0) continue;
      // The new concentration is not at the outlet before its water: within
      // 2 % of it not before the travel time (as the water of a step above),
      // and the old water leaves the steady flow Q after the time V / Q
      // that the channel's volume V takes to pass, on average: the hours
      // the outlet lags behind the new concentration add up to V / Q.
      int cross = 24;
      while (cross < n && cOut[cross] < 5 - 0.02 * 4) ++cross;
      EXPECT_GE(cross - 24, std::floor(tSteady) - 1) << "the new concentration at hour " << cross;
      double lagging = 0;
      for (int h = 24; h < n; ++h) lagging += (5 - cOut[h]) / 4;
      EXPECT_NEAR(lagging, r.ChannelStorage(1, false) / toDepth / 20.0, 1e-6);
      EXPECT_NEAR(cOut[n - 1], 5.0, 1e-9);
      continue;
    }
    for (int h = 0; h < n; ++h) EXPECT_NEAR(cOut[h], 2.0, 1e-12) << "hour " << h;
    const double low = *std::min_element(in.begin(), in.end()), high = *std::max_element(in.begin(), in.end());
    int turns = 0;
    for (int h = 0; h < n; ++h) {
      EXPECT_GE(out[h], low * (1 - 1e-9)) << "hour " << h;
      EXPECT_LE(out[h], high * (1 + 1e-9)) << "hour " << h;
      if (h == 0) continue;
      const double d = out[h] - out[h - 1], tolerance = 1e-9 * high;
      if (c.monotone > 0) {
        EXPECT_GE(d, -tolerance) << "hour " << h << ": " << out[h - 1] << " -> " << out[h];
      } else if (c.monotone < 0) {
        EXPECT_LE(d, tolerance) << "hour " << h << ": " << out[h - 1] << " -> " << out[h];
      } else if (h >= 2 && d * (out[h - 1] - out[h - 2]) < 0 && std::fabs(d) > tolerance) {
        ++turns;
      }
    }
    if (c.monotone == 0) {
      EXPECT_LE(turns, 1) << "the flood leaves with more than one peak";
    }
    // Settled at the end on the last inflow, from one side.
    EXPECT_NEAR(out[n - 1], in[n - 1], 1e-6 * in[n - 1]);
    if (c.monotone != 0) {
      // Within 2 % of the new level: not before the travel time at the new
      // flow, and not after the one at the old flow and the storages' time.
      const double near = in[n - 1] + 0.02 * (in[0] - in[n - 1]);
      int cross = 0, inCross = 0;
      while (cross < n && (out[cross] - near) * (in[0] - near) > 0) ++cross;
      while (inCross < n && (in[inCross] - near) * (in[0] - near) > 0) ++inCross;
      const double tNew = w.t[r.DischargeClass(1, in[n - 1] * toDepth)],
                   tOld = w.t[r.DischargeClass(1, in[0] * toDepth)];
      EXPECT_GE(cross - inCross, std::floor(std::min(tNew, tOld)) - 1) << "the new level at hour " << cross;
      EXPECT_LE(cross - inCross, std::ceil(std::max(tNew, tOld) + w.nSubChannels * (0.20 + 0.61) * 4) + 1)
          << "the new level at hour " << cross;
    }
  }
}

TEST_F(StepTest, UniformRunoffStaysUniform) {
  // 1 -> 2 through a slow channel; 2 and 3 join subbasin 4 through SUMTRIB.
  // One tracer of concentration 2 everywhere; it does not decay, so it
  // leaves every channel at 2.
  ASSERT_EQ(Build(Head("0.1 1000 20 2") + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(3, 20000) +
                      "\nTG 4 (area = 4, rel = 1)\nSUMTRIB 2&3" + Channel(2, 30000, 2) + "\nend\n",
                  1),
            0);
  Start({0.7, 0.7, 0.7, 0.7}, 1, 2.0);
  // Enough repetitions for the slowest class through both routed subbasins.
  double slowest = 0;  // h, its fraction too
  for (int k = 1; k <= 2; ++k)
    slowest += *std::max_element(model->Routing(k)->Table(1).t.begin() + 1, model->Routing(k)->Table(1).t.end());
  const int hours = static_cast<int>(std::ceil(slowest));
  EXPECT_GT(hours, 0);
  for (int i = 0; i < 5; ++i) {
    Step(i);
    for (int s = 1; s <= 4; ++s) {
      EXPECT_NEAR(Routed(s), 0.7, 1e-9) << "step " << i << " subbasin " << s;
      EXPECT_NEAR(model->Tables().runoff[1][s], 2.0, 1e-12) << "step " << i << " subbasin " << s;
    }
  }
  EXPECT_TRUE(Said("routing the initialization discharges (" + std::to_string(std::max(1, hours)) + " times)"));
}

TEST_F(StepTest, NetworkConservesWater) {
  // One class, so that the delays do not change; two routed subbasins in a row.
  ASSERT_EQ(Build(Head("50 50 1 2") + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(3, 20000, 1) +
                  "\nTG 3 (area = 3, rel = 1)\nOL 2" + Channel(2, 30000, 2) + "\nend\n"),
            0);
  StartEmpty();
  double in = 0, out2 = 0, out3 = 0, in2 = 0;
  for (int i = 0; i < 400; ++i) {
    const double q1 = i < 10 ? 1.0 + 0.3 * i : 0, q2 = i < 10 ? 2.0 - 0.1 * i : 0, q3 = i < 7 ? 0.5 : 0;
    Runoff({q1, q2, q3, 0});
    Step(i + 1);
    in += q1 + q2 + q3;  // every subbasin holds 1 km2
    in2 += q1 + q2;
    out2 += Routed(2) * 2;  // routed depths over areaCtrl / relArea
    out3 += Routed(3) * 3;
  }
  EXPECT_NEAR(out2, in2, 1e-9 * in2);
  EXPECT_NEAR(out3, in, 1e-9 * in);
}

TEST_F(StepTest, ObservedComparisonAndOutputUnits) {
  // Subbasin 4 is not routed: its routed discharge is its runoff.
  std::string rows = "YY MM DD HH q\n";
  auto observed = [](int h) { return 1.0 + (h % 7) * 0.5; };
  for (int h = 0; h < 48; ++h)
    rows += "2001 1 " + std::to_string(1 + h / 24) + " " + std::to_string(h % 24) + " " + std::to_string(observed(h)) +
            "\n";
  fluvextest::WriteFile(dir / "obs.txt", rows);
  const std::string body = Head("0.1 1000 20 1", 1, 60, dir / "obs.txt", "1\n4 1\n") +
                           "TG 2 (area = 2, rel = 1)\nOL 1" + Channel() + "\nend\n";
  for (unit = 0; unit <= 1; ++unit) {
    ASSERT_EQ(Build(body), 0);
    Start({0.5, 0.5, 0.5, 0});
    for (int i = 0; i < 10; ++i) {
      Runoff({0.5, 0.5, 0.5, observed(1 + i)});
      Step(i);
      // 2 km2 and 60 min: unit 1 is unit 0 times A / (0.06 dt).
      const double factor = unit == 1 ? 2.0 / (0.06 * 60) : 1.0;
      EXPECT_NEAR(registry[0].values[4], observed(1 + i) * factor, 1e-8 * factor);  // 16.6666667 stands for 1 / 0.06
      EXPECT_NEAR(registry[0].values[2], 0.5 * factor, 1e-8 * factor);
    }
    // Observed equal to simulated: R2 = 1 at shift 0, below 1 shifted by a step.
    const EfficiencyRecord& same = model->EfficiencySums()[10][4];
    const EfficiencyRecord& shifted = model->EfficiencySums()[11][4];
    EXPECT_EQ(same.n, 10);
    EXPECT_EQ(model->EfficiencySums()[10][2].n, 0);  // no observed column
    model->SetInitialized(1);
    if (unit == 0) {
      EXPECT_EQ(same.sumd2, 0);
      EXPECT_DOUBLE_EQ(routstatistic::Determination(same), 1.0);
      EXPECT_LT(routstatistic::Determination(shifted), 1.0);
    } else {
      EXPECT_LT(routstatistic::Determination(same), 1.0);
    }
  }
  // The release appends the efficiency criteria to the discharge statistics.
  model->FreeMemory();
  const std::string text = File("qstat.sta");
  EXPECT_NE(text.find("LIN. R-SQUARE\t0\t"), std::string::npos) << text;
  EXPECT_EQ(fluvextest::CountOf(text, "\n2001\t"), 10);
}

TEST_F(StepTest, ObservedFileEndingEarlyIsNoError) {
  fluvextest::WriteFile(dir / "obs.txt", "YY MM DD HH q\n2001 1 1 1 1.0\n2001 1 1 2 2.0\n2001 1 1 3 3.0\n");
  ASSERT_EQ(Build(Head("0.1 1000 20 1", 1, 60, dir / "obs.txt", "1\n4 1\n") + "TG 2 (area = 2, rel = 1)\nend\n"), 0);
  Start({0.5, 0.5, 0.5, 2.0});
  for (int i = 0; i < 4; ++i) Step(i);
  EXPECT_TRUE(Said("end of discharge file reached!"));
  EXPECT_TRUE(Said("observed runoff: actual date 1.1.2001 4h not found (end of discharge file at 1.1.2001, 3h)"));
  // The steps of the file's three rows are compared, the one after its end not.
  EXPECT_EQ(model->EfficiencySums()[10][4].n, 3);
}

TEST_F(StepTest, FlowControlTwoFeedsChannelsWithTheObservation) {
  std::string rows = "YY MM DD HH q\n";
  for (int h = 0; h < 30; ++h) rows += "2001 1 1 " + std::to_string(h) + " 3.0\n";
  fluvextest::WriteFile(dir / "obs.txt", rows);
  const std::string body = Head("0.1 1000 20 1", 2, 60, dir / "obs.txt", "1\n1 1\n") +
                           "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(0.01, 1, 1, 50) + "\nend\n";
  // The observations are in the unit of the routed discharge: mm per step,
  // or m3/s, which subbasin 1 (1 km2, 60 min) turns into 3 x 3.6 mm.
  for (unit = 0; unit <= 1; ++unit) {
    ASSERT_EQ(Build(body), 0);
    Start({0.5, 0.5, 0.5, 0.5});
    Step(0);
    // Subbasin 2's own half plus the observed water of subbasin 1 through the channel.
    const double observed = unit == 0 ? 3.0 : 3.0 * 3.6;
    EXPECT_NEAR(Routed(2), 0.5 * 0.5 + 0.5 * observed, 1e-12) << "unit " << unit;
  }
  // A file without the row of 1 January, 3 h: that step takes the simulated
  // runoff, every other step the observation of its own date (the hour, in
  // mm), and the WARNING names that one step.
  rows = "YY MM DD HH q\n";
  for (int h = 1; h < 30; ++h)
    if (h != 3) rows += "2001 1 1 " + std::to_string(h) + " " + std::to_string(h) + "\n";
  fluvextest::WriteFile(dir / "obs.txt", rows);
  unit = 0;
  ASSERT_EQ(Build(body), 0);
  Start({0.5, 0.5, 0.5, 0.5});
  for (int i = 0; i < 8; ++i) {
    Step(i);
    // (The channel's 0.01 h of storage holds back 1 % of the change of the input.)
    const double input = i + 1 == 3 ? 0.5 : i + 1.0, change = i == 0 ? 0.5 : i == 2 || i == 3 ? 3.5 : 1.0;
    EXPECT_NEAR(Routed(2), 0.5 * 0.5 + 0.5 * input, 0.01 * change) << "hour " << i + 1;
  }
  EXPECT_TRUE(Said("from 1.1.2001, 3. h to 1.1.2001, 3. h (1 steps)")) << console.str();
}

TEST_F(StepTest, WarmStartContinuesTheRun) {
  const std::string body = Head("0.1 1000 20 2") + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(3, 8000, 1) +
                           "\nTG 3 (area = 3, rel = 1)\nOL 2" + Channel(2, 30000, 2) + "\nend\n";
  auto q = [](int i) { return std::vector<double>{3.0 * (i % 5), 0.3 * (i % 3), 0.7, 0}; };
  const int N = 40;
  std::vector<RiverflowTable> river(5, RiverflowTable{});
  // One tracer, whose concentrations change from step to step and subbasin
  // to subbasin: its state (queues and storages) continues exactly too.
  auto runoffOf = [&](int i) {
    Runoff(q(i));
    for (int s = 1; s <= 4; ++s) runoff[1][s] = 1.0 + (i + s) % 4;
  };
  auto start = [&](int readParameter, int first, int tracers = 1) {
    EXPECT_EQ(Build(body, tracers, readParameter), 0);
    Start(q(first), tracers, 1.0);
    model->SetRiverflowTable(river.data());
    model->ReadStorageContent("storage.ftz", readParameter);
    model->SetInitialized(1);
  };
  start(0, 0);
  std::vector<double> whole, wholeTracer;
  for (int i = 0; i < 2 * N; ++i) {
    runoffOf(i);
    Step(i);
    whole.push_back(Routed(3));
    wholeTracer.push_back(model->Tables().runoff[1][3]);
  }
  start(0, 0);
  for (int i = 0; i < N; ++i) {
    runoffOf(i);
    Step(i);
  }
  const double flow = river[1].field[10];
  model->FreeMemory();
  ASSERT_TRUE(fluvextest::FileExists(dir / "storage.ftz"));
  EXPECT_EQ(File("storage.ftz").rfind("[routing_model]\n2 (routing subbasin with tributaries 1\n0 1 ", 0), 0u);
  start(1, N);
  EXPECT_EQ(river[1].field[10], flow);  // the river links come back too
  // Every value of the state comes back with all its digits, the delays of
  // the sub-channels and the flood plains' outflows included.
  for (int i = N; i < 2 * N; ++i) {
    runoffOf(i);
    Step(i);
    EXPECT_EQ(Routed(3), whole[i]) << i;
    EXPECT_EQ(model->Tables().runoff[1][3], wholeTracer[i]) << i;
  }
  // A state of an earlier version, without the flood plains' outflows, the
  // delays and the storages' concentrations, is still read.
  std::string old = File("storage.ftz");
  std::string stripped;
  for (size_t from = 0; from < old.size();) {
    size_t to = old.find('\n', from);
    if (to == std::string::npos) to = old.size();
    std::string line = old.substr(from, to - from);
    const bool qaus = line.find(".Qaus[") != std::string::npos, share = line.find(".qvzuq[") != std::string::npos;
    if (qaus || share) {
      std::istringstream in(line);
      std::string word, kept;
      const int keep = qaus ? 2 : 1;  // the two sub-intervals' outflows, or the flood share
      for (int k = 0; k < keep && in >> word; ++k) kept += word + " ";
      line = kept + line.substr(line.find('('));
    }
    if (line.find(".conc[") == std::string::npos) stripped += line + "\n";
    from = to + 1;
  }
  fluvextest::WriteFile(dir / "storage.ftz", stripped);
  start(1, N);
  for (int i = N; i < N + 5; ++i) {
    runoffOf(i);
    Step(i);
    EXPECT_NEAR(Routed(3), whole[i], 0.05 * std::fabs(whole[i])) << i;
  }
  // A state written with another number of tracers does not fit.
  EXPECT_EQ(Build(body, 2, 1), 0);
  Start(q(0), 2, 1.0);
  EXPECT_EQ(CodeOf([&] { model->ReadStorageContent("storage.ftz", 1); }), 71);
  EXPECT_TRUE(Said("error reading tracer code in file"));
}

TEST_F(StepTest, WithdrawalsTakeTheRiversWaterAndReportWhatIsNotThere) {
  // A slow channel (kh 3 h, 20 km) from subbasin 1 into subbasin 2; every
  // subbasin holds 1 km2 (subbasin 2: areaCtrl 2 km2 with subbasin 1).
  ASSERT_EQ(Build(OneChannel("0.1 1000 20 4", 3, 20000)), 0);
  Start({0.5, 0.5, 0.5, 0.5});
  routingclass& r = *model->Routing(1);
  // Volumes [m3]: runoff in, discharge out (2 km2 at the outlet), channel.
  auto channel = [&] { return r.ChannelStorage(1, false) * 1000; };
  for (int i = 0; i < 5; ++i) Step(i);
  double held = channel();
  ASSERT_GT(held, 3000);
  // The irrigation asks 0.3 mm for subbasin 1's cells (less than its
  // runoff) and 2 mm for subbasin 2's (more than its outlet carries): it
  // takes what the outlet carries, the channel keeps its water, nothing is
  // unmet. What was taken is in transit to the fields of the next step.
  std::vector<ZoneRecord> demand(5, ZoneRecord{0, 0, 0, 0, 1});
  demand[1].sx = 0.3;
  demand[2].sx = 2.0;
  model->SetSubbasinTable(demand.data());
  const double in = (0.5 + 0.5) * 1000;
  Step(5);
  const double out = Routed(2) * 2 * 1000;
  EXPECT_EQ(Routed(2), 0);  // all of the outlet went to the fields
  EXPECT_EQ(r.UnmetWithdrawal(), 0);
  EXPECT_NEAR(model->GetMaxIrrigation()[0][1], 0.3, 1e-12);
  EXPECT_LT(model->GetMaxIrrigation()[0][2], 2.0);
  EXPECT_NEAR(in - out - (0.3 + model->GetMaxIrrigation()[0][2]) * 1000, channel() - held, 1e-9 * in);
  demand[1].sx = demand[2].sx = 0;

  // The soil took 300 m3/s along the river in the step: 1.08 million m3,
  // more than the river and its channel hold; what is missing is reported.
  std::vector<RiverflowTable> table(5, RiverflowTable{});
  model->SetRiverflowTable(table.data());
  int32_t halves[2];
  std::memcpy(halves, &table[1].field[15], sizeof halves);
  EXPECT_EQ(halves[0], 1);  // routing subbasin 1, channel 1
  EXPECT_EQ(halves[1], 1);
  held = channel();
  table[1].field[13] = 300;
  Step(6);
  ASSERT_LT(held, 1.08e6 - 500);
  EXPECT_NEAR(r.UnmetWithdrawal(), 1.08e6 - 500 - held, 1e-6);
  EXPECT_TRUE(Said("the soil's uptake took"));
  EXPECT_NEAR(channel(), 0, 1e-9);
  EXPECT_NEAR(Routed(2), 0.5 * 0.5, 1e-12);  // subbasin 2's own runoff
  EXPECT_EQ(table[1].field[13], 0);
}

TEST_F(StepTest, SubbasinWithoutChannelsAndInternalInflows) {
  // Subbasin 4 at the basin outlet without channels: its irrigation takes
  // 0.3 mm of its 0.4 mm in the step, for the fields of the next step.
  std::vector<ZoneRecord> demand(5, ZoneRecord{0, 0, 0, 0, 1});
  ASSERT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nend\n"), 0);
  Start({0, 0, 0, 0.4});
  Step(0);
  EXPECT_TRUE(Said("routing the initialization discharges (1 times)"));
  EXPECT_NEAR(Routed(4), 0.4, 1e-12);
  model->SetSubbasinTable(demand.data());
  demand[4].sx = 0.3;
  Step(1);
  EXPECT_NEAR(model->GetMaxIrrigation()[0][4], 0.3, 1e-12);
  EXPECT_NEAR(Routed(4), 0.1, 1e-12);
  demand[4].sx = 0;
  // Subbasin 3 flows on through the channel of subbasin 4 (kh = 3 h: it
  // holds e^(-1/3) / (1 - e^(-1/3)) = 2.53 times its flow): its irrigation
  // asks 0.3 mm when the runoff has fallen to 0.1 mm, and takes those.
  ASSERT_EQ(Build(Head() + "TG 3 (area = 1, rel = 1)\nTG 4 (area = 2, rel = 1)\nOL 3" + Channel(3, 1000) + "\nend\n"),
            0);
  Start({0, 0, 0.4, 0});
  Step(0);
  EXPECT_NEAR(Routed(3), 0.4, 1e-12);
  model->SetSubbasinTable(demand.data());
  Step(1);
  demand[3].sx = 0.3;
  Runoff({0, 0, 0.1, 0});
  routingclass& below = *model->Routing(2);
  const double held = below.ChannelStorage(1, false);
  Step(2);
  EXPECT_NEAR(Routed(3), 0, 1e-12);
  EXPECT_EQ(model->Routing(1)->UnmetWithdrawal(), 0);
  EXPECT_FALSE(Said("took ")) << console.str();
  // The channel lost what left it (routed over the 3 km2 of subbasins 3 and
  // 4), nothing to the irrigation; the 0.1 mm are in transit to the fields.
  EXPECT_NEAR(below.ChannelStorage(1, false), held - Routed(4) * 3, 1e-12);
  EXPECT_NEAR(model->GetMaxIrrigation()[0][3], 0.1, 1e-12);
  demand[3].sx = 0;
  // An internal inflow needs an abstraction that feeds it.
  ASSERT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nZL 1 (Q = intern" + Channel() + "\nend\n"), 0);
  SetRunoff({0, 0, 0, 0.4});
  EXPECT_EQ(CodeOf([&] { model->InitRouting(); }), 302);
  EXPECT_TRUE(Said("Internal Inflow ZL 1 has no conenction to an internal abstraction."));
  EXPECT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nend\n"), 0);
  EXPECT_EQ(CodeOf([&] { model->InitRouting(); }), 43);
}

// ---- building the network ----

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Velocity of a rectangular channel by bisection on the depth (independent
// of the fixed-point iteration of the model): Q = B d v, v = R^0.66667 M sqrt(I).
double ManningVelocity(double Q, double B, double M, double I) {
  double lo = 0, hi = 100;
  for (int n = 0; n < 200; ++n) {
    const double d = (lo + hi) / 2;
    const double v = std::pow(B * d / (B + 2 * d), 0.66667) * M * std::sqrt(I);
    (B * d * v < Q ? lo : hi) = d;
  }
  const double d = (lo + hi) / 2;
  return Q / (B * d);
}

class NetworkTest : public RoutingFixture {
 protected:
  NetworkTest() : RoutingFixture("network") {}
  // Two routed subbasins in a chain (1 -> 2 -> 3), an inflow, and optionally
  // an abstraction and a reservoir.
  std::string Basin(bool withStorage) {
    return Head() + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel() + "\nTG 3 (area = 1, rel = 1)\nOL 2" + Channel() +
           "\nZL 1 (Q = constant 0.5" + Channel() + "\n" +
           (withStorage ? "AL 1 (mode = extern al.txt 0 0.5 1 mm)\nSP 1 (file = sp.txt V0 = 0 C0 = 0)\n" : "") +
           "end of the routing descriptions\n" + (withStorage ? "[abstraction_rule_reservoir_1]\n1\n0 0\n" : "");
  }
};

TEST_F(NetworkTest, SummaryCountsAndTheCodesOfBrokenDescriptions) {
  ASSERT_EQ(Build(Basin(true)), 0) << console.str();
  EXPECT_TRUE(Said("number inbetween areas (routings)    : 2"));
  EXPECT_TRUE(Said("number tributaries  total      (OL)  : 2"));
  EXPECT_TRUE(Said("so the total of routingchannels is   : 2"));
  EXPECT_TRUE(Said("number of inflows              (ZL)  : 1"));
  EXPECT_TRUE(Said("number of abstractions         (AL)  : 1"));
  EXPECT_TRUE(Said("number reservoirs              (SP)  : 1"));

  const std::string good = Basin(true);
  const std::string longLine = "OL 1" + Channel() + std::string(1200, ' ');
  const struct {
    std::string from, to, message;
    int code;
  } mutations[] = {
      {"TG 2", "TG 7", "there is no subbasin with code 7", 41},
      {"OL 1", "OL 2", "code of tributary 1 (2) is equal to subbasin code!", 41},
      {"OL 1", "OL 9", "there cant be a tributary with code 9 for no subbasin", 41},
      {"ZL 1", "ZL 2", "there is/are only 1 inflow(s) for the entire basin", 42},
      {"ZL 1", "ZL 0", "inflow number 0", 42},
      {"constant", "sometimes", "the modus \"sometimes\" is not supported for inflow 1", 42},
      {"OL 1" + Channel(), longLine.substr(0, 1200), "string is too long (max. 1200 chars)", 40},
      {"TG 2 (area = 2, rel = 1)", "TG 2 (area 2, rel = 1)",
       "no \"=\" before the value of the area of the subbasin (\"2\" stands without its \"=\")", 17},
      {"TG 2 (area = 2, rel = 1)", "TG 2 (area = 2, rel = 0)", "must be greater than 0", 17},
      {"TG 2 (area = 2, rel = 1)", "TG 2 (area = 2, rel = 1, no ZLs)", "no readable integer after \"ZL\"", 17},
  };
  for (const auto& m : mutations) {
    console.str("");
    EXPECT_EQ(Build(Replace(good, m.from, m.to)), m.code) << m.to;
    EXPECT_TRUE(Said(m.message)) << m.to << "\n" << console.str();
  }
  // The last description must not stand on the last line of the file.
  const std::string path = dir / "last.cntrl";
  fluvextest::WriteFile(path, Head() + "TG 2 (area = 1, rel = 1)\nOL 1" + Channel() + "\n");
  int error = 0;
  abflussmodellklasse last(error, &diag, registry, kStatRegistryCapacity, path, args, 0, tracerRecords.data(), 0);
  EXPECT_EQ(error, 38);
  // A cycle: 2 flows into 3 and 3 into 2.
  EXPECT_EQ(Build(Head() + "TG 2 (area = 1, rel = 1)\nOL 3" + Channel() + "\nTG 3 (area = 1, rel = 1)\nOL 2" +
                  Channel() + "\nend\n"),
            41);
  EXPECT_TRUE(Said("form a cycle"));
  // A routed subbasin described after the subbasin it flows into.
  EXPECT_EQ(Build(Head() + "TG 3 (area = 1, rel = 1)\nOL 2" + Channel() + "\nTG 2 (area = 2, rel = 1)\nOL 1" +
                  Channel() + "\nend\n"),
            41);
  EXPECT_TRUE(
      Said("routing description 1 (TG 3) takes the outflow of subbasin 2, which routing description 2 (TG 2) "
           "routes after it: describe subbasin 2 before subbasin 3"));
  // A subbasin listed twice would bring its water twice.
  EXPECT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nSUMTRIB 1&1&1&1&1&1&1&1&1" + Channel() + "\nend\n"), 41);
  EXPECT_TRUE(Said("subbasin 1 is listed twice as a tributary of subbasin 4"));
}

TEST_F(NetworkTest, NetworkArraysAndTableFiles) {
  ASSERT_EQ(Build(Basin(false)), 0) << console.str();
  ASSERT_EQ(model->Routings(), 2);
  int** target = model->GetRoutingTarget();
  EXPECT_EQ(target[0][1], 1);  // tributaries in the order met
  EXPECT_EQ(target[0][2], 2);
  EXPECT_EQ(target[0][3], 0);
  EXPECT_EQ(target[1][1], 2);  // 1 flows into 2, 2 into 3
  EXPECT_EQ(target[1][2], 3);
  EXPECT_EQ(target[2][2], 1);  // routing descriptions
  EXPECT_EQ(target[2][3], 2);
  // Areas: 3 collects subbasins 2 and 3 (2 already holds 1 and 2).
  routingclass& r3 = *model->Routing(2);
  EXPECT_DOUBLE_EQ(model->GetRoutingDischarge()[0][3], 0.2 + 0.4);
  EXPECT_DOUBLE_EQ(r3.AreaShare(0), 0.2 / 0.6);
  EXPECT_DOUBLE_EQ(r3.AreaShare(1), 0.4 / 0.6);
  EXPECT_TRUE(Said("Basin 3: area in contr.file: 1 <-> zone-grid 3 (adjusted to the latter)"));
  EXPECT_FALSE(Said("Basin 2:"));
  // The inflow keeps its constant value.
  EXPECT_EQ(r3.InflowMode(1), 1);
  EXPECT_DOUBLE_EQ(r3.InflowValue(1), 0.5);

  for (const char* name : {"wq_table.001", "wq_table.002", "wq_tabZL.001"}) {
    const std::string text = File(name);
    EXPECT_NE(text.find("intervals for w-q-table[-]        :      21\n"), std::string::npos) << name;
    EXPECT_EQ(fluvextest::CountOf(text, "\n"), 1 + 2 + 16 + 4 + 21) << name;
  }
  EXPECT_NE(File("wq_table.002").find("for the channel of subbasin 2 to the outlet of subbasin 3\n"),
            std::string::npos);
  EXPECT_NE(File("wq_tabZL.001").find("for the channel of inflow 1 to the outlet of subbasin 3\n"), std::string::npos);

  // A table file that cannot be written ends the build.
  EXPECT_EQ(mkdir((dir / "wq_table.003").c_str(), 0755), 0);
  EXPECT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nOL 3" + Channel() + "\nend\n"), 18);
  EXPECT_TRUE(Said("error opening file wq_table.003"));
}

TEST_F(NetworkTest, ChannelTableFollowsManningStrickler) {
  // B 10 m, M 30, I 0.001; 8.401 km2 at 1000 l/s/km2 carry 8.401 m3/s, which
  // fills the channel 1 m deep at 0.8401 m/s.
  const double L = 3000;
  ASSERT_EQ(Build(Head("10 1000 4 4") + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(1, L, 8.401, 2) + "\nend\n"), 0);
  routingclass& r = *model->Routing(1);
  const WQTable& w = r.Table(1);
  const int N = 4;
  EXPECT_DOUBLE_EQ(w.q[N + 1], 1000);
  EXPECT_NEAR(w.q[1], 10, 1e-9);
  EXPECT_NEAR(w.Q[N + 1], 8.401, 1e-9);
  EXPECT_NEAR(w.v[N + 1], 0.8401, 0.008401);
  EXPECT_NEAR(w.dm[N + 1], 1.0, 0.02);
  for (int k = 1; k <= N + 1; ++k) {
    EXPECT_NEAR(w.Q[k], w.q[k] * 8.401 / 1000, 1e-12);
    EXPECT_NEAR(w.q_mm[k], 0.0036 * w.q[k], 1e-12);  // dt 60 min
    // The iteration stops once a step changes v by 0.005 m/s or less.
    EXPECT_NEAR(w.v[k], ManningVelocity(w.Q[k], 10, 30, 0.001), std::max(0.01 * w.v[k], 0.01));
    EXPECT_NEAR(w.v[k] * w.t[k] * 3600, L, 1e-6);
    EXPECT_EQ(w.floodShare[k], 0);
    EXPECT_EQ(w.df[k], 0);
  }
  // The fewest sub-channels that keep the spread of travel times within one step.
  const double spread = w.t[1] - w.t[N + 1];
  const int n = static_cast<int>(w.nSubChannels);
  EXPECT_LE(spread / n, 1.0);
  if (n > 1) {
    EXPECT_GT(spread / (n - 1), 1.0);
  }
  for (int k = 1; k <= N + 1; ++k) EXPECT_EQ(w.delta[k], static_cast<int>(4 * 60 * w.t[k] / n / 60));
  // Per sub-channel the sub-intervals of a step, of the longest travel time (rounded up) and one more.
  EXPECT_EQ(w.nStorageElements, (std::ceil(4 * *std::max_element(w.t.begin() + 1, w.t.end()) / n) + 1 + 4) * n);
  // Classes of a step's depth: 0 mm is class 1, beyond qmax the last class.
  EXPECT_EQ(r.DischargeClass(1, 0), 1);
  EXPECT_EQ(r.DischargeClass(1, 100), N + 1);

  // A shallow channel spills onto the flood plains; the levels agree within 1 cm.
  ASSERT_EQ(Build(Head("10 1000 4 1") + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(0.01, 1, 8401, 0.2) + "\nend\n"), 0);
  const WQTable& f = model->Routing(1)->Table(1);
  EXPECT_GT(f.floodShare[N + 1], 0);
  EXPECT_NEAR(f.dm[N + 1] - f.df[N + 1], 0.2, 0.01);
  // A storage constant of 0.01 h is written back from its recession factor; the slope from sqrt(I).
  const std::string text = File("wq_table.001");
  EXPECT_NE(text.find("storage constant mean channel [h] :    0.01\n"), std::string::npos) << text;
  EXPECT_NE(text.find("channel length         [m]        :     1.0\n"), std::string::npos);
  EXPECT_NE(text.find("slope angle            [1/1]      :  0.0010\n"), std::string::npos);
}

TEST_F(NetworkTest, FloodSharesAndVelocitiesOverManyChannels) {
  // Shares of the flood plain between 0 and 1 and flowing water with a
  // velocity, whatever the channel; travel times from the velocities.
  ASSERT_EQ(Build(Head("1 1000 20 1") + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel() + "\nend\n"), 0);
  routingclass& r = *model->Routing(1);
  int flooded = 0, sets = 0;
  for (double Bh : {5.0, 25.0, 100.0})
    for (double Bv : {10.0, 250.0, 1000.0})
      for (double Th : {0.2, 1.0, 2.0, 4.0})
        for (double Mh : {10.0, 30.0, 50.0})
          for (double Mv : {5.0, 20.0, 40.0})
            for (double I : {1e-4, 5e-4, 5e-3})
              for (double AE : {50.0, 500.0, 5000.0}) {
                ChannelParameters p;
                p.kh = 1;
                p.kv = 3;
                p.Bh = Bh;
                p.Bv = Bv;
                p.Th = Th;
                p.Mh = Mh;
                p.Mv = Mv;
                p.I = I;
                p.L = 9536;
                p.AE = AE;
                r.BuildWQTables(1, 1, {}, p, 1, 1000, 20);
                const WQTable& w = r.Table(1);
                ++sets;
                bool any = false;
                for (int k = 1; k <= 21; ++k) {
                  ASSERT_GE(w.floodShare[k], 0) << Bh << " " << Bv << " " << Th << " " << AE << " class " << k;
                  ASSERT_LE(w.floodShare[k], 1) << Bh << " " << Bv << " " << Th << " " << AE << " class " << k;
                  ASSERT_GT(w.v[k], 0) << Bh << " " << Bv << " " << Th << " " << AE << " class " << k;
                  ASSERT_NEAR(w.t[k], 9536 / w.v[k] / 3600, 1e-9 * w.t[k]);
                  any = any || w.floodShare[k] > 0;
                }
                flooded += any;
              }
  EXPECT_GT(flooded, sets / 4);  // the flood plains are reached in many of them
}

TEST_F(NetworkTest, AChannelShorterThanASubIntervalKeepsItsDelay) {
  // 50 m take less than a sub-interval of 15 min in every class: the
  // translation keeps the fraction, not less than the fastest class's.
  ASSERT_EQ(Build(Head("1 1000 20 4") + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(1, 50, 500, 2) + "\nend\n"), 0);
  const WQTable& w = model->Routing(1)->Table(1);
  EXPECT_EQ(w.delta[1], 0);
  EXPECT_GE(w.fixedDelay, *std::min_element(w.t.begin() + 1, w.t.end()) * 4);
  EXPECT_NEAR(w.fixedDelay + w.lag[1], w.t[1] * 4, 1e-12);
}

TEST_F(NetworkTest, InflowFilesAndObservedDischarge) {
  args.endYear = 1995;
  const std::string zl = "ZL 1 (Q = extern inflow.txt 0 5" + Channel() + "\n";
  const std::string body = Head() + "TG 4 (area = 2, rel = 1)\n" + zl + "end\n";
  // Two-digit years are of the 20th century.
  fluvextest::WriteFile(dir / "inflow.txt", "YY MM DD HH Q\n94 12 31 24 7.0\n95 1 1 1 2.0\n95 1 1 3 4.0\n");
  ASSERT_EQ(Build(body), 0) << console.str();
  routingclass& r = *model->Routing(1);
  EXPECT_DOUBLE_EQ(r.InflowValue(1), 2.0);
  r.ReadInflows(1995, 1, 1, 1);  // 2 m3/s from 1 km2 in 60 min: 7.2 mm
  EXPECT_NEAR(model->Tables().runoff[0][4 + 1], 2.0 * 0.06 * 60 / 1.0, 1e-12);
  EXPECT_EQ(CodeOf([&] { r.ReadInflows(1995, 1, 1, 2); }), 36);
  EXPECT_TRUE(Said("error comparing dates in inflow.txt"));

  args.endYear = 1996;
  EXPECT_EQ(Build(body), 38);
  EXPECT_TRUE(Said("starting date 1.1.1996, 1. h in inflow.txt not found"));
  EXPECT_EQ(Build(Replace(body, "inflow.txt", "missing.txt")), 37);

  // Observed discharge: a missing file is reported and the run goes on.
  args.endYear = 2001;
  ASSERT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nend\n"), 0);
  EXPECT_TRUE(Said("error opening none.txt") && Said("Routing will be done without comparison"));
  EXPECT_EQ(model->ObservedRowsPastEnd(), 10);
  fluvextest::WriteFile(dir / "obs.txt", "YY MM DD HH a\n2001 1 1 1 1.5\n2001 1 1 2 abc\n");
  EXPECT_EQ(Build(Head("0.1 1000 20 1", 1, 60, dir / "obs.txt") + "TG 4 (area = 2, rel = 1)\nend\n"), 203);
  // A column beyond the file's columns is switched off; years below 1000 are of 1900 on.
  std::string rows = "YY MM DD HH a b\n";
  for (int h = 0; h < 30; ++h) rows += "101 1 1 " + std::to_string(h) + " " + std::to_string(h) + " 1\n";
  fluvextest::WriteFile(dir / "obs.txt", rows);
  ASSERT_EQ(Build(Head("0.1 1000 20 1", 1, 60, dir / "obs.txt", "2\n4 1\n3 5\n") + "TG 4 (area = 2, rel = 1)\nend\n"),
            0);
  EXPECT_EQ(model->ObservedColumn(4), 1);
  EXPECT_EQ(model->ObservedColumn(3), 0);
  EXPECT_DOUBLE_EQ(model->ObservedWindow()[0][1], 1.0);  // rows 0 ... 10: the start date
  EXPECT_DOUBLE_EQ(model->ObservedWindow()[10][1], 1.0);
  EXPECT_DOUBLE_EQ(model->ObservedWindow()[20][1], 11.0);
}

TEST_F(NetworkTest, HeadValuesAreChecked) {
  for (const char* q : {"0 1000 20 1", "1 1000 0 1", "1 1000 20 0", "1 -5 20 1", "1000 1 20 1", "1 nan 20 1"}) {
    EXPECT_EQ(Build(Head(q) + "TG 4 (area = 2, rel = 1)\nend\n"), 17) << q;
    EXPECT_TRUE(Said("must be greater than 0")) << q;
  }
  EXPECT_EQ(Build(Head("1 1000 20") + "TG 4 (area = 2, rel = 1)\nend\n"), 17);
  EXPECT_TRUE(Said("values for min/max specific discharge"));
  EXPECT_EQ(Build(Head("0.1 1000 20 1", 1, 60, "none.txt", "1\n9 1\n") + "TG 4 (area = 2, rel = 1)\nend\n"), 17);
  EXPECT_TRUE(Said("there is no subbasin with code 9"));
  EXPECT_EQ(Build(Head("0.1 1000 20 1", 1, 60, "none.txt", "1\n4 -1\n") + "TG 4 (area = 2, rel = 1)\nend\n"), 17);
  // A module that is off reads nothing and takes no discharges.
  ASSERT_EQ(Build(Head("junk", 0)), 0);
  EXPECT_EQ(model->GetRoutingTarget(), nullptr);
  EXPECT_EQ(model->GetMaxIrrigation(), nullptr);  // irrigation then ends the run with 60
  EXPECT_EQ(CodeOf([&] { model->SetDischarges(static_cast<double**>(nullptr)); }), 0);
}

}  // namespace

TEST_F(StepTest, DelayChangesAndTheFloodPlainConserveWater) {
  // The example basin's channel (9.5 km, flood plain, its table for 492 km2)
  // with twenty discharge classes and twelve sub-intervals: the delay of
  // every sub-channel changes with the flow, and storms reach the flood
  // plain, whose storage constant differs from the main channel's. Step by step what goes in is what comes
  // out plus what the channel holds more, and the drained channel has given
  // back everything.
  ASSERT_EQ(Build(Head("0.1 1000 20 12") +
                  "TG 2 (area = 2, rel = 1)\nOL 1 (kh = 2.65, kv = 7.95, Bh = 24.4, Bv = 244, Th = 1.93, Mh = 30, "
                  "Mv = 20, I = 0.0005, L = 9536, AE = 492)\nend\n"),
            0)
      << console.str();
  StartEmpty();
  routingclass& r = *model->Routing(1);
  const WQTable& w = r.Table(1);
  const int n = static_cast<int>(w.nSubChannels);
  ASSERT_GT(n, 1);
  int changes = 0, lastClass = 1;
  double in = 0, out = 0, flooded = 0;
  double before = r.ChannelStorage(1, false);
  for (int i = 0; i < 3000; ++i) {
    // A wave with short storms for 400 hours, then the channel drains.
    const double s = std::sin(i / 30.0);
    const double q1 = i < 400 ? 0.05 + 0.05 * s * s + (i % 97 == 0 ? 2.0 : 0) : 0;
    Runoff({q1, 0, 0, 0});
    Step(i + 1);
    in += q1;
    const double routed = Routed(2) * 2;  // subbasin 2 gives no runoff: the outlet is the channel's
    out += routed;
    const double now = r.ChannelStorage(1, false);
    // The channel's depths refer to subbasin 1's 1 km2.
    ASSERT_NEAR(q1 - routed, now - before, 1e-12 * (1 + q1)) << "step " << i;
    before = now;
    const int c = r.DischargeClass(1, q1);
    if (c != lastClass) ++changes;
    lastClass = c;
    for (int k = 1; k <= n; ++k) flooded = std::max(flooded, w.qvzuq[k]);
  }
  EXPECT_GT(changes, 20) << "the flow never changed its class (and delay)";
  EXPECT_GT(flooded, 0.1) << "the storms never reached the flood plain";
  EXPECT_NEAR(out, in, 1e-9 * in);
  EXPECT_NEAR(before, 0, 1e-9 * in);
}
