// Rows of the reference table: snow, glaciers and permafrost (reference_table.h),
// on a flat raster of 1 km cells, the snow without the surface modules.
#include <algorithm>
#include <filesystem>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {
namespace {

const double kT0 = 273.16;
using Sets = std::function<void(SetUp&)>;

// Cold and snowy (2 mm/h) on 2 and 3 January, then dry at warm deg C, with
// the changes given; state grids of doubles.
SetUp Snow(double warm, const Sets& change = nullptr) {
  SetUp s;
  s.end = {2015, 1, 5};
  s.dem = [](int, int) { return 300.0; };
  s.off = {"unsatzon_model", "groundwater_flow", "SurfaceRoutingModel", "routing_model", "interception_model"};
  s.series["temperature"] = [warm](const Hour& h, size_t) { return h.year == 2015 && h.day <= 3 ? -5 : warm; };
  s.series["precipitation"] = [](const Hour& h, size_t) { return h.year == 2015 && h.day <= 3 ? 2.0 : 0.0; };
  s.edits = {{"sout.asc\n0\n", "sout.asc\n10\n"},
             {"ssolid.asc\n0\n", "ssolid.asc\n3\n"},
             {"WriteAsciiGrids = 1", "WriteAsciiGrids = 0\nWriteDoubleGrids = 1"}};
  if (change) change(s);
  return s;
}
// The snow state read at the start: solid mm at 0 deg C (warm: with the
// glacier state of the run before).
void SnowState(SetUp& s, double solid, bool warm = false) {
  s.edits.push_back({"0         readgrid: the snow cover starts empty",
                     warm ? "1         readgrid: the snow state of the run before" : "1         readgrid"});
  for (const char* g : {"ssolid", "sliquid", "stotal", "sdays", "sage", "stemp", "surft"})
    s.grids[std::string(g) + ".asc"] = [g, solid](int, int) { return g[1] == 't' ? kT0 : g[1] == 's' ? solid : 0.0; };
}
// Snow method 5; dynamic glaciers (method m, updated at the end of day d of
// January) on the cells given, with edits of their section.
SetUp Glaciers(SetUp s, int m, int d, std::vector<DynamicGlacierCell> cells, Edits edits) {
  s.edits.push_back(kEnergyBalanceSlides[1]);
  s.edits.push_back({"1         method: degree-day", "5         method"});
  s.make = Chained({[](const std::string& dir) {
                      return EditIn(dir + "/control.txt", {{"sb2.stat 2001", "sb2.stat 2024"}});
                    },
                    DynamicGlaciersOn(m, d, false, cells, 0, 0),
                    [edits](const std::string& dir) { return EditIn(dir + "/control.txt", edits); }});
  return s;
}
double GlacierArea(const Run& run) {  // km2
  const GridFile f = run.Grid("gfrac_end.asc"), k = run.Grid("gcode_end.asc");
  double a = 0;
  for (size_t i = 0; i < f.values.size(); ++i) a += f.values[i] > 0 && k.values[i] >= 0 ? f.values[i] : 0.0;
  return a;
}
// The area after melt mm of ice over the glacier of the area: V = c A^1.36.
double Target(double area, double melt, double c) {
  return std::pow((c * std::pow(area, 1.36) - melt / 0.85 / 1000 * area) / c, 1 / 1.36);
}
double LargestApart(const GridFile& a, const GridFile& b) {
  double d = a.values.empty() || a.values.size() != b.values.size() ? NAN : 0;
  for (size_t i = 0; i < a.values.size() && i < b.values.size(); ++i)
    d = std::max(d, std::fabs(a.values[i] - b.values[i]));
  return d;
}

// Without holding capacity a pack's outflow is its melt; its 4 days count
// as snow-free (Max_SWE_SnowFree 1000 mm) for the thaw depth.
const Register kDegreeDay{
    {"snow.degree_day_melt", "melt = C0 (T - T0) = 2.5 x 4 mm a day of 2 warm days; thaw depth = 0.1 m x sqrt(4 days)",
     [] {
       return Snow(4, [](SetUp& s) {
         s.edits.push_back({"0.1       CWH", "0         CWH"});
         s.edits.push_back(
             {"[special_output]\n", "[permafrost]\n1\n5\n1000\nthaw.stat 1001\n1e-7\n\n[special_output]\n"});
         s.grids = {{"thaw.asc", [](int, int) { return 0.1; }}, {"depth.asc", [](int, int) { return 0.0; }}};
         s.make = [](const std::string& dir) {
           return AddStandardGrids(
               dir,
               "$inpath//thaw.asc ThawCoeffPermaFrost fillcode = 0 readcode = 1\n$inpath//depth.asc "
               "PermafrostThawDepth writecode = 3 outname = depth.asc fillcode = 0 readcode = 1\n");
         };
       });
     },
     StepVariants(),
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs) {
         c.push_back(Relative(name + ": snow outflow (mm)", run.Grid("sout.sum").values[0], 2 * 2.5 * 4, 1e-9));
         c.push_back(Relative(name + ": thaw depth (m)", run.Grid("depth.asc").values[0], 0.1 * 2, 1e-9));
       }
       return c;
     }}};

