// Rows of the reference table: meteorological interpolation (reference_table.h).
#include <cmath>
#include <cstdio>
#include <sstream>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

// 16 x 12 cells of 1 km (row 1 outside the basin), each taken at its centre, at z = 200 + 20 r + 50 c m. Nine
// stations i on a 1 km mesh from (50 200, 50 700); their altitudes, temperatures and radiation (the second file
// of methods 6 and 8) are planes in x and y, which splines and bilinear surfaces reproduce; precipitation is
// 1 + 0.1 i at even stations in odd hours, else 0.
const auto X = [](int c) { return 49500 + 1000.0 * c; };
const auto Y = [](int r) { return 62500 - 1000.0 * r; };
const auto Z = [](int r, int c) { return 200 + 20.0 * r + 50.0 * c; };
const auto Sx = [](size_t i) { return 50200.0 + 1000 * (i % 3); };
const auto Sy = [](size_t i) { return 50700.0 + 1000 * (i / 3); };
const auto Altitude = [](double x, double y) { return 300 + 0.1 * (x - 50200) + 0.05 * (y - 50700); };
const auto T = [](double x, double y, int h) { return 15 - 0.006 * Altitude(x, y) + 0.2 * h; };
const auto Second = [](double x, double y) { return 0.001 + 2e-7 * (x - 50200) + 1e-7 * (y - 50700); };
const auto P = [](size_t i, int h) { return h % 2 == 0 || i % 2 ? 0 : 1 + 0.1 * i; };
const auto Grid = [](int r, int c, int h) { return r == 1 && c == 16 ? 99 : 3 + r + 0.1 * c + 0.01 * h; };
const int kCells[][2] = {{10, 1}, {11, 2}, {12, 4}, {9, 3}, {10, 4}, {12, 3}, {2, 14}};

double Idw(const std::function<double(double, double)>& v, double x, double y, double reach = 1e5) {
  double sw = 0, swv = 0;
  for (size_t i = 0; i < 9; ++i) {
    const double d2 = std::pow(Sx(i) - x, 2) + std::pow(Sy(i) - y, 2);
    if (d2 <= reach * reach) sw += 1 / d2, swv += v(Sx(i), Sy(i)) / d2;
  }
  return sw > 0 ? swv / sw : -9999;
}
// The nearest station: the last of equally near ones (Thiessen) or the first (lapse rates).
size_t Nearest(double x, double y, bool last) {
  size_t best = 0;
  for (size_t i = 1; i < 9; ++i) {
    const double d = std::hypot(Sx(i) - x, Sy(i) - y), b = std::hypot(Sx(best) - x, Sy(best) - y);
    if (d < b || (last && d == b)) best = i;
  }
  return best;
}
// The regression file's bands (a1 b1 h1 a2 b2 h2 a3 b3) and trend (c0 cx cy).
const double kB[11] = {12, -0.006, 500, 10, -0.002, 600, 14.9, -0.008, 1, 2e-5, -1e-5};
double Bands(double x, double y, double z) {
  const double t = kB[8] + kB[9] * x + kB[10] * y;
  return z > kB[5] ? t - kB[0] + kB[6] + kB[7] * z : z >= kB[2] ? t - kB[0] + kB[3] + kB[4] * z : t + kB[1] * z;
}
// The regression file and method 9's grid list of 1 to 3 January (its grids hold 99 outside the basin).
std::string Files(const std::string& dir) {
  std::ostringstream regression, list;
  regression << "jr mo tg hh\n";
  list << "g\nYY MM DD HH 1\nxx xx xx xx 0\nyy yy yy yy 0\nn\n";
  for (int d = 1; d <= 3; ++d)
    for (int h = 1; h <= 24; ++h) {
      std::ostringstream name, g;
      name << "g" << d << "_" << h << ".asc";
      g << "ncols 16\nnrows 12\nxllcorner 50000\nyllcorner 50000\ncellsize 1000\n";
      for (int k = 0; k < 192; ++k) g << Grid(k / 16 + 1, k % 16 + 1, h) << (k % 16 == 15 ? '\n' : ' ');
      WriteFile(dir + "/" + name.str(), g.str());
      list << "2015 1 " << d << " " << h << " " << name.str() << "\n";
      regression << "2015 1 " << d << " " << h;
      for (double b : kB) regression << " " << b;
      regression << "\n";
    }
  WriteFile(dir + "/regression.dat", regression.str());
  WriteFile(dir + "/grids.txt", list.str());
  return "";
}

