#include "application/mpidecomp.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "framework/diagstream.h"
#include "framework/modelobject.h"

static_assert(sizeof(HaloEntry) == 4 * sizeof(int), "a HaloEntry travels as four MPI_INT");

namespace {

// Failure found by instance 0 and shared with all instances, so that every
// instance stops with the same code instead of waiting for the others.
struct Status {
  int64_t code = 0;
  int64_t a = 0;
  int64_t b = 0;
  int64_t c = 0;
};

void StripMessage(DiagStream& diag, int64_t row) {
  diag << "FATAL: MPI-Regions: to much strips to be stored in a grid row in row " << static_cast<long>(row)
       << "[end-entry]";
}

void RunTimeMessage(DiagStream& diag, int64_t instance) {
  diag << "FATAL: MPI domain decomposition: instance " << static_cast<long>(instance) << " could not read its run time"
       << "[end-entry]";
}

void NoCellsMessage(DiagStream& diag, int64_t instance, int64_t quota, int64_t cells) {
  // A zone grid without any valid cell is the user's fault, not the instance count's.
  if (cells == 0) {
    diag << "FATAL: MPI domain decomposition: the zone grid has no valid cell (every cell is NODATA); check the "
            "zone grid and its nodata_value"
         << "[end-entry]";
    return;
  }
  diag << "FATAL: MPI domain decomposition: instance " << static_cast<long>(instance) << " would get "
       << static_cast<long>(quota) << " of the " << static_cast<long>(cells)
       << " valid cells of the zone grid; every instance needs at least one cell "
          "(run fewer instances, or check the run times in MpiSpeedFactor.dat)"
       << "[end-entry]";
}

}  // namespace

MPIDecomposition::MPIDecomposition(DiagStream* diagnostics, std::string speedFileName)
    : memory_handling(diagnostics), speedFile(std::move(speedFileName)) {
  modulname = "MPI domain decomposition";
}

MPIDecomposition::~MPIDecomposition() {
  // Grids still held after a failed set-up; the grid list may be gone already.
  if (regions) FreeMatrix(regions, gridFirstRow, gridLastRow, 1, ncols);
  if (helper) FreeMatrix(helper, gridFirstRow, gridLastRow, 1, ncols);
  if (halo) FreeMatrix(halo, gridFirstRow, gridLastRow, 1, ncols);
}

std::vector<double> MPIDecomposition::Weights(const std::vector<double>& runTimes) {
  std::vector<double> weights(runTimes.size());
  double sum = 0;
  for (std::size_t i = 0; i < runTimes.size(); ++i) {
    weights[i] = runTimes[i] > 0 ? 1.0 / runTimes[i] : 1.0;
    sum += weights[i];
  }
  for (double& w : weights) w /= sum;
  return weights;
}

std::vector<int64_t> MPIDecomposition::Quotas(int64_t cells, const std::vector<double>& weights) {
  std::vector<int64_t> quotas(weights.size(), -1);
  bool valid = true;
  int64_t sum = 0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const double x = static_cast<double>(cells) * weights[i] + 0.4999;
    if (!(x >= 0 && x < 9.0e18)) {  // NaN or out of range: no quota
      valid = false;
      continue;
    }
    quotas[i] = static_cast<int64_t>(std::floor(x));
    sum += quotas[i];
  }
  if (valid && !quotas.empty()) quotas.back() += cells - sum;
  // A speed test taken while the machine is busy can weigh an instance so low
  // that its share rounds to no cell, and the run would stop. While there are
  // at least as many cells as instances, such an instance gets one cell from
  // the instance with the largest share.
  if (valid && cells >= static_cast<int64_t>(quotas.size()))
    for (int64_t& q : quotas)
      if (q < 1) {
        --*std::max_element(quotas.begin(), quotas.end());
        ++q;
      }
  return quotas;
}

int MPIDecomposition::EncodeRuns(const double* regionsRow, double* helperRow, int ncols, double nodata) {
  for (int c = 0; c <= ncols; ++c) helperRow[c] = 0;
  int runs = 0;
  double previous = nodata;
  for (int c = 1; c <= ncols; ++c) {
    const double v = regionsRow[c];
    if (v == previous) {
      if (runs == 0)
        helperRow[0] += 1;
      else if (2 * runs <= ncols)
        helperRow[2 * runs] += 1;
      continue;
    }
    ++runs;
    if (2 * runs <= ncols) {  // a pair that would lie past the row is counted only
      helperRow[2 * runs - 1] = v;
      helperRow[2 * runs] = 1;
    }
    previous = v;
  }
  return runs;
}

