// Outflow limits and tracer transport of one column; see uzbalance.h.
#include "soil/uzbalance.h"

#include <algorithm>
#include <cmath>

namespace uzk {

namespace {

// Amount carried by the flux magnitude F (m/s) out of layer s (0: the input
// store) over dt, capped at phi * F * dt * 1000.
double Carry(const BalanceArrays& w, const TracerColumn& tc, const double* amount, int s, double F, double dt,
             double phi) {
  if (F <= 0) return 0.0;
  double m;
  if (s == 0) {
    if (tc.inputWater <= 0) return 0.0;
    m = dt * F * 1000.0 * amount[0] / tc.inputWater;
  } else {
    const double th = tc.thetaStart ? tc.thetaStart[s] : w.theta[s];
    if (th <= 0.001) return 0.0;
    m = (dt * F / w.d[s]) * amount[s] / th;
  }
  return std::min(m, phi * F * dt * 1000.0);
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

  for (int t = 1; t <= tracers->count; ++t) {
    const TracerColumn& tc = *tracers;
    const double* c0 = tc.start[t];
    double* c1 = tc.end[t];
    const double phi = tc.capFactor ? tc.capFactor[t] : 1.0;
    for (int i = 0; i <= n; ++i) c1[i] = c0[i];
    double out = 0, inter = 0, drain = 0, drains = 0;
    // An outflow of layer s: the limited part carries the layer's own
    // concentration. The part cut off is water that only passed through the
    // layer in the substep: it carries the concentration of the layer above
    // (the input store above layer 1), and its substance is taken from layer
    // s, which received it with that water. The caller keeps the cut part of
    // the lateral outflows in the layer (its water does not leave), so only
    // the flux to the layer below carries a cut part (passes: true).
    auto outflow = [&](int s, double raw, double limited, bool passes) {
      double mass = Carry(w, tc, c0, s, std::fabs(limited), dt, phi);
      if (passes && w.factor[s] <= 0.99999 && (s > 1 ? w.theta[s - 1] > 0.001 : tc.inputWater > 0))
        mass += Carry(w, tc, c0, s - 1, std::fabs(raw) - std::fabs(limited), dt, phi);
      c1[s] -= mass;
      return mass;
    };

    // Surface: infiltration brings the input store's amount; water pushed
    // up returns to the store.
    if (w.q[0] < 0) {
      // Not more than the store holds: water infiltrating beyond the input
      // (from the surface storage) carries none.
      const double mass = std::min(std::max(0.0, c1[0]), Carry(w, tc, c0, 0, -w.q[0], dt, phi));
      c1[0] -= mass;
      c1[1] += mass;
    } else if (w.q[0] > 0) {
      const double mass = Carry(w, tc, c0, 1, w.q[0], dt, phi);
      c1[1] -= mass;
      c1[0] += mass;
    }
    const int lastFlux = tc.lastFlux < 0 ? n : std::min(n, tc.lastFlux);
    for (int i = 1; i <= n; ++i) {
      const double qi = i <= lastFlux ? w.qLimited[i] : 0.0;
      if (qi < 0) {
        const double mass = outflow(i, w.q[i], qi, true);
        if (i < n)
          c1[i + 1] += mass;
        else
          out += mass;  // leaves the column at the bottom
      } else if (i <= lastFlux && w.q[i] > 0) {
        if (i < n) {
          const double mass = Carry(w, tc, c0, i + 1, w.q[i], dt, phi);
          c1[i + 1] -= mass;
          c1[i] += mass;
        } else if (tc.groundwater) {
          c1[n] += tc.groundwater[t] * w.q[n] * dt * 1000.0;  // rises from the groundwater
        }
      }
      inter += outflow(i, w.O1[i], w.O1Limited[i], false);
      const double drained = outflow(i, w.O2[i], w.O2Limited[i], false);
      drains += drained;
      drain += drained;
      drain += outflow(i, w.B[i], w.BLimited[i], false);
      if (tc.river && w.A[i] > 0) c1[i] += w.A[i] * tc.river[t] * dt * 1000.0;
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
      double amount = 0, water = 0;
      for (int i = g; i <= m; ++i) {
        amount += c1[i];
        water += w.theta[i] * w.d[i] * 1000.0;
      }
      const bool withGroundwater = c.groundwaterActive && tc.groundwater && tc.groundwaterStorage > 0;
      if (withGroundwater) {
        amount += tc.groundwater[t] * tc.groundwaterStorage;
        water += tc.groundwaterStorage;
      }
      const double mix = water > 0 ? amount / water : 0.0;
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
