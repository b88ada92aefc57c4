// A statistic's cells added row by row (zonalstatistic::RowSums, and the
// statistics of a module side by side with StatisticRowsSideBySide) must give
// the zone sums of AddCell bit for bit: the results files are compared by
// their checksums.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "framework/diagstream.h"
#include "framework/statisticpasses.h"
#include "framework/zonalstatistic.h"
#include "tests/support/testutil.h"

namespace {

constexpr int kRows = 6;
constexpr int kCols = 40;
constexpr int kZones = 4;

// A statistic that tells what it noted of values that are no number.
class Probe : public zonalstatistic {
 public:
  using zonalstatistic::zonalstatistic;
  int64_t InvalidCount() const { return invalidcount; }
  int InvalidRow() const { return invalidrow; }
  int InvalidColumn() const { return invalidcolumn; }
  int InvalidZone() const { return invalidzone; }
  void ClearInvalid() { invalidcount = 0; }
};

// Values of very different sizes, so that every change of the order of a
// zone's sums changes its bits.
double ValueAt(int r, int c) {
  const double sizes[4] = {1e-7, 3.3, 1.7e5, 2.1e11};
  return sizes[(r * 7 + c * 3) % 4] * (1 + 0.013 * c) / (1 + 0.7 * r);
}

class StatisticRowsTest : public ::testing::Test {
 protected:
  StatisticRowsTest() : dir("rows"), diag(dir / "d.xml", 4, &console), memory(&diag) {
    area = memory.matrix(1, kRows, 1, kCols, 0);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) area[r][c] = (r + c) % 9 == 0 ? -9999.0 : 0.25 + 0.37 * ((r * c) % 5);
    // Zones in runs of changing length; a row comes back to zones it left,
    // and now and then a cell has a zone the statistic does not have.
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        int k = ((c + r) / (1 + r % 3)) % (kZones + 1);
        if ((r * kCols + c) % 17 == 0) k = (c % 2 == 0) ? -1 : kZones + 1;
        zone[r][c] = k;
        value[r][c] = ValueAt(r, c);
        weight[r][c] = (c % 3 == 0) ? 1.0 : 0.1 * ((r + c) % 10) + 0.0013 * c;
      }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // Missing values, values just above the missing value, and values that
    // are no number, the first of them in row 2.
    const double special[][3] = {{1, 5, -9999.0},   {1, 6, -1e30},      {2, 8, nan},     {2, 9, -9998.999},
                                 {3, 1, inf},       {3, 2, -inf},       {4, 20, nan},    {4, 21, -9999.0},
                                 {5, 40, 1e300},    {6, 3, -9999.0001}, {6, 4, -0.0}};
    for (const auto& s : special) value[static_cast<int>(s[0])][static_cast<int>(s[1])] = s[2];
  }
  ~StatisticRowsTest() override { memory.FreeMatrix(area, 1, kRows, 1, kCols); }

  static std::vector<ZoneRecord> Records() {
    std::vector<ZoneRecord> r(kZones + 1, ZoneRecord{0, 0, 0, 0, 0});
    for (int k = 0; k <= kZones; ++k) r[k].zonenwert = 10.0 * k;
    return r;
  }
  std::unique_ptr<Probe> Make(std::vector<ZoneRecord>& records, Grid areas, int code = 2001) {
    int error = -1;
    auto s = std::make_unique<Probe>(error, &diag, nullptr, 0, areas, kRows, kCols, records.data(), kZones, code, 5,
                                     "s.sta", dir.path() + "/", 0, nullptr);
    EXPECT_EQ(error, 0);
    s->NewStep();
    return s;
  }
  // Statistics 0 ... count - 1 twice, each with its own zone records: to be
  // filled cell by cell (expected) and by the code under test (actual).
  struct Pairs {
    std::vector<std::vector<ZoneRecord>> serial, tested;
    std::vector<std::unique_ptr<Probe>> expected, actual;
  };
  Pairs MakePairs(int count) {
    Pairs p;
    p.serial.assign(static_cast<size_t>(count), Records());
    p.tested.assign(static_cast<size_t>(count), Records());
    for (size_t s = 0; s < p.serial.size(); ++s) {
      p.expected.push_back(Make(p.serial[s], area));
      p.actual.push_back(Make(p.tested[s], area));
    }
    return p;
  }
  void AddAllCells(zonalstatistic& s) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) s.AddCell(r, c, zone[r][c], value[r][c], weight[r][c]);
  }
  static void ExpectSameBits(const std::vector<ZoneRecord>& a, const std::vector<ZoneRecord>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t k = 0; k < a.size(); ++k) {
      EXPECT_EQ(std::memcmp(&a[k].n, &b[k].n, sizeof(double)), 0) << "n of zone " << k;
      EXPECT_EQ(std::memcmp(&a[k].sx, &b[k].sx, sizeof(double)), 0) << "sx of zone " << k;
      EXPECT_EQ(std::memcmp(&a[k].RelCellSum, &b[k].RelCellSum, sizeof(double)), 0) << "RelCellSum of zone " << k;
    }
  }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  Grid area = nullptr;
  int zone[kRows + 1][kCols + 1] = {};
  double value[kRows + 1][kCols + 1] = {};
  double weight[kRows + 1][kCols + 1] = {};
};

