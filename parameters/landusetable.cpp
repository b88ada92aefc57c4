#include "parameters/landusetable.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <sstream>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "parameters/tableblock.h"

namespace {

const char* const kMethodNames[] = {"VariableDayCount", "DynamicPhenology_1", "DynamicPhenology_2",
                                    "DynamicPhenology_3", "DynamicPhenology_4"};

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

// "LAI = -1 (fixpoint 2 of 5)"
std::string SeriesValue(const char* key, double v, int i, int n, bool monthly) {
  return std::string(key) + " = " + Number(v) + " (" + (monthly ? "month " : "fixpoint ") + std::to_string(i) + " of " +
         std::to_string(n) + ")";
}

// The fixpoint days in order: days of the year (0 to 366), none before the
// one before it. The phenology methods 3, 4 and 6 mark the start of the
// season by the negative day of fixpoint k, and fixpoint k + 1 counts days
// from that start; the other days are in order around them.
std::string CheckJulDays(const landuse_table_entry& e) {
  const int n = e.JulDaysCount;
  const bool phenology = e.method == landuse_table_entry::kDynPhen1 || e.method == landuse_table_entry::kDynPhen2 ||
                         e.method == landuse_table_entry::kDynPhen4;
  const int k = phenology ? e.PhenoFixpointIndex : -1;
  int previous = -1;
  for (int i = 1; i <= n && i < static_cast<int>(e.JulDays.size()); ++i) {
    const int d = e.JulDays[static_cast<size_t>(i)];
    const std::string at =
        "\"JulDays\": day " + std::to_string(d) + " (fixpoint " + std::to_string(i) + " of " + std::to_string(n) + ")";
    if (i == k) continue;
    if (i == k + 1 && k > 0) {
      if (d < 0) return at + " counts the days from the start of the season and has to be 0 or more";
      continue;
    }
    if (d < 0 || d > 366) return at + " has to be a day of the year (0 to 366)";
    if (d < previous)
      return at + " comes before the day " + std::to_string(previous) + " before it: the days have to be in order";
    previous = d;
  }
  return std::string();
}

// A negative day ends the list of fixpoint days: the days from it on, and the
// values that belong to them, are not used, and after the last day used the
// values run towards those of the first day of the next year. The phenology
// methods 3, 4 and 6 mark the start of the season by their first negative
// day, and the day after it counts from that start, so their list can end
// only after these two. DynamicPhenology_3 runs from day 1 to day 366 and
// has no end of its own. Returns the number of fixpoints used, or 0 when a
// negative first day leaves none.
int FixpointsBeforeNegativeDay(const landuse_table_entry& e) {
  const int n = e.JulDaysCount;
  if (e.method == landuse_table_entry::kDynPhen3) return n;
  const bool phenology = e.method == landuse_table_entry::kDynPhen1 || e.method == landuse_table_entry::kDynPhen2 ||
                         e.method == landuse_table_entry::kDynPhen4;
  const int first = phenology ? e.PhenoFixpointIndex + 2 : 1;
  for (int i = std::max(first, 1); i <= n; ++i)
    if (e.JulDays[static_cast<size_t>(i)] < 0) return i - 1;
  return n;
}

// Shortens the day list to its first `used` days (index 0 follows the new
// last day) and says so.
void EndDayList(landuse_table_entry& e, DiagStream& diag, int used, const std::string& where) {
  const int n = e.JulDaysCount;
  diag << "INFO: landuse table code " << e.code << ": \"JulDays\": day " << e.JulDays[static_cast<size_t>(used) + 1]
       << " (fixpoint " << used + 1 << " of " << n
       << ") is negative and ends the list; the values of the fixpoints 1 to " << used << " are used"
       << (where.empty() ? "" : " (" + where + ")").c_str() << "[end-entry]";
  e.JulDays.resize(static_cast<size_t>(used) + 1);
  e.JulDays[0] = e.JulDays[static_cast<size_t>(used)] - 366;
  e.JulDaysCount = used;
  e.CorrectedJulDays = e.JulDays;
}

// The values of an entry against their physical range; the first problem, or
// an empty text. Albedo is a fraction, roughness and the resistances are not
// negative (the grids raise a roughness of 0 to 0.01; they take a leaf area
// below 0 as 0, a cover outside 0 ... 1 as its nearest end and a root depth
// below 0.01 as 0.01, WarnClampedValues says so), the surface routing divides
// by the crop distances and the Strickler coefficient. No value may be NaN
// or infinite.
std::string CheckLanduseValues(const landuse_table_entry& e) {
  std::string problem = CheckJulDays(e);
  if (!problem.empty()) return problem;
  const int n = e.JulDaysCount;
  const bool monthly = e.method == landuse_table_entry::kOldRow;
  struct Range {
    const char* key;
    const std::vector<double>* series;
    double low, high;  // inclusive
    bool monthly;      // old rows: 12 monthly values
  };
  const double inf = HUGE_VAL;
  const Range ranges[] = {{"Albedo", &e.Albedo, 0.0, 1.0, false},
                          {"rsc", &e.rsc, 0.0, inf, monthly},
                          {"LAI", &e.LAI, -inf, inf, false},
                          {"Z0", &e.Z0, 0.0, inf, false},
                          {"VCF", &e.VCF, -inf, inf, false},
                          {"RootDepth", &e.RootDepth, -inf, inf, false},
                          {"AltDep", &e.AltDep, -inf, inf, false},
                          {"ForcingThreshold", &e.ForcingThreshold, -inf, inf, false},
                          {"rs_interception", &e.rs_interception, 0.0, inf, monthly},
                          {"rs_evaporation", &e.rs_evaporation, 0.0, inf, monthly},
                          {"SR_StemDiameter", &e.SR_StemDiameter, 0.0, inf, false},
                          {"SR_ResidCovrg", &e.SR_ResidCovrg, 0.0, 1.0, false},
                          {"n-factor", &e.n_factor, -inf, inf, false}};
  for (const Range& r : ranges) {
    const int count = r.monthly ? 12 : n;
    for (int i = 1; i <= count && i < static_cast<int>(r.series->size()); ++i) {
      const double v = (*r.series)[static_cast<size_t>(i)];
      if (std::isfinite(v) && v >= r.low && v <= r.high) continue;
      const std::string value = SeriesValue(r.key, v, i, count, r.monthly);
      if (!std::isfinite(v)) return value + ": it has to be a number";
      if (r.high == inf) return value + ": it has to be 0 or more";
      return value + ": it has to lie within 0 ... 1";
    }
  }
  for (auto [key, coefficients] :
       {std::pair{"SR_rough_coeff1", &e.SR_rough_coeff1}, std::pair{"SR_rough_coeff2", &e.SR_rough_coeff2}}) {
    const std::vector<double>& c = *coefficients;
    for (size_t i = 1; i < c.size(); ++i)
      if (!std::isfinite(c[i]))
        return SeriesValue(key, c[i], static_cast<int>(i), 3, false) + ": it has to be a number";
  }
  struct Scalar {
    const char* key;
    double value, low, high;
    bool lowOpen;  // the value has to be greater than low
  };
  const Scalar scalars[] = {
      // The root distribution's weights (1 + RootDist z/R)(1 - z/R) stay positive in the root zone.
      {"RootDist", e.RootDist, -1.0, inf, false},
      {"TReduWet", e.TReduWet, 0.0, 1.0, false},
      {"LimitReduWet", e.LimitReduWet, 0.0, 1.0, false},
      {"HReduDry", e.HReduDry, 0.0, inf, false},
      {"SR_CropDistX", e.SR_CropDistX, 0.0, inf, true},
      {"SR_CropDistY", e.SR_CropDistY, 0.0, inf, true},
      {"SR_K_ST", e.SR_K_ST, 0.0, inf, true},
      {"SR_C_WR", e.SR_C_WR, 0.0, inf, true},
      {"StressFactorDynPhen", e.StressFactorDynPhen, -inf, inf, false},
      {"F*", e.FStar, -inf, inf, false},
      {"DP1_T_Bf", e.DP1_T_Bf, -inf, inf, false},
      {"DP2_T_Bc", e.DP2_T_Bc, -inf, inf, false},
      {"DP2_T_Bf", e.DP2_T_Bf, -inf, inf, false},
      {"DP2_Par_a", e.DP2_Par_a, -inf, inf, false},
      {"DP2_Par_b", e.DP2_Par_b, -inf, inf, false},
      {"DP2_Offset_1", e.DP2_Offset_1, -inf, inf, false},
      {"DP2_Offset_2", e.DP2_Offset_2, -inf, inf, false},
      {"DP4_T0", e.DP4_T0, -inf, inf, false},
      {"DP4_T1", e.DP4_T1, -inf, inf, false},
      {"DP4_Par_a", e.DP4_Par_a, -inf, inf, false},
      {"DP4_Par_b", e.DP4_Par_b, -inf, inf, false},
      {"DP4_T_xylstop", e.DP4_T_xylstop, -inf, inf, false},
      {"nf_freezing", e.nf_freezing, -inf, inf, false},
      {"nf_thawing", e.nf_thawing, -inf, inf, false}};
  for (const Scalar& c : scalars) {
    // The crop rows and the stems' drag at high Reynolds numbers enter the
    // surface routing's roughness in the nonconserving cultivation only.
    const bool cropsOnly =
        c.key == std::string("SR_CropDistX") || c.key == std::string("SR_CropDistY") || c.key == std::string("SR_C_WR");
    if (cropsOnly && e.SR_cultivation != 2) continue;
    const bool inside = std::isfinite(c.value) && (c.lowOpen ? c.value > c.low : c.value >= c.low) && c.value <= c.high;
    if (inside) continue;
    const std::string value = std::string(c.key) + " = " + Number(c.value);
    if (!std::isfinite(c.value)) return value + ": it has to be a number";
    if (c.high != inf) return value + ": it has to lie within " + Number(c.low) + " ... " + Number(c.high);
    return value + (c.lowOpen ? ": it has to be greater than " : ": it has to be at least ") + Number(c.low);
  }
  // mm per unit of leaf area; a negative value (-1 when absent) takes the
  // interception model's maximum water layer thickness instead.
  if (!std::isfinite(e.IntercepCap))
    return "IntercepCap = " + Number(e.IntercepCap) +
           ": it has to be a number (mm per unit of leaf area; a negative one takes the interception model's maximum "
           "water layer thickness)";
  return std::string();
}

// Roughness, leaf area, cover and root depth that the parameter grids clamp:
// one WARNING per key and entry names the first such fixpoint and what the
// grids take for it. (The aerodynamic resistance takes the logarithm of the
// measuring height over the roughness length, which has no value for 0.)
void WarnClampedValues(const landuse_table_entry& e, DiagStream& diag, const std::string& where) {
  struct Clamped {
    const char* key;
    const std::vector<double>* series;
    double low, high;
    const char* taken;
  };
  const Clamped keys[] = {
      {"Z0", &e.Z0, std::numeric_limits<double>::denorm_min(), HUGE_VAL,
       "a roughness length of 0 m is taken as 0.01 m"},
      {"LAI", &e.LAI, 0.0, HUGE_VAL, "a leaf area index below 0 is taken as 0"},
      {"VCF", &e.VCF, 0.0, 1.0, "a vegetation cover outside 0 ... 1 is taken as the nearer of 0 and 1"},
      {"RootDepth", &e.RootDepth, 0.0, HUGE_VAL, "a root depth below 0 is taken as 0.01 m"}};
  const int n = e.JulDaysCount;
  for (const Clamped& k : keys) {
    int count = 0, first = 0;
    double value = 0;
    for (int i = 1; i <= n && i < static_cast<int>(k.series->size()); ++i) {
      const double v = (*k.series)[static_cast<size_t>(i)];
      if (v >= k.low && v <= k.high) continue;
      if (count++ == 0) {
        first = i;
        value = v;
      }
    }
    if (count == 0) continue;
    diag << "WARNING: landuse table code " << e.code << ": " << k.key << " = " << Number(value).c_str() << " (fixpoint "
         << first << " of " << n << (count > 1 ? ", and " + std::to_string(count - 1) + " more" : std::string()).c_str()
         << "): " << k.taken << (where.empty() ? "" : " (" + where + ")").c_str() << "[end-entry]";
  }
}

// Reads one table block into an entry. Every failure ends the block with the
// common message, preceded by a message of its own where there is one.
class LanduseBlockParser {
 public:
  LanduseBlockParser(landuse_table_entry& e, DiagStream& d, const std::string& text, const std::string& w,
                     const ControlFile* f = nullptr, int first = 0)
      : entry(e), diag(d), block(text), where(w), file(f), firstLine(first) {}

