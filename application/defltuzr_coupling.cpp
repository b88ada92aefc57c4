// External coupling: [ExternalCoupling], the grids read from the external
// program and the grids and zone statistics written for it.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "application/defltuzr.h"
#include "framework/diagstream.h"
#include "framework/signals.h"

namespace {

const char* const kErr = "FATAL: -----------------error------------\n";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}
bool Accumulates(const std::string& code) {
  return code == "Mean" || code == "Sum" || StartsWith(code, "SumTotal");
}

constexpr long kMaxWaitTicks = 86400L * 1000000L;

}  // namespace

void defaultini::CouplingReadError(const char* message, bool lineEnd) {
  *diag << kErr << message << modulname
        << "\npossible reason: parameter missing or a linefeed \nbefore the end of the parameter block"
        << (lineEnd ? "\n" : "") << "\n(" << controlfile.Where().c_str() << ")"
        << "[end-entry]";
  controlfile.Close();
  throw 10;
}

void defaultini::GetCouplingParameters() {
  coupling = CouplingSettings{};
  if (!controlfile.Open(controlfilename, diag)) Fatal("FATAL: error opening " + controlfilename, 14);
  if (!FindSection("[ExternalCoupling]", false)) {
    controlfile.Close();
    return;
  }
  // One value per line; the rest of the line is a comment.
  auto value = [&](const char* format, ScanTarget target, const char* message, bool lineEnd = false) {
    if (controlfile.Scan(format, {target}) != 1) CouplingReadError(message, lineEnd);
    controlfile.RestOfLine(linebuffer);
  };
  // A count of items; the items follow and may continue over lines.
  auto count = [&](int& n, const char* message) {
    value("%d", &n, message);
    if (n < 0) CouplingReadError(message);
  };

  value("%d", &coupling.mode, "error reading coupling mode for ", true);
  if (coupling.mode == 0) {
    controlfile.Close();
    return;
  }
  if (mpisize > 1) {
    controlfile.Close();
    Fatal(std::string(kErr) +
              "external coupling does not work when running in MPI mode with more than 1 instance (i.e. you should "
              "use the non-MPI-version)",
          1009);
  }
  value("%s", &coupling.semaphoreFile, "error reading name of the external groundwater table grid for ");
  value("%ld", &coupling.waitInterval, "error reading of wait interval for scanning for external gw table grid ");
  // The pause is added to the processor-time clock: at most one day of
  // processor time (one million ticks per second) keeps that sum in range.
  if (coupling.waitInterval < 0 || coupling.waitInterval > kMaxWaitTicks)
    CouplingReadError("error reading of wait interval for scanning for external gw table grid ");
  const char* periodMessage = "error reading Coupling Mode (I, H, D, M or Y) for external gw table grid ";
  value(" %c", &coupling.period, periodMessage);
  if (std::string("DHIMY").find(coupling.period) == std::string::npos) CouplingReadError(periodMessage);
  value("%d", &coupling.externalTimeStep,
        "error reading time step of the external model (should be given in minutes after coupling mode) ");

  int n = 0;
  count(n, "error reading number of external grids to read in ");
  for (int i = 0; i < n; ++i) {
    ExternalReadGrid g;
    if (controlfile.Scan("%s%s%d%d", {&g.fileName, &g.internalName, &g.fillCode, &g.renameCode}) != 4)
      CouplingReadError("error reading external (read) grid name/entity/fill code/rename code ");
    coupling.readGrids.push_back(g);
  }
  if (n > 0) controlfile.RestOfLine(linebuffer);

  count(n, "error reading number of external grids to write in ");
  for (int i = 0; i < n; ++i) {
    ExternalWriteGrid g;
    // Write codes are held in 50-byte buffers.
    if (controlfile.Scan("%s%s%s", {&g.fileName, &g.internalName, &g.writeCode}) != 3 || g.writeCode.size() > 49)
      CouplingReadError("error reading external (write) grid name/entity/Writecode");
    if (Accumulates(g.writeCode)) {
      const size_t cells = static_cast<size_t>(nrows + 1) * static_cast<size_t>(ncols + 1);
      g.accumulator.assign(cells, 0.0);
      g.counts.assign(cells, 0);
    }
    coupling.writeGrids.push_back(std::move(g));
  }
  if (n > 0) controlfile.RestOfLine(linebuffer);

  count(n, "error reading number of external Stats to write in ");
  for (int i = 0; i < n; ++i) {
    ExternalStatfile s;
    if (controlfile.Scan("%s%s%s", {&s.fileName, &s.entityName, &s.writeCode}) != 3 || s.writeCode.size() > 49)
      CouplingReadError("error reading external (write) Statfile name/entity/writecode");
    coupling.statfiles.push_back(std::move(s));
  }
  if (n > 0) controlfile.RestOfLine(linebuffer);

  value("%s", &coupling.informFile, "error reading semaphore file name for file to be written by fluvex ");
  value("%s", &coupling.informContent, "error reading semaphore Content for file to be written by fluvex ");
  controlfile.Close();
}

