// Step start, flow-time zones and the subbasin runoff of the unsaturated zone.
//
// Direct flow and interflow of a cell reach the outlet of their subbasin after
// the cell's flow time: the cells of a subbasin fall into flow-time zones of
// one step each; zone z holds what arrives z - 1 steps later. Record 1 is
// routed at the end of a step through one linear storage each for direct flow
// and interflow; baseflow is the subbasin mean without delay. All per-subbasin
// values are mm per step (the area-weighted mean over the subbasin's cells).
//
// The divisor (RelCellSum) of a zone record holds the weight of the cells
// whose water is in it. The water of the later zones reaches record 1 only
// after some steps, so their weight is put into the divisors ahead, on
// instance 0 only: the records are summed over the instances before routing.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"
#include "soil/uzkernels.h"

namespace {
double Weight(Grid relcellarea, int r, int c) {
  return relcellarea && relcellarea[r] && relcellarea[r][c] > kNodata ? relcellarea[r][c] : 1.0;
}
void Clear(ZoneRecord& z) {
  z.n = z.sx = z.RelCellSum = 0;
}
}  // namespace

// ---------------------------------------------------------------- accessors

void unsatzonmodellklasse::NotInitialized(const char* name) {
  Fatal(std::string("FATAL: ") + name + " not initialized (may be, tracer module not linked? -> programmers error!)",
        57);
}

double* unsatzonmodellklasse::GetQg() {
  if (flowcontrol == 0) return nullptr;
  if (Qg.empty()) NotInitialized("Qg");
  return Qg.data();
}

double* unsatzonmodellklasse::GetGlacierRunoff() {
  if (flowcontrol == 0) return nullptr;
  if (Qg.empty()) NotInitialized("Qg");
  return glacier_runoff.data();
}

double* unsatzonmodellklasse::GetQD() {
  if (flowcontrol == 0) return nullptr;
  if (QD.empty()) NotInitialized("QD");
  return QD.data();
}

double* unsatzonmodellklasse::GetQI() {
  if (flowcontrol == 0) return nullptr;
  if (QI.empty()) NotInitialized("QI");
  return QI.data();
}

double* unsatzonmodellklasse::GetQBb() {
  if (flowcontrol == 0) return nullptr;
  if (QBb.empty()) NotInitialized("QBb");
  return QBb.data();
}

// ---------------------------------------------------------------- flow-time zones

int unsatzonmodellklasse::FlowTimeZone(int r, int c) const {
  if (!flow_times || surface_routing_active) return 1;
  return static_cast<int>(flow_times[r][c]);
}

