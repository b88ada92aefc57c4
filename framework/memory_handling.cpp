#include "framework/memory_handling.h"

#include <cmath>
#include <cstdlib>
#include <iostream>

#include "framework/diagstream.h"

memory_handling::Allocator memory_handling::allocator = &std::calloc;

namespace {
const int kMaxBlocks = 128;  // each block takes at least half of what is left
}

void memory_handling::Free(void* memory) { std::free(memory); }

void memory_handling::Fatal(const char* message, int code) {
  if (diag)
    *diag << message << "[end-entry]";
  else
    std::cerr << message << std::endl;
  throw code;
}

double memory_handling::Log2Ceil(double x) {
  double n = 0;
  while (x > 1) {
    x /= 2;
    n += 1;
  }
  return n;
}

void* memory_handling::Alloc(int count, int code) {
  void* memory = count >= 0 ? allocator(static_cast<size_t>(count) + (count == 0 ? 1 : 0), 1) : nullptr;
  if (!memory) AllocError(code);
  return memory;
}

void memory_handling::AllocError(int code) {
  if (diag)
    *diag << "FATAL: memory allocation error in " << modulname.c_str() << " (" << code << ")" << "[end-entry]";
  else
    std::cerr << "FATAL: memory allocation error in " << modulname << " (" << code << ")" << std::endl;
  throw 81;
}

int memory_handling::BlockPlan(int64_t firstRow, int64_t lastRow, int64_t lastColumn, Block* blocks, int maxBlocks) {
  const int64_t rowBytes = (lastColumn + 1) * 8;
  if (lastColumn < 0 || rowBytes + 24 > kMaxBlockBytes) Fatal("FATAL: too long matrix rows", 1);
  if (lastRow < firstRow) return 0;
  const int64_t whole = (lastRow - firstRow + 2) * rowBytes;
  const int64_t tenth = static_cast<int64_t>(0.1 * static_cast<double>(whole));
  int64_t current = firstRow;
  int64_t remaining = whole;
  int count = 0;
  while (remaining > 0 && current <= lastRow && count < maxBlocks) {
    const int k = static_cast<int>(std::ceil(Log2Ceil(static_cast<double>(remaining + 24))));
    const int64_t power = int64_t{1} << k;
    const int64_t half = power / 2;
    if ((remaining <= tenth && power < kMaxBlockBytes) || rowBytes + 24 > half) {
      blocks[count++] = {current, lastRow - current + 1};
      break;
    }
    int64_t n = std::min(half - 24, kMaxBlockBytes) / rowBytes;
    if (n > lastRow - current + 1) n = lastRow - current + 1;
    blocks[count++] = {current, n};
    current += n;
    remaining = (lastRow + 1 - current) * rowBytes;
  }
  return count;
}

Grid memory_handling::matrix(int64_t firstRow, int64_t lastRow, int64_t /*firstColumn*/, int64_t lastColumn,
                             int64_t tableSize) {
  Block blocks[kMaxBlocks];
  const int count = BlockPlan(firstRow, lastRow, lastColumn, blocks, kMaxBlocks);
  // A row table shorter than the row range would be written past its end.
  if (firstRow < 0 || (tableSize > 0 && tableSize < lastRow))
    Fatal("FATAL: memory allocation error 1 in matrix(): row range outside the row table", 1);
  const int64_t tableEntries = tableSize > 0 ? tableSize + 1 : lastRow + 1;
  Grid grid = static_cast<Grid>(allocator(static_cast<size_t>(std::max<int64_t>(tableEntries, 1)), sizeof(double*)));
  if (!grid) Fatal("FATAL: memory allocation error 1 in matrix()", 1);
  for (int b = 0; b < count; ++b) {
    double* block = static_cast<double*>(
        allocator(static_cast<size_t>(blocks[b].rows * (lastColumn + 1)), sizeof(double)));
    if (!block) {
      for (int done = 0; done < b; ++done) std::free(grid[blocks[done].firstRow]);
      std::free(grid);
      Fatal("FATAL: memory allocation error 2 in matrix()", 1);
    }
    for (int64_t r = 0; r < blocks[b].rows; ++r) grid[blocks[b].firstRow + r] = block + r * (lastColumn + 1);
  }
  return grid;
}

void memory_handling::FreeMatrix(Grid grid, int64_t firstRow, int64_t lastRow, int64_t /*firstColumn*/,
                                 int64_t lastColumn) {
  Block blocks[kMaxBlocks];
  const int count = BlockPlan(firstRow, lastRow, lastColumn, blocks, kMaxBlocks);
  if (!grid) return;
  for (int b = 0; b < count; ++b) {
    double*& first = grid[blocks[b].firstRow];
    std::free(first);
    first = nullptr;
  }
  std::free(grid);
}

Stack memory_handling::matrix3d(int64_t firstRow, int64_t lastRow, int64_t firstColumn, int64_t lastColumn,
                                int64_t levels, int64_t tableSize) {
  if (firstRow < 0 || lastColumn < 0 || levels < 0 || firstColumn < 0 || (tableSize >= 1 && tableSize < lastRow))
    Fatal("FATAL: memory allocation error (1) in 3_d_matrix(): bounds outside the row table", 1);
  const int64_t tableEntries = tableSize >= 1 ? tableSize + 1 : lastRow + 1;
  Stack stack = static_cast<Stack>(allocator(static_cast<size_t>(std::max<int64_t>(tableEntries, 1)), sizeof(double**)));
  if (!stack) Fatal("FATAL: memory allocation error (1) in 3_d_matrix()", 1);
  for (int64_t r = firstRow; r <= lastRow; ++r) {
    double** cells = static_cast<double**>(allocator(static_cast<size_t>(lastColumn + 1), sizeof(double*)));
    if (!cells) {
      FreeMatrix3d(stack, firstRow, r - 1);
      Fatal("FATAL: memory allocation error (2) in 3_d_matrix()", 1);
    }
    stack[r] = cells;
    double* block = static_cast<double*>(allocator(static_cast<size_t>((lastColumn + 1) * (levels + 1)), sizeof(double)));
    if (!block) {
      std::free(cells);
      stack[r] = nullptr;
      FreeMatrix3d(stack, firstRow, r - 1);
      Fatal("FATAL: memory allocation error (3) in 3_d_matrix()", 1);
    }
    cells[0] = block;
    for (int64_t c = std::max<int64_t>(firstColumn, 1); c <= lastColumn; ++c) cells[c] = block + c * (levels + 1);
  }
  return stack;
}

void memory_handling::FreeMatrix3d(Stack stack, int64_t firstRow, int64_t lastRow) {
  if (!stack) return;
  for (int64_t r = firstRow; r <= lastRow; ++r) {
    if (!stack[r]) continue;
    std::free(stack[r][0]);
    std::free(stack[r]);
  }
  std::free(stack);
}
