#include <gtest/gtest.h>
#include <mpi.h>

#include "tests/support/decomposedmodel.h"

using fluvextest::DecomposedModel;

namespace {

const double nd = kNodata;

// Gaps inside rows and rows of different lengths; no row needs more than six
// runs of owners.
const std::vector<std::string> kBasin = {
    "..............", "...11111......", "..1111111111..", ".111.11111111.", ".11111111111..",
    "...111..1111..", "....111111....", "......11......", "..............",
};

double Value(int r, int c) {
  return r * 100.0 + c;
}
double Changed(double v) {
  return 2 * v + 1;
}
double Level(int r, int c, int l) {
  return Value(r, c) + 0.25 * l;
}

// Own rows of the instance (all rows on instance 0, which owns whole grids).
template <typename F>
void ForOwnCells(DecomposedModel& m, F f) {
  for (int r = m.first; r <= m.last; ++r)
    for (int c = 1; c <= m.ncols; ++c)
      if (m.Own(r, c)) f(r, c);
}

// Every cell of the whole grid.
template <typename F>
void ForAllCells(DecomposedModel& m, F f) {
  for (int r = 1; r <= m.nrows; ++r)
    for (int c = 1; c <= m.ncols; ++c) f(r, c);
}

// Instance 0 writes a whole grid of value(r, c) to the shared directory.
template <typename F>
void WriteShared(DecomposedModel& m, const std::string& name, bool ascii, F value) {
  if (m.rank == 0) {
    Grid whole = m.object->matrix(1, m.nrows, 1, m.ncols, m.nrows);
    ForAllCells(m, [&](int r, int c) { whole[r][c] = value(r, c); });
    m.object->WriteGrid(m.Shared(name), whole, ascii, !ascii);
    m.object->FreeMatrix(whole, 1, m.nrows, 1, m.ncols);
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

// Own rows with their halo rows.
int HaloLow(const DecomposedModel& m) {
  return m.first > 1 ? m.first - 1 : 1;
}
int HaloHigh(const DecomposedModel& m) {
  return m.last < m.nrows ? m.last + 1 : m.nrows;
}

}  // namespace

TEST(MpiExchange, ScatterChangeGatherEqualsSerialChange) {
  DecomposedModel m("mpi_grid", kBasin);
  m.Decompose();
  modelobject& o = *m.object;
  Grid g = m.NewGrid(nd);
  if (m.rank == 0) ForAllCells(m, [&](int r, int c) { g[r][c] = m.Zone(r, c) == nd ? nd : Value(r, c); });
  o.MPIScatterGrid(0, g);
  ForOwnCells(m, [&](int r, int c) {
    EXPECT_EQ(g[r][c], Value(r, c)) << r << "," << c;
    g[r][c] = Changed(g[r][c]);
  });

  // Every halo cell gets its owner's new value; a negative index moves nothing.
  Grid halo = m.decomposition.Halo();
  o.MPIExchangeBorders(-1, g);
  for (int r = m.Low(); r <= m.High(); ++r)
    for (int c = 1; c <= m.ncols; ++c)
      if (halo[r][c] >= 0 && m.rank != 0) {
        EXPECT_EQ(g[r][c], nd);
      }
  o.MPIExchangeBorders(0, g);
  int haloCells = 0;
  for (int r = m.Low(); r <= m.High(); ++r)
    for (int c = 1; c <= m.ncols; ++c)
      if (halo[r][c] >= 0) {
        ++haloCells;
        EXPECT_EQ(g[r][c], Changed(Value(r, c))) << r << "," << c;
      }
  EXPECT_EQ(haloCells > 0, m.size > 1);

  Grid whole = o.MPIGatherGridAlloc(0, g);
  o.MPIGatherGrid(0, g);
  if (m.rank == 0)
    ForAllCells(m, [&](int r, int c) {
      const double want = m.Zone(r, c) == nd ? nd : Changed(Value(r, c));
      EXPECT_EQ(g[r][c], want) << r << "," << c;
      EXPECT_TRUE(!whole || whole[r][c] == want) << r << "," << c;
    });
  EXPECT_EQ(whole != nullptr, m.rank == 0 && m.size > 1);
  if (whole) o.FreeMatrix(whole, 1, m.nrows, 1, m.ncols);
  m.FreeGrid(g);
}

TEST(MpiExchange, StacksMoveWithAllLevels) {
  DecomposedModel m("mpi_stack", kBasin);
  m.Decompose();
  modelobject& o = *m.object;
  const int L = 3;
  Stack s = m.NewStack(L, nd);
  const int at = 20;
  o.RegisterGrid(at, "soil.stk", nullptr, s, L, "soil_layers", 0, m.Low(), m.High());
  if (m.rank == 0)
    ForAllCells(m, [&](int r, int c) {
      for (int l = 0; l <= L && m.Zone(r, c) != nd; ++l) s[r][c][l] = Level(r, c, l);
    });
  o.MPIScatterStack(at);
  ForOwnCells(m, [&](int r, int c) {
    for (int l = 0; l <= L; ++l) {
      EXPECT_EQ(s[r][c][l], Level(r, c, l));
      s[r][c][l] = Changed(s[r][c][l]);
    }
  });
  o.MPIExchangeBorders2(at, 0);
  Grid halo = m.decomposition.Halo();
  for (int r = m.Low(); r <= m.High(); ++r)
    for (int c = 1; c <= m.ncols; ++c)
      for (int l = 0; l <= L && halo[r][c] >= 0; ++l) EXPECT_EQ(s[r][c][l], Changed(Level(r, c, l)));
  Stack whole = o.MPIGatherStackAlloc(at);
  o.MPIGatherStack(at);
  if (m.rank == 0) {
    ForAllCells(m, [&](int r, int c) {
      for (int l = 0; l <= L; ++l) {
        const double want = m.Zone(r, c) == nd ? nd : Changed(Level(r, c, l));
        EXPECT_EQ(s[r][c][l], want);
        EXPECT_TRUE(!whole || whole[r][c][l] == want);
      }
    });
    EXPECT_TRUE(m.size == 1 ||
                m.console.str().find("synchronising stack soil_layers for mpi-rank 0") != std::string::npos);
  }
  if (whole) o.FreeMatrix3d(whole, 1, m.nrows);
  // Without an entry, a stack cannot be scattered without its level count.
  int code = 0;
  try {
    o.MPIScatterStack(0, s, 0);
  } catch (int c) {
    code = c;
  }
  EXPECT_EQ(code, m.size > 1 ? 1010 : 0);
  m.FreeStack(s);
}

TEST(MpiExchange, ZoneRecordsAreSummedOnInstanceZero) {
  DecomposedModel m("mpi_records", kBasin);
  m.Decompose();
  const int n = 2;
  const double k = m.rank + 1;
  std::vector<ZoneRecord> rec(n + 1);
  for (int copy = 0; copy <= 1; ++copy) {
    for (int i = 0; i <= n; ++i) rec[i] = ZoneRecord{k * (i + 1), 10 * k, 7.0 + i, 0.5, k};
    m.object->MPIReduceRecords(rec.data(), n, copy == 1);
    const double sumK = m.size * (m.size + 1) / 2.0;  // 1 + 2 + ... + size
    for (int i = 0; i <= n; ++i) {
      const double own = m.rank == 0 ? 1 : 0;
      EXPECT_EQ(rec[i].n, own * sumK * (i + 1));
      EXPECT_EQ(rec[i].sx, own * 10 * sumK);
      EXPECT_EQ(rec[i].RelCellSum, copy ? own * sumK : k);
      EXPECT_EQ(rec[i].zonenwert, 7.0 + i);
      EXPECT_EQ(rec[i].rel, 0.5);
    }
  }
  for (int i = 0; i <= n; ++i) rec[i] = ZoneRecord{m.rank == 0 ? 3.0 : -1, 4, m.rank * 1.0, 0.25, 5};
  m.object->MPIBcastStruct(rec.data(), n);
  EXPECT_EQ(rec[n].n, 3.0);
  EXPECT_EQ(rec[n].zonenwert, m.rank * 1.0);
}

TEST(MpiExchange, MaskedCellsTravelToInstanceZeroAndBack) {
  DecomposedModel m("mpi_masked", kBasin);
  m.Decompose();
  modelobject& o = *m.object;
  // The mask has data everywhere, also where the zone grid has none: such
  // cells have no owner and stay as they are.
  Grid mask = m.NewGrid(1.0);
  Grid source = m.NewGrid(-5.0);
  o.RegisterGrid(20, "mask", mask, nullptr, 0, "mask", 0, m.Low(), m.High());
  o.RegisterGrid(21, "source", source, nullptr, 0, "source", 0, m.Low(), m.High());
  ForOwnCells(m, [&](int r, int c) { source[r][c] = Value(r, c); });
  Grid target = m.rank == 0 ? m.NewGrid(-7.0) : nullptr;
  o.MPISendRecvArray(21, 20, m.decomposition.CellCounts(), target);
  if (m.rank == 0 && m.size > 1)
    ForAllCells(m, [&](int r, int c) { EXPECT_EQ(target[r][c], m.Zone(r, c) == nd ? -7.0 : Value(r, c)); });
  if (m.rank == 0) ForAllCells(m, [&](int r, int c) { source[r][c] = -Value(r, c); });
  o.MPISendRecvArray2(21, 20, m.decomposition.CellCounts());
  ForOwnCells(m, [&](int r, int c) { EXPECT_EQ(source[r][c], -Value(r, c)); });
  if (target) m.FreeGrid(target);
  m.FreeGrid(source);
  m.FreeGrid(mask);
}

// ASCII grids are read by instance 0 and scattered, binary grids by every
// instance for its rows through MPI-IO. Cells outside the zones belong to no
// instance: a grid kept whole on instance 0 keeps their values (the border
// exchange after reading must not overwrite them with no data).
TEST(MpiExchange, GridReadsGiveEveryInstanceItsRowsAndHalo) {
  DecomposedModel m("mpi_gridread", kBasin);
  m.Decompose();
  modelobject& o = *m.object;
  auto eighth = [](int r, int c) { return Value(r, c) / 8; };
  WriteShared(m, "g.asc", true, eighth);
  WriteShared(m, "g.dbl", false, eighth);
  Grid ascii = nullptr, binary = nullptr, whole = nullptr;
  o.ReadGrid(m.Shared("g.asc"), &ascii, 0, true, false, false, false, false, true, 0.0);
  o.ReadGrid(m.Shared("g.dbl"), &binary, 0, true, false, false, false, false, true, 0.0);
  o.ReadGrid(m.Shared("g.asc"), &whole, 0, true, false, false, true, false, true, 0.0);
  Grid halo = m.decomposition.Halo();
  const int low = HaloLow(m), high = HaloHigh(m);
  int compared = 0;
  for (int r = low; r <= high; ++r)
    for (int c = 1; c <= m.ncols; ++c)
      if (m.Own(r, c) || halo[r][c] >= 0) {
        EXPECT_EQ(ascii[r][c], eighth(r, c)) << r << "," << c;
        EXPECT_EQ(binary[r][c], ascii[r][c]) << r << "," << c;
        ++compared;
      }
  EXPECT_GT(compared, 0);
  if (m.rank == 0) {
    ForAllCells(m, [&](int r, int c) { EXPECT_EQ(whole[r][c], eighth(r, c)) << r << "," << c; });
    o.FreeMatrix(whole, 1, m.nrows, 1, m.ncols);
  } else {
    ForOwnCells(m, [&](int r, int c) { EXPECT_EQ(whole[r][c], eighth(r, c)); });
    o.FreeMatrix(whole, low, high, 1, m.ncols);
  }
  o.FreeMatrix(ascii, low, high, 1, m.ncols);
  o.FreeMatrix(binary, low, high, 1, m.ncols);
}
