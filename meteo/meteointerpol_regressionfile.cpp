// Regression files of methods 2 and 3: per record the three elevation bands,
// their limits and the trend plane, as text lines or binary records.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "framework/diagstream.h"
#include "meteo/linetokens.h"
#include "meteo/meteointerpol.h"

namespace {
constexpr size_t kMaxRegressionLine = 1200;
constexpr size_t kBinaryRecord = 4 * 8 + 11 * 8;

enum class RecordRead { kRecord, kEnd, kCut };

// One text record: year, month, day, hour and eleven values. kCut: the line
// holds fewer numbers; kEnd: no further line.
RecordRead ReadTextRecord(InputFile& f, long& lineNumber, MeteoDate& date, double* v, bool& tooLong) {
  std::string line;
  tooLong = false;
  for (;;) {
    const InputFile::Result got = f.ReadLine(line, kMaxRegressionLine);
    if (got == InputFile::kEnd) return RecordRead::kEnd;
    ++lineNumber;
    if (got == InputFile::kTooLong) {
      tooLong = true;
      return RecordRead::kCut;
    }
    LineTokens t(line);
    if (t.AtEnd()) continue;
    long d[4];
    for (long& x : d)
      if (!t.Integer(x)) return RecordRead::kCut;
    for (int i = 1; i <= 11; ++i)
      if (!t.Number(v[i])) return RecordRead::kCut;
    date = {d[3], d[2], d[1], d[0]};
    return RecordRead::kRecord;
  }
}

RecordRead ReadBinaryRecord(InputFile& f, MeteoDate& date, double* v) {
  unsigned char bytes[kBinaryRecord];
  const size_t n = f.ReadBytes(bytes, kBinaryRecord);
  if (n == 0) return RecordRead::kEnd;
  if (n < kBinaryRecord) return RecordRead::kCut;
  int64_t d[4];
  std::memcpy(d, bytes, sizeof d);
  std::memcpy(&v[1], bytes + sizeof d, 11 * sizeof(double));
  date = {d[3], d[2], d[1], d[0]};
  return RecordRead::kRecord;
}
}  // namespace

void meteointerpol::TakeRegressionValues(const double* v, long line) {
  RegressionRegion& r = Regr[1];
  const double invalid = -Nodata - 1;
  auto missing = [&](double x) { return !(x > -Nodata && x < Nodata); };
  // The intercepts and gradients of the bands make the field; the limits
  // are heights (-9999 lies below every cell and leaves the band above it).
  // A missing trend value is the usual way of writing "no trend".
  const int bands[] = {1, 2, 4, 5, 7, 8};
  int first = 0;
  for (int i : bands)
    if (first == 0 && missing(v[i])) first = i;
  if (first == 0 && std::isnan(v[3])) first = 3;
  if (first == 0 && std::isnan(v[6])) first = 6;
  const bool noTrend = missing(v[9]) || missing(v[10]) || missing(v[11]);
  if (first != 0 && !RegressionMissingWarned) {
    RegressionMissingWarned = true;
    *diag << "WARNING: the regression record of " << static_cast<long>(CurrentDate.day) << "."
          << static_cast<long>(CurrentDate.month) << "." << static_cast<long>(CurrentDate.year) << " "
          << static_cast<long>(CurrentDate.hour) << " h in " << RegressionFileName.c_str();
    if (line > 0) *diag << ", line " << line;
    *diag << " (" << VariableName.c_str() << ") holds the missing value " << v[first] << " as its value " << first
          << " (beyond +-" << Nodata << ", the section's nodata value): the regression of that step is missing"
          << (Method == 3 ? " and the inverse distances stand alone" : "") << " (said once for this variable)"
          << "[end-entry]";
  }
  r.a[1] = v[1];
  r.b[1] = v[2];
  r.h1 = v[3];
  r.a[2] = v[4];
  r.b[2] = v[5];
  r.h2 = v[6];
  r.a[3] = v[7];
  r.b[3] = v[8];
  r.c0 = v[9];
  r.cx = v[10];
  r.cy = v[11];
  if (first != 0) r.a[1] = invalid;
  if (noTrend) r.c0 = invalid;
}

