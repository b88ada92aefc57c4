// The groundwater step: leakage between layers, step start, transmissivities,
// the over-relaxation and line solvers, face flows, baseflow and balances.
//
// Sign conventions: leakage grid l holds the flow from layer l+1 into layer l
// (m/s); face flows are positive from column j to j+1 and from row i to i+1;
// face volumes in the balance are positive into the cell.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "framework/diagstream.h"
#include "framework/firsterror.h"
#include "framework/zonalstatistic.h"
#include "soil/gwflow.h"

namespace {
// A head this far above the top of its layer counts as confined (m).
constexpr double kConfinedMargin = 0.01;
// A saturated thickness (m) at most this is a dry cell's for the
// transmissivity: well above the solvers' tolerance, so that a cell the solve
// leaves at its base, or within the tolerance of it, is dry to the rule that
// lends it a wetter neighbour's.
constexpr double kDryThickness = 0.01;
// Leakage is driven by at most this head difference (m).
constexpr double kMaxLeakHead = 1.0;
// Most passes over the layers that settle the leakage between them.
constexpr int kMaxLeakPasses = 50;

double GlobalMax(double local, int size) {
  if (size <= 1) return local;
  double global = local;
  MPI_Allreduce(&local, &global, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  return global;
}
}  // namespace

// ---------------------------------------------------------------- storage

double gwflowclass::HeadOf(int l, int r, int c, double w) const {
  const CellStorage s = StorageOf(l, r, c);
  if (w >= 0) return s.confined > 0 ? s.top + w / s.confined : s.top;
  if (!(s.drainable > 0)) return s.top;
  return std::max(s.base, s.top + w / s.drainable);
}

bool gwflowclass::SolveLeaking(int l, int r, int c, double a, double b, double k, double A, const double coef[2],
                               const double level[2], double h0, double& h) const {
  // Each leakage drives at most kMaxLeakHead: A coef clamp(level - h, -1, 1)
  // flows in. The sum with the storage rises with h, so one combination of
  // the parts (the drive clamped below, free, clamped above) holds the root
  // within its range; the one of h0 is tried first.
  int first[2] = {1, 1};
  for (int i = 0; i < 2; ++i)
    if (coef[i] > 0) first[i] = h0 >= level[i] + kMaxLeakHead ? 0 : h0 <= level[i] - kMaxLeakHead ? 2 : 1;
  bool found = false;
  for (int n = 0; n < 9; ++n) {
    const int part[2] = {(first[0] + n / 3) % 3, (first[1] + n % 3) % 3};
    double bb = b, kk = k;
    bool valid = true;
    for (int i = 0; i < 2; ++i) {
      if (!(coef[i] > 0)) {
        valid = valid && part[i] == first[i];
        continue;
      }
      const double q = A * coef[i];
      if (part[i] == 0) {
        kk -= q * kMaxLeakHead;
      } else if (part[i] == 2) {
        kk += q * kMaxLeakHead;
      } else {
        bb += q;
        kk += q * level[i];
      }
    }
    double x = 0;
    if (!valid || !SolveStorage(l, r, c, a, bb, kk, x)) continue;
    if (!found) h = x;  // (rounding at a part's end: the first part's root)
    found = true;
    bool inside = true;
    for (int i = 0; i < 2; ++i) {
      if (!(coef[i] > 0)) continue;
      const double lo = part[i] == 0 ? level[i] + kMaxLeakHead : part[i] == 2 ? -HUGE_VAL : level[i] - kMaxLeakHead;
      const double hi = part[i] == 0 ? HUGE_VAL : part[i] == 2 ? level[i] - kMaxLeakHead : level[i] + kMaxLeakHead;
      inside = inside && x >= lo && x <= hi;
    }
    if (inside) {
      h = x;
      return true;
    }
  }
  return found;
}

double gwflowclass::StepSeconds() const {
  return 60.0 * timeinterval / std::max(1, substeps);
}

bool gwflowclass::ReportDue() const {
  if (omp_in_parallel()) return false;
  const int interval = std::max(1, reportinterval);
  return interval == 1 || (static_cast<int64_t>(mintointendhours) + StepDate().hour) % interval == 0;
}

void gwflowclass::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  (void)day;
  (void)month;
  (void)year;
  if (flowcontrol == 0) return;
  const double dt = StepSeconds();
  substep_of_step = substep_of_step % std::max(1, substeps) + 1;
  // A statistic counts steps: the first sub-step begins one, each sub-step
  // gives the concentrations at its end (those of the step's last remain).
  const int zones = zonerecords ? std::max(0, zonecount) : 0;
  for (size_t t = 1; t < layertracers.size(); ++t)
    for (int l = 1; l <= L; ++l) {
      LayerTracer& lt = layertracers[t][l];
      if (!lt.statistic) continue;
      if (substep_of_step == 1) lt.statistic->NewStep();
      for (int k = 0; k <= zones && lt.records; ++k) lt.records[k].n = lt.records[k].sx = lt.records[k].RelCellSum = 0;
    }

  Leakage();
  StartLayers();
  Exchange(thawdepth, pthaw);
  Exchange(frozen, pfrozen);
  if (ponduse == 1) Exchange(ponding, pponding);
  Exchange(distance, pdistance);
  for (int l = 1; l <= L; ++l) Transmissivities(l);

  // From the bottom layer up, in passes: where the leakage between two
  // layers moves with both levels, each layer's solve takes it at its own
  // new level against the other layer's latest (the layer below's solved in
  // this pass, the layer above's of the pass before, at the first pass its
  // level at the step's start). The passes repeat until the levels the
  // lower layers took move by at most maxerror_allowed, so that the
  // leakage is implicit in both layers: it never drives their heads past
  // each other, whatever the step length. It is then booked at the levels
  // of the last pass.
  std::vector<int> steps(static_cast<size_t>(L) + 1, 0);
  std::vector<double> errors(static_cast<size_t>(L) + 1, 0.0), factors(2 * (static_cast<size_t>(L) + 1), 0.0);
  for (int pass = 1;; ++pass) {
    for (int l = L; l >= 1; --l) {
      Layer& y = layers[l];
      for (int p : {y.ptx, y.pty, y.pfx, y.pfy}) Exchange(gridlist[p].grid, p);
      itercount = 0;
      factorsum = factorcount = 0;
      double error = 0;
      if (method == 1) {
        error = SolveMethod1(l, dt);
      } else if (method == 2) {
        for (int p : {y.ph, y.phold, y.phprev}) Exchange(gridlist[p].grid, p);
        error = SolveMethod2(l, dt);
      }
      const size_t at = static_cast<size_t>(l);
      steps[at] += itercount;
      errors[at] = error;
      factors[2 * at] += factorsum;
      factors[2 * at + 1] += factorcount;
    }
    if (L < 2 || pass >= kMaxLeakPasses || !(LeakLevelsMove() > maxerror_allowed)) break;
  }
  for (int l = L; l >= 1; --l) {
    const size_t at = static_cast<size_t>(l);
    itercount = steps[at];
    lasterror = errors[at];
    factorsum = factors[2 * at];
    factorcount = factors[2 * at + 1];
    ImplicitLeakage(l, dt);
    CountOscillations(l);
    ReportLayer(l);
  }

  // The old levels too: the fixed heads set them in the solve, and the face
  // flows of the baseflow and the balances weigh them.
  for (int l = 1; l <= L; ++l) {
    Exchange(layers[l].h, layers[l].ph);
    Exchange(layers[l].hold, layers[l].phold);
  }
  for (int l = 1; l <= L; ++l) FinishLayers(l);
  for (int l = 1; l <= L; ++l) {
    Exchange(layers[l].h, layers[l].ph);
    Exchange(layers[l].fx, layers[l].pfx);
    Exchange(layers[l].fy, layers[l].pfy);
  }
  Baseflow(dt);
  for (size_t t = 1; t < layertracers.size(); ++t)
    for (int l = 1; l <= L; ++l) Exchange(layertracers[t][l].conc, layertracers[t][l].position);
  // Layer 2's outflows are limited before layer 1 is balanced: the water it
  // cannot return to the soil column stays there, with its tracer.
  if (L > 1) LimitOutflows(2, dt);
  if (layertracers.size() > 1) LayerOneOutflow(dt);
  for (int l = 3; l <= L; ++l) LimitOutflows(l, dt);
  // The deeper layers' tracers move with the water of the step (layer 1
  // takes what they give at their new concentrations), which take the
  // place of the old ones once all layers are balanced.
  if (layertracers.size() > 1) DeepTracers(dt);
  for (int l = 1; l <= L; ++l) Balances(l, dt);
  for (int l = 1; l <= L; ++l) {
    Layer& y = layers[l];
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!Own(r, c) && InModel(r, c)) continue;
        if (!InModel(r, c)) {
          y.h[r][c] = nodata;
          for (size_t t = 1; t < layertracers.size(); ++t) layertracers[t][l].conc[r][c] = nodata;
        } else if (l > 1 && Glacier(r, c) < 1.0) {
          for (size_t t = 1; t < layertracers.size(); ++t)
            layertracers[t][l].conc[r][c] = newconc[t][static_cast<size_t>(l)][r][c];
        }
      }
  }
  RecordControlPoint();
}

