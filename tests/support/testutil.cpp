#include "tests/support/testutil.h"

#include "tests/support/heldcores.h"

#include <mpi.h>
#include <errno.h>  // program_invocation_short_name
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fluvextest {

std::string TempDirPath(const std::string& name, int rank) {
  // The test binaries of a folder share its working directory and ctest runs
  // them side by side (serial, MPI, shards): the name holds the ctest entry
  // (FLUVEX_TEST_ENTRY, else the binary's name), the instance count and the
  // rank, so that two tests that call their directory alike never remove
  // each other's files.
  const char* entry = std::getenv("FLUVEX_TEST_ENTRY");
  const std::string owner = entry && *entry ? entry : program_invocation_short_name;
  return (std::filesystem::current_path() /
          ("tmp_" + owner + "_" + name + "_n" + std::to_string(MpiSize()) + "_r" + std::to_string(rank)))
      .string();
}

TempDir::TempDir(const std::string& name) {
  dir = TempDirPath(name, MpiRank());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

bool FileExists(const std::string& path) {
  return std::filesystem::exists(path);
}

CommandResult RunCommand(const std::string& command, const std::string& cwd) {
  const std::string full = "cd '" + cwd + "' && " + command + " 2>&1";
  CommandResult result{-1, ""};
  std::FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Program() {
  const char* program = std::getenv("FLUVEX_PROGRAM");
  return program && *program ? program : FLUVEX_BINARY;
}

void FixedSplit(const std::string& dir) {
  const std::string path = dir + "/MpiSpeedFactor.dat";
  if (!FileExists(path)) WriteFile(path, "1\n");
}

CommandResult RunFluvex(const std::string& arguments, const std::string& cwd, int instances) {
  FixedSplit(cwd);
  std::string command;
  if (instances > 0) command = std::string(FLUVEX_MPIRUN) + " --oversubscribe -np " + std::to_string(instances) + " ";
  command += Program() + " " + arguments;
  const HeldCores held(std::max(1, instances));
  return RunCommand(command, cwd);
}

std::vector<long> InOrder(const std::string& text, const std::vector<std::string>& texts) {
  std::vector<long> at;
  size_t from = 0;
  for (const std::string& t : texts) {
    const size_t p = text.find(t, from);
    at.push_back(p == std::string::npos ? -1 : static_cast<long>(p));
    if (p != std::string::npos) from = p + t.size();
  }
  return at;
}

int CountOf(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + what.size())) ++count;
  return count;
}

namespace {
bool MpiRunning() {
  int initialized = 0;
  int finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  return initialized && !finalized;
}
}  // namespace

int MpiRank() {
  int rank = 0;
  if (MpiRunning()) MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

int MpiSize() {
  int size = 1;
  if (MpiRunning()) MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

}  // namespace fluvextest
