// Reading of "[unsatzon_model]", its per-subbasin table and "[unsatzon_tuning]".
#include <filesystem>

#include "tests/soil/uzworld.h"

namespace {

using uztest::Section;

class Config : public uztest::World {};

TEST_F(Config, FirstAndLastCodeFillTheSubbasinsBetweenFromTheFirst) {
  Section s;  // codes "1 8", two values per parameter line
  s.parameters = {"2 3", "0.0005 1", "0.1 0.2", "4 -1", "1 0.5", "0 0.3"};
  ASSERT_EQ(Make(s), 0) << console.str();
  const auto& kd = uz->Kelsqd();
  ASSERT_EQ(kd.size(), 9u);
  for (int i = 1; i <= 7; ++i) {
    EXPECT_EQ(uz->Codes()[i], i);
    EXPECT_DOUBLE_EQ(kd[i], 120.0) << i;           // 2 h
    EXPECT_DOUBLE_EQ(uz->Kelsqi()[i], 0.06) << i;  // below 0.001 h
    EXPECT_DOUBLE_EQ(uz->ChannelDensity()[i], 0.1) << i;
    EXPECT_DOUBLE_EQ(uz->Kelsqlat()[i], 0.25) << i;
    EXPECT_DOUBLE_EQ(uz->QBReduction()[i], 1.0) << i;
    EXPECT_DOUBLE_EQ(uz->SnowRunoffFraction()[i], 0.0) << i;
  }
  EXPECT_EQ(uz->Codes()[8], 8);
  EXPECT_DOUBLE_EQ(kd[8], 180.0);
  EXPECT_DOUBLE_EQ(uz->Kelsqi()[8], 60.0);
  EXPECT_DOUBLE_EQ(uz->Kelsqlat()[8], 0.0);  // negative: no lateral storage
  EXPECT_DOUBLE_EQ(uz->SnowRunoffFraction()[8], 0.3);
  EXPECT_EQ(kd[0], 0.0);
  EXPECT_EQ(uz->GetKelsqd(), kd.data());
  EXPECT_EQ(uz->StorageFile(), "storage.ftz_0");
  EXPECT_EQ(uz->GetStorageFileName(), "storage.ftz_0");
}

TEST_F(Config, EveryCodeListedReadsOneValuePerSubbasin) {
  Section s;
  s.codes = "1 2 3 4 5 6 7 8";
  s.parameters = {"1 2 3 4 5 6 7 8",    "1 1 1 1 1 1 1 1", "0 0 0 0 0 0 0 0",
                  "1 2 4 5 8 10 16 20", "0 0 0 0 0 0 0 0", "0 0 0 0 0 0 0 0"};
  ASSERT_EQ(Make(s), 0) << console.str();
  const double lateral[9] = {0, 1, 2, 4, 5, 8, 10, 16, 20};
  for (int i = 1; i <= 8; ++i) {
    EXPECT_DOUBLE_EQ(uz->Kelsqd()[i], 60.0 * i);
    EXPECT_DOUBLE_EQ(uz->Kelsqlat()[i], 1.0 / lateral[i]);
  }
}

TEST_F(Config, AFirstCodeAboveTheFirstZoneKeepsTheFirstZoneListed) {
  Section s;
  s.codes = "3 8";  // zone 1 counts as listed, zone 2 takes its values
  s.parameters = {"1 2 3", "1 1 1", "0 0 0", "1 1 1", "0 0 0", "0 0 0"};
  ASSERT_EQ(Make(s), 0) << console.str();
  const double expected[9] = {0, 60, 60, 120, 120, 120, 120, 120, 180};
  for (int i = 1; i <= 8; ++i) EXPECT_DOUBLE_EQ(uz->Kelsqd()[i], expected[i]) << i;
}

TEST_F(Config, SubbasinTableErrorsNameTheCodeAndGive10) {
  Section s;
  s.codes = "1 9";
  EXPECT_EQ(Make(s), 10);
  EXPECT_TRUE(Said("error! there is no code 9 (from " + (dir / "run.cntrl") + ") for a subbasin in unsatzon_model"));
  EXPECT_TRUE(Said("Then, to all subcatchments with zone-codes ranging from 1 to 7 the \nparameters of subbasin 1"));

  Section t;
  t.codes = "1 x";
  EXPECT_EQ(Make(t), 10);
  EXPECT_TRUE(Said("error reading code[1] for unsatzon_model"));

  Section u;
  u.parameters = {"2 2", "0.5 x"};
  EXPECT_EQ(Make(u), 10);
  EXPECT_TRUE(Said("error reading kelsqi[8] for unsatzon_model"));

  // A storage constant of the baseflow of 0 has no reciprocal; a negative one is taken as "none".
  Section lateral;
  lateral.parameters = {"2 2", "0.0005 0.0005", "0.1 0.1", "4 0", "1 1", "0 0"};
  EXPECT_EQ(Make(lateral), 10);
  EXPECT_TRUE(Said("in modul unsatzon_model:\nkelsqlat[8] is 0 in the section [unsatzon_model] (control file " +
                   (dir / "run.cntrl") + ", line 86): the storage constant of the baseflow has to be above 0"));
  lateral.parameters[3] = "4 -1";
  ASSERT_EQ(Make(lateral), 0) << console.str();
  EXPECT_EQ(uz->Kelsqlat()[8], 0.0);
  EXPECT_EQ(uz->Kelsqlat()[1], 0.25);
}

// The lines of the table: codes 82, kelsqd 83, kelsqi 84, channel network
// density 85, kelsqlat 86, QB-Red.Faktor 87, SnowRunoff_fraction 88.
TEST_F(Config, SubbasinValuesOutOfTheirRangeAreRefusedAtTheirLine) {
  struct Case {
    int column;  // of the parameter lines
    const char* values;
    const char* text;
    int line;
  };
  const Case cases[] = {
      {3, "-0.1 0.1", "channel network density[1] = -0.1 in the section [unsatzon_model]", 85},
      {3, "0.1 1e30", "channel network density[8] = 1e+30 in the section [unsatzon_model]", 85},
      {6, "0 1.01", "SnowRunoff_fraction[8] = 1.01 in the section [unsatzon_model]", 88},
      {6, "-0.2 0", "SnowRunoff_fraction[1] = -0.2 in the section [unsatzon_model]", 88},
  };
  for (const Case& k : cases) {
    Section s;
    s.parameters[k.column - 1] = k.values;
    EXPECT_EQ(Make(s), 10) << k.text;
    EXPECT_TRUE(Said(std::string(k.text) + " (control file " + (dir / "run.cntrl") + ", line " +
                     std::to_string(k.line) + "): "))
        << console.str();
  }
  // A value that is no number names its word and line.
  Section nan;
  nan.parameters[2] = "0.1 nan";
  EXPECT_EQ(Make(nan), 10);
  EXPECT_TRUE(Said("error reading channel network density[8] for unsatzon_model"));
  EXPECT_TRUE(Said("(control file " + (dir / "run.cntrl") + ", line 85: \"nan\")")) << console.str();
  // The edges: no storage (below 0.001 h, taken as 0.06 minutes with a
  // warning), no channels, rising groundwater, every snow runoff share.
  Section edges;
  edges.parameters = {"-2 2", "0 0", "0 0", "4 4", "0 -1", "0 1"};
  ASSERT_EQ(Make(edges), 0) << console.str();
  EXPECT_DOUBLE_EQ(uz->Kelsqd()[1], 0.06);
  EXPECT_DOUBLE_EQ(uz->Kelsqd()[8], 120);
  EXPECT_DOUBLE_EQ(uz->QBReduction()[8], -1);
  EXPECT_TRUE(Said("kelsqd[1] = -2 in the section [unsatzon_model] (control file " + (dir / "run.cntrl") +
                   ", line 83) is below 0.001 h: the storage constant 0.06 minutes (no delay) is used"))
      << console.str();
}

TEST_F(Config, BadSectionLinesGiveThePartsCodes) {
  Section method;
  method.method = "4";
  EXPECT_EQ(Make(method), 91);
  EXPECT_TRUE(Said("in modul unsatzon_model:\ninvalid method (4)\npossible values are:\n 2 for Finite Differences"));

  Section row;
  row.control = "3 1";
  EXPECT_EQ(Make(row), 8);
  EXPECT_TRUE(Said("row index (3) for output-cell must be between 1 and 2 (Input as row col) or 0 0 "));
  Section column;
  column.control = "1 5";
  EXPECT_EQ(Make(column), 9);
  EXPECT_TRUE(Said("column index (5) for output-cell must be between 1 and 4 (Input as row col) "));
  // An index of 0 lies inside the range checked: no control cell, no point files.
  Section half;
  for (const char* control : {"0 3", "2 0"}) {
    half.control = control;
    EXPECT_EQ(Make(half), 0) << control << console.str();
    EXPECT_FALSE(std::filesystem::exists(dir / "hhyd.txt")) << control;
  }

  Section word;
  word.pond = "abc";
  EXPECT_EQ(Make(word), 17);
  EXPECT_TRUE(Said("error in control file, [unsatzon_model]: pond parameter of = abc (control file " +
                   (dir / "run.cntrl") + ", line "));
  EXPECT_TRUE(Said("); it has to be a whole number"));
  Section gw;
  gw.iniGw = "0";  // divisor of the initial profile
  EXPECT_EQ(Make(gw), 17);
  EXPECT_TRUE(Said("ini_gw_level  0"));
  Section longLine;
  longLine.kclay = std::string(1300, '1');
  EXPECT_EQ(Make(longLine), 17);
}

TEST_F(Config, MethodThreeReadsFourMoreLinesAndAMinimumStepThatIsANumber) {
  Section s;
  s.method = "3";
  s.extra = "[unsatzon_tuning]\nmax_iterations = 7\n";
  ASSERT_EQ(Make(s), 0) << console.str();
  EXPECT_EQ(uz->GetMethod(), 3);
  EXPECT_EQ(uz->GetMaxIterations(), 7);
  EXPECT_GT(uz->FindGrid("number_of_substeps", true), 0);
  // 0 bounds the stable step from below by nothing.
  s.methodThree = "0\nsubsteps.stat 0\nsubsteps.grd\n0\n";
  EXPECT_EQ(Make(s), 0) << console.str();
  s.methodThree = "nan\nsubsteps.stat 0\nsubsteps.grd\n0\n";
  EXPECT_EQ(Make(s), 17);
  EXPECT_TRUE(Said("[unsatzon_model]: minimum dynamic time step in secounds = nan (control file " +
                   (dir / "run.cntrl") + ", line "));
  EXPECT_TRUE(Said("); it has to be a number"));
}

TEST_F(Config, TuningKeysAreReadUntilABlankLine) {
  Section s;
  s.extra = "[unsatzon_tuning]\n  max_iterations = 50\n\tmax_error=1e-4\n";
  ASSERT_EQ(Make(s), 0) << console.str();
  EXPECT_EQ(uz->GetMaxIterations(), 50);
  EXPECT_EQ(uz->GetMaxError(), 1e-4);

  s.extra = "[unsatzon_tuning]\n\nmax_iterations = 50\nmax_error=1e-4\n";
  ASSERT_EQ(Make(s), 0);
  EXPECT_EQ(uz->GetMaxIterations(), 100);
  EXPECT_EQ(uz->GetMaxError(), 1e-5);

  s.extra = "[unsatzon_tuning]\nmax_error = 0.002 max_iterations = 3\n";
  ASSERT_EQ(Make(s), 0);
  EXPECT_EQ(uz->GetMaxError(), 0.002);
  EXPECT_EQ(uz->GetMaxIterations(), 100);

  s.extra = "[unsatzon_tuning]\nmax_iterations = many\n";
  EXPECT_EQ(Make(s), 17);
  EXPECT_TRUE(Said("max_iterations = <value> not found!"));
}

TEST_F(Config, ModuleOffReadsAndCreatesNothing) {
  fluvextest::WriteFile(dir / "run.cntrl", "[unsatzon_model]\n0\n60\ngarbage\n");
  int error = 0;
  uz = std::make_unique<uztest::UZ>(error, &diag, nullptr, 0, dir / "run.cntrl", args, nullptr, 1);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(uz->GetKelsqd(), nullptr);
  EXPECT_EQ(uz->GetKelsqi(), nullptr);
  EXPECT_EQ(uz->GetRiverflowTable(), nullptr);
  EXPECT_EQ(uz->GetStorageFileName(), "");
  EXPECT_EQ(uz->FindGrid("theta", true), 0);
  // Its step does nothing: it has no grids to work on.
  uz->run(1, 1, 7, 2020);
}

TEST_F(Config, SurfaceInteractionAboveOneIsAcceptedOnOneInstance) {
  Section s;
  s.interaction = "2";
  s.drainage = "0";
  s.pond = "0";
  ASSERT_EQ(Make(s), 0) << console.str();
  EXPECT_EQ(uz->GetOptionsTag(), "+srf2,");
}

}  // namespace