void gwflowclass::Leakage() {
  // A step's leakage takes no more water than the layer it leaves holds:
  // a deeper layer what lies above its base, layer 1 what the soil column
  // can give in the next step (less what layer 1 leaked in the step's
  // earlier sub-steps). A fixed head gives whatever it is asked.
  const double dt = StepSeconds();
  const size_t width = static_cast<size_t>(ncols) + 1;
  const size_t cells = static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * width;
  if (L > 1 && leaksum.size() != cells) leaksum.assign(cells, 0.0);
  if (L > 1 && giveback.size() != cells) giveback.assign(cells, 0.0);
  if (L > 1 && oneoffset.size() != cells) oneoffset.assign(cells, 0.0);
  const bool first = substep_of_step <= 1;
  for (int l = 1; l < L; ++l) {
    Layer& up = layers[l];
    Layer& down = layers[l + 1];
    if (down.leakcoef.size() != cells) down.leakcoef.assign(cells, 0.0);
    if (down.leaklevel.size() != cells) down.leaklevel.assign(cells, 0.0);
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!Own(r, c)) continue;
        const size_t at = static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
        double& leaked = leaksum[at];
        if (l == 1 && first) leaked = 0;
        down.leakcoef[at] = 0;
        // The column gave less than layer 1's last exchange asked (the
        // water its table left in the layers above it is out of its
        // reach): the layer below, which booked the leakage, returns it.
        if (l == 1)
          giveback[at] = notgiven && InModel(r, c) && Given(notgiven[r][c]) && notgiven[r][c] > 0
                             ? notgiven[r][c] / 1000.0 * (1.0 - std::min(1.0, Glacier(r, c))) / dt
                             : 0.0;
        if (!InModel(r, c) || Glacier(r, c) >= 1.0) {
          up.leak[r][c] = 0;
          continue;
        }
        const double hu = l == 1 ? LayerOneLevel(r, c, at) : up.h[r][c];
        if (l == 1) oneoffset[at] = InModel(r, c) ? SurfaceHead(r, c) - hu : 0.0;
        const double hd = down.h[r][c];
        const double top = down.top[r][c];
        const double k = up.kolmation[r][c];
        // Layer 1 is the soil column, which a partly glacierized cell has
        // on its open share only: the water under the glacier stays there,
        // so only that share leaks (as a mean over the cell).
        const double open = l == 1 ? 1.0 - Glacier(r, c) : 1.0;
        if (!Given(k) || !(k > 0)) {
          up.leak[r][c] = 0.0;
          continue;
        }
        double d;
        if (hu >= hd && top > hd) {
          // The lower layer is not full: water drains by gravity from the upper layer's head down to its top.
          d = std::clamp(top - hu, -kMaxLeakHead, 0.0);
        } else {
          d = std::clamp(hd - hu, -kMaxLeakHead, kMaxLeakHead);
          // Between two levels less than the limit apart (the upper one
          // free) the leakage moves with both in their solves (implicitly:
          // stable at any step length); ImplicitLeakage books it.
          if (std::fabs(hd - hu) < kMaxLeakHead && !Given(up.fixh[r][c])) {
            down.leakcoef[at] = k * open;
            down.leaklevel[at] = hu;
          }
        }
        d = LimitedDrive(l, r, c, d, k, open, hu, hd, leaked, dt);
        if (l == 1 && !(down.leakcoef[at] > 0)) leaked -= std::min(0.0, d) * k * dt;
        up.leak[r][c] = d * k * open;
      }
    Exchange(up.leak, up.pleak);
  }
}

double gwflowclass::LayerOneLevel(int r, int c, size_t at) const {
  // The soil column's table, less the exchange it has still to take (what
  // its later sub-steps take of the last step's, and this step's so far)
  // over the layer's storage coefficient: the level the column holds once
  // it has taken what the groundwater booked. A column the exchange fills
  // sends the rest to the surface: no level above it.
  const double table = SurfaceHead(r, c);
  const int n = std::max(1, substeps);
  const int k = substep_of_step;
  double pending = 0;
  if (baseflow && Given(baseflow[r][c])) pending += baseflow[r][c] * (n - k) / n;
  if (n > 1 && k > 1 && at < exchangesum.size()) pending += exchangesum[at];
  const double s = layers[1].storage[r][c];
  if (!(s > 0) || !(pending != 0)) return table;
  return std::min(table - pending / 1000.0 / s, std::max(table, elevation[r][c]));
}

double gwflowclass::LimitedDrive(int l, int r, int c, double d, double k, double open, double hu, double hd,
                                 double leaked, double dt) const {
  if (d < 0 && !Given(layers[l].fixh[r][c])) {
    // Down from the layer above (over its open share, m in the step).
    double water = std::numeric_limits<double>::infinity();
    if (l > 1) {
      water = std::max(0.0, Held(l, r, c, hu));
    } else if (givable && Given(givable[r][c])) {
      water = std::max(0.0, givable[r][c] / 1000.0 - leaked);
    }
    return std::max(d, -water / (k * dt));
  }
  if (d > 0 && !Given(layers[l + 1].fixh[r][c])) {
    // Up from the layer below, which holds what lies above its base.
    return std::min(d, std::max(0.0, Held(l + 1, r, c, hd)) / (k * open * dt));
  }
  return d;
}

double gwflowclass::LeakCoefficient(int l, int r, int c, double& level) const {
  level = 0;
  const Layer& y = layers[l];
  if (l < 2 || y.leakcoef.empty()) return 0.0;
  const size_t at = static_cast<size_t>(r - firstrow) * (static_cast<size_t>(ncols) + 1) + static_cast<size_t>(c);
  const double coef = y.leakcoef[at];
  if (!(coef > 0)) return 0.0;
  level = y.leaklevel[at];
  return coef;
}

double gwflowclass::LeakCoefficientBelow(int l, int r, int c, double& level) const {
  level = 0;
  if (l >= L) return 0.0;
  const Layer& d = layers[l + 1];
  if (d.leakcoef.empty()) return 0.0;
  const size_t at = static_cast<size_t>(r - firstrow) * (static_cast<size_t>(ncols) + 1) + static_cast<size_t>(c);
  const double coef = d.leakcoef[at];
  if (!(coef > 0)) return 0.0;
  // The layer below at its level of this pass (a fixed head at its own);
  // layer 1 drives the leakage with its table less the exchange it has
  // still to take, so its own head meets the level below raised by that.
  level = d.h[r][c] + (l == 1 ? oneoffset[at] : 0.0);
  return coef;
}

double gwflowclass::LeakLevelsMove() {
  double change = 0;
  const size_t width = static_cast<size_t>(ncols) + 1;
  for (int l = 2; l <= L; ++l) {
    Layer& y = layers[l];
    const Layer& up = layers[l - 1];
    if (y.leakcoef.empty()) continue;
#pragma omp parallel for schedule(runtime) reduction(max : change)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!Own(r, c) || !InModel(r, c)) continue;
        const size_t at = static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
        if (!(y.leakcoef[at] > 0)) continue;
        const double level = l == 2 ? up.h[r][c] - oneoffset[at] : up.h[r][c];
        // (A fixed head below takes no level from above.)
        if (!Given(y.fixh[r][c])) change = std::max(change, std::fabs(level - y.leaklevel[at]));
        y.leaklevel[at] = level;
      }
  }
  return GlobalMax(change, mpisize);
}

void gwflowclass::ImplicitLeakage(int l, double dt) {
  if (l < 2) return;
  Layer& up = layers[l - 1];
  const Layer& y = layers[l];
  if (y.leakcoef.empty()) return;
  const size_t width = static_cast<size_t>(ncols) + 1;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!TakesPart(r, c)) continue;
      double hu = 0;
      const double coef = LeakCoefficient(l, r, c, hu);
      if (!(coef > 0)) continue;
      const size_t at = static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
      const double open = l == 2 ? 1.0 - Glacier(r, c) : 1.0;
      const double k = coef / open;
      const double hd = y.h[r][c];
      double d = std::clamp(hd - hu, -kMaxLeakHead, kMaxLeakHead);
      // The solve kept each layer's water by its storage function, so that
      // a deeper layer gives no more than it holds; the soil column's water
      // is not the solve's.
      if (l == 2 && d < 0) d = LimitedDrive(1, r, c, d, k, open, hu, hd, leaksum[at], dt);
      if (l == 2) leaksum[at] -= std::min(0.0, d) * k * dt;
      up.leak[r][c] = d * k * open;
    }
  Exchange(up.leak, up.pleak);
}

