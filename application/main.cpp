// Program entry: MPI start, diagnostics options, banner, one model run per
// control file, exit code.
#include <mpi.h>
#include <omp.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "application/modapuzr.h"
#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/signals.h"

namespace {

const char* const kVersionText =
    "Fluvex-Orvik Richards-Version 1.0.0, last change: $Date: 2026-12-07 $, compiled at " __DATE__ " " __TIME__;

int exitCode = 0;

struct ThreadReport {
  int rank;
  int threads;
};

void ReportOpenMPThreads(ThreadReport* data) {
#pragma omp parallel default(none) shared(data)
  {
    std::printf("This is OpenMP thread %d\n", omp_get_thread_num());
#pragma omp barrier
    if (omp_get_thread_num() == 0) {
      data->threads = omp_get_num_threads();
      std::printf("*** There are %d OpenMP threads total for MPI process %d\n", data->threads, data->rank);
    }
  }
}

std::string WithoutDollars(std::string text) {
  size_t pos;
  while ((pos = text.find('$')) != std::string::npos) text.erase(pos, 1);
  return text;
}

void WriteBanner(DiagStream& diag) {
  diag << std::string(76, '-').c_str() << "[end-entry]";
  diag << "Fluvex-Orvik (MPI) "
       << "[end-entry]";
  diag << "64-bit Version on Linux "
       << "[end-entry]";
  diag << "Version: " << WithoutDollars(kVersionText).c_str() << "[end-entry]";
  const std::string about =
      "Fluvex: a spatially distributed hydrological model of water balance and runoff\n"
      "(c) the Fluvex developers\n"
      "This program is provided as it is, without any warranty.\n"
      "Results must be checked by the user for plausibility.\n"
      "Best wishes for your application!\n"
      "\n"
      "Contact: the Fluvex developers, see README.md\n" +
      std::string(75, '-');
  diag << about.c_str() << "[end-entry]";
  diag.Console().flush();
}

// Options are whole arguments ("-dumpmode" or "-dumpmode:<n>"): a control
// file whose path holds such a word is a control file.
bool IsDumpOption(const char* argument) {
  return std::strcmp(argument, "-dumpmode") == 0 || std::strncmp(argument, "-dumpmode:", 10) == 0 ||
         std::strcmp(argument, "-closeAfterDump") == 0 || std::strcmp(argument, "-repairAfterDump") == 0;
}

void WriteUsage(DiagStream& diag) {
  diag << "FATAL: \nusage: fluvex"
       << " <1-st cntrl-file> [<2-nd cntrl-file> ... [n-th cntrl-file]] [-diagfile:<diagnostics_file> "
          "[-diaglevel:<FATAL|ERROR|WARNING|INFO|DEBUG>]] [-dumpmode [-closeAfterDump|-repairAfterDump]]\n"
       << "[end-entry]";
  diag << "INFO: \n-dumpmode: if soil moisture or soil temperatures or hydraulic head (all in Richards approach "
          "only) leave the expected range, a dumpfile is written containing the actual internal registers (can be "
          "used for debugging) "
       << "\n-closeAfterDump: Fluvex stops the program execution immediately (usefull to prevent the hard disk "
          "from beeing filled up with dumpfiles)"
       << "\n-repairAfterDump: let Fluvex try to repair the unexpected results, e.g. a soil temperature that is "
          "higher or lower than that of both neighboring soil layers will be set to the maxumum/minimum of the "
          "neighboring layers etc. Although the error is repaired it may well happen that the hard disk is flooded "
          "with other dump files."
       << "[end-entry]";
}

// Ends every instance with code; returns only when MPI_Abort does.
int Abort(int code) {
  MPI_Abort(MPI_COMM_WORLD, code);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  MPI_Barrier(MPI_COMM_WORLD);

  int diagLevel = 4;
  std::string diagFile;
  int diagLevelPosition = -1;
  int diagFilePosition = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-diaglevel:", 11) == 0) {
      // FATAL, ERROR, WARNING or INFO (any case); anything else means every entry (DEBUG).
      diagLevel = DiagStream::LevelFromName(ToUpperCopy(argv[i] + 11));
      diagLevelPosition = i;
    } else if (std::strncmp(argv[i], "-diagfile:", 10) == 0) {
      diagFile = argv[i] + 10;
      diagFilePosition = i;
    }
  }

  DiagStream* diag = nullptr;
  try {
    diag = new DiagStream(diagFile, diagLevel);
  } catch (int code) {
    std::cerr << "FATAL: the diagnostics file cannot be created (error code " << code << ")" << std::endl;
    return Abort(code);
  }
  currentApplication = nullptr;
  // From here on a signal that ends the program leaves a well-formed diagnostics file.
  InstallTerminationHandler();
  if (std::signal(SIGINT, SIG_IGN) != SIG_IGN) ResetCtrlCHandler();

  try {
    WriteBanner(*diag);
    if (diagLevelPosition > 0) {
      const std::string name = ToUpperCopy(argv[diagLevelPosition] + 11);
      if (name != "DEBUG" && DiagStream::LevelFromName(name) == 4)
        *diag << "WARNING: the diagnostics level \"" << (argv[diagLevelPosition] + 11)
              << "\" is none of FATAL, ERROR, WARNING, INFO, DEBUG: every entry is written (DEBUG)"
              << "[end-entry]";
    }
    if (rank == 0)
      *diag << "\n this is the MPI-Version of Fluvex, here is instance " << 1 << " of " << size << "[end-entry]";
    else
      std::printf("\n this is the MPI-Version of Fluvex, here is instance %d of %d\n", rank + 1, size);
    ThreadReport report{rank, 0};
    ReportOpenMPThreads(&report);
    std::fflush(nullptr);
    diag->Console().flush();

    if (argc < 2) {
      WriteUsage(*diag);
      throw 2;
    }

    for (int i = 1; i < argc; ++i) {
      // Every diagnostics option is skipped, also one given twice.
      if (i == diagLevelPosition || i == diagFilePosition || std::strncmp(argv[i], "-diaglevel:", 11) == 0 ||
          std::strncmp(argv[i], "-diagfile:", 10) == 0 || IsDumpOption(argv[i]))
        continue;
      auto application = std::make_unique<ModellApplication>(diag, argc, argv, i);
      currentApplication = application.get();
      // Destroyed before the application (declared after it), also when a
      // failure unwinds: no signal handler reaches an application being freed.
      const struct Detach {
        ~Detach() { currentApplication = nullptr; }
      } detach;
      exitCode = 0;
      RearmCtrlCHandler();
      InstallFPEHandler();
      exitCode = application->run();
      application->ClearMemory();
      currentApplication = nullptr;
      application.reset();
    }

    *diag << "exitcode " << exitCode << "[end-entry]";
    *diag << "o.k.\n\nthe end."
          << "[end-entry]";
    MPI_Finalize();
    delete diag;
    return exitCode;
  } catch (int code) {
    currentApplication = nullptr;
    *diag << "FATAL: Exception " << code << " caught at top level!"
          << "[end-entry]";
    *diag << "FATAL: Program aborted with exit code " << code << "[end-entry]";
    delete diag;
    // Instance 0 writes the console: an error that every instance meets (a
    // control file they all read) is given a moment to reach it there before
    // another instance's abort ends the run.
    if (rank != 0) std::this_thread::sleep_for(std::chrono::seconds(2));
    return Abort(code);
  }
}
