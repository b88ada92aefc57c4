// The step of the unsaturated zone: water balance of every cell, substep
// counts and the dump mode of the column solve.
#include <omp.h>

#include <filesystem>
#include <utility>

#include "framework/hrurecord.h"
#include "framework/irrigationtable.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/landusetable.h"
#include "parameters/soiltable.h"
#include "tests/framework/codeof.h"
#include "tests/soil/uzworld.h"

namespace {

using uztest::kCols;
using uztest::kLayers;
using uztest::kRows;
using uztest::Section;

class Step : public uztest::World {
 protected:
  Step() {
    precipitation = Add("precipitation", [](int, int) { return 0.0; });
    for (auto& e : list)
      if (e.shortname == "pot_transpiration1" || e.shortname == "potential_evaporation")
        for (int r = 1; r <= kRows; ++r)
          for (int c = 1; c <= kCols; ++c) e.grid[r][c] = 0.0;
  }
  void SetGrid(const std::string& name, double v) {
    for (auto& e : list)
      if (e.shortname == name)
        for (int r = 1; r <= kRows; ++r)
          for (int c = 1; c <= kCols; ++c) e.grid[r][c] = v;
  }
  // A whole time step: its start, the calls of run of its sub-steps and the
  // end with the subbasin routing (the zones are made before the first).
  int FullStep(int64_t hour, int64_t day) {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(dir.path().c_str()) != 0) return -1;
    const int code = CodeOf([&] {
      if (!routed) {
        int error = 0;
        uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
        if (error != 0) throw error;
        routed = true;
      }
      uz->StartStep(hour, day, 7, 2020);
      for (int k = 0; k < subSteps; ++k) uz->run(hour, day, 7, 2020);
      uz->RouteSubbasinRunoff(hour, day, 7, 2020);
    });
    if (chdir(cwd) != 0) return -1;
    return code;
  }
  bool routed = false;
  Grid Find(const std::string& name) const {
    const int p = uz->FindGrid(name, true);
    return p > 0 ? list[p].grid : nullptr;
  }
  // Water of the column in mm.
  double Storage(int r, int c) const {
    double w = 0;
    for (int k = 1; k <= kLayers; ++k) w += uz->Theta()[r][c][k] * uztest::kThickness * 1000.0;
    return w;
  }
  int RunIn(int64_t hour, int64_t day) {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(dir.path().c_str()) != 0) return -1;
    const int code = CodeOf([&] { uz->run(hour, day, 7, 2020); });
    if (chdir(cwd) != 0) return -1;
    return code;
  }
  // Runs the step and checks every cell's water: input = storage change +
  // outputs (direct flow, interflow, evaporation, transpiration, baseflow).
  void ExpectCellsBalance(int step, double tolerance, double* worst = nullptr) {
    const char* names[] = {"directflow", "interflow", "real_evaporation", "real_transpiration1", "baseflow"};
    double before[kRows + 1][kCols + 1];
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) before[r][c] = Storage(r, c);
    ASSERT_EQ(RunIn(step % 24 + 1, 1 + step / 24), 0) << console.str();
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        double out = 0;
        for (const char* name : names) out += Find(name)[r][c];
        const double residual = precipitation[r][c] - (Storage(r, c) - before[r][c]) - out;
        if (worst) *worst = std::max(*worst, std::fabs(residual));
        ASSERT_NEAR(residual, 0.0, tolerance) << "step " << step << " cell " << r << " " << c;
      }
  }
  Grid precipitation = nullptr;
};

TEST_F(Step, EveryCellBalancesItsWaterInEveryStep) {
  Section s;
  s.parameters = {"2 2", "1 1", "0.01 0.01", "2 2", "0.5 0.5", "0 0"};  // baseflow on
  ASSERT_EQ(Make(s), 0) << console.str();
  SetGrid("pot_transpiration1", 0.15);
  SetGrid("potential_evaporation", 0.05);
  SetGrid("vegetation_coverage_degree1", 0.7);
  SetGrid("root_depth1", 0.45);
  double worst = 0;
  for (int step = 0; step < 72; ++step) {
    // Varied forcing: dry hours, drizzle and a heavy shower in the second day.
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        precipitation[r][c] = step % 7 == 0 ? 2.0 * c : (step >= 30 && step < 34 ? 25.0 + r : 0.0);
    ASSERT_NO_FATAL_FAILURE(ExpectCellsBalance(step, 1e-6, &worst));
  }
  EXPECT_LT(worst, 1e-6);
  // The forcing reached the outputs.
  EXPECT_GT(Find("real_transpiration1")[1][1] + Find("real_evaporation")[1][1], 0.0);
  EXPECT_GT(Find("baseflow")[1][1], 0.0);
}

TEST_F(Step, LayersBelowTheirResidualContentGiveNoWaterAndGetNone) {
  // A dry summer: the roots and the soil surface ask for water that layers
  // at and below their residual content cannot give, and a baseflow asks
  // for water below the drainable content. What is taken leaves as
  // transpiration, evaporation or baseflow; no layer is filled up to a bound.
  // The water rising into the dry layers from the wet ones below stays
  // there: the soil's conductivity does not fall with depth, so no layer
  // gives interflow.
  Section s;
  s.parameters = {"2 2", "1 1", "0.01 0.01", "2 2", "0.5 0.5", "0 0"};  // baseflow on
  ASSERT_EQ(Make(s), 0) << console.str();
  SetGrid("pot_transpiration1", 0.6);
  SetGrid("potential_evaporation", 0.3);
  SetGrid("vegetation_coverage_degree1", 0.9);
  SetGrid("root_depth1", 0.9);
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      precipitation[r][c] = 0;
      // Column c: layers 2 to 5 at 1 to 3 thousandths below the residual content.
      for (int k = 2; k <= 5; ++k) uz->Theta()[r][c][k] = uztest::kThetaRes - 0.001 * (c % 3 + 1);
    }
  double rise = 0;
  for (int step = 0; step < 48; ++step) {
    double before = 0;
    for (int c = 1; c <= kCols; ++c) before += uz->Theta()[1][c][5];
    ASSERT_NO_FATAL_FAILURE(ExpectCellsBalance(step, 1e-9));
    for (int c = 1; c <= kCols; ++c) rise += uz->Theta()[1][c][5];
    rise -= before;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        ASSERT_EQ(Find("interflow")[r][c], 0.0) << "step " << step << " cell " << r << " " << c;
  }
  EXPECT_GT(rise, 0.0);  // layer 5 took water from below
}

