// Code checks of the code grids ("soil_types", "landuse", "irrigation_codes")
// and the irrigation sections [irrigation] and [irrigation_table].
//
// After the checks every cell of a code grid holds the 1-based index of its
// table entry, so that a sub-model finds the entry of a cell as
// table[integer part of the cell value].
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <sstream>
#include <vector>

#include "application/defltuzr.h"
#include "framework/diagstream.h"

namespace {

const std::string kRule(71, '-');

// Codes of table entries 1 ... n at positions 1 ... n (position 0 unused).
template <typename Entry>
std::vector<int> TableCodes(const Entry* table) {
  std::vector<int> codes(1, 0);
  if (!table) return codes;
  const int n = table[0].code;
  for (int k = 1; k <= n; ++k) codes.push_back(table[k].code);
  return codes;
}

int TableIndex(const std::vector<int>& codes, double code) {
  for (size_t k = 1; k < codes.size(); ++k)
    if (codes[k] == code) return static_cast<int>(k);
  return 0;
}

struct CodeCheck {
  const char* first;   // message before the check
  const char* second;  // message before the replacement, followed by the grid's file name
  bool positiveOnly;   // only values greater than 0 are looked up
  // The fatal entry for an unknown value, without "[end-entry]".
  std::function<std::string(double value, const std::string& file, const std::string& shortName)> unknown;
  int code;
  const char* kind;  // "land use", "soil type", ... for messages
};

// Reads an integer (or a double) from text at offset; false when there is none.
bool NumberAt(const std::string& text, size_t offset, long& value) {
  if (offset >= text.size()) return false;
  const char* start = text.c_str() + offset;
  char* end = nullptr;
  value = std::strtol(start, &end, 10);
  return end != start;
}
bool NumberAt(const std::string& text, size_t offset, double& value) {
  if (offset >= text.size()) return false;
  const char* start = text.c_str() + offset;
  char* end = nullptr;
  value = std::strtod(start, &end);
  return end != start;
}
// Two integers ("%d%d") from text at offset.
bool TwoNumbersAt(const std::string& text, size_t offset, long& a, long& b) {
  if (offset >= text.size()) return false;
  const char* start = text.c_str() + offset;
  char* end = nullptr;
  a = std::strtol(start, &end, 10);
  if (end == start) return false;
  const char* second = end;
  b = std::strtol(second, &end, 10);
  return end != second;
}

}  // namespace

// Checks every code of the grid at position against the table codes, then
// replaces each code by its index. Runs on instance 0, which holds the whole
// grid; the result is scattered to the other instances.
static void CheckAndReplace(defaultini& setup, DiagStream& diag, GridListEntry* list, int position, int ncols,
                            int nrows, double nodata, int rank, const std::vector<int>& codes, const CodeCheck& check,
                            const std::function<void()>& afterReplace) {
  GridListEntry& entry = list[position];
  Grid grid = entry.grid;
  if (rank == 0) {
    Grid zone = list[1].grid;
    std::vector<double> copy(static_cast<size_t>(nrows + 1) * static_cast<size_t>(ncols + 1), nodata);
    auto at = [&](int r, int c) -> double& { return copy[static_cast<size_t>(r) * (ncols + 1) + c]; };
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) at(r, c) = grid[r][c];
    diag << check.first << "[end-entry]";
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (!(zone[r][c] > nodata)) continue;
        const double value = at(r, c);
        if (check.positiveOnly && !(value > 0.0)) continue;
        // A code names a table entry: 2.5 is none (its integer part would
        // pass for code 2 where another reader finds no entry).
        if (value != std::trunc(value)) {
          diag << "FATAL: " << check.kind << " " << value << " in grid " << entry.filename << " (" << entry.shortname
               << "), row " << r << ", column " << c
               << ", is no whole number: the grid holds the codes of the table's entries"
               << "[end-entry]";
          throw check.code;
        }
        if (TableIndex(codes, value) == 0) {
          diag << check.unknown(value, entry.filename, entry.shortname) << "[end-entry]";
          throw check.code;
        }
      }
    }
    diag << check.second << entry.filename << "[end-entry]";
    // Cells outside the zone (not checked) are replaced by their integer
    // part's index too. The copy keeps every cell from being replaced twice.
    for (size_t k = 1; k < codes.size(); ++k) {
      if (codes[k] == static_cast<int>(k)) continue;
      diag << codes[k] << " replaced by " << static_cast<int>(k) << " ..."
           << "[end-entry]";
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
          if (std::trunc(at(r, c)) == codes[k]) grid[r][c] = static_cast<double>(k);
    }
  }
  if (afterReplace) afterReplace();
  setup.MPIScatterGrid(position, grid);
  setup.MPIExchangeBorders(position, grid);
}

