// Rows of the reference table: evapotranspiration and interception (reference_table.h).
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

// FAO-56 Example 19 (8 m, 14-15 h): 38 deg C, 52 %, u2 3.3 m/s, Rn - G 1.574 MJ/m2 -> ETo 0.63 mm; its grass: a closed
// canopy (rsc 70, leaf area 24, no soil evaporation) with z0 such that 4.72 ln(20 / z0)^2 / (1 + 0.54 u) = 208 / u.
const double kU = 3.3, kZ0 = 20 * std::exp(-std::sqrt(208 / kU * (1 + 0.54 * kU) / 4.72)), kRn = 1.574 / 0.0036;
// The module's Penman-Monteith over `minutes`: Rn (Wh/m2) / (694.67 - 0.6589 T), w = s / g, aerodynamic term
// 0.216876 x seconds x (es - e) / (T + 273.15) / ra; the sunlit share of 2 July at 49.75 deg N (0.868296 rad),
// 1 - acos(tan(phi) tan(decl)) / pi, the declination -23.4 deg cos((doy + 10) / 58.09).
double Penman(double Rn, double minutes, double rs) {
  const double T = 38, es = 6.1078 * std::exp(17.269 * T / (237.3 + T)), p = 1013 * std::exp(-8 / (7991 + 29.33 * T));
  const double w = 25029 * std::exp(17.26 * T / 275.3) / (275.3 * 275.3) * (2500.8 - 2.372 * T) / 1.6158 / p;
  return (Rn / (694.67 - 0.6589 * T) * (1 - std::exp(-7.2)) * w + minutes * 13.01256 * es * 0.48 / 311.15 * kU / 208) /
         (w + 1 + rs * kU / 208);
}
const double kDay = 1 - std::acos(std::tan(0.868296) * std::tan(-0.408407 * std::cos(193 / 58.0915542))) / M_PI;
std::function<void(SetUp&)> With(const std::string& from, const std::string& to, int minutes = 1440) {
  return [=](SetUp& s) { s.stepMinutes = minutes, s.edits.push_back({from, to}); };
}

const Register kMethods{
    {"et.methods",
     "Penman-Monteith (rs = 70 / (1 - 0.6^24) by day, 1 / (24 x 0.0004) at night, a day by its sunlit "
     "share), Hamon 2 x 0.1651 PEC x share x 216.7 es / (T + 273.3), Wendling (93 fk + 0.36 G (1.1 - 0.2)) (22 + T) / "
     "(150 (123 + T)), Haude min(7, es(T) fh (1 - RH)) with the day's values; a day share f + a_t above 1 is 1",
     [] {
       const std::string z = std::to_string(kZ0) + " ";
       SetUp s;
       s.start = s.end = {2015, 7, 2};
       s.dem = [](int, int) { return 8.0; };
       s.off = {"radiation_correction"};
       for (auto [name, v] :
            {std::pair<const char*, double>{"temperature", 38}, {"humidity", 52}, {"wind", kU}, {"radiation", kRn}})
         s.series[name] = [v = v](const Hour&, size_t) { return v; };
       s.edits = {{"air_humidity\nglobal_radiation\n", "air_humidity\nnet_radiation\n"},
                  {"[global_radiation]", "[net_radiation]"},
                  {"radiation.stat 1024  statistics file: basin mean of each day\n9999", "radiation.stat 1024\n99999"},
                  {"rsc = 80 60 60 60 80;", "rsc = 70 70 70 70 70; rs_evaporation = 1e9 1e9 1e9 1e9 1e9;"},
                  {"LAI = 1.0 2.0 4.0 4.0 1.0;  Z0 = 0.02 0.05 0.10 0.10 0.02;  VCF = 0.8 0.9 0.95 0.95 0.8;",
                   "LAI = 24 24 24 24 24;  VCF = 1 1 1 1 1;  Z0 = " + z + z + z + z + z + ";"}};
       return s;
     },
     {{"hourly", nullptr},
      {"daily", With("2 3 4 5 6 6 6 6 5 4 3 2", "0 0 0 0 0 0 0 0 0 0 0 0")},
      {"hamon", With("1         method: Penman-Monteith", "2")},
      {"wendling", With("1         method: Penman-Monteith", "3")},
      {"haude", With("1         method: Penman-Monteith", "4")},
      {"share_one", With("0.6 0.1\n", "1.0 0\n")},
      {"share_above", With("0.6 0.1\n", "1.0 -0.1\n")}},
     [](const Runs& r) {
       auto etp = [&](const char* v, size_t k) { return r.at(v).Series("etp.stat").at(k); };
       const double day = 70 / (1 - std::pow(0.6, 24)), night = 1 / (24 * 0.0004),
                    es = 6.1078 * std::exp(17.269 * 38 / 275.3);
       return Checks{
           Relative("hourly 14-15 h against FAO-56's ETo 0.63 mm", etp("hourly", 14), 0.63, 0.02),
           Relative("hourly 14-15 h (mm)", etp("hourly", 14), Penman(kRn, 60, day), 1e-4),
           Relative("daily (mm)", etp("daily", 0),
                    kDay * Penman(24 * kRn, 1440, day) + (1 - kDay) * Penman(24 * kRn, 1440, night), 1e-4),
           Relative("hamon (mm)", etp("hamon", 0), 2 * 0.1651 * 0.3 * kDay * 216.7 * es / 311.3, 1e-4),
           Relative("wendling (mm)", etp("wendling", 0), (93 + 0.36 * 24 * kRn * 0.9) * 60 / (150 * 161.0), 1e-4),
           Relative("haude: 8.25 mm by the formula, at most 7", etp("haude", 0), 7, 1e-4),
           Absolute("haude: WARNINGs that the day's values stand in for 14 o'clock's",
                    r.at("haude").Count("takes the values at 14 o'clock, which are not given"), 1, 0),
           Relative("day share 1 + 0.1: etp of share 1 (mm)", etp("share_above", 0), etp("share_one", 0), 1e-9)};
     }}};

