// Evapotranspiration per step: Penman-Monteith of one cell against FAO-56
// Example 18, the clear-sky radiation against FAO-56 Example 8, Hamon,
// Wendling and Haude at hand-computed points, the layers of a multi-layer
// cell, the statistics against the area-weighted means of the grids, snow
// evaporation and real evapotranspiration.
#include <cmath>

#include "framework/zonalstatistic.h"
#include "parameters/multilayer_landuse_entry.h"
#include "radiation_et/etpetr.h"
#include "tests/radiation_et/et_section.h"

using ettest::EtSection;
using ettest::World;

namespace {

std::unique_ptr<verdunstungsmodellklasse> Build(World& w, const EtSection& s) {
  w.Write(s.Text());
  int error = 0;
  auto m = ettest::Make<verdunstungsmodellklasse>(w, error);
  EXPECT_EQ(error, 0) << w.Console();
  return error == 0 ? std::move(m) : nullptr;
}

}  // namespace

TEST(PotentialEvapotranspiration, PenmanMonteithMatchesFaoReferenceCrop) {
  // FAO-56 Example 18, Brussels on 6 July: T = 16.9 C, es - ea = 0.589 kPa,
  // u2 = 2.078 m/s, P = 100.1 kPa, Rn = 13.28 MJ/m2/d, G = 0; ET0 = 3.9 mm/d.
  // The reference crop: rs = 70 s/m (a dense canopy, so rsc/(1 - 0.6^LAI) is
  // 70), ra = 208/u2 (the roughness length chosen for that), and the whole
  // net radiation absorbed by the canopy.
  World w(1, 1, 100, "fao18");
  ettest::AddPenmanInputs(w, 1);
  w.Add("net_radiation", 13.28 / 0.0036);  // Wh/m2
  w.Add("air_pressure", 1001);
  const double u = 2.078;
  const double ra = 208 / u;
  w.Get("wind_speed")[1][1] = u;
  w.Get("leaf_area_index1")[1][1] = 60;
  w.Get("SurfaceCanopyResistance1")[1][1] = 70;
  w.Get("RoughnessLength1")[1][1] = 20 / std::exp(std::sqrt(ra * (1 + 0.54 * u) / 4.72));
  auto m = Build(w, EtSection{});
  ASSERT_TRUE(m);
  // The vapour pressure gives FAO's deficit with the saturation pressure of the mean temperature.
  w.Get("vapor_pressure")[1][1] = m->SatVapPressure(16.9) - 5.89;
  double es = 0, ei = 0, raOut = 0, night = 0, day = 0;
  const double et = m->PenmanMonteith(1, 1, 1, 1, es, 16.9, 1.0, ei, raOut, night, day, 0.5, 0, 0);
  EXPECT_NEAR(raOut, ra, 1e-9);
  EXPECT_NEAR(et / 3.9, 1, 0.03);
  // A day part of 60 % and a night part of 40 % of the step at the same
  // temperature give the whole step's ET: each takes its share of the net
  // radiation and of the aerodynamic term. By night the stomata close to
  // 1 / (LAI x cover x 0.0004): a canopy of LAI x cover = 1 / (70 x 0.0004)
  // has the reference 70 s/m by night as by day.
  w.Get("leaf_area_index1")[1][1] = 1 / (70 * 0.0004);
  w.Get("vegetation_coverage_degree1")[1][1] = 1;
  double raW = 0, nW = 0, dW = 0, esW = 0, eiW = 0;
  const double whole = m->PenmanMonteith(1, 1, 1, 1, esW, 16.9, 1.0, eiW, raW, nW, dW, 0.5, 0, 0);
  EXPECT_NEAR(whole / 3.9, 1, 0.03);
  double ra2 = 0, n2 = 0, d2 = 0, es2 = 0, ei2 = 0;
  const double dayPart = m->PenmanMonteith(1, 1, 1, 1, es2, 16.9, 0.6, ei2, ra2, n2, d2, 0.5, 0, 0);
  double ra3 = 0, n3 = 0, d3 = 0, es3 = 0, ei3 = 0;
  const double nightPart = m->PenmanMonteith(1, 1, 1, 0, es3, 16.9, 0.4, ei3, ra3, n3, d3, 0.5, 0, 0);
  EXPECT_NEAR(dayPart / whole, 0.6, 1e-6);
  EXPECT_NEAR(nightPart / whole, 0.4, 1e-6);
  EXPECT_NEAR(dayPart + nightPart, whole, 1e-6 * whole);
  // So do the soil and interception evaporation of the parts.
  EXPECT_NEAR(es2 + es3, esW, 1e-6 * std::fabs(esW) + 1e-12);
  EXPECT_NEAR(ei2 + ei3, eiW, 1e-6 * eiW);
  m->FreeMemory();
}

