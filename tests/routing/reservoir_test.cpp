// Operating rules read from their control-file sections: column weights of a
// date, table look-up in both directions, weekday and hour activity, and the
// malformed tables that are refused. Reservoirs and abstractions in the
// routing step: a linear rule against its analytic recession, the balance of
// every step, the shares of abstractions, their tables, the connection of
// internal abstractions and inflows, and the codes of broken elements; lakes.
#include <cmath>
#include <fstream>
#include <string>
#include <utility>

#include "framework/controlfile.h"
#include "tests/routing/routing_support.h"

namespace {

// ---- operating rules ----

class RulesTest : public RoutingFixture {
 protected:
  RulesTest() : RoutingFixture("rules") {}
  // Reads the rule of "[abstraction_rule_reservoir_1]" from a control file holding text.
  int Read(const std::string& text, RuleSet& rule) {
    fluvextest::WriteFile(dir / "c.txt", "[other]\n1\n" + text);
    ControlFile file;
    EXPECT_TRUE(file.Open(dir / "c.txt", &diag));
    return CodeOf([&] {
      FindRuleSection(file, &diag, "[abstraction_rule_reservoir_1]");
      rule.Read(file, &diag, "[abstraction_rule_reservoir_1]");
    });
  }
};

TEST_F(RulesTest, ColumnWeightsAndLookup) {
  RuleSet r;
  ASSERT_EQ(Read("[abstraction_rule_reservoir_1]\n3 1 182 365 (rows and days)\n0 0 0 0\n10 5 1 9\n20 15 3 9\n"
                 "TargetCap = 7 8 -1\n\n[next]\n",
                 r),
            0)
      << console.str();
  EXPECT_EQ(r.nRows, 3);
  EXPECT_EQ(r.nColumns, 3);
  EXPECT_DOUBLE_EQ(r.targetCap[2], 8);
  EXPECT_EQ(r.weekDays[1], -1);
  int c = 0;
  double w = 0;
  r.Column(2001, 4, 1, c, w);  // day 91 of a common year
  EXPECT_EQ(c, 2);
  EXPECT_DOUBLE_EQ(w, 90.0 / 181.0);
  r.Column(2001, 1, 1, c, w);
  EXPECT_EQ(c, 1);
  EXPECT_EQ(w, 1.0);
  // Halfway between rows 1 and 2: 2.5 in column 1, 0.5 in column 2.
  r.Column(2001, 4, 1, c, w);
  EXPECT_NEAR(r.Lookup(5, c, w), 90.0 / 181 * 0.5 + 91.0 / 181 * 2.5, 1e-12);
  EXPECT_EQ(r.Lookup(0, c, w), 0);  // at or below the first row
  EXPECT_EQ(r.Lookup(-3, c, w), 0);
  EXPECT_NEAR(r.Lookup(25, c, w), 90.0 / 181 * 3 + 91.0 / 181 * 15, 1e-12);  // above the table: its last row, mixed
  // The same table read value -> index.
  RuleSet inv;
  ASSERT_EQ(Read("[abstraction_rule_reservoir_1]\n3\n0 0\n10 5\n20 15\nTableIndex = Flow\n", inv), 0);
  EXPECT_TRUE(inv.inverse);
  EXPECT_EQ(inv.nColumns, 1);
  EXPECT_EQ(inv.columnDays[1], 1);
  inv.Column(2001, 7, 1, c, w);
  EXPECT_NEAR(inv.Lookup(10, c, w), 15, 1e-12);  // between the values 5 and 15: index 10 + 5
  EXPECT_NEAR(inv.Lookup(2.5, c, w), 5, 1e-12);
  RuleSet vol;
  ASSERT_EQ(Read("[abstraction_rule_reservoir_1]\n2\n0 0\n10 5\nTableIndex = Volume\n", vol), 0);
  EXPECT_FALSE(vol.inverse);
}

TEST_F(RulesTest, TheColumnDaysAreAYearlyCycle) {
  // The example's reservoir: 6 m3/s at 45 million m3 on 15 January (day
  // 15), 2 m3/s on 15 July (day 196). After 15 July the rule goes back to
  // January's column over the turn of the year, instead of following the
  // line through both columns past day 196 (which would give nothing from
  // mid-October on).
  RuleSet r;
  ASSERT_EQ(Read("[abstraction_rule_reservoir_1]\n3 15 196\n0 0 0\n20e6 1 1\n45e6 6 2\n", r), 0) << console.str();
  int c = 0;
  double w = 0;
  r.Column(2001, 10, 27, c, w);  // day 300 of a common year: 104 of the 184 days to 15 January
  EXPECT_EQ(c, 1);
  EXPECT_DOUBLE_EQ(w, 104.0 / 184.0);
  EXPECT_NEAR(r.Lookup(45e6, c, w), 104.0 / 184 * 6 + 80.0 / 184 * 2, 1e-12);
  r.Column(2001, 12, 31, c, w);
  EXPECT_DOUBLE_EQ(w, 169.0 / 184.0);
  // Before 15 January the days since 15 July of the year before count (2000
  // is a leap year: 366 - 196 + 5 days of 185).
  r.Column(2001, 1, 5, c, w);
  EXPECT_EQ(c, 1);
  EXPECT_DOUBLE_EQ(w, 175.0 / 185.0);
  r.Column(2001, 1, 15, c, w);
  EXPECT_EQ(w, 1.0);
  EXPECT_DOUBLE_EQ(r.Lookup(45e6, c, w), 6);
  // Between the columns nothing changes.
  r.Column(2001, 4, 1, c, w);
  EXPECT_EQ(c, 2);
  EXPECT_DOUBLE_EQ(w, 76.0 / 181.0);
}

TEST_F(RulesTest, WeekdaysAndHours) {
  EXPECT_EQ(RuleWeekday(2001, 1, 1, 1), 1);   // a Monday
  EXPECT_EQ(RuleWeekday(2001, 1, 1, 0), 7);   // hour 0 belongs to the Sunday before
  EXPECT_EQ(RuleWeekday(2001, 1, 5, 24), 5);  // hour 24 of a Friday is still Friday
  EXPECT_EQ(RuleWeekday(2000, 2, 29, 12), 2);
  RuleSet r;
  ASSERT_EQ(Read("[abstraction_rule_reservoir_1]\n1 1 200\n0 1 1\nWeekDays = 12345 7\nstart_hour = 8 0\n"
                 "stop_hour = 17 0\n",
                 r),
            0)
      << console.str();
  EXPECT_TRUE(r.Active(1, 2001, 1, 1, 8));
  EXPECT_TRUE(r.Active(1, 2001, 1, 5, 17));
  EXPECT_FALSE(r.Active(1, 2001, 1, 1, 7));
  EXPECT_FALSE(r.Active(1, 2001, 1, 1, 18));
  EXPECT_FALSE(r.Active(1, 2001, 1, 6, 10));  // Saturday
  EXPECT_FALSE(r.Active(1, 2001, 1, 5, 24));  // Friday, but after stop_hour
  // Only column c decides; WeekDays without hours is never active.
  RuleSet noHours;
  ASSERT_EQ(Read("[abstraction_rule_reservoir_1]\n1\n0 1\nWeekDays = 1234567\n", noHours), 0);
  for (int h = 0; h <= 24; ++h) EXPECT_FALSE(noHours.Active(1, 2001, 3, 3, h));
  // WeekDays = -1 is every day at every hour, as no WeekDays line.
  RuleSet always;
  ASSERT_EQ(Read("[abstraction_rule_reservoir_1]\n1 1 200\n0 1 1\nWeekDays = -1 12345\n", always), 0) << console.str();
  for (int h = 0; h <= 24; ++h) EXPECT_TRUE(always.Active(1, 2001, 3, 3, h)) << h;
  EXPECT_FALSE(Said("the hours are not used")) << console.str();
  // Hours without days act every day at every hour, and a WARNING says so.
  RuleSet hoursOnly;
  ASSERT_EQ(Read("[abstraction_rule_reservoir_1]\n1\n0 1\nstart_hour = 8\nstop_hour = 17\n", hoursOnly), 0);
  for (int h = 0; h <= 24; ++h) EXPECT_TRUE(hoursOnly.Active(1, 2001, 3, 3, h)) << h;
  EXPECT_TRUE(Said("WARNING: rule column 1 in section [abstraction_rule_reservoir_1]")) << console.str();
  EXPECT_TRUE(
      Said("gives \"start_hour\" or \"stop_hour\" (8, 17) but no \"WeekDays\" (or -1): the rule acts "
           "every day at every hour, the hours are not used"))
      << console.str();
}

TEST_F(RulesTest, MalformedTablesAreRefused) {
  const struct {
    std::string text, message;
  } cases[] = {
      {"[abstraction_rule_reservoir_2]\n1\n0 0\n", "section [abstraction_rule_reservoir_1] not found"},
      {"[abstraction_rule_reservoir_1]\n2 1 100 100\n0 0 0\n1 1 1\n", "must increase: day 100 follows day 100"},
      {"[abstraction_rule_reservoir_1]\n2 1 100 50\n0 0 0\n1 1 1\n", "must increase"},
      {"[abstraction_rule_reservoir_1]\n0 1\n", "must begin with the number of rows"},
      {"[abstraction_rule_reservoir_1]\nrows 1\n", "must begin with the number of rows"},
      {"[abstraction_rule_reservoir_1]\n2 1 100\n0 0 0\n1 1\n", "row 2 of the rule table holds 2 numbers, 3 expected"},
      {"[abstraction_rule_reservoir_1]\n2 1 100\n0 0 0\n[next]\n", "ends after 1 of its 2 rows"},
      {"[abstraction_rule_reservoir_1]\n1 1 100\n0 0 0\nWeekDays = 12 0\n", "no weekday"},
      {"[abstraction_rule_reservoir_1]\n1 1 100\n0 0 0\nWeekDays = 128 1\n", "no weekday"},
      {"[abstraction_rule_reservoir_1]\n1 1 100\n0 0 0\nWeekDays = 9 1\n", "no weekday"},
      {"[abstraction_rule_reservoir_1]\n1 1 100\n0 0 0\nTargetCap = 5\n", "holds 1 values, 2 expected"},
      {"[abstraction_rule_reservoir_1]\n1 1 100\n0 0 0\nstart_hour = 8 x\n", "no valid value of \"start_hour\""},
  };
  for (const auto& k : cases) {
    console.str("");
    RuleSet r;
    EXPECT_EQ(Read(k.text, r), 34) << k.text;
    EXPECT_TRUE(Said(k.message)) << k.text << "\n" << console.str();
  }
}

// ---- reservoirs and abstractions ----

// Rows (0, 0), (1e6, 10), (1e7, 100): Q = V / K with K = 1e5 s below 1e7 m3.
const std::string kLinearRule = "[abstraction_rule_reservoir_1]\n3\n0 0\n1e6 10\n1e7 100\n\n";

class ReservoirTest : public RoutingFixture {
 protected:
  ReservoirTest() : RoutingFixture("reservoir") {}
  // Subbasin 4 (2 km2) with its own elements and no channel.
  int BuildOutlet(const std::string& elements, const std::string& sections = kLinearRule) {
    return Build(Head() + "TG 4 (area = 2, rel = 1)\n" + elements + "end\n" + sections);
  }
  // Routes steps with runoff q(i) of subbasin 4 [mm per step].
  template <typename F>
  void Run(int steps, F q, int first = 0) {
    for (int i = first; i < first + steps; ++i) {
      Runoff({0, 0, 0, q(i)});
      Step(i);
    }
  }
  static constexpr double kMm = 2 * 16.6666667 / 60;  // 1 mm per hour over 2 km2 in m3/s
};

TEST_F(ReservoirTest, LinearRuleRecessionAndEquilibrium) {
  ASSERT_EQ(BuildOutlet("SP 1 (file = res1.txt V0 = 5e6, C0 = 0 0 0 0 0 0 0 0 0, dTmin = 60)\n"), 0) << console.str();
  SP_class& sp = model->Routing(1)->Reservoir(1);
  EXPECT_EQ(sp.SubStep(), 60);
  Start();
  EXPECT_DOUBLE_EQ(sp.Volume(), 5e6);  // the initialisation does not release
  // 60 sub-steps of 60 s, each V (1 - 60 / K): 0.9994^60 = 0.96462987 per step.
  double V = sp.Volume();
  for (int i = 0; i < 20; ++i) {
    Run(
        1, [](int) { return 0.0; }, i);
    EXPECT_NEAR(sp.Volume() / V, std::pow(1 - 60.0 / 1e5, 60), 1e-13) << i;
    // The released water reaches the outlet.
    EXPECT_NEAR(Routed(4) * kMm * 3600, V - sp.Volume(), 1e-6 * V);
    V = sp.Volume();
  }
  // A constant inflow of 1 m3/s tends to V = K Qin (1 - 60 / K for the sub-steps).
  Run(
      1500, [](int) { return 1 / kMm; }, 20);
  EXPECT_NEAR(sp.Volume(), 1e5 * (1 - 60.0 / 1e5), 1.0);
  EXPECT_NEAR(Routed(4), 1 / kMm, 1e-4);

  // The channel below a reservoir starts with the rule's release at the
  // start: 5e6 m3 release the mean of 50 m3/s x 0.9994^s over the sub-steps
  // s = 1 ... 60, 49.096 m3/s, which leave the channel in its first step.
  ASSERT_EQ(Build(Head() + "TG 1 (area = 1, rel = 1)\nSP 1 (file = res1.txt V0 = 5e6, C0 = 0 0 0 0 0 0 0 0 0, " +
                  "dTmin = 60)\nTG 2 (area = 2, rel = 1)\nOL 1" + Channel(1, 20000) + "\nend\n" + kLinearRule),
            0)
      << console.str();
  Start();
  Step(0);
  const double start = 50 * 0.9994 * (1 - std::pow(0.9994, 60)) / (60 * 0.0006);
  EXPECT_NEAR(Routed(2) * kMm, start, 0.01 * start);

  // A sub-step longer than the step releases nothing, and a WARNING says so.
  ASSERT_EQ(BuildOutlet("SP 1 (file = res1.txt V0 = 5e6, C0 = 0 0 0 0 0 0 0 0 0, dTmin = 4000)\n"), 0);
  EXPECT_TRUE(Said("for reservoir 1: \"dTmin = 4000\" [s] is longer than the time step of 3600 s")) << console.str();
  Start();
  Run(3, [](int) { return 1 / kMm; });
  EXPECT_EQ(model->Routing(1)->Reservoir(1).Outflow(), 0);
  EXPECT_EQ(Routed(4), 0);
  EXPECT_NEAR(model->Routing(1)->Reservoir(1).Volume(), 5e6 + 3 * 3600, 1e-6);
}

TEST_F(ReservoirTest, WarmStartContinuesTheVolume) {
  const std::string sp = "SP 1 (file = res1.txt V0 = 5e6 C0 = 0 0 0 0 0 0 0 0 0)\n";
  auto q = [](int i) { return 0.5 * (i % 7); };
  auto start = [&](int readParameter) {
    ASSERT_EQ(BuildOutlet(sp), 0);
    Start();
    model->ReadStorageContent("storage.ftz", readParameter);
    model->SetInitialized(1);
  };
  start(0);
  Run(40, q);
  const double whole = model->Routing(1)->Reservoir(1).Volume();
  start(0);
  Run(20, q);
  model->FreeMemory();
  EXPECT_NE(File("storage.ftz").find("1 (number of reservoirs)\n"), std::string::npos);
  start(1);
  Run(20, q, 20);
  EXPECT_NEAR(model->Routing(1)->Reservoir(1).Volume(), whole, 1e-9 * whole);
}

TEST_F(ReservoirTest, AStoredVolumeBelowZeroOrNoNumberIsNotTakenFromTheStorageFile) {
  ASSERT_EQ(BuildOutlet("SP 1 (file = res1.txt V0 = 5e6 C0 = 0 0 0 0 0 0 0 0 0)\n"), 0);
  Start();
  model->ReadStorageContent("storage.ftz", 0);
  model->SetInitialized(1);
  Run(3, [](int) { return 1.0; });
  model->FreeMemory();
  const std::string stored = File("storage.ftz");
  const size_t end = stored.find("  (reservoir 1)");
  ASSERT_NE(end, std::string::npos) << stored;
  const size_t begin = stored.rfind('\n', end) + 1;
  for (const auto& [volume, message] : {std::pair<std::string, std::string>{"-5 ", "the volume -5 [m3] is negative"},
                                        {"nan ", "error reading a value in file "}}) {
    std::string text = stored;
    text.replace(begin, end - begin, volume);
    fluvextest::WriteFile(dir / "storage.ftz", text);
    ASSERT_EQ(BuildOutlet("SP 1 (file = res1.txt V0 = 5e6 C0 = 0 0 0 0 0 0 0 0 0)\n"), 0);
    Start();
    console.str("");
    EXPECT_EQ(CodeOf([&] { model->ReadStorageContent("storage.ftz", 1); }), 71) << volume;
    EXPECT_TRUE(Said(message)) << console.str();
  }
}

TEST_F(ReservoirTest, EveryStepBalancesAndTheTableHoldsIt) {
  // A rule that asks for far more than there is, an abstraction drawing from
  // the reservoir, a varying inflow: volume and outflow never go below 0.
  const std::string rule = "[abstraction_rule_reservoir_7]\n2\n0 0\n1e4 1e3\n\n";
  ASSERT_EQ(BuildOutlet("AL 1 (mode = extern al1.txt 0 0.5 100 m3/s)\nSP 7 (file = res7.txt V0 = 1e4, C0 = 0 0 0 0 "
                        "0 0 0 0 0)\n",
                        rule),
            0)
      << console.str();
  SP_class& sp = model->Routing(1)->Reservoir(1);
  Start();
  auto q = [](int i) { return i % 4 == 0 ? 3.0 : 0.2 * i; };
  for (int i = 0; i < 30; ++i) {
    const double before = sp.Volume();
    Run(1, q, i);
    const double in = q(i) * kMm * 3600;
    EXPECT_NEAR(sp.QinTerm.m3, in, 1e-9 * in + 1e-12);
    EXPECT_NEAR(sp.Volume() - before, sp.QinTerm.m3 - sp.QoutTerm.m3 - sp.Irrig.m3 - sp.Abstr.m3,
                1e-9 * std::max(1.0, before));
    EXPECT_NEAR(sp.dV.m3, sp.Volume() - before, 1e-9 * std::max(1.0, before));
    EXPECT_NEAR(sp.Err.m3, 0, 1e-9 * std::max(1.0, before));
    EXPECT_GE(sp.Volume(), 0);
    EXPECT_GE(sp.Outflow(), 0);
    // Half of the volume offered per step goes to the abstraction.
    EXPECT_NEAR(sp.Abstr.m3, 0.5 * before, 1e-8 * std::max(1.0, before)) << i;  // 16.6666667 for 1 / 0.06
  }
  model->FlushOutputs();
  const std::string table = File("res7.txt");
  EXPECT_EQ(table.rfind("YY\tMM\tDD\tHH\tW[m]\tA[m2]\tV[m3]\tQin[m3]\tQin[mm]\tQin[m3s]\tQout[m3]", 0), 0u);
  EXPECT_NE(table.find("\tErr[m3s]\nreservoir_7\nYY\t"), std::string::npos);
  EXPECT_EQ(fluvextest::CountOf(table, "\n"), 3 + 30);
  // A row: the date, level and area 0, then the volume and 27 balance values.
  const size_t last = table.rfind("2001\t 1\t 2\t 6\t0\t0\t");
  ASSERT_NE(last, std::string::npos) << table;
  EXPECT_EQ(fluvextest::CountOf(table.substr(last), "\t"), 3 + 30);
}

TEST_F(ReservoirTest, AbstractionSharesAndTheirTable) {
  // 10 mm: the first takes half of what is above 2 mm, the second all above 2 mm of what is left.
  ASSERT_EQ(BuildOutlet("AL 1 (mode = extern al1.txt 2 0.5 100 mm)\nAL 2 (mode = extern al2.txt 2 1 100 mm)\n"), 0)
      << console.str();
  Start();
  Run(1, [](int) { return 10.0; });
  EXPECT_NEAR(Routed(4), 2, 1e-12);
  // Without a reservoir each abstraction takes from the flow in turn.
  double taken = 0;
  AL_class& a1 = model->Routing(1)->Abstraction(1);
  EXPECT_NEAR(a1.Abstract(nullptr, taken, 10, 2001, 1, 1, 1), 4, 1e-12);
  EXPECT_NEAR(model->Routing(1)->Abstraction(2).Abstract(nullptr, taken, 10, 2001, 1, 1, 1), 4, 1e-12);
  taken = 0;
  EXPECT_NEAR(model->Routing(1)->Abstraction(2).Abstract(nullptr, taken, 10, 2001, 1, 1, 1), 8, 1e-12);
  taken = 9;  // below the minimum nothing is taken
  EXPECT_EQ(a1.Abstract(nullptr, taken, 10, 2001, 1, 1, 1), 0);

  // The tables hold m3/s; a flush in the middle gives the same file.
  Run(
      9, [](int i) { return 1.0 + i; }, 1);
  model->FlushOutputs();
  const std::string whole = File("al1.txt");
  EXPECT_EQ(whole.rfind("YY\tMM\tDD\tHH\tm^3/s\nabstraction_1\nYY\tMM\tDD\tHH\tm^3/s\n2001\t 1\t 1\t 1\t", 0), 0u);
  EXPECT_NE(whole.find("\t" + std::to_string(4 * kMm).substr(0, 6)), std::string::npos) << whole;
  ASSERT_EQ(BuildOutlet("AL 1 (mode = extern al1.txt 2 0.5 100 mm)\nAL 2 (mode = extern al2.txt 2 1 100 mm)\n"), 0);
  Start();
  Run(1, [](int) { return 10.0; });
  Run(
      4, [](int i) { return 1.0 + i; }, 1);
  model->FlushOutputs();
  Run(
      5, [](int i) { return 1.0 + i; }, 5);
  model->FlushOutputs();
  EXPECT_EQ(File("al1.txt"), whole);
}

TEST_F(ReservoirTest, SeriesAbstractionAndAreaCorrection) {
  // A missing value of the series takes nothing, a negative one gives its
  // water to the river; 3 m3/s is 5.4 mm over 2 km2.
  fluvextest::WriteFile(dir / "series.txt",
                        "YY MM DD HH a b\n2001 1 1 1 0 3\n2001 1 1 2 0 -9999\n2001 1 1 3 0 -2\n2001 1 1 4 0 30\n");
  const std::string line = "AL 3 (mode = from_file input_file = " + dir / "series.txt" + " column = 1 out = al3.txt)\n";
  ASSERT_EQ(BuildOutlet(line), 0) << console.str();
  Start();  // the initialisation does not advance the series
  const double expected[4] = {10 - 3 / kMm, 10, 10 + 2 / kMm, 0};
  for (int i = 0; i < 4; ++i) {
    Run(
        1, [](int) { return 10.0; }, i);
    EXPECT_NEAR(Routed(4), expected[i], 1e-7) << i;  // 0.06 against 1 / 16.6666667
  }
  EXPECT_TRUE(Said("series.txt holds no value (nodata) for 1.1.2001, 2. h"));
  EXPECT_TRUE(Said("series.txt holds the negative value -2.000000 [m3/s] for 1.1.2001, 3. h"));
  // A series shorter than the run ends it with the file and the date.
  EXPECT_EQ(CodeOf([&] {
              Run(
                  1, [](int) { return 10.0; }, 4);
            }),
            39);
  EXPECT_TRUE(Said("error reading from " + dir / "series.txt" +
                   " for abstraction 3\nreached end of file before 1.1.2001, 5. h"));
  // A step missing from the series is no later step's value.
  fluvextest::WriteFile(dir / "series.txt", "YY MM DD HH a b\n2001 1 1 1 0 3\n2001 1 1 3 0 3\n");
  ASSERT_EQ(BuildOutlet(line), 0) << console.str();
  Start();
  Run(1, [](int) { return 10.0; });
  EXPECT_EQ(CodeOf([&] {
              Run(
                  1, [](int) { return 10.0; }, 1);
            }),
            36);
  EXPECT_TRUE(Said("read: 1.1.2001, 3. h,\nshould be: 1.1.2001, 2. h."));
  EXPECT_EQ(BuildOutlet("AL 3 (mode = from_file input_file = missing.txt column = 1, out = al3.txt)\n"), 37);
  EXPECT_TRUE(Said("error opening missing.txt for abstraction 3"));
  args.endHour = 7;
  EXPECT_EQ(BuildOutlet(line), 38);
  EXPECT_TRUE(Said("starting date 1.1.2001, 7. h in"));

  // An area corrected to the zone grid (1 -> 2 km2, or given as 0: the
  // zone grid's) keeps every abstraction's m3/s.
  args.endHour = 1;
  for (const char* area : {"1", "0"}) {
    ASSERT_EQ(Build(Head() + "TG 4 (area = " + area + ", rel = 1)\nAL 1 (mode = extern a.txt 1 0.5 2 m3s)\n" +
                    "AL 2 (mode = extern b.txt 1 0.5 2 m3s)\nend\n"),
              0);
    EXPECT_TRUE(
        Said(std::string("Basin 4: area in contr.file: ") + area + " <-> zone-grid 2 (adjusted to the latter)"));
    for (int a = 1; a <= 2; ++a) {
      AL_class& al = model->Routing(1)->Abstraction(a);
      EXPECT_NEAR(al.MinFlow(), 1 / kMm, 1e-7) << area << a;
      EXPECT_NEAR(al.MaxAbstraction(), 2 / kMm, 1e-7) << area << a;
      EXPECT_DOUBLE_EQ(al.Area(), 2);
    }
  }
}

TEST_F(ReservoirTest, InternalAbstractionFeedsInflowOfAnotherSubbasin) {
  // Subbasin 3 gives half of its runoff above 0 to inflow 1 of subbasin 4.
  const std::string body = Head() + "TG 3 (area = 1, rel = 1)\nAL 1 (mode = intern 0 0.5 100 mm)\n" +
                           "TG 4 (area = 2, rel = 1)\nZL 1 (Q = intern" + Channel(0.01, 1, 1) + "\nend\n";
  ASSERT_EQ(Build(body), 0) << console.str();
  Start();
  EXPECT_TRUE(Said("checking connection of internal inflows and abstractions"));
  EXPECT_EQ(model->Routing(1)->Abstraction(1).ReceivingPosition(), 4);
  // Over many steps everything given arrives: 3 keeps 2 mm of 1 km2, 4 gets
  // 2 mm of 1 km2 over its 2 km2 (the channels start empty, with the first
  // step's runoff).
  double given = 0, arrived = 0;
  Step(0);
  for (int i = 1; i < 50; ++i) {
    Runoff({0, 0, i <= 10 ? 4.0 : 0.0, 0});
    Step(i);
    given += (i <= 10 ? 4.0 : 0.0) - Routed(3);
    arrived += Routed(4) * 2;
  }
  EXPECT_NEAR(given, 20, 1e-9);
  EXPECT_NEAR(arrived, given, 1e-6);
}

TEST_F(ReservoirTest, RuleAbstractionDrawsFromTheReservoirUntilItIsEmpty) {
  // The reservoir of subbasin 3 keeps its water (rule 0), its abstraction asks
  // 0.5 m3/s (1800 m3 per step) for inflow 1 of subbasin 4.
  ASSERT_EQ(Build(Head() + "TG 3 (area = 1, rel = 1)\nAL 1 (mode = intern_with_rule_from_reservoir)\n" +
                  "SP 2 (file = r2.txt V0 = 5000 C0 = 0)\nTG 4 (area = 2, rel = 1)\nZL 1 (Q = intern" +
                  Channel(0.01, 1, 1) + "\nend\n[abstraction_rule_reservoir_2]\n2\n0 0\n1e9 0\n" +
                  "[abstraction_rule_abstraction_1]\n2\n0 0.5\n1e9 0.5\n"),
            0)
      << console.str();
  SP_class& sp = model->Routing(1)->Reservoir(1);
  Start();
  EXPECT_DOUBLE_EQ(sp.Volume(), 5000);
  const double drawn[4] = {1800, 1800, 1400, 0};
  for (int i = 0; i < 4; ++i) {
    Step(i);
    EXPECT_NEAR(sp.Abstr.m3, drawn[i], 1e-9) << i;
    EXPECT_NEAR(model->Routing(1)->Abstraction(1).values[0], drawn[i] / 3600, 1e-12) << i;
    EXPECT_GE(sp.Volume(), 0);
    EXPECT_NEAR(sp.Err.m3, 0, 1e-9);
  }
  EXPECT_EQ(sp.Volume(), 0);
  EXPECT_EQ(Routed(3), 0);
}

TEST_F(ReservoirTest, BrokenElementsAndConnections) {
  const std::string sp = "SP 1 (file = r.txt V0 = 1, C0 = 0 0 0 0 0 0 0 0 0)\n";
  const struct {
    std::string elements, sections, message;
    int code;
  } cases[] = {
      {"AL 1 (mode = sometimes)\n", "", "the modus \"sometimes\" is not supported for abstraction 1", 44},
      {"SP 1 (V0 = 1, C0 = 0)\n", kLinearRule, "for reservoir 1: no \"file =\" found!", 35},
      {"SP 1 (file = r.txt C0 = 0)\n", kLinearRule, "for reservoir 1: no \"V0 =\" found!", 35},
      {"SP 1 (file = r.txt V0 = 1)\n", kLinearRule, "for reservoir 1: no \"C0 =\" found!", 35},
      {"SP 1 (file = r.txt V0 = -1, C0 = 0)\n", kLinearRule, "not negative", 35},
      {"SP 1 (file = r.txt V0 = 1, C0 = abc)\n", kLinearRule, "\"C0 =\" must be followed by the initial concentration",
       35},
      {sp, "[abstraction_rule_reservoir_1]\n2\n0 0\n1e6 10\n1e7 100\n\n",
       "more rows than the 2 its first line declares", 34},
      {sp, "", "section [abstraction_rule_reservoir_1] not found", 34},
      {"SP 1 (file = r.txt V0 = 1, C0 = 0, dTmin = 0)\n", kLinearRule, "\"dTmin =\" must give", 34},
      {"AL 2 (mode = extern_with_rule a.txt)\n", "", "section [abstraction_rule_abstraction_2] not found", 34},
      {"SP 1 (file = " + std::string(1150, 'r') + " V0 = 1, C0 = 0)\n", kLinearRule, "for reservoir 1 (the path", 37},
      {"AL 1 (mode = intern 0 0.5 1 mm)\n", "", "Internal abstraction AL 1 is not connected to any internal inflow.",
       303},
      {"AL 1 (mode = intern_with_rule_from_reservoir)\n", "[abstraction_rule_abstraction_1]\n1\n0 0\n",
       "has the mode \"intern_with_rule_from_reservoir\", but the subbasin has no reservoir (SP)", 44},
      {"AL 1 (mode = intern 0 0.5 1 mm)\nZL 1 (Q = intern" + Channel() + "\n", "",
       "Abstraction AL 1 from routing description 1 and inflow ZL 1 are both defined for the same routing-subbasin TG "
       "4",
       301},
  };
  for (const auto& k : cases) {
    console.str("");
    int code = BuildOutlet(k.elements, k.sections);
    if (code == 0) {
      SetRunoff({0, 0, 0, 0});
      code = CodeOf([&] { model->InitRouting(); });
    }
    EXPECT_EQ(code, k.code) << k.elements;
    EXPECT_TRUE(Said(k.message)) << k.elements << "\n" << console.str();
  }
  // Two internal abstractions for one inflow.
  ASSERT_EQ(Build(Head() +
                  "TG 2 (area = 1, rel = 1)\nAL 1 (mode = intern 0 0.5 1 mm)\nTG 3 (area = 1, rel = 1)\n"
                  "AL 1 (mode = intern 0 0.5 1 mm)\nTG 4 (area = 2, rel = 1)\nZL 1 (Q = intern" +
                  Channel() + "\nend\n"),
            0);
  SetRunoff({0, 0, 0, 0});
  EXPECT_EQ(CodeOf([&] { model->InitRouting(); }), 300);
  EXPECT_TRUE(Said("in routing description 2 for TG 3:\nInflow 1 is already connected to an internal abstraction."));
}

// A lake of four cells of 100 m at 500 m with 2000 mm of ponding room.
class LakeTableTest : public ReservoirTest {
 protected:
  void SetUp() override {
    for (auto* g : {&lakeCodes, &maxPond, &ponding, &zones, &dem}) *g = memory.matrix(1, 2, 1, 3, 0);
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 3; ++c) {
        zones[r][c] = 4;
        dem[r][c] = 500;
        maxPond[r][c] = 2000;
        lakeCodes[r][c] = c <= 2 ? 1 : -9999;
      }
    grids.lakeCodes = lakeCodes;
    grids.maxPond = maxPond;
    grids.ponding = ponding;
    grids.zone = zones;
    grids.dem = dem;
    grids.nrows = 2;
    grids.ncols = 3;
    grids.cellsize = 100;
    grids.zoneIndex = zoneindex;
    grids.maxCode = 4;
  }
  void TearDown() override {
    for (auto* g : {&lakeCodes, &maxPond, &ponding, &zones, &dem}) memory.FreeMatrix(*g, 1, 2, 1, 3);
  }
  // Builds the lake of reservoir 1 in subbasin 4 in the test directory; returns the code thrown.
  int BuildLake(SP_class& sp, int tracers = 0) {
    sp.SetParameters(&diag, tracerRecords.data(), tracers, 4, 4, 60, dir.path() + "/");
    sp.ReadDescription(1, " (file = r.txt V0 = 0 C0 = 0.5 0 0 0 0 0 0 0 0)");
    sp.SetLakeGrids(grids);
    char old[4096];
    if (!getcwd(old, sizeof old) || chdir(dir.path().c_str()) != 0) return -1;
    const int code = CodeOf([&] { sp.BuildLakeTable(); });
    return chdir(old) == 0 ? code : -1;
  }
  Grid lakeCodes = nullptr, maxPond = nullptr, ponding = nullptr, zones = nullptr, dem = nullptr;
  SP_class::LakeGrids grids;
};

