// Per-step work of the set-up object: time-variant standard grids, the
// statistic grids of the standard and variable grids and their zonal
// statistics files.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "application/defltuzr.h"
#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

using fluvextest::FileExists;
using fluvextest::ReadFile;
using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

const std::string kHeader = "ncols\t3\nnrows\t2\nxllcorner\t0\nyllcorner\t0\ncellsize\t100\nnodata_value\t-9999\n";

class TestSetup : public defaultini {
 public:
  TestSetup(int& error, DiagStream* d, const std::string& dir, GridListEntry* list)
      : defaultini(error, d, "unused", nullptr, 0, 2, list) {
    InitialStateDirectory = dir + "/";
    DefaultOutputDirectory = dir + "/";
    WriteAsciiGrids = true;
    SetGeometry(3, 2, 0, 0, 100, -9999);
    SetRowRange(1, 2);
  }
  void Open(const std::string& name) { ASSERT_TRUE(controlfile.Open(name, diag)); }
  void Counts(int standard, std::vector<int> variable) {
    nstandardgrids = standard;
    variablepositions = variable;
    nvariablegrids = static_cast<int>(variable.size()) - 1;
  }
};

// A 3 x 2 raster with zones 1 1 2 / nodata 2 2, ranked, at grid-list position 1.
class PeriodicTest : public ::testing::Test {
 protected:
  PeriodicTest() : dir("periodic"), diag(dir / "d.xml", 4, &console), list(kGridListSize) {
    setup = std::make_unique<TestSetup>(error, &diag, dir.path(), list.data());
    Add(1, "zones.asc", "zonegrid", {1, 1, 2, -9999, 2, 2}, 0);
    setup->RankZones(list.data(), nullptr, 3, 2, -9999);
    Add(2, "dem.asc", "[elevation_model]", {1, 1, 1, 1, 1, 1}, 0);
  }
  ~PeriodicTest() override { setup->FreeMemory(); }
  Grid Add(int position, const std::string& file, const std::string& name, std::vector<double> v, int code) {
    Grid g = setup->matrix(1, 2, 1, 3, 2);
    for (int i = 0; i < 6; ++i) g[1 + i / 3][1 + i % 3] = v[i];
    setup->RegisterGrid(position, file, g, nullptr, 0, name, code, 1, 2);
    return g;
  }
  void GridFile(const std::string& name, double value) {
    std::ostringstream text;
    text << kHeader << value << " " << value << " " << value << "\n-9999 " << value << " " << value << "\n";
    WriteFile(dir / name, text.str());
  }

  TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  std::vector<GridListEntry> list;
  int error = 0;
  std::unique_ptr<TestSetup> setup;
};

TEST_F(PeriodicTest, DailyPeriodicGridIsReadAtItsStepAndRestoredAfterItsDuration) {
  Grid rain = Add(3, "rain", "rain", {1, 1, 1, -9999, 1, 1}, 0);
  setup->Counts(1, {0});
  GridListEntry& e = list[3];
  e.periodnumber = 2;  // every second day ...
  e.periodunit = "D";
  e.periodsecond = 6;  // ... at its 6th hourly step
  e.persistent = false;
  e.persistentsteps = 3;
  e.periodiccopy = setup->matrix(1, 2, 1, 3, 2);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) e.periodiccopy[r][c] = rain[r][c];
  GridFile("rain_2005050206", 7);
  GridFile("rain_2005050406", 9);
  for (int d = 1; d <= 4; ++d)
    for (int h = 1; h <= 24; ++h) {
      setup->UpdatePeriodicGrids(h, d, 5, 2005);
      const bool inForce = h >= 6 && h <= 8 && (d == 2 || d == 4);
      EXPECT_EQ(rain[2][3], inForce ? (d == 2 ? 7 : 9) : 1) << "day " << d << " hour " << h;
    }
  EXPECT_EQ(e.datedfilename, "rain_2005050406");
}

TEST_F(PeriodicTest, StatisticsOfEveryGridOncePerStep) {
  Grid temp = Add(3, "temp.asc", "temp", {0, 0, 1, 100, -9999, 3}, 11);
  list[3].statfile = "t.sta";
  list[3].statcode = 2001;
  // The variable grids lie at free positions, not directly behind the standard grids.
  Add(5, "v1.asc", "v1", {2, 2, 2, 2, 2, 2}, 10);
  Add(7, "v2.asc", "v2", {5, 5, 5, 5, 5, 5}, 10);
  setup->Counts(1, {0, 5, 7});
  setup->SetDate(2003, 1, 1, 3);
  setup->CreateGridStatistics();
  for (int s = 1; s <= 3; ++s) {
    temp[1][1] = s;
    temp[1][2] = 3 * s;
    setup->UpdatePeriodicGrids(s, 1, 1, 2003);
    setup->WriteStandardGridStatistics(s, 1, 1, 2003);
    setup->WriteVariableGridStatistics(s, 1, 1, 2003);
    setup->StartGridStatisticsStep();
    setup->AddGridStatistics();
    setup->ReduceGridStatistics(s, 1, 1, 2003);
  }
  setup->FlushGridStatistics();
  // Zone means skip the missing cell; the total is the mean of all valid zone cells.
  EXPECT_EQ(ReadFile(dir / "t.sta"),
            "YY\tMM\tDD\tHH\t\"1\"\t\"2\"\ttot_average\n"
            "temp_submodel:(default)\n"
            "--\t--\t--\t--\t0.4000000\t0.6000000\t1.0000\n"
            "2003\t 1\t 1\t 1\t2.00000\t2.00000\t2.00000\n"
            "2003\t 1\t 1\t 2\t4.00000\t2.00000\t3.00000\n"
            "2003\t 1\t 1\t 3\t6.00000\t2.00000\t4.00000\n");
  EXPECT_EQ(ReadFile(dir / "temp.sum"), kHeader + "6\t18\t3\n-9999\t-9999\t9\n");
  EXPECT_EQ(ReadFile(dir / "v1.sum"), kHeader + "6\t6\t6\n-9999\t6\t6\n");
  EXPECT_EQ(ReadFile(dir / "v2.sum"), kHeader + "15\t15\t15\n-9999\t15\t15\n");
}

TEST_F(PeriodicTest, StatisticCodeWithoutPeriodIsRejectedWhenRead) {
  std::vector<GridListEntry> other(kGridListSize);
  TestSetup reader(error, &diag, dir.path(), other.data());
  auto read = [&](const std::string& line) {
    WriteFile(dir / "c.txt", "[zone_grid]\nz\n[elevation_model]\nd\n[standard_grids]\n1\n" + line + "\n");
    reader.Open(dir / "c.txt");
    return CodeOf([&] { reader.ReadStandardGrids(); });
  };
  EXPECT_EQ(read("t.asc temp fillcode = 0 statfile = t.sta statcode = 2000"), 17);
  EXPECT_NE(console.str().find("statcode 2000 of standard grid 1 (temp)"), std::string::npos);
  EXPECT_EQ(read("t.asc temp fillcode = 0 statfile = t.sta statcode = 4024 outname = r.asc"), 0);
  EXPECT_EQ(other[3].filename2, "r.asc");  // result grids are named from the output name
}

}  // namespace
