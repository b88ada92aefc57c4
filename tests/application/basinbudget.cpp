#include "tests/application/basinbudget.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "tests/application/channelwater.h"
#include "tests/support/testutil.h"

namespace fluvextest {

namespace {

bool Valid(double x) {
  return x > -9999;
}

// How far the value a printed number stands for may lie from it: half a
// unit of its last decimal ("2.34500" -> 5e-6, "1.5e-03" -> 5e-5), or,
// written with six significant digits (%g, trailing zeros dropped: "0.5"),
// half a unit of the sixth (5e-7; a printed 0 is exact).
double HalfUnit(const std::string& text, bool sixDigits) {
  if (sixDigits) {
    const double x = std::fabs(std::stod(text));
    return x > 0 ? 0.5 * std::pow(10.0, std::floor(std::log10(x)) - 5) : 0.0;
  }
  const size_t e = text.find_first_of("eE");
  const std::string mantissa = text.substr(0, e);
  const size_t dot = mantissa.find('.');
  const int decimals = dot == std::string::npos ? 0 : static_cast<int>(mantissa.size() - dot - 1);
  const int exponent = e == std::string::npos ? 0 : std::atoi(text.c_str() + e + 1);
  return 0.5 * std::pow(10.0, exponent - decimals);
}

// The rounding bound of a product of two printed values a and b (each known
// to its half unit).
double ProductRounding(const std::string& a, const std::string& b, bool sixDigits) {
  const double x = std::fabs(std::stod(a)), y = std::fabs(std::stod(b));
  const double dx = HalfUnit(a, sixDigits), dy = HalfUnit(b, sixDigits);
  return x * dy + y * dx + dx * dy;
}

}  // namespace

RunOutput::RunOutput(std::string dir, const std::string& relCellAreaGrid) : directory(std::move(dir)) {
  zoneGrid = ReadGridFile(directory + "/zones.asc");
  if (!relCellAreaGrid.empty()) relArea = ReadGridFile(directory + "/" + relCellAreaGrid);
  if (relArea.ncols != zoneGrid.ncols || relArea.nrows != zoneGrid.nrows) relArea = GridFile();
  for (int r = 1; r <= zoneGrid.nrows; ++r)
    for (int c = 1; c <= zoneGrid.ncols; ++c)
      if (Valid(zoneGrid.at(r, c))) area += CellArea(r, c);
}

std::string RunOutput::Text(const std::string& file) const {
  return ReadFile(directory + "/" + file);
}

double RunOutput::BasinMean(const std::string& file) const {
  const GridFile g = ReadGridFile(directory + "/out/" + file);
  if (g.ncols != zoneGrid.ncols || g.nrows != zoneGrid.nrows || area == 0) return NAN;
  return BasinMean(g, [](int, int) { return 1.0; });
}

template <typename Weight>
double RunOutput::BasinMean(const GridFile& g, Weight weight) const {
  double sum = 0;
  for (int r = 1; r <= g.nrows; ++r)
    for (int c = 1; c <= g.ncols; ++c)
      if (Valid(zoneGrid.at(r, c)) && Valid(g.at(r, c))) sum += g.at(r, c) * weight(r, c) * CellArea(r, c);
  return sum / area;
}

double Budget::Input() const {
  double s = 0;
  for (const auto& t : inputs) s += std::fabs(t.mm);
  return s;
}

double Budget::Residual() const {
  double r = 0;
  for (const auto& t : inputs) r += t.mm;
  for (const auto& t : outputs) r -= t.mm;
  for (const auto& t : storageChanges) r -= t.mm;
  return r;
}

std::string Budget::Report() const {
  std::string text;
  char line[200];
  auto add = [&](const char* kind, const std::vector<BudgetTerm>& terms) {
    for (const auto& t : terms) {
      std::snprintf(line, sizeof line, "  %-8s %-46s %16.9f mm\n", kind, t.name.c_str(), t.mm);
      text += line;
    }
  };
  add("in", inputs);
  add("out", outputs);
  add("storage", storageChanges);
  for (const auto& t : bounded) {
    std::snprintf(line, sizeof line, "  out      %-46s %16.9f mm of water, between %.9f and %.9f mm (estimate %.9f)\n",
                  t.name.c_str(), t.water, t.low, t.high, t.estimate);
    text += line;
  }
  for (const auto& u : unread) text += "  not read: " + u + "\n";
  const double in = Input();
  std::snprintf(line, sizeof line, "  residual %-46s %16.9f mm (%.2e of the input)\n",
                bounded.empty() ? "" : "(without the bounded terms)", Residual(),
                in != 0 ? std::fabs(Residual()) / in : 0.0);
  text += line;
  if (rounding > 0) {
    std::snprintf(line, sizeof line, "  rounding of the tables read %-28s %16.9f mm (%.2e of the input)\n", "",
                  rounding, in != 0 ? rounding / in : 0.0);
    text += line;
  }
  return text;
}

namespace {

long LastKey(const std::string& table);
long LineKey(const std::vector<std::string>& row);

// The terms of one budget, read from the runs start and end.
class Terms {
 public:
  Terms(const RunOutput& s, const RunOutput& e, const BudgetModules& m, Budget& b, bool warm)
      : start(s), end(e), modules(m), budget(b), warmStart(warm) {
    if (m.glacierMethod >= 10) {
      glacierStart = ReadGridFile(s.dir() + "/out/gfrac_end.asc");
      glacierEnd = ReadGridFile(e.dir() + "/out/gfrac_end.asc");
      if (glacierStart.ncols == 0 || glacierEnd.ncols == 0) Unread("gfrac_end.asc (the glacierized share at the end)");
    } else if (m.glacierMethod > 0) {
      glacierStart = glacierEnd = ReadGridFile(s.dir() + "/ice_firn.asc");
      if (glacierStart.ncols == 0) Unread("ice_firn.asc (the glacier cells)");
    }
  }

  void Precipitation();
  void Evaporation();
  void Snow();
  void Interception();
  void Soil();
  void Surface();
  void Routing();
  void Groundwater();
  // The mass budget of a tracer (after the water's, whose terms it takes).
  void Tracer(const BudgetModules::Tracer& tracer, const Budget& water);
  // What an evaporating tracer left with the evaporated water, from the
  // grids of every step (the soil's share bounded).
  void EvaporatedTracer(const BudgetModules::Tracer& tracer, int index);
  // The drift's tracer beyond the input's concentration where the snow's
  // water input holds other water, from the special output of every step.
  void DriftedTracer(const BudgetModules::Tracer& tracer, int index);

 private:
  // Change of a run sum grid between the two runs, weighted per cell.
  template <typename Weight>
  bool SumChange(const std::string& file, Weight weight, double& mm);
  bool SumChange(const std::string& file, double& mm) {
    return SumChange(
        file, [](int, int) { return 1.0; }, mm);
  }
  // Change of a grid written at the end of each run, weighted per cell by
  // the weight of that run.
  template <typename Weight>
  bool StateChange(const std::string& file, Weight weight, double& mm);
  void Unread(const std::string& what) { budget.unread.push_back(what); }
  double FreeShare(const RunOutput& run, int r, int c) const { return 1.0 - Glacierized(run, r, c); }
  double Glacierized(const RunOutput& run, int r, int c) const;
  // Water in transit in the flow-time zones and linear storages of a
  // storage content section (the soil model's or the surface routing's), mm
  // over the basin, summed over the instances' files.
  // (Of a tracer t > 0: its mass, mm x concentration.)
  bool RunoffInTransit(const RunOutput& run, const std::string& section, bool linearStorages, double& mm,
                       int t = 0) const;
  // Water held in the glacier runoff storages of the snow model at the end
  // of a run, mm over the basin (of a tracer t > 0: its mass).
  bool GlacierRunoffStorages(const RunOutput& run, double& mm, int t = 0) const;
  // The snow water (mm) on each static glacier cell (row, column) at the
  // end of a run, from the point output of every step.
  bool StaticGlacierSnow(const RunOutput& run, std::map<std::pair<int, int>, double>& cells);