void defaultini::ReadIrrigation(int mode) {
  if (mode >= 2) ReadIrrigationTable();
}

void defaultini::CheckLanduseGrid(int position) {
  if (position != 0) CheckLanduseCodes(position);
}

void defaultini::check_irrig_Codes(int position) {
  if (position != 0) CheckIrrigationCodes(position);
}

void defaultini::check_SOIL_Codes(int position) {
  if (position == 0) return;
  CodeCheck check{"1.: checking soil type codes",
                  "2.:replacing soil type codes ",
                  false,
                  [control = UserControlFile()](double value, const std::string& file, const std::string& shortName) {
                    std::ostringstream s;
                    s << "FATAL: \n"
                      << kRule << "\nsoil type " << value << " in grid " << file << " (" << shortName
                      << ")\nis not present in the control file \n"
                      << kRule << "\n([soil_table] of the control file " << control << ")\n\n";
                    return s.str();
                  },
                  32,
                  "soil type"};
  CheckAndReplace(*this, *diag, gridlist, position, ncols, nrows, nodata, mpirank, TableCodes(soiltable.get()), check,
                  nullptr);
}

void defaultini::CheckIrrigationCodes(int position) {
  std::vector<int> codes(1, 0);
  for (size_t k = 1; k < irrigationtable.size(); ++k) codes.push_back(irrigationtable[k].code);
  CodeCheck check{"1.: checking codes in irrigation grid",
                  "2.:replacing codes in irrigation grid ",
                  true,
                  [control = UserControlFile()](double value, const std::string& file, const std::string& shortName) {
                    std::ostringstream s;
                    s << "FATAL: \n"
                      << kRule << "\nirrigation type " << value << " in grid " << file << " (" << shortName
                      << ")\nis not present in the irrigation table in the control file \n"
                      << kRule << "\n([irrigation_table] of the control file " << control << ")\n\n";
                    return s.str();
                  },
                  31,
                  "irrigation type"};
  CheckAndReplace(*this, *diag, gridlist, position, ncols, nrows, nodata, mpirank, codes, check, nullptr);
}

void defaultini::CheckLanduseCodes(int position) {
  multilayer_landuse_entry* multi = multilayertable.get();
  const bool layered = multi != nullptr;
  const std::vector<int> landuseCodes = TableCodes(landusetable.get());
  const char* where = layered ? ")\nis not present in the multilayer-landuse-table in the control file \n"
                              : ")\nis not present in the land use table in the control file \n";
  CodeCheck check{"1.: checking codes in land use grid",
                  "2.:replacing codes in land use grid ",
                  false,
                  [where, layered, control = UserControlFile()](double value, const std::string& file,
                                                                const std::string& shortName) {
                    std::ostringstream s;
                    s << "FATAL: \n"
                      << kRule << "\nland use " << value << " in grid " << file << " (" << shortName << where << kRule
                      << "\n(" << (layered ? "[multilayer_landuse]" : "[landuse_table]") << " of the control file "
                      << control << ")\n\n";
                    return s.str();
                  },
                  layered ? 311 : 31,
                  "land use"};
  const int entries = layered ? multi[0].code : 0;
  // Layer codes of the multi-layer entries become land-use table indexes.
  auto layers = [&]() {
    if (!layered) return;
    if (mpirank == 0) {
      for (int e = 1; e <= entries; ++e) {
        const int* read = multi[e].GetLayerCodes();
        for (int i = 1; i <= multi[e].count; ++i) {
          const int layerCode = read ? read[i] : static_cast<int>(nodata);
          if (layerCode > nodata) {
            if (TableIndex(landuseCodes, layerCode) == 0) {
              *diag << "FATAL: \n"
                    << kRule << "\nError: not all layer codes from landuse " << multi[e].code
                    << " from MultiLayer_Landuse-Table\nare present in the landuse-table in the control file: Here, "
                       "code "
                    << layerCode << " is missing.\n"
                    << kRule << "\n\n"
                    << "[end-entry]";
              throw 312;
            }
          } else if (i == 1) {
            *diag << "FATAL: \n\n"
                  << kRule
                  << "\nError: the first Layer code of each MultiLayer-Landuse Entry \nmust be a valid entry (not "
                     "9999 or larger):\nHere, line "
                  << e << " contains " << layerCode << " as first layer code.\n"
                  << kRule << "\n\n"
                  << "[end-entry]";
            throw 312;
          }
        }
      }
      for (size_t k = 1; k < landuseCodes.size(); ++k) {
        if (landuseCodes[k] == static_cast<int>(k)) continue;
        for (int e = 1; e <= entries; ++e) {
          const int* read = multi[e].GetLayerCodes();
          int* index = multi[e].GetLayerIndexes();
          if (!read || !index) continue;
          for (int i = 1; i <= multi[e].count; ++i) {
            if (read[i] != landuseCodes[k]) continue;
            index[i] = static_cast<int>(k);
            *diag << "Code replacement in MultiLayer-Landuse " << e << ": changed Layer-Code #" << i << " from "
                  << landuseCodes[k] << " to " << static_cast<int>(k) << "[end-entry]";
          }
        }
      }
    }
    for (int e = 1; e <= entries; ++e) {
      int* index = multi[e].GetLayerIndexes();
      if (index) MPI_Bcast(index, multi[e].count + 1, MPI_INT, 0, MPI_COMM_WORLD);
    }
  };
  CheckAndReplace(*this, *diag, gridlist, position, ncols, nrows, nodata, mpirank,
                  layered ? TableCodes(multi) : landuseCodes, check, layers);
}

