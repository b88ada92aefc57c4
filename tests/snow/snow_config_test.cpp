// Reading "[snow_model]": which lines each method reads, the grids it binds
// and registers, and the refused values with their codes and texts; the
// model's section of the storage content file, its tracers and its release.
#include <cmath>

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
  w.model->run(1, 1, 1, 2001);
  w.model->WriteStatistics();
}

TEST(SnowConfig, MethodThreeEndsAtTheReadgridLineAndBindsTheWind) {
  SnowWorld w("m3", kSmall);
  SnowSection s;
  s.method = 3;
  // Whatever follows line 41 is not read.
  ASSERT_EQ(w.Build(s, "not a number\n"), 0) << w.console.str();
  // No grid of the energy balance or the slides.
  for (const char* g : {"snowtemp", "input_mass", "elev_order_row"}) EXPECT_FALSE(Registered(w, g)) << g;
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
    int line;  // of the section's text: the header is line 1, line 42 of the section line 45
  };
  const std::vector<Case> cases = {
      {&SnowSection::line42, "", 404, "): every method above 4 reads them (the energy-balance, slide and long wave",
       45},
      {&SnowSection::slope, "90.5", 405, "maxDepositionSlope not within parameter bounds of [0...90] Here: 90.5", 60},
      {&SnowSection::slope, "-1", 405, "maxDepositionSlope not within parameter bounds of [0...90] Here: -1", 60},
      {&SnowSection::factor, "0", 406, "maxDepositionFactor not within parameter bounds of (0...inf). Here: 0", 61},
      {&SnowSection::minslide, "0", 407, "it must be above 0 and at most 90 degrees (0 itself is refused)", 62},
      {&SnowSection::minslide, "91", 407, "minSlideSlope not within parameter bounds of [0...90]. Here: 91", 62},
      {&SnowSection::fraction, "1.5", 408, "slideMassFrac not within parameter bounds of (0...1.0]. Here: 1.5", 63},
      {&SnowSection::lwin, "0", 408, "LWINcorr not within parameter bounds of (0...3.0]. Here: 0", 64},
      {&SnowSection::lwout, "3.5", 408, "LWOUTcorr not within parameter bounds of (0...3.0]. Here: 3.5", 65},
      {&SnowSection::lwout, "0", 408, "LWOUTcorr not within parameter bounds of (0...3.0]. Here: 0", 65},
      // The optional scaling, when given, scales the melt: a number above 0.
      {&SnowSection::line63, "-1", 408, "EnBalScaling not within parameter bounds of (0...inf). Here: -1", 66},
      {&SnowSection::line63, "nan", 408, "EnBalScaling not within parameter bounds of (0...inf). Here: nan", 66},
  };
  for (const Case& k : cases) {
    SnowWorld w("bounds", kSmall);
    SnowSection s;
    s.method = 5;
    s.*(k.field) = k.value;
    EXPECT_EQ(w.Build(s), k.code) << k.text;
    EXPECT_TRUE(w.Said(k.text)) << w.console.str();
    EXPECT_TRUE(w.Said("/run.cntrl.$$$, line " + std::to_string(k.line) + ")")) << w.console.str();
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
  // A slope of 0 divides the maximum deposition of the slides only when no
  // grid of it is given; without slides (method 5) it is never used.
  for (const int method : {5, 7}) {
    for (const bool grid : {false, true}) {
      SnowWorld z("slope0", kSmall);
      if (grid) z.Add("max_deposition", 4);
      SnowSection flat;
      flat.method = method;
      flat.slope = "0";
      const bool refused = method == 7 && !grid;
      EXPECT_EQ(z.Build(flat), refused ? 405 : 0) << method << " " << grid << z.console.str();
      EXPECT_EQ(z.Said("maxDepositionSlope not within parameter bounds of (0...90] Here: 0 ("), refused)
          << z.console.str();
      if (refused) {
        EXPECT_TRUE(z.Said("/run.cntrl.$$$, line 60)")) << z.console.str();
      } else {
        EXPECT_EQ(z.model->GetMaxDepositionSlope(), 0.0);
      }
    }
  }
}

