// The snow step per cell against hand calculations, and the water balance of
// every cell and of the basin over a winter of hourly steps.
#include <omp.h>

#include <cmath>
#include <fstream>

#include "framework/hrurecord.h"
#include "framework/zonalstatistic.h"
#include "parameters/landusetable.h"
#include "tests/snow/snowworld.h"

namespace {

const std::vector<std::string> kOne = {"1"};

// One cell, one step: storages before, weather of the step.
struct Cell {
  double S = 0, L = 0, T = 0, P = 0;
};

void SetCell(SnowWorld& w, const Cell& k) {
  w["snowstorage_solid"][1][1] = k.S;
  w["snowstorage_liquid"][1][1] = k.L;
  w.Fill("temperature", k.T);
  w.Fill("temperature_night", k.T);
  w.Fill("precipitation", k.P);
}

TEST(SnowStep, DegreeDayMeltOfADailyStepByHand) {
  SnowWorld w("degreeday", kOne);
  SnowSection s;
  s.interval = 1440;
  s.T0 = 0;
  s.C0 = 3;
  s.CWH = 0.1;
  ASSERT_EQ(w.Build(s), 0) << w.console.str();
  SetCell(w, {100, 0, 5, 0});
  w.model->run(24, 15, 1, 2001);
  // Melt 3 x 5 = 15 mm in the night and the day part together; the pack
  // holds 10 % of its 85 mm solid water.
  EXPECT_NEAR(w["snowstorage_solid"][1][1], 85, 1e-12);
  EXPECT_NEAR(w["snowstorage_liquid"][1][1], 8.5, 1e-12);
  EXPECT_NEAR(w["snowcover_outflow"][1][1], 6.5, 1e-12);
  EXPECT_NEAR(w["melt_from_snowcover"][1][1], 6.5, 1e-12);
  EXPECT_NEAR(w["snow_storage_total"][1][1], 93.5, 1e-12);
  EXPECT_EQ(w["days_snow"][1][1], 1.0);
}

TEST(SnowStep, RainSnowPartitionInTheTransitionZoneAndAtItsEdges) {
  // T0R 1, transition zone 1: snow below 0 C, rain above 2 C; no melt (C0 0).
  struct Case {
    double transzone, T, snowfall;
  };
  const Case cases[] = {{1, 1.5, 1}, {1, 2, 0}, {1, 0, 4}, {1, 0.5, 3}, {0, 1, 4}, {0, 1.01, 0}};
  for (const Case& k : cases) {
    SnowWorld w("partition", kOne);
    SnowSection s;
    s.transzone = k.transzone;
    s.T0R = 1;
    s.C0 = 0;
    ASSERT_EQ(w.Build(s), 0);
    SetCell(w, {0, 0, k.T, 4});
    w.model->run(1, 10, 1, 2001);
    EXPECT_NEAR(w["snow_fraction"][1][1], k.snowfall, 1e-12) << k.T;
    EXPECT_NEAR(w["rain_fraction"][1][1], 4 - k.snowfall, 1e-12) << k.T;
    // Without melt the pack holds 10 % of its solid water; the rain beyond leaves.
    EXPECT_NEAR(w["snowcover_outflow"][1][1], std::max(0.0, 4 - k.snowfall - 0.1 * k.snowfall), 1e-12) << k.T;
    EXPECT_EQ(w["melt_from_snowcover"][1][1], 0.0);
  }
}

TEST(SnowStep, CombinationMeltWithRainOnSnowAndRefreezing) {
  {
    SnowWorld w("combination", kOne);
    SnowSection s;
    s.method = 3;
    ASSERT_EQ(w.Build(s), 0);
    SetCell(w, {50, 0, 3, 5});
    w.model->run(1, 10, 1, 2001);
    // Rain (all of the 5 mm at 3 C) on snow: wind factor 1.5 + 0.5 x 2.
    const double c = 2.5;
    const double e = 6.1078 * std::exp(21.874 * 3 / 268.5);
    const double melt = c * (e - 6.11) / (24 * 0.662) + 0.6 * 3 / 24 + c * 3 / 24 + 0.006 * 3 * 5;
    const double S = 50 - melt;
    EXPECT_NEAR(w["snowstorage_solid"][1][1], S, 1e-9);
    EXPECT_NEAR(w["snowstorage_liquid"][1][1], 0.1 * S, 1e-9);
    EXPECT_NEAR(w["snowcover_outflow"][1][1], 5 + melt - 0.1 * S, 1e-9);
  }
  {
    // Dry step: radiation-factor index with the annual melt factor of the
    // day number, the day plus (month - 1) times the month's length: 1 March
    // is day 63 (not the calendar's 60 or 61), 15 February day 43 in 2001
    // and 44 in the leap year 2004, 20 January day 20.
    struct Day {
      int day, month, year;
      double number;
    };
    for (const Day& d :
         {Day{1, 3, 2001, 63}, Day{1, 3, 2004, 63}, Day{15, 2, 2001, 43}, Day{15, 2, 2004, 44}, Day{20, 1, 2001, 20}}) {
      SnowWorld w("index", kOne);
      SnowSection s;
      s.method = 3;
      s.CWH = 1;  // everything stays in the pack
      ASSERT_EQ(w.Build(s), 0);
      SetCell(w, {50, 0, 3, 0});
      w.model->run(1, d.day, d.month, d.year);
      const double rmf = 2 + std::sin((d.number - 80) * 0.017214206);
      EXPECT_NEAR(w["snowstorage_liquid"][1][1], 3 * rmf / 24, 1e-12) << d.day << "." << d.month << "." << d.year;
    }
  }
  {
    // Refreezing below T0 with a constant melt factor of 2.
    SnowWorld w("refreeze", kOne);
    SnowSection s;
    s.method = 4;
    s.RMFMIN = s.RMFMAX = 2;
    ASSERT_EQ(w.Build(s), 0);
    SetCell(w, {50, 1, -2, 0});
    w.model->run(1, 10, 1, 2001);
    const double R = 2 * 0.05 * 2 / 24;
    EXPECT_NEAR(w["snowstorage_liquid"][1][1], 1 - R, 1e-12);
    EXPECT_NEAR(w["snowstorage_solid"][1][1], 50 + R, 1e-12);
    // The index methods leave liquid water liquid.
    SnowWorld i("norefreeze", kOne);
    SnowSection t;
    t.method = 2;
    ASSERT_EQ(i.Build(t), 0);
    SetCell(i, {50, 1, -2, 0});
    i.model->run(1, 10, 1, 2001);
    EXPECT_EQ(i["snowstorage_liquid"][1][1], 1.0);
  }
}

TEST(SnowStep, AlbedoAgeAndLakes) {
  SnowWorld w("albedo", {"11"});
  SnowSection s;
  s.T0 = 5;
  ASSERT_EQ(w.Build(s), 0);
  w["snowstorage_solid"][1][1] = 3;   // above 2.5 at the start, not above 5 at the end
  w["snowstorage_solid"][1][2] = 20;  // fresh snow on a snow cover
  w.Fill("temperature", -3);
  w.Fill("precipitation", 0);
  w["precipitation"][1][2] = 2;
  w["snow_age"][1][1] = 4;
  w["snow_age"][1][2] = 4;
  w.model->run(1, 10, 1, 2001);
  EXPECT_EQ(w["albedo"][1][1], 0.2);  // the albedo of the ground
  EXPECT_NEAR(w["snow_age"][1][1], 4 + 1.0 / 24, 1e-12);
  EXPECT_EQ(w["snow_age"][1][2], 0.0);
  EXPECT_NEAR(w["albedo"][1][2], 0.9, 1e-12);
  EXPECT_EQ(w["days_snow"][1][1], 0.0);
  EXPECT_NEAR(w["days_snow"][1][2], 1.0 / 24, 1e-12);

  // On a lake with water every drop is rain.
  SnowWorld lake("lake", {"11"});
  lake.Add("lake_codes", 1)[1][2] = 0;
  lake.Add("ponding_storage", 2);
  ASSERT_EQ(lake.Build(s, "[lake_model]\n1\n60\n"), 0) << lake.console.str();
  lake.Fill("temperature", -3);
  lake.Fill("precipitation", 2);
  lake.model->run(1, 10, 1, 2001);
  EXPECT_EQ(lake["snow_fraction"][1][1], 0.0);
  EXPECT_EQ(lake["snow_fraction"][1][2], 2.0);
}

TEST(SnowStep, BareGroundTakesTheLandUseAlbedoOfTheDayAndCellErrorsEndTheStep) {
  std::unique_ptr<landuse_table_entry[]> table(new landuse_table_entry[2]);
  table[0].code = 1;
  table[1].code = 1;
  SnowWorld w("landuse", {"11"});
  ParseLanduseEntry(table[1], w.diag,
                    "1 grass method = VariableDayCount {\n"
                    "RootDist = 1.0; TReduWet = 0.95; LimitReduWet = 0.5; HReduDry = 3.45; IntercepCap = 0.3;\n"
                    "JulDays = 15 105 135 258 288; Albedo = 0.10 0.20 0.30 0.40 0.50; rsc = 80 60 60 60 80;\n"
                    "LAI = 1 2 4 4 1; Z0 = 0.02 0.05 0.1 0.1 0.02; VCF = 0.8 0.9 0.95 0.95 0.8;\n"
                    "RootDepth = 0.2 0.3 0.4 0.4 0.2; AltDep = 0 0 0 0 0;\n}\n",
                    "VariableDayCount");
  w.args.landuseTable = table.get();
  ASSERT_EQ(w.Build(SnowSection{}), 0) << w.console.str();
  w.Fill("temperature", -3);
  w["snowstorage_solid"][1][2] = 20;
  // 15 April is day 105 of 2001.
  w.model->run(1, 15, 4, 2001);
  EXPECT_NEAR(w["albedo"][1][1], 0.2, 1e-12);
  EXPECT_GT(w["albedo"][1][2], 0.45);
  // A date the land-use table refuses fails in the parallel cell loop; the
  // step ends with its code after the loop.
  EXPECT_EQ(CodeOf([&] { w.model->run(1, 31, 13, 2001); }), 150);
}

TEST(SnowStep, MembersOfHydrologicResponseUnitsCopyTheirMasterAndSlidesStayOff) {
  SnowWorld w("hru", {"111"});
  Grid units = w.Add("HydrologicResponseUnits", 1);
  Grid masters = w.Add("MasterHydrologicResponseUnits", kNodata);
  masters[1][1] = 1;
  units[1][3] = 2;
  masters[1][3] = 2;
  std::vector<HRURecord> table = {HRURecord{0, "", 0, 0}, HRURecord{1, "a", 1, 1}, HRURecord{2, "b", 1, 3}};
  w.args.object.hru = table.data();
  SnowSection s;
  s.method = 8;
  s.minslide = "1";
  s.fraction = "0.5";
  w.Fill("slope_angle", 40);
  ASSERT_EQ(w.Build(s), 0) << w.console.str();
  w["snowstorage_solid"][1][1] = 40;
  w["snowstorage_solid"][1][2] = 7;
  w["snowstorage_solid"][1][3] = 10;
  w.Fill("temperature", 2);
  w.model->run(1, 10, 1, 2001);
  const double melt = 3 * 2 / 24.0;
  EXPECT_NEAR(w["snowstorage_solid"][1][1], 40 - melt, 1e-12);
  EXPECT_EQ(w["snowstorage_solid"][1][2], w["snowstorage_solid"][1][1]);
  EXPECT_EQ(w["snowstorage_liquid"][1][2], w["snowstorage_liquid"][1][1]);
  EXPECT_NEAR(w["snowstorage_solid"][1][3], 10 - melt, 1e-12);
  EXPECT_EQ(w["input_mass"][1][1], 0.0);

  // Static glacier cells: a member takes the snow of its master's glacier
  // part as well, and its melt.
  SnowWorld g("hruglacier", {"111"});
  Grid gunits = g.Add("HydrologicResponseUnits", 1);
  Grid gmasters = g.Add("MasterHydrologicResponseUnits", kNodata);
  gmasters[1][1] = 1;
  gunits[1][3] = 2;
  gmasters[1][3] = 2;
  g.args.object.hru = table.data();
  g.Add("ice_firn", 1);
  IceFirnSection f;
  f.method = 1;
  ASSERT_EQ(g.Build(SnowSection{}, f.Text()), 0) << g.console.str();
  g["SolidSnowStorage_onGlacier"][1][1] = 20;
  g["SolidSnowStorage_onGlacier"][1][2] = 5;
  g.Fill("temperature", 2);
  g.model->run(1, 10, 1, 2001);
  for (const char* name : {"SolidSnowStorage_onGlacier", "LiquidSnowStorage_onGlacier", "TotalSnowStorage_onGlacier",
                           "SnowMelt_onGlacier"})
    EXPECT_EQ(g[name][1][2], g[name][1][1]) << name;
  // DDFsnow 2.4 mm/(K day) at 2 degrees for an hour.
  EXPECT_NEAR(g["SolidSnowStorage_onGlacier"][1][1], 20 - 2.4 * 2 / 24.0, 1e-12);
}

TEST(SnowStep, AResponseUnitOutsideTheTableStopsTheStep) {
  SnowWorld w("hrubad", {"111"});
  Grid units = w.Add("HydrologicResponseUnits", 1);
  Grid masters = w.Add("MasterHydrologicResponseUnits", kNodata);
  masters[1][1] = 1;
  units[1][3] = 2;
  masters[1][3] = 2;
  units[1][2] = 7;  // the table has units 1 and 2 only
  std::vector<HRURecord> table = {HRURecord{0, "", 0, 0}, HRURecord{1, "a", 1, 1}, HRURecord{2, "b", 1, 3}};
  w.args.object.hru = table.data();
  ASSERT_EQ(w.Build(SnowSection{}), 0) << w.console.str();
  EXPECT_EQ(CodeOf([&] { w.model->run(1, 10, 1, 2001); }), 1030);
  EXPECT_TRUE(w.Said("the hydrologic response unit 7 of cell row 1, column 2")) << w.console.str();
}

// ---- a winter on the example basin ----

struct Basin {
  std::vector<std::string> picture;
  std::vector<std::vector<double>> dem;
};

// Every other row and column of the example's elevation model: its
// elevations and slopes at a quarter of the cells (the winters check every
// cell at every step, a quarter of the work under the sanitizers).
Basin ExampleBasin() {
  std::ifstream in(std::string(FLUVEX_EXAMPLE_DIR) + "/dem.asc");
  std::string key;
  double v[6];
  for (double& x : v) in >> key >> x;
  const int ncols = static_cast<int>(v[0]);
  const int nrows = static_cast<int>(v[1]);
  Basin b;
  for (int r = 0; r < nrows; ++r) {
    std::vector<double> heights;
    std::string row;
    for (int c = 0; c < ncols; ++c) {
      double h = 0;
      in >> h;
      if (r % 2 != 0 || c % 2 != 0) continue;
      heights.push_back(h);
      row += h <= -9999 ? '.' : static_cast<char>('1' + (h >= 250) + (h >= 350) + (h >= 450));
    }
    if (r % 2 != 0) continue;
    b.dem.push_back(heights);
    b.picture.push_back(row);
  }
  return b;
}

// A deterministic winter: daily and seasonal temperature cycle with a lapse
// rate, wet spells, wind, humidity, cloud and sunshine by the hour.
void Weather(SnowWorld& w, const Basin& b, int step, int hourOfDay) {
  const int day = step / 24;
  unsigned state = 2654435761u * static_cast<unsigned>(day + 17);
  auto next = [&]() {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) / 16777216.0;
  };
  const double offset = 8 * next() - 4;
  const bool wet = next() < 0.4;
  const double rate = wet ? 0.2 + 1.2 * next() : 0.0;
  const double sun = std::max(0.0, std::sin(3.14159265 * (hourOfDay - 8) / 8.0));
  Grid T = w["temperature"], Tn = w["temperature_night"], P = w["precipitation"], u = w["wind_speed"];
  Grid h = w["air_humidity"], N = w["cloudiness"], G = w["AspectCorrectedGlobalRadiation"], e = w["vapor_pressure"];
  for (int r = 1; r <= w.nrows; ++r)
    for (int c = 1; c <= w.ncols; ++c) {
      const double z = b.dem[r - 1][c - 1] > -9999 ? b.dem[r - 1][c - 1] : 300;
      const double t = 1.5 + offset - 3 * std::cos(2 * 3.14159265 * (hourOfDay - 4) / 24.0) - 0.0065 * (z - 300) -
                       2 * std::sin(3.14159265 * day / 90.0);
      T[r][c] = t;
      Tn[r][c] = t - 2;
      P[r][c] = rate * (1 + 0.001 * (z - 300)) * ((r + c + step) % 5 == 0 ? 0 : 1);
      u[r][c] = 1 + 4 * next();
      h[r][c] = wet ? 0.95 : 0.7;
      N[r][c] = wet ? 0.9 : 0.3;
      G[r][c] = 400 * sun * (wet ? 0.3 : 1.0) * 0.06;
      e[r][c] = (wet ? 0.95 : 0.7) * 6.1078 * std::exp(17.08 * t / (t + 234.175));
    }
}

