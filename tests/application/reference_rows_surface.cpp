// Rows of the reference table: surface routing and silting-up (reference_table.h).
#include <cmath>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

// A sealed plane falling 1 % to its river column in saturated air; the surface routing's method m, its sub time step in
// [low, high] s.
Variant Plane(const std::string& name, int cols, int rows, double size, double rain, int m, int low, int high) {
  return {name, [=](SetUp& s) {
            s.ncols = cols, s.nrows = rows, s.cellsize = size, s.end = {2015, 1, 3}, s.substeps = size > 500 ? 4 : 0;
            s.soil = [](int, int) { return 4.0; };
            s.off = {"interception_model", "groundwater_flow"};
            s.edits = {{"3         soil types\n", "4         soil types\n"},
                       {"suction = 150;\n}\n",
                        "suction = 150;\n}\n4 sealed method = MultipleHorizons { layers = 3 4 3; ksat = 1e-12 1e-12 "
                        "1e-12; theta_sat = 0.41 0.41 0.41; theta_res = 0.065 0.065 0.065; ksat_topmodel = 1e-12; "
                        "alpha = 7.5 7.5 7.5; Par_n = 1.89 1.89 1.89; thickness = 0.1 0.3 0.5; suction = 150; }\n"},
                       {"5 5 5   kelsqd", "0 0 0   kelsqd"},
                       {"4         method: one", std::to_string(m) + "         method: one"},
                       {"3600      minimum sub time step (s)\n3600      maximum",
                        std::to_string(low) + " minimum sub time step (s)\n" + std::to_string(high) + " maximum"}};
            s.series["precipitation"] = [=](const Hour& h, size_t) {
              return rain > 0 ? rain : h.day == 2 && h.hour <= 2 ? 20 : 0;
            };
            s.series["humidity"] = [](const Hour&, size_t) { return 100.0; };
            if (rain == 0) s.dem = [](int r, int c) { return 300 + 1.0 * (11 - c) - (r == 3 && c == 5 ? 1.1 : 0.0); };
            s.points = {{"SurfStorSiltingUp", "pit", 3, 5}};
          }};
}

