// Irrigation of four cells (zones 1, 1, 2, 2; one hour or one day a step):
// a calendar code and a soil-moisture code from groundwater, a calendar code
// limited by the pumping capacity, and a cell without irrigation. The
// amounts are added to precipitation.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "framework/diagstream.h"
#include "framework/irrigationtable.h"
#include "routing/irrigate.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

namespace {

class IrrigationTest : public ::testing::Test {
 protected:
  IrrigationTest() : dir("irrigation"), diag(dir / "d.xml", 4, &console), memory(&diag), list(kGridListSize) {
    const char* names[kGrids] = {
        "zonegrid_soilmodel", "precipitation", "irrigation_codes", "Max_Pumping", "irrigation_amounts",
        "SB_1_grid",          "SBLOW_grid",    "SBHIGH_grid",      "ETR2ETP",     "root_depth1"};
    for (int k = 0; k < kGrids; ++k) {
      grid[k] = memory.matrix(1, 1, 1, 4, 0);
      list[1 + k].grid = grid[k];
      list[1 + k].filename = names[k];
      list[1 + k].shortname = names[k];
      list[1 + k].registered = true;
    }
    const double zones[4] = {1, 1, 2, 2}, codes[4] = {1, 2, 3, 0}, pump[4] = {1000, 1000, 5, 1000};
    for (int c = 1; c <= 4; ++c) {
      grid[kZone][1][c] = zones[c - 1];
      grid[kCodes][1][c] = codes[c - 1];
      grid[kPump][1][c] = pump[c - 1];
      grid[kLow][1][c] = 0.3;
      grid[kHigh][1][c] = 0.5;
      grid[kRoot][1][c] = 0.5;
      grid[kRatio][1][c] = 1;
    }
    // rel: the area of the basin [km2] in record 0, the zone's share of it in the others.
    for (int k = 0; k <= 2; ++k) records[k] = ZoneRecord{0, 0, double(k), k == 0 ? 0.04 : 0.5, 0};
    // Record 0 holds the count; 48 and 480 mm on 1 January.
    table.resize(4);
    table[0].code = 3;
    auto calendar = [](IrrigationTable& t, double mm) {
      t.method = 1;
      t.origin = 1;
      t.n = 2;
      t.month = {0, 12, 1};
      t.day = {0, 31, 1};
      t.amount = {0, 1, mm};
    };
    calendar(table[1], 48);
    table[2].method = 3;
    table[2].origin = 1;
    calendar(table[3], 480);
    args.zoneIndex = zoneindex;
    args.zoneRecords = records;
    args.zoneCount = 2;
    args.maxZoneCode = 2;
    args.gridlist = list.data();
    args.ncols = 4;
    args.nrows = 1;
    args.firstRow = 1;
    args.lastRow = 1;
    args.cellsize = 100;
    args.object.DefaultOutputDirectory = dir.path() + "/";
    for (auto* row : {&riv, &res}) row->assign(3, 0.0);
    rivRows[0] = riv.data();
    resRows[0] = res.data();
    targetRows[0] = targets[0];
    targetRows[1] = targets[1];
    abfrelRows[0] = abfrel;
  }
  ~IrrigationTest() override {
    if (model) model->FreeMemory();
    model.reset();
    for (Grid& g : grid) memory.FreeMatrix(g, 1, 1, 1, 4);
  }
  int Build(int dt) {
    const std::string path = dir / "run.cntrl";
    fluvextest::WriteFile(path, "[irrigation]\n1\tflow control parameter for\n" + std::to_string(dt) +
                                    "\ttime interval for\ngw.sta 0\nsw.sta 0\n[output_interval]\n1\n1\n0\n");
    int error = 0;
    try {
      model =
          std::make_unique<irrigationclass>(error, &diag, registry, kStatRegistryCapacity, path, args, table.data());
    } catch (int code) {
      error = code;
    }
    return error;
  }
  void Link() {
    model->SetMaxIrrigation(rivRows, resRows);
    model->SetRoutingTarget(targetRows);
    model->SetRoutingDischarge(abfrelRows);
  }
  // Runs a step of 1 January (hour h) with 1 mm of rain; returns the amounts.
  std::vector<double> Step(int h, double soilMoisture) {
    for (int c = 1; c <= 4; ++c) {
      grid[kPrec][1][c] = 1;
      grid[kSoil][1][c] = soilMoisture;
    }
    model->run(h, 1, 1, 2001);
    std::vector<double> a(5, 0.0);
    for (int c = 1; c <= 4; ++c) {
      a[c] = grid[kAmount][1][c];
      EXPECT_NEAR(grid[kPrec][1][c] - 1, a[c], 1e-12) << c;  // the amount is added to the rain
      EXPECT_LE(a[c], grid[kPump][1][c]) << c;
    }
    return a;
  }

