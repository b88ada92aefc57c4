// The expression evaluator: precedence and associativity, the integer
// operators, variables, functions and every error with its column, and the
// translated form against direct evaluation. The silting-up model: its
// section with the RainPause table and the formula block, a time step against
// hand calculation, the water balance of every cell, method 3 against method
// 1, and thread-count independence.
#include <omp.h>

#include <cmath>
#include <cstring>

#include "framework/hrurecord.h"
#include "surface/evaluator.h"
#include "tests/surface/world.h"

namespace {

const std::string kRest = "qdsu.stat 0\nsdisp.grd\n0\nrainpause.grd\n0\nekin.grd\n0\ntsbb.grd\n0\nqdsu.grd\n0\n";
const std::string kTable = "1 8\n0.4 0.2\n0\n";

// The five formulas of method 1: I_0, I_inf, C_v, e(I) and the capacity.
const std::string kMethodOneFormulas =
    "SiltingUpExpressions\n{\n X = 65;\n Y = 12.2 * K^0.52 * (100*L)^(-0.64);\n"
    " Z = 0.013 * (100*L)^(-1.03) * K^0.7 * O^(-0.19);\n"
    " W = (P >= 76.2) * 28.33 + (P > 0.05) * (P < 76.2) * (11.89 + 8.73 * LOG10(P + (P <= 0.05)));\n"
    " V = (Y + (X - Y) * EXP(-Z * Q)) * (R / 60);\n}\n";

class SiltingUpTest : public SiltingWorld {
 protected:
  SiltingUpTest() : SiltingWorld("siltingup") {}
  std::string Body(const std::string& method, const std::string& table = kTable) {
    return method + "sdisp.stat 0\n" + kRest + table;
  }
  void Remake(const std::string& body) {
    if (model) model->FreeMemory();
    model.reset();
    for (Grid g : {storage, precipitation})
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) g[r][c] = 0;
    ASSERT_EQ(Make(body), 0) << console.str();
  }
};

TEST_F(SiltingUpTest, SectionMethodLineAndStatistics) {
  // No method line: the line is the statistics line and the method is 1.
  ASSERT_EQ(Make("file 1001\n" + kRest + kTable), 0) << console.str();
  EXPECT_EQ(model->GetMethod(), 1);
  EXPECT_NE(fluvextest::ReadFile(dir / "file").find("Silting_up_disposition_"), std::string::npos);
  model->FreeMemory();
  // Method 2 reads A to H after the readgrid parameter.
  Remake(Body("2\n") + "1\n2\n3\n4\n5\n6\n7\n8\n");
  EXPECT_EQ(model->GetMethod(), 2);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(model->GetParameters()[k], k + 1);
  // The five grids take the next free positions in their order, under the
  // names the other models look for; cells without data hold none.
  EXPECT_EQ(list[model->GetGridPosition(siltingupclass::kDisposition)].shortname, "SiltingUpDisposition");
  EXPECT_EQ(list[model->GetGridPosition(siltingupclass::kDirectRunoff)].shortname, "DirectRunoffSiltingUp");
  EXPECT_EQ(model->GetGridPosition(siltingupclass::kDirectRunoff), 12);
  EXPECT_EQ(Own(siltingupclass::kRainPause, nrows, ncols), -9999);
  model->FreeMemory();
  EXPECT_FALSE(list[12].registered);
  model.reset();

  EXPECT_EQ(Make("file\n" + kRest + kTable), 17);
  EXPECT_TRUE(Said("name of the statistics for silting disposition SDISP ; SiltingUpModel not found!"));
  EXPECT_EQ(Make(Body("1\n", "1 8\n0.4 0.2\nx\n")), 17);
  EXPECT_TRUE(Said("read control parameter for storage grids for ; SiltingUpModel not found!"));
}