void unsatzonmodellklasse::InitFlowTimeZones() {
  *diag << "looking for longest flow travel time"
        << "[end-entry]";
  const int S = zonecount;
  maxzeit.assign(static_cast<size_t>(S) + 1, 0.0);
  baseflowsums.assign(static_cast<size_t>(S) + 1, ZoneRecord{0, 0, 0, 0, 0});
  if (!flow_times) {
    for (int s = 1; s <= S; ++s) maxzeit[s] = 1;
  } else {
    const double dt = timeinterval;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!OwnValidCell(r, c)) continue;
        const int s = SubbasinOf(r, c);
        if (s < 1) continue;
        const double seconds = flow_times[r][c];
        if (!(seconds >= 0))
          Fatal("FATAL: the flow time of the cell row " + std::to_string(r) + ", column " + std::to_string(c) + " in " +
                    gridlist[FindGrid("flow_times", false)].filename + " is missing or negative (" +
                    std::to_string(seconds) + ")",
                6);
        // Zone z collects the cells whose water needs more than z - 1 and at
        // most z steps; a flow time of 0 arrives within the step (zone 1).
        const int zone = std::max(1, static_cast<int>(std::ceil(seconds / 60.0 / dt)));
        flow_times[r][c] = zone;
        maxzeit[s] = std::max(maxzeit[s], static_cast<double>(zone));
      }
    if (mpisize > 1) {
      std::vector<double> all(maxzeit.size(), 0.0);
      MPI_Allreduce(maxzeit.data() + 1, all.data() + 1, S, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
      for (int s = 1; s <= S; ++s) maxzeit[s] = all[s];
    }
  }

  const size_t arrays = Flat(ntracers, S) + 1;
  zoneFZT_QD.assign(arrays, {});
  zoneFZT_QI.assign(arrays, {});
  for (int t = 0; t <= ntracers; ++t)
    for (int s = 1; s <= S; ++s) {
      const size_t m = static_cast<size_t>(std::max(0.0, maxzeit[s])) + 1;
      zoneFZT_QD[Flat(t, s)].assign(m, ZoneRecord{0, 0, 0, 0, 0});
      zoneFZT_QI[Flat(t, s)].assign(m, ZoneRecord{0, 0, 0, 0, 0});
    }
  exactQD.assign(static_cast<size_t>(S) + 1, {});
  exactQI.assign(static_cast<size_t>(S) + 1, {});
  for (int s = 1; s <= S; ++s) {
    exactQD[s].assign(zoneFZT_QD[Flat(0, s)].size(), ExactRecord{});
    exactQI[s].assign(zoneFZT_QI[Flat(0, s)].size(), ExactRecord{});
  }
  exactQB.assign(static_cast<size_t>(S) + 1, ExactRecord{});
  exact_zones_loaded = false;

  char logname[64];
  std::snprintf(logname, sizeof logname, "modell_%d.log", 0);
  if (!flow_times) {
    for (int t = 0; t <= ntracers; ++t)
      for (int s = 1; s <= S; ++s) {
        zoneFZT_QD[Flat(t, s)][1].rel = 1.0;
        zoneFZT_QI[Flat(t, s)][1].rel = 1.0;
      }
    if (mpirank == 0) {
      std::FILE* log = std::fopen(logname, "a");
      if (!log) {
        *diag << "WARNING: log file " << logname << " could not be opened"
              << "[end-entry]";
      } else {
        std::fputs("flow time distribution will not be calculated since no flow time grid was provided\n", log);
        std::fclose(log);
      }
    }
    return;
  }

  // Weight of the cells per zone, summed exactly over the instances.
  for (int r = firstrow; r <= lastrow; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c)) continue;
      const int s = SubbasinOf(r, c);
      if (s < 1) continue;
      const int z = static_cast<int>(flow_times[r][c]);
      exactQD[s][z].weight.Add(Weight(relcellarea, r, c));
    }
    *diag << ".";
  }
  *diag << "[end-entry]";
  {
    std::vector<ExactSum> weights;
    for (int s = 1; s <= S; ++s)
      for (ExactRecord& z : exactQD[s]) {
        weights.push_back(z.weight);
        z.Clear();
      }
    if (mpisize > 1) ExactSum::Reduce(weights.data(), static_cast<int>(weights.size()), -1);
    size_t k = 0;
    for (int s = 1; s <= S; ++s)
      for (ZoneRecord& z : zoneFZT_QD[Flat(0, s)]) z.n = z.RelCellSum = weights[k++].Value();
  }
  for (int s = 1; s <= S; ++s) zoneFZT_QI[Flat(0, s)] = zoneFZT_QD[Flat(0, s)];

  std::FILE* log = nullptr;
  if (mpirank == 0) {
    log = std::fopen(logname, "a");
    if (!log)
      *diag << "WARNING: error opening log-file " << logname << "[end-entry]";
    else
      std::fputs("flow time distribution:\n", log);
  }
  struct Closer {
    std::FILE*& f;
    ~Closer() {
      if (f) std::fclose(f);
    }
  } closer{log};
  const std::string file = gridlist[FindGrid("flow_times", false)].filename;
  for (int s = 1; s <= S; ++s) {
    const int m = static_cast<int>(maxzeit[s]);
    if (log) std::fprintf(log, "TG\t%4d\t(%3d\tZonen):", static_cast<int>(zonerecords[s].zonenwert), m);
    double W = 0;
    for (int z = 1; z <= m; ++z) W += zoneFZT_QD[Flat(0, s)][z].n;
    if (m < 1 || W == 0) {
      char code[32];
      std::snprintf(code, sizeof code, "%.0f", zonerecords[s].zonenwert);
      Fatal("FATAL: all cells in " + file + ", subbasin " + code + " are NODATA!", 6);
    }
    for (int z = 1; z <= m; ++z) {
      const double rel = zoneFZT_QD[Flat(0, s)][z].n / W;
      if (log) std::fprintf(log, "\t%5.3f", rel);
      if (z == 1 && !(rel > 0)) {
        // Zone z holds the cells whose flow time (s) needs z - 1 to z steps:
        // the step of the module is shorter than every flow time of the subbasin.
        int first = 1;
        while (first < m && !(zoneFZT_QD[Flat(0, s)][first].n > 0)) ++first;
        char code[32];
        std::snprintf(code, sizeof code, "%.0f", zonerecords[s].zonenwert);
        char minutes[32];
        std::snprintf(minutes, sizeof minutes, "%g", static_cast<double>(timeinterval));
        Fatal("FATAL: in flow-travel-time grid: the first time zone of subbasin " + std::to_string(s) +
                  " has no cells!\n(subbasin code " + code + ", flow times in seconds in " + file +
                  "): its nearest cells need " + std::to_string(first - 1) + " to " + std::to_string(first) +
                  " time steps of " + minutes + " min to reach the outlet; the time step of [" + modulname + "] in " +
                  UserControlFile() + " has to be at least the shortest flow time of every subbasin",
              61);
      }
      for (int t = 0; t <= ntracers; ++t)
        for (auto* a : {&zoneFZT_QD, &zoneFZT_QI}) {
          ZoneRecord& rec = (*a)[Flat(t, s)][z];
          rec.rel = rel;
          rec.zonenwert = z;
        }
      zoneFZT_QD[Flat(0, s)][z].n = 0;
    }
    if (log) std::fputs("\n", log);
  }

  // Divisors ahead: record z holds the weight of the zones z ... maxzeit. Each
  // call of run adds a cell's weight once, so a step adds it substeps times.
  for (int s = 1; s <= S; ++s) {
    const int m = static_cast<int>(maxzeit[s]);
    for (auto* a : {&zoneFZT_QD, &zoneFZT_QI}) {
      std::vector<ZoneRecord>& rec = (*a)[Flat(0, s)];
      rec[0].n = rec[0].RelCellSum = 0;
      for (int z = m - 1; z >= 1; --z) {
        rec[z].n += rec[z + 1].n;
        rec[z].RelCellSum += rec[z + 1].RelCellSum;
      }
      for (int z = 1; z <= m; ++z) {
        if (mpirank == 0) {
          rec[z].n *= substeps;
          rec[z].RelCellSum *= substeps;
        } else {
          rec[z].n = rec[z].RelCellSum = 0;
        }
      }
    }
    for (int z = 1; z <= m; ++z) zoneFZT_QD[Flat(0, s)][z].n = 0;
  }
}

