// Surface flow: a 500 x 500 grid of a hillslope with hollows draining to a
// river column, with flowpath method 1 (flow split by aspect) and method 6
// (level diffusion), on 1, 2, 4 and 8 threads. Prints cell sub-time-steps per
// second and parallel efficiency. Under mpirun every instance takes a band
// of rows; the rates count the cells of all instances.
//
// bench_surfaceflow [METHOD [THREADS ...]]: one method on the given thread
// counts (the efficiency is relative to the first count, per thread).
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "parameters/landusetable.h"
#include "surface/surfrout.h"

namespace {

constexpr int kRows = 500;
constexpr int kCols = 500;
constexpr int kZones = 4;
constexpr int kSubSteps = 2;

struct World {
  World(DiagStream* d, int rank, int size) : diag(d), memory(d) {
    const char* names[] = {"zones",       "dem",
                           "landuse1",    "vegetation_coverage_degree1",
                           "soil_types",  "SurfStorSiltingUp",
                           "directflow",  "interflow",
                           "river_depth", "river_width",
                           "river_links", "MPIRegions",
                           "MPIHelper"};
    const int count = size > 1 ? 13 : 11;
    for (int i = 0; i < count; ++i) {
      Grid g = memory.matrix(1, kRows, 1, kCols, kRows);
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
          double v = 0;
          if (i == 0) v = 1 + (c - 1) * kZones / kCols;
          if (i == 1) v = 400 + 0.5 * (kCols - c) + 0.2 * r + 2 * std::sin(r * 0.05) * std::cos(c * 0.07);
          if (i == 2) v = 1;
          if ((i == 8 || i == 9) && c == kCols) v = 1;
          if (i == 11) v = (r - 1) * size / kRows;
          g[r][c] = v;
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
    landuse.reset(new landuse_table_entry[2]);
    landuse[0].code = 1;
    ParseLanduseEntry(landuse[1], *diag,
                      "1 meadow method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 1; SR_K_ST = 20;\n"
                      " JulDays = 100 300; Albedo = 0 0; rsc = 0 0; LAI = 0 0; Z0 = 0 0; VCF = 0 0; RootDepth = 0 0; "
                      "AltDep = 0 0;\n}\n",
                      "VariableDayCount");
    // Bands of rows; the border rows go to and come from the neighbour bands.
    first = rank * kRows / size + 1;
    last = (rank + 1) * kRows / size;
    if (rank > 0) {
      send.push_back(HaloEntry{first, 1, kCols, rank - 1});
      receive.push_back(HaloEntry{first - 1, 1, kCols, rank - 1});
    }
    if (rank < size - 1) {
      send.push_back(HaloEntry{last, 1, kCols, rank + 1});
      receive.push_back(HaloEntry{last + 1, 1, kCols, rank + 1});
    }
    args.zoneIndex = zoneindex.data();
    args.zoneRecords = records.data();
    args.zoneCount = kZones;
    args.maxZoneCode = kZones;
    args.gridlist = list.data();
    args.ncols = kCols;
    args.nrows = kRows;
    args.firstRow = first;
    args.lastRow = last;
    args.cellsize = 25;
    args.landuseTable = landuse.get();
    args.object.haloSend = &send;
    args.object.haloReceive = &receive;
  }
  ~World() {
    for (Grid g : grids) memory.FreeMatrix(g, 1, kRows, 1, kCols);
  }
  // 5 mm of ponded water on every cell, handed in as direct runoff.
  void Rain() {
    for (int r = first; r <= last; ++r)
      for (int c = 1; c <= kCols; ++c) grids[6][r][c] = 5;
  }

  DiagStream* diag;
  memory_handling memory;
  std::vector<GridListEntry> list = std::vector<GridListEntry>(kGridListSize);
  std::vector<Grid> grids;
  std::vector<int> zoneindex;
  std::vector<ZoneRecord> records;
  std::unique_ptr<landuse_table_entry[]> landuse;
  HaloList send, receive;
  int first = 1, last = kRows;
  SubModelArgs args;
};

void WriteControl(int method, int rank) {
  if (rank == 0) {
    std::ofstream control("control.txt");
    control
        << "[SurfaceRoutingModel]\n1\n60\n"
        << method
        << "\nqdsr.stat 0\nqisr.stat 0\nqbsr.stat 0\nqgsr.stat 0\nvelocity.stk\n0\nfluxes.stk\n0\n0.001\n10\n0.001\n"
           "10\n5\n300\n0.01\n1.0\n0\n";
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

// Seconds and cell sub-time-steps of all instances over the sub-steps of one time step.
void TimeSteps(World& world, surfaceroutingclass& model, int threads, double& seconds, double& work) {
  omp_set_num_threads(threads);
  seconds = 0;
  work = 0;
  for (int s = 0; s < kSubSteps; ++s) {
    world.Rain();
    MPI_Barrier(MPI_COMM_WORLD);
    const auto start = std::chrono::steady_clock::now();
    model.run(1, 11, 6, 2001);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    work += static_cast<double>(kRows) * kCols * model.GetSubTimeStepCount();
  }
  MPI_Allreduce(MPI_IN_PLACE, &seconds, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const auto dir = std::filesystem::temp_directory_path() / ("fluvex_bench_surfaceflow_" + std::to_string(::getpid()));
  std::filesystem::path shared = dir;
  {
    // Instance 0 names the directory for all.
    std::vector<char> name(1024, 0);
    if (rank == 0) std::snprintf(name.data(), name.size(), "%s", dir.c_str());
    MPI_Bcast(name.data(), static_cast<int>(name.size()), MPI_CHAR, 0, MPI_COMM_WORLD);
    shared = name.data();
  }
  if (rank == 0) std::filesystem::create_directories(shared);
  MPI_Barrier(MPI_COMM_WORLD);
  std::filesystem::current_path(shared);
  {
    std::ostringstream console;  // the messages of the runs are not shown
    DiagStream diag("bench.xml", 1, &console);
    World world(&diag, rank, size);
    if (rank == 0)
      std::printf("%-30s %9s %8s %16s %10s\n", "case", "instances", "threads", "cell substeps/s", "efficiency");
    std::vector<int> methods = {1, 6};
    std::vector<int> counts = {1, 2, 4, 8};
    if (argc > 1) methods = {std::atoi(argv[1])};
    if (argc > 2) counts.clear();
    for (int i = 2; i < argc; ++i) counts.push_back(std::max(1, std::atoi(argv[i])));
    for (int method : methods) {
      WriteControl(method, rank);
      int error = 0;
      surfaceroutingclass model(error, &diag, nullptr, 0, "control.txt", world.args);
      if (error == 0) model.InitTracerGrids(&error, 0, nullptr, nullptr, 0);
      if (error != 0) {
        std::printf("construction failed with %d\n%s\n", error, console.str().c_str());
        break;
      }
      double single = 0;
      for (int threads : counts) {
        double seconds = 0, work = 0;
        TimeSteps(world, model, threads, seconds, work);  // warm-up
        TimeSteps(world, model, threads, seconds, work);
        const double rate = work / seconds;
        if (threads == counts[0]) single = rate / threads;
        const char* name = method == 1   ? "method 1 (split by aspect)"
                           : method == 6 ? "method 6 (level diffusion)"
                                         : "method";
        if (rank == 0)
          std::printf("%-30s %9d %8d %16.4g %10.2f\n", name, size, threads, rate, rate / (threads * single));
      }
      model.ReleaseMemory(false);
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  if (rank == 0) std::filesystem::remove_all(shared);
  MPI_Finalize();
  return 0;
}
