// Subbasin runoff of the unsaturated zone: the linear storages, the flow-time
// zones, the state file section and the external groundwater table.
#include <algorithm>
#include <cmath>
#include <functional>

#include "tests/framework/codeof.h"
#include "tests/soil/uzworld.h"

namespace {

using uztest::kCols;
using uztest::kLayers;
using uztest::kRows;
using uztest::Section;
using Field = std::function<double(int, int)>;

class Route : public uztest::World {
 protected:
  void Fill(const std::string& name, const Field& f) {
    for (auto& e : list)
      if (e.shortname == name)
        for (int r = 1; r <= kRows; ++r)
          for (int c = 1; c <= kCols; ++c) e.grid[r][c] = f(r, c);
  }
  // One subbasin (code 1) of all eight cells; kelsqd and kelsqi in hours.
  Section OneSubbasin(const std::string& kd, const std::string& ki) {
    Fill("zonegrid_soilmodel", [](int, int) { return 1.0; });
    Section s;
    s.codes = "1";
    s.parameters = {kd, ki, "0.1", "4", "0", "0"};  // no baseflow
    return s;
  }
  int Start(const Section& s) {
    const int made = Make(s);
    if (made != 0) return made;
    int error = 0;
    const int code = InDir([&] { uz->InitTracerGrids(&error, 0, nullptr, nullptr, 0); });
    return code != 0 ? code : error;
  }
  int InDir(const std::function<void()>& f) {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(dir.path().c_str()) != 0) return -1;
    const int code = CodeOf(f);
    if (chdir(cwd) != 0) return -1;
    return code;
  }
  // One routed step k with the given cell runoff (mm per step).
  void Step(
      int k, const Field& direct, const Field& inter = [](int, int) { return 0.0; }) {
    ASSERT_EQ(InDir([&] {
                const int64_t hour = k % 24 + 1, day = k / 24 + 1;
                uz->StartStep(hour, day, 7, 2020);
                for (int r = 1; r <= kRows; ++r)
                  for (int c = 1; c <= kCols; ++c) {
                    uz->Direct()[r][c] = direct(r, c);
                    uz->Inter()[r][c] = inter(r, c);
                  }
                uz->AddStep();
                uz->RouteSubbasinRunoff(hour, day, 7, 2020);
              }),
              0)
        << console.str();
  }
};

TEST_F(Route, LinearStoragesRecedeExactlyAndAddUpToTheSubbasinRunoff) {
  ASSERT_EQ(Start(OneSubbasin("2", "1")), 0) << console.str();
  // k = 120 min and 60 min, steps of 60 min: outflow 1 - exp(-t / k) of a constant input.
  for (int k = 1; k <= 5; ++k) {
    Step(
        k, [](int, int) { return 1.0; }, [](int, int) { return 2.0; });
    const double expectD = 1 - std::exp(-0.5 * k);
    EXPECT_NEAR(uz->StorageQD(1), expectD, 1e-12 * expectD) << k;
    const double expectI = 2.0 * (1 - std::exp(-1.0 * k));
    EXPECT_NEAR(uz->StorageQI(1), expectI, 1e-12 * expectI) << k;
    EXPECT_DOUBLE_EQ(uz->RunoffQg(1), uz->StorageQD(1) + uz->StorageQI(1));
  }
  // The storages and the returned arrays are one flat layout: index t * (S + 1) + s.
  EXPECT_EQ(uz->GetQg()[1], uz->RunoffQg(1));
}

