// Regions of the meteorological regression and their transition weights.
#include <gtest/gtest.h>

#include <cmath>

#include "application/derivedgrids.h"
#include "tests/application/derivedsetup.h"

using fluvextest::DerivedWorld;
using fluvextest::FileExists;
using fluvextest::WriteFile;

namespace {

constexpr double kNd = -9999;

// A raster of zone 1 everywhere with the transition distance in the control file.
void Basin(DerivedWorld& w, int columns, int rows, const std::string& distance) {
  WriteFile(w.dir / "control.txt", "[region_transition_distance]\n" + distance + "   transition distance\n");
  w->Raster(columns, rows, 100);
  w->Zones(std::vector<double>(static_cast<size_t>(columns * rows), 1.0));
  w->Add("dem.asc", "[elevation_model]", std::vector<double>(static_cast<size_t>(columns * rows), 0.0));
}

std::vector<double> Regions(int columns, int rows, double (*f)(int, int)) {
  std::vector<double> v;
  for (int r = 1; r <= rows; ++r)
    for (int c = 1; c <= columns; ++c) v.push_back(f(r, c));
  return v;
}

}  // namespace

TEST(RegionWeights, TwoRegionsBlendOverTheTransitionDistance) {
  DerivedWorld w("regions_two");
  Basin(w, 12, 3, "400");  // 4 cells
  w->Add("regions.asc", "regression_regions", Regions(12, 3, [](int, int c) { return c <= 6 ? 1.0 : 2.0; }));
  w->MakeRegionWeightGrids();
  Grid w1 = w->Find("regression_weights1");
  Grid w2 = w->Find("regression_weights2");
  Grid r2 = w->Find("regression_regions2");
  ASSERT_TRUE(w1 && w2 && r2);
  EXPECT_EQ(w->Find("regression_regions3"), nullptr);
  for (int r = 1; r <= 3; ++r) {
    // Columns 6 and 7 lie one cell from the other region, 5 and 8 two cells.
    EXPECT_DOUBLE_EQ(w1[r][6], 0.625);
    EXPECT_DOUBLE_EQ(w2[r][6], 0.375);
    EXPECT_EQ(r2[r][6], 2);
    EXPECT_DOUBLE_EQ(w1[r][7], 0.625);
    EXPECT_EQ(r2[r][7], 1);
    EXPECT_DOUBLE_EQ(w1[r][5], 0.75);
    EXPECT_DOUBLE_EQ(w2[r][5], 0.25);
    EXPECT_DOUBLE_EQ(w1[r][8], 0.75);
    // Four cells away the other region has no weight left; five are out of reach.
    EXPECT_EQ(w1[r][3], 1.0);
    EXPECT_EQ(w2[r][3], 0.0);
    EXPECT_EQ(r2[r][3], 2);
    EXPECT_EQ(w1[r][2], 1.0);
    EXPECT_EQ(w2[r][2], 0.0);
    EXPECT_EQ(r2[r][2], 0);
  }
  // Named from the region grid's file; the regions of the control file are not written again.
  for (const char* f : {"regions.$w1", "regions.$r2", "regions.$w2"}) EXPECT_TRUE(FileExists(w.dir / f)) << f;
  EXPECT_FALSE(FileExists(w.dir / "regions.$r1"));
  EXPECT_NE(w.Console().find("generating region weight grids"), std::string::npos);
}

TEST(RegionWeights, ThreeRegionsSumToOne) {
  DerivedWorld w("regions_three");
  Basin(w, 10, 10, "300");  // 3 cells
  w->Add("regions", "regression_regions",
         Regions(10, 10, [](int r, int c) { return c <= 5 ? 1.0 : r <= 5 ? 2.0 : 3.0; }));
  w->MakeRegionWeightGrids();
  Grid reg1 = w->Find("regression_regions");
  Grid w1 = w->Find("regression_weights1");
  Grid w2 = w->Find("regression_weights2");
  Grid w3 = w->Find("regression_weights3");
  Grid reg2 = w->Find("regression_regions2");
  Grid reg3 = w->Find("regression_regions3");
  ASSERT_TRUE(w1 && w2 && w3 && reg2 && reg3);
  for (int r = 1; r <= 10; ++r)
    for (int c = 1; c <= 10; ++c) {
      EXPECT_NEAR(w1[r][c] + w2[r][c] + w3[r][c], 1.0, 1e-12) << r << " " << c;
      for (Grid g : {w1, w2, w3}) {
        EXPECT_GE(g[r][c], 0.0);
        EXPECT_LE(g[r][c], 1.0);
      }
      EXPECT_NE(reg2[r][c], reg1[r][c]);
      if (reg3[r][c] != 0) {
        EXPECT_NE(reg3[r][c], reg1[r][c]);
        EXPECT_NE(reg3[r][c], reg2[r][c]);
      } else {
        EXPECT_EQ(w3[r][c], 0.0);
      }
    }
  // Far from both others.
  EXPECT_EQ(w1[1][1], 1.0);
  EXPECT_EQ(reg2[1][1], 0);
  // Region 2 two cells away, region 3 out of reach: w1 = 2 / (2 d) + 0.5.
  EXPECT_DOUBLE_EQ(w1[1][4], 2.0 / 6 + 0.5);
  EXPECT_DOUBLE_EQ(w2[1][4], 0.5 - 2.0 / 6);
  EXPECT_EQ(reg2[1][4], 2);
  EXPECT_EQ(reg3[1][4], 0);
  // Row 5, column 5: region 2 next door (1 cell), region 3 diagonal (sqrt 2);
  // m = 3 - 1 = 2, threshold (0.9 - 0.5 cos(1.5707963 * 2 / 3)) / 6, inverse
  // distances 1/2, 1/4 and 1/(3 + sqrt 2) less the threshold, normalised.
  EXPECT_EQ(reg2[5][5], 2);
  EXPECT_EQ(reg3[5][5], 3);
  EXPECT_NEAR(w1[5][5], 0.6011390133941545, 1e-12);
  EXPECT_NEAR(w2[5][5], 0.21743326142680983, 1e-12);
  EXPECT_NEAR(w3[5][5], 0.1814277251790356, 1e-12);
  // A region grid without an extension gets the suffixes appended.
  for (const char* f : {"regions.$rw1", "regions.$r2", "regions.$w2", "regions.$r3", "regions.$w3"})
    EXPECT_TRUE(FileExists(w.dir / f)) << f;
}