  const RunOutput& start;
  const RunOutput& end;
  const BudgetModules& modules;
  Budget& budget;
  bool warmStart;
  GridFile glacierStart, glacierEnd;  // glacierized share of each cell at the end of each run
};

double Terms::Glacierized(const RunOutput& run, int r, int c) const {
  const GridFile& g = &run == &start ? glacierStart : glacierEnd;
  if (g.ncols == 0) return 0.0;
  const double v = g.at(r, c);
  if (!Valid(v)) return 0.0;
  // Static glaciers cover the whole of every cell of the ice and firn grid.
  if (modules.glacierMethod < 10) return v > 0 ? 1.0 : 0.0;
  return std::min(1.0, std::max(0.0, v));
}

template <typename Weight>
bool Terms::SumChange(const std::string& file, Weight weight, double& mm) {
  const GridFile a = ReadGridFile(start.dir() + "/out/" + file), b = ReadGridFile(end.dir() + "/out/" + file);
  if (a.ncols != start.zones().ncols || b.ncols != end.zones().ncols) {
    Unread(file + " (a run sum written at the end of each run)");
    return false;
  }
  // A warm started run sums from its own start.
  mm = end.BasinMean(b, weight) - (warmStart ? 0.0 : start.BasinMean(a, weight));
  return true;
}

template <typename Weight>
bool Terms::StateChange(const std::string& file, Weight weight, double& mm) {
  const GridFile a = ReadGridFile(start.dir() + "/out/" + file), b = ReadGridFile(end.dir() + "/out/" + file);
  if (a.ncols != start.zones().ncols || b.ncols != end.zones().ncols) {
    Unread(file + " (a state written at the end of each run)");
    return false;
  }
  mm = end.BasinMean(b, [&](int r, int c) { return weight(end, r, c); }) -
       start.BasinMean(a, [&](int r, int c) { return weight(start, r, c); });
  return true;
}

void Terms::Precipitation() {
  double mm;
  if (SumChange("prec.sum", mm)) budget.inputs.push_back({"precipitation", mm});
  // Snow methods with a deposition index D add the snow drifted onto a cell
  // to its snowfall and to its water input: D times the snowfall of the
  // snow model's water input, which is the precipitation with the
  // irrigation (or the throughfall when the interception runs first; the
  // glacier part of a cell takes the precipitation). The snowfall written
  // (snow.sum; of a partly glacierized cell its parts' by their shares)
  // holds the drift already: the drift is D / (1 + D) of it. Glacier
  // methods but 13 split a glacierized cell's input into snow and rain
  // themselves, without drift (method 13 leaves both parts to the snow
  // method, drift included); the glacierized cells of a period are those
  // of its start (an update inside the period splits the budget).
  if (modules.snow && modules.depositionIndex) {
    const GridFile index = ReadGridFile(end.dir() + "/" + modules.depositionIndexGrid);
    // A cell that rested for a missing input has no rain and snow, and no drift.
    const GridFile partitioned = ReadGridFile(end.dir() + "/out/snow.sum");
    const bool glaciersDrift = modules.glacierMethod == 0 || modules.glacierMethod == 13;
    auto weight = [&](int r, int c) {
      const double D = index.at(r, c);
      if (!glaciersDrift && Glacierized(start, r, c) > 0) return 0.0;
      return Valid(D) && D > -1 && partitioned.ncols == end.zones().ncols && Valid(partitioned.at(r, c)) ? D / (1 + D)
                                                                                                         : 0.0;
    };
    if (index.ncols != end.zones().ncols || index.nrows != end.zones().nrows) {
      Unread(modules.depositionIndexGrid + " (the deposition index)");
    } else if (SumChange("snow.sum", weight, mm)) {
      budget.inputs.push_back({"snow drift (deposition index)", mm});
    }
  }
}

void Terms::Evaporation() {
  // The evaporation of the cells' free part; on glacierized cells the
  // glacier's own snow evaporation adds.
  auto free = [this](int r, int c) { return FreeShare(start, r, c); };
  double mm;
  if (modules.interception && SumChange("ei.sum", free, mm)) budget.outputs.push_back({"interception evaporation", mm});
  for (int layer = 1; layer <= modules.vegetationLayers; ++layer)
    if (SumChange("etr_Layer_" + std::to_string(layer) + ".sum", free, mm))
      budget.outputs.push_back({"transpiration, layer " + std::to_string(layer), mm});
  if (SumChange("evar.sum", free, mm)) budget.outputs.push_back({"soil evaporation", mm});
  if (modules.snow && SumChange("evrs.sum", free, mm)) budget.outputs.push_back({"snow evaporation", mm});
  if (modules.glacierMethod >= 10 && SumChange(
                                         "sgevap.sum", [this](int r, int c) { return Glacierized(start, r, c); }, mm))
    budget.outputs.push_back({"snow evaporation on glaciers", mm});
}

void Terms::Snow() {
  if (!modules.snow) return;
  auto free = [this](const RunOutput& run, int r, int c) { return FreeShare(run, r, c); };
  auto glacier = [this](const RunOutput& run, int r, int c) { return Glacierized(run, r, c); };
  double solid, liquid;
  if (StateChange("ssolid.asc", free, solid) && StateChange("sliquid.asc", free, liquid))
    budget.storageChanges.push_back({"snow cover", solid + liquid});
  if (modules.glacierMethod == 0) return;
  double mm;
  if (modules.glacierMethod >= 10) {
    if (StateChange("sgsolid.asc", glacier, solid) && StateChange("sgliquid.asc", glacier, liquid))
      budget.storageChanges.push_back({"snow on glaciers", solid + liquid});
    const StackFile a = ReadStackFile(start.dir() + "/out/firn.stk"), b = ReadStackFile(end.dir() + "/out/firn.stk");
    if (a.ncols == start.zones().ncols && b.ncols == end.zones().ncols) {
      auto total = [&](const RunOutput& run, const StackFile& f) {
        double sum = 0;
        for (int r = 1; r <= f.nrows; ++r)
          for (int c = 1; c <= f.ncols; ++c)
            if (Valid(run.zones().at(r, c)) && Valid(f.at(r, c, 0)))
              sum += f.at(r, c, 0) * Glacierized(run, r, c) * run.CellArea(r, c);
        return sum / run.basinArea();
      };
      budget.storageChanges.push_back({"firn", total(end, b) - total(start, a)});
    } else {
      Unread("firn.stk (the firn stack at the end of each run)");
    }
  } else {
    // The snow on static glaciers is written at the glacier cells only, by
    // the point output of every step; the last line holds the end.
    double sum[2] = {0, 0};
    const RunOutput* runs[2] = {&start, &end};
    for (int k = 0; k < 2; ++k) {
      std::map<std::pair<int, int>, double> cells;
      if (!StaticGlacierSnow(*runs[k], cells)) return;
      for (const auto& [at, mm] : cells) sum[k] += mm * runs[k]->CellArea(at.first, at.second);
      sum[k] /= runs[k]->basinArea();
    }
    budget.storageChanges.push_back({"snow on glaciers", sum[1] - sum[0]});
  }
  // Ice (and on static glaciers the firn body, which never runs out) is held
  // in no grid: its store shrinks by what melts and, on dynamic glaciers,
  // grows by the firn that turns to ice at the yearly update (mm over the
  // cell).
  double a, b;
  if (GlacierRunoffStorages(start, a) && GlacierRunoffStorages(end, b)) {
    budget.storageChanges.push_back({"glacier runoff storages", b - a});
  } else {
    Unread("section [snow_model] of the storage content file and the storage constants of [ice_firn]");
  }
  auto g = [this](int r, int c) { return Glacierized(start, r, c); };
  if (SumChange("mice.sum", g, mm)) budget.storageChanges.push_back({"ice (melt taken from it)", -mm});
  if (modules.glacierMethod >= 10 && SumChange("firnice.sum", mm))
    budget.storageChanges.push_back({"ice (firn turned to it)", mm});
  if (modules.glacierMethod < 10 && SumChange("mfirn.sum", g, mm))
    budget.storageChanges.push_back({"firn body (melt taken from it)", -mm});
}

bool Terms::StaticGlacierSnow(const RunOutput& run, std::map<std::pair<int, int>, double>& cells) {
  const auto rows = Rows(run.Text("out/glacierpoints.txt"));
  if (rows.size() < 4 || rows.back().size() < 4) {
    Unread("glacierpoints.txt (the snow on static glaciers)");
    return false;
  }
  // Each point's mm over its cell (its solid and its liquid water), named
  // "<what>/<column>/<row>" in the first line.
  for (size_t i = 4; i < rows.back().size(); ++i) {
    int column = 0, row = 0;
    const std::string name = i < rows[0].size() ? rows[0][i] : std::string();
    const size_t slash = name.find('/');
    if (slash == std::string::npos || std::sscanf(name.c_str() + slash, "/%d/%d", &column, &row) != 2 || row < 1 ||
        row > run.zones().nrows || column < 1 || column > run.zones().ncols) {
      Unread("glacierpoints.txt (the cells of the snow on static glaciers)");
      return false;
    }
    cells[{row, column}] += std::stod(rows.back()[i]);
  }
  return true;
}

bool Terms::GlacierRunoffStorages(const RunOutput& run, double& mm, int t) const {
  // The storage constants (steps) of ice, firn and snow: the tenth to
  // twelfth lines of [ice_firn].
  const auto section = StorageSection(run.Text("control.txt"), "ice_firn");
  double e[3];
  for (int x = 0; x < 3; ++x) {
    const auto k = section.size() > 11 ? LeadingNumbers(section[9 + x]) : std::vector<double>();
    if (k.empty() || !(k[0] > 0)) return false;
    e[x] = std::exp(-1 / k[0]);
  }
  const std::string file = run.Text("out/storage.ftz_0");
  std::vector<double> codes;
  for (const auto& line : StorageSection(file, "unsatzon_model"))
    if (line.find("(code)") != std::string::npos) codes = LeadingNumbers(line);
  // Per subbasin i (the rank of its code) three lines "i<tab>X C1 C2(comment)":
  // the last outflow X (mm per step over the glacierized area) of the ice,
  // firn and snow storage, and its concentration of each tracer.
  const auto lines = StorageSection(file, "snow_model");
  if (codes.empty() || lines.size() < 1 + 3 * codes.size()) return false;
  std::vector<double> glacierized(codes.size(), 0.0);
  for (int r = 1; r <= run.zones().nrows; ++r)
    for (int c = 1; c <= run.zones().ncols; ++c)
      for (size_t i = 0; i < codes.size(); ++i)
        if (run.zones().at(r, c) == codes[i]) glacierized[i] += Glacierized(run, r, c) * run.CellArea(r, c);
  double held = 0;
  for (size_t i = 0; i < codes.size(); ++i)
    for (int x = 0; x < 3; ++x) {
      const char* text = lines[1 + 3 * i + static_cast<size_t>(x)].c_str();
      char* after = nullptr;
      if (std::strtol(text, &after, 10) != static_cast<long>(i + 1)) return false;
      double q = std::strtod(after, &after);
      for (int k = 1; k <= t; ++k) {
        char* end = nullptr;
        const double conc = std::strtod(after, &end);
        if (end == after) return false;
        after = end;
        if (k == t) q *= conc;
      }
      // A linear storage that gave out q holds q e / (1 - e).
      held += q * e[x] / (1 - e[x]) * glacierized[i];
    }
  mm = held / run.basinArea();
  return true;
}

void Terms::Interception() {
  if (!modules.interception) return;
  double mm;
  if (StateChange(
          "si.asc", [this](const RunOutput& run, int r, int c) { return FreeShare(run, r, c); }, mm))
    budget.storageChanges.push_back({"interception storage", mm});
}

void Terms::Soil() {
  // Water of the soil column: the water content of each layer times its
  // thickness (the layer boundaries in m below the surface).
  auto column = [this](const RunOutput& run, double& mm) {
    const StackFile theta = ReadStackFile(run.dir() + "/out/uzgrid3.asc");
    const StackFile bounds = ReadStackFile(run.dir() + "/out/uzgrid5.asc");
    if (theta.ncols != run.zones().ncols || bounds.ncols != theta.ncols || bounds.levels != theta.levels) return false;
    double sum = 0;
    for (int r = 1; r <= theta.nrows; ++r)
      for (int c = 1; c <= theta.ncols; ++c) {
        if (!Valid(run.zones().at(r, c)) || !Valid(theta.at(r, c, 1))) continue;
        double w = 0;
        for (int k = 1; k <= theta.levels; ++k)
          w += theta.at(r, c, k) * std::fabs(bounds.at(r, c, k - 1) - bounds.at(r, c, k));
        sum += 1000 * w * FreeShare(run, r, c) * run.CellArea(r, c);
      }
    mm = sum / run.basinArea();
    return true;
  };
  double a, b;
  if (column(start, a) && column(end, b)) {
    budget.storageChanges.push_back({"soil column with its groundwater", b - a});
  } else {
    Unread("uzgrid3.asc and uzgrid5.asc (water content and layer boundaries at the end of each run)");
  }
  double mm;
  // The water ponding on lake cells is the lake's volume, which the
  // routing keeps (and which includes the last step's in- and outflow).
  const GridFile lakes = modules.lakes ? ReadGridFile(start.dir() + "/lake_codes.asc") : GridFile();
  auto ponding = [&](const RunOutput& run, int r, int c) {
    return lakes.ncols > 0 && Valid(lakes.at(r, c)) ? 0.0 : FreeShare(run, r, c);
  };
  if (modules.ponding && StateChange("uzgrid21.asc", ponding, mm))
    budget.storageChanges.push_back({"ponded water (but lakes)", mm});
  // Dynamic glaciers: the soil water of the share that a glacier covers at
  // the yearly update leaves the soil column's store (it is kept under the
  // glacier), that of a share it leaves joins it: the change of the share
  // times the water of the cell's column as the update's step leaves it (the
  // soil takes it at the start of the next step). A budget holds the update
  // in its last step only (the cases split at the update's step), so the
  // column is that of the end. A column covered wholly takes the
  // groundwater's exchange of that step under the glacier (uzgrid18, mm over
  // the column, positive where it gives water).
  if (modules.glacierMethod >= 10) {
    const StackFile theta = ReadStackFile(end.dir() + "/out/uzgrid3.asc");
    const StackFile bounds = ReadStackFile(end.dir() + "/out/uzgrid5.asc");
    const GridFile exchange = ReadGridFile(end.dir() + "/out/uzgrid18.asc");
    if (theta.ncols == end.zones().ncols && bounds.ncols == theta.ncols && bounds.levels == theta.levels) {
      double covered = 0;
      for (int r = 1; r <= theta.nrows; ++r)
        for (int c = 1; c <= theta.ncols; ++c) {
          const double share = Glacierized(end, r, c) - Glacierized(start, r, c);
          if (share == 0 || !Valid(end.zones().at(r, c)) || !Valid(theta.at(r, c, 1))) continue;
          double w = 0;
          for (int k = 1; k <= theta.levels; ++k)
            w += theta.at(r, c, k) * std::fabs(bounds.at(r, c, k - 1) - bounds.at(r, c, k));
          const bool whole = modules.groundwaterFlow && Glacierized(end, r, c) >= 1 && exchange.ncols == theta.ncols &&
                             Valid(exchange.at(r, c));
          covered += (1000 * w - (whole ? exchange.at(r, c) : 0.0)) * share * end.CellArea(r, c);
        }
      budget.storageChanges.push_back({"soil water under glaciers", covered / end.basinArea()});
    }
  }
  if (RunoffInTransit(start, "unsatzon_model", !modules.surfaceRouting, a) &&
      RunoffInTransit(end, "unsatzon_model", !modules.surfaceRouting, b)) {
    budget.storageChanges.push_back({"soil runoff in flow-time zones and storages", b - a});
  } else {
    Unread("section [unsatzon_model] of the storage content files");
  }
}

void Terms::Surface() {
  if (!modules.surfaceRouting) return;
  double mm;
  if (StateChange(
          "surfstor.asc", [](const RunOutput&, int, int) { return 1.0; }, mm))
    budget.storageChanges.push_back({"water on the surface", mm});
  double a, b;
  if (RunoffInTransit(start, "SurfaceRoutingModel", true, a) && RunoffInTransit(end, "SurfaceRoutingModel", true, b)) {
    budget.storageChanges.push_back({"surface runoff in flow-time zones and storages", b - a});
  } else {
    Unread("section [SurfaceRoutingModel] of the storage content files");
  }
}

bool Terms::RunoffInTransit(const RunOutput& run, const std::string& section, bool linearStorages, double& mm,
                            int t) const {
  // Cells of each subbasin, in the order of the soil model's codes.
  const std::string first = run.Text("out/storage.ftz_0");
  const auto soil = StorageSection(first, "unsatzon_model");
  std::vector<double> codes, kd, ki;
  for (const auto& line : soil) {
    if (line.find("(code)") != std::string::npos) codes = LeadingNumbers(line);
    if (line.find("(kelsqd in min)") != std::string::npos) kd = LeadingNumbers(line);
    if (line.find("(kelsqi in min)") != std::string::npos) ki = LeadingNumbers(line);
  }
  if (codes.empty() || kd.size() != codes.size() || ki.size() != codes.size()) return false;
  // (Each cell with its relative area, as the records weight it.)
  const GridFile rel =
      modules.relCellAreaGrid.empty() ? GridFile() : ReadGridFile(run.dir() + "/" + modules.relCellAreaGrid);
  if (!modules.relCellAreaGrid.empty() && rel.values.size() != run.zones().values.size()) return false;
  std::vector<double> cells(codes.size(), 0.0);
  double basin = 0;
  for (size_t i = 0; i < run.zones().values.size(); ++i) {
    const double z = run.zones().values[i];
    const double w = rel.values.empty() || !Valid(rel.values[i]) ? 1.0 : rel.values[i];
    if (Valid(z)) basin += w;
    for (size_t s = 0; s < codes.size(); ++s)
      if (Valid(z) && z == codes[s]) cells[s] += w;
  }
  // Each instance writes the sums of its own cells; the zone records and
  // outflows of all instances together are the subbasin's.
  double total = 0;
  bool found = false;
  for (int rank = 0;; ++rank) {
    const std::string path = run.dir() + "/out/storage.ftz_" + std::to_string(rank);
    if (!std::filesystem::exists(path)) break;
    const auto lines = StorageSection(ReadFile(path), section);
    if (lines.empty()) continue;
    found = true;
    int tracer = -1;
    // The zone records scale with the sub-steps of the run that wrote them (its layout line).
    double substeps = modules.substeps;
    // The last outflow of the water's linear storages per subbasin (a
    // tracer's records hold its concentration there).
    std::vector<double> waterQd(codes.size(), 0.0), waterQi(codes.size(), 0.0);
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find("(instances and sub-steps") != std::string::npos) substeps = LeadingNumbers(lines[i]).at(1);
      if (lines[i].find("(0=runoff") != std::string::npos) tracer = static_cast<int>(LeadingNumbers(lines[i]).at(0));
      if (tracer == 0 && t > 0 && lines[i].find("maxzeit)") != std::string::npos) {
        const auto head = LeadingNumbers(lines[i]);
        const size_t s = static_cast<size_t>(head.at(0)) - 1, zones = static_cast<size_t>(head.at(1));
        if (s >= codes.size() || i + 2 * zones + 2 >= lines.size()) return false;
        waterQd[s] = LeadingNumbers(lines[i + 2 * zones + 1]).at(0);
        waterQi[s] = LeadingNumbers(lines[i + 2 * zones + 2]).at(0);
        i += 2 * zones + 2;
        continue;
      }
      if (tracer != t || lines[i].find("maxzeit)") == std::string::npos) continue;
      const auto head = LeadingNumbers(lines[i]);
      const size_t s = static_cast<size_t>(head.at(0)) - 1, zones = static_cast<size_t>(head.at(1));
      if (s >= codes.size() || i + 2 * zones + 2 >= lines.size()) return false;
      // The first zone was drained at the end of the last step; the others
      // hold the water on its way, as mm x cells x sub-steps.
      double held = 0;
      for (size_t z = 2; z <= zones; ++z)
        held += LeadingNumbers(lines[i + 2 * z - 1]).at(1) + LeadingNumbers(lines[i + 2 * z]).at(1);
      held /= substeps * cells[s];
      if (linearStorages) {
        // The linear storages keep their last outflow Q (mm per step); the
        // water they hold is Q e / (1 - e), e = exp(-step / k).
        // (A tracer's storage holds the water's at its concentration.)
        const double qd = LeadingNumbers(lines[i + 2 * zones + 1]).at(0);
        const double qi = LeadingNumbers(lines[i + 2 * zones + 2]).at(0);
        const double ed = kd[s] > 0 ? std::exp(-modules.stepMinutes / kd[s]) : 0.0;
        const double ei = ki[s] > 0 ? std::exp(-modules.stepMinutes / ki[s]) : 0.0;
        held += t > 0 ? waterQd[s] * ed / (1 - ed) * qd + waterQi[s] * ei / (1 - ei) * qi
                      : qd * ed / (1 - ed) + qi * ei / (1 - ei);
      }
      total += held * cells[s];
      i += 2 * zones + 2;
    }
  }
  mm = basin > 0 ? total / basin : 0.0;
  return found;
}

