// Division of the raster between the MPI instances.
//
// Each instance gets a quota of the valid cells of the zone grid (value
// strictly greater than no-data) in proportion to its speed; the cells are
// assigned in row-major order, the last instance taking the first cells, so
// every instance owns one run of consecutive valid cells. The result: the
// instance's first and last row, the cell count of every instance, the grids
// "MPIRegions" (owner of each cell), "MPIHelper" (column strips per row) and
// "MPIHalo" (foreign cells next to own cells), and the halo send and receive
// lists used by the border exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/memory_handling.h"
#include "framework/types.h"

class modelobject;

class MPIDecomposition : public memory_handling {
 public:
  // Thrown when an instance would get less than one cell.
  static constexpr int kNoCellsError = 121;
  // Thrown when the strips of a row do not fit in a row of "MPIHelper".
  static constexpr int kStripError = 120;
  // Thrown when "MpiSpeedFactor.dat" exists but holds no number.
  static constexpr int kRunTimeError = 19;

  // speedFile: the file with the instance's run time ("MpiSpeedFactor.dat" in
  // the working directory); when it cannot be opened the speed test runs.
  MPIDecomposition(DiagStream* diagnostics, std::string speedFile = "MpiSpeedFactor.dat");
  ~MPIDecomposition();
  MPIDecomposition(const MPIDecomposition&) = delete;
  MPIDecomposition& operator=(const MPIDecomposition&) = delete;

  // Collective over all instances. owner: the set-up object whose grid list
  // receives the three grids. zone: the complete zone grid (rows 1 ... nrows)
  // on instance 0, ignored elsewhere.
  void CreateMPIRegions(modelobject& owner, Grid zone, int ncols, int nrows, double nodata, int* firstRow,
                        int* lastRow);
  // Unregisters the three grids from the owner's grid list and releases them.
  void FreeMemory(modelobject& owner);

  Grid Regions() const { return regions; }
  Grid Helper() const { return helper; }
  Grid Halo() const { return halo; }
  int FirstRow() const { return first; }
  int LastRow() const { return last; }
  // The rows every grid of this instance covers: one halo row on each side
  // that lies inside the raster (instance 0: 1 ... nrows).
  int LowRow() const { return low; }
  int HighRow() const { return high; }
  const int64_t* CellCounts() const { return cellCounts.data(); }
  const HaloList& SendList() const { return sendList; }
  const HaloList& ReceiveList() const { return receiveList; }

  // Normalised weights from run times: 1 / t, or 1 for t <= 0.
  static std::vector<double> Weights(const std::vector<double>& runTimes);
  // floor(cells * w + 0.4999) per instance; the last instance takes the rest
  // so that the quotas add up to cells. A weight that gives no finite quota
  // yields -1.
  static std::vector<int64_t> Quotas(int64_t cells, const std::vector<double>& weights);
  // Instance 0's form of a "MPIHelper" row: leading no-data cells counted in
  // column 0, then (owner, length) runs in columns (1, 2), (3, 4), ... Returns
  // the number of runs; runs beyond column ncols are counted, not stored.
  static int EncodeRuns(const double* regionsRow, double* helperRow, int ncols, double nodata);
  // The other instances' form: (first column, count) of the own strips.
  static int EncodeOwnStrips(const double* regionsRow, double* helperRow, int ncols, int rank);
  // Appends the halo cells of one "MPIHalo" row to the receive list, merging
  // the cells of one peer in the row; entriesPerPeer counts the entries.
  static void AppendHaloRow(const double* haloRow, int row, int ncols, HaloList& list,
                            std::vector<int>& entriesPerPeer);

 private:
  double RunTime(int rank);
  int FreePosition(modelobject& owner) const;
  void RegisterGrids(modelobject& owner, int fromRow, int toRow);
  void AssignCells(Grid zone, const std::vector<int64_t>& quotas, std::vector<int>& firsts, std::vector<int>& lasts);
  void MarkHalo(int rank);
  void ExchangeHaloLists(int rank, int size, const std::vector<int>& entriesPerPeer);

  std::string speedFile;
  int ncols = 0;
  int nrows = 0;
  double nodata = kNodata;
  int first = 1;
  int last = 0;
  int low = 1;
  int high = 0;
  Grid regions = nullptr;
  Grid helper = nullptr;
  Grid halo = nullptr;
  int gridFirstRow = 1;  // rows of the three grids
  int gridLastRow = 0;
  int position = 0;  // grid-list position of "MPIRegions"; the other two follow
  std::vector<int64_t> cellCounts;
  HaloList sendList;
  HaloList receiveList;
};
