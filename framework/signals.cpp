#include "framework/signals.h"

#include <unistd.h>

#include <cstring>

#include "framework/diagstream.h"

ApplicationSignals* volatile currentApplication = nullptr;

namespace {

void WriteRaw(const char* text, int fd = STDOUT_FILENO) {
  const ssize_t written = write(fd, text, std::strlen(text));
  (void)written;
}

void FPEAction(int signalNumber, siginfo_t* info, void*) {
  // A fault raised by an instruction (integer division by zero or overflow)
  // cannot be resumed: returning would execute the division again forever.
  // Such a fault ends the run with the default action after one message.
  if (info && info->si_code > 0 && info->si_code != SI_USER) {
    WriteRaw("\nFATAL: arithmetic fault (integer division by zero or overflow); the run is ended\n", STDERR_FILENO);
    std::signal(signalNumber, SIG_DFL);
    return;
  }
  FPEHandler(signalNumber);
}

}  // namespace

void CtrlCHandler(int signalNumber) {
  std::signal(signalNumber, SIG_IGN);
  ApplicationSignals* app = currentApplication;
  if (!app) {
    // No run in progress: Ctrl-C ends the program as usual.
    EndBySignal(signalNumber);
    return;
  }
  if (app->CtrlC != 0) return;
  app->CtrlC = 1;
  WriteRaw("\nCntr-C pressed! please wait...\n\n");
}

void FPEHandler(int /*signalNumber*/) {
  InstallFPEHandler();
  ApplicationSignals* app = currentApplication;
  if (!app) return;  // nothing to flag outside a run
  if (!app->FlagFloatingPointError()) return;
  WriteRaw("floating point error\n");
}

void InstallFPEHandler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = &FPEAction;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGFPE, &action, nullptr);
}

void EndBySignal(int signalNumber) {
  const char* text =
      signalNumber == SIGTERM ? "program ended by signal SIGTERM" : "program ended by signal SIGINT (Ctrl-C)";
  WriteRaw("\nFATAL: ", STDERR_FILENO);
  WriteRaw(text, STDERR_FILENO);
  WriteRaw("\n", STDERR_FILENO);
  DiagStream::CloseOnSignal(text);
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

void InstallTerminationHandler() { std::signal(SIGTERM, &EndBySignal); }

void RearmCtrlCHandler() { std::signal(SIGINT, &CtrlCHandler); }
// The default action, after the diagnostics file is closed.
void ResetCtrlCHandler() { std::signal(SIGINT, &EndBySignal); }
void IgnoreCtrlC() { std::signal(SIGINT, SIG_IGN); }
