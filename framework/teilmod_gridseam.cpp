// Reading of the tracer storage grids from their grid files.
#include "framework/diagstream.h"
#include "framework/teilmod.h"

void teilmodellklasse::ReadTracerStorageGrid(const std::string& fileName, Grid& grid, int64_t& first, int64_t& last) {
  // Read without keeping the whole grid: every instance holds its own rows.
  first = firstrow;
  last = lastrow;
  // ---- SEAM(grid files) ----
  // The grid-file reader of modelobject is not part of this build yet. When it
  // is, the rest of this function becomes the one collective call
  //   ReadGrid(fileName, &grid, 0, true, false, false, false, false, false, 0.0);
  // (fill mode 0, allocate, not verbose, no strict holes, instance rows only,
  // not local, no halo, fill value 0).
  grid = nullptr;
  *diag << "FATAL: error reading grid " << fileName.c_str() << " for " << modulname.c_str()
        << ": grid files cannot be read in this build"
        << "[end-entry]";
  throw 22;
}
