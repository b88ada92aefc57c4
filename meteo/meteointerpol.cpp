// Construction, life cycle and release of an interpolator.
#include "meteo/meteointerpol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "framework/diagstream.h"

meteointerpol::meteointerpol(int& error, DiagStream* diagnostics, const MeteoInterpolArgs& args)
    : modelobject(diagnostics, args.controlFileName, 0, args.model) {
  error = 0;
  try {
    Construct(args);
  } catch (int code) {
    error = code;
    Release(false);
    throw;
  } catch (...) {
    error = 103;
    Release(false);
    throw 103;
  }
}

meteointerpol::~meteointerpol() {
  Release(false);
}

bool meteointerpol::IsStationMethod() const {
  return Method != 2 && Method != 9;
}

// Instance 0 holds whole grids; every other instance its rows and one border row on each side.
int meteointerpol::GridRowLow() const {
  if (mpirank == 0) return 1;
  return firstrow >= 2 ? firstrow - 1 : firstrow;
}

int meteointerpol::GridRowHigh() const {
  if (mpirank == 0) return nrows;
  return lastrow < nrows ? lastrow + 1 : lastrow;
}

void meteointerpol::FirstAndLastColumn(int row, int& first, int& last) const {
  if (DataColumns) {
    first = DataColumns[row].first;
    last = DataColumns[row].last;
    if (first < 1) first = 1;
    if (last > ncols) last = ncols;
  } else {
    first = 1;
    last = ncols;
  }
}

