// Zonal statistics of a step on several threads with the sums of one thread.
//
// A zonal statistic adds its cells one after the other, and floating-point
// sums depend on their order, so the cells of one statistic cannot be split
// among threads without changing its figures. The statistics of a module are
// independent of each other, though (each has its own zone records), so they
// are filled side by side: every thread takes whole statistics, and each
// statistic still adds its cells in the order of a serial loop.
#pragma once

// Runs pass(k) for k = 0 ... count - 1 on the threads, one k at a time per
// thread. pass(k) may only change what belongs to statistic k; it must not
// throw (zonalstatistic::AddCell does not).
template <class Pass>
void StatisticsSideBySide(int count, const Pass& pass) {
#pragma omp parallel for schedule(dynamic, 1)
  for (int k = 0; k < count; ++k) pass(k);
}
