// Tracers of the unsaturated zone: the substance balance of every cell and
// step, the decay of a radioactive tracer, the routed concentration of a
// subbasin and the set-up failures.
#include <filesystem>
#include <functional>

#include "tests/framework/codeof.h"
#include "tests/soil/uzworld.h"

namespace {

using uztest::kCols;
using uztest::kLayers;
using uztest::kRows;
using uztest::Section;

// The module with its tracer state opened for checks.
class TracerUZ : public uztest::UZ {
 public:
  using UZ::UZ;
  void ReadStacksAtStart() { storage_read_parameter = 1; }
  double Routed(int t, int s) const { return Qg[Flat(t, s)]; }
  double RoutedDirect(int t, int s) const { return QDd[Flat(t, s)]; }
};

class Tracers : public uztest::World {
 protected:
  Tracers() {
    precipitation = Add("precipitation", [](int, int) { return 0.0; });
    Fill("zonegrid_soilmodel", 1.0);
    Fill("pot_transpiration1", 0.1);
    Fill("potential_evaporation", 0.0);
    for (int t = 1; t <= 2; ++t) {
      TracerRecord& r = settings[t];
      r.name = t == 1 ? "nit" : "tri";
      r.max_conc = 1e6;
      r.soilini = 2.0;
      r.gwini = 4.0;
      r.path = dir.path() + "/";
      r.statext = "sta";
      r.gridext = "grd";
      r.statcode = 2001;
    }
  }
  void Fill(const std::string& name, double v) {
    for (auto& e : list)
      if (e.shortname == name)
        for (int r = 1; r <= kRows; ++r)
          for (int c = 1; c <= kCols; ++c) e.grid[r][c] = v;
  }
  // One subbasin; no baseflow (Q0 0) and a water table within the column.
  static Section OneSubbasin() {
    Section s;
    s.codes = "1";
    s.iniGw = "0.5";
    s.parameters = {"1", "2", "0.5", "4", "0", "0"};
    return s;
  }
  int Start(const Section& s, int count, bool groundwaterModel = false) {
    uz.reset();
    fluvextest::WriteFile(dir / "run.cntrl", s.Text());
    int error = 0;
    const int code = InDir([&] {
      tuz = new TracerUZ(error, &diag, nullptr, 0, dir / "run.cntrl", args, nullptr, 1);
      uz.reset(tuz);
      if (error == 0 && groundwaterModel) tuz->SetGroundwaterCoupling(1);
      if (error == 0) tuz->InitTracerGrids(&error, count, settings, nullptr, 0);
    });
    return code != 0 ? code : error;
  }
  int InDir(const std::function<void()>& f) {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(dir.path().c_str()) != 0) return -1;
    const int code = CodeOf(f);
    if (chdir(cwd) != 0) return -1;
    return code;
  }
  int Step(int k) {
    return InDir([&] {
      const int64_t hour = k % 24 + 1, day = k / 24 + 1;
      tuz->StartStep(hour, day, 7, 2020);
      tuz->run(hour, day, 7, 2020);
      tuz->RouteSubbasinRunoff(hour, day, 7, 2020);
    });
  }
  const GridListEntry& Entry(const std::string& name) const {
    static const GridListEntry none{};
    const int p = tuz->FindGrid(name, true);
    return p > 0 ? list[p] : none;
  }
  // Amount of a tracer in the column (concentration times mm of water).
  double Mass(int t, int r, int c) const {
    const Stack s = Entry("concstor_tracer_" + std::to_string(t) + "_unsatzon_model").stack;
    double m = 0;
    for (int k = 1; k <= kLayers; ++k) m += s[r][c][k];
    return m;
  }
  double At(const std::string& name, int r, int c) const { return Entry(name).grid[r][c]; }

  Grid precipitation = nullptr;
  TracerRecord settings[3];
  TracerUZ* tuz = nullptr;
};

