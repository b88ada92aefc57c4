// The fluvex program started as a process: command line, banner, exit codes.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/testutil.h"

using fluvextest::CountOf;
using fluvextest::FileExists;
using fluvextest::ReadFile;
using fluvextest::RunCommand;
using fluvextest::RunFluvex;
using fluvextest::TempDir;

namespace {

void ExpectUsageAndAbort(const fluvextest::CommandResult& r) {
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_NE(r.output.find("FATAL: usage: fluvex <1-st cntrl-file>"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\n-dumpmode: if soil moisture"), std::string::npos);
  // A FATAL line begins with its level on the console too.
  EXPECT_NE(r.output.find(") FATAL: Exception 2 caught at top level!"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(") FATAL: Program aborted with exit code 2"), std::string::npos);
}

}  // namespace

TEST(ProgramEntry, NoArgumentGivesUsageAndExitCode2) {
  TempDir dir("entry_usage");
  ExpectUsageAndAbort(RunFluvex("", dir.path()));
  const std::string xml = ReadFile(dir / "Fluvex_Diag_0.xml");
  EXPECT_NE(xml.find("<line level=\"0\" description= \";usage: fluvex"), std::string::npos);
  EXPECT_NE(xml.find("<line level=\"0\" description= \"Program aborted with exit code 2\"/>"), std::string::npos);
  ExpectUsageAndAbort(RunFluvex("", dir.path(), 2));
}

TEST(ProgramEntry, OptionsOnlyEndNormallyWithAWellFormedDiagnosticsFile) {
  TempDir dir("entry_options");
  std::filesystem::create_directories(dir / "out");
  const auto r = RunFluvex("-diagfile:out/run.xml -diaglevel:info", dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("---------------------------------------------------------------------------"
                          "-\n(mpi-rank  0) Fluvex-Orvik (MPI) \n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("exitcode 0\n"), std::string::npos);
  ASSERT_TRUE(FileExists(dir / "out/run_0.xml"));
  EXPECT_EQ(RunCommand("xmllint --noout out/run_0.xml", dir.path()).exitCode, 0);
  const auto root =
      RunCommand("xmllint --xpath 'string(/*[local-name()=\"Diag\"]/@version)' out/run_0.xml", dir.path());
  EXPECT_EQ(root.output.substr(0, 3), "1.2");
  const std::string xml = ReadFile(dir / "out/run_0.xml");
  EXPECT_NE(xml.find("\t<line level=\"3\" description= \"Fluvex start at "), std::string::npos);
  EXPECT_NE(xml.find("\t<line level=\"3\" description= \"Fluvex finished at "), std::string::npos);
  // DEBUG entries (and entries without a prefix, such as "exitcode") stay out.
  EXPECT_EQ(xml.find("level=\"4\""), std::string::npos);
  EXPECT_EQ(xml.find("exitcode"), std::string::npos);

  // Any other level name, an empty one too, means every entry (DEBUG).
  for (const std::string level : {"verbose", ""}) {
    const auto other = RunFluvex("-diagfile:out/other.xml -diaglevel:" + level, dir.path());
    EXPECT_EQ(other.exitCode, 0) << level << "\n" << other.output;
    EXPECT_EQ(other.output.find("usage: fluvex"), std::string::npos) << level;
    EXPECT_NE(ReadFile(dir / "out/other_0.xml").find("<line level=\"4\" description= \"exitcode 0\"/>"),
              std::string::npos)
        << level;
  }

  // Without -diagfile the default name.
  const auto verbose = RunFluvex("-diaglevel:debug", dir.path());
  EXPECT_EQ(verbose.exitCode, 0);
  const std::string defaultXml = ReadFile(dir / "Fluvex_Diag_0.xml");
  EXPECT_EQ(RunCommand("xmllint --noout Fluvex_Diag_0.xml", dir.path()).exitCode, 0);
  EXPECT_NE(defaultXml.find("<line level=\"4\" description= \"exitcode 0\"/>"), std::string::npos);
}

TEST(ProgramEntry, FourInstancesReportThemselvesAndWriteOwnFiles) {
  TempDir dir("entry_mpi4");
  const auto r = RunFluvex("-diagfile:diag.xml", dir.path(), 4);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("this is the MPI-Version of Fluvex, here is instance 4 of 4"), std::string::npos);
  EXPECT_NE(r.output.find("OpenMP threads total for MPI process 3\n"), std::string::npos);
  // Entries reach the console from rank 0 only. mpirun forwards the
  // instances' output on its own schedule and need not deliver rank 0's last
  // write whole, so the console holds the closing entry at most once; every
  // instance's own file holds it once.
  EXPECT_EQ(CountOf(r.output, "Fluvex-Orvik (MPI)"), 1) << r.output;
  EXPECT_LE(CountOf(r.output, "o.k.\n\nthe end."), 1) << r.output;
  for (int rank = 0; rank < 4; ++rank) {
    const std::string name = "diag_" + std::to_string(rank) + ".xml";
    ASSERT_TRUE(FileExists(dir / name)) << name;
    EXPECT_EQ(RunCommand("xmllint --noout " + name, dir.path()).exitCode, 0) << name;
    EXPECT_EQ(CountOf(ReadFile(dir / name), "description= \"o.k.;;the end.\"/>"), 1) << name;
  }
}

TEST(ProgramEntry, ControlFileThatCannotBeOpenedIsFatal) {
  TempDir dir("entry_missing");
  const auto r = RunFluvex("no_such_control_file.txt", dir.path());
  EXPECT_EQ(r.exitCode, 28) << r.output;
  EXPECT_NE(r.output.find("error opening no_such_control_file.txt"), std::string::npos) << r.output;
  // An option is a whole argument: "-dumpmode" is no control file, a
  // control file whose name holds the word is one (and this one is missing).
  const auto dump = RunFluvex("my-dumpmode-file -dumpmode", dir.path());
  EXPECT_EQ(dump.exitCode, 28) << dump.output;
  EXPECT_NE(dump.output.find("error opening my-dumpmode-file"), std::string::npos) << dump.output;
  // A diagnostics level that is none of the names writes every entry, and says so.
  const auto level = RunFluvex("no_such_control_file.txt -diaglevel:WARN", dir.path());
  EXPECT_EQ(level.exitCode, 28) << level.output;
  EXPECT_NE(level.output.find("WARNING: the diagnostics level \"WARN\" is none of FATAL, ERROR, WARNING, INFO, DEBUG"),
            std::string::npos)
      << level.output;
}
