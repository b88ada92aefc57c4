// Surface flow between cells: the stable sub time step, the water balance of
// every sub-step for all six flowpath methods, a tilted plane draining into
// its river column, the velocity of one cell, the level diffusion of method
// 6 in a closed basin, and the independence of the grids from the number of
// instances and threads.
#include <mpi.h>
#include <omp.h>

#include <cmath>

#include "tests/surface/surfrout_world.h"

namespace {

class SurfaceFlowTest : public RoutingWorld {
 protected:
  SurfaceFlowTest() : RoutingWorld("surfflow", 12, 10) {
    depth = Find("river_depth");
    width = Find("river_width");
    storage = Find("SurfStorSiltingUp");
    direct = Find("directflow");
    Decompose(false);
    // Few threads: the machine running the tests is shared.
    omp_set_num_threads(2);
  }
  Grid Find(const std::string& name) {
    for (GridListEntry& e : list)
      if (e.shortname == name) return e.grid;
    return nullptr;
  }
  Grid ModelGrid(const char* name) { return list[model->GetPosition(name)].grid; }
  Stack ModelStack(const char* name) { return list[model->GetPosition(name)].stack; }
  bool Own(int r, int c) const {
    return zone[r][c] > -9999 && (!regions || static_cast<int>(regions[r][c]) == fluvextest::MpiRank());
  }
  // Cells in row-major order to the instances (rows split between them, as
  // the domain decomposition does), or all to instance 0; the border lists
  // hold every foreign cell next to an own cell, one entry per cell.
  void Decompose(bool single) {
    const int size = fluvextest::MpiSize(), rank = fluvextest::MpiRank();
    if (size == 1) return;
    int cells = 0, k = 0;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) cells += zone[r][c] > -9999;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) regions[r][c] = zone[r][c] > -9999 ? (single ? 0 : k++ * size / cells) : -1;
    send.clear();
    receive.clear();
    args.firstRow = nrows + 1;
    args.lastRow = 0;
    auto touches = [&](int r, int c, int owner) {
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc) {
          const int a = r + dr, b = c + dc;
          if ((dr || dc) && a >= 1 && a <= nrows && b >= 1 && b <= ncols && regions[a][b] == owner) return true;
        }
      return false;
    };
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        const int owner = static_cast<int>(regions[r][c]);
        if (owner < 0) continue;
        if (owner == rank) {
          args.firstRow = std::min(args.firstRow, r);
          args.lastRow = std::max(args.lastRow, r);
          for (int q = 0; q < size; ++q)
            if (q != rank && touches(r, c, q)) send.push_back(HaloEntry{r, c, 1, q});
        } else if (touches(r, c, rank)) {
          receive.push_back(HaloEntry{r, c, 1, owner});
        }
      }
    if (args.lastRow == 0) args.firstRow = args.lastRow = 1;
    args.object.haloSend = &send;
    args.object.haloReceive = &receive;
  }
  // A plane falling by 1 m per column towards the river in the last column
  // and by 0.1 m per row towards row 1.
  void TiltedPlane() {
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        dem[r][c] = 500 + 1.0 * (ncols - c) + 0.1 * r;
        depth[r][c] = width[r][c] = c == ncols ? 1.0 : 0.0;
      }
  }
  struct Balance {
    double start = 0, end = 0, river = 0;
  };
  // One sub-step: the soil hands the ponded water back as direct runoff.
  Balance SubStep(int hour) {
    Balance b;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) {
          direct[r][c] = storage[r][c];
          b.start += direct[r][c];
        }
    model->run(hour, 1, 6, 2001);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) {
          b.end += storage[r][c];
          if (depth[r][c] > 0) b.river += direct[r][c];
        }
    MPI_Allreduce(MPI_IN_PLACE, &b.start, 3, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    return b;
  }
  void Rain(double mm) {
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) storage[r][c] = zone[r][c] > -9999 ? mm : 0.0;
  }
  static std::string WithFlowControl(std::string section, const char* code) {
    section.replace(section.find("]\n1\n") + 2, 1, code);
    return section;
  }

  Grid depth, width, storage, direct;
  HaloList send, receive;
};

