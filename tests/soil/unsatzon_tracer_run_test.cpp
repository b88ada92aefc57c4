// The unsaturated zone carries a tracer in the fluvex program: its
// statistics file and control-point file get their headers and one row per
// step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/testutil.h"

namespace {

using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::TempDir;
using fluvextest::WriteFile;

// A 3 x 2 basin of two subbasins; the grids the evapotranspiration would
// hand the soil are constant grids of the control file (no transpiration and
// no evaporation), the rain 0.3 mm per hour.
class TracerBasin {
 public:
  explicit TracerBasin(const std::string& name, int days = 365) : dir(name) {
    // A ring of cells outside the basin gives every basin cell its slope.
    const std::string header = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";
    const std::string ring = "-9999 -9999 -9999 -9999 -9999\n";
    WriteFile(dir / "zones.asc", header + ring + "-9999 1 1 2 -9999\n-9999 1 2 2 -9999\n" + ring);
    WriteFile(dir / "dem.asc", header +
                                   "330 340 350 360 370\n300 310 320 330 340\n305 315 325 335 345\n"
                                   "290 300 310 320 330\n");
    WriteFile(dir / "landuse.asc", header + "1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n");
    WriteFile(dir / "soil.asc", header + "1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n");
    std::filesystem::create_directories(dir / "out");
    // Rain from two stations, 0.3 mm in every hour of the run.
    std::ostringstream stations;
    stations << "hourly rain\nYY MM DD HH 100 300\nYY MM DD HH 500 2500\nYY MM DD HH 1500 500\nYY MM DD HH a b\n";
    const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int d = 0, m = 1, md = 1; d < days; ++d) {
      for (int h = 1; h <= 24; ++h) stations << "2001 " << m << " " << md << " " << h << " 0.3 0.3\n";
      if (++md > lengths[m - 1]) md = 1, ++m;
    }
    WriteFile(dir / "rain.dat", stations.str());
    // 2001 is no leap year: end on the day of the year `days`.
    int month = 1, day = days;
    while (day > lengths[month - 1]) day -= lengths[month++ - 1];
    end = std::to_string(day) + "\n" + std::to_string(month) + "\n2001\n";
    WriteFile(dir / "control.txt", Control());
  }

  std::string Unsatzon() const {
    std::ostringstream s;
    s << "[unsatzon_model]\n1\n60\n2 method\n0\n0 pond\n0 drainage\n0 clay\n1e-8\n1.5 initial groundwater depth\n";
    // Statistics in reading order: QD, QI, QB and Qg every step.
    const char* stats[16] = {"qdrain", "gwstand", "gwn", "sb1", "sb2",  "root", "infex", "pond",
                             "qd",     "qi",      "qb",  "qg",  "gwin", "gwex", "macro", "infilt"};
    for (int k = 0; k < 16; ++k) s << stats[k] << ".stat " << (k >= 8 && k <= 11 ? 2001 : 0) << "\n";
    for (int k = 0; k < 24; ++k) s << "grid" << k << ".asc\n0\n";
    s << "2 2\nqbottom.txt\ntheta.txt\nhhyd.txt\nother.txt\netr.txt\ninterflow.txt\n";
    s << "1 2 codes\n"
      << "0 0 kelsqd (h)\n"
      << "0 0 kelsqi (h)\n"
      << "0.5 0.5 channel density\n"
      << "3 3 kelsqlat\n"
      << "0.01 0.02 Q0 (mm per step)\n"
      << "0 0 snow runoff fraction\n"
      << "0 read state\nstorage.ftz\n\n";
    return s.str();
  }

