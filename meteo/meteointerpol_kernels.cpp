// Per-cell and per-point formulas: inverse-distance weighting, nearest
// station, lapse rates, the three-band elevation regression, bilinear
// interpolation between look-up stations, and the point interpolation.
#include <cmath>
#include <limits>

#include "framework/diagstream.h"
#include "meteo/idwkernels.h"
#include "meteo/meteointerpol.h"

namespace {
constexpr double kHalfPi = 1.570796326795;
}  // namespace

namespace idw {
namespace {

// One cell over stations first ... last, in their order. work may be null.
template <int kMode>
double Scalar(const Weighting& k, const double* v, const double* sx, const double* sy, int first, int last,
              double validFrom, double x, double y, double* work) {
  // General powers weigh each distance relative to the nearest station's
  // within reach: a power of the distance itself underflows to 0 (100 beyond
  // 1.2 km), the ratios do not.
  double nearest = 0;
  if constexpr (kMode != 2000 && kMode != 1000) {
    nearest = std::numeric_limits<double>::infinity();
    for (int i = first; i <= last; ++i) {
      if (!(v[i] >= validFrom)) continue;
      const double dx = (sx[i] - x) * k.ratio;
      const double dy = sy[i] - y;
      double s = dx * dx + dy * dy;
      if (!(s > 0)) s = 1;
      const double d = std::sqrt(s);
      if (d <= k.limit && d < nearest) nearest = d;
    }
  }
  double sumW = 0;
  double sumWV = 0;
  for (int i = first; i <= last; ++i) {
    double w = 0;
    if (v[i] >= validFrom) {
      const double dx = (sx[i] - x) * k.ratio;
      const double dy = sy[i] - y;
      double s = dx * dx + dy * dy;
      if constexpr (kMode == 2000) {
        if (s == 0) s = 1;
        w = s > k.limitSquared ? 0 : 1 / s;
      } else if constexpr (kMode == 1000) {
        if (s == 0) s = 1;
        const double d = std::sqrt(s);
        w = d > k.limit ? 0 : 1 / d;
      } else {
        if (!(s > 0)) s = 1;
        const double d = std::sqrt(s);
        w = d <= k.limit ? std::pow(nearest / d, k.power) : 0;
      }
    }
    if (work) work[i] = w;
    sumW += w;
    if (w > 0) sumWV += w * v[i];
  }
  return sumW == 0 ? k.invalid : sumWV / sumW;
}

// Cells side by side, one vector lane each. Per lane the operations are those
// of Scalar in the same order: a weight of 0 adds +0 to the sums, which
// leaves them as they are (they start at +0 and never become -0). Every
// quotient and product is computed and then selected, which gives the same
// values as computing it only where it is used.
typedef double Lanes4 __attribute__((vector_size(4 * sizeof(double))));
typedef double Lanes8 __attribute__((vector_size(8 * sizeof(double))));

template <int kMode, typename Lanes>
[[gnu::always_inline]] inline void Block(const Weighting& k, const double* v, const double* sx, const double* sy, int n,
                                         const double* cx, const double* cy, int cells, double* out) {
  constexpr int kLanes = sizeof(Lanes) / sizeof(double);
  Lanes px;
  Lanes py;
  for (int j = 0; j < kLanes; ++j) {
    // Lanes past the last cell repeat the first one and are not stored.
    const int at = j < cells ? j : 0;
    px[j] = cx[at];
    py[j] = cy[at];
  }
  const Lanes zero = {};
  const Lanes one = zero + 1;
  Lanes sumW = zero;
  Lanes sumWV = zero;
  for (int i = 0; i < n; ++i) {
    const Lanes dx = (sx[i] - px) * k.ratio;
    const Lanes dy = sy[i] - py;
    Lanes s = dx * dx + dy * dy;
    s = s == zero ? one : s;
    Lanes w;
    if constexpr (kMode == 2000) {
      const Lanes inverse = one / s;
      w = s > k.limitSquared ? zero : inverse;
    } else {
      Lanes d;
      for (int j = 0; j < kLanes; ++j) d[j] = std::sqrt(s[j]);
      const Lanes inverse = one / d;
      w = d > k.limit ? zero : inverse;
    }
    const Lanes weighted = w * v[i];
    sumW += w;
    sumWV += w > zero ? weighted : zero;
  }
  const Lanes mean = sumWV / sumW;
  for (int j = 0; j < cells && j < kLanes; ++j) out[j] = sumW[j] == 0 ? k.invalid : mean[j];
}

template <int kMode, typename Lanes>
[[gnu::always_inline]] inline void AllBlocks(const Weighting& k, const double* v, const double* sx, const double* sy,
                                             int n, const double* cx, const double* cy, int cells, double* out) {
  constexpr int kLanes = sizeof(Lanes) / sizeof(double);
  for (int j = 0; j < cells; j += kLanes) Block<kMode, Lanes>(k, v, sx, sy, n, cx + j, cy + j, cells - j, out + j);
}

// The row kernel for each instruction set; contraction to fused multiply-adds
// is off for this file, so every one rounds as the baseline code does.
#define FLUVEX_ROW_KERNEL(name, target, mode, lanes)                                                                 \
  target void name(const Weighting& k, const double* v, const double* sx, const double* sy, int n, const double* cx, \
                   const double* cy, int cells, double* out) {                                                       \
    AllBlocks<mode, lanes>(k, v, sx, sy, n, cx, cy, cells, out);                                                     \
  }
FLUVEX_ROW_KERNEL(InverseSquareAvx512, [[gnu::target("avx512f")]], 2000, Lanes8)
FLUVEX_ROW_KERNEL(InverseAvx512, [[gnu::target("avx512f")]], 1000, Lanes8)
FLUVEX_ROW_KERNEL(InverseSquareAvx2, [[gnu::target("avx2")]], 2000, Lanes4)
FLUVEX_ROW_KERNEL(InverseAvx2, [[gnu::target("avx2")]], 1000, Lanes4)
FLUVEX_ROW_KERNEL(InverseSquareBaseline, , 2000, Lanes4)
FLUVEX_ROW_KERNEL(InverseBaseline, , 1000, Lanes4)
#undef FLUVEX_ROW_KERNEL

}  // namespace

double Point(const Weighting& k, const double* v, const double* sx, const double* sy, int n, double validFrom, double x,
             double y, double* work) {
  if (k.mode == 2000) return Scalar<2000>(k, v, sx, sy, 1, n, validFrom, x, y, work);
  if (k.mode == 1000) return Scalar<1000>(k, v, sx, sy, 1, n, validFrom, x, y, work);
  return Scalar<0>(k, v, sx, sy, 1, n, validFrom, x, y, work);
}

bool Supported(Isa isa) {
  __builtin_cpu_init();
  if (isa == Isa::Avx512) return __builtin_cpu_supports("avx512f");
  if (isa == Isa::Avx2) return __builtin_cpu_supports("avx2");
  return true;
}

Isa WidestSupported() {
  static const Isa widest = Supported(Isa::Avx512) ? Isa::Avx512 : Supported(Isa::Avx2) ? Isa::Avx2 : Isa::Baseline;
  return widest;
}

void Cells(Isa isa, const Weighting& k, const double* v, const double* sx, const double* sy, int n, const double* cx,
           const double* cy, int cells, double* out) {
  if (cells <= 0) return;
  if (k.mode == 2000 || k.mode == 1000) {
    const bool square = k.mode == 2000;
    switch (isa) {
      case Isa::Avx512:
        (square ? InverseSquareAvx512 : InverseAvx512)(k, v, sx, sy, n, cx, cy, cells, out);
        return;
      case Isa::Avx2:
        (square ? InverseSquareAvx2 : InverseAvx2)(k, v, sx, sy, n, cx, cy, cells, out);
        return;
      case Isa::Baseline:
        (square ? InverseSquareBaseline : InverseBaseline)(k, v, sx, sy, n, cx, cy, cells, out);
        return;
    }
  }
  // Powers stay one cell at a time: a vector pow rounds differently.
  const double all = -std::numeric_limits<double>::infinity();
  for (int j = 0; j < cells; ++j) out[j] = Scalar<0>(k, v, sx, sy, 0, n - 1, all, cx[j], cy[j], nullptr);
}

void Cells(const Weighting& k, const double* v, const double* sx, const double* sy, int n, const double* cx,
           const double* cy, int cells, double* out) {
  Cells(WidestSupported(), k, v, sx, sy, n, cx, cy, cells, out);
}

}  // namespace idw

