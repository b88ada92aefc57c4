// The unsaturated zone in the fluvex program: a year of hourly steps on a
// small basin of two subbasins with constant rain, the runoff of every
// subbasin in its statistics files and the water of the basin kept.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "tests/soil/soilbasin.h"
#include "tests/support/testutil.h"

namespace {

using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::TempDir;
using fluvextest::WriteFile;
using soiltest::SoilBasin;

TEST(SoilRun, AYearOfRainLeavesTheSubbasinsAsRunoffOrStaysInTheSoil) {
  SoilBasin basin("soilrun");
  // Six cells: one thread (more only wait for each other).
  setenv("OMP_NUM_THREADS", "1", 1);
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);

  // (The runoff is the sum of its parts and not negative by its making; the
  // year's balance below is what its water has to meet.)
  const auto qg = basin.Stat("qg.stat"), qi = basin.Stat("qi.stat");
  ASSERT_EQ(qg.size(), 8760u) << ReadFile(basin.dir / "out/qg.stat").substr(0, 600);
  ASSERT_EQ(qi.size(), qg.size());
  double runoff = 0, interflow = 0;  // basin means, mm
  for (size_t k = 0; k < qg.size(); ++k) {
    ASSERT_EQ(qg[k].size(), 7u);  // date, two subbasins, the basin mean
    runoff += qg[k][6];
    interflow += qi[k][6];
  }
  EXPECT_GT(interflow, 0.1);  // the slopes of the basin give interflow
  // The rain of the year: runoff plus the change of the soil water (m^3/m^2 in the log).
  const double start = basin.Logged("mean soil water content for all cells at model-start: ");
  const double end = basin.Logged("mean soil water content for all cells at model-end: ");
  EXPECT_NEAR(0.3 * 8760, runoff + 1000 * (end - start), 0.05) << runoff << " " << start << " " << end;
  // The state section opens the state file of a run without discharge
  // routing, with the layout of the run (1 instance, 1 sub-step).
  const std::string state = ReadFile(basin.dir / "out/storage.ftz_0");
  EXPECT_EQ(state.rfind("[unsatzon_model]\n1 1 (instances and sub-steps per step of the run; the zone records are the "
                        "sums over the instances)\n2 (number of subasins)\n1\t2\t(code)\n",
                        0),
            0u)
      << state;
}

}  // namespace

namespace {

// Rain that changes from hour to hour: showers, drizzle and dry spells.
double VariedRain(int k) {
  if (k % 97 < 4) return 4.0 + (k % 5);
  if (k % 13 < 3) return 0.4;
  return 0.0;
}

// Subbasin (1 or 2) of the basin's cells, [row][column] of the 4 x 5 grid.
int Zone(int r, int c) {
  static const int zones[5][6] = {{0}, {0}, {0, 0, 1, 1, 2, 0}, {0, 0, 1, 2, 2, 0}, {0}};
  return zones[r][c];
}

TEST(SoilRun, StatisticsAreTheAreaWeightedMeansOfTheWrittenGrids) {
  SoilBasin basin("soilstat", 3);
  setenv("OMP_NUM_THREADS", "1", 1);
  basin.rain = VariedRain;
  basin.transpiration = 0.1;
  // Relative cell areas (mean 1) and glacier shares of the six cells.
  const double area[5][6] = {{0}, {0}, {0, 0, 0.8, 1.1, 1.3, 0}, {0, 0, 0.9, 1.2, 0.7, 0}, {0}};
  const double ice[5][6] = {{0}, {0}, {0, 0, 0, 0.25, 1, 0}, {0, 0, 0, 0, 0.5, 0}, {0}};
  basin.WriteGrid("area.asc", "-9999 0.8 1.1 1.3 -9999\n-9999 0.9 1.2 0.7 -9999\n");
  basin.WriteGrid("ice.asc", "-9999 0 0.25 1 -9999\n-9999 0 0 0.5 -9999\n");
  basin.extraGrids = {{"area.asc", "RelCellArea"}, {"ice.asc", "ice_firn"}};
  // Statistics line -> its grid (output line) written at the end of the run.
  struct Pair {
    int statistic;
    const char* stat;
    int output;
    const char* grid;
  };
  const Pair pairs[] = {{1, "gwstand.stat", 7, "gwstand.asc"},
                        {2, "gwn.stat", 9, "gwn.asc"},
                        {3, "sb1.stat", 0, "sb1.asc"},
                        {4, "sb2.stat", 1, "sb2.asc"},
                        {5, "root.stat", 2, "root.asc"}};
  for (const Pair& p : pairs) {
    basin.statCodes[p.statistic] = 2001;
    basin.outputs[p.output] = {p.grid, 3};
  }
  basin.Write();
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);

