// The routing model through the run: initial routing, one routing step,
// comparison with observed discharge, the storage content file and release.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "framework/diagstream.h"
#include "routing/abfluss.h"

namespace {
bool MpiRunning() {
  int running = 0, finalized = 0;
  MPI_Initialized(&running);
  MPI_Finalized(&finalized);
  return running && !finalized;
}
}  // namespace

void abflussmodellklasse::InitRouting() {
  if (flowcontrol == 0) return;
  if (!runoffInput) SetDischarges(static_cast<double**>(nullptr));
  const int n = zonecount;
  const int nt = tracercount;
  const int ns = subIntervals;
  for (int t = 0; t <= nt; ++t) {
    for (int s = 1; s <= n; ++s) tables.runoff[t][s] = runoffInput[t][s];
    for (int e = n + 1; e < tables.nEntries; ++e) tables.runoff[t][e] = 0;
  }
  for (int k = 1; k <= nRoutings; ++k) routings[k]->InitFlowArrays();
  for (int t = 0; t <= nt; ++t)
    for (int j = 1; j <= ns; ++j)
      for (int e = 1; e < tables.nEntries; ++e) tables.Sub(t, j, e) = tables.runoff[t][e];

  *diag << "checking connection of internal inflows and abstractions"
        << "[end-entry]";
  ConnectInternalInflows();
  for (int k = 1; k <= nRoutings; ++k) routings[k]->InitChannelStates();
  // The reservoirs offer their water from the first step on (their initial
  // routing leaves their volume as it is); a state read later replaces it.
  for (int k = 1; k <= nRoutings; ++k) routings[k]->OfferReservoirWater();
  // A routing subbasin without channels: the channel that takes its outlet.
  std::vector<int> feeding;
  for (int k = 1; k <= nRoutings; ++k) {
    routingclass& r = *routings[k];
    if (r.Channels() > 0) continue;
    const int own = tables.EntryOf(r.Code());
    for (int d = 1; d <= nRoutings; ++d)
      for (int i = 1; i <= routings[d]->Tributaries() + routings[d]->SumTributaries(); ++i) {
        routings[d]->FeedingEntries(i, feeding);
        if (std::find(feeding.begin(), feeding.end(), own) != feeding.end()) r.SetChannelBelow(routings[d].get(), i);
      }
  }

  // Long enough for the water of the slowest class (class 1, or one that
  // the flood plain slows more) to pass every routed subbasin, its
  // fraction of an hour included.
  double T = 0;
  for (int k = 1; k <= nRoutings; ++k) {
    routingclass& r = *routings[k];
    double longest = 0;
    for (int i = 1; i <= r.Channels(); ++i)
      for (double t : r.Table(i).t) longest = std::max(longest, t);
    T += longest;
  }
  initialRepetitions = std::max(1, static_cast<int>(std::ceil(T / timeinterval * 60)));
  // The channels start filled with the runoff of the first step (the
  // runoff of the subbasins is known only once the soil and the surface
  // have run it), unless the state is read from the storage content file.
  initialRoutingPending = readStorageState == 0;
}

void abflussmodellklasse::RouteInitialRunoff() {
  initialRoutingPending = false;
  const int n = zonecount;
  const int nt = tracercount;
  const int ns = subIntervals;
  *diag << "routing the initialization discharges (" << initialRepetitions << " times)"
        << "[end-entry]";
  saved.assign(nt + 1, std::vector<double>(tables.nEntries, 0.0));
  for (int rep = 0; rep < initialRepetitions; ++rep) {
    for (int t = 0; t <= nt; ++t) {
      saved[t] = tables.runoff[t];
      for (int j = 1; j <= ns; ++j)
        for (int e = 1; e < tables.nEntries; ++e) tables.Sub(t, j, e) = tables.runoff[t][e];
    }
    // The first pass fills every channel with the flow at its upper end:
    // in the order of the routing, which gives the flows of the routed
    // subbasins above it (a reservoir's release) before it.
    for (int k = 1; k <= nRoutings; ++k) {
      if (rep == 0) {
        routings[k]->FillQueues();
        routings[k]->InitChannelStates();
      }
      routings[k]->Route(0, 0, 0, 0);
    }
    *diag << ".";
    for (int t = 0; t <= nt; ++t)
      for (int s = 1; s <= n; ++s) tables.runoff[t][s] = saved[t][s];
  }
  *diag << "[end-entry]";
  std::vector<std::vector<double>>().swap(saved);
}

