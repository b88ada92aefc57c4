// A model object on a raster divided between the running MPI instances, for
// the tests of the decomposition, the exchange and the stack files.
//
// The zone grid is given as a picture, one string per row: '.' is a cell
// without data, a digit a zone code. Instance 0 holds the zone grid whole, as
// the set-up does before the decomposition.
#pragma once

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "application/mpidecomp.h"
#include "framework/diagstream.h"
#include "framework/modelobject.h"
#include "tests/support/testutil.h"

namespace fluvextest {

class DecomposedModel {
 public:
  // runTime: this instance's entry of "MpiSpeedFactor.dat" (empty: no file).
  // The instance count is part of the directory name: the runs of one test on
  // 1 ... 4 instances may run at the same time in the same directory.
  DecomposedModel(const std::string& name, const std::vector<std::string>& picture, const std::string& runTime = "1")
      : dir(name + "_np" + std::to_string(MpiSize())),
        diag(dir / "diag.xml", 4, &console),
        setup(&diag, "", 0, ModelObjectArgs{}),
        decomposition(&diag, dir / "MpiSpeedFactor.dat"),
        rows(picture),
        name(name + "_np" + std::to_string(MpiSize())) {
    nrows = static_cast<int>(picture.size());
    ncols = static_cast<int>(picture[0].size());
    rank = MpiRank();
    size = MpiSize();
    list.resize(kGridListSize);
    setup.SetGridList(list.data());
    setup.SetGeometry(ncols, nrows, 1000.0, 2000.0, 50.0, kNodata);
    if (rank == 0) {
      zone = setup.matrix(1, nrows, 1, ncols, nrows);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) zone[r][c] = Zone(r, c);
      setup.RegisterGrid(1, "zone.asc", zone, nullptr, 0, "[zone_grid]", 0, 1, nrows);
    } else {
      // The other instances know the entry from the control file only.
      list[1].filename = "zone.asc";
      list[1].shortname = "[zone_grid]";
    }
    if (!runTime.empty()) WriteFile(dir / "MpiSpeedFactor.dat", runTime);
  }

  ~DecomposedModel() {
    if (object) object->FreeMatrix(localZone, Low(), High(), 1, ncols);
    if (zone) setup.FreeMatrix(zone, 1, nrows, 1, ncols);
    decomposition.FreeMemory(setup);
  }

  // Runs the decomposition and builds the model object that uses it.
  void Decompose() {
    decomposition.CreateMPIRegions(setup, zone, ncols, nrows, kNodata, &first, &last);
    ranges.assign(static_cast<std::size_t>(nrows) + 1, ColumnRange{0, -1});
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (Zone(r, c) == kNodata) continue;
        if (ranges[r].first == 0) ranges[r].first = c;
        ranges[r].last = c;
      }
      if (rank != 0 && (r < first || r > last)) ranges[r] = ColumnRange{0, -1};
    }
    ModelObjectArgs args;
    args.instanceCellCounts = decomposition.CellCounts();
    args.haloSend = &decomposition.SendList();
    args.haloReceive = &decomposition.ReceiveList();
    object = std::make_unique<modelobject>(&diag, "", 0, args);
    object->SetGridList(list.data());
    object->SetGeometry(ncols, nrows, 1000.0, 2000.0, 50.0, kNodata);
    object->SetRowRange(first, last);
    object->SetDataColumns(ranges.data());
    object->SetMPIRegionGrids(decomposition.Regions(), decomposition.Helper());
    localZone = NewGrid(kNodata);
    for (int r = Low(); r <= High(); ++r)
      for (int c = 1; c <= ncols; ++c) localZone[r][c] = Zone(r, c);
  }

  double Zone(int r, int c) const {
    const char ch = rows[r - 1][c - 1];
    return ch == '.' ? kNodata : ch - '0';
  }

  // Owner of a cell after an independent count: quotas for equal run times,
  // the last instance taking the first valid cells of the raster.
  int ExpectedOwner(int r, int c) const {
    if (Zone(r, c) == kNodata) return -1;
    int64_t n = 0;
    int64_t index = -1;
    for (int rr = 1; rr <= nrows; ++rr)
      for (int cc = 1; cc <= ncols; ++cc)
        if (Zone(rr, cc) != kNodata) {
          if (rr == r && cc == c) index = n;
          ++n;
        }
    std::vector<int64_t> quota(size);
    int64_t sum = 0;
    for (int i = 0; i < size - 1; ++i) sum += quota[i] = static_cast<int64_t>(n / static_cast<double>(size) + 0.4999);
    quota[size - 1] = n - sum;
    for (int i = size - 1; i >= 0; --i) {
      if (index < quota[i]) return i;
      index -= quota[i];
    }
    return -2;
  }

  int Low() const { return decomposition.LowRow(); }
  int High() const { return decomposition.HighRow(); }

  // A grid over this instance's rows with halo (all rows on instance 0).
  Grid NewGrid(double fill) {
    Grid g = object->matrix(Low(), High(), 1, ncols, nrows);
    for (int r = Low(); r <= High(); ++r)
      for (int c = 0; c <= ncols; ++c) g[r][c] = fill;
    return g;
  }
  void FreeGrid(Grid g) { object->FreeMatrix(g, Low(), High(), 1, ncols); }
  Stack NewStack(int levels, double fill) {
    Stack s = object->matrix3d(Low(), High(), 1, ncols, levels, nrows);
    for (int r = Low(); r <= High(); ++r)
      for (int c = 1; c <= ncols; ++c)
        for (int l = 0; l <= levels; ++l) s[r][c][l] = fill;
    return s;
  }
  void FreeStack(Stack s) { object->FreeMatrix3d(s, Low(), High()); }
  // A path in instance 0's directory: a file that all instances share.
  std::string Shared(const std::string& file) const {
    return TempDirPath(name, 0) + "/" + file;
  }
  bool Own(int r, int c) const { return decomposition.Regions()[r][c] == rank; }

  std::ostringstream console;
  TempDir dir;
  DiagStream diag;
  std::vector<GridListEntry> list;
  modelobject setup;
  MPIDecomposition decomposition;
  std::unique_ptr<modelobject> object;
  std::vector<std::string> rows;
  std::vector<ColumnRange> ranges;
  std::string name;
  Grid zone = nullptr;       // instance 0: the complete zone grid
  Grid localZone = nullptr;  // every instance: zone values of its rows with halo
  int nrows = 0;
  int ncols = 0;
  int rank = 0;
  int size = 1;
  int first = 0;
  int last = 0;
};

}  // namespace fluvextest
