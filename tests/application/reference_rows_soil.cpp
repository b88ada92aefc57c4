// Rows of the reference table: the soil model (reference_table.h). A storm
// on the sandy loam is solved on 1 and 16 water sub-steps and with daily
// steps: the recharge (water across the table, gwn.stat) and the direct
// runoff of the period are the same water whatever the sub-steps, so the
// 16 sub-steps of hourly steps are the converged figure the others meet.
#include <string>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

// The frozen-soil section (heat transfer method 12) before [special_output].
const std::pair<std::string, std::string> kHeat = {
    "[special_output]\n",
    "[heat_transfer]\n1         heat transfer on\n12        method\n0\n0\n12.0      dTModLowBoundBase\n"
    "-0.007    dTModLapseRate\n800       dTModCDrySoil\n1500      dTModRhoDrySoil\n0.58      dTModLamDrySoil\n"
    "1e-10     dTModKmin\n0.5562    dTModLamWat\n2.33      dTModLamIce\n4187      dTModCWater\n"
    "1940      dTModCIce20\n2090      dTModCIce0\n334000    dTModLatHeat\n1000      dTModRhoWater\n"
    "1.22      dTModFactor\n0.5       dTModSEForStat\n60        dTModShortestStep\n1800      dTModLongestStep\n"
    "1.0       dTModNFactorFreezing\n1.0       dTModNFactorThawing\nsoiltemp.txt\nsoiltemp.stat 0\n"
    "soiltemp.stk\n3\nthawdepth.asc\n0\n\n[special_output]\n"};
const Edits kDynamicStep = {
    {"2         method: finite differences, fixed time step", "3         method: dynamic time step"},
    {"storage.ftz   storage content file\n",
     "storage.ftz   storage content file\n60        minimum dynamic time step (s)\n"}};

// 24 mm of rain evenly over day rainDay (the same rain in hourly and daily
// steps), the air at cold deg C before that day and 4 deg C from it on;
// from 2 January to lastDay.
SetUp Storm(int rainDay, int lastDay, double cold, const Edits& edits) {
  SetUp s;
  s.end = {2015, 1, lastDay};
  s.edits = edits;
  s.series["precipitation"] = [rainDay](const Hour& h, size_t) { return h.day == rainDay ? 1.0 : 0.0; };
  s.series["temperature"] = [rainDay, cold](const Hour& h, size_t) { return h.day < rainDay ? cold : 4.0; };
  return s;
}
std::vector<Variant> Steps() {
  return {{"hourly_1", [](SetUp& s) { s.substeps = 1; }},
          {"hourly_16", [](SetUp& s) { s.substeps = 16; }},
          {"daily_1", [](SetUp& s) {
             s.stepMinutes = 1440;
             s.substeps = 1;
           }}};
}
// Recharge and direct runoff of one sub-step within share1, and the
// recharge of daily steps within shareDaily, of those on 16 sub-steps of
// hourly steps.
Checks Converged(const Runs& runs, double share1, double shareDaily) {
  Checks c;
  const Run& fine = runs.at("hourly_16");
  for (const char* file : {"gwn.stat", "qd.stat"}) {
    const double converged = fine.Sum(file);
    const std::string what = std::string(file) + " of the period (mm)";
    c.push_back(Relative("hourly_1: " + what, runs.at("hourly_1").Sum(file), converged, share1));
    // (The direct runoff of daily steps leaves the surface in another share:
    // the ponded water stays a day.)
    if (std::string(file) == "gwn.stat")
      c.push_back(Relative("daily_1: " + what, runs.at("daily_1").Sum(file), converged, shareDaily));
  }
  return c;
}

const Register kFrozenStorm{{"soil.frozen_storm_substeps",
                             "recharge and direct runoff of a thaw storm on frozen soil: 1 sub-step within 3 %, daily "
                             "steps' recharge within 5 % of "
                             "16 sub-steps",
                             [] {
                               // Five days at -8 deg C freeze the top of the soil; the rain falls
                               // on it on the seventh, when the air turns 4 deg C.
                               return Storm(7, 14, -8.0, {kHeat});
                             },
                             Steps(), [](const Runs& runs) { return Converged(runs, 0.03, 0.05); }}};

const Register kDynamicStorm{{"soil.dynamic_step_storm_substeps",
                              "recharge and direct runoff of a storm with the dynamic step: 1 sub-step within 3 %, "
                              "daily steps' recharge within 5 % of "
                              "16 sub-steps",
                              [] { return Storm(3, 10, 4.0, kDynamicStep); }, Steps(),
                              [](const Runs& runs) { return Converged(runs, 0.03, 0.05); }}};

}  // namespace
}  // namespace fluvextest::reference
