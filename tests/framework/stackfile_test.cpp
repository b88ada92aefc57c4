#include <gtest/gtest.h>
#include <mpi.h>

#include <cstring>

#include "tests/framework/codeof.h"
#include "tests/support/decomposedmodel.h"

using fluvextest::DecomposedModel;
using fluvextest::ReadFile;
using fluvextest::WriteFile;

namespace {

const double nd = kNodata;

// The instance boundaries fall inside rows, at row ends and before rows that
// start with cells without data.
const std::vector<std::string> kBasin = {
    "..............", "...11111......", "..1111111111..", ".111.11111111.", "...........1..",
    "..............", "....111111....", "......11......", "..............",
};

double Level(int r, int c, int l) {
  return r * 100.0 + c + 0.125 * l;
}

// A stack as the model holds it: own cells computed, cells without data at
// no-data, cells of other instances with values that must never be written.
Stack ModelStack(DecomposedModel& m, int L) {
  Stack s = m.NewStack(L, nd);
  for (int r = m.Low(); r <= m.High(); ++r)
    for (int c = 1; c <= m.ncols; ++c)
      for (int l = 0; l <= L && m.Zone(r, c) != nd; ++l) s[r][c][l] = m.Own(r, c) ? Level(r, c, l) : 777.0;
  return s;
}

// The file the stack must give, built value by value.
template <typename T>
std::string ExpectedFile(DecomposedModel& m, int L) {
  std::string bytes;
  auto put = [&](double v) {
    const T x = static_cast<T>(v);
    bytes.append(reinterpret_cast<const char*>(&x), sizeof x);
  };
  for (double v : {double(m.ncols), double(m.nrows), 1000.0, 2000.0, 50.0, nd, 0.0, 0.0, 0.0, 0.0, 0.0, double(L)})
    put(v);
  for (int r = 1; r <= m.nrows; ++r)
    for (int c = 1; c <= m.ncols; ++c)
      for (int l = 0; l <= L; ++l) put(m.Zone(r, c) == nd ? nd : Level(r, c, l));
  return bytes;
}

}  // namespace

TEST(StackFile, BinaryFilesAreTheSameOnEveryInstanceCountAndReadBack) {
  DecomposedModel m("stack_binary", kBasin);
  m.Decompose();
  modelobject& o = *m.object;
  const int L = 2;
  Stack s = ModelStack(m, L);
  const std::string dbl = m.Shared("s.dbl");
  const std::string flt = m.Shared("s.flt");
  // An older, longer file of the same name must not leave its tail behind.
  if (m.rank == 0) WriteFile(dbl, std::string(20000, 'x'));
  MPI_Barrier(MPI_COMM_WORLD);
  o.WriteStack(dbl, s, L, false, true);
  o.WriteStack(flt, s, L, false, false);
  if (m.rank == 0) {
    EXPECT_TRUE(ReadFile(dbl) == ExpectedFile<double>(m, L));
    EXPECT_TRUE(ReadFile(flt) == ExpectedFile<float>(m, L));
  }
  m.FreeStack(s);

  // Read back through MPI-IO: every instance gets its own rows from the file;
  // with keepWhole instance 0 reads all and scatters.
  for (const bool keepWhole : {false, true}) {
    for (const std::string& path : {dbl, flt}) {
      Stack back = nullptr;
      ASSERT_EQ(o.ReadStack(path, &back, keepWhole), L);
      const int from = m.rank == 0 && keepWhole ? 1 : m.first;
      const int to = m.rank == 0 && keepWhole ? m.nrows : m.last;
      for (int r = from; r <= to; ++r)
        for (int c = 1; c <= m.ncols; ++c)
          for (int l = 0; l <= L; ++l) {
            double want = m.Zone(r, c) == nd ? nd : Level(r, c, l);
            if (path == flt) want = static_cast<float>(want);
            // Scattered: the other instances' cells are missing at every level.
            if (keepWhole && m.rank != 0 && !m.Own(r, c)) want = nd;
            EXPECT_EQ(back[r][c][l], want) << path << " " << r << "," << c << "," << l;
          }
      o.FreeMatrix3d(back, from, to);
    }
  }
}

