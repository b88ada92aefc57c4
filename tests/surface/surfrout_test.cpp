// The surface routing: its section with the sub-time-step bounds, the grids
// it registers, the plan curvature, the zones and linear storages at the
// outlets, the state in the storage content file; surface flow between
// cells: the stable sub time step, the water balance of every sub-step for
// all six flowpath methods (whose steps run reaches through the virtual
// operations), a tilted plane draining into its river column,
// the sub-steps' water at the outlets and on the surface, the directions of
// methods 1 and 2 when the terrain changes between steps, the cell named for
// a storage that is no number, the side shares,
// the velocity of one cell, the level diffusion of method 6 in a closed basin;
// and the independence of the results from the number of instances and threads,
// also where the instances meet within a row.
#include <mpi.h>
#include <omp.h>

#include <atomic>
#include <cmath>

#include "tests/surface/world.h"

namespace {

class SurfaceRoutingTest : public RoutingWorld {
 protected:
  SurfaceRoutingTest() : RoutingWorld("surfrout") {}
  // What the sub-steps leave in the zone queues: per own cell of zone z
  // (flow_times, else 1) the cell is counted and its runoff added.
  void Contribute(int step) {
    Grid flow = flowtimes;
    for (int r = args.firstRow; r <= args.lastRow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (zone[r][c] < 0 || (regions && regions[r][c] != fluvextest::MpiRank())) continue;
        const int s = static_cast<int>(zone[r][c]);
        ZoneRecord& z = model->DirectQueue(0, s)[flow ? static_cast<int>(flow[r][c]) : 1];
        z.n += 1;
        z.RelCellSum += 1;
        z.sx += std::fmod(r * 3.1 + c * 1.7 + step * 2.3, 9.0);
      }
  }
  // Runs steps first ... last; returns Qg of water per subbasin and step (instance 0).
  std::vector<double> Steps(int first, int last) {
    std::vector<double> q;
    for (int step = first; step <= last; ++step) {
      model->StartStep(step, 1, 6, 2001);
      Contribute(step);
      model->RouteToOutlets(step, 1, 6, 2001);
      for (int s = 1; s <= kZones; ++s) q.push_back(model->GetQg()[s]);
    }
    return q;
  }
  void FlowTimes() {
    flowtimes = Add("flow_times", 1);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) flowtimes[r][c] = (c - 1) % 3 + 1;
  }
  Grid flowtimes = nullptr;
};

TEST_F(SurfaceRoutingTest, SectionAndSubTimeSteps) {
  ASSERT_EQ(Make(Section()), 0) << console.str();
  EXPECT_EQ(model->GetMethod(), 1);
  // Sub-steps of 3600 s: 1000 s becomes 3600 / 3, 7 s becomes 3600 / 514.
  EXPECT_DOUBLE_EQ(model->GetMaxSubStep(), 1200);
  EXPECT_DOUBLE_EQ(model->GetMinSubStep(), 3600.0 / 514);
  EXPECT_TRUE(Said("longest allowed subtimestep changed from 1000 to 1200. Must be integer fraction of time step"));
  EXPECT_TRUE(Said("shortest allowed subtimestep changed from 7 to 7.00"));
  ASSERT_EQ(Make(Section("6", "600", "5000")), 0);
  EXPECT_DOUBLE_EQ(model->GetMaxSubStep(), 3600);
  EXPECT_DOUBLE_EQ(model->GetMinSubStep(), 600);

  for (const char* method : {"0", "7"}) EXPECT_EQ(Make(Section(method)), 10);
  EXPECT_TRUE(Said("invalid method (7) read for SurfaceRoutingModel\n"));
  EXPECT_EQ(Make(Section("1", "0")), 17);
  // A maximum below 0 snaps to the whole sub-step.
  EXPECT_EQ(Make(Section("1", "10", "-5")), 0);
  EXPECT_DOUBLE_EQ(model->GetMaxSubStep(), 3600);
  EXPECT_TRUE(Said("longest allowed subtimestep changed from -5 to 3600"));
  EXPECT_EQ(Make(Section("1", "100", "50")), 17);
  EXPECT_TRUE(Said("the minimum has to be greater than 0 and must not exceed the maximum"));
  EXPECT_EQ(Make(Section("1", "7", "1000", "x\n")), 17);
  EXPECT_TRUE(Said("read control parameter for storage grids for ; SurfaceRoutingModel not found!"));
}

