// Lake geometry of a reservoir: its cells are those of "lake_codes" that hold
// its code; their ponding storage holds the lake water at one flat level. The
// level-volume table is built from the elevation model: a cell below a level L
// holds its area (cellsize^2 times its relative area) times (L - DEM) m3.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <utility>
#include <vector>

#include "framework/diagstream.h"
#include "routing/sp_class.h"

void SP_class::SetLakeGrids(const LakeGrids& g) {
  grids = g;
  lake = true;
}

bool SP_class::IsLakeCell(int r, int c) const {
  return grids.zone[r][c] > grids.nodata && grids.lakeCodes[r][c] == code;
}

double SP_class::CellArea(int r, int c) const {
  const double a = grids.cellsize * grids.cellsize;
  const bool weighted = grids.relArea && grids.relArea[r] && grids.relArea[r][c] > grids.nodata;
  return weighted ? a * grids.relArea[r][c] : a;
}

void SP_class::BuildLakeTable() {
  if (!lake) return;
  double reference = 0, top = 0, bottom = 0;
  bool first = true;
  firstRow = firstCol = 0;
  lastRow = lastCol = -1;
  int cells = 0;
  for (int r = 1; r <= grids.nrows; ++r) {
    for (int c = 1; c <= grids.ncols; ++c) {
      if (!IsLakeCell(r, c)) continue;
      const double altitude = grids.dem[r][c] + grids.maxPond[r][c] / 1000;
      if (first) reference = altitude;
      if (std::fabs(altitude - reference) > 0.01) {
        *diag << "FATAL: \n============== ERROR ====================\n"
              << "Error in initialization for lake " << code << "."
              << "All Cells for a lake must have the same Altitude value for DEM + MAXPOND\n"
              << "Value at row " << r << ", col " << c << " is " << grids.dem[r][c] << "\n"
              << "but first value of dhm for this lake was " << reference << "\n"
              << "\n\n=======================================\n"
              << "[end-entry]";
        throw 213;
      }
      const int v = static_cast<int>(grids.zone[r][c]);
      const int s = v >= 0 && v <= grids.maxCode && grids.zoneIndex ? grids.zoneIndex[v] : 0;
      if (s != subbasinEntry) {
        *diag << "FATAL:  error in routing description or LAKE grid:\n"
              << " Lake " << code << " must be located completely within subbasin " << subbasinCode << "."
              << "[end-entry]";
        throw 224;
      }
      top = first ? altitude : std::max(top, altitude);
      bottom = first ? grids.dem[r][c] : std::min(bottom, grids.dem[r][c]);
      firstRow = first ? r : std::min(firstRow, r);
      lastRow = std::max(lastRow, r);
      firstCol = first ? c : std::min(firstCol, c);
      lastCol = std::max(lastCol, c);
      first = false;
      ++cells;
    }
  }
  if (cells == 0) {
    *diag << "FATAL: \n============== ERROR ====================\n"
          << "Error in initialization for lake " << code << ": no cell of the grid \"lake_codes\" holds the code "
          << code << " (a lake needs at least one cell)"
          << "[end-entry]";
    throw 213;
  }
  // Rows from the top down: 0.01 m over the first 4 m, 0.02 m to 14 m, then
  // 0.05 m; a lake shallower than one row still gets its top row. The counts
  // are taken with a tolerance so that 2 m give exactly 200 rows.
  const double d = top - bottom;
  int k1 = 0, k2 = 0, k3 = 0;
  if (d < 4) {
    k1 = std::max(1, static_cast<int>(std::floor(d / 0.01 + 1e-9)));
  } else if (d < 14) {
    k1 = 400;
    k2 = static_cast<int>(std::floor((d - 4) / 0.02 + 1e-9));
  } else {
    k1 = 400;
    k2 = 500;
    k3 = static_cast<int>(std::ceil((d - 14) / 0.05 - 1e-9));
  }
  tableLevels.clear();
  for (int i = 0; i < k1; ++i) tableLevels.push_back(top - i * 0.01);
  for (int i = 0; i < k2; ++i) tableLevels.push_back(top - 4 - i * 0.02);
  for (int i = 0; i < k3; ++i) tableLevels.push_back(top - 14 - i * 0.05);
  tableLevels.push_back(bottom);
  std::vector<std::pair<double, double>> lakeCells;  // bottom, area
  for (int r = firstRow; r <= lastRow; ++r)
    for (int c = firstCol; c <= lastCol; ++c)
      if (IsLakeCell(r, c)) lakeCells.emplace_back(grids.dem[r][c], CellArea(r, c));
  std::sort(lakeCells.begin(), lakeCells.end());
  bottoms.assign(lakeCells.size(), 0.0);
  areaSums.assign(lakeCells.size() + 1, 0.0);
  bottomSums.assign(lakeCells.size() + 1, 0.0);
  volumesAtBottoms.assign(lakeCells.size(), 0.0);
  for (size_t k = 0; k < lakeCells.size(); ++k) {
    bottoms[k] = lakeCells[k].first;
    areaSums[k + 1] = areaSums[k] + lakeCells[k].second;
    bottomSums[k + 1] = bottomSums[k] + lakeCells[k].first * lakeCells[k].second;
    volumesAtBottoms[k] = areaSums[k] * bottoms[k] - bottomSums[k];
  }
  tableVolumes.assign(tableLevels.size(), 0.0);
  for (size_t k = 0; k + 1 < tableLevels.size(); ++k) tableVolumes[k] = VolumeFromLevel(tableLevels[k]);

  char name[101];
  std::snprintf(name, sizeof name, "W_V_Table_%02d.dat", code);
  std::ofstream out(name);
  if (out) {
    out << "waterlevel-volume-table lake " << code << "\nLevel[m a.s.l.]\tVolume[m^3]\n";
    for (size_t k = 0; k < tableLevels.size(); ++k) out << tableLevels[k] << "\t" << tableVolumes[k] << "\n";
    out.close();
  }
  if (!out) {
    *diag << "FATAL: error opening " << name << " for writing the waterlevel-volume-relation to disk."
          << "[end-entry]";
    throw 225;
  }
}

