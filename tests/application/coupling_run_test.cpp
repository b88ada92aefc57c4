// End-to-end runs of a small basin with 48 hourly steps (31 Dec 2001 and
// 1 Jan 2002; the temperature is the hour on the first day and 100 + the hour
// on the second): the special output, and the coupling with an external
// program played by tests/data/coupling/external.sh.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "tests/application/basins.h"
#include "tests/support/testutil.h"

using fluvextest::CountOf;
using fluvextest::FileExists;
using fluvextest::ReadFile;
using fluvextest::RunCommand;
using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

constexpr int kCols = 12;
constexpr int kRows = 6;

// The zone grid of the basin: 3, 7 and 12 from west to east, four cells missing.
int Zone(int row, int column) {
  if ((row == 1 && (column == 1 || column == 12)) || (row == 6 && column == 1) || (row == 3 && column == 6))
    return -9999;
  return column <= 4 ? 3 : (column <= 8 ? 7 : 12);
}

class Basin {
 public:
  explicit Basin(const std::string& name) : dir(name) {
    for (const auto& f : std::filesystem::directory_iterator(std::string(FLUVEX_TEST_DATA) + "/coupling"))
      std::filesystem::copy_file(f.path(), dir / f.path().filename().string());
    std::filesystem::create_directories(dir / "out/sums");
  }
  void Edit(const std::string& from, const std::string& to) { fluvextest::EditFile(dir / "control.txt", from, to); }
  void Append(const std::string& text) { WriteFile(dir / "control.txt", ReadFile(dir / "control.txt") + text); }
  // fluvex (under mpirun with instances > 0), with the external program when
  // its arguments are given; only a run that hangs is ended, after 1200 s (a
  // busy machine slows the three-instance runs a lot). fluvex writes its
  // console to console.txt, which the external program may wait on.
  fluvextest::CommandResult Run(const std::string& external = "", int instances = 0) {
    // The external program takes the last informing file, then ends; once
    // fluvex has ended (fluvex.done) it waits for no more.
    fluvextest::FixedSplit(dir.path());
    std::string command = "(rm -f fluvex.done console.txt; ";
    if (!external.empty()) command += "sh external.sh " + external + " & helper=$!; ";
    command += "timeout 1200 ";
    if (instances > 0)
      command += std::string(FLUVEX_MPIRUN) + " --oversubscribe -np " + std::to_string(instances) + " ";
    command += fluvextest::Program() + " control.txt > console.txt 2>&1; status=$?; ";
    if (!external.empty()) command += ": > fluvex.done; wait $helper; ";
    return RunCommand(command + "cat console.txt; exit $status)", dir.path());
  }
  // The period-1 grid and the semaphore file, as the external program leaves them.
  void PresetFirstPeriod() {
    std::string grid = ReadFile(dir / "ext_template.asc");
    for (size_t p = grid.find("@VALUE@"); p != std::string::npos; p = grid.find("@VALUE@")) {
      grid[p] = '1';
      grid.erase(p + 1, 6);
    }
    WriteFile(dir / "ext_in.asc", grid);
    WriteFile(dir / "sem_ext.txt", "");
  }
  // Cells of an ASCII grid file, rows from the north.
  std::vector<std::vector<double>> Grid(const std::string& file) const {
    std::istringstream in(ReadFile(dir / file));
    std::string word;
    double value = 0;
    for (int i = 0; i < 6; ++i) in >> word >> value;
    std::vector<std::vector<double>> cells(kRows, std::vector<double>(kCols));
    for (auto& row : cells)
      for (double& c : row) in >> c;
    if (!in) ADD_FAILURE() << "unreadable grid " << file;
    return cells;
  }
  // Every zone cell holds value, every other cell -9999.
  void ExpectGrid(const std::string& file, double value) const {
    const auto cells = Grid(file);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        EXPECT_NEAR(cells[r - 1][c - 1], Zone(r, c) < 0 ? -9999 : value, 1e-9) << file << " " << r << " " << c;
  }
  TempDir dir;
};

