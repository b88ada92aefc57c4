#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/framework/gridtestobject.h"

using fluvextest::FileExists;
using fluvextest::MpiRank;
using fluvextest::MpiSize;
using fluvextest::ReadFile;
using fluvextest::WriteFile;

namespace {

// A grid of the test object, released at the end of the test.
struct OwnedGrid {
  OwnedGrid(modelobject& o, Grid g, int first, int last, int columns)
      : object(o), grid(g), first(first), last(last), columns(columns) {}
  ~OwnedGrid() { object.FreeMatrix(grid, first, last, 1, columns); }
  modelobject& object;
  Grid grid;
  int first, last, columns;
};

// 4 x 3 cells, corner (3500000, 5200000), cell size 100.
const double kValues[3][4] = {{1.5, 2, -9999, 4}, {0.25, 6, 7, 8}, {9, 10, 11, -12.5}};

// A new rows x columns grid with value(r, c) in every cell.
template <typename F>
Grid Filled(GridTestObject& o, int rows, int columns, F value) {
  Grid g = o.matrix(1, rows, 1, columns, rows);
  for (int r = 1; r <= rows; ++r)
    for (int c = 1; c <= columns; ++c) g[r][c] = value(r, c);
  return g;
}

Grid SampleGrid(GridTestObject& o) {
  o.SetGeometry(4, 3, 3500000, 5200000, 100, -9999);
  return Filled(o, 3, 4, [](int r, int c) { return kValues[r - 1][c - 1]; });
}

// Reads on this instance alone and keeps the whole grid.
Grid ReadAlone(GridTestObject& o, const std::string& name, int fillMode = 0, bool strict = false, double fill = 0) {
  Grid g = nullptr;
  o.ReadGrid(name, &g, fillMode, true, true, strict, true, true, false, fill);
  return g;
}

// Cell (r, c) of a grid read alone, the grid released again.
double ReadCell(GridTestObject& o, const std::string& name, int r, int c) {
  Grid g = ReadAlone(o, name);
  OwnedGrid owned(o, g, 1, static_cast<int>(o.fileheader[1]), static_cast<int>(o.fileheader[0]));
  return g[r][c];
}

template <typename T>
std::vector<double> Values(const std::string& bytes) {
  std::vector<double> v(bytes.size() / sizeof(T));
  for (size_t i = 0; i < v.size(); ++i) {
    T x;
    std::memcpy(&x, bytes.data() + i * sizeof(T), sizeof(T));
    v[i] = x;
  }
  return v;
}

const char* const kHeader2x2 =
    "ncols 2\nnrows 2\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100\nnodata_value -9999\n";

}  // namespace

TEST(GridFile, PathsArePrefixedUnlessAbsoluteAndBounded) {
  GridTestBench b("grid_paths");
  std::string p = "sub/dir/a.asc";
  b.object.MakePath("in/", p);
  EXPECT_EQ(p, "in/sub/dir/a.asc");
  for (std::string kept : {"/abs/a.asc", "~/a.asc"}) {
    std::string q = kept;
    b.object.MakePath("in/", q);
    EXPECT_EQ(q, kept);
  }
  std::string longName(1196, 'n');
  EXPECT_EQ(CodeOf([&] { b.object.MakePath("dir/", longName); }), 0);  // exactly 1200 characters
  std::string tooLong(1197, 'n');
  EXPECT_EQ(CodeOf([&] { b.object.MakePath("dir/", tooLong, 26); }), 26);
  EXPECT_NE(b.Xml().find("is longer than 1200 characters"), std::string::npos);
  // A write to such a path fails before any file is created.
  Grid g = SampleGrid(b.object);
  OwnedGrid owned(b.object, g, 1, 3, 4);
  EXPECT_EQ(CodeOf([&] { b.object.WriteGrid(std::string(1300, 'x'), g, true, false); }), 26);
}