idw::Weighting meteointerpol::IdwWeighting(bool anisotropic) const {
  idw::Weighting k;
  k.mode = IdwWeightMilli == 2000 || IdwWeightMilli == 1000 ? IdwWeightMilli : 0;
  k.ratio = anisotropic ? AnisoRatio : 1.0;
  k.limitSquared = IdwLimitSquared;
  k.limit = IdwLimit;
  k.power = IdwWeight;
  k.invalid = -Nodata - 1;
  return k;
}

double meteointerpol::IdwIsotropic(double x, double y, int file, double* work) const {
  return idw::Point(IdwWeighting(false), StationValues[file].data(), StationX[file].data(), StationY[file].data(),
                    StationCount[file], -Nodata, x, y, work);
}

double meteointerpol::IdwAnisotropic(double x, double y, int file, double* work) const {
  return idw::Point(IdwWeighting(true), StationValues[file].data(), StationXRot[file].data(), StationYRot[file].data(),
                    StationCount[file], -Nodata, x, y, work);
}

double meteointerpol::NearestStation(double x, double y, int file, double* work) const {
  const double* v = StationValues[file].data();
  const double* sx = StationX[file].data();
  const double* sy = StationY[file].data();
  double best = 1e20;
  int nearest = 0;
  for (int i = 1; i <= StationCount[file]; ++i) {
    if (v[i] < -Nodata) continue;
    const double s = (sx[i] - x) * (sx[i] - x) + (sy[i] - y) * (sy[i] - y);
    work[i] = s;
    // Among equally near stations the last one wins.
    if (s <= best) {
      best = s;
      nearest = i;
    }
  }
  return nearest > 0 ? v[nearest] : -Nodata - 1;
}

