// Outputs of the unsaturated zone: statistics lines and result grids of a
// step, the buffered control-point files, the flush, the state file section
// "[unsatzon_model]" and the end of the run.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/signals.h"
#include "framework/zonalstatistic.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"

namespace {
constexpr int64_t kPointBufferBytes = 2097152;
}

int unsatzonmodellklasse::PositionOf(const void* gridOrStack) const {
  if (!gridOrStack) return 0;
  for (const OwnedGrid& o : owned)
    if (o.position > 0 &&
        (static_cast<const void*>(o.grid) == gridOrStack || static_cast<const void*>(o.stack) == gridOrStack))
      return o.position;
  return 0;
}

// ---------------------------------------------------------------- step outputs

void unsatzonmodellklasse::WriteStepOutputs(int64_t hour, int64_t day, int64_t month, int64_t year) {
  struct Line {
    int statistic;
    int reduce;
  };
  const Line lines[] = {{kStatGWSTAND, 1}, {kStatGWN, 1},    {kStatINFILT, 1}, {kStatMACRO, 1}, {kStatSUBSTEPS, 1},
                        {kStatSB1, 1},     {kStatSB2, 1},    {kStatIMMO, 1},   {kStatROOT, 1},  {kStatINFEX, 1},
                        {kStatQD, 0},      {kStatQI, 0},     {kStatQB, 0},     {kStatGWIN, 1},  {kStatGWEX, 1},
                        {kStatQg, 0},      {kStatQDRAIN, 1}, {kStatPOND, 1},   {kStatTEMPER, 1}};
  for (const Line& l : lines)
    if (statistics[l.statistic]) statistics[l.statistic]->Reduce(year, month, day, hour, mpisize > 1 ? l.reduce : 0);

  auto grid = [&](const void* g) {
    const int p = PositionOf(g);
    if (p > 0) WriteStatisticGrids(p, 1, 0);
  };
  auto dated = [&](const void* s) {
    const int p = PositionOf(s);
    if (p > 0) WriteDatedGrid(p);
  };
  grid(SB_1_grid);
  grid(SB_2_grid);
  grid(ROOTgrid);
  for (const void* s : {static_cast<const void*>(theta), static_cast<const void*>(hydraulic_heads),
                        static_cast<const void*>(geodetic_heads), static_cast<const void*>(q_down)})
    dated(s);
  for (Grid g :
       {groundwater_distance, Theta_in_GWLEVEL, groundwater_recharge, macropore_infiltration, number_of_substeps,
        Capillar_Uprise, Percolation, groundwater_level, infiltration_excess, infiltration_saturation, directflow,
        interflow, baseflow, river_infiltration, river_exfiltration, ponding_storage, drainage_flow})
    grid(g);
  if (heat_transfer_flow_control > 0) {
    dated(Soil_Temperature_Stack);
    grid(ThawDepthTMod);
  }
  AddPointRows();
}

// ---------------------------------------------------------------- control-point files

