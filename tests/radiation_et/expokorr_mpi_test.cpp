// Radiation correction on a raster divided between instances: the shading is
// cast on instance 0 and scattered, the correction and corrected temperature
// computed on the own cells; gathered on instance 0 they equal, byte for
// byte, a run of instance 0 alone over the whole raster with 8 threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "radiation_et/expokorr.h"
#include "tests/radiation_et/et_world.h"
#include "tests/support/decomposedmodel.h"

namespace {

const std::vector<std::string> kPicture = {"..111111", ".1111111", "11111111", "11111111", "11111111",
                                           "11111111", "1111111.", "111111..", "11111..."};

double Height(int r, int c) {
  return 400 + 60 * std::sin(0.9 * r) * std::cos(0.7 * c) + (r == 5 ? 150 : 0);
}

struct RadiationRun {
  memory_handling memory{nullptr};
  std::vector<GridListEntry> list = std::vector<GridListEntry>(kGridListSize);
  std::vector<Grid> owned;
  int low = 1, high = 0, nrows = 0, ncols = 0;
  int zoneIndex[2] = {0, 1};
  ZoneRecord zones[2] = {{0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}};
  std::unique_ptr<expokorrklasse> model;

  ~RadiationRun() {
    if (model) model->FreeMemory();
    for (Grid g : owned) memory.FreeMatrix(g, low, high, 1, ncols);
  }
  void Add(int position, const std::string& name, const std::function<double(int, int)>& value) {
    Grid g = memory.matrix(low, high, 1, ncols, nrows);
    for (int r = low; r <= high; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = value(r, c);
    owned.push_back(g);
    Put(position, name, g);
  }
  void Put(int position, const std::string& name, Grid g) {
    list[position].grid = g;
    list[position].shortname = name;
    list[position].filename = name + ".asc";
    list[position].registered = true;
  }
  void Build(fluvextest::DecomposedModel& m, const std::string& control, const ModelObjectArgs& object,
             const ColumnRange* ranges, int first, int last) {
    Add(1, "zonegrid", [&](int r, int c) { return m.Zone(r, c); });
    Add(2, "[elevation_model]", Height);
    Add(3, "RelCellArea", [](int, int) { return 1.0; });
    Add(4, "slope_angle", [](int r, int c) { return 5.0 * ((r + 2 * c) % 7); });
    Add(5, "slope_aspect", [](int r, int c) { return 45.0 * ((3 * r + c) % 8); });
    Add(6, "temperature", [](int r, int c) { return 0.5 * r - 0.3 * c; });
    SubModelArgs a;
    a.gridlist = list.data();
    a.zoneIndex = zoneIndex;
    a.zoneRecords = zones;
    a.zoneCount = 1;
    a.maxZoneCode = 1;
    a.ncols = ncols;
    a.nrows = nrows;
    a.firstRow = first;
    a.lastRow = last;
    a.cellsize = 50;
    a.latitude = 47;
    a.dataColumns = ranges;
    a.endYear = 2001;
    a.endMonth = 12;
    a.endDay = 31;
    a.object = object;
    int error = 0;
    model = std::make_unique<expokorrklasse>(error, &m.diag, nullptr, 0, control, a);
    ASSERT_EQ(error, 0) << m.console.str();
  }
};

}  // namespace

TEST(RadiationCorrectionInstances, GridsEqualTheRunOfOneInstance) {
  fluvextest::DecomposedModel m("radiation_instances", kPicture);
  m.Decompose();
  const std::string control = m.dir.path() + "/control.txt";
  fluvextest::WriteFile(control,
                        "[radiation_correction]\n1\n1440\n2\ntk.asc\n0\n1.5\nexk.asc\n0\nshape.asc\n0\n1\n24\n");
  ModelObjectArgs object;
  object.instanceCellCounts = m.decomposition.CellCounts();
  object.haloSend = &m.decomposition.SendList();
  object.haloReceive = &m.decomposition.ReceiveList();

  std::vector<Grid> gathered;
  {
    RadiationRun run;
    run.nrows = m.nrows;
    run.ncols = m.ncols;
    run.low = m.Low();
    run.high = m.High();
    run.Put(7, "MPIRegions", m.decomposition.Regions());
    run.Put(8, "MPIHelper", m.decomposition.Helper());
    run.Build(m, control, object, m.ranges.data(), m.first, m.last);
    ASSERT_TRUE(run.model);
    ettest::WithThreads(1, [&] { run.model->run(24, 3, 5, 2001); });
    for (const char* name : {"radiation_correction", "corr_temperature", "Ieff_max"}) {
      Grid g = nullptr;
      for (int p = 1; p < kGridListMax; ++p)
        if (run.list[p].shortname == name) g = run.list[p].grid;
      ASSERT_NE(g, nullptr) << name;
      Grid whole = m.object->MPIGatherGridAlloc(0, g);
      if (!whole && m.size == 1) {
        whole = m.object->matrix(1, m.nrows, 1, m.ncols, m.nrows);
        for (int r = 1; r <= m.nrows; ++r)
          for (int c = 1; c <= m.ncols; ++c) whole[r][c] = g[r][c];
      }
      gathered.push_back(whole);
    }
  }
  if (m.rank != 0) return;

  std::vector<ColumnRange> whole(static_cast<size_t>(m.nrows) + 1, ColumnRange{0, -1});
  for (int r = 1; r <= m.nrows; ++r)
    for (int c = 1; c <= m.ncols; ++c) {
      if (m.Zone(r, c) == kNodata) continue;
      if (whole[r].first == 0) whole[r].first = c;
      whole[r].last = c;
    }
  RadiationRun serial;
  serial.nrows = m.nrows;
  serial.ncols = m.ncols;
  serial.low = 1;
  serial.high = m.nrows;
  serial.Add(7, "MPIRegions", [](int, int) { return 0.0; });
  serial.Build(m, control, ModelObjectArgs{}, whole.data(), 1, m.nrows);
  ASSERT_TRUE(serial.model);
  ettest::WithThreads(8, [&] { serial.model->run(24, 3, 5, 2001); });
  int k = 0;
  for (const char* name : {"radiation_correction", "corr_temperature", "Ieff_max"}) {
    Grid g = nullptr;
    for (int p = 1; p < kGridListMax; ++p)
      if (serial.list[p].shortname == name) g = serial.list[p].grid;
    for (int r = 1; r <= m.nrows; ++r)
      for (int c = 1; c <= m.ncols; ++c) {
        if (m.Zone(r, c) == kNodata) continue;
        EXPECT_EQ(std::memcmp(&g[r][c], &gathered[k][r][c], sizeof(double)), 0)
            << name << " " << r << " " << c << ": " << g[r][c] << " " << gathered[k][r][c];
      }
    ++k;
  }
  for (Grid g : gathered) m.object->FreeMatrix(g, 1, m.nrows, 1, m.ncols);
}