namespace {
// Nearest valid station by squared distance; the first of equally near stations wins. 0 when none is valid.
int NearestValidFirst(const double* v, const double* sx, const double* sy, int n, double x, double y,
                      double validFrom) {
  double best = 1e20;
  int nearest = 0;
  for (int i = 1; i <= n; ++i) {
    if (v[i] < validFrom) continue;
    const double s = (sx[i] - x) * (sx[i] - x) + (sy[i] - y) * (sy[i] - y);
    if (s < best) {
      best = s;
      nearest = i;
    }
  }
  return nearest;
}
}  // namespace

double meteointerpol::NearestStationLapse(double x, double y, double z, double lapseBelow, double inversionHeight,
                                          double lapseAbove) const {
  const double* v = StationValues[0].data();
  const int s = NearestValidFirst(v, StationX[0].data(), StationY[0].data(), StationCount[0], x, y, -Nodata);
  if (s == 0) return -Nodata - 1;
  const double a = StationAltitude[0][s];
  const double value = v[s];
  if (PType && value == 0) return 0;
  const double h = inversionHeight;
  if (h <= -9998) return (z - a) * lapseBelow + value;
  if (h < a) return z <= h ? (z - h) * lapseBelow + (h - a) * lapseAbove + value : (z - a) * lapseAbove + value;
  return z > h ? (z - h) * lapseAbove + (h - a) * lapseBelow + value : (z - a) * lapseBelow + value;
}

