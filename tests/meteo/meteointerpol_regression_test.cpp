// Elevation-dependent regression with inversions (method 10): lines of value
// against altitude below and above the lower inversion, joined into bands,
// with a trend plane of the residuals.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "tests/meteo/meteo_world.h"

using namespace meteotest;

namespace {

struct RegressionRun {
  std::unique_ptr<World> world;
  std::unique_ptr<meteointerpol> m;
  double Cell(int k) const { return m->GetResultGrid()[k / 4 + 1][k % 4 + 1]; }
  double X(int k) const { return world->X(k % 4 + 1); }
  double Y(int k) const { return world->Y(k / 4 + 1); }
};

// Method 10 (or another) over stations at kPos with the given altitudes and values (a
// second step repeats the values unless `second` is given).
RegressionRun Regress(const std::string& name, const std::string& parameters, const std::vector<double>& altitudes,
                      const std::vector<double>& values, const std::vector<double>& second = {}, double scaling = 1,
                      const double (*pos)[2] = kPos, int method = 10, double maxDistance = 1e7) {
  RegressionRun run;
  run.world = std::make_unique<World>(3, 4, 1000, name);
  World& w = *run.world;
  for (int k = 0; k < 12; ++k) w.elevation[k / 4 + 1][k % 4 + 1] = kCellZ[k];
  Section s;
  s.method = method;
  s.thirdLine = parameters;
  s.scaling = scaling;
  s.maxDistance = maxDistance;
  std::vector<Station> stations;
  for (size_t i = 0; i < altitudes.size(); ++i) stations.push_back({altitudes[i], pos[i][0], pos[i][1]});
  int error = 0;
  run.m = w.Start(s, stations, {{kStep0, values}, {kStep1, second.empty() ? values : second}}, error);
  EXPECT_EQ(error, 0) << w.Console();
  if (run.m) {
    run.m->Regression(0);
    run.m->Interpolate(0, 1, 1, 2000);
  }
  return run;
}

// Solves A p = b by Gaussian elimination with partial pivoting.
std::vector<double> Solve(std::vector<std::vector<double>> a, std::vector<double> b) {
  const size_t n = b.size();
  for (size_t k = 0; k < n; ++k) {
    size_t p = k;
    for (size_t i = k + 1; i < n; ++i)
      if (std::fabs(a[i][k]) > std::fabs(a[p][k])) p = i;
    std::swap(a[k], a[p]);
    std::swap(b[k], b[p]);
    for (size_t i = k + 1; i < n; ++i) {
      const double f = a[i][k] / a[k][k];
      for (size_t j = k; j < n; ++j) a[i][j] -= f * a[k][j];
      b[i] -= f * b[k];
    }
  }
  std::vector<double> x(n);
  for (size_t k = n; k-- > 0;) {
    double s = b[k];
    for (size_t j = k + 1; j < n; ++j) s -= a[k][j] * x[j];
    x[k] = s / a[k][k];
  }
  return x;
}

// Least-squares fit of value = sum p_j f_j over the points.
std::vector<double> LeastSquares(const std::vector<std::vector<double>>& f, const std::vector<double>& v) {
  const size_t m = f[0].size();
  std::vector<std::vector<double>> a(m, std::vector<double>(m, 0));
  std::vector<double> b(m, 0);
  for (size_t i = 0; i < v.size(); ++i)
    for (size_t j = 0; j < m; ++j) {
      b[j] += f[i][j] * v[i];
      for (size_t k = 0; k < m; ++k) a[j][k] += f[i][j] * f[i][k];
    }
  return Solve(a, b);
}

double Lower(double z) {
  return 10 - 0.005 * z;
}
double Upper(double z) {
  return -2 - 0.0065 * z;
}

// Station altitudes around the inversion layer 800 ... 1200 m, and their values
// on a lower line below 800 m and on an upper one above.
const std::vector<double> kZ = {200, 400, 600, 1400, 1800, 2200};
std::vector<double> ValuesAt(const std::vector<double>& z, const std::function<double(double)>& upper = Upper) {
  std::vector<double> v;
  for (double a : z) v.push_back(a < 800 ? Lower(a) : upper(a));
  return v;
}

// Every cell holds want(its elevation).
void ExpectCells(const RegressionRun& run, const std::function<double(double)>& want) {
  for (int k = 0; k < 12; ++k) EXPECT_NEAR(run.Cell(k), want(kCellZ[k]), 1e-9) << "cell elevation " << kCellZ[k];
}

}  // namespace

