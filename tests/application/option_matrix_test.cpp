// Every pair of options through the program: the option axes are declared
// below (each value with its set-up, the budget modules it implies and the
// signature that shows it acted), a deterministic pairwise generator picks
// runs so that every allowed pair of values of any two axes runs together at
// least once, and each run closes the basin's water budget (balancecases.h)
// on one instance with one thread and on two instances with two threads.
//
// The runs use a cut of the example: its cells in rows 27 to 41 and columns
// 22 to 36 (the junction of the three subbasins with their outlets, 176 cells
// of 1 km, 220 to 490 m), the rest of the grids outside the basin; a lake,
// glaciers, fields, ... are placed in the cut. The period is 20 to 26
// January: snowfall on frozen days, then the thaw of 23 January and a storm
// on 25 January (the stations' rain of that day four times); the short run
// ends with 20 January.
//
// Pairs the program refuses are declared constraints; pairs that show a
// fault another open issue owns carry its mark (kKnownFaults): such a run
// runs, reports its residual, and fails only when it closes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/application/balancecases.h"
#include "tests/support/testutil.h"

using namespace fluvextest;

namespace {

namespace fs = std::filesystem;

// ---- The cut of the example.

constexpr int kFirstRow = 27, kLastRow = 41, kFirstCol = 22, kLastCol = 36;
const Date kStart{2015, 1, 20}, kEnd{2015, 1, 26};
constexpr int kPeriodDays = 6;

bool InCut(int r, int c) {
  return r >= kFirstRow && r <= kLastRow && c >= kFirstCol && c <= kLastCol;
}

// The example with its inputs (hourly, daily and two-day station files)
// in dir, its zone grid cut: every other grid keeps its cells, which the
// program leaves out with the zones.
std::string PrepareCut(const std::string& dir) {
  std::string failed = PrepareExample(FLUVEX_EXAMPLE_DIR, dir, {});
  if (failed.empty()) failed = StormOn(dir, 1, 25, 4);
  if (failed.empty()) failed = DailyStations(dir);
  if (failed.empty()) failed = TwoDayStations(dir);
  if (!failed.empty()) return failed;
  return WriteBasinGrid(dir, "zones.asc", [](int r, int c, int zone) { return InCut(r, c) ? double(zone) : -9999.0; });
}

// The highest cells of the cut, highest first.
std::vector<std::pair<int, int>> HighestCells(const std::string& dir, size_t n) {
  const GridFile zones = ReadGridFile(dir + "/zones.asc"), dem = ReadGridFile(dir + "/dem.asc");
  std::vector<std::tuple<double, int, int>> cells;
  for (int r = kFirstRow; r <= kLastRow; ++r)
    for (int c = kFirstCol; c <= kLastCol; ++c)
      if (zones.at(r, c) > -9999) cells.push_back({-dem.at(r, c), r, c});
  std::sort(cells.begin(), cells.end());
  std::vector<std::pair<int, int>> top;
  for (size_t i = 0; i < n && i < cells.size(); ++i) top.push_back({std::get<1>(cells[i]), std::get<2>(cells[i])});
  return top;
}

// With steps of a day and more the statistics of every 24 steps would hold
// a part of the period: they sum each step (code 4001) instead.
std::string EveryStepStatistics(const std::string& dir) {
  std::string text = ReadFile(dir + "/control.txt");
  for (size_t at = text.find(".stat 4024"); at != std::string::npos; at = text.find(".stat 4024", at))
    text.replace(at, 10, ".stat 4001");
  WriteFile(dir + "/control.txt", text);
  return "";
}

// Haude's method takes the temperature and humidity of the early
// afternoon: here the same stations again (the sections [temperature] and
// [air_humidity] as they are after the step's edits, as two further
// meteorological variables).
std::string AfternoonInputs(const std::string& dir) {
  std::string text = ReadFile(dir + "/control.txt");
  std::string missing;
  for (const auto& [name, grid] :
       {std::pair{"temperature", "temp        "}, std::pair{"air_humidity", "humi        "}}) {
    const size_t from = text.find("[" + std::string(name) + "]\n"), to = text.find("\n\n", from);
    if (from == std::string::npos || to == std::string::npos) return "no section [" + std::string(name) + "]";
    std::string section = text.substr(from, to + 2 - from);
    section = Edited(section,
                     {{"[" + std::string(name) + "]", "[" + std::string(name) + "_14]"},
                      {std::string(grid) + "result grid", std::string(grid).substr(0, 4) + "14      result grid"},
                      {".stat 1024", "14.stat 0"},
                      {".stat 2024", "14.stat 0"}},
                     missing);
    text.insert(to + 2, section);
  }
  // (The statistics' codes: one of the two is in each section.)
  missing.clear();
  text = Edited(
      text,
      {{"5         number of meteorological variables", "7         number of meteorological variables"},
       {"air_humidity\nglobal_radiation\n", "air_humidity\nglobal_radiation\ntemperature_14\nair_humidity_14\n"}},
      missing);
  WriteFile(dir + "/control.txt", text);
  return missing.empty() ? "" : "not in control.txt: " + missing;
}

// Cells 800 to 1200 m wide and 900 to 1100 m high, with their relative
// areas (rca.asc).
std::string VaryingCellAreas(const std::string& dir) {
  auto x = [](int c) { return 800.0 + 100 * (c % 5); };
  auto y = [](int r) { return 900.0 + 100 * (r % 3); };
  std::string failed = WriteBasinGrid(dir, "csx.asc", [&](int, int c, int) { return x(c); });
  failed += WriteBasinGrid(dir, "csy.asc", [&](int r, int, int) { return y(r); });
  failed += WriteBasinGrid(dir, "rca.asc", [&](int r, int c, int) { return x(c) * y(r) / 1e6; });
  return failed + AddStandardGrids(dir,
                                   "$inpath//csx.asc CellSizeX fillcode = 0 readcode = 1\n"
                                   "$inpath//csy.asc CellSizeY fillcode = 0 readcode = 1\n"
                                   "$inpath//rca.asc RelCellArea fillcode = 0 readcode = 1\n");
}

// ---- Axes.

// A generated run while its values are set: the case and what the values
// add to it.
struct Build {
  Case c;
  std::vector<Maker> makers;
  std::vector<SignatureOf> signatures;
  std::map<std::string, std::string> values;  // axis -> value
};

struct Value {
  std::string name;
  std::function<void(Build&)> set;  // its edits, input makers, modules and signature
};

struct Axis {
  std::string name;
  std::vector<Value> values;
};

// An axis value, "axis=value".
using Choice = std::pair<std::string, std::string>;

// Two values the program refuses to run together, and why.
struct Constraint {
  Choice a, b;
  std::string reason;
};

// Faults that open issues own: a run with every choice of a fault carries
// the issue's mark. Remove an entry with the fix of its fault.
struct KnownFault {
  std::vector<Choice> choices;
  int issue;
  std::string fault;
};

void Edit(Build& b, const std::string& from, const std::string& to) {
  b.c.edits.push_back({from, to});
}

// The period's potential evapotranspiration with daily steps of each
// evapotranspiration method (mm over the cut), from the reference runs.
std::map<int, double> dailyPotentialEt;

// In January the glaciers' snow melts, hardly their ice.
const SignatureOf kGlacierRunoff = PositiveSum("glacier runoff (mm)", "qglac.stat");

std::vector<Axis> Axes() {
  std::vector<Axis> axes;
  // Interception: methods 1 and 2 after the snow, 3 (no evaporation), 11
  // and 12 before the snow; off.
  {
    Axis a{"interception", {}};
    for (int m : {1, 2, 3, 11, 12})
      a.values.push_back({std::to_string(m), [m](Build& b) {
                            char line[64];
                            std::snprintf(line, sizeof line, "[interception_model]\n1\n$step\n%-10d method", m);
                            Edit(b, "[interception_model]\n1\n$step\n1         method", line);
                            b.signatures.push_back([](const RunOutput& s, const RunOutput& e, const Budget&) {
                              return Signatures{
                                  Positive("throughfall of the period (mm)", PeriodSum(s, e, "throughfall.stat"))};
                            });
                          }});
    a.values.push_back({"off", [](Build& b) {
                          Edit(b, "[interception_model]\n1\n", "[interception_model]\n0\n");
                          b.c.modules.interception = false;
                        }});
    axes.push_back(a);
  }
  // Snow: degree days (1), energy balance (5), energy balance with slides
  // (6), degree days with drift by a deposition index (10).
  axes.push_back(
      {"snow",
       {{"degree-day",
         [](Build& b) {
           b.signatures.push_back([](const RunOutput& s, const RunOutput& e, const Budget&) {
             return Signatures{Positive("snowfall (mm)", PeriodSum(s, e, "snow.stat"))};
           });
         }},
        {"energy-balance",
         [](Build& b) {
           Edit(b, "1         method: degree-day", "5         method: energy balance");
           b.c.edits.push_back(kEnergyBalanceSlides[1]);
           b.signatures.push_back([](const RunOutput& s, const RunOutput& e, const Budget&) {
             return Signatures{Positive("snowfall (mm)", PeriodSum(s, e, "snow.stat"))};
           });
         }},
        {"slides",
         [](Build& b) {
           b.c.edits.insert(b.c.edits.end(), kEnergyBalanceSlides.begin(), kEnergyBalanceSlides.end());
           b.signatures.push_back(kSlides);
         }},
        {"drift", [](Build& b) {
           Edit(b, "1         method: degree-day", "10        method: degree-day with drift");
           b.c.edits.push_back(kEnergyBalanceSlides[1]);
           b.c.modules.depositionIndex = true;
           // Snow piles up on the cut's lower cells of subbasin 3.
           b.makers.push_back([](const std::string& dir) {
             std::string failed = WriteBasinGrid(
                 dir, "depidx.asc", [](int r, int c, int zone) { return zone == 3 && r >= 34 && c >= 32 ? 2.0 : 0.0; });
             return failed + AddStandardGrids(dir, "$inpath//depidx.asc deposition_index fillcode = 0 readcode = 1\n");
           });
           b.signatures.push_back(kDrift);
         }}}});
  // Glaciers on the three highest cells of the cut.
  axes.push_back({"glaciers",
                  {{"none", [](Build&) {}},
                   {"static",
                    [](Build& b) {
                      b.c.modules.glacierMethod = 1;
                      b.makers.push_back([](const std::string& dir) {
                        const auto top = HighestCells(dir, 3);
                        std::vector<GlacierCell> cells;
                        for (size_t i = 0; i < top.size(); ++i)
                          cells.push_back({top[i].first, top[i].second, i == 0 ? 2 : 1});
                        return StaticGlaciersOn(1, cells)(dir);
                      });
                      b.signatures.push_back(kGlacierRunoff);
                    }},
                   {"dynamic", [](Build& b) {
                      b.c.modules.glacierMethod = 11;
                      b.makers.push_back([](const std::string& dir) {
                        const auto top = HighestCells(dir, 3);
                        std::vector<DynamicGlacierCell> cells;
                        for (size_t i = 0; i < top.size(); ++i)
                          cells.push_back({top[i].first, top[i].second, i == 0 ? 1.0 : 0.5, 1, 1});
                        // The yearly update falls after the period.
                        return DynamicGlaciersOn(11, 31, false, cells, 0, 0)(dir);
                      });
                      b.signatures.push_back(kGlacierRunoff);
                    }}}});
  // Cell areas: the example's, or cells 800 to 1200 m wide and 900 to
  // 1100 m high with their relative areas.
  axes.push_back({"cell-areas",
                  {{"uniform", [](Build&) {}},
                   {"varying", [](Build& b) {
                      b.c.modules.relCellAreaGrid = "rca.asc";
                      b.makers.push_back(VaryingCellAreas);
                      b.signatures.push_back([](const RunOutput&, const RunOutput& e, const Budget&) {
                        const auto& z = e.zones().values;
                        const double cells =
                            double(std::count_if(z.begin(), z.end(), [](double v) { return v > -9999; }));
                        return Signatures{NonZero("relative area of the cut less its cells", e.basinArea() - cells)};
                      });
                    }}}});
  // Surface routing: off or methods 1 to 6 (the example's is 4).
  {
    Axis a{"surface-routing", {}};
    a.values.push_back({"off", [](Build& b) {
                          b.c.edits.push_back(kSurfaceRoutingOff);
                          b.c.modules.surfaceRouting = false;
                        }});
    for (int m = 1; m <= 6; ++m)
      a.values.push_back({std::to_string(m), [m](Build& b) {
                            Edit(b, "4         method: one receiver per cell, water levels included",
                                 std::to_string(m) + "         method");
                            b.signatures.push_back([](const RunOutput& s, const RunOutput& e, const Budget& budget) {
                              // Drains can keep the surface dry for the whole period (no
                              // direct runoff of the soil): the routing then hands the
                              // soil's interflow on to the rivers.
                              if (!(PeriodSum(s, e, "qd.stat") > 0) && !(PeriodSum(s, e, "qdsr.stat") > 0))
                                return Signatures{
                                    Positive("interflow to the rivers, the soil without direct runoff (mm)",
                                             PeriodSum(s, e, "qisr.stat"))};
                              return kSurfaceRunoff(s, e, budget);
                            });
                          }});
    axes.push_back(a);
  }
  // Sub-steps of soil, surface routing and groundwater (the layout line of
  // the state file of the long run names them).
  {
    Axis a{"substeps", {}};
    for (int k : {1, 3}) a.values.push_back({std::to_string(k), [k](Build& b) { b.c.modules.substeps = k; }});
    axes.push_back(a);
  }
  // Step length.
  axes.push_back({"step",
                  {{"hour", [](Build& b) { b.signatures.push_back(StepsOfThePeriod(24 * kPeriodDays)); }},
                   {"day",
                    [](Build& b) {
                      b.c.edits.insert(b.c.edits.end(), kDaily.begin(), kDaily.end());
                      b.c.modules.stepMinutes = 1440;
                      b.signatures.push_back(StepsOfThePeriod(kPeriodDays));
                    }},
                   {"two-days", [](Build& b) {
                      b.c.edits.insert(b.c.edits.end(), kTwoDays.begin(), kTwoDays.end());
                      b.c.modules.stepMinutes = 2880;
                      b.signatures.push_back(StepsOfThePeriod(kPeriodDays / 2));
                    }}}});
  // Evapotranspiration: Penman-Monteith (1), Hamon (2), Wendling (3),
  // Haude (4). Their potential evapotranspiration of the period must not
  // depend on the step once a step spans a day or more: with daily and
  // two-day steps it lies within a quarter of what daily steps give (the
  // reference runs). A method that gave one day's amount per two-day step
  // gives half of it.
  {
    Axis a{"et", {}};
    for (int m = 1; m <= 4; ++m)
      a.values.push_back({std::to_string(m), [m](Build& b) {
                            Edit(b, "1         method: Penman-Monteith", std::to_string(m) + "         method");
                            if (m == 4) b.makers.push_back(AfternoonInputs);
                            const bool daily = b.c.modules.stepMinutes >= 1440;
                            b.signatures.push_back([m, daily](const RunOutput& s, const RunOutput& e, const Budget&) {
                              const double etp = PeriodSum(s, e, "etp.stat");
                              if (!daily) return Signatures{Positive("potential evapotranspiration (mm)", etp)};
                              const double ratio = etp / dailyPotentialEt[m];
                              return Signatures{{"potential evapotranspiration over that of daily steps", ratio,
                                                 ratio > 0.75 && ratio < 1.33}};
                            });
                          }});
    axes.push_back(a);
  }
  // Soil options.
  axes.push_back(
      {"soil",
       {{"plain", [](Build&) {}},
        {"macropores",
         [](Build& b) {
           for (const char* s : {"suction = 250;\n", "suction = 200;\n", "suction = 150;\n"})
             Edit(b, s,
                  std::string(s) + "  PMacroThresh = 0.05; MacroCapacity = 5; CapacityRedu = 0.5; MacroDepth = 1.0;\n");
           Edit(b, "macro.stat 0", "macro.stat 4024");
           b.signatures.push_back(PositiveSum("macropore infiltration (mm)", "macro.stat"));
         }},
        {"drainage",
         [](Build& b) {
           Edit(b, "0         drainage", "1         drainage");
           Edit(b, "qdrain.stat 0", "qdrain.stat 4024");
           // Drains at 0.3 m: drains work above the water table only, which
           // lies about 0.4 m below the surface in these January days.
           b.makers.push_back([](const std::string& dir) {
             return AddStandardGrids(dir,
                                     "dd.asc drainage_depth fillcode = 0 readcode = 0 defaultValue = 0.3\n"
                                     "dx.asc drainage_distance fillcode = 0 readcode = 0 defaultValue = 20\n");
           });
           b.signatures.push_back(PositiveSum("drainage (mm)", "qdrain.stat"));
         }},
        {"clay-layer",
         [](Build& b) {
           Edit(b, "0         clay layer", "1         clay layer");
           b.makers.push_back([](const std::string& dir) {
             return AddStandardGrids(dir, "cd.asc clay_depth fillcode = 0 readcode = 0 defaultValue = 1.0\n");
           });
           b.signatures.push_back(PositiveSum("infiltration (mm)", "infilt.stat"));
         }},
        {"ponding",
         [](Build& b) {
           b.c.modules.ponding = true;
           // Ponds of 1 mm, which the storm overflows; one cell without a
           // value holds no pond. Lakes pond too: then their grid of ponding
           // depths gets the ponds on the other cells (the lake runs first).
           b.makers.push_back([](const std::string& dir) {
             const auto pond = [](int r, int c) { return r == 34 && c == 29 ? -9999.0 : 0.001; };
             const std::string control = ReadFile(dir + "/control.txt");
             if (control.find("max_ponding_storage") != std::string::npos) {
               const GridFile lake = ReadGridFile(dir + "/lake_codes.asc");
               const GridFile depth = ReadGridFile(dir + "/maxpond.asc");
               return WriteBasinGrid(dir, "maxpond.asc", [&](int r, int c, int) {
                 return lake.at(r, c) > -9999 ? depth.at(r, c) : pond(r, c);
               });
             }
             std::string failed = EditIn(dir + "/control.txt", {{"0         ponding\n", "1         ponding\n"}});
             failed += WriteBasinGrid(dir, "mp.asc", [&](int r, int c, int) { return pond(r, c); });
             return failed + AddStandardGrids(dir, "$inpath//mp.asc max_ponding_storage fillcode = 0 readcode = 1\n");
           });
           // The storm fills the ponds, which are empty again by the end: the
           // ponded water summed over the steps.
           Edit(b, "pond.stat 0", "pond.stat 4024");
           b.signatures.push_back(PositiveSum("ponded water summed over the steps (mm x steps)", "pond.stat"));
         }},
        {"frozen",
         [](Build& b) {
           b.c.edits.insert(b.c.edits.end(), kFrozenSoil.begin(), kFrozenSoil.end());
           b.signatures.push_back(kFrozenLayers);
         }},
        {"dynamic-step", [](Build& b) {
           Edit(b, "2         method: finite differences, fixed time step", "3         method: dynamic time step");
           Edit(b, "storage.ftz   storage content file\n",
                "storage.ftz   storage content file\n60        minimum dynamic time step (s)\n");
           b.signatures.push_back(PositiveSum("infiltration (mm)", "infilt.stat"));
         }}}});
  // Groundwater flow between the cells: off, over-relaxation sweeps (1),
  // line solver (2), each with a second layer; its flows at the end.
  {
    auto on = [](const std::string& method) {
      return [method](Build& b) {
        if (method != "1") Edit(b, "1         method: over-relaxation sweeps", method + "         method");
        b.c.edits.insert(b.c.edits.end(), kGroundwaterFlows.begin(), kGroundwaterFlows.end());
        b.signatures.push_back(kLateralGroundwaterFlow);
      };
    };
    // A second layer with over-relaxation sweeps (1) or the line solver (2).
    auto twoLayers = [on](const std::string& method) {
      return [on, method](Build& b) {
        on(method)(b);
        // A second layer 10 m thick below the soil column, leaking into
        // it, with a fixed head and a fixed inflow in two cells; its
        // conductivity keeps it confined (its heads above its top, where
        // its storage coefficient is its own) through the period.
        Edit(b, "1         number of layers", "2         number of layers");
        Edit(b, "gwhead.asc\n0\n", "gwhead.asc\n3\n");
        Edit(b, "gwbalance.asc\n0\n",
             "gwbalance.asc\n13\ngwhead2.asc\n3\ngwflowx2.asc\n0\ngwflowy2.asc\n0\ngwbalance2.asc\n13\n");
        b.c.modules.deepLayers = {{"gwhead2.asc", "gws2.asc"}};
        b.c.modules.groundwaterBoundaries = {{"gwfixh2.asc", "gwfixq2.asc", "gwbalance2.sum"}};
        b.makers.push_back([](const std::string& dir) {
          const auto top = HighestCells(dir, 12);
          if (top.size() < 12) return std::string("the cut has fewer than 12 cells");
          const GridFile dem = ReadGridFile(dir + "/dem.asc");
          const auto [hr, hc] = top[4];
          const auto [qr, qc] = top[11];
          std::string failed = WriteBasinGrid(dir, "gws2.asc", [](int, int, int) { return 0.05; });
          failed += WriteBasinGrid(
              dir, "gwfixh2.asc", [&](int r, int c, int) { return r == hr && c == hc ? dem.at(r, c) - 0.2 : -9999.0; });
          failed += WriteBasinGrid(dir, "gwfixq2.asc",
                                   [&](int r, int c, int) { return r == qr && c == qc ? 1e-8 : -9999.0; });
          // The exchange with the soil of the last step (the soil takes it in the next).
          if (ReadFile(dir + "/control.txt").find("\nuzgrid18.asc\n0\n") != std::string::npos)
            failed += EditIn(dir + "/control.txt", {{"\nuzgrid18.asc\n0\n", "\nuzgrid18.asc\n3\n"}});
          return failed + AddStandardGrids(dir,
                                           "k2x.asc gw_k_x_2 fillcode = 0 readcode = 0 defaultValue = 1e-5\n"
                                           "k2y.asc gw_k_y_2 fillcode = 0 readcode = 0 defaultValue = 1e-5\n"
                                           "$inpath//gws2.asc gw_storage_coeff_2 fillcode = 0 readcode = 1\n"
                                           "t2.asc aquifer_thickness_2 fillcode = 0 readcode = 0 defaultValue = 10\n"
                                           "kol1.asc gw_kolmation_1 fillcode = 0 readcode = 0 defaultValue = 1e-7\n"
                                           "$inpath//gwfixh2.asc gw_boundary_fix_h_2 fillcode = 0 readcode = 1\n"
                                           "$inpath//gwfixq2.asc gw_boundary_fix_q_2 fillcode = 0 readcode = 1\n");
        });
        b.signatures.push_back([](const RunOutput&, const RunOutput&, const Budget& budget) {
          return Signatures{
              NonZero("storage change below layer 1 (mm)", Term(budget, "groundwater below layer 1")),
              NonZero("groundwater from the fixed head (mm)", Term(budget, "groundwater from fixed heads")),
              Positive("groundwater from the fixed inflow (mm)", Term(budget, "groundwater from fixed inflows"))};
        });
      };
    };
    axes.push_back({"groundwater",
                    {{"off",
                      [](Build& b) {
                        Edit(b, "[groundwater_flow]\n1\n", "[groundwater_flow]\n0\n");
                        b.c.modules.groundwaterFlow = false;
                        b.signatures.push_back(PositiveSum("baseflow of the soil model (mm)", "qb.stat"));
                      }},
                     {"1", on("1")},
                     {"2", on("2")},
                     {"two-layers", twoLayers("1")},
                     {"two-layers-line-solver", twoLayers("2")}}});
  }
  // A lake of 3 x 3 cells in subbasin 1 in place of its reservoir, its
  // cells' bottoms on the rows of its level-volume table (whole metres,
  // 0.05 m apart at its level), or two of them 13 mm above a row, at
  // 336.763 and 336.513 m, which its level (about 336.9 m at the start of
  // the week, falling by 0.1 m a day) passes: between two rows its volume
  // bends there.
  {
    auto lake = [](std::vector<std::array<double, 3>> bottoms) {
      return [bottoms](Build& b) {
        b.c.modules.lakes = true;
        b.c.modules.ponding = true;
        b.makers.insert(b.makers.begin(), LakeAt(30, 23, 0));
        if (!bottoms.empty())
          b.makers.insert(b.makers.begin(), [bottoms](const std::string& dir) {
            std::vector<std::string> lines;
            std::istringstream in(ReadFile(dir + "/dem.asc"));
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            for (const auto& [r, c, z] : bottoms) {
              std::istringstream row(lines.at(static_cast<size_t>(r) + 5));
              std::vector<std::string> cells;
              for (std::string x; row >> x;) cells.push_back(x);
              char number[32];
              std::snprintf(number, sizeof number, "%.3f", z);
              cells.at(static_cast<size_t>(c) - 1) = number;
              std::string text;
              for (const std::string& x : cells) text += (text.empty() ? "" : " ") + x;
              lines[static_cast<size_t>(r) + 5] = text;
            }
            std::string text;
            for (const std::string& line : lines) text += line + "\n";
            WriteFile(dir + "/dem.asc", text);
            return std::string();
          });
        // January's lake may evaporate nothing (over hourly and two-day
        // steps it does not): its storage change and outflow.
        b.signatures.push_back([](const RunOutput& s, const RunOutput& e, const Budget&) {
          return Signatures{NonZero("lake storage change (m3)", PeriodSum(s, e, "reservoir_1.txt", 25)),
                            Positive("lake outflow (m3)", PeriodSum(s, e, "reservoir_1.txt", 10))};
        });
      };
    };
    axes.push_back({"lake",
                    {{"none", [](Build&) {}},
                     {"on-table-rows", lake({})},
                     {"off-table-rows", lake({{{31, 25, 336.513}, {31, 23, 336.763}}})}}});
  }
  // Irrigation by methods 1 to 4 of a field in subbasin 1 from its
  // reservoir (or lake) and one in subbasin 3 from the river. The first step
  // of a run finds no offer of the routing yet (it makes it in the step), so
  // method 1 irrigates on every day from 21 to 25 January: the second step of
  // a warm start after a two-day step irrigates too.
  {
    Axis a{"irrigation", {{"none", [](Build&) {}}}};
    const char* rules[] = {"1 2 20 3.45 5 1 21 12 1 22 12 1 23 12 1 24 12 1 25 12",
                           "2 2 20 3.45 starting from 1 21 with 10 mm 4 times every 1 days", "3 2 0.01 0.01",
                           "4 2 1.01"};
    for (int m = 1; m <= 4; ++m) {
      const std::string rule = rules[m - 1];
      a.values.push_back(
          {std::to_string(m), [rule](Build& b) {
             b.c.modules.irrigation = true;
             // By the ratio of real to potential evapotranspiration: the
             // plants want a root zone wetter than a suction of 0.01 m.
             if (rule[0] == '4')
               for (const char* cap : {"0.3", "0.5", "0.2"})
                 Edit(b, std::string("HReduDry = 3.45; IntercepCap = ") + cap,
                      std::string("HReduDry = 0.01; IntercepCap = ") + cap);
             b.makers.push_back([rule](const std::string& dir) {
               std::string failed = WriteBasinGrid(dir, "irrigation_codes.asc", [](int r, int, int zone) {
                 return zone == 1 && r >= 33 && r <= 35 ? 1.0 : zone == 3 && r >= 36 ? 2.0 : 0.0;
               });
               failed +=
                   AddStandardGrids(dir, "$inpath//irrigation_codes.asc irrigation_codes fillcode = 0 readcode = 1\n");
               return failed +
                      EditIn(dir + "/control.txt", {{"[irrigation]\n0\n$step\n",
                                                     "[irrigation]\n1\n$step\nirr_gw.stat 4001\tfrom groundwater\n"
                                                     "irr_sw.stat 4001\tfrom surface water\n\n[irrigation_table]\n2\n"
                                                     "1 reservoir_field " +
                                                         rule + "\n2 river_field " + rule + "\n"}});
             });
             b.signatures.push_back(PositiveSum("irrigated from the reservoir and the river (mm)", "irr_sw.stat"));
           }});
    }
    axes.push_back(a);
  }
  // Silting-up by methods 1 to 3.
  {
    Axis a{"silting-up", {{"off", [](Build&) {}}}};
    for (int m = 1; m <= 3; ++m)
      a.values.push_back({std::to_string(m), [m](Build& b) {
                            b.c.edits.insert(b.c.edits.end(), kSiltingUp.begin(), kSiltingUp.end());
                            // The grassland is tilled on the first day of the period.
                            Edit(b, "SoilTillage = 180;", "SoilTillage = 20;");
                            if (m == 2) Edit(b, "1        method\n", "2        method\n");
                            if (m == 2)
                              Edit(b, "0         readgrid\n", "0         readgrid\n5\n2\n0.5\n1\n0.2\n0.1\n0.1\n0.1\n");
                            if (m == 3) {
                              Edit(b, "1        method\n", "3        method\n");
                              Edit(b, "0         readgrid\n",
                                   "0         readgrid\nSiltingUpExpressions {\nX = 10; Y = 2; Z = 0.01; W = 20;\n"
                                   "V = 2;\n}\n");
                            }
                            if (m == 3) {
                              b.signatures.push_back(kSiltingUpRunoff);
                            } else {
                              // Methods 1 and 2 seal the soil tilled on 20 January by its
                              // disposition times the rain's energy; January's rain leaves
                              // their capacity above what reaches the soil (no direct
                              // runoff): the disposition they give the tilled soil.
                              Edit(b, "sdisp.stat 0", "sdisp.stat 4024");
                              b.signatures.push_back(PositiveSum(
                                  "silting-up disposition of the tilled soil (sum of the steps)", "sdisp.stat"));
                            }
                          }});
    axes.push_back(a);
  }
  // A meteorological input missing in part of the cut: the temperature by
  // inverse distances from stations within 5 km (one station lies at the
  // cut's southern edge).
  axes.push_back(
      {"missing-input",
       {{"none", [](Build&) {}},
        {"temperature", [](Build& b) {
           Edit(b, "10        method: elevation-dependent regression from the station data\n",
                "1         method: inverse distances\n");
           Edit(b, "1000 1200 50 0 20 ", "none ");
           Edit(b, "3         method: slope radiation only", "4         method: slope radiation and temperature");
           b.makers.push_back(NearStationsOnly("temperature"));
           b.signatures.push_back([](const RunOutput&, const RunOutput& e, const Budget&) {
             // Each WARNING of the diagnostics that names the missing temperature.
             const std::string diag = e.Text("Fluvex_Diag_0.xml");
             double warnings = 0;
             for (size_t at = diag.find("level=\"2\""); at != std::string::npos; at = diag.find("level=\"2\"", at + 1))
               if (diag.substr(at, diag.find('\n', at) - at).find("temperature") != std::string::npos) ++warnings;
             return Signatures{Positive("warnings of cells without a temperature", warnings)};
           });
         }}}});
  // A warm start after the short run on the other layout's instance count
  // (two after one, one after two) and other sub-steps: the long run reads
  // the short run's state.
  axes.push_back({"warm-start", {{"none", [](Build&) {}}, {"restart", [](Build& b) {
                                                             b.c.warmStart = true;
                                                             // The energy balance's snow and surface temperatures are
                                                             // state too.
                                                             if (b.values["snow"] != "degree-day") {
                                                               Edit(b, "stemp.asc\n0\n", "stemp.asc\n3\n");
                                                               Edit(b, "surft.asc\n0\n", "surft.asc\n3\n");
                                                             }
                                                             b.c.longInstances = -1;
                                                             b.signatures.push_back(kStateRead);
                                                           }}}});
  return axes;
}

// Pairs the program refuses.
const std::vector<Constraint> kConstraints = {
    {{"glaciers", "dynamic"}, {"silting-up", "1"}, "the silting-up refuses dynamic glaciers"},
    {{"glaciers", "dynamic"}, {"silting-up", "2"}, "the silting-up refuses dynamic glaciers"},
    {{"glaciers", "dynamic"}, {"silting-up", "3"}, "the silting-up refuses dynamic glaciers"},
    {{"missing-input", "temperature"},
     {"warm-start", "restart"},
     "cells without a temperature end without a soil or snow temperature, and a warm start refuses a state with "
     "missing cells"},
    {{"et", "2"}, {"step", "hour"}, "Hamon's method needs steps of a day or more"},
    {{"et", "3"}, {"step", "hour"}, "Wendling's method needs steps of a day or more"},
    {{"et", "4"}, {"step", "hour"}, "Haude's method needs steps of a day or more"},
    {{"glaciers", "dynamic"}, {"surface-routing", "1"}, "the surface routing refuses dynamic glaciers"},
    {{"glaciers", "dynamic"}, {"surface-routing", "2"}, "the surface routing refuses dynamic glaciers"},
    {{"glaciers", "dynamic"}, {"surface-routing", "3"}, "the surface routing refuses dynamic glaciers"},
    {{"glaciers", "dynamic"}, {"surface-routing", "4"}, "the surface routing refuses dynamic glaciers"},
    {{"glaciers", "dynamic"}, {"surface-routing", "5"}, "the surface routing refuses dynamic glaciers"},
    {{"glaciers", "dynamic"}, {"surface-routing", "6"}, "the surface routing refuses dynamic glaciers"},
};

const std::vector<KnownFault> kKnownFaults = {};

// ---- The pairwise generator.

// A run: the index of its value on every axis.
using Row = std::vector<size_t>;

class Pairs {
 public:
  explicit Pairs(const std::vector<Axis>& a) : axes(a) {}

