// Zone ranking of "zonegrid_soilmodel": every instance must end with the same
// tables, or with the same error code.
#include <vector>

#include "tests/framework/submodel_support.h"

namespace {

class ZoneGridTest : public SubModelFixture {
 protected:
  ZoneGridTest() : SubModelFixture("zonegrid") {}
  ~ZoneGridTest() override {
    if (soil) memory.FreeMatrix(soil, 1, rows, 1, cols);
    if (area) memory.FreeMatrix(area, 1, rows, 1, cols);
  }

  // A soil-model zone grid of rows x cols cells, filled by f(r, c).
  template <typename F>
  void SoilGrid(int r0, int c0, F f) {
    rows = r0;
    cols = c0;
    soil = memory.matrix(1, rows, 1, cols, 0);
    for (int r = 1; r <= rows; ++r)
      for (int c = 1; c <= cols; ++c) soil[r][c] = f(r, c);
    Enter(2, "zonegrid_soilmodel", soil);
  }
  void AreaGrid(double value) {
    area = memory.matrix(1, rows, 1, cols, 0);
    for (int r = 1; r <= rows; ++r)
      for (int c = 1; c <= cols; ++c) area[r][c] = value;
    Enter(3, "RelCellArea", area);
  }
  // Ranks the grid; returns the error code (0 on success).
  int Rank() {
    args.ncols = cols;
    args.nrows = rows;
    args.lastRow = rows;
    auto m = Make("[snow_model]\n1\n60\n");
    return CodeOf([&] { m->ReadZoneGrid(grid, table, index, count, largest); });
  }
  void TearDown() override {
    memory_handling::Free(table);
    memory_handling::Free(index);
  }

  int rows = 0;
  int cols = 0;
  Grid soil = nullptr;
  Grid area = nullptr;
  Grid grid = nullptr;
  ZoneRecord* table = nullptr;
  int* index = nullptr;
  int count = -1;
  int largest = -1;
};

TEST_F(ZoneGridTest, CodesRankedAscending) {
  const double v[2][3] = {{7, 3, -9999}, {12, 7, 3}};
  SoilGrid(2, 3, [&](int r, int c) { return v[r - 1][c - 1]; });
  ASSERT_EQ(Rank(), 0);
  EXPECT_EQ(grid, soil);
  ASSERT_EQ(count, 3);
  ASSERT_EQ(largest, 12);
  for (int code = 0; code <= 12; ++code) {
    const int expected = code == 3 ? 1 : code == 7 ? 2 : code == 12 ? 3 : 0;
    EXPECT_EQ(index[code], expected) << code;
  }
  // Without relative areas every cell weighs 1: 2, 2 and 1 of 5 cells.
  const double cells[4] = {0, 2, 2, 1};
  const double codes[4] = {1.0, 3, 7, 12};
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(table[k].zonenwert, codes[k]);
    EXPECT_EQ(table[k].sx, cells[k]);
    EXPECT_EQ(table[k].n, cells[k]);
    EXPECT_EQ(table[k].RelCellSum, cells[k]);
    EXPECT_DOUBLE_EQ(table[k].rel, cells[k] / 5);
  }
  // Record 0 holds the area: 5 cells of 1 km2.
  EXPECT_EQ(table[0].zonenwert, 1.0);
  EXPECT_DOUBLE_EQ(table[0].rel, 5.0);
}

TEST_F(ZoneGridTest, RoundedCodesAndMissingCells) {
  // 3.4 and 2.6 are zone 3 (value of the first cell met), -0.4 is zone 0,
  // -10000 is missing like -9999.
  const double v[2][3] = {{3.4, 2.6, -0.4}, {-10000, -9999, 2.6}};
  SoilGrid(2, 3, [&](int r, int c) { return v[r - 1][c - 1]; });
  AreaGrid(0.3);
  area[2][3] = kNodata;  // counts with area 1
  ASSERT_EQ(Rank(), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(index[0], 1);
  EXPECT_EQ(index[3], 2);
  EXPECT_EQ(table[1].zonenwert, -0.4);
  EXPECT_EQ(table[2].zonenwert, 3.4);
  EXPECT_EQ(table[2].sx, 3);
  // Areas below 1 are summed as they are: the total is 1.9, not 1 or 0.
  EXPECT_DOUBLE_EQ(table[2].n, 1.6);
  EXPECT_DOUBLE_EQ(table[1].rel + table[2].rel, 1.0);
  EXPECT_DOUBLE_EQ(table[0].rel, 1.9);
}

TEST_F(ZoneGridTest, BadGridsFailOnEveryInstance) {
  struct Case {
    int rows;
    double (*value)(int r, int c);
    int code;
    const char* message;
  };
  const Case cases[] = {
      {2, [](int, int) { return kNodata; }, 7, "all cells in zonegrid_soilmodel.asc are NODATA!"},
      {1, [](int, int c) { return c == 1 ? 32767.0 : 32768.0; }, 3,
       "wrong zone index in zonegrid_soilmodel.asc!\n Zones have to range from 0 to 32767!"},
      {1, [](int, int c) { return c == 1 ? 1.0 : -0.6; }, 3, "(value -0.6 in row 1, column 2)"},
      {101, [](int r, int c) { return double((r - 1) * 100 + c); }, 4,
       "too much subbasins (10100) in snow_model (max. 10000). Ende!"},
      {161, [](int r, int c) { return double((r - 1) * 100 + c); }, 4,
       "too much zones in zonegrid_soilmodel.asc, (max. 16000!)"},
  };
  for (const Case& c : cases) {
    SoilGrid(c.rows, 100, c.value);
    EXPECT_EQ(Rank(), c.code) << c.message;
    EXPECT_EQ(table, nullptr);
    EXPECT_TRUE(Said(c.message)) << c.message;
    memory.FreeMatrix(soil, 1, rows, 1, cols);
    soil = nullptr;
  }
  list[2] = GridListEntry{};
  EXPECT_EQ(Rank(), 33);
}

}  // namespace
