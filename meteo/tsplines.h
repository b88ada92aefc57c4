// Bicubic spline surface over a station mesh: stations in columns along the
// (rotated) y axis. At a point (x, y) a natural cubic spline along every mesh
// column gives the column's value at y (and the column's x there, on the
// line through the two nodes around y); a natural cubic spline through
// these values across the columns gives the value at x. Each cell takes
// the surface at its own point (its centre, in the frame of the mesh).
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
  double missing = -9999;             // marker of a mesh value without data
  const MeshMatrix* nodeX = nullptr;  // not owned
  const MeshMatrix* nodeY = nullptr;
  int meshRows = 0;
  int meshColumns = 0;
  double fill = -9999;  // value of a point that no spline reaches
};

class TSplines : public memory_handling {
 public:
  // Work arrays of one thread for ValueAt; the spline across the columns is
  // kept for the next point of the same y (a row of cells in an unturned frame).
  struct Scratch {
    std::vector<double> x, value, d2, u;
    double y = 0;
    uint64_t generation = 0;  // of the column splines the kept row spline was made from; 0: none
    // Set when two columns stand at the same x at a point's y (the spline
    // across them has no meaning); ValueAt then gives fill.
    bool sameAbscissas = false;
    double sameX = 0;
    int sameColumn = 0;
  };

  TSplines(DiagStream* diagnostics, const TSplinesArgs& args);
  virtual ~TSplines() = default;
  TSplines(const TSplines&) = delete;
  TSplines& operator=(const TSplines&) = delete;

  // Second derivatives of the natural cubic spline through (xa[i], ya[i]),
  // i = lo ... hi, into y2[lo ... hi]. Abscissas must differ (else 82).
  virtual void SplineSecondDerivativesNatural(const double* xa, const double* ya, int lo, int hi, double* y2);
  // Value at x of the spline over xa[1 ... n]; the interval is searched from
  // the previous klo, khi. An interval with a missing end (ordinate or second
  // derivative not above missing + 0.01) or x outside xa[1] ... xa[n] gives fill.
  static void SplineValue(double x, double missing, double fill, const double* xa, const double* ya, int& klo, int& khi,
                          const double* y2, int n, double& value);
  // The column splines of one set of node values: per mesh column j the node
  // values and second derivatives from the bottom up, at j * (mesh rows + 2) + k.
  struct Columns {
    std::vector<double> value, d2;
    uint64_t generation = 0;
  };
  // Second derivatives of every mesh column along the node y, run by run of
  // valid node values; nodes outside a run get fill. Into columns for ValueAt.
  virtual void ColumnSplines(const MeshMatrix& values, Columns& columns);
  // The surface at (x, y); fill where no spline reaches. Safe on several
  // threads, each with its own scratch; never throws (see Scratch).
  double ValueAt(const Columns& columns, double x, double y, Scratch& scratch) const;
  // Sizes a scratch for ValueAt (before the threads use it).
  void Prepare(Scratch& scratch) const;
  // Ends the run for the coincident columns a scratch met (code 82).
  [[noreturn]] void SameAbscissas(double a, int ia, double b, int ib) const;

 private:
  static bool Valid(double v, double missing) { return v > missing + 0.01; }
  // Natural second derivatives over lo ... hi with the work vector u; false
  // (and the index of the second one) when two abscissas are equal.
  static bool NaturalSecondDerivatives(const double* xa, const double* ya, int lo, int hi, double* y2, double* u,
                                       int& same);
  void SplineEachValidRun(const double* xa, const double* ya, int n, double missing, double* y2);

  size_t At(int j, int k) const { return static_cast<size_t>(j) * (meshRows + 2) + k; }

  TSplinesArgs a;
  int meshRows = 0;
  int meshCols = 0;
  // Node y and x of every column from the bottom up, at At(j, k).
  std::vector<double> nodeY, nodeX;
  std::vector<double> colA, colB, colC, colD;  // work vectors of mesh rows + 2 or mesh columns + 2
  uint64_t generation = 0;                     // counts ColumnSplines calls
};