// Date of a line of a per-step table (year, month, day, hour in its first
// four words) as a number that orders the lines; -1 for a line without one.
long LineKey(const std::vector<std::string>& row) {
  if (row.size() < 5 || row[0].empty() || !std::isdigit(static_cast<unsigned char>(row[0][0]))) return -1;
  return ((std::stol(row[0]) * 13 + std::stol(row[1])) * 32 + std::stol(row[2])) * 25 + std::stol(row[3]);
}

long LastKey(const std::string& table) {
  long last = -1;
  for (const auto& row : Rows(table)) last = std::max(last, LineKey(row));
  return last;
}

// Sum of column k over the lines of a per-step table dated after from and
// up to to, times the step's seconds: m3 from m3/s.
bool PeriodVolume(const std::string& table, long from, long to, size_t column, double seconds, double& m3) {
  m3 = 0;
  bool any = false;
  for (const auto& row : Rows(table)) {
    const long key = LineKey(row);
    if (key > from && key <= to && column < row.size()) {
      m3 += std::stod(row[column]) * seconds;
      any = true;
    }
  }
  return from >= 0 && any;
}

// River water the irrigation took, in transit to the fields of the next
// step, summed over the routing subbasins: m3 (index 0), or the mass of
// tracer index (m3 x concentration).
static double InTransitToTheFields(const RunOutput& run, int index) {
  double sum = 0;
  for (const auto& line : StorageSection(run.Text("out/storage.ftz_0"), "routing_model"))
    if (line.find("(irrigation water [m3] in transit") != std::string::npos) {
      const auto values = LeadingNumbers(line);
      if (static_cast<size_t>(index) < values.size()) sum += values[index];
    }
  return sum;
}

