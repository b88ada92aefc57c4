// A copy of the small test basin (tests/data/setup/small) in a fresh directory,
// with its control file edited per test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/testutil.h"

namespace fluvextest {

class SmallBasin {
 public:
  explicit SmallBasin(const std::string& name) : dir(name) {
    for (const char* f : {"control.txt", "zones.asc", "dem.asc"})
      std::filesystem::copy_file(std::string(FLUVEX_TEST_DATA) + "/setup/small/" + f, dir / f);
    std::filesystem::create_directories(dir / "out");
  }
  // Replaces the first occurrence of from in the control file.
  void Edit(const std::string& from, const std::string& to) {
    std::string text = ReadFile(dir / "control.txt");
    const size_t p = text.find(from);
    ASSERT_NE(p, std::string::npos) << from;
    text.replace(p, from.size(), to);
    WriteFile(dir / "control.txt", text);
  }
  // The values of an ASCII grid file, row by row.
  std::vector<double> Values(const std::string& file) const {
    std::istringstream in(ReadFile(dir / file));
    std::string word;
    for (int i = 0; i < 12; ++i) in >> word;  // six header lines of key and value
    std::vector<double> v;
    double x = 0;
    while (in >> x) v.push_back(x);
    return v;
  }
  TempDir dir;
};

}  // namespace fluvextest
