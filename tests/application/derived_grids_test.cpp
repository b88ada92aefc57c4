// Derived static grids of the set-up: slope and aspect, cell sizes and
// coordinates, land-use layer grids, soil parameter grids, the glacier grid.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "application/derivedgrids.h"
#include "tests/application/setups.h"

using fluvextest::DerivedWorld;
using fluvextest::FileExists;

namespace {

constexpr double kNd = -9999;

std::vector<double> Fill(int columns, int rows, const std::function<double(int, int)>& f) {
  std::vector<double> v;
  for (int r = 1; r <= rows; ++r)
    for (int c = 1; c <= columns; ++c) v.push_back(f(r, c));
  return v;
}

// Slope and aspect of an elevation model "dem.asc" over zone cells only.
struct Terrain {
  Terrain(const std::string& name, int columns, int rows, const std::function<double(int, int)>& z) : world(name) {
    world->Zones(columns, rows, std::vector<double>(static_cast<size_t>(columns * rows), 1.0));
    world->Add("dem.asc", "[elevation_model]", Fill(columns, rows, z));
    world->make_Slope_and_Aspect();
    slope = world->Find("slope_angle");
    aspect = world->Find("slope_aspect");
  }
  DerivedWorld world;
  Grid slope = nullptr;
  Grid aspect = nullptr;
};

}  // namespace

TEST(SlopeAndAspect, PlanesFaceAwayFromTheirRiseEdgesIncluded) {
  // 10 m per cell of 100 m: a gradient of 0.1, atan(0.1) = 5.7105931375 degrees.
  struct Plane {
    const char* name;
    std::function<double(int, int)> z;
    double slope, aspect;
  };
  const Plane planes[] = {
      {"north", [](int r, int) { return 10.0 * (5 - r); }, 5.710593137499643, 180},
      {"east", [](int, int c) { return 10.0 * c; }, 5.710593137499643, 270},
      {"west", [](int, int c) { return -10.0 * c; }, 5.710593137499643, 90},
      {"south", [](int r, int) { return 10.0 * r; }, 5.710593137499643, 0},
      {"northeast", [](int r, int c) { return 10.0 * c + 10.0 * (5 - r); }, 8.049466975528397, 225},
      {"flat", [](int, int) { return 500.0; }, 0, 0},
      // A missing elevation inside: its four neighbours take neighbour means,
      // the cell itself the difference of its neighbours.
      {"hole", [](int r, int c) { return r == 3 && c == 3 ? kNd : 10.0 * c; }, 5.710593137499643, 270},
  };
  for (const Plane& p : planes) {
    SCOPED_TRACE(p.name);
    Terrain t(std::string("slope_") + p.name, 5, 5, p.z);
    // The factor 57.29577951307855 lies a little below 180 / pi.
    for (int r = 1; r <= 5; ++r)
      for (int c = 1; c <= 5; ++c) {
        EXPECT_NEAR(t.slope[r][c], p.slope, 1e-10) << r << " " << c;
        EXPECT_NEAR(t.aspect[r][c], p.aspect, 1e-10) << r << " " << c;
      }
  }
  // A missing elevation on the edge stays without slope.
  Terrain edge("slope_edge", 4, 4, [](int r, int c) { return r == 1 && c == 1 ? kNd : 50.0 * r; });
  EXPECT_EQ(edge.slope[1][1], kNd);
  EXPECT_NEAR(edge.aspect[1][2], 0, 1e-12);
}

