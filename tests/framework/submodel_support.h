// A sub-model under test: a control file, a small grid list with a zone grid
// of 2 x 3 cells (one missing) and two zones, and access to protected state.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/teilmod.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

class Probe : public teilmodellklasse {
 public:
  using teilmodellklasse::teilmodellklasse;
  int NextValue() {
    int v = 0;
    ReadValue(controlfile, "\t%d", &v, "next value ", linebuffer);
    return v;
  }
  bool ControlFileOpen() const { return controlfile.IsOpen(); }
  // The read-grids switch that a module reads from its section.
  void SetReadGrids(int value) { readgrids = value; }
  // Fixed sunrise and sunset instead of the geometry (negative: geometry).
  double fixedRise = -1;
  double fixedSet = -1;
  void SunriseSunset(int d, int m, double& rise, double& set, double lat, double lon) override {
    if (fixedRise >= 0) {
      rise = fixedRise;
      set = fixedSet;
      return;
    }
    teilmodellklasse::SunriseSunset(d, m, rise, set, lat, lon);
  }
};

class SubModelFixture : public ::testing::Test {
 protected:
  explicit SubModelFixture(const std::string& name)
      : dir(name), diag(dir / "d.xml", 4, &console), memory(&diag), list(kGridListSize) {
    zone = memory.matrix(1, 2, 1, 3, 0);
    const double values[2][3] = {{1, 1, -9999}, {2, 2, 2}};
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 3; ++c) zone[r][c] = values[r - 1][c - 1];
    Enter(1, "zones", zone);
    args.zoneIndex = zoneindex;
    args.zoneRecords = zonerecords;
    args.zoneCount = 2;
    args.maxZoneCode = 2;
    args.gridlist = list.data();
    args.ncols = 3;
    args.nrows = 2;
    args.firstRow = 1;
    args.lastRow = 2;
    args.cellsize = 1000;
    args.object.DefaultOutputDirectory = dir.path() + "/";
  }
  ~SubModelFixture() override { memory.FreeMatrix(zone, 1, 2, 1, 3); }

  void Enter(int position, const std::string& name, Grid grid) {
    list[position].grid = grid;
    list[position].filename = name + ".asc";
    list[position].shortname = name;
    list[position].registered = true;
  }
  std::string Control(const std::string& body) {
    const std::string path = dir / "run.cntrl.$$$";
    fluvextest::WriteFile(path, body);
    return path;
  }
  std::unique_ptr<Probe> Make(const std::string& body, bool mustExist = false, int substeps = 1) {
    return std::make_unique<Probe>(&diag, "snow_model", Control(body), 0, args, substeps, mustExist);
  }
  // Only instance 0 writes the console.
  bool Said(const std::string& text) const {
    return fluvextest::MpiRank() != 0 || console.str().find(text) != std::string::npos;
  }
  int Stamps() const {
    return fluvextest::MpiRank() != 0 ? -1 : fluvextest::CountOf(console.str(), "(time of meteo data)");
  }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  std::vector<GridListEntry> list;
  Grid zone = nullptr;
  int zoneindex[3] = {0, 1, 2};
  ZoneRecord zonerecords[3] = {{0, 0, 1, 5, 0}, {0, 0, 1, 0.4, 0}, {0, 0, 2, 0.6, 0}};
  SubModelArgs args;
};
