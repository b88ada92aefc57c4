#include "routing/rules.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "framework/types.h"

namespace {
constexpr int kMaxRows = 100000;
constexpr int kMaxColumns = 366;

[[noreturn]] void Fail(DiagStream* diag, const std::string& message) {
  *diag << message << "[end-entry]";
  throw 34;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';';
}

// Days since 1 March of year 0 (proleptic Gregorian).
int64_t DayNumber(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe;
}

// Blank-separated words of text from pos on.
std::vector<std::string> Words(const std::string& text, size_t pos) {
  std::vector<std::string> words;
  while (pos < text.size()) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    const size_t b = pos;
    while (pos < text.size() && !IsBlank(text[pos])) ++pos;
    if (pos > b) words.push_back(text.substr(b, pos - b));
  }
  return words;
}

bool ParseDouble(const std::string& word, double& v) {
  const char* s = word.c_str();
  char* e = nullptr;
  errno = 0;
  v = std::strtod(s, &e);
  return e != s && *e == '\0' && errno != ERANGE && std::isfinite(v);
}

bool ParseInteger(const std::string& word, int64_t& v) {
  const char* s = word.c_str();
  char* e = nullptr;
  errno = 0;
  const long long x = std::strtoll(s, &e, 10);
  v = x;
  return e != s && *e == '\0' && errno != ERANGE;
}

std::string Trimmed(std::string line) {
  while (!line.empty() && IsBlank(line.back()) && line.back() != ',') line.pop_back();
  return line;
}
}  // namespace

int RuleWeekday(int64_t year, int64_t month, int64_t day, int64_t hour) {
  // 1 March of year 0 was a Wednesday (3).
  const int64_t hours = (hour - 1) >= 0 ? (hour - 1) / 24 : -((24 - (hour - 1) - 1) / 24);
  const int64_t n = DayNumber(year, month, day) + hours;
  return static_cast<int>(((n % 7 + 7) % 7 + 2) % 7) + 1;
}

void FindRuleSection(ControlFile& file, DiagStream* diag, const std::string& section) {
  if (!file.Rewind()) {
    *diag << "FATAL: section " << section << " not found in control file (the control file " << file.SourceName()
          << " cannot be rewound)"
          << "[end-entry]";
    throw 34;
  }
  std::string line;
  while (file.GetLine(line)) {
    const std::vector<std::string> words = Words(line, 0);
    if (!words.empty() && words[0] == section) return;
  }
  *diag << "FATAL: section " << section << " not found in control file " << file.SourceName() << "[end-entry]";
  throw 34;
}