TEST(PotentialEvapotranspiration, DailyStepOfNightAndDayPartsMatchesFaoExample18) {
  // FAO-56 Example 18 is a daily step: at 50.8 N on 6 July the step has a
  // night part of about a third and a day part; each part evaluates the
  // canopy with its share of the day's net radiation and of the
  // aerodynamic term, so together they give the day's ET0. The canopy has
  // the reference surface resistance of 70 s/m by day and by night (LAI x
  // cover = 1 / (70 x 0.0004)), ra = 208/u2, and no temperature amplitude:
  // both parts see the mean temperature 16.9 C.
  World w(1, 1, 100, "fao18_daily");
  w.latitude = 50.8;
  ettest::AddPenmanInputs(w, 1);
  Grid rn = w.Add("net_radiation", 13.28 / 0.0036);  // Wh/m2 per day
  w.Add("air_pressure", 1001);
  w.Get("temperature")[1][1] = 16.9;
  w.Get("temperature_night")[1][1] = 16.9;
  const double u = 2.078;
  w.Get("wind_speed")[1][1] = u;
  w.Get("leaf_area_index1")[1][1] = 1 / (70 * 0.0004);
  w.Get("SurfaceCanopyResistance1")[1][1] = 70;
  w.Get("RoughnessLength1")[1][1] = 20 / std::exp(std::sqrt(208 / u * (1 + 0.54 * u) / 4.72));
  EtSection s;
  s.amplitudes = "0 0 0 0 0 0 0 0 0 0 0 0";
  auto m = Build(w, s);
  ASSERT_TRUE(m);
  w.Get("vapor_pressure")[1][1] = m->SatVapPressure(16.9) - 5.89;
  // FAO-56 equation 6 with the example's slope 0.122 kPa/K and psychrometric
  // constant 0.0666 kPa/K, for a net radiation Rn (MJ/m2/d).
  auto fao = [u](double Rn) {
    const double delta = 0.122, gamma = 0.0666;
    return (0.408 * delta * Rn + gamma * 900 / (16.9 + 273) * u * 0.589) / (delta + gamma * (1 + 0.34 * u));
  };
  EXPECT_NEAR(fao(13.28), 3.9, 0.05);
  m->PotentialEvapotranspiration(24, 6, 7, 2001);
  EXPECT_NEAR(w.Get("pot_transpiration1")[1][1] / fao(13.28), 1, 0.03);
  // The day part's radiation counts: twice the net radiation.
  rn[1][1] *= 2;
  m->PotentialEvapotranspiration(24, 6, 7, 2001);
  EXPECT_NEAR(w.Get("pot_transpiration1")[1][1] / fao(2 * 13.28), 1, 0.03);
  m->FreeMemory();
}