TEST(SlopeAndAspect, InteriorOfARealTerrainIsTheCentralDifference) {
  auto z = [](int r, int c) {
    const double x = c * 100.0, y = (9 - r) * 100.0;
    return 300 + 0.0005 * (x - 450) * (x - 450) + 0.15 * y + 40 * std::sin(x / 160) * std::cos(y / 220);
  };
  Terrain t("slope_terrain", 9, 8, z);
  for (int r = 2; r <= 7; ++r)
    for (int c = 2; c <= 8; ++c) {
      const double dzdx = (z(r, c + 1) - z(r, c - 1)) / 200.0;
      const double dzdy = (z(r - 1, c) - z(r + 1, c)) / 200.0;
      // Compass bearing of the downslope direction.
      const double bearing = std::fmod(std::atan2(-dzdx, -dzdy) * 180.0 / M_PI + 360.0, 360.0);
      EXPECT_NEAR(t.slope[r][c], std::atan(std::hypot(dzdx, dzdy)) * 180.0 / M_PI, 1e-9) << r << " " << c;
      EXPECT_NEAR(t.aspect[r][c], bearing, 1e-9) << r << " " << c;
    }
}

TEST(SlopeAndAspect, FileNamesFromTheElevationModel) {
  Terrain t("slope_files", 4, 4, [](int, int c) { return 10.0 * c; });
  EXPECT_TRUE(FileExists(t.world.dir / "dem.$sl"));
  EXPECT_TRUE(FileExists(t.world.dir / "dem.$ex"));
  EXPECT_TRUE(t.world.Said("calculating the lokal topography (aspect, slope ...).. "));
  // The last "." of the whole path ends the stem.
  EXPECT_EQ(derivedgrids::FileName("./dem", ".$sl"), ".$sl");
  EXPECT_EQ(derivedgrids::FileName("dem", ".$ex"), "dem.$ex");
  EXPECT_EQ(derivedgrids::FileName("in.d/dem.asc", ".$sl"), "in.d/dem.$sl");
}

TEST(SlopeAndAspect, NeighbourMeanOfValidNeighbours) {
  DerivedWorld w("neighbour_mean");
  w->Zones(3, 3, {1, 2, 3, 4, kNd, kNd, 7, kNd, 9});
  Grid g = w->Find("[zone_grid]");
  w->GetNeighbourMean(2, 2, g);
  EXPECT_DOUBLE_EQ(g[2][2], 26.0 / 6);
  w->GetNeighbourMean(2, 3, g);  // 2, 3, 26/6, 9
  EXPECT_DOUBLE_EQ(g[2][3], (14 + 26.0 / 6) / 4);
  g[1][1] = 5;
  g[1][2] = g[2][1] = g[2][2] = kNd;
  w->GetNeighbourMean(1, 1, g);  // no valid neighbour: unchanged
  EXPECT_EQ(g[1][1], 5);
}

TEST(CellSizes, WithoutGridsSizesAreTheCellSizeAndCoordinatesUniform) {
  DerivedWorld w("cellsize_none");
  w->Zones(3, 2, {1, 1, kNd, 2, 2, 2});
  w->MakeCellSizeGrids();
  w->MakeCoordinateGrids();
  const double area[6] = {1, 1, kNd, 1, 1, 1};
  const double x[6] = {1000, 1100, kNd, 1000, 1100, 1200};  // lower left corners, row 1 in the north
  const double y[6] = {2100, 2100, kNd, 2000, 2000, 2000};
  for (int i = 0; i < 6; ++i) {
    const int r = 1 + i / 3, c = 1 + i % 3;
    EXPECT_EQ(w->Find("RelCellArea")[r][c], area[i]);
    EXPECT_EQ(w->Find("CellSizeX")[r][c], area[i] > 0 ? 100 : kNd);
    EXPECT_EQ(w->Find("CellSizeY")[r][c], area[i] > 0 ? 100 : kNd);
    EXPECT_EQ(w->Find("CoordX")[r][c], x[i]);
    EXPECT_EQ(w->Find("CoordY")[r][c], y[i]);
  }
  for (const char* f : {"zones.$rca", "zones.$csx", "zones.$csy", "zones.$cx", "zones.$cy"})
    EXPECT_TRUE(FileExists(w.dir / f)) << f;
}