TEST_F(SiltingUpTest, RainPauseTable) {
  ASSERT_EQ(Make(Body("1\n")), 0);
  for (int i = 1; i <= 7; ++i) EXPECT_EQ(model->GetMinimumRainPause(i), 0.4) << i;
  EXPECT_EQ(model->GetMinimumRainPause(8), 0.2);
  EXPECT_EQ(model->GetRainPauseCode(1), 1);
  EXPECT_EQ(model->GetRainPauseCode(5), -1);
  // Starting with the second-smallest code leaves the smallest at 0; a code
  // line that does not reach the largest code goes on into the next line.
  Remake(Body("1\n", "2 4\n8\n0.3 0.25 0.2\n0\n"));
  EXPECT_EQ(model->GetMinimumRainPause(1), 0);
  EXPECT_EQ(model->GetMinimumRainPause(3), 0.3);
  EXPECT_EQ(model->GetMinimumRainPause(7), 0.25);
  EXPECT_EQ(model->GetMinimumRainPause(8), 0.2);
  // A first listed code above the smallest with a gap: its column serves all codes up to it.
  Remake(Body("1\n", "3 8\n0.5 0.1\n0\n"));
  EXPECT_EQ(model->GetMinimumRainPause(1), 0.5);
  EXPECT_EQ(model->GetMinimumRainPause(3), 0.5);
  EXPECT_EQ(model->GetMinimumRainPause(8), 0.1);
  model.reset();

  EXPECT_EQ(Make(Body("1\n", "1 9\n0.4 0.2\n0\n")), 10);
  EXPECT_TRUE(Said("error! there is no code 9 (from "));
  EXPECT_TRUE(Said("to all subcatchments with zone-codes ranging from 1 to 7"));
  EXPECT_EQ(Make(Body("1\n", "1 x\n")), 10);
  EXPECT_TRUE(Said("error reading code[2] for SiltingUpModel"));
  EXPECT_EQ(Make(Body("1\n", "1 8\n0.4 x\n")), 10);
  EXPECT_TRUE(Said("error reading RainPause[8] for SiltingUpModel (minimum rainpause)"));
}

TEST_F(SiltingUpTest, FormulaBlock) {
  const std::string five =
      "SiltingUpExpressions\n{\n X = 10; Y = 2;\n Z = 0.01; W = 20;\n V = (Y + (X - Y) * EXP(-Z * Q)) * R / 60;\n}\n";
  ASSERT_EQ(Make(Body("3\n") + five), 0) << console.str();
  ASSERT_EQ(model->GetExpressions().size(), 5u);
  EXPECT_EQ(model->GetExpressions()[4], "V=(Y+(X-Y)*EXP(-Z*Q))*R/60");
  // Without the last ";" the capacity formula is dropped.
  Remake(Body("3\n") + "SiltingUpExpressions {X = 1; Z = 2;\n V = 3}\n");
  EXPECT_EQ(model->GetExpressions().size(), 2u);
  // A block without ";" counts as not found: the search goes on.
  Remake(Body("3\n") + "SiltingUpExpressions\n{ X = 1 }\nSiltingUpExpressions\n\n  { Z = 4; }\n");
  ASSERT_EQ(model->GetExpressions().size(), 1u);
  EXPECT_EQ(model->GetExpressions()[0], "Z=4");
  model.reset();

  EXPECT_EQ(Make(Body("3\n") + "\n" + five), 402);
  EXPECT_TRUE(Said("no SiltingUpExpressios found (at least X, Y and Z must be initialized) in control file \""));
  EXPECT_EQ(Make(Body("3\n") + "SiltingUpExpressions\nX = 1; {\n"), 400);
  EXPECT_TRUE(Said("error looking for opening bracket \"{\" after \"SiltingUpExpressions\""));
  EXPECT_EQ(Make(Body("3\n") + "SiltingUpExpressions {\nX = 1;\n"), 401);
  EXPECT_TRUE(Said("error looking for closing bracket \"}\" after \"SiltingUpExpressions\""));
}

TEST_F(SiltingUpTest, MissingGridsAndGlaciers) {
  Add("GlacierCodes", 0);
  EXPECT_EQ(Make(Body("1\n")), 2);
  EXPECT_TRUE(Said("Silting-Up module cannot be used when glacier model is active."));
  list[8].registered = false;
  list[8].shortname.clear();
  list[5].shortname = "soil";
  EXPECT_EQ(Make(Body("1\n")), 33);
  EXPECT_TRUE(Said("soil_types not found in memory"));
}