int MPIDecomposition::EncodeOwnStrips(const double* regionsRow, double* helperRow, int ncols, int rank) {
  for (int c = 0; c <= ncols; ++c) helperRow[c] = 0;
  int strips = 0;
  bool inStrip = false;
  for (int c = 1; c <= ncols; ++c) {
    const bool own = regionsRow[c] == rank;
    if (own && inStrip) {
      if (2 * strips <= ncols) helperRow[2 * strips] += 1;
    } else if (own) {
      ++strips;
      if (2 * strips <= ncols) {
        helperRow[2 * strips - 1] = c;
        helperRow[2 * strips] = 1;
      }
    }
    inStrip = own;
  }
  return strips;
}

void MPIDecomposition::AppendHaloRow(const double* haloRow, int row, int ncols, HaloList& list,
                                     std::vector<int>& entriesPerPeer) {
  int previousPeer = -1;
  for (int c = 1; c <= ncols; ++c) {
    const double v = haloRow[c];
    if (!(v >= 0) || v >= static_cast<double>(entriesPerPeer.size())) {
      previousPeer = -1;
      continue;
    }
    const int peer = static_cast<int>(v);
    if (peer == previousPeer) {
      list.back().count += 1;
    } else if (!list.empty() && list.back().row == row && list.back().peer == peer) {
      // Only cells of this peer or without data lie between: one message
      // carries them along instead of a second entry.
      list.back().count = c - list.back().firstColumn + 1;
    } else {
      list.push_back(HaloEntry{row, c, 1, peer});
      entriesPerPeer[peer] += 1;
    }
    previousPeer = peer;
  }
}

double MPIDecomposition::RunTime(int rank) {
  if (std::FILE* file = std::fopen(speedFile.c_str(), "r")) {
    char text[201];
    const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[n] = '\0';
    const char* start = text;
    while (*start && std::isspace(static_cast<unsigned char>(*start))) ++start;
    char* end = nullptr;
    const double t = std::strtod(start, &end);
    const bool complete =
        end != start && (*end == '\0' ? n < sizeof text - 1 : std::isspace(static_cast<unsigned char>(*end)));
    if (!complete || !std::isfinite(t)) {
      *diag << "FATAL: error reading the run time of instance " << rank << " from " << speedFile.c_str()
            << " (expected one number)"
            << "[end-entry]";
      throw kRunTimeError;
    }
    return t;
  }
  const int size = 1000;
  Grid a = matrix(1, size, 1, size, 0);
  Grid b = matrix(1, size, 1, size, 0);
  Grid c = matrix(1, size, 1, size, 0);
  double t = 0;
  for (int run = 0; run < 30; ++run) {
    const double start = MPI_Wtime();
#pragma omp parallel for schedule(runtime)
    for (int row = 1; row <= size; ++row) {
      for (int col = 1; col <= size; ++col) {
        const double x = row + col;
        a[row][col] = std::cos(x);
        b[row][col] = std::sin(x);
        c[row][col] = std::atan(std::sin(x) * std::cos(x));
      }
    }
    t += MPI_Wtime() - start;
  }
  FreeMatrix(a, 1, size, 1, size);
  FreeMatrix(b, 1, size, 1, size);
  FreeMatrix(c, 1, size, 1, size);
  *diag << "MPI wtime: " << t << " for instance: " << rank << "[end-entry]";
  return t;
}

namespace {
// A position holds nothing: not registered and not named by a grid-list section.
bool IsFree(const GridListEntry& e) {
  return !e.registered && e.filename.empty() && e.shortname.empty();
}
}  // namespace

int MPIDecomposition::FreePosition(modelobject& owner) const {
  const GridListEntry* list = owner.GetGridList();
  for (int i = 1; list && i < kGridListMax; ++i)
    if (IsFree(list[i])) return i;
  *diag << "FATAL: when trying to create MPI-Regions: no free grid found in memory (at position " << kGridListMax << ")"
        << "[end-entry]";
  throw 12;
}