void gwflowclass::StartLayers() {
  for (int l = 1; l <= L; ++l) {
    Layer& y = layers[l];
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!TakesPart(r, c)) {
          // Under a glacier that covers the cell no layer flows; layer 1
          // still shows the soil column's table, as at a start.
          if (l == 1 && InModel(r, c) && Own(r, c)) {
            y.hoo[r][c] = y.hold[r][c];
            y.h[r][c] = y.hprev[r][c] = y.hold[r][c] = SurfaceHead(r, c);
          }
          continue;
        }
        y.hoo[r][c] = y.hold[r][c];
        if (l > 1) {
          y.hprev[r][c] = y.hold[r][c] = y.h[r][c];
        } else {
          y.h[r][c] = y.hprev[r][c] = y.hold[r][c] = SurfaceHead(r, c);
        }
        // (Layer 1's tracer is the soil column's, which decays there.)
        for (size_t t = 1; t < layertracers.size() && l > 1; ++t)
          if (tracers[t].radioactive == 1 && layertracers[t][l].conc[r][c] > nodata)
            layertracers[t][l].conc[r][c] *= decay[t];
      }
    for (int p : {y.ph, y.phold, y.phprev}) Exchange(gridlist[p].grid, p);
  }
}

double gwflowclass::EffectiveThickness(int l, int r, int c) const {
  if (Glacier(r, c) >= 1.0) return 0.0;
  double b = layers[l].thick[r][c];
  if (l == 1) {
    if (frozen) {
      if (frozen[r][c] > nodata) b = std::max(0.0, b - frozen[r][c]);
    } else if (thawdepth) {
      // Thaw depths are stored negative (below the surface).
      if (thawdepth[r][c] > nodata) b = std::min(b, -thawdepth[r][c]);
    }
  }
  return b;
}

void gwflowclass::Transmissivities(int l) {
  Layer& y = layers[l];
  // Saturated thickness times conductivity; a head below the layer base
  // leaves no transmissivity, nor does one less than kDryThickness above a
  // deeper layer's (whose dry cells the solvers set to their base).
  const double dry = l > 1 ? kDryThickness : 0.0;
  auto Saturated = [dry](double b) { return b > dry ? b : 0.0; };
  auto cellT = [&](int r, int c, Grid k, bool southFace) {
    const double h = y.h[r][c];
    const double top = y.top[r][c];
    const bool full = southFace ? h >= top + kConfinedMargin : h > top + kConfinedMargin;
    const double b = full ? y.thick[r][c] : h - top + EffectiveThickness(l, r, c);
    if (Glacier(r, c) > 0) return 0.0;
    return Saturated(b) * std::max(0.0, k[r][c]);
  };
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!Own(r, c)) continue;
      if (!TakesPart(r, c)) {
        y.tx[r][c] = y.ty[r][c] = 0;
        continue;
      }
      for (int face = 0; face < 2; ++face) {
        const bool south = face == 1;
        const int rn = south ? r + 1 : r;
        const int cn = south ? c : c + 1;
        Grid k = south ? y.ky : y.kx;
        double tc = cellT(r, c, k, south);
        double tn = 0;
        const bool neighbour = rn <= nrows && cn <= ncols && InModel(rn, cn) && SameZone(r, c, rn, cn);
        if (neighbour) {
          const double hn = y.h[rn][cn];
          const double topn = y.top[rn][cn];
          const double b = hn < topn + kConfinedMargin ? hn - topn + EffectiveThickness(l, rn, cn) : y.thick[rn][cn];
          tn = Glacier(rn, cn) > 0 ? 0.0 : Saturated(b) * std::max(0.0, k[rn][cn]);
          // A dry cell next to a wetter one takes the wetter one's transmissivity for the face.
          const double h = y.h[r][c];
          if (tc <= 0 && tn > 0 && hn > h && k[r][c] > 0 && Glacier(r, c) == 0) {
            tc = tn;
          } else if (tn <= 0 && tc > 0 && h > hn && k[rn][cn] > 0 && Glacier(rn, cn) == 0) {
            tn = tc;
          }
        }
        const double face_t = tc + tn > 0 ? 2 * tc * tn / (tc + tn) : 0.0;
        (south ? y.ty : y.tx)[r][c] = face_t;
      }
    }
}

// Red-black ordering: the cells with (row + column) even are updated first,
// then those with (row + column) odd. A cell's four neighbours all have the
// other colour, so the cells of one colour are independent: rows run in
// parallel without races, and the result is the same for any thread count and
// (with the border exchange between the colours) any instance count.
//
// All sweeps of a layer run in one parallel region: the threads meet at the
// end of each colour, and every thread takes the same decision to go on from
// the largest change of the sweep, so no thread team is started per sweep.
double gwflowclass::SolveMethod1(int l, double dt) {
  Layer& y = layers[l];
  const int threads = omp_get_max_threads();
  const size_t rows = static_cast<size_t>(nrows) + 2;
  // Two sets of per-row factor sums and of per-thread largest changes, taken
  // by the sweeps in turn: a thread may fill the next sweep's set while another
  // still reads the last one. One cache line per thread's maximum.
  constexpr size_t kLine = 8;
  factorrows.assign(2 * rows, 0.0);
  countrows.assign(2 * rows, 0.0);
  sweepmax.assign(2 * kLine * static_cast<size_t>(threads), 0.0);
  const bool instances = mpisize > 1;
  FirstError failure;
  double error = 0;
  double global = 0;
  int sweeps = 0;
  blockstart.assign(static_cast<size_t>(threads) + 1, firstrow);
  rowcells.assign(rows, 0);
#pragma omp parallel num_threads(threads)
  {
    const size_t t = static_cast<size_t>(omp_get_thread_num());
    const size_t team = static_cast<size_t>(omp_get_num_threads());
    // Blocks of whole rows with about equal numbers of cells, one per thread.
#pragma omp for schedule(static)
    for (int r = firstrow; r <= lastrow; ++r) {
      int n = 0;
      for (int c = 1; c <= ncols; ++c) n += TakesPart(r, c) ? 1 : 0;
      rowcells[static_cast<size_t>(r)] = n;
    }
#pragma omp masked
    {
      int64_t total = 0;
      for (int r = firstrow; r <= lastrow; ++r) total += rowcells[static_cast<size_t>(r)];
      int64_t sum = 0;
      size_t u = 1;
      for (int r = firstrow; r <= lastrow; ++r) {
        sum += rowcells[static_cast<size_t>(r)];
        // Row r ends block u - 1 once the cells so far reach its share.
        while (u < team && sum * static_cast<int64_t>(team) >= total * static_cast<int64_t>(u)) blockstart[u++] = r + 1;
      }
      while (u <= team) blockstart[u++] = lastrow + 1;
    }
#pragma omp barrier
    // One pass over the thread's rows for both colours: the first colour of
    // row r, then the second of row r - 1, whose neighbours of the first
    // colour are all new by then. Each cell sees the same levels as with one
    // pass per colour. The first and last row of every block take their
    // first colour before the others start, so that a block's border rows
    // find their neighbours' first colour new and their second colour old.
    // With several instances, the rows next to another instance's cells (an
    // instance's cells may start and end inside a row, so two rows at each
    // end) also take their first colour early: their levels go to the other
    // instances between the colours, as the neighbours' first colour.
    const int a = blockstart[t], b = blockstart[t + 1] - 1;
    auto early = [&](int r) {
      return r == a || r == b ||
             (instances && (r == firstrow || r == firstrow + 1 || r == lastrow - 1 || r == lastrow));
    };
    for (int k = 1;; ++k) {
      const size_t set = static_cast<size_t>(k & 1);
      double* rowsum = factorrows.data() + set * rows;
      double* rowcount = countrows.data() + set * rows;
      double* maxima = sweepmax.data() + set * kLine * static_cast<size_t>(threads);
      double largest = -std::numeric_limits<double>::infinity();
      auto sweep = [&](int r, int colour) {
        largest = std::max(largest, SweepRow(l, dt, r, colour, rowsum, rowcount));
      };
      if (instances) {
        // The old levels change only where the first sweep fixes them, and
        // the levels of the sweep before only with the adaptive factor:
        // after that the other instances hold them already.
#pragma omp masked
        failure.Run([&] {
          Exchange(y.h, y.ph);
          if (k <= 2) Exchange(y.hold, y.phold);
          if (k == 1 || adaptive) Exchange(y.hprev, y.phprev);
        });
#pragma omp barrier
      }
      for (int r = a; r <= b; ++r)
        if (early(r)) sweep(r, 0);
#pragma omp barrier
      if (instances) {
#pragma omp masked
        failure.Run([&] {
          Exchange(y.h, y.ph);
          // The first sweep's first colour fixed the old levels of its fixed
          // heads, which the second colour weighs with 1 - alpha.
          if (k == 1) Exchange(y.hold, y.phold);
          if (adaptive) Exchange(y.hprev, y.phprev);
        });
#pragma omp barrier
      }
      for (int r = a + 1; r <= b; ++r) {
        if (!early(r)) sweep(r, 0);
        sweep(r - 1, 1);
      }
      if (a <= b) sweep(b, 1);
      maxima[t * kLine] = largest;
#pragma omp barrier
      double change = -std::numeric_limits<double>::infinity();
      for (size_t u = 0; u < team; ++u) change = std::max(change, maxima[u * kLine]);
      if (instances) {
        // The largest change of all instances, handed to every thread of this one.
#pragma omp masked
        failure.Run([&] { global = GlobalMax(change, mpisize); });
#pragma omp barrier
        change = global;
      }
#pragma omp masked
      {
        // Summed in row order: the mean factor does not depend on the thread count.
        if (adaptive)
          for (int r = firstrow; r <= lastrow; ++r) {
            factorsum += rowsum[r];
            factorcount += rowcount[r];
          }
        error = change;
        sweeps = k;
      }
      if (k >= maxiter || !(change > maxerror_allowed) || failure.Failed()) break;
    }
  }
  failure.ThrowIfAny();
  itercount = sweeps;
  return error;
}