TEST_F(SurfaceRoutingTest, GridsStatisticsAndSwitches) {
  Grid curvature = Add("Plancurvature", 5);
  ASSERT_EQ(Make(Section("1", "7", "1000", "0\nsstor.stat 1001\n\n")), 0) << console.str();
  const int r = args.firstRow;
  auto grid = [&](const char* name) { return list[model->GetPosition(name)].grid; };
  EXPECT_EQ(grid("SurfaceRoutingManningCoeff")[r][1], 25);  // "SR_K_ST" of the land use
  EXPECT_EQ(grid("SurfaceRoutingRoughnessX")[r][1], 10);
  EXPECT_EQ(grid("CriticalShearStress")[r][1], 0.9);
  EXPECT_EQ(list[model->GetPosition("SurfaceRoutingFluxes")].levels, 9);
  EXPECT_EQ(list[model->GetPosition("SurfaceRoutingFluxes")].stack[r][1][8], 0);
  // A plan curvature registered by another object is used as it is.
  EXPECT_EQ(grid("Plancurvature"), curvature);
  EXPECT_EQ(curvature[3][3], 5);
  if (fluvextest::MpiRank() == 0) {
    EXPECT_NE(fluvextest::ReadFile(dir / "sstor.stat").find("Surface_Storage_in_SurfaceRouting_Module"),
              std::string::npos);
  }
  // The release frees the model's grids and keeps a plan curvature it did not register.
  const int velocity = model->GetPosition("SurfaceRoutingVelocity");
  model->ReleaseMemory(false);
  EXPECT_FALSE(list[velocity].registered);
  EXPECT_TRUE(list[model->GetPosition("Plancurvature")].registered);
  model.reset();

  Add("GlacierCodes", 0);
  EXPECT_EQ(Make(Section()), 2);
  EXPECT_TRUE(Said("Surface routing module cannot be used when glacier model is active."));
  // During the SpinUp the model is off.
  for (GridListEntry& e : list)
    if (e.shortname == "GlacierCodes") e.shortname = "none";
  args.object.SpinUp = 1;
  ASSERT_EQ(Make(Section(), false), 0);
  EXPECT_EQ(model->GetFlowControl(), 0);
  EXPECT_EQ(model->GetQg(), nullptr);
}

TEST_F(SurfaceRoutingTest, PlanCurvature) {
  // z = a ((c - c0) h)^2 + b r h: 2a along the axis c = c0.
  const double a = 0.01, b = 0.5, h = 10;
  const int c0 = 3;
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) dem[r][c] = a * std::pow((c - c0) * h, 2) + b * r * h;
  ASSERT_EQ(Make(Section()), 0);
  Grid k = list[model->GetPosition("Plancurvature")].grid;
  for (int r = std::max(2, args.firstRow); r <= std::min(nrows - 1, args.lastRow); ++r)
    EXPECT_NEAR(k[r][c0], 0.02, 1e-12) << r;

  // A flat surface has no curvature, also where cells take the neighbour mean.
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) dem[r][c] = 500;
  ASSERT_EQ(Make(Section()), 0);
  k = list[model->GetPosition("Plancurvature")].grid;
  for (int r = args.firstRow; r <= args.lastRow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (zone[r][c] > 0) {
        EXPECT_EQ(k[r][c], 0) << r << " " << c;
      }
    }

  // z = b r h + a (c h)^2 has the curvature 2 a b^2 / (b^2 + 4 a^2 c^2 h^2);
  // a cell beside a hole of the elevation model takes the mean of its
  // neighbours that have one.
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) dem[r][c] = b * r * h + a * std::pow(c * h, 2);
  dem[4][4] = -9999;
  ASSERT_EQ(Make(Section()), 0);
  k = list[model->GetPosition("Plancurvature")].grid;
  auto exact = [&](int c) { return 2 * a * b * b / (b * b + 4 * a * a * c * c * h * h); };
  // (The instances of this test world exchange no border rows: one instance only.)
  if (fluvextest::MpiSize() == 1) {
    EXPECT_NEAR(k[3][3], (exact(2) + exact(3) + exact(4) + exact(2) + exact(2)) / 5, 1e-12);
    EXPECT_NEAR(k[2][5], exact(5), 1e-12);
  }
}

TEST_F(SurfaceRoutingTest, LinearStoragesAtTheOutlets) {
  ASSERT_EQ(Make(Section()), 0);
  // Without flow times every subbasin has one zone.
  EXPECT_EQ(model->GetMaxZone(1), 1);
  EXPECT_EQ(model->DirectQueue(0, 1)[1].rel, 1.0);
  model->SetStorages(0, 1, 10, 10);
  qbb[1] = 0.5;
  const double expected[5] = {0, 6.0653066, 3.6787944, 2.2313016, 1.3533528};
  for (int step = 1; step <= 4; ++step) {
    model->StartStep(step, 1, 6, 2001);
    model->RouteToOutlets(step, 1, 6, 2001);
    if (fluvextest::MpiRank() != 0) continue;
    EXPECT_NEAR(model->GetQDd(0, 1), expected[step], 1e-7);
    EXPECT_NEAR(model->GetQIi(0, 1), 10 * std::exp(-0.1 * step), 1e-12);
    EXPECT_DOUBLE_EQ(model->GetQg()[1], model->GetQDd(0, 1) + model->GetQIi(0, 1) + 0.5);
    EXPECT_EQ(model->GetQg()[2], 0);
  }

  // A contribution to zone 3 reaches zone 1 after two shifts; a storage
  // constant of 0 passes it on in the same step.
  FlowTimes();
  kelsqd[1] = 0;
  ASSERT_EQ(Make(Section()), 0);
  EXPECT_EQ(model->GetMaxZone(1), 3);
  EXPECT_DOUBLE_EQ(model->DirectQueue(0, 1)[1].rel, 1.0 / 3);
  const double arrival[4] = {0, 0, 3, 0};
  for (int step = 0; step < 4; ++step) {
    model->StartStep(step + 1, 1, 6, 2001);
    if (step == 0 && fluvextest::MpiRank() == 0) {
      ZoneRecord& z = model->DirectQueue(0, 1)[3];
      z.n += 2;
      model->DirectQueueWater(1)[3].water.Add(6);
      model->DirectQueueWater(1)[3].weight.Add(2);
    }
    model->RouteToOutlets(step + 1, 1, 6, 2001);
    if (fluvextest::MpiRank() == 0) {
      EXPECT_EQ(model->GetQDd(0, 1), arrival[step]) << step;
    }
  }
}

