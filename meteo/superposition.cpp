// Regional superposition of grids.
#include "meteo/superposition.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"

namespace {

const char* const kBlanks = " \t\r\n";

std::string FirstWord(const std::string& text) {
  const size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string::npos) return "";
  const size_t end = text.find_first_of(kBlanks, begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> tokens;
  size_t p = 0;
  while (p < text.size()) {
    const size_t begin = text.find_first_not_of(" \t\r\n;,", p);
    if (begin == std::string::npos) break;
    size_t end = text.find_first_of(" \t\r\n;,", begin);
    if (end == std::string::npos) end = text.size();
    tokens.push_back(text.substr(begin, end - begin));
    p = end;
  }
  return tokens;
}

bool WholeInteger(const std::string& token, long& value) {
  if (token.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtol(token.c_str(), &end, 10);
  return errno == 0 && end && *end == '\0' && value >= -2147483647L && value <= 2147483647L;
}

bool WholeNumber(const std::string& token, double& value) {
  if (token.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(token.c_str(), &end);
  return errno == 0 && end && *end == '\0' && std::isfinite(value);
}

}  // namespace

// ---------------------------------------------------------------------------
// RegionalSuperposition

RegionalSuperposition::RegionalSuperposition(DiagStream* diagnostics, const std::string& workFileName,
                                             const SubModelArgs& common, int regionCount, const int* regionTable,
                                             int maxRegionCode, StatRecord* registry, int registryCapacity)
    : teilmodellklasse(diagnostics, "RegionalSuperposition", workFileName, 0, common, 1, false),
      RegionCount(regionTable ? std::max(0, regionCount) : 0),
      Registry(registry),
      RegistryCapacity(registryCapacity) {
  if (regionTable && maxRegionCode >= 0) RegionTable.assign(regionTable, regionTable + maxRegionCode + 1);
  if (flowcontrol == 0) return;
  std::string line;
  const bool got = controlfile.GetLine(line);
  const size_t key = got ? line.find("NumberOfEntities") : std::string::npos;
  long count = -1;
  if (key != std::string::npos) {
    const size_t eq = line.find('=', key);
    const size_t semi = eq == std::string::npos ? std::string::npos : line.find(';', eq);
    if (semi != std::string::npos) {
      const std::string value = FirstWord(line.substr(eq + 1, semi - eq - 1));
      if (!WholeInteger(value, count)) count = -1;
    }
  }
  if (count < 0) {
    *diag << "FATAL: could not read \"NumberOfEntities\" keyword in section [" << modulname.c_str() << "]\n\n"
          << "(expected a line \"NumberOfEntities = <count of entities, 0 or more>;\" in "
          << controlfile.Where().c_str() << ")"
          << "[end-entry]";
    throw 133;
  }
  NumberOfEntities = static_cast<int>(count);
  for (int e = 1; e <= NumberOfEntities; ++e) {
    std::string text;
    std::string piece;
    while (text.find('}') == std::string::npos) {
      if (!controlfile.GetLine(piece)) {
        *diag << "FATAL: error in control file, section [" << modulname.c_str() << "]: entity " << e << " of "
              << NumberOfEntities << " has no closing \"}\" before the end of " << UserControlFile().c_str()
              << "[end-entry]";
        throw 17;
      }
      text += piece;
    }
    try {
      Entities.push_back(std::make_unique<cSuperposition>(this, text));
    } catch (...) {
      // The entities built so far leave the grid list again.
      for (auto& built : Entities) built->Discard();
      Entities.clear();
      throw;
    }
  }
  if (!controlfile.Close()) {
    *diag << "FATAL: error closing " << controlfilename.c_str() << "[end-entry]";
    throw 11;
  }
}

void RegionalSuperposition::FreeMemory() {
  if (flowcontrol != 0) {
    for (auto& e : Entities) e->FreeBuffers();
    Entities.clear();
  }
  modelobject::FreeMemory();
}

void RegionalSuperposition::run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  // The step's date; the date held by SetDate stays the end of the run.
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  if (flowcontrol == 0) return;
  for (auto& e : Entities) e->Superpose(stepHour, stepDay, stepMonth, stepYear);
}

void RegionalSuperposition::WriteGrids() {
  if (flowcontrol == 0) return;
  for (auto& e : Entities) e->WriteGrids();
}

void RegionalSuperposition::WriteStatistics() {
  if (flowcontrol == 0) return;
  for (auto& e : Entities) e->WriteStatistics();
}

// ---------------------------------------------------------------------------
// cSuperposition

cSuperposition::cSuperposition(RegionalSuperposition* owner, const std::string& text) : Owner(owner), Text(text) {
  RegionalSuperposition& o = *Owner;
  DiagStream* diag = o.diag;
  const size_t brace = Text.find('{');
  if (brace != std::string::npos) Name = FirstWord(Text.substr(0, brace));
  if (Name.empty()) FormatError("an entity begins with its name and \"{\"");
  o.BindMPIRegionGrids();
  const int n = o.RegionCount;
  const std::string& section = o.modulname;

  size_t from = brace + 1;
  for (;;) {
    const size_t next = Text.find("entityinputgrid", from);
    if (next == std::string::npos) break;
    Item item;
    std::string value;
    Value("entityinputgrid", from, value);
    item.gridName = FirstWord(value);
    item.position = o.GetGrid(item.gridName);
    item.grid = o.gridlist[item.position].grid;
    if (!item.grid) FormatError("the input grid " + item.gridName + " holds no grid");
    const size_t following = Text.find("entityinputgrid", from);
    if (!Value("regions", from, value) || (following != std::string::npos && from > following))
      FormatError("the input grid " + item.gridName + " has no \"regions = ...;\"");
    const std::vector<std::string> codes = SplitList(value);
    if (static_cast<int>(codes.size()) != n) {
      *diag << "FATAL: \nerror reading regions in " << section.c_str() << " entity: " << Name.c_str() << ", inputgrid "
            << item.gridName.c_str() << "\nThe number of regions here (" << static_cast<long>(codes.size())
            << ") does not equal the number of"
            << "\nregions in the regiongrid (" << n << ")\n"
            << "[end-entry]";
      throw 134;
    }
    item.regions.assign(static_cast<size_t>(n) + 1, 0);
    for (int i = 1; i <= n; ++i) {
      long code = 0;
      if (!WholeInteger(codes[static_cast<size_t>(i) - 1], code))
        FormatError("region code \"" + codes[static_cast<size_t>(i) - 1] + "\" of the input grid " + item.gridName +
                    " is no whole number");
      item.regions[static_cast<size_t>(i)] = static_cast<int>(code);
      const int position = RegionPosition(static_cast<double>(code));
      if (position == i) continue;
      if (position > 0) {
        long expected = 0;
        for (size_t c = 0; c < o.RegionTable.size(); ++c)
          if (o.RegionTable[c] == i) expected = static_cast<long>(c);
        *diag << "FATAL: \nerror reading regions in " << section.c_str() << " entity: " << Name.c_str()
              << ", inputgrid " << item.gridName.c_str() << "\nregion on position " << i
              << " in the region list should have value " << expected << "\nbut was read as " << code
              << "\nAll regions must be listet in ascending order here\n"
              << "regardless of their actual weight for this superposition instance\n"
              << "[end-entry]";
      } else {
        *diag << "FATAL: \nerror reading regions in " << section.c_str() << " entity: " << Name.c_str()
              << ", inputgrid " << item.gridName.c_str() << "\nregion on position " << i << " was read as " << code
              << "\nThere is now region with this code in the region grid\n"
              << "\nOnly the region codes from the region grid must be listet in ascending order here\n"
              << "regardless of their actual weight for this superposition instance\n"
              << "[end-entry]";
      }
      throw 134;
    }
    if (!Value("weights", from, value) || (following != std::string::npos && from > following))
      FormatError("the input grid " + item.gridName + " has no \"weights = ...;\"");
    const std::vector<std::string> weights = SplitList(value);
    if (weights.size() != codes.size()) {
      *diag << "FATAL: \nerror reading weights for regions in " << section.c_str() << " entity: " << Name.c_str()
            << ", inputgrid " << item.gridName.c_str() << "\nThe number of regions (" << static_cast<long>(codes.size())
            << ") does not equal the number of weights (" << static_cast<long>(weights.size()) << ")\n"
            << "[end-entry]";
      throw 135;
    }
    item.weights.assign(static_cast<size_t>(n) + 1, 0.0);
    for (int i = 1; i <= n; ++i) {
      double w = 0;
      if (!WholeNumber(weights[static_cast<size_t>(i) - 1], w))
        FormatError("weight \"" + weights[static_cast<size_t>(i) - 1] + "\" of the input grid " + item.gridName +
                    " is no number");
      item.weights[static_cast<size_t>(i)] = w;
    }
    Items.push_back(item);
  }
  for (int r = 1; r <= n; ++r) {
    double sum = 0;
    for (const Item& item : Items) sum += item.weights[static_cast<size_t>(r)];
    if (std::fabs(sum - 1.0) > 0.0001) {
      *diag << "FATAL: \nerror reading weights for regions in " << section.c_str() << "\nentity: " << Name.c_str()
            << "\nregion " << r << ": The sum of all weights is not 1.0 but " << sum << " \n"
            << "[end-entry]";
      throw 135;
    }
  }

  std::string value;
  if (!Value("outputgrid", from, value)) FormatError("the key \"outputgrid\" is missing");
  OutputFile = FirstWord(value);
  long number = 0;
  if (!Value("writecode", from, value)) FormatError("the key \"writecode\" is missing");
  if (!WholeInteger(FirstWord(value), number)) FormatError("the write code \"" + value + "\" is no whole number");
  WriteCode = static_cast<int>(number);
  if (!Value("outputtable", from, value)) FormatError("the key \"outputtable\" is missing");
  TableFile = FirstWord(value);
  if (!Value("statcode", from, value)) FormatError("the key \"statcode\" is missing");
  if (!WholeInteger(FirstWord(value), number)) FormatError("the statistic code \"" + value + "\" is no whole number");
  StatCode = static_cast<int>(number);
  if (OutputFile.empty() || TableFile.empty()) FormatError("a file name is empty");

  if (!o.RegionTable.empty() && n > 0) {
    const char* regions[4] = {"", "regression_regions", "regression_regions2", "regression_regions3"};
    const char* shares[4] = {"", "regression_weights1", "regression_weights2", "regression_weights3"};
    for (int s = 1; s <= 3 && s <= n; ++s) {
      RegionGrid[s] = o.gridlist[o.GetGrid(regions[s])].grid;
      ShareGrid[s] = o.gridlist[o.GetGrid(shares[s])].grid;
    }
  }

  // The output grid at the first free position of the grid list.
  OutputPosition = 0;
  for (int k = 1; k < kGridListMax; ++k) {
    if (!o.gridlist[k].registered && o.gridlist[k].shortname.empty()) {
      OutputPosition = k;
      break;
    }
  }
  if (OutputPosition == 0) {
    *diag << "FATAL: no free grid anymore, allowed number of grids is " << kGridListMax << "!"
          << "[end-entry]";
    throw 12;
  }
  // Instance 0 holds whole grids, the others their rows with one border row on each side.
  OutputLow = o.mpirank == 0 ? 1 : std::max(1, o.firstrow - 1);
  OutputHigh = o.mpirank == 0 ? o.nrows : std::min(o.nrows, o.lastrow + 1);
  Output = o.matrix(OutputLow, OutputHigh, 1, o.ncols, o.nrows);
  for (int64_t r = OutputLow; r <= OutputHigh; ++r)
    for (int c = 1; c <= o.ncols; ++c) Output[r][c] = o.nodata;
  for (int r = o.firstrow; r <= o.lastrow; ++r) {
    for (int c = 1; c <= o.ncols; ++c) {
      if (o.MPIRegions && o.MPIRegions[r][c] != static_cast<double>(o.mpirank)) continue;
      Output[r][c] = (o.zonegrid && o.zonegrid[r][c] > o.nodata) ? 0.0 : o.nodata;
    }
  }
  o.RegisterGrid(OutputPosition, OutputFile, Output, nullptr, 0, Name, WriteCode, OutputLow, OutputHigh);

  try {
    MakeStatistics();
  } catch (...) {
    Discard();
    throw;
  }
}

void cSuperposition::MakeStatistics() {
  RegionalSuperposition& o = *Owner;
  if (o.zonerecords && o.zonecount >= 0) {
    Zones.assign(o.zonerecords, o.zonerecords + o.zonecount + 1);
    for (ZoneRecord& z : Zones) z.n = z.sx = 0;
  }
  int error = 0;
  Statistics = new zonalstatistic(error, o.diag, o.Registry, o.RegistryCapacity, o.relcellarea, o.nrows, o.ncols,
                                  Zones.empty() ? nullptr : Zones.data(), Zones.empty() ? 0 : o.zonecount, StatCode, 3,
                                  TableFile, o.DefaultOutputDirectory, o.outputlistcount, o.outputlist);
  if (error != 0) throw error;
  Statistics->WriteHeader(Name, Name, o.Registry, o.RegistryCapacity);
}

cSuperposition::~cSuperposition() {
  // Normally FreeBuffers has run; otherwise only the memory is released (the
  // grid list may be gone already).
  if (Output) Owner->FreeMatrix(Output, OutputLow, OutputHigh, 1, Owner->ncols);
  Output = nullptr;
  delete Statistics;
  Statistics = nullptr;
}

void cSuperposition::Discard() {
  if (Output) {
    Owner->UnregisterGrid(OutputPosition);
    Owner->FreeMatrix(Output, OutputLow, OutputHigh, 1, Owner->ncols);
    Output = nullptr;
  }
  delete Statistics;
  Statistics = nullptr;
}

bool cSuperposition::Value(const std::string& key, size_t& from, std::string& value) const {
  const size_t at = Text.find(key, from);
  if (at == std::string::npos) return false;
  size_t p = Text.find_first_not_of(kBlanks, at + key.size());
  if (p == std::string::npos || Text[p] != '=') FormatError("\"=\" expected after the key \"" + key + "\"");
  const size_t semi = Text.find(';', p + 1);
  if (semi == std::string::npos) FormatError("\";\" expected after the value of the key \"" + key + "\"");
  value = Text.substr(p + 1, semi - p - 1);
  from = semi + 1;
  return true;
}

void cSuperposition::FormatError(const std::string& what) const {
  *Owner->diag << "FATAL: error in control file, section [" << Owner->modulname.c_str() << "], entity "
               << (Name.empty() ? "(no name)" : Name.c_str()) << ": " << what.c_str()
               << "\n(entity text: " << Text.substr(0, 300).c_str() << ")"
               << "[end-entry]";
  throw 17;
}

int cSuperposition::RegionPosition(double code) const {
  const std::vector<int>& table = Owner->RegionTable;
  // A code that is missing, negative or beyond the table is no region.
  if (!(code >= 0) || code >= static_cast<double>(table.size())) return 0;
  return table[static_cast<size_t>(code)];
}

void cSuperposition::Superpose(int64_t hour, int64_t day, int64_t month, int64_t year) {
  Date[0] = hour;
  Date[1] = day;
  Date[2] = month;
  Date[3] = year;
  if (Statistics) Statistics->NewStep();
  const RegionalSuperposition& o = *Owner;
  const int n = o.RegionCount;
  const double rank = o.mpirank;
  const double missing = o.nodata;
  const Grid zone = o.zonegrid;
  const Grid owners = o.MPIRegions;
  const ColumnRange* columns = o.datacols;
  const int ncols = o.ncols;
  const int first = o.firstrow;
  const int last = o.lastrow;
  const std::vector<Item>& items = Items;
  Grid out = Output;
#pragma omp parallel for schedule(runtime)
  for (int r = first; r <= last; ++r) {
    int c0 = 1;
    int c1 = ncols;
    if (columns) {
      c0 = std::max(1, columns[r].first);
      c1 = std::min(ncols, columns[r].last);
    }
    for (int c = c0; c <= c1; ++c) {
      if (!zone || !(zone[r][c] > missing)) continue;
      if (owners && owners[r][c] != rank) continue;
      double sum = 0;
      bool lost = false;
      for (int s = 1; s <= 3 && s <= n; ++s) {
        if (!RegionGrid[s]) break;
        const double code = RegionGrid[s][r][c];
        if (s > 1 && !(code > 0)) continue;
        const int p = RegionPosition(code);
        if (p == 0) continue;
        const double share = ShareGrid[s][r][c];
        if (!(share > missing)) continue;
        for (const Item& item : items) {
          const double w = item.weights[static_cast<size_t>(p)];
          if (w == 0) continue;
          const double v = item.grid[r][c];
          // A missing input value leaves the mix undefined.
          if (!(v > missing)) {
            lost = true;
            continue;
          }
          sum += v * w * share;
        }
      }
      out[r][c] = lost ? missing : sum;
    }
  }
}

void cSuperposition::WriteGrids() {
  RegionalSuperposition& o = *Owner;
  o.WriteStatisticGrids(OutputPosition, 1, 0);
  if (!Statistics) return;
  for (int r = o.firstrow; r <= o.lastrow; ++r) {
    int c0 = 1;
    int c1 = o.ncols;
    if (o.datacols) {
      c0 = std::max(1, o.datacols[r].first);
      c1 = std::min(o.ncols, o.datacols[r].last);
    }
    for (int c = c0; c <= c1; ++c) {
      if (!o.zonegrid || !(o.zonegrid[r][c] > o.nodata)) continue;
      if (o.MPIRegions && o.MPIRegions[r][c] != static_cast<double>(o.mpirank)) continue;
      const double code = o.zonegrid[r][c];
      int zone = 0;
      if (o.zoneindex && code >= 0 && code <= o.maxzonecode) zone = o.zoneindex[static_cast<int>(code)];
      Statistics->AddCell(r, c, zone, Output[r][c], 1.0);
    }
  }
  Statistics->Reduce(Date[3], Date[2], Date[1], Date[0], 1);
}

void cSuperposition::WriteStatistics() {
  if (Statistics) Statistics->Flush();
}

void cSuperposition::FreeBuffers() {
  if (Output) {
    Owner->UnregisterGrid(OutputPosition);
    Owner->FreeMatrix(Output, OutputLow, OutputHigh, 1, Owner->ncols);
    Output = nullptr;
  }
  if (Statistics) {
    std::unique_ptr<zonalstatistic> s(Statistics);
    Statistics = nullptr;
    s->Finish();
  }
  Zones.clear();
}
