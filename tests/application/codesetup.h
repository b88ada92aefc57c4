// A set-up object on a raster divided between the running instances, for the
// tests of the code checks and the hydrologic response units.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "application/defltuzr.h"
#include "tests/framework/codeof.h"
#include "tests/support/decomposedmodel.h"

namespace fluvextest {

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

}  // namespace fluvextest
