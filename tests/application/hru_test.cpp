// The [SpinUp] section and the hydrologic response units (HRUs).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "tests/application/setups.h"

using fluvextest::CodeSetup;
using fluvextest::DecomposedModel;
using fluvextest::FileExists;
using fluvextest::MpiSize;
using fluvextest::WriteFile;

namespace {

bool Data(int r, int c) {
  return fluvextest::kCodeRaster[static_cast<size_t>(r - 1)][static_cast<size_t>(c - 1)] != '.';
}

// Elevations 0 ... 999 spread over the raster (0 at row 1 column 1, 999 at row 5 column 12).
double Elevation(int r, int c) {
  return std::floor(999.0 * ((r - 1) * 12 + (c - 1)) / 59.0);
}

class HRUTest : public ::testing::Test {
 protected:
  HRUTest() : m("hru", fluvextest::kCodeRaster) { m.Decompose(); }
  // A set-up object reading the [SpinUp] section text, with the elevation grid.
  CodeSetup& Setup(const std::string& section) {
    const std::string name = m.dir / "control.txt";
    WriteFile(name, "[model_time]\n1\n\n" + section);
    s.reset();
    s = std::make_unique<CodeSetup>(error, m, name);
    s->AddGrid(s->NextFree(), "dem.asc", "elevation", Elevation, true);
    return *s;
  }
  int Create() {
    return CodeOf([&] { s->CreateHRUs(spinUp, pre, repeat, hrus); });
  }
  // The class key of a cell after the definitions (width, sqrt spacing) of elevation.
  static std::string Key(double value, const std::vector<std::pair<double, bool>>& definitions) {
    std::string key;
    for (auto [width, root] : definitions) {
      const double x = root ? std::sqrt(std::fabs(value)) : value;
      char part[32];
      std::snprintf(part, sizeof part, "%04d'", static_cast<int>(std::floor(x / width)));
      key += part;
    }
    return key;
  }
  // Every cell this instance owns belongs to the unit of its key; every unit
  // has one master cell, the first of its cells in the scan order.
  void ExpectUnits(const std::vector<std::pair<double, bool>>& definitions) {
    Grid units = s->HRUGrid();
    Grid masters = s->MasterGrid();
    ASSERT_NE(units, nullptr);
    std::set<std::string> keys;
    std::set<uint64_t> seen;
    for (int r = m.first; r <= m.last; ++r)
      for (int c = 1; c <= m.ncols; ++c) {
        if (!m.Own(r, c)) continue;
        const std::string key = Key(Elevation(r, c), definitions);
        keys.insert(key);
        const double number = units[r][c];
        ASSERT_GE(number, 1) << r << " " << c;
        ASSERT_LT(number, static_cast<double>(hrus.size()));
        const HRURecord& unit = hrus[static_cast<size_t>(number)];
        EXPECT_EQ(unit.key, key) << r << " " << c;
        EXPECT_EQ(unit.number, static_cast<uint64_t>(number));
        // The first cell of a unit in the scan order is its master.
        const bool first = seen.insert(unit.number).second;
        EXPECT_EQ(first, unit.row == r && unit.column == c) << r << " " << c;
        EXPECT_EQ(masters[r][c], first ? number : -9999.0) << r << " " << c;
      }
    EXPECT_EQ(hrus.size(), keys.size() + 1);
    EXPECT_EQ(hrus[0].number, 0u);
    EXPECT_TRUE(hrus[0].key.empty());
  }

  DecomposedModel m;
  int error = 0;
  std::unique_ptr<CodeSetup> s;
  int spinUp = 7, pre = 7, repeat = 7;
  std::vector<HRURecord> hrus;
};

}  // namespace

TEST_F(HRUTest, WithoutSectionOrSwitchOffNothingIsBuilt) {
  Setup("");
  ASSERT_EQ(Create(), 0);
  EXPECT_EQ(spinUp, 0);
  EXPECT_EQ(pre, 0);
  EXPECT_EQ(repeat, 0);
  EXPECT_EQ(hrus.size(), 1u);
  EXPECT_EQ(s->HRUGrid(), nullptr);
  EXPECT_EQ(s->FindGrid("MasterHydrologicResponseUnits", false), 0);

  // Switch 0: the further lines (not even numbers here) are not read.
  Setup("[SpinUp]\n0   SpinUp-switch\nnone\nnone\n");
  pre = 3;
  repeat = 4;
  ASSERT_EQ(Create(), 0);
  EXPECT_EQ(spinUp, 0);
  EXPECT_EQ(pre, 3);
  EXPECT_EQ(repeat, 4);
  EXPECT_EQ(s->HRUGrid(), nullptr);
  EXPECT_FALSE(FileExists(m.dir / "All_HydrologicResponseUnits"));
}