TEST(SnowConfig, ScalarsOutsideTheirPhysicalRangeAreRefusedAtTheirLine) {
  struct Case {
    double SnowSection::*field;
    double value;
    std::string text;
    int line;  // the header is line 1, transzone line 5
  };
  const std::vector<Case> cases = {
      {&SnowSection::transzone, -1, "transzone for snow_model: -1", 5},
      {&SnowSection::CWH, 1.5, "CWH for snow_model: 1.5", 8},
      {&SnowSection::CWH, -0.1, "CWH for snow_model: -0.1", 8},
      {&SnowSection::CRFR, -1, "CRFR for snow_model: -1", 9},
      {&SnowSection::C0, -3, "C0 for snow_model: -3", 10},
      {&SnowSection::C1, -1.5, "C1 for snow_model: -1.5", 11},
      {&SnowSection::C2, -0.5, "C2 for snow_model: -0.5", 12},
      {&SnowSection::RMFMIN, -1, "RMFMIN for snow_model: -1", 14},
      // RMFMIN stays 1: a maximum below it.
      {&SnowSection::RMFMAX, 0.5, "RMFMAX for snow_model: 0.5", 15},
      {&SnowSection::ALBmin, -0.1, "ALBsnow_min for snow_model: -0.1", 16},
      {&SnowSection::ALBmax, 1.1, "ALBsnow_max for snow_model: 1.1", 17},
      // ALBsnow_min stays 0.45.
      {&SnowSection::ALBmax, 0.4, "ALBsnow_max for snow_model: 0.4", 17},
  };
  for (const Case& k : cases) {
    SnowWorld w("scalars", kSmall);
    SnowSection s;
    s.*(k.field) = k.value;
    EXPECT_EQ(w.Build(s), 17) << k.text;
    EXPECT_TRUE(
        w.Said(k.text + " (control file " + (w.dir / "run.cntrl.$$$") + ", line " + std::to_string(k.line) + ")"))
        << w.console.str();
  }
  // The edges are accepted: no transition zone, no holding capacity (every
  // drop leaves), an albedo range of 0 ... 1, a constant melt factor.
  SnowWorld w("scalaredges", kSmall);
  SnowSection s;
  s.transzone = 0;
  s.CWH = 0;
  s.C0 = 0;
  s.ALBmin = 0;
  s.ALBmax = 1;
  s.RMFMIN = s.RMFMAX = 2;
  EXPECT_EQ(w.Build(s), 0) << w.console.str();
  SnowWorld full("scalarfull", kSmall);
  SnowSection f;
  f.CWH = 1;
  f.ALBmin = f.ALBmax = 1;
  EXPECT_EQ(full.Build(f), 0) << full.console.str();
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

// ---- the storage content file, tracers and the release ----

// The section reader and writer on arrays given by the test.
class StorageProbe : public schneemodellklasse {
 public:
  using schneemodellklasse::ReadStorageSection;
  using schneemodellklasse::schneemodellklasse;
  using schneemodellklasse::WriteStorageSection;
};

// A world of four subbasins with the probe built in it.
struct StorageWorld {
  explicit StorageWorld(const std::string& name) : w(name, {"12", "34"}) {
    fluvextest::WriteFile(w.dir / "run.cntrl.$$$", SnowSection{}.Text());
    int error = 0;
    probe = std::make_unique<StorageProbe>(error, &w.diag, nullptr, 0, w.dir / "run.cntrl.$$$", w.args);
    EXPECT_EQ(error, 0) << w.console.str();
  }
  ~StorageWorld() { probe->FreeMemory(); }
  SnowWorld w;
  std::unique_ptr<StorageProbe> probe;
};

TEST(SnowStorage, SectionLayoutAndRoundTrip) {
  StorageWorld s("layout");
  ASSERT_EQ(s.probe->GetSubbasinCount(), 4);
  const double ice[5] = {0, 12.5, 0, 3.25, 1e-7};
  const double snow[5] = {0, 1, 2, 3, 4};
  const std::string path = s.w.dir / "storage.txt";
  fluvextest::WriteFile(path, "[routing_model]\n1 x\n\n");
  s.probe->WriteStorageSection(path, "a", ice, nullptr, snow);
  std::string expected = "[routing_model]\n1 x\n\n[snow_model]\n4 (number of subasins)\n";
  const char* values[4][3] = {
      {"12.5", "0", "1"}, {"0", "0", "2"}, {"3.25", "0", "3"}, {"9.9999999999999995e-08", "0", "4"}};
  for (int i = 1; i <= 4; ++i) {
    const std::string n = std::to_string(i);
    expected += n + "\t" + values[i - 1][0] + "(TG code and Qice_slr value)\n";
    expected += n + "\t" + values[i - 1][1] + "(TG code and Qfirn_slr value)\n";
    expected += n + "\t" + values[i - 1][2] + "(TG code and Qsnow_slr value)\n";
  }
  EXPECT_EQ(fluvextest::ReadFile(path), expected + "\n");

  double a[5] = {9, 9, 9, 9, 9}, b[5] = {9, 9, 9, 9, 9}, c[5] = {9, 9, 9, 9, 9};
  s.probe->ReadStorageSection(path, a, b, c);
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(a[i], ice[i]) << i;
    EXPECT_EQ(b[i], 0.0) << i;
    EXPECT_EQ(c[i], snow[i]) << i;
  }
}

