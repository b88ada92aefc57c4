#include "routing/routingclass.h"

#include <algorithm>
#include <cmath>

#include "framework/diagstream.h"
#include "routing/elementfile.h"

void RoutingTables::Allocate(int tracers, int intervals, int subbasins, int inflows, int abstractions) {
  nTracers = tracers;
  subIntervals = intervals;
  nSubbasins = subbasins;
  inflowEntryBase = subbasins;
  // Room for every inflow number and the entries that abstractions may address.
  nEntries = subbasins + inflows + abstractions + 3;
  runoff.assign(tracers + 1, std::vector<double>(nEntries, 0.0));
  subInterval.assign(static_cast<size_t>(tracers + 1) * (intervals + 1) * nEntries, 0.0);
  history.assign(tracers + 1, std::vector<std::vector<double>>(nEntries));
  maxirrig.assign(tracers + 1, std::vector<double>(nEntries, 0.0));
  maxirrigFromReservoirs.assign(tracers + 1, std::vector<double>(nEntries, 0.0));
  maxirrigRows.assign(tracers + 1, nullptr);
  maxirrigFromReservoirsRows.assign(tracers + 1, nullptr);
  routedBy.assign(subbasins + 1, 0);
  withdrawn.assign(nEntries, 0);
  if (zoneRel.size() != static_cast<size_t>(subbasins) + 1) zoneRel.assign(subbasins + 1, 0.0);
  for (int t = 0; t <= tracers; ++t) {
    maxirrigRows[t] = maxirrig[t].data();
    maxirrigFromReservoirsRows[t] = maxirrigFromReservoirs[t].data();
  }
}

routingclass::routingclass(int& error, DiagStream* diagnostics, const std::string& controlFileName,
                           const ModelObjectArgs& args, int subbasinCode, double area, double relative, int tributaries,
                           int sumTributaries, int ampersands, int inflows, int abstractions, int reservoirs,
                           double step, int intervals, int startMode, RoutingTables* shared, TracerRecord* records)
    : modelobject(diagnostics, controlFileName, 0, args) {
  error = 0;
  modulname = "routingmodel";
  code = subbasinCode;
  areaCtrl = area;
  relArea = relative;
  nTributaries = tributaries;
  nSumTributaries = sumTributaries;
  nAmpersands = ampersands;
  nInflows = inflows;
  nAbstractions = abstractions;
  nReservoirs = reservoirs;
  dt = step;
  subIntervals = intervals;
  startValueMode = startMode;
  tables = shared;
  tracerRecords = records;
  nTracers = shared->nTracers;
  try {
    const int channels = Channels();
    areaShares.assign(channels + ampersands + 1, 0.0);
    tributaryCodes.assign(channels + 1, 0);
    tributaryCodes[0] = code;
    sumTributaryLists.assign(channels + 1, std::vector<int>());
    params.assign(channels + 1, ChannelParameters());
    qmin.assign(channels + 1, 0.0);
    qmax.assign(channels + 1, 0.0);
    nIntervals.assign(channels + 1, 0.0);
    logStep.assign(channels + 1, 0.0);
    wqtab.assign(channels + 1, WQTable());
    inflowCodes.assign(inflows + 1, 0);
    inflowModes.assign(inflows + 1, 0);
    inflowColumns.assign(inflows + 1, 0);
    inflowValues.assign(nTracers + 1, std::vector<double>(inflows + 1, 0.0));
    inflowFileNames.assign(inflows + 1, std::string());
    inflowNoted.assign(inflows + 1, 0);
    for (int j = 0; j <= inflows; ++j) inflowFiles.push_back(std::make_unique<timeseriesfile>());
    channelFlow.assign(nTracers + 1, std::vector<double>(subIntervals + 1, 0.0));
    outletFlow.assign(nTracers + 1, std::vector<double>(subIntervals + 1, 0.0));
    decay.assign(nTracers + 1, 1.0);
    scratch.assign(2 * (static_cast<size_t>(nTracers) + 1), 0.0);
    feeding.reserve(16);
    areaFeeding.reserve(16);
    for (int i = 1; i <= channels; ++i) allChannels.push_back(i);
    exchange.assign(nTracers + 1, 0.0);
    abstractionTargets.assign(abstractions + 1, 0);
    abstractionList.assign(abstractions + 1, nullptr);
    this->abstractions.resize(abstractions + 1);
    for (int a = 1; a <= abstractions; ++a) {
      this->abstractions[a] = std::make_unique<AL_class>();
      abstractionList[a] = this->abstractions[a].get();
    }
    reservoirCodes.assign(reservoirs + 1, 0);
    this->reservoirs.resize(reservoirs + 1);
    for (int k = 1; k <= reservoirs; ++k) this->reservoirs[k] = std::make_unique<SP_class>();
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: routing: memory allocation error " << 0 << " (routing subbasin " << code << ")"
          << "[end-entry]";
    error = 1;
  }
}