TEST_F(HRUTest, LinearClassesOfTheElevation) {
  Setup("[SpinUp]\n1 switch\n1 pre-SpinUp\n3 passes\n1 definitions\nelevation 100 linear\n");
  ASSERT_EQ(Create(), 0) << m.console.str();
  EXPECT_EQ(spinUp, 1);
  EXPECT_EQ(pre, 1);
  EXPECT_EQ(repeat, 3);
  ExpectUnits({{100, false}});
  // On one instance the ten classes 0000' ... 0009' each form one unit.
  if (MpiSize() == 1) {
    ASSERT_EQ(hrus.size(), 11u);
    for (int k = 1; k <= 10; ++k) {
      char key[16];
      std::snprintf(key, sizeof key, "%04d'", k - 1);
      EXPECT_EQ(hrus[static_cast<size_t>(k)].key, key);
    }
  }
  // The grids under the names the models look for.
  EXPECT_EQ(s->GetGridList()[s->HRUPosition()].shortname, "HydrologicResponseUnits");
  EXPECT_EQ(s->GetGridList()[s->HRUPosition()].filename, "All_HydrologicResponseUnits");
  EXPECT_EQ(s->GetGridList()[s->MasterPosition()].shortname, "MasterHydrologicResponseUnits");
  char own[64];
  std::snprintf(own, sizeof own, "All_HydrologicResponseUnits_%03d", m.rank);
  EXPECT_TRUE(FileExists(m.dir / own));
  if (m.rank == 0) {
    EXPECT_TRUE(FileExists(m.dir / "All_HydrologicResponseUnits"));
    EXPECT_TRUE(FileExists(m.dir / "Master_HydrologicResponseUnits"));
    // Instance 0 holds the units of every instance after the gather.
    for (int r = 1; r <= m.nrows; ++r)
      for (int c = 1; c <= m.ncols; ++c)
        if (m.Zone(r, c) != -9999) {
          EXPECT_GE(s->HRUGrid()[r][c], 1) << r << " " << c;
        }
  }
}

TEST_F(HRUTest, SquareRootSpacingAndTwoDefinitions) {
  Setup("[SpinUp]\n1\n0\n2\n1\nelevation 1 sqrt\n");
  ASSERT_EQ(Create(), 0) << m.console.str();
  ExpectUnits({{1, true}});
  // The lowest elevation (0) and the highest (965, row 5 column 10) give classes 0 and 31.
  if (MpiSize() == 1) {
    EXPECT_EQ(hrus[1].key, "0000'");
    EXPECT_EQ(hrus[static_cast<size_t>(s->HRUGrid()[5][10])].key, "0031'");
  }

  // The second grid is found under its name in square brackets.
  Setup("[SpinUp]\n1\n0\n2\n2\nelevation 250 linear\nwetness 3 sqrt\n");
  s->AddGrid(s->NextFree(), "wet.asc", "[wetness]", Elevation, true);
  ASSERT_EQ(Create(), 0) << m.console.str();
  ExpectUnits({{250, false}, {3, true}});
  // Elevation 965 at row 5, column 10: classes 3 and floor(31.06 / 3) = 10.
  if (MpiSize() == 1) {
    EXPECT_EQ(hrus[static_cast<size_t>(s->HRUGrid()[5][10])].key, "0003'0010'");
  }
}

