// Surface flow of one sub-step: take-in of the soil's direct runoff, the loop
// of sub-time-steps with the border exchanges, flow paths of methods 1 to 5,
// the stable sub time step, the storage update and the hand-over of the river
// cells' water to the flow-travel-time zones.
//
// Water is moved only from what a cell stores: before the receivers add a
// cell's outflow, the outflow of the sub-time-step is cut to the water the
// cell holds at its start ("outfactor", the released share per cell), so no
// storage is clipped afterwards and no water is created.
//
// A sub-time-step runs as passes over the own cells, each a parallel region;
// in a pass a cell writes only its own values and reads neighbours' values
// that nothing writes in the same pass, so results do not depend on the
// number of threads or on which thread takes a cell.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/zonalstatistic.h"
#include "parameters/landuse_table_entry.h"
#include "surface/surfrout.h"

namespace {

// Neighbour offsets of the directions 1 ... 8 (index 0 unused), clockwise from north.
constexpr int kDr[9] = {0, -1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kDc[9] = {0, 0, 1, 1, 1, 0, -1, -1, -1};
constexpr double kDegrees = 57.29577951307855;

}  // namespace

// ------------------------------------------------------------ helpers

int surfaceroutingclass::CellIndex(int r, int c) const {
  return (r - firstrow) * ncols + (c - 1);
}

int surfaceroutingclass::OwnSlot(int r, int c) const {
  if (r < firstrow || r > lastrow || c < 1 || c > ncols || cellslot.empty()) return -1;
  return cellslot[CellIndex(r, c)];
}

double surfaceroutingclass::SubTimeStep(double T, double stable, double minimum, double maximum) {
  double dt = T / (std::floor(T / stable) + 1);
  if (dt < minimum) dt = minimum;
  if (dt > maximum) dt = maximum;
  return dt;
}

void surfaceroutingclass::PrepareCells() {
  if (cellsready) return;
  ownrowstart.assign(static_cast<size_t>(std::max(0, lastrow - firstrow + 2)), 0);
  owncells.clear();
  for (int r = firstrow; r <= lastrow; ++r) {
    ownrowstart[r - firstrow] = static_cast<int>(owncells.size());
    for (int c = 1; c <= ncols; ++c)
      if (OwnCell(r, c)) owncells.push_back(c);
  }
  if (lastrow >= firstrow) ownrowstart[lastrow - firstrow + 1] = static_cast<int>(owncells.size());
  cellslot.assign(static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * ncols, -1);
  for (int r = firstrow; r <= lastrow; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i)
      cellslot[CellIndex(r, owncells[i])] = i;
  for (int colour = 0; colour <= 1; ++colour) {
    colourcells[colour].clear();
    colourrowstart[colour].assign(ownrowstart.size(), 0);
    for (int r = firstrow; r <= lastrow; ++r) {
      colourrowstart[colour][r - firstrow] = static_cast<int>(colourcells[colour].size());
      for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i)
        if ((r + owncells[i]) % 2 == colour) colourcells[colour].push_back(owncells[i]);
    }
    if (lastrow >= firstrow)
      colourrowstart[colour][lastrow - firstrow + 1] = static_cast<int>(colourcells[colour].size());
  }
  // With silting-up the soil is given its runoff instead of the surface water.
  siltingup = FindGrid("DirectRunoffSiltingUp", true) > 0;
  for (auto* v : {&standing, &keptwater, &runoff, &early, &arriving}) v->assign(owncells.size(), 0.0);
  runoffconc.assign(owncells.size() * static_cast<size_t>(std::max(0, tracercount)), 0.0);
  RecordStanding();
  const size_t cells = static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * ncols;
  cellentry.assign(cells, 0);
  cellrc.assign(cells, 0.5);
  celldp.assign(cells, 0.0);
  // The land use of a cell is that of its highest vegetation layer with a
  // code; a cell without a valid one flows with the default Strickler
  // coefficient and no crop roughness.
  const int entries = landusetable ? landusetable[0].code : 0;
  int invalid = 0, firstr = 0, firstc = 0;
  double firstvalue = 0;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
      const int c = owncells[i];
      double value = -9999;
      for (int k = layers; k >= 1; --k)
        if (landuse[k][r][c] != -9999) {
          value = landuse[k][r][c];
          break;
        }
      const int index = static_cast<int>(value);
      if (index >= 1 && index <= entries && index == value) {
        cellentry[CellIndex(r, c)] = index;
      } else if (invalid++ == 0) {
        firstr = r;
        firstc = c;
        firstvalue = value;
      }
    }
  if (invalid > 0)
    *diag << "WARNING: " << modulname.c_str() << ": " << invalid
          << " cells have no valid land-use entry on any vegetation layer (first at row " << firstr << ", column "
          << firstc << ": " << firstvalue << "); they flow with the Strickler coefficient 10 and no crop roughness"
          << "[end-entry]";

  int first = firstrow, last = lastrow;
  InstanceRows(true, first, last);
  heldfirst = first;
  heldlast = last;
  outfactor = matrix(first, last, 1, ncols, nrows);
  for (int r = first; r <= last; ++r)
    for (int c = 1; c <= ncols; ++c) outfactor[r][c] = 1.0;
  cellsready = true;
}