void routingclass::Fail(const std::string& message, int errorCode) {
  *diag << message.c_str() << "[end-entry]";
  throw errorCode;
}

int routingclass::ChannelEntry(int i) const {
  if (i <= nTributaries + nSumTributaries) return tables->EntryOf(tributaryCodes[i]);
  return tables->inflowEntryBase + inflowCodes[i - nTributaries - nSumTributaries];
}

void routingclass::FeedingEntries(int i, std::vector<int>& entries) const {
  entries.clear();
  const std::vector<int>& list = sumTributaryLists[i];
  if (!list.empty())
    for (int m = 1; m <= list[0]; ++m) entries.push_back(tables->EntryOf(list[m]));
  entries.push_back(ChannelEntry(i));
}

void routingclass::SetInflow(int channel, int number, int mode, const std::string& fileName, int startRow, int column,
                             int64_t year, int64_t month, int64_t day, int64_t hour, double value,
                             const int64_t* endDate) {
  const int j = channel - nTributaries - nSumTributaries;
  inflowCodes[j] = number;
  inflowModes[j] = mode;
  if (mode != 4) {
    // "intern" (3) receives its flow from an abstraction during the step.
    inflowValues[0][j] = value;
    return;
  }
  inflowFileNames[j] = fileName;
  timeseriesfile& f = *inflowFiles[j];
  int opened = 0;
  try {
    opened = f.Open(fileName, 0, 100000);
  } catch (int) {
    opened = timeseriesfile::kFormatError;
  }
  if (f.GetState() == timeseriesfile::kCannotOpen || f.GetState() == timeseriesfile::kFormatError) {
    (void)opened;
    Fail("FATAL: error opening " + fileName + " for inflow " + std::to_string(j) +
             (f.ErrorText().empty() ? std::string() : " (" + f.ErrorText() + ")"),
         37);
  }
  // The start row counts from the first data row, which the reader stands on.
  int reached = 0;
  for (; reached < startRow; ++reached) {
    f.Next();
    if (f.GetState() == timeseriesfile::kPastEnd || f.GetState() == timeseriesfile::kFormatError) {
      Fail("FATAL: error searching in " + fileName + " for row " + std::to_string(startRow) +
               "\nactual reached row: " + std::to_string(reached),
           38);
    }
  }
  f.SeekRelative(-1);
  for (;;) {
    f.Next();
    if (f.GetState() == timeseriesfile::kPastEnd || f.GetState() == timeseriesfile::kFormatError) {
      Fail("FATAL: starting date " + std::to_string(day) + "." + std::to_string(month) + "." + std::to_string(year) +
               ", " + std::to_string(hour) + ". h in " + fileName + " not found (search started at row " +
               std::to_string(startRow) + ")",
           38);
    }
    int y, m, d, h;
    f.GetDate(y, m, d, h);
    if (y < 1000) y += 1900;
    if (y == year && m == month && d == day && h == hour) break;
  }
  // Column 5 is the first value column; the tracers follow the flow.
  if (column < 5 || f.GetColumns() < nTracers + column - 4) {
    Fail("FATAL: there is not the required number of columns in " + fileName + " for reading ZL[" + std::to_string(j) +
             "] and the follwoing " + std::to_string(nTracers) + " tracer values starting from column " +
             std::to_string(column),
         38);
  }
  // A file that ends before the run, or skips a step, ends the run now
  // rather than when the step without a record comes.
  if (endDate && endDate[1] > 0) {
    const int64_t start[4] = {year, month, day, hour};
    elementfile::CheckSeriesCoversRun(diag, fileName,
                                      "inflow ZL " + std::to_string(number) + " of subbasin " + std::to_string(code),
                                      dt, start, endDate);
  }
  inflowColumns[j] = column;
  for (int t = 0; t <= nTracers; ++t) {
    const double x = f.GetValue(column - 5 + t);
    inflowValues[t][j] = x > -9998 ? x : 0.0;
  }
  NoteInflowFlow(j, f.GetValue(column - 5), year, month, day, hour);
}

