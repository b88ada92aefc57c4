// Silting-up time step: a 1000 x 1000 grid of tilled and untilled cells with
// varying rain, with the fixed formula (method 1) and with the same formulas
// as user expressions (method 3), on 1, 2, 4 and 8 threads. Prints cells per
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
#include <vector>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "parameters/landusetable.h"
#include "parameters/soil_table_entry.h"
#include "surface/siltingup.h"

namespace {

constexpr int kRows = 1000;
constexpr int kCols = 1000;
constexpr int kZones = 8;
constexpr int kSteps = 4;

struct World {
  explicit World(DiagStream* d) : diag(d), memory(d) {
    const char* names[7] = {
        "zones", "dem", "landuse1", "vegetation_coverage_degree1", "soil_types", "SurfStorSiltingUp", "precipitation"};
    for (int i = 0; i < 7; ++i) {
      Grid g = memory.matrix(1, kRows, 1, kCols, kRows);
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
          const double values[7] = {static_cast<double>((r + c) % kZones + 1),
                                    400,
                                    (r * 7 + c) % 3 == 0 ? 2.0 : 1.0,
                                    ((r + c) % 4) * 0.1,
                                    1,
                                    0,
                                    0};
          g[r][c] = values[i];
        }
      grids.push_back(g);
      list[i + 1].grid = g;
      list[i + 1].filename = list[i + 1].shortname = names[i];
      list[i + 1].registered = true;
    }
    zoneindex.assign(kZones + 1, 0);
    records.assign(kZones + 1, ZoneRecord{0, 0, 0, 0, 0});
    for (int k = 1; k <= kZones; ++k) {
      zoneindex[k] = k;
      records[k] = ZoneRecord{0, 0, static_cast<double>(k), 1.0 / kZones, 0};
    }
    landuse.reset(new landuse_table_entry[3]);
    landuse[0].code = 2;
    const std::string flat =
        "Albedo = 0 0; rsc = 0 0; LAI = 0 0; Z0 = 0 0; VCF = 0 0; RootDepth = 0 0; AltDep = 0 0; SR_ResidCovrg = 0.1 "
        "0.3;";
    ParseLanduseEntry(landuse[1], *diag,
                      "1 field method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 1;\n JulDays = 100 "
                      "300; SoilTillage = 100 250; " +
                          flat + "\n}\n",
                      "VariableDayCount");
    ParseLanduseEntry(
        landuse[2], *diag,
        "2 meadow method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 1;\n JulDays = 100 "
        "300; " +
            flat + "\n}\n",
        "VariableDayCount");
    soil.reset(new soil_table_entry[2]);
    soil[0].code = 1;
    args.zoneIndex = zoneindex.data();
    args.zoneRecords = records.data();
    args.zoneCount = kZones;
    args.maxZoneCode = kZones;
    args.gridlist = list.data();
    args.ncols = kCols;
    args.nrows = kRows;
    args.firstRow = 1;
    args.lastRow = kRows;
    args.cellsize = 100;
    args.landuseTable = landuse.get();
    args.soilTable = soil.get();
  }
  ~World() {
    for (Grid g : grids) memory.FreeMatrix(g, 1, kRows, 1, kCols);
  }
  void Rain(int step) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) grids[6][r][c] = std::fmod(r * 0.37 + c * 0.11 + step * 7.0, 60.0);
  }

  DiagStream* diag;
  memory_handling memory;
  std::vector<GridListEntry> list = std::vector<GridListEntry>(kGridListSize);
  std::vector<Grid> grids;
  std::vector<int> zoneindex;
  std::vector<ZoneRecord> records;
  std::unique_ptr<landuse_table_entry[]> landuse;
  std::unique_ptr<soil_table_entry[]> soil;
  SubModelArgs args;
};

void WriteControl(int method) {
  std::ofstream control("control.txt");
  control << "[SiltingUpModel]\n1\n60\n"
          << method << "\nsdisp.stat 0\nqdsu.stat 0\nsdisp.grd\n0\nrainpause.grd\n0\nekin.grd\n0\ntsbb.grd\n0\n"
          << "qdsu.grd\n0\n1 8\n0.4 0.2\n0\n";
  if (method == 3)
    control << "SiltingUpExpressions\n{\n X = 65;\n Y = 12.2 * K^0.52 * (100*L)^(-0.64);\n"
            << " Z = 0.013 * (100*L)^(-1.03) * K^0.7 * O^(-0.19);\n"
            << " W = (P >= 76.2) * 28.33 + (P > 0.05) * (P < 76.2) * (11.89 + 8.73 * LOG10(P + (P <= 0.05)));\n"
            << " V = (Y + (X - Y) * EXP(-Z * Q)) * (R / 60);\n}\n";
}

double TimeSteps(World& world, siltingupclass& model, int threads) {
  omp_set_num_threads(threads);
  double seconds = 0;
  for (int s = 0; s < kSteps; ++s) {
    world.Rain(s);
    const auto start = std::chrono::steady_clock::now();
    model.run(s + 1, 11, 4, 2001);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  const auto dir = std::filesystem::temp_directory_path() / ("fluvex_bench_silting_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  {
    std::ostringstream console;  // the messages of the runs are not shown
    DiagStream diag("bench.xml", 1, &console);
    World world(&diag);
    std::printf("%-28s %8s %14s %10s\n", "case", "threads", "cells/s", "efficiency");
    for (int method : {1, 3}) {
      WriteControl(method);
      int error = 0;
      siltingupclass model(error, &diag, nullptr, 0, "control.txt", world.args);
      if (error != 0) {
        std::printf("construction failed with %d\n%s\n", error, console.str().c_str());
        break;
      }
      model.SetPrecipitationSource(0);
      double single = 0;
      for (int threads : {1, 2, 4, 8}) {
        TimeSteps(world, model, threads);  // warm-up
        const double seconds = TimeSteps(world, model, threads);
        if (threads == 1) single = seconds;
        std::printf("%-28s %8d %14.4g %10.2f\n", method == 1 ? "method 1 (fixed formula)" : "method 3 (expressions)",
                    threads, static_cast<double>(kRows) * kCols * kSteps / seconds, single / (threads * seconds));
      }
      model.FreeMemory();
    }
  }
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  std::filesystem::remove_all(dir);
  MPI_Finalize();
  return 0;
}
