// River exchange and macropore infiltration of one soil column.
#include "soil/uzlateral.h"

#include <algorithm>
#include <cmath>

namespace uzk {

namespace {

// River-bottom layer: the first whose lower boundary reaches the bed.
int BedLayer(int n, double Dr, const double* d) {
  int mr = 1;
  for (double depth = d[1]; mr < n && depth < Dr; depth += d[++mr]) {
  }
  return mr;
}

bool Exchanges(const RiverCell& r) {
  if (r.lakeMode == 1 && r.lakeCell && r.ponding >= 1.0) return false;
  return (r.lakeMode == 0 || r.lakeMode == 1) && r.depth > 0 && r.width > 0;
}

}  // namespace

double RiverInflowDemand(const Column& c, const RiverCell& r, int g, const double* z, const double* H,
                         const double* d) {
  if (c.surfaceInteraction < 2 || !r.record || !Exchanges(r) || !(r.kolmation > 0)) return 0.0;
  const int n = c.maxLayers;
  g = std::clamp(g, 1, n);
  const int mr = BedLayer(n, r.depth, d);
  const double Zr = z[0] - r.depth;
  const double T = z[0] + c.groundwaterDistance;
  if (T > Zr) return 0.0;
  const double discharge = r.record[10], speed = r.record[11];
  const double h = speed > 0 ? (discharge / speed) / r.width : 0.0;
  const double Hb = mr <= g ? H[mr] : T;
  return std::max(0.0, (Zr + h - Hb) * r.kolmation * r.width * c.cellsize);
}

void LateralFlows(const Column& c, const RiverCell& r, double dt, int g, double* A, double* B, double* tracer,
                  const double* thetaSat, const double* thetaA, const double* thetaB, const double* z, const double* H,
                  const double* d, double& inflowSum, double& outflowSum) {
  const int n = c.maxLayers;
  for (int i = 0; i <= n; ++i) A[i] = B[i] = 0;
  inflowSum = outflowSum = 0;
  if (c.surfaceInteraction < 1) return;
  if (!Exchanges(r)) return;
  const double Dr = r.depth;
  const double W = r.width;
  g = std::clamp(g, 1, n);
  const int mr = BedLayer(n, Dr, d);
  const double Zr = z[0] - Dr;
  const double T = z[0] + c.groundwaterDistance;
  const double cell = c.cellsize;
  // The river's water in m3/s over the cell's own area: its length in the
  // cell is the cell size, the mm of the column cover the cell's area.
  const double area = c.cellArea > 0 ? c.cellArea : cell * cell;

  if (T <= Zr) {
    // River water infiltrates through the bed.
    if (c.surfaceInteraction == 1 || !r.record) return;
    const double* rec = r.record;
    const double discharge = rec[10], speed = rec[11];
    const double h = speed > 0 ? (discharge / speed) / W : 0.0;
    // At most the cell's share of the link less what it took before, a
    // discharge over the whole step: over this substep dt that is the rate
    // below.
    double Q = RiverInflowDemand(c, r, g, z, H, d);
    Q = std::min(Q, std::max(0.0, r.share - r.taken) * (dt > 0 ? r.stepSeconds / dt : 0.0));
    const double rate = Q / area;
    if (!(rate > 0)) return;
    // Below a bed that lies under the table layer the water enters between the
    // water surface (layer kw) and the bed.
    int kw = 0;
    if (mr > g && Dr - h > 0) {
      double depth = 0;
      for (kw = 1; kw < n; ++kw) {
        depth += d[kw];
        if (depth >= Dr - h) break;
      }
    }
    double remaining = rate;
    auto place = [&](int i) {
      const double room = std::max(0.0, (thetaSat[i] - (thetaA[i] + thetaB[i]) / 2.0) * d[i] / dt);
      A[i] = std::min(remaining, room);
      remaining -= A[i];
    };
    if (mr <= g) {
      for (int i = mr; i <= g && remaining > 0; ++i) place(i);
    } else {
      for (int i = mr - 1; i >= kw + 2 && remaining > 0; --i) place(i);
    }
    if (tracer)
      for (int t = 1; t <= std::min(r.tracers, 8); ++t) tracer[t] = rec[t];
    inflowSum = rate - remaining;
    return;
  }

  // Groundwater exfiltrates into the river.
  const double E = r.kolmation > 0 ? r.kolmation * (T - Zr) * W * cell / area : 0.0;
  const double drainable = (thetaA[g] + thetaB[g]) / 2.0 - c.constants->thetaDrainable[g];
  double remaining = E;
  auto take = [&](int i, double height) {
    B[i] = std::min(remaining, std::max(0.0, height * drainable / dt));
    remaining -= B[i];
  };
  if (mr <= g) {
    take(mr, T - Zr);
  } else {
    take(g, T - z[g]);
    for (int k = g + 1; k <= mr - 1; ++k) take(k, d[k]);
    take(mr, z[mr - 1] - Zr);
  }
  outflowSum = E - remaining;
}

double MacroporeInfiltration(const Column& c, double& P, const double* d, double* capacity, const double* thetaSat,
                             double* theta, double* macro, double tau) {
  const soil_table_entry& soil = *c.soil;
  const int n = c.maxLayers;
  for (int i = 0; i <= n; ++i) capacity[i] = macro[i] = 0;
  const double p0 = soil.PMacroThresh;
  const double cap = soil.MacroCapacity;
  if (P <= p0 || tau <= 0) return 0.0;
  // Layers whose middle lies above the macropore depth; capacity falls with depth.
  int N = 0;
  double top = 0;
  for (int k = 1; k <= n; ++k) {
    const double middle = top + d[k] / 2.0;
    if (middle >= soil.MacroDepth) break;
    capacity[k] = cap * std::pow(soil.CapacityRedu, middle);
    N = k;
    top += d[k];
  }
  double M = std::min(cap, P - p0);
  if (N == 0 || M <= 0) return 0.0;
  double total = 0;
  for (int k = N; k >= 1 && M > 0; --k) {
    const double V = (thetaSat[k] - theta[k]) * d[k] * 1000.0;
    if (V <= 0) continue;
    double taken;
    if (tau * M > V && tau * capacity[k] > V) {
      theta[k] = thetaSat[k];
      taken = V;
      M -= V / tau;
    } else if (M <= capacity[k]) {
      taken = tau * M;
      theta[k] += taken / (1000.0 * d[k]);
      M = 0;
    } else {
      taken = tau * capacity[k];
      theta[k] += taken / (1000.0 * d[k]);
      M -= capacity[k];
    }
    macro[k] = taken / tau;
    total += taken;
  }
  P -= total / tau;
  return total;
}

}  // namespace uzk
