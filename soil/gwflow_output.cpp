// Outputs of the groundwater model: result grids, the buffered control-point
// file, lake settings, tracer grids and statistics, and the release.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework/diagstream.h"
#include "framework/signals.h"
#include "framework/zonalstatistic.h"
#include "soil/cellnote.h"
#include "soil/gwflow.h"

namespace {
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[1300];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

const char* const kFrame = "FATAL: \n=======================================\n";
const char* const kFrameEnd = "\n\n=======================================\n";
}  // namespace

void gwflowclass::StartStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flowcontrol == 0) return;
  substep_of_step = 0;
  if (!omp_in_parallel())
    teilmodellklasse::run(hour, day, month, year);
  else
    SetStepDate(year, month, day, hour);
}

// ---- control point ----

void gwflowclass::CreateControlPoint() {
  if (control_row < 1) return;
  // Instance 0 holds the whole zone grid: a control cell outside the basin has
  // no groundwater to record.
  if (mpirank == 0 && !InModel(control_row, control_col))
    *diag << "WARNING: in modul " << modulname.c_str() << ":\nthe control point (row " << control_row << ", column "
          << control_col << ") lies outside the basin: no control point file is written"
          << "[end-entry]";
  const bool owner =
      MPIRegions ? (MPIRegions[control_row] && static_cast<int>(MPIRegions[control_row][control_col]) == mpirank)
                 : mpirank == 0;
  if (!owner) return;
  const int64_t recordBytes = (6 * L + 1) * 8 + 32;
  capacity = std::max<int64_t>(1, kControlBufferBytes / recordBytes);
  records.assign(static_cast<size_t>(capacity) + 1, ControlRecord{0, 0, 0, 0, nullptr});
  recordvalues.assign(static_cast<size_t>(capacity + 1) * (6 * L + 1), 0.0);
  for (int64_t k = 0; k <= capacity; ++k) records[k].values = recordvalues.data() + k * (6 * L + 1);
  recordcount = 0;

  std::FILE* f = std::fopen(controlfile_name.c_str(), "wt");
  if (!f) Fatal("FATAL: error opening file for gw-fluxes (single point) \n-> check disk space or user rights\n", 62);
  int ok = std::fprintf(f, "YY\tMM\tDD\tHH\tcontrol_point_fluxes[%d][%d]", control_row, control_col) > 0;
  for (int l = 1; l <= L && ok; ++l)
    ok = std::fprintf(f, "[lr: %d, 1]\t[lr: %d, 2]\t[lr: %d, 3]\t[lr: %d, 4]\t[lr: %d, up]\t[lr: %d, down]\t", l, l, l,
                      l, l, l) > 0;
  if (ok) ok = std::fputc('\n', f) != EOF;
  if (std::fclose(f) != 0 || !ok) WriteError(controlfile_name, 62);
}

void gwflowclass::RecordControlPoint() {
  if (control_row < 1 || capacity < 1) return;
  ++recordcount;
  ControlRecord& rec = records[recordcount];
  const ResultDate d = StepDate();
  rec.year = d.year;
  rec.month = d.month;
  rec.day = d.day;
  rec.hour = d.hour;
  const int r = control_row;
  const int c = control_col;
  for (int l = 1; l <= L; ++l) {
    const Grid h = layers[l].h;
    double* v = rec.values + 6 * (l - 1);
    v[0] = h[r][c];
    v[1] = r > 1 ? h[r - 1][c] : kBeyondEdge;
    v[2] = c < ncols ? h[r][c + 1] : kBeyondEdge;
    v[3] = r < nrows ? h[r + 1][c] : kBeyondEdge;
    v[4] = c > 1 ? h[r][c - 1] : kBeyondEdge;
    // The control cell's own baseflow.
    v[5] = baseflow[r][c];
  }
  if (recordcount >= capacity) WriteControlPointFluxes(controlfile_name, recordcount, records.data());
}

