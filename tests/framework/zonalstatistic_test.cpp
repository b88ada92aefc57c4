// Zonal statistics files, compared with hand-written expected files. Every
// instance adds the cells of its own share, so the files must come out the
// same on one and on several instances.
#include "framework/zonalstatistic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

using fluvextest::CountOf;
using fluvextest::MpiRank;
using fluvextest::MpiSize;
using fluvextest::ReadFile;

namespace {

std::string Expected(const std::string& name) {
  return ReadFile(std::string(FLUVEX_TEST_DATA) + "/statistics/" + name);
}

// A 3 x 4 grid of three zones (codes 10, 20, 30) with a relative-area grid.
class ZonalStatisticTest : public ::testing::Test {
 protected:
  ZonalStatisticTest() : dir("zonal"), diag(dir / "d.xml", 4, &console), memory(&diag) {
    area = memory.matrix(1, 3, 1, 4, 0);
    const double areas[3][4] = {{1, 0.5, 1, 1}, {1, 1, -9999, 1}, {0.5, 0.5, 1, 1}};
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) area[r][c] = areas[r - 1][c - 1];
    records = {{0, 0, 0, 0, 0}, {0, 0, 10, 0.25, 0}, {0, 0, 20, 0.5, 0}, {0, 0, 30, 0.25, 0}};
  }
  ~ZonalStatisticTest() override { memory.FreeMatrix(area, 1, 3, 1, 4); }
  // Only instance 0 writes the console.
  bool Said(const std::string& text) const { return MpiRank() != 0 || console.str().find(text) != std::string::npos; }

  // Adds this instance's share of the cells: cell i goes to instance i mod size.
  void AddCells(zonalstatistic& s, const double values[3][4]) {
    const int zone[3][4] = {{1, 1, 2, 2}, {1, 2, 2, 3}, {3, 3, 3, 3}};
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c)
        if (((r - 1) * 4 + c) % MpiSize() == MpiRank()) s.AddCell(r, c, zone[r - 1][c - 1], values[r - 1][c - 1], 1);
  }

  // Two steps: the second with every cell of zone 3 missing.
  void TwoSteps(zonalstatistic& s) {
    const double step1[3][4] = {{2, 4, 8, 1}, {-9999, 6, 3, 5}, {7, 1, 2, 4}};
    const double step2[3][4] = {{3, 5, 9, 2}, {-9999, 7, 4, -9999}, {-9999, -9999, -9999, -9999}};
    s.NewStep();
    AddCells(s, step1);
    s.Reduce(2001, 1, 1, 1, 1);
    s.NewStep();
    AddCells(s, step2);
    s.Reduce(2001, 1, 1, 2, 1);
  }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  Grid area = nullptr;
  std::vector<ZoneRecord> records;
};

TEST_F(ZonalStatisticTest, EveryZoneAndTotalPerStep) {
  int error = -1;
  StatRecord registry[kStatRegistryRecords] = {};
  zonalstatistic s(error, &diag, registry, kStatRegistryCapacity, area, 3, 4, records.data(), 3, 2001, 5, "grid.sta",
                   dir.path() + "/", 0, nullptr);
  ASSERT_EQ(error, 0);
  const int record = s.WriteHeader("grid", "(default)", registry, kStatRegistryCapacity);
  TwoSteps(s);
  if (MpiRank() == 0) {
    // The descriptor in the registry names the output and holds the last line.
    ASSERT_EQ(record, 0);
    EXPECT_STREQ(registry[0].description, "grid_submodel:(default)");
    EXPECT_EQ(registry[0].slots, 4);
    EXPECT_EQ(registry[0].codes[2], 20);
    EXPECT_DOUBLE_EQ(registry[0].values[2], 5.5);
    EXPECT_EQ(*registry[0].hour, 2);
    EXPECT_TRUE(registry[1].IsFree());
  }
  s.Finish();
  EXPECT_TRUE(registry[0].IsFree());
  if (MpiRank() != 0) {
    EXPECT_EQ(record, -1);
    EXPECT_FALSE(fluvextest::FileExists(dir / "grid.sta"));
    return;
  }
  EXPECT_EQ(ReadFile(dir / "grid.sta"), Expected("zonal_2001.txt"));
}

