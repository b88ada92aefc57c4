#include "application/symbols.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/diagcapture.h"

using fluvextest::CountOf;
using fluvextest::DiagCapture;
using fluvextest::FileExists;
using fluvextest::ReadFile;
using fluvextest::WriteFile;

namespace {

class SymbolsTest : public ::testing::Test {
 protected:
  SymbolsTest() : diag("symbols"), symbols(diag.get()) {}
  std::string Control(const std::string& content) {
    const std::string name = diag.Dir() / "run.ctl";
    WriteFile(name, content);
    return name;
  }
  // The error code of preprocessing content, 0 when it succeeds.
  int CodeOf(const std::string& content) {
    try {
      symbols.CompileSymbols(Control(content));
    } catch (int code) {
      return code;
    }
    return 0;
  }
  DiagCapture diag;
  SymbolPreprocessor symbols;
};

TEST_F(SymbolsTest, GoldenFiles) {
  for (const char* name : {"substitute", "duplicates", "plain"}) {
    const std::string source = std::string(FLUVEX_TEST_DATA) + "/symbols/" + name;
    const std::string control = diag.Dir() / (std::string(name) + ".ctl");
    std::filesystem::copy_file(source + ".ctl", control);
    EXPECT_EQ(symbols.CompileSymbols(control), control + ".$$$");
    EXPECT_EQ(ReadFile(control + ".$$$"), ReadFile(source + ".expected")) << name;
    EXPECT_NE(diag.Console().find("compiling symbols in control file " + control + "\n"), std::string::npos);
  }
  // Equal text values warn once per earlier equal symbol; numbers and texts
  // holding "inf" or "nan" are not compared.
  EXPECT_EQ(CountOf(diag.Console(), "is the same as symbol"), 1);
  EXPECT_NE(diag.Console().find("content of symbol $a is the same as symbol $b, \n (which is: first)."),
            std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 0);

  EXPECT_EQ(CodeOf(""), 0);
  EXPECT_EQ(ReadFile(diag.Dir() / "run.ctl.$$$"), "");
  EXPECT_EQ(SymbolPreprocessor::PreprocessedName("run.ctl"), "run.ctl.$$$");
}

TEST_F(SymbolsTest, UndefinedSymbolsNameTheirLine) {
  EXPECT_EQ(CodeOf("$set $a = 1\n[s]\n$missing value\n"), 17);
  EXPECT_NE(diag.Console().find("FATAL: -----------------------------------------------------------\npossible error in "
                                "control file!\nundefined symbol at line 3:\n $missing value\n\n\n"
                                "-----------------------------------------------------------\n"),
            std::string::npos);
  // In a definition: a symbol is known only after its own line.
  EXPECT_EQ(CodeOf("$set $b = $a//x\n$set $a = 1\n"), 17);
  EXPECT_NE(diag.Console().find("undefined symbol at line 1:\n$a//x\n"), std::string::npos);
  // Without any definition, and for commented-out definitions.
  EXPECT_EQ(CodeOf("[s]\ncost 5$\n"), 17);
  EXPECT_EQ(CodeOf("# $set $a = 1\n  # $set $b = 2\nx $set $c = 3\n$a\n"), 17);
  EXPECT_NE(diag.Console().find("undefined symbol at line 4:\n $a\n"), std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 4);
}

TEST_F(SymbolsTest, SymbolsReferringToThemselvesAreErrors) {
  EXPECT_EQ(CodeOf("$set $a = x$a\n"), 17);
  EXPECT_NE(
      diag.Console().find("symbol $a at line 1 of the control file " + (diag.Dir() / "run.ctl") + " refers to itself"),
      std::string::npos);
  EXPECT_EQ(CodeOf("$set $a = $a\n"), 17);
  // A value holding "$set" is kept unsubstituted, so a later symbol can close a loop.
  EXPECT_EQ(CodeOf("$set $a = $b//$set\n$set $b = $a\n"), 17);
  EXPECT_NE(diag.Console().find("symbol $a at line 2"), std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 3);

  // A redefinition refers to the first definition: no loop.
  EXPECT_EQ(CodeOf("$set $p = /a/\n$set $p = $p//b/\n$p $p $p\n"), 0);
  EXPECT_EQ(ReadFile(diag.Dir() / "run.ctl.$$$"), "/a/ /a/ /a/\n");
}

TEST_F(SymbolsTest, LimitsOfTheTableAndTheLines) {
  std::string table;
  for (int i = 1; i <= 1999; ++i) table += "$set $s" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  EXPECT_EQ(CodeOf(table + "$s1999\n"), 0);
  EXPECT_EQ(ReadFile(diag.Dir() / "run.ctl.$$$"), "1999\n");
  EXPECT_EQ(CodeOf(table + "$set $s2000 = 2000\n"), 17);
  EXPECT_NE(diag.Console().find("more than 1999 symbols"), std::string::npos);

  const std::string v150(150, 'v');
  EXPECT_EQ(CodeOf("$set $" + std::string(299, 'n') + " = 1\n"), 17);
  EXPECT_EQ(CodeOf("$set $a = " + std::string(300, 'v') + "\n"), 17);
  EXPECT_EQ(CodeOf("$set $a = " + v150 + "\n$set $b = $a//$a\n"), 17);
  EXPECT_NE(diag.Console().find("the value of symbol $b at line 2 of the control file " + (diag.Dir() / "run.ctl") +
                                " is longer than 299 characters after substitution"),
            std::string::npos);
  EXPECT_EQ(CodeOf("$set $a = " + std::string(299, 'v') + "\n"), 0);

  // Lines: at most 1200 characters, read and after substitution.
  EXPECT_EQ(CodeOf("[s]\n" + std::string(1200, 'x') + "\n"), 0);
  EXPECT_EQ(CodeOf("[s]\n" + std::string(1201, 'x') + "\n"), 17);
  EXPECT_NE(
      diag.Console().find("line 2 of the control file " + (diag.Dir() / "run.ctl") + " is longer than 1200 characters"),
      std::string::npos);
  EXPECT_EQ(CodeOf("$set $a = " + v150 + "\n" + std::string(1100, 'x') + " $a\n"), 17);
  EXPECT_NE(diag.Console().find("line 2 of " + (diag.Dir() / "run.ctl") +
                                " is longer than 1200 characters after symbol substitution"),
            std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 6);
}

TEST_F(SymbolsTest, FilesThatCannotBeOpened) {
  const std::string missing = diag.Dir() / "none.ctl";
  try {
    symbols.CompileSymbols(missing);
    ADD_FAILURE();
  } catch (int code) {
    EXPECT_EQ(code, 28);
  }
  EXPECT_NE(diag.Console().find("error opening " + missing + "\n"), std::string::npos);
  EXPECT_FALSE(FileExists(missing + ".$$$"));

  // The copy cannot be created where a directory has its name.
  std::filesystem::create_directory(diag.Dir() / "run.ctl.$$$");
  EXPECT_EQ(CodeOf("[s]\n"), 28);
  EXPECT_NE(diag.Console().find("error opening " + (diag.Dir() / "run.ctl.$$$") + "\n"), std::string::npos);
  EXPECT_EQ(diag.FatalEntries(), 2);
}

TEST_F(SymbolsTest, ReplaceSymbolsEditsOneText) {
  const std::vector<std::string> names = {"", "$a", "$ab", "$e"};
  const std::vector<std::string> values = {"", "x", "yy", ""};
  std::string t = " $a; $ab $a//z $e;|";
  EXPECT_EQ(symbols.ReplaceSymbols(t, 1, names, values, 3), " x; yy xz ;|");
  t = "a///b////c";
  EXPECT_EQ(symbols.ReplaceSymbols(t, 1, names, values, 3), "a/bc");
  t = " $set $q = $a # note";
  EXPECT_EQ(symbols.ReplaceSymbols(t, 1, names, values, 3), " $set $q = $a\n");
  t = " 1400# upper limit\n";  // a comment right after a value keeps the value whole
  EXPECT_EQ(symbols.ReplaceSymbols(t, 1, names, values, 3), " 1400\n");
  t = "#$a";
  EXPECT_EQ(symbols.ReplaceSymbols(t, 1, names, values, 3), "#x");  // a "#" at the start cuts nothing
  t = " $ab";
  EXPECT_THROW(symbols.ReplaceSymbols(t, 1, names, values, 1), int);  // only symbols 1 ... count are known
}

}  // namespace
