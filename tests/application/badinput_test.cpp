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
  // A year of hourly records: long enough to be stopped in the middle.
  auto year = [](const std::string& head, const char* value) {
    std::ostringstream f;
    f << head;
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= DaysInMonth(2001, m); ++d)
        for (int h = 1; h <= 24; ++h) f << "2001 " << m << " " << d << " " << h << " " << value << " " << value << "\n";
    return f.str();
  };
  const std::string head =
      "data\nYY MM DD HH 480 540\nYY MM DD HH 3500050 3500350\nYY MM DD HH 5200050 5200250\nnames\n";
  WriteFile(basin.dir / "temp.dat", year(head, "2.0"));
  WriteFile(basin.dir / "prec.dat", year(head, "0.5"));
  basin.Edit("control.txt", "2         end day\n1         end month", "31        end day\n12        end month");

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
    execl(FLUVEX_MPIRUN, FLUVEX_MPIRUN, "--oversubscribe", "-np", "1", FLUVEX_BINARY, "control.txt",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  // Two days of statistics on disk, then Ctrl-C.
  const std::string stat = basin.dir / "out/temperature.stat";
  bool started = false;
  for (int i = 0; i < 6000 && !started; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    started = fluvextest::FileExists(stat) && CountOf(ReadFile(stat), "\n") >= 3 + 48;
  }
  EXPECT_TRUE(started) << ReadFile(basin.dir / "console.txt");
  kill(-pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  const std::string console = ReadFile(basin.dir / "console.txt");
  EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "stopped, not finished\n" << console;
  // Whole days of hourly lines, every line complete, fewer than the year.
  const auto lines = basin.StatLines("temperature.stat");
  EXPECT_GE(lines.size(), 48u);
  EXPECT_LT(lines.size(), 8760u);
  EXPECT_EQ(lines.size() % 24, 0u) << lines.size();
  for (const auto& l : lines) ASSERT_EQ(l.size(), 8u);
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
  bool waiting = false;
  for (int i = 0; i < 6000 && !waiting; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    waiting = Has(ReadFile(dir / "console.txt"), "compiling symbols in control file control.txt");
  }
  EXPECT_TRUE(waiting) << ReadFile(dir / "console.txt");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
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
