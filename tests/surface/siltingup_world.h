// A small basin for the silting-up model: rows x columns cells whose zone
// codes run 1 ... 8 in row order (the last cell has no data), the grids the
// model needs, a land-use table with a tilled field (tillage on day 100) and a
// meadow without tillage, a soil table, and the control-file section.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/teilmod.h"
#include "parameters/landusetable.h"
#include "parameters/soil_table_entry.h"
#include "surface/siltingup.h"
#include "tests/support/testutil.h"

class SiltingWorld : public ::testing::Test {
 protected:
  static constexpr int kZones = 8;
  static constexpr double kField = 1;  // land-use table entries
  static constexpr double kMeadow = 2;

  explicit SiltingWorld(const std::string& name, int rows = 2, int columns = 5)
      : dir(name), diag(dir / "d.xml", 4, &console), memory(&diag), list(kGridListSize), nrows(rows), ncols(columns) {
    zone = Add(1, "zones", 0);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) zone[r][c] = ((r - 1) * ncols + c - 1) % kZones + 1;
    zone[nrows][ncols] = -9999;
    Add(2, "dem", 400);
    landuse = Add(3, "landuse1", kField);
    vegetation = Add(4, "vegetation_coverage_degree1", 0);
    soil = Add(5, "soil_types", 1);
    storage = Add(6, "SurfStorSiltingUp", 0);
    precipitation = Add(7, "precipitation", 0);

    zoneindex.assign(kZones + 1, 0);
    zonerecords.assign(kZones + 1, ZoneRecord{0, 0, 0, 0, 0});
    for (int k = 1; k <= kZones; ++k) {
      zoneindex[k] = k;
      zonerecords[k] = ZoneRecord{0, 0, static_cast<double>(k), 1.0 / kZones, 0};
    }
    landusetable.reset(new landuse_table_entry[3]);
    landusetable[0].code = 2;
    const std::string flat = "Albedo = 0 0; rsc = 0 0; LAI = 0 0; Z0 = 0 0; VCF = 0 0; RootDepth = 0 0; AltDep = 0 0;";
    ParseLanduseEntry(landusetable[1], diag,
                      "1 field method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 1;\n JulDays = 100 "
                      "300; SoilTillage = 100; SR_ResidCovrg = 0 0; " +
                          flat + "\n}\n",
                      "VariableDayCount");
    ParseLanduseEntry(
        landusetable[2], diag,
        "2 meadow method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 1;\n JulDays = 100 "
        "300; SR_ResidCovrg = 0 0; " +
            flat + "\n}\n",
        "VariableDayCount");
    soiltable.reset(new soil_table_entry[3]);
    soiltable[0].code = 2;
    // Soil 2: no sand at all.
    soiltable[2].GrainSizeDist[0] = 0;
    soiltable[2].GrainSizeDist[1] = 0.5;
    soiltable[2].GrainSizeDist[2] = 0.5;

    args.zoneIndex = zoneindex.data();
    args.zoneRecords = zonerecords.data();
    args.zoneCount = kZones;
    args.maxZoneCode = kZones;
    args.gridlist = list.data();
    args.ncols = ncols;
    args.nrows = nrows;
    args.firstRow = 1;
    args.lastRow = nrows;
    args.cellsize = 1000;
    args.landuseTable = landusetable.get();
    args.soilTable = soiltable.get();
    args.object.DefaultOutputDirectory = dir.path() + "/";
  }
  ~SiltingWorld() override {
    model.reset();
    for (Grid g : grids) memory.FreeMatrix(g, 1, nrows, 1, ncols);
  }

  Grid Add(int position, const std::string& name, double value) {
    Grid g = memory.matrix(1, nrows, 1, ncols, 0);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = value;
    list[position].grid = g;
    list[position].filename = name + ".asc";
    list[position].shortname = name;
    list[position].registered = true;
    grids.push_back(g);
    return g;
  }

  // Section lines after the time interval; method line, statistics and grids.
  static std::string Head(const std::string& methodLine = "1\n") {
    return methodLine +
           "sdisp.stat 0\nqdsu.stat 0\nsdisp.grd\n0\nrainpause.grd\n0\nekin.grd\n0\ntsbb.grd\n0\nqdsu.grd\n0\n";
  }
  static std::string Section(const std::string& body, int minutes = 60) {
    return "[other]\n0\n\n[SiltingUpModel]\n1\n" + std::to_string(minutes) + "\n" + body;
  }
  // Constructs the model; returns its error code.
  int Make(const std::string& body, int minutes = 60) {
    const std::string path = dir / "run.cntrl.$$$";
    fluvextest::WriteFile(path, Section(body, minutes));
    int error = 0;
    try {
      model = std::make_unique<siltingupclass>(error, &diag, nullptr, 0, path, args);
    } catch (int code) {
      error = code;
    }
    if (error == 0) model->SetPrecipitationSource(0);
    return error;
  }
  // Runs one step; returns the thrown code (0: none).
  int Step(int hour, int day, int month, int year) {
    try {
      model->run(hour, day, month, year);
    } catch (int code) {
      return code;
    }
    return 0;
  }
  double Own(siltingupclass::OwnGrid k, int r, int c) const { return model->GetOwnGrid(k)[r][c]; }
  bool Said(const std::string& text) const { return console.str().find(text) != std::string::npos; }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  std::vector<GridListEntry> list;
  int nrows;
  int ncols;
  std::vector<Grid> grids;
  Grid zone = nullptr;
  Grid landuse = nullptr;
  Grid vegetation = nullptr;
  Grid soil = nullptr;
  Grid storage = nullptr;
  Grid precipitation = nullptr;
  std::vector<int> zoneindex;
  std::vector<ZoneRecord> zonerecords;
  std::unique_ptr<landuse_table_entry[]> landusetable;
  std::unique_ptr<soil_table_entry[]> soiltable;
  SubModelArgs args;
  std::unique_ptr<siltingupclass> model;
};