TEST_F(LakeTableTest, LevelVolumeTableAndLakeWater) {
  SP_class sp;
  ASSERT_EQ(BuildLake(sp), 0) << console.str();
  EXPECT_EQ(sp.TableRows(), 200 + 1);
  EXPECT_NEAR(sp.VolumeFromLevel(501), 40000, 1e-6);
  EXPECT_NEAR(sp.LevelFromVolume(40000), 501, 1e-9);
  EXPECT_NEAR(sp.VolumeFromLevel(500), 0, 1e-9);
  EXPECT_NEAR(sp.VolumeFromLevel(502.5), 4 * 1e4 * 2.5, 1e-6);  // extrapolated above the top row
  sp.SetLakeLevel(40000);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) EXPECT_NEAR(ponding[r][c], c <= 2 ? 1000 : 0, 1e-6) << r << c;
  std::vector<double> out(1);
  EXPECT_NEAR(sp.CollectLakeWater(out), 40000, 1e-6);
  sp.TakeLakeVolumeFromGrid();
  EXPECT_NEAR(sp.Volume(), 40000, 1e-6);
  const std::string table = File("W_V_Table_01.dat");
  EXPECT_EQ(table.rfind("waterlevel-volume-table lake 1\nLevel[m a.s.l.]\tVolume[m^3]\n502\t80000\n", 0), 0u) << table;
  EXPECT_EQ(fluvextest::CountOf(table, "\n"), 2 + 201);

  // One cell's bottom 13 mm higher, between two rows of the table: 390 m3
  // fill the three lower cells up to it (3 x 1e4 m2 x 0.013 m). Below it the
  // level rises over three cells, above it over four; whatever the volume,
  // the lake's cells hold it at its level.
  dem[1][1] = 500.013;
  maxPond[1][1] = 1987;
  SP_class off;
  ASSERT_EQ(BuildLake(off), 0) << console.str();
  EXPECT_NEAR(off.VolumeFromLevel(500.013), 390, 1e-9);
  EXPECT_NEAR(off.LevelFromVolume(200), 500 + 200 / 3e4, 1e-12);
  EXPECT_NEAR(off.LevelFromVolume(400), (400 / 1e4 + 3 * 500 + 500.013) / 4, 1e-12);
  EXPECT_NEAR(off.VolumeFromLevel(500.02), 3e4 * 0.02 + 1e4 * 0.007, 1e-9);
  for (double V = 7; V < 1000; V += 13) {
    off.SetLakeLevel(V);
    EXPECT_NEAR(off.CollectLakeWater(out), V, 1e-9 * V) << V;
  }
}