TEST(GridFile, AsciiRoundTripKeepsHeaderFormatAndValues) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_ascii");
  GridTestObject& o = b.object;
  OwnedGrid g(o, SampleGrid(o), 1, 3, 4);
  for (double& h : o.fileheader) h = 7;
  o.WriteGrid("out.txt", g.grid, true, true);
  EXPECT_EQ(ReadFile(b.dir / "out.txt"),
            "ncols\t4\nnrows\t3\nxllcorner\t3500000\nyllcorner\t5200000\ncellsize\t100\nnodata_value\t-9999\n"
            "1.5\t2\t-9999\t4\n0.25\t6\t7\t8\n9\t10\t11\t-12.5\n");
  for (double h : o.fileheader) EXPECT_EQ(h, 7);  // no statistics for ASCII files

  OwnedGrid back(o, ReadAlone(o, "out.txt"), 1, 3, 4);
  for (int r = 1; r <= 3; ++r)
    for (int c = 1; c <= 4; ++c) EXPECT_EQ(back.grid[r][c], kValues[r - 1][c - 1]) << r << "," << c;
  const double header[12] = {4, 3, 3500000, 5200000, 100, -9999, 7, 7, 7, 7, 7, 7};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(o.fileheader[i], header[i]) << i;
  EXPECT_NE(b.Console().find("reading " + (b.dir / "out.txt") + " for gridtest..."), std::string::npos);

  // A projected corner and a fractional cell size survive the round trip.
  o.SetGeometry(4, 3, 3512345.5, 5298765.25, 0.00833333333333, -9999);
  o.WriteGrid("exact.txt", g.grid, true, false);
  EXPECT_EQ(ReadCell(o, "exact.txt", 2, 3), 7);
  EXPECT_EQ(o.fileheader[4], 0.00833333333333);
}

TEST(GridFile, NullRowsAndCellsOutsideTheDataColumns) {
  GridTestBench b("grid_nullrows");
  GridTestObject& o = b.object;
  o.SetGeometry(3, 3, 0, 0, 10, -99999);
  const ColumnRange columns[4] = {{0, 0}, {2, 2}, {0, -1}, {1, 3}};
  o.SetDataColumns(columns);
  Grid g = o.matrix(1, 3, 1, 3, 3);
  OwnedGrid owned(o, g, 1, 3, 3);
  for (int c = 1; c <= 3; ++c) g[1][c] = c, g[3][c] = 6 + c;
  double* row2 = g[2];
  g[2] = nullptr;  // a row this instance does not hold
  const std::string header = "ncols\t3\nnrows\t3\nxllcorner\t0\nyllcorner\t0\ncellsize\t10\nnodata_value\t-99999\n";
  o.WriteGrid("g1.asc", g, true, false);
  EXPECT_EQ(ReadFile(b.dir / "g1.asc"), header + "1\t2\t3\n-9999\t-9999\t-9999\n7\t8\t9\n");
  o.WriteGrid2("g2.asc", g, true, false);
  EXPECT_EQ(ReadFile(b.dir / "g2.asc"), header + "-99999\t2\t-99999\n-99999\t-99999\t-99999\n7\t8\t9\n");
  EXPECT_EQ(g[1][1], -99999);  // WriteGrid2 changed the caller's grid
  g[2] = row2;
}

// Rows are formatted on the threads in blocks: a grid of several blocks (and
// a part block at its end) with rows not held comes out row by row in order.
TEST(GridFile, AsciiRowsOfManyBlocksStayInOrderOnTheThreads) {
  GridTestBench b("grid_blocks");
  GridTestObject& o = b.object;
  const int rows = 150, columns = 3;
  o.SetGeometry(columns, rows, 0, 0, 10, -9999);
  Grid g = Filled(o, rows, columns, [](int r, int c) { return 10.0 * r + c; });
  OwnedGrid owned(o, g, 1, rows, columns);
  std::vector<double*> held(rows + 1);
  std::string expected = "ncols\t3\nnrows\t150\nxllcorner\t0\nyllcorner\t0\ncellsize\t10\nnodata_value\t-9999\n";
  for (int r = 1; r <= rows; ++r) {
    held[r] = g[r];
    if (r % 61 == 0) g[r] = nullptr;
    for (int c = 1; c <= columns; ++c)
      expected += (g[r] ? std::to_string(10 * r + c) : std::string("-9999")) + (c < columns ? "\t" : "\n");
  }
  const int threads = omp_get_max_threads();
  omp_set_num_threads(4);
  o.WriteGrid("blocks.asc", g, true, false);
  omp_set_num_threads(threads);
  for (int r = 1; r <= rows; ++r) g[r] = held[r];
  EXPECT_EQ(ReadFile(b.dir / "blocks.asc"), expected);
}