  for (const Pair& p : pairs) {
    SCOPED_TRACE(p.stat);
    const auto lines = basin.Stat(p.stat);
    ASSERT_EQ(lines.size(), 72u);
    const auto grid = basin.Grid(p.grid);
    // The unglacierized share carries the cell's value, the glacierized share 0.
    double sum[3] = {0, 0, 0}, weight[3] = {0, 0, 0};
    for (int row = 2; row <= 3; ++row)
      for (int c = 2; c <= 4; ++c) {
        const int s = Zone(row, c);
        const double v = grid[row][c] * area[row][c] * (1 - ice[row][c]);
        sum[s] += v;
        sum[0] += v;
        weight[s] += area[row][c];
        weight[0] += area[row][c];
      }
    const std::vector<double>& last = lines.back();
    ASSERT_EQ(last.size(), 7u);
    for (int s : {1, 2}) EXPECT_NEAR(last[3 + s], sum[s] / weight[s], 2e-5 + 1e-6 * std::fabs(last[3 + s])) << s;
    EXPECT_NEAR(last[6], sum[0] / weight[0], 2e-5 + 1e-6 * std::fabs(last[6]));
  }
  // A soil-free share (the glacier) counts with 0; so the means are not those of the grid alone.
  EXPECT_GT(basin.Grid("sb2.asc")[2][3] * 0.75, 1.0);

  // The end-of-run mean soil water: the water of the unglacierized shares
  // over their area plus the glacier count, and the saturated profile
  // (3 x 0.1 m at 0.45 and 4 x 0.3 m at 0.40) under the glacier shares; for
  // all cells the mean of the whole columns weighted by their areas.
  const auto sb2 = basin.Grid("sb2.asc");
  double A = 0, NA = 0, B = 0, NB = 0, all = 0, cells = 0;
  for (int row = 2; row <= 3; ++row)
    for (int c = 2; c <= 4; ++c) {
      const double g = ice[row][c], w = area[row][c];
      const double free = sb2[row][c] / 1000.0 * (1 - g), glacier = (3 * 0.1 * 0.45 + 4 * 0.3 * 0.40) * g;
      A += free;
      NA += w * (1 - g) + g;
      B += glacier;
      NB += w * g + (1 - g);
      all += w * (free + glacier);
      cells += w;
    }
  const double unglacierized =
      basin.Logged("mean soil water content for unglacierized or only partly unglacierized cells at model-end: ");
  const double glacierized =
      basin.Logged("mean soil water content for partly or completely glacierized cells at model-end: ");
  EXPECT_NEAR(unglacierized, A / NA, 2e-6);
  EXPECT_NEAR(glacierized, B / NB, 2e-6);
  EXPECT_NEAR(basin.Logged("mean soil water content for all cells at model-end: "), all / cells, 2e-6);
  // Not the sum of the two partial means.
  EXPECT_GT(std::fabs(all / cells - (A / NA + B / NB)), 1e-3);
}

