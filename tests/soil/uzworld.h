// A small basin for the unsaturated zone: 2 x 4 cells with the subbasin codes
// 1 ... 8, one soil type of ten 0.1 m layers (van Genuchten loam), the grids
// the module binds, and a control file whose "[unsatzon_model]" section the
// test shapes line by line.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"
#include "tests/support/testutil.h"

namespace uztest {

constexpr int kRows = 2;
constexpr int kCols = 4;
constexpr int kLayers = 10;
constexpr double kThickness = 0.1;
constexpr double kElevation = 1000.0;
// van Genuchten parameters of every layer (alpha in 1/m).
constexpr double kThetaSat = 0.43;
constexpr double kThetaRes = 0.05;
constexpr double kAlpha = 3.6;
constexpr double kN = 1.56;

// Water content after van Genuchten at suction s (m), independent of the soil table.
inline double VanGenuchten(double s) {
  const double m = 1 - 1 / kN;
  return kThetaRes + (kThetaSat - kThetaRes) * std::pow(1 + std::pow(kAlpha * s, kN), -m);
}

// The object under test with its protected state opened for checks.
class UZ : public unsatzonmodellklasse {
 public:
  using unsatzonmodellklasse::unsatzonmodellklasse;
  Stack Theta() const { return theta; }
  Stack Geodetic() const { return geodetic_heads; }
  Stack Hydraulic() const { return hydraulic_heads; }
  Stack SoilTemperature() const { return Soil_Temperature_Stack; }
  Grid GwDistance() const { return groundwater_distance; }
  Grid GwLevel() const { return groundwater_level; }
  Grid ThetaInGwLevel() const { return Theta_in_GWLEVEL; }
  Grid LowerBoundary() const { return T_Lower_Boundary_Condition; }
  Grid ThawDepth() const { return ThawDepthTMod; }
  Grid DrainageLevel() const { return drainage_level; }
  const std::string& StorageFile() const { return storage_file_name; }
  int ControlRow() const { return control_row; }
  double ReducedK() const { return reduced_k_sat; }
  // Subbasin routing and coupling.
  void AddStep() { ZoneStatistics(); }
  Grid Direct() const { return directflow; }
  Grid Inter() const { return interflow; }
  Grid Base() const { return baseflow; }
  Grid External() const { return GWTableExtern; }
  Grid BalanceGrid() const { return Balance; }
  Grid MaxPumping() const { return Max_Pumping; }
  double StorageQD(int s) const { return QDd[Flat(0, s)]; }
  double StorageQI(int s) const { return QIi[Flat(0, s)]; }
  double RunoffQg(int s) const { return Qg[Flat(0, s)]; }
  double Runoff(int t, int s) const { return Qg[Flat(t, s)]; }
  double Zones(int s) const { return maxzeit[s]; }
  const std::vector<ZoneRecord>& DirectZones(int s) const { return zoneFZT_QD[Flat(0, s)]; }
  void WriteState() { WriteStorageFile(false); }
  void ReadState() { ReadStorageFile(); }
  double Heat(int k) const {
    const double* v[] = {&dTModLowBoundBase, &dTModLapseRate, &dTModNFactorThawing};
    return *v[k];
  }
};

// The lines of "[unsatzon_model]" after the time interval, each editable.
struct Section {
  std::string method = "2";
  std::string interaction = "0";
  std::string pond = "0";
  std::string drainage = "0";
  std::string clay = "0";
  std::string kclay = "1e-8";
  std::string iniGw = "2";
  std::string control = "0 0";
  std::string codes = "1 8";
  std::vector<std::string> parameters = {"2 2", "0.0005 0.0005", "0.1 0.1", "4 4", "1 1", "0 0"};
  std::string readParameter = "0";
  std::string storageFile = "storage.ftz";
  std::string methodThree = "60\nsubsteps.stat 0\nsubsteps.grd\n0\n";
  std::string extra;  // further sections
  // Output file names by position (default "out<k>.grd"), write code 0.
  std::map<int, std::string> outputs;

