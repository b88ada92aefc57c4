// Anisotropic distances: the frame turned by the main axis of the ellipse,
// derived from the station network for the mesh methods, the turned cell and
// station coordinates, and the mean station spacing.
#include <cmath>
#include <vector>

#include "framework/diagstream.h"
#include "meteo/meteointerpol.h"

namespace {
constexpr double kHalfPi = 1.570796326795;
constexpr double kPi = 3.14159265359;

// Turns (x, y) about (x0, y0) by -angle (radians); distances from (x0, y0) are kept.
void Rotate(double x0, double y0, double angle, double& x, double& y, double& r) {
  const double dx = x - x0;
  const double dy = y - y0;
  r = std::sqrt(dx * dx + dy * dy);
  double a;
  if (dx != 0)
    a = std::atan2(dy, dx);
  else
    a = dy > 0 ? kHalfPi : -kHalfPi;
  x = std::cos(a - angle) * r + x0;
  y = std::sin(a - angle) * r + y0;
}
}  // namespace

void meteointerpol::AutoAnisotropy() {
  if (Method < 5 || Method > 8) return;
  const int n = StationCount[0];
  const std::vector<double>& x = StationX[0];
  const std::vector<double>& y = StationY[0];
  std::vector<int> neighbour(static_cast<size_t>(n) + 1, -9999);
  std::vector<double> degrees(static_cast<size_t>(n) + 1, 0.0);
  std::vector<int> classOf(static_cast<size_t>(n) + 1, -1);

  // Nearest neighbour of every station; a pair of stations does not choose each other.
  for (int i = 1; i <= n; ++i) {
    double best = -9999;
    int chosen = -9999;
    double alternative = -9999;
    int alternativeStation = -9999;
    for (int j = 1; j <= n; ++j) {
      if (j == i) continue;
      const double d = (x[j] - x[i]) * (x[j] - x[i]) + (y[j] - y[i]) * (y[j] - y[i]);
      if (best < 0) {
        alternative = d;
        alternativeStation = j;
        if (neighbour[j] != i) {
          best = d;
          chosen = j;
        }
      } else if (d < best) {
        alternative = d;
        alternativeStation = j;
        if (neighbour[j] != i) {
          best = d;
          chosen = j;
        }
      }
    }
    if (best > 0 && alternative >= 0 && alternative * 1.01 < best) {
      best = alternative;
      chosen = alternativeStation;
    }
    neighbour[i] = chosen;
  }

  // Directions in classes of 10 degrees; a direction and its opposite are one.
  int counts[37] = {0};
  for (int i = 1; i <= n; ++i) {
    const int j = neighbour[i];
    if (j < 1) continue;
    double a = std::atan2(y[j] - y[i], x[j] - x[i]);
    if (a > kHalfPi) a -= kPi;
    if (a < -kHalfPi) a += kPi;
    degrees[i] = a * 180 / kPi;
    classOf[i] = static_cast<int>(std::trunc(std::fmod(degrees[i] + 365, 360) / 10)) % 18;
    ++counts[classOf[i]];
  }
  int dominant = 0;
  for (int c = 1; c < 18; ++c)
    if (counts[c] > counts[dominant]) dominant = c;

  double sum = 0;
  int added = 0;
  for (int i = 1; i <= n; ++i) {
    if (classOf[i] != dominant) continue;
    const double d = std::fmod(degrees[i] + 360, 360);
    if (d >= dominant * 10 - 5 && d <= dominant * 10 + 5) {
      sum += d;
      ++added;
    }
  }
  const double givenSlope = AnisoSlope;
  const double givenRatio = AnisoRatio;
  AnisoSlope = 0;
  AnisoRatio = 1;
  if (added > 0) {
    double m = sum / added;
    if (m > 45) m -= 90;
    if (std::fabs(m) > 0.001) {
      AnisoSlope = m;
      AnisoRatio = 0.995;
    }
  }
  // The section's values give way to the frame of the network: said where they would have acted.
  if (givenSlope != 0 || givenRatio != 1) {
    *diag << "WARNING: method " << Method << " of " << VariableName.c_str()
          << " takes its anisotropy from the station network (slope " << AnisoSlope << " degrees, ratio b/a "
          << AnisoRatio << "): the slope " << givenSlope << " (" << AnisoSlopeWhere.c_str() << ") and the ratio "
          << givenRatio << " (" << AnisoRatioWhere.c_str() << ") of the section are not used"
          << "[end-entry]";
  }
}

