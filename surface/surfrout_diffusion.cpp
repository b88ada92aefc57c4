// Flowpath method 6: implicit diffusion of the water level over the four
// faces of each cell. "SurfaceRoutingHead" holds the level (elevation plus
// depth, m), "SurfaceRoutingHeadOld" the level at the start of the
// sub-time-step. River cells are held at their elevation and collect what
// their land neighbours send them.
//
// The sweeps are red-black Gauss-Seidel sweeps: first the cells whose row
// plus column is even, then (after a border exchange) the odd ones. A cell's
// four face neighbours have the other colour, so no thread reads a level that
// another writes, and the result does not depend on threads or instances.
// The sweeps only find the levels from which the face fluxes are taken: the storages are then moved by those fluxes (a
// finite-volume update, what one cell sends the other receives), so stopping the sweeps early can neither create nor
// lose water.
//
// A river cell books what its land neighbours send it in the sub-time-step
// directly into "directflow" (mm over the river cell), with the same sub time
// step as the senders lose it. This is the subbasin's storage loss shared
// among its river cells by their inflow, without losing or doubling the
// water that crosses a subbasin border, and a river cell without inflow
// receives nothing.
//
// Face fluxes [m3/s] are positive towards the south (levels 1 north face and
// 5 south face) and towards the east (levels 3 east face and 7 west face).
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "framework/mpirunning.h"
#include "surface/surfrout.h"

bool surfaceroutingclass::FaceNeighbour(int r, int c, int rn, int cn) const {
  if (!DataCell(rn, cn)) return false;
  // Flow control 3 keeps the water within each subbasin.
  return flowcontrol != 3 || zonegrid[rn][cn] == zonegrid[r][c];
}

double surfaceroutingclass::EffectiveLevel(int r, int c, int rn, int cn) const {
  // A missing neighbour has the cell's level (no flow across the face); a
  // river cell is held at its bottom.
  if (!FaceNeighbour(r, c, rn, cn)) return own[kHead].grid[r][c];
  if (River(rn, cn)) return elevation[rn][cn];
  return own[kHead].grid[rn][cn];
}

double surfaceroutingclass::FaceDepth(int r, int c, int rn, int cn) const {
  // The water above the higher of the two bottoms, under the higher level.
  const double Hc = River(r, c) ? elevation[r][c] : own[kHead].grid[r][c];
  const double depth = std::max(Hc, EffectiveLevel(r, c, rn, cn)) - std::max(elevation[r][c], elevation[rn][cn]);
  return depth > 0 ? depth : 0.0;
}

double surfaceroutingclass::FaceTransmissivity(int r, int c, int rn, int cn, double distance) const {
  // Diffusion wave: Manning-Strickler per metre of face, q = M d^(5/3)
  // sqrt(S), with S the slope of the water levels between the two cells,
  // written as q = T S for the level equation, T = M d^(5/3) / sqrt(S).
  // The roughness is that of the cell the water comes from. Below a
  // slope of kFlatSlope T stays at its value there, so that the levels of
  // still water find each other in a finite number of sweeps.
  if (!FaceNeighbour(r, c, rn, cn)) return 0.0;
  const double d = FaceDepth(r, c, rn, cn);
  if (!(d > 0)) return 0.0;
  const double Hc = River(r, c) ? elevation[r][c] : own[kHead].grid[r][c];
  const double Hn = EffectiveLevel(r, c, rn, cn);
  Grid manning = own[kManning].grid;
  const double M = Hc >= Hn ? manning[r][c] : manning[rn][cn];
  if (!(M > 0)) return 0.0;
  const double S = std::max(std::fabs(Hc - Hn) / distance, kFlatSlope);
  return M * std::pow(d, 5.0 / 3.0) / std::sqrt(S);
}

void surfaceroutingclass::InitConductances() {
  PrepareCells();
#pragma omp parallel
  Conductances();
}

