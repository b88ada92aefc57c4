// Cells x layers x substeps per second of the unsaturated zone's column solve
// (unsatzonmodellklasse::run) on a 200 x 200 grid of a 20-layer loam, with
// 1, 2, 4 and 8 OpenMP threads, and the parallel efficiency against one
// thread. Every cell gets rain of a different amount, so that cell costs vary.
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "parameters/soiltable.h"
#include "soil/unsatzon.h"

namespace {

constexpr int kRows = 200;
constexpr int kCols = 200;
constexpr int kLayers = 20;

std::string Section() {
  std::ostringstream s;
  s << "[unsatzon_model]\n1\n60\n2\n0\n0\n0\n0\n1e-8\n2\n";
  for (int k = 0; k < 16; ++k) s << "stat" << k << ".txt 0\n";
  for (int k = 0; k < 24; ++k) s << "out" << k << ".grd\n0\n";
  s << "0 0\n";
  for (int k = 0; k < 6; ++k) s << "point" << k << ".txt\n";
  s << "1 4\n2 2\n1 1\n0 0\n2 2\n0.5 0.5\n0 0\n0\nstorage.ftz\n\n";
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  const std::string dir = std::filesystem::temp_directory_path() / "fluvex_bench_uzsolve";
  std::filesystem::create_directories(dir);
  if (chdir(dir.c_str()) != 0) return 1;
  std::ofstream(dir + "/run.cntrl") << Section();
  std::ostringstream quiet;
  {
    DiagStream diag(dir + "/diag.xml", 0, &quiet);
    memory_handling memory(&diag);

    auto soils = std::make_unique<soil_table_entry[]>(2);
    soils[0].code = 1;
    ParseSoilEntry(soils[1], diag,
                   "1 loam method = MultipleHorizons {\n layers = 20; ksat = 2.9e-6; theta_sat = 0.43; theta_res = "
                   "0.078;\n alpha = 3.6; Par_n = 1.56; thickness = 0.1;\n}\n");

    std::vector<GridListEntry> list(kGridListSize);
    std::vector<Grid> grids;
    int next = 1;
    auto add = [&](const std::string& name, double value) {
      Grid g = memory.matrix(1, kRows, 1, kCols, kRows);
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) g[r][c] = value;
      list[next].grid = g;
      list[next].filename = name + ".asc";
      list[next].shortname = name;
      list[next].registered = true;
      list[next].firstrow = 1;
      list[next].lastrow = kRows;
      ++next;
      grids.push_back(g);
      return g;
    };
    Grid zone = add("zonegrid_soilmodel", 1);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) zone[r][c] = 1 + (r - 1) * 4 / kRows;
    add("elevation", 500);
    add("soil_types", 1);
    for (const char* name :
         {"landuse1", "vegetation_coverage_degree1", "leaf_area_index1", "SurfaceCanopyResistance1",
          "SurfaceIntercepResistance1", "RoughnessLength1", "pot_transpiration0", "real_transpiration0",
          "real_transpiration1", "SurfaceEvaporationResistance", "albedo", "real_evaporation", "slope_angle"})
      add(name, 1);
    add("root_depth1", 0.6);
    add("pot_transpiration1", 0.1);
    add("potential_evaporation", 0.02);
    Grid rain = add("precipitation", 0);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) rain[r][c] = 0.5 * ((r * 7 + c * 3) % 11);

    int zoneindex[2] = {0, 1};
    ZoneRecord zonerecords[2] = {{0, 0, 1, 1, 0}, {0, 0, 1, 1, 0}};
    SubModelArgs args;
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
    args.object.DefaultOutputDirectory = dir + "/";

    std::printf("column solve: %d x %d cells, %d layers, 1 water substep per step\n", kRows, kCols, kLayers);
    std::printf("threads  seconds  cells*layers*substeps/s  efficiency\n");
    double base = 0;
    std::unique_ptr<unsatzonmodellklasse> uz;
    // The machine may be shared: every thread count takes the best of a few
    // runs (FLUVEX_BENCH_REPEAT, default 3).
    const char* repeatText = std::getenv("FLUVEX_BENCH_REPEAT");
    const int repeat = repeatText && std::atoi(repeatText) > 0 ? std::atoi(repeatText) : 3;
    for (int threads : {1, 2, 4, 8}) {
      double seconds = 1e300;
      for (int trial = 0; trial < repeat; ++trial) {
        // The same first step from the same initial profile every time.
        uz.reset();
        int error = 0;
        uz = std::make_unique<unsatzonmodellklasse>(error, &diag, nullptr, 0, dir + "/run.cntrl", args, nullptr, 1);
        if (error != 0) {
          std::printf("construction failed with %d\n%s\n", error, quiet.str().c_str());
          MPI_Finalize();
          return 1;
        }
        omp_set_num_threads(threads);
        const double start = omp_get_wtime();
        uz->run(1, 1, 7, 2020);
        seconds = std::min(seconds, omp_get_wtime() - start);
      }
      const double rate = static_cast<double>(kRows) * kCols * kLayers / seconds;
      if (threads == 1) base = rate;
      std::printf("%7d  %7.3f  %23.3e  %9.1f%%\n", threads, seconds, rate, 100.0 * rate / (base * threads));
    }
    uz.reset();
    for (Grid g : grids) memory.FreeMatrix(g, 1, kRows, 1, kCols);
  }
  MPI_Finalize();
  return 0;
}
