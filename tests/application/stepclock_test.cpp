// The step clock of the application (set by the whole-model benchmark): one
// start per time step, then every part of the step, the same every step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "application/modapuzr.h"
#include "framework/diagstream.h"
#include "tests/support/testutil.h"

namespace {

class RecordingClock : public StepClock {
 public:
  void StartStep() override { steps.emplace_back(); }
  void Lap(const char* part) override {
    if (!steps.empty()) steps.back().push_back(part);
  }
  std::vector<std::vector<std::string>> steps;
};

}  // namespace

TEST(StepClock, EveryStepReportsItsPartsInTheOrderOfTheApplication) {
  // The basin of the coupling runs: 48 hourly steps of temperature from one station.
  fluvextest::TempDir dir("stepclock");
  for (const auto& f : std::filesystem::directory_iterator(std::string(FLUVEX_TEST_DATA) + "/coupling"))
    std::filesystem::copy_file(f.path(), dir / f.path().filename().string());
  std::filesystem::create_directories(dir / "out/sums");
  const auto home = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  RecordingClock clock;
  {
    std::ostringstream console;
    DiagStream diag("", 1, &console);
    char program[] = "fluvex";
    char control[] = "control.txt";
    char* argv[] = {program, control, nullptr};
    auto application = std::make_unique<ModellApplication>(&diag, 2, argv, 1);
    application->SetStepClock(&clock);
    EXPECT_EQ(application->run(), 0) << console.str();
    application->ClearMemory();
  }
  std::filesystem::current_path(home);

  ASSERT_EQ(clock.steps.size(), 48u);
  // Every part of the model, each module once at least, in every step.
  const std::set<std::string> parts(clock.steps[0].begin(), clock.steps[0].end());
  EXPECT_EQ(parts,
            (std::set<std::string>{"coupling", "meteorological input", "radiation correction", "evapotranspiration",
                                   "irrigation", "snow", "interception", "silting-up", "unsaturated zone",
                                   "surface routing", "groundwater", "discharge routing", "statistics and output"}));
  EXPECT_EQ(clock.steps[0].front(), "coupling");
  for (size_t s = 1; s < clock.steps.size(); ++s) EXPECT_EQ(clock.steps[s], clock.steps[0]) << "step " << s + 1;
}