void defaultini::LinkExternalEntities(StatRecord* registry, int capacity) {
  for (ExternalReadGrid& g : coupling.readGrids) {
    g.position = FindGrid(g.internalName, true);
    if (g.position <= 0 || !gridlist[g.position].grid) {
      *diag << kErr << "error looking for internal grid to read from " << g.fileName << ", with internal name \""
            << g.internalName << "\"\npossible reason: internal name of the grid is wrong (case sensitive!)"
            << "[end-entry]";
      throw 1003;
    }
  }
  for (ExternalWriteGrid& g : coupling.writeGrids) {
    g.position = FindGrid(g.internalName, true);
    if (g.position <= 0 || !gridlist[g.position].grid) {
      *diag << kErr << "error looking for internal grid to write to " << g.fileName << " with internal name \""
            << g.internalName << "\"\npossible reason: internal name of the grid is wrong (case sensitive!)"
            << "[end-entry]";
      throw 1004;
    }
  }
  for (ExternalStatfile& s : coupling.statfiles) {
    s.record = nullptr;
    for (int i = 0; registry && i < capacity && !registry[i].IsFree(); ++i) {
      std::string description = registry[i].description ? registry[i].description : "";
      for (char& c : description)
        if (c == ' ') c = '_';
      if (description.find(s.entityName) != std::string::npos) {
        s.record = &registry[i];
        break;
      }
    }
    if (!s.record) {
      *diag << kErr << "error looking for zonal statistic with internal name \"" << s.entityName
            << "\"\npossible reason: name of the statistic entity is wrong (case sensitive!)"
            << "[end-entry]";
      throw 1005;
    }
    s.counts.assign(static_cast<size_t>(s.record->slots) + 1, 0);
  }
}

bool defaultini::HasGWTableExtern() const {
  for (const ExternalReadGrid& g : coupling.readGrids)
    if (g.internalName == "GWTableExtern") return true;
  return false;
}

