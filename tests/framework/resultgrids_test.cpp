// Result grids of the grid list: when each write-code kind writes, the names
// it writes under, and the sum, mean, minimum, maximum and vegetation-period
// companions. Expected files are written by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "framework/modelobject.h"
#include "tests/support/diagcapture.h"

using fluvextest::FileExists;
using fluvextest::ReadFile;

namespace {

const std::string kData = std::string(FLUVEX_TEST_DATA) + "/resultgrids/";
const std::string kHeader = "ncols\t3\nnrows\t2\nxllcorner\t0\nyllcorner\t0\ncellsize\t100\nnodata_value\t-9999\n";

class ResultObject : public modelobject {
 public:
  ResultObject(DiagStream* d, const std::string& dir) : modelobject(d, "", 0, Args(dir)) { modulname = "results"; }

 private:
  static ModelObjectArgs Args(const std::string& dir) {
    ModelObjectArgs args;
    args.DefaultOutputDirectory = dir + "/";
    args.WriteAsciiGrids = true;
    return args;
  }
};

// A 3 x 2 raster: zones 1 1 2 / nodata 2 2; the entry under test at position 2.
class ResultGridTest : public ::testing::Test {
 protected:
  ResultGridTest()
      : diag("resultgrids_np" + std::to_string(fluvextest::MpiSize())), list(kGridListSize), object(diag.get(), Dir()) {
    object.SetGeometry(3, 2, 0, 0, 100, -9999);
    object.SetRowRange(1, 2);
    object.SetDataColumns(columns);
    object.SetGridList(list.data());
    Grid zone = NewGrid({1, 1, 2, -9999, 2, 2});
    object.RegisterGrid(1, "zones.asc", zone, nullptr, 0, "zonegrid", 0, 1, 2);
  }
  ~ResultGridTest() override {
    for (int i = 1; i < kGridListMax; ++i) object.UnregisterGrid(i);
    for (Grid g : grids) object.FreeMatrix(g, 1, 2, 1, 3);
  }
  std::string Dir() const { return diag.Dir().path(); }
  std::string Out(const std::string& name) const { return Dir() + "/" + name; }
  Grid NewGrid(std::vector<double> values) {
    grids.push_back(object.matrix(1, 2, 1, 3, 2));
    Set(grids.back(), values);
    return grids.back();
  }
  static void Set(Grid g, const std::vector<double>& v) {
    for (int i = 0; i < 6; ++i) g[1 + i / 3][1 + i % 3] = v[i];
  }
  // Registers the entry at position 2 and returns its value grid.
  Grid Entry(const std::string& file, int code) {
    Grid g = NewGrid({0, 0, 0, 0, 0, 0});
    object.RegisterGrid(2, file, g, nullptr, 0, "temp", code, 1, 2);
    return g;
  }
  void Step(int64_t y, int64_t m, int64_t d, int64_t h, int position = 2) {
    object.SetStepDate(y, m, d, h);
    object.WriteStatisticGrids(position, 1, 0);
  }

