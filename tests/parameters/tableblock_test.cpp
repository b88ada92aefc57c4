#include "parameters/tableblock.h"

#include <gtest/gtest.h>

#include "tablefixture.h"

TEST(TableBlock, KeysMatchOnlyWholeIdentifiersInTheBody) {
  // The longer key written first must not hide the shorter one.
  TableBlock b("3 loam method = MultipleHorizons ksat {\n ksat_topmodel = 1e-4; ksat = 2e-5 3e-6;\n LAI_max = 9;\n}");
  std::string v;
  ASSERT_TRUE(b.FindValueText("ksat", v));
  EXPECT_EQ(v, " 2e-5 3e-6");
  double x = 0;
  ASSERT_TRUE(b.ReadKeyValue("ksat_topmodel", x));
  EXPECT_DOUBLE_EQ(x, 1e-4);
  EXPECT_FALSE(b.Has("LAI"));   // only inside LAI_max
  EXPECT_FALSE(b.Has("loam"));  // header words are no keys
  EXPECT_FALSE(b.Has("max"));
  // Case matters: TReduWet is not inside LimitReduWet; a key ending in "*" still needs a clean start.
  TableBlock c("1 a {LimitReduWet = 0.5; XF* = 3; F* = 250;}");
  EXPECT_FALSE(c.Has("TReduWet"));
  ASSERT_TRUE(c.ReadKeyValue("F*", x));
  EXPECT_DOUBLE_EQ(x, 250);
  EXPECT_EQ(TableBlock::FindKey("SR_rough_coeff10 = 1; SR_rough_coeff1 = 2;", "SR_rough_coeff1"), 22u);
}

TEST(TableBlock, ValueTextRunsFromEqualsToSemicolonAndFirstOccurrenceWins) {
  double list[5] = {};
  // The remark's ";" comes before the first "=": the value runs to the body's end.
  TableBlock remark("1 a { remark Z0 open; Z0 = 1 2 3 4; }");
  EXPECT_EQ(remark.ReadKeyValues("Z0", list, 4), 4);
  EXPECT_DOUBLE_EQ(list[1], 1);
  EXPECT_DOUBLE_EQ(list[4], 4);
  EXPECT_DOUBLE_EQ(list[0], 4);
  TableBlock twice("1 a { Z0 =1; Z0 = 1 2 3 4; }");
  EXPECT_EQ(twice.ReadKeyValues("Z0", list, 4), 1);  // the first item wins and is too short
  // No "=": the value text is the key up to ";".
  TableBlock noEquals("1 a { JulDays 5; }");
  std::string v;
  ASSERT_TRUE(noEquals.FindValueText("JulDays", v));
  EXPECT_EQ(v, "JulDays 5");
  double x = -1;
  TableBlock blanks("1 a { IntercepCap =   0.5 ; bad = x; }");
  ASSERT_TRUE(blanks.ConvertDouble("IntercepCap", x));
  EXPECT_DOUBLE_EQ(x, 0.5);
  ASSERT_TRUE(blanks.ReadKeyValue("bad", x));
  EXPECT_DOUBLE_EQ(x, 0.0);
}

TEST(TableBlock, ListsSpanLinesStopAtCommasAndKeepTheFirstN) {
  double list[6] = {};
  TableBlock lines("1 a {\n rsc = 60 60\n 70 70\n 80;\n}");
  EXPECT_EQ(lines.ReadKeyValues("rsc", list, 5), 5);
  EXPECT_DOUBLE_EQ(list[5], 80);
  EXPECT_DOUBLE_EQ(list[0], 80);
  TableBlock longer("1 a { LAI = 1 2 3 4 5 6; }");
  EXPECT_EQ(longer.ReadKeyValues("LAI", list, 3), 3);
  EXPECT_DOUBLE_EQ(list[0], 3);
  TableBlock comma("1 a { LAI = 1 2, 3; }");
  EXPECT_EQ(comma.ReadKeyValues("LAI", list, 3), 2);
  EXPECT_EQ(comma.ReadKeyValues("VCF", list, 3), -1);
}

TEST(TableBlock, DayListsAndFlagTexts) {
  std::vector<int> days;
  bool ok = true;
  TableBlock b("1 a { JulDays = 1 120, 240;366 }");
  ASSERT_TRUE(b.ReadDayList("JulDays", days, ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(days, (std::vector<int>{240 - 366, 1, 120, 240}));
  TableBlock empty("1 a { JulDays = ; }");
  ASSERT_TRUE(empty.ReadDayList("JulDays", days, ok));
  EXPECT_FALSE(ok);
  ok = true;
  // A line end inside the list would silently drop days: rejected.
  TableBlock split("1 a { JulDays = 1 120\n240; }");
  ASSERT_TRUE(split.ReadDayList("JulDays", days, ok));
  EXPECT_FALSE(ok);
  std::string flags;
  ok = true;
  TableBlock f("1 a { useInternalParameters = x 1 1 ; }");
  ASSERT_TRUE(f.ReadFlagText("useInternalParameters", flags, ok));
  EXPECT_EQ(flags, "1 1 ");
  TableBlock none("1 a { useInternalParameters = yes; }");
  ASSERT_TRUE(none.ReadFlagText("useInternalParameters", flags, ok));
  EXPECT_FALSE(ok);
}

TEST(TableBlock, BlocksEndAtTheFirstBrace) {
  ControlFileFixture cf("tableblock_read", "1 a {\n b = 1;\n}\nnext line\n2 c { }\n");
  std::string text;
  ASSERT_TRUE(cf.file.GetLine(text));
  ASSERT_TRUE(TableBlock::ReadRest(cf.file, text));
  EXPECT_EQ(text, "1 a {\n b = 1;\n}\n");
  ASSERT_TRUE(cf.file.GetLine(text));
  ASSERT_TRUE(cf.file.GetLine(text));
  ASSERT_TRUE(TableBlock::ReadRest(cf.file, text));  // a one-line block
  EXPECT_EQ(text, "2 c { }\n");
}