TEST_F(Tracers, ConservativeTracerMassIsKeptInEveryCellAndStep) {
  Grid input = Add("concflux_tracer_1_input", [](int, int) { return 0.0; });
  // Without a limit, and with a maximum concentration below the input's
  // 10 to 12: the infiltration then carries 8 at most, and what it leaves
  // behind where no water runs off stays in the soil.
  for (const double cap : {1e6, 8.0}) {
    SCOPED_TRACE(cap);
    settings[1].max_conc = cap;
    ASSERT_EQ(Start(OneSubbasin(), 1), 0) << console.str();
    // The stack starts with soilini above the table and gwini from the groundwater layer down.
    const double water1 = uz->Theta()[1][1][1] * uztest::kThickness * 1000;
    EXPECT_NEAR(Entry("concstor_tracer_1_unsatzon_model").stack[1][1][1], 2.0 * water1, 1e-12);
    EXPECT_NEAR(Entry("concstor_tracer_1_unsatzon_model").stack[1][1][kLayers],
                4.0 * uz->Theta()[1][1][kLayers] * uztest::kThickness * 1000, 1e-12);

    double worst = 0, showerRunoff = 0;
    for (int step = 0; step < 48; ++step) {
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
          // Drizzle, dry hours and a shower heavy enough for surface runoff.
          precipitation[r][c] = step % 5 == 0 ? 1.5 * c : (step >= 20 && step < 23 ? 30.0 + r : 0.0);
          input[r][c] = 10.0 + step % 3;
        }
      double before[kRows + 1][kCols + 1];
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) before[r][c] = Mass(1, r, c);
      ASSERT_EQ(Step(step), 0) << console.str();
      for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
          ASSERT_EQ(At("baseflow", r, c), 0.0);  // nothing leaves below
          const double in = input[r][c] * precipitation[r][c];
          const double out =
              At("_CONC_QD_1_", r, c) * At("directflow", r, c) + At("_CONC_QI_1_", r, c) * At("interflow", r, c);
          const double residual = in - (Mass(1, r, c) - before[r][c]) - out;
          worst = std::max(worst, std::fabs(residual));
          ASSERT_NEAR(residual, 0.0, 1e-8 * (1 + in)) << "step " << step << " cell " << r << " " << c;
          // The shower runs off at the input's concentration. The runoff is
          // the input less what infiltrated, which rounds to some 1e-16 of the
          // input: where little runs off, its concentration takes that
          // rounding relative to the runoff (7e-6 of 31 mm: 1.2e-9 of 11).
          const double runoff = At("directflow", r, c);
          if (step >= 20 && step < 23 && runoff > 0 && cap > 100) {
            showerRunoff += runoff;
            EXPECT_NEAR(At("_CONC_QD_1_", r, c), input[r][c], 1e-9 + 1e-13 * in / runoff)
                << "step " << step << " cell " << r << " " << c;
          }
        }
    }
    EXPECT_LT(worst, 1e-6);
    // The shower ran off and the soil took up substance.
    if (cap > 100) {
      EXPECT_GT(showerRunoff, 0.0);
    }
    EXPECT_GT(Mass(1, 1, 1), 0.0);
  }
}

TEST_F(Tracers, RadioactiveTracerDecaysByItsHalfTimeWhileMovingLikeAConservativeOne) {
  settings[2].radioactive = 1;
  settings[2].half_time = 1.0;  // days
  Add("concflux_tracer_1_input", [](int, int) { return 0.0; });
  Add("concflux_tracer_2_input", [](int, int) { return 0.0; });
  ASSERT_EQ(Start(OneSubbasin(), 2), 0) << console.str();
  // Both start alike; water without substance dilutes them in the same way,
  // the radioactive one loses half of what it has in 24 hourly steps.
  for (int step = 0; step < 30; ++step) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) precipitation[r][c] = step % 4 == 0 ? 3.0 * c : 0.0;
    ASSERT_EQ(Step(step), 0) << console.str();
    const double decay = std::pow(0.5, (step + 1) / 24.0);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        ASSERT_NEAR(Mass(2, r, c), decay * Mass(1, r, c), 1e-9 * Mass(1, r, c)) << step;
        EXPECT_NEAR(At("_CONC_QI_2_", r, c), decay * At("_CONC_QI_1_", r, c), 1e-9 * At("_CONC_QI_1_", r, c));
      }
  }
}

