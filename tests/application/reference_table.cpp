#include "tests/application/reference_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>

#include "tests/support/heldcores.h"

namespace fluvextest::reference {

namespace {

namespace fs = std::filesystem;

// Days since 1 March of year 0 and back (the Gregorian calendar).
long DayNumber(const Date& d) {
  const int y = d.year - (d.month <= 2);
  const long era = y / 400;
  const int yoe = y - static_cast<int>(era * 400);
  const int doy = (153 * (d.month + (d.month > 2 ? -3 : 9)) + 2) / 5 + d.day - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy;
}
Date FromDayNumber(long n) {
  const long era = n / 146097;
  const long doe = n - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {static_cast<int>(yoe + era * 400 + (month <= 2)), month, day};
}

const char* const kVariables[] = {"temperature", "precipitation", "wind", "humidity", "radiation"};
// Sums over a record's hours; the rest are means (as the daily station
// records of the example's tests).
bool Summed(const std::string& variable) {
  return variable == "precipitation" || variable == "radiation";
}
double DefaultValue(const std::string& variable) {
  return variable == "temperature" ? 10 : variable == "wind" ? 2 : variable == "humidity" ? 70 : 0;
}

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}
// A number after a blank.
std::string Word(double v) {
  char text[33];
  std::snprintf(text, sizeof text, " %.10g", v);
  return text;
}

std::string GridText(const SetUp& s, const CellValue& value) {
  std::string text = "ncols " + std::to_string(s.ncols) + "\nnrows " + std::to_string(s.nrows) + "\nxllcorner " +
                     Number(s.xll) + "\nyllcorner " + Number(s.yll) + "\ncellsize " + Number(s.cellsize) +
                     "\nNODATA_value -9999\n";
  for (int r = 1; r <= s.nrows; ++r) {
    for (int c = 1; c <= s.ncols; ++c) text += Word(s.zone(r, c) > -9999 ? value(r, c) : -9999);
    text += "\n";
  }
  return text;
}

// The example's control file text with the set-up's edits and its own.
std::string ControlText(const SetUp& s, std::string& failed) {
  std::string missing;
  std::string text = Edited(ReadFile(std::string(FLUVEX_EXAMPLE_DIR) + "/control.txt"), s.edits, missing);
  Edits own;
  for (const std::string& module : s.off) own.push_back({"[" + module + "]\n1\n", "[" + module + "]\n0\n"});
  if (s.stepMinutes == 1440) own.insert(own.end(), kDaily.begin(), kDaily.end());
  if (s.stepMinutes == 2880) own.insert(own.end(), kTwoDays.begin(), kTwoDays.end());
  if (s.substeps > 0) {
    const Edits steps = SubSteps(s.substeps);
    own.insert(own.end(), steps.begin(), steps.end());
  }
  text = Edited(text, own, missing);
  // The period: the first step ends with the first record after the start.
  const size_t time = text.find("[model_time]\n"), timeEnd = text.find("\n\n", time);
  if (time == std::string::npos || timeEnd == std::string::npos) {
    missing += "[model_time]\n";
  } else {
    const Date first = FromDayNumber(DayNumber(s.start) + std::max(1, s.stepMinutes / 1440) - 1);
    text.replace(time, timeEnd + 1 - time, ModelTime(first, s.end, s.stepMinutes));
  }
  // The routing descriptions.
  const std::string from = "0\tZeitoffset\n", to = "end of the routing descriptions";
  const size_t a = text.find(from), b = text.find(to);
  if (a == std::string::npos || b == std::string::npos) {
    missing += "routing descriptions\n";
  } else {
    std::string routing = s.routing;
    if (routing.empty()) {
      std::set<int> codes;
      for (int r = 1; r <= s.nrows; ++r)
        for (int c = 1; c <= s.ncols; ++c)
          if (s.zone(r, c) > -9999) codes.insert(static_cast<int>(s.zone(r, c)));
      for (int code : codes)
        routing += "TG " + std::to_string(code) + " (area = " + Number(s.AreaKm2(code)) + ", rel = 1)\n";
    }
    if (!routing.empty() && routing.back() != '\n') routing += "\n";
    text.replace(a + from.size(), b - a - from.size(), routing);
  }
  // Every statistic of every step (sums and means of one step).
  text = std::regex_replace(text, std::regex(R"(\.stat ([124])024)"), ".stat $01001");
  if (!missing.empty()) failed = "not in control.txt: " + missing;
  return text;
}

std::string StationFile(const SetUp& s, const std::string& variable, const std::vector<double>& altitudes) {
  std::string text = variable + " of the reference table's stations\nYY MM DD HH";
  for (double h : altitudes) text += Word(h);
  text += "\nYY MM DD HH";
  for (const Station& st : s.stations) text += Word(std::isnan(st.x) ? s.xll + s.cellsize * (st.col - 0.5) : st.x);
  text += "\nYY MM DD HH";
  for (const Station& st : s.stations)
    text += Word(std::isnan(st.y) ? s.yll + s.cellsize * (s.nrows - st.row + 0.5) : st.y);
  text += "\nYY MM DD HH";
  for (const Station& st : s.stations) text += ' ' + st.name;
  text += "\n";
  const auto given = s.series.find(variable);
  const int days = std::max(1, s.stepMinutes / 1440);
  // Records from some steps before the period to some after it, the last
  // step's record ending with hour 24 of the end day.
  const long last = DayNumber(s.end) + 2 * days;
  const long steps =
      s.stepMinutes >= 1440 ? (last - DayNumber(s.start) + 3 * days) / days : (last - DayNumber(s.start) + 2) * 24;
  for (long k = steps - 1; k >= 0; --k) {
    Hour end;
    if (s.stepMinutes >= 1440) {
      const Date d = FromDayNumber(last - k * days);
      end = {d.year, d.month, d.day, 24};
    } else {
      const long hoursBack = k;
      const Date d = FromDayNumber(last - hoursBack / 24);
      end = {d.year, d.month, d.day, static_cast<int>(24 - hoursBack % 24)};
    }
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d %d %d %d", end.year, end.month, end.day, end.hour);
    text += stamp;
    const auto hours = HoursOfStep(end, s.stepMinutes);
    for (size_t i = 0; i < s.stations.size(); ++i) {
      double sum = 0;
      for (const Hour& h : hours) sum += given != s.series.end() ? given->second(h, i) : DefaultValue(variable);
      text += Word(Summed(variable) ? sum : sum / static_cast<double>(hours.size()));
    }
    text += "\n";
  }
  return text;
}

}  // namespace