TEST_F(Step, HydrostaticStartProfileIsAtRest) {
  Section s;
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};  // no baseflow
  ASSERT_EQ(Make(s), 0) << console.str();
  double start[kLayers + 1];
  for (int k = 1; k <= kLayers; ++k) start[k] = uz->Theta()[1][3][k];
  // Without forcing a profile in equilibrium with its water table stays at rest.
  for (int step = 0; step < 100; ++step) ASSERT_EQ(RunIn(step % 24 + 1, 1 + step / 24), 0) << console.str();
  for (int k = 1; k <= kLayers; ++k) EXPECT_NEAR(uz->Theta()[1][3][k], start[k], 1e-6) << k;
  // The unsaturated layers 1 to 5 share the head of the table.
  for (int k = 1; k < 5; ++k) EXPECT_NEAR(uz->Hydraulic()[1][3][k], uz->Hydraulic()[1][3][k + 1], 1e-3) << k;
}

// Relative conductivity of the loam after Mualem and van Genuchten at the
// effective saturation se (pore connectivity 0.5).
double MualemConductivity(double se) {
  const double m = 1 - 1 / uztest::kN;
  const double x = 1 - std::pow(1 - std::pow(se, 1 / m), m);
  return std::sqrt(se) * x * x;
}

TEST_F(Step, ConstantInputReachesTheUnitGradientWaterContent) {
  // 4 m of loam draining to a water table at the bottom under 1e-7 m/s: in the
  // middle of the profile the flux is carried by gravity alone, so there the
  // relative conductivity equals q / Ks.
  const double ks = 2.8889e-6, input = 1e-7;
  Reshape(40, 0.1, ks);
  double lo = 0, hi = 1;
  for (int k = 0; k < 60; ++k) (MualemConductivity((lo + hi) / 2) < input / ks ? lo : hi) = (lo + hi) / 2;
  const double expected = uztest::kThetaRes + lo * (uztest::kThetaSat - uztest::kThetaRes);  // about 0.345
  // Fixed step and dynamic step (one substep per hour here as well).
  for (const char* method : {"2", "3"}) {
    SCOPED_TRACE(method);
    Section s;
    s.method = method;
    s.iniGw = "1";
    s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
    ASSERT_EQ(Make(s), 0) << console.str();
    // Start a little drier than the steady state above the capillary fringe of
    // the hydrostatic profile.
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int k = 1; k <= 40; ++k) uz->Theta()[r][c][k] = std::max(uz->Theta()[r][c][k], expected - 0.01);
    SetGrid("precipitation", input * 3600 * 1000);
    for (int step = 0; step < 168; ++step) ASSERT_EQ(RunIn(step % 24 + 1, 1 + step / 24), 0) << console.str();
    // Mid-profile, between the wetting of the top and the water table, which
    // rises in the closed column.
    for (int k = 10; k <= 16; ++k) EXPECT_NEAR(uz->Theta()[1][1][k], expected, 0.01) << k;
    // All the input infiltrates.
    EXPECT_NEAR(Find("total_infiltration")[1][1], input * 3600 * 1000, 1e-9);
  }
}

TEST_F(Step, ResultsDoNotDependOnTheThreadCount) {
  Section s;
  s.parameters = {"2 2", "1 1", "0.01 0.01", "2 2", "0.5 0.5", "0 0"};
  SetGrid("pot_transpiration1", 0.1);
  std::vector<double> results[2];
  for (int t = 0; t < 2; ++t) {
    omp_set_num_threads(t == 0 ? 1 : 8);
    ASSERT_EQ(Make(s), 0) << console.str();
    for (int step = 0; step < 12; ++step) {
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) precipitation[r][c] = step < 3 ? 5.0 * r + c : 0.0;
      ASSERT_EQ(RunIn(step + 1, 1), 0);
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
          for (int k = 1; k <= kLayers; ++k) results[t].push_back(uz->Theta()[r][c][k]);
          results[t].push_back(Find("directflow")[r][c]);
          results[t].push_back(Find("groundwater_distance")[r][c]);
        }
    }
  }
  omp_set_num_threads(omp_get_num_procs());
  EXPECT_EQ(results[0], results[1]);
}

