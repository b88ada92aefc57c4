// Evapotranspiration set-up: the checks of the section, the sunshine
// threshold, the input flags, the per-layer result grids and their names,
// the lake set-up, and the two small numeric operations.
#include <algorithm>
#include <cmath>

#include "framework/zonalstatistic.h"
#include "parameters/multilayer_landuse_entry.h"
#include "radiation_et/etpetr.h"
#include "tests/framework/codeof.h"
#include "tests/radiation_et/et_section.h"

using ettest::EtSection;
using ettest::World;

namespace {

std::unique_ptr<verdunstungsmodellklasse> Build(World& w, const EtSection& s, int& error) {
  w.Write(s.Text());
  return ettest::Make<verdunstungsmodellklasse>(w, error);
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(EvapotranspirationSetup, MethodsBesidesPenmanNeedOneLayerAndDailySteps) {
  multilayer_landuse_entry table[2];
  table[0].code = 1;
  table[1].count = 2;
  for (int method : {2, 3, 4}) {
    World w(1, 1, 100, "layers" + std::to_string(method));
    w.multilayer = table;
    EtSection s;
    s.method = method;
    int error = 0;
    Build(w, s, error);
    EXPECT_EQ(error, 44);
    EXPECT_TRUE(Has(w.Console(), "for unlayered Vegetation. Actual parameters: method: " + std::to_string(method) +
                                     ", number of layers: 2"))
        << w.Console();
  }
  World w(1, 1, 100, "halfday");
  EtSection s;
  s.method = 3;
  s.step = 720;
  int error = 0;
  Build(w, s, error);
  EXPECT_EQ(error, 44);
  EXPECT_TRUE(Has(w.Console(), "actual parameters: method: 3, timestep: 720 minutes")) << w.Console();
}

TEST(EvapotranspirationSetup, CoefficientLinesAreChecked) {
  // A refused coefficient names its line: 'r' the radiation, 'c' the
  // sunshine coefficients, 's' the day share ('-': not checked here).
  struct Case {
    std::string rg, cs, split;
    int code;
    double root;
    const char* text;
    char line = '-';
  };
  const Case cases[] = {
      // The turning point of the cubic: roots of x^2 - 4.8787 x + 1.1269 = 0.
      {"0.05 0.3 0.4 0.25", "0.072 -0.808 1.749 -0.239", "0.6 0", 0, 0.24307, ""},
      {"0.05 0.3 0.4 0.25", "-0.2 1 0 0", "0.6 0", 0, 0.2, ""},
      {"0.05 0.3 0.4 0.25", "0.5 1 0 0", "0.6 0", 10, 0, "No null point (root) was found between 0 and 1!", 'c'},
      {"0.05 0.3 0.4 0.25", "0.3 0 0 0", "0.6 0", 10, 0, "There must be at minimum a linear relationship", 'c'},
      // x^2 - 0.5 x + 0.06: roots 0.2 and 0.3, the larger is taken.
      {"0.05 0.3 0.4 0.25", "0.06 -0.5 1 0", "0.6 0", 0, 0.3, ""},
      {"0.04 0.3 0.4 0.26", "-0.2 1 0 0", "0.6 0", 10, 0, "fraction of diffuse radiation is too small: 0.04", 'r'},
      {"0.6 0.1 0.1 0.2", "-0.2 1 0 0", "0.6 0", 10, 0, "fraction of diffuse radiation is too large: 0.6", 'r'},
      {"0.05 0.3 0.4 0.3", "-0.2 1 0 0", "0.6 0", 10, 0, "muessen in ihrer Summe 1 ergeben", 'r'},
      {"0.05 0.3 0.4 0.25", "-0.2 1 0 0", "1.2 0", 10, 0, "read: amplitude_fraction_day: 1.2", 's'},
      {"0.05 0.3 0.4 0.25", "-0.2 1 0 0", "0.5", 10, 0, "error reading fraction for temperature amplitude"},
  };
  int i = 0;
  for (const Case& c : cases) {
    World w(1, 1, 100, "coefficients" + std::to_string(i++));
    w.Add("temperature", 10);
    w.Add("landuse1", 1);
    EtSection s;
    s.method = 2;
    s.rg = c.rg;
    s.cs = c.cs;
    s.split = c.split;
    int error = 0;
    auto m = Build(w, s, error);
    EXPECT_EQ(error, c.code) << c.cs << "\n" << w.Console();
    if (c.code == 0) {
      EXPECT_NEAR(m->GetCSRoot(), c.root, 1e-4);
      m->FreeMemory();
    } else {
      EXPECT_TRUE(Has(w.Console(), c.text)) << w.Console();
      if (c.line != '-') {
        const std::string text = s.Text();
        const std::string& value = c.line == 'r' ? c.rg : (c.line == 'c' ? c.cs : c.split);
        const size_t at = text.find("\n" + value + "   ");
        ASSERT_NE(at, std::string::npos) << value;
        const long line = std::count(text.begin(), text.begin() + static_cast<long>(at) + 1, '\n') + 1;
        EXPECT_TRUE(Has(w.Console(),
                        "(section [evapotranspiration], control file control.txt, line " + std::to_string(line) + ")"))
            << w.Console();
      }
    }
  }
}

TEST(EvapotranspirationSetup, AmplitudeHeightScaleCheckedWhereTheDayIsSplit) {
  // Only daily Penman-Monteith spreads the day's temperature with the
  // amplitude, which falls with elevation over the height scale.
  struct Case {
    int method, step, code;
  };
  for (const Case& c : {Case{2, 1440, 0}, Case{4, 1440, 0}, Case{1, 60, 0}, Case{1, 1440, 10}}) {
    std::string name = "height_scale";
    name.append(std::to_string(c.method)).append("_").append(std::to_string(c.step));
    World w(1, 1, 100, name);
    ettest::AddPenmanInputs(w, 1);
    w.Add("temperature_14", 10);
    w.Add("air_humidity_14", 0.6);
    EtSection s;
    s.method = c.method;
    s.step = c.step;
    s.heightScale = "0";
    int error = 0;
    auto m = Build(w, s, error);
    EXPECT_EQ(error, c.code) << "method " << c.method << ", step " << c.step << "\n" << w.Console();
    if (c.code == 0)
      m->FreeMemory();
    else
      EXPECT_TRUE(Has(w.Console(), "the height scale of the daily temperature amplitude is 0 m")) << w.Console();
  }
}

TEST(EvapotranspirationSetup, MonthlyFactorsNeedTwelveValues) {
  World w(1, 1, 100, "twelve");
  EtSection s;
  s.method = 2;
  s.pec = "0.1 0.1 0.15 0.2 0.25 0.3 0.3 0.3 0.25 0.2 0.15";  // eleven
  int error = 0;
  Build(w, s, error);
  // The first Haude value completes the Hamon line, the fk line then completes
  // the Haude line, and the label of fk finds no number in the line after.
  EXPECT_EQ(error, 17);
  EXPECT_TRUE(Has(w.Console(), "fk - Coastfactor (WENDLING) for")) << w.Console();
  World w2(1, 1, 100, "twelve2");
  s.pec = "0.1 0.1 0.15 x";
  Build(w2, s, error);
  EXPECT_EQ(error, 45);
  EXPECT_TRUE(Has(w2.Console(), "values for the PEC-parameter for \nHAMON-evaporation")) << w2.Console();
}

TEST(EvapotranspirationSetup, OffModuleRegistersNothing) {
  World w(1, 1, 100, "off");
  const int before = w.Occupied();
  EtSection s;
  s.flow = 0;
  int error = 0;
  auto m = Build(w, s, error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(w.Occupied(), before);
  EXPECT_EQ(m->SetSolidSnowStorageGrid(w.zone), 0);
  EXPECT_EQ(m->LinkSoilStorage(), nullptr);
  // The per-step operations of a module that is off do nothing.
  m->PotentialEvapotranspiration(24, 1, 6, 2001);
  m->WriteStatistics();

  // The quadratic of the coefficients' root: two roots, a double root, none.
  double x1 = 0, x2 = 0;
  EXPECT_EQ(m->SolveQuadratic(-3, 2, x1, x2), 2);
  EXPECT_EQ(std::make_pair(x1, x2), std::make_pair(1.0, 2.0));
  EXPECT_EQ(m->SolveQuadratic(2, 1, x1, x2), 1);
  EXPECT_EQ(std::make_pair(x1, x2), std::make_pair(-1.0, -1.0));
  EXPECT_EQ(m->SolveQuadratic(0, 1, x1, x2), 0);
  EXPECT_EQ(x1, 0);
  EXPECT_EQ(m->SatVapPressure(0), 6.1078);
  // FAO-56 Example 3 (kPa): 3.075 at 24.5 degrees, 1.705 at 15 degrees.
  EXPECT_NEAR(m->SatVapPressure(24.5) / 10 / 3.075, 1, 0.001);
  EXPECT_NEAR(m->SatVapPressure(15) / 10 / 1.705, 1, 0.001);
  m->FreeMemory();
  EXPECT_EQ(w.Occupied(), before);
}

TEST(EvapotranspirationSetup, ResultGridsPerLayerAndTheirFileNames) {
  multilayer_landuse_entry table[2];
  table[0].code = 1;
  table[1].count = 2;
  World w(2, 2, 100, "layers");
  w.multilayer = table;
  ettest::AddPenmanInputs(w, 2);
  w.Add("net_radiation", 100);
  w.zone[2][2] = -9999;
  const int before = w.Occupied();
  EtSection s;
  s.etpName = "out/etp.grd";
  s.etpStat = "etp_stat.txt 0";
  s.cloudLine = "[snow_model]";
  int error = 0;
  auto m = Build(w, s, error);
  ASSERT_EQ(error, 0) << w.Console();
  EXPECT_EQ(m->GetLayerCount(), 2);
  EXPECT_EQ(m->GetUseNetRadiation(), 1);
  EXPECT_EQ(m->GetInputFlags(), 4 + 8 + 16 + 64 + 128);
  for (int l = 0; l <= 2; ++l) {
    const int p = m->GetPotTranspirationPosition(l);
    ASSERT_GT(p, 0);
    // Result grids start at 0 in the zone cells and at nodata outside.
    EXPECT_EQ(w.list[p].grid[1][1], 0.0);
    EXPECT_EQ(w.list[p].grid[2][2], -9999.0);
  }
  EXPECT_EQ(m->GetGridFileETP(0), "out/etp.grd");
  EXPECT_EQ(m->GetGridFileETP(2), "out/etp_Layer_2.grd");
  EXPECT_EQ(m->GetStatFileETP(1), "etp_stat_Layer_1.txt");
  EXPECT_EQ(w.list[w.Position("SSDTemp")].grid[1][1], 0.5);
  // Three grids per layer 0 ... 2 and six single grids.
  EXPECT_EQ(w.Occupied(), before + 9 + 6);
  m->FreeMemory();
  EXPECT_EQ(w.Occupied(), before);
}

TEST(EvapotranspirationSetup, InputsThatMethodsRequire) {
  const struct {
    int method;
    const char* temperature;
    bool landuse;
    int code;
    const char* text;
  } cases[] = {
      {3, "temperature", true, 46, "or global radiation  (RG, in Wh/m^2)"},  // Wendling without radiation
      {4, "temperature_14", true, 46, "air_humidity_14 or vapor_pressure_14 with temperature_14, else"},  // Haude
      {2, "temperature", false, 33, "landuse1"},  // the land-use grid of layer 1 is missing
  };
  for (const auto& k : cases) {
    World w(1, 1, 100, "inputs" + std::to_string(k.method));
    w.Add(k.temperature, 10);
    if (k.landuse) w.Add("landuse1", 1);
    EtSection s;
    s.method = k.method;
    int error = 0;
    Build(w, s, error);
    EXPECT_EQ(error, k.code) << k.method;
    EXPECT_TRUE(Has(w.Console(), k.text)) << w.Console();
  }
}

TEST(EvapotranspirationSetup, LakesAndPonds) {
  // Which grids exist and the init method: the code of InitLakes and its text.
  const struct {
    bool lake, pond;
    const char* method;
    int code;
    const char* text;
  } cases[] = {
      {false, false, "3", 0, "no LAKE-grid was found in evapotranspiration\nLake modelling is switched off"},
      {true, false, "3", 28, "LAKE-grid was found, but no POND-Grid."},
      {true, true, "3", 211, "Error in initialization method for [lake_model]"},
      {true, true, "2", 0, ""},
  };
  int i = 0;
  for (const auto& k : cases) {
    World w(1, 1, 100, "lake" + std::to_string(i++));
    Grid lakes = k.lake ? w.Add("lake_codes", 1) : nullptr;
    Grid top = k.pond ? w.Add("ponding_storage_top", 0) : nullptr;
    EtSection s;
    s.flow = 0;
    w.Write(s.Text() + "[lake_model]\n1   flow control\n" + k.method + "\n0.08\n0.001\n");
    int error = 0;
    auto m = ettest::Make<verdunstungsmodellklasse>(w, error);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(CodeOf([&] { m->InitLakes("[lake_model]"); }), k.code) << i;
    EXPECT_TRUE(Has(w.Console(), k.text)) << w.Console();
    if (k.code != 0) continue;
    EXPECT_EQ(m->GetLakeGrid(), lakes);
    if (k.lake) {
      EXPECT_EQ(m->GetLakeFlowControl(), 1);
      EXPECT_EQ(m->GetLakeInitMethod(), 2);
      EXPECT_EQ(m->GetPondingGrid(), top);
    }
  }
}
