// Radiation correction: the ratio of sloped to horizontal clear-sky direct
// radiation against the geometry of the sun, the corrected temperature, the
// shading of a wall, the recomputation interval and the reading checks.
#include "radiation_et/expokorr.h"

#include <cmath>
#include <random>

#include "tests/radiation_et/et_world.h"

using ettest::World;

namespace {

const double kPi = 3.14159265358979;

std::string Section(int method, int every, int splittings, int step, double scale = 2.0) {
  std::ostringstream s;
  s << "[radiation_correction]\n1   flow control\n"
    << step << "   time interval\n"
    << method << "   method\ntkorr.asc   temperature grid\n0   write code\n"
    << scale << "   scaling\nexkorr.asc   correction grid\n0   write code\nshadow.asc   shadow grid\n0   write code\n"
    << every << "   every N steps\n"
    << splittings << "   splittings\n";
  return s.str();
}

}  // namespace

TEST(RadiationCorrection, SlopesAndNightsGiveTheirFactorsAndTemperatures) {
  World w(1, 3, 100, "slopes");
  Grid slope = w.Get("slope_angle");
  Grid aspect = w.Get("slope_aspect");
  slope[1][2] = 80;  // steep and facing north: no direct sun at 50 N in December
  aspect[1][2] = 0;
  w.Add("temperature", 5.0);
  w.Write(Section(4, 1, 24, 1440));
  int error = 0;
  auto m = ettest::Make<expokorrklasse>(w, error);
  ASSERT_EQ(error, 0) << w.Console();
  ASSERT_GT(m->GetCorrectedTemperaturePosition(), 0);
  ASSERT_GT(m->GetNightTemperaturePosition(), 0);
  Grid k = w.Get("radiation_correction");
  Grid tc = w.Get("corr_temperature");
  Grid night = w.Get("temperature_night");
  ASSERT_EQ(m->GetRadiationCorrectionGrid(), k);

  m->run(24, 21, 12, 2001);
  EXPECT_NEAR(k[1][1], 1.0, 1e-12);
  EXPECT_NEAR(tc[1][1], 5.0, 1e-12);
  EXPECT_EQ(k[1][2], 0.0);
  // No sunshine grid: s = 0.5; T - s f ln(5).
  EXPECT_NEAR(tc[1][2], 5.0 - 0.5 * 2.0 * 1.6094, 1e-12);
  EXPECT_EQ(night[1][2], 5.0);
  m->FreeMemory();
  EXPECT_EQ(w.Position("radiation_correction"), 0);
  EXPECT_EQ(w.Position("temperature_night"), 0);

  // An hourly step from midnight to 1 o'clock: no sun at all.
  World w2(1, 3, 100, "night");
  w2.Get("slope_angle")[1][2] = 30;
  w2.Add("temperature", -3.0);
  w2.Write(Section(2, 1, 4, 60));
  auto m2 = ettest::Make<expokorrklasse>(w2, error);
  ASSERT_EQ(error, 0) << w2.Console();
  EXPECT_EQ(m2->GetNightTemperaturePosition(), 0);  // hourly steps keep no night temperature
  m2->run(1, 21, 6, 2001);
  for (int c = 1; c <= 3; ++c) {
    EXPECT_EQ(w2.Get("radiation_correction")[1][c], 0.0);
    EXPECT_EQ(w2.Get("corr_temperature")[1][c], -3.0);
  }
  m2->FreeMemory();
}

TEST(RadiationCorrection, SouthSlopeAtEquinoxNoon) {
  // 30 degree slope facing south at 50 N at solar noon on 21 March: the beam
  // meets the slope at 20 degrees from its normal and the ground at 50.
  // Clock time of solar noon with the model's equation of time on 21 March
  // (-12.6 min on 1 March, -4.2 min on 1 April), longitude on the meridian.
  const double noon = 12 - ((11.0 / 31) * -12.6 + (20.0 / 31) * -4.2) / 60;
  const double expected = std::cos(20 * kPi / 180) / std::cos(50 * kPi / 180);
  // The one sub-interval of the hourly step 12 ... 13 h is centred at 11.5 h
  // + shift; that of a two-day step ending at midnight on the 12 h of its
  // last day's sun path (not on the step's midnight), whose beam counts
  // once for each of its two days: Ieff_max of the flat cell is twice the
  // day's clear-sky beam at noon times its daylight (12 h at the equinox).
  const struct {
    int step, hour;
    double centre;
  } steps[] = {{60, 12, 11.5}, {2880, 24, 12}};
  for (const auto& s : steps) {
    World w(1, 2, 100, "equinox" + std::to_string(s.step));
    w.Get("slope_angle")[1][2] = 30;
    w.Get("slope_aspect")[1][2] = 180;
    w.timeShift = noon - s.centre;
    w.Write(Section(3, 1, 1, s.step));
    int error = 0;
    auto m = ettest::Make<expokorrklasse>(w, error);
    ASSERT_EQ(error, 0) << w.Console();
    m->run(s.hour, 21, 3, 2001);
    EXPECT_NEAR(w.Get("radiation_correction")[1][2] / expected, 1.0, 0.02) << s.step;
    EXPECT_NEAR(w.Get("radiation_correction")[1][1], 1.0, 1e-12) << s.step;
    if (s.step > 1440) {
      const double cosz = std::cos(50 * kPi / 180);
      const double day = 1367.0 * std::pow(0.86, 0.9 / cosz) * 12 * cosz;
      EXPECT_NEAR(w.Get("Ieff_max")[1][1] / (2 * day), 1.0, 0.03);
    }
    m->FreeMemory();
  }
}

