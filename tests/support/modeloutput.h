// Readers of what the fluvex program writes, for the tests that run it:
// tables (statistics files, reservoir and abstraction tables), grid and stack
// files in every format the program writes, and sections of the storage
// content file.
#pragma once

#include <string>
#include <vector>

namespace fluvextest {

// Words of every line of a text, blank-separated.
std::vector<std::vector<std::string>> Rows(const std::string& text);

// A grid file: rows 1..nrows of ncols values each, row 1 first (the top row).
struct GridFile {
  int ncols = 0;
  int nrows = 0;
  double cellsize = 0;
  double nodata = -9999;
  std::vector<double> values;  // row-major, (row - 1) * ncols + (col - 1)
  double at(int row, int col) const { return values[static_cast<size_t>((row - 1) * ncols + (col - 1))]; }
};

// Reads an ASCII, binary float or binary double grid file, its missing
// cells (its NODATA_value) as -9999; an empty grid (ncols 0) when the file
// is missing or cannot be read whole.
GridFile ReadGridFile(const std::string& path);

// A stack file: levels 0..levels of every cell.
struct StackFile {
  int ncols = 0;
  int nrows = 0;
  int levels = 0;
  std::vector<double> values;  // per cell in row-major order, levels 0..levels together
  double at(int row, int col, int level) const {
    return values[static_cast<size_t>(((row - 1) * ncols + (col - 1)) * (levels + 1) + level)];
  }
};

// Reads an ASCII, binary float or binary double stack file; empty (ncols 0)
// when the file is missing or cannot be read whole.
StackFile ReadStackFile(const std::string& path);

// The lines of the section [name] of a storage content file, without the
// line of its name, up to the next section or the end of the file; empty
// when the section is missing.
std::vector<std::string> StorageSection(const std::string& text, const std::string& name);

// The numbers that start a line (up to its first word that is no number).
std::vector<double> LeadingNumbers(const std::string& line);

}  // namespace fluvextest