TEST_F(SiltingUpTest, MethodOneByHand) {
  ASSERT_EQ(Make(Body("1\n")), 0);
  // 11 April 2001 is day 101, one day after tillage; no cover.
  precipitation[1][1] = 100;  // field
  precipitation[1][2] = 10;   // field
  precipitation[1][3] = 100;  // meadow: never tilled
  landuse[1][3] = kMeadow;
  precipitation[1][4] = 0.05;  // 0.05 mm/h is no rain
  ASSERT_EQ(Step(12, 11, 4, 2001), 0);
  // I = 100 mm/h: e = 28.33, E = 2833; C_v = 0.013 * 33.33^-1.03 * D_g^0.7 * 1^-0.19.
  EXPECT_NEAR(Own(siltingupclass::kKineticEnergy, 1, 1), 2833, 1e-9);
  EXPECT_EQ(Own(siltingupclass::kTillageTime, 1, 1), 1);
  EXPECT_NEAR(precipitation[1][1], 4.732419, 1e-6);
  EXPECT_NEAR(Own(siltingupclass::kDirectRunoff, 1, 1), 95.267581, 1e-6);
  EXPECT_EQ(Own(siltingupclass::kDirectRunoff, 1, 2), 0);
  EXPECT_EQ(precipitation[1][2], 10);
  EXPECT_EQ(Own(siltingupclass::kTillageTime, 1, 3), 0);
  EXPECT_EQ(Own(siltingupclass::kDisposition, 1, 3), 0);
  EXPECT_EQ(Own(siltingupclass::kKineticEnergy, 1, 3), 0);
  EXPECT_EQ(Own(siltingupclass::kDirectRunoff, 1, 3), 0);
  EXPECT_EQ(Own(siltingupclass::kRainPause, 1, 1), 0);
  EXPECT_DOUBLE_EQ(Own(siltingupclass::kRainPause, 1, 4), 1.0 / 24);
  EXPECT_EQ(Own(siltingupclass::kKineticEnergy, 1, 4), 0);
  // The energy of an event adds up until the capacity reaches I_inf.
  for (int h = 13; h <= 22; ++h) {
    precipitation[1][1] = 100;
    ASSERT_EQ(Step(h, 11, 4, 2001), 0);
  }
  EXPECT_NEAR(Own(siltingupclass::kKineticEnergy, 1, 1), 11 * 2833, 1e-6);
  EXPECT_NEAR(precipitation[1][1], 4.371828, 1e-6);
  // A dry spell as long as the minimum rain pause (0.4 d) starts a new event.
  for (int h = 1; h <= 10; ++h) {
    precipitation[1][1] = 0;
    ASSERT_EQ(Step(h, 12, 4, 2001), 0);
  }
  EXPECT_EQ(Own(siltingupclass::kKineticEnergy, 1, 1), 0);
  // On the tillage day itself the time since tillage is 0.3; before the
  // first tillage of the year it counts from the last one of the year before.
  Step(12, 10, 4, 2001);
  EXPECT_EQ(Own(siltingupclass::kTillageTime, 1, 1), 0.3);
  Step(12, 9, 4, 2001);
  EXPECT_EQ(Own(siltingupclass::kTillageTime, 1, 1), 365);

  // With a minimum rain pause of 0.5 d the event goes on through 11 dry
  // hours and ends with the 12th, when the pause reaches the minimum. A
  // vegetation cover above 1 counts as 1: the rain brings no energy.
  Remake(Body("1\n", "1 8\n0.5 0.5\n0\n"));
  precipitation[1][1] = 100;
  precipitation[1][2] = 100;
  vegetation[1][2] = 1.2;
  ASSERT_EQ(Step(12, 13, 4, 2001), 0);
  EXPECT_NEAR(Own(siltingupclass::kKineticEnergy, 1, 1), 2833, 1e-9);
  EXPECT_EQ(Own(siltingupclass::kKineticEnergy, 1, 2), 0);
  for (int h = 13; h <= 23; ++h) {
    precipitation[1][1] = 0;
    ASSERT_EQ(Step(h, 13, 4, 2001), 0);
  }
  EXPECT_NEAR(Own(siltingupclass::kKineticEnergy, 1, 1), 2833, 1e-9);
  precipitation[1][1] = 0;
  ASSERT_EQ(Step(24, 13, 4, 2001), 0);
  EXPECT_EQ(Own(siltingupclass::kRainPause, 1, 1), 0.5);
  EXPECT_EQ(Own(siltingupclass::kKineticEnergy, 1, 1), 0);
}