TEST(RadiationCorrection, WallShadesTheCellsWithinItsShadowLength) {
  // Cells of 10 m, sun at tan h = 0.55: a 20 m wall casts 36.4 m of shadow,
  // so the three cells behind it are shaded and the fourth is lit.
  World w(10, 10, 10, "wall");
  Grid z = w.Get("[elevation_model]");
  for (int c = 1; c <= 10; ++c) z[8][c] = 20;
  w.Write(Section(1, 1, 1, 60));
  int error = 0;
  auto m = ettest::Make<expokorrklasse>(w, error);
  ASSERT_EQ(error, 0) << w.Console();
  Grid shadow = w.Get("Shadow");
  const double h = std::atan(0.55);
  m->CastShadows(kPi, h);  // sun in the south: shadows fall to the north (smaller rows)
  for (int r = 1; r <= 10; ++r)
    for (int c = 1; c <= 10; ++c) EXPECT_EQ(shadow[r][c], (r >= 5 && r <= 7) ? 1.0 : 0.0) << r << " " << c;

  for (int r = 1; r <= 10; ++r)
    for (int c = 1; c <= 10; ++c) {
      z[r][c] = c == 8 ? 20 : 0;
      shadow[r][c] = 0;
    }
  m->CastShadows(kPi / 2, h);  // sun in the east (exactly pi/2): shadows fall to the west
  for (int r = 1; r <= 10; ++r)
    for (int c = 1; c <= 10; ++c) EXPECT_EQ(shadow[r][c], (c >= 5 && c <= 7) ? 1.0 : 0.0) << r << " " << c;

  // Diagonal from the south-east: one cell per step along both axes, each
  // step 10 sqrt(2) m (7.8 m of height), so 20 m of wall shade two cells.
  for (int r = 1; r <= 10; ++r)
    for (int c = 1; c <= 10; ++c) {
      z[r][c] = 0;
      shadow[r][c] = 0;
    }
  z[6][6] = 20;
  m->CastShadows(3 * kPi / 4, h);
  int shaded = 0;
  for (int r = 1; r <= 10; ++r)
    for (int c = 1; c <= 10; ++c) shaded += shadow[r][c] == 1.0 ? 1 : 0;
  EXPECT_EQ(shaded, 2);
  EXPECT_EQ(shadow[5][5], 1.0);
  EXPECT_EQ(shadow[4][4], 1.0);
  m->FreeMemory();
}

