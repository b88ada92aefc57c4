// The set-up object's sections of the control file and its ranking of zones.
#include <gtest/gtest.h>

#include <sstream>

#include "application/defltuzr.h"
#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

using fluvextest::TempDir;
using fluvextest::WriteFile;

namespace {

class TestSetup : public defaultini {
 public:
  TestSetup(int& error, DiagStream* d, const std::string& name, GridListEntry* list)
      : defaultini(error, d, name, nullptr, 0, 2, list) {}
  void Open(const std::string& name) { ASSERT_TRUE(controlfile.Open(name, diag)); }
  void Geometry(int columns, int rows) {
    SetGeometry(columns, rows, 0, 0, 100, -9999);
    SetRowRange(1, rows);
  }
};

class SetupTest : public ::testing::Test {
 protected:
  SetupTest() : dir("setup"), diag(dir / "d.xml", 4, &console), list(kGridListSize) {}
  std::string Control(const std::string& text) {
    const std::string name = dir / "control.txt";
    WriteFile(name, text);
    return name;
  }
  // Whether the console shows text (only rank 0 writes the console).
  bool Said(const std::string& text) const {
    return fluvextest::MpiRank() != 0 || console.str().find(text) != std::string::npos;
  }
  TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  std::vector<GridListEntry> list;
};

const char* const kGeneral =
    "[output_interval]\n"
    "24   output control\n"
    "5    second switch\n"
    "5    third switch\n"
    "-60  min_to_int_end\n"
    "  WriteAsciiGrids = 1\n"
    "DefaultOutputDirectory = out/ # comment\n"
    "WriteDoubleGrids = 1 WriteAsciiGrids = 0\n"
    "\n"
    "InitialStateDirectory = not_seen/\n"
    "[output_list]\n"
    "3\n"
    "2\n"
    "5\n"
    "9\n"
    "[coordinates]\n"
    "47.5 latitude\n"
    "8.5\n"
    "15\n"
    "-1\n"
    "[meteo_data_count]\n"
    "2\n"
    "[meteo_names]\n"
    "temperature   first\n"
    "precipitation second\n";

// What the general sections give; Read returns the error code thrown.
struct General {
  int control = 0, second = 0, third = 0, meteo = 0, listCount = 0;
  double minutes = 7, lat = 0, lon = 0, mer = 0, shift = 0;
  std::vector<std::string> names;
  std::vector<int> codes;
  int Read(TestSetup& setup, const std::string& file) {
    try {
      setup.ReadGeneralSections(file, control, second, third, minutes, meteo, names, lat, lon, mer, shift, listCount,
                                codes);
    } catch (int code) {
      return code;
    }
    return 0;
  }
};

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

}  // namespace

TEST_F(SetupTest, GeneralSectionsWithTheirClamps) {
  int error = 0;
  TestSetup setup(error, &diag, "unused", list.data());
  ASSERT_EQ(error, 0);
  General g;
  ASSERT_EQ(g.Read(setup, Control(kGeneral)), 0);
  auto& [control, second, third, meteo, listCount, minutes, lat, lon, mer, shift, names, codes] = g;
  EXPECT_EQ(control, 24);
  EXPECT_EQ(second, 1);   // any value but 0 and 1 becomes 1
  EXPECT_EQ(third, 0);    // ... and 0 for the third switch
  EXPECT_EQ(minutes, 0);  // negative minutes become 0
  EXPECT_TRUE(setup.GetWriteAsciiGrids());
  EXPECT_FALSE(setup.GetWriteDoubleGrids());  // the line names WriteAsciiGrids too, which counts first
  EXPECT_EQ(setup.GetDefaultOutputDirectory(), "out/");
  EXPECT_EQ(setup.GetInitialStateDirectory(), "");  // the blank line ended the key lines
  EXPECT_EQ(codes, (std::vector<int>{0, 2, 5, 9}));
  EXPECT_EQ(lat, 47.5);
  EXPECT_EQ(shift, -1);
  EXPECT_EQ(names, (std::vector<std::string>{"", "temperature", "precipitation"}));
}

TEST_F(SetupTest, BadGeneralSectionsAreFatal) {
  int error = 0;
  TestSetup setup(error, &diag, "unused", list.data());
  General g;
  EXPECT_EQ(g.Read(setup, Control(Replaced(kGeneral, "5\n9\n", "5\n5\n"))), 97);
  EXPECT_TRUE(Said("order of subbasin codes in output_list"));
  EXPECT_EQ(g.Read(setup, Control(Replaced(kGeneral, "24 ", "0 "))), 0);  // taken as 1 by its users
  EXPECT_EQ(g.Read(setup, Control(Replaced(kGeneral, "24 ", "x "))), 17);
  console.str("");
  EXPECT_EQ(g.Read(setup, Control(Replaced(kGeneral, "[coordinates]", "[coordinatez]"))), 17);
  EXPECT_TRUE(Said("error in control file, [coordinates]; (EOF) not found!"));
  EXPECT_EQ(g.Read(setup, dir / "missing.txt"), 28);
}