TEST(CellSizes, ReadSizesGiveTheAreaAndSummedCoordinates) {
  DerivedWorld w("cellsize_both");
  w->Zones(4, 3, {1, 1, 1, 1, kNd, 1, 1, 1, 1, 1, 1, 1});
  w->Add("dem.asc", "[elevation_model]", std::vector<double>(12, 0.0));
  w->Add("sx.asc", "CellSizeX", Fill(4, 3, [](int, int c) { return 50.0 * c; }));
  w->Add("sy.asc", "CellSizeY", Fill(4, 3, [](int r, int) { return r == 1 ? 80.0 : r == 2 ? 90.0 : 110.0; }));
  w->MakeCellSizeGrids();
  w->MakeCoordinateGrids();
  EXPECT_DOUBLE_EQ(w->Find("RelCellArea")[1][1], 50 * 80 / 10000.0);
  EXPECT_DOUBLE_EQ(w->Find("RelCellArea")[3][4], 200 * 110 / 10000.0);
  EXPECT_FALSE(FileExists(w.dir / "zones.$csx"));
  // From the south-west corner; the cell without zone data counts as a whole cell.
  const double x[3][4] = {{1000, 1050, 1150, 1300}, {kNd, 1100, 1200, 1350}, {1000, 1050, 1150, 1300}};
  const double y[3][4] = {{2210, 2200, 2200, 2200}, {kNd, 2110, 2110, 2110}, {2000, 2000, 2000, 2000}};
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) {
      EXPECT_DOUBLE_EQ(w->Find("CoordX")[r][c], x[r - 1][c - 1]) << r << " " << c;
      EXPECT_DOUBLE_EQ(w->Find("CoordY")[r][c], y[r - 1][c - 1]) << r << " " << c;
    }

  // One size read and the area derived: the area is 1, the other size cellsize^2 / size.
  DerivedWorld one("cellsize_one");
  one->Zones(2, 1, {1, 1});
  one->Add("dem.asc", "[elevation_model]", {0, 0});
  one->Add("sx.asc", "CellSizeX", {50, 80});
  one->MakeCellSizeGrids();
  EXPECT_DOUBLE_EQ(one->Find("CellSizeY")[1][2], 125);
  EXPECT_EQ(one->Find("RelCellArea")[1][1], 1.0);
}

TEST(CellSizes, InconsistentZeroOrMissingSizesAre66) {
  DerivedWorld w("cellsize_mismatch");
  w->Zones(2, 2, {1, 1, 1, 1});
  w->Add("dem.asc", "[elevation_model]", {0, 0, 0, 0});
  w->Add("sx.asc", "CellSizeX", {50, 50, 50, 50});
  w->Add("sy.asc", "CellSizeY", {100, 100, 100, 100});
  w->Add("rca.asc", "RelCellArea", {0.500009, 0.5, 0.6, 0.5});  // within 1e-5 passes
  EXPECT_EQ(CodeOf([&] { w->MakeCellSizeGrids(); }), 66);
  EXPECT_TRUE(w.Said("area is 0.5 and differs from \nthe relative grid cell size 0.6 (from rca.asc) by more than"));

  DerivedWorld z("cellsize_zero");
  z->Zones(3, 2, {1, 1, 1, 1, 1, 1});
  z->Add("dem.asc", "[elevation_model]", std::vector<double>(6, 0.0));
  z->Add("sx.asc", "CellSizeX", {50, 50, 50, 50, 50, 0});
  EXPECT_EQ(CodeOf([&] { z->MakeCellSizeGrids(); }), 66);
  EXPECT_TRUE(z.Said("cell size in x direction is zero at row 2, column 3,\nread from file sx.asc\n"));

  DerivedWorld m("cellsize_missing");
  m->Zones(2, 1, {1, 1});
  m->Add("dem.asc", "[elevation_model]", {0, 0});
  m->Add("sy.asc", "CellSizeY", {100, kNd});
  EXPECT_EQ(CodeOf([&] { m->MakeCellSizeGrids(); }), 66);
  EXPECT_TRUE(m.Said("cell size in y direction is negative or missing (-9999) at row 1, column 2"));
}