TEST_F(SiltingUpTest, BalanceOfEveryCellAndStep) {
  for (bool routing : {false, true}) {
    if (model) model->FreeMemory();
    model.reset();
    if (routing) Add("SurfaceRoutingWeights", 0);
    Remake(Body("1\n"));
    landuse[2][1] = kMeadow;
    vegetation[1][2] = 0.4;
    for (int step = 0; step < 30; ++step) {
      std::vector<double> before(nrows * ncols + 1), input(nrows * ncols + 1);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
          precipitation[r][c] = std::fmod(step * 7.3 + r * 11.1 + c * 3.7, 40.0) * (step % 4 != 3);
          before[(r - 1) * ncols + c] = routing ? storage[r][c] : 0.0;
          input[(r - 1) * ncols + c] = precipitation[r][c];
          // Surface routing would move part of the storage away.
          if (routing) storage[r][c] *= 0.5, before[(r - 1) * ncols + c] = storage[r][c];
        }
      ASSERT_EQ(Step(step % 24 + 1, 11 + step / 24, 4, 2001), 0);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
          if (zone[r][c] < 0) continue;
          const int i = (r - 1) * ncols + c;
          const double q = Own(siltingupclass::kDirectRunoff, r, c);
          EXPECT_GE(q, 0);
          EXPECT_EQ(precipitation[r][c] + q, input[i] + before[i]) << r << " " << c << " step " << step;
          // (With the surface routing the storage keeps the water that stood on it.)
          EXPECT_EQ(storage[r][c], routing ? before[i] : input[i] + before[i]);
        }
    }
  }
}

TEST_F(SiltingUpTest, FormulasOfMethodOneReproduceMethodOne) {
  landuse[2][1] = kMeadow;
  vegetation[1][3] = 0.25;
  std::vector<std::vector<double>> results[2];
  for (int variant = 0; variant < 2; ++variant) {
    Remake(variant == 0 ? Body("1\n") : Body("3\n") + kMethodOneFormulas);
    for (int step = 0; step < 12; ++step) {
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) precipitation[r][c] = (step % 5 != 4) * (r * 20.0 + c * 9.0 + step);
      ASSERT_EQ(Step(step + 1, 11, 4, 2001), 0) << console.str();
      // The meadow is never tilled: C_v = 0.013 ... * O^-0.19 has no finite
      // value there, and its disposition is 0 as method 1 has it.
      std::vector<double> v;
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
          if (zone[r][c] < 0) continue;
          v.push_back(precipitation[r][c]);
          for (int k = 0; k < siltingupclass::kOwnGrids; ++k)
            v.push_back(Own(static_cast<siltingupclass::OwnGrid>(k), r, c));
        }
      results[variant].push_back(v);
    }
  }
  ASSERT_EQ(results[0].size(), results[1].size());
  for (size_t s = 0; s < results[0].size(); ++s)
    for (size_t i = 0; i < results[0][s].size(); ++i)
      EXPECT_NEAR(results[1][s][i], results[0][s][i], 1e-12 * (1 + std::fabs(results[0][s][i]))) << s << " " << i;

  // The formula variables: K is the mean grain diameter, A ... J the soil's SU_PAR 1 ... 10.
  soiltable[1].SU_PAR[1] = 7;
  soiltable[1].SU_PAR[10] = 3;
  Remake(Body("3\n") + "SiltingUpExpressions\n{ Z = K; W = A * 10 + J; V = 1e9; }\n");
  ASSERT_EQ(Step(12, 11, 4, 2001), 0);
  EXPECT_NEAR(Own(siltingupclass::kDisposition, 1, 1), 10.402785, 1e-6);
  // W = 73 per mm at 100 mm/h for one hour.
  precipitation[1][1] = 100;
  ASSERT_EQ(Step(13, 11, 4, 2001), 0);
  EXPECT_NEAR(Own(siltingupclass::kKineticEnergy, 1, 1), 7300, 1e-9);

  // A disposition without a finite value on tilled soil is missing (the
  // field is one day after its tillage: 1 / (O - 1) = 1 / 0); elsewhere the
  // formula's value stands (the meadow: 1 / (0 - 1)).
  Remake(Body("3\n") + "SiltingUpExpressions\n{ Z = 1 / (O - 1); V = 1e9; }\n");
  ASSERT_EQ(Step(12, 11, 4, 2001), 0);
  EXPECT_EQ(Own(siltingupclass::kDisposition, 1, 1), -9999);
  EXPECT_EQ(Own(siltingupclass::kDisposition, 2, 1), -1);

  // A formula that cannot be parsed stops the run at the first cell.
  Remake(Body("3\n") + "SiltingUpExpressions\n{ Z = 1 +; V = 1; }\n");
  EXPECT_EQ(Step(12, 11, 4, 2001), 403);
  EXPECT_TRUE(
      Said("in instance SiltingUpModel\nexpression Z=1+ could not be parsed correctly. Parser message: Error: "
           "Unexpected end of expression (col 5)"));
}

