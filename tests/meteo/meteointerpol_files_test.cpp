// Station, regression and grid list files: start search, block reading,
// dates, end of the input and rewinding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>

#include "tests/meteo/meteo_world.h"

using namespace meteotest;

namespace {

MeteoDate NextHour(MeteoDate d) {
  if (++d.hour < 24) return d;
  d.hour = 0;
  if (++d.day <= DaysInMonth(d.year, d.month)) return d;
  d.day = 1;
  if (++d.month <= 12) return d;
  d.month = 1;
  ++d.year;
  return d;
}

// The records of a station file read line by line without any buffering.
std::vector<Record> NaiveRead(const std::string& path, int stations, int extraColumns) {
  std::ifstream in(path);
  std::string line;
  for (int i = 0; i < 5; ++i) std::getline(in, line);
  std::vector<Record> records;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    Record r;
    s >> r.date.year >> r.date.month >> r.date.day >> r.date.hour;
    std::string skip;
    for (int i = 0; i < extraColumns; ++i) s >> skip;
    for (int i = 0; i < stations; ++i) {
      double v;
      s >> v;
      // Hourly records with the nodata value 9999: +-9999 and beyond are missing.
      r.values.push_back(v <= -9999 || v >= 9999 ? -10000 : v);
    }
    records.push_back(r);
  }
  return records;
}

MeteoDate DateOf(const meteointerpol& m) {
  MeteoDate d;
  m.GetDate(d.hour, d.day, d.month, d.year);
  return d;
}

}  // namespace

TEST(MeteoStationFile, BlocksGiveTheRecordsOfANaiveReader) {
  World w(2, 2, 1000, "blocks");
  const int n = 100;
  std::vector<Station> stations;
  for (int i = 0; i < n; ++i) stations.push_back({100.0 + i, 10.0 * i, 7.0 * i});
  std::vector<Record> records;
  MeteoDate d{0, 1, 1, 1990};
  unsigned seed = 7;
  for (int k = 0; k < 7500; ++k, d = NextHour(d)) {
    Record r{d, {}};
    for (int i = 0; i < n; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const int u = static_cast<int>(seed >> 16) % 2000;
      r.values.push_back(u == 3 ? 12000 : u == 5 ? -9999.5 : u == 7 ? 9999 : u == 9 ? -9999 : (u - 1000) / 8.0);
    }
    records.push_back(r);
  }
  Section s;
  s.stationLine = "stations.txt AdditionalColumns=1";
  w.Write("control.txt", s.Text());
  w.Write("stations.txt", StationFileText(stations, records, 1));
  const std::vector<Record> naive = NaiveRead(w.Path("stations.txt"), n, 1);
  ASSERT_EQ(naive.size(), 7500u);

  // Start inside the first block, end in the fourth (2496 records per block).
  const int first = 1000;
  const int last = 7499;
  int error = 0;
  auto m = w.Make("temperature", naive[first].date, naive[last].date, error);
  ASSERT_TRUE(m) << w.Console();
  auto expectRecord = [&](int k) {
    ASSERT_TRUE(DateOf(*m) == naive[k].date) << "record " << k;
    for (int i = 0; i < n; ++i) ASSERT_EQ(m->GetStationValues(0)[i + 1], naive[k].values[i]) << "record " << k;
  };
  for (int k = first; k <= last; ++k) {
    expectRecord(k);
    EXPECT_EQ(m->EndReached(), 0);
    m->ReadStepData();
  }
  EXPECT_EQ(m->EndReached(), 1);
  // Rewound, the input starts again at the start record and goes on from there.
  m->ResetToStart();
  EXPECT_EQ(m->EndReached(), 0);
  for (int k = first; k <= first + 3; ++k) {
    m->ReadStepData();
    expectRecord(k);
  }
}

