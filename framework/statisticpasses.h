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
#include <cstdint>
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
  // The whole team, even when some threads find no group: a smaller team
  // makes the OpenMP runtime end the spare threads and start them again in
  // the next parallel region of the step.
#pragma omp parallel for schedule(dynamic, 1)
  for (int g = 0; g < groups; ++g) pass(g * count / groups, (g + 1) * count / groups);
}

// A cell of a row as the statistics take it: its column, the index of its
// zone, and a share of the cell (0 where a module has none).
struct StatisticCell {
  int column;
  int zone;
  double share;
};

// The lists of all rows of a pass on several threads, kept from pass to pass
// (the passes run one after the other on the calling thread): as listed, and
// sorted by zone group.
inline std::vector<StatisticCell>& StatisticRowLists() {
  static std::vector<StatisticCell> lists;
  return lists;
}
inline std::vector<StatisticCell>& StatisticZoneLists() {
  static std::vector<StatisticCell> lists;
  return lists;
}

// Runs the statistics 0 ... count - 1 side by side over the rows firstRow ...
// lastRow. For every row, cells(row, list) writes the row's cells to list, at
// most maxCells of them in column order, and returns how many; then
// add(statistic, row, list, cellCount) adds the row's cells to a statistic of
// the group. Neither may throw. The lists are allocated here, before the
// threads start.
//
// With fewer statistics than threads, a statistic whose add puts each cell
// only into the records of the cell's own zone (through RowSums) is split
// further: each zone's sums are a chain of their own, so groups of zones go
// to different threads, and every group takes its cells of each row in
// column order. zones is the number of zone indices (0 ... zones - 1; a cell
// of another index goes with index 0), byZone(statistic) tells which
// statistics may be split. The zones are grouped by their numbers of cells.
template <class Cells, class Add, class ByZone>
void StatisticRowsSideBySide(int count, int firstRow, int lastRow, int maxCells, const Cells& cells, const Add& add,
                             int zones, const ByZone& byZone) {
  if (count < 1 || maxCells < 1 || lastRow < firstRow) return;
  const int threads = omp_in_parallel() ? 1 : omp_get_max_threads();
  const int groups = std::min(count, threads);
  const size_t width = static_cast<size_t>(maxCells);
  // Zone groups of the statistics that may be split: as many as keep the
  // threads busy besides the statistics that may not.
  constexpr int kMaxParts = 64;
  std::vector<int> split, whole;
  int parts = 1;
  if (zones > 1 && count < threads) {
    for (int s = 0; s < count; ++s) (byZone(s) ? split : whole).push_back(s);
    if (!split.empty()) {
      const int room = std::max(1, threads - static_cast<int>(whole.size()));
      parts = std::clamp((room + static_cast<int>(split.size()) - 1) / static_cast<int>(split.size()), 1,
                         std::min(zones, kMaxParts));
    }
  }
  if (groups <= 1 && parts <= 1) {
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
  if (parts <= 1) {
    // The whole team lists the rows (see StatisticsSideBySide on smaller teams).
#pragma omp parallel
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
    return;
  }
  std::vector<StatisticCell>& sorted = StatisticZoneLists();
  if (sorted.size() < rows * width) sorted.resize(rows * width);
  const size_t stride = static_cast<size_t>(parts) + 1;
  std::vector<int> starts(rows * stride, 0);
  // Each thread counts in cache lines of its own (a count per cell).
  const size_t zoneStride = (static_cast<size_t>(zones) + 7) / 8 * 8;
  std::vector<int64_t> cellsOfZone(static_cast<size_t>(threads) * zoneStride, 0);
  std::vector<int> partOf(static_cast<size_t>(zones), 0);
  auto zoneIndex = [zones](int k) { return k >= 0 && k < zones ? k : 0; };
  const int units = static_cast<int>(split.size()) * parts + static_cast<int>(whole.size());
#pragma omp parallel
  {
    int64_t* mine = cellsOfZone.data() + static_cast<size_t>(omp_get_thread_num()) * zoneStride;
#pragma omp for schedule(static)
    for (int r = firstRow; r <= lastRow; ++r) {
      const size_t row = static_cast<size_t>(r - firstRow);
      const StatisticCell* list = lists.data() + row * width;
      const int n = counts[row] = cells(r, lists.data() + row * width);
      for (int i = 0; i < n; ++i) ++mine[zoneIndex(list[i].zone)];
    }
    // Zones in order, a group ending where its share of all cells is reached.
#pragma omp masked
    {
      int64_t total = 0;
      for (int64_t c : cellsOfZone) total += c;
      int64_t before = 0;
      for (int k = 0; k < zones; ++k) {
        partOf[static_cast<size_t>(k)] =
            total > 0 ? static_cast<int>(std::min<int64_t>(parts - 1, before * parts / total)) : 0;
        for (int t = 0; t < threads; ++t)
          before += cellsOfZone[static_cast<size_t>(t) * zoneStride + static_cast<size_t>(k)];
      }
    }
#pragma omp barrier
    // Each row's cells sorted by zone group, in column order within a group.
#pragma omp for schedule(static)
    for (int r = firstRow; r <= lastRow; ++r) {
      const size_t row = static_cast<size_t>(r - firstRow);
      const StatisticCell* list = lists.data() + row * width;
      StatisticCell* out = sorted.data() + row * width;
      int* start = starts.data() + row * stride;
      int at[kMaxParts + 1] = {};
      const int n = counts[row];
      for (int i = 0; i < n; ++i) ++at[partOf[static_cast<size_t>(zoneIndex(list[i].zone))] + 1];
      for (int p = 0; p < parts; ++p) at[p + 1] += at[p];
      for (int p = 0; p <= parts; ++p) start[p] = at[p];
      for (int i = 0; i < n; ++i) out[at[partOf[static_cast<size_t>(zoneIndex(list[i].zone))]]++] = list[i];
    }
#pragma omp for schedule(dynamic, 1)
    for (int u = 0; u < units; ++u) {
      const int splitUnits = static_cast<int>(split.size()) * parts;
      for (int r = firstRow; r <= lastRow; ++r) {
        const size_t row = static_cast<size_t>(r - firstRow);
        if (u < splitUnits) {
          const int p = u % parts;
          const int* start = starts.data() + row * stride;
          const int n = start[p + 1] - start[p];
          if (n > 0) add(split[static_cast<size_t>(u / parts)], r, sorted.data() + row * width + start[p], n);
        } else if (counts[row] > 0) {
          add(whole[static_cast<size_t>(u - splitUnits)], r, lists.data() + row * width, counts[row]);
        }
      }
    }
  }
}

// The same without splitting any statistic by zones.
template <class Cells, class Add>
void StatisticRowsSideBySide(int count, int firstRow, int lastRow, int maxCells, const Cells& cells, const Add& add) {
  StatisticRowsSideBySide(count, firstRow, lastRow, maxCells, cells, add, 0, [](int) { return false; });
}
