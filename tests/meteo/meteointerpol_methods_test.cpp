// Interpolation methods on a 3 x 4 grid of 1000 m cells with three stations:
// every cell is checked against a value computed by hand or by a direct
// formula written here.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/meteo/meteo_world.h"

using namespace meteotest;

namespace {

// Sets up the grid (cell r = 1, c = 4 outside the domain, elevation 100 (r + c)),
// writes the files and constructs the interpolator.
std::unique_ptr<meteointerpol> Prepare(World& w, const Section& s, const std::vector<Record>& records,
                                       const std::vector<Station>& stations = kStations) {
  w.zone[1][4] = -9999;
  for (int r = 1; r <= w.rows; ++r)
    for (int c = 1; c <= w.cols; ++c) w.elevation[r][c] = 100.0 * (r + c);
  int error = 0;
  auto m = w.Start(s, stations, records, error);
  EXPECT_EQ(error, 0) << w.Console();
  return m;
}

// Inverse-distance weighting written with distances: a station at the cell
// counts at distance 1, stations beyond maxDistance and missing values drop
// out; a cell that no station reaches holds the grid's nodata value.
double IdwByHand(double x, double y, const std::vector<double>& values, double p, double maxDistance) {
  long double sw = 0;
  long double swv = 0;
  for (size_t i = 0; i < kStations.size(); ++i) {
    if (values[i] <= -9999 || values[i] >= 9999) continue;
    long double d = std::hypot(kStations[i].x - x, kStations[i].y - y);
    if (d == 0) d = 1;
    if (d > maxDistance) continue;
    sw += std::pow(d, -p);
    swv += std::pow(d, -p) * values[i];
  }
  return sw == 0 ? -9999 : static_cast<double>(swv / sw);
}

// Reads the next record and interpolates it at the given hour of 1 January 2000.
void Next(meteointerpol& m, int hour) {
  m.ReadStepData();
  m.Interpolate(hour, 1, 1, 2000);
}

void ExpectGrid(const World& w, Grid g, const std::function<double(int, int, double, double)>& expected) {
  for (int r = 1; r <= w.rows; ++r)
    for (int c = 1; c <= w.cols; ++c) {
      const double want = (r == 1 && c == 4) ? -9999 : expected(r, c, w.X(c), w.Y(r));
      EXPECT_NEAR(g[r][c], want, 1e-9 * std::max(1.0, std::fabs(want))) << "row " << r << ", column " << c;
    }
}

}  // namespace

TEST(MeteoMethods, InverseDistanceWeightsAndMaximumDistance) {
  const std::vector<double> v = {10, 20, 40};
  struct Case {
    double weight;
    double maxDistance;
  };
  // With a weight of 100, d^-100 underflows in doubles beyond 1.2 km; the
  // hand calculation takes long doubles.
  for (const Case& k : {Case{2, 1e7}, Case{2.0005, 1500}, Case{1, 1500}, Case{3, 2500}, Case{100, 1e7}}) {
    World w(3, 4, 1000, "idw");
    Section s;
    s.idwWeight = k.weight;
    s.maxDistance = k.maxDistance;
    auto m = Prepare(w, s, {{kStep0, v}, {kStep1, v}});
    ASSERT_TRUE(m);
    m->SetCheckFlag(1);
    m->Interpolate(0, 1, 1, 2000);
    // The squared-distance mode of the weights 2 ... 2.001 uses 1/s as the weight.
    const double p = std::floor(k.weight * 1000) == 2000 ? 2 : k.weight;
    SCOPED_TRACE(k.weight);
    ExpectGrid(w, m->GetResultGrid(),
               [&](int, int, double x, double y) { return IdwByHand(x, y, v, p, k.maxDistance); });
    if (k.weight == 2) {
      EXPECT_NEAR(m->GetResultGrid()[2][2], 145.0 / 6, 1e-12);
    }
    if (k.weight == 2.0005) {
      EXPECT_DOUBLE_EQ(m->GetResultGrid()[2][2], 25);     // S2 lies 2236 m away
      EXPECT_DOUBLE_EQ(m->GetResultGrid()[1][3], -9999);  // no station within 1500 m: the grid's nodata
      EXPECT_EQ(fluvextest::CountOf(w.Console(), "no station within the specified search radius!"), 1);  // a step
    }
    m->FreeMemory();
  }
}

