// Rows of the reference table: tracers (reference_table.h).
#include <cmath>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

const Register kRain{
    {"tracers.uniform_rain", "each step's basin precipitation = the station's 2 mm/h x step hours",
     [] {
       SetUp s;
       s.series["precipitation"] = [](const Hour&, size_t) { return 2.0; };
       return s;
     },
     StepVariants(),
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs)
         c.push_back(Relative(name + ": period's precipitation (mm)", run.Sum("precipitation.stat"), 2.0 * 48, 1e-4));
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

}  // namespace
}  // namespace fluvextest::reference