TEST_F(SetupTest, ModelTimeClampsToTheGregorianCalendar) {
  struct Case {
    const char* in;     // start h d m y, end h d m y
    const char* dates;  // start and end as d.m.y
  };
  const Case cases[] = {
      {"0 1 1 3 24 31 12 98", "1.1.1903 31.12.1998"},
      {"0 5 0 2005 24 5 13 2005", "5.1.2005 5.12.2005"},
      {"0 31 4 2001 24 0 5 2001", "30.4.2001 1.5.2001"},
      {"0 29 2 1900 24 29 2 2000", "28.2.1900 29.2.2000"},
      // 29 February of a leap start year stays although the end year is no leap year.
      {"0 29 2 2000 24 29 2 2001", "29.2.2000 28.2.2001"},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.in);
    std::string text = "[model_time]\n";
    std::string v;
    while (in >> v) text += v + "  value\n";
    const std::string name = Control(text);
    int error = 0;
    TestSetup setup(error, &diag, name, list.data());
    setup.Open(name);
    setup.ReadModelTime();
    std::ostringstream dates;
    dates << setup.StartDay() << "." << setup.StartMonth() << "." << setup.StartYear() << " " << setup.EndDay() << "."
          << setup.EndMonth() << "." << setup.EndYear();
    EXPECT_EQ(dates.str(), c.dates) << c.in;
  }
  EXPECT_TRUE(Said("[model_time]: the starting year 3 (control file "));
  const std::string name = Control("[model_time]\n0\n1\n1\nyear\n");
  int error = 0;
  TestSetup setup(error, &diag, name, list.data());
  setup.Open(name);
  console.str("");
  EXPECT_EQ(CodeOf([&] { setup.ReadModelTime(); }), 17);
  EXPECT_TRUE(Said("  Next line in Fluvex control file: "));
  EXPECT_TRUE(Said("error in control file, starting year in ; defaults not found!"));
}

TEST_F(SetupTest, StandardGridLinesOldAndKeyValueForm) {
  const std::string name = Control(
      "[zone_grid]\nzones.asc\n[elevation_model]\ndem.asc\n[standard_grids]\n5 count\n"
      "grids/soil.asc soil_types 1\n"
      "grids/lu.asc landuse fillcode = 0 readcode = 1 writecode = 1\n"
      "x.asc alb fillcode = 2 defaultValue = 0.2 outname = x.asc; statfile = alb.sta statcode = 2001\n"
      "p.asc rain 0 periodicity = 2 D 3 persistent = 0 4 readcode = 0\n"
      "m.asc mystatfilegrid fillcode=1 outname = mystatfile.asc\n");
  int error = 0;
  TestSetup setup(error, &diag, name, list.data());
  setup.Open(name);
  setup.ReadStandardGrids();
  EXPECT_EQ(setup.StandardGridCount(), 5);
  EXPECT_EQ(list[1].filename, "zones.asc");
  EXPECT_EQ(list[1].shortname, "[zone_grid]");
  const GridListEntry& soil = list[3];
  EXPECT_EQ(soil.shortname, "soil_types");
  EXPECT_EQ(soil.fillcode, 1);
  EXPECT_EQ(soil.writecode, 0);
  EXPECT_EQ(soil.outname, "grids/soil.asc");
  EXPECT_EQ(soil.periodnumber, -1);
  EXPECT_EQ(list[4].writecode, 1);
  const GridListEntry& alb = list[5];
  EXPECT_EQ(alb.fillcode, 2);
  EXPECT_EQ(alb.defaultvalue, 0.2);
  EXPECT_EQ(alb.outname, "x.asc;");  // a word ends only at white space
  EXPECT_EQ(alb.statfile, "alb.sta");
  EXPECT_EQ(alb.statcode, 2001);
  const GridListEntry& rain = list[6];
  EXPECT_EQ(rain.readcode, 0);
  EXPECT_EQ(rain.periodnumber, 2);
  EXPECT_EQ(rain.periodunit, "D");
  EXPECT_EQ(rain.periodsecond, 3);
  EXPECT_FALSE(rain.persistent);
  EXPECT_EQ(rain.persistentsteps, 4);
  EXPECT_EQ(rain.periodmark[0], 9999);
  // A key inside another word is no key: the output name holds "statfile".
  EXPECT_EQ(list[7].statfile, "");
  EXPECT_EQ(list[7].outname, "mystatfile.asc");

  const std::string noFill =
      Control("[zone_grid]\nz\n[elevation_model]\nd\n[standard_grids]\n1\ngrids/lu.asc landuse readcode = 1\n");
  int error2 = 0;
  std::vector<GridListEntry> list2(kGridListSize);
  TestSetup setup2(error2, &diag, noFill, list2.data());
  setup2.Open(noFill);
  console.str("");
  EXPECT_EQ(CodeOf([&] { setup2.ReadStandardGrids(); }), 17);
  EXPECT_TRUE(Said("error reading the fillcode for standard grid 1"));
}