TEST_F(Tracers, ConstantConcentrationEverywhereIsTheRoutedConcentration) {
  Add("concflux_tracer_1_input", [](int, int) { return 3.0; });
  settings[1].soilini = settings[1].gwini = 3.0;
  Section s = OneSubbasin();
  s.parameters = {"1", "2", "0.5", "4", "0.2", "0"};  // with baseflow
  ASSERT_EQ(Start(s, 1), 0) << console.str();
  // The initial baseflow already carries the soil's concentration.
  EXPECT_NEAR(tuz->Routed(1, 1), 3.0, 1e-12);
  // Runoff that varies over the cells and the steps, all of it at 3: the
  // zones, the two linear storages and the mixing with the baseflow give 3.
  for (int step = 0; step < 30; ++step) {
    ASSERT_EQ(InDir([&] {
                const int64_t hour = step % 24 + 1;
                tuz->StartStep(hour, 1, 7, 2020);
                for (int r = 1; r <= kRows; ++r)
                  for (int c = 1; c <= kCols; ++c) {
                    tuz->Direct()[r][c] = step < 5 ? 2.0 * c * r : 0.0;
                    tuz->Inter()[r][c] = 0.1 * c + 0.05 * step;
                    tuz->Base()[r][c] = 0.01 * r;
                    Entry("_CONC_QD_1_").grid[r][c] = 3.0;
                    Entry("_CONC_QI_1_").grid[r][c] = 3.0;
                    Entry("_CONC_QB_1_").grid[r][c] = 3.0;
                  }
                tuz->AddStep();
                tuz->RouteSubbasinRunoff(hour, 1, 7, 2020);
              }),
              0)
        << console.str();
    ASSERT_GT(tuz->RunoffQg(1), 0.0);
    EXPECT_NEAR(tuz->Routed(1, 1), 3.0, 1e-12) << step;
    EXPECT_NEAR(tuz->RoutedDirect(1, 1), 3.0, 1e-12) << step;
  }
  // The statistics line of the tracer holds the routed concentration.
  InDir([&] { tuz->WriteStatFiles(); });
  const std::string stat = fluvextest::ReadFile(dir / "nitunsat.sta");
  EXPECT_NE(stat.find("tracer concentration for tracer 1 (nit) "), std::string::npos) << stat;
  // The top layer's concentration is the grid of the stack entry.
  EXPECT_NEAR(Entry("concstor_tracer_1_unsatzon_model").grid[1][1], 3.0, 1e-9);
}

TEST_F(Tracers, UniformConcentrationStaysUniformUnlessTranspirationLeavesTheSubstance) {
  // Soil, groundwater and rain at 3. Tracer 1 evaporates with the water (its
  // stack holds concentrations) and keeps 3 in every layer while the water
  // moves and the roots take it; tracer 2 stays behind and is enriched.
  Add("concflux_tracer_1_input", [](int, int) { return 3.0; });
  Add("concflux_tracer_2_input", [](int, int) { return 3.0; });
  settings[1].evaporating = 1;
  for (int t = 1; t <= 2; ++t) settings[t].soilini = settings[t].gwini = 3.0;
  Section s = OneSubbasin();
  s.parameters = {"1", "2", "0.5", "4", "0.2", "0"};
  ASSERT_EQ(Start(s, 2), 0) << console.str();
  for (int step = 0; step < 12; ++step) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) precipitation[r][c] = step < 4 ? 1.5 * c : 0.2;
    ASSERT_EQ(Step(step), 0) << console.str();
    const Stack evaporating = Entry("concstor_tracer_1_unsatzon_model").stack;
    const Stack staying = Entry("concstor_tracer_2_unsatzon_model").stack;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int k = 1; k <= kLayers; ++k) {
          ASSERT_NEAR(evaporating[r][c][k], 3.0, 1e-9) << step << " " << r << " " << c << " " << k;
          ASSERT_GE(staying[r][c][k] / (uz->Theta()[r][c][k] * uztest::kThickness * 1000), 3.0 - 1e-9);
        }
    EXPECT_NEAR(tuz->Routed(1, 1), 3.0, 1e-9);
  }
  // The roots took water from the top layer: the substance that stayed is more concentrated there.
  EXPECT_GT(
      Entry("concstor_tracer_2_unsatzon_model").stack[1][1][1] / (uz->Theta()[1][1][1] * uztest::kThickness * 1000),
      3.01);
}

