// Cell formulas of the derived static grids and of the region weights,
// kept apart from the grid loops so that they can be checked on their own.
#pragma once

#include <string>

namespace derivedgrids {

// Degrees per radian as the derived grids use it.
constexpr double kDegrees = 57.29577951307855;

// File name of a derived grid: the source file name up to its last "."
// (searched in the whole path, so "./dem" gives ""), then the suffix; a name
// without "." keeps the whole name.
std::string FileName(const std::string& source, const std::string& suffix);

struct SlopeAspect {
  double slope;   // degrees, 0 ... 90
  double aspect;  // degrees clockwise from north of the direction the slope faces
};

// From the elevations of the four direct neighbours (north, south, west, east)
// of a cell with the given cell size, by central differences.
SlopeAspect Slope(double north, double south, double west, double east, double cellSize);

struct RegionWeights {
  double w1;  // own region
  double w2;  // nearest other region
  double w3;  // second other region
};

// Two regions. nearest: truncated distance in cells to the nearest cell of
// the other region (d when there is none within reach); d: transition
// distance in cells (> 0).
RegionWeights TwoRegionWeights(double nearest, double d);

// Three or more regions. nearest: as above for the nearest other region;
// second: whether a second other region lies within reach (third code not 0);
// hasOther: whether any other region does; s2, s3: real distances in cells to
// the nearest cells of the two other regions. A weight denominator of 0 gives
// the whole weight to the own region.
RegionWeights ThreeRegionWeights(double nearest, double d, bool hasOther, bool second, double s2, double s3);

}  // namespace derivedgrids
