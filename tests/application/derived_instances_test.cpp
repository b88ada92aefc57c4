// The derived static grids and the region weights written at set-up are the
// same on one and on three instances, on a basin with a read cell size, three
// regions, a missing elevation inside the basin and rows shared between instances.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "tests/support/testutil.h"

using fluvextest::ReadFile;
using fluvextest::RunFluvex;
using fluvextest::TempDir;

namespace {

struct Raster {
  int ncols = 0;
  int nrows = 0;
  std::vector<double> values;  // row-major, row 1 first
  double at(int r, int c) const { return values[static_cast<size_t>((r - 1) * ncols + (c - 1))]; }
};

Raster ReadAscii(const std::string& path) {
  std::istringstream in(ReadFile(path));
  Raster g;
  std::string word;
  double header[6];
  for (double& h : header) in >> word >> h;
  g.ncols = static_cast<int>(header[0]);
  g.nrows = static_cast<int>(header[1]);
  g.values.resize(static_cast<size_t>(g.ncols * g.nrows));
  for (double& v : g.values) in >> v;
  return g;
}

// A binary double grid: twelve header values, then the rows from the north.
Raster ReadDouble(const std::string& path) {
  const std::string bytes = ReadFile(path);
  Raster g;
  if (bytes.size() < 96) return g;
  double header[12];
  std::memcpy(header, bytes.data(), sizeof header);
  g.ncols = static_cast<int>(header[0]);
  g.nrows = static_cast<int>(header[1]);
  const size_t n = static_cast<size_t>(g.ncols * g.nrows);
  if (bytes.size() != 96 + 8 * n) return Raster{};
  g.values.resize(n);
  std::memcpy(g.values.data(), bytes.data() + 96, 8 * n);
  return g;
}

class Basin {
 public:
  explicit Basin(const std::string& name) : dir(name) {
    for (const char* f : {"control.txt", "zones.asc", "dem.asc", "regions.asc", "cellsx.asc"})
      std::filesystem::copy_file(std::string(FLUVEX_TEST_DATA) + "/derived/" + f, dir / f);
    std::filesystem::create_directories(dir / "out");
  }
  TempDir dir;
};

const char* const kWritten[] = {"zones.$csy",  "zones.$rca",  "zones.$cx",   "zones.$cy",   "dem.$sl",    "dem.$ex",
                                "regions.$w1", "regions.$r2", "regions.$w2", "regions.$r3", "regions.$w3"};

}  // namespace

TEST(DerivedGridsOnInstances, OneAndThreeInstancesWriteTheSameValues) {
  Basin one("derived_np1");
  Basin three("derived_np3");
  const auto r1 = RunFluvex("control.txt", one.dir.path());
  ASSERT_EQ(r1.exitCode, 0) << r1.output;
  const auto r3 = RunFluvex("control.txt", three.dir.path(), 3);
  ASSERT_EQ(r3.exitCode, 0) << r3.output;
  // The read cell size is used as it is, not written again.
  EXPECT_FALSE(fluvextest::FileExists(one.dir / "out/zones.$csx"));

  const Raster zone = ReadAscii(one.dir / "zones.asc");
  for (const char* name : kWritten) {
    SCOPED_TRACE(name);
    const Raster a = ReadDouble(one.dir / (std::string("out/") + name));
    const Raster b = ReadDouble(three.dir / (std::string("out/") + name));
    ASSERT_EQ(a.ncols, 16);
    ASSERT_EQ(a.nrows, 12);
    ASSERT_EQ(b.values.size(), a.values.size());
    int compared = 0;
    for (int r = 1; r <= 12; ++r)
      for (int c = 1; c <= 16; ++c) {
        if (!(zone.at(r, c) > -9999)) continue;
        // Byte-identical: no value depends on where an instance's rows begin.
        EXPECT_EQ(std::memcmp(&a.values[(r - 1) * 16 + c - 1], &b.values[(r - 1) * 16 + c - 1], 8), 0)
            << "row " << r << " column " << c << ": " << a.at(r, c) << " vs " << b.at(r, c);
        ++compared;
      }
    EXPECT_EQ(compared, 143);
  }

  // Weights of every basin cell add up to 1; the slope of a cell whose four
  // neighbours have elevations is the central-difference slope.
  const Raster w1 = ReadDouble(three.dir / "out/regions.$w1");
  const Raster w2 = ReadDouble(three.dir / "out/regions.$w2");
  const Raster w3 = ReadDouble(three.dir / "out/regions.$w3");
  const Raster dem = ReadAscii(three.dir / "dem.asc");
  const Raster slope = ReadDouble(three.dir / "out/dem.$sl");
  int central = 0;
  for (int r = 1; r <= 12; ++r)
    for (int c = 1; c <= 16; ++c) {
      if (!(zone.at(r, c) > -9999)) continue;
      EXPECT_NEAR(w1.at(r, c) + w2.at(r, c) + w3.at(r, c), 1.0, 1e-12) << r << " " << c;
      if (r == 1 || r == 12 || c == 1 || c == 16) continue;
      const double n = dem.at(r - 1, c), s = dem.at(r + 1, c), w = dem.at(r, c - 1), e = dem.at(r, c + 1);
      if (n <= -9999 || s <= -9999 || w <= -9999 || e <= -9999) continue;
      const double expected = std::atan(std::hypot((e - w) / 100.0, (n - s) / 100.0)) * 180.0 / M_PI;
      EXPECT_NEAR(slope.at(r, c), expected, 1e-9) << r << " " << c;
      ++central;
    }
  EXPECT_GT(central, 80);
}
