#include "application/derivedgrids.h"

#include <algorithm>
#include <cmath>

namespace derivedgrids {

std::string FileName(const std::string& source, const std::string& suffix) {
  const size_t dot = source.rfind('.');
  return (dot == std::string::npos ? source : source.substr(0, dot)) + suffix;
}

SlopeAspect Slope(double north, double south, double west, double east, double cellSize) {
  const double gy = (north - south) / (2.0 * cellSize);
  const double gx = (east - west) / (2.0 * cellSize);
  SlopeAspect result{0.0, 0.0};
  if (gx != 0.0 || gy != 0.0) result.slope = std::atan(std::sqrt(gx * gx + gy * gy)) * kDegrees;
  if (gx == 0.0)
    result.aspect = gy > 0.0 ? 180.0 : 0.0;
  else
    result.aspect = gx / std::fabs(gx) * 90.0 + (180.0 - std::atan(gy / gx) * kDegrees);
  return result;
}

RegionWeights TwoRegionWeights(double nearest, double d) {
  const double x = nearest / (2.0 * d) + 0.5;
  if (x > 1.0) return {1.0, 0.0, 0.0};
  if (x < 0.5) return {0.5, 0.5, 0.0};
  return {x, 1.0 - x, 0.0};
}

RegionWeights ThreeRegionWeights(double nearest, double d, bool hasOther, bool second, double s2, double s3) {
  const double w1 = std::clamp(nearest / (2.0 * d) + 0.5, 0.5, 1.0);
  if (!second) return {w1, hasOther ? 1.0 - w1 : 0.0, 0.0};
  // A distance of 0 or below counts as one cell.
  auto positive = [](double x) { return x <= 0.0 ? 1.0 : x; };
  const double m = positive(d - std::min(s2, s3));
  const double t2 = positive(s2 + d);
  const double t3 = positive(s3 + d);
  const double smallest = std::min({m, t2, t3});
  const double e = (0.9 - 0.5 * std::cos(1.5707963 * smallest / d)) / (2.0 * d);
  const double a = std::max(0.0, 1.0 / m - e);
  const double b = std::max(0.0, 1.0 / t2 - e);
  const double c = std::max(0.0, 1.0 / t3 - e);
  const double sum = a + b + c;
  // All three inverse distances below the threshold: the cell keeps its own region.
  if (!(sum > 0.0)) return {1.0, 0.0, 0.0};
  RegionWeights w{a / sum, b / sum, 0.0};
  if (w.w1 + w.w2 > 1.0) w.w2 = 1.0 - w.w1;
  w.w3 = 1.0 - (w.w1 + w.w2);
  return w;
}

}  // namespace derivedgrids