void unsatzonmodellklasse::AddPointRows() {
  if (!control_here) return;
  const int r = control_row;
  const int c = control_col;
  const int V = vegetation_layers;
  if (pointrows.empty()) {
    // Value columns of each file: layers 1 ... n, the other data 1 ... 6 V + 18, etr 0 ... n.
    const PointFile files[] = {kPointQBOTTOM, kPointTHETA,     kPointHHYD,  kPointOTHER,
                               kPointETR,     kPointINTERFLOW, kPointTEMPER};
    for (PointFile f : files) {
      if (f == kPointTEMPER && heat_transfer_flow_control <= 0) continue;
      PointRows rows;
      rows.path = pointfiles[f];
      rows.first = f == kPointETR ? 0 : 1;
      rows.last = f == kPointOTHER ? 6 * V + 18 : layers;
      pointrows.push_back(rows);
    }
  }
  auto at = [&](Grid g) { return g && g[r] ? g[r][c] : nodata; };
  auto layer = [&](Stack s, int k) { return s && s[r] ? s[r][c][k] : nodata; };
  // The flux grids and the per-layer amounts hold the whole step (the sums of its sub-steps).
  for (PointRows& rows : pointrows) {
    const int width = rows.last + 1;
    if (rows.count >= point_buffer_lines) WritePointRows(rows);
    rows.dates.insert(rows.dates.end(), {stepyear, stepmonth, stepday, stephour});
    const size_t base = rows.values.size();
    rows.values.resize(base + width, nodata);
    double* v = rows.values.data() + base;
    if (rows.path == pointfiles[kPointTHETA]) {
      for (int k = 1; k <= layers; ++k) v[k] = layer(theta, k);
    } else if (rows.path == pointfiles[kPointHHYD]) {
      for (int k = 1; k <= layers; ++k) v[k] = layer(hydraulic_heads, k);
    } else if (rows.path == pointfiles[kPointQBOTTOM]) {
      for (int k = 1; k <= layers; ++k) v[k] = layer(q_down, k);
    } else if (heat_transfer_flow_control > 0 && rows.path == pointfiles[kPointTEMPER]) {
      for (int k = 1; k <= layers; ++k) v[k] = layer(Soil_Temperature_Stack, k);
    } else if (rows.path == pointfiles[kPointETR]) {
      // Column 0 the soil evaporation, columns 1 ... n the transpiration taken from each layer.
      for (int k = 0; k <= layers && k < static_cast<int>(control_etr.size()); ++k) v[k] = control_etr[k];
    } else if (rows.path == pointfiles[kPointINTERFLOW]) {
      for (int k = 1; k <= layers && k < static_cast<int>(control_interflow.size()); ++k) v[k] = control_interflow[k];
    } else if (rows.path == pointfiles[kPointOTHER]) {
      const double values[18] = {at(directflow),
                                 at(interflow),
                                 at(baseflow),
                                 at(total_infiltration),
                                 at(river_infiltration),
                                 at(river_exfiltration),
                                 at(groundwater_recharge),
                                 at(Capillar_Uprise),
                                 at(Percolation),
                                 at(macropore_infiltration),
                                 at(drainage_flow),
                                 at(ponding_storage),
                                 at(infiltration_excess),
                                 at(groundwater_distance),
                                 at(groundwater_level),
                                 at(ROOTgrid),
                                 at(albedo),
                                 at(SurfaceEvaporationResistance)};
      for (int k = 0; k < 18; ++k) v[k + 1] = values[k];
      for (int j = 1; j <= V; ++j) {
        const double veg[6] = {at(leaf_area_index[j]),
                               at(vegetation_coverage_degree[j]),
                               at(SurfaceCanopyResistance[j]),
                               at(SurfaceIntercepResistance[j]),
                               at(root_depth[j]),
                               at(RoughnessLength[j])};
        for (int k = 0; k < 6; ++k) v[18 + 6 * (j - 1) + k + 1] = veg[k];
      }
    }
    ++rows.count;
  }
}

void unsatzonmodellklasse::WritePointRows(PointRows& rows) {
  if (rows.count == 0) return;
  std::signal(SIGINT, SIG_IGN);
  *diag << "write " << rows.path << "[end-entry]";
  std::FILE* f = std::fopen(rows.path.c_str(), "a+");
  if (!f) {
    RearmCtrlCHandler();
    Fatal("FATAL: \nerror opening file " + rows.path, 65);
  }
  const int width = rows.last + 1;
  bool ok = true;
  for (int64_t i = 0; i < rows.count && ok; ++i) {
    const int64_t* d = rows.dates.data() + 4 * i;
    ok = std::fprintf(f, "%ld\t%ld\t%ld\t%ld", static_cast<long>(d[0]), static_cast<long>(d[1]),
                      static_cast<long>(d[2]), static_cast<long>(d[3])) >= 0;
    const double* v = rows.values.data() + i * width;
    for (int k = rows.first; k <= rows.last && ok; ++k) ok = std::fprintf(f, "\t%g", v[k]) >= 0;
    ok = ok && std::fputc('\n', f) != EOF;
  }
  const bool closed = std::fclose(f) == 0;
  RearmCtrlCHandler();
  if (!ok || !closed) Fatal("FATAL: \nerror writing file " + rows.path, 65);
  *diag << "(" << static_cast<long>((static_cast<int64_t>(layers) * 8 + 32) * rows.count) << " of "
        << static_cast<long>(kPointBufferBytes) << " buffer-bytes)"
        << "[end-entry]";
  rows.count = 0;
  rows.dates.clear();
  rows.values.clear();
}

void unsatzonmodellklasse::WriteAllPointRows() {
  if (!control_here) return;
  for (PointRows& rows : pointrows) WritePointRows(rows);
}

void unsatzonmodellklasse::WriteStatFiles() {
  if (flowcontrol == 0) return;
  WriteAllPointRows();
  WriteTracerPointRows();
  for (zonalstatistic* s : statistics)
    if (s) s->Flush();
  FlushTracerStatistics();
}

// ---------------------------------------------------------------- state file section

namespace {
// The comment of the layout line of the section, by which a reader tells it
// from the subbasin count of a section written without it.
constexpr const char* kStateLayoutText =
    "(instances and sub-steps per step of the run; the zone records are the sums over the instances)";
}  // namespace

