// Basins that the runs of the program use, in fresh directories: the small
// test basin (tests/data/setup/small) with its control file edited per test,
// and the 3 x 2 tiny basin of cells of 1000 m (zones 1 1 2 / 1 2 2; lower-left
// corners x 0, 1000, 2000 and y 1000 for the upper row, 0 for the lower) with
// a control file around one meteorological variable, every process module off;
// and the coupling through which a test lets a run go step by step.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testutil.h"

namespace fluvextest {

// Replaces the first occurrence of from in the file; returns the line it
// stands on (0 and a failure when it is missing).
inline int EditFile(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = ReadFile(path);
  const size_t p = text.find(from);
  EXPECT_NE(p, std::string::npos) << from;
  if (p == std::string::npos) return 0;
  text.replace(p, from.size(), to);
  WriteFile(path, text);
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(p), '\n'));
}

class SmallBasin {
 public:
  explicit SmallBasin(const std::string& name) : dir(name) {
    for (const char* f : {"control.txt", "zones.asc", "dem.asc"})
      std::filesystem::copy_file(std::string(FLUVEX_TEST_DATA) + "/setup/small/" + f, dir / f);
    std::filesystem::create_directories(dir / "out");
  }
  void Edit(const std::string& from, const std::string& to) { EditFile(dir / "control.txt", from, to); }
  // The values of an ASCII grid file, row by row.
  std::vector<double> Values(const std::string& file) const {
    std::istringstream in(ReadFile(dir / file));
    std::string word;
    for (int i = 0; i < 12; ++i) in >> word;  // six header lines of key and value
    std::vector<double> v;
    double x = 0;
    while (in >> x) v.push_back(x);
    return v;
  }
  TempDir dir;
};

constexpr const char* kTinyHeader = "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";

inline void WriteTinyBasin(const TempDir& dir) {
  WriteFile(dir / "zones.asc", std::string(kTinyHeader) + "1 1 2\n1 2 2\n");
  WriteFile(dir / "dem.asc", std::string(kTinyHeader) + "100 200 300\n150 250 350\n");
  std::filesystem::create_directories(dir / "out");
}

// The control file: output control, min_to_int_end (minutes), the model time
// as start and end (hour day month year each), the variable and its section
// body; further sections follow the modules.
inline std::string TinyControl(const std::string& outputControl, int minToIntEnd, const std::string& modelTime,
                               const std::string& variable, const std::string& section, const std::string& more = "") {
  std::ostringstream c;
  c << "[output_interval]\n" << outputControl << "\n0\n0\n" << minToIntEnd;
  c << "\nWriteAsciiGrids = 1\nDefaultOutputDirectory = "
       "out/\n\n[output_list]\n0\n\n[coordinates]\n47.5\n8.5\n15\n0\n\n";
  c << "[meteo_data_count]\n1\n\n[meteo_names]\n" << variable << "\n\n[model_time]\n" << modelTime;
  c << "\n\n[zone_grid]\nzones.asc\n\n[elevation_model]\ndem.asc\n\n[standard_grids]\n1\n";
  c << "dem.asc elevation fillcode = 0 readcode = 1\n\n[variable_grids]\n0\n\n[" << variable << "]\n" << section;
  c << "\n[region_transition_distance]\n0\n\n[substance_transport]\n0\n\n[landuse_table]\n0\n\n[soil_table]\n0\n\n";
  c << "[precipitation_correction]\n0\n0\n1\n0\n1\n0\n\n";
  for (const char* module : {"RegionalSuperposition", "radiation_correction", "evapotranspiration", "snow_model",
                             "interception_model", "SiltingUpModel", "unsatzon_model", "SurfaceRoutingModel",
                             "irrigation", "groundwater_flow", "routing_model", "special_output"})
    c << "[" << module << "]\n0\n60\n\n";
  return c.str() + more;
}

// A run that goes step by step as the test lets it, coupled to the test as
// to an external program (append kStepCoupling to its control file): at
// the start of every step the program waits for the file "go" and removes
// it; at the end of every step it writes its informing file, first under
// kStepHold, then renamed to "inform.txt". So the test, not the program's
// speed, decides where the run is when a signal reaches it, with any build
// type on an idle or a busy machine.
constexpr const char* kStepCoupling =
    "\n[ExternalCoupling]\n1         coupling mode\ngo        the test's semaphore file\n"
    "100       wait interval\nI         every step\n60        time step of the external model\n"
    "0         grids to read\n0         grids to write\n0         statistics\n"
    "inform.txt   informing file\ndone      its content\n";
constexpr const char* kStepHold = "Fluvex_Orvik_temporary_semaphore.file";

class StepHandover {
 public:
  // directory: the run's; hasEnded: true once the program has ended.
  StepHandover(const std::string& directory, std::function<bool()> hasEnded)
      : dir(directory), ended(std::move(hasEnded)) {}
  ~StepHandover() {
    if (reader >= 0) close(reader);
  }
  // Lets the program do its next step; false when it ended before the step's end.
  bool Step() {
    WriteFile(Path("go"), "");
    return Informed();
  }
  bool Steps(int n) {
    for (int i = 0; i < n; ++i)
      if (!Step()) return false;
    return true;
  }
  // Lets the program begin its next step and holds it inside that step: its
  // informing file is a pipe that nobody reads, whose opening waits for a
  // reader. True once the step has begun (past its wait for "go", so that a
  // Ctrl-C reaches the time loop, not the wait).
  bool StepAndHold() {
    if (mkfifo(Path(kStepHold).c_str(), 0644) != 0) return false;
    WriteFile(Path("go"), "");
    return Until([&] { return !FileExists(Path("go")); });
  }
  // Lets a held step end; false when the program ended before.
  bool Release() {
    reader = open(Path(kStepHold).c_str(), O_RDONLY | O_NONBLOCK);
    if (reader < 0) return false;
    const bool informed = Informed();
    close(reader);
    reader = -1;
    return informed;
  }

 private:
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  // Waits until done() holds; false when the program ends before. The
  // deadline only ends the wait for a program that hangs (a step of a few
  // cells), before ctest would end the test and leave the program behind.
  bool Until(const std::function<bool()>& done) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      if (ended()) return done();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  // The informing file of the step: the step has ended.
  bool Informed() const {
    if (!Until([&] { return FileExists(Path("inform.txt")); })) return false;
    std::filesystem::remove(Path("inform.txt"));
    return true;
  }

  std::string dir;
  std::function<bool()> ended;
  int reader = -1;
};

}  // namespace fluvextest
