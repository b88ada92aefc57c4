// Spoilt inputs run through the fluvex program: each ends with a FATAL entry
// that names the file, line and value, or, where the input is legal, with
// correct results and a warning about what was changed or ignored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/types.h"
#include "tests/application/basins.h"
#include "tests/support/examplebasin.h"
#include "tests/support/testutil.h"

using fluvextest::CountOf;
using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

// tests/data/badinput: 8 cells in zones 3, 7 and 12, temperature and
// precipitation from two stations, hourly records of 1 and 2 January 2001.
class Basin {
 public:
  explicit Basin(const std::string& name) : dir(name) {
    for (const char* f : {"control.txt", "zones.asc", "dem.asc", "temp.dat", "prec.dat"})
      std::filesystem::copy_file(std::string(FLUVEX_TEST_DATA) + "/badinput/" + f, dir / f);
    std::filesystem::create_directories(dir / "out");
  }
  // Replaces the first occurrence of from in file; returns the line it stands on.
  int Edit(const std::string& file, const std::string& from, const std::string& to) {
    return fluvextest::EditFile(dir / file, from, to);
  }
  // Data lines of a statistics file, split into their words.
  std::vector<std::vector<std::string>> StatLines(const std::string& file) const {
    std::istringstream in(ReadFile(dir / ("out/" + file)));
    std::vector<std::vector<std::string>> lines;
    std::string line;
    for (int i = 0; std::getline(in, line); ++i) {
      if (i < 3 || line.empty()) continue;
      std::istringstream words(line);
      std::vector<std::string> w;
      for (std::string x; words >> x;) w.push_back(x);
      lines.push_back(w);
    }
    return lines;
  }
  fluvextest::CommandResult Run() const { return RunFluvex("control.txt", dir.path()); }
  TempDir dir;
};

bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

}  // namespace

TEST(BadInput, ControlFileNumbersThatAreNoValuesAreFatalAtTheirLine) {
  struct Case {
    const char* from;
    const char* to;
    const char* what;
  };
  const Case cases[] = {
      {"2\n\n[meteo_names]", "2.9\n\n[meteo_names]", "number of meteorological variables"},
      {"24        output control", "3e1       output control", "output control"},
      {"1.0       scaling factor", "nan       scaling factor", "scaling factor"},
      {"9999      nodata", "1e400     nodata", "nodata"},
      {"2001      starting year", "2001.5    starting year", "starting year in "},
      {"1         starting hour", "25        starting hour", "[model_time]: the starting hour is 25"},
      {"47.5      geographic latitude", "1e308     geographic latitude", "has to lie within -90 ... 90 degrees"},
      {"WriteAsciiGrids = 1", "WriteAsciiGrids = yes", "the value of WriteAsciiGrids"},
  };
  int i = 0;
  for (const Case& k : cases) {
    Basin basin("badinput_number" + std::to_string(i++));
    const int line = basin.Edit("control.txt", k.from, k.to);
    const auto r = basin.Run();
    EXPECT_EQ(r.exitCode, 17) << k.to << r.output;
    EXPECT_TRUE(Has(r.output, k.what)) << k.to << r.output;
    // The user's file and line (the symbol definition is not in the preprocessed copy).
    EXPECT_TRUE(Has(r.output, "control file control.txt, line " + std::to_string(line))) << k.to << r.output;
    EXPECT_FALSE(Has(r.output, "control.txt.$$$, line")) << k.to;
  }
}