TEST_F(SurfaceRoutingTest, CellInflowAndTracersAtTheOutlets) {
  Add("_CONC_QD_1_", 0);
  Add("_CONC_QI_1_", 0);
  ASSERT_EQ(Make(Section(), false), 0);
  TracerRecord tracers[2];
  int error = -1;
  model->InitTracerGrids(&error, 1, tracers, nullptr, 0);
  ASSERT_EQ(error, 0);
  qbb.assign(2 * (kZones + 1), 0.0);
  model->SetQBb(qbb.data());
  model->SetKelsqd(kelsqd.data());
  model->SetKelsqi(kelsqi.data());

  // Cell (3, 3) receives from (4, 3) (its direction 1) and (3, 2) (direction
  // 3); it sends towards direction 5; negative fluxes are no outflow.
  if (args.firstRow <= 3 && 3 <= args.lastRow && fluvextest::MpiSize() == 1) {
    Stack f = list[model->GetPosition("SurfaceRoutingFluxes")].stack;
    Grid c = list[model->GetPosition("concstor_tracer_1_SiltingUpModel")].grid;
    f[4][3][1] = 0.002;
    f[3][2][3] = 0.001;
    f[2][3][1] = 0.5;  // towards row 1: not this cell
    f[3][3][5] = 0.004;
    f[3][3][2] = -0.5;
    c[4][3] = 2;
    c[3][2] = 4;
    model->CellInflow(3, 3, 10);
    EXPECT_NEAR(list[model->GetPosition("SurfaceRoutingQIn")].grid[3][3], 0.03, 1e-15);
    EXPECT_NEAR(list[model->GetPosition("SurfaceRoutingQOut")].grid[3][3], 0.04, 1e-15);
    EXPECT_NEAR(model->GetTracerLoad(1)[3][3], (0.002 * 2 + 0.001 * 4) * 1000 * 10, 1e-9);
  }

  // Storage of 10 mm at concentration 3; 3 mm at concentration 5 flow in.
  model->SetStorages(0, 1, 10, 0);
  model->SetStorages(1, 1, 3, 0);
  qbb[1] = 2;
  qbb[kZones + 1 + 1] = 1;  // baseflow concentration
  model->StartStep(1, 1, 6, 2001);
  if (fluvextest::MpiRank() == 0) {
    model->DirectQueue(0, 1)[1] = ZoneRecord{2, 6, 1, 1, 2};
    ExactRecord& x = model->DirectQueueWater(1)[1];
    x.Clear();
    x.water.Add(6);
    x.weight.Add(2);
    model->DirectQueue(1, 1)[1] = ZoneRecord{2, 10, 1, 1, 2};
  }
  model->RouteToOutlets(1, 1, 6, 2001);
  if (fluvextest::MpiRank() == 0) {
    const double c = std::exp(-0.5);
    const double water = 10 * c + 3 * (1 - c);
    EXPECT_NEAR(model->GetQDd(0, 1), water, 1e-12);
    EXPECT_NEAR(model->GetQDd(1, 1), (3 * 5 * (1 - c) + 10 * 3 * c) / water, 1e-12);
    const double* qg = model->GetQg();
    EXPECT_NEAR(qg[1], water + 2, 1e-12);
    EXPECT_NEAR(qg[kZones + 1 + 1], (2 * 1 + water * model->GetQDd(1, 1)) / (water + 2), 1e-12);
    // An empty storage has no concentration.
    EXPECT_EQ(model->GetQDd(1, 2), 0);
  }
}

TEST_F(SurfaceRoutingTest, WarmStartEqualsOneRun) {
  FlowTimes();
  const int N = 3;
  ASSERT_EQ(Make(Section()), 0);
  const std::vector<double> whole = Steps(1, 2 * N);

  // The velocities are state too: the first half writes them at its end
  // (write code 3), the second reads them. The instances write one file
  // together, so they share instance 0's directory.
  args.object.DefaultOutputDirectory = args.object.InitialStateDirectory;
  std::string first = Section();
  first.replace(first.find("velocity.stk\n0\n"), 16, "velocity.stk\n3\n");
  std::string warm = first;
  warm.replace(warm.rfind("0\n\n[irrigation]"), 1, "1");
  ASSERT_EQ(Make(first), 0);
  model->ReadStorageFile("state.ftz", 0);
  Steps(1, N);
  model->ReleaseMemory(false);
  MPI_Barrier(MPI_COMM_WORLD);
  ASSERT_EQ(Make(warm), 0);
  model->ReadStorageFile("state.ftz", 1);
  const std::vector<double> second = Steps(N + 1, 2 * N);
  if (fluvextest::MpiRank() == 0) {
    for (size_t i = 0; i < second.size(); ++i)
      EXPECT_NEAR(second[i], whole[N * kZones + i], 1e-5 * std::fabs(whole[N * kZones + i])) << i;
  }

  // Another number of tracers or subbasins in the file stops the run.
  const std::string state = fluvextest::ReadFile(args.object.InitialStateDirectory + "state.ftz");
  for (const char* label : {"tracers", "subasins"}) {
    std::string changed = state;
    const std::string from = std::string(label[0] == 't' ? "0" : "2") + " (number of " + label + ")";
    changed.replace(changed.find(from), 1, "3");
    // The model of the last round writes its state at its release: release it first.
    model->ReleaseMemory(false);
    model.reset();
    if (fluvextest::MpiRank() == 0) fluvextest::WriteFile(dir / "bad.ftz", changed);
    MPI_Barrier(MPI_COMM_WORLD);
    ASSERT_EQ(Make(warm), 0);
    int code = 0;
    try {
      model->ReadStorageFile("bad.ftz", 1);
    } catch (int c) {
      code = c;
    }
    // Only instance 0 writes and reads the section: the other instances hold
    // no state of their own and never see the file.
    if (fluvextest::MpiRank() == 0) {
      EXPECT_EQ(code, 71);
      EXPECT_TRUE(Said(std::string("error in storage file content reading number of ") +
                       (label[0] == 't' ? "tracers" : "subbasins") + ":\nvalue in actual control is:   "));
    } else {
      EXPECT_EQ(code, 0) << "instance " << fluvextest::MpiRank();
    }
    MPI_Barrier(MPI_COMM_WORLD);
  }
  // A read parameter of 2 leaves the start cold but keeps the name for the end.
  ASSERT_EQ(Make(Section()), 0);
  model->ReadStorageFile("bad.ftz", 2);
  EXPECT_EQ(model->GetStorageFileName(), "bad.ftz");
}

