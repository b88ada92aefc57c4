// The fluvex program reads [SpinUp] and [substance_transport] of a small basin.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/application/smallbasin.h"
#include "tests/support/testutil.h"

using fluvextest::FileExists;
using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::SmallBasin;
using fluvextest::TempDir;
using fluvextest::WriteFile;

TEST(CodesRun, HydrologicResponseUnitsOfTheSmallBasin) {
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

TEST(CodesRun, TooManyTracersEndTheRun) {
  SmallBasin basin("codes_run_tracers");
  basin.Edit("0         number of tracers", "10        number of tracers");
  const auto r = RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 58) << r.output;
  EXPECT_NE(r.output.find("not more than 9 tracer species are allowed at one time"), std::string::npos);
}
