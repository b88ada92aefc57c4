// Flow-travel-time zones, the linear storages at the subbasin outlets, the
// statistics of a step, the state in the storage content file and the
// release of the surface routing.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/zonalstatistic.h"
#include "soil/cellnote.h"
#include "surface/surfrout.h"

void surfaceroutingclass::LogLine(const char* mode, const std::string& text) {
  if (mpirank != 0) return;
  char name[64];
  std::snprintf(name, sizeof name, "modell_%d.log", 0);
  std::FILE* f = std::fopen(name, mode);
  if (!f) {
    *diag << "WARNING: log-file " << name << " could not be opened"
          << "[end-entry]";
    return;
  }
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

void surfaceroutingclass::InitFlowTimeZones() {
  if (flowcontrol == 0) return;
  *diag << "looking for longest flow travel time"
        << "[end-entry]";
  const int S = zonecount;
  const int T = tracercount;
  maxzeit.assign(S + 1, flowtimes ? 0.0 : 1.0);
  auto zoneOf = [&](int r, int c) { return SubbasinOf(zonegrid[r][c]); };
  auto valid = [&](double v) { return v > kNodata && v != nodata; };
  if (flowtimes) {
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!OwnCell(r, c) || !valid(flowtimes[r][c])) continue;
        const int s = zoneOf(r, c);
        if (s >= 1 && s <= S) maxzeit[s] = std::max(maxzeit[s], flowtimes[r][c]);
      }
  }
  if (MpiRunning() && mpisize > 1) {
    MPI_Barrier(MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, maxzeit.data() + 1, S, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    MPI_Barrier(MPI_COMM_WORLD);
  }
  queueQD.assign(T + 1, std::vector<std::vector<ZoneRecord>>(S + 1));
  queueQI.assign(T + 1, std::vector<std::vector<ZoneRecord>>(S + 1));
  for (int t = 0; t <= T; ++t)
    for (int s = 1; s <= S; ++s) {
      const size_t zones = static_cast<size_t>(std::max(0.0, maxzeit[s])) + 1;
      queueQD[t][s].assign(zones, ZoneRecord{0, 0, 0, 0, 0});
      queueQI[t][s].assign(zones, ZoneRecord{0, 0, 0, 0, 0});
    }
  exactQueueQD.assign(S + 1, {});
  exactQueueQI.assign(S + 1, {});
  for (int s = 1; s <= S; ++s) {
    exactQueueQD[s].assign(queueQD[0][s].size(), ExactRecord{});
    exactQueueQI[s].assign(queueQI[0][s].size(), ExactRecord{});
  }
  exact_queues_loaded = false;

  if (!flowtimes) {
    for (int t = 0; t <= T; ++t)
      for (int s = 1; s <= S; ++s) {
        queueQD[t][s][1].rel = 1.0;
        queueQI[t][s][1].rel = 1.0;
        queueQD[t][s][1].zonenwert = 1;
        queueQI[t][s][1].zonenwert = 1;
      }
    LogLine("a", "flow time distribution will not be calculated (no flow time grid provided)\n");
  } else {
    for (int r = firstrow; r <= lastrow; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (!OwnCell(r, c) || !valid(flowtimes[r][c])) continue;
        const int s = zoneOf(r, c);
        const int z = static_cast<int>(flowtimes[r][c]);
        if (s < 1 || s > S || z < 0 || z >= static_cast<int>(queueQD[0][s].size())) continue;
        const double w = (relcellarea && relcellarea[r] && valid(relcellarea[r][c])) ? relcellarea[r][c] : 1.0;
        exactQueueQD[s][z].weight.Add(w);
      }
      *diag << ".";
    }
    *diag << "[end-entry]";
    // The weights summed exactly over the instances.
    std::vector<ExactSum> weights;
    for (int s = 1; s <= S; ++s)
      for (ExactRecord& z : exactQueueQD[s]) {
        weights.push_back(z.weight);
        z.Clear();
      }
    if (MpiRunning() && mpisize > 1) ExactSum::Reduce(weights.data(), static_cast<int>(weights.size()), -1);
    size_t k = 0;
    for (int s = 1; s <= S; ++s)
      for (size_t z = 0; z < queueQD[0][s].size(); ++z) {
        const double w = weights[k++].Value();
        for (auto* q : {&queueQD, &queueQI}) (*q)[0][s][z].n = (*q)[0][s][z].RelCellSum = w;
      }
    std::string log = "Flow time distribution:\n";
    for (int s = 1; s <= S; ++s) {
      const int m = static_cast<int>(maxzeit[s]);
      const int code = static_cast<int>(zonerecords[s].zonenwert);
      char text[128];
      std::snprintf(text, sizeof text, "TG\t%4d\t(%3d\tZonen):", code, m);
      log += text;
      double total = 0;
      for (int z = 1; z <= m; ++z) total += queueQD[0][s][z].n;
      if (m < 1 || total == 0) {
        *diag << "FATAL: all cells in " << flowtimesfile.c_str() << ", subbasin " << code << " are NODATA!"
              << "[end-entry]";
        throw 6;
      }
      for (int z = 1; z <= m; ++z) {
        const double rel = queueQD[0][s][z].n / total;
        for (int t = 0; t <= T; ++t) {
          // The tracers take the shares of the water.
          for (auto* q : {&queueQD, &queueQI}) {
            (*q)[t][s][z].zonenwert = z;
            (*q)[t][s][z].rel = rel;
          }
        }
        std::snprintf(text, sizeof text, "\t%5.3f", rel);
        log += text;
        if (z == 1 && !(rel > 0)) {
          // Zone z holds the cells whose flow time (s) needs z - 1 to z steps:
          // the step is shorter than every flow time of the subbasin.
          int first = 1;
          while (first < m && !(queueQD[0][s][first].n > 0)) ++first;
          *diag << "FATAL: in flow-travel-time grid: the first time zone of subbasin " << s << " has no cells!"
                << "\n(subbasin code " << code << ", flow times in seconds in " << flowtimesfile.c_str()
                << "): its nearest cells need " << first - 1 << " to " << first << " time steps of " << timeinterval
                << " min to reach the outlet; the time step of [" << modulname.c_str() << "] in "
                << UserControlFile().c_str() << " has to be at least the shortest flow time of every subbasin"
                << "[end-entry]";
          throw 61;
        }
      }
      for (int z = 1; z <= m; ++z) queueQD[0][s][z].n = 0;
      log += "\n";
    }
    LogLine("a", log);
  }
  // Divisors ahead of a cold start: record z holds the weight of the cells of
  // zones z ... maxzeit, whose runoff of the steps before the start would be
  // on its way. Every sub-step adds a cell's weight once, so a step adds it
  // substeps times: so do the records ahead.
  for (int s = 1; s <= S; ++s) {
    const int m = static_cast<int>(maxzeit[s]);
    for (auto* q : {&queueQD, &queueQI}) {
      std::vector<ZoneRecord>& zone = (*q)[0][s];
      for (int z = m - 1; z >= 1; --z) {
        zone[z].n += zone[z + 1].n;
        zone[z].RelCellSum += zone[z + 1].RelCellSum;
      }
      for (int z = 1; z <= m; ++z) {
        zone[z].n *= substeps;
        zone[z].RelCellSum *= substeps;
      }
    }
  }
  // The zone records are summed over the instances when they are drained:
  // the cell counts of the whole subbasin stay on instance 0 only.
  if (mpirank != 0) ClearZoneSums();
}

