// Exchange of grids, stacks and zone records between the MPI instances.
//
// Instance 0 holds every grid whole; every other instance holds its own rows
// and one halo row above and below. "MPIHelper" describes the column strips of
// each row: on instance 0 as (owner, length) runs from the row's first cell
// with data, on the other instances as (first column, count) of the own strips.
// All MPI calls are made from the main thread, outside OpenMP regions.
#include <mpi.h>

#include <vector>

#include "framework/diagstream.h"
#include "framework/modelobject.h"
#include "framework/zonalstatistic.h"

bool modelobject::BindMPIRegionGrids() {
  // An object that has not bound the decomposition grids would otherwise
  // exchange nothing and leave the other instances with no-data.
  if ((!MPIRegions || !MPIHelper) && gridlist) {
    const int regions = ScanByShortName("MPIRegions");
    const int helper = ScanByShortName("MPIHelper");
    if (!MPIRegions && regions > 0) MPIRegions = gridlist[regions].grid;
    if (!MPIHelper && helper > 0) MPIHelper = gridlist[helper].grid;
  }
  return MPIRegions && MPIHelper;
}

void modelobject::StripLimitError(int row, bool stackGatherMessage) {
  if (stackGatherMessage)
    *diag << "FATAL: MPI-Regions: to much strips to be stored in a grid row (in row " << row << ")"
          << "[end-entry]";
  else
    *diag << "FATAL: MPI-Regions: to much strips to be stored in a grid row in row " << row << "[end-entry]";
  throw 120;
}

template <typename Visit>
void modelobject::WalkStrips(bool stackGatherMessage, Visit&& visit) {
  if (mpirank == 0) {
    for (int row = 1; row <= nrows; ++row) {
      const double* h = MPIHelper[row];
      if (!h) continue;
      // The runs start after the leading no-data cells counted in column 0;
      // taking the start from the strip grid itself keeps the walk aligned
      // with the encoding even where a zone value lies below no-data.
      int column = static_cast<int>(h[0]) + 1;
      if (column < 1 || column > ncols) continue;  // no cell with data in this row
      for (int k = 1;; ++k) {
        if (2 * k > ncols) StripLimitError(row, stackGatherMessage);
        const double owner = h[2 * k - 1];
        const int length = static_cast<int>(h[2 * k]);
        if (length <= 0) break;
        if (column + length - 1 > ncols) StripLimitError(row, stackGatherMessage);
        if (owner > 0) visit(row, column, length, static_cast<int>(owner));
        column += length;
        if (2 * k + 2 > ncols) StripLimitError(row, stackGatherMessage);
      }
    }
    return;
  }
  for (int row = firstrow; row <= lastrow; ++row) {
    const double* h = (row >= 1 && row <= nrows) ? MPIHelper[row] : nullptr;
    if (!h) continue;
    for (int k = 1;; ++k) {
      if (2 * k > ncols) StripLimitError(row, stackGatherMessage);
      const int first = static_cast<int>(h[2 * k - 1]);
      if (first <= 0) break;
      const int count = static_cast<int>(h[2 * k]);
      if (count < 1 || first + count - 1 > ncols) StripLimitError(row, stackGatherMessage);
      visit(row, first, count, mpirank);
      if (2 * k + 2 > ncols) StripLimitError(row, stackGatherMessage);
    }
  }
}

Grid modelobject::ExchangeGrid(int index, Grid grid, const char* operation) {
  if (grid) return grid;
  if (gridlist && index >= 1 && index < kGridListMax && gridlist[index].grid) return gridlist[index].grid;
  *diag << "FATAL: " << operation << ": no grid given and no grid at grid list position " << index << "[end-entry]";
  throw 33;
}

Stack modelobject::ExchangeStack(int index, Stack stack, const char* operation) {
  if (stack) return stack;
  if (gridlist && index >= 1 && index < kGridListMax && gridlist[index].stack) return gridlist[index].stack;
  *diag << "FATAL: " << operation << ": no stack given and no stack at grid list position " << index << "[end-entry]";
  throw 33;
}

