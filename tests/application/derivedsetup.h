// A set-up object on a small raster on one instance, for the tests of the
// derived grids and the region weights. Grids are given row by row from the
// north; the zone grid takes position 1, every further grid the next one.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "application/defltuzr.h"
#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

namespace fluvextest {

class DerivedSetup : public defaultini {
 public:
  DerivedSetup(int& error, DiagStream* d, const std::string& dir, GridListEntry* list)
      : defaultini(error, d, dir + "/control.txt", nullptr, 0, 1, list) {
    DefaultOutputDirectory = dir + "/";
    WriteAsciiGrids = true;
  }
  // Zone grid of a raster of cells of 100 (position 1) and its ranking.
  void Zones(int columns, int rows, const std::vector<double>& values) {
    SetGeometry(columns, rows, 1000, 2000, 100, -9999);
    SetRowRange(1, rows);
    firstrowhalo = 1;
    lastrowhalo = rows;
    Add("zones.asc", "[zone_grid]", values);
    RankZones(gridlist, nullptr, ncols, nrows, nodata);
  }
  // Released with the standard grids.
  Grid Add(const std::string& file, const std::string& name, const std::vector<double>& values) {
    const int p = ++added;
    Grid g = matrix(1, nrows, 1, ncols, nrows);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = values.at(static_cast<size_t>((r - 1) * ncols + c - 1));
    RegisterGrid(p, file, g, nullptr, 0, name, 0, 1, nrows);
    nstandardgrids = p > 2 ? p - 2 : 0;
    return g;
  }
  Grid Find(const std::string& name) {
    const int p = FindGrid(name, true);
    return p > 0 ? gridlist[p].grid : nullptr;
  }
  using defaultini::icefirn;
  using defaultini::landuselayers;
  using defaultini::LanduseLayers;
  using defaultini::multilayertable;
  using defaultini::nlanduselayers;
  using defaultini::soiltable;
  using defaultini::transitiondistance;
  int added = 0;
};

// One set-up object with its grid list and captured console.
struct DerivedWorld {
  explicit DerivedWorld(const std::string& name) : dir(name), diag(dir / "d.xml", 4, &console), list(kGridListSize) {
    setup = std::make_unique<DerivedSetup>(error, &diag, dir.path(), list.data());
  }
  ~DerivedWorld() { setup->FreeMemory(); }
  DerivedSetup* operator->() { return setup.get(); }
  bool Said(const std::string& text) const { return console.str().find(text) != std::string::npos; }

  TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  std::vector<GridListEntry> list;
  int error = 0;
  std::unique_ptr<DerivedSetup> setup;
};

}  // namespace fluvextest