TEST_F(Step, RiverWaterEntersTheSoilAndIsBookedInItsLink) {
  Section s;
  s.interaction = "2";
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
  Add("river_depth", [](int, int) { return 0.3; });  // bed above the table at 0.6 m
  Add("river_width", [](int, int) { return 5.0; });
  Grid links = Add("river_links", [](int r, int c) { return r == 1 && c == 1 ? 3.0 : 0.0; });
  Add("kolmation", [](int, int) { return 1e-6; });
  ASSERT_EQ(Make(s), 0) << console.str();
  uz->SetGroundwaterCoupling(1);
  int error = -1;
  uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
  ASSERT_EQ(error, 0) << console.str();
  RiverflowTable* table = uz->GetRiverflowTable();
  table[3].field[10] = 10.0;  // m3/s at 1 m/s: 2 m of water in a 5 m wide river
  table[3].field[11] = 1.0;
  const double before = Storage(1, 1);
  ASSERT_EQ(RunIn(1, 1), 0) << console.str();
  const double in = Find("river_infiltration")[1][1];
  EXPECT_GT(in, 0.0);
  EXPECT_EQ(Find("river_infiltration")[1][2], 0.0);
  // Taken from the link over the hour: mm over the cell back to m3/s.
  EXPECT_NEAR(table[3].field[13] * 3600.0, in / 1000.0 * 100.0 * 100.0, 1e-9);
  double out = 0;
  for (const char* name : {"directflow", "interflow", "real_evaporation", "real_transpiration1", "river_exfiltration"})
    out += Find(name)[1][1];
  EXPECT_NEAR(in - (Storage(1, 1) - before) - out, 0.0, 1e-6);

  // A link that names no subbasin ends the step after the cell loop.
  links[2][4] = 9.0;
  EXPECT_EQ(RunIn(2, 1), 199);
  EXPECT_TRUE(Said("There is a river link \"9\" from the river link grid"));
}

TEST_F(Step, RiverWaterTakenByManyCellsDoesNotDependOnTheThreadCount) {
  // Every cell lies on the same link, which carries less than the cells
  // could take: what each cell gets must not depend on which thread reaches
  // it first, and the link books the sum of the cells' intake.
  std::vector<double> results[2];
  for (int t = 0; t < 2; ++t) {
    omp_set_num_threads(t == 0 ? 1 : 8);
    Section s;
    s.interaction = "2";
    s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
    Add("river_depth", [](int, int) { return 0.3; });
    Add("river_width", [](int, int) { return 5.0; });
    Add("river_links", [](int, int) { return 3.0; });
    Add("kolmation", [](int, int) { return 1e-4; });
    ASSERT_EQ(Make(s), 0) << console.str();
    uz->SetGroundwaterCoupling(1);
    int error = -1;
    uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
    ASSERT_EQ(error, 0) << console.str();
    RiverflowTable* table = uz->GetRiverflowTable();
    for (int step = 0; step < 3; ++step) {
      table[3].field[10] = 0.002;  // m3/s
      table[3].field[11] = 0.5;
      table[3].field[13] = 0;
      ASSERT_EQ(RunIn(step + 1, 1), 0) << console.str();
      double sum = 0;
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
          results[t].push_back(Find("river_infiltration")[r][c]);
          sum += Find("river_infiltration")[r][c] / 1000.0 * 100.0 * 100.0 / 3600.0;
        }
      results[t].push_back(table[3].field[13]);
      EXPECT_NEAR(table[3].field[13], sum, 1e-15);
      EXPECT_GT(sum, 0.0);
    }
  }
  omp_set_num_threads(omp_get_num_procs());
  EXPECT_EQ(results[0], results[1]);
}

TEST_F(Step, PondedInfiltrationIntoADeepProfileTendsToTheConductivity) {
  // 4 m of loam, all layers unsaturated above the profile bottom; rain of twice
  // the saturated conductivity for 48 hours.
  const double ks = 2.8889e-6;
  Reshape(40, 0.1, ks);
  Section s;
  s.iniGw = "1";
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
  ASSERT_EQ(Make(s), 0) << console.str();
  SetGrid("precipitation", 2 * ks * 3600 * 1000);
  double infiltrated = 0;
  for (int step = 0; step < 48; ++step) {
    ASSERT_EQ(RunIn(step % 24 + 1, 1 + step / 24), 0) << console.str();
    infiltrated = Find("total_infiltration")[1][1];
  }
  const double rate = infiltrated / 3600 / 1000;  // m/s in the last hour
  EXPECT_GE(rate, 0.9 * ks);
  EXPECT_LE(rate, 1.5 * ks);
}

TEST_F(Step, DynamicMethodRunsSubstepsByTheStableStep) {
  Section s;
  s.method = "3";
  s.methodThree = "60\nsubsteps.stat 0\nsubsteps.grd\n0\n";
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
  ASSERT_EQ(Make(s), 0) << console.str();
  SetGrid("precipitation", 0.05);
  ASSERT_EQ(RunIn(1, 1), 0) << console.str();
  // With input the stable step is d / Ks = 0.1 / 1e-5 = 10000 s: one substep of the hour.
  EXPECT_EQ(Find("number_of_substeps")[1][1], 1);
  // A minimum step larger than the step gives one substep as well.
  s.methodThree = "7200\nsubsteps.stat 0\nsubsteps.grd\n0\n";
  ASSERT_EQ(Make(s), 0);
  ASSERT_EQ(RunIn(1, 1), 0);
  EXPECT_EQ(Find("number_of_substeps")[2][4], 1);
  // Ks 1e-4 m/s: the stable step with input is 1000 s, four substeps of
  // the hour (three with a minimum of 1200 s); but the layers' drainable
  // water, (0.43 - theta(3.45 m) = 0.142) x 0.1 m, drains in 288 s, and the
  // fixed step's 13 substeps of that time, which the dynamic step takes as
  // well, decide. (0.05 mm of rain changes no layer enough to be solved
  // again in shorter substeps.)
  Reshape(uztest::kLayers, uztest::kThickness, 1e-4);
  for (const auto& [minimum, k] : {std::pair{"60", 13}, std::pair{"0", 13}, std::pair{"1200", 13}}) {
    SCOPED_TRACE(minimum);
    s.methodThree = std::string(minimum) + "\nsubsteps.stat 0\nsubsteps.grd\n0\n";
    ASSERT_EQ(Make(s), 0) << console.str();
    SetGrid("precipitation", 0.05);
    ASSERT_EQ(RunIn(1, 1), 0) << console.str();
    EXPECT_EQ(Find("number_of_substeps")[1][1], k);
  }
}

