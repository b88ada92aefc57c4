// Radiation correction (shading cast on instance 0 and scattered), potential
// evapotranspiration and interception on a raster divided between instances,
// one thread each: gathered on instance 0 their grids equal, byte for byte, a
// run of instance 0 alone over the whole raster with 8 threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "parameters/landuse_table_entry.h"
#include "radiation_et/etpetr.h"
#include "radiation_et/expokorr.h"
#include "radiation_et/interzep.h"
#include "tests/radiation_et/et_section.h"
#include "tests/support/decomposedmodel.h"

namespace {

const std::vector<std::string> kPicture = {"..121111", ".1221111", "11122222", "11122222", "11222222",
                                           "11122222", "1112222.", "111122..", "11111..."};

const char* const kCompared[] = {"radiation_correction",
                                 "corr_temperature",
                                 "Ieff_max",
                                 "pot_transpiration0",
                                 "pot_transpiration1",
                                 "potential_InterceptionEvap1",
                                 "potential_evaporation",
                                 "AspectCorrectedGlobalRadiation",
                                 "cloudiness",
                                 "throughfall0",
                                 "interception_storage0",
                                 "interception_evaporation0"};

struct ChainRun {
  memory_handling memory{nullptr};
  std::vector<GridListEntry> list = std::vector<GridListEntry>(kGridListSize);
  std::vector<Grid> owned;
  int low = 1, high = 0, nrows = 0, ncols = 0;
  int zoneIndex[3] = {0, 1, 2};
  ZoneRecord zones[3] = {{0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 2, 0, 0}};
  landuse_table_entry table[2];
  std::unique_ptr<expokorrklasse> radiation;
  std::unique_ptr<verdunstungsmodellklasse> et;
  std::unique_ptr<interzeptionsmodellklasse> interception;