double gwflowclass::SweepRow(int l, double dt, int r, int colour, double* rowsum, double* rowcount) {
  Layer& y = layers[l];
  const Layer* above = l > 1 ? &layers[l - 1] : nullptr;
  double error = -std::numeric_limits<double>::infinity();
  // The row's factors, added in column order, the first colour's before the second's.
  double sum = colour == 0 ? 0.0 : rowsum[r];
  double count = colour == 0 ? 0.0 : rowcount[r];
  for (int c = 1 + ((r + 1 + colour) & 1); c <= ncols; c += 2) {
    if (!TakesPart(r, c)) continue;
    const double fix = y.fixh[r][c];
    if (Given(fix)) {
      y.h[r][c] = y.hold[r][c] = y.hoo[r][c] = fix;
      continue;
    }
    const double h = y.h[r][c];
    const double hold = y.hold[r][c];
    auto H = [&](int rr, int cc) { return alpha * y.h[rr][cc] + (1 - alpha) * y.hold[rr][cc]; };
    const double dx = Dx(r, c);
    const double dy = Dy(r, c);
    const double cn = r > 1 ? dx / dy * y.ty[r - 1][c] : 0.0;
    const double cs = r < nrows ? dx / dy * y.ty[r][c] : 0.0;
    const double ce = c < ncols ? dy / dx * y.tx[r][c] : 0.0;
    const double cw = c > 1 ? dy / dx * y.tx[r][c - 1] : 0.0;
    const double csum = cn + ce + cs + cw;
    const double hn = r > 1 ? H(r - 1, c) : h;
    const double hs = r < nrows ? H(r + 1, c) : h;
    const double he = c < ncols ? H(r, c + 1) : h;
    const double hw = c > 1 ? H(r, c - 1) : h;
    const bool confined = hold >= y.top[r][c];
    // The leakage with the layer above at the level this solve gives the
    // cell (coefficient > 0), else as booked.
    double level = 0, lower = 0;
    const double coef = LeakCoefficient(l, r, c, level);
    const double coefb = LeakCoefficientBelow(l, r, c, lower);
    double R = coefb > 0 ? 0.0 : y.leak[r][c];
    if (above) R -= (coef > 0 ? 0.0 : above->leak[r][c]) + (l == 2 ? GiveBack(r, c) : 0.0);
    if (Given(y.fixq[r][c])) R += y.fixq[r][c];
    const double A = dx * dy;
    // The cell's water changes by what its faces, its leakage and its fixed
    // inflow carry: A / dt x (Stored(h) - Stored(hold)) = flows.
    double hstar = h;
    // A cell without storage and without open faces has no equation.
    const double coefs[2] = {coef, coefb}, levels[2] = {level, lower};
    if (!SolveLeaking(l, r, c, A / dt, alpha * csum,
                      A / dt * Stored(l, r, c, hold) + cn * hn + ce * he + cs * hs + cw * hw -
                          (1 - alpha) * hold * csum + A * R,
                      A, coefs, levels, h, hstar))
      continue;
    const double D = hstar - h;
    const double cellerror = confined ? std::fabs(D) / 5 : std::fabs(D);
    error = std::max(error, cellerror);
    if (adaptive) {
      double factor = 1.0;
      const double hp = y.hprev[r][c];
      if (h != hp) {
        const double f = D / (h - hp) + 1;
        factor = f > 0 ? std::min(f, 2.0) : 1.0;
      }
      y.hprev[r][c] = h;
      y.h[r][c] = h + factor * D;
      sum += factor;
      count += 1;
    } else if (sor != 1.0) {
      y.h[r][c] = h + sor * D;
    } else {
      y.h[r][c] = hstar;
    }
  }
  // One write per row and colour: rows of other threads share the cache lines of these sums.
  if (adaptive) {
    rowsum[r] = sum;
    rowcount[r] = count;
  }
  return error;
}

// The line solver: the heads of a row at once (a tridiagonal system along
// the row, its neighbours across the row at their latest levels), first the
// odd rows, then the even ones, in passes repeated until the largest change
// of a pass is at most maxerror_allowed (or maxiter passes are made). Its
// equations are the sweeps' (new and old levels weighed by alpha on every
// face, the storage function at the latest level, leakage and fixed
// inflow), so that both solve the same step; coupled through the passes,
// the rows stay stable at any T dt / (S dy2). The rows of one parity do not
// touch each other: the result does not depend on the thread or instance
// count. A row whose cells several instances share is assembled from the
// equations of every owner's cells and solved by each of them.
double gwflowclass::SolveMethod2(int l, double dt) {
  Layer& y = layers[l];
  // Fixed heads first: the rows read them as known levels of their neighbours.
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (Own(r, c) && InModel(r, c) && Given(y.fixh[r][c])) y.h[r][c] = y.hold[r][c] = y.hoo[r][c] = y.fixh[r][c];
  if (mpisize > 1) Exchange(y.hold, y.phold);
  // Work arrays per thread, made outside the parallel region so that no allocation (and no exception) happens in it:
  // nine per column for the equations of a row, five per column for the solve of a segment.
  const size_t n = static_cast<size_t>(ncols) + 2;
  const int threads = omp_get_max_threads();
  constexpr size_t kArrays = 14;
  if (linework.size() < static_cast<size_t>(threads) * kArrays * n)
    linework.assign(static_cast<size_t>(threads) * kArrays * n, 0.0);
  if (linesegment.size() < static_cast<size_t>(threads) * n) linesegment.assign(static_cast<size_t>(threads) * n, 0);

  // Rows shared with other instances: the instance's first and last row.
  // The owners come from the region grid, which every instance holds whole
  // (it knows the zones of another's cells only next to its own).
  auto owner = [&](int r, int c) {
    const double p = MPIRegions && MPIRegions[r] ? MPIRegions[r][c] : -1.0;
    return p >= 0 && p < mpisize && static_cast<int>(p) != mpirank ? static_cast<int>(p) : -1;
  };
  int shared[2] = {0, 0};
  int count = 0;
  if (mpisize > 1 && MPIRegions)
    for (int r : {firstrow, lastrow}) {
      if (r < 1 || r > nrows || (count == 1 && shared[0] == r)) continue;
      bool other = false;
      for (int c = 1; c <= ncols && !other; ++c) other = owner(r, c) >= 0;
      if (other) shared[count++] = r;
    }
  // The owners of each shared row's other cells, each sent the equations of
  // this instance's cells and sending theirs (seven values per column).
  std::vector<int> peers[2];
  for (int k = 0; k < count; ++k)
    for (int c = 1; c <= ncols; ++c) {
      const int p = owner(shared[k], c);
      if (p >= 0 && std::find(peers[k].begin(), peers[k].end(), p) == peers[k].end()) peers[k].push_back(p);
    }
  std::vector<double> mine(7 * n), theirs;
  std::vector<MPI_Request> requests;
  auto solveShared = [&](int k) {
    const int r = shared[k];
    double* a = linework.data();
    double *lower = a, *main = a + n, *upper = a + 2 * n, *rhs = a + 3 * n, *flag = a + 4 * n, *head = a + 5 * n,
           *zones = a + 6 * n, *floor = a + 7 * n, *ceiling = a + 8 * n;
    RowEquations(l, dt, r, lower, main, upper, rhs, flag, head, zones, floor, ceiling);
    const std::vector<int>& p = peers[k];
    std::copy(a, a + 7 * n, mine.begin());
    theirs.resize(7 * n * p.size());
    requests.assign(2 * p.size(), MPI_REQUEST_NULL);
    // Tagged with the row, as the border exchange (whose messages are all received by now).
    for (size_t i = 0; i < p.size(); ++i) {
      MPI_Isend(mine.data(), static_cast<int>(7 * n), MPI_DOUBLE, p[i], r, MPI_COMM_WORLD, &requests[2 * i]);
      MPI_Irecv(theirs.data() + 7 * n * i, static_cast<int>(7 * n), MPI_DOUBLE, p[i], r, MPI_COMM_WORLD,
                &requests[2 * i + 1]);
    }
    MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
    for (size_t i = 0; i < p.size(); ++i)
      for (int c = 1; c <= ncols; ++c) {
        if (owner(r, c) != p[i]) continue;
        for (size_t j = 0; j < 7; ++j) a[j * n + static_cast<size_t>(c)] = theirs[7 * n * i + j * n + c];
      }
    return SolveRow(l, r, lower, main, upper, rhs, flag, head, zones, floor, ceiling, a + 9 * n,
                    linesegment.data());
  };

  double change = 0;
  for (int pass = 1;; ++pass) {
    double largest = 0;
    for (int parity = 1; parity >= 0; --parity) {
      // The other parity's levels of the last half pass, also the other instances'.
      Exchange(y.h, y.ph);
      for (int k = 0; k < count; ++k)
        if ((shared[k] & 1) == parity) largest = std::max(largest, solveShared(k));
      const int first = (firstrow & 1) == parity ? firstrow : firstrow + 1;
#pragma omp parallel reduction(max : largest) num_threads(threads)
      {
        const size_t t = static_cast<size_t>(omp_get_thread_num());
        double* a = linework.data() + t * kArrays * n;
        int* segment = linesegment.data() + t * n;
#pragma omp for schedule(runtime)
        for (int r = first; r <= lastrow; r += 2) {
          if ((count > 0 && r == shared[0]) || (count > 1 && r == shared[1])) continue;
          RowEquations(l, dt, r, a, a + n, a + 2 * n, a + 3 * n, a + 4 * n, a + 5 * n, a + 6 * n, a + 7 * n,
                       a + 8 * n);
          largest = std::max(largest, SolveRow(l, r, a, a + n, a + 2 * n, a + 3 * n, a + 4 * n, a + 5 * n, a + 6 * n,
                                               a + 7 * n, a + 8 * n, a + 9 * n, segment));
        }
      }
    }
    change = GlobalMax(largest, mpisize);
    itercount = pass;
    if (pass >= maxiter || !(change > maxerror_allowed)) break;
  }
  return change;
}

