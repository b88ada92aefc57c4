// The interpolator's control section and the failures of its set-up and step.
#include <gtest/gtest.h>

#include "tests/meteo/meteo_world.h"

using namespace meteotest;

namespace {

// Writes the section and a station file of two stations and constructs.
std::unique_ptr<meteointerpol> Build(World& w, const Section& s, int& error, int extraColumns = 0) {
  return w.Start(s, {{100, 0, 0}, {200, 1000, 1000}}, {{kStep0, {1, 2}}, {kStep1, {3, 4}}}, error, extraColumns);
}
}  // namespace

TEST(MeteoSection, ValuesAndTheirConversions) {
  struct Case {
    double weight;
    double maxDistance;
    double stored;
  };
  // The inverse-square weight keeps the maximum distance squared.
  for (const Case& k : {Case{2, 30000, 9e8}, Case{2.5, 30000, 30000}}) {
    World w(2, 2, 1000, "values");
    Section s;
    s.stationLine = "stations.txt   AdditionalColumns=2   gradients of the day";
    s.idwWeight = k.weight;
    s.maxDistance = k.maxDistance;
    // Percentages of change become factors; x and y stay as read. A row may run over two lines.
    s.scenarioLines = "1\n3\n1\n1500 2500 20 -10\n0 0 0 0 0 0 0 0 0 0";
    int error = 0;
    auto m = Build(w, s, error, 2);
    ASSERT_TRUE(m) << w.Console();
    EXPECT_EQ(m->GetMaxDistance(), k.stored);
    EXPECT_EQ(m->GetStationValues(0), (std::vector<double>{-10000, 1, 2}));
    EXPECT_EQ(m->GetScenarioValue(1, 2), 2500);
    EXPECT_DOUBLE_EQ(m->GetScenarioValue(1, 3), 1.2);
    EXPECT_DOUBLE_EQ(m->GetScenarioValue(1, 4), 0.9);
    EXPECT_DOUBLE_EQ(m->GetScenarioValue(1, 14), 1);
    EXPECT_NE(m->GetDescription().find("temperature interpolated with idw from stations.txt, zones from zonegrid.grd"),
              std::string::npos);
  }
}

TEST(MeteoSection, BadSectionsAreFatal) {
  struct Case {
    std::function<void(Section&)> change;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {[](Section& s) { s.method = 0; }, 53, "1..12 (here: 0)"},
      {[](Section& s) { s.method = 13; }, 53, "interpolation method has to range from 1..12 (here: 13)"},
      {[](Section& s) {
         s.method = 10;
         s.thirdLine = "800 1200 50 1";
       },
       49, "error reading the required 5 or 6 regression parameters"},
      {[](Section& s) {
         s.method = 11;
         s.thirdLine = "800 nan 50 0 10";
       },
       49, "the regression parameter <upper inversion> of temperature is nan (control file control.txt, line 4)"},
      {[](Section& s) {
         s.method = 10;
         s.thirdLine = "800 1200 50 0 inf";
       },
       49, "the regression parameter <cluster range> of temperature is inf (control file control.txt, line 4)"},
      {[](Section& s) {
         s.method = 12;
         s.thirdLine = "-0.0065 350";
       },
       49, "error reading the required parameter \"lapse rate\""},
      {[](Section& s) { s.stationLine = "stations.txt AdditionalColumns=x"; }, 49,
       "error reading the number after \"AdditionalColumns=\""},
      {[](Section& s) {
         s.scenarioLines =
             "1\n5\njan.grd\nfeb.grd\nmar.grd\napr.grd\nmay.grd\njun.grd\njul.grd\naug.grd\nsep.grd\n"
             "oct.grd\nnov.grd";
       },
       17, "scenario grid for month 12 in temperature not found!"},
      {[](Section& s) { s.scenarioLines = "1\n0\n1\n1 2 3"; }, 48, "scenario-data row 1, column 4 in temperature"},
      {[](Section& s) { s.idwWeight = -2; }, 17,
       "the idw-weight in temperature is -2 (control file control.txt, line 10): a power of 0 or more"},
      {[](Section& s) { s.slope = 95; }, 54,
       "anisotropy slope has to range from -90 to +90 degree \n(here: 95 degree in the section of temperature, "
       "control file control.txt, line 13)"},
      {[](Section& s) { s.ratio = 1.2; }, 54,
       "ellipse has to lie above 0 and at most at 1 (here: 1.2 in the section of temperature, control file "
       "control.txt, line 14)"},
      {[](Section& s) { s.ratio = 0; }, 54, "at most at 1 (here: 0 in the section of temperature, control file"},
      {[](Section& s) { s.variable = "wind_speed"; }, 17, "[wind_speed]; "},
      {[](Section& s) { s.maxDistance = 0; }, 17,
       "maximum distance in temperature is 0 (control file control.txt, line 12)"},
      {[](Section& s) { s.upperLimit = -2e6; }, 17,
       "upper limit of results in temperature is -2e+06 (control file "
       "control.txt, line 16), the lower limit -1e+06 (control file"},
  };
  int index = 0;
  for (const Case& k : cases) {
    World w(2, 2, 1000, "bad" + std::to_string(index++));
    Section s;
    k.change(s);
    const std::string wanted = s.variable;
    s.variable = "temperature";
    w.Write("control.txt", s.Text());
    w.Write("stations.txt", StationFileText({{100, 0, 0}}, {{kStep0, {1}}}));
    int error = 0;
    auto m = w.Make(wanted, kStep0, kStep0, error);
    EXPECT_FALSE(m);
    SCOPED_TRACE(k.text);
    w.ExpectFatal(error, k.code, k.text);
    // Nothing stays registered after a failed construction.
    for (int i = 7; i < 12; ++i) EXPECT_FALSE(w.list[i].registered) << i;
  }
}

TEST(MeteoSection, MissingAreaGridAndDateMismatch) {
  {
    World w(2, 2, 1000, "noarea");
    w.Drop("RelCellArea");
    int error = 0;
    auto m = Build(w, Section(), error);
    w.ExpectFatal(error, 74, "Fluvex-Orvik no longer works without a RelCellArea-Grid.");
  }
  {
    World w(2, 2, 1000, "datecheck");
    int error = 0;
    auto m = Build(w, Section(), error);
    ASSERT_TRUE(m);
    error = CodeOf([&] { m->Interpolate(1, 1, 1, 2000); });
    w.ExpectFatal(error, 52, "get:\n1.1.2000 1. h\n\nbut in temperature:\n1.1.2000 0. h");
  }
}

TEST(MeteoSection, EndDateFollowsTheCurrentRecordOnRequest) {
  World w(2, 2, 1000, "enddate");
  int error = 0;
  auto m = Build(w, Section(), error);
  ASSERT_TRUE(m);
  m->SetEndDateToCurrent();
  m->ReadStepData();
  EXPECT_EQ(m->EndReached(), 1);
  EXPECT_EQ(m->GetStationValues(0)[1], 1);  // no record was taken
}