void Terms::Routing() {
  const double cellArea = start.zones().cellsize * start.zones().cellsize;
  if (!modules.relCellAreaGrid.empty() && !start.hasCellAreas())
    Unread(modules.relCellAreaGrid + " (the relative cell areas)");
  const double area = cellArea * start.basinArea();  // m2
  const double seconds = 60.0 * modules.stepMinutes;
  auto mm = [&](double m3) { return m3 / area * 1000; };
  double m3;
  // The period: the lines of the long run after the short run's last line.
  const std::string q0 = start.Text("out/discharge.stat"), q1 = end.Text("out/discharge.stat");
  const long from = LastKey(q0), to = LastKey(q1);
  // The basin outlet is the last column of the routed discharge (m3/s).
  const auto rows = Rows(q0);
  if (rows.empty() || !PeriodVolume(q1, from, to, rows.front().size() - 1, seconds, m3)) {
    Unread("discharge.stat (routed discharge in m3/s)");
  } else {
    budget.outputs.push_back({"discharge at the outlet", mm(m3)});
  }
  for (const std::string& table : modules.abstractionsLeaving) {
    if (PeriodVolume(end.Text("out/" + table), from, to, 4, seconds, m3)) {
      budget.outputs.push_back({"abstraction (" + table + ")", mm(m3)});
    } else {
      Unread(table + " (abstracted m3/s of each step)");
    }
  }
  for (const auto& [routed, observed] : modules.observedColumns) {
    std::string subbasin = rows.empty() || routed >= rows.front().size() ? "?" : rows.front()[routed];
    std::erase(subbasin, '"');
    // The channels take the observation of a step where the file holds one
    // of 0 or more; in the other steps (a gap, or after the file's end) they
    // keep the simulated discharge, and the run names each gap in a WARNING.
    std::set<long> observedSteps;
    m3 = 0;
    for (const auto& row : Rows(end.Text(modules.observedFile))) {
      const long key = LineKey(row);
      if (key <= from || key > to || observed >= row.size() || !(std::stod(row[observed]) >= 0)) continue;
      observedSteps.insert(key);
      m3 += std::stod(row[observed]) * seconds;
    }
    double replaced = 0;
    bool gap = false;
    for (const auto& row : Rows(q1)) {
      const long key = LineKey(row);
      if (key <= from || key > to || routed >= row.size()) continue;
      if (observedSteps.count(key))
        replaced += std::stod(row[routed]) * seconds;
      else
        gap = true;
    }
    const std::string named = "holds no value in column " + std::to_string(observed - 3) + " (subbasin ";
    if (from < 0 || observedSteps.empty()) {
      Unread(modules.observedFile + " and the routed discharge of subbasin " + subbasin);
    } else if (gap && end.Text("Fluvex_Diag_0.xml").find(named) == std::string::npos) {
      Unread("the WARNING that names the steps without an observation of subbasin " + subbasin);
    } else {
      budget.inputs.push_back({"observed discharge of subbasin " + subbasin, mm(m3)});
      budget.outputs.push_back({"routed discharge of subbasin " + subbasin + " it replaces", mm(replaced)});
    }
  }
  // Reservoirs keep their volume (m3) in the storage content file.
  auto reservoirs = [](const RunOutput& run) {
    double v = 0;
    for (const auto& line : StorageSection(run.Text("out/storage.ftz_0"), "routing_model"))
      if (line.find("(reservoir ") != std::string::npos) v += LeadingNumbers(line).at(0);
    return v;
  };
  budget.storageChanges.push_back({"reservoirs and lakes", mm(reservoirs(end) - reservoirs(start))});
  // Withdrawals (irrigation, the soil's uptake) that found no water in the
  // river: water the fields and the soil got that the river never gave,
  // summed per routing subbasin since the cold start (m3).
  auto unmet = [](const RunOutput& run, double& m3) {
    int blocks = 0, sums = 0;
    m3 = 0;
    for (const auto& line : StorageSection(run.Text("out/storage.ftz_0"), "routing_model")) {
      if (line.find("(routing subbasin with tributaries") != std::string::npos) ++blocks;
      if (line.find("(withdrawals [m3] the river could not give)") != std::string::npos) {
        m3 += LeadingNumbers(line).at(0);
        ++sums;
      }
    }
    return sums == blocks;
  };
  double unmetStart, unmetEnd;
  if (unmet(start, unmetStart) && unmet(end, unmetEnd)) {
    budget.inputs.push_back({"withdrawals the river could not give", mm(unmetEnd - unmetStart)});
  } else {
    Unread("out/storage.ftz_0 (the withdrawals the river could not give of every routing subbasin)");
  }
  if (modules.irrigation)
    budget.storageChanges.push_back({"irrigation water in transit to the fields",
                                     mm(InTransitToTheFields(end, 0) - InTransitToTheFields(start, 0))});
  double a, b;
  std::string why;
  if (ChannelWater(start.dir(), a, why, modules.relCellAreaGrid) &&
      ChannelWater(end.dir(), b, why, modules.relCellAreaGrid)) {
    budget.storageChanges.push_back({"channels", mm(b - a)});
  } else {
    Unread("the water in the channels: " + why);
  }
}

void Terms::Groundwater() {
  if (!modules.groundwaterFlow) return;
  double total = 0;
  bool read = true;
  for (const auto& layer : modules.deepLayers) {
    const GridFile S = ReadGridFile(end.dir() + "/" + layer.storage);
    double mm = 0;
    if (S.ncols != end.zones().ncols || S.nrows != end.zones().nrows) {
      Unread(layer.storage + " (the storage coefficient of a deeper groundwater layer)");
      read = false;
    } else if (StateChange(
                   layer.heads,
                   [&](const RunOutput&, int r, int c) { return Valid(S.at(r, c)) ? 1000 * S.at(r, c) : 0.0; }, mm)) {
      total += mm;
    } else {
      read = false;
    }
  }
  if (read && !modules.deepLayers.empty()) budget.storageChanges.push_back({"groundwater below layer 1", total});
  if (modules.deepLayers.empty() && modules.groundwaterBoundaries.empty()) return;
  // Layer 1's exchange of the last step (the soil's baseflow grid, positive
  // where the column gives water, mm over the column's open share) reaches
  // the soil column in the next step: water on its way. (Without leakage or
  // boundaries it sums to about 0 over the basin: the faces only move it
  // between the cells.)
  double pending = 0;
  if (StateChange(
          "uzgrid18.asc", [this](const RunOutput& run, int r, int c) { return -FreeShare(run, r, c); }, pending))
    budget.storageChanges.push_back({"groundwater exchange the soil takes in the next step", pending});
  if (modules.groundwaterBoundaries.empty()) return;
  // The steps of the period, one line each in the discharge table.
  const double seconds = PeriodLines(start, end, "discharge.stat") * 60.0 * modules.stepMinutes;
  double heads = 0, inflows = 0;
  for (const auto& b : modules.groundwaterBoundaries) {
    const GridFile h = ReadGridFile(end.dir() + "/" + b.fixedHeads), q = ReadGridFile(end.dir() + "/" + b.fixedInflows);
    if (h.ncols != end.zones().ncols || q.ncols != end.zones().ncols) {
      Unread(b.fixedHeads + " and " + b.fixedInflows + " (the fixed heads and inflows of a groundwater layer)");
      return;
    }
    auto fixed = [&](int r, int c) { return Valid(h.at(r, c)); };
    double mm = 0;
    if (!SumChange(
            b.balanceSum, [&](int r, int c) { return fixed(r, c) ? 1.0 : 0.0; }, mm))
      return;
    heads += mm;
    // (m/s over the cell: mm over the period.)
    GridFile inflow = q;
    for (int r = 1; r <= q.nrows; ++r)
      for (int c = 1; c <= q.ncols; ++c)
        inflow.values[static_cast<size_t>((r - 1) * q.ncols + (c - 1))] =
            !fixed(r, c) && Valid(q.at(r, c)) ? 1000 * q.at(r, c) * seconds : 0.0;
    inflows += end.BasinMean(inflow, [](int, int) { return 1.0; });
  }
  budget.inputs.push_back({"groundwater from fixed heads", heads});
  budget.inputs.push_back({"groundwater from fixed inflows", inflows});
}