void defaultini::ReadIrrigationTable() {
  irrigationtable.clear();
  FindSection("[irrigation]", true);
  int sw = 0;
  ReadValue(controlfile, "%d", &sw, "irrigation switch in [irrigation]", linebuffer);
  irrigationswitch = sw;
  if (sw == 0) return;

  FindSection("[irrigation_table]", true);
  int count = 0;
  if (controlfile.Scan("%d", {&count}) != 1 || count < 0)
    Fatal("FATAL: the number of irrigation codes in [irrigation_table] (" + controlfile.Where() +
              ") could not be read as a number of 0 or more\n",
          29);
  irrigationtable.assign(1, IrrigationTable{});
  irrigationtable[0].code = count;
  for (int k = 1; k <= count; ++k) {
    irrigationtable.emplace_back();
    IrrigationTable& t = irrigationtable.back();
    t.code = k;
    const std::string where = "FATAL: for irrigation code " + std::to_string(k);
    std::string name;
    // The name holds at most 50 characters; a longer word cannot be read.
    if (controlfile.Scan("%d%s%d%d", {&t.code, &name, &t.method, &t.origin}) != 4 || name.size() > 50)
      Fatal(where + ": code, name, method, or origin could not be read correctly\n", 29);
    t.name = name;
    if (t.method == 4) {
      if (controlfile.Scan("%lf", {&t.min_etr_etp}) != 1)
        Fatal(where + ": min(ETR/ETP) could not be read correctly\n", 29);
      t.psi_dry = 20.0;
      t.psi_wet = 3.45;
    } else if (controlfile.Scan("%lf%lf", {&t.psi_dry, &t.psi_wet}) != 2) {
      Fatal(where + ": psi_dry or psi_wet could not be read correctly\n", 29);
    }
    if (t.method == 1) {
      int n = 0;
      if (controlfile.Scan("%d", {&n}) != 1 || n < 0) Fatal(where + ": tabcnt could not be read correctly\n", 29);
      for (int i = 1; i <= n; ++i) {
        long m = 0, d = 0;
        double amount = 0;
        if (controlfile.Scan("%ld%ld%lf", {&m, &d, &amount}) != 3) {
          const std::string index = std::to_string(i);
          Fatal(where + " month[" + index + "] or day[" + index + "] or amount[" + index + "] could not be read\n", 29);
        }
        if (t.month.empty()) {
          t.month.assign(1, 0);
          t.day.assign(1, 0);
          t.amount.assign(1, 0.0);
        }
        t.month.push_back(m);
        t.day.push_back(d);
        t.amount.push_back(amount);
      }
      t.n = n;
    } else if (t.method == 2) {
      std::string rest;
      controlfile.RestOfLine(rest);
      ReadIrrigationRules(rest, t, k);
    }
  }
}