TEST(GridFile, BinaryHeadersCarryTheWeightedStatistics) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_binary");
  GridTestObject& o = b.object;
  OwnedGrid g(o, SampleGrid(o), 1, 3, 4);
  // Row 1: all columns, row 2: columns 2 and 3, row 3 without data columns: every column with weight 1.
  const ColumnRange columns[4] = {{0, 0}, {1, 4}, {2, 3}, {0, -1}};
  o.SetDataColumns(columns);
  OwnedGrid weights(o, Filled(o, 3, 4, [](int r, int c) { return r == 2 && c == 2 ? 2.0 : 0.5; }), 1, 3, 4);
  o.RelCellArea = weights.grid;
  // (value, weight) of every cell that counts; the no-data cell of row 1 does not.
  const double taken[][2] = {{1.5, .5}, {2, .5}, {4, .5}, {6, 2}, {7, .5}, {9, 1}, {10, 1}, {11, 1}, {-12.5, 1}};
  double n = 0, sum = 0;
  for (const auto& t : taken) n += t[1], sum += t[0] * t[1];
  const double mean = sum / n;
  double squares = 0;
  for (const auto& t : taken) squares += t[1] * (t[0] - mean) * (t[0] - mean);
  const double expected[12] = {4, 3,     3500000, 5200000, 100,  -9999,
                               n, -12.5, 11,      sum,     mean, std::sqrt(squares / (n - 1))};

  for (const bool asDouble : {false, true}) {
    SCOPED_TRACE(asDouble ? "double" : "float");
    const std::string name = asDouble ? "b.dbl" : "b.flt";
    o.WriteGrid(name, g.grid, false, asDouble);
    const std::string bytes = ReadFile(b.dir / name);
    const std::vector<double> file = asDouble ? Values<double>(bytes) : Values<float>(bytes);
    ASSERT_EQ(file.size(), 12u + 12u);
    for (int i = 0; i < 12; ++i) {
      const double want = asDouble ? expected[i] : static_cast<float>(expected[i]);
      EXPECT_DOUBLE_EQ(file[i], want) << "header value " << i;
      EXPECT_DOUBLE_EQ(o.fileheader[i], expected[i]) << "header record " << i;
    }
    for (int k = 0; k < 12; ++k) EXPECT_EQ(file[12 + k], kValues[k / 4][k % 4]);

    OwnedGrid back(o, ReadAlone(o, name), 1, 3, 4);
    for (int r = 1; r <= 3; ++r)
      for (int c = 1; c <= 4; ++c) EXPECT_EQ(back.grid[r][c], kValues[r - 1][c - 1]);
    // The record holds what the file holds: float-rounded statistics for a float file.
    for (int i = 6; i < 12; ++i) EXPECT_EQ(o.fileheader[i], file[i]) << i;
  }
  o.RelCellArea = nullptr;
}

TEST(GridFile, FormatIsRecognisedByContent) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_formats");
  GridTestObject& o = b.object;
  OwnedGrid g(o, SampleGrid(o), 1, 3, 4);
  g.grid[2][2] = 0.1;  // not a float value

  // A double file named like an ASCII grid.
  o.WriteGrid("double.asc", g.grid, false, true);
  EXPECT_EQ(ReadCell(o, "double.asc", 2, 2), 0.1);
  // A corner whose upper four bytes read as the float -9999: the double file
  // also looks like a float file and is read as double.
  const float mark = -9999.0f;
  uint32_t markBits;
  std::memcpy(&markBits, &mark, 4);
  const uint64_t cornerBits = static_cast<uint64_t>(markBits) << 32;
  double corner;
  std::memcpy(&corner, &cornerBits, 8);
  o.SetGeometry(4, 3, corner, 0, 100, -9999);
  o.WriteGrid("both.bin", g.grid, false, true);
  float sixthFloat;
  std::memcpy(&sixthFloat, ReadFile(b.dir / "both.bin").data() + 20, 4);
  ASSERT_EQ(sixthFloat, -9999.0f);
  EXPECT_EQ(ReadCell(o, "both.bin", 2, 2), 0.1);
  EXPECT_EQ(o.fileheader[2], corner);
  // A float file shorter than the twelve-double window.
  o.SetGeometry(1, 1, 0, 0, 10, -9999);
  Grid one = o.matrix(1, 1, 1, 1, 1);
  OwnedGrid ownedOne(o, one, 1, 1, 1);
  one[1][1] = 42.5;
  o.WriteGrid("tiny.flt", one, false, false);
  ASSERT_EQ(ReadFile(b.dir / "tiny.flt").size(), 52u);
  EXPECT_EQ(ReadCell(o, "tiny.flt", 1, 1), 42.5);
  // Upper-case keys in another order, as GIS tools write them.
  WriteFile(b.dir / "upper.asc", "NROWS 1\nNCOLS 1\nXLLCORNER 0\nYLLCORNER 0\nCELLSIZE 10\nNODATA_VALUE -9999\n5\n");
  EXPECT_EQ(ReadCell(o, "upper.asc", 1, 1), 5);
  WriteFile(b.dir / "other.asc", "rows 1\nNCOLS 1\nXLLCORNER 0\nYLLCORNER 0\nCELLSIZE 10\nNODATA_VALUE -9999\n5\n");
  EXPECT_EQ(CodeOf([&] { ReadAlone(o, "other.asc"); }), 22);
  EXPECT_NE(b.Console().find("could not recognise file format (neither ascii, nor single, double, or GIF) for " +
                             (b.dir / "other.asc")),
            std::string::npos);
}