TEST_F(SurfaceRoutingTest, SameResultsOnEveryNumberOfInstances) {
  if (fluvextest::MpiSize() == 1) GTEST_SKIP() << "compares the instances' run with one instance's: under MPI only";
  FlowTimes();
  ASSERT_EQ(Make(Section()), 0);
  // The cell counts of zone 1 (every cell of flow time 1 or more) are held
  // once, whatever the number of instances that sum them: 18 and 17 cells.
  double counts[2] = {model->DirectQueue(0, 1)[1].RelCellSum, model->DirectQueue(0, 2)[1].RelCellSum};
  MPI_Allreduce(MPI_IN_PLACE, counts, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_EQ(counts[0], 18);
  EXPECT_EQ(counts[1], 17);
  const std::vector<double> banded = Steps(1, 6);
  // The same basin with every cell on instance 0.
  if (regions)
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) regions[r][c] = 0;
  args.firstRow = 1;
  args.lastRow = nrows;
  ASSERT_EQ(Make(Section()), 0);
  const std::vector<double> single = Steps(1, 6);
  if (fluvextest::MpiRank() == 0) {
    for (size_t i = 0; i < single.size(); ++i) EXPECT_NEAR(banded[i], single[i], 1e-12 * (1 + single[i])) << i;
  }
}

// ---- surface flow between cells ----

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
  Grid ModelGrid(const char* name) { return list[model->GetPosition(name)].grid; }
  Stack ModelStack(const char* name) { return list[model->GetPosition(name)].stack; }
  bool Own(int r, int c) const {
    return zone[r][c] > -9999 && (!regions || static_cast<int>(regions[r][c]) == fluvextest::MpiRank());
  }
  // Cells in row-major order to the instances (rows split between them, as
  // the domain decomposition does; shift moves the splits by that many
  // cells), or all to instance 0; the border lists hold every foreign cell
  // next to an own cell, one entry per cell.
  void Decompose(bool single, int shift = 0) {
    const int size = fluvextest::MpiSize(), rank = fluvextest::MpiRank();
    if (size == 1) return;
    int cells = 0, k = 0;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) cells += zone[r][c] > -9999;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        regions[r][c] = zone[r][c] > -9999 ? (single ? 0 : std::min(size - 1, (k++ + shift) * size / cells)) : -1;
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
          b.start += direct[r][c] * (area ? area[r][c] : 1.0);
        }
    model->run(hour, 1, 6, 2001);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) {
          const double w = area ? area[r][c] : 1.0;
          b.end += storage[r][c] * w;
          if (depth[r][c] > 0) b.river += direct[r][c] * w;
        }
    MPI_Allreduce(MPI_IN_PLACE, &b.start, 3, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    return b;
  }
  void Rain(double mm) {
    Fill(storage, mm);
    storage[nrows][ncols] = 0;  // the cell without data
  }
  static std::string WithFlowControl(std::string section, const char* code) {
    section.replace(section.find("]\n1\n") + 2, 1, code);
    return section;
  }

  Grid depth, width, storage, direct;
  Grid area = nullptr;  // "RelCellArea" once a test adds it
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
  // 3/5 cellsize / velocity over directions with a weight; the diagonal distance is not used.
  const int r = args.firstRow;
  int c = 1;
  while (!Own(r, c)) ++c;
  Stack W = ModelStack("SurfaceRoutingWeights");
  Stack V = ModelStack("SurfaceRoutingVelocity");
  W[r][c][2] = 0.5;
  V[r][c][2] = 10.0 / 7;
  W[r][c][3] = 0.00005;  // too small a weight to count
  V[r][c][3] = 100;
  EXPECT_DOUBLE_EQ(model->GetStableTimeStep(), 0.6 * 7);
}