void surfaceroutingclass::ClearZoneSums() {
  for (auto* q : {&queueQD, &queueQI})
    for (auto& perTracer : *q)
      for (auto& zones : perTracer)
        for (ZoneRecord& z : zones) z.n = z.sx = z.RelCellSum = 0;
}

void surfaceroutingclass::StartStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  teilmodellklasse::run(hour, day, month, year);
  if (flowcontrol == 0) return;
  // The water on the surface at the step's start (a warm start's too).
  PrepareCells();
  RecordStanding();
  for (Stat& s : stats) s.writer->NewStep();
  for (int t = 1; t <= tracercount; ++t) tracergrids[t].statistic->NewStep();
  // The water of the queues as the state left it (0 in a cold start).
  if (!exact_queues_loaded) {
    for (int s = 1; s <= zonecount; ++s)
      for (size_t z = 0; z < exactQueueQD[s].size(); ++z)
        for (auto [exact, queue] : {std::pair{&exactQueueQD, &queueQD}, std::pair{&exactQueueQI, &queueQI}}) {
          ExactRecord& x = (*exact)[s][z];
          x.Clear();
          x.water.Add((*queue)[0][s][z].sx);
          x.weight.Add((*queue)[0][s][z].RelCellSum);
        }
    exact_queues_loaded = true;
  }
  for (int s = 1; s <= zonecount; ++s) {
    const int m = static_cast<int>(maxzeit[s]);
    for (auto* q : {&exactQueueQD, &exactQueueQI}) {
      std::vector<ExactRecord>& zone = (*q)[s];
      for (int z = 1; z < m; ++z) zone[z] = zone[z + 1];
      if (m >= 1) zone[m].Clear();
    }
  }
  for (size_t t = 0; t < queueQD.size(); ++t)
    for (int s = 1; s <= zonecount; ++s) {
      const int m = static_cast<int>(maxzeit[s]);
      for (auto* q : {&queueQD, &queueQI}) {
        std::vector<ZoneRecord>& zone = (*q)[t][s];
        for (int z = 1; z < m; ++z) {
          zone[z].n = zone[z + 1].n;
          zone[z].sx = zone[z + 1].sx;
          zone[z].RelCellSum = zone[z + 1].RelCellSum;
        }
        if (m >= 1) zone[m].n = zone[m].sx = zone[m].RelCellSum = 0;
      }
    }
}

