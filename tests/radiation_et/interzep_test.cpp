// Interception: the water balance of every cell and step (input = throughfall
// + storage change + evaporation) over random leaf area, cover and capacity on
// one and two layers, the limits of the evaporation by the demand, and the
// cases of no cover, a full store, partial cover, a tracer's maximum
// concentration, an empty upper layer and glaciers.
#include "radiation_et/interzep.h"

#include <omp.h>

#include <random>
#include <vector>

#include "framework/zonalstatistic.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/multilayer_landuse_entry.h"
#include "tests/radiation_et/et_world.h"

using ettest::World;

namespace {

std::string Section(int method, double thickness = 0.25) {
  return "[interception_model]\n1   flow control\n60   time interval\n" + std::to_string(method) +
         "   method\ntf.asc\n0\ntf.txt 0\nei.asc\n0\nei.txt 2001\nsi.asc\n0\nsi.txt 2001\n" +
         std::to_string(thickness) + "   thickness\n0   readgrid\n";
}

// The grids the interception model reads for layers 1 ... n.
struct Rig {
  World w;
  landuse_table_entry table[3];
  multilayer_landuse_entry layers[2];
  int n;
  Rig(const std::string& name, int layerCount, int rows = 4, int cols = 5) : w(rows, cols, 100, name), n(layerCount) {
    table[0].code = 2;
    table[1].IntercepCap = 0.4;
    table[2].IntercepCap = -1;  // capacity from the water layer thickness
    layers[0].code = 1;
    layers[1].count = layerCount;
    if (layerCount > 1) w.multilayer = layers;
    w.Add("precipitation", 0);
    for (int i = 0; i <= n; ++i) {
      const std::string s = std::to_string(i);
      if (i > 0) {
        w.Add("landuse" + s, 1);
        w.Add("leaf_area_index" + s, 2);
        w.Add("vegetation_coverage_degree" + s, 1);
      }
      w.Add("pot_transpiration" + s, 0);
      w.Add("potential_InterceptionEvap" + s, 0);
      w.Add("real_transpiration" + s, 0);
    }
  }
  std::unique_ptr<interzeptionsmodellklasse> Make(int method) {
    w.Write(Section(method));
    SubModelArgs a = w.Args();
    a.landuseTable = table;
    int error = 0;
    auto m = std::make_unique<interzeptionsmodellklasse>(error, w.Diag(), nullptr, 0, "control.txt", a);
    EXPECT_EQ(error, 0) << w.Console();
    return m;
  }
  Grid G(const std::string& name, int layer) { return w.Get(name + std::to_string(layer)); }
};

}  // namespace

TEST(Interception, WaterBalanceOfEveryCellAndStep) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int layers : {1, 2}) {
    for (int method : {1, 2, 3, 11}) {
      Rig rig("balance" + std::to_string(layers) + "_" + std::to_string(method), layers);
      auto m = rig.Make(method);
      ASSERT_EQ(m->GetMethod(), method);
      EXPECT_EQ(rig.w.Console().find("evaporate the intercepted water; with method 3") != std::string::npos,
                method == 3);
      World& w = rig.w;
      for (int step = 0; step < 6; ++step) {
        std::vector<double> before(64), demand(64);
        for (int r = 1; r <= 4; ++r)
          for (int c = 1; c <= 5; ++c) {
            w.Get("precipitation")[r][c] = unit(random) < 0.3 ? 0 : 5 * unit(random);
            double total = 0;
            for (int i = 1; i <= layers; ++i) {
              // Now and then an empty layer, the top one included.
              rig.G("landuse", i)[r][c] = unit(random) < 0.15 ? -9999 : (unit(random) < 0.5 ? 1 : 2);
              rig.G("leaf_area_index", i)[r][c] = 6 * unit(random);
              rig.G("vegetation_coverage_degree", i)[r][c] = unit(random);
              rig.G("pot_transpiration", i)[r][c] = 0.3 * unit(random);
              rig.G("potential_InterceptionEvap", i)[r][c] = 0.3 * unit(random);
              total += rig.G("pot_transpiration", i)[r][c];
            }
            rig.G("pot_transpiration", 0)[r][c] = total + 0.1;
            before[r * 8 + c] = rig.G("interception_storage", 0)[r][c];
            demand[r * 8 + c] = rig.G("pot_transpiration", 0)[r][c];
          }
        m->run(step + 1, 1, 7, 2001);
        for (int r = 1; r <= 4; ++r)
          for (int c = 1; c <= 5; ++c) {
            const double input = w.Get("precipitation")[r][c];
            const double out = rig.G("throughfall", 0)[r][c];
            const double stored = rig.G("interception_storage", 0)[r][c];
            const double evaporated = rig.G("interception_evaporation", 0)[r][c];
            EXPECT_NEAR(input, out + (stored - before[r * 8 + c]) + evaporated, 1e-12)
                << "layers " << layers << " method " << method << " step " << step << " cell " << r << " " << c;
            double layerSum = 0;
            for (int i = 1; i <= layers; ++i) {
              layerSum += rig.G("interception_storage", i)[r][c];
              EXPECT_GE(rig.G("interception_storage", i)[r][c], 0);
              EXPECT_GE(rig.G("pot_transpiration", i)[r][c], 0);
            }
            EXPECT_NEAR(stored, layerSum, 1e-12);
            if (method == 3) {
              EXPECT_EQ(evaporated, 0);
            }
            // The layers' demand falls by what they took from their
            // transpiration; the cell's stays its potential.
            EXPECT_EQ(rig.G("pot_transpiration", 0)[r][c], demand[r * 8 + c]);
          }
      }
      m->FreeMemory();
      EXPECT_EQ(w.Position("throughfall0"), 0);
    }
  }
}