TEST_F(Tracers, UniformConcentrationStaysUniformInAHeavyShower) {
  // 60 mm per hour on a soil with baseflow: the first hour leaves the top
  // layer above saturation, the next drains it through the column. Water,
  // soil and groundwater all at 3, no roots: every layer and the runoff keep
  // 3, and the water of every cell balances.
  Add("concflux_tracer_1_input", [](int, int) { return 3.0; });
  Add("concflux_tracer_2_input", [](int, int) { return 3.0; });
  settings[2].evaporating = 1;
  for (int t = 1; t <= 2; ++t) settings[t].soilini = settings[t].gwini = 3.0;
  Section s = OneSubbasin();
  s.parameters = {"1", "2", "0.5", "4", "0.2", "0"};
  ASSERT_EQ(Start(s, 2), 0) << console.str();
  Fill("pot_transpiration1", 0.0);
  const char* outputs[] = {"directflow", "interflow", "real_evaporation", "real_transpiration1", "baseflow"};
  auto water = [&](int r, int c) {
    double sum = 0;
    for (int k = 1; k <= kLayers; ++k) sum += uz->Theta()[r][c][k] * uztest::kThickness * 1000;
    return sum;
  };
  double wettest = 0;
  for (int step = 0; step < 6; ++step) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) precipitation[r][c] = 60.0;
    double before[kRows + 1][kCols + 1];
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) before[r][c] = water(r, c);
    ASSERT_EQ(Step(step), 0) << console.str();
    const Stack staying = Entry("concstor_tracer_1_unsatzon_model").stack;
    const Stack evaporating = Entry("concstor_tracer_2_unsatzon_model").stack;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        double out = 0;
        for (const char* name : outputs) out += At(name, r, c);
        ASSERT_NEAR(60.0 - (water(r, c) - before[r][c]) - out, 0.0, 1e-9) << step << " " << r << " " << c;
        for (int k = 1; k <= kLayers; ++k) {
          const double th = uz->Theta()[r][c][k];
          wettest = std::max(wettest, th);
          ASSERT_NEAR(staying[r][c][k] / (th * uztest::kThickness * 1000), 3.0, 1e-9) << step << " " << k;
          ASSERT_NEAR(evaporating[r][c][k], 3.0, 1e-9) << step << " " << k;
        }
        if (At("directflow", r, c) > 0) {
          EXPECT_NEAR(At("_CONC_QD_1_", r, c), 3.0, 1e-9);
        }
      }
  }
  EXPECT_GT(wettest, uztest::kThetaSat - 1e-6);  // the case of a saturated layer was met
}

