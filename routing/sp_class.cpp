#include "routing/sp_class.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "routing/al_class.h"
#include "routing/elementfile.h"
#include "routing/elementtext.h"

namespace {
// Sub-steps of one step's rule evaluation; more would stall the run.
constexpr double kMaxSubSteps = 1e7;
constexpr const char* kHeader =
    "YY\tMM\tDD\tHH\tW[m]\tA[m2]\tV[m3]\tQin[m3]\tQin[mm]\tQin[m3s]\tQout[m3]\tQout[mm]\tQout[m3s]\tIrrig[m3]\tIrrig["
    "mm]\tIrrig[m3s]\tQGW[m3]\tQGW[mm]\tQGW[m3s]\tETR[m3]\tETR[mm]\tETR[m3s]\tPREC[m3]\tPREC[mm]\tPREC[m3s]\tdV[m3]"
    "\tdV["
    "mm]\tdV[m3s]\tAbstr[m3]\tAbstr[mm]\tAbstr[m3s]\tErr[m3]\tErr[mm]\tErr[m3s]";
}  // namespace

void SP_class::Fail(const std::string& message, int errorCode) {
  elementfile::Fail(diag, message, errorCode);
}

void SP_class::SetParameters(DiagStream* diagnostics, TracerRecord* tracerRecords, int tracers, int subbasin, int entry,
                             double timeStep, const std::string& directory) {
  diag = diagnostics;
  this->tracers = tracerRecords;
  nTracers = tracers;
  subbasinCode = subbasin;
  subbasinEntry = entry;
  stepMinutes = timeStep;
  outputDirectory = directory;
  state.assign(nTracers + 1, 0.0);
  previous.assign(nTracers + 1, 0.0);
}

void SP_class::MakeOutputPath(const std::string& directory, std::string& name) {
  name = elementfile::CheckedPath(diag, directory, name, "reservoir " + std::to_string(code));
}

void SP_class::ReadDescription(int reservoirCode, const std::string& text, const std::string& where_) {
  using namespace elementtext;
  code = reservoirCode;
  location = where_;
  const std::string where = " (reservoir in subbasin " + std::to_string(subbasinCode) +
                            (location.empty() ? std::string() : ", " + location) + ": \"SP " + std::to_string(code) +
                            text + "\")";
  auto missing = [&](const char* key) {
    Fail("FATAL: for reservoir " + std::to_string(code) + ": no \"" + key + " =\" found!" + where, 35);
  };
  size_t pos = KeyValue(text, "file");
  if (pos == std::string::npos) missing("file");
  outputFile = Word(text, pos);
  if (outputFile.empty()) missing("file");
  MakeOutputPath(outputDirectory, outputFile);

  pos = KeyValue(text, "V0");
  if (pos == std::string::npos) missing("V0");
  double v = 0;
  // A number must stand directly behind the "=".
  auto direct = [&](size_t& p, double& x) {
    const size_t at = p;
    return Number(text, p, x) && text.find('=', at) >= p;
  };
  size_t written = pos;
  if (!direct(pos, v) || v < 0) {
    std::string word = Word(text, written);
    while (!word.empty() && (word.back() == ',' || word.back() == ';')) word.pop_back();
    Fail("FATAL: for reservoir " + std::to_string(code) + ": \"V0 =\" must be followed by the initial volume [m3], " +
             "a number not negative, not \"" + word + "\"" + where,
         35);
  }
  state[0] = v;
  startVolume = v;

  pos = KeyValue(text, "C0");
  if (pos == std::string::npos) missing("C0");
  int read = 0;
  const size_t concentrations = pos;
  for (; read < 9 && direct(pos, v); ++read)
    if (read < nTracers) state[read + 1] = v;
  // The key holds numbers (one per tracer at least), also in a run without tracers.
  if (read == 0) {
    size_t at = concentrations;
    std::string word = Word(text, at);
    while (!word.empty() && (word.back() == ',' || word.back() == ';' || word.back() == ')')) word.pop_back();
    Fail("FATAL: for reservoir " + std::to_string(code) +
             ": \"C0 =\" must be followed by the initial concentration of each tracer (numbers), not \"" + word +
             "\"" + where,
         35);
  }
  if (read < nTracers)
    Fail("FATAL: for reservoir " + std::to_string(code) + ": \"C0 =\" holds " + std::to_string(read) +
             " initial concentration(s), but " + std::to_string(nTracers) + " tracer(s) are modelled" + where,
         35);

  dTmin = 60.0;
  pos = KeyValue(text, "dTmin");
  if (pos != std::string::npos) {
    // The sub-step divides the step; it must be positive and not too short.
    if (!direct(pos, dTmin) || !(dTmin > 0) || stepMinutes * 60 / dTmin > kMaxSubSteps)
      Fail("FATAL: for reservoir " + std::to_string(code) +
               ": \"dTmin =\" must give the sub-step of the rule [s], greater than 0 and at least a " +
               std::to_string(static_cast<long>(kMaxSubSteps)) + "th of the time step" + where,
           34);
    if (dTmin > stepMinutes * 60)
      *diag << "WARNING: for reservoir " << code << ": \"dTmin = " << dTmin << "\" [s] is longer than the time step of "
            << stepMinutes * 60
            << " s: no sub-step of the rule fits into a step, and the reservoir releases nothing, also above its "
               "spillway"
            << where.c_str() << "[end-entry]";
  }

  capacity = std::max<uint64_t>(1, kBufferBytes / ((nTracers + 35) * 8));
  rows.assign((capacity + 1) * (nTracers + 35), 0.0);
  rowsUsed = rowWidth = 0;
}