  bool Forbidden(size_t i, size_t vi, size_t j, size_t vj) const {
    for (const auto& c : kConstraints)
      if ((Is(c.a, i, vi) && Is(c.b, j, vj)) || (Is(c.b, i, vi) && Is(c.a, j, vj))) return true;
    return false;
  }

  // Every allowed pair (axis i < axis j).
  std::vector<std::array<size_t, 4>> Allowed() const {
    std::vector<std::array<size_t, 4>> all;
    for (size_t i = 0; i < axes.size(); ++i)
      for (size_t j = i + 1; j < axes.size(); ++j)
        for (size_t vi = 0; vi < axes[i].values.size(); ++vi)
          for (size_t vj = 0; vj < axes[j].values.size(); ++vj)
            if (!Forbidden(i, vi, j, vj)) all.push_back({i, vi, j, vj});
    return all;
  }

  // Greedy all-pairs: each run starts from the first pair still uncovered
  // and gives every other axis, in order, the allowed value that covers most
  // uncovered pairs with the values chosen so far (the first on a tie).
  std::vector<Row> Generate() const {
    const auto all = Allowed();
    std::set<std::array<size_t, 4>> open(all.begin(), all.end());
    std::vector<Row> rows;
    constexpr size_t kUnset = static_cast<size_t>(-1);
    while (!open.empty()) {
      const auto first = *open.begin();
      Row row(axes.size(), kUnset);
      row[first[0]] = first[1];
      row[first[2]] = first[3];
      for (size_t k = 0; k < axes.size(); ++k) {
        if (row[k] != kUnset) continue;
        size_t best = kUnset;
        int bestGain = -1;
        for (size_t v = 0; v < axes[k].values.size(); ++v) {
          bool allowed = true;
          int gain = 0;
          for (size_t o = 0; o < axes.size(); ++o) {
            if (o == k || row[o] == kUnset) continue;
            if (Forbidden(k, v, o, row[o])) allowed = false;
            const auto pair = k < o ? std::array<size_t, 4>{k, v, o, row[o]} : std::array<size_t, 4>{o, row[o], k, v};
            gain += open.count(pair) ? 1 : 0;
          }
          if (allowed && gain > bestGain) {
            best = v;
            bestGain = gain;
          }
        }
        row[k] = best;
      }
      for (size_t i = 0; i < axes.size(); ++i)
        for (size_t j = i + 1; j < axes.size(); ++j) open.erase({i, row[i], j, row[j]});
      rows.push_back(row);
    }
    return rows;
  }