TEST_F(SiltingUpTest, SoilsWithoutSandAndCellsWithoutTableEntries) {
  ASSERT_EQ(Make(Body("1\n")), 0);
  soil[1][1] = 2;     // no sand
  landuse[1][2] = 7;  // no such land use
  soil[2][1] = 0;     // no such soil
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) precipitation[r][c] = 50;
  ASSERT_EQ(Step(12, 11, 4, 2001), 0);
  for (int k = 0; k < siltingupclass::kOwnGrids; ++k)
    EXPECT_TRUE(std::isfinite(Own(static_cast<siltingupclass::OwnGrid>(k), 1, 1))) << k;
  EXPECT_TRUE(std::isfinite(precipitation[1][1]));
  EXPECT_EQ(Own(siltingupclass::kDirectRunoff, 1, 2), 0);
  EXPECT_EQ(precipitation[1][2], 50);
  EXPECT_EQ(precipitation[2][1], 50);
  EXPECT_TRUE(Said("SiltingUpModel: 2 cells have no valid land-use, soil or subbasin index"));
  EXPECT_TRUE(Said("the first is row 1, column 2 with land use 7"));
}

TEST_F(SiltingUpTest, TracersLeaveWithTheDirectRunoff) {
  Add("concflux_tracer_1_input", 2.0);
  Add("concflux_tracer_2_snow_model", 2.0);
  Add("concflux_tracer_3_input", 2.0);
  ASSERT_EQ(Make(Body("1\n")), 0);
  TracerRecord tracers[4];
  tracers[1].max_conc = 1000;
  tracers[1].radioactive = 1;
  tracers[1].decay = 0.5;
  tracers[2].evaporating = 1;
  tracers[3].max_conc = 1.5;
  int error = -1;
  model->InitTracerGrids(&error, 3, tracers, nullptr, 0);
  ASSERT_EQ(error, 0);
  const int first = model->FindGrid("concstor_tracer_1_SiltingUpModel", false);
  const int second = model->FindGrid("concstor_tracer_2_SiltingUpModel", false);
  const int third = model->FindGrid("concstor_tracer_3_SiltingUpModel", false);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  ASSERT_GT(third, 0);
  Grid flux1 = list[model->FindGrid("concflux_tracer_1_SiltingUpModel", false)].grid;
  Grid flux2 = list[model->FindGrid("concflux_tracer_2_SiltingUpModel", false)].grid;
  Grid flux3 = list[model->FindGrid("concflux_tracer_3_SiltingUpModel", false)].grid;
  precipitation[1][1] = 100;
  ASSERT_EQ(Step(12, 11, 4, 2001), 0);
  // Dissolved tracer: 100 mm at 2, the amount 200; the runoff Q takes its
  // share Q / 100 at that concentration, at most at the maximum concentration.
  const double q = 95.267581;
  EXPECT_NEAR(list[first].grid[1][1], 200 - 2 * q, 1e-4);
  EXPECT_NEAR(flux1[1][1], 2.0, 1e-12);
  EXPECT_NEAR(list[third].grid[1][1], 200 - 1.5 * q, 1e-4);
  EXPECT_NEAR(flux3[1][1], 1.5, 1e-12);
  // Evaporating tracer: the storage takes the mean concentration, the runoff carries it.
  EXPECT_DOUBLE_EQ(list[second].grid[1][1], 2.0);
  EXPECT_DOUBLE_EQ(flux2[1][1], 2.0);
  // A dry step: without surface routing the soil took the last step's
  // water that did not run off, and its tracer with it: the store holds none.
  precipitation[1][1] = 0;
  ASSERT_EQ(Step(13, 11, 4, 2001), 0);
  EXPECT_EQ(list[first].grid[1][1], 0.0);
  EXPECT_EQ(list[third].grid[1][1], 0.0);
  model->FreeTracerArrays();
  EXPECT_EQ(model->FindGrid("concstor_tracer_1_SiltingUpModel", false), 0);
}