void meteointerpol::Construct(const MeteoInterpolArgs& args) {
  *diag << "file "
        << "meteoint"
        << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  VariableName = args.variableName;
  modulname = VariableName;
  WaterAmount = IsWaterAmount();
  *diag << "DEBUG: initializing interpolator for " << VariableName.c_str() << "[end-entry]";

  gridlist = args.gridList;
  ResultGridIndex = args.resultGridIndex;
  SetGeometry(args.ncols, args.nrows, args.xll, args.yll, args.cellSize, args.nodata);
  SetRowRange(args.firstRow, args.lastRow);
  SetDataColumns(args.dataColumns);
  DataColumns = args.dataColumns;
  ZoneCodeTable = args.zoneCodeTable;
  HighestZoneCode = args.highestZoneCode;
  StatisticsFactory = args.statisticsFactory;
  StartDate = args.start;
  // The model object's date is the end date: its key ends the input.
  SetDate(args.end.year, args.end.month, args.end.day, args.end.hour);
  if (!gridlist || !gridlist[1].grid || !gridlist[2].grid) {
    *diag << "FATAL: the interpolator of " << VariableName.c_str()
          << " needs the zone grid (grid list position 1) and the elevation model (position 2)"
          << "[end-entry]";
    throw 33;
  }
  zonegrid = gridlist[1].grid;
  ElevationGrid = gridlist[2].grid;
  if (args.hruMasters.size() > 1) {
    HruMasters = args.hruMasters;
    HruGrid = gridlist[GetGrid("HydrologicResponseUnits")].grid;
    HruMasterGrid = gridlist[GetGrid("MasterHydrologicResponseUnits")].grid;
    if (!HruGrid || !HruMasterGrid) {
      *diag << "FATAL: the hydrologic response unit grids hold no grid (" << VariableName.c_str() << ")"
            << "[end-entry]";
      throw 1030;
    }
  }

  if (FindGrid("RelCellArea", true) == 0) {
    *diag << "FATAL: \n-----------------------------------------------------------\nFluvex-Orvik no longer works "
             "without a RelCellArea-Grid.\nIf this message appears, then something is wrong with the code,\nso "
             "please contact the author.\n-----------------------------------------------------------\n\n"
          << "[end-entry]";
    throw 74;
  }
  const char* needed[3] = {"RelCellArea", "CoordX", "CoordY"};
  Grid* targets[3] = {&RelCellArea, &CoordX, &CoordY};
  for (int i = 0; i < 3; ++i) {
    *targets[i] = gridlist[GetGrid(needed[i])].grid;
    if (!*targets[i]) {
      *diag << "FATAL: the grid list entry " << needed[i] << " holds no grid (needed by " << VariableName.c_str() << ")"
            << "[end-entry]";
      throw 33;
    }
  }
  ReadControlSection();
  // No regression parameters before the first record or regression of the step.
  for (RegressionRegion& r : Regr) {
    for (int i = 0; i < 4; ++i) r.a[i] = r.b[i] = -Nodata - 1;
    r.h1 = r.h2 = r.c0 = r.cx = r.cy = -Nodata - 1;
  }

  MakeCentreGrids();
  ResultGridRowLow = GridRowLow();
  ResultGridRowHigh = GridRowHigh();
  ResultGrid = matrix(ResultGridRowLow, ResultGridRowHigh, 1, ncols, nrows);
  for (int r = ResultGridRowLow; r <= ResultGridRowHigh; ++r)
    for (int c = 1; c <= ncols; ++c) ResultGrid[r][c] = nodata;
  RegisterGrid(ResultGridIndex, ResultGridName, ResultGrid, nullptr, 0, VariableName, WriteCode, ResultGridRowLow,
               ResultGridRowHigh);
  ResultRegistered = true;

  if (SzenUse == 1 && (SzenMeth == 5 || SzenMeth == 6)) LoadScenarioGrid(StartDate.month);

  // Dates are preset with a value no real date has.
  const int64_t preset = ~static_cast<int64_t>(NodataInt);
  CurrentDate = {preset, preset, preset, preset};
  FileDate[0] = FileDate[1] = CurrentDate;
  EndFlag = 0;

  ComposeDescription();
  int statError = 0;
  Statistics = StatisticsFactory ? StatisticsFactory(statError, StatFileName, StatCode) : nullptr;
  if (statError != 0) {
    *diag << "FATAL: the statistics file " << StatFileName.c_str() << " of " << VariableName.c_str()
          << " could not be set up"
          << "[end-entry]";
    throw statError;
  }
  if (!Statistics) Statistics = new InactiveMeteoStatistics;
  StatisticColumns.assign(static_cast<size_t>(std::max(ncols, 1)), 0);
  StatisticZones.assign(StatisticColumns.size(), 0);
  StatisticValues.assign(StatisticColumns.size(), 0.0);
  Statistics->WriteHeader(VariableName, Description);

  if (IsStationMethod()) {
    for (int k = 0; k < StationFileCount; ++k) {
      ReadStationDescription(k);
      if (k > 0) CheckStationFilesAgree();
      FindStartInStationFile(k);
      StartPosition[k] = StartLinePosition[k];
      const int n = StationCount[k];
      StationRecordBuffer& b = RecordBuffer[k];
      b.capacity = static_cast<int>(2097152 / ((static_cast<int64_t>(n) + 1) * 8 + 32));
      if (b.capacity < 1) b.capacity = 1;
      b.dates.assign(static_cast<size_t>(b.capacity) + 1, MeteoDate{});
      b.values.assign((static_cast<size_t>(b.capacity) + 1) * (static_cast<size_t>(n) + 1), 0.0);
      b.count = 0;
      b.next = 1;  // the first record taken reads a block
    }
    AutoAnisotropy();
    AnisoSlope *= 0.017453292519944444;
    BuildRotatedCoordGrids();
    RotateStationCoords();
    AverageStationSpacing();
    if (Method == 5 || Method == 6) ChooseLookupStations(StationFileCount);
    if (Method == 7 || Method == 8) BuildStationMesh(0);
    CurrentDate = FileDate[0];
  }
  if (Method == 2 || Method == 3) {
    FindStartInRegressionFile(1);
    RegressionStartPosition = RegressionStartLinePosition;
    RegressionBuffer.capacity = 16384;
    RegressionBuffer.dates.assign(16385, MeteoDate{});
    RegressionBuffer.values.assign(16385 * 12, 0.0);
    RegressionBuffer.lines.assign(16385, 0);
    RegressionBuffer.count = 0;
    RegressionBuffer.next = 1;
  }
  if (Method == 9) {
    ReadStationDescription(0);
    FindStartInGridList();
    SetGridInputRegionParams();
    AllEqual[0] = 0;
    CurrentDate = FileDate[0];
  }
  const int scaling = FindGrid("ScalingGrid_" + VariableName, false);
  if (scaling > 0) ScalingGrid = gridlist[scaling].grid;
}

