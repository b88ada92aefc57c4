// Derived static grids of the set-up: cell sizes and relative cell area,
// cell coordinates, land-use layer grids, soil parameter grids, slope and
// aspect, and the binding of the glacier grid.
//
// A grid the control file supplies under the same short name is used as it
// is. Every grid made here is released by FreeDerivedGrids. Grids whose cells
// depend on other cells (coordinates, slope and aspect) are computed whole on
// instance 0 and sent to the owners of the cells, so that every instance
// count gives the same values.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "application/defltuzr.h"
#include "application/derivedgrids.h"
#include "framework/diagstream.h"

namespace {

bool IsFreeEntry(const GridListEntry& e) {
  return !e.registered && e.filename.empty() && e.shortname.empty();
}

const std::string kFullList = "FATAL: no free grid found in memory (at position " + std::to_string(kGridListMax) + ")";

}  // namespace

int defaultini::FreeGridPosition(int from, const std::string& message) {
  for (int p = std::max(from, 1); p < kGridListMax; ++p)
    if (IsFreeEntry(gridlist[p])) return p;
  *diag << message.c_str() << "[end-entry]";
  throw 12;
}

Grid defaultini::NewDerivedGrid(int position, const std::string& shortName, const std::string& fileName, int firstRow,
                                int lastRow) {
  RegisterGrid(position, fileName, nullptr, nullptr, 0, shortName, 0, firstRow, lastRow);
  derivedpositions.push_back(position);
  Grid grid = matrix(firstRow, lastRow, 1, ncols, nrows);
  gridlist[position].grid = grid;
  return grid;
}

void defaultini::WriteGridOnce(int position) {
  GridListEntry& e = gridlist[position];
  // Only cells of the zone grid are gathered from the instances; outside it a
  // derived grid holds no data, so that its file is the same on any number of instances.
  Grid zone = gridlist[1].grid;
  if (mpirank == 0 && zone && e.grid)
    for (int64_t r = std::max<int64_t>(e.firstrow, 1); r <= std::min<int64_t>(e.lastrow, nrows); ++r)
      for (int c = 1; c <= ncols; ++c)
        if (!(zone[r][c] > nodata)) e.grid[r][c] = nodata;
  e.kind = 1;
  try {
    WriteStatisticGrids(position, 1, 0);
  } catch (...) {
    e.kind = 0;
    throw;
  }
  e.kind = 0;
}

