// Rows of the reference table: tracers (reference_table.h).
#include <cmath>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

// Rain rising through each day, hour h bringing h / 6 mm: 50 mm a day at
// any step length. Its mean over twelve hourly steps (statistic type 2) is
// the sum of those hours over 12: 6.5 / 6 mm for hours 1 to 12, 18.5 / 6 mm
// for hours 13 to 24.
const Register kRain{
    {"tracers.uniform_rain",
     "the period's basin precipitation = 2 days x sum of h / 6 mm over hours h = 1..24 = 100 mm; a line of the mean "
     "over 12 hourly steps = (sum of its hours' h / 6) / 12",
     [] {
       SetUp s;
       s.series["precipitation"] = [](const Hour& h, size_t) { return h.hour / 6.0; };
       return s;
     },
     [] {
       auto v = StepVariants();
       v.push_back({"mean_of_12_steps", [](SetUp& s) {
                      s.edits.push_back({"precipitation.stat 4024", "precipitation.stat 2012"});
                    }});
       return v;
     }(),
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs)
         if (name != "mean_of_12_steps") {
           c.push_back(Relative(name + ": period's precipitation (mm)", run.Sum("precipitation.stat"), 100, 1e-4));
         } else {
           const auto lines = run.Series("precipitation.stat");
           c.push_back(Absolute(name + ": lines", static_cast<double>(lines.size()), 4, 0));
           // (The statistics hold three decimals.)
           for (size_t k = 0; k < lines.size(); ++k)
             c.push_back(Absolute(name + ": line " + std::to_string(k + 1) + " (mm per step)", lines[k],
                                  (k % 2 ? 18.5 : 6.5) / 6, 5e-4));
         }
       return c;
     }}};

const Edits kAtFive = {{"[substance_transport]\n0         number of tracers",
                        "[substance_transport]\n1         number of tracers\n"
                        "Oxygen non_radioactive evaporating min_conc = 0 max_conc = 1000 mg/l soilini = 5 gwini = 5 "
                        "statcode = 2001 gridcode = 3 path = ./ statext = sta gridext = asc"},
                       {"7         number of variable grids\n",
                        "8         number of variable grids\ncin1.asc concflux_tracer_1_input 0 5\n0\n0\n"}};

// Every module's water at 5: snow falls on a cold first day and melts in
// the rain of the next two, which wets the silt loam up to direct runoff;
// the groundwater drains to the river cells.
const char* const kModulesAtFive[] = {"oxyinter.sta", "oxysnow_.sta", "oxyunsat.sta",
                                      "oxySurfa.sta", "oxygrou1.sta", "oxyrouti.sta"};
const Register kFive{
    {"tracers.constant_five",
     "every concentration statistic of every step with water = 5, the concentration of every source (input, soil, "
     "groundwater); with one and with two canopy layers",
     [] {
       SetUp s;
       s.edits = kAtFive;
       s.start = {2015, 1, 2};
       s.end = {2015, 1, 5};
       s.soil = [](int, int c) { return c <= 5 ? 1.0 : 3.0; };
       s.series["temperature"] = [](const Hour& h, size_t) { return h.day == 2 ? -5.0 : 6.0; };
       s.series["precipitation"] = [](const Hour& h, size_t) {
         return h.day == 3 && h.hour <= 12 ? 12.0 : h.day <= 4 ? 3.0 : 0.0;
       };
       s.series["radiation"] = [](const Hour& h, size_t) { return h.hour > 8 && h.hour < 17 ? 200.0 : 0.0; };
       return s;
     },
     {{"onelayer", nullptr},
      {"twolayers",
       [](SetUp& s) {
         s.edits.push_back({"[soil_table]\n",
                            "[multilayer_landuse]\n1\n1 grass_under_forest { Landuse_Layers = 2 1; }\n\n"
                            "[soil_table]\n"});
       }}},
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs)
         for (const char* file : kModulesAtFive) {
           double worst = NAN;
           for (double v : run.Series(file))
             if (v > -9999 && !(std::fabs(v - 5) <= std::fabs(worst - 5))) worst = v;
           c.push_back(Relative(name + ": " + file + ", the step farthest from 5", worst, 5, 1e-5));
         }
       return c;
     }}};

// A radioactive tracer at 8 in the soil's and the groundwater's water and
// none coming in: no rain, a dry cool week, so that its stores only decay
// (evaporating water takes it along at its concentration). The decay
// constant is a half-life in days: it acts the same at any step length and
// sub-step count. (Within 1e-3: the stores exchange water decayed at other
// times of a step, and the grids hold 6 digits.)
const Register kDecay{
    {"tracers.radioactive_decay",
     "the soil's and the groundwater's concentration after t days = 8 x 2^(-t / half-life), half-life 1 d, t = 2",
     [] {
       SetUp s;
       s.edits = {{"[substance_transport]\n0         number of tracers",
                   "[substance_transport]\n1         number of tracers\n"
                   "Cesium radioactive half_time = 1 d evaporating min_conc = 0 max_conc = 1000 mg/l soilini = 8 "
                   "gwini = 8 statcode = 2001 gridcode = 3 path = ./ statext = sta gridext = asc"},
                  {"7         number of variable grids\n",
                   "8         number of variable grids\ncin1.asc concflux_tracer_1_input 0 0\n0\n0\n"}};
       s.series["temperature"] = [](const Hour&, size_t) { return 4.0; };
       return s;
     },
     {{"hourly", nullptr},
      {"substeps4", [](SetUp& s) { s.substeps = 4; }},
      {"daily", [](SetUp& s) { s.stepMinutes = 1440; }}},
     [](const Runs& runs) {
       Checks c;
       const double expected = 8 * std::pow(2.0, -2.0);
       for (const auto& [name, run] : runs) {
         const StackFile soil = ReadStackFile(run.dir + "/out/cesunsat.asc");
         double worst = soil.ncols > 0 ? expected : NAN;
         for (int col = 1; col <= soil.ncols; ++col)
           for (int level = 1; level <= soil.levels; ++level)
             if (std::fabs(soil.at(1, col, level) - expected) > std::fabs(worst - expected))
               worst = soil.at(1, col, level);
         c.push_back(Relative(name + ": the soil's concentration farthest from it", worst, expected, 1e-3));
         const GridFile ground = run.Grid("ces1grou.asc");
         worst = ground.ncols > 0 ? expected : NAN;
         for (double v : ground.values)
           if (std::fabs(v - expected) > std::fabs(worst - expected)) worst = v;
         c.push_back(Relative(name + ": the groundwater's concentration farthest from it", worst, expected, 1e-3));
       }
       return c;
     }}};

}  // namespace
}  // namespace fluvextest::reference