double SetUp::AreaKm2(int code) const {
  double cells = 0;
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (zone(r, c) > -9999 && (code == 0 || static_cast<int>(zone(r, c)) == code)) cells += 1;
  return cells * cellsize * cellsize / 1e6;
}

std::vector<Hour> HoursOfStep(const Hour& end, int stepMinutes) {
  std::vector<Hour> hours;
  const int n = std::max(1, stepMinutes / 60);
  long day = DayNumber({end.year, end.month, end.day});
  int hour = end.hour;
  for (int i = 0; i < n; ++i) {
    const Date d = FromDayNumber(day);
    hours.push_back({d.year, d.month, d.day, hour});
    if (--hour == 0) {
      hour = 24;
      --day;
    }
  }
  std::reverse(hours.begin(), hours.end());
  return hours;
}

std::string Prepare(const SetUp& s, const std::string& dir) {
  if (s.stepMinutes != 60 && s.stepMinutes != 1440 && s.stepMinutes != 2880)
    return "steps of " + std::to_string(s.stepMinutes) + " minutes: the set-up writes records of 60, 1440 or 2880";
  const long days = DayNumber(s.end) - DayNumber(s.start) + 1;
  if (days < 1 || days % std::max(1, s.stepMinutes / 1440) != 0) return "the period is not whole steps";
  std::string failed;
  WriteFile(dir + "/control.txt", ControlText(s, failed));
  if (!failed.empty()) return failed;
  fs::create_directories(dir + "/out");
  FixedSplit(dir);
  const double top = 300 + 0.01 * s.cellsize * (s.ncols - 1);
  const int cols = s.ncols;
  const double size = s.cellsize;
  const CellValue dem = s.dem ? s.dem : [=](int, int c) { return top - 0.01 * size * (c - 1); };
  const CellValue river =
      s.river ? s.river : CellValue([&](int r, int c) { return c == cols ? s.zone(r, c) : -9999.0; });
  const auto onRiver = [&](double value) { return [=](int r, int c) { return river(r, c) > -9999 ? value : 0.0; }; };
  const std::map<std::string, CellValue> grids = {
      {"zones.asc", s.zone},
      {"dem.asc", dem},
      {"landuse.asc", s.landuse},
      {"soil.asc", s.soil},
      {"flow_times.asc", s.flowTimes},
      {"gw_k.asc", s.gwConductivity},
      {"river_links.asc", river},
      {"river_depth.asc", s.riverDepth ? s.riverDepth : CellValue(onRiver(2.0))},
      {"river_width.asc", s.riverWidth ? s.riverWidth : CellValue(onRiver(5.0))}};
  for (const auto& [file, value] : grids) WriteFile(dir + "/" + file, GridText(s, value));
  for (const auto& [file, value] : s.grids) WriteFile(dir + "/" + file, GridText(s, value));
  std::vector<double> altitudes;
  for (const Station& st : s.stations) {
    if (st.row < 1 || st.row > s.nrows || st.col < 1 || st.col > s.ncols) return "station " + st.name + " off the grid";
    altitudes.push_back(st.altitude > -9999 ? st.altitude : dem(st.row, st.col));
  }
  const std::string suffix = s.stepMinutes == 1440 ? "_daily" : s.stepMinutes == 2880 ? "_2days" : "";
  for (const char* v : kVariables) WriteFile(dir + "/" + v + suffix + ".dat", StationFile(s, v, altitudes));
  for (const Point& p : s.points) {
    failed = PointsOf(dir, p.id, p.symbol, {{p.row, p.col}});
    if (!failed.empty()) return failed;
  }
  return s.make ? s.make(dir) : "";
}

