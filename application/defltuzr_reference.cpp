// Reference grid header, zone and region ranking, global maximum of a grid.
#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>

#include "application/defltuzr.h"
#include "framework/asciigridheader.h"
#include "framework/diagstream.h"
#include "framework/signals.h"

void defaultini::ReadReferenceGridHeader(int& columns, int& rows, double& xll, double& yll, double& cellSize,
                                         double& nodataValue) {
  const std::string& name = gridlist[1].filename;
  IgnoreCtrlC();
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (!file) Fatal("FATAL: error opening " + name, 21);
  auto fail = [&](const std::string& message, int code) {
    std::fclose(file);
    ResetCtrlCHandler();
    Fatal(message, code);
  };
  char magic[16] = {};
  const size_t got = std::fread(magic, 1, sizeof magic, file);
  std::fill(header, header + 12, 0.0);
  if (StartsLikeAsciiGrid(reinterpret_cast<const unsigned char*>(magic), got)) {
    std::rewind(file);
    const std::string wrong = ReadAsciiGridHeader(file, header);
    if (!wrong.empty()) fail("FATAL: error reading " + name + ": " + wrong, 22);
  } else {
    std::rewind(file);
    double d[12];
    if (std::fread(d, sizeof(double), 12, file) == 12 && d[5] == -9999.0) {
      std::copy(d, d + 12, header);
    } else {
      std::rewind(file);
      float f[12];
      const size_t floats = std::fread(f, sizeof(float), 12, file);
      if (floats < 6 || !(f[5] == -9999.0f))
        fail("FATAL: could not recognise file format (ascii, double or double) for " + name, 22);
      for (size_t k = 0; k < 12; ++k) {
        if (k >= floats)
          fail("FATAL: error reading double value #" + std::to_string(k + 1) + " from the header of " + name, 22);
        header[k] = f[k];
      }
    }
  }
  if (std::fclose(file) != 0) {
    ResetCtrlCHandler();
    Fatal("FATAL: error closing grid " + name, 23);
  }
  ResetCtrlCHandler();
  // The geometry divides and sizes every grid of the run: reject what cannot be one.
  if (!(header[0] >= 1) || !(header[1] >= 1) || !(header[4] > 0))
    Fatal("FATAL: the header of the zone grid " + name + " gives ncols " + std::to_string(header[0]) + ", nrows " +
              std::to_string(header[1]) + " and cellsize " + std::to_string(header[4]) +
              "; all three have to be positive",
          24);
  if (header[0] > 1e8 || header[1] > 1e8 || header[0] * header[1] > 2e9)
    Fatal("FATAL: the header of the zone grid " + name + " gives ncols " + std::to_string(header[0]) + " and nrows " +
              std::to_string(header[1]) + "; the grid is too large (at most 1e8 columns or rows and 2e9 cells)",
          24);
  columns = static_cast<int>(std::floor(header[0]));
  rows = static_cast<int>(std::floor(header[1]));
  xll = header[2];
  yll = header[3];
  cellSize = header[4];
  // The zone grid's NODATA_value marks its own missing cells only (they are
  // read as -9999, as every grid's): the run's missing value is -9999
  // whatever the zone grid's header says, so that no model value (a
  // temperature of -1) is taken for a missing one.
  nodataValue = -9999.0;
}

