// The silting-up model in a run of the example basin, on one and on two
// instances: a storm of two hours on grassland tilled a week before, with no
// cover, against the hand computation of the mean grain diameter, the
// silting disposition, the infiltration capacity and the direct runoff.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "tests/support/examplebasin.h"
#include "tests/support/modeloutput.h"
#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::ReadGridFile;
using fluvextest::Rows;
using fluvextest::RunFluvex;
using fluvextest::TempDir;

namespace {

// The storm of 6 July 2015: 30 mm at hour 14 and 20 mm at hour 15 on every
// station; no precipitation before or after.
constexpr double kRain[2] = {30, 20};
constexpr int kStormHour = 14;

// Interception and snow are off, so the silting-up takes the precipitation
// itself; the surface routing is off, so nothing stays on the surface. Every
// soil has 30 % sand, 50 % silt and 20 % clay; the grassland is tilled on
// day 180 and has neither vegetation nor residue cover.
const fluvextest::Edits kScenario = {
    {"1         starting day\n1         starting month", "5         starting day\n7         starting month"},
    {"31        end day\n12        end month", "7         end day\n7         end month"},
    {"WriteAsciiGrids = 1\n", "WriteAsciiGrids = 0\nWriteDoubleGrids = 1\n"},
    {"[interception_model]\n1\n", "[interception_model]\n0\n"},
    {"[snow_model]\n1\n", "[snow_model]\n0\n"},
    {"[groundwater_flow]\n1\n", "[groundwater_flow]\n0\n"},
    {"1         surface water interaction", "0         surface water interaction"},
    {"[SurfaceRoutingModel]\n1\n", "[SurfaceRoutingModel]\n0\n"},
    // The disposition at the end of the run, the direct runoff summed over it.
    {"[SiltingUpModel]\n0\n$step\n",
     "[SiltingUpModel]\n1\n$step\n1\nsdisp.stat 0\nqdsu.stat 2001\nsdisp.asc\n3\nrainpause.asc\n0\nekin.asc\n0\n"
     "tsbb.asc\n0\nqdsu.asc\n10\n1 2 3\n0.25 0.25 0.25\n0\n"},
    {"IntercepCap = 0.3; SR_K_ST = 5;",
     "IntercepCap = 0.3; SR_K_ST = 5; SoilTillage = 180; SR_ResidCovrg = 0 0 0 0 0;"},
    {"VCF = 0.8 0.9 0.95 0.95 0.8;", "VCF = 0 0 0 0 0;"},
    {"suction = 250;", "suction = 250; GrainSizeDist = 0.3 0.5 0.2 0 0 0 0;"},
    {"suction = 200;", "suction = 200; GrainSizeDist = 0.3 0.5 0.2 0 0 0 0;"},
    {"suction = 150;", "suction = 150; GrainSizeDist = 0.3 0.5 0.2 0 0 0 0;"}};

std::string Storm(const std::string& dir) {
  std::string out;
  for (const auto& row : Rows(ReadFile(dir + "/precipitation.dat"))) {
    std::string line;
    const bool data = row.size() > 4 && row[0] == "2015";
    const bool storm = data && row[1] == "7" && row[2] == "6";
    for (size_t i = 0; i < row.size(); ++i) {
      std::string w = row[i];
      if (data && i >= 4) {
        const int hour = std::stoi(row[3]);
        w = storm && hour >= kStormHour && hour <= kStormHour + 1 ? std::to_string(kRain[hour - kStormHour]) : "0";
      }
      line += (i ? " " : "") + w;
    }
    out += line + "\n";
  }
  fluvextest::WriteFile(dir + "/precipitation.dat", out);
  return "";
}

void RunBasin(const TempDir& dir, int instances) {
  const std::string failed = fluvextest::PrepareExample(FLUVEX_EXAMPLE_DIR, dir.path(), kScenario);
  ASSERT_EQ(failed, "");
  Storm(dir.path());
  const auto r = RunFluvex("control.txt", dir.path(), instances);
  ASSERT_EQ(r.exitCode, 0) << r.output.substr(r.output.size() > 6000 ? r.output.size() - 6000 : 0);
}

// Method 1 by hand. Mean grain diameter D_g = 10^(0.5 (-1.09691 clay +
// 2.10036 silt + 5.10039 sand)) = 15.1516 mm; I_inf = 12.2 D_g^0.52
// (100 sand)^-0.64 = 5.6864 mm/h; C_v = 0.013 (100 sand)^-1.03 D_g^0.7 T^-0.19
// with T days since tillage (7 on day 187, 6 July). Per hour of rain P
// (mm/h): e = 11.89 + 8.73 log10 P, the event's energy E += P e (no cover,
// one hour), capacity f = I_inf + (65 - I_inf) exp(-C_v E), runoff P - f:
// 30 - 21.0992 = 8.9008 mm and 20 - 12.3223 = 7.6777 mm.
struct ByHand {
  double Dg = std::pow(10.0, 0.5 * (-1.0969100130080562 * 0.2 + 2.1003620619491743 * 0.5 + 5.100385157531412 * 0.3));
  double Iinf = 12.2 * std::pow(Dg, 0.52) * std::pow(30.0, -0.64);
  double Cv(double T) const { return 0.013 * std::pow(30.0, -1.03) * std::pow(Dg, 0.7) * std::pow(T, -0.19); }
  double runoff[2] = {};
  ByHand() {
    double E = 0;
    for (int h = 0; h < 2; ++h) {
      E += kRain[h] * (11.89 + 8.73 * std::log10(kRain[h]));
      runoff[h] = kRain[h] - (Iinf + (65 - Iinf) * std::exp(-Cv(7) * E));
    }
  }
};

TEST(SiltingUpRun, StormOnATilledFieldByHand) {
  const ByHand hand;
  TempDir one("siltingup_run_1");
  TempDir two("siltingup_run_2");
  RunBasin(one, 1);
  RunBasin(two, 2);
  if (HasFatalFailure()) return;

  // Every grassland cell makes the runoff; the other land uses, never
  // tilled, make none. The disposition at the end of 7 July: T = 8 days.
  const auto zones = ReadGridFile(one / "zones.asc");
  const auto landuse = ReadGridFile(one / "landuse.asc");
  const auto runoff = ReadGridFile(one / "out/qdsu.sum");
  const auto disposition = ReadGridFile(one / "out/sdisp.asc");
  ASSERT_EQ(runoff.ncols, zones.ncols);
  ASSERT_EQ(disposition.ncols, zones.ncols);
  double grass[4] = {}, cells[4] = {};
  for (int r = 1; r <= zones.nrows; ++r)
    for (int c = 1; c <= zones.ncols; ++c) {
      if (!(zones.at(r, c) > -9999)) continue;
      const bool tilled = landuse.at(r, c) == 1;
      const int s = static_cast<int>(zones.at(r, c));
      cells[s] += 1;
      grass[s] += tilled;
      ASSERT_NEAR(runoff.at(r, c), tilled ? hand.runoff[0] + hand.runoff[1] : 0.0, 1e-9) << r << " " << c;
      ASSERT_NEAR(disposition.at(r, c), tilled ? hand.Cv(8) : 0.0, 1e-12) << r << " " << c;
    }
  ASSERT_GT(grass[1] * grass[2] * grass[3], 0);

  // Hourly subbasin means (four decimals): the grassland's share of the runoff.
  const std::string table = ReadFile(one / "out/qdsu.stat");
  EXPECT_EQ(fluvextest::CountOf(table, "\n"), 3 + 3 * 24);
  int storm = 0;
  for (const auto& row : Rows(table)) {
    if (row.size() != 8 || row[0] != "2015") continue;
    const int hour = std::stoi(row[3]);
    const bool raining = row[2] == "6" && hour >= kStormHour && hour <= kStormHour + 1;
    storm += raining;
    for (int s = 1; s <= 3; ++s)
      EXPECT_NEAR(std::stod(row[3 + s]), raining ? hand.runoff[hour - kStormHour] * grass[s] / cells[s] : 0.0, 6e-5)
          << row[2] << " " << hour << " subbasin " << s;
  }
  EXPECT_EQ(storm, 2);

  EXPECT_EQ(table, ReadFile(two / "out/qdsu.stat"));
  EXPECT_EQ(ReadFile(one / "out/qdsu.sum"), ReadFile(two / "out/qdsu.sum"));
}

}  // namespace