// The surface routing with its steps counted: run reaches each through the
// object's table of virtual operations.
class CountedSteps : public surfaceroutingclass {
 public:
  using surfaceroutingclass::surfaceroutingclass;
  enum { kGradients, kDirections, kVelocity, kStable, kInflow, kConductances, kLevels, kFaces, kSteps };
  void HeadGradients(int row, int col, double& slope, double& aspect, int& kind) override {
    ++calls[kGradients];
    surfaceroutingclass::HeadGradients(row, col, slope, aspect, kind);
  }
  void FlowDirections(int row, int col, int& kind, int counter, double slope, double aspect) override {
    ++calls[kDirections];
    surfaceroutingclass::FlowDirections(row, col, kind, counter, slope, aspect);
  }
  void CellVelocity(int row, int col, int counter, int mark, int kind) override {
    ++calls[kVelocity];
    surfaceroutingclass::CellVelocity(row, col, counter, mark, kind);
  }
  double GetStableTimeStep() override {
    ++calls[kStable];
    return surfaceroutingclass::GetStableTimeStep();
  }
  void CellInflow(int row, int column, double dt) override {
    ++calls[kInflow];
    surfaceroutingclass::CellInflow(row, column, dt);
  }
  void InitConductances() override {
    ++calls[kConductances];
    surfaceroutingclass::InitConductances();
  }
  double IterateLevels(double dt) override {
    ++calls[kLevels];
    return surfaceroutingclass::IterateLevels(dt);
  }
  void ComputeFaceFluxes() override {
    ++calls[kFaces];
    surfaceroutingclass::ComputeFaceFluxes();
  }
  std::atomic<int> calls[kSteps] = {};
};

TEST_F(SurfaceFlowTest, TiltedPlaneBalanceOfEveryMethod) {
  TiltedPlane();
  // Cells of equal areas, then cells whose areas grow from the north
  // (RelCellArea 0.5 + 0.5 r / nrows, the cells shorter in y): each cell's
  // water weighs by its area.
  for (int run = 0; run < 12; ++run) {
    const int method = run % 6 + 1;
    if (run == 6) {
      area = Add("RelCellArea", 1.0);
      Grid dy = Add("CellSizeY", 10.0);
      Add("CellSizeX", 10.0);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
          area[r][c] = 0.5 + 0.5 * r / nrows;
          dy[r][c] = 10.0 * area[r][c];
        }
    }
    SCOPED_TRACE(std::to_string(method) + (area ? " unequal cells" : ""));
    ASSERT_EQ(Make<CountedSteps>(Section(std::to_string(method), "1", "60")), 0) << console.str();
    Rain(10);
    double input = 0;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) input += storage[r][c] * (area ? area[r][c] : 1.0);
    Balance b;
    double before = input;
    int steps = 0;  // sub-time-steps of all sub-steps
    for (int step = 1; step <= 8; ++step) {
      b = SubStep(step);
      steps += model->GetSubTimeStepCount();
      // Storage at the start = storage at the end + what reached the river.
      EXPECT_NEAR(b.start, b.end + b.river, 1e-9 * input) << step;
      EXPECT_LE(b.end, before);
      before = b.end;
    }
    // Each sub-step found its stable step once; methods 1 to 5 took the
    // gradients, directions, velocity and inflow of every own cell in every
    // sub-time-step, method 6 the conductances and face fluxes of the
    // instance (and at least one sweep of the levels).
    const auto& calls = dynamic_cast<CountedSteps&>(*model).calls;
    int cells = 0;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) cells += Own(r, c);
    const int perCell = method < 6 ? steps * cells : 0, perInstance = method < 6 ? 0 : steps;
    EXPECT_EQ(calls[CountedSteps::kStable], 8);
    // (Methods 1 and 2 take the gradients once more when they find the terrain's directions.)
    EXPECT_EQ(calls[CountedSteps::kGradients], perCell + (method < 3 ? cells : 0));
    for (int k : {CountedSteps::kDirections, CountedSteps::kVelocity, CountedSteps::kInflow})
      EXPECT_EQ(calls[k], perCell) << k;
    EXPECT_EQ(calls[CountedSteps::kConductances], perInstance);
    EXPECT_GE(calls[CountedSteps::kFaces], perInstance);
    EXPECT_LE(calls[CountedSteps::kFaces], perInstance + (method == 6 ? 8 : 0));
    EXPECT_GE(calls[CountedSteps::kLevels], perInstance);
    EXPECT_LE(calls[CountedSteps::kLevels], 1000 * perInstance);
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

TEST_F(SurfaceFlowTest, SubStepsHandTheWholeStepToTheOutlets) {
  // Every cell a river cell, flow times 1 2 3 1 2 | 3 1 2 3 1 by column, the
  // storage constants 0: what the cells of zone z give in the sub-steps of a
  // step leaves the outlet z - 1 steps later. After a cold start the water
  // of the later zones is not yet there.
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) depth[r][c] = width[r][c] = 1;
  Grid inter = Find("interflow");
  Grid flow = Add("flow_times", 1);
  double cells[kZones + 1][4] = {};  // per subbasin: all cells, then per zone
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) {
      flow[r][c] = (c - 1) % 3 + 1;
      if (zone[r][c] < 0) continue;
      const int s = static_cast<int>(zone[r][c]);
      cells[s][0] += 1;
      cells[s][static_cast<int>(flow[r][c])] += 1;
    }
  kelsqd = kelsqi = {0, 0, 0};
  for (int k : {1, 2, 4}) {
    SCOPED_TRACE(k);
    ASSERT_EQ(Make(Section("1", "1", "60"), true, k), 0) << console.str();
    for (int step = 1; step <= 4; ++step) {
      model->StartStep(step, 6, 7, 2001);
      for (int sub = 1; sub <= k; ++sub) {
        for (int r = 1; r <= nrows; ++r)
          for (int c = 1; c <= ncols; ++c)
            if (Own(r, c)) {
              direct[r][c] = 1.5;
              inter[r][c] = 0.25;
            }
        model->run(step, 6, 7, 2001);
      }
      model->RouteToOutlets(step, 6, 7, 2001);
      if (fluvextest::MpiRank() != 0) continue;
      for (int s = 1; s <= kZones; ++s) {
        double arrived = 0;  // share of the subbasin's cells whose water has reached the outlet
        for (int z = 1; z <= std::min(step, 3); ++z) arrived += cells[s][z] / cells[s][0];
        EXPECT_NEAR(model->GetQDd(0, s), k * 1.5 * arrived, 1e-12) << "step " << step << " subbasin " << s;
        EXPECT_NEAR(model->GetQIi(0, s), k * 0.25 * arrived, 1e-12) << "step " << step << " subbasin " << s;
      }
    }
  }
}