void abflussmodellklasse::ConnectInternalInflows() {
  const char* head = "FATAL: \n ---> Error in connecting internal abstractions with internal inflows:\n";
  for (int a = 1; a <= nRoutings; ++a) {
    routingclass& r = *routings[a];
    for (int b = 1; b <= r.Inflows(); ++b) {
      if (r.InflowMode(b) != 3) continue;
      bool found = false;
      for (int d = 1; d <= nRoutings; ++d) {
        routingclass& owner = *routings[d];
        for (int k = 1; k <= owner.Abstractions(); ++k) {
          AL_class& al = owner.Abstraction(k);
          if (!al.IsInternal() || al.Number() != r.InflowCode(b)) continue;
          if (found) {
            *diag << head << "in routing description " << d << " for TG " << owner.Code() << ":\n"
                  << "Inflow " << r.InflowCode(b) << " is already connected to an internal abstraction.\n"
                  << "Each abstaction (AL-element) must be conencted to exactly one internal inflow(ZL-element)\n"
                  << "[end-entry]";
            throw 300;
          }
          if (owner.Code() == r.Code()) {
            *diag << head << "Abstraction AL " << al.Number() << " from routing description " << d << " and inflow ZL "
                  << r.InflowCode(b) << " are both defined for the same routing-subbasin TG " << r.Code() << ".\n"
                  << "this is not allowed\n"
                  << "[end-entry]";
            throw 301;
          }
          // The TargetCap of a rule compares with the flow of the receiving
          // subbasin's first tributary, a depth over that tributary's area.
          const int first = r.Tributaries() + r.SumTributaries() > 0 ? tables.EntryOf(r.TributaryCode(1)) : 0;
          CheckInternalOrder(a, b, d, k, first);
          al.SetTargetLink(tables.EntryOf(r.Code()), first, first > 0 ? DepthArea(first) : 0.0);
          found = true;
        }
      }
      if (!found) {
        *diag << head << "in routing description " << a << " for TG " << r.Code() << ":\n"
              << "Internal Inflow ZL " << r.InflowCode(b) << " has no conenction to an internal abstraction.\n"
              << "this is not allowed\n"
              << "[end-entry]";
        throw 302;
      }
    }
  }
  for (int d = 1; d <= nRoutings; ++d) {
    routingclass& owner = *routings[d];
    for (int k = 1; k <= owner.Abstractions(); ++k) {
      AL_class& al = owner.Abstraction(k);
      if (!al.IsInternal() || al.ReceivingPosition() >= 1) continue;
      *diag << head << "in routing description " << d << " for TG " << owner.Code() << ":\n"
            << "Internal abstraction AL " << al.Number() << " is not connected to any internal inflow.\n"
            << "[end-entry]";
      throw 303;
    }
  }
}

