#include "framework/specialoutput.h"

#include <mpi.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "framework/diagstream.h"
#include "framework/signals.h"
#include "framework/strutil.h"

namespace {

const char* const kSection = "Error in section [special_output]: ";

// Instance 0's outcome, known to every instance, so that all of them go on or
// stop together instead of waiting for one that has stopped.
bool AgreedWithInstanceZero(bool ok) {
  int running = 0;
  MPI_Initialized(&running);
  if (!running) return ok;
  int flag = ok ? 1 : 0;
  MPI_Bcast(&flag, 1, MPI_INT, 0, MPI_COMM_WORLD);
  return flag != 0;
}

// Quantities that the soil, surface and groundwater models produce per
// sub-step; a point of such a grid shows the sum over the sub-steps of a step.
// ("baseflow" is a rate per step in every sub-step: its value at the end of
// the step is the step's.)
const char* const kSubStepNames[] = {"irrigation_amounts",   "macropore_infiltration",
                                     "groundwater_recharge", "Capillar_Uprise",
                                     "Percolation",          "DirectRunoffSiltingUp",
                                     "directflow",           "interflow",
                                     "infiltration_excess",  "total_infiltration",
                                     "drainage_flow",        "river_infiltration",
                                     "river_exfiltration",   "q_down",
                                     "SurfaceRoutingFluxes", "SurfaceRoutingHead",
                                     "SurfaceRoutingQIn",    "SurfaceRoutingQOut",
                                     "gw_flow_x_",           "gw_flow_y_",
                                     "gw_leakage_"};

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Offset of an occurrence of key that stands as an item key: not inside a
// longer name and followed (after blanks) by "=". first: the first such
// occurrence, else the last. npos when there is none.
size_t FindKey(const std::string& text, const std::string& key, bool first) {
  size_t found = std::string::npos;
  for (size_t p = text.find(key); p != std::string::npos; p = text.find(key, p + 1)) {
    if (p > 0 && IsNameChar(text[p - 1])) continue;
    const size_t after = text.find_first_not_of(" \t\r\n", p + key.size());
    if (after == std::string::npos || text[after] != '=') continue;
    found = p;
    if (first) break;
  }
  return found;
}

// The text between the "=" after the key and the next ";"; false when the key is missing.
bool ItemValue(const std::string& text, const std::string& key, bool first, std::string& value) {
  const size_t p = FindKey(text, key, first);
  if (p == std::string::npos) return false;
  const size_t eq = text.find('=', p);
  const size_t end = text.find(';', eq);
  value = text.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
  return true;
}

[[noreturn]] void Fail(DiagStream* diag, const std::string& message, int code) {
  *diag << ("FATAL: " + std::string(kSection) + message) << "[end-entry]";
  throw code;
}

// First word of a scalar item; a missing key fails with 104.
std::string WordItem(DiagStream* diag, const std::string& text, const std::string& key) {
  std::string value;
  std::vector<std::string> words;
  if (!ItemValue(text, key, true, value) || SplitString(value, " \t\r\n", words, false) < 1)
    Fail(diag, "the item \"" + key + " = ...;\" is missing or empty in\n" + text.substr(0, 400), 104);
  return words[0];
}

// Numbers of a list item (the last occurrence of its key); empty when missing.
template <typename T>
std::vector<T> ListItem(DiagStream* diag, const std::string& text, const std::string& key) {
  std::vector<T> list;
  std::string value;
  if (!ItemValue(text, key, false, value)) return list;
  std::vector<std::string> tokens;
  SplitString(value, "\t\r\n ;,", tokens, false);
  for (const std::string& t : tokens) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(t.c_str(), &end);
    const bool integral = std::is_integral_v<T>;
    if (end == t.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v) ||
        (integral && (v != std::floor(v) || std::fabs(v) > 2147483647.0)))
      Fail(diag, "the value \"" + t + "\" of the item " + key + " is not " + (integral ? "an integer" : "a number"),
           104);
    list.push_back(static_cast<T>(v));
  }
  return list;
}

}  // namespace

// ------------------------------------------------------------------ entity