void surfaceroutingclass::FreeFlowGrids() {
  if (outfactor) FreeMatrix(outfactor, heldfirst, heldlast, 1, ncols);
  outfactor = nullptr;
  cellsready = false;
  terrainready = false;
}

void surfaceroutingclass::CellDateValues(int64_t day, int64_t month, int64_t year) {
  // Residue cover and stem diameter depend on the cell and the day only.
  const int entries = landusetable ? landusetable[0].code : 0;
  bool crops = false;
  for (int k = 1; k <= entries; ++k) crops = crops || landusetable[k].GetSR_cultivation() != 3;
  if (!crops) return;
  julianday = landusetable[1].GetJulianDay(static_cast<int>(day), static_cast<int>(month), static_cast<int>(year));
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    recorded.Run([&] {
      for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
        const int c = owncells[i];
        const int x = CellIndex(r, c);
        const int e = cellentry[x];
        const int mode = e > 0 ? landusetable[e].GetSR_cultivation() : 3;
        if (mode == 1 || mode == 2)
          cellrc[x] = landusetable[e].GetSR_ResidCovrgAtJulianDay(*diag, julianday, layers, r, c, elevation[r][c]);
        if (mode == 2)
          celldp[x] = landusetable[e].GetSR_StemDiameterAtJulianDay(*diag, julianday, layers, r, c, elevation[r][c]);
      }
    });
  }
  recorded.ThrowAndClear();
}

// ------------------------------------------------------------ driver

void surfaceroutingclass::ThreadRows(int& first, int& last) const {
  first = last = firstrow;
  const int rows = static_cast<int>(ownrowstart.size()) - 1;
  if (rows < 1) return;
  const int64_t cells = ownrowstart[rows];
  const int threads = omp_get_num_threads(), t = omp_get_thread_num();
  // The first row whose cells start at or after cell k * cells / threads.
  auto row = [&](int k) {
    const int64_t target = k * cells / threads;
    return firstrow + static_cast<int>(std::lower_bound(ownrowstart.begin(), ownrowstart.begin() + rows, target) -
                                       ownrowstart.begin());
  };
  first = row(t);
  last = t + 1 == threads ? lastrow + 1 : row(t + 1);
}

void surfaceroutingclass::ExchangeInRegion(bool exchanging, const std::function<void()>& exchange) {
  if (!exchanging) return;
#pragma omp masked
  recorded.Run(exchange);
#pragma omp barrier
}

bool surfaceroutingclass::Exchanging() const {
  return (haloSend && !haloSend->empty()) || (haloReceive && !haloReceive->empty());
}

void surfaceroutingclass::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flowcontrol == 0) return;
  const bool newdate = !(lastdate[0] == year && lastdate[1] == month && lastdate[2] == day && lastdate[3] == hour);
  if (newdate) {
    lastdate[0] = year;
    lastdate[1] = month;
    lastdate[2] = day;
    lastdate[3] = hour;
    substepcounter = 1;
  } else {
    ++substepcounter;
  }
  PrepareCells();
  if (newdate) CellDateValues(day, month, year);
  // The terrain may change between steps (grids read anew by period or from
  // a coupled model): then the directions of methods 1 and 2 and the cells
  // of each subbasin are found anew.
  if (newdate && terrainready && CopyTerrain(true)) terrainready = false;
  if (!terrainready) BuildTerrainData();
  // The soil takes up the water on the surface at the start of each of its
  // sub-steps, unless silting-up is on: then the silting-up takes it into the
  // water input once per step, before the first sub-step, and it stays on
  // the surface between the sub-steps.
  const bool keep = siltingup && !newdate;

  // The water reaching the river cells is booked where it arrives (methods 1
  // to 5 in the storage update, method 6 in the level update), so no sums of
  // the subbasins' storages are needed between the passes.
  //
  // The steps of a sub-time-step are the virtual operations (HeadGradients,
  // FlowDirections, CellVelocity and CellInflow per cell; InitConductances,
  // IterateLevels and ComputeFaceFluxes of method 6; GetStableTimeStep),
  // called from this thread or from the passes over the cells; each pass is
  // a parallel region, and the border exchanges and reductions are made by
  // this thread between them.
  const bool parallel = MpiRunning() && mpisize > 1;
  const bool exchanging = Exchanging();
  const double T = timeinterval / std::max(1, substeps) * 60.0;  // s
  double dt = minsubstep;  // until the stable step is known (the levels of method 6 are iterated with it)
  lastsweeps = 0;