TEST_F(SurfaceFlowTest, StableSubTimeStep) {
  // The largest integer fraction of the sub-step not above the stable step.
  EXPECT_DOUBLE_EQ(surfaceroutingclass::SubTimeStep(3600, 7, 1, 3600), 3600.0 / 515);
  EXPECT_DOUBLE_EQ(surfaceroutingclass::SubTimeStep(3600, 7, 3600.0 / 514, 3600), 3600.0 / 514);
  EXPECT_DOUBLE_EQ(surfaceroutingclass::SubTimeStep(3600, 1e36, 1, 1200), 1200);
  EXPECT_DOUBLE_EQ(surfaceroutingclass::SubTimeStep(3600, 1e36, 1, 3600), 3600);

  ASSERT_EQ(Make(Section("1", "1", "3600")), 0) << console.str();
  model->run(1, 1, 6, 2001);  // dry: one sub-time-step of the whole sub-step
  EXPECT_EQ(model->GetSubTimeStepCount(), 1);
  EXPECT_DOUBLE_EQ(model->GetSubTimeStep(), 3600);
  // cellsize / velocity over directions with a weight; the diagonal distance is not used.
  const int r = args.firstRow;
  int c = 1;
  while (!Own(r, c)) ++c;
  Stack W = ModelStack("SurfaceRoutingWeights");
  Stack V = ModelStack("SurfaceRoutingVelocity");
  W[r][c][2] = 0.5;
  V[r][c][2] = 10.0 / 7;
  W[r][c][3] = 0.00005;  // too small a weight to count
  V[r][c][3] = 100;
  EXPECT_DOUBLE_EQ(model->GetStableTimeStep(), 7);
}

TEST_F(SurfaceFlowTest, TiltedPlaneBalanceOfEveryMethod) {
  TiltedPlane();
  for (int method = 1; method <= 6; ++method) {
    SCOPED_TRACE(method);
    ASSERT_EQ(Make(Section(std::to_string(method), "1", "60")), 0) << console.str();
    Rain(10);
    const double input = 10.0 * (nrows * ncols - 1);
    Balance b;
    double before = input;
    for (int step = 1; step <= 8; ++step) {
      b = SubStep(step);
      // Storage at the start = storage at the end + what reached the river.
      EXPECT_NEAR(b.start, b.end + b.river, 1e-9 * input) << step;
      EXPECT_LE(b.end, before);
      before = b.end;
    }
    // The water has reached the river, but for a film below 0.1 mm that
    // Manning-Strickler does not move (methods 1 to 4); the level diffusion
    // slows down as the land dries.
    if (method == 5) {
      EXPECT_LT(b.end, 1e-3 * input);
    }
    if (method == 6) {
      EXPECT_LT(b.end, 0.05 * input);
    }
    for (int r = args.firstRow; r <= args.lastRow && method < 5; ++r)
      for (int c = 1; c < ncols; ++c)
        if (Own(r, c)) {
          EXPECT_LT(storage[r][c], 0.1) << r << " " << c;
        }
    if (method == 6) continue;
    Stack W = ModelStack("SurfaceRoutingWeights");
    for (int r = args.firstRow; r <= args.lastRow; ++r)
      for (int c = 1; c < ncols; ++c) {
        if (!Own(r, c)) continue;
        double sum = 0;
        for (int k = 1; k <= 8; ++k) sum += W[r][c][k];
        EXPECT_TRUE(std::fabs(sum - 1) < 1e-12 || sum == 0) << r << " " << c << " " << sum;
      }
  }
}

TEST_F(SurfaceFlowTest, TracersTravelWithTheWater) {
  TiltedPlane();
  Grid conc = Add("_CONC_QD_1_", 0);
  Add("_CONC_QI_1_", 0);
  landuse[3][2] = 7;  // no such land-use entry
  for (const char* method : {"1", "2"}) {
    SCOPED_TRACE(method);
    ASSERT_EQ(Make(Section(method, "1", "60"), false), 0) << console.str();
    TracerRecord tracers[2];
    int error = -1;
    model->InitTracerGrids(&error, 1, tracers, nullptr, 0);
    ASSERT_EQ(error, 0);
    Rain(10);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) conc[r][c] = c <= 5 ? 2 : 6;
    double in = 0;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) in += storage[r][c] * conc[r][c];
    SubStep(1);
    // Tracer mass stays on the land (storage concentration) or reaches the
    // river (concentration of the direct runoff).
    Grid stored = ModelGrid("concstor_tracer_1_SiltingUpModel");
    double out[2] = {in, 0};
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) out[1] += depth[r][c] > 0 ? direct[r][c] * conc[r][c] : storage[r][c] * stored[r][c];
    MPI_Allreduce(MPI_IN_PLACE, out, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_NEAR(out[1], out[0], 1e-9 * out[0]);
    // The river cells of the upper rows drain land of both concentrations.
    if (Own(2, ncols)) {
      EXPECT_GT(conc[2][ncols], 2);
      EXPECT_LT(conc[2][ncols], 6);
    }
  }
  // The cell without a land-use entry flows with the default roughness.
  EXPECT_TRUE(Said("cells have no valid land-use entry on any vegetation layer (first at row 3, column 2: 7)"));
}