std::string Coupling(const std::string& period, int renameCode, const std::string& inform = "inform.txt",
                     const std::string& statfile = "elev_stat.txt elevation Sum", int mode = 1) {
  std::ostringstream s;
  s << "\n[ExternalCoupling]\n"
    << mode << "         coupling mode\n"
    << "sem_ext.txt   semaphore file of the external program\n"
    << "100       wait interval\n"
    << period << "         coupling period\n"
    << "60        time step of the external model\n"
    << "1         number external grids (to read)\n"
    << "ext_in.asc albedo 0 " << renameCode << "\n"
    << "3         number external grids (to write)\n"
    << "mean.asc temperature Mean\n"
    << "sums/sum.asc temperature SumTotal_DMY\n"
    << "alb.asc albedo current\n"
    << "1         number external Stats\n"
    << statfile << "\n"
    << inform << "   informing semaphore file\n"
    << "done      its content\n";
  return s.str();
}

// The coupling section with one text replaced.
std::string CouplingWith(const std::string& from, const std::string& to, const std::string& inform = "inform.txt",
                         const std::string& statfile = "elev_stat.txt elevation Sum") {
  std::string s = Coupling("D", 1, inform, statfile);
  s.replace(s.find(from), from.size(), to);
  return s;
}

const char* const kSpecialOutput =
    "[special_output]\n1\n$time\nnumfiles = 1;\n{\nfilename = points.txt; header = basin;\n"
    "entity { ID = temperature; Symbol = T; Xcoords = 3500150, 3501050; Ycoords = 5200000, 5200550; }\n"
    "entity { ID = albedo; Symbol = A; Xcoords = 3500550; Ycoords = 5200250; }\n"
    "entity { ID = elevation; Symbol = H; Xcoords = 3500150, 3500750; Ycoords = 5200150, 5200450; }\n}\n";

}  // namespace

TEST(SpecialOutputRun, PointValuesOfEveryStepEqualOnOneAndThreeInstances) {
  std::string files[2];
  for (int i = 0; i < 2; ++i) {
    Basin basin(i == 0 ? "special_run_1" : "special_run_3");
    basin.Edit("[special_output]\n0\n$time\n", kSpecialOutput);
    const auto r = basin.Run("", i == 0 ? 0 : 3);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    files[i] = ReadFile(basin.dir / "out/points.txt");
  }
  EXPECT_EQ(files[0], files[1]);
  // Past the three header lines (checked by the unit tests) one row per step.
  std::istringstream in(files[0]);
  std::string line;
  for (int i = 0; i < 3; ++i) std::getline(in, line);
  // Elevation of a cell: 400 + 10 (column - 1) + 5 (rows - row).
  for (int step = 0; step < 48; ++step) {
    const int hour = step % 24 + 1;
    const double t = step < 24 ? hour : 100 + hour;
    std::ostringstream expected;
    expected << (step < 24 ? "2001\t12\t31\t" : "2002\t1\t1\t") << hour << "\t" << t << "\t" << t << "\t0.2\t415\t"
             << 400 + 10 * 7 + 5 * 4;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, expected.str());
  }
  EXPECT_FALSE(std::getline(in, line));
}