#pragma omp parallel
  TakeIn(keep);
  bool arrivals = false;
  for (size_t k = 0; k < runoff.size() && !arrivals; ++k) arrivals = runoff[k] > early[k];
  double t = 0;
  int i = 0, m = 0, n = 0, count = 1;
  while (T - 0.5 * minsubstep > t) {
    if (i > 0 && spreading) {
#pragma omp parallel
      Arrive(i, count);
    }
    if (exchanging) MPIExchangeBorders(own[kHead].position);
    // From the second sub-time-step on, the passes that find the fluxes also
    // limit the outflow over dt; in the first, dt comes from the stable step.
    if (method != 6) {
      FlowPaths(i, m, dt, i > 0);
    } else {
      InitConductances();
      if (exchanging) {
        MPIExchangeBorders(own[kRoughnessX].position);
        MPIExchangeBorders(own[kRoughnessY].position);
      }
      Diffuse(dt, i > 0);
    }
    if (i == 0) {
      // The stable step of all the sub-step's water on the surface (where it
      // arrives over the sub-step, the depths stay below), and whether
      // runoff arrives anywhere.
      double found[2] = {GetStableTimeStep(), arrivals ? 0.0 : 1.0};
      if (parallel) MPI_Allreduce(MPI_IN_PLACE, found, 2, MPI_DOUBLE, MPI_MIN, MPI_COMM_WORLD);
      const double first = dt;
      dt = SubTimeStep(T, found[0], minsubstep, maxsubstep);
      n = static_cast<int>(std::floor(T / dt)) + 1;
      count = std::max(1, static_cast<int>(std::lround(T / dt)));
      spreading = count > 1 && found[1] == 0;
#pragma omp parallel
      Arrive(0, count);
      if (spreading) {
        // The first sub-time-step flows with its own water only.
        if (method != 6) {
          if (exchanging) MPIExchangeBorders(own[kHead].position);
          FlowPaths(0, m, dt, true);
        } else {
          RestartLevels();
          InitConductances();
          if (exchanging) {
            MPIExchangeBorders(own[kRoughnessX].position);
            MPIExchangeBorders(own[kRoughnessY].position);
          }
          Diffuse(dt, true);
        }
      } else if (method == 6 && dt != first) {
        // The levels found over the minimum sub time step gave the stable
        // step; the sub-time-step that elapses takes the levels of its own
        // length, from those of its start again.
        RestartLevels();
        Diffuse(dt, true);
      } else {
        LimitOutflows(dt);
      }
    }
    if (i == m) m = static_cast<int>(std::floor(i + n / (T / maxsubstep)));
    if (exchanging) {
      MPIExchangeBorders(0, outfactor);
      for (int k = 1; k <= tracercount; ++k) MPIExchangeBorders(0, tracerlinks[k].storage.grid);
      if (method != 6) MPIExchangeBorders2(own[kFluxes].position, 0);
    }
#pragma omp parallel
    {
      if (method != 6)
        UpdateStorages(dt);
      else
        UpdateLevels(dt);
    }
    recorded.ThrowAndClear();
    t += dt;
    ++i;
  }
  if (spreading) {
#pragma omp parallel
    Arrive(count, count);
  }
  subdt = dt;
  subcount = i;
  HandOver();
  RecordStanding();
}

void surfaceroutingclass::Diffuse(double dt, bool limit) {
  const bool parallel = MpiRunning() && mpisize > 1;
  const bool exchanging = Exchanging();
  for (int sweep = 1; sweep <= kLevelSweeps; ++sweep) {
    if (sweep > 1 && exchanging) MPIExchangeBorders(own[kHead].position);
    double residual = IterateLevels(dt);
    if (parallel) MPI_Allreduce(MPI_IN_PLACE, &residual, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    lastsweeps = sweep;
    if (residual <= kLevelTolerance) break;
  }
  if (exchanging) MPIExchangeBorders(own[kHead].position);
  // The face fluxes limit the outflow in the same passes (the values are
  // at hand there); an override that leaves it gets a pass of its own.
  limitdt = limit ? dt : 0.0;
  limited = false;
  ComputeFaceFluxes();
  if (limit && !limited) LimitOutflows(dt);
  limitdt = 0;
}

void surfaceroutingclass::RestartLevels() {
  Grid head = own[kHead].grid;
  Grid old = own[kHeadOld].grid;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i)
      head[r][owncells[i]] = old[r][owncells[i]];
  if (Exchanging()) MPIExchangeBorders(own[kHead].position);
}

void surfaceroutingclass::LimitOutflows(double dt) {
#pragma omp parallel
  {
    int first = 0, last = 0;
    ThreadRows(first, last);
    for (int r = first; r < last; ++r)
      for (int k = ownrowstart[r - firstrow]; k < ownrowstart[r - firstrow + 1]; ++k) LimitOutflow(r, owncells[k], dt);
  }
}