SpecialOutputEntity::SpecialOutputEntity(SpecialOutputFile& file, const std::string& text) {
  SpecialOutputClass& model = file.Owner();
  DiagStream* diag = model.GetDiag();
  ID = WordItem(diag, text, "ID");
  Symbol = WordItem(diag, text, "Symbol");
  X = ListItem<double>(diag, text, "Xcoords");
  Y = ListItem<double>(diag, text, "Ycoords");
  levels = ListItem<int>(diag, text, "Level");
  if (X.size() != Y.size())
    Fail(diag, "count of X coordinates dos not match the number of Y coordinates for entity " + ID, 1006);
  if (!levels.empty() && levels.size() != X.size())
    Fail(diag,
         "number of levels dos not match the number of X and Y coordinates for entity " + ID +
             ". EIther each point has a level or none has.",
         1007);
  // Level 0 is the first layer of a stack; there is none below it.
  for (size_t i = 0; i < levels.size(); ++i)
    if (levels[i] < 0)
      Fail(diag,
           "level " + std::to_string(levels[i]) + ", defined as point " + std::to_string(i) + " for entity " + ID +
               ", is below 0 (the first layer of a stack is 0).",
           1007);

  const double cs = model.CellSize();
  // Columns count from the west edge, rows from the north edge; a point on the
  // west or north edge lies outside, one on the east or south edge inside.
  for (size_t i = 0; i < X.size(); ++i) {
    const double c = std::ceil((X[i] - model.Xll()) / cs);
    if (!(c >= 1 && c <= model.Columns())) {
      *diag << "FATAL: " << kSection << "x-coordinate " << X[i] << ", defined as point " << static_cast<int>(i)
            << " for entity " << ID << ", is located outside the actual grid."
            << "[end-entry]";
      throw 1008;
    }
    columns.push_back(static_cast<int>(c));
  }
  for (size_t i = 0; i < Y.size(); ++i) {
    const double r = model.RowCount() - std::floor((Y[i] - model.Yll()) / cs);
    if (!(r >= 1 && r <= model.RowCount())) {
      *diag << "FATAL: " << kSection << "y-coordinate " << Y[i] << ", defined as point " << static_cast<int>(i)
            << " for entity " << ID << ", is located outside the actual grid."
            << "[end-entry]";
      throw 1008;
    }
    rows.push_back(static_cast<int>(r));
  }
  // A point on the line between two cells belongs to either: say which one it takes.
  for (size_t i = 0; i < X.size() && i < Y.size(); ++i) {
    const double u = (X[i] - model.Xll()) / cs;
    const double v = (Y[i] - model.Yll()) / cs;
    if (u != std::floor(u) && v != std::floor(v)) continue;
    *diag << "WARNING: [special_output]: point " << static_cast<int>(i) << " (x " << X[i] << ", y " << Y[i]
          << ") of entity " << ID << " lies on the edge between cells: its values are those of the cell in row "
          << rows[i] << ", column " << columns[i]
          << " (a point on a cell's east edge belongs to it, one on its south edge too); a point inside the cell, "
             "its centre say, names the cell without doubt"
          << "[end-entry]";
  }

  // The grid list is searched up to the first entry without a value grid.
  const GridListEntry* list = model.List();
  gridindex = 0;
  for (int i = 1; list && i < kGridListMax && list[i].grid; ++i) {
    if (list[i].shortname == ID) {
      gridindex = i;
      break;
    }
  }

  if (model.SubStepCount() > 1)
    for (const char* name : kSubStepNames)
      if (ID.find(name) != std::string::npos) substepentity = true;
}

// -------------------------------------------------------------------- file

SpecialOutputFile::SpecialOutputFile(SpecialOutputClass& model, const std::string& block,
                                     const std::string& outputDirectory)
    : owner(model), diag(model.GetDiag()) {
  header = WordItem(diag, block, "header");
  filename = WordItem(diag, block, "filename");
  owner.OutputPath(outputDirectory, filename);

  std::string rest = block;
  while (rest.find("entity") != std::string::npos) {
    const size_t open = rest.find('{');
    const size_t close = open == std::string::npos ? std::string::npos : rest.find('}', open);
    if (close == std::string::npos)
      Fail(diag, "an entity of file " + filename + " has no braced group \"{ ... }\"", 104);
    entities.push_back(std::make_unique<SpecialOutputEntity>(*this, rest.substr(open + 1, close - open - 1)));
    rest.erase(0, close + 1);
  }

  pointcount = 0;
  for (const auto& e : entities) pointcount += e->PointCount();
  capacity = kBufferBytes / ((static_cast<int64_t>(pointcount) + 1) * 8 + 32);
  if (capacity < 1) capacity = 1;
  rows.resize(static_cast<size_t>(capacity) + 1);
  for (Row& r : rows) r.values.assign(static_cast<size_t>(pointcount) + 1, 0.0);

  const bool created = owner.Rank() != 0 || WriteHeader();
  if (!AgreedWithInstanceZero(created)) throw 1007;
}

SpecialOutputFile::~SpecialOutputFile() {
  if (rowcount > 0 && owner.Rank() == 0)
    *diag << "ERROR: " << rowcount << " rows of the special output file " << filename
          << " were not written (the special output was not released before its end)"
          << "[end-entry]";
}