void defaultini::ReadExternalGrids(int64_t stepYear, int64_t stepMonth, int64_t stepDay, int64_t stepHour) {
  for (const ExternalReadGrid& g : coupling.readGrids) {
    GridListEntry& entry = gridlist[g.position];
    Grid target = entry.grid;
    // The file covers the whole raster, while a module's grid may hold only
    // the rows of its cells: the file is read into a grid of its own
    // (instance 0 all rows, the others theirs with their border rows) and
    // the rows the grid holds take its values.
    Grid read = nullptr;
    try {
      ReadGrid(g.fileName, &read, g.fillCode, true, true, true, true, false, true, entry.defaultvalue);
    } catch (int) {
      *diag << "FATAL: error reading external grid " << g.fileName << "[end-entry]";
      throw 1001;
    }
    int first = 1, last = nrows;
    if (mpirank != 0) InstanceRows(true, first, last);
    const int from = std::max<int>(first, entry.lastrow > 0 ? static_cast<int>(entry.firstrow) : first);
    const int to = std::min<int>(last, entry.lastrow > 0 ? static_cast<int>(entry.lastrow) : last);
    for (int r = from; r <= to; ++r)
      if (target[r]) std::copy(read[r] + 1, read[r] + ncols + 1, target[r] + 1);
    FreeMatrix(read, first, last, 1, ncols);
    RearmCtrlCHandler();
    // The file as the reader found it, in the input directory.
    std::string path = g.fileName;
    MakePath(InitialStateDirectory, path, 1002);
    if (g.renameCode == 1) {
      // The clock value keeps every moved file under a name of its own.
      char moved[2600];
      std::snprintf(moved, sizeof moved, "%s_%.4ld_%.2ld_%.2ld_%.2ld_%ld", path.c_str(), static_cast<long>(stepYear),
                    static_cast<long>(stepMonth), static_cast<long>(stepDay), static_cast<long>(stepHour),
                    static_cast<long>(std::clock()));
      if (std::rename(path.c_str(), moved) != 0) {
        *diag << "FATAL: error renaming external grid " << path << " nach " << moved << "[end-entry]";
        throw 1002;
      }
    } else if (g.renameCode == 0) {
      if (std::remove(path.c_str()) != 0) {
        *diag << "FATAL: error deleting external grid " << path << "[end-entry]";
        throw 1002;
      }
    }
  }
  if (std::remove(coupling.semaphoreFile.c_str()) != 0) {
    *diag << "FATAL: error deleting semaphore file " << coupling.semaphoreFile << "[end-entry]";
    throw 1001;
  }
}

bool defaultini::ZoneCellMissing(int row, int column) const {
  Grid zone = gridlist[1].grid;
  if (!zone || !zone[row]) return true;
  const double z = zone[row][column];
  return !(z > kNodata) || z == nodata;
}

void defaultini::AddExternalCell(ExternalWriteGrid& g, int row, int column) {
  if (ZoneCellMissing(row, column)) return;
  Grid source = gridlist[g.position].grid;
  if (!source || !source[row]) return;
  const double v = source[row][column];
  if (!(v > kNodata)) return;
  const size_t i = static_cast<size_t>(row) * static_cast<size_t>(ncols + 1) + static_cast<size_t>(column);
  g.accumulator[i] += v;
  ++g.counts[i];
}

double defaultini::AccumulatedCell(const ExternalWriteGrid& g, int row, int column, bool mean) const {
  const size_t i = static_cast<size_t>(row) * static_cast<size_t>(ncols + 1) + static_cast<size_t>(column);
  if (ZoneCellMissing(row, column) || g.counts[i] == 0) return nodata;
  return mean ? g.accumulator[i] / g.counts[i] : g.accumulator[i];
}

void defaultini::AccumulateExternalGrids() {
  // "SumTotal" grids add every step as well: a running total of the whole run.
  for (ExternalWriteGrid& g : coupling.writeGrids) {
    if (!Accumulates(g.writeCode)) continue;
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) AddExternalCell(g, r, c);
  }
  for (ExternalStatfile& s : coupling.statfiles) {
    if (!Accumulates(s.writeCode)) continue;
    for (int64_t k = 1; k < s.record->slots; ++k) {
      const double v = s.record->values[k];
      if (!(v > kNodata)) continue;
      s.record->accumulator[k] += v;
      ++s.counts[static_cast<size_t>(k)];
    }
  }
  ++coupling.counter;
}

