// Station data files and the grid list file: header, start search, block
// reading and one record per step.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "framework/diagstream.h"
#include "meteo/linetokens.h"
#include "meteo/meteointerpol.h"

namespace {
// Longest line of a station or grid list file (characters); enough for tens
// of thousands of stations.
constexpr size_t kMaxStationLine = 1u << 20;

std::string LongLineText() {
  return "the line is longer than " + std::to_string(kMaxStationLine) + " characters";
}

// Reads year, month, day and hour; false when one of them is missing or no whole number.
bool ReadDate(LineTokens& t, MeteoDate& date) {
  long v[4];
  for (long& x : v)
    if (!t.Integer(x)) return false;
  date.year = v[0];
  date.month = v[1];
  date.day = v[2];
  date.hour = v[3];
  return true;
}

// The next word of the line for a message, "nothing" at its end.
std::string NextWordText(LineTokens& t) {
  std::string word;
  if (!t.Word(word)) return "nothing";
  std::string text = "\"";
  text.append(word, 0, 100);
  text += '"';
  return text;
}

// True when the next word of the line is a number (also "nan" or "inf"):
// a value beyond the station count, not a comment.
bool NumberFollows(const LineTokens& tokens) {
  LineTokens t = tokens;
  std::string word;
  if (!t.Word(word)) return false;
  char* end = nullptr;
  std::strtod(word.c_str(), &end);
  return end != word.c_str() && *end == '\0';
}

// Hours from 1 January of year 0 (proleptic Gregorian) to the date.
int64_t HoursOf(const MeteoDate& d) {
  const int64_t y = d.month <= 2 ? d.year - 1 : d.year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t m = d.month;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d.day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return (era * 146097 + doe) * 24 + d.hour;
}

std::string DateText(const MeteoDate& d) {
  return std::to_string(d.day) + "." + std::to_string(d.month) + "." + std::to_string(d.year) + " " +
         std::to_string(d.hour) + " h";
}

bool SkipColumns(LineTokens& t, int n) {
  for (int i = 0; i < n; ++i)
    if (!t.Skip()) return false;
  return true;
}
}  // namespace

// The section's nodata value N marks missing station values: N and -N
// themselves, anything below -N (-9999.5, say) and, in records of up to a
// day, anything above N (10000, say). A record of d > 1 days holds sums over
// its days (a two-day radiation sum may reach 14000 Wh/m2), so there the
// upper bound is d N: N bounds a day's value, not the record's.
double meteointerpol::StationValueRange(double v, int64_t recordHours) const {
  const double days = recordHours > 24 ? static_cast<double>(recordHours) / 24.0 : 1.0;
  if (!(v > -Nodata) || v == Nodata || !(v <= Nodata * days)) return -Nodata - 1;
  return v;
}

bool meteointerpol::IsWaterAmount() const {
  return VariableName.rfind("precipitation", 0) == 0 || VariableName.find("irrigation_amounts") != std::string::npos;
}

void meteointerpol::TakeStationValues(int k, double* values, long line, bool used) {
  const int n = StationCount[k];
  const bool water = used && IsWaterAmount();
  for (int s = 1; s <= n; ++s) {
    const double read = values[s];
    values[s] = StationValueRange(read, RecordStepHours[k]);
    // No limit of the section catches a negative water amount: the
    // interpolation would take it from the neighbouring cells' water.
    if (water && values[s] >= -Nodata && values[s] < 0) {
      std::ostringstream what;
      what << "station " << s << " of " << n << " (x " << StationX[k][s] << ", y " << StationY[k][s] << ") holds "
           << read << ": a water amount of " << VariableName << " cannot be negative (0 or more expected; a missing "
           << "value is written as " << -Nodata << ", the section's nodata value)";
      InputError(StationFileName[k], line, what.str());
    }
  }
}

