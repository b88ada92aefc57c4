// Dissolved substances (tracers) in the unsaturated zone: their set-up, the
// subbasin sums and routing of their concentrations, the outputs and the
// release. The transport in the soil column itself is part of the column
// solve (soil/unsatzon_solve.cpp, soil/uzbalance.cpp).
//
// A tracer's soil storage stack holds per layer the amount, i.e. the
// concentration times the layer's water in mm, so that water leaving by
// evaporation leaves the substance behind; a tracer marked "evaporating"
// leaves with the water, and its stack holds the concentration itself.
// Subbasin values are flow-weighted: the zone records sum the load
// (concentration times water) in sx and the water that carries it in
// RelCellSum, so their quotient is the concentration of the mixed water.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"
#include "parameters/soil_table_entry.h"
#include "soil/cellnote.h"
#include "soil/unsatzon.h"

namespace {
constexpr int64_t kPointBufferBytes = 2097152;

double Weight(Grid relcellarea, int r, int c) {
  return relcellarea && relcellarea[r] && relcellarea[r][c] > kNodata ? relcellarea[r][c] : 1.0;
}

std::string TracerFile(const TracerRecord& t, const char* middle, const std::string& extension) {
  char name[1201];
  std::snprintf(name, sizeof name, "%s%.3s%.5s.%s", t.path.c_str(), t.name.c_str(), middle, extension.c_str());
  return name;
}
}  // namespace

// ---------------------------------------------------------------- set-up