void surfaceroutingclass::TakeIn(bool keep) {
  Grid head = own[kHead].grid;
  Grid old = own[kHeadOld].grid;
  const size_t cells = owncells.size();
  int first = 0, last = 0;
  ThreadRows(first, last);
  for (int r = first; r < last; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
      const int c = owncells[i];
      const double q = directflow[r][c];  // mm
      const double kept = keep ? std::max(0.0, surfacestorage[r][c]) : 0.0;
      // Of the runoff, the water that stood on the surface before the soil
      // took it up is there from the start (with silting-up between
      // sub-steps the soil left it there: all runoff is new); a river cell
      // passes all of it on in the sub-step anyway.
      keptwater[i] = kept;
      runoff[i] = q;
      early[i] = River(r, c) ? q : keep ? 0.0 : std::min(q, std::max(0.0, standing[i]));
      for (int k = 1; k <= tracercount; ++k) {
        runoffconc[(k - 1) * cells + i] = tracerlinks[k].concQD[r][c];
        if (method == 6 && River(r, c)) {
          double& conc = tracerlinks[k].storage.grid[r][c];
          conc = kept > 0 ? (kept * conc + q * tracerlinks[k].concQD[r][c]) / (kept + q) : tracerlinks[k].concQD[r][c];
        }
        tracerlinks[k].concQD[r][c] = 0;
      }
      if (method == 6 && River(r, c)) {
        // A river cell is held at its elevation: its own water leaves at once.
        head[r][c] = old[r][c] = elevation[r][c];
        surfacestorage[r][c] = 0;
        for (int k = 1; k <= tracercount; ++k) {
          tracerlinks[k].concQD[r][c] = tracerlinks[k].storage.grid[r][c] * q;
          tracerlinks[k].storage.grid[r][c] = 0;
        }
        continue;
      }
      const double stored = kept + q;
      head[r][c] = stored / 1000;
      if (method == 6) head[r][c] = old[r][c] = stored / 1000 + elevation[r][c];
      surfacestorage[r][c] = stored;
      directflow[r][c] = 0;
    }
}

void surfaceroutingclass::Arrive(int j, int n) {
  Grid head = own[kHead].grid;
  Grid old = own[kHeadOld].grid;
  const size_t cells = owncells.size();
  int first = 0, last = 0;
  ThreadRows(first, last);
  for (int r = first; r < last; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
      const int c = owncells[i];
      if (method == 6 && River(r, c)) continue;  // held at its bottom: its water left in TakeIn
      const double late = runoff[i] - early[i];
      double before = 0, share = 0;  // mm: on the surface, arriving now
      bool whole = false;            // all of it at once: the storage as TakeIn left it
      if (j == 0) {
        whole = !(late > 0) || !spreading;
        share = whole ? runoff[i] : early[i] + 0.5 * late / n;
        before = keptwater[i];
        arriving[i] = whole ? 0.0 : late - 0.5 * late / n;
      } else {
        if (!(arriving[i] > 0)) continue;
        share = j >= n ? arriving[i] : std::min(arriving[i], late / n);
        before = std::max(0.0, surfacestorage[r][c]);
        arriving[i] -= share;
      }
      const double water = before + share;
      for (int k = 1; k <= tracercount; ++k) {
        // The water on the surface mixes with the runoff.
        double& conc = tracerlinks[k].storage.grid[r][c];
        const double in = runoffconc[(k - 1) * cells + i];
        conc = before > 0 ? (before * conc + share * in) / water : in;
      }
      if (whole) continue;
      surfacestorage[r][c] = water;
      if (method == 6)
        head[r][c] = old[r][c] = water / 1000 + elevation[r][c];
      else
        head[r][c] = water / 1000;
    }
}

void surfaceroutingclass::RecordStanding() {
  for (int r = firstrow; r <= lastrow; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i)
      standing[i] = surfacestorage[r][owncells[i]];
}

void surfaceroutingclass::FlowPaths(int counter, int mark, double dt, bool limit) {
  // Methods 1 and 2 find the gradients and weights of the terrain once per
  // step (HeadGradients and FlowDirections give them back as found while
  // memo is set); the others find them on the current water levels. The
  // rows go to the threads one by one: wet cells cost far more than dry ones.
  memo = method < 3;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    // After a failure the remaining rows are left alone: the run throws.
    if (recorded.Failed()) continue;
    recorded.Run([&] {
      for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
        const int c = owncells[i];
        double slope = 0, aspect = 0;
        int kind = 0;
        HeadGradients(r, c, slope, aspect, kind);
        FlowDirections(r, c, kind, counter, slope, aspect);
        CellVelocity(r, c, counter, mark, kind);
        // A cell's outflow limit depends on its own values only.
        if (limit) LimitOutflow(r, c, dt);
      }
    });
  }
  memo = false;
  recorded.ThrowAndClear();
}

