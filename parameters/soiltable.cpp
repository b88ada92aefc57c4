#include "parameters/soiltable.h"

#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "framework/strutil.h"
#include "parameters/tableblock.h"

namespace {

std::string WithoutLineEnd(const std::string& line) {
  std::string s = line;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string Number(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

// "layer 4 (horizon 2)" of a block, "layer 4" of an old row.
std::string LayerName(const soil_table_entry& e, int L) {
  std::string name = "layer " + std::to_string(L);
  int last = 0;
  for (int h = 1; h <= e.HorizonCount && h < static_cast<int>(e.LayersPerHorizon.size()); ++h) {
    last += e.LayersPerHorizon[static_cast<size_t>(h)];
    if (L <= last) return name + " (horizon " + std::to_string(h) + ")";
  }
  return name;
}

// Checks the values against their physical range: the retention tables
// divide by theta_sat - theta_res and by Par_m = 1 - 1/Par_n, and raise
// alpha times the suction to the power Par_n; thicknesses are the lengths of
// the soil column's layers; conductivities, capacities and depths are not
// negative. No value may be NaN or infinite. Returns the first problem found.
constexpr double kMaxConductivity = 1.0;  // m/s
constexpr double kMaxThickness = 100.0;   // m

std::string CheckLayerParameters(const soil_table_entry& e) {
  auto key = [](const char* name, double v) { return std::string(name) + " = " + Number(v); };
  for (int L = 1; L <= e.layers; ++L) {
    const std::string layer = LayerName(e, L) + ": ";
    const double ks = e.ksat[L], ts = e.theta_sat[L], tr = e.theta_res[L];
    // Physical bounds: no soil or regolith conducts 1 m/s (open gravel
    // reaches about 1e-1 m/s), and no layer of a soil column is 100 m thick
    // (deep regolith profiles reach tens of metres); beyond them a value is a
    // typing error that multiplies the soil's water or its fluxes.
    if (!std::isfinite(ks) || ks < 0.0) return layer + key("ksat", ks) + ": it has to be a number of 0 or more (m/s)";
    if (ks > kMaxConductivity)
      return layer + key("ksat", ks) + ": a saturated conductivity above 1 m/s has no soil (m/s)";
    if (!std::isfinite(ts) || ts > 1.0)
      return layer + key("theta_sat", ts) + ": a water content has to be a number of at most 1";
    if (!std::isfinite(tr) || tr < 0.0)
      return layer + key("theta_res", tr) + ": a water content has to be a number of 0 or more";
    if (!(ts > tr)) return layer + "theta_sat (" + Number(ts) + ") must be greater than theta_res (" + Number(tr) + ")";
    if (!std::isfinite(e.alpha[L]) || !(e.alpha[L] > 0.0))
      return layer + key("alpha", e.alpha[L]) + ": it has to be greater than 0 (1/m)";
    if (!std::isfinite(e.Par_n[L]) || !(e.Par_n[L] > 1.0))
      return layer + "Par_n (" + Number(e.Par_n[L]) + ") must be greater than 1";
    if (!std::isfinite(e.Par_m[L]) || !(e.Par_m[L] > 0.0))
      return layer + "Par_m (" + Number(e.Par_m[L]) + ") must be greater than 0";
    if (!std::isfinite(e.thickness[L]) || !(e.thickness[L] > 0.0))
      return layer + "thickness (" + Number(e.thickness[L]) + ") must be greater than 0";
    if (e.thickness[L] > kMaxThickness)
      return layer + "thickness (" + Number(e.thickness[L]) + " m) must be less than 100 m";
    for (auto [name, values] :
         {std::pair{"Par_tau", &e.Par_tau}, std::pair{"k_recession", &e.k_recession},
          std::pair{"DryHeatCapacity", &e.DryHeatCapacity}, std::pair{"DryDensity", &e.DryDensity},
          std::pair{"DryThermalConduct", &e.DryThermalConduct}}) {
      if (L < static_cast<int>(values->size()) && !std::isfinite((*values)[static_cast<size_t>(L)]))
        return layer + key(name, (*values)[static_cast<size_t>(L)]) + ": it has to be a number";
    }
  }
  // Scalars that bound or scale the soil model's fluxes: maxratio divides
  // conductivities, CapacityRedu is raised to a depth.
  const std::pair<const char*, double> notNegative[] = {{"ksat_topmodel", e.ksat_topmodel},
                                                        {"FCap", e.FCap},
                                                        {"mSB", e.mSB},
                                                        {"suction", e.suction},
                                                        {"EvapMaxDepth", e.EvapMaxDepth},
                                                        {"MaxInterflowDepth", e.MaxInterflowDepth},
                                                        {"CapacityRedu", e.CapacityRedu}};
  for (const auto& [name, v] : notNegative)
    if (!std::isfinite(v) || v < 0.0) return key(name, v) + ": it has to be a number of 0 or more";
  if (!std::isfinite(e.maxratio) || !(e.maxratio > 0.0))
    return key("maxratio", e.maxratio) + ": it has to be greater than 0";
  if (!std::isfinite(e.MacroDepth)) return key("MacroDepth", e.MacroDepth) + ": it has to be a number";
  if (!std::isfinite(e.KMinFrozenSoil)) return key("KMinFrozenSoil", e.KMinFrozenSoil) + ": it has to be a number";
  for (int i = 0; i <= 10; ++i) {
    if (std::isfinite(e.SU_PAR[i])) continue;
    char name[16];
    std::snprintf(name, sizeof name, "SU_PAR%.02d", i);
    return key(name, e.SU_PAR[i]) + ": it has to be a number";
  }
  return std::string();
}

void BuildTables(soil_table_entry& e) {
  e.N1 = 30;
  e.N2 = 30;
  for (int L = 0; L <= e.layers; ++L) e.AllocHydraulicTables(L);
}

class SoilBlockParser {
 public:
  SoilBlockParser(soil_table_entry& e, DiagStream& d, const std::string& text, const std::string& w)
      : entry(e), diag(d), block(text), where(w) {}

  void Parse();

 private:
  [[noreturn]] void Fail(const std::string& detail) {
    std::string tail = "\n" + detail;
    if (!where.empty()) tail += " (" + where + ")";
    diag << "FATAL: Soil table code " << entry.code << ": some values could not be read\n"
         << block.Text().c_str() << tail.c_str() << "[end-entry]";
    throw 29;
  }
  void Problem(const std::string& detail) {
    if (problem.empty()) problem = detail;
  }
  // The layer counts of the horizons; returns the number of layers.
  int ReadLayers();
  // One value per horizon, copied to every layer of the horizon; index 0 =
  // index 1. False when the key is absent.
  bool ReadLayerValues(const char* key, std::vector<double>& values);
  void ReadScalar(const char* key, double& value, double absent) {
    bool ok = true;
    if (!block.ReadCheckedValue(key, value, ok))
      value = absent;
    else if (!ok)
      Problem(std::string("the value of \"") + key + "\" is not a number");
  }
  void ReadGrainSizeDist();

  soil_table_entry& entry;
  DiagStream& diag;
  TableBlock block;
  std::string where;
  std::string problem;  // first value that could not be read
};

int SoilBlockParser::ReadLayers() {
  std::string text;
  if (!block.FindValueText("layers", text)) Fail("missing key \"layers\"");
  std::vector<std::string> tokens;
  SplitString(text, " \t;,", tokens, false);
  entry.LayersPerHorizon.assign(1, 0);
  int sum = 0;
  for (const std::string& token : tokens) {
    int count = 0;
    if (!TableBlock::ParseIntToken(token, count) || count < 1 || count > 100000)
      Fail("\"layers\" needs one layer count of at least 1 per horizon, found \"" + WithoutLineEnd(token) + "\"");
    entry.LayersPerHorizon.push_back(count);
    sum += count;
    if (sum > 100000) Fail("\"layers\" gives more than 100000 layers");
  }
  entry.HorizonCount = static_cast<int>(entry.LayersPerHorizon.size()) - 1;
  if (entry.HorizonCount < 1) Fail("\"layers\" needs one layer count of at least 1 per horizon");
  return sum;
}

bool SoilBlockParser::ReadLayerValues(const char* key, std::vector<double>& values) {
  std::string text;
  if (!block.FindValueText(key, text)) return false;
  std::vector<std::string> tokens;
  SplitString(text, " \t;,", tokens, false);
  const int horizons = entry.HorizonCount;
  int layer = 1;
  int read = 0;
  for (const std::string& token : tokens) {
    if (read == horizons) break;
    double v = 0.0;
    if (!TableBlock::ParseDoubleToken(token, v)) {
      Problem(std::string("the value \"") + WithoutLineEnd(token) + "\" of \"" + key + "\" is not a number");
      return true;
    }
    ++read;
    for (int i = 0; i < entry.LayersPerHorizon[read]; ++i) values[layer++] = v;
  }
  if (read < horizons) {
    Problem(std::string("\"") + key + "\" needs one value per horizon (" + std::to_string(horizons) + "), found " +
            std::to_string(read));
    return true;
  }
  values[0] = values[1];
  return true;
}

void SoilBlockParser::ReadGrainSizeDist() {
  std::string text;
  if (!block.FindValueText("GrainSizeDist", text)) return;
  std::istringstream in(text);
  double* g = entry.GrainSizeDist;
  for (int i = 0; i < 7; ++i) {
    if (!(in >> g[i])) {
      Problem("\"GrainSizeDist\" needs seven fractions: sand, silt, clay, stones1..4");
      return;
    }
  }
  const char* message = nullptr;
  bool othersNonNegative = true;
  double sum = g[0];
  for (int i = 1; i < 7; ++i) {
    othersNonNegative = othersNonNegative && g[i] >= 0.0;
    sum += g[i];
  }
  if (g[0] <= 0.0)
    message = "FATAL: Grainsize distribution: fraction of sand must be > 0 \nsoil type: ";
  else if (othersNonNegative && std::fabs(sum - 1.0) > 0.0001)
    message =
        "FATAL: Grainsize distribution: sum of all fractions (sand, silt, clay, stones1..4) must be 1.0\n soil type: ";
  else if (!othersNonNegative)
    message = "FATAL: Grainsize distribution: all grain size fractions must be >= 0 (sand must be >0)\nsoil type: ";
  if (message) {
    diag << message << entry.code << "\n" << block.Text().c_str() << "[end-entry]";
    throw 110;
  }
}

void SoilBlockParser::Parse() {
  if (block.Text().find("MultipleHorizons") == std::string::npos) {
    diag << "FATAL: soil table definition method unknown " << block.Text().c_str()
         << (where.empty() ? std::string() : "\n(" + where + ")").c_str() << "[end-entry]";
    throw 29;
  }
  std::istringstream header(block.Text());
  int code = 0;
  std::string name;
  if (!(header >> code >> name)) Fail("expected the code and the name at the start of the header line");
  entry.code = code;
  if (name.size() > static_cast<size_t>(soil_table_entry::kMaxNameLength))
    Fail("the name is longer than " + std::to_string(soil_table_entry::kMaxNameLength) + " characters");
  entry.name = name;

  entry.AllocLayerArrays(ReadLayers());
  const int layers = entry.layers;
  for (auto [key, values] : {std::pair{"ksat", &entry.ksat}, std::pair{"theta_sat", &entry.theta_sat},
                             std::pair{"theta_res", &entry.theta_res}, std::pair{"alpha", &entry.alpha},
                             std::pair{"Par_n", &entry.Par_n}, std::pair{"thickness", &entry.thickness}}) {
    if (!ReadLayerValues(key, *values)) Fail(std::string("missing key \"") + key + "\"");
  }

  entry.EvapMaxDepth = entry.thickness[1];
  ReadScalar("EvapMaxDepth", entry.EvapMaxDepth, entry.thickness[1]);
  ReadScalar("ThicknessScaling", entry.ThicknessScaling, 1.0);
  if (entry.ThicknessScaling != 1.0)
    diag << "INFO: Soil layers for landuse " << entry.code << " will be scaled by a factor of "
         << entry.ThicknessScaling << "[end-entry]";
  entry.TotalDepth = 0.0;
  for (int L = 0; L <= layers; ++L) {
    entry.thickness[L] *= entry.ThicknessScaling;
    if (L >= 1) entry.TotalDepth += entry.thickness[L];
  }

  ReadGrainSizeDist();
  for (int i = 0; i <= 10; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "SU_PAR%.02d", i);
    ReadScalar(key, entry.SU_PAR[i], 0.0);
  }
  if (!ReadLayerValues("Par_tau", entry.Par_tau)) entry.Par_tau.assign(entry.Par_tau.size(), 0.5);
  if (!ReadLayerValues("k_recession", entry.k_recession)) entry.k_recession.assign(entry.k_recession.size(), 1.0);
  ReadScalar("PMacroThresh", entry.PMacroThresh, 1000.0);
  ReadScalar("MacroCapacity", entry.MacroCapacity, 0.0);
  ReadScalar("CapacityRedu", entry.CapacityRedu, 1.0);
  ReadScalar("MacroDepth", entry.MacroDepth, 1.0);
  if (!ReadLayerValues("DryHeatCapacity", entry.DryHeatCapacity))
    entry.DryHeatCapacity.assign(entry.DryHeatCapacity.size(), -1.0);
  if (!ReadLayerValues("DryDensity", entry.DryDensity)) entry.DryDensity.assign(entry.DryDensity.size(), -1.0);
  if (!ReadLayerValues("DryThermalConduct", entry.DryThermalConduct))
    entry.DryThermalConduct.assign(entry.DryThermalConduct.size(), -1.0);
  // Macropore threshold and capacity in mm/h as written (stored in m/s below).
  for (auto [key, value] :
       {std::pair{"PMacroThresh", entry.PMacroThresh}, std::pair{"MacroCapacity", entry.MacroCapacity}})
    if (!std::isfinite(value) || value < 0.0)
      Problem(std::string(key) + " = " + Number(value) + ": it has to be a number of 0 or more (mm/h)");
  ReadScalar("KMinFrozenSoil", entry.KMinFrozenSoil, entry.KMinFrozenSoil);
  entry.LogKMinFrozenSoil = entry.KMinFrozenSoil > 0.0 ? std::log(entry.KMinFrozenSoil) : -27.631;
  entry.PMacroThresh /= 3.6e6;
  entry.MacroCapacity /= 3.6e6;
  ReadScalar("maxratio", entry.maxratio, 1000.0);
  ReadScalar("FCap", entry.FCap, 25.0);
  ReadScalar("mSB", entry.mSB, 35.0);
  ReadScalar("ksat_topmodel", entry.ksat_topmodel, 1e-5);
  ReadScalar("suction", entry.suction, 300.0);
  entry.CapacitySpan = (entry.mSB - entry.FCap) * 0.01;
  if (!ReadLayerValues("Par_m", entry.Par_m)) {
    for (int L = 0; L <= layers; ++L) entry.Par_m[L] = entry.Par_n[L] != 0.0 ? 1.0 - 1.0 / entry.Par_n[L] : 0.0;
  }
  ReadScalar("MaxInterflowDepth", entry.MaxInterflowDepth, 2.0);

  if (!problem.empty()) Fail(problem);
  if (!std::isfinite(entry.ThicknessScaling) || !(entry.ThicknessScaling > 0.0))
    Fail("ThicknessScaling (" + Number(entry.ThicknessScaling) + ") must be greater than 0");
  const std::string bad = CheckLayerParameters(entry);
  if (!bad.empty()) Fail(bad);
  BuildTables(entry);
}

}  // namespace

void ParseSoilEntry(soil_table_entry& entry, DiagStream& diag, const std::string& blockText, const std::string& where) {
  SoilBlockParser(entry, diag, blockText, where).Parse();
}

void ReadOldSoilRow(soil_table_entry& entry, DiagStream& diag, const std::string& line, const std::string& where) {
  const std::string place = where.empty() ? std::string() : " (" + where + ")";
  auto fail = [&](const std::string& detail, int code) {
    diag << "FATAL: soil table code " << entry.code << ": some values could not be read\n"
         << WithoutLineEnd(line).c_str() << ("\n" + detail + place).c_str() << "[end-entry]";
    throw code;
  };
  const char* rowForm =
      "an old row holds: code, name, FCap, mSB, ksat_topmodel, suction, method, theta_sat, theta_res, alpha, Par_n, "
      "layers, thickness, maxratio, k reduction";

  std::istringstream in(line);
  int code = 0;
  std::string name;
  if (in >> code) entry.code = code;
  const bool headRead = in && static_cast<bool>(in >> name >> entry.FCap >> entry.mSB >> entry.ksat_topmodel >>
                                                entry.suction >> entry.method);
  entry.CapacitySpan = (entry.mSB - entry.FCap) * 0.01;
  if (!headRead) fail(rowForm, 30);
  if (name.size() > static_cast<size_t>(soil_table_entry::kMaxNameLength))
    fail("the name is longer than " + std::to_string(soil_table_entry::kMaxNameLength) + " characters", 30);
  entry.name = name;
  if (entry.method != 1) {
    diag << "FATAL: error reading soil parameters for soil type " << entry.code
         << ": only old method 1 (van-Genuchten Parameter) is supported in Fluvex newer than 6.4.\n"
         << "Use the new soil type table format instead." << place.c_str() << "[end-entry]";
    throw 131;
  }
  double ts = 0, tr = 0, a = 0, n = 0;
  int layers = 0;
  if (!(in >> ts >> tr >> a >> n >> layers)) fail(rowForm, 30);
  // The first layer is split into a 5 cm top layer and the rest.
  if (layers < 2 || layers > 100000) fail("an old row needs at least 2 layers, found " + std::to_string(layers), 30);
  entry.AllocLayerArrays(layers);
  for (int L = 0; L <= layers; ++L) {
    entry.theta_sat[L] = ts;
    entry.theta_res[L] = tr;
    entry.alpha[L] = a;
    entry.Par_n[L] = n;
    entry.Par_m[L] = n != 0.0 ? 1.0 - 1.0 / n : 0.0;
    entry.Par_tau[L] = 0.5;
    // Not part of the row: the values a block without these keys gets.
    entry.k_recession[L] = 1.0;
    entry.DryHeatCapacity[L] = -1.0;
    entry.DryDensity[L] = -1.0;
    entry.DryThermalConduct[L] = -1.0;
  }
  double d = 0.0;
  if (!(in >> d)) {
    diag << "FATAL: error reading layer thickness for soiltype " << entry.code << place.c_str() << "[end-entry]";
    throw 30;
  }
  if (!(in >> entry.maxratio)) {
    diag << "FATAL: error reading maxratio for soil type " << entry.code << place.c_str() << "[end-entry]";
    throw 30;
  }
  double k = 0.0;
  if (!(in >> k) || k < 0.0) {
    diag << "FATAL: error reading k reduction for soil type " << entry.code
         << (k < 0.0 ? "\nthe k reduction must not be negative" : "") << place.c_str() << "[end-entry]";
    throw 30;
  }
  entry.KReduction = k;
  if (d < 0.1) {
    diag << "FATAL: \nerror soil type " << entry.code << ":\nthickness of single layers (here " << d
         << " m)\nhas to be at minimum twice as thick as the\nthickness of the top layer (here " << 0.05 << " m)"
         << place.c_str() << "[end-entry]";
    throw 30;
  }
  entry.thickness[1] = 0.05;
  entry.thickness[2] = d - 0.05;
  for (int L = 3; L <= layers; ++L) entry.thickness[L] = d;
  entry.thickness[0] = entry.thickness[1];

  const double ks = entry.ksat_topmodel;
  entry.ksat[1] = ks * std::pow(k, 0.025);
  entry.ksat[2] = ks * std::pow(k, (entry.thickness[2] - 0.05) * 0.5 + 0.05);
  for (int L = 3; L <= layers; ++L) {
    const double z = (L - 1.5) * d;
    entry.ksat[L] = z <= 2.0 ? ks * std::pow(k, z) : entry.ksat[L - 1];
  }
  entry.ksat[0] = entry.ksat[1];
  entry.TotalDepth = 0.0;
  for (int L = 1; L <= layers; ++L) entry.TotalDepth += entry.thickness[L];
  const std::string bad = CheckLayerParameters(entry);
  if (!bad.empty()) fail(bad, 30);
  BuildTables(entry);
}

std::unique_ptr<soil_table_entry[]> ReadSoilTable(ControlFile& file, DiagStream& diag) {
  const std::string section = "[soil_table]";
  FindTableSection(file, diag, section, true);
  const int n = ReadTableCount(file, diag, section);
  auto table = std::make_unique<soil_table_entry[]>(static_cast<size_t>(n) + 1);
  for (int k = 1; k <= n; ++k) table[k].code = k;
  table[0].code = n;

  std::vector<std::string> entryLines(static_cast<size_t>(n) + 1);
  std::string line;
  for (int k = 1; k <= n; ++k) {
    if (!file.GetLine(line)) {
      diag << "FATAL: soil table: the control file " << file.SourceName().c_str() << " ends after " << k - 1 << " of "
           << n << " entries of " << section.c_str() << "[end-entry]";
      throw 30;
    }
    const int firstLine = file.LineNumber();
    if (IsNoEntry(line)) {
      diag << "FATAL: soil table: entry " << k << " of " << n << " of " << section.c_str()
           << " is missing: expected a table block (\"<code> <name> method = MultipleHorizons {\" ... \"}\") or an "
              "old row, found "
           << NoEntryText(line).c_str() << " (" << WhereInFile(file, firstLine).c_str()
           << "); the count line gives the number of soil types"
           << "[end-entry]";
      throw 30;
    }
    if (line.find("MultipleHorizons") != std::string::npos || line.find("method") != std::string::npos ||
        line.find('{') != std::string::npos) {
      std::string text = line;
      if (!TableBlock::ReadRest(file, text)) {
        diag << "FATAL: Soil table code " << table[k].code << ": some values could not be read\n"
             << text.c_str() << "\nthe control file ends inside this table block, before its closing \"}\" ("
             << WhereInFile(file, firstLine).c_str() << ")"
             << "[end-entry]";
        throw 29;
      }
      ParseSoilEntry(table[k], diag, text, WhereInFile(file, firstLine));
    } else {
      ReadOldSoilRow(table[k], diag, line, WhereInFile(file, firstLine));
    }
    // A code given twice would let one entry take the cells of both.
    entryLines[static_cast<size_t>(k)] = WhereInFile(file, firstLine);
    for (int j = 1; j < k; ++j) {
      if (table[j].code != table[k].code) continue;
      diag << "FATAL: soil table: the code " << table[k].code << " is given twice in " << section.c_str() << " ("
           << entryLines[static_cast<size_t>(j)].c_str() << ", and " << entryLines[static_cast<size_t>(k)].c_str()
           << "); every soil type needs a code of its own"
           << "[end-entry]";
      throw 30;
    }
    if (k >= 2 && table[k].layers != table[k - 1].layers) {
      diag << "FATAL: the numbers of soil layers has to be equal for all soil types\n(here: soil type " << table[k].code
           << ": " << table[k].layers << " layers, but soil type " << table[k - 1].code << ": " << table[k - 1].layers
           << " layers)\n\n"
           << "[end-entry]";
      throw 30;
    }
  }
  return table;
}