void unsatzonmodellklasse::InitSoilTracers(TracerRecord* settings, StatRecord* registry, int capacity) {
  const int T = ntracers;
  tracersettings = settings;
  soiltracers.assign(static_cast<size_t>(T) + 1, SoilTracer{});
  // The tracers' stacks are state as the water's stacks are: read with them.
  const bool readStack = ReadsState();
  for (int t = 1; t <= T; ++t) {
    const TracerRecord& tr = settings[t];
    SoilTracer& st = soiltracers[t];
    // Decay over one call of run (a sub-step of the time step).
    if (tr.radioactive == 1 && tr.half_time > 0)
      st.decay = std::exp(-((timeinterval / substeps) / 60.0 / 24.0) / (tr.half_time * 1.442695041111));

    // Statistics of the subbasins' runoff concentration.
    st.records = static_cast<ZoneRecord*>(Alloc(static_cast<int>(sizeof(ZoneRecord)) * (zonecount + 1), 1));
    for (int k = 0; k <= zonecount; ++k)
      st.records[k] = ZoneRecord{0, 0, zonerecords[k].zonenwert, zonerecords[k].rel, 0};
    st.statfile = TracerFile(tr, modulname.c_str(), tr.statext);
    int code = 0;
    st.statistic =
        new zonalstatistic(code, diag, registry, capacity, relcellarea, nrows, ncols, st.records, zonecount,
                           tr.statcode, 99, st.statfile, DefaultOutputDirectory, outputlistcount, outputlist);
    if (code != 0) throw code;
    char title[160];
    std::snprintf(title, sizeof title, "tracer concentration for tracer %d (%s) ", t, tr.name.c_str());
    st.statistic->WriteHeader(modulname, title, registry, capacity);

    // Concentration of the water that reaches the soil, of the module that
    // hands it on (SelectInfiltrationInput): the snow's outflow when the
    // interception runs first, else the throughfall.
    char names[4][96];
    const char* sources[4] = {"interception_model", "snow_model", "irrigation", "input"};
    if (infiltrationinput) std::swap(sources[0], sources[1]);
    int p = 0;
    for (int k = 0; k < 4; ++k) {
      std::snprintf(names[k], sizeof names[k], "concflux_tracer_%1d_%s", t, sources[k]);
      if (p < 1) p = FindGrid(names[k], false);
    }
    if (p < 1) p = GetGrid(names[3]);
    st.input = gridlist[p].grid;

    // Control-point file: its header now, its rows at every flush.
    if (control_here) {
      st.point.path = TracerFile(tr, "point", tr.statext);
      st.point.first = 1;
      st.point.last = layers;
      std::FILE* f = std::fopen(st.point.path.c_str(), "wt");
      if (!f) Fatal("FATAL: \nerror opening file " + st.point.path, 65);
      bool ok = std::fprintf(f, "YY\tMM\tDD\tHH\t%s[%d][%d]", title, control_row, control_col) >= 0;
      for (int k = 1; k <= layers && ok; ++k) ok = std::fprintf(f, "[%d]\t", k) >= 0;
      ok = ok && std::fputc('\n', f) != EOF;
      if (std::fclose(f) != 0 || !ok) Fatal("FATAL: \nerror writing file " + st.point.path, 65);
    }

    // Soil storage stack with the layer-1 concentration as its grid.
    const int position = NextPosition();
    char stackname[96];
    std::snprintf(stackname, sizeof stackname, "concstor_tracer_%d_%s", t, modulname.c_str());
    st.stackfile = TracerFile(tr, modulname.c_str(), tr.gridext);
    if (readStack) {
      RequireTracerState(st.stackfile, t, tr);
      const int levels = ReadStack(st.stackfile, &st.store, true);
      st.first = mpirank == 0 ? 1 : firstrow;
      st.last = mpirank == 0 ? nrows : lastrow;
      if (levels != layers) {
        FreeMatrix3d(st.store, st.first, st.last);
        st.store = nullptr;
        *diag << "FATAL: wrong number of levels in stack " << st.stackfile << " (there are " << levels
              << " levels, it must be " << layers << "[end-entry]";
        throw 13;
      }
      // Every layer of every cell of the basin holds its tracer.
      uzk::CellNote missing;
      for (int r = firstrow; r <= lastrow; ++r)
        for (int c = 1; c <= ncols; ++c) {
          soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
          const int n = soil ? std::min(layers, soil->layers) : 0;
          for (int k = 1; k <= n; ++k)
            if (!(st.store[r][c][k] > nodata)) {
              missing.Add(r, c, st.store[r][c][k], k);
              break;
            }
        }
      missing.Reduce(ncols, mpisize);
      if (missing.count > 0)
        ModuleFatal("the state stack " + st.stackfile + " (tracer " + std::to_string(t) +
                        " of the soil) of the warm start at level " + std::to_string(missing.level) + " " +
                        missing.Where(nodata) +
                        ", a cell of the basin; a warm start reads the state of every cell of the basin (written at "
                        "the end of the run it continues)",
                    33);
    } else {
      st.first = firstrow;
      st.last = lastrow;
      st.store = matrix3d(st.first, st.last, 1, ncols, layers, nrows);
      for (int r = firstrow; r <= lastrow; ++r)
        for (int c = 1; c <= ncols; ++c) {
          double* v = st.store[r][c];
          soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
          if (!soil) {
            for (int k = 0; k <= layers; ++k) v[k] = nodata;
            continue;
          }
          const int n = std::min(layers, soil->layers);
          const int L = std::clamp(static_cast<int>(groundwater_level[r][c]), 1, n + 1);
          v[0] = 0;
          for (int k = 1; k <= layers; ++k) {
            const double c0 = k < L ? tr.soilini : tr.gwini;
            const double water = k <= n ? theta[r][c][k] * 1000.0 * soil->thickness[k] : 0.0;
            v[k] = tr.evaporating == 1 ? c0 : c0 * water;
          }
        }
    }
    st.conc = matrix(st.first, st.last, 1, ncols, nrows);
    for (int64_t r = st.first; r <= st.last; ++r)
      for (int c = 1; c <= ncols; ++c) st.conc[r][c] = nodata;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
        if (soil) st.conc[r][c] = LayerConcentration(t, r, c, 1, soil->thickness[1]);
      }
    RegisterGrid(position, st.stackfile, st.conc, st.store, layers, stackname, tr.gridcode, st.first, st.last);
    st.position = position;

    // Water of the silting-up model, when that model carries the tracer.
    char silting[96];
    std::snprintf(silting, sizeof silting, "concflux_tracer_%d_SiltingUpModel", t);
    const int s = FindGrid(silting, false);
    st.silting = s > 0 ? gridlist[s].grid : nullptr;
    // The silting-up model hands the input on with the water that stood on
    // the surface (the surface routing's, from the step before) in it: its
    // store holds their tracer, which the input carries to the soil.
    if (silting_up && silting_up_storage == 0) {
      std::snprintf(silting, sizeof silting, "concstor_tracer_%d_SiltingUpModel", t);
      const int p = FindGrid(silting, false);
      if (p > 0) {
        st.siltingStore = gridlist[p].grid;
        st.handed = matrix(firstrow, lastrow, 1, ncols, nrows);
        for (int r = firstrow; r <= lastrow; ++r)
          for (int c = 1; c <= ncols; ++c) st.handed[r][c] = 0.0;
      }
    }

    // Concentrations of the cell's direct flow and interflow for the surface routing.
    st.concQD = NewGrid("_CONC_QD_" + std::to_string(t) + "_", FileSpec{}, 0.0, false, false);
    st.concQI = NewGrid("_CONC_QI_" + std::to_string(t) + "_", FileSpec{}, 0.0, false, false);
    st.concQB = NewGrid("_CONC_QB_" + std::to_string(t) + "_", FileSpec{}, 0.0, false, false);
    // The concentration of the groundwater the irrigation pumps (the
    // irrigation books it before the soil pumps it).
    st.saturated = NewGrid("tracer_" + std::to_string(t) + "_saturated_zone", FileSpec{}, 0.0, false, false);
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (OwnValidCell(r, c) && SoilOf(r, c)) st.saturated[r][c] = SaturatedConcentration(t, r, c);
  }
}