void meteointerpol::BuildRotatedCoordGrids() {
  if (!(AnisoRatio < 1)) return;
  int free = 1;
  while (free < kGridListMax &&
         (gridlist[free].registered || !gridlist[free].shortname.empty() || !gridlist[free].filename.empty()))
    ++free;
  if (free >= kGridListMax) {
    *diag << "FATAL: no more free grids in memeory, (max. " << kGridListMax << ")!"
          << "[end-entry]";
    throw 12;
  }
  const int low = GridRowLow();
  const int high = GridRowHigh();
  CellXRot = matrix(low, high, 1, ncols, nrows);
  CellYRot = matrix(low, high, 1, ncols, nrows);
  const std::string xname = "CoordXRot_" + VariableName;
  const std::string yname = "CoordYRot_" + VariableName;
  RegisterGrid(free, xname, CellXRot, nullptr, 0, xname, 0, low, high);
  CellXRotIndex = free;
  RegisterGrid(free + 1, yname, CellYRot, nullptr, 0, yname, 0, low, high);
  CellYRotIndex = free + 1;
  for (int r = low; r <= high; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (CentreX[r][c] == nodata) {
        CellXRot[r][c] = CellYRot[r][c] = nodata;
        continue;
      }
      double px = CentreX[r][c];
      double py = CentreY[r][c];
      double distance = 0;
      Rotate(xllcorner, yllcorner, AnisoSlope, px, py, distance);
      CellXRot[r][c] = px;
      CellYRot[r][c] = py;
    }
  }
  CellX = CellXRot;
  CellY = CellYRot;
}

void meteointerpol::RotateStationCoords() {
  const double milli = std::floor(1000 * IdwWeight);
  IdwWeightMilli = static_cast<int>(std::fmax(std::fmin(milli, 2.0e9), -2.0e9));
  if (!IsStationMethod()) return;
  for (int k = 0; k < StationFileCount; ++k) {
    if (!(AnisoSlope >= -kHalfPi && AnisoSlope <= kHalfPi)) {
      *diag << "FATAL: anisotropy slope has to range from -90 to +90 degree \n"
            << "(here: " << AnisoSlope / 0.017453292519944444 << " degree in the section of " << VariableName.c_str()
            << ", " << AnisoSlopeWhere.c_str() << ")"
            << "[end-entry]";
      throw 54;
    }
    if (!(AnisoRatio > 0 && AnisoRatio <= 1)) {
      *diag << "FATAL: ratio of anisotropy has to range from +1 to >0: the ratio b/a of the anisotropy "
               "ellipse has to lie above 0 and at most at 1"
            << " (here: " << AnisoRatio << " in the section of " << VariableName.c_str() << ", "
            << AnisoRatioWhere.c_str() << ")"
            << "[end-entry]";
      throw 54;
    }
    StationXRot[k] = StationX[k];
    StationYRot[k] = StationY[k];
    if (AnisoRatio < 1) {
      for (int s = 1; s <= StationCount[k]; ++s)
        Rotate(xllcorner, yllcorner, AnisoSlope, StationXRot[k][s], StationYRot[k][s], StationDistance[k][s]);
    }
  }
}

void meteointerpol::AverageStationSpacing() {
  MeshFactor = 0.25;
  *diag << "calculating average horizontal and vertical distance to the next station..."
        << "[end-entry]";
  const int n = StationCount[0];
  const std::vector<double>& x = StationXRot[0];
  const std::vector<double>& y = StationYRot[0];
  double sumH = 0;
  double sumV = 0;
  int countH = 0;
  int countV = 0;
  // Only neighbours to the east and to the north are considered.
  for (int i = 1; i <= n; ++i) {
    double horizontal = -9999;
    double vertical = -9999;
    for (int j = 1; j <= n; ++j) {
      if (j == i) continue;
      const double dx = x[j] - x[i];
      const double dy = y[j] - y[i];
      const double d = std::sqrt(dx * dx + dy * dy);
      if (std::fabs(dy) > std::fabs(dx) && dy > 0) {
        if (vertical < -1000 || vertical > d) vertical = d;
      } else if (std::fabs(dy) <= std::fabs(dx) && dx > 0) {
        if (horizontal < -1000 || horizontal > d) horizontal = d;
      }
    }
    if (horizontal > -1000) {
      sumH += horizontal;
      ++countH;
    }
    if (vertical > -1000) {
      sumV += vertical;
      ++countV;
    }
  }
  AvgHorizontalDistance = countH > 0 ? sumH / countH : -9999;
  AvgVerticalDistance = countV > 0 ? sumV / countV : -9999;
  *diag << "avg. horizontal distance: " << AvgHorizontalDistance << " m"
        << "[end-entry]";
  *diag << "avg. vertical   distance: " << AvgVerticalDistance << " m"
        << "[end-entry]";
}