TEST(SoilRun, AWarmStartFromTheStateOfTheFirstHalfEqualsOneRun) {
  SoilBasin basin("soilwarm", 6);
  setenv("OMP_NUM_THREADS", "1", 1);
  basin.rain = VariedRain;
  basin.transpiration = 0.05;
  basin.kelsqd = "5 5";
  basin.kelsqi = "48 48";
  // Flow times (s) that put the cells of each subbasin into one to three zones.
  basin.WriteGrid("flow.asc", "-9999 0 3600 7200 -9999\n-9999 5400 10000 1800 -9999\n");
  basin.extraGrids = {{"flow.asc", "flow_times"}};
  // The state grids and stacks, written at the end of a run in double precision.
  basin.outputKeys = "WriteAsciiGrids = 0\nWriteDoubleGrids = 1\n";
  const std::pair<int, const char*> state[] = {{3, "theta.stk"},      {4, "hh.stk"},       {5, "hgeo.stk"},
                                               {7, "gwst.dgrd"},      {8, "gwtheta.dgrd"}, {13, "gwlevel.dgrd"},
                                               {18, "baseflow.dgrd"}, {1, "sb2.dgrd"}};
  for (const auto& [line, name] : state) basin.outputs[line] = {name, 3};
  for (const char* d : {"whole", "first", "second"}) std::filesystem::create_directories(basin.dir / d);
  auto run = [&]() {
    basin.Write();
    return RunFluvex("control.txt", basin.dir.path());
  };
  // Six days in one run.
  basin.outputDir = "whole/";
  auto r = run();
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
  // Three days, then three days from the state they left.
  basin.days = 3;
  basin.outputDir = "first/";
  r = run();
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
  // The state files go where the run reads its input.
  for (const auto& [line, name] : state)
    std::filesystem::copy_file(basin.dir / ("first/" + std::string(name)), basin.dir / name);
  std::filesystem::copy_file(basin.dir / "first/storage.ftz_0", basin.dir / "storage.ftz_0");
  basin.firstDay = 4;
  basin.readState = "1";
  basin.outputDir = "second/";
  r = run();
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);

  for (const char* stat : {"qd.stat", "qi.stat", "qb.stat", "qg.stat"}) {
    SCOPED_TRACE(stat);
    basin.outputDir = "whole/";
    const auto whole = basin.Stat(stat);
    basin.outputDir = "second/";
    const auto second = basin.Stat(stat);
    ASSERT_EQ(whole.size(), 144u);
    ASSERT_EQ(second.size(), 72u);
    for (size_t k = 0; k < 72; ++k)
      for (size_t col = 0; col < whole[k + 72].size(); ++col)
        ASSERT_NEAR(second[k][col], whole[k + 72][col], 1e-5 + 1e-6 * std::fabs(whole[k + 72][col]))
            << "step " << k + 73 << " column " << col;
  }
  // The runoff of the second half does not vanish: the storages carried water over.
  EXPECT_GT(basin.Stat("qi.stat").front()[6], 0.0);
  // The soil water at the end of both.
  const std::string a = ReadFile(basin.dir / "whole/sb2.dgrd"), b = ReadFile(basin.dir / "second/sb2.dgrd");
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
  const std::string wholeState = ReadFile(basin.dir / "whole/storage.ftz_0");
  const std::string secondState = ReadFile(basin.dir / "second/storage.ftz_0");
  EXPECT_FALSE(wholeState.empty());
  EXPECT_EQ(fluvextest::CountOf(wholeState, "\n"), fluvextest::CountOf(secondState, "\n"));

  // A storage constant changed between the runs does not match the state file.
  basin.kelsqd = "6 5";
  basin.outputDir = "second/";
  r = run();
  EXPECT_EQ(r.exitCode, 71);
  EXPECT_NE(r.output.find("error in storage file content reading m:"), std::string::npos)
      << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
}

TEST(SoilRun, ControlPointFilesHoldOneRowPerStepWithTheLayersOfTheCell) {
  SoilBasin basin("soilpoint", 2);
  setenv("OMP_NUM_THREADS", "1", 1);
  basin.rain = VariedRain;
  basin.transpiration = 0.1;  // roots down to 0.3 m: the three upper layers
  basin.control = "2 3";
  basin.Write();
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
  const int n = 7;  // 3 layers of 0.1 m, 4 of 0.3 m
  const double d[n + 1] = {0, 0.1, 0.1, 0.1, 0.3, 0.3, 0.3, 0.3};
  const auto theta = basin.Table("out/theta.txt", 1), qbottom = basin.Table("out/qbottom.txt", 1),
             hhyd = basin.Table("out/hhyd.txt", 1), other = basin.Table("out/other.txt", 1),
             etr = basin.Table("out/etr.txt", 1), inter = basin.Table("out/interflow.txt", 1);
  // One row per step: the date and the columns of the file.
  const std::pair<const std::vector<std::vector<double>>*, size_t> files[] = {
      {&theta, 4 + n}, {&qbottom, 4 + n}, {&hhyd, 4 + n}, {&other, 4 + 24}, {&etr, 4 + n + 1}, {&inter, 4 + n}};
  for (const auto& [rows, width] : files) {
    ASSERT_EQ(rows->size(), 48u);
    for (size_t k = 0; k < 48; ++k) {
      ASSERT_EQ((*rows)[k].size(), width) << k;
      EXPECT_EQ((*rows)[k][3], static_cast<double>(k % 24 + 1));
    }
  }
  // Other data: QD, QI, DELTAGW/QB, QINF, GWIN, GWEX, GWN, UPRISE, PERCOL, MACR, ...
  auto water = [&](size_t k, int layers) {
    double w = 0;
    for (int i = 1; i <= layers; ++i) w += theta[k][3 + i] * d[i] * 1000.0;
    return w;
  };
  double transpired = 0, interflow = 0;
  for (size_t k = 1; k < 48; ++k) {
    const std::vector<double>& o = other[k];
    ASSERT_EQ(o[4 + 9], 0.0) << "no macropore water in this soil";
    double layerInterflow = 0, top = 0;
    for (int i = 1; i <= n; ++i) layerInterflow += inter[k][3 + i];
    EXPECT_NEAR(layerInterflow, o[4 + 1], 1e-5 + 1e-5 * o[4 + 1]) << k;
    // The three upper layers: infiltration in, the flow across the bottom of
    // layer 3 (positive downward), their interflow and the uptake of their roots out.
    for (int i = 1; i <= 3; ++i) top += inter[k][3 + i] + etr[k][4 + i];
    for (int i = 4; i <= n; ++i) EXPECT_EQ(etr[k][4 + i], 0.0) << k << " " << i;
    EXPECT_NEAR(water(k, 3) - water(k - 1, 3), o[4 + 3] - qbottom[k][3 + 3] - top, 2e-3) << k;
    // The whole column: baseflow leaves it as well.
    double all = etr[k][4];
    for (int i = 1; i <= n; ++i) all += etr[k][4 + i];
    EXPECT_NEAR(water(k, n) - water(k - 1, n), o[4 + 3] - o[4 + 1] - o[4 + 2] - all, 5e-3) << k;
    transpired += all;
    interflow += layerInterflow;
  }
  EXPECT_GT(transpired, 1.0);
  EXPECT_GT(interflow, 0.0);
}