TEST(BadInput, LegalButChangedOrIgnoredControlLinesAreWarnedAndTheRunGoesOn) {
  Basin basin("badinput_warnings");
  const int key = basin.Edit("control.txt", "WriteAsciiGrids = 1", "WriteAsciiGrids = 1\nWriteAsciGrids = 0");
  basin.Edit("control.txt", "1         starting day", "0         starting day");
  basin.Edit("control.txt", "0         write code", "-1        write code");
  basin.Edit("control.txt", "[snow_model]\n0\n$time\n", "");
  const int second = basin.Edit("control.txt", "[special_output]", "[temperature]\n3\n\n[special_output]");
  const int first = basin.Edit("control.txt", "[temperature]", "[temperature]");
  const int set = basin.Edit("control.txt", "$set $time = 60", "$set $time = 60\n$set $time = 1440");
  const auto r = basin.Run();
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(
      Has(r.output, "unknown key line \"WriteAsciGrids\" in [output_interval] (control file control.txt, line " +
                        std::to_string(key + 2) + ") is ignored"))
      << r.output;
  EXPECT_TRUE(Has(r.output, "[model_time] of control.txt: start day 0 is out of range and is read as 1"));
  EXPECT_TRUE(Has(r.output, "the section [snow_model] is missing in the control file control.txt: module off"));
  EXPECT_TRUE(Has(r.output, "the write code -1 of the grid temperature (tempgrid) is negative")) << r.output;
  EXPECT_TRUE(Has(r.output, "the section [temperature] stands twice in the control file control.txt, at line " +
                                std::to_string(first + 1) + " and at line " + std::to_string(second + 1)))
      << r.output;
  EXPECT_TRUE(Has(r.output, "the symbol $time is defined twice in the control file control.txt, at line " +
                                std::to_string(set) + " and at line " + std::to_string(set + 1)));
  // A run that succeeds has no FATAL entry, and the first definitions hold:
  // hourly steps (48 lines), the first [temperature] section (statistics written).
  EXPECT_EQ(CountOf(ReadFile(basin.dir / "Fluvex_Diag_0.xml"), "<line level=\"0\""), 0);
  EXPECT_EQ(basin.StatLines("temperature.stat").size(), 48u);
}

TEST(BadInput, SpoiltInputFilesNameTheFileTheLineAndTheValue) {
  struct Case {
    const char* file;
    const char* from;
    const char* to;
    int code;
    const char* what;
  };
  // Day 1, hour h stands on line 5 + h.
  const Case cases[] = {
      {"temp.dat", "HH 3500050 3500350", "HH 3500050 nan", 49,
       "temp.dat, line 3 (temperature): x coordinate of station 2 of 2 is missing or not a finite number (\"nan\")"},
      {"prec.dat", "HH 480 540", "HH 480 inf", 49,
       "prec.dat, line 2 (precipitation): the altitude of station 2 is \"inf\""},
      {"temp.dat", "HH 480 540", "HH 480", 49,
       "temp.dat, line 3 (temperature): the line holds more values than the 1 stations of line 2"},
      {"temp.dat", "2001 1 1 5 2.0 6.0\n", "2001 1 1 5 2.0 6.0 7.0\n", 49,
       "temp.dat, line 10 (temperature): the record holds more values than the 2 stations"},
      {"temp.dat", "2001 1 1 5 ", "2001 1 1 25 ", 52, "temp.dat, line 10 (temperature): the date 1.1.2001 25 h"},
      {"temp.dat", "2001 1 1 5 ", "2001 13 1 5 ", 52, "temp.dat, line 10 (temperature): the date 1.13.2001 5 h"},
      {"temp.dat", "2001 1 1 6 ", "2001 1 1 5 ", 52,
       "temp.dat, line 11 (temperature): the record of 1.1.2001 5 h does not come after"},
      {"temp.dat", "2001 1 1 6 2.0 6.0\n", "", 52,
       "temp.dat, line 11 (temperature): the record of 1.1.2001 7 h comes 2 h after the record before it"},
      {"prec.dat", "2001 1 1 6 1.0 1.0\n2001 1 1 7 ", "2001 1 1 7 1.0 1.0\n2001 1 1 6 ", 52,
       "prec.dat, line 11 (precipitation): the record of 1.1.2001 7 h comes 2 h after"},
      {"zones.asc", "ncols 4", "ncols 4.5", 22, "zones.asc: the value of ncols is no whole number (4.5"},
      {"zones.asc", "ncols 4", "ncols 1e9", 24, "the grid is too large"},
      // Every zone cell NODATA: no word of instance counts.
      {"zones.asc", "-9999 7 7 3\n3 3 -9999 -9999\n12 12 12 -9999",
       "-9999 -9999 -9999 -9999\n-9999 -9999 -9999 -9999\n-9999 -9999 -9999 -9999", 121,
       "the zone grid has no valid cell"},
  };
  int i = 0;
  for (const Case& k : cases) {
    Basin basin("badinput_station" + std::to_string(i++));
    basin.Edit(k.file, k.from, k.to);
    const auto r = basin.Run();
    EXPECT_EQ(r.exitCode, k.code) << k.to << r.output;
    EXPECT_TRUE(Has(r.output, k.what)) << k.to << r.output;
    EXPECT_FALSE(Has(r.output, "run fewer instances"));
  }
}

