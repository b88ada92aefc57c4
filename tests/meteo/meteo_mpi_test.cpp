// Interpolation on a raster divided between instances: inverse distance
// weighting, elevation regression, the spline surface, the precipitation
// correction and the regional superposition computed on the instance's own
// cells, gathered on instance 0 and compared with a run of instance 0 alone
// over the whole raster. No sum crosses instances, so the grids are equal.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "meteo/precicorr.h"
#include "meteo/superposition.h"
#include "tests/meteo/meteo_world.h"
#include "tests/support/decomposedmodel.h"

using namespace meteotest;

namespace {

const double kXll = 1000, kYll = 2000, kCell = 50;

const std::vector<std::string> kPicture = {"..111111", ".1111111", "11122222", "11122222", "11222222",
                                           "33322222", "3333322.", "333333..", "33333..."};

const std::vector<Station> kScattered = {{200, 1010, 2010},  {400, 1330, 2040},  {600, 1060, 2420},
                                         {1400, 1360, 2400}, {1800, 1200, 2200}, {2200, 1250, 2330}};

std::vector<Station> Mesh() {
  std::vector<Station> s;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s.push_back({500, 1000 + 150.0 * j, 2000 + 150.0 * i});
  return s;
}

const char* kVariables[5] = {"temperature", "air_pressure", "sunshine_duration", "precipitation", "wind_speed"};

// Everything one run needs: its grid list over the rows it holds, the
// interpolators, the correction and the superposition.
struct MeteoRun {
  memory_handling memory{nullptr};
  std::vector<GridListEntry> list = std::vector<GridListEntry>(kGridListSize);
  std::vector<std::pair<Grid, int>> owned;
  int low, high, first, last, nrows, ncols;
  std::vector<std::unique_ptr<meteointerpol>> interpolators;
  std::vector<meteointerpol*> pointers{nullptr};
  std::unique_ptr<precicorrclass> correction;
  std::unique_ptr<RegionalSuperposition> superposition;
  int zoneIndex[4] = {0, 1, 2, 3};
  ZoneRecord zones[4] = {{0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 2, 0, 0}, {0, 0, 3, 0, 0}};
  int regionTable[2] = {0, 1};

  // The rows of this instance, or (whole) all rows on one instance.
  MeteoRun(fluvextest::DecomposedModel& m, bool whole)
      : low(whole ? 1 : m.Low()),
        high(whole ? m.nrows : m.High()),
        first(whole ? 1 : m.first),
        last(whole ? m.nrows : m.last),
        nrows(m.nrows),
        ncols(m.ncols) {
    if (whole) {
      Add(6, "MPIRegions", [](int, int) { return 0.0; });
    } else {
      Put(6, "MPIRegions", m.decomposition.Regions());
      Put(7, "MPIHelper", m.decomposition.Helper());
    }
  }
  ~MeteoRun() {
    if (superposition) superposition->FreeMemory();
    if (correction) correction->FreeMemory();
    for (auto it = interpolators.rbegin(); it != interpolators.rend(); ++it) (*it)->FreeMemory();
    for (auto& g : owned) memory.FreeMatrix(g.first, low, high, 1, ncols);
  }