TEST(MeteoRegression, LinesApartFromTheInversionLayerGiveThreeBands) {
  const std::vector<double>& z = kZ;
  const std::vector<double> v = ValuesAt(z);
  // The middle band runs from the lower line at 800 m (6) to the upper line at 1200 m (-9.8).
  auto middle = [](double a) { return 37.6 - 0.0395 * a; };
  RegressionRun run = Regress("three", "800 1200 50 0 10", z, v);
  ASSERT_TRUE(run.m);
  const RegressionRegion& p = run.m->GetRegression(1);
  EXPECT_DOUBLE_EQ(p.h1, 800);
  EXPECT_DOUBLE_EQ(p.h2, 1200);
  EXPECT_NEAR(p.b[2], -0.0395, 1e-12);
  ExpectCells(run, [&](double a) { return a < 800 ? Lower(a) : a <= 1200 ? middle(a) : Upper(a); });
  // Method 11 weighs inverse-distance values (fraction 0.5) against the bands;
  // where no station is in reach the bands stand alone.
  for (double reach : {1e7, 100.0}) {
    RegressionRun mixed =
        Regress(reach > 1000 ? "mixed" : "mixednear", "800 1200 50 0 10", z, v, {}, 1, kPos, 11, reach);
    ASSERT_TRUE(mixed.m);
    for (int k = 0; k < 12; ++k) {
      const double a = kCellZ[k];
      const double bands = a < 800 ? Lower(a) : a <= 1200 ? middle(a) : Upper(a);
      double sw = 0, swv = 0;
      for (int i = 0; i < 6; ++i) {
        double d = std::hypot(kPos[i][0] - mixed.X(k), kPos[i][1] - mixed.Y(k));
        if (d == 0) d = 1;
        if (d > reach) continue;
        sw += 1 / (d * d);
        swv += v[i] / (d * d);
      }
      EXPECT_NEAR(mixed.Cell(k), sw > 0 ? 0.5 * swv / sw + 0.5 * bands : bands, 1e-9) << k;
    }
  }
  // A fixed lapse rate above the upper inversion continues the middle band at 1200 m.
  RegressionRun fixed = Regress("fixed", "800 1200 50 0 10 0.001", z, v);
  ASSERT_TRUE(fixed.m);
  EXPECT_DOUBLE_EQ(fixed.m->GetRegression(1).b[3], 0.001);
  EXPECT_NEAR(fixed.m->GetRegression(1).a[3] + 0.001 * 1200, -9.8, 1e-9);
}

TEST(MeteoRegression, LinesMeetingInsideTheLayerOrOnOneLineGiveTwoBands) {
  // The upper line meets the lower one at 900 m, inside 800 - 50 ... 1200 + 50.
  auto upper = [](double a) { return 11.35 - 0.0065 * a; };
  RegressionRun meet = Regress("meet", "800 1200 50 0 10", kZ, ValuesAt(kZ, upper));
  ASSERT_TRUE(meet.m);
  EXPECT_DOUBLE_EQ(meet.m->GetRegression(1).h1, 0);
  EXPECT_NEAR(meet.m->GetRegression(1).h2, 900, 1e-9);
  ExpectCells(meet, [&](double a) { return a <= 900 ? Lower(a) : upper(a); });

  auto line = [](double a) { return 15 - 0.006 * a; };
  std::vector<double> onLine;
  for (double a : kZ) onLine.push_back(line(a));
  RegressionRun one = Regress("oneline", "800 1200 50 0 10", kZ, onLine);
  ASSERT_TRUE(one.m);
  ExpectCells(one, line);
}

