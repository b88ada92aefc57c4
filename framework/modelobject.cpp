#include "framework/modelobject.h"

#include <mpi.h>

#include <cmath>
#include <cstdio>
#include <ctime>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"

modelobject::modelobject(DiagStream* diagnostics, const std::string& controlFileName, int /*unused*/,
                         const ModelObjectArgs& args)
    : memory_handling(diagnostics),
      controlfilename(controlFileName),
      instanceCellCounts(args.instanceCellCounts),
      haloSend(args.haloSend),
      haloReceive(args.haloReceive),
      InitialStateDirectory(args.InitialStateDirectory),
      DefaultOutputDirectory(args.DefaultOutputDirectory),
      WriteAsciiGrids(args.WriteAsciiGrids),
      WriteDoubleGrids(args.WriteDoubleGrids),
      SpinUp(args.SpinUp),
      hru(args.hru) {
  if (MpiRunning()) {
    MPI_Comm_rank(MPI_COMM_WORLD, &mpirank);
    MPI_Comm_size(MPI_COMM_WORLD, &mpisize);
  }
}

void modelobject::Fatal(const std::string& message, int code) {
  *diag << message.c_str() << "[end-entry]";
  throw code;
}

void modelobject::SetGeometry(int columns, int rows, double xll, double yll, double cellSize, double nodataValue) {
  ncols = columns;
  nrows = rows;
  xllcorner = xll;
  yllcorner = yll;
  cellsize = cellSize;
  nodata = nodataValue;
}

void modelobject::WriteLog(const std::string& message) {
  if (mpirank != 0) return;
  char name[64];
  std::snprintf(name, sizeof name, "modell_%d.log", mpirank);
  std::FILE* log = std::fopen(name, "a");
  if (!log) return;
  std::time_t now = std::time(nullptr);
  char stamp[64];
  ctime_r(&now, stamp);
  std::fprintf(log, "%s: %s\n", stamp, message.c_str());
  std::fflush(log);
  std::fclose(log);
}

void modelobject::SetDate(int64_t y, int64_t m, int64_t d, int64_t h) {
  year = y;
  month = m;
  day = d;
  hour = h;
  datekey = DateKey(y, m, d, h);
  // Month lengths follow the calendar of the date's year.
  for (int i = 1; i <= 12; ++i) monthlength[i] = DaysInMonth(y, i);
}

int modelobject::FindGrid(const std::string& shortName, bool alsoStacks) {
  if (!gridlist) return 0;
  for (int i = 1; i < kGridListMax; ++i) {
    const GridListEntry& e = gridlist[i];
    // The list ends at the first entry in no use; a registered grid without a
    // file name (the decomposition's) does not end it.
    if (e.filename.empty() && !e.registered) return 0;
    if (!alsoStacks && !e.grid) return 0;
    if (e.shortname == shortName) return i;
  }
  return 0;
}

int modelobject::ScanByShortName(const std::string& shortName) const {
  if (!gridlist) return 0;
  for (int i = 1; i < kGridListMax; ++i) {
    const GridListEntry& e = gridlist[i];
    if (e.shortname.empty() && !e.registered) return 0;
    if (e.shortname == shortName) return i;
  }
  return 0;
}

int modelobject::GetGrid(const std::string& shortName) {
  const int i = ScanByShortName(shortName);
  if (i > 0) return i;
  *diag << "FATAL: \n---------------- !!! ERROR !!!  --------------------------\n" << shortName.c_str()
        << " not found in memory,\nThese data are needed within " << modulname.c_str()
        << " \nif they are interpolated data, please specify an interpolator for\n" << shortName.c_str()
        << " in the control file or read it in as a standardfile,\n"
           "-----------------------------------------------------------\n"
        << "[end-entry]";
  throw 33;
}

namespace {
// "a, b or c"
std::string NameList(const std::string* names, int n) {
  std::string list;
  for (int i = 0; i < n; ++i) {
    if (i > 0) list += (i == n - 1) ? " or " : ", ";
    list += names[i];
  }
  return list;
}
}  // namespace

int modelobject::GetGridOf4(const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
  const std::string names[4] = {a, b, c, d};
  const int n = d.empty() ? 3 : 4;
  for (int k = 0; k < n; ++k) {
    const int i = ScanByShortName(names[k]);
    if (i > 0) return i;
  }
  const std::string list = NameList(names, n);
  *diag << "FATAL: \n---------------- !!! ERROR !!!  ------------------------------------\n"
        << ("Wether " + list + " \nwhere found in memory,\n").c_str()
        << ("One of these data sets has to be present within " + modulname + " \n").c_str()
        << "If the data are to be interpolated, please specify an interpolatior for\n"
        << (list + " in the control file,\n").c_str() << "or read it as a standard grid \n"
        << (std::string(71, '-') + "\n").c_str() << "[end-entry]";
  throw 33;
}

int modelobject::GetGridOf3(const std::string& a, const std::string& b, const std::string& c) {
  return GetGridOf4(a, b, c, std::string());
}

void modelobject::StatReset(double nodataValue) {
  statcount = statmin = statmax = statsum = statsumsq = 0;
  statnodata = nodataValue;
}

void modelobject::StatAdd(double value, double weight) {
  if (!(value > statnodata + 1)) return;
  const bool first = statcount <= 0;
  statsum += value * weight;
  statcount += weight;
  statsumsq += weight * value * value;
  // Minimum and maximum start from the first accepted value, whatever its weight.
  if (first) {
    statmin = statmax = value;
  } else if (value < statmin) {
    statmin = value;
  } else if (value > statmax) {
    statmax = value;
  }
}

