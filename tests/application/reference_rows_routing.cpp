// Rows of the reference table: the discharge routing (reference_table.h).
// Channels are inflows (ZL) of a routed subbasin of one cell, whose own
// runoff (qg.stat) the checks take off its discharge.
#include <cmath>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

std::string Inflow(const std::string& mode, double k, double length, double area) {
  char text[300];
  std::snprintf(text, sizeof text,
                "TG 1 (area = 1, rel = 1)\nZL 1 (Q = %s (kh = %g, kv = %g, Bh = 24.4, Bv = 244, Th = 1.93, Mh = 30, "
                "Mv = 20, I = 0.0005, L = %g, AE = %g)\n",
                mode.c_str(), k, k, length, area);
  return text;
}
// The set-up's file of a record per step ("YY MM DD HH" and f(hours of the
// step's start and end after the first day's 0 h)).
using PerHours = std::function<std::string(double, double)>;
void PerStep(SetUp& s, const std::string& file, const PerHours& f) {
  const int dt = s.stepMinutes / 60, last = 24 * (s.end.day - s.start.day + 1), day = s.start.day;
  s.make = [=](const std::string& dir) {
    std::string text = "YY MM DD HH values\n";
    for (int e = dt; e <= last; e += dt)
      text += "2015 1 " + std::to_string(day + (e - 1) / 24) + " " + std::to_string((e - 1) % 24 + 1) + " " +
              f(e - dt, e) + "\n";
    WriteFile(dir + "/" + file, text);
    return std::string();
  };
}
SetUp OneCell(int lastDay, const std::string& routing) {
  SetUp s;
  s.ncols = 1;
  s.off = {"SurfaceRoutingModel"};
  s.end = {2015, 1, lastDay};
  s.routing = routing;
  return s;
}
// Subbasin 1's discharge less its own runoff [m3/s] of each step of h hours.
std::vector<double> ChannelFlow(const Run& run, double h) {
  std::vector<double> q = run.Series("discharge.stat", "1"), own = run.Series("qg.stat", "1");
  for (size_t k = 0; k < q.size() && k < own.size(); ++k) q[k] -= own[k] * 1000 / (h * 3600);
  return q;
}
double Centroid(const std::vector<double>& x, double h) {
  double m = 0, v = 0;
  for (size_t k = 0; k < x.size(); ++k) m += (k + 0.5) * h * x[k], v += x[k];
  return m / v;
}
// The class rows of the inflow's table: Q [m3/s], t [h].
std::vector<std::pair<double, double>> TravelTimes(const Run& run) {
  std::vector<std::pair<double, double>> rows;
  for (const auto& r : Rows(run.Text("wq_tabZL.001")))
    if (r.size() == 12 && r[0].find_first_not_of("0123456789") == std::string::npos)
      rows.push_back({std::stod(r[3]), std::stod(r[9])});
  return rows;
}

const Register kStorage{
    {"routing.storage_and_translation",
     "50 m3/s for a day (centroid 72 h) through a channel of one class (its table's travel time t) and storages of "
     "3 h: centroid 72 + 3 + t h at any step; volume kept; hourly recession exp(-1/3)",
     [] {
       SetUp s = OneCell(13, Inflow("extern inflow.txt 0 5", 3, 20000, 1000));
       s.edits = {{"1 1000 20 12\t", "50 50 1 12\t"}};
       return s;
     },
     [] {
       std::vector<Variant> v = StepVariants();
       for (Variant& x : v)
         x.change = [c = x.change](SetUp& s) {
           c(s);
           PerStep(s, "inflow.txt", [](double a, double b) {
             return std::to_string(50 * std::max(0.0, std::min(b, 84.0) - std::max(a, 60.0)) / (b - a));
           });
         };
       return v;
     }(),
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs) {
         const double h = name == "hourly" ? 1 : name == "daily" ? 24 : 48;
         const std::vector<double> x = ChannelFlow(run, h);
         double volume = 0;
         for (double v : x) volume += v * h * 3600;
         c.push_back(Relative(name + ": volume (m3)", volume, 50 * 86400, 1e-4));
         c.push_back(
             Relative(name + ": centroid lag (h)", Centroid(x, h) - 72, 3 + TravelTimes(run).at(0).second, 0.01));
         if (h == 1)
           c.push_back(Relative("hourly: recession in hour 101", x.at(100) / x.at(99), std::exp(-1.0 / 3), 1e-4));
       }
       return c;
     }}};

