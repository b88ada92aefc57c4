// A control file in a temporary directory, opened for the table readers,
// with a diagnostics stream whose console output the tests read.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "framework/controlfile.h"
#include "framework/diagstream.h"
#include "tests/support/testutil.h"

class ControlFileFixture {
 public:
  ControlFileFixture(const std::string& name, const std::string& content) : dir(name) {
    fluvextest::WriteFile(dir / "control.ini", content);
    diag = std::make_unique<DiagStream>(dir / "diag.xml", 4, &console);
    EXPECT_TRUE(file.Open(dir / "control.ini", diag.get()));
  }

  // Runs f and returns the int it throws, 0 when it throws nothing.
  template <typename F>
  int ErrorOf(F f) {
    try {
      f();
    } catch (int code) {
      return code;
    }
    return 0;
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

// Asserts the error code, a FATAL entry and a text of the console.
#define EXPECT_FATAL(fixture, call, code, text)                                          \
  do {                                                                                   \
    EXPECT_EQ((fixture).ErrorOf([&] { call; }), (code));                                 \
    EXPECT_TRUE((fixture).HasFatalEntry());                                              \
    EXPECT_NE((fixture).Console().find(text), std::string::npos) << (fixture).Console(); \
  } while (0)
