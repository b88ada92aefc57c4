#include "framework/controlfile.h"

#include <gtest/gtest.h>

#include "framework/modelobject.h"
#include "tests/framework/codeof.h"
#include "tests/support/diagcapture.h"

using fluvextest::DiagCapture;
using fluvextest::WriteFile;

namespace {

// A model object reading its own control file, as sub-models do.
class Reader : public modelobject {
 public:
  Reader(DiagStream* d, const std::string& file) : modelobject(d, file, 0, ModelObjectArgs{}) {
    modulname = "snow_model";
    controlfile.Open(file, d);
  }
  using modelobject::controlfile;
};

class ControlFileTest : public ::testing::Test {
 protected:
  ControlFileTest() : diag("controlfile") {}
  std::unique_ptr<Reader> Make(const std::string& content) {
    const std::string file = diag.Dir() / "run.ctl";
    WriteFile(file, content);
    return std::make_unique<Reader>(diag.get(), file);
  }
  DiagCapture diag;
  std::string rest;
};

TEST_F(ControlFileTest, SectionHeaderMustBeTheWholeFirstWordOfALine) {
  auto r = Make("[ab]\n[a]x\nsee [a]\n  [a]   header comment\n5\n");
  EXPECT_EQ(r->FindSection("[a]", false), 1);
  int v = 0;
  r->ReadValue(r->controlfile, "\t%d", &v, "value ", rest);
  EXPECT_EQ(v, 5);

  r = Make("[a]x 1\nsee [a]\n[ a]\n");
  EXPECT_EQ(r->FindSection("[a]", false), 0);
  EXPECT_EQ(diag.FatalEntries(), 0);
  EXPECT_EQ(CodeOf([&] { r->FindSection("[a]", true); }), 17);
  EXPECT_NE(diag.Console().find("error in control file, [a]; (EOF) not found!"), std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 1);

  // The search starts at the top again, and CR LF line ends are blank space.
  r = Make("[b]\r\n1\r\n[a]\r\n2\r\n");
  EXPECT_EQ(r->FindSection("[a]", true), 1);
  EXPECT_EQ(r->FindSection("[b]", true), 1);
  r->ReadValue(r->controlfile, "\t%d", &v, "value ", rest);
  EXPECT_EQ(v, 1);

  // A header on the last line without a line end is taken as not found.
  r = Make("x\n[a]");
  EXPECT_EQ(r->FindSection("[a]", false), 0);
  r = Make("x\n[a]\n");
  EXPECT_EQ(r->FindSection("[a]", false), 1);
}

TEST_F(ControlFileTest, ValuesArePositionalAndTheRestOfALineIsAComment) {
  auto r = Make("[s]\n1.5\tfirst value\n\n7 second, after an empty line\n8 9 pair\nname.txt file\n");
  ASSERT_EQ(r->FindSection("[s]", true), 1);
  double x = 0;
  int i = 0;
  int j = 0;
  std::string word;
  EXPECT_EQ(r->ReadValue(r->controlfile, "\t%lf", &x, "x ", rest), 1);
  EXPECT_EQ(x, 1.5);
  EXPECT_EQ(rest, "\tfirst value");
  // The empty line is skipped like any blank space: values shift by one line.
  r->ReadValue(r->controlfile, "\t%d", &i, "i ", rest);
  EXPECT_EQ(i, 7);
  EXPECT_EQ(rest, " second, after an empty line");
  EXPECT_EQ(r->ReadValues2(r->controlfile, "\t%d %d", &i, &j, "pair ", rest), 2);
  EXPECT_EQ(i * 10 + j, 89);
  r->ReadValue(r->controlfile, "%s", &word, "file ", rest);
  EXPECT_EQ(word, "name.txt");
  EXPECT_EQ(diag.FatalEntries(), 0);
}

TEST_F(ControlFileTest, UnreadableValuesReportTheNextWordAndThrow17) {
  auto r = Make("[s]\n3\n");
  ASSERT_EQ(r->FindSection("[s]", true), 1);
  int v = 0;
  r->ReadValue(r->controlfile, "\t%d", &v, "flow control parameter for ", rest);
  // At the end of the file the reported word is empty.
  EXPECT_EQ(CodeOf([&] { r->ReadValue(r->controlfile, "\t%d", &v, "time interval for ", rest); }), 17);
  EXPECT_NE(diag.Console().find("--> In .\n  Next line in Fluvex control file: \n(mpi-rank  0) \n(mpi-rank  0) FATAL: "
                                "error in control file, time interval for ; snow_model not found!"),
            std::string::npos);

  r = Make("[s]\nabc 4\n");
  r->FindSection("[s]", true);
  EXPECT_EQ(CodeOf([&] { r->ReadValue(r->controlfile, "\t%d", &v, "count ", rest); }), 17);
  EXPECT_NE(diag.Console().find("Next line in Fluvex control file: \n(mpi-rank  0) abc\n"), std::string::npos);

  // Numbers beyond the range of their target are not wrapped or made infinite.
  r = Make("[s]\n3000000000\n1e999\n");
  r->FindSection("[s]", true);
  EXPECT_EQ(CodeOf([&] { r->ReadValue(r->controlfile, "\t%d", &v, "count ", rest); }), 17);
  double x = 0;
  r->FindSection("[s]", true);
  r->controlfile.RestOfLine(rest);
  EXPECT_EQ(CodeOf([&] { r->ReadValue(r->controlfile, "\t%lf", &x, "x ", rest); }), 17);

  // Two values: no "Next line" report.
  r = Make("[s]\n4 x\n");
  r->FindSection("[s]", true);
  int w = 0;
  EXPECT_EQ(CodeOf([&] { r->ReadValues2(r->controlfile, "\t%d %d", &v, &w, "pair ", rest); }), 17);
  EXPECT_NE(diag.Console().find("(mpi-rank  0) FATAL: error in control file, pair ; snow_model not found!"),
            std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 5);
}

TEST_F(ControlFileTest, OverlongLinesAreErrorsNamingLineAndSection) {
  const std::string longest(1200, '7');
  auto r = Make("[s]\n" + longest + "\n" + longest + "8 comment\n");
  ASSERT_EQ(r->FindSection("[s]", true), 1);
  std::string word;
  r->ReadValue(r->controlfile, "%s", &word, "w ", rest);
  EXPECT_EQ(word, longest);
  EXPECT_EQ(CodeOf([&] { r->ReadValue(r->controlfile, "%s", &word, "w ", rest); }), 17);
  EXPECT_NE(diag.Console().find("line 3 of the control file " + (diag.Dir() / "run.ctl") +
                                " is longer than 1200 characters (reading section [s])"),
            std::string::npos);
  // The section search over such a line fails the same way.
  EXPECT_EQ(CodeOf([&] { r->FindSection("[t]", false); }), 17);
  EXPECT_EQ(diag.FatalEntries(), 2);
}

TEST_F(ControlFileTest, FileErrorReports) {
  auto r = Make("");
  EXPECT_EQ(CodeOf([&] { r->WriteError("out.asc", 4); }), 18);
  EXPECT_EQ(CodeOf([&] { r->ReadError("in.asc", 5); }), 19);
  EXPECT_NE(diag.Console().find("write error out.asc ! (4)\n"), std::string::npos);
  EXPECT_NE(diag.Console().find("read error in.asc ! (5)\n"), std::string::npos);
  // A file that is not open reads as an empty one.
  Reader closed(diag.get(), diag.Dir() / "missing.ctl");
  EXPECT_EQ(closed.FindSection("[a]", false), 0);
  EXPECT_EQ(CodeOf([&] { closed.FindSection("[a]", true); }), 17);
  EXPECT_EQ(diag.FatalEntries(), 3);
}

}  // namespace