TEST_F(SurfaceFlowTest, WaterOnTheSurfaceBetweenSubSteps) {
  // Flat land without rivers: the water stays where it is. The storage holds
  // the step's water input when the first sub-step starts (the silting-up
  // made it so, and the soil took it in). Without silting-up the soil takes
  // the surface water up at the start of each of its sub-steps and hands back
  // its direct runoff, which replaces the storage; with silting-up
  // ("DirectRunoffSiltingUp") the water stays on the surface until the
  // silting-up takes it at the next step.
  for (bool silting : {false, true}) {
    if (silting) Add("DirectRunoffSiltingUp", 0);
    for (const char* method : {"1", "6"}) {
      SCOPED_TRACE(std::string(method) + (silting ? " with silting-up" : ""));
      ASSERT_EQ(Make(Section(method, "1", "60"), true, 2), 0) << console.str();
      for (int step = 1; step <= 2; ++step) {
        Rain(9);
        for (int sub = 1; sub <= 2; ++sub) {
          for (int r = 1; r <= nrows; ++r)
            for (int c = 1; c <= ncols; ++c)
              if (Own(r, c)) direct[r][c] = 2;
          model->run(step, 6, 7, 2001);
          const double expected = silting ? 2.0 * sub : 2.0;
          for (int r = 1; r <= nrows; ++r)
            for (int c = 1; c <= ncols; ++c)
              if (Own(r, c)) {
                ASSERT_NEAR(storage[r][c], expected, 1e-9) << "step " << step << " sub-step " << sub;
              }
        }
      }
    }
  }
  // A substance of the kept water mixes with that of the new runoff.
  Grid conc = Add("_CONC_QD_1_", 0);
  Add("_CONC_QI_1_", 0);
  ASSERT_EQ(Make(Section("1", "1", "60"), false, 2), 0) << console.str();
  TracerRecord tracers[2];
  int error = -1;
  model->InitTracerGrids(&error, 1, tracers, nullptr, 0);
  ASSERT_EQ(error, 0);
  Grid stored = ModelGrid("concstor_tracer_1_SiltingUpModel");
  Rain(9);
  for (int sub = 1; sub <= 2; ++sub) {
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) {
          direct[r][c] = 2;
          conc[r][c] = sub == 1 ? 3 : 5;
        }
    model->run(1, 6, 7, 2001);
  }
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (Own(r, c)) {
        ASSERT_NEAR(stored[r][c], (2 * 3 + 2 * 5) / 4.0, 1e-12) << r << " " << c;
      }

  // Flowing to the river, the kept water and the new runoff make what is on
  // the land and what reached the river.
  TiltedPlane();
  ASSERT_EQ(Make(Section("1", "1", "60"), true, 2), 0) << console.str();
  Rain(10);
  for (int sub = 1; sub <= 2; ++sub) {
    double in[2] = {0, 0};  // kept, new
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) {
          in[0] += sub > 1 ? storage[r][c] : 0.0;
          in[1] += direct[r][c] = 1.0 + 0.1 * c;
        }
    MPI_Allreduce(MPI_IN_PLACE, in, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    model->run(1, 6, 7, 2001);
    double out = 0;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) out += depth[r][c] > 0 ? direct[r][c] : storage[r][c];
    MPI_Allreduce(MPI_IN_PLACE, &out, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (sub > 1) {
      EXPECT_GT(in[0], 0);
    }
    EXPECT_NEAR(out, in[0] + in[1], 1e-9 * out) << sub;
  }
}

TEST_F(SurfaceFlowTest, SideSharesLeanWithTheAspect) {
  // Flat land: every neighbour takes water. An aspect of 100 degrees lies
  // between east (direction 3, 90 degrees) and south-east (4, 135): the main
  // share goes east, the larger side share south-east; 80 degrees leans to
  // north-east (2).
  const int r = 6, c = 5;
  const double rad = std::acos(-1.0) / 180;
  for (const char* method : {"1", "3"}) {
    SCOPED_TRACE(method);
    ASSERT_EQ(Make(Section(method, "1", "60")), 0) << console.str();
    if (!Own(r, c)) continue;
    Stack W = ModelStack("SurfaceRoutingWeights");
    for (double aspect : {100.0, 80.0}) {
      int kind = 2;
      model->FlowDirections(r, c, kind, 0, 1.0, aspect);
      const double d = (aspect - 90) * rad, e = 45 * rad - std::fabs(d);
      const double main = std::cos(d), larger = std::cos(e) * std::cos(d), smaller = std::sin(e) * std::cos(d);
      const double sum = main + larger + smaller;
      const int toward = aspect > 90 ? 4 : 2, away = aspect > 90 ? 2 : 4;
      EXPECT_NEAR(W[r][c][3], main / sum, 1e-5) << aspect;
      EXPECT_NEAR(W[r][c][toward], larger / sum, 1e-5) << aspect;
      EXPECT_NEAR(W[r][c][away], smaller / sum, 1e-5) << aspect;
    }
  }
}