bool SpecialOutputFile::WriteHeader() {
  std::FILE* f = std::fopen(filename.c_str(), "wt");
  bool ok = f != nullptr;
  if (ok) {
    ok = std::fprintf(f, "YY\tMM\tDD\tHH") >= 0;
    for (const auto& e : entities)
      for (int k = 0; k < e->PointCount(); ++k) {
        ok = ok && std::fprintf(f, "\t%s/%d/%d", e->Symbol.c_str(), e->columns[k], e->rows[k]) >= 0;
        if (e->HasLevels()) ok = ok && std::fprintf(f, "/%d", e->levels[k]) >= 0;
      }
    ok = ok && std::fprintf(f, "\n%s\nYY\tMM\tDD\tHH", header.c_str()) >= 0;
    for (const auto& e : entities)
      for (int k = 0; k < e->PointCount(); ++k) {
        ok = ok && std::fprintf(f, "\t%s/%lg/%lg", e->Symbol.c_str(), e->X[k], e->Y[k]) >= 0;
        if (e->HasLevels()) ok = ok && std::fprintf(f, "/%d", e->levels[k]) >= 0;
      }
    ok = ok && std::fprintf(f, "\n") >= 0;
    ok = (std::fclose(f) == 0) && ok;
  }
  if (!ok) {
    *diag << "FATAL: error opening file for special output of file\n"
          << filename << "\n-> check file name, disk space or user rights"
          << "[end-entry]";
  }
  return ok;
}

double SpecialOutputFile::PointValue(const SpecialOutputEntity& e, int k) const {
  const int row = e.rows[k];
  const int column = e.columns[k];
  if (e.gridindex <= 0 || owner.CellOwner(row, column) != owner.Rank()) return kNodata;
  const GridListEntry& entry = owner.List()[e.gridindex];
  const bool ownRow = row >= owner.FirstRow() && row <= owner.LastRow() && row >= entry.firstrow &&
                      row <= entry.lastrow && column >= 1 && column <= owner.Columns();
  if (!ownRow) return kNodata;
  double value = kNodata;
  if (entry.stack && e.HasLevels()) {
    const int level = e.levels[k];
    if (level > entry.levels || !entry.stack[row] || !entry.stack[row][column]) return kNodata;
    value = entry.stack[row][column][level];
  } else {
    if (!entry.grid || !entry.grid[row]) return kNodata;
    value = entry.grid[row][column];
  }
  // A missing value (not above the missing value) is written as the missing
  // value itself, on one instance as on several (the maximum over the
  // instances would raise one below it to it).
  return value > kNodata ? value : kNodata;
}

void SpecialOutputFile::Collect(int64_t hour, int64_t day, int64_t month, int64_t year, bool subStepCall,
                                int subStepIndex) {
  if (newrow) {
    ++rowcount;
    Row& r = rows[static_cast<size_t>(rowcount)];
    r.year = year;
    r.month = month;
    r.day = day;
    r.hour = hour;
    newrow = false;
  }
  std::vector<double>& slots = rows[static_cast<size_t>(rowcount)].values;
  int v = 0;
  for (const auto& e : entities) {
    for (int k = 0; k < e->PointCount(); ++k) {
      ++v;
      if (subStepCall && !e->substepentity) continue;
      if (!e->substepentity) {
        slots[v] = PointValue(*e, k);
      } else if (subStepCall) {
        const double value = PointValue(*e, k);
        // A missing value in any sub-step leaves the step's sum missing.
        if (subStepIndex <= 1)
          slots[v] = value;
        else if (!(slots[v] > kNodata) || !(value > kNodata))
          slots[v] = kNodata;
        else
          slots[v] += value;
      }
    }
  }
  if (!subStepCall) {
    if (rowcount >= capacity) Write();
    newrow = true;
  }
}