TEST(PotentialEvapotranspiration, DailyDayTemperatureServesTheStepOnly) {
  // A daily step splits the day's 15 C into a warmer day and a cooler night
  // part; the snow model, which runs next, melts with both. The
  // temperature grid holds the day part's value until the real
  // evapotranspiration starts, then the day's 15 C again, so steps on a
  // grid that nobody rewrites (a corrected temperature kept between its
  // recomputations) do not add the amplitude up.
  World w(1, 1, 100, "day_temperature");
  ettest::AddPenmanInputs(w, 1);
  Grid T = w.Get("temperature");
  Grid night = w.Get("temperature_night");
  auto m = Build(w, EtSection{});
  ASSERT_TRUE(m);
  double day = 0;
  for (int step = 1; step <= 3; ++step) {
    night[1][1] = 15;  // the radiation correction's copy of the day's temperature
    m->PotentialEvapotranspiration(24, 20, 7, 2001);
    if (step == 1) day = T[1][1];
    EXPECT_GT(T[1][1], 15.5) << "step " << step;
    EXPECT_LT(night[1][1], 14.5) << "step " << step;
    EXPECT_NEAR(T[1][1], day, 1e-12) << "step " << step;
    m->RealEvapotranspiration(24, 20, 7, 2001);
    EXPECT_EQ(T[1][1], 15.0) << "step " << step;
    m->AccumulateZoneStatistics(24, 20, 7, 2001);
    EXPECT_EQ(T[1][1], 15.0) << "step " << step;
  }
  m->FreeMemory();
}

TEST(PotentialEvapotranspiration, ClearSkyRadiationMatchesFaoExtraterrestrial) {
  // FAO-56 Example 8: 20 S on 3 September, Ra = 32.2 MJ/m2/d with the
  // eccentricity factor 0.985 the model does not have. A transmissivity of 1
  // at sea-level pressure and full sunshine make the global radiation equal
  // to the sum of the sun's height over the day.
  World w(1, 1, 100, "fao8");
  w.latitude = -20;
  w.Add("temperature", 15);
  w.Add("landuse1", 1);
  w.Add("albedo", 0.23);
  w.Add("sunshine_duration", 1.0);
  EtSection s;
  s.method = 3;
  s.tau = "1 0";
  auto m = Build(w, s);
  ASSERT_TRUE(m);
  m->PotentialEvapotranspiration(24, 3, 9, 2001);
  const double G = w.Get("AspectCorrectedGlobalRadiation")[1][1];
  EXPECT_NEAR(G / (32.2 / 0.985 / 0.0036), 1, 0.015);
  // Wendling with fk = 1, albedo 0.23 and 15 C on that radiation.
  const double wendling = (93 * 1.0 + 0.36 * G * (1.1 - 0.23)) * (22 + 15) / (150 * (123 + 15.0));
  EXPECT_NEAR(w.Get("pot_transpiration1")[1][1], wendling, 1e-12);
  EXPECT_EQ(w.Get("pot_transpiration0")[1][1], w.Get("pot_transpiration1")[1][1]);
  m->FreeMemory();

  // A step of two such days: the radiation of both days and the coast term
  // of each day, twice the day's amount.
  World two(1, 1, 100, "fao8_two_days");
  two.latitude = -20;
  two.Add("temperature", 15);
  two.Add("landuse1", 1);
  two.Add("albedo", 0.23);
  two.Add("sunshine_duration", 1.0);
  s.step = 2880;
  auto m2 = Build(two, s);
  ASSERT_TRUE(m2);
  m2->PotentialEvapotranspiration(24, 3, 9, 2001);
  EXPECT_NEAR(two.Get("AspectCorrectedGlobalRadiation")[1][1] / G, 2, 1e-9);
  EXPECT_NEAR(two.Get("pot_transpiration1")[1][1], 2 * wendling, 1e-9);
  m2->FreeMemory();
}