int defaultini::AgreedError(int code) {
  if (mpisize > 1) MPI_Allreduce(MPI_IN_PLACE, &code, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return code;
}

namespace {

// Grid-list position of a value grid of that name, 0 when there is none.
int ValueGridPosition(modelobject& o, const char* name) {
  const int p = o.FindGrid(name, true);
  return p > 0 && o.GetGridList()[p].grid ? p : 0;
}

}  // namespace

// ------------------------------------------------------------ cell sizes

void defaultini::MakeCellSizeGrids() {
  const std::string zoneFile = gridlist[1].filename;
  const int r0 = GridFirstRow();
  const int r1 = GridLastRow();
  int next = 1;
  auto bind = [&](DerivedGrid& g, const char* name, const char* suffix) {
    const int p = ValueGridPosition(*this, name);
    if (p > 0) {
      g = DerivedGrid{p, gridlist[p].grid, 1};
      return;
    }
    next = FreeGridPosition(next, kFullList);
    g = DerivedGrid{next, NewDerivedGrid(next, name, derivedgrids::FileName(zoneFile, suffix), r0, r1), 0};
    ++next;
  };
  bind(cellsizex, "CellSizeX", ".$csx");
  bind(cellsizey, "CellSizeY", ".$csy");
  bind(relcellareagrid, "RelCellArea", ".$rca");
  relcellarea = relcellareagrid.grid;

  Grid zone = gridlist[1].grid;
  Grid sx = cellsizex.grid;
  Grid sy = cellsizey.grid;
  Grid area = relcellareagrid.grid;
  const bool readX = cellsizex.read != 0;
  const bool readY = cellsizey.read != 0;
  const bool readArea = relcellareagrid.read != 0;
  auto isZone = [&](int r, int c) { return zone && zone[r] && zone[r][c] > nodata; };
  // A derived area is 1 unless both sizes are read; with one size read the
  // other is derived from this area, so it has to hold a value too.
  if (!readArea && !(readX && readY))
    for (int r = r0; r <= r1; ++r)
      for (int c = 1; c <= ncols; ++c) area[r][c] = isZone(r, c) ? 1.0 : nodata;

  *diag << "Checking cell sizes for variable Cells..."
        << "[end-entry]";
  const double meanArea = cellsize * cellsize;
  auto checkSize = [&](const DerivedGrid& g, const char* direction, int r, int c) {
    const double v = g.grid[r][c];
    if (v > 0) return;
    const std::string& file = gridlist[g.position].filename;
    if (v == 0) {
      *diag << "FATAL: cell size in " << direction << " direction is zero at row " << r << ", column " << c
            << ",\nread from file " << file.c_str() << (direction[0] == 'x' ? "\n" : "") << "[end-entry]";
    } else {
      *diag << "FATAL: cell size in " << direction << " direction is negative or missing (" << v << ") at row " << r
            << ", column " << c << ",\nread from file " << file.c_str() << "\n"
            << "[end-entry]";
    }
    throw 66;
  };
  // A read area from which a cell size is derived must be a positive value.
  auto checkArea = [&](int r, int c) {
    if (!readArea || area[r][c] > 0) return;
    *diag << "FATAL: relative cell area " << area[r][c] << " at row " << r << ", column " << c << ",\nread from file "
          << gridlist[relcellareagrid.position].filename.c_str() << ", is not positive\n"
          << "[end-entry]";
    throw 66;
  };
  int error = 0;
  try {
    for (int r = r0; r <= r1; ++r) {
      if (!zone || !zone[r]) continue;
      for (int c = 1; c <= ncols; ++c) {
        if (!isZone(r, c)) {
          area[r][c] = sx[r][c] = sy[r][c] = nodata;
          continue;
        }
        if (readX && readY) {
          checkSize(cellsizex, "x", r, c);
          checkSize(cellsizey, "y", r, c);
          const double ratio = sx[r][c] * sy[r][c] / meanArea;
          if (!readArea) {
            area[r][c] = ratio;
          } else if (!(std::fabs(area[r][c] - ratio) <= 1e-5)) {
            *diag << "FATAL: Cell size Y (" << sy[r][c] << ", from " << gridlist[cellsizey.position].filename.c_str()
                  << ") times\ncell size X (" << sx[r][c] << ", from " << gridlist[cellsizex.position].filename.c_str()
                  << ") \ndivided by the mean cell area is " << ratio
                  << " and differs from \nthe relative grid cell size " << area[r][c] << " (from "
                  << gridlist[relcellareagrid.position].filename.c_str() << ") by more than 0.001%%\n"
                  << "[end-entry]";
            throw 66;
          }
        } else if (readX) {
          checkSize(cellsizex, "x", r, c);
          checkArea(r, c);
          sy[r][c] = cellsize * (area[r][c] * cellsize) / sx[r][c];
        } else if (readY) {
          checkSize(cellsizey, "y", r, c);
          checkArea(r, c);
          sx[r][c] = cellsize * (area[r][c] * cellsize) / sy[r][c];
        } else {
          checkArea(r, c);
          sx[r][c] = sy[r][c] = std::sqrt(meanArea * area[r][c]);
        }
      }
    }
  } catch (int code) {
    error = code;
  }
  // Instance 0 checks every row; the others stop with its code.
  error = AgreedError(error);
  if (error != 0) throw error;
  for (const DerivedGrid* g : {&relcellareagrid, &cellsizex, &cellsizey})
    if (!g->read) WriteGridOnce(g->position);
}

// ------------------------------------------------------------ coordinates

void defaultini::MakeCoordinateGrids() {
  const std::string zoneFile = gridlist[1].filename;
  // The rows of every derived grid, halo rows included, so that a neighbour's
  // coordinates are at hand like any other grid's values.
  const int r0 = GridFirstRow();
  const int r1 = GridLastRow();
  int p = FreeGridPosition(1, kFullList);
  coordx = DerivedGrid{p, NewDerivedGrid(p, "CoordX", derivedgrids::FileName(zoneFile, ".$cx"), r0, r1), 0};
  p = FreeGridPosition(p + 1, kFullList);
  coordy = DerivedGrid{p, NewDerivedGrid(p, "CoordY", derivedgrids::FileName(zoneFile, ".$cy"), r0, r1), 0};
  Grid x = coordx.grid;
  Grid y = coordy.grid;
  // Lower left corner of each cell; row 1 is the northern row.
  for (int r = r1; r >= r0; --r)
    for (int c = 1; c <= ncols; ++c) {
      x[r][c] = xllcorner + (c - 1) * cellsize;
      y[r][c] = yllcorner + (nrows - r) * cellsize;
    }
  // Varying cell sizes: the coordinates are summed from the southern row of
  // the raster upwards and from column 1 eastwards. Instance 0 holds every row;
  // the owners of the cells receive its values below.
  if (mpirank == 0 && relcellareagrid.grid) {
    Grid sx = cellsizex.grid;
    Grid sy = cellsizey.grid;
    auto size = [&](Grid g, int r, int c) {
      const double v = g && g[r] ? g[r][c] : nodata;
      return v > nodata ? v : cellsize;
    };
    const int first = datacols ? datacols[nrows].first : 1;
    if (first >= 1)
      for (int c = first + 1; c <= ncols; ++c) x[nrows][c] = x[nrows][c - 1] + size(sx, nrows, c - 1);
    for (int r = nrows - 1; r >= 1; --r) {
      x[r][1] = xllcorner;
      y[r][1] = y[r + 1][1] + size(sy, r + 1, 1);
      for (int c = 2; c <= ncols; ++c) {
        x[r][c] = x[r][c - 1] + size(sx, r, c - 1);
        y[r][c] = y[r + 1][c] + size(sy, r + 1, c);
      }
    }
  }
  Grid zone = gridlist[1].grid;
  for (int r = r0; r <= r1; ++r)
    for (int c = 1; c <= ncols; ++c)
      if (!zone || !zone[r] || !(zone[r][c] > nodata)) x[r][c] = y[r][c] = nodata;
  for (const DerivedGrid* g : {&coordx, &coordy}) {
    MPIScatterGrid(g->position, g->grid);
    MPIExchangeBorders(g->position, g->grid);
  }
  WriteGridOnce(coordx.position);
  WriteGridOnce(coordy.position);
}

// ------------------------------------------------------------ land-use layers

void defaultini::LanduseLayers() {
  const int p = ValueGridPosition(*this, "landuse");
  if (p <= 0) {
    landuselayers.clear();
    nlanduselayers = 0;
    return;
  }
  if (multilayertable && multilayertable[0].code >= 1) {
    MakeLanduseLayerGrids();
    nlanduselayers = static_cast<int>(landuselayers.size()) - 1;
    return;
  }
  // One layer: the land-use grid itself is the grid of layer 1. It keeps its
  // own name, under which the control file knows it (the HRU definitions, the
  // special output), and is listed a second time as layer 1's grid.
  Grid landuse = gridlist[p].grid;
  landuselayers.assign(2, landuse);
  char name[128];
  std::snprintf(name, sizeof name, "%s1", "landuse");
  if (landusealias > 0) UnregisterGrid(landusealias);
  landusealias = FreeGridPosition(1, kFullList);
  RegisterGrid(landusealias, name, landuse, nullptr, 0, name, 0, gridlist[p].firstrow, gridlist[p].lastrow);
  nlanduselayers = 1;
}

void defaultini::MakeLanduseLayerGrids() {
  const int layers =
      multilayertable && multilayertable[0].code >= 1 ? std::max(0, multilayertable[1].GetLayerCount()) : 0;
  const int p = ValueGridPosition(*this, "landuse");
  landuselayers.assign(static_cast<size_t>(layers) + 1, nullptr);
  landuselayers[0] = p > 0 ? gridlist[p].grid : nullptr;
  nlanduselayers = layers;
  if (!landuselayers[0]) return;
  const std::string full = kFullList + "\n";
  int next = FreeGridPosition(1, full);
  for (int k = 1; k <= layers; ++k) {
    next = FreeGridPosition(next, full);
    char name[128];
    std::snprintf(name, sizeof name, "%s%d", "landuse", k);
    landuselayers[k] = NewDerivedGrid(next, name, name, GridFirstRow(), GridLastRow());
    ++next;
  }
  // Own cells from the multi-layer entry of each cell, border rows exchanged.
  RefreshLanduseLayers(landuselayers[0]);
}

// ------------------------------------------------------------ soil parameters

void defaultini::make_nFK_kWert_and_Na() {
  const int soilPosition = ValueGridPosition(*this, "soil_types");
  if (soilPosition <= 0) return;
  Grid soil = gridlist[soilPosition].grid;
  const std::string soilFile = gridlist[soilPosition].filename;
  char rootName[128];
  std::snprintf(rootName, sizeof rootName, "%s%d", "root_depth", 1);
  const int rootPosition = ValueGridPosition(*this, rootName);
  Grid root = rootPosition > 0 ? gridlist[rootPosition].grid : nullptr;
  const int count = soiltable ? soiltable[0].code : 0;
  Grid zone = gridlist[1].grid;
  const std::string missingParenthesis =
      "FATAL: no free grid found in memory (at position " + std::to_string(kGridListMax);
  const std::string misspelt =
      "FATAL: no free grid found in memeory (at position " + std::to_string(kGridListMax) + ")";

  enum Kind { kSoilMoisture, kConductivity, kPorosity };
  struct Made {
    DerivedGrid* grid;
    const char* name;
    const char* suffix;
    const std::string* message;
    Kind kind;
  };
  const Made made[3] = {{&availablesoilmoisture, "available_soil_moisture", ".$fk", &missingParenthesis, kSoilMoisture},
                        {&hydraulicconductivity, "hydraulic_conductivity", ".$k", &misspelt, kConductivity},
                        {&fillableporosity, "fillable_porosity", ".$na", &misspelt, kPorosity}};
  for (const Made& m : made) {
    const int present = ValueGridPosition(*this, m.name);
    if (present > 0) {
      *m.grid = DerivedGrid{present, gridlist[present].grid, 1};
      continue;
    }
    // Without a root depth the available soil moisture has no value.
    if (m.kind == kSoilMoisture && !root)
      *diag << "WARNING: no grid " << rootName << " in memory: " << m.name << " is set to nodata"
            << "[end-entry]";
    const int p = FreeGridPosition(1, *m.message);
    *m.grid = DerivedGrid{p, NewDerivedGrid(p, m.name, derivedgrids::FileName(soilFile, m.suffix), 1, nrows), 0};
    Grid g = m.grid->grid;
    for (int r = 1; r <= nrows; ++r) {
      if (!datacols || datacols[r].first < 1 || !zone || !zone[r]) continue;
      const int last = std::min(ncols, datacols[r].last);
      for (int c = datacols[r].first; c <= last; ++c) {
        double v = nodata;
        const double code = soil && soil[r] ? soil[r][c] : nodata;
        // Cell values are table indexes after the code check; any other value has no entry.
        if (zone[r][c] > nodata && code >= 1 && code < count + 1.0) {
          const soil_table_entry& entry = soiltable[static_cast<int>(code)];
          switch (m.kind) {
            case kSoilMoisture:
              if (root && root[r] && root[r][c] > nodata) v = entry.FCap * root[r][c] * 10.0;
              break;
            case kConductivity:
              v = entry.ksat_topmodel;
              break;
            case kPorosity:
              v = entry.mSB * 0.01;
              break;
          }
        }
        g[r][c] = v;
      }
    }
    WriteGridOnce(p);
  }
}

// ------------------------------------------------------------ slope and aspect

void defaultini::GetNeighbourMean(int row, int column, Grid grid) {
  // North-east, east, south-east, south, south-west, west, north-west, north.
  static constexpr int kRow[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
  static constexpr int kColumn[8] = {1, 1, 1, 0, -1, -1, -1, 0};
  const int r0 = std::max(1, GridFirstRow());
  const int r1 = std::min(nrows, GridLastRow());
  double sum = 0;
  int n = 0;
  for (int k = 0; k < 8; ++k) {
    const int r = row + kRow[k];
    const int c = column + kColumn[k];
    if (r < r0 || r > r1 || c < 1 || c > ncols || !grid[r]) continue;
    if (grid[r][c] > nodata) {
      sum += grid[r][c];
      ++n;
    }
  }
  if (n > 0) grid[row][column] = sum / n;
}

void defaultini::make_Slope_and_Aspect() {
  const int demPosition = ValueGridPosition(*this, "[elevation_model]");
  if (demPosition <= 0) return;
  Grid dem = gridlist[demPosition].grid;
  const std::string demFile = gridlist[demPosition].filename;
  const int anglePosition = ValueGridPosition(*this, "slope_angle");
  const int aspectPosition = ValueGridPosition(*this, "slope_aspect");
  slopeangle = anglePosition > 0 ? DerivedGrid{anglePosition, gridlist[anglePosition].grid, 1} : DerivedGrid{};
  slopeaspect = aspectPosition > 0 ? DerivedGrid{aspectPosition, gridlist[aspectPosition].grid, 1} : DerivedGrid{};
  if (anglePosition > 0 && aspectPosition > 0) return;
  const int r0 = GridFirstRow();
  const int r1 = GridLastRow();
  if (anglePosition <= 0) {
    const int p =
        FreeGridPosition(1, "FATAL: no free grid found in memeory (at position " + std::to_string(kGridListMax) + ")");
    slopeangle = DerivedGrid{p, NewDerivedGrid(p, "slope_angle", derivedgrids::FileName(demFile, ".$sl"), r0, r1), 0};
  }
  if (aspectPosition <= 0) {
    const int p = FreeGridPosition(1, "FATAL: no free grid left (at position " + std::to_string(kGridListMax) + ")\n");
    slopeaspect = DerivedGrid{p, NewDerivedGrid(p, "slope_aspect", derivedgrids::FileName(demFile, ".$ex"), r0, r1), 0};
  }
  *diag << "calculating the lokal topography (aspect, slope ...).. "
        << "[end-entry]";
  // Only the grids made here are computed.
  Grid slope = slopeangle.read ? nullptr : slopeangle.grid;
  Grid aspect = slopeaspect.read ? nullptr : slopeaspect.grid;
  auto set = [&](int r, int c, double s, double a) {
    if (slope) slope[r][c] = s;
    if (aspect) aspect[r][c] = a;
  };
  for (int r : {1, nrows})
    if (r >= r0 && r <= r1)
      for (int c = 1; c <= ncols; ++c) set(r, c, nodata, nodata);
  for (int r = r0 + 1; r <= r1 - 1; ++r) {
    set(r, 1, nodata, nodata);
    set(r, ncols, nodata, nodata);
    for (int c = 2; c <= ncols - 1; ++c) {
      const double n = dem[r - 1][c];
      const double s = dem[r + 1][c];
      const double w = dem[r][c - 1];
      const double e = dem[r][c + 1];
      // The cell's own elevation is not used.
      if (!(n > nodata) || !(s > nodata) || !(w > nodata) || !(e > nodata)) {
        set(r, c, nodata, nodata);
        continue;
      }
      const derivedgrids::SlopeAspect sa = derivedgrids::Slope(n, s, w, e, cellsize);
      set(r, c, sa.slope, sa.aspect);
    }
  }
  // Edges and the neighbours of missing elevations take the mean of their
  // neighbours; a value filled earlier counts for the cells after it, and the
  // second pass reaches cells whose neighbours were all missing in the first.
  for (int pass = 0; pass < 2; ++pass)
    for (int r = r0; r <= r1; ++r) {
      if (!dem[r]) continue;
      for (int c = 1; c <= ncols; ++c) {
        if (!(dem[r][c] > nodata)) continue;
        if (aspect && !(aspect[r][c] > nodata)) GetNeighbourMean(r, c, aspect);
        if (slope && !(slope[r][c] > nodata)) GetNeighbourMean(r, c, slope);
      }
    }
  for (const DerivedGrid* g : {&slopeaspect, &slopeangle}) {
    if (g->read) continue;
    MPIScatterGrid(g->position, g->grid);
    MPIExchangeBorders(g->position, g->grid);
    WriteGridOnce(g->position);
  }
}

// ------------------------------------------------------------ glacier grid

void defaultini::check_ice_firn_grid() {
  icefirn = nullptr;
  int p = 1;
  for (; p < kGridListMax && !gridlist[p].filename.empty(); ++p)
    if (gridlist[p].shortname == "ice_firn") {
      icefirn = gridlist[p].grid;
      return;
    }
  *diag << "INFO: ice-grid not found in memory (at position " << p << ")"
        << "[end-entry]";
}

// ------------------------------------------------------------ release

void defaultini::FreeDerivedGrids() {
  if (gridlist)
    for (int p : derivedpositions) {
      GridListEntry& e = gridlist[p];
      if (e.grid) FreeMatrix(e.grid, e.firstrow, e.lastrow, 1, ncols);
      e.grid = nullptr;
      UnregisterGrid(p);
      e.outname.clear();
      e.statfile.clear();
    }
  derivedpositions.clear();
  // The second entry of the one-layer land-use grid; the grid is the standard grid's.
  if (gridlist && landusealias > 0) UnregisterGrid(landusealias);
  landusealias = 0;
  for (DerivedGrid* g : {&cellsizex, &cellsizey, &relcellareagrid, &coordx, &coordy, &availablesoilmoisture,
                         &hydraulicconductivity, &fillableporosity, &slopeangle, &slopeaspect})
    *g = DerivedGrid{};
  relcellarea = nullptr;
  icefirn = nullptr;
  regiongrid = nullptr;
  for (int i = 0; i < 4; ++i) regiongrids[i] = regionweights[i] = nullptr;
}