void abflussmodellklasse::CheckInternalOrder(int a, int b, int d, int k, int first) {
  // The subbasins are routed in the order of their descriptions. An internal
  // inflow takes the water its abstraction gave in the step, so the
  // abstraction's subbasin must be routed before the inflow's; a rule with a
  // TargetCap (intern_with_rule) compares with the flow of the inflow's
  // subbasin's first tributary in the step, which must be routed before the
  // abstraction. Else the water of the step before arrives, or the raw
  // runoff: fatal where another order of the descriptions mends it; where
  // the water flows round (the subbasin that must come first lies
  // downstream of the other), no order does, and a WARNING says so.
  routingclass& r = *routings[a];
  routingclass& owner = *routings[d];
  const AL_class& al = owner.Abstraction(k);
  auto described = [](int n, routingclass& x) {
    return "routing description " + std::to_string(n) + " (TG " + std::to_string(x.Code()) + ")";
  };
  // Does the water of subbasin index `from` flow into subbasin index `to`?
  auto reaches = [&](int from, int to) {
    const std::vector<int>& next = routingTarget[1];
    for (int at = from, steps = 0; at > 0 && at < static_cast<int>(next.size()) && steps <= zonecount;
         at = next[at], ++steps)
      if (at == to) return true;
    return false;
  };
  const int inflowSubbasin = tables.EntryOf(r.Code()), abstractionSubbasin = tables.EntryOf(owner.Code());
  if (d > a) {
    const std::string what = described(a, r) + " takes its internal inflow ZL " + std::to_string(r.InflowCode(b)) +
                             " from abstraction AL " + std::to_string(al.Number()) + " of " + described(d, owner) +
                             ", which is routed after it";
    if (!reaches(inflowSubbasin, abstractionSubbasin))
      Fail("FATAL: " + what + ": describe subbasin " + std::to_string(owner.Code()) + " before subbasin " +
               std::to_string(r.Code()) + " (an internal inflow must follow the subbasin of its abstraction)",
           41);
    *diag << "WARNING: " << what << ": subbasin " << r.Code() << " flows into subbasin " << owner.Code()
          << ", so no order of the descriptions routes the abstraction first; its water reaches the inflow one step "
             "later"
          << "[end-entry]";
  }
  if (al.Mode() != AL_class::kInternWithRule || first < 1) return;
  const RuleSet& rules = al.Rules();
  bool capped = false;
  for (int c = 1; c <= rules.nColumns && c < static_cast<int>(rules.targetCap.size()); ++c)
    if (rules.targetCap[c] > 0) capped = true;
  const int m = first < static_cast<int>(routingTarget[2].size()) ? routingTarget[2][first] : 0;
  if (!capped || m <= d) return;
  const std::string what = "abstraction AL " + std::to_string(al.Number()) + " of " + described(d, owner) +
                           " caps its water by the flow of subbasin " + std::to_string(routings[m]->Code()) +
                           " (the first tributary of TG " + std::to_string(r.Code()) +
                           ", which its internal inflow ZL " + std::to_string(r.InflowCode(b)) + " joins), which " +
                           described(m, *routings[m]) + " routes after it";
  if (!reaches(abstractionSubbasin, first))
    Fail("FATAL: " + what + ": describe subbasin " + std::to_string(routings[m]->Code()) + " before subbasin " +
             std::to_string(owner.Code()) +
             " (a rule with a TargetCap must follow the subbasin whose flow it compares with)",
         41);
  *diag << "WARNING: " << what << ": subbasin " << owner.Code() << " flows into subbasin " << routings[m]->Code()
        << ", so no order of the descriptions routes it first; the cap compares with its flow of the step before"
        << "[end-entry]";
}