TEST(MeteoStationFile, CenturyEndDateHeaderWordsAndCutLastRecord) {
  World w(2, 2, 1000, "dates");
  Section s;
  w.Write("control.txt", s.Text());
  // A word after the altitudes ends the station count; words after the
  // coordinates of line 3 must not shift those of line 4.
  w.Write("stations.txt",
          "title\nYY MM DD HH 500 620 1100 word\nxx xx xx xx 1 2 3 trailing\nyy yy yy yy 4 5 6\nnames\n"
          "98 12 31 23 1 2 3\n99 1 1 0 4 5 6\n99 1 1 1 7 8 9\n99 1 1 2 10 11 12\n99 1 1 3 13\n");
  int error = 0;
  auto m = w.Make("temperature", {23, 31, 12, 1998}, {1, 1, 1, 1999}, error);
  ASSERT_TRUE(m) << w.Console();
  EXPECT_EQ(m->GetStationCount(0), 3);
  EXPECT_EQ(m->GetStationXRot(0), (std::vector<double>{0, 1, 2, 3}));
  EXPECT_EQ(m->GetStationYRot(0), (std::vector<double>{0, 4, 5, 6}));
  m->ReadStepData();
  EXPECT_TRUE(DateOf(*m) == (MeteoDate{0, 1, 1, 1999}));
  m->ReadStepData();
  EXPECT_TRUE(DateOf(*m) == (MeteoDate{1, 1, 1, 1999}));
  EXPECT_EQ(m->GetStationValues(0)[3], 9);
  EXPECT_EQ(m->EndReached(), 0);
  m->ReadStepData();  // the end date was the record just taken
  EXPECT_EQ(m->EndReached(), 1);
  EXPECT_TRUE(DateOf(*m) == (MeteoDate{1, 1, 1, 1999}));

  // Up to the file's end: the last record is cut short and ends the input.
  int error2 = 0;
  auto all = w.Make("temperature", {1, 1, 1, 1999}, {0, 1, 1, 2100}, error2);
  ASSERT_TRUE(all);
  all->ReadStepData();
  EXPECT_EQ(all->EndReached(), 0);
  EXPECT_EQ(all->GetStationValues(0)[1], 10);
  all->ReadStepData();
  EXPECT_EQ(all->EndReached(), 1);

  // A block read that finds no further record ends the input; the last record stays.
  w.Write("stations.txt",
          "title\nYY MM DD HH 1\nxx xx xx xx 0\nyy yy yy yy 0\nnames\n2000 1 1 0 1\n2000 1 1 1 2\n\n \n");
  auto ending = w.Make("temperature", {0, 1, 1, 2000}, {0, 1, 1, 2100}, error2);
  ASSERT_TRUE(ending);
  ending->ReadStepData();
  EXPECT_EQ(ending->GetStationValues(0)[1], 2);
  EXPECT_EQ(ending->EndReached(), 0);
  ending->ReadStepData();
  EXPECT_EQ(ending->EndReached(), 1);
  EXPECT_TRUE(DateOf(*ending) == (MeteoDate{1, 1, 1, 2000}));

  // Records two days apart hold two-day sums: up to 2 x 9999 a value is data
  // (in the start record too, whose span the next record tells); beyond that
  // and the marker +-9999 are missing.
  w.Write("stations.txt",
          "title\nYY MM DD HH 1 2 3\nxx xx xx xx 0 1 2\nyy yy yy yy 0 1 2\nnames\n"
          "2000 1 2 24 14000 19998 9999\n2000 1 4 24 20000 -9999 12000\n");
  auto twoDays = w.Make("temperature", {24, 2, 1, 2000}, {24, 4, 1, 2000}, error2);
  ASSERT_TRUE(twoDays) << w.Console();
  EXPECT_EQ(twoDays->GetStationValues(0), (std::vector<double>{-10000, 14000, 19998, -10000}));
  twoDays->ReadStepData();
  EXPECT_EQ(twoDays->GetStationValues(0), (std::vector<double>{-10000, -10000, -10000, 12000}));
}

