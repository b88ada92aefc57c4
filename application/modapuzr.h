// The application: one complete model run per control file.
#pragma once

#include <string>

#include "framework/memory_handling.h"
#include "framework/signals.h"

class DiagStream;

class ModellApplication : public memory_handling, public ApplicationSignals {
 public:
  // Builds the whole model for the control file argv[controlFileIndex].
  ModellApplication(DiagStream* diagnostics, int argc, char** argv, int controlFileIndex);
  // Runs the time loop; returns 0 after a normal end, 99 after "cancel with next interval".
  int run();
  // Flushes every buffered output and releases every object of the run.
  void ClearMemory();

 private:
  std::string controlFileName;
};

// A copy of text with the letters a ... z turned into capitals.
std::string ToUpperCopy(const std::string& text);
