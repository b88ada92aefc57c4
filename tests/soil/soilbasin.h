// A small basin for the unsaturated zone in the fluvex program: 3 x 2 cells
// of two subbasins, constant grids in place of the modules that feed the
// soil, rain from a station file; tests change its public settings.
#pragma once

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/testutil.h"

namespace soiltest {

using fluvextest::ReadFile;
using fluvextest::TempDir;
using fluvextest::WriteFile;

// A 3 x 2 basin of two subbasins; the grids the evapotranspiration would
// hand the soil are constant grids of the control file (no transpiration and
// no evaporation unless a test sets them), the rain 0.3 mm per hour unless a
// test gives its own series. Tests change the public settings and call Write().
class SoilBasin {
 public:
  // pad: columns outside the basin added on the right (the strips of several instances need room).
  explicit SoilBasin(const std::string& name, int days = 365, int pad = 0) : dir(name), days(days), pad(pad) {
    WriteGrid("zones.asc", "-9999 1 1 2 -9999\n-9999 1 2 2 -9999\n");
    WriteFile(dir / "dem.asc", Header() + Pad("330 340 350 360 370\n300 310 320 330 340\n305 315 325 335 345\n"
                                              "290 300 310 320 330\n",
                                              "400"));
    WriteFile(dir / "landuse.asc", Header() + Pad("1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n", "1"));
    WriteFile(dir / "soil.asc", Header() + Pad("1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n", "1"));
    std::filesystem::create_directories(dir / "out");
    // Equal run times of all instances: the same domain decomposition in every run.
    WriteFile(dir / "MpiSpeedFactor.dat", "1\n");
    Write();
  }

  std::string Header() const {
    return "ncols " + std::to_string(5 + pad) +
           "\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";
  }
  // Rows with the padding columns appended.
  std::string Pad(const std::string& rows, const std::string& fill) const {
    std::string out;
    std::istringstream in(rows);
    std::string line;
    while (std::getline(in, line)) {
      out += line;
      for (int k = 0; k < pad; ++k) out += " " + fill;
      out += "\n";
    }
    return out;
  }
  // A grid of the basin's two inner rows; a ring of cells outside the basin gives every basin cell its slope.
  void WriteGrid(const std::string& file, const std::string& innerRows) const {
    const std::string ring = "-9999 -9999 -9999 -9999 -9999\n";
    WriteFile(dir / file, Header() + Pad(ring + innerRows + ring, "-9999"));
  }

  // Writes the station file (from 1 January of 2001, the first day of the
  // run up to its last) and the control file.
  void Write() {
    std::ostringstream stations;
    stations << "hourly rain\nYY MM DD HH 100 300\nYY MM DD HH 500 2500\nYY MM DD HH 1500 500\nYY MM DD HH a b\n";
    const int last = firstDay + days - 1;
    for (int d = 1, m = 1, md = 1; d <= last; ++d) {
      double day = 0;
      for (int h = 1; h <= 24; ++h) {
        const double p = rain((d - 1) * 24 + h - 1);
        day += p;
        if (stepMinutes == 60) stations << "2001 " << m << " " << md << " " << h << " " << p << " " << p << "\n";
      }
      if (stepMinutes != 60) stations << "2001 " << m << " " << md << " 24 " << day << " " << day << "\n";
      if (++md > kLengths[m - 1]) md = 1, ++m;
    }
    WriteFile(dir / "rain.dat", stations.str());
    if (temperature) {
      std::ostringstream air;
      air << "hourly air temperature\nYY MM DD HH 100 300\nYY MM DD HH 500 2500\nYY MM DD HH 1500 500\n"
             "YY MM DD HH a b\n";
      for (int d = 1, m = 1, md = 1; d <= last; ++d) {
        for (int h = 1; h <= 24; ++h) {
          const double t = temperature((d - 1) * 24 + h - 1);
          air << "2001 " << m << " " << md << " " << h << " " << t << " " << t << "\n";
        }
        if (++md > kLengths[m - 1]) md = 1, ++m;
      }
      WriteFile(dir / "air.dat", air.str());
    }
    WriteFile(dir / "control.txt", Control());
  }

  // Day and month of the day of the year 2001 (no leap year).
  static std::string Date(int dayOfYear) {
    int month = 1, day = dayOfYear;
    while (day > kLengths[month - 1]) day -= kLengths[month++ - 1];
    return std::to_string(day) + "\n" + std::to_string(month) + "\n2001\n";
  }