void SP_class::CreateOutputFile() {
  std::string header = kHeader;
  for (int t = 1; t <= nTracers; ++t) header += "\t" + tracers[t].name;
  elementfile::CreateWithHeader(diag, outputFile, header, "reservoir_" + std::to_string(code),
                                "reservoir " + std::to_string(code));
}

void SP_class::FindRuleSection(ControlFile& file, const std::string& sectionName) {
  ::FindRuleSection(file, diag, sectionName);
}

void SP_class::ReadRules(ControlFile& file) {
  const std::string section = "[abstraction_rule_reservoir_" + std::to_string(code) + "]";
  FindRuleSection(file, section);
  rules.Read(file, diag, section);
  const std::string where = " of its rule table " + section + " (" +
                            (location.empty() ? "control file " + file.SourceName() : location) + ")";
  // Above the rule's last row a reservoir passes its inflow (a lake follows
  // the rule's last segment); a start there is legal, if most likely a
  // mistyped exponent. Below the first row the rule releases nothing, which
  // a reservoir that fills from empty may well mean.
  double high = rules.indexColumn[rules.nRows];
  if (rules.inverse) {
    high = rules.ruleValues[1][rules.nRows];
    for (int c = 2; c <= rules.nColumns; ++c) high = std::max(high, rules.ruleValues[c][rules.nRows]);
  }
  if (startVolume > high) {
    char text[200];
    std::snprintf(text, sizeof text, "V0 = %.15lg [m3] lies above the largest volume %.15lg", startVolume, high);
    *diag << "WARNING: for reservoir " << code << " in subbasin " << subbasinCode << ": " << text << where
          << (rules.inverse ? ": the rule's last segment is extended above it"
              : lake        ? ": above it the lake follows the rule's last segment"
                            : ": above it the reservoir passes its inflow")
          << "[end-entry]";
  }
  // A reservoir's TargetCap not above 0 caps nothing (-1 says so).
  for (int c = 1; c <= rules.nColumns; ++c)
    if (rules.targetCap[c] <= 0 && rules.targetCap[c] != -1.0 && !rules.targetCapWhere.empty())
      *diag << "WARNING: for reservoir " << code << ": TargetCap = " << rules.targetCap[c] << " of column " << c
            << " in section " << section << rules.targetCapWhere
            << " is not above 0: the release of that column has no cap"
            << "[end-entry]";
}

