// Reading "[snow_model]": which lines each method reads, the grids it binds
// and registers, and the refused values with their codes and texts.
#include "tests/snow/snowworld.h"

namespace {

const std::vector<std::string> kSmall = {"11.", "122"};

bool Registered(const SnowWorld& w, const std::string& name) {
  return w[name] != nullptr;
}

TEST(SnowConfig, AModuleThatIsOffReadsAndRegistersNothing) {
  SnowWorld w("off", kSmall);
  SnowSection s;
  s.flow = 0;
  s.method = 99;  // never read
  EXPECT_EQ(w.Build(s), 0);
  EXPECT_FALSE(Registered(w, "snowstorage_solid"));
  EXPECT_EQ(w.model->GetMethod(), 0);
  EXPECT_EQ(w.model->GetSolidSnowStorageGrid(), nullptr);
  w.model->run(1, 1, 1, 2001);
  w.model->WriteStatistics();
}

TEST(SnowConfig, MethodThreeEndsAtTheReadgridLineAndBindsTheWind) {
  SnowWorld w("m3", kSmall);
  SnowSection s;
  s.method = 3;
  // Whatever follows line 41 is not read.
  ASSERT_EQ(w.Build(s, "not a number\n"), 0) << w.console.str();
  for (const char* g : {"snowstorage_solid", "snowstorage_liquid", "snow_storage_total", "days_snow", "snow_age",
                        "snow_fraction", "rain_fraction", "snowcover_outflow", "melt_from_snowcover"})
    EXPECT_TRUE(Registered(w, g)) << g;
  for (const char* g : {"snowtemp", "surftemp", "input_mass", "mobile_mass", "deposition", "elev_order_row"})
    EXPECT_FALSE(Registered(w, g)) << g;
  EXPECT_EQ(w.model->GetSolidSnowStorageGrid(), w["snowstorage_solid"]);
  EXPECT_EQ(w.model->GetMethod(), 3);
  // Zone cells start at 0, the others hold no data.
  EXPECT_EQ(w["snowstorage_solid"][1][1], 0.0);
  EXPECT_EQ(w["snowstorage_solid"][1][3], kNodata);

  SnowWorld nowind("m3wind", kSmall);
  nowind.list[9].shortname = "no_wind";  // "wind_speed" renamed
  EXPECT_EQ(nowind.Build(s), 33);
  EXPECT_TRUE(nowind.Said("wind_speed not found in memory"));
}

TEST(SnowConfig, MethodEightReadsSixtyThreeLinesWithoutWindOrDepositionIndex) {
  SnowWorld w("m8", kSmall);
  w.list[9].shortname = "no_wind";
  w.list[19].shortname = "no_deposition_index";
  SnowSection s;
  s.method = 8;
  s.slope = "45";
  s.factor = "2";
  ASSERT_EQ(w.Build(s, "[next]\n"), 0) << w.console.str();
  for (const char* g : {"input_mass", "mobile_mass", "deposition", "max_deposition", "elev_order_row"})
    EXPECT_TRUE(Registered(w, g)) << g;
  EXPECT_FALSE(Registered(w, "snowtemp"));
  // The maximum deposition falls with the slope: 2 x (1 - 10 / 45).
  EXPECT_NEAR(w["max_deposition"][2][2], 2 * (1 - 10.0 / 45), 1e-12);
  EXPECT_EQ(w["max_deposition"][1][3], kNodata);
  EXPECT_EQ(w.model->GetEnBalScaling(), 1.0);
}

TEST(SnowConfig, ElevationOrderListsTheHighestCellFirstInRowMajorPlaces) {
  SnowWorld w("order", kSmall);
  // Elevations: equal in (1,1) and (2,3); of equal cells the later in
  // row-major order comes first.
  Grid dem = w["elevation"];
  dem[1][1] = 700;
  dem[1][2] = 900;
  dem[2][1] = 500;
  dem[2][2] = 800;
  dem[2][3] = 700;
  SnowSection s;
  s.method = 6;
  ASSERT_EQ(w.Build(s), 0) << w.console.str();
  Grid row = w["elev_order_row"];
  Grid col = w["elev_order_col"];
  // Zone cells in row-major order: (1,1) (1,2) (2,1) (2,2) (2,3).
  const int expected[5][2] = {{1, 2}, {2, 2}, {2, 3}, {1, 1}, {2, 1}};
  const int places[5][2] = {{1, 1}, {1, 2}, {2, 1}, {2, 2}, {2, 3}};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(row[places[k][0]][places[k][1]], expected[k][0]) << k;
    EXPECT_EQ(col[places[k][0]][places[k][1]], expected[k][1]) << k;
  }
  EXPECT_EQ(row[1][3], kNodata);
}

