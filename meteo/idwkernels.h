// Inverse-distance weighting of one point and of many cells at once.
//
// Both give the same value for a cell, bit for bit: the many-cell form adds
// the weights of the stations in the same order with the same operations, it
// only computes several cells side by side (one vector lane per cell, 8 with
// AVX-512, 4 otherwise).
#pragma once

namespace idw {

// Weighting of the kernels. Mode 2000 weights by 1/s with squared distances
// s and compares s with limitSquared; mode 1000 weights by 1/d and compares d
// with limit; any other mode weights by (d_nearest / d)^power, d_nearest the
// nearest valid station's distance within the limit (the same quotient as
// d^-power, without its underflow at high powers). A station at the cell
// counts at distance 1. ratio scales the x distance (1 when isotropic).
struct Weighting {
  int mode = 2000;
  double ratio = 1;
  double limitSquared = 0;
  double limit = 0;
  double power = 2;
  double invalid = -10000;  // the result of a cell with no weight
};

// Stations 1 ... n with values v; those with v below validFrom are left out.
// The weights are left in work[1 ... n] (0 for a station left out).
double Point(const Weighting& k, const double* v, const double* sx, const double* sy, int n, double validFrom, double x,
             double y, double* work);

// Instruction sets of the row kernel; every one gives the same values.
enum class Isa { Avx512, Avx2, Baseline };
bool Supported(Isa isa);

// The same value for cells (cx[j], cy[j]), j = 0 ... cells - 1, into out[j],
// from stations 0 ... n - 1 that are all valid (left-out stations removed
// beforehand, in their order).
void Cells(const Weighting& k, const double* v, const double* sx, const double* sy, int n, const double* cx,
           const double* cy, int cells, double* out);
// The same with a given instruction set, which the processor must support.
void Cells(Isa isa, const Weighting& k, const double* v, const double* sx, const double* sy, int n, const double* cx,
           const double* cy, int cells, double* out);

}  // namespace idw
