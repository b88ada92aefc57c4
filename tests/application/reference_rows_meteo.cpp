// Rows of the reference table: meteorological interpolation (reference_table.h).
// 5 x 4 cells of 1 km; each cell is taken at its centre x = 50 000 + 1000 (c - 0.5),
// y = 50 000 + 1000 (4.5 - r) m, at its elevation z = 200 + 100 r + 50 c m.
#include <cmath>
#include <cstdio>
#include <sstream>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

double CentreX(int c) {
  return 50000 + 1000 * (c - 0.5);
}
double CentreY(int r) {
  return 50000 + 1000 * (4.5 - r);
}
double Z(int r, int c) {
  return 200 + 100.0 * r + 50.0 * c;
}

// Three stations anywhere in their cells, their values linear in their altitudes.
const std::vector<Station> kScattered = {
    {"A", 4, 1, 250, 50300, 50400}, {"B", 3, 4, 420, 53700, 51200}, {"C", 1, 2, 610, 51500, 53800}};
double Linear(const Station& s, int hour) {
  return 15 - 0.006 * s.altitude + 0.2 * hour;
}
// Nine stations on a 1 km mesh from (50 200, 50 700); the first file holds f0, the second f1 (km from (50 000, 50
// 000)).
std::vector<Station> Mesh() {
  std::vector<Station> m;
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i)
      m.push_back({std::string(1, static_cast<char>('a' + 3 * j + i)), 4 - j, 1 + i, -9999, 50200.0 + 1000 * i,
                   50700.0 + 1000 * j});
  return m;
}
double F0(double x, double y, int hour) {
  const double X = (x - 50000) / 1000, Y = (y - 50000) / 1000;
  return 5 + X + 0.5 * Y + 0.8 * Y * Y + 0.3 * X * X + 0.2 * hour;
}
double F1(double x, double) {
  return 0.001 + 0.0002 * (x - 50000) / 1000;
}

// Inverse-square weights of the stations within reach (a station at the point counts at 1 m).
double Idw(const std::vector<Station>& st, const std::function<double(const Station&)>& v, double x, double y,
           double reach = 1e5) {
  double sw = 0, swv = 0;
  for (const Station& s : st) {
    double d2 = (s.x - x) * (s.x - x) + (s.y - y) * (s.y - y);
    if (d2 == 0) d2 = 1;
    if (d2 > reach * reach) continue;
    sw += 1 / d2;
    swv += v(s) / d2;
  }
  return sw > 0 ? swv / sw : -9999;
}
// The nearest station; among equally near ones the last (Thiessen) or the first (lapse rates).
const Station& Nearest(const std::vector<Station>& st, double x, double y, bool last) {
  size_t best = 0;
  for (size_t i = 1; i < st.size(); ++i) {
    const double d = std::hypot(st[i].x - x, st[i].y - y), b = std::hypot(st[best].x - x, st[best].y - y);
    if (d < b || (last && d == b)) best = i;
  }
  return st[best];
}
// Natural cubic spline through (t0 + k h, v_k), k = 0, 1, 2, at t: M1 = 3 (v0 - 2 v1 + v2) / (2 h^2).
double Natural3(double t0, double h, double v0, double v1, double v2, double t) {
  const double m = 3 * (v0 - 2 * v1 + v2) / (2 * h * h);
  if (t <= t0 + h) {
    const double b = (t - t0) / h;
    return (1 - b) * v0 + b * v1 + (b * b * b - b) * m * h * h / 6;
  }
  const double a = (t0 + 2 * h - t) / h;
  return a * v1 + (1 - a) * v2 + (a * a * a - a) * m * h * h / 6;
}
// The mesh's surfaces at (x, y): splines along each column, then across them; bilinear in the mesh cell.
double Spline(const std::function<double(double, double)>& f, double x, double y) {
  double v[3];
  for (int i = 0; i < 3; ++i) {
    const double cx = 50200.0 + 1000 * i;
    v[i] = Natural3(50700, 1000, f(cx, 50700), f(cx, 51700), f(cx, 52700), y);
  }
  return Natural3(50200, 1000, v[0], v[1], v[2], x);
}
double Bilinear(const std::function<double(double, double)>& f, double x, double y) {
  const double x1 = 50200 + 1000 * std::floor((x - 50200) / 1000), y1 = 50700 + 1000 * std::floor((y - 50700) / 1000);
  const double u = (x - x1) / 1000, t = (y - y1) / 1000;
  return (1 - u) * (1 - t) * f(x1, y1) + u * (1 - t) * f(x1 + 1000, y1) + (1 - u) * t * f(x1, y1 + 1000) +
         u * t * f(x1 + 1000, y1 + 1000);
}
bool InMesh(double x, double y) {
  return x >= 50200 && x <= 52200 && y >= 50700 && y <= 52700;
}
// Regression file bands (a1 b1 h1 a2 b2 h2 a3 b3) and trend (c0 cx cy), one record per step.
const double kBands[11] = {12, -0.006, 500, 10, -0.002, 700, 14.9, -0.008, 1, 2e-5, -1e-5};
double Bands(double x, double y, double z) {
  const double t = kBands[8] + kBands[9] * x + kBands[10] * y;
  return z > kBands[5]    ? t - kBands[0] + kBands[6] + kBands[7] * z
         : z >= kBands[2] ? t - kBands[0] + kBands[3] + kBands[4] * z
                          : t + kBands[1] * z;
}

