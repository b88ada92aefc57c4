// The fluvex program builds the routing network of the small basin (zones
// 3, 7 and 12) and ends with a clear entry when no runoff reaches it, when
// its descriptions are out of order or double a subbasin's water, and when a
// value of a channel, reservoir, abstraction or rule has no physical meaning.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/application/basins.h"
#include "tests/support/testutil.h"

namespace {

const std::string kHead = "[routing_model]\n1\n$time\n0.1 1000 10 2\nqstat.sta 2001\nnone.txt\n0\n0\n";

// The ten values of a channel line, one of them replaced.
std::string Channel(const std::string& AE, const std::string& key = "", const std::string& value = "") {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"kh", "2"},  {"kv", "5"},  {"Bh", "5"},    {"Bv", "20"}, {"Th", "1"},
      {"Mh", "25"}, {"Mv", "15"}, {"I", "0.002"}, {"L", "500"}, {"AE", AE}};
  std::string text = " (";
  for (const auto& [k, v] : values) text += k + " = " + (k == key ? value : v) + (k == "AE" ? ")" : ", ");
  return text;
}

// The small basin whose [routing_model] section is replaced by text (the
// section's head, the descriptions and whatever follows them).
struct RoutedBasin {
  RoutedBasin(const std::string& name, const std::string& text) : basin(name) {
    basin.Edit("[routing_model]\n0\n$time\n", text);
  }
  // The line of the user's control file holding what (its first occurrence).
  int LineOf(const std::string& what) const {
    const std::string control = fluvextest::ReadFile(basin.dir / "control.txt");
    const size_t at = control.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    return 1 + static_cast<int>(std::count(control.begin(), control.begin() + static_cast<long>(at), '\n'));
  }
  fluvextest::CommandResult Run() const { return fluvextest::RunFluvex("control.txt", basin.dir.path()); }
  fluvextest::SmallBasin basin;
};

bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

}  // namespace

TEST(RoutingRun, NetworkIsBuiltAndMissingRunoffEndsTheRun) {
  fluvextest::SmallBasin basin("routing_run");
  const std::string channel = " (kh = 2, kv = 5, Bh = 5, Bv = 20, Th = 1, Mh = 25, Mv = 15, I = 0.002, L = 500, AE = ";
  basin.Edit("[routing_model]\n0\n$time\n",
             "[routing_model]\n1\n$time\n0.1 1000 10 2\nqstat.sta 2001\nnone.txt\n0\n0\n"
             "TG 12 (area = 0.05, rel = 1)\nOL 3" +
                 channel + "0.03)\nOL 7" + channel + "0.02)\n\n");
  const auto r = fluvextest::RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 43) << r.output;
  EXPECT_NE(r.output.find("No valid discharges for discharge routing!"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("number inbetween areas (routings)    : 1"), std::string::npos);
  // Codes 3 and 7 are the subbasins 1 and 2 of the zone table.
  EXPECT_NE(fluvextest::ReadFile(basin.dir / "wq_table.001").find("channel of subbasin 3 to the outlet of subbasin 12"),
            std::string::npos);
  EXPECT_TRUE(fluvextest::FileExists(basin.dir / "wq_table.002"));
  // Subbasin 12 collects 3 + 3 + 2 cells of 0.01 km2: the area of the description is adjusted.
  EXPECT_NE(r.output.find("area in contr.file: 0.05 <-> zone-grid 0.08"), std::string::npos) << r.output;
}

TEST(RoutingRun, ASubbasinDescribedAfterTheOneItFlowsIntoEndsTheRun) {
  // 3 flows into 7 and 7 into 12, but 12 is described first: it would take
  // the raw runoff of 7 past 7's channel.
  fluvextest::SmallBasin basin("routing_order");
  const std::string channel = " (kh = 2, kv = 5, Bh = 5, Bv = 20, Th = 1, Mh = 25, Mv = 15, I = 0.002, L = 500, AE = ";
  basin.Edit("[routing_model]\n0\n$time\n",
             "[routing_model]\n1\n$time\n0.1 1000 10 2\nqstat.sta 2001\nnone.txt\n0\n0\n"
             "TG 12 (area = 0.08, rel = 1)\nOL 7" +
                 channel + "0.05)\nTG 7 (area = 0.05, rel = 1)\nOL 3" + channel + "0.03)\n\n");
  const auto r = fluvextest::RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 41) << r.output;
  EXPECT_NE(r.output.find("routing description 1 (TG 12) takes the outflow of subbasin 7, which routing "
                          "description 2 (TG 7) routes after it: describe subbasin 7 before subbasin 12"),
            std::string::npos)
      << r.output;
}