void meteointerpol::FindStartInRegressionFile(int /*i*/) {
  const std::string& name = RegressionFileName;
  *diag << "looking for starting date " << static_cast<long>(StartDate.day) << "." << static_cast<long>(StartDate.month)
        << "." << static_cast<long>(StartDate.year) << " for " << VariableName.c_str() << " in " << name.c_str();
  InputFile f;
  if (!f.Open(name)) {
    *diag << "[end-entry]";
    *diag << "FATAL: \nerror opening file " << name.c_str() << "[end-entry]";
    throw 49;
  }
  unsigned char head[5] = {0, 0, 0, 0, 0};
  const size_t got = f.ReadBytes(head, 5);
  RegressionText = (got == 5 && head[0] == 'j' && head[1] == 'r' && head[3] == 'm' && head[4] == 'o') ? 1 : 0;
  long lineNumber = 0;
  if (RegressionText) {
    f.SkipLine();
    lineNumber = 1;
  } else {
    f.Seek(0);
  }

  CurrentDate = MeteoDate{};
  double v[12] = {0};
  bool found = false;
  for (;;) {
    if (CurrentDate == StartDate) {
      found = true;
      break;
    }
    RegressionStartLinePosition = f.Tell();
    MeteoDate date;
    bool tooLong = false;
    const RecordRead r =
        RegressionText ? ReadTextRecord(f, lineNumber, date, v, tooLong) : ReadBinaryRecord(f, date, v);
    if (r == RecordRead::kEnd) break;
    if (r == RecordRead::kCut) {
      if (!RegressionText || (!tooLong && f.RestIsBlank())) break;
      *diag << "[end-entry]";
      InputError(name, lineNumber,
                 tooLong ? "the line is longer than 1200 characters"
                         : "expected year, month, day, hour and eleven regression values");
    }
    if (date.year <= 999) date.year += 1900;
    if ((date.hour == 0 || date.hour >= 24) && date.day == 1) *diag << ".";
    CurrentDate = date;
  }
  *diag << "[end-entry]";
  if (!found) {
    *diag << "FATAL: \nEOF reached: " << name.c_str() << ", date " << static_cast<long>(StartDate.day) << "."
          << static_cast<long>(StartDate.month) << "." << static_cast<long>(StartDate.year) << ", "
          << static_cast<long>(StartDate.hour) << ". h not found!"
          << "[end-entry]";
    throw 51;
  }
  RegressionDate = CurrentDate;
  TakeRegressionValues(v, RegressionText ? lineNumber : 0);
  RegressionCurrentPosition = f.Tell();
  RegressionLineNumber = lineNumber;
  RegressionStartLineNumber = lineNumber - 1;
  if (!f.Close()) {
    *diag << "FATAL: error closing " << name.c_str() << "[end-entry]";
    throw 50;
  }
}

void meteointerpol::RefillRegressionBuffer(int /*i*/) {
  const std::string& name = RegressionFileName;
  RegressionRecordBuffer& b = RegressionBuffer;
  InputFile f;
  if (!f.Open(name)) {
    if (RegressionText)
      *diag << "FATAL: \nerror opening file " << name.c_str() << "[end-entry]";
    else
      *diag << "FATAL: error opening regression file " << name.c_str() << " in binary mode"
            << "[end-entry]";
    throw 49;
  }
  f.Seek(RegressionCurrentPosition);
  long lineNumber = RegressionLineNumber;
  int count = 0;
  while (count < b.capacity) {
    MeteoDate date;
    double* v = &b.values[static_cast<size_t>(count + 1) * 12];
    bool tooLong = false;
    const RecordRead r =
        RegressionText ? ReadTextRecord(f, lineNumber, date, v, tooLong) : ReadBinaryRecord(f, date, v);
    if (r == RecordRead::kEnd) break;
    if (r == RecordRead::kCut) {
      // A record cut short by the end of the file ends the input when it is taken.
      if (!RegressionText || (!tooLong && f.RestIsBlank())) {
        b.dates[++count] = MeteoDate{};
        break;
      }
      InputError(name, lineNumber,
                 tooLong ? "the line is longer than 1200 characters"
                         : "expected year, month, day, hour and eleven regression values");
    }
    b.dates[++count] = date;
    b.lines[count] = RegressionText ? lineNumber : 0;
  }
  RegressionCurrentPosition = f.Tell();
  RegressionLineNumber = lineNumber;
  if (!f.Close()) {
    *diag << "FATAL: error closing " << name.c_str() << "[end-entry]";
    throw 50;
  }
  b.count = count;
  b.next = 1;
  if (count == 0) {
    EndFlag = 1;
    DataEndFile = name;
  }
}

void meteointerpol::NextRegressionRecord(int i) {
  if (EndFlag) return;
  if (Method == 2 && CurrentDate.Key() >= GetDateKey()) {
    EndFlag = 1;
    return;
  }
  RegressionRecordBuffer& b = RegressionBuffer;
  if (b.next > b.count) {
    RefillRegressionBuffer(i);
    if (EndFlag) return;
  }
  MeteoDate date = b.dates[b.next];
  if (date.year == 0 && date.month == 0 && date.day == 0) {
    CurrentDate = RegressionDate = date;
    EndFlag = 1;
    DataEndFile = RegressionFileName;
    return;
  }
  if (date.year <= 999) date.year += 1900;
  CurrentDate = RegressionDate = date;
  TakeRegressionValues(&b.values[static_cast<size_t>(b.next) * 12], b.lines[b.next]);
  ++b.next;
}
