// Zonal statistics of a 500 x 500 grid with 20 zones in bands of rows and
// changing along a row every 25 cells, with an area grid: nanoseconds per
// cell for AddCell (a virtual call, as in the modules) and for the rows of zonalstatistic::RowSums, with weight 1
// and with the two adds of a glacier share. Both must give the same sums;
// the program says so.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "framework/diagstream.h"
#include "framework/memory_handling.h"
#include "framework/zonalstatistic.h"

namespace {

constexpr int kRows = 500;
constexpr int kCols = 500;
constexpr int kZones = 20;
constexpr int kRepeats = 20;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  std::ostringstream console;
  DiagStream diag("/dev/null", 0, &console);
  memory_handling memory(&diag);
  Grid area = memory.matrix(1, kRows, 1, kCols, kRows);
  Grid values = memory.matrix(1, kRows, 1, kCols, kRows);
  Grid share = memory.matrix(1, kRows, 1, kCols, kRows);
  std::vector<int> zone(static_cast<size_t>(kRows + 1) * (kCols + 1));
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      area[r][c] = 0.9 + 0.001 * ((r * 13 + c) % 200);
      values[r][c] = (r % 7 == 0 && c % 11 == 0) ? -9999.0 : 0.01 * ((r * 31 + c * 17) % 1000);
      share[r][c] = (c % 5 == 0) ? 0.3 : 0.0;
      zone[static_cast<size_t>(r) * (kCols + 1) + c] = 1 + (r / 50 * 2 + c / 25) % kZones;
    }
  auto zoneOf = [&](int r, int c) { return zone[static_cast<size_t>(r) * (kCols + 1) + c]; };

  std::vector<ZoneRecord> byCell(kZones + 1, ZoneRecord{0, 0, 0, 0, 0}), byRow(byCell);
  for (int k = 0; k <= kZones; ++k) byCell[k].zonenwert = byRow[k].zonenwert = k;
  int error = 0;
  zonalstatistic cellwise(error, &diag, nullptr, 0, area, kRows, kCols, byCell.data(), kZones, 2001, 5, "cell.sta",
                          "/tmp/", 0, nullptr);
  zonalstatistic rowwise(error, &diag, nullptr, 0, area, kRows, kCols, byRow.data(), kZones, 2001, 5, "row.sta",
                         "/tmp/", 0, nullptr);
  if (error != 0) return 1;
  // The modules call AddCell through a pointer whose target the compiler does not know.
  zonalstatistic* volatile opaque = &cellwise;
  zonalstatistic* const viaPointer = opaque;

  for (bool glacier : {false, true}) {
    double best[2] = {1e30, 1e30};
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
      cellwise.NewStep();
      auto start = std::chrono::steady_clock::now();
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
          if (!glacier) {
            viaPointer->AddCell(r, c, zoneOf(r, c), values[r][c], 1.0);
            continue;
          }
          const double g = share[r][c];
          if (g < 1) viaPointer->AddCell(r, c, zoneOf(r, c), values[r][c], 1 - g);
          if (g > 0) viaPointer->AddCell(r, c, zoneOf(r, c), 0.0, g);
        }
      best[0] = std::min(best[0], Seconds(start));

      rowwise.NewStep();
      start = std::chrono::steady_clock::now();
      for (int r = 1; r <= kRows; ++r) {
        zonalstatistic::RowSums sums(rowwise, r);
        const double* v = values[r];
        const double* s = share[r];
        for (int c = 1; c <= kCols; ++c) {
          if (!glacier) {
            sums.Add(c, zoneOf(r, c), v[c], 1.0);
            continue;
          }
          const double g = s[c];
          if (g < 1) sums.Add(c, zoneOf(r, c), v[c], 1 - g);
          if (g > 0) sums.Add(c, zoneOf(r, c), 0.0, g);
        }
      }
      best[1] = std::min(best[1], Seconds(start));
    }
    bool same = true;
    for (int k = 0; k <= kZones; ++k)
      same = same && std::memcmp(&byCell[k].n, &byRow[k].n, sizeof(double)) == 0 &&
             std::memcmp(&byCell[k].sx, &byRow[k].sx, sizeof(double)) == 0 &&
             std::memcmp(&byCell[k].RelCellSum, &byRow[k].RelCellSum, sizeof(double)) == 0;
    const double cells = static_cast<double>(kRows) * kCols;
    std::printf("%-16s AddCell %6.2f ns/cell  RowSums %6.2f ns/cell  (%.1fx)  sums %s\n",
                glacier ? "glacier share" : "weight 1", 1e9 * best[0] / cells, 1e9 * best[1] / cells, best[0] / best[1],
                same ? "equal bit for bit" : "DIFFERENT");
    if (!same) return 1;
  }
  memory.FreeMatrix(area, 1, kRows, 1, kCols);
  memory.FreeMatrix(values, 1, kRows, 1, kCols);
  memory.FreeMatrix(share, 1, kRows, 1, kCols);
  return 0;
}