void routingclass::NoteInflowFlow(int j, double x, int64_t year, int64_t month, int64_t day, int64_t hour) {
  // A negative flow withdraws water from the river at the outlet; a missing one
  // (not above -9998) brings none. Each is said once per series.
  const int kind = x > -9998 ? (x < 0 ? 1 : 0) : 2;
  if (kind == 0 || (inflowNoted[j] & kind)) return;
  inflowNoted[j] |= kind;
  *diag << "WARNING: inflow ZL " << inflowCodes[j] << " of subbasin " << code << ": " << inflowFileNames[j]
        << (kind == 1 ? " holds the negative flow " + std::to_string(x) + " [m3/s]"
                      : std::string(" holds no flow (nodata)"))
        << " for " << day << "." << month << "." << year << ", " << hour << ". h"
        << (kind == 1
                ? ": a negative flow of the series withdraws that water from the river at the subbasin's outlet (at "
                  "most the water it holds)"
                : ": a step without a flow of the series brings no water")
        << " (said once for the series)"
        << "[end-entry]";
}

void routingclass::ReadInflows(int64_t year, int64_t month, int64_t day, int64_t hour) {
  for (int j = 1; j <= nInflows; ++j) {
    if (inflowModes[j] != 4) continue;
    timeseriesfile& f = *inflowFiles[j];
    const std::string& name = inflowFileNames[j];
    if (f.GetState() == timeseriesfile::kPastEnd || f.GetState() == timeseriesfile::kFormatError ||
        f.GetState() == timeseriesfile::kCannotOpen) {
      Fail("FATAL: error reading from " + name + " (or from its buffer) for inflow " + std::to_string(j) +
               "\nreached end of file!",
           39);
    }
    int y, m, d, h;
    f.GetDate(y, m, d, h);
    if (y < 1000) y += 1900;
    if (y != year || m != month || d != day || h != hour) {
      Fail("FATAL: error comparing dates in " + name + ":\n     read: " + std::to_string(d) + "." + std::to_string(m) +
               "." + std::to_string(y) + ", " + std::to_string(h) + ". h,\nshould be: " + std::to_string(day) + "." +
               std::to_string(month) + "." + std::to_string(year) + ", " + std::to_string(hour) + ". h.\n",
           36);
    }
    const int channel = nTributaries + nSumTributaries + j;
    const int e = tables->inflowEntryBase + inflowCodes[j];
    for (int t = 0; t <= nTracers; ++t) {
      const double x = f.GetValue(inflowColumns[j] - 5 + t);
      inflowValues[t][j] = x > -9998 ? x : 0.0;
    }
    NoteInflowFlow(j, f.GetValue(inflowColumns[j] - 5), year, month, day, hour);
    inflowValues[0][j] = M3sToMm(inflowValues[0][j], params[channel].AE);
    for (int t = 0; t <= nTracers; ++t) tables->runoff[t][e] = inflowValues[t][j];
    f.Next();
  }
}

void routingclass::CheckArea() {
  std::vector<double>& cells = tables->abfrel[0];
  const int own = tables->EntryOf(code);
  areaShares[0] = cells[own];
  double S = areaShares[0];
  for (int j = 1; j <= nTributaries; ++j) {
    const int e = tables->EntryOf(tributaryCodes[j]);
    areaShares[j] = e == own ? 0.0 : cells[e];
    S += areaShares[j];
  }
  for (int j = nTributaries + 1; j <= nTributaries + nSumTributaries; ++j) {
    std::vector<int> entries;
    FeedingEntries(j, entries);
    areaShares[j] = 0;
    for (int e : entries) areaShares[j] += cells[e];
    S += areaShares[j];
  }
  // A routing subbasin without any area gets no shares rather than a division by 0.
  for (int j = 0; j <= nTributaries + nSumTributaries; ++j) areaShares[j] = S > 0 ? areaShares[j] / S * relArea : 0.0;
  cells[own] = S;
  tables->abfrel[1][own] = relArea;
  if (cells[0] > 0) {
    const double A = cells[0] * S;
    if (std::fabs(A - areaCtrl) > 0.001) {
      *diag << "INFO: Basin " << code << ": area in contr.file: " << areaCtrl << " <-> zone-grid " << A
            << " (adjusted to the latter)"
            << "[end-entry]";
      // Every abstraction keeps its minimum and capacity in m3/s.
      for (int a = 1; a <= nAbstractions; ++a) abstractions[a]->CorrectArea(areaCtrl, A);
      areaCtrl = A;
    }
  }
  // Depths are routed over areaCtrl / relArea.
  if (!(areaCtrl > 0))
    Fail("FATAL: the area of subbasin " + std::to_string(code) +
             " is given as 0 on its TG line, and its subbasins hold no cell of the zone grid to take it from",
         17);
}

