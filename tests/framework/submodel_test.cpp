// The sub-model base: section head, per-step hook, solar geometry against
// published values, and the tracer grids.
#include <algorithm>
#include <cmath>

#include "tests/framework/submodel_support.h"

namespace {

class SubModelTest : public SubModelFixture {
 protected:
  SubModelTest() : SubModelFixture("submodel") {}
};

TEST_F(SubModelTest, SectionHead) {
  // Missing optional section: off with a warning; no FATAL entry in a run that goes on.
  auto off = Make("[other_model]\n1\n60\n");
  EXPECT_EQ(off->GetFlowControl(), 0);
  EXPECT_TRUE(
      Said("the section [snow_model] is missing in the control file " + (dir / "run.cntrl.$$$") + ": module off"));
  EXPECT_EQ(console.str().find("error in control file, [snow_model]"), std::string::npos);
  EXPECT_EQ(CodeOf([&] { Make("[other_model]\n1\n60\n", true); }), 17);
  EXPECT_TRUE(Said("error in control file, [snow_model]; (EOF) not found!"));

  // Active: the derived constructor reads on after the time interval.
  auto on = Make("[snow_model] comment\n1\tflow control\n60\ttime interval\n7\tnext\n");
  EXPECT_EQ(on->GetFlowControl(), 1);
  EXPECT_EQ(on->GetTimeInterval(), 60);
  EXPECT_DOUBLE_EQ(on->GetStepsPerDay(), 24);
  EXPECT_EQ(on->NextValue(), 7);
  auto inactive = Make("[snow_model]\n0\n60\n");
  EXPECT_FALSE(inactive->ControlFileOpen());

  EXPECT_EQ(CodeOf([&] { Make("[snow_model]\nabc\n60\n"); }), 17);
  EXPECT_TRUE(Said("error in control file, flow control parameter for ; snow_model not found!"));
  EXPECT_EQ(CodeOf([&] { Probe p(&diag, "snow_model", dir / "none.$$$", 0, args, 1, false); }), 28);
  // Without zone tables the object stays inert and reads nothing.
  args.zoneIndex = nullptr;
  EXPECT_EQ(CodeOf([&] { Probe p(&diag, "snow_model", dir / "none.$$$", 0, args, 1, true); }), 0);
}

TEST_F(SubModelTest, IntervalsAndSubStepsAreChecked) {
  args.minToIntEnd = 1440;
  EXPECT_EQ(CodeOf([&] { Make("[snow_model]\n1\n1440\n"); }), 0);
  args.minToIntEnd = 1441;
  EXPECT_EQ(CodeOf([&] { Make("[snow_model]\n1\n1440\n"); }), 63);
  EXPECT_TRUE(Said("is shorter than the parameter min_to_int_end with 1441 minutes"));
  args.minToIntEnd = 0;
  // The interval divides the day.
  EXPECT_EQ(CodeOf([&] { Make("[snow_model]\n1\n0\n"); }), 17);
  EXPECT_EQ(CodeOf([&] { Make("[snow_model]\n0\n0\n"); }), 0);
  EXPECT_EQ(CodeOf([&] { Make("[snow_model]\n1\n60\n", false, 0); }), 17);
  auto m = Make("[snow_model]\n1\n60\n");
  EXPECT_EQ(CodeOf([&] { m->SetSubSteps(-2); }), 17);
  m->SetSubSteps(4);
  EXPECT_EQ(m->GetSubSteps(), 4);
}

TEST_F(SubModelTest, TimeStampAtTheReportInterval) {
  args.reportInterval = 6;
  auto m = Make("[snow_model]\n1\n60\n");
  auto off = Make("[snow_model]\n0\n60\n");
  // The steps' dates leave the end date of the run where it is (the Ctrl-C
  // "cancel with next interval" moves it, and the end outputs follow it).
  m->SetDate(1984, 12, 31, 24);
  const int64_t end = m->GetDateKey();
  for (int hour : {5, 6, 7, 12}) m->run(hour, 6, 7, 1984);
  EXPECT_EQ(m->GetDateKey(), end);
  off->run(6, 6, 7, 1984);
  EXPECT_TRUE(Stamps() == 2 || Stamps() == -1);
  EXPECT_TRUE(Said("          snow_model 6.7.1984 6. h (time of meteo data)"));

  // A flagged floating-point exception is reported once.
  m->SetFPEState(1);
  m->ReportFPE(1, 2, 3, 4, 0.5, 1, 2, 3, 4);
  EXPECT_TRUE(Said("fpe in i1: 1, i2: 2, i3: 3, i4: 4\na1: 0.5 a2: 1 a3: 2 a4: 3 a5: 4 "));
  EXPECT_EQ(m->GetFPEState(), 2);
  m->ReportFPE(0, 0, 0, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(m->GetFPEState(), 0);

  EXPECT_EQ(m->WeightedMean(2, 4, 0, 0), 0);
  EXPECT_EQ(m->Ratio(2, 3, 3), 0);
}

TEST_F(SubModelTest, CancelWithTheNextIntervalWritesTheEndOfRunOutputs) {
  // Write code 13: the grid from the end date on, its run sum and its minimum.
  args.endYear = 2001;
  args.endMonth = 12;
  args.endDay = 31;
  args.endHour = 24;
  args.object.WriteAsciiGrids = true;
  auto m = Make("[snow_model]\n1\n60\n");
  Grid g = memory.matrix(1, 2, 1, 3, 2);
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) g[r][c] = 2.0;
  const std::string file = dir / "swe.asc";
  m->RegisterGrid(2, file, g, nullptr, 0, "swe", 113, 1, 2);
  const std::string sum = dir / "swe.sum";
  for (int h = 1; h <= 3; ++h) {
    m->run(h, 1, 1, 2001);
    m->WriteStatisticGrids(2, 1, 0);
  }
  EXPECT_FALSE(fluvextest::FileExists(file));
  EXPECT_FALSE(fluvextest::FileExists(sum));
  // The user cancels: the application moves every object's date to the current step.
  m->SetDate(2001, 1, 1, 4);
  m->run(4, 1, 1, 2001);
  m->WriteStatisticGrids(2, 1, 0);
  if (fluvextest::MpiRank() == 0) {
    EXPECT_TRUE(fluvextest::FileExists(file));
    EXPECT_TRUE(fluvextest::FileExists(dir / "swe.min"));
    ASSERT_TRUE(fluvextest::FileExists(sum));
    EXPECT_NE(fluvextest::ReadFile(sum).find("8\t8\t-9999\n8\t8\t8"), std::string::npos);  // four steps of 2
  }
  m->UnregisterGrid(2);
  memory.FreeMatrix(g, 1, 2, 1, 3);
}

TEST_F(SubModelTest, SolarCalendarFollowsTheStepsYear) {
  auto m = Make("[snow_model]\n1\n60\n");
  // 1 March is day 61 of the leap year 2004, as 2 March is of 2003; 1 March
  // of 2003 is day 60.
  m->run(12, 1, 3, 2004);
  const double leap = m->SolarDeclination(1, 3);
  m->run(12, 2, 3, 2003);
  EXPECT_EQ(m->SolarDeclination(2, 3), leap);
  EXPECT_LT(m->SolarDeclination(1, 3), leap);
}

TEST_F(SubModelTest, SolarGeometryAgainstPublishedValues) {
  args.meridian = 15;
  auto m = Make("[snow_model]\n0\n60\n");
  // Declination: about -23.0 degrees on 1 January, +23.4 at the June solstice.
  EXPECT_NEAR(m->SolarDeclination(1, 1), -23.0, 0.1);
  EXPECT_NEAR(m->SolarDeclination(21, 6), 23.4, 0.1);
  // Equation of time on 11 February, published -14.2 minutes.
  EXPECT_NEAR(m->EquationOfTime(11, 2) * 60, -14.2, 1.5);

  // Day lengths: 16.1 h at 50.8 N on 6 July, 11.7 h at 20 S on 3 September.
  double rise = 0, set = 0;
  m->SunriseSunset(6, 7, rise, set, 50.8, 7);
  EXPECT_NEAR(set - rise, 16.1, 0.1);
  m->SunriseSunset(3, 9, rise, set, -20, 7);
  EXPECT_NEAR(set - rise, 11.7, 0.1);
  // Equator, on the meridian: 6 and 18 local solar time.
  m->SunriseSunset(3, 9, rise, set, 0, 15);
  const double e = m->EquationOfTime(3, 9);
  EXPECT_NEAR(rise + e, 6, 1e-12);
  EXPECT_NEAR(set + e, 18, 1e-12);
  // Polar day and polar night.
  m->SunriseSunset(21, 6, rise, set, 80, 15);
  EXPECT_EQ(rise, 24);
  EXPECT_EQ(set, 0);

  // Noon elevation at 50.8 N at the solstice: 90 - 50.8 + 23.4 = 62.6 degrees.
  const double noon = 12 - m->EquationOfTime(21, 6);
  EXPECT_NEAR(m->SunAngles(21, 6, 50.8, 15, noon), 62.6, 0.1);
  // At midnight the depression below the horizon, also positive: 90 - 50.8 - 23.4.
  EXPECT_NEAR(m->SunAngles(21, 6, 50.8, 15, noon + 12), 15.8, 0.1);
  double azimuth = 0, elevation = 0;
  m->SunAnglesAtHour(21, 6, azimuth, elevation, 50.8, 15, noon - 3);  // south-east
  EXPECT_NEAR(azimuth, 0.75 * M_PI, 0.25 * M_PI);
  m->SunAnglesAtHour(21, 6, azimuth, elevation, 50.8, 15, noon);
  EXPECT_NEAR(azimuth, M_PI, 1e-9);
  EXPECT_NEAR(elevation * 180 / M_PI, 62.6, 0.1);
  EXPECT_NEAR(m->CosZenith(0, 0, 1, M_PI / 2), 0.0, 1e-15);
}

TEST_F(SubModelTest, SunlitFractionOfAStep) {
  // Daily step ending at hour 24 at the equator: half of it is night.
  args.meridian = 15;
  args.longitude = 15;
  auto daily = Make("[snow_model]\n1\n1440\n");
  daily->run(24, 3, 9, 2001);
  daily->SunlitFraction();
  EXPECT_NEAR(daily->GetNightFraction(), 0.5, 1e-12);
  EXPECT_EQ(daily->GetNight(), 0);

  // Hourly steps with sunrise 6:30 and sunset 17:30.
  auto hourly = Make("[snow_model]\n1\n60\n");
  hourly->fixedRise = 6.5;
  hourly->fixedSet = 17.5;
  struct Case {
    int hour;
    double night;
    int flag;
  };
  for (const Case& c : {Case{3, 1, 1}, Case{7, 0.5, 0}, Case{12, 0, 0}, Case{18, 0.5, 0}, Case{23, 1, 1}}) {
    hourly->run(c.hour, 3, 9, 2001);
    hourly->SunlitFraction();
    EXPECT_DOUBLE_EQ(hourly->GetNightFraction(), c.night) << c.hour;
    EXPECT_EQ(hourly->GetNight(), c.flag) << c.hour;
  }
}

class TracerTest : public SubModelTest {
 protected:
  TracerTest() {
    tracers[1].name = "nit";
    tracers[1].radioactive = 1;
    tracers[1].half_time = 30;
    tracers[1].statext = "sta";
    tracers[1].gridext = "asc";
    tracers[1].statcode = 2001;
  }
  std::vector<TracerRecord> tracers = std::vector<TracerRecord>(2);
  StatRecord registry[kStatRegistryRecords] = {};
};

TEST_F(TracerTest, GridsAndStatisticsPerTracer) {
  auto m = Make("[snow_model]\n1\n1440\n");
  int error = -1;
  m->InitTracerGrids(&error, 1, tracers.data(), registry, kStatRegistryCapacity);
  ASSERT_EQ(error, 0);
  // Half of a radioactive tracer is left after its half time of 30 daily steps.
  EXPECT_NEAR(std::pow(tracers[1].decay, 30), 0.5, 1e-9);
  const int store = m->FindGrid("concstor_tracer_1_snow_model", false);
  EXPECT_EQ(store, 2);
  EXPECT_EQ(m->FindGrid("concflux_tracer_1_snow_model", false), 3);
  Grid g = list[store].grid;
  EXPECT_EQ(g[1][3], kNodata);
  EXPECT_EQ(g[2][3], 0);
  EXPECT_EQ(list[store].filename, "nitsnow_.asc");
  if (fluvextest::MpiRank() == 0) {
    const std::string text = fluvextest::ReadFile(dir / "nitsnow_.sta");
    EXPECT_EQ(
        text.substr(0, text.find("\n--")),
        "YY\tMM\tDD\tHH\t\"1\"\t\"2\"\ttot_average\ntracer concentration for tracer 1 (nit) _submodel:snow_model");
    EXPECT_FALSE(registry[0].IsFree());
  }
  m->FreeTracerArrays();
  EXPECT_EQ(m->FindGrid("concstor_tracer_1_snow_model", true), 0);
  EXPECT_FALSE(list[3].registered);
}

TEST_F(TracerTest, StorageGridsAreReadFromTheirFiles) {
  args.object.InitialStateDirectory = dir.path() + "/";
  // (Row 1, column 3 lies outside the zone grid.)
  fluvextest::WriteFile(dir / "nitsnow_.asc",
                        "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n"
                        "0.5 1.5 9.5\n2.5 3.5 4.5\n");
  // Rows the module does not hold are nodata, as in a store started empty
  // (so a grid is written alike on one instance and on several).
  for (const int first : {1, 2}) {
    args.firstRow = first;
    auto m = Make("[snow_model]\n1\n1440\n");
    m->SetReadGrids(1);
    int error = -1;
    m->InitTracerGrids(&error, 1, tracers.data(), registry, kStatRegistryCapacity);
    ASSERT_EQ(error, 0);
    Grid g = list[m->FindGrid("concstor_tracer_1_snow_model", false)].grid;
    const double want[3][4] = {{0, 0, 0, 0}, {0, 0.5, 1.5, kNodata}, {0, 2.5, 3.5, 4.5}};
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 3; ++c) EXPECT_EQ(g[r][c], r >= first ? want[r][c] : kNodata) << first << ": " << r << " " << c;
    m->FreeTracerArrays();
  }
}

TEST_F(TracerTest, FailuresOfWritersAndOfTheGridList) {
  // A writer that cannot be built comes back as the error code.
  int outputlist[2] = {0, 9};
  args.outputListCount = 1;
  args.outputList = outputlist;
  tracers[1].statcode = 5001;
  auto m = Make("[snow_model]\n1\n1440\n");
  EXPECT_EQ(outputlist[0], 1);
  int error = -1;
  EXPECT_EQ(CodeOf([&] { m->InitTracerGrids(&error, 1, tracers.data(), registry, kStatRegistryCapacity); }), 0);
  EXPECT_EQ(error, 1);
  m->FreeTracerArrays();

  // A full grid list is thrown.
  tracers[1].statcode = 0;
  for (int i = 2; i < kGridListMax; ++i) Enter(i, std::string("g").append(std::to_string(i)), zone);
  EXPECT_EQ(CodeOf([&] { m->InitTracerGrids(&error, 1, tracers.data(), registry, kStatRegistryCapacity); }), 12);
  EXPECT_TRUE(
      Said("no free grid left. Please contact the author to set the number of available grids to a "
           "larger value 1000"));
  m->FreeTracerArrays();
}

}  // namespace
