#include "routing/al_class.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "routing/elementfile.h"
#include "routing/elementtext.h"

AL_class::~AL_class() {
  if (inputSeries) inputSeries->Clear();
}

void AL_class::Fail(const std::string& message, int code) {
  elementfile::Fail(diag, message, code);
}

void AL_class::SetParameters(DiagStream* diagnostics, TracerRecord* tracerRecords, int tracers, int subbasin,
                             const std::string& directory, double numerator, double divisor, double step) {
  diag = diagnostics;
  this->tracers = tracerRecords;
  nTracers = tracers;
  subbasinIndex = subbasin;
  outputDirectory = directory;
  areaNumerator = numerator;
  areaDivisor = divisor;
  timeStep = step;
  values.assign(nTracers + 1, 0.0);
}

void AL_class::MakeOutputPath(const std::string& directory, std::string& name) {
  name = elementfile::CheckedPath(diag, directory, name, "abstraction " + std::to_string(number));
}

void AL_class::ReadDescription(int abstractionNumber, const std::string& text, size_t pos, int64_t startYear,
                               int64_t startMonth, int64_t startDay, int64_t startHour, const std::string& location,
                               const int64_t* endDate) {
  using namespace elementtext;
  number = abstractionNumber;
  outputFile.clear();
  inputFile.clear();
  const std::string where = " (abstraction " + std::to_string(number) +
                            (location.empty() ? std::string() : ", " + location) + ": \"AL " + std::to_string(number) +
                            text + "\")";
  const std::string word = WordAfterEqual(text, pos);
  if (word == "intern")
    mode = kIntern;
  else if (word == "extern")
    mode = kExtern;
  else if (word == "from_file")
    mode = kFromFile;
  else if (word == "intern_with_rule")
    mode = kInternWithRule;
  else if (word == "extern_with_rule")
    mode = kExternWithRule;
  else if (word == "intern_with_rule_from_reservoir")
    mode = kInternWithRuleFromReservoir;
  else
    Fail("FATAL: the modus \"" + word + "\" is not supported for abstraction " + std::to_string(number), 44);

  auto number17 = [&](const char* what) {
    double v = 0;
    if (!elementtext::Number(text, pos, v)) Fail(std::string("FATAL: the ") + what + " cannot be read" + where, 17);
    return v;
  };
  // A flow, share or capacity out of its range takes water that is not
  // there, or gives it: each is checked as written.
  auto checked = [&](double v, const char* what, double upper) {
    if (v >= 0 && v <= upper) return v;
    char value[40];
    std::snprintf(value, sizeof value, "%.9lg", v);
    Fail(std::string("FATAL: the ") + what + " " + value + " of abstraction " + std::to_string(number) +
             (upper < 2 ? " has to lie within 0 ... 1" : " has to be 0 or more") + where,
         17);
  };
  if (mode == kExtern || mode == kExternWithRule) {
    outputFile = Word(text, pos);
    if (outputFile.empty()) Fail("FATAL: the name of the abstraction table is missing" + where, 17);
  } else if (mode == kFromFile) {
    const size_t at = text.find("input_file", pos);
    if (at == std::string::npos) Fail("FATAL: no \"input_file =\" for the mode from_file" + where, 17);
    pos = at + 10;
    inputFile = WordAfterEqual(text, pos);
    const double column = pos < text.size() && text.find('=', pos) != std::string::npos ? number17("column") : -1;
    outputFile = WordAfterEqual(text, pos);
    if (inputFile.empty() || outputFile.empty() || column < 0 || column != static_cast<int>(column))
      Fail(
          "FATAL: the mode from_file needs \"input_file = <file>\", a column (from 0) and an output file, each after "
          "\"=\"" +
              where,
          17);
    inputColumn = static_cast<int>(column);
  }
  if (mode == kIntern || mode == kExtern) {
    minFlow = checked(number17("minimum flow"), "minimum flow", HUGE_VAL);
    share = checked(number17("share"), "share", 1.0);
    maxAbstraction = checked(number17("largest abstraction"), "largest abstraction (maximum)", HUGE_VAL);
    const std::string unit = Word(text, pos);
    if (unit.find("m^3/s") != std::string::npos || unit.find("m3/s") != std::string::npos ||
        unit.find("m3s") != std::string::npos) {
      // A subbasin area of 0 is the zone grid's, known once the descriptions
      // are read (CorrectArea converts them then).
      inM3sUntilArea = !(Area() > 0);
      if (!inM3sUntilArea) {
        minFlow = M3sToMm(minFlow, Area(), timeStep);
        maxAbstraction = M3sToMm(maxAbstraction, Area(), timeStep);
      }
    }
  } else {
    minFlow = share = maxAbstraction = 0;
  }

  if (mode == kFromFile) {
    inputSeries = std::make_unique<timeseriesfile>();
    timeseriesfile& f = *inputSeries;
    try {
      f.Open(inputFile, 0, 1000000);
    } catch (int) {
    }
    if (f.GetState() == timeseriesfile::kCannotOpen || f.GetState() == timeseriesfile::kFormatError)
      Fail("FATAL: error opening " + inputFile + " for abstraction " + std::to_string(number) +
               (f.ErrorText().empty() ? std::string() : " (" + f.ErrorText() + ")"),
           37);
    if (inputColumn >= f.GetColumns())
      Fail("FATAL: the column " + std::to_string(inputColumn) + " (counted from 0) of abstraction " +
               std::to_string(number) + " is not in " + inputFile + ", which holds " + std::to_string(f.GetColumns()) +
               " value column(s)",
           38);
    for (int64_t& d : fileDate) d = 0;
    f.Seek(-1);
    while (!(fileDate[0] == startYear && fileDate[1] == startMonth && fileDate[2] == startDay &&
             fileDate[3] == startHour)) {
      f.Next();
      if (f.GetState() == timeseriesfile::kPastEnd || f.GetState() == timeseriesfile::kFormatError)
        Fail("FATAL: starting date " + std::to_string(startDay) + "." + std::to_string(startMonth) + "." +
                 std::to_string(startYear) + ", " + std::to_string(startHour) + ". h in " + inputFile + " not found.",
             38);
      int y, m, d, h;
      f.GetDate(y, m, d, h);
      fileDate[0] = y < 1000 ? y + 1900 : y;
      fileDate[1] = m;
      fileDate[2] = d;
      fileDate[3] = h;
    }
    // A series that ends before the run, or skips a step, ends the run now
    // rather than when the step without a record comes.
    if (endDate && endDate[1] > 0) {
      const int64_t start[4] = {startYear, startMonth, startDay, startHour};
      elementfile::CheckSeriesCoversRun(diag, inputFile, "abstraction " + std::to_string(number), timeStep, start,
                                        endDate);
    }
  }

  if (WritesFile()) {
    MakeOutputPath(outputDirectory, outputFile);
    std::string header = "YY\tMM\tDD\tHH\tm^3/s";
    for (int t = 1; t <= nTracers; ++t) header += "\t" + tracers[t].name;
    elementfile::CreateWithHeader(diag, outputFile, header, "abstraction_" + std::to_string(number),
                                  "abstraction " + std::to_string(number));
  }

  bufferCapacity = std::max<uint64_t>(1, kBufferBytes / ((nTracers + 1) * 8 + 32));
  rows.assign((bufferCapacity + 1) * (nTracers + 5), 0.0);
  rowsUsed = rowWidth = 0;
}