void meteointerpol::ReadStationDescription(int k) {
  const std::string& name = StationFileName[k];
  const int ac = AdditionalColumns[k];
  *diag << "reading station description for " << VariableName.c_str() << " from " << name.c_str() << " ..."
        << "[end-entry]";
  InputFile f;
  if (!f.Open(name)) {
    *diag << "FATAL: \nerror opening " << name.c_str() << "[end-entry]";
    throw 49;
  }
  std::string line;
  InputFile::Result got = f.ReadLine(line, kMaxStationLine);
  if (got == InputFile::kEnd) InputError(name, 1, "the file ends before its header lines 2 to 4");
  // A file saved with CR-only line ends (classic Mac) is one long line.
  const size_t cr = line.find('\r');
  if (cr != std::string::npos && line.find_first_not_of("\r\n", cr) != std::string::npos)
    InputError(name, 1, "the file has CR-only line ends: save it with LF or CR LF line ends");

  // Line 2: the leading columns, then one altitude per station up to the first word that is no number.
  got = f.ReadLine(line, kMaxStationLine);
  if (got == InputFile::kEnd) InputError(name, 2, "the file ends before its header lines 2 to 4");
  if (got == InputFile::kTooLong) InputError(name, 2, LongLineText());
  std::vector<double> altitude(1, 0.0);
  {
    LineTokens t(line);
    double value = 0;
    if (SkipColumns(t, 4 + ac))
      while (t.Number(value)) altitude.push_back(value);
    // Counting stops at the first word that is no number; "nan" or "inf"
    // there would silently drop the station and every value of its column.
    std::string word;
    if (t.Word(word)) {
      char* end = nullptr;
      const double v = std::strtod(word.c_str(), &end);
      if (end != word.c_str() && *end == '\0' && !std::isfinite(v))
        InputError(
            name, 2,
            "the altitude of station " + std::to_string(altitude.size()) + " is \"" + word + "\", no finite number");
    }
  }
  const int n = static_cast<int>(altitude.size()) - 1;
  *diag << " (" << n << " stations)"
        << "[end-entry]";

  // Lines 3 and 4 are read each on its own, so that a word after the values of
  // one line cannot shift the coordinates of the next.
  std::vector<double> coordinates[2];
  for (int i = 0; i < 2; ++i) {
    const long lineNumber = 3 + i;
    got = f.ReadLine(line, kMaxStationLine);
    if (got == InputFile::kEnd) InputError(name, lineNumber, "the file ends before its header lines 2 to 4");
    if (got == InputFile::kTooLong) InputError(name, lineNumber, LongLineText());
    LineTokens t(line);
    if (!SkipColumns(t, 4 + ac))
      InputError(name, lineNumber, "expected " + std::to_string(4 + ac) + " leading columns");
    coordinates[i].assign(static_cast<size_t>(n) + 1, 0.0);
    for (int s = 1; s <= n; ++s) {
      if (!t.Number(coordinates[i][s]))
        InputError(name, lineNumber,
                   std::string(i == 0 ? "x" : "y") + " coordinate of station " + std::to_string(s) + " of " +
                       std::to_string(n) + " is missing or not a finite number (" + NextWordText(t) + ")");
    }
    // Every header row holds one value per station of line 2 (words after
    // the values are a comment).
    if (NumberFollows(t))
      InputError(name, lineNumber,
                 "the line holds more values than the " + std::to_string(n) + " stations of line 2 (next: " +
                     NextWordText(t) + "); every header row must hold one value per station");
  }
  if (!f.Close()) {
    *diag << "FATAL: error closing " << name.c_str() << "[end-entry]";
    throw 50;
  }
  StationCount[k] = n;
  StationAltitude[k] = std::move(altitude);
  StationX[k] = std::move(coordinates[0]);
  StationY[k] = std::move(coordinates[1]);
  StationDistance[k].assign(static_cast<size_t>(n) + 1, 0.0);
  StationValues[k].assign(static_cast<size_t>(n) + 1, -Nodata - 1);
}

