#include "routing/abfluss.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "framework/diagstream.h"

abflussmodellklasse::abflussmodellklasse(int& error, DiagStream* diagnostics, StatRecord* statRegistry,
                                         int statCapacity, const std::string& workFileName, const SubModelArgs& common,
                                         int tracerCount, TracerRecord* tracerRecords, int storageReadParameter,
                                         int subSteps, const int64_t* runEnd)
    : teilmodellklasse(diagnostics, "routing_model", workFileName, 0, common, subSteps, false) {
  error = 0;
  switchedOn = flowcontrol != 0;
  readStorageState = storageReadParameter;
  lakes.tracerCount = std::max(0, tracerCount);
  lakes.evaporating.assign(static_cast<size_t>(lakes.tracerCount) + 1, false);
  for (int i = 1; i <= lakes.tracerCount && tracerRecords; ++i) lakes.evaporating[i] = tracerRecords[i].evaporating == 1;
  if (mpirank != 0) {
    // Only instance 0 routes; the others remember that routing is configured.
    routingConfigured = flowcontrol;
    flowcontrol = 0;
    controlfile.Close();
    return;
  }
  routingConfigured = 1;
  if (flowcontrol == 0) return;
  startDate[0] = common.endYear;
  startDate[1] = common.endMonth;
  startDate[2] = common.endDay;
  startDate[3] = common.endHour;
  if (runEnd)
    for (int i = 0; i < 4; ++i) endDate[i] = runEnd[i];
  tracercount = tracerCount;
  tracers = tracerRecords;
  registry = statRegistry;
  registryCapacity = statCapacity;
  try {
    Construct(statRegistry, statCapacity);
  } catch (int code) {
    error = code;
  } catch (const std::bad_alloc&) {
    *diag << "FATAL: routing: memory allocation error 1 (routing model)"
          << "[end-entry]";
    error = 1;
  } catch (...) {
    error = 103;
  }
  if (error != 0) {
    controlfile.Close();
    ReleaseLakeGrid();
  }
}

abflussmodellklasse::~abflussmodellklasse() {
  ReleaseLakeGrid();
  FreeLakeCopies();
  ReleaseLakeConcentrations();
}

void abflussmodellklasse::ReleaseLakeGrid() {
  if (!precOnLakes) return;
  UnregisterGrid(precOnLakesPosition);
  FreeMatrix(precOnLakes, 1, nrows, 1, ncols);
  precOnLakes = nullptr;
}

void abflussmodellklasse::Fail(const std::string& message, int code) {
  *diag << message.c_str() << "[end-entry]";
  throw code;
}