void Terms::Tracer(const BudgetModules::Tracer& tracer, const Budget& water) {
  const std::string& p = tracer.prefix;
  const bool evaporating = tracer.evaporating;
  char conc[32];
  std::snprintf(conc, sizeof conc, "%g", tracer.input);
  // In: the water input at the input's concentration (the precipitation and
  // the snow that drifts in).
  double input = Term(water, "precipitation");
  if (modules.snow && modules.depositionIndex) input += Term(water, "snow drift");
  if (std::isnan(input)) {
    Unread("the water input (its water terms are not read)");
  } else {
    budget.inputs.push_back({"water input at " + std::string(conc), tracer.input * input});
  }
  int index = 0;  // the tracer's number
  for (size_t k = 0; k < modules.tracers.size(); ++k)
    if (modules.tracers[k].name == tracer.name) index = static_cast<int>(k) + 1;
  if (modules.snow && modules.depositionIndex && !modules.driftSnowfallPoints.empty()) DriftedTracer(tracer, index);
  const RunOutput* runs[2] = {&start, &end};
  // A store of grids at the end of each run: an amount where the tracer
  // does not evaporate, else its concentration times the store's water
  // (the sum of the water grids), each cell by its share.
  auto gridStore = [&](const std::string& label, const std::string& file, const std::vector<std::string>& waterFiles,
                       bool freeShare, bool concentration) {
    double mass[2];
    for (int k = 0; k < 2; ++k) {
      const RunOutput& run = *runs[k];
      const GridFile g = ReadGridFile(run.dir() + "/out/" + file);
      std::vector<GridFile> w;
      for (const auto& f : waterFiles) w.push_back(ReadGridFile(run.dir() + "/out/" + f));
      bool read = g.ncols == run.zones().ncols && g.nrows == run.zones().nrows;
      for (const auto& x : w) read = read && x.ncols == g.ncols && x.nrows == g.nrows;
      if (!read) {
        Unread(file + (concentration ? " and its water" : "") + " (" + label + " at the end of each run)");
        return;
      }
      mass[k] = run.BasinMean(g, [&](int r, int c) {
        double v = 1.0;
        if (concentration) {
          v = 0;
          for (const auto& x : w) v += Valid(x.at(r, c)) ? x.at(r, c) : 0.0;
        }
        return v * (freeShare ? FreeShare(run, r, c) : 1.0);
      });
    }
    budget.storageChanges.push_back({label, mass[1] - mass[0]});
  };
  if (modules.interception) gridStore("the leaves' tracer", p + "inter.asc", {"si.asc"}, true, evaporating);
  if (modules.snow) gridStore("the snow's tracer", p + "snow_.asc", {"ssolid.asc", "sliquid.asc"}, true, evaporating);
  // The glacier part's snow keeps its own (per mm of the part; a dynamic
  // glacier's snow water in its grids, the static glaciers' in the point
  // output of their cells).
  if (modules.snow && modules.glacierMethod > 0) {
    double mass[2];
    bool read = true;
    for (int k = 0; k < 2 && read; ++k) {
      const RunOutput& run = *runs[k];
      const GridFile g = ReadGridFile(run.dir() + "/out/" + p + "snowg.asc");
      read = g.ncols == run.zones().ncols && g.nrows == run.zones().nrows;
      if (read && evaporating && modules.glacierMethod < 10) {
        // A static glacier's snow water is the point output's (its cells
        // glacier whole).
        std::map<std::pair<int, int>, double> cells;
        read = StaticGlacierSnow(run, cells);
        mass[k] = 0;
        for (const auto& [at, mm] : cells)
          if (Valid(g.at(at.first, at.second)))
            mass[k] += mm * g.at(at.first, at.second) * run.CellArea(at.first, at.second);
        mass[k] /= run.basinArea();
        continue;
      }
      const GridFile a = ReadGridFile(run.dir() + "/out/sgsolid.asc"), b = ReadGridFile(run.dir() + "/out/sgliquid.asc");
      // An evaporating tracer's firn keeps its own concentration (of the
      // firn total, level 0 of the stack).
      const GridFile f = evaporating ? ReadGridFile(run.dir() + "/out/" + p + "firng.asc") : GridFile();
      const StackFile firn = evaporating ? ReadStackFile(run.dir() + "/out/firn.stk") : StackFile();
      read = read && (!evaporating || (a.ncols == g.ncols && b.ncols == g.ncols && f.ncols == g.ncols &&
                                       firn.ncols == g.ncols && firn.nrows == g.nrows));
      if (read)
        mass[k] = run.BasinMean(g,
                                [&](int r, int c) {
                                  const double w = evaporating ? (Valid(a.at(r, c)) ? a.at(r, c) : 0.0) +
                                                                     (Valid(b.at(r, c)) ? b.at(r, c) : 0.0)
                                                               : 1.0;
                                  return w * Glacierized(run, r, c);
                                }) +
                  (evaporating ? run.BasinMean(f,
                                               [&](int r, int c) {
                                                 const double w = firn.at(r, c, 0);
                                                 return (Valid(w) ? w : 0.0) * Glacierized(run, r, c);
                                               })
                               : 0.0);
    }
    if (read) {
      budget.storageChanges.push_back({"the glacier part's snow and firn tracer", mass[1] - mass[0]});
    } else {
      Unread(p + "snowg.asc" + (evaporating ? ", sgsolid.asc, sgliquid.asc, " + p + "firng.asc, firn.stk" : "") +
             " (the glacier part's snow and firn tracer at the end of each run)");
    }
    // The firn that turns to ice at the yearly update takes an evaporating
    // tracer's firn concentration into the ice, which keeps it (as the ice
    // keeps that water, "ice (firn turned to it)").
    double mm;
    if (evaporating && modules.glacierMethod >= 10 && SumChange(p + "firnice.sum", mm))
      budget.storageChanges.push_back({"the ice's tracer (firn turned to it)", mm});
  }
  // The glacier runoff storages mix the tracer of what they take (their
  // outflow's concentration of each tracer follows each outflow).
  if (modules.snow && modules.glacierMethod > 0) {
    double a, b;
    if (GlacierRunoffStorages(start, a, index) && GlacierRunoffStorages(end, b, index)) {
      budget.storageChanges.push_back({"the glacier runoff storages' tracer", b - a});
    } else {
      Unread("section [snow_model] of the storage content file (the tracer of the glacier runoff storages)");
    }
  }
  // The water on the surface: the silting-up's store when it runs, else the
  // surface routing's, which holds the concentration of every tracer.
  if (modules.surfaceRouting) {
    const bool silting = std::filesystem::exists(end.dir() + "/out/" + p + "Silti.sta");
    gridStore("the surface water's tracer", p + (silting ? "Silti.asc" : "Surfa.asc"), {"surfstor.asc"}, false,
              evaporating || !silting);
  }
  // The soil's layers (their water content times their thickness) and the
  // ponded water of level 0 (but on lakes, whose water the routing keeps).
  const GridFile lakes = modules.lakes ? ReadGridFile(start.dir() + "/lake_codes.asc") : GridFile();
  // (Covered: the tracer of the soil layers that the glaciers' changed
  // share covers at the update, as the water's, with the groundwater's
  // exchange of a column covered wholly.)
  auto soil = [&](const RunOutput& run, double& mass, bool covered = false) {
    const StackFile x = ReadStackFile(run.dir() + "/out/" + p + "unsat.asc");
    const GridFile exchange =
        covered && modules.groundwaterFlow ? ReadGridFile(run.dir() + "/out/" + p + "gwex.asc") : GridFile();
    const StackFile theta = ReadStackFile(run.dir() + "/out/uzgrid3.asc");
    const StackFile bounds = ReadStackFile(run.dir() + "/out/uzgrid5.asc");
    const GridFile pond = ReadGridFile(run.dir() + "/out/uzgrid21.asc");
    if (x.ncols != run.zones().ncols || theta.ncols != x.ncols || bounds.ncols != x.ncols ||
        bounds.levels != theta.levels || x.levels < theta.levels)
      return false;
    if (modules.ponding && pond.ncols != x.ncols) return false;
    double sum = 0;
    for (int r = 1; r <= x.nrows; ++r)
      for (int c = 1; c <= x.ncols; ++c) {
        if (!Valid(run.zones().at(r, c)) || !Valid(theta.at(r, c, 1))) continue;
        double m = 0;
        for (int k = 1; k <= theta.levels; ++k) {
          const double v = x.at(r, c, k);
          if (!Valid(v)) continue;
          m += evaporating ? v * theta.at(r, c, k) * std::fabs(bounds.at(r, c, k - 1) - bounds.at(r, c, k)) * 1000 : v;
        }
        if (covered) {
          if (Glacierized(end, r, c) >= 1 && exchange.ncols == x.ncols && Valid(exchange.at(r, c)))
            m += exchange.at(r, c);
          sum += m * (Glacierized(end, r, c) - Glacierized(start, r, c)) * run.CellArea(r, c);
          continue;
        }
        const bool lake = lakes.ncols > 0 && Valid(lakes.at(r, c));
        if (modules.ponding && !lake && Valid(x.at(r, c, 0)) && Valid(pond.at(r, c)))
          m += evaporating ? x.at(r, c, 0) * pond.at(r, c) : x.at(r, c, 0);
        sum += m * FreeShare(run, r, c) * run.CellArea(r, c);
      }
    mass = sum / run.basinArea();
    return true;
  };
  double a, b;
  if (soil(start, a) && soil(end, b)) {
    budget.storageChanges.push_back({"the soil's tracer (and the ponded water's)", b - a});
    if (modules.glacierMethod >= 10 && soil(end, b, true))
      budget.storageChanges.push_back({"the soil's tracer under glaciers", b});
  } else {
    Unread(p + "unsat.asc, uzgrid3.asc, uzgrid5.asc" + (modules.ponding ? ", uzgrid21.asc" : "") +
           " (the soil's tracer at the end of each run)");
  }
  if (RunoffInTransit(start, "unsatzon_model", !modules.surfaceRouting, a, index) &&
      RunoffInTransit(end, "unsatzon_model", !modules.surfaceRouting, b, index)) {
    budget.storageChanges.push_back({"soil runoff's tracer in flow-time zones and storages", b - a});
  } else {
    Unread("section [unsatzon_model] of the storage content files (the tracer of the soil's runoff)");
  }
  if (modules.surfaceRouting) {
    if (RunoffInTransit(start, "SurfaceRoutingModel", true, a, index) &&
        RunoffInTransit(end, "SurfaceRoutingModel", true, b, index)) {
      budget.storageChanges.push_back({"surface runoff's tracer in flow-time zones and storages", b - a});
    } else {
      Unread("section [SurfaceRoutingModel] of the storage content files (the tracer of the surface runoff)");
    }
  }
  // Groundwater layers below the first: their concentration grids
  // (out/<prefix><layer>grou.asc) times their water above their base (a
  // layer's water below its top at layer 1's coefficient, which the set-ups
  // give them as their own).
  if (!modules.deepLayers.empty()) {
    double mass[2] = {0, 0};
    std::string missing;
    for (int k = 0; k < 2 && missing.empty(); ++k) {
      const RunOutput& run = *runs[k];
      const GridFile dem = ReadGridFile(run.dir() + "/" + modules.elevationGrid);
      const StackFile bounds = ReadStackFile(run.dir() + "/out/uzgrid5.asc");
      if (dem.ncols != run.zones().ncols || bounds.ncols != run.zones().ncols) {
        missing = modules.elevationGrid + ", uzgrid5.asc";
        break;
      }
      // The top of the layer of each cell (m): the surface less the soil
      // column's depth below layer 1, the layer above's base below it.
      std::vector<double> top(dem.values.size(), NAN);
      for (int r = 1; r <= dem.nrows; ++r)
        for (int c = 1; c <= dem.ncols; ++c) {
          double depth = 0;
          for (int x = 1; x <= bounds.levels; ++x)
            if (Valid(bounds.at(r, c, x - 1)) && Valid(bounds.at(r, c, x)))
              depth += std::fabs(bounds.at(r, c, x - 1) - bounds.at(r, c, x));
          if (Valid(dem.at(r, c))) top[static_cast<size_t>((r - 1) * dem.ncols + (c - 1))] = dem.at(r, c) - depth;
        }
      double sum = 0;
      for (size_t l = 0; l < modules.deepLayers.size() && missing.empty(); ++l) {
        const auto& layer = modules.deepLayers[l];
        const std::string file = p + std::to_string(l + 2) + "grou.asc";
        const GridFile x = ReadGridFile(run.dir() + "/out/" + file), h = ReadGridFile(run.dir() + "/out/" + layer.heads),
                       S = ReadGridFile(run.dir() + "/" + layer.storage);
        if (x.ncols != dem.ncols || h.ncols != dem.ncols || S.ncols != dem.ncols || !(layer.thickness > 0)) {
          missing = file + ", " + layer.heads + ", " + layer.storage;
          break;
        }
        for (int r = 1; r <= dem.nrows; ++r)
          for (int c = 1; c <= dem.ncols; ++c) {
            double& t = top[static_cast<size_t>((r - 1) * dem.ncols + (c - 1))];
            const double base = t - layer.thickness, head = h.at(r, c), s = S.at(r, c), conc = x.at(r, c);
            if (Valid(run.zones().at(r, c)) && !std::isnan(t) && Valid(head) && Valid(s) && Valid(conc)) {
              const double held = head >= t ? s * (head - t) + s * layer.thickness : s * (std::max(head, base) - base);
              sum += 1000 * held * conc * run.CellArea(r, c);
            }
            t = base;
          }
      }
      mass[k] = sum / run.basinArea();
    }
    if (missing.empty()) {
      budget.storageChanges.push_back({"the tracer of the groundwater layers below layer 1", mass[1] - mass[0]});
    } else {
      Unread(missing + " (the tracer of the groundwater layers below layer 1 and their water at the end of each run)");
    }
  }
  // What the groundwater model's faces moved into or out of the soil columns
  // in its last step (out/<prefix>gwex.asc, mm x concentration over a
  // column's open share), which the columns take with the exchange's water
  // in the next step: tracer on its way.
  if (modules.groundwaterFlow) {
    double pending[2] = {0, 0};
    bool read = true;
    for (int k = 0; k < 2 && read; ++k) {
      const RunOutput& run = *runs[k];
      const GridFile x = ReadGridFile(run.dir() + "/out/" + p + "gwex.asc");
      read = x.ncols == run.zones().ncols && x.nrows == run.zones().nrows;
      double sum = 0;
      for (int r = 1; read && r <= x.nrows; ++r)
        for (int c = 1; c <= x.ncols; ++c)
          if (Valid(run.zones().at(r, c)) && Valid(x.at(r, c)))
            sum += x.at(r, c) * FreeShare(run, r, c) * run.CellArea(r, c);
      pending[k] = sum / run.basinArea();
    }
    if (read) {
      budget.storageChanges.push_back(
          {"groundwater exchange's tracer the soil takes in the next step", pending[1] - pending[0]});
    } else {
      Unread(p + "gwex.asc (the tracer the groundwater model's faces moved, which the soil takes in the next step)");
    }
  }
  // The routing: the channels' water and the reservoirs' and lakes' volumes
  // at their concentrations (m3 x concentration).
  const double area = start.zones().cellsize * start.zones().cellsize * start.basinArea();  // m2
  auto mm = [&](double m3) { return m3 / area * 1000; };
  std::vector<double> channels[2], reservoirs[2];
  std::string why;
  if (RoutingTracerMass(start.dir(), channels[0], reservoirs[0], why, modules.relCellAreaGrid) &&
      RoutingTracerMass(end.dir(), channels[1], reservoirs[1], why, modules.relCellAreaGrid) &&
      channels[0].size() > static_cast<size_t>(index) && channels[1].size() > static_cast<size_t>(index) &&
      reservoirs[0].size() > static_cast<size_t>(index) && reservoirs[1].size() > static_cast<size_t>(index)) {
    const size_t k = static_cast<size_t>(index);
    budget.storageChanges.push_back({"the channels' tracer", mm(channels[1][k] - channels[0][k])});
    budget.storageChanges.push_back({"the reservoirs' and lakes' tracer", mm(reservoirs[1][k] - reservoirs[0][k])});
    if (modules.irrigation)
      budget.storageChanges.push_back({"the tracer of the irrigation water in transit",
                                       mm(InTransitToTheFields(end, index) - InTransitToTheFields(start, index))});
  } else {
    Unread("the tracer in the channels, reservoirs and lakes: " + (why.empty() ? "no such tracer" : why));
  }
  // Out: the outlet's discharge (m3/s, the last column of the routed
  // discharge) at its concentration (the same subbasin's column of the
  // tracer's routing statistics), and every abstraction that leaves at its
  // own, step by step.
  const double seconds = 60.0 * modules.stepMinutes;
  const std::string q0 = start.Text("out/discharge.stat"), q1 = end.Text("out/discharge.stat");
  const long from = LastKey(q0), to = LastKey(q1);
  const auto head = Rows(q0), concentrations = Rows(end.Text("out/" + p + "routi.sta"));
  size_t column = 0;
  if (!head.empty() && !concentrations.empty())
    for (size_t k = 4; k < concentrations[0].size(); ++k)
      if (concentrations[0][k] == head.front().back()) column = k;
  std::map<long, std::string> outletConcentration;  // as printed
  for (const auto& row : concentrations) {
    const long key = LineKey(row);
    if (key > from && key <= to && column > 0 && column < row.size()) outletConcentration[key] = row[column];
  }
  double out = 0, rounding = 0;
  bool whole = column > 0 && from >= 0;
  for (const auto& row : Rows(q1)) {
    const long key = LineKey(row);
    if (key <= from || key > to) continue;
    const auto at = outletConcentration.find(key);
    if (at == outletConcentration.end()) {
      whole = false;
      break;
    }
    out += std::stod(row.back()) * std::stod(at->second) * seconds;
    rounding += ProductRounding(row.back(), at->second, false) * seconds;
  }
  if (whole) {
    budget.outputs.push_back({"discharge at the outlet", mm(out)});
    budget.rounding += mm(rounding);
  } else {
    Unread(p + "routi.sta (the outlet's concentration of each step, a column per subbasin)");
  }
  for (const std::string& table : modules.abstractionsLeaving) {
    // Its columns: the date, m3/s and each tracer's concentration (six
    // significant digits).
    double m3 = 0, bound = 0;
    bool any = false;
    for (const auto& row : Rows(end.Text("out/" + table))) {
      const long key = LineKey(row);
      if (key <= from || key > to || row.size() <= static_cast<size_t>(4 + index)) continue;
      m3 += std::stod(row[4]) * std::stod(row[static_cast<size_t>(4 + index)]) * seconds;
      bound += ProductRounding(row[4], row[static_cast<size_t>(4 + index)], true) * seconds;
      any = true;
    }
    if (any) {
      budget.outputs.push_back({"abstraction (" + table + ")", mm(m3)});
      budget.rounding += mm(bound);
    } else {
      Unread(table + " (abstracted m3/s of each step with its concentrations)");
    }
  }
  // In: the tracer of the groundwater boundaries' water, each step's sum of
  // its sub-steps' water at the boundary cell's concentration of the
  // sub-step (the water a fixed head takes or gives and a fixed inflow
  // brings neither thins nor thickens its cell's water), as the special
  // output writes it after each step.
  for (const auto& boundary : modules.groundwaterBoundaries) {
    const auto points = Rows(end.Text("out/points.txt"));
    double sum = 0;
    int cells = 0;
    bool whole = !boundary.balancePoints.empty() && !points.empty() && from >= 0;
    const std::string balance = boundary.balancePoints + "/";
    for (size_t k = 0; whole && k < points[0].size(); ++k) {
      if (points[0][k].compare(0, balance.size(), balance) != 0) continue;
      int column = 0, row = 0;
      if (std::sscanf(points[0][k].c_str() + balance.size(), "%d/%d", &column, &row) != 2 || row < 1 ||
          row > end.zones().nrows || column < 1 || column > end.zones().ncols) {
        whole = false;
        break;
      }
      const std::string name =
          boundary.tracerPoints + std::to_string(index) + "/" + std::to_string(column) + "/" + std::to_string(row);
      const auto at = std::find(points[0].begin(), points[0].end(), name);
      if (at == points[0].end()) {
        whole = false;
        break;
      }
      const size_t j = static_cast<size_t>(at - points[0].begin());
      int steps = 0;
      for (const auto& line : points) {
        const long key = LineKey(line);
        if (key <= from || key > to || line.size() <= std::max(j, k)) continue;
        sum += std::stod(line[j]) * end.CellArea(row, column);
        ++steps;
      }
      whole = steps > 0;
      ++cells;
    }
    if (whole && cells > 0) {
      budget.inputs.push_back({"the groundwater boundaries' tracer", sum / end.basinArea()});
    } else {
      Unread("the tracer of the groundwater boundaries: out/points.txt without the balance (" +
             boundary.balancePoints + ") and the tracer of the balance (" + boundary.tracerPoints +
             ") of their cells in each step");
    }
  }
  if (evaporating) EvaporatedTracer(tracer, index);
}