// The volume below a level is the sum of area times (level - bottom) over
// the cells whose bottom lies below it: piecewise linear, with a bend at
// every cell's bottom. Level and volume are taken from that function both
// ways (the table's rows are points of it), so that the water of the
// ponding grid written from a level is the volume it came from, wherever the
// bottoms lie.
double SP_class::VolumeFromLevel(double level) {
  if (!lake || bottoms.empty()) return 0.0;
  const size_t k = static_cast<size_t>(std::lower_bound(bottoms.begin(), bottoms.end(), level) - bottoms.begin());
  return areaSums[k] * level - bottomSums[k];
}

double SP_class::LevelFromVolume(double volume) {
  if (!lake || bottoms.empty()) return 0.0;
  if (!(volume > 0)) return bottoms.front();
  // k cells are wet: the first volume at a bottom that is not below it.
  const size_t k = static_cast<size_t>(std::lower_bound(volumesAtBottoms.begin(), volumesAtBottoms.end(), volume) -
                                       volumesAtBottoms.begin());
  return areaSums[k] > 0 ? (volume + bottomSums[k]) / areaSums[k] : bottoms[k - 1];
}

void SP_class::SetLakeLevel(double volume) {
  if (!lake) return;
  const double L = LevelFromVolume(volume);
  for (int r = firstRow; r <= lastRow; ++r)
    for (int c = firstCol; c <= lastCol; ++c)
      if (IsLakeCell(r, c)) {
        const bool wet = grids.dem[r][c] < L;
        grids.ponding[r][c] = wet ? (L - grids.dem[r][c]) * 1000 : 0.0;
        for (int i = 1; i < static_cast<int>(grids.tracers.size()) && i < static_cast<int>(state.size()); ++i)
          if (grids.tracers[i]) grids.tracers[i][r][c] = wet ? state[i] : 0.0;
      }
}

double SP_class::CollectLakeWater(std::vector<double>& out) {
  std::fill(out.begin(), out.end(), 0.0);
  if (!lake) return 0.0;
  for (int r = firstRow; r <= lastRow; ++r)
    for (int c = firstCol; c <= lastCol; ++c)
      if (IsLakeCell(r, c) && grids.ponding[r][c] > 0) {
        const double v = grids.ponding[r][c] / 1000 * CellArea(r, c);
        out[0] += v;
        for (size_t i = 1; i < out.size() && i < grids.tracers.size(); ++i)
          if (grids.tracers[i]) out[i] += v * grids.tracers[i][r][c];
      }
  // Concentrations of the gathered water: volume-weighted means.
  for (size_t i = 1; i < out.size(); ++i) out[i] = out[0] > 0 ? out[i] / out[0] : 0.0;
  return out[0];
}

void SP_class::TakeLakeVolumeFromGrid() {
  if (!lake) return;
  // The water the lake's cells hold as read, with its concentrations; the
  // routing's state, when read, replaces it, and the lake is levelled to its
  // volume before the first step (abflussmodellklasse::LevelLakesAtWarmStart).
  collected.assign(state.size(), 0.0);
  CollectLakeWater(collected);
  state = collected;
}
