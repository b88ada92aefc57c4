#include "tests/support/heldcores.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace fluvextest {

namespace {
// A lock file, held while its descriptor is open; -1 when another holds it
// (and wait is false).
int Lock(const std::string& path, bool wait) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  int r;
  while ((r = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
  }
  if (r == 0) return fd;
  close(fd);
  return -1;
}
}  // namespace

HeldCores::HeldCores(int n) {
  const char* pool = std::getenv("FLUVEX_TEST_CORES");
  char dir[4096];
  int count = 0;
  if (n < 1 || !pool || std::sscanf(pool, "%4095s %d", dir, &count) != 2 || count < 1) return;
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  n = std::min(n, count);
  // The gate's holder takes the cores as they come free while the others
  // wait at the gate: a run of several instances is not passed over by runs
  // of one.
  const int gate = Lock(std::string(dir) + "/gate", true);
  while (static_cast<int>(files.size()) < n) {
    for (int k = 0; k < count && static_cast<int>(files.size()) < n; ++k) {
      const int fd = Lock(std::string(dir) + "/core" + std::to_string(k), false);
      if (fd >= 0) files.push_back(fd);
    }
    if (static_cast<int>(files.size()) < n) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (gate >= 0) close(gate);
}

HeldCores::~HeldCores() {
  for (int fd : files) close(fd);
}

}  // namespace fluvextest