void modelobject::StatResult(double& n, double& minimum, double& maximum, double& sum, double& mean,
                             double& stddev) {
  n = statcount;
  minimum = statmin;
  maximum = statmax;
  sum = statsum;
  mean = statcount > 0 ? statsum / statcount : -9999.0;
  if (statcount > 2) {
    const double variance = (statsumsq - statsum * statsum / statcount) / (statcount - 1);
    stddev = variance > 0 ? std::sqrt(variance) : variance;
  } else {
    stddev = -9999.0;
  }
}

void modelobject::RegisterGrid(int index, const std::string& fileName, Grid grid, Stack stack, int levels,
                               const std::string& shortName, int writeCode, int64_t firstRow, int64_t lastRow) {
  if (!gridlist) Fatal("FATAL: no grid list for " + modulname, 12);
  if (index >= kGridListMax) {
    *diag << "FATAL: no free grid in memory,(max. " << kGridListMax << ")!" << "[end-entry]";
    throw 12;
  }
  if (index < 1) Fatal("FATAL: grid list position " + std::to_string(index) + " for " + shortName + " is invalid", 12);
  GridListEntry& e = gridlist[index];
  // An occupied position is never overwritten.
  if (e.registered) {
    Fatal("FATAL: grid list position " + std::to_string(index) + " is occupied by " + e.shortname +
              "; the grid " + shortName + " cannot be registered there",
          12);
  }
  e.registered = true;
  e.filename = fileName;
  if (e.filename2.empty()) {
    e.filename2 = fileName;
    e.filename2marker = 1;
  }
  e.shortname = shortName;
  e.grid = grid;
  e.stack = stack;
  e.levels = levels;
  e.count = 0;
  e.minmaxstarted = 0;
  // A negative code has no digit that writes anything: say so rather than
  // leave the user waiting for files that never come.
  if (writeCode < 0)
    *diag << ("WARNING: the write code " + std::to_string(writeCode) + " of the grid " + shortName + " (" + fileName +
              ") is negative; the grid and its sums are not written")
                 .c_str()
          << "[end-entry]";
  e.writecode = writeCode;
  e.kind = writeCode % 10;
  e.sumdigit = (writeCode % 100) / 10;
  const int hundreds = (writeCode % 1000) / 100;
  e.minflag = (hundreds == 1 || hundreds == 3) ? 1 : 0;
  e.maxflag = (hundreds == 2 || hundreds == 3) ? 1 : 0;
  e.vegdigit = (writeCode % 10000) / 1000;
  e.firstrow = firstRow;
  e.lastrow = lastRow;
  // Companions are named from the second copy, which keeps an output name
  // given before the first registration.
  if (e.sumdigit != 0) {
    e.sumgrid = matrix(firstRow, lastRow, 1, ncols, nrows);
    e.sumname = e.filename2;
  }
  if (e.minflag) {
    e.mingrid = matrix(firstRow, lastRow, 1, ncols, nrows);
    e.minname = e.filename2;
  }
  if (e.maxflag) {
    e.maxgrid = matrix(firstRow, lastRow, 1, ncols, nrows);
    e.maxname = e.filename2;
  }
  if (e.vegdigit != 0) {
    e.veggrid = matrix(firstRow, lastRow, 1, ncols, nrows);
    e.vegname = e.filename2;
  }
  if (e.kind == 8) WriteStatisticGrids(index, 1, 0);
}

void modelobject::UnregisterGrid(int index) {
  if (!gridlist || index < 1 || index > kGridListMax) return;
  GridListEntry& e = gridlist[index];
  e.registered = false;
  e.filename.clear();
  e.shortname.clear();
  e.grid = nullptr;
  e.stack = nullptr;
  e.levels = 0;
  e.count = 0;
  e.kind = 0;
  if (e.sumgrid) FreeMatrix(e.sumgrid, e.firstrow, e.lastrow, 1, ncols);
  if (e.mingrid) FreeMatrix(e.mingrid, e.firstrow, e.lastrow, 1, ncols);
  if (e.maxgrid) FreeMatrix(e.maxgrid, e.firstrow, e.lastrow, 1, ncols);
  if (e.veggrid) FreeMatrix(e.veggrid, e.firstrow, e.lastrow, 1, ncols);
  if (e.sumcount) FreeMatrix(e.sumcount, e.firstrow, e.lastrow, 1, ncols);
  e.sumgrid = e.mingrid = e.maxgrid = e.veggrid = e.sumcount = nullptr;
  // The vegetation grids are looked up again for the next grid of this position.
  e.vegstart = e.vegstop = e.vegduration = nullptr;
  e.sumname.clear();
  e.minname.clear();
  e.maxname.clear();
  e.vegname.clear();
  if (e.filename2marker == 1) {
    e.filename2.clear();
    e.filename2marker = 0;
  }
}

double modelobject::LinInterpol(double x0, double y0, double x1, double y1, double x) {
  const double d = x1 - x0;
  if (d == 0) return y0;
  return y0 * (x1 - x) / d + y1 * (x - x0) / d;
}

void modelobject::FreeMemory() {
  *diag << "DEBUG: deleting module " << modulname.c_str() << "[end-entry]";
  controlfile.Close();
  linebuffer.clear();
  sectionheader.clear();
}