void surfaceroutingclass::LimitOutflow(int r, int c, double dt) {
  const double* f = own[kFluxes].stack[r][c];
  double out = 0, stored = 0;  // m3 over the sub-time-step, m3 at its start
  if (method != 6) {
    double lowest = 1e300;  // m, the smallest drop of the water levels to a receiver (methods 3 to 5)
    Grid head = own[kHead].grid;
    for (int k = 1; k <= 8; ++k)
      if (f[k] > 0) {
        out += f[k];
        if (method < 3) continue;
        const int rn = r + kDr[k], cn = c + kDc[k];
        const double Hn = elevation[rn][cn] + (zonegrid[rn][cn] > 0 ? head[rn][cn] : 0.0);
        lowest = std::min(lowest, elevation[r][c] + head[r][c] - Hn);
      }
    stored = std::max(0.0, surfacestorage[r][c]) / 1000 * CellArea(r, c);
    // Within a sub-time-step a cell's level falls at most half way to its
    // nearest receiver's, which rises as much where the two hold alike: a
    // pit holds its water at its rim, and ponded cells do not swing past
    // each other however long the sub time step. (Where the sub time step
    // resolves the flow, its Manning-Strickler discharge stays below.)
    if (lowest < 1e300) stored = std::min(stored, std::max(0.0, lowest) / 2 * CellArea(r, c));
  } else if (!River(r, c)) {
    // Outgoing faces: north and west carry negative values, south and east positive.
    out = std::max(0.0, -f[1]) + std::max(0.0, f[3]) + std::max(0.0, f[5]) + std::max(0.0, -f[7]);
    stored = std::max(0.0, own[kHeadOld].grid[r][c] - elevation[r][c]) * CellDx(r, c) * CellDy(r, c);
  }
  out *= dt;
  StoreIfChanged(outfactor[r][c], out > stored ? stored / out : 1.0);
}

void surfaceroutingclass::UpdateStorages(double dt) {
  int first = 0, last = 0;
  ThreadRows(first, last);
  if (tracercount == 0) {
    // The inflow of a cell reads the neighbours' fluxes and released shares,
    // which the update of a cell leaves alone: one pass.
    for (int r = first; r < last; ++r)
      for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
        CellInflow(r, owncells[i], dt);
        SettleCell(r, owncells[i]);
      }
    return;
  }
  // The inflows read the neighbours' concentrations, which change in the
  // update: all inflows first.
  for (int r = first; r < last; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) CellInflow(r, owncells[i], dt);
#pragma omp barrier
  for (int r = first; r < last; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) SettleCell(r, owncells[i]);
}

void surfaceroutingclass::SettleCell(int r, int c) {
  const double tomm = 1000 / CellArea(r, c);
  Grid head = own[kHead].grid;
  Grid qin = own[kQIn].grid;
  Grid qout = own[kQOut].grid;
  const double in = qin[r][c] * tomm;
  double out = qout[r][c] * tomm;
  const double before = surfacestorage[r][c];
  double S = before + in - out;
  if (S < 0) {  // rounding only: the outflow was cut to the storage
    out += S;
    S = 0;
  }
  qin[r][c] = in;
  qout[r][c] = out;
  const bool river = River(r, c);
  for (int k = 1; k <= tracercount; ++k) {
    double& conc = tracerlinks[k].storage.grid[r][c];
    const double mass = conc * (before - out) + tracerlinks[k].load[r][c] / CellArea(r, c);
    conc = S > 0 ? mass / S : 0.0;
    if (river) {
      tracerlinks[k].concQD[r][c] += conc * S;
      conc = 0;
    } else {
      tracerlinks[k].concQD[r][c] = 0;
    }
  }
  if (river) {
    directflow[r][c] += S;
    surfacestorage[r][c] = 0;
    head[r][c] = 0;
  } else {
    directflow[r][c] = 0;
    head[r][c] = S / 1000;
    surfacestorage[r][c] = S;
  }
}

void surfaceroutingclass::HandOver() {
  const int S = zonecount;
  // Statistic 0 (the surface storage) and the zone records of subbasin s
  // take the cells of s in their order, each on one thread, so that the
  // sums do not depend on the threads. A value that is no number is noted
  // by statistic 0 with the first such cell of all: then statistic 0 adds
  // every cell in the order of the rows afterwards, on one thread.
  std::atomic<bool> invalid{false};
#pragma omp parallel
  {
    int first = 0, last = 0;
    ThreadRows(first, last);
    bool found = false;
    for (int r = first; r < last; ++r)
      for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
        const int c = owncells[i];
        found = found || !std::isfinite(surfacestorage[r][c]);
        if (tracercount == 0) continue;
        const bool river = River(r, c);
        const double q = directflow[r][c];
        for (int k = 1; k <= tracercount; ++k) {
          const double conc = tracerlinks[k].storage.grid[r][c];
          if (Grid store = tracergrids[k].store;
              store && r >= tracergrids[k].storefirst && r <= tracergrids[k].storelast)
            store[r][c] = conc;
          if (Grid silting = tracerlinks[k].silting)
            silting[r][c] = tracers[k].evaporating == 1 ? conc : conc * surfacestorage[r][c];
          if (river) tracerlinks[k].concQD[r][c] = q > 0 ? tracerlinks[k].concQD[r][c] / q : 0.0;
        }
      }
    if (found) invalid.store(true);
#pragma omp barrier
    const bool storage = !invalid.load();
#pragma omp for schedule(dynamic, 1)
    for (int j = 0; j < 3 * S; ++j)
      if (j % 3 != 0 || storage) HandOverSubbasin(j / 3 + 1, j % 3);
  }
  if (!invalid.load()) return;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
      const int c = owncells[i];
      const int s = SubbasinOf(zonegrid[r][c]);
      if (s >= 1 && s <= S) stats[kSurfaceStorage].writer->AddCell(r, c, s, surfacestorage[r][c], 1);
    }
}