double SP_class::WeightedByAbs(double cOld, double cIn, double vOld, double vIn) {
  const double s = std::fabs(vOld) + std::fabs(vIn);
  return s == 0 ? 0.0 : (cIn * std::fabs(vIn) + cOld * std::fabs(vOld)) / s;
}

double SP_class::RuleOutflow(const std::vector<std::vector<double>>* history, AL_class* const* abstractions,
                             int nAbstractions, int64_t year, int64_t month, int64_t day, int64_t hour, double inflow,
                             double timeStep) {
  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;
  int c = 1;
  double w = 1;
  rules.Column(year, month, day, c, w);
  const double seconds = timeStep * 60;
  // Sub-steps of dTmin cover the step whole: when dTmin does not divide it,
  // a last, shorter sub-step takes the rest (a dTmin longer than the step
  // gives none).
  const uint64_t whole = static_cast<uint64_t>(seconds / dTmin);
  const double rest = seconds - static_cast<double>(whole) * dTmin;
  const uint64_t nSub = whole + (whole >= 1 && rest > 1e-9 * seconds ? 1 : 0);
  subStepWater.assign(nAbstractions + 1, 0.0);
  totalWater.assign(nAbstractions + 1, 0.0);
  double V = state[0];
  const bool active = month >= 1 && rules.Active(c, year, month, day, hour);
  const int top = rules.nRows;
  double mean = 0;
  for (uint64_t s = 1; s <= nSub; ++s) {
    const double h = s <= whole ? dTmin : rest;
    const double x = inflow * h + V;
    double q;
    if (!rules.inverse && x > rules.indexColumn[top]) {
      // Above the table, whatever the weekday and hour: a reservoir without
      // lake geometry passes its inflow; a lake follows the last segment,
      // and at least its inflow once its level is 0.5 m above the level-table
      // row of the rule's last row (the last table row when there are fewer).
      if (!lake) {
        q = inflow;
      } else {
        q = rules.Mixed(rules.ruleValues, top, c, w) +
            (top > 1 ? rules.Mixed(rules.ruleSlopes, top - 1, c, w) : 0.0) * (x - rules.indexColumn[top]);
        const size_t row = std::min<size_t>(top, tableLevels.size() - 1);
        if (LevelFromVolume(x) > tableLevels[row] + 0.5) q = std::max(q, inflow);
      }
    } else {
      q = active ? rules.Lookup(x, c, w) : 0.0;
    }
    if (rules.targetCap[c] > 0) q = std::min(q, rules.targetCap[c]);
    // A negative rule value releases nothing; the outflow of a sub-step is at
    // most the water there is.
    q = std::max(0.0, q);
    V = x - q * h;
    if (V < 0) {
      q += V / h;
      V = 0;
    }
    mean += q * h / seconds;
    for (int i = 1; i <= nAbstractions; ++i) {
      AL_class* a = abstractions[i];
      if (a->Mode() != AL_class::kInternWithRuleFromReservoir) continue;
      double water = std::max(0.0, a->RuleAmountFromReservoir(history, year, month, day, hour, V) * h);
      V -= water;
      if (V < 0) {
        water += V;
        V = 0;
      }
      subStepWater[i] = water;
      totalWater[i] = water + std::max(0.0, totalWater[i]);
    }
  }
  for (int i = 1; i <= nAbstractions; ++i)
    if (abstractions[i]->Mode() == AL_class::kInternWithRuleFromReservoir)
      abstractions[i]->values[0] = totalWater[i] / seconds;
  return mean;
}

void SP_class::InitialRuleOutflow(int64_t year, int64_t month, int64_t day, int64_t hour, double timeStep) {
  ruleStart[0] = year;
  ruleStart[1] = month;
  ruleStart[2] = day;
  ruleStart[3] = hour;
  Qout = RuleOutflow(nullptr, nullptr, 0, year, month, day, hour, 0.0, timeStep);
  if (Qout * timeStep * 60 > state[0]) Qout = state[0] / 60 / timeStep;
}