TEST_F(Tracers, GroundwaterModelExchangesSubstanceWithTheColumn) {
  // The groundwater model's layer 1 is the columns' saturated zone: its
  // exchange (baseflow) moves water into the column and then out of it,
  // and the substance its faces moved between the columns comes and goes
  // with it (mm x concentration, 0.9 mm per step at first, then 0.3 mm per
  // step taken). The soil at 2, the rain at 1: the column keeps its substance but
  // for rain, runoff and what the groundwater model moved, and tells the
  // model its saturated zone's water and concentration.
  Add("concflux_tracer_1_input", [](int, int) { return 1.0; });
  Grid gwConc = Add("concstor_tracer_1_layer_1_groundwater_flow", [](int, int) { return 5.0; });
  Grid moved = Add("groundwater_exchange_tracer_1", [](int, int) { return 0.0; });
  Grid saturated = Add("groundwater_saturated_water", [](int, int) { return 0.0; });
  Add("aquifer_thickness_1", [](int, int) { return 2.0; });
  Add("gw_storage_coeff_1", [](int, int) { return 0.2; });
  settings[1].gwini = 2.0;
  ASSERT_EQ(Start(OneSubbasin(), 1, true), 0) << console.str();
  Fill("pot_transpiration1", 0.0);
  const char* outputs[] = {"directflow", "interflow", "real_evaporation", "real_transpiration1"};
  const Stack store = Entry("concstor_tracer_1_unsatzon_model").stack;
  for (int step = 0; step < 24; ++step) {
    double before[kRows + 1][kCols + 1], storage[kRows + 1][kCols + 1];
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        precipitation[r][c] = step % 6 == 3 ? 4.0 : 0.0;
        // Rising (negative, mm per step) for eight hours, then taken from the column.
        tuz->Base()[r][c] = step < 8 ? -0.72 * c : 0.36 * r;
        moved[r][c] = step < 8 ? 0.9 : -0.3;
        before[r][c] = Mass(1, r, c);
        storage[r][c] = 0;
        for (int k = 1; k <= kLayers; ++k) storage[r][c] += uz->Theta()[r][c][k] * uztest::kThickness * 1000;
      }
    ASSERT_EQ(Step(step), 0) << console.str();
    // The column tells the groundwater model its saturated zone.
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        const int g = static_cast<int>(tuz->GwLevel()[r][c]);
        double mass = 0, water = 0;
        for (int k = g; k <= kLayers; ++k) {
          mass += store[r][c][k];
          water += uz->Theta()[r][c][k] * uztest::kThickness * 1000;
        }
        ASSERT_NEAR(saturated[r][c], water, 1e-9 * water) << step;
        ASSERT_NEAR(gwConc[r][c], mass / water, 1e-12 * mass / water) << step;
      }
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        const double exchange = At("baseflow", r, c);  // mm, negative: from the groundwater
        // The column's water balances with the exchange.
        double out = exchange, now = 0;
        for (const char* name : outputs) out += At(name, r, c);
        for (int k = 1; k <= kLayers; ++k) now += uz->Theta()[r][c][k] * uztest::kThickness * 1000;
        ASSERT_NEAR(precipitation[r][c] - (now - storage[r][c]) - out, 0.0, 1e-9) << step << " " << r << " " << c;
        const double runoff =
            At("_CONC_QD_1_", r, c) * At("directflow", r, c) + At("_CONC_QI_1_", r, c) * At("interflow", r, c);
        ASSERT_NEAR(before[r][c] + precipitation[r][c] * 1.0 + moved[r][c] - Mass(1, r, c) - runoff, 0.0,
                    1e-9 * before[r][c])
            << "step " << step << " cell " << r << " " << c;
        // What left took no more than the saturated zone held.
        for (int k = 1; k <= kLayers; ++k) ASSERT_GE(store[r][c][k], 0.0);
      }
  }
}