void AL_class::FindRuleSection(ControlFile& file, const std::string& sectionName) {
  ::FindRuleSection(file, diag, sectionName);
}

void AL_class::ReadRules(ControlFile& file) {
  if (mode != kInternWithRule && mode != kExternWithRule && mode != kInternWithRuleFromReservoir) return;
  const std::string section = "[abstraction_rule_abstraction_" + std::to_string(number) + "]";
  FindRuleSection(file, section);
  // Only an abstraction from a reservoir follows the weekdays and hours.
  rules.timed = mode == kInternWithRuleFromReservoir;
  rules.Read(file, diag, section);
  for (int c = 1; c <= rules.nColumns; ++c)
    if (rules.targetCap[c] <= 0 && rules.targetCap[c] != -1.0 && !rules.targetCapWhere.empty())
      *diag << "WARNING: for abstraction " << number << ": TargetCap = " << rules.targetCap[c] << " of column " << c
            << " in section " << section << rules.targetCapWhere
            << " is not above 0: the abstraction of that column has no cap"
            << "[end-entry]";
}

void AL_class::SetTargetLink(int receiving, int linkFlow, double area) {
  receivingPosition = receiving;
  linkFlowPosition = linkFlow;
  receivingArea = area;
}

void AL_class::CorrectArea(double areaCtrl, double A) {
  areaNumerator = A;
  if (inM3sUntilArea) {
    minFlow = M3sToMm(minFlow, Area(), timeStep);
    maxAbstraction = M3sToMm(maxAbstraction, Area(), timeStep);
    inM3sUntilArea = false;
  } else if (areaCtrl > 0) {
    // Depths over areaCtrl become depths over A; depths given for an area
    // of 0 are those of the zone grid's.
    minFlow *= areaCtrl / A;
    maxAbstraction *= areaCtrl / A;
  }
}

double AL_class::Capped(double a, int c, double linked) const {
  // A column without a TargetCap (-1), or with one not above 0, caps
  // nothing, as for the reservoirs.
  const double cap = rules.targetCap[c];
  if (!(cap > 0)) return a;
  const double f = MmToM3s(linked, receivingArea, timeStep);
  if (a + f > cap) a = std::max(0.0, cap - f);
  return a;
}

