// Initial soil state, state stacks, point files, start water log, heat
// transfer set-up and the river links table of the unsaturated zone.
#include <algorithm>

#include "framework/modelobject.h"
#include "tests/framework/codeof.h"
#include "tests/soil/uzworld.h"

namespace {

using uztest::kLayers;
using uztest::kThetaSat;
using uztest::kThickness;
using uztest::Section;
using uztest::VanGenuchten;

class State : public uztest::World {
 protected:
  // Writes files into the test directory as the module will read them.
  void WriteStackFile(const std::string& name, int levels, double value) {
    modelobject writer(&diag, "", 0, args.object);
    writer.SetGeometry(uztest::kCols, uztest::kRows, 0, 0, 100, -9999);
    writer.SetRowRange(1, uztest::kRows);
    writer.SetGridList(list.data());
    Stack s = memory.matrix3d(1, uztest::kRows, 1, uztest::kCols, levels, uztest::kRows);
    for (int r = 1; r <= uztest::kRows; ++r)
      for (int c = 1; c <= uztest::kCols; ++c)
        for (int k = 0; k <= levels; ++k) s[r][c][k] = value;
    writer.WriteStack(name, s, levels, true, false);
    memory.FreeMatrix3d(s, 1, uztest::kRows);
  }
  void WriteGridFile(const std::string& name, double value) {
    std::ostringstream t;
    t << "ncols 4\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 100\nNODATA_value -9999\n";
    for (int r = 0; r < 2; ++r) t << value << " " << value << " " << value << " " << value << "\n";
    fluvextest::WriteFile(dir / name, t.str());
  }
  // Depth of the water table (negative, m) of a column of ten layers of
  // 0.1 m: from the bottom up each layer adds the share of its thickness
  // that its water above theta(3.45 m) fills (all of it from 0.9995 theta_s
  // on), times what the layers below it pass on: nothing while a layer is
  // at most three quarters filled, everything when it is full, linearly in
  // between.
  double TableDepth(const double* th) const {
    double depth = -1.0, passed = 1.0;
    for (int k = kLayers; k >= 1; --k) {
      const double drainable = soils[1].InterpolateTableInverse(k, 3.45);
      const double filled = std::clamp((th[k] - drainable) / (0.9995 * kThetaSat - drainable), 0.0, 1.0);
      depth += passed * kThickness * filled;
      passed *= std::clamp((filled - 0.75) / 0.25, 0.0, 1.0);
    }
    return depth;
  }
  // Sum of theta times thickness over the layers of a cell, m.
  double Water(int r, int c) const {
    double w = 0;
    for (int k = 1; k <= kLayers; ++k) w += uz->Theta()[r][c][k] * kThickness;
    return w;
  }
  // Value after a text in the instance log.
  double Logged(const std::string& text) const {
    const std::string log = fluvextest::ReadFile(dir / "modell_0.log");
    const size_t at = log.find(text);
    if (at == std::string::npos) return -1;
    return std::stod(log.substr(at + text.size()));
  }
};

// Water content at suction s by linear interpolation between the retention
// table's suction steps 0.4 and 0.6 m (the look-up's rule between nodes).
double BetweenNodes(double s, double lo, double hi) {
  const double w = (s - lo) / (hi - lo);
  return (1 - w) * VanGenuchten(lo) + w * VanGenuchten(hi);
}

TEST_F(State, InitialProfileIsHydrostaticAboveTheFirstSaturatedLayer) {
  Section s;  // ini_gw_level 2 and 10 layers: five unsaturated layers
  ASSERT_EQ(Make(s), 0) << console.str();
  for (int r = 1; r <= uztest::kRows; ++r)
    for (int c = 1; c <= uztest::kCols; ++c) {
      const double* th = uz->Theta()[r][c];
      const double* hgeo = uz->Geodetic()[r][c];
      const double* hh = uz->Hydraulic()[r][c];
      EXPECT_EQ(hgeo[0], uztest::kElevation);
      EXPECT_NEAR(hgeo[10], uztest::kElevation - 1.0, 1e-9);
      EXPECT_EQ(th[0], kThetaSat);
      // Middle of layer k lies (6 - k) * 0.1 m above the middle of layer 6.
      for (int k = 2; k <= 5; ++k) EXPECT_NEAR(th[k], VanGenuchten((6 - k) * 0.1), 1e-12) << k;
      EXPECT_NEAR(th[1], BetweenNodes(0.5, 0.4, 0.6), 1e-12);
      for (int k = 6; k <= kLayers; ++k) EXPECT_EQ(th[k], kThetaSat) << k;
      // Hydraulic head: equal in the unsaturated layers (rest), the layer middle below.
      const double mid6 = uztest::kElevation - 0.55;
      for (int k = 1; k <= 5; ++k) EXPECT_NEAR(hh[k], mid6, 1e-9) << k;
      EXPECT_NEAR(hh[8], uztest::kElevation - 0.75, 1e-9);
      // The water table as a step finds it: in layer 5, the lowest one not
      // saturated, at the height its water above theta(3.45 m) fills from
      // its bottom (0.5 m below the surface), and, that layer being more
      // than three quarters filled, a part of the filled share of layer 4.
      EXPECT_EQ(uz->GwLevel()[r][c], 5);
      EXPECT_EQ(uz->ThetaInGwLevel()[r][c], th[5]);
      EXPECT_NEAR(uz->GwDistance()[r][c], TableDepth(th), 1e-9);
      EXPECT_GT(uz->GwDistance()[r][c], -0.5 + kThickness * 0.9);  // layer 5: 0.92 filled
    }
}

TEST_F(State, OtherGroundwaterDivisorsAndATableBelowTheProfile) {
  Section s;
  s.iniGw = "3";  // floor(9 / 3) + 1 = 4
  ASSERT_EQ(Make(s), 0) << console.str();
  EXPECT_NEAR(uz->Theta()[1][1][4], VanGenuchten(0.1), 1e-12);
  EXPECT_EQ(uz->Theta()[1][1][5], kThetaSat);

  // floor(9 / 0.5) + 1 = 19 unsaturated layers: all ten, in equilibrium with the profile bottom.
  s.iniGw = "0.5";
  ASSERT_EQ(Make(s), 0) << console.str();
  EXPECT_NEAR(uz->Theta()[2][3][10], VanGenuchten(0.05), 1e-12);
  EXPECT_NEAR(uz->Theta()[2][3][9], VanGenuchten(0.15), 1e-12);
  EXPECT_LT(uz->Theta()[2][3][10], kThetaSat);
  EXPECT_EQ(uz->GwLevel()[2][3], kLayers);
  EXPECT_NEAR(uz->GwDistance()[2][3], TableDepth(uz->Theta()[2][3]), 1e-9);
}

TEST_F(State, ReadGroundwaterDistanceSetsTheProfile) {
  Section s;
  s.readParameter = "2";
  WriteGridFile("out7.grd", -0.35);  // in the middle of layer 4
  ASSERT_EQ(Make(s), 0) << console.str();
  // Above the table in equilibrium with it: the middle of layer 3 lies 0.1 m above.
  EXPECT_NEAR(uz->Theta()[1][2][3], VanGenuchten(0.1), 1e-12);
  EXPECT_NEAR(uz->Theta()[1][2][2], VanGenuchten(0.2), 1e-12);
  // Layer 4 holds the water from which a step finds the table 0.05 m above
  // its bottom: half of the pore space above theta(3.45 m) filled (so the
  // layers above add nothing).
  const double drainable = soils[1].InterpolateTableInverse(4, 3.45);
  EXPECT_NEAR(uz->Theta()[1][2][4], drainable + 0.5 * (0.9995 * kThetaSat - drainable), 1e-11);
  EXPECT_NEAR(TableDepth(uz->Theta()[1][2]), -0.35, 1e-11);
  for (int k = 5; k <= kLayers; ++k) EXPECT_EQ(uz->Theta()[1][2][k], kThetaSat) << k;
  EXPECT_EQ(uz->GwDistance()[1][2], -0.35);
  EXPECT_EQ(uz->GwLevel()[1][2], 4);
  EXPECT_EQ(uz->ThetaInGwLevel()[1][2], uz->Theta()[1][2][4]);

  // A table 0.02 m below the top of layer 4: the wet layers above carry it
  // up once layer 4 is more than three quarters filled, so layer 4 holds
  // less water than the 0.8 of its pore space above theta(3.45 m) that the
  // height alone would ask for, and the step finds the table where it was read.
  WriteGridFile("out7.grd", -0.32);
  ASSERT_EQ(Make(s), 0) << console.str();
  const double th4 = uz->Theta()[1][2][4];
  EXPECT_LT(th4, drainable + 0.8 * (0.9995 * kThetaSat - drainable) - 0.01);
  EXPECT_GT(th4, drainable + 0.75 * (0.9995 * kThetaSat - drainable));
  EXPECT_NEAR(TableDepth(uz->Theta()[1][2]), -0.32, 1e-11);
}

TEST_F(State, StateStacksMustHaveOneLevelPerLayer) {
  Section s;
  s.readParameter = "1";
  s.outputs = {{3, "theta.stk"}, {4, "hh.stk"}, {5, "hgeo.stk"}};
  for (int k : {7, 8, 13, 18}) WriteGridFile("out" + std::to_string(k) + ".grd", -0.5);
  WriteStackFile("hgeo.stk", 10, 999.0);
  WriteStackFile("theta.stk", 9, 0.3);
  WriteStackFile("hh.stk", 10, 998.0);
  EXPECT_EQ(Make(s), 13);
  EXPECT_TRUE(Said("wrong number of levels in stack theta.stk (there are 9 level, it must be 10"));

  WriteStackFile("theta.stk", 10, 0.3);
  ASSERT_EQ(Make(s), 0) << console.str();
  EXPECT_EQ(uz->Theta()[2][4][7], 0.3);
  EXPECT_EQ(uz->GwDistance()[2][4], -0.5);
}

TEST_F(State, ControlPointFilesGetTheirHeaders) {
  Section s;
  s.control = "1 2";
  s.extra = uztest::HeatSection();
  Add("temperature", [](int, int) { return 3.0; });
  ASSERT_EQ(Make(s), 0) << console.str();
  std::string layers;
  for (int k = 1; k <= kLayers; ++k) {
    layers += '[';
    layers += std::to_string(k);
    layers += "]\t";
  }
  EXPECT_EQ(fluvextest::ReadFile(dir / "hhyd.txt"), "YY\tMM\tDD\tHH\thhyd[1][2]" + layers + "\n");
  EXPECT_EQ(fluvextest::ReadFile(dir / "theta.txt"), "YY\tMM\tDD\tHH\ttheta[1][2]" + layers + "\n");
  EXPECT_EQ(fluvextest::ReadFile(dir / "qbottom.txt"), "YY\tMM\tDD\tHH\tq_bottom[1][2]" + layers + "\n");
  EXPECT_EQ(fluvextest::ReadFile(dir / "interflow.txt"), "YY\tMM\tDD\tHH\tinterflow_per_layer[1][2]" + layers + "\n");
  EXPECT_EQ(fluvextest::ReadFile(dir / "temper.txt"), "YY\tMM\tDD\tHH\ttemper[1][2]" + layers + "\n");
  EXPECT_EQ(fluvextest::ReadFile(dir / "etr.txt"),
            "YY\tMM\tDD\tHH\tetr[1][2](etr[0] is evaporation from first layer)[0]\t" + layers + "\n");
  EXPECT_EQ(fluvextest::ReadFile(dir / "other.txt"),
            "YY\tMM\tDD\tHH\totherdata[1][2]QD\tQI\tDELTAGW/QB\tQINF\tGWIN\tGWEX\tGWN\tUPRISE\tPERCOL\tMACR\tQDRAIN\t"
            "ACT_POND\tINFEX\tGWST\tGWLEVEL\tROOT\tAlbedo\tRSE\tLAI_1\tVCF_1\tRSC_1\tRSI_1\tROOT_1\tZ0_1\n");

  s.control = "0 0";
  s.extra.clear();
  std::remove((dir / "theta.txt").c_str());
  ASSERT_EQ(Make(s), 0);
  EXPECT_FALSE(fluvextest::FileExists(dir / "theta.txt"));
}

TEST_F(State, LoggedStartWaterEqualsTheStack) {
  Section s;
  s.control = "2 3";
  ASSERT_EQ(Make(s), 0) << console.str();
  double mean = 0;
  for (int r = 1; r <= uztest::kRows; ++r)
    for (int c = 1; c <= uztest::kCols; ++c) mean += Water(r, c) / 8;
  EXPECT_NEAR(Logged("soil water content (for control point r=2 c=3) at model-start: "), Water(2, 3) * 1000, 1e-6);
  EXPECT_NEAR(Logged("mean soil water content for all cells at model-start: "), mean, 1e-6);
  EXPECT_NEAR(Logged("mean soil water content for unglacierized or only partly unglacierized cells at model-start: "),
              mean, 1e-6);
  EXPECT_EQ(Logged("mean soil water content for partly or completely glacierized cells at model-start: "), 0.0);
}

TEST_F(State, HeatTransferCreatesTheLowerBoundaryAndTheTemperatureStack) {
  Section s;
  s.extra = uztest::HeatSection();
  Add("temperature", [](int, int) { return 3.0; });
  args.object.WriteAsciiGrids = true;
  ASSERT_EQ(Make(s), 0) << console.str();
  EXPECT_EQ(uz->GetHeatTransferFlowControl(), 1);
  EXPECT_EQ(uz->Heat(2), 0.8);  // the last parameter line
  for (int r = 1; r <= uztest::kRows; ++r)
    for (int c = 1; c <= uztest::kCols; ++c) {
      EXPECT_NEAR(uz->LowerBoundary()[r][c], 5.0, 1e-12);  // 12 - 0.007 * 1000
      EXPECT_EQ(uz->SoilTemperature()[r][c][4], 0.0);
      EXPECT_EQ(uz->ThawDepth()[r][c], 0.0);
    }
  EXPECT_TRUE(uz->SoilTemperaturePending());
  EXPECT_EQ(uz->GetHeatFluxLowerBoundary(), 0);
  // Written at once: the last line of the file holds the values of row 2.
  const std::string written = fluvextest::ReadFile(dir / "T_Lower_Boundary_Condition");
  std::istringstream values(written.substr(written.rfind('\n', written.size() - 2) + 1));
  double v = 0;
  int count = 0;
  while (values >> v) {
    EXPECT_NEAR(v, 5.0, 1e-6);
    ++count;
  }
  EXPECT_EQ(count, uztest::kCols) << written;
  EXPECT_GT(uz->FindGrid("Soil_Temperature_Stack", true), 0);
  // Heat parameters missing in the soil table take the section's values; 0 stays.
  EXPECT_EQ(soils[1].DryDensity[3], 1500.0);
  EXPECT_EQ(soils[1].DryHeatCapacity[3], 800.0);
  EXPECT_EQ(soils[1].DryThermalConduct[3], 0.0);
  EXPECT_EQ(soils[1].KMinFrozenSoil, 1e-10);

  // Without the section, or switched off: no heat grids.
  for (const std::string& extra : {std::string(), uztest::HeatSection("0")}) {
    s.extra = extra;
    ASSERT_EQ(Make(s), 0) << console.str();
    EXPECT_EQ(uz->FindGrid("Soil_Temperature_Stack", true), 0);
    EXPECT_EQ(uz->FindGrid("T_Lower_Boundary_Condition", true), 0);
    EXPECT_EQ(uz->FindGrid("ThawDepthTMod", true), 0);
    EXPECT_EQ(uz->GetHeatTransferFlowControl() > 0, false);
    EXPECT_EQ(uz->Heat(0), 12.0);
  }
}

TEST_F(State, DrainageLevelIsTheFirstLayerReachingTheDrain) {
  Section s;
  s.drainage = "1";
  Grid depth = Add("drainage_depth", [](int r, int c) { return r == 1 && c == 1 ? 0.005 : (c == 2 ? 0.25 : 5.0); });
  Add("drainage_distance", [](int, int) { return 10.0; });
  (void)depth;
  ASSERT_EQ(Make(s), 0) << console.str();
  EXPECT_EQ(uz->DrainageLevel()[1][1], 0);
  EXPECT_EQ(uz->DrainageLevel()[1][2], 3);
  EXPECT_EQ(uz->DrainageLevel()[1][3], kLayers);  // below the profile: the last layer
  EXPECT_EQ(uz->GetOptionsTag(), "+dr,");
}

TEST_F(State, RiverLinksTableExistsWithGroundwaterAndChecksLinks) {
  Section s;
  ASSERT_EQ(Make(s), 0) << console.str();
  int error = -1;
  uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(uz->GetRiverflowTable(), nullptr);

  ASSERT_EQ(Make(s), 0);
  uz->SetGroundwaterCoupling(1);
  uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
  ASSERT_EQ(error, 0);
  RiverflowTable* table = uz->GetRiverflowTable();
  ASSERT_NE(table, nullptr);
  for (int i = 0; i <= 8; ++i)
    for (double v : table[i].field) EXPECT_EQ(v, 0.0);
  EXPECT_EQ(uz->RiverLinkRecord(3.7), 3);
  EXPECT_EQ(uz->RiverLinkRecord(0), 0);
  EXPECT_EQ(uz->RiverLinkRecord(-9999), 0);
  EXPECT_EQ(CodeOf([&] { uz->RiverLinkRecord(9); }), 199);
  EXPECT_TRUE(Said("There is a river link \"9\" from the river link grid\nwhich is not valid"));
  EXPECT_EQ(CodeOf([&] { uz->RiverLinkRecord(1e12); }), 199);
}

}  // namespace
