#include "parameters/soiltable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "parameters/multilayertable.h"
#include "tablefixture.h"

namespace {

using Doubles = std::vector<double>;

const std::string kLoam =
    "1 loam method = MultipleHorizons {\n"
    "  layers = 2 3;\n"
    "  ksat = 1e-5 1e-6;  theta_sat = 0.45 0.40;  theta_res = 0.05 0.04;\n"
    "  ksat_topmodel = 2e-4;\n"
    "  alpha = 2.0 1.5;  Par_n = 1.6 1.3;  thickness = 0.1 0.3;\n"
    "  ThicknessScaling = 2;  GrainSizeDist = 0.4 0.4 0.2 0 0 0 0;  SU_PAR03 = 7;\n"
    "  KMinFrozenSoil = 1e-9;  PMacroThresh = 36;  MacroCapacity = 3.6;  suction = 250;\n"
    "}\n";
const std::string kClay = "2 clay 20 30 1e-5 300 1 0.5 0.1 1.0 1.4 5 0.6 500 0.8\n";

std::string Soil(const std::string& entries, int n = 1) {
  return "[landuse_table]\n0\n[soil_table]\n" + std::to_string(n) + "\n" + entries;
}

}  // namespace

TEST(SoilTable, BlockAndOldRowGiveTheirLayers) {
  ControlFileFixture cf("soil_table", Soil(kLoam + kClay, 2));
  auto t = ReadSoilTable(cf.file, *cf.diag);
  EXPECT_EQ(t[0].code, 2);
  const soil_table_entry& loam = t[1];
  EXPECT_EQ(loam.name, "loam");
  EXPECT_EQ(loam.layers, 5);
  EXPECT_EQ(loam.ksat, (Doubles{1e-5, 1e-5, 1e-5, 1e-6, 1e-6, 1e-6}));
  EXPECT_EQ(loam.ksat_topmodel, 2e-4);  // its own item, not the one of "ksat"
  EXPECT_EQ(loam.thickness, (Doubles{0.2, 0.2, 0.2, 0.6, 0.6, 0.6}));
  EXPECT_NEAR(loam.TotalDepth, 2.2, 1e-12);
  EXPECT_EQ(loam.EvapMaxDepth, 0.1);  // layer 1 before scaling
  EXPECT_NE(cf.Console().find("Soil layers for landuse 1 will be scaled by a factor of 2"), std::string::npos);
  EXPECT_EQ(loam.Par_m[5], 1 - 1 / 1.3);
  EXPECT_EQ(loam.GrainSizeDist[2], 0.2);
  EXPECT_EQ(loam.SU_PAR[3], 7.0);
  EXPECT_DOUBLE_EQ(loam.LogKMinFrozenSoil, std::log(1e-9));
  // Millimetres per hour become metres per second.
  EXPECT_DOUBLE_EQ(loam.PMacroThresh, 1e-5);
  EXPECT_DOUBLE_EQ(loam.MacroCapacity, 1e-6);
  EXPECT_EQ(loam.suction, 250.0);

  const soil_table_entry& clay = t[2];
  EXPECT_EQ(clay.code, 2);
  EXPECT_EQ(clay.layers, 5);
  EXPECT_EQ(Doubles({clay.FCap, clay.mSB, clay.ksat_topmodel, clay.suction, clay.maxratio}),
            (Doubles{20, 30, 1e-5, 300, 500}));
  EXPECT_EQ(clay.theta_sat, Doubles(6, 0.5));
  EXPECT_EQ(clay.Par_m, Doubles(6, 1 - 1 / 1.4));
  const Doubles thickness = {0.05, 0.05, 0.55, 0.6, 0.6, 0.6};
  for (int L = 0; L <= 5; ++L) EXPECT_NEAR(clay.thickness[L], thickness[L], 1e-15) << L;
  EXPECT_NEAR(clay.TotalDepth, 2.4, 1e-12);
  const Doubles exponents = {0.025, 0.025, 0.3, 0.9, 1.5, 1.5};  // layer 5 lies below 2 m
  for (int L = 0; L <= 5; ++L) EXPECT_NEAR(clay.ksat[L], 1e-5 * std::pow(0.8, exponents[L]), 1e-18) << L;
  EXPECT_EQ(Doubles({clay.EvapMaxDepth, clay.PMacroThresh, clay.MacroDepth, clay.LogKMinFrozenSoil}),
            (Doubles{0.1, 1.0, 0.0, -20.0}));
}

