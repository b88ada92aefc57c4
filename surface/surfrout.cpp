// Construction of the surface routing: section values, sub-time-step bounds,
// grids and stacks, statistics, links, and the small cell operations (plan
// curvature, neighbour mean, cell inflow). Zones, outlets and state are in
// surfrout_outlets.cpp.
#include "surface/surfrout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/multilayer_landuse_entry.h"
#include "surface/vegetationlayers.h"

surfaceroutingclass::surfaceroutingclass(int& error, DiagStream* diagnostics, StatRecord* registry,
                                         int registryCapacity, const std::string& workFileName,
                                         const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "SurfaceRoutingModel", workFileName, 0, common, subSteps, false) {
  error = 0;
  if (flowcontrol == 0) return;
  try {
    Construct(registry, registryCapacity);
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

surfaceroutingclass::~surfaceroutingclass() {
  // A run that stopped before the release frees the grids here; the grid list
  // may be gone already, so it is not touched.
  if (released) return;
  try {
    FreeFlowGrids();
    for (OwnedGrid& g : own) {
      if (!g.owned) continue;
      if (g.stack) FreeMatrix3d(g.stack, g.first, g.last);
      if (g.grid) FreeMatrix(g.grid, g.first, g.last, 1, ncols);
    }
    for (size_t i = 1; i < tracerlinks.size(); ++i) {
      if (tracerlinks[i].load) FreeMatrix(tracerlinks[i].load, firstrow, lastrow, 1, ncols);
      if (tracerlinks[i].storage.owned && tracerlinks[i].storage.grid)
        FreeMatrix(tracerlinks[i].storage.grid, tracerlinks[i].storage.first, tracerlinks[i].storage.last, 1, ncols);
    }
  } catch (...) {
  }
}

void surfaceroutingclass::Construct(StatRecord* registry, int capacity) {
  BindMPIRegionGrids();
  *diag << "file "
        << "surfrout"
        << ", compiled at " << __DATE__ << " " << __TIME__ << "[end-entry]";
  if (SpinUp != 0) {
    // The response units of the SpinUp mode have no flow paths between cells.
    flowcontrol = 0;
    controlfile.Close();
    return;
  }
  if (FindGrid("GlacierizedCells", false) > 0 || FindGrid("GlacierCodes", false) > 0) {
    *diag << "FATAL: error: Surface routing module cannot be used when glacier model is active. Remove grids for "
             "glacier codes and glaciated cell fractions from the grid list"
          << "[end-entry]";
    throw 2;
  }
  elevation = gridlist[2].grid;
  layers = BindVegetationLayers(*this, multilayertable, landuse, vegcover);
  soil = gridlist[GetGrid("soil_types")].grid;
  surfacestorage = gridlist[GetGrid("SurfStorSiltingUp")].grid;

  ReadSection();
  SnapSubSteps();
  ReadValue(controlfile, "%d", &storageread, "read control parameter for storage grids for ", linebuffer);
  // Optional last line: name and write flag of the surface-storage statistic.
  std::string line;
  char name[1201];
  int code = 0;
  if (controlfile.GetLine(line) && std::sscanf(line.c_str(), "%1200s%d", name, &code) == 2) {
    stats[kSurfaceStorage].file = name;
    stats[kSurfaceStorage].code = code;
  }
  if (!controlfile.Close()) {
    *diag << "FATAL: error closing control file \"" << UserControlFile().c_str() << "\""
          << "[end-entry]";
    throw 11;
  }

  CreateGrids();
  CreateStatistics(registry, capacity);

  // The runoff routed is the soil model's: without it the first grid missing
  // would name none of the two sections.
  if (FindGrid("directflow", false) <= 0) {
    *diag << "FATAL: in modul " << modulname.c_str()
          << ":\nthe surface routing routes the runoff of the soil model, which is off: the section "
             "[unsatzon_model] is missing in the control file "
          << UserControlFile().c_str() << " or its flow control is 0 (the grid directflow is not in memory)"
          << "[end-entry]";
    throw 33;
  }
  directflow = gridlist[GetGrid("directflow")].grid;
  interflow = gridlist[GetGrid("interflow")].grid;
  riverdepth = gridlist[GetGrid("river_depth")].grid;
  riverwidth = gridlist[GetGrid("river_width")].grid;
  riverlinks = gridlist[GetGrid("river_links")].grid;
  if (const int p = FindGrid("flow_times", false); p > 0) {
    flowtimes = gridlist[p].grid;
    flowtimesfile = gridlist[p].filename;
  }
  if (FindGrid("RelCellArea", false) > 0) {
    cellsizex = gridlist[GetGrid("CellSizeX")].grid;
    cellsizey = gridlist[GetGrid("CellSizeY")].grid;
  }
  for (auto& records : passrecords) records = stats[kQDSR].zones;
  passvalues.assign(zonecount + 1, 0.0);
  stackfile[0].clear();
  stackfile[1].clear();
  constructed = 1;
}

void surfaceroutingclass::ReadSection() {
  const std::string& s = modulname;
  ReadValue(controlfile, "%d", &method, "method for flowpath-calculation ", linebuffer);
  if (method < 1 || method > 6) {
    *diag << "FATAL: \n-----------------error------------\ninvalid method (" << method << ") read for " << s.c_str()
          << "\n"
          << " (" << controlfile.Where().c_str() << "; methods 1 to 6)"
          << "[end-entry]";
    throw 10;
  }
  const char* const labels[4] = {"name of the statistics for direct runoff from surface routing (QDSR) ",
                                 "name of the statistics for interflow from surface routing (QISR) ",
                                 "name of the statistics for baseflow from surface routing (QBSR) ",
                                 "name of the statistics for total runoff from surface routing (QGSR) "};
  for (int k = 0; k < 4; ++k) ReadValues2(controlfile, "%s%d", &stats[k].file, &stats[k].code, labels[k], linebuffer);
  ReadValue(controlfile, "%s", &stackfile[0], "name of the surface-routing-velocity-stack, ", linebuffer);
  ReadValue(controlfile, "%d", &stackcode[0], "Writegrid for surface-routing-velocity-stack, ", linebuffer);
  ReadValue(controlfile, "%s", &stackfile[1], "name of the surface-routing-fluxes-stack, ", linebuffer);
  ReadValue(controlfile, "%d", &stackcode[1], "Writegrid for surface-routing-fluxes-stack, ", linebuffer);
  ReadValue(controlfile, "%lf", &anlerror, "maximum iteration error for A_NL [m] in ", linebuffer);
  ReadValue(controlfile, "%d", &anlsteps, "maximum iteration steps for A_NL in ", linebuffer);
  ReadValue(controlfile, "%lf", &velerror, "maximum iteration error [m/s] for velocity in ", linebuffer);
  ReadValue(controlfile, "%d", &velsteps, "maximum iteration steps for velocity in ", linebuffer);
  // The velocity's limit counts the passes of its iteration: with none the
  // velocity stays 0 and no water flows over the surface. (A wake-length
  // limit below 1 means no iteration there: the stems' wake takes its
  // fixed share.)
  if (velsteps < 1) {
    *diag << "FATAL: error in control file, maximum iteration steps for velocity in " << s.c_str() << ": " << velsteps
          << " (" << controlfile.Where().c_str() << "); it has to be 1 or more"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%lf", &minsubstep, "minimum sub time step [s] in ", linebuffer);
  const int minimumLine = controlfile.LineNumber();
  ReadValue(controlfile, "%lf", &maxsubstep, "maximum sub time step [s] in ", linebuffer);
  // The bounds divide the sub-step: the minimum must be positive and not
  // above the maximum. A maximum of 0 or less snaps to the whole sub-step.
  if (!(minsubstep > 0) || std::isnan(maxsubstep) || (maxsubstep > 0 && minsubstep > maxsubstep)) {
    *diag << "FATAL: error in control file, minimum sub time step [s] in " << s.c_str() << ": " << minsubstep
          << ", maximum sub time step [s]: " << maxsubstep << " (" << controlfile.WhereLines(minimumLine).c_str()
          << "); the minimum has to be greater than 0 and must not exceed the maximum"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%lf", &mincropdepth,
            "minimum flow depth to take into account the roughness of the crops [m] in ", linebuffer);
  ReadValue(controlfile, "%lf", &concfactor, "Concentration factor [1/1] in ", linebuffer);
}

void surfaceroutingclass::SnapSubSteps() {
  // Both bounds become the sub-step length divided by a whole number, never
  // below the value given.
  const double L = 60.0 * timeinterval / std::max(1, substeps);
  auto snap = [&](double value) {
    const double n = std::floor(L / value);
    return value > 0 && n >= 1 && std::isfinite(n) ? L / n : L;
  };
  const double max = snap(maxsubstep);
  if (max != maxsubstep)
    *diag << "INFO: longest allowed subtimestep changed from " << maxsubstep << " to " << max
          << ". Must be integer fraction of time step in seconds."
          << "[end-entry]";
  const double min = snap(minsubstep);
  if (min != minsubstep)
    *diag << "WARNING: shortest allowed subtimestep changed from " << minsubstep << " to " << min
          << ". Must be integer fraction of time step in seconds."
          << "[end-entry]";
  maxsubstep = max;
  minsubstep = min;
}

// ------------------------------------------------------------ grids

bool surfaceroutingclass::OwnCell(int r, int c) const {
  if (!zonegrid || !zonegrid[r] || Missing(zonegrid[r][c])) return false;
  return !MPIRegions || static_cast<int>(MPIRegions[r][c]) == mpirank;
}

int surfaceroutingclass::NextFreePosition(int from) {
  int p = std::max(1, from);
  while (p < kGridListMax && (gridlist[p].registered || gridlist[p].grid || gridlist[p].stack)) ++p;
  if (p >= kGridListMax) {
    *diag << "FATAL: no free grid anymore, allowed number of grids is " << kGridListMax << "!"
          << " (" << modulname.c_str() << ")"
          << "[end-entry]";
    throw 12;
  }
  return p;
}

void surfaceroutingclass::Fill(OwnedGrid& g, double ownValue, double otherValue) {
  for (int64_t r = g.first; r <= g.last; ++r)
    for (int c = 1; c <= ncols; ++c) {
      const double v = OwnCell(static_cast<int>(r), c) ? ownValue : otherValue;
      if (g.stack)
        for (int k = 0; k <= kStackLevels; ++k) g.stack[r][c][k] = v;
      if (g.grid) g.grid[r][c] = v;
    }
}

surfaceroutingclass::OwnedGrid& surfaceroutingclass::NewStack(const std::string& name, const std::string& file,
                                                              int writeCode, bool withBorder, int& next) {
  OwnedGrid& g = own[name == "SurfaceRoutingVelocity" ? kVelocity
                     : name == "SurfaceRoutingFluxes" ? kFluxes
                                                      : kWeights];
  int first = firstrow, last = lastrow;
  InstanceRows(withBorder, first, last);
  g.first = first;
  g.last = last;
  g.owned = true;
  g.stack = matrix3d(first, last, 1, ncols, kStackLevels, nrows);
  g.grid = matrix(first, last, 1, ncols, nrows);
  next = NextFreePosition(next);
  RegisterGrid(next, file, g.grid, g.stack, kStackLevels, name, writeCode, first, last);
  g.position = next++;
  return g;
}

surfaceroutingclass::OwnedGrid& surfaceroutingclass::NewGrid(const std::string& name, bool withBorder, bool optional,
                                                             int& next) {
  static const char* const names[kOwnCount] = {"",
                                               "",
                                               "",
                                               "SurfaceRoutingHead",
                                               "SurfaceRoutingHeadOld",
                                               "SurfaceRoutingRoughnessX",
                                               "SurfaceRoutingRoughnessY",
                                               "SurfaceRoutingManningCoeff",
                                               "Plancurvature",
                                               "SurfaceRoutingQIn",
                                               "SurfaceRoutingQOut",
                                               "CriticalShearStress"};
  int k = kHead;
  while (k < kOwnCount && name != names[k]) ++k;
  OwnedGrid& g = own[k];
  if (optional) {
    // A grid another object registered first is used, never freed or cleared here.
    if (const int p = FindGrid(name, false); p > 0) {
      g.grid = gridlist[p].grid;
      g.position = p;
      g.owned = false;
      g.first = gridlist[p].firstrow;
      g.last = gridlist[p].lastrow;
      return g;
    }
  }
  int first = firstrow, last = lastrow;
  InstanceRows(withBorder, first, last);
  g.first = first;
  g.last = last;
  g.owned = true;
  g.grid = matrix(first, last, 1, ncols, nrows);
  next = NextFreePosition(next);
  RegisterGrid(next, name, g.grid, nullptr, 0, name, 0, first, last);
  g.position = next++;
  return g;
}

void surfaceroutingclass::CreateGrids() {
  int next = NextFreePosition(1);
  Fill(NewStack("SurfaceRoutingVelocity", stackfile[0], stackcode[0], true, next), 0.0, nodata);
  Fill(NewStack("SurfaceRoutingFluxes", stackfile[1], stackcode[1], true, next), 0.0, nodata);
  MPIExchangeBorders2(own[kFluxes].position, 0);
  Fill(NewStack("SurfaceRoutingWeights", "SurfaceRoutingWeights", 0, false, next), 0.0, nodata);
  for (const char* name : {"SurfaceRoutingHead", "SurfaceRoutingHeadOld"}) {
    OwnedGrid& g = NewGrid(name, true, false, next);
    Fill(g, 0.0, nodata);
    MPIExchangeBorders(g.position);
  }
  for (const char* name : {"SurfaceRoutingRoughnessX", "SurfaceRoutingRoughnessY"}) {
    OwnedGrid& g = NewGrid(name, true, false, next);
    Fill(g, 10.0, 0.0);
    MPIExchangeBorders(g.position);
  }
  OwnedGrid& manning = NewGrid("SurfaceRoutingManningCoeff", true, false, next);
  Fill(manning, 0.0, 0.0);
  const int landusecount = landusetable ? landusetable[0].code : 0;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      // The top vegetation layer with a land use gives the Strickler value;
      // a cell without any keeps the default of "SR_K_ST".
      double kst = 10.0;
      for (int k = layers; k >= 1; --k) {
        const int index = static_cast<int>(landuse[k][r][c]);
        if (index == -9999) continue;
        if (index >= 1 && index <= landusecount) kst = landusetable[index].GetSR_K_ST();
        break;
      }
      manning.grid[r][c] = kst;
    }
  MPIExchangeBorders(manning.position);

  OwnedGrid& curvature = NewGrid("Plancurvature", true, true, next);
  if (curvature.owned) {
    ComputePlanCurvature();
    MPIExchangeBorders(curvature.position);
  }
  for (const char* name : {"SurfaceRoutingQIn", "SurfaceRoutingQOut"}) {
    OwnedGrid& g = NewGrid(name, false, true, next);
    if (g.owned) Fill(g, 0.0, nodata);
  }
  OwnedGrid& shear = NewGrid("CriticalShearStress", false, true, next);
  if (shear.owned) Fill(shear, 0.9, nodata);
}

void surfaceroutingclass::CreateStatistics(StatRecord* registry, int capacity) {
  const char* const titles[kStatistics] = {"Direct_Discharge_Surface_Routing", "Interflow_Surface_Routing",
                                           "Baseflow_Surface_Routing", "Total_Runoff_Surface_Routing",
                                           "Surface_Storage_in_SurfaceRouting_Module"};
  for (int k = 0; k < kStatistics; ++k) {
    Stat& s = stats[k];
    s.zones.assign(zonecount + 1, ZoneRecord{0, 0, 0, 0, 0});
    for (int i = 0; i <= zonecount; ++i)
      s.zones[i] = ZoneRecord{0, 0, zonerecords[i].zonenwert, zonerecords[i].rel, zonerecords[i].RelCellSum};
    int code = 0;
    s.writer = std::make_unique<zonalstatistic>(code, diag, registry, capacity, relcellarea, nrows, ncols,
                                                s.zones.data(), zonecount, s.code, k == kSurfaceStorage ? 6 : 5, s.file,
                                                DefaultOutputDirectory, outputlistcount, outputlist);
    if (code != 0) throw code;
    s.writer->WriteHeader(titles[k], modulname, registry, capacity);
  }
}

// ------------------------------------------------------------ cell operations

namespace {
// Mean of the neighbours of (r, c) inside rows 1 ... rows, columns 1 ...
// columns, within first ... last and not no-data; false when there is none.
bool MeanOfNeighbours(Grid g, int r, int c, int rows, int columns, int64_t first, int64_t last, double nodata,
                      double& mean) {
  double sum = 0;
  int n = 0;
  for (int dr = -1; dr <= 1; ++dr)
    for (int dc = -1; dc <= 1; ++dc) {
      if (dr == 0 && dc == 0) continue;
      const int rr = r + dr, cc = c + dc;
      if (rr < 1 || rr > rows || cc < 1 || cc > columns || rr < first || rr > last) continue;
      const double v = g[rr][cc];
      if (!(v > kNodata) || v == nodata) continue;
      sum += v;
      ++n;
    }
  if (n == 0) return false;
  mean = sum / n;
  return true;
}
}  // namespace

void surfaceroutingclass::NeighbourMean(int row, int column, Grid grid) {
  int first = firstrow, last = lastrow;
  InstanceRows(true, first, last);
  double mean = 0;
  if (MeanOfNeighbours(grid, row, column, nrows, ncols, first, last, nodata, mean)) grid[row][column] = mean;
}

void surfaceroutingclass::ComputePlanCurvature() {
  Grid k = own[kPlanCurvature].grid;
  if (!k || !elevation) return;
  const double h = cellsize;
  const int64_t first = own[kPlanCurvature].first, last = own[kPlanCurvature].last;
  auto missing = [&](double v) { return !(v > kNodata) || v == nodata; };
  for (int64_t i = first; i <= last; ++i)
    for (int c = 1; c <= ncols; ++c) k[i][c] = nodata;
  for (int r = std::max(2, firstrow); r <= std::min(nrows - 1, lastrow); ++r)
    for (int c = 2; c <= ncols - 1; ++c) {
      bool hole = false;
      for (int dr = -1; dr <= 1 && !hole; ++dr)
        for (int dc = -1; dc <= 1 && !hole; ++dc) hole = missing(elevation[r + dr][c + dc]);
      if (hole) continue;
      const double* n = elevation[r - 1];
      const double* z = elevation[r];
      const double* s = elevation[r + 1];
      // p: slope towards north (row - 1), q: towards east (column + 1).
      const double p = (n[c] - s[c]) / (2 * h);
      const double q = (z[c + 1] - z[c - 1]) / (2 * h);
      if (p == 0 && q == 0) {
        k[r][c] = 0;
        continue;
      }
      const double D = ((z[c - 1] + z[c + 1]) * 0.5 - z[c]) / (h * h);
      const double E = ((n[c] + s[c]) * 0.5 - z[c]) / (h * h);
      const double F = (n[c + 1] + s[c - 1] - n[c - 1] - s[c + 1]) / (4 * h * h);
      k[r][c] = 2 * (E * q * q + D * p * p - F * p * q) / (p * p + q * q);
    }
  // Cells without a value take the mean of their neighbours' computed values
  // (from a copy, so that the result does not depend on the order of the cells
  // or on where the instances' rows end).
  MPIExchangeBorders(own[kPlanCurvature].position);
  std::vector<std::vector<double>> raw(static_cast<size_t>(last - first + 1));
  for (int64_t i = first; i <= last; ++i) raw[i - first].assign(k[i], k[i] + ncols + 1);
  std::vector<double*> rows(static_cast<size_t>(nrows + 2), nullptr);
  for (int64_t i = first; i <= last; ++i) rows[i] = raw[i - first].data();
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c) || !missing(k[r][c])) continue;
      double mean = 0;
      if (MeanOfNeighbours(rows.data(), r, c, nrows, ncols, first, last, nodata, mean)) k[r][c] = mean;
    }
}