void surfaceroutingclass::Conductances() {
  Grid kx = own[kRoughnessX].grid;
  Grid ky = own[kRoughnessY].grid;
  int first = 0, last = 0;
  ThreadRows(first, last);
  for (int r = first; r < last; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
      const int c = owncells[i];
      kx[r][c] = FaceTransmissivity(r, c, r, c + 1, 0.5 * (CellDx(r, c) + (c < ncols ? CellDx(r, c + 1) : 0.0)));
      ky[r][c] = FaceTransmissivity(r, c, r + 1, c, 0.5 * (CellDy(r, c) + (r < nrows ? CellDy(r + 1, c) : 0.0)));
    }
}

double surfaceroutingclass::RelaxLevel(int r, int c, double dt) {
  Grid head = own[kHead].grid;
  Grid old = own[kHeadOld].grid;
  Grid kx = own[kRoughnessX].grid;
  Grid ky = own[kRoughnessY].grid;
  if (riverdepth[r][c] > 0 && riverwidth[r][c] > 0) {
    head[r][c] = old[r][c] = elevation[r][c];
    return 0;
  }
  const double dx = CellDx(r, c), dy = CellDy(r, c);
  // Face coefficients north, east, south, west; a face outside the grid has none.
  const double K[4] = {r > 1 ? dx / dy * ky[r - 1][c] : 0.0, dy / dx * kx[r][c], dx / dy * ky[r][c],
                       c > 1 ? dy / dx * kx[r][c - 1] : 0.0};
  const int rn[4] = {r - 1, r, r + 1, r};
  const int cn[4] = {c, c + 1, c, c - 1};
  const double storage = dx * dy / dt;
  double num = storage * old[r][c], den = storage;
  for (int f = 0; f < 4; ++f) {
    if (K[f] == 0) continue;
    num += K[f] * EffectiveLevel(r, c, rn[f], cn[f]);
    den += K[f];
  }
  const double H = num / den;
  const double change = std::fabs(H - head[r][c]);
  head[r][c] = H;
  return change;
}

double surfaceroutingclass::IterateLevels(double dt) {
  // Every thread relaxes the cells of the same rows in every sweep, both
  // colours in one pass over its rows: the even cells of row r + 1, then the
  // odd cells of row r. An even cell so still finds the odd neighbours of
  // the last sweep (rows r to r + 2 are not yet relaxed), an odd cell the
  // even neighbours of this sweep (rows r - 1 to r + 1 are): the levels of
  // two passes, one colour after the other. The even cells of a thread's
  // first and last row, which the neighbouring threads read, are relaxed
  // before, and the threads meet at a barrier. With other instances the
  // colours take a pass each, and between them the border cells go to the
  // other instances, sent by the calling thread (MPI is used from that
  // thread only).
  PrepareCells();
  const bool exchanging = Exchanging();
  double largest = 0;
#pragma omp parallel reduction(max : largest)
  {
    int first = 0, last = 0;
    ThreadRows(first, last);
    auto relax = [&](int colour, int r) {
      const std::vector<int>& cells = colourcells[colour];
      const std::vector<int>& start = colourrowstart[colour];
      for (int i = start[r - firstrow]; i < start[r - firstrow + 1]; ++i)
        largest = std::max(largest, RelaxLevel(r, cells[i], dt));
    };
    if (exchanging) {
      // The cells sent to the other instances need not lie in the first and
      // last rows: one colour after the other.
      for (int r = first; r < last; ++r) relax(0, r);
#pragma omp barrier
      ExchangeInRegion(exchanging, [&] { MPIExchangeBorders(own[kHead].position); });
      if (!recorded.Failed())
        for (int r = first; r < last; ++r) relax(1, r);
    } else {
      if (first < last) relax(0, first);
      if (last - 1 > first) relax(0, last - 1);
#pragma omp barrier
      for (int r = first; r < last; ++r) {
        if (r + 1 < last - 1) relax(0, r + 1);
        relax(1, r);
      }
    }
  }
  recorded.ThrowAndClear();
  return largest;
}