void unsatzonmodellklasse::BindGroundwaterTracers() {
  for (int t = 1; t <= ntracers; ++t) {
    char name[96];
    std::snprintf(name, sizeof name, "concstor_tracer_%d_layer_1_%s", t, "groundwater_flow");
    const int p = FindGrid(name, false);
    soiltracers[t].groundwater = p > 0 ? gridlist[p].grid : nullptr;
    std::snprintf(name, sizeof name, "groundwater_exchange_tracer_%d", t);
    const int e = FindGrid(name, false);
    soiltracers[t].exchange = e > 0 ? gridlist[e].grid : nullptr;
  }
  const int w = FindGrid("groundwater_saturated_water", false);
  saturated_water = w > 0 ? gridlist[w].grid : nullptr;
  const int p = FindGrid("aquifer_thickness_1", false);
  aquifer_thickness = p > 0 ? gridlist[p].grid : nullptr;
}

double unsatzonmodellklasse::SaturatedConcentration(int t, int r, int c) const {
  soil_table_entry* soil = SoilOf(r, c);
  if (!soil) return 0.0;
  const int n = std::min(layers, soil->layers);
  const int g = std::clamp(static_cast<int>(groundwater_level[r][c]), 1, std::max(1, n));
  const double* v = soiltracers[t].store[r][c];
  double mass = 0, water = 0;
  for (int k = g; k <= n; ++k) {
    const double wk = theta[r][c][k] * soil->thickness[k] * 1000.0;
    const double x = v[k] > nodata ? v[k] : 0.0;
    mass += std::max(0.0, tracersettings[t].evaporating == 1 ? x * wk : x);
    water += wk;
  }
  return water > 0 ? mass / water : 0.0;
}

double unsatzonmodellklasse::LayerConcentration(int t, int r, int c, int layer, double thickness) const {
  const double v = soiltracers[t].store[r][c][layer];
  if (!(v > nodata)) return nodata;
  if (tracersettings[t].evaporating == 1) return v;
  const double th = theta[r][c][layer];
  return th > 1e-5 ? v / (th * thickness * 1000.0) : 0.0;
}

void unsatzonmodellklasse::TakeGroundwaterTracer(double m, int g, int n, const double* theta, const double* d,
                                                 double* a) {
  // The saturated zone's layers: what arrived joins them by their water,
  // what left leaves them by their tracer.
  double mass = 0, water = 0;
  for (int k = g; k <= n; ++k) {
    mass += std::max(0.0, a[k]);
    water += theta[k] * d[k];
  }
  if (m > 0 ? water > 0 : mass > 0) {
    for (int k = g; k <= n; ++k) a[k] += m > 0 ? m * theta[k] * d[k] / water : m * std::max(0.0, a[k]) / mass;
    return;
  }
  // A column without saturated water (or tracer) keeps what arrived where
  // the water it came with goes: the groundwater level layer and those
  // above it fill first; the first of them that holds water (or the
  // nearest below) takes it, so that an evaporating tracer stays a
  // concentration of water.
  int k = 0;
  for (int i = g; i >= 1 && k == 0; --i)
    if (theta[i] * d[i] > 0) k = i;
  for (int i = g + 1; i <= n && k == 0; ++i)
    if (theta[i] * d[i] > 0) k = i;
  a[k > 0 ? k : g] += m;
}

