// Operating rule of a reservoir or of a rule-driven abstraction, read from its
// own control-file section ("[abstraction_rule_reservoir_%d]",
// "[abstraction_rule_abstraction_%d]"). The table has one column per day of
// the year and one row per value of the index quantity (the river flow [m3/s]
// for an abstraction, the stored volume [m3] for a reservoir); a date selects
// two neighbouring columns and the index value a row segment, and the result is
// interpolated linearly in both directions.
//
// Section layout: the first line holds the number of rows followed by the
// column days (strictly increasing days of the year); then one line per row
// (rows of one index value are a step): the index value
// and one value per column; then key lines "TargetCap =", "WeekDays =",
// "start_hour =", "stop_hour =" (one value per column) and "TableIndex =",
// up to the next section, an empty line or the end of the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ControlFile;
class DiagStream;

// Weekday of a date, 1 Monday ... 7 Sunday, taken at hour - 1 so that hour 24
// belongs to its day and hour 0 to the day before (Gregorian calendar).
int RuleWeekday(int64_t year, int64_t month, int64_t day, int64_t hour);

// Rewinds the control file and reads line by line until the first word of a
// line equals the section name; a missing section is fatal (34).
void FindRuleSection(ControlFile& file, DiagStream* diag, const std::string& section);

struct RuleSet {
  int nRows = 0;
  int nColumns = 0;
  std::vector<int64_t> weekDays;  // per column: digits of the weekdays, -1 = every day
  std::vector<int> columnDays;
  std::vector<int> startHour, stopHour;         // -1 when not given
  std::vector<double> indexColumn;              // [r]
  std::vector<std::vector<double>> ruleValues;  // [c][r]
  std::vector<std::vector<double>> ruleSlopes;  // [c][r], segment r ... r + 1
  std::vector<double> targetCap;                // -1 when not given
  std::string targetCapWhere;                   // the line of "TargetCap", empty when not given
  bool inverse = false;                         // the table maps value -> index
  bool timed = true;                            // the owner asks Active (reservoirs, abstractions from a reservoir)

  // Reads the rule set from the line after the section line. Malformed
  // tables end with a FATAL entry naming the section and code 34.
  void Read(ControlFile& file, DiagStream* diag, const std::string& section);
  // Column c of the date and the weight w of column c against the column
  // before it (w is 1 when c is used alone). Day of the year after the
  // Gregorian calendar. The column days are a yearly cycle: before the first
  // column's day and after the last one's, c is 1 and the column before it
  // the last one. A month below 1 (the initialisation) takes column 1 alone.
  void Column(int64_t year, int64_t month, int64_t day, int& c, double& w) const;
  // w * column c + (1 - w) * the column before c (the last one for c = 1).
  double Mixed(const std::vector<std::vector<double>>& table, int r, int c, double w) const;
  // The table's result for the index value x (value -> index when inverse).
  double Lookup(double x, int c, double w) const;
  // Column c applies at the date: every hour without WeekDays, else on its
  // weekdays from start_hour to stop_hour (both included).
  bool Active(int c, int64_t year, int64_t month, int64_t day, int64_t hour) const;

 private:
  void ComputeSlopes();
};