TEST(SnowConfig, AnInputMaximumDepositionIsUsedUnchanged) {
  SnowWorld w("maxdep", kSmall);
  Grid given = w.Add("max_deposition", 7.5);
  SnowSection s;
  s.method = 9;
  ASSERT_EQ(w.Build(s), 0) << w.console.str();
  EXPECT_EQ(w["max_deposition"], given);
  EXPECT_EQ(given[1][1], 7.5);
}

TEST(SnowConfig, ExtendedParametersOutsideTheirBoundsAreRefused) {
  struct Case {
    std::string SnowSection::*field;
    std::string value;
    int code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {&SnowSection::line42, "", 404, "cannot read additional parameters for snow model methods 5 to 11 from "},
      {&SnowSection::slope, "90.5", 405, "maxDepositionSlope not within parameter bounds of [0...90] Here: 90.5"},
      // The slope divides the maximum deposition.
      {&SnowSection::slope, "0", 405, "maxDepositionSlope not within parameter bounds of [0...90] Here: 0"},
      {&SnowSection::factor, "0", 406, "maxDepositionFactor not within parameter bounds of (0...inf). Here: 0"},
      {&SnowSection::minslide, "0", 407, "minSlideSlope not within parameter bounds of [0...90]. Here: 0"},
      {&SnowSection::minslide, "91", 407, "minSlideSlope not within parameter bounds of [0...90]. Here: 91"},
      {&SnowSection::fraction, "1.5", 408, "slideMassFrac not within parameter bounds of (0...1.0]. Here: 1.5"},
      {&SnowSection::lwin, "0", 408, "LWINcorr not within parameter bounds of (0...3.0]. Here: 0"},
      {&SnowSection::lwout, "3.5", 408, "LWOUTcorr not within parameter bounds of (0...3.0]. Here: 3.5"},
      {&SnowSection::lwout, "0", 408, "LWOUTcorr not within parameter bounds of (0...3.0]. Here: 0"},
  };
  for (const Case& k : cases) {
    SnowWorld w("bounds", kSmall);
    SnowSection s;
    s.method = 5;
    s.*(k.field) = k.value;
    EXPECT_EQ(w.Build(s), k.code) << k.text;
    EXPECT_TRUE(w.Said(k.text)) << w.console.str();
    EXPECT_TRUE(w.Said("run.cntrl.$$$)")) << "the entry names the control file";
  }
  // The boundaries themselves are accepted.
  SnowWorld w("edges", kSmall);
  SnowSection s;
  s.method = 7;
  s.slope = "90";
  s.minslide = "90";
  s.fraction = "1";
  s.lwin = "3";
  s.lwout = "3";
  s.line63 = "0.8";
  EXPECT_EQ(w.Build(s), 0) << w.console.str();
  EXPECT_EQ(w.model->GetEnBalScaling(), 0.8);
}

TEST(SnowConfig, MethodNumbersOutsideOneToFourteenAreRefusedWhenRead) {
  for (int m : {0, 15, -3}) {
    SnowWorld w("method", kSmall);
    SnowSection s;
    s.method = m;
    EXPECT_EQ(w.Build(s), 17) << m;
    EXPECT_TRUE(w.Said("it has to be 1 to 14")) << w.console.str();
  }
}

TEST(SnowConfig, MissingOptionalScalingWarnsAndContradictingThresholdsAreAligned) {
  SnowWorld w("warn", kSmall);
  SnowSection s;
  s.method = 11;
  s.line63 = "";
  s.T0R = 0;
  s.T0 = 1;
  ASSERT_EQ(w.Build(s), 0) << w.console.str();
  EXPECT_TRUE(w.Said("Could not read the optional parameter EnBalScaling (double),"));
  EXPECT_EQ(w.model->GetEnBalScaling(), 1.0);
  EXPECT_TRUE(w.Said("because these thresholds are contradicting each other, T0R was set to T0!"));
  EXPECT_EQ(w.model->GetT0R(), 1.0);
  EXPECT_TRUE(Registered(w, "snowtemp"));
  EXPECT_EQ(w["snowtemp"][1][1], kNodata);
}

TEST(SnowConfig, UnreadableValueNamesItsLabel) {
  SnowWorld w("label", kSmall);
  SnowSection s;
  std::string bad = s.Text();
  bad.replace(bad.find("\n3\n1.5\n"), 8, "\nx\n1.5\n");
  fluvextest::WriteFile(w.dir / "bad.$$$", bad);
  int error = 0;
  schneemodellklasse m(error, &w.diag, nullptr, 0, w.dir / "bad.$$$", w.args);
  EXPECT_EQ(error, 17);
  EXPECT_TRUE(w.Said("C0 for ")) << w.console.str();
  m.FreeMemory();
}

}  // namespace