void surfaceroutingclass::SettleExactQueues() {
  const int S = zonecount;
  if (mpisize > 1 && MpiRunning()) {
    // Every queue's water on instance 0 (the others keep none): summed as
    // integers, the same in any order of the instances.
    std::vector<ExactSum> pack;
    for (int s = 1; s <= S; ++s)
      for (auto* q : {&exactQueueQD, &exactQueueQI})
        for (const ExactRecord& x : (*q)[s]) {
          pack.push_back(x.water);
          pack.push_back(x.weight);
        }
    ExactSum::Reduce(pack.data(), static_cast<int>(pack.size()), 0);
    size_t k = 0;
    for (int s = 1; s <= S; ++s)
      for (auto* q : {&exactQueueQD, &exactQueueQI})
        for (ExactRecord& x : (*q)[s]) {
          x.water = pack[k++];
          x.weight = pack[k++];
          if (mpirank != 0) x.Clear();
        }
  }
  for (int s = 1; s <= S; ++s)
    for (size_t z = 0; z < exactQueueQD[s].size(); ++z)
      for (auto [exact, queue] : {std::pair{&exactQueueQD, &queueQD}, std::pair{&exactQueueQI, &queueQI}}) {
        (*queue)[0][s][z].sx = (*exact)[s][z].water.Value();
        (*queue)[0][s][z].RelCellSum = (*exact)[s][z].weight.Value();
      }
}