TEST_F(Step, DumpModeWritesNamedFilesAndEndsOnRequest) {
  Section s;
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
  ASSERT_EQ(Make(s), 0) << console.str();
  // A water content above saturation in layer 9 (below the layers the
  // iteration moves) of every cell fails the check.
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) uz->Theta()[r][c][9] = 0.6;
  uz->SetDumpOptions(1, 0, 1, 2);
  ASSERT_EQ(RunIn(7, 8), 0) << console.str();
  // Two files (the maximum), whichever cells the threads met first.
  std::vector<std::string> dumps;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    if (e.path().extension() == ".dmp") dumps.push_back(e.path().filename().string());
  ASSERT_EQ(dumps.size(), 2u) << console.str();
  int r0 = 0, c0 = 0;
  ASSERT_EQ(std::sscanf(dumps[0].c_str(), "theta(9)_dump_row_%d_col_%d_substep_1_708072020.dmp", &r0, &c0), 2)
      << dumps[0];
  // Level int, three rates, transpiration 0..1, 14 arrays of 11 layers, soil index,
  // one land-use code, four date ints, two doubles.
  EXPECT_EQ(std::filesystem::file_size(dir / dumps[0]), 4u + 24 + 16 + 14 * 11 * 8 + 4 + 8 + 16 + 16);
  EXPECT_EQ(fluvextest::CountOf(console.str(), "setting the misbehaving parameter back"), 2);
  EXPECT_EQ(fluvextest::CountOf(console.str(), "continuing from now on without that message..."), 1);
  // Repaired: no water content above saturation is left.
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) EXPECT_LE(uz->Theta()[r][c][9], uztest::kThetaSat + 0.001);

  for (const std::string& name : dumps) std::filesystem::remove(dir / name);
  ASSERT_EQ(Make(s), 0);
  uz->Theta()[2][2][9] = 0.5;
  uz->SetDumpOptions(1, 1, 0, 0);
  EXPECT_EQ(RunIn(7, 8), 199);
  EXPECT_TRUE(Said("command line option -closeAfterDump active!"));
  std::string listed;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) listed += e.path().filename().string() + " ";
  EXPECT_TRUE(fluvextest::FileExists(dir / "theta(9)_dump_row_2_col_2_substep_1_708072020.dmp")) << listed;
}

TEST(HeatSubsteps, WaterAndHeatSubstepsAreCoupled) {
  struct Case {
    int k, m, k2, m2, perWater;
  };
  // k water and m heat substeps before and after, heat substeps per water substep.
  const Case cases[] = {{3, 7, 3, 9, 3}, {3, 5, 5, 5, 1}, {1, 3, 1, 4, 4}, {1, 2, 2, 2, 1}, {4, 2, 4, 4, 1}};
  for (const Case& c : cases) {
    int k = c.k, m = c.m;
    EXPECT_EQ(unsatzonmodellklasse::CoupleHeatSubsteps(k, m), c.perWater) << c.k << " " << c.m;
    EXPECT_EQ(k, c.k2) << c.k << " " << c.m;
    EXPECT_EQ(m, c.m2) << c.k << " " << c.m;
  }
}

TEST_F(Step, HeatTransferMovesTheSoilTemperaturesTowardTheAir) {
  Section s;
  s.extra = uztest::HeatSection();
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
  Add("temperature", [](int, int) { return 15.0; });
  ASSERT_EQ(Make(s), 0) << console.str();
  // Start at 5 degrees everywhere, the lower boundary's value.
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c)
      for (int k = 0; k <= kLayers; ++k) uz->SoilTemperature()[r][c][k] = 5.0;
  for (int step = 0; step < 24; ++step) ASSERT_EQ(RunIn(step + 1, 1), 0) << console.str();
  const double* T = uz->SoilTemperature()[1][2];
  EXPECT_GT(T[1], 5.0);
  EXPECT_LE(T[1], 15.0 + 1e-9);
  // Warmer near the surface than below; nothing above the air or below the boundary.
  for (int k = 1; k < kLayers; ++k) {
    EXPECT_GE(T[k] + 1e-9, T[k + 1]) << k;
    EXPECT_GE(T[k + 1], 5.0 - 1e-9) << k;
  }
  EXPECT_EQ(uz->ThawDepth()[1][2], 0.0);  // no frost
}

TEST_F(Step, PreSpinUpGivesAFrozenProfileUnderAColdYear) {
  Section s;
  s.extra = uztest::HeatSection();  // n-factors 1.0 (freezing) and 0.8 (thawing)
  Add("temperature", [](int, int) { return -2.0; });
  ASSERT_EQ(Make(s), 0) << console.str();
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  // Two days of hourly steps at -2 degrees: 4 freezing degree days over a period of 2 days.
  const int code = CodeOf([&] {
    for (int day = 1; day <= 2; ++day)
      for (int hour = 1; hour <= 24; ++hour) uz->PreSpinUpStep(hour, day, 1, 2021);
    uz->SetPreSpinUpSoilTemperature();
  });
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(code, 0) << console.str();
  // TTOP = -1.0 * 4 / 2 = -2 in the reference layer 3 (ten 0.1 m layers reach 1 m: 10 / 3);
  // above it the line from the mean air (-2) to TTOP; below it warmer by the geothermal flux.
  const double* T = uz->SoilTemperature()[2][3];
  for (int k = 1; k <= 3; ++k) EXPECT_NEAR(T[k], -2.0, 1e-9) << k;
  for (int k = 4; k <= kLayers; ++k) EXPECT_GT(T[k], T[k - 1]) << k;
  EXPECT_LT(T[kLayers], -1.9);
  EXPECT_TRUE(fluvextest::FileExists(dir / "FreezingDegreeDays")) << console.str();
  EXPECT_EQ(uz->FindGrid("FreezingDegreeDays", false), 0);
}