TEST(MeteoRegression, ResidualsOffTheLineAddTheLeastSquaresPlane) {
  const std::vector<double> z = {100, 300, 500, 700};
  const std::vector<double> v = {Lower(100), Lower(300), Lower(500), Lower(700) + 2};
  RegressionRun run = Regress("trend", "800 1200 50 0 10", z, v);
  ASSERT_TRUE(run.m);
  std::vector<std::vector<double>> f1, f3;
  for (int i = 0; i < 4; ++i) {
    f1.push_back({1, z[i]});
    f3.push_back({1, kPos[i][0], kPos[i][1]});
  }
  const std::vector<double> line = LeastSquares(f1, v);
  std::vector<double> residual;
  for (int i = 0; i < 4; ++i) residual.push_back(v[i] - line[0] - line[1] * z[i]);
  const std::vector<double> plane = LeastSquares(f3, residual);
  EXPECT_GT(std::fabs(plane[1]) + std::fabs(plane[2]), 1e-4);
  for (int k = 0; k < 12; ++k) {
    const double want = line[0] + line[1] * kCellZ[k] + plane[0] + plane[1] * run.X(k) + plane[2] * run.Y(k);
    EXPECT_NEAR(run.Cell(k), want, 1e-9) << kCellZ[k];
  }

  // Stations on one straight line in x-y: no plane (instead of a division by zero).
  const double diagonal[4][2] = {{0, 0}, {1000, 1000}, {2000, 2000}, {3000, 3000}};
  RegressionRun flat = Regress("collinear", "800 1200 50 0 10", z, v, {}, 1, diagonal);
  ASSERT_TRUE(flat.m);
  EXPECT_LT(flat.m->GetRegression(1).c0, -9999);
  ExpectCells(flat, [&](double a) { return line[0] + line[1] * a; });
}

TEST(MeteoRegression, DegenerateLayersGiveFiniteValues) {
  // The two inversions at one height: a layer of no thickness.
  RegressionRun thin = Regress("thin", "800 800 50 0 10", kZ, ValuesAt(kZ));
  ASSERT_TRUE(thin.m);
  ExpectCells(thin, [](double a) { return a < 800 ? Lower(a) : a == 800 ? 6 : Upper(a); });
  // A single lower station exactly at the lower inversion (the next station
  // above has no value and is not borrowed): no gradient below it.
  const std::vector<double> z2 = {800, 1400, 1800, 2200, 1300};
  const std::vector<double> v2 = {6, Upper(1400), Upper(1800), Upper(2200), -10000};
  RegressionRun point = Regress("point", "800 1200 50 0 10", z2, v2);
  ASSERT_TRUE(point.m);
  ExpectCells(point, [](double a) { return a < 800 ? 6 : a <= 1200 ? 37.6 - 0.0395 * a : Upper(a); });
}

// A step without a valid station has no regression: its cells are missing,
// not the step before passed off as this one.
TEST(MeteoRegression, StepWithoutValuesLeavesTheCellsMissing) {
  auto scaled = [](double a) { return 2 * (15 - 0.006 * a); };
  std::vector<double> v;
  for (double a : kZ) v.push_back(scaled(a) / 2);
  RegressionRun run = Regress("nothing", "800 1200 50 0 10", kZ, v, std::vector<double>(6, -10000), 2);
  ASSERT_TRUE(run.m);
  ExpectCells(run, scaled);
  run.m->ReadStepData();
  run.m->Regression(0);
  EXPECT_LT(run.m->GetRegression(1).a[1], -9999);
  run.m->Interpolate(1, 1, 1, 2000);
  ExpectCells(run, [](double) { return -9999; });
}