void abflussmodellklasse::run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  // The soil books its uptake from the rivers on every instance: the sums
  // reach instance 0 before routing, the new river flows every instance after it.
  const bool shareRivers = switchedOn && riverflowTable && mpisize > 1 && MpiRunning();
  const int records = zonecount + 1;
  if (shareRivers) {
    std::vector<double> uptake(records), total(records, 0.0);
    for (int s = 0; s < records; ++s) uptake[s] = riverflowTable[s].field[13];
    MPI_Reduce(uptake.data(), total.data(), records, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
    if (mpirank == 0)
      for (int s = 0; s < records; ++s) riverflowTable[s].field[13] = total[s];
  }
  // Every instance takes part in the broadcast, also when routing fails on instance 0.
  struct Broadcast {
    bool active;
    RiverflowTable* table;
    int records;
    ~Broadcast() {
      if (active) MPI_Bcast(table, records * 16, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    }
  } broadcast{shareRivers, riverflowTable, records};

  // Lake cells: gathered to instance 0, which levels the lakes while routing;
  // the new ponding storage goes back before the river flows (also when the
  // routing fails, so that the other instances are not left waiting).
  const bool lakeExchange = switchedOn && lakeFlowControl != 0 && lakes.bound;
  if (lakeExchange) {
    GatherLakeCells();
    if (mpirank != 0) {
      ReturnLakeCells();
      return;
    }
  }
  struct LakeReturn {
    abflussmodellklasse* model;
    ~LakeReturn() {
      if (model) model->ReturnLakeCells();
    }
  } lakeReturn{lakeExchange ? this : nullptr};

  if (flowcontrol == 0) return;
  if (!runoffInput) SetDischarges(static_cast<double**>(nullptr));
  if (!omp_in_parallel()) teilmodellklasse::run(stepHour, stepDay, stepMonth, stepYear);
  year = stepYear;
  month = stepMonth;
  day = stepDay;
  hour = stepHour;
  const int n = zonecount;
  const int nt = tracercount;
  const int ns = subIntervals;
  ZoneRecord* irrigation = tables.irrigationRecords;

  if (irrigation) {
    // The irrigation's surface-water demand [mm over the subbasin's cells]
    // that the reservoirs do not give, taken from the rivers in this step
    // (the fields received the water in transit at the start of the step).
    for (int s = 1; s <= n; ++s) {
      for (int t = 0; t <= nt; ++t) tables.maxirrig[t][s] = 0;
      ZoneRecord& r = irrigation[s];
      r.sx = r.RelCellSum > 0 ? r.sx / r.RelCellSum : 0.0;
      r.sx = std::max(0.0, r.sx - tables.maxirrigFromReservoirs[0][s]);
    }
    std::fill(tables.withdrawn.begin(), tables.withdrawn.end(), 0);
  }
  for (int t = 0; t <= nt; ++t)
    for (int s = 1; s <= n; ++s) tables.runoff[t][s] = runoffInput[t][s];
  for (int k = 1; k <= nRoutings; ++k) routings[k]->ReadInflows(stepYear, stepMonth, stepDay, stepHour);
  if (initialRoutingPending) RouteInitialRunoff();
  for (int t = 0; t <= nt; ++t)
    for (int j = 1; j <= ns; ++j)
      for (int e = 1; e < tables.nEntries; ++e) tables.Sub(t, j, e) = tables.runoff[t][e];
  for (int k = 1; k <= nRoutings; ++k) {
    routings[k]->Route(stepYear, stepMonth, stepDay, stepHour);
    if (riverflowTable) routings[k]->UpdateRiverflowTable();
  }

  if (observedOpen) {
    TrackObservationGaps(false);
    AccumulateEfficiency();
    AdvanceObservedWindow();
  }
  WriteDischargeStatistics();
}

double abflussmodellklasse::DepthArea(int s) const {
  // Routed depths refer to the area areaCtrl / relArea of their routed
  // subbasin, the others to the subbasin's cells [km2].
  const int k = s < static_cast<int>(routingTarget[2].size()) ? routingTarget[2][s] : 0;
  return k > 0 ? routings[k]->AreaCtrl() / routings[k]->RelArea() : tables.abfrel[0][0] * tables.abfrel[0][s];
}

double abflussmodellklasse::RoutedDischarge(int s) const {
  const double q = tables.runoff[0][s];
  if (dischargeUnit != 1) return q;
  return q * DepthArea(s) * 16.6666667 / timeinterval;
}

void abflussmodellklasse::AccumulateEfficiency() {
  // Every step is compared with what the window holds; a row past the end of
  // the file holds no observation and is left out by itself (the step's own
  // date up to the file's last row is compared).
  if (observedRowsPastEnd > 0 &&
      DateKey(year, month, day, hour) > DateKey(observedDate[0], observedDate[1], observedDate[2], observedDate[3]))
    *diag << "INFO: observed runoff: actual date " << day << "." << month << "." << year << " " << hour
          << "h not found (end of discharge file at " << observedDate[2] << "." << observedDate[1] << "."
          << observedDate[0] << ", " << observedDate[3] << "h)"
          << "[end-entry]";
  ++observedSteps;
  const int digit = (qstatCode / 1000) % 10;
  double* observedValues = dischargeStatistics ? dischargeStatistics->GetObservedValues() : nullptr;
  for (int s = 1; s <= zonecount; ++s) {
    const int c = observedColumn[s];
    if (c < 1) continue;
    if ((digit == 2 || digit == 4) && observedValues) observedValues[s] = observedWindow[11][c];
    if (observedSteps <= rsquareOffset) continue;
    const double sim = RoutedDischarge(s);
    for (int j = 0; j < kEfficiencyShifts; ++j) {
      const double obs = observedWindow[j][c];
      if (!(obs > 0)) continue;
      EfficiencyRecord& a = efficiencySums[j][s];
      a.n += 1;
      a.sumd += sim - obs;
      a.sumd2 += (sim - obs) * (sim - obs);
      a.m += 1;
      a.sumo += obs;
      a.sumo2 += obs * obs;
      if (sim > 0) {
        EfficiencyRecord& l = efficiencyLogSums[j][s];
        const double ds = std::log(sim) - std::log(obs);
        l.n += 1;
        l.sumd += ds;
        l.sumd2 += ds * ds;
        l.m += 1;
        l.sumo += std::log(obs);
        l.sumo2 += std::log(obs) * std::log(obs);
      }
    }
  }
}

void abflussmodellklasse::TrackObservationGaps(bool final) {
  if (startValueMode != 1 || observedWindow.empty()) return;
  observationGaps.resize(zonecount + 1);
  auto date = [](const int64_t* d) {
    return std::to_string(d[2]) + "." + std::to_string(d[1]) + "." + std::to_string(d[0]) + ", " +
           std::to_string(d[3]) + ". h";
  };
  for (int s = 1; s <= zonecount; ++s) {
    const int c = observedColumn[s];
    if (c < 1) continue;
    ObservationGap& g = observationGaps[s];
    // The channels take the observation of row 10 when it is 0 or more.
    const bool missing = !final && !(observedWindow[10][c] >= 0);
    if (missing) {
      const int64_t now[4] = {year, month, day, hour};
      if (g.steps == 0) std::copy(now, now + 4, g.first);
      std::copy(now, now + 4, g.last);
      ++g.steps;
      continue;
    }
    if (g.steps == 0) continue;
    *diag << "WARNING: observed discharge: " << observedFileName.c_str() << " holds no value in column " << c
          << " (subbasin " << static_cast<long>(zonerecords[s].zonenwert) << ") from " << date(g.first).c_str()
          << " to " << date(g.last).c_str() << " (" << g.steps
          << " steps): the channels of the subbasin took its simulated discharge in these steps"
          << "[end-entry]";
    g.steps = 0;
  }
}

void abflussmodellklasse::AdvanceObservedWindow() {
  std::rotate(observedWindow.begin(), observedWindow.begin() + 1, observedWindow.end());
  std::vector<double>& row = observedWindow[20];
  // Rows beyond the end of the file hold no observation.
  if (observedRowsPastEnd >= 10) {
    std::fill(row.begin(), row.end(), -9999.0);
    return;
  }
  NextObservedDate();
  FillObservedRow(row);
}

void abflussmodellklasse::NextObservedDate() {
  // Dates count hours 1 to 24 of a day; a step of a day or more keeps its hour.
  int64_t* d = observedRowDate;
  int64_t minutes = d[3] * 60 + static_cast<int64_t>(timeinterval);
  while (minutes > 24 * 60) {
    minutes -= 24 * 60;
    ShiftDate(d[0], d[1], d[2], 1);
  }
  d[3] = minutes / 60;
}

void abflussmodellklasse::FillObservedRow(std::vector<double>& row) {
  // The file's row of the date observedRowDate, when it holds one: rows of
  // earlier dates are passed over, a date the file leaves out has no
  // observation (the next row waits for its own date).
  timeseriesfile& f = *observedFile;
  std::fill(row.begin(), row.end(), -9999.0);
  const int64_t wanted = DateKey(observedRowDate[0], observedRowDate[1], observedRowDate[2], observedRowDate[3]);
  for (;;) {
    if (f.GetState() == timeseriesfile::kFormatError) {
      *diag << "FATAL: error analysing or reading " << observedFileName.c_str() << " at row " << f.GetCursor() + 1
            << " or before \n(e.g. due to wrong formatting or wrong number of columns or start date not found)"
            << " (" << f.ErrorText().c_str() << ")"
            << "[end-entry]";
      throw 203;
    }
    if (f.GetState() == timeseriesfile::kPastEnd) {
      *diag << "INFO: end of discharge file reached!"
            << "[end-entry]";
      ++observedRowsPastEnd;
      return;
    }
    int y, m, d, h;
    f.GetDate(y, m, d, h);
    if (y < 1000) y += 1900;
    const int64_t at = DateKey(y, m, d, h);
    if (at > wanted) return;
    if (at == wanted) {
      for (int c = 1; c <= nObservedColumns; ++c) row[c] = f.GetValue(c - 1);
      observedDate[0] = y;
      observedDate[1] = m;
      observedDate[2] = d;
      observedDate[3] = h;
      f.Next();
      // Reaching the end counts as an end-of-file event, as each row past it.
      if (f.GetState() == timeseriesfile::kPastEnd) {
        *diag << "INFO: end of discharge file reached!"
              << "[end-entry]";
        ++observedRowsPastEnd;
      }
      return;
    }
    f.Next();
  }
}

void abflussmodellklasse::WriteDischargeStatistics() {
  if (dischargeStatistics) {
    dischargeStatistics->NewStep();
    for (int s = 1; s <= zonecount; ++s) dischargeStatistics->AddCell(0, 0, s, RoutedDischarge(s), 1);
    dischargeStatistics->AddStepValues(year, month, day, hour);
  }
  for (int t = 1; t <= tracercount && t < static_cast<int>(tracerOutputs.size()); ++t) {
    zonalstatistic* w = tracerOutputs[t].writer.get();
    if (!w) continue;
    w->NewStep();
    for (int s = 1; s <= zonecount; ++s) w->AddCell(0, 0, s, tables.runoff[t][s], 1);
    w->Reduce(year, month, day, hour, 0);
  }
}

void abflussmodellklasse::ReadStorageContent(const std::string& fileName, int readParameter) {
  if (flowcontrol == 0) return;
  storageFileName = fileName.substr(0, 1200);
  storageNameGiven = !fileName.empty();
  if (!storageNameGiven) return;
  std::string path = storageFileName;
  MakePath(InitialStateDirectory, path);
  if (readParameter == 2 || (readParameter & ~4) == 0) return;
  ControlFile file;
  if (!file.Open(path, diag)) Fail("FATAL: error opening storage content file " + path, 64);
  std::string line;
  for (;;) {
    if (!file.GetLine(line)) Fail("FATAL: error looking for the section routing_model in " + path, 71);
    if (line.find("routing_model") != std::string::npos) break;
  }
  for (int k = 1; k <= nRoutings; ++k) routings[k]->ReadStorageContent(file, path);
  file.Close();
}

void abflussmodellklasse::WriteStorageContent() {
  std::string path = storageNameGiven ? storageFileName : std::string("storage.ftz");
  MakePath(DefaultOutputDirectory, path);
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) {
    if (storageNameGiven)
      *diag << "WARNING: couldn\xC2\xB4t open file \"" << path.c_str()
            << "\" \n(model version doesn\xC2\xB4t support this feature or write access error)"
            << "[end-entry]";
    else
      *diag << "WARNING: couldn\xC2\xB4t open file " << path.c_str()
            << " \n(no filename was given or model version \ndoesn\xC2\xB4t support this feature or the current user "
               "has no write access)"
            << "[end-entry]";
    return;
  }
  std::fprintf(f, "[routing_model]\n");
  for (int k = 1; k <= nRoutings; ++k) routings[k]->WriteStorageContent(f);
  std::fprintf(f, "\n");
  const bool failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || failed)
    *diag << "WARNING: error writing the storage content file " << path.c_str()
          << " (disk full or no write access); the next run cannot start warm from it"
          << "[end-entry]";
}

