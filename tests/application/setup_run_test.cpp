// The fluvex program runs the set-up of a small basin.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/application/smallbasin.h"
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

TEST(SetupRun, MissingRequiredSectionIsError17) {
  SmallBasin basin("setup_nosection");
  basin.Edit("[coordinates]", "[coordinatez]");
  const auto r = RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 17) << r.output;
  EXPECT_NE(r.output.find("error in control file, [coordinates]; (EOF)not found!"), std::string::npos);
  SmallBasin twoInstances("setup_nosection_np2");
  twoInstances.Edit("[model_time]", "[model_timer]");
  const auto r2 = RunFluvex("control.txt", twoInstances.dir.path(), 2);
  EXPECT_EQ(r2.exitCode, 17) << r2.output;
  EXPECT_NE(r2.output.find("error in control file, [model_time]; (EOF)not found!"), std::string::npos);
}