void SpecialOutputFile::Write() {
  IgnoreCtrlC();
  const bool root = owner.Rank() == 0;
  std::FILE* f = nullptr;
  if (root) {
    *diag << "write " << filename << "[end-entry]";
    f = std::fopen(filename.c_str(), "a+");
    if (!f) *diag << "FATAL: \nerror opening file " << filename << "[end-entry]";
  }
  if (!AgreedWithInstanceZero(!root || f)) {
    RearmCtrlCHandler();
    throw 65;
  }
  bool ok = true;
  std::vector<double> reduced(static_cast<size_t>(pointcount) + 1, 0.0);
  for (int64_t i = 1; i <= rowcount; ++i) {
    Row& r = rows[static_cast<size_t>(i)];
    if (root)
      ok = ok && std::fprintf(f, "%ld\t%ld\t%ld\t%ld", static_cast<long>(r.year), static_cast<long>(r.month),
                              static_cast<long>(r.day), static_cast<long>(r.hour)) >= 0;
    if (pointcount > 0)
      MPI_Reduce(r.values.data() + 1, reduced.data() + 1, pointcount, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
    if (root) {
      for (int k = 1; k <= pointcount; ++k) ok = ok && std::fprintf(f, "\t%g", reduced[k]) >= 0;
      ok = ok && std::fprintf(f, "\n") >= 0;
    }
  }
  if (root) {
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
      *diag << "FATAL: write error " << filename << " ! (special output rows could not be written)"
            << "[end-entry]";
  }
  if (!AgreedWithInstanceZero(ok)) {
    RearmCtrlCHandler();
    throw 18;
  }
  if (root) {
    *diag << "(" << static_cast<long long>((static_cast<int64_t>(pointcount) * 8 + 32) * rowcount) << " of "
          << static_cast<long long>(kBufferBytes) << " buffer-bytes)"
          << "[end-entry]";
  }
  rowcount = 0;
  RearmCtrlCHandler();
}

// ------------------------------------------------------------------ module

SpecialOutputClass::SpecialOutputClass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                                       const std::string& workFileName, const SubModelArgs& common,
                                       const std::string& outputDirectory, int subSteps)
    : teilmodellklasse(diagnostics, "special_output", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  try {
    if (flowcontrol == 0) return;
    *diag << "file teilmod, compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    regionsindex = FindGrid("MPIRegions", false);
    ReadSection(outputDirectory);
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 104;
  }
  controlfile.Close();
  if (error != 0) files.clear();
}

SpecialOutputClass::~SpecialOutputClass() = default;

void SpecialOutputClass::ReadSection(const std::string& outputDirectory) {
  std::string line;
  if (!controlfile.GetLine(line)) {
    *diag << "FATAL: " << kSection << "end of the control file before the item \"numfiles = ...;\""
          << "[end-entry]";
    throw 104;
  }
  std::string value;
  std::vector<std::string> words;
  char* end = nullptr;
  long numfiles = -1;
  if (ItemValue(line, "numfiles", true, value) && SplitString(value, " \t\r\n", words, false) > 0)
    numfiles = std::strtol(words[0].c_str(), &end, 10);
  if (words.empty() || *end != '\0' || numfiles < 0 || numfiles > 2147483647L) {
    *diag << "FATAL: " << kSection << "the line after the time interval has to hold \"numfiles = <count>;\" "
          << "with a count of 0 or more (" << controlfile.Where().c_str() << ")"
          << "[end-entry]";
    throw 104;
  }
  for (int i = 1; i <= numfiles; ++i) {
    const std::string block = ReadBlock(i);
    files.push_back(std::make_unique<SpecialOutputFile>(*this, block, outputDirectory));
  }
}

std::string SpecialOutputClass::ReadBlock(int fileNumber) {
  std::string block;
  std::string line;
  auto next = [&]() {
    if (!controlfile.GetLine(line)) {
      *diag << "FATAL: " << kSection << "the control file ends inside the block of output file " << fileNumber
            << "; each file block ends with \"}\""
            << "[end-entry]";
      throw 104;
    }
  };
  // Blank lines between two blocks do not open a block.
  do next();
  while (line.find_first_not_of(" \t\r\n") == std::string::npos);
  block = line;
  int depth = 1;
  while (!(depth < 1 && block.find('}') != std::string::npos)) {
    next();
    block += line;
    if (line.find('{') != std::string::npos) ++depth;
    if (line.find('}') != std::string::npos) --depth;
  }
  return block;
}

int SpecialOutputClass::CellOwner(int row, int column) const {
  if (regionsindex <= 0) return (row >= firstrow && row <= lastrow) ? mpirank : -1;
  const GridListEntry& e = gridlist[regionsindex];
  if (!e.grid || row < e.firstrow || row > e.lastrow || !e.grid[row] || column < 1 || column > ncols) return -1;
  return static_cast<int>(e.grid[row][column]);
}

void SpecialOutputClass::Collect(int64_t hour, int64_t day, int64_t month, int64_t year, bool subStepCall,
                                 int subStepIndex) {
  for (auto& f : files) f->Collect(hour, day, month, year, subStepCall, subStepIndex);
}

void SpecialOutputClass::Flush() {
  for (auto& f : files)
    if (f->BufferedRows() > 0) f->Write();
}

void SpecialOutputClass::FreeMemory() {
  // The rows still buffered are written first (every instance together); a
  // failure is thrown once everything is released.
  int failure = 0;
  for (auto& f : files) {
    if (f->BufferedRows() == 0) continue;
    try {
      f->Write();
    } catch (int code) {
      if (failure == 0) failure = code;
    }
  }
  files.clear();
  teilmodellklasse::FreeMemory();
  if (failure != 0) throw failure;
}