TEST(SoilRun, ResultsDoNotDependOnThreadsOrInstances) {
  SoilBasin basin("soilinstances", 2, 12);
  basin.rain = VariedRain;
  basin.transpiration = 0.05;
  basin.kelsqd = "5 5";
  basin.kelsqi = "48 48";
  basin.WriteGrid("flow.asc", "-9999 0 3600 7200 -9999\n-9999 5400 10000 1800 -9999\n");
  basin.extraGrids = {{"flow.asc", "flow_times"}};
  basin.outputKeys = "WriteAsciiGrids = 0\nWriteDoubleGrids = 1\n";
  basin.outputs[1] = {"sb2.dgrd", 3};
  basin.outputs[3] = {"theta.stk", 3};
  basin.statCodes[4] = 2001;
  struct Run {
    const char* dir;
    int instances;
    const char* threads;
  };
  const Run runs[] = {{"one/", 0, "1"}, {"eight/", 0, "8"}, {"two/", 2, "1"}, {"four/", 4, "1"}};
  for (const Run& run : runs) {
    std::filesystem::create_directories(basin.dir / run.dir);
    basin.outputDir = run.dir;
    basin.Write();
    setenv("OMP_NUM_THREADS", run.threads, 1);
    const auto r = RunFluvex("control.txt", basin.dir.path(), run.instances);
    ASSERT_EQ(r.exitCode, 0) << run.dir << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
  }
  // Cell results are byte-identical; so are all files on 1 and 8 threads.
  for (const char* file : {"sb2.dgrd", "theta.stk", "qd.stat", "qi.stat", "qb.stat", "qg.stat", "sb2.stat"}) {
    const std::string one = ReadFile(basin.dir / ("one/" + std::string(file)));
    ASSERT_FALSE(one.empty()) << file;
    const bool cells = std::string(file).find(".stat") == std::string::npos;
    for (const Run& run : runs)
      if (cells || run.instances == 0) {
        EXPECT_EQ(ReadFile(basin.dir / (run.dir + std::string(file))), one) << file << " " << run.dir;
      }
  }
  // Subbasin sums cross the instances: equal to 1e-9 relative, printed to 5 decimals.
  for (const char* file : {"qd.stat", "qi.stat", "qb.stat", "qg.stat", "sb2.stat"}) {
    basin.outputDir = "one/";
    const auto one = basin.Stat(file);
    ASSERT_EQ(one.size(), 48u) << file;
    for (const Run& run : runs) {
      basin.outputDir = run.dir;
      const auto other = basin.Stat(file);
      ASSERT_EQ(other.size(), one.size()) << file << " " << run.dir;
      for (size_t k = 0; k < one.size(); ++k) {
        ASSERT_EQ(other[k].size(), one[k].size()) << file << " " << run.dir << " " << k;
        for (size_t col = 0; col < one[k].size(); ++col)
          EXPECT_NEAR(other[k][col], one[k][col], 1e-9 * std::fabs(one[k][col]) + 1.01e-5)
              << file << " " << run.dir << " step " << k + 1 << " column " << col;
      }
    }
  }
  // Runoff reaches the outlets from the first step on.
  basin.outputDir = "four/";
  EXPECT_GT(basin.Stat("qg.stat").front()[6], 0.0);
}

}  // namespace
