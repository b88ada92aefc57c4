// The groundwater model against analytic references: reading of its section,
// the steady confined strip, the erfc step response, water balances, zones,
// leakage, the control-point file and thread independence.
#include <omp.h>

#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "tests/soil/gwworld.h"

namespace {

using gwtest::Section;
using gwtest::World;

constexpr double kCell = 100.0;

World* Strip(int cols, int rows = 1, gwtest::CellFn zone = nullptr) {
  if (!zone) zone = [](int, int) { return 1.0; };
  return new World("gwstrip", rows, cols, kCell, zone, false);
}

// ---- section ----

TEST(GroundwaterSection, BadMethodAndControlCellAreRejectedWithTheirCodes) {
  std::unique_ptr<World> w(Strip(5, 3));
  w->AddLayer(1, 1e-4, 1e-3, 10);
  Section s;
  // Another method number solves no layer, and says so.
  s.method = "3";
  EXPECT_EQ(w->Build(s), 0);
  EXPECT_TRUE(w->Said("method 3 is neither 1 (over-relaxation) nor 2 (line solver): no layer is solved"));
  s.method = "x";
  EXPECT_EQ(w->Build(s), 17);
  EXPECT_TRUE(w->Said("error in control file, method in groundwater_flow"));

  s.method = "1";
  s.control = "4 1";
  EXPECT_EQ(w->Build(s), 8);
  EXPECT_TRUE(w->Said("row index (4) for output-cell must be between 1 and 3 (Input as row col) or 0 0"));
  s.control = "1 6";
  EXPECT_EQ(w->Build(s), 9);
  EXPECT_TRUE(w->Said("column index (6) for output-cell must be between 1 and 5 (Input as row col)"));
}

TEST(GroundwaterSection, PondFlagLineIsOptionalAndNamesDeriveFromTheHeadsFile) {
  std::unique_ptr<World> w(Strip(4, 2));
  w->AddLayer(1, 1e-4, 1e-3, 10);
  Section s;
  s.pond = "";  // the first heads file name follows the control point file
  ASSERT_EQ(w->Build(s), 0) << w->console.str();
  EXPECT_TRUE(w->Said("no POND-Grid will be used because Use-Pond-Flag is not present"));
  EXPECT_EQ(w->list[w->Position("gw_head_1")].filename, "heads1.asc");
  EXPECT_EQ(w->list[w->Position("gw_head_old_1")].filename, "heads1_old.asc");
  // The x and y flux grids carry the names of the "transmissivity" outputs.
  EXPECT_EQ(w->list[w->Position("gw_flow_x_1")].filename, "flowx1.asc");
  EXPECT_EQ(w->list[w->Position("gw_flow_y_1")].filename, "flowy1.asc");

  s.pond = "1";
  ASSERT_EQ(w->Build(s), 0);
  EXPECT_TRUE(w->Said("Use-Pond-Flag is 1\n POND-Grid was not found --> no PONDs will be used in GW-Model"));
  EXPECT_EQ(w->gw->PondFlag(), 1);
  EXPECT_EQ(w->gw->PondUse(), 0);
}

TEST(GroundwaterSection, LayerThicknessesAndTopsComeFromSoilAndLayersAbove) {
  std::unique_ptr<World> w(Strip(3, 2));
  w->AddLayer(1, 1e-4, 1e-3, 99, nullptr, nullptr, 1e-6);
  w->AddLayer(2, 1e-4, 1e-3, 7);
  Section s;
  s.layers = 2;
  ASSERT_EQ(w->Build(s), 0) << w->console.str();
  // Layer 1 is as thick as the soil profile (4 + 6 m); elevation 0.
  EXPECT_DOUBLE_EQ(w->Find("aquifer_thickness_1")[2][3], 10.0);
  EXPECT_DOUBLE_EQ(w->Find("aquifer_upper_limit1")[2][3], 0.0);
  EXPECT_DOUBLE_EQ(w->Find("aquifer_upper_limit2")[2][3], -10.0);
  // Every layer starts at the water table: elevation + distance.
  EXPECT_DOUBLE_EQ(w->Find("gw_head_2")[1][1], 5.0);

  // Without the leakage grid of layer 1 the two-layer model cannot be built.
  std::unique_ptr<World> v(Strip(3, 2));
  v->AddLayer(1, 1e-4, 1e-3, 10);
  v->AddLayer(2, 1e-4, 1e-3, 7);
  EXPECT_EQ(v->Build(s), 33);
  EXPECT_TRUE(v->Said("gw_kolmation_1"));
}

// ---- analytic references ----

// Confined strip (K 1e-4 m/s, 10 m thick) between fixed heads 10 m and 9 m:
// at steady state the head is linear and the flux is K dh / L.
TEST(GroundwaterFlow, SteadyConfinedStripIsLinearWithDarcyFlux) {
  for (const char* method : {"1", "2"}) {
    const int n = 11;
    std::unique_ptr<World> w(Strip(n));
    auto fix = [&](int, int c) { return c == 1 ? 10.0 : c == n ? 9.0 : kNodata; };
    w->AddLayer(1, 1e-4, 1e-5, 10, fix);
    Section s;
    s.method = method;
    s.sor = 1.6;
    ASSERT_EQ(w->Build(s), 0) << w->console.str();
    // The line solver solves a row whole: a second pass confirms it.
    w->Steps(1);
    if (method[0] == '2') {
      EXPECT_EQ(w->gw->Iterations(), 2);
    }
    w->Steps(7);
    Grid h = w->Find("gw_head_1");
    Grid fx = w->Find("gw_flow_x_1");
    const double length = (n - 1) * kCell;
    for (int c = 1; c <= n; ++c) EXPECT_NEAR(h[1][c], 10.0 - (c - 1) * kCell / length, 1e-4) << method << " " << c;
    for (int c = 1; c < n; ++c) EXPECT_NEAR(fx[1][c], 1e-4 * 1.0 / length, 1e-9) << method << " " << c;
    EXPECT_EQ(fx[1][n], 0.0);  // the last column has no east face
  }
}

// A head step dh at x = 0 in a confined layer spreads as
// h0 + dh erfc(x / (2 sqrt(T t / S))).
TEST(GroundwaterFlow, HeadStepSpreadsAsErfc) {
  const int n = 80;
  const double T = 1e-4 * 10, S = 1e-3, h0 = 5.0, dh = 1.0;
  std::unique_ptr<World> w(Strip(n));
  w->AddLayer(1, 1e-4, S, 10, [&](int, int c) { return c == 1 ? h0 + dh : kNodata; });
  Section s;
  s.interval = 60;
  s.alpha = 1.0;
  s.sor = 0;  // adaptive factor
  ASSERT_EQ(w->Build(s), 0) << w->console.str();
  const int steps = 120;
  w->Steps(steps);
  const double t = steps * 3600.0;
  const double length = std::sqrt(T * t / S);
  ASSERT_LE(kCell, length / 5);
  Grid h = w->Find("gw_head_1");
  for (int c = 2; c <= n; ++c) {
    const double x = (c - 1) * kCell;
    EXPECT_NEAR(h[1][c], h0 + dh * std::erfc(x / (2 * length)), 0.03 * dh) << c;
  }
}

// ---- water balance ----

double Storage(World& w, int l, Grid before, double S) {
  Grid h = w.Find("gw_head_" + std::to_string(l));
  double sum = 0;
  for (int r = 1; r <= w.nrows; ++r)
    for (int c = 1; c <= w.ncols; ++c)
      if (h[r][c] > kNodata) sum += (h[r][c] - before[r][c]) * S * kCell * kCell;
  return sum;
}

// The values of a grid at one moment, with the row table of a Grid.
struct Snapshot {
  Snapshot(World& w, const std::string& name)
      : values(w.nrows + 1, std::vector<double>(w.ncols + 1)), rows(w.nrows + 1) {
    Grid g = w.Find(name);
    for (int r = 1; r <= w.nrows; ++r) {
      for (int c = 1; c <= w.ncols; ++c) values[r][c] = g[r][c];
      rows[r] = values[r].data();
    }
  }
  Grid grid() { return rows.data(); }
  std::vector<std::vector<double>> values;
  std::vector<double*> rows;
};

// A closed domain with sources: the storage change equals the sources times
// area and step, cell by cell in the balance grid and over the domain.
TEST(GroundwaterBalance, ClosedDomainStoresItsSources) {
  const double S = 0.05, q = 2e-8, dt = 86400;
  auto source = [](int r, int c) { return (r == 2 && c == 2) ? 2e-8 : (r == 5 && c == 6) ? 4e-8 : kNodata; };
  auto zone = [](int r, int c) { return (r == 1 && c == 7) ? kNodata : 1.0; };  // one cell outside
  for (const char* method : {"1", "2"}) {
    std::unique_ptr<World> w(new World("gwclosed", 6, 7, kCell, zone, false));
    w->AddLayer(1, 3e-5, S, 10, nullptr, source);
    Section s;
    s.method = method;
    ASSERT_EQ(w->Build(s), 0) << w->console.str();
    for (int step = 0; step < 3; ++step) {
      Snapshot before(*w, "gw_head_1");
      w->Steps(1);
      const double sources = 3 * q * kCell * kCell * dt;
      EXPECT_NEAR(Storage(*w, 1, before.grid(), S), sources, 1e-9 * sources) << method;
      if (method[0] != '1') continue;
      // The over-relaxation sweep solves every cell's balance to its tolerance.
      Grid balance = w->Find("gw_balance1");
      for (int r = 1; r <= 6; ++r)
        for (int c = 1; c <= 7; ++c) {
          if (zone(r, c) == kNodata) continue;
          const double expected = source(r, c) > kNodata ? 1000 * source(r, c) * dt : 0.0;
          EXPECT_NEAR(balance[r][c], expected, 1e-6) << r << " " << c;
        }
    }
  }
}

TEST(GroundwaterBalance, FixedHeadsStayFixedAndZonesDoNotExchangeUnderFlowControl3) {
  // Columns 1-3 zone 1 with a fixed head of 10 m, columns 4-6 zone 2 at rest.
  auto zone = [](int, int c) { return c <= 3 ? 1.0 : 2.0; };
  auto fix = [](int r, int c) { return (c == 1 && r == 2) ? 10.0 : kNodata; };
  for (const char* method : {"1", "2"}) {
    std::unique_ptr<World> w(new World("gwzones", 3, 6, kCell, zone, false));
    w->AddLayer(1, 1e-4, 0.1, 10, fix, [](int r, int c) { return (r == 3 && c == 6) ? 1e-8 : kNodata; });
    w->Add("GlacierizedCells", [](int, int) { return 0.0; });
    Section s;
    s.method = method;
    s.flowControl = 3;
    ASSERT_EQ(w->Build(s), 0) << w->console.str();
    Snapshot before(*w, "gw_head_1");
    w->Steps(5);
    Grid h = w->Find("gw_head_1");
    Grid fx = w->Find("gw_flow_x_1");
    EXPECT_EQ(h[2][1], 10.0) << method;
    EXPECT_GT(h[2][3], 5.1) << method;  // zone 1 fills from its fixed head
    for (int r = 1; r <= 3; ++r) EXPECT_EQ(fx[r][3], 0.0) << method;
    // Zone 2 holds exactly its own source.
    double zone2 = 0;
    for (int r = 1; r <= 3; ++r)
      for (int c = 4; c <= 6; ++c) zone2 += (h[r][c] - before.values[r][c]) * 0.1 * kCell * kCell;
    const double expected = 1e-8 * kCell * kCell * 5 * 86400;
    EXPECT_NEAR(zone2, expected, 1e-9 * expected) << method;
    // A glacier that covers a cell of the flow stops its faces and its balance.
    w->Find("GlacierizedCells")[2][2] = 1;
    w->Steps(1);
    for (const char* g : {"gw_flow_x_1", "gw_flow_y_1", "gw_balance1"}) EXPECT_EQ(w->Find(g)[2][2], 0.0) << g;
  }
}

// Water leaking from a filled lower layer into layer 1 is conserved, and the
// gain of layer 1 reaches the unsaturated zone as negative baseflow.
TEST(GroundwaterBalance, LeakageMovesWaterBetweenLayersWithoutLoss) {
  // A transmissive layer 2: T dt / (S dy2) = 173.
  const double S1 = 0.1, S2 = 1e-3, dt = 86400;
  auto source = [](int r, int c) { return (r == 2 && c == 3) ? 5e-7 : kNodata; };
  for (const char* method : {"1", "2"}) {
    std::unique_ptr<World> w(new World(
        "gwleak", 4, 5, kCell, [](int, int) { return 1.0; }, false));
    w->AddLayer(1, 1e-5, S1, 10, nullptr, nullptr, 1e-9);
    w->AddLayer(2, 1e-3, S2, 20, nullptr, source);
    Section s;
    s.method = method;
    s.layers = 2;
    ASSERT_EQ(w->Build(s), 0) << w->console.str();
    w->Steps(2);  // layer 2 rises above layer 1
    Snapshot b1(*w, "gw_head_1"), b2(*w, "gw_head_2");
    w->Steps(1);
    const double d1 = Storage(*w, 1, b1.grid(), S1);
    const double d2 = Storage(*w, 2, b2.grid(), S2);
    const double sources = 5e-7 * kCell * kCell * dt;
    EXPECT_GT(d1, 1e-4 * sources) << method;  // layer 1 gained by leakage
    EXPECT_NEAR(d1 + d2, sources, 1e-8 * sources) << method;
    double out = 0;
    Grid base = w->Find("baseflow");
    for (int r = 1; r <= 4; ++r)
      for (int c = 1; c <= 5; ++c) out += base[r][c] / 1000 * kCell * kCell;  // mm per step
    EXPECT_NEAR(out, -d1, 1e-9 * sources) << method;
  }
}

// ---- control point ----

TEST(GroundwaterControlPoint, FileHoldsFourPlusSixValuesPerLayerAndEdgeMarks) {
  std::unique_ptr<World> w(new World(
      "gwcontrol", 3, 4, kCell, [](int, int) { return 1.0; }, false));
  w->AddLayer(1, 1e-4, 0.1, 10, nullptr, nullptr, 1e-7);
  w->AddLayer(2, 1e-4, 0.01, 10, nullptr, [](int r, int c) { return r == 1 && c == 4 ? 1e-7 : kNodata; });
  Section s;
  s.layers = 2;
  s.control = "1 4";  // first row, last column
  ASSERT_EQ(w->Build(s), 0) << w->console.str();
  w->gw->SetInitialized(1);
  w->Steps(3);
  EXPECT_EQ(w->gw->Buffered(), 3);
  const double base = w->Find("baseflow")[1][4];
  const double left = w->Find("gw_head_2")[1][3];
  w->Release();
  const std::string text = fluvextest::ReadFile(w->dir / "control.txt");
  std::istringstream lines(text);
  std::string header;
  std::getline(lines, header);
  EXPECT_EQ(header,
            "YY\tMM\tDD\tHH\tcontrol_point_fluxes[1][4][lr: 1, 1]\t[lr: 1, 2]\t[lr: 1, 3]\t[lr: 1, 4]\t[lr: 1, "
            "up]\t[lr: 1, down]\t[lr: 2, 1]\t[lr: 2, 2]\t[lr: 2, 3]\t[lr: 2, 4]\t[lr: 2, up]\t[lr: 2, down]\t");
  std::string line;
  int count = 0;
  std::vector<double> v;
  while (std::getline(lines, line)) {
    ++count;
    std::istringstream fields(line);
    v.clear();
    for (double x; fields >> x;) v.push_back(x);
    ASSERT_EQ(v.size(), 16u) << line;
  }
  EXPECT_EQ(count, 3);
  EXPECT_EQ(v[0], 2000);
  EXPECT_EQ(v[3], 24);
  for (int l = 0; l < 2; ++l) {
    EXPECT_EQ(v[4 + 6 * l + 1], -8888);                           // row above
    EXPECT_EQ(v[4 + 6 * l + 2], -8888);                           // column to the right
    EXPECT_NEAR(v[4 + 6 * l + 5], base, 1e-5 * std::fabs(base));  // six digits in the file
  }
  EXPECT_NEAR(v[4 + 6 + 4], left, 1e-5);
}

TEST(GroundwaterControlPoint, ARunNotMarkedInitializedWritesNoRecordsAtRelease) {
  std::unique_ptr<World> w(new World(
      "gwcontrol0", 2, 2, kCell, [](int, int) { return 1.0; }, false));
  w->AddLayer(1, 1e-4, 0.1, 10);
  Section s;
  s.control = "2 2";
  ASSERT_EQ(w->Build(s), 0);
  w->Steps(2);
  w->Release();
  const std::string text = fluvextest::ReadFile(w->dir / "control.txt");
  EXPECT_EQ(fluvextest::CountOf(text, "\n"), 1);
  // No control cell: no file.
  std::unique_ptr<World> v(new World(
      "gwcontrol00", 2, 2, kCell, [](int, int) { return 1.0; }, false));
  v->AddLayer(1, 1e-4, 0.1, 10);
  s.control = "0 0";
  ASSERT_EQ(v->Build(s), 0);
  EXPECT_FALSE(fluvextest::FileExists(v->dir / "control.txt"));
}

// ---- tracers ----

// A uniform concentration stays uniform while water flows: a deeper
// layer's grid keeps it, and the soil column above each cell of layer 1
// (whose saturated zone is layer 1's water and holds its tracer) gets what
// the faces brought, the exchange's water at that concentration; a
// radioactive tracer of the deeper layer with a half time of one day halves
// in a daily step (layer 1's decays in the soil).
TEST(GroundwaterTracers, FlowKeepsAUniformConcentrationAndDecayHalvesPerHalfTime) {
  std::unique_ptr<World> w(Strip(6, 3));
  w->AddLayer(
      1, 1e-4, 0.1, 10, [](int r, int c) { return r == 2 && c == 1 ? 9.0 : kNodata; },
      [](int r, int c) { return r == 3 && c == 6 ? 1e-7 : kNodata; }, 0.0);
  w->AddLayer(2, 1e-5, 0.05, 20, nullptr, [](int r, int c) { return r == 1 && c == 2 ? 1e-7 : kNodata; });
  Section s;
  s.layers = 2;
  ASSERT_EQ(w->Build(s), 0) << w->console.str();
  TracerRecord tracers[3];
  for (int t = 1; t <= 2; ++t) {
    tracers[t].name = t == 1 ? "chl" : "tri";
    tracers[t].path = w->dir.path() + "/";
    tracers[t].statext = "sta";
    tracers[t].gridext = "grd";
    tracers[t].gwini = 2.0;
    tracers[t].evaporating = 1;  // starts at gwini itself
  }
  tracers[2].radioactive = 1;
  tracers[2].half_time = 1.0;  // days
  int error = -1;
  w->gw->InitTracerGrids(&error, 2, tracers, nullptr, 0);
  ASSERT_EQ(error, 0) << w->console.str();
  Grid stable = w->Find("concstor_tracer_1_layer_2_groundwater_flow");
  Grid decaying = w->Find("concstor_tracer_2_layer_2_groundwater_flow");
  Grid column = w->Find("concstor_tracer_1_layer_1_groundwater_flow");
  Grid exchange = w->Find("groundwater_exchange_tracer_1");
  Grid saturated = w->Find("groundwater_saturated_water");
  ASSERT_TRUE(stable && decaying && column && exchange && saturated);
  EXPECT_EQ(w->list[w->Position("concstor_tracer_1_layer_1_groundwater_flow")].filename,
            w->dir.path() + "/chl1grou.grd");
  // The soil columns' saturated zones hold more water than a step moves.
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 6; ++c) saturated[r][c] = 1e6;
  w->Steps(2);
  Grid base = w->Find("baseflow");
  double brought = 0;
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 6; ++c) {
      EXPECT_NEAR(stable[r][c], 2.0, 1e-12) << r << " " << c;
      EXPECT_NEAR(decaying[r][c], 0.5, 1e-9) << r << " " << c;
      EXPECT_EQ(column[r][c], 2.0) << r << " " << c;
      // (baseflow: mm per step the column gives.)
      EXPECT_NEAR(exchange[r][c], -2.0 * base[r][c], 1e-9 * (1 + std::fabs(base[r][c]))) << r << " " << c;
      brought += exchange[r][c];
    }
  // The fixed inflow brought water (the fixed head took or gave the rest).
  EXPECT_NE(brought, 0.0);
  w->gw->FreeTracerArrays();
  EXPECT_EQ(w->Position("concstor_tracer_1_layer_1_groundwater_flow"), 0);
  EXPECT_EQ(w->Position("groundwater_exchange_tracer_1"), 0);
}