namespace {
// Neighbour offsets of the inflow; the neighbour's flux towards the cell is its level k + 1.
constexpr int kInDr[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kInDc[8] = {0, -1, -1, -1, 0, 1, 1, 1};
}  // namespace

unsigned surfaceroutingclass::InflowNeighbours(int row, int column) const {
  unsigned mask = 0;
  for (int k = 0; k < 8; ++k) {
    const int r = row + kInDr[k], c = column + kInDc[k];
    if (r < 1 || r > nrows || c < 1 || c > ncols || r < own[kFluxes].first || r > own[kFluxes].last) continue;
    if (!zonegrid[r] || Missing(zonegrid[r][c])) continue;
    mask |= 1u << k;
  }
  return mask;
}

void surfaceroutingclass::CellInflow(int row, int column, double dt) {
  // The neighbours found once per terrain, while it holds.
  const int i = terrainready ? OwnSlot(row, column) : -1;
  CellInflow(row, column, dt, i >= 0 ? inflowmask[i] : InflowNeighbours(row, column));
}

void surfaceroutingclass::CellInflow(int row, int column, double dt, unsigned neighbours) {
  Grid in = own[kQIn].grid;
  Grid out = own[kQOut].grid;
  Stack f = own[kFluxes].stack;
  in[row][column] = 0;
  out[row][column] = 0;
  for (int t = 1; t <= tracercount; ++t) tracerlinks[t].load[row][column] = 0;
  double inflow = 0;
  for (int k = 0; k < 8; ++k) {
    if (!(neighbours >> k & 1u)) continue;
    const int r = row + kInDr[k], c = column + kInDc[k];
    // Only the share the neighbour releases arrives (see LimitOutflow).
    const double q = f[r][c][k + 1] * (outfactor ? outfactor[r][c] : 1.0);
    inflow += q;
    for (int t = 1; t <= tracercount; ++t) tracerlinks[t].load[row][column] += q * tracerlinks[t].storage.grid[r][c];
  }
  double outflow = 0;
  for (int k = 1; k <= 8; ++k)
    if (f[row][column][k] > 0) outflow += f[row][column][k];
  if (outfactor) outflow *= outfactor[row][column];
  for (int t = 1; t <= tracercount; ++t) tracerlinks[t].load[row][column] *= 1000 * dt;
  in[row][column] = inflow * dt;
  out[row][column] = outflow * dt;
}

// ------------------------------------------------------------ links

double* surfaceroutingclass::GetQg() {
  if (flowcontrol == 0) return nullptr;
  if (Qg.empty()) {
    *diag << "FATAL: Qg (surface routing) not initialized (may be, tracer module not linked? -> programmers error!)"
          << "[end-entry]";
    throw 57;
  }
  return Qg.data();
}

void surfaceroutingclass::SetQBb(double* values) {
  if (flowcontrol != 0) qbb = values;
}
void surfaceroutingclass::SetGlacierRunoff(double* values) {
  if (flowcontrol != 0) glacierrunoff = values;
}
void surfaceroutingclass::SetKelsqd(double* values) {
  if (flowcontrol != 0) kelsqd = values;
}
void surfaceroutingclass::SetKelsqi(double* values) {
  if (flowcontrol != 0) kelsqi = values;
}
void surfaceroutingclass::SetInterflowInflow(double* values) {
  if (flowcontrol != 0) externalQI = values;
}
void surfaceroutingclass::SetDirectInflow(double* values) {
  if (flowcontrol != 0) externalQD = values;
}