void Terms::DriftedTracer(const BudgetModules::Tracer& tracer, int index) {
  // The drift of a step is D / (1 + D) of the snowfall written (which holds
  // it), at the concentration of the snow's water input of the step; the
  // input term took it at the input's concentration.
  const long from = LastKey(start.Text("out/discharge.stat")), to = LastKey(end.Text("out/discharge.stat"));
  const GridFile depositionIndex = ReadGridFile(end.dir() + "/" + modules.depositionIndexGrid);
  const auto points = Rows(end.Text("out/points.txt"));
  const bool glaciersDrift = modules.glacierMethod == 0 || modules.glacierMethod == 13;
  const std::string snowfall = modules.driftSnowfallPoints + "/";
  double sum = 0;
  int cells = 0;
  bool whole = !points.empty() && from >= 0 && depositionIndex.ncols == end.zones().ncols &&
               depositionIndex.nrows == end.zones().nrows;
  for (size_t k = 0; whole && k < points[0].size(); ++k) {
    if (points[0][k].compare(0, snowfall.size(), snowfall) != 0) continue;
    int column = 0, row = 0;
    if (std::sscanf(points[0][k].c_str() + snowfall.size(), "%d/%d", &column, &row) != 2 || row < 1 ||
        row > end.zones().nrows || column < 1 || column > end.zones().ncols) {
      whole = false;
      break;
    }
    const std::string name = modules.driftConcentrationPoints + std::to_string(index) + "/" + std::to_string(column) +
                             "/" + std::to_string(row);
    const auto at = std::find(points[0].begin(), points[0].end(), name);
    if (at == points[0].end()) {
      whole = false;
      break;
    }
    ++cells;
    const double D = depositionIndex.at(row, column);
    if (!Valid(end.zones().at(row, column)) || !Valid(D) || !(D > -1) ||
        (!glaciersDrift && Glacierized(start, row, column) > 0))
      continue;
    const size_t j = static_cast<size_t>(at - points[0].begin());
    for (const auto& line : points) {
      const long key = LineKey(line);
      if (key <= from || key > to || line.size() <= std::max(j, k)) continue;
      const double snow = std::stod(line[k]), c = std::stod(line[j]);
      if (Valid(snow) && Valid(c)) sum += D / (1 + D) * snow * (c - tracer.input) * end.CellArea(row, column);
    }
  }
  if (whole && cells > 0) {
    budget.inputs.push_back({"drift beyond the input's concentration", sum / end.basinArea()});
  } else {
    Unread("out/points.txt without the snowfall (" + modules.driftSnowfallPoints + ") and the concentration (" +
           modules.driftConcentrationPoints + ") of the snow's water input of each step at the cells where other "
           "water joins the input");
  }
}