TEST(PotentialEvapotranspiration, HamonAndHaudeAtHandComputedPoints) {
  // Hamon on the equator (12 h of daylight: day fraction 0.5) at 20 C, where
  // the Magnus formula gives 23.3802 hPa: 2 x 0.1651 x PEC x 0.5 x 216.7 x
  // 23.3802 / 293.3. On 10 June PEC lies on the line from (-15, May 0.25) to
  // (15, June 0.3): 0.291667, E = 0.83182 mm; on 16 June it is June's 0.3,
  // E = 0.85559 mm. Both are a day's: a step of two days has twice as much.
  EtSection s;
  for (int days : {1, 2}) {
    World w(1, 1, 100, "hamon_" + std::to_string(days));
    w.latitude = 0;
    w.Add("temperature", 20);
    w.Add("landuse1", 1);
    s.method = 2;
    s.step = 1440 * days;
    s.etpStat = "etp.txt 2001";
    auto m = Build(w, s);
    ASSERT_TRUE(m);
    m->PotentialEvapotranspiration(24, 10, 6, 2001);
    EXPECT_NEAR(w.Get("pot_transpiration1")[1][1], 0.831820 * days, 1e-5) << days << " days";
    m->PotentialEvapotranspiration(24, 16, 6, 2001);
    EXPECT_NEAR(w.Get("pot_transpiration1")[1][1], 0.855587 * days, 1e-5) << days << " days";
    EXPECT_NEAR(w.Get("potential_InterceptionEvap0")[1][1], 0.855587 * days, 1e-5) << days << " days";
    // The statistics of the vegetation layer hold the layer's value too.
    for (int layer : {0, 1}) {
      zonalstatistic* st = m->GetStatistics("ETP", layer);
      ASSERT_NE(st, nullptr);
      EXPECT_NEAR(st->GetCurrentValues()[st->GetSlotCount()], 0.855587 * days, 1e-5) << "layer " << layer;
    }
    m->FreeMemory();
  }

  // Haude at 20 C and 60 % humidity in June (fh 0.28): es = 6.11
  // exp(17.62 x 20 / 263.12) = 23.3183 hPa, E = 23.3183 x 0.28 x 0.4 =
  // 2.61165 mm; at 35 C in dry air it is capped at 7 mm. Amount and cap are
  // a day's: a step of two days has twice as much, capped at 14 mm.
  for (int days : {1, 2}) {
    World h(1, 2, 100, "haude_" + std::to_string(days));
    Grid T = h.Add("temperature_14", 20);
    Grid humidity = h.Add("air_humidity_14", 0.6);
    T[1][2] = 35;
    humidity[1][2] = 0;
    h.Add("landuse1", 1);
    s.method = 4;
    s.step = 1440 * days;
    auto haude = Build(h, s);
    ASSERT_TRUE(haude);
    haude->PotentialEvapotranspiration(24, 20, 6, 2001);
    EXPECT_NEAR(h.Get("pot_transpiration1")[1][1], 2.611653 * days, 1e-5) << days << " days";
    EXPECT_EQ(h.Get("pot_transpiration1")[1][2], 7.0 * days) << days << " days";
    haude->FreeMemory();
  }
  s.step = 1440;

  // Below 0 C over ice, from the vapour pressure: -5 C in January (fh
  // 0.22), e = 3 hPa: es = 6.11 exp(22.46 x -5 / 267.46) = 4.01505 hPa,
  // E = 4.01505 x 0.22 x (1 - 3 / 4.01505) = 0.223312 mm.
  World v(1, 1, 100, "haude_ice");
  v.Add("temperature_14", -5);
  v.Add("vapor_pressure_14", 3);
  v.Add("landuse1", 1);
  auto ice = Build(v, s);
  ASSERT_TRUE(ice);
  ice->PotentialEvapotranspiration(24, 20, 1, 2001);
  EXPECT_NEAR(v.Get("pot_transpiration1")[1][1], 0.223312, 1e-5);
  ice->FreeMemory();
}