void gwflowclass::WriteControlPointFluxes(const std::string& fileName, int64_t& count, ControlRecord* recs) {
  std::signal(SIGINT, SIG_IGN);
  std::FILE* f = std::fopen(fileName.c_str(), "a+");
  if (!f) {
    RearmCtrlCHandler();
    Fatal("FATAL: error opening file " + fileName, 65);
  }
  bool ok = true;
  for (int64_t k = 1; k <= count && ok; ++k) {
    const ControlRecord& rec = recs[k];
    ok = std::fprintf(f, "%ld\t%ld\t%ld\t%ld", static_cast<long>(rec.year), static_cast<long>(rec.month),
                      static_cast<long>(rec.day), static_cast<long>(rec.hour)) > 0;
    for (int l = 0; l < L && ok; ++l) {
      const double* v = rec.values + 6 * l;
      ok = std::fprintf(f, "\t%g\t%g\t%g\t%g\t%g\t%g", v[0], v[1], v[2], v[3], v[4], v[5]) > 0;
    }
    if (ok) ok = std::fputc('\n', f) != EOF;
  }
  const bool closed = std::fclose(f) == 0;
  RearmCtrlCHandler();
  if (!ok || !closed) WriteError(fileName, 65);
  *diag << "write " << fileName.c_str() << " (" << static_cast<long>(((6 * L + 1) * 8 + 32) * count) << " of "
        << static_cast<long>(kControlBufferBytes) << " buffer-bytes)"
        << "[end-entry]";
  count = 0;
}

void gwflowclass::FlushControlPointFile(const std::string& fileName, int64_t& count, ControlRecord* recs) {
  if (count != 0) WriteControlPointFluxes(fileName, count, recs);
}

// ---- per-step output and flush ----

void gwflowclass::WriteGrids(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flowcontrol == 0) return;
  // "baseflow" belongs to the unsaturated zone, which writes it once per step.
  for (int l = 1; l <= L; ++l) {
    const Layer& y = layers[l];
    for (int p : {y.ph, y.phold, y.pfx, y.pfy, y.pbal}) WriteStatisticGrids(p, 1, 0);
    for (size_t t = 1; t < layertracers.size(); ++t) {
      LayerTracer& lt = layertracers[t][l];
      WriteStatisticGrids(lt.position, 1, 0);
      if (lt.statistic) lt.statistic->Reduce(year, month, day, hour, 1);
    }
  }
  for (size_t t = 1; t < exchangepos.size(); ++t)
    if (exchangepos[t] > 0) WriteStatisticGrids(exchangepos[t], 1, 0);
}

void gwflowclass::WriteStatistics() {
  if (flowcontrol == 0) return;
  for (size_t t = 1; t < layertracers.size(); ++t)
    for (int l = 1; l <= L; ++l)
      if (layertracers[t][l].statistic) layertracers[t][l].statistic->Flush();
  if (control_row > 0 && capacity > 0) FlushControlPointFile(controlfile_name, recordcount, records.data());
}

// ---- lakes ----

void gwflowclass::InitLakes(const std::string& section) {
  if (FindGrid("lake_codes", false) <= 0) {
    *diag << "INFO: no LAKE-grid was found in " << modulname.c_str() << "\n"
          << "Lake modelling is switched off for " << modulname.c_str() << ".\n"
          << "[end-entry]";
    return;
  }
  controlfile.Close();
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + UserControlFile(), 28);
  FindSection(section, true);
  ReadValue(controlfile, "\t%d", &lakeflag, "flow control parameter for " + section, linebuffer);
  if (hru) lakeflag = 0;
  if (lakeflag == 0) return;
  if (pondflag_read != 1)
    Fatal(std::string(kFrame) + "!!!! ERROR !!!! \n\n" + "Error in initialization method for " + section + ".\n" +
              "pond_use must be set in " + modulname + "\n" + "for using the " + section + kFrameEnd,
          214);
  ReadValue(controlfile, "\t%d", &lakemethod, "initialization method for " + section, linebuffer);
  if (!controlfile.Close())
    Fatal("FATAL: error closing " + UserControlFile() + " after reading initialization method for " + section, 11);
  lake_codes = gridlist[FindGrid("lake_codes", false)].grid;
  if (FindGrid("ponding_storage", false) <= 0)
    Fatal(std::string(kFrame) + "!!!! ERROR !!!! \n\n" +
              "\nLAKE-grid was found, but no POND-Grid. For using lakes,\nboth grids must be present." + kFrameEnd,
          28);
  if (lakemethod != 1 && lakemethod != 2)
    Fatal(std::string(kFrame) + "!!!! ERROR !!!! \n\n " + "Error in initialization method for " + section + ".\n" +
              "Lake initialization method (" + std::to_string(lakemethod) + ") not valid.\n" +
              "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n" +
              "In either case, theta_soil will be set to saturation,\n" +
              "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n" + "will be set to 0." +
              kFrameEnd,
          214);
}

// ---- tracers ----