// Writes into dir, from the records of temperature.dat: line(date) per record after a header.
std::string FromRecords(const std::string& dir, const std::string& file, const std::string& header,
                        const std::function<std::string(int, int, int, int)>& line) {
  std::istringstream in(ReadFile(dir + "/temperature.dat"));
  std::string text = header, l;
  for (int k = 0; std::getline(in, l); ++k) {
    int y, m, d, h;
    if (k >= 5 && std::sscanf(l.c_str(), "%d %d %d %d", &y, &m, &d, &h) == 4) text += line(y, m, d, h) + "\n";
  }
  WriteFile(dir + "/" + file, text);
  return "";
}
std::string SecondFile(const std::string& dir) {
  const std::vector<Station> m = Mesh();
  std::ostringstream head;
  head << "second\nYY MM DD HH";
  for (const Station& s : m) head << " " << Z(s.row, s.col);
  head << "\nYY MM DD HH";
  for (const Station& s : m) head << " " << s.x;
  head << "\nYY MM DD HH";
  for (const Station& s : m) head << " " << s.y;
  head << "\nnames\n";
  return FromRecords(dir, "second.dat", head.str(), [&](int y, int mo, int d, int h) {
    std::ostringstream l;
    l.precision(12);
    l << y << " " << mo << " " << d << " " << h;
    for (const Station& s : m) l << " " << F1(s.x, s.y);
    return l.str();
  });
}
std::string RegressionFile(const std::string& dir) {
  return FromRecords(dir, "regression.dat", "jr mo tg hh a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n",
                     [](int y, int m, int d, int h) {
                       char l[300];
                       std::snprintf(l, sizeof l, "%d %d %d %d %g %g %g %g %g %g %g %g %g %g %g", y, m, d, h, kBands[0],
                                     kBands[1], kBands[2], kBands[3], kBands[4], kBands[5], kBands[6], kBands[7],
                                     kBands[8], kBands[9], kBands[10]);
                       return std::string(l);
                     });
}
// Method 9: a grid a step, 3 + r + 0.1 c + 0.01 h; the cell outside the basin holds 99 in the files.
double GridValue(int r, int c, int h) {
  return 3 + r + 0.1 * c + 0.01 * h;
}
// On ncols x nrows cells; the last cell of the first row lies outside the basin.
std::string GridList(const std::string& dir, int ncols = 5, int nrows = 4) {
  return FromRecords(dir, "grids.txt", "grids\nYY MM DD HH 1\nxx xx xx xx 0\nyy yy yy yy 0\nnames\n",
                     [&](int y, int m, int d, int h) {
                       std::ostringstream name, g, line;
                       name << "g" << d << "_" << h << ".asc";
                       g << "ncols " << ncols << "\nnrows " << nrows
                         << "\nxllcorner 50000\nyllcorner 50000\ncellsize 1000\nNODATA_value -9999\n";
                       for (int r = 1; r <= nrows; ++r) {
                         for (int c = 1; c <= ncols; ++c) g << " " << (r == 1 && c == ncols ? 99 : GridValue(r, c, h));
                         g << "\n";
                       }
                       WriteFile(dir + "/" + name.str(), g.str());
                       line << y << " " << m << " " << d << " " << h << " " << name.str();
                       return line.str();
                     });
}

