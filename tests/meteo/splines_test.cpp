// Spline methods 7 and 8: the station mesh and the bicubic surface. A field
// linear in x and y is reproduced exactly by natural splines, so every cell
// is checked against the plane itself, or against an inverse-distance value
// written here where no spline reaches.
#include <gtest/gtest.h>

#include <cmath>

#include "meteo/tsplines.h"
#include "tests/meteo/meteo_world.h"

using namespace meteotest;

namespace {

// Stations on a regular mesh with spacing 2000 m, origin (0, 0); listed row
// by row from the bottom.
std::vector<Station> MeshStations(int rows, int cols) {
  std::vector<Station> s;
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) s.push_back({100.0 * (i + j), 2000.0 * j, 2000.0 * i});
  return s;
}

double Plane(double x, double y) {
  return 10 + 0.002 * x + 0.003 * y;
}
double Residual(double x, double y) {
  return 0.5 - 0.0001 * x + 0.00005 * y;
}

std::vector<double> ValuesOf(const std::vector<Station>& stations, double (*f)(double, double)) {
  std::vector<double> v;
  for (const Station& s : stations) v.push_back(f(s.x, s.y));
  return v;
}

// Inverse-square distance weighting from the cell's point, missing values dropped.
double Idw(double x, double y, const std::vector<Station>& stations, const std::vector<double>& values) {
  double sw = 0;
  double swv = 0;
  for (size_t i = 0; i < stations.size(); ++i) {
    if (values[i] < -9999) continue;
    double d2 = (stations[i].x - x) * (stations[i].x - x) + (stations[i].y - y) * (stations[i].y - y);
    if (d2 == 0) d2 = 1;
    sw += 1 / d2;
    swv += values[i] / d2;
  }
  return swv / sw;
}

std::unique_ptr<meteointerpol> Make(World& w, const Section& s, const std::vector<Station>& stations,
                                    const std::vector<double>& values, const std::vector<double>& second = {}) {
  if (!second.empty()) w.Write("stations2.txt", StationFileText(stations, {{kStep0, second}, {kStep1, second}}));
  int error = 0;
  auto m = w.Start(s, stations, {{kStep0, values}, {kStep1, values}}, error);
  EXPECT_EQ(error, 0) << w.Console();
  return m;
}

}  // namespace

TEST(SplineMesh, ScatteredStationsFormColumnsListedFromTheTop) {
  World w(4, 4, 1000, "mesh_scatter");
  // Nine stations on a mesh turned by 20 degrees, 1000 m apart along its rows
  // and 1200 m along its columns, each moved by up to 60 m; listed in no mesh
  // order. The frame is derived from the nearest neighbours (along the rows).
  const double dx[9] = {40, -60, 25, -30, 50, -45, 15, -35, 55};
  const double dy[9] = {-50, 30, -20, 60, -40, 45, -25, 35, -55};
  const int order[9] = {4, 0, 8, 2, 6, 1, 5, 3, 7};
  const double turn = 20 * std::acos(-1.0) / 180;
  std::vector<Station> stations;
  for (int k : order) {
    const int i = k / 3;  // row from the bottom
    const int j = k % 3;
    const double u = 1000.0 * j + dx[k];
    const double v = 1200.0 * i + dy[k];
    stations.push_back(
        {500, 5000 + u * std::cos(turn) - v * std::sin(turn), 1000 + u * std::sin(turn) + v * std::cos(turn)});
  }
  Section s;
  s.method = 7;
  auto m = Make(w, s, stations, std::vector<double>(9, 1.0));
  ASSERT_TRUE(m);
  ASSERT_EQ(m->GetMeshRows(), 3);
  ASSERT_EQ(m->GetMeshColumns(), 3);
  for (int j = 1; j <= 3; ++j) {
    for (int i = 1; i <= 3; ++i) {
      const int station = m->GetMeshStation(i, j);
      ASSERT_GE(station, 1);
      const int k = order[station - 1];
      EXPECT_EQ(k % 3, j - 1) << "mesh row " << i << ", column " << j;
      EXPECT_EQ(k / 3, 3 - i) << "mesh row " << i << ", column " << j;
    }
  }
}