TEST(Interception, CoverStoreAndDemandCases) {
  Rig rig("cases", 1, 1, 5);
  World& w = rig.w;
  auto m = rig.Make(1);
  Grid P = w.Get("precipitation");
  Grid cov = rig.G("vegetation_coverage_degree", 1);
  Grid lai = rig.G("leaf_area_index", 1);
  Grid pt = rig.G("pot_transpiration", 1);
  // Two tracers at 5 in the water, held as amounts: Nitrate may spill from
  // the store at 4 at most, Chloride at 1000.
  w.Add("concflux_tracer_1_input", 5);
  w.Add("concflux_tracer_2_input", 5);
  std::vector<TracerRecord> tracers(3);
  tracers[1].name = "nit";
  tracers[1].max_conc = 4;
  tracers[2].name = "cl";
  tracers[2].max_conc = 1000;
  for (int k = 1; k <= 2; ++k) tracers[k].statext = "sta";
  int error = -1;
  m->InitTracerGrids(&error, 2, tracers.data(), nullptr, 0);
  ASSERT_EQ(error, 0);
  Grid held[3] = {nullptr, w.Get("concstor_tracer_1_interception_model"),
                  w.Get("concstor_tracer_2_interception_model")};
  Grid conc[3] = {nullptr, w.Get("concflux_tracer_1_interception_model"),
                  w.Get("concflux_tracer_2_interception_model")};
  ASSERT_TRUE(held[1] && held[2] && conc[1] && conc[2]);
  // Cell 1 without cover; cell 2 with a store that the first step fills;
  // cell 3 with capacity from the water layer (IntercepCap negative):
  // 0.25 mm per unit of leaf area; cell 4 evaporates less than it stores;
  // cell 5 covered by half.
  for (int c = 1; c <= 5; ++c) P[1][c] = 3;
  cov[1][1] = 0;
  rig.G("landuse", 1)[1][3] = 2;
  lai[1][3] = 4;  // 1 mm
  pt[1][4] = 0.3;
  cov[1][5] = 0.5;
  m->run(1, 1, 7, 2001);
  Grid tf = rig.G("throughfall", 0);
  Grid S = rig.G("interception_storage", 1);
  Grid E = rig.G("interception_evaporation", 1);
  EXPECT_EQ(tf[1][1], 3);
  EXPECT_EQ(S[1][1], 0);
  EXPECT_NEAR(S[1][2], 0.8, 1e-12);  // 0.4 mm x LAI 2
  EXPECT_NEAR(tf[1][2], 2.2, 1e-12);
  EXPECT_NEAR(S[1][3], 1.0, 1e-12);
  EXPECT_NEAR(E[1][4], 0.3, 1e-12);
  EXPECT_NEAR(S[1][4], 0.5, 1e-12);
  EXPECT_EQ(pt[1][4], 0);
  EXPECT_EQ(rig.G("pot_transpiration", 0)[1][4], 0);
  EXPECT_NEAR(tf[1][5], 2.2, 1e-12);  // 1.5 past the leaves, 0.7 spilled
  // What spills from the store carries the store's share of the tracer, at
  // most the maximum concentration; the rest stays on the leaves. The water
  // that passes the leaves keeps the input's concentration. Cell 2: of 15
  // (3 mm at 5), 2.2 / 3 spill: Nitrate 8.8 (2.2 mm at 4) of the 11 share.
  EXPECT_NEAR(conc[1][1][1], 5, 1e-12);
  EXPECT_EQ(held[1][1][1], 0);
  EXPECT_NEAR(conc[1][1][2], 4, 1e-12);
  EXPECT_NEAR(held[1][1][2], 6.2, 1e-12);
  EXPECT_NEAR(conc[2][1][2], 5, 1e-12);
  EXPECT_NEAR(held[2][1][2], 4, 1e-12);
  EXPECT_NEAR(conc[1][1][3], 4, 1e-12);  // share 2 / 3 x 15 = 10, 8 spill
  EXPECT_NEAR(held[1][1][3], 7, 1e-12);
  EXPECT_NEAR(held[2][1][3], 5, 1e-12);
  EXPECT_NEAR(conc[1][1][4], 4, 1e-12);  // evaporation leaves the tracer
  EXPECT_NEAR(held[1][1][4], 6.2, 1e-12);
  // Cell 5: 7.5 pass at 5; of the stored 7.5 the share 0.7 / 1.5 is 3.5,
  // 2.8 at 4 spill.
  EXPECT_NEAR(conc[1][1][5], (7.5 + 2.8) / 2.2, 1e-12);
  EXPECT_NEAR(held[1][1][5], 4.7, 1e-12);
  EXPECT_NEAR(conc[2][1][5], 5, 1e-12);
  EXPECT_NEAR(held[2][1][5], 4, 1e-12);
  double out[3][6] = {};
  for (int k = 1; k <= 2; ++k)
    for (int c = 1; c <= 5; ++c) out[k][c] = tf[1][c] * conc[k][1][c];
  // A full store passes the whole input.
  m->run(2, 1, 7, 2001);
  EXPECT_NEAR(tf[1][2], 3, 1e-12);
  // Cell 2: 6.2 + 15 held in 3.8 mm, 3 spill: Nitrate 12 of the 16.74 share.
  EXPECT_NEAR(conc[1][1][2], 4, 1e-12);
  EXPECT_NEAR(held[1][1][2], 9.2, 1e-12);
  EXPECT_NEAR(conc[2][1][2], 5, 1e-12);
  EXPECT_NEAR(held[2][1][2], 4, 1e-12);
  // Cell 4: 6.2 + 15 in 3.5 mm, 2.7 spill: 10.8 of the 16.35 share.
  EXPECT_NEAR(conc[1][1][4], 4, 1e-12);
  EXPECT_NEAR(held[1][1][4], 10.4, 1e-12);
  // Cell 5: 4.7 + 7.5 in 2.3 mm, 1.5 spill: 6 of the 7.96 share.
  EXPECT_NEAR(conc[1][1][5], 4.5, 1e-12);
  EXPECT_NEAR(held[1][1][5], 6.2, 1e-12);
  // Each tracer's mass: the two steps' 30 = what left + what is held.
  for (int k = 1; k <= 2; ++k)
    for (int c = 1; c <= 5; ++c)
      EXPECT_NEAR(out[k][c] + tf[1][c] * conc[k][1][c] + held[k][1][c], 30, 1e-12) << "tracer " << k << " cell " << c;
  m->FreeTracerArrays();
  m->FreeMemory();

  // Method 2: the transpiration demand is lowered by the evaporation, to 0 at most.
  Rig rig2("method2", 1, 1, 1);
  auto m2 = rig2.Make(2);
  rig2.w.Get("precipitation")[1][1] = 3;
  rig2.G("pot_transpiration", 1)[1][1] = 0.1;
  rig2.G("potential_InterceptionEvap", 1)[1][1] = 0.5;
  m2->run(1, 1, 7, 2001);
  EXPECT_NEAR(rig2.G("interception_evaporation", 0)[1][1], 0.5, 1e-12);
  EXPECT_EQ(rig2.G("pot_transpiration", 1)[1][1], 0);
  m2->FreeMemory();
}