void unsatzonmodellklasse::SumZoneRecordsOnFirstInstance() {
  if (mpisize <= 1) return;
  std::vector<ZoneRecord> pack;
  for (auto* a : {&zoneFZT_QD, &zoneFZT_QI})
    for (const std::vector<ZoneRecord>& zones : *a) pack.insert(pack.end(), zones.begin(), zones.end());
  if (pack.empty()) return;
  MPIReduceRecords(pack.data(), static_cast<int>(pack.size()) - 1, true);
  size_t k = 0;
  for (auto* a : {&zoneFZT_QD, &zoneFZT_QI})
    for (std::vector<ZoneRecord>& zones : *a)
      for (ZoneRecord& z : zones) {
        z.n = pack[k].n;
        z.sx = pack[k].sx;
        z.RelCellSum = pack[k].RelCellSum;
        ++k;
      }
}

void unsatzonmodellklasse::WriteStorageFile(bool append) {
  // The flow-time zones of every instance hold the water of its own cells
  // still on its way; summed on instance 0 (which holds the linear
  // storages), the section of instance 0 holds the whole state, and a run on
  // any number of instances can continue it. The layout line records the
  // instance count and the sub-step count by which the zone records are
  // scaled. Every instance writes its file (the name ends with the instance
  // number); the others hold zeros.
  SumZoneRecordsOnFirstInstance();
  std::string path = storage_file_name;
  MakePath(DefaultOutputDirectory, path, 64);
  std::FILE* f = std::fopen(path.c_str(), append ? "a" : "w");
  if (!f) Fatal("FATAL: error opening storage content file " + path + " for writing", 64);
  const int S = zonecount;
  bool ok = std::fprintf(f, "[unsatzon_model]\n%d %d %s\n%d (number of subasins)\n", mpisize, std::max(1, substeps),
                         kStateLayoutText, S) >= 0;
  for (int s = 1; s <= S; ++s) ok = ok && std::fprintf(f, "%.0f\t", zonerecords[s].zonenwert) >= 0;
  ok = ok && std::fputs("(code)\n", f) >= 0;
  struct Row {
    const std::vector<double>* values;
    const char* text;
  };
  const Row rows[6] = {
      {&kelsqd, "(kelsqd in min)\n"},
      {&kelsqi, "(kelsqi in min)\n"},
      {&channel_density, "(drainage density)\n"},
      {&kelsqlat, "(inverse recession constant for baseflow [needed when using no groundwater model])\n"},
      {&qb_reduction_factor, "(max. baseflow [needed when using no groundwater model])\n"},
      {&SnowRunoff_fraction, "(surface runoff fraction of snowmelt)\n"}};
  for (const Row& row : rows) {
    for (int s = 1; s <= S; ++s) ok = ok && std::fprintf(f, "%g ", (*row.values)[s]) >= 0;
    ok = ok && std::fputs(row.text, f) >= 0;
  }
  ok = ok && std::fprintf(f, "%d (number of tracers)\n", ntracers) >= 0;
  for (int t = 0; t <= ntracers && ok; ++t) {
    ok = std::fprintf(f, "%d (0=runoff, 1...9 = tracers)\n", t) >= 0;
    for (int s = 1; s <= S && ok; ++s) {
      const int m = static_cast<int>(maxzeit[s]);
      ok = std::fprintf(f, "%d %d (zone %d and maxzeit)\n", s, m, s) >= 0;
      for (int z = 1; z <= m && ok; ++z) {
        const ZoneRecord& d = zoneFZT_QD[Flat(t, s)][z];
        const ZoneRecord& i = zoneFZT_QI[Flat(t, s)][z];
        ok = std::fprintf(f, "%.17lg %.17lg %.17lg %.17lg %.17lg (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n", d.n,
                          d.sx, d.zonenwert, d.rel, d.RelCellSum) >= 0 &&
             std::fprintf(f, "%.17lg %.17lg %.17lg %.17lg %.17lg (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n", i.n,
                          i.sx, i.zonenwert, i.rel, i.RelCellSum) >= 0;
      }
      ok = ok && std::fprintf(f, "%.17g (QDd[%d][%d])\n", QDd[Flat(t, s)], t, s) >= 0 &&
           std::fprintf(f, "%.17g (QIi[%d][%d])\n", QIi[Flat(t, s)], t, s) >= 0;
    }
  }
  ok = ok && std::fputs("\n", f) >= 0;
  const bool closed = std::fclose(f) == 0;
  if (!ok || !closed) Fatal("FATAL: error writing storage content file " + path, 64);
}