Run RunSetUp(const SetUp& s, const std::string& name) {
  Run run;
  run.holder = std::make_shared<TempDir>(name);
  run.dir = run.holder->path();
  const std::string failed = Prepare(s, run.dir);
  if (!failed.empty()) {
    run.console = "set-up failed: " + failed;
    return run;
  }
  const HeldCores cores(s.instances);
  const auto r = RunCommand(std::string(FLUVEX_MPIRUN) + " --oversubscribe -np " + std::to_string(s.instances) +
                                " -x OMP_WAIT_POLICY=passive -x OMP_NUM_THREADS=" + std::to_string(s.threads) + " " +
                                Program() + " control.txt",
                            run.dir);
  run.exitCode = r.exitCode;
  run.console = r.output;
  WriteFile(run.dir + "/console.txt", r.output);
  if (const char* keep = std::getenv("FLUVEX_REFERENCE_KEEP"); keep && *keep) {
    std::error_code ignored;
    const fs::path to = fs::path(keep) / fs::path(run.dir).filename();
    fs::remove_all(to, ignored);
    fs::create_directories(keep, ignored);
    fs::copy(run.dir, to, fs::copy_options::recursive, ignored);
  }
  return run;
}

std::string Run::Text(const std::string& file) const {
  return ReadFile(dir + "/" + file);
}

std::vector<double> Run::Series(const std::string& file, const std::string& column) const {
  std::vector<double> values;
  long k = -1;
  for (const auto& row : Rows(Text("out/" + file))) {
    if (row.empty()) continue;
    if (k < 0 && row[0] == "YY") {
      for (size_t i = 0; i < row.size(); ++i)
        if (row[i] == column || row[i] == "\"" + column + "\"") k = static_cast<long>(i);
      if (k < 0) return values;
      continue;
    }
    if (k >= 0 && row[0].size() == 4 && std::isdigit(static_cast<unsigned char>(row[0][0])) &&
        row.size() > static_cast<size_t>(k))
      values.push_back(std::atof(row[static_cast<size_t>(k)].c_str()));
  }
  return values;
}

double Run::Sum(const std::string& file, const std::string& column) const {
  const auto values = Series(file, column);
  double sum = values.empty() ? NAN : 0;
  for (double v : values) sum += v;
  return sum;
}

GridFile Run::Grid(const std::string& file) const {
  return ReadGridFile(dir + "/out/" + file);
}

std::vector<double> Run::Points(const std::string& symbol, int row, int col) const {
  return PointSeries(RunOutput(dir), symbol, row, col);
}

std::vector<std::vector<double>> Run::Table(const std::string& file) const {
  std::vector<std::vector<double>> lines;
  for (const auto& row : Rows(Text("out/" + file))) {
    std::string joined;
    for (const auto& w : row) joined += w + " ";
    const auto numbers = LeadingNumbers(joined);
    if (!numbers.empty() && numbers.size() == row.size()) lines.push_back(numbers);
  }
  return lines;
}

int Run::Count(const std::string& text) const {
  return CountOf(console, text);
}

bool Check::Passes() const {
  const double bound = relative ? tolerance * std::fabs(expected) : tolerance;
  return std::isfinite(got) && std::fabs(got - expected) <= bound;
}

Check Absolute(const std::string& what, double got, double expected, double tolerance) {
  return {what, got, expected, tolerance, false};
}
Check Relative(const std::string& what, double got, double expected, double share) {
  return {what, got, expected, share, true};
}
Check Known(Check c, int issue) {
  c.issue = issue;
  return c;
}

std::vector<Variant> StepVariants() {
  return {{"hourly", [](SetUp& s) { s.stepMinutes = 60; }},
          {"daily", [](SetUp& s) { s.stepMinutes = 1440; }},
          {"twodays", [](SetUp& s) { s.stepMinutes = 2880; }}};
}

std::vector<Variant> SubStepVariants(const std::vector<int>& counts) {
  std::vector<Variant> variants;
  for (int k : counts) variants.push_back({"substeps" + std::to_string(k), [k](SetUp& s) { s.substeps = k; }});
  return variants;
}

}  // namespace fluvextest::reference
