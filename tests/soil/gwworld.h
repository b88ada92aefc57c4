// A small aquifer for the groundwater model: a raster of rows x columns, the
// grids the model binds (filled from functions of the global row and column,
// so that every instance holds the same values in its halo rows), one soil of
// two layers whose depth becomes the thickness of aquifer layer 1, and a
// control file whose "[groundwater_flow]" section the test shapes.
//
// On several MPI instances the raster is divided by the set-up's decomposition
// and every grid covers the instance's rows with halo. The unsaturated zone is
// stood in for by the test: after each step it sets "groundwater_distance" from
// the head of layer 1 (ResetDistance).
#pragma once

#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "application/mpidecomp.h"
#include "framework/diagstream.h"
#include "parameters/soil_table_entry.h"
#include "soil/gwflow.h"
#include "tests/support/testutil.h"

namespace gwtest {

using CellFn = std::function<double(int, int)>;

// The object under test with its per-step state opened for checks.
class GW : public gwflowclass {
 public:
  using gwflowclass::gwflowclass;
  int Iterations() const { return itercount; }
  int PondUse() const { return ponduse; }
  int PondFlag() const { return pondflag_read; }
  int Adaptive() const { return adaptive; }
  int64_t Buffered() const { return recordcount; }
  // Runs without the other instances (a serial reference inside an MPI test).
  void Serial() { mpisize = 1; }
};

// The lines of "[groundwater_flow]".
struct Section {
  int flowControl = 1;
  int interval = 1440;  // minutes
  std::string method = "1";
  int maxiter = 5000;
  double eps = 1e-10;
  double alpha = 1.0;
  double sor = 1.0;
  int layers = 1;
  std::string control = "0 0";
  std::string pond = "0";  // empty: no flag line
  int headCode = 0;