// The grids of a run's out/ written every step under dated names
// ("<base>_YYYYMMDD.HHH"), by their step's key.
std::map<long, std::string> DatedGrids(const std::string& dir, const std::string& base) {
  std::map<long, std::string> files;
  std::error_code error;
  for (const auto& f : std::filesystem::directory_iterator(dir + "/out", error)) {
    const std::string name = f.path().filename().string();
    int y = 0, m = 0, d = 0, h = 0;
    if (name.size() != base.size() + 13 || name.compare(0, base.size() + 1, base + "_") != 0 ||
        std::sscanf(name.c_str() + base.size() + 1, "%4d%2d%2d.%3d", &y, &m, &d, &h) != 4)
      continue;
    files[((long{y} * 13 + m) * 32 + d) * 25 + h] = name.substr(base.size());
  }
  return files;
}

void Terms::EvaporatedTracer(const BudgetModules::Tracer& tracer, int index) {
  // Each store's evaporation of every step (the evaporation grids written
  // every step under dated names, write code 12) times the store's
  // concentration when its water evaporated (the tracer's grids written
  // every step, grid code 2), each cell by its share. The leaves' water
  // evaporates after it took the step's water, at their concentration at
  // the step's end; the snow's before the snow step (but the energy-balance
  // methods', which evaporate in it), at its concentration of the step
  // before. The soil gives the tracer off per layer and water sub-step at
  // each layer's concentration then, and with the ponded, silting-up or
  // lake water that covers the plants' demand at that water's: no output
  // holds these, so its term is bounded by its water times the lowest and
  // the highest concentration of the tracer's sources (every concentration
  // is a mix of them). Its estimate, for information: the top layer's
  // concentration of the step before, the lake's for the transpiration the
  // lake's water covered.
  const std::string& p = tracer.prefix;
  double lowest = tracer.input, highest = tracer.input;
  for (double x : tracer.sources) {
    lowest = std::min(lowest, x);
    highest = std::max(highest, x);
  }
  const long from = LastKey(start.Text("out/discharge.stat")), to = LastKey(end.Text("out/discharge.stat"));
  int snowMethod = 0;
  const auto snowSection = StorageSection(end.Text("control.txt"), "snow_model");
  if (snowSection.size() > 2 && !LeadingNumbers(snowSection[2]).empty())
    snowMethod = static_cast<int>(LeadingNumbers(snowSection[2])[0]);
  const bool snowInItsStep = snowMethod == 5 || snowMethod == 6 || snowMethod == 7 || snowMethod == 11;
  // Their slides (methods 6 and 7) move snow after the pack evaporated: where
  // snow came to rest (the deposition grid, written every step) the
  // concentration of the step's end is not the one the water left at, which
  // lies within the sources' (bounded as the soil's; every cell where no
  // deposition grid tells).
  const bool slides = snowMethod == 6 || snowMethod == 7;
  Budget::Bounded slid{"what the snow evaporated where the slides brought snow"};
  // The concentrations at the period's start: those at the start run's end.
  GridFile snow = ReadGridFile(start.dir() + "/out/" + p + "snow_.asc");
  GridFile glacierSnow = ReadGridFile(start.dir() + "/out/" + p + "snowg.asc");
  // The glacier part's snow (dynamic glaciers) as the open part's, by its share.
  const bool glacierSnowEvaporates = modules.snow && modules.glacierMethod >= 10;
  StackFile soil = ReadStackFile(start.dir() + "/out/" + p + "unsat.asc");
  const auto steps = DatedGrids(end.dir(), "evar");
  const auto size = [this](int ncols, int nrows) { return ncols == end.zones().ncols && nrows == end.zones().nrows; };
  // A lake's cells below its level hold its water, which covers the
  // plants' demand first: their transpiration leaves, as far as the water
  // ponded there at the step's start reaches, at the lake's concentration
  // then. Level and concentration are those the lake's table gives for the
  // step before (each lake's file is named in the routing description:
  // "SP <code> (file = <name>").
  const GridFile lakeCodes = modules.lakes ? ReadGridFile(end.dir() + "/lake_codes.asc") : GridFile();
  const GridFile dem = modules.lakes ? ReadGridFile(end.dir() + "/dem.asc") : GridFile();
  std::map<int, std::map<long, std::pair<double, double>>> lakeRows;  // code: key: level, concentration
  std::string missing;
  if (modules.lakes) {
    if (!size(lakeCodes.ncols, lakeCodes.nrows) || !size(dem.ncols, dem.nrows)) missing = "lake_codes.asc, dem.asc";
    const std::string control = end.Text("control.txt");
    for (size_t i = 0; missing.empty() && i < lakeCodes.values.size(); ++i) {
      if (!Valid(lakeCodes.values[i]) || !(lakeCodes.values[i] > 0)) continue;
      const int code = static_cast<int>(lakeCodes.values[i]);
      if (lakeRows.count(code)) continue;
      auto& rows = lakeRows[code];
      const std::string head = "SP " + std::to_string(code) + " (file = ";
      const size_t at = control.find(head);
      const size_t stop = at == std::string::npos ? at : control.find_first_of(" ,)\n", at + head.size());
      const std::string file = stop == std::string::npos ? "" : control.substr(at + head.size(), stop - at - head.size());
      // Its columns: the date, the level, the area, the volume, nine terms
      // of three values each, then each tracer's concentration.
      const size_t column = 33 + static_cast<size_t>(index);
      for (const RunOutput* run : {&start, &end})
        for (const auto& row : Rows(run->Text("out/" + file)))
          if (LineKey(row) >= 0 && row.size() > column) rows[LineKey(row)] = {std::stod(row[4]), std::stod(row[column])};
      if (rows.empty()) missing = "the table of lake " + std::to_string(code) + " (" + file + ")";
    }
  }
  double mm = 0, water = 0, low = 0, high = 0, estimate = 0;
  long counted = 0;
  const auto concentration = [](double v) { return Valid(v) ? v : 0.0; };
  for (const auto& [key, date] : steps) {
    if (key <= from || key > to) continue;
    const auto grid = [&](const std::string& base) { return ReadGridFile(end.dir() + "/out/" + base + date); };
    GridFile taken = grid("evar");  // the soil's evaporation and transpiration
    std::vector<GridFile> transpiration;
    for (int layer = 1; layer <= modules.vegetationLayers; ++layer) {
      transpiration.push_back(grid("etr_Layer_" + std::to_string(layer)));
      const GridFile& t = transpiration.back();
      if (!size(t.ncols, t.nrows) || !size(taken.ncols, taken.nrows)) {
        missing = "etr_Layer_" + std::to_string(layer) + date;
        break;
      }
      for (size_t i = 0; i < taken.values.size(); ++i)
        taken.values[i] = (Valid(taken.values[i]) ? taken.values[i] : 0.0) + (Valid(t.values[i]) ? t.values[i] : 0.0);
    }
    const StackFile soilNow = ReadStackFile(end.dir() + "/out/" + p + "u" + date);
    if (!size(soil.ncols, soil.nrows) || !size(soilNow.ncols, soilNow.nrows)) missing = p + "unsat.asc, " + p + "u" + date;
    if (!missing.empty()) break;
    // (Where the soil gains water this way, at its layer's concentration,
    // the bounds swap.)
    water += end.BasinMean(taken, [&](int r, int c) { return FreeShare(start, r, c); });
    low += end.BasinMean(
        taken, [&](int r, int c) { return (taken.at(r, c) < 0 ? highest : lowest) * FreeShare(start, r, c); });
    high += end.BasinMean(
        taken, [&](int r, int c) { return (taken.at(r, c) < 0 ? lowest : highest) * FreeShare(start, r, c); });
    estimate +=
        end.BasinMean(taken, [&](int r, int c) { return concentration(soil.at(r, c, 1)) * FreeShare(start, r, c); });
    if (modules.lakes) {
      // The transpiration the lake's water covered, at the lake's
      // concentration in place of the top layer's.
      GridFile covered = taken;
      for (int r = 1; r <= covered.nrows; ++r)
        for (int c = 1; c <= covered.ncols; ++c) {
          double& x = covered.values[static_cast<size_t>((r - 1) * covered.ncols + (c - 1))];
          const double code = lakeCodes.at(r, c);
          x = 0;
          if (!Valid(code) || !(code > 0) || !Valid(dem.at(r, c))) continue;
          const auto& rows = lakeRows[static_cast<int>(code)];
          const auto before = rows.lower_bound(key);
          if (before == rows.begin()) {
            missing = "the row of the step before " + date + " in the table of lake " + std::to_string(static_cast<int>(code));
            continue;
          }
          const auto& [level, lake] = std::prev(before)->second;
          const double pond = (level - dem.at(r, c)) * 1000;
          if (!(pond > 0)) continue;
          double transpired = 0;
          for (int layer = 1; layer <= modules.vegetationLayers; ++layer) {
            const double t = transpiration[static_cast<size_t>(layer - 1)].at(r, c);
            transpired += Valid(t) ? t : 0.0;
          }
          x = std::min(pond, transpired) * (lake - concentration(soil.at(r, c, 1)));
        }
      estimate += end.BasinMean(covered, [&](int r, int c) { return FreeShare(start, r, c); });
    }
    soil = soilNow;
    if (modules.interception) {
      const GridFile e = grid("ei"), x = grid(p + "inter");
      if (!size(e.ncols, e.nrows) || !size(x.ncols, x.nrows)) {
        missing = "ei" + date + ", " + p + "inter" + date;
        break;
      }
      mm += end.BasinMean(e, [&](int r, int c) { return concentration(x.at(r, c)) * FreeShare(start, r, c); });
    }
    if (modules.snow) {
      const GridFile e = grid("evrs"), x = grid(p + "snow_");
      if (!size(e.ncols, e.nrows) || !size(x.ncols, x.nrows) || !size(snow.ncols, snow.nrows)) {
        missing = "evrs" + date + ", " + p + "snow_" + date;
        break;
      }
      const GridFile& at = snowInItsStep ? x : snow;
      const GridFile came = slides ? grid("depos") : GridFile();
      const auto free = [&](int r, int c, bool moved) {
        return slides && (!size(came.ncols, came.nrows) || came.at(r, c) > 0) == moved ? FreeShare(start, r, c) : 0.0;
      };
      mm += end.BasinMean(e, [&](int r, int c) {
        return concentration(at.at(r, c)) * (slides ? free(r, c, false) : FreeShare(start, r, c));
      });
      slid.water += end.BasinMean(e, [&](int r, int c) { return free(r, c, true); });
      slid.low += end.BasinMean(e, [&](int r, int c) { return lowest * free(r, c, true); });
      slid.high += end.BasinMean(e, [&](int r, int c) { return highest * free(r, c, true); });
      slid.estimate += end.BasinMean(e, [&](int r, int c) { return concentration(at.at(r, c)) * free(r, c, true); });
      snow = x;
    }
    if (glacierSnowEvaporates) {
      const GridFile e = grid("sgevap"), x = grid(p + "snowg");
      if (!size(e.ncols, e.nrows) || !size(x.ncols, x.nrows) || !size(glacierSnow.ncols, glacierSnow.nrows)) {
        missing = "sgevap" + date + ", " + p + "snowg" + date;
        break;
      }
      const GridFile& at = snowInItsStep ? x : glacierSnow;
      mm += end.BasinMean(e, [&](int r, int c) { return concentration(at.at(r, c)) * Glacierized(start, r, c); });
      glacierSnow = x;
    }
    ++counted;
  }
  long lines = 0;
  for (const auto& row : Rows(end.Text("out/discharge.stat"))) {
    const long key = LineKey(row);
    if (key > from && key <= to) ++lines;
  }
  if (missing.empty() && counted != lines) missing = "evar_YYYYMMDD.HHH of each step";
  if (missing.empty()) {
    budget.outputs.push_back({"what evaporated of the tracer but the soil's", mm});
    budget.bounded.push_back({"what the soil's evaporation and transpiration took", water, low, high, estimate});
    if (slides) budget.bounded.push_back(slid);
  } else {
    Unread("what evaporated of the tracer: " + missing + " (every step's evaporation and concentrations)");
  }
}

}  // namespace