void unsatzonmodellklasse::ShiftFlowTimeZones() {
  // The water of the records as the state left it (0 in a cold start).
  if (!exact_zones_loaded) {
    for (int s = 1; s <= zonecount; ++s)
      for (size_t z = 0; z < exactQD[s].size(); ++z)
        for (auto [exact, records] : {std::pair{&exactQD, &zoneFZT_QD}, std::pair{&exactQI, &zoneFZT_QI}}) {
          ExactRecord& x = (*exact)[s][z];
          const ZoneRecord& rec = (*records)[Flat(0, s)][z];
          x.Clear();
          x.water.Add(rec.sx);
          x.weight.Add(rec.RelCellSum);
        }
    exact_zones_loaded = true;
  }
  for (int s = 1; s <= zonecount; ++s)
    for (auto* a : {&exactQD, &exactQI}) {
      std::vector<ExactRecord>& rec = (*a)[s];
      const int m = static_cast<int>(rec.size()) - 1;
      if (surface_routing_active) {
        for (int z = 1; z <= m; ++z) rec[z].Clear();
        continue;
      }
      for (int z = 2; z <= m; ++z) rec[z - 1] = rec[z];
      if (m >= 1) rec[m].Clear();
    }
  for (int t = 0; t <= ntracers; ++t)
    for (int s = 1; s <= zonecount; ++s)
      for (auto* a : {&zoneFZT_QD, &zoneFZT_QI}) {
        std::vector<ZoneRecord>& rec = (*a)[Flat(t, s)];
        const int m = static_cast<int>(rec.size()) - 1;
        if (surface_routing_active) {
          // Every cell counts in zone 1: nothing waits in the later zones.
          for (int z = 1; z <= m; ++z) Clear(rec[z]);
          continue;
        }
        for (int z = 2; z <= m; ++z) {
          rec[z - 1].n = rec[z].n;
          rec[z - 1].sx = rec[z].sx;
          rec[z - 1].RelCellSum = rec[z].RelCellSum;
        }
        if (m >= 1) Clear(rec[m]);
      }
}