void surfaceroutingclass::HandOverSubbasin(int s, int part) {
  // Part 0: the storage statistic; 1: the direct-flow records; 2: the
  // interflow records. The three take the cells of s in the same order and
  // share no record, so they run side by side.
  if (part == 0) {
    // The sums of a row stay in registers: the records of the subbasins lie
    // side by side, and the threads of the other subbasins write theirs.
    std::optional<zonalstatistic::RowSums> sums;
    int row = -1;
    for (const auto& [r, c] : subbasincells[s]) {
      if (r != row) {
        sums.reset();
        sums.emplace(*stats[kSurfaceStorage].writer, r);
        row = r;
      }
      sums->Add(c, s, surfacestorage[r][c], 1);
    }
    return;
  }
  for (const auto& [r, c] : subbasincells[s]) {
    // Cells without a zone (negative or missing flow time) have no record.
    const int z = flowtimes ? (flowtimes[r][c] > kNodata ? static_cast<int>(std::floor(flowtimes[r][c])) : -1) : 1;
    if (z < 0 || z >= static_cast<int>(queueQD[0][s].size())) continue;
    const double w = (relcellarea && relcellarea[r] && relcellarea[r][c] > kNodata) ? relcellarea[r][c] : 1.0;
    // Each sub-step adds the cell's weight to the divisor, so a step adds it
    // substeps times: the sub-step's water counts substeps times as well,
    // and the mean of zone 1 is the sum of the sub-steps' runoff.
    // The tracer records are weighted by the water they come with, so that
    // their sum over the weight is the concentration of the runoff.
    auto book = [&](std::vector<std::vector<std::vector<ZoneRecord>>>& queue, double water, auto concentration) {
      ZoneRecord& d = queue[0][s][z];
      d.n += 1;
      ExactRecord& x = (&queue == &queueQD ? exactQueueQD : exactQueueQI)[s][z];
      x.water.Add(water);
      x.weight.Add(w);
      for (int k = 1; k <= tracercount; ++k) {
        ZoneRecord& t = queue[k][s][z];
        t.n += 1;
        t.RelCellSum += water;
        t.sx += water * concentration(k);
      }
    };
    if (part == 1) {
      const bool river = River(r, c);
      book(queueQD, river ? substeps * directflow[r][c] * w : 0.0,
           [&](int k) { return river ? tracerlinks[k].concQD[r][c] : 0.0; });
    } else {
      book(queueQI, substeps * (interflow[r][c] > kNodata ? interflow[r][c] : 0.0) * w,
           [&](int k) { return tracerlinks[k].concQI[r][c]; });
    }
  }
}

// ------------------------------------------------------------ flow paths

void surfaceroutingclass::HeadGradients(int row, int col, double& slope, double& aspect, int& kind) {
  if (memo)
    if (const int i = OwnSlot(row, col); i >= 0) {
      slope = dirslope[i];
      aspect = diraspect[i];
      kind = dirgradient[i];
      return;
    }
  Grid head = own[kHead].grid;
  slope = 0;
  aspect = 0;
  kind = 0;
  if (River(row, col)) {
    kind = 1;
    return;
  }
  const bool withHead = method >= 3;
  const double H = elevation[row][col] + (withHead ? head[row][col] : 0.0);
  auto inModel = [&](int r, int c) { return DataCell(r, c) && zonegrid[r][c] > 0; };
  auto level = [&](int r, int c) { return elevation[r][c] + (withHead && zonegrid[r][c] > 0 ? head[r][c] : 0.0); };
  bool interior = row > 1 && col > 1 && row < nrows && col < ncols;
  for (int k = 1; k <= 8 && interior; ++k) interior = inModel(row + kDr[k], col + kDc[k]);
  kind = interior ? 2 : 3;
  double g[9];
  double best = -1e300;
  int kbest = 0, ties = 0;
  for (int k = 1; k <= 8; ++k) {
    const int r = row + kDr[k], c = col + kDc[k];
    const double d = (k % 2 == 1) ? cellsize : cellsize * 1.414;
    g[k] = inModel(r, c) ? (H - level(r, c)) / d : -9999.0;
    if (g[k] > best) {
      best = g[k];
      kbest = k;
      ties = 1;
    } else if (g[k] == best) {
      ++ties;
    }
  }
  slope = best;
  aspect = (kbest - 1) * 45.0;
  if (ties < 2) return;
  // Central differences; a missing side neighbour is mirrored through the cell.
  auto side = [&](int k) {
    const int r = row + kDr[k], c = col + kDc[k];
    if (inModel(r, c)) return level(r, c);
    const int o = (k + 3) % 8 + 1;
    const int ro = row + kDr[o], co = col + kDc[o];
    return inModel(ro, co) ? 2 * H - elevation[ro][co] : H;
  };
  const double gx = (side(3) - side(7)) / (2 * cellsize);
  const double gy = (side(1) - side(5)) / (2 * cellsize);
  if (kind == 3) {
    if (gx == 0 && gy == 0) {
      slope = 0;
      aspect = 0;
      return;
    }
    slope = std::atan(std::sqrt(gx * gx + gy * gy)) * kDegrees;
  }
  if (gx == 0)
    aspect = gy > 0 ? 180.0 : 0.0;
  else
    aspect = (gx / std::fabs(gx)) * 90 + 180 - std::atan(gy / gx) * kDegrees;
}