TEST(GridFile, MissingFileIsRetriedForAboutASecond) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_missing");
  b.object.SetGeometry(2, 2, 0, 0, 10, -9999);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CodeOf([&] { ReadAlone(b.object, "absent.asc"); }), 21);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(seconds, 0.9);
  EXPECT_LT(seconds, 3.0);
  const std::string path = b.dir / "absent.asc";
  EXPECT_EQ(fluvextest::CountOf(b.Console(), "error opening " + path + ". Will try again in 200 ms..."), 5);
  EXPECT_NE(b.Console().find("still error opening " + path + " - no retry.\n"), std::string::npos) << b.Console();
  EXPECT_EQ(fluvextest::CountOf(b.Console(), "FATAL: "), 1) << b.Console();
}

TEST(GridFile, HeaderMustFitTheModelGrid) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_header");
  GridTestObject& o = b.object;
  o.SetGeometry(2, 2, 3500000.5, 5200000, 100, -9999);
  std::vector<GridListEntry> list(kGridListSize);
  list[1].filename = "zones/the_zone_grid_of_a_basin_with_a_long_name.asc";
  o.SetGridList(list.data());
  struct Case {
    const char* header;
    int code;
  };
  const Case cases[] = {
      {"ncols 2\nnrows 2\nxllcorner 3500000.7\nyllcorner 5200000\ncellsize 100\nnodata_value -9999\n", 0},
      {"ncols 2\nnrows 2\nxllcorner 3500000\nyllcorner 5200000.99\ncellsize 100\nnodata_value -99999\n", 0},
      // Centres lie half a cell inside the corner: these are the model's corners.
      {"ncols 2\nnrows 2\nxllcenter 3500050\nyllcenter 5200050\ncellsize 100\nnodata_value -9999\n", 0},
      {"ncols 2\nnrows 2\nxllcenter 3500000\nyllcenter 5200000\ncellsize 100\nnodata_value -9999\n", 24},
      {"ncols 2.6\nnrows 2\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100\nnodata_value -9999\n", 22},
      {"ncols 2\nnrows 2e0\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100\nnodata_value -9999\n", 0},
      {"ncols 2\nnrows 2\nxllcorner 3500051\nyllcorner 5200000\ncellsize 100\nnodata_value -9999\n", 24},
      {"ncols 3\nnrows 2\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100\nnodata_value -9999\n", 24},
      {"ncols 2\nnrows 2\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100.00001\nnodata_value -9999\n", 24},
      // A grid's own NODATA_value marks its missing cells: any value fits.
      {"ncols 2\nnrows 2\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100\nnodata_value -999\n", 0},
      {"ncols 0\nnrows 2\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100\nnodata_value -9999\n", 22},
      {"ncols 2\nnrows -2\nxllcorner 3500000\nyllcorner 5200000\ncellsize 100\nnodata_value -9999\n", 22},
      {"ncols 2\nnrows 2\nxllcorner 3500000\nyllcorner 5200000\ncellsize -100\nnodata_value -9999\n", 22},
      // Within half a cell of the model's corner either way; a byte-order mark before the header.
      {"ncols 2\nnrows 2\nxllcorner 3499999.9\nyllcorner 5199950.1\ncellsize 100\nnodata_value -9999\n", 0},
      {"\xEF\xBB\xBFncols 2\nnrows 2\nxllcorner 3500001\nyllcorner 5200049\ncellsize 100\nnodata_value -9999\n", 0},
  };
  int i = 0;
  for (const Case& k : cases) {
    std::string name = "h";
    name += std::to_string(i++) + ".asc";
    WriteFile(b.dir / name, k.header + std::string("1 2\n3 4\n"));
    Grid g = nullptr;
    EXPECT_EQ(CodeOf([&] { g = ReadAlone(o, name); }), k.code) << k.header;
    if (g) OwnedGrid(o, g, 1, 2, 2);
  }
  EXPECT_NE(b.Console().find("error reading the ascii header of " + (b.dir / "h4.asc") +
                             ": the value of ncols is no whole number (2.6"),
            std::string::npos);
  const std::string path = b.dir / "h7.asc";
  const std::string zone = list[1].filename.substr(list[1].filename.size() - 35);
  EXPECT_NE(b.Console().find(path + " has not the specified grid measures (in gridtest)!\n" + zone + " " +
                             path.substr(path.size() - 35) +
                             "\n2 3\n2 2\n3.5e+06 3.5e+06\n5.2e+06 5.2e+06\n100 100\n-9999 -9999\n"),
            std::string::npos)
      << b.Console();
  EXPECT_NE(b.Console().find("invalid header in " + (b.dir / "h12.asc") +
                             ": ncols 2, nrows 2 and cellsize -100 must be positive"),
            std::string::npos);
}

