// Code checks of the code grids and the irrigation table with its schedule rules.
#include <gtest/gtest.h>

#include "tests/application/setups.h"

using fluvextest::CodeSetup;
using fluvextest::DecomposedModel;
using fluvextest::MpiSize;
using fluvextest::WriteFile;

namespace {

// Expected cell value after the check, given by a rule of the test; checked
// on every cell this instance owns and, on one instance, on every cell (cells
// outside the zone belong to no instance).
template <typename F>
void ExpectCells(DecomposedModel& m, Grid g, F expected) {
  for (int r = m.Low(); r <= m.High(); ++r)
    for (int c = 1; c <= m.ncols; ++c) {
      if (m.size > 1 && !m.Own(r, c)) continue;
      EXPECT_EQ(g[r][c], expected(r, c)) << "row " << r << " column " << c << " on instance " << m.rank;
    }
}

int Count(const std::string& text, const std::string& what) {
  return fluvextest::CountOf(text, what);
}

}  // namespace

TEST(CodeChecks, SoilCodesBecomeTheirTableIndexesOnEveryInstance) {
  struct Case {
    std::vector<int> codes;
    double (*code)(int r, int c);
    double (*index)(int r, int c);
    int replacements;
  };
  const Case cases[] = {
      // 10 and 20 become 1 and 2; cells without zone data are replaced too.
      {{10, 20},
       [](int r, int c) { return (r + c) % 2 == 0 ? 10.0 : 20.0; },
       [](int r, int c) { return (r + c) % 2 == 0 ? 1.0 : 2.0; },
       2},
      // Codes equal to their indexes leave the grid as it is.
      {{1, 2, 3},
       [](int r, int c) { return 1.0 + (r * 5 + c) % 3; },
       [](int r, int c) { return 1.0 + (r * 5 + c) % 3; },
       0},
      // Entry 1 has code 2 and entry 2 code 1: the values change places.
      {{2, 1}, [](int, int c) { return c <= 2 ? 1.0 : 2.0; }, [](int, int c) { return c <= 2 ? 2.0 : 1.0; }, 2},
  };
  DecomposedModel m("codes_soil", fluvextest::kCodeRaster);
  m.Decompose();
  int position = 10;
  for (const Case& k : cases) {
    m.console.str("");
    int error = 0;
    CodeSetup s(error, m, "unused");
    Grid g = s.AddGrid(position, "soil.asc", "soil_types", k.code);
    s.SoilCodes(k.codes);
    s.check_SOIL_Codes(position++);
    ExpectCells(m, g, k.index);
    if (m.rank != 0) continue;
    EXPECT_EQ(Count(m.console.str(), " replaced by "), k.replacements);
    EXPECT_NE(m.console.str().find("2.:replacing soil type codes soil.asc"), std::string::npos);
  }
  EXPECT_TRUE(m.rank != 0 || Count(m.console.str(), "2 replaced by 1 ...") == 1);
}

TEST(CodeChecks, IrrigationCheckSkipsZeroAndReplacesCellsOutsideTheZone) {
  DecomposedModel m("codes_irrigation", fluvextest::kCodeRaster);
  m.Decompose();
  int error = 0;
  CodeSetup s(error, m, "unused");
  // Row 1 has no irrigation (0, never looked up). The cell without zone data
  // holds 99, which no entry has: it is not looked up either, and stays.
  // Its neighbour holds 7, which is replaced by 1.
  auto code = [](int r, int c) {
    if (r == 3 && c == 6) return 99.0;
    return r == 1 ? 0.0 : (c <= 2 ? 7.0 : 4.0);
  };
  Grid g = s.AddGrid(10, "irr.asc", "irrigation_codes", code);
  s.IrrigationCodes({7, 4});
  s.check_irrig_Codes(10);
  ExpectCells(m, g, [&](int r, int c) {
    const double v = code(r, c);
    return v == 7.0 ? 1.0 : v == 4.0 ? 2.0 : v;
  });
}