TEST_F(StatisticRowsTest, RowsGiveTheBitsOfCellByCell) {
  // With the area grid (a missing area counts 1), with a row of it not
  // allocated here, and without one.
  double* partial[kRows + 1];
  for (int r = 0; r <= kRows; ++r) partial[r] = (r == 0 || r == 4) ? nullptr : area[r];
  for (Grid areas : {area, static_cast<Grid>(partial), static_cast<Grid>(nullptr)}) {
    std::vector<ZoneRecord> cellwise = Records(), rowwise = Records();
    auto byCell = Make(cellwise, areas);
    auto byRow = Make(rowwise, areas);
    AddAllCells(*byCell);
    for (int r = 1; r <= kRows; ++r) {
      zonalstatistic::RowSums sums(*byRow, r);
      for (int c = 1; c <= kCols; ++c) sums.Add(c, zone[r][c], value[r][c], weight[r][c]);
    }
    ExpectSameBits(cellwise, rowwise);
    EXPECT_GT(cellwise[1].RelCellSum, 0);
    // The first value that is no number, and how many there were.
    EXPECT_EQ(byRow->InvalidCount(), byCell->InvalidCount());
    EXPECT_EQ(byRow->InvalidRow(), 2);
    EXPECT_EQ(byRow->InvalidColumn(), 8);
    EXPECT_EQ(byRow->InvalidZone(), byCell->InvalidZone());
  }
}

TEST_F(StatisticRowsTest, CellsOutsideTheGridCountWithAreaOne) {
  // Rows and columns the area grid does not have, as AddCell takes them.
  std::vector<ZoneRecord> cellwise = Records(), rowwise = Records();
  auto byCell = Make(cellwise, area);
  auto byRow = Make(rowwise, area);
  for (int r : {0, 2, kRows + 1}) {
    zonalstatistic::RowSums sums(*byRow, r);
    for (int c : {0, 1, kCols, kCols + 1}) {
      byCell->AddCell(r, c, 1, ValueAt(r, c), 0.5);
      sums.Add(c, 1, ValueAt(r, c), 0.5);
    }
  }
  ExpectSameBits(cellwise, rowwise);
}

TEST_F(StatisticRowsTest, RowsAndSingleCellsMix) {
  // A row added cell by cell between rows added as rows continues the same sums.
  std::vector<ZoneRecord> cellwise = Records(), mixed = Records();
  auto byCell = Make(cellwise, area);
  auto both = Make(mixed, area);
  AddAllCells(*byCell);
  for (int r = 1; r <= kRows; ++r) {
    if (r == 3) {
      for (int c = 1; c <= kCols; ++c) both->AddCell(r, c, zone[r][c], value[r][c], weight[r][c]);
      continue;
    }
    zonalstatistic::RowSums sums(*both, r);
    for (int c = 1; c <= kCols; ++c) sums.Add(c, zone[r][c], value[r][c], weight[r][c]);
  }
  ExpectSameBits(cellwise, mixed);
}

TEST_F(StatisticRowsTest, AnInactiveStatisticTakesNoCell) {
  std::vector<ZoneRecord> records = Records();
  for (ZoneRecord& r : records) r.n = r.sx = r.RelCellSum = 7;
  auto s = Make(records, area, 900);
  ASSERT_FALSE(s->IsActive());
  {
    zonalstatistic::RowSums sums(*s, 2);
    for (int c = 1; c <= kCols; ++c) sums.Add(c, zone[2][c], value[2][c], 1);
  }
  for (const ZoneRecord& r : records) {
    EXPECT_EQ(r.n, 7);
    EXPECT_EQ(r.sx, 7);
    EXPECT_EQ(r.RelCellSum, 7);
  }
  EXPECT_EQ(s->InvalidCount(), 0);
}

