// Synchronisation with an external program through semaphore files.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "application/modapuzr.h"
#include "framework/diagstream.h"
#include "framework/signals.h"

namespace {
const char* const kTemporarySemaphore = "Fluvex_Orvik_temporary_semaphore.file";
}

int64_t ModellApplication::Delay(int64_t ticks) {
  // A busy wait on the processor-time clock.
  const int64_t start = static_cast<int64_t>(std::clock());
  if (start < 0) return start;  // no processor-time clock: no pause rather than none ending
  int64_t now = start;
  do {
    now = static_cast<int64_t>(std::clock());
  } while (now - start < ticks);  // start + ticks > now, without an overflowing sum
  return now;
}

int ModellApplication::WaitForFile(const std::string& name, int64_t ticks) {
  try {
    if (diag) {
      *diag << "waiting for external synchronisation file " << name << "...";
      diag->Console().flush();
    }
    for (;;) {
      errno = 0;
      std::FILE* f = std::fopen(name.c_str(), "rb");
      if (f) {
        std::fclose(f);
        if (diag)
          *diag << "found it! "
                << "[end-entry]";
        return 1;
      }
      // A file that is there but cannot be read would be waited for forever.
      if (errno != ENOENT && errno != EINTR) {
        const int cause = errno;
        if (diag)
          *diag << "[end-entry]"
                << "FATAL: the external synchronisation file " << name
                << " cannot be opened for reading: " << std::strerror(cause) << "[end-entry]";
        throw 1001;
      }
      // A Ctrl-C pressed (1), not the end of the run at this step that the
      // time loop's menu asked for (99): that one holds, and the step still
      // takes the external program's files.
      if (CtrlC == 1) {
        CtrlC = 0;
        // As in the time loop: without a terminal (a run in the background or
        // under a batch system) or without an answer nobody can choose, and a
        // pipe that stays open would be waited on for ever; the run ends as by
        // SIGTERM.
        if (!isatty(STDIN_FILENO)) {
          if (diag)
            *diag << "[end-entry]"
                  << "FATAL: Ctrl-C while waiting for " << name
                  << ": no answer can be read from the standard input (it is not a terminal, as for a run in the "
                     "background or under a batch system), so the run is ended; the statistics are on disk up to "
                     "the last report interval"
                  << "[end-entry]";
          EndBySignal(SIGINT);
        }
        if (diag)
          *diag << "[end-entry]"
                << "SKIP: \n\nCtrl-C pressed while waiting for " << name
                << "\nCancel the model? \n0 = no (continue)\n2 = cancel now without saving buffers!\n\nchoose one of "
                   "the above options: "
                << "[end-entry]";
        char c = 0;
        int choice = 0;
        const int read = std::scanf(" %c", &c);
        if (read == 1 && c >= '0' && c <= '9') choice = c - '0';
        if (read != 1) {
          if (diag)
            *diag << "FATAL: Ctrl-C while waiting for " << name
                  << ": no answer can be read from the standard input (it is at its end or cannot be read), so the "
                     "run is ended; the statistics are on disk up to the last report interval"
                  << "[end-entry]";
          EndBySignal(SIGINT);
        }
        CtrlC = choice;
        if (choice == 2) throw 98;
        if (choice > 3) CtrlC = 0;
        RearmCtrlCHandler();
      }
      Delay(ticks);
      RearmCtrlCHandler();
    }
  } catch (int code) {
    if (diag)
      *diag << "FATAL: Exception in Modellapplication::WaitForFile() caught!"
            << "[end-entry]";
    throw;
  }
}

void ModellApplication::WriteSemaphoreFile(const std::string& name, const std::string& content) {
  // Written under a temporary name and renamed, so that a program polling for
  // the name never finds a partly written file.
  std::ofstream file(kTemporarySemaphore, std::ios::out | std::ios::trunc);
  if (file.is_open()) {
    file << content;
    file.close();
  }
  if (file.fail()) {
    if (diag)
      *diag << "FATAL: error writing the temporary semaphore file " << kTemporarySemaphore << " for " << name
            << "[end-entry]";
    throw 18;
  }
  if (std::rename(kTemporarySemaphore, name.c_str()) != 0) {
    const int cause = errno;
    if (diag)
      *diag << "FATAL: error renaming " << kTemporarySemaphore << " to the semaphore file " << name << ": "
            << std::strerror(cause) << "[end-entry]";
    throw 18;
  }
}
