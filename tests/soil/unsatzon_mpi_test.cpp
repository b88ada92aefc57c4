// The unsaturated zone on instances that each own one row of the basin:
// own cells only, the control cell's files on its owner, the start water
// reduced to instance 0, and the step on own cells.
#include "tests/soil/uzworld.h"

namespace {

using uztest::kCols;
using uztest::kLayers;
using uztest::Section;

class Instances : public uztest::World {
 protected:
  Instances() {
    rank = fluvextest::MpiRank();
    size = fluvextest::MpiSize();
    if (size == 2) {
      args.firstRow = args.lastRow = rank + 1;
      Add("MPIRegions", [](int r, int) { return r - 1.0; });
    }
    Add("precipitation", [](int, int) { return 3.0; });
  }
  int rank = 0;
  int size = 1;
};

TEST_F(Instances, EachInstanceSetsUpItsOwnRows) {
  if (size != 2) GTEST_SKIP() << "two instances";
  Section s;
  s.control = "2 3";
  ASSERT_EQ(Make(s), 0) << console.str();
  const int own = rank + 1;
  // The stacks hold the instance's row.
  EXPECT_NEAR(uz->Theta()[own][2][kLayers], uztest::kThetaSat, 1e-12);
  EXPECT_EQ(fluvextest::FileExists(dir / "hhyd.txt"), rank == 1);
  const std::string log = fluvextest::ReadFile(dir / ("modell_" + std::to_string(rank) + ".log"));
  EXPECT_EQ(log.find("soil water content (for control point r=2 c=3)") != std::string::npos, rank == 1);
  double water = 0;
  for (int k = 1; k <= kLayers; ++k) water += uz->Theta()[own][1][k] * uztest::kThickness;
  // All eight cells hold the same profile: the reduced mean is that of one cell.
  if (rank == 0) {
    const std::string text = "mean soil water content for all cells at model-start: ";
    const size_t at = log.find(text);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NEAR(std::stod(log.substr(at + text.size())), water, 1e-6);
  }

  // A step solves the own row only and balances its water.
  std::vector<double> before(kCols + 1);
  for (int c = 1; c <= kCols; ++c) {
    before[c] = 0;
    for (int k = 1; k <= kLayers; ++k) before[c] += uz->Theta()[own][c][k] * uztest::kThickness * 1000;
  }
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  uz->run(1, 1, 7, 2020);
  ASSERT_EQ(chdir(cwd), 0);
  auto grid = [&](const char* name) { return list[uz->FindGrid(name, true)].grid; };
  for (int c = 1; c <= kCols; ++c) {
    double after = 0;
    for (int k = 1; k <= kLayers; ++k) after += uz->Theta()[own][c][k] * uztest::kThickness * 1000;
    double out = 0;
    for (const char* name : {"directflow", "interflow", "real_evaporation", "real_transpiration1", "baseflow"})
      out += grid(name)[own][c];
    EXPECT_NEAR(3.0 - (after - before[c]) - out, 0.0, 1e-6) << c;
  }
}

TEST_F(Instances, SubbasinRunoffDoesNotDependOnTheInstancesFromTheFirstStepOn) {
  // One subbasin; columns 1 ... 4 in flow-time zones 1 ... 4; 1 mm direct flow in every cell and step.
  for (auto& e : list)
    if (e.shortname == "zonegrid_soilmodel")
      for (int r = 1; r <= uztest::kRows; ++r)
        for (int c = 1; c <= kCols; ++c) e.grid[r][c] = 1;
  Add("flow_times", [](int, int c) { return (c - 0.5) * 3600.0; });
  Section s;
  s.codes = "1";
  s.parameters = {"0", "0", "0.1", "4", "0", "0"};
  ASSERT_EQ(Make(s), 0) << console.str();
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  int error = 0;
  uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
  ASSERT_EQ(error, 0);
  const int first = size == 2 ? rank + 1 : 1, last = size == 2 ? rank + 1 : uztest::kRows;
  for (int k = 1; k <= 6; ++k) {
    uz->StartStep(k, 1, 7, 2020);
    for (int r = first; r <= last; ++r)
      for (int c = 1; c <= kCols; ++c) uz->Direct()[r][c] = 1.0, uz->Inter()[r][c] = 0.0;
    uz->AddStep();
    uz->RouteSubbasinRunoff(k, 1, 7, 2020);
    // The water of the zones up to k has arrived, divided by the weight of all eight cells.
    if (rank == 0) {
      EXPECT_NEAR(uz->RunoffQg(1), std::min(k, 4) / 4.0, 1e-12) << k;
    }
  }
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(Instances, RoutedTracerConcentrationDoesNotDependOnTheInstances) {
  // One subbasin; row r gives r mm of direct flow at a concentration of 10 r.
  for (auto& e : list)
    if (e.shortname == "zonegrid_soilmodel")
      for (int r = 1; r <= uztest::kRows; ++r)
        for (int c = 1; c <= kCols; ++c) e.grid[r][c] = 1;
  Add("concflux_tracer_1_input", [](int, int) { return 0.0; });
  Section s;
  s.codes = "1";
  s.parameters = {"0", "0", "0.1", "4", "0", "0"};  // no storage, no baseflow
  ASSERT_EQ(Make(s), 0) << console.str();
  TracerRecord tracers[2];
  tracers[1].name = "nit";
  tracers[1].max_conc = 100;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  int error = 0;
  uz->InitTracerGrids(&error, 1, tracers, nullptr, 0);
  ASSERT_EQ(error, 0) << console.str();
  Grid conc = list[uz->FindGrid("_CONC_QD_1_", false)].grid;
  const int first = size == 2 ? rank + 1 : 1, last = size == 2 ? rank + 1 : uztest::kRows;
  for (int k = 1; k <= 3; ++k) {
    uz->StartStep(k, 1, 7, 2020);
    for (int r = first; r <= last; ++r)
      for (int c = 1; c <= kCols; ++c) {
        uz->Direct()[r][c] = r;
        uz->Inter()[r][c] = 0.0;
        uz->Base()[r][c] = 0.0;
        conc[r][c] = 10.0 * r;
      }
    uz->AddStep();
    uz->RouteSubbasinRunoff(k, 1, 7, 2020);
    // (4 x 1 x 10 + 4 x 2 x 20) / (4 x 1 + 4 x 2) = 200 / 12.
    if (rank == 0) {
      EXPECT_NEAR(uz->Runoff(1, 1), 200.0 / 12.0, 1e-12) << k;
    }
  }
  ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