TEST(CodeChecks, UnknownCodesStopTheSetUpWithTheirCodeAndGrid) {
  // The check stops instance 0 alone; the program then aborts every instance.
  if (MpiSize() > 1) GTEST_SKIP() << "a fatal check ends the whole program";
  DecomposedModel m("codes_unknown", fluvextest::kCodeRaster);
  m.Decompose();
  int error = 0;
  CodeSetup s(error, m, "unused");
  auto soil = [](int r, int c) { return r == 4 && c == 5 ? 7.0 : 10.0; };
  s.AddGrid(10, "soil.asc", "soil_types", soil);
  s.SoilCodes({10, 20});
  EXPECT_EQ(CodeOf([&] { s.check_SOIL_Codes(10); }), 32);
  const std::string rule(71, '-');
  EXPECT_NE(
      m.console.str().find(rule + "\nsoil type 7 in grid soil.asc (soil_types)\nis not present in the control file"),
      std::string::npos)
      << m.console.str();
  // The entry goes on to name the table and the control file.
  EXPECT_NE(m.console.str().find(rule + "\n([soil_table] of the control file unused)"), std::string::npos);
  // The check stops before any replacement.
  EXPECT_EQ(Count(m.console.str(), " replaced by "), 0);

  // A value inside the zone that is no whole number (no code), land use without a multi-layer table: 31.
  auto landuse = [](int r, int c) { return r == 2 && c == 2 ? 12.5 : 3.0; };
  s.AddGrid(11, "lu.asc", "landuse", landuse);
  s.LanduseCodes({3});
  EXPECT_EQ(CodeOf([&] { s.CheckLanduseGrid(11); }), 31);
  EXPECT_NE(m.console.str().find("land use 12.5 in grid lu.asc (landuse), row 2, column 2, is no whole number"),
            std::string::npos);

  auto irrigation = [](int r, int c) { return r == 1 && c == 1 ? 8.0 : 0.0; };
  s.AddGrid(12, "irr.asc", "irrigation_codes", irrigation);
  s.IrrigationCodes({7});
  EXPECT_EQ(CodeOf([&] { s.check_irrig_Codes(12); }), 31);
  EXPECT_NE(m.console.str().find("irrigation type 8 in grid irr.asc (irrigation_codes)\nis not present in the "
                                 "irrigation table"),
            std::string::npos);
  // Position 0: no grid, nothing to check.
  EXPECT_EQ(CodeOf([&] { s.check_SOIL_Codes(0); }), 0);
}

TEST(CodeChecks, MultilayerLanduseCodesAndLayerCodesBecomeIndexes) {
  DecomposedModel m("codes_multi", fluvextest::kCodeRaster);
  m.Decompose();
  int error = 0;
  CodeSetup s(error, m, "unused");
  // The grid holds multi-layer codes 100 and 200; their layers land-use codes.
  auto code = [](int r, int c) { return (r + c) % 3 == 0 ? 200.0 : 100.0; };
  Grid g = s.AddGrid(10, "lu.asc", "landuse", code);
  s.LanduseCodes({5, 3, 2});
  s.MultilayerCodes({{100, {3, -9999}}, {200, {5, 2}}});
  s.CheckLanduseGrid(10);
  ExpectCells(m, g, [&](int r, int c) { return code(r, c) == 100.0 ? 1.0 : 2.0; });
  // Layer codes 3 -> entry 2, 5 -> entry 1, 2 -> entry 3; an empty layer stays empty.
  multilayer_landuse_entry* t = s.MultilayerTable();
  EXPECT_EQ(t[1].GetLayerIndexes()[1], 2);
  EXPECT_EQ(t[1].GetLayerIndexes()[2], -9999);
  EXPECT_EQ(t[2].GetLayerIndexes()[1], 1);
  EXPECT_EQ(t[2].GetLayerIndexes()[2], 3);
  EXPECT_EQ(t[2].GetLayerCodes()[1], 5);  // the codes as read are kept
  if (m.rank == 0) {
    EXPECT_NE(m.console.str().find("Code replacement in MultiLayer-Landuse 2: changed Layer-Code #1 from 5 to 1"),
              std::string::npos);
  }
}

TEST(CodeChecks, BadLayerCodesAndUnknownMultilayerCodes) {
  if (MpiSize() > 1) GTEST_SKIP() << "a fatal check ends the whole program";
  DecomposedModel m("codes_layers", fluvextest::kCodeRaster);
  m.Decompose();
  int error = 0;
  CodeSetup s(error, m, "unused");
  // Each case on a fresh grid: a check that passes the grid replaces its codes.
  for (int p = 10; p <= 12; ++p) s.AddGrid(p, "lu.asc", "landuse", [](int, int) { return 100.0; });
  s.LanduseCodes({5, 3});
  s.MultilayerCodes({{100, {-9999, 3}}});
  EXPECT_EQ(CodeOf([&] { s.CheckLanduseGrid(10); }), 312);
  EXPECT_NE(m.console.str().find("Here, line 1 contains -9999 as first layer code."), std::string::npos);

  s.MultilayerCodes({{100, {3, 4}}});
  EXPECT_EQ(CodeOf([&] { s.CheckLanduseGrid(11); }), 312);
  EXPECT_NE(m.console.str().find("not all layer codes from landuse 100 from MultiLayer_Landuse-Table\nare present in "
                                 "the landuse-table in the control file: Here, code 4 is missing."),
            std::string::npos);

  s.MultilayerCodes({{300, {3}}});
  EXPECT_EQ(CodeOf([&] { s.CheckLanduseGrid(12); }), 311);
  EXPECT_NE(m.console.str().find("land use 100 in grid lu.asc (landuse)\nis not present in the "
                                 "multilayer-landuse-table in the control file"),
            std::string::npos);
}