  ~ChainRun() {
    if (interception) interception->FreeMemory();
    if (et) et->FreeMemory();
    if (radiation) radiation->FreeMemory();
    for (Grid g : owned) memory.FreeMatrix(g, low, high, 1, ncols);
  }
  void Add(const std::string& name, const std::function<double(int, int)>& value) {
    Grid g = memory.matrix(low, high, 1, ncols, nrows);
    for (int r = low; r <= high; ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = value(r, c);
    owned.push_back(g);
    int p = 1;
    while (list[p].registered) ++p;
    Put(p, name, g);
  }
  void Put(int position, const std::string& name, Grid g) {
    list[position].grid = g;
    list[position].shortname = name;
    list[position].filename = name + ".asc";
    list[position].registered = true;
  }
  Grid Get(const std::string& name) const {
    for (int p = 1; p < kGridListMax; ++p)
      if (list[p].shortname == name) return list[p].grid;
    return nullptr;
  }
  void Build(fluvextest::DecomposedModel& m, const std::string& control, const ModelObjectArgs& object,
             const ColumnRange* ranges, int first, int last) {
    // The zone grid and the elevation model at their fixed positions 1 and 2.
    Add("zonegrid", [&](int r, int c) { return m.Zone(r, c); });
    Add("[elevation_model]", [](int r, int c) { return 300 + 40 * std::sin(0.9 * r) * std::cos(0.6 * c); });
    Add("RelCellArea", [](int r, int) { return 0.9 + 0.02 * r; });
    Add("slope_angle", [](int r, int c) { return 4.0 * ((r + 2 * c) % 6); });
    Add("slope_aspect", [](int r, int c) { return 45.0 * ((3 * r + c) % 8); });
    Add("temperature", [](int r, int c) { return 14 + 0.5 * r - 0.3 * c; });
    Add("global_radiation", [](int r, int c) { return 500 + 20 * r + 7 * c; });
    Add("air_humidity", [](int r, int c) { return 0.5 + 0.03 * c + 0.01 * r; });
    Add("wind_speed", [](int r, int c) { return 1 + 0.2 * r + 0.1 * c; });
    Add("albedo", [](int, int) { return 0.2; });
    Add("SurfaceEvaporationResistance", [](int, int) { return 150; });
    Add("landuse1", [](int, int) { return 1; });
    Add("leaf_area_index1", [](int r, int c) { return 1 + 0.4 * ((r * c) % 7); });
    Add("root_depth1", [](int, int) { return 1; });
    Add("vegetation_coverage_degree1", [](int r, int) { return 0.5 + 0.05 * r; });
    Add("SurfaceCanopyResistance1", [](int, int) { return 70; });
    Add("SurfaceIntercepResistance1", [](int, int) { return 0; });
    Add("RoughnessLength1", [](int r, int c) { return 0.02 * (1 + (r + c) % 5); });
    Add("precipitation", [](int r, int c) { return 0.3 * ((r + c) % 4); });
    table[0].code = 1;
    table[1].IntercepCap = 0.3;
    SubModelArgs a = ettest::GridArgs(list.data(), zoneIndex, zones, 2, nrows, ncols, first, last, 50, 49.5);
    a.longitude = 6;
    a.meridian = 15;
    a.dataColumns = ranges;
    a.landuseTable = table;
    a.object = object;
    int error = 0;
    radiation = std::make_unique<expokorrklasse>(error, &m.diag, nullptr, 0, control, a);
    ASSERT_EQ(error, 0) << m.console.str();
    et = std::make_unique<verdunstungsmodellklasse>(error, &m.diag, nullptr, 0, control, a);
    ASSERT_EQ(error, 0) << m.console.str();
    et->SetRadiationCorrectionGrid(radiation->GetRadiationCorrectionGrid());
    interception = std::make_unique<interzeptionsmodellklasse>(error, &m.diag, nullptr, 0, control, a);
    ASSERT_EQ(error, 0) << m.console.str();
  }
  void Steps() {
    for (int hour = 9; hour <= 12; ++hour) {
      radiation->run(hour, 12, 7, 2001);
      et->PotentialEvapotranspiration(hour, 12, 7, 2001);
      interception->run(hour, 12, 7, 2001);
    }
  }
};

std::string Control() {
  ettest::EtSection s;
  s.step = 60;
  return "[radiation_correction]\n1\n60\n2\ntk.asc\n0\n1.5\nexk.asc\n0\nshape.asc\n0\n1\n3\n" + s.Text() +
         "[interception_model]\n1\n60\n2\ntf.asc\n0\ntf.txt 0\nei.asc\n0\nei.txt 0\nsi.asc\n0\nsi.txt 0\n0.2\n0\n";
}

}  // namespace

TEST(EvapotranspirationInstances, GridsEqualTheRunOfOneInstance) {
  fluvextest::DecomposedModel m("et_instances", kPicture);
  m.Decompose();
  const std::string control = m.dir.path() + "/control.txt";
  fluvextest::WriteFile(control, Control());
  ModelObjectArgs object;
  object.instanceCellCounts = m.decomposition.CellCounts();
  object.haloSend = &m.decomposition.SendList();
  object.haloReceive = &m.decomposition.ReceiveList();

  std::vector<Grid> gathered;
  {
    ChainRun run;
    run.nrows = m.nrows;
    run.ncols = m.ncols;
    run.low = m.Low();
    run.high = m.High();
    run.Put(900, "MPIRegions", m.decomposition.Regions());
    run.Put(901, "MPIHelper", m.decomposition.Helper());  // after the positions the models take
    run.Build(m, control, object, m.ranges.data(), m.first, m.last);
    ASSERT_TRUE(run.interception);
    omp_set_num_threads(1);
    run.Steps();
    for (const char* name : kCompared) {
      Grid g = run.Get(name);
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
  ChainRun serial;
  serial.nrows = m.nrows;
  serial.ncols = m.ncols;
  serial.low = 1;
  serial.high = m.nrows;
  serial.Add("MPIRegions", [](int, int) { return 0.0; });
  serial.Build(m, control, ModelObjectArgs{}, whole.data(), 1, m.nrows);
  ASSERT_TRUE(serial.interception);
  omp_set_num_threads(8);
  serial.Steps();
  size_t k = 0;
  for (const char* name : kCompared) {
    Grid g = serial.Get(name);
    int differing = 0;
    for (int r = 1; r <= m.nrows; ++r)
      for (int c = 1; c <= m.ncols; ++c) {
        if (m.Zone(r, c) == kNodata) continue;
        if (std::memcmp(&g[r][c], &gathered[k][r][c], sizeof(double)) != 0) ++differing;
      }
    EXPECT_EQ(differing, 0) << name;
    ++k;
  }
  // The chain did real work: evaporation and throughfall somewhere.
  EXPECT_GT(serial.Get("potential_InterceptionEvap1")[5][5], 0);
  EXPECT_GT(serial.Get("interception_evaporation0")[5][5], 0);
  EXPECT_GT(serial.Get("throughfall0")[5][4], 0);
  for (Grid g : gathered) m.object->FreeMatrix(g, 1, m.nrows, 1, m.ncols);
}