TEST(SoilTable, BadEntriesStopWithTheirCodes) {
  struct Case {
    std::string entries;
    int n;
    int code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {Replace(kLoam, "MultipleHorizons", "Horizons"), 1, 29, "soil table definition method unknown 1 loam"},
      {Replace(kLoam, "ksat = 1e-5 1e-6", "ksat = 1e-5 x"), 1, 29,
       "Soil table code 1: some values could not be read\n1 loam"},
      {Replace(kLoam, "ksat = 1e-5 1e-6", "ksat = 1e-5"), 1, 29, "\"ksat\" needs one value per horizon (2), found 1"},
      {Replace(kLoam, "theta_res = 0.05 0.04", "theta_res = 0.05 0.40"), 1, 29,
       "layer 3 (horizon 2): theta_sat (0.4) must be greater than theta_res (0.4)"},
      {Replace(kLoam, "Par_n = 1.6 1.3", "Par_n = 1 1.3"), 1, 29,
       "layer 1 (horizon 1): Par_n (1) must be greater than 1"},
      {Replace(kLoam, "layers = 2 3", "layers = 2 0"), 1, 29, "\"layers\" needs one layer count of at least 1"},
      {Replace(kLoam, "SU_PAR03 = 7", "SU_PAR03 = seven"), 1, 29, "the value of \"SU_PAR03\" is not a number"},
      {kLoam.substr(0, kLoam.size() - 2), 1, 29, "the control file ends inside this table block"},
      {Replace(kClay, "0.1 1.0 1.4", "0.5 1.0 1.4"), 1, 30, "theta_sat (0.5) must be greater than theta_res (0.5)"},
      {"2 clay 20 30\n", 1, 30, "soil table code 2: some values could not be read\n2 clay 20 30"},
      {Replace(kClay, " 5 0.6", " 1 0.6"), 1, 30, "an old row needs at least 2 layers"},
      {Replace(kClay, "0.6 500 0.8", "0.08 500 0.8"), 1, 30,
       "thickness of single layers (here 0.08 m)\nhas to be at minimum twice as thick as the"},
      {Replace(kClay, "0.6 500 0.8", ""), 1, 30, "error reading layer thickness for soiltype 2"},
      {Replace(kClay, "0.6 500 0.8", "0.6"), 1, 30, "error reading maxratio for soil type 2"},
      {Replace(kClay, "0.6 500 0.8", "0.6 500"), 1, 30, "error reading k reduction for soil type 2"},
      {kLoam + Replace(kClay, " 5 0.6", " 4 0.6"), 2, 30, "(here: soil type 2: 4 layers, but soil type 1: 5 layers)"},
      {kLoam, 2, 30, "ends after 1 of 2 entries"},
      {Replace(kLoam, "0.4 0.4 0.2", "0 0.6 0.4"), 1, 110,
       "Grainsize distribution: fraction of sand must be > 0 \nsoil type: 1\n1 loam"},
      {Replace(kLoam, "0.4 0.4 0.2", "0.4 0.4 0.2002"), 1, 110,
       "Grainsize distribution: sum of all fractions (sand, silt, clay, stones1..4) must be 1.0\n soil type: 1"},
      {Replace(kLoam, "0.4 0.4 0.2 0", "0.4 0.4 0.3 -0.1"), 1, 110,
       "Grainsize distribution: all grain size fractions must be >= 0 (sand must be >0)\nsoil type: 1"},
      {Replace(kClay, "300 1 0.5", "300 2 0.5"), 1, 131,
       "error reading soil parameters for soil type 2: only old method 1 (van-Genuchten Parameter) is supported"},
      // Values out of their physical range: the layer (and its horizon), the key and the value.
      {Replace(kLoam, "ksat = 1e-5 1e-6", "ksat = 1e-5 nan"), 1, 29,
       "layer 3 (horizon 2): ksat = nan: it has to be a number of 0 or more (m/s)"},
      {Replace(kLoam, "ksat = 1e-5 1e-6", "ksat = -1e-5 1e-6"), 1, 29, "layer 1 (horizon 1): ksat = -1e-05"},
      {Replace(kLoam, "ksat = 1e-5 1e-6", "ksat = 1e-5 1e999"), 1, 29, "layer 3 (horizon 2): ksat = inf"},
      {Replace(kLoam, "theta_sat = 0.45 0.40", "theta_sat = 0.45 1.2"), 1, 29,
       "layer 3 (horizon 2): theta_sat = 1.2: a water content has to be a number of at most 1"},
      {Replace(kLoam, "theta_res = 0.05 0.04", "theta_res = -0.05 0.04"), 1, 29,
       "layer 1 (horizon 1): theta_res = -0.05: a water content has to be a number of 0 or more"},
      {Replace(kLoam, "alpha = 2.0 1.5", "alpha = 2.0 0"), 1, 29,
       "layer 3 (horizon 2): alpha = 0: it has to be greater than 0 (1/m)"},
      {Replace(kLoam, "alpha = 2.0 1.5", "alpha = nan 1.5"), 1, 29, "layer 1 (horizon 1): alpha = nan"},
      {Replace(kLoam, "Par_n = 1.6 1.3", "Par_n = 1.6 nan"), 1, 29, "layer 3 (horizon 2): Par_n (nan) must be greater"},
      {Replace(kLoam, "thickness = 0.1 0.3", "thickness = 0.1 0"), 1, 29,
       "layer 3 (horizon 2): thickness (0) must be greater than 0"},
      {Replace(kLoam, "suction = 250", "suction = 250; maxratio = 0"), 1, 29,
       "maxratio = 0: it has to be greater than 0"},
      {Replace(kLoam, "suction = 250", "suction = 250; CapacityRedu = -0.5"), 1, 29,
       "CapacityRedu = -0.5: it has to be a number of 0 or more"},
      {Replace(kLoam, "MacroCapacity = 3.6", "MacroCapacity = -3.6"), 1, 29,
       "MacroCapacity = -3.6: it has to be a number of 0 or more (mm/h)"},
      {Replace(kClay, " 1.0 1.4 5", " -1.0 1.4 5"), 1, 30, "layer 1: alpha = -1: it has to be greater than 0"},
      {Replace(kClay, "20 30 1e-5", "20 30 -1e-5"), 1, 30, "layer 1: ksat = -"},
      // A count larger than the entries: the missing entry, not an old row's keys.
      {kLoam + "\n[precipitation_correction]\n", 2, 30,
       "soil table: entry 2 of 2 of [soil_table] is missing: expected a table block"},
      {kLoam + "[precipitation_correction]\n", 2, 30, "found \"[precipitation_correction]\" (control file "},
  };
  int i = 0;
  for (const Case& c : cases) {
    ControlFileFixture cf("soil_bad_" + std::to_string(i++), Soil(c.entries, c.n));
    EXPECT_FATAL(cf, ReadSoilTable(cf.file, *cf.diag), c.code, c.text);
  }
  ControlFileFixture noSection("soil_nosection", "[landuse_table]\n0\n");
  EXPECT_FATAL(noSection, ReadSoilTable(noSection.file, *noSection.diag), 17,
               "error in control file, [soil_table]; (EOF) not found!");
}