TEST_F(StatisticRowsTest, SideBySideOnThreadsGivesTheSerialBits) {
  // Five statistics of the same cells with their own values; only every
  // other column belongs to the cells, and the shares go into the weights.
  constexpr int kStatistics = 5;
  auto cellValue = [&](int s, int r, int c) { return value[r][c] * (1 + s); };
  Pairs pairs = MakePairs(kStatistics);
  auto& [serial, sideBySide, expected, actual] = pairs;
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; c += 2)
      for (int s = 0; s < kStatistics; ++s) {
        expected[s]->AddCell(r, c, zone[r][c], cellValue(s, r, c), 1 - weight[r][c]);
        expected[s]->AddCell(r, c, zone[r][c], 0.0, weight[r][c]);
      }

  const int threads = omp_get_max_threads();
  for (int t : {1, 3, 8}) {
    omp_set_num_threads(t);
    for (int s = 0; s < kStatistics; ++s) actual[s]->NewStep();
    // Rows each statistic saw, in the order it saw them.
    std::vector<std::vector<int>> seen(kStatistics);
    StatisticRowsSideBySide(
        kStatistics, 1, kRows, kCols,
        [&](int r, StatisticCell* list) {
          int n = 0;
          for (int c = 1; c <= kCols; c += 2) list[n++] = StatisticCell{c, zone[r][c], weight[r][c]};
          return n;
        },
        [&](int s, int r, const StatisticCell* list, int n) {
          seen[s].push_back(r);
          zonalstatistic::RowSums sums(*actual[s], r);
          for (int i = 0; i < n; ++i) {
            sums.Add(list[i].column, list[i].zone, cellValue(s, r, list[i].column), 1 - list[i].share);
            sums.Add(list[i].column, list[i].zone, 0.0, list[i].share);
          }
        });
    for (int s = 0; s < kStatistics; ++s) {
      SCOPED_TRACE(testing::Message() << t << " threads, statistic " << s);
      ExpectSameBits(serial[s], sideBySide[s]);
      EXPECT_EQ(seen[s], (std::vector<int>{1, 2, 3, 4, 5, 6}));
    }
  }
  omp_set_num_threads(threads);

  // No statistics, or rows without cells: nothing is added.
  int calls = 0;
  StatisticRowsSideBySide(
      0, 1, kRows, kCols, [&](int, StatisticCell*) { return 1; }, [&](int, int, const StatisticCell*, int) { ++calls; });
  StatisticRowsSideBySide(
      2, 1, kRows, kCols, [&](int, StatisticCell*) { return 0; }, [&](int, int, const StatisticCell*, int) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST_F(StatisticRowsTest, ZonesOfAStatisticOnThreadsGiveTheSerialBits) {
  // Statistics 0 and 1 add each cell to its own zone only and may be split
  // by zones; statistic 2 may not and must see every row's cells in column
  // order. Cells of indices outside the zones go with index 0.
  constexpr int kStatistics = 3;
  auto cellValue = [&](int s, int r, int c) { return value[r][c] * (1 + s); };
  Pairs pairs = MakePairs(kStatistics);
  auto& [serial, split, expected, actual] = pairs;
  std::vector<int> serialOrder;
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      for (int s = 0; s < kStatistics; ++s) expected[s]->AddCell(r, c, zone[r][c], cellValue(s, r, c), weight[r][c]);
      serialOrder.push_back(r * 100 + c);
    }
  const int threads = omp_get_max_threads();
  for (int t : {1, 2, 5, 8}) {
    omp_set_num_threads(t);
    for (int s = 0; s < kStatistics; ++s) {
      actual[s]->NewStep();
      actual[s]->ClearInvalid();
    }
    std::vector<int> order;
    std::vector<int> calls(kStatistics, 0);
    StatisticRowsSideBySide(
        kStatistics, 1, kRows, kCols,
        [&](int r, StatisticCell* list) {
          for (int c = 1; c <= kCols; ++c) list[c - 1] = StatisticCell{c, zone[r][c], weight[r][c]};
          return kCols;
        },
        [&](int s, int r, const StatisticCell* list, int n) {
          zonalstatistic::RowSums sums(*actual[s], r);
          for (int i = 0; i < n; ++i) {
            sums.Add(list[i].column, list[i].zone, cellValue(s, r, list[i].column), list[i].share);
            if (s == 2) order.push_back(r * 100 + list[i].column);
          }
#pragma omp atomic
          ++calls[s];
        },
        kZones + 1, [](int s) { return s < 2; });
    for (int s = 0; s < kStatistics; ++s) {
      SCOPED_TRACE(testing::Message() << t << " threads, statistic " << s);
      ExpectSameBits(serial[s], split[s]);
      // The first value that is no number in the order of the rows, and how many.
      EXPECT_EQ(actual[s]->InvalidCount(), expected[s]->InvalidCount());
      EXPECT_EQ(actual[s]->InvalidRow(), expected[s]->InvalidRow());
      EXPECT_EQ(actual[s]->InvalidColumn(), expected[s]->InvalidColumn());
    }
    EXPECT_EQ(order, serialOrder) << t << " threads";
    // On eight threads the zones of the first two statistics went to several threads.
    if (t == 8) {
      EXPECT_GT(calls[0], kRows) << "statistic 0 was not split";
    }
    EXPECT_EQ(calls[2], kRows);
  }
  omp_set_num_threads(threads);
}

}  // namespace