TEST_F(Step, PreSpinUpNeedsTheHeatTransfer) {
  ASSERT_EQ(Make(Section()), 0) << console.str();
  EXPECT_EQ(CodeOf([&] { uz->PreSpinUpStep(1, 1, 1, 2021); }), 1040);
  EXPECT_TRUE(Said("heat transfer model not active in unsatzon_model. This is required for pre-SpinUp!"));
}

TEST_F(Step, MembersOfAHydrologicResponseUnitTakeTheMastersResults) {
  Section s;
  s.parameters = {"2 2", "1 1", "0.01 0.01", "2 2", "0.5 0.5", "0 0"};
  s.control = "1 2";  // a member cell
  SetGrid("pot_transpiration1", 0.1);
  auto rain = [&](int step) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) precipitation[r][c] = step < 4 ? 3.0 * r + c : 0.0;
  };
  // Without units every cell is solved: the masters' results of reference.
  ASSERT_EQ(Make(s), 0) << console.str();
  std::vector<double> alone;
  for (int step = 0; step < 6; ++step) {
    rain(step);
    ASSERT_EQ(RunIn(step + 1, 1), 0) << console.str();
  }
  for (const auto& [r, c] : {std::pair{1, 1}, std::pair{2, 4}})
    for (int k = 1; k <= kLayers; ++k) alone.push_back(uz->Theta()[r][c][k]);

  // Unit 1: master (1, 1), members (1, 2) and (2, 1); unit 2: master (2, 4),
  // member (1, 4); the cells (1, 3), (2, 2) and (2, 3) are units of their own.
  const int unit[kRows + 1][kCols + 1] = {{0}, {0, 1, 1, 3, 2}, {0, 1, 4, 5, 2}};
  std::vector<HRURecord> units(6);
  const std::pair<int, int> masters[6] = {{0, 0}, {1, 1}, {2, 4}, {1, 3}, {2, 2}, {2, 3}};
  for (int u = 1; u <= 5; ++u) {
    units[u].number = u;
    units[u].row = masters[u].first;
    units[u].column = masters[u].second;
  }
  uz.reset();  // frees the grid-list entries the grids below take
  Add("HydrologicResponseUnits", [&](int r, int c) { return unit[r][c] + 0.25; });
  Add("MasterHydrologicResponseUnits", [&](int r, int c) {
    const auto& m = masters[unit[r][c]];
    return m.first == r && m.second == c ? 1.0 : -9999.0;
  });
  args.object.hru = units.data();
  ASSERT_EQ(Make(s), 0) << console.str();
  // A member's own state does not matter: it is not solved.
  for (int k = 1; k <= kLayers; ++k) uz->Theta()[1][2][k] = 0.2;
  for (int step = 0; step < 6; ++step) {
    rain(step);
    ASSERT_EQ(RunIn(step + 1, 1), 0) << console.str();
  }
  // The masters are solved as without units.
  size_t i = 0;
  for (const auto& [r, c] : {std::pair{1, 1}, std::pair{2, 4}})
    for (int k = 1; k <= kLayers; ++k) EXPECT_EQ(uz->Theta()[r][c][k], alone[i++]) << r << " " << c << " " << k;
  // Each member holds its master's state and results, not those of its own rain.
  for (const auto& [r, c] : {std::pair{1, 2}, std::pair{2, 1}, std::pair{1, 4}}) {
    const auto& [mr, mc] = masters[unit[r][c]];
    for (int k = 1; k <= kLayers; ++k) {
      EXPECT_EQ(uz->Theta()[r][c][k], uz->Theta()[mr][mc][k]) << r << " " << c;
      EXPECT_EQ(uz->Hydraulic()[r][c][k], uz->Hydraulic()[mr][mc][k]) << r << " " << c;
    }
    for (const char* name : {"directflow", "interflow", "baseflow", "real_transpiration1", "total_infiltration",
                             "groundwater_distance", "groundwater_level", "SB_2_grid", "precipitation"})
      EXPECT_EQ(Find(name)[r][c], Find(name)[mr][mc]) << name << " " << r << " " << c;
  }
  EXPECT_NE(uz->Theta()[1][3][1], uz->Theta()[1][1][1]);
  // The control cell is a member: its per-layer files hold its master's transpiration.
  ASSERT_EQ(RunIn(7, 1), 0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const int code = CodeOf([&] {
    int error = 0;
    uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
    if (error != 0) throw error;
    uz->StartStep(7, 1, 7, 2020);
    uz->AddStep();
    uz->RouteSubbasinRunoff(7, 1, 7, 2020);
    uz->WriteStatFiles();
  });
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(code, 0) << console.str();
  std::istringstream etr(fluvextest::ReadFile(dir / "etr.txt"));
  std::string line, last;
  while (std::getline(etr, line))
    if (!line.empty()) last = line;
  std::istringstream values(last);
  double v, sum = 0;
  for (int k = 0; values >> v; ++k)
    if (k >= 5) sum += v;  // the layers after the date and the evaporation
  EXPECT_GT(sum, 0.0);
  EXPECT_NEAR(sum, Find("real_transpiration1")[1][1], 1e-5 * sum);
}

