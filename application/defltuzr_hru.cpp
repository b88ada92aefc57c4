// The [SpinUp] section and the hydrologic response units (HRUs) of the SpinUp
// mode: cells that fall into the same classes of the chosen grids form one
// unit, whose first cell (in the instance's scan order) is its master cell.
#include <mpi.h>

#include <cmath>
#include <cstdio>
#include <map>

#include "application/defltuzr.h"
#include "framework/diagstream.h"

namespace {

struct HRUDefinition {
  std::string name;
  double width = 0;
  std::string spacing;
  Grid grid = nullptr;
};

// First grid-list position from 1 on that nobody uses.
int FirstFreePosition(const GridListEntry* list, int from) {
  for (int p = from; p < kGridListMax; ++p)
    if (list[p].filename.empty() && list[p].shortname.empty() && !list[p].registered) return p;
  return 0;
}

}  // namespace

void defaultini::CreateHRUs(int& spinUpSwitch, int& doTemperaturePreSpinUp, int& repeatCount,
                            std::vector<HRURecord>& hrus) {
  *diag << "DEBUG: Creating HRUs"
        << "[end-entry]";
  hrus.assign(1, HRURecord{});
  int running = 0;
  MPI_Initialized(&running);
  if (running) {
    MPI_Comm_rank(MPI_COMM_WORLD, &mpirank);
    MPI_Comm_size(MPI_COMM_WORLD, &mpisize);
  }
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: Error opening " + controlfilename, 28);
  auto closeFile = [&]() {
    if (!controlfile.Close()) Fatal("FATAL: error closing " + controlfilename, 11);
  };
  if (!FindSection("[SpinUp]", false)) {
    spinUpSwitch = doTemperaturePreSpinUp = repeatCount = 0;
    closeFile();
    return;
  }
  int sw = 0;
  ReadValue(controlfile, "%d", &sw, "SpinUp-switch not found", linebuffer);
  spinUpSwitch = sw;
  if (sw == 0) {
    closeFile();
    return;
  }
  int pre = 0, repeat = 0, numGrids = 0;
  ReadValue(controlfile, "%d", &pre, "doTemperaturePreSpinUp not found", linebuffer);
  ReadValue(controlfile, "%d", &repeat, "repeatCnt not found", linebuffer);
  ReadValue(controlfile, "%d", &numGrids, "numGrids not found", linebuffer);
  // numGrids is the loop bound of the definition lines.
  if (numGrids < 0)
    Fatal("FATAL: numGrids in [SpinUp] (" + controlfile.Where() + ") is " + std::to_string(numGrids) +
              "; it has to be 0 or more",
          17);

  const int first = firstrow;
  const int last = lastrow;
  auto columnsOf = [&](int r, int& c0, int& c1) {
    if (columnranges.empty()) {
      c0 = 1;
      c1 = ncols;
    } else {
      c0 = columnranges[r].first;
      c1 = columnranges[r].last;
    }
  };
  auto newGrid = [&]() {
    Grid g = matrix(GridFirstRow(), GridLastRow(), 1, ncols, nrows);
    for (int r = GridFirstRow(); r <= GridLastRow(); ++r)
      for (int c = 1; c <= ncols; ++c) g[r][c] = nodata;
    return g;
  };

  if (numGrids == 0) {
    closeFile();
    const int p = FindGrid("HydrologicResponseUnits", false);
    if (p <= 0)
      Fatal(
          "FATAL: standard grid with identifier HydrologicResponseUnits not found (Hydrologic Respond Units, HRU; "
          "used for SpinUp mode)",
          1030);
    hruposition = p;
    hrugrid = gridlist[p].grid;
    hrugridowned = false;
    const int m = FirstFreePosition(gridlist, 1);
    if (m == 0) {
      *diag << "FATAL: when trying to create HRUMaster grid: no free grid found in memory (max position "
            << kGridListMax << ")"
            << "[end-entry]";
      throw 12;
    }
    masterhrugrid = newGrid();
    RegisterGrid(m, "MasterHydrologicResponseUnits", masterhrugrid, nullptr, 0, "MasterHydrologicResponseUnits", 0,
                 GridFirstRow(), GridLastRow());
    masterhruposition = m;
    // A cell of the zone that another instance owns is left to its owner:
    // its master cell has to be one whose states this instance computes.
    Grid zone = gridlist[1].grid;
    BindMPIRegionGrids();
    std::map<std::string, uint64_t> known;
    for (int r = first; r <= last; ++r) {
      int c0 = 0, c1 = -1;
      columnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c) {
        masterhrugrid[r][c] = nodata;
        if (MPIRegions && zone && zone[r][c] > nodata && static_cast<int>(MPIRegions[r][c]) != mpirank) continue;
        char key[64];
        std::snprintf(key, sizeof key, "%0.lf", hrugrid[r][c]);
        auto found = known.find(key);
        if (found == known.end()) {
          const uint64_t number = hrus.size();
          hrus.push_back(HRURecord{number, key, r, c});
          found = known.emplace(key, number).first;
          masterhrugrid[r][c] = static_cast<double>(number);
        }
        hrugrid[r][c] = static_cast<double>(found->second);
      }
    }
  } else {
    // Grown line by line: a count beyond the lines present ends at the file's end.
    std::vector<HRUDefinition> definitions;
    for (int i = 0; i < numGrids; ++i) {
      HRUDefinition& d = definitions.emplace_back();
      if (controlfile.Scan("%s%lf%s", {&d.name, &d.width, &d.spacing}) != 3)
        ControlFileError(" error reading HRU defintions ", modulname);
      controlfile.RestOfLine(linebuffer);
      // The width divides every value of the grid.
      if (!(d.width > 0))
        Fatal("FATAL: the class width of HRU definition " + std::to_string(i + 1) + " (" + d.name + ") in [SpinUp] (" +
                  controlfile.Where() + ") is " + std::to_string(d.width) + "; it has to be greater than 0",
              17);
    }
    for (HRUDefinition& d : definitions) {
      d.grid = gridlist[GetGridOf3(d.name, "[" + d.name + "]", d.name)].grid;
      // An entry that holds a stack only has no values to classify.
      if (!d.grid)
        Fatal("FATAL: HRU definition grid " + d.name + " in [SpinUp] of " + UserControlFile() +
                  " is a stack; a grid is needed",
              33);
    }
    closeFile();
    const int p = FirstFreePosition(gridlist, 1);
    if (p == 0 || p + 1 >= kGridListMax || gridlist[p + 1].registered || !gridlist[p + 1].filename.empty() ||
        !gridlist[p + 1].shortname.empty()) {
      *diag << "FATAL: when trying to create HRU grid: no free grid found in memory (max position " << kGridListMax
            << ")"
            << "[end-entry]";
      throw 12;
    }
    hrugrid = newGrid();
    hrugridowned = true;
    RegisterGrid(p, "All_HydrologicResponseUnits", hrugrid, nullptr, 0, "HydrologicResponseUnits", 0, GridFirstRow(),
                 GridLastRow());
    hruposition = p;
    masterhrugrid = newGrid();
    RegisterGrid(p + 1, "Master_HydrologicResponseUnits", masterhrugrid, nullptr, 0, "MasterHydrologicResponseUnits", 0,
                 GridFirstRow(), GridLastRow());
    masterhruposition = p + 1;

    Grid zone = gridlist[1].grid;
    if (!MPIRegions || !MPIHelper) BindMPIRegionGrids();
    std::map<std::string, uint64_t> known;
    for (int r = first; r <= last; ++r) {
      int c0 = 0, c1 = -1;
      columnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c) {
        hrugrid[r][c] = nodata;
        masterhrugrid[r][c] = nodata;
        if (!(definitions[0].grid[r][c] > nodata) || !(zone[r][c] > nodata)) continue;
        if (MPIRegions && static_cast<int>(MPIRegions[r][c]) != mpirank) continue;
        std::string key;
        for (const HRUDefinition& d : definitions) {
          double x = d.grid[r][c];
          if (!(x > nodata)) break;
          if (d.spacing.find("sqrt") != std::string::npos) x = std::sqrt(std::fabs(x));
          const double cls = std::floor(x / d.width);
          if (cls > 9999) {
            *diag << "FATAL: Creating HRUs resulted in a re-classify result of " << cls << " for grid " << d.name
                  << " at row=" << r << " and col=" << c
                  << ". Only 10'000 Classes are allowed for each grid. Choose a larger class width or use lg2 spacing "
                     "to reduce the amount of HRUs."
                  << "[end-entry]";
            throw 1031;
          }
          char part[64];
          std::snprintf(part, sizeof part, "%04.0lf'", cls);
          key += part;
        }
        auto found = known.find(key);
        if (found == known.end()) {
          const uint64_t number = hrus.size();
          hrus.push_back(HRURecord{number, key, r, c});
          found = known.emplace(key, number).first;
          masterhrugrid[r][c] = static_cast<double>(number);
        }
        hrugrid[r][c] = static_cast<double>(found->second);
      }
    }
  }

  // Every instance writes its own part; instance 0 the gathered grids.
  const std::string names[2] = {gridlist[hruposition].filename, gridlist[masterhruposition].filename};
  const Grid grids[2] = {hrugrid, masterhrugrid};
  for (int k = 0; k < 2; ++k) {
    char name[1300];
    std::snprintf(name, sizeof name, "%s_%03d", names[k].c_str(), mpirank);
    WriteGrid(name, grids[k], WriteAsciiGrids, WriteDoubleGrids);
  }
  BindMPIRegionGrids();
  MPIGatherGrid(hruposition, hrugrid);
  MPIGatherGrid(masterhruposition, masterhrugrid);
  if (mpirank == 0)
    for (int k = 0; k < 2; ++k) WriteGrid(names[k], grids[k], WriteAsciiGrids, WriteDoubleGrids);

  doTemperaturePreSpinUp = pre;
  repeatCount = repeat;
  // Objects built from now on receive the switch and the records.
  SpinUp = spinUpSwitch;
  hru = hrus.data();
}

void defaultini::FreeHRUGrids() {
  if (masterhrugrid) {
    FreeMatrix(masterhrugrid, GridFirstRow(), GridLastRow(), 1, ncols);
    UnregisterGrid(masterhruposition);
  }
  if (hrugrid && hrugridowned) {
    FreeMatrix(hrugrid, GridFirstRow(), GridLastRow(), 1, ncols);
    UnregisterGrid(hruposition);
  }
  masterhrugrid = hrugrid = nullptr;
  masterhruposition = hruposition = 0;
  hrugridowned = false;
}