TEST_F(ZonalStatisticTest, HourlySumsOnePerDay) {
  // Zone 1 two cells of value h, zone 2 one cell of 2h, zone 3 one cell of 1.
  std::vector<ZoneRecord> zones = {{0, 0, 0, 0, 0}, {0, 0, 1, 0.5, 0}, {0, 0, 2, 0.25, 0}, {0, 0, 3, 0.25, 0}};
  int error = -1;
  zonalstatistic s(error, &diag, nullptr, 0, nullptr, 1, 4, zones.data(), 3, 4024, 5, "temp.sta", dir.path() + "/", 0,
                   nullptr);
  ASSERT_EQ(error, 0);
  s.WriteHeader("temp", "hourly sums", nullptr, 0);
  for (int day = 1; day <= 2; ++day) {
    for (int h = 1; h <= 24; ++h) {
      s.NewStep();
      const int zone[4] = {1, 1, 2, 3};
      const double value[4] = {double(h), double(h), 2.0 * h, 1};
      for (int c = 1; c <= 4; ++c)
        if (c % MpiSize() == MpiRank()) s.AddCell(1, c, zone[c - 1], value[c - 1], 1);
      s.Reduce(2001, 1, day, h, 1);
    }
  }
  s.Finish();
  if (MpiRank() == 0) {
    EXPECT_EQ(ReadFile(dir / "temp.sta"), Expected("zonal_4024.txt"));
  }
}

// A run that ends on 2 January after 6 h: the daily line of 1 January, then
// the six hours of 2 January as a line of their own, dated with the last
// step and marked, so that no step computed is missing from the file. Sums
// (4024) and means (2024) of zone 1 (two cells of value h, the second missing
// in odd hours), zone 2 (one cell of 2h) and zone 3 (one cell of 1, missing
// in hour 3). A sum is the sum of the hourly means of the valid cells: the
// six hours give 21 and 42, zone 3 none (a missing hour), the domain
// 4/3 + 9/4 + 9/2 + 17/4 + 16/3 + 25/4 = 23.91667. A mean is that of the
// valid values: 33/9, 7, 1 and 80/20.
TEST_F(ZonalStatisticTest, ARunThatEndsInsideAPeriodWritesItsStepsAsAMarkedLine) {
  for (int code : {4024, 2024}) {
    std::vector<ZoneRecord> zones = {{0, 0, 0, 0, 0}, {0, 0, 1, 0.5, 0}, {0, 0, 2, 0.25, 0}, {0, 0, 3, 0.25, 0}};
    int error = -1;
    const std::string name = "partial" + std::to_string(code) + ".sta";
    zonalstatistic s(error, &diag, nullptr, 0, nullptr, 1, 4, zones.data(), 3, code, 5, name, dir.path() + "/", 0,
                     nullptr);
    ASSERT_EQ(error, 0);
    s.WriteHeader("temp", "hours", nullptr, 0);
    for (int step = 1; step <= 30; ++step) {
      const int h = (step - 1) % 24 + 1;
      s.NewStep();
      const int zone[4] = {1, 1, 2, 3};
      const double value[4] = {double(h), h % 2 ? -9999.0 : h, 2.0 * h, h == 3 ? -9999.0 : 1};
      for (int c = 1; c <= 4; ++c)
        if (c % MpiSize() == MpiRank()) s.AddCell(1, c, zone[c - 1], value[c - 1], 1);
      s.Reduce(2001, 1, step <= 24 ? 1 : 2, h, 1);
    }
    s.Flush();  // a flush during the run writes whole periods only
    if (MpiRank() == 0) {
      EXPECT_EQ(CountOf(ReadFile(dir / name), "\n"), 4) << code;
    }
    s.Finish();
    if (MpiRank() != 0) continue;
    const std::string text = ReadFile(dir / name);
    const std::string last = code == 4024 ? "2001\t 1\t 2\t 6\t21.00000\t42.00000\t-9999.00000\t23.91667"
                                          : "2001\t 1\t 2\t 6\t3.66667\t7.00000\t1.00000\t4.00000";
    EXPECT_NE(text.find("\n" + last + "\t# partial: 6 of 24 steps\n"), std::string::npos) << text;
    EXPECT_EQ(CountOf(text, "\n"), 5) << text;
    EXPECT_EQ(CountOf(text, "partial"), 1) << text;
  }
}