TEST_F(Route, ACellRunoffThatIsNoNumberReachesTheSubbasinRunoffAsNoNumber) {
  // A value that is no number in one cell is no missing value: the subbasin's
  // runoff shows it (and the statistics report it) instead of a plausible 0.
  ASSERT_EQ(Start(OneSubbasin("0", "0")), 0) << console.str();
  Step(1, [](int r, int c) { return r == 1 && c == 2 ? std::nan("") : 1.0; });
  EXPECT_TRUE(std::isnan(uz->StorageQD(1))) << uz->StorageQD(1);
  EXPECT_TRUE(std::isnan(uz->RunoffQg(1))) << uz->RunoffQg(1);
  // The baseflow of the cells: missing (-9999) counts as none, no number stays one.
  for (const double spoilt : {-9999.0, std::nan("")}) {
    ASSERT_EQ(Start(OneSubbasin("0", "0")), 0) << console.str();
    ASSERT_EQ(InDir([&] {
                uz->StartStep(1, 1, 7, 2020);
                for (int r = 1; r <= kRows; ++r)
                  for (int c = 1; c <= kCols; ++c) {
                    uz->Direct()[r][c] = uz->Inter()[r][c] = 0.0;
                    uz->Base()[r][c] = r == 2 && c == 3 ? spoilt : 0.8;
                  }
                uz->AddStep();
                uz->RouteSubbasinRunoff(1, 1, 7, 2020);
              }),
              0);
    if (std::isnan(spoilt)) {
      EXPECT_TRUE(std::isnan(uz->RunoffQg(1))) << uz->RunoffQg(1);
    } else {
      // 7 cells of 0.8 mm and one without: 5.6 mm over the 8 cells.
      EXPECT_NEAR(uz->RunoffQg(1), 0.7, 1e-12);
    }
  }
}

TEST_F(Route, APulseLeavesItsZoneStepsLaterAndTheBasinKeepsItsWater) {
  // Flow times in s: columns 1 ... 4 need 0.5, 1.5, 2.5 and 3.5 steps of 60 min (zones 1 ... 4).
  Add("flow_times", [](int, int c) { return (c - 0.5) * 3600.0; });
  ASSERT_EQ(Start(OneSubbasin("0", "0")), 0) << console.str();
  ASSERT_EQ(uz->Zones(1), 4);
  // Cells of zone 4 (column 4) give 8 mm in step 1, column 2 (zone 2) 4 mm in step 2.
  double routed = 0;
  for (int k = 1; k <= 8; ++k) {
    Step(k, [k](int, int c) { return (k == 1 && c == 4) ? 8.0 : (k == 2 && c == 2) ? 4.0 : 0.0; });
    const double qd = uz->StorageQD(1);
    // Without storage (k of 0) the arrival leaves the subbasin in its step:
    // the pulse of zone z is routed z - 1 steps after it fell; both fall in step 3 and 4.
    // The subbasin mean: 2 cells of 8 mm over 8 cells = 2 mm; 2 cells of 4 mm = 1 mm.
    const double expected = k == 3 ? 1.0 : k == 4 ? 2.0 : 0.0;
    EXPECT_NEAR(qd, expected, 1e-9) << k;
    routed += qd * 8;  // times the 8 cells of weight 1
  }
  EXPECT_NEAR(routed, 2 * 8.0 + 2 * 4.0, 1e-9);

  // With a storage of 2 h the subbasin runoff (times the 8 cells) plus the water
  // still stored equals the cells' runoff. A storage with outflow Q at the end
  // of a step still gives Q e / (1 - e) in the steps after, e = exp(-1 / 2).
  Fill("flow_times", [](int, int c) { return (c - 0.5) * 3600.0; });
  ASSERT_EQ(Start(OneSubbasin("2", "0")), 0) << console.str();
  const double e = std::exp(-0.5);
  double runoff = 0;
  for (int k = 1; k <= 8; ++k) {
    Step(k, [k](int, int c) { return (k == 1 && c == 4) ? 8.0 : (k == 2 && c == 2) ? 4.0 : 0.0; });
    runoff += uz->RunoffQg(1) * 8;
    // Everything has reached the storage from step 4 on.
    if (k >= 4) {
      EXPECT_NEAR(runoff + uz->RunoffQg(1) * e / (1 - e) * 8, 24.0, 1e-9) << k;
    }
  }
  EXPECT_GT(runoff, 12.0);
}

TEST_F(Route, FlowTimesThatAreMissingOrLeaveZoneOneEmptyStopTheSetUp) {
  Add("flow_times", [](int r, int c) { return r == 2 && c == 3 ? -5.0 : 0.0; });
  EXPECT_EQ(Start(OneSubbasin("1", "1")), 6);
  EXPECT_TRUE(Said("row 2, column 3")) << console.str();
  Fill("flow_times", [](int, int) { return 7200.0; });
  EXPECT_EQ(Start(OneSubbasin("1", "1")), 61);
  EXPECT_TRUE(Said("the first time zone of subbasin 1 has no cells!"));
}

