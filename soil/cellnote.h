// The cells of a grid that hold a value the models take with a meaning of its
// own (a missing value, a value of 0 or below): counted on every instance, the
// first of them (in row order) and their number reported once, by instance 0.
#pragma once

#include <mpi.h>

#include <climits>
#include <cstdio>
#include <string>

namespace uzk {

struct CellNote {
  long count = 0;  // cells found
  int row = 0;     // the first of them (row order), 0 when none
  int column = 0;
  double value = 0;  // its value
  int level = 0;     // and its level (of a stack)

  void Add(int r, int c, double v, int k = 0) {
    if (count++ == 0) {
      row = r;
      column = c;
      value = v;
      level = k;
    }
  }

  // Combines the notes of all instances (every instance calls it, in the same
  // order): the sum of the counts and the first cell of the whole grid.
  void Reduce(int ncols, int size) {
    if (size <= 1) return;
    long total = 0;
    MPI_Allreduce(&count, &total, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    struct {
      double index;
      int rank;
    } mine{count > 0 ? static_cast<double>(row) * (ncols + 1) + column : static_cast<double>(LONG_MAX), rank}, first{};
    MPI_Allreduce(&mine, &first, 1, MPI_DOUBLE_INT, MPI_MINLOC, MPI_COMM_WORLD);
    double cell[4] = {static_cast<double>(row), static_cast<double>(column), value, static_cast<double>(level)};
    MPI_Bcast(cell, 4, MPI_DOUBLE, first.rank, MPI_COMM_WORLD);
    count = total;
    row = static_cast<int>(cell[0]);
    column = static_cast<int>(cell[1]);
    value = cell[2];
    level = static_cast<int>(cell[3]);
  }

  // "holds <value> in row r, column c" (row 1 at the top) and, with more
  // cells, their number: " (and 12 more cells)".
  std::string Where(double nodata) const {
    char text[160];
    if (value <= nodata)
      std::snprintf(text, sizeof text, "holds no value (nodata) in row %d, column %d", row, column);
    else
      std::snprintf(text, sizeof text, "holds %g in row %d, column %d", value, row, column);
    std::string s = text;
    if (count > 1) s += " (and " + std::to_string(count - 1) + " more cells)";
    return s;
  }
};

}  // namespace uzk