void surfaceroutingclass::ComputeFaceFluxes() {
  PrepareCells();
  const bool exchanging = Exchanging();
  const double dt = limitdt;
#pragma omp parallel
  {
    LandFluxes(dt);
#pragma omp barrier
    ExchangeInRegion(exchanging, [&] {
      MPIExchangeBorders2(own[kFluxes].position, 0);
      MPIExchangeBorders2(own[kVelocity].position, 0);
    });
    RiverFluxes(dt);
  }
  recorded.ThrowAndClear();
  limited = dt > 0;
}

void surfaceroutingclass::LandFluxes(double dt) {
  Grid head = own[kHead].grid;
  Grid kx = own[kRoughnessX].grid;
  Grid ky = own[kRoughnessY].grid;
  Stack F = own[kFluxes].stack;
  Stack V = own[kVelocity].stack;
  int first = 0, last = 0;
  ThreadRows(first, last);
  for (int r = first; r < last; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
      const int c = owncells[i];
      double* f = F[r][c];
      double* v = V[r][c];
      for (int k = 0; k <= 9; ++k) f[k] = v[k] = 0;
      if (River(r, c)) continue;
      LandCellFluxes(r, c, head, kx, ky, f, v);
      // A land cell's outflow limit depends on its own values only.
      if (dt > 0) LimitOutflow(r, c, dt);
    }
}

void surfaceroutingclass::LandCellFluxes(int r, int c, Grid head, Grid kx, Grid ky, double* f, double* v) {
  const double dx = CellDx(r, c), dy = CellDy(r, c);
  const double Hc = head[r][c];
  const int rn[4] = {r - 1, r, r + 1, r};
  const int cn[4] = {c, c + 1, c, c - 1};
  const int level[4] = {1, 3, 5, 7};
  const double K[4] = {r > 1 ? dx / dy * ky[r - 1][c] : 0.0, dy / dx * kx[r][c], dx / dy * ky[r][c],
                       c > 1 ? dy / dx * kx[r][c - 1] : 0.0};
  const double width[4] = {dx, dy, dx, dy};
  for (int j = 0; j < 4; ++j) {
    if (K[j] == 0 || !FaceNeighbour(r, c, rn[j], cn[j])) continue;
    // The volume flux of the level equation, K (H' - H), out of the cell.
    const double out = K[j] * (Hc - EffectiveLevel(r, c, rn[j], cn[j]));
    const double value = (j == 0 || j == 3) ? -out : out;
    // The velocity of the water over the face, at its depth there.
    const double depth = FaceDepth(r, c, rn[j], cn[j]);
    f[level[j]] = value;
    v[level[j]] = depth > 0 ? value / (depth * width[j]) : 0.0;
  }
  f[0] = std::hypot((std::fabs(f[1]) + std::fabs(f[5])) / 2, (std::fabs(f[3]) + std::fabs(f[7])) / 2);
  v[0] = std::hypot((std::fabs(v[1]) + std::fabs(v[5])) / 2, (std::fabs(v[3]) + std::fabs(v[7])) / 2);
}

void surfaceroutingclass::RiverFluxes(double dt) {
  Stack F = own[kFluxes].stack;
  Stack V = own[kVelocity].stack;
  // River cells take the values their land neighbours hold for the face
  // towards them (a river neighbour sends nothing); then, with dt > 0, the
  // limit of their outflow.
  int first = 0, last = 0;
  ThreadRows(first, last);
  for (int r = first; r < last; ++r)
    for (int i = riverrowstart[r - firstrow]; i < riverrowstart[r - firstrow + 1]; ++i) {
      const int c = rivercells[i];
      RiverCellFluxes(r, c, F, V);
      if (dt > 0) LimitOutflow(r, c, dt);
    }
}

void surfaceroutingclass::RiverCellFluxes(int r, int c, Stack F, Stack V) {
  double* f = F[r][c];
  double* v = V[r][c];
  const int rn[4] = {r - 1, r, r + 1, r};
  const int cn[4] = {c, c + 1, c, c - 1};
  const int level[4] = {1, 3, 5, 7};
  const int facing[4] = {5, 7, 1, 3};
  for (int j = 0; j < 4; ++j) {
    const int a = rn[j], b = cn[j];
    const bool sender = FaceNeighbour(r, c, a, b) && !River(a, b);
    const double q = sender ? F[a][b][facing[j]] : 0.0;
    f[level[j]] = q > kNodata ? q : 0.0;
    v[level[j]] = sender ? V[a][b][facing[j]] : 0.0;
  }
  f[0] = std::hypot(std::fabs(f[1]) + std::fabs(f[5]), std::fabs(f[3]) + std::fabs(f[7]));
  v[0] = std::hypot(std::fabs(v[1]) + std::fabs(v[5]), std::fabs(v[3]) + std::fabs(v[7]));
}