TEST_F(LakeTableTest, TracerOfTheLakeWater) {
  Grid tracer = memory.matrix(1, 2, 1, 3, 0);
  grids.tracers = {nullptr, tracer};
  SP_class sp;
  ASSERT_EQ(BuildLake(sp, 1), 0) << console.str();
  // Levelling hands the lake's concentration (C0) to the wet cells only.
  sp.SetLakeLevel(40000);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(tracer[r][c], c <= 2 ? 0.5 : 0.0) << r << c;
  // Gathered water: 1000 mm at 0.5 on three cells, 3000 mm at 0.1 on one.
  ponding[2][2] = 3000;
  tracer[2][2] = 0.1;
  std::vector<double> out(2);
  EXPECT_NEAR(sp.CollectLakeWater(out), 60000, 1e-6);
  EXPECT_NEAR(out[1], (3 * 1e4 * 0.5 + 3e4 * 0.1) / 6e4, 1e-12);
  // A warm start takes the water the cells hold and its concentration (the
  // routing's state, when read, replaces them before the lake is levelled).
  sp.TakeLakeVolumeFromGrid();
  EXPECT_NEAR(sp.state[0], 60000, 1e-6);
  EXPECT_NEAR(sp.state[1], (3 * 1e4 * 0.5 + 3e4 * 0.1) / 6e4, 1e-12);
  memory.FreeMatrix(tracer, 1, 2, 1, 3);
}