TEST_F(Route, TwoRunsWithTheStateSectionBetweenThemEqualOneRun) {
  // The set-up turns the flow times into zone numbers in place: each run gets them anew.
  auto times = [](int, int c) { return (c - 0.5) * 3600.0; };
  Add("flow_times", times);
  auto direct = [](int k) { return [k](int r, int c) { return 0.5 * k + r + 0.1 * c * (k % 3); }; };
  ASSERT_EQ(Start(OneSubbasin("3", "5")), 0);
  std::vector<double> once;
  for (int k = 1; k <= 8; ++k) {
    Step(k, direct(k), direct(k + 1));
    once.push_back(uz->RunoffQg(1));
  }
  Fill("flow_times", times);
  ASSERT_EQ(Start(OneSubbasin("3", "5")), 0);
  for (int k = 1; k <= 4; ++k) Step(k, direct(k), direct(k + 1));
  ASSERT_EQ(InDir([&] { uz->WriteState(); }), 0);
  const std::string state = fluvextest::ReadFile((dir / "storage.ftz_0"));
  EXPECT_EQ(state.rfind("[unsatzon_model]\n1 1 (instances and sub-steps per step of the run; the zone records are the "
                        "sums over the instances)\n1 (number of subasins)\n1\t(code)\n180 (kelsqd in min)\n",
                        0),
            0u)
      << state;
  Fill("flow_times", times);
  ASSERT_EQ(Start(OneSubbasin("3", "5")), 0);
  ASSERT_EQ(InDir([&] { uz->ReadState(); }), 0) << console.str();
  for (int k = 5; k <= 8; ++k) {
    Step(k, direct(k), direct(k + 1));
    EXPECT_NEAR(uz->RunoffQg(1), once[k - 1], 1e-6 * once[k - 1]) << k;
  }
  // A changed storage constant of direct flow does not match the state file.
  Fill("flow_times", times);
  ASSERT_EQ(Start(OneSubbasin("4", "5")), 0);
  EXPECT_EQ(InDir([&] { uz->ReadState(); }), 71);
  EXPECT_TRUE(
      Said("error in storage file content reading m:\nvalue in actual control is:   240\nbut value in "
           "storage file is: 180"))
      << console.str();
  // A flow-time grid that changes the number of zones does not match either.
  Fill("flow_times", [](int, int) { return 1800.0; });
  ASSERT_EQ(Start(OneSubbasin("3", "5")), 0);
  EXPECT_EQ(InDir([&] { uz->ReadState(); }), 71);
  EXPECT_TRUE(Said("maxzeit of actual subbasin"));
}

TEST_F(Route, AnExternalTableBooksTheWaterItAddsOrTakes) {
  ASSERT_EQ(Start(OneSubbasin("1", "1")), 0);
  auto water = [&](int r, int c) {
    double w = 0;
    for (int k = 1; k <= kLayers; ++k) w += uz->Theta()[r][c][k] * uztest::kThickness * 1000.0;
    return w;
  };
  // Tables relative to the surface (1000 m): a rise within a layer, across layers, a fall, below the profile, none.
  const double depths[4] = {0.02, 0.35, 0.8, 5.0};
  for (int pass = 0; pass < 2; ++pass) {
    double before[kRows + 1][kCols + 1];
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        before[r][c] = water(r, c);
        const double d = pass == 0 ? depths[c - 1] : depths[(c + 1) % 4];
        uz->External()[r][c] = r == 2 && c == 4 ? -9999.0 : uztest::kElevation - d;
      }
    ASSERT_EQ(InDir([&] { uz->ApplyExternalGWTable(60); }), 0);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        EXPECT_NEAR(water(r, c) - before[r][c], uz->BalanceGrid()[r][c], 1e-9) << pass << r << c;
        if (r == 2 && c == 4) {
          EXPECT_EQ(uz->BalanceGrid()[r][c], 0.0);
        }
      }
    // The table below the profile is clamped to its lowest boundary.
    if (pass == 0) {
      EXPECT_NEAR(uz->GwDistance()[1][4], -kLayers * uztest::kThickness, 1e-12);
    }
  }
}