void surfaceroutingclass::FlowDirections(int row, int col, int& kind, int counter, double slope, double aspect) {
  if (kind == 1) return;
  if (memo) {
    // The weights found for the same gradients of the same terrain.
    const int i = OwnSlot(row, col);
    if (i >= 0 && kind == dirgradient[i] && slope == dirslope[i] && aspect == diraspect[i]) {
      kind = dirkind[i];
      StoreDirections(row, col, &dirweights[8 * static_cast<size_t>(i)], dirmain[i], counter);
      return;
    }
  }
  double w[8];
  const int main = DirectionWeights(row, col, kind, slope, aspect, w);
  StoreDirections(row, col, w, main, counter);
}

int surfaceroutingclass::DirectionWeights(int row, int col, int& kind, double slope, double aspect, double* w) const {
  Grid head = own[kHead].grid;
  double W[9] = {};
  const bool withHead = method >= 3;
  const double H = elevation[row][col] + (withHead ? head[row][col] : 0.0);
  auto drop = [&](int k) {
    const int r = row + kDr[k], c = col + kDc[k];
    return H - elevation[r][c] - (withHead ? head[r][c] : 0.0);
  };
  const bool split = method == 1 || method == 3;
  int main = 0;
  bool gradient = !(slope != 0 && kind == 2);
  if (!gradient) {
    if (aspect > 337.5) aspect -= 360;
    int k = static_cast<int>(std::floor((aspect + 22.5) / 45)) + 1;
    if (k > 8) k -= 8;  // an aspect of exactly 337.5 degrees
    main = k;
    W[k] = 1;
    if (split) {
      const double d = aspect - (k - 1) * 45.0;
      const double e = 45 - std::fabs(d);
      const double dr = d * 0.017453, er = e * 0.017453;
      // The larger side share (cos e, as e <= 45 degrees) goes to the
      // neighbour the aspect leans towards: k + 1 (clockwise) for d > 0.
      double share = std::cos(dr);
      double before = std::fabs((d > 0 ? std::sin(er) : std::cos(er)) * std::cos(dr));  // direction k - 1
      double after = std::fabs((d > 0 ? std::cos(er) : std::sin(er)) * std::cos(dr));   // direction k + 1
      if (share < 0.0001) share = 0;
      if (before < 0.0001) before = 0;
      if (after < 0.0001) after = 0;
      const double sum = share + before + after;
      W[k] = share / sum;
      Grid curvature = own[kPlanCurvature].grid;
      if (!(curvature[row][col] > 0)) {
        W[(k + 6) % 8 + 1] = before / sum;
        W[k % 8 + 1] = after / sum;
      }
    }
    double sum = 0;
    for (int j = 1; j <= 8; ++j) {
      if (W[j] > 0 && drop(j) < 0) W[j] = 0;
      sum += W[j];
    }
    if (sum > 0) {
      for (int j = 1; j <= 8; ++j) W[j] /= sum;
    } else {
      kind = 3;
      gradient = true;
    }
  }
  if (gradient) {
    double sum = 0;
    for (int k = 1; k <= 8; ++k) {
      W[k] = 0;
      if (!DataCell(row + kDr[k], col + kDc[k])) continue;
      const double d = drop(k);
      if (d > 0.00001) W[k] = (k % 2 == 1) ? d : d / 1.4142135;
      sum += W[k];
    }
    main = 0;
    double best = 0;
    for (int k = 1; k <= 8; ++k)
      if (W[k] > best) {
        best = W[k];
        main = k;
      }
    if (split) {
      if (sum > 0)
        for (int k = 1; k <= 8; ++k) W[k] /= sum;
    } else {
      for (int k = 1; k <= 8; ++k) W[k] = k == main ? 1.0 : 0.0;
    }
  }
  for (int k = 1; k <= 8; ++k) w[k - 1] = W[k];
  return main;
}

void surfaceroutingclass::StoreDirections(int row, int col, const double* w, int main, int counter) {
  double* W = own[kWeights].stack[row][col];
  double* V = own[kVelocity].stack[row][col];
  int same = 0;
  for (int k = 1; k <= 8; ++k) {
    if (std::fabs(w[k - 1] - W[k]) <= 0.01) ++same;
    StoreIfChanged(W[k], w[k - 1]);
  }
  StoreIfChanged(V[0], main);
  StoreIfChanged(V[9], surfacestorage[row][col] / 1000 + elevation[row][col]);
  StoreIfChanged(W[0], counter > 0 ? same : 0);
}

