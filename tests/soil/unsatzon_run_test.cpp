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

#include "tests/support/testutil.h"

namespace {

using fluvextest::ReadFile;
using fluvextest::RunFluvex;
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
      for (int h = 1; h <= 24; ++h) {
        const double p = rain((d - 1) * 24 + h - 1);
        stations << "2001 " << m << " " << md << " " << h << " " << p << " " << p << "\n";
      }
      if (++md > kLengths[m - 1]) md = 1, ++m;
    }
    WriteFile(dir / "rain.dat", stations.str());
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
    s << "[unsatzon_model]\n1\n60\n2 method\n0\n0 pond\n0 drainage\n0 clay\n1e-8\n1.5 initial groundwater depth\n";
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
      << "0.5 0.5 channel density\n"
      << "3 3 kelsqlat\n"
      << "0.01 0.02 Q0 (mm per step)\n"
      << "0 0 snow runoff fraction\n"
      << readState << " read state\nstorage.ftz\n\n";
    return s.str();
  }

  std::string Control() const {
    std::ostringstream c;
    c << "[output_interval]\n24\n0\n0\n0\n" << outputKeys << "DefaultOutputDirectory = " << outputDir << "\n";
    if (!stateDir.empty()) c << "InitialStateDirectory = " << stateDir << "\n";
    c << "\n[output_list]\n0\n\n[coordinates]\n47.5\n8.5\n15\n0\n\n"
      << "[meteo_data_count]\n1\n\n[meteo_names]\nprecipitation\n\n"
      << "[model_time]\n1\n"
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
    c << "[variable_grids]\n" << std::size(constants) << "\n";
    for (const Constant& k : constants) c << k.name << ".asc " << k.name << " 0 " << k.value << "\n0\n0\n";
    c << "\n[precipitation]\n1   method\nrain.dat\nnone\nraingrid\n0   write code\n1.0\nrain.stat 0\n"
      << "9999\n2.0\n0.5\n100000\n0\n1\n-50\n50\n-50\n50\n0\n\n";
    c << "\n[region_transition_distance]\n0\n\n[substance_transport]\n0\n\n"
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
  std::map<int, int> statCodes;                                 // statistics line -> code
  std::map<int, std::pair<std::string, int>> outputs;           // output line -> file name, write code
  std::vector<std::pair<std::string, std::string>> extraGrids;  // file, grid name
  std::string control = "0 0";
  std::string kelsqd = "0 0", kelsqi = "0 0";
  std::string readState = "0";
  std::string outputDir = "out/", stateDir;
  std::string outputKeys = "WriteAsciiGrids = 1\n";
  double transpiration = 0, evaporation = 0;  // mm per step
  static constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
};

TEST(SoilRun, AYearOfRainLeavesTheSubbasinsAsRunoffOrStaysInTheSoil) {
  SoilBasin basin("soilrun");
  // Six cells: one thread (more only wait for each other).
  setenv("OMP_NUM_THREADS", "1", 1);
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);

  const auto qg = basin.Stat("qg.stat"), qd = basin.Stat("qd.stat"), qi = basin.Stat("qi.stat"),
             qb = basin.Stat("qb.stat");
  ASSERT_EQ(qg.size(), 8760u) << ReadFile(basin.dir / "out/qg.stat").substr(0, 600);
  ASSERT_EQ(qd.size(), qg.size());
  double runoff = 0, interflow = 0;  // basin means, mm
  for (size_t k = 0; k < qg.size(); ++k) {
    ASSERT_EQ(qg[k].size(), 7u);  // date, two subbasins, the basin mean
    for (int s = 4; s <= 6; ++s) {
      EXPECT_GE(qg[k][s], 0.0);
      EXPECT_NEAR(qg[k][s], qd[k][s] + qi[k][s] + qb[k][s], 3e-6) << k;
    }
    runoff += qg[k][6];
    interflow += qi[k][6];
  }
  EXPECT_GT(interflow, 0.1);  // the slopes of the basin give interflow
  // The rain of the year: runoff plus the change of the soil water (m^3/m^2 in the log).
  const double start = basin.Logged("mean soil water content for all cells at model-start: ");
  const double end = basin.Logged("mean soil water content for all cells at model-end: ");
  EXPECT_NEAR(0.3 * 8760, runoff + 1000 * (end - start), 0.05) << runoff << " " << start << " " << end;
  // The state section opens the state file of a run without discharge routing.
  const std::string state = ReadFile(basin.dir / "out/storage.ftz_0");
  EXPECT_EQ(state.rfind("[unsatzon_model]\n2 (number of subasins)\n1\t2\t(code)\n", 0), 0u) << state;
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
  // (3 x 0.1 m at 0.45 and 4 x 0.3 m at 0.40) under the glacier shares.
  const auto sb2 = basin.Grid("sb2.asc");
  double A = 0, NA = 0, B = 0, NB = 0;
  for (int row = 2; row <= 3; ++row)
    for (int c = 2; c <= 4; ++c) {
      const double g = ice[row][c], w = area[row][c];
      A += sb2[row][c] / 1000.0 * (1 - g);
      NA += w * (1 - g) + g;
      B += (3 * 0.1 * 0.45 + 4 * 0.3 * 0.40) * g;
      NB += w * g + (1 - g);
    }
  const double unglacierized =
      basin.Logged("mean soil water content for unglacierized or only partly unglacierized cells at model-end: ");
  const double glacierized =
      basin.Logged("mean soil water content for partly or completely glacierized cells at model-end: ");
  EXPECT_NEAR(unglacierized, A / NA, 2e-6);
  EXPECT_NEAR(glacierized, B / NB, 2e-6);
  EXPECT_NEAR(basin.Logged("mean soil water content for all cells at model-end: "), A / NA + B / NB, 4e-6);
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
