// Subbasin statistics files and the efficiency criteria appended to them.
#include "framework/routstatistic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "framework/diagstream.h"
#include "tests/support/testutil.h"

using fluvextest::ReadFile;

namespace {

// Sums of a simulated and an observed series as the routing collects them.
EfficiencyRecord Sums(const std::vector<double>& simulated, const std::vector<double>& observed) {
  EfficiencyRecord r{0, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < simulated.size(); ++i) {
    const double d = simulated[i] - observed[i];
    r.n += 1;
    r.sumd += d;
    r.sumd2 += d * d;
    r.m += 1;
    r.sumo += observed[i];
    r.sumo2 += observed[i] * observed[i];
  }
  return r;
}

// The line of the file that starts with prefix (without its line end).
std::string LineStarting(const std::string& text, const std::string& prefix) {
  const size_t at = text.find("\n" + prefix);
  if (at == std::string::npos) return "";
  return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

class RoutStatisticTest : public ::testing::Test {
 protected:
  RoutStatisticTest() : dir("rout"), diag(dir / "d.xml", 4, &console) {}
  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  std::vector<ZoneRecord> records = {
      {0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 2, 0, 0}, {0, 0, 3, 0, 0}, {0, 0, 4, 0, 0}};
  double shares[5] = {0, 0.2, 0.3, 0.5, 0};
};

TEST_F(RoutStatisticTest, NoTotalColumnAndWeightedMeans) {
  int error = -1;
  StatRecord registry[kStatRegistryRecords] = {};
  routstatistic s(error, &diag, registry, kStatRegistryCapacity, nullptr, 1, 1, records.data(), shares, 3, 2001, 5,
                  "q.sta", dir.path() + "/", 0, nullptr);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(s.WriteHeader("routing", "discharge", registry, kStatRegistryCapacity), 1);
  s.NewStep();
  s.AddCell(1, 1, 1, 1.0, 1);
  s.AddCell(1, 1, 1, 2.0, 1);
  s.AddCell(1, 1, 3, 4.0, 2);
  s.AddCell(1, 1, 2, -9999, 1);  // a missing value leaves subbasin 2 empty: its value is missing, not 0
  s.AddStepValues(2001, 1, 1, 24);
  // The simulated and the observed descriptor, three columns each.
  EXPECT_STREQ(registry[0].description, "routing_submodel:discharge");
  EXPECT_STREQ(registry[1].description, "observed Runoff");
  EXPECT_EQ(registry[1].slots, 3);
  EXPECT_DOUBLE_EQ(registry[0].values[3], 4.0);
  EXPECT_DOUBLE_EQ(registry[1].relativeAreas[3], 0.5);
  EXPECT_EQ(*registry[1].day, 1);
  s.Finish();
  EXPECT_TRUE(registry[0].IsFree());
  EXPECT_TRUE(registry[1].IsFree());
  EXPECT_EQ(ReadFile(dir / "q.sta"), ReadFile(std::string(FLUVEX_TEST_DATA) + "/statistics/subbasin_2001.txt"));
}

TEST_F(RoutStatisticTest, EfficiencyCriteria) {
  // Subbasin 1 simulated perfectly, subbasin 2 with a constant offset of 2,
  // subbasin 3 with only two values.
  const std::vector<double> observed = {1, 2, 3, 4, 5};
  std::vector<EfficiencyRecord> unshifted(4, EfficiencyRecord{0, 0, 0, 0, 0, 0});
  unshifted[1] = Sums(observed, observed);
  unshifted[2] = Sums({3, 4, 5, 6, 7}, observed);
  unshifted[3] = Sums({1, 9}, {2, 3});
  std::vector<EfficiencyRecord> empty(4, EfficiencyRecord{0, 0, 0, 0, 0, 0});
  const EfficiencyRecord* tables[kEfficiencyShifts];
  for (int j = 0; j < kEfficiencyShifts; ++j) tables[j] = empty.data();
  tables[10] = unshifted.data();

  // Observations without variance measure no fit (missing); a partly good
  // simulation: 1 - (0.5 / 4) / 2.5.
  EXPECT_DOUBLE_EQ(routstatistic::Determination(Sums({1, 2, 3}, {2, 2, 2})), -9999);
  EXPECT_DOUBLE_EQ(routstatistic::ExplainedVariation(Sums({5.7, 5.8, 5.84}, {5, 5, 5})), -9999);
  EXPECT_DOUBLE_EQ(routstatistic::Determination(Sums({1, 2.5, 3, 3.5, 5}, observed)), 0.95);

  int error = -1;
  routstatistic s(error, &diag, nullptr, 0, nullptr, 1, 1, records.data(), shares, 3, 2001, 5, "q.sta",
                  dir.path() + "/", 0, nullptr);
  ASSERT_EQ(error, 0);
  s.WriteHeader("routing", "discharge", nullptr, 0);
  s.WriteEfficiency(tables, tables);
  const std::string text = ReadFile(dir / "q.sta");
  // Precision 5: four decimals; the unshifted rows in capitals. The offset
  // gives R-square 1 - (20 / 4) / 2.5 but leaves the explained variation;
  // two values, and no values at all, are missing.
  EXPECT_EQ(LineStarting(text, "LIN. R-SQUARE"), "LIN. R-SQUARE\t0\t1.0000\t-1.0000\t-9999.0000");
  EXPECT_EQ(LineStarting(text, "COEFF.VAR.LIN"), "COEFF.VAR.LIN\t0\t1.0000\t1.0000\t-9999.0000");
  EXPECT_EQ(LineStarting(text, "lin. R-square\t-10"), "lin. R-square\t-10\t-9999.0000\t-9999.0000\t-9999.0000");
  EXPECT_EQ(fluvextest::CountOf(text, "----------------------\n"), 5);
  // 84 rows of three values: 1 for the perfect subbasin in the four
  // unshifted rows and the offset's two explained variations (the same
  // tables stand for the linear and the logarithmic values here).
  EXPECT_EQ(fluvextest::CountOf(text, "\t1.0000"), 4 + 2);
  EXPECT_EQ(fluvextest::CountOf(text, "\t-9999.0000"), 84 * 3 - 8);
  // The unshifted linear explained variation is kept in the subbasin records.
  EXPECT_DOUBLE_EQ(records[2].n, 1.0);
  EXPECT_DOUBLE_EQ(records[2].sx, 1.0);
  s.Finish();
}

// A discharge that is no number is left out and reported, and the subbasin
// has no value in that line: never a discharge of 0.
TEST_F(RoutStatisticTest, ADischargeThatIsNoNumberIsMissingNotZero) {
  int error = -1;
  routstatistic s(error, &diag, nullptr, 0, nullptr, 1, 1, records.data(), shares, 3, 2001, 5, "q.sta",
                  dir.path() + "/", 0, nullptr);
  ASSERT_EQ(error, 0);
  s.WriteHeader("routing", "discharge", nullptr, 0);
  for (int h = 1; h <= 2; ++h) {
    s.NewStep();
    s.AddCell(0, 0, 1, 1.5, 1);
    s.AddCell(0, 0, 2, NAN, 1);
    s.AddCell(0, 0, 3, 4.0, 1);
    s.AddStepValues(2001, 1, 1, h);
  }
  s.Finish();
  const std::string text = ReadFile(dir / "q.sta");
  EXPECT_NE(text.find("\n2001\t 1\t 1\t 2\t1.50000\t-9999.00000\t4.00000\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("0.00000"), std::string::npos) << text;
  // Said once, in the diagnostics file of the instance.
  const std::string said = ReadFile(dir / ("d_" + std::to_string(fluvextest::MpiRank()) + ".xml"));
  EXPECT_EQ(fluvextest::CountOf(said, "the value nan (not a number) of zone 2 on 1.1.2001 1 h"), 1) << said;
}

// A run that ends inside a period: its steps as a marked line of their own,
// before the efficiency blocks. Daily sums (4024) of 30 hourly steps with
// k m3/s in subbasin k.
TEST_F(RoutStatisticTest, TheUnfinishedPeriodIsWrittenBeforeTheEfficiencyBlocks) {
  int error = -1;
  routstatistic s(error, &diag, nullptr, 0, nullptr, 1, 1, records.data(), shares, 3, 4024, 5, "q.sta",
                  dir.path() + "/", 0, nullptr);
  ASSERT_EQ(error, 0);
  s.WriteHeader("routing", "discharge", nullptr, 0);
  for (int step = 1; step <= 30; ++step) {
    s.NewStep();
    for (int k = 1; k <= 3; ++k) s.AddCell(0, 0, k, k, 1);
    s.AddStepValues(2001, 1, step <= 24 ? 1 : 2, (step - 1) % 24 + 1);
  }
  s.WriteEfficiency(nullptr, nullptr);
  s.Finish();
  const std::string text = ReadFile(dir / "q.sta");
  const size_t day = text.find("\n2001\t 1\t 1\t24\t24.00000\t48.00000\t72.00000\n");
  const size_t partial = text.find("\n2001\t 1\t 2\t 6\t6.00000\t12.00000\t18.00000\t# partial: 6 of 24 steps\n");
  const size_t blocks = text.find("----------------------\n");
  EXPECT_NE(day, std::string::npos) << text;
  EXPECT_NE(partial, std::string::npos) << text;
  EXPECT_LT(day, partial);
  EXPECT_LT(partial, blocks) << text;
  EXPECT_EQ(fluvextest::CountOf(text, "partial"), 1) << text;
}

TEST_F(RoutStatisticTest, ListedSubbasinsOnly) {
  const int list[3] = {2, 2, 4};
  int error = -1;
  routstatistic s(error, &diag, nullptr, 0, nullptr, 1, 1, records.data(), shares, 4, 5001, 3, "q.sta",
                  dir.path() + "/", 2, list);
  ASSERT_EQ(error, 0);
  s.WriteHeader("routing", "discharge", nullptr, 0);
  s.NewStep();
  for (int k = 1; k <= 4; ++k) s.AddCell(1, 1, k, 10.0 * k, 1);
  s.AddStepValues(2001, 1, 1, 24);
  s.WriteEfficiency(nullptr, nullptr);
  const std::string text = ReadFile(dir / "q.sta");
  EXPECT_EQ(text.substr(0, text.find('\n')), "YY\tMM\tDD\tHH\t\"2\"\t\"4\"");
  EXPECT_NE(text.find("\n2001\t 1\t 1\t24\t20.000\t40.000\n"), std::string::npos) << text;
  EXPECT_EQ(LineStarting(text, "LOG. R-SQUARE"), "LOG. R-SQUARE\t0\t-9999.00\t-9999.00");
  s.Finish();
}

}  // namespace