 private:
  bool Is(const Choice& c, size_t axis, size_t value) const {
    return axes[axis].name == c.first && axes[axis].values[value].name == c.second;
  }
  const std::vector<Axis>& axes;
};

// The case of a generated run. The axes set up in their order but for the
// lake, whose grids the ponding and irrigation find; the step length before
// the evapotranspiration, which checks against it.
Case MakeCase(const std::vector<Axis>& axes, const Row& row, size_t index, const std::string& base) {
  Build b;
  char name[32];
  std::snprintf(name, sizeof name, "run%02zu", index + 1);
  b.c.name = name;
  b.c.source = base;
  b.c.start = kStart;
  b.c.end = kEnd;
  std::vector<size_t> order(axes.size());
  for (size_t k = 0; k < axes.size(); ++k) order[k] = k;
  std::stable_partition(order.begin(), order.end(), [&](size_t k) { return axes[k].name == "step"; });
  for (size_t k : order) {
    const Value& v = axes[k].values[row[k]];
    b.values[axes[k].name] = v.name;
    v.set(b);
  }
  for (const Axis& a : axes) b.c.description += (b.c.description.empty() ? "" : " ") + a.name + "=" + b.values[a.name];
  if (b.c.warmStart) {
    // The long run continues on other sub-steps.
    b.c.longSubsteps = b.c.modules.substeps == 1 ? 3 : 1;
  } else if (b.c.modules.substeps > 1) {
    const Edits steps = SubSteps(b.c.modules.substeps);
    b.c.edits.insert(b.c.edits.end(), steps.begin(), steps.end());
  }
  if (b.c.modules.stepMinutes >= 1440) b.makers.push_back(EveryStepStatistics);
  b.c.inputs = Chained(b.makers);
  b.c.signature = Joined(b.signatures);
  for (const auto& f : kKnownFaults)
    if (std::all_of(f.choices.begin(), f.choices.end(), [&](const Choice& c) { return b.values[c.first] == c.second; }))
      if (std::find(b.c.openIssues.begin(), b.c.openIssues.end(), f.issue) == b.c.openIssues.end())
        b.c.openIssues.push_back(f.issue);
  return b.c;
}

}  // namespace