void unsatzonmodellklasse::AddToFlowTimeZones(int r, int c, int s, double g, int part) {
  const int z = FlowTimeZone(r, c);
  std::vector<ZoneRecord>& d = zoneFZT_QD[Flat(0, s)];
  std::vector<ZoneRecord>& i = zoneFZT_QI[Flat(0, s)];
  if (z < 1 || z >= static_cast<int>(d.size())) return;
  const double w = Weight(relcellarea, r, c);
  // The water newly left on the surface (the standing water taken up left
  // it before). With the surface routing, the direct runoff is what reaches
  // the river cells over the surface: AddRoutedDirectFlow books it once the
  // routing moved the water.
  // The glacierized share counts with its weight and no water.
  if (part < 0 || part == kZoneDirect) {
    const double direct = surface_routing_active ? 0.0 : directflow[r][c] - surface_taken[r][c];
    d[z].n += 1.0;
    exactQD[s][z].water.Add(direct * w * (1 - g) * substeps);
    exactQD[s][z].weight.Add(w);
  }
  if (part < 0 || part == kZoneInter) {
    const double inter = interflow[r][c];
    i[z].n += 1.0;
    exactQI[s][z].water.Add(inter * w * (1 - g) * substeps);
    exactQI[s][z].weight.Add(w);
  }
  if (part >= 0 && part != kZoneBase) return;
  // Baseflow: the mean over the subbasin, the glacierized share with 0.
  // Without the groundwater model the grid holds mm per step (already less
  // what the column could not give to a rule pumping groundwater for
  // irrigation: the pump takes its water from the saturated zone).
  // A missing value gives no baseflow; one that is no number stays one, so
  // that the runoff shows it instead of a plausible 0.
  Grid q = groundwatercoupling ? river_exfiltration : baseflow;
  double b = q && q[r] && !(q[r][c] <= nodata) ? q[r][c] : 0.0;
  if (groundwatercoupling) b *= substeps;
  ZoneRecord& base = baseflowsums[s];
  base.n += 1.0;
  exactQB[s].water.Add(b * w * (1 - g));
  exactQB[s].weight.Add(w);
}

void unsatzonmodellklasse::AddRoutedDirectFlow() {
  // "directflow" holds what the surface routing's last sub-step brought to
  // each river cell (0 on the land): the direct runoff of that sub-step.
  const size_t width = static_cast<size_t>(ncols) + 1;
  const std::vector<Grid> grids = StepFluxGrids();
  const size_t k = static_cast<size_t>(std::find(grids.begin(), grids.end(), directflow) - grids.begin());
  if (k < stepsums.size()) {
    double* const sums = stepsums[k].data();
#pragma omp parallel for schedule(static)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (OwnValidCell(r, c))
          sums[static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c)] += directflow[r][c];
  }
  // The zone records in cell order (only the river cells receive water).
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c)) continue;
      const double direct = directflow[r][c];
      if (!(direct != 0)) continue;
      const int s = SubbasinOf(r, c);
      const int z = FlowTimeZone(r, c);
      if (s < 1 || z < 1 || z >= static_cast<int>(exactQD[s].size())) continue;
      const double g = GlacierFraction(r, c);
      const double w = Weight(relcellarea, r, c) * (1 - g);
      exactQD[s][z].water.Add(direct * w * substeps);
      for (int t = 1; t <= ntracers; ++t) {
        ZoneRecord& d = zoneFZT_QD[Flat(t, s)][z];
        d.sx += soiltracers[t].concQD[r][c] * direct * w * substeps;
        d.RelCellSum += direct * w * substeps;
      }
    }
}