// A variant: the method's lines of [temperature] ([precipitation] for "dry"), on 1 to 3 instances; method 9
// carries a tracer, whose end grids are compared on every layout too.
Variant Method(const std::string& name, const std::string& lines, int instances = 1) {
  return {
      name, [=](SetUp& s) {
        s.edits.push_back({name.rfind("dry", 0) == 0
                               ? "1         method: inverse distance weighting\n$inpath//precipitation.dat\nnone      "
                                 "regression file (not used by this method)"
                               : "10        method: elevation-dependent regression from the station "
                                 "data\n$inpath//temperature.dat\n1000 1200 50 0 20    lower inversion, upper "
                                 "inversion, tolerance, overlap, cluster range",
                           lines});
        if (name == "idw_reach") s.edits.push_back({"100000    maximum", "1500      maximum"});
        if (name.rfind("grids", 0) == 0)
          s.edits.insert(
              s.edits.end(),
              {{"[substance_transport]\n0         number of tracers",
                "[substance_transport]\n1\nOxygen non_radioactive evaporating min_conc = 0 max_conc = 1000 "
                "mg/l soilini = 5 gwini = 5 statcode = 0 gridcode = 3 path = ./ statext = sta gridext = asc"},
               {"7         number of variable grids\n",
                "8         number of variable grids\ncin1.asc concflux_tracer_1_input 0 5\n0\n0\n"}});
        s.instances = instances;
      }};
}
const std::string kT = "  method\n$inpath//temperature.dat\n";