// Opens the station file or grid list k, skips its five header lines and
// reads dated lines until the start date; line then holds the start record.
void meteointerpol::SeekStartRecord(int k, InputFile& f, long& lineNumber, std::string& line) {
  const std::string& name = StationFileName[k];
  *diag << "looking for starting date " << static_cast<long>(StartDate.day) << "." << static_cast<long>(StartDate.month)
        << "." << static_cast<long>(StartDate.year) << " for " << VariableName.c_str() << " in " << name.c_str();
  if (!f.Open(name)) {
    *diag << "[end-entry]";
    *diag << "FATAL: \nerror opening file " << name.c_str() << "[end-entry]";
    throw 49;
  }
  for (int i = 0; i < 5; ++i) f.SkipLine();  // header lines and the station names
  lineNumber = 5;
  bool found = false;
  bool twoDigitYears = false;
  long twoDigitLine = 0;
  int64_t twoDigitYear = 0;
  MeteoDate firstRecord;
  bool anyRecord = false;
  for (;;) {
    if (FileDate[k] == StartDate) {
      found = true;
      break;
    }
    const long position = f.Tell();
    const InputFile::Result got = f.ReadLine(line, kMaxStationLine);
    if (got == InputFile::kEnd) break;
    ++lineNumber;
    if (got == InputFile::kTooLong) {
      *diag << "[end-entry]";
      InputError(name, lineNumber, LongLineText());
    }
    LineTokens t(line);
    if (t.AtEnd()) continue;
    MeteoDate date;
    if (!ReadDate(t, date)) {
      *diag << "[end-entry]";
      InputError(name, lineNumber, "expected year, month, day and hour as whole numbers");
    }
    if (date.year <= 99) {
      if (!twoDigitYears) {
        twoDigitYears = true;
        twoDigitLine = lineNumber;
        twoDigitYear = date.year;
      }
      date.year += 1900;
    }
    if ((date.hour == 0 || date.hour >= 24) && date.day == 1) *diag << ".";
    StartLinePosition[k] = position;
    StartLineNumber[k] = lineNumber - 1;
    FileDate[k] = date;
    if (!anyRecord) firstRecord = date;
    anyRecord = true;
  }
  *diag << "[end-entry]";
  if (twoDigitYears)
    *diag << "WARNING: " << name.c_str() << ", line " << twoDigitLine << " (" << VariableName.c_str() << "): the year "
          << static_cast<long>(twoDigitYear) << " is read as " << static_cast<long>(twoDigitYear + 1900)
          << " (two-digit years of the records are taken as 1900 + the year)"
          << "[end-entry]";
  if (!found) {
    *diag << "FATAL: \nfile " << name.c_str() << " dosnt contain date " << static_cast<long>(StartDate.day) << "."
          << static_cast<long>(StartDate.month) << "." << static_cast<long>(StartDate.year) << ", hour "
          << static_cast<long>(StartDate.hour) << "(feof)!\n(the start of the run, given in [model_time] of "
          << UserControlFile().c_str();
    if (anyRecord)
      *diag << "; the records of the file run from " << DateText(firstRecord).c_str() << " to "
            << DateText(FileDate[k]).c_str();
    else
      *diag << "; the file holds no record";
    *diag << ")"
          << "[end-entry]";
    throw 51;
  }
}

