// Cores held for a run of the program by the tests that ctest runs side by side.
#pragma once

#include <vector>

namespace fluvextest {

// With FLUVEX_TEST_CORES ("directory count", set by ctest) the program runs
// of every test side by side hold at most count cores at once, one per
// instance (an instance waiting for a message polls, and polls on a busy
// machine took as much CPU as the work); they queue in turn. Without it, or
// for n < 1, holds none. The destructor releases them, and so does the end of
// the process, however it ends.
class HeldCores {
 public:
  explicit HeldCores(int n);
  ~HeldCores();
  HeldCores(const HeldCores&) = delete;
  HeldCores& operator=(const HeldCores&) = delete;

 private:
  std::vector<int> files;
};

}  // namespace fluvextest