TEST(PotentialEvapotranspiration, LayersOfAMultiLayerCell) {
  // Two layers; in the second cell the upper layer is empty. Its missing
  // leaf area index must add nothing to the resistance of the layer below,
  // which then takes the net radiation as the top of the canopy.
  multilayer_landuse_entry table[2];
  table[0].code = 1;
  table[1].count = 2;
  World w(1, 2, 100, "multilayer");
  w.multilayer = table;
  ettest::AddPenmanInputs(w, 2);
  w.Get("landuse1")[1][2] = -9999;
  w.Get("leaf_area_index1")[1][2] = -9999;
  EtSection s;
  s.step = 60;
  auto m = Build(w, s);
  ASSERT_TRUE(m);
  m->PotentialEvapotranspiration(12, 15, 7, 2001);
  Grid etp0 = w.Get("pot_transpiration0");
  Grid etp1 = w.Get("pot_transpiration1");
  Grid etp2 = w.Get("pot_transpiration2");
  Grid evap = w.Get("potential_evaporation");
  EXPECT_GT(etp1[1][1], 0);
  EXPECT_GT(etp2[1][1], 0);
  EXPECT_EQ(etp1[1][2], 0);
  EXPECT_GT(etp2[1][2], 0);
  // With the same grids and nothing above, the lone lower layer transpires
  // more than it does under a canopy.
  EXPECT_GT(etp2[1][2], etp2[1][1]);
  for (int c = 1; c <= 2; ++c) {
    EXPECT_TRUE(std::isfinite(etp0[1][c]));
    EXPECT_NEAR(etp0[1][c], etp1[1][c] + etp2[1][c] + evap[1][c], 1e-12);
  }
  m->FreeMemory();
}

TEST(PotentialEvapotranspiration, StepsLongerThanADayAndStatisticsAreAreaWeightedMeans) {
  // A step of two days of the weather of a one-day step: its global
  // radiation (a sum) twice the day's, its temperature, wind and vapour
  // pressure (means) the day's, no sunshine grid. Every term of
  // Penman-Monteith doubles (the short-wave gain, the long-wave loss and the
  // aerodynamic term over the step's duration; the clear-sky radiation that
  // the global radiation is measured against counts each day of the step),
  // so each cell's potential evapotranspiration is twice the one-day
  // step's. Its statistic is the area-weighted mean of the grid over the
  // zone's cells.
  double perDay[2][3] = {};
  for (int days : {1, 2}) {
    World w(2, 3, 100, "statistics_" + std::to_string(days));
    Grid T = w.Add("temperature", 0);
    Grid night = w.Add("temperature_night", 0);
    w.Add("global_radiation", 3000.0 * days);
    w.Add("vapor_pressure", 10);
    Grid wind = w.Add("wind_speed", 0);
    w.Add("albedo", 0.23);
    w.Add("SurfaceEvaporationResistance", 100);
    w.Add("landuse1", 1);
    w.Add("leaf_area_index1", 2.88);
    w.Add("root_depth1", 1);
    w.Add("vegetation_coverage_degree1", 1);
    w.Add("SurfaceCanopyResistance1", 70);
    w.Add("SurfaceIntercepResistance1", 0);
    w.Add("RoughnessLength1", 0.015);
    Grid area = w.Get("RelCellArea");
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 3; ++c) {
        area[r][c] = 0.5 + 0.25 * c;
        T[r][c] = night[r][c] = 10 + 3 * r + c;
        wind[r][c] = 1 + r * c;
      }
    night[1][1] = 10;
    w.zone[2][3] = -9999;
    EtSection s;
    s.step = 1440 * days;
    s.etpStat = "etp.txt 2001";
    auto m = Build(w, s);
    ASSERT_TRUE(m);
    m->PotentialEvapotranspiration(24, 20, 7, 2001);
    Grid etp0 = w.Get("pot_transpiration0");
    double sum = 0, weight = 0;
    for (int r = 1; r <= 2; ++r)
      for (int c = 1; c <= 3; ++c) {
        if (w.zone[r][c] <= -9999) continue;
        ASSERT_TRUE(std::isfinite(etp0[r][c]));
        EXPECT_GT(etp0[r][c], 0.5 * days) << "row " << r << ", column " << c;  // a July day evaporates
        if (days == 1)
          perDay[r - 1][c - 1] = etp0[r][c];
        else
          EXPECT_NEAR(etp0[r][c] / perDay[r - 1][c - 1], 2, 1e-9) << "row " << r << ", column " << c;
        sum += etp0[r][c] * area[r][c];
        weight += area[r][c];
      }
    zonalstatistic* st = m->GetStatistics("ETP", 0);
    ASSERT_NE(st, nullptr);
    const double* values = st->GetCurrentValues();
    ASSERT_EQ(st->GetSlotCount(), 2);  // zone 1 and the total
    EXPECT_NEAR(values[2], sum / weight, 1e-9);
    EXPECT_NEAR(values[1], sum / weight, 1e-9);
    m->FreeMemory();
  }
}