TEST(RoutingRun, ChannelValuesNotAbove0TakeTheirDefaultsAndValuesWithoutMeaningEndTheRunAtTheirLine) {
  // Each of the ten values of the channel of OL 3 in turn: one not greater
  // than 0 stands for its default (a WARNING names it; the set-up passes and
  // the run ends only because no runoff reaches the routing, 43); one that is
  // no number, and a catchment area not above 0, end the run. The symbol
  // definitions at the top of the file are not in its preprocessed copy, so
  // the line named is the user's.
  struct Case {
    std::string key, value;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"kh", "0", 43,
       "kh = 0 is not greater than 0: the storage constant of the main channel [h] takes its default 0.01"},
      {"kv", "-5", 43, "kv = -5 is not greater than 0: the storage constant of the flood plains [h] takes its default"},
      {"Bh", "0", 43, "Bh = 0 is not greater than 0: the width of the main channel [m] takes its default 0.1 "},
      {"Th", "-1", 43, "Th = -1 is not greater than 0: the depth of the main channel [m] takes its default 0.1 "},
      {"Mv", "0.0", 43, "Mv = 0.0 is not greater than 0"},
      {"I", "-0.002", 43, "I = -0.002 is not greater than 0: the slope [1/1] takes its default 0.00099856 "},
      {"L", "-500", 43, "L = -500 is not greater than 0: the channel length [m] takes its default 1 "},
      {"Bv", "nan", 17, "Bv = nan is not valid: the width of the flood plains [m] has to be a number"},
      {"Mh", "inf", 17, "Mh = inf is not valid"},
      {"AE", "-0.03", 17,
       "AE = -0.03 is not valid: the catchment area [km2] has to be a number greater than 0 (value "},
      {"AE", "0", 17, "AE = 0 is not valid"}};
  int i = 0;
  for (const Case& k : cases) {
    RoutedBasin r("routing_channel" + std::to_string(i++), kHead + "TG 12 (area = 0.08, rel = 1)\nOL 7" +
                                                               Channel("0.02") + "\nOL 3" +
                                                               Channel("0.03", k.key, k.value) + "\n\n");
    const auto run = r.Run();
    EXPECT_EQ(run.exitCode, k.code) << k.key << run.output;
    EXPECT_TRUE(Has(run.output, "TG 12, channel of OL 3: " + k.message)) << k.key << run.output;
    EXPECT_TRUE(
        Has(run.output, "routing description 1, control file control.txt, line " + std::to_string(r.LineOf("OL 3"))))
        << k.key << run.output;
    EXPECT_FALSE(Has(run.output, "$$$")) << k.key;
  }
  // A value that is no number at all, and a discharge table from qmin down to a smaller qmax.
  RoutedBasin word("routing_channel_word", kHead + "TG 12 (area = 0.08, rel = 1)\nOL 3" +
                                               Channel("0.03", "Bv", "wide") + "\nOL 7" + Channel("0.02") + "\n\n");
  auto run = word.Run();
  EXPECT_EQ(run.exitCode, 17) << run.output;
  EXPECT_TRUE(Has(run.output,
                  "the value of the width of the flood plains [m] after \"=\" cannot be read in routing "
                  "description 1 (control file control.txt, line " +
                      std::to_string(word.LineOf("OL 3"))))
      << run.output;
  RoutedBasin upsideDown("routing_qmax",
                         "[routing_model]\n1\n$time\n1000 0.1 10 2\nqstat.sta 2001\nnone.txt\n0\n0\n"
                         "TG 12 (area = 0.08, rel = 1)\nOL 3" +
                             Channel("0.03") + "\n\n");
  run = upsideDown.Run();
  EXPECT_EQ(run.exitCode, 17) << run.output;
  EXPECT_TRUE(Has(run.output,
                  "qmin 1000.000000 and qmax 0.100000 [l/s/km2] must be greater than 0 and qmin not "
                  "above qmax"))
      << run.output;
  EXPECT_TRUE(
      Has(run.output, "(control file control.txt, line " + std::to_string(upsideDown.LineOf("1000 0.1")) + ")"));
  // A constant inflow that is no number.
  RoutedBasin inflow("routing_inflow", kHead + "TG 12 (area = 0.08, rel = 1)\nOL 3" + Channel("0.03") +
                                           "\nZL 1 (Q = constant nan" + Channel("1") + "\n\n");
  run = inflow.Run();
  EXPECT_EQ(run.exitCode, 17) << run.output;
  EXPECT_TRUE(Has(run.output,
                  "TG 12, inflow ZL 1: the constant value nan [m3/s] has to be a number "
                  "(routing description 1, control file control.txt, line " +
                      std::to_string(inflow.LineOf("ZL 1"))))
      << run.output;
  // Two lines with one inflow number would share one entry of the runoff table.
  RoutedBasin twice("routing_inflow_twice", kHead + "TG 12 (area = 0.08, rel = 1)\nOL 3" + Channel("0.03") +
                                                "\nZL 1 (Q = constant 5" + Channel("1") + "\nZL 1 (Q = constant 1" +
                                                Channel("1") + "\n\n");
  run = twice.Run();
  EXPECT_EQ(run.exitCode, 42) << run.output;
  const int first = twice.LineOf("ZL 1");
  EXPECT_TRUE(Has(run.output, "inflow ZL 1 is given twice: routing description 1, control file control.txt, line " +
                                  std::to_string(first) +
                                  " and routing description 1, control file control.txt, line " +
                                  std::to_string(first + 1)))
      << run.output;
}