void routingclass::InitFlowArrays() {
  // Inflows enter the runoff table in mm per step.
  for (int j = 1; j <= nInflows; ++j) {
    const int channel = nTributaries + nSumTributaries + j;
    const int e = tables->inflowEntryBase + inflowCodes[j];
    tables->runoff[0][e] = M3sToMm(inflowValues[0][j], params[channel].AE);
    for (int t = 1; t <= nTracers; ++t) tables->runoff[t][e] = inflowValues[t][j];
  }
  FillQueues();
}

double routingclass::StartFlow(int i, int e, int t) const {
  const double x = tables->runoff[t][e];
  const int j = i - nTributaries - nSumTributaries;
  if (t != 0 || j < 1) return x;
  // A negative inflow withdraws at the outlet (Route): its channel starts
  // without water. An internal inflow holds m3/s until it is routed.
  return std::max(0.0, inflowModes[j] == 3 ? M3sToMm(x, params[i].AE) : x);
}

void routingclass::FillQueues() {
  const auto* window = tables->observedWindow;
  const auto* columns = tables->observedColumn;
  try {
    for (int i = 1; i <= Channels(); ++i) {
      FeedingEntries(i, feeding);
      const size_t size = static_cast<size_t>(wqtab[i].nStorageElements) + subIntervals + 1;
      for (int e : feeding) {
        int column = 0;
        if (startValueMode == 1 && e <= tables->inflowEntryBase && columns && window && !window->empty())
          column = (*columns)[e];
        for (int t = 0; t <= nTracers; ++t) {
          std::vector<double>& h = tables->history[t][e];
          // An entry that feeds two channels keeps the longer queue.
          if (h.size() < size) h.resize(size, 0.0);
          // A missing (negative) observation leaves the simulated start.
          const double observed = column > 0 ? ObservedDepth((*window)[10][column], e) : -1.0;
          // (The observed water carries the simulated concentrations.)
          const double start = observed >= 0 && t == 0 ? observed : StartFlow(i, e, t);
          std::fill(h.begin() + 1, h.begin() + static_cast<long>(size), start);
        }
      }
    }
  } catch (const std::bad_alloc&) {
    Fail("FATAL: error allocating memory for flow-arrays", 1);
  }
}

void routingclass::FreeMemory() {
  // The remaining rows of the reservoir and abstraction tables go first, so
  // that a failing write ends with an entry of its own.
  FlushOutputs();
  *diag << " free memory TG " << code;
  for (int i = 1; i <= Channels(); ++i) {
    if (i <= nTributaries + nSumTributaries) {
      *diag << ", OL " << i << " (Subb. " << tributaryCodes[i];
      const std::vector<int>& list = sumTributaryLists[i];
      if (!list.empty())
        for (int m = 1; m <= list[0]; ++m) *diag << ", " << list[m];
      *diag << ")";
    } else {
      *diag << ", (only ZL's)";
    }
    wqtab[i] = WQTable();
  }
  *diag << ", --> ZLs...";
  for (int j = 1; j <= nInflows; ++j) {
    *diag << " " << inflowCodes[j] << ",";
    inflowFiles[j]->Clear();
  }
  inflowFiles.clear();
  *diag << ", --> ALs...";
  for (int a = 1; a <= nAbstractions; ++a) *diag << " " << abstractionTargets[a] << ",";
  abstractions.clear();
  abstractionList.clear();
  *diag << ", --> SPs...";
  for (int k = 1; k <= nReservoirs; ++k) {
    *diag << " " << reservoirCodes[k];
    reservoirs[k]->FreeMemory();
  }
  reservoirs.clear();
  nAbstractions = nReservoirs = 0;
  *diag << " Rest...";
  modelobject::FreeMemory();
  *diag << " ok"
        << "[end-entry]";
}

int routingclass::MaxStorageElements(int value) {
  for (int i = 1; i <= Channels(); ++i) value = std::max(value, wqtab[i].nStorageElements);
  return value;
}

double routingclass::GetMaxValue(const double* v) {
  double m = v[1];
  for (int j = 2; j <= subIntervals; ++j) m = std::max(m, v[j]);
  return m;
}

double routingclass::WeightedByAbs(double a, double b, double x, double y) {
  const double s = std::fabs(x) + std::fabs(y);
  return s == 0 ? 0.0 : (b * std::fabs(y) + a * std::fabs(x)) / s;
}
