// Building the routing network from the descriptions: summary counts, the
// codes of malformed descriptions, channel tables against Manning-Strickler,
// inflow files and the observed-discharge file.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "tests/framework/codeof.h"
#include "tests/routing/routing_support.h"

namespace {

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
           (withStorage ? "AL 1 (mode = extern al.txt 0 0.5 1 mm)\nSP 1 (file = sp.txt V0 = 1 C0 = 0)\n" : "") +
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
       "before the value of the relative area of the subbasin in routing description 1", 17},
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
  // The network lists two tributaries per subbasin.
  EXPECT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nSUMTRIB 1&1&1&1&1&1&1&1&1" + Channel() + "\nend\n"), 41);
  EXPECT_TRUE(Said("is one tributary more than the 8"));
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
  EXPECT_EQ(w.nStorageElements, (w.delta[1] + 4) * n);
  // Classes of a step's depth: 0 mm is class 1, beyond qmax the last class.
  EXPECT_EQ(r.DischargeClass(1, 0), 1);
  EXPECT_EQ(r.DischargeClass(1, 100), N + 1);

  // A shallow channel spills onto the flood plains; the levels agree within 1 cm.
  ASSERT_EQ(Build(Head("10 1000 4 1") + "TG 2 (area = 2, rel = 1)\nOL 1" + Channel(0, 0, 8401, 0.2) + "\nend\n"), 0);
  const WQTable& f = model->Routing(1)->Table(1);
  EXPECT_GT(f.floodShare[N + 1], 0);
  EXPECT_NEAR(f.dm[N + 1] - f.df[N + 1], 0.2, 0.01);
  // Defaults: storage constant 0 -> 0.01 h, length 0 -> 1 m; slope written from sqrt(I).
  const std::string text = File("wq_table.001");
  EXPECT_NE(text.find("storage constant mean channel [h] :    0.01\n"), std::string::npos) << text;
  EXPECT_NE(text.find("channel length         [m]        :     1.0\n"), std::string::npos);
  EXPECT_NE(text.find("slope angle            [1/1]      :  0.0010\n"), std::string::npos);
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
  for (const char* q : {"0 1000 20 1", "1 1000 0 1", "1 1000 20 0", "1 -5 20 1"}) {
    EXPECT_EQ(Build(Head(q) + "TG 4 (area = 2, rel = 1)\nend\n"), 17) << q;
    EXPECT_TRUE(Said("must be greater than 0")) << q;
  }
  EXPECT_EQ(Build(Head("1 1000 20") + "TG 4 (area = 2, rel = 1)\nend\n"), 17);
  EXPECT_TRUE(Said("values for min/max specific discharge"));
  EXPECT_EQ(Build(Head("0.1 1000 20 1", 1, 60, "none.txt", "1\n9 1\n") + "TG 4 (area = 2, rel = 1)\nend\n"), 17);
  EXPECT_TRUE(Said("there is no subbasin with code 9"));
  EXPECT_EQ(Build(Head("0.1 1000 20 1", 1, 60, "none.txt", "1\n4 -1\n") + "TG 4 (area = 2, rel = 1)\nend\n"), 17);
  // Overlapping occurrences of a keyword count.
  ASSERT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nend\n"), 0);
  EXPECT_EQ(model->CountSubstrings("aaa", "aa"), 2);
  EXPECT_EQ(model->CountSubstrings("TG 1", "OL"), 0);
  // A module that is off reads nothing; the getters hand out nothing.
  ASSERT_EQ(Build(Head("junk", 0)), 0);
  EXPECT_EQ(model->GetRoutingTarget(), nullptr);
  EXPECT_EQ(model->GetMaxIrrigation(), nullptr);
  EXPECT_EQ(model->RoutingConfigured(), 1);
  EXPECT_EQ(CodeOf([&] { model->SetDischarges(static_cast<double**>(nullptr)); }), 0);
}

}  // namespace