TEST(MeteoMethods, MissingValueDropsStationForOneStepOnly) {
  World w(3, 4, 1000, "missing");
  Section s;
  s.lowerLimit = -20000;
  const std::vector<double> first = {10, -9999.5, 40};  // beyond -nodata: missing
  const std::vector<double> second = {10, 12000, 40};   // beyond +nodata: missing as well
  const std::vector<double> third = {10, 20, 40};
  auto m = Prepare(w, s, {{kStep0, first}, {kStep1, second}, {{2, 1, 1, 2000}, third}});
  ASSERT_TRUE(m);
  m->Interpolate(0, 1, 1, 2000);
  ExpectGrid(w, m->GetResultGrid(), [&](int, int, double x, double y) { return IdwByHand(x, y, first, 2, 1e7); });
  Next(*m, 1);
  ExpectGrid(w, m->GetResultGrid(), [&](int, int, double x, double y) { return IdwByHand(x, y, second, 2, 1e7); });
  Next(*m, 2);
  ExpectGrid(w, m->GetResultGrid(), [&](int, int, double x, double y) { return IdwByHand(x, y, third, 2, 1e7); });
}

TEST(MeteoMethods, NearestStationAndLapseRatesBreakTiesOppositely) {
  struct Case {
    int method;
    std::string parameters;
    std::vector<double> values;
    std::vector<std::pair<std::pair<int, int>, double>> cells;  // (row, column), value
  };
  const double g = -0.0065;
  const Case cases[] = {
      // S1 and S3 equally near (2, 1): Thiessen takes the later one, the lapse rates the first.
      {4, "none", {10, 20, 40}, {{{2, 1}, 40}, {{3, 3}, 20}}},
      {12,
       "-0.0065 lapse rate",
       {10, 20, 40},
       {{{2, 1}, 10 + 200 * g}, {{3, 3}, 20 + 300 * g}, {{1, 1}, 40 - 300 * g}}},
      // Below, inversion height, above: S1 below and the cell below it; S3 above and the cell below;
      // S2 below and the cell above.
      {12, "-0.0065 350 0.002", {10, 20, 40}, {{{2, 1}, 8.7}, {{1, 1}, 40.675}, {{1, 2}, 40.025}, {{3, 3}, 20.175}}},
      // No precipitation at the nearest station: none at any height.
      {12, "-0.0065 -9999 -9999 P-type", {0, 20, 40}, {{{3, 2}, 0}, {{3, 4}, 20 + 400 * g}}},
  };
  int i = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.parameters);
    World w(3, 4, 1000, "nearest" + std::to_string(i++));
    Section s;
    s.method = k.method;
    s.thirdLine = k.parameters;
    auto m = Prepare(w, s, {{kStep0, k.values}});
    ASSERT_TRUE(m);
    m->Interpolate(0, 1, 1, 2000);
    for (const auto& [cell, want] : k.cells)
      EXPECT_NEAR(m->GetResultGrid()[cell.first][cell.second], want, 1e-12) << cell.first << "," << cell.second;
  }
}