void gwflowclass::RowEquations(int l, double dt, int r, double* lower, double* main, double* upper, double* rhs,
                               double* flag, double* head, double* zones, double* floor, double* ceiling) {
  Layer& y = layers[l];
  const Layer* above = l > 1 ? &layers[l - 1] : nullptr;
  auto H = [&](int rr, int cc) { return alpha * y.h[rr][cc] + (1 - alpha) * y.hold[rr][cc]; };
  for (int c = 0; c <= ncols + 1; ++c) {
    lower[c] = main[c] = upper[c] = rhs[c] = flag[c] = head[c] = zones[c] = 0;
    floor[c] = -std::numeric_limits<double>::infinity(), ceiling[c] = std::numeric_limits<double>::infinity();
  }
  for (int k = 1; k <= ncols; ++k) {
    if (!TakesPart(r, k)) continue;
    zones[k] = zone[r][k];
    head[k] = y.h[r][k];
    if (Given(y.fixh[r][k])) continue;
    // The sweeps' conductances (faces towards cells outside the model, of
    // another zone under flow control 3 or fully glaciated have none).
    const double dx = Dx(r, k);
    const double dy = Dy(r, k);
    const double A = dx * dy;
    const double cn = r > 1 ? dx / dy * y.ty[r - 1][k] : 0.0;
    const double cs = r < nrows ? dx / dy * y.ty[r][k] : 0.0;
    const double ce = k < ncols ? dy / dx * y.tx[r][k] : 0.0;
    const double cw = k > 1 ? dy / dx * y.tx[r][k - 1] : 0.0;
    const double csum = cn + cs + ce + cw;
    // The water A / dt x (Stored(x) - Stored(hold)) the cell gains equals
    // what its faces, its leakage and its fixed inflow carry, Stored taken
    // along its slope at the latest level h (exact once the passes settle).
    const double h = y.h[r][k];
    const double hold = y.hold[r][k];
    double level = 0, below = 0;
    const double coef = LeakCoefficient(l, r, k, level);
    const double coefb = LeakCoefficientBelow(l, r, k, below);
    // The cell's equation is linear between the bends next to h: its
    // storage's (the layer's top, and its base, below which it holds
    // nothing more) and each leakage's (free within kMaxLeakHead of the
    // other level, beyond it clamped to that drive). Each is taken along
    // its slope at h, on the side of h the cell moves to, and the solve
    // keeps the head within that piece: a Newton step across a bend of a
    // piecewise-linear relation can cycle between the pieces.
    double lowest = -std::numeric_limits<double>::infinity(), highest = std::numeric_limits<double>::infinity();
    bool bend = false;
    auto mark = [&](double b) {
      if (b < h) lowest = std::max(lowest, b);
      if (b > h) highest = std::min(highest, b);
      bend = bend || b == h;
    };
    // The storage coefficient just above h and just below it (nothing below a deeper layer's base).
    const CellStorage st = StorageOf(l, r, k);
    const double slope[2] = {h >= st.top ? st.confined : h >= st.base ? st.drainable : 0.0,
                             h > st.top ? st.confined : h > st.base ? st.drainable : 0.0};
    if (st.confined != st.drainable) mark(st.top);
    if (st.drainable != 0) mark(st.base);
    double diagonal[2], R[2];
    for (int side = 0; side < 2; ++side) {
      diagonal[side] = A * slope[side] / dt + alpha * csum;
      R[side] = coefb > 0 ? 0.0 : y.leak[r][k];
    }
    for (const auto& [q, other] : {std::pair{coef, level}, std::pair{coefb, below}}) {
      if (!(q > 0)) continue;
      const double drive = other - h;
      mark(other - kMaxLeakHead);
      mark(other + kMaxLeakHead);
      for (int side = 0; side < 2; ++side) {
        const bool free = side == 0 ? drive <= kMaxLeakHead && drive > -kMaxLeakHead
                                    : drive < kMaxLeakHead && drive >= -kMaxLeakHead;
        if (free) {
          diagonal[side] += A * q;
          R[side] += q * other;
        } else {
          R[side] += q * std::clamp(drive, -kMaxLeakHead, kMaxLeakHead);
        }
      }
    }
    double given = 0;
    if (above) given -= (coef > 0 ? 0.0 : above->leak[r][k]) + (l == 2 ? GiveBack(r, k) : 0.0);
    if (Given(y.fixq[r][k])) given += y.fixq[r][k];
    double across = 0, along = 0;
    if (cn > 0) across += cn * H(r - 1, k);
    if (cs > 0) across += cs * H(r + 1, k);
    if (ce > 0) along += ce * y.hold[r][k + 1];
    if (cw > 0) along += cw * y.hold[r][k - 1];
    auto right = [&](int side) {
      return A / dt * (slope[side] * h - Stored(l, r, k, h) + Stored(l, r, k, hold)) + across +
             (1 - alpha) * (along - csum * hold) + A * (R[side] + given);
    };
    // At a bend the cell moves up where its equation at h asks for more
    // water than it holds (the same on both sides at h), else down.
    int side = 0;
    if (bend) {
      const double west = cw > 0 ? y.h[r][k - 1] : 0.0, east = ce > 0 ? y.h[r][k + 1] : 0.0;
      if (right(0) - diagonal[0] * h + alpha * (cw * west + ce * east) < 0) side = 1;
    }
    flag[k] = 1;
    if (!(diagonal[side] > 0)) {
      // A cell without storage and without open faces has no equation: its
      // head stays; below the base of its storage it is dry, at its base.
      if (!(h < st.base)) {
        flag[k] = 0;
        continue;
      }
      main[k] = 1;
      rhs[k] = st.base;
      floor[k] = ceiling[k] = st.base;
      continue;
    }
    lower[k] = -alpha * cw;
    upper[k] = -alpha * ce;
    main[k] = diagonal[side];
    rhs[k] = right(side);
    floor[k] = side == 0 && bend ? h : lowest;
    ceiling[k] = side == 1 && bend ? h : highest;
  }
}

double gwflowclass::SolveRow(int l, int r, const double* lower, const double* main, const double* upper,
                             const double* rhs, const double* flag, const double* head, const double* zones,
                             const double* floor, const double* ceiling, double* work, int* segment) {
  Layer& y = layers[l];
  const size_t n = static_cast<size_t>(ncols) + 2;
  double* lo = work;
  double* mi = work + n;
  double* up = work + 2 * n;
  double* b = work + 3 * n;
  double* x = work + 4 * n;
  double error = 0;
  int c = 1;
  while (c <= ncols) {
    if (flag[c] == 0) {
      ++c;
      continue;
    }
    int m = 0;
    segment[m++] = c;
    while (c + 1 <= ncols && flag[c + 1] != 0 &&
           (flowcontrol != 3 || static_cast<int>(zones[c]) == static_cast<int>(zones[c + 1])))
      segment[m++] = ++c;
    ++c;
    for (int i = 0; i < m; ++i) {
      const int k = segment[i];
      lo[i] = lower[k];
      mi[i] = main[k];
      up[i] = upper[k];
      b[i] = rhs[k];
    }
    // Neighbours outside the segment (fixed heads) are known values.
    if (lo[0] != 0) {
      b[0] -= lo[0] * head[segment[0] - 1];
      lo[0] = 0;
    }
    if (up[m - 1] != 0) {
      b[m - 1] -= up[m - 1] * head[segment[m - 1] + 1];
      up[m - 1] = 0;
    }
    bool singular = !(std::fabs(mi[0]) > 0);
    for (int i = 1; i < m && !singular; ++i) {
      const double f = lo[i] / mi[i - 1];
      mi[i] -= f * up[i - 1];
      b[i] -= f * b[i - 1];
      singular = !(std::fabs(mi[i]) > 0);
    }
    // A zero pivot (no storage and no lateral coupling) leaves the segment's heads unchanged.
    if (singular) continue;
    x[m - 1] = b[m - 1] / mi[m - 1];
    for (int i = m - 2; i >= 0; --i) x[i] = (b[i] - up[i] * x[i + 1]) / mi[i];
    for (int i = 0; i < m; ++i) {
      const int k = segment[i];
      if (!Own(r, k)) continue;
      double& h = y.h[r][k];
      const double next = std::clamp(x[i], floor[k], ceiling[k]);
      error = std::max(error, std::fabs(next - h));
      h = next;
    }
  }
  return error;
}