TEST(SnowStorage, SectionsThatDoNotMatchTheModelStopTheRun) {
  StorageWorld s("mismatch");
  double a[5] = {}, b[5] = {}, c[5] = {};
  const std::string path = s.w.dir / "storage.txt";
  std::string three = "[snow_model]\n3 (number of subasins)\n";
  for (int i = 1; i <= 3; ++i)
    for (int k = 0; k < 3; ++k) three += std::to_string(i) + "\t1.0(x)\n";
  fluvextest::WriteFile(path, three);
  EXPECT_EQ(CodeOf([&] { s.probe->ReadStorageSection(path, a, b, c); }), 71);
  EXPECT_TRUE(
      s.w.Said("(snow model) error in storage file content reading number of subbasins:\nvalue in "
               "actual control is:   4\nbut value in storage file is: 3\nFluvex throws..."))
      << s.w.console.str();

  fluvextest::WriteFile(path, "[snow_model]\n4\n1\t1(x)\n1\t1(x)\n2\t1(x)\n");
  EXPECT_EQ(CodeOf([&] { s.probe->ReadStorageSection(path, a, b, c); }), 71);
  EXPECT_TRUE(s.w.Said("reading subbasin code:\nvalue in actual control is:   1\nbut value in storage file is: 2"));
}

TEST(SnowStorage, MissingFileSectionOrValueStopsTheRun) {
  StorageWorld s("cold");
  double a[5] = {0, 5, 5, 5, 5}, b[5] = {}, c[5] = {};
  EXPECT_EQ(CodeOf([&] { s.probe->ReadStorageSection(s.w.dir / "none.txt", a, b, c); }), 64);
  EXPECT_TRUE(s.w.Said("in snow/glacier model: error opening storage content file " + (s.w.dir / "none.txt")));
  EXPECT_EQ(a[1], 5.0);
  // The heading as the last line without its line end is no section either:
  // a file cut before the section.
  const std::string path = s.w.dir / "storage.txt";
  fluvextest::WriteFile(path, "[routing_model]\n1\n[snow_model]");
  EXPECT_EQ(CodeOf([&] { s.probe->ReadStorageSection(path, a, b, c); }), 71);
  EXPECT_TRUE(s.w.Said("FATAL: error looking for the section [snow_model] in " + path +
                       ": the storage content file ends before it"))
      << s.w.console.str();
  // Cut within the section, after subbasin 2's ice storage.
  fluvextest::WriteFile(path, "[snow_model]\n4 (number of subasins)\n1\t1(x)\n1\t2(x)\n1\t3(x)\n2\t4(x)\n2\t");
  EXPECT_EQ(CodeOf([&] { s.probe->ReadStorageSection(path, a, b, c); }), 71);
  EXPECT_TRUE(s.w.Said("error in storage file content reading Qfirn_slr of subbasin 2 in " + path +
                       ": the file ends early"))
      << s.w.console.str();
}