void surfaceroutingclass::UpdateLevels(double dt) {
  Grid head = own[kHead].grid;
  Grid old = own[kHeadOld].grid;
  Stack F = own[kFluxes].stack;
  // Each face moves what its sender releases: the sender's face value times
  // its released share; the receiver reads the sender's value, never its own.
  auto inward = [&](int r, int c, int j) {
    const int rn[4] = {r - 1, r, r + 1, r};
    const int cn[4] = {c, c + 1, c, c - 1};
    const int facing[4] = {5, 7, 1, 3};
    const int a = rn[j], b = cn[j];
    if (!FaceNeighbour(r, c, a, b) || River(a, b)) return 0.0;
    const double q = F[a][b][facing[j]];
    // The neighbour's south and east faces send with positive values, its north and west faces with negative ones.
    const double in = (j == 0 || j == 3) ? q : -q;
    return in > 0 ? in * outfactor[a][b] : 0.0;
  };
  int first = 0, last = 0;
  ThreadRows(first, last);
  // Tracers arrive with the concentration of their sender: every cell's
  // inflowing load (mm x concentration) first, from the concentrations of
  // the sub-step's start, into concQD (a river cell's load of the step, a
  // land cell's of the sub-step).
  for (int k = 1; k <= tracercount; ++k) {
    Grid conc = tracerlinks[k].storage.grid;
    for (int r = first; r < last; ++r)
      for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
        const int c = owncells[i];
        const int rn[4] = {r - 1, r, r + 1, r};
        const int cn[4] = {c, c + 1, c, c - 1};
        double mass = 0;
        for (int j = 0; j < 4; ++j)
          if (const double q = inward(r, c, j); q > 0) mass += q * conc[rn[j]][cn[j]];
        tracerlinks[k].concQD[r][c] += mass * dt / (CellDx(r, c) * CellDy(r, c)) * 1000;
      }
  }
  if (tracercount > 0) {
#pragma omp barrier
  }
  for (int r = first; r < last; ++r)
    for (int i = ownrowstart[r - firstrow]; i < ownrowstart[r - firstrow + 1]; ++i) {
      const int c = owncells[i];
      const double area = CellDx(r, c) * CellDy(r, c);
      double in = 0;
      for (int j = 0; j < 4; ++j) in += inward(r, c, j);
      if (River(r, c)) {
        directflow[r][c] += in * dt / area * 1000;
        head[r][c] = old[r][c] = elevation[r][c];
        surfacestorage[r][c] = 0;
        continue;
      }
      const double* f = F[r][c];
      const double out =
          (std::max(0.0, -f[1]) + std::max(0.0, f[3]) + std::max(0.0, f[5]) + std::max(0.0, -f[7])) * outfactor[r][c];
      const double before = (old[r][c] - elevation[r][c]) * 1000;
      double depth = (old[r][c] - elevation[r][c]) + (in - out) * dt / area;
      if (depth < 0) depth = 0;  // rounding only: the outflow was cut to the storage
      // A land cell keeps what it did not send at its concentration and
      // mixes in what it received.
      const double kept = std::max(0.0, before - out * dt / area * 1000);
      for (int k = 1; k <= tracercount; ++k) {
        double& conc = tracerlinks[k].storage.grid[r][c];
        double& load = tracerlinks[k].concQD[r][c];
        conc = depth > 0 ? (conc * kept + load) / (depth * 1000) : 0.0;
        load = 0;
      }
      directflow[r][c] = 0;
      head[r][c] = old[r][c] = elevation[r][c] + depth;
      surfacestorage[r][c] = depth * 1000;
    }
}