void unsatzonmodellklasse::InitialTracerBaseflow() {
  const int S = zonecount;
  for (int t = 1; t <= ntracers; ++t) {
    ZoneRecord* rec = soiltracers[t].records;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!OwnValidCell(r, c)) continue;
        const int s = SubbasinOf(r, c);
        soil_table_entry* soil = SoilOf(r, c);
        if (s < 1 || !soil) continue;
        const double q = baseflow[r][c];
        const double conc = LayerConcentration(t, r, c, 1, soil->thickness[1]);
        if (!(q > nodata) || !(conc > nodata)) continue;
        const double w = Weight(relcellarea, r, c);
        rec[s].sx += w * q * conc;
        rec[s].n += q;
        rec[s].RelCellSum += w * q;
      }
    if (mpisize > 1) MPIReduceRecords(rec, S, true);
    for (int s = 1; s <= S; ++s) {
      Qg[Flat(t, s)] = rec[s].RelCellSum > 0 ? rec[s].sx / rec[s].RelCellSum : 0.0;
      rec[s].n = rec[s].sx = rec[s].RelCellSum = 0;
    }
  }
}

// ---------------------------------------------------------------- the step

void unsatzonmodellklasse::StartTracerStep() {
  for (int t = 1; t <= ntracers; ++t) {
    SoilTracer& st = soiltracers[t];
    if (st.statistic) st.statistic->NewStep();
    for (int s = 0; s <= zonecount; ++s) st.records[s].n = st.records[s].sx = st.records[s].RelCellSum = 0;
  }
}

void unsatzonmodellklasse::AddTracersToZones(int r, int c, int s, double g) {
  if (ntracers < 1) return;
  const int z = FlowTimeZone(r, c);
  const double w = Weight(relcellarea, r, c) * (1 - g) * substeps;
  // (With the surface routing AddRoutedDirectFlow books the direct runoff.)
  const double direct = surface_routing_active ? 0.0 : directflow[r][c];
  const double inter = interflow[r][c];
  Grid qb = groundwatercoupling ? river_exfiltration : baseflow;
  const double base = qb && qb[r] && qb[r][c] > 0 ? qb[r][c] : 0.0;
  for (int t = 1; t <= ntracers; ++t) {
    SoilTracer& st = soiltracers[t];
    std::vector<ZoneRecord>& d = zoneFZT_QD[Flat(t, s)];
    std::vector<ZoneRecord>& i = zoneFZT_QI[Flat(t, s)];
    if (z >= 1 && z < static_cast<int>(d.size())) {
      d[z].n += 1 - g;
      d[z].sx += st.concQD[r][c] * direct * w;
      d[z].RelCellSum += direct * w;
      i[z].n += 1 - g;
      i[z].sx += st.concQI[r][c] * inter * w;
      i[z].RelCellSum += inter * w;
    }
    // Baseflow (with the groundwater model the exfiltration into the
    // river) leaves the column with the substance of the water it took
    // from its layers.
    const double conc = st.concQB[r][c];
    if (base > 0 && conc > nodata) {
      st.records[s].n += 1 - g;
      st.records[s].sx += conc * base * w;
      st.records[s].RelCellSum += base * w;
    }
  }
}

// ---------------------------------------------------------------- end of step

