#include "parameters/landusetable.h"

#include <gtest/gtest.h>

#include <vector>

#include "tablefixture.h"

namespace {

using Doubles = std::vector<double>;
using Ints = std::vector<int>;

const char* const kMixedTable = R"([soil_table]
0
[landuse_table]
6   land-use types
1 grass method = VariableDayCount {
  RootDist = 1.5; TReduWet = 0.95; LimitReduWet = 0.5; HReduDry = 3.45;
  useInternalParameters = 10100000;  IntercepCap = 0.35;
  JulDays = 1 100 200 366;
  LAI_max = 9 9 9 9;
  Albedo = 0.2 0.2 0.25 0.2;  rsc = 50 60 70 80;
  LAI = 1 2 3 4;  Z0 = 0.1 0.2 0.3 0.4;  VCF = 0.5 0.6 0.7 0.8;
  RootDepth = 0.2 0.3 0.4 0.5;  AltDep = 0 0 0.01 0;
  rs_interception = 10 20 30 40;
  SoilTillage = 120, 250;  SR_cultivation = nonconserving;
  SR_rough_coeff1 = 1 2 3;  n-factor = 0.5 0.6 0.7 0.8;  nf_freezing = 0.9;
}
2 beech method = DynamicPhenology_1 {
  RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; useInternalParameters = 111;
  JDVegetationResetForBalance = 120; JDVegetationWriteForBalance = 300;
  StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;
  JulDays = 1 100 -1 30 366;
  F* = 250; DP1_t1_dorm = 60; DP1_T_Bf = 5; JDReset_TStart = 1; maxStartJDforDP1 = 170;
  Albedo = 0.2 0.2 0.2 0.2 0.2; rsc = 80 80 60 60 80; LAI = 0 0 5 5 0; Z0 = 1 1 1 1 1;
  VCF = 1 1 1 1 1; RootDepth = 1 1 1 1 1; AltDep = 0 0 0 0 0;
}
3 oak method = DynamicPhenology_2 {
  RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 -1 30 366;
  F* = 200; DP1_t1_dorm = 50; DP1_T_Bf = 4; JDReset_TStart = 2; maxStartJDforDP1 = 160;
  DP2_t0_dorm = 250; DP2_t1_dorm = 40; DP2_T_Bf = 5; DP2_T_Bc = 3; DP2_Par_a = 800; DP2_Par_b = -0.01;
  DP2_Offset_1 = -2;
  Albedo = 0.2 0.2 0.2 0.2; rsc = 1 2 3 4; LAI = 1 2 3 4; Z0 = 1 2 3 4; VCF = 1 1 1 1;
  RootDepth = 1 1 1 1; AltDep = 0 0 0 0;
}
4 crop method = DynamicPhenology_3 {
  RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 120 200 366;
  DP1_t1_dorm = 30; DP1_T_Bf = 6; JDReset_TStart = 300; maxStartJDforDP1 = 150;
  ForcingThreshold = -1 100 200 -1;
  Albedo = 0.2 0.2 0.2 0.2; rsc = 1 2 3 4; LAI = 1 2 3 4; Z0 = 1 2 3 4; VCF = 1 1 1 1;
  RootDepth = 1 1 1 1; AltDep = 0 0 0 0;
}
5 larch method = DynamicPhenology_4 {
  RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 -1 40 366;
  F* = 300; DP1_t1_dorm = 30; DP1_T_Bf = 5; JDReset_TStart = 1; maxStartJDforDP1 = 180;
  DP4_t0_dorm = 270; DP4_t1_dorm = 30; DP4_T0 = 5; DP4_T1 = 4; DP4_Par_a = 500; DP4_Par_b = -50;
  DP4_T_xylstop = 8; DP4_t_xs1 = 230; DP4_SPSLF = 3;
  Albedo = 0.2 0.2 0.2 0.2; rsc = 1 2 3 4; LAI = 1 2 3 4; Z0 = 1 2 3 4; VCF = 1 1 1 1;
  RootDepth = 1 1 1 1; AltDep = 0 0 0 0;
}
6 meadow 0.23  11 12 13 14 15 16 17 18 19 20 21 22  1 120 240 366  1 2 3 4  0.1 0.2 0.3 0.4  0.5 0.6 0.7 0.8  0.3 0.4 0.5 0.6  1.2 3.4  remark
[end]
)";

