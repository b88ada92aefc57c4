// Rows of the reference table: groundwater (reference_table.h), in a second
// layer below the soil's (10 m thick, its top 3 m below the surface at 10 m,
// heads from files, no leakage unless given, solved to 1e-10 m).
#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

SetUp Layer2(int cols, double size, double k, double s, double head, CellValue fix, double kolmation) {
  SetUp u;
  u.ncols = cols, u.nrows = 11 - cols, u.cellsize = size, u.dem = [](int, int) { return 10.0; };
  u.river = [](int, int) { return -9999.0; };
  const CellValue h = [head](int, int) { return head; }, h1 = [](int, int) { return 9.0; };
  u.grids = {{"gwhead.asc", h1}, {"gwhead_old.asc", h1}, {"gwhead2.asc", h}, {"gwhead2_old.asc", h}, {"fix.asc", fix}};
  std::string grids = "17        number of standard grids\n";
  for (auto [id, v] : {std::pair{"gw_k_x_2", k},
                       {"gw_k_y_2", k},
                       {"gw_storage_coeff_2", s},
                       {"aquifer_thickness_2", 10.0},
                       {"gw_kolmation_1", kolmation},
                       {"gw_boundary_fix_q_2", -9999.0}})
    grids += std::string(id) + ".asc " + id + " fillcode = 0 readcode = 0 defaultValue = " + std::to_string(v) + "\n";
  u.edits = {{"10        number of standard grids\n", grids + "$inpath//fix.asc gw_boundary_fix_h_2 fillcode = 0\n"},
             {"1         method: over-relaxation sweeps", "1 method"},
             {"50        maxiter\n1e-4      maxerror_allowed (m)\n0.5       alpha", "5000\n1e-10\n1"},
             {"0         grid read parameter", "1         grid read parameter"},
             {"1         number of layers", "2         number of layers"},
             {"gwbalance.asc\n0\n", "gwbalance.asc\n0\ngwhead2.asc\n3\nfx2.asc\n0\nfy2.asc\n0\nb2.asc\n0\n"}};
  return u;
}

// The line solver's strip: 10 cells of 1 km from north to south, K 1e-3 m/s,
// S 1e-5 (T dt / (S dy2) = 3.6 for an hour), 15 m held in the first, 12 m
// at the start; the implicit equations solved by hand in 48 hourly steps.
const Register kStrip{{"groundwater.fixed_head_strip",
                       "each hour S A / dt (h - h_old) = T (h_north - h) + T (h_south - h), 1e-6 m, both methods",
                       [] {
                         return Layer2(
                             1, 1000, 1e-3, 1e-5, 12, [](int r, int) { return r == 1 ? 15 : -9999.0; }, 0);
                       },
                       {{"method1", nullptr}, {"method2", [](SetUp& s) { s.edits[1].second = "2 method"; }}},
                       [](const Runs& runs) {
                         const double a = 1e-5 * 1e6 / 3600, t = 1e-2;  // storage per second, transmissivity (m2/s)
                         std::vector<double> h(11, 12.0), b(11), d(11);
                         for (int step = 0; step < 48; ++step) {  // rows 2 ... 10, 15 m north of row 2
                           for (int r = 2; r <= 10; ++r) {
                             d[r] = a + t + (r < 10 ? t : 0) - (r > 2 ? t * t / d[r - 1] : 0);
                             b[r] = a * h[r] + t * (r > 2 ? b[r - 1] / d[r - 1] : 15.0);
                           }
                           for (int r = 10; r >= 2; --r) h[r] = (b[r] + (r < 10 ? t * h[r + 1] : 0)) / d[r];
                         }
                         Checks c;
                         for (const char* m : {"method1", "method2"})
                           for (int r = 2; r <= 10; ++r)
                             c.push_back(Absolute(std::string(m) + ": head (m), row " + std::to_string(r),
                                                  runs.at(m).Grid("gwhead2.asc").at(r, 1), h[r], 1e-6));
                         return c;
                       }}};

// The strip at 9.5 m, fed from the north at 15 m and leaking into the soil's
// layer (k A 1 m2/s, T 1e-2 m2/s): each hour the leakage k A (h - h1) takes
// what the faces bring, at most T (15 - h1), so with the soil's table h1 at
// most at the surface (10 m) no head lies above 10 + 0.05 m (and the two
// methods agree).
const Register kLeakyStrip{
    {"groundwater.leaky_strip_bound", "layer 2's heads <= 10 + T (15 - 10) / (k A) m; method 1 = method 2",
     [] {
       return Layer2(
           1, 1000, 1e-3, 1e-5, 9.5, [](int r, int) { return r == 1 ? 15 : -9999.0; }, 1e-6);
     },
     {{"method1", nullptr}, {"method2", [](SetUp& s) { s.edits[1].second = "2 method"; }}},
     [](const Runs& runs) {
       Checks c;
       for (const char* m : {"method1", "method2"})
         for (int r = 2; r <= 10; ++r) {
           const double h = runs.at(m).Grid("gwhead2.asc").at(r, 1);
           c.push_back(Absolute(std::string(m) + ": head (m) above 10.05, row " + std::to_string(r),
                                std::max(h, 10.05), 10.05, 1e-9));
           if (m[6] == '2')
             c.push_back(Absolute("method2 - method1 (m), row " + std::to_string(r), h,
                                  runs.at("method1").Grid("gwhead2.asc").at(r, 1), 1e-6));
         }
       return c;
     }}};

