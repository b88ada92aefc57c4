// The surface routing: its section with the sub-time-step bounds, the grids
// it registers, the plan curvature, the zones and linear storages at the
// outlets, the state in the storage content file, and the independence of
// the results from the number of instances.
#include <mpi.h>

#include <cmath>

#include "tests/surface/surfrout_world.h"

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
  EXPECT_EQ(Make(Section("1", "10", "-5")), 17);
  EXPECT_EQ(Make(Section("1", "100", "50")), 17);
  EXPECT_TRUE(Said("the minimum must not exceed the maximum"));
  EXPECT_EQ(Make(Section("1", "7", "1000", "x\n")), 17);
  EXPECT_TRUE(Said("read control parameter for storage grids for ; SurfaceRoutingModelnot found!"));
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
  const int velocity = model->GetPosition("SurfaceRoutingVelocity");
  model->ReleaseMemory(false);
  EXPECT_FALSE(list[velocity].registered);
  EXPECT_TRUE(list[model->GetPosition("Plancurvature")].registered);
  model.reset();

  Add("GlacierCodes", 0);
  EXPECT_EQ(Make(Section()), 2);
  EXPECT_TRUE(Said("Surface routing module cannot be used when glacier model is active."));
  model.reset();
  list[model ? 0 : 19].shortname = "no glacier";
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
      z.sx += 6;
      z.n += 2;
      z.RelCellSum += 2;
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

  ASSERT_EQ(Make(Section()), 0);
  model->ReadStorageFile("state.ftz", 0);
  Steps(1, N);
  model->ReleaseMemory(false);
  MPI_Barrier(MPI_COMM_WORLD);
  ASSERT_EQ(Make(Section()), 0);
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
    ASSERT_EQ(Make(Section()), 0);
    int code = 0;
    try {
      model->ReadStorageFile("bad.ftz", 1);
    } catch (int c) {
      code = c;
    }
    EXPECT_EQ(code, 71);
    EXPECT_TRUE(Said(std::string("error in storage file content reading number of ") +
                     (label[0] == 't' ? "tracers" : "subbasins") + ":\nvalue in actual control is:   "));
    MPI_Barrier(MPI_COMM_WORLD);
  }
  // A read parameter of 2 leaves the start cold but keeps the name for the end.
  ASSERT_EQ(Make(Section()), 0);
  model->ReadStorageFile("bad.ftz", 2);
  EXPECT_EQ(model->GetStorageFileName(), "bad.ftz");
}

TEST_F(SurfaceRoutingTest, SameResultsOnEveryNumberOfInstances) {
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

}  // namespace