const std::string kTemperatureLines =
    "10        method: elevation-dependent regression from the station data\n$inpath//temperature.dat\n"
    "1000 1200 50 0 20    lower inversion, upper inversion, tolerance, overlap, cluster range";
const std::string kPrecipitationLines =
    "1         method: inverse distance weighting\n$inpath//precipitation.dat\n"
    "none      regression file (not used by this method)";
const int kCells[][2] = {{2, 1}, {3, 2}, {4, 4}, {1, 3}, {2, 4}, {4, 3}};

SetUp Basin(int ncols = 5, int nrows = 4) {
  SetUp s;
  s.ncols = ncols;
  s.nrows = nrows;
  s.zone = [ncols](int r, int c) { return r == 1 && c == ncols ? -9999.0 : 1.0; };
  s.dem = Z;
  s.start = s.end = {2015, 1, 2};
  s.stations = kScattered;
  s.series["temperature"] = [](const Hour& h, size_t i) { return Linear(kScattered[i], h.hour); };
  for (const auto& cell : kCells) s.points.push_back({"temperature", "T", cell[0], cell[1]});
  return s;
}

// A method of the temperature section: its lines after the method number, the mesh stations or the scattered
// ones, further files.
Variant Method(const std::string& name, const std::string& lines, bool mesh = false, Maker make = nullptr,
               const std::string& reach = "") {
  return {name, [=](SetUp& s) {
            s.edits.push_back({kTemperatureLines, lines});
            if (!reach.empty())
              s.edits.push_back({"100000    maximum distance (m)", reach + "    maximum distance (m)"});
            if (mesh) {
              s.stations = Mesh();
              s.series["temperature"] = [](const Hour& h, size_t i) { return F0(Mesh()[i].x, Mesh()[i].y, h.hour); };
            }
            s.make = make;
          }};
}