void surfaceroutingclass::RouteToOutlets(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flowcontrol == 0) return;
  const int S = zonecount;
  const int T = tracercount;
  SettleExactQueues();
  for (int t = 0; t <= T; ++t)
    for (int s = 1; s <= S; ++s) {
      MPIReduceRecords(queueQD[t][s].data(), 1, true);
      MPIReduceRecords(queueQI[t][s].data(), 1, true);
    }
  MPIReduceRecords(stats[kQBSR].zones.data(), S, true);

  if (mpirank == 0) {
    if (!kelsqd || !kelsqi || !qbb) {
      *diag << "FATAL: " << modulname.c_str()
            << ": the storage constants and the baseflow of the unsaturated zone are not linked (programmers error)"
            << "[end-entry]";
      throw 57;
    }
    const double dt = timeinterval;  // minutes
    // Mean depth of the cells whose water reaches the outlet in this step; no
    // such cell: no inflow.
    auto mean = [](const ZoneRecord& z) { return z.RelCellSum > 0 ? z.sx / z.RelCellSum : 0.0; };
    // Storage factor over one step; a constant of 0 or less passes the inflow on at once.
    auto factor = [dt](double k) { return k > 0 ? std::exp(-dt / k) : 0.0; };
    for (int s = 1; s <= S; ++s) {
      const double rel = stats[kQDSR].zones[s].rel;
      struct Storage {
        std::vector<std::vector<std::vector<ZoneRecord>>>& queue;
        std::vector<double>& content;
        std::vector<double>& inflow;
        double k;
        Stat& stat;
      } storages[2] = {{queueQD, QDd, inflowQD, kelsqd[s], stats[kQDSR]},
                       {queueQI, QIi, inflowQI, kelsqi[s], stats[kQISR]}};
      for (Storage& st : storages) {
        const double in = mean(st.queue[0][s][1]);
        const double c = factor(st.k);
        const double old = st.content[Flat(0, s)];
        const double next = c * old + (1 - c) * in;
        for (int t = 1; t <= T; ++t) {
          const double cin = mean(st.queue[t][s][1]);
          st.inflow[Flat(t, s)] = cin;
          st.content[Flat(t, s)] = next > 0 ? (in * cin * (1 - c) + old * st.content[Flat(t, s)] * c) / next : 0.0;
        }
        st.inflow[Flat(0, s)] = in;
        st.content[Flat(0, s)] = next;
        st.stat.zones[s].n = st.stat.zones[s].RelCellSum = rel;
        st.stat.zones[s].sx = next * rel;
      }
      const double base = qbb[Flat(0, s)];
      const double glacier = glacierrunoff ? glacierrunoff[s] : 0.0;
      Qg[Flat(0, s)] = QDd[Flat(0, s)] + QIi[Flat(0, s)] + base + glacier;
      stats[kQBSR].zones[s].n = stats[kQBSR].zones[s].RelCellSum = rel;
      stats[kQBSR].zones[s].sx = base * rel;
      stats[kQGSR].zones[s].n = stats[kQGSR].zones[s].RelCellSum = rel;
      stats[kQGSR].zones[s].sx = Qg[Flat(0, s)] * rel;
    }
  }
  for (int k : {kQDSR, kQISR, kQGSR, kQBSR, kSurfaceStorage}) stats[k].writer->Reduce(year, month, day, hour, 1);

  for (int t = 1; t <= T; ++t) {
    if (mpirank == 0) {
      for (int s = 1; s <= S; ++s) {
        const double B = qbb[Flat(0, s)], I = QIi[Flat(0, s)], D = QDd[Flat(0, s)];
        // The glacier runoff joins at its own concentration.
        const double G = glacierrunoff ? glacierrunoff[s] : 0.0;
        const double cG = glacierrunoff ? glacierrunoff[Flat(t, s)] : 0.0;
        const double sum = B + I + D + G;
        Qg[Flat(t, s)] =
            sum > 0 ? (B * qbb[Flat(t, s)] + I * QIi[Flat(t, s)] + D * QDd[Flat(t, s)] + G * cG) / sum : 0.0;
        // The weights are set on instance 0 only: the reduction sums them over the instances.
        ZoneRecord& z = tracergrids[t].subbasins[s];
        z.sx = Qg[Flat(t, s)];
        z.n = z.RelCellSum = 1;
      }
    }
    tracergrids[t].statistic->Reduce(year, month, day, hour, 1);
    // The surface water's tracer grid, whichever module registered it: the
    // silting-up's store holds it after the hand-over, which the silting-up
    // step (before the routing) would write a step late.
    const int position = tracerlinks[t].storage.position > 0
                             ? tracerlinks[t].storage.position
                             : FindGrid("concstor_tracer_" + std::to_string(t) + "_SiltingUpModel", false);
    if (position > 0) WriteStatisticGrids(position, 1, 0);
  }
  WriteDatedGrid(own[kVelocity].position);
  WriteDatedGrid(own[kFluxes].position);
}

void surfaceroutingclass::WriteStatistics() {
  if (flowcontrol == 0) return;
  for (Stat& s : stats)
    if (s.writer) s.writer->Flush();
  for (size_t t = 1; t < tracergrids.size(); ++t)
    if (tracergrids[t].statistic) tracergrids[t].statistic->Flush();
}

// ------------------------------------------------------------ tracers

void surfaceroutingclass::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry,
                                          int capacity) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  if (flowcontrol == 0) return;
  teilmodellklasse::InitTracerGrids(error, count, settings, registry, capacity);
  if (*error != 0) throw *error;
  InitFlowTimeZones();
  const int T = tracercount;
  tracerlinks.assign(T + 1, TracerLinks{});
  int next = T > 0 ? NextFreePosition(1) : 0;
  for (int i = 1; i <= T; ++i) {
    TracerLinks& l = tracerlinks[i];
    l.load = matrix(firstrow, lastrow, 1, ncols, nrows);
    l.concQD = gridlist[GetGrid("_CONC_QD_" + std::to_string(i) + "_")].grid;
    l.concQI = gridlist[GetGrid("_CONC_QI_" + std::to_string(i) + "_")].grid;
    // The flow works on the concentration of the surface water. The
    // silting-up model, when it runs, keeps the tracer of that water in a
    // store of its own unit (the concentration of an evaporating tracer, the
    // amount, mm x concentration, of another): every sub-step hands it the
    // surface water's tracer in that unit (HandOver), and the next step's
    // take-in starts from the soil's direct runoff again.
    const std::string name = "concstor_tracer_" + std::to_string(i) + "_SiltingUpModel";
    const int p = FindGrid(name, false);
    l.silting = p > 0 ? gridlist[p].grid : nullptr;
    int first = firstrow, last = lastrow;
    InstanceRows(true, first, last);
    l.storage.first = first;
    l.storage.last = last;
    l.storage.owned = true;
    l.storage.grid = matrix(first, last, 1, ncols, nrows);
    Fill(l.storage, 0.0, nodata);
    if (l.silting) {
      MPIExchangeBorders(0, l.storage.grid);
      continue;
    }
    next = NextFreePosition(next);
    RegisterGrid(next, tracergrids[i].gridfile, l.storage.grid, nullptr, 0, name, settings[i].gridcode, first, last);
    l.storage.position = next++;
    MPIExchangeBorders(l.storage.position);
  }
  const size_t size = static_cast<size_t>(T + 1) * (zonecount + 1);
  for (auto* a : {&inflowQD, &QDd, &inflowQI, &QIi, &Qg}) a->assign(size, 0.0);
}