TEST(MeteoMethods, UniformFieldLimitsAndScalingApplyOncePerStep) {
  World w(3, 4, 1000, "uniform");
  Section s;
  s.scaling = 2;
  // A uniform field takes its value only where a station lies within the
  // maximum distance, as the weights would: here the cells at the stations.
  s.maxDistance = 10;
  s.upperLimit = 14;
  s.upperReplacement = 99;
  s.lowerLimit = 0;
  s.lowerReplacement = 50;  // outside the limits, still taken
  auto m = Prepare(w, s,
                   {{kStep0, {5, 5, -10000}},
                    {kStep1, {-10000, -10000, -10000}},
                    {{2, 1, 1, 2000}, {7, 7, 7}},
                    {{3, 1, 1, 2000}, {-3, -3, -3}}});
  ASSERT_TRUE(m);
  // The value where one of the first `valid` stations is within 10 m.
  const auto inReach = [](double want, size_t valid) {
    return [want, valid](int, int, double x, double y) {
      for (size_t i = 0; i < valid; ++i)
        if (std::hypot(kStations[i].x - x, kStations[i].y - y) <= 10) return want;
      return -9999.0;
    };
  };
  m->Interpolate(0, 1, 1, 2000);
  ExpectGrid(w, m->GetResultGrid(), inReach(10, 2));
  // No valid value: the cells are missing, never the previous step's value
  // passed off as this step's, nor a number the limits made of the marker.
  Next(*m, 1);
  for (int r = 1; r <= w.rows; ++r)
    for (int c = 1; c <= w.cols; ++c)
      if (!(r == 1 && c == 4)) {
        EXPECT_EQ(m->GetResultGrid()[r][c], -9999) << "row " << r << ", column " << c;
      }
  Next(*m, 2);  // 14 equals the upper limit and stays
  ExpectGrid(w, m->GetResultGrid(), inReach(14, 3));
  Next(*m, 3);
  ExpectGrid(w, m->GetResultGrid(), inReach(50, 3));
}

TEST(MeteoMethods, ScenarioTableFollowsTheDayOfTheMonth) {
  World w(3, 4, 1000, "scenario");
  Section s;
  // Additive scenarios, one table row: January 31, February 62, the other months 0.
  s.scenarioLines = "1 SzenUse\n1 SzenMeth\n1 SzenNum\n0 0 31 62 0 0 0 0 0 0 0 0 0 0";
  auto m = Prepare(w, s, {{{12, 16, 1, 2001}, {5, 5, 5}}, {{12, 15, 3, 2001}, {5, 5, 5}}});
  ASSERT_TRUE(m);
  m->Interpolate(12, 16, 1, 2001);  // 31 * 30/31 + 62/31
  ExpectGrid(w, m->GetResultGrid(), [](int, int, double, double) { return 5 + 32; });
  m->ReadStepData();
  m->Interpolate(12, 15, 3, 2001);  // February 2001 has 28 days: 62/28 + 0
  ExpectGrid(w, m->GetResultGrid(), [](int, int, double, double) { return 5 + 62.0 / 28; });
}

TEST(MeteoMethods, BilinearReproducesABilinearFieldInsideTheMesh) {
  // A 3 x 3 station mesh 1500 m apart in x and 1000 m in y.
  std::vector<Station> mesh;
  std::vector<double> values;
  auto field = [](double x, double y) { return 1 + 2 * x / 1000 + 3 * y / 1000 + x * y / 1e6; };
  for (double y : {2000.0, 1000.0, 0.0})
    for (double x : {0.0, 1500.0, 3000.0}) {
      mesh.push_back({0, x, y});
      values.push_back(field(x, y));
    }
  // Method 6 adds the residual field (second file, here 0.001 everywhere) times the elevation.
  for (int method : {5, 6}) {
    World w(3, 4, 1000, "bilinear" + std::to_string(method));
    Section s;
    s.method = method;
    s.slope = 30;  // not used: the frame comes from the stations
    if (method == 6) {
      s.stationLine = "gradients.txt";
      s.secondStationLine = "residuals.txt";
      w.Write("gradients.txt", StationFileText(mesh, {{kStep0, values}}));
      w.Write("residuals.txt", StationFileText(mesh, {{kStep0, std::vector<double>(9, 0.001)}}));
    }
    auto m = Prepare(w, s, {{kStep0, values}}, mesh);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->GetAnisoRatio(), 1);  // nearest neighbours lie north-south: no anisotropy
    EXPECT_NE(w.Console().find("the slope 30 (control file control.txt, line "), std::string::npos);
    EXPECT_DOUBLE_EQ(m->GetAvgHorizontalDistance(), 1500);
    EXPECT_DOUBLE_EQ(m->GetAvgVerticalDistance(), 1000);
    m->Interpolate(0, 1, 1, 2000);
    Grid g = m->GetResultGrid();
    auto residual = [&](int r, int c) { return method == 6 ? 0.001 * w.elevation[r][c] : 0.0; };
    for (int r = 2; r <= 3; ++r)
      for (int c = 1; c <= 3; ++c) EXPECT_NEAR(g[r][c], field(w.X(c), w.Y(r)) + residual(r, c), 1e-9) << r << " " << c;
    // On the upper edge the mesh cell is not closed: inverse-distance weighting.
    double sw = 0;
    double swv = 0;
    for (size_t i = 0; i < mesh.size(); ++i) {
      const double d2 = std::pow(mesh[i].x - w.X(2), 2) + std::pow(mesh[i].y - w.Y(1), 2);
      sw += 1 / d2;
      swv += values[i] / d2;
    }
    EXPECT_NEAR(g[1][2], swv / sw + residual(1, 2), 1e-9);
  }
}