TEST(CouplingRun, DailyExchangeWithTheExternalProgram) {
  Basin basin("coupling_daily");
  basin.Append(Coupling("D", 1));
  basin.Edit("[special_output]\n0\n$time\n", kSpecialOutput);
  const auto r = basin.Run("2 1 - sem_ext.txt inform.txt out/mean.asc");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ReadFile(basin.dir / "informed.log"), "done|done|");
  EXPECT_EQ(CountOf(r.output, "waiting for external synchronisation file sem_ext.txt...found it! "), 2);
  // The external grids were moved to dated names; nothing else is left behind.
  int moved = 0;
  for (const auto& f : std::filesystem::directory_iterator(basin.dir.path())) {
    const std::string name = f.path().filename().string();
    if (name.rfind("ext_in.asc_2001_12_31_01_", 0) == 0 || name.rfind("ext_in.asc_2002_01_01_01_", 0) == 0) ++moved;
  }
  EXPECT_EQ(moved, 2);
  EXPECT_FALSE(FileExists(basin.dir / "ext_in.asc"));
  EXPECT_FALSE(FileExists(basin.dir / "sem_ext.txt"));
  EXPECT_FALSE(FileExists(basin.dir / "Fluvex_Orvik_temporary_semaphore.file"));

  // The albedo grid holds the external value of the day at every step.
  const std::string points = ReadFile(basin.dir / "out/points.txt");
  EXPECT_EQ(CountOf(points, "\t1\t415\t"), 24);
  EXPECT_EQ(CountOf(points, "\t2\t415\t"), 24);
  basin.ExpectGrid("out/alb.asc", 2);
  // Means over the 24 steps of each day: (1 + ... + 24) / 24 and 100 + that.
  basin.ExpectGrid("period_1.asc", 12.5);
  basin.ExpectGrid("period_2.asc", 112.5);
  // Running totals: 300 at the end of 2001, 300 + 2400 + 300 at the end of the run.
  basin.ExpectGrid("out/sums/SumTotal_EndOf_Day_2001_12_31_sum.asc", 300);
  basin.ExpectGrid("out/sums/SumTotal_EndOf_Year_2001_sum.asc", 300);
  basin.ExpectGrid("out/sums/SumTotal_EndOf_Month_2002_01_sum.asc", 3000);
  basin.ExpectGrid("out/sums/sum.asc", 3000);

  // The zone means of the elevation summed over the 24 steps of the last day.
  std::ostringstream expected;
  expected << "elevation_submodel:(default); 3 zones\n";
  for (int zone : {3, 7, 12}) {
    double sum = 0;
    int n = 0;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        if (Zone(r, c) == zone) {
          sum += 400 + 10 * (c - 1) + 5 * (kRows - r);
          ++n;
        }
    expected << zone << "\t" << 24 * sum / n << "\n";
  }
  EXPECT_EQ(ReadFile(basin.dir / "elev_stat.txt"), expected.str());
}

TEST(CouplingRun, EveryStepWithASemaphoreFileThatExistsAlready) {
  Basin basin("coupling_every_step");
  basin.Append(Coupling("I", 0));
  basin.PresetFirstPeriod();
  const auto r = basin.Run("48 2 - sem_ext.txt inform.txt");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // Every informing file was complete when the external program found it.
  std::string all;
  for (int i = 0; i < 48; ++i) all += "done|";
  EXPECT_EQ(ReadFile(basin.dir / "informed.log"), all);
  // The semaphore file of the first step was there: one entry, no pause.
  const std::string xml = ReadFile(basin.dir / "Fluvex_Diag_0.xml");
  EXPECT_NE(xml.find("waiting for external synchronisation file sem_ext.txt...found it! "), std::string::npos);
  // Rename code 0 deletes the external grid after reading.
  EXPECT_FALSE(FileExists(basin.dir / "ext_in.asc"));
  basin.ExpectGrid("out/alb.asc", 48);
  basin.ExpectGrid("out/mean.asc", 124);  // a period of one step
}

TEST(CouplingRun, SemaphoreFileCreatedLaterAndGridLeftInPlace) {
  Basin basin("coupling_later");
  basin.Append(Coupling("Y", 2));
  // The external program's first files come once fluvex waits for them.
  const auto r = basin.Run("2 1 'waiting for external synchronisation file' sem_ext.txt inform.txt");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // A new year on the second day: two periods.
  EXPECT_EQ(ReadFile(basin.dir / "informed.log"), "done|done|");
  EXPECT_TRUE(FileExists(basin.dir / "ext_in.asc"));  // rename code 2 leaves it
  EXPECT_FALSE(FileExists(basin.dir / "sem_ext.txt"));
  basin.ExpectGrid("out/mean.asc", 112.5);
}

TEST(CouplingRun, ModeTwoIsReadButNeverWaits) {
  Basin basin("coupling_mode2");
  basin.Append(Coupling("I", 1, "inform.txt", "elev_stat.txt elevation Sum", 2));
  const auto r = basin.Run();
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find("waiting for external synchronisation file"), std::string::npos);
  EXPECT_FALSE(FileExists(basin.dir / "inform.txt"));
  EXPECT_FALSE(FileExists(basin.dir / "out/mean.asc"));
}