void MPIDecomposition::RegisterGrids(modelobject& owner, int fromRow, int toRow) {
  const int at = FreePosition(owner);
  // The two grids after "MPIRegions" take the next positions, which must be free too.
  const GridListEntry* list = owner.GetGridList();
  for (int p = at + 1; p <= at + 2; ++p) {
    if (p < kGridListMax && IsFree(list[p])) continue;
    *diag << "FATAL: when trying to create MPI-Regions: no free grid found in memory (at position " << p << ")"
          << "[end-entry]";
    throw 12;
  }
  gridFirstRow = fromRow;
  gridLastRow = toRow;
  regions = matrix(fromRow, toRow, 1, ncols, nrows);
  helper = matrix(fromRow, toRow, 1, ncols, nrows);
  halo = matrix(fromRow, toRow, 1, ncols, nrows);
  for (int row = fromRow; row <= toRow; ++row) {
    for (int c = 0; c <= ncols; ++c) {
      regions[row][c] = nodata;
      halo[row][c] = nodata;
    }
  }
  // The grids carry their short names as file names: an entry without a file
  // name counts as free for the other grid-list searches, which would then
  // try to take these positions again.
  owner.RegisterGrid(at, "MPIRegions", regions, nullptr, 0, "MPIRegions", 0, fromRow, toRow);
  position = at;
  owner.RegisterGrid(at + 1, "MPIHelper", helper, nullptr, 0, "MPIHelper", 0, fromRow, toRow);
  owner.RegisterGrid(at + 2, "MPIHalo", halo, nullptr, 0, "MPIHalo", 0, fromRow, toRow);
}

void MPIDecomposition::AssignCells(Grid zone, const std::vector<int64_t>& quotas, std::vector<int>& firsts,
                                   std::vector<int>& lasts) {
  const int size = static_cast<int>(quotas.size());
  firsts.assign(size, -1);
  lasts.assign(size, -1);
  std::vector<int64_t> left = quotas;
  int k = size - 1;
  for (int row = 1; row <= nrows; ++row) {
    if (!zone[row]) continue;
    for (int c = 1; c <= ncols; ++c) {
      if (!(zone[row][c] > nodata)) continue;
      if (firsts[k] < 0) firsts[k] = lasts[k] = row;
      regions[row][c] = k;
      if (--left[k] == 0) {
        lasts[k] = row;
        if (k > 0) --k;
      }
    }
  }
}

void MPIDecomposition::MarkHalo(int rank) {
  const int from = rank == 0 ? 1 : first;
  const int to = rank == 0 ? nrows : last;
  for (int row = from; row <= to; ++row) {
    for (int c = 1; c <= ncols; ++c) {
      if (regions[row][c] != rank) continue;
      for (int r = row - 1; r <= row + 1; ++r) {
        if (r < 1 || r > nrows) continue;
        for (int cc = c - 1; cc <= c + 1; ++cc) {
          if (cc < 1 || cc > ncols) continue;
          const double v = regions[r][cc];
          if (v != rank && v != nodata) halo[r][cc] = v;
        }
      }
    }
  }
}

void MPIDecomposition::ExchangeHaloLists(int rank, int size, const std::vector<int>& entriesPerPeer) {
  std::vector<int> peers;
  for (int p = 0; p < size; ++p)
    if (entriesPerPeer[p] > 0) peers.push_back(p);
  const std::size_t n = peers.size();
  std::vector<std::array<int, 2>> out(n);
  std::vector<std::array<int, 2>> in(n, std::array<int, 2>{0, 0});
  std::vector<MPI_Request> requests;
  requests.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = {peers[i], entriesPerPeer[peers[i]]};
    requests.emplace_back();
    MPI_Isend(out[i].data(), 2, MPI_INT, peers[i], 0, MPI_COMM_WORLD, &requests.back());
    requests.emplace_back();
    MPI_Irecv(in[i].data(), 2, MPI_INT, peers[i], 0, MPI_COMM_WORLD, &requests.back());
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);

  // Every receive entry goes to its peer, which keeps it as a send entry.
  HaloList outgoing = receiveList;
  for (HaloEntry& e : outgoing) e.peer = rank;
  std::size_t total = 0;
  for (std::size_t i = 0; i < n; ++i) total += static_cast<std::size_t>(std::max(in[i][1], 0));
  sendList.assign(total, HaloEntry{0, 0, 0, 0});
  requests.clear();
  requests.reserve(outgoing.size() + total);
  for (std::size_t j = 0; j < outgoing.size(); ++j) {
    requests.emplace_back();
    MPI_Isend(&outgoing[j], 4, MPI_INT, receiveList[j].peer, 0, MPI_COMM_WORLD, &requests.back());
  }
  std::size_t next = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < in[i][1]; ++k) {
      requests.emplace_back();
      MPI_Irecv(&sendList[next++], 4, MPI_INT, peers[i], 0, MPI_COMM_WORLD, &requests.back());
    }
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
}

