// The example basin runs its year of hourly steps on two instances with the
// radiation correction, evapotranspiration after Penman-Monteith and
// interception switched on; the annual potential evapotranspiration of the
// basin is what the climate at 50 N gives (roughly 550 to 750 mm), the
// interception evaporation a fraction of the precipitation.
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

void Replace(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

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
  for (const char* f : {"control.txt", "dem.asc", "make_inputs.py"})
    fs::copy_file(std::string(FLUVEX_EXAMPLE_DIR) + "/" + f, dir / f);
  const auto made = RunCommand("python3 make_inputs.py .", dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.output;
  fs::create_directories(dir / "out");

  std::string control = ReadFile(dir / "control.txt");
  // Penman-Monteith reads the relative humidity under its own name.
  Replace(control, "\nhumidity\n", "\nair_humidity\n");
  Replace(control, "[humidity]", "[air_humidity]");
  // The example's synthetic global radiation sums to about 1600 kWh/m2 a
  // year; near 50 N about 1100 kWh/m2 are measured, so it is scaled by 0.69
  // for a climate that the expected range belongs to.
  Replace(control, "glob        result grid\n0         write code: not written\n1.0       scaling factor",
          "glob        result grid\n0         write code: not written\n0.69      scaling factor");
  Replace(control, "[radiation_correction]\n0\n$step\n",
          "[radiation_correction]\n1\n$step\n3   slope radiation only\ntk.asc\n0\n1.0\nexk.asc\n0\nshape.asc\n0\n"
          "1\n1\n");
  Replace(control, "[evapotranspiration]\n0\n$step\n",
          "[evapotranspiration]\n1\n$step\n1   Penman-Monteith\n"
          "0.1 0.1 0.15 0.2 0.25 0.3 0.3 0.3 0.25 0.2 0.15 0.1\n"
          "0.22 0.22 0.22 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.22 0.22\n1.0\n"
          "etp.asc\n0\netp.stat 4024\netr.asc\n0\netr.stat 0\nevap.asc\n0\nevap.stat 0\nevar.asc\n0\nevar.stat 0\n"
          "evrs.asc\n0\nevrs.stat 0\neip.asc\n0\neip.stat 0\nrgex.stat 0\n0.05 0.3 0.4 0.25\n"
          "0.072 -0.808 1.749 -0.239\n0.7 0.05\n1200\n2 3 4 5 6 6 6 6 5 4 3 2\n0.6 0.1\n\n");
  Replace(control, "[interception_model]\n0\n$step\n",
          "[interception_model]\n1\n$step\n1   method\ntf.asc\n0\ntf.stat 0\nei.asc\n0\nei.stat 4024\nsi.asc\n0\n"
          "si.stat 0\n0.3\n0\n");
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