void RuleSet::Read(ControlFile& file, DiagStream* diag, const std::string& section) {
  const std::string where = " in section " + section + " of the control file " + file.SourceName();
  std::string line;
  auto lineAt = [&]() { return " (" + file.Where() + ", section " + section + ")"; };

  // First line: number of rows, then the days of the columns.
  if (!file.GetLine(line)) Fail(diag, "FATAL: the rule table is missing" + where);
  const std::vector<std::string> head = Words(line, 0);
  int64_t rows = 0;
  if (head.empty() || !ParseInteger(head[0], rows) || rows < 1 || rows > kMaxRows)
    Fail(diag, "FATAL: the first line of a rule table must begin with the number of rows (1 to " +
                   std::to_string(kMaxRows) + "): \"" + Trimmed(line) + "\"" + lineAt());
  nRows = static_cast<int>(rows);
  std::vector<int> days;
  for (size_t k = 1; k < head.size(); ++k) {
    int64_t d = 0;
    if (!ParseInteger(head[k], d)) break;  // a comment ends the days
    days.push_back(static_cast<int>(d));
  }
  if (days.size() <= 1) days.assign(1, 1);
  if (static_cast<int>(days.size()) > kMaxColumns)
    Fail(diag, "FATAL: a rule table holds at most " + std::to_string(kMaxColumns) + " columns" + lineAt());
  nColumns = static_cast<int>(days.size());
  for (int c = 0; c < nColumns; ++c)
    if (days[c] < 1 || days[c] > 366)
      Fail(diag, "FATAL: the day " + std::to_string(days[c]) + " of rule column " + std::to_string(c + 1) +
                     " is no day of the year (1 ... 366)" + lineAt());
  for (int c = 1; c < nColumns; ++c)
    if (days[c] <= days[c - 1])
      Fail(diag, "FATAL: the days of the rule columns must increase: day " + std::to_string(days[c]) + " follows day " +
                     std::to_string(days[c - 1]) + lineAt());

  columnDays.assign(nColumns + 1, 0);
  for (int c = 1; c <= nColumns; ++c) columnDays[c] = days[c - 1];
  indexColumn.assign(nRows + 1, 0.0);
  ruleValues.assign(nColumns + 1, std::vector<double>(nRows + 1, 0.0));
  ruleSlopes = ruleValues;
  targetCap.assign(nColumns + 1, -1.0);
  weekDays.assign(nColumns + 1, -1);
  startHour.assign(nColumns + 1, -1);
  stopHour.assign(nColumns + 1, -1);

  for (int r = 1; r <= nRows; ++r) {
    if (!file.GetLine(line) || line.find('[') != std::string::npos)
      Fail(diag, "FATAL: the rule table ends after " + std::to_string(r - 1) + " of its " + std::to_string(nRows) +
                     " rows" + lineAt());
    const std::vector<std::string> words = Words(line, 0);
    double v = 0;
    if (static_cast<int>(words.size()) < nColumns + 1)
      Fail(diag, "FATAL: row " + std::to_string(r) + " of the rule table holds " + std::to_string(words.size()) +
                     " numbers, " + std::to_string(nColumns + 1) + " expected (index value and one per column): \"" +
                     Trimmed(line) + "\"" + lineAt());
    for (int c = 0; c <= nColumns; ++c) {
      if (!ParseDouble(words[c], v))
        Fail(diag,
             "FATAL: \"" + words[c] + "\" in row " + std::to_string(r) + " of the rule table is no number" + lineAt());
      (c == 0 ? indexColumn[r] : ruleValues[c][r]) = v;
    }
    // Volumes, flows and releases are never negative, and the rows follow
    // the volume (or flow) of their first value upwards: the look-up
    // searches the rows in that order.
    for (int c = 0; c <= nColumns; ++c) {
      const double x = c == 0 ? indexColumn[r] : ruleValues[c][r];
      if (x < 0)
        Fail(diag, "FATAL: \"" + words[c] + "\" in row " + std::to_string(r) +
                       (c == 0 ? " (its first value, the volume or flow of the row)"
                               : ", column " + std::to_string(c) + ",") +
                       " of the rule table is negative: volumes, flows and releases are 0 or more" + lineAt());
    }
    // Two rows of one volume (or flow) are a step of the rule.
    if (r > 1 && indexColumn[r] < indexColumn[r - 1])
      Fail(diag, "FATAL: the first value \"" + words[0] + "\" of row " + std::to_string(r) +
                     " of the rule table is below that of the row before it: the rows have to follow "
                     "increasing volumes (or flows)" +
                     lineAt());
  }

  // Key lines: the first key found in a line decides.
  const char* keys[] = {"TargetCap", "WeekDays", "start_hour", "stop_hour", "TableIndex"};
  while (file.GetLine(line)) {
    if (line.empty() || line.back() != '\n') break;  // the last line without a line end is not used
    if (line == "\n" || line == "\r\n" || line.find('[') != std::string::npos) break;
    int key = -1;
    size_t at = std::string::npos;
    for (int k = 0; k < 5 && key < 0; ++k)
      if ((at = line.find(keys[k])) != std::string::npos) key = k;
    if (key < 0) {
      // A row of numbers after the declared rows is a row the count leaves out.
      const std::vector<std::string> words = Words(line, 0);
      double v = 0;
      if (!words.empty() && ParseDouble(words[0], v))
        Fail(diag, "FATAL: the rule table holds more rows than the " + std::to_string(nRows) +
                       " its first line declares: \"" + Trimmed(line) + "\"" + lineAt() +
                       "; the first number of the table's first line is its number of rows");
      continue;
    }
    const size_t eq = line.find('=', at);
    if (eq == std::string::npos)
      Fail(diag, std::string("FATAL: no \"=\" after \"") + keys[key] + "\": \"" + Trimmed(line) + "\"" + lineAt());
    const std::vector<std::string> words = Words(line, eq + 1);
    if (key == 4) {
      inverse = !words.empty() && line.find("Flow", eq + 1) != std::string::npos;
      continue;
    }
    if (static_cast<int>(words.size()) < nColumns)
      Fail(diag, std::string("FATAL: \"") + keys[key] + "\" holds " + std::to_string(words.size()) + " values, " +
                     std::to_string(nColumns) + " expected (one per column): \"" + Trimmed(line) + "\"" + lineAt());
    for (int c = 1; c <= nColumns; ++c) {
      const std::string& w = words[c - 1];
      double d = 0;
      int64_t i = 0;
      // WeekDays = -1 is every day, as when the line is not given.
      const bool ok = key == 0 ? ParseDouble(w, d) : ParseInteger(w, i) && (i >= 0 || (key == 1 && i == -1));
      if (!ok)
        Fail(diag, "FATAL: \"" + w + "\" is no valid value of \"" + keys[key] + "\" for column " + std::to_string(c) +
                       lineAt());
      if (key == 0) {
        targetCap[c] = d;
        targetCapWhere = lineAt();
      } else if (key == 1) {
        // Weekdays are the digits 1 (Monday) to 7 (Sunday).
        if (i != -1 && (w.find_first_not_of("1234567") != std::string::npos || w.size() > 7))
          Fail(diag, "FATAL: \"" + w + "\" of \"WeekDays\" for column " + std::to_string(c) +
                         " holds a digit that is no weekday (1 Monday ... 7 Sunday)" + lineAt());
        weekDays[c] = i;
      } else {
        if (i > 24)
          Fail(diag, std::string("FATAL: hour ") + w + " of \"" + keys[key] + "\" for column " + std::to_string(c) +
                         " is beyond 24" + lineAt());
        (key == 2 ? startHour : stopHour)[c] = static_cast<int>(i);
      }
    }
  }
  // Hours act only on the days of a "WeekDays" line; without one the rule
  // acts at every hour of every day.
  for (int c = 1; c <= nColumns; ++c)
    if (weekDays[c] == -1 && (startHour[c] >= 0 || stopHour[c] >= 0) && diag)
      *diag << "WARNING: rule column " << c << where << " gives \"start_hour\" or \"stop_hour\" (" << startHour[c]
            << ", " << stopHour[c]
            << ") but no \"WeekDays\" (or -1): the rule acts every day at every hour, the hours are not used"
            << "[end-entry]";
  // A column with weekdays applies from start_hour to stop_hour of them:
  // without both (or with a stop before the start) it never applies.
  for (int c = 1; c <= nColumns; ++c)
    if (timed && weekDays[c] != -1 && (startHour[c] < 0 || stopHour[c] < 0 || startHour[c] > stopHour[c]) && diag)
      *diag << "WARNING: rule column " << c << where << " gives \"WeekDays\" (" << weekDays[c]
            << ") with \"start_hour\" " << startHour[c] << " and \"stop_hour\" " << stopHour[c]
            << " (-1: not given): the column applies at no hour, its release (or abstraction) is 0 on every day "
               "(start_hour = 1 and stop_hour = 24 apply at every hour of its weekdays)"
            << "[end-entry]";
  // Read the other way round, each column's values are the volumes (or
  // flows) that the look-up searches in row order.
  if (inverse) {
    for (int c = 1; c <= nColumns; ++c)
      for (int r = 2; r <= nRows; ++r)
        if (ruleValues[c][r] < ruleValues[c][r - 1])
          Fail(diag, "FATAL: column " + std::to_string(c) + " of the rule table" + where +
                         " read with \"TableIndex = " + "Flow\" falls from row " + std::to_string(r - 1) + " to row " +
                         std::to_string(r) +
                         ": its values are the volumes (or flows) of the rows and must not decrease");
  }
  ComputeSlopes();
}