  ColumnRange columns[3] = {{0, -1}, {1, 3}, {2, 3}};
  fluvextest::DiagCapture diag;
  std::vector<GridListEntry> list;
  ResultObject object;
  std::vector<Grid> grids;
};

TEST_F(ResultGridTest, DatedFilesEveryStepAndTheRunSumAtTheEnd) {
  object.SetDate(2003, 1, 2, 24);
  Grid g = Entry("temp.asc", 12);
  for (int i = 1; i <= 48; ++i) {
    // One cell is missing in every second step, one always: neither has a
    // sum of the run (a sum of half the steps would pass for the whole).
    Set(g, {double(i), 2.0 * i, 0.5, 100, i % 2 ? -9999.0 : 1.0, -9999});
    Step(2003, 1, i <= 24 ? 1 : 2, (i - 1) % 24 + 1);
    if (i == 47) {
      EXPECT_FALSE(FileExists(Out("temp.sum")));
    }
  }
  int dated = 0;
  for (const auto& file : std::filesystem::directory_iterator(Dir()))
    dated += file.path().filename().string().rfind("temp_2003010", 0) == 0;
  EXPECT_EQ(dated, 48);
  EXPECT_EQ(ReadFile(Out("temp_20030102.005")), kHeader + "29\t58\t0.5\n100\t-9999\t-9999\n");
  EXPECT_EQ(ReadFile(Out("temp.sum")), ReadFile(kData + "code12.sum.asc"));
  EXPECT_TRUE(FileExists(Out("temp.asc")));  // the last step once more under the plain name
}

TEST_F(ResultGridTest, DailyMeanAtTheStepThatEndsTheDay) {
  object.SetDate(2003, 12, 31, 24);
  object.SetMinToIntEnd(60);  // hour 23 ends at midnight
  Grid g = Entry("temp.asc", 80);
  for (int h = 0; h <= 23; ++h) {
    Set(g, {double(h), 10, h < 12 ? -9999.0 : h, 7, -9999, 2.0 * h});
    Step(2003, 1, 1, h);
    EXPECT_EQ(FileExists(Out("temp_0301.01m")), h == 23) << h;
  }
  EXPECT_EQ(ReadFile(Out("temp_0301.01m")), ReadFile(kData + "code80.mean.asc"));
  EXPECT_FALSE(FileExists(Out("temp.asc")));  // kind 0: the grid itself is not written

  object.SetMinToIntEnd(0);  // now hour 24 ends the day
  Step(2003, 1, 2, 23);
  EXPECT_FALSE(FileExists(Out("temp_0301.02m")));
  Step(2003, 1, 2, 24);
  EXPECT_TRUE(FileExists(Out("temp_0301.02m")));
}

TEST_F(ResultGridTest, DatedNamesOfGridsAndStacks) {
  object.SetDate(2099, 1, 1, 1);
  Entry("temp", 2);
  for (int call = 0; call < 3; ++call) Step(2003, 1, 1, 24);
  Step(2003, 1, 2, 24);
  for (const char* name : {"temp_20030101.024", "temp_20030101.024_001", "temp_20030101.024_002", "temp_20030102.024"})
    EXPECT_TRUE(FileExists(Out(name))) << name;
  EXPECT_FALSE(FileExists(Out("temp_20030102.024_001")));

  std::filesystem::create_directories(Out("out/2003"));
  object.UnregisterGrid(2);
  Entry("out/2003/temp.asc", 2);
  Step(2003, 1, 1, 24);
  EXPECT_TRUE(FileExists(Out("out/2003/temp_20030101.024")));

  // Stacks keep four characters of the stem.
  Stack stack = object.matrix3d(1, 2, 1, 3, 1, 2);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c)
      for (int l = 0; l <= 1; ++l) stack[r][c][l] = (r - 1) * 100 + (c - 1) * 10 + l;
  object.RegisterGrid(3, "soilmoisture.stk", nullptr, stack, 1, "soil", 2, 1, 2);
  object.RegisterGrid(4, "ab", nullptr, stack, 1, "ab", 5, 1, 2);
  object.WriteDatedGrid(3);
  object.WriteDatedGrid(4);  // kind 5: not at hour 24 - 1
  object.SetStepDate(2003, 1, 1, 24);
  object.WriteDatedGrid(4);
  EXPECT_EQ(ReadFile(Out("soil_20030101.024")), ReadFile(kData + "soil.stack.asc"));
  EXPECT_TRUE(FileExists(Out("ab_20030101.024")));
  object.UnregisterGrid(3);
  object.UnregisterGrid(4);
  object.FreeMatrix3d(stack, 1, 2);
}

TEST_F(ResultGridTest, MonthlySumsFollowTheGregorianFebruary) {
  for (int64_t y : {2000, 2001}) {
    object.UnregisterGrid(2);
    object.SetDate(y, 12, 31, 24);
    Grid g = Entry("temp.asc", 30);
    Set(g, {1, 1, 1, 1, 1, 1});
    const int days = y == 2000 ? 29 : 28;
    for (int d = 1; d <= days; ++d) {
      EXPECT_FALSE(FileExists(Out(y == 2000 ? "temp_0002.sum" : "temp_0102.sum"))) << d;
      Step(y, 2, d, 24);
    }
    const std::string sum = y == 2000 ? "29" : "28";
    EXPECT_EQ(ReadFile(Out(y == 2000 ? "temp_0002.sum" : "temp_0102.sum")),
              kHeader + sum + "\t" + sum + "\t" + sum + "\n-9999\t" + sum + "\t" + sum + "\n");
  }
}