void abflussmodellklasse::Construct(StatRecord* statRegistry, int statCapacity) {
  *diag << "file abfluss, compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  const int n = zonecount;
  tables.codeToEntry = zoneindex;
  tables.maxCode = maxzonecode;
  tables.outputDirectory = DefaultOutputDirectory;
  tables.nTracers = tracercount;
  tables.nSubbasins = n;
  for (int r = 0; r < 2; ++r) tables.abfrel[r].assign(n + 1, r == 0 ? 0.0 : 1.0);
  for (int s = 0; s <= n; ++s) tables.abfrel[0][s] = zonerecords[s].rel;
  routingTarget[0].assign(2 * n + 1, 0);
  routingTarget[1].assign(n + 1, 0);
  routingTarget[2].assign(n + 1, 0);
  observedColumn.assign(n + 1, 0);
  sumTribList.assign(10, 0);
  startValueMode = flowcontrol == 2 ? 1 : 0;

  ReadSectionHead();
  CountDescriptions();
  *diag << "number inbetween areas (routings)    : " << nRoutings << "[end-entry]";
  *diag << "number tributaries  total      (OL)  : " << totalOL + totalAmpersand + totalSUMTRIB << "[end-entry]";
  *diag << " - flowing into another at the end   : " << totalOL << "[end-entry]";
  *diag << " - flowing into another at the start : " << totalAmpersand + totalSUMTRIB << "[end-entry]";
  *diag << "so the total of routingchannels is   : " << totalOL + totalSUMTRIB << "[end-entry]";
  *diag << "number of inflows              (ZL)  : " << totalZL << "[end-entry]";
  *diag << "number of abstractions         (AL)  : " << totalAL << "[end-entry]";
  *diag << "number reservoirs              (SP)  : " << totalSP << "[end-entry]";

  int error = 0;
  InitTracerOutputs(error, tracercount, tracers, statRegistry, statCapacity);
  if (error != 0) throw error;
  tables.Allocate(tracercount, subIntervals, n, totalZL, totalAL);
  tables.zoneRel.assign(n + 1, 0.0);
  for (int s = 0; s <= n; ++s) tables.zoneRel[s] = zonerecords[s].rel;
  routings.clear();
  routings.emplace_back(nullptr);

  ReadLakeGrid("[lake_model]");
  precOnLakesPosition = FreeGridPosition();
  precOnLakes = matrix(1, nrows, 1, ncols, 0);
  RegisterGrid(precOnLakesPosition, "PrecOnLakes", precOnLakes, nullptr, 0, "PrecOnLakes", 0, 1, nrows);

  // The descriptions once more, now building the network.
  FindSection(sectionheader, true);
  std::string skipped;
  for (int k = 0; k < 7 + nColumnDescriptors; ++k) {
    if (!controlfile.GetLine(skipped))
      Fail("FATAL: error searching the second time for routing descriptions\nthe first run was ok., but not the second",
           38);
  }
  efficiencySums.assign(kEfficiencyShifts, std::vector<EfficiencyRecord>(n + 1, EfficiencyRecord{0, 0, 0, 0, 0, 0}));
  efficiencyLogSums = efficiencySums;
  BuildDescriptions();
  tables.routedBy = routingTarget[2];

  // Statistics of the routed discharge, on a copy of the subbasin records
  // whose sums the writer may reset each step.
  statisticRecords.assign(zonerecords, zonerecords + n + 1);
  int statError = 0;
  dischargeStatistics = std::make_unique<routstatistic>(
      statError, diag, statRegistry, statCapacity, nullptr, nrows, ncols, statisticRecords.data(),
      tables.abfrel[0].data(), n, qstatCode, 5, qstatFileName, DefaultOutputDirectory, outputlistcount, outputlist);
  if (statError != 0) throw statError;

  if (FindSection("[output_interval]", false)) {
    std::string line;
    controlfile.GetLine(line);
    controlfile.GetLine(line);
    if (controlfile.Scan("%d", {&dischargeUnit}) != 1) dischargeUnit = 0;
    controlfile.RestOfLine(line);
  }
  // Observed discharge, compared with the routed one, is given in its unit.
  tables.observedUnit = dischargeUnit;
  const char* header = dischargeUnit == 0   ? "routed discharge [mm per subbasin] "
                       : dischargeUnit == 1 ? "routed discharge [ m3 per sec ] "
                                            : "routed discharge (unknown measure)";
  dischargeStatistics->WriteHeader(modulname, header, statRegistry, statCapacity);

  OpenObservedFile();
  if (!controlfile.Close()) Fail("FATAL: error closing " + controlfilename, 11);
}