TEST(SplineMesh, StationsThatFormNoMeshAreRefused) {
  struct Case {
    const char* name;
    std::vector<Station> stations;
    const char* text;
  };
  // The middle station moved 800 m east, beyond a quarter of the 2000 m spacing; and
  // three stations in one row, which give no columns of two.
  std::vector<Station> displaced = MeshStations(3, 3);
  displaced[4].x += 800;
  const std::vector<Station> oneRow = {{0, 0, 0}, {0, 2000, 0}, {0, 4000, 0}};
  for (const Case& c :
       {Case{"displaced", displaced, "in each column"}, Case{"onerow", oneRow, "at least two rows and two columns"}}) {
    SCOPED_TRACE(c.name);
    World w(3, 3, 1000, std::string("mesh_") + c.name);
    Section s;
    s.method = 7;
    int error = 0;
    auto m = w.Start(s, c.stations, {{kStep0, std::vector<double>(c.stations.size(), 1.0)}}, error);
    EXPECT_FALSE(m);
    w.ExpectFatal(error, 70, "Error converting the station coordinates into a grid:");
    EXPECT_NE(w.Console().find(c.text), std::string::npos) << w.Console();
  }
}

TEST(SplineSurface, PlaneIsReproducedAndCellsBeyondTheMeshTakeIdw) {
  // 3 x 3 stations over 0 ... 4000 m; 5 x 5 cells of 1000 m, each taken at
  // its centre: column 5 lies beyond the last mesh column, row 1 above the
  // top mesh row. There each file takes its inverse distances.
  const std::vector<Station> stations = MeshStations(3, 3);
  const std::vector<double> plane = ValuesOf(stations, Plane);
  const std::vector<double> residual = ValuesOf(stations, Residual);
  for (int method : {7, 8}) {
    for (int threads : {1, 8}) {
      SCOPED_TRACE(testing::Message() << "method " << method << ", threads " << threads);
      World w(5, 5, 1000, "plane" + std::to_string(method) + "_" + std::to_string(threads));
      w.zone[1][1] = -9999;
      for (int r = 1; r <= 5; ++r)
        for (int c = 1; c <= 5; ++c) w.elevation[r][c] = 100.0 * r + 10.0 * c;
      Section s;
      s.method = method;
      if (method == 8) s.secondStationLine = "stations2.txt";
      auto m = Make(w, s, stations, plane, method == 8 ? residual : std::vector<double>{});
      ASSERT_TRUE(m);
      WithThreads(threads, [&] { m->Interpolate(0, 1, 1, 2000); });
      Grid g = m->GetResultGrid();
      for (int r = 1; r <= 5; ++r) {
        for (int c = 1; c <= 5; ++c) {
          const double x = w.X(c);
          const double y = w.Y(r);
          const bool mesh = x <= 4000 && y <= 4000;
          double want = mesh ? Plane(x, y) : Idw(x, y, stations, plane);
          if (method == 8) want += (mesh ? Residual(x, y) : Idw(x, y, stations, residual)) * w.elevation[r][c];
          if (r == 1 && c == 1) want = -9999;
          EXPECT_NEAR(g[r][c], want, 1e-9) << "row " << r << ", column " << c;
        }
      }
    }
  }
}

TEST(SplineSurface, MissingValueSplitsItsColumn) {
  // 4 x 3 stations over 0 ... 6000 m in y; the station at (0, 4000) has no
  // value. Column 1 then has a spline from 0 to 2000 m and its node at 6000 m:
  // between 2000 and 6000 m the row splines start at the second column.
  std::vector<Station> stations = MeshStations(4, 3);
  std::vector<double> v = ValuesOf(stations, Plane);
  v[6] = -99999;  // row 3 from the bottom, column 1
  World w(7, 5, 1000, "split");
  Section s;
  s.method = 7;
  auto m = Make(w, s, stations, v);
  ASSERT_TRUE(m);
  m->Interpolate(0, 1, 1, 2000);
  Grid g = m->GetResultGrid();
  for (int r = 1; r <= 7; ++r) {
    for (int c = 1; c <= 5; ++c) {
      const double x = w.X(c);
      const double y = w.Y(r);
      const bool gap = y > 2000 && y < 6000;
      const bool spline = x <= 4000 && y <= 6000 && (!gap || x >= 2000);
      const double want = spline ? Plane(x, y) : Idw(x, y, stations, v);
      EXPECT_NEAR(g[r][c], want, 1e-9) << "row " << r << ", column " << c;
    }
  }
}

