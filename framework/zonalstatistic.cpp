#include "framework/zonalstatistic.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <new>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/signals.h"

namespace {
constexpr size_t kMaxPath = 1200;
constexpr size_t kMaxDescription = 1199;
}  // namespace

zonalstatistic::zonalstatistic(int& error, DiagStream* diagnostics, StatRecord* /*registry*/, int /*capacity*/,
                               Grid areaGrid, int nrows, int ncols, ZoneRecord* zoneRecords, int zoneCount,
                               int statCode, int prec, const std::string& fileName, const std::string& outputDirectory,
                               int listCount, const int* listCodes)
    : diag(diagnostics) {
  error = 0;
  if (statCode < 1001) {
    ok = true;
    return;
  }
  type = statCode / 1000;
  period = statCode % 1000;
  filename = fileName;
  if (!outputDirectory.empty() && !fileName.empty() && fileName[0] != '/' && fileName[0] != '~')
    filename = outputDirectory + fileName;
  // The period is the divisor of the line rhythm and the type selects the columns.
  if (type < 1 || type > 6 || period < 1) {
    *diag << "FATAL: invalid statistic code " << statCode << " for " << filename.c_str()
          << ": the thousands give the type (1 to 6) and the last three digits the number of steps per line "
             "(at least 1)"
          << "[end-entry]";
    error = 1;
    return;
  }
  if (filename.size() > kMaxPath) {
    *diag << "FATAL: the name of the statistics file " << filename.c_str() << " is longer than "
          << static_cast<int>(kMaxPath) << " characters"
          << "[end-entry]";
    error = 1;
    return;
  }
  if (zoneCount > 0 && !zoneRecords) {
    *diag << "FATAL: no zone records given for the statistics file " << filename.c_str() << "[end-entry]";
    error = 1;
    return;
  }
  precision = prec;
  areagrid = areaGrid;
  rows = nrows;
  columns = ncols;
  zones = std::max(0, zoneCount);
  records = zoneRecords;
  try {
    listcount = listCodes ? std::max(0, std::min(zones, listCount)) : 0;
    listcodes.assign(listcount + 1, 0);
    columnmap.assign(listcount + 1, 0);
    for (int i = 1; i <= listcount; ++i) {
      listcodes[i] = listCodes[i];
      int k = i;
      while (k <= zones && static_cast<int64_t>(records[k].zonenwert) != listcodes[i]) ++k;
      if (k > zones) {
        *diag << "FATAL: \n\n ------ error ------\n\n there is a code in the output list which no zone exists for ("
              << listcodes[i] << ")"
              << " in the statistics " << filename.c_str()
              << " (the listed codes have to follow the order of the zones)"
              << "[end-entry]";
        error = 1;
        return;
      }
      columnmap[i] = k;
    }
    const int c = ZoneColumns();
    if (type == 1 || type == 3) {
      capacity = kBufferBytes / 48;
      slots = 2;
    } else {
      capacity = std::max<int64_t>(1, kBufferBytes / (8 * (c + 1) + 32));
      slots = c + 1;
    }
    linewidth = c + 2;
    // The buffer grows line by line within its reserve (BeginLine): a run
    // that writes few lines touches few of its pages, and a model has
    // dozens of statistics.
    linedates.reserve(4 * capacity);
    linepartial.reserve(capacity);
    linevalues.reserve(capacity * linewidth);
    current.assign(slots + 1, 0.0);
    accumulator.assign(slots + 1, 0.0);
    relareas.assign(slots + 1, 0.0);
    codes.assign(slots + 1, 0);
    description.reserve(kMaxDescription + 1);
    for (int k = 0; k <= zones; ++k) records[k].n = records[k].sx = records[k].RelCellSum = 0;
    if (period >= 2) {
      carryn.assign(zones + 1, 0.0);
      carrysx.assign(zones + 1, 0.0);
      carryrel.assign(zones + 1, 0.0);
      if (SumsOverPeriod()) {
        summeans.assign(zones + 2, 0.0);
        sumrelfirst.assign(zones + 2, 0.0);
        sumstate.assign(zones + 2, 0);
      }
    }
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: no free memory in zonalstatistik::zonalstatistik " << filename.c_str() << "[end-entry]";
    error = 1;
    return;
  }
  active = true;
  ok = true;
}

