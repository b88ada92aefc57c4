// Small basins for the surface models: rows x columns cells with the grids a
// model takes over, land-use entries, and the model's control-file section.
// SiltingWorld: zone codes 1 ... 8 in row order (the last cell has no data),
// a tilled field (tillage on day 100) and a meadow, a soil table.
// RoutingWorld: two subbasins split by columns (the last cell has no data);
// with several MPI instances every instance holds the whole grids and owns a
// band of rows ("MPIRegions").
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
#include "surface/surfrout.h"
#include "tests/support/testutil.h"

// A VariableDayCount land-use entry "code name" with the given extra keys.
inline void Landuse(landuse_table_entry& e, DiagStream& diag, const std::string& head, const std::string& keys) {
  ParseLanduseEntry(e, diag,
                    head + " method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 1; " + keys +
                        "\n JulDays = 100 300; Albedo = 0 0; rsc = 0 0; LAI = 0 0; Z0 = 0 0; VCF = 0 0; "
                        "RootDepth = 0 0; AltDep = 0 0;\n}\n",
                    "VariableDayCount");
}

class SurfaceWorld : public ::testing::Test {
 protected:
  SurfaceWorld(const std::string& name, int rows, int columns, int zones)
      : dir(name), diag(dir / "d.xml", 4, &console), memory(&diag), list(kGridListSize), nrows(rows), ncols(columns) {
    args.zoneCount = zones;
    args.maxZoneCode = zones;
    args.gridlist = list.data();
    args.ncols = ncols;
    args.nrows = nrows;
    args.firstRow = 1;
    args.lastRow = nrows;
    args.object.DefaultOutputDirectory = dir.path() + "/";
  }
  ~SurfaceWorld() override {
    for (Grid g : grids) memory.FreeMatrix(g, 1, nrows, 1, ncols);
  }
  // A grid filled with value at the first free position of the list.
  Grid Add(const std::string& name, double value) {
    int p = 1;
    while (list[p].registered) ++p;
    Grid g = memory.matrix(1, nrows, 1, ncols, 0);
    Fill(g, value);
    list[p].grid = g;
    list[p].filename = name + ".asc";
    list[p].shortname = name;
    list[p].registered = true;
    grids.push_back(g);
    return g;
  }
  Grid Find(const std::string& name) const {
    for (const GridListEntry& e : list)
      if (e.registered && e.shortname == name) return e.grid;
    return nullptr;
  }
  void Fill(Grid g, double value) {
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = value;
  }
  // Only instance 0 writes the console.
  bool Said(const std::string& text) const {
    return fluvextest::MpiRank() != 0 || console.str().find(text) != std::string::npos;
  }
  // Constructs a model from its section; the code of the out-parameter or the exception.
  // extra: further constructor arguments (the sub-step count of the surface routing).
  template <typename M, typename... Extra>
  int Construct(std::unique_ptr<M>& m, const std::string& section, Extra... extra) {
    const std::string path = dir / "run.cntrl.$$$";
    fluvextest::WriteFile(path, section);
    int error = 0;
    try {
      m = std::make_unique<M>(error, &diag, nullptr, 0, path, args, extra...);
    } catch (int code) {
      error = code;
    }
    return error;
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
  Grid landuse = nullptr;
  std::vector<int> zoneindex;
  std::vector<ZoneRecord> zonerecords;
  std::unique_ptr<landuse_table_entry[]> landusetable;
  SubModelArgs args;
};

class SiltingWorld : public SurfaceWorld {
 protected:
  static constexpr int kZones = 8;
  static constexpr double kField = 1;  // land-use table entries
  static constexpr double kMeadow = 2;

  explicit SiltingWorld(const std::string& name, int rows = 2, int columns = 5)
      : SurfaceWorld(name, rows, columns, kZones) {
    zone = Add("zones", 0);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) zone[r][c] = ((r - 1) * ncols + c - 1) % kZones + 1;
    zone[nrows][ncols] = -9999;
    Add("dem", 400);
    landuse = Add("landuse1", kField);
    vegetation = Add("vegetation_coverage_degree1", 0);
    soil = Add("soil_types", 1);
    storage = Add("SurfStorSiltingUp", 0);
    precipitation = Add("precipitation", 0);
    zoneindex.assign(kZones + 1, 0);
    zonerecords.assign(kZones + 1, ZoneRecord{0, 0, 0, 0, 0});
    for (int k = 1; k <= kZones; ++k) {
      zoneindex[k] = k;
      zonerecords[k] = ZoneRecord{0, 0, static_cast<double>(k), 1.0 / kZones, 0};
    }
    landusetable.reset(new landuse_table_entry[3]);
    landusetable[0].code = 2;
    Landuse(landusetable[1], diag, "1 field", "SoilTillage = 100; SR_ResidCovrg = 0 0;");
    Landuse(landusetable[2], diag, "2 meadow", "SR_ResidCovrg = 0 0;");
    soiltable.reset(new soil_table_entry[3]);
    soiltable[0].code = 2;
    // Soil 2: no sand at all.
    soiltable[2].GrainSizeDist[0] = 0;
    soiltable[2].GrainSizeDist[1] = 0.5;
    soiltable[2].GrainSizeDist[2] = 0.5;
    args.zoneIndex = zoneindex.data();
    args.zoneRecords = zonerecords.data();
    args.cellsize = 1000;
    args.landuseTable = landusetable.get();
    args.soilTable = soiltable.get();
  }
  ~SiltingWorld() override { model.reset(); }