void gwflowclass::CountOscillations(int l) {
  const Layer& y = layers[l];
  const double eps = maxerror_allowed;
  const size_t n = static_cast<size_t>(ncols);
  const size_t rows = static_cast<size_t>(std::max(0, lastrow - firstrow + 1));
  if (oscvalues.size() < rows * n) oscvalues.assign(rows * n, 0.0);
  if (oscrows.size() < rows) oscrows.assign(rows, 0);
    // The rows find their oscillating cells side by side; the sum then adds
    // them in the order of the cells, as on one thread.
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    const size_t row = static_cast<size_t>(r - firstrow);
    double* values = oscvalues.data() + row * n;
    int m = 0;
    for (int c = 1; c <= ncols; ++c) {
      if (!InModel(r, c) || !Own(r, c)) continue;
      const double d1 = y.hold[r][c] - y.hoo[r][c];
      const double d2 = y.h[r][c] - y.hold[r][c];
      if ((d1 > eps && d2 < -eps) || (d1 < -eps && d2 > eps)) values[m++] = std::fabs(d2);
    }
    oscrows[row] = m;
  }
  long count = 0;
  double sum = 0;
  double maximum = 0;
  for (size_t row = 0; row < rows; ++row) {
    const double* values = oscvalues.data() + row * n;
    for (int i = 0; i < oscrows[row]; ++i) {
      sum += values[i];
      maximum = std::max(maximum, values[i]);
    }
    count += oscrows[row];
  }
  if (mpisize > 1) {
    long c2 = 0;
    double s2 = 0, m2 = 0;
    MPI_Reduce(&count, &c2, 1, MPI_LONG, MPI_SUM, 0, MPI_COMM_WORLD);
    MPI_Reduce(&sum, &s2, 1, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
    MPI_Reduce(&maximum, &m2, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
    MPI_Bcast(&c2, 1, MPI_LONG, 0, MPI_COMM_WORLD);
    MPI_Bcast(&s2, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(&m2, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    count = c2;
    sum = s2;
    maximum = m2;
  }
  osc_count = count;
  osc_sum = sum;
  osc_max = maximum;
}

void gwflowclass::ReportLayer(int l) {
  if (!ReportDue()) return;
  *diag << "GWlevel " << l << ", MPI-rank " << mpirank << ", Steps " << itercount;
  if (method == 1) {
    const double factor = adaptive ? (factorcount > 0 ? factorsum / factorcount : 0.0) : sor;
    *diag << " err " << lasterror << ", SOR " << factor << ", osc. at " << osc_count
          << " points (av: " << (osc_count > 0 ? osc_sum / static_cast<double>(osc_count) : 0.0) << ", max " << osc_max
          << ")";
  }
  *diag << "[end-entry]";
}

void gwflowclass::FinishLayers(int l) {
  Layer& y = layers[l];
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!Own(r, c)) continue;
      if (!InModel(r, c)) {
        y.fx[r][c] = y.fy[r][c] = 0;
        continue;
      }
      if (Glacier(r, c) >= 1.0) {
        // No face of a cell a glacier covers carries groundwater.
        y.fx[r][c] = 0;
        if (r < nrows) y.fy[r][c] = 0;
        continue;
      }
      if (c == ncols || Glacier(r, c + 1) >= 1.0) {
        y.fx[r][c] = 0;
      } else if (!InModel(r, c + 1)) {
        y.fx[r][c] = nodata;
      } else if (!Given(y.kx[r][c])) {
        y.fx[r][c] = nodata;  // no conductivity: the face is closed, its flux unknown
      } else {
        // Under flow control 3 the face between two zones is closed.
        y.fx[r][c] = SameZone(r, c, r, c + 1) ? (y.h[r][c] - y.h[r][c + 1]) * y.kx[r][c] / Dx(r, c) : 0.0;
      }
      if (r < nrows) {
        if (!InModel(r + 1, c) || Glacier(r + 1, c) >= 1.0 || !SameZone(r, c, r + 1, c))
          y.fy[r][c] = 0;
        else if (!Given(y.ky[r][c]))
          y.fy[r][c] = nodata;
        else
          y.fy[r][c] = (y.h[r][c] - y.h[r + 1][c]) * y.ky[r][c] / Dy(r, c);
      }
    }
}

void gwflowclass::FaceInflows(int l, int r, int c, double q[4]) const {
  const Layer& y = layers[l];
  // Both solvers weigh new and old levels with alpha on every face.
  auto level = [&](int rr, int cc) { return alpha * y.h[rr][cc] + (1 - alpha) * y.hold[rr][cc]; };
  // A face's conductance from the cell west or north of it, so that both cells book the same flow.
  auto east = [&](int rr, int cc) { return Dy(rr, cc) / Dx(rr, cc) * y.tx[rr][cc]; };
  auto south = [&](int rr, int cc) { return Dx(rr, cc) / Dy(rr, cc) * y.ty[rr][cc]; };
  q[0] = r > 1 && InModel(r - 1, c) ? south(r - 1, c) * (level(r - 1, c) - level(r, c)) : 0.0;
  q[1] = c < ncols && InModel(r, c + 1) ? east(r, c) * (level(r, c + 1) - level(r, c)) : 0.0;
  q[2] = r < nrows && InModel(r + 1, c) ? south(r, c) * (level(r + 1, c) - level(r, c)) : 0.0;
  q[3] = c > 1 && InModel(r, c - 1) ? east(r, c - 1) * (level(r, c - 1) - level(r, c)) : 0.0;
}

void gwflowclass::Baseflow(double dt) {
  const Layer& y = layers[1];
  // The unsaturated zone's unit: mm per time step at the rate of the
  // exchange (positive when layer 1 lost water). The exchange is what the
  // faces carried in the solve, with the leakage and the fixed inflow, so
  // that the water the cells give is the water their neighbours take, however
  // far the solve converged. A fixed head is held by the water from outside:
  // it exchanges nothing with the soil.
  const double perStep = 60000.0 * timeinterval;
  const int n = std::max(1, substeps);
  const size_t width = static_cast<size_t>(ncols) + 1;
  // With sub-steps the grid receives the sum of the step's exchanges once the
  // step ends: the soil column takes them in the next step.
  if (n > 1 && exchangesum.size() != static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * width)
    exchangesum.assign(static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * width, 0.0);
  const bool first = substep_of_step <= 1;
  const bool last = substep_of_step >= n;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!InModel(r, c) || !Own(r, c)) continue;
      double e = 0;
      if (Glacier(r, c) < 1.0 && !Given(y.fixh[r][c])) {
        double q[4];
        FaceInflows(1, r, c, q);
        double in = (q[0] + q[1] + q[2] + q[3]) / (Dx(r, c) * Dy(r, c));
        if (y.leak) in += y.leak[r][c];
        if (Given(y.fixq[r][c])) in += y.fixq[r][c];
        // The soil column of a partly glacierized cell covers its open share:
        // the cell's exchange in mm over that share.
        const double open = 1.0 - Glacier(r, c);
        e = -in * perStep / open;
        // The column gives no more than it holds: the leakage down takes
        // what the faces leave of it (the deeper layer books the leakage
        // that remains).
        const double before =
            n > 1 && !first ? exchangesum[static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c)] : 0.0;
        if (y.leak && y.leak[r][c] < 0 && givable && Given(givable[r][c])) {
          const double excess = before + e / n - givable[r][c];
          if (excess > 0) {
            const double leak = std::min(0.0, y.leak[r][c] + excess * n * open / perStep);
            e -= (leak - y.leak[r][c]) * perStep / open;
            y.leak[r][c] = leak;
          }
        }
      }
      if (n <= 1) {
        baseflow[r][c] = e;
        continue;
      }
      double& sum = exchangesum[static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c)];
      sum = first ? e / n : sum + e / n;
      if (last) baseflow[r][c] = sum;
    }
  if (L > 1) Exchange(layers[1].leak, layers[1].pleak);
  (void)dt;
}

