// A small model world for the radiation, evapotranspiration and interception
// tests: a grid list with the zone grid, the elevation model, cell areas,
// slope grids and owner grid on one instance, any further named grids, the
// common sub-model arguments and the control file in a directory of its own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/submodelframe.h"
#include "tests/support/testutil.h"

namespace ettest {

// The arguments every sub-model takes: grids, zones, rows first ... last of
// the raster, a run that ends on 31 December 2001.
inline SubModelArgs GridArgs(GridListEntry* list, int* zoneIndex, ZoneRecord* zones, int zoneCount, int rows, int cols,
                             int first, int last, double cellsize, double latitude) {
  SubModelArgs a;
  a.gridlist = list;
  a.zoneIndex = zoneIndex;
  a.zoneRecords = zones;
  a.zoneCount = zoneCount;
  a.maxZoneCode = zoneCount;
  a.ncols = cols;
  a.nrows = rows;
  a.firstRow = first;
  a.lastRow = last;
  a.cellsize = cellsize;
  a.latitude = latitude;
  a.endYear = 2001;
  a.endMonth = 12;
  a.endDay = 31;
  return a;
}

class World {
 public:
  World(int rows, int cols, double cellSize, const std::string& name)
      : rows(rows), cols(cols), cellsize(cellSize), list(kGridListSize), dir("et_" + name) {
    previous = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
    diag = std::make_unique<DiagStream>("diag.xml", 4, &console);
    zone = Add("zonegrid", 1);
    Add("[elevation_model]", 0);
    Add("RelCellArea", 1);
    Add("slope_angle", 0);
    Add("slope_aspect", 180);
    Add("MPIRegions", 0);
  }
  ~World() {
    diag.reset();
    for (Grid g : owned) memory.FreeMatrix(g, 1, rows, 1, cols);
    std::filesystem::current_path(previous);
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // A new grid of the value in the first free position.
  Grid Add(const std::string& name, double value) {
    Grid g = memory.matrix(1, rows, 1, cols, rows);
    for (int r = 1; r <= rows; ++r)
      for (int c = 1; c <= cols; ++c) g[r][c] = value;
    owned.push_back(g);
    int p = 1;
    while (list[p].registered || !list[p].shortname.empty()) ++p;
    list[p].grid = g;
    list[p].shortname = name;
    list[p].filename = name + ".asc";
    list[p].registered = true;
    return g;
  }
  Grid Get(const std::string& name) const {
    for (int p = 1; p < kGridListMax; ++p)
      if (list[p].shortname == name) return list[p].grid;
    return nullptr;
  }
  int Position(const std::string& name) const {
    for (int p = 1; p < kGridListMax; ++p)
      if (list[p].shortname == name) return p;
    return 0;
  }
  int Occupied() const {
    int n = 0;
    for (int p = 1; p < kGridListMax; ++p) n += list[p].registered ? 1 : 0;
    return n;
  }
  void Write(const std::string& text) const { fluvextest::WriteFile(dir / "control.txt", text); }
  std::string Console() const { return console.str(); }
  DiagStream* Diag() const { return diag.get(); }
  std::string Path(const std::string& file) const { return dir / file; }

  SubModelArgs Args() {
    SubModelArgs a = GridArgs(list.data(), zoneIndex, zones, 1, rows, cols, 1, rows, cellsize, latitude);
    a.longitude = 0;
    a.meridian = 0;
    a.minToIntEnd = minToIntEnd;
    a.timeShift = timeShift;
    a.multilayerTable = multilayer;
    return a;
  }

  int rows;
  int cols;
  double cellsize;
  double latitude = 50;
  double minToIntEnd = 0;
  double timeShift = 0;
  multilayer_landuse_entry* multilayer = nullptr;
  Grid zone = nullptr;
  std::vector<GridListEntry> list;
  int zoneIndex[2] = {0, 1};
  ZoneRecord zones[2] = {{0, 0, 0, 0, 0}, {0, 0, 1, 1, 0}};

 private:
  fluvextest::TempDir dir;
  std::string previous;
  std::ostringstream console;
  std::unique_ptr<DiagStream> diag;
  memory_handling memory;
  std::vector<Grid> owned;
};

// Constructs a sub-model; error receives the code of the out-parameter or of an exception.
template <typename T>
std::unique_ptr<T> Make(World& w, int& error) {
  error = 0;
  std::unique_ptr<T> m;
  try {
    m = std::make_unique<T>(error, w.Diag(), nullptr, 0, "control.txt", w.Args());
  } catch (int code) {
    error = code;
  }
  return m;
}

}  // namespace ettest