  std::string Unsatzon() const {
    std::ostringstream s;
    s << "[unsatzon_model]\n1\n" << stepMinutes << "\n2 method\n"
      << interaction << "\n"
      << pond << " pond\n"
      << drainage << " drainage\n0 clay\n1e-8\n"
      << iniGw << " initial groundwater depth\n";
    // Statistics in reading order: QD, QI, QB and Qg every step unless a test sets others.
    const char* stats[16] = {"qdrain", "gwstand", "gwn", "sb1", "sb2",  "root", "infex", "pond",
                             "qd",     "qi",      "qb",  "qg",  "gwin", "gwex", "macro", "infilt"};
    for (int k = 0; k < 16; ++k) {
      const auto it = statCodes.find(k);
      s << stats[k] << ".stat " << (it != statCodes.end() ? it->second : k >= 8 && k <= 11 ? 2001 : 0) << "\n";
    }
    for (int k = 0; k < 24; ++k) {
      const auto it = outputs.find(k);
      if (it != outputs.end())
        s << it->second.first << "\n" << it->second.second << "\n";
      else
        s << "grid" << k << ".asc\n0\n";
    }
    s << control << "\nqbottom.txt\ntheta.txt\nhhyd.txt\nother.txt\netr.txt\ninterflow.txt\n";
    s << "1 2 codes\n"
      << kelsqd << " kelsqd (h)\n"
      << kelsqi << " kelsqi (h)\n"
      << density << " channel density\n"
      << kelsqlat << " kelsqlat\n"
      << q0 << " Q0 (mm per step)\n"
      << "0 0 snow runoff fraction\n"
      << readState << " read state\nstorage.ftz\n\n";
    return s.str();
  }

  std::string Control() const {
    std::ostringstream c;
    c << "[output_interval]\n24\n0\n0\n0\n" << outputKeys << "DefaultOutputDirectory = " << outputDir << "\n";
    if (!stateDir.empty()) c << "InitialStateDirectory = " << stateDir << "\n";
    c << "\n[output_list]\n0\n\n[coordinates]\n47.5\n8.5\n15\n0\n\n"
      << (temperature ? "[meteo_data_count]\n2\n\n[meteo_names]\ntemperature\nprecipitation\n\n"
                      : "[meteo_data_count]\n1\n\n[meteo_names]\nprecipitation\n\n")
      << "[model_time]\n" << (stepMinutes == 60 ? 1 : 24) << "\n"
      << Date(firstDay) << "24\n"
      << Date(firstDay + days - 1) << "\n"
      << "[zone_grid]\nzones.asc\n\n[elevation_model]\ndem.asc\n\n"
      << "[standard_grids]\n"
      << 4 + extraGrids.size() << "\ndem.asc elevation fillcode = 0 readcode = 1\n"
      << "zones.asc zonegrid_soilmodel fillcode = 0 readcode = 1\n"
      << "landuse.asc landuse fillcode = 0 readcode = 1\nsoil.asc soil_types fillcode = 0 readcode = 1\n";
    for (const auto& [file, name] : extraGrids) c << file << " " << name << " fillcode = 0 readcode = 1\n";
    c << "\n";
    struct Constant {
      const char* name;
      double value;
    };
    const Constant constants[] = {{"landuse1", 1},
                                  {"root_depth1", 0.3},
                                  {"vegetation_coverage_degree1", 0.8},
                                  {"leaf_area_index1", 2},
                                  {"SurfaceCanopyResistance1", 60},
                                  {"SurfaceIntercepResistance1", 100},
                                  {"RoughnessLength1", 0.05},
                                  {"pot_transpiration0", 0},
                                  {"pot_transpiration1", transpiration},
                                  {"real_transpiration0", 0},
                                  {"real_transpiration1", 0},
                                  {"SurfaceEvaporationResistance", 100},
                                  {"potential_evaporation", evaporation},
                                  {"real_evaporation", 0},
                                  {"albedo", 0.2}};
    c << "[variable_grids]\n" << std::size(constants) + extraConstants.size() << "\n";
    for (const Constant& k : constants) {
      const auto code = writeCodes.find(k.name);
      c << k.name << ".asc " << k.name << " 0 " << k.value << "\n"
        << (code != writeCodes.end() ? code->second : 0) << "\n0\n";
    }
    for (const auto& [name, value] : extraConstants) {
      const auto code = writeCodes.find(name);
      c << name << ".asc " << name << " 0 " << value << "\n"
        << (code != writeCodes.end() ? code->second : 0) << "\n0\n";
    }
    if (temperature)
      c << "\n[temperature]\n1   method\nair.dat\nnone\nairgrid\n0   write code\n1.0\nair.stat 0\n"
        << "9999\n2.0\n0.5\n100000\n0\n1\n-50\n50\n-50\n50\n0\n\n";
    c << "\n[precipitation]\n1   method\nrain.dat\nnone\nraingrid\n0   write code\n1.0\nrain.stat 0\n"
      << "9999\n2.0\n0.5\n100000\n0\n1\n-50\n50\n-50\n50\n0\n\n";
    if (substeps > 1) c << "\n[soil_surface_groundwater_substeps]\n" << substeps << "\n";
    c << "\n[region_transition_distance]\n0\n\n[substance_transport]\n0\n\n"
      << "[landuse_table]\n1\n1 grassland method = VariableDayCount {\n"
      << "  RootDist = 1.0; TReduWet = 0.95; LimitReduWet = 0.5; HReduDry = 3.45; IntercepCap = 0.3;\n"
      << "  JulDays = 15 105 135 258 288;\n  Albedo = 0.20 0.20 0.20 0.20 0.20;  rsc = 80 60 60 60 80;\n"
      << "  LAI = 1.0 2.0 4.0 4.0 1.0;  Z0 = 0.02 0.05 0.10 0.10 0.02;  VCF = 0.8 0.9 0.95 0.95 0.8;\n"
      << "  RootDepth = " << rootDepth << ";  AltDep = 0 0 0 0 0;\n}\n\n"
      << "[soil_table]\n1\n1 loam method = MultipleHorizons {\n  layers = 3 4;\n"
      << "  ksat = " << ksat << ";  theta_sat = " << thetaSat << ";  theta_res = " << thetaRes
      << ";  ksat_topmodel = 5e-5;\n"
      << "  alpha = " << alpha << ";  Par_n = " << parN << ";  thickness = " << thickness << ";  suction = 250;\n"
      << soilExtra << "}\n\n"
      << "[precipitation_correction]\n0\n0\n1\n0\n1\n0\n\n";
    for (const char* module : {"RegionalSuperposition", "radiation_correction", "evapotranspiration", "snow_model",
                               "interception_model", "SiltingUpModel"})
      c << "[" << module << "]\n0\n" << stepMinutes << "\n\n";
    c << Unsatzon() << sections;
    for (const char* module :
         {"SurfaceRoutingModel", "irrigation", "groundwater_flow", "routing_model", "special_output"}) {
      const auto text = modules.find(module);
      if (text != modules.end())
        c << text->second;
      else
        c << "[" << module << "]\n0\n" << stepMinutes << "\n\n";
    }
    return c.str();
  }