// ---- the irrigation sections ----

namespace {

class IrrigationTableTest : public ::testing::Test {
 protected:
  IrrigationTableTest() : m("irrtable", fluvextest::kCodeRaster) { m.Decompose(); }
  // Reads [irrigation] and [irrigation_table] with the given table lines.
  int Read(const std::string& lines, int count) {
    const std::string name = m.dir / "control.txt";
    WriteFile(name, "[irrigation]\n1   flow control parameter for irrigation\n60\n\n[irrigation_table]\n" +
                        std::to_string(count) + "\n" + lines);
    s.reset();
    s = std::make_unique<CodeSetup>(error, m, name);
    s->OpenControlFile();
    return CodeOf([&] { s->ReadIrrigationSections(); });
  }
  // The schedule of record k as "month/day:amount" items.
  std::string Schedule(int k) const {
    const IrrigationTable& t = s->Irrigation()[static_cast<size_t>(k)];
    std::string text;
    for (int i = 1; i <= t.n; ++i) {
      char item[64];
      std::snprintf(item, sizeof item, "%s%ld/%ld:%g", i > 1 ? " " : "", static_cast<long>(t.month[i]),
                    static_cast<long>(t.day[i]), t.amount[i]);
      text += item;
    }
    return text;
  }
  std::string Console() const { return m.console.str(); }
  // Only instance 0 writes the console.
  bool Said(const std::string& text) const { return m.rank != 0 || Console().find(text) != std::string::npos; }

  DecomposedModel m;
  int error = 0;
  std::unique_ptr<CodeSetup> s;
};

}  // namespace

TEST_F(IrrigationTableTest, RecordsOfEveryMethod) {
  ASSERT_EQ(Read("11 maize 1 2 50 10 3  4 15 20  5 1 25.5  7 31 30\n"
                 "12 grass 4 1 0.6\n"
                 "13 vineyard 3 1 80 20\n",
                 3),
            0)
      << Console();
  const auto& t = s->Irrigation();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].code, 3);
  EXPECT_EQ(s->Switch(), 1);
  EXPECT_EQ(t[1].name, "maize");
  EXPECT_EQ(t[1].origin, 2);
  EXPECT_DOUBLE_EQ(t[1].psi_dry, 50);
  EXPECT_DOUBLE_EQ(t[1].psi_wet, 10);
  EXPECT_EQ(Schedule(1), "4/15:20 5/1:25.5 7/31:30");
  // Method 4: the ratio, and fixed suction thresholds.
  EXPECT_EQ(t[2].method, 4);
  EXPECT_DOUBLE_EQ(t[2].min_etr_etp, 0.6);
  EXPECT_DOUBLE_EQ(t[2].psi_dry, 20.0);
  EXPECT_DOUBLE_EQ(t[2].psi_wet, 3.45);
  EXPECT_EQ(t[2].n + t[3].n, 0);
  EXPECT_DOUBLE_EQ(t[3].psi_wet, 20);
}