Budget BasinBudget(const RunOutput& start, const RunOutput& end, const BudgetModules& modules, bool warmStart) {
  Budget budget;
  Terms terms(start, end, modules, budget, warmStart);
  terms.Precipitation();
  terms.Evaporation();
  terms.Snow();
  terms.Interception();
  terms.Soil();
  terms.Surface();
  terms.Routing();
  terms.Groundwater();
  return budget;
}

Budget TracerBudget(const RunOutput& start, const RunOutput& end, const BudgetModules& modules,
                    const BudgetModules::Tracer& tracer, const Budget& water, bool warmStart) {
  Budget budget;
  Terms terms(start, end, modules, budget, warmStart);
  terms.Tracer(tracer, water);
  return budget;
}

double PeriodSum(const RunOutput& start, const RunOutput& end, const std::string& table, int column) {
  const std::string text = end.Text("out/" + table);
  const long from = LastKey(start.Text("out/" + table)), to = LastKey(text);
  double sum = 0;
  bool any = false;
  for (const auto& row : Rows(text)) {
    const long key = LineKey(row);
    const size_t k = column < 0 ? row.size() - 1 : static_cast<size_t>(column);
    if (key > from && key <= to && k < row.size()) {
      sum += std::stod(row[k]);
      any = true;
    }
  }
  return from >= 0 && any ? sum : NAN;
}

double IrrigationInTransit(const RunOutput& run, int index) { return InTransitToTheFields(run, index); }

int PeriodLines(const RunOutput& start, const RunOutput& end, const std::string& table) {
  const std::string text = end.Text("out/" + table);
  const long from = LastKey(start.Text("out/" + table)), to = LastKey(text);
  int lines = 0;
  for (const auto& row : Rows(text)) {
    const long key = LineKey(row);
    if (key > from && key <= to) ++lines;
  }
  return lines;
}

double Term(const Budget& budget, const std::string& name) {
  for (const auto* terms : {&budget.inputs, &budget.outputs, &budget.storageChanges})
    for (const auto& t : *terms)
      if (t.name.compare(0, name.size(), name) == 0) return t.mm;
  return NAN;
}

std::vector<std::pair<std::string, std::string>> BudgetOutputEdits() {
  std::vector<std::pair<std::string, std::string>> edits = {
      // Grids as doubles, so that sums keep every digit.
      {"WriteAsciiGrids = 1\n", "WriteAsciiGrids = 0\nWriteDoubleGrids = 1\n"},
      {"prec        result grid\n40        write code", "prec        result grid\n10        write code"},
      {"temp        result grid (a daily grid, see the write code)\n5 ",
       "temp        result grid (a daily grid, see the write code)\n0 "},
      {"\netr.asc\n40\n", "\netr.asc\n10\n"}};
  // The example writes the snow cover (stotal.asc), the interception storage
  // (si.asc), the water on the surface (surfstor.asc) and the soil's water
  // content and layer boundaries (uzgrid3.asc, uzgrid5.asc) at the end
  // itself. Run sums of the fluxes (10), stores at the end (3).
  for (const auto& [grid, code] : std::vector<std::pair<std::string, const char*>>{{"evar.asc", "10"},
                                                                                   {"evrs.asc", "10"},
                                                                                   {"rain.asc", "10"},
                                                                                   {"snow.asc", "10"},
                                                                                   {"ei.asc", "10"},
                                                                                   {"ssolid.asc", "3"},
                                                                                   {"sliquid.asc", "3"},
                                                                                   {"uzgrid21.asc", "3"}})
    edits.push_back({"\n" + grid + "\n0\n", "\n" + grid + "\n" + code + "\n"});
  return edits;
}

}  // namespace fluvextest