TEST(BadInput, AnInputFileThatEndsEarlyIsNamedAndTheLinesBeforeAreKept) {
  Basin basin("badinput_cut");
  // The temperature file (the first variable, whose dates drive the run) ends after 1 January, 12 h.
  const std::string text = ReadFile(basin.dir / "temp.dat");
  WriteFile(basin.dir / "temp.dat", text.substr(0, text.find("2001 1 1 13 ")));
  const auto r = basin.Run();
  EXPECT_EQ(r.exitCode, 52) << r.output;
  EXPECT_TRUE(Has(r.output,
                  "error in date columns of temperature: its input file temp.dat ends after the record of "
                  "1.1.2001 12 h, before the end of the run"))
      << r.output;
  EXPECT_FALSE(Has(r.output, "error in date columns of precipitation"));
}

TEST(BadInput, AStepWithoutAnyValidStationWritesTheMissingValueAndWarnsOnce) {
  Basin basin("badinput_nostation");
  // No lower limit that would replace the missing marker of the cells.
  basin.Edit("control.txt", "0\n1000\n0\n1000\n0\n\n[region", "-100000\n1000\n0\n1000\n0\n\n[region");
  // Every value of 2 January beyond +-9999: missing.
  std::string text = ReadFile(basin.dir / "prec.dat");
  for (size_t p; (p = text.find(" 0.5 0.5")) != std::string::npos;) text.replace(p, 8, " 12000 -10000");
  WriteFile(basin.dir / "prec.dat", text);
  const auto r = basin.Run();
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(CountOf(r.output, "precipitation: no valid station value in prec.dat for 2.1.2001 1 h"), 1) << r.output;
  const auto lines = basin.StatLines("precipitation.stat");
  ASSERT_EQ(lines.size(), 48u);
  // Day 1: 1 mm everywhere; day 2: every zone and the total missing, never a plausible 0.
  EXPECT_EQ(lines[23], (std::vector<std::string>{"2001", "1", "1", "24", "1.000", "1.000", "1.000", "1.000"}));
  for (size_t i = 24; i < 48; ++i)
    EXPECT_EQ(std::vector<std::string>(lines[i].begin() + 4, lines[i].end()),
              (std::vector<std::string>{"-9999.000", "-9999.000", "-9999.000", "-9999.000"}))
        << i;
}

TEST(BadInput, GridHeadersAsGisToolsWriteThemAreRead) {
  // Upper-case keys in another order, the corner given as the centre of the
  // lower-left cell: the same geometry as the elevation model.
  Basin gis("badinput_gisheader");
  gis.Edit("zones.asc", "ncols 4\nnrows 3\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100\nnodata_value -9999",
           "NROWS 3\nNCOLS 4\nXLLCENTER 3500050\nYLLCENTER 5200050\nCELLSIZE 100\nNODATA_VALUE -9999");
  const auto r = gis.Run();
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(gis.StatLines("temperature.stat").size(), 48u);
}

