// Bicubic spline surface over a station mesh.
#include "meteo/tsplines.h"

#include <algorithm>
#include <cmath>

#include "framework/diagstream.h"

TSplines::TSplines(DiagStream* diagnostics, const TSplinesArgs& args) : memory_handling(diagnostics), a(args) {
  modulname = "TSplines";
  meshRows = a.meshRows;
  meshCols = a.meshColumns;
  res = a.cellSize / a.resolutionFactor;
  const MeshMatrix& nx = *a.nodeX;
  const MeshMatrix& ny = *a.nodeY;
  xmin = xmax = a.lowerLeftX;
  ymin = ymax = a.lowerLeftY;
  for (int i = 1; i <= meshRows; ++i) {
    xmin = std::min(xmin, nx[i][1]);
    xmax = std::max(xmax, nx[i][meshCols]);
  }
  for (int j = 1; j <= meshCols; ++j) {
    ymin = std::min(ymin, ny[meshRows][j]);
    ymax = std::max(ymax, ny[1][j]);
  }
  rowsW = static_cast<int>((ymax - ymin) / res + 0.49999) + 1;
  colsW = static_cast<int>((xmax - xmin) / res + 0.49999) + 1;
  FindWindow();
  MarkWindow();
  const size_t work = (static_cast<size_t>(rowsW) + 2) * (static_cast<size_t>(meshCols) + 2);
  workValue.assign(work, a.fill);
  workY.assign(work, 0.0);
  workX.assign(work, 0.0);
  const size_t vector = static_cast<size_t>(std::max(meshRows, meshCols)) + 2;
  colA.assign(vector, 0.0);
  colB.assign(vector, 0.0);
  colC.assign(vector, 0.0);
  colD.assign(vector, 0.0);
  lowerLeftY = a.lowerLeftY;
}

int TSplines::WorkingRowOf(double y) const {
  // Rows are found by rounding: working row i stands at y = ymin + (rowsW - i) res.
  return rowsW - static_cast<int>(std::floor((y - ymin) / res + 0.4999));
}

int TSplines::WorkingColumnOf(double x) const {
  // Column c takes the cells with x in [xmin + (c - 1) res, xmin + c res).
  return static_cast<int>(std::floor((x - xmin) / res)) + 1;
}

bool TSplines::UsableCell(int r, int c) const {
  // A coordinate equal to the fill value marks a cell without coordinates;
  // coordinates may be negative in some projections, so no range is implied.
  if (a.zone && !(a.zone[r][c] > a.fill + 0.01)) return false;
  return a.cellX[r][c] != a.fill && a.cellY[r][c] != a.fill;
}

void TSplines::FindWindow() {
  rowMin = rowsW + 1;
  rowMax = 0;
  colMin = colsW + 1;
  colMax = 0;
  const int first = std::max(1, a.firstRow);
  const int last = std::min(a.gridRows, a.lastRow);
  for (int r = first; r <= last; ++r) {
    for (int c = 1; c <= a.gridColumns; ++c) {
      if (!UsableCell(r, c)) continue;
      const int i = WorkingRowOf(a.cellY[r][c]);
      const int j = WorkingColumnOf(a.cellX[r][c]);
      if (i < 1 || i > rowsW || j < 1 || j > colsW) continue;
      rowMin = std::min(rowMin, i);
      rowMax = std::max(rowMax, i);
      colMin = std::min(colMin, j);
      colMax = std::max(colMax, j);
    }
  }
  if (rowMin > rowMax) {
    // No cell of this instance lies over the mesh: an empty window.
    rowMin = colMin = 1;
    rowMax = colMax = 0;
    return;
  }
  rowMin = std::max(1, rowMin - 1);
  rowMax = std::min(rowsW, rowMax + 1);
  colMin = std::max(1, colMin - 1);
  colMax = std::min(colsW, colMax + 1);
}

void TSplines::MarkWindow() {
  if (rowMin > rowMax) {
    mask.clear();
    result.clear();
    return;
  }
  const size_t size = static_cast<size_t>(rowMax - rowMin + 1) * static_cast<size_t>(colMax - colMin + 1);
  mask.assign(size, 0);
  result.assign(size, a.fill);
  const int first = std::max(1, a.firstRow);
  const int last = std::min(a.gridRows, a.lastRow);
  for (int r = first; r <= last; ++r) {
    for (int c = 1; c <= a.gridColumns; ++c) {
      if (!UsableCell(r, c)) continue;
      const int i = WorkingRowOf(a.cellY[r][c]);
      const int j = WorkingColumnOf(a.cellX[r][c]);
      if (i < rowMin || i > rowMax || j < colMin || j > colMax) continue;
      mask[WindowIndex(i, j)] = 1;
    }
  }
}