TEST_F(SiltingUpTest, ResponseUnitsCopyTheirMasterCell) {
  // Unit 1: master (1, 1), members (1, 2) and (2, 2); every other cell is its own unit.
  Grid units = Add("HydrologicResponseUnits", 0);
  Grid masters = Add("MasterHydrologicResponseUnits", -9999);
  std::vector<HRURecord> hrus(1);
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) {
      const bool member = (r == 1 && c == 2) || (r == 2 && c == 2);
      if (member) {
        units[r][c] = 1;
        continue;
      }
      const uint64_t n = hrus.size();
      hrus.push_back(HRURecord{n, "", r, c});
      units[r][c] = static_cast<double>(n);
      masters[r][c] = static_cast<double>(n);
    }
  args.object.SpinUp = 1;
  args.object.hru = hrus.data();
  Add("concflux_tracer_1_input", 2.0);
  ASSERT_EQ(Make(Body("1\n")), 0);
  TracerRecord tracers[2];
  tracers[1].max_conc = 1000;
  int error = -1;
  model->InitTracerGrids(&error, 1, tracers, nullptr, 0);
  ASSERT_EQ(error, 0);
  Grid store = list[model->FindGrid("concstor_tracer_1_SiltingUpModel", false)].grid;
  Grid flux = list[model->FindGrid("concflux_tracer_1_SiltingUpModel", false)].grid;
  precipitation[1][1] = 100;
  precipitation[1][2] = 3;  // a member's own input is replaced by its master's result
  ASSERT_EQ(Step(12, 11, 4, 2001), 0);
  for (int k = 0; k < siltingupclass::kOwnGrids; ++k) {
    const auto g = static_cast<siltingupclass::OwnGrid>(k);
    EXPECT_EQ(Own(g, 1, 2), Own(g, 1, 1)) << k;
    EXPECT_EQ(Own(g, 2, 2), Own(g, 1, 1)) << k;
  }
  EXPECT_EQ(precipitation[1][2], precipitation[1][1]);
  const double q = 95.267581;
  EXPECT_NEAR(Own(siltingupclass::kDirectRunoff, 1, 1), q, 1e-6);
  // The members' water carries the master's tracer: 100 mm at 2, of which
  // the runoff took q mm at 2.
  for (auto [r, c] : {std::pair{1, 1}, std::pair{1, 2}, std::pair{2, 2}}) {
    EXPECT_NEAR(store[r][c], 200 - 2 * q, 1e-4) << r << c;
    EXPECT_NEAR(flux[r][c], 2.0, 1e-12) << r << c;
  }
  model->FreeTracerArrays();
  model->FreeMemory();
  model.reset();
}

class SiltingUpThreads : public SiltingWorld {
 protected:
  SiltingUpThreads() : SiltingWorld("siltingup_threads", 40, 33) {}
};

TEST_F(SiltingUpThreads, SameBytesWithOneAndEightThreads) {
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) {
      landuse[r][c] = (r * 7 + c) % 3 == 0 ? kMeadow : kField;
      vegetation[r][c] = ((r + c) % 4) * 0.1;
    }
  std::vector<double> result[2];
  const int threads[2] = {1, 8};
  for (int variant = 0; variant < 2; ++variant) {
    omp_set_num_threads(threads[variant]);
    if (model) model->FreeMemory();
    model.reset();
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) storage[r][c] = 0;
    ASSERT_EQ(Make("3\nsdisp.stat 0\n" + kRest + kTable + kMethodOneFormulas), 0);
    for (int step = 0; step < 6; ++step) {
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) precipitation[r][c] = std::fmod(r * 13.7 + c * 5.1 + step * 3.3, 90.0);
      ASSERT_EQ(Step(step + 1, 11, 4, 2001), 0);
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
          result[variant].push_back(precipitation[r][c]);
          for (int k = 0; k < siltingupclass::kOwnGrids; ++k)
            result[variant].push_back(Own(static_cast<siltingupclass::OwnGrid>(k), r, c));
        }
    }
  }
  omp_set_num_threads(omp_get_num_procs());
  ASSERT_EQ(result[0].size(), result[1].size());
  EXPECT_EQ(std::memcmp(result[0].data(), result[1].data(), result[0].size() * sizeof(double)), 0);
}

