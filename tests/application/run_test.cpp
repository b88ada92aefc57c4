// Whole runs of the fluvex program on a tiny basin with one temperature
// station file: the build order, the dump options, several control files,
// the Ctrl-C protocol, SpinUp and the end of a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "framework/types.h"
#include "tests/application/basins.h"
#include "tests/support/testutil.h"

using fluvextest::CountOf;
using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

struct BasinOptions {
  std::string variable = "temperature";
  int days = 2;          // hourly records from 1 January 2001, hour 1
  std::string spinUp;    // the [SpinUp] section, empty for none
  int statCode = 1024;   // one line of the basin mean per day
  int reportHours = 24;  // the statistics reach the disk after every report interval
};

// The tiny basin with one station file of hourly values: station 1 has 2.0,
// station 2 has 6.0 at every hour.
class TinyBasin {
 public:
  TinyBasin(const std::string& name, const BasinOptions& o = BasinOptions()) : dir(name), options(o) {
    fluvextest::WriteTinyBasin(dir);
    std::ostringstream stations;
    stations << "hourly test data\nYY MM DD HH 100 300\nYY MM DD HH 500 2500\nYY MM DD HH 1500 500\nYY MM DD HH a b\n";
    // Calendar days from 1 January 2001 on.
    int year = 2001, month = 1, day = 1;
    for (int d = 0; d < o.days; ++d) {
      for (int h = 1; h <= 24; ++h) stations << year << " " << month << " " << day << " " << h << " 2.0 6.0\n";
      lastYear = year, lastMonth = month, lastDay = day;
      if (++day > DaysInMonth(year, month)) {
        day = 1;
        if (++month > 12) month = 1, ++year;
      }
    }
    WriteFile(dir / "temp.dat", stations.str());
    std::ostringstream time;
    time << "1\n1\n1\n2001\n24\n" << lastDay << "\n" << lastMonth << "\n" << lastYear;
    WriteFile(dir / "control.txt",
              fluvextest::TinyControl(std::to_string(o.reportHours), 0, time.str(), o.variable,
                                      "1   method\ntemp.dat\nnone\ntempgrid\n0   write code\n1.0\n" + o.variable +
                                          ".stat " + std::to_string(o.statCode) +
                                          "\n9999\n2.0\n0.5\n100000\n0\n1\n-50\n50\n-50\n50\n0\n",
                                      o.spinUp));
  }

  // Data lines of a statistics file (after its three header lines).
  std::vector<std::string> StatLines() const {
    std::istringstream in(ReadFile(dir / ("out/" + options.variable + ".stat")));
    std::vector<std::string> lines;
    std::string line;
    for (int i = 0; std::getline(in, line); ++i)
      if (i >= 3 && !line.empty()) lines.push_back(line);
    return lines;
  }

  TempDir dir;
  BasinOptions options;
  int lastDay = 0;
  int lastMonth = 0;
  int lastYear = 0;
};

void ExpectInOrder(const std::string& output, const std::vector<std::string>& texts) {
  const auto at = fluvextest::InOrder(output, texts);
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_GE(at[i], 0) << "missing or out of order: " << texts[i];
}

// What the program's standard input is: a terminal the test answers the
// Ctrl-C menu on, or a pipe at its end from the start, or a pipe that stays
// open and never brings a line (a batch system's).
enum class Input { kTerminal, kClosedPipe, kSilentPipe };