  // Constructs the model from the section lines after the time interval; returns its error code.
  int Make(const std::string& body, int minutes = 60) {
    const int error = Construct(model, "[other]\n0\n\n[SiltingUpModel]\n1\n" + std::to_string(minutes) + "\n" + body);
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

  Grid vegetation = nullptr;
  Grid soil = nullptr;
  Grid storage = nullptr;
  Grid precipitation = nullptr;
  std::unique_ptr<soil_table_entry[]> soiltable;
  std::unique_ptr<siltingupclass> model;
};

class RoutingWorld : public SurfaceWorld {
 protected:
  static constexpr int kZones = 2;

  explicit RoutingWorld(const std::string& name, int rows = 6, int columns = 6)
      : SurfaceWorld(name + "_np" + std::to_string(fluvextest::MpiSize()), rows, columns, kZones) {
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
    args.firstRow = nrows + 1;
    args.lastRow = 0;
    for (int r = 1; r <= nrows; ++r)
      if ((r - 1) * size / nrows == rank) {
        args.firstRow = std::min(args.firstRow, r);
        args.lastRow = r;
      }
    zoneindex = {0, 1, 2};
    zonerecords = {{0, 0, 0, 0, 0}, {0, 0, 1, 0.5, 0}, {0, 0, 2, 0.5, 0}};
    landusetable.reset(new landuse_table_entry[2]);
    landusetable[0].code = 1;
    Landuse(landusetable[1], diag, "1 field", "SR_K_ST = 25;");
    args.zoneIndex = zoneindex.data();
    args.zoneRecords = zonerecords.data();
    args.cellsize = 10;
    args.landuseTable = landusetable.get();
    // Every instance reads the state that instance 0 wrote.
    args.object.InitialStateDirectory = fluvextest::TempDirPath(name + "_np" + std::to_string(size), 0) + "/";
    kelsqd = {0, 120, 120};
    kelsqi = {0, 600, 600};
    qbb.assign(kZones + 1, 0.0);
  }
  ~RoutingWorld() override {
    if (model) model->ReleaseMemory(false);
    model.reset();
  }

  static std::string Section(const std::string& method = "1", const std::string& minimum = "7",
                             const std::string& maximum = "1000", const std::string& tail = "0\n\n") {
    return "[SurfaceRoutingModel]\n1\n60\n" + method +
           "\tmethod\nqdsr.stat 0\nqisr.stat 0\nqbsr.stat 0\nqgsr.stat 0\nvelocity.stk\n0\nfluxes.stk\n0\n0.001\n10\n"
           "0.001\n10\n" +
           minimum + "\n" + maximum + "\n0.01\n1.0\n" + tail + "[irrigation]\n0\n60\n";
  }
  // Constructs the model (and its zones and tracer grids) for the given
  // number of sub-steps, as an M; returns the error code.
  template <typename M = surfaceroutingclass>
  int Make(const std::string& section, bool link = true, int subSteps = 1) {
    if (model) model->ReleaseMemory(false);
    model.reset();
    std::unique_ptr<M> made;
    int error = Construct(made, section, subSteps);
    model = std::move(made);
    if (error == 0 && link) {
      try {
        model->InitTracerGrids(&error, 0, nullptr, nullptr, 0);
      } catch (int code) {
        error = code;
      }
      model->SetQBb(qbb.data());
      model->SetKelsqd(kelsqd.data());
      model->SetKelsqi(kelsqi.data());
    }
    return error;
  }

  Grid dem = nullptr;
  Grid regions = nullptr;
  std::vector<double> kelsqd, kelsqi, qbb;
  std::unique_ptr<surfaceroutingclass> model;
};
