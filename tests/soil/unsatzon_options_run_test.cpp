// The unsaturated zone in the fluvex program under its options: sub-steps,
// groundwater recharge, frozen soil and the temperature pre-SpinUp, lakes
// with macropores, a sealed soil, the start of the water table, drains, and
// the baseflow exchanged with the groundwater model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/soil/soilbasin.h"
#include "tests/support/modeloutput.h"
#include "tests/support/testutil.h"

namespace {

using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::WriteFile;
using soiltest::SoilBasin;

// Rain that changes from hour to hour: showers, drizzle and dry spells.
double VariedRain(int k) {
  if (k % 97 < 4) return 4.0 + (k % 5);
  if (k % 13 < 3) return 0.4;
  return 0.0;
}

std::string Tail(const std::string& s) {
  return s.substr(s.size() > 6000 ? s.size() - 6000 : 0);
}

// Runs the basin on one thread (six cells: more only wait for each other).
::testing::AssertionResult RunBasin(SoilBasin& basin, int instances = 0) {
  basin.Write();
  setenv("OMP_NUM_THREADS", "1", 1);
  const auto r = RunFluvex("control.txt", basin.dir.path(), instances);
  if (r.exitCode != 0) return ::testing::AssertionFailure() << "exit code " << r.exitCode << "\n" << Tail(r.output);
  return ::testing::AssertionSuccess();
}

// Sum of a column of a statistics file over its lines from first on (the
// basin mean is the last column, 6).
double StatSum(const SoilBasin& basin, const std::string& file, size_t first = 0, size_t column = 6) {
  const auto rows = basin.Stat(file);
  double sum = 0;
  for (size_t k = first; k < rows.size(); ++k) sum += rows[k].at(column);
  return sum;
}

// A grid the run wrote into its output directory (any format), [row][col] of the 4 x 5 grid.
fluvextest::GridFile Written(const SoilBasin& basin, const std::string& file) {
  return fluvextest::ReadGridFile((basin.dir / (basin.outputDir + file)));
}

// The control cell (2, 3) and double grids of the run sums of direct flow,
// interflow, baseflow and the water the roots and the soil's evaporation take.
void WriteControlCellSums(SoilBasin& basin) {
  basin.control = "2 3";
  basin.outputKeys = "WriteAsciiGrids = 0\nWriteDoubleGrids = 1\n";
  basin.outputs[16] = {"qd.dgrd", 10};
  basin.outputs[17] = {"qi.dgrd", 10};
  basin.outputs[18] = {"qb.dgrd", 10};
  basin.writeCodes = {{"real_transpiration1", 10}, {"real_evaporation", 10}};
}

// The control cell's soil water at the start and the end of the run, and the
// run sums of what left it (direct flow, interflow, baseflow, transpiration,
// soil evaporation), mm.
struct ControlCellWater {
  double start = 0, end = 0, out = 0;
};
ControlCellWater ControlCell(const SoilBasin& basin) {
  ControlCellWater w;
  w.start = basin.Logged("soil water content (for control point r=2 c=3) at model-start: ");
  w.end = basin.Logged("soil water content (control point r=2 c=3) at model-end: ");
  for (const char* sum : {"qd.sum", "qi.sum", "qb.sum", "real_transpiration1.sum", "real_evaporation.sum"}) {
    const fluvextest::GridFile g = Written(basin, sum);
    EXPECT_EQ(g.ncols, 5) << sum;
    w.out += g.ncols == 5 ? g.at(2, 3) : NAN;
  }
  return w;
}

// The cells of the basin: rows 2 and 3, columns 2 to 4.
template <typename F>
void ForEachCell(F f) {
  for (int r = 2; r <= 3; ++r)
    for (int c = 2; c <= 4; ++c) f(r, c);
}

// The sub-step table: each case runs on 1, 2 and 4 sub-steps of three days
// of varied rain. The flux grids hold the whole step: the control cell keeps
// its rain but for what the grids say left it, and the routed direct flow and
// interflow are the grids' (no flow times, no storage). The case's figure (a
// basin sum over the run) keeps within its tolerance of that of 4 sub-steps.
// A case whose figure still depends on the sub-steps more names the open
// issue that owns it, and fails once it keeps within its tolerance.
TEST(SoilOptionsRun, SubStepsGiveTheResultsOfOneStep) {
  struct SubStepCase {
    const char* name;
    std::function<void(SoilBasin&)> set;
    std::function<double(const SoilBasin&)> figure;
    double tolerance;  // relative
    int open;          // the issue whose fault the case shows, 0 for none
  };
  auto stat = [](const char* file) { return [file](const SoilBasin& b) { return StatSum(b, file); }; };
  auto gridSum = [](const char* file) {
    return [file](const SoilBasin& b) {
      double sum = 0;
      const fluvextest::GridFile g = Written(b, file);
      ForEachCell([&](int r, int c) { sum += g.ncols == 5 ? g.at(r, c) / 6 : NAN; });
      return sum;
    };
  };
  // Gravel (1e-3 m/s, layers of 2 and 5 cm), in hourly and daily steps.
  static const auto fastSoil = [](SoilBasin& b) {
    b.ksat = "1e-3 1e-3";
    b.thetaSat = "0.35 0.35";
    b.thetaRes = "0 0";
    b.alpha = "14.5 14.5";
    b.parN = "2.68 2.68";
    b.thickness = "0.02 0.05";
  };
  const SubStepCase cases[] = {
      // The water that crosses the table hardly depends on the sub-steps,
      // as the water that moves does not.
      {"recharge", [](SoilBasin&) {}, stat("gwn.stat"), 0.03, 0},
      // 5 mm standing on the surface at the start, without the surface
      // routing that would move it: the soil takes it up once, and the
      // direct flow (grid and statistics) holds what is newly left on the
      // surface (it took the water up in every call and ran it off again).
      {"standing water",
       [](SoilBasin& b) {
         b.extraConstants.push_back({"SurfStorSiltingUp", 5.0});
       },
       gridSum("qd.sum"), 0.03, 0},
      // The same standing water: the infiltration excess grid (the water
      // that did not infiltrate, less the standing water taken up) and the
      // runoff statistics (QD, QI and QB) count it once too.
      {"standing water: infiltration excess",
       [](SoilBasin& b) {
         b.extraConstants.push_back({"SurfStorSiltingUp", 5.0});
         b.outputs[14] = {"infex.dgrd", 10};
       },
       gridSum("infex.sum"), 0.03, 0},
      {"standing water: runoff", [](SoilBasin& b) { b.extraConstants.push_back({"SurfStorSiltingUp", 5.0}); },
       stat("qg.stat"), 0.03, 0},
      // Drains at 0.15 m, 20 m apart, above the table, which the showers
      // raise above them: they work while the table lies below them, for
      // the share of a call it does. A drained cell is solved in water
      // substeps of a quarter of an hour: in substeps of an hour one
      // sub-step drained 9 % more than four (0.94 against 0.87 mm); when
      // the layer that holds the table (the lowest one not full) alone
      // decided, an hour's call drained 2.6 times as much as four calls.
      {"drains",
       [](SoilBasin& b) {
         b.iniGw = "3";
         b.drainage = "1";
         b.extraConstants.push_back({"drainage_depth", 0.15});
         b.extraConstants.push_back({"drainage_distance", 20});
         b.statCodes[0] = 2001;  // QDRAIN
       },
       stat("qdrain.stat"), 0.02, 0},
      // The water rising across a shallow table to the roots of a dry spell
      // (UPRISE). The showers fill layer 3 to saturation, and the table's
      // layer becomes layer 2: layer 3, now the top of the saturated zone,
      // keeps the head of its own suction. When it took the head of layer 2
      // it gave no water up until layer 2 had dried to 0.1 m of suction and
      // then a pulse of 1 to 2 mm in an hour: 6.58 / 8.00 / 7.07 / 6.59 /
      // 6.58 mm on 1 / 2 / 4 / 8 / 16 sub-steps, then 6.61 / 6.61 / 6.60 /
      // 6.60 / 6.60, and in quarter-hour substeps while the roots, which
      // reach the table, transpire 6.65 / 6.62 / 6.60 / 6.60 / 6.60.
      {"capillary rise",
       [](SoilBasin& b) {
         b.iniGw = "3";
         b.rain = [](int h) { return h < 6 ? 2.0 : 0.0; };
         b.transpiration = 0.4;
         b.outputs[11] = {"uprise.asc", 10};
       },
       gridSum("uprise.sum"), 0.02, 0},
      // The same with roots 0.6 m deep, which take part of their water from
      // the saturated layers below the table (0.2 m deep). A layer's uptake
      // leaves it before the solve of the substep: an hour's uptake left the
      // saturated layers below the table short of saturation, the lowest of
      // them held the table for the solve, the saturated zone above drained
      // into them, and the flux across the table turned from hour to hour:
      // 0.625 / 0.563 / 0.561 / 0.557 / 0.555 mm on 1 / 2 / 4 / 8 / 16
      // sub-steps (with roots 1.2 m deep 0.356 / 0.172 / 0.036 / 0.005 /
      // 0.000). Such a call is solved in quarter-hour water substeps.
      {"capillary rise to roots below the table",
       [](SoilBasin& b) {
         b.iniGw = "3";
         b.rain = [](int h) { return h < 6 ? 2.0 : 0.0; };
         b.transpiration = 0.4;
         b.rootDepth = "0.6 0.6 0.6 0.6 0.6";
         b.outputs[11] = {"uprise.asc", 10};
       },
       gridSum("uprise.sum"), 0.03, 0},
      // The other part of the same recharge: the water percolating across
      // the table (PERCOL). An hour's substep, in which the showers lift the
      // table through a layer, counted the water that crosses it at the
      // table of the substep's start only: 6.08 / 6.31 / 6.42 mm on 1 / 2 /
      // 4 sub-steps. A call into which water enters is solved in water
      // substeps of a quarter of an hour.
      {"percolation",
       [](SoilBasin& b) {
         b.iniGw = "3";
         b.rain = [](int h) { return h < 6 ? 2.0 : 0.0; };
         b.transpiration = 0.4;
         b.outputs[12] = {"percol.asc", 10};
       },
       gridSum("percol.sum"), 0.02, 0},
      // A fast, shallow soil (gravel: 1e-3 m/s, layers of 2 and 5 cm, whose
      // drainable water of 0.35 x 0.02 m leaves the top layer in 7 s): the
      // column is solved in water substeps of that time, at most 128 an
      // hour, so that its table no longer rises and falls through several
      // layers within one substep. In substeps of an hour the recharge was
      // 10.1 / 13.2 / 17.1 mm on 1 / 2 / 4 sub-steps, now 13.36 / 13.36 /
      // 13.37.
      {"fast soil", fastSoil,
       stat("gwn.stat"), 0.02, 0},
      // The fast soil in steps of a day (the day's rain at once, its
      // transpiration and evaporation 24 times the hour's): as many water
      // substeps an hour of the step as in hourly steps. In 128 substeps of
      // the sub-step its recharge was -173.4 / -10.6 / 8.5 mm on 1 / 2 / 4
      // sub-steps, now 12.65 on each.
      {"fast soil in steps of a day",
       [](SoilBasin& b) {
         fastSoil(b);
         b.stepMinutes = 1440;
         b.transpiration *= 24;
         b.evaporation *= 24;
       },
       stat("gwn.stat"), 0.02, 0},
  };
  for (const SubStepCase& x : cases) {
    SCOPED_TRACE(x.name);
    double figures[3];
    for (int k = 0; k < 3; ++k) {
      const int substeps = 1 << k;
      SCOPED_TRACE(substeps);
      SoilBasin basin("soilsubsteps" + std::to_string(substeps), 3);
      basin.rain = VariedRain;
      basin.transpiration = 0.1;
      basin.evaporation = 0.05;
      basin.substeps = substeps;
      basin.statCodes[2] = 2001;  // GWN
      WriteControlCellSums(basin);
      x.set(basin);
      ASSERT_TRUE(RunBasin(basin));
      figures[k] = x.figure(basin);
      double rain = 0;
      for (int h = 0; h < 72; ++h) rain += basin.rain(h);
      const auto [start, end, out] = ControlCell(basin);
      EXPECT_GT(out, 1.0);
      EXPECT_NEAR(rain - (end - start), out, 1e-4);
      double grids = 0;
      for (const char* sum : {"qd.sum", "qi.sum"}) {
        const fluvextest::GridFile g = Written(basin, sum);
        ForEachCell([&](int r, int c) { grids += g.at(r, c) / 6; });
      }
      EXPECT_NEAR(StatSum(basin, "qd.stat") + StatSum(basin, "qi.stat"), grids, 1e-4 + 1e-5 * std::fabs(grids));
    }
    EXPECT_GT(std::fabs(figures[2]), 0.5);
    const double worst =
        std::max(std::fabs(figures[0] - figures[2]), std::fabs(figures[1] - figures[2])) / std::fabs(figures[2]);
    std::printf("sub-step case %s: %.4f / %.4f / %.4f on 1 / 2 / 4 sub-steps, %.3f off\n", x.name, figures[0],
                figures[1], figures[2], worst);
    if (x.open == 0)
      EXPECT_LE(worst, x.tolerance);
    else
      EXPECT_GT(worst, x.tolerance) << "keeps within its tolerance: issue " << x.open
                                    << " has fixed it, the case's mark goes";
  }
}

TEST(SoilOptionsRun, RechargeIsTheWaterThatCrossesTheWaterTable) {
  // A year of constant rain: the column settles, and over the last month
  // the recharge equals the baseflow that leaves the saturated zone (its
  // storage no longer changes).
  SoilBasin steady("soilrecharge", 365);
  steady.statCodes[2] = 2001;  // GWN
  ASSERT_TRUE(RunBasin(steady));
  const size_t month = 8760 - 30 * 24;
  const double recharge = StatSum(steady, "gwn.stat", month), baseflow = StatSum(steady, "qb.stat", month);
  EXPECT_GT(baseflow, 1.0);
  EXPECT_NEAR(recharge, baseflow, 0.02 * baseflow);

  // A year of showers and dry spells without evapotranspiration raises the
  // table from 0.65 m to the surface, through its layers. The saturated
  // zone loses water only by the baseflow, and it gained at most the pore
  // space of the subsoil above theta(3.45 m) over the rise (van Genuchten:
  // theta_s 0.40, theta_r 0.05, alpha 1.5/m, n 1.35). The recharge lies
  // between the two.
  SoilBasin varied("soilrechargevaried", 365);
  varied.rain = VariedRain;
  varied.statCodes[1] = 2001;  // GWSTAND
  varied.statCodes[2] = 2001;
  ASSERT_TRUE(RunBasin(varied));
  const auto table = varied.Stat("gwstand.stat");
  const double rise = table.back()[6] - table.front()[6];
  EXPECT_GT(rise, 0.5);
  const double yield = 0.40 - (0.05 + 0.35 * std::pow(1 + std::pow(1.5 * 3.45, 1.35), -(1 - 1 / 1.35)));
  const double yearRecharge = StatSum(varied, "gwn.stat"), yearBaseflow = StatSum(varied, "qb.stat");
  EXPECT_GT(yearRecharge, yearBaseflow);
  EXPECT_LT(yearRecharge, yearBaseflow + 1000 * yield * rise);

  // A shower on a dry column: the water that infiltrated in the hour is
  // still far above the table, 1.5 m deep; the hour's recharge is the
  // little water the saturated zone gets anyway (as in the dry hour before).
  SoilBasin shower("soilshower", 1);
  shower.rain = [](int k) { return k == 4 ? 10.0 : 0.0; };
  shower.statCodes[2] = 2001;
  shower.statCodes[15] = 2001;  // INFILT
  ASSERT_TRUE(RunBasin(shower));
  const auto gwn = shower.Stat("gwn.stat"), infilt = shower.Stat("infilt.stat");
  ASSERT_EQ(gwn.size(), 24u);
  EXPECT_GT(infilt[4][6], 5.0);
  EXPECT_NEAR(gwn[4][6], gwn[3][6], 0.01);
}

// The section "[heat_transfer]" with the given method, the temperature
// stack written with the given code.
std::string HeatTransfer(int method = 1, int stackCode = 0) {
  return "[heat_transfer]\n1         heat transfer on\n" + std::to_string(method) +
         "         method\n0\n0\n12.0      dTModLowBoundBase\n-0.007    dTModLapseRate\n800       dTModCDrySoil\n"
         "1500      dTModRhoDrySoil\n0.58      dTModLamDrySoil\n1e-10     dTModKmin\n0.5562    dTModLamWat\n"
         "2.33      dTModLamIce\n4187      dTModCWater\n1940      dTModCIce20\n2090      dTModCIce0\n"
         "334000    dTModLatHeat\n1000      dTModRhoWater\n1.22      dTModFactor\n0.5       dTModSEForStat\n"
         "60        dTModShortestStep\n1800      dTModLongestStep\n1.0       dTModNFactorFreezing\n"
         "1.0       dTModNFactorThawing\nsoiltemp.txt\nsoiltemp.stat 0\nsoiltemp.stk\n" +
         std::to_string(stackCode) + "\nthawdepth.asc\n0\n\n";
}

TEST(SoilOptionsRun, FrozenSoilHoldsTheRainBack) {
  // Air at -10 degrees: the column starts frozen in its upper half (on the
  // line from the air to the deep soil's 12 - 0.007 x elevation degrees)
  // and stays so. A day of showers runs off the frozen surface.
  double infiltrated[2], excess[2], theta1[2];
  for (int heat : {0, 1}) {
    SoilBasin basin("soilfrozen" + std::to_string(heat), 1);
    basin.rain = [](int k) { return k % 6 < 3 ? 3.0 : 0.0; };
    basin.extraConstants = {{"temperature", -10.0}};
    if (heat) basin.sections = HeatTransfer();
    basin.statCodes[6] = 2001;   // INFEX
    basin.statCodes[15] = 2001;  // INFILT
    basin.outputs[3] = {"theta.stk", 3};
    ASSERT_TRUE(RunBasin(basin)) << heat;
    infiltrated[heat] = StatSum(basin, "infilt.stat");
    excess[heat] = StatSum(basin, "infex.stat");
    theta1[heat] = fluvextest::ReadStackFile(basin.dir / "out/theta.stk").at(2, 3, 1);
  }
  // Unfrozen, the loam takes every shower (5e-6 m/s, 18 mm/h, at the top).
  EXPECT_NEAR(infiltrated[0], 36.0, 0.01);
  EXPECT_LT(excess[0], 0.01);
  // Frozen, its ice narrows the pores: less water enters, and what enters
  // stays above the frozen subsoil (the top layer fills up).
  EXPECT_LT(infiltrated[1], 0.8 * infiltrated[0]);
  EXPECT_NEAR(infiltrated[1] + excess[1], 36.0, 0.01);
  EXPECT_GT(theta1[1], theta1[0] + 0.02);
}

TEST(SoilOptionsRun, TheTemperaturePreSpinUpProfileStartsTheHeatTransport) {
  // Five days of air at -5 degrees: 25 freezing degree days over 5/365 of a
  // year give a permafrost top at -25 / 5 = -5 degrees in the reference layer
  // (layer 2: a third of the six layers down to 1 m) and barely warmer below
  // (the geothermal flux through frozen soil: 0.06 W/m2 x 0.3 m / ~2 W/(m K)
  // per deep layer). The straight line from the air to the deep soil, which
  // a run without pre-SpinUp starts from, reaches about +8 degrees in layer 7.
  SoilBasin basin("soilprespinup", 5);
  basin.temperature = [](int) { return -5.0; };
  basin.rain = [](int) { return 0.0; };
  basin.control = "2 3";
  basin.sections = HeatTransfer(1, 3) +
                   "[SpinUp]\n1         SpinUp switch\n1         doTemperaturePreSpinUp\n"
                   "1         repeatCnt\n0         numGrids\n\n";
  basin.WriteGrid("cells.asc", "-9999 1 2 3 -9999\n-9999 4 5 6 -9999\n");
  basin.extraGrids = {{"cells.asc", "HydrologicResponseUnits"}};
  ASSERT_TRUE(RunBasin(basin));
  const auto rows = basin.Table("out/soiltemp.txt", 1);
  ASSERT_EQ(rows.size(), 120u);
  const std::vector<double>& first = rows.front();
  ASSERT_EQ(first.size(), 4u + 7u);
  // After the first hour (layer 7 is warmed by the deep soil below it).
  for (int k = 1; k <= 7; ++k) EXPECT_NEAR(first[3 + k], -5.0, k < 7 ? 0.2 : 0.5) << k;

  // Without the pre-SpinUp the deep layers start warm.
  basin.sections = HeatTransfer(1, 3);
  basin.extraGrids.clear();
  ASSERT_TRUE(RunBasin(basin));
  EXPECT_GT(basin.Table("out/soiltemp.txt", 1).front()[3 + 7], 6.0);
}

TEST(SoilOptionsRun, UnderTheLakeModelCellsOutsideLakesKeepTheirMacropores) {
  // Ponding up to 5 mm, macropores in the soil, a lake in the cell of row
  // 2, column 2; showers above the macropores' threshold of 0.5 mm/h. The
  // lake model changes nothing in the cells outside the lake.
  std::vector<fluvextest::GridFile> macro;
  for (const char* lakes : {"0", "1"}) {
    SoilBasin basin(std::string("soillakes") + lakes, 3);
    basin.rain = VariedRain;
    basin.pond = "1";
    basin.soilExtra = "  PMacroThresh = 0.5; MacroCapacity = 5; CapacityRedu = 0.5; MacroDepth = 1.0;\n";
    basin.extraConstants = {{"max_ponding_storage", 0.005}};
    basin.WriteGrid("lakes.asc", "-9999 1 -9999 -9999 -9999\n-9999 -9999 -9999 -9999 -9999\n");
    basin.extraGrids = {{"lakes.asc", "lake_codes"}};
    basin.sections = std::string("[lake_model]\n") + lakes +
                     "\tflow control parameter for\n1\tinitialization method for\n"
                     "0.05\tAlbedo_OpenWater for\n0.001\tz0_OpenWater for\n0\treadgrids for\n\n";
    basin.outputKeys = "WriteAsciiGrids = 0\nWriteDoubleGrids = 1\n";
    basin.outputs[10] = {"macro.dgrd", 10};
    ASSERT_TRUE(RunBasin(basin)) << lakes;
    macro.push_back(Written(basin, "macro.sum"));
    ASSERT_EQ(macro.back().ncols, 5) << lakes;
  }
  ForEachCell([&](int r, int c) {
    if (r == 2 && c == 2) return;
    EXPECT_GT(macro[1].at(r, c), 1.0) << r << " " << c;
    EXPECT_EQ(macro[1].at(r, c), macro[0].at(r, c)) << r << " " << c;
  });
  // The lake holds open water: no macropores below it.
  EXPECT_LT(macro[1].at(2, 2), macro[1].at(2, 3));
}

TEST(SoilOptionsRun, ASealedSoilLetsInOnlyWhatItsConductivityPasses) {
  // 25.4 mm in an hour on a soil of 1e-14 m/s: the water runs off.
  SoilBasin basin("soilsealed", 1);
  basin.ksat = "1e-14 1e-14";
  basin.rain = [](int k) { return k == 0 ? 25.4 : 0.0; };
  basin.statCodes[6] = 2001;   // INFEX
  basin.statCodes[15] = 2001;  // INFILT
  ASSERT_TRUE(RunBasin(basin));
  EXPECT_NEAR(basin.Stat("infex.stat").front()[6], 25.4, 1e-4);
  EXPECT_LT(StatSum(basin, "infilt.stat"), 1e-4);
  EXPECT_NEAR(StatSum(basin, "qd.stat"), 25.4, 1e-4);
}

TEST(SoilOptionsRun, TheWaterTableOfTheStartIsTheOneTheFirstStepFinds) {
  // A drying day without evapotranspiration: the baseflow (0.6 mm per step
  // with the table at the surface, falling by exp(distance / 0.5 m)) draws
  // the layer of the table down, and water rises into it from the
  // saturated layer below. Every hour's baseflow is that of the table at
  // the end of the hour before, the first one that of the start's table,
  // and the table moves only with the water: in an hour at most five times
  // as far as the water that crossed it (recharge and baseflow) fills the
  // drainable pores of the subsoil (theta_s 0.40 less theta(3.45 m), van
  // Genuchten theta_r 0.05, alpha 1.5/m, n 1.35) - the filled part of the
  // layer above it joins the table while the layer below it fills from
  // three quarters to full (layers of 0.3 m: 1 + 4 x 0.3 / 0.3).
  const double yield = 0.40 - (0.05 + 0.35 * std::pow(1 + std::pow(1.5 * 3.45, 1.35), -(1 - 1 / 1.35)));
  for (const char* read : {"0", "2"}) {
    SCOPED_TRACE(read);
    SoilBasin basin(std::string("soiltable") + read, 1);
    basin.rain = [](int) { return 0.0; };
    basin.q0 = "0.6 0.6";
    basin.kelsqlat = "0.5 0.5";
    basin.statCodes[1] = 2001;  // GWSTAND
    basin.statCodes[2] = 2001;  // GWN
    basin.readState = read;
    if (std::string(read) == "2") {
      // The table read from a grid, 0.8 m deep: in the middle of layer 5.
      basin.outputs[7] = {"gwst.asc", 0};
      basin.WriteGrid("gwst.asc", "-9999 -0.8 -0.8 -0.8 -9999\n-9999 -0.8 -0.8 -0.8 -9999\n");
    }
    ASSERT_TRUE(RunBasin(basin));
    const auto qb = basin.Stat("qb.stat"), table = basin.Stat("gwstand.stat"), gwn = basin.Stat("gwn.stat");
    ASSERT_EQ(qb.size(), 24u);
    ASSERT_EQ(table.size(), 24u);
    ASSERT_EQ(gwn.size(), 24u);
    // The six columns are alike (the same soil, no rain): the basin's values are each cell's.
    if (std::string(read) == "2") {
      EXPECT_NEAR(qb[0][6], 0.6 * std::exp(-0.8 / 0.5), 1e-6);
    }
    for (size_t h = 1; h < 24; ++h) {
      EXPECT_NEAR(qb[h][6], 0.6 * std::exp(table[h - 1][6] / 0.5), 1e-4 * qb[h][6]) << h;
      const double moved = std::fabs(gwn[h][6]) + qb[h][6];
      EXPECT_LE(std::fabs(table[h][6] - table[h - 1][6]) * 1000 * yield, 5 * moved + 1e-6)
          << "hour " << h << ": the table moved from " << table[h - 1][6] << " to " << table[h][6] << " m while "
          << moved << " mm crossed it";
    }
  }
}

TEST(SoilOptionsRun, DrainsLeadTheirWaterIntoTheInterflow) {
  // Drains at 0.15 m, 20 m apart, in soil that gives no interflow of its own
  // (channel density 0); the interflow's storage empties within the step.
  SoilBasin basin("soildrains", 3);
  basin.rain = VariedRain;
  basin.iniGw = "3";  // the table in layer 3, below the drains in layer 2
  basin.density = "0 0";
  basin.drainage = "1";
  basin.extraConstants = {{"drainage_depth", 0.15}, {"drainage_distance", 20}};
  basin.statCodes[0] = 2001;  // QDRAIN
  ASSERT_TRUE(RunBasin(basin));
  // The showers lift the table above the drains for part of the three
  // days, when they do not work.
  const double drained = StatSum(basin, "qdrain.stat");
  EXPECT_GT(drained, 0.5);
  EXPECT_NEAR(StatSum(basin, "qi.stat"), drained, 1e-4 * drained);
}

TEST(SoilOptionsRun, TheDumpRepairLimitsTheBaseflowToTenMmAStepAndKeepsTheWater) {
  // Three hours with Q0 30 mm per step, falling by exp(distance / 3 m):
  // with the table 0.65 to 0.9 m deep the baseflow is 21 to 24 mm a step, above
  // dump mode's bound of 10 while the 1.5 m column holds water to give.
  // Repaired, each step gives exactly 10 mm and the column keeps what the
  // bound held back; either way the control cell keeps its rain but for
  // what the grids say left it.
  // Macropores take 0.25 of the 0.3 mm an hour (above the threshold of
  // 0.05 mm an hour, below their capacity).
  double kept[2], firstStep[2];
  for (int repair : {0, 1}) {
    SCOPED_TRACE(repair);
    SoilBasin basin(std::string("soildumprepair") + (repair ? "1" : "0"), 1);
    basin.q0 = "30 30";
    basin.soilExtra = "  PMacroThresh = 0.05; MacroCapacity = 5; CapacityRedu = 0.5; MacroDepth = 1.0;\n";
    WriteControlCellSums(basin);
    basin.Write();
    std::string control = ReadFile(basin.dir / "control.txt");
    const std::string last = "24\n1\n1\n2001\n\n[zone_grid]";
    ASSERT_NE(control.find(last), std::string::npos);
    WriteFile(basin.dir / "control.txt", control.replace(control.find(last), 2, "3"));
    setenv("OMP_NUM_THREADS", "1", 1);
    const auto r =
        RunFluvex(std::string("control.txt -dumpmode:1") + (repair ? " -repairAfterDump" : ""), basin.dir.path());
    ASSERT_EQ(r.exitCode, 0) << Tail(r.output);
    EXPECT_EQ(r.output.find("setting the misbehaving parameter back") != std::string::npos, repair == 1);
    const auto qb = basin.Stat("qb.stat");
    ASSERT_EQ(qb.size(), 3u);
    firstStep[repair] = qb[0][6];
    // The one dump file: the table's layer, then the rate handed to the
    // macropores and the infiltration rate after them (m/s), and the
    // baseflow that failed its check (mm per step).
    std::vector<std::filesystem::path> dumps;
    for (const auto& e : std::filesystem::directory_iterator(basin.dir.path()))
      if (e.path().extension() == ".dmp") dumps.push_back(e.path());
    ASSERT_EQ(dumps.size(), 1u);
    const std::string dump = ReadFile(dumps[0].string());
    ASSERT_GE(dump.size(), sizeof(int) + 3 * sizeof(double));
    double rates[3];
    std::memcpy(rates, dump.data() + sizeof(int), sizeof rates);
    EXPECT_NEAR(rates[0], 0.3 / 3.6e6, 1e-12);
    EXPECT_NEAR(rates[1], 0.05 / 3.6e6, 1e-12);
    EXPECT_GT(rates[2], 15.0);
    if (repair) {
      for (const auto& step : qb) EXPECT_NEAR(step[6], 10.0, 1e-6);
    }
    const double rain = 3 * 0.3;
    const auto [start, end, out] = ControlCell(basin);
    EXPECT_NEAR(rain - (end - start), out, 1e-4);
    kept[repair] = end;
  }
  EXPECT_GT(firstStep[0], 15.0);
  EXPECT_GT(kept[1], kept[0] + 10.0);
}

TEST(SoilOptionsRun, TheBaseflowGridHoldsTheExchangeWithTheGroundwaterOnceAStepInMm) {
  // The groundwater model below the basin (one layer, 1e-3 m/s, specific
  // yield 0.1): the groundwater flows between the cells down the slope, and
  // "baseflow" (the soil's DELTAGW grid) hands each cell its share, which
  // the column takes in the next step. The control cell keeps its rain but
  // for its runoff, its evapotranspiration and the exchange it took: the
  // run's sum of the grid less the exchange still pending at its end.
  SoilBasin basin("soilgroundwater", 3);
  basin.rain = VariedRain;
  basin.transpiration = 0.05;
  basin.control = "2 3";
  basin.outputKeys = "WriteAsciiGrids = 0\nWriteDoubleGrids = 1\n";
  basin.outputs[16] = {"qd.dgrd", 10};
  basin.outputs[17] = {"qi.dgrd", 10};
  basin.outputs[18] = {"qb.dgrd", 13};
  basin.writeCodes = {{"real_transpiration1", 10}, {"real_evaporation", 10}};
  basin.extraConstants = {{"gw_k_x_1", 1e-3},
                          {"gw_k_y_1", 1e-3},
                          {"gw_storage_coeff_1", 0.1},
                          {"aquifer_thickness_1", 1.0},
                          {"gw_boundary_fix_h_1", -9999},
                          {"gw_boundary_fix_q_1", -9999}};
  basin.modules["groundwater_flow"] =
      "[groundwater_flow]\n1\n60\n1         method\n50        maxiter\n1e-6      maxerror_allowed (m)\n"
      "0.5       alpha\n0         sor-parameter\n0         grid read parameter\n1         layers\n"
      "0 0       no control point\ngwcontrol.txt\n0         no ponds\ngwhead.asc\n0\ngwflowx.asc\n0\n"
      "gwflowy.asc\n0\ngwbalance.asc\n0\n\n";
  ASSERT_TRUE(RunBasin(basin));
  double rain = 0;
  for (int k = 0; k < 72; ++k) rain += VariedRain(k);
  const double start = basin.Logged("soil water content (for control point r=2 c=3) at model-start: ");
  const double end = basin.Logged("soil water content (control point r=2 c=3) at model-end: ");
  double out = 0;
  for (const char* sum : {"qd.sum", "qi.sum", "real_transpiration1.sum", "real_evaporation.sum"})
    out += Written(basin, sum).at(2, 3);
  const fluvextest::GridFile sum = Written(basin, "qb.sum"), pending = Written(basin, "qb.dgrd");
  ASSERT_EQ(sum.ncols, 5);
  ASSERT_EQ(pending.ncols, 5);
  const double exchange = sum.at(2, 3) - pending.at(2, 3);
  EXPECT_GT(std::fabs(exchange), 0.1);  // mm: the groundwater moved water between the cells
  EXPECT_NEAR(rain - (end - start), out + exchange, 1e-4);
  // Over the basin the groundwater only moves water about.
  double total = 0;
  ForEachCell([&](int r, int c) { total += sum.at(r, c) - pending.at(r, c); });
  EXPECT_LT(std::fabs(total / 6), 1e-6);
}

}  // namespace
