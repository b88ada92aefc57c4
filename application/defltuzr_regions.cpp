// Regions of the meteorological regression and their transition weights:
// every cell gets its own region, up to two other regions that lie within the
// transition distance, and one weight per region; the weights of a cell add
// up to 1. The regional superposition of the meteorological input finds the
// grids by name.
#include <algorithm>
#include <cmath>
#include <string>

#include "application/defltuzr.h"
#include "application/derivedgrids.h"
#include "framework/diagstream.h"

void defaultini::MakeRegionWeightGrids() {
  for (int i = 0; i < 4; ++i) regiongrids[i] = regionweights[i] = nullptr;
  regiongrid = nullptr;
  nregions = 0;
  maxregioncode = 0;
  regioncodes.clear();
  centroids.clear();
  const int r0 = GridFirstRow();
  const int r1 = GridLastRow();
  const std::string full = "FATAL: no free grid found in memory (at position " + std::to_string(kGridListMax) + ")";

  int regionPosition = FindGrid("regression_regions", true);
  if (regionPosition > 0 && !gridlist[regionPosition].grid) regionPosition = 0;
  if (regionPosition > 0) {
    regiongrids[1] = gridlist[regionPosition].grid;
  } else {
    // One region of code 1 over the zone grid's data.
    regionPosition = FreeGridPosition(1, full + "\n");
    regiongrids[1] = NewDerivedGrid(regionPosition, "regression_regions",
                                    derivedgrids::FileName(gridlist[1].filename, ".$r1"), r0, r1);
    Grid zone = gridlist[1].grid;
    for (int r = r0; r <= r1; ++r)
      for (int c = 1; c <= ncols; ++c) regiongrids[1][r][c] = zone && zone[r] && zone[r][c] > nodata ? 1.0 : nodata;
  }
  regiongrid = regiongrids[1];

  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + controlfilename, 28);
  FindSection("[region_transition_distance]", true);
  const std::string label = "transition distance (if or if not using a region grid) ";
  ReadValue(controlfile, "%lf", &transitiondistance, label, linebuffer);
  // The distance bounds the search window of every cell.
  if (!std::isfinite(transitiondistance)) {
    const std::string where = controlfile.Where();
    controlfile.Close();
    Fatal("FATAL: error reading " + label + "in section [region_transition_distance] (" + where +
              "): the value is not a finite number",
          17);
  }
  if (!controlfile.Close()) Fatal("FATAL: error closing " + controlfilename, 11);
  if (transitiondistance <= 0) transitiondistance = 0.01;

  RankRegions(regionPosition);

  // Named from the region grid's file: its extension replaced, or the suffix
  // appended to a name without one.
  const std::string regionFile = gridlist[regionPosition].filename;
  const bool dotted = regionFile.rfind('.') != std::string::npos;
  int positions[6] = {};  // weights 1, regions 2, weights 2, regions 3, weights 3
  Grid* grids[6] = {&regionweights[1], &regiongrids[2], &regionweights[2], &regiongrids[3], &regionweights[3]};
  const char* names[5] = {"regression_weights1", "regression_regions2", "regression_weights2", "regression_regions3",
                          "regression_weights3"};
  const char* suffixes[5] = {dotted ? ".$w1" : ".$rw1", ".$r2", ".$w2", ".$r3", ".$w3"};
  const int made = nregions >= 3 ? 5 : nregions >= 2 ? 3 : 1;
  int p = 0;
  for (int i = 0; i < made; ++i) {
    p = FreeGridPosition(p + 1, full);
    positions[i] = p;
    *grids[i] = NewDerivedGrid(p, names[i], derivedgrids::FileName(regionFile, suffixes[i]), r0, r1);
  }

  GenerateRegionWeights();

  for (int i = 0; i < made; ++i) {
    MPIScatterGrid(positions[i], *grids[i]);
    MPIExchangeBorders(positions[i], *grids[i]);
    WriteGridOnce(positions[i]);
  }
}

