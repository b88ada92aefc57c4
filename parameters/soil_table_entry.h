// One soil type of the soil table with its layer parameters and, per layer,
// the van Genuchten / Mualem look-up tables that the unsaturated zone uses
// instead of evaluating powers in every cell and step.
//
// Per-layer arrays have layers + 1 elements, layers 1..layers used from the
// top; index 0 holds a copy of layer 1 (or the default). Suction is a
// positive length in the unit of 1/alpha; pressure heads are negative.
//
// The look-ups only read and may run from many threads at once;
// BuildVanGenuchtenTable writes one layer's fine tables and runs before the
// parallel loops of its caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class soil_table_entry {
 public:
  static constexpr int kMaxNameLength = 199;
  enum GrainSize { kSand, kSilt, kClay, kStones1, kStones2, kStones3, kStones4 };

  soil_table_entry();
  explicit soil_table_entry(int code);
  soil_table_entry(const soil_table_entry&) = delete;
  soil_table_entry& operator=(const soil_table_entry&) = delete;

  // Allocates the per-layer arrays for `layers` layers (zero-filled).
  void AllocLayerArrays(int layerCount);
  // Allocates and fills the retention tables of a layer (0..layers) and
  // allocates its fine tables (zero-filled).
  void AllocHydraulicTables(int layer);
  // Fills the fine tables E, F, G of a layer for the scale factor f.
  void BuildVanGenuchtenTable(int layer, double f);

  // Suction at water content theta (retention table of the layer).
  inline double InterpolateTable(int layer, double theta) const;
  // The same, for a run of nearby water contents (a bisection over a flux):
  // interval holds the table interval of the last call (0 at the start) and
  // is tried first.
  inline double InterpolateTable(int layer, double theta, int& interval) const;
  // Water content at suction s.
  double InterpolateTableInverse(int layer, double s) const;
  // Relative conductivity at min(a, b).
  inline double InterpolateTableMin(int layer, double a, double b) const;
  // Per layer 1..layers: out[L] = F (GetLayerValuesBySaturation) or E
  // (GetLayerValuesBySaturation2) at the head shifted by the layer's water content.
  void GetLayerValuesBySaturation(double* out, const double* head, const double* theta) const;
  void GetLayerValuesBySaturation2(double* out, const double* head, const double* theta) const;
  double GetShiftBySaturation(int layer, double x) const;
  void GetThermalParameters(const double* temperature, double* out, const double* ice, const double* addend,
                            const double* water, double a, double b, double c, double d) const;
  void GetFrozenConductivity(double* out, const double* fraction, const double* first, const double* second) const;
  double* GetKsat() { return ksat.empty() ? nullptr : ksat.data(); }

  // Read-only views of a layer's tables (indexes 0..N2 or 0..M).
  const std::vector<double>& SuctionSteps(int layer) const { return h[layer]; }
  const std::vector<double>& WaterContentTable(int layer) const { return theta[layer]; }
  const std::vector<double>& ConductivityWaterContentTable(int layer) const { return thetaK[layer]; }
  const std::vector<double>& RelativeConductivityTable(int layer) const { return Kr[layer]; }
  const std::vector<double>& FineSaturationTable(int layer) const { return E[layer]; }
  const std::vector<double>& FineDerivativeTable(int layer) const { return F[layer]; }
  const std::vector<double>& FineShiftTable(int layer) const { return G[layer]; }

  // ---- fields, filled by the soil table reader ----
  std::string name;
  int code = 0;
  int method = 0;
  double FCap = 25.0;
  double mSB = 35.0;
  double CapacitySpan = 0.1;  // (mSB - FCap) * 0.01
  double ksat_topmodel = 1e-5;
  double suction = 300.0;
  int N1 = 30;
  int N2 = 30;
  int layers = 0;
  int HorizonCount = -1;
  std::vector<int> LayersPerHorizon;  // 1..HorizonCount
  std::vector<double> ksat;
  std::vector<double> thickness;  // m, scaled by ThicknessScaling
  std::vector<double> theta_sat;
  std::vector<double> theta_res;
  std::vector<double> Par_n;
  std::vector<double> Par_m;
  std::vector<double> alpha;
  std::vector<double> Par_tau;
  std::vector<double> k_recession;
  double KReduction = 0.0;  // old rows: conductivity reduction with depth
  double maxratio = 1000.0;
  double EvapMaxDepth = 0.1;
  double MaxInterflowDepth = 2.0;
  double ThicknessScaling = 1.0;
  double TotalDepth = 0.0;  // sum of the scaled thicknesses of layers 1..layers
  double PMacroThresh = 1.0;
  double MacroCapacity = 0.0;
  double MacroDepth = 0.0;
  double CapacityRedu = 1.0;
  double GrainSizeDist[7] = {0.3333, 0.3333, 0.3334, 0.0, 0.0, 0.0, 0.0};
  double SU_PAR[11] = {};
  std::vector<double> DryHeatCapacity;
  std::vector<double> DryDensity;
  std::vector<double> DryThermalConduct;
  double KMinFrozenSoil = -1.0;
  double LogKMinFrozenSoil = -20.0;  // ln(KMinFrozenSoil), or a floor when that is not positive
  double FineHeadRange = -10.0;      // R: the fine tables span the heads 0..R
  int FineTableSize = 1000;          // M

 private:
  // Where the search of a descending table starts: the value range
  // table[n] ... table[1] cut into kBuckets equal parts, and per part the
  // intervals that hold its upper and its lower end. A table that does not
  // descend (or holds no range) keeps the plain search.
  static constexpr int kBuckets = 128;
  struct NodeIndex {
    bool usable = false;
    double base = 0.0;   // table[n]
    double scale = 0.0;  // kBuckets / (table[1] - table[n])
    uint8_t start[kBuckets] = {};
  };
  static NodeIndex BuildIndex(const std::vector<double>& table, int n);
  // The look-ups of one layer: the tables' data and their indexes, read by
  // the inline look-ups in every layer, iteration and cell.
  struct Curve {
    const double* h = nullptr;
    const double* theta = nullptr;
    const double* thetaK = nullptr;
    const double* Kr = nullptr;
    NodeIndex thetaIndex, thetaKIndex;
  };

  // Index i with table[i] > x >= table[i + 1] on a descending table over 1..n.
  static int SearchDescending(const double* table, int n, double x);
  // The same index, found from the table's index. On a descending table the
  // index is unique, so both give the same interval and the same result.
  static inline int FindDescending(const double* table, int n, const NodeIndex& index, double x);
  double ShiftAt(int layer, double s) const;
  // Table value at the head shifted by the layer's water content; false when
  // the shifted head reaches saturation (0 or above).
  bool FineValueAtShiftedHead(const std::vector<double>& T, int layer, double head, double waterContent,
                              double& value) const;

  // Per layer 0..layers: retention tables and fine tables.
  std::vector<std::vector<double>> h, theta, thetaK, Kr;
  std::vector<std::vector<double>> E, F, G;
  // Per layer 0..layers, filled with the layer's retention tables.
  std::vector<Curve> curves;
};

