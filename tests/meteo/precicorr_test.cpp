// Precipitation correction: station values and the elevation regression of
// the precipitation interpolator (station mode), or the finished grid (grid
// mode), multiplied by b W + a of rain or snow.
#include "meteo/precicorr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "tests/meteo/meteo_world.h"

using namespace meteotest;

namespace {

// Threshold 0 degrees; rain 1.05 + 0.01 W, snow 1.2 + 0.05 W.
const double kTg = 0, kAR = 1.05, kBR = 0.01, kAS = 1.2, kBS = 0.05;

std::string CorrectionSection(int doIt) {
  return "[precipitation_correction]\n" + std::to_string(doIt) +
         "   do_it\n0   threshold\n1.05   rain constant\n0.01   rain slope\n1.2   snow constant\n0.05   snow slope\n";
}

double Rain(double w) {
  return kBR * w + kAR;
}
double Snow(double w) {
  return kBS * w + kAS;
}

struct Rig {
  std::unique_ptr<World> world;
  std::vector<std::unique_ptr<meteointerpol>> owned;
  std::vector<meteointerpol*> list{nullptr};  // 1 ... n
  std::unique_ptr<precicorrclass> correction;
  int error = 0;

  // Interpolators of the given variables (Thiessen unless told otherwise, one
  // station file each) and the correction; cellZ: the 3 x 4 cell elevations.
  Rig(const std::string& name, const std::map<std::string, std::vector<double>>& values, int doIt,
      const std::vector<std::string>& order, int method = 4, const std::vector<Station>& stations = kStations,
      const std::string& parameters = "none", const double* cellZ = nullptr) {
    world = std::make_unique<World>(3, 4, 1000, name);
    World& w = *world;
    for (int k = 0; cellZ && k < 12; ++k) w.elevation[k / 4 + 1][k % 4 + 1] = cellZ[k];
    std::string control;
    for (const std::string& v : order) {
      Section s;
      s.variable = v;
      s.method = method;
      s.stationLine = v + ".txt";
      s.resultGrid = v + ".grd";
      s.thirdLine = parameters;
      control += s.Text();
      const std::vector<double>& x = values.at(v);
      w.Write(v + ".txt", StationFileText(stations, {{kStep0, x}, {kStep1, x}}));
    }
    w.Write("control.txt", control + CorrectionSection(doIt));
    for (const std::string& v : order) {
      int e = 0;
      owned.push_back(w.Make(v, kStep0, kStep1, e));
      EXPECT_EQ(e, 0) << w.Console();
      list.push_back(owned.back().get());
    }
    MakeCorrection();
  }
  explicit Rig(std::unique_ptr<World> w) : world(std::move(w)) {}

  void MakeCorrection() {
    PreciCorrArgs a;
    a.controlFileName = "control.txt";
    a.gridList = world->list.data();
    a.ncols = world->cols;
    a.nrows = world->rows;
    a.lastRow = world->rows;
    a.cellSize = world->cellsize;
    a.interpolators = list.data();
    a.interpolatorCount = static_cast<int>(list.size()) - 1;
    correction = std::make_unique<precicorrclass>(error, world->Diag(), a);
  }
};

// The 3 x 4 cells of a result grid, row by row.
std::vector<double> Cells(Grid g) {
  std::vector<double> v;
  for (int r = 1; r <= 3; ++r) v.insert(v.end(), &g[r][1], &g[r][4] + 1);
  return v;
}

// Index of the station whose value a cell of the uncorrected Thiessen grid shows.
int StationOf(double cellValue, const std::vector<double>& stationValues) {
  for (size_t i = 0; i < stationValues.size(); ++i)
    if (stationValues[i] == cellValue) return static_cast<int>(i);
  return -1;
}

}  // namespace