  void Parse(int method);

 private:
  [[noreturn]] void Fail(const std::string& detail) {
    std::string tail = "\n" + detail;
    if (!where.empty()) tail += " (" + where + ")";
    diag << "FATAL: landuse table code " << entry.code << ": some values could not be read\n"
         << block.Body().c_str() << tail.c_str() << "[end-entry]";
    throw 29;
  }
  [[noreturn]] void MissingParameter(const char* key) {
    diag << "FATAL: parameter \"" << key << "\" not found for land use " << entry.code << "[end-entry]";
    Fail(std::string("missing key \"") + key + "\"");
  }
  double RequiredDouble(const char* key) {
    double v = 0.0;
    if (!block.ConvertDouble(key, v)) Fail(std::string("missing key \"") + key + "\"");
    return v;
  }
  template <typename T>
  T PhenologyValue(const char* key) {
    T v{};
    if (!block.ReadKeyValue(key, v)) MissingParameter(key);
    return v;
  }
  template <typename T>
  T OptionalValue(const char* key, T absent) {
    T v{};
    return block.ReadKeyValue(key, v) ? v : absent;
  }
  // A series of n values; absent: every element `absent`, or a failure when required.
  void Series(const char* key, std::vector<double>& series, int n, bool required, double absent = 0.0) {
    series.assign(static_cast<size_t>(n) + 1, absent);
    const int read = block.ReadKeyValues(key, series.data(), n);
    if (read < 0 && required) Fail(std::string("missing key \"") + key + "\"");
    if (read >= 0 && read < n)
      Fail(std::string("key \"") + key + "\" needs " + std::to_string(n) + " values separated by blanks, found " +
           std::to_string(read));
  }
  void ReadJulDays();
  void ReadSoilTillage();
  void WarnUnknownKeys();