void defaultini::WriteExternalGrids(int syncDay, int syncMonth, int syncYear, bool endOfDay, bool endOfMonth,
                                    bool endOfYear) {
  ++coupling.counter;
  Grid out = nullptr;
  struct Release {
    defaultini* owner;
    Grid& grid;
    ~Release() {
      if (grid) owner->FreeMatrix(grid, 1, owner->nrows, 1, owner->ncols);
    }
  } release{this, out};
  for (ExternalWriteGrid& g : coupling.writeGrids) {
    if (!Accumulates(g.writeCode)) {
      WriteGrid(g.fileName, gridlist[g.position].grid, WriteAsciiGrids, WriteDoubleGrids);
      continue;
    }
    if (!out) out = matrix(1, nrows, 1, ncols, nrows);
    const bool mean = g.writeCode == "Mean";
    for (int r = 1; r <= nrows; ++r)
      for (int c = 1; c <= ncols; ++c) {
        AddExternalCell(g, r, c);
        out[r][c] = AccumulatedCell(g, r, c, mean);
      }
    WriteGrid(g.fileName, out, WriteAsciiGrids, WriteDoubleGrids);
    if (StartsWith(g.writeCode, "SumTotal")) {
      // Copies at the end of a day, month or year, beside the file: "<directory>SumTotal_EndOf_..._<name>".
      const size_t slash = g.fileName.find_last_of("/\\");
      const std::string directory = slash == std::string::npos ? "" : g.fileName.substr(0, slash + 1);
      const std::string rest = slash == std::string::npos ? g.fileName : g.fileName.substr(slash + 1);
      char name[2600];
      const std::string& code = g.writeCode;
      if (endOfDay && StartsWith(code, "SumTotal_D")) {
        std::snprintf(name, sizeof name, "%sSumTotal_EndOf_Day_%.04d_%.02d_%.02d_%s", directory.c_str(), syncYear,
                      syncMonth, syncDay, rest.c_str());
        WriteGrid(name, out, WriteAsciiGrids, WriteDoubleGrids);
      }
      if (endOfMonth && (StartsWith(code, "SumTotal_M") || StartsWith(code, "SumTotal_DM"))) {
        std::snprintf(name, sizeof name, "%sSumTotal_EndOf_Month_%.04d_%.02d_%s", directory.c_str(), syncYear,
                      syncMonth, rest.c_str());
        WriteGrid(name, out, WriteAsciiGrids, WriteDoubleGrids);
      }
      if (endOfYear && (code == "SumTotal_Y" || code == "SumTotal_MY" || code == "SumTotal_DMY")) {
        std::snprintf(name, sizeof name, "%sSumTotal_EndOf_Year_%.04d_%s", directory.c_str(), syncYear, rest.c_str());
        WriteGrid(name, out, WriteAsciiGrids, WriteDoubleGrids);
      }
    } else {
      // "Mean" and "Sum" start the next period from nothing; "SumTotal" keeps its sums for the whole run.
      std::fill(g.accumulator.begin(), g.accumulator.end(), 0.0);
      std::fill(g.counts.begin(), g.counts.end(), 0);
    }
  }
  for (ExternalStatfile& s : coupling.statfiles) WriteStatfile(s);
  coupling.counter = 0;
}

void defaultini::WriteStatfile(ExternalStatfile& s) {
  std::ofstream file(s.fileName, std::ios::out | std::ios::trunc);
  if (!file.is_open()) {
    *diag << "FATAL: error opening the statistics file " << s.fileName << " for the external coupling (entity "
          << s.entityName << ")"
          << "[end-entry]";
    throw 15;
  }
  StatRecord& r = *s.record;
  const std::string description = r.description ? r.description : "";
  if (description.size() < 101)
    file << description << "; " << nzones << " zones\n";
  else
    file << description.substr(0, 100) << "..."
         << "; " << nzones << " Gebiete\n";
  const bool sum = s.writeCode == "Sum";
  const bool total = StartsWith(s.writeCode, "SumTotal");
  const bool mean = s.writeCode == "Mean";
  for (int64_t k = 1; k < r.slots; ++k) {
    const size_t i = static_cast<size_t>(k);
    double value = r.values[k];
    if (sum || total || mean) {
      // A missing value of the step is not added; no value at all in the period is missing.
      double accumulated = r.accumulator[k];
      int count = s.counts[i];
      if (value > kNodata) {
        accumulated += value;
        ++count;
      }
      value = count == 0 ? kNodata : (mean ? accumulated / count : accumulated);
      if (total) {
        r.accumulator[k] = accumulated;
        s.counts[i] = count;
      } else {
        r.accumulator[k] = 0;
        s.counts[i] = 0;
      }
    }
    file << static_cast<long long>(r.codes[k]) << "\t" << value << "\n";
    file.flush();
  }
  file.close();
  if (file.fail()) {
    *diag << "FATAL: write error " << s.fileName << " ! (the statistics file for the external coupling could not be "
          << "written)"
          << "[end-entry]";
    throw 18;
  }
}