TEST(RoutingRun, ASubbasinRoutedTwiceEndsTheRunInsteadOfCountingItsWaterTwice) {
  // Listed twice in one description (as two channels, or twice in one
  // SUMTRIB list), or routed into two subbasins.
  const std::string twiceOL = "TG 12 (area = 0.08, rel = 1)\nOL 3" + Channel("0.03") + "\nOL 7" + Channel("0.02") +
                              "\nOL 3" + Channel("0.03") + "\n\n";
  const std::string twiceSum = "TG 12 (area = 0.08, rel = 1)\nSUMTRIB 3&7&3" + Channel("0.08") + "\n\n";
  const std::string twoReceivers = "TG 7 (area = 0.05, rel = 1)\nOL 3" + Channel("0.03") +
                                   "\nTG 12 (area = 0.08, rel = 1)\nOL 7" + Channel("0.05") + "\nOL 3" +
                                   Channel("0.03") + "\n\n";
  // The line named is that of the second listing: the one after the OL 7
  // line, or the SUMTRIB line itself.
  struct Case {
    std::string descriptions, where;
    int offset;
    std::string message;
  };
  const Case cases[] = {
      {twiceOL, "OL 7", 1, "subbasin 3 is listed twice as a tributary of subbasin 12 (routing description 1, "},
      {twiceSum, "SUMTRIB", 0, "subbasin 3 is listed twice as a tributary of subbasin 12 (routing description 1, "},
      {twoReceivers, "OL 7", 1, "subbasin 3 is routed into subbasin 12 (routing description 2, "},
  };
  int i = 0;
  for (const Case& k : cases) {
    RoutedBasin r("routing_twice" + std::to_string(i++), kHead + k.descriptions);
    const auto run = r.Run();
    EXPECT_EQ(run.exitCode, 41) << run.output;
    EXPECT_TRUE(Has(run.output, k.message)) << run.output;
    const int line = r.LineOf(k.where) + k.offset;
    EXPECT_TRUE(Has(run.output, "control file control.txt, line " + std::to_string(line) + ")")) << line << run.output;
  }
  RoutedBasin two("routing_twice_receivers", kHead + twoReceivers);
  EXPECT_TRUE(Has(two.Run().output, "but routing description 1 routes it into subbasin 7 already"));
}