inline int soil_table_entry::FindDescending(const double* t, int n, const NodeIndex& index, double x) {
  // Callers ensure t[1] > x >= t[n] (or x not a number).
  if (!index.usable) return SearchDescending(t, n, x);
  const double position = (x - index.base) * index.scale;
  const int b = position > 0.0 ? (position < kBuckets - 1 ? static_cast<int>(position) : kBuckets - 1) : 0;
  // The bucket's values lie between the intervals of its upper and its lower
  // end; bisection without branches between them.
  int i = index.start[b];
  int length = (b > 0 ? index.start[b - 1] : n - 1) - i + 1;
  while (length > 1) {
    const int half = length / 2;
    i = t[i + half] > x ? i + half : i;
    length -= half;
  }
  // Rounding may have put x into a neighbouring bucket, and a value that is
  // no number lies in none: the plain search then.
  if (t[i] > x && x >= t[i + 1]) return i;
  return SearchDescending(t, n, x);
}

inline double soil_table_entry::InterpolateTable(int L, double t) const {
  const Curve& c = curves[L];
  const double* th = c.theta;
  if (t <= th[N2]) return c.h[N2];
  if (t >= th[1]) return 0.0;
  const int i = FindDescending(th, N2, c.thetaIndex, t);
  const double w = (t - th[i + 1]) / (th[i] - th[i + 1]);
  return w * c.h[i] + (1.0 - w) * c.h[i + 1];
}

inline double soil_table_entry::InterpolateTable(int L, double t, int& interval) const {
  const Curve& c = curves[L];
  const double* th = c.theta;
  if (t <= th[N2]) return c.h[N2];
  if (t >= th[1]) return 0.0;
  // On a descending table the interval that holds t is unique, so the last
  // one, when it holds t, is the one the search would find.
  int i = interval;
  if (!(c.thetaIndex.usable && i >= 1 && i < N2 && th[i] > t && t >= th[i + 1]))
    interval = i = FindDescending(th, N2, c.thetaIndex, t);
  const double w = (t - th[i + 1]) / (th[i] - th[i + 1]);
  return w * c.h[i] + (1.0 - w) * c.h[i + 1];
}

inline double soil_table_entry::InterpolateTableMin(int L, double a, double b) const {
  const Curve& c = curves[L];
  const double* tk = c.thetaK;
  const double x = b < a ? b : a;  // std::min(a, b)
  if (x < tk[N1]) return c.Kr[N1];
  if (x >= tk[1]) return 1.0;
  const int i = FindDescending(tk, N1, c.thetaKIndex, x);
  const double w = (x - tk[i + 1]) / (tk[i] - tk[i + 1]);
  return w * c.Kr[i] + (1.0 - w) * c.Kr[i + 1];
}