double AL_class::Abstract(const double* linkFlows, double& abstracted, const double& available, int64_t year,
                          int64_t month, int64_t day, int64_t hour) {
  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;
  const double Q = available;
  const double R = Q - abstracted;
  double amount = 0;
  switch (mode) {
    case kIntern:
    case kExtern:
      if (R >= minFlow) {
        // The share is of the flow above the minimum before this step's
        // abstractions; the remaining flow never falls below the minimum.
        amount = std::min((Q - minFlow) * share, R - minFlow);
        amount = std::min(std::max(amount, 0.0), maxAbstraction);
      }
      break;
    case kFromFile: {
      // The series gives one record per step from the start date on; a
      // series that ends before the run, or skips a step, ends the run.
      timeseriesfile& f = *inputSeries;
      if (month > 0) {
        if (f.GetState() == timeseriesfile::kPastEnd || f.GetState() == timeseriesfile::kFormatError)
          Fail("FATAL: error reading from " + inputFile + " for abstraction " + std::to_string(number) +
                   "\nreached end of file before " + std::to_string(day) + "." + std::to_string(month) + "." +
                   std::to_string(year) + ", " + std::to_string(hour) + ". h (the series must cover the whole run)",
               39);
        int y, m, d, h;
        f.GetDate(y, m, d, h);
        if (y < 1000) y += 1900;
        if (y != year || m != month || d != day || h != hour)
          Fail("FATAL: error comparing dates in " + inputFile + " for abstraction " + std::to_string(number) +
                   ":\n     read: " + std::to_string(d) + "." + std::to_string(m) + "." + std::to_string(y) + ", " +
                   std::to_string(h) + ". h,\nshould be: " + std::to_string(day) + "." + std::to_string(month) + "." +
                   std::to_string(year) + ", " + std::to_string(hour) + ". h.",
               36);
      }
      // A negative value of the series gives water back to the river; a
      // missing one (not above -9998) takes nothing. Each is said once.
      const double v = f.GetValue(inputColumn);
      const int kind = v > -9998 ? (v < 0 ? 1 : 0) : 2;
      if (kind != 0 && !(noted & kind) && month > 0) {
        noted |= kind;
        *diag << "WARNING: abstraction " << number << ": " << inputFile
              << (kind == 1 ? " holds the negative value " + std::to_string(v) + " [m3/s]"
                            : std::string(" holds no value (nodata)"))
              << " for " << day << "." << month << "." << year << ", " << hour << ". h"
              << (kind == 1 ? ": a negative value of the series gives that water to the river"
                            : ": a step without a value of the series takes nothing")
              << " (said once for the series)"
              << "[end-entry]";
      }
      const double mm = kind == 2 ? 0.0 : M3sToMm(v, Area(), timeStep);
      amount = std::min(R, mm);
      if (month > 0) f.Next();
      abstracted += amount;
      return amount;
    }
    case kInternWithRule:
    case kExternWithRule:
      amount = std::min(R, RuleAmount(linkFlows, year, month, day, hour, MmToM3s(Q, Area(), timeStep)));
      break;
    default:
      break;
  }
  // Only a series of its own (from_file) gives water to the river.
  amount = std::max(0.0, amount);
  abstracted += amount;
  return amount;
}

double AL_class::RuleAmount(const double* linkFlows, int64_t year, int64_t month, int64_t day, int64_t hour,
                            double flow) {
  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;
  int c = 1;
  double w = 1;
  rules.Column(year, month, day, c, w);
  double a = rules.Lookup(flow, c, w);
  if (receivingPosition > 0 && linkFlowPosition > 0 && linkFlows) a = Capped(a, c, linkFlows[linkFlowPosition]);
  return M3sToMm(a, Area(), timeStep);
}

double AL_class::RuleAmountFromReservoir(const std::vector<std::vector<double>>* history, int64_t year, int64_t month,
                                         int64_t day, int64_t hour, double volume) {
  date[0] = year;
  date[1] = month;
  date[2] = day;
  date[3] = hour;
  int c = 1;
  double w = 1;
  rules.Column(year, month, day, c, w);
  if (month < 1 || !rules.Active(c, year, month, day, hour)) return 0.0;
  double a = rules.Lookup(volume, c, w);
  if (receivingPosition > 0 && linkFlowPosition > 0 && history &&
      linkFlowPosition < static_cast<int>(history->size()) && (*history)[linkFlowPosition].size() > 1)
    a = Capped(a, c, (*history)[linkFlowPosition][1]);
  return a;
}

void AL_class::AddRow(int64_t year, int64_t month, int64_t day, int64_t hour, const double* rowValues) {
  if (!WritesFile()) return;
  if (rowsUsed >= bufferCapacity) {
    Flush(1);
    rowsUsed = 0;
  }
  ++rowsUsed;
  double* row = &rows[rowsUsed * (nTracers + 5)];
  row[0] = static_cast<double>(year);
  row[1] = static_cast<double>(month);
  row[2] = static_cast<double>(day);
  row[3] = static_cast<double>(hour);
  for (int t = 0; t <= nTracers; ++t) row[4 + t] = rowValues[t];
  rowWidth = nTracers + 1;
}

void AL_class::Flush(int force) {
  if (WritesFile() && force >= 1 && rowsUsed != 0) FlushToDisk();
}

void AL_class::FlushToDisk() {
  elementfile::AppendRows(diag, outputFile, rows, nTracers + 5, rowsUsed, rowWidth, kBufferBytes,
                          outputFile + " for abstraction " + std::to_string(number));
  rowsUsed = rowWidth = 0;
}