TEST(SplineSurface, UniformStepKeepsTheFieldAndPointValueIsTheNearestStation) {
  const std::vector<Station> stations = MeshStations(3, 3);
  World w(5, 5, 1000, "uniform_spline");
  Section s;
  s.method = 7;
  std::vector<double> second = ValuesOf(stations, Plane);
  second[0] = 50;  // nearest to the lower left corner
  int error = 0;
  auto m = w.Start(s, stations, {{kStep0, std::vector<double>(9, 4.0)}, {kStep1, second}}, error);
  ASSERT_TRUE(m) << w.Console();
  m->Interpolate(0, 1, 1, 2000);
  for (int r = 1; r <= 5; ++r)
    for (int c = 1; c <= 5; ++c) EXPECT_EQ(m->GetResultGrid()[r][c], 4.0);
  m->ReadStepData();
  std::vector<double> work(10);
  // The point (300, 200) lies in the cell of row 5, column 1: station 1 is nearest.
  EXPECT_EQ(m->InterpolateAtPoint(300, 200, 0, work.data()), 50);
  EXPECT_NEAR(m->InterpolateAtPoint(3900, 3900, 0, work.data()), Plane(4000, 4000), 1e-12);
}

TEST(SplineSurface, EqualGradientsStillAddTheResiduals) {
  // Method 8 with the same gradient at every station: no uniform field, the
  // residual spline times the elevation is added (beyond the mesh, in
  // column 5 and row 1, the residuals' inverse distances).
  const std::vector<Station> stations = MeshStations(3, 3);
  World w(5, 5, 1000, "equal_gradients");
  for (int r = 1; r <= 5; ++r)
    for (int c = 1; c <= 5; ++c) w.elevation[r][c] = 100.0 * r + 10.0 * c;
  Section s;
  s.method = 8;
  s.secondStationLine = "stations2.txt";
  const std::vector<double> residual = ValuesOf(stations, Residual);
  auto m = Make(w, s, stations, std::vector<double>(9, 5.0), residual);
  ASSERT_TRUE(m);
  m->Interpolate(0, 1, 1, 2000);
  for (int r = 1; r <= 5; ++r)
    for (int c = 1; c <= 5; ++c) {
      const double x = w.X(c), y = w.Y(r);
      const double second = x <= 4000 && y <= 4000 ? Residual(x, y) : Idw(x, y, stations, residual);
      EXPECT_NEAR(m->GetResultGrid()[r][c], 5 + second * w.elevation[r][c], 1e-9) << r << ", " << c;
    }
}

TEST(SplinePrimitives, NaturalSplineValueAndCoincidentAbscissas) {
  World w(2, 2, 1000, "primitives");
  MeshMatrix nx(3, std::vector<double>(3, 0.0));
  MeshMatrix ny(3, std::vector<double>(3, 0.0));
  nx[1][2] = nx[2][2] = 1000;
  ny[1][1] = ny[1][2] = 1000;
  TSplinesArgs a;
  a.nodeX = &nx;
  a.nodeY = &ny;
  a.meshRows = a.meshColumns = 2;
  TSplines t(w.Diag(), a);
  // The natural spline through (0, 0), (1, 1), (2, 0) is 1.5 x - 0.5 x^3 on [0, 1].
  const double xa[4] = {0, 0, 1, 2};
  const double ya[4] = {0, 0, 1, 0};
  double y2[4] = {0, 0, 0, 0};
  t.SplineSecondDerivativesNatural(xa, ya, 1, 3, y2);
  EXPECT_NEAR(y2[2], -3, 1e-12);
  int lo = 1, hi = 2;
  double v = 0;
  t.SplineValue(0.5, -9999, -9999, xa, ya, lo, hi, y2, 3, v);
  EXPECT_NEAR(v, 1.5 * 0.5 - 0.5 * 0.125, 1e-12);
  t.SplineValue(2.5, -9999, -7777, xa, ya, lo, hi, y2, 3, v);
  EXPECT_EQ(v, -7777);  // beyond the last abscissa
  // Two equal abscissas: a FATAL entry and 82, nothing on the standard output.
  const double same[4] = {0, 0, 1, 1};
  testing::internal::CaptureStdout();
  const int code = CodeOf([&] { t.SplineSecondDerivativesNatural(same, ya, 1, 3, y2); });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  w.ExpectFatal(code, 82, "for the 1-D-Splineevaluation are the same!");
}