// ---------------------------------------------------------------- step start

void unsatzonmodellklasse::InitialSoilTemperatures() {
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      double* T = Soil_Temperature_Stack[r][c];
      soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
      if (!soil || !(air_temperature[r][c] > nodata) || !(T_Lower_Boundary_Condition[r][c] > nodata)) {
        for (int k = 1; k <= layers; ++k) T[k] = nodata;
        continue;
      }
      const double* z = geodetic_heads[r][c];
      const int n = std::min(layers, soil->layers);
      const double lower = T_Lower_Boundary_Condition[r][c];
      // A cold start knows no ice in the soil: the line runs from the air
      // temperature, at least 0 degrees C, at the surface to the lower
      // boundary's. (From air below freezing the line froze the water of
      // the layers above its zero at once, without their latent heat: the
      // top metre in a cold January hour, and in daily steps, whose first
      // air is the day's mean, another depth than in hourly ones.)
      const double air = std::max(0.0, air_temperature[r][c]);
      T[0] = lower;
      const double depth = z[0] - z[n];
      for (int k = 1; k <= n; ++k) {
        const double f = depth > 0 ? (z[0] - 0.5 * (z[k - 1] + z[k])) / depth : 0.0;
        T[k] = f * lower + (1 - f) * air;
      }
    }
  soil_temperature_pending = 0;
}

void unsatzonmodellklasse::StartStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flowcontrol == 0) return;
  if (!step_bound) {
    int p = FindGrid("MPIRegions", false);
    MPIRegionsGrid = p > 0 ? gridlist[p].grid : nullptr;
    p = FindGrid("gw_head_1", false);
    gw_head_1 = p > 0 ? gridlist[p].grid : nullptr;
    step_bound = true;
  }
  stephour = hour;
  stepday = day;
  stepmonth = month;
  stepyear = year;
  SetStepDate(year, month, day, hour);
  const int interval = std::max(1, reportinterval);
  if (interval == 1 || (static_cast<int64_t>(mintointendhours) + hour) % interval == 0)
    *diag << std::setw(20) << modulname.c_str() << " " << static_cast<long>(day) << "." << static_cast<long>(month)
          << "." << static_cast<long>(year) << " " << static_cast<long>(hour) << ". h "
          << "(time of meteo data)" << options_tag.c_str() << "[end-entry]";
  if (heat_transfer_flow_control > 0 && soil_temperature_pending && Soil_Temperature_Stack && air_temperature &&
      T_Lower_Boundary_Condition)
    InitialSoilTemperatures();
  if (zoneFZT_QD.empty()) NotInitialized("Qg");
  substep_in_step = 0;
  ShiftFlowTimeZones();
  for (ZoneRecord& b : baseflowsums) b.n = b.sx = b.RelCellSum = 0;
  for (ExactRecord& b : exactQB) b.Clear();
  const int order[] = {kStatGWSTAND, kStatGWN,  kStatMACRO,  kStatSUBSTEPS, kStatINFILT, kStatSB1, kStatSB2,
                       kStatIMMO,    kStatROOT, kStatINFEX,  kStatQD,       kStatQI,     kStatQB,  kStatGWIN,
                       kStatGWEX,    kStatQg,   kStatQDRAIN, kStatPOND,     kStatTEMPER};
  for (int k : order)
    if (statistics[k]) statistics[k]->NewStep();
  // Dynamic glaciers: the soil of the share of a cell that the yearly update
  // (at the end of the step before, after this model's step) covered keeps
  // its water under the glacier, out of the soil's store; the share it left
  // brings the soil's water in. At the start of the step, before the soil's
  // water changes. The records follow, so that the snow model's glacier
  // runoff of this step, which comes from the new cells, is taken where the
  // glacier now is.
  if (!glacier_before.empty()) GlacierResizing();
  if (glacier_records && GlacierMassBalance) CountGlacierRecords();
  StartTracerStep();
}

