// Helpers shared by the tests: temporary directories, files, running fluvex.
#pragma once

#include <string>
#include <vector>

namespace fluvextest {

// A fresh empty directory below the test's working directory, removed by the destructor.
class TempDir {
 public:
  explicit TempDir(const std::string& name);
  ~TempDir();
  const std::string& path() const { return dir; }
  std::string operator/(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

// Path of the TempDir named name on instance rank (the same instance count).
std::string TempDirPath(const std::string& name, int rank);

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

struct CommandResult {
  int exitCode;
  std::string output;  // standard output and standard error together
};

// Runs a shell command in directory cwd.
CommandResult RunCommand(const std::string& command, const std::string& cwd);
// The fluvex that the tests through the program run: FLUVEX_PROGRAM from the
// environment when set (ctest names the Release fluvex there), otherwise the
// fluvex of this build.
std::string Program();
// Writes "MpiSpeedFactor.dat" with 1 into dir unless it holds one: every
// instance gets the same weight and the run skips its speed test (a second
// or more of CPU per instance, which the runs of the suite would add up).
void FixedSplit(const std::string& dir);
// Runs the fluvex of Program() with the arguments (already quoted as needed),
// under mpirun -np n when n > 0, with a fixed split (FixedSplit).
CommandResult RunFluvex(const std::string& arguments, const std::string& cwd, int instances = 0);

// Positions of the texts in text, each searched after the previous one;
// -1 for one that is missing or out of order.
std::vector<long> InOrder(const std::string& text, const std::vector<std::string>& texts);

// Number of non-overlapping occurrences of what in text.
int CountOf(const std::string& text, const std::string& what);

int MpiRank();
int MpiSize();

}  // namespace fluvextest
