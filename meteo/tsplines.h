// Bicubic spline surface over a station mesh: stations in columns along the
// (rotated) y axis. A natural cubic spline along every mesh column gives
// values on the rows of a regular working grid; a natural cubic spline along
// every working row, across the mesh columns, gives the values at the working
// grid columns, which model cells then look up.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/memory_handling.h"
#include "framework/types.h"

// Matrix of mesh nodes, [mesh row][mesh column], both from 1; mesh row 1 is
// the top (largest y) of every column.
using MeshMatrix = std::vector<std::vector<double>>;

struct TSplinesArgs {
  double lowerLeftX = 0;  // node (mesh rows, 1)
  double lowerLeftY = 0;
  double sx = 0;  // mean spacing of the columns and of the stations in a column
  double sy = 0;
  double missing = -9999;  // marker of a mesh value without data
  double x0 = 0;           // lower left corner of the model grid
  double y0 = 0;
  double cellSize = 1;
  const MeshMatrix* nodeX = nullptr;  // not owned
  const MeshMatrix* nodeY = nullptr;
  Grid cellX = nullptr;  // distance coordinates of the cells (rotated frame), not owned
  Grid cellY = nullptr;
  int meshRows = 0;
  int meshColumns = 0;
  int gridRows = 0;
  int gridColumns = 0;
  // Rows of the model grid this instance computes (and holds in its grids).
  int firstRow = 1;
  int lastRow = 0;
  double fill = -9999;  // grid nodata value: cells and positions without a spline value
  double angle = 0;     // rotation of the frame, radians
  double resolutionFactor = 1.0;
  int extension = 0;
  Grid zone = nullptr;  // cells not above fill are not evaluated; null: all cells with coordinates
};

class TSplines : public memory_handling {
 public:
  TSplines(DiagStream* diagnostics, const TSplinesArgs& args);
  virtual ~TSplines() = default;
  TSplines(const TSplines&) = delete;
  TSplines& operator=(const TSplines&) = delete;

  // Second derivatives of the natural cubic spline through (xa[i], ya[i]),
  // i = lo ... hi, into y2[lo ... hi]. Abscissas must differ (else 82).
  virtual void SplineSecondDerivativesNatural(const double* xa, const double* ya, int lo, int hi, double* y2);
  void SplineEachValidRun(const double* xa, const double* ya, int n, double missing, double* y2);
  // Value at x of the spline over xa[1 ... n]; the interval is searched from
  // the previous klo, khi. An interval with a missing end (ordinate or second
  // derivative not above missing + 0.01) or x outside xa[1] ... xa[n] gives fill.
  virtual void SplineValue(double x, double missing, double fill, const double* xa, const double* ya, int& klo,
                           int& khi, const double* y2, int n, double& value);
  // Second derivatives of every mesh column along the node y, run by run of
  // valid node values; nodes outside a run get fill.
  virtual void ColumnSplines(const MeshMatrix& values, MeshMatrix& secondDerivatives);
  // The two spline stages and the copy into the own rows of grid.
  virtual void EvaluateSurface(const MeshMatrix& values, const MeshMatrix& secondDerivatives, Grid grid);
  virtual void CopyToGrid(Grid grid);

  // ---- read access for tests ----
  int WorkingRows() const { return rowsW; }
  int WorkingColumns() const { return colsW; }
  double Xmin() const { return xmin; }
  double Ymin() const { return ymin; }
  double Xmax() const { return xmax; }
  double Ymax() const { return ymax; }
  // Working grid position of a cell coordinate; outside the working grid when
  // below 1 or beyond the sizes.
  int WorkingRowOf(double y) const;
  int WorkingColumnOf(double x) const;

 protected:
  virtual void FindWindow();
  virtual void MarkWindow();

 private:
  bool Valid(double v, double missing) const { return v > missing + 0.01; }
  bool UsableCell(int r, int c) const;
  size_t WorkIndex(int i, int j) const { return static_cast<size_t>(i) * (meshCols + 2) + j; }
  size_t WindowIndex(int i, int c) const {
    return static_cast<size_t>(i - rowMin) * (colMax - colMin + 1) + static_cast<size_t>(c - colMin);
  }
  [[noreturn]] void SameAbscissas(double a, int ia, double b, int ib);

  TSplinesArgs a;
  int meshRows = 0;
  int meshCols = 0;
  double res = 1;
  double xmin = 0, xmax = 0, ymin = 0, ymax = 0;
  int rowsW = 0;
  int colsW = 0;
  int rowMin = 1, rowMax = 0, colMin = 1, colMax = 0;  // window of working positions
  std::vector<uint16_t> mask;                          // over the window
  std::vector<double> result;                          // over the window
  std::vector<double> workValue;                       // [working row][mesh column], rowsW + 2 by mesh columns + 2
  std::vector<double> workY;
  std::vector<double> workX;
  std::vector<double> colA, colB, colC, colD;  // work vectors of mesh rows + 2 or mesh columns + 2
  int klo = 1;
  int khi = 2;
  // The lower left node; it stands in the frame of the mesh already.
  double lowerLeftY = 0;
};