// Method 12 with one lapse rate from the nearest valid station.
double meteointerpol::SingleLapseValue(double x, double y, double z) const {
  const double* v = StationValues[0].data();
  const int s = NearestValidFirst(v, StationX[0].data(), StationY[0].data(), StationCount[0], x, y, -Nodata);
  if (s == 0) return -Nodata - 1;
  if (PType && v[s] == 0) return 0;
  return (z - StationAltitude[0][s]) * UpperLapseRate + v[s];
}

double meteointerpol::LapseValue(double x, double y, double z) const {
  if (FixUpperLapseRate > -9998) return NearestStationLapse(x, y, z, UpperLapseRate, UpperInversion, FixUpperLapseRate);
  return SingleLapseValue(x, y, z);
}

double meteointerpol::RegressionValue(double x, double y, double z, int /*row*/, int /*col*/) const {
  const RegressionRegion& r = Regr[1];
  if (r.a[1] < -Nodata) return -Nodata - 1;
  if (r.c0 >= -Nodata && x != nodata && y != nodata) {
    const double t = r.c0 + r.cx * x + r.cy * y;
    if (z > r.h2) return t - r.a[1] + r.a[3] + r.b[3] * z;
    if (z >= r.h1) return t - r.a[1] + r.a[2] + r.b[2] * z;
    return t + r.b[1] * z;
  }
  if (z > r.h2) return r.a[3] + r.b[3] * z;
  if (z >= r.h1) return r.a[2] + r.b[2] * z;
  return r.a[1] + r.b[1] * z;
}

double meteointerpol::Bilinear(double x, double y, int file, int row, int col, double* work) const {
  const double* v = StationValues[file].data();
  int s[5];
  for (int c = 1; c <= 4; ++c) {
    s[c] = GetLookupStation(0, c, row, col);
    if (s[c] > 0 && v[s[c]] < -Nodata) s[c] = 0;
  }
  if (s[1] != 0 && s[1] == s[2] && s[1] == s[3] && s[1] == s[4]) return v[s[1]];
  if (s[1] == 0 || s[2] == 0 || s[3] == 0 || s[4] == 0) return IdwAnisotropic(x, y, file, work);
  const double x1 = StationXRot[0][s[1]];
  const double x2 = StationXRot[0][s[2]];
  const double y2 = StationYRot[0][s[2]];
  const double y3 = StationYRot[0][s[3]];
  if (x1 - x2 == 0 || y3 - y2 == 0) return IdwAnisotropic(x, y, file, work);
  const double u = (x - x2) / (x1 - x2);
  const double t = (y - y2) / (y3 - y2);
  return (1 - u) * (1 - t) * v[s[2]] + u * (1 - t) * v[s[1]] + (1 - u) * t * v[s[3]] + u * t * v[s[4]];
}

double meteointerpol::Determinant3(const double* c1, const double* c2, const double* c3) const {
  return c3[1] * c1[2] * c2[3] + c1[1] * c2[2] * c3[3] + c2[1] * c3[2] * c1[3] - c3[1] * c1[3] * c2[2] -
         c1[1] * c2[3] * c3[2] - c2[1] * c1[2] * c3[3];
}

