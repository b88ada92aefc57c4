// Interpolation speed: a 1000 x 1000 grid of 100 m cells filled from 20 and
// 200 stations by inverse-distance weighting and by the elevation regression,
// on 1, 2, 4 and 8 threads. Prints cells per second (best of several runs)
// and parallel efficiency, and as the bound of the regression a loop that
// only streams the grids the regression reads and writes.
//
//   bench_meteo_interpolation [THREADS]            all cases on 1, 2, 4, 8 threads
//                                                  (up to THREADS)
//   bench_meteo_interpolation --stations N FILE    writes the N stations of the
//                                                  bench as x,y,value to FILE
//   bench_meteo_interpolation --kernel N THREADS PASSES
//   bench_meteo_interpolation --idw N THREADS PASSES
//       cells per second of PASSES passes over the grid (after one more) of
//       the inverse-distance kernel alone (rows split into one block per
//       thread) or of the whole interpolation step, from N stations; run
//       alone on THREADS threads and as several single-thread processes side
//       by side (bench/run_meteo_scaling.sh) they measure what the machine
//       itself gives a compute-bound kernel on all its cores
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "meteo/idwkernels.h"
#include "meteo/meteointerpol.h"

namespace {

constexpr int kRows = 1000;
constexpr int kCols = 1000;
constexpr double kCell = 100;
constexpr int kSteps = 3;
constexpr int kRepeats = 5;

struct Model {
  memory_handling memory;
  std::vector<GridListEntry> list = std::vector<GridListEntry>(kGridListSize);
  std::vector<Grid> grids;

  Model() {
    const char* names[6] = {"zonegrid", "elevation", "RelCellArea", "CoordX", "CoordY", "MPIRegions"};
    for (int i = 0; i < 6; ++i) {
      Grid g = memory.matrix(1, kRows, 1, kCols, kRows);
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
          const double x = (c - 1) * kCell;
          const double y = (kRows - r) * kCell;
          const double values[6] = {1, 300 + 2500 * (0.5 + 0.5 * std::sin(x / 9000) * std::cos(y / 7000)), 1, x, y, 0};
          g[r][c] = values[i];
        }
      grids.push_back(g);
      list[i + 1].grid = g;
      list[i + 1].filename = list[i + 1].shortname = names[i];
      list[i + 1].registered = true;
    }
  }
  ~Model() {
    for (Grid g : grids) memory.FreeMatrix(g, 1, kRows, 1, kCols);
  }
};

struct Stations {
  std::vector<double> z, x, y, value;
};

// The same stations for every run (and for the comparison with other programs).
Stations MakeStations(int stations) {
  unsigned seed = 99;
  auto next = [&]() {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) / 16777216.0;
  };
  Stations s;
  for (int i = 0; i < stations; ++i) {
    s.z.push_back(200 + 2800 * next());
    s.x.push_back(kCols * kCell * next());
    s.y.push_back(kRows * kCell * next());
  }
  for (int i = 0; i < stations; ++i) s.value.push_back(15 - 0.0065 * s.z[i] + 2 * next());
  return s;
}

void WriteInputs(int stations, int method) {
  std::ofstream control("control.txt");
  control << "[temperature]\n"
          << method << "\nstations.txt\n"
          << (method == 10 ? "800 1200 50 0 10\n" : "none\n")
          << "result.grd\n0\n1\nstat.txt 0\n9999\n2\n0.5\n1e9\n0\n1\n-1e6\n1e6\n-1e6\n1e6\n0\n";
  std::ofstream file("stations.txt");
  const Stations s = MakeStations(stations);
  file << "bench stations\n";
  for (const auto* v : {&s.z, &s.x, &s.y}) {
    file << "YY MM DD HH";
    for (double d : *v) file << " " << d;
    file << "\n";
  }
  file << "names\n2000 1 1 0";
  for (double v : s.value) file << " " << v;
  file << "\n";
}

// Processor time of the process (all threads), in seconds.
double ProcessorSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Processor seconds of the fastest run, for the cells per processor second:
// on a busy machine it leaves out the time the threads waited for a core.
double BestProcessorSeconds = 0;

// Best of kRepeats runs of kSteps steps, in seconds.
double BestOf(const std::function<void()>& steps) {
  double best = 1e30;
  for (int k = 0; k < kRepeats; ++k) {
    const double cpu = ProcessorSeconds();
    const auto start = std::chrono::steady_clock::now();
    steps();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds < best) {
      best = seconds;
      BestProcessorSeconds = ProcessorSeconds() - cpu;
    }
  }
  return best;
}

double TimeSteps(meteointerpol& m, int threads) {
  omp_set_num_threads(threads);
  return BestOf([&] {
    for (int s = 0; s < kSteps; ++s) {
      if (m.GetMethod() == 10) m.Regression(0);
      m.Interpolate(0, 1, 1, 2000);
    }
  });
}

// What the regression's row loop moves per cell: it reads the zone, owner,
// coordinate and elevation grids and writes the result, one double each.
double TimeStreaming(const Model& model, Grid result, int threads) {
  omp_set_num_threads(threads);
  const Grid zone = model.grids[0], elevation = model.grids[1], x = model.grids[3], y = model.grids[4],
             owner = model.grids[5];
  return BestOf([&] {
    for (int s = 0; s < kSteps; ++s) {
#pragma omp parallel for schedule(runtime)
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
          result[r][c] = zone[r][c] > -9999 && owner[r][c] == 0 ? x[r][c] * 1e-6 + y[r][c] * 1e-6 + elevation[r][c] : 0;
    }
  });
}