TEST(MeteoMethods, HydrologicResponseUnitsTakeTheirMasterValue) {
  World w(3, 4, 1000, "hru");
  Grid hru = w.AddGrid("HydrologicResponseUnits", [](int r, int) { return r == 3 ? 2.0 : 1.0; });
  w.AddGrid("MasterHydrologicResponseUnits", [](int r, int c) {
    return r == 1 && c == 1 ? 1.0 : r == 3 && c == 3 ? 2.0 : -9999.0;
  });
  w.hruMasters = {{0, 0}, {1, 1}, {3, 3}};
  Section s;
  auto m = Prepare(w, s, {{kStep0, {10, 20, 40}}, {kStep1, {10, 20, 40}}});
  ASSERT_TRUE(m);
  m->Interpolate(0, 1, 1, 2000);
  Grid g = m->GetResultGrid();
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) {
      if (r == 1 && c == 4) continue;
      EXPECT_DOUBLE_EQ(g[r][c], r == 3 ? g[3][3] : g[1][1]) << r << " " << c;
    }
  EXPECT_NEAR(g[1][1], IdwByHand(w.X(1), w.Y(1), {10, 20, 40}, 2, 1e7), 1e-9);
  // A unit number without a record is a fatal error, not an out-of-range access.
  hru[2][2] = 5;
  m->ReadStepData();
  const int code = CodeOf([&] { m->Interpolate(1, 1, 1, 2000); });
  EXPECT_EQ(code, 1030);
  EXPECT_NE(w.Console().find("the hydrologic response unit 5 of the cell in row 2, column 2"), std::string::npos);
}

TEST(MeteoMethods, AnisotropicDistancesUseTheTurnedFrame) {
  World w(3, 4, 1000, "aniso");
  Section s;
  s.slope = 30;
  s.ratio = 0.5;
  const std::vector<double> v = {10, 20, 40};
  auto m = Prepare(w, s, {{kStep0, v}});
  ASSERT_TRUE(m);
  // Turning the frame by 30 degrees about the lower left corner (0, 0).
  const double a = 30 * M_PI / 180;
  auto turnX = [&](double x, double y) { return x * std::cos(a) + y * std::sin(a); };
  auto turnY = [&](double x, double y) { return -x * std::sin(a) + y * std::cos(a); };
  const int xIndex = m->FindGrid("CoordXRot_temperature", false);
  ASSERT_GT(xIndex, 0);
  EXPECT_EQ(w.list[xIndex].grid, m->GetCellX());
  m->Interpolate(0, 1, 1, 2000);
  ExpectGrid(w, m->GetResultGrid(), [&](int, int, double x, double y) {
    double sw = 0, swv = 0;
    for (int i = 0; i < 3; ++i) {
      const double dx = (turnX(kStations[i].x, kStations[i].y) - turnX(x, y)) * 0.5;
      const double dy = turnY(kStations[i].x, kStations[i].y) - turnY(x, y);
      const double s2 = (dx * dx + dy * dy) == 0 ? 1 : dx * dx + dy * dy;
      sw += 1 / s2;
      swv += v[i] / s2;
    }
    return swv / sw;
  });
  const int resultIndex = m->FindGrid("temperature", false);
  m->FreeMemory();
  for (int index : {xIndex, xIndex + 1, resultIndex}) {
    EXPECT_FALSE(w.list[index].registered);
    EXPECT_TRUE(w.list[index].shortname.empty());
  }
}

