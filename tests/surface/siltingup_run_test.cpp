// The silting-up model in a run of the example basin: three weeks of April
// with the grassland tilled on day 95, on one and on two instances.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunCommand;
using fluvextest::RunFluvex;
using fluvextest::TempDir;

namespace {

namespace fs = std::filesystem;

// Replaces the one occurrence of from; false when it is missing.
bool Replace(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) return false;
  text.replace(at, from.size(), to);
  return true;
}

void RunBasin(const TempDir& dir, int instances) {
  for (const char* f : {"control.txt", "dem.asc", "zones.asc", "flow_times.asc", "make_inputs.py"})
    fs::copy_file(std::string(FLUVEX_EXAMPLE_DIR) + "/" + f, dir / f);
  const auto made = RunCommand("python3 make_inputs.py .", dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.output;
  fs::create_directories(dir / "out");
  std::string c = ReadFile(dir / "control.txt");
  ASSERT_TRUE(Replace(c, "1         starting month", "4         starting month"));
  ASSERT_TRUE(Replace(c, "31        end day\n12        end month", "21        end day\n4         end month"));
  ASSERT_TRUE(Replace(c, "IntercepCap = 0.3;", "IntercepCap = 0.3; SoilTillage = 95;"));
  // The silting-up works on the soil's surface: the groundwater flow below is not needed.
  ASSERT_TRUE(Replace(c, "[groundwater_flow]\n1\n", "[groundwater_flow]\n0\n"));
  ASSERT_TRUE(Replace(c, "1         surface water interaction", "0         surface water interaction"));
  ASSERT_TRUE(
      Replace(c, "[SiltingUpModel]\n0\n$step\n",
              "[SiltingUpModel]\n1\n$step\n1\nsdisp.stat 1001\nqdsu.stat 1001\nsdisp\n0\nrainpause\n0\nekin\n0\n"
              "tsbb\n0\nqdsu\n0\n1 3\n0.4 0.2\n0\n"));
  fluvextest::WriteFile(dir / "control.txt", c);
  const auto r = RunFluvex("control.txt", dir.path(), instances);
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
}

TEST(SiltingUpRun, ExampleBasinOnOneAndTwoInstances) {
  TempDir one("siltingup_run_1");
  TempDir two("siltingup_run_2");
  RunBasin(one, 1);
  RunBasin(two, 2);
  if (HasFatalFailure()) return;
  const std::string runoff = ReadFile(one / "out/qdsu.stat");
  EXPECT_NE(runoff.find("Direct_Discharge_Silting_Up"), std::string::npos);
  // Three weeks of hourly lines after the three header lines.
  EXPECT_EQ(fluvextest::CountOf(runoff, "\n"), 3 + 21 * 24);
  EXPECT_EQ(runoff, ReadFile(two / "out/qdsu.stat"));
  EXPECT_EQ(ReadFile(one / "out/sdisp.stat"), ReadFile(two / "out/sdisp.stat"));
}

}  // namespace