// A valid VariableDayCount block of code 7 that the error cases spoil.
const std::string kGrass =
    "7 grass method = VariableDayCount {\n"
    "  RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 100 200 366;\n"
    "  Albedo = 0.2 0.2 0.2 0.2; rsc = 1 2 3 4; LAI = 1 2 3 4; Z0 = 1 2 3 4; VCF = 1 1 1 1;\n"
    "  RootDepth = 1 1 1 1; AltDep = 0 0 0 0;\n}\n";

std::string Table(const std::string& entries, int n = 1) {
  return "[landuse_table]\n" + std::to_string(n) + "\n" + entries;
}

}  // namespace

TEST(LanduseTable, MixedTableOfEveryMethodAndAnOldRow) {
  ControlFileFixture cf("landuse_mixed", kMixedTable);
  auto table = ReadLanduseTable(cf.file, *cf.diag, 2);
  // Entry 0: the count and the first balance days given (entry 1 has none).
  EXPECT_EQ(Ints({table[0].code, table[0].JDVegetationResetForBalance, table[0].JDVegetationWriteForBalance}),
            (Ints{6, 120, 300}));

  const landuse_table_entry& g = table[1];
  EXPECT_EQ(Ints({g.code, g.method, g.GetUseInternalParameters(), g.GetJDVegetationResetForBalance()}),
            (Ints{1, 2, 160, -1}));
  EXPECT_STREQ(g.GetName(), "grass");
  EXPECT_EQ(g.JulDays, (Ints{0, 1, 100, 200, 366}));
  EXPECT_EQ(g.LAI, (Doubles{4, 1, 2, 3, 4}));  // not the values of LAI_max
  EXPECT_EQ(g.AltDep, (Doubles{0, 0, 0, 0.01, 0}));
  EXPECT_EQ(g.rs_interception, (Doubles{40, 10, 20, 30, 40}));
  EXPECT_EQ(g.rs_evaporation, Doubles(5, 200.0));
  EXPECT_EQ(Doubles({g.GetRootDist(), g.GetTReduWet(), g.GetLimitReduWet(), g.GetIntercepCap(), g.GetNfFreezing()}),
            (Doubles{1.5, 0.95, 0.5, 0.35, 0.9}));
  EXPECT_EQ(g.SoilTillage, (Ints{250 - 366, 120, 250}));
  EXPECT_EQ(g.GetSR_cultivation(), 2);
  double a, b, c;
  g.GetSR_rough_coeff1(a, b, c);
  EXPECT_EQ(Doubles({a, b, c}), (Doubles{1, 2, 3}));
  EXPECT_EQ(g.n_factor, (Doubles{0.8, 0.5, 0.6, 0.7, 0.8}));

  // The phenology keys of every method reach their own fields.
  const landuse_table_entry& beech = table[2];
  EXPECT_EQ(beech.JulDays, (Ints{0, 1, 100, -1, 30, 366}));
  EXPECT_EQ(Ints({beech.method, beech.GetPhenoFixpointIndex(), beech.GetUseInternalParameters(), beech.GetDP1_t1_dorm(),
                  beech.GetJDReset_TStart(), beech.GetMaxStartJDforDP1(), beech.GetStartVegetationPeriodForBalance(),
                  beech.GetStopVegetationPeriodForBalance(), beech.GetJDVegetationResetForBalance(),
                  beech.GetJDVegetationWriteForBalance()}),
            (Ints{3, 3, 224, 60, 1, 170, 2, 3, 120, 300}));
  EXPECT_EQ(Doubles({beech.GetFStar(), beech.GetDP1_T_Bf()}), (Doubles{250, 5}));
  const landuse_table_entry& oak = table[3];
  EXPECT_EQ(Ints({oak.method, oak.GetPhenoFixpointIndex(), oak.GetDP2_t0_dorm(), oak.GetDP2_t1_dorm()}),
            (Ints{4, 2, 250, 40}));
  EXPECT_EQ(Doubles({oak.GetDP2_T_Bf(), oak.GetDP2_T_Bc(), oak.GetDP2_Par_a(), oak.GetDP2_Par_b(),
                     oak.GetDP2_Offset_1(), oak.GetDP2_Offset_2()}),
            (Doubles{5, 3, 800, -0.01, -2, 12}));
  EXPECT_NE(cf.Console().find("parameter \"DP2_Offset_2\" not found for land use 3; Using default of 12"),
            std::string::npos);
  EXPECT_EQ(cf.Console().find("DP2_Offset_1\" not found"), std::string::npos);
  const landuse_table_entry& crop = table[4];
  EXPECT_EQ(Ints({crop.method, crop.GetJDReset_TStart()}), (Ints{5, 300}));
  EXPECT_EQ(crop.ForcingThreshold, (Doubles{-1, -1, 100, 200, -1}));
  const landuse_table_entry& larch = table[5];
  EXPECT_EQ(Ints({larch.method, larch.GetPhenoFixpointIndex(), larch.GetDP4_t0_dorm(), larch.GetDP4_t1_dorm(),
                  larch.GetDP4_t_xs1(), larch.GetDP4_SPSLF()}),
            (Ints{6, 2, 270, 30, 230, 3}));
  EXPECT_EQ(Doubles({larch.GetDP4_T0(), larch.GetDP4_T1(), larch.GetDP4_Par_a(), larch.GetDP4_Par_b(),
                     larch.GetDP4_T_xylstop()}),
            (Doubles{5, 4, 500, -50, 8}));

  const landuse_table_entry& old = table[6];
  EXPECT_EQ(old.method, 1);
  EXPECT_EQ(old.Albedo, Doubles(5, 0.23));
  EXPECT_EQ(old.rsc, (Doubles{22, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 11}));
  EXPECT_EQ(old.rs_evaporation, old.rsc);
  EXPECT_EQ(old.rs_interception, Doubles(14, 20.0));
  EXPECT_EQ(old.JulDays, (Ints{0, 1, 120, 240, 366}));
  EXPECT_EQ(old.LAI, (Doubles{4, 1, 2, 3, 4}));
  EXPECT_EQ(old.Z0, (Doubles{0.4, 0.1, 0.2, 0.3, 0.4}));
  EXPECT_EQ(old.VCF, (Doubles{0.8, 0.5, 0.6, 0.7, 0.8}));
  EXPECT_EQ(old.RootDepth, (Doubles{0.6, 0.3, 0.4, 0.5, 0.6}));
  EXPECT_EQ(old.AltDep, (Doubles{-0.025, 0.025, 0.025, -0.025, -0.025}));
  EXPECT_EQ(Doubles({old.GetRootDist(), old.GetHReduDry(), old.GetTReduWet(), old.GetLimitReduWet()}),
            (Doubles{1.2, 3.4, 0.95, 0.0}));
  EXPECT_EQ(old.n_factor, Doubles(5, -9999.9));
}