TEST_F(Tracers, PondedWaterKeepsItsWaterAndSubstanceFromStepToStep) {
  // Up to 10 mm of water ponds on the cells; showers of changing
  // concentration, roots taking water. The ponded water stays to the next
  // step, its substance (level 0 of the stack) with it: soil plus pond keep
  // their water and substance but for rain in and runoff, transpiration and
  // baseflow out (the roots leave the substance behind; the substance of
  // the baseflow is not in a grid, so the check skips steps with baseflow).
  Grid input = Add("concflux_tracer_1_input", [](int, int) { return 0.0; });
  Add("max_ponding_storage", [](int, int) { return 0.01; });  // m
  Section s = OneSubbasin();
  s.pond = "1";
  ASSERT_EQ(Start(s, 1), 0) << console.str();
  Fill("pot_transpiration1", 0.1);
  const Stack store = Entry("concstor_tracer_1_unsatzon_model").stack;
  const char* outputs[] = {"directflow", "interflow", "real_evaporation", "real_transpiration1", "baseflow"};
  auto water = [&](int r, int c) {
    double sum = At("ponding_storage", r, c);
    for (int k = 1; k <= kLayers; ++k) sum += uz->Theta()[r][c][k] * uztest::kThickness * 1000;
    return sum;
  };
  double ponded = 0, carried = 0;
  int checked = 0;
  for (int step = 0; step < 30; ++step) {
    double before[kRows + 1][kCols + 1], storage[kRows + 1][kCols + 1];
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        precipitation[r][c] = step < 10 ? (step % 3 == 0 ? 40.0 + 5 * c : 2.0 * r) : 0.0;
        input[r][c] = step % 2 == 0 ? 6.0 : 0.5 * c;
        before[r][c] = Mass(1, r, c) + store[r][c][0];
        storage[r][c] = water(r, c);
        if (step > 0) carried = std::max(carried, At("ponding_storage", r, c));
      }
    ASSERT_EQ(Step(step), 0) << console.str();
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        double out = 0;
        for (const char* name : outputs) out += At(name, r, c);
        ASSERT_NEAR(precipitation[r][c] - (water(r, c) - storage[r][c]) - out, 0.0, 1e-9)
            << "step " << step << " cell " << r << " " << c;
        const double in = input[r][c] * precipitation[r][c];
        const double runoff =
            At("_CONC_QD_1_", r, c) * At("directflow", r, c) + At("_CONC_QI_1_", r, c) * At("interflow", r, c);
        const double after = Mass(1, r, c) + store[r][c][0];
        if (At("baseflow", r, c) != 0) continue;
        ++checked;
        ASSERT_NEAR(before[r][c] + in - after - runoff, 0.0, 1e-8 * (1 + in + before[r][c]))
            << "step " << step << " cell " << r << " " << c;
        ponded = std::max(ponded, At("ponding_storage", r, c));
      }
  }
  // Water ponded, was carried into the next step and ran off the full pond.
  EXPECT_NEAR(ponded, 10.0, 1e-9);
  EXPECT_GT(carried, 1.0);
  EXPECT_GT(checked, 200);
}