void meteointerpol::FindStartInStationFile(int k) {
  const std::string& name = StationFileName[k];
  const int ac = AdditionalColumns[k];
  const int n = StationCount[k];
  InputFile f;
  long lineNumber = 0;
  std::string line;
  SeekStartRecord(k, f, lineNumber, line);
  std::vector<double>& values = StationValues[k];
  values.assign(static_cast<size_t>(n) + 1, -Nodata - 1);
  LineTokens t(line);
  MeteoDate ignored;
  ReadDate(t, ignored);
  if (!SkipColumns(t, ac)) InputError(name, lineNumber, "expected " + std::to_string(ac) + " additional columns");
  double lowest = 0;
  double highest = 0;
  bool any = false;
  for (int s = 1; s <= n; ++s) {
    double v = 0;
    if (!t.Number(v))
      InputError(name, lineNumber,
                 "value of station " + std::to_string(s) + " of " + std::to_string(n) +
                     " is missing or not a finite number (" + NextWordText(t) + ")");
    values[s] = v;
  }
  if (NumberFollows(t))
    InputError(
        name, lineNumber,
        "the record holds more values than the " + std::to_string(n) + " stations (next: " + NextWordText(t) + ")");
  const long afterStart = f.Tell();
  // The span of the start record, from the date of the next one, tells
  // which values of it are sums beyond a day's bound.
  if (RecordStepHours[k] == 0) {
    std::string next;
    long nextLine = lineNumber;
    while (f.ReadLine(next, kMaxStationLine) == InputFile::kLine) {
      ++nextLine;
      LineTokens nt(next);
      if (nt.AtEnd()) continue;
      MeteoDate date;
      if (ReadDate(nt, date)) {
        if (date.year <= 99) date.year += 1900;
        const int64_t span = HoursOf(date) - HoursOf(StartDate);
        if (span > 0) RecordStepHours[k] = span;
      }
      break;
    }
  }
  TakeStationValues(k, values.data(), lineNumber, true);
  for (int s = 1; s <= n; ++s) {
    if (values[s] < -Nodata) continue;
    if (!any) lowest = highest = values[s];
    lowest = std::min(lowest, values[s]);
    highest = std::max(highest, values[s]);
    any = true;
  }
  LastRecordHours[k] = HoursOf(StartDate);
  LastRecordKey[k] = StartDate.Key();
  // The start record is judged like every later record, so that the first
  // step of a run and of a repetition are computed alike.
  AllEqual[k] = (n < 1 || lowest == highest) ? 1 : 0;
  CurrentPosition[k] = afterStart;
  CurrentLineNumber[k] = lineNumber;
  if (!f.Close()) {
    *diag << "FATAL: error closing " << name.c_str() << "[end-entry]";
    throw 50;
  }
}

void meteointerpol::RefillStationBuffer(int k) {
  const std::string& name = StationFileName[k];
  const int ac = AdditionalColumns[k];
  const int n = StationCount[k];
  StationRecordBuffer& b = RecordBuffer[k];
  InputFile f;
  if (!f.Open(name)) {
    *diag << "FATAL: \nerror opening file " << name.c_str() << "[end-entry]";
    throw 49;
  }
  f.Seek(CurrentPosition[k]);
  long lineNumber = CurrentLineNumber[k];
  int count = 0;
  std::string line;
  while (count < b.capacity) {
    const InputFile::Result got = f.ReadLine(line, kMaxStationLine);
    if (got == InputFile::kEnd) break;
    ++lineNumber;
    if (got == InputFile::kTooLong) InputError(name, lineNumber, LongLineText());
    LineTokens t(line);
    if (t.AtEnd()) continue;
    MeteoDate date;
    double* values = &b.values[static_cast<size_t>(count + 1) * (static_cast<size_t>(n) + 1)];
    bool complete = ReadDate(t, date) && SkipColumns(t, ac);
    for (int s = 1; complete && s <= n; ++s) complete = t.Number(values[s]);
    if (!complete) {
      // A record cut short by the end of the file ends the input when it is taken.
      if (f.RestIsBlank()) {
        b.dates[++count] = MeteoDate{};
        break;
      }
      InputError(name, lineNumber,
                 "expected year, month, day, hour, " + std::to_string(ac) + " additional columns and " +
                     std::to_string(n) + " station values (found " + NextWordText(t) + " where a number belongs)");
    }
    if (NumberFollows(t))
      InputError(
          name, lineNumber,
          "the record holds more values than the " + std::to_string(n) + " stations (next: " + NextWordText(t) + ")");
    const bool used = CheckRecordDate(k, date, lineNumber);
    TakeStationValues(k, values, lineNumber, used);
    b.dates[++count] = date;
  }
  CurrentPosition[k] = f.Tell();
  CurrentLineNumber[k] = lineNumber;
  if (!f.Close()) {
    *diag << "FATAL: error closing " << name.c_str() << "[end-entry]";
    throw 50;
  }
  b.count = count;
  b.next = 1;
  // A block without a record ends the input.
  if (count == 0) {
    EndFlag = 1;
    DataEndFile = name;
  }
}