std::unique_ptr<SnowWorld> BasinWorld(const Basin& b, int method, int interval, const std::string& name) {
  auto w = std::make_unique<SnowWorld>(name, b.picture);
  for (int r = 1; r <= w->nrows; ++r)
    for (int c = 1; c <= w->ncols; ++c) (*w)["elevation"][r][c] = std::max(150.0, b.dem[r - 1][c - 1]);
  w->Add("snow_evaporation", 0);
  // Cell areas that differ: the statistics weight by them.
  Grid area = w->Add("RelCellArea", 1);
  for (int r = 1; r <= w->nrows; ++r)
    for (int c = 1; c <= w->ncols; ++c) area[r][c] = 0.9 + 0.01 * ((r * 7 + c * 3) % 20);
  w->Fill("deposition_index", 0.2);
  w->Fill("slope_angle", 35);
  SnowSection s;
  s.method = method;
  s.interval = interval;
  s.statcode = 2001;
  s.minslide = "30";
  s.fraction = "0.1";
  EXPECT_EQ(w->Build(s), 0) << w->console.str();
  return w;
}

// Runs the winter and checks every cell's balance at every step against the
// precipitation given: storage change = precipitation + what the wind brings
// (deposition index D: D times the snowfall of the precipitation) - outflow -
// sublimation, plus what slides left or brought. Slides move water between
// cells of unequal area: the basin's volume (mm times the cell's area) changes
// by its inputs and outputs only.
void RunWinter(SnowWorld& w, const Basin& b, int days, int interval, double& basinOutflow) {
  const int steps = days * 1440 / interval;
  const int nr = w.nrows;
  const int nc = w.ncols;
  std::vector<double> before(static_cast<size_t>(nr * nc));
  std::vector<double> given(static_cast<size_t>(nr * nc));
  basinOutflow = 0;
  int64_t year = 2014, month = 12, day = 1;
  double worst = 0;
  double worstPartition = 0;
  double worstBasin = 0;
  Grid solid = w["snowstorage_solid"], liquid = w["snowstorage_liquid"], total = w["snow_storage_total"];
  Grid snowfall = w["snow_fraction"], rainfall = w["rain_fraction"], outflow = w["snowcover_outflow"];
  Grid evaporation = w["snow_evaporation"], zone = w["zones"], precipitation = w["precipitation"];
  Grid input = w["input_mass"], deposition = w["deposition"], mobile = w["mobile_mass"];
  Grid area = w["RelCellArea"], drift = w["deposition_index"];
  const int method = w.model->GetMethod();
  const bool eb = schneemodellklasse::EnergyBalanceMethod(method);
  const bool wind = schneemodellklasse::DepositionIndexMethod(method);
  Grid surface = w["surftemp"], pack = w["snowtemp"], air = w["temperature"];
  for (int step = 0; step < steps; ++step) {
    const int hour = static_cast<int>((step * interval / 60) % 24) + interval / 60;
    Weather(w, b, step * interval / 60, hour - 1);
    for (int r = 1; r <= nr; ++r)
      for (int c = 1; c <= nc; ++c)
        if (zone[r][c] > kNodata) {
          before[(r - 1) * nc + c - 1] = solid[r][c] + liquid[r][c];
          given[(r - 1) * nc + c - 1] = precipitation[r][c];
        }
    w.model->run(hour, day, month, year);
    double basinChange = 0;
    double basinFlux = 0;
    for (int r = 1; r <= nr; ++r)
      for (int c = 1; c <= nc; ++c) {
        if (!(zone[r][c] > kNodata)) continue;
        const double S = solid[r][c];
        const double L = liquid[r][c];
        ASSERT_GE(S, 0) << r << " " << c;
        ASSERT_GE(L, 0) << r << " " << c;
        ASSERT_NEAR(total[r][c], S + L, 1e-12);
        if (eb && interval <= 720) {
          // Surface not more than 13 K below the air and not above melting;
          // no temperatures without a pack.
          const double Ts = surface[r][c];
          const double Tp = pack[r][c];
          if (S + L > 0) {
            ASSERT_GE(Ts, air[r][c] + 273.16 - 13 - 1e-9) << r << " " << c;
            ASSERT_LE(Ts, 273.16);
            ASSERT_LE(Tp, 273.16);
          } else {
            ASSERT_EQ(Ts, kNodata);
            ASSERT_EQ(Tp, kNodata);
          }
        }
        // The snowfall holds the wind's share D / (1 + D) of it.
        const double D = wind ? drift[r][c] : 0.0;
        const double P = given[(r - 1) * nc + c - 1] + snowfall[r][c] * D / (1 + D);
        worstPartition = std::max(worstPartition, std::fabs(snowfall[r][c] + rainfall[r][c] - P));
        const double change = S + L - before[(r - 1) * nc + c - 1];
        const double flux = P - outflow[r][c] - (eb ? evaporation[r][c] : 0.0);
        // Slides: released mass leaves, deposited and still moving mass stays.
        const double slid = input ? deposition[r][c] + mobile[r][c] - input[r][c] : 0.0;
        worst = std::max(worst, std::fabs(change - flux - slid));
        basinChange += area[r][c] * change;
        basinFlux += area[r][c] * flux;
        basinOutflow += outflow[r][c];
      }
    worstBasin = std::max(worstBasin, std::fabs(basinChange - basinFlux));
    if (hour == 24) {
      ++day;
      if (day > DaysInMonth(year, month)) {
        day = 1;
        if (++month > 12) {
          month = 1;
          ++year;
        }
      }
    }
  }
  EXPECT_LE(worstPartition, 1e-12);
  EXPECT_LE(worst, 1e-9);
  EXPECT_LE(worstBasin, 1e-9 * nr * nc);
}