void surfaceroutingclass::FreeTracerArrays() {
  if (flowcontrol == 0) return;
  for (size_t i = 1; i < tracerlinks.size(); ++i) {
    if (tracerlinks[i].load) FreeMatrix(tracerlinks[i].load, firstrow, lastrow, 1, ncols);
    tracerlinks[i].load = nullptr;
    OwnedGrid& g = tracerlinks[i].storage;
    if (!g.owned) continue;
    if (g.position > 0) UnregisterGrid(g.position);
    if (g.grid) FreeMatrix(g.grid, g.first, g.last, 1, ncols);
    g = OwnedGrid{};
  }
  tracerlinks.clear();
  teilmodellklasse::FreeTracerArrays();
  for (auto* a : {&inflowQD, &QDd, &inflowQI, &QIi, &Qg}) a->clear();
}

// ------------------------------------------------------------ state

void surfaceroutingclass::StorageValueError(const std::string& label, double current, double stored) {
  *diag << "FATAL: error in storage file content reading " << label.c_str()
        << ":\nvalue in actual control is:   " << current << "\nbut value in storage file is: " << stored
        << "\nFluvex throws..."
        << " (section [SurfaceRoutingModel] of " << storagefile.c_str() << ")"
        << "[end-entry]";
  throw 71;
}

namespace {
// The comment of the section's layout line, by which a reader tells it from
// the subbasin count of a section written without it.
constexpr const char* kStateLayoutText =
    "(instances and sub-steps per step of the run; the zone records are the sums over the instances)";

// A stored 0 matches only 0; any other value matches within a relative 1e-5.
bool Mismatch(double stored, double current) {
  if (stored == 0) return current != 0;
  return std::fabs((stored - current) / stored) > 1e-5;
}
}  // namespace

