#include "framework/signals.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "tests/support/testutil.h"

namespace {

class TestApplication : public ApplicationSignals {
 public:
  int flagged = 0;
  bool reported = true;
  bool FlagFloatingPointError() override {
    if (!reported) return false;
    ++flagged;
    reported = false;
    return true;
  }
};

}  // namespace

TEST(Signals, SecondCtrlCBeforeTheNextCheckIsIgnored) {
  TestApplication app;
  currentApplication = &app;
  testing::internal::CaptureStdout();
  RearmCtrlCHandler();
  std::raise(SIGINT);
  std::raise(SIGINT);  // ignored: the handler set SIGINT to ignore
  RearmCtrlCHandler();
  std::raise(SIGINT);  // handled again, but the word is still set
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(fluvextest::CountOf(out, "Cntr-C pressed! please wait..."), 1);
  EXPECT_EQ(out, "\nCntr-C pressed! please wait...\n\n");
  EXPECT_EQ(app.CtrlC, 1);
  currentApplication = nullptr;
  ResetCtrlCHandler();
}

TEST(Signals, FloatingPointErrorFlagsOnceUntilReported) {
  TestApplication app;
  currentApplication = &app;
  testing::internal::CaptureStdout();
  InstallFPEHandler();
  std::raise(SIGFPE);
  std::raise(SIGFPE);  // not reported yet: nothing written, nothing changed
  app.reported = true;
  std::raise(SIGFPE);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "floating point error\nfloating point error\n");
  EXPECT_EQ(app.flagged, 2);
  currentApplication = nullptr;
  std::raise(SIGFPE);  // without an application nothing is touched
  std::signal(SIGFPE, SIG_DFL);
}

namespace {
// Some virtual machines do not trap an integer division by zero at all.
bool DivisionByZeroTraps() {
  const pid_t child = fork();
  if (child == 0) {
    volatile int zero = 0;
    volatile int result = 1 / zero;
    (void)result;
    std::_Exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGFPE;
}
}  // namespace

TEST(SignalsDeathTest, IntegerDivisionFaultEndsTheRun) {
  if (!DivisionByZeroTraps()) GTEST_SKIP() << "integer division by zero does not trap on this machine";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InstallFPEHandler();
        volatile int zero = 0;
        volatile int result = 1 / zero;
        (void)result;
        std::_Exit(0);
      },
      testing::KilledBySignal(SIGFPE), "arithmetic fault");
}

TEST(SignalsDeathTest, CtrlCWithoutApplicationEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        currentApplication = nullptr;
        RearmCtrlCHandler();
        std::raise(SIGINT);
        std::_Exit(0);
      },
      testing::KilledBySignal(SIGINT), "");
}