const Register kFloodWave{
    {"routing.flood_wave",
     "a 30 km channel at 20 m3/s, 40 more in hours 61 to 72: the excess's centroid lag is the table's travel time at "
     "60 m3/s (t over ln Q); 40 more from hour 61 on: nothing of it before the fastest t",
     [] { return OneCell(5, Inflow("extern inflow.txt 0 5", 0.01, 30000, 529)); },
     {{"pulse",
       [](SetUp& s) { PerStep(s, "inflow.txt", [](double, double b) { return b > 60 && b <= 72 ? "60" : "20"; }); }},
      {"step", [](SetUp& s) { PerStep(s, "inflow.txt", [](double, double b) { return b > 60 ? "60" : "20"; }); }}},
     [](const Runs& runs) {
       const auto t = TravelTimes(runs.at("pulse"));
       size_t k = 1;
       while (k + 1 < t.size() && t[k].first < 60) ++k;
       const double u = std::log(60 / t[k - 1].first) / std::log(t[k].first / t[k - 1].first);
       double fastest = t[0].second, early = 0;
       for (const auto& r : t) fastest = std::min(fastest, r.second);
       std::vector<double> pulse = ChannelFlow(runs.at("pulse"), 1), step = ChannelFlow(runs.at("step"), 1);
       for (double& x : pulse) x -= 20;
       for (size_t h = 60; h < step.size() && h + 1 <= 60 + fastest; ++h) early += std::fabs(step[h] - 20);
       return Checks{Relative("pulse: centroid lag of the excess (h)", Centroid(pulse, 1) - 66,
                              t[k - 1].second + u * (t[k].second - t[k - 1].second), 0.05),
                     Absolute("step: its change before the fastest travel time (m3/s x h)", early, 0, 0.4)};
     }}};

// Monday 5 to Sunday 11 January.
const Register kRules{
    {"routing.rules",
     "13 m3/s, above the abstraction rule's last row (10 m3/s: 1 on day 1, 2 on day 365): 1 + (day - 1) / 364 m3/s; "
     "a reservoir rule column of WeekDays without hours releases nothing, one WARNING; its volume changes by Qin - "
     "Qout - Abstr each step",
     [] {
       SetUp s = OneCell(11, Inflow("constant 13", 0.01, 1000, 529) +
                                 "AL 1 (mode = extern_with_rule abstraction_r.txt)\nSP 1 (file = reservoir_r.txt V0 = "
                                 "1e6, C0 = 0 0 0 0 0 0 0 0 0, dTmin = 3600)\n");
       s.start = {2015, 1, 5};
       s.edits = {
           {"[abstraction_rule_reservoir_1]\n5 15 196\n0     0    0\n20e6  1    1\n45e6  6    2\n55e6  15   8\n"
            "60e6  100  100\n",
            "[abstraction_rule_reservoir_1]\n2 1\n0 0\n1e9 1000\nWeekDays = 12345\n\n"
            "[abstraction_rule_abstraction_1]\n2 1 365\n0 0 0\n10 1 2\n"}};
       return s;
     },
     {},
     [](const Runs& runs) {
       const Run& run = runs.at("base");
       double abstraction = 0, balance = 0, released = 0;
       for (const auto& r : run.Table("abstraction_r.txt"))
         abstraction = std::max(abstraction, std::fabs(r[4] - (1 + (r[2] - 1) / 364)));
       const auto v = run.Table("reservoir_r.txt");
       for (size_t k = 1; k < v.size(); ++k) {
         balance = std::max(balance, std::fabs(v[k][6] - v[k - 1][6] - v[k][7] + v[k][10] + v[k][28]));
         released += v[k][10];
       }
       return Checks{Absolute("abstraction: the step farthest from the rule (m3/s)", abstraction, 0, 1e-6),
                     Absolute("reservoir: the step's volume change farthest from its terms (m3)", balance, 0, 1),
                     Absolute("reservoir: released (m3)", released, 0, 0),
                     Absolute("WARNINGs of a column without hours", run.Count("the column applies at no hour"), 1, 0)};
     }}};