TEST(GridFile, UnreadableValuesAreFatal) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_unreadable");
  GridTestObject& o = b.object;
  o.SetGeometry(2, 2, 3500000, 5200000, 100, -9999);
  WriteFile(b.dir / "word.asc", kHeader2x2 + std::string("1 2\n3 x\n"));
  WriteFile(b.dir / "nan.asc", kHeader2x2 + std::string("1 nan\n3 4\n"));
  WriteFile(b.dir / "hex.asc", kHeader2x2 + std::string("1 2\n3 0x1A\n"));
  WriteFile(b.dir / "long.asc", "ncols 2\nnrows 2\n" + std::string(5000, 'x') + " 3500000\n");
  EXPECT_EQ(CodeOf([&] { ReadAlone(o, "word.asc"); }), 22);
  EXPECT_EQ(CodeOf([&] { ReadAlone(o, "nan.asc"); }), 22);
  EXPECT_EQ(CodeOf([&] { ReadAlone(o, "hex.asc"); }), 22);
  EXPECT_EQ(CodeOf([&] { ReadAlone(o, "long.asc"); }), 22);
  const std::string console = b.Console();
  EXPECT_NE(console.find("error reading ascii grid " + (b.dir / "word.asc") + " in ASCII-Format in row 2, col 2"),
            std::string::npos);
  EXPECT_NE(console.find("in ASCII-Format in row 1, col 2"), std::string::npos);
  EXPECT_NE(console.find("in ASCII-Format in row 2, col 2: \"0x1A\" is no number"), std::string::npos);
  EXPECT_NE(console.find("error reading the ascii header of " + (b.dir / "long.asc") + ": header line 3 starts with"),
            std::string::npos);

  // A binary file that ends within its last row, read by this instance and through MPI-IO.
  Grid g = o.matrix(1, 2, 1, 2, 2);
  OwnedGrid owned(o, g, 1, 2, 2);
  o.WriteGrid("short.dbl", g, false, true);
  std::filesystem::resize_file(b.dir / "short.dbl", 96 + 3 * 8);
  EXPECT_EQ(CodeOf([&] { ReadAlone(o, "short.dbl"); }), 22);
  if (MpiSize() == 1) {
    Grid viaMpiIo = nullptr;
    EXPECT_EQ(CodeOf([&] { o.ReadGrid("short.dbl", &viaMpiIo, 0, true, false, false, false, false, false, 0); }), 22);
  }
  EXPECT_NE(b.Console().find("error reading double grid " + (b.dir / "short.dbl")), std::string::npos);
  // Without allocation the caller must give a grid.
  Grid none = nullptr;
  EXPECT_EQ(CodeOf([&] { o.ReadGrid("word.asc", &none, 0, false, false, false, true, true, false, 0); }), 22);
  EXPECT_NE(b.Console().find("error reading grid " + (b.dir / "word.asc") +
                             " no memory allocated (pointer given to function is NULL)"),
            std::string::npos);
}