void meteointerpol::ChooseLookupStations(int fileCount) {
  *diag << "choosing look-up-stations...";
  LookUpMPIRegions();
  const double sx = AvgHorizontalDistance;
  const double sy = AvgVerticalDistance;
  const double tol = MeshFactor;
  const double* px = StationXRot[0].data();
  const double* py = StationYRot[0].data();
  auto right = [&](int p) {
    return p > 0 ? FindStationInBox(px[p], py[p], sx * (1 - tol), sx * (1 + tol), -sy * tol, sy * tol) : 0;
  };
  auto left = [&](int p) {
    return p > 0 ? FindStationInBox(px[p], py[p], -sx * (1 + tol), -sx * (1 - tol), -sy * tol, sy * tol) : 0;
  };
  auto up = [&](int p) {
    return p > 0 ? FindStationInBox(px[p], py[p], -sx * tol, sx * tol, sy * (1 - tol), sy * (1 + tol)) : 0;
  };
  auto down = [&](int p) {
    return p > 0 ? FindStationInBox(px[p], py[p], -sx * tol, sx * tol, -sy * (1 + tol), -sy * (1 - tol)) : 0;
  };
  const size_t cells = static_cast<size_t>(lastrow >= firstrow ? lastrow - firstrow + 1 : 0) * (ncols + 1);
  for (int k = 0; k < fileCount; ++k) {
    for (int c = 1; c <= 4; ++c) LookupStations[k][c].assign(cells, 0);
    const double* kx = StationXRot[k].data();
    const double* ky = StationYRot[k].data();
    for (int r = firstrow; r <= lastrow; ++r) {
      int first = 0;
      int last = -1;
      FirstAndLastColumn(r, first, last);
      for (int col = first; col <= last; ++col) {
        if (!IsOwnCell(r, col)) continue;
        const double x = CellX[r][col];
        const double y = CellY[r][col];
        double best = 1e30;
        int station = 0;
        for (int i = 1; i <= StationCount[k]; ++i) {
          const double d = std::sqrt((kx[i] - x) * (kx[i] - x) + (ky[i] - y) * (ky[i] - y));
          if (d < best) {
            best = d;
            station = i;
          }
        }
        int corner[5] = {0, 0, 0, 0, 0};
        if (station > 0) {
          const double dx = kx[station] - x;
          const double dy = ky[station] - y;
          if (dx <= 0 && dy <= 0) {
            corner[3] = station;
            corner[2] = up(station);
            corner[1] = right(corner[2]);
            corner[4] = right(station);
          } else if (dx <= 0) {
            corner[2] = station;
            corner[3] = down(station);
            corner[4] = right(corner[3]);
            corner[1] = right(station);
          } else if (dy <= 0) {
            corner[4] = station;
            corner[3] = left(station);
            corner[2] = up(corner[3]);
            corner[1] = up(station);
          } else {
            corner[1] = station;
            corner[2] = left(station);
            corner[3] = down(corner[2]);
            corner[4] = down(station);
          }
        }
        const size_t at = static_cast<size_t>(r - firstrow) * (ncols + 1) + col;
        for (int c = 1; c <= 4; ++c) LookupStations[k][c][at] = corner[c];
      }
    }
  }
  *diag << "[end-entry]";
}

void meteointerpol::GetRegressionParameters(int region, double& h1, double& h2, double* a, double* b) const {
  if (Method == 2 || Method == 3 || Method == 10 || Method == 11) {
    const RegressionRegion& r = Regr[region];
    h1 = r.h1;
    h2 = r.h2;
    for (int i = 0; i < 4; ++i) {
      a[i] = r.a[i];
      b[i] = r.b[i];
    }
    return;
  }
  const double invalid = -Nodata - 1;
  h1 = h2 = invalid;
  for (int i = 0; i < 4; ++i) a[i] = b[i] = invalid;
}

void meteointerpol::SetRegressionParameters(double h2, int region, const double* a, const double* b) {
  RegressionRegion& r = Regr[region];
  for (int i = 0; i < 4; ++i) {
    r.a[i] = a[i];
    r.b[i] = b[i];
  }
  r.h2 = h2;
}