  std::string Control() const {
    std::ostringstream c;
    c << "[output_interval]\n24\n0\n0\n0\nWriteAsciiGrids = 1\nDefaultOutputDirectory = out/\n\n"
      << "[output_list]\n0\n\n[coordinates]\n47.5\n8.5\n15\n0\n\n"
      << "[meteo_data_count]\n1\n\n[meteo_names]\nprecipitation\n\n"
      << "[model_time]\n1\n1\n1\n2001\n24\n"
      << end << "\n"
      << "[zone_grid]\nzones.asc\n\n[elevation_model]\ndem.asc\n\n"
      << "[standard_grids]\n4\ndem.asc elevation fillcode = 0 readcode = 1\n"
      << "zones.asc zonegrid_soilmodel fillcode = 0 readcode = 1\n"
      << "landuse.asc landuse fillcode = 0 readcode = 1\nsoil.asc soil_types fillcode = 0 readcode = 1\n\n";
    struct Constant {
      const char* name;
      double value;
    };
    const Constant constants[] = {{"concflux_tracer_1_input", 7.5},
                                  {"landuse1", 1},
                                  {"root_depth1", 0.3},
                                  {"vegetation_coverage_degree1", 0.8},
                                  {"leaf_area_index1", 2},
                                  {"SurfaceCanopyResistance1", 60},
                                  {"SurfaceIntercepResistance1", 100},
                                  {"RoughnessLength1", 0.05},
                                  {"pot_transpiration0", 0},
                                  {"pot_transpiration1", 0},
                                  {"real_transpiration0", 0},
                                  {"real_transpiration1", 0},
                                  {"SurfaceEvaporationResistance", 100},
                                  {"potential_evaporation", 0},
                                  {"real_evaporation", 0},
                                  {"albedo", 0.2}};
    c << "[variable_grids]\n" << std::size(constants) << "\n";
    for (const Constant& k : constants) c << k.name << ".asc " << k.name << " 0 " << k.value << "\n0\n0\n";
    c << "\n[precipitation]\n1   method\nrain.dat\nnone\nraingrid\n0   write code\n1.0\nrain.stat 0\n"
      << "9999\n2.0\n0.5\n100000\n0\n1\n-50\n50\n-50\n50\n0\n\n";
    c << "\n[region_transition_distance]\n0\n\n[substance_transport]\n1\n"
      << "Nitrate non_radioactive non_evaporating min_conc = 0 max_conc = 50 mg/l soilini = 2.5 gwini = 1.5 "
      << "statcode = 2001 gridcode = 0 path = t_ statext = sta gridext = grd\n\n"
      << "[landuse_table]\n1\n1 grassland method = VariableDayCount {\n"
      << "  RootDist = 1.0; TReduWet = 0.95; LimitReduWet = 0.5; HReduDry = 3.45; IntercepCap = 0.3;\n"
      << "  JulDays = 15 105 135 258 288;\n  Albedo = 0.20 0.20 0.20 0.20 0.20;  rsc = 80 60 60 60 80;\n"
      << "  LAI = 1.0 2.0 4.0 4.0 1.0;  Z0 = 0.02 0.05 0.10 0.10 0.02;  VCF = 0.8 0.9 0.95 0.95 0.8;\n"
      << "  RootDepth = 0.2 0.3 0.4 0.4 0.2;  AltDep = 0 0 0 0 0;\n}\n\n"
      << "[soil_table]\n1\n1 loam method = MultipleHorizons {\n  layers = 3 4;\n"
      << "  ksat = 5e-6 1e-6;  theta_sat = 0.45 0.40;  theta_res = 0.05 0.05;  ksat_topmodel = 5e-5;\n"
      << "  alpha = 2.0 1.5;  Par_n = 1.45 1.35;  thickness = 0.1 0.3;  suction = 250;\n}\n\n"
      << "[precipitation_correction]\n0\n0\n1\n0\n1\n0\n\n";
    for (const char* module : {"RegionalSuperposition", "radiation_correction", "evapotranspiration", "snow_model",
                               "interception_model", "SiltingUpModel"})
      c << "[" << module << "]\n0\n60\n\n";
    c << Unsatzon();
    for (const char* module :
         {"SurfaceRoutingModel", "irrigation", "groundwater_flow", "routing_model", "special_output"})
      c << "[" << module << "]\n0\n60\n\n";
    return c.str();
  }

  // Columns of the data lines of a statistics file (after its three header lines).
  std::vector<std::vector<double>> Stat(const std::string& name) const {
    std::istringstream in(ReadFile(dir / ("out/" + name)));
    std::vector<std::vector<double>> rows;
    std::string line;
    for (int i = 0; std::getline(in, line); ++i) {
      if (i < 3 || line.empty()) continue;
      std::istringstream words(line);
      std::vector<double> row;
      double v;
      while (words >> v) row.push_back(v);
      rows.push_back(row);
    }
    return rows;
  }

  TempDir dir;
  std::string end;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(TracerSoilRun, StatisticsAndPointFilesGetTheirHeadersAndOneRowPerStep) {
  setenv("OMP_NUM_THREADS", "1", 1);
  TracerBasin one("tracerrun1", 3);
  const auto r1 = RunFluvex("control.txt", one.dir.path());
  ASSERT_EQ(r1.exitCode, 0) << r1.output.substr(r1.output.size() > 6000 ? r1.output.size() - 6000 : 0);

  // Subbasin concentrations: rain at 7.5 mixing with soil water of 2.5 and groundwater of 1.5.
  const auto stat = one.Stat("t_nitunsat.sta");
  ASSERT_EQ(stat.size(), 72u);
  const std::string head = ReadFile(one.dir / "out/t_nitunsat.sta");
  EXPECT_NE(head.find("tracer concentration for tracer 1 (nit) "), std::string::npos) << head.substr(0, 400);
  for (const auto& row : stat) {
    ASSERT_EQ(row.size(), 7u);
    for (int s = 4; s <= 5; ++s) {
      EXPECT_GE(row[s], 1.5 - 1e-9);
      EXPECT_LE(row[s], 7.5 + 1e-9);
    }
  }

  // The control point's file: header, then the date and one concentration per layer.
  const auto point = Lines(ReadFile(one.dir / "t_nitpoint.sta"));
  ASSERT_EQ(point.size(), 73u);
  EXPECT_EQ(point[0].rfind("YY\tMM\tDD\tHH\ttracer concentration for tracer 1 (nit) [2][2][1]\t[2]\t", 0), 0u)
      << point[0];
  std::istringstream first(point[1]);
  std::vector<double> v;
  for (double x; first >> x;) v.push_back(x);
  ASSERT_GE(v.size(), 6u);
  EXPECT_EQ(v[0], 2001);
  EXPECT_EQ(v[1], 1);
  EXPECT_EQ(v[2], 1);
  for (size_t k = 4; k < v.size(); ++k) {
    EXPECT_GE(v[k], 1.5 - 1e-9);
    EXPECT_LE(v[k], 7.5 + 1e-9);
  }
}

}  // namespace