TEST(PrecipitationCorrection, StationValuesGetTheFactorOfTheirTemperatureAndWind) {
  // Distinct precipitation values identify the station of each cell.
  const std::vector<double> p = {10, 20, 40};
  const std::vector<double> t = {-1, 0, 5};  // snow, threshold itself (snow), rain
  const std::vector<double> wind = {2, 3, 4};
  const double corrected[3] = {10 * Snow(2), 20 * Snow(3), 40 * Rain(4)};
  for (int threads : {1, 8}) {
    Rig s("station" + std::to_string(threads), {{"precipitation", p}, {"temperature", t}, {"wind_speed", wind}}, 1,
          {"temperature", "precipitation", "wind_speed"});
    ASSERT_EQ(s.error, 0) << s.world->Console();
    EXPECT_FALSE(s.correction->GetGridMode());
    meteointerpol* precipitation = s.list[2];
    // The uncorrected grid first, to know each cell's station.
    precipitation->Interpolate(0, 1, 1, 2000);
    const std::vector<double> plain = Cells(precipitation->GetResultGrid());
    s.correction->CorrectStationData();
    for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(precipitation->GetStationValues(0)[i + 1], corrected[i]);
    WithThreads(threads, [&] { precipitation->Interpolate(0, 1, 1, 2000); });
    const std::vector<double> result = Cells(precipitation->GetResultGrid());
    for (size_t k = 0; k < plain.size(); ++k) {
      const int station = StationOf(plain[k], p);
      ASSERT_GE(station, 0);
      EXPECT_DOUBLE_EQ(result[k], corrected[station]) << "cell " << k;
    }
  }
}

TEST(PrecipitationCorrection, EqualValuesThatTheCorrectionMakesUnequalAreInterpolated) {
  // All gauges report 10: the record is uniform until the wind makes the values differ.
  const std::vector<double> p = {10, 10, 10};
  Rig s("uniform", {{"precipitation", p}, {"wind_speed", {0, 10, 20}}}, 1, {"precipitation", "wind_speed"});
  ASSERT_EQ(s.error, 0) << s.world->Console();
  EXPECT_EQ(s.list[1]->GetAllEqual(0), 1);
  s.correction->CorrectStationData();
  EXPECT_EQ(s.list[1]->GetAllEqual(0), 0);
  s.list[1]->Interpolate(0, 1, 1, 2000);
  Grid g = s.list[1]->GetResultGrid();
  EXPECT_DOUBLE_EQ(g[3][1], 10 * Rain(0));  // at station 1 (no temperature: rain)
  EXPECT_DOUBLE_EQ(g[3][4], 10 * Rain(10));
  EXPECT_DOUBLE_EQ(g[1][1], 10 * Rain(20));
}

TEST(PrecipitationCorrection, SwitchedOffChangesNothing) {
  const std::vector<double> p = {10, 20, 40};
  Rig s("off", {{"precipitation", p}, {"temperature", {-5, -5, -5}}, {"wind_speed", {9, 9, 9}}}, 0,
        {"precipitation", "temperature", "wind_speed"});
  ASSERT_EQ(s.error, 0) << s.world->Console();
  s.list[1]->Interpolate(0, 1, 1, 2000);
  const std::vector<double> before = Cells(s.list[1]->GetResultGrid());
  s.correction->CorrectStationData();
  s.correction->CorrectGrid();
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(s.list[1]->GetStationValues(0)[i], p[i - 1]);
  EXPECT_EQ(Cells(s.list[1]->GetResultGrid()), before);
}

TEST(PrecipitationCorrection, GridModeCorrectsTheGridInPlace) {
  // No precipitation interpolator: the grid of the grid list is corrected, with
  // temperature and wind from grids; invalid temperature counts as rain and
  // invalid wind as 0, and missing precipitation stays missing.
  auto w = std::make_unique<World>(2, 3, 1000, "gridmode");
  const double pv[2][3] = {{10, 10, -9999}, {4, 5, 7}};
  const double tv[2][3] = {{-3, 0, -3}, {2, -99999, -3}};
  const double wv[2][3] = {{1, 2, 3}, {-99999, 5, 6}};
  Grid p = w->AddGrid("precipitation", [&](int r, int c) { return pv[r - 1][c - 1]; });
  w->AddGrid("temperature", [&](int r, int c) { return tv[r - 1][c - 1]; });
  w->AddGrid("wind_speed", [&](int r, int c) { return wv[r - 1][c - 1]; });
  w->zone[1][2] = -9999;  // the correction follows the owner grid, not the zones
  w->Write("control.txt", CorrectionSection(1));
  Rig s(std::move(w));
  s.MakeCorrection();
  ASSERT_EQ(s.error, 0) << s.world->Console();
  EXPECT_TRUE(s.correction->GetGridMode());
  s.correction->CorrectStationData();  // nothing to do in grid mode
  EXPECT_EQ(p[1][1], 10);
  WithThreads(8, [&] { s.correction->CorrectGrid(); });
  EXPECT_DOUBLE_EQ(p[1][1], 10 * Snow(1));
  EXPECT_DOUBLE_EQ(p[1][2], 10 * Snow(2));
  EXPECT_EQ(p[1][3], -9999);
  EXPECT_DOUBLE_EQ(p[2][1], 4 * Rain(0));
  EXPECT_DOUBLE_EQ(p[2][2], 5 * Rain(5));
  EXPECT_DOUBLE_EQ(p[2][3], 7 * Snow(6));
  s.correction->FreeMemory();
}