TEST_F(SurfaceFlowTest, VelocityOfACell) {
  // Land-use entries: 1 other (K_ST 25), 2 conserving, 3 nonconserving with thin
  // stems, 4 nonconserving with thick stems.
  landusetable.reset(new landuse_table_entry[5]);
  landusetable[0].code = 4;
  const std::string head = " method = VariableDayCount {\n RootDist = 1; TReduWet = 1; HReduDry = 1; SR_K_ST = 25;";
  const std::string tail =
      " JulDays = 100 300; Albedo = 0 0; rsc = 0 0; LAI = 0 0; Z0 = 0 0; VCF = 0 0; RootDepth = 0 0; AltDep = 0 "
      "0;\n}\n";
  ParseLanduseEntry(landusetable[1], diag, "1 other" + head + tail, "VariableDayCount");
  ParseLanduseEntry(landusetable[2], diag,
                    "2 tilled" + head +
                        " SR_cultivation = conserving; SR_rough_coeff1 = 0.02 0.7 0.15; SR_rough_coeff2 = 0.05 0.5 0.3;"
                        " SR_ResidCovrg = 0.3 0.3;" +
                        tail,
                    "VariableDayCount");
  ParseLanduseEntry(landusetable[3], diag,
                    "3 thin" + head + " SR_cultivation = nonconserving; SR_StemDiameter = 0.0005 0.0005;" + tail,
                    "VariableDayCount");
  ParseLanduseEntry(landusetable[4], diag,
                    "4 thick" + head + " SR_cultivation = nonconserving; SR_StemDiameter = 0.005 0.005;" + tail,
                    "VariableDayCount");
  args.landuseTable = landusetable.get();
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) landuse[r][c] = 1 + (c - 1) % 4;
  const int r0 = 6, c0 = 5;  // land use 1
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) dem[r][c] = 500 + 0.1 * (ncols - c);  // slope 0.01 towards the east

  for (int method : {2, 5}) {
    SCOPED_TRACE(method);
    ASSERT_EQ(Make(Section(std::to_string(method), "1", "60")), 0) << console.str();
    model->run(1, 1, 6, 2001);  // dry sub-step: sets the cells up
    if (!Own(r0, c0)) continue;
    Grid h = ModelGrid("SurfaceRoutingHead");
    Stack V = ModelStack("SurfaceRoutingVelocity");
    Stack F = ModelStack("SurfaceRoutingFluxes");
    double slope, aspect;
    int kind;
    auto cell = [&](double depthOfCell) {
      h[r0][c0] = depthOfCell;
      model->HeadGradients(r0, c0, slope, aspect, kind);
      model->FlowDirections(r0, c0, kind, 0, slope, aspect);
      model->CellVelocity(r0, c0, 0, 0, kind);
    };
    // Without water: no velocity and no flux in any direction.
    cell(0);
    for (int k = 0; k <= 8; ++k) {
      EXPECT_EQ(F[r0][c0][k], 0) << k;
      if (k > 0) {
        EXPECT_EQ(V[r0][c0][k], 0) << k;
      }
    }
    cell(0.02);
    EXPECT_EQ(V[r0][c0][0], 3);  // east
    const double L = 10, I = 0.01;
    if (method == 5) {
      // v = 10 sqrt(I) h^0.66667, at most L / (20 minimum sub time step);
      // the drop includes the water depth.
      const double I5 = (0.1 + 0.02) / L;
      EXPECT_NEAR(V[r0][c0][3], 10 * std::sqrt(I5) * std::pow(0.02, 0.66667), 1e-12);
      EXPECT_NEAR(F[r0][c0][3], V[r0][c0][3] * L * 0.02, 1e-12);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) dem[r][c] = 500 + 100.0 * (ncols - c);
      cell(0.5);
      EXPECT_DOUBLE_EQ(V[r0][c0][3], L / 20);
      continue;
    }
    // Manning-Strickler at the released discharge Q = L^2 h / maximum sub
    // time step: v = (Q / (v L))^0.66667 K_ST sqrt(I), solved for v.
    const double Q = L * L * 0.02 / 60;
    const double a = 0.66667;
    const double v = std::pow(std::pow(Q / L, a) * 25 * std::sqrt(I), 1 / (1 + a));
    EXPECT_NEAR(V[r0][c0][3], v, 0.001);  // the velocity error of the section
    EXPECT_NEAR(F[r0][c0][3], Q, 0.01 * Q);
    EXPECT_EQ(F[r0][c0][0], F[r0][c0][3]);

    // Crop friction: "other" and thin stems give K_ST exactly, as does a
    // cell without flow; conserving tillage follows its coefficients on
    // either side of Re = 20000.
    EXPECT_EQ(model->CropFrictionFactor(0.3, 0.01, 0.5, 0.1, r0, c0, 1, 3), 25);
    EXPECT_EQ(model->CropFrictionFactor(0.3, 0.01, 0.5, 0.1, r0, c0 + 2, 3, 2), 25);
    EXPECT_EQ(model->CropFrictionFactor(0, 0.01, 0.3, 0.1, r0, c0 + 1, 2, 1), 25);
    EXPECT_EQ(model->CropFrictionFactor(0.3, 0, 0.3, 0.1, r0, c0 + 3, 4, 2), 25);
    const double below = 1 / (0.02 * std::pow(30.0, 0.7) / std::pow(4e6 * 0.1 * 0.0025, 0.15));
    EXPECT_NEAR(model->CropFrictionFactor(0.1, 0.0025, 0.3, 0.1, r0, c0 + 1, 2, 1), below, 1e-9 * below);
    const double at = 1 / (0.05 * std::pow(30.0, 0.5) / std::pow(20000.0, 0.3));
    EXPECT_NEAR(model->CropFrictionFactor(0.1, 0.05, 0.3, 0.1, r0, c0 + 1, 2, 1), at, 1e-9 * at);
    // Thick stems slow the flow, but only above the crop depth threshold (0.01 m).
    const double stems = model->CropFrictionFactor(0.1, 0.05, 0.5, 0.1, r0, c0 + 3, 4, 2);
    EXPECT_GT(stems, 0);
    EXPECT_LT(stems, 25);
    EXPECT_EQ(model->CropFrictionFactor(0.1, 0.005, 0.5, 0.1, r0, c0 + 3, 4, 2), 25);
  }
}