TEST(CouplingRun, FailuresEndTheRunWithTheirCodes) {
  struct Case {
    std::string section;
    int code;
    std::string text;
    int instances = 0;
    bool preset = false;  // the external program's first period is there
  };
  const std::vector<Case> cases = {
      {Coupling("D", 1), 1009,
       "external coupling does not work when running in MPI mode with more than 1 instance (i.e. you should use the "
       "non-MPI-version)",
       2},
      {Coupling("X", 1), 10,
       "error reading Coupling Mode (I, H, D, M or Y) for external gw table grid defaults\npossible reason: parameter "
       "missing or a linefeed \nbefore the end of the parameter block"},
      // Mode 2 never waits, but its section is read all the same.
      {Coupling("X", 1, "inform.txt", "elev_stat.txt elevation Sum", 2), 10,
       "error reading Coupling Mode (I, H, D, M or Y) for external gw table grid defaults"},
      {"\n[ExternalCoupling]\n1\nsem_ext.txt\n100\nD\n60\n1\next_in.asc albedo 0\n", 10,
       "error reading external (read) grid name/entity/fill code/rename code defaults"},
      // A pause longer than a day of processor time would overflow the clock sum.
      {"\n[ExternalCoupling]\n1\nsem_ext.txt\n9223372036854775807\nD\n60\n0\n", 10,
       "error reading of wait interval for scanning for external gw table grid defaults"},
      {CouplingWith("done      its content\n", ""), 10,
       "error reading semaphore Content for file to be written by fluvex defaults"},
      {Coupling("D", 1, "inform.txt", "elev_stat.txt altitude Sum"), 1005,
       "error looking for zonal statistic with internal name \"altitude\"\npossible reason: name of the statistic "
       "entity is wrong (case sensitive!)"},
      // A semaphore file that can never be read is reported instead of waited for.
      {CouplingWith("sem_ext.txt", "control.txt/sem"), 1001,
       "the external synchronisation file control.txt/sem cannot be opened for reading"},
      {CouplingWith("ext_in.asc albedo", "ext_in.asc Albedo"), 1003,
       "error looking for internal grid to read from ext_in.asc, with internal name \"Albedo\""},
      // The informing file and a statistics file in a directory that does not exist.
      {Coupling("D", 1, "no_dir/inform.txt"), 18,
       "error renaming Fluvex_Orvik_temporary_semaphore.file to the semaphore file no_dir/inform.txt", 0, true},
      {Coupling("D", 1, "inform.txt", "no_dir/stat.txt elevation Mean"), 15,
       "error opening the statistics file no_dir/stat.txt for the external coupling", 0, true},
  };
  int i = 0;
  for (const Case& c : cases) {
    Basin basin("coupling_fail_" + std::to_string(i++));
    basin.Append(c.section);
    if (c.preset) basin.PresetFirstPeriod();
    const auto r = basin.Run("", c.instances);
    // The exit status keeps the low 8 bits of the code.
    EXPECT_EQ(r.exitCode, c.code % 256) << r.output;
    EXPECT_NE(r.output.find("Exception " + std::to_string(c.code) + " caught at top level!"), std::string::npos);
    EXPECT_NE(r.output.find(c.text), std::string::npos) << c.text << "\n" << r.output;
    EXPECT_FALSE(FileExists(basin.dir / "inform.txt"));
  }
}