int modelobject::EntryLevels(int index, const char* operation) {
  if (gridlist && index >= 1 && index < kGridListMax && gridlist[index].levels >= 0 && gridlist[index].registered)
    return gridlist[index].levels;
  *diag << "FATAL: " << operation << ": no level count for the stack at grid list position " << index
        << " (a registered stack is needed)"
        << "[end-entry]";
  throw 1010;
}

namespace {
// A row the exchange writes into or reads from must be held by the instance.
template <typename Row>
Row HeldRow(DiagStream* diag, Row* table, int row, const char* operation) {
  if (table[row]) return table[row];
  *diag << "FATAL: " << operation << ": row " << row << " is not held by this instance"
        << "[end-entry]";
  throw 33;
}
}  // namespace

void modelobject::MPIScatterGrid(int index, Grid grid) {
  if (mpisize < 2 || !BindMPIRegionGrids()) return;
  grid = ExchangeGrid(index, grid, "MPIScatterGrid");
  WalkStrips(false, [&](int row, int first, int count, int owner) {
    double* cells = HeldRow(diag, grid, row, "MPIScatterGrid") + first;
    if (mpirank == 0)
      MPI_Send(cells, count, MPI_DOUBLE, owner, row, MPI_COMM_WORLD);
    else
      MPI_Recv(cells, count, MPI_DOUBLE, 0, row, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  });
}

void modelobject::MPIGatherGrid(int index, Grid grid) {
  if (mpisize < 2 || !BindMPIRegionGrids()) return;
  grid = ExchangeGrid(index, grid, "MPIGatherGrid");
  WalkStrips(false, [&](int row, int first, int count, int owner) {
    double* cells = HeldRow(diag, grid, row, "MPIGatherGrid") + first;
    if (mpirank == 0)
      MPI_Recv(cells, count, MPI_DOUBLE, owner, row, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    else
      MPI_Send(cells, count, MPI_DOUBLE, 0, row, MPI_COMM_WORLD);
  });
}

Grid modelobject::MPIGatherGridAlloc(int index, Grid grid) {
  if (mpisize < 2 || !BindMPIRegionGrids()) return nullptr;
  grid = ExchangeGrid(index, grid, "MPIGatherGridAlloc");
  if (mpirank != 0) {
    MPIGatherGrid(index, grid);
    return nullptr;
  }
  Grid whole = matrix(1, nrows, 1, ncols, nrows);
  for (int row = 1; row <= nrows; ++row) {
    const double* own = grid[row];
    for (int c = 1; c <= ncols; ++c) whole[row][c] = (own && MPIRegions[row][c] == 0) ? own[c] : nodata;
  }
  try {
    MPIGatherGrid(index, whole);
  } catch (...) {
    FreeMatrix(whole, 1, nrows, 1, ncols);
    throw;
  }
  return whole;
}

void modelobject::GatherStackCells(Stack stack, int levels) {
  const int perCell = levels + 1;
  WalkStrips(true, [&](int row, int first, int count, int owner) {
    double* cells = HeldRow(diag, stack, row, "MPIGatherStack")[first];
    if (mpirank == 0)
      MPI_Recv(cells, count * perCell, MPI_DOUBLE, owner, row, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    else
      MPI_Send(cells, count * perCell, MPI_DOUBLE, 0, row, MPI_COMM_WORLD);
  });
}

void modelobject::ScatterStackCells(Stack stack, int levels) {
  if (mpisize < 2 || !BindMPIRegionGrids()) return;
  const int perCell = levels + 1;
  WalkStrips(false, [&](int row, int first, int count, int owner) {
    // All levels of consecutive cells of a row lie one after another in the
    // row's block, so a strip is one run of count * (L + 1) doubles.
    double* cells = HeldRow(diag, stack, row, "MPIScatterStack")[first];
    if (mpirank == 0)
      MPI_Send(cells, count * perCell, MPI_DOUBLE, owner, row, MPI_COMM_WORLD);
    else
      MPI_Recv(cells, count * perCell, MPI_DOUBLE, 0, row, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  });
}

void modelobject::MPIGatherStack(int index, Stack stack) {
  if (mpisize < 2 || !BindMPIRegionGrids()) return;
  const int levels = EntryLevels(index, "MPIGatherStack");
  stack = ExchangeStack(index, stack, "MPIGatherStack");
  *diag << "synchronising stack " << gridlist[index].shortname.c_str() << " for mpi-rank " << mpirank << "[end-entry]";
  GatherStackCells(stack, levels);
}

Stack modelobject::MPIGatherStackAlloc(int index, Stack stack) {
  if (mpisize < 2 || !BindMPIRegionGrids()) return nullptr;
  const int levels = EntryLevels(index, "MPIGatherStackAlloc");
  stack = ExchangeStack(index, stack, "MPIGatherStackAlloc");
  *diag << "synchronising stack " << gridlist[index].shortname.c_str() << " for mpi-rank " << mpirank << "[end-entry]";
  if (mpirank != 0) {
    GatherStackCells(stack, levels);
    return nullptr;
  }
  Stack whole = matrix3d(1, nrows, 1, ncols, levels, nrows);
  for (int row = 1; row <= nrows; ++row) {
    for (int c = 1; c <= ncols; ++c) {
      const bool own = stack[row] && MPIRegions[row][c] == 0;
      for (int l = 0; l <= levels; ++l) whole[row][c][l] = own ? stack[row][c][l] : nodata;
    }
  }
  try {
    GatherStackCells(whole, levels);
  } catch (...) {
    FreeMatrix3d(whole, 1, nrows);
    throw;
  }
  return whole;
}

void modelobject::MPIScatterStack(int index, Stack stack, int levels) {
  if (mpisize < 2 || !BindMPIRegionGrids()) return;
  if (index >= 1) {
    levels = EntryLevels(index, "MPIScatterStack");
    *diag << "re-distributing stack " << gridlist[index].shortname.c_str() << " for mpi-rank " << mpirank
          << "[end-entry]";
  } else if (levels <= 0) {
    *diag << "FATAL: no level-count given as (optional) parameter to MPIScatterStack. Please report to the author."
          << "[end-entry]";
    throw 1010;
  }
  stack = ExchangeStack(index, stack, "MPIScatterStack");
  ScatterStackCells(stack, levels);
}

void modelobject::MPIExchangeBorders(int index, Grid grid) {
  if (index < 0) return;
  const std::size_t sends = haloSend ? haloSend->size() : 0;
  const std::size_t receives = haloReceive ? haloReceive->size() : 0;
  if (sends + receives == 0) return;
  grid = ExchangeGrid(index, grid, "MPIExchangeBorders");
  std::vector<MPI_Request> requests;
  requests.reserve(sends + receives);
  for (std::size_t i = 0; i < sends; ++i) {
    const HaloEntry& e = (*haloSend)[i];
    double* cells = HeldRow(diag, grid, e.row, "MPIExchangeBorders") + e.firstColumn;
    requests.emplace_back();
    MPI_Isend(cells, e.count, MPI_DOUBLE, e.peer, e.row, MPI_COMM_WORLD, &requests.back());
  }
  for (std::size_t i = 0; i < receives; ++i) {
    const HaloEntry& e = (*haloReceive)[i];
    double* cells = HeldRow(diag, grid, e.row, "MPIExchangeBorders") + e.firstColumn;
    requests.emplace_back();
    MPI_Irecv(cells, e.count, MPI_DOUBLE, e.peer, e.row, MPI_COMM_WORLD, &requests.back());
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
}

void modelobject::MPIExchangeBorders2(int index, int /*unused*/, Stack stack) {
  const std::size_t sends = haloSend ? haloSend->size() : 0;
  const std::size_t receives = haloReceive ? haloReceive->size() : 0;
  if (sends + receives == 0) return;
  const int perCell = EntryLevels(index, "MPIExchangeBorders2") + 1;
  stack = ExchangeStack(index, stack, "MPIExchangeBorders2");
  std::vector<MPI_Request> requests;
  requests.reserve(sends + receives);
  // Tag 0 throughout: between two instances the messages pair up in the order
  // of the receiving instance's list, which is the order of the sender's list.
  for (std::size_t i = 0; i < sends; ++i) {
    const HaloEntry& e = (*haloSend)[i];
    double* cells = HeldRow(diag, stack, e.row, "MPIExchangeBorders2")[e.firstColumn];
    requests.emplace_back();
    MPI_Isend(cells, e.count * perCell, MPI_DOUBLE, e.peer, 0, MPI_COMM_WORLD, &requests.back());
  }
  for (std::size_t i = 0; i < receives; ++i) {
    const HaloEntry& e = (*haloReceive)[i];
    double* cells = HeldRow(diag, stack, e.row, "MPIExchangeBorders2")[e.firstColumn];
    requests.emplace_back();
    MPI_Irecv(cells, e.count * perCell, MPI_DOUBLE, e.peer, 0, MPI_COMM_WORLD, &requests.back());
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
}

void modelobject::MPIReduceRecords(ZoneRecord* records, int n, bool copyRelCellSum) {
  if (!records || n < 0) return;
  MPI_Datatype type;
  MPI_Type_contiguous(5, MPI_DOUBLE, &type);
  MPI_Type_commit(&type);
  MPI_Op op;
  MPI_Op_create(&zonalstatistic::AddRecords, 1, &op);
  std::vector<ZoneRecord> sum(static_cast<std::size_t>(n) + 1, ZoneRecord{0, 0, 0, 0, 0});
  MPI_Reduce(records, sum.data(), n + 1, type, op, 0, MPI_COMM_WORLD);
  for (int i = 0; i <= n; ++i) {
    records[i].n = sum[i].n;
    records[i].sx = sum[i].sx;
    if (copyRelCellSum) records[i].RelCellSum = sum[i].RelCellSum;
  }
  MPI_Op_free(&op);
  MPI_Type_free(&type);
}

void modelobject::MPIBcastStruct(ZoneRecord* records, int n) {
  if (!records || n < 0) return;
  int lengths[5] = {1, 1, 1, 1, 1};
  MPI_Aint displacements[5] = {0, 8, 16, 24, 32};
  MPI_Datatype types[5] = {MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE};
  MPI_Datatype type;
  MPI_Type_create_struct(5, lengths, displacements, types, &type);
  MPI_Type_commit(&type);
  std::vector<ZoneRecord> buffer(static_cast<std::size_t>(n) + 1, ZoneRecord{0, 0, 0, 0, 0});
  for (int i = 0; i <= n; ++i) {
    buffer[i].n = records[i].n;
    buffer[i].sx = records[i].sx;
    buffer[i].RelCellSum = records[i].RelCellSum;
  }
  MPI_Bcast(buffer.data(), n + 1, type, 0, MPI_COMM_WORLD);
  for (int i = 0; i <= n; ++i) {
    records[i].n = buffer[i].n;
    records[i].sx = buffer[i].sx;
    records[i].RelCellSum = buffer[i].RelCellSum;
  }
  MPI_Type_free(&type);
}

namespace {
// Columns of a row that the masked-cell operations visit: the row's data
// columns when the object knows them, else the whole row.
void RowColumns(const ColumnRange* ranges, int row, int ncols, int& first, int& last) {
  if (ranges) {
    first = ranges[row].first < 1 ? 1 : ranges[row].first;
    last = ranges[row].last > ncols ? ncols : ranges[row].last;
    if (ranges[row].first < 1) last = 0;
  } else {
    first = 1;
    last = ncols;
  }
}

int CellCount(const int64_t* counts, int instance) {
  const int64_t n = counts ? counts[instance] : 0;
  return n > 0 ? static_cast<int>(n) : 0;
}
}  // namespace

void modelobject::MPISendRecvArray(int sourceIndex, int maskIndex, const int64_t* cellCounts, Grid target) {
  if (mpisize < 2) return;
  BindMPIRegionGrids();
  if (!MPIRegions) return;
  Grid source = ExchangeGrid(sourceIndex, nullptr, "MPISendRecvArray");
  Grid mask = ExchangeGrid(maskIndex, nullptr, "MPISendRecvArray");
  int first = 0;
  int last = 0;
  if (mpirank != 0) {
    // The array has the length of the instance's cell count; the masked cells
    // are a part of the owned cells, the rest stays no-data.
    const int count = CellCount(cellCounts, mpirank);
    std::vector<double> values(static_cast<std::size_t>(count), nodata);
    int k = 0;
    for (int row = firstrow; row <= lastrow; ++row) {
      if (!mask[row] || !source[row] || !MPIRegions[row]) continue;
      RowColumns(datacols, row, ncols, first, last);
      for (int c = first; c <= last && k < count; ++c)
        if (mask[row][c] > nodata && MPIRegions[row][c] == mpirank) values[k++] = source[row][c];
    }
    MPI_Send(values.data(), count, MPI_DOUBLE, 0, mpirank, MPI_COMM_WORLD);
    return;
  }
  std::vector<std::vector<double>> arrays(static_cast<std::size_t>(mpisize));
  std::vector<int> next(static_cast<std::size_t>(mpisize), 0);
  for (int i = 1; i < mpisize; ++i) {
    arrays[i].assign(static_cast<std::size_t>(CellCount(cellCounts, i)), nodata);
    MPI_Recv(arrays[i].data(), static_cast<int>(arrays[i].size()), MPI_DOUBLE, i, i, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  }
  // Rows that the receiving grid does not hold on instance 0 still take
  // their values off the arrays, so that the cells after them get theirs.
  Grid out = target ? target : source;
  for (int row = 1; row <= nrows; ++row) {
    if (!mask[row] || !MPIRegions[row]) continue;
    RowColumns(datacols, row, ncols, first, last);
    for (int c = first; c <= last; ++c) {
      if (!(mask[row][c] > nodata) || !(MPIRegions[row][c] > nodata)) continue;
      const int owner = static_cast<int>(MPIRegions[row][c]);
      if (owner == 0) {
        if (target && target[row] && source[row]) target[row][c] = source[row][c];
      } else if (owner < mpisize && next[owner] < static_cast<int>(arrays[owner].size())) {
        const double v = arrays[owner][next[owner]++];
        if (out[row]) out[row][c] = v;
      }
    }
  }
}

void modelobject::MPISendRecvArray2(int sourceIndex, int maskIndex, const int64_t* cellCounts) {
  if (mpisize < 2) return;
  BindMPIRegionGrids();
  if (!MPIRegions) return;
  Grid source = ExchangeGrid(sourceIndex, nullptr, "MPISendRecvArray2");
  Grid mask = ExchangeGrid(maskIndex, nullptr, "MPISendRecvArray2");
  int first = 0;
  int last = 0;
  if (mpirank == 0) {
    std::vector<std::vector<double>> arrays(static_cast<std::size_t>(mpisize));
    std::vector<int> next(static_cast<std::size_t>(mpisize), 0);
    for (int i = 1; i < mpisize; ++i) arrays[i].assign(static_cast<std::size_t>(CellCount(cellCounts, i)), nodata);
    for (int row = 1; row <= nrows; ++row) {
      if (!mask[row] || !source[row]) continue;
      RowColumns(datacols, row, ncols, first, last);
      for (int c = first; c <= last; ++c) {
        if (!(mask[row][c] > nodata) || !(MPIRegions[row][c] > 0)) continue;
        const int owner = static_cast<int>(MPIRegions[row][c]);
        if (owner < mpisize && next[owner] < static_cast<int>(arrays[owner].size()))
          arrays[owner][next[owner]++] = source[row][c];
      }
    }
    for (int i = 1; i < mpisize; ++i)
      MPI_Send(arrays[i].data(), static_cast<int>(arrays[i].size()), MPI_DOUBLE, i, i, MPI_COMM_WORLD);
    return;
  }
  const int count = CellCount(cellCounts, mpirank);
  std::vector<double> values(static_cast<std::size_t>(count), nodata);
  MPI_Recv(values.data(), count, MPI_DOUBLE, 0, mpirank, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  int k = 0;
  for (int row = firstrow; row <= lastrow; ++row) {
    if (!mask[row] || !source[row] || !MPIRegions[row]) continue;
    RowColumns(datacols, row, ncols, first, last);
    for (int c = first; c <= last && k < count; ++c)
      if (mask[row][c] > nodata && MPIRegions[row][c] == mpirank) source[row][c] = values[k++];
  }
}