void defaultini::GenerateRegionWeights() {
  if (mpirank != 0) return;
  *diag << "generating region weight grids"
        << "[end-entry]";
  if (transitiondistance <= 0) transitiondistance = 0.01;
  const double d = transitiondistance / cellsize;
  Grid zone = gridlist[1].grid;
  Grid reg1 = regiongrids[1];
  Grid reg2 = regiongrids[2];
  Grid reg3 = regiongrids[3];
  Grid w1 = regionweights[1];
  Grid w2 = regionweights[2];
  Grid w3 = regionweights[3];
  const int n = nregions;
  auto isZone = [&](int r, int c) { return zone[r] && zone[r][c] > nodata; };
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (!isZone(r, c)) reg1[r][c] = nodata;
  // Regions are told apart by their codes, the integer parts of the cell values.
  auto code = [&](int r, int c) { return reg1[r][c] > nodata ? std::trunc(reg1[r][c]) : nodata; };
  // Rows and columns of the search window, bounded by the raster before they become integers.
  const int reach = static_cast<int>(std::min(std::floor(d), static_cast<double>(nrows)));
  for (int r = 1; r <= nrows; ++r) {
    const int first = datacols ? std::max(1, datacols[r].first) : 1;
    const int last = datacols ? std::min(ncols, datacols[r].last) : ncols;
    for (int c = first; c <= last; ++c) {
      if (!isZone(r, c)) {
        w1[r][c] = nodata;
        if (n >= 2) reg2[r][c] = w2[r][c] = nodata;
        if (n >= 3) reg3[r][c] = w3[r][c] = nodata;
        continue;
      }
      if (n <= 1) {
        w1[r][c] = 1.0;
        continue;
      }
      const double own = code(r, c);
      double code2 = 0, code3 = 0;
      double nearest = d, dist2 = d, dist3 = d;  // truncated distances in cells
      int r2 = r, c2 = c, r3 = r, c3 = c;        // nearest cells of the other regions
      for (int rr = std::max(1, r - reach); rr <= std::min(nrows, r + reach); ++rr) {
        const int dy = r - rr;
        const double span = std::floor(std::sqrt(std::max(0.0, d * d - static_cast<double>(dy * dy))));
        const int h = static_cast<int>(std::min(span, static_cast<double>(ncols)));
        for (int cc = std::max(1, c - h); cc <= std::min(ncols, c + h); ++cc) {
          const double v = code(rr, cc);
          if (v == own || !(v > nodata)) continue;
          if (code2 == 0) code2 = v;
          const int dx = c - cc;
          const double dist = std::floor(std::sqrt(static_cast<double>(dx * dx + dy * dy)));
          if (v == code2) {
            if (nearest >= dist) {
              nearest = dist2 = dist;
              r2 = rr;
              c2 = cc;
            }
            continue;
          }
          if (code3 == 0) code3 = v;
          if (v == code3) {
            if (dist3 >= dist) {
              dist3 = dist;
              r3 = rr;
              c3 = cc;
            }
          } else if (dist3 > dist2) {
            // A fourth region takes the place of the farther of the two.
            if (dist3 > dist) {
              code3 = v;
              dist3 = dist;
              r3 = rr;
              c3 = cc;
            }
          } else if (dist2 > dist) {
            code2 = v;
            dist2 = dist;
            r2 = rr;
            c2 = cc;
          }
        }
      }
      derivedgrids::RegionWeights w;
      if (n == 2) {
        w = derivedgrids::TwoRegionWeights(nearest, d);
      } else {
        const double s2 = std::hypot(static_cast<double>(r - r2), static_cast<double>(c - c2));
        const double s3 = std::hypot(static_cast<double>(r - r3), static_cast<double>(c - c3));
        w = derivedgrids::ThreeRegionWeights(nearest, d, code2 > 0, code3 != 0, s2, s3);
      }
      w1[r][c] = w.w1;
      reg2[r][c] = code2;
      w2[r][c] = w.w2;
      if (n >= 3) {
        reg3[r][c] = code3;
        w3[r][c] = w.w3;
      }
    }
    *diag << ".";
  }
  *diag << "[end-entry]";
}