// Monday 5 to Sunday 11 January: a reservoir rule of two columns (days 1
// and 15), and apart an abstraction that takes a share of the flow below
// its maximum.
const Register kShares{
    {"routing.share_and_seasonal_rule",
     "a reservoir rule of columns for days 1 and 15 (0 at 0 m3, 2 and 6 m3/s at 1e7 m3) releases x / 1e7 x (2 + 4 "
     "(day - 1) / 14) m3/s over a step of one sub-step, x its volume at the start and its inflow; without it half "
     "the flow Q above 1 m3/s, at most 0.5, leaves: 0.5 (Q - 1) m3/s",
     [] {
       SetUp s = OneCell(11, Inflow("constant 1.6", 0.01, 1000, 529));
       s.start = {2015, 1, 5};
       s.edits = {{"[abstraction_rule_reservoir_1]\n5 15 196\n0     0    0\n20e6  1    1\n45e6  6    2\n55e6  15   8\n"
                   "60e6  100  100\n",
                   "[abstraction_rule_reservoir_1]\n2 1 15\n0 0 0\n1e7 2 6\n"}};
       return s;
     },
     {{"reservoir",
       [](SetUp& s) {
         s.routing += "SP 1 (file = reservoir_s.txt V0 = 5e6, C0 = 0 0 0 0 0 0 0 0 0, dTmin = 3600)\n";
       }},
      {"abstraction", [](SetUp& s) { s.routing += "AL 1 (mode = extern abstraction_s.txt 1.0 0.5 0.5 m3/s)\n"; }}},
     [](const Runs& runs) {
       // (The tables hold ten digits.)
       double release = 0, abstraction = 0, below = 0;
       const auto v = runs.at("reservoir").Table("reservoir_s.txt");
       for (size_t k = 1; k < v.size(); ++k)
         release = std::max(release,
                            std::fabs(v[k][10] - (2 + 4 * (v[k][2] - 1) / 14) / 1e7 * (v[k - 1][6] + v[k][7]) * 3600));
       const auto q = runs.at("abstraction").Series("discharge.stat", "1");
       const auto a = runs.at("abstraction").Table("abstraction_s.txt");
       for (size_t k = 0; k < a.size() && k < q.size(); ++k) {
         abstraction = std::max(abstraction, std::fabs(a[k][4] - 0.5 * (q[k] + a[k][4] - 1)));
         below += a[k][4] > 0 && a[k][4] < 0.5;
       }
       return Checks{Absolute("reservoir: the step's release farthest from the rule's (m3)", release, 0, 1e-3),
                     Absolute("reservoir: steps", static_cast<double>(v.size()), 7 * 24, 0),
                     Absolute("abstraction: the step farthest from 0.5 (Q - 1) (m3/s)", abstraction, 0, 1e-5),
                     Absolute("abstraction: steps below the maximum", below, static_cast<double>(a.size()), 0),
                     Absolute("abstraction: steps", static_cast<double>(a.size()), 7 * 24, 0)};
     }}};

// Fields of 10 km2 (ten cells) irrigated from the river of a constant inflow
// by the rule of an irrigation table's record.
SetUp IrrigatedFields(const std::string& river, const std::string& rule) {
  SetUp s = OneCell(9, Inflow(river, 0.2, 2000, 529));
  s.ncols = 10;
  s.grids["irrigation_codes.asc"] = [](int, int) { return 1.0; };
  s.edits = {{"10        number of standard grids\n",
              "11        number of standard grids\nirrigation_codes.asc irrigation_codes fillcode = 0 readcode = 1\n"},
             {"[irrigation]\n0\n$step\n",
              "[irrigation]\n1\n$step\nirr_gw.stat 4001\tfrom groundwater\nirr_sw.stat 4001\tfrom surface "
              "water\n\n[irrigation_table]\n1\n1 field " +
                  rule + "\n"}};
  return s;
}

const Register kIrrigation{
    {"routing.irrigation_steps",
     "10 km2 of fields asking 30 mm a day on 5 to 8 January from a river of 1 m3/s get its 4 days, 34.56 mm (with "
     "their own runoff, 5 %); daily and two-day steps within 3 % of hourly",
     [] { return IrrigatedFields("constant 1", "1 2 20 3.45 4 1 5 30 1 6 30 1 7 30 1 8 30"); }, StepVariants(),
     [](const Runs& runs) {
       const double hourly = runs.at("hourly").Sum("irr_sw.stat", "1");
       return Checks{Relative("hourly (mm)", hourly, 34.56, 0.05),
                     Relative("daily (mm)", runs.at("daily").Sum("irr_sw.stat", "1"), hourly, 0.03),
                     Relative("two-day (mm)", runs.at("twodays").Sum("irr_sw.stat", "1"), hourly, 0.03)};
     }}};