void meteointerpol::MakeCentreGrids() {
  const int low = GridRowLow();
  const int high = GridRowHigh();
  CentreX = matrix(low, high, 1, ncols, nrows);
  CentreY = matrix(low, high, 1, ncols, nrows);
  // The cell sizes where the run reads them (else every cell is cellsize wide), as the rows they hold.
  auto sizes = [&](const char* name) -> const GridListEntry* {
    const int p = FindGrid(name, false);
    if (p <= 0 || !gridlist[p].grid || gridlist[p].firstrow > low || gridlist[p].lastrow < high) return nullptr;
    return &gridlist[p];
  };
  const GridListEntry* sizeX = sizes("CellSizeX");
  const GridListEntry* sizeY = sizes("CellSizeY");
  auto half = [&](const GridListEntry* g, int r, int c) {
    const double v = g ? g->grid[r][c] : nodata;
    return (v > 0 ? v : cellsize) / 2;
  };
  for (int r = low; r <= high; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (CoordX[r][c] == nodata || CoordY[r][c] == nodata) {
        CentreX[r][c] = CentreY[r][c] = nodata;
        continue;
      }
      CentreX[r][c] = CoordX[r][c] + half(sizeX, r, c);
      CentreY[r][c] = CoordY[r][c] + half(sizeY, r, c);
    }
  }
  CellX = CentreX;
  CellY = CentreY;
}

void meteointerpol::CheckStationFilesAgree() {
  const char* tail = "------- Program terminated due to input data error ---------\n\n";
  if (StationCount[1] != StationCount[0]) {
    *diag << "FATAL: \n------- Error 73 in Interpolation input data ---------\n"
          << "meteorological station files " << StationFileName[1].c_str() << " \nand " << StationFileName[0].c_str()
          << " contain a different number of stations \n(" << StationCount[1] << " and " << StationCount[0]
          << ", resp.)\n"
          << "these data has to be identical in both files for interpolation method 6\n"
          << tail << "[end-entry]";
    throw 73;
  }
  for (int s = 1; s <= StationCount[0]; ++s) {
    if (StationAltitude[1][s] == StationAltitude[0][s] && StationX[1][s] == StationX[0][s] &&
        StationY[1][s] == StationY[0][s])
      continue;
    *diag << "FATAL: \n------- Error 73 in Interpolation input data ---------\n"
          << "Altitude and/or coordinates of station " << s << " are different in\nmeteorological station files "
          << StationFileName[1].c_str() << "\nH: " << StationAltitude[1][s] << ",\tX: " << StationX[1][s]
          << "\tY: " << StationY[1][s] << "\nand\n"
          << StationFileName[0].c_str() << "\nH: " << StationAltitude[0][s] << ",\tX: " << StationX[0][s]
          << "\tY: " << StationY[0][s] << "\n"
          << "These data has to be identical in both files for interpolation method 6\n"
          << tail << "[end-entry]";
    throw 73;
  }
}

void meteointerpol::ComposeDescription() {
  std::vector<char> text(8192);
  const char* var = VariableName.c_str();
  const char* file0 = StationFileName[0].c_str();
  const char* file1 = StationFileName[1].c_str();
  const char* zones = gridlist[1].filename.c_str();
  const std::string controlName = UserControlFile();
  const char* control = controlName.c_str();
  const int ac0 = AdditionalColumns[0];
  const int ac1 = AdditionalColumns[1];
  // The limit is shown as given in the control file, also when it was squared on reading.
  const double shownDistance = IdwWeight == 2.0 ? std::sqrt(MaxDistance) : MaxDistance;
  char* t = text.data();
  const size_t n = text.size();
  switch (Method) {
    case 1:
      std::snprintf(t, n,
                    "%s interpolated with idw from %s, zones from %s, weighting = %4.1f,  maxentf = %8.0f, control "
                    "file %s, additional columns: %d",
                    var, file0, zones, IdwWeight, shownDistance, control, ac0);
      break;
    case 2: {
      std::string s = std::string(var) + " interpolated with regression from ";
      s += " " + RegressionFileName + ",";
      s += " zones from " + std::string(zones) + ", control file: " + controlName;
      std::snprintf(t, n, "%s", s.c_str());
      break;
    }
    case 3:
      std::snprintf(t, n,
                    "%s interpolated with idw+regression from %s, zones from %s,weighting = %4.1f, fraction "
                    "distance: = %4.1f max distance = %8.0f, control file %s, additional columns: %d",
                    var, file0, zones, IdwWeight, IdwFraction, shownDistance, control, ac0);
      break;
    case 4:
      std::snprintf(t, n,
                    "%s interpolated with Thiessen from %s, zones from %s, control file %s, additional columns: %d",
                    var, file0, zones, control, ac0);
      break;
    case 5:
      std::snprintf(t, n,
                    "%s interpolated with bilinear interpolation from %s, zones from %s, control file %s, additional "
                    "columns: %d",
                    var, file0, zones, control, ac0);
      break;
    case 6:
      std::snprintf(t, n,
                    "%s interpolated with bilinear interpolation of gradients (%s, add. col.: %d) and residuals (%s, "
                    "add. col.: %d), linearly combined, zones from %s, control file %s",
                    var, file0, ac0, file1, ac1, zones, control);
      break;
    case 7:
      std::snprintf(t, n,
                    "%s interpolated with bicubic spline interpolation (%s, add. col.: %d), zones from %s, control "
                    "file %s",
                    var, file0, ac0, zones, control);
      break;
    case 8:
      std::snprintf(t, n,
                    "%s interpolated with bicubic spline interpolation of gradients (%s, add. col.: %d) and residuals "
                    "(%s, add. col.: %d), linearly combined, zones from %s, control file %s",
                    var, file0, ac0, file1, ac1, zones, control);
      break;
    case 9:
      std::snprintf(t, n,
                    "%s read in from grids containing already interpolated data (%s, add. col.: %d) zones from %s, "
                    "control file %s",
                    var, file0, ac0, zones, control);
      break;
    case 10:
      std::snprintf(t, n,
                    "%s interpolated with elevation dependent regression for values taken from %s, control file %s",
                    var, file0, control);
      break;
    case 11:
      std::snprintf(t, n,
                    "%s interpolated with elevation dependent regression + idw, all values taken from %s, control "
                    "file %s",
                    var, file0, control);
      break;
    default:
      std::snprintf(t, n,
                    "%s interpolated with Thiessen plus elevation lapserate, all values taken from %s, control file %s",
                    var, file0, control);
      break;
  }
  Description = t;
}