  landuse_table_entry& entry;
  DiagStream& diag;
  TableBlock block;
  std::string where;
  const ControlFile* file = nullptr;
  int firstLine = 0;
};

void LanduseBlockParser::ReadJulDays() {
  bool ok = true;
  if (!block.ReadDayList("JulDays", entry.JulDays, ok)) Fail("missing key \"JulDays\"");
  if (!ok) Fail("\"JulDays\" must list at least one day, each an integer, on one line");
  entry.JulDaysCount = static_cast<int>(entry.JulDays.size()) - 1;
  entry.CorrectedJulDays = entry.JulDays;
}

void LanduseBlockParser::ReadSoilTillage() {
  bool ok = true;
  if (!block.ReadDayList("SoilTillage", entry.SoilTillage, ok)) {
    entry.SoilTillageCount = 0;
    entry.SoilTillage.assign(1, -9999);
    return;
  }
  if (!ok) Fail("\"SoilTillage\" must list at least one day, each an integer, on one line");
  entry.SoilTillageCount = static_cast<int>(entry.SoilTillage.size()) - 1;
}

void LanduseBlockParser::Parse(int method) {
  std::istringstream header(block.Text());
  int code = 0;
  std::string name;
  if (!(header >> code >> name)) Fail("expected the code and the name at the start of the header line");
  entry.code = code;
  if (name.size() > static_cast<size_t>(landuse_table_entry::kMaxNameLength))
    Fail("the name is longer than " + std::to_string(landuse_table_entry::kMaxNameLength) + " characters");
  entry.name = name;

  entry.RootDist = RequiredDouble("RootDist");
  entry.TReduWet = RequiredDouble("TReduWet");
  bool ok = true;
  std::string flags;
  if (block.ReadFlagText("useInternalParameters", flags, ok)) {
    if (!ok) Fail("\"useInternalParameters\" needs a text of the digits 0 and 1");
    int mask = 0;
    for (size_t i = 0; i < 8 && i < flags.size(); ++i)
      if (flags[i] == '1') mask += 128 >> i;
    entry.useInternalParameters = mask;
    entry.useInternalParametersText = flags;
  } else {
    entry.useInternalParameters = 255;
    entry.useInternalParametersText = "11111111";
  }
  if (!block.ConvertDouble("LimitReduWet", entry.LimitReduWet)) entry.LimitReduWet = 0.0;
  entry.HReduDry = RequiredDouble("HReduDry");
  if (!block.ConvertInt("StartVegetationPeriodForBalance", entry.StartVegetationPeriodForBalance))
    entry.StartVegetationPeriodForBalance = 0;
  if (!block.ConvertInt("StopVegetationPeriodForBalance", entry.StopVegetationPeriodForBalance))
    entry.StopVegetationPeriodForBalance = 0;
  if (!block.ConvertInt("JDVegetationResetForBalance", entry.JDVegetationResetForBalance))
    entry.JDVegetationResetForBalance = -1;
  if (!block.ConvertInt("JDVegetationWriteForBalance", entry.JDVegetationWriteForBalance))
    entry.JDVegetationWriteForBalance = -1;
  if (!block.ConvertDouble("IntercepCap", entry.IntercepCap)) entry.IntercepCap = -1.0;
  if (!block.ConvertDouble("StressFactorDynPhen", entry.StressFactorDynPhen)) entry.StressFactorDynPhen = 0.0;

  ReadJulDays();
  int n = entry.JulDaysCount;
  if (method == landuse_table_entry::kDynPhen3) {
    if (entry.JulDays[1] != 1) {
      diag << "FATAL: Error in Landuse Table (Code: " << entry.code
           << "): for Method DynamicPhenology_3 the first sample day (JulDay) must be 1 and not " << entry.JulDays[1]
           << "[end-entry]";
      Fail("wrong first day in \"JulDays\"");
    }
    if (entry.JulDays[n] != 366) {
      diag << "FATAL: Error in Landuse Table (Code: " << entry.code
           << "): for Method DynamicPhenology_3 the last sample day (JulDay) must be 366 and not " << entry.JulDays[n]
           << "[end-entry]";
      Fail("wrong last day in \"JulDays\"");
    }
  }

  const bool phenologyStart = method == landuse_table_entry::kDynPhen1 || method == landuse_table_entry::kDynPhen2 ||
                              method == landuse_table_entry::kDynPhen4;
  if (phenologyStart) {
    entry.TStart = -1;
    entry.PhenoFixpointIndex = -1;
    entry.FStar = PhenologyValue<double>("F*");
    entry.DP1_t1_dorm = PhenologyValue<int>("DP1_t1_dorm");
    entry.DP1_T_Bf = PhenologyValue<double>("DP1_T_Bf");
    entry.JDReset_TStart = PhenologyValue<int>("JDReset_TStart");
    entry.maxStartJDforDP1 = PhenologyValue<int>("maxStartJDforDP1");
    for (int i = 1; i < n && entry.PhenoFixpointIndex < 0; ++i)
      if (entry.JulDays[i] < 0) entry.PhenoFixpointIndex = i;
    // The start day of the season takes the place of this fixpoint; without
    // it the value-at-day operations would have no fixpoint to move.
    if (entry.PhenoFixpointIndex < 0) {
      diag << "FATAL: landuse table code " << entry.code << ": method " << kMethodNames[method - 2]
           << " needs a negative \"JulDays\" value among the fixpoints 1 to " << n - 1
           << " that marks the start of the season"
           << "[end-entry]";
      Fail("no negative day in \"JulDays\"");
    }
  }
  if (method == landuse_table_entry::kDynPhen2) {
    entry.DP2_t0_dorm = PhenologyValue<int>("DP2_t0_dorm");
    entry.DP2_t1_dorm = PhenologyValue<int>("DP2_t1_dorm");
    entry.DP2_T_Bf = PhenologyValue<double>("DP2_T_Bf");
    entry.DP2_T_Bc = PhenologyValue<double>("DP2_T_Bc");
    entry.DP2_Par_a = PhenologyValue<double>("DP2_Par_a");
    entry.DP2_Par_b = PhenologyValue<double>("DP2_Par_b");
    if (!block.ReadKeyValue("DP2_Offset_1", entry.DP2_Offset_1)) {
      entry.DP2_Offset_1 = -3.4;
      diag << "INFO: parameter \"DP2_Offset_1\" not found for land use " << entry.code << "; Using default of "
           << entry.DP2_Offset_1 << "[end-entry]";
    }
    if (!block.ReadKeyValue("DP2_Offset_2", entry.DP2_Offset_2)) {
      entry.DP2_Offset_2 = 12.0;
      diag << "INFO: parameter \"DP2_Offset_2\" not found for land use " << entry.code << "; Using default of "
           << entry.DP2_Offset_2 << "[end-entry]";
    }
  }
  if (method == landuse_table_entry::kDynPhen3) {
    entry.DP1_t1_dorm = PhenologyValue<int>("DP1_t1_dorm");
    entry.DP1_T_Bf = PhenologyValue<double>("DP1_T_Bf");
    entry.JDReset_TStart = PhenologyValue<int>("JDReset_TStart");
    entry.maxStartJDforDP1 = PhenologyValue<int>("maxStartJDforDP1");
  }
  if (method == landuse_table_entry::kDynPhen4) {
    entry.DP4_t0_dorm = PhenologyValue<int>("DP4_t0_dorm");
    entry.DP4_t1_dorm = PhenologyValue<int>("DP4_t1_dorm");
    entry.DP4_T0 = PhenologyValue<double>("DP4_T0");
    entry.DP4_T1 = PhenologyValue<double>("DP4_T1");
    entry.DP4_Par_a = PhenologyValue<double>("DP4_Par_a");
    entry.DP4_Par_b = PhenologyValue<double>("DP4_Par_b");
    entry.DP4_T_xylstop = PhenologyValue<double>("DP4_T_xylstop");
    entry.DP4_t_xs1 = PhenologyValue<int>("DP4_t_xs1");
    entry.DP4_SPSLF = PhenologyValue<int>("DP4_SPSLF");
    // The fixpoint whose start day leaf fall moves; a negative one names none.
    if (entry.DP4_SPSLF < 0)
      Fail("\"DP4_SPSLF\" is " + std::to_string(entry.DP4_SPSLF) +
           "; it has to be a fixpoint index of \"JulDays\" (0 or more)");
  }

  const int used = FixpointsBeforeNegativeDay(entry);
  if (used == 0)
    Fail("\"JulDays\": the first day " + std::to_string(entry.JulDays[1]) +
         " is negative and ends the list before any fixpoint; the list needs at least one day of the year");
  if (used < n) EndDayList(entry, diag, used, where);
  n = entry.JulDaysCount;

  Series("Albedo", entry.Albedo, n, true);
  Series("rsc", entry.rsc, n, true);
  Series("LAI", entry.LAI, n, true);
  Series("Z0", entry.Z0, n, true);
  Series("VCF", entry.VCF, n, true);
  Series("RootDepth", entry.RootDepth, n, true);
  Series("AltDep", entry.AltDep, n, true);
  if (method == landuse_table_entry::kDynPhen3) Series("ForcingThreshold", entry.ForcingThreshold, n, true);
  Series("rs_interception", entry.rs_interception, n, false, 20.0);
  Series("rs_evaporation", entry.rs_evaporation, n, false, 200.0);
  ReadSoilTillage();

  std::string cultivation;
  if (block.FindValueText("SR_cultivation", cultivation)) {
    if (cultivation.find("other") != std::string::npos)
      entry.SR_cultivation = 3;
    else if (cultivation.find("nonconserving") != std::string::npos)
      entry.SR_cultivation = 2;
    else if (cultivation.find("conserving") != std::string::npos)
      entry.SR_cultivation = 1;
    else {
      diag << "FATAL: no valid value for parameter \"SR_cultivation\" for land use " << entry.code << "[end-entry]";
      Fail("\"SR_cultivation\" must be one of other, nonconserving, conserving");
    }
  } else {
    entry.SR_cultivation = 3;
  }
  entry.SR_CropDistX = OptionalValue("SR_CropDistX", 0.3);
  entry.SR_CropDistY = OptionalValue("SR_CropDistY", 0.3);
  entry.SR_K_ST = OptionalValue("SR_K_ST", 10.0);
  entry.SR_C_WR = OptionalValue("SR_C_WR", 1.5);
  Series("SR_rough_coeff1", entry.SR_rough_coeff1, 3, false);
  if (!block.Has("SR_rough_coeff1")) entry.SR_rough_coeff1 = {0.0, 0.0198, 0.712, 0.142};
  Series("SR_rough_coeff2", entry.SR_rough_coeff2, 3, false);
  if (!block.Has("SR_rough_coeff2")) entry.SR_rough_coeff2 = {0.0, 0.0198, 0.712, 0.142};
  Series("SR_StemDiameter", entry.SR_StemDiameter, n, false, 0.01);
  Series("SR_ResidCovrg", entry.SR_ResidCovrg, n, false, 0.01);
  Series("n-factor", entry.n_factor, n, false, -9999.9);
  entry.nf_freezing = OptionalValue("nf_freezing", -9999.9);
  entry.nf_thawing = OptionalValue("nf_thawing", -9999.9);
  if (!block.UnreadableKey().empty()) {
    // The key's own line, where the control file is known.
    if (file) {
      const int line = firstLine + block.UnreadableLineOffset();
      where = file->WhereBetween(line, line);
    }
    Fail("\"" + block.UnreadableKey() + "\" = \"" + block.UnreadableText() + "\" is no number");
  }
  WarnUnknownKeys();
  const std::string problem = CheckLanduseValues(entry);
  if (!problem.empty()) Fail(problem);
  WarnClampedValues(entry, diag, where);
}

// Every item of the block is "key = value;": a key that no reader takes (a
// misspelt one) and a key given twice (the first is read) get a WARNING.
void LanduseBlockParser::WarnUnknownKeys() {
  static const std::set<std::string> known = {"RootDist",
                                              "TReduWet",
                                              "useInternalParameters",
                                              "LimitReduWet",
                                              "HReduDry",
                                              "StartVegetationPeriodForBalance",
                                              "StopVegetationPeriodForBalance",
                                              "JDVegetationResetForBalance",
                                              "JDVegetationWriteForBalance",
                                              "IntercepCap",
                                              "StressFactorDynPhen",
                                              "JulDays",
                                              "F*",
                                              "DP1_t1_dorm",
                                              "DP1_T_Bf",
                                              "JDReset_TStart",
                                              "maxStartJDforDP1",
                                              "DP2_t0_dorm",
                                              "DP2_t1_dorm",
                                              "DP2_T_Bf",
                                              "DP2_T_Bc",
                                              "DP2_Par_a",
                                              "DP2_Par_b",
                                              "DP2_Offset_1",
                                              "DP2_Offset_2",
                                              "DP4_t0_dorm",
                                              "DP4_t1_dorm",
                                              "DP4_T0",
                                              "DP4_T1",
                                              "DP4_Par_a",
                                              "DP4_Par_b",
                                              "DP4_T_xylstop",
                                              "DP4_t_xs1",
                                              "DP4_SPSLF",
                                              "Albedo",
                                              "rsc",
                                              "LAI",
                                              "Z0",
                                              "VCF",
                                              "RootDepth",
                                              "AltDep",
                                              "ForcingThreshold",
                                              "rs_interception",
                                              "rs_evaporation",
                                              "SoilTillage",
                                              "SR_cultivation",
                                              "SR_CropDistX",
                                              "SR_CropDistY",
                                              "SR_K_ST",
                                              "SR_C_WR",
                                              "SR_rough_coeff1",
                                              "SR_rough_coeff2",
                                              "SR_StemDiameter",
                                              "SR_ResidCovrg",
                                              "n-factor",
                                              "nf_freezing",
                                              "nf_thawing"};
  const std::string& body = block.Body();
  std::set<std::string> seen;
  size_t start = body.find('{');
  start = start == std::string::npos ? 0 : start + 1;
  for (size_t end; start < body.size(); start = end + 1) {
    end = body.find_first_of(";}", start);
    if (end == std::string::npos) end = body.size();
    const size_t equals = body.find('=', start);
    if (equals == std::string::npos || equals > end) continue;
    const size_t a = body.find_first_not_of(" \t\r\n", start);
    const size_t b = body.find_last_not_of(" \t\r\n", equals - 1);
    if (a == std::string::npos || b == std::string::npos || a > b) continue;
    const std::string key = body.substr(a, b - a + 1);
    std::string warning;
    if (known.count(key) == 0)
      warning = "the key \"" + key + "\" is no land-use parameter and is ignored";
    else if (!seen.insert(key).second)
      warning = "the key \"" + key + "\" is given twice; the first value is read";
    if (!warning.empty())
      diag << "WARNING: landuse table code " << entry.code << ": " << warning.c_str()
           << (where.empty() ? "" : " (" + where + ")").c_str() << "[end-entry]";
    if (end == body.size() || body[end] == '}') break;
  }
}

// Fields that old rows do not hold get the values a block without those keys
// would give.
void SetOldRowDefaults(landuse_table_entry& e) {
  e.rs_interception.assign(14, 20.0);
  e.SR_StemDiameter.assign(5, 0.01);
  e.SR_ResidCovrg.assign(5, 0.01);
  e.n_factor.assign(5, -9999.9);
  e.SR_rough_coeff1 = {0.0, 0.0198, 0.712, 0.142};
  e.SR_rough_coeff2 = {0.0, 0.0198, 0.712, 0.142};
  e.SR_cultivation = 3;
  e.SR_CropDistX = 0.3;
  e.SR_CropDistY = 0.3;
  e.SR_K_ST = 10.0;
  e.SR_C_WR = 1.5;
  e.SoilTillageCount = 0;
  e.SoilTillage.assign(1, -9999);
  e.nf_freezing = -9999.9;
  e.nf_thawing = -9999.9;
}

}  // namespace