void TSplines::SameAbscissas(double x1, int i1, double x2, int i2) {
  *diag << "FATAL: The two input coordinates " << x1 << " (index " << i1 << ") \nand " << x2 << " (index " << i2
        << ") for the 1-D-Splineevaluation are the same!\n"
        << "(stations of the spline mesh of one column or one mesh row stand at the same position)"
        << "[end-entry]";
  throw 82;
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

void TSplines::SplineSecondDerivativesNatural(const double* xa, const double* ya, int lo, int hi, double* y2) {
  double* u = colD.data();
  y2[lo] = 0;
  u[lo] = 0;
  for (int i = lo + 1; i <= hi - 1; ++i) {
    const double span = xa[i + 1] - xa[i - 1];
    const double left = xa[i] - xa[i - 1];
    const double right = xa[i + 1] - xa[i];
    if (left == 0) SameAbscissas(xa[i - 1], i - 1, xa[i], i);
    if (right == 0) SameAbscissas(xa[i], i, xa[i + 1], i + 1);
    if (span == 0) SameAbscissas(xa[i - 1], i - 1, xa[i + 1], i + 1);
    const double sig = left / span;
    const double p = sig * y2[i - 1] + 2;
    y2[i] = (sig - 1) / p;
    u[i] = (6 * ((ya[i + 1] - ya[i]) / right - (ya[i] - ya[i - 1]) / left) / span - sig * u[i - 1]) / p;
  }
  y2[hi] = 0;
  for (int i = hi - 1; i >= lo; --i) y2[i] = y2[i] * y2[i + 1] + u[i];
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
    const double h = xa[hi] - xa[lo];
    if (h == 0) SameAbscissas(xa[lo], lo, xa[hi], hi);
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

void TSplines::ColumnSplines(const MeshMatrix& values, MeshMatrix& secondDerivatives) {
  const MeshMatrix& ny = *a.nodeY;
  double* ya = colA.data();
  double* va = colB.data();
  double* d2 = colC.data();
  const int n = meshRows;
  for (int j = 1; j <= meshCols; ++j) {
    // Bottom up, so that the abscissas ascend.
    for (int k = 1; k <= n; ++k) {
      ya[k] = ny[n + 1 - k][j];
      va[k] = values[n + 1 - k][j];
      d2[k] = a.fill;
    }
    SplineEachValidRun(ya, va, n, a.missing, d2);
    for (int m = 1; m <= n; ++m) secondDerivatives[n + 1 - m][j] = d2[m];
  }
}

void TSplines::EvaluateSurface(const MeshMatrix& values, const MeshMatrix& secondDerivatives, Grid grid) {
  if (rowMin <= rowMax) {
    const MeshMatrix& nx = *a.nodeX;
    const MeshMatrix& ny = *a.nodeY;
    double* ya = colA.data();
    double* va = colB.data();
    double* d2 = colC.data();
    std::vector<double> xs(static_cast<size_t>(meshRows) + 2, 0.0);
    const int n = meshRows;
    // Stage 1: along every mesh column onto the working rows of the window.
    for (int j = 1; j <= meshCols; ++j) {
      for (int k = 1; k <= n; ++k) {
        const int i = n + 1 - k;
        ya[k] = ny[i][j] <= a.missing ? lowerLeftY + (k - 1) * a.sy : ny[i][j];
        xs[static_cast<size_t>(k)] = nx[i][j];
        va[k] = values[i][j];
        d2[k] = secondDerivatives[i][j];
      }
      ya[n + 1] = va[n + 1] = d2[n + 1] = a.fill;
      klo = 1;
      khi = 2;
      for (int i = rowMin; i <= rowMax; ++i) {
        const double yi = ymin + (rowsW - i) * res;
        // The column's x on the line through the two nodes around yi.
        int s = 1;
        if (n >= 2) {
          if (yi >= ya[n])
            s = n - 1;
          else if (yi > ya[1])
            while (s < n - 1 && ya[s + 1] <= yi) ++s;
        }
        double x = xs[static_cast<size_t>(s)];
        if (n >= 2 && ya[s + 1] != ya[s])
          x = xs[static_cast<size_t>(s)] +
              (xs[static_cast<size_t>(s) + 1] - xs[static_cast<size_t>(s)]) * (yi - ya[s]) / (ya[s + 1] - ya[s]);
        double v = a.fill;
        SplineValue(yi, a.missing, a.fill, ya, va, klo, khi, d2, n, v);
        workY[WorkIndex(i, j)] = yi;
        workX[WorkIndex(i, j)] = x;
        workValue[WorkIndex(i, j)] = v;
      }
    }
    // Stage 2: along every working row of the window, across the mesh columns.
    double* xa = colA.data();
    for (int i = rowMin; i <= rowMax; ++i) {
      for (int j = 1; j <= meshCols; ++j) {
        xa[j] = workX[WorkIndex(i, j)];
        va[j] = workValue[WorkIndex(i, j)];
        d2[j] = a.fill;
      }
      xa[meshCols + 1] = va[meshCols + 1] = d2[meshCols + 1] = a.fill;
      SplineEachValidRun(xa, va, meshCols, a.fill, d2);
      klo = 1;
      khi = 2;
      for (int c = colMin; c <= colMax; ++c) {
        const size_t w = WindowIndex(i, c);
        if (!mask[w]) continue;
        // The middle of the x range of the cells that take this column.
        const double xc = xmin + (c - 0.5) * res;
        double v = a.fill;
        SplineValue(xc, a.fill, a.fill, xa, va, klo, khi, d2, meshCols, v);
        result[w] = v;
      }
    }
  }
  CopyToGrid(grid);
}

void TSplines::CopyToGrid(Grid grid) {
  // Only the rows of this instance: the grids of the other rows may not exist here.
  const int first = std::max(1, a.firstRow);
  const int last = std::min(a.gridRows, a.lastRow);
  for (int r = first; r <= last; ++r) {
    for (int c = 1; c <= a.gridColumns; ++c) {
      double v = a.fill;
      if (UsableCell(r, c) && rowMin <= rowMax) {
        const int i = WorkingRowOf(a.cellY[r][c]);
        const int j = WorkingColumnOf(a.cellX[r][c]);
        if (i >= rowMin && i <= rowMax && j >= colMin && j <= colMax) v = result[WindowIndex(i, j)];
      }
      grid[r][c] = v;
    }
  }
}