TEST_F(Step, AYearOfVariedForcingOnTheExampleSoilsKeepsTheWaterOfEveryCellAndTheBasin) {
  // The three soils of the example basin, one per column (the fourth column the first again).
  const char* blocks[3] = {
      "1 silt_loam method = MultipleHorizons {\n  layers = 3 4;\n  ksat = 1.25e-6 1.94e-7;  theta_sat = 0.45 0.43;  "
      "theta_res = 0.067 0.089;  ksat_topmodel = 5e-5;\n  alpha = 2.0 1.0;  Par_n = 1.41 1.23;  thickness = 0.1 0.3;  "
      "suction = 250;\n}\n",
      "2 loam method = MultipleHorizons {\n  layers = 3 4;\n  ksat = 2.89e-6 2.89e-6;  theta_sat = 0.43 0.43;  "
      "theta_res = 0.078 0.078;  ksat_topmodel = 1e-4;\n  alpha = 3.6 3.6;  Par_n = 1.56 1.56;  thickness = 0.1 0.2;  "
      "suction = 200;\n}\n",
      "3 sandy_loam method = MultipleHorizons {\n  layers = 3 4;\n  ksat = 1.23e-5 1.23e-5;  theta_sat = 0.41 0.41;  "
      "theta_res = 0.065 0.065;  ksat_topmodel = 2e-4;\n  alpha = 7.5 7.5;  Par_n = 1.89 1.89;  thickness = 0.1 0.3;  "
      "suction = 150;\n}\n"};
  soils = std::make_unique<soil_table_entry[]>(4);
  soils[0].code = 3;
  for (int k = 1; k <= 3; ++k) ParseSoilEntry(soils[k], diag, blocks[k - 1]);
  args.soilTable = soils.get();
  auto soilOf = [](int, int c) { return static_cast<double>((c - 1) % 3 + 1); };
  SetGrid("soil_types", 1.0);
  for (auto& e : list)
    if (e.shortname == "soil_types")
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) e.grid[r][c] = soilOf(r, c);
  // Ponding up to 5 mm and drains at 0.25 m in the second row.
  Add("max_ponding_storage", [](int, int) { return 0.005; });
  Add("drainage_depth", [](int r, int) { return r == 2 ? 0.25 : 0.0; });
  Add("drainage_distance", [](int, int) { return 20.0; });
  Section s;
  s.pond = "1";
  s.drainage = "1";
  s.parameters = {"2 2", "24 24", "0.5 0.5", "3 3", "0.02 0.02", "0 0"};  // baseflow on
  ASSERT_EQ(Make(s), 0) << console.str();
  SetGrid("vegetation_coverage_degree1", 0.8);
  SetGrid("root_depth1", 0.4);
  Grid transpiration = Find("pot_transpiration1");
  Grid evaporation = Find("potential_evaporation");
  auto storage = [&](int r, int c) {
    const soil_table_entry& e = soils[static_cast<int>(soilOf(r, c))];
    double w = 0;
    for (int k = 1; k <= e.layers; ++k) w += uz->Theta()[r][c][k] * e.thickness[k] * 1000.0;
    return w + Find("ponding_storage")[r][c];
  };
  // The drains' water leaves with the interflow ("drainage_flow" shows its part).
  const char* outputs[] = {"directflow", "interflow", "real_evaporation", "real_transpiration1", "baseflow"};
  double worst = 0, basinWorst = 0, rained = 0, drained = 0, ponded = 0;
  // Eight cells: one thread (more only wait for each other on a busy machine).
  omp_set_num_threads(1);
  for (int step = 0; step < 8760; ++step) {
    const int day = step / 24, hour = step % 24;
    // Showers every few days, a storm in summer, dry spells; evapotranspiration by season and hour.
    const double season = 0.5 - 0.5 * std::cos(2 * M_PI * day / 365.0);
    const double sun = hour >= 6 && hour <= 18 ? std::sin(M_PI * (hour - 6) / 12.0) : 0.0;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        double p = 0;
        if (day % 5 == 0 && hour < 6) p = 1.0 + 0.3 * c;
        if (day % 11 == 3 && hour < 2) p = 8.0 * r;
        if (day == 200 && hour < 5) p = 30.0;
        precipitation[r][c] = p;
        transpiration[r][c] = 0.3 * season * sun;
        evaporation[r][c] = 0.1 * season * sun;
        rained += p;
      }
    double before[kRows + 1][kCols + 1];
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) before[r][c] = storage(r, c);
    ASSERT_EQ(RunIn(hour + 1, day % 28 + 1), 0) << console.str();
    double basin = 0;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        double out = 0;
        for (const char* name : outputs) out += Find(name)[r][c];
        drained += Find("drainage_flow")[r][c];
        EXPECT_LE(Find("drainage_flow")[r][c], Find("interflow")[r][c] + 1e-15);
        ponded = std::max(ponded, Find("ponding_storage")[r][c]);
        const double residual = precipitation[r][c] - (storage(r, c) - before[r][c]) - out;
        worst = std::max(worst, std::fabs(residual));
        basin += residual;
        ASSERT_NEAR(residual, 0.0, 1e-6) << "step " << step << " cell " << r << " " << c;
      }
    basinWorst = std::max(basinWorst, std::fabs(basin / (kRows * kCols)));
  }
  EXPECT_LT(worst, 1e-6);
  EXPECT_LT(basinWorst, 1e-6);
  omp_set_num_threads(omp_get_num_procs());
  EXPECT_GT(rained, 0.0);
  EXPECT_GT(drained, 0.0);
  EXPECT_GT(ponded, 0.0);
}