TEST_F(SurfaceFlowTest, DirectionsFollowTheTerrainOfEachStep) {
  // Methods 1 and 2 keep their directions from step to step; when a step
  // finds the terrain changed (the plane turned to a river in column 1) the
  // weights are those of the new terrain, as HeadGradients and
  // FlowDirections give them, also on the cells that were river cells.
  for (const char* method : {"1", "2"}) {
    SCOPED_TRACE(method);
    TiltedPlane();
    ASSERT_EQ(Make(Section(method, "1", "60")), 0) << console.str();
    Rain(5);
    SubStep(1);
    SubStep(2);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        dem[r][c] = 500 + 1.0 * c + 0.1 * r;
        depth[r][c] = width[r][c] = c == 1 ? 1.0 : 0.0;
      }
    SubStep(3);
    Stack W = ModelStack("SurfaceRoutingWeights");
    Stack V = ModelStack("SurfaceRoutingVelocity");
    int checked = 0;
    for (int r = args.firstRow; r <= args.lastRow; ++r)
      for (int c = 2; c <= ncols; ++c) {
        if (!Own(r, c)) continue;
        const std::vector<double> stored(W[r][c] + 1, W[r][c] + 9);
        EXPECT_EQ(V[r][c][0], 7) << r << " " << c;  // west, down the plane
        double slope = 0, aspect = 0;
        int kind = 0;
        model->HeadGradients(r, c, slope, aspect, kind);
        model->FlowDirections(r, c, kind, 0, slope, aspect);
        EXPECT_EQ(stored, std::vector<double>(W[r][c] + 1, W[r][c] + 9)) << r << " " << c;
        ++checked;
      }
    EXPECT_GT(checked, 0);
  }
}

TEST_F(SurfaceFlowTest, TheSurfaceStorageStatisticNamesTheFirstValueThatIsNoNumber) {
  // Two cells hold no number, the first in the order of the rows in
  // subbasin 2 (column 8), the second in subbasin 1: the statistic of the
  // surface storage names the first, on one thread and on eight (the
  // subbasins share the threads), and counts both.
  TiltedPlane();
  for (int threads : {1, 8}) {
    SCOPED_TRACE(threads);
    omp_set_num_threads(threads);
    console.str("");
    ASSERT_EQ(Make(Section("1", "1", "60", "0\nsurfacestorage.stat 2001\n")), 0) << console.str();
    Rain(5);
    storage[1][8] = storage[2][2] = std::nan("");
    SubStep(1);
    model->RouteToOutlets(1, 1, 6, 2001);
    EXPECT_TRUE(Said(" (not a number) of zone 2 at row 1, column 8 on 1.6.2001 1 h")) << console.str();
    EXPECT_TRUE(Said("(2 such values in the step)")) << console.str();
  }
  omp_set_num_threads(2);
}