TEST(SnowStorage, TheReadParameterDecidesWhetherTheSectionIsWritten) {
  for (int parameter : {0, 1, 2, 4}) {
    SnowWorld w("param" + std::to_string(parameter), {"12"});
    ASSERT_EQ(w.Build(SnowSection{}), 0);
    const std::string file = "state.txt";
    fluvextest::WriteFile(w.dir / file, "[unsatzon_model]\n");
    w.model->ReadStorageFile(file, parameter);
    w.model->SetInitialized(1);
    w.model->FreeMemory();
    w.model.reset();
    // The layout is checked above; without glaciers every storage is 0.
    const std::string content = fluvextest::ReadFile(w.dir / file);
    const bool written = parameter != 2 && parameter != 4;
    EXPECT_EQ(content.find("[snow_model]\n2 (number of subasins)\n") != std::string::npos, written) << parameter;
    EXPECT_EQ(fluvextest::CountOf(content, "\t0(TG code"), written ? 6 : 0) << parameter;
  }
  // An object that was never marked initialised writes nothing.
  SnowWorld w("uninitialised", {"1"});
  ASSERT_EQ(w.Build(SnowSection{}), 0);
  w.model->ReadStorageFile("state.txt", 1);
  w.model->FreeMemory();
  w.model.reset();
  EXPECT_FALSE(fluvextest::FileExists(w.dir / "state.txt"));
}

TEST(SnowStorage, AnUnwritableStateFileIsReported) {
  StorageWorld s("unwritable");
  EXPECT_EQ(CodeOf([&] { s.probe->WriteStorageSection(s.w.dir / "no/such/dir.txt", "a", nullptr, nullptr, nullptr); }),
            64);
  EXPECT_TRUE(s.w.Said("no/such/dir.txt"));
}

TEST(SnowTracers, InputConcentrationMixesIntoThePackAndLeavesWithTheOutflow) {
  SnowWorld w("tracer", {"11"});
  w.Add("concflux_tracer_1_input", 4);
  Grid irrigation = w.Add("concflux_tracer_1_irrigation", 2);
  ASSERT_EQ(w.Build(SnowSection{}), 0);
  std::vector<TracerRecord> tracers(2);
  tracers[1].name = "cl";
  tracers[1].radioactive = 1;
  tracers[1].half_time = 10;
  tracers[1].evaporating = 1;  // held as a concentration
  tracers[1].statext = "sta";
  tracers[1].statcode = 2001;
  int error = -1;
  w.model->InitTracerGrids(&error, 1, tracers.data(), nullptr, 0);
  ASSERT_EQ(error, 0);
  EXPECT_NE(fluvextest::ReadFile(w.dir / "clsnow_.sta").find("\ntracer concentration for tracer 1 (cl) _submodel"),
            std::string::npos);
  Grid conc = w["concstor_tracer_1_snow_model"];
  Grid flux = w["concflux_tracer_1_snow_model"];
  ASSERT_TRUE(conc && flux);
  conc[1][1] = 3;
  conc[1][2] = 3;
  w["snowstorage_solid"][1][1] = 10;
  w.Fill("temperature", -5);
  w.Fill("precipitation", 10);
  w["precipitation"][1][2] = 0;
  w.model->run(1, 10, 1, 2001);
  // The irrigation flux grid is taken before the input's; the pack's 10 mm
  // at the decayed concentration meet 10 mm at 2.
  const double decay = std::exp(-(60.0 / 1440) / (1.442695041111 * 10));
  EXPECT_NEAR(conc[1][1], (3 * decay * 10 + 2 * 10) / 20, 1e-12);
  EXPECT_NEAR(flux[1][1], conc[1][1], 1e-15);
  EXPECT_NEAR(conc[1][2], 3 * decay, 1e-12);
  (void)irrigation;
  w.model->FreeTracerArrays();
  EXPECT_EQ(w["concstor_tracer_1_snow_model"], nullptr);

  SnowWorld none("notracergrid", {"1"});
  ASSERT_EQ(none.Build(SnowSection{}), 0);
  EXPECT_EQ(CodeOf([&] { none.model->InitTracerGrids(&error, 1, tracers.data(), nullptr, 0); }), 33);
  none.model->FreeTracerArrays();
}