// FLUVEX_OPTION_MATRIX_RUNS (a regular expression) runs only the generated
// runs whose name or axes (axis=value ...) it matches;
// FLUVEX_OPTION_MATRIX_KEEP names a directory that receives a copy of every
// run's directory; FLUVEX_OPTION_MATRIX_VALUES adds a run of chosen values;
// FLUVEX_OPTION_MATRIX_SHARD=k/n runs every n-th generated run from the k-th
// on (k from 0; the references run in every shard; ctest runs the shards
// side by side).
TEST(OptionMatrix, EveryPairOfOptionValuesClosesTheBudget) {
  const std::vector<Axis> axes = Axes();
  const Pairs pairs(axes);
  const std::vector<Row> rows = pairs.Generate();
  // The generator's own coverage: every allowed pair in some run, no run
  // with a forbidden pair, every constraint and fault naming real values.
  auto known = [&](const Choice& c) {
    for (const Axis& a : axes)
      if (a.name == c.first)
        return std::any_of(a.values.begin(), a.values.end(), [&](const Value& v) { return v.name == c.second; });
    return false;
  };
  for (const auto& c : kConstraints) ASSERT_TRUE(known(c.a) && known(c.b)) << c.reason;
  for (const auto& f : kKnownFaults)
    for (const auto& c : f.choices) ASSERT_TRUE(known(c)) << c.first << "=" << c.second;
  size_t covered = 0;
  const auto allowed = pairs.Allowed();
  for (const auto& p : allowed) {
    const bool in =
        std::any_of(rows.begin(), rows.end(), [&](const Row& r) { return r[p[0]] == p[1] && r[p[2]] == p[3]; });
    covered += in;
    EXPECT_TRUE(in) << axes[p[0]].name << "=" << axes[p[0]].values[p[1]].name << " with " << axes[p[2]].name << "="
                    << axes[p[2]].values[p[3]].name << " runs nowhere";
  }
  for (const Row& r : rows)
    for (size_t i = 0; i < axes.size(); ++i)
      for (size_t j = i + 1; j < axes.size(); ++j)
        EXPECT_FALSE(pairs.Forbidden(i, r[i], j, r[j])) << "a run holds a forbidden pair";
  std::printf("%zu axes, %zu allowed pairs of values (%zu forbidden), covered by %zu runs\n", axes.size(),
              allowed.size(), kConstraints.size(), rows.size());
  for (const auto& c : kConstraints)
    std::printf("  not run together: %s=%s with %s=%s: %s\n", c.a.first.c_str(), c.a.second.c_str(), c.b.first.c_str(),
                c.b.second.c_str(), c.reason.c_str());
  ASSERT_EQ(covered, allowed.size());

  int shard = 0, shards = 1;
  if (const char* text = std::getenv("FLUVEX_OPTION_MATRIX_SHARD")) {
    ASSERT_TRUE(std::sscanf(text, "%d/%d", &shard, &shards) == 2 && shards > 0 && shard >= 0 && shard < shards) << text;
  }
  // The cut, made once; its budget closes with the example's options (in
  // the first shard), and daily steps give each evapotranspiration method's
  // reference.
  // The shards side by side in one working directory: a directory name of each.
  const std::string prefix = "option_matrix" + (shards > 1 ? "_shard" + std::to_string(shard + 1) : std::string());
  TempDir base(prefix + "_base");
  ASSERT_EQ(PrepareCut(base.path()), "");
  std::vector<Case> references;
  for (int m = 1; m <= 4; ++m) dailyPotentialEt[m] = NAN;
  for (int m = 1; m <= 4; ++m) {
    Case c;
    c.name = "cut_daily_et" + std::to_string(m);
    c.description = "the cut with daily steps, evapotranspiration method " + std::to_string(m);
    c.source = base.path();
    c.start = kStart;
    c.end = kEnd;
    c.edits = kDaily;
    c.edits.push_back({"1         method: Penman-Monteith", std::to_string(m) + "         method"});
    c.modules.stepMinutes = 1440;
    c.inputs = m == 4 ? Chained({EveryStepStatistics, AfternoonInputs}) : Maker(EveryStepStatistics);
    c.signature = [m](const RunOutput& s, const RunOutput& e, const Budget&) {
      dailyPotentialEt[m] = PeriodSum(s, e, "etp.stat");
      return Signatures{Positive("potential evapotranspiration (mm)", dailyPotentialEt[m])};
    };
    references.push_back(c);
  }
  Case plain;
  plain.name = "cut";
  plain.description = "the cut with the example's options";
  plain.source = base.path();
  plain.start = kStart;
  plain.end = kEnd;
  references.push_back(plain);
  // The budget weights each cell by its area: the cut with cells of
  // unequal areas (the runs take them with the surface routing).
  plain.name = "cut_varying_cell_areas";
  plain.description = "the cut with cells of unequal areas, surface routing off";
  plain.edits = {kSurfaceRoutingOff};
  plain.modules.surfaceRouting = false;
  plain.modules.relCellAreaGrid = "rca.asc";
  plain.inputs = VaryingCellAreas;
  references.push_back(plain);
  if (shard > 0) references.resize(4);
  const RunSettings settings{prefix, 2, 8, "FLUVEX_OPTION_MATRIX_RUNS", "FLUVEX_OPTION_MATRIX_KEEP"};
  RunAndJudge(references, {prefix, 2, 8, "", settings.keepVariable});
  ASSERT_FALSE(::testing::Test::HasFailure()) << "the cut does not close its budget";

  std::vector<Case> cases;
  for (size_t i = 0; i < rows.size(); ++i)
    if (static_cast<int>(i % shards) == shard) cases.push_back(MakeCase(axes, rows[i], i, base.path()));
  // FLUVEX_OPTION_MATRIX_VALUES ("axis=value ...") runs one more run: those
  // values, the first value of every other axis.
  if (const char* values = std::getenv("FLUVEX_OPTION_MATRIX_VALUES")) {
    Row row(axes.size(), 0);
    std::istringstream words(values);
    for (std::string w; words >> w;)
      for (size_t k = 0; k < axes.size(); ++k)
        for (size_t v = 0; v < axes[k].values.size(); ++v)
          if (w == axes[k].name + "=" + axes[k].values[v].name) row[k] = v;
    cases.push_back(MakeCase(axes, row, 99, base.path()));
    cases.back().name = "chosen";
  }
  RunAndJudge(cases, settings);
}