// The two rule forms:
//   starting from MM DD with XX mm to MM DD with YY mm every ZZ day
//   starting from MM DD with XX mm AA times every ZZ days
// Several rules may follow each other on the line; each is read up to the
// next "starting from", so the keywords of one rule never come from the next.
void defaultini::ReadIrrigationRules(const std::string& line, IrrigationTable& t, int k) {
  const std::string kStart = "starting from";
  size_t start = line.find(kStart);
  if (start == std::string::npos) IrrigationDescriptionError(k);
  auto fail = [&](const std::string& what) {
    *diag << "FATAL: irrigation rule of irrigation code " << k << ": " << what << "[end-entry]";
    IrrigationDescriptionError(k);
  };
  // Month 1 ... 12 and day 1 ... length of the month; values outside are cut to the limits.
  auto clampDate = [&](long& m, long& d) {
    m = std::clamp(m, 1L, 12L);
    d = std::clamp(d, 1L, static_cast<long>(MonthLength(static_cast<int>(m))));
  };
  if (t.month.empty()) {
    t.month.assign(1, 0);
    t.day.assign(1, 0);
    t.amount.assign(1, 0.0);
  }
  while (start != std::string::npos) {
    const size_t next = line.find(kStart, start + kStart.size());
    const std::string rule = line.substr(start, next == std::string::npos ? std::string::npos : next - start);
    const size_t to = rule.find("to");
    const size_t times = rule.find("times");
    if (to == std::string::npos && times == std::string::npos) {
      *diag << "FATAL: none of the keywords \"to\" or \"times\" could be found!\n"
            << "[end-entry]";
      IrrigationDescriptionError(k);
    }
    long sm = 0, sd = 0;
    if (!TwoNumbersAt(rule, 14, sm, sd)) fail("no start month and day after \"starting from\"");
    clampDate(sm, sd);
    const size_t with = rule.find("with");
    if (with == std::string::npos) IrrigationDescriptionError(k);
    double xx = 0, yy = 0;
    if (!NumberAt(rule, with + 5, xx)) fail("no amount after \"with\"");
    long em = 12, ed = 31, count = 0, every = 0;
    const bool toForm = to != std::string::npos && to > with;
    if (toForm) {
      if (!TwoNumbersAt(rule, to + 3, em, ed)) fail("no end month and day after \"to\"");
      clampDate(em, ed);
      const size_t with2 = rule.find("with", to);
      if (with2 == std::string::npos || !NumberAt(rule, with2 + 5, yy)) fail("no amount after the second \"with\"");
    } else {
      if (times == std::string::npos) {
        *diag << "FATAL: none of the keywords \"to\" or \"times\" could be found!\n"
              << "[end-entry]";
        IrrigationDescriptionError(k);
      }
      yy = xx;
      const size_t mm = rule.find("mm", with);
      if (mm == std::string::npos || !NumberAt(rule, mm + 3, count)) fail("no count before \"times\"");
      if (count < 1) fail("the count before \"times\" has to be 1 or more");
      // The schedule length of the table is a 32-bit count.
      if (count > std::numeric_limits<int>::max() - static_cast<long>(t.month.size()))
        fail("the count before \"times\" is more than a schedule can hold");
      try {
        const size_t size = t.month.size() + static_cast<size_t>(count);
        t.month.reserve(size);
        t.day.reserve(size);
        t.amount.reserve(size);
      } catch (const std::bad_alloc&) {
        AllocError(1);
      }
    }
    const size_t every_at = rule.find("every");
    if (every_at == std::string::npos || !NumberAt(rule, every_at + 6, every)) fail("no step after \"every\"");
    // The step is the loop step of the schedule: 0 or less would never end it.
    if (every < 1) fail("the step after \"every\" has to be 1 day or more");

    const size_t first = t.month.size();
    t.month.push_back(sm);
    t.day.push_back(sd);
    t.amount.push_back(xx);
    long m = sm, d = sd;
    for (;;) {
      if (!toForm && static_cast<long>(t.month.size() - first) >= count) break;
      long nm = m, nd = d + every;
      if (nd > MonthLength(static_cast<int>(m))) {
        nd -= MonthLength(static_cast<int>(m));
        ++nm;
        if (nm > 12) {
          // A schedule of the "to" form ends with the year; one of the
          // "times" form goes on in January.
          if (toForm) break;
          nm = 1;
        }
      }
      if (nd > MonthLength(static_cast<int>(nm)))
        fail("the step of " + std::to_string(every) +
             " days passes more than one month's end; "
             "choose a step shorter than a month");
      if (toForm && (nm > em || (nm == em && nd > ed))) break;
      t.month.push_back(nm);
      t.day.push_back(nd);
      t.amount.push_back(xx);
      m = nm;
      d = nd;
    }
    const size_t last = t.month.size() - 1;
    t.amount[last] = yy;
    for (size_t j = first + 1; j < last; ++j)
      t.amount[j] = xx * static_cast<double>(last - j) / static_cast<double>(last - first) +
                    yy * static_cast<double>(j - first) / static_cast<double>(last - first);
    start = next;
  }
  t.n = static_cast<int>(t.month.size()) - 1;
}