// A forest's wet leaves over snow (36 mm fall on 2 January; then 3 deg C, rain each morning, sun from 10 to 16 h): a
// layer gives off at most the larger of its potential transpiration P (etp less the soil's potential evaporation)
// and its wet leaves' potential eip; above the snow (12) the snow takes what the leaves' ei leaves of P.
const Register kSnowUnderLeaves{
    {"et.snow_under_wet_leaves",
     "etr <= etp + max(0, eip - P), 12: etr <= etp + max(0, ei - P); pot_transpiration0 = etp; the transmissivity "
     "of 3 January 0.7 + 0.2 cos(2 pi 13 / 365)",
     [] {
       SetUp s;
       s.start = {2015, 1, 2}, s.end = {2015, 1, 5};
       s.dem = [](int, int) { return 300.0; };  // every cell alike: the point's etp is the basin's
       s.landuse = [](int, int) { return 2.0; };
       s.series["temperature"] = [](const Hour& h, size_t) { return h.day == 2 ? -5.0 : 3.0; };
       s.series["precipitation"] = [](const Hour& h, size_t) { return h.hour > 6 ? 0.0 : h.day == 2 ? 6.0 : 0.4; };
       s.series["radiation"] = [](const Hour& h, size_t) { return h.hour > 9 && h.hour <= 16 ? 150.0 : 0.0; };
       s.edits = {{"eip.stat 0", "eip.stat 1001"}, {"evap.stat 0", "evap.stat 1001"}};
       s.points = {{"pot_transpiration0", "ETP0", 1, 1}};
       return s;
     },
     {{"2", With("$step\n1         method\n", "$step\n2 method\n", 60)},
      {"12", With("$step\n1         method\n", "$step\n12 method\n", 60)},
      // The transmissivity's yearly course a + b cos(2 pi (day + 10 + 30.5 (month - 1)) / 365) sets the clear-sky
      // radiation that the sunshine is taken from: on 3 January alone, a fixed value of it by hand gives that etp.
      {"tau_course",
       [](SetUp& s) {
         s.start = s.end = {2015, 1, 3}, s.edits.push_back({"0.7 0.05\n", "0.7 0.2\n"});
       }},
      {"tau_fixed",
       [](SetUp& s) {
         char tau[40];
         std::snprintf(tau, sizeof tau, "%.17g 0\n", 0.7 + 0.2 * std::cos(2 * M_PI * 13 / 365));
         s.start = s.end = {2015, 1, 3}, s.edits.push_back({"0.7 0.05\n", tau});
       }}},
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs) {
         const auto etp = run.Series("etp.stat"), evap = run.Series("evap.stat"), eip = run.Series("eip.stat"),
                    ei = run.Series("ei.stat"), etr = run.Series("etr.stat"), point = run.Points("ETP0", 1, 1);
         double above = 0, leaves = 0, apart = point.size() == etp.size() ? 0 : NAN;
         for (size_t k = 0; k < etp.size() && k < etr.size() && k < point.size(); ++k) {
           above = std::max(above, etr[k] - etp[k] - std::max(0.0, eip[k] - etp[k] + evap[k]));
           leaves = std::max(leaves, etr[k] - etp[k] - std::max(0.0, ei[k] - etp[k] + evap[k]));
           apart = std::max(apart, std::fabs(point[k] - etp[k]));
         }
         c.push_back(Absolute(name + ": largest excess of etr over etp + max(0, eip - P) (mm)", above, 0, 3e-5));
         if (name == "12") c.push_back(Absolute("12: largest excess over etp + max(0, ei - P) (mm)", leaves, 0, 3e-5));
         c.push_back(Absolute(name + ": largest |pot_transpiration0 at (1, 1) - etp| (mm)", apart, 0, 1e-5));
       }
       c.push_back(
           Relative("3 January's etp with the transmissivity's course, against 0.7 + 0.2 cos(2 pi 13 / 365) (mm)",
                    runs.at("tau_course").Sum("etp.stat"), runs.at("tau_fixed").Sum("etp.stat"), 1e-6));
       return c;
     }}};

}  // namespace
}  // namespace fluvextest::reference
