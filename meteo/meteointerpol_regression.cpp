// Elevation-dependent regression of the step from the station values: a
// lower and an upper line of value against altitude, joined into three bands
// around the inversion layer, and a trend plane in x and y of the residuals.
#include <algorithm>
#include <cmath>

#include "meteo/meteointerpol.h"

namespace {
using Group = std::vector<std::pair<double, double>>;  // (altitude, value)

double AltitudeRange(const Group& g) {
  double lo = g[0].first;
  double hi = g[0].first;
  for (const auto& p : g) {
    lo = std::min(lo, p.first);
    hi = std::max(hi, p.first);
  }
  return hi - lo;
}

// Least-squares line value = a + b * altitude; false when the altitudes are all equal.
bool FitLine(const Group& g, double& a, double& b) {
  const double n = static_cast<double>(g.size());
  double mz = 0;
  double mv = 0;
  for (const auto& p : g) {
    mz += p.first;
    mv += p.second;
  }
  mz /= n;
  mv /= n;
  double szz = 0;
  double szv = 0;
  for (const auto& p : g) {
    szz += (p.first - mz) * (p.first - mz);
    szv += (p.first - mz) * (p.second - mv);
  }
  if (AltitudeRange(g) == 0 || szz == 0) return false;
  b = szv / szz;
  a = mv - b * mz;
  return true;
}
}  // namespace