// 100 mm at 0 C under 4 deg C, 90 %, 2 m/s and no sun (cloudiness 0.5 at
// night, 0.997 by day) melt Q x 3600 s / 337 500 J/kg an hour where
// Q = longwave in - out + sensible + latent + 1 W/m2 > 0, in a dry pack
// (CWH 0) as in one holding its water (5 mm, CWH 0.5).
const Register kEnergyBalance{
    {"snow.energy_balance_melt",
     "melt = energy / latent heat of fusion in a dry and in a wet pack",
     [] {
       return Snow(4, [](SetUp& s) {
         s.start = {2015, 1, 4};
         s.series["humidity"] = [](const Hour&, size_t) { return 90.0; };
         s.edits.push_back(kEnergyBalanceSlides[1]);
         s.edits.push_back({"1         method: degree-day", "5         method"});
         s.edits.push_back({"0.6 0.1\n", "0.6 0.1\ncloud.stat 1001\n"});
         SnowState(s, 100);
       });
     },
     {{"dry",
       [](SetUp& s) {
         s.edits.push_back({"0.1       CWH", "0         CWH"});
       }},
      {"wet",
       [](SetUp& s) {
         s.edits.push_back({"0.1       CWH", "0.5       CWH"});
         s.grids["sliquid.asc"] = [](int, int) { return 5.0; };
       }}},
     [](const Runs& runs) {
       const double TK = kT0 + 4, fu = 0.18 + 0.098 * 2, ea = 0.9 * 6.1078 * std::exp(17.08085 * 4 / (4 + 234.175));
       Checks c;
       for (const auto& [name, run] : runs) {
         double melt = 0;
         for (double N : run.Series("cloud.stat")) {
           N = N < 0.75 ? 0.5 : 0.997;  // (printed 0.50 or 1.00)
           const double k = N < 0.6 ? 0.17 : 0.2;
           melt += std::max(0.0, 5.67e-8 * (std::pow(TK, 4) * (0.61 + 0.05 * std::sqrt(ea)) * (1 + k * N * N) -
                                            std::pow(kT0, 4)) +
                                     fu * 18.85 * 4 + fu * 32.82 * (ea - 6.1071) + 1) *
                   3600 / 337500;
         }
         c.push_back(Relative(name + ": melt (mm)", 100 - run.Grid("ssolid.asc").values[0], melt, 1e-9));
       }
       return c;
     }}};

// A cell without glacier, a wholly glacierized one and one at 0.99 (glacier
// method 13) in the sun of 4 and 5 January keep the same snow.
const Register kAlbedo{
    {"snow.glacier_part_albedo",
     "the glacier part's snow has its own albedo: snow left at g 1 = at g 0.99 = at g 0",
     [] {
       SetUp s = Glaciers(Snow(3), 13, 31, {{1, 2, 1.0, 1, 1}, {1, 3, 0.99, 2, 1}}, {});
       s.series["radiation"] = [](const Hour& h, size_t) { return h.hour > 9 && h.hour < 16 ? 600.0 : 0.0; };
       return s;
     },
     {},
     [](const Runs& runs) {
       const GridFile open = runs.at("base").Grid("ssolid.asc"), glacier = runs.at("base").Grid("sgsolid.asc");
       return Checks{Relative("solid snow at g 1 (mm)", glacier.values[1], open.values[0], 1e-9),
                     Relative("solid snow at g 0.99 (mm)", glacier.values[2], open.values[0], 1e-9)};
     }}};

