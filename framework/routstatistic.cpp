#include "framework/routstatistic.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "framework/diagstream.h"
#include "framework/signals.h"

routstatistic::routstatistic(int& error, DiagStream* diagnostics, StatRecord* registry, int capacity, Grid areaGrid,
                             int nrows, int ncols, ZoneRecord* zoneRecords, const double* columnValues, int zoneCount,
                             int statCode, int prec, const std::string& fileName, const std::string& outputDirectory,
                             int listCount, const int* listCodes)
    : zonalstatistic(error, diagnostics, registry, capacity, areaGrid, nrows, ncols, zoneRecords, zoneCount, statCode,
                     prec, fileName, outputDirectory, listCount, listCodes) {
  if (error != 0 || !active) return;
  // A subbasin file has no total column.
  --slots;
  try {
    const int width = ZoneColumns() + 2;
    observed.assign(width, 0.0);
    observedaccumulator.assign(width, 0.0);
    observedareas.assign(width, 0.0);
    observedcodes.assign(width, 0);
    observeddescription = "observed Runoff";
    columnvalues.assign(zones + 1, 0.0);
    if (columnValues)
      for (int k = 1; k <= zones; ++k) columnvalues[k] = columnValues[k];
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: no free memory in zonalstatistik::zonalstatistik " << filename.c_str() << "[end-entry]";
    error = 1;
    active = false;
    ok = false;
  }
}

int routstatistic::WriteHeader(const std::string& modelName, const std::string& statisticName, StatRecord* registry,
                               int capacityOfRegistry) {
  if (!active) return 0;
  IgnoreCtrlC();
  Open("wt");
  const int c = ZoneColumns();
  for (int i = 1; i <= c; ++i) {
    const int k = ColumnZone(i);
    current[i] = observed[i] = 0;
    accumulator[i] = observedaccumulator[i] = 0;
    codes[i] = observedcodes[i] = std::llround(records[k].zonenwert);
    relareas[i] = observedareas[i] = columnvalues[k];
  }
  description = (modelName + "_submodel:" + statisticName).substr(0, 1199);
  int observedRecord = 0;
  const int record = Register(registry, capacityOfRegistry, lastdate, slots, current.data(), accumulator.data(),
                              relareas.data(), description.c_str(), codes.data());
  if (record >= 0 && record + 1 < capacityOfRegistry && registry[record + 1].IsFree() && !observed.empty()) {
    StatRecord& r = registry[record + 1];
    r.year = observeddate;
    r.month = observeddate + 1;
    r.day = observeddate + 2;
    r.hour = observeddate + 3;
    r.slots = slots;
    r.values = observed.data();
    r.accumulator = observedaccumulator.data();
    r.relativeAreas = observedareas.data();
    r.description = observeddescription.c_str();
    r.codes = observedcodes.data();
    entered.push_back(&r);
    observedRecord = record + 1;
  }
  Print("YY\tMM\tDD\tHH");
  for (int i = 1; i <= c; ++i) Print("\t\"%.0lf\"", static_cast<double>(codes[i]));
  Print("\n%s\n", description.c_str());
  Print("--\t--\t--\t--");
  for (int i = 1; i <= c; ++i) Print("\t%.7lf", relareas[i]);
  Print("\n");
  Close();
  ResetCtrlCHandler();
  return observedRecord;
}

void routstatistic::AddStepValues(int64_t year, int64_t month, int64_t day, int64_t hour) {
  if (!active) return;
  ReportInvalid(year, month, day, hour);
  const bool meanOverPeriod = type == 1 || type == 2 || type == 5;
  if (period >= 2) {
    for (int k = 1; k <= zones; ++k) {
      if (meanOverPeriod) {
        records[k].n += carryn[k];
        records[k].RelCellSum += carryrel[k];
      }
      records[k].sx += carrysx[k];
    }
  }
  stepdate[0] = year;
  stepdate[1] = month;
  stepdate[2] = day;
  stepdate[3] = hour;
  if (stepcounter != period) {
    if (period >= 2) {
      for (int k = 0; k <= zones; ++k) {
        carryn[k] = records[k].n;
        carrysx[k] = records[k].sx;
        carryrel[k] = records[k].RelCellSum;
      }
    }
    return;
  }
  BufferSubbasinLine(stepdate, 0);
}