void ParseLanduseEntry(landuse_table_entry& entry, DiagStream& diag, const std::string& blockText,
                       const std::string& methodName, const std::string& where, const ControlFile* file,
                       int firstLine) {
  int method = 0;
  for (int i = 0; i < 5; ++i)
    if (methodName == kMethodNames[i]) method = i + 2;
  if (method == 0) {
    diag << "FATAL: landuse table method unknown " << methodName.c_str() << "[end-entry]";
    throw 29;
  }
  entry.method = method;
  entry.useForcingOnly = 0;
  entry.TStart = -1;
  LanduseBlockParser(entry, diag, blockText, where, file, firstLine).Parse(method);
}

void ReadOldLanduseRow(landuse_table_entry& entry, DiagStream& diag, const std::string& line, int modelVariant,
                       const std::string& where) {
  entry.method = landuse_table_entry::kOldRow;
  entry.JulDaysCount = 4;
  entry.JulDays.assign(5, 0);
  entry.rsc.assign(14, 0.0);
  entry.rs_evaporation.assign(14, 0.0);
  for (auto* series : {&entry.Albedo, &entry.LAI, &entry.Z0, &entry.VCF, &entry.RootDepth, &entry.AltDep})
    series->assign(5, 0.0);
  SetOldRowDefaults(entry);

  auto fail = [&](const std::string& detail) {
    std::string tail = "\n" + detail;
    if (!where.empty()) tail += " (" + where + ")";
    diag << "FATAL: landuse table code " << entry.code << ": some values could not be read\n"
         << WithoutLineEnd(line).c_str() << tail.c_str() << "[end-entry]";
    throw 29;
  };
  const std::string expected = modelVariant == 2 ? "37" : "35";
  const std::string rowForm = "an old row holds " + expected +
                              " items: code, name, albedo, 12 monthly rsc, 4 days, 4 LAI, 4 Z0, 4 VCF, 4 root depths" +
                              (modelVariant == 2 ? ", RootDist, HReduDry" : "");

  std::istringstream in(line);
  int code = 0;
  std::string name;
  double albedo = 0.0;
  if (in >> code) entry.code = code;
  if (!(in >> name >> albedo)) fail(rowForm);
  if (name.size() > static_cast<size_t>(landuse_table_entry::kMaxNameLength))
    fail("the name is longer than " + std::to_string(landuse_table_entry::kMaxNameLength) + " characters");
  entry.name = name;
  std::fill(entry.Albedo.begin(), entry.Albedo.end(), albedo);

  bool ok = true;
  for (int m = 1; m <= 12; ++m) {
    ok = ok && static_cast<bool>(in >> entry.rsc[m]);
    entry.rs_evaporation[m] = entry.rsc[m];
  }
  for (auto* monthly : {&entry.rsc, &entry.rs_evaporation, &entry.rs_interception}) {
    (*monthly)[0] = (*monthly)[12];
    (*monthly)[13] = (*monthly)[1];
  }
  for (int i = 1; i <= 4; ++i) ok = ok && static_cast<bool>(in >> entry.JulDays[i]);
  entry.JulDays[0] = entry.JulDays[4] - 366;
  entry.CorrectedJulDays = entry.JulDays;
  for (auto* series : {&entry.LAI, &entry.Z0, &entry.VCF, &entry.RootDepth}) {
    for (int i = 1; i <= 4; ++i) ok = ok && static_cast<bool>(in >> (*series)[i]);
    (*series)[0] = (*series)[4];
  }
  if (modelVariant == 2) ok = ok && static_cast<bool>(in >> entry.RootDist >> entry.HReduDry);
  if (!ok) fail(rowForm);

  entry.AltDep = {-0.025, 0.025, 0.025, -0.025, -0.025};
  const int used = FixpointsBeforeNegativeDay(entry);
  if (used == 0)
    fail("the first day " + std::to_string(entry.JulDays[1]) +
         " is negative and ends the list before any fixpoint; the list needs at least one day of the year");
  if (used < 4) {
    EndDayList(entry, diag, used, where);
    for (auto* series : {&entry.Albedo, &entry.LAI, &entry.Z0, &entry.VCF, &entry.RootDepth, &entry.AltDep,
                         &entry.SR_StemDiameter, &entry.SR_ResidCovrg, &entry.n_factor}) {
      series->resize(static_cast<size_t>(used) + 1);
      (*series)[0] = (*series)[static_cast<size_t>(used)];
    }
  }
  entry.TReduWet = 0.95;
  entry.LimitReduWet = 0.0;
  const std::string problem = CheckLanduseValues(entry);
  if (!problem.empty()) fail(problem);
  WarnClampedValues(entry, diag, where);
}

