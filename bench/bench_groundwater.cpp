// Cell-iterations per second of the groundwater step: a 400 x 400 raster of
// two aquifer layers with fixed heads and sources, 3 steps with 20
// over-relaxation sweeps per layer and step (red-black, adaptive factor), and
// 3 steps of the line solver, with 1, 2, 4 and 8 OpenMP threads, and the
// parallel efficiency against one thread. Run under mpirun with 1, 2 or 4
// instances (bench/run_groundwater.sh) for the instance scaling; the figures are
// summed over the instances.
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "application/mpidecomp.h"
#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "parameters/soil_table_entry.h"
#include "soil/gwflow.h"

namespace {

constexpr int kRows = 400;
constexpr int kCols = 400;
constexpr int kSteps = 3;
constexpr int kSweeps = 20;

using CellFn = std::function<double(int, int)>;

struct Basin {
  Basin(DiagStream* diag, int rank, int size)
      : setup(diag, "", 0, ModelObjectArgs{}), list(kGridListSize), decomposition(diag, "/nonexistent/speed") {
    setup.SetGridList(list.data());
    setup.SetGeometry(kCols, kRows, 0, 0, 100, kNodata);
    soils = std::make_unique<soil_table_entry[]>(2);
    soils[0].code = 1;
    soils[1].layers = 1;
    soils[1].thickness = {0.0, 8.0};
    auto zone = [](int r, int c) { return (r + c) % 97 == 0 ? kNodata : 1.0; };
    int first = 1, last = kRows;
    low = 1;
    high = kRows;
    if (size > 1) {
      Grid whole = rank == 0 ? Make(zone, 1, kRows) : nullptr;
      decomposition.CreateMPIRegions(setup, whole, kCols, kRows, kNodata, &first, &last);
      if (whole) setup.FreeMatrix(whole, 1, kRows, 1, kCols);
      low = decomposition.LowRow();
      high = decomposition.HighRow();
      args.object.instanceCellCounts = decomposition.CellCounts();
      args.object.haloSend = &decomposition.SendList();
      args.object.haloReceive = &decomposition.ReceiveList();
    }
    Add("zonegrid_soilmodel", zone);
    static int zoneindex[2] = {0, 1};
    static ZoneRecord records[2] = {{0, 0, 0, 1, 0}, {0, 0, 1, 1, 0}};
    args.zoneIndex = zoneindex;
    args.zoneRecords = records;
    args.zoneCount = 1;
    args.maxZoneCode = 1;
    args.gridlist = list.data();
    args.ncols = kCols;
    args.nrows = kRows;
    args.firstRow = first;
    args.lastRow = last;
    args.cellsize = 100;
    args.soilTable = soils.get();
    args.object.DefaultOutputDirectory = "/tmp/";
    Add("[elevation_model]", [](int r, int c) { return 100.0 + 0.01 * (r + c); });
    Add("groundwater_recharge", [](int, int) { return 0.0; });
    Add("groundwater_distance", [](int r, int c) { return -2.0 - 0.001 * ((r * 7 + c) % 100); });
    Add("soil_types", [](int, int) { return 1.0; });
    Add("baseflow", [](int, int) { return 0.0; });
    for (int l = 1; l <= 2; ++l) {
      const std::string n = std::to_string(l);
      Add("gw_boundary_fix_h_" + n, [](int r, int c) { return c == 1 && r % 5 == 0 ? 95.0 : kNodata; });
      Add("gw_boundary_fix_q_" + n, [](int r, int c) { return (r * 13 + c) % 31 == 0 ? 1e-8 : kNodata; });
      Add("aquifer_thickness_" + n, [](int, int) { return 20.0; });
      Add("gw_k_x_" + n, [l](int r, int c) { return 1e-5 * l * (1 + (r * c) % 4); });
      Add("gw_k_y_" + n, [l](int, int) { return 2e-5 * l; });
      Add("gw_storage_coeff_" + n, [l](int, int) { return l == 1 ? 0.1 : 1e-3; });
    }
    Add("gw_kolmation_1", [](int, int) { return 1e-9; });
  }
  ~Basin() {
    for (Grid g : grids) setup.FreeMatrix(g, low, high, 1, kCols);
    if (args.object.haloSend) decomposition.FreeMemory(setup);
  }
  Grid Make(const CellFn& f, int from, int to) {
    Grid g = setup.matrix(from, to, 1, kCols, kRows);
    for (int r = from; r <= to; ++r)
      for (int c = 1; c <= kCols; ++c) g[r][c] = f(r, c);
    return g;
  }
  void Add(const std::string& name, const CellFn& f) {
    Grid g = Make(f, low, high);
    grids.push_back(g);
    int p = 1;
    while (list[p].registered) ++p;
    list[p].grid = g;
    list[p].filename = name;
    list[p].shortname = name;
    list[p].registered = true;
    list[p].firstrow = low;
    list[p].lastrow = high;
  }
  // Model cells of this instance.
  long OwnCells(int rank) const {
    long n = 0;
    Grid zone = list[1].grid;
    for (int r = args.firstRow; r <= args.lastRow; ++r)
      for (int c = 1; c <= kCols; ++c)
        if (zone[r][c] > kNodata && (!args.object.haloSend || decomposition.Regions()[r][c] == rank)) ++n;
    return n;
  }