// The line solver against the sweeps where cells run dry: 10 x 10 cells
// of 1 km on a slope of 6 m a cell down to the north-west corner, where a
// head held 1 m below the layer's base drains them, K 1e-2 m/s, S 1e-4,
// starting at the layer's top, fed 1e-8 m/s in every other cell; two days.
// Cells near their base converge slowly (a pass that changes them by 1e-10 m
// leaves them 5e-5 m from the solution): both solve to 1e-13 m.
const Register kDrying{
    {"groundwater.drying_cells_methods",
     "method 2's heads = method 1's within 1e-6 m where cells on a slope run dry",
     [] {
       const CellValue dem = [](int r, int c) { return 10.0 + 6 * (r + c - 2); };
       SetUp s = Layer2(
           10, 1000, 1e-2, 1e-4, 7, [](int r, int c) { return r == 1 && c == 1 ? -4.0 : -9999.0; }, 0);
       s.nrows = 10, s.dem = dem;
       s.edits[2].second = "100000\n1e-13\n1";
       s.grids["gwhead.asc"] = s.grids["gwhead_old.asc"] = [dem](int r, int c) { return dem(r, c) - 1; };
       s.grids["gwhead2.asc"] = s.grids["gwhead2_old.asc"] = [dem](int r, int c) { return dem(r, c) - 3; };
       s.grids["fixq.asc"] = [](int r, int c) { return r == 1 && c == 1 ? -9999.0 : 1e-8; };
       s.edits.push_back(
           {"gw_boundary_fix_q_2.asc gw_boundary_fix_q_2 fillcode = 0 readcode = 0 defaultValue = -9999.000000",
            "$inpath//fixq.asc gw_boundary_fix_q_2 fillcode = 0"});
       return s;
     },
     {{"method1", nullptr}, {"method2", [](SetUp& s) { s.edits[1].second = "2 method"; }}},
     [](const Runs& runs) {
       const GridFile a = runs.at("method1").Grid("gwhead2.asc"), b = runs.at("method2").Grid("gwhead2.asc");
       Checks c;
       for (int r = 1; r <= 10; ++r)
         for (int k = 1; k <= 10; ++k)
           c.push_back(Absolute("method2 - method1 (m), row " + std::to_string(r) + ", column " + std::to_string(k),
                                b.at(r, k), a.at(r, k), 1e-6));
       return c;
     }}};

// Layer 2 starting 0.8 m above the soil's table (0.5 m deep), leaking into
// it at k 1e-6 1/s with S 0.05 (k dt / S = 1.7 for a day), four days.
const Register kLeakage{
    {"groundwater.leakage_step_lengths",
     "layer 2's storage change in daily steps (1, 4 and 24 sub-steps) = the hourly run's, within 5 %",
     [] {
       SetUp s = Layer2(
           10, 1000, 1e-4, 0.05, 10.3, [](int, int) { return -9999.0; }, 1e-6);
       s.end = {2015, 1, 5};
       return s;
     },
     {{"hourly", nullptr},
      {"daily", [](SetUp& s) { s.stepMinutes = 1440; }},
      {"daily4", [](SetUp& s) { s.stepMinutes = 1440, s.substeps = 4; }},
      {"daily24", [](SetUp& s) { s.stepMinutes = 1440, s.substeps = 24; }}},
     [](const Runs& runs) {
       auto change = [&](const std::string& v) { return 50 * (runs.at(v).Grid("gwhead2.asc").at(1, 2) - 10.3); };
       Checks c;
       for (const char* v : {"daily", "daily4", "daily24"})
         c.push_back(Relative(std::string(v) + ": layer 2's storage change (mm)", change(v), change("hourly"), 0.05));
       return c;
     }}};

// A well pumping 2e-3 m3/s from the middle of 31 x 31 cells of 100 m, the
// edge held at 12 m: Thiem's steady drawdown within the square edge's and
// the grid's few per cent (2 cells and more from the well).
const Register kThiem{
    {"groundwater.thiem_well",
     "steady drawdown s(r1) - s(r2) = Q / (2 pi T) ln(r2 / r1), Q 2e-3 m3/s, T 1e-3 m2/s, within 3 %",
     [] {
       SetUp s = Layer2(
           1, 100, 1e-4, 1e-5, 12, [](int r, int c) { return r == 1 || r == 31 || c == 1 || c == 31 ? 12.0 : -9999.0; },
           0);
       s.ncols = s.nrows = 31;
       s.grids["pump.asc"] = [](int r, int c) { return r == 16 && c == 16 ? -2e-3 / 1e4 : -9999.0; };
       s.edits.push_back(
           {"gw_boundary_fix_q_2.asc gw_boundary_fix_q_2 fillcode = 0 readcode = 0 defaultValue = -9999.000000",
            "$inpath//pump.asc gw_boundary_fix_q_2 fillcode = 0"});
       return s;
     },
     {},
     [](const Runs& runs) {
       const GridFile h = runs.at("base").Grid("gwhead2.asc");
       const double a = 2e-3 / (2 * M_PI * 1e-3);
       Checks c;
       for (auto [r1, r2] : {std::pair{2, 6}, {3, 9}})
         c.push_back(
             Relative("drawdown between " + std::to_string(r1) + " and " + std::to_string(r2) + " cells east (m)",
                      h.at(16, 16 + r2) - h.at(16, 16 + r1), a * std::log(double(r2) / r1), 0.03));
       return c;
     }}};

}  // namespace
}  // namespace fluvextest::reference