void abflussmodellklasse::ReadSectionHead() {
  const int read = controlfile.Scan("%lf%lf%lf%d", {&qmin, &qmax, &nIntervals, &subIntervals});
  // The line the values stand on (or where reading them stopped).
  const std::string at = " (" + controlfile.Where() + ")";
  auto where = [&]() { return at; };
  if (read != 4) {
    Fail(
        "FATAL: values for min/max specific discharge and/or discharge and time interval splitting   \nnot found "
        "in control file" +
            where(),
        17);
  }
  controlfile.RestOfLine(linebuffer);
  // qmin and qmax are divisors and logarithm arguments, the counts loop
  // bounds; a table from qmin down to a smaller qmax has its classes upside
  // down (every discharge would fall into class 1).
  if (!(qmin > 0) || !(qmax > 0) || !std::isfinite(qmax) || !(qmin <= qmax) || !(nIntervals >= 1) ||
      nIntervals > 100000 || subIntervals < 1 || subIntervals > 100000) {
    Fail(
        "FATAL: values for min/max specific discharge and/or discharge and time interval splitting   \nnot valid "
        "in control file" +
            where() + ": qmin " + std::to_string(qmin) + " and qmax " + std::to_string(qmax) +
            " [l/s/km2] must be greater than 0 and qmin not above qmax, the number of discharge intervals (" +
            std::to_string(nIntervals) + ") and of time sub-intervals (" + std::to_string(subIntervals) +
            ") at least 1",
        17);
  }
  ReadValues2(controlfile, "%s%d", &qstatFileName, &qstatCode, "name of the Qstatfiles for ", linebuffer);
  ReadValue(controlfile, "%s", &observedFileName, "name of spec.discharge files for ", linebuffer);
  ReadValue(controlfile, "%d", &nColumnDescriptors, "number column descriptors for", linebuffer);
  if (nColumnDescriptors < 0) {
    Fail("FATAL: number column descriptors for " + modulname + " is " + std::to_string(nColumnDescriptors) +
             "; it must not be negative (" + controlfile.Where() + ")",
         17);
  }
  for (int k = 0; k < nColumnDescriptors; ++k) {
    int code = 0, column = 0;
    if (controlfile.Scan("%d", {&code}) != 1)
      Fail("FATAL: error reading a subbasin index for column indexing in routing model (descriptor " +
               std::to_string(k + 1) + ", " + controlfile.Where() + ")",
           17);
    if (controlfile.Scan("%d", {&column}) != 1)
      Fail("FATAL: error reading a column number for column indexing in routing model (descriptor " +
               std::to_string(k + 1) + ", " + controlfile.Where() + ")",
           17);
    const int s = tables.EntryOf(code);
    if (s < 1)
      Fail(
          "FATAL: error reading a subbasin index for column indexing in routing model: there is no subbasin with "
          "code " +
              std::to_string(code) + " (" + controlfile.Where() + ")",
          17);
    if (column < 0)
      Fail("FATAL: error reading a column number for column indexing in routing model: column " +
               std::to_string(column) + " for subbasin " + std::to_string(code) + " (" + controlfile.Where() + ")",
           17);
    observedColumn[s] = column;
  }
  if (nColumnDescriptors > 0) controlfile.RestOfLine(linebuffer);
  ReadValue(controlfile, "%d", &rsquareOffset, "Zeitoffset fuer Beginn der R-square-Berechnung fuer ", linebuffer);
}

void abflussmodellklasse::OpenObservedFile() {
  observedFile = std::make_unique<timeseriesfile>();
  const std::string name = observedFileName;
  auto formatError = [&]() {
    Fail("FATAL: error analysing or reading " + name + " at row " + std::to_string(observedFile->GetCursor() + 1) +
             " or before \n(e.g. due to wrong formatting or wrong number of columns or start date not found)" +
             (observedFile->ErrorText().empty() ? std::string() : " (" + observedFile->ErrorText() + ")"),
         203);
  };
  try {
    observedFile->Open(name, 0, 1000000);
  } catch (int) {
    formatError();
  }
  if (observedFile->GetState() == timeseriesfile::kCannotOpen) {
    *diag << "INFO: error opening " << name.c_str()
          << "\nRouting will be done without comparison to observed discharge data!"
          << "[end-entry]";
    observedRowsPastEnd = 10;
    observedFile.reset();
    // Without observations the channels start from the simulated runoff.
    startValueMode = 0;
    return;
  }
  if (observedFile->GetState() == timeseriesfile::kFormatError) formatError();
  observedOpen = true;
  nObservedColumns = static_cast<int>(observedFile->GetColumns());
  for (int& c : observedColumn)
    if (c > nObservedColumns) c = 0;
  observedWindow.assign(21, std::vector<double>(nObservedColumns + 1, 0.0));
  // Rows 10 to 20 hold the observations of the start date and the ten
  // steps after it, each taken by its date.
  observedFile->Seek(-1);
  observedFile->Next();
  if (observedFile->GetState() == timeseriesfile::kFormatError) formatError();
  std::copy(startDate, startDate + 4, observedRowDate);
  for (int row = 10; row <= 20; ++row) {
    if (row > 10) NextObservedDate();
    FillObservedRow(observedWindow[row]);
  }
  for (int row = 0; row < 10; ++row) observedWindow[row] = observedWindow[10];
  tables.observedWindow = &observedWindow;
  tables.observedColumn = &observedColumn;
}

