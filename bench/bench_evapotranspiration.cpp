// Evapotranspiration speed: the potential evapotranspiration step of a 1000 x
// 1000 grid of 100 m cells by Penman-Monteith (one and three vegetation
// layers, an hourly daylight step, radiation estimated from global
// radiation) and by Hamon (daily), on 1, 2, 4 and 8 threads. Prints cells per
// second and parallel efficiency.
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "parameters/multilayer_landuse_entry.h"
#include "radiation_et/etpetr.h"

namespace {

constexpr int kRows = 1000;
constexpr int kCols = 1000;
constexpr double kCell = 100;
constexpr int kSteps = 3;

struct Model {
  memory_handling memory;
  std::vector<GridListEntry> list = std::vector<GridListEntry>(kGridListSize);
  std::vector<Grid> grids;
  int next = 1;

  void Add(const std::string& name, double (*value)(int, int)) {
    Grid g = memory.matrix(1, kRows, 1, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) g[r][c] = value(r, c);
    grids.push_back(g);
    list[next].grid = g;
    list[next].filename = list[next].shortname = name;
    list[next].registered = true;
    ++next;
  }
  explicit Model(int layers) {
    Add("zonegrid", [](int, int) { return 1.0; });
    Add("[elevation_model]", [](int r, int c) { return 300 + 200 * std::sin(r / 90.0) * std::cos(c / 70.0); });
    Add("RelCellArea", [](int, int) { return 1.0; });
    Add("MPIRegions", [](int, int) { return 0.0; });
    Add("temperature", [](int r, int c) { return 12 + 0.004 * r - 0.003 * c; });
    Add("temperature_night", [](int, int) { return 8.0; });
    Add("global_radiation", [](int r, int) { return 400 + 0.2 * r; });
    Add("air_humidity", [](int, int c) { return 0.5 + 0.0003 * c; });
    Add("wind_speed", [](int r, int c) { return 1 + ((r + c) % 5) * 0.5; });
    Add("albedo", [](int, int) { return 0.2; });
    Add("SurfaceEvaporationResistance", [](int, int) { return 150.0; });
    if (layers > 1) Add("landuse", [](int, int) { return 1.0; });
    for (int l = 1; l <= layers; ++l) {
      const std::string n = std::to_string(l);
      Add("landuse" + n, [](int, int) { return 1.0; });
      Add("leaf_area_index" + n, [](int r, int c) { return 1.0 + ((r * c) % 6); });
      Add("root_depth" + n, [](int, int) { return 1.0; });
      Add("vegetation_coverage_degree" + n, [](int, int) { return 0.8; });
      Add("SurfaceCanopyResistance" + n, [](int, int) { return 70.0; });
      Add("SurfaceIntercepResistance" + n, [](int, int) { return 0.0; });
      Add("RoughnessLength" + n, [](int r, int) { return 0.02 + (r % 4) * 0.3; });
    }
  }
  ~Model() {
    for (Grid g : grids) memory.FreeMatrix(g, 1, kRows, 1, kCols);
  }
};

void WriteControl(int method, int step) {
  std::ofstream control("control.txt");
  control << "[evapotranspiration]\n1\n"
          << step << "\n"
          << method
          << "\n0.1 0.1 0.15 0.2 0.25 0.3 0.3 0.3 0.25 0.2 0.15 0.1\n"
             "0.22 0.22 0.22 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.22 0.22\n1.0\n"
             "etp.grd\n0\netp.txt 0\netr.grd\n0\netr.txt 0\nevap.grd\n0\nevap.txt 0\nevar.grd\n0\nevar.txt 0\n"
             "evrs.grd\n0\nevrs.txt 0\neip.grd\n0\neip.txt 0\nrgex.txt 0\n0.05 0.3 0.4 0.25\n"
             "0.072 -0.808 1.749 -0.239\n0.7 0.05\n1200\n2 3 4 5 6 6 6 6 5 4 3 2\n0.6 0.1\n\n";
}

double TimeSteps(verdunstungsmodellklasse& m, int threads, int hour) {
  omp_set_num_threads(threads);
  const auto start = std::chrono::steady_clock::now();
  for (int s = 0; s < kSteps; ++s) m.PotentialEvapotranspiration(hour, 15, 7, 2001);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  const auto dir = std::filesystem::temp_directory_path() / ("fluvex_bench_et_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  {
    std::ostringstream console;  // the messages of the runs are not shown
    DiagStream diag("bench.xml", 1, &console);
    std::printf("%-34s %8s %14s %10s\n", "case", "threads", "cells/s", "efficiency");
    struct Case {
      const char* name;
      int method, layers, step, hour;
    };
    const Case cases[] = {{"Penman-Monteith, 1 layer, hourly", 1, 1, 60, 12},
                          {"Penman-Monteith, 3 layers, hourly", 1, 3, 60, 12},
                          {"Hamon, daily", 2, 1, 1440, 24}};
    for (const Case& k : cases) {
      Model model(k.layers);
      multilayer_landuse_entry table[2];
      table[0].code = 1;
      table[1].count = k.layers;
      WriteControl(k.method, k.step);
      int zoneIndex[2] = {0, 1};
      ZoneRecord zones[2] = {{0, 0, 0, 0, 0}, {0, 0, 1, 1, 0}};
      SubModelArgs a;
      a.gridlist = model.list.data();
      a.zoneIndex = zoneIndex;
      a.zoneRecords = zones;
      a.zoneCount = 1;
      a.maxZoneCode = 1;
      a.ncols = kCols;
      a.nrows = kRows;
      a.firstRow = 1;
      a.lastRow = kRows;
      a.cellsize = kCell;
      a.latitude = 50;
      a.endYear = 2001;
      a.endMonth = 12;
      a.endDay = 31;
      a.multilayerTable = k.layers > 1 ? table : nullptr;
      int error = 0;
      verdunstungsmodellklasse m(error, &diag, nullptr, 0, "control.txt", a);
      if (error != 0) {
        std::printf("%s: set-up failed with code %d\n%s\n", k.name, error, console.str().c_str());
        continue;
      }
      double single = 0;
      for (int threads : {1, 2, 4, 8}) {
        TimeSteps(m, threads, k.hour);  // warm-up
        const double seconds = TimeSteps(m, threads, k.hour);
        if (threads == 1) single = seconds;
        const double cellsPerSecond = static_cast<double>(kRows) * kCols * kSteps / seconds;
        std::printf("%-34s %8d %14.4g %10.2f\n", k.name, threads, cellsPerSecond, single / (threads * seconds));
      }
      m.FreeMemory();
    }
  }
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  std::filesystem::remove_all(dir);
  MPI_Finalize();
  return 0;
}
