// The statistics of an interpolated grid take a row of cells at once; the
// sums must be those of the cells added one by one, bit for bit.
#include "application/meteostatistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "framework/diagstream.h"
#include "tests/support/testutil.h"

namespace {

// Records the cells it is given; AddRow is the interface's own.
class Recorder : public MeteoStatistics {
 public:
  struct Cell {
    int row, column, zone;
    double value, weight;
  };
  void WriteHeader(const std::string&, const std::string&) override {}
  void NewStep() override {}
  void AddCell(int row, int column, int zone, double value, double weight) override {
    cells.push_back(Cell{row, column, zone, value, weight});
  }
  void Reduce(int64_t, int64_t, int64_t, int64_t, int) override {}
  void Flush() override {}
  void Finish() override {}
  std::vector<Cell> cells;
};

TEST(MeteoStatisticsTest, ARowIsItsCellsInOrder) {
  Recorder r;
  const int columns[3] = {2, 5, 6};
  const int zones[3] = {1, 3, 1};
  const double values[3] = {0.5, -9999, 7};
  r.AddRow(4, 3, columns, zones, values);
  ASSERT_EQ(r.cells.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(r.cells[i].row, 4);
    EXPECT_EQ(r.cells[i].column, columns[i]);
    EXPECT_EQ(r.cells[i].zone, zones[i]);
    EXPECT_EQ(r.cells[i].value, values[i]);
    EXPECT_EQ(r.cells[i].weight, 1.0);
  }
}

class ZonalMeteoStatisticsTest : public ::testing::Test {
 protected:
  ZonalMeteoStatisticsTest() : dir("meteostat"), diag(dir / "d.xml", 4, &console), memory(&diag) {
    area = memory.matrix(1, 2, 1, 6, 0);
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 6; ++c) area[r][c] = c == 3 ? -9999.0 : 0.3 + 0.11 * c * r;
    for (int k = 0; k <= 3; ++k) zones.push_back(ZoneRecord{0, 0, 10.0 * k, 1.0 / 3, 0});
    settings.diag = &diag;
    settings.relCellArea = area;
    settings.rows = 2;
    settings.columns = 6;
    settings.zoneTemplate = zones.data();
    settings.zoneCount = 3;
    settings.outputDirectory = dir.path() + "/";
  }
  ~ZonalMeteoStatisticsTest() override { memory.FreeMatrix(area, 1, 2, 1, 6); }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  Grid area = nullptr;
  std::vector<ZoneRecord> zones;
  ZonalMeteoStatistics::Settings settings;
};

TEST_F(ZonalMeteoStatisticsTest, RowsGiveTheLinesOfSingleCells) {
  int error = -1;
  ZonalMeteoStatistics byCell(error, settings, "cell.sta", 2001);
  ASSERT_EQ(error, 0);
  ZonalMeteoStatistics byRow(error, settings, "row.sta", 2001);
  ASSERT_EQ(error, 0);
  EXPECT_TRUE(byRow.IsActive());
  byCell.WriteHeader("temperature", "t");
  byRow.WriteHeader("temperature", "t");
  // Zones change within the rows and come back; a missing value, a value that
  // is no number and a cell without area among them.
  const int columns[6] = {1, 2, 3, 4, 5, 6};
  const int zone[2][6] = {{1, 1, 2, 1, 3, 3}, {2, 2, 1, 1, 3, 2}};
  const double value[2][6] = {{1.1e-3, 2.7e4, 3.3, -9999, 5.5e8, 0.7},
                              {std::numeric_limits<double>::quiet_NaN(), 1.9, 2.3e6, 4.1e-5, 8.8, 1.3}};
  for (int step = 1; step <= 2; ++step) {
    byCell.NewStep();
    byRow.NewStep();
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 6; ++c) byCell.AddCell(r, c, zone[r - 1][c - 1], value[r - 1][c - 1] * step, 1.0);
      double scaled[6];
      for (int c = 0; c < 6; ++c) scaled[c] = value[r - 1][c] * step;
      byRow.AddRow(r, 6, columns, zone[r - 1], scaled);
    }
    byCell.Reduce(2015, 1, 1, step, 1);
    byRow.Reduce(2015, 1, 1, step, 1);
  }
  byCell.Finish();
  byRow.Finish();
  if (fluvextest::MpiRank() != 0) return;
  const std::string cellFile = fluvextest::ReadFile(dir / "cell.sta");
  EXPECT_FALSE(cellFile.empty());
  EXPECT_EQ(fluvextest::ReadFile(dir / "row.sta"), cellFile);
}

TEST_F(ZonalMeteoStatisticsTest, ALowCodeIsInactive) {
  int error = -1;
  ZonalMeteoStatistics none(error, settings, "none.sta", 0);
  ASSERT_EQ(error, 0);
  EXPECT_FALSE(none.IsActive());
}

}  // namespace