// A value that is no number is no missing value: a module computed it. It
// is left out of the zone's mean like a missing one (a zone left without
// values is missing, never 0) and reported once, with the step and the cell.
TEST_F(ZonalStatisticTest, AValueThatIsNoNumberIsLeftOutAndReported) {
  std::vector<ZoneRecord> zones = {{0, 0, 0, 0, 0}, {0, 0, 1, 0.5, 0}, {0, 0, 2, 0.25, 0}, {0, 0, 3, 0.25, 0}};
  int error = -1;
  zonalstatistic s(error, &diag, nullptr, 0, nullptr, 1, 4, zones.data(), 3, 2001, 5, "nan.sta", dir.path() + "/", 0,
                   nullptr);
  ASSERT_EQ(error, 0);
  s.WriteHeader("temp", "nan", nullptr, 0);
  const int zone[4] = {1, 1, 2, 3};
  const double value[4] = {NAN, 4, HUGE_VAL, 1};
  for (int h = 1; h <= 2; ++h) {
    s.NewStep();
    for (int c = 1; c <= 4; ++c)
      if (c % MpiSize() == MpiRank()) s.AddCell(1, c, zone[c - 1], value[c - 1], 1);
    s.Reduce(2001, 1, 1, h, 1);
  }
  s.Finish();
  // Cell 1 (NaN) is added by instance 1 mod the instance count, cell 3 (inf)
  // by 3 mod it; each reports into its own diagnostics file.
  const std::string said = ReadFile(dir / ("d_" + std::to_string(MpiRank()) + ".xml"));
  if (MpiRank() == 1 % MpiSize()) {
    EXPECT_NE(said.find("statistics " + dir.path() +
                        "/nan.sta: the value nan (not a number) of zone 1 at row "
                        "1, column 1 on 1.1.2001 1 h is left out of the statistics like a missing value"),
              std::string::npos)
        << said;
  }
  if (MpiRank() == 3 % MpiSize() && 3 % MpiSize() != 1 % MpiSize()) {
    EXPECT_NE(said.find("the value inf (not a number) of zone 2"), std::string::npos) << said;
  }
  EXPECT_LE(CountOf(said, "(not a number)"), 1) << "said once for the file";
  if (MpiRank() == 0) {
    EXPECT_NE(ReadFile(dir / "nan.sta").find("\n2001\t 1\t 1\t 2\t4.00000\t-9999.00000\t1.00000\t2.50000\n"),
              std::string::npos)
        << ReadFile(dir / "nan.sta");
  }
}

TEST_F(ZonalStatisticTest, OutputListSelectsColumns) {
  const int list[3] = {2, 20, 30};
  int error = -1;
  zonalstatistic s(error, &diag, nullptr, 0, area, 3, 4, records.data(), 3, 5001, 5, "grid.sta", dir.path() + "/", 2,
                   list);
  ASSERT_EQ(error, 0);
  s.WriteHeader("grid", "listed", nullptr, 0);
  TwoSteps(s);
  s.Finish();
  if (MpiRank() == 0) {
    EXPECT_EQ(ReadFile(dir / "grid.sta"), Expected("zonal_5001.txt"));
  }

  // A listed code that no zone has.
  const int unknown[3] = {2, 20, 90};
  zonalstatistic bad(error, &diag, nullptr, 0, area, 3, 4, records.data(), 3, 5001, 5, "bad.sta", "", 2, unknown);
  EXPECT_EQ(error, 1);
  EXPECT_TRUE(Said("there is a code in the output list which no zone exists for (90)"));
}