TEST(Interception, EmptyUpperLayerAndGlaciers) {
  Rig rig("upper", 2, 1, 3);
  World& w = rig.w;
  Grid glacier = w.Add("GlacierizedCells", 0);
  auto m = rig.Make(3);
  for (int c = 1; c <= 3; ++c) w.Get("precipitation")[1][c] = 2;
  rig.G("landuse", 1)[1][1] = -9999;
  rig.G("vegetation_coverage_degree", 2)[1][1] = 0.5;
  glacier[1][2] = 0.5;
  glacier[1][3] = 0.999995;
  m->run(1, 1, 7, 2001);
  // The water passes the empty top layer; the lower one holds half of it up to 0.8 mm.
  EXPECT_EQ(rig.G("throughfall", 1)[1][1], 2);
  EXPECT_NEAR(rig.G("interception_storage", 2)[1][1], 0.8, 1e-12);
  EXPECT_NEAR(rig.G("throughfall", 0)[1][1], 1.2, 1e-12);
  // Half a glacier: the grids as without it (0.8 mm in each layer), the statistics weighted.
  EXPECT_NEAR(rig.G("interception_storage", 0)[1][2], 1.6, 1e-12);
  // An open part of 0.000005 keeps its water as well: of its 2 mm it holds
  // 1.6 and passes 0.4 to the snow and the soil of that part.
  EXPECT_NEAR(rig.G("interception_storage", 0)[1][3], 1.6, 1e-12);
  EXPECT_NEAR(rig.G("throughfall", 0)[1][3], 0.4, 1e-12);
  // The storage statistics of layer 0 (code 2001): 0.8 mm with weight 1,
  // 1.6 mm with weight 0.5 and 0 with 0.5, 1.6 mm with weight 0.000005 and 0
  // with 0.999995.
  zonalstatistic* st = m->GetStatistics(1, 0);
  EXPECT_NEAR(st->GetCurrentValues()[2], (0.8 + 0.8 + 1.6 * 0.000005) / 3, 1e-12);
  m->FreeMemory();
}

