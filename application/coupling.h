// Settings and state of the external coupling ([ExternalCoupling]): the grids
// read from the external program, the grids and zone statistics written for
// it, and the semaphore files of the hand-over.
#pragma once

#include <string>
#include <vector>

#include "framework/statregistry.h"

struct ExternalReadGrid {
  std::string fileName;
  std::string internalName;
  int fillCode = 0;
  int renameCode = 0;  // 1 move to a dated name, 0 delete, other: leave in place
  int position = 0;    // grid-list position of the internal grid it overwrites
};

struct ExternalWriteGrid {
  std::string fileName;
  std::string internalName;
  std::string writeCode;  // "Mean", "Sum", "SumTotal...", other: current values
  int position = 0;       // grid-list position of the internal source grid
  // Per cell (row * (ncols + 1) + column): the accumulated sum and the number
  // of values in it (missing values are not summed); empty without accumulation.
  std::vector<double> accumulator;
  std::vector<int> counts;
};

struct ExternalStatfile {
  std::string fileName;
  std::string entityName;
  std::string writeCode;
  StatRecord* record = nullptr;  // the statistics output it is bound to
  std::vector<int> counts;       // per slot: values summed in the record's accumulator
};

struct CouplingSettings {
  int mode = 0;  // 0 off, 1 coupled; any other value is read but not coupled
  std::string semaphoreFile;
  long waitInterval = 100;   // processor-time clock ticks between two looks
  char period = 'I';         // I every step, H hour, D day, M month, Y year
  int externalTimeStep = 0;  // minutes
  std::vector<ExternalReadGrid> readGrids;
  std::vector<ExternalWriteGrid> writeGrids;
  std::vector<ExternalStatfile> statfiles;
  std::string informFile;
  std::string informContent;
  int counter = 0;  // steps of the current coupling period so far
};