TEST_F(HRUTest, MissingValuesEndTheKeyOrLeaveTheCellOut) {
  Setup("[SpinUp]\n1\n0\n1\n2\nelevation 100 linear\nsecond 1 linear\n");
  // The second grid misses a value in row 1; the first one in row 2, column 5.
  s->AddGrid(
      s->NextFree(), "second.asc", "second", [](int r, int) { return r == 1 ? -9999.0 : 2.0; }, true);
  if (s->GridFirstRow() <= 2 && s->GridLastRow() >= 2)
    s->GetGridList()[s->FindGrid("elevation", false)].grid[2][5] = -9999;
  ASSERT_EQ(Create(), 0) << m.console.str();
  Grid units = s->HRUGrid();
  for (int r = m.first; r <= m.last; ++r)
    for (int c = 1; c <= m.ncols; ++c) {
      if (!m.Own(r, c)) continue;
      if (r == 2 && c == 5) {
        EXPECT_EQ(units[r][c], -9999);
        EXPECT_EQ(s->MasterGrid()[r][c], -9999);
        continue;
      }
      const std::string key = Key(Elevation(r, c), {{100, false}}) + (r == 1 ? "" : "0002'");
      EXPECT_EQ(hrus[static_cast<size_t>(units[r][c])].key, key) << r << " " << c;
    }
}

TEST_F(HRUTest, UserUnitsAreRenumberedInScanOrder) {
  Setup("[SpinUp]\n1\n0\n1\n0   definitions: the grid HydrologicResponseUnits is given\n");
  // Units 40 and 17 by column halves; the cells without data form a unit of their own.
  auto user = [](int r, int c) { return Data(r, c) ? (c <= 6 ? 40.0 : 17.0) : -9999.0; };
  Grid g = s->AddGrid(s->NextFree(), "hru.asc", "HydrologicResponseUnits", user, true);
  ASSERT_EQ(Create(), 0) << m.console.str();
  EXPECT_EQ(s->HRUGrid(), g);
  EXPECT_EQ(s->GetGridList()[s->MasterPosition()].filename, "MasterHydrologicResponseUnits");
  // Expected numbers: first appearance in this instance's scan over its data
  // columns; cells of the zone that other instances own are theirs.
  std::map<double, double> number;
  for (int r = m.first; r <= m.last; ++r) {
    const ColumnRange range = m.ranges[r];
    for (int c = range.first; c <= range.last; ++c) {
      if (Data(r, c) && !m.Own(r, c)) continue;
      const double v = user(r, c);
      const bool first = number.emplace(v, static_cast<double>(number.size() + 1)).second;
      // Cells without zone data lie in the rows of several instances; the
      // gather to instance 0 may overwrite them there.
      if (MpiSize() > 1 && !Data(r, c)) continue;
      EXPECT_EQ(g[r][c], number[v]) << r << " " << c;
      EXPECT_EQ(s->MasterGrid()[r][c], first ? number[v] : -9999.0) << r << " " << c;
    }
  }
  EXPECT_EQ(hrus.size(), number.size() + 1);
  if (MpiSize() == 1) {
    // Row 1 starts with 40 (columns 1 ... 6), then 17; row 3 column 6 holds no data.
    EXPECT_EQ(hrus[1].key, "40");
    EXPECT_EQ(hrus[2].key, "17");
    EXPECT_EQ(hrus[3].key, "-9999");
  }
}

TEST_F(HRUTest, BadDefinitionsStopTheSetUp) {
  const std::pair<const char*, int> cases[] = {
      {"1\n0\n1\n1\nelevation 0 linear\n", 17},
      {"1\n0\n1\n1\nelevation -5 linear\n", 17},
      {"1\n0\n1\n1\nelevation 100\n", 17},
      {"1\n0\n1\n-1\n", 17},
      {"1\nx\n", 17},
      {"1\n0\n1\n1\nnothere 100 linear\n", 33},
      {"1\n0\n1\n0\n", 1030},
  };
  for (const auto& [section, code] : cases) {
    Setup(std::string("[SpinUp]\n") + section);
    EXPECT_EQ(Create(), code) << section;
  }
}

TEST_F(HRUTest, MoreThanTenThousandClassesStopTheSetUp) {
  // The instance with the cell stops alone; the program then aborts every instance.
  if (MpiSize() > 1) GTEST_SKIP() << "a fatal classification ends the whole program";
  // Width 1/16: the first cell in scan order above elevation 624.9 is row 4,
  // column 2 (floor(999 * 37 / 59) = 626), class 626 * 16 = 10016.
  Setup("[SpinUp]\n1\n0\n1\n1\nelevation 0.0625 linear\n");
  EXPECT_EQ(Create(), 1031);
  EXPECT_NE(m.console.str().find("Creating HRUs resulted in a re-classify result of 10016 for grid elevation at row=4 "
                                 "and col=2. Only 10'000 Classes are allowed for each grid."),
            std::string::npos)
      << m.console.str();
}
