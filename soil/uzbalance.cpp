// Outflow limits and tracer transport of one column; see uzbalance.h.
#include "soil/uzbalance.h"

#include <algorithm>
#include <cmath>

namespace uzk {

namespace {

// Amount carried by the water dw (mm) that leaves a store holding the amount
// M in the water W (mm): its concentration, at most phi, and not more than
// the store holds.
double Carry(double M, double W, double dw, double phi) {
  if (!(dw > 0) || !(W > 0) || !(M > 0)) return 0.0;
  return std::min({M * std::min(1.0, dw / W), phi * dw, M});
}

}  // namespace

void LayerBalance(Column& c, int g, const BalanceArrays& w, TracerColumn* tracers, double dt, double drainageDivisor,
                  double infiltrationDepth) {
  const int n = c.maxLayers;
  g = std::clamp(g, 1, n);
  int m = g + 1;
  while (m < n && (w.A[m + 1] > 0 || w.B[m + 1] > 0)) ++m;
  m = std::min(m, n);

  // Outflows of each layer limited to its water.
  w.qLimited[0] = w.q[0];
  for (int i = 1; i <= n; ++i) {
    double f = 1.0;
    w.available[i] = 0;
    if (i <= m && w.theta[i] > 0) {
      const double W = w.theta[i] * w.d[i] / dt;
      const double O = w.O1[i] + w.O2[i] - w.q[i] + w.B[i];
      w.available[i] = W;
      if (O > W && W > 0) f = W / O;
    }
    w.factor[i] = f;
    w.O1Limited[i] = f * w.O1[i];
    w.O2Limited[i] = f * w.O2[i];
    w.BLimited[i] = f * w.B[i];
    w.qLimited[i] = f * w.q[i];
  }
  if (!tracers) return;

  // The water each store holds while the substep's flows pass (mm): each
  // flow leaves a store at the concentration of what the store holds when
  // it passes (its start and what reached it before), so no store leaves
  // the range of the concentrations it took in. The downward flux passes
  // whole (its water moved, whether the layer holds it at the end or not);
  // the lateral outflows as limited (the caller keeps their cut part in the
  // layer). The water is the same for every tracer.
  const TracerColumn& tc = *tracers;
  double* water = tc.water;
  const double mm = dt * 1000.0;
  for (int t = 1; t <= tc.count; ++t) {
    const double* c0 = tc.start[t];
    double* c1 = tc.end[t];
    const double phi = tc.capFactor ? tc.capFactor[t] : 1.0;
    for (int i = 0; i <= n; ++i) {
      c1[i] = c0[i];
      const double th = tc.thetaStart ? tc.thetaStart[i] : w.theta[i];
      water[i] = i == 0 ? std::max(0.0, tc.inputWater) : std::max(0.0, th * w.d[i] * 1000.0);
    }
    double out = 0, inter = 0, drain = 0, drains = 0;
    // Moves the water dw (mm) from store s to store r (-1: out of the column)
    // with its substance.
    auto move = [&](int s, int r, double dw) {
      if (!(dw > 0)) return 0.0;
      const double mass = Carry(c1[s], water[s], dw, phi);
      c1[s] -= mass;
      water[s] = std::max(0.0, water[s] - dw);
      if (r >= 0) {
        c1[r] += mass;
        water[r] += dw;
      }
      return mass;
    };
    auto bring = [&](int r, double dw, double concentration) {
      if (!(dw > 0)) return;
      c1[r] += concentration * dw;
      water[r] += dw;
    };

    // Inflows from the river first; then the flows down, from the surface
    // to the bottom, and the flows up, from the bottom to the surface (so
    // water passing several layers in the substep carries what it took up
    // on its way); then the lateral outflows. Infiltration takes the input
    // store's water (water beyond the input, from the surface storage,
    // carries none); water pushed up returns to the store; below the last
    // layer the water leaves the column or rises from the groundwater (with
    // none where no groundwater model lies below).
    const int lastFlux = tc.lastFlux < 0 ? n : std::min(n, tc.lastFlux);
    if (tc.river)
      for (int i = 1; i <= n; ++i)
        if (w.A[i] > 0) bring(i, w.A[i] * mm, tc.river[t]);
    if (w.q[0] < 0) move(0, 1, -w.q[0] * mm);
    for (int i = 1; i <= lastFlux; ++i)
      if (w.q[i] < 0) {
        if (i < n)
          move(i, i + 1, -w.q[i] * mm);
        else
          out += move(n, -1, -w.q[n] * mm);
      }
    for (int i = lastFlux; i >= 0; --i) {
      if (!(w.q[i] > 0)) continue;
      if (i == 0)
        move(1, 0, w.q[0] * mm);
      else if (i < n)
        move(i + 1, i, w.q[i] * mm);
      else
        bring(n, w.q[n] * mm, tc.groundwater ? tc.groundwater[t] : 0.0);
    }
    for (int i = 1; i <= n; ++i) {
      inter += move(i, -1, std::fabs(w.O1Limited[i]) * mm);
      const double drained = move(i, -1, std::fabs(w.O2Limited[i]) * mm);
      drains += drained;
      drain += drained;
      drain += move(i, -1, std::fabs(w.BLimited[i]) * mm);
    }
    tc.output[t] = out;
    tc.interflow[t] = inter;
    tc.drainage[t] = drain;
    if (tc.outputAmount) tc.outputAmount[t] = out;
    if (tc.interflowAmount) tc.interflowAmount[t] = inter;
    if (tc.drainageAmount) tc.drainageAmount[t] = drain;
    if (tc.drainsAmount) tc.drainsAmount[t] = drains;

    if (tc.mixed && tc.mixed[t]) {
      // One concentration for the saturated zone (and the groundwater below it).
      tc.output[t] = infiltrationDepth > 0 ? out / infiltrationDepth : 0.0;
      tc.interflow[t] = c.baseflow > 0 ? inter / c.baseflow : 0.0;
      tc.drainage[t] = drainageDivisor > 0 && c.groundwaterActive ? drain / drainageDivisor : 0.0;
      double amount = 0, held = 0;
      for (int i = g; i <= m; ++i) {
        amount += c1[i];
        held += w.theta[i] * w.d[i] * 1000.0;
      }
      const bool withGroundwater = c.groundwaterActive && tc.groundwater && tc.groundwaterStorage > 0;
      if (withGroundwater) {
        amount += tc.groundwater[t] * tc.groundwaterStorage;
        held += tc.groundwaterStorage;
      }
      const double mix = held > 0 ? amount / held : 0.0;
      for (int i = g; i <= m; ++i) c1[i] = mix * w.theta[i] * w.d[i] * 1000.0;
      if (withGroundwater) tc.groundwater[t] = mix;
    }
    // Floating-point trouble is flagged for the report after the parallel loop.
    if (!std::isfinite(out) || !std::isfinite(inter) || !std::isfinite(drain) || !std::isfinite(c1[n]) ||
        !std::isfinite(c1[1]))
      c.fpe = true;
  }
}

}  // namespace uzk
