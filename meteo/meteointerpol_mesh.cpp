// Station mesh of the spline methods 7 and 8: the stations sorted into
// columns along the rotated y axis, and the spline surface evaluated per step.
#include <algorithm>
#include <deque>

#include "framework/diagstream.h"
#include "meteo/meteointerpol.h"

void meteointerpol::BuildStationMesh(int file) {
  const int n = StationCount[file];
  const std::vector<double>& x = StationXRot[file];
  const std::vector<double>& y = StationYRot[file];
  const double sx = AvgHorizontalDistance;
  const double sy = AvgVerticalDistance;
  const double tol = MeshFactor;
  auto notAMesh = [&](const std::string& why) {
    *diag << "FATAL: Error converting the station coordinates into a grid:\n"
          << why.c_str() << "(stations of " << StationFileName[file].c_str() << ", interpolation of "
          << VariableName.c_str() << ")\n"
          << "[end-entry]";
    throw 70;
  };
  // Without neighbours in both directions there is no mesh of two rows and two columns.
  if (!(sx > 0) || !(sy > 0)) notAMesh("the spline methods need stations in at least two rows and two columns\n");

  std::vector<int> available(static_cast<size_t>(n) + 1, 1);
  available[0] = 0;
  std::vector<std::deque<int>> columns;
  while (AnyFlagSet(available.data(), n)) {
    int start = 0;
    double smallest = 1e40;
    for (int s = 1; s <= n; ++s) {
      if (available[static_cast<size_t>(s)] && x[static_cast<size_t>(s)] < smallest) {
        smallest = x[static_cast<size_t>(s)];
        start = s;
      }
    }
    std::deque<int> column;
    // Down from the start station, then up from it; a column lists its stations from the top.
    int current = start;
    for (;;) {
      column.push_back(current);
      available[static_cast<size_t>(current)] = 0;
      const int next = FindStationInBox(x[static_cast<size_t>(current)], y[static_cast<size_t>(current)], -sx * tol,
                                        sx * tol, -sy * (1 + tol), -sy * (1 - tol));
      if (next == 0 || !available[static_cast<size_t>(next)]) break;
      current = next;
    }
    current = start;
    for (;;) {
      const int next = FindStationInBox(x[static_cast<size_t>(current)], y[static_cast<size_t>(current)], -sx * tol,
                                        sx * tol, sy * (1 - tol), sy * (1 + tol));
      if (next == 0 || !available[static_cast<size_t>(next)]) break;
      column.push_front(next);
      available[static_cast<size_t>(next)] = 0;
      current = next;
    }
    columns.push_back(column);
  }
  for (const std::deque<int>& column : columns) {
    if (column.size() != columns.front().size())
      notAMesh(
          "The actual version of Fluvex-Orvik accepts only station meshs\nwith an equal number of more or less "
          "equally spaced stations\nin each column, whereas the total number of both, rows \nand columns, are each "
          "virtually unlimited\n");
  }
  MeshRows = columns.empty() ? 0 : static_cast<int>(columns.front().size());
  MeshColumns = static_cast<int>(columns.size());
  // A single row leaves the columns without direction, a single column the rows.
  if (MeshRows < 2 || MeshColumns < 2)
    notAMesh("the spline methods need stations in at least two rows and two columns\n");

  const size_t rows = static_cast<size_t>(MeshRows) + 1;
  const size_t cols = static_cast<size_t>(MeshColumns) + 1;
  MeshStation.assign(rows, std::vector<int>(cols, 0));
  MeshValue.assign(rows, std::vector<double>(cols, -9999.0));
  MeshX.assign(rows, std::vector<double>(cols, 0.0));
  MeshY.assign(rows, std::vector<double>(cols, 0.0));
  for (int j = 1; j <= MeshColumns; ++j) {
    for (int i = 1; i <= MeshRows; ++i) {
      const int s = columns[static_cast<size_t>(j) - 1][static_cast<size_t>(i) - 1];
      MeshStation[static_cast<size_t>(i)][static_cast<size_t>(j)] = s;
      MeshX[static_cast<size_t>(i)][static_cast<size_t>(j)] = x[static_cast<size_t>(s)];
      MeshY[static_cast<size_t>(i)][static_cast<size_t>(j)] = y[static_cast<size_t>(s)];
    }
  }
  TSplinesArgs t;
  t.lowerLeftX = MeshX[static_cast<size_t>(MeshRows)][1];
  t.lowerLeftY = MeshY[static_cast<size_t>(MeshRows)][1];
  t.sx = sx;
  t.sy = sy;
  t.missing = -9999;
  t.nodeX = &MeshX;
  t.nodeY = &MeshY;
  t.meshRows = MeshRows;
  t.meshColumns = MeshColumns;
  t.fill = nodata;
  delete Splines;
  Splines = nullptr;
  Splines = new TSplines(diag, t);
}

void meteointerpol::PrepareSplines(int file) {
  const std::vector<double>& values = StationValues[file];
  for (int i = 1; i <= MeshRows; ++i) {
    for (int j = 1; j <= MeshColumns; ++j) {
      const double v = values[static_cast<size_t>(MeshStation[static_cast<size_t>(i)][static_cast<size_t>(j)])];
      // A missing station value splits its column's spline.
      MeshValue[static_cast<size_t>(i)][static_cast<size_t>(j)] = v >= -Nodata ? v : -9999.0 - 1.0;
    }
  }
  Splines->ColumnSplines(MeshValue, SplineColumns[file]);
}

void meteointerpol::RecomputeAllEqual(int k) {
  const int n = StationCount[k];
  bool any = false;
  double lowest = 0;
  double highest = 0;
  for (int s = 1; s <= n; ++s) {
    const double v = StationValues[k][static_cast<size_t>(s)];
    if (v < -Nodata) continue;
    if (!any) lowest = highest = v;
    lowest = std::min(lowest, v);
    highest = std::max(highest, v);
    any = true;
  }
  AllEqual[k] = (!any || lowest == highest) ? 1 : 0;
}