  std::string Text() const {
    std::ostringstream s;
    s << "[unsatzon_model]\n1\n60\n"
      << method << " methode\n"
      << interaction << "\n"
      << pond << "\n"
      << drainage << "\n"
      << clay << "\n"
      << kclay << "\n"
      << iniGw << "\n";
    for (int k = 0; k < 16; ++k) s << "stat" << k << ".txt 0\n";
    for (int k = 0; k < 24; ++k) {
      auto it = outputs.find(k);
      s << (it != outputs.end() ? it->second : "out" + std::to_string(k) + ".grd") << "\n0\n";
    }
    s << control << "\n";
    for (const char* p : {"qbottom.txt", "theta.txt", "hhyd.txt", "other.txt", "etr.txt", "interflow.txt"})
      s << p << "\n";
    s << codes << "\n";
    for (const std::string& p : parameters) s << p << "\n";
    s << readParameter << "\n" << storageFile << "\n";
    if (method == "3") s << methodThree;
    s << "\n" << extra;
    return s.str();
  }
};

inline std::string HeatSection(const std::string& flow = "1") {
  std::ostringstream s;
  s << "[heat_transfer]\n" << flow << "\n1\n0\n0\n";
  const double values[19] = {12.0, -0.007, 800,  1500, 0.58, 1e-10, 0.5562, 2.33, 4187, 1940,
                             2090, 334000, 1000, 1.22, 0.5,  60,    1800,   1.0,  0.8};
  for (double v : values) s << v << "\n";
  s << "temper.txt\ntemper.stat 0\ntemper.stack\n0\nthaw.grd\n0\n\n";
  return s.str();
}

class World : public ::testing::Test {
 protected:
  // Each test program has a directory of its own: ctest runs them side by side
  // in one working directory.
  World()
      : dir("uzworld_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name())),
        diag(dir / "d.xml", 4, &console),
        memory(&diag),
        list(kGridListSize) {
    Reshape(kLayers, kThickness, 1e-5);

    Add("zonegrid_soilmodel", [](int r, int c) { return (r - 1) * kCols + c; });
    Add("elevation", [](int, int) { return kElevation; });
    Add("soil_types", [](int, int) { return 1.0; });
    for (const char* name :
         {"landuse1", "root_depth1", "vegetation_coverage_degree1", "leaf_area_index1", "SurfaceCanopyResistance1",
          "SurfaceIntercepResistance1", "RoughnessLength1", "pot_transpiration0", "pot_transpiration1",
          "real_transpiration0", "real_transpiration1", "SurfaceEvaporationResistance", "albedo",
          "potential_evaporation", "real_evaporation", "slope_angle"})
      Add(name, [](int, int) { return 1.0; });

    args.zoneIndex = zoneindex;
    args.zoneRecords = zonerecords;
    args.zoneCount = 1;
    args.maxZoneCode = 1;
    args.gridlist = list.data();
    args.ncols = kCols;
    args.nrows = kRows;
    args.firstRow = 1;
    args.lastRow = kRows;
    args.cellsize = 100;
    args.soilTable = soils.get();
    args.object.DefaultOutputDirectory = dir.path() + "/";
    args.object.InitialStateDirectory = dir.path() + "/";
  }
  ~World() override {
    uz.reset();
    for (Grid g : grids) memory.FreeMatrix(g, 1, kRows, 1, kCols);
  }

  // One soil type of equal layers with the van Genuchten loam above.
  void Reshape(int layers, double thickness, double ksat) {
    soils = std::make_unique<soil_table_entry[]>(2);
    soils[0].code = 1;
    soil_table_entry& e = soils[1];
    e.code = 1;
    e.AllocLayerArrays(layers);
    e.layers = layers;
    for (int L = 0; L <= layers; ++L) {
      e.thickness[L] = thickness;
      e.theta_sat[L] = kThetaSat;
      e.theta_res[L] = kThetaRes;
      e.alpha[L] = kAlpha;
      e.Par_n[L] = kN;
      e.Par_m[L] = 1 - 1 / kN;
      e.Par_tau[L] = 0.5;
      e.ksat[L] = ksat;
      e.DryDensity[L] = -1;
      e.DryHeatCapacity[L] = -1;
      e.DryThermalConduct[L] = 0;
      e.AllocHydraulicTables(L);
    }
    e.TotalDepth = layers * thickness;
    args.soilTable = soils.get();
  }

  template <typename F>
  Grid Add(const std::string& name, F value) {
    Grid g = memory.matrix(1, kRows, 1, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) g[r][c] = value(r, c);
    const int p = next++;
    list[p].grid = g;
    list[p].filename = name + ".asc";
    list[p].shortname = name;
    list[p].registered = true;
    list[p].firstrow = 1;
    list[p].lastrow = kRows;
    grids.push_back(g);
    return g;
  }

  // Constructs the module in the test directory (its log goes there); returns the error code.
  int Make(const Section& section, IrrigationTable* irrigation = nullptr) {
    uz.reset();
    fluvextest::WriteFile(dir / "run.cntrl", section.Text());
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return -1;
    if (chdir(dir.path().c_str()) != 0) return -1;
    int error = 0;
    try {
      uz = std::make_unique<UZ>(error, &diag, nullptr, 0, dir / "run.cntrl", args, irrigation, subSteps);
    } catch (int code) {
      error = code;
    }
    if (chdir(cwd) != 0) return -1;
    return error;
  }
  bool Said(const std::string& text) const { return console.str().find(text) != std::string::npos; }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  std::vector<GridListEntry> list;
  std::unique_ptr<soil_table_entry[]> soils;
  std::vector<Grid> grids;
  int next = 1;
  int zoneindex[2] = {0, 1};
  ZoneRecord zonerecords[2] = {{0, 0, 1, 1, 0}, {0, 0, 1, 1, 0}};
  SubModelArgs args;
  std::unique_ptr<UZ> uz;
  int subSteps = 1;  // calls of run per time step
};

}  // namespace uztest