void defaultini::RankZones(GridListEntry* list, Grid weightGrid, int columns, int rows, double nodataValue) {
  const std::string& name = list[1].filename;
  columnranges.assign(static_cast<size_t>(rows) + 1, ColumnRange{0, -1});
  int error = 0;
  if (mpirank == 0) try {
      *diag << "ranking zones from " << name.c_str() << " for " << modulname.c_str() << "[end-entry]";
      Grid zone = list[1].grid;
      std::map<int, int> firstSeen;  // code -> first cell value seen
      std::map<int, double> cellValue;
      for (int r = 1; r <= rows; ++r) {
        ColumnRange& range = columnranges[r];
        for (int c = 1; c <= columns; ++c) {
          const double v = zone[r][c];
          if (v == nodataValue) continue;
          if (range.first == 0) range.first = c;
          range.last = c;
          if (!(v >= 0 && v < kMaxZoneCode + 1.0)) {
            *diag << "FATAL: invalid zone code in " << name.c_str() << "!\n (codes has to be between 0 and "
                  << kMaxZoneCode << ")!"
                  << "[end-entry]";
            throw 3;
          }
          const int code = static_cast<int>(v);
          if (!cellValue.count(code)) {
            if (static_cast<int>(cellValue.size()) >= kMaxZones) {
              *diag << "FATAL: too much zones in " << name.c_str() << ", (max. " << kMaxZones << ")!"
                    << "[end-entry]";
              throw 4;
            }
            cellValue[code] = v;
          }
        }
      }
      // Zones numbered 1 ... n in ascending order of their codes; a fractional
      // zone value is keyed by its integer part throughout.
      nzones = static_cast<int>(cellValue.size());
      maxzonecode = nzones > 0 ? cellValue.rbegin()->first : 0;
      zonecodes.assign(static_cast<size_t>(maxzonecode) + 1, 0);
      zonerecords.assign(static_cast<size_t>(nzones) + 1, ZoneRecord{0, 0, 0, 0, 0});
      int number = 0;
      for (const auto& [code, value] : cellValue) {
        zonecodes[code] = ++number;
        zonerecords[number].zonenwert = value;
      }
      for (int r = 1; r <= rows; ++r) {
        for (int c = 1; c <= columns; ++c) {
          const double v = zone[r][c];
          if (v == nodataValue) continue;
          const double w = weightGrid ? weightGrid[r][c] : 1.0;
          ZoneRecord& z = zonerecords[zonecodes[static_cast<int>(v)]];
          z.sx += 1;
          z.n += w;
          z.RelCellSum += w;
        }
      }
      double total = 0;  // summed as doubles: no truncation per addition
      for (int i = 1; i <= nzones; ++i) total += zonerecords[i].n;
      if (nzones == 0 || total == 0) {
        *diag << "FATAL: all cells in the zone grid " << name.c_str() << " are NODATA!"
              << "[end-entry]";
        throw 7;
      }
      for (int i = 1; i <= nzones; ++i) zonerecords[i].rel = zonerecords[i].n / total;
      zonerecords[0].zonenwert = 0;
      zonerecords[0].rel = total * cellsize * cellsize / 1000000.0;
    } catch (int code) {
      error = code;
    }
  // The other instances wait in the broadcasts below: they learn of a failure
  // on instance 0 first and end with the same code.
  if (mpisize > 1) MPI_Bcast(&error, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (error != 0) throw error;
  if (mpisize > 1) {
    MPI_Bcast(&nzones, 1, MPI_INT, 0, MPI_COMM_WORLD);
    MPI_Bcast(&maxzonecode, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (mpirank != 0) {
      zonecodes.assign(static_cast<size_t>(maxzonecode) + 1, 0);
      zonerecords.assign(static_cast<size_t>(nzones) + 1, ZoneRecord{0, 0, 0, 0, 0});
    }
    MPI_Bcast(zonecodes.data(), maxzonecode + 1, MPI_INT, 0, MPI_COMM_WORLD);
    MPI_Datatype recordType;
    MPI_Type_contiguous(5, MPI_DOUBLE, &recordType);
    MPI_Type_commit(&recordType);
    for (int i = 0; i <= nzones; ++i) MPI_Bcast(&zonerecords[i], 1, recordType, 0, MPI_COMM_WORLD);
    MPI_Type_free(&recordType);
    MPI_Datatype rangeType;
    MPI_Type_contiguous(2, MPI_INT, &rangeType);
    MPI_Type_commit(&rangeType);
    for (int r = 0; r <= rows; ++r) MPI_Bcast(&columnranges[r], 1, rangeType, 0, MPI_COMM_WORLD);
    MPI_Type_free(&rangeType);
    if (mpirank != 0)
      for (int r = 0; r <= rows; ++r)
        if (r < firstrow || r > lastrow) columnranges[r] = ColumnRange{0, -1};
  }
  datacols = columnranges.data();
}

void defaultini::RankRegions(int position) {
  const std::string& name = gridlist[position].filename;
  Grid regions = gridlist[position].grid;
  Grid zone = gridlist[1].grid;
  int error = 0;
  if (mpirank == 0) try {
      *diag << "ranking regions from " << name.c_str() << " for " << modulname.c_str() << "[end-entry]";
      std::map<int, bool> seen;
      for (int r = 1; r <= nrows; ++r) {
        for (int c = 1; c <= ncols; ++c) {
          if (zone[r][c] == nodata) continue;
          const double v = regions[r][c];
          if (!(v >= 1 && v < kMaxZoneCode + 1.0)) {
            *diag << "FATAL: invalid region code in " << name.c_str() << "!\n (codes has to be between 1 and "
                  << kMaxZoneCode << ")!\n"
                  << "[end-entry]";
            throw 3;
          }
          const int code = static_cast<int>(v);
          if (!seen.count(code)) {
            if (static_cast<int>(seen.size()) >= kMaxRegions) {
              *diag << "FATAL: too much zones in " << name.c_str() << ", (max. " << kMaxRegions << ")!\n"
                    << "[end-entry]";
              throw 4;
            }
            seen[code] = true;
          }
        }
      }
      nregions = static_cast<int>(seen.size());
      maxregioncode = nregions > 0 ? seen.rbegin()->first : 0;
      regioncodes.assign(static_cast<size_t>(maxregioncode) + 1, 0);
      int number = 0;
      for (const auto& entry : seen) regioncodes[entry.first] = ++number;
      centroids.assign(static_cast<size_t>(nregions) + 1, RegionCentroid{0, 0, 0, 0, 0});
      for (int r = 1; r <= nrows; ++r) {
        for (int c = 1; c <= ncols; ++c) {
          if (zone[r][c] == nodata || regions[r][c] == nodata) continue;
          RegionCentroid& z = centroids[regioncodes[static_cast<int>(regions[r][c])]];
          z.rowd += r;
          z.columnd += c;
          z.n += 1;
        }
      }
      for (int i = 1; i <= nregions; ++i) {
        RegionCentroid& z = centroids[i];
        if (z.n > 0) {
          z.rowd /= z.n;
          z.columnd /= z.n;
        }
        z.row = static_cast<int>(z.rowd);
        z.column = static_cast<int>(z.columnd);
      }
    } catch (int code) {
      error = code;
    }
  MPI_Bcast(&error, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (error != 0) throw error;
  MPI_Barrier(MPI_COMM_WORLD);
  MPI_Bcast(&nregions, 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(&maxregioncode, 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Barrier(MPI_COMM_WORLD);
  if (mpirank != 0) regioncodes.assign(static_cast<size_t>(maxregioncode) + 1, 0);
  MPI_Barrier(MPI_COMM_WORLD);
  MPI_Bcast(regioncodes.data(), maxregioncode + 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Barrier(MPI_COMM_WORLD);
  if (mpirank != 0) centroids.assign(static_cast<size_t>(nregions) + 1, RegionCentroid{0, 0, 0, 0, 0});
  const int lengths[5] = {1, 1, 1, 1, 1};
  const MPI_Aint displacements[5] = {offsetof(RegionCentroid, row), offsetof(RegionCentroid, column),
                                     offsetof(RegionCentroid, rowd), offsetof(RegionCentroid, columnd),
                                     offsetof(RegionCentroid, n)};
  const MPI_Datatype types[5] = {MPI_INT, MPI_INT, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE};
  MPI_Datatype centroidType;
  MPI_Type_create_struct(5, lengths, displacements, types, &centroidType);
  MPI_Type_commit(&centroidType);
  MPI_Bcast(centroids.data(), nregions + 1, centroidType, 0, MPI_COMM_WORLD);
  MPI_Type_free(&centroidType);
}

double defaultini::GetGlobalMaxOfGrid(int position) {
  Grid grid = gridlist[position].grid;
  double local = nodata;
  for (int r = firstrow; r <= lastrow; ++r) {
    if (!grid || !grid[r] || !datacols) continue;
    for (int c = datacols[r].first; c >= 1 && c <= datacols[r].last; ++c)
      if (grid[r][c] > nodata && grid[r][c] > local) local = grid[r][c];
  }
  double global = local;
  MPI_Reduce(&local, &global, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
  MPI_Bcast(&global, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  return global;
}