TEST_F(Tracers, WarmStartFromTheWrittenStateContinuesTheRun) {
  // 2N hourly steps in one run against N steps, the state written (soil
  // stacks and grids, the tracer stack with the ponded water's substance,
  // the routing state), and N steps of a run started from it: the same soil
  // water, substance, ponding and routed concentration to 6 significant
  // digits. The state goes through binary files of full precision: the
  // column solve of a ponded shower is sensitive enough that the rounding
  // of 6-digit text files shows in the digits compared.
  constexpr int N = 6;
  Grid input = Add("concflux_tracer_1_input", [](int, int) { return 0.0; });
  Section s = OneSubbasin();
  s.parameters = {"1", "2", "0.5", "4", "0.2", "0"};
  auto force = [&](int step) {
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        // Showers that pond; one ends the first part.
        precipitation[r][c] = step % 4 == 1 || step == N - 1 ? 15.0 * c : 0.5;
        input[r][c] = 1.0 + step % 3;
      }
  };
  Add("max_ponding_storage", [](int, int) { return 0.0; });
  // The module turns the maximum ponding from m into mm on its grid.
  auto start = [&] {
    Fill("max_ponding_storage", 0.02);
    return Start(s, 1);
  };
  s.pond = "1";
  const std::string stack = "concstor_tracer_1_unsatzon_model";
  struct Result {
    std::vector<double> theta, substance, pond;
    double routed = 0;
  };
  auto result = [&] {
    Result x;
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) {
        x.pond.push_back(Entry(stack).stack[r][c][0]);
        x.pond.push_back(At("ponding_storage", r, c));
        for (int k = 1; k <= kLayers; ++k) {
          x.theta.push_back(uz->Theta()[r][c][k]);
          x.substance.push_back(Entry(stack).stack[r][c][k]);
        }
      }
    x.routed = tuz->Routed(1, 1);
    return x;
  };

  ASSERT_EQ(start(), 0) << console.str();
  for (int step = 0; step < 2 * N; ++step) {
    force(step);
    ASSERT_EQ(Step(step), 0) << console.str();
  }
  const Result whole = result();

  ASSERT_EQ(start(), 0) << console.str();
  for (int step = 0; step < N; ++step) {
    force(step);
    ASSERT_EQ(Step(step), 0) << console.str();
  }
  const Result half = result();
  ASSERT_EQ(InDir([&] {
              for (const char* name :
                   {"groundwater_distance", "ponding_storage", "geodetic_heads", "theta", "hydraulic_heads", "baseflow",
                    "groundwater_level", "Theta_in_GWLEVEL", stack.c_str()}) {
                const GridListEntry& e = Entry(name);
                ASSERT_FALSE(e.filename.empty()) << name;
                if (e.stack)
                  tuz->WriteStack(e.filename, e.stack, e.levels, false, true);
                else
                  tuz->WriteGrid(e.filename, e.grid, false, true);
              }
              tuz->WriteState();
            }),
            0)
      << console.str();

  s.readParameter = "1";
  ASSERT_EQ(start(), 0) << console.str();
  const Result read = result();
  for (size_t k = 0; k < half.substance.size(); ++k) {
    ASSERT_NEAR(read.theta[k], half.theta[k], 1e-12 * half.theta[k]) << k;
    ASSERT_NEAR(read.substance[k], half.substance[k], 1e-12 * half.substance[k]) << k;
  }
  for (size_t k = 0; k < half.pond.size(); ++k)
    EXPECT_NEAR(read.pond[k], half.pond[k], 1e-12 * (1 + half.pond[k])) << k;
  for (int step = N; step < 2 * N; ++step) {
    force(step);
    ASSERT_EQ(Step(step), 0) << console.str();
  }
  const Result warm = result();
  for (size_t k = 0; k < whole.substance.size(); ++k) {
    EXPECT_NEAR(warm.theta[k], whole.theta[k], 1e-6 * whole.theta[k]) << k;
    EXPECT_NEAR(warm.substance[k], whole.substance[k], 1e-6 * whole.substance[k]) << k;
  }
  for (size_t k = 0; k < whole.pond.size(); ++k)
    EXPECT_NEAR(warm.pond[k], whole.pond[k], 1e-6 * (1 + whole.pond[k])) << k;
  EXPECT_NEAR(warm.routed, whole.routed, 1e-6 * whole.routed);
  double ponded = 0;
  for (double v : half.pond) ponded = std::max(ponded, v);
  EXPECT_GT(ponded, 0.0);  // water and substance were ponded when the first run ended
  EXPECT_GT(std::fabs(whole.substance[0] - half.substance[0]), 1e-3 * half.substance[0]);  // the state moved on
}

TEST_F(Tracers, MissingInputGridOrStackWithOtherLayersStopTheSetUp) {
  ASSERT_EQ(Start(OneSubbasin(), 1), 33);
  EXPECT_TRUE(Said("concflux_tracer_1_input")) << console.str();

  // A stack of 5 levels for a soil of 10 layers.
  uz.reset();  // its grids leave the list before the test adds one
  Add("concflux_tracer_1_input", [](int, int) { return 0.0; });
  {
    memory_handling m(&diag);
    Stack s = m.matrix3d(1, kRows, 1, kCols, 5, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int k = 0; k <= 5; ++k) s[r][c][k] = 1.0;
    ASSERT_EQ(Start(OneSubbasin(), 0), 0);
    const std::string file = dir.path() + "/nitunsat.grd";
    ASSERT_EQ(InDir([&] { tuz->WriteStack(file, s, 5, true, false); }), 0) << console.str();
    m.FreeMatrix3d(s, 1, kRows);
  }
  uz.reset();
  fluvextest::WriteFile(dir / "run.cntrl", OneSubbasin().Text());
  int error = 0;
  const int code = InDir([&] {
    tuz = new TracerUZ(error, &diag, nullptr, 0, dir / "run.cntrl", args, nullptr, 1);
    uz.reset(tuz);
    tuz->ReadStacksAtStart();
    tuz->InitTracerGrids(&error, 1, settings, nullptr, 0);
  });
  EXPECT_EQ(code != 0 ? code : error, 13) << console.str();
  EXPECT_TRUE(Said("wrong number of levels in stack " + dir.path() +
                   "/nitunsat.grd (there are 5 levels, "
                   "it must be 10"))
      << console.str();
}