void meteointerpol::Regression(int file) {
  RegressionRegion& out = Regr[file + 1];
  const double invalid = -Nodata - 1;
  const int n = StationCount[file];
  const double* v = StationValues[file].data();
  const double* z = StationAltitude[file].data();
  const double li = LowerInversion;
  const double ui = UpperInversion;
  // Stations at or below the lower inversion form the lower group, the others the upper one.
  Group& lower = RegrLower;
  Group& upper = RegrUpper;
  lower.clear();
  upper.clear();
  for (int i = 1; i <= n; ++i)
    if (v[i] > -Nodata) (z[i] <= li ? lower : upper).emplace_back(z[i], v[i]);

  // The nearest stations on either side of the lower inversion may serve both groups.
  double below = -1e8;
  double above = 1e9;
  for (int i = 1; i <= n; ++i) {
    if (z[i] < li && z[i] > below) below = z[i];
    if (z[i] > li && z[i] < above) above = z[i];
  }
  for (int i = 1; i <= n; ++i) {
    if (!(v[i] > -Nodata)) continue;
    if (z[i] == below && (Overlap > 0 || upper.size() == 1)) upper.emplace_back(z[i], v[i]);
    if (z[i] == above && (Overlap > 0 || lower.size() == 1)) lower.emplace_back(z[i], v[i]);
  }

  // Stations of one group closer in altitude than ClusterRange count as one point.
  auto collapse = [&](Group& g) {
    if (g.size() < 2 || !(AltitudeRange(g) < ClusterRange)) return;
    double mz = 0;
    double mv = 0;
    for (const auto& p : g) {
      mz += p.first;
      mv += p.second;
    }
    const double count = static_cast<double>(g.size());
    g.assign(1, {mz / count, mv / count});
  };
  collapse(lower);
  collapse(upper);
  if (lower.size() == 1 && upper.size() == 1) {
    if (upper[0].first - lower[0].first < ClusterRange) {
      upper.clear();
    } else {
      const Group both = {lower[0], upper[0]};
      lower = both;
      upper = both;
    }
  }

  double a1 = invalid, b1 = invalid, a2 = invalid, b2 = invalid, a3 = invalid, b3 = invalid;
  out.c0 = out.cx = out.cy = invalid;
  if (lower.empty() && upper.empty()) {
    for (int i = 1; i <= 3; ++i) out.a[i] = out.b[i] = invalid;
    out.h1 = out.h2 = invalid;
    return;
  }
  if (lower.size() > 1 && !FitLine(lower, a1, b1)) a1 = b1 = invalid;
  if (upper.size() > 1 && !FitLine(upper, a2, b2)) a2 = b2 = invalid;
  const bool lineOfUpper = a2 >= -Nodata;
  const bool lineOfLower = a1 >= -Nodata;

  // Groups of one point join the line of the other group at the lower inversion.
  if (lower.empty()) {
    if (upper.size() == 1) {
      a1 = a2 = upper[0].second;
      b1 = b2 = 0;
    } else {
      a1 = a2;
      b1 = b2;
    }
  } else if (lower.size() == 1) {
    const double zl = lower[0].first;
    const double vl = lower[0].second;
    if (upper.empty()) {
      a1 = a2 = vl;
      b1 = b2 = 0;
    } else if (lineOfUpper) {
      if (li == zl) {
        // The point lies at the inversion: no gradient below it.
        b1 = 0;
        a1 = vl;
      } else {
        b1 = (li * b2 + a2 - vl) / (li - zl);
        a1 = (b2 - b1) * li + a2;
      }
    }
  } else if (upper.empty()) {
    a2 = a1;
    b2 = b1;
  } else if (upper.size() == 1 && lineOfLower) {
    const double zu = upper[0].first;
    const double vu = upper[0].second;
    if (li == zu) {
      b2 = 0;
      a2 = vu;
    } else {
      b2 = (li * b1 + a1 - vu) / (li - zu);
      a2 = (b1 - b2) * li + a1;
    }
  }

  // Altitude where the two lines meet.
  double h2 = (!(a2 >= -Nodata) || b2 == b1) ? li : (a2 - a1) / (b1 - b2);
  double h1 = 0;
  if (h2 < li - Tolerance || h2 > ui + Tolerance) {
    h2 = ui;
    h1 = li;
  }
  if (h1 > 0) {
    // Three bands: the middle one joins the lower line at h1 to the upper line at h2.
    a3 = a2;
    b3 = b2;
    if (h2 != h1) {
      b2 = (b3 * h2 + a3 - a1 - h1 * b1) / (h2 - h1);
      a2 = (b1 - b2) * h1 + a1;
    } else {
      // A layer of no thickness: no gradient inside it.
      b2 = 0;
      a2 = a1 + b1 * h1;
    }
  } else {
    // Two bands split at h2; below h1 the lower line's value at altitude 0.
    a3 = a2;
    b3 = b2;
    a2 = a1;
    b2 = b1;
    b1 = 0;
  }
  if (UpperLapseRate > -9998) {
    a3 = b3 * h2 + a3 - h2 * UpperLapseRate;
    b3 = UpperLapseRate;
  }
  out.a[1] = a1;
  out.b[1] = b1;
  out.a[2] = a2;
  out.b[2] = b2;
  out.a[3] = a3;
  out.b[3] = b3;
  out.h1 = h1;
  out.h2 = h2;
  if (!(a1 >= -Nodata)) return;

  // Trend plane of the residuals, fitted about the stations' mean position:
  // with map coordinates of some 10^6 m the uncentred normal equations lose
  // most of their digits.
  const double* sx = StationX[file].data();
  const double* sy = StationY[file].data();
  auto band = [&](double alt) {
    if (alt < h1) return a1 + b1 * alt;
    if (alt <= h2) return a2 + b2 * alt;
    return a3 + b3 * alt;
  };
  int m = 0;
  double sumX = 0, sumY = 0, sumE = 0;
  for (int i = 1; i <= n; ++i) {
    if (!(v[i] > -Nodata)) continue;
    ++m;
    sumX += sx[i];
    sumY += sy[i];
    sumE += v[i] - band(z[i]) + a1;
  }
  if (m <= 3) return;
  const double mx = sumX / m;
  const double my = sumY / m;
  double sxx = 0, syy = 0, sxy = 0, sxe = 0, sye = 0;
  for (int i = 1; i <= n; ++i) {
    if (!(v[i] > -Nodata)) continue;
    const double dx = sx[i] - mx;
    const double dy = sy[i] - my;
    const double e = v[i] - band(z[i]) + a1;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
    sxe += dx * e;
    sye += dy * e;
  }
  const double c1[4] = {0, static_cast<double>(m), 0, 0};
  const double c2[4] = {0, 0, sxx, sxy};
  const double c3[4] = {0, 0, sxy, syy};
  const double rhs[4] = {0, sumE, sxe, sye};
  const double d = Determinant3(c1, c2, c3);
  // Stations on one line in x-y (or at one point) give no plane.
  if (!(d > 1e-12 * m * sxx * syy) || sxx == 0 || syy == 0) return;
  out.cx = Determinant3(c1, rhs, c3) / d;
  out.cy = Determinant3(c1, c2, rhs) / d;
  out.c0 = (sumE - out.cx * sumX - out.cy * sumY) / m;
}