// Two threads: the shared machine's cores are busy, and waiting threads
// would dominate the run time of these loops. One test per method, so that
// the winters run side by side (ctest runs the shards of this test at once).
class SnowWinter : public ::testing::TestWithParam<int> {};

TEST_P(SnowWinter, EveryCellAndTheBasinCloseOverAWinterOfHourlySteps) {
  omp_set_num_threads(2);
  const Basin b = ExampleBasin();
  {
    const int method = GetParam();
    auto w = BasinWorld(b, method, 60, "winter" + std::to_string(method));
    if (!w->model) return;
    double outflow = 0;
    RunWinter(*w, b, 90, 60, outflow);
    EXPECT_GT(outflow, 0) << method;
    // The storage statistics hold the area-weighted zone means of the last step.
    const zonalstatistic* stat = w->model->StatisticOf(schneemodellklasse::kStatStorage);
    ASSERT_TRUE(stat && stat->IsActive());
    const double* values = stat->GetCurrentValues();
    std::vector<double> sx(w->records.size(), 0.0), area(w->records.size(), 0.0);
    double sxAll = 0, areaAll = 0;
    for (int r = 1; r <= w->nrows; ++r)
      for (int c = 1; c <= w->ncols; ++c) {
        if (!w->Valid(r, c)) continue;
        const int k = w->zoneindex[static_cast<int>((*w)["zones"][r][c])];
        const double a = (*w)["RelCellArea"][r][c];
        const double v = (*w)["snowstorage_solid"][r][c] + (*w)["snowstorage_liquid"][r][c];
        sx[k] += a * v;
        area[k] += a;
        sxAll += a * v;
        areaAll += a;
      }
    for (size_t k = 1; k < w->records.size(); ++k) EXPECT_NEAR(values[k], sx[k] / area[k], 1e-9) << method;
    EXPECT_NEAR(values[w->records.size()], sxAll / areaAll, 1e-9) << method;
  }
}

