// Reading of the tracer storage grids from their grid files.
#include "framework/diagstream.h"
#include "framework/teilmod.h"

void teilmodellklasse::ReadTracerStorageGrid(const std::string& fileName, Grid& grid, int64_t& first, int64_t& last) {
  // One collective read, allocating the grid: fill mode 0, not verbose, no
  // strict holes, every instance keeps its own rows, not local, no halo.
  grid = nullptr;
  ReadGrid(fileName, &grid, 0, true, false, false, false, false, false, 0.0);
  int own1 = 0;
  int own2 = 0;
  InstanceRows(false, own1, own2);
  first = own1;
  last = own2;
}