void surfaceroutingclass::ReadStorageSection(std::FILE* file, const std::string& path) {
  char line[1202];
  // A section written with the layout line: the sub-step count by which the
  // zone records are scaled (a section without it: the run's own).
  int stored_substeps = 0;
  bool pending = false;
  if (std::fgets(line, sizeof line, file) && std::strstr(line, kStateLayoutText)) {
    int instances = 0;
    if (std::sscanf(line, "%d %d", &instances, &stored_substeps) != 2 || instances < 1 || stored_substeps < 1) {
      *diag << "FATAL: error in storage file content reading the layout line of [SurfaceRoutingModel] in "
            << path.c_str() << ": expected the number of instances and of sub-steps (two numbers of 1 or more)"
            << "[end-entry]";
      throw 71;
    }
  } else {
    pending = true;
  }
  // The next line of the section; a missing one is a value that differs.
  auto next = [&](const std::string& label) -> const char* {
    if (pending) {
      pending = false;
      return line;
    }
    if (!std::fgets(line, sizeof line, file)) {
      *diag << "FATAL: error in storage file content reading " << label.c_str() << ": no value in " << path.c_str()
            << (std::feof(file) ? ": the file ends early (a storage content file cut short)" : "") << "[end-entry]";
      throw 71;
    }
    return line;
  };
  auto compare = [&](double current, const char* label, double stored) {
    if (Mismatch(stored, current)) StorageValueError(label, current, stored);
  };
  auto one = [&](double current, const char* label) {
    double stored = -9999;
    if (std::sscanf(next(label), "%lf", &stored) != 1) StorageValueError(label, current, stored);
    compare(current, label, stored);
  };
  const int S = zonecount;
  const int T = tracercount;
  one(S, "number of subbasins");
  one(T, "number of tracers");
  for (int t = 0; t <= T; ++t) {
    one(t, "actual tracers(0=runoff)");
    for (int s = 1; s <= S; ++s) {
      double zone = -9999, stored = -9999;
      const int m = static_cast<int>(maxzeit[s]);
      const int got = std::sscanf(next("actual zone"), "%lf%lf", &zone, &stored);
      if (got < 1) StorageValueError("actual zone", s, zone);
      compare(s, "actual zone", zone);
      if (got < 2) StorageValueError("maxzeit of actual subbasin", m, stored);
      compare(m, "maxzeit of actual subbasin", stored);
      for (int z = 1; z <= m; ++z) {
        for (int k = 0; k < 2; ++k) {
          const char* label =
              k == 0 ? "number of fields for zonal statistics QD" : "number of fields for zonal statistics QI";
          ZoneRecord& r = (k == 0 ? queueQD : queueQI)[t][s][z];
          ZoneRecord v{};
          const int fields =
              std::sscanf(next(label), "%lf %lf %lf %lf %lf", &v.n, &v.sx, &v.zonenwert, &v.rel, &v.RelCellSum);
          if (fields != 5) StorageValueError(label, 5, fields);
          r = v;
        }
      }
      for (auto* a : {&QDd, &QIi}) {
        double v = 0;
        const char* label = a == &QDd ? "QDd" : "QIi";
        if (std::sscanf(next(label), "%lf", &v) != 1) StorageValueError(label, (*a)[Flat(t, s)], -9999);
        (*a)[Flat(t, s)] = v;
      }
    }
  }
  // Each sub-step adds a cell's water and weight once: the records of the
  // water on its way scale with the sub-step count.
  const int steps = std::max(1, substeps);
  if (stored_substeps > 0 && stored_substeps != steps) {
    const double factor = static_cast<double>(steps) / stored_substeps;
    for (auto* q : {&queueQD, &queueQI})
      for (auto& perTracer : *q)
        for (auto& zones : perTracer)
          for (ZoneRecord& z : zones) {
            z.n *= factor;
            z.sx *= factor;
            z.RelCellSum *= factor;
          }
  }
}

void surfaceroutingclass::ReadStorageFile(const std::string& fileName, int readParameter) {
  if (flowcontrol == 0) return;
  storagefile = fileName;
  const bool warm = !fileName.empty() && readParameter != 0 && readParameter != 2 && readParameter != 4;
  ReadVelocityState(warm, readParameter);
  if (!warm) return;
  if (maxzeit.size() != static_cast<size_t>(zonecount) + 1) {
    *diag << "FATAL: " << modulname.c_str()
          << ": the state is read before the flow-travel-time zones are built (programmers error)"
          << "[end-entry]";
    throw 57;
  }
  ReadTracerState();
  // Only instance 0 writes the section (into its own storage file): the
  // other instances, whose files have none, start with empty zones and
  // storages, as they hold no state of their own.
  if (mpirank != 0) {
    ClearZoneSums();
    for (auto* a : {&QDd, &QIi}) std::fill(a->begin(), a->end(), 0.0);
    return;
  }
  std::string path = fileName;
  MakePath(InitialStateDirectory, path);
  std::FILE* file = std::fopen(path.c_str(), "rt");
  if (!file) {
    *diag << "FATAL: " << modulname.c_str() << ": error opening storage content file " << path.c_str()
          << " (the state of a warm start)"
          << "[end-entry]";
    throw 64;
  }
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};
  char line[1202];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, file)) found = std::strstr(line, "SurfaceRoutingModel") != nullptr;
  if (!found) {
    // A file cut before the section, or written without the surface
    // routing: the water on its way to the outlets is part of the state.
    *diag << "FATAL: error looking for the section [SurfaceRoutingModel] in " << path.c_str()
          << ": the storage content file ends before it (cut short, or written by a run without the surface "
             "routing); a warm start continues the water on its way to the outlets"
          << "[end-entry]";
    throw 71;
  }
  ReadStorageSection(file, path);
}