// Holes (-9999 inside the zone grid) filled from neighbours: ring k scans rows
// y - k ... y + k, the i-th of them from column x - i to x + i.
TEST(GridFile, HolesTakeTheFirstValueOfTheWideningRings) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_holes");
  GridTestObject& o = b.object;
  o.SetGeometry(5, 5, 0, 0, 10, -9999);
  std::vector<GridListEntry> list(kGridListSize);
  OwnedGrid zone(o, Filled(o, 5, 5, [](int, int) { return 1.0; }), 1, 5, 5);
  list[1].grid = zone.grid;
  o.SetGridList(list.data());
  // Only (2,2) = 100 and (4,4) = 200 hold values.
  std::string rows;
  for (int r = 1; r <= 5; ++r)
    for (int c = 1; c <= 5; ++c)
      rows += (r == 2 && c == 2 ? "100" : r == 4 && c == 4 ? "200" : "-9999") + std::string(c == 5 ? "\n" : " ");
  WriteFile(b.dir / "holes.asc",
            "ncols 5\nnrows 5\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n" + rows);
  const std::string logBefore = FileExists("modell_0.log") ? ReadFile("modell_0.log") : "";
  OwnedGrid g(o, ReadAlone(o, "holes.asc", 1, true), 1, 5, 5);
  EXPECT_EQ(g.grid[3][3], 200);  // ring 1 reaches (4,4) but not (2,2)
  EXPECT_EQ(g.grid[1][1], 100);  // ring 1, third row
  EXPECT_EQ(g.grid[5][5], 200);  // only ring 2 reaches (4,4)
  EXPECT_EQ(g.grid[2][3], 100);
  const std::string path = b.dir / "holes.asc";
  EXPECT_NE(b.Console().find("In " + path + ": 23 nodata values replaced!"), std::string::npos);
  const std::string log = ReadFile("modell_0.log").substr(logBefore.size());
  EXPECT_NE(log.find("y: 3 x: 3  in " + path + " -9999.000000 replaced by 200.000000!\n"), std::string::npos);

  // One value, eleven columns away from the holes at the far end.
  o.SetGeometry(15, 1, 0, 0, 10, -9999);
  list[1].grid = nullptr;
  std::string line = "5";
  for (int c = 2; c <= 15; ++c) line += " -9999";
  WriteFile(b.dir / "wide.asc",
            "ncols 15\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n" + line + "\n");
  EXPECT_EQ(CodeOf([&] { ReadAlone(o, "wide.asc", 1, true); }), 25);
  EXPECT_NE(b.Console().find("In " + (b.dir / "wide.asc") + " is a too big hole at x/y = 12/1!"), std::string::npos);
  // Without strict holes every hole takes the fill value.
  OwnedGrid filled(o, ReadAlone(o, "wide.asc", 1, false, 3.5), 1, 1, 15);
  EXPECT_EQ(filled.grid[1][1], 5);
  EXPECT_EQ(filled.grid[1][15], 3.5);
}

TEST(GridFile, FillModeTwoFillsTheDomainAndClearsTheRest) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance reader";
  GridTestBench b("grid_fill2");
  GridTestObject& o = b.object;
  o.SetGeometry(3, 2, 0, 0, 10, -9999);
  std::vector<GridListEntry> list(kGridListSize);
  OwnedGrid zone(o, Filled(o, 2, 3, [](int, int c) { return c == 3 ? -9999.0 : 1.0; }), 1, 2, 3);
  list[1].grid = zone.grid;
  o.SetGridList(list.data());
  // The file marks missing cells with -99999: those inside the domain are holes too.
  WriteFile(b.dir / "f.asc",
            "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -99999\n"
            "-99999 2 20\n-99999 -99999 -99999\n");
  OwnedGrid g(o, ReadAlone(o, "f.asc", 2, true, 0.5), 1, 2, 3);
  const double expected[2][3] = {{0.5, 2, -9999}, {0.5, 0.5, -9999}};
  for (int r = 1; r <= 2; ++r)
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(g.grid[r][c], expected[r - 1][c - 1]) << r << "," << c;
  EXPECT_NE(b.Console().find(": 3 nodata values replaced!"), std::string::npos);
}