// ---------------------------------------------------------------- drainable pore volume

void unsatzonmodellklasse::ComputeDrainablePoreVolume() {
  if (flowcontrol == 0 || !Max_Pumping) return;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
      if (!soil) {
        Max_Pumping[r][c] = nodata;
        continue;
      }
      const int n = std::min(layers, soil->layers);
      const int g = std::clamp(static_cast<int>(groundwater_level[r][c]), 1, n);
      double sum = 0;
      // The lowest layer does not count.
      for (int i = g; i <= n - 1; ++i)
        sum += (soil->theta_sat[i] - soil->InterpolateTableInverse(i, uzk::kDrainableSuction)) * soil->thickness[i];
      Max_Pumping[r][c] = 1000.0 * sum;
    }
}

// ---------------------------------------------------------------- initial baseflow

void unsatzonmodellklasse::InitialBaseflow() {
  const int S = zonecount;
  // (Water and weight summed exactly: the same on any number of instances.)
  std::vector<ExactSum> sums(2 * (static_cast<size_t>(S) + 1));
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c)) continue;
      const int s = SubbasinOf(r, c);
      if (s < 1) continue;
      if (!groundwatercoupling)
        baseflow[r][c] = std::exp(groundwater_distance[r][c] * kelsqlat[s]) * qb_reduction_factor[s];
      const double w = Weight(relcellarea, r, c);
      sums[2 * s].Add(baseflow[r][c] * w);
      sums[2 * s + 1].Add(w);
    }
  if (mpisize > 1) ExactSum::Reduce(sums.data(), static_cast<int>(sums.size()), 0);
  for (int s = 1; s <= S; ++s) {
    const double weight = sums[2 * s + 1].Value();
    Qg[Flat(0, s)] = weight > 0 ? sums[2 * s].Value() / weight : 0.0;
  }
}

// ---------------------------------------------------------------- end of step

void unsatzonmodellklasse::SettleExactZones() {
  const int S = zonecount;
  if (mpisize > 1) {
    // Every record's water on instance 0 (the others keep none): summed as
    // integers, the same in any order of the instances.
    std::vector<ExactSum> pack;
    auto put = [&](const ExactRecord& x) {
      pack.push_back(x.water);
      pack.push_back(x.weight);
    };
    for (int s = 1; s <= S; ++s)
      for (auto* a : {&exactQD, &exactQI})
        for (const ExactRecord& x : (*a)[s]) put(x);
    for (const ExactRecord& x : exactQB) put(x);
    ExactSum::Reduce(pack.data(), static_cast<int>(pack.size()), 0);
    size_t k = 0;
    auto take = [&](ExactRecord& x) {
      x.water = pack[k++];
      x.weight = pack[k++];
      if (mpirank != 0) x.Clear();
    };
    for (int s = 1; s <= S; ++s)
      for (auto* a : {&exactQD, &exactQI})
        for (ExactRecord& x : (*a)[s]) take(x);
    for (ExactRecord& x : exactQB) take(x);
  }
  for (int s = 1; s <= S; ++s)
    for (size_t z = 0; z < exactQD[s].size(); ++z)
      for (auto [exact, records] : {std::pair{&exactQD, &zoneFZT_QD}, std::pair{&exactQI, &zoneFZT_QI}}) {
        ZoneRecord& rec = (*records)[Flat(0, s)][z];
        rec.sx = (*exact)[s][z].water.Value();
        rec.RelCellSum = (*exact)[s][z].weight.Value();
      }
  for (int s = 0; s <= S; ++s) {
    baseflowsums[s].sx = exactQB[s].water.Value();
    baseflowsums[s].RelCellSum = exactQB[s].weight.Value();
  }
}