void zonalstatistic::Fatal(const std::string& message, int code) {
  *diag << message.c_str() << "[end-entry]";
  throw code;
}

int zonalstatistic::ZoneColumns() const {
  if (type == 2 || type == 4) return zones;
  if (type == 5 || type == 6) return listcount;
  return 0;
}

int zonalstatistic::MpiRank() {
  int rank = 0;
  if (MpiRunning()) MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

void zonalstatistic::Open(const char* mode) {
  file = std::fopen(filename.c_str(), mode);
  if (!file) Fatal("FATAL: error opening \n" + filename, 15);
}

void zonalstatistic::Close() {
  if (!file) return;
  // Buffered output that cannot reach the disk is a write error, not a close error.
  const bool written = std::fflush(file) == 0 && !std::ferror(file);
  const bool closed = std::fclose(file) == 0;
  file = nullptr;
  if (!written) Fatal("FATAL: write error " + filename + " ! (the file system refused the statistics lines)", 18);
  if (!closed) Fatal("FATAL: cannot close " + filename, 16);
}

void zonalstatistic::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = std::vfprintf(file, format, args);
  va_end(args);
  if (result < 0) {
    std::fclose(file);
    file = nullptr;
    Fatal("FATAL: write error " + filename + " ! (the file system refused the statistics lines)", 18);
  }
}

int zonalstatistic::Register(StatRecord* registry, int capacityOfRegistry, const int64_t* date, int slotCount,
                             double* values, double* acc, double* areas, const char* text, int64_t* slotCodes) {
  const int i = FirstFreeStatRecord(registry, capacityOfRegistry);
  if (i < 0) return -1;
  StatRecord& r = registry[i];
  r.year = date;
  r.month = date + 1;
  r.day = date + 2;
  r.hour = date + 3;
  r.slots = slotCount;
  r.values = values;
  r.accumulator = acc;
  r.relativeAreas = areas;
  r.description = text;
  r.codes = slotCodes;
  entered.push_back(&r);
  return i;
}

int zonalstatistic::WriteHeader(const std::string& modelName, const std::string& statisticName, StatRecord* registry,
                                int capacityOfRegistry) {
  if (!active || MpiRank() != 0) return -1;
  IgnoreCtrlC();
  Open("wt");
  const int c = ZoneColumns();
  for (int i = 1; i <= c; ++i) {
    const int k = (type == 2 || type == 4) ? i : columnmap[i];
    current[i] = 0;
    accumulator[i] = 0;
    codes[i] = std::llround(records[k].zonenwert);
    relareas[i] = records[k].rel;
  }
  current[c + 1] = 0;
  accumulator[c + 1] = 0;
  codes[c + 1] = 0;
  relareas[c + 1] = 1.0;
  description = (modelName + "_submodel:" + statisticName).substr(0, kMaxDescription);
  const int record = Register(registry, capacityOfRegistry, lastdate, slots, current.data(), accumulator.data(),
                              relareas.data(), description.c_str(), codes.data());

  Print("YY\tMM\tDD\tHH");
  for (int i = 1; i <= c; ++i) Print("\t\"%.0lf\"", static_cast<double>(codes[i]));
  Print("\ttot_average\n");
  Print("%s\n", description.c_str());
  Print("--\t--\t--\t--");
  for (int i = 1; i <= c; ++i) Print("\t%.7lf", relareas[i]);
  Print("\t1.0000\n");
  Close();
  ResetCtrlCHandler();
  return record;
}

