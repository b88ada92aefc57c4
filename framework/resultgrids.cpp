// Result grids of the grid list. The write code of an entry says when its grid
// (or stack) is written and which cumulative companions are kept: a sum or mean
// over the run, a year, a month, a day or the vegetation period, and a running
// minimum and maximum. Names are built from the entry's file name, the step's
// date and a period suffix.
//
// Missing cells (not greater than -9999) are skipped by every sum, mean,
// minimum and maximum: each cell of a mean companion counts its own values,
// and a cell without any value in the period is written as no-data. A sum
// companion is no-data in a cell missing in any step of its period: the sum
// of part of the period would pass for the whole period's.
#include <algorithm>
#include <cstdio>
#include <string>

#include "framework/diagstream.h"
#include "framework/modelobject.h"

namespace {

bool IsValue(double v) {
  return v > kNodata;
}

template <typename... Args>
std::string Printf(const char* format, Args... args) {
  const int n = std::snprintf(nullptr, 0, format, args...);
  std::string text(static_cast<size_t>(std::max(n, 0)), '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}

// D: the directory part of a file name up to and including its last "/";
// P: the rest up to its first "." (a leading "." belongs to the name, so
// ".x" has no extension), at most stemLimit characters.
struct NameParts {
  std::string dir;
  std::string stem;
};

NameParts SplitName(const std::string& fileName, size_t stemLimit = std::string::npos) {
  const size_t slash = fileName.rfind('/');
  NameParts parts;
  const std::string base = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
  parts.dir = slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
  const size_t dot = base.size() > 1 ? base.find('.', 1) : std::string::npos;
  parts.stem = base.substr(0, dot);
  if (parts.stem.size() > stemLimit) parts.stem.resize(stemLimit);
  return parts;
}

// Vegetation layer of an entry: the text after "_Layer_" up to the next ".", else "1".
std::string VegetationLayer(const std::string& fileName) {
  const size_t at = fileName.find("_Layer_");
  if (at == std::string::npos) return "1";
  const size_t start = at + 7;
  const size_t dot = fileName.find('.', start);
  return fileName.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
}

// Whether a result of write-code kind 1 ... 8 is written at this step, and
// whether under a dated name.
bool ResultDue(int kind, bool atEnd, bool endOfDay, bool endOfMonth, bool endOfYear, bool& dated) {
  dated = kind == 2 || kind == 5 || kind == 6 || kind == 7;
  switch (kind) {
    case 1:
    case 2:
    case 8:
      return true;
    case 3:
      return atEnd;
    case 4:
    case 5:
      return endOfDay;
    case 6:
      return endOfMonth;
    case 7:
      return endOfYear;
    default:
      return false;
  }
}

// Releases a gathered copy also when the writer throws.
struct GatheredGrid {
  modelobject* owner;
  Grid grid = nullptr;
  int rows = 0;
  int columns = 0;
  ~GatheredGrid() {
    if (grid) owner->FreeMatrix(grid, 1, rows, 1, columns);
  }
};

struct GatheredStack {
  modelobject* owner;
  Stack stack = nullptr;
  int rows = 0;
  ~GatheredStack() {
    if (stack) owner->FreeMatrix3d(stack, 1, rows);
  }
};

}  // namespace

void modelobject::SetStepDate(int64_t stepYear, int64_t stepMonth, int64_t stepDay, int64_t stepHour) {
  stepdate = {stepYear, stepMonth, stepDay, stepHour};
  stepdateset = true;
}

modelobject::ResultDate modelobject::StepDate() const {
  return stepdateset ? stepdate : ResultDate{year, month, day, hour};
}

std::string modelobject::DatedName(GridListEntry& e, const ResultDate& date, size_t stemLimit) {
  const std::string& f = e.filename2.empty() ? e.filename : e.filename2;
  const NameParts parts = SplitName(f, stemLimit);
  std::string name =
      parts.dir + Printf("%s_%04ld%02ld%02ld.%03ld", parts.stem.c_str(), static_cast<long>(date.year),
                         static_cast<long>(date.month), static_cast<long>(date.day), static_cast<long>(date.hour));
  const bool sameDate =
      e.datedyear == date.year && e.datedmonth == date.month && e.datedday == date.day && e.datedhour == date.hour;
  if (sameDate) {
    ++e.datedcounter;
    name += Printf("_%.03ld", static_cast<long>(e.datedcounter));
  } else {
    e.datedcounter = 0;
  }
  e.datedyear = date.year;
  e.datedmonth = date.month;
  e.datedday = date.day;
  e.datedhour = date.hour;
  return name;
}

bool modelobject::ConsideredCell(int row, int column, bool ownOnly) const {
  const Grid zone = gridlist ? gridlist[1].grid : nullptr;
  if (!zone || !zone[row] || !(zone[row][column] > nodata)) return false;
  if (!ownOnly || !MPIRegions) return true;
  return MPIRegions[row] && MPIRegions[row][column] == mpirank;
}

void modelobject::WriteResultGrid(int position, const std::string& name, Grid grid, bool ownCellsOnly, bool state) {
  GatheredGrid gathered{this};
  if (ownCellsOnly && mpisize > 1) {
    gathered.grid = MPIGatherGridAlloc(position, grid);
    gathered.rows = nrows;
    gathered.columns = ncols;
  }
  if (mpirank != 0) return;
  if (state)
    WriteGridFile(name, gathered.grid ? gathered.grid : grid, WriteAsciiGrids, WriteDoubleGrids, false, true);
  else
    WriteGrid(name, gathered.grid ? gathered.grid : grid, WriteAsciiGrids, WriteDoubleGrids);
}

void modelobject::WriteCompanionGrid(int position, const std::string& name, Grid grid, bool ownCellsOnly) {
  GatheredGrid gathered{this};
  if (ownCellsOnly && mpisize > 1) {
    gathered.grid = MPIGatherGridAlloc(position, grid);
    gathered.rows = nrows;
    gathered.columns = ncols;
  }
  if (mpirank == 0) WriteGrid2(name, gathered.grid ? gathered.grid : grid, WriteAsciiGrids, WriteDoubleGrids);
}

void modelobject::WriteStatisticGrids(int position, int ownCellsOnly, int accumulateOnly) {
  if (!gridlist || position < 1 || position > kGridListMax) return;
  GridListEntry& e = gridlist[position];
  Grid value = e.grid;
  if (!value) return;
  if (e.kind == 0 && e.sumdigit == 0 && e.minflag == 0 && e.maxflag == 0 && e.vegdigit == 0) return;

  if (!MPIRegions) {
    const int p = FindGrid("MPIRegions", false);
    if (p > 0) MPIRegions = gridlist[p].grid;
  }
  if (!MPIHelper) {
    const int p = FindGrid("MPIHelper", false);
    if (p > 0) MPIHelper = gridlist[p].grid;
  }
  e.count += 1;

  const bool own = ownCellsOnly != 0;
  const bool writeCompanions = accumulateOnly == 0;
  const ResultDate date = StepDate();
  const bool atEnd = DateKey(date.year, date.month, date.day, date.hour) >= ResultEndDateKey();
  // The step ends at midnight when its hour plus the shift to the end of the step is 24.
  const bool endOfDay = date.hour + static_cast<int64_t>(mintointendhours) == 24;
  const bool endOfMonth = endOfDay && date.day == DaysInMonth(date.year, date.month);
  const bool endOfYear = endOfDay && date.month == 12 && date.day == 31;
  const long yy = static_cast<long>(date.year % 100);
  const long mm = static_cast<long>(date.month);
  const long dd = static_cast<long>(date.day);
  const std::string& f = e.filename2.empty() ? e.filename : e.filename2;

  const int r1 = static_cast<int>(std::max<int64_t>(1, e.firstrow));
  const int r2 = static_cast<int>(std::min<int64_t>(nrows, e.lastrow));
  // A few additions per cell: waking the threads costs more than the sums of
  // a grid of fewer cells, which one thread adds alone.
  constexpr int64_t kCellsForThreads = 1 << 15;
  const bool threaded = static_cast<int64_t>(std::max(0, r2 - r1 + 1)) * ncols >= kCellsForThreads;
  // Every cell of the entry's rows within the data columns of its row; the
  // rows on the threads (a visit touches only its own cell's values).
  auto forEachCell = [&](auto&& visit) {
#pragma omp parallel for schedule(runtime) if (threaded)
    for (int r = r1; r <= r2; ++r) {
      if (!value[r]) continue;
      int c1 = 1, c2 = ncols;
      if (datacols) {
        c1 = std::max(1, datacols[r].first);
        c2 = std::min(ncols, datacols[r].last);
      }
      for (int c = c1; c <= c2; ++c) visit(r, c);
    }
  };

  // A stack entry's value grid shows level 1 of its stack.
  if (e.stack && e.stacklevelswitch == 0 && e.levels >= 1 && (e.sumdigit != 0 || e.minflag || e.maxflag)) {
    forEachCell([&](int r, int c) {
      if (e.stack[r] && ConsideredCell(r, c, own)) value[r][c] = e.stack[r][c][1];
    });
  }

  if (e.sumdigit != 0 && e.sumgrid) {
    if (!e.sumcount) e.sumcount = matrix(e.firstrow, e.lastrow, 1, ncols, nrows);
    forEachCell([&](int r, int c) {
      if (!ConsideredCell(r, c, own)) {
        e.sumgrid[r][c] = nodata;
      } else if (IsValue(value[r][c])) {
        e.sumgrid[r][c] += value[r][c];
        e.sumcount[r][c] += 1;
      }
    });
  }

  if ((e.minflag && e.mingrid) || (e.maxflag && e.maxgrid)) {
    Grid lows = e.minflag ? e.mingrid : nullptr;
    Grid highs = e.maxflag ? e.maxgrid : nullptr;
    if (e.minmaxstarted == 0) {
#pragma omp parallel for schedule(runtime) if (threaded)
      for (int r = r1; r <= r2; ++r) {
        if (!value[r]) continue;
        for (int c = 1; c <= ncols; ++c) {
          const double v = ConsideredCell(r, c, own) ? value[r][c] : nodata;
          if (lows) lows[r][c] = v;
          if (highs) highs[r][c] = v;
        }
      }
      e.minmaxstarted = 1;
    } else {
      // A cell that had no value yet takes the first one.
      forEachCell([&](int r, int c) {
        const double v = value[r][c];
        if (!IsValue(v) || !ConsideredCell(r, c, own)) return;
        if (lows && (!IsValue(lows[r][c]) || v < lows[r][c])) lows[r][c] = v;
        if (highs && (!IsValue(highs[r][c]) || v > highs[r][c])) highs[r][c] = v;
      });
    }
  }

  if (e.vegdigit != 0 && e.veggrid) {
    if (!e.vegstart || !e.vegstop || !e.vegduration) {
      const std::string layer = VegetationLayer(f);
      e.vegstart = gridlist[GetGrid("VegetationStart" + layer)].grid;
      e.vegstop = gridlist[GetGrid("VegetationStop" + layer)].grid;
      e.vegduration = gridlist[GetGrid("VegetationDuration" + layer)].grid;
      if (!e.vegstart || !e.vegstop || !e.vegduration)
        Fatal("FATAL: the vegetation grids of layer " + layer + " needed for " + e.shortname +
                  " in the grid list hold no grid (a stack only)",
              33);
    }
    Grid veg = e.veggrid;
    // Inside the vegetation period: start not negative and stop not positive.
    forEachCell([&](int r, int c) {
      if (!ConsideredCell(r, c, own)) {
        veg[r][c] = nodata;
        return;
      }
      const bool inPeriod = e.vegstart[r] && e.vegstop[r] && e.vegstart[r][c] >= 0 && e.vegstop[r][c] <= 0;
      if (inPeriod && IsValue(value[r][c])) veg[r][c] += value[r][c];
    });
    if (e.vegwrite == 1) {
      e.vegwrite = 0;
      if (e.vegdigit == 2) {
        // A cell without a positive duration has no mean.
        forEachCell([&](int r, int c) {
          if (!ConsideredCell(r, c, own)) return;
          const double duration = e.vegduration[r] ? e.vegduration[r][c] : 0.0;
          veg[r][c] = duration > 0 ? veg[r][c] / duration : nodata;
        });
      }
      const NameParts parts = SplitName(e.vegname.empty() ? f : e.vegname);
      const char* format = e.vegdigit == 2 ? "%s_%04ld_vegper.mit" : "%s_%04ld_vegper.sum";
      WriteCompanionGrid(position, parts.dir + Printf(format, parts.stem.c_str(), yy), veg, own);
    }
    if (e.vegreset == 1) {
      e.vegreset = 0;
#pragma omp parallel for schedule(runtime) if (threaded)
      for (int r = r1; r <= r2; ++r) {
        if (!value[r]) continue;
        for (int c = 1; c <= ncols; ++c) veg[r][c] = ConsideredCell(r, c, own) ? 0.0 : nodata;
      }
    }
  }

  bool dated = false;
  const bool due = ResultDue(e.kind, atEnd, endOfDay, endOfMonth, endOfYear, dated);
  // The grid under its own name at the run's end is what a warm start
  // reads: every digit of it.
  if (due) {
    const std::string name = e.kind == 8 ? f + ".filled" : dated ? DatedName(e, date, std::string::npos) : f;
    WriteResultGrid(position, name, value, own, atEnd && name == f);
    if ((dated || e.kind == 8) && atEnd) WriteResultGrid(position, f, value, own, true);
  }

  if (writeCompanions && atEnd) {
    if (e.minflag && e.mingrid) {
      const NameParts parts = SplitName(e.minname.empty() ? f : e.minname);
      WriteCompanionGrid(position, parts.dir + parts.stem + ".min", e.mingrid, own);
    }
    if (e.maxflag && e.maxgrid) {
      const NameParts parts = SplitName(e.maxname.empty() ? f : e.maxname);
      WriteCompanionGrid(position, parts.dir + parts.stem + ".max", e.maxgrid, own);
    }
  }

  if (e.sumdigit != 0 && e.sumgrid && writeCompanions) {
    const NameParts parts = SplitName(e.sumname.empty() ? f : e.sumname);
    const char* stem = parts.stem.c_str();
    const bool mean = e.sumdigit >= 5 && e.sumdigit <= 8;
    std::string name;
    switch (e.sumdigit) {
      case 1:
      case 5:
        if (atEnd) name = Printf(mean ? "%s.mit" : "%s.sum", stem);
        break;
      case 2:
      case 6:
        if (endOfYear) name = Printf(mean ? "%s_%02ld00.mit" : "%s_%02ld00.sum", stem, yy);
        break;
      case 3:
      case 7:
        if (endOfMonth) name = Printf(mean ? "%s_%02ld%02ld.mit" : "%s_%02ld%02ld.sum", stem, yy, mm);
        break;
      case 4:
      case 8:
        if (endOfDay) name = Printf(mean ? "%s_%02ld%02ld.%02ldm" : "%s_%02ld%02ld.%02lds", stem, yy, mm, dd);
        break;
      default:
        break;
    }
    if (!name.empty()) {
      Grid sum = e.sumgrid;
      Grid n = e.sumcount;
      const double steps = static_cast<double>(e.count);
      forEachCell([&](int r, int c) {
        if (!ConsideredCell(r, c, own)) return;
        if (mean)
          sum[r][c] = n[r][c] > 0 ? sum[r][c] / n[r][c] : nodata;
        else
          sum[r][c] = n[r][c] > 0 && n[r][c] >= steps ? sum[r][c] : nodata;
      });
      WriteCompanionGrid(position, parts.dir + name, sum, own);
      e.count = 0;
      forEachCell([&](int r, int c) {
        if (!ConsideredCell(r, c, own)) return;
        sum[r][c] = 0;
        n[r][c] = 0;
      });
    }
  }
}

void modelobject::WriteResultStack(int position, const std::string& name, bool state) {
  GridListEntry& e = gridlist[position];
  if (!WriteAsciiGrids) {
    WriteStackFile(name, e.stack, e.levels, false, WriteDoubleGrids, state);
    return;
  }
  GatheredStack gathered{this};
  if (mpisize > 1) {
    gathered.stack = MPIGatherStackAlloc(position, e.stack);
    gathered.rows = nrows;
  }
  if (mpirank == 0)
    WriteStackFile(name, gathered.stack ? gathered.stack : e.stack, e.levels, true, WriteDoubleGrids, state);
}

void modelobject::WriteDatedGrid(int position) {
  if (!gridlist || position < 1 || position > kGridListMax) return;
  GridListEntry& e = gridlist[position];
  if (!e.stack) return;
  const ResultDate date = StepDate();
  const bool atEnd = DateKey(date.year, date.month, date.day, date.hour) >= ResultEndDateKey();
  const bool endOfDay = date.hour + static_cast<int64_t>(mintointendhours) == 24;
  // Stacks are written for kinds 1 ... 5 only.
  bool dated = false;
  if (e.kind > 5 || !ResultDue(e.kind, atEnd, endOfDay, false, false, dated)) return;
  const std::string f = e.filename2.empty() ? e.filename : e.filename2;
  // Dated stack names keep at most four characters of the file's stem.
  WriteResultStack(position, dated ? DatedName(e, date, 4) : f, atEnd && !dated);
  if (dated && atEnd) WriteResultStack(position, f, true);
}
