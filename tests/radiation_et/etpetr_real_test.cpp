// Snow evaporation and real evapotranspiration: the demands served from the
// snow pack in layer order, the module's own reduction by soil moisture and
// ponds, and the cell totals; each checked as a balance of the stores.
#include <cmath>

#include "framework/zonalstatistic.h"
#include "parameters/multilayer_landuse_entry.h"
#include "radiation_et/etpetr.h"
#include "tests/radiation_et/et_section.h"

using ettest::EtSection;
using ettest::World;

namespace {

struct Rig {
  multilayer_landuse_entry table[2];
  World w;
  std::unique_ptr<verdunstungsmodellklasse> m;
  Rig(const std::string& name, int cols) : w(1, cols, 100, name) {
    table[0].code = 1;
    table[1].count = 2;
    w.multilayer = table;
    ettest::AddPenmanInputs(w, 2);
    w.Add("interception_evaporation0", 0.2);
    EtSection s;
    s.step = 60;
    s.etpStat = "etp.txt 0";
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
  Rig rig("accumulate", 2);
  rig.m->PotentialEvapotranspiration(12, 1, 7, 2001);
  rig.m->RealEvapotranspiration(12, 1, 7, 2001);
  // The unsaturated zone fills in the real values between the two calls.
  Grid etr0 = rig.G("real_transpiration0");
  rig.G("real_transpiration1")[1][1] = 0.3;
  rig.G("real_transpiration2")[1][1] = 0.1;
  rig.G("real_evaporation")[1][1] = 0.05;
  rig.G("snow_evaporation")[1][1] = 0.01;
  rig.m->AccumulateZoneStatistics(12, 1, 7, 2001);
  EXPECT_NEAR(etr0[1][1], 0.2 + 0.01 + 0.05 + 0.3 + 0.1, 1e-12);
  rig.m->FreeMemory();
}