// ---- the expression evaluator ----

std::string Eval(ExpressionParser& p, const std::string& text) {
  return p.Evaluate(text.c_str());
}

TEST(Evaluator, ValuesByPrecedence) {
  ExpressionParser p;
  const struct {
    const char* text;
    const char* result;
  } cases[] = {
      {"2+3*4", "Ans = 14"},      {"(2+3)*4", "Ans = 20"},   {"2^3^2", "Ans = 64"},      {"-2^2", "Ans = 4"},
      {"7 % 3", "Ans = 1"},       {"-7 % 3", "Ans = -1"},    {"7||3", "Ans = 4"},        {"1<<4", "Ans = 16"},
      {"-16>>2", "Ans = -4"},     {"6&3", "Ans = 2"},        {"6|3", "Ans = 7"},         {"3<>3", "Ans = 0"},
      {"3<=3", "Ans = 1"},        {"2>3", "Ans = 0"},        {"1+2=3", "Ans = 1"},       {"1|2<3", "Ans = 1"},
      {"10-4-3", "Ans = 3"},      {"64/4/2", "Ans = 8"},     {"5!", "Ans = 120"},        {"FACTORIAL(0)", "Ans = 1"},
      {"-3!", "Ans = -3"},        {"-SQRT(4)", "Ans = -2"},  {"abs(-2.5)", "Ans = 2.5"}, {"SIGN(-7)", "Ans = -1"},
      {"LOG10(1000)", "Ans = 3"}, {"1.2.3", "Ans = 1.2"},    {"2.5e2", "Ans = 250"},     {"1E-2*100", "Ans = 1"},
      {"2*PI", "Ans = 6.28319"},  {"LOG(EULER)", "Ans = 1"}, {"1/0", "Ans = inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(Eval(p, c.text), c.result) << c.text;
  // Invalid arguments follow IEEE arithmetic instead of being errors.
  EXPECT_NE(Eval(p, "SQRT(-1)").find("nan"), std::string::npos);
  p.Evaluate("COS(PI)");
  EXPECT_NEAR(p.GetAnswer(), -1.0, 1e-15);
  p.Evaluate("ATAN(1)*4");
  EXPECT_DOUBLE_EQ(p.GetAnswer(), 3.141592653589793);
}

TEST(Evaluator, VariablesAndAssignment) {
  VariableList vars;
  ExpressionParser p(&vars);
  EXPECT_EQ(Eval(p, "X = 5"), "Ans = 5");
  EXPECT_EQ(Eval(p, "x*2"), "Ans = 10");
  EXPECT_EQ(Eval(p, "ANS+1"), "Ans = 11");
  double v = 0;
  EXPECT_EQ(vars.Get("ans", v), 1);
  EXPECT_EQ(v, 11);
  // "=" inside an expression compares: Y receives the truth of X = 5.
  EXPECT_EQ(Eval(p, "Y = X = 5"), "Ans = 1");
  EXPECT_EQ(vars.Get("y", v), 1);
  EXPECT_EQ(v, 1);
  // A name of 31 characters is stored cut to 30; the cut name finds it.
  const std::string longName(31, 'Q');
  Eval(p, longName + " = 3");
  EXPECT_EQ(vars.Get(std::string(30, 'q').c_str(), v), 1);
  EXPECT_EQ(v, 3);
  // An error after an assignment keeps the assigned value.
  EXPECT_EQ(Eval(p, "Z = 4 )"), "Error: Unknown operator ) (col 7)");
  EXPECT_EQ(vars.Get("Z", v), 1);
  EXPECT_EQ(v, 4);
}

TEST(Evaluator, ErrorsWithCodeAndColumn) {
  ExpressionParser p;
  const struct {
    std::string text;
    const char* result;
  } cases[] = {
      {"2.5!", "Error: Integer value expected in function factorial (col -1)"},
      {"FACTORIAL(2.5)", "Error: Integer value expected in function factorial (col 15)"},
      {"(1+2", "Error: Parentesis ) missing (col 5)"},
      {"1+", "Error: Unexpected end of expression (col 3)"},
      {"2 3", "Error: Unexpected part: 3 (col 3)"},
      {"1 == 1", "Error: Unknown operator == (col 3)"},
      {"FOO(1)", "Error: Unknown function FOO (col 7)"},
      {"BAR+1", "Error: Unknown variable BAR (col 1)"},
      {"2 # 3", "Error: Syntax error in part: # 3 (col 3)"},
      {"", "Error: Empty expression (col 1)"},
      {"   ", "Error: Empty expression (col 4)"},
      {"--2", "Error: Value expected (col 2)"},
      {std::string(256, '1'), "Error: Too long expression, maximum number of characters exceeded (col -1)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Eval(p, c.text), c.result) << c.text;
  // 255 characters are still one expression.
  EXPECT_EQ(Eval(p, std::string(254, ' ') + "1"), "Ans = 1");
}

TEST(Evaluator, OutOfRangeOperandsAreErrorsNotUndefined) {
  ExpressionParser p;
  // Over-long tokens and names are refused, not copied past their buffers.
  const std::string number(40, '9');
  EXPECT_NE(Eval(p, number).find("Error: Syntax error in part: " + number), std::string::npos);
  EXPECT_NE(Eval(p, std::string(32, 'A') + "+1").find("(col 1)"), std::string::npos);
  EXPECT_EQ(Eval(p, "5 % 0"), "Error: Integer remainder of a division by 0 in % (col 3)");
  EXPECT_EQ(Eval(p, "(0-2147483648) % -1"), "Ans = 0");
  EXPECT_NE(Eval(p, "3e9 & 1").find("Integer value expected in function & (operand outside"), std::string::npos);
  EXPECT_NE(Eval(p, "1 << 1e12").find("Error"), std::string::npos);
  EXPECT_NE(Eval(p, "(0/0) || 1").find("Error"), std::string::npos);
  // A factorial beyond the double range is infinite without counting to n;
  // every whole number is one n.
  EXPECT_EQ(Eval(p, "200000000!"), "Ans = inf");
  EXPECT_EQ(Eval(p, "FACTORIAL(1e300)"), "Ans = inf");
  EXPECT_EQ(Eval(p, "(0-1e300)!"), "Ans = -1e+300");
  EXPECT_EQ(Eval(p, "(0/0)!"), "Error: Integer value expected in function factorial (col -1)");
  EXPECT_EQ(Eval(p, "1 << 31"), "Ans = -2.14748e+09");
  EXPECT_EQ(Eval(p, "1 << 33"), "Ans = 2");
}

TEST(Evaluator, TranslatedOnceRunsLikeDirectEvaluation) {
  VariableList vars;
  ExpressionParser p(&vars);
  ExpressionParser::Program prog;
  ExpressionParser::Compile("V = (Y + (X - Y) * EXP(-Z * Q)) * R / 60", prog);
  EXPECT_FALSE(prog.HasError());
  for (double q : {0.0, 100.0, 2833.0}) {
    vars.Clear();
    vars.Add("X", 65);
    vars.Add("Y", 4);
    vars.Add("Z", 0.002);
    vars.Add("Q", q);
    vars.Add("R", 30);
    ASSERT_TRUE(p.Run(prog));
    double v = 0;
    vars.Get("V", v);
    EXPECT_DOUBLE_EQ(v, (4 + 61 * std::exp(-0.002 * q)) * 0.5);
  }
  // The first error comes at the same moment: an unknown variable before the
  // syntax error that follows it, the syntax error once the variable exists.
  ExpressionParser::Compile("W = U + 1 )", prog);
  EXPECT_TRUE(prog.HasError());
  vars.Clear();
  EXPECT_FALSE(p.Run(prog));
  EXPECT_STREQ(p.Result(), "Error: Unknown variable U (col 5)");
  vars.Add("U", 1);
  EXPECT_FALSE(p.Run(prog));
  EXPECT_STREQ(p.Result(), "Error: Unknown operator ) (col 11)");
  double w = 0;
  EXPECT_EQ(vars.Get("W", w), 1);
  EXPECT_EQ(w, 2);
}

}  // namespace
