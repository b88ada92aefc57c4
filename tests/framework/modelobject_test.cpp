#include "framework/modelobject.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/framework/codeof.h"
#include "tests/support/diagcapture.h"

using fluvextest::DiagCapture;

namespace {

class TestObject : public modelobject {
 public:
  explicit TestObject(DiagStream* d) : modelobject(d, "unused.ctl", 0, ModelObjectArgs{}) { modulname = "snow_model"; }
};

// A model object on a 4 x 3 raster with a fresh grid list.
class GridListTest : public ::testing::Test {
 protected:
  GridListTest() : diag("gridlist"), list(kGridListSize), object(diag.get()) {
    object.SetGeometry(3, 4, 0, 0, 100, -9999);
    object.SetGridList(list.data());
  }
  ~GridListTest() override {
    for (int i = 1; i <= kGridListMax; ++i) object.UnregisterGrid(i);
    for (Grid g : owned) object.FreeMatrix(g, 1, 4, 1, 3);
  }
  Grid NewGrid() {
    owned.push_back(object.matrix(1, 4, 1, 3, 4));
    return owned.back();
  }

  DiagCapture diag;
  std::vector<GridListEntry> list;
  TestObject object;
  std::vector<Grid> owned;
};

TEST_F(GridListTest, WriteCodeDigitsChooseTheCompanions) {
  object.RegisterGrid(1, "zone.asc", NewGrid(), nullptr, 0, "zonegrid", 0, 1, 4);
  object.RegisterGrid(2, "a.asc", NewGrid(), nullptr, 0, "a", 311, 1, 4);
  object.RegisterGrid(3, "b.asc", NewGrid(), nullptr, 0, "b", 1201, 1, 4);
  const GridListEntry& zero = list[1];
  EXPECT_FALSE(zero.sumgrid || zero.mingrid || zero.maxgrid || zero.veggrid);
  const GridListEntry& a = list[2];
  EXPECT_EQ(a.kind, 1);
  EXPECT_TRUE(a.sumgrid && a.mingrid && a.maxgrid);
  EXPECT_EQ(a.veggrid, nullptr);
  EXPECT_EQ(a.sumname, "a.asc");
  EXPECT_EQ(a.maxname, "a.asc");
  const GridListEntry& b = list[3];
  EXPECT_EQ(b.kind, 1);
  EXPECT_TRUE(!b.sumgrid && !b.mingrid && b.maxgrid && b.veggrid);
  EXPECT_EQ(b.vegname, "b.asc");
  // Companions cover the entry's rows and all columns, starting at zero.
  EXPECT_EQ(a.sumgrid[4][3], 0.0);
  EXPECT_EQ(b.firstrow, 1);
  EXPECT_EQ(b.lastrow, 4);
}

TEST_F(GridListTest, PositionsAreBoundedAndNeverOverwritten) {
  object.RegisterGrid(999, "last.asc", NewGrid(), nullptr, 0, "last", 0, 1, 4);
  EXPECT_EQ(list[999].shortname, "last");

  EXPECT_EQ(CodeOf([&] { object.RegisterGrid(1000, "x.asc", NewGrid(), nullptr, 0, "x", 0, 1, 4); }), 12);
  EXPECT_NE(diag.Console().find("no free grid in memory,(max. 1000)!"), std::string::npos);
  EXPECT_EQ(CodeOf([&] { object.RegisterGrid(0, "x.asc", NewGrid(), nullptr, 0, "x", 0, 1, 4); }), 12);
  EXPECT_EQ(CodeOf([&] { object.RegisterGrid(-3, "x.asc", NewGrid(), nullptr, 0, "x", 0, 1, 4); }), 12);

  Grid first = NewGrid();
  object.RegisterGrid(5, "t.asc", first, nullptr, 0, "temperature", 11, 1, 4);
  Grid sum = list[5].sumgrid;
  EXPECT_EQ(CodeOf([&] { object.RegisterGrid(5, "p.asc", NewGrid(), nullptr, 0, "precipitation", 0, 1, 4); }), 12);
  EXPECT_EQ(list[5].grid, first);
  EXPECT_EQ(list[5].shortname, "temperature");
  EXPECT_EQ(list[5].sumgrid, sum);
  EXPECT_EQ(diag.FatalEntries(), 4);

  // Once released the position takes a new grid.
  object.UnregisterGrid(5);
  EXPECT_EQ(list[5].sumgrid, nullptr);
  EXPECT_TRUE(list[5].shortname.empty());
  object.RegisterGrid(5, "p.asc", NewGrid(), nullptr, 0, "precipitation", 0, 1, 4);
  EXPECT_EQ(list[5].shortname, "precipitation");
}

TEST_F(GridListTest, SearchesStopAtTheEndOfTheList) {
  Stack soil = object.matrix3d(1, 4, 1, 3, 2, 4);
  object.RegisterGrid(1, "zone.asc", NewGrid(), nullptr, 0, "zonegrid", 0, 1, 4);
  object.RegisterGrid(2, "soil.stk", nullptr, soil, 2, "soil", 0, 1, 4);
  object.RegisterGrid(3, "t.asc", NewGrid(), nullptr, 0, "temperature", 0, 1, 4);
  object.RegisterGrid(5, "late.asc", NewGrid(), nullptr, 0, "late", 0, 1, 4);  // behind a gap

  EXPECT_EQ(object.FindGrid("zonegrid", false), 1);
  EXPECT_EQ(object.FindGrid("temperature", false), 0);  // the stack-only entry ends a search for grids
  EXPECT_EQ(object.FindGrid("temperature", true), 3);
  EXPECT_EQ(object.FindGrid("soil", true), 2);
  EXPECT_EQ(object.FindGrid("Temperature", true), 0);  // case-sensitive
  EXPECT_EQ(object.FindGrid("late", true), 0);
  EXPECT_EQ(object.GetGrid("temperature"), 3);
  EXPECT_EQ(object.GetGridOf3("none", "soil", "temperature"), 2);
  EXPECT_EQ(object.GetGridOf4("a", "b", "c", "temperature"), 3);
  object.FreeMatrix3d(soil, 1, 4);
}

TEST_F(GridListTest, MissingGridsNameTheModule) {
  object.RegisterGrid(1, "zone.asc", NewGrid(), nullptr, 0, "zonegrid", 0, 1, 4);
  EXPECT_EQ(CodeOf([&] { object.GetGrid("snowcover_outflow"); }), 33);
  EXPECT_NE(
      diag.Console().find("FATAL: ---------------- !!! ERROR !!!  --------------------------\nsnowcover_outflow not "
                          "found in memory,\nThese data are needed within snow_model \nif they are interpolated "
                          "data, please specify an interpolator for\nsnowcover_outflow in the control file or "
                          "read it in as a standardfile,\n"),
      std::string::npos);
  EXPECT_EQ(CodeOf([&] { object.GetGridOf3("a", "b", "c"); }), 33);
  EXPECT_NE(diag.Console().find("Wether a, b or c \nwhere found in memory,\nOne of these data sets has to be present "
                                "within snow_model \n"),
            std::string::npos);
  EXPECT_EQ(CodeOf([&] { object.GetGridOf4("a", "b", "c", "d"); }), 33);
  EXPECT_NE(diag.Console().find("Wether a, b, c or d \n"), std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 3);
}

TEST(ModelObjectDate, KeysOrderDatesAndMonthsFollowTheYear) {
  DiagCapture diag("date");
  TestObject object(diag.get());
  object.SetDate(1984, 1, 1, 24);
  EXPECT_EQ(object.GetDateKey(), 184520024);
  EXPECT_EQ(DateKey(1984, 1, 2, 0), 184520250);
  EXPECT_EQ(DateKey(1984, 12, 31, 24), 184612774);
  EXPECT_LT(DateKey(1984, 12, 31, 24), DateKey(1985, 1, 1, 0));
  EXPECT_EQ(DateKey(1985, 1, 1, 0), 184613000);
  EXPECT_EQ(object.MonthLength(2), 29);
  object.SetDate(1900, 3, 1, 0);
  EXPECT_EQ(object.MonthLength(2), 28);
}

TEST(ModelObjectStatistics, MinimumAndMaximumStartAtTheFirstValue) {
  DiagCapture diag("stat");
  TestObject object(diag.get());
  double n, lo, hi, sum, mean, sd;
  // All values negative, weights not 1: a start from 0 would report maximum 0.
  object.StatReset(-9999);
  object.StatAdd(-5, 0.5);
  object.StatAdd(-2, 0.5);
  object.StatAdd(-3, 0.5);
  object.StatAdd(-9998, 1);  // not above nodata + 1
  object.StatResult(n, lo, hi, sum, mean, sd);
  EXPECT_DOUBLE_EQ(n, 1.5);
  EXPECT_DOUBLE_EQ(lo, -5);
  EXPECT_DOUBLE_EQ(hi, -2);
  EXPECT_DOUBLE_EQ(sum, -5);
  EXPECT_DOUBLE_EQ(mean, -5 / 1.5);
  EXPECT_EQ(sd, -9999);  // count not above 2

  object.StatReset(-9999);
  for (double v : {2.0, 4.0, 9.0}) object.StatAdd(v, 1);
  object.StatResult(n, lo, hi, sum, mean, sd);
  EXPECT_DOUBLE_EQ(mean, 5);
  // Sample variance ((2-5)^2 + (4-5)^2 + (9-5)^2) / 2 = 13.
  EXPECT_DOUBLE_EQ(sd, std::sqrt(13.0));
  EXPECT_DOUBLE_EQ(lo, 2);
  EXPECT_DOUBLE_EQ(hi, 9);

  object.StatReset(-9999);
  object.StatResult(n, lo, hi, sum, mean, sd);
  EXPECT_EQ(mean, -9999);  // nothing added
  object.StatAdd(1, 1);
  object.StatAdd(7, 1);
  object.StatResult(n, lo, hi, sum, mean, sd);
  EXPECT_EQ(sd, -9999);  // a count of exactly 2
}

}  // namespace