TEST_F(Step, RainAboveTheTopsoilConductivitySettlesOnOneResult) {
  // The example's silt loam: 0.3 m of topsoil over a subsoil of a sixth of its
  // conductivity. Rain at and above the topsoil's conductivity saturates the
  // top layers. The iteration has to settle there (no line in the iteration
  // log, which a limit of 1000 iterations writes for a substep of more than
  // 100) on a result that depends smoothly on the start (row 2 starts as row
  // 1 with 1e-12 more water in layer 3) and leaves no layer above saturation.
  soils = std::make_unique<soil_table_entry[]>(2);
  soils[0].code = 1;
  ParseSoilEntry(soils[1], diag,
                 "1 silt_loam method = MultipleHorizons {\n  layers = 3 4;\n  ksat = 1.25e-6 1.94e-7;  "
                 "theta_sat = 0.45 0.43;  theta_res = 0.067 0.089;  ksat_topmodel = 5e-5;\n  alpha = 2.0 1.0;  "
                 "Par_n = 1.41 1.23;  thickness = 0.1 0.3;  suction = 250;\n}\n");
  args.soilTable = soils.get();
  Section s;
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};  // no baseflow
  s.extra = "[unsatzon_tuning]\nmax_iterations = 1000\n\n";
  ASSERT_EQ(Make(s), 0) << console.str();
  const int n = soils[1].layers;
  for (int c = 1; c <= kCols; ++c) {
    for (int k = 1; k <= n; ++k) uz->Theta()[2][c][k] = uz->Theta()[1][c][k];
    uz->Theta()[2][c][3] += 1e-12;
  }
  const double ks = 1.25e-6 * 3600 * 1000;  // 4.5 mm/h
  const double rain[kCols + 1] = {0, 1.0 * ks, 1.13 * ks, 1.5 * ks, 3.0 * ks};
  double wettest = 0, excess = 0;
  for (int step = 0; step < 24; ++step) {
    for (int c = 1; c <= kCols; ++c) precipitation[1][c] = precipitation[2][c] = step < 12 ? rain[c] : 0.0;
    ASSERT_EQ(RunIn(step + 1, 1), 0) << console.str();
    excess += Find("infiltration_excess")[1][4];
    for (int c = 1; c <= kCols; ++c) {
      EXPECT_NEAR(Find("total_infiltration")[2][c], Find("total_infiltration")[1][c], 1e-9) << step << " " << c;
      for (int k = 1; k <= n; ++k) {
        EXPECT_NEAR(uz->Theta()[2][c][k], uz->Theta()[1][c][k], 1e-9) << step << " " << c << " " << k;
        EXPECT_LE(uz->Theta()[1][c][k], soils[1].theta_sat[k] + 1e-9) << step << " " << c << " " << k;
      }
      if (step < 12) wettest = std::max(wettest, uz->Theta()[1][c][1]);
    }
  }
  // The top saturated and water ran off; no substep needed more than 100 iterations.
  EXPECT_NEAR(wettest, soils[1].theta_sat[1], 1e-6);
  EXPECT_GT(excess, 0.0);
  const std::string log = fluvextest::ReadFile(dir / "modell_0.log");
  const size_t unsettled = log.find("ziter");
  EXPECT_EQ(unsettled, std::string::npos) << log.substr(log.rfind('\n', unsettled) + 1, 600);
}

TEST_F(Step, SiltingUpRunoffIsSharedByTheSubSteps) {
  // 2.09 mm of direct runoff from the silting-up of the step, no rain: the
  // cells' direct flow of the step is those 2.09 mm whatever the sub-steps.
  for (int substeps : {1, 2, 4}) {
    subSteps = substeps;
    routed = false;
    Add("DirectRunoffSiltingUp", [](int, int) { return 2.09; });
    Section s;
    s.parameters = {"0 0", "1 1", "0 0", "2 2", "0 0", "0 0"};  // direct flow passes its storage at once
    ASSERT_EQ(Make(s), 0) << console.str();
    ASSERT_EQ(FullStep(1, 1), 0) << console.str();
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) EXPECT_NEAR(Find("directflow")[r][c], 2.09, 1e-12) << substeps;
    // The runoff of subbasin 1 (the cell of row 1, column 1).
    EXPECT_NEAR(uz->RunoffQg(1), 2.09, 1e-12) << substeps;
  }
}

TEST_F(Step, ABaseflowAboveTenMmAStepIsDumped) {
  // Without the groundwater model the baseflow is 30 (or 10) mm per step at
  // the surface, falling by exp(distance / 2 m) with the table 0.6 m deep
  // (ini_gw_level 2 in ten 0.1 m layers): 22 (or 7.4) mm in the step.
  for (const char* q0 : {"10 10", "30 30"}) {
    Section s;
    s.parameters = {"2 2", "1 1", "0 0", "2 2", q0, "0 0"};
    ASSERT_EQ(Make(s), 0) << console.str();
    uz->SetDumpOptions(1, 0, 0, 0);
    ASSERT_EQ(RunIn(7, 8), 0) << console.str();
    std::vector<std::string> dumps;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      if (e.path().extension() == ".dmp") dumps.push_back(e.path().filename().string());
    if (std::string(q0) == "10 10") {
      EXPECT_TRUE(dumps.empty()) << dumps.front();
    } else {
      ASSERT_EQ(dumps.size(), static_cast<size_t>(kRows * kCols));
      for (const std::string& d : dumps) EXPECT_EQ(d.rfind("dgw_dump_row_", 0), 0u) << d;
      for (const std::string& d : dumps) std::filesystem::remove(dir / d);
    }
  }
}