const Register kMethods{
    {"meteo.methods",
     "each method at the cell centre: 1 idw sum(v/d2)/sum(1/d2) (within the maximum distance, else missing), 2 the "
     "regression file's band(z) + trend - a1, 3 0.5 idw + 0.5 regression, 4 the nearest station, 5 bilinear in the "
     "mesh cell, 6 bilinear f0 + z bilinear f1, 7 natural splines along the mesh columns and across them, 8 spline "
     "f0 + z spline f1, beyond the mesh idw f0 + z idw f1, 9 the grid of the step, 10 the stations' lapse line "
     "15 - 0.006 z + 0.2 h, 11 0.5 idw + 0.5 lapse line, 12 the nearest station + (z - its altitude) rate (one rate; "
     "-0.0065 up to 600 m and 0.002 above)",
     [] { return Basin(); },
     {Method("idw", "1  method\n$inpath//temperature.dat\nnone"),
      Method("idw_reach", "1  method\n$inpath//temperature.dat\nnone", false, nullptr, "1500  "),
      Method("regression_file", "2  method\n$inpath//temperature.dat\nregression.dat", false, RegressionFile),
      Method("idw_regression", "3  method\n$inpath//temperature.dat\nregression.dat", false, RegressionFile),
      Method("nearest", "4  method\n$inpath//temperature.dat\nnone"),
      Method("bilinear", "5  method\n$inpath//temperature.dat\nnone", true),
      Method("bilinear_second", "6  method\n$inpath//temperature.dat\nsecond.dat\nnone", true, SecondFile),
      Method("spline", "7  method\n$inpath//temperature.dat\nnone", true),
      Method("spline_second", "8  method\n$inpath//temperature.dat\nsecond.dat\nnone", true, SecondFile),
      Method("grids", "9  method\ngrids.txt\n8.9e-5 0.0767 127 6e-6 0.098", false,
             [](const std::string& dir) { return GridList(dir); }),
      Method("edr", "10 method\n$inpath//temperature.dat\n1000 1200 50 0 20"),
      Method("idw_edr", "11 method\n$inpath//temperature.dat\n1000 1200 50 0 20"),
      Method("lapse", "12 method\n$inpath//temperature.dat\n-0.0065 lapse rate"),
      Method("lapse_inversion", "12 method\n$inpath//temperature.dat\n-0.0065 600 0.002")},
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs) {
         for (const auto& cell : kCells) {
           const int r = cell[0], col = cell[1];
           const double x = CentreX(col), y = CentreY(r), z = Z(r, col);
           const std::vector<double> got = run.Points("T", r, col);
           for (int hour : {1, 2, 12}) {
             const auto linear = [&](const Station& s) { return Linear(s, hour); };
             const auto f0 = [&](double px, double py) { return F0(px, py, hour); };
             const auto f0s = [&](const Station& s) { return F0(s.x, s.y, hour); };
             const auto f1s = [&](const Station& s) { return F1(s.x, s.y); };
             const std::vector<Station> mesh = Mesh();
             double want = NAN;
             if (name == "idw") want = Idw(kScattered, linear, x, y);
             if (name == "idw_reach") want = Idw(kScattered, linear, x, y, 1500);
             if (name == "regression_file") want = Bands(x, y, z);
             if (name == "idw_regression") want = 0.5 * Idw(kScattered, linear, x, y) + 0.5 * Bands(x, y, z);
             if (name == "nearest") want = linear(Nearest(kScattered, x, y, true));
             if (name == "bilinear") want = InMesh(x, y) ? Bilinear(f0, x, y) : Idw(mesh, f0s, x, y);
             if (name == "bilinear_second")
               want = InMesh(x, y) ? Bilinear(f0, x, y) + z * Bilinear(F1, x, y)
                                   : Idw(mesh, f0s, x, y) + z * Idw(mesh, f1s, x, y);
             if (name == "spline") want = InMesh(x, y) ? Spline(f0, x, y) : Idw(mesh, f0s, x, y);
             if (name == "spline_second")
               want = InMesh(x, y) ? Spline(f0, x, y) + z * Spline(F1, x, y)
                                   : Idw(mesh, f0s, x, y) + z * Idw(mesh, f1s, x, y);
             if (name == "grids") want = GridValue(r, col, hour);
             if (name == "edr") want = 15 - 0.006 * z + 0.2 * hour;
             if (name == "idw_edr") want = 0.5 * Idw(kScattered, linear, x, y) + 0.5 * (15 - 0.006 * z + 0.2 * hour);
             const Station& near = Nearest(kScattered, x, y, false);
             if (name == "lapse") want = linear(near) + (z - near.altitude) * -0.0065;
             // Below 600 m -0.0065, above 0.002 per m, from the station's altitude through 600 m to the cell's.
             const double below = -0.0065, above = 0.002, h = 600, a = near.altitude;
             if (name == "lapse_inversion")
               want = linear(near) + (h < a ? (z <= h ? (z - h) * below + (h - a) * above : (z - a) * above)
                                            : (z > h ? (z - h) * above + (h - a) * below : (z - a) * below));
             char what[120];
             std::snprintf(what, sizeof what, "%s: cell (%d, %d) at %d h", name.c_str(), r, col, hour);
             c.push_back(Absolute(what, got.size() >= 24 ? got[hour - 1] : NAN, want, 1e-4));
           }
         }
       }
       return c;
     }}};

