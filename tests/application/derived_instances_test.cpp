// The derived grids and region weights written at set-up are the same on one
// to four instances: a basin with a read cell size, three regions, a
// missing elevation inside and rows shared between instances.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::TempDir;

namespace {

constexpr int kCols = 16;
constexpr int kRows = 12;

// Cell values row by row from the north: ASCII grids, or binary double grids
// after their twelve header values (a file missing or cut is a failure).
std::vector<double> Values(const std::string& path, bool binary) {
  const std::string bytes = ReadFile(path);
  std::vector<double> v(kCols * kRows, -1e300);
  if (binary) {
    EXPECT_EQ(bytes.size(), 8 * (12 + v.size())) << path;
    if (bytes.size() == 8 * (12 + v.size())) std::memcpy(v.data(), bytes.data() + 96, 8 * v.size());
    return v;
  }
  std::istringstream in(bytes);
  std::string word;
  for (int i = 0; i < 6; ++i) in >> word >> word;
  for (double& x : v) in >> x;
  return v;
}

std::string RunBasin(const TempDir& dir, int instances) {
  for (const char* f : {"control.txt", "zones.asc", "dem.asc", "regions.asc", "cellsx.asc"})
    std::filesystem::copy_file(std::string(FLUVEX_TEST_DATA) + "/derived/" + f, dir / f);
  std::filesystem::create_directories(dir / "out");
  const auto r = fluvextest::RunFluvex("control.txt", dir.path(), instances);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return dir.path() + "/";
}

}  // namespace

TEST(DerivedGridsOnInstances, OneTwoThreeAndFourInstancesWriteTheSameValues) {
  const TempDir oneDir("derived_np1");
  const std::string one = RunBasin(oneDir, 0);
  EXPECT_FALSE(fluvextest::FileExists(one + "out/zones.$csx"));  // read, not written again
  const std::vector<double> zone = Values(one + "zones.asc", false);
  for (int instances : {2, 3, 4}) {
    const TempDir dir("derived_np" + std::to_string(instances));
    const std::string other = RunBasin(dir, instances);
    for (const char* name : {"zones.$csy", "zones.$rca", "zones.$cx", "zones.$cy", "dem.$sl", "dem.$ex", "regions.$w1",
                             "regions.$r2", "regions.$w2", "regions.$r3", "regions.$w3"}) {
      const std::vector<double> a = Values(one + "out/" + name, true);
      const std::vector<double> b = Values(other + "out/" + name, true);
      for (size_t i = 0; i < a.size(); ++i) {
        if (!(zone[i] > -9999)) continue;
        // Byte-identical in every basin cell.
        EXPECT_EQ(std::memcmp(&a[i], &b[i], 8), 0)
            << instances << " instances, " << name << " cell " << i << ": " << a[i] << " vs " << b[i];
      }
    }
  }

  // The weights of every basin cell add up to 1; the slope of a cell whose four
  // neighbours have elevations is the central-difference slope.
  const std::vector<double> w1 = Values(one + "out/regions.$w1", true);
  const std::vector<double> w2 = Values(one + "out/regions.$w2", true);
  const std::vector<double> w3 = Values(one + "out/regions.$w3", true);
  const std::vector<double> dem = Values(one + "dem.asc", false);
  const std::vector<double> slope = Values(one + "out/dem.$sl", true);
  int central = 0;
  for (int r = 1; r <= kRows; ++r)
    for (int c = 1; c <= kCols; ++c) {
      const int i = (r - 1) * kCols + c - 1;
      if (!(zone[i] > -9999)) continue;
      EXPECT_NEAR(w1[i] + w2[i] + w3[i], 1.0, 1e-12) << r << " " << c;
      if (r == 1 || r == kRows || c == 1 || c == kCols) continue;
      const double n = dem[i - kCols], s = dem[i + kCols], w = dem[i - 1], e = dem[i + 1];
      if (std::min({n, s, w, e}) <= -9999) continue;
      EXPECT_NEAR(slope[i], std::atan(std::hypot((e - w) / 100, (n - s) / 100)) * 180 / M_PI, 1e-9) << r << " " << c;
      ++central;
    }
  EXPECT_GT(central, 80);
}
