// Set-up objects under test. CodeSetup: on a raster divided between the
// running instances, for the code checks and the hydrologic response units.
// DerivedSetup: on a small raster on one instance, for the derived grids and
// the region weights; grids are given row by row from the north, the zone
// grid takes position 1, every further grid the next one.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "application/defltuzr.h"
#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/decomposedmodel.h"
#include "tests/support/testutil.h"

namespace fluvextest {

// 5 rows x 12 columns with cells without data at the edges and one inside (row 3, column 6).
inline const std::vector<std::string> kCodeRaster = {"1111111111..", ".1111111111.", "11111.111111", "111111111111",
                                                     "..11111111.."};

class CodeSetup : public defaultini {
 public:
  CodeSetup(int& error, DecomposedModel& m, const std::string& controlFile)
      : defaultini(error, &m.diag, controlFile, nullptr, 0, 2, m.list.data()), model(m) {
    SetGeometry(m.ncols, m.nrows, 1000.0, 2000.0, 50.0, kNodata);
    SetRowRange(m.first, m.last);
    firstrowhalo = m.Low();
    lastrowhalo = m.High();
    instanceCellCounts = m.decomposition.CellCounts();
    haloSend = &m.decomposition.SendList();
    haloReceive = &m.decomposition.ReceiveList();
    SetMPIRegionGrids(m.decomposition.Regions(), m.decomposition.Helper());
    columnranges = m.ranges;
    SetDataColumns(columnranges.data());
    InitialStateDirectory = m.dir.path() + "/";
    DefaultOutputDirectory = m.dir.path() + "/";
    WriteAsciiGrids = true;
    // The other instances hold the zone grid of their rows, as after the set-up's distribution.
    if (m.rank != 0 && !m.list[1].registered) {
      RegisterGrid(1, "zone.asc", m.localZone, nullptr, 0, "[zone_grid]", 0, m.Low(), m.High());
      ownzone = true;
    }
  }
  ~CodeSetup() override {
    FreeHRUGrids();
    for (auto& [position, grid] : owned) {
      FreeMatrix(grid, GridFirstRow(), GridLastRow(), 1, ncols);
      UnregisterGrid(position);
    }
    if (ownzone) {
      UnregisterGrid(1);
      model.list[1].filename = "zone.asc";
      model.list[1].shortname = "[zone_grid]";
    }
  }
  // A grid of this instance's rows: value(r, c) on instance 0 (all rows),
  // garbage on the rows of the others, which the check has to overwrite.
  template <typename F>
  Grid AddGrid(int position, const std::string& file, const std::string& name, F value, bool everyInstance = false) {
    Grid g = matrix(GridFirstRow(), GridLastRow(), 1, ncols, nrows);
    for (int r = GridFirstRow(); r <= GridLastRow(); ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = (mpirank == 0 || everyInstance) ? value(r, c) : -123.0;
    RegisterGrid(position, file, g, nullptr, 0, name, 0, GridFirstRow(), GridLastRow());
    owned.emplace_back(position, g);
    return g;
  }
  // The first grid-list position in no use (the list ends there).
  int NextFree() const {
    int p = 1;
    while (gridlist[p].registered || !gridlist[p].filename.empty() || !gridlist[p].shortname.empty()) ++p;
    return p;
  }
  void SoilCodes(const std::vector<int>& codes) {
    soiltable = std::make_unique<soil_table_entry[]>(codes.size() + 1);
    soiltable[0].code = static_cast<int>(codes.size());
    for (size_t k = 0; k < codes.size(); ++k) soiltable[k + 1].code = codes[k];
  }
  void LanduseCodes(const std::vector<int>& codes) {
    landusetable = std::make_unique<landuse_table_entry[]>(codes.size() + 1);
    landusetable[0].SetCode(static_cast<int>(codes.size()));
    for (size_t k = 0; k < codes.size(); ++k) landusetable[k + 1].SetCode(codes[k]);
  }
  // One multi-layer entry per element: its code and its layer codes.
  void MultilayerCodes(const std::vector<std::pair<int, std::vector<int>>>& entries) {
    multilayertable = std::make_unique<multilayer_landuse_entry[]>(entries.size() + 1);
    multilayertable[0].code = static_cast<int>(entries.size());
    for (size_t k = 0; k < entries.size(); ++k) {
      multilayer_landuse_entry& e = multilayertable[k + 1];
      e.code = entries[k].first;
      e.Landuse_Layers.assign(1, 0);
      for (int code : entries[k].second) e.Landuse_Layers.push_back(code);
      e.count = static_cast<int>(entries[k].second.size());
      e.LayerIndexes = e.Landuse_Layers;
    }
  }
  void IrrigationCodes(const std::vector<int>& codes) {
    irrigationtable.assign(codes.size() + 1, IrrigationTable{});
    irrigationtable[0].code = static_cast<int>(codes.size());
    for (size_t k = 0; k < codes.size(); ++k) irrigationtable[k + 1].code = codes[k];
  }
  void OpenControlFile() { controlfile.Open(controlfilename, diag); }
  void ReadIrrigationSections() { ReadIrrigationTable(); }
  const std::vector<IrrigationTable>& Irrigation() const { return irrigationtable; }
  int Switch() const { return irrigationswitch; }
  Grid HRUGrid() const { return hrugrid; }
  Grid MasterGrid() const { return masterhrugrid; }
  int HRUPosition() const { return hruposition; }
  int MasterPosition() const { return masterhruposition; }
  using defaultini::CheckLanduseCodes;

 private:
  DecomposedModel& model;
  std::vector<std::pair<int, Grid>> owned;
  bool ownzone = false;
};

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
