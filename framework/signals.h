// Signal handling shared by the program entry and every file writer.
//
// SIGINT only sets the Ctrl-C word of the running application; the time loop
// acts on it at the start of a step. Writers ignore SIGINT while they write and
// re-arm the handler afterwards; readers set the default action afterwards.
#pragma once

#include <csignal>

// The part of the running application that the signal handlers touch.
class ApplicationSignals {
 public:
  virtual ~ApplicationSignals() = default;
  volatile std::sig_atomic_t CtrlC = 0;
  // Sets the floating-point-error flags of the sub-models; returns false when
  // the previous error has not been reported yet (nothing is changed then).
  virtual bool FlagFloatingPointError() { return true; }
};

// The application that is being run; null while none exists.
extern ApplicationSignals* volatile currentApplication;

void CtrlCHandler(int signalNumber);
void FPEHandler(int signalNumber);
void RearmCtrlCHandler();
void ResetCtrlCHandler();
// Installs FPEHandler for SIGFPE.
void InstallFPEHandler();
// SIGINT ignored while a file is written.
void IgnoreCtrlC();
// SIGTERM (sent by mpirun when the job is stopped, e.g. by Ctrl-C in its
// terminal) ends the program as by default, after closing the diagnostics
// file well-formed; the statistics are on disk up to the last report interval.
void InstallTerminationHandler();
// The default action of a signal, preceded by closing the diagnostics file.
void EndBySignal(int signalNumber);