// ---- snow evaporation and real evapotranspiration: the demands served from
// the snow pack in layer order, the reduction by soil moisture and the cell
// totals, each checked as a balance of the stores ----

namespace {

struct Rig {
  multilayer_landuse_entry table[2];
  World w;
  std::unique_ptr<verdunstungsmodellklasse> m;
  // With glaciers: the glacierized shares and the glacier part's snow grids.
  Rig(const std::string& name, int cols, bool interception = true, bool glaciers = false) : w(1, cols, 100, name) {
    table[0].code = 1;
    table[1].count = 2;
    w.multilayer = table;
    ettest::AddPenmanInputs(w, 2);
    if (interception) w.Add("interception_evaporation0", 0.2);
    if (glaciers)
      for (const char* g : {"GlacierizedCells", "SolidSnowStorage_onGlacier", "TotalSnowStorage_onGlacier",
                            "SnowEvaporation_onGlacier"})
        w.Add(g, 0);
    EtSection s;
    s.step = 60;
    s.etpStat = "etp.txt 0";
    s.etrStat = "etr.txt 2001";
    s.evrsStat = "evrs.txt 2001";
    w.Write(s.Text());
    int error = 0;
    m = ettest::Make<verdunstungsmodellklasse>(w, error);
    EXPECT_EQ(error, 0) << w.Console();
  }
  Grid G(const std::string& name) { return w.Get(name); }
};

}  // namespace