void gwflowclass::LimitOutflows(int l, double dt) {
  Layer& y = layers[l];
  const Layer& above = layers[l - 1];
  const Layer* below = l < L ? &layers[l + 1] : nullptr;
  const size_t width = static_cast<size_t>(ncols) + 1;
  const size_t cells = static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * width;
  if (nextshare.size() != cells) nextshare.assign(cells, 1.0);
  if (unreturned.size() != cells) unreturned.assign(cells, 0.0);
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (InModel(r, c) && Own(r, c)) y.share[r][c] = 1.0;
  Exchange(y.share, y.pshare);
  // A cell's share follows those of the cells that feed it: each pass takes
  // the last pass's shares of all cells. A face carries water from the
  // higher level to the lower one, so the passes end once the shares have
  // reached the cells at the end of the longest chain of short cells; the
  // shares only fall from pass to pass. Should they not settle, the cells
  // still short show it in their balances.
  constexpr int kMaxPasses = 1000;
  for (int pass = 1; pass <= kMaxPasses; ++pass) {
    double change = 0;
#pragma omp parallel for schedule(runtime) reduction(max : change)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!InModel(r, c) || !Own(r, c)) continue;
        const size_t at = static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
        nextshare[at] = 1.0;
        unreturned[at] = 0.0;
        // A fixed head gives whatever its neighbours take.
        if (Glacier(r, c) >= 1.0 || Given(y.fixh[r][c])) continue;
        const double A = Dx(r, c) * Dy(r, c);
        double q[4];
        FaceInflows(l, r, c, q);
        const int rn[4] = {r - 1, r, r + 1, r}, cn[4] = {c, c + 1, c, c - 1};
        double out = 0, in = 0;
        for (int f = 0; f < 4; ++f) {
          if (q[f] < 0)
            out -= q[f] * dt;
          else if (q[f] > 0)
            in += q[f] * dt * y.share[rn[f]][cn[f]];
        }
        // The leakage, the water returned to the soil column and the fixed
        // inflow as the balance books them (m3).
        const double back = l == 2 ? GiveBack(r, c) * A * dt : 0.0;
        double other = -above.leak[r][c] * A * dt - back;
        if (below) other += y.leak[r][c] * A * dt;
        if (Given(y.fixq[r][c])) other += y.fixq[r][c] * A * dt;
        const double held = (Stored(l, r, c, y.hold[r][c]) - Stored(l, r, c, StorageOf(l, r, c).base)) * A;
        const double has = held + in + other;
        // What the cell cannot return of the water the column did not give
        // stays the column's to give.
        if (has < 0) unreturned[at] = std::min(-has, back);
        if (out > 0 && has < out) nextshare[at] = std::max(0.0, has / out);
        change = std::max(change, y.share[r][c] - nextshare[at]);
      }
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (InModel(r, c) && Own(r, c))
          y.share[r][c] = nextshare[static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c)];
    Exchange(y.share, y.pshare);
    if (!(GlobalMax(change, mpisize) > 0)) break;
  }
  if (l != 2) return;
  // The column is asked for the water again with the exchange of this step
  // (mm over its open share; with sub-steps the step's sum).
  const int n = std::max(1, substeps);
  const bool last = substep_of_step >= n;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!InModel(r, c) || !Own(r, c)) continue;
      const size_t at = static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
      if (!(unreturned[at] > 0)) continue;
      const double mm = unreturned[at] / (Dx(r, c) * Dy(r, c)) * 1000.0 / (1.0 - Glacier(r, c));
      if (n > 1) exchangesum[at] += mm;
      if (n <= 1 || last) baseflow[r][c] += mm;
    }
}

void gwflowclass::LayerOneOutflow(double dt) {
  const Layer& y = layers[1];
  const int T = static_cast<int>(layertracers.size()) - 1;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!InModel(r, c) || !Own(r, c)) continue;
      for (int t = 1; t <= T; ++t) outconc[t][r][c] = 0.0;
      if (Glacier(r, c) >= 1.0) continue;
      const double A = Dx(r, c) * Dy(r, c);
      // The water the cell's faces carry away in the step (m3): the
      // saturated zone gives it at its concentration, but no more tracer
      // than it holds (a fixed head gives whatever it is asked).
      double q[4];
      FaceInflows(1, r, c, q);
      double out = 0;
      for (double x : q) out += std::max(0.0, -x * dt);
      if (L > 1) out += std::max(0.0, -y.leak[r][c] * A * dt);
      const double W =
          satwater && Given(satwater[r][c]) ? std::max(0.0, satwater[r][c]) / 1000.0 * A * (1.0 - Glacier(r, c)) : 0.0;
      const double share = out > W && !Given(y.fixh[r][c]) ? W / out : 1.0;
      for (int t = 1; t <= T; ++t) {
        const double cs = layertracers[t][1].conc[r][c];
        outconc[t][r][c] = Given(cs) ? std::max(0.0, cs) * share : 0.0;
      }
    }
  for (int t = 1; t <= T; ++t) Exchange(outconc[t], outconcpos[t]);
}

void gwflowclass::DeepTracers(double dt) {
  const int T = static_cast<int>(layertracers.size()) - 1;
  if (T < 1 || L < 2) return;
  const size_t width = static_cast<size_t>(ncols) + 1;
  const size_t cells = static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * width;
  const size_t deep = static_cast<size_t>(L - 1);
  if (deepwater.size() != deep * cells) deepwater.assign(deep * cells, 0.0);
  if (deepinflow.size() != 6 * deep * cells) deepinflow.assign(6 * deep * cells, 0.0);
  if (deepmass.size() != static_cast<size_t>(T) * deep * cells)
    deepmass.assign(static_cast<size_t>(T) * deep * cells, 0.0);
  if (deepnext.size() != deepmass.size()) deepnext.assign(deepmass.size(), 0.0);
  auto index = [&](int t, int l, int r, int c) {
    return (static_cast<size_t>(t - 1) * deep + static_cast<size_t>(l - 2)) * cells +
           static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
  };
  auto taking = [&](int r, int c) { return InModel(r, c) && Own(r, c) && Glacier(r, c) < 1.0; };
  // What each cell held and takes in: the volumes its faces carry into it
  // as the balance books them (each face the share of its outflow that the
  // cell it leaves can give; the water layer 1 could not give, returned,
  // leaves the cell), its fixed inflow and a fixed head's water at its new
  // concentration (they neither thin nor thicken it), layer 1's water at
  // the concentration it leaves the column with.
  for (int l = 2; l <= L; ++l) {
    const Layer& y = layers[l];
    const Layer& above = layers[l - 1];
    const bool below = l < L;
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!InModel(r, c) || !Own(r, c)) continue;
        const size_t at =
            static_cast<size_t>(l - 2) * cells + static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
        double* in = deepinflow.data() + 6 * at;
        for (int f = 0; f < 6; ++f) in[f] = 0.0;
        deepwater[at] = 0.0;
        if (!taking(r, c)) continue;
        const double A = Dx(r, c) * Dy(r, c);
        double q[4];
        FaceInflows(l, r, c, q);
        const int rn[4] = {r - 1, r, r + 1, r}, cn[4] = {c, c + 1, c, c - 1};
        for (int f = 0; f < 4; ++f) in[f] = q[f] > 0 ? q[f] * dt * y.share[rn[f]][cn[f]] : 0.0;
        in[4] = std::max(0.0, -above.leak[r][c] * A * dt);
        in[5] = below ? std::max(0.0, y.leak[r][c] * A * dt) : 0.0;
        const double W = std::max(0.0, Held(l, r, c, y.hold[r][c])) * A;
        deepwater[at] = W + in[0] + in[1] + in[2] + in[3] + in[4] + in[5];
        for (int t = 1; t <= T; ++t) {
          const Grid conc = layertracers[t][l].conc;
          const double own = Given(conc[r][c]) ? std::max(0.0, conc[r][c]) : 0.0;
          double mass = own * W;
          if (l == 2) mass += in[4] * std::max(0.0, outconc[t][r][c]);
          deepmass[index(t, l, r, c)] = mass;
          newconc[t][static_cast<size_t>(l)][r][c] = own;
        }
        // (Layer 1's concentration is known.)
        if (l == 2) in[4] = 0.0;
      }
  }
  for (int t = 1; t <= T; ++t)
    for (int l = 2; l <= L; ++l) Exchange(newconc[t][static_cast<size_t>(l)], newconcpos[t][static_cast<size_t>(l)]);
  // A cell's new concentration is the mean of what it held and took in, at
  // its neighbours' new concentrations: a pass takes those of the last pass
  // of all cells (the same on any number of threads and instances). Where
  // the faces carry water from cell to cell down the heads, the passes end
  // once the concentrations have reached the end of the longest chain;
  // water that circles between the layers converges as its share falls.
  constexpr int kMaxPasses = 10000;
  constexpr double kSettled = 1e-13;
  for (int pass = 1; pass <= kMaxPasses; ++pass) {
    double change = 0;
#pragma omp parallel for schedule(runtime) reduction(max : change)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int l = 2; l <= L; ++l)
        for (int c = 1; c <= ncols; ++c) {
          if (!taking(r, c)) continue;
          const size_t at =
              static_cast<size_t>(l - 2) * cells + static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
          const double* in = deepinflow.data() + 6 * at;
          const double water = deepwater[at];
          for (int t = 1; t <= T; ++t) {
            const Grid* x = newconc[t].data();
            double mass = deepmass[index(t, l, r, c)];
            if (in[0] > 0) mass += in[0] * x[l][r - 1][c];
            if (in[1] > 0) mass += in[1] * x[l][r][c + 1];
            if (in[2] > 0) mass += in[2] * x[l][r + 1][c];
            if (in[3] > 0) mass += in[3] * x[l][r][c - 1];
            if (in[4] > 0) mass += in[4] * x[l - 1][r][c];
            if (in[5] > 0) mass += in[5] * x[l + 1][r][c];
            const double next = water > 0 ? std::max(0.0, mass / water) : 0.0;
            const double now = x[l][r][c];
            const double scale = std::max(std::fabs(next), std::fabs(now));
            if (scale > 0) change = std::max(change, std::fabs(next - now) / scale);
            deepnext[index(t, l, r, c)] = next;
          }
        }
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int l = 2; l <= L; ++l)
        for (int c = 1; c <= ncols; ++c)
          if (taking(r, c))
            for (int t = 1; t <= T; ++t) newconc[t][static_cast<size_t>(l)][r][c] = deepnext[index(t, l, r, c)];
    for (int t = 1; t <= T; ++t)
      for (int l = 2; l <= L; ++l) Exchange(newconc[t][static_cast<size_t>(l)], newconcpos[t][static_cast<size_t>(l)]);
    if (!(GlobalMax(change, mpisize) > kSettled)) break;
  }
}