// Ice melts 6 mm/K a day (no snow, no firn) on a 5 x 5 glacier with a rim
// at 0.1: at 10 deg C until the update of 30 January 2015 (29 days), at
// 0.5 deg C until that of 2016 (365 days); c = 2.85.
SetUp TwoYears() {
  SetUp s = Snow(0.5, [](SetUp& s) {
    s.nrows = s.ncols = 7;
    s.stepMinutes = 1440;
    s.end = {2016, 1, 31};
    s.series["temperature"] = [](const Hour& h, size_t) {
      return h.year == 2015 && h.month == 1 && h.day <= 30 ? 10 : 0.5;
    };
    s.series["precipitation"] = [](const Hour&, size_t) { return 0.0; };
  });
  std::vector<DynamicGlacierCell> cells;
  for (int r = 2; r <= 6; ++r)
    for (int c = 2; c <= 6; ++c) cells.push_back({r, c, r == 2 || r == 6 || c == 2 || c == 6 ? 0.1 : 1.0, 1, 1});
  return Glaciers(s, 11, 30, cells, {{"0.01 1.36 2 0", "2.85 1.36 2 0"}});
}
const Register kVolumeArea{
    {"snow.volume_area_target",
     "area after each yearly update = (V / c)^(1 / gamma), V = c A^gamma + balance / 0.85",
     TwoYears,
     {{"one", nullptr},
      {"first",
       [](SetUp& s) {
         s.end = {2015, 12, 31};
       }}},
     [](const Runs& runs) {
       // The second year again in a warm start from the first run's state.
       SetUp w = TwoYears();
       w.start = {2016, 1, 1};
       SnowState(w, 0, true);
       w.make = Chained({w.make, [from = runs.at("first").dir](const std::string& dir) {
                           for (const auto& f : std::filesystem::directory_iterator(from + "/out"))
                             if (f.is_regular_file())
                               std::filesystem::copy_file(f.path(), dir + "/" + f.path().filename().string(),
                                                          std::filesystem::copy_options::overwrite_existing);
                           return std::string();
                         }});
       const double a1 = Target(10.6, 6 * 10 * 29, 2.85);
       return Checks{
           Absolute("area after the first update (km2)", GlacierArea(runs.at("first")), a1, 1e-4),
           Absolute("area after the second (km2)", GlacierArea(runs.at("one")), Target(a1, 6 * 0.5 * 365, 2.85), 1e-4),
           Absolute("warm start's largest share apart from one run's",
                    LargestApart(runs.at("one").Grid("gfrac_end.asc"), RunSetUp(w, "snow_warm").Grid("gfrac_end.asc")),
                    0, 1e-9)};
     }}};

// 5 km2 of ice (c = 28.5) under 10 deg C from 4 January, updated at the end
// of 30 January, the first day of a two-day step: the step's melt, 27 days
// (28 in two-day steps), then no more update.
const Register kTwoDayUpdate{
    {"snow.update_in_a_two_day_step", "one update, in the step that holds the evaluation day; area (V / c)^(1 / gamma)",
     [] {
       SetUp s = Snow(10, [](SetUp& s) {
         s.end = {2015, 2, 2};
         s.series["precipitation"] = [](const Hour&, size_t) { return 0.0; };
       });
       return Glaciers(s, 11, 30, {{1, 3, 1, 1, 1}, {1, 4, 1, 1, 1}, {1, 5, 1, 1, 1}, {1, 6, 1, 1, 1}, {1, 7, 1, 1, 1}},
                       {{"0.01 1.36 2 0", "28.5 1.36 2 0"}});
     },
     StepVariants(),
     [](const Runs& runs) {
       Checks c;
       for (const auto& [name, run] : runs) {
         c.push_back(Absolute(name + ": updates", run.Count("glaciers changed, updating"), 1, 0));
         c.push_back(Absolute(name + ": area (km2)", GlacierArea(run),
                              Target(5, 60 * (name == "twodays" ? 28 : 27), 28.5), 1e-4));
       }
       return c;
     }}};

// 50 mm of snow on the fourth row (glacierized by the update of 2 January,
// above 10 mm) and on a cell at g 0.2: the groundwater's faces between the
// third row and the fourth (each on its instance) take the new shares on
// either side; the cell at 0.2 keeps 10 mm, its glacier part takes the
// rest E as E (1 - g) / g and books it in its balance (mm over that part).
const Register kUpdateCells{
    {"snow.update_at_an_instance_border",
     "heads on 2 instances = on 1; balance = the firn the excess snow made",
     [] {
       SetUp s = Snow(-5, [](SetUp& s) {
         s.nrows = s.ncols = 6;
         s.off = {"SurfaceRoutingModel", "routing_model", "interception_model"};
         s.series["precipitation"] = [](const Hour&, size_t) { return 0.0; };
         s.edits.push_back({"gwhead.asc\n0\n", "gwhead.asc\n3\n"});
       });
       s = Glaciers(s, 11, 2, {{1, 1, 1.0, 1, 1}, {6, 6, 0.2, 2, 1}},
                    {{"150 0.25", "10 0.25"}, {"0.01 1.36 2 0", "28.5 1.36 0 0"}});
       SnowState(s, 0);
       s.grids["ssolid.asc"] = s.grids["stotal.asc"] = [](int r, int c) { return r == 4 || c * r == 36 ? 50.0 : 0.0; };
       return s;
     },
     {{"one", nullptr}, {"two", [](SetUp& s) { s.instances = 2; }}},
     [](const Runs& runs) {
       const Run& one = runs.at("one");
       return Checks{
           Absolute("largest head apart (m)", LargestApart(one.Grid("gwhead.asc"), runs.at("two").Grid("gwhead.asc")),
                    0, 1e-9),
           Relative("balance at g 0.2 (mm)", one.Grid("gmb.asc").values[35], 40 * 0.8 / 0.2, 1e-9),
           Relative("firn at g 0.2 (mm)", ReadStackFile(one.dir + "/out/firn.stk").at(6, 6, 0), 40 * 0.8 / 0.2, 1e-9)};
     }}};

}  // namespace
}  // namespace fluvextest::reference
