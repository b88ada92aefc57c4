// Regional superposition: output = sum over the cell's regions of share x
// (sum over the input grids of weight of the region x input), checked cell by
// cell against hand values, and the checks of the entity texts.
#include "meteo/superposition.h"

#include <gtest/gtest.h>

#include "tests/meteo/meteo_world.h"

using namespace meteotest;

namespace {

// Region codes 3 and 7 are the regions 1 and 2.
const int kRegionTable[8] = {0, 0, 0, 1, 0, 0, 0, 2};

double A(int /*r*/, int c) {
  return 10.0 + c;
}
double B(int r, int /*c*/) {
  return 100.0 * r;
}

struct Rig {
  World w;
  int zoneIndex[2] = {0, 1};
  ZoneRecord zones[2] = {{0, 0, 0, 0, 0}, {0, 0, 1, 1, 0}};

  explicit Rig(const std::string& name) : w(2, 3, 1000, name) {
    // Cells: region 3 whole; region 7 whole; shared 0.6 / 0.4; no region
    // (missing code); code 99 outside the table with a second region 3 at
    // 0.5; outside the zones.
    const double r1[2][3] = {{3, 7, 3}, {-9999, 99, 3}};
    const double s1[2][3] = {{1, 1, 0.6}, {1, 1, 1}};
    const double r2[2][3] = {{0, 0, 7}, {0, 3, 0}};
    const double s2[2][3] = {{0, 0, 0.4}, {0, 0.5, 0}};
    w.AddGrid("gridA", A);
    w.AddGrid("gridB", B);
    w.AddGrid("regression_regions", [&](int r, int c) { return r1[r - 1][c - 1]; });
    w.AddGrid("regression_weights1", [&](int r, int c) { return s1[r - 1][c - 1]; });
    w.AddGrid("regression_regions2", [&](int r, int c) { return r2[r - 1][c - 1]; });
    w.AddGrid("regression_weights2", [&](int r, int c) { return s2[r - 1][c - 1]; });
    w.zone[2][3] = -9999;
  }
  // Builds the sub-model from a section with the given entity lines; error holds a thrown code.
  std::unique_ptr<RegionalSuperposition> Make(const std::string& entities, int& error) {
    w.Write("control.txt", "[RegionalSuperposition]\n1   flow control parameter\n60   time interval\n" + entities);
    SubModelArgs a;
    a.gridlist = w.list.data();
    a.zoneIndex = zoneIndex;
    a.zoneRecords = zones;
    a.zoneCount = 1;
    a.maxZoneCode = 1;
    a.ncols = 3;
    a.nrows = 2;
    a.firstRow = 1;
    a.lastRow = 2;
    a.cellsize = 1000;
    a.endYear = 2000;
    a.endMonth = 1;
    a.endDay = 1;
    error = 0;
    try {
      return std::make_unique<RegionalSuperposition>(w.Diag(), "control.txt", a, 2, kRegionTable, 7, nullptr, 0);
    } catch (int code) {
      error = code;
    }
    return nullptr;
  }
};

const char* kMix =
    "NumberOfEntities = 1;\n"
    "mix {\n"
    "  entityinputgrid = gridA; regions = 3 7; weights = 0.3, 0.6;\n"
    "  entityinputgrid = gridB; regions = 3 7; weights = 0.7, 0.4;\n"
    "  outputgrid = mix.asc; writecode = 0; outputtable = mix.txt; statcode = 0;\n"
    "}\n";

}  // namespace

TEST(RegionalSuperposition, CellsMixTheirRegionsByShares) {
  auto mix1 = [](int r, int c) { return 0.3 * A(r, c) + 0.7 * B(r, c); };
  auto mix2 = [](int r, int c) { return 0.6 * A(r, c) + 0.4 * B(r, c); };
  for (int threads : {1, 8}) {
    Rig rig("superpose" + std::to_string(threads));
    int error = 0;
    auto s = rig.Make(kMix, error);
    ASSERT_EQ(error, 0) << rig.w.Console();
    ASSERT_EQ(s->GetEntityCount(), 1);
    cSuperposition* e = s->GetEntity(0);
    const int position = e->GetOutputPosition();
    EXPECT_EQ(rig.w.list[position].shortname, "mix");
    EXPECT_EQ(rig.w.list[position].grid, e->GetOutputGrid());
    WithThreads(threads, [&] { s->run(1, 1, 1, 2000); });
    Grid g = e->GetOutputGrid();
    EXPECT_NEAR(g[1][1], mix1(1, 1), 1e-12);
    EXPECT_NEAR(g[1][2], mix2(1, 2), 1e-12);
    EXPECT_NEAR(g[1][3], 0.6 * mix1(1, 3) + 0.4 * mix2(1, 3), 1e-12);
    EXPECT_EQ(g[2][1], 0);  // missing region code: no region
    EXPECT_NEAR(g[2][2], 0.5 * mix1(2, 2), 1e-12);
    EXPECT_EQ(g[2][3], -9999);  // outside the zones
    s->WriteGrids();
    s->WriteStatistics();
    s->FreeMemory();
    EXPECT_FALSE(rig.w.list[position].registered);
    EXPECT_EQ(s->GetEntityCount(), 0);
  }
}