TEST(MultilayerTable, LayersPerTypeAndTheirChecks) {
  ControlFileFixture absent("multilayer_absent", "[landuse_table]\n0\n");
  EXPECT_EQ(ReadMultilayerLanduseTable(absent.file, *absent.diag), nullptr);

  const std::string two =
      "[multilayer_landuse]\n2\n1 mixed { Landuse_Layers = 12 7; }\n"
      "2 forest {\n Landuse_Layers = 3 -9999;\n k_extinct = 0.5; LAI_scale = 8;\n}\n";
  ControlFileFixture cf("multilayer_two", two);
  auto t = ReadMultilayerLanduseTable(cf.file, *cf.diag);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t[0].code, 2);
  EXPECT_EQ(t[1].count, 2);
  EXPECT_EQ(t[1].Landuse_Layers, (std::vector<int>{0, 12, 7}));
  EXPECT_EQ(t[1].LayerIndexes, t[1].Landuse_Layers);
  EXPECT_EQ(Doubles({t[1].k_extinct, t[1].LAI_scale}), (Doubles{0.3, 10.0}));
  EXPECT_EQ(t[2].Landuse_Layers, (std::vector<int>{0, 3, -9999}));
  EXPECT_EQ(Doubles({t[2].k_extinct, t[2].LAI_scale}), (Doubles{0.5, 8.0}));

  struct Case {
    std::string entries;
    int code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"1 a { Landuse_Layers = 1 2; }\n2 b { Landuse_Layers = 1 2 3; }\n", 111,
       "(here: multilayer-landuse type 2: 3 layers, but multilayer-landuse type 1: 2 layers)"},
      {"1 a {\n k_extinct = 0.5; }\n2 b { Landuse_Layers = 1; }\n", 112,
       "multiple landuse table: parameter Landuse_Layers not found 1 a {"},
      {"1 a { Landuse_Layers = 1; }\n\n", 112, "multiple landuse table: parameter Landuse_Layers not found "},
      {"1 a { Landuse_Layers = 12 x; }\n2 b { Landuse_Layers = 1; }\n", 110,
       "multilayer_landuse_table code 1: some parameters could not be read\n1 a {"},
      {"1 a { Landuse_Layers = ; }\n2 b { Landuse_Layers = 1; }\n", 110, "needs the land-use code of at least one"},
      {"1 a { Landuse_Layers = 1;\n", 110, "the control file ends inside this table block"},
      {"1 a { Landuse_Layers = 1; k_extinct = -0.5; }\n2 b { Landuse_Layers = 1; }\n", 110,
       "k_extinct = -0.5: it has to be a number of 0 or more"},
      {"1 a { Landuse_Layers = 1; }\n2 b { Landuse_Layers = 1; LAI_scale = nan; }\n", 110,
       "LAI_scale = nan: it has to be a number of 0 or more"},
  };
  int i = 0;
  for (const Case& c : cases) {
    ControlFileFixture bad("multilayer_bad_" + std::to_string(i++), "[multilayer_landuse]\n2\n" + c.entries);
    EXPECT_FATAL(bad, ReadMultilayerLanduseTable(bad.file, *bad.diag), c.code, c.text);
  }
}