void surfaceroutingclass::ReadVelocityState(bool warm, int soilReadParameter) {
  // Each sub-time-step's velocity iteration starts from the velocities of
  // the one before, the first of a step from the last of the step before:
  // they are state, read with the module's own read parameter from the
  // velocity stack the run before wrote at its end (write code 3).
  const int position = own[kVelocity].position;
  const std::string file = position > 0 ? gridlist[position].filename : std::string();
  if (storageread == 0) {
    if (warm)
      RequireStateRead(soilReadParameter, storageread,
                       "the read control parameter for storage grids in [" + modulname + "]",
                       "the velocities of the surface flow (the velocity stack " + file +
                           ", written with write code 3 at the end of the run before)");
    return;
  }
  std::string path = file;
  MakePath(InitialStateDirectory, path, 21);
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error))
    Fatal("FATAL: in modul " + modulname + ": the warm start reads the velocities of the surface flow from " + path +
              ", which does not exist. The velocity stack is written at the end of a run with write code 3 "
              "(\"Writegrid for surface-routing-velocity-stack\"): set it in the run that writes the state, or start "
              "the velocities anew (read control parameter for storage grids 0 in [" +
              modulname + "])",
          21);
  Stack read = nullptr;
  const int levels = ReadStack(file, &read, false);  // the instance's rows
  const int first = firstrow, last = lastrow;
  if (levels != kStackLevels) {
    FreeMatrix3d(read, first, last);
    *diag << "FATAL: wrong number of levels in stack " << file.c_str() << " (numlevels " << levels
          << ", it must be " << kStackLevels << "): the velocity stack of " << modulname.c_str()
          << " holds in its levels 0 to " << kStackLevels
          << " the main direction (0), the velocity towards each neighbour (1 to 8) and the water level (9)"
          << "[end-entry]";
    throw 13;
  }
  Stack V = own[kVelocity].stack;
  uzk::CellNote missing;
  for (int r = first; r <= last; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      bool complete = true;
      for (int k = 0; k <= kStackLevels && complete; ++k)
        if (!(read[r][c][k] > nodata)) {
          missing.Add(r, c, read[r][c][k], k);
          complete = false;
        }
      if (complete)
        for (int k = 0; k <= kStackLevels; ++k) V[r][c][k] = read[r][c][k];
    }
  FreeMatrix3d(read, first, last);
  missing.Reduce(ncols, MpiRunning() ? mpisize : 1);
  if (missing.count > 0) {
    *diag << "FATAL: in modul " << modulname.c_str() << ":\nthe state stack " << file.c_str()
          << " (the velocities of the surface flow) of the warm start " << missing.Where(nodata).c_str() << " at level "
          << missing.level
          << ", a cell of the basin; a warm start reads the state of every cell of the basin (written at the end of "
             "the run it continues)"
          << "[end-entry]";
    throw 33;
  }
}

void surfaceroutingclass::ReadTracerState() {
  for (int t = 1; t <= tracercount && t < static_cast<int>(tracerlinks.size()); ++t) {
    // The water on the surface, its standing water among it, keeps the
    // tracer it had at the end of the run before (written with the tracer's
    // grid code): its concentration, or with the silting-up the store that
    // takes its place (in that store's unit, as the hand-over leaves it).
    const int silting = tracerlinks[t].silting
                            ? FindGrid("concstor_tracer_" + std::to_string(t) + "_SiltingUpModel", false)
                            : 0;
    const std::string& file = silting > 0 ? gridlist[silting].filename : tracergrids[t].gridfile;
    const bool amount = silting > 0 && tracers[t].evaporating != 1;
    Grid read = nullptr;
    RequireTracerState(file, t, tracers[t]);
    ReadGrid(file, &read, 0, true, false, false, false, false, false, 0.0);
    int first = 0, last = 0;
    InstanceRows(false, first, last);
    OwnedGrid& g = tracerlinks[t].storage;
    Grid store = tracergrids[t].store;
    uzk::CellNote missing;
    for (int r = first; r <= last; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!OwnCell(r, c)) continue;
        const double x = read[r][c];
        if (!(x > nodata)) {
          missing.Add(r, c, x);
          continue;
        }
        const double water = surfacestorage[r][c];
        const double v = !amount ? x : water > 0 ? x / water : 0.0;
        if (r >= g.first && r <= g.last) g.grid[r][c] = v;
        if (store && r >= tracergrids[t].storefirst && r <= tracergrids[t].storelast) store[r][c] = v;
        if (Grid s = tracerlinks[t].silting) s[r][c] = x;
      }
    FreeMatrix(read, first, last, 1, ncols);
    missing.Reduce(ncols, MpiRunning() ? mpisize : 1);
    if (missing.count > 0) {
      *diag << "FATAL: in modul " << modulname.c_str() << ":\nthe state grid " << file.c_str() << " (tracer " << t
            << " of the water on the surface) of the warm start " << missing.Where(nodata).c_str()
            << ", a cell of the basin; a warm start reads the state of every cell of the basin (written at the end "
               "of the run it continues)"
            << "[end-entry]";
      throw 33;
    }
    MPIExchangeBorders(0, g.grid);
  }
}

