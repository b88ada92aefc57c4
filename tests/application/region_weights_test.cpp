// Regions of the meteorological regression and their transition weights.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "application/derivedgrids.h"
#include "tests/application/setups.h"

using fluvextest::DerivedWorld;
using fluvextest::FileExists;
using fluvextest::WriteFile;

namespace {

// Zone 1 everywhere, cells of 100, the region grid "regions" and the transition distance.
void Basin(DerivedWorld& w, int columns, int rows, const std::string& distance, double (*region)(int, int)) {
  WriteFile(w.dir / "control.txt", "[region_transition_distance]\n" + distance + "   transition distance\n");
  w->Zones(columns, rows, std::vector<double>(static_cast<size_t>(columns * rows), 1.0));
  w->Add("dem.asc", "[elevation_model]", std::vector<double>(static_cast<size_t>(columns * rows), 0.0));
  std::vector<double> v;
  for (int r = 1; r <= rows; ++r)
    for (int c = 1; c <= columns; ++c) v.push_back(region(r, c));
  w->Add("regions", "regression_regions", v);
}

}  // namespace

TEST(RegionWeights, TwoRegionsBlendOverTheTransitionDistance) {
  DerivedWorld w("regions_two");
  Basin(w, 12, 3, "400", [](int, int c) { return c <= 6 ? 1.0 : 2.0; });  // d = 4 cells
  w->MakeRegionWeightGrids();
  Grid w1 = w->Find("regression_weights1");
  Grid w2 = w->Find("regression_weights2");
  Grid r2 = w->Find("regression_regions2");
  ASSERT_TRUE(w1 && w2 && r2);
  EXPECT_EQ(w->Find("regression_regions3"), nullptr);
  // Columns 6 and 7 lie one cell from the other region, 5 two cells, 4 three,
  // 3 four, 2 five (out of reach).
  const double expect1[8] = {0, 0, 1, 1, 0.875, 0.75, 0.625, 0.625};
  const double expectRegion[8] = {0, 0, 0, 2, 2, 2, 2, 1};
  for (int r = 1; r <= 3; ++r)
    for (int c = 2; c <= 7; ++c) {
      EXPECT_DOUBLE_EQ(w1[r][c], expect1[c]) << r << " " << c;
      EXPECT_DOUBLE_EQ(w2[r][c], 1 - expect1[c]) << r << " " << c;
      EXPECT_EQ(r2[r][c], expectRegion[c]) << r << " " << c;
    }
  // Named from the region grid's file, which has no extension.
  for (const char* f : {"regions.$rw1", "regions.$r2", "regions.$w2"}) EXPECT_TRUE(FileExists(w.dir / f)) << f;
}

TEST(RegionWeights, ThreeRegionsSumToOne) {
  DerivedWorld w("regions_three");
  Basin(w, 10, 10, "300", [](int r, int c) { return c <= 5 ? 1.0 : r <= 5 ? 2.0 : 3.0; });  // d = 3
  w->MakeRegionWeightGrids();
  Grid w1 = w->Find("regression_weights1");
  Grid w2 = w->Find("regression_weights2");
  Grid w3 = w->Find("regression_weights3");
  Grid reg2 = w->Find("regression_regions2");
  Grid reg3 = w->Find("regression_regions3");
  ASSERT_TRUE(w1 && w2 && w3 && reg2 && reg3);
  for (int r = 1; r <= 10; ++r)
    for (int c = 1; c <= 10; ++c) {
      EXPECT_NEAR(w1[r][c] + w2[r][c] + w3[r][c], 1.0, 1e-12) << r << " " << c;
      EXPECT_GE(std::min({w1[r][c], w2[r][c], w3[r][c]}), 0.0);
      EXPECT_TRUE(reg3[r][c] != 0 || w3[r][c] == 0.0) << r << " " << c;
    }
  EXPECT_EQ(w1[1][1], 1.0);  // far from both others
  EXPECT_EQ(reg2[1][1], 0);
  // Region 2 two cells away, region 3 out of reach: w1 = 2 / (2 d) + 0.5.
  EXPECT_DOUBLE_EQ(w1[1][4], 2.0 / 6 + 0.5);
  EXPECT_EQ(reg3[1][4], 0);
  // Row 5, column 5: region 2 one cell east, region 3 diagonal (sqrt 2);
  // m = 3 - 1 = 2, threshold e = (0.9 - 0.5 cos(1.5707963 * 2 / 3)) / 6 and the
  // inverse distances 1/2, 1/4 and 1/(3 + sqrt 2) less e, normalised.
  EXPECT_EQ(reg2[5][5], 2);
  EXPECT_EQ(reg3[5][5], 3);
  EXPECT_NEAR(w1[5][5], 0.6011390133941545, 1e-12);
  EXPECT_NEAR(w2[5][5], 0.21743326142680983, 1e-12);
  EXPECT_NEAR(w3[5][5], 0.1814277251790356, 1e-12);
}

