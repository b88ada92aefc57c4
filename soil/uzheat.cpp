// Soil heat transport kernels of one column; see uzheat.h.
#include "soil/uzheat.h"

#include <algorithm>
#include <cmath>

namespace uzk {

void ThermalConductivity(double* lambda, const SoilConstants& sc, int n, const double* u, const double* theta,
                         double lambdaWater, double lambdaIce) {
  const soil_table_entry& soil = *sc.soil;
  for (int i = 1; i <= n; ++i) {
    const double phi = soil.theta_sat[i];
    const double th = theta[i];
    const double liquid = u[i];
    const double ls = sc.lambdaSolid[i];
    if (phi - th >= 0.01) {
      const double a = 1.0 - phi;
      const double s = a + th;
      double k = s * std::pow(ls, a / s) * std::pow(lambdaWater, liquid * th / s);
      if (liquid < 0.99) k *= std::pow(lambdaIce, (1.0 - liquid) * th / s);
      lambda[i] = k + (phi - th) * kLambdaAir;
    } else if (liquid >= 0.99) {
      lambda[i] = sc.solidPower[i] * sc.waterPower[i];
    } else {
      lambda[i] = sc.solidPower[i] * std::pow(lambdaWater, liquid * th) * std::pow(lambdaIce, (1.0 - liquid) * th);
    }
  }
}

void LatentHeatTerm(const double* before, const double* after, double* X, int n, double latentHeat, double rhoWater) {
  for (int i = 1; i <= n; ++i) {
    const double x = before[i] - after[i];
    X[i] = x > 0 ? X[i] * x * latentHeat * rhoWater : 0.0;
  }
}

void HeatFluxes(double* G, const double* lambda, const double* d, const double* T, int n, double Tb, double Ts,
                double nFactor) {
  if (n < 1) return;
  G[0] = -2.0 * lambda[1] * (nFactor * Ts - T[1]) / d[1];
  for (int i = 1; i < n; ++i) G[i] = -lambda[i] * (T[i] - T[i + 1]) / ((d[i] + d[i + 1]) / 2.0);
  G[n] = -2.0 * lambda[n] * (T[n] - Tb) / d[n];
}

void TemperatureRates(double* rate, const double* G, const double* Cv, const double* d, int n, long dt) {
  for (int i = 1; i <= n; ++i) rate[i] = (G[i] - G[i - 1]) * static_cast<double>(dt) / (Cv[i] * d[i]);
}

void UpdateTemperatures(double* T, const double* Tbefore, const double* rate, const double* G, int n, bool limiter,
                        double Tb, double Ts) {
  for (int i = n; i >= 1; --i) {
    T[i] += rate[i];
    if (!limiter) continue;
    const double below = i == n ? Tb : Tbefore[i + 1];
    const double above = i == 1 ? Ts : Tbefore[i - 1];
    const bool upperUp = G[i - 1] >= 0;
    const bool lowerUp = G[i] >= 0;
    if (upperUp && lowerUp)
      T[i] = std::min(T[i], below);  // heat rises through the layer
    else if (upperUp)
      T[i] = std::max(T[i], std::min(below, above));  // heat leaves on both sides
    else if (!lowerUp)
      T[i] = std::min(T[i], above);  // heat moves down through the layer
    else
      T[i] = std::min(T[i], std::max(below, above));  // heat enters from both sides
  }
}

void ImplicitHeatStep(const HeatCell& h, const double* lambda, const double* Cv, const double* d, double* T, int n,
                      double* a, double* b, double* cc, double* r, const double* w, const double* f, double dt) {
  if (n < 1) return;
  const bool carried = h.method >= 12 && w && f;
  const double Tw = h.snowOnGround ? 0.0 : h.airTemperature;
  const double Tb = h.heatFluxBoundary ? T[n] + h.heatFlux * d[n] / (2.0 * lambda[n]) : h.lowerTemperature;
  auto k = [&](int i) { return kHeatCapacityWater * dt / (d[i] * Cv[i]); };
  for (int i = 1; i <= n; ++i) {
    a[i] = i > 1 ? -2.0 * lambda[i - 1] * dt / (d[i] * (d[i - 1] + d[i]) * Cv[i]) : 0.0;
    cc[i] = i < n ? -2.0 * lambda[i] * dt / (d[i] * (d[i] + d[i + 1]) * Cv[i]) : 0.0;
    double top = 0;     // coefficient of the surface temperature n * Ta
    double bottom = 0;  // coefficient of the lower boundary temperature
    if (i == 1) top = 2.0 * lambda[1] * dt / (d[1] * d[1] * Cv[1]);
    if (i == n) bottom = 2.0 * lambda[n] * dt / (d[n] * d[n] * Cv[n]);
    double entering = 0;  // heat of water entering directly, as a coefficient of its temperature
    if (carried) {
      const double ki = k(i);
      // Upwind: water entering from above or below brings that side's
      // temperature (f is negative when it moves down).
      if (f[i - 1] < 0) {
        if (i == 1)
          top -= f[0] * ki;
        else
          a[i] += f[i - 1] * ki;
      }
      if (f[i] > 0) {
        if (i == n)
          bottom += f[n] * ki;
        else
          cc[i] -= f[i] * ki;
      }
      entering = -w[i] * ki;
    }
    b[i] = 1.0 - a[i] - cc[i] + top + bottom + entering;
    r[i] = T[i] + top * h.nFactor * h.airTemperature + bottom * Tb + entering * (i == n && n > 1 ? Tb : Tw);
  }
  for (int i = 2; i <= n; ++i) {
    const double m = a[i] / b[i - 1];
    b[i] -= m * cc[i - 1];
    r[i] -= m * r[i - 1];
  }
  T[n] = r[n] / b[n];
  for (int i = n - 1; i >= 1; --i) T[i] = (r[i] - cc[i] * T[i + 1]) / b[i];
  for (int i = 1; i <= n; ++i)
    if (!std::isfinite(T[i])) h.fpe = true;
}

}  // namespace uzk