  modelobject setup;
  std::vector<GridListEntry> list;
  MPIDecomposition decomposition;
  std::unique_ptr<soil_table_entry[]> soils;
  std::vector<Grid> grids;
  SubModelArgs args;
  int low = 1;
  int high = kRows;
};

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::ostringstream quiet;
  DiagStream diag("/tmp/fluvex_bench_groundwater.xml", 0, &quiet);
  const std::string control = "/tmp/fluvex_bench_groundwater_" + std::to_string(size) + ".cntrl";
  for (const char* method : {"1", "2"}) {
    if (rank == 0) {
      std::FILE* f = std::fopen(control.c_str(), "w");
      if (!f) {
        std::fprintf(stderr, "cannot write %s\n", control.c_str());
        MPI_Abort(MPI_COMM_WORLD, 1);
      }
      std::fprintf(f, "[groundwater_flow]\n1\n1440\n%s\n%d\n0\n1\n0\n0\n2\n0 0\ncp.txt\n0\n", method, kSweeps);
      for (int l = 1; l <= 2; ++l) std::fprintf(f, "h%d.asc\n0\nx%d.asc\n0\ny%d.asc\n0\nb%d.asc\n0\n", l, l, l, l);
      std::fclose(f);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    if (rank == 0)
      std::printf("groundwater step, method %s (%s), %d x %d cells, 2 layers, %d instance(s)\n", method,
                  method[0] == '1' ? "red-black over-relaxation, 20 sweeps" : "line solver, 1 pass", kRows, kCols,
                  size);
    double base = 0;
    for (int threads : {1, 2, 4, 8}) {
      omp_set_num_threads(threads);
      Basin basin(&diag, rank, size);
      int error = 0;
      auto gw = std::make_unique<gwflowclass>(error, &diag, nullptr, 0, control, basin.args, 1);
      if (error != 0) {
        std::fprintf(stderr, "groundwater model not built: error %d\n", error);
        MPI_Abort(MPI_COMM_WORLD, error);
      }
      MPI_Barrier(MPI_COMM_WORLD);
      const double start = MPI_Wtime();
      for (int s = 1; s <= kSteps; ++s) {
        gw->StartStep(24, s, 1, 2001);
        gw->run(24, s, 1, 2001);
      }
      MPI_Barrier(MPI_COMM_WORLD);
      const double seconds = MPI_Wtime() - start;
      const long passes = method[0] == '1' ? kSweeps : 1;
      long local = basin.OwnCells(rank) * 2 * passes * kSteps;
      long total = 0;
      MPI_Reduce(&local, &total, 1, MPI_LONG, MPI_SUM, 0, MPI_COMM_WORLD);
      const double rate = total / seconds;
      if (threads == 1) base = rate;
      if (rank == 0)
        std::printf("  %d thread(s): %.3g cell-iterations/s, parallel efficiency %.2f\n", threads, rate,
                    rate / (base * threads));
      gw->FreeMemory();
    }
  }
  std::remove(control.c_str());
  MPI_Finalize();
  return 0;
}