// Method 12 for precipitation: a dry nearest station leaves the cell dry at any height, after one rate as
// after three values; wet ones add (z - altitude) 0.0005 mm/m.
const Register kPType{
    {"meteo.lapse_dry_station",
     "precipitation = 0 where the nearest station (the first of equally near ones) has 0, else its value + (z - its "
     "altitude) 0.0005; odd hours: A 0, B 2, C 1 mm, even hours all 0",
     [] {
       SetUp s = Basin();
       s.series["precipitation"] = [](const Hour& h, size_t i) {
         return h.hour % 2 == 0 ? 0.0 : i == 0 ? 0.0 : 3.0 - i;
       };
       s.points.clear();
       for (const auto& cell : kCells) s.points.push_back({"precipitation", "P", cell[0], cell[1]});
       return s;
     },
     {{"one_rate",
       [](SetUp& s) {
         s.edits = {{kPrecipitationLines, "12  method\n$inpath//precipitation.dat\n0.0005 P-type"}};
       }},
      {"three_values",
       [](SetUp& s) {
         s.edits = {{kPrecipitationLines, "12  method\n$inpath//precipitation.dat\n0.0005 -9999 0.0005 P-type"}};
       }}},
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs)
         for (const auto& cell : kCells) {
           const int r = cell[0], col = cell[1];
           const Station& near = Nearest(kScattered, CentreX(col), CentreY(r), false);
           const std::vector<double> got = run.Points("P", r, col);
           for (int hour : {1, 2, 3}) {
             const double v = hour % 2 == 0 || near.name == "A" ? 0.0 : near.name == "B" ? 2.0 : 1.0;
             char what[120];
             std::snprintf(what, sizeof what, "%s: cell (%d, %d) at %d h", name.c_str(), r, col, hour);
             c.push_back(Absolute(what, got.size() >= 24 ? got[hour - 1] : NAN,
                                  v > 0 ? v + (Z(r, col) - near.altitude) * 0.0005 : 0, 1e-4));
           }
         }
       return c;
     }}};

// The grids written on 1, 2 and 3 instances: the same bytes; outside the basin missing.
const Register kLayouts{
    {"meteo.layouts",
     "the daily grids of temperature (method 9) and precipitation (idw) on 2 and 3 instances = those on 1, byte for "
     "byte; the cell outside the basin (its grid file holds 99) is -9999 on each",
     [] {
       SetUp s = Basin(16, 12);  // wide enough for three instances' strips
       s.points.clear();
       s.edits = {{kTemperatureLines, "9  method\ngrids.txt\n8.9e-5 0.0767 127 6e-6 0.098"}};
       s.make = [](const std::string& dir) { return GridList(dir, 16, 12); };
       s.series["precipitation"] = [](const Hour& h, size_t i) { return 0.5 * i + 0.1 * h.hour; };
       return s;
     },
     {{"np1", nullptr}, {"np2", [](SetUp& s) { s.instances = 2; }}, {"np3", [](SetUp& s) { s.instances = 3; }}},
     [](const Runs& runs) {
       Checks c;
       const Run& one = runs.at("np1");
       for (const auto& [name, run] : runs)
         for (const std::string grid : {"out/temp_20150102.024", "out/prec_1501.02s"}) {
           c.push_back(Absolute(name + ": " + grid + " differs from one instance's",
                                run.Text(grid) == one.Text(grid) ? 0 : 1, 0, 0));
           if (grid[4] == 't')
             c.push_back(Absolute(name + ": the cell outside the basin", run.Grid(grid.substr(4)).at(1, 16), -9999, 0));
         }
       return c;
     }}};

}  // namespace
}  // namespace fluvextest::reference