TEST(RegionWeights, WithoutARegionGridOneRegionOfWeightOne) {
  DerivedWorld w("regions_none");
  WriteFile(w.dir / "control.txt", "[region_transition_distance]\n500\n");
  w->Raster(3, 2, 100);
  w->Zones({1, 2, kNd, 1, 1, 1});
  w->MakeRegionWeightGrids();
  const GridListEntry* regions = w->Entry("regression_regions");
  ASSERT_NE(regions, nullptr);
  EXPECT_EQ(regions->filename, "zones.$r1");
  Grid w1 = w->Find("regression_weights1");
  const double expectRegion[6] = {1, 1, kNd, 1, 1, 1};
  const double expectWeight[6] = {1, 1, 0, 1, 1, 1};  // column 3 of row 1 lies outside the data columns
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(regions->grid[1 + i / 3][1 + i % 3], expectRegion[i]) << i;
    EXPECT_EQ(w1[1 + i / 3][1 + i % 3], expectWeight[i]) << i;
  }
  EXPECT_EQ(w->Find("regression_regions2"), nullptr);
  EXPECT_EQ(w->Find("regression_weights2"), nullptr);
  EXPECT_TRUE(FileExists(w.dir / "zones.$w1"));
}

TEST(RegionWeights, ZeroDistanceActsAsAHundredthOfAMapUnit) {
  DerivedWorld w("regions_zero");
  Basin(w, 4, 1, "0");
  w->Add("regions.asc", "regression_regions", {1, 1, 2, 2});
  w->MakeRegionWeightGrids();
  EXPECT_EQ(w->TransitionDistance(), 0.01);
  Grid w1 = w->Find("regression_weights1");
  Grid w2 = w->Find("regression_weights2");
  for (int c = 1; c <= 4; ++c) {
    EXPECT_EQ(w1[1][c], 1.0);
    EXPECT_EQ(w2[1][c], 0.0);
  }
}

TEST(RegionWeights, MissingOrUnusableDistanceIs17) {
  DerivedWorld w("regions_nosection");
  WriteFile(w.dir / "control.txt", "[other]\n5\n");
  w->Raster(2, 1, 100);
  w->Zones({1, 1});
  EXPECT_EQ(w.CodeOf([&] { w->MakeRegionWeightGrids(); }), 17);

  DerivedWorld inf("regions_inf");
  WriteFile(inf.dir / "control.txt", "[region_transition_distance]\ninf\n");
  inf->Raster(2, 1, 100);
  inf->Zones({1, 1});
  EXPECT_EQ(inf.CodeOf([&] { inf->MakeRegionWeightGrids(); }), 17);
  EXPECT_NE(inf.Console().find("not a finite number"), std::string::npos);
}

TEST(RegionWeights, AZeroDenominatorKeepsTheOwnRegion) {
  // d = 0.5 cells, both others one cell away: every inverse distance lies
  // below the threshold 1.4, which would divide 0 by 0.
  const derivedgrids::RegionWeights w = derivedgrids::ThreeRegionWeights(1, 0.5, true, true, 1, 1);
  EXPECT_EQ(w.w1, 1.0);
  EXPECT_EQ(w.w2, 0.0);
  EXPECT_EQ(w.w3, 0.0);
  // Two regions: a distance below 0 would give x < 0.5.
  const derivedgrids::RegionWeights two = derivedgrids::TwoRegionWeights(-1, 4);
  EXPECT_EQ(two.w1, 0.5);
  EXPECT_EQ(two.w2, 0.5);
}