TEST(BadInput, CtrlCUnderMpirunKeepsTheStatisticsOfFinishedDaysAndClosesTheDiagnostics) {
  Basin basin("badinput_mpirun_ctrlc");
  // Three days of hourly records, run step by step as the test lets them go.
  auto days = [](const std::string& head, const char* value) {
    std::ostringstream f;
    f << head;
    for (int d = 1; d <= 3; ++d)
      for (int h = 1; h <= 24; ++h) f << "2001 1 " << d << " " << h << " " << value << " " << value << "\n";
    return f.str();
  };
  const std::string head =
      "data\nYY MM DD HH 480 540\nYY MM DD HH 3500050 3500350\nYY MM DD HH 5200050 5200250\nnames\n";
  WriteFile(basin.dir / "temp.dat", days(head, "2.0"));
  WriteFile(basin.dir / "prec.dat", days(head, "0.5"));
  basin.Edit("control.txt", "2         end day", "3         end day");
  WriteFile(basin.dir / "control.txt", ReadFile(basin.dir / "control.txt") + fluvextest::kStepCoupling);

  fluvextest::FixedSplit(basin.dir.path());
  // mpirun in a process group of its own, as in a terminal; Ctrl-C there
  // signals that group, and mpirun stops the job.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir(basin.dir.path().c_str()) != 0) _exit(127);
    const int out = open("console.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    setenv("OMP_NUM_THREADS", "1", 1);
    // This build's fluvex, so that the signal path also runs under the sanitizers.
    execl(FLUVEX_MPIRUN, FLUVEX_MPIRUN, "--oversubscribe", "-np", "1", FLUVEX_BINARY, "control.txt",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  int status = 0;
  bool ended = false;
  // A failed assertion leaves no job behind: mpirun ends its job on SIGTERM.
  const struct Reap {
    pid_t group;
    bool& ended;
    ~Reap() {
      if (ended) return;
      kill(-group, SIGTERM);
      waitpid(group, nullptr, 0);
    }
  } reap{pid, ended};
  fluvextest::StepHandover steps(basin.dir.path(),
                                 [&] { return ended = ended || waitpid(pid, &status, WNOHANG) == pid; });
  // Two days and five hours, then Ctrl-C while the sixth hour waits for the test.
  ASSERT_TRUE(steps.Steps(53)) << ReadFile(basin.dir / "console.txt");
  kill(-pid, SIGINT);
  if (!ended) waitpid(pid, &status, 0);
  ended = true;
  const std::string console = ReadFile(basin.dir / "console.txt");
  EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "stopped, not finished\n" << console;
  // The two finished days' hourly lines, every line complete; the hours of
  // the third day were not yet due.
  const auto lines = basin.StatLines("temperature.stat");
  EXPECT_EQ(lines.size(), 48u) << console;
  for (const auto& l : lines) ASSERT_EQ(l.size(), 8u);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()[2], "2");
  EXPECT_EQ(lines.back()[3], "24");
  EXPECT_EQ(fluvextest::RunCommand("xmllint --noout Fluvex_Diag_0.xml", basin.dir.path()).exitCode, 0)
      << ReadFile(basin.dir / "Fluvex_Diag_0.xml");
  EXPECT_TRUE(Has(ReadFile(basin.dir / "Fluvex_Diag_0.xml"),
                  "<line level=\"0\" description= \"program ended by signal SIGTERM\"/>\n</Diag>\n"));
}

TEST(BadInput, CtrlCDuringTheSetUpClosesTheDiagnostics) {
  TempDir dir("badinput_setup_ctrlc");
  // The control file is a pipe without a writer: the set-up waits in opening it.
  ASSERT_EQ(mkfifo((dir / "control.txt").c_str(), 0644), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    const int out = open("console.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    execl(FLUVEX_BINARY, FLUVEX_BINARY, "control.txt", static_cast<char*>(nullptr));
    _exit(127);
  }
  // From this message on the set-up waits for the pipe; SIGINT ends it there
  // or anywhere before the time loop.
  int status = 0;
  bool waiting = false;
  bool ended = false;
  while (!waiting && !ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    waiting = Has(ReadFile(dir / "console.txt"), "compiling symbols in control file control.txt");
    ended = waitpid(pid, &status, WNOHANG) == pid;
  }
  ASSERT_TRUE(waiting) << ReadFile(dir / "console.txt");
  kill(pid, SIGINT);
  if (!ended) waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_TRUE(Has(ReadFile(dir / "console.txt"), "FATAL: program ended by signal SIGINT (Ctrl-C)"));
  EXPECT_EQ(fluvextest::RunCommand("xmllint --noout Fluvex_Diag_0.xml", dir.path()).exitCode, 0)
      << ReadFile(dir / "Fluvex_Diag_0.xml");
  EXPECT_TRUE(Has(ReadFile(dir / "Fluvex_Diag_0.xml"),
                  "<line level=\"0\" description= \"program ended by signal SIGINT (Ctrl-C)\"/>\n</Diag>\n"));
}

TEST(BadInput, FilesSavedWithCarriageReturnsOnlyAreNamedAsSuch) {
  for (const char* file : {"control.txt", "temp.dat"}) {
    Basin basin(std::string("badinput_cr_") + file);
    std::string text = ReadFile(basin.dir / file);
    std::replace(text.begin(), text.end(), '\n', '\r');
    WriteFile(basin.dir / file, text);
    const auto r = basin.Run();
    EXPECT_NE(r.exitCode, 0) << file;
    EXPECT_TRUE(Has(r.output, "the file has CR-only line ends: save it with LF or CR LF line ends")) << r.output;
  }
}

TEST(BadInput, AStatisticsPeriodThatTheRunEndsInsideIsWrittenAsAPartialLine) {
  // Precipitation is 1 mm in every hour of 1 January and 0.5 mm on 2 January
  // everywhere; daily sums (code 4024) of a run that ends on 2 January at
  // 6 h: the whole first day, then the six hours of the second, marked.
  Basin basin("badinput_partial");
  basin.Edit("control.txt", "precipitation.stat 2001", "precipitation.stat 4024");
  basin.Edit("control.txt", "24        end hour\n2         end day", "6         end hour\n2         end day");
  const auto r = basin.Run();
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const auto lines = basin.StatLines("precipitation.stat");
  ASSERT_EQ(lines.size(), 2u) << ReadFile(basin.dir / "out/precipitation.stat");
  EXPECT_EQ(lines[0], (std::vector<std::string>{"2001", "1", "1", "24", "24.000", "24.000", "24.000", "24.000"}));
  EXPECT_EQ(lines[1], (std::vector<std::string>{"2001", "1", "2", "6", "3.000", "3.000", "3.000", "3.000", "#",
                                                "partial:", "6", "of", "24", "steps"}));
  // The hourly file of the same run holds every step, none marked.
  EXPECT_EQ(basin.StatLines("temperature.stat").size(), 30u);
  EXPECT_FALSE(Has(ReadFile(basin.dir / "out/temperature.stat"), "partial"));
}

TEST(BadInput, ReadersOfTheControlFileNameTheUsersFileAndLine) {
  struct Case {
    const char* from;
    const char* to;
    int code;
    const char* what;
    int lineOffset;  // of the line named, from the first line of the edit; -1: no line is named
  };
  // The symbol definition of line 3 is not in the preprocessed copy, so its
  // line numbers differ from the user's.
  const Case cases[] = {
      {"[soil_table]\n0\n", "", 17, "the section [soil_table] is missing in the control file control.txt", -1},
      {"[landuse_table]\n0\n", "[landuse_table]\n1\n\n", 29,
       "landuse table: entry 1 of 1 of [landuse_table] is missing: expected a table block", 2},
      {"[soil_table]\n0\n", "[soil_table]\n1\n[precipitation_correction]\n", 30,
       "soil table: entry 1 of 1 of [soil_table] is missing: expected a table block", 2},
      {"[irrigation]\n0\n$time\n", "[irrigation]\n1\n$time\n\n[irrigation_table]\n-1\n", 29,
       "the number of irrigation codes in [irrigation_table] (", 5},
      {"[special_output]\n", "[soil_surface_groundwater_substeps]\n0\n\n[special_output]\n", 17,
       "the sub step counter in [soil_surface_groundwater_substeps] (", 1},
      {"[special_output]\n", "[SpinUp]\n1\n0\n1\n-1\n\n[special_output]\n", 17, "numGrids in [SpinUp] (", 4},
  };
  int i = 0;
  for (const Case& k : cases) {
    Basin basin("badinput_where" + std::to_string(i++));
    const int line = basin.Edit("control.txt", k.from, k.to);
    const auto r = basin.Run();
    EXPECT_EQ(r.exitCode, k.code) << k.to << r.output;
    EXPECT_TRUE(Has(r.output, k.what)) << k.to << r.output;
    if (k.lineOffset >= 0) {
      EXPECT_TRUE(Has(r.output, "control file control.txt, line " + std::to_string(line + k.lineOffset)))
          << k.to << r.output;
    }
    EXPECT_FALSE(Has(r.output, "$$$")) << k.to << r.output;
  }
}

namespace {

// A copy of the example basin run for one day, with the edits applied to its
// control file; files (here: a grid the generator wrote) may be spoilt after.
struct ExampleCopy {
  ExampleCopy(const std::string& name, const fluvextest::Edits& edits) : dir(name) {
    fluvextest::Edits all = edits;
    all.push_back({"24        end hour\n31        end day\n12        end month",
                   "24        end hour\n1         end day\n1         end month"});
    prepared = fluvextest::PrepareExample(FLUVEX_EXAMPLE_DIR, dir.path(), all);
  }
  std::string Control() const { return ReadFile(dir / "control.txt"); }
  // Line of the user's control file on which text starts, its first or its
  // last occurrence (0: not found).
  int LineOf(const std::string& text, bool last = false) const {
    const std::string control = Control();
    const size_t at = last ? control.rfind(text) : control.find(text);
    return at == std::string::npos ? 0 : LineAt(control, at);
  }
  static int LineAt(const std::string& control, size_t at) {
    return 1 + static_cast<int>(std::count(control.begin(), control.begin() + long(at), '\n'));
  }
  TempDir dir;
  std::string prepared;
};

// A line of the example's control file spoilt (from -> to): the set-up ends
// with the code and the text what, naming the line that holds to (its last
// occurrence when last).
struct SpoiltLine {
  const char* from;
  const char* to;
  int code;
  const char* what;
};

void ExpectFatalAtItsLine(const std::string& name, const SpoiltLine& k, bool last) {
  ExampleCopy copy(name, {{k.from, k.to}});
  ASSERT_EQ(copy.prepared, "");
  const int line = copy.LineOf(k.to, last);
  ASSERT_GT(line, 0) << k.to;
  const auto r = RunFluvex("control.txt", copy.dir.path());
  EXPECT_EQ(r.exitCode, k.code) << k.to << "\n" << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
  EXPECT_TRUE(Has(r.output, k.what)) << k.to;
  EXPECT_TRUE(Has(r.output, "control file control.txt, line " + std::to_string(line))) << k.to << ": line " << line;
  EXPECT_FALSE(Has(r.output, "$$$")) << k.to;
}

}  // namespace

// Copies of the example basin, each with one value of its land-use or soil
// table out of its physical range, run for one day: each stops at set-up with
// the table, the entry's code, the key and the value, and the lines of the
// entry in the user's control file.
TEST(BadInput, TableValuesOutOfTheirRangeAreFatalWithTheEntryKeyAndValue) {
  struct Case {
    const char* from;
    const char* to;
    int code;
    const char* header;  // first line of the entry, to find its lines
    const char* what;
    const char* also = "";  // a second text of the entry
  };
  const Case cases[] = {
      {"ksat = 2.89e-6 2.89e-6 2.89e-6", "ksat = 2.89e-6 nan 2.89e-6", 29, "2 loam method",
       "Soil table code 2: some values could not be read",
       "layer 4 (horizon 2): ksat = nan: it has to be a number of 0 or more"},
      {"ksat = 1.23e-5 1.23e-5 1.23e-5", "ksat = -1.23e-5 1.23e-5 1.23e-5", 29, "3 sandy_loam method",
       "layer 1 (horizon 1): ksat = -1.23e-05: it has to be a number of 0 or more"},
      {"alpha = 7.5 7.5 7.5", "alpha = 7.5 7.5 0", 29, "3 sandy_loam method",
       "layer 8 (horizon 3): alpha = 0: it has to be greater than 0"},
      {"theta_sat = 0.41 0.41 0.41", "theta_sat = 0.41 1.41 0.41", 29, "3 sandy_loam method",
       "layer 4 (horizon 2): theta_sat = 1.41: a water content has to be a number of at most 1"},
      {"theta_res = 0.065 0.065 0.065", "theta_res = -0.065 0.065 0.065", 29, "3 sandy_loam method",
       "layer 1 (horizon 1): theta_res = -0.065: a water content has to be a number of 0 or more"},
      {"Albedo = 0.20 0.20 0.20 0.20 0.20", "Albedo = 0.20 0.20 1.20 0.20 0.20", 29, "1 grassland method",
       "Albedo = 1.2 (fixpoint 3 of 5): it has to lie within 0 ... 1"},
      {"Z0 = 1.0 1.0 1.5 1.5 1.0", "Z0 = 1.0 1.0 1.5 1.5 -1.0", 29, "2 mixed_forest method",
       "landuse table code 2: some values could not be read", "Z0 = -1 (fixpoint 5 of 5): it has to be 0 or more"},
      {"rsc = 150 150 150 150 150", "rsc = 150 -150 150 150 150", 29, "3 settlement method",
       "rsc = -150 (fixpoint 2 of 5): it has to be 0 or more"},
      {"IntercepCap = 0.3;", "IntercepCap = nan;", 29, "1 grassland method",
       "IntercepCap = nan: it has to be a number"},
      {"JulDays = 15 110 140 280 310", "JulDays = 15 140 110 280 310", 29, "2 mixed_forest method",
       "\"JulDays\": day 110 (fixpoint 3 of 5) comes before the day 140 before it"},
      {"RootDist = 1.0; TReduWet = 0.95; LimitReduWet = 0.5; HReduDry = 3.45; IntercepCap = 0.2",
       "RootDist = nan; TReduWet = 0.95; LimitReduWet = 0.5; HReduDry = 3.45; IntercepCap = 0.2", 29,
       "3 settlement method", "RootDist = nan: it has to be a number"},
  };
  int i = 0;
  for (const Case& k : cases) {
    ExampleCopy copy("badinput_table" + std::to_string(i++), {{k.from, k.to}});
    ASSERT_EQ(copy.prepared, "");
    // The lines of the entry: from its header to its closing brace.
    const std::string control = copy.Control();
    const size_t head = control.find(k.header);
    ASSERT_NE(head, std::string::npos) << k.header;
    const std::string lines = "control file control.txt, lines " + std::to_string(ExampleCopy::LineAt(control, head)) +
                              "-" + std::to_string(ExampleCopy::LineAt(control, control.find('}', head)));
    const auto r = RunFluvex("control.txt", copy.dir.path());
    EXPECT_EQ(r.exitCode, k.code) << k.to << "\n"
                                  << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
    EXPECT_TRUE(Has(r.output, k.what)) << k.to;
    EXPECT_TRUE(Has(r.output, k.also)) << k.to << ": " << k.also;
    EXPECT_TRUE(Has(r.output, k.to)) << k.to << ": the entry's text";
    EXPECT_TRUE(Has(r.output, lines)) << k.to << ": " << lines;
    EXPECT_FALSE(Has(r.output, "$$$")) << k.to;
  }
}

// The snow model's scalars, the soil model's subbasin table and its other
// values: each out of its physical range (or no number) stops the set-up with
// the code, the key, the value and the line of the user's control file.
TEST(BadInput, ProcessModuleValuesOutOfTheirRangeAreFatalAtTheirLine) {
  const SpoiltLine cases[] = {
      {"2.5       C0:", "-2.5      C0:", 17, "C0 for snow_model: -2.5 (control file control.txt, line "},
      {"0.1       CWH:", "1.01      CWH:", 17, "CWH for snow_model: 1.01 ("},
      {"1.0       transzone:", "-0.5      transzone:", 17, "transzone for snow_model: -0.5 ("},
      {"0.05      CRFR:", "-0.05     CRFR:", 17, "CRFR for snow_model: -0.05 ("},
      {"3.0       RMFMAX", "0.5       RMFMAX", 17, "RMFMAX for snow_model: 0.5 ("},
      {"0.45      ALBsnow_min", "-0.1      ALBsnow_min", 17, "ALBsnow_min for snow_model: -0.1 ("},
      {"1         method: degree-day", "15        method: degree-day", 17, "method for snow_model: 15 ("},
      {"0.0015 0.0015 0.0015   channel", "0.0015 0.0015 -0.0015   channel", 10,
       "channel network density[3] = -0.0015 in the section [unsatzon_model] ("},
      {"0 0 0   SnowRunoff", "0 0 1.5   SnowRunoff", 10, "SnowRunoff_fraction[3] = 1.5 in the section"},
      // No number: the word read is named with its line.
      {"48 48 48   kelsqi", "48 nan 48   kelsqi", 10, "error reading kelsqi[2] for unsatzon_model"},
      {"2.5       initial groundwater", "0         initial groundwater", 17,
       "ini_gw_level  0.000000 of unsatzon_model ("},
      {"4         method: one receiver", "7         method: one receiver", 10,
       "invalid method (7) read for SurfaceRoutingModel"},
  };
  int i = 0;
  for (const SpoiltLine& k : cases) ExpectFatalAtItsLine("badinput_module" + std::to_string(i++), k, false);
}

// Without the soil model the modules that route its water name its section,
// not the first of its grids they miss.
TEST(BadInput, AMissingSoilModelIsNamedByTheModulesThatNeedIt) {
  const std::string head = "[unsatzon_model]\n1\n$step\n";
  ExampleCopy copy("badinput_nosoil", {{head, "[unsatzon_model]\n0\n$step\n"}});
  ASSERT_EQ(copy.prepared, "");
  auto r = RunFluvex("control.txt", copy.dir.path());
  EXPECT_EQ(r.exitCode, 33) << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
  EXPECT_TRUE(Has(r.output,
                  "the surface routing routes the runoff of the soil model, which is off: the section "
                  "[unsatzon_model] is missing in the control file control.txt or its flow control is 0"))
      << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
  EXPECT_FALSE(Has(r.output, "directflow not found in memory"));
  // Without surface routing the groundwater model is the first to miss it.
  ExampleCopy gw("badinput_nosoil_gw", {{head, "[unsatzon_model]\n0\n$step\n"},
                                        {"[SurfaceRoutingModel]\n1\n", "[SurfaceRoutingModel]\n0\n"}});
  ASSERT_EQ(gw.prepared, "");
  r = RunFluvex("control.txt", gw.dir.path());
  EXPECT_EQ(r.exitCode, 33) << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
  EXPECT_TRUE(Has(r.output,
                  "the groundwater model is coupled to the soil model, which is off: the section "
                  "[unsatzon_model] is missing in the control file control.txt"))
      << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
}

// Copies of the example basin, each with one value of its routing section
// spoilt: each stops at set-up naming the element, the key or value and the
// line of the user's control file that holds it.
TEST(BadInput, RoutingValuesOfTheExampleOutOfRangeAreFatalAtTheirLine) {
  const SpoiltLine cases[] = {
      {"L = 9536, AE = 492)", "L = 9536, AE = -492)", 17, "TG 3, channel of OL 1: AE = -492 is not valid"},
      {"Mh = 30, Mv = 20, I = 0.0005, L = 9536, AE = 529)", "Mh = 30, Mv = 20, I = nan, L = 9536, AE = 529)", 17,
       "TG 3, channel of OL 2: I = nan is not valid"},
      {"OL 2 (kh", "OL 1 (kh", 41, "subbasin 1 is listed twice as a tributary of subbasin 3"},
      {"abstraction_1.txt 1.0 0.5 0.5 m3/s", "abstraction_1.txt 1.0 1.5 0.5 m3/s", 17,
       "the share 1.5 of abstraction 1 has to lie within 0 ... 1"},
      {"55e6  15   8", "55e6  15   -8", 34, "\"-8\" in row 4, column 2, of the rule table is negative"},
  };
  // The last occurrence: a tributary listed twice is named at its second listing.
  int i = 0;
  for (const SpoiltLine& k : cases) ExpectFatalAtItsLine("badinput_routing" + std::to_string(i++), k, true);
}