TEST(RadiationCorrection, SweepStaysInsideOddShapedGrids) {
  // Rough terrain on a raster that is neither square nor even, one cell
  // outside the zones, every sun direction including the quadrant borders.
  // The cells start unmarked (0.5): the rays reach every cell off the two
  // sun-side edges; a cell is shaded only when a cell towards the sun, k
  // steps back along the major axis (rows where |cos azimuth| > 0.707106781)
  // and at most k cells aside, stands higher than the sun's line over k
  // steps (tan h times cellsize / |cos| or / |sin| each); and a cell below
  // the sun's line from each of the three cells one step back is shaded.
  const int rows = 7, cols = 13;
  const double size = 25, h = 0.3;
  World w(rows, cols, size, "sweep");
  std::mt19937 random(5);
  std::uniform_real_distribution<double> height(0, 300);
  Grid z = w.Get("[elevation_model]");
  for (int r = 1; r <= rows; ++r)
    for (int c = 1; c <= cols; ++c) z[r][c] = height(random);
  w.zone[3][4] = -9999;
  w.Write(Section(2, 1, 1, 60));
  int error = 0;
  auto m = ettest::Make<expokorrklasse>(w, error);
  ASSERT_EQ(error, 0) << w.Console();
  Grid shadow = w.Get("Shadow");
  auto inside = [&](int r, int c) { return r >= 1 && r <= rows && c >= 1 && c <= cols; };
  int shaded = 0, forced = 0;
  for (int i = 0; i <= 64; ++i) {
    const double phi = i * 2 * kPi / 64;
    SCOPED_TRACE(i);
    for (int r = 1; r <= rows; ++r)
      for (int c = 1; c <= cols; ++c) shadow[r][c] = w.zone[r][c] > -9999 ? 0.5 : -9999;
    m->CastShadows(phi, h);
    const bool rowsmajor = std::fabs(std::cos(phi)) > 0.707106781;
    const double step = std::tan(h) * size / (rowsmajor ? std::fabs(std::cos(phi)) : std::fabs(std::sin(phi)));
    // One step towards the sun along the major axis (rows grow southwards,
    // columns eastwards), and the minor axis.
    const int north = std::cos(phi) > 0 ? -1 : 1, east = std::sin(phi) >= 0 ? 1 : -1;
    const int mr = rowsmajor ? north : 0, mc = rowsmajor ? 0 : east;
    const int nr = rowsmajor ? 0 : 1, nc = rowsmajor ? 1 : 0;
    for (int r = 1; r <= rows; ++r)
      for (int c = 1; c <= cols; ++c) {
        if (w.zone[r][c] <= -9999) {
          EXPECT_EQ(shadow[r][c], -9999);
          continue;
        }
        const bool edge = !inside(r + north, c) || !inside(r, c + east);
        if (shadow[r][c] == 0.5) {
          EXPECT_TRUE(edge) << "row " << r << ", column " << c << " not reached";
          continue;
        }
        ASSERT_TRUE(shadow[r][c] == 0 || shadow[r][c] == 1) << shadow[r][c];
        bool higher = false;
        for (int k = 1; inside(r + k * mr, c + k * mc) || inside(r + k * mr - k * nr, c + k * mc - k * nc) ||
                        inside(r + k * mr + k * nr, c + k * mc + k * nc);
             ++k)
          for (int j = -k; j <= k; ++j) {
            const int a = r + k * mr + j * nr, b = c + k * mc + j * nc;
            higher = higher || (inside(a, b) && z[a][b] - k * step > z[r][c]);
          }
        if (shadow[r][c] == 1) {
          ++shaded;
          EXPECT_TRUE(higher) << "row " << r << ", column " << c << " shaded by nothing";
        }
        bool below = true;
        for (int j = -1; j <= 1; ++j) {
          const int a = r + mr + j * nr, b = c + mc + j * nc;
          below = below && inside(a, b) && w.zone[a][b] > -9999 && z[r][c] < z[a][b] - step;
        }
        if (below) {
          ++forced;
          EXPECT_EQ(shadow[r][c], 1) << "row " << r << ", column " << c << " lies below its neighbours' shade";
        }
      }
  }
  EXPECT_GT(shaded, 100);
  EXPECT_GT(forced, 20);
  m->FreeMemory();
}

TEST(RadiationCorrection, RecomputedEveryNthStepNightTemperatureEveryStep) {
  World w(1, 1, 100, "every");
  Grid slope = w.Get("slope_angle");
  Grid T = w.Add("temperature", 0.0);
  w.Write(Section(4, 3, 24, 1440));
  int error = 0;
  auto m = ettest::Make<expokorrklasse>(w, error);
  ASSERT_EQ(error, 0) << w.Console();
  Grid k = w.Get("radiation_correction");
  Grid night = w.Get("temperature_night");
  const double expected[5] = {1, 1, 1, 0, 0};
  for (int step = 0; step < 5; ++step) {
    T[1][1] = 10 + step;
    // After the first step the cell turns into a steep north slope that gets no sun.
    slope[1][1] = step == 0 ? 0 : 80;
    w.Get("slope_aspect")[1][1] = 0;
    m->run(24, 10 + step, 12, 2001);
    EXPECT_NEAR(k[1][1], expected[step], 1e-12) << "step " << step + 1;
    EXPECT_EQ(night[1][1], T[1][1]);
  }
  m->FreeMemory();
}

TEST(RadiationCorrection, TwilightStepsAreNotCorrected) {
  // At 38.3 N on 21 June the sun rises at about 4.7 h and sets at about
  // 19.4 h (hour angle acos(-tan 38.3 tan 23.44) = 110 degrees): the steps
  // 4 ... 5 h and 19 ... 20 h have daylight, but their centres lie before
  // sunrise and after sunset, so there is no beam to correct by. Like any
  // flat cell, a slope then keeps the radiation as it is.
  World w(1, 2, 100, "twilight");
  w.latitude = 38.3;
  w.Get("slope_angle")[1][2] = 10;  // facing south
  w.Write(Section(3, 1, 1, 60));
  int error = 0;
  auto m = ettest::Make<expokorrklasse>(w, error);
  ASSERT_EQ(error, 0) << w.Console();
  Grid k = w.Get("radiation_correction");
  for (int hour : {5, 20}) {
    m->run(hour, 21, 6, 2001);
    EXPECT_EQ(k[1][1], 1.0) << hour << " h";
    EXPECT_EQ(k[1][2], 1.0) << hour << " h";
  }
  m->run(3, 21, 6, 2001);  // night
  EXPECT_EQ(k[1][1], 0.0);
  m->run(13, 21, 6, 2001);  // noon, the sun 15 degrees from the zenith: the slope faces it more squarely
  EXPECT_NEAR(k[1][1], 1.0, 1e-12);
  EXPECT_GT(k[1][2], 1.0);
  m->FreeMemory();
}

