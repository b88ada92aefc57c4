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
#pragma once

#include <omp.h>

#include <algorithm>

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