void unsatzonmodellklasse::RouteSubbasinRunoff(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flowcontrol == 0) return;
  const int S = zonecount;
  if (zoneFZT_QD.empty() || Qg.empty()) NotInitialized("Qg");
  // The flux grids take the sums of the step's sub-steps.
  if (surface_routing_active) AddRoutedDirectFlow();
  PutStepSums();
  SettleExactZones();
  ZoneRecord* qb = baseflowsums.data();
  // Records 0 and 1 of every zone array and the baseflow records, summed on
  // instance 0 in one reduction (the other instances keep zeros).
  if (mpisize > 1) {
    std::vector<ZoneRecord> pack;
    pack.reserve(static_cast<size_t>(4) * (ntracers + 1) * S + S + 1);
    for (int t = 0; t <= ntracers; ++t)
      for (int s = 1; s <= S; ++s)
        for (auto* a : {&zoneFZT_QD, &zoneFZT_QI})
          for (int z = 0; z <= 1; ++z) pack.push_back((*a)[Flat(t, s)][z]);
    for (int s = 0; s <= S; ++s) pack.push_back(qb[s]);
    MPIReduceRecords(pack.data(), static_cast<int>(pack.size()) - 1, true);
    size_t k = 0;
    for (int t = 0; t <= ntracers; ++t)
      for (int s = 1; s <= S; ++s)
        for (auto* a : {&zoneFZT_QD, &zoneFZT_QI})
          for (int z = 0; z <= 1; ++z) (*a)[Flat(t, s)][z] = pack[k++];
    for (int s = 0; s <= S; ++s) qb[s] = pack[k++];
  }

  if (mpirank == 0) {
    const double dt = timeinterval;
    // One linear storage: the outflow of the step from the storage's outflow
    // before and the inflow of the step; the tracers mix in it.
    auto route = [&](std::vector<std::vector<ZoneRecord>>& zones, std::vector<double>& in, std::vector<double>& out,
                     double k, int s) {
      for (int t = 0; t <= ntracers; ++t) {
        const ZoneRecord& z1 = zones[Flat(t, s)][1];
        in[Flat(t, s)] = z1.RelCellSum > 0 ? z1.sx / z1.RelCellSum : 0.0;
      }
      double e = k > 0 ? std::exp(-dt / k) : 0.0;
      if (surface_routing_active) e = 0;
      const double c = 1 - e;
      const double Q = e * out[Flat(0, s)] + c * in[Flat(0, s)];
      for (int t = 1; t <= ntracers; ++t)
        out[Flat(t, s)] =
            Q > 0 ? (in[Flat(0, s)] * in[Flat(t, s)] * c + out[Flat(0, s)] * out[Flat(t, s)] * e) / Q : 0.0;
      out[Flat(0, s)] = Q;
    };
    auto book = [&](int line, int s, double value) {
      if (!statrecords[line]) return;
      ZoneRecord& rec = statrecords[line][s];
      rec.n = rec.RelCellSum = rec.rel;
      rec.sx = rec.rel * value;
    };
    for (int s = 1; s <= S; ++s) {
      route(zoneFZT_QD, QD, QDd, kelsqd[s], s);
      book(kStatQD, s, QDd[Flat(0, s)]);
      // Negative means are cut to 0; a mean that is no number stays one (std::max would make it 0).
      const double meanQB = qb[s].RelCellSum > 0 ? qb[s].sx / qb[s].RelCellSum : 0.0;
      QBb[Flat(0, s)] = meanQB < 0 ? 0.0 : meanQB;
      book(kStatQB, s, QBb[Flat(0, s)]);
      route(zoneFZT_QI, QI, QIi, kelsqi[s], s);
      book(kStatQI, s, QIi[Flat(0, s)]);
      const double total = QDd[Flat(0, s)] + QIi[Flat(0, s)] + QBb[Flat(0, s)];
      // Subbasins with glacier: the snow model put the glacier runoff of the
      // step there (it writes every subbasin every step). Without the snow
      // model nothing was written, and what Qg holds is the last step's runoff.
      const bool glacier = glacier_runoff_source && glacier_records && glacier_records[s].has_glacier;
      glacier_runoff[s] = glacier ? Qg[Flat(0, s)] : 0.0;
      Qg[Flat(0, s)] = glacier_runoff[s] + total;
      book(kStatQg, s, Qg[Flat(0, s)]);
    }
  }
  WriteStepOutputs(hour, day, month, year);
  if (ntracers > 0) RouteTracers(hour, day, month, year);
}