  // Columns of the data lines of a statistics file (after its three header lines).
  std::vector<std::vector<double>> Stat(const std::string& name) const { return Table(outputDir + name, 3); }
  // Columns of the lines of a text file after its first skip lines.
  std::vector<std::vector<double>> Table(const std::string& name, int skip) const {
    std::istringstream in(ReadFile(dir / name));
    std::vector<std::vector<double>> rows;
    std::string line;
    for (int i = 0; std::getline(in, line); ++i) {
      if (i < skip || line.empty()) continue;
      std::istringstream words(line);
      std::vector<double> row;
      double v;
      while (words >> v) row.push_back(v);
      rows.push_back(row);
    }
    return rows;
  }
  // Values of an ASCII grid written by the run, [row][column] from 1.
  std::vector<std::vector<double>> Grid(const std::string& name) const {
    std::istringstream in(ReadFile(dir / (outputDir + name)));
    std::string word;
    for (int k = 0; k < 12; ++k) in >> word;  // six header lines of key and value
    std::vector<std::vector<double>> g(5, std::vector<double>(6, -9999.0));
    for (int r = 1; r <= 4; ++r)
      for (int c = 1; c <= 5 + pad; ++c) {
        double v;
        in >> v;
        if (c <= 5) g[r][c] = v;
      }
    return g;
  }

  // A value the instance log holds after text.
  double Logged(const std::string& text) const {
    const std::string log = ReadFile(dir / "modell_0.log");
    const size_t at = log.find(text);
    return at == std::string::npos ? NAN : std::stod(log.substr(at + text.size()));
  }

  TempDir dir;
  int days;
  int pad;
  int firstDay = 1;                                             // day of the year 2001 of the first step
  std::function<double(int)> rain = [](int) { return 0.3; };    // mm in hour k of the year (from 0)
  std::function<double(int)> temperature;                       // air (degrees), the first station input when set
  std::map<int, int> statCodes;                                 // statistics line -> code
  std::map<int, std::pair<std::string, int>> outputs;           // output line -> file name, write code
  std::vector<std::pair<std::string, std::string>> extraGrids;  // file, grid name
  std::string control = "0 0";
  std::string kelsqd = "0 0", kelsqi = "0 0";
  std::string readState = "0";
  std::string outputDir = "out/", stateDir;
  std::string outputKeys = "WriteAsciiGrids = 1\n";
  double transpiration = 0, evaporation = 0;  // mm per step
  std::string rootDepth = "0.2 0.3 0.4 0.4 0.2";  // m, of the land use at its five days of the year
  // Lines of "[unsatzon_model]", the soil table, further sections and grids.
  std::string interaction = "0", pond = "0", drainage = "0", iniGw = "1.5";
  std::string density = "0.5 0.5", kelsqlat = "3 3", q0 = "0.01 0.02";
  std::string ksat = "5e-6 1e-6";
  std::string thetaSat = "0.45 0.40", thetaRes = "0.05 0.05", alpha = "2.0 1.5", parN = "1.45 1.35",
              thickness = "0.1 0.3";
  std::string soilExtra;                                       // items of the soil block
  std::string sections;                                        // after "[unsatzon_model]"
  std::map<std::string, std::string> modules;                  // a module's section in place of "off"
  std::vector<std::pair<std::string, double>> extraConstants;  // further constant grids
  std::map<std::string, int> writeCodes;                       // write codes of constant grids
  int substeps = 1;
  int stepMinutes = 60;  // 60, or 1440: steps of a day, the rain of each day summed
  static constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
};

}  // namespace soiltest
