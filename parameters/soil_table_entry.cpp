// Soil entry: the van Genuchten / Mualem look-up tables per layer and the
// soil heat and frozen-soil parameters.
#include "parameters/soil_table_entry.h"

#include <algorithm>
#include <cmath>

namespace {

// Suction steps of the retention tables, index 1..30.
const double kSuctionSteps[31] = {0.0,  0.0, 0.0005, 0.001, 0.002, 0.005, 0.007, 0.01,  0.02, 0.03, 0.05,
                                  0.07, 0.1, 0.15,   0.2,   0.3,   0.4,   0.6,   0.8,   1.2,  1.6,  2.6,
                                  3.45, 6.9, 20.0,   35.0,  50.0,  75.0,  100.0, 125.0, 150.0};

}  // namespace

soil_table_entry::soil_table_entry() = default;

soil_table_entry::soil_table_entry(int entryCode) : code(entryCode) {}

void soil_table_entry::AllocLayerArrays(int layerCount) {
  layers = layerCount;
  const size_t size = static_cast<size_t>(layerCount) + 1;
  for (auto* a : {&ksat, &thickness, &theta_sat, &theta_res, &Par_n, &Par_m, &alpha, &Par_tau, &k_recession,
                  &DryHeatCapacity, &DryDensity, &DryThermalConduct})
    a->assign(size, 0.0);
  for (auto* t : {&h, &theta, &thetaK, &Kr, &E, &F, &G}) t->assign(size, std::vector<double>());
  curves.assign(size, Curve());
}

void soil_table_entry::AllocHydraulicTables(int L) {
  const double ts = theta_sat[L];
  const double tr = theta_res[L];
  const double n = Par_n[L];
  const double m = Par_m[L];
  const double tau = Par_tau[L];
  const double a = alpha[L];
  auto Se = [&](double s) { return std::pow(1.0 / (1.0 + std::pow(a * s, n)), m); };

  h[L].assign(kSuctionSteps, kSuctionSteps + N2 + 1);
  theta[L].assign(static_cast<size_t>(N2) + 1, 0.0);
  thetaK[L].assign(static_cast<size_t>(N1) + 1, 0.0);
  Kr[L].assign(static_cast<size_t>(N1) + 1, 0.0);
  theta[L][0] = ts;
  thetaK[L][0] = ts;
  thetaK[L][1] = ts;
  theta[L][N2] = tr;
  thetaK[L][N1] = tr;
  Kr[L][0] = 1.0;
  for (int k = 1; k < N2; ++k) {
    const double se = Se(h[L][k]);
    theta[L][k] = tr + (ts - tr) * se;
    if (k < N1) {
      thetaK[L][k] = theta[L][k];
      const double inner = 1.0 - std::pow(1.0 - std::pow(se, 1.0 / m), m);
      Kr[L][k] = std::pow(se, tau) * inner * inner;
    }
  }
  Kr[L][N1] = 0.0;
  Curve& curve = curves[L];
  curve.h = h[L].data();
  curve.theta = theta[L].data();
  curve.thetaK = thetaK[L].data();
  curve.Kr = Kr[L].data();
  curve.thetaIndex = BuildIndex(theta[L], N2);
  curve.thetaKIndex = BuildIndex(thetaK[L], N1);

  const size_t fine = static_cast<size_t>(FineTableSize) + 1;
  E[L].assign(fine, 0.0);
  F[L].assign(fine, 0.0);
  G[L].assign(fine, 0.0);
}

int soil_table_entry::SearchDescending(const double* table, int n, double x) {
  // Callers ensure table[1] > x >= table[n]; the result lies in 1..n-1.
  int lo = 1;
  int hi = n;
  while (hi - lo > 1) {
    const int mid = (lo + hi) / 2;
    if (table[mid] > x)
      lo = mid;
    else
      hi = mid;
  }
  return lo;
}

soil_table_entry::NodeIndex soil_table_entry::BuildIndex(const std::vector<double>& table, int n) {
  NodeIndex index;
  if (n < 2 || n > 255 || static_cast<int>(table.size()) <= n) return index;
  for (int k = 1; k <= n; ++k)
    if (!std::isfinite(table[k]) || (k < n && table[k] < table[k + 1])) return index;
  const double range = table[1] - table[n];
  const double scale = kBuckets / range;
  if (!(range > 0.0) || !std::isfinite(scale)) return index;
  index.base = table[n];
  index.scale = scale;
  for (int b = 0; b < kBuckets; ++b) {
    // The interval of the bucket's upper end (its values lie at or beyond it).
    const double upper = table[n] + (b + 1) / scale;
    index.start[b] = static_cast<uint8_t>(upper >= table[1] ? 1 : SearchDescending(table.data(), n, upper));
  }
  index.usable = true;
  return index;
}

double soil_table_entry::InterpolateTableInverse(int L, double s) const {
  const std::vector<double>& hs = h[L];
  if (s >= hs[N2]) return theta[L][N2];
  if (s <= hs[1]) return theta_sat[L];
  // i with hs[i] < s <= hs[i + 1].
  int lo = 1;
  int hi = N2;
  while (hi - lo > 1) {
    const int mid = (lo + hi) / 2;
    if (hs[mid] < s)
      lo = mid;
    else
      hi = mid;
  }
  const int i = lo;
  const double step = hs[i + 1] - hs[i];
  if (step < 0.001) return theta[L][i];
  const double w = (s - hs[i]) / step;
  return w * theta[L][i + 1] + (1.0 - w) * theta[L][i];
}

