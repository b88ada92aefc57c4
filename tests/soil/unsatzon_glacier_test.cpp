// The glacier runoff that the snow model hands to the unsaturated zone's
// subbasin runoff: added where the subbasin keeps glacier, never piled up
// where nothing writes it, following the glacier cells after the yearly
// update; and the soil water that a changed glacier share covers or leaves.
#include <unistd.h>

#include <functional>

#include "tests/framework/codeof.h"
#include "tests/soil/uzworld.h"

namespace {

using uztest::kCols;
using uztest::kLayers;
using uztest::kRows;
using uztest::Section;
using Field = std::function<double(int, int)>;

// Reads protected state of the module under test.
struct Peek : uztest::UZ {
  static const GlacierRecord& Record(const uztest::UZ& u, int s) { return (u.*(&Peek::glacier_records))[s]; }
  static double Resized(const uztest::UZ& u, int r, int c) {
    return (u.*(&Peek::glacier_immo))[static_cast<size_t>(r - 1) * (kCols + 1) + c];
  }
};

class GlacierRunoff : public uztest::World {
 protected:
  void Fill(const std::string& name, const Field& f) {
    for (auto& e : list)
      if (e.shortname == name)
        for (int r = 1; r <= kRows; ++r)
          for (int c = 1; c <= kCols; ++c) e.grid[r][c] = f(r, c);
  }
  // Subbasin 1 is row 1, subbasin 2 row 2; no storage, no baseflow: the
  // runoff of the cells leaves in their step.
  int Start() {
    Fill("zonegrid_soilmodel", [](int r, int) { return static_cast<double>(r); });
    Section s;
    s.codes = "1 2";
    s.parameters = {"0 0", "0 0", "0.1 0.1", "4 4", "0 0", "0 0"};
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
  // One step k: the snow model's glacier runoff of the two subbasins, when
  // given, then 1 mm of direct flow from every cell (over its share without
  // glacier: the subbasin's mean is the sum of those shares over 4 cells).
  void Step(int k, const double* glacier = nullptr) {
    if (glacier)
      for (int s = 1; s <= 2; ++s) uz->GetQg()[s] = glacier[s - 1];
    ASSERT_EQ(InDir([&] {
                uz->StartStep(k, 1, 1, 2020);
                for (int r = 1; r <= kRows; ++r)
                  for (int c = 1; c <= kCols; ++c) {
                    uz->Direct()[r][c] = 1.0;
                    uz->Inter()[r][c] = 0.0;
                  }
                uz->AddStep();
                uz->RouteSubbasinRunoff(k, 1, 1, 2020);
              }),
              0)
        << console.str();
  }
};

TEST_F(GlacierRunoff, WithoutTheSnowModelGlacierSubbasinsDoNotPileUpTheirRunoff) {
  // A static glacier cell in subbasin 1; no snow model hands glacier runoff over.
  Add("ice_firn", [](int r, int c) { return r == 1 && c == 1 ? 1.0 : 0.0; });
  ASSERT_EQ(Start(), 0) << console.str();
  for (int k = 1; k <= 3; ++k) {
    Step(k);
    EXPECT_DOUBLE_EQ(uz->RunoffQg(1), 0.75) << k;
    EXPECT_DOUBLE_EQ(uz->RunoffQg(2), 1.0) << k;
    EXPECT_EQ(uz->GetGlacierRunoff()[1], 0.0);
  }
}

TEST_F(GlacierRunoff, TheSnowModelsRunoffIsAddedWhereTheSubbasinKeepsGlacier) {
  Add("ice_firn", [](int r, int c) { return r == 1 && c == 1 ? 2.0 : 0.0; });
  Add("melt_from_ice", [](int, int) { return 0.0; });
  ASSERT_EQ(Start(), 0) << console.str();
  const double glacier[2] = {0.7, 0.0};
  for (int k = 1; k <= 3; ++k) {
    Step(k, glacier);
    EXPECT_DOUBLE_EQ(uz->RunoffQg(1), 0.7 + 0.75) << k;
    EXPECT_DOUBLE_EQ(uz->RunoffQg(2), 1.0) << k;
    EXPECT_DOUBLE_EQ(uz->GetGlacierRunoff()[1], 0.7);
    EXPECT_EQ(uz->GetGlacierRunoff()[2], 0.0);
  }
}

TEST_F(GlacierRunoff, TheGlacierRecordsAndTheCoveredSoilWaterFollowTheYearlyUpdate) {
  Grid g = Add("GlacierizedCells", [](int r, int c) { return r == 1 && c == 1 ? 0.5 : 0.0; });
  Add("GlacierizedCellsOld", [](int r, int c) { return r == 1 && c == 1 ? 0.5 : 0.0; });
  Add("GlacierMassBalance", [](int, int) { return 0.0; });
  Add("melt_from_ice", [](int, int) { return 0.0; });
  ASSERT_EQ(Start(), 0) << console.str();
  EXPECT_TRUE(Peek::Record(*uz, 1).has_glacier);
  EXPECT_FALSE(Peek::Record(*uz, 2).has_glacier);
  const double first[2] = {0.7, 0.0};
  Step(1, first);
  EXPECT_DOUBLE_EQ(uz->RunoffQg(1), 0.7 + 3.5 / 4);
  EXPECT_DOUBLE_EQ(uz->RunoffQg(2), 1.0);
  EXPECT_EQ(Peek::Resized(*uz, 1, 1), 0.0);

  // The update at the end of step 1 (after the soil's step) moves the
  // glacier from subbasin 1 to subbasin 2: from step 2 on the records and
  // the snow model's runoff are those of subbasin 2.
  auto water = [&](int r, int c) {
    double w = 0;
    for (int k = 1; k <= kLayers; ++k) w += uz->Theta()[r][c][k] * uztest::kThickness * 1000.0;
    return w;
  };
  const double w11 = water(1, 1), w21 = water(2, 1);
  ASSERT_GT(w11, 0);
  g[1][1] = 0;
  g[2][1] = 0.4;
  const double after[2] = {0.0, 0.3};
  Step(2, after);
  EXPECT_DOUBLE_EQ(uz->RunoffQg(1), 1.0);
  EXPECT_DOUBLE_EQ(uz->RunoffQg(2), 0.3 + 3.6 / 4);
  // Half of cell (1, 1) left by the glacier brings its soil water in; 0.4
  // of cell (2, 1) covered takes it out (mm over the cell): the water of the
  // columns at the update.
  EXPECT_NEAR(Peek::Resized(*uz, 1, 1), 0.5 * w11, 1e-9);
  EXPECT_NEAR(Peek::Resized(*uz, 2, 1), -0.4 * w21, 1e-9);
  EXPECT_FALSE(Peek::Record(*uz, 1).has_glacier);
  EXPECT_TRUE(Peek::Record(*uz, 2).has_glacier);
  EXPECT_DOUBLE_EQ(Peek::Record(*uz, 2).glacier_share, 0.4);
  EXPECT_DOUBLE_EQ(Peek::Record(*uz, 2).free_share, 3.6);

  Step(3, after);
  EXPECT_DOUBLE_EQ(uz->RunoffQg(1), 1.0);
  EXPECT_DOUBLE_EQ(uz->RunoffQg(2), 0.3 + 3.6 / 4);
  EXPECT_EQ(Peek::Resized(*uz, 2, 1), 0.0);
}

}  // namespace
