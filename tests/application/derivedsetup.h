// A set-up object on a small raster on one instance, for the tests of the
// derived static grids and the region weights. Grids are given row by row
// from the north; the zone grid takes position 1, every further grid the
// next position, and all of them are released with the set-up.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "application/defltuzr.h"
#include "framework/diagstream.h"
#include "tests/support/testutil.h"

namespace fluvextest {

class DerivedSetup : public defaultini {
 public:
  DerivedSetup(int& error, DiagStream* d, const std::string& dir, GridListEntry* list)
      : defaultini(error, d, dir + "/control.txt", nullptr, 0, 1, list) {
    DefaultOutputDirectory = dir + "/";
    InitialStateDirectory = dir + "/";
    WriteAsciiGrids = true;
  }
  void Raster(int columns, int rows, double cell) {
    SetGeometry(columns, rows, 1000, 2000, cell, -9999);
    SetRowRange(1, rows);
    firstrowhalo = 1;
    lastrowhalo = rows;
  }
  Grid Add(const std::string& file, const std::string& name, const std::vector<double>& values) {
    const int p = ++added;
    Grid g = matrix(1, nrows, 1, ncols, nrows);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = values.at(static_cast<size_t>((r - 1) * ncols + c - 1));
    RegisterGrid(p, file, g, nullptr, 0, name, 0, 1, nrows);
    nstandardgrids = p > 2 ? p - 2 : 0;
    return g;
  }
  // Zone grid (position 1) and its ranking.
  Grid Zones(const std::vector<double>& values) {
    Grid g = Add("zones.asc", "[zone_grid]", values);
    RankZones(gridlist, nullptr, ncols, nrows, nodata);
    return g;
  }
  Grid Find(const std::string& name) {
    const int p = FindGrid(name, true);
    return p > 0 ? gridlist[p].grid : nullptr;
  }
  const GridListEntry* Entry(const std::string& name) {
    const int p = FindGrid(name, true);
    return p > 0 ? &gridlist[p] : nullptr;
  }
  void SetMultilayerTable(std::unique_ptr<multilayer_landuse_entry[]> table) { multilayertable = std::move(table); }
  void SetSoilTable(std::unique_ptr<soil_table_entry[]> table) { soiltable = std::move(table); }
  int Layers() const { return nlanduselayers; }
  Grid Layer(int k) const { return k < static_cast<int>(landuselayers.size()) ? landuselayers[k] : nullptr; }
  Grid IceFirn() const { return icefirn; }
  double TransitionDistance() const { return transitiondistance; }
  Grid RelCellAreaGrid() const { return relcellarea; }
  using defaultini::LanduseLayers;

  int added = 0;
};

// One set-up object with its grid list and captured diagnostics.
class DerivedWorld {
 public:
  explicit DerivedWorld(const std::string& name)
      : dir(name), diag(dir / "d.xml", 4, &console), list(kGridListSize) {
    setup = std::make_unique<DerivedSetup>(error, &diag, dir.path(), list.data());
  }
  ~DerivedWorld() { setup->FreeMemory(); }
  DerivedSetup* operator->() { return setup.get(); }
  std::string Console() const { return console.str(); }
  // The error code f throws, 0 when none.
  template <typename F>
  int CodeOf(F f) {
    try {
      f();
    } catch (int code) {
      return code;
    }
    return 0;
  }
  // Values of an ASCII grid file of the directory, row by row from the north.
  std::vector<double> File(const std::string& name) const {
    std::istringstream in(ReadFile(dir / name));
    std::string word;
    double header[6] = {0, 0, 0, 0, 0, 0};
    for (double& h : header) in >> word >> h;
    std::vector<double> values(static_cast<size_t>(header[0] * header[1]));
    for (double& v : values) in >> v;
    return values;
  }

  TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  std::vector<GridListEntry> list;
  int error = 0;
  std::unique_ptr<DerivedSetup> setup;
};

}  // namespace fluvextest