TEST(SnowEvaporation, DemandsServedFromTheSnowPackInLayerOrder) {
  Rig rig("snow", 3);
  Grid snow = rig.w.Add("snowstorage_solid", 0);
  EXPECT_EQ(rig.m->SetSolidSnowStorageGrid(snow), 1);
  rig.m->SetSnowMethod(1);
  Grid etp1 = rig.G("pot_transpiration1");
  Grid etp2 = rig.G("pot_transpiration2");
  Grid evap = rig.G("potential_evaporation");
  Grid evrs = rig.G("snow_evaporation");
  auto demands = [&] {
    for (int c = 1; c <= 3; ++c) {
      etp1[1][c] = 0.3;
      etp2[1][c] = 0.2;
      evap[1][c] = 0.1;
    }
  };
  demands();
  snow[1][1] = 0.1;   // less than the first layer wants
  snow[1][2] = 0.55;  // all three demands and some left
  snow[1][3] = 0;
  rig.m->SnowEvaporationOnGlacier(12, 1, 2, 2001);
  EXPECT_NEAR(evrs[1][1], 0.1, 1e-12);
  EXPECT_EQ(snow[1][1], 0);
  EXPECT_NEAR(etp1[1][1], 0.2, 1e-12);
  EXPECT_EQ(etp2[1][1], 0.2);
  EXPECT_EQ(evap[1][1], 0.1);
  EXPECT_NEAR(evrs[1][2], 0.55, 1e-12);  // 0.3 + 0.2 and 0.05 of the soil's 0.1
  EXPECT_NEAR(snow[1][2] + evrs[1][2], 0.55, 1e-12);
  EXPECT_EQ(snow[1][2], 0);
  EXPECT_NEAR(evap[1][2], 0.05, 1e-12);
  EXPECT_EQ(evrs[1][3], 0);
  EXPECT_EQ(etp1[1][3], 0.3);

  // Snow methods that evaporate snow themselves clear the demands under snow.
  rig.m->SetSnowMethod(6);
  demands();
  snow[1][1] = 1;
  rig.m->SnowEvaporationOnGlacier(13, 1, 2, 2001);
  EXPECT_EQ(etp1[1][1], 0);
  EXPECT_EQ(etp2[1][1], 0);
  EXPECT_EQ(evap[1][1], 0);
  EXPECT_EQ(snow[1][1], 1);
  EXPECT_EQ(etp1[1][2], 0.3);
  rig.m->FreeMemory();

  // Glacierized shares 0.5, 0.999995 and 1, 1 mm of snow on each glacier
  // part and 0.25 mm on each open part: the demands (0.6 mm) are per unit
  // area, so every glacier part evaporates 0.6 mm whatever its open part
  // took, and the open parts 0.25 mm (leaving 0.35 mm to their plants and
  // soil). The snow evaporation statistic counts the open part with its
  // share, the glacier part with 0: (0.5 + 0.000005) x 0.25 / 3.
  Rig glaciers("glacier snow", 3, true, true);
  Grid share = glaciers.G("GlacierizedCells");
  Grid open = glaciers.w.Add("snowstorage_solid", 0);
  glaciers.m->SetSolidSnowStorageGrid(open);
  glaciers.m->SetSnowMethod(1);
  const double shares[3] = {0.5, 0.999995, 1};
  for (int c = 1; c <= 3; ++c) {
    share[1][c] = shares[c - 1];
    glaciers.G("SolidSnowStorage_onGlacier")[1][c] = 1;
    glaciers.G("TotalSnowStorage_onGlacier")[1][c] = 1;
    open[1][c] = 0.25;
    glaciers.G("pot_transpiration1")[1][c] = 0.3;
    glaciers.G("pot_transpiration2")[1][c] = 0.2;
    glaciers.G("potential_evaporation")[1][c] = 0.1;
  }
  glaciers.m->SnowEvaporationOnGlacier(12, 1, 2, 2001);
  for (int c = 1; c <= 3; ++c) {
    EXPECT_NEAR(glaciers.G("SnowEvaporation_onGlacier")[1][c], 0.6, 1e-12) << "share " << shares[c - 1];
    EXPECT_NEAR(glaciers.G("SolidSnowStorage_onGlacier")[1][c], 0.4, 1e-12) << "share " << shares[c - 1];
  }
  for (int c = 1; c <= 2; ++c) {
    EXPECT_NEAR(glaciers.G("snow_evaporation")[1][c], 0.25, 1e-12);
    EXPECT_NEAR(glaciers.G("pot_transpiration1")[1][c], 0.05, 1e-12);
  }
  EXPECT_EQ(glaciers.G("snow_evaporation")[1][3], 0);  // no open part
  zonalstatistic* statistic = glaciers.m->GetStatistics("EVRS", 0);
  ASSERT_NE(statistic, nullptr);
  EXPECT_NEAR(statistic->GetCurrentValues()[statistic->GetSlotCount()], (0.5 + 0.000005) * 0.25 / 3, 1e-12);
  glaciers.m->FreeMemory();
}