bool surfaceroutingclass::WriteStorageFile(bool append) {
  // Without zones (no tracer set-up yet) there is no state to write.
  if (flowcontrol == 0 || storagefile.empty() || maxzeit.size() != static_cast<size_t>(zonecount) + 1) return false;
  std::string path = storagefile;
  MakePath(DefaultOutputDirectory, path);
  std::FILE* f = std::fopen(path.c_str(), append ? "a" : "w");
  if (!f) {
    *diag << "WARNING: the state of " << modulname.c_str() << " could not be written: error opening " << path.c_str()
          << "[end-entry]";
    return false;
  }
  bool ok = true;
  auto put = [&](int written) { ok = ok && written >= 0; };
  const int S = zonecount;
  const int T = tracercount;
  // The zone records are the sums over the instances, scaled by the sub-step count.
  put(std::fprintf(f, "[SurfaceRoutingModel]\n%d %d %s\n", mpisize, std::max(1, substeps), kStateLayoutText));
  put(std::fprintf(f, "%d (number of subasins)\n", S));
  put(std::fprintf(f, "%d (number of tracers)\n", T));
  for (int t = 0; t <= T; ++t) {
    put(std::fprintf(f, "%d (0=runoff, 1...9 = tracers)\n", t));
    for (int s = 1; s <= S; ++s) {
      const int m = static_cast<int>(maxzeit[s]);
      put(std::fprintf(f, "%d %d (zone %d and maxzeit)\n", s, m, s));
      for (int z = 1; z <= m; ++z) {
        const ZoneRecord& d = queueQD[t][s][z];
        const ZoneRecord& i = queueQI[t][s][z];
        put(std::fprintf(f, "%.17lg %.17lg %.17lg %.17lg %.17lg (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n", d.n,
                         d.sx, d.zonenwert, d.rel, d.RelCellSum));
        put(std::fprintf(f, "%.17lg %.17lg %.17lg %.17lg %.17lg (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n", i.n,
                         i.sx, i.zonenwert, i.rel, i.RelCellSum));
      }
      put(std::fprintf(f, "%.17g (QDd[%d][%d])\n", QDd[Flat(t, s)], t, s));
      put(std::fprintf(f, "%.17g (QIi[%d][%d])\n", QIi[Flat(t, s)], t, s));
    }
  }
  put(std::fprintf(f, "\n"));
  ok = (std::fclose(f) == 0) && ok;
  if (!ok)
    *diag << "WARNING: the state of " << modulname.c_str() << " could not be written completely to " << path.c_str()
          << "[end-entry]";
  return ok;
}

// ------------------------------------------------------------ release

void surfaceroutingclass::ReleaseGrids() {
  FreeFlowGrids();
  for (OwnedGrid& g : own) {
    if (g.owned) {
      if (g.position > 0) UnregisterGrid(g.position);
      if (g.stack) FreeMatrix3d(g.stack, g.first, g.last);
      if (g.grid) FreeMatrix(g.grid, g.first, g.last, 1, ncols);
    }
    g = OwnedGrid{};
  }
}

void surfaceroutingclass::ReleaseMemory(bool append) {
  if (flowcontrol != 0 && !released) {
    if (constructed) {
      // The contributions still on their way are summed on instance 0, which
      // holds the storages and writes the state.
      for (size_t t = 0; t < queueQD.size(); ++t)
        for (int s = 1; s <= zonecount; ++s) {
          MPIReduceRecords(queueQD[t][s].data(), static_cast<int>(queueQD[t][s].size()) - 1, true);
          MPIReduceRecords(queueQI[t][s].data(), static_cast<int>(queueQI[t][s].size()) - 1, true);
        }
      if (mpirank == 0) WriteStorageFile(append);
    }
    FreeTracerArrays();
    for (Stat& s : stats) {
      if (s.writer) s.writer->Finish();
      s.writer.reset();
      s.zones.clear();
    }
    for (auto& records : passrecords) records.clear();
    passvalues.clear();
    maxzeit.clear();
    queueQD.clear();
    queueQI.clear();
    ReleaseGrids();
    landuse.clear();
    vegcover.clear();
    released = true;
  }
  teilmodellklasse::FreeMemory();
}

void surfaceroutingclass::FreeMemory() {
  ReleaseMemory(false);
}
