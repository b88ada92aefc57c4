#include "framework/diagstream.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/testutil.h"

using fluvextest::CountOf;
using fluvextest::ReadFile;
using fluvextest::TempDir;

namespace {

// Lines of the XML file between the start line and the finished line.
std::string Body(const std::string& xml) {
  const size_t start = xml.find("Fluvex start at");
  const size_t bodyStart = xml.find('\n', start) + 1;
  const size_t end = xml.find("\t<line level=\"3\" description= \"Fluvex finished at");
  return xml.substr(bodyStart, end - bodyStart);
}

}  // namespace

TEST(DiagStream, FileNameTakesRankAndKeepsDirectories) {
  EXPECT_EQ(DiagStream::RankFileName("", 0), "Fluvex_Diag_0.xml");
  EXPECT_EQ(DiagStream::RankFileName("out/run.xml", 3), "out/run_3.xml");
  EXPECT_EQ(DiagStream::RankFileName("a.b.c", 1), "a.b_1.xml");
  // A dot in a directory name does not cut the path.
  EXPECT_EQ(DiagStream::RankFileName("../run/diag", 0), "../run/diag_0.xml");
  EXPECT_EQ(DiagStream::LevelFromName("INFO"), 3);
  EXPECT_EQ(DiagStream::LevelFromName("VERBOSE"), 4);
  EXPECT_EQ(DiagStream::LevelFromName(""), 4);
}

TEST(DiagStream, EntriesReachConsoleAndFileByLevelAndPrefix) {
  if (fluvextest::MpiRank() != 0) GTEST_SKIP() << "console and file are written by rank 0";
  TempDir dir("diag_levels");
  std::ostringstream quiet, console;
  {
    // Level 2: INFO only on the console; XML characters escaped, line ends as ";".
    DiagStream diag(dir / "q.xml", 2, &quiet);
    diag << "INFO: hidden in file"
         << "[end-entry]";
    diag << "WARNING: shown " << 42 << " & <b> 'q' \"x\"\nnext"
         << "[end-entry]";
    diag << "-------- error --------"
         << "[end-entry]";
    diag << "SKIP: menu text"
         << "[end-entry]";
    // A message that begins on its next line, also in a later insertion:
    // the file keeps its text, the console has no line with the level word only.
    diag << "FATAL: \n-----x\nsecond"
         << "[end-entry]";
    diag << "ERROR: "
         << " \n"
         << "\nthird\n"
         << "[end-entry]";
  }
  const std::string xml = ReadFile(dir / "q_0.xml");
  EXPECT_EQ(Body(xml),
            "\t<line level=\"2\" description= \"shown 42 &amp; &lt;b&gt; &apos;q&apos; &quot;x&quot;;next\"/>\n"
            "\t<line level=\"0\" description= \";--x;second\"/>\n"
            "\t<line level=\"1\" description= \" ;;third;\"/>\n");
  for (const char* text :
       {"hidden in file\n(mpi-rank  0) WARNING: shown 42", "-------- error --------", "\n(mpi-rank  0) menu text",
        "\n(mpi-rank  0) FATAL: -----x\nsecond\n(mpi-rank  0) ERROR: third\n\n(mpi-rank  0) "})
    EXPECT_NE(quiet.str().find(text), std::string::npos) << text << "\n" << quiet.str();
  EXPECT_EQ(xml.rfind("</Diag>\n"), xml.size() - 8);
  {
    // A prefix starts a new element; values without one open a DEBUG entry.
    DiagStream diag(dir / "d.xml", 4, &console);
    diag << "INFO: first"
         << "WARNING: second"
         << "[end-entry]";
    diag << 7 << " apples"
         << "[end-entry]";
    diag << "-------- error --------"
         << "[end-entry]";
    // Quiet: the DEBUG entries go nowhere, the others as always.
    diag.QuietDebug(true);
    diag << "write quiet.stat"
         << "(" << 64 << " of 2097152 buffer-bytes)"
         << "[end-entry]";
    diag << "WARNING: loud"
         << "[end-entry]";
    diag << "DEBUG: hidden"
         << "[end-entry]";
    diag.QuietDebug(false);
    diag << "[end-entry]";
    diag << "DEBUG: left open";
  }
  EXPECT_EQ(Body(ReadFile(dir / "d_0.xml")),
            "\t<line level=\"3\" description= \"first\"/>\n"
            "\t<line level=\"2\" description= \"second\"/>\n"
            "\t<line level=\"4\" description= \"7 apples\"/>\n"
            "\t<line level=\"4\" description= \"-- error --\"/>\n"
            "\t<line level=\"2\" description= \"loud\"/>\n"
            "\t<line level=\"4\" description= \"\"/>\n"
            "\t<line level=\"4\" description= \"left open\"/>\n");
  // Both texts of the first entry on one console line; only the level words
  // of FATAL, ERROR and WARNING stay.
  EXPECT_EQ(console.str().substr(0, 26), "firstWARNING: second\n(mpi-");
  EXPECT_EQ(CountOf(console.str(), "(mpi-rank  0) "), 5);
  EXPECT_NE(console.str().find("-------- error --------\n(mpi-rank  0) WARNING: loud\n(mpi-rank  0) \n"),
            std::string::npos)
      << console.str();
  for (const char* hidden : {"quiet.stat", "64", "hidden"})
    EXPECT_EQ(console.str().find(hidden), std::string::npos) << hidden;
}

TEST(DiagStream, UnwritableFileFallsBackToDefaultName) {
  if (fluvextest::MpiRank() != 0) GTEST_SKIP();
  TempDir dir("diag_fallback");
  std::ostringstream console;
  {
    DiagStream diag(dir / "no/such/dir/d.xml", 4, &console);
    EXPECT_EQ(diag.FileName(), "Fluvex_Diag.xml");
  }
  EXPECT_NE(console.str().find("error opening diagnostics output file"), std::string::npos);
  std::remove("Fluvex_Diag.xml");
}

TEST(DiagStream, EveryRankWritesItsOwnFileOnlyRankZeroTheConsole) {
  std::ostringstream console;
  TempDir dir("diag_ranks");
  {
    DiagStream diag(dir / "r.xml", 4, &console);
    diag << "FATAL: found on rank " << fluvextest::MpiRank() << "[end-entry]";
  }
  const std::string own = ReadFile(dir / "r_" + std::to_string(fluvextest::MpiRank()) + ".xml");
  EXPECT_NE(own.find("<line level=\"0\" description= \"found on rank " + std::to_string(fluvextest::MpiRank())),
            std::string::npos);
  EXPECT_EQ(console.str().empty(), fluvextest::MpiRank() != 0);
}