TEST(RealEvapotranspiration, SoilGivesWhatItHolds) {
  Rig rig("totals", 3);
  Grid theta = rig.w.Add("soil_storage", 0.3);
  Grid capacity = rig.w.Add("available_soil_moisture", 100);
  ASSERT_EQ(rig.m->LinkSoilStorage(), capacity);
  Grid etp1 = rig.G("pot_transpiration1");
  Grid etp2 = rig.G("pot_transpiration2");
  Grid evap = rig.G("potential_evaporation");
  Grid etr0 = rig.G("real_transpiration0");
  Grid etr1 = rig.G("real_transpiration1");
  Grid etr2 = rig.G("real_transpiration2");
  Grid evar = rig.G("real_evaporation");
  for (int c = 1; c <= 3; ++c) {
    etp1[1][c] = 0.4;
    etp2[1][c] = 0.2;
    evap[1][c] = 0.1;
  }
  theta[1][2] = 0.8;
  theta[1][3] = 0.8;  // 0.4 mm of a small store
  capacity[1][3] = 0.5;
  rig.m->UpdateTotals(12, 1, 7, 2001);
  // Half the demand at 30 % fill (below 60 %), from one store.
  EXPECT_NEAR(etr1[1][1], 0.2, 1e-12);
  EXPECT_NEAR(etr2[1][1], 0.1, 1e-12);
  EXPECT_NEAR(evar[1][1], 0.05, 1e-12);
  EXPECT_NEAR((0.3 - theta[1][1]) * 100, etr1[1][1] + etr2[1][1] + evar[1][1], 1e-12);
  EXPECT_NEAR(etr1[1][2], 0.4, 1e-12);
  // A nearly empty store gives what it holds and no more.
  EXPECT_EQ(theta[1][3], 0);
  EXPECT_NEAR(etr1[1][3] + etr2[1][3] + evar[1][3], 0.4, 1e-12);
  for (int c = 1; c <= 3; ++c) {
    EXPECT_NEAR(etr0[1][c], etr1[1][c] + etr2[1][c] + evar[1][c] + 0.2, 1e-12);  // interception 0.2
  }
  rig.m->FreeMemory();
}

TEST(RealEvapotranspiration, CellTotalsOfTheStep) {
  // The cell's real evapotranspiration is what the soil gave the layers and
  // its surface, the snow evaporation and, with interception, what the
  // vegetation's storage lost (0.2 mm); the statistics hold the cell's and
  // the layer's. (That the soil's amounts of all sub-steps reach these
  // totals is shown by the basin balance's sub-step cases, which read the
  // real evapotranspiration's sums.)
  for (const bool interception : {true, false}) {
    SCOPED_TRACE(interception ? "with interception" : "without interception");
    Rig rig(interception ? "accumulate" : "accumulate_without_interception", 1, interception);
    rig.m->PotentialEvapotranspiration(12, 1, 7, 2001);
    rig.m->RealEvapotranspiration(12, 1, 7, 2001);
    // The unsaturated zone fills in the real values between the two calls.
    rig.G("real_transpiration1")[1][1] = 0.3;
    rig.G("real_transpiration2")[1][1] = 0.1;
    rig.G("real_evaporation")[1][1] = 0.05;
    rig.G("snow_evaporation")[1][1] = 0.01;
    rig.m->AccumulateZoneStatistics(12, 1, 7, 2001);
    const double total = 0.3 + 0.1 + 0.05 + 0.01 + (interception ? 0.2 : 0.0);
    EXPECT_NEAR(rig.G("real_transpiration0")[1][1], total, 1e-12);
    zonalstatistic* st = rig.m->GetStatistics("ETR", 0);
    ASSERT_NE(st, nullptr);
    EXPECT_NEAR(st->GetCurrentValues()[st->GetSlotCount()], total, 1e-12);
    zonalstatistic* layer1 = rig.m->GetStatistics("ETR", 1);
    ASSERT_NE(layer1, nullptr);
    EXPECT_NEAR(layer1->GetCurrentValues()[layer1->GetSlotCount()], 0.3, 1e-12);
    rig.m->FreeMemory();
  }
}