void SP_class::Step(double dt, double irrigation, double abstraction, const std::vector<std::vector<double>>* history,
                    const double* inflowConcentrations, const double* inflow, AL_class* const* abstractions,
                    int nAbstractions, int64_t year, int64_t month, int64_t day, int64_t hour) {
  const double T = dt * 60;
  previous = state;
  A = 0;
  for (Term* t : {&Abstr, &Irrig, &PREC, &QinTerm, &QoutTerm, &QGW, &ETR, &dV, &Err}) *t = Term();
  // The initial routing leaves the lake as it is: its water meets the
  // step's rain and evaporation in the first step.
  if (lake && year >= 1) LakeTerms();
  double& V = state[0];
  QinTerm.m3 = *inflow * T;
  // Irrigation and abstractions never take more than the stored volume.
  const double irr = std::clamp(irrigation, 0.0, std::max(0.0, V));
  // (A negative abstraction, a from_file series giving water back, adds to it.)
  const double abs = abstraction < 0 ? abstraction : std::clamp(abstraction, 0.0, std::max(0.0, V - irr));
  // The irrigation and the abstractions were given the reservoir's water at
  // the concentrations it held after its last step; a lake's cells have
  // changed them since (rain, infiltration), so its tracers leave at those
  // given concentrations and the rest of the lake keeps the remainder.
  if (lake)
    for (int i = 1; i <= nTracers; ++i) {
      const double mass = state[i] * V - (irr + abs) * previous[i];
      const double left = V - irr - abs;
      state[i] = left > 0 ? mass / left : 0.0;
    }
  V -= irr + abs;
  Irrig.m3 = irr;
  double taken = abs;
  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;

  double Vin = 0;
  if (year >= 1) {
    Vin = *inflow * T;
    for (int i = 1; i <= nTracers; ++i) {
      if (tracers[i].radioactive == 1) state[i] *= tracers[i].decay;
      state[i] = WeightedByAbs(state[i], inflowConcentrations[i], V, Vin);
    }
  }
  if (year < 1) {
    // The initial routing fills the channels below with the release of the
    // rule at the start of the run.
    Qout = RuleOutflow(history, abstractions, nAbstractions, ruleStart[0], ruleStart[1], ruleStart[2], ruleStart[3],
                       *inflow, dt);
    date[0] = year;
    date[1] = month;
    date[2] = day;
    date[3] = hour;
  } else {
    Qout = RuleOutflow(history, abstractions, nAbstractions, year, month, day, hour, *inflow, dt);
  }

  if (year < 1) {
    // The initialisation does not lower the volume by the outflow.
    V += Vin;
    if (V < dt * Qout * 60) Qout = V / 60 / dt;
  } else {
    // The rule-driven abstractions of mode 8 draw their step's water; what
    // the reservoir cannot give (volume and inflow) is cut from them alike.
    double wanted = 0;
    for (int i = 1; i <= nAbstractions; ++i)
      if (abstractions[i]->Mode() == AL_class::kInternWithRuleFromReservoir)
        wanted += std::max(0.0, abstractions[i]->values[0]) * T;
    const double there = std::max(0.0, V + Vin);
    const double scale = wanted > there ? there / wanted : 1.0;
    double drawn = 0;
    for (int i = 1; i <= nAbstractions; ++i) {
      AL_class* a = abstractions[i];
      if (a->Mode() != AL_class::kInternWithRuleFromReservoir) continue;
      a->values[0] = std::max(0.0, a->values[0]) * scale;
      drawn += a->values[0] * T;
    }
    V -= drawn;
    taken += drawn;
    V += Vin;
    if (V < 0) V = 0;
    if (V < Qout * T) {
      Qout = V / T;
      V = 0;
    } else {
      V -= Qout * T;
    }
    SetLakeLevel(V);
  }

  QoutTerm.m3 = Qout * T;
  Abstr.m3 = taken;
  // The change of storage: inflow, precipitation and groundwater less
  // evaporation, withdrawals and outflow (the lake terms are 0 without lake).
  dV.m3 = QinTerm.m3 + QGW.m3 + PREC.m3 - ETR.m3 - Irrig.m3 - Abstr.m3 - QoutTerm.m3;
  Err.m3 = (V - previous[0]) - dV.m3;
  for (Term* t : {&Abstr, &Irrig, &PREC, &QinTerm, &QoutTerm, &QGW, &ETR, &dV, &Err}) {
    t->m3s = t->m3 / T;
    t->mm = A > 0 ? t->m3 / A * 1000 : 0.0;
  }
}