TEST_F(SetupTest, SubStepsDefaultAndChecks) {
  int error = 0;
  TestSetup none(error, &diag, Control("[other]\n1\n"), list.data());
  EXPECT_EQ(none.ReadSubSteps(), 1);
  TestSetup three(error, &diag, Control("[soil_surface_groundwater_substeps]\n3\n"), list.data());
  EXPECT_EQ(three.ReadSubSteps(), 3);
  TestSetup word(error, &diag, Control("[soil_surface_groundwater_substeps]\nmany\n"), list.data());
  EXPECT_EQ(CodeOf([&] { word.ReadSubSteps(); }), 17);
  TestSetup zero(error, &diag, Control("[soil_surface_groundwater_substeps]\n0\n"), list.data());
  EXPECT_EQ(CodeOf([&] { zero.ReadSubSteps(); }), 17);
}

TEST_F(SetupTest, ZoneRankingAndReferenceHeader) {
  // A 3 x 4 zone grid with codes 7, 3 and 12 and one missing cell.
  WriteFile(dir / "zones.asc",
            "ncols 4\nnrows 3\nxllcorner 10\nyllcorner 20\ncellsize 100\nnodata_value -9999\n"
            "-9999 7 7 3\n3 3 -9999 -9999\n12 12 12 -9999\n");
  int error = 0;
  TestSetup setup(error, &diag, "unused", list.data());
  list[1].filename = dir / "zones.asc";
  int columns = 0, rows = 0;
  double xll = 0, yll = 0, cs = 0, nd = 0;
  setup.ReadReferenceGridHeader(columns, rows, xll, yll, cs, nd);
  EXPECT_EQ(columns, 4);
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(xll, 10);
  EXPECT_EQ(cs, 100);
  setup.Geometry(4, 3);
  // Every instance holds the whole zone grid here; only rank 0's values count.
  Grid zone = setup.matrix(1, 3, 1, 4, 0);
  const double values[3][4] = {{-9999, 7, 7, 3}, {3, 3, -9999, -9999}, {12, 12, 12, -9999}};
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) zone[r][c] = fluvextest::MpiRank() == 0 ? values[r - 1][c - 1] : -9999;
  list[1].grid = zone;
  setup.RankZones(list.data(), nullptr, 4, 3, -9999);
  ASSERT_EQ(setup.NumberOfZones(), 3);
  EXPECT_EQ(setup.MaxZoneCode(), 12);
  EXPECT_EQ(setup.ZoneCodeTable()[3], 1);
  EXPECT_EQ(setup.ZoneCodeTable()[7], 2);
  EXPECT_EQ(setup.ZoneCodeTable()[12], 3);
  EXPECT_EQ(setup.ZoneCodeTable()[5], 0);
  const ZoneRecord* z = setup.ZoneRecords();
  EXPECT_EQ(z[1].zonenwert, 3);
  EXPECT_EQ(z[1].sx, 3);
  EXPECT_DOUBLE_EQ(z[2].rel, 2.0 / 8.0);
  EXPECT_DOUBLE_EQ(z[0].rel, 8 * 100.0 * 100.0 / 1e6);
  EXPECT_EQ(setup.DataColumns()[1].first, 2);
  EXPECT_EQ(setup.DataColumns()[1].last, 4);
  EXPECT_EQ(setup.DataColumns()[2].last, 2);

  // All cells missing: error 7.
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) zone[r][c] = -9999;
  EXPECT_EQ(CodeOf([&] { setup.RankZones(list.data(), nullptr, 4, 3, -9999); }), 7);
  setup.FreeMatrix(zone, 1, 3, 1, 4);
}

TEST_F(SetupTest, HeaderThatIsNoGridIsRejected) {
  int error = 0;
  TestSetup setup(error, &diag, "unused", list.data());
  int columns = 0, rows = 0;
  double xll = 0, yll = 0, cs = 0, nd = 0;
  float floats[12] = {2, 2, 0, 0, 1, -9998, 0, 0, 0, 0, 0, 0};
  WriteFile(dir / "bad.bin", std::string(reinterpret_cast<char*>(floats), sizeof floats));
  list[1].filename = dir / "bad.bin";
  console.str("");
  EXPECT_EQ(CodeOf([&] { setup.ReadReferenceGridHeader(columns, rows, xll, yll, cs, nd); }), 22);
  EXPECT_TRUE(Said("could not recognise file format"));
  WriteFile(dir / "zero.asc", "ncols 0\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n");
  list[1].filename = dir / "zero.asc";
  EXPECT_EQ(CodeOf([&] { setup.ReadReferenceGridHeader(columns, rows, xll, yll, cs, nd); }), 24);
  list[1].filename = dir / "none.asc";
  EXPECT_EQ(CodeOf([&] { setup.ReadReferenceGridHeader(columns, rows, xll, yll, cs, nd); }), 21);
}
