// A basin for the surface routing: rows x columns cells of two subbasins
// (codes 1 and 2, split by columns; the last cell has no data), the grids the
// model takes over, and its control-file section. With several MPI instances
// every instance holds the whole grids and owns a band of rows ("MPIRegions").
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "parameters/landusetable.h"
#include "surface/surfrout.h"
#include "tests/support/testutil.h"

class RoutingWorld : public ::testing::Test {
 protected:
  static constexpr int kZones = 2;

  explicit RoutingWorld(const std::string& name, int rows = 6, int columns = 6)
      : dir(name + "_np" + std::to_string(fluvextest::MpiSize())),
        diag(dir / "d.xml", 4, &console),
        memory(&diag),
        list(kGridListSize),
        nrows(rows),
        ncols(columns) {
    zone = Add("zones", 0);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) zone[r][c] = c <= ncols / 2 ? 1 : 2;
    zone[nrows][ncols] = -9999;
    dem = Add("dem", 500);
    landuse = Add("landuse1", 1);
    for (const char* n : {"vegetation_coverage_degree1", "soil_types", "SurfStorSiltingUp", "directflow", "interflow",
                          "river_depth", "river_width", "river_links"})
      Add(n, 0);
    const int size = fluvextest::MpiSize();
    const int rank = fluvextest::MpiRank();
    if (size > 1) {
      // Bands of rows per instance.
      regions = Add("MPIRegions", 0);
      Add("MPIHelper", 0);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) regions[r][c] = (r - 1) * size / nrows;
    }
    int first = nrows + 1, last = 0;
    for (int r = 1; r <= nrows; ++r)
      if ((r - 1) * size / nrows == rank) {
        first = std::min(first, r);
        last = r;
      }

    zoneindex = {0, 1, 2};
    zonerecords = {{0, 0, 0, 0, 0}, {0, 0, 1, 0.5, 0}, {0, 0, 2, 0.5, 0}};
    landusetable.reset(new landuse_table_entry[2]);
    landusetable[0].code = 1;
    ParseLanduseEntry(landusetable[1], diag,
                      "1 field method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 1; SR_K_ST = 25;\n"
                      " JulDays = 100 300; Albedo = 0 0; rsc = 0 0; LAI = 0 0; Z0 = 0 0; VCF = 0 0; RootDepth = 0 0; "
                      "AltDep = 0 0;\n}\n",
                      "VariableDayCount");
    args.zoneIndex = zoneindex.data();
    args.zoneRecords = zonerecords.data();
    args.zoneCount = kZones;
    args.maxZoneCode = kZones;
    args.gridlist = list.data();
    args.ncols = ncols;
    args.nrows = nrows;
    args.firstRow = first;
    args.lastRow = last;
    args.cellsize = 10;
    args.landuseTable = landusetable.get();
    args.object.DefaultOutputDirectory = dir.path() + "/";
    // Every instance reads the state that instance 0 wrote.
    args.object.InitialStateDirectory =
        fluvextest::TempDirPath(name + "_np" + std::to_string(fluvextest::MpiSize()), 0) + "/";
    kelsqd = {0, 120, 120};
    kelsqi = {0, 600, 600};
    qbb.assign(kZones + 1, 0.0);
  }
  ~RoutingWorld() override {
    if (model) model->ReleaseMemory(false);
    model.reset();
    for (Grid g : grids) memory.FreeMatrix(g, 1, nrows, 1, ncols);
  }

  Grid Add(const std::string& name, double value) {
    int p = 1;
    while (list[p].registered) ++p;
    Grid g = memory.matrix(1, nrows, 1, ncols, 0);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = value;
    list[p].grid = g;
    list[p].filename = name + ".asc";
    list[p].shortname = name;
    list[p].registered = true;
    grids.push_back(g);
    return g;
  }

  static std::string Section(const std::string& method = "1", const std::string& minimum = "7",
                             const std::string& maximum = "1000", const std::string& tail = "0\n\n") {
    return "[SurfaceRoutingModel]\n1\n60\n" + method +
           "\tmethod\nqdsr.stat 0\nqisr.stat 0\nqbsr.stat 0\nqgsr.stat 0\nvelocity.stk\n0\nfluxes.stk\n0\n0.001\n10\n"
           "0.001\n10\n" +
           minimum + "\n" + maximum + "\n0.01\n1.0\n" + tail + "[irrigation]\n0\n60\n";
  }
  // Constructs the model (and its zones and tracer grids); returns the error code.
  int Make(const std::string& section, bool link = true) {
    if (model) model->ReleaseMemory(false);
    model.reset();
    const std::string path = dir / "run.cntrl.$$$";
    fluvextest::WriteFile(path, section);
    int error = 0;
    try {
      model = std::make_unique<surfaceroutingclass>(error, &diag, nullptr, 0, path, args);
      if (error == 0 && link) {
        model->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
        model->SetQBb(qbb.data());
        model->SetKelsqd(kelsqd.data());
        model->SetKelsqi(kelsqi.data());
      }
    } catch (int code) {
      error = code;
    }
    return error;
  }
  // Only instance 0 writes the console.
  bool Said(const std::string& text) const {
    return fluvextest::MpiRank() != 0 || console.str().find(text) != std::string::npos;
  }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  std::vector<GridListEntry> list;
  int nrows;
  int ncols;
  std::vector<Grid> grids;
  Grid zone = nullptr;
  Grid dem = nullptr;
  Grid landuse = nullptr;
  Grid regions = nullptr;
  std::vector<int> zoneindex;
  std::vector<ZoneRecord> zonerecords;
  std::unique_ptr<landuse_table_entry[]> landusetable;
  std::vector<double> kelsqd, kelsqi, qbb;
  SubModelArgs args;
  std::unique_ptr<surfaceroutingclass> model;
};