TEST(MeteoMethods, ResultsDoNotDependOnTheThreadCount) {
  const int rows = 40, cols = 50;
  std::vector<Station> stations;
  std::vector<double> values;
  unsigned seed = 12345;
  auto next = [&]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % 100000 / 100000.0;
  };
  for (int i = 0; i < 30; ++i) {
    stations.push_back({next() * 2000, next() * cols * 100, next() * rows * 100});
    values.push_back(next() * 30 - 5);
  }
  std::vector<std::vector<double>> results;
  for (int threads : {1, 8}) {
    World w(rows, cols, 100, "threads" + std::to_string(threads));
    for (int r = 1; r <= rows; ++r)
      for (int c = 1; c <= cols; ++c) w.elevation[r][c] = 10.0 * (r + 2 * c);
    Section s;
    s.method = 11;
    s.thirdLine = "800 1200 50 0 10";
    s.slope = 20;
    s.ratio = 0.7;
    s.maxDistance = 2500;
    int error = 0;
    auto m = w.Start(s, stations, {{kStep0, values}}, error);
    ASSERT_TRUE(m) << w.Console();
    WithThreads(threads, [&] {
      m->Regression(0);
      m->Interpolate(0, 1, 1, 2000);
    });
    std::vector<double> grid;
    for (int r = 1; r <= rows; ++r)
      grid.insert(grid.end(), &m->GetResultGrid()[r][1], &m->GetResultGrid()[r][cols] + 1);
    results.push_back(grid);
  }
  EXPECT_EQ(results[0], results[1]);
}