// The fluvex program started directly (one instance), its output collected
// in a file. The waits end with the event or with the program's end; the
// deadline only ends the wait for a hung program, before ctest's limit would
// end the test and leave the program behind.
class RunningFluvex {
 public:
  RunningFluvex(const std::string& cwd, const std::string& control, Input kind = Input::kTerminal)
      : outputFile(cwd + "/console.txt") {
    int reading = -1;
    if (kind == Input::kTerminal) {
      // A pseudo-terminal without echo: the answer is read as typed lines.
      input = posix_openpt(O_RDWR | O_NOCTTY);
      if (input < 0 || grantpt(input) != 0 || unlockpt(input) != 0) return;
      reading = open(ptsname(input), O_RDWR | O_NOCTTY);
      termios t{};
      if (reading < 0 || tcgetattr(reading, &t) != 0) return;
      t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(reading, TCSANOW, &t);
    } else {
      int fds[2];
      if (pipe(fds) != 0) return;
      reading = fds[0];
      input = fds[1];
    }
    // The build's own fluvex, so that the signal paths also run under the
    // sanitizers; the tests hold the run where they signal it.
    const std::string program = FLUVEX_BINARY;
    pid = fork();
    if (pid == 0) {
      dup2(reading, 0);
      const int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      close(input);
      if (chdir(cwd.c_str()) != 0) _exit(127);
      // A few cells: more threads only wait for each other on a busy machine.
      setenv("OMP_NUM_THREADS", "1", 1);
      execl(program.c_str(), program.c_str(), control.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(reading);
    if (kind == Input::kClosedPipe) {
      close(input);
      input = -1;
    }
  }
  ~RunningFluvex() {
    if (input >= 0) close(input);
    if (pid > 0 && !finished) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::string Output() const { return ReadFile(outputFile); }
  // Waits until done() holds; false when the program ends before.
  bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      if (Ended()) return done();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Waits until the output holds text (the given number of times).
  bool WaitFor(const std::string& text, int occurrences = 1) {
    return WaitUntil([&] { return CountOf(Output(), text) >= occurrences; });
  }
  void Interrupt() const { kill(pid, SIGINT); }
  // Ctrl-C until the output holds text the given number of times: a Ctrl-C
  // that comes before the program has armed its handler again is ignored.
  bool InterruptUntil(const std::string& text, int occurrences) {
    return WaitUntil([&] {
      if (CountOf(Output(), text) >= occurrences) return true;
      Interrupt();
      for (int i = 0; i < 100 && !Ended(); ++i) {
        if (CountOf(Output(), text) >= occurrences) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return false;
    });
  }
  void Answer(const std::string& text) const {
    EXPECT_EQ(write(input, text.data(), text.size()), ssize_t(text.size()));
  }
  // The exit code, or -1 when the program was ended by a signal.
  int Wait() {
    // A program that hangs is ended at the deadline and counts as killed.
    if (!finished && !WaitUntil([] { return false; }) && !finished) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      finished = true;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The signal that ended the program, 0 when it exited.
  int Signal() {
    Wait();
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  bool Ended() {
    if (!finished && waitpid(pid, &status, WNOHANG) == pid) finished = true;
    return finished;
  }

 private:
  std::string outputFile;
  pid_t pid = -1;
  int input = -1;
  int status = 0;
  bool finished = false;
};

const char* const kMenu =
    "Ctrl-C: cancel the model? \n0 = no (continue)\n1 = cancel with next interval (writing all grids and buffers)\n"
    "2 = cancel now without saving buffers!\n3 = flush buffers and go on\n\nchoose one of the above options: ";

}  // namespace

TEST(ModelRun, ModulesAreBuiltInTheirOrderAndTheRunEndsWithItsClosingEntries) {
  TinyBasin basin("run_order");
  const auto r = RunFluvex("control.txt -diaglevel:DEBUG", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectInOrder(r.output,
                {"initializing interpolator for temperature", "initializing module radiation_correction",
                 "initializing module evapotranspiration", "initializing module snow_model",
                 "initializing module interception_model", "initializing module SiltingUpModel",
                 "initializing module unsatzon_model", "initializing module SurfaceRoutingModel",
                 "initializing module irrigation", "initializing module groundwater_flow",
                 "initializing module routing_model", "end of initialization reached...",
                 "reached end of simulation sucessfully", "o.k.\n", "deleting modules...", "exitcode 0", "the end."});
  // Two days of hourly steps: two daily lines, each the mean of the six cells.
  const auto lines = basin.StatLines();
  ASSERT_EQ(lines.size(), 2u) << ReadFile(basin.dir / "out/temperature.stat");
}

TEST(ModelRun, DumpOptionsAreReadFromEveryArgument) {
  TinyBasin basin("run_dump");
  auto r = RunFluvex("control.txt -dumpmode:25", basin.dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("max dumpfiles given in argument -dumpmode:25 read as 25"), std::string::npos) << r.output;
  r = RunFluvex("control.txt -dumpmode:7x", basin.dir.path());
  EXPECT_NE(r.output.find("read as 7"), std::string::npos) << r.output;
  r = RunFluvex("control.txt -dumpmode:", basin.dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("max dumpfiles given in argument -dumpmode: read as 0"), std::string::npos);
  r = RunFluvex("control.txt -dumpmode", basin.dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find("max dumpfiles given"), std::string::npos) << "bare -dumpmode reads no maximum";
  r = RunFluvex("control.txt -dumpmode:abc", basin.dir.path());
  EXPECT_EQ(r.exitCode, 1061 % 256) << r.output;
  EXPECT_NE(r.output.find("invalid number of max dumpfiles given in argument -dumpmode:abc, stopped at abc"),
            std::string::npos)
      << r.output;
}

TEST(ModelRun, TwoControlFilesRunOneAfterTheOther) {
  TinyBasin basin("run_two");
  std::filesystem::copy_file(basin.dir / "control.txt", basin.dir / "second.txt");
  auto r = RunFluvex("control.txt second.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(CountOf(r.output, "end of initialization reached..."), 2);
  EXPECT_EQ(CountOf(r.output, "reached end of simulation sucessfully"), 2);
  // The second run's failure is the program's exit code.
  std::string broken = ReadFile(basin.dir / "control.txt");
  broken.replace(broken.find("[zone_grid]"), 11, "[zone_grids]");
  WriteFile(basin.dir / "second.txt", broken);
  r = RunFluvex("control.txt second.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 17) << r.output;
  EXPECT_EQ(CountOf(r.output, "reached end of simulation sucessfully"), 1);
}

TEST(ModelRun, SpinUpRepeatsTheInputPeriod) {
  BasinOptions o;
  o.spinUp =
      "[SpinUp]\n1   SpinUp switch\n0   no temperature pre-SpinUp\n3   passes\n1   HRU definitions\n"
      "elevation 100 linear\n";
  TinyBasin basin("run_spinup", o);
  const auto r = RunFluvex("control.txt", basin.dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ExpectInOrder(r.output, {"SpinUp reached end of defined time range for run #1, resetting inputs and starting "
                           "again now (repetition 2 of 3)",
                           "SpinUp reached end of defined time range for run #2, resetting inputs and starting "
                           "again now (repetition 3 of 3)"});
  EXPECT_EQ(CountOf(r.output, "SpinUp reached end of defined time range"), 2);
  // Three passes over two days: six daily lines.
  EXPECT_EQ(basin.StatLines().size(), 6u);
}

TEST(ModelRun, PreSpinUpNeedsTemperatureAsTheFirstVariable) {
  BasinOptions o;
  o.variable = "precipitation";
  o.spinUp =
      "[SpinUp]\n1   SpinUp switch\n1   temperature pre-SpinUp\n1   pass\n1   HRU definitions\n"
      "elevation 100 linear\n";
  TinyBasin basin("run_prespinup", o);
  const auto r = RunFluvex("control.txt", basin.dir.path());
  EXPECT_EQ(r.exitCode, 1035 % 256) << r.output;
  EXPECT_NE(r.output.find("temperature interpolation not found. This is required for pre-SpinUp!"), std::string::npos)
      << r.output;
}

// Ctrl-C protocol: the menu, then each choice. The run goes step by step as
// the test lets it (StepHandover): two steps (a report interval: their lines
// reach the disk), then the third is held inside the time loop until the
// Ctrl-C has reached it, and the program takes the Ctrl-C up after that
// step. One statistics line per step. The console shows the entries without
// their level word.
class CtrlCRun : public ::testing::Test {
 protected:
  static BasinOptions Stepwise() {
    BasinOptions o;
    o.days = 1;
    o.statCode = 1001;
    o.reportHours = 2;
    return o;
  }
  static void Couple(const TinyBasin& basin) {
    WriteFile(basin.dir / "control.txt", ReadFile(basin.dir / "control.txt") + fluvextest::kStepCoupling);
  }
  // Holds the next step, Ctrl-C until the handler has taken it (the
  // occurrence-th time), then lets the step end.
  static bool CtrlCInAStep(RunningFluvex& run, fluvextest::StepHandover& steps, int occurrence) {
    return steps.StepAndHold() && run.InterruptUntil("Cntr-C pressed! please wait...", occurrence) && steps.Release();
  }
};

// Choice 1 moves the end of the run to the step: the run ends as at its end
// date, and the sub-models write what is due at the end (here the regional
// superposition's grid of write code 113: the grid from the end on, its run
// sum and its minimum).
TEST_F(CtrlCRun, ChoiceOneEndsTheRunWithTheStepAndWritesTheEndOfRunGrids) {
  TinyBasin basin("run_ctrlc1", Stepwise());
  std::string control = ReadFile(basin.dir / "control.txt");
  const std::string off = "[RegionalSuperposition]\n0\n60\n";
  control.replace(control.find(off), off.size(),
                  "[RegionalSuperposition]\n1\n60\nNumberOfEntities = 1;\nmix {\n"
                  "  entityinputgrid = temperature; regions = 1; weights = 1.0;\n"
                  "  outputgrid = mix.asc; writecode = 113; outputtable = mix.txt; statcode = 0;\n}\n");
  WriteFile(basin.dir / "control.txt", control);
  Couple(basin);
  RunningFluvex run(basin.dir.path(), "control.txt");
  fluvextest::StepHandover steps(basin.dir.path(), [&] { return run.Ended(); });
  ASSERT_TRUE(steps.Steps(2)) << run.Output();
  EXPECT_FALSE(fluvextest::FileExists(basin.dir / "out/mix.asc"));  // kind 3: not before the end
  ASSERT_TRUE(CtrlCInAStep(run, steps, 1)) << run.Output();
  ASSERT_TRUE(run.WaitFor("choose one of the above options")) << run.Output();
  run.Answer("13\n");  // one character is read: choice 1
  // The end is the date of the record read last: the step after the held
  // one, which waits for the test's file as any other, asking nothing.
  ASSERT_TRUE(run.WaitFor("waiting for external synchronisation file go", 4)) << run.Output();
  ASSERT_TRUE(steps.Step()) << run.Output();
  EXPECT_EQ(run.Wait(), 99) << run.Output();
  const std::string out = run.Output();
  EXPECT_NE(out.find(kMenu), std::string::npos) << out;
  ExpectInOrder(out, {"reached end of simulation sucessfully", "exitcode 99"});
  // The lines of the 4 steps run, not those of the day.
  EXPECT_EQ(basin.StatLines().size(), 4u);
  for (const char* file : {"out/mix.asc", "out/mix.sum", "out/mix.min"})
    EXPECT_TRUE(fluvextest::FileExists(basin.dir / file)) << file << "\n" << out;
}

// Choices 0 and 3 go on (3 writes the statistics lines so far), and the next
// Ctrl-C shows the menu again; choice 2 then ends the run at once, without
// writing the lines since the last report interval.
TEST_F(CtrlCRun, ChoicesZeroAndThreeGoOnChoiceTwoExits98) {
  for (const char* choice : {"0\n", "3\n"}) {
    SCOPED_TRACE(choice);
    TinyBasin basin(std::string("run_ctrlc") + choice[0], Stepwise());
    Couple(basin);
    RunningFluvex run(basin.dir.path(), "control.txt");
    fluvextest::StepHandover steps(basin.dir.path(), [&] { return run.Ended(); });
    ASSERT_TRUE(steps.Steps(2)) << run.Output();
    ASSERT_TRUE(CtrlCInAStep(run, steps, 1)) << run.Output();
    ASSERT_TRUE(run.WaitFor("choose one of the above options", 1)) << run.Output();
    run.Answer(choice);
    // The fourth step waits: the choice is done.
    ASSERT_TRUE(run.WaitFor("waiting for external synchronisation file go", 4)) << run.Output();
    EXPECT_EQ(basin.StatLines().size(), choice[0] == '3' ? 3u : 2u);
    ASSERT_TRUE(steps.Step()) << run.Output();
    ASSERT_TRUE(CtrlCInAStep(run, steps, 2)) << run.Output();
    ASSERT_TRUE(run.WaitFor("choose one of the above options", 2)) << run.Output();
    run.Answer("2\n");
    EXPECT_EQ(run.Wait(), 98) << run.Output();
    const std::string out = run.Output();
    EXPECT_NE(out.find("program manually killed by pressing Ctrl-C and selecting 2!"), std::string::npos);
    EXPECT_EQ(out.find("reached end of simulation sucessfully"), std::string::npos);
    // Four steps' lines (a second report interval); not the fifth's.
    EXPECT_EQ(basin.StatLines().size(), 4u);
  }
}

// A run without a terminal (standard input at its end, or a pipe that stays
// open and never writes, as in the background or under a batch system)
// cannot answer the menu: Ctrl-C ends it as SIGTERM does, with the
// diagnostics file closed and the statistics of the finished report
// intervals (the first two steps) on disk, instead of reading "0 =
// continue" or waiting for ever.
TEST_F(CtrlCRun, WithoutAnAnswerTheRunEndsAsBySigterm) {
  for (const Input kind : {Input::kClosedPipe, Input::kSilentPipe}) {
    const bool silent = kind == Input::kSilentPipe;
    SCOPED_TRACE(silent ? "a pipe that stays open" : "a pipe at its end");
    TinyBasin basin(silent ? "run_ctrlc_silentinput" : "run_ctrlc_noinput", Stepwise());
    Couple(basin);
    RunningFluvex run(basin.dir.path(), "control.txt", kind);
    fluvextest::StepHandover steps(basin.dir.path(), [&] { return run.Ended(); });
    ASSERT_TRUE(steps.Steps(2)) << run.Output();
    ASSERT_TRUE(CtrlCInAStep(run, steps, 1)) << run.Output();
    EXPECT_EQ(run.Signal(), SIGINT) << run.Output();
    const std::string out = run.Output();
    EXPECT_NE(out.find("Ctrl-C: no answer can be read from the standard input"), std::string::npos) << out;
    EXPECT_EQ(out.find("reached end of simulation sucessfully"), std::string::npos) << out;
    const std::string diag = ReadFile(basin.dir / "Fluvex_Diag_0.xml");
    EXPECT_NE(diag.find("<line level=\"0\" description= \"program ended by signal SIGINT (Ctrl-C)\"/>\n</Diag>\n"),
              std::string::npos)
        << diag;
    EXPECT_EQ(basin.StatLines().size(), 2u);
  }
}