// The cells run on the threads and the statistics side by side: every grid
// and every statistic (sums that depend on the order of the cells) must be
// those of one thread, glacier cells and empty layers included.
TEST(Interception, SameGridsAndStatisticsOnOneAndFourThreads) {
  const int threads = omp_get_max_threads();
  auto run = [](int count) {
    omp_set_num_threads(count);
    std::mt19937 random(5);
    std::uniform_real_distribution<double> unit(0, 1);
    Rig rig("threads" + std::to_string(count), 2, 70, 23);
    World& w = rig.w;
    Grid glacier = w.Add("GlacierizedCells", 0);
    auto m = rig.Make(2);
    const double shares[4] = {0, 0.5, 0.999995, 1};
    for (int r = 1; r <= 70; ++r)
      for (int c = 1; c <= 23; ++c) {
        glacier[r][c] = shares[(r * 7 + c) % 4];
        for (int i = 1; i <= 2; ++i) {
          rig.G("landuse", i)[r][c] = unit(random) < 0.1 ? -9999 : 1 + (r + c + i) % 2;
          rig.G("leaf_area_index", i)[r][c] = 4 * unit(random);
          rig.G("vegetation_coverage_degree", i)[r][c] = unit(random);
        }
      }
    std::vector<double> values;
    for (int step = 1; step <= 3; ++step) {
      for (int r = 1; r <= 70; ++r)
        for (int c = 1; c <= 23; ++c) {
          w.Get("precipitation")[r][c] = 3 * unit(random);
          for (int i = 1; i <= 2; ++i) {
            rig.G("pot_transpiration", i)[r][c] = 0.3 * unit(random);
            rig.G("potential_InterceptionEvap", i)[r][c] = 0.3 * unit(random);
          }
        }
      m->run(step, 1, 7, 2001);
      for (const char* name : {"throughfall", "interception_evaporation", "interception_storage"})
        for (int i = 0; i <= 2; ++i)
          for (int r = 1; r <= 70; ++r)
            for (int c = 1; c <= 23; ++c) values.push_back(rig.G(name, i)[r][c]);
      for (int kind = 0; kind < 3; ++kind)
        for (int i = 0; i <= 2; ++i) {
          zonalstatistic* s = m->GetStatistics(kind, i);
          for (int k = 1; k <= s->GetSlotCount(); ++k) values.push_back(s->GetCurrentValues()[k]);
        }
    }
    m->FreeMemory();
    return values;
  };
  const std::vector<double> one = run(1);
  const std::vector<double> four = run(4);
  omp_set_num_threads(threads);
  ASSERT_EQ(one.size(), four.size());
  EXPECT_EQ(one, four);  // byte for byte
  // The mean storage of layer 0 over the zone is a real mean, not empty.
  EXPECT_GT(one.back(), 0);
}

// A land use that is no entry of the table, met on one of the threads: the
// step ends with its code and message, not with a crash.
TEST(Interception, UnknownLandUseOnTheThreadsEndsTheStep) {
  const int threads = omp_get_max_threads();
  omp_set_num_threads(4);
  Rig rig("unknown", 1, 40, 6);
  auto m = rig.Make(1);
  for (int r = 1; r <= 40; ++r)
    for (int c = 1; c <= 6; ++c) rig.w.Get("precipitation")[r][c] = 1;
  rig.G("landuse", 1)[33][4] = 7;
  int code = 0;
  try {
    m->run(1, 1, 7, 2001);
  } catch (int thrown) {
    code = thrown;
  }
  omp_set_num_threads(threads);
  EXPECT_EQ(code, 31);
  EXPECT_NE(
      rig.w.Console().find("the land use 7 of vegetation layer 1 (grid landuse1) at row 33, column 4 is not an entry"),
      std::string::npos)
      << rig.w.Console();
  m->FreeMemory();
}
