// Cells per second of the snow step (temperature index, method 1, and energy
// balance, method 5) on a 1000 x 1000 grid of one instance, and the parallel
// efficiency from 1 to 8 threads. Half of the cells melt, half accumulate.
#include <mpi.h>
#include <omp.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "snow/snowmod.h"

namespace {

constexpr int kSize = 1000;

std::string Section(int method) {
  std::ostringstream s;
  s << "[snow_model]\n1\n60\n"
    << method << "\n1\n1\n0\n0.1\n0.05\n3\n1.5\n0.5\n0.005\n1\n3\n0.45\n0.9\n"
    << "rain\n0\nr 0\nsnow\n0\ns 0\nd\n0\nd 0\na\n0\na 0\nal 0\no\n0\no 0\nm\n0\nm 0\nsl\n0\nli\n0\nst 0\nt\n0\n0\n";
  if (method > 4) s << "st\n0\nst 0\nsu\n0\nsu 0\ni\n0\ni 0\nmo\n0\nmo 0\nde\n0\nde 0\n55\n1\n30\n0.01\n1\n1\n1\n";
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  std::ostringstream quiet;
  int code = 0;
  try {
    DiagStream diag("/tmp/fluvex_bench_snow.xml", 0, &quiet);
    memory_handling memory(&diag);
    std::vector<GridListEntry> list(kGridListSize);
    std::vector<Grid> grids;
    int position = 0;
    auto add = [&](const std::string& name, double v) {
      Grid g = memory.matrix(1, kSize, 1, kSize, kSize);
      for (int r = 1; r <= kSize; ++r)
        for (int c = 0; c <= kSize; ++c) g[r][c] = v;
      GridListEntry& e = list[++position];
      e.grid = g;
      e.filename = name;
      e.shortname = name;
      e.registered = true;
      grids.push_back(g);
      return g;
    };
    add("zones", 1);
    Grid dem = add("elevation", 500);
    add("zonegrid_soilmodel", 1);
    for (const char* n : {"albedo", "landuse1", "temperature", "precipitation", "wind_speed", "cloudiness",
                          "air_humidity", "AspectCorrectedGlobalRadiation", "snow_evaporation"})
      add(n, 0.5);
    Grid temperature = list[6].grid;
    for (int r = 1; r <= kSize; ++r)
      for (int c = 1; c <= kSize; ++c) {
        dem[r][c] = 200 + r;
        temperature[r][c] = c <= kSize / 2 ? -4.0 : 3.0;
      }
    int zoneindex[2] = {0, 1};
    ZoneRecord records[2] = {{0, 0, 1, 1, 0}, {0, 0, 1, 1, 0}};
    SubModelArgs args;
    args.zoneIndex = zoneindex;
    args.zoneRecords = records;
    args.zoneCount = 1;
    args.maxZoneCode = 1;
    args.gridlist = list.data();
    args.ncols = kSize;
    args.nrows = kSize;
    args.firstRow = 1;
    args.lastRow = kSize;
    args.cellsize = 100;
    args.latitude = 50;
    std::printf("snow step, %d x %d cells\nmethod threads cells/s efficiency\n", kSize, kSize);
    for (int method : {1, 5}) {
      const std::string control = "/tmp/fluvex_bench_snow_" + std::to_string(method) + ".$$$";
      if (std::FILE* f = std::fopen(control.c_str(), "w")) {
        std::fputs(Section(method).c_str(), f);
        std::fclose(f);
      }
      double single = 0;
      for (int threads : {1, 2, 4, 8}) {
        omp_set_num_threads(threads);
        int error = 0;
        auto model = std::make_unique<schneemodellklasse>(error, &diag, nullptr, 0, control, args);
        if (error != 0) throw error;
        model->SetPrecipitationSource(0);
        const int steps = 10;
        const double start = MPI_Wtime();
        for (int s = 1; s <= steps; ++s) model->run(s, 15, 1, 2001);
        const double rate = static_cast<double>(kSize) * kSize * steps / (MPI_Wtime() - start);
        if (threads == 1) single = rate;
        std::printf("%6d %7d %10.3g %10.2f\n", method, threads, rate, rate / (single * threads));
        model->FreeMemory();
      }
    }
    for (Grid g : grids) memory.FreeMatrix(g, 1, kSize, 1, kSize);
  } catch (int c) {
    code = c;
    std::fprintf(stderr, "bench_snow: error %d\n%s\n", c, quiet.str().c_str());
  }
  MPI_Finalize();
  return code;
}