  Grid Add(int position, const std::string& name, const std::function<double(int, int)>& value) {
    Grid g = memory.matrix(low, high, 1, ncols, nrows);
    for (int r = low; r <= high; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = value(r, c);
    owned.push_back({g, low});
    Put(position, name, g);
    return g;
  }
  void Put(int position, const std::string& name, Grid g) {
    list[position].grid = g;
    list[position].shortname = name;
    list[position].filename = name + ".asc";
    list[position].registered = true;
  }

  void Build(fluvextest::DecomposedModel& m, const std::string& control, const ModelObjectArgs& model,
             const ColumnRange* ranges, DiagStream* diag) {
    auto zone = [&](int r, int c) { return m.Zone(r, c); };
    Add(1, "zonegrid", zone);
    Add(2, "elevation", [](int r, int c) { return 100.0 * r + 20.0 * c; });
    Add(3, "RelCellArea", [](int, int) { return 1.0; });
    Add(4, "CoordX", [](int, int c) { return kXll + (c - 1) * kCell; });
    Add(5, "CoordY", [&](int r, int) { return kYll + (nrows - r) * kCell; });
    Add(8, "regression_regions", [&](int r, int c) { return m.Zone(r, c) == kNodata ? kNodata : 1.0; });
    Add(9, "regression_weights1", [&](int r, int c) { return m.Zone(r, c) == kNodata ? kNodata : 1.0; });
    for (const char* v : kVariables) {
      int free = 1;
      while (list[free].registered) ++free;
      const MeteoInterpolArgs a{.model = model,
                                .controlFileName = control,
                                .variableName = v,
                                .gridList = list.data(),
                                .resultGridIndex = free,
                                .ncols = ncols,
                                .nrows = nrows,
                                .firstRow = first,
                                .lastRow = last,
                                .xll = kXll,
                                .yll = kYll,
                                .cellSize = kCell,
                                .dataColumns = ranges,
                                .start = kStep0,
                                .end = kStep1,
                                .zoneCodeTable = zoneIndex,
                                .highestZoneCode = 3,
                                .hruMasters = {},
                                .statisticsFactory = {}};
      int error = 0;
      interpolators.push_back(std::make_unique<meteointerpol>(error, diag, a));
      pointers.push_back(interpolators.back().get());
    }
    const PreciCorrArgs p{.model = model,
                          .controlFileName = control,
                          .gridList = list.data(),
                          .ncols = ncols,
                          .nrows = nrows,
                          .firstRow = first,
                          .lastRow = last,
                          .xll = kXll,
                          .yll = kYll,
                          .cellSize = kCell,
                          .dataColumns = ranges,
                          .interpolators = pointers.data(),
                          .interpolatorCount = 5};
    int error = 0;
    correction = std::make_unique<precicorrclass>(error, diag, p);
    ASSERT_EQ(error, 0);
    correction->SetGridMaximum(1060);
    const SubModelArgs s{.xllcorner = kXll,
                         .yllcorner = kYll,
                         .cellsize = kCell,
                         .gridlist = list.data(),
                         .zoneIndex = zoneIndex,
                         .zoneRecords = zones,
                         .dataColumns = ranges,
                         .zoneCount = 3,
                         .maxZoneCode = 3,
                         .ncols = ncols,
                         .nrows = nrows,
                         .firstRow = first,
                         .lastRow = last,
                         .endHour = 1,
                         .endDay = 1,
                         .endMonth = 1,
                         .endYear = 2000,
                         .object = model};
    superposition = std::make_unique<RegionalSuperposition>(diag, control, s, 1, regionTable, 1, nullptr, 0);
  }

  void Step() {
    pointers[2]->Regression(0);
    correction->CorrectStationData();
    for (size_t i = 1; i < pointers.size(); ++i) pointers[i]->Interpolate(0, 1, 1, 2000);
    superposition->run(0, 1, 1, 2000);
  }
  // Result grids: the five interpolators and the superposition.
  std::vector<Grid> Results() const {
    std::vector<Grid> g;
    for (size_t i = 1; i < pointers.size(); ++i) g.push_back(pointers[i]->GetResultGrid());
    g.push_back(superposition->GetEntity(0)->GetOutputGrid());
    return g;
  }
};

std::string ControlText(const std::string& dir) {
  std::string text;
  const char* files[5] = {"scattered_t.txt", "scattered_r.txt", "mesh.txt", "scattered_p.txt", "scattered_w.txt"};
  const int methods[5] = {1, 10, 7, 1, 4};
  for (int i = 0; i < 5; ++i) {
    Section s;
    s.variable = kVariables[i];
    s.method = methods[i];
    s.stationLine = dir + "/" + files[i];
    s.resultGrid = std::string(kVariables[i]) + ".asc";
    if (methods[i] == 10) s.thirdLine = "800 1200 50 0 10";
    text += s.Text();
  }
  text +=
      "[precipitation_correction]\n1\n0.5\n1.1\n0.02\n1.3\n0.06\n"
      "[RegionalSuperposition]\n1\n60\nNumberOfEntities = 1;\n"
      "mix { entityinputgrid = temperature; regions = 1; weights = 0.3;\n"
      "entityinputgrid = precipitation; regions = 1; weights = 0.7;\n"
      "outputgrid = mix.asc; writecode = 0; outputtable = mix.txt; statcode = 0; }\n";
  return text;
}

void WriteInputs(const std::string& dir) {
  auto write = [&](const std::string& file, const std::vector<Station>& stations, const std::vector<double>& v) {
    fluvextest::WriteFile(dir + "/" + file, StationFileText(stations, {{kStep0, v}, {kStep1, v}}));
  };
  write("scattered_t.txt", kScattered, {5, 7, 3, -1, 6, -2});
  std::vector<double> r;
  for (const Station& s : kScattered) r.push_back(s.altitude < 800 ? 10 - 0.005 * s.altitude : 3 - 0.004 * s.altitude);
  write("scattered_r.txt", kScattered, r);
  write("mesh.txt", Mesh(), {3, 5, 4, 6, 9, 7, 2, 8, 5});
  write("scattered_p.txt", kScattered, {10, 0, 4, 7, 2, 12});
  write("scattered_w.txt", kScattered, {2, 5, 1, 0, 3, 4});
}

}  // namespace

TEST(MeteoInstances, GridsEqualTheRunOfOneInstance) {
  fluvextest::DecomposedModel m("meteo_instances", kPicture);
  m.Decompose();
  const std::string dir = m.dir.path();
  WriteInputs(dir);
  fluvextest::WriteFile(dir + "/control.txt", ControlText(dir));

  ModelObjectArgs model;
  model.instanceCellCounts = m.decomposition.CellCounts();
  model.haloSend = &m.decomposition.SendList();
  model.haloReceive = &m.decomposition.ReceiveList();
  std::vector<Grid> gathered;
  {
    MeteoRun run(m, false);
    run.Build(m, dir + "/control.txt", model, m.ranges.data(), &m.diag);
    ASSERT_EQ(run.interpolators.size(), 5u) << m.console.str();
    run.Step();
    for (Grid g : run.Results()) {
      Grid whole = m.object->MPIGatherGridAlloc(0, g);
      if (!whole && m.size == 1) {
        // One instance holds the whole raster already.
        whole = m.object->matrix(1, m.nrows, 1, m.ncols, m.nrows);
        for (int r = 1; r <= m.nrows; ++r)
          for (int c = 1; c <= m.ncols; ++c) whole[r][c] = g[r][c];
      }
      gathered.push_back(whole);
    }
    // The instances share the rows out between them.
    EXPECT_EQ(m.last - m.first + 1 < m.nrows, m.size > 1);
  }
  if (m.rank != 0) return;

  // Instance 0 alone over the whole raster (its column ranges cover every row).
  MeteoRun serial(m, true);
  serial.Build(m, dir + "/control.txt", ModelObjectArgs{}, m.ranges.data(), &m.diag);
  serial.Step();
  const std::vector<Grid> reference = serial.Results();
  ASSERT_EQ(gathered.size(), reference.size());
  int valid = 0;
  for (size_t k = 0; k < reference.size(); ++k) {
    ASSERT_TRUE(gathered[k]);
    for (int r = 1; r <= m.nrows; ++r)
      for (int c = 1; c <= m.ncols; ++c) {
        if (m.Zone(r, c) == kNodata) continue;
        ++valid;
        EXPECT_GT(reference[k][r][c], -9999) << "grid " << k << ", " << r << ", " << c;
        EXPECT_EQ(gathered[k][r][c], reference[k][r][c]) << "grid " << k << ", row " << r << ", column " << c;
      }
    m.object->FreeMatrix(gathered[k], 1, m.nrows, 1, m.ncols);
  }
  EXPECT_EQ(valid, 6 * 63);
}
