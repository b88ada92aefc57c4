// Set-up steps 6 to 8: reference grids, their distribution, standard grids.
#include "application/defltuzr.h"
#include "framework/diagstream.h"

void defaultini::ReadReferenceGrids() {
  GridListEntry& zone = gridlist[1];
  Grid grid = nullptr;
  ReadGrid(zone.filename, &grid, 0, true, true, false, true, true, true, zone.defaultvalue);
  RegisterGrid(1, zone.filename, grid, nullptr, 0, zone.shortname, zone.writecode, 1, nrows);
  zonegrid = grid;
  const int links = FindRiverLinks();
  if (links > 0) {
    GridListEntry& e = gridlist[links];
    Grid linkGrid = nullptr;
    const std::string shortName = e.shortname;
    ReadGrid(e.filename, &linkGrid, e.fillcode, true, true, true, true, true, true, e.defaultvalue);
    RegisterGrid(links, e.filename, linkGrid, nullptr, 0, shortName, e.writecode, 1, nrows);
  }
}

int defaultini::FindRiverLinks() const {
  for (int p = 3; p <= nstandardgrids + 2; ++p)
    if (gridlist[p].shortname == "river_links") return p;
  return 0;
}

void defaultini::DistributeReferenceGrids() {
  if (mpirank == 0) {
    char name[64];
    std::snprintf(name, sizeof name, "MPIRegions_%d", 0);
    WriteGrid(name, MPIRegions, WriteAsciiGrids, WriteDoubleGrids);
  }
  const int links = FindRiverLinks();
  if (mpirank != 0) {
    const int positions[2] = {1, links};
    for (int p : positions) {
      if (p <= 0) continue;
      GridListEntry& e = gridlist[p];
      Grid grid = matrix(firstrowhalo, lastrowhalo, 1, ncols, nrows);
      for (int r = firstrowhalo; r <= lastrowhalo; ++r)
        for (int c = 1; c <= ncols; ++c) grid[r][c] = nodata;
      const std::string shortName = e.shortname;
      RegisterGrid(p, shortName, grid, nullptr, 0, shortName, 0, firstrowhalo, lastrowhalo);
      if (p == 1) zonegrid = grid;
    }
  }
  MPIScatterGrid(1, gridlist[1].grid);
  MPIExchangeBorders(1, gridlist[1].grid);
  if (links > 0) {
    MPIScatterGrid(links, gridlist[links].grid);
    MPIExchangeBorders(links, gridlist[links].grid);
  }
}

void defaultini::MakeStandardGrids() {
  for (int p = 2; p <= nstandardgrids + 2; ++p) {
    GridListEntry& e = gridlist[p];
    if (e.grid || e.shortname == "river_links") continue;
    const std::string fileName = e.filename;
    const std::string shortName = e.shortname;
    Grid grid = nullptr;
    if (e.readcode < 1) {
      grid = MakeDefaultGrid(e.defaultvalue);
      RegisterGrid(p, shortName, grid, nullptr, 0, shortName, e.writecode, GridFirstRow(), GridLastRow());
      MPIExchangeBorders(p, grid);
    } else {
      ReadGrid(fileName, &grid, e.fillcode, true, true, true, true, false, true, e.defaultvalue);
      RegisterGrid(p, fileName, grid, nullptr, 0, shortName, e.writecode, GridFirstRow(), GridLastRow());
    }
    if (!e.persistent) {
      e.periodiccopy = matrix(GridFirstRow(), GridLastRow(), 1, ncols, nrows);
      for (int r = GridFirstRow(); r <= GridLastRow(); ++r)
        if (grid[r])
          for (int c = 1; c <= ncols; ++c) e.periodiccopy[r][c] = grid[r][c];
    }
  }
}