TEST(RegionalSuperposition, EntityTextsAreChecked) {
  struct Case {
    const char* name;
    std::string entities;
    int code;
    const char* text;
  };
  auto one = [](const std::string& weightsA, const std::string& regions = "3 7", const std::string& tail = "") {
    return "NumberOfEntities = 1;\nmix {\n entityinputgrid = gridA; regions = " + regions + "; weights = " + weightsA +
           ";\n entityinputgrid = gridB; regions = 3 7; weights = 0.7 0.4;\n outputgrid = mix.asc; writecode = 0; "
           "outputtable = mix.txt; statcode = 0;" +
           tail + "\n}\n";
  };
  const Case cases[] = {
      {"sum", one("0.30005 0.6"), 0, ""},
      {"sumbad", one("0.301 0.6"), 135, "region 1: The sum of all weights is not 1.0 but 1.001"},
      {"order", one("0.3 0.6", "7 3"), 134, "region on position 1 in the region list should have value 3"},
      {"unknown", one("0.3 0.6", "3 5"), 134, "region on position 2 was read as 5\nThere is now region with this code"},
      {"count", one("0.3 0.6", "3"), 134, "The number of regions here (1) does not equal the number of"},
      {"weights", one("0.3"), 135, "The number of regions (2) does not equal the number of weights (1)"},
      {"keyword", "Entities = 1;\n", 133,
       "could not read \"NumberOfEntities\" keyword in section [RegionalSuperposition]"},
      {"missinggrid",
       "NumberOfEntities = 1;\nm { entityinputgrid = nogrid; regions = 3 7; weights = 1 1;\noutputgrid = m.asc; "
       "writecode = 0; outputtable = m.txt; statcode = 0; }\n",
       33, "nogrid"},
      {"nooutput", "NumberOfEntities = 1;\nm { entityinputgrid = gridA; regions = 3 7; weights = 1 1; }\n", 17,
       "the key \"outputgrid\" is missing"},
      {"unclosed", "NumberOfEntities = 1;\nm { entityinputgrid = gridA;\n", 17, "has no closing \"}\""},
      // Refused after the output grid was registered, and an entity refused after one that was built.
      {"statcode",
       "NumberOfEntities = 1;\nmix { entityinputgrid = gridA; regions = 3 7; weights = 1 1;\noutputgrid = mix.asc; "
       "writecode = 0; outputtable = mix.txt; statcode = 2000; }\n",
       1, "invalid statistic code 2000"},
      {"second",
       "NumberOfEntities = 2;\n" + std::string(kMix).substr(22) +
           "m2 { entityinputgrid = gridA; regions = 7 3; weights = 1 1;\noutputgrid = m2.asc; writecode = 0; "
           "outputtable = m2.txt; statcode = 0; }\n",
       134, "region on position 1 in the region list should have value 3"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Rig rig(std::string("entity_") + k.name);
    int error = 0;
    auto s = rig.Make(k.entities, error);
    if (k.code == 0) {
      EXPECT_EQ(error, 0) << rig.w.Console();
      continue;
    }
    EXPECT_FALSE(s);
    rig.w.ExpectFatal(error, k.code, k.text);
    // A refused entity leaves no grid behind.
    for (int p = 1; p < kGridListMax; ++p) EXPECT_NE(rig.w.list[p].shortname, "mix");
  }
}

TEST(RegionalSuperposition, KeysWithoutBlanksAndNoEntities) {
  {
    Rig rig("tight");
    int error = 0;
    auto s = rig.Make(
        "NumberOfEntities=1;\nmix{entityinputgrid=gridA;regions=3,7;weights=1,1;\noutputgrid=mix.asc;writecode=3;"
        "outputtable=mix.txt;statcode=0;}\n",
        error);
    ASSERT_EQ(error, 0) << rig.w.Console();
    const int position = s->GetEntity(0)->GetOutputPosition();
    EXPECT_EQ(rig.w.list[position].filename, "mix.asc");
    EXPECT_EQ(rig.w.list[position].kind, 3);
    s->run(1, 1, 1, 2000);
    EXPECT_EQ(s->GetEntity(0)->GetOutputGrid()[1][2], A(1, 2));
    s->FreeMemory();
  }
  {
    Rig rig("none");
    int error = 0;
    auto s = rig.Make("NumberOfEntities = 0;\n", error);
    ASSERT_EQ(error, 0) << rig.w.Console();
    EXPECT_EQ(s->GetEntityCount(), 0);
    s->run(1, 1, 1, 2000);
    s->WriteGrids();
    s->FreeMemory();
  }
}