TEST_F(Tracers, RiverWaterBringsTheConcentrationsOfItsLink) {
  // The table 1 m deep below a river bed at 0.3 m (surface water interaction
  // 2, the groundwater model coupled): river water enters the column. The
  // link's record holds the river water's concentration of tracer 1, 7; no
  // rain, no roots, no runoff from the column. The column gains 7 times the
  // river water it took.
  Add("concflux_tracer_1_input", [](int, int) { return 1.0; });
  Add("river_depth", [](int, int) { return 0.3; });
  Add("river_width", [](int, int) { return 5.0; });
  Add("river_links", [](int, int) { return 1.0; });
  Add("kolmation", [](int, int) { return 1e-6; });
  Add("aquifer_thickness_1", [](int, int) { return 2.0; });
  Section s = OneSubbasin();
  s.interaction = "2";
  s.parameters = {"1", "2", "0", "4", "0", "0"};  // no interflow, no baseflow
  ASSERT_EQ(Start(s, 1, true), 0) << console.str();
  Fill("pot_transpiration1", 0.0);
  RiverflowTable* table = tuz->GetRiverflowTable();
  ASSERT_NE(table, nullptr);
  table[1].field[1] = 7.0;
  table[1].field[10] = 10.0;  // m3/s at 1 m/s
  table[1].field[11] = 1.0;
  double before[kRows + 1][kCols + 1];
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) before[r][c] = Mass(1, r, c);
  ASSERT_EQ(Step(0), 0) << console.str();
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      const double river = At("river_infiltration", r, c);
      ASSERT_GT(river, 0.0) << r << " " << c;
      EXPECT_NEAR(Mass(1, r, c) - before[r][c], 7.0 * river, 1e-9 * before[r][c]) << r << " " << c;
    }
}

TEST_F(Tracers, OnlyATracerOfTheMixingKindTakesOneConcentrationInTheSaturatedZone) {
  // Both tracers at 4 in the layer of the table (layer 5, ini_gw_level 2)
  // and at 2 in the saturated layer below it, no water moving: tracer 1 (the
  // evaporating kind, its stack holds concentrations) takes one
  // concentration in the two, tracer 2 keeps its layers' concentrations.
  Add("concflux_tracer_1_input", [](int, int) { return 1.0; });
  Add("concflux_tracer_2_input", [](int, int) { return 1.0; });
  settings[1].evaporating = 1;
  Section s = OneSubbasin();
  s.iniGw = "2";
  s.parameters = {"1", "2", "0", "4", "0", "0"};
  ASSERT_EQ(Start(s, 2), 0) << console.str();
  Fill("pot_transpiration1", 0.0);
  const int g = static_cast<int>(uz->GwLevel()[1][1]);
  ASSERT_EQ(g, 5);
  const Stack mixing = Entry("concstor_tracer_1_unsatzon_model").stack;
  const Stack moving = Entry("concstor_tracer_2_unsatzon_model").stack;
  auto water = [&](int k) { return uz->Theta()[1][1][k] * uztest::kThickness * 1000; };
  for (int k : {g, g + 1}) {
    const double conc = k == g ? 4.0 : 2.0;
    mixing[1][1][k] = conc;
    moving[1][1][k] = conc * water(k);
  }
  const double mixed = (4.0 * water(g) + 2.0 * water(g + 1)) / (water(g) + water(g + 1));
  ASSERT_EQ(Step(0), 0) << console.str();
  EXPECT_NEAR(mixing[1][1][g], mixed, 1e-6);
  EXPECT_NEAR(mixing[1][1][g + 1], mixed, 1e-6);
  EXPECT_NEAR(moving[1][1][g] / water(g), 4.0, 1e-6);
  EXPECT_NEAR(moving[1][1][g + 1] / water(g + 1), 2.0, 1e-6);
}

}  // namespace