// Plane: 9 x 10 land cells of 1 km; kinematic wave q = K d^(5/3) sqrt(S), grassland K = 5 (method 5: 10). Fast: 50 m
// cells, one sub-step an hour (the hour's rain at once: its sub-time-steps differ by up to 6 %). Pit: 100 m cells, one
// 0.1 m below its lowest neighbour. Silting-up: 2 mm a step over sandy loam (alone moving runoff by 2.4 % with 4
// sub-steps).
const Register kSurface{
    {"surface.flow",
     "plane: runoff at equilibrium = rain, cell i's depth (r i L / (K sqrt S))^0.6 less up to a sub-step's rain, half "
     "the rain's runoff at t = (r (A / 2 - A_river) / (W K sqrt S))^0.6 / r with (A / 2 - A_river) / W = 4.5 km; "
     "fast: runoff at equilibrium = rain, hours 1 to 3 at the maximum 3600 s = at 60 s; pit: from its rim (100 mm) "
     "to 5 mm above once filled; silting-up: direct runoff on 4 sub-steps = on 1 (depths: methods 1 and 3 share up to "
     "1.5 % sideways); day1, day4: daily steps on 1 and 4 sub-steps, each day's runoff = plane4_max300's of its hours "
     "(the same rain in each sub-time-step of 300 s: 1e-3 for the order of the sums)",
     [] { return SetUp(); },
     [] {
       std::vector<Variant> v = {Plane("fast4_max3600", 11, 3, 50, 20, 4, 60, 3600),
                                 Plane("fast4_max60", 11, 3, 50, 20, 4, 60, 60),
                                 Plane("fast5_min3600", 11, 3, 50, 20, 5, 3600, 3600)};
       for (int m = 1; m <= 6; ++m) {
         for (int high : {3600, 300})
           v.push_back(Plane("plane" + std::to_string(m) + "_max" + std::to_string(high), 11, 9, 1000, 5, m, 60, high));
         if (m >= 3) v.push_back(Plane("pit" + std::to_string(m), 11, 5, 100, 0, m, 60, 3600));
       }
       for (int k : {1, 4}) {
         Variant d = Plane("day" + std::to_string(k), 11, 9, 1000, 5, 4, 60, 300);
         d.change = [k, plane = d.change](SetUp& s) { plane(s), s.stepMinutes = 1440, s.substeps = k; };
         v.push_back(d);
       }
       for (int k : {1, 4})
         v.push_back(
             {"silting" + std::to_string(k), [k](SetUp& s) {
                s.ncols = 11, s.nrows = 3, s.end = {2015, 1, 3}, s.substeps = k, s.edits = kSiltingUp;
                s.series["precipitation"] = [](const Hour& h, size_t) { return h.day == 2 ? 6.0 : 0.0; };
                s.edits.push_back({"1        method\n", "3        method\n"});
                s.edits.push_back({"0         readgrid\n", "0         readgrid\nSiltingUpExpressions {\nV = 2;\n}\n"});
              }});
       return v;
     }(),
     [](const Runs& runs) {
       Checks c;
       const double r = 5 / 3.6e6;
       for (const auto& [name, run] : runs) {
         const std::vector<double> q = run.Series("qdsr.stat"), pit = run.Points("pit", 3, 5);
         double last = 0, half = NAN, lowest = NAN;
         for (size_t h = 0; h < q.size(); ++h) last += h + 12 >= q.size() ? q[h] / 12 : 0;
         for (size_t h = 1; h < q.size() && std::isnan(half); ++h)
           if (q[h] >= 2.5 && q[h - 1] < 2.5) half = h - 0.5 + (2.5 - q[h - 1]) / (q[h] - q[h - 1]);
         for (size_t i = 0, filled = 0; i < pit.size(); ++i)
           if ((filled = filled || pit[i] >= 100) && !(pit[i] >= lowest)) lowest = pit[i];
         if (name[0] == 'f' || name[1] == 'l')
           c.push_back(Relative(name + ": runoff at equilibrium", last, name[0] == 'f' ? 20 : 5, 2e-3));
         if (name[0] == 'p' && name[1] == 'i')
           for (double v : {lowest, pit.empty() ? NAN : pit.back()})
             c.push_back(Absolute(name + ": pit's water, lowest once filled and at the end (mm)", v, 102.5, 2.5));
         if (name[1] != 'l') continue;
         const double K = name[5] == '5' ? 10 : 5, a = K * 0.1;
         c.push_back(Relative(name + ": hours to half", half, std::pow(r * 4500 / a, 0.6) / r / 3600, 0.02));
         const GridFile end = run.Grid("surfstor.asc");
         for (int i : {1, 4, 10}) {
           const double depth = 1000 * std::pow(r * i * 1000 / a, 0.6);
           c.push_back(Absolute(name + ": depth of cell " + std::to_string(i) + " (mm)",
                                end.values.empty() ? NAN : end.at(5, i), depth - 0.625, 0.625 + 0.015 * depth));
         }
       }
       const auto hour = runs.at("fast4_max3600").Series("qdsr.stat"),
                  minute = runs.at("fast4_max60").Series("qdsr.stat");
       for (size_t h = 0; h < 3 && h < std::min(hour.size(), minute.size()); ++h)
         c.push_back(Relative("fast4_max3600: runoff of hour " + std::to_string(h + 1), hour[h], minute[h], 0.06));
       c.push_back(Relative("silting4: qd.stat", runs.at("silting4").Sum("qd.stat"), runs.at("silting1").Sum("qd.stat"),
                            0.025));
       const auto hourly = runs.at("plane4_max300").Series("qdsr.stat");
       for (const char* name : {"day1", "day4"})
         for (size_t d = 0; d < 2; ++d) {
           const auto daily = runs.at(name).Series("qdsr.stat");
           double sum = 0;
           for (size_t h = 24 * d; h < 24 * d + 24 && h < hourly.size(); ++h) sum += hourly[h];
           c.push_back(Relative(std::string(name) + ": runoff of day " + std::to_string(d + 1),
                                d < daily.size() ? daily[d] : NAN, sum, 1e-3));
         }
       return c;
     }}};

}  // namespace
}  // namespace fluvextest::reference
