// Soil water kernels of one column; see uzkernels.h for the conventions.
#include "soil/uzkernels.h"

#include <algorithm>
#include <cmath>

#include "soil/uzlateral.h"

namespace uzk {

void SoilConstants::Build(const soil_table_entry& entry, double lambdaWater, double lambdaDrySoil) {
  soil = &entry;
  layers = entry.layers;
  const size_t size = static_cast<size_t>(std::max(layers, 0)) + 1;
  thetaDrainable.assign(size, 0.0);
  solidPower.assign(size, 0.0);
  waterPower.assign(size, 0.0);
  lambdaSolid.assign(size, 0.0);
  suctionFalls.assign(size, 0);
  materialBelow.assign(size, 0);
  for (int i = 1; i <= layers; ++i) {
    const std::vector<double>& th = entry.WaterContentTable(i);
    const std::vector<double>& hs = entry.SuctionSteps(i);
    const int n = entry.N2;
    bool falls = n >= 2 && static_cast<int>(th.size()) > n && static_cast<int>(hs.size()) > n && hs[1] >= 0;
    for (int k = 1; falls && k <= n; ++k)
      falls = std::isfinite(th[k]) && std::isfinite(hs[k]) && (k == n || (th[k] >= th[k + 1] && hs[k] <= hs[k + 1]));
    suctionFalls[i] = falls ? 1 : 0;
    if (i < layers)
      materialBelow[i] = entry.ksat[i] != entry.ksat[i + 1] || entry.theta_sat[i] != entry.theta_sat[i + 1] ||
                                 entry.theta_res[i] != entry.theta_res[i + 1] || entry.alpha[i] != entry.alpha[i + 1] ||
                                 entry.Par_n[i] != entry.Par_n[i + 1] || entry.Par_m[i] != entry.Par_m[i + 1] ||
                                 entry.Par_tau[i] != entry.Par_tau[i + 1]
                             ? 1
                             : 0;
    if (!entry.WaterContentTable(i).empty()) thetaDrainable[i] = entry.InterpolateTableInverse(i, kDrainableSuction);
    double ls = static_cast<size_t>(i) < entry.DryThermalConduct.size() ? entry.DryThermalConduct[i] : -1.0;
    // A conductivity of 0 or below is not given: the solids of every soil conduct heat.
    if (!(ls > 0)) ls = lambdaDrySoil;
    const double ts = entry.theta_sat[i];
    lambdaSolid[i] = ls;
    solidPower[i] = std::pow(ls, 1.0 - ts);
    waterPower[i] = std::pow(lambdaWater, ts);
  }
}

std::vector<SoilConstants> BuildSoilConstants(const soil_table_entry* table, int count, double lambdaWater,
                                              double lambdaDrySoil) {
  std::vector<SoilConstants> out(static_cast<size_t>(std::max(count, 0)) + 1);
  for (int k = 0; k <= count; ++k) out[k].Build(table[k], lambdaWater, lambdaDrySoil);
  return out;
}

namespace {

// Deepest layer index k of the active range: from start, extended while the
// next layer exchanges water with a river.
int RangeEnd(const Column& c, int start, const double* A, const double* B) {
  int k = start;
  while (k < c.maxLayers && ((A && A[k + 1] > 0) || (B && B[k + 1] > 0))) ++k;
  return k;
}

// Layers 1..m that a kernel updates.
int ActiveLayers(const Column& c, int start, const double* A, const double* B) {
  return std::min(c.maxLayers, RangeEnd(c, start, A, B) + 2);
}

inline double Frozen(const double* F, int i) {
  return F ? F[i] : 1.0;
}

// Relative conductivity of layer i at the water content theta: that of its
// liquid water in frozen soil.
inline double Kr(const soil_table_entry& soil, int i, double theta, const double* F) {
  const double x = F ? F[i] * theta : theta;
  return soil.InterpolateTableMin(i, x, x);
}

// Subtracts the smaller of value and store from both (both positive).
inline void SetAgainst(double& value, double& store) {
  const double x = std::min(value, store);
  value -= x;
  store -= x;
}

// True when the heads of layers i and i + 1 keep their reversed order (by
// more than 1 mm) for every flux between p0 and 0 and every outflow of
// layer i between s0 and 0: the water contents of those lie between those
// of the corners, and the heads rise with the water content. The margin
// covers the rounding of the heads at any point between the corners.
bool ReversedThroughout(const soil_table_entry& soil, int i, double thetaOldI, double thetaOldJ, double qAbove,
                        double qBelow, double outflowJ, double p0, double s0, double dt, double di, double dj,
                        double ci, double cj, double Hi, double Hj, double ui, double uj) {
  if (!(di > 0 && dj > 0 && dt > 0)) return false;
  const double pLow = std::min(p0, 0.0), pHigh = std::max(p0, 0.0);
  const double sLow = std::min(s0, 0.0), sHigh = std::max(s0, 0.0);
  const double fi = dt / di, fj = dt / dj;
  const double iLow = (pLow - sHigh - qAbove) * fi, iHigh = (pHigh - sLow - qAbove) * fi;
  const double jLow = (qBelow - outflowJ - pHigh) * fj, jHigh = (qBelow - outflowJ - pLow) * fj;
  const double wi = 1e-12 * (std::fabs(thetaOldI) + std::fabs(iLow) + std::fabs(iHigh));
  const double wj = 1e-12 * (std::fabs(thetaOldJ) + std::fabs(jLow) + std::fabs(jHigh));
  const double hiLow = ci - soil.InterpolateTable(i, ui * (thetaOldI + iLow - wi));
  const double hiHigh = ci - soil.InterpolateTable(i, ui * (thetaOldI + iHigh + wi));
  const double hjLow = cj - soil.InterpolateTable(i + 1, uj * (thetaOldJ + jLow - wj));
  const double hjHigh = cj - soil.InterpolateTable(i + 1, uj * (thetaOldJ + jHigh + wj));
  const double margin = 1e-7 + 1e-10 * (std::fabs(hiLow) + std::fabs(hiHigh) + std::fabs(hjLow) + std::fabs(hjHigh));
  if (Hi > Hj) return hjLow > hiHigh + 0.001 + margin;
  if (Hj > Hi) return hiLow - 0.001 > hjHigh + margin;
  return false;
}

// True when halving x 51 times by subtraction is exact: zero, or finite and
// large enough that x * 2^-52 is still a normal number.
inline bool HalvesExactly(double x) {
  return x == 0 || (std::isfinite(x) && std::fabs(x) >= 0x1p-960);
}

}  // namespace

namespace {

// The head of the lower layer that the last LimitFlux found at the flux it
// returned: the next interface's upper layer, whose water content at that
// flux is the same number (the same terms in the same order), so its head
// needs no second look-up.
struct HeadCarry {
  int layer = 0;
  double theta = 0;
  double head = 0;
};

// The bisection of LimitFluxCarry where the heads of the flux q came out in
// reversed order: the flux p (and the outflow S[i] of layer i) moves until
// the new heads keep the order of the old ones within 1 mm; where it takes
// heads, ti, tj, hi and hj are those of the flux returned. Kept out of line: it runs seldom, and
// the plain limit is taken in every pass for every interface.
[[gnu::noinline]] double BisectFlux(const Column& c, double thetaOldI, double thetaOldJ, double qAbove, double qBelow,
                                    double dt, int i, double* S, double Hi, double Hj, double fi, double fj, double di,
                                    double dj, double ci, double cj, int& intervalI, int& intervalJ, double p,
                                    double& ti, double& tj, double& hi, double& hj) {
  const soil_table_entry& soil = *c.soil;
  auto reversed = [&]() { return (Hi > Hj && hj > hi + 0.001) || (Hj > Hi && hi - 0.001 > hj); };
  const double p0 = p;
  const double s0 = S[i];
  double factor = 0.5;
  double direction = -1.0;
  bool still = true;
  // Mostly no flux between 0 and p0 mends the order: every step then finds
  // it reversed and halves the way to 0, and those steps need no heads.
  if (c.constants && c.constants->suctionFalls[i] && c.constants->suctionFalls[i + 1] && fi >= 0 && fj >= 0 &&
      ReversedThroughout(soil, i, thetaOldI, thetaOldJ, qAbove, qBelow, S[i + 1], p0, s0, dt, di, dj, ci, cj, Hi, Hj,
                         fi, fj)) {
    // Each step takes away half of what is left, which is exact while the
    // numbers stay normal: after 51 steps p0 * 2^-51 is left (+0 of a zero).
    if (HalvesExactly(p0) && HalvesExactly(s0)) {
      p = p0 == 0 ? 0.0 : p0 * 0x1p-51;
      S[i] = s0 == 0 ? 0.0 : s0 * 0x1p-51;
      return p;
    }
    for (int step = 0; step < 51; ++step) {
      p += direction * factor * p0;
      S[i] += direction * factor * s0;
      factor *= 0.5;
    }
    return p;
  }
  // (The heads below are those of the flux returned.)
  for (int step = 0; step < 51; ++step) {
    p += direction * factor * p0;
    S[i] += direction * factor * s0;
    ti = thetaOldI + (p - S[i] - qAbove) * dt / di;
    tj = thetaOldJ + (qBelow - S[i + 1] - p) * dt / dj;
    hi = ci - soil.InterpolateTable(i, fi * ti, intervalI);
    hj = cj - soil.InterpolateTable(i + 1, fj * tj, intervalJ);
    if (reversed()) {
      if (!still) direction = -direction;
      still = true;
    } else {
      if (std::fabs(hj - hi) <= 0.001) break;
      if (still) {
        still = false;
        direction = -direction;
      }
    }
    factor *= 0.5;
  }
  return p;
}

// The flux q across the bottom of layer i, limited so that the heads of
// layers i and i + 1 at its water contents keep the order of H (see
// LimitFlux). Inlined into the flux pass; carry passes the lower layer's
// head at the flux returned on to the next interface when it is known.
inline double LimitFluxCarry(const Column& c, double thetaOldI, double thetaOldJ, double qAbove, double q,
                             double qBelow, double dt, int i, const double* z, double* S, const double* H,
                             const double* F, HeadCarry* carry) {
  const soil_table_entry& soil = *c.soil;
  // The heads of frozen layers are those of their liquid water.
  const double fi = Frozen(F, i), fj = Frozen(F, i + 1);
  const double di = z[i - 1] - z[i];
  const double dj = z[i] - z[i + 1];
  const double ci = (z[i - 1] + z[i]) / 2.0;
  const double cj = (z[i] + z[i + 1]) / 2.0;
  const double thetaSat = soil.theta_sat[i];
  double p = q;
  double ti = thetaOldI + (p - S[i] - qAbove) * dt / di;
  if (ti > thetaSat && p > 0) {
    const double r = std::fabs((thetaSat - thetaOldI) * di / dt) / p;
    p = r < 1.0 ? r * p : 0.0;
    ti = thetaOldI + (p - S[i] - qAbove) * dt / di;
  }
  double tj = thetaOldJ + (qBelow - S[i + 1] - p) * dt / dj;
  // The bisection moves ti and tj a little at a time, and so do the passes
  // of a substep: each look-up tries the table interval of its last one first.
  int ownI = 0, ownJ = 0;
  const int stride = c.maxLayers + 2;
  int& intervalI = c.intervals ? c.intervals[i] : ownI;
  int& intervalJ = c.intervals ? c.intervals[stride + i] : ownJ;
  double hi = carry && carry->layer == i && carry->theta == ti ? carry->head
                                                               : ci - soil.InterpolateTable(i, fi * ti, intervalI);
  // Each layer's head from its own table (the layers of two horizons differ).
  double hj = cj - soil.InterpolateTable(i + 1, fj * tj, intervalJ);
  if (carry) carry->layer = 0;
  const double Hi = H[i];
  const double Hj = H[i + 1];
  if ((Hi > Hj && hj > hi + 0.001) || (Hj > Hi && hi - 0.001 > hj))
    p = BisectFlux(c, thetaOldI, thetaOldJ, qAbove, qBelow, dt, i, S, Hi, Hj, fi, fj, di, dj, ci, cj, intervalI,
                   intervalJ, p, ti, tj, hi, hj);
  if (carry) *carry = HeadCarry{i + 1, tj, hj};
  return p;
}

}  // namespace

double LimitFlux(const Column& c, double thetaOldI, double thetaOldJ, double qAbove, double q, double qBelow, double dt,
                 int i, const double* z, double* S, const double* H, const double* F) {
  return LimitFluxCarry(c, thetaOldI, thetaOldJ, qAbove, q, qBelow, dt, i, z, S, H, F, nullptr);
}

namespace {

double WaterInRange(const soil_table_entry& soil, int layers, const double* d, const double* theta, int mode,
                    double top, double bottom) {
  double total = 0;
  for (int i = 1; i <= layers; ++i) total += d[i];
  double D = total - 1e-8;
  if (bottom <= D && bottom != 9999) D = bottom;
  // An empty range holds no water (mode 1); its relative content counts as full.
  if (D - top <= 1e-8) return mode == 1 ? 0.0 : 1.0;
  auto share = [&](int i, double length) {
    return mode == 1 ? theta[i] * length : theta[i] / soil.theta_sat[i] * length;
  };
  double sum = 0;
  double zTop = 0;
  int i = 1;
  // The layer that holds the top; a top within 1e-8 above a boundary belongs below it.
  while (i < layers && zTop + d[i] - 1e-8 <= top) zTop += d[i++];
  double zBottom = zTop + d[i];
  if (D <= zBottom) return mode == 1 ? theta[i] * (D - top) : theta[i] / soil.theta_sat[i];
  sum += share(i, zBottom - top);
  for (++i; i <= layers; ++i) {
    zTop = zBottom;
    zBottom = zTop + d[i];
    if (D <= zBottom) {
      sum += share(i, D - zTop);
      break;
    }
    sum += share(i, d[i]);
  }
  return mode == 1 ? sum : sum / (D - top);
}

}  // namespace

double WaterContentInDepthRange(const soil_table_entry& soil, int layers, const double* d, const double* theta,
                                int mode, double top, double bottom) {
  if (bottom <= 0 || top < -0.0001) return kNodata;
  return WaterInRange(soil, layers, d, theta, mode, top, bottom);
}

double WaterContentToDepth(const soil_table_entry& soil, int layers, const double* d, const double* theta, int mode,
                           double bottom) {
  return WaterInRange(soil, layers, d, theta, mode, 0.0, bottom);
}

int RootExtraction(const Column& c, const RootUptake& r, const double* d, const double* theta, const double* thetaLow,
                   double* relThickness, double* w, double* e, double* evaporation, double* sum) {
  const soil_table_entry& soil = *c.soil;
  const double R = std::max(r.rootDepth, d[1]);
  // Weights of the rooted layers down to the root tip (1e-5 m margin).
  int N = 0;
  double zTop = 0;
  double total = 0;
  for (int i = 1; i <= c.maxLayers; ++i) {
    const double zBottom = zTop + d[i];
    const bool last = zBottom >= R + 1e-5;
    const double delta = last ? R - zTop : d[i];
    relThickness[i] = delta / R;
    const double zm = zTop + delta / 2.0;
    w[i] = (1.0 + r.shape * zm / R) * (1.0 - zm / R) * delta / R;
    total += w[i];
    N = i;
    zTop = zBottom;
    if (last) break;
  }
  for (int i = 1; i <= N; ++i) w[i] = total > 0 ? w[i] / total : 0.0;

  // Water stress: the withheld weight goes to the next layer (at most twice
  // its own weight more) or stays unmet.
  double unmet = 0;
  for (int i = 1; i <= N; ++i) {
    const double ts = soil.theta_sat[i];
    const double tr = soil.theta_res[i];
    double thetaDry = r.thetaDry ? r.thetaDry[i] : soil.InterpolateTableInverse(i, r.drySuction);
    if (tr >= thetaDry) thetaDry = (ts + 2.0 * tr) / 3.0;
    double withheld = 0;
    if (theta[i] > r.wetLimit * ts) {
      const double x0 = r.wetLimit * ts;
      const double x = std::min(ts, theta[i]);
      const double reduction = ts == x0 ? 1.0 : (1.0 * (ts - x) + r.wetReduction * (x - x0)) / (ts - x0);
      if (reduction < 1.0) withheld = 1.0 - reduction;
    } else if (thetaDry > theta[i]) {
      if (theta[i] <= thetaLow[i]) {
        withheld = 1.0;
      } else {
        const double ratio = (theta[i] - thetaLow[i]) / (thetaDry - thetaLow[i]);
        if (ratio < 1.0) withheld = 1.0 - ratio;
      }
    }
    if (withheld <= 0) continue;
    const double x = withheld * w[i];
    w[i] -= x;
    if (i == N || i >= r.passLimit) {
      unmet += x;
    } else if (x > 2.0 * w[i + 1]) {
      unmet += x - 2.0 * w[i + 1];
      w[i + 1] *= 3.0;
    } else {
      w[i + 1] += x;
    }
  }
  for (int i = 1; i <= N; ++i) {
    e[i] = r.coverage * r.demand * w[i];
    sum[i] += e[i];
  }
  for (int i = 1; i <= c.maxLayers; ++i) evaporation[i] = 0;

  // Soil evaporation from the layers above the evaporation depth.
  double E = unmet * r.coverage * r.demand + r.evaporation;
  double depth = 0;
  for (int i = 1; i <= c.maxLayers && (i == 1 || depth < r.evapDepth) && E > 0; ++i) {
    const double ts = soil.theta_sat[i];
    const double dry = (ts - theta[i]) / ts;
    double give = (1.0 - dry * dry) * E;
    const double uptake = i <= N ? e[i] : 0.0;
    if (theta[i] <= (uptake * r.coverage + give) * r.dt / d[i]) give = (1.0 - r.coverage) * theta[i] * d[i] / r.dt;
    give = std::max(0.0, std::min(E, give));
    evaporation[i] = give;
    E -= give;
    sum[0] += give;
    depth += d[i];
  }
  return N;
}

void ComputeHeads(const Column& c, int oldSuctionKnown, int L, double& meanSuction, const double* thetaOld,
                  const double* theta, const double* A, const double* B, double* psiOld, double* H, const double* z,
                  const double* F) {
  if (c.maxLayers < 2) return;
  const soil_table_entry& soil = *c.soil;
  const int m = ActiveLayers(c, std::max(c.g, L), A, B);
  // The suction at the substep start of every layer: the active range can
  // grow in later passes (a river exchange below it), and those layers must
  // not find the suction of another cell in the thread's work array.
  if (oldSuctionKnown == 0)
    for (int i = 1; i <= c.maxLayers; ++i) {
      int own = 0;
      int& interval = c.intervals ? c.intervals[2 * (c.maxLayers + 2) + i] : own;
      psiOld[i] = soil.InterpolateTable(i, Frozen(F, i) * thetaOld[i], interval);
    }
  for (int i = 1; i <= m; ++i) {
    const double f = Frozen(F, i);
    // The water content of a layer moves little from pass to pass: the look-up
    // tries the table interval of the last pass first.
    int own = 0;
    int& interval = c.intervals ? c.intervals[2 * (c.maxLayers + 2) + i] : own;
    // A layer whose water has not moved since the substep's start (the first
    // pass, the saturated zone) has the suction of the start: the mean of two
    // equal numbers is that number.
    const double psi =
        theta[i] == thetaOld[i] ? psiOld[i] : (soil.InterpolateTable(i, f * theta[i], interval) + psiOld[i]) / 2.0;
    meanSuction = psi;
    const double ci = (z[i - 1] + z[i]) / 2.0;
    // The layer that holds the table keeps the head of its own suction: a head
    // set to the table height estimated from its water content would differ
    // from the head of the hydrostatic profile and drive a flux in a column at
    // rest. The saturated zone below it is hydrostatic: its top layer keeps
    // the head of its own suction, the layers below share that head. So a
    // layer keeps its head when it fills and the table's layer becomes the
    // one above it (with the head of the layer above, a layer that had just
    // filled gave no water up and took none until that layer had dried to
    // the height of its middle, then gave a pulse of capillary rise).
    H[i] = ci - psi;
    const int top = c.g + 1;
    if (c.g >= 1 && top < i && H[top] > ci) H[i] = H[top];
  }
}

void ComputeFluxes(Column& c, int L, double topInflow, double dt, const double* thetaOld, const double* thetaA,
                   const double* thetaB, double* A, double* B, const double* thetaSat, const double* z, double* H,
                   const double* d, double* S, double* q, double& drainageFlow, const double* F, double* tracer,
                   double& inflowSum, double& outflowSum) {
  const soil_table_entry& soil = *c.soil;
  const int n = c.maxLayers;
  // Saturated conductivities; below the permafrost thaw depth the reduced
  // conductivity of frozen ground.
  const double* Ks = soil.ksat.data();
  if (c.thawDepth > kNodata && c.work) {
    double depth = 0;
    for (int i = 1; i <= n; ++i) {
      depth += d[i];
      c.work[i] = depth <= c.thawDepth ? soil.ksat[i] : c.reducedConductivity;
    }
    // Frozen top layer: the input cannot enter faster than frozen ground conducts.
    if (depth > 0 && d[1] > c.thawDepth && c.reducedConductivity < std::fabs(topInflow))
      topInflow = std::copysign(c.reducedConductivity, topInflow);
    Ks = c.work;
  }
  // Infiltration: at most what the surface layer passes with its surface
  // saturated, the Darcy flux from a water film at the surface to the
  // layer's middle (frozen water narrows the pores as between the layers).
  // The rest stays on the surface.
  if (topInflow > 0 && n >= 1 && d[1] > 0) {
    const double K = Ks[1] * Kr(soil, 1, thetaSat[1], F);
    const double passed = std::max(0.0, K * (z[0] - H[1]) / (d[1] / 2.0));
    if (topInflow > passed) topInflow = passed;
  }
  q[0] = -topInflow;
  if (c.groundwaterActive && c.river)
    LateralFlows(c, *c.river, dt, c.g, A, B, tracer, thetaSat, thetaA, thetaB, z, H, d, inflowSum, outflowSum);

  int k = RangeEnd(c, std::max(c.g + 1, L), A, B);
  if (k >= n) k = n - 1;
  if (c.conductance)
    for (int i = 0; i <= n; ++i) c.conductance[i] = 0;
  const double maxratio = soil.maxratio;
  const int g = c.g;
  const int clay = c.clayLayer;
  drainageFlow = 0;
  const double slope = std::min(c.tanBeta, 1.0);
  // The share of the substep in which the table lies below the drains, the
  // table moving on a straight line from its height at the substep's start
  // to that of the water contents of the iteration: a table that rises
  // above the drains within a long substep stops them when it does (they
  // ran the whole substep, and one of an hour drained what shorter ones left
  // to the table), one that falls below them starts them.
  double drainShare = 0;
  if (c.drainageModelled && c.drainageLevel >= 1 && c.drainageLevel <= k && c.constants) {
    const double from = -c.groundwaterDistance - c.drainageDepth;
    const double to =
        z[0] - WaterTableHeight(z, thetaB, thetaSat, c.constants->thetaDrainable.data(), n) - c.drainageDepth;
    if (from > 0 && to > 0)
      drainShare = 1;
    else if (from > 0 || to > 0)
      drainShare = std::max(from, to) / std::fabs(to - from);
  }
  const char* materialBelow = c.constants ? c.constants->materialBelow.data() : nullptr;
  // The relative conductivity of layer i + 1 found for the interface below
  // layer i is that of the interface's upper layer in the next one; with one
  // water content for both (thetaA == thetaB, whose mean is that content
  // exactly) it is also the one of the layer's lateral outflow.
  const bool oneContent = thetaA == thetaB;
  double krBelow = 0;
  int krBelowLayer = 0;
  for (int i = 1; i <= k; ++i) {
    double K;
    double krOwn = 0;
    bool krOwnKnown = false;
    if (clay >= 1 && (i == clay || i + 1 == clay)) {
      K = c.clayConductivity * Kr(soil, clay, (thetaA[clay] + thetaB[clay]) / 2.0, F);
    } else if (i <= g) {
      // Each layer's relative conductivity from its own table, at its liquid water.
      double ki = krBelowLayer == i ? krBelow : Kr(soil, i, (thetaA[i] + thetaB[i]) / 2.0, F);
      double kj = Kr(soil, i + 1, (thetaA[i + 1] + thetaB[i + 1]) / 2.0, F);
      krOwn = ki;
      krOwnKnown = oneContent;
      krBelow = kj;
      krBelowLayer = i + 1;
      if (ki > kj * maxratio)
        kj = ki / maxratio;
      else if (ki * maxratio < kj)
        ki = kj / maxratio;
      if (ki == 0 && kj != 0) ki = kj;
      if (kj == 0 && ki != 0) kj = ki;
      const double Ka = ki * Ks[i];
      const double Kb = kj * Ks[i + 1];
      const bool frozen = Frozen(F, i) < 1.0 || Frozen(F, i + 1) < 1.0;
      if (i >= g - 1 || frozen) {
        // Near the table, and where ice narrows the pores of either layer,
        // the water passes the two half layers one after the other: the
        // harmonic mean of their conductivities by thickness (the water
        // that enters a frozen layer freezes and does not widen its pores as
        // a front wets a dry layer).
        const double den = Kb * d[i] + Ka * d[i + 1];
        K = den != 0 ? (d[i] + d[i + 1]) * Ka * Kb / den : 0.0;
      } else if (materialBelow && materialBelow[i]) {
        // Between two horizons the water crosses at the suction of the layer
        // it leaves (the higher head): the horizon it enters conducts it as
        // at that suction, and no faster than the layer it leaves does. So a
        // fast horizon does not drive more water into a slow one than that
        // conducts wet, while a wetting front still enters a dry slow
        // horizon at its wet conductivity (which a harmonic mean, taking the
        // dry layer below the front, would not).
        const bool down = H[i] > H[i + 1];
        const int from = down ? i : i + 1, into = down ? i + 1 : i;
        const double suction = std::max(0.0, (z[from - 1] + z[from]) / 2.0 - H[from]);
        const double thetaInto = soil.InterpolateTableInverse(into, suction);
        K = std::min(down ? Ka : Kb, Ks[into] * soil.InterpolateTableMin(into, thetaInto, thetaInto));
      } else {
        // Elsewhere above the table the larger of the two: the wetter layer,
        // from which a front moves on.
        K = std::max(Ka, Kb);
      }
    } else {
      K = Ks[i];
    }
    q[i] = DarcyFlux(K, H[i], H[i + 1], d[i], d[i + 1]);
    if (c.conductance) c.conductance[i] = K / ((d[i] + d[i + 1]) / 2.0);
    // The top layer of the saturated zone takes from the table's layer only
    // the water it has room for (the layers below it share its head and pass
    // nothing on): a larger flux into it was pushed back by the excess
    // update, and in a fast soil the two alternated from pass to pass.
    if (i == g && q[i] < 0) q[i] = std::max(q[i], -std::max(0.0, thetaSat[i + 1] - thetaOld[i + 1]) * d[i + 1] / dt);

    // Interflow and drainage of layer i, above the groundwater layer only.
    S[i] = 0;
    if (g <= i || z[i] - H[i] >= kDrainableSuction) continue;
    const double drainable = std::max(0.0, (thetaB[i] - c.constants->thetaDrainable[i]) * d[i] / dt);
    const double kr = krOwnKnown ? krOwn : Kr(soil, i, thetaB[i], F);
    if (Ks[i] > Ks[i + 1]) S[i] = kr * Ks[i] * d[i] * c.channelDensity * slope;
    // Drains at a distance of 0, below 0 or missing do nothing. They work
    // while the water table lies below them (drainShare): a layer of drains
    // below the table drew the saturated zone dry through the whole substep
    // whenever a deeper layer fell a little below saturation (the table's
    // layer is the lowest one not full), and a long substep drained what
    // short ones would not.
    const double e = c.drainageDistance;
    if (c.drainageModelled && i == c.drainageLevel && e > 0 && std::isfinite(e) && drainShare > 0) {
      const double D = drainShare * 2.0 * kr * Ks[i] * d[i] / e * c.cellsize / e;
      drainageFlow = std::min(D, drainable);
      S[i] += drainageFlow;
    }
    S[i] = std::min(S[i], drainable);
  }
  // Layers at and below the groundwater layer have no lateral outflow.
  for (int i = std::max(k + 1, 1); i <= n; ++i) S[i] = 0;
  HeadCarry carry;
  for (int i = 1; i <= k; ++i)
    q[i] = LimitFluxCarry(c, thetaOld[i], thetaOld[i + 1], q[i - 1], q[i], q[i + 1], dt, i, z, S, H, F, &carry);
  for (int i = 0; i <= k; ++i)
    if (!std::isfinite(q[i])) c.fpe = true;
}

void UpdateThetaWithExcess(const Column& c, int passLimit, int L, double* A, double* B, const double* thetaOld,
                           double* thetaNew, const double* thetaSat, const double* thetaRes, double* q, double* S,
                           const double* d, double& sumA, double& sumB, double dt) {
  const int m = ActiveLayers(c, std::max(c.g + 3, L), A, B);
  const bool exchange = c.groundwaterActive;
  for (int pass = 0; pass < passLimit; ++pass) {
    bool changed = false;
    for (int i = m; i >= 1; --i) {
      thetaNew[i] = thetaOld[i] + (q[i] - q[i - 1] - S[i] - B[i] + A[i]) * dt / d[i];
      // A layer within its bounds keeps its fluxes: none of them is
      // changed, and none is no number (which would make its content none).
      if (thetaNew[i] <= thetaSat[i] && thetaNew[i] >= thetaRes[i]) {
        if (S[i] < 0) S[i] = 0;
        continue;
      }
      double t = q[i - 1];
      double b = q[i];
      const double before[5] = {t, b, S[i], A[i], B[i]};
      auto aMayAbsorb = [&] { return exchange && c.surfaceInteraction == 2 && A[i] > 0; };
      auto bMayAbsorb = [&] { return exchange && c.surfaceInteraction >= 1 && B[i] > 0; };
      if (thetaNew[i] > thetaSat[i]) {
        // Excess water leaves through the fluxes (or lowers the river inflow).
        const double E = (thetaNew[i] - thetaSat[i]) * d[i] / dt;
        if (t <= 0 && b <= 0) {
          t += E;
          if (t > 0 && aMayAbsorb()) {
            if (A[i] < t) {
              t -= A[i];
              sumA -= A[i];
              A[i] = 0;
            } else {
              A[i] -= t;
              sumA -= t;
              t = 0;
            }
          }
        } else if (t <= 0 && b > 0) {
          t += E;
          if (t > 0) {
            b -= t;
            t = 0;
          }
          if (b < 0 && aMayAbsorb()) {
            A[i] += b;
            sumA += b;
            b = 0;
          }
        } else if (t > 0 && b >= 0) {
          b -= E;
          if (b < 0 && aMayAbsorb()) {
            A[i] += b;
            sumA += b;
            b = 0;
          }
        } else if (aMayAbsorb()) {
          const double x = std::min(E, A[i]);
          A[i] -= x;
          sumA -= x;
        }
      } else if (thetaNew[i] < thetaRes[i]) {
        // A deficit is made up by lowering the layer's outflows (an upward
        // flux at its top, a downward one at its bottom, its lateral outflow,
        // its exfiltration), each at most to none: no flux turns to draw
        // water from a neighbour, and no outflow grows. A layer that started
        // at or below its residual content is only kept from falling further;
        // one that gains water keeps it.
        const double D = thetaOld[i] > thetaRes[i] ? (thetaRes[i] - thetaNew[i]) * d[i] / dt
                                                   : (thetaOld[i] - thetaNew[i]) * d[i] / dt;
        // Sets the rest of the deficit against the lateral outflow, then
        // against the exfiltration; what neither holds stays a deficit.
        auto lowerLateral = [&](double rest) {
          if (S[i] > 0) SetAgainst(rest, S[i]);
          if (rest > 0 && bMayAbsorb()) {
            const double old = B[i];
            SetAgainst(rest, B[i]);
            sumB -= old - B[i];
          }
        };
        if (!(D > 0)) {
          // Nothing to make up.
        } else if (t > 0 && b <= 0) {
          t -= D;
          if (t < 0) {
            b -= t;
            t = 0;
          }
          if (b > 0) {
            lowerLateral(b);
            b = 0;
          }
        } else if (t > 0 && b > 0) {
          t -= D;
          if (t < 0) {
            lowerLateral(-t);
            t = 0;
          }
        } else if (t <= 0 && b > 0) {
          lowerLateral(D);
        } else {
          b += D;
          if (b > 0) {
            lowerLateral(b);
            b = 0;
          }
        }
      }
      q[i - 1] = t;
      q[i] = b;
      const double after[5] = {t, b, S[i], A[i], B[i]};
      bool layerChanged = false;
      for (int k = 0; k < 5; ++k) layerChanged = layerChanged || after[k] != before[k];
      if (layerChanged)
        changed = true;
      else if (S[i] < 0)
        S[i] = 0;
    }
    if (!changed) break;
  }
}

void CorrectFluxes(const Column& c, int L, const double* A, const double* B, const double* theta,
                   const double* thetaOld, double* q, const double* S, const double* d, double dt, const double* F) {
  if (!c.conductance || !c.solveWork) return;
  const soil_table_entry& soil = *c.soil;
  const int m = ActiveLayers(c, std::max(c.g, L), A, B);
  if (m < 1) return;
  const int stride = c.maxLayers + 2;
  double* p = c.solveWork;                // half the slope -dpsi/dtheta (m), heads use the mean suction
  double* cprime = c.solveWork + stride;  // Thomas algorithm
  double* rhs = c.solveWork + 2 * stride;
  double* delta = c.solveWork + 3 * stride;
  const double* G = c.conductance;
  for (int i = 1; i <= m; ++i) {
    // Layers below the table take the head of the table layer; they are saturated and stay so.
    p[i] = 0;
    if (i > c.g) continue;
    const double h = 1e-4;
    const double lo = std::max(soil.theta_res[i], theta[i] - h);
    const double hi = std::min(soil.theta_sat[i], theta[i] + h);
    if (hi > lo) {
      // Both water contents lie mostly in one table interval, mostly that of
      // the pass's heads: the look-ups try it first.
      int interval = c.intervals ? c.intervals[2 * stride + i] : 0;
      const double f = Frozen(F, i);
      const double psiLo = soil.InterpolateTable(i, f * lo, interval);
      p[i] = 0.5 * (psiLo - soil.InterpolateTable(i, f * hi, interval)) / (hi - lo);
    }
    if (!(p[i] > 0)) p[i] = 0;
  }
  p[m + 1] = 0;
  // delta_i - dt/d_i (dq_i - dq_{i-1}) = -R_i, dq_i = -G_i (p_i delta_i - p_{i+1} delta_{i+1}).
  auto g = [&](int i) { return i >= 1 && i < m ? G[i] : 0.0; };
  double prevC = 0, prevR = 0;
  for (int i = 1; i <= m; ++i) {
    const double f = dt / d[i];
    const double residual = theta[i] - thetaOld[i] - f * (q[i] - q[i - 1] - S[i] - B[i] + A[i]);
    const double a = i > 1 ? -f * g(i - 1) * p[i - 1] : 0.0;
    const double b = 1.0 + f * (g(i) + g(i - 1)) * p[i];
    const double cc = -f * g(i) * p[i + 1];
    const double den = b - a * prevC;
    cprime[i] = cc / den;
    rhs[i] = (-residual - a * prevR) / den;
    prevC = cprime[i];
    prevR = rhs[i];
  }
  delta[m] = rhs[m];
  for (int i = m - 1; i >= 1; --i) delta[i] = rhs[i] - cprime[i] * delta[i + 1];
  for (int i = 1; i < m; ++i) {
    const double dq = -g(i) * (p[i] * delta[i] - p[i + 1] * delta[i + 1]);
    if (!std::isfinite(dq)) continue;
    // The correction changes the size of a flux, never its direction, which
    // the heads give; a flux it would turn stays as the heads give it.
    // Linearised at a dry layer's steep suction it drove water against the
    // heads, alternately more and less from pass to pass (2.4 mm an hour from
    // a drying sandy loam layer into the wetter layer of the table below it,
    // where the heads moved water up), so that an hour's substep drained the
    // layer dry and then drew the water back up across the table.
    const double next = q[i] + dq;
    if (next * q[i] > 0) q[i] = next;
  }
}

double UpdateTheta(const Column& c, int iteration, int L, const double* A, const double* B, double* theta, double* mean,
                   const double* thetaOld, const double* q, const double* S, const double* d, int& count, double dt) {
  const int m = ActiveLayers(c, std::max(c.g, L), A, B);
  double largest = 0;
  for (int i = 1; i <= m; ++i) {
    const double previous = theta[i];
    const double next = thetaOld[i] + (q[i] - q[i - 1] - S[i] - B[i] + A[i]) * dt / d[i];
    theta[i] = next;
    if (!std::isfinite(next)) c.fpe = true;
    largest = std::max(largest, std::fabs(next - previous));
    if (iteration <= 3) {
      mean[i] = (next + previous) / 2.0;
    } else {
      count = iteration - 3;
      mean[i] = (count * mean[i] + next) / (count + 1);
    }
  }
  // Layers below the range of this pass exchange no water in it: they keep
  // their content of the substep's start, also when an earlier pass, whose
  // range reached further down with the exchange with a river, moved them.
  for (int i = std::max(m, 0) + 1; i <= c.maxLayers; ++i) theta[i] = mean[i] = thetaOld[i];
  return largest;
}

int UpdatedLayers(const Column& c, int L, const double* A, const double* B) {
  return ActiveLayers(c, std::max(c.g, L), A, B);
}

int GroundwaterLevelLayer(const double* theta, const double* thetaSat, int n) {
  for (int i = n; i >= 1; --i)
    if (!(theta[i] > kSaturatedShare * thetaSat[i])) return i;
  return 1;
}

double FilledShare(double theta, double thetaSat, double thetaDrainable) {
  const double full = kSaturatedShare * thetaSat;
  if (theta >= full) return 1.0;
  if (!(theta > thetaDrainable) || !(full > thetaDrainable)) return 0.0;
  return (theta - thetaDrainable) / (full - thetaDrainable);
}

double WaterTableHeight(const double* z, const double* theta, const double* thetaSat, const double* thetaDrainable,
                        int n) {
  if (n < 1) return z[0];
  double T = z[n];
  double weight = 1.0;
  for (int i = n; i >= 1 && weight > 0; --i) {
    const double s = FilledShare(theta[i], thetaSat[i], thetaDrainable[i]);
    T += weight * (z[i - 1] - z[i]) * s;
    weight *= std::clamp((s - 0.75) / 0.25, 0.0, 1.0);  // passed on to the layers above
  }
  return std::min(T, z[0]);
}

double LowerBoundaryFlux(int g, const double* f, double dtms) {
  // The flux across the top of the table's layer, not a storage change
  // derived from the table height: the height also moves with the water of
  // the layers above the table's layer (WaterTableHeight), and such a
  // storage term does not sum to the change of the saturated zone over time.
  return g >= 1 ? -f[g - 1] * dtms : 0.0;
}

void SumZoneRecords(void* in, void* inout, int* len, MPI_Datatype* /*datatype*/) {
  const ZoneRecord* a = static_cast<const ZoneRecord*>(in);
  ZoneRecord* b = static_cast<ZoneRecord*>(inout);
  for (int k = 0; k < *len; ++k) {
    b[k].n += a[k].n;
    b[k].RelCellSum += a[k].RelCellSum;
    b[k].sx = 0;
  }
}

}  // namespace uzk