TEST(RoutingRun, ReservoirAbstractionAndRuleValuesOutOfRangeEndTheRunAtTheirLine) {
  // Subbasin 12 with a reservoir and an abstraction; the valid set-up ends
  // only because no runoff reaches the routing (43).
  const std::string valid = kHead +
                            "TG 12 (area = 0.08, rel = 1)\n"
                            "AL 1 (mode = extern al.txt 0.001 0.5 0.01 m3/s)\n"
                            "SP 1 (file = res.txt V0 = 5e6, C0 = 0 0 0 0 0 0 0 0 0)\n"
                            "end of the descriptions\n\n"
                            "[abstraction_rule_reservoir_1]\n3\n0 0\n1e6 1\n1e7 10\n\n";
  struct Case {
    std::string from, to;
    int code;
    std::string message;
    std::string line;  // the text of the line named
  };
  const Case cases[] = {
      // Above the rule's last row the reservoir passes its inflow: the set-up passes, with a WARNING.
      {"V0 = 5e6", "V0 = 5e9", 43,
       "V0 = 5000000000 [m3] lies above the largest volume 10000000 of its rule table "
       "[abstraction_rule_reservoir_1] (routing description 1, control file control.txt, line ",
       "SP 1"},
      {"V0 = 5e6", "V0 = nan", 35,
       "a number not negative, not \"nan\" (reservoir in subbasin 12, routing description 1, control file control.txt, "
       "line ",
       "SP 1"},
      {"V0 = 5e6", "V0 = -1", 35, "not \"-1\"", "SP 1"},
      {"1e6 1\n", "1e6 -1\n", 34, "\"-1\" in row 2, column 1, of the rule table is negative", "1e6 -1"},
      {"0 0\n1e6", "-1 0\n1e6", 34, "\"-1\" in row 1 (its first value, the volume or flow of the row)", "-1 0\n1e6"},
      {"1e7 10\n", "5e5 10\n", 34, "the first value \"5e5\" of row 3 of the rule table is below", "5e5 10"},
      // Two rows of one volume: a step of the rule.
      {"1e7 10\n", "1e6 10\n", 43, "", ""},
      {"3\n0 0\n1e6 1\n1e7 10\n", "3 1 400\n0 0 0\n1e6 1 1\n1e7 10 10\n", 34,
       "the day 400 of rule column 2 is no day of the year (1 ... 366)", "3 1 400"},
      {"0.001 0.5 0.01", "0.001 1.5 0.01", 17, "the share 1.5 of abstraction 1 has to lie within 0 ... 1", "AL 1"},
      {"0.001 0.5 0.01", "0.001 0.5 -0.01", 17,
       "the largest abstraction (maximum) -0.01 of abstraction 1 has to be 0 or more", "AL 1"},
      {"0.001 0.5 0.01", "-0.001 0.5 0.01", 17, "the minimum flow -0.001 of abstraction 1 has to be 0 or more", "AL 1"},
      {"[abstraction_rule_reservoir_1]", "[abstraction_rule_reservoir_2]", 34,
       "section [abstraction_rule_reservoir_1] not found in control file control.txt", ""},
  };
  RoutedBasin good("routing_elements", valid);
  const auto base = good.Run();
  EXPECT_EQ(base.exitCode, 43) << base.output;
  // Below the rule's first volume a reservoir releases nothing: a start
  // there is one that fills from empty.
  std::string empty = valid;
  empty.replace(empty.find("V0 = 5e6"), 8, "V0 = 0");
  empty.replace(empty.find("3\n0 0\n"), 6, "3\n5e5 0\n");
  EXPECT_EQ(RoutedBasin("routing_elements_empty", empty).Run().exitCode, 43);
  int i = 0;
  for (const Case& k : cases) {
    std::string text = valid;
    text.replace(text.find(k.from), k.from.size(), k.to);
    RoutedBasin r("routing_elements" + std::to_string(i++), text);
    const auto run = r.Run();
    EXPECT_EQ(run.exitCode, k.code) << k.to << run.output;
    // A FATAL entry of the diagnostics.
    EXPECT_TRUE(Has(fluvextest::ReadFile(r.basin.dir / "Fluvex_Diag_0.xml"), "<line level=\"0\"")) << k.to;
    EXPECT_TRUE(Has(run.output, k.message)) << k.to << run.output;
    if (!k.line.empty()) {
      EXPECT_TRUE(Has(run.output, "control file control.txt, line " + std::to_string(r.LineOf(k.line))))
          << k.to << run.output;
    }
    EXPECT_FALSE(Has(run.output, "$$$")) << k.to;
  }
}
