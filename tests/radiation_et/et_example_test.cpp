// The example basin runs its year of hourly steps on two instances with its
// radiation correction, evapotranspiration after Penman-Monteith and
// interception; the annual potential evapotranspiration of the basin is what
// the climate at 50 N gives (roughly 550 to 750 mm), the interception
// evaporation a fraction of the precipitation.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunCommand;
using fluvextest::RunFluvex;
using fluvextest::TempDir;

namespace {

namespace fs = std::filesystem;

// Sum of the last column (the basin mean) over the data lines of a statistics file.
double ColumnSum(const std::string& text, int& lines) {
  std::istringstream in(text);
  std::string line;
  double sum = 0;
  lines = 0;
  for (int i = 0; std::getline(in, line); ++i) {
    if (i < 3 || line.empty()) continue;
    std::istringstream words(line);
    std::string w, last;
    while (words >> w) last = w;
    sum += std::stod(last);
    ++lines;
  }
  return sum;
}

}  // namespace

TEST(ExampleBasinWithEvapotranspiration, RunsAYearWithPlausibleTotals) {
  TempDir dir("et_example");
  for (const char* f : {"control.txt", "dem.asc", "zones.asc", "flow_times.asc", "make_inputs.py"})
    fs::copy_file(std::string(FLUVEX_EXAMPLE_DIR) + "/" + f, dir / f);
  const auto made = RunCommand("python3 make_inputs.py .", dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.output;
  fs::create_directories(dir / "out");
  // Evapotranspiration and interception need neither the soil water with its
  // groundwater and surface routing nor the discharge routing of the example.
  std::string control = fluvextest::ReadFile(dir / "control.txt");
  for (const char* section :
       {"[unsatzon_model]\n", "[groundwater_flow]\n", "[SurfaceRoutingModel]\n", "[routing_model]\n"}) {
    const size_t at = control.find(std::string(section) + "1\n");
    ASSERT_NE(at, std::string::npos) << section;
    control[at + std::string(section).size()] = '0';
  }
  fluvextest::WriteFile(dir / "control.txt", control);

  const auto r = RunFluvex("control.txt", dir.path(), 2);
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);

  int days = 0;
  const double pet = ColumnSum(ReadFile(dir / "out/etp.stat"), days);
  EXPECT_EQ(days, 365);
  EXPECT_GT(pet, 550);
  EXPECT_LT(pet, 750);
  const double interception = ColumnSum(ReadFile(dir / "out/ei.stat"), days);
  int precipitationDays = 0;
  const double precipitation = ColumnSum(ReadFile(dir / "out/precipitation.stat"), precipitationDays);
  EXPECT_GT(interception, 0);
  EXPECT_LT(interception, 0.5 * precipitation);
}
