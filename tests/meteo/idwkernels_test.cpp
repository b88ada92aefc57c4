// The row kernel of inverse-distance weighting against the one-cell kernel:
// same value bit for bit for every instruction set, weighting, anisotropy
// ratio, station count and row length, with stations at a cell, beyond the
// distance limit and without a valid value among them.
#include "meteo/idwkernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

uint64_t Bits(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

struct Case {
  int mode;
  double power;
  double ratio;
};

TEST(IdwKernels, RowKernelEqualsCellKernelBitForBit) {
  const double nodata = 9999;
  std::mt19937_64 random(20261207);
  std::uniform_real_distribution<double> unit(0, 1);
  int compared = 0;
  int invalidCells = 0;
  int stationAtCell = 0;
  for (const Case& c : {Case{2000, 2, 1}, Case{2000, 2, 0.6}, Case{1000, 1, 1}, Case{1000, 1, 0.35}, Case{0, 2.5, 1},
                        Case{0, 0.7, 0.8}}) {
    for (int round = 0; round < 60; ++round) {
      const int n = round % 41;  // 0 ... 40 stations
      // Distance limits from far below the cell spacing up to unlimited.
      const double maxDistance = round % 3 == 0 ? 1e12 : 50 + 6000 * unit(random);
      idw::Weighting k;
      k.mode = c.mode;
      k.power = c.power;
      k.ratio = c.ratio;
      k.limit = maxDistance;
      k.limitSquared = maxDistance * maxDistance;
      k.invalid = -nodata - 1;
      std::vector<double> v(n + 1), sx(n + 1), sy(n + 1);
      for (int i = 1; i <= n; ++i) {
        sx[i] = std::round(20000 * unit(random));
        sy[i] = std::round(20000 * unit(random));
        v[i] = unit(random) < 0.2 ? -nodata - 1 : 40 * unit(random) - 10;
        if (i % 7 == 0) v[i] = 0;
        if (i % 11 == 0) v[i] = -nodata;  // the lowest valid value
      }
      // Cells of a row: some exactly at a station, some repeating a station's place.
      const int cells = 1 + (round * 7) % 37;
      std::vector<double> cx(cells), cy(cells);
      for (int j = 0; j < cells; ++j) {
        cx[j] = std::round(20000 * unit(random));
        cy[j] = std::round(20000 * unit(random));
        if (n > 0 && j % 5 == 0) {
          const int at = 1 + j % n;
          cx[j] = sx[at];
          cy[j] = sy[at];
          ++stationAtCell;
        }
      }
      std::vector<double> vx, vy, vv;
      for (int i = 1; i <= n; ++i) {
        if (v[i] < -nodata) continue;
        vx.push_back(sx[i]);
        vy.push_back(sy[i]);
        vv.push_back(v[i]);
      }
      std::vector<double> work(n + 1);
      std::vector<double> one(cells);
      for (int j = 0; j < cells; ++j) {
        one[j] = idw::Point(k, v.data(), sx.data(), sy.data(), n, -nodata, cx[j], cy[j], work.data());
        if (one[j] == k.invalid) ++invalidCells;
      }
      // Every instruction set this processor has, and the one chosen by default.
      for (int isa = 0; isa <= 3; ++isa) {
        std::vector<double> row(cells, 12345.0);
        if (isa == 3) {
          idw::Cells(k, vv.data(), vx.data(), vy.data(), static_cast<int>(vv.size()), cx.data(), cy.data(), cells,
                     row.data());
        } else if (idw::Supported(static_cast<idw::Isa>(isa))) {
          idw::Cells(static_cast<idw::Isa>(isa), k, vv.data(), vx.data(), vy.data(), static_cast<int>(vv.size()),
                     cx.data(), cy.data(), cells, row.data());
        } else {
          continue;
        }
        for (int j = 0; j < cells; ++j) {
          ASSERT_EQ(Bits(row[j]), Bits(one[j]))
              << "instruction set " << isa << ", mode " << c.mode << ", ratio " << c.ratio << ", " << n
              << " stations, cell " << j << " of " << cells << ": " << row[j] << " against " << one[j];
          ++compared;
        }
      }
    }
  }
  // The cases really reach the special branches.
  EXPECT_GT(compared, 5000);
  EXPECT_GT(invalidCells, 100);
  EXPECT_GT(stationAtCell, 500);
}

TEST(IdwKernels, StationAtTheCellCountsAtDistanceOneAndFarStationsDropOut) {
  // Stations at (0, 0) value 10, (3, 4) value 20 (distance 5), (30, 40) value 50 (distance 50, beyond 10).
  const double v[4] = {0, 10, 20, 50};
  const double sx[4] = {0, 0, 3, 30};
  const double sy[4] = {0, 0, 4, 40};
  double work[4];
  idw::Weighting k;
  k.mode = 2000;
  k.limitSquared = 100;
  k.limit = 10;
  const double inverseSquare = (10 * 1.0 + 20 / 25.0) / (1 + 1 / 25.0);
  EXPECT_DOUBLE_EQ(idw::Point(k, v, sx, sy, 3, -9999, 0, 0, work), inverseSquare);
  EXPECT_EQ(work[3], 0);
  k.mode = 1000;
  EXPECT_DOUBLE_EQ(idw::Point(k, v, sx, sy, 3, -9999, 0, 0, work), (10 + 20 / 5.0) / (1 + 1 / 5.0));
  double out = 0;
  const double cx = 0, cy = 0;
  idw::Cells(k, v + 1, sx + 1, sy + 1, 3, &cx, &cy, 1, &out);
  EXPECT_DOUBLE_EQ(out, (10 + 20 / 5.0) / (1 + 1 / 5.0));
  // No station within reach: the invalid marker.
  k.limit = 0.5;
  idw::Cells(k, v + 2, sx + 2, sy + 2, 2, &cx, &cy, 1, &out);
  EXPECT_EQ(out, k.invalid);
}

}  // namespace