void routstatistic::BufferSubbasinLine(const int64_t* date, int partialSteps) {
  BeginLine(date, partialSteps);
  for (int i = 0; i < 4; ++i) observeddate[i] = date[i];
  for (int k = 1; k <= zones; ++k) {
    const ZoneRecord& r = records[k];
    // The weighted mean of the values added for the subbasin; a subbasin
    // without any valid value has no value: 0 would read as a discharge.
    const double value = (r.n > 0 && r.RelCellSum != 0) ? (r.n / r.RelCellSum) * (r.sx / r.n) : kNodata;
    if (type == 2 || type == 4) {
      AppendValue(value);
    } else if ((type == 5 || type == 6) && column < listcount &&
               static_cast<int64_t>(r.zonenwert) == listcodes[column + 1]) {
      AppendValue(value);
    }
  }
  EndLine();
}

void routstatistic::BufferUnfinishedPeriod() {
  if (RestoreUnfinishedPeriod()) BufferSubbasinLine(stepdate, stepcounter);
}

double routstatistic::Determination(const EfficiencyRecord& r) {
  const double v = ObservedVariance(r);
  if (!(v > 0)) return kNodata;
  const double e = r.sumd2 / (r.n - 1);
  return e == 0 ? 1.0 : 1.0 - e / v;
}

double routstatistic::ExplainedVariation(const EfficiencyRecord& r) {
  const double v = ObservedVariance(r);
  if (!(v > 0)) return kNodata;
  const double e = (r.sumd2 - r.sumd * r.sumd / r.n) / (r.n - 1);
  return e == 0 ? 1.0 : 1.0 - e / v;
}

double routstatistic::ObservedVariance(const EfficiencyRecord& r) {
  // Fewer than three observations or pairs, or observations that do not
  // vary, measure no fit: the criterion is missing (0 here), never a
  // perfect 1.
  if (!(r.m > 2 && r.n > 2)) return 0.0;
  const double v = (r.sumo2 - r.sumo * r.sumo / r.m) / (r.m - 1);
  // A variance within the rounding of the sums of squares is none.
  return v > 1e-12 * r.sumo2 / r.m ? v : 0.0;
}

void routstatistic::WriteBlock(const EfficiencyRecord* const* tables, const char* label, const char* unshiftedLabel,
                               bool explained, bool storeUnshifted) {
  const EfficiencyRecord empty{0, 0, 0, 0, 0, 0};
  const int c = ZoneColumns();
  for (int j = 0; j < kEfficiencyShifts; ++j) {
    const int shift = j - kEfficiencyShifts / 2;
    Print("%s\t%d", shift == 0 ? unshiftedLabel : label, shift);
    for (int i = 1; i <= c; ++i) {
      const int k = ColumnZone(i);
      // A missing table counts as a subbasin without observations.
      const EfficiencyRecord& r = (tables && tables[j]) ? tables[j][k] : empty;
      const double value = explained ? ExplainedVariation(r) : Determination(r);
      Print("\t%.*lf", precision - 1, value);
      if (storeUnshifted && shift == 0) {
        records[k].n = 1.0;
        records[k].sx = value;
      }
    }
    Print("\n");
  }
}

void routstatistic::WriteEfficiency(const EfficiencyRecord* const* linear, const EfficiencyRecord* const* logarithmic) {
  if (!active) return;
  BufferUnfinishedPeriod();
  zonalstatistic::Flush();
  IgnoreCtrlC();
  Open("a+");
  const char* separator = "----------------------\n";
  Print("%s", separator);
  WriteBlock(linear, "lin. R-square", "LIN. R-SQUARE", false, false);
  Print("%s", separator);
  WriteBlock(logarithmic, "log. R-square", "LOG. R-SQUARE", false, false);
  Print("%s", separator);
  WriteBlock(linear, "coeff.var.lin", "COEFF.VAR.LIN", true, true);
  Print("%s", separator);
  WriteBlock(logarithmic, "coeff.var.log", "COEFF.VAR.LOG", true, false);
  Print("%s", separator);
  Close();
  ResetCtrlCHandler();
}

void routstatistic::Finish() {
  BufferUnfinishedPeriod();
  std::vector<double>().swap(observed);
  std::vector<double>().swap(observedaccumulator);
  std::vector<double>().swap(observedareas);
  std::vector<int64_t>().swap(observedcodes);
  observeddescription.clear();
  zonalstatistic::Finish();
}
