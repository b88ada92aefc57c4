// Zone ranking of the soil-model zone grid: the subbasins as a table ranked
// by their codes, with a code-to-rank index, on every instance.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "framework/diagstream.h"
#include "framework/teilmod.h"

namespace {
constexpr int kMaxZones = 16000;
constexpr int kMaxZoneCode = 32767;
constexpr int kMaxSubbasins = 10000;

struct FreeDeleter {
  void operator()(void* p) const { memory_handling::Free(p); }
};

// A cell's zone code: its value rounded to the nearest integer.
double ZoneCode(double v) {
  return std::floor(v + 0.5);
}
}  // namespace

void teilmodellklasse::RankZones(Grid grid, const std::string& file, ZoneRecord*& table, int*& index, int& count,
                                 int& largest) {
  if (!grid) {
    *diag << "FATAL: zonegrid_soilmodel (" << file.c_str() << ") holds no grid; " << modulname.c_str()
          << " needs its zones"
          << "[end-entry]";
    throw 33;
  }
  *diag << "ranking zones from " << file.c_str() << " for " << modulname.c_str() << "[end-entry]";
  std::unique_ptr<ZoneRecord, FreeDeleter> work(
      static_cast<ZoneRecord*>(Alloc(static_cast<int>(sizeof(ZoneRecord)) * (kMaxZones + 1), 1)));
  std::unique_ptr<int, FreeDeleter> workindex(
      static_cast<int*>(Alloc(static_cast<int>(sizeof(int)) * (kMaxZoneCode + 1), 1)));
  ZoneRecord* w = work.get();
  int* wi = workindex.get();
  w[0] = ZoneRecord{0, 0, 1.0, 1.0, 0};

  // Visits every valid cell of the data columns of each row.
  auto forEachCell = [&](auto&& visit) {
    for (int r = 1; r <= nrows; ++r) {
      if (!grid[r]) continue;
      const int first = datacols ? std::max(1, datacols[r].first) : 1;
      const int last = datacols ? std::min(ncols, datacols[r].last) : ncols;
      for (int c = first; c <= last; ++c)
        if (!Missing(grid[r][c])) visit(r, c, grid[r][c]);
    }
  };

  forEachCell([&](int r, int c, double v) {
    const double code = ZoneCode(v);
    if (!(code >= 0 && code <= kMaxZoneCode)) {
      *diag << "FATAL: wrong zone index in " << file.c_str() << "!\n Zones have to range from 0 to " << kMaxZoneCode
            << "!"
            << " (value " << v << " in row " << r << ", column " << c << ")"
            << "[end-entry]";
      throw 3;
    }
    const int z = static_cast<int>(code);
    if (wi[z] != 0) return;
    if (count + 1 > kMaxZones) {
      *diag << "FATAL: too much zones in " << file.c_str() << ", (max. " << kMaxZones << "!)"
            << " (zone code " << z << " in row " << r << ", column " << c << " is zone " << count + 1 << ")"
            << "[end-entry]";
      throw 4;
    }
    ++count;
    wi[z] = count;
    largest = std::max(largest, z);
    w[count] = ZoneRecord{0, 0, v, 0, 0};
  });

  // Exchange sort of adjacent records; zones met in ascending order need one pass.
  for (int pass = 1; pass < count; ++pass) {
    bool exchanged = false;
    for (int k = 1; k < count; ++k) {
      if (w[k].zonenwert > w[k + 1].zonenwert) {
        std::swap(w[k], w[k + 1]);
        wi[static_cast<int>(ZoneCode(w[k].zonenwert))] = k;
        wi[static_cast<int>(ZoneCode(w[k + 1].zonenwert))] = k + 1;
        exchanged = true;
      }
    }
    if (!exchanged) break;
  }

  table = static_cast<ZoneRecord*>(Alloc(static_cast<int>(sizeof(ZoneRecord)) * (count + 1), 1));
  index = static_cast<int*>(Alloc(static_cast<int>(sizeof(int)) * (largest + 1), 1));
  std::copy(w, w + count + 1, table);
  std::copy(wi, wi + largest + 1, index);

  forEachCell([&](int r, int c, double v) {
    ZoneRecord& z = table[index[static_cast<int>(ZoneCode(v))]];
    z.sx += 1;
    // A cell without a valid relative area counts with area 1.
    const double a = (relcellarea && relcellarea[r] && !Missing(relcellarea[r][c])) ? relcellarea[r][c] : 1.0;
    z.n += a;
    z.RelCellSum += a;
  });
  // The total area is summed without rounding: relative areas below 1 must not add up to 0.
  double total = 0;
  for (int k = 1; k <= count; ++k) total += table[k].n;
  if (count < 1 || !(total > 0)) {
    *diag << "FATAL: all cells in " << file.c_str() << " are NODATA!"
          << " (zones: " << count << ", sum of the cell areas: " << total << ")"
          << "[end-entry]";
    throw 7;
  }
  for (int k = 1; k <= count; ++k) table[k].rel = table[k].n / total;
  table[0].rel = total * cellsize * cellsize / 1000000.0;
  if (count > kMaxSubbasins) {
    *diag << "FATAL: too much subbasins (" << count << ") in " << modulname.c_str() << " (max. " << kMaxSubbasins
          << "). Ende!"
          << "[end-entry]";
    throw 4;
  }
}

void teilmodellklasse::ReadZoneGrid(Grid& grid, ZoneRecord*& table, int*& index, int& count, int& largest) {
  grid = nullptr;
  table = nullptr;
  index = nullptr;
  count = 0;
  largest = 0;
  const int position = GetGrid("zonegrid_soilmodel");
  grid = gridlist[position].grid;

  // Instance 0 ranks; its outcome (error code, count, largest code) reaches
  // every instance, so that a failure ends all of them alike instead of
  // leaving the others waiting for tables that never come.
  int status[3] = {0, 0, 0};
  if (mpirank == 0) {
    try {
      RankZones(grid, gridlist[position].filename, table, index, count, largest);
    } catch (int code) {
      status[0] = code;
      Free(table);
      Free(index);
      table = nullptr;
      index = nullptr;
    }
    status[1] = count;
    status[2] = largest;
  }
  if (mpisize > 1) MPI_Bcast(status, 3, MPI_INT, 0, MPI_COMM_WORLD);
  if (status[0] != 0) {
    count = 0;
    largest = 0;
    if (mpirank != 0)
      *diag << "FATAL: ranking the zones of zonegrid_soilmodel for " << modulname.c_str()
            << " failed on instance 0 with error code " << status[0] << "[end-entry]";
    throw status[0];
  }
  if (mpisize < 2) return;
  count = status[1];
  largest = status[2];
  if (mpirank != 0) {
    table = static_cast<ZoneRecord*>(Alloc(static_cast<int>(sizeof(ZoneRecord)) * (count + 1), 1));
    index = static_cast<int*>(Alloc(static_cast<int>(sizeof(int)) * (largest + 1), 1));
  }
  MPI_Bcast(index, largest + 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Datatype recordType;
  MPI_Type_contiguous(5, MPI_DOUBLE, &recordType);
  MPI_Type_commit(&recordType);
  MPI_Bcast(table, count + 1, recordType, 0, MPI_COMM_WORLD);
  MPI_Type_free(&recordType);
}