TEST(LanduseTable, CountsMasksAndBalanceDefaults) {
  ControlFileFixture empty("landuse_empty", Table("", 0));
  auto none = ReadLanduseTable(empty.file, *empty.diag, 2);
  EXPECT_EQ(Ints({none[0].code, none[0].JDVegetationResetForBalance, none[0].JDVegetationWriteForBalance}),
            (Ints{0, 1, 365}));

  // The blank of "1 1" counts as a position; entry 0 takes the first balance day given.
  const std::string masks =
      Replace(kGrass, "RootDist", "useInternalParameters = 1 1; RootDist") +
      Replace(Replace(kGrass, "7 grass", "8 grass"), "RootDist", "JDVegetationResetForBalance = 200; RootDist");
  ControlFileFixture cf("landuse_masks", Table(masks, 2));
  auto t = ReadLanduseTable(cf.file, *cf.diag, 2);
  EXPECT_EQ(Ints({t[1].GetUseInternalParameters(), t[2].GetUseInternalParameters(), t[0].JDVegetationResetForBalance,
                  t[0].JDVegetationWriteForBalance}),
            (Ints{160, 255, 200, 365}));

  // Any other model variant ends old rows after the root depths (35 items);
  // the negative third day ends the list after the second.
  ControlFileFixture v1("landuse_variant", Table("6 meadow 0.2 1 2 3 4 5 6 7 8 9 10 11 12 1 2 -1 4 1 2 3 4 "
                                                 "1 2 3 4 1 1 1 1 0.1 0.2 0.3 0.4\n"));
  auto t1 = ReadLanduseTable(v1.file, *v1.diag, 1);
  EXPECT_EQ(t1[1].JulDays, (Ints{2 - 366, 1, 2}));
  EXPECT_EQ(t1[1].RootDepth, (Doubles{0.2, 0.1, 0.2}));
  EXPECT_EQ(t1[1].GetRootDist(), 0.0);
}