void unsatzonmodellklasse::CheckStorageValue(const std::string& label, double control, double stored) {
  char text[128];
  std::snprintf(text, sizeof text, "%g\nbut value in storage file is: %g", control, stored);
  Fatal("FATAL: error in storage file content reading " + label + ":\nvalue in actual control is:   " + text +
            "\nFluvex throws...",
        71);
}

void unsatzonmodellklasse::ReadStorageValue(std::FILE* f, double control, const char* label, const std::string& path) {
  double v = 0;
  if (std::fscanf(f, "%lf", &v) != 1)
    Fatal("FATAL: error in storage file content reading " + std::string(label) + ": no value in " + path +
              (std::feof(f) ? ": the file ends early (a storage content file cut short)" : ""),
          71);
  const bool mismatch = v == 0 ? control != 0 : std::fabs((v - control) / v) > 1e-5;
  if (mismatch) CheckStorageValue(label, control, v);
}

void unsatzonmodellklasse::ReadStorageFile() {
  std::string path;
  char line[1202];
  // Opens the instance's storage file at the line after the section head.
  auto open = [&]() {
    path = storage_file_name;
    MakePath(InitialStateDirectory, path, 64);
    std::FILE* file = std::fopen(path.c_str(), "rt");
    if (!file) Fatal("FATAL: error opening storage content file " + path, 64);
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file)) found = std::strstr(line, "unsatzon_model") != nullptr;
    if (!found) {
      std::fclose(file);
      Fatal("FATAL: error looking for the section [unsatzon_model] in " + path, 71);
    }
    return file;
  };
  // The layout of the run that wrote the state: instances and sub-steps, or
  // 0 0 for a section without the layout line (every instance reads the
  // records of its own cells, as written by the same layout).
  int layout[2] = {0, 0};
  std::FILE* f = nullptr;
  if (mpirank == 0) {
    f = open();
    const long at = std::ftell(f);
    if (std::fgets(line, sizeof line, f) && std::strstr(line, kStateLayoutText)) {
      if (std::sscanf(line, "%d %d", &layout[0], &layout[1]) != 2 || layout[0] < 1 || layout[1] < 1) {
        std::fclose(f);
        Fatal("FATAL: error in storage file content reading the layout line of [unsatzon_model] in " + path +
                  ": expected the number of instances and of sub-steps (two numbers of 1 or more)",
              71);
      }
    } else {
      std::fseek(f, at, SEEK_SET);
    }
  }
  if (mpisize > 1) MPI_Bcast(layout, 2, MPI_INT, 0, MPI_COMM_WORLD);
  const bool summed = layout[0] > 0;
  if (summed && mpirank != 0) {
    // Instance 0 takes the whole state over; the others start empty.
    for (auto* a : {&zoneFZT_QD, &zoneFZT_QI})
      for (std::vector<ZoneRecord>& zones : *a)
        for (ZoneRecord& z : zones) z.n = z.sx = z.RelCellSum = 0;
    for (auto* a : {&QDd, &QIi}) std::fill(a->begin(), a->end(), 0.0);
    return;
  }
  if (!f) f = open();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);
  // Reads the rest of the current line; an over-long line is unreadable.
  auto skip = [&]() {
    if (!std::fgets(line, sizeof line, f)) return;
    if (std::strlen(line) >= sizeof line - 1 && line[sizeof line - 2] != '\n')
      Fatal("FATAL: error in storage file content reading: a line longer than 1200 characters in " + path, 71);
  };
  // A file that ends within the section says so.
  auto ended = [&](const std::string& what) {
    if (std::feof(f))
      Fatal("FATAL: error in storage file content reading " + what + " in " + path +
                ": the file ends early (a storage content file cut short)",
            71);
  };
  auto integer = [&](const char* label, int control) {
    int v = 0;
    if (std::fscanf(f, "%d", &v) != 1) {
      ended(label);
      v = -999999;
    }
    if (v != control) CheckStorageValue(label, control, v);
    return v;
  };
  const int S = zonecount;
  integer("number of subbasins", S);
  skip();
  for (int s = 1; s <= S; ++s) integer("subbasin code", static_cast<int>(zonerecords[s].zonenwert));
  skip();
  const std::vector<double>* rows[6] = {
      &kelsqd, &kelsqi, &channel_density, &kelsqlat, &qb_reduction_factor, &SnowRunoff_fraction};
  const char* labels[6] = {"m", "kelsqi", "flussdichte", "kelsqlat", "Q0", "SR_Anteil"};
  for (int k = 0; k < 6; ++k) {
    for (int s = 1; s <= S; ++s) ReadStorageValue(f, (*rows[k])[s], labels[k], path);
    skip();
  }
  const int count = integer("number of tracers", ntracers);
  skip();
  if (count < 0) return;
  for (int t = 0; t <= ntracers; ++t) {
    integer("actual tracers(0=runoff)", t);
    skip();
    for (int s = 1; s <= S; ++s) {
      integer("actual zone", s);
      const int m = integer("maxzeit of actual subbasin", static_cast<int>(maxzeit[s]));
      skip();
      for (int z = 1; z <= m; ++z)
        for (auto* a : {&zoneFZT_QD, &zoneFZT_QI}) {
          ZoneRecord& rec = (*a)[Flat(t, s)][z];
          const int got =
              std::fscanf(f, "%lf %lf %lf %lf %lf", &rec.n, &rec.sx, &rec.zonenwert, &rec.rel, &rec.RelCellSum);
          if (got != 5) ended("the zonal records of subbasin " + std::to_string(s));
          if (got != 5)
            CheckStorageValue(a == &zoneFZT_QD ? "number of fields for zonal statistics QD"
                                               : "number of fields for zonal statistics QI",
                              5, got);
          skip();
        }
      for (auto* a : {&QDd, &QIi}) {
        if (std::fscanf(f, "%lf", &(*a)[Flat(t, s)]) != 1)
          Fatal("FATAL: error in storage file content reading the linear storages of subbasin " + std::to_string(s) +
                    " in " + path +
                    (std::feof(f) ? ": the file ends early (a storage content file cut short)" : std::string()),
                71);
        skip();
      }
    }
  }
  if (summed) {
    const int steps = std::max(1, substeps);
    if (layout[0] != mpisize || layout[1] != steps)
      *diag << "INFO: " << modulname.c_str() << " continues the state of " << layout[0] << " instance(s) and "
            << layout[1] << " sub-step(s) per step in " << path.c_str() << " on " << mpisize << " instance(s) and "
            << steps << " sub-step(s)"
            << "[end-entry]";
    // Each sub-step adds a cell's water and weight once, so the records of
    // the water on its way scale with the sub-step count.
    if (layout[1] != steps) {
      const double factor = static_cast<double>(steps) / layout[1];
      for (auto* a : {&zoneFZT_QD, &zoneFZT_QI})
        for (std::vector<ZoneRecord>& zones : *a)
          for (ZoneRecord& z : zones) {
            z.n *= factor;
            z.sx *= factor;
            z.RelCellSum *= factor;
          }
    }
  }
}