TEST(MeteoStationFile, BadStationFilesAreFatal) {
  {
    World w(2, 2, 1000, "nostart");
    w.Write("control.txt", Section().Text());
    w.Write("stations.txt", StationFileText({{1, 0, 0}}, {{{0, 1, 1, 2000}, {1}}}));
    int error = 0;
    w.Make("temperature", {0, 1, 1, 2001}, {0, 1, 1, 2001}, error);
    w.ExpectFatal(error, 51, "file stations.txt dosnt contain date 1.1.2001, hour 0(feof)!");
    w.ExpectFatal(error, 51,
                  "[model_time] of control.txt; the records of the file run from 1.1.2000 0 h to 1.1.2000 0 h)");
  }
  {
    World w(2, 2, 1000, "garbage");
    w.Write("control.txt", Section().Text());
    w.Write("stations.txt",
            "t\nYY MM DD HH 1 2\nxx xx xx xx 0 1\nyy yy yy yy 0 1\nnames\n"
            "2000 1 1 0 1 2\n2000 1 1 1 1 x\n2000 1 1 2 1 2\n");
    int error = 0;
    auto m = w.Make("temperature", {0, 1, 1, 2000}, {2, 1, 1, 2000}, error);
    ASSERT_TRUE(m);
    error = CodeOf([&] { m->ReadStepData(); });
    w.ExpectFatal(error, 49, "error reading stations.txt, line 7 (temperature)");
  }
  {
    World w(2, 2, 1000, "missingfile");
    w.Write("control.txt", Section().Text());
    int error = 0;
    w.Make("temperature", {0, 1, 1, 2000}, {0, 1, 1, 2000}, error);
    w.ExpectFatal(error, 49, "error opening stations.txt");
  }
}

TEST(MeteoStationFile, TwoStationFilesMustAgree) {
  const std::vector<Station> three = {{100, 0, 0}, {200, 1000, 0}, {300, 0, 1000}};
  const MeteoDate d0{0, 1, 1, 2000}, d1{1, 1, 1, 2000}, d2{2, 1, 1, 2000};
  struct Case {
    std::vector<Station> second;
    std::vector<Record> records;
    const char* text;
  };
  const std::vector<Record> good = {{d0, {1, 2, 3}}, {d1, {1, 2, 3}}};
  const Case cases[] = {
      {{{100, 0, 0}, {200, 1000, 0}},
       {{d0, {1, 2}}, {d1, {1, 2}}},
       "contain a different number of stations \n(2 and 3"},
      {{{100, 0, 0}, {200, 1000, 0}, {300, 0, 999}}, good, "Altitude and/or coordinates of station 3 are different"},
      {three,
       {{d0, {1, 2, 3}}, {d2, {1, 2, 3}}},
       "error reading date from stationfiles:\nfile gradients.txt: YYYY=2000"},
  };
  int index = 0;
  for (const Case& k : cases) {
    World w(2, 2, 1000, "pair" + std::to_string(index++));
    Section s;
    s.method = 6;
    s.stationLine = "gradients.txt";
    s.secondStationLine = "residuals.txt";
    w.Write("control.txt", s.Text());
    w.Write("gradients.txt", StationFileText(three, good));
    w.Write("residuals.txt", StationFileText(k.second, k.records));
    int error = 0;
    auto m = w.Make("temperature", d0, d1, error);
    if (m) error = CodeOf([&] { m->ReadStepData(); });
    w.ExpectFatal(error, 73, k.text);
  }
}

namespace {
// Regression records: three bands split at 800 and 1200 m, no trend plane.
const double kBands[11] = {10, -0.005, 800, 37.6, -0.0395, 1200, -2, -0.0065, -10000, 0, 0};

double Band(double z) {
  return z < 800 ? 10 - 0.005 * z : z <= 1200 ? 37.6 - 0.0395 * z : -2 - 0.0065 * z;
}

void WriteBinaryRegression(const std::string& path, const std::vector<MeteoDate>& dates) {
  std::ofstream out(path, std::ios::binary);
  for (const MeteoDate& d : dates) {
    const int64_t head[4] = {d.year, d.month, d.day, d.hour};
    out.write(reinterpret_cast<const char*>(head), sizeof head);
    out.write(reinterpret_cast<const char*>(kBands), sizeof kBands);
  }
}
}  // namespace

