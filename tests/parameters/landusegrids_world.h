// A small raster with a land-use table for the tests of the land-use
// parameter grids: zone grid, elevation, "albedo", the layer grid landuse1
// and "temperature" in a grid list, on one instance.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "framework/modelobject.h"
#include "parameters/landuseparametergrids.h"
#include "parameters/landusetable.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

namespace lutest {

// One block of the land-use table with the keys every method needs.
inline std::string Block(int code, const std::string& method, const std::string& keys,
                         const std::string& hReduDry = "3.45") {
  return std::to_string(code) + " type" + std::to_string(code) + " method = " + method +
         " {\n  RootDist = 1; TReduWet = 0.9; HReduDry = " + hReduDry + ";\n  " + keys + "\n}\n";
}

class World {
 public:
  // picture: one string per row; '.' lies outside the basin, a digit is the
  // land-use table index of layer 1 ('0': the layer has no land use there).
  World(const std::string& name, const std::vector<std::string>& picture, const std::string& blocks, int count)
      : dir(name), diag(dir / "diag.xml", 4, &console), list(kGridListSize), owner(&diag, "", 0, ModelObjectArgs{}) {
    nrows = static_cast<int>(picture.size());
    ncols = static_cast<int>(picture[0].size());
    owner.SetGridList(list.data());
    owner.SetGeometry(ncols, nrows, 0, 0, 100, kNodata);
    auto at = [&](int r, int c) { return picture[r - 1][c - 1]; };
    zone = Add("zones", [&](int r, int c) { return at(r, c) == '.' ? kNodata : 1.0; });
    dem = Add("dem", [&](int, int) { return 400.0; });
    albedo = Add("albedo", [&](int, int) { return 0.5; });
    layers.assign(2, nullptr);
    layers[1] = Add("landuse1", [&](int r, int c) {
      const char ch = at(r, c);
      return ch == '.' || ch == '0' ? kNodata : ch - '0';
    });
    temperature = Add("temperature", [&](int, int) { return 0.0; });
    fluvextest::WriteFile(dir / "c.txt", "[landuse_table]\n" + std::to_string(count) + "\n" + blocks + "[end]\n");
    ControlFile file;
    EXPECT_TRUE(file.Open(dir / "c.txt", &diag));
    table = ReadLanduseTable(file, diag, 2);
    frame.ncols = ncols;
    frame.nrows = nrows;
    frame.cellsize = 100;
    frame.nodata = kNodata;
    frame.firstRow = frame.firstRowHalo = 1;
    frame.lastRow = frame.lastRowHalo = nrows;
    frame.startYear = frame.endYear = 2001;
    frame.startMonth = frame.startDay = 1;
    frame.endMonth = 12;
    frame.endDay = 31;
    frame.endHour = 24;
  }

  ~World() {
    if (grids) grids->FreeMemory();
    grids.reset();
    for (auto& [position, grid] : mine) {
      owner.UnregisterGrid(position);
      owner.FreeMatrix(grid, 1, nrows, 1, ncols);
    }
  }

  // A grid of the world at the next free position, valued by f.
  Grid Add(const std::string& name, const std::function<double(int, int)>& f) {
    Grid g = owner.matrix(1, nrows, 1, ncols, nrows);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = f(r, c);
    int p = 1;
    while (list[p].registered) ++p;
    owner.RegisterGrid(p, name, g, nullptr, 0, name, 0, 1, nrows);
    mine.emplace_back(p, g);
    return g;
  }

  // Builds the grids of layers 1 ... layerCount with the frame as it stands.
  void Build(int layerCount = 1) {
    grids = std::make_unique<landuseparametergrids>(&diag, args, list.data(), frame, table.get(), layers);
    grids->Generate(layerCount);
  }

  // One step: the hour stamp, the date, the step length named by the caller.
  void Step(int hour, int day, int month, int year, int stepMinutes = 1440) {
    grids->UpdateActualParameters(hour, day, month, year, stepMinutes);
  }

  // The step of day of year d.
  void StepDay(int hour, int d, int year, int stepMinutes = 1440) {
    int month = 1;
    while (d > DaysInMonth(year, month)) d -= DaysInMonth(year, month++);
    Step(hour, d, month, year, stepMinutes);
  }

  double Get(const std::string& name, int r, int c) {
    const int p = owner.FindGrid(name, true);
    EXPECT_GT(p, 0) << name;
    return p > 0 && list[p].grid ? list[p].grid[r][c] : -1e300;
  }
  Grid GridOf(landuseparametergrids::Kind kind, int layer = 1) { return grids->LayerGrid(kind, layer); }

  bool Said(const std::string& text) const { return console.str().find(text) != std::string::npos; }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  std::vector<GridListEntry> list;
  modelobject owner;
  ModelObjectArgs args;
  std::unique_ptr<landuse_table_entry[]> table;
  landuseparametergrids::Frame frame;
  std::unique_ptr<landuseparametergrids> grids;
  std::vector<std::pair<int, Grid>> mine;
  std::vector<Grid> layers;
  Grid zone = nullptr, dem = nullptr, albedo = nullptr, temperature = nullptr;
  int nrows = 0, ncols = 0;
};

}  // namespace lutest