  static constexpr int kGrids = 10;
  enum { kZone, kPrec, kCodes, kPump, kAmount, kSoil, kLow, kHigh, kRatio, kRoot };
  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  std::vector<GridListEntry> list;
  Grid grid[kGrids] = {};
  int zoneindex[3] = {0, 1, 2};
  ZoneRecord records[3];
  std::vector<IrrigationTable> table;
  SubModelArgs args;
  StatRecord registry[kStatRegistryRecords] = {};
  std::vector<double> riv, res;
  double* rivRows[1] = {nullptr};
  double* resRows[1] = {nullptr};
  int targets[2][3] = {{2, 1, 2}, {0, 2, 0}};
  int* targetRows[2] = {nullptr, nullptr};
  double abfrel[3] = {0.01, 2, 2};
  double* abfrelRows[1] = {nullptr};
  std::unique_ptr<irrigationclass> model;
};

TEST_F(IrrigationTest, HourlyAmountsFromCalendarAndSoilMoisture) {
  ASSERT_EQ(Build(60), 0) << console.str();
  Link();
  // Calendar 48 mm/day = 2 mm/h; soil moisture (0.5 - 0.2) x 0.5 m x 1000 / 24
  // = 6.25 mm/h; 20 mm/h limited to the pumping capacity of 5 mm.
  std::vector<double> a = Step(1, 0.2);
  EXPECT_NEAR(a[1], 2, 1e-12);
  EXPECT_NEAR(a[2], 6.25, 1e-12);
  EXPECT_NEAR(a[3], 5, 1e-12);
  EXPECT_EQ(a[4], 0);
  EXPECT_NEAR(model->GroundwaterRecords()[1].sx, 8.25, 1e-12);
  // Above the lower threshold the irrigation runs on until the upper one.
  a = Step(2, 0.35);
  EXPECT_NEAR(a[2], 6.25, 1e-12);
  a = Step(3, 0.5);
  EXPECT_EQ(a[2], 0);
  // A missing soil moisture (not above -9999) is no number: the cell's demand
  // is skipped for the step, not (0.5 + 9999) x 0.5 m x 1000 / 24 mm; the
  // other cells are irrigated; said once.
  a = Step(4, -9999);
  EXPECT_EQ(a[2], 0);
  EXPECT_NEAR(a[1], 2, 1e-12);
  EXPECT_NEAR(a[3], 5, 1e-12);
  EXPECT_EQ(Step(5, -10000)[2], 0);
  const std::string said = console.str();
  const std::string warning = "has no value of \"SB_1_grid\" (-9999) for 1.1.2001, 4. h";
  EXPECT_NE(said.find(warning), std::string::npos) << said;
  EXPECT_EQ(said.find("has no value of", said.find(warning) + 1), std::string::npos) << said;
  // The demand a cell asked stands over a step without a value.
  EXPECT_NEAR(Step(6, 0.2)[2], 6.25, 1e-12);
  EXPECT_EQ(Step(7, -9999)[2], 0);
  EXPECT_NEAR(Step(8, 0.35)[2], 6.25, 1e-12);
}

TEST_F(IrrigationTest, SurfaceWaterIsWhatTheReservoirGivesAndWhatTheRiverGaveTheStepBefore) {
  table[1].origin = 2;  // cell 1: 2 mm of river water for zone 1
  ASSERT_EQ(Build(60), 0) << console.str();
  Link();
  const ZoneRecord* given = model->GetSubbasinTable();
  // Zone 1 asks 2 mm on one of its two cells, 1 mm on average; no river
  // water is in transit yet: the field gets none, the routing is asked 1 mm.
  std::vector<double> a = Step(1, 0.2);
  EXPECT_EQ(a[1], 0);
  EXPECT_NEAR(a[2], 6.25, 1e-12);  // groundwater is not scaled
  EXPECT_NEAR(a[3], 5, 1e-12);
  EXPECT_NEAR(given[1].sx / given[1].RelCellSum, 1, 1e-12);
  EXPECT_EQ(given[2].sx, 0);
  EXPECT_EQ(res[1], 0);
  // The river gave half of it (0.5 mm in transit): the field gets 1 mm.
  riv[1] = 0.5;
  EXPECT_NEAR(Step(2, 0.2)[1], 1, 1e-12);
  // It gave the whole 1 mm, and a reservoir gives 0.25 mm at once (a
  // quarter of the demand): 2 + 0.5 mm; the river is asked the other 0.75.
  riv[1] = 1;
  res[1] = 0.25;
  EXPECT_NEAR(Step(3, 0.2)[1], 2.5, 1e-12);
  EXPECT_NEAR(res[1], 0.25, 1e-12);                          // what the reservoir gives
  EXPECT_NEAR(given[1].sx / given[1].RelCellSum, 1, 1e-12);  // the routing takes the reservoir's share off
  // Those 0.75 mm reach the field's 1.5 mm asked of the river.
  riv[1] = 0.75;
  res[1] = 0;
  EXPECT_NEAR(Step(4, 0.2)[1], 1.5, 1e-12);
  // The statistics take each step's amounts, not a sum over the steps.
  EXPECT_NEAR(model->GroundwaterRecords()[1].sx, 6.25, 1e-12);
}

TEST_F(IrrigationTest, DailyIrrigationRunsOnUntilTheRootZoneIsFull) {
  ASSERT_EQ(Build(1440), 0) << console.str();
  Link();
  EXPECT_NEAR(Step(1, 0.2)[2], 150, 1e-9);
  EXPECT_NEAR(Step(1, 0.35)[2], 150, 1e-9);  // kept 75 of 151: the 75 it lacks take the day
  EXPECT_NEAR(Step(1, 0.45)[2], 75, 1e-9);   // gains 50 a day: 25 lacking in half a day, ends
  EXPECT_EQ(Step(1, 0.45)[2], 0);
  // From the river the 150 mm reach the field the day after they were
  // asked (75 mm over zone 1's two cells); while they are on their way the
  // field, still dry, asks nothing more.
  table[2].origin = 2;
  EXPECT_EQ(Step(2, 0.2)[2], 0);
  EXPECT_NEAR(model->GetSubbasinTable()[1].sx / model->GetSubbasinTable()[1].RelCellSum, 75, 1e-9);
  riv[1] = 75;
  EXPECT_NEAR(Step(3, 0.2)[2], 150, 1e-9);
  EXPECT_EQ(model->GetSubbasinTable()[1].sx, 0);
}

TEST_F(IrrigationTest, WithoutRoutingTheRunEnds) {
  ASSERT_EQ(Build(60), 0) << console.str();
  EXPECT_EQ(CodeOf([&] { model->SetMaxIrrigation(nullptr, resRows); }), 60);
  EXPECT_NE(console.str().find("FATAL: if irrigation is modelled, also routing has to be modelled!\n(Adress of "
                               "array maxirrig[] is NULL\n"),
            std::string::npos)
      << console.str();
  EXPECT_EQ(CodeOf([&] { model->SetRoutingTarget(nullptr); }), 60);
  EXPECT_EQ(CodeOf([&] { model->SetRoutingDischarge(nullptr); }), 60);
}

}  // namespace