TEST_F(SurfaceFlowTest, LevelDiffusionInAClosedBasin) {
  // A flat basin without rivers; a mound of water in subbasin 1.
  auto mound = [&]() {
    Rain(0);
    for (int r = 5; r <= 7; ++r)
      for (int c = 2; c <= 3; ++c) storage[r][c] = 500;
  };
  for (const char* control : {"1", "3"}) {
    SCOPED_TRACE(control);
    ASSERT_EQ(Make(WithFlowControl(Section("6", "1", "60"), control)), 0) << console.str();
    mound();
    const double volume = 500.0 * 6;
    Balance b;
    for (int step = 1; step <= 8; ++step) b = SubStep(step);
    EXPECT_NEAR(b.end, volume, 1e-6 * volume);
    EXPECT_EQ(b.river, 0);
    // Every cell reaches the mean level of the water's part of the basin.
    const double cells = control[0] == '3' ? ncols / 2 * nrows : nrows * ncols - 1;
    Grid level = ModelGrid("SurfaceRoutingHead");
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!Own(r, c)) continue;
        if (control[0] == '3' && zone[r][c] == 2) {
          EXPECT_EQ(level[r][c], 500) << r << " " << c;  // not a drop crossed the border
          continue;
        }
        EXPECT_NEAR(level[r][c], 500 + volume / 1000 / cells, 1e-3) << r << " " << c;
      }
  }
  // A dry flat area stays dry.
  ASSERT_EQ(Make(Section("6", "1", "600")), 0);
  Rain(0);
  const Balance b = SubStep(1);
  EXPECT_EQ(b.end, 0);
  Grid level = ModelGrid("SurfaceRoutingHead");
  for (int r = args.firstRow; r <= args.lastRow; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (Own(r, c)) {
        EXPECT_EQ(level[r][c], 500);
      }
}

TEST_F(SurfaceFlowTest, SameGridsOnEveryNumberOfInstancesAndThreads) {
  TiltedPlane();
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) dem[r][c] += 0.3 * std::sin(r * 1.3 + c * 0.7);  // hollows and ridges
  for (const char* method : {"1", "3", "6"}) {
    SCOPED_TRACE(method);
    // The grids of own cells after three sub-steps.
    auto three = [&](int threads) {
      omp_set_num_threads(threads);
      EXPECT_EQ(Make(Section(method, "1", "60")), 0) << console.str();
      Rain(7);
      for (int step = 1; step <= 3; ++step) SubStep(step);
      std::vector<double> values(2 * nrows * ncols, 0.0);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
          if (Own(r, c)) {
            values[2 * ((r - 1) * ncols + c - 1)] = storage[r][c];
            values[2 * ((r - 1) * ncols + c - 1) + 1] = direct[r][c];
          }
      return values;
    };
    Decompose(false);
    const std::vector<double> one = three(1);
    const std::vector<double> eight = three(8);
    EXPECT_EQ(one, eight);  // byte-identical
    Decompose(true);
    std::vector<double> single = three(2);
    MPI_Bcast(single.data(), static_cast<int>(single.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
    Decompose(false);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!Own(r, c)) continue;
        for (int k = 0; k < 2; ++k) {
          const size_t i = 2 * ((r - 1) * ncols + c - 1) + k;
          EXPECT_NEAR(one[i], single[i], 1e-12 * (1 + std::fabs(single[i]))) << r << " " << c << " " << k;
        }
      }
  }
  omp_set_num_threads(omp_get_num_procs());
}

}  // namespace