void abflussmodellklasse::InitTracerOutputs(int& error, int count, TracerRecord* records, StatRecord* statRegistry,
                                            int capacity) {
  if (flowcontrol == 0) return;
  tracercount = count;
  tracers = records;
  tracerOutputs.clear();
  tracerOutputs.resize(count + 1);
  for (int i = 1; i <= count; ++i) {
    // The per-step decay factor of the record belongs to the soil and surface
    // models' step; the routing computes its own along each channel's delay.
    const TracerRecord& r = records[i];
    TracerOutput& out = tracerOutputs[i];
    out.records.assign(zonerecords, zonerecords + zonecount + 1);
    for (ZoneRecord& z : out.records) z.n = z.sx = 0;
    char name[1201];
    std::snprintf(name, sizeof name, "%s%.3s%.5s.%.3s", r.path.c_str(), r.name.c_str(), modulname.c_str(),
                  r.statext.c_str());
    out.name = name;
    int e = 0;
    // Nine decimals: the load that leaves a subbasin in a step is its
    // discharge times this concentration, and five (a concentration near 2
    // rounded by up to 2.5e-6 of it) put a run of a few long steps off the
    // tracer that entered by several 1e-6 of it.
    out.writer = std::make_unique<zonalstatistic>(e, diag, statRegistry, capacity, nullptr, nrows, ncols,
                                                  out.records.data(), zonecount, r.statcode, 9, out.name,
                                                  DefaultOutputDirectory, outputlistcount, outputlist);
    if (e != 0) {
      error = e;
      return;
    }
    char title[300];
    std::snprintf(title, sizeof title, "tracer concentration for tracer %d (%s) ", i, r.name.c_str());
    out.writer->WriteHeader(modulname, title, statRegistry, capacity);
  }
}

void abflussmodellklasse::FreeTracerBuffers() {
  for (TracerOutput& out : tracerOutputs) {
    if (out.writer) out.writer->Finish();
    out.writer.reset();
  }
  tracerOutputs.clear();
}

int abflussmodellklasse::CountSubstrings(const std::string& text, const std::string& pattern) {
  if (pattern.empty()) return 0;
  int count = 0;
  for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) ++count;
  return count;
}

void abflussmodellklasse::StorageContentMismatch(const std::string& what, double control, double stored) {
  *diag << "FATAL: error in storage file content reading " << what.c_str()
        << ":\nvalue in actual control is:   " << control << "\nbut value in storage file is: " << stored
        << "\nFluvex throws..."
        << "[end-entry]";
  throw 72;
}

void abflussmodellklasse::SetDischarges(double** runoff) {
  if (flowcontrol == 0) return;
  if (!runoff) {
    Fail(
        "FATAL: No valid discharges for discharge routing!\nYou have to run the model including at least "
        "precipitation interpolation and soil model\nif discharges are wished.",
        43);
  }
  runoffInput = runoff;
}