void zonalstatistic::NewStep() {
  if (!active) return;
  ++stepcounter;
  for (int k = 0; k <= zones; ++k) records[k].n = records[k].sx = records[k].RelCellSum = 0;
}

void zonalstatistic::AddCell(int row, int col, int k, double value, double w) {
  if (!active || k < 0 || k > zones) return;
  // A value that is no number is no missing value: a module computed it from
  // invalid input. It is left out like a missing one, and reported.
  if (!std::isfinite(value)) {
    NoteInvalid(row, col, k, value);
    return;
  }
  // Missing cells take no part in any zone sum.
  if (!(value > kNodata)) return;
  AddValue(row, col, k, value, w);
}

void zonalstatistic::AddAmount(int row, int col, int k, double value, double w) {
  if (!active || k < 0 || k > zones) return;
  if (!std::isfinite(value)) {
    NoteInvalid(row, col, k, value);
    return;
  }
  AddValue(row, col, k, value, w);
}

void zonalstatistic::AddValue(int row, int col, int k, double value, double w) {
  ZoneRecord& r = records[k];
  r.n += w;
  // Cells without a valid area value count with area 1.
  if (row >= 1 && row <= rows && col >= 1 && col <= columns && areagrid && areagrid[row] &&
      areagrid[row][col] > kNodata) {
    const double a = areagrid[row][col];
    r.sx += value * a * w;
    r.RelCellSum += a * w;
  } else {
    r.sx += value * w;
    r.RelCellSum += w;
  }
}

void zonalstatistic::NoteInvalid(int row, int col, int k, double value, int64_t count) {
  std::lock_guard<std::mutex> hold(invalidlock);
  const bool first = invalidcount == 0 || row < invalidrow || (row == invalidrow && col < invalidcolumn);
  invalidcount += count;
  if (!first) return;
  invalidrow = row;
  invalidcolumn = col;
  invalidzone = k;
  invalidvalue = value;
}

void zonalstatistic::ReportInvalid(int64_t year, int64_t month, int64_t day, int64_t hour) {
  if (invalidcount == 0) return;
  if (!invalidreported) {
    invalidreported = true;
    const int64_t zoneCode = records ? std::llround(records[invalidzone].zonenwert) : invalidzone;
    *diag << "ERROR: statistics " << filename.c_str() << ": the value " << invalidvalue << " (not a number) of zone "
          << static_cast<long>(zoneCode);
    if (rows > 1 || columns > 1) *diag << " at row " << invalidrow << ", column " << invalidcolumn;
    *diag << " on " << static_cast<long>(day) << "." << static_cast<long>(month) << "." << static_cast<long>(year)
          << " " << static_cast<long>(hour) << " h is left out of the statistics like a missing value ("
          << static_cast<long>(invalidcount)
          << " such values in the step); a module computed it from invalid input (said once for this file)"
          << "[end-entry]";
  }
  invalidcount = 0;
}

void zonalstatistic::AddRecords(void* in, void* inout, int* len, MPI_Datatype* /*datatype*/) {
  const ZoneRecord* a = static_cast<const ZoneRecord*>(in);
  ZoneRecord* b = static_cast<ZoneRecord*>(inout);
  for (int i = 0; i < *len; ++i) {
    b[i].n += a[i].n;
    b[i].sx += a[i].sx;
    b[i].RelCellSum += a[i].RelCellSum;
  }
}

void zonalstatistic::AppendValue(double value) {
  if (column + 1 >= linewidth) return;
  ++column;
  linevalues[(lines - 1) * linewidth + column] = value;
  if (column <= slots) current[column] = value;
}