bool meteointerpol::CheckRecordDate(int k, const MeteoDate& read, long line) {
  const std::string& name = StationFileName[k];
  // Records after the end of the run are read ahead but never used.
  if (LastRecordHours[k] >= 0 && LastRecordKey[k] >= GetDateKey()) return false;
  MeteoDate date = read;
  if (date.year <= 99) date.year += 1900;
  if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > DaysInMonth(date.year, date.month) ||
      date.hour < 0 || date.hour > 24)
    InputError(name, line,
               "the date " + DateText(date) + " is no date of the calendar (month 1 ... 12, day within the month, " +
                   "hour 0 ... 24)",
               52);
  const int64_t hours = HoursOf(date);
  const int64_t previous = LastRecordHours[k];
  LastRecordHours[k] = hours;
  LastRecordKey[k] = date.Key();
  if (previous < 0) return true;
  const int64_t step = hours - previous;
  if (step <= 0)
    InputError(name, line,
               "the record of " + DateText(date) + " does not come after the record before it (" +
                   std::to_string(-step) + " h earlier or the same date): a row repeated or out of order",
               52);
  if (RecordStepHours[k] == 0) RecordStepHours[k] = step;
  if (step != RecordStepHours[k])
    InputError(name, line,
               "the record of " + DateText(date) + " comes " + std::to_string(step) +
                   " h after the record before it, the records of the file are " + std::to_string(RecordStepHours[k]) +
                   " h apart: a row missing or out of order",
               52);
  return true;
}

void meteointerpol::NextStationRecord(int k) {
  if (EndFlag) return;
  if (FileDate[k].Key() >= GetDateKey()) {
    EndFlag = 1;
    return;
  }
  StationRecordBuffer& b = RecordBuffer[k];
  if (b.next > b.count) {
    RefillStationBuffer(k);
    if (EndFlag) return;
  }
  MeteoDate date = b.dates[b.next];
  if (date.year == 0 && date.month == 0 && date.day == 0) {
    FileDate[k] = date;
    EndFlag = 1;
    DataEndFile = StationFileName[k];
    return;
  }
  if (date.year <= 99) date.year += 1900;
  FileDate[k] = date;
  const int n = StationCount[k];
  if (n < 1) {
    AllEqual[k] = 1;
  } else {
    const double* values = &b.values[static_cast<size_t>(b.next) * (static_cast<size_t>(n) + 1)];
    std::vector<double>& target = StationValues[k];
    double lowest = -Nodata - 1;
    double highest = -Nodata - 1;
    bool any = false;
    for (int s = 1; s <= n; ++s) {
      target[s] = values[s];
      if (values[s] < -Nodata) continue;
      if (!any) lowest = highest = values[s];
      lowest = std::min(lowest, values[s]);
      highest = std::max(highest, values[s]);
      any = true;
    }
    AllEqual[k] = lowest == highest ? 1 : 0;
  }
  ++b.next;
}

void meteointerpol::FindStartInGridList() {
  const std::string& name = StationFileName[0];
  const int ac = AdditionalColumns[0];
  InputFile f;
  long lineNumber = 0;
  std::string line;
  SeekStartRecord(0, f, lineNumber, line);
  LineTokens t(line);
  MeteoDate ignored;
  ReadDate(t, ignored);
  if (!SkipColumns(t, ac) || !t.Word(GridListGridName))
    InputError(name, lineNumber, "expected " + std::to_string(ac) + " additional columns and a grid file name");
  if (GridListGridName.size() > 1200) InputError(name, lineNumber, "the grid file name is longer than 1200 characters");
  StartPosition[0] = StartLinePosition[0];
  const long afterStart = f.Tell();
  // The spacing of the records, from the date of the next one.
  std::string next;
  while (f.ReadLine(next, kMaxStationLine) == InputFile::kLine) {
    LineTokens nt(next);
    if (nt.AtEnd()) continue;
    MeteoDate date;
    if (ReadDate(nt, date)) {
      if (date.year <= 99) date.year += 1900;
      const int64_t span = HoursOf(date) - HoursOf(StartDate);
      if (span > 0) RecordStepHours[0] = span;
    }
    break;
  }
  CurrentPosition[0] = afterStart;
  CurrentLineNumber[0] = lineNumber;
  if (!f.Close()) {
    *diag << "FATAL: error closing " << name.c_str() << "[end-entry]";
    throw 50;
  }
}