void gwflowclass::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry, int cap) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  if (flowcontrol == 0 || count < 1 || !settings) return;
  try {
    tracers = settings;
    tracercount = count;
    layertracers.assign(static_cast<size_t>(count) + 1, std::vector<LayerTracer>(static_cast<size_t>(L) + 1));
    concflux.assign(static_cast<size_t>(count) + 1, nullptr);
    concfluxpos.assign(static_cast<size_t>(count) + 1, 0);
    decay.assign(static_cast<size_t>(count) + 1, 1.0);
    if (!tracerwater) tracerwater = NewGrid(0.0);
    outconc.assign(static_cast<size_t>(count) + 1, nullptr);
    exchange.assign(static_cast<size_t>(count) + 1, nullptr);
    outconcpos.assign(static_cast<size_t>(count) + 1, 0);
    exchangepos.assign(static_cast<size_t>(count) + 1, 0);
    newconc.assign(static_cast<size_t>(count) + 1, std::vector<Grid>(static_cast<size_t>(L) + 1, nullptr));
    newconcpos.assign(static_cast<size_t>(count) + 1, std::vector<int>(static_cast<size_t>(L) + 1, 0));
    boundarytracer.assign(static_cast<size_t>(count) + 1, std::vector<Grid>(static_cast<size_t>(L) + 1, nullptr));
    boundarytracerpos.assign(static_cast<size_t>(count) + 1, std::vector<int>(static_cast<size_t>(L) + 1, 0));
    if (!satwater) {
      satwater = NewGrid(0.0);
      psatwater = Register(satwater, "", "groundwater_saturated_water", 0);
    }
    const int zones = zonerecords ? std::max(0, zonecount) : 0;
    for (int t = 1; t <= count; ++t) {
      const TracerRecord& tr = settings[t];
      if (tr.radioactive == 1 && tr.half_time > 0)
        decay[t] = std::exp(-(timeinterval / std::max(1, substeps) / 60 / 24) / (1.442695041111 * tr.half_time));
      for (int l = 1; l <= L; ++l) {
        LayerTracer& lt = layertracers[t][l];
        lt.records = static_cast<ZoneRecord*>(Alloc(static_cast<int>(sizeof(ZoneRecord)) * (zones + 1), 1));
        for (int k = 0; k <= zones && zonerecords; ++k)
          lt.records[k] = ZoneRecord{0, 0, zonerecords[k].zonenwert, zonerecords[k].rel, 0};
        lt.statfile =
            Format("%s%.3s%.4s%.1d.%s", tr.path.c_str(), tr.name.c_str(), modulname.c_str(), l, tr.statext.c_str());
        int code = 0;
        lt.statistic =
            new zonalstatistic(code, diag, registry, cap, relcellarea, nrows, ncols, lt.records, zones, tr.statcode, 99,
                               lt.statfile, DefaultOutputDirectory, outputlistcount, outputlist);
        if (code != 0) throw code;
        lt.statistic->WriteHeader(Format("tracer concentration for tracer %d in layer %d (%s) ", t, l, tr.name.c_str()),
                                  modulname, registry, cap);

        lt.gridfile =
            Format("%s%.3s%.1d%.4s.%s", tr.path.c_str(), tr.name.c_str(), l, modulname.c_str(), tr.gridext.c_str());
        // State with the heads read, or with the soil's state that layer 1 follows.
        if (gridread == 1 || soilstateread) {
          Grid g = nullptr;
          RequireTracerState(lt.gridfile, t, tr);
          ReadGrid(lt.gridfile, &g, 0, true, false, false, true, false, true, 0.0);
          owned.push_back(g);
          lt.conc = g;
          uzk::CellNote missing;
          for (int r = firstrow; r <= lastrow; ++r)
            for (int c = 1; c <= ncols; ++c)
              if (InModel(r, c) && Own(r, c) && !(g[r][c] > nodata)) missing.Add(r, c, g[r][c]);
          missing.Reduce(ncols, mpisize);
          if (missing.count > 0)
            Fatal("FATAL: in modul " + modulname + ":\nthe state grid " + lt.gridfile + " (tracer " +
                      std::to_string(t) + " of layer " + std::to_string(l) + ") of the warm start " +
                      missing.Where(nodata) +
                      ", a cell of the basin; a warm start reads the state of every cell of the basin (written at the "
                      "end of the run it continues)",
                  33);
        } else {
          // Every tracer's grid holds a concentration (the balance mixes
          // concentrations, the soil takes it as that of rising groundwater):
          // the tracer's initial groundwater value, evaporating or not.
          lt.conc = NewGrid(nodata);
          for (int r = firstrow; r <= lastrow; ++r)
            for (int c = 1; c <= ncols; ++c)
              if (InModel(r, c) && Own(r, c))
                lt.conc[r][c] = tr.gwini;
        }
        const std::string name = Format("concstor_tracer_%d_layer_%d_%s", t, l, modulname.c_str());
        const int p = FreeGridPosition();
        RegisterGrid(p, lt.gridfile, lt.conc, nullptr, 0, name, tr.gridcode, lowrow, highrow);
        lt.position = p;
        Exchange(lt.conc, p);
      }
      concflux[t] = NewGrid(0.0);
      const int p = FreeGridPosition();
      RegisterGrid(p, "", concflux[t], nullptr, 0, Format("concflux_tracer_%d_%s", t, modulname.c_str()), 0, lowrow,
                   highrow);
      concfluxpos[t] = p;
      outconc[t] = NewGrid(0.0);
      outconcpos[t] = Register(outconc[t], "", Format("groundwater_outflow_tracer_%d", t), 0);
      // What the column takes in the next step: written with the tracer's
      // grids, read with the state of a warm start.
      const std::string exchangefile =
          Format("%s%.3sgwex.%s", tr.path.c_str(), tr.name.c_str(), tr.gridext.c_str());
      if (gridread == 1 || soilstateread) {
        Grid g = nullptr;
        RequireTracerState(exchangefile, t, tr);
        ReadGrid(exchangefile, &g, 0, true, false, false, true, false, true, 0.0);
        owned.push_back(g);
        exchange[t] = g;
      } else {
        exchange[t] = NewGrid(0.0);
      }
      exchangepos[t] = Register(exchange[t], exchangefile, Format("groundwater_exchange_tracer_%d", t), tr.gridcode);
      for (int l = 2; l <= L; ++l) {
        newconc[t][static_cast<size_t>(l)] = NewGrid(0.0);
        newconcpos[t][static_cast<size_t>(l)] =
            Register(newconc[t][static_cast<size_t>(l)], "", Format("groundwater_new_tracer_%d_layer_%d", t, l), 0);
        boundarytracer[t][static_cast<size_t>(l)] = NewGrid(0.0);
        boundarytracerpos[t][static_cast<size_t>(l)] = Register(boundarytracer[t][static_cast<size_t>(l)], "",
                                                                Format("gw_boundary_tracer_%d_layer_%d", t, l), 0);
      }
    }
  } catch (int code) {
    *error = code;
  } catch (...) {
    *error = 103;
  }
}