TEST(PrecipitationCorrection, RegressionBandsAreRefittedAndJoined) {
  // Precipitation by elevation regression (method 10) in three bands split at
  // 800 and 1200 m; temperature 10 - 0.01 z from its own regression, so rain
  // below 1000 m and snow above; no wind. Band 1 is scaled by the rain
  // constant, band 3 (1200 ... 3000 m) by the snow constant, and band 2 joins
  // them again.
  const std::vector<double> z = {200, 400, 600, 1400, 1800, 2200};
  std::vector<Station> stations;
  std::vector<double> pv, tv;
  for (size_t i = 0; i < z.size(); ++i) {
    stations.push_back({z[i], kPos[i][0], kPos[i][1]});
    pv.push_back(z[i] < 800 ? 10 + 0.005 * z[i] : 2 + 0.01 * z[i]);
    tv.push_back(10 - 0.01 * z[i]);
  }
  Rig s("regression", {{"precipitation", pv}, {"temperature", tv}}, 1, {"precipitation", "temperature"}, 10, stations,
        "800 1200 50 0 10", kCellZ);
  ASSERT_EQ(s.error, 0) << s.world->Console();
  // The highest cell far above h2, and just above it (band 3 is then sampled
  // up to 2 h2 with a bounded number of samples).
  for (double highest : {3000.0, 1200 + 1e-9}) {
    s.correction->SetGridMaximum(highest);
    for (meteointerpol* m : {s.list[1], s.list[2]}) m->Regression(0);
    const std::vector<double> stationValues = s.list[1]->GetStationValues(0);
    s.correction->CorrectStationData();
    EXPECT_EQ(s.list[1]->GetStationValues(0), stationValues);  // method 10: only the regression changes
    s.list[1]->Interpolate(0, 1, 1, 2000);
    const double a1 = kAR * 10, b1 = kAR * 0.005, a3 = kAS * 2, b3 = kAS * 0.01;
    const double b2 = ((a3 + b3 * 1200) - (a1 + b1 * 800)) / 400;
    const double a2 = (b1 - b2) * 800 + a1;
    for (int k = 0; k < 12; ++k) {
      const double a = kCellZ[k];
      const double want = a < 800 ? a1 + b1 * a : a <= 1200 ? a2 + b2 * a : a3 + b3 * a;
      EXPECT_NEAR(s.list[1]->GetResultGrid()[k / 4 + 1][k % 4 + 1], want, 1e-9)
          << "cell elevation " << a << ", highest " << highest;
    }
  }
}

TEST(PrecipitationCorrection, MissingSectionAndUnreadableValueAreFatal) {
  World w(2, 2, 1000, "corrbad");
  for (const std::string& text : {std::string("[other]\n1\n"), std::string("[precipitation_correction]\n1\n0\nx\n")}) {
    w.Write("control.txt", text);
    PreciCorrArgs a;
    a.controlFileName = "control.txt";
    a.gridList = w.list.data();
    a.ncols = a.nrows = a.lastRow = 2;
    int error = 0;
    precicorrclass c(error, w.Diag(), a);
    w.ExpectFatal(error, 17, text.size() < 12 ? "[precipitation_correction]" : "Konstante Regen fuer ");
  }
}