TEST(SnowTracers, AmountsComeWithTheInputAndLeaveInTheOutflowsShareUpToTheMaximumConcentration) {
  SnowWorld w("amounts", {"1"});
  w.Add("concflux_tracer_1_input", 2);
  w.Add("concflux_tracer_2_input", 2);
  ASSERT_EQ(w.Build(SnowSection{}), 0);
  // Two tracers that stay behind with evaporating water: amounts in the
  // pack, one with a maximum concentration of 0.5 and one without.
  std::vector<TracerRecord> tracers(3);
  tracers[1].name = "no3";
  tracers[1].max_conc = 0.5;
  tracers[2].name = "po4";
  tracers[1].statext = "sta";
  tracers[1].statcode = 2001;
  int error = -1;
  w.model->InitTracerGrids(&error, 2, tracers.data(), nullptr, 0);
  ASSERT_EQ(error, 0);
  // Their statistics hold amounts and say so.
  EXPECT_NE(fluvextest::ReadFile(w.dir / "no3snow_.sta")
                .find("\ntracer amount (mm times concentration) for tracer 1 (no3) _submodel"),
            std::string::npos)
      << fluvextest::ReadFile(w.dir / "no3snow_.sta");
  Grid amount[3] = {nullptr, w["concstor_tracer_1_snow_model"], w["concstor_tracer_2_snow_model"]};
  Grid flux[3] = {nullptr, w["concflux_tracer_1_snow_model"], w["concflux_tracer_2_snow_model"]};
  amount[1][1][1] = amount[2][1][1] = 3;
  w["snowstorage_solid"][1][1] = 10;
  // 5 degrees: 10 mm of rain at concentration 2 bring 20; the pack melts
  // 3 x 5 / 24 mm and keeps 10 % of its solid water as liquid.
  w.Fill("temperature", 5);
  w.Fill("precipitation", 10);
  w.model->run(1, 10, 1, 2001);
  const double melt = 3 * 5 / 24.0, S = 10 - melt, L = S * 0.1, out = 10 + melt - L;
  EXPECT_NEAR(w["snowcover_outflow"][1][1], out, 1e-12);
  const double share = 23 * out / (out + L + S);
  EXPECT_NEAR(flux[1][1][1], 0.5, 1e-12);
  EXPECT_NEAR(amount[1][1][1], 23 - 0.5 * out, 1e-12);
  EXPECT_NEAR(flux[2][1][1], share / out, 1e-12);
  EXPECT_NEAR(amount[2][1][1], 23 - share, 1e-12);
  w.model->FreeTracerArrays();

  // Rain through a cell without snow: the amount it brings (0.1 mm at 2)
  // leaves whole, and the cell keeps none (0.2 x 0.1 / 0.1 would leave
  // -2.8e-17 behind, which a warm start on another instance count sums in
  // another order).
  SnowWorld bare("bare", {"1"});
  bare.Add("concflux_tracer_1_input", 2);
  bare.Add("concflux_tracer_2_input", 2);
  ASSERT_EQ(bare.Build(SnowSection{}), 0);
  bare.model->InitTracerGrids(&error, 2, tracers.data(), nullptr, 0);
  ASSERT_EQ(error, 0);
  bare.Fill("temperature", 5);
  bare.Fill("precipitation", 0.1);
  bare.model->run(1, 10, 1, 2001);
  EXPECT_EQ(bare["snowcover_outflow"][1][1], 0.1);
  EXPECT_EQ(bare["concstor_tracer_2_snow_model"][1][1], 0.0);
  EXPECT_NEAR(bare["concflux_tracer_2_snow_model"][1][1], 2, 1e-15);
  bare.model->FreeTracerArrays();
}

TEST(SnowRelease, TheReleaseUnregistersEveryGridOfTheModel) {
  SnowWorld w("release", {"12"});
  SnowSection s;
  s.method = 7;
  ASSERT_EQ(w.Build(s), 0);
  ASSERT_NE(w["deposition"], nullptr);
  w.model->FreeMemory();
  for (const char* g : {"snowstorage_solid", "snowtemp", "deposition", "max_deposition", "elev_order_row",
                        "snowcover_outflow", "melt_from_snowcover"})
    EXPECT_EQ(w[g], nullptr) << g;
  EXPECT_TRUE(w.Said("deleting module snow_model"));
  w.model.reset();
}

}  // namespace
