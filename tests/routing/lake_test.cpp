// A lake of two cells in the routing: on two instances one cell belongs to
// each; the lake cells meet on instance 0, the lake is levelled there and the
// new level reaches both instances. The expected values hold for any instance
// count, so the run on one and on two instances must agree.
#include <mpi.h>

#include "tests/routing/routing_support.h"

namespace {

class LakeExchangeTest : public RoutingFixture {
 protected:
  LakeExchangeTest() : RoutingFixture("lake") {
    rank = fluvextest::MpiRank();
    size = fluvextest::MpiSize();
    const char* names[kGrids] = {"lake_codes",          "ponding_storage", "max_ponding_storage", "[elevation_model]",
                                 "real_transpiration0", "precipitation",   "MPIRegions",          "MPIHelper"};
    for (int k = 0; k < kGrids; ++k) {
      grid[k] = memory.matrix(1, 1, 1, 5, 0);
      GridListEntry& e = list[2 + k];
      e.grid = grid[k];
      e.filename = names[k];
      e.shortname = names[k];
      e.registered = true;
    }
    for (int c = 1; c <= 5; ++c) {
      grid[kCodes][1][c] = c >= 4 ? 1 : -9999;  // cells 4 and 5 of subbasin 4
      grid[kMaxPond][1][c] = 2000;
      grid[kDem][1][c] = 500;
      grid[kRegions][1][c] = (size > 1 && c == 5) ? 1 : 0;
    }
  }
  ~LakeExchangeTest() override {
    if (model) model->FreeMemory();
    model.reset();
    for (Grid& g : grid) memory.FreeMatrix(g, 1, 1, 1, 5);
  }
  bool Owned(int c) const { return static_cast<int>(grid[kRegions][1][c]) == rank; }

  static constexpr int kGrids = 8;
  enum { kCodes, kPonding, kMaxPond, kDem, kEtr, kPrec, kRegions, kHelper };
  Grid grid[kGrids] = {};
  int rank = 0, size = 1;
};

TEST_F(LakeExchangeTest, LakeCellsMeetOnInstanceZeroAndTheLevelGoesBack) {
  // 2e6 m3 on two cells of 1 km2 at 500 m: level 501 m; no outflow.
  ASSERT_EQ(Build(Head() + "TG 4 (area = 2, rel = 1)\nSP 1 (file = lake1.txt V0 = 2e6, C0 = 0 0 0 0 0 0 0 0 0)\nend\n"
                           "[abstraction_rule_reservoir_1]\n2\n0 0\n1e9 0\n"
                           "[lake_model]\n1\tflow control parameter for\n-\n-\n-\n0\treadgrids for\n"),
            0)
      << console.str();
  if (rank == 0) SetRunoff({0, 0, 0, 0});
  char old[4096];
  ASSERT_TRUE(getcwd(old, sizeof old));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);  // the level-volume table is written here
  model->CountLakeCellsPerRank();
  ASSERT_EQ(chdir(old), 0);
  const std::vector<int64_t> counts = model->LakeCellsPerMPIRank();
  if (size == 1) {
    EXPECT_EQ(counts, std::vector<int64_t>({2}));
  } else {
    EXPECT_EQ(counts, std::vector<int64_t>({1, 1}));
  }
  for (int c = 4; c <= 5; ++c)
    if (Owned(c)) {
      EXPECT_NEAR(grid[kPonding][1][c], 1000, 1e-9) << c;
    }
  if (rank == 0) model->InitRouting();

  // Between two routing steps the soil puts 10 mm of rain on the lake and
  // evaporates 2 mm from it on the owning instance only; what instance 0
  // holds for a cell of another instance is stale and must not count.
  for (int c = 4; c <= 5; ++c) {
    if (Owned(c)) {
      grid[kPrec][1][c] = 10;
      grid[kEtr][1][c] = 2;
      grid[kPonding][1][c] += 8;
    } else {
      grid[kPrec][1][c] = 999;
      grid[kEtr][1][c] = 999;
      grid[kPonding][1][c] = 0;
    }
  }
  Step(0);
  // 2e6 + 2 cells x 8 mm x 1e6 m2 = 2.016e6 m3: level 501.008 m on both cells.
  for (int c = 4; c <= 5; ++c)
    if (Owned(c)) {
      EXPECT_NEAR(grid[kPonding][1][c], 1008, 1e-7) << c;
    }
  if (rank == 0) {
    const SP_class& lake = model->Routing(1)->Reservoir(1);
    EXPECT_NEAR(lake.Volume(), 2.016e6, 1e-4);
    EXPECT_NEAR(lake.PREC.m3, 2e4, 1e-6);
    EXPECT_NEAR(lake.ETR.m3, 4e3, 1e-6);
    EXPECT_NEAR(lake.Err.m3, 0, 1e-6);
    EXPECT_TRUE(fluvextest::FileExists(dir / "W_V_Table_01.dat"));
  }
}

}  // namespace