const Register kMethods{
    {"meteo.methods",
     "at cell centres: idw sum(v/d2)/sum(1/d2) (within 1500 m), the regression file's bands and trend, 0.5 idw + 0.5 "
     "regression, the nearest station, bilinear and spline surfaces (+ z times the second file's; beyond the mesh "
     "idw, + z idw second), the step's grid, the lapse line, 0.5 idw + 0.5 lapse line, nearest (first) + (z - "
     "altitude) -0.0065 (0.002 above 600 m); precipitation 0 where the nearest station has 0, with one rate 0.0005 "
     "as with three values; grids on 2 and 3 instances = on 1, -9999 outside the basin",
     [] {
       SetUp s;
       s.ncols = 16;
       s.nrows = 12;
       s.zone = [](int r, int) { return r == 1 ? -9999.0 : 1.0; };
       s.dem = Z;
       s.start = s.end = {2015, 1, 2};
       s.stations.clear();
       for (size_t i = 0; i < 9; ++i)
         s.stations.push_back(
             {std::string(1, 'a' + i), 12 - int(i / 3), 1 + int(i % 3), Altitude(Sx(i), Sy(i)), Sx(i), Sy(i)});
       s.series["temperature"] = [](const Hour& h, size_t i) { return T(Sx(i), Sy(i), h.hour); };
       s.series["precipitation"] = [](const Hour& h, size_t i) { return P(i, h.hour); };
       s.series["radiation"] = [](const Hour&, size_t i) { return Second(Sx(i), Sy(i)); };
       for (const auto& cell : kCells)
         for (const char* id : {"temperature", "precipitation"}) s.points.push_back({id, id, cell[0], cell[1]});
       s.make = Files;
       return s;
     },
     {Method("idw", "1" + kT + "none"), Method("idw_reach", "1" + kT + "none"),
      Method("regression", "2" + kT + "regression.dat"), Method("idw_regression", "3" + kT + "regression.dat"),
      Method("nearest", "4" + kT + "none"), Method("bilinear", "5" + kT + "none"),
      Method("bilinear_second", "6" + kT + "$inpath//radiation.dat\nnone"), Method("spline", "7" + kT + "none"),
      Method("spline_second", "8" + kT + "$inpath//radiation.dat\nnone"),
      Method("grids", "9\ngrids.txt\n8.9e-5 0.0767 127 6e-6 0.098"),
      Method("grids_np2", "9\ngrids.txt\n8.9e-5 0.0767 127 6e-6 0.098", 2),
      Method("grids_np3", "9\ngrids.txt\n8.9e-5 0.0767 127 6e-6 0.098", 3),
      Method("edr", "10" + kT + "1000 1200 50 0 20"), Method("idw_edr", "11" + kT + "1000 1200 50 0 20"),
      Method("lapse", "12" + kT + "-0.0065"), Method("lapse_inversion", "12" + kT + "-0.0065 600 0.002"),
      Method("dry_one_rate", "12\n$inpath//precipitation.dat\n0.0005 P-type"),
      Method("dry_three_values", "12\n$inpath//precipitation.dat\n0.0005 -9999 0.0005 P-type")},
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs) {
         const bool dry = name.rfind("dry", 0) == 0;
         for (const auto& [r, col] : kCells) {
           const double x = X(col), y = Y(r), z = Z(r, col),
                        a = Altitude(Sx(Nearest(x, y, false)), Sy(Nearest(x, y, false)));
           const bool mesh = x >= 50200 && x <= 52200 && y >= 50700 && y <= 52700;
           const std::vector<double> got = run.Points(dry ? "precipitation" : "temperature", r, col);
           for (int h : {1, 2, 12}) {
             const auto t = [h](double px, double py) { return T(px, py, h); };
             const double idw = Idw(t, x, y), second = mesh ? Second(x, y) : Idw(Second, x, y);
             const double surface = mesh ? T(x, y, h) : idw, line = 15 - 0.006 * z + 0.2 * h;
             const double p = P(Nearest(x, y, false), h),
                          near = T(Sx(Nearest(x, y, false)), Sy(Nearest(x, y, false)), h);
             const std::map<std::string, double> want = {
                 {"idw", idw},
                 {"idw_reach", Idw(t, x, y, 1500)},
                 {"regression", Bands(x, y, z)},
                 {"idw_regression", 0.5 * idw + 0.5 * Bands(x, y, z)},
                 {"nearest", T(Sx(Nearest(x, y, true)), Sy(Nearest(x, y, true)), h)},
                 {"bilinear", surface},
                 {"bilinear_second", surface + z * second},
                 {"spline", surface},
                 {"spline_second", surface + z * second},
                 {"grids", Grid(r, col, h)},
                 {"edr", line},
                 {"idw_edr", 0.5 * idw + 0.5 * line},
                 {"lapse", near + (z - a) * -0.0065},
                 {"lapse_inversion", near + (std::min(z, 600.0) - std::min(a, 600.0)) * -0.0065 +
                                         (std::max(z, 600.0) - std::max(a, 600.0)) * 0.002},
                 {"dry", p > 0 ? p + (z - a) * 0.0005 : 0}};
             char what[120];
             std::snprintf(what, sizeof what, "%s: cell (%d, %d) at %d h", name.c_str(), r, col, h);
             c.push_back(Absolute(what, got.size() >= 24 ? got[h - 1] : NAN,
                                  want.at(dry ? "dry" : name.substr(0, name.find("_np"))), 1e-4));
           }
         }
         for (const std::string grid : {"temp_20150102.024", "prec_1501.02s", "oxyinter.asc", "oxysnow_.asc"})
           if (name.rfind("grids", 0) == 0) {
             const bool same = run.Text("out/" + grid) == runs.at("grids").Text("out/" + grid);
             c.push_back(Absolute(name + ": " + grid + " differs from one instance's", same ? 0 : 1, 0, 0));
             c.push_back(Absolute(name + ": " + grid + " outside the basin", run.Grid(grid).at(1, 16), -9999, 0));
           }
       }
       return c;
     }}};

}  // namespace
}  // namespace fluvextest::reference
