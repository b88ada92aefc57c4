#include "framework/memory_handling.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "framework/diagstream.h"
#include "tests/framework/codeof.h"
#include "tests/support/testutil.h"

namespace {

// Allocator that fails from the n-th call on.
int callsBeforeFailure = -1;
void* FailingAllocator(size_t count, size_t size) {
  if (callsBeforeFailure == 0) return nullptr;
  if (callsBeforeFailure > 0) --callsBeforeFailure;
  return std::calloc(count, size);
}

class MemoryTest : public ::testing::Test {
 protected:
  MemoryTest() : dir("memory"), diag(dir / "m.xml", 4, &console), memory(&diag) {}
  ~MemoryTest() override {
    memory_handling::allocator = &std::calloc;
    callsBeforeFailure = -1;
  }
  fluvextest::TempDir dir;
  std::ostringstream console;
  DiagStream diag;
  memory_handling memory;
};

}  // namespace

TEST_F(MemoryTest, Log2CeilCountsHalvings) {
  const std::pair<double, int> cases[] = {{1, 0}, {2, 1}, {3, 2}, {0.5, 0}, {1024, 10}, {1025, 11}};
  for (auto [x, log] : cases) EXPECT_EQ(memory.Log2Ceil(x), log) << x;
}

TEST_F(MemoryTest, GridRowsShareBlocksOfPowerOfTwoSize) {
  // 99 rows of 100 columns lie in blocks of 81, 10 and 8 rows.
  Grid g = memory.matrix(1, 99, 1, 99, 0);
  std::vector<int> sizes = {1};
  for (int r = 2; r <= 99; ++r) {
    if (g[r] == g[r - 1] + 100)
      ++sizes.back();
    else
      sizes.push_back(1);
  }
  EXPECT_EQ(sizes, (std::vector<int>{81, 10, 8}));
  EXPECT_EQ(g[0], nullptr);
  EXPECT_EQ(g[1][0] + g[81][99] + g[82][0] + g[99][99], 0.0);  // zeroed in every block
  memory.FreeMatrix(g, 1, 99, 1, 99);
}

TEST_F(MemoryTest, BandOfRowsInALargerRowTable) {
  Grid g = memory.matrix(5, 9, 1, 10, 20);
  for (int r = 0; r <= 20; ++r) EXPECT_EQ(g[r] != nullptr, r >= 5 && r <= 9) << r;
  g[9][10] = 3.5;
  memory.FreeMatrix(g, 5, 9, 1, 10);
  Grid single = memory.matrix(3, 3, 1, 4, 0);
  EXPECT_NE(single[3], nullptr);
  memory.FreeMatrix(single, 3, 3, 1, 4);
  memory.FreeMatrix(nullptr, 1, 3, 1, 4);
  memory.FreeMatrix3d(nullptr, 1, 3);
  // A row table smaller than the row range is rejected.
  EXPECT_EQ(CodeOf([&] { memory.matrix(1, 30, 1, 10, 20); }), 1);
  EXPECT_EQ(CodeOf([&] { memory.matrix3d(1, 30, 1, 10, 2, 20); }), 1);
}

TEST_F(MemoryTest, StackCellsHoldTheirLevels) {
  Stack s = memory.matrix3d(2, 4, 1, 5, 3, 10);
  EXPECT_EQ(s[1], nullptr);
  EXPECT_EQ(s[5], nullptr);
  for (int r = 2; r <= 4; ++r) {
    EXPECT_EQ(s[r][0], s[r][1] - 4);
    for (int c = 1; c <= 5; ++c) {
      EXPECT_EQ(s[r][c], s[r][0] + c * 4);
      for (int l = 0; l <= 3; ++l) EXPECT_EQ(s[r][c][l], 0.0);
    }
  }
  s[4][5][3] = 1.0;  // last level of the last cell lies inside the block
  memory.FreeMatrix3d(s, 2, 4);
}

TEST_F(MemoryTest, TooLongRowsAreFatalOnAllocationAndRelease) {
  const int64_t tooLong = memory_handling::kMaxBlockBytes / 8;
  EXPECT_EQ(CodeOf([&] { memory.matrix(1, 1, 1, tooLong, 0); }), 1);
  EXPECT_NE(console.str().find("too long matrix rows"), std::string::npos);
  console.str("");
  EXPECT_EQ(CodeOf([&] { memory.FreeMatrix(nullptr, 1, 1, 1, tooLong); }), 1);
  EXPECT_NE(console.str().find("too long matrix rows"), std::string::npos);
}

TEST_F(MemoryTest, FailedAllocationsAreFatalWithTheirCodes) {
  memory_handling::allocator = &FailingAllocator;
  struct Case {
    int okCalls;
    bool stack;
    const char* text;
  };
  const Case cases[] = {{0, false, "memory allocation error 1 in matrix()"},
                        {1, false, "memory allocation error 2 in matrix()"},
                        {0, true, "memory allocation error (1) in 3_d_matrix()"},
                        {1, true, "memory allocation error (2) in 3_d_matrix()"},
                        {2, true, "memory allocation error (3) in 3_d_matrix()"}};
  for (const Case& c : cases) {
    callsBeforeFailure = c.okCalls;
    console.str("");
    EXPECT_EQ(CodeOf([&] { c.stack ? (void)memory.matrix3d(1, 2, 1, 3, 2, 0) : (void)memory.matrix(1, 2, 1, 3, 0); }),
              1)
        << c.text;
    EXPECT_NE(console.str().find(c.text), std::string::npos) << console.str();
  }
  callsBeforeFailure = 0;
  EXPECT_EQ(CodeOf([&] { memory.Alloc(100, 7); }), 81);
  EXPECT_NE(console.str().find("memory allocation error in  (7)"), std::string::npos) << console.str();
  memory_handling::allocator = &std::calloc;
  EXPECT_NE(CodeOf([&] { memory.Alloc(-5, 1); }), 0);
  void* ok = memory.Alloc(16, 1);
  EXPECT_EQ(static_cast<char*>(ok)[15], 0);
  memory_handling::Free(ok);
}