void meteointerpol::GetDate(int64_t& hourOut, int64_t& dayOut, int64_t& monthOut, int64_t& yearOut) const {
  hourOut = CurrentDate.hour;
  dayOut = CurrentDate.day;
  monthOut = CurrentDate.month;
  yearOut = CurrentDate.year;
}

void meteointerpol::SetEndDateToCurrent() {
  SetDate(CurrentDate.year, CurrentDate.month, CurrentDate.day, CurrentDate.hour);
}

void meteointerpol::WriteStatistics() {
  if (Statistics) Statistics->Flush();
}

void meteointerpol::WriteResultGrids() {
  // The object's date is the end date; the result grids carry the step's date.
  SetStepDate(CurrentDate.year, CurrentDate.month, CurrentDate.day, CurrentDate.hour);
  WriteStatisticGrids(ResultGridIndex, 1, 0);
}

void meteointerpol::ResetToStart() {
  EndFlag = 0;
  DataEndFile.clear();
  if (IsStationMethod()) {
    for (int k = 0; k < StationFileCount; ++k) {
      CurrentPosition[k] = StartPosition[k];
      CurrentLineNumber[k] = StartLineNumber[k];
      RecordBuffer[k].count = 0;
      RecordBuffer[k].next = 1;
      FileDate[k] = StartDate;
      LastRecordHours[k] = -1;  // the start record is read again
    }
  }
  if (Method == 2 || Method == 3) {
    RegressionCurrentPosition = RegressionStartPosition;
    RegressionLineNumber = RegressionStartLineNumber;
    RegressionBuffer.count = 0;
    RegressionBuffer.next = 1;
    if (Method == 2) CurrentDate = StartDate;
  }
  if (Method == 9) {
    // An open list stands behind the start record: reopen it at the start.
    GridListFile.Close();
    CurrentPosition[0] = StartPosition[0];
    CurrentLineNumber[0] = StartLineNumber[0];
    FileDate[0] = StartDate;
  }
}

int meteointerpol::AnyFlagSet(const int* flags, int n) const {
  for (int i = 1; i <= n; ++i)
    if (flags[i] != 0) return 1;
  return 0;
}

int meteointerpol::FindStationInBox(double x, double y, double xlo, double xhi, double ylo, double yhi) const {
  const double* sx = StationXRot[0].data();
  const double* sy = StationYRot[0].data();
  for (int s = 1; s <= StationCount[0]; ++s)
    if (x + xlo < sx[s] && sx[s] < x + xhi && y + ylo < sy[s] && sy[s] < y + yhi) return s;
  return 0;
}

double meteointerpol::ScenarioFactor(int row, int col, double x, double y) const {
  if (SzenMeth == 5 || SzenMeth == 6) {
    if (ScenarioGrid && row >= GridRowLow() && row <= GridRowHigh() && col >= 1 && col <= ncols)
      return ScenarioGrid[row][col];
    // A point in rows this instance does not hold leaves the value unchanged.
    return SzenMeth == 6 ? 0.0 : 1.0;
  }
  // A table without rows changes nothing: it adds 0 or multiplies by 1.
  if (SzenNum < 1) return SzenMeth == 1 ? 0.0 : 1.0;
  double best = 1e15;
  double factor = 0.0;
  for (int r = 1; r <= SzenNum; ++r) {
    const std::vector<double>& t = ScenarioTable[r];
    const double d = (x - t[1]) * (x - t[1]) + (y - t[2]) * (y - t[2]);
    // Among equally near rows the last one wins.
    if (best >= d) {
      best = d;
      factor = t[15];
    }
  }
  return factor;
}