void meteointerpol::NextGridListRecord() {
  const std::string& name = StationFileName[0];
  if (FileDate[0].Key() >= GetDateKey()) {
    EndFlag = 1;
    GridListFile.Close();
    return;
  }
  if (EndFlag) return;
  if (!GridListFile.IsOpen()) {
    if (!GridListFile.Open(name)) {
      *diag << "FATAL: \nerror opening file " << name.c_str() << "[end-entry]";
      throw 49;
    }
    GridListFile.Seek(CurrentPosition[0]);
  }
  std::string line;
  for (;;) {
    const InputFile::Result got = GridListFile.ReadLine(line, kMaxStationLine);
    if (got == InputFile::kEnd) {
      EndFlag = 1;
      DataEndFile = name;
      GridListFile.Close();
      return;
    }
    ++CurrentLineNumber[0];
    if (got == InputFile::kTooLong) InputError(name, CurrentLineNumber[0], LongLineText());
    LineTokens t(line);
    if (t.AtEnd()) continue;
    MeteoDate date;
    std::string grid;
    if (!ReadDate(t, date) || !SkipColumns(t, AdditionalColumns[0]) || !t.Word(grid)) {
      if (GridListFile.RestIsBlank()) {
        EndFlag = 1;
        DataEndFile = name;
        GridListFile.Close();
        return;
      }
      InputError(name, CurrentLineNumber[0],
                 "expected year, month, day, hour, " + std::to_string(AdditionalColumns[0]) +
                     " additional columns and a grid file name");
    }
    if (grid.size() > 1200) InputError(name, CurrentLineNumber[0], "the grid file name is longer than 1200 characters");
    if (date.year <= 99) date.year += 1900;
    FileDate[0] = date;
    GridListGridName = grid;
    CurrentPosition[0] = GridListFile.Tell();
    return;
  }
}

void meteointerpol::ReadStepData() {
  // Once the end is reached the files are not advanced any more.
  if (EndFlag) return;
  if (IsStationMethod()) {
    for (int k = 0; k < StationFileCount; ++k) NextStationRecord(k);
    if (EndFlag) return;
    CurrentDate = FileDate[0];
    if (StationFileCount > 1 && !(FileDate[1] == FileDate[0])) {
      *diag << "FATAL: error reading date from stationfiles:";
      for (int k = 0; k < StationFileCount; ++k)
        *diag << "\nfile " << StationFileName[k].c_str() << ": YYYY=" << static_cast<long>(FileDate[k].year)
              << ", MM=" << static_cast<long>(FileDate[k].month) << ", DD=" << static_cast<long>(FileDate[k].day)
              << ", HH=" << static_cast<long>(FileDate[k].hour);
      *diag << "[end-entry]";
      throw 73;
    }
  }
  if (Method == 2 || Method == 3) {
    NextRegressionRecord(1);
    if (EndFlag) return;
    if (Method == 3 && !(RegressionDate == FileDate[0])) {
      const std::string dashes(77, '-');
      const MeteoDate& s = FileDate[0];
      const MeteoDate& r = RegressionDate;
      *diag << ("FATAL: " + dashes + "\nerror in date column of ").c_str() << VariableName.c_str()
            << " for IDW*Regress \n\nDate from station/regress file " << StationFileName[0].c_str() << ":\n"
            << static_cast<long>(s.day) << "." << static_cast<long>(s.month) << "." << static_cast<long>(s.year) << " "
            << static_cast<long>(s.hour) << " h\n\nbut date from regres file " << RegressionFileName.c_str() << ":\n"
            << static_cast<long>(r.day) << "." << static_cast<long>(r.month) << "." << static_cast<long>(r.year) << " "
            << static_cast<long>(r.hour) << (" h\n\n" + dashes + "\n").c_str() << "[end-entry]";
      throw 52;
    }
  }
  if (Method == 9) {
    NextGridListRecord();
    if (!EndFlag) CurrentDate = FileDate[0];
  }
}