void RuleSet::ComputeSlopes() {
  for (int c = 1; c <= nColumns; ++c) {
    for (int r = 1; r < nRows; ++r) {
      const double di = indexColumn[r + 1] - indexColumn[r];
      const double dv = ruleValues[c][r + 1] - ruleValues[c][r];
      if (!inverse)
        ruleSlopes[c][r] = di == 0 ? 0.0 : dv / di;
      else
        ruleSlopes[c][r] = dv == 0 ? 0.0 : di / dv;
    }
    ruleSlopes[c][nRows] = 0;
  }
}

void RuleSet::Column(int64_t year, int64_t month, int64_t day, int& c, double& w) const {
  c = 1;
  w = 1.0;
  if (nColumns < 2 || month < 1) return;
  const int doy = DayOfYear(year, month, day);
  const int first = columnDays[1], last = columnDays[nColumns];
  // The column days are a yearly cycle: after the last column's day the
  // rule goes over to the first column of the next year, and before the
  // first column's day it comes from the last column of the year before.
  if (doy > last || doy <= first) {
    const int64_t y = doy > last ? year : year - 1;
    const int length = DayOfYear(y, 12, 31);
    const double span = first + length - last;
    const double since = doy > last ? doy - last : doy + length - last;
    w = span > 0 ? std::clamp(since / span, 0.0, 1.0) : 1.0;
    return;
  }
  for (int k = 2; k <= nColumns; ++k) {
    if (doy <= columnDays[k]) {
      c = k;
      break;
    }
  }
  w = static_cast<double>(doy - columnDays[c - 1]) / (columnDays[c] - columnDays[c - 1]);
}

double RuleSet::Mixed(const std::vector<std::vector<double>>& table, int r, int c, double w) const {
  // Column 1 mixes with the last column across the turn of the year.
  if (w == 1.0 || nColumns < 2) return table[c][r];
  return w * table[c][r] + (1 - w) * table[c >= 2 ? c - 1 : nColumns][r];
}

double RuleSet::Lookup(double x, int c, double w) const {
  if (!inverse) {
    // Above the last row the rule keeps that row's value, mixed over the
    // date like every other row: the result stays continuous in x.
    if (x > indexColumn[nRows]) return Mixed(ruleValues, nRows, c, w);
    for (int r = nRows - 1; r >= 1; --r)
      if (x > indexColumn[r]) return Mixed(ruleValues, r, c, w) + Mixed(ruleSlopes, r, c, w) * (x - indexColumn[r]);
    return 0.0;
  }
  for (int r = nRows - 1; r >= 1; --r) {
    const double M = Mixed(ruleValues, r, c, w);
    if (x > M) return indexColumn[r] + Mixed(ruleSlopes, r, c, w) * (x - M);
  }
  return 0.0;
}

bool RuleSet::Active(int c, int64_t year, int64_t month, int64_t day, int64_t hour) const {
  if (weekDays[c] == -1) return true;
  const char digit = static_cast<char>('0' + RuleWeekday(year, month, day, hour));
  if (std::to_string(weekDays[c]).find(digit) == std::string::npos) return false;
  return startHour[c] <= hour && hour <= stopHour[c];
}