TEST_F(ZonalStatisticTest, CodesAreCheckedAndLowCodesWriteNothing) {
  int error = -1;
  zonalstatistic off(error, &diag, nullptr, 0, area, 3, 4, records.data(), 3, 1000, 5, "off.sta", "", 0, nullptr);
  EXPECT_FALSE(off.IsActive());
  StatRecord registry[kStatRegistryRecords] = {};
  EXPECT_EQ(off.WriteHeader("off", "x", registry, kStatRegistryCapacity), -1);
  TwoSteps(off);
  off.Finish();
  EXPECT_FALSE(fluvextest::FileExists("off.sta"));
  EXPECT_TRUE(registry[0].IsFree());

  // Period 0 would never complete a line; type 7 has no columns.
  for (int code : {2000, 7001}) {
    zonalstatistic bad(error, &diag, nullptr, 0, area, 3, 4, records.data(), 3, code, 5, "bad.sta", "", 0, nullptr);
    EXPECT_EQ(error, 1) << code;
    EXPECT_FALSE(bad.IsActive());
  }
  EXPECT_TRUE(Said("invalid statistic code 2000"));
}

TEST_F(ZonalStatisticTest, ZoneWithoutAreaWritesTheMissingValueNotNaN) {
  for (int c = 1; c <= 2; ++c) area[1][c] = 0;  // the zone-1 cells of row 1 have no area
  int error = -1;
  zonalstatistic s(error, &diag, nullptr, 0, area, 3, 4, records.data(), 3, 2001, 99, "g.sta", dir.path() + "/", 0,
                   nullptr);
  ASSERT_EQ(error, 0);
  s.WriteHeader("g", "x", nullptr, 0);
  const double values[3][4] = {{2, 4, 1, 1}, {-9999, 1, 1, 1}, {1, 1, 1, 1}};
  s.NewStep();
  AddCells(s, values);
  s.Reduce(2001, 1, 1, 1, 1);
  s.Finish();
  // Precision 99 writes six significant digits.
  if (MpiRank() == 0) {
    EXPECT_NE(ReadFile(dir / "g.sta").find("2001\t 1\t 1\t 1\t-9999\t1\t1\t1\n"), std::string::npos);
  }
}

TEST_F(ZonalStatisticTest, FullBufferIsWrittenWithoutFlush) {
  // 1000 zones: 2097152 / (8 * 1001 + 32) = 260.8, so 260 lines fit into the buffer.
  std::vector<ZoneRecord> zones(1001, ZoneRecord{0, 0, 1, 0.001, 0});
  int error = -1;
  zonalstatistic s(error, &diag, nullptr, 0, nullptr, 1, 1, zones.data(), 1000, 2001, 2, "big.sta", dir.path() + "/", 0,
                   nullptr);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(s.GetLineCapacity(), 260);
  s.WriteHeader("big", "x", nullptr, 0);
  for (int step = 1; step <= 261; ++step) {
    s.NewStep();
    s.Reduce(2001, 1, 1, step, 1);
  }
  if (MpiRank() == 0) {
    EXPECT_EQ(fluvextest::CountOf(ReadFile(dir / "big.sta"), "\n"), 3 + 260);
    EXPECT_EQ(s.GetBufferedLines(), 1);
  }
  s.Finish();
  if (MpiRank() == 0) {
    EXPECT_EQ(fluvextest::CountOf(ReadFile(dir / "big.sta"), "\n"), 3 + 261);
  }
}

TEST_F(ZonalStatisticTest, FileErrorsAreFatal) {
  int error = -1;
  zonalstatistic missing(error, &diag, nullptr, 0, area, 3, 4, records.data(), 3, 2001, 5, "no/such/dir/x.sta",
                         dir.path() + "/", 0, nullptr);
  zonalstatistic full(error, &diag, nullptr, 0, area, 3, 4, records.data(), 3, 2001, 5, "/dev/full", dir.path() + "/",
                      0, nullptr);
  // The header record is -1 on the other instances, which write nothing.
  auto codeOf = [](zonalstatistic& s) {
    int record = 0;
    const int code = CodeOf([&] { record = s.WriteHeader("m", "x", nullptr, 0); });
    return code ? code : record;
  };
  EXPECT_EQ(codeOf(missing), MpiRank() == 0 ? 15 : -1);
  EXPECT_TRUE(Said("error opening \n" + dir.path() + "/no/such/dir/x.sta"));
  // A disk that takes nothing: the lost lines are reported.
  EXPECT_EQ(codeOf(full), MpiRank() == 0 ? 18 : -1);
  EXPECT_TRUE(Said("write error /dev/full"));
}

}  // namespace
