// Root of every model object: allocation and release of grids and stacks.
//
// A grid is a row table of double pointers indexed by global row number; the
// rows of a grid lie in a few large zero-filled blocks (see matrix()). Rows and
// columns are used from 1; column 0 exists and stays unused. A stack adds one
// vector of levels 0 ... levels per cell.
// Every failed allocation writes one FATAL entry and throws an int code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class DiagStream;

using Grid = double**;
using Stack = double***;

class memory_handling {
 public:
  // Largest block (and row) in bytes, allocator overhead of 24 bytes included.
  static constexpr int64_t kMaxBlockBytes = 2147480000;

  memory_handling() = default;
  explicit memory_handling(DiagStream* diagnostics) : diag(diagnostics) {}

  virtual Stack matrix3d(int64_t firstRow, int64_t lastRow, int64_t firstColumn, int64_t lastColumn, int64_t levels,
                         int64_t tableSize);
  virtual void FreeMatrix3d(Stack stack, int64_t firstRow, int64_t lastRow);
  // The first column is accepted and not used: columns are always allocated from 0.
  virtual Grid matrix(int64_t firstRow, int64_t lastRow, int64_t firstColumn, int64_t lastColumn, int64_t tableSize);
  virtual void FreeMatrix(Grid grid, int64_t firstRow, int64_t lastRow, int64_t firstColumn, int64_t lastColumn);
  // Zero-filled bytes; on failure AllocError(code), which throws 81.
  virtual void* Alloc(int count, int code);
  [[noreturn]] virtual void AllocError(int code);
  // 0 for x <= 1, else the number of halvings until x <= 1 (= ceil(log2 x)).
  virtual double Log2Ceil(double x);

  // Releases memory from Alloc (a null pointer is ignored).
  static void Free(void* memory);

  // The zero-filling allocator behind every operation above. Tests replace it
  // to exercise the failure paths.
  using Allocator = void* (*)(size_t count, size_t size);
  static Allocator allocator;

  DiagStream* GetDiag() const { return diag; }
  const std::string& GetModuleName() const { return modulname; }

 protected:
  DiagStream* diag = nullptr;
  std::string modulname;

 private:
  struct Block {
    int64_t firstRow;
    int64_t rows;
  };
  // The blocks of rows firstRow ... lastRow for rows of lastColumn + 1 doubles.
  int BlockPlan(int64_t firstRow, int64_t lastRow, int64_t lastColumn, Block* blocks, int maxBlocks);
  [[noreturn]] void Fatal(const char* message, int code);
};