TEST_F(IrrigationTableTest, ScheduleRulesOfBothForms) {
  ASSERT_EQ(Read("1 a 2 1 50 10 starting from 5 25 with 10 mm to 6 3 with 20 mm every 12 day\n"
                 "2 b 2 1 50 10 starting from 1 30 with 5 mm 3 times every 5 days\n"
                 // 10, 20, 30 mm on 1, 11 and 21 January; 21 + 10 passes the end day.
                 "3 c 2 1 50 10 starting from 1 1 with 10 mm to 1 25 with 30 mm every 10 day\n"
                 // Start and end beyond their limits are cut to 12/31; two rules on one line.
                 "4 d 2 1 50 10 starting from 13 40 with 4 mm 1 times every 5 days; "
                 "starting from 2 27 with 2 mm to 3 1 with 6 mm every 1 day\n"
                 // A rule running to the end of December stops at the end of the year.
                 "5 e 2 1 50 10 starting from 12 1 with 1 mm to 12 31 with 1 mm every 15 day\n"
                 // The count goes on in January for the times form.
                 "6 f 2 1 50 10 starting from 12 20 with 3 mm 2 times every 20 days\n"
                 // Month and day below 1 are cut to 1; more events than days of a year repeat the dates.
                 "7 g 2 1 50 10 starting from 0 -4 with 7 mm to 1 3 with 7 mm every 1 day\n"
                 "8 h 2 1 50 10 starting from 1 1 with 1 mm 400 times every 1 days\n",
                 8),
            0)
      << Console();
  EXPECT_EQ(Schedule(1), "5/25:20");
  EXPECT_EQ(Schedule(2), "1/30:5 2/4:5 2/9:5");
  EXPECT_EQ(Schedule(3), "1/1:10 1/11:20 1/21:30");
  // 2/28 + 1 = 2/29 > 28: 3/1; the amounts go from 2 to 6 over three events.
  EXPECT_EQ(Schedule(4), "12/31:4 2/27:2 2/28:4 3/1:6");
  EXPECT_EQ(Schedule(5), "12/1:1 12/16:1 12/31:1");
  EXPECT_EQ(Schedule(6), "12/20:3 1/9:3");
  EXPECT_EQ(Schedule(7), "1/1:7 1/2:7 1/3:7");
  // Day 400 is 34 days after the first of January of the second round.
  const std::string year = Schedule(8);
  EXPECT_EQ(s->Irrigation()[8].n, 400);
  EXPECT_EQ(year.substr(year.rfind(' ') + 1), "2/4:1");
}

TEST_F(IrrigationTableTest, RulesThatWouldNeverEndOrLeaveTheCalendarAreRejected) {
  const std::string head = "1 a 2 1 50 10 ";
  struct Case {
    std::string rule;
    std::string message;
  };
  const Case cases[] = {
      {"starting from 4 1 with 10 mm to 5 1 with 20 mm every 0 day", "the step after \"every\" has to be 1 day"},
      {"starting from 4 1 with 10 mm to 5 1 with 20 mm every -3 day", "the step after \"every\" has to be 1 day"},
      {"starting from 4 1 with 10 mm 0 times every 3 days", "the count before \"times\" has to be 1 or more"},
      {"starting from 4 1 with 10 mm 3000000000 times every 1 days", "is more than a schedule can hold"},
      // 1/20 + 40 = 2/29 after one month's length: past the end of February.
      {"starting from 1 20 with 10 mm to 6 1 with 20 mm every 40 day", "passes more than one month's end"},
      {"starting from 4 1 with 10 mm every 3 days", "none of the keywords \"to\" or \"times\""},
      {"every 3 days 10 mm", "there are 4 possible ways to define irrigation rules"},
  };
  for (const Case& c : cases) {
    m.console.str("");
    EXPECT_EQ(Read(head + c.rule + "\n", 1), 29) << c.rule;
    EXPECT_TRUE(Said(c.message)) << c.rule << "\n" << Console();
  }
  EXPECT_TRUE(Said("irrigation description for irrigation type 1 is wrong"));
}

TEST_F(IrrigationTableTest, UnreadableRecordsAndSwitchOff) {
  EXPECT_EQ(Read("1 maize\n", 1), 29);
  EXPECT_TRUE(Said("for irrigation code 1: code, name, method, or origin could not be read correctly"));
  EXPECT_EQ(Read("1 a 1 1 50 10 2  4 15 20  5 x 3\n", 1), 29);
  EXPECT_TRUE(Said("for irrigation code 1 month[2] or day[2] or amount[2] could not be read"));
  EXPECT_EQ(Read("1 a 4 1 x\n", 1), 29);
  EXPECT_TRUE(Said("min(ETR/ETP) could not be read correctly"));
  EXPECT_EQ(Read("1 " + std::string(51, 'n') + " 3 1 50 10\n", 1), 29);
  EXPECT_EQ(Read("", -2), 29);

  const std::string name = m.dir / "off.txt";
  WriteFile(name, "[irrigation]\n0\n");
  CodeSetup off(error, m, name);
  off.OpenControlFile();
  off.ReadIrrigation(2);
  EXPECT_EQ(off.Switch(), 0);
  EXPECT_TRUE(off.Irrigation().empty());
  EXPECT_EQ(off.GetIrrigationTable(), nullptr);
}