TEST_F(Route, LakeCellsAreSaturatedAndMethodTwoLowersTheirTerrain) {
  Add("lake_codes", [](int r, int c) { return r == 1 && c == 2 ? 5.0 : -9999.0; });
  Add("max_ponding_storage", [](int, int) { return 0.2; });  // m
  // The control file of the last set-up.
  std::string written;
  auto lakeRun = [&](const std::string& lake, const std::string& pond) {
    Fill("elevation", [](int, int) { return uztest::kElevation; });
    Fill("max_ponding_storage", [](int, int) { return 0.2; });
    Section s = OneSubbasin("1", "1");
    s.pond = pond;
    s.extra = lake;
    written = s.Text();
    return Make(s);
  };
  ASSERT_EQ(lakeRun("[lake_model]\n1\n2\n", "1"), 0) << console.str();
  for (int k = 1; k < kLayers; ++k) EXPECT_EQ(uz->Theta()[1][2][k], uztest::kThetaSat) << k;
  EXPECT_LT(uz->Theta()[1][3][1], uztest::kThetaSat);
  EXPECT_EQ(uz->GwDistance()[1][2], 0.0);
  EXPECT_EQ(uz->GwLevel()[1][2], 1.0);
  Grid dem = list[2].grid;
  EXPECT_NEAR(dem[1][2], uztest::kElevation - 0.2, 1e-12);
  EXPECT_EQ(dem[1][3], uztest::kElevation);
  // Switched off: nothing changes.
  ASSERT_EQ(lakeRun("[lake_model]\n0\n2\n", "1"), 0) << console.str();
  EXPECT_LT(uz->Theta()[1][2][1], uztest::kThetaSat);
  EXPECT_EQ(list[2].grid[1][2], uztest::kElevation);
  // Methods other than 1 and 2, and lakes without ponding, stop the set-up.
  EXPECT_EQ(lakeRun("[lake_model]\n1\n3\n", "1"), 215);
  EXPECT_TRUE(Said("Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN)."));
  // It names the method's line, the third of the section.
  const size_t section = written.find("[lake_model]\n1\n3\n");
  ASSERT_NE(section, std::string::npos);
  const long line = std::count(written.begin(), written.begin() + static_cast<long>(section), '\n') + 3;
  EXPECT_TRUE(Said("(read: 3, control file ")) << console.str();
  EXPECT_TRUE(Said("run.cntrl, line " + std::to_string(line) + ")")) << console.str();
  EXPECT_EQ(lakeRun("[lake_model]\n1\n1\n", "0"), 215);
  EXPECT_TRUE(Said("pond_use must be set in unsatzon_model"));
}

TEST_F(Route, ControlPointFilesGetOneRowPerStep) {
  Section s = OneSubbasin("1", "1");
  s.control = "2 3";
  ASSERT_EQ(Start(s), 0) << console.str();
  for (int k = 1; k <= 5; ++k) Step(k, [](int, int) { return 1.0; });
  // Nothing is written before the flush; a second flush with empty buffers writes nothing.
  const std::string before = fluvextest::ReadFile(dir / "theta.txt");
  ASSERT_EQ(InDir([&] { uz->WriteStatFiles(); }), 0);
  ASSERT_EQ(InDir([&] { uz->WriteStatFiles(); }), 0);
  const std::string theta = fluvextest::ReadFile(dir / "theta.txt");
  EXPECT_EQ(fluvextest::CountOf(theta, "\n") - fluvextest::CountOf(before, "\n"), 5);
  std::istringstream rows(theta.substr(before.size()));
  std::string line;
  std::getline(rows, line);
  std::istringstream values(line);
  double v, columns = 0, first = 0;
  while (values >> v) {
    if (++columns == 5) first = v;
  }
  EXPECT_EQ(columns, 4 + kLayers);
  EXPECT_NEAR(first, uz->Theta()[2][3][1], 1e-5);
  const std::string other = fluvextest::ReadFile(dir / "other.txt");
  EXPECT_EQ(fluvextest::CountOf(other, "\n"), 1 + 5);
}

}  // namespace