TEST_F(LakeTableTest, CellsThatDoNotFitAreRefused) {
  maxPond[2][2] = 1500;  // 0.5 m lower than the others
  SP_class a;
  EXPECT_EQ(BuildLake(a), 213);
  EXPECT_TRUE(Said("All Cells for a lake must have the same Altitude value for DEM + MAXPOND"));
  maxPond[2][2] = 2000;
  zones[1][1] = 3;
  SP_class b;
  EXPECT_EQ(BuildLake(b), 224);
  EXPECT_TRUE(Said(" Lake 1 must be located completely within subbasin 4."));
  // A lake without depth has one level; its volume stays 0 (no 0 / 0).
  zones[1][1] = 4;
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) maxPond[r][c] = 0;
  SP_class flat;
  ASSERT_EQ(BuildLake(flat), 0);
  EXPECT_EQ(flat.TableRows(), 2);
  EXPECT_EQ(flat.VolumeFromLevel(500), 0);
  EXPECT_TRUE(std::isfinite(flat.LevelFromVolume(10)));
}

TEST_F(LakeTableTest, LakeStepBalancesPrecipitationEvaporationAndOutflow) {
  Grid etr = memory.matrix(1, 2, 1, 3, 0), prec = memory.matrix(1, 2, 1, 3, 0);
  Grid intercepted = memory.matrix(1, 2, 1, 3, 0);
  grids.etr0 = etr;
  grids.precOnLakes = prec;
  grids.interceptionEvap = intercepted;
  SP_class sp;
  ASSERT_EQ(BuildLake(sp), 0);
  {
    std::ofstream rule(dir / "rule.txt");
    rule << "[abstraction_rule_reservoir_1]\n3\n0 0\n1e6 10\n1e7 100\n\n";
  }
  ControlFile file;
  ASSERT_TRUE(file.Open(dir / "rule.txt", &diag));
  sp.ReadRules(file);
  sp.SetLakeLevel(40000);
  sp.TakeLakeVolumeFromGrid();
  ASSERT_NEAR(sp.Volume(), 40000, 1e-6);
  // The soil's exchange with the ponded water (mm of the step, positive into
  // the pond) differs from cell to cell and from minus the baseflow (3 mm);
  // in the first step the soil passes nothing on.
  Grid qdown = memory.matrix(1, 2, 1, 3, 0), baseflow = memory.matrix(1, 2, 1, 3, 0);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) baseflow[r][c] = 3;
  grids.qdown = qdown;
  grids.baseflow = baseflow;
  sp.SetLakeGrids(grids);
  const double exchange[3][3] = {{0, 0, 0}, {0, -3, -1}, {0, 0, 0.5}};
  for (int step = 0; step < 5; ++step) {
    // The soil and evapotranspiration act on the ponding between two routing
    // steps: 10 mm reach the water, 2 mm evaporate from it and 0.5 mm from
    // the vegetation's interception storage, which the water never held.
    for (int c = 1; c <= 2; ++c)
      for (int r = 1; r <= 2; ++r) {
        prec[r][c] = 10;
        intercepted[r][c] = 0.5;
        etr[r][c] = 2 + intercepted[r][c];
        qdown[r][c] = step == 0 ? 0.0 : exchange[r][c];
        ponding[r][c] += prec[r][c] - 2 + qdown[r][c];
      }
    const double before = sp.Volume();
    const double inflow = 0.2;
    sp.Step(60, 0, 0, nullptr, nullptr, &inflow, nullptr, 0, 2001, 1, 1, step + 1);
    // 4 cells of 1 ha: 10 mm are 400 m3, 2 mm 80 m3, the exchange -3.5 mm 35 m3.
    const double groundwater = step == 0 ? 0.0 : -35.0;
    EXPECT_NEAR(sp.PREC.m3, 400, 1e-6);
    EXPECT_NEAR(sp.ETR.m3, 80, 1e-6);
    EXPECT_NEAR(sp.QGW.m3, groundwater, 1e-9);
    EXPECT_DOUBLE_EQ(sp.A, 4e4);
    EXPECT_NEAR(sp.Volume() - before, 720 + 400 - 80 + groundwater - sp.QoutTerm.m3, 1e-6);
    EXPECT_NEAR(sp.Err.m3, 0, 1e-6);
    EXPECT_NEAR(sp.PREC.mm, 10, 1e-9);
    // The level is written back to the lake cells.
    EXPECT_NEAR(ponding[1][1] / 1000 * 4e4, sp.Volume(), 1e-6);
  }
  memory.FreeMatrix(etr, 1, 2, 1, 3);
  memory.FreeMatrix(prec, 1, 2, 1, 3);
  memory.FreeMatrix(intercepted, 1, 2, 1, 3);
  memory.FreeMatrix(qdown, 1, 2, 1, 3);
  memory.FreeMatrix(baseflow, 1, 2, 1, 3);
}

