// Cells per second of the grid exchange between instances: scatter from
// instance 0, gather to instance 0 and border exchange of a 2000 x 2000 grid
// whose basin is a disc (rows of different lengths, cells without data around).
// Run under mpirun with 1, 2 or 4 instances (bench/run_exchange.sh runs all).
#include <mpi.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "application/mpidecomp.h"
#include "framework/diagstream.h"
#include "framework/modelobject.h"
#include "framework/mpirunning.h"

namespace {

constexpr int kSize = 2000;

// The slowest instance's time of repeats calls of f.
template <typename F>
double Seconds(int repeats, F f) {
  MPI_Barrier(MPI_COMM_WORLD);
  const double start = MPI_Wtime();
  for (int i = 0; i < repeats; ++i) f();
  double local = MPI_Wtime() - start;
  double slowest = local;
  MPI_Allreduce(&local, &slowest, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  return slowest;
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::ostringstream quiet;
  int code = 0;
  try {
    DiagStream diag("/tmp/fluvex_bench_exchange.xml", 0, &quiet);
    std::vector<GridListEntry> list(kGridListSize);
    modelobject setup(&diag, "", 0, ModelObjectArgs{});
    setup.SetGridList(list.data());
    setup.SetGeometry(kSize, kSize, 0, 0, 100, kNodata);
    // Equal run times: the speed test would make the division depend on the load.
    const std::string speedFile = "/tmp/fluvex_bench_speed_" + std::to_string(rank) + ".dat";
    if (std::FILE* f = std::fopen(speedFile.c_str(), "w")) {
      std::fputs("1\n", f);
      std::fclose(f);
    }
    Grid zone = nullptr;
    int64_t cells = 0;
    const double radius = 0.49 * kSize;
    auto inside = [&](int r, int c) {
      const double dr = r - 0.5 * kSize;
      const double dc = c - 0.5 * kSize;
      return dr * dr + dc * dc <= radius * radius;
    };
    for (int r = 1; r <= kSize; ++r)
      for (int c = 1; c <= kSize; ++c) cells += inside(r, c);
    if (rank == 0) {
      zone = setup.matrix(1, kSize, 1, kSize, kSize);
      for (int r = 1; r <= kSize; ++r)
        for (int c = 1; c <= kSize; ++c) zone[r][c] = inside(r, c) ? 1 : kNodata;
      setup.RegisterGrid(1, "zone", zone, nullptr, 0, "[zone_grid]", 0, 1, kSize);
    } else {
      list[1].filename = "zone";
      list[1].shortname = "[zone_grid]";
    }
    MPIDecomposition decomposition(&diag, speedFile);
    int first = 0;
    int last = 0;
    decomposition.CreateMPIRegions(setup, zone, kSize, kSize, kNodata, &first, &last);
    std::remove(speedFile.c_str());

    ModelObjectArgs args;
    args.instanceCellCounts = decomposition.CellCounts();
    args.haloSend = &decomposition.SendList();
    args.haloReceive = &decomposition.ReceiveList();
    modelobject object(&diag, "", 0, args);
    object.SetGridList(list.data());
    object.SetGeometry(kSize, kSize, 0, 0, 100, kNodata);
    object.SetRowRange(first, last);
    object.SetMPIRegionGrids(decomposition.Regions(), decomposition.Helper());
    const int low = decomposition.LowRow();
    const int high = decomposition.HighRow();
    Grid grid = object.matrix(low, high, 1, kSize, kSize);
    for (int r = low; r <= high; ++r)
      for (int c = 1; c <= kSize; ++c) grid[r][c] = r + 0.001 * c;

    const int repeats = 5;
    const int haloRepeats = 50;
    const double scatter = Seconds(repeats, [&] { object.MPIScatterGrid(0, grid); });
    const double gather = Seconds(repeats, [&] { object.MPIGatherGrid(0, grid); });
    const double border = Seconds(haloRepeats, [&] { object.MPIExchangeBorders(0, grid); });
    int64_t haloCells = 0;
    for (const HaloEntry& e : decomposition.ReceiveList()) haloCells += e.count;
    int64_t allHalo = haloCells;
    MPI_Allreduce(&haloCells, &allHalo, 1, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
    if (rank == 0) {
      std::printf("grid exchange, %d x %d grid, %lld cells with data, %d instance(s)\n", kSize, kSize,
                  static_cast<long long>(cells), size);
      if (size == 1) {
        std::printf("  scatter, gather and border exchange do nothing on one instance\n");
      } else {
        const double moved = static_cast<double>(cells - decomposition.CellCounts()[0]);
        std::printf("  scatter:         %12.4g cells/s (%lld cells of other instances, %.4f s per call)\n",
                    moved * repeats / scatter, static_cast<long long>(moved), scatter / repeats);
        std::printf("  gather:          %12.4g cells/s (%.4f s per call)\n", moved * repeats / gather,
                    gather / repeats);
        std::printf("  border exchange: %12.4g cells/s (%lld halo cells, %.6f s per call)\n",
                    static_cast<double>(allHalo) * haloRepeats / border, static_cast<long long>(allHalo),
                    border / haloRepeats);
      }
    }
    object.FreeMatrix(grid, low, high, 1, kSize);
    decomposition.FreeMemory(setup);
    if (zone) setup.FreeMatrix(zone, 1, kSize, 1, kSize);
  } catch (int thrown) {
    code = thrown;
    std::fprintf(stderr, "bench_exchange: error code %d on instance %d\n", code, rank);
    MPI_Abort(MPI_COMM_WORLD, code);
  }
  MPI_Finalize();
  return code;
}