TEST(LanduseLayers, OneGridPerLayerOfTheMultilayerTable) {
  DerivedWorld w("landuse_layers");
  w->Zones(3, 2, {1, 1, 1, kNd, 1, 1});
  w->Add("dem.asc", "[elevation_model]", std::vector<double>(6, 0.0));
  // Entry 1 has three layers, entry 2 only two.
  w->multilayertable = std::make_unique<multilayer_landuse_entry[]>(3);
  w->multilayertable[0].code = 2;
  w->multilayertable[1].LayerIndexes = {0, 5, 6, 7};
  w->multilayertable[1].count = 3;
  w->multilayertable[2].LayerIndexes = {0, 8, 9};
  w->multilayertable[2].count = 2;
  Grid landuse = w->Add("lu.asc", "landuse", {1, 2, 1, kNd, 2, 1});
  w->LanduseLayers();
  ASSERT_EQ(w->nlanduselayers, 3);
  EXPECT_EQ(w->landuselayers[0], landuse);
  const double expect[3][6] = {{5, 8, 5, kNd, 8, 5}, {6, 9, 6, kNd, 9, 6}, {7, -9999, 7, kNd, -9999, 7}};
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "landuse" + std::to_string(k);
    ASSERT_EQ(w->Find(name), w->landuselayers[k]) << name;
    for (int i = 0; i < 6; ++i) EXPECT_EQ(w->landuselayers[k][1 + i / 3][1 + i % 3], expect[k - 1][i]) << name;
    EXPECT_FALSE(FileExists(w.dir / name));
  }

  // Without a multi-layer table the land-use grid is the one layer, found
  // under both names.
  DerivedWorld one("landuse_one");
  one->Zones(2, 1, {1, 1});
  Grid single = one->Add("lu.asc", "landuse", {3, 4});
  one->LanduseLayers();
  EXPECT_EQ(one->nlanduselayers, 1);
  EXPECT_EQ(one->landuselayers[1], single);
  EXPECT_EQ(one->Find("landuse1"), single);
  EXPECT_EQ(one->Find("landuse"), single);
}

TEST(SoilParameterGrids, FromTheSoilTableEntryOfEachCell) {
  DerivedWorld w("soil_parameters");
  w->Zones(3, 1, {1, 1, 1});
  w->soiltable = std::make_unique<soil_table_entry[]>(3);
  w->soiltable[0].code = 2;
  w->soiltable[1].FCap = 20;
  w->soiltable[1].mSB = 30;
  w->soiltable[2].ksat_topmodel = 3e-6;
  w->Add("soil.asc", "soil_types", {1, 2, 3});  // 3 lies outside the table
  w->Add("root.asc", "root_depth1", {5, 2.5, 5});
  w->make_nFK_kWert_and_Na();
  EXPECT_DOUBLE_EQ(w->Find("available_soil_moisture")[1][1], 20 * 5 * 10.0);
  EXPECT_DOUBLE_EQ(w->Find("hydraulic_conductivity")[1][2], 3e-6);
  EXPECT_DOUBLE_EQ(w->Find("fillable_porosity")[1][1], 0.3);
  for (const char* name : {"available_soil_moisture", "hydraulic_conductivity", "fillable_porosity"})
    EXPECT_EQ(w->Find(name)[1][3], kNd) << name;
  for (const char* f : {"soil.$fk", "soil.$k", "soil.$na"}) EXPECT_TRUE(FileExists(w.dir / f)) << f;
}

TEST(IceFirnGrid, BoundWhenPresentElseOneInfoLine) {
  DerivedWorld w("ice_firn");
  w->Zones(2, 1, {1, 1});
  w->check_ice_firn_grid();
  EXPECT_EQ(w->icefirn, nullptr);
  EXPECT_TRUE(w.Said("ice-grid not found in memory (at position 2)"));
  Grid ice = w->Add("ice.asc", "ice_firn", {0, 1});
  w->check_ice_firn_grid();
  EXPECT_EQ(w->icefirn, ice);
}