void zonalstatistic::Reduce(int64_t year, int64_t month, int64_t day, int64_t hour, int reduceFlag) {
  if (!active) return;
  if (reduceFlag > 0 && MpiRunning()) {
    MPI_Datatype recordType;
    MPI_Type_contiguous(5, MPI_DOUBLE, &recordType);
    MPI_Type_commit(&recordType);
    MPI_Op op;
    MPI_Op_create(&zonalstatistic::AddRecords, 1, &op);
    std::vector<ZoneRecord> sum(zones + 1, ZoneRecord{0, 0, 0, 0, 0});
    MPI_Reduce(records, sum.data(), zones + 1, recordType, op, 0, MPI_COMM_WORLD);
    const bool root = MpiRank() == 0;
    for (int k = 0; k <= zones; ++k) {
      records[k].n = root ? sum[k].n : 0;
      records[k].sx = root ? sum[k].sx : 0;
      records[k].RelCellSum = root ? sum[k].RelCellSum : 0;
    }
    MPI_Op_free(&op);
    MPI_Type_free(&recordType);
  }
  ReportInvalid(year, month, day, hour);
  if (MpiRank() != 0) return;

  if (period >= 2 && SumsOverPeriod()) NoteStepOfSum();
  const bool meanOverPeriod = type == 1 || type == 2 || type == 5;
  if (period >= 2) {
    for (int k = 0; k <= zones; ++k) {
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
  if (stepcounter == period) {
    BufferZoneLine(stepdate, 0);
    return;
  }
  if (period >= 2) {
    for (int k = 0; k <= zones; ++k) {
      carryn[k] = records[k].n;
      carrysx[k] = records[k].sx;
      carryrel[k] = records[k].RelCellSum;
    }
  }
}

void zonalstatistic::NoteStepOfSum() {
  // Zones 1 ... zones, then the basin (all zones) at zones + 1.
  double basinsx = 0;
  double basinrel = 0;
  double basinn = 0;
  for (int k = 1; k <= zones + 1; ++k) {
    double n = basinn;
    double sx = basinsx;
    double rel = basinrel;
    if (k <= zones) {
      n = records[k].n;
      sx = records[k].sx;
      rel = records[k].RelCellSum;
      basinn += n;
      basinsx += sx;
      basinrel += rel;
    }
    if (!(n > 0 && rel != 0)) {
      sumstate[k] |= kSumMissing;
      continue;
    }
    summeans[k] += sx / rel;
    if (!(sumstate[k] & kSumStarted)) {
      sumstate[k] |= kSumStarted;
      sumrelfirst[k] = rel;
    } else if (rel != sumrelfirst[k]) {
      sumstate[k] |= kSumAreaVaried;
    }
  }
}

double zonalstatistic::PeriodSum(int k, double sx, double rel) const {
  if (sumstate.empty()) return (rel != 0) ? sx / rel : kNodata;
  const int state = sumstate[k];
  if ((state & kSumMissing) || !(state & kSumStarted)) return kNodata;
  // With the same valid area in every step the sum of the step means is the
  // summed values over that area.
  return (state & kSumAreaVaried) ? summeans[k] : sx / rel;
}

void zonalstatistic::BeginLine(const int64_t* date, int partialSteps) {
  ++lines;
  // (Zeroed when first used, as if zeroed at the start; never beyond the reserve.)
  if (static_cast<int64_t>(linepartial.size()) < lines) {
    linedates.resize(4 * lines, 0);
    linepartial.resize(lines, 0);
    linevalues.resize(lines * linewidth, 0.0);
  }
  int64_t* d = &linedates[4 * (lines - 1)];
  for (int i = 0; i < 4; ++i) d[i] = lastdate[i] = date[i];
  linepartial[lines - 1] = partialSteps;
  column = 0;
}

void zonalstatistic::BufferZoneLine(const int64_t* date, int partialSteps) {
  BeginLine(date, partialSteps);
  double sumsx = 0;
  double sumrel = 0;
  const bool sums = SumsOverPeriod();
  for (int k = 1; k <= zones; ++k) {
    const ZoneRecord& r = records[k];
    // A zone without valid cells, or whose cells have no area, has no mean:
    // 0 would read as a measured value, so the missing value is written.
    double mean = (r.n > 0 && r.RelCellSum != 0) ? r.sx / r.RelCellSum : kNodata;
    if (sums && mean != kNodata) mean = PeriodSum(k, r.sx, r.RelCellSum);
    sumsx += r.sx;
    sumrel += r.RelCellSum;
    if (type == 2 || type == 4) {
      AppendValue(mean);
    } else if ((type == 5 || type == 6) && column < listcount &&
               static_cast<int64_t>(r.zonenwert) == listcodes[column + 1]) {
      AppendValue(mean);
    }
  }
  double total = sumrel > 0 ? sumsx / sumrel : kNodata;
  if (sums && total != kNodata) total = PeriodSum(zones + 1, sumsx, sumrel);
  AppendValue(total);
  EndLine();
}

bool zonalstatistic::RestoreUnfinishedPeriod() {
  // The carry holds what Reduce added up since the last line, with the
  // records of the last step as Reduce left them.
  if (!active || !ok || period < 2 || stepcounter <= 0 || stepcounter >= period) return false;
  if (carryn.empty()) return false;
  for (int k = 0; k <= zones; ++k) {
    records[k].n = carryn[k];
    records[k].sx = carrysx[k];
    records[k].RelCellSum = carryrel[k];
  }
  return true;
}

void zonalstatistic::EndLine() {
  // A line is complete: the next period starts from nothing.
  if (period >= 2) {
    std::fill(carryn.begin(), carryn.end(), 0.0);
    std::fill(carrysx.begin(), carrysx.end(), 0.0);
    std::fill(carryrel.begin(), carryrel.end(), 0.0);
    std::fill(summeans.begin(), summeans.end(), 0.0);
    std::fill(sumstate.begin(), sumstate.end(), 0);
  }
  stepcounter = 0;
  if (lines >= capacity) Flush();
}

void zonalstatistic::Flush() {
  if (!active || lines == 0) return;
  IgnoreCtrlC();
  Open("a+");
  for (int64_t l = 0; l < lines; ++l) {
    const int64_t* date = &linedates[4 * l];
    Print("%2ld\t%2ld\t%2ld\t%2ld", static_cast<long>(date[0]), static_cast<long>(date[1]), static_cast<long>(date[2]),
          static_cast<long>(date[3]));
    const double* values = &linevalues[l * linewidth];
    for (int j = 1; j <= column; ++j) {
      if (precision >= 99)
        Print("\t%.6g", values[j]);
      else
        Print("\t%.*f", precision, values[j]);
    }
    if (linepartial[l] > 0) Print("\t# partial: %d of %d steps", linepartial[l], period);
    Print("\n");
  }
  Close();
  *diag << "write " << filename.c_str() << "(" << static_cast<long>((column * 8 + 32) * lines) << " of "
        << static_cast<long>(kBufferBytes) << " buffer-bytes)"
        << "[end-entry]";
  RearmCtrlCHandler();
  lines = 0;
  column = 0;
}

void zonalstatistic::Finish() {
  if (MpiRank() == 0 && RestoreUnfinishedPeriod()) BufferZoneLine(stepdate, stepcounter);
  if (active && lines > 0 && ok) Flush();
  active = false;
  for (StatRecord* r : entered) *r = StatRecord{};
  entered.clear();
  std::vector<int64_t>().swap(linedates);
  std::vector<int>().swap(linepartial);
  std::vector<double>().swap(linevalues);
  std::vector<double>().swap(current);
  std::vector<double>().swap(accumulator);
  std::vector<double>().swap(relareas);
  std::vector<int64_t>().swap(codes);
  std::vector<int>().swap(columnmap);
  std::vector<double>().swap(carryn);
  std::vector<double>().swap(carrysx);
  std::vector<double>().swap(carryrel);
  std::vector<double>().swap(summeans);
  std::vector<double>().swap(sumrelfirst);
  std::vector<unsigned char>().swap(sumstate);
}