TEST(RadiationCorrection, KeptOverADayOfHourlyStepsFollowsDayAndNight) {
  // Recomputed every 24 hourly steps, first at 1 h (night): every step with
  // a beam takes the day's ratio of sloped to horizontal beam, as the hourly
  // correction sums the two over the day; night steps take 0; the corrected
  // temperature follows each step's temperature.
  double beam[25][3] = {};
  double flat = 0, sloped = 0;
  int error = 0;
  {
    World hourly(1, 2, 100, "every_hour");
    hourly.Get("slope_angle")[1][2] = 30;  // facing south
    hourly.Add("temperature", 0.0);
    hourly.Write(Section(2, 1, 1, 60));
    auto everyStep = ettest::Make<expokorrklasse>(hourly, error);
    ASSERT_EQ(error, 0) << hourly.Console();
    for (int hour = 1; hour <= 24; ++hour) {
      everyStep->run(hour, 21, 6, 2001);
      for (int c = 1; c <= 2; ++c) beam[hour][c] = hourly.Get("Ieff_max")[1][c];
      flat += beam[hour][1];
      sloped += beam[hour][2];
    }
    everyStep->FreeMemory();
  }
  ASSERT_GT(flat, 0);
  const double ratio = sloped / flat;
  EXPECT_GT(std::fabs(ratio - 1), 0.01);
  World daily(1, 2, 100, "every_24_hours");
  daily.Get("slope_angle")[1][2] = 30;
  daily.Add("temperature", 0.0);
  daily.Write(Section(2, 24, 1, 60));
  auto everyDay = ettest::Make<expokorrklasse>(daily, error);
  ASSERT_EQ(error, 0) << daily.Console();
  Grid k = daily.Get("radiation_correction");
  Grid tc = daily.Get("corr_temperature");
  Grid T = daily.Get("temperature");
  int lit = 0;
  for (int hour = 1; hour <= 24; ++hour) {
    T[1][1] = T[1][2] = hour;
    everyDay->run(hour, 21, 6, 2001);
    if (beam[hour][1] > 0) {
      ++lit;
      EXPECT_EQ(k[1][1], 1.0) << hour << " h";
      EXPECT_NEAR(k[1][2], ratio, 1e-9) << hour << " h";
      EXPECT_NEAR(daily.Get("Ieff_max")[1][1], beam[hour][1], 1e-9) << hour << " h";
      EXPECT_EQ(tc[1][1], hour);
      // s = 0.5 without a sunshine grid, scaling factor 2.
      EXPECT_NEAR(tc[1][2], hour + 0.5 * 2.0 * std::log(ratio), 1e-9) << hour << " h";
    } else {
      EXPECT_EQ(k[1][1], k[1][2]) << hour << " h";  // night 0, twilight 1
      EXPECT_EQ(tc[1][2], hour);
    }
  }
  EXPECT_GE(lit, 14);
  everyDay->FreeMemory();
}

TEST(RadiationCorrection, SectionValuesAreChecked) {
  World w(1, 1, 100, "checks");
  int error = 0;
  w.Write(Section(2, 1, 0, 60));
  auto m = ettest::Make<expokorrklasse>(w, error);
  EXPECT_EQ(error, 17);
  EXPECT_NE(w.Console().find("number of splittings for radiation_correction: 0 (control file "), std::string::npos)
      << w.Console();
  EXPECT_NE(w.Console().find(", line 13); it has to be at least 1"), std::string::npos) << w.Console();

  // Any method outside 1 ... 4 is method 2; a missing slope grid is fatal.
  World w2(1, 1, 100, "checks2");
  w2.Write(Section(7, 1, 2, 60));
  auto m2 = ettest::Make<expokorrklasse>(w2, error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(m2->GetMethod(), 2);
  EXPECT_NE(w2.Console().find("WARNING: methode of correction for radiation_correction: 7 ("), std::string::npos);
  m2->FreeMemory();
  w2.list[w2.Position("slope_angle")].shortname = "renamed";
  auto m3 = ettest::Make<expokorrklasse>(w2, error);
  EXPECT_EQ(error, 33);
  EXPECT_NE(w2.Console().find("slope_angle"), std::string::npos);
}
