// The special output: point placement, the three header lines, values per
// step and sub-step, buffering, failures; on several instances each row is
// owned by one instance and the file must not change.
#include "framework/specialoutput.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

namespace {

using fluvextest::MpiRank;
using fluvextest::MpiSize;

constexpr int kCols = 4;
constexpr int kRows = 6;
constexpr double kXll = 1000;
constexpr double kYll = 2000;
constexpr double kCell = 10;

// Centre of cell (row, column); rows count from the north edge.
double X(int column) {
  return kXll + kCell * column - kCell / 2;
}
double Y(int row) {
  return kYll + kCell * (kRows - row) + kCell / 2;
}
// Instance that owns a row.
int OwnerOf(int row) {
  return (row - 1) * MpiSize() / kRows;
}
// Value of grid "values" in a cell.
double V(int row, int column) {
  return 100.0 * row + column;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class SpecialOutputTest : public ::testing::Test {
 protected:
  SpecialOutputTest() : dir("specialoutput"), diag(dir / "d.xml", 4, &console), list(kGridListSize) {
    for (int r = 1; r <= kRows; ++r)
      if (OwnerOf(r) == MpiRank()) {
        if (first == 0) first = r;
        last = r;
      }
    regions = Make([](int r, int) { return OwnerOf(r); });
    // Rows of other instances hold a value that must never reach the file.
    values = Make([](int r, int c) { return OwnerOf(r) == MpiRank() ? V(r, c) : 5555.0; });
    recharge = Make([](int, int) { return 0.0; });
    stack = memory.matrix3d(1, kRows, 1, kCols, 3, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c)
        for (int l = 0; l <= 3; ++l) stack[r][c][l] = OwnerOf(r) == MpiRank() ? 1000.0 * l + V(r, c) : 5555.0;
    Enter(1, "MPIRegions", regions, nullptr, 0);
    Enter(2, "values", values, nullptr, 0);
    Enter(3, "groundwater_recharge", recharge, nullptr, 0);
    Enter(4, "soilwater", values, stack, 3);
    args.zoneIndex = zoneindex;
    args.zoneRecords = zonerecords;
    args.zoneCount = 1;
    args.maxZoneCode = 1;
    args.gridlist = list.data();
    args.ncols = kCols;
    args.nrows = kRows;
    args.firstRow = first;
    args.lastRow = last;
    args.xllcorner = kXll;
    args.yllcorner = kYll;
    args.cellsize = kCell;
  }
  ~SpecialOutputTest() override {
    for (Grid g : grids) memory.FreeMatrix(g, 1, kRows, 1, kCols);
    memory.FreeMatrix3d(stack, 1, kRows);
  }

  template <typename F>
  Grid Make(F value) {
    Grid g = memory.matrix(1, kRows, 1, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
      for (int c = 1; c <= kCols; ++c) g[r][c] = value(r, c);
    grids.push_back(g);
    return g;
  }
  void Enter(int position, const std::string& name, Grid grid, Stack s, int levels) {
    GridListEntry& e = list[position];
    e.grid = grid;
    e.stack = s;
    e.levels = levels;
    e.filename = name + ".asc";
    e.shortname = name;
    e.registered = true;
    e.firstrow = 1;
    e.lastrow = kRows;
  }
  // A module reading the given file blocks, with numfiles as given.
  std::unique_ptr<SpecialOutputClass> Make(const std::string& files, int& error, int substeps = 1,
                                           const std::string& numfiles = "numfiles = 1;") {
    const std::string path = dir / "run.cntrl.$$$";
    fluvextest::WriteFile(path, "[special_output]\n1\n60\n" + numfiles + "\n" + files);
    error = -1;
    return std::make_unique<SpecialOutputClass>(error, &diag, nullptr, 0, path, args, dir.path() + "/", substeps);
  }
  // One file block with one entity.
  static std::string Block(const std::string& entity, const std::string& file = "points.txt") {
    return "{\nfilename = " + file + "; header = pointvalues more words;\n" + entity + "\n}\n";
  }
  static std::string Entity(const std::string& id, const std::string& symbol, const std::vector<double>& xs,
                            const std::vector<double>& ys, const std::string& levels = "") {
    std::ostringstream e;
    e.precision(12);
    e << "entity {ID = " << id << "; Symbol = " << symbol << ";\nXcoords = ";
    for (double x : xs) e << x << ", ";
    e << ";\nYcoords = ";
    for (double y : ys) e << y << " ";
    e << ";" << levels << "}";
    return e.str();
  }
  bool Said(const std::string& text) const { return MpiRank() != 0 || console.str().find(text) != std::string::npos; }
  std::string Output(const std::string& file = "points.txt") const { return fluvextest::ReadFile(dir / file); }

  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
  std::vector<GridListEntry> list;
  std::vector<Grid> grids;
  Grid regions = nullptr;
  Grid values = nullptr;
  Grid recharge = nullptr;
  Stack stack = nullptr;
  int first = 0;
  int last = -1;
  int zoneindex[2] = {0, 1};
  ZoneRecord zonerecords[2] = {{0, 0, 1, 1, 0}, {0, 0, 1, 1, 0}};
  SubModelArgs args;
};

TEST_F(SpecialOutputTest, HeaderAndValuesOfEveryStepAtThePoints) {
  int error = 0;
  // Points: cell (2, 3); the east edge of row 4; the south edge of column 1;
  // a name that is not registered; a stack through its levels.
  const std::string block = "{\nfilename = points.txt; header = pointvalues more words;\n" +
                            Entity("values", "Q", {X(3), kXll + kCols * kCell, X(1)}, {Y(2), Y(4), kYll}) + "\n" +
                            Entity("unknown_grid", "U", {X(1)}, {Y(1)}) + "\n" +
                            Entity("soilwater", "W", {X(2), X(4)}, {Y(5), Y(6)}, " Level = 0, 3;") + "\n}\n";
  auto m = Make(block, error);
  ASSERT_EQ(error, 0) << console.str();
  ASSERT_EQ(m->FileCount(), 1);
  EXPECT_EQ(m->File(0).PointCount(), 6);
  // 2 MiB over rows of 7 values and a date: 2097152 / (7 * 8 + 32).
  EXPECT_EQ(m->File(0).Capacity(), 23831);
  for (int hour = 1; hour <= 2; ++hour) {
    values[2][3] = OwnerOf(2) == MpiRank() ? 10.0 * hour : 5555.0;
    m->Collect(hour, 31, 12, 2001, false, 0);
  }
  m->Flush();
  if (MpiRank() != 0) return;
  const auto lines = Lines(Output());
  ASSERT_EQ(lines.size(), 5u) << Output();
  EXPECT_EQ(lines[0], "YY\tMM\tDD\tHH\tQ/3/2\tQ/4/4\tQ/1/6\tU/1/1\tW/2/5/0\tW/4/6/3");
  EXPECT_EQ(lines[1], "pointvalues");  // only the first word of the header
  EXPECT_EQ(lines[2],
            "YY\tMM\tDD\tHH\tQ/1025/2045\tQ/1040/2025\tQ/1005/2000\tU/1005/2055\tW/1015/2015/0\tW/1035/2005/3");
  EXPECT_EQ(lines[3], "2001\t12\t31\t1\t10\t404\t601\t-9999\t502\t3604");
  EXPECT_EQ(lines[4], "2001\t12\t31\t2\t20\t404\t601\t-9999\t502\t3604");
  EXPECT_TRUE(Said("write " + (dir / "points.txt")));
  EXPECT_TRUE(Said("(160 of 2097152 buffer-bytes)"));  // (6 * 8 + 32) * 2
  EXPECT_TRUE(Said("point 1 (x 1040, y 2025) of entity values lies on the edge between cells: its values are those "
                   "of the cell in row 4, column 4"));
}

TEST_F(SpecialOutputTest, PointsAndLevelsAreChecked) {
  struct Case {
    std::string entity;
    int code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {Entity("values", "Q", {kXll}, {Y(1)}), 1008,
       "Error in section [special_output]: x-coordinate 1000, defined as point 0 for entity values, is located "
       "outside the actual grid."},
      {Entity("values", "Q", {X(1), X(2)}, {Y(1), kYll + kRows * kCell}), 1008,
       "y-coordinate 2060, defined as point 1 for entity values, is located outside the actual grid."},
      // The columns are checked before any row.
      {Entity("values", "Q", {X(1), 5000}, {-5000, Y(1)}), 1008, "x-coordinate 5000, defined as point 1"},
      {Entity("values", "Q", {X(1), X(2)}, {Y(1)}), 1006,
       "count of X coordinates dos not match the number of Y coordinates for entity values"},
      {Entity("soilwater", "W", {X(1), X(2)}, {Y(1), Y(2)}, " Level = 1;"), 1007,
       "number of levels dos not match the number of X and Y coordinates for entity soilwater."},
      {Entity("soilwater", "W", {X(1)}, {Y(1)}, " Level = -1;"), 1007,
       "level -1, defined as point 0 for entity soilwater, is below 0"},
      {Entity("values", "Q", {X(1)}, {Y(1)}, " Level = 1x;"), 104, "the value \"1x\" of the item Level"},
      {"entity {Symbol = Q; Xcoords = 1005; Ycoords = 2055;}", 104, "the item \"ID = ...;\" is missing"},
  };
  for (const Case& c : cases) {
    int error = 0;
    auto m = Make(Block(c.entity), error);
    EXPECT_EQ(error, c.code) << c.entity;
    EXPECT_TRUE(Said(c.text)) << c.text << "\n" << console.str();
    EXPECT_EQ(m->FileCount(), 0);
  }
}

TEST_F(SpecialOutputTest, SectionFormIsChecked) {
  int error = 0;
  // The control file ends inside the block: a failure, not an endless loop.
  Make("{\nfilename = a.txt; header = h;\nentity {ID = values; Symbol = Q; Xcoords = 1005; Ycoords = 2055;}\n", error);
  EXPECT_EQ(error, 104);
  EXPECT_TRUE(Said("the control file ends inside the block of output file 1"));
  for (const char* numfiles : {"files = 1;", "numfiles = -2;"}) {
    Make(Block(Entity("values", "Q", {X(1)}, {Y(1)})), error, 1, numfiles);
    EXPECT_EQ(error, 104) << numfiles;
  }
  auto none = Make("", error, 1, "numfiles = 0;");
  EXPECT_EQ(error, 0);
  EXPECT_EQ(none->FileCount(), 0);
  none->Collect(1, 1, 1, 2001, false, 0);
  none->Flush();

  // Two blocks with a blank line between them, braces on lines of their own,
  // an entity over several lines; a file without entities keeps only dates.
  const std::string two =
      "{\nfilename = a.txt;\nheader = A;\nentity\n{\nID = values;\nSymbol = Q;\nXcoords = " + std::to_string(X(2)) +
      ";\nYcoords = " + std::to_string(Y(3)) + ";\n}\n}\n\n{ filename = b.txt; header = B;\n}\n";
  auto m = Make(two, error, 1, "numfiles = 2;");
  ASSERT_EQ(error, 0) << console.str();
  ASSERT_EQ(m->FileCount(), 2);
  EXPECT_EQ(m->File(1).PointCount(), 0);
  EXPECT_EQ(m->File(1).Capacity(), 52428);  // 2097152 / (8 + 32)
  m->Collect(5, 1, 2, 2003, false, 0);
  m->FreeMemory();  // writes what is still buffered
  if (MpiRank() != 0) return;
  EXPECT_EQ(Output("a.txt"), "YY\tMM\tDD\tHH\tQ/2/3\nA\nYY\tMM\tDD\tHH\tQ/1015/2035\n2003\t2\t1\t5\t302\n");
  EXPECT_EQ(Output("b.txt"), "YY\tMM\tDD\tHH\nB\nYY\tMM\tDD\tHH\n2003\t2\t1\t5\n");
}

TEST_F(SpecialOutputTest, SubStepQuantitiesAreSummedOverTheSubSteps) {
  int error = 0;
  const std::string block = "{\nfilename = points.txt; header = h;\n" +
                            Entity("groundwater_recharge", "R", {X(1), X(2)}, {Y(1), Y(6)}) + "\n" +
                            Entity("values", "Q", {X(1)}, {Y(1)}) + "\n}\n";
  auto m = Make(block, error, 3);
  ASSERT_EQ(error, 0) << console.str();
  for (int step = 1; step <= 2; ++step) {
    for (int s = 1; s <= 3; ++s) {
      // Sub-step values 1, 2, 4 in the first step, 10, 20, 40 in the second;
      // cell (6, 2) is missing in the second sub-step of the second step.
      const double v = std::pow(10, step - 1) * (1 << (s - 1));
      recharge[1][1] = v;
      recharge[6][2] = (step == 2 && s == 2) ? -9999 : v;
      values[1][1] = 7;  // read only after the step
      m->Collect(step, 1, 1, 2001, true, s);
    }
    values[1][1] = OwnerOf(1) == MpiRank() ? 100.0 * step : 5555.0;
    recharge[1][1] = 999;  // not read after the step
    m->Collect(step, 1, 1, 2001, false, 0);
  }
  m->Flush();
  const auto lines = Lines(MpiRank() == 0 ? Output() : "");
  // With one sub-step the same name is an ordinary grid (every instance builds the file).
  auto single = Make(block, error, 1);
  EXPECT_FALSE(single->File(0).Entities()[0]->IsSubStepEntity());
  EXPECT_TRUE(m->File(0).Entities()[0]->IsSubStepEntity());
  if (MpiRank() != 0) return;
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], "2001\t1\t1\t1\t7\t7\t100");
  EXPECT_EQ(lines[4], "2001\t1\t1\t2\t70\t-9999\t200");
}

TEST_F(SpecialOutputTest, GridSearchStopsAtAnEntryWithoutValueGrid) {
  // A stack registered without a grid ends the search of the special output.
  Enter(5, "stack_only", nullptr, stack, 3);
  Enter(6, "behind", values, nullptr, 0);
  int error = 0;
  auto m = Make(Block(Entity("behind", "B", {X(1)}, {Y(1)})), error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(m->File(0).Entities()[0]->GetGridIndex(), 0);
  auto found = Make(Block(Entity("soilwater", "W", {X(1)}, {Y(1)}, " Level = 3;")), error);
  EXPECT_EQ(found->File(0).Entities()[0]->GetGridIndex(), 4);
}

TEST_F(SpecialOutputTest, FullBufferIsWrittenAfterTheStep) {
  int error = 0;
  // One point: 2097152 / 48 rows per buffer.
  auto m = Make(Block(Entity("values", "Q", {X(2)}, {Y(2)})), error);
  ASSERT_EQ(error, 0);
  const int64_t capacity = m->File(0).Capacity();
  ASSERT_EQ(capacity, 43690);
  // A value below the missing value is missing: -9999 on any instance count.
  values[2][2] = OwnerOf(2) == MpiRank() ? -12345 : 5555.0;
  for (int64_t i = 1; i <= capacity; ++i) m->Collect(i % 24, 1, 1, 2001, false, 0);
  EXPECT_EQ(m->File(0).BufferedRows(), 0);
  m->Collect(1, 2, 1, 2001, false, 0);
  EXPECT_EQ(m->File(0).BufferedRows(), 1);
  if (MpiRank() == 0) {
    const auto lines = Lines(Output());
    ASSERT_EQ(static_cast<int64_t>(lines.size()), capacity + 3);
    EXPECT_EQ(lines[4], "2001\t1\t1\t2\t-9999");
  }
  m->Flush();
  EXPECT_TRUE(MpiRank() != 0 || static_cast<int64_t>(Lines(Output()).size()) == capacity + 4);
}

TEST_F(SpecialOutputTest, FilesThatCannotBeWrittenStopEveryInstanceTogether) {
  int error = 0;
  auto m = Make(Block(Entity("values", "Q", {X(1)}, {Y(2)}), "no_such_dir/p.txt"), error);
  EXPECT_EQ(error, 1007);
  EXPECT_TRUE(Said("error opening file for special output of file\n" + (dir / "no_such_dir/p.txt") +
                   "\n-> check file name, disk space or user rights"));
  // Appending is refused on instance 0: all instances stop with its code,
  // none waits in the reduction of the rows.
  auto w = Make(Block(Entity("values", "Q", {X(1)}, {Y(2)})), error);
  ASSERT_EQ(error, 0);
  w->Collect(1, 1, 1, 2001, false, 0);
  std::filesystem::remove(dir / "points.txt");
  std::filesystem::create_directories(dir / "points.txt");
  EXPECT_EQ(CodeOf([&] { w->Flush(); }), 65);
  EXPECT_TRUE(Said("error opening file " + (dir / "points.txt")));
  // Releasing the module writes what is still buffered; its failure is thrown, not swallowed.
  EXPECT_EQ(CodeOf([&] { w->FreeMemory(); }), 65);
  EXPECT_TRUE(Said("1 rows of the special output file " + (dir / "points.txt") + " were not written"));
  std::filesystem::remove(dir / "points.txt");
}

}  // namespace