TEST_F(LakeTableTest, TheLakeTakesTheConcentrationOfItsCellsWater) {
  // A radioactive tracer decays once in the lake's hourly step: by
  // 2^(-1 h / 24 h) with a half-life of a day.
  struct Case {
    const char* name;
    double halfLife;  // days; 0: the tracer does not decay
    double factor;    // of the step
  };
  const Case cases[] = {{"a stable tracer", 0, 1.0},
                        {"a radioactive tracer, half-life 1 d", 1, 0.97153194115360586},  // 2^(-1/24)
                        {"a radioactive tracer, half-life 1 h", 1.0 / 24, 0.5}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    tracerRecords[1].radioactive = k.halfLife > 0 ? 1 : 0;
    tracerRecords[1].half_time = k.halfLife > 0 ? k.halfLife : -9999;
    // The factor of one step as the sub-models prepare it.
    tracerRecords[1].decay = k.halfLife > 0 ? std::exp(-(60.0 / 60 / 24) / (1.442695041111 * k.halfLife)) : 1.0;
    Grid tracer = memory.matrix(1, 2, 1, 3, 0);
    grids.tracers = {nullptr, tracer};
    SP_class sp;
    ASSERT_EQ(BuildLake(sp, 1), 0) << console.str();
    {
      std::ofstream rule(dir / "rule.txt");
      rule << "[abstraction_rule_reservoir_1]\n1\n0 0\n\n";
    }
    ControlFile file;
    ASSERT_TRUE(file.Open(dir / "rule.txt", &diag));
    sp.ReadRules(file);
    sp.SetLakeLevel(40000);  // 1000 mm at 0.5 on the four lake cells
    // Between two steps the soil mixes 0.1 into one cell's water.
    tracer[2][2] = 0.1;
    const double concentrations[2] = {0, 0}, inflow = 0;
    sp.Step(60, 0, 0, nullptr, concentrations, &inflow, nullptr, 0, 2001, 1, 1, 1);
    EXPECT_NEAR(sp.state[1], (3 * 0.5 + 0.1) / 4 * k.factor, 1e-9);
    for (int c = 1; c <= 2; ++c) EXPECT_NEAR(tracer[1][c], (3 * 0.5 + 0.1) / 4 * k.factor, 1e-9);
    memory.FreeMatrix(tracer, 1, 2, 1, 3);
  }
}

}  // namespace