void abflussmodellklasse::FreeMemory() {
  if (flowcontrol == 0 || routings.empty()) {
    ReleaseLakeConcentrations();
    teilmodellklasse::FreeMemory();
    return;
  }
  if (initialized) WriteStorageContent();
  if (initialized && observedOpen) TrackObservationGaps(true);
  FreeTracerBuffers();
  if (initialized && observedOpen && mpirank == 0 && dischargeStatistics) {
    // A subbasin with observations whose fit cannot be measured: its
    // criteria are written as missing.
    for (int s = 1; s <= zonecount; ++s) {
      const EfficiencyRecord& r = efficiencySums[kEfficiencyShifts / 2][s];
      if (observedColumn[s] < 1 || routstatistic::ObservedVariance(r) > 0) continue;
      *diag << "WARNING: observed discharge: subbasin " << static_cast<long>(zonerecords[s].zonenwert) << " (column "
            << observedColumn[s] << " of " << observedFileName.c_str() << ") "
            << (r.m > 2 && r.n > 2 ? "has observations that do not vary"
                                   : "has fewer than three observations above 0 beside a simulated discharge")
            << " (" << static_cast<long>(r.m) << " compared): its efficiency criteria are written as missing (-9999)"
            << "[end-entry]";
    }
    std::vector<const EfficiencyRecord*> linear(kEfficiencyShifts), logarithmic(kEfficiencyShifts);
    for (int j = 0; j < kEfficiencyShifts; ++j) {
      linear[j] = efficiencySums[j].data();
      logarithmic[j] = efficiencyLogSums[j].data();
    }
    dischargeStatistics->WriteEfficiency(linear.data(), logarithmic.data());
  }
  observedFile.reset();
  observedOpen = false;
  if (dischargeStatistics) dischargeStatistics->Finish();
  dischargeStatistics.reset();
  for (int k = 1; k <= nRoutings; ++k) routings[k]->FreeMemory();
  routings.clear();
  ReleaseLakeGrid();
  FreeLakeCopies();
  ReleaseLakeConcentrations();
  teilmodellklasse::FreeMemory();
}