// ---------------------------------------------------------------- end of the run

void unsatzonmodellklasse::WriteEndWaterContent() {
  char name[64];
  std::snprintf(name, sizeof name, "modell_%d.log", mpirank);
  auto append = [&](const char* text) {
    std::FILE* log = std::fopen(name, "a+");
    if (!log) return;  // the end-of-run report is informative only
    std::fputs(text, log);
    std::fclose(log);
  };
  char text[512];
  if (control_here) {
    double sum = 0;
    soil_table_entry* soil = SoilOf(control_row, control_col);
    if (soil && theta[control_row][control_col][1] > nodata) {
      const int n = std::min(layers, soil->layers);
      for (int k = 1; k <= n; ++k) sum += 1000.0 * theta[control_row][control_col][k] * soil->thickness[k];
    }
    std::snprintf(text, sizeof text,
                  "(mpi_rank %d) soil water content (control point r=%d c=%d) at model-end: %lf mm\n", mpirank,
                  control_row, control_col, sum);
    append(text);
  }
  double sums[6] = {0, 0, 0, 0, 0, 0};
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c)) continue;
      soil_table_entry* soil = SoilOf(r, c);
      if (!soil) continue;
      const double g = GlacierFraction(r, c);
      const double w = RelativeArea(r, c);
      const int n = std::min(layers, soil->layers);
      double free = 0, glacier = 0;
      for (int k = 1; k <= n; ++k) {
        free += theta[r][c][k] * soil->thickness[k] * (1 - g);
        glacier += soil->theta_sat[k] * soil->thickness[k] * g;
      }
      sums[0] += free;
      sums[1] += glacier;
      sums[2] += w * (1 - g) + g;
      sums[3] += w * g + (1 - g);
      sums[4] += w * (free + glacier);
      sums[5] += w;
    }
  AppendMeanWaterContent(sums, "model-end", append);
}

void unsatzonmodellklasse::Finish(bool append) {
  if (flowcontrol != 0 && !freed) {
    if (GetInitialized() && !maxzeit.empty()) {
      WriteStorageFile(append);
      WriteGlacierShares();
    }
    WriteEndWaterContent();
    FreeTracerArrays();
    WriteAllPointRows();
  }
  FreeMemory();
}