TEST_F(SurfaceFlowTest, TracersTravelWithTheWater) {
  TiltedPlane();
  Grid conc = Add("_CONC_QD_1_", 0);
  Add("_CONC_QI_1_", 0);
  landuse[3][2] = 7;  // no such land-use entry
  // (Method 6 moves water levels by diffusion, also between land cells.)
  for (const char* method : {"1", "2", "6"}) {
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
  const std::string kst = "SR_K_ST = 25; ";
  Landuse(landusetable[1], diag, "1 other", kst);
  Landuse(landusetable[2], diag, "2 tilled",
          kst +
              "SR_cultivation = conserving; SR_rough_coeff1 = 0.02 0.7 0.15; SR_rough_coeff2 = 0.05 0.5 0.3; "
              "SR_ResidCovrg = 0.3 0.3;");
  Landuse(landusetable[3], diag, "3 thin", kst + "SR_cultivation = nonconserving; SR_StemDiameter = 0.0005 0.0005;");
  Landuse(landusetable[4], diag, "4 thick", kst + "SR_cultivation = nonconserving; SR_StemDiameter = 0.005 0.005;");
  args.landuseTable = landusetable.get();
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) landuse[r][c] = 1 + (c - 1) % 4;
  const int r0 = 6, c0 = 5;  // land use 1
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) dem[r][c] = 500 + 0.1 * (ncols - c);  // slope 0.01 towards the east

  for (int method : {1, 2, 5}) {
    SCOPED_TRACE(method);
    ASSERT_EQ(Make(Section(std::to_string(method), "1", "60")), 0) << console.str();
    model->run(1, 1, 6, 2001);  // dry sub-step: sets the cells up
    // The model without the wake-length iteration (its limit 0), made and
    // run on every instance (its step exchanges borders).
    auto withoutWake = [&]() {
      std::string noWake = Section(std::to_string(method), "1", "60");
      const std::string limits = "0.001\n10\n0.001\n10\n";
      noWake.replace(noWake.find(limits), limits.size(), "0.001\n0\n0.001\n10\n");
      ASSERT_EQ(Make(noWake), 0) << console.str();
      model->run(1, 1, 6, 2001);
    };
    if (!Own(r0, c0)) {
      if (method != 5) withoutWake();
      continue;
    }
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
      // v = 10 sqrt(I) h^0.66667; the drop includes the water depth.
      const double I5 = (0.1 + 0.02) / L;
      EXPECT_NEAR(V[r0][c0][3], 10 * std::sqrt(I5) * std::pow(0.02, 0.66667), 1e-12);
      EXPECT_NEAR(F[r0][c0][3], V[r0][c0][3] * L * 0.02, 1e-12);
      // The east neighbour's water stands above the cell's bottom (0.1 m
      // lower, 0.15 m deep) and below its surface (0.2 m): the gradient
      // spans both neighbours, from the dry west one 0.1 m higher, to 0.05 m
      // above the bottom over 2 L: I = 0.0025, not the drop 0.15 / L.
      h[r0][c0 + 1] = 0.15;
      cell(0.2);
      EXPECT_NEAR(V[r0][c0][3], 10 * std::sqrt(0.0025) * std::pow(0.2, 0.66667), 1e-12);
      h[r0][c0 + 1] = 0;
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) dem[r][c] = 500 + 100.0 * (ncols - c);
      // No speed limit from the bounds of the sub time step (L / 20 s here).
      cell(0.5);
      EXPECT_NEAR(V[r0][c0][3], 10 * std::sqrt(100.5 / L) * std::pow(0.5, 0.66667), 1e-12);
      continue;
    }
    // Manning-Strickler at the cell's depth, v = K_ST h^0.66667 sqrt(I), and the discharge L v h (shared by method 1).
    const double v = 25 * std::pow(0.02, 0.66667) * std::sqrt(I);
    EXPECT_NEAR(V[r0][c0][3], v, 1e-12);
    EXPECT_NEAR(F[r0][c0][2] + F[r0][c0][3] + F[r0][c0][4], L * v * 0.02, 1e-12);
    EXPECT_EQ(F[r0][c0][0], F[r0][c0][3]);
    // Dry again: nothing of the wet sub-step's velocities and fluxes is left.
    cell(0);
    for (int k = 0; k <= 8; ++k) EXPECT_EQ(F[r0][c0][k], 0) << k;
    for (int k = 1; k <= 8; ++k) EXPECT_EQ(V[r0][c0][k], 0) << k;

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
    // By hand (0.005 m stems 0.3 m apart, v 0.1 m/s, h 0.05 m, sqrt(I)
    // 0.1): Re_d 500, C_d 1.0807, s = v^2 / C_d / 25; the wake length
    // after ten passes 0.4026 m, its width 0.0165 m; y 0.2361 (u 0.7639),
    // F 98.16; c_WR 76.43, lambda 0.8492, M 13.3818. Without the wake-length iteration (its
    // limit 0) a_NL stays 0.25 m and u is 0.4: M 16.3503.
    const double stems = model->CropFrictionFactor(0.1, 0.05, 0.5, 0.1, r0, c0 + 3, 4, 2);
    EXPECT_NEAR(stems, 13.381833065526262, 1e-9 * 13.38);
    EXPECT_EQ(model->CropFrictionFactor(0.1, 0.005, 0.5, 0.1, r0, c0 + 3, 4, 2), 25);
    withoutWake();
    EXPECT_NEAR(model->CropFrictionFactor(0.1, 0.05, 0.5, 0.1, r0, c0 + 3, 4, 2), 16.350345717015426, 1e-9 * 16.35);
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

TEST_F(SurfaceFlowTest, LevelDiffusionAlikeWhereInstancesMeetWithinARow) {
  if (fluvextest::MpiSize() == 1) GTEST_SKIP() << "compares the instances' run with one instance's: under MPI only";
  // Method 6 on one thread with the instances' cells split within rows, so
  // that an instance sends cells of its first two rows (and its last two)
  // between the colours of a sweep: the surface storages equal those of
  // one instance bit for bit.
  TiltedPlane();
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) dem[r][c] += 0.3 * std::sin(r * 1.3 + c * 0.7);
  omp_set_num_threads(1);
  auto storages = [&]() {
    EXPECT_EQ(Make(Section("6", "1", "60")), 0) << console.str();
    Rain(7);
    for (int step = 1; step <= 3; ++step) SubStep(step);
    std::vector<double> values(static_cast<size_t>(nrows) * ncols, 0.0);
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (Own(r, c)) values[(r - 1) * ncols + c - 1] = storage[r][c];
    // Every cell is held by one instance, the others add 0.
    MPI_Allreduce(MPI_IN_PLACE, values.data(), static_cast<int>(values.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    return values;
  };
  Decompose(true);
  const std::vector<double> one = storages();
  Decompose(false, 5);
  EXPECT_EQ(storages(), one);
  Decompose(false);
  omp_set_num_threads(2);
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
      // Then this instance's sums of the sub-steps' runoff per subbasin and
      // flow-time zone (sums in the order of the cells) and the sweeps of
      // the level iteration.
      for (int s = 1; s <= 2; ++s)
        for (int z = 0; z <= static_cast<int>(model->GetMaxZone(s)); ++z)
          for (const ZoneRecord* q : {model->DirectQueue(0, s), model->InterflowQueue(0, s)}) {
            values.push_back(q[z].n);
            values.push_back(q[z].sx);
            values.push_back(q[z].RelCellSum);
          }
      values.push_back(model->GetLastSweeps());
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