void gwflowclass::Balances(int l, double dt) {
  Layer& y = layers[l];
  const Layer* above = l > 1 ? &layers[l - 1] : nullptr;
  const Layer* below = l < L ? &layers[l + 1] : nullptr;
  const int T = static_cast<int>(layertracers.size()) - 1;
  const int n = std::max(1, substeps);
  const size_t width = static_cast<size_t>(ncols) + 1;
  const size_t cells = static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * width;
  if (l == 1 && T > 0 && n > 1 && exchangeacc.size() != static_cast<size_t>(T) * cells)
    exchangeacc.assign(static_cast<size_t>(T) * cells, 0.0);
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!InModel(r, c) || !Own(r, c)) continue;
      if (Glacier(r, c) >= 1.0) {
        // (A glacier that covers the cell moves nothing to its column.)
        for (int t = 1; t <= T && l == 1; ++t) exchange[t][r][c] = 0.0;
        y.balance[r][c] = 0.0;
        continue;
      }
      const double h = y.h[r][c];
      const double dx = Dx(r, c);
      const double dy = Dy(r, c);
      const double A = dx * dy;
      // Face volumes of the step (m3, into the cell) and where each comes from:
      // 0 north, 1 east, 2 south, 3 west, 4 layer above, 5 layer below.
      // The faces at the levels the solve used.
      double v[6] = {0, 0, 0, 0, 0, 0};
      const bool face[6] = {r > 1 && InModel(r - 1, c),
                            c < ncols && InModel(r, c + 1),
                            r < nrows && InModel(r + 1, c),
                            c > 1 && InModel(r, c - 1),
                            false,
                            false};
      FaceInflows(l, r, c, v);
      for (int f = 0; f < 4; ++f) v[f] *= dt;
      if (l > 1) {
        // Each face carries the share of its outflow that the cell it leaves can give.
        const int rn[4] = {r - 1, r, r + 1, r}, cn[4] = {c, c + 1, c, c - 1};
        for (int f = 0; f < 4; ++f) v[f] *= v[f] < 0 ? y.share[r][c] : v[f] > 0 ? y.share[rn[f]][cn[f]] : 1.0;
      }
      if (above) v[4] = -(above->leak[r][c] + (l == 2 ? GiveBack(r, c) : 0.0)) * A * dt;
      // (What the cell could not return stays with the soil column.)
      if (l == 2) v[4] += Unreturned(r, c);
      if (below) v[5] = y.leak[r][c] * A * dt;
      const double sum = v[0] + v[1] + v[2] + v[3] + v[4] + v[5];
      // Storage change less the face volumes (mm), at the levels the solve
      // used: its residual (near 0 where it converged), plus the step's fixed
      // inflow where one is given; at a fixed head the water it gave its
      // neighbours.
      // Layer 1's exchange with the soil takes what its faces carried; a
      // deeper layer keeps it: its head follows the volumes booked on its
      // faces (and its fixed inflow) on its storage function, however far
      // the solve converged; its faces carry no more than it can give (its
      // balance shows what it could not). The new head waits in h_prev (free
      // until the next step) while the other cells still read the solved
      // levels.
      const double before = Stored(l, r, c, y.hold[r][c]);
      double stored = h;
      if (l > 1) {
        if (!Given(y.fixh[r][c])) {
          double inflow = sum / A;
          if (Given(y.fixq[r][c])) inflow += y.fixq[r][c] * dt;
          stored = HeadOf(l, r, c, before + inflow);
        }
        y.hprev[r][c] = stored;
      }
      // mm per step: the sub-steps of a step add up.
      const double balance = 1000.0 * (Stored(l, r, c, stored) - before - sum / A);
      y.balance[r][c] = substep_of_step > 1 ? y.balance[r][c] + balance : balance;

      if (T < 1) continue;
      const double open = 1.0 - Glacier(r, c);
      if (l == 1) {
        // The soil column's saturated zone: what its faces brought at the
        // concentration of the cells it left, less what they took at its
        // own (outconc); a fixed head exchanges nothing with the column
        // (its water comes from and goes to outside). The water of a fixed
        // inflow comes from outside with no concentration of its own in the
        // input, and a layer's balance carries tracer only with the volumes
        // of its faces: in every layer it takes the concentration of the
        // cell it enters, neither thinning nor thickening it (here the
        // column's).
        const double W = satwater && Given(satwater[r][c]) ? std::max(0.0, satwater[r][c]) / 1000.0 * A * open : 0.0;
        // (What layer 2 returns of the water the column could not give.)
        const double gb = below ? GiveBack(r, c) * A * dt - Unreturned(r, c) : 0.0;
        for (int t = 1; t <= T; ++t) {
          const Grid out = outconc[t];
          const double own = out[r][c];
          const double cs = Given(layertracers[t][1].conc[r][c]) ? layertracers[t][1].conc[r][c] : 0.0;
          double mass = 0;
          if (!Given(y.fixh[r][c])) {
            const double from[4] = {face[0] ? out[r - 1][c] : own, face[1] ? out[r][c + 1] : own,
                                    face[2] ? out[r + 1][c] : own, face[3] ? out[r][c - 1] : own};
            for (int f = 0; f < 4; ++f) mass += v[f] * (v[f] > 0 ? from[f] : own);
            if (below) {
              const double c2 = newconc[t][2][r][c];
              mass += v[5] * (v[5] > 0 ? c2 : own) + gb * c2;
            }
            if (Given(y.fixq[r][c])) mass += y.fixq[r][c] * A * dt * cs;
          }
          // The column takes it with the water of the exchange: in the next
          // step, with sub-steps the step's sum.
          const double e = open > 0 ? mass * 1000.0 / (A * open) : 0.0;
          if (n <= 1) {
            exchange[t][r][c] = e;
          } else {
            double& sum = exchangeacc[static_cast<size_t>(t - 1) * cells + static_cast<size_t>(r - firstrow) * width +
                                      static_cast<size_t>(c)];
            sum = substep_of_step <= 1 ? e : sum + e;
            if (substep_of_step >= n) exchange[t][r][c] = sum;
          }
          concflux[t][r][c] = W > 0 ? std::max(0.0, cs + mass / W) : cs;
        }
        tracerwater[r][c] = W;
        continue;
      }
      // A deeper layer: its concentration from the transport of the step.
      const double W = std::max(0.0, Held(l, r, c, y.hold[r][c])) * A;
      // The tracer of its balance: what a fixed head gave or took and a
      // fixed inflow brought, at the new concentration (the sub-steps of a
      // step add up).
      for (int t = 1; t <= T; ++t) {
        const double value = newconc[t][static_cast<size_t>(l)][r][c];
        concflux[t][r][c] = value;
        double& b = boundarytracer[t][static_cast<size_t>(l)][r][c];
        b = substep_of_step > 1 ? b + balance * value : balance * value;
      }
      tracerwater[r][c] = W + sum;
    }
  if (l > 1) {
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (InModel(r, c) && Own(r, c) && Glacier(r, c) < 1.0) y.h[r][c] = y.hprev[r][c];
    Exchange(y.h, y.ph);
  }
  // Zone records in row order, so that the statistics do not depend on the thread count.
  for (int t = 1; t <= T; ++t) {
    LayerTracer& lt = layertracers[t][l];
    if (!lt.statistic || !lt.records) continue;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        if (!InModel(r, c) || !Own(r, c) || Glacier(r, c) >= 1.0) continue;
        const int code = static_cast<int>(zone[r][c]);
        const int k = (zoneindex && code >= 0 && code <= maxzonecode) ? zoneindex[code] : 0;
        const double value = concflux[t][r][c];
        const double water = tracerwater[r][c];
        const double rel = relcellarea && relcellarea[r][c] > nodata ? relcellarea[r][c] : -1.0;
        if (rel >= 0) {
          lt.records[k].sx += value * rel;
          lt.records[k].n += rel * water;
          lt.records[k].RelCellSum += rel;
        } else {
          lt.records[k].sx += value;
          lt.records[k].n += water;
          lt.records[k].RelCellSum += water;
        }
      }
  }
}
