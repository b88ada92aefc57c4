// Derived static grids of the set-up: slope and aspect, cell sizes and
// relative cell area, coordinates, land-use layer grids, soil parameter grids
// and the glacier grid.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "application/derivedgrids.h"
#include "tests/application/derivedsetup.h"

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

// Slope and aspect of every cell of an elevation model (all zone cells).
struct Terrain {
  explicit Terrain(const std::string& name, int columns, int rows, double cell,
                   const std::function<double(int, int)>& z)
      : world(name) {
    world->Raster(columns, rows, cell);
    world->Zones(Fill(columns, rows, [](int, int) { return 1.0; }));
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

TEST(SlopeAndAspect, PlanesFaceAwayFromTheirRise) {
  // 10 m per 100 m cell: the central difference gives a gradient of 0.1.
  const double atanTenth = 5.710593137499643;  // degrees
  struct Plane {
    const char* name;
    std::function<double(int, int)> z;
    double slope;
    double aspect;
  };
  const Plane planes[] = {
      {"north", [](int r, int) { return 100.0 + 10 * (5 - r); }, atanTenth, 180},
      {"east", [](int, int c) { return 100.0 + 10 * c; }, atanTenth, 270},
      {"west", [](int, int c) { return 100.0 - 10 * c; }, atanTenth, 90},
      {"south", [](int r, int) { return 100.0 + 10 * r; }, atanTenth, 0},
      // Rising to the north-east by 0.1 in both directions: faces south-west.
      {"northeast", [](int r, int c) { return 100.0 + 10 * c + 10 * (5 - r); }, 8.049466975528397, 225},
      {"flat", [](int, int) { return 500.0; }, 0, 0},
  };
  for (const Plane& p : planes) {
    SCOPED_TRACE(p.name);
    Terrain t(std::string("slope_") + p.name, 5, 5, 100, p.z);
    ASSERT_TRUE(t.slope && t.aspect);
    // Every cell, the edge rows and columns filled from their neighbours
    // (degrees from the factor 57.29577951307855, a little below 180 / pi).
    for (int r = 1; r <= 5; ++r)
      for (int c = 1; c <= 5; ++c) {
        EXPECT_NEAR(t.slope[r][c], p.slope, 1e-10) << r << " " << c;
        EXPECT_NEAR(t.aspect[r][c], p.aspect, 1e-10) << r << " " << c;
      }
  }
}

TEST(SlopeAndAspect, MissingElevationInsideTheModel) {
  // A plane rising to the east with one missing elevation at row 4, column 4.
  Terrain t("slope_hole", 7, 7, 100, [](int r, int c) { return r == 4 && c == 4 ? kNd : 100.0 + 10 * c; });
  ASSERT_TRUE(t.slope && t.aspect);
  // Its four neighbours lose a difference and take the mean of their
  // neighbours; the cell itself is computed from its neighbours.
  for (int r = 1; r <= 7; ++r)
    for (int c = 1; c <= 7; ++c) {
      EXPECT_NEAR(t.slope[r][c], 5.710593137499643, 1e-12) << r << " " << c;
      EXPECT_NEAR(t.aspect[r][c], 270, 1e-12) << r << " " << c;
    }
  // Cells without elevation on the edge are not filled.
  Terrain edge("slope_edge", 4, 4, 100, [](int r, int c) { return r == 1 && c == 1 ? kNd : 50.0 * r; });
  EXPECT_EQ(edge.slope[1][1], kNd);
  EXPECT_EQ(edge.aspect[1][1], kNd);
  EXPECT_NEAR(edge.aspect[1][2], 0, 1e-12);
}

TEST(SlopeAndAspect, InteriorOfARealTerrainIsTheCentralDifference) {
  // A valley with a ridge and a saddle, 9 x 8 cells of 25 m.
  auto z = [](int r, int c) {
    const double x = c * 25.0, y = (9 - r) * 25.0;
    return 300 + 0.004 * (x - 110) * (x - 110) + 0.3 * y + 12 * std::sin(x / 40) * std::cos(y / 55);
  };
  Terrain t("slope_terrain", 9, 8, 25, z);
  for (int r = 2; r <= 7; ++r)
    for (int c = 2; c <= 8; ++c) {
      // Downslope direction as a compass bearing.
      const double dzdx = (z(r, c + 1) - z(r, c - 1)) / 50.0;
      const double dzdy = (z(r - 1, c) - z(r + 1, c)) / 50.0;
      const double slope = std::atan(std::hypot(dzdx, dzdy)) * 180.0 / M_PI;
      const double bearing = std::fmod(std::atan2(-dzdx, -dzdy) * 180.0 / M_PI + 360.0, 360.0);
      EXPECT_NEAR(t.slope[r][c], slope, 1e-9) << r << " " << c;
      EXPECT_NEAR(t.aspect[r][c], bearing, 1e-9) << r << " " << c;
    }
}

TEST(SlopeAndAspect, FilesAndGridsSuppliedByTheControlFile) {
  Terrain t("slope_files", 4, 4, 100, [](int, int c) { return 10.0 * c; });
  EXPECT_TRUE(FileExists(t.world.dir / "dem.$sl"));
  EXPECT_TRUE(FileExists(t.world.dir / "dem.$ex"));
  const std::vector<double> written = t.world.File("dem.$ex");
  for (double v : written) EXPECT_NEAR(v, 270, 1e-9);
  EXPECT_NE(t.world.Console().find("calculating the lokal topography (aspect, slope ...).. "), std::string::npos);
  // The last "." of the whole path ends the stem.
  EXPECT_EQ(derivedgrids::FileName("./dem", ".$sl"), ".$sl");
  EXPECT_EQ(derivedgrids::FileName("dem", ".$ex"), "dem.$ex");
  EXPECT_EQ(derivedgrids::FileName("in.d/dem.asc", ".$sl"), "in.d/dem.$sl");

  // A slope grid of the control file is kept; only the aspect is made.
  DerivedWorld w("slope_supplied");
  w->Raster(4, 4, 100);
  w->Zones(Fill(4, 4, [](int, int) { return 1.0; }));
  w->Add("dem", "[elevation_model]", Fill(4, 4, [](int, int c) { return 10.0 * c; }));
  Grid given = w->Add("myslope.asc", "slope_angle", Fill(4, 4, [](int, int) { return 7.0; }));
  w->make_Slope_and_Aspect();
  EXPECT_EQ(w->Find("slope_angle"), given);
  EXPECT_EQ(given[2][2], 7.0);
  EXPECT_NEAR(w->Find("slope_aspect")[2][2], 270, 1e-12);
  EXPECT_TRUE(FileExists(w.dir / "dem.$ex"));
  EXPECT_FALSE(FileExists(w.dir / "dem.$sl"));
}

TEST(NeighbourMean, ValidNeighboursInsideTheGrid) {
  DerivedWorld w("neighbour_mean");
  w->Raster(3, 3, 100);
  Grid g = w->Zones({1, 2, 3, 4, 5, kNd, 7, kNd, 9});
  // Centre: 1 2 3 4 7 9 -> 26 / 6.
  g[2][2] = kNd;
  w->GetNeighbourMean(2, 2, g);
  EXPECT_DOUBLE_EQ(g[2][2], 26.0 / 6.0);
  // Corner: neighbours 2, 4 and the centre.
  w->GetNeighbourMean(1, 1, g);
  EXPECT_DOUBLE_EQ(g[1][1], (2 + 4 + 26.0 / 6.0) / 3);
  // No valid neighbour: the value stays.
  Grid lonely = w->Add("x", "x", {kNd, kNd, kNd, kNd, 42, kNd, kNd, kNd, kNd});
  w->GetNeighbourMean(2, 2, lonely);
  EXPECT_EQ(lonely[2][2], 42);
}

TEST(CellSizes, WithoutGridsTheSizesAreTheCellSize) {
  DerivedWorld w("cellsize_none");
  w->Raster(3, 2, 100);
  w->Zones({1, 1, kNd, 2, 2, 2});
  w->MakeCellSizeGrids();
  w->MakeCoordinateGrids();
  const std::vector<double> expectArea = {1, 1, kNd, 1, 1, 1};
  const std::vector<double> expectSize = {100, 100, kNd, 100, 100, 100};
  // Lower left corners, row 1 in the north.
  const std::vector<double> expectX = {1000, 1100, kNd, 1000, 1100, 1200};
  const std::vector<double> expectY = {2100, 2100, kNd, 2000, 2000, 2000};
  EXPECT_EQ(w.File("zones.$rca"), expectArea);
  EXPECT_EQ(w.File("zones.$csx"), expectSize);
  EXPECT_EQ(w.File("zones.$csy"), expectSize);
  EXPECT_EQ(w.File("zones.$cx"), expectX);
  EXPECT_EQ(w.File("zones.$cy"), expectY);
  EXPECT_EQ(w->RelCellAreaGrid(), w->Find("RelCellArea"));
  EXPECT_NE(w.Console().find("Checking cell sizes for variable Cells..."), std::string::npos);
}

TEST(CellSizes, ReadSizesGiveAreaAndCoordinates) {
  DerivedWorld w("cellsize_both");
  w->Raster(4, 3, 100);
  w->Zones({1, 1, 1, 1, kNd, 1, 1, 1, 1, 1, 1, 1});
  // Widths per column, heights per row.
  w->Add("dem.asc", "[elevation_model]", std::vector<double>(12, 0.0));
  w->Add("sx.asc", "CellSizeX", Fill(4, 3, [](int, int c) { return 50.0 * c; }));
  w->Add("sy.asc", "CellSizeY", Fill(4, 3, [](int r, int) { return r == 1 ? 80.0 : r == 2 ? 90.0 : 110.0; }));
  w->MakeCellSizeGrids();
  w->MakeCoordinateGrids();
  Grid area = w->Find("RelCellArea");
  EXPECT_DOUBLE_EQ(area[1][1], 50 * 80 / 10000.0);
  EXPECT_DOUBLE_EQ(area[3][4], 200 * 110 / 10000.0);
  EXPECT_EQ(area[2][1], kNd);
  EXPECT_FALSE(FileExists(w.dir / "zones.$csx"));
  EXPECT_TRUE(FileExists(w.dir / "zones.$rca"));
  // Summed from the south-west corner; a cell without zone data counts as a whole cell.
  Grid x = w->Find("CoordX");
  Grid y = w->Find("CoordY");
  const double expectX[3][4] = {{1000, 1050, 1150, 1300}, {kNd, 1100, 1200, 1350}, {1000, 1050, 1150, 1300}};
  const double expectY[3][4] = {{2210, 2200, 2200, 2200}, {kNd, 2110, 2110, 2110}, {2000, 2000, 2000, 2000}};
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) {
      EXPECT_DOUBLE_EQ(x[r][c], expectX[r - 1][c - 1]) << r << " " << c;
      EXPECT_DOUBLE_EQ(y[r][c], expectY[r - 1][c - 1]) << r << " " << c;
    }
}

TEST(CellSizes, OneReadSizeWithADerivedArea) {
  // The area is 1 before the other size is derived from it.
  DerivedWorld w("cellsize_one");
  w->Raster(2, 2, 100);
  w->Zones({1, 1, kNd, 1});
  w->Add("dem.asc", "[elevation_model]", {0, 0, 0, 0});
  w->Add("sx.asc", "CellSizeX", {50, 25, 50, 80});
  w->MakeCellSizeGrids();
  Grid y = w->Find("CellSizeY");
  EXPECT_DOUBLE_EQ(y[1][1], 200);
  EXPECT_DOUBLE_EQ(y[1][2], 400);
  EXPECT_DOUBLE_EQ(y[2][2], 125);
  EXPECT_EQ(y[2][1], kNd);
  EXPECT_EQ(w.File("zones.$rca"), (std::vector<double>{1, 1, kNd, 1}));

  DerivedWorld v("cellsize_one_y");
  v->Raster(2, 1, 100);
  v->Zones({1, 1});
  v->Add("dem.asc", "[elevation_model]", {0, 0});
  v->Add("sy.asc", "CellSizeY", {200, 100});
  v->Add("rca.asc", "RelCellArea", {0.5, 2});
  v->MakeCellSizeGrids();
  Grid x = v->Find("CellSizeX");
  EXPECT_DOUBLE_EQ(x[1][1], 25);
  EXPECT_DOUBLE_EQ(x[1][2], 200);
  EXPECT_FALSE(FileExists(v.dir / "zones.$rca"));
}

TEST(CellSizes, InconsistentOrZeroSizesAreFatal66) {
  DerivedWorld w("cellsize_mismatch");
  w->Raster(2, 2, 100);
  w->Zones({1, 1, 1, 1});
  w->Add("dem.asc", "[elevation_model]", {0, 0, 0, 0});
  w->Add("sx.asc", "CellSizeX", {50, 50, 50, 50});
  w->Add("sy.asc", "CellSizeY", {100, 100, 100, 100});
  // Within 1e-5 passes; row 2, column 1 differs by 0.1.
  w->Add("rca.asc", "RelCellArea", {0.500009, 0.5, 0.6, 0.5});
  EXPECT_EQ(w.CodeOf([&] { w->MakeCellSizeGrids(); }), 66);
  EXPECT_NE(w.Console().find("Cell size Y (100, from sy.asc) times\ncell size X (50, from sx.asc) \ndivided by the "
                             "mean cell area is 0.5 and differs from \nthe relative grid cell size 0.6 (from rca.asc) "
                             "by more than 0.001%%\n"),
            std::string::npos)
      << w.Console();

  DerivedWorld z("cellsize_zero");
  z->Raster(3, 2, 100);
  z->Zones({1, 1, 1, 1, 1, 1});
  z->Add("dem.asc", "[elevation_model]", std::vector<double>(6, 0.0));
  z->Add("sx.asc", "CellSizeX", {50, 50, 50, 50, 50, 0});
  EXPECT_EQ(z.CodeOf([&] { z->MakeCellSizeGrids(); }), 66);
  EXPECT_NE(z.Console().find("cell size in x direction is zero at row 2, column 3,\nread from file sx.asc\n"),
            std::string::npos)
      << z.Console();

  // A missing size where the zone grid has data cannot be divided by.
  DerivedWorld m("cellsize_missing");
  m->Raster(2, 1, 100);
  m->Zones({1, 1});
  m->Add("dem.asc", "[elevation_model]", {0, 0});
  m->Add("sy.asc", "CellSizeY", {100, kNd});
  EXPECT_EQ(m.CodeOf([&] { m->MakeCellSizeGrids(); }), 66);
  EXPECT_NE(m.Console().find("cell size in y direction is negative or missing (-9999) at row 1, column 2"),
            std::string::npos)
      << m.Console();
}

TEST(CoordinateGrids, AFullGridListIsError12) {
  DerivedWorld w("coordinates_full");
  w->Raster(2, 1, 100);
  w->Zones({1, 1});
  for (int p = 2; p < kGridListMax; ++p) w.list[p].filename = "taken";
  EXPECT_EQ(w.CodeOf([&] { w->MakeCoordinateGrids(); }), 12);
  EXPECT_NE(w.Console().find("no free grid found in memory (at position 1000)"), std::string::npos);
  for (int p = 2; p < kGridListMax; ++p) w.list[p].filename.clear();
}

TEST(LanduseLayers, LayerGridsFromTheMultilayerTable) {
  DerivedWorld w("landuse_layers");
  w->Raster(3, 2, 100);
  w->Zones({1, 1, 1, kNd, 1, 1});
  w->Add("dem.asc", "[elevation_model]", std::vector<double>(6, 0.0));
  // Entry 1 has three layers, entry 2 only two.
  auto table = std::make_unique<multilayer_landuse_entry[]>(3);
  table[0].code = 2;
  table[1].count = 3;
  table[1].LayerIndexes = {0, 5, 6, 7};
  table[2].count = 2;
  table[2].LayerIndexes = {0, 8, 9};
  w->SetMultilayerTable(std::move(table));
  Grid landuse = w->Add("lu.asc", "landuse", {1, 2, 1, kNd, 2, 1});
  w->LanduseLayers();
  ASSERT_EQ(w->Layers(), 3);
  EXPECT_EQ(w->Layer(0), landuse);
  const double expect[4][6] = {{},
                               {5, 8, 5, kNd, 8, 5},
                               {6, 9, 6, kNd, 9, 6},
                               {7, -9999, 7, kNd, -9999, 7}};
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "landuse" + std::to_string(k);
    ASSERT_EQ(w->Find(name), w->Layer(k)) << name;
    for (int i = 0; i < 6; ++i) EXPECT_EQ(w->Layer(k)[1 + i / 3][1 + i % 3], expect[k][i]) << name << " " << i;
    EXPECT_FALSE(FileExists(w.dir / name));
  }
}