TEST_F(Step, GroundwaterPumpedForIrrigationLeavesTheSaturatedZone) {
  // Fields of rule 1 (water from the groundwater) in the first row, of rule
  // 2 (from the river) in the second; 0.5 mm a step is irrigated in each.
  // Each field of rule 1 loses the 0.5 mm from its column, or from its
  // baseflow where the column cannot give it; rule 2's fields lose nothing.
  for (auto& e : list)
    if (e.shortname == "zonegrid_soilmodel")
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) e.grid[r][c] = 1.0;
  Add("irrigation_codes", [](int r, int) { return r == 1 ? 1.0 : 2.0; });
  IrrigationTable rules[3];
  rules[0].code = 2;
  rules[1].code = 1;
  rules[1].origin = 1;
  rules[2].code = 2;
  rules[2].origin = 2;
  for (IrrigationTable& rule : rules) {
    rule.method = 3;
    rule.psi_dry = 3.45;
    rule.psi_wet = 0.5;
  }
  double storage[2][kRows + 1][kCols + 1], baseflow[2][kRows + 1][kCols + 1];
  double layer[2][kRows + 1][kCols + 1][kLayers + 1];  // mm per layer
  int level[2][kRows + 1][kCols + 1];
  for (int pumped : {0, 1}) {
    Section s;
    s.codes = "1";
    s.parameters = {"2", "1", "0", "2", "1", "0"};  // baseflow 1 mm per step at the surface
    ASSERT_EQ(Make(s, rules), 0) << console.str();
    routed = false;
    SetGrid("irrigation_amounts", pumped ? 0.5 : 0.0);
    ASSERT_EQ(FullStep(1, 1), 0) << console.str();
    const Grid b = Find("baseflow");
    ASSERT_NE(b, nullptr);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        storage[pumped][r][c] = Storage(r, c);
        baseflow[pumped][r][c] = b[r][c];
        level[pumped][r][c] = static_cast<int>(Find("groundwater_level")[r][c]);
        for (int k = 1; k <= kLayers; ++k) layer[pumped][r][c][k] = uz->Theta()[r][c][k] * uztest::kThickness * 1000.0;
      }
  }
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      const double lost = storage[0][r][c] - storage[1][r][c] + baseflow[0][r][c] - baseflow[1][r][c];
      EXPECT_NEAR(lost, r == 1 ? 0.5 : 0.0, 1e-9) << r << " " << c;
      // The pump empties the saturated zone: the water comes from the
      // table's layer and those below it (or the baseflow), not from the
      // unsaturated layers above, whose water stays what it is unpumped.
      const int g = level[0][r][c];
      ASSERT_GE(g, 2) << r << " " << c;
      double below = 0;
      for (int k = 1; k <= kLayers; ++k) {
        const double taken = layer[0][r][c][k] - layer[1][r][c][k];
        if (k >= g) {
          below += taken;
        } else {
          EXPECT_NEAR(taken, 0.0, 0.01) << r << " " << c << " layer " << k;
        }
      }
      EXPECT_NEAR(below + baseflow[0][r][c] - baseflow[1][r][c], r == 1 ? 0.5 : 0.0, 0.01) << r << " " << c;
    }
  EXPECT_GT(storage[0][1][1] - storage[1][1][1], 0.4) << "the saturated column gives the water itself";
}

TEST_F(Step, UnderTheLakeModelALakeHoldingOpenWaterExchangesNoRiverWater) {
  // A river bed 0.3 m deep in every cell; the lake cell (row 1, column 1)
  // is saturated by the lake set-up, its table at the surface above the
  // bed: it would drain into the river. Rain ponds on it in the first step;
  // from the second on its open water closes the exchange.
  Section s;
  s.interaction = "1";
  s.pond = "1";
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
  s.extra = "[lake_model]\n1\tflow control parameter for\n1\tinitialization method for\n\n";
  Add("max_ponding_storage", [](int, int) { return 0.05; });
  Add("lake_codes", [](int r, int c) { return r == 1 && c == 1 ? 1.0 : -9999.0; });
  Add("river_depth", [](int, int) { return 0.3; });
  Add("river_width", [](int, int) { return 5.0; });
  Add("river_links", [](int, int) { return 0.0; });
  Add("kolmation", [](int, int) { return 1e-6; });
  ASSERT_EQ(Make(s), 0) << console.str();
  uz->SetGroundwaterCoupling(1);
  int error = -1;
  uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
  ASSERT_EQ(error, 0) << console.str();
  SetGrid("precipitation", 5.0);
  ASSERT_EQ(RunIn(1, 1), 0) << console.str();
  EXPECT_GT(Find("river_exfiltration")[1][1], 0.0);
  EXPECT_GE(Find("ponding_storage")[1][1], 1.0);
  ASSERT_EQ(RunIn(2, 1), 0) << console.str();
  EXPECT_EQ(Find("river_exfiltration")[1][1], 0.0);
}

TEST_F(Step, TheNFactorSeriesOfTheLandUseSetsTheSurfaceTemperature) {
  // Air at -20 degrees over soil at 5: a land use whose n-factor series is
  // 0 all year (snow insulating the ground) keeps the surface at 0 degrees,
  // although its value for freezing air is 1.
  Section s;
  s.extra = uztest::HeatSection();
  s.parameters = {"2 2", "1 1", "0 0", "2 2", "0 0", "0 0"};
  Add("temperature", [](int, int) { return -20.0; });
  double top[2];
  for (int series : {0, 1}) {
    auto landuse = std::make_unique<landuse_table_entry[]>(2);
    landuse[0].code = 1;
    ParseLanduseEntry(landuse[1], diag,
                      std::string("1 grass method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 3.45;\n"
                                  " JulDays = 1 366; Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05;\n"
                                  " VCF = 0.8 0.8; RootDepth = 0.3 0.3; AltDep = 0 0; nf_freezing = 1;\n") +
                          (series ? " n-factor = 0 0;\n" : "") + "}\n",
                      "VariableDayCount");
    args.landuseTable = landuse.get();
    ASSERT_EQ(Make(s), 0) << console.str();
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int k = 0; k <= kLayers; ++k) uz->SoilTemperature()[r][c][k] = 5.0;
    for (int step = 0; step < 12; ++step) ASSERT_EQ(RunIn(step + 1, 1), 0) << console.str();
    top[series] = uz->SoilTemperature()[1][1][1];
    uz.reset();
    args.landuseTable = nullptr;
  }
  EXPECT_LT(top[0], -1.0);
  EXPECT_GT(top[1], 0.0);
}

}  // namespace