// Every station with a value reports one value (station 1 has none, but on
// the spline mesh): each method gives what its kernels give for that field,
// whether it takes a shortcut or not; methods 6
// and 8 keep their second file times the elevation, 3 its regression part,
// 12 its lapse rate, and the inverse distances of 1 and of the bilinear
// fall-back (5) their reach. The second step's regression record (its
// intercepts) and the method 9 grid's first cell hold -9999: missing, never
// a number.
TEST(MeteoMethods, OneValueAtEveryStationGivesWhatTheKernelsGiveForEveryMethod) {
  const double u = 6;
  const double w2 = 0.5;  // methods 6 and 8: the second file
  const double f = 0.5;   // the idw fraction of methods 3 and 11
  const double bands[11] = {10, -0.005, 250, 12, -0.006, 450, 8, -0.004, -10000, 0, 0};
  auto band = [&](double z) {
    return z > bands[5] ? bands[6] + bands[7] * z : z >= bands[2] ? bands[3] + bands[4] * z : bands[0] + bands[1] * z;
  };
  // Station 1 (S1) has no value: the others, S2 and S3, are the field.
  const std::vector<Station> valid(kStations.begin() + 1, kStations.end());
  auto reached = [&](double x, double y, double limit) {
    for (const Station& s : valid)
      if (std::hypot(s.x - x, s.y - y) <= limit) return true;
    return false;
  };
  // The first of equally near stations, as method 12 takes it.
  auto nearestAltitude = [&](double x, double y) {
    double best = 1e30, altitude = 0;
    for (const Station& s : valid)
      if (std::hypot(s.x - x, s.y - y) < best) {
        best = std::hypot(s.x - x, s.y - y);
        altitude = s.altitude;
      }
    return altitude;
  };
  std::vector<Station> mesh;
  for (double y : {2000.0, 1000.0, 0.0})
    for (double x : {0.0, 1500.0, 3000.0}) mesh.push_back({0, x, y});
  const double missing = -9999;
  struct Case {
    int method;
    std::string thirdLine;
    double maxDistance;
    std::function<double(int, double, double, double)> want;  // step, x, y, z
  };
  const Case cases[] = {
      {1, "none", 1500, [&](int, double x, double y, double) { return reached(x, y, 1500) ? u : missing; }},
      {2, "regression.dat", 1e7, [&](int step, double, double, double z) { return step == 0 ? band(z) : missing; }},
      {3, "regression.dat", 1e7,
       [&](int step, double, double, double z) { return step == 0 ? f * u + (1 - f) * band(z) : u; }},
      {4, "none", 1e7, [&](int, double, double, double) { return u; }},
      {5, "none", 1500, [&](int, double x, double y, double) { return reached(x, y, 1500) ? u : missing; }},
      {6, "none", 1e7, [&](int, double, double, double z) { return u + w2 * z; }},
      {7, "none", 1e7, [&](int, double, double, double) { return u; }},
      // Beyond the mesh (x > 3000 m) each file's IDW: the second file times the elevation stays.
      {8, "none", 1e7, [&](int, double, double, double z) { return u + w2 * z; }},
      {9, "8.9e-5 0.0767 127 6e-6 0.098", 1e7,
       [&](int, double x, double y, double) { return x < 1000 && y > 2000 ? missing : 3.0; }},
      {10, "800 1200 50 0 10", 1e7, [&](int, double, double, double) { return u; }},
      {11, "800 1200 50 0 10", 1e7, [&](int, double, double, double) { return u; }},
      {12, "-0.0065 lapse rate", 1e7,
       [&](int, double x, double y, double z) { return u + (z - nearestAltitude(x, y)) * -0.0065; }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "method " << k.method);
    World w(3, 4, 1000, "onevalue" + std::to_string(k.method));
    Section s;
    s.method = k.method;
    s.thirdLine = k.thirdLine;
    s.maxDistance = k.maxDistance;
    // A missing value taken as a number would show as the replacement 0.
    s.lowerLimit = 0;
    s.lowerReplacement = 0;
    const bool spline = k.method == 7 || k.method == 8;
    const std::vector<Station>& stations = spline ? mesh : kStations;
    std::vector<double> values(stations.size(), u);
    if (!spline) values[0] = -10000;
    if (k.method == 6 || k.method == 8) {
      s.stationLine = "first.txt";
      s.secondStationLine = "second.txt";
      w.Write("first.txt", StationFileText(stations, {{kStep0, values}, {kStep1, values}}));
      w.Write("second.txt", StationFileText(stations, {{kStep0, std::vector<double>(stations.size(), w2)},
                                                       {kStep1, std::vector<double>(stations.size(), w2)}}));
    }
    if (k.method == 2 || k.method == 3) {
      std::string file = "jr mo tg hh a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n2000 1 1 0";
      for (double v : bands) file += " " + std::to_string(v);
      file += "\n2000 1 1 1 -9999 0 0 -9999 0 0 -9999 0 -9999 0 0";
      w.Write("regression.dat", file + "\n");
    }
    if (k.method == 9) {
      s.stationLine = "grids.txt";
      const std::string row = "3 3 3 3\n";
      w.Write("3.grd", "ncols 4\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n-9999 3 3 3\n" +
                           row + row);
      w.Write("grids.txt",
              "t\nYY MM DD HH 1\nxx xx xx xx 0\nyy yy yy yy 0\nnames\n2000 1 1 0 3.grd\n2000 1 1 1 3.grd\n");
    }
    auto m = Prepare(w, s, {{kStep0, values}, {kStep1, values}}, stations);
    ASSERT_TRUE(m);
    for (int step = 0; step <= 1; ++step) {
      if (step == 1) m->ReadStepData();
      if (k.method == 10 || k.method == 11) m->Regression(0);
      m->Interpolate(step, 1, 1, 2000);
      ExpectGrid(w, m->GetResultGrid(),
                 [&](int r, int c, double x, double y) { return k.want(step, x, y, w.elevation[r][c]); });
    }
    m->FreeMemory();
  }
}
