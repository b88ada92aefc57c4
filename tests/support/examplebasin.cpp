#include "tests/support/examplebasin.h"

#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "tests/support/testutil.h"

namespace fluvextest {

std::string Edited(std::string text, const Edits& edits, std::string& missing) {
  for (const auto& [from, to] : edits) {
    const size_t p = text.find(from);
    if (p == std::string::npos) {
      missing += from + "\n";
      continue;
    }
    text.replace(p, from.size(), to);
  }
  return text;
}

std::string PrepareCopy(const std::string& source, const std::string& dir, const Edits& edits) {
  namespace fs = std::filesystem;
  // Every file of the source (its results in out/ stay behind).
  for (const auto& f : fs::directory_iterator(source))
    if (f.is_regular_file())
      fs::copy_file(f.path(), dir + "/" + f.path().filename().string(), fs::copy_options::overwrite_existing);
  std::string missing;
  WriteFile(dir + "/control.txt", Edited(ReadFile(dir + "/control.txt"), edits, missing));
  if (!missing.empty()) return "not in control.txt: " + missing;
  fs::create_directories(dir + "/out");
  return "";
}

std::string PrepareExample(const std::string& example, const std::string& dir, const Edits& edits) {
  // The generator's inputs depend on the example alone (a fixed seed): it
  // runs once per example and process, every copy takes its files.
  struct Made {
    std::unique_ptr<TempDir> dir;
    std::string failure;
  };
  static std::mutex lock;
  static std::map<std::string, Made> made;
  const Made* m = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto [at, fresh] = made.try_emplace(example);
    if (fresh) {
      at->second.dir =
          std::make_unique<TempDir>("example_inputs_" + std::to_string(getpid()) + "_" + std::to_string(made.size()));
      at->second.failure = PrepareCopy(example, at->second.dir->path(), {});
      if (at->second.failure.empty()) {
        const auto r = RunCommand("python3 make_inputs.py .", at->second.dir->path());
        if (r.exitCode != 0) at->second.failure = r.output;
      }
    }
    m = &at->second;
  }
  if (!m->failure.empty()) return m->failure;
  const std::string failure = PrepareCopy(m->dir->path(), dir, edits);
  if (failure.empty()) FixedSplit(dir);
  return failure;
}

Edits DailySteps() {
  return {{"$set $step    = 60", "$set $step    = 1440"},
          {"$inpath//temperature.dat", "$inpath//temperature_daily.dat"},
          {"$inpath//precipitation.dat", "$inpath//precipitation_daily.dat"},
          {"$inpath//wind.dat", "$inpath//wind_daily.dat"},
          {"$inpath//humidity.dat", "$inpath//humidity_daily.dat"},
          {"$inpath//radiation.dat", "$inpath//radiation_daily.dat"},
          // Daily radiation sums reach several thousand Wh/m2.
          {"1400      upper limit\n0         replacement below the lower limit\n1400      replacement above",
           "12000     upper limit\n0         replacement below the lower limit\n12000     replacement above"},
          // The correction follows the sun through the day.
          {"1         sub-intervals per step", "24        sub-intervals per step"}};
}

}  // namespace fluvextest
