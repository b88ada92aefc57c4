// Reading of the tracer storage grids from their grid files.
#include <filesystem>
#include <system_error>

#include "framework/diagstream.h"
#include "framework/teilmod.h"

void teilmodellklasse::ReadTracerStorageGrid(const std::string& fileName, Grid& grid, int64_t& first, int64_t& last) {
  // One collective read of the instance's own rows: fill mode 0, not
  // verbose, no strict holes, not local, no halo.
  Grid read = nullptr;
  ReadGrid(fileName, &read, 0, true, false, false, false, false, false, 0.0);
  int own1 = 0;
  int own2 = 0;
  InstanceRows(false, own1, own2);
  // The store covers every row, as a store started empty does: the modules
  // that gather it on instance 0 (snow slides) find the same rows after a
  // warm start as in a run from the start, and the rows this instance does
  // not hold (on one instance those without basin cells, written with the
  // grid) and the cells outside the zone grid hold nodata, as there.
  grid = matrix(1, nrows, 1, ncols, 0);
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) grid[r][c] = r >= own1 && r <= own2 && StoreCell(r, c) ? read[r][c] : nodata;
  FreeMatrix(read, own1, own2, 1, ncols);
  first = 1;
  last = nrows;
}

bool teilmodellklasse::StoreCell(int r, int c) const {
  if (!zonegrid) return true;
  const bool zoneRows = gridlist && gridlist[1].lastrow >= gridlist[1].firstrow && gridlist[1].firstrow > 0;
  const int64_t zoneFirst = zoneRows ? gridlist[1].firstrow : firstrow;
  const int64_t zoneLast = zoneRows ? gridlist[1].lastrow : lastrow;
  return r >= zoneFirst && r <= zoneLast && !Missing(zonegrid[r][c]);
}

void teilmodellklasse::RequireTracerState(const std::string& fileName, int t, const TracerRecord& tracer,
                                          const std::string& restart) {
  std::string path = fileName;
  MakePath(InitialStateDirectory, path, 21);
  std::error_code error;
  if (std::filesystem::is_regular_file(path, error)) return;
  Fatal("FATAL: in modul " + modulname + ": the warm start reads the state of tracer " + std::to_string(t) + " (" +
            tracer.name + ") from " + path +
            ", which does not exist. A tracer's grids are written at the end of a run only with a gridcode that "
            "writes them then: set gridcode = 3 for this tracer in [substance_transport] of the run that writes the "
            "state, or " +
            (restart.empty() ? std::string("start the module's tracers from their initial values (its read parameter 0)")
                             : restart),
        21);
}