// ---- threads ----

// What a run gives: the grids, and the solver's report lines (sweeps, last
// change, mean factor, oscillating cells with their mean and largest change).
struct RunResult {
  std::vector<double> values;
  std::vector<std::string> reports;
};

// A heterogeneous two-layer aquifer with fixed heads, sources and a dry cell.
RunResult Heterogeneous(const char* method, double sor, int threads) {
  auto zone = [](int r, int c) { return (r + c) % 11 == 0 ? kNodata : 1.0 + (c > 7); };
  std::unique_ptr<World> w(new World("gwthreads", 12, 15, kCell, zone, false));
  w->AddLayer(
      1, 1e-4, 0.1, 10, [](int r, int c) { return r == 1 && c < 4 ? 9.0 : kNodata; },
      [](int r, int c) { return (r * 7 + c) % 13 == 0 ? 3e-8 * r : kNodata; }, 2e-7);
  w->AddLayer(
      2, 2e-4, 1e-3, 15, [](int r, int c) { return r == 12 && c > 10 ? 2.0 : kNodata; },
      [](int r, int c) { return (r + 3 * c) % 17 == 0 ? 1e-7 : kNodata; });
  Grid k = w->Find("gw_k_x_1");
  Grid dist = w->Find("groundwater_distance");
  for (int r = 1; r <= 12; ++r)
    for (int c = 1; c <= 15; ++c) {
      k[r][c] = 1e-5 * (1 + (r * c) % 5);
      dist[r][c] = -3.0 + 0.1 * ((r * 3 + c) % 7);
    }
  Section s;
  s.method = method;
  s.sor = sor;
  s.layers = 2;
  s.eps = 1e-9;
  s.maxiter = 25;
  if (w->Build(s) != 0) return {};
  omp_set_num_threads(threads);
  w->Steps(2);
  RunResult out;
  for (const char* name : {"gw_head_1", "gw_head_2", "gw_balance1", "baseflow"}) {
    Grid g = w->Find(name);
    for (int r = 1; r <= 12; ++r)
      for (int c = 1; c <= 15; ++c) out.values.push_back(g[r][c]);
  }
  const std::string text = w->console.str();
  for (size_t at = text.find("GWlevel"); at != std::string::npos; at = text.find("GWlevel", at + 1))
    out.reports.push_back(text.substr(at, text.find("[end-entry]", at) - at));
  return out;
}

TEST(GroundwaterThreads, OneAndEightThreadsGiveIdenticalResults) {
  const int before = omp_get_max_threads();
  for (auto [method, sor] : {std::pair{"1", 0.0}, std::pair{"1", 1.5}, std::pair{"2", 1.0}}) {
    const RunResult one = Heterogeneous(method, sor, 1);
    const RunResult eight = Heterogeneous(method, sor, 8);
    ASSERT_FALSE(one.values.empty());
    ASSERT_EQ(one.values.size(), eight.values.size());
    for (size_t i = 0; i < one.values.size(); ++i)
      ASSERT_EQ(one.values[i], eight.values[i]) << method << " " << sor << " " << i;
    // Two steps of two layers; the mean factor and the oscillation sums are
    // added in the order of the cells on any number of threads.
    ASSERT_EQ(one.reports.size(), 4u) << method << " " << sor;
    EXPECT_EQ(one.reports, eight.reports) << method << " " << sor;
  }
  omp_set_num_threads(before);
}

}  // namespace
