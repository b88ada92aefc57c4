// The set-up object creates the land-use parameter grids in its step 14 from
// the land-use grid, the time loop's daily calls advance them, and its
// release writes the start times of the multiple-start phenology as
// "MultipleStartTimes1_End" - the same file on every number of instances.
#include <gtest/gtest.h>
#include <mpi.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "application/defltuzr.h"
#include "framework/diagstream.h"
#include "tests/support/testutil.h"

namespace {

class LanduseSetup : public defaultini {
 public:
  using defaultini::defaultini;
};

// Zone cells; the land-use grid has no value where the zone grid has none.
const std::vector<std::string> kZones = {"..1111111111", ".11111111111", "111.11111111", "1111111.1111",
                                         "11111111111.", "11.1111111..", "111111111..."};
// Land-use table index of each cell (the table codes are 1 and 2); 0: no land use.
const std::vector<std::string> kLanduse = {"..1212121221", ".12121211212", "211012212121", "121212101212",
                                           "21212121211.", "1201121212..", "212212121..."};
constexpr int kCols = 12;

double Elevation(int r, int c) {
  return 400 + 100 * ((r + 2 * c) % 7);
}
// Degrees above the base temperature 5 of each cell, every day.
int Warmth(int r, int c) {
  return 1 + (r * 7 + c * 3) % 6;
}

std::string AsciiGrid(const std::function<double(int, int)>& value) {
  std::ostringstream s;
  s << "ncols " << kCols << "\nnrows 7\nxllcorner 0\nyllcorner 0\ncellsize 100\nnodata_value -9999\n";
  for (int r = 1; r <= 7; ++r) {
    for (int c = 1; c <= kCols; ++c) s << (kZones[r - 1][c - 1] == '.' ? -9999.0 : value(r, c)) << " ";
    s << "\n";
  }
  return s.str();
}

const char* const kControl = R"([output_interval]
24
0
0
0         min_to_int_end: the hour stamp marks the end of the step
WriteAsciiGrids = 1
DefaultOutputDirectory = out/

[output_list]
0
[coordinates]
47.5
8.5
15
0
[meteo_data_count]
0
[meteo_names]

[model_time]
24
1
3
2001
24
30
6
2001

[zone_grid]
zones.asc
[elevation_model]
dem.asc
[standard_grids]
2
dem.asc elevation fillcode = 0 readcode = 1
landuse.asc landuse fillcode = 0 readcode = 1
[variable_grids]
1
albedo.asc albedo 0 0.2
0
0

[landuse_table]
2
1 crop method = DynamicPhenology_3 {
  RootDist = 1; TReduWet = 0.9; HReduDry = 3.45;
  JulDays = 1 90 150 366; ForcingThreshold = -1 150 400 -1; AltDep = 0.02 0 0 0;
  DP1_t1_dorm = 1; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 150;
  LAI = 1 2 4 3; Albedo = 0.2 0.2 0.2 0.2; rsc = 50 50 50 50; Z0 = 0.1 0.1 0.1 0.1; VCF = 1 1 1 1;
  RootDepth = 0.5 0.5 0.5 0.5;
}
2 grass method = VariableDayCount {
  RootDist = 1; TReduWet = 0.9; HReduDry = 3.45;
  JulDays = 20 100 180 260 340; AltDep = 0 0.01 0.01 0.01 0;
  LAI = 1 2 3 4 5; Albedo = 0.2 0.2 0.2 0.2 0.2; rsc = 50 50 50 50 50; Z0 = 0.1 0.1 0.1 0.1 0.1;
  VCF = 1 1 1 1 1; RootDepth = 0.5 0.5 0.5 0.5 0.5;
}
[soil_table]
0

[region_transition_distance]
0
[substance_transport]
0
[radiation_correction]
0
60
[irrigation]
0
60
)";

// Start days of a DynamicPhenology_3 cell from 1 March (day 60) to 30 June
// with a degree days a day: fixpoint 2 (threshold 150) on the day the sum
// a (d - 59) reaches 150, day 90 at the latest; fixpoint 3 (threshold 400)
// likewise after it, day 150 at the latest.
std::vector<double> ExpectedStarts(int r, int c) {
  const double a = Warmth(r, c);
  const double shift = std::trunc(0.02 * (Elevation(r, c) - 400.0));
  const double s2 = std::min(90.0, 59 + std::ceil(150 / a));
  const double s3 = std::min(150.0, std::max(s2 + 1, 59 + std::ceil(400 / a)));
  return {400, 1 + shift, s2, s3, 366, -9999};
}

std::vector<double> ExpectedLevels(int r, int c) {
  const char z = kZones[r - 1][c - 1];
  const char u = kLanduse[r - 1][c - 1];
  if (z == '.' || u == '0') return {0, -9999, -9999, -9999, -9999, -9999};
  if (u == '1') return ExpectedStarts(r, c);
  // VariableDayCount: the fixpoint days shifted by altitude, never changed.
  const double shift = std::trunc(0.01 * (Elevation(r, c) - 400.0));
  return {0, 20, 100 + shift, 180 + shift, 260 + shift, 340};
}

}  // namespace

