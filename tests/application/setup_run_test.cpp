// The fluvex program runs the set-up of a small basin: its steps in order,
// the errors that end it, and the hydrologic response units it builds.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/application/basins.h"
#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::SmallBasin;
using fluvextest::TempDir;
using fluvextest::WriteFile;

TEST(SetupRun, SmallBasinRunsEverySetupStepInOrder) {
  SmallBasin basin("setup_run");
  const auto r = RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.output;
  const std::vector<std::string> steps = {"compiling symbols in control file control.txt",
                                          "reading ./zones.asc for defaults...",
                                          "ranking zones from ./zones.asc for defaults",
                                          "reading ./dem.asc for defaults...",
                                          "before reading variable grids 0",
                                          "check_SOIL_Codes...",
                                          "make_Slope_and_Aspect...",
                                          "check_ice_firn_grid...",
                                          "MakeRegionWeightGrids...",
                                          "GetCouplingParameters...",
                                          "end of initialization reached...",
                                          "exitcode 0"};
  const auto at = fluvextest::InOrder(r.output, steps);
  for (size_t i = 0; i < steps.size(); ++i) EXPECT_GE(at[i], 0) << "missing or out of order: " << steps[i];
  // The preprocessed copy is what every reader opens.
  const std::string copy = ReadFile(basin.dir / "control.txt.$$$");
  EXPECT_NE(copy.find("./zones.asc"), std::string::npos);
  EXPECT_EQ(copy.find("$inpath"), std::string::npos);
}

TEST(SetupRun, MissingZoneGridEndsTheRunAtItsStep) {
  SmallBasin basin("setup_nozones");
  std::filesystem::remove(basin.dir / "zones.asc");
  const auto r = RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 21) << r.output;
  EXPECT_NE(r.output.find("error opening ./zones.asc"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("ranking zones"), std::string::npos);
  EXPECT_NE(r.output.find("exceptions in ModellApplication::init() caught!"), std::string::npos);
  EXPECT_NE(r.output.find("Exception 21 caught at top level!"), std::string::npos);
}

// The reader's message is checked by the set-up tests; here the code reaches
// the exit status of every instance.
TEST(SetupRun, MissingRequiredSectionIsError17) {
  SmallBasin twoInstances("setup_nosection_np2");
  twoInstances.Edit("[model_time]", "[model_timer]");
  const auto r2 = RunFluvex("control.txt", twoInstances.dir.path(), 2);
  EXPECT_EQ(r2.exitCode, 17) << r2.output;
  EXPECT_NE(r2.output.find("error in control file, [model_time]; (EOF) not found!"), std::string::npos);
}

TEST(SetupRun, HydrologicResponseUnitsOfTheSmallBasin) {
  // Elevation classes of width 20 (dem.asc): 500 -> 25, 520 -> 26, 540 -> 27,
  // 480 -> 24, 460 -> 23; units numbered in scan order from the top row.
  const std::vector<double> units = {-9999, 1, 2, 3, 4, 1, -9999, -9999, 5, 4, 1, -9999};
  const std::vector<double> masters = {-9999, 1, 2, 3, 4, -9999, -9999, -9999, 5, -9999, -9999, -9999};
  SmallBasin basin("codes_run_hru");
  basin.Edit("[substance_transport]",
             "[SpinUp]\n1 switch\n0 no pre-SpinUp\n2 passes\n1 definition\n"
             "elevation 20 linear\n\n[substance_transport]");
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("Creating HRUs"), std::string::npos);
  EXPECT_EQ(basin.Values("out/All_HydrologicResponseUnits"), units);
  EXPECT_EQ(basin.Values("out/Master_HydrologicResponseUnits"), masters);
  EXPECT_EQ(basin.Values("out/All_HydrologicResponseUnits_000"), units);
}