TEST(CouplingRun, CtrlCWhileWaitingAsksOnATerminalAndEndsTheRunWithoutOne) {
  // What the program's standard input is while it waits for the external
  // program, which never comes.
  enum class Input { kTerminal, kSilentPipe, kNoInput };
  for (const Input input : {Input::kTerminal, Input::kSilentPipe, Input::kNoInput}) {
    const bool terminal = input == Input::kTerminal;
    SCOPED_TRACE(terminal ? "terminal" : input == Input::kSilentPipe ? "a pipe that stays open" : "/dev/null");
    Basin basin("coupling_ctrlc_" + std::to_string(static_cast<int>(input)));
    basin.Append(Coupling("D", 1));
    // On a terminal (script gives the program one, without echo; its answers
    // come through a pipe as the questions come) the wait's questions are
    // answered with 0 (go on waiting), then with 2. A Ctrl-C that reaches
    // the run before it waits (on a busy machine the first step can take a
    // while) is asked about by the time loop instead; that question is
    // answered with 0. Without a terminal nobody can answer: the first
    // Ctrl-C of the wait ends the run as SIGTERM does, as in the time loop.
    // A Ctrl-C is sent again until the wait has asked (or the run has
    // ended), as one that comes before the handler is armed again is
    // ignored. The waits end with the event or with the program; a program
    // that hangs is ended after 20 minutes.
    fluvextest::FixedSplit(basin.dir.path());
    const std::string program = fluvextest::Program() + " control.txt";
    std::string start;
    if (terminal)
      start = "script -qefc 'stty -onlcr -echo; exec " + program +
              "' /dev/null < answers > console.txt 2>&1 & s=$!; exec 3>answers; "
              "w 'end of initialization reached' 1; p=$(pgrep -P $s); ";
    else if (input == Input::kSilentPipe)
      start = program + " < answers > console.txt 2>&1 & p=$!; s=$p; exec 3>answers; ";
    else
      start = program + " < /dev/null > console.txt 2>&1 & p=$!; s=$p; exec 3>/dev/null; ";
    // Without a terminal the Ctrl-C has to reach the wait itself.
    if (!terminal) start += "w 'waiting for external synchronisation file sem_ext.txt' 1; ";
    const std::string waitFor =
        "i=0; while kill -0 $s 2>/dev/null && [ $(cat console.txt 2>/dev/null | grep -c \"$1\") -lt $2 ] && "
        "[ $i -lt 24000 ]; do sleep 0.05; i=$((i+1)); done";
    const std::string answer =
        "t=0; q=0; i=0; while kill -0 $s 2>/dev/null; do "
        "i=$((i+1)); if [ $i -gt 2400 ]; then kill -KILL $s $p 2>/dev/null; fi; "
        "n=$(grep -c 'Ctrl-C: cancel the model?' console.txt); "
        "if [ $n -gt $t ]; then t=$n; echo 0 >&3; fi; "
        "m=$(grep -c 'Cancel the model?' console.txt); "
        "if [ $m -gt $q ]; then q=$m; if [ $q -ge 2 ]; then echo 2 >&3; else echo 0 >&3; fi; fi; "
        "if [ $q -lt 2 ]; then kill -INT $p 2>/dev/null; fi; "
        "sleep 0.5; done";
    const std::string command = "(w() { " + waitFor + "; }; rm -f answers; mkfifo answers; " + start + answer +
                                "; wait $s; e=$?; exec 3>&-; cat console.txt; exit $e)";
    const auto r = RunCommand(command, basin.dir.path());
    const std::string question =
        "Ctrl-C pressed while waiting for sem_ext.txt\nCancel the model? \n0 = no (continue)\n2 = cancel now without "
        "saving buffers!";
    if (terminal) {
      EXPECT_EQ(r.exitCode, 98) << r.output;
      EXPECT_EQ(CountOf(r.output, question), 2) << r.output;
      EXPECT_NE(r.output.find("Exception in Modellapplication::WaitForFile() caught!"), std::string::npos);
      EXPECT_NE(r.output.find("Exception 98 caught at top level!"), std::string::npos);
    } else {
      // The shell's status of a program ended by SIGINT.
      EXPECT_EQ(r.exitCode, 128 + SIGINT) << r.output;
      EXPECT_EQ(CountOf(r.output, "Cancel the model?"), 0) << r.output;
      EXPECT_NE(r.output.find("FATAL: Ctrl-C while waiting for sem_ext.txt: no answer can be read from the standard "
                              "input (it is not a terminal"),
                std::string::npos)
          << r.output;
      const std::string diag = ReadFile(basin.dir / "Fluvex_Diag_0.xml");
      EXPECT_NE(diag.find("<line level=\"0\" description= \"program ended by signal SIGINT (Ctrl-C)\"/>\n</Diag>\n"),
                std::string::npos)
          << diag;
    }
  }
}