// The interpolator of the bench for method and stations, in the current directory.
std::unique_ptr<meteointerpol> MakeInterpolator(Model& model, DiagStream& diag, int method, int stations) {
  WriteInputs(stations, method);
  MeteoInterpolArgs args;
  args.controlFileName = "control.txt";
  args.variableName = "temperature";
  args.gridList = model.list.data();
  args.resultGridIndex = 7;
  args.ncols = kCols;
  args.nrows = kRows;
  args.firstRow = 1;
  args.lastRow = kRows;
  args.cellSize = kCell;
  args.start = args.end = MeteoDate{0, 1, 1, 2000};
  int error = 0;
  return std::make_unique<meteointerpol>(error, &diag, args);
}

// Cells per second of passes over the grid, after one pass more.
double PassRate(int passes, const std::function<void()>& pass) {
  pass();
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < passes; ++k) pass();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(kRows) * kCols * passes / seconds;
}

// The inverse-distance kernel alone (weight 1/s, the bench's distance limit),
// a block of rows per thread, each row's result in place in the thread's rows.
double KernelRate(int stations, int threads, int passes) {
  const Stations s = MakeStations(stations);
  idw::Weighting w;
  w.limitSquared = 1e9;
  w.limit = std::sqrt(1e9);
  std::vector<double> out(static_cast<size_t>(kRows) * kCols);
  std::vector<double> cx(kCols);
  for (int c = 1; c <= kCols; ++c) cx[c - 1] = (c - 1) * kCell;
  omp_set_num_threads(threads);
  return PassRate(passes, [&] {
#pragma omp parallel
    {
      std::vector<double> cy(kCols);
#pragma omp for schedule(static)
      for (int r = 1; r <= kRows; ++r) {
        std::fill(cy.begin(), cy.end(), (kRows - r) * kCell);
        idw::Cells(w, s.value.data(), s.x.data(), s.y.data(), stations, cx.data(), cy.data(), kCols,
                   out.data() + static_cast<size_t>(r - 1) * kCols);
      }
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--kernel") {
    std::printf("kernel %d stations %d threads %.6g cells/s\n", std::atoi(argv[2]), std::atoi(argv[3]),
                KernelRate(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4])));
    return 0;
  }
  if (argc == 5 && std::string(argv[1]) == "--idw") {
    MPI_Init(&argc, &argv);
    KeepMpiPluginsLoaded();
    const int stations = std::atoi(argv[2]);
    const int threads = std::atoi(argv[3]);
    const auto dir = std::filesystem::temp_directory_path() / ("fluvex_bench_meteo_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    double rate = 0;
    {
      std::ostringstream console;
      DiagStream diag("bench.xml", 1, &console);
      Model model;
      auto m = MakeInterpolator(model, diag, 1, stations);
      omp_set_num_threads(threads);
      rate = PassRate(std::atoi(argv[4]), [&] { m->Interpolate(0, 1, 1, 2000); });
      m->FreeMemory();
    }
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(dir);
    std::printf("interpolation %d stations %d threads %.6g cells/s\n", stations, threads, rate);
    MPI_Finalize();
    return 0;
  }
  if (argc == 4 && std::string(argv[1]) == "--stations") {
    const Stations s = MakeStations(std::atoi(argv[2]));
    std::ofstream file(argv[3]);
    // As many digits as the station file of the bench holds.
    file << "x,y,value\n";
    for (size_t i = 0; i < s.x.size(); ++i) file << s.x[i] << "," << s.y[i] << "," << s.value[i] << "\n";
    return file.good() ? 0 : 1;
  }
  const int maxThreads = argc == 2 ? std::atoi(argv[1]) : 8;
  std::vector<int> threadCounts;
  for (int t : {1, 2, 4, 8})
    if (t <= maxThreads) threadCounts.push_back(t);
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  const auto dir = std::filesystem::temp_directory_path() / ("fluvex_bench_meteo_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  {
    std::ostringstream console;  // the messages of the runs are not shown
    DiagStream diag("bench.xml", 1, &console);
    Model model;
    std::printf("%-28s %8s %8s %14s %10s %14s\n", "case", "stations", "threads", "cells/s", "efficiency",
                "cells/cpu-s");
    for (int method : {1, 10}) {
      for (int stations : {20, 200}) {
        auto interpolator = MakeInterpolator(model, diag, method, stations);
        meteointerpol& m = *interpolator;
        double single = 0;
        for (int threads : threadCounts) {
          TimeSteps(m, threads);  // warm-up
          const double seconds = TimeSteps(m, threads);
          if (threads == 1) single = seconds;
          const double cellsPerSecond = static_cast<double>(kRows) * kCols * kSteps / seconds;
          std::printf("%-28s %8d %8d %14.4g %10.2f %14.4g\n",
                      method == 1 ? "inverse-distance weighting" : "elevation regression", stations, threads,
                      cellsPerSecond, single / (threads * seconds),
                      static_cast<double>(kRows) * kCols * kSteps / BestProcessorSeconds);
        }
        m.FreeMemory();
      }
    }
    {
      Grid result = model.memory.matrix(1, kRows, 1, kCols, kRows);
      double single = 0;
      for (int threads : threadCounts) {
        TimeStreaming(model, result, threads);  // warm-up
        const double seconds = TimeStreaming(model, result, threads);
        if (threads == 1) single = seconds;
        std::printf("%-28s %8d %8d %14.4g %10.2f %14.4g\n", "streaming 5 reads, 1 write", 0, threads,
                    static_cast<double>(kRows) * kCols * kSteps / seconds, single / (threads * seconds),
                    static_cast<double>(kRows) * kCols * kSteps / BestProcessorSeconds);
      }
      model.memory.FreeMatrix(result, 1, kRows, 1, kCols);
    }
  }
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  std::filesystem::remove_all(dir);
  MPI_Finalize();
  return 0;
}
