// Runs each row of the reference table (reference_table.h) as a test of its
// own: the row's set-up once per variant through the program, then its
// checks, each printed with the row's formula; a check outside its
// tolerance fails the row, and so does one that an open issue's mark
// expects to fail and that passes.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>

#include "tests/application/reference_table.h"

namespace fluvextest::reference {

namespace {

class RowTest : public testing::Test {
 public:
  explicit RowTest(Row r) : row(std::move(r)) {}
  void TestBody() override {
    std::vector<Variant> variants = row.variants;
    if (variants.empty()) variants.push_back({"base", nullptr});
    std::string stem = row.name;
    for (char& ch : stem)
      if (ch == '.') ch = '_';
    // The variants side by side: a row's runs are few and short.
    std::vector<std::future<reference::Run>> started;
    for (const Variant& v : variants) {
      reference::SetUp s = row.setUp();
      if (v.change) v.change(s);
      started.push_back(std::async(std::launch::async, [s, name = stem + "_" + v.name] { return RunSetUp(s, name); }));
    }
    Runs runs;
    for (size_t k = 0; k < variants.size(); ++k) {
      reference::Run run = started[k].get();
      ASSERT_EQ(run.exitCode, 0) << row.name << " " << variants[k].name << " did not run:\n"
                                 << run.console.substr(run.console.size() > 4000 ? run.console.size() - 4000 : 0);
      runs.emplace(variants[k].name, std::move(run));
    }
    const Checks checks = row.checks(runs);
    EXPECT_FALSE(checks.empty()) << row.name << " checks nothing";
    std::printf("%s: %s\n", row.name.c_str(), row.formula.c_str());
    std::string failed;
    for (const Check& c : checks) {
      const bool passes = c.Passes();
      char line[600];
      std::snprintf(line, sizeof line, "  %-4s %s: got %.9g, expected %.9g, tolerance %g%s%s", passes ? "ok" : "FAIL",
                    c.what.c_str(), c.got, c.expected, c.tolerance, c.relative ? " (relative)" : "",
                    c.issue ? (passes ? " -- passes: remove the mark of issue " : " -- known fault of issue ") : "");
      std::printf("%s%s\n", line, c.issue ? std::to_string(c.issue).c_str() : "");
      if (c.issue ? passes : !passes) failed += std::string(line) + "\n";
    }
    std::fflush(stdout);
    EXPECT_TRUE(failed.empty()) << row.name << " (" << row.formula << "):\n" << failed;
  }

 private:
  Row row;
};

}  // namespace

Register::Register(Row row) {
  const size_t dot = row.name.find('.');
  const std::string area = row.name.substr(0, dot), name = dot == std::string::npos ? "row" : row.name.substr(dot + 1);
  testing::RegisterTest(area.c_str(), name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                        [row]() -> testing::Test* { return new RowTest(row); });
}

}  // namespace fluvextest::reference