void SP_class::LakeTerms() {
  double ponded = 0;  // the area of the cells that hold water [m2]
  for (int r = firstRow; r <= lastRow; ++r) {
    for (int c = firstCol; c <= lastCol; ++c) {
      if (!IsLakeCell(r, c) || !(grids.ponding[r][c] > 0)) continue;
      const double area = CellArea(r, c);
      ponded += area;
      // The lake's evaporation: the cell's real evapotranspiration less what
      // its interception storage and snow cover gave (their water reached
      // the lake less that, as its water input is what passed them).
      if (grids.etr0 && grids.etr0[r][c] > -9999.0) {
        double e = grids.etr0[r][c];
        for (double** g : {grids.interceptionEvap, grids.snowEvap})
          if (g && g[r][c] > -9999.0) e -= g[r][c];
        ETR.m3 += e * area / 1000;
      }
      // A missing water input brings no water.
      if (grids.precOnLakes && grids.precOnLakes[r][c] > -9999.0) PREC.m3 += grids.precOnLakes[r][c] * area / 1000;
      // The lake's exchange with the ground below it is the soil's, an
      // amount of the step [mm]; an exchange of 0 (a saturated soil that
      // passes nothing on) is one, not a sign that the soil wrote none.
      if (grids.qdown && grids.qdown[r][c] > -9999.0) QGW.m3 += grids.qdown[r][c] * area / 1000;
    }
  }
  collected.assign(nTracers + 1, 0.0);
  CollectLakeWater(collected);
  SetLakeLevel(collected[0]);
  A = ponded;
  // The lake's water and its concentrations are those of its cells now.
  state = collected;
}

void SP_class::AppendOutputRow(int64_t year, int64_t month, int64_t day, int64_t hour) {
  if (rowsUsed >= capacity) {
    Flush(1);
    rowsUsed = 0;
  }
  ++rowsUsed;
  double* row = &rows[rowsUsed * (nTracers + 35)];
  row[0] = static_cast<double>(year);
  row[1] = static_cast<double>(month);
  row[2] = static_cast<double>(day);
  row[3] = static_cast<double>(hour);
  row[4] = LevelFromVolume(state[0]);
  row[5] = A;
  row[6] = state[0];
  int k = 7;
  for (const Term* t : {&QinTerm, &QoutTerm, &Irrig, &QGW, &ETR, &PREC, &dV, &Abstr, &Err}) {
    row[k++] = t->m3;
    row[k++] = t->mm;
    row[k++] = t->m3s;
  }
  for (int i = 1; i <= nTracers; ++i) row[k++] = state[i];
  rowWidth = kRowValues + nTracers;
}

void SP_class::Flush(int force) {
  if (force > 0 && rowsUsed > 0) WriteBuffer();
}

void SP_class::WriteBuffer() {
  elementfile::AppendRows(diag, outputFile, rows, nTracers + 35, rowsUsed, rowWidth, kBufferBytes,
                          "reservoir file " + outputFile);
  rowsUsed = rowWidth = 0;
}

void SP_class::FreeMemory() {
  std::vector<double>().swap(rows);
  std::vector<double>().swap(state);
  std::vector<double>().swap(previous);
  rules = RuleSet();
  capacity = rowsUsed = rowWidth = 0;
}
