// A control file in a temporary directory, opened for the table readers,
// with a diagnostics stream whose console output the tests read.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

class ControlFileFixture {
 public:
  ControlFileFixture(const std::string& name, const std::string& content) : dir(name) {
    fluvextest::WriteFile(dir / "control.ini", content);
    diag = std::make_unique<DiagStream>(dir / "diag.xml", 4, &console);
    EXPECT_TRUE(file.Open(dir / "control.ini", diag.get()));
  }

  template <typename F>
  int ErrorOf(F f) {
    return CodeOf(f);
  }
  // Console copy of the entries (level prefixes removed).
  std::string Console() const { return console.str(); }
  // The XML diagnostics file holds a FATAL entry.
  bool HasFatalEntry() const {
    return fluvextest::ReadFile(dir / "diag_0.xml").find("<line level=\"0\"") != std::string::npos;
  }

  fluvextest::TempDir dir;
  std::ostringstream console;
  std::unique_ptr<DiagStream> diag;
  ControlFile file;
};

// text with its first occurrence of from replaced by to (which must be there).
inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t p = text.find(from);
  EXPECT_NE(p, std::string::npos) << from;
  if (p != std::string::npos) text.replace(p, from.size(), to);
  return text;
}

// Asserts the error code, a FATAL entry and a text of the console.
#define EXPECT_FATAL(fixture, call, code, text)                                          \
  do {                                                                                   \
    EXPECT_EQ((fixture).ErrorOf([&] { call; }), (code));                                 \
    EXPECT_TRUE((fixture).HasFatalEntry());                                              \
    EXPECT_NE((fixture).Console().find(text), std::string::npos) << (fixture).Console(); \
  } while (0)