void abflussmodellklasse::SetDischarges(double* runoff) {
  if (flowcontrol == 0) return;
  if (!runoff) {
    SetDischarges(static_cast<double**>(nullptr));
    return;
  }
  runoffRows.assign(tracercount + 1, nullptr);
  for (int t = 0; t <= tracercount; ++t) runoffRows[t] = runoff + static_cast<size_t>(t) * (zonecount + 1);
  SetDischarges(runoffRows.data());
}

void abflussmodellklasse::SetRiverflowTable(RiverflowTable* table) {
  // Every instance of a run with routing keeps the table: the river flows
  // routed on instance 0 are shared with all of them each step.
  if (!switchedOn) return;
  riverflowTable = table;
  if (flowcontrol == 0) return;
  for (int k = 1; k <= nRoutings; ++k) routings[k]->LinkRiverflowTable(table, k);
}

int** abflussmodellklasse::GetRoutingTarget() {
  if (flowcontrol == 0) return nullptr;
  for (int r = 0; r < 3; ++r) routingTargetRows[r] = routingTarget[r].data();
  return routingTargetRows;
}

double** abflussmodellklasse::GetRoutingDischarge() {
  if (flowcontrol == 0) return nullptr;
  for (int r = 0; r < 2; ++r) abfrelRows[r] = tables.abfrel[r].data();
  return abfrelRows;
}

int abflussmodellklasse::SetValueIfActive(int value) {
  if (flowcontrol != 0) dischargeUnit = value;
  return flowcontrol;
}

void abflussmodellklasse::SetSubbasinTable(ZoneRecord* table) {
  if (flowcontrol == 0) return;
  tables.irrigationRecords = table;
}

double** abflussmodellklasse::GetMaxIrrigation() {
  return flowcontrol == 0 ? nullptr : tables.maxirrigRows.data();
}

double** abflussmodellklasse::GetMaxIrrigationFromReservoirs() {
  return flowcontrol == 0 ? nullptr : tables.maxirrigFromReservoirsRows.data();
}

void abflussmodellklasse::FlushOutputs() {
  if (flowcontrol == 0) return;
  if (dischargeStatistics) dischargeStatistics->Flush();
  for (TracerOutput& out : tracerOutputs)
    if (out.writer) out.writer->Flush();
  for (int k = 1; k <= nRoutings && k < static_cast<int>(routings.size()); ++k) routings[k]->FlushOutputs();
}

void abflussmodellklasse::ReadLakeGrid(const std::string& section) {
  if (FindGrid("lake_codes", false) < 1) {
    *diag << "INFO: no LAKE-grid was found in " << modulname.c_str() << "\n"
          << "Lake modelling is switched off for " << modulname.c_str() << ".\n"
          << "[end-entry]";
    return;
  }
  FindSection(section, true);
  ReadValue(controlfile, "%d", &lakeFlowControl, "flow control parameter for ", linebuffer);
  if (SpinUp != 0) {
    lakeFlowControl = 0;
    readStorageState = 0;
  } else if (lakeFlowControl != 0) {
    // The storage read parameter decides whether the run continues a state,
    // the lakes' volumes with the channels: a lake switch that says
    // otherwise would start the lakes or the channels anew in a warm start,
    // or read a state a cold start does not have.
    std::string line;
    for (int k = 0; k < 3; ++k) controlfile.GetLine(line);
    int lakeRead = 0;
    ReadValue(controlfile, "%d", &lakeRead, "readgrids for ", linebuffer);
    if ((lakeRead != 0) != (readStorageState != 0))
      Fail("FATAL: readgrids for " + section + " is " + std::to_string(lakeRead) +
               " but the read control parameter for storage grids of the unsaturated zone is " +
               std::to_string(readStorageState) + ": a warm start reads the lakes' volumes with the rest of the " +
               "state, a cold start neither (both 0, or both not 0)",
           17);
  }
}