int meteointerpol::GetLookupStation(int file, int corner, int row, int col) const {
  const std::vector<int>& g = LookupStations[file][corner];
  if (g.empty() || row < firstrow || row > lastrow) return 0;
  return g[static_cast<size_t>(row - firstrow) * (ncols + 1) + col];
}

void meteointerpol::ReadInputGrid(const std::string& fileName, Grid grid) {
  // The grid keeps its rows (keepWhole): instance 0 holds them all, as the
  // result and scenario grids are allocated; no holes are filled.
  ReadGrid(fileName, &grid, 0, false, true, false, true, false, true, nodata);
}

void meteointerpol::SetGridInputRegionParams() {
  // With several instances the set-up has registered the owner and strip
  // grids; instance 0 then hands each instance the cells it owns.
  if (!BindMPIRegionGrids() && mpisize > 1) {
    *diag << "FATAL: the grids read for " << VariableName.c_str()
          << " cannot be handed to the instances: the grid list holds no \"MPIRegions\" and \"MPIHelper\" grids"
          << "[end-entry]";
    throw 33;
  }
}

void meteointerpol::InputError(const std::string& file, long line, const std::string& what, int code) {
  *diag << "FATAL: error reading " << file.c_str() << ", line " << line << " (" << VariableName.c_str()
        << "): " << what.c_str() << "[end-entry]";
  throw code;
}

void meteointerpol::Release(bool verbose) {
  if (Released) return;
  Released = true;
  if (verbose) *diag << "DEBUG: deleting interpolator for " << VariableName.c_str() << "[end-entry]";
  // A statistics file that cannot be written is reported after everything else is released.
  int pending = 0;
  if (verbose && Statistics) {
    try {
      Statistics->Finish();
    } catch (int code) {
      pending = code;
    }
  }
  GridListFile.Close();
  if (ScenarioRegistered) UnregisterGrid(ResultGridIndex + 1);
  ScenarioRegistered = false;
  if (ScenarioGrid) FreeMatrix(ScenarioGrid, GridRowLow(), GridRowHigh(), 1, ncols);
  ScenarioGrid = nullptr;
  if (ResultRegistered) UnregisterGrid(ResultGridIndex);
  ResultRegistered = false;
  if (ResultGrid) FreeMatrix(ResultGrid, ResultGridRowLow, ResultGridRowHigh, 1, ncols);
  ResultGrid = nullptr;
  if (CellXRotIndex > 0) UnregisterGrid(CellXRotIndex);
  if (CellYRotIndex > 0) UnregisterGrid(CellYRotIndex);
  CellXRotIndex = CellYRotIndex = 0;
  if (CellXRot) FreeMatrix(CellXRot, GridRowLow(), GridRowHigh(), 1, ncols);
  if (CellYRot) FreeMatrix(CellYRot, GridRowLow(), GridRowHigh(), 1, ncols);
  CellXRot = CellYRot = nullptr;
  if (CentreX) FreeMatrix(CentreX, GridRowLow(), GridRowHigh(), 1, ncols);
  if (CentreY) FreeMatrix(CentreY, GridRowLow(), GridRowHigh(), 1, ncols);
  CentreX = CentreY = nullptr;
  CellX = CellY = nullptr;
  delete Statistics;
  Statistics = nullptr;
  delete Splines;
  Splines = nullptr;
  for (int k = 0; k < 2; ++k) {
    SplineColumns[k] = TSplines::Columns{};
    SplineScratch[k].clear();
  }
  MeshStation.clear();
  MeshValue.clear();
  MeshX.clear();
  MeshY.clear();
  for (int k = 0; k < 2; ++k) {
    RecordBuffer[k] = StationRecordBuffer{};
    for (int c = 0; c < 5; ++c) LookupStations[k][c].clear();
  }
  RegressionBuffer = RegressionRecordBuffer{};
  ScenarioTable.clear();
  ThreadWork.clear();
  NoStationCells.clear();
  ReachCells.clear();
  ReachStations.clear();
  if (verbose) {
    modelobject::FreeMemory();
  } else {
    controlfile.Close();
  }
  if (pending != 0) throw pending;
}

void meteointerpol::FreeMemory() {
  Release(true);
}