TEST(GridFile, AsciiGridIsReadByGdal) {
  if (MpiRank() != 0) GTEST_SKIP() << "single-instance writer";
  if (!FileExists("/usr/bin/gdalinfo")) GTEST_SKIP() << "gdalinfo (Debian package gdal-bin) is not installed";
  GridTestBench b("grid_gdal");
  OwnedGrid g(b.object, SampleGrid(b.object), 1, 3, 4);
  b.object.WriteGrid("basin.asc", g.grid, true, false);
  const auto result = fluvextest::RunCommand("gdalinfo -stats basin.asc", b.dir.path());
  ASSERT_EQ(result.exitCode, 0) << result.output;
  const std::string& out = result.output;
  EXPECT_NE(out.find("Size is 4, 3"), std::string::npos) << out;
  // GDAL gives the upper-left corner.
  EXPECT_NE(out.find("Origin = (3500000.000000000000000,5200300.000000000000000)"), std::string::npos) << out;
  EXPECT_NE(out.find("Pixel Size = (100.000000000000000,-100.000000000000000)"), std::string::npos) << out;
  EXPECT_NE(out.find("NoData Value=-9999"), std::string::npos) << out;
  EXPECT_NE(out.find("Minimum=-12.500, Maximum=11.000"), std::string::npos) << out;
}

// The collective reader on every instance count: rank k of n holds the band of
// rows that a decomposition gives it (the last rank the first rows).
TEST(GridFile, EveryInstanceGetsItsRows) {
  const int rank = MpiRank();
  const int size = MpiSize();
  const int nrows = 8;
  const std::string shared = fluvextest::TempDirPath(TestDirName("grid_collective"), 0);
  GridTestBench b("grid_collective", shared);
  GridTestObject& o = b.object;
  o.SetGeometry(3, nrows, 0, 0, 10, -9999);
  const int band = nrows / size;
  const int first = (size - 1 - rank) * band + 1;
  const int last = rank == 0 ? nrows : first + band - 1;
  auto value = [](int r, int c) { return r * 100.0 + c; };
  if (rank == 0) {
    Grid whole = Filled(o, nrows, 3, value);
    o.WriteGrid("v.dbl", whole, false, true);
    o.WriteGrid("v.flt", whole, false, false);
    o.WriteGrid("v.asc", whole, true, false);
    o.FreeMatrix(whole, 1, nrows, 1, 3);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  o.SetRowRange(first, last);
  const int haloFirst = first > 1 ? first - 1 : first;
  const int haloLast = last < nrows ? last + 1 : last;
  struct Read {
    const char* name;
    int fillMode;
    bool keepWhole;
    bool withHalo;
  };
  // MPI-IO; instance 0 reads and distributes (ASCII, and a hole-filling read); keep whole.
  for (const Read& k : {Read{"v.dbl", 0, false, true}, Read{"v.flt", 0, false, false}, Read{"v.asc", 0, false, true},
                        Read{"v.flt", 2, false, false}, Read{"v.asc", 0, true, false}}) {
    SCOPED_TRACE(k.name + std::string(" fill ") + std::to_string(k.fillMode) + (k.keepWhole ? " whole" : ""));
    Grid g = nullptr;
    o.ReadGrid(k.name, &g, k.fillMode, true, false, false, k.keepWhole, false, k.withHalo, 0);
    const bool whole = k.keepWhole && rank == 0;
    const int r0 = whole ? 1 : k.withHalo ? haloFirst : first;
    const int r1 = whole ? nrows : k.withHalo ? haloLast : last;
    for (int r = 1; r <= nrows; ++r) {
      ASSERT_EQ(g[r] != nullptr, r >= r0 && r <= r1) << "row " << r;
      if (g[r]) {
        for (int c = 1; c <= 3; ++c) EXPECT_EQ(g[r][c], value(r, c)) << r << "," << c;
      }
    }
    o.FreeMatrix(g, r0, r1, 1, 3);
  }
  MPI_Barrier(MPI_COMM_WORLD);
}