void unsatzonmodellklasse::RouteTracers(int64_t hour, int64_t day, int64_t month, int64_t year) {
  const int S = zonecount;
  for (int t = 1; t <= ntracers; ++t) {
    SoilTracer& st = soiltracers[t];
    // Concentration in the top layer, for the grid written with the step.
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        soil_table_entry* soil = OwnValidCell(r, c) ? SoilOf(r, c) : nullptr;
        if (!soil) continue;
        const double v = st.store[r][c][1];
        if (tracersettings[t].evaporating == 1)
          st.conc[r][c] = v;
        else
          st.conc[r][c] = theta[r][c][1] > 0.0001 ? v / (theta[r][c][1] * 1000.0 * soil->thickness[1]) : 99999.0;
      }
    WriteDatedGrid(st.position);
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (OwnValidCell(r, c) && SoilOf(r, c)) st.saturated[r][c] = SaturatedConcentration(t, r, c);
    // The baseflow records are summed on instance 0 before they are used there,
    // so the line is the same with any number of instances.
    if (mpisize > 1) MPIReduceRecords(st.records, S, true);
    if (mpirank == 0) {
      for (int s = 1; s <= S; ++s) {
        ZoneRecord& rec = st.records[s];
        const double cB = rec.RelCellSum > 0 ? rec.sx / rec.RelCellSum : 0.0;
        QBb[Flat(t, s)] = cB;
        // The runoff's concentration mixes what left by each way, weighted
        // by the water that left (a way whose net water is negative, took
        // in more than it gave, brings none), so that it lies between its
        // sources' concentrations.
        const double qb = std::max(0.0, QBb[Flat(0, s)]), qi = std::max(0.0, QIi[Flat(0, s)]),
                     qd = std::max(0.0, QDd[Flat(0, s)]);
        // The glacier runoff joins at its own concentration.
        const double qg = std::max(0.0, glacier_runoff[s]), cG = glacier_runoff[Flat(t, s)];
        const double total = qb + qi + qd + qg;
        Qg[Flat(t, s)] = total > 0 ? (qb * cB + qi * QIi[Flat(t, s)] + qd * QDd[Flat(t, s)] + qg * cG) / total : 0.0;
        rec.n = 1;
        rec.sx = Qg[Flat(t, s)];
        rec.RelCellSum = 1;
      }
    }
    if (st.statistic) st.statistic->Reduce(year, month, day, hour, 0);
  }
  AddTracerPointRows();
}

// ---------------------------------------------------------------- control-point files

void unsatzonmodellklasse::AddTracerPointRows() {
  if (!control_here || ntracers < 1) return;
  const int r = control_row;
  const int c = control_col;
  soil_table_entry* soil = SoilOf(r, c);
  const int64_t capacity = std::max<int64_t>(1, kPointBufferBytes / ((layers + 1) * 8 + 32));
  for (int t = 1; t <= ntracers; ++t) {
    PointRows& rows = soiltracers[t].point;
    if (rows.count >= capacity) WritePointRows(rows);
    rows.dates.insert(rows.dates.end(), {stepyear, stepmonth, stepday, stephour});
    const size_t base = rows.values.size();
    rows.values.resize(base + layers + 1, nodata);
    double* v = rows.values.data() + base;
    const int n = soil ? std::min(layers, soil->layers) : 0;
    for (int k = 1; k <= n; ++k) {
      const double stored = soiltracers[t].store[r][c][k];
      const double th = theta[r][c][k];
      if (tracersettings[t].evaporating == 1)
        v[k] = stored;
      else
        v[k] = th > 1e-5 ? stored / (th * soil->thickness[k] * 1000.0) : th;
    }
    ++rows.count;
  }
}

void unsatzonmodellklasse::WriteTracerPointRows() {
  if (!control_here) return;
  for (size_t t = 1; t < soiltracers.size(); ++t) WritePointRows(soiltracers[t].point);
}

void unsatzonmodellklasse::FlushTracerStatistics() {
  for (size_t t = 1; t < soiltracers.size(); ++t)
    if (soiltracers[t].statistic) soiltracers[t].statistic->Flush();
}

// ---------------------------------------------------------------- release

void unsatzonmodellklasse::FreeTracerArrays() {
  if (flowcontrol == 0) return;
  for (size_t t = 1; t < soiltracers.size(); ++t) {
    SoilTracer& st = soiltracers[t];
    if (st.position > 0) UnregisterGrid(st.position);
    if (st.store) FreeMatrix3d(st.store, st.first, st.last);
    if (st.conc) FreeMatrix(st.conc, st.first, st.last, 1, ncols);
    if (st.handed) FreeMatrix(st.handed, firstrow, lastrow, 1, ncols);
    if (st.statistic) {
      std::unique_ptr<zonalstatistic> statistic(st.statistic);
      st.statistic = nullptr;
      statistic->Finish();
    }
    Free(st.records);
    if (GetInitialized() && control_here) WritePointRows(st.point);
    // The direct-flow and interflow grids are among the module's own grids.
  }
  soiltracers.clear();
  // The runoff arrays and the river links table stay until the module is
  // released: the discharge routing, irrigation, groundwater and snow models
  // hold them and are released after this.
}