TEST(StackFile, AsciiRoundTripWithZeroAndThreeLevels) {
  DecomposedModel m("stack_ascii", kBasin);
  m.Decompose();
  modelobject& o = *m.object;
  for (const int L : {0, 3}) {
    // Instance 0 writes its complete stack; the others write nothing.
    Stack whole = m.rank == 0 ? o.matrix3d(1, m.nrows, 1, m.ncols, L, m.nrows) : nullptr;
    for (int r = 1; whole && r <= m.nrows; ++r)
      for (int c = 1; c <= m.ncols; ++c)
        for (int l = 0; l <= L; ++l) whole[r][c][l] = m.Zone(r, c) == nd ? nd : Level(r, c, l);
    const std::string path = m.Shared("s.txt");
    o.WriteStack(path, whole, L, true, true);
    if (whole) o.FreeMatrix3d(whole, 1, m.nrows);
    if (m.rank == 0) {
      const std::string text = ReadFile(path);
      EXPECT_EQ(text.rfind("stack_ncols\t14\nnrows\t9\nxll\t1000\nyll\t2000\ncs\t50\nnodata\t-9999\ncnt\t0\n", 0), 0u);
      EXPECT_NE(text.find("numlevels\t" + std::to_string(L) + "\n-9999\n"), std::string::npos);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    Stack back = nullptr;
    ASSERT_EQ(o.ReadStack(path, &back, false), L);
    for (int r = m.first; r <= m.last; ++r)
      for (int c = 1; c <= m.ncols; ++c)
        for (int l = 0; l <= L && m.Own(r, c); ++l) EXPECT_EQ(back[r][c][l], Level(r, c, l));
    o.FreeMatrix3d(back, m.first, m.last);
  }
}

TEST(StackFile, SmallFloatStackIsRecognised) {
  // 48 header bytes and 40 value bytes: less than a header of twelve doubles.
  DecomposedModel m("stack_small", {"1111111111"});
  m.Decompose();
  Stack s = ModelStack(m, 0);
  const std::string path = m.Shared("small.flt");
  m.object->WriteStack(path, s, 0, false, false);
  m.FreeStack(s);
  if (m.rank == 0) {
    EXPECT_EQ(ReadFile(path).size(), 88u);
  }
  Stack back = nullptr;
  EXPECT_EQ(m.object->ReadStack(path, &back, true), 0);
  for (int c = 1; c <= m.ncols; ++c)
    if (m.Own(1, c)) {
      EXPECT_EQ(back[1][c][0], static_cast<float>(Level(1, c, 0)));
    }
  m.object->FreeMatrix3d(back, m.rank == 0 ? 1 : m.first, m.rank == 0 ? m.nrows : m.last);
}

TEST(StackFile, BadFilesStopEveryInstance) {
  DecomposedModel m("stack_bad", kBasin);
  m.Decompose();
  modelobject& o = *m.object;
  Stack back = nullptr;
  auto read = [&](const std::string& name) { return CodeOf([&] { o.ReadStack(m.dir / name, &back, false); }); };
  auto seen = [&](const std::string& text) { return m.rank != 0 || m.console.str().find(text) != std::string::npos; };
  std::string header = "stack_ncols 14\nnrows 9\nxll 1025\nyll 2000\ncs 50\nnodata -9999\n";
  header += "cnt 0\nmin 0\nmax 0\nsum 0\naverage 0\nnumlevels 0\n";
  if (m.rank == 0) {
    // Half a cell off in xll: a grid would pass, a stack must match exactly.
    WriteFile(m.dir / "shifted.txt", header);
    WriteFile(m.dir / "text.dat", "this is neither an ascii nor a binary stack file at all, is it?");
    // A correct double header followed by one value only.
    const double h[13] = {14, 9, 1000, 2000, 50, nd, 0, 0, 0, 0, 0, 0, 1.0};
    WriteFile(m.dir / "short.dbl", std::string(reinterpret_cast<const char*>(h), sizeof h));
  }
  MPI_Barrier(MPI_COMM_WORLD);
  EXPECT_EQ(read("shifted.txt"), 24);
  EXPECT_TRUE(seen("shifted.txt has not the specified grid measures (in )\n"));
  EXPECT_EQ(read("missing.stk"), 21);
  EXPECT_TRUE(seen("error opening "));
  EXPECT_EQ(read("text.dat"), 22);
  EXPECT_TRUE(seen("could not recognise file format (ascii, double or double) for stack "));
  EXPECT_EQ(read("short.dbl"), 22);
  EXPECT_TRUE(m.rank != 0 || m.first > 1 || seen("short.dblat row 1, column 1"));
  EXPECT_EQ(back, nullptr);
  // A directory cannot be written as a file.
  EXPECT_EQ(CodeOf([&] { o.WriteStack(m.Shared(""), nullptr, 0, false, true); }), 26);
}