const Register kIrrigationDay{
    {"routing.irrigation_calendar_day",
     "fields asking 30 mm on 5 January alone from a river of 10 m3/s (86.4 mm a day over their 10 km2) get the "
     "day's 30 mm at any step length: the two-day step of 5 and 6 January irrigates the 5th",
     [] { return IrrigatedFields("constant 10", "1 2 20 3.45 1 1 5 30"); }, StepVariants(),
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs)
         c.push_back(Relative(name + ": irrigated (mm)", run.Sum("irr_sw.stat", "1"), 30, 1e-4));
       return c;
     }}};

const Register kIrrigationBySoilMoisture{
    {"routing.irrigation_soil_moisture_reservoir",
     "fields by soil moisture from a reservoir start at the deficit D0 a day (24 x the first hour = the first day = "
     "the first two-day step: D0 once), from the first step: the reservoir's Irrig (m3) = the fields' mm x 1e4",
     [] {
       SetUp s = IrrigatedFields("constant 1", "3 2 0.1 0.01");
       s.routing += "SP 1 (file = reservoir_i.txt V0 = 20e6, C0 = 0 0 0 0 0 0 0 0 0, dTmin = 3600)\n";
       return s;
     },
     StepVariants(),
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs) {
         double given = 0;
         for (const auto& r : run.Table("reservoir_i.txt")) given += r[13];
         c.push_back(Relative(name + ": reservoir's Irrig (m3)", given, run.Sum("irr_sw.stat", "1") * 1e4, 1e-3));
         c.push_back(Relative(name + ": the first step (mm; hourly x 24)",
                              run.Series("irr_sw.stat", "1").at(0) * (name == "hourly" ? 24 : 1),
                              runs.at("daily").Series("irr_sw.stat", "1").at(0), 1e-3));
       }
       return c;
     }}};

const Register kObservations{
    {"routing.observations",
     "R-square of observations constant at 5 m3/s: missing (-9999), one WARNING; of 1 ... 5 m3/s and 50 in the "
     "last two hours, over every hour: 1 - sum (sim - obs)^2 / sum (obs - mean)^2",
     [] {
       SetUp s = OneCell(3, "");
       s.ncols = 2;
       s.zone = [](int, int c) { return static_cast<double>(c); };
       s.edits = {{"none.txt\tname of spec.discharge files for\n0\tcolumn descriptors\n",
                   "obs.txt\tname of spec.discharge files for\n2\tcolumn descriptors\n1 1\n2 2\n"}};
       PerStep(s, "obs.txt", [](double, double b) { return "5 " + std::to_string(b > 46 ? 50 : 1 + int(b) % 5); });
       return s;
     },
     {},
     [](const Runs& runs) {
       const Run& run = runs.at("base");
       const std::vector<double> sim = run.Series("discharge.stat", "2");
       double d2 = 0, o = 0, o2 = 0;
       for (size_t k = 0; k < sim.size(); ++k) {
         const double obs = k + 1 > 46 ? 50 : 1 + int(k + 1) % 5;
         d2 += (sim[k] - obs) * (sim[k] - obs), o += obs, o2 += obs * obs;
       }
       const std::string text = run.Text("out/discharge.stat"), row = "\nLIN. R-SQUARE\t0\t";
       double r1 = NAN, r2 = NAN;
       if (text.find(row) != std::string::npos)
         std::sscanf(text.c_str() + text.find(row) + row.size(), "%lf %lf", &r1, &r2);
       return Checks{Absolute("subbasin 1: R-square", r1, -9999, 0),
                     Absolute("WARNINGs of a missing criterion", run.Count("written as missing"), 1, 0),
                     Absolute("subbasin 2: R-square", r2, 1 - d2 / (o2 - o * o / sim.size()), 2e-4)};
     }}};

}  // namespace
}  // namespace fluvextest::reference
