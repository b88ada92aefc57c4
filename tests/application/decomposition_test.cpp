#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "tests/framework/codeof.h"
#include "tests/support/decomposedmodel.h"

using fluvextest::DecomposedModel;
using fluvextest::MpiRank;
using fluvextest::MpiSize;
using D = MPIDecomposition;

namespace {

const double nd = kNodata;

// 11 valid cells; no row needs more than four runs of owners.
const std::vector<std::string> kEleven = {
    "............", "..1111......", "....11111...", "......1...1.", "............",
};

// Cells of each instance, by instance count (index 1 ... 4): equal run
// times, and instance 0 twice as slow as the others.
const std::vector<int64_t> kEqualCounts[] = {{}, {11}, {5, 6}, {4, 4, 3}, {3, 3, 3, 2}};
const std::vector<int64_t> kSlowFirstCounts[] = {{}, {11}, {4, 7}, {2, 4, 5}, {2, 3, 3, 3}};

}  // namespace

TEST(Decomposition, QuotasAndWeights) {
  EXPECT_EQ(D::Quotas(11, D::Weights({1.0, 1.0})), (std::vector<int64_t>{5, 6}));
  // Rounding gives 1 + 1 + 9 = 11 cells for 10; the last instance gives one back.
  EXPECT_EQ(D::Quotas(10, {0.06, 0.06, 0.88}), (std::vector<int64_t>{1, 1, 8}));
  EXPECT_DOUBLE_EQ(D::Weights({2.0, 1.0})[0], 1.0 / 3.0);
  // Run times of 0 or below weigh 1 before normalising.
  EXPECT_EQ(D::Weights({0.0, -3.0, 0.5}), (std::vector<double>{0.25, 0.25, 0.5}));
  EXPECT_EQ(D::Quotas(10, {std::numeric_limits<double>::quiet_NaN(), 1.0})[0], -1);
  // An instance timed as very slow still gets a cell while there are enough.
  EXPECT_EQ(D::Quotas(6, {0.02, 0.49, 0.49}), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(D::Quotas(2, {0.001, 0.001, 0.998})[0], 0);
}

TEST(Decomposition, StripAndHaloEncoding) {
  // Owners of one row (index 0 unused): two leading cells without data, a gap.
  const std::vector<double> row = {0, nd, nd, 1, 1, nd, 1, 0, 0, nd, nd};
  std::vector<double> h(11);
  EXPECT_EQ(D::EncodeRuns(row.data(), h.data(), 10, nd), 5);
  EXPECT_EQ(h, (std::vector<double>{2, 1, 2, nd, 1, 1, 1, 0, 2, nd, 2}));
  // The cells of instance 1 split by a gap: two strips (first column, count).
  EXPECT_EQ(D::EncodeOwnStrips(row.data(), h.data(), 10, 1), 2);
  EXPECT_EQ(h, (std::vector<double>{0, 3, 2, 6, 1, 0, 0, 0, 0, 0, 0}));
  // Five runs in a row of five cells: the pairs that do not fit are not stored
  // (the sanitizer build catches a write past the row).
  const std::vector<double> alternating = {0, 0, nd, 0, nd, 0};
  std::vector<double> small(6);
  EXPECT_EQ(D::EncodeRuns(alternating.data(), small.data(), 5, nd), 5);
  EXPECT_EQ(small, (std::vector<double>{0, 0, 1, nd, 1, 0}));
  EXPECT_EQ(D::EncodeOwnStrips(alternating.data(), small.data(), 5, 0), 3);
  EXPECT_EQ(small, (std::vector<double>{0, 1, 1, 3, 1, 0}));

  // Halo cells of peer 2 with a gap form one entry; peer 1 after it another.
  const std::vector<double> halo = {0, 2, 2, nd, 2, 1, nd, 1};
  HaloList list;
  std::vector<int> perPeer(3, 0);
  D::AppendHaloRow(halo.data(), 4, 7, list, perPeer);
  D::AppendHaloRow(halo.data(), 5, 1, list, perPeer);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ((std::vector<int>{list[0].row, list[0].firstColumn, list[0].count, list[0].peer}),
            (std::vector<int>{4, 1, 4, 2}));
  EXPECT_EQ((std::vector<int>{list[1].row, list[1].firstColumn, list[1].count, list[1].peer}),
            (std::vector<int>{4, 5, 3, 1}));
  EXPECT_EQ(list[2].row, 5);
  EXPECT_EQ(perPeer, (std::vector<int>{0, 1, 2}));
}

TEST(Decomposition, OwnersRowsCountsAndStrips) {
  DecomposedModel m("decomp_owners", kEleven);
  m.Decompose();
  const int rank = m.rank;
  const int size = m.size;
  std::vector<int64_t> expected(size, 0);
  int first = 0, last = 0;
  for (int r = 1; r <= m.nrows; ++r)
    for (int c = 1; c <= m.ncols; ++c) {
      const int owner = m.ExpectedOwner(r, c);
      if (owner < 0) continue;
      ++expected[owner];
      if (owner == rank && first == 0) first = r;
      if (owner == rank) last = r;
    }
  ASSERT_LE(size, 4);
  EXPECT_EQ(expected, kEqualCounts[size]);
  EXPECT_EQ(std::vector<int64_t>(m.decomposition.CellCounts(), m.decomposition.CellCounts() + size), expected);
  EXPECT_EQ(m.first, first);
  EXPECT_EQ(m.last, last);
  // Every held row holds the owner of every cell ("MPIRegions_0" of instance 0).
  Grid regions = m.decomposition.Regions();
  for (int r = m.Low(); r <= m.High(); ++r)
    for (int c = 1; c <= m.ncols; ++c) {
      const int owner = m.ExpectedOwner(r, c);
      EXPECT_EQ(regions[r][c], owner < 0 ? nd : owner) << "row " << r << " column " << c;
    }
  // The strips of "MPIHelper" give back exactly the own cells of each row.
  Grid helper = m.decomposition.Helper();
  for (int r = rank == 0 ? 1 : first; r <= (rank == 0 ? m.nrows : last); ++r) {
    std::vector<double> decoded(m.ncols + 1, nd);
    if (rank == 0) {
      int c = static_cast<int>(helper[r][0]) + 1;
      for (int k = 1; 2 * k <= m.ncols && helper[r][2 * k] > 0; ++k)
        for (int n = 0; n < helper[r][2 * k]; ++n) decoded[c++] = helper[r][2 * k - 1];
    } else {
      for (int k = 1; 2 * k <= m.ncols && helper[r][2 * k - 1] > 0; ++k)
        for (int n = 0; n < helper[r][2 * k]; ++n) decoded[static_cast<int>(helper[r][2 * k - 1]) + n] = rank;
    }
    for (int c = 1; c <= m.ncols; ++c) {
      const double want = (rank == 0 || regions[r][c] == rank) ? regions[r][c] : nd;
      EXPECT_EQ(decoded[c], want) << "row " << r << " column " << c;
    }
  }
  if (size == 1) {
    EXPECT_TRUE(m.decomposition.SendList().empty());
    EXPECT_TRUE(m.decomposition.ReceiveList().empty());
    for (int r = 1; r <= m.nrows; ++r)
      for (int c = 1; c <= m.ncols; ++c) EXPECT_EQ(m.decomposition.Halo()[r][c], nd);
  } else {
    EXPECT_FALSE(m.decomposition.ReceiveList().empty());
  }
  // Sent cells are own cells or cells without data, received ones the peer's.
  for (const HaloEntry& e : m.decomposition.SendList())
    for (int c = e.firstColumn; c < e.firstColumn + e.count; ++c)
      EXPECT_TRUE(regions[e.row][c] == rank || regions[e.row][c] == nd);
  for (const HaloEntry& e : m.decomposition.ReceiveList())
    for (int c = e.firstColumn; c < e.firstColumn + e.count; ++c)
      EXPECT_TRUE(regions[e.row][c] == e.peer || regions[e.row][c] == nd);
  // The three grids are found by name.
  EXPECT_EQ(m.object->GetGrid("MPIHalo"), m.object->GetGrid("MPIRegions") + 2);
  EXPECT_GT(m.object->FindGrid("MPIHalo", true), 1);
}

TEST(Decomposition, SpeedFactorHalvesTheWeight) {
  DecomposedModel m("decomp_speed", kEleven, MpiRank() == 0 ? "2\n" : " 1");
  m.Decompose();
  ASSERT_LE(m.size, 4);
  EXPECT_EQ(std::vector<int64_t>(m.decomposition.CellCounts(), m.decomposition.CellCounts() + m.size),
            kSlowFirstCounts[m.size]);
}

TEST(Decomposition, SpeedTestRunsWithoutSpeedFile) {
  DecomposedModel m("decomp_wtime", kEleven, "");
  m.Decompose();
  int64_t total = 0;
  for (int i = 0; i < m.size; ++i) total += m.decomposition.CellCounts()[i];
  EXPECT_EQ(total, 11);
  if (m.rank == 0) {
    EXPECT_NE(m.console.str().find("MPI wtime: "), std::string::npos);
    EXPECT_NE(m.console.str().find("MPI regular cells: 11\nMPI river cells: 0"), std::string::npos);
  }
}

TEST(Decomposition, BadSetUpStopsEveryInstance) {
  // Fewer cells than instances (none at all on one instance): no quota of one cell.
  {
    DecomposedModel m("decomp_quota", MpiSize() == 1 ? std::vector<std::string>{"....", "...."}
                                                     : std::vector<std::string>{"..1.", "...."});
    EXPECT_EQ(CodeOf([&] { m.Decompose(); }), D::kNoCellsError);
    // Without any cell the zone grid is at fault, not the instance count.
    if (MpiRank() == 0) {
      EXPECT_NE(m.console.str().find(MpiSize() == 1 ? "the zone grid has no valid cell"
                                                    : "every instance needs at least one cell"),
                std::string::npos)
          << m.console.str();
    }
  }
  // Three columns leave no room for the end mark after the first strip pair.
  {
    DecomposedModel m("decomp_narrow", {"111", "111"});
    EXPECT_EQ(CodeOf([&] { m.Decompose(); }), MpiSize() > 1 ? D::kStripError : 0);
  }
  // A speed file without a number.
  {
    DecomposedModel m("decomp_nonumber", kEleven, "fast");
    EXPECT_EQ(CodeOf([&] { m.Decompose(); }), D::kRunTimeError);
  }
  // A full grid list, and a list whose position after the free one is named
  // by a grid-list section: neither is overwritten.
  for (const bool full : {true, false}) {
    DecomposedModel m("decomp_full", kEleven);
    for (int i = full ? 2 : 3; i <= (full ? kGridListMax - 1 : 3); ++i) m.list[i].filename = "grid.asc";
    EXPECT_EQ(CodeOf([&] { m.Decompose(); }), 12);
    if (MpiRank() == 0) {
      const std::string where = full ? "(at position 1000)" : "(at position 3)";
      EXPECT_NE(m.console.str().find("no free grid found in memory " + where), std::string::npos);
    }
    EXPECT_FALSE(m.list[3].registered);
    EXPECT_EQ(m.list[3].shortname, "");
  }
}