TEST(LanduseLayers, OneLayerWithoutMultilayerTableOrNoneWithoutLanduse) {
  DerivedWorld w("landuse_one");
  w->Raster(2, 1, 100);
  w->Zones({1, 1});
  Grid landuse = w->Add("lu.asc", "landuse", {3, 4});
  w->LanduseLayers();
  EXPECT_EQ(w->Layers(), 1);
  EXPECT_EQ(w->Layer(0), landuse);
  EXPECT_EQ(w->Layer(1), landuse);
  EXPECT_EQ(w->Find("landuse1"), landuse);
  EXPECT_EQ(w->Find("landuse"), nullptr);

  DerivedWorld none("landuse_none");
  none->Raster(2, 1, 100);
  none->Zones({1, 1});
  none->LanduseLayers();
  EXPECT_EQ(none->Layers(), 0);
}

TEST(SoilParameterGrids, FromTheSoilTableEntryOfEachCell) {
  DerivedWorld w("soil_parameters");
  w->Raster(2, 2, 100);
  w->Zones({1, 1, kNd, 1});
  w->Add("dem.asc", "[elevation_model]", {0, 0, 0, 0});
  auto table = std::make_unique<soil_table_entry[]>(3);
  table[0].code = 2;
  table[1].FCap = 20;
  table[1].mSB = 30;
  table[1].ksat_topmodel = 1e-5;
  table[2].FCap = 12;
  table[2].mSB = 45;
  table[2].ksat_topmodel = 3e-6;
  w->SetSoilTable(std::move(table));
  // Index 3 lies outside the table.
  w->Add("soil.asc", "soil_types", {1, 2, 1, 3});
  w->Add("root.asc", "root_depth1", {5, 2.5, 5, 5});
  w->make_nFK_kWert_and_Na();
  Grid moisture = w->Find("available_soil_moisture");
  Grid conductivity = w->Find("hydraulic_conductivity");
  Grid porosity = w->Find("fillable_porosity");
  ASSERT_TRUE(moisture && conductivity && porosity);
  EXPECT_DOUBLE_EQ(moisture[1][1], 20 * 5 * 10.0);
  EXPECT_DOUBLE_EQ(moisture[1][2], 12 * 2.5 * 10.0);
  EXPECT_DOUBLE_EQ(conductivity[1][2], 3e-6);
  EXPECT_DOUBLE_EQ(porosity[1][1], 0.3);
  EXPECT_DOUBLE_EQ(porosity[1][2], 0.45);
  // Row 2 holds data in column 2 only; column 1 lies outside its data columns.
  for (Grid g : {moisture, conductivity, porosity}) {
    EXPECT_EQ(g[2][1], 0.0);
    EXPECT_EQ(g[2][2], kNd);
  }
  for (const char* f : {"soil.$fk", "soil.$k", "soil.$na"}) EXPECT_TRUE(FileExists(w.dir / f)) << f;

  // Without a root depth the available soil moisture has no value.
  DerivedWorld n("soil_noroot");
  n->Raster(1, 1, 100);
  n->Zones({1});
  auto one = std::make_unique<soil_table_entry[]>(2);
  one[0].code = 1;
  n->SetSoilTable(std::move(one));
  n->Add("soil.asc", "soil_types", {1});
  n->make_nFK_kWert_and_Na();
  EXPECT_EQ(n->Find("available_soil_moisture")[1][1], kNd);
  EXPECT_NE(n.Console().find("no grid root_depth1 in memory"), std::string::npos);
}

TEST(IceFirnGrid, BoundWhenPresentElseOneInfoLine) {
  DerivedWorld w("ice_firn");
  w->Raster(2, 1, 100);
  w->Zones({1, 1});
  w->Add("dem.asc", "[elevation_model]", {0, 0});
  w->check_ice_firn_grid();
  EXPECT_EQ(w->IceFirn(), nullptr);
  EXPECT_NE(w.Console().find("ice-grid not found in memory (at position 3)"), std::string::npos) << w.Console();
  Grid ice = w->Add("ice.asc", "ice_firn", {0, 1});
  w->check_ice_firn_grid();
  EXPECT_EQ(w->IceFirn(), ice);
}