TEST(LanduseTable, UnreadableBlocksStopWithCode29AndTheirText) {
  struct Case {
    std::string entries;
    const char* text;
  };
  const std::string phen = Replace(kGrass, "VariableDayCount", "DynamicPhenology_1");
  const std::string phenKeys = "F* = 1; DP1_t1_dorm = 1; DP1_T_Bf = 1; JDReset_TStart = 1; maxStartJDforDP1 = 1;";
  const std::string crop = Replace(Replace(kGrass, "VariableDayCount", "DynamicPhenology_3"), "RootDist",
                                   "DP1_t1_dorm = 1; DP1_T_Bf = 1; JDReset_TStart = 1; maxStartJDforDP1 = 1; "
                                   "ForcingThreshold = 1 1 1 1; RootDist");
  const std::vector<Case> cases = {
      {Replace(kGrass, "LAI = 1 2 3 4;", ""), "missing key \"LAI\" (control file"},
      {Replace(kGrass, "LAI = 1 2 3 4;", "LAI = 1 2 3;"), "\"LAI\" needs 4 values"},
      {Replace(kGrass, "HReduDry = 3.45;", ""), "missing key \"HReduDry\""},
      {Replace(kGrass, "1 100 200 366", ""), "\"JulDays\" must list at least one day"},
      {Replace(kGrass, "grass", std::string(200, 'n')), "the name is longer than 199 characters"},
      {Replace(kGrass, "RootDist", "useInternalParameters = yes; RootDist"), "needs a text of the digits 0 and 1"},
      {Replace(kGrass, "RootDist", "SR_cultivation = plough; RootDist"),
       "no valid value for parameter \"SR_cultivation\" for land use 7"},
      {Replace(phen, "RootDist", phenKeys.substr(7) + " RootDist"), "parameter \"F*\" not found for land use 7"},
      {Replace(phen, "RootDist", phenKeys + " RootDist"),
       "method DynamicPhenology_1 needs a negative \"JulDays\" value among the fixpoints 1 to 3"},
      {Replace(crop, "1 100 200 366", "2 100 200 366"),
       "for Method DynamicPhenology_3 the first sample day (JulDay) must be 1 and not 2"},
      {Replace(crop, "1 100 200 366", "1 100 200 300"),
       "for Method DynamicPhenology_3 the last sample day (JulDay) must be 366 and not 300"},
      {Replace(Replace(Replace(kGrass, "VariableDayCount", "DynamicPhenology_4"), "1 100 200 366", "1 -1 40 366"),
               "RootDist",
               phenKeys + " DP4_t0_dorm = 1; DP4_t1_dorm = 1; DP4_T0 = 1; DP4_T1 = 1; DP4_Par_a = 1; DP4_Par_b = 1;"
                          " DP4_T_xylstop = 1; DP4_t_xs1 = 1; DP4_SPSLF = -1; RootDist"),
       "\"DP4_SPSLF\" is -1; it has to be a fixpoint index of \"JulDays\" (0 or more)"},
      {"7 grass method = VariableDayCount\n", "landuse table code 7: some values could not be read\n7 grass method"},
      {"6 meadow 0.2 1 2 3 4 5 6 7 8 9 10 11 12 1 2 3 4 1 2 3\n", "some values could not be read\n6 meadow"},
      {"\n" + kGrass, "landuse table: entry 1 of 1 of [landuse_table] is missing: expected a table block"},
      {"[soil_table]\n", "found \"[soil_table]\" (control file "},
      {kGrass.substr(0, kGrass.size() - 2), "the control file ends inside this table block"},
      // Values out of their physical range: the key, the fixpoint and the value
      // (a leaf area, cover or root depth out of range is clamped by the grids).
      {Replace(kGrass, "Albedo = 0.2 0.2 0.2 0.2", "Albedo = 0.2 1.2 0.2 0.2"),
       "Albedo = 1.2 (fixpoint 2 of 4): it has to lie within 0 ... 1"},
      {Replace(kGrass, "Z0 = 1 2 3 4", "Z0 = -1 2 3 4"), "Z0 = -1 (fixpoint 1 of 4): it has to be 0 or more"},
      {Replace(kGrass, "rsc = 1 2 3 4", "rsc = 1 2 3 -4"), "rsc = -4 (fixpoint 4 of 4): it has to be 0 or more"},
      {Replace(kGrass, "RootDist", "rs_interception = 1 2 -3 4; RootDist"), "rs_interception = -3 (fixpoint 3 of 4)"},
      {Replace(kGrass, "RootDist", "SR_ResidCovrg = 1 2 0 0; RootDist"),
       "SR_ResidCovrg = 2 (fixpoint 2 of 4): it has to lie within 0 ... 1"},
      {Replace(kGrass, "RootDist", "IntercepCap = nan; RootDist"), "IntercepCap = nan: it has to be a number"},
      {Replace(kGrass, "RootDist = 1", "RootDist = nan"), "RootDist = nan: it has to be a number"},
      {Replace(kGrass, "RootDist = 1", "RootDist = -2"), "RootDist = -2: it has to be at least -1"},
      {Replace(kGrass, "TReduWet = 0.9", "TReduWet = 1.9"), "TReduWet = 1.9: it has to lie within 0 ... 1"},
      {Replace(kGrass, "HReduDry = 3.45", "HReduDry = -3.45"), "HReduDry = -3.45: it has to be at least 0"},
      {Replace(kGrass, "RootDist", "SR_K_ST = 0; RootDist"), "SR_K_ST = 0: it has to be greater than 0"},
      {Replace(kGrass, "RootDist", "SR_cultivation = nonconserving; SR_CropDistX = -0.3; RootDist"),
       "SR_CropDistX = -0.3: it has to be greater than 0"},
      {Replace(kGrass, "1 100 200 366", "-1 100 200 366"),
       "\"JulDays\": the first day -1 is negative and ends the list before any fixpoint"},
      {Replace(kGrass, "1 100 200 366", "1 200 100 366"),
       "\"JulDays\": day 100 (fixpoint 3 of 4) comes before the day 200 before it: the days have to be in order"},
      {Replace(kGrass, "1 100 200 366", "1 100 200 400"),
       "\"JulDays\": day 400 (fixpoint 4 of 4) has to be a day of the year (0 to 366)"},
      {Replace(Replace(phen, "1 100 200 366", "1 -1 -30 366"), "RootDist", phenKeys + " RootDist"),
       "\"JulDays\": day -30 (fixpoint 3 of 4) counts the days from the start of the season and has to be 0 or more"},
      {Replace(Replace(phen, "1 100 200 366", "100 -1 30 50"), "RootDist", phenKeys + " RootDist"),
       "\"JulDays\": day 50 (fixpoint 4 of 4) comes before the day 100 before it"},
      {"6 meadow 0.2 1 2 3 4 5 6 7 8 9 10 11 -12 1 120 240 366 1 2 3 4 1 2 3 4 1 1 1 1 1 2 3 4 1 3\n",
       "rsc = -12 (month 12 of 12): it has to be 0 or more"},
      {"6 meadow 1.2 1 2 3 4 5 6 7 8 9 10 11 12 1 120 240 366 1 2 3 4 1 2 3 4 1 1 1 1 1 2 3 4 1 3\n",
       "Albedo = 1.2 (fixpoint 1 of 4): it has to lie within 0 ... 1"},
  };
  int i = 0;
  for (const Case& c : cases) {
    ControlFileFixture cf("landuse_bad_" + std::to_string(i++), Table(c.entries));
    EXPECT_FATAL(cf, ReadLanduseTable(cf.file, *cf.diag, 2), 29, c.text);
  }
  ControlFileFixture shortFile("landuse_short", Table(kGrass, 2));
  EXPECT_FATAL(shortFile, ReadLanduseTable(shortFile.file, *shortFile.diag, 2), 29, "ends after 1 of 2 entries");
  landuse_table_entry e(1);
  ControlFileFixture method("landuse_method", "");
  EXPECT_FATAL(method, ParseLanduseEntry(e, *method.diag, kGrass, "Phenology_9"), 29,
               "landuse table method unknown Phenology_9");
}

TEST(LanduseTable, MissingSectionOrCountIsAControlFileError) {
  ControlFileFixture noSection("landuse_nosection", "[soil_table]\n0\n");
  EXPECT_FATAL(noSection, ReadLanduseTable(noSection.file, *noSection.diag, 2), 17,
               "error in control file, [landuse_table]; (EOF) not found!");
  ControlFileFixture noCount("landuse_nocount", "[landuse_table]\nmany\n");
  EXPECT_FATAL(noCount, ReadLanduseTable(noCount.file, *noCount.diag, 2), 17, "number of entries not found!");
}