void gwflowclass::FreeTracerArrays() {
  for (size_t t = 1; t < layertracers.size(); ++t) {
    for (int l = 1; l <= L; ++l) {
      LayerTracer& lt = layertracers[t][l];
      if (lt.position > 0) UnregisterGrid(lt.position);
      if (lt.statistic) {
        lt.statistic->Finish();
        delete lt.statistic;
      }
      Free(lt.records);
      lt = LayerTracer{};
    }
    if (concfluxpos[t] > 0) UnregisterGrid(concfluxpos[t]);
    if (outconcpos[t] > 0) UnregisterGrid(outconcpos[t]);
    if (exchangepos[t] > 0) UnregisterGrid(exchangepos[t]);
    for (size_t l = 2; t < newconcpos.size() && l < newconcpos[t].size(); ++l)
      if (newconcpos[t][l] > 0) UnregisterGrid(newconcpos[t][l]);
    for (size_t l = 2; t < boundarytracerpos.size() && l < boundarytracerpos[t].size(); ++l)
      if (boundarytracerpos[t][l] > 0) UnregisterGrid(boundarytracerpos[t][l]);
  }
  if (psatwater > 0) UnregisterGrid(psatwater);
  psatwater = 0;
  outconc.clear();
  exchange.clear();
  outconcpos.clear();
  exchangepos.clear();
  newconc.clear();
  newconcpos.clear();
  boundarytracer.clear();
  boundarytracerpos.clear();
  // The concentration grids are among the model's own grids and are released with them.
  layertracers.clear();
  concflux.clear();
  concfluxpos.clear();
  tracercount = 0;
}

// ---- release ----

void gwflowclass::FreeMemory() {
  if (flowcontrol != 0) {
    if (control_row > 0 && capacity > 0) {
      if (initialized) FlushControlPointFile(controlfile_name, recordcount, records.data());
      records.clear();
      recordvalues.clear();
      capacity = 0;
    }
    FreeTracerArrays();
    for (size_t l = 1; l < layers.size(); ++l) {
      const Layer& y = layers[l];
      for (int p : {y.ph, y.phold, y.phoo, y.phprev, y.ptx, y.pty, y.pfx, y.pfy, y.pbal, y.pleak, y.ptop, y.pshare})
        if (p > 0) UnregisterGrid(p);
    }
    for (Grid g : owned) FreeMatrix(g, lowrow, highrow, 1, ncols);
    owned.clear();
    tracerwater = nullptr;
    satwater = nullptr;
    layers.clear();
  }
  teilmodellklasse::FreeMemory();
}