void soil_table_entry::BuildVanGenuchtenTable(int L, double f) {
  const int M = FineTableSize;
  const double R = FineHeadRange;
  const double dh = R / M;
  const double n = Par_n[L];
  const double m = Par_m[L];
  const double a = alpha[L];
  std::vector<double>& e = E[L];
  std::vector<double>& d = F[L];
  std::vector<double>& g = G[L];
  e[0] = 1.0;
  d[0] = 0.0;
  g[0] = std::fabs(R);
  double fmax = 0.0;
  double hmax = 0.0;
  for (int k = 1; k <= M; ++k) {
    const double head = k * dh;
    const double b = std::fabs(head * f) * a;
    const double bn = std::pow(b, n);
    e[k] = std::pow(1.0 / (1.0 + bn), m);
    d[k] = n * m * a * f * std::pow(b, n - 1.0) * std::pow(1.0 + bn, -m - 1.0);
    if (d[k] > fmax) {
      fmax = d[k];
      hmax = head;
    }
  }
  for (int j = 0; j <= M; ++j) {
    const double t = j * (1.0 / M) * fmax;
    // Head at which the derivative falls back to t beyond its maximum.
    double x;
    if (d[M] > t) {
      x = M * dh;
    } else {
      int i = M - 1;
      while (i > 0 && d[i] < t) --i;
      const double denominator = d[i] - d[i + 1];
      // Equal neighbours (a flat derivative) put the head on node i.
      const double w = denominator != 0.0 ? (t - d[i + 1]) / denominator : 1.0;
      x = dh * (w * i + (1.0 - w) * (i + 1));
    }
    if (x >= hmax)
      g[j] = 0.0;
    else if (1.2999999999999998 * hmax > x)
      g[j] = x - 1.15 * hmax;
    else
      g[j] = x - (1.0 + (x - hmax) * 0.1499999999999999 / (hmax * 0.2999999999999998)) * hmax;
  }
}

double soil_table_entry::ShiftAt(int L, double s) const {
  const std::vector<double>& g = G[L];
  const int M = FineTableSize;
  // Keeps the conversion to an index defined for any saturation.
  if (!(s > -1e9)) s = -1e9;
  if (s > 1e9) s = 1e9;
  const int i = static_cast<int>(s);
  if (i < 0) return std::fabs(g[0]);
  if (i < M) return std::fabs((s - i) * g[i + 1] + (1.0 - (s - i)) * g[i]);
  return std::fabs(g[M]);
}

bool soil_table_entry::FineValueAtShiftedHead(const std::vector<double>& T, int L, double head, double waterContent,
                                              double& value) const {
  const int M = FineTableSize;
  const double s = (waterContent - theta_res[L]) / (theta_sat[L] - theta_res[L]) * M;
  const double shifted = head + ShiftAt(L, s);
  if (shifted >= 0.0) return false;
  // The head lies in R..0, so p lies in 0..M.
  const double p = shifted * M / FineHeadRange;
  const int q = static_cast<int>(p);
  const double r = p - q;
  const int upper = q < 0 ? 1 : (q < M ? q + 1 : M);
  const int lower = q < 0 ? 0 : upper - 1;
  value = r * T[upper] + (1.0 - r) * T[lower];
  return true;
}

void soil_table_entry::GetLayerValuesBySaturation(double* out, const double* head, const double* water) const {
  if (!head || layers < 1) return;
  for (int L = 1; L <= layers; ++L) {
    out[L] = 0.0;
    if (head[L] >= FineHeadRange && head[L] <= 0.0) FineValueAtShiftedHead(F[L], L, head[L], water[L], out[L]);
  }
}

void soil_table_entry::GetLayerValuesBySaturation2(double* out, const double* head, const double* water) const {
  if (!head || layers < 1) return;
  for (int L = 1; L <= layers; ++L) {
    if (head[L] > 0.0)
      out[L] = 1.0;
    else if (head[L] <= FineHeadRange)
      out[L] = 0.0;
    else if (!FineValueAtShiftedHead(E[L], L, head[L], water[L], out[L]))
      out[L] = 1.0;
  }
}

double soil_table_entry::GetShiftBySaturation(int L, double x) const {
  return ShiftAt(L, x * FineTableSize);
}

void soil_table_entry::GetThermalParameters(const double* temperature, double* out, const double* ice,
                                            const double* addend, const double* water, double a, double b, double c,
                                            double d) const {
  if (!temperature || layers < 1) return;
  for (int L = 1; L <= layers; ++L) {
    const double T = temperature[L];
    // Blends linearly from c at 0 °C to d at -20 °C.
    double k;
    if (T < -20.0)
      k = d;
    else if (T < 0.0)
      k = (T / 20.0 + 1.0) * c + (T / -20.0) * d;
    else
      k = c;
    out[L] = DryDensity[L] * DryHeatCapacity[L] + (ice[L] * b + (1.0 - ice[L]) * k) * water[L] * a + addend[L];
  }
}

void soil_table_entry::GetFrozenConductivity(double* out, const double* fraction, const double* first,
                                             const double* second) const {
  if (!first || layers < 1) return;
  for (int L = 1; L <= layers; ++L) {
    if (!fraction) {
      out[L] = ksat[L];
      continue;
    }
    // A zero second value leaves no ratio: it counts like a ratio of 0.
    const double r = second[L] != 0.0 ? first[L] / second[L] : 0.0;
    const double q = r <= 0.0 ? 0.001 : std::min(r, 1.0);
    const double x = std::min(first[L], 1.0);
    const double K = InterpolateTableMin(L, x, x) * ksat[L];
    const double f = fraction[L];
    out[L] = std::exp(std::log(std::max(K, 1e-23)) * (1.0 - (1.0 - f) * q) + q * (1.0 - f) * LogKMinFrozenSoil);
  }
}