TEST(RegionWeights, AFourthRegionReplacesTheFartherOther) {
  DerivedWorld w("regions_four");
  Basin(w, 7, 1, "300", [](int, int c) { return 1.0 + std::abs(c - 4); });  // 4 3 2 1 2 3 4
  w->MakeRegionWeightGrids();
  // Column 4 meets 4 (3 cells west), then 3 (2 cells), then 2 (1 cell), which
  // replaces 4; 2 and 3 are nearest at 1 and 2 cells: m = 2, inverse
  // distances 1/2, 1/4 and 1/5 less the threshold e of the case above.
  EXPECT_EQ(w->Find("regression_regions2")[1][4], 2);
  EXPECT_EQ(w->Find("regression_regions3")[1][4], 3);
  EXPECT_NEAR(w->Find("regression_weights1")[1][4], 0.6266666648515153, 1e-12);
  EXPECT_NEAR(w->Find("regression_weights2")[1][4], 0.22666666732672175, 1e-12);
  EXPECT_NEAR(w->Find("regression_weights3")[1][4], 0.14666666782176296, 1e-12);
}

TEST(RegionWeights, NoRegionGridOrNoDistanceGivesWeightOne) {
  DerivedWorld w("regions_none");
  WriteFile(w.dir / "control.txt", "[region_transition_distance]\n500\n");
  w->Zones(3, 2, {1, 2, kNodata, 1, 1, 1});
  w->MakeRegionWeightGrids();
  EXPECT_EQ(w.list[2].filename, "zones.$r1");
  const double expected[6] = {1, 1, kNodata, 1, 1, 1};  // row 1, column 3 lies outside the zones
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(w->Find("regression_regions")[1 + i / 3][1 + i % 3], expected[i]) << i;
    EXPECT_EQ(w->Find("regression_weights1")[1 + i / 3][1 + i % 3], expected[i]) << i;
  }
  EXPECT_EQ(w->Find("regression_regions2"), nullptr);
  EXPECT_TRUE(FileExists(w.dir / "zones.$w1"));

  // A distance of 0 acts as 0.01 map units, far below one cell.
  DerivedWorld zero("regions_zero");
  Basin(zero, 4, 1, "0", [](int, int c) { return c <= 2 ? 1.0 : 2.0; });
  zero->MakeRegionWeightGrids();
  EXPECT_EQ(zero->transitiondistance, 0.01);
  for (int c = 1; c <= 4; ++c) EXPECT_EQ(zero->Find("regression_weights1")[1][c], 1.0);
}

TEST(RegionWeights, MissingOrInfiniteDistanceIs17) {
  DerivedWorld w("regions_nosection");
  WriteFile(w.dir / "control.txt", "[other]\n5\n");
  w->Zones(2, 1, {1, 1});
  EXPECT_EQ(CodeOf([&] { w->MakeRegionWeightGrids(); }), 17);
  DerivedWorld inf("regions_inf");
  WriteFile(inf.dir / "control.txt", "[region_transition_distance]\ninf\n");
  inf->Zones(2, 1, {1, 1});
  EXPECT_EQ(CodeOf([&] { inf->MakeRegionWeightGrids(); }), 17);
  EXPECT_TRUE(inf.Said("transition distance (if or if not using a region grid) ; defaults not found! (control file"));
  EXPECT_TRUE(inf.Said(", line 2: \"inf\" is unreadable)"));
}

TEST(RegionWeights, AZeroDenominatorKeepsTheOwnRegion) {
  // d = 0.5 cells, both others one cell away: every inverse distance lies
  // below the threshold 1.4, and the weights would be 0 / 0.
  const derivedgrids::RegionWeights w = derivedgrids::ThreeRegionWeights(1, 0.5, true, true, 1, 1);
  EXPECT_EQ(w.w1, 1.0);
  EXPECT_EQ(w.w2, 0.0);
  EXPECT_EQ(w.w3, 0.0);
}