  std::string Text() const {
    std::ostringstream s;
    s.precision(17);
    s << "[groundwater_flow]\n"
      << flowControl << "\n"
      << interval << "\n"
      << method << "  method\n"
      << maxiter << "\n"
      << eps << "\n"
      << alpha << "\n"
      << sor << "\n0\n"
      << layers << "\n"
      << control << "\ncontrol.txt\n";
    if (!pond.empty()) s << pond << "  use pond\n";
    for (int l = 1; l <= layers; ++l)
      s << "heads" << l << ".asc\n"
        << headCode << "\nflowx" << l << ".asc\n0\nflowy" << l << ".asc\n0\nbalance" << l << ".asc\n0\n";
    s << "\n";
    return s.str();
  }
};

class World {
 public:
  // zone: zone code of a cell (-9999 outside the model). decompose: divide the
  // raster between the running instances.
  World(const std::string& name, int rows, int cols, double cell, CellFn zone, bool decompose)
      : nrows(rows),
        ncols(cols),
        dir(name + "_np" + std::to_string(fluvextest::MpiSize()) + (decompose ? "" : "_serial")),
        diag(dir / "d.xml", 4, &console),
        setup(&diag, "", 0, ModelObjectArgs{}),
        list(kGridListSize),
        zonefn(std::move(zone)) {
    // Two threads: the test machine is shared; the thread test sets its own counts.
    omp_set_num_threads(2);
    setup.SetGridList(list.data());
    setup.SetGeometry(cols, rows, 0.0, 0.0, cell, kNodata);
    soils = std::make_unique<soil_table_entry[]>(2);
    soils[0].code = 1;
    soils[1].code = 1;
    soils[1].layers = 2;
    soils[1].thickness = {0.0, 4.0, 6.0};  // profile depth 10 m
    low = 1;
    high = rows;
    int first = 1;
    int last = rows;
    if (decompose && fluvextest::MpiSize() > 1) {
      decomposition = std::make_unique<MPIDecomposition>(&diag, dir / "MpiSpeedFactor.dat");
      fluvextest::WriteFile(dir / "MpiSpeedFactor.dat", "1");
      Grid whole = nullptr;
      if (fluvextest::MpiRank() == 0) whole = Make(zonefn, 1, rows);
      decomposition->CreateMPIRegions(setup, whole, cols, rows, kNodata, &first, &last);
      if (whole) setup.FreeMatrix(whole, 1, rows, 1, cols);
      low = decomposition->LowRow();
      high = decomposition->HighRow();
      args.object.instanceCellCounts = decomposition->CellCounts();
      args.object.haloSend = &decomposition->SendList();
      args.object.haloReceive = &decomposition->ReceiveList();
    }
    Add("zonegrid_soilmodel", zonefn);
    static int zoneindex[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    args.zoneIndex = zoneindex;
    for (int k = 0; k <= 9; ++k) records[k] = ZoneRecord{0, 0, static_cast<double>(k), 0.1, 0};
    args.zoneRecords = records;
    args.zoneCount = 9;
    args.maxZoneCode = 9;
    args.gridlist = list.data();
    args.ncols = cols;
    args.nrows = rows;
    args.firstRow = first;
    args.lastRow = last;
    args.cellsize = cell;
    args.soilTable = soils.get();
    args.object.DefaultOutputDirectory = dir.path() + "/";
    args.object.InitialStateDirectory = dir.path() + "/";
    Add("[elevation_model]", [](int, int) { return 0.0; });
    Add("groundwater_recharge", [](int, int) { return 0.0; });
    Add("groundwater_distance", [](int, int) { return 5.0; });
    Add("soil_types", [](int, int) { return 1.0; });
    Add("baseflow", [](int, int) { return 0.0; });
  }
  ~World() {
    Release();
    for (auto& g : grids) setup.FreeMatrix(g, low, high, 1, ncols);
    if (decomposition) decomposition->FreeMemory(setup);
  }

  // The input grids of one layer; kolmation only for layers above the bottom.
  void AddLayer(int l, double k, double storage, double thickness, CellFn fixh = nullptr, CellFn fixq = nullptr,
                double kolmation = -1) {
    const std::string n = std::to_string(l);
    auto none = [](int, int) { return kNodata; };
    Add("gw_boundary_fix_h_" + n, fixh ? fixh : none);
    Add("gw_boundary_fix_q_" + n, fixq ? fixq : none);
    Add("aquifer_thickness_" + n, [=](int, int) { return thickness; });
    Add("gw_k_x_" + n, [=](int, int) { return k; });
    Add("gw_k_y_" + n, [=](int, int) { return k; });
    Add("gw_storage_coeff_" + n, [=](int, int) { return storage; });
    if (kolmation >= 0) Add("gw_kolmation_" + n, [=](int, int) { return kolmation; });
  }

  Grid Add(const std::string& name, const CellFn& value) {
    Grid g = Make(value, low, high);
    grids.push_back(g);
    int p = 1;
    while (list[p].registered) ++p;
    list[p].grid = g;
    list[p].filename = name + ".asc";
    list[p].shortname = name;
    list[p].registered = true;
    list[p].firstrow = low;
    list[p].lastrow = high;
    return g;
  }
  // A grid of the list by its short name (null when absent).
  Grid Find(const std::string& name) const {
    for (int p = 1; p < kGridListMax; ++p)
      if (list[p].registered && list[p].shortname == name) return list[p].grid;
    return nullptr;
  }
  int Position(const std::string& name) const {
    for (int p = 1; p < kGridListMax; ++p)
      if (list[p].registered && list[p].shortname == name) return p;
    return 0;
  }

  // Constructs the module in the test directory; returns its error code.
  int Build(const Section& section, int substeps = 1) {
    Release();
    fluvextest::WriteFile(dir / "run.cntrl", section.Text());
    int error = 0;
    try {
      gw = std::make_unique<GW>(error, &diag, nullptr, 0, dir / "run.cntrl", args, substeps);
    } catch (int code) {
      error = code;
    }
    return error;
  }

  // The model's release operation, then the object is deleted.
  void Release() {
    if (gw) gw->FreeMemory();
    gw.reset();
  }

  // n steps of one day from 1 January 2000, the stand-in for the unsaturated
  // zone following layer 1's head in between.
  void Steps(int n) {
    for (int i = 0; i < n; ++i) {
      const int64_t d = 1 + (step % 28);
      ++step;
      gw->StartStep(24, d, 1, 2000);
      for (int s = 0; s < gw->GetSubSteps(); ++s) gw->run(24, d, 1, 2000);
      ResetDistance();
    }
  }
  void ResetDistance() {
    Grid h = Find("gw_head_1");
    Grid dist = Find("groundwater_distance");
    Grid elev = Find("[elevation_model]");
    for (int r = low; r <= high; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (h[r][c] > kNodata) dist[r][c] = h[r][c] - elev[r][c];
  }
  bool Said(const std::string& text) const { return console.str().find(text) != std::string::npos; }
  bool Own(int r, int c) const {
    if (!decomposition) return true;
    return r >= args.firstRow && r <= args.lastRow && decomposition->Regions()[r][c] == fluvextest::MpiRank();
  }

  int nrows;
  int ncols;
  int low;
  int high;
  int step = 0;
  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  modelobject setup;
  std::vector<GridListEntry> list;
  CellFn zonefn;
  std::unique_ptr<MPIDecomposition> decomposition;
  std::unique_ptr<soil_table_entry[]> soils;
  std::vector<Grid> grids;
  ZoneRecord records[10];
  SubModelArgs args;
  std::unique_ptr<GW> gw;

 private:
  Grid Make(const CellFn& value, int from, int to) {
    Grid g = setup.matrix(from, to, 1, ncols, nrows);
    for (int r = from; r <= to; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = value(r, c);
    return g;
  }
};

}  // namespace gwtest
