#include "tests/support/modeloutput.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/testutil.h"

namespace fluvextest {

std::vector<std::vector<std::string>> Rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> row;
    std::string w;
    while (words >> w) row.push_back(w);
    rows.push_back(row);
  }
  return rows;
}

namespace {

// The twelve header values and the values after them of a binary file of
// doubles or floats (told apart by the no-data value -9999 in the sixth
// header place); false when the file is neither.
bool ReadBinary(const std::string& bytes, double header[12], std::vector<double>& values) {
  if (bytes.size() >= 96) {
    double h[12];
    std::memcpy(h, bytes.data(), sizeof h);
    if (h[5] == -9999) {
      std::memcpy(header, h, sizeof h);
      values.resize((bytes.size() - 96) / 8);
      std::memcpy(values.data(), bytes.data() + 96, values.size() * 8);
      return true;
    }
  }
  if (bytes.size() >= 48) {
    float h[12];
    std::memcpy(h, bytes.data(), sizeof h);
    if (h[5] == -9999.0f) {
      for (int i = 0; i < 12; ++i) header[i] = h[i];
      std::vector<float> f((bytes.size() - 48) / 4);
      std::memcpy(f.data(), bytes.data() + 48, f.size() * 4);
      values.assign(f.begin(), f.end());
      return true;
    }
  }
  return false;
}

// Header words and values of an ASCII grid (six pairs) or stack (twelve).
bool ReadText(const std::string& text, int pairs, double header[12], std::vector<double>& values) {
  std::istringstream in(text);
  std::string word;
  for (int i = 0; i < pairs; ++i)
    if (!(in >> word >> header[i])) return false;
  double x;
  while (in >> x) values.push_back(x);
  return true;
}

}  // namespace

GridFile ReadGridFile(const std::string& path) {
  GridFile g;
  const std::string bytes = ReadFile(path);
  double header[12] = {};
  std::vector<double> values;
  const bool ok =
      bytes.compare(0, 4, "ncol") == 0 ? ReadText(bytes, 6, header, values) : ReadBinary(bytes, header, values);
  if (!ok) return g;
  const int ncols = static_cast<int>(header[0]), nrows = static_cast<int>(header[1]);
  if (ncols <= 0 || nrows <= 0 || values.size() != static_cast<size_t>(ncols) * static_cast<size_t>(nrows)) return g;
  g.ncols = ncols;
  g.nrows = nrows;
  g.cellsize = header[4];
  g.nodata = header[5];
  // A file's own NODATA_value marks its missing cells: they read as -9999,
  // whatever number the header names.
  if (g.nodata != -9999)
    for (double& v : values)
      if (v == g.nodata) v = -9999;
  g.values = std::move(values);
  return g;
}

StackFile ReadStackFile(const std::string& path) {
  StackFile s;
  const std::string bytes = ReadFile(path);
  double header[12] = {};
  std::vector<double> values;
  const bool ok =
      bytes.compare(0, 5, "stack") == 0 ? ReadText(bytes, 12, header, values) : ReadBinary(bytes, header, values);
  if (!ok) return s;
  const int ncols = static_cast<int>(header[0]), nrows = static_cast<int>(header[1]);
  const int levels = static_cast<int>(header[11]);
  if (ncols <= 0 || nrows <= 0 || levels < 0 ||
      values.size() != static_cast<size_t>(ncols) * static_cast<size_t>(nrows) * static_cast<size_t>(levels + 1))
    return s;
  s.ncols = ncols;
  s.nrows = nrows;
  s.levels = levels;
  s.values = std::move(values);
  return s;
}

std::vector<std::string> StorageSection(const std::string& text, const std::string& name) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') {
      if (inside) break;
      inside = line.compare(0, name.size() + 2, "[" + name + "]") == 0;
      continue;
    }
    if (inside) lines.push_back(line);
  }
  return lines;
}

std::vector<double> LeadingNumbers(const std::string& line) {
  std::vector<double> numbers;
  std::istringstream words(line);
  std::string w;
  while (words >> w) {
    char* end = nullptr;
    const double x = std::strtod(w.c_str(), &end);
    if (end != w.c_str() + w.size()) break;
    numbers.push_back(x);
  }
  return numbers;
}

}  // namespace fluvextest