double meteointerpol::InterpolateAtPoint(double x, double y, double z, double* work) {
  if (SzenUse == 1) UpdateScenarioTable(CurrentDate.month, CurrentDate.day, CurrentDate.year);
  double xr = x;
  double yr = y;
  if (AnisoRatio < 1 && x != nodata && y != nodata) {
    const double r = std::sqrt((x - xllcorner) * (x - xllcorner) + (y - yllcorner) * (y - yllcorner));
    double angle;
    if (x == xllcorner)
      angle = y > yllcorner ? kHalfPi : -kHalfPi;
    else
      angle = std::atan2(y - yllcorner, x - xllcorner);
    PointAngle = angle;
    PointAngleTurned = angle - AnisoSlope;
    xr = xllcorner + r * std::cos(PointAngleTurned);
    yr = yllcorner + r * std::sin(PointAngleTurned);
  }
  // Cell of the unrotated point, clamped to the grid.
  auto cellIndex = [](double q, int size) {
    if (!(q > 0)) return 0;
    return q >= size ? size : static_cast<int>(q);
  };
  int row = 1;
  int col = 1;
  if (cellsize > 0) {
    row = nrows - cellIndex((y - yllcorner) / cellsize, nrows);
    col = cellIndex((x - xllcorner) / cellsize, ncols) + 1;
  }
  if (row < 1) row = 1;
  if (row > nrows) row = nrows;
  if (col > ncols) col = ncols;
  // Grid values are read only from rows this instance holds.
  const bool held = row >= GridRowLow() && row <= GridRowHigh();
  const double invalid = -Nodata - 1;
  double v = invalid;
  switch (Method) {
    case 1:
      v = AnisoRatio < 1 ? IdwAnisotropicFirst(xr, yr, work) : IdwIsotropicFirst(x, y, work);
      break;
    case 2:
    case 10:
      v = RegressionValue(x, y, z, row, col);
      break;
    case 3:
    case 11: {
      const double idw = AnisoRatio < 1 ? IdwAnisotropicFirst(xr, yr, work) : IdwIsotropicFirst(x, y, work);
      const double r = RegressionValue(x, y, z, row, col);
      if (idw >= -Nodata && r >= -Nodata)
        v = IdwFraction * idw + (1 - IdwFraction) * r;
      else if (r >= -Nodata)
        v = r;
      else
        v = idw;
      break;
    }
    case 4:
      v = NearestStation(x, y, 0, work);
      break;
    case 5:
      v = Bilinear(xr, yr, 0, row, col, work);
      break;
    case 6: {
      const double gradient = Bilinear(xr, yr, 0, row, col, work);
      const double residual = Bilinear(xr, yr, 1, row, col, work);
      const double elevation = held ? ElevationGrid[row][col] : z;
      v = (gradient >= -Nodata && residual >= -Nodata) ? gradient + elevation * residual : invalid;
      break;
    }
    case 7:
    case 8: {
      // The nearest valid station to the cell of the point (its centre, where
      // the cells are interpolated), in the frame of the mesh; computed from
      // the geometry, so that every instance finds the same.
      double px = xllcorner + (col - 0.5) * cellsize;
      double py = yllcorner + (nrows - row + 0.5) * cellsize;
      if (AnisoRatio < 1) {
        const double dx = px - xllcorner;
        const double dy = py - yllcorner;
        const double r = std::sqrt(dx * dx + dy * dy);
        const double angle = dx != 0 ? std::atan2(dy, dx) : (dy > 0 ? kHalfPi : -kHalfPi);
        px = xllcorner + r * std::cos(angle - AnisoSlope);
        py = yllcorner + r * std::sin(angle - AnisoSlope);
      }
      double best = -1;
      for (int s = 1; s <= StationCount[0]; ++s) {
        if (StationValues[0][s] < -Nodata) continue;
        const double dx = StationXRot[0][s] - px;
        const double dy = StationYRot[0][s] - py;
        const double d = dx * dx + dy * dy;
        if (best < 0 || d <= best) {
          best = d;
          v = StationValues[0][s];
        }
      }
      break;
    }
    case 12:
      v = LapseValue(x, y, z);
      break;
    default:
      // A cell the grid leaves missing is no value at the point either.
      v = held && ResultGrid[row][col] > -9999 ? ResultGrid[row][col] : invalid;
      break;
  }
  if (v < -Nodata) return v;
  return PostProcess(v, row, col, x, y, false);
}