void surfaceroutingclass::BuildTerrainData() {
  const int S = zonecount;
  subbasincells.assign(static_cast<size_t>(std::max(0, S)) + 1, {});
  for (int r = firstrow; r <= lastrow; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
      const int s = SubbasinOf(zonegrid[r][owncells[i]]);
      if (s >= 1 && s <= S) subbasincells[s].push_back({r, owncells[i]});
    }
  riverrowstart.assign(ownrowstart.size(), 0);
  rivercells.clear();
  for (int r = firstrow; r <= lastrow; ++r) {
    riverrowstart[r - firstrow] = static_cast<int>(rivercells.size());
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i)
      if (River(r, owncells[i])) rivercells.push_back(owncells[i]);
  }
  if (lastrow >= firstrow) riverrowstart[lastrow - firstrow + 1] = static_cast<int>(rivercells.size());
  inflowmask.assign(owncells.size(), 0);
  for (int r = firstrow; r <= lastrow; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i)
      inflowmask[i] = static_cast<unsigned char>(InflowNeighbours(r, owncells[i]));
  CopyTerrain(false);
  if (method < 3) BuildDirections();
  terrainready = true;
}

void surfaceroutingclass::BuildDirections() {
  const size_t cells = owncells.size();
  dirgradient.assign(cells, 0);
  dirslope.assign(cells, 0.0);
  diraspect.assign(cells, 0.0);
  dirkind.assign(cells, 0);
  dirmain.assign(cells, 0);
  dirweights.assign(8 * cells, 0.0);
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    recorded.Run([&] {
      for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
        double slope = 0, aspect = 0;
        int kind = 0;
        HeadGradients(r, owncells[i], slope, aspect, kind);
        dirgradient[i] = static_cast<signed char>(kind);
        dirslope[i] = slope;
        diraspect[i] = aspect;
        if (kind != 1)
          dirmain[i] = static_cast<signed char>(
              DirectionWeights(r, owncells[i], kind, slope, aspect, &dirweights[8 * static_cast<size_t>(i)]));
        dirkind[i] = static_cast<signed char>(kind);
      }
    });
  }
  recorded.ThrowAndClear();
}

bool surfaceroutingclass::CopyTerrain(bool compare) {
  // Zones and elevation are read on the own rows and their neighbour rows,
  // the river cells and the plan curvature on the own cells only.
  std::vector<const double*> rows;
  const int lo = std::max(1, firstrow - 1), hi = std::min(nrows, lastrow + 1);
  for (int r = lo; r <= hi; ++r) {
    rows.push_back(zonegrid ? zonegrid[r] : nullptr);
    rows.push_back(elevation[r]);
    if (r < firstrow || r > lastrow) continue;
    rows.push_back(riverdepth[r]);
    rows.push_back(riverwidth[r]);
    rows.push_back(own[kPlanCurvature].grid[r]);
  }
  const size_t width = static_cast<size_t>(ncols);
  std::vector<char> held(rows.size());
  std::vector<size_t> offset(rows.size() + 1, 0);
  for (size_t i = 0; i < rows.size(); ++i) {
    held[i] = rows[i] != nullptr;
    offset[i + 1] = offset[i] + (held[i] ? width : 0);
  }
  const size_t values = offset[rows.size()];
  const int64_t count = static_cast<int64_t>(rows.size());
  bool same = compare && held == terrainrows && values == terraincopy.size();
  if (same) {
    // Bit by bit: a value that changed in any way counts.
#pragma omp parallel for schedule(static) reduction(&& : same)
    for (int64_t i = 0; i < count; ++i)
      if (rows[i]) same = same && std::memcmp(rows[i] + 1, &terraincopy[offset[i]], width * sizeof(double)) == 0;
  }
  if (same) return false;
  terrainrows = held;
  terraincopy.resize(values);
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < count; ++i)
    if (rows[i]) std::memcpy(&terraincopy[offset[i]], rows[i] + 1, width * sizeof(double));
  return true;
}

double surfaceroutingclass::CellStableStep(int r, int c) const {
  // Under Manning-Strickler a change of depth travels at 5/3 of the
  // water's velocity (the kinematic wave's celerity): the stable step lets
  // it cross one cell at most. (At the water's velocity alone the sub-time-
  // steps overshoot and swing on steep land.)
  const double* W = own[kWeights].stack[r][c];
  const double* V = own[kVelocity].stack[r][c];
  double best = 1e36;
  for (int k = 1; k <= 8; ++k) {
    const double v = V[k];
    if (method == 6) {
      if (v != 0) best = std::min(best, std::fabs(kCelerityShare * cellsize / v));
    } else if (W[k] > 0.0001 && v > 0.00001) {
      best = std::min(best, kCelerityShare * cellsize / v);
    }
  }
  return best;
}

double surfaceroutingclass::GetStableTimeStep() {
  PrepareCells();
  double best = 1e36;
#pragma omp parallel for schedule(runtime) reduction(min : best)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i)
      best = std::min(best, CellStableStep(r, owncells[i]));
  return best;
}