TEST(MeteoRegressionFile, TextAndBinaryRecordsGiveTheBands) {
  for (bool text : {true, false}) {
    World w(2, 2, 1000, text ? "regtext" : "regbinary");
    const double z[2][2] = {{500, 1000}, {1500, 800}};
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 2; ++c) w.elevation[r][c] = z[r - 1][c - 1];
    Section s;
    s.method = 2;
    s.thirdLine = "regression.dat";
    w.Write("control.txt", s.Text());
    // Years up to 999 are counted from 1900 in regression files.
    if (text) {
      std::string file = "jr mo tg hh a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n";
      for (int h = 0; h < 3; ++h) {
        file += "99 1 1 ";
        file += std::to_string(h);
        for (double v : kBands) {
          file += ' ';
          file += std::to_string(v);
        }
        file += "\n";
      }
      w.Write("regression.dat", file);
    } else {
      WriteBinaryRegression(w.Path("regression.dat"), {{0, 1, 1, 99}, {1, 1, 1, 99}, {2, 1, 1, 99}});
    }
    int error = 0;
    auto m = w.Make("temperature", {1, 1, 1, 1999}, {2, 1, 1, 1999}, error);
    ASSERT_TRUE(m) << w.Console();
    for (int h = 1; h <= 2; ++h) {
      m->Interpolate(h, 1, 1, 1999);
      for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 2; ++c) EXPECT_NEAR(m->GetResultGrid()[r][c], Band(z[r - 1][c - 1]), 1e-9);
      m->ReadStepData();
    }
    EXPECT_EQ(m->EndReached(), 1);
  }
}

TEST(MeteoRegressionFile, StationAndRegressionDatesMustAgree) {
  World w(2, 2, 1000, "method3");
  Section s;
  s.method = 3;
  s.thirdLine = "regression.dat";
  w.Write("control.txt", s.Text());
  w.Write("stations.txt", StationFileText({{100, 0, 0}}, {{{0, 1, 1, 2000}, {5}}, {{1, 1, 1, 2000}, {5}}}));
  WriteBinaryRegression(w.Path("regression.dat"), {{0, 1, 1, 2000}, {2, 1, 1, 2000}});
  int error = 0;
  auto m = w.Make("temperature", {0, 1, 1, 2000}, {1, 1, 1, 2000}, error);
  ASSERT_TRUE(m) << w.Console();
  error = CodeOf([&] { m->ReadStepData(); });
  w.ExpectFatal(error, 52, "stations.txt:\n1.1.2000 1 h\n\nbut date from regres file regression.dat:\n1.1.2000 2 h");
}

TEST(MeteoGridList, NoDataNamesReuseTheLastGrid) {
  World w(2, 2, 1000, "gridlist");
  Section s;
  s.method = 9;
  s.stationLine = "grids.txt";
  s.thirdLine = "8.9e-5 0.0767 127 6e-6 0.098";
  s.scaling = 2;
  w.Write("control.txt", s.Text());
  const std::string head = "t\nYY MM DD HH 1\nxx xx xx xx 0\nyy yy yy yy 0\nnames\n";
  // ASCII grid files of the model geometry, one value everywhere.
  for (const char* v : {"3", "4"}) {
    const std::string row = std::string(v) + " " + v + "\n";
    w.Write(std::string(v) + ".grd",
            "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n" + row + row);
  }
  w.Write("grids.txt", head + "2000 1 1 0 3.grd\n2000 1 1 1 -9999\n2000 1 1 2 4.grd\n");
  int error = 0;
  meteointerpol m(error, w.Diag(), w.Args("temperature", {0, 1, 1, 2000}, {2, 1, 1, 2000}));
  for (int h = 0; h <= 2; ++h) {
    m.Interpolate(h, 1, 1, 2000);
    // -9999 reads the last grid again (a cell kept from the step before would be scaled twice).
    EXPECT_EQ(m.GetResultGrid()[2][2], h == 2 ? 8 : 6);
    m.ReadStepData();
  }
  EXPECT_EQ(m.EndReached(), 1);
  // Rewound, the list gives its start record again.
  m.ResetToStart();
  m.ReadStepData();
  EXPECT_EQ(m.GetGridListName(), "3.grd");
  m.FreeMemory();

  w.Write("grids.txt", head + "2000 1 1 0 -9999\n");
  meteointerpol first(error, w.Diag(), w.Args("temperature", {0, 1, 1, 2000}, {0, 1, 1, 2000}));
  error = CodeOf([&] { first.Interpolate(0, 1, 1, 2000); });
  w.ExpectFatal(error, 1050, "no valid grid name was found (-9999 as input)");
}