TEST_F(ResultGridTest, MinimumAndMaximumSkipMissingCells) {
  object.SetDate(2003, 1, 1, 3);
  Grid g = Entry("temp.asc", 300);
  const std::vector<std::vector<double>> steps = {
      {5, -9999, 2, 50, 1, -9999}, {3, 7, 8, 50, 2, -9999}, {4, 6, -9999, 50, 3, -9999}};
  for (int s = 1; s <= 3; ++s) {
    Set(g, steps[s - 1]);
    Step(2003, 1, 1, s);
    EXPECT_EQ(FileExists(Out("temp.min")), s == 3);
  }
  EXPECT_EQ(ReadFile(Out("temp.min")), ReadFile(kData + "minmax.min.asc"));
  EXPECT_EQ(ReadFile(Out("temp.max")), ReadFile(kData + "minmax.max.asc"));
}

TEST_F(ResultGridTest, KindsWriteAtTheirDates) {
  object.SetDate(2003, 1, 9, 24);  // beyond the steps below
  const char* files[4] = {"k3.asc", "k4.asc", "k6.asc", "k7.asc"};
  const int codes[4] = {3, 4, 6, 7};
  for (int i = 0; i < 4; ++i)
    object.RegisterGrid(i + 2, files[i], NewGrid({1, 2, 3, 4, 5, 6}), nullptr, 0, files[i], codes[i], 1, 2);
  auto day = [&](int64_t y, int64_t m, int64_t d) {
    for (int p = 2; p <= 5; ++p) Step(y, m, d, 24, p);
  };
  day(2002, 12, 30);
  EXPECT_TRUE(FileExists(Out("k4.asc")));
  day(2002, 12, 31);
  day(2003, 1, 1);
  EXPECT_TRUE(FileExists(Out("k6_20021231.024")));
  EXPECT_TRUE(FileExists(Out("k7_20021231.024")));
  EXPECT_FALSE(FileExists(Out("k6_20021230.024")));
  EXPECT_FALSE(FileExists(Out("k3.asc")));
  object.SetDate(2003, 1, 2, 24);  // the user cancels after this step
  day(2003, 1, 2);
  EXPECT_TRUE(FileExists(Out("k3.asc")));

  object.RegisterGrid(6, "k8.asc", NewGrid({1, 2, 3, 4, 5, 6}), nullptr, 0, "k8", 8, 1, 2);
  EXPECT_TRUE(FileExists(Out("k8.asc.filled")));  // written at registration
}

TEST_F(ResultGridTest, VegetationPeriodOfTheEntrysLayer) {
  object.SetDate(2003, 12, 31, 24);
  Grid g = Entry("lai_Layer_2.asc", 1000);
  Set(g, {3, 3, 3, 3, 3, 3});
  // In the period: start not negative and stop not positive (row 1 only).
  object.RegisterGrid(3, "s", NewGrid({0, 5, 0, -1, -1, -1}), nullptr, 0, "VegetationStart2", 0, 1, 2);
  object.RegisterGrid(4, "e", NewGrid({0, 0, -2, 0, 0, 0}), nullptr, 0, "VegetationStop2", 0, 1, 2);
  object.RegisterGrid(5, "d", NewGrid({2, 2, 2, 2, 2, 2}), nullptr, 0, "VegetationDuration2", 0, 1, 2);
  Step(2003, 6, 1, 24);
  list[2].vegwrite = 1;
  Step(2003, 6, 2, 24);
  EXPECT_EQ(ReadFile(Out("lai_Layer_2_0003_vegper.sum")), kHeader + "6\t6\t6\n-9999\t0\t0\n");
}

}  // namespace