void MPIDecomposition::CreateMPIRegions(modelobject& owner, Grid zone, int columns, int rows, double nodataValue,
                                        int* firstRow, int* lastRow) {
  ncols = columns;
  nrows = rows;
  nodata = nodataValue;
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  cellCounts.assign(static_cast<std::size_t>(size) + 1, 0);
  sendList.clear();
  receiveList.clear();

  Status status;
  if (rank == 0) {
    try {
      if (!zone) {
        *diag << "FATAL: MPI domain decomposition: the zone grid is not in memory on instance 0"
              << "[end-entry]";
        throw 33;
      }
      RegisterGrids(owner, 1, nrows);
    } catch (int code) {
      status.code = code;
    }
  }

  // Run times, collected on instance 0 in instance order. An instance that
  // cannot read its speed file sends NaN, so that all stop together below.
  double t = 0;
  bool ownRunTimeFailed = false;
  try {
    t = RunTime(rank);
  } catch (int) {
    t = std::numeric_limits<double>::quiet_NaN();
    ownRunTimeFailed = true;
  }
  std::vector<double> runTimes(static_cast<std::size_t>(size), 0.0);
  if (rank != 0) {
    MPI_Send(&t, 1, MPI_DOUBLE, 0, rank, MPI_COMM_WORLD);
  } else {
    runTimes[0] = t;
    for (int i = 1; i < size; ++i) MPI_Recv(&runTimes[i], 1, MPI_DOUBLE, i, i, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    for (int i = 0; i < size; ++i)
      *diag << "received MPI wtime: " << runTimes[i] << " for instance: " << i << "[end-entry]";
    for (int i = 0; i < size && status.code == 0; ++i) {
      if (!std::isnan(runTimes[i])) continue;
      status = Status{kRunTimeError, i, 0, 0};
      if (i != 0) RunTimeMessage(*diag, i);
    }
  }

  std::vector<int> firsts(static_cast<std::size_t>(size), -1);
  std::vector<int> lasts(static_cast<std::size_t>(size), -1);
  if (rank == 0 && status.code == 0) {
    try {
      const std::vector<double> weights = Weights(runTimes);
      for (int i = 0; i < size; ++i)
        *diag << "MPI performance weight: " << weights[i] << " for instance: " << i << "[end-entry]";
      int64_t cells = 0;
      for (int row = 1; row <= nrows; ++row)
        for (int c = 1; zone[row] && c <= ncols; ++c)
          if (zone[row][c] > nodata) ++cells;
      *diag << "MPI regular cells: " << static_cast<long>(cells) << "\nMPI river cells: " << 0 << "[end-entry]";
      const std::vector<int64_t> quotas = Quotas(cells, weights);
      for (int i = 0; i < size; ++i)
        *diag << "MPI num cells: " << static_cast<long>(quotas[i]) << " for instance: " << i << "[end-entry]";
      for (int i = 0; i < size; ++i) {
        if (quotas[i] >= 1) continue;
        status = Status{kNoCellsError, i, quotas[i], cells};
        NoCellsMessage(*diag, i, quotas[i], cells);
        throw static_cast<int>(kNoCellsError);
      }
      AssignCells(zone, quotas, firsts, lasts);
      bool truncated = false;
      for (int row = 1; row <= nrows; ++row) {
        const int runs = EncodeRuns(regions[row], helper[row], ncols, nodata);
        // The strip walks of the exchange need the pair after the last one
        // (the end mark) inside the row too.
        if (size > 1 && runs > 0 && 2 * runs + 2 > ncols) {
          status = Status{kStripError, row, 0, 0};
          StripMessage(*diag, row);
          throw static_cast<int>(kStripError);
        }
        if (2 * runs > ncols && !truncated) {
          truncated = true;
          *diag << "WARNING: MPI-Regions: row " << row << " has more runs of owners than fit in a row of MPIHelper;"
                << " the strips past column " << ncols << " are not stored"
                << "[end-entry]";
        }
      }
    } catch (int code) {
      if (status.code == 0) status.code = code;
    }
  }
  MPI_Bcast(&status, 4, MPI_INT64_T, 0, MPI_COMM_WORLD);
  if (status.code != 0) {
    // Instance 0 and an instance that failed itself have written their entry.
    if (rank != 0 && status.code == kRunTimeError) {
      if (!ownRunTimeFailed) RunTimeMessage(*diag, status.a);
    } else if (rank != 0) {
      if (status.code == kNoCellsError)
        NoCellsMessage(*diag, status.a, status.b, status.c);
      else if (status.code == kStripError)
        StripMessage(*diag, status.a);
      else
        *diag << "FATAL: MPI domain decomposition failed on instance 0 (error code " << static_cast<long>(status.code)
              << ")"
              << "[end-entry]";
    }
    throw static_cast<int>(status.code);
  }

  MPI_Bcast(firsts.data(), size, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(lasts.data(), size, MPI_INT, 0, MPI_COMM_WORLD);
  auto lowOf = [&](int i) { return firsts[i] >= 2 ? firsts[i] - 1 : firsts[i]; };
  auto highOf = [&](int i) { return lasts[i] < nrows ? lasts[i] + 1 : lasts[i]; };
  first = firsts[rank];
  last = lasts[rank];
  low = rank == 0 ? 1 : lowOf(rank);
  high = rank == 0 ? nrows : highOf(rank);

  // Owner rows of every other instance, with its halo rows.
  if (rank == 0) {
    for (int i = 1; i < size; ++i)
      for (int row = lowOf(i); row <= highOf(i); ++row)
        MPI_Send(regions[row] + 1, ncols, MPI_DOUBLE, i, row, MPI_COMM_WORLD);
  } else {
    RegisterGrids(owner, low, high);
    for (int row = low; row <= high; ++row)
      MPI_Recv(regions[row] + 1, ncols, MPI_DOUBLE, 0, row, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    for (int row = first; row <= last; ++row) EncodeOwnStrips(regions[row], helper[row], ncols, rank);
  }

  MarkHalo(rank);

  if (rank == 0) {
    for (int row = 1; row <= nrows; ++row)
      for (int c = 1; zone[row] && c <= ncols; ++c)
        if (zone[row][c] > nodata && regions[row][c] > nodata) ++cellCounts[static_cast<int>(regions[row][c])];
  }
  MPI_Bcast(cellCounts.data(), size, MPI_INT64_T, 0, MPI_COMM_WORLD);

  std::vector<int> entriesPerPeer(static_cast<std::size_t>(size), 0);
  for (int row = low; row <= high; ++row) AppendHaloRow(halo[row], row, ncols, receiveList, entriesPerPeer);
  ExchangeHaloLists(rank, size, entriesPerPeer);

  if (firstRow) *firstRow = first;
  if (lastRow) *lastRow = last;
}

void MPIDecomposition::FreeMemory(modelobject& owner) {
  GridListEntry* list = owner.GetGridList();
  const Grid grids[3] = {regions, helper, halo};
  for (int k = 0; k < 3; ++k) {
    const int at = position + k;
    if (list && position >= 1 && at < kGridListMax && grids[k] && list[at].grid == grids[k]) owner.UnregisterGrid(at);
  }
  FreeMatrix(regions, gridFirstRow, gridLastRow, 1, ncols);
  FreeMatrix(helper, gridFirstRow, gridLastRow, 1, ncols);
  FreeMatrix(halo, gridFirstRow, gridLastRow, 1, ncols);
  regions = helper = halo = nullptr;
  position = 0;
}
