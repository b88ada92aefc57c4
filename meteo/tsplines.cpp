// Bicubic spline surface over a station mesh.
#include "meteo/tsplines.h"

#include <algorithm>
#include <cmath>

#include "framework/diagstream.h"

TSplines::TSplines(DiagStream* diagnostics, const TSplinesArgs& args) : memory_handling(diagnostics), a(args) {
  modulname = "TSplines";
  meshRows = a.meshRows;
  meshCols = a.meshColumns;
  const MeshMatrix& nx = *a.nodeX;
  const MeshMatrix& ny = *a.nodeY;
  const size_t size = At(meshCols + 1, 0);
  nodeY.assign(size, a.fill);
  nodeX.assign(size, a.fill);
  for (int j = 1; j <= meshCols; ++j) {
    for (int k = 1; k <= meshRows; ++k) {
      const int i = meshRows + 1 - k;
      // A node without a position takes its place in the regular mesh.
      nodeY[At(j, k)] = ny[i][j] <= a.missing ? a.lowerLeftY + (k - 1) * a.sy : ny[i][j];
      nodeX[At(j, k)] = nx[i][j];
    }
  }
  const size_t vector = static_cast<size_t>(std::max(meshRows, meshCols)) + 2;
  colA.assign(vector, 0.0);
  colB.assign(vector, 0.0);
  colC.assign(vector, 0.0);
  colD.assign(vector, 0.0);
}

void TSplines::SameAbscissas(double x1, int i1, double x2, int i2) const {
  *diag << "FATAL: The two input coordinates " << x1 << " (index " << i1 << ") \nand " << x2 << " (index " << i2
        << ") for the 1-D-Splineevaluation are the same!\n"
        << "(stations of the spline mesh of one column or one mesh row stand at the same position)"
        << "[end-entry]";
  throw 82;
}

bool TSplines::NaturalSecondDerivatives(const double* xa, const double* ya, int lo, int hi, double* y2, double* u,
                                        int& same) {
  y2[lo] = 0;
  u[lo] = 0;
  for (int i = lo + 1; i <= hi - 1; ++i) {
    const double span = xa[i + 1] - xa[i - 1];
    const double left = xa[i] - xa[i - 1];
    const double right = xa[i + 1] - xa[i];
    if (left == 0 || span == 0) {
      same = i;
      return false;
    }
    if (right == 0) {
      same = i + 1;
      return false;
    }
    const double sig = left / span;
    const double p = sig * y2[i - 1] + 2;
    y2[i] = (sig - 1) / p;
    u[i] = (6 * ((ya[i + 1] - ya[i]) / right - (ya[i] - ya[i - 1]) / left) / span - sig * u[i - 1]) / p;
  }
  if (hi > lo && xa[hi] == xa[hi - 1]) {
    same = hi;
    return false;
  }
  y2[hi] = 0;
  for (int i = hi - 1; i >= lo; --i) y2[i] = y2[i] * y2[i + 1] + u[i];
  return true;
}

void TSplines::SplineSecondDerivativesNatural(const double* xa, const double* ya, int lo, int hi, double* y2) {
  int same = 0;
  if (!NaturalSecondDerivatives(xa, ya, lo, hi, y2, colD.data(), same))
    SameAbscissas(xa[same - 1], same - 1, xa[same], same);
}

void TSplines::SplineEachValidRun(const double* xa, const double* ya, int n, double missing, double* y2) {
  // A missing value splits the line: each run of valid values gets its own spline.
  int k = 1;
  while (k <= n) {
    if (!Valid(ya[k], missing)) {
      ++k;
      continue;
    }
    int end = k;
    while (end + 1 <= n && Valid(ya[end + 1], missing)) ++end;
    SplineSecondDerivativesNatural(xa, ya, k, end, y2);
    k = end + 1;
  }
}