TEST(LanduseSetup, StepFourteenDailyUpdatesAndTheEndStack) {
  const int rank = fluvextest::MpiRank();
  const std::string shared = fluvextest::TempDirPath("landuse_setup", 0);
  std::unique_ptr<fluvextest::TempDir> dir;
  if (rank == 0) {
    dir = std::make_unique<fluvextest::TempDir>("landuse_setup");
    fluvextest::WriteFile(dir->path() + "/control.txt", kControl);
    fluvextest::WriteFile(dir->path() + "/zones.asc", AsciiGrid([](int, int) { return 1.0; }));
    fluvextest::WriteFile(dir->path() + "/dem.asc", AsciiGrid(Elevation));
    fluvextest::WriteFile(dir->path() + "/landuse.asc", AsciiGrid([](int r, int c) {
                            const char u = kLanduse[r - 1][c - 1];
                            return u == '0' ? -9999.0 : u - '0';
                          }));
    fluvextest::WriteFile(dir->path() + "/MpiSpeedFactor.dat", "1");
    std::filesystem::create_directories(dir->path() + "/out");
  }
  MPI_Barrier(MPI_COMM_WORLD);
  const std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(shared);
  {
    std::ostringstream console;
    DiagStream diag("diag_" + std::to_string(fluvextest::MpiSize()) + ".xml", 4, &console);
    std::vector<GridListEntry> list(kGridListSize);
    int error = 0;
    LanduseSetup setup(error, &diag, "control.txt", nullptr, 0, 2, list.data());
    ASSERT_EQ(error, 0);
    bool done = false;
    try {
      while (!done) setup.InitStep(done);
    } catch (int code) {
      std::filesystem::current_path(home);
      FAIL() << "set-up step " << setup.GetStep() << " failed with " << code << ":\n" << console.str();
    }
    landuseparametergrids* grids = setup.LanduseParameterGrids();
    ASSERT_NE(grids, nullptr);
    ASSERT_TRUE(grids->HasMultipleStarts());
    EXPECT_EQ(grids->MaxFixpointCount(), 5);

    // Border cells of the neighbours hold their values after the set-up.
    Grid root = grids->LayerGrid(landuseparametergrids::kRootDepth, 1);
    int borderCells = 0;
    for (const HaloEntry& h : setup.HaloReceive())
      for (int c = h.firstColumn; c < h.firstColumn + h.count; ++c) {
        if (kZones[h.row - 1][c - 1] == '.') continue;
        ++borderCells;
        EXPECT_EQ(root[h.row][c], kLanduse[h.row - 1][c - 1] == '0' ? -9999.0 : 0.5) << h.row << "," << c;
      }
    if (fluvextest::MpiSize() > 1) {
      EXPECT_GT(borderCells, 0);
    }

    // Temperature: 5 + a degrees, a day at a time.
    const int r0 = setup.FirstRowHalo(), r1 = setup.LastRowHalo();
    Grid temperature = setup.matrix(r0, r1, 1, kCols, 7);
    for (int r = r0; r <= r1; ++r)
      for (int c = 1; c <= kCols; ++c) temperature[r][c] = 5.0 + Warmth(r, c);
    int p = 1;
    while (list[p].registered || !list[p].filename.empty()) ++p;
    setup.RegisterGrid(p, "temperature", temperature, nullptr, 0, "temperature", 0, r0, r1);
    for (int month = 3; month <= 6; ++month)
      for (int day = 1; day <= DaysInMonth(2001, month); ++day)
        setup.UpdateActualParameters(24, day, month, 2001, 1440);

    // The own cells of the VariableDayCount type: leaf area of 30 June (day 181).
    Grid lai = grids->LayerGrid(landuseparametergrids::kLeafAreaIndex, 1);
    Grid regions = setup.GetMPIRegions();
    int own = 0;
    for (int r = setup.FirstRow(); r <= setup.LastRow(); ++r)
      for (int c = 1; c <= kCols; ++c) {
        if (regions[r][c] != rank) continue;
        ++own;
        const char u = kLanduse[r - 1][c - 1];
        const double shift = std::trunc(0.01 * (Elevation(r, c) - 400.0));
        if (u == '2') {
          EXPECT_NEAR(lai[r][c], 3 + (181 - 180 - shift) / 80.0, 1e-12) << r << "," << c;
        }
        if (u == '1') {
          const double s3 = ExpectedStarts(r, c)[3];
          EXPECT_NEAR(lai[r][c], 4 - (181 - s3) / (366 - s3), 1e-12) << r << "," << c;
        }
        if (u == '0') {
          EXPECT_EQ(lai[r][c], -9999.0);
        }
      }
    EXPECT_GT(own, 0);
    setup.UnregisterGrid(p);
    setup.FreeMatrix(temperature, r0, r1, 1, kCols);
    setup.FreeMemory();
  }
  MPI_Barrier(MPI_COMM_WORLD);
  std::filesystem::current_path(home);
  if (rank == 0) {
    std::istringstream file(fluvextest::ReadFile(shared + "/out/MultipleStartTimes1_End"));
    std::string label;
    double header[12];
    for (double& h : header) file >> label >> h;
    EXPECT_EQ(header[0], kCols);
    EXPECT_EQ(header[1], 7);
    EXPECT_EQ(header[11], 5);
    for (int r = 1; r <= 7; ++r)
      for (int c = 1; c <= kCols; ++c) {
        std::vector<double> levels(6);
        for (double& v : levels) file >> v;
        EXPECT_EQ(levels, ExpectedLevels(r, c)) << "cell " << r << "," << c;
      }
    EXPECT_TRUE(file.good());
    double extra = 0;
    EXPECT_FALSE(file >> extra);
  }
  MPI_Barrier(MPI_COMM_WORLD);
}