std::unique_ptr<landuse_table_entry[]> ReadLanduseTable(ControlFile& file, DiagStream& diag, int modelVariant) {
  const std::string section = "[landuse_table]";
  FindTableSection(file, diag, section, true);
  const int n = ReadTableCount(file, diag, section);
  auto table = std::make_unique<landuse_table_entry[]>(static_cast<size_t>(n) + 1);
  for (int k = 1; k <= n; ++k) table[k].code = k;
  table[0].code = n;
  if (n < 1) {
    table[0].JDVegetationResetForBalance = 1;
    table[0].JDVegetationWriteForBalance = 365;
    return table;
  }

  // A code given twice would let its last entry take the cells of both.
  std::vector<std::string> entryLines(static_cast<size_t>(n) + 1);
  auto checkDuplicate = [&](int k, const std::string& lines) {
    entryLines[static_cast<size_t>(k)] = lines;
    table[k].SetSourceLines(lines);
    for (int j = 1; j < k; ++j) {
      if (table[j].code != table[k].code) continue;
      diag << "FATAL: landuse table: the code " << table[k].code << " is given twice in " << section.c_str() << " ("
           << entryLines[static_cast<size_t>(j)].c_str() << ", and " << lines.c_str()
           << "); every land use needs a code of its own"
           << "[end-entry]";
      throw 29;
    }
  };
  std::string line;
  for (int k = 1; k <= n; ++k) {
    if (!file.GetLine(line)) {
      diag << "FATAL: landuse table: the control file " << file.SourceName().c_str() << " ends after " << k - 1
           << " of " << n << " entries of " << section.c_str() << "[end-entry]";
      throw 29;
    }
    const int firstLine = file.LineNumber();
    if (IsNoEntry(line)) {
      diag << "FATAL: landuse table: entry " << k << " of " << n << " of " << section.c_str()
           << " is missing: expected a table block (\"<code> <name> method = VariableDayCount {\" ... \"}\") or an "
              "old row, found "
           << NoEntryText(line).c_str() << " (" << WhereInFile(file, firstLine).c_str()
           << "); the count line gives the number of land-use types"
           << "[end-entry]";
      throw 29;
    }
    const char* method = nullptr;
    for (const char* m : kMethodNames) {
      if (line.find(m) != std::string::npos && line.find("method") != std::string::npos &&
          line.find('{') != std::string::npos) {
        method = m;
        break;
      }
    }
    if (!method) {
      ReadOldLanduseRow(table[k], diag, line, modelVariant, WhereInFile(file, firstLine));
      checkDuplicate(k, WhereInFile(file, firstLine));
      continue;
    }
    std::string text = line;
    if (!TableBlock::ReadRest(file, text)) {
      diag << "FATAL: landuse table code " << table[k].code << ": some values could not be read\n"
           << text.c_str() << "\nthe control file ends inside this table block, before its closing \"}\" ("
           << WhereInFile(file, firstLine).c_str() << ")"
           << "[end-entry]";
      throw 29;
    }
    ParseLanduseEntry(table[k], diag, text, method, WhereInFile(file, firstLine), &file, firstLine);
    checkDuplicate(k, WhereInFile(file, firstLine));
  }

  // Entry 0 carries the balance days of the whole table.
  table[0].JDVegetationResetForBalance = 1;
  for (int k = 1; k <= n; ++k) {
    if (table[k].JDVegetationResetForBalance >= 1) {
      table[0].JDVegetationResetForBalance = table[k].JDVegetationResetForBalance;
      break;
    }
  }
  table[0].JDVegetationWriteForBalance = 365;
  for (int k = 1; k <= n; ++k) {
    if (table[k].JDVegetationWriteForBalance >= 1) {
      table[0].JDVegetationWriteForBalance = table[k].JDVegetationWriteForBalance;
      break;
    }
  }
  return table;
}