void TSplines::SplineValue(double x, double missing, double fill, const double* xa, const double* ya, int& lo, int& hi,
                           const double* y2, int n, double& value) {
  value = fill;
  if (n < 1) return;
  if (n == 1) {
    if (x == xa[1] && Valid(ya[1], missing) && Valid(y2[1], missing)) value = ya[1];
    return;
  }
  if (lo < 1 || lo >= n) lo = 1;
  while (lo > 1 && xa[lo] > x) --lo;
  while (lo < n - 1 && xa[lo + 1] <= x) ++lo;
  hi = lo + 1;
  if (!(xa[lo] <= x && x <= xa[hi])) return;
  const bool lowValid = Valid(ya[lo], missing) && Valid(y2[lo], missing);
  const bool highValid = Valid(ya[hi], missing) && Valid(y2[hi], missing);
  if (lowValid && highValid) {
    // Equal abscissas have no spline between them (their second derivatives are refused first).
    const double h = xa[hi] - xa[lo];
    if (h == 0) return;
    const double A = (xa[hi] - x) / h;
    const double B = (x - xa[lo]) / h;
    value = A * ya[lo] + B * ya[hi] + ((A * A * A - A) * y2[lo] + (B * B * B - B) * y2[hi]) * (h * h) / 6.0;
    return;
  }
  // A node with data keeps its value where a run ends at it.
  if (x == xa[lo] && lowValid)
    value = ya[lo];
  else if (x == xa[hi] && highValid)
    value = ya[hi];
}

void TSplines::ColumnSplines(const MeshMatrix& values, Columns& columns) {
  const int n = meshRows;
  columns.value.assign(At(meshCols + 1, 0), a.fill);
  columns.d2.assign(columns.value.size(), a.fill);
  for (int j = 1; j <= meshCols; ++j) {
    // Bottom up, so that the abscissas ascend.
    double* va = &columns.value[At(j, 0)];
    for (int k = 1; k <= n; ++k) va[k] = values[n + 1 - k][j];
    SplineEachValidRun(&nodeY[At(j, 0)], va, n, a.missing, &columns.d2[At(j, 0)]);
  }
  columns.generation = ++generation;
}

void TSplines::Prepare(Scratch& s) const {
  const size_t width = static_cast<size_t>(meshCols) + 2;
  if (s.x.size() >= width) return;
  s.x.assign(width, 0.0);
  s.value.assign(width, 0.0);
  s.d2.assign(width, 0.0);
  s.u.assign(width, 0.0);
  s.generation = 0;
}

double TSplines::ValueAt(const Columns& columns, double x, double y, Scratch& s) const {
  const int n = meshRows;
  Prepare(s);
  if (s.generation != columns.generation || s.y != y) {
    s.generation = 0;
    // Along every mesh column to y: the column's value there and its x on
    // the line through the two nodes around y (beyond the end nodes the
    // line through the last two).
    for (int j = 1; j <= meshCols; ++j) {
      const double* ya = &nodeY[At(j, 0)];
      const double* xs = &nodeX[At(j, 0)];
      int k = 1;
      if (n >= 2) {
        if (y >= ya[n])
          k = n - 1;
        else if (y > ya[1])
          while (k < n - 1 && ya[k + 1] <= y) ++k;
      }
      double cx = xs[k];
      if (n >= 2 && ya[k + 1] != ya[k]) cx = xs[k] + (xs[k + 1] - xs[k]) * (y - ya[k]) / (ya[k + 1] - ya[k]);
      int lo = 1;
      int hi = 2;
      double v = a.fill;
      SplineValue(y, a.missing, a.fill, ya, &columns.value[At(j, 0)], lo, hi, &columns.d2[At(j, 0)], n, v);
      s.x[static_cast<size_t>(j)] = cx;
      s.value[static_cast<size_t>(j)] = v;
      s.d2[static_cast<size_t>(j)] = a.fill;
    }
    // Across the columns: each run of columns with a value gets its spline.
    for (int k = 1; k <= meshCols;) {
      if (!Valid(s.value[static_cast<size_t>(k)], a.fill)) {
        ++k;
        continue;
      }
      int end = k;
      while (end + 1 <= meshCols && Valid(s.value[static_cast<size_t>(end) + 1], a.fill)) ++end;
      int same = 0;
      if (!NaturalSecondDerivatives(s.x.data(), s.value.data(), k, end, s.d2.data(), s.u.data(), same)) {
        if (!s.sameAbscissas) {
          s.sameAbscissas = true;
          s.sameX = s.x[static_cast<size_t>(same)];
          s.sameColumn = same;
        }
        return a.fill;
      }
      k = end + 1;
    }
    s.y = y;
    s.generation = columns.generation;
  }
  int lo = 1;
  int hi = 2;
  double v = a.fill;
  SplineValue(x, a.fill, a.fill, s.x.data(), s.value.data(), lo, hi, s.d2.data(), meshCols, v);
  return v;
}