INSTANTIATE_TEST_SUITE_P(SnowBalance, SnowWinter, ::testing::Values(1, 2, 3, 4, 5, 10, 11, 13));

TEST(SnowBalance, DailyStepsSlidesAndThreadCountsKeepTheBalance) {
  omp_set_num_threads(2);
  const Basin b = ExampleBasin();
  // Daily steps: a night and a day part; with method 7 slides and wind deposition.
  for (int method : {1, 7, 9}) {
    auto w = BasinWorld(b, method, 1440, "daily" + std::to_string(method));
    double outflow = 0;
    RunWinter(*w, b, 60, 1440, outflow);
  }
  // One and four threads give the same bits.
  std::vector<std::vector<double>> results;
  for (int threads : {1, 4}) {
    omp_set_num_threads(threads);
    auto w = BasinWorld(b, 5, 60, "threads" + std::to_string(threads));
    double outflow = 0;
    RunWinter(*w, b, 10, 60, outflow);
    std::vector<double> v;
    for (const char* g : {"snowstorage_solid", "snowstorage_liquid", "snowtemp", "surftemp", "albedo", "snow_age"})
      for (int r = 1; r <= w->nrows; ++r)
        for (int c = 1; c <= w->ncols; ++c) v.push_back((*w)[g][r][c]);
    results.push_back(v);
  }
  omp_set_num_threads(2);
  EXPECT_TRUE(results[0] == results[1]);
}

}  // namespace
