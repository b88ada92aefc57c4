// Random control files for the section and value reader and for the symbol
// preprocessor: every input gives a result or an int error code after a FATAL
// entry, never a crash, a hang or a sanitizer report.
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <random>

#include "application/symbols.h"
#include "framework/diagstream.h"
#include "framework/modelobject.h"
#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

class Reader : public modelobject {
 public:
  Reader(DiagStream* d, const std::string& file) : modelobject(d, file, 0, ModelObjectArgs{}) {
    modulname = "fuzz";
    controlfile.Open(file, d);
  }
  using modelobject::controlfile;
};

// Builds inputs from pieces that matter to the readers, stray bytes and long runs.
class Generator {
 public:
  explicit Generator(unsigned seed) : rng(seed) {}
  std::string Input(bool symbols) {
    static const char* const pieces[] = {"[a]", "[a]x",   "[b]",   "\n",         "\n",         "\r\n", " ",   "\t",
                                         "12",  "-3.5e2", "1e999", "x",          "#",          "//",   ";",   "$",
                                         "$a",  "$b",     "$set ", "$set $a = ", "$set $b = ", " = ",  "inf", "nan"};
    std::string text;
    const int n = Uniform(0, 120);
    for (int i = 0; i < n; ++i) {
      const int kind = Uniform(0, 19);
      if (kind == 0) {
        text.push_back(static_cast<char>(Uniform(0, 255)));
      } else if (kind == 1) {
        text.append(Uniform(0, 1300), static_cast<char>("y/$ \n"[Uniform(0, 4)]));
      } else if (kind == 2 && symbols) {
        text += "\n$set $" + std::string(1, static_cast<char>('a' + Uniform(0, 3))) + " = ";
      } else {
        text += pieces[Uniform(0, static_cast<int>(std::size(pieces)) - 1)];
      }
    }
    return text;
  }
  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

 private:
  std::mt19937 rng;
};

// Counts FATAL entries written to the XML file since the last call.
class FatalCounter {
 public:
  explicit FatalCounter(std::string file) : name(std::move(file)) {}
  int New() {
    std::ifstream in(name, std::ios::binary);
    in.seekg(offset);
    const std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset += static_cast<std::streamoff>(tail.size());
    return fluvextest::CountOf(tail, "<line level=\"0\"");
  }

 private:
  std::string name;
  std::streamoff offset = 0;
};

constexpr int kInputs = 2500;

TEST(ControlFileFuzz, SectionsAndValuesOfRandomFiles) {
  TempDir dir("fuzz_reader");
  std::ostringstream console;
  DiagStream diag(dir / "d.xml", 4, &console);
  FatalCounter fatal(DiagStream::RankFileName(dir / "d.xml", fluvextest::MpiRank()));
  Generator gen(12345);
  int found = 0;
  int values = 0;
  int errors = 0;
  for (int i = 0; i < kInputs; ++i) {
    const std::string file = dir / "f.ctl";
    // Half of the inputs hold the section with values in front of the noise.
    std::string text = gen.Input(false);
    if (gen.Uniform(0, 1) == 1) text = "[a]\n" + std::to_string(gen.Uniform(-9, 99)) + " 2.5\n7\tx\n" + text;
    WriteFile(file, text);
    Reader reader(&diag, file);
    std::string rest;
    try {
      if (reader.FindSection("[a]", gen.Uniform(0, 1) == 1) != 1) continue;
      ++found;
      for (int k = 0; k < 6; ++k) {
        int n = 0;
        double x = 0;
        std::string word;
        switch (gen.Uniform(0, 3)) {
          case 0:
            reader.ReadValue(reader.controlfile, "\t%d", &n, "n ", rest);
            break;
          case 1:
            reader.ReadValue(reader.controlfile, "\t%lf", &x, "x ", rest);
            break;
          case 2:
            reader.ReadValue(reader.controlfile, "%s", &word, "word ", rest);
            break;
          default:
            reader.ReadValues2(reader.controlfile, "\t%d %lf", &n, &x, "pair ", rest);
        }
        ++values;
        ASSERT_LE(rest.size(), 1200u);
      }
    } catch (int code) {
      ++errors;
      ASSERT_EQ(code, 17) << "input " << i;
      ASSERT_EQ(fatal.New(), 1) << "input " << i;
    }
    ASSERT_EQ(fatal.New(), 0) << "input " << i;
    console.str("");
  }
  // The generator reaches every path: sections found, values read, errors.
  std::cout << found << " sections found, " << values << " values read, " << errors << " errors\n";
  EXPECT_GT(found, kInputs / 20);
  EXPECT_GT(values, kInputs / 20);
  EXPECT_GT(errors, kInputs / 20);
}

TEST(ControlFileFuzz, SymbolPreprocessingOfRandomFiles) {
  TempDir dir("fuzz_symbols");
  std::ostringstream console;
  DiagStream diag(dir / "d.xml", 4, &console);
  FatalCounter fatal(DiagStream::RankFileName(dir / "d.xml", fluvextest::MpiRank()));
  Generator gen(67890);
  SymbolPreprocessor symbols(&diag);
  int written = 0;
  int errors = 0;
  for (int i = 0; i < kInputs; ++i) {
    const std::string file = dir / "f.ctl";
    WriteFile(file, gen.Input(true));
    try {
      const std::string copy = symbols.CompileSymbols(file);
      ++written;
      // Every written line fits the readers' line buffer.
      const std::string text = ReadFile(copy);
      size_t start = 0;
      for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        ASSERT_LE(end - start, 1200u) << "input " << i;
      ASSERT_LE(text.size() - start, 1200u) << "input " << i;
    } catch (int code) {
      ++errors;
      ASSERT_EQ(code, 17) << "input " << i;
      ASSERT_EQ(fatal.New(), 1) << "input " << i;
    }
    ASSERT_EQ(fatal.New(), 0) << "input " << i;
    console.str("");
  }
  std::cout << written << " copies written, " << errors << " errors\n";
  EXPECT_GT(written, kInputs / 20);
  EXPECT_GT(errors, kInputs / 20);
}

}  // namespace
