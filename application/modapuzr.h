// The application: one complete model run per control file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/memory_handling.h"
#include "framework/modelobject.h"
#include "framework/signals.h"

class DiagStream;
class defaultini;

// One record of the statistics registry: ten 64-bit words.
struct StatisticsRegistryRecord {
  int64_t words[10];
};

class ModellApplication : public memory_handling, public ApplicationSignals {
 public:
  static constexpr int kRegistryCapacity = 200;

  // Builds the whole model for the control file argv[controlFileIndex].
  ModellApplication(DiagStream* diagnostics, int argc, char** argv, int controlFileIndex);
  // Runs the time loop; returns 0 after a normal end, 99 after "cancel with next interval".
  virtual int run();
  // Flushes every buffered output and releases every object of the run.
  virtual void ClearMemory();

  GridListEntry* GetGridList() { return gridlist.data(); }
  defaultini* GetSetup() { return setup; }

 private:
  void Build(int argc, char** argv, int controlFileIndex);
  void GetModelSettings();

  int initialized = 0;
  std::string controlFileName;
  std::string workFileName;
  std::vector<GridListEntry> gridlist;
  std::vector<StatisticsRegistryRecord> registry;
  defaultini* setup = nullptr;

  // Settings copied from the set-up object.
  int outputControl = 0;
  int secondSwitch = 0;
  double minToIntEnd = 0;
  int numberOfRegisteredGrids = 0;
  int nextGridPosition = 0;
};

// A copy of text with the letters a ... z turned into capitals.
std::string ToUpperCopy(const std::string& text);
