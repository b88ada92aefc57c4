// Operating rules read from their control-file sections: column weights of a
// date, table look-up in both directions, weekday and hour activity, and the
// malformed tables that are refused.
#include "routing/rules.h"

#include <gtest/gtest.h>

#include <sstream>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

namespace {

class RulesTest : public ::testing::Test {
 protected:
  RulesTest() : dir("rules"), diag(dir / "d.xml", 4, &console) {}
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
  bool Said(const std::string& text) const { return console.str().find(text) != std::string::npos; }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
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
  EXPECT_EQ(r.Lookup(25, c, w), 3);  // above the table: column c's last row, not mixed
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

}  // namespace
