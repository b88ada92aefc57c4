// Zonal statistics of a step on several threads with the sums of one thread.
//
// A zonal statistic adds its cells one after the other, and floating-point
// sums depend on their order, so the cells of one statistic cannot be split
// among threads without changing its figures. The statistics of a module are
// independent of each other, though (each has its own zone records), so they
// are filled side by side: every thread takes a group of whole statistics
// and fills them in one pass over the cells, each statistic still adding its
// cells in the order of a serial loop. On one thread the one group holds all
// statistics: one pass over the cells, as without threads.
//
// StatisticRowsSideBySide lists each row's cells once and then lets the
// statistics add the row one after the other, each through
// zonalstatistic::RowSums. On several threads the threads first list all
// rows between them, then each group goes through the lists. A statistic's
// cells keep their row-major order; only statistics of the same group change
// places, and they share nothing.
#pragma once

#include <omp.h>

#include <algorithm>
#include <vector>

// Runs pass(first, last) for groups of the statistics 0 ... count - 1, one
// group per thread; pass fills the statistics first ... last - 1. It may only
// change what belongs to those statistics and must not throw
// (zonalstatistic::AddCell does not).
template <class Pass>
void StatisticsSideBySide(int count, const Pass& pass) {
  const int groups = std::min(count, omp_in_parallel() ? 1 : omp_get_max_threads());
  if (groups <= 1) {
    if (count > 0) pass(0, count);
    return;
  }
#pragma omp parallel for schedule(dynamic, 1) num_threads(groups)
  for (int g = 0; g < groups; ++g) pass(g * count / groups, (g + 1) * count / groups);
}

// A cell of a row as the statistics take it: its column, the index of its
// zone, and a share of the cell (0 where a module has none).
struct StatisticCell {
  int column;
  int zone;
  double share;
};

// Runs the statistics 0 ... count - 1 side by side over the rows firstRow ...
// lastRow. For every row, cells(row, list) writes the row's cells to list, at
// most maxCells of them in column order, and returns how many; then
// add(statistic, row, list, cellCount) adds the row's cells to a statistic of
// the group. Neither may throw. The lists are allocated here, before the
// threads start.
// The lists of all rows of a pass on several threads, kept from pass to pass
// (the passes run one after the other on the calling thread).
inline std::vector<StatisticCell>& StatisticRowLists() {
  static std::vector<StatisticCell> lists;
  return lists;
}

template <class Cells, class Add>
void StatisticRowsSideBySide(int count, int firstRow, int lastRow, int maxCells, const Cells& cells, const Add& add) {
  if (count < 1 || maxCells < 1 || lastRow < firstRow) return;
  const int groups = std::min(count, omp_in_parallel() ? 1 : omp_get_max_threads());
  const size_t width = static_cast<size_t>(maxCells);
  if (groups <= 1) {
    std::vector<StatisticCell> list(width);
    for (int r = firstRow; r <= lastRow; ++r) {
      const int n = cells(r, list.data());
      if (n < 1) continue;
      for (int s = 0; s < count; ++s) add(s, r, static_cast<const StatisticCell*>(list.data()), n);
    }
    return;
  }
  const size_t rows = static_cast<size_t>(lastRow - firstRow + 1);
  std::vector<StatisticCell>& lists = StatisticRowLists();
  if (lists.size() < rows * width) lists.resize(rows * width);
  std::vector<int> counts(rows, 0);
#pragma omp parallel num_threads(groups)
  {
#pragma omp for schedule(static)
    for (int r = firstRow; r <= lastRow; ++r)
      counts[static_cast<size_t>(r - firstRow)] = cells(r, lists.data() + static_cast<size_t>(r - firstRow) * width);
#pragma omp for schedule(dynamic, 1)
    for (int g = 0; g < groups; ++g) {
      for (int r = firstRow; r <= lastRow; ++r) {
        const size_t row = static_cast<size_t>(r - firstRow);
        const int n = counts[row];
        if (n < 1) continue;
        const StatisticCell* list = lists.data() + row * width;
        for (int s = g * count / groups; s < (g + 1) * count / groups; ++s) add(s, r, list, n);
      }
    }
  }
}
