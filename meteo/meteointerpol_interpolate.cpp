// The per-step interpolation: date check, scenarios, the parallel row loop
// with post-processing, and the zonal statistics of the result.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <iomanip>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/signals.h"
#include "framework/statisticpasses.h"
#include "meteo/meteointerpol.h"

void meteointerpol::LookUpMPIRegions() {
  if (MPIRegionsLooked) return;
  // The owner grid may be registered without a file name, so it is found by its short name alone.
  const int index = ScanByShortName("MPIRegions");
  if (index > 0) {
    MPIRegions = gridlist[index].grid;
  } else if (mpisize > 1) {
    GetGrid("MPIRegions");
  }
  // With one instance and no owner grid every cell of the domain is this instance's.
  MPIRegionsLooked = true;
}

int meteointerpol::ZoneIndex(double zoneValue) const {
  if (!ZoneCodeTable || !(zoneValue >= 0) || zoneValue > HighestZoneCode) return 0;
  return ZoneCodeTable[static_cast<int>(zoneValue)];
}

void meteointerpol::UpdateScenarioTable(int64_t monthOfDate, int64_t dayOfMonth, int64_t yearOfDate) {
  if (monthOfDate < 1 || monthOfDate > 12) return;
  const int m = static_cast<int>(monthOfDate);
  const double d = static_cast<double>(dayOfMonth);
  // Monthly values hold at day 16 of their month and change linearly between.
  for (int r = 1; r <= SzenNum; ++r) {
    std::vector<double>& t = ScenarioTable[r];
    if (dayOfMonth < 16) {
      const int p = m == 1 ? 12 : m - 1;
      const double np = DaysInMonth(m == 1 ? yearOfDate - 1 : yearOfDate, p);
      t[15] = t[2 + p] * (16 - d) / np + t[2 + m] * (np - 16 + d) / np;
    } else {
      const int q = m == 12 ? 1 : m + 1;
      const double nm = DaysInMonth(yearOfDate, m);
      t[15] = t[2 + m] * (nm - d + 15) / nm + t[2 + q] * (d - 15) / nm;
    }
  }
}

void meteointerpol::LoadScenarioGrid(int64_t monthOfDate) {
  int64_t m = monthOfDate;
  if (m > 12) m = (m - 1) % 12 + 1;
  if (m < 1) m = 1;
  const int low = GridRowLow();
  const int high = GridRowHigh();
  if (ScenarioRegistered) UnregisterGrid(ResultGridIndex + 1);
  ScenarioRegistered = false;
  if (ScenarioGrid) FreeMatrix(ScenarioGrid, low, high, 1, ncols);
  ScenarioGrid = matrix(low, high, 1, ncols, nrows);
  ScenarioMonth = static_cast<int>(m);
  ReadInputGrid(ScenarioGridName[m], ScenarioGrid);
  RegisterGrid(ResultGridIndex + 1, ScenarioGridName[m], ScenarioGrid, nullptr, 0, "scenariogrid_" + VariableName, 0,
               low, high);
  ScenarioRegistered = true;
}

void meteointerpol::Interpolate(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  InterpolateGrid(stepHour, stepDay, stepMonth, stepYear);
  AddStatisticCells();
  ReduceStatistics(stepHour, stepDay, stepMonth, stepYear);
}

void meteointerpol::InterpolateGrid(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  const MeteoDate step{stepHour, stepDay, stepMonth, stepYear};
  if (!(CurrentDate == step)) {
    const std::string dashes(77, '-');
    *diag << ("FATAL: " + dashes + "\nerror in date columns of ").c_str() << VariableName.c_str()
          << "\n\nfirst Meteo data set (this is the set from which data is get:\n"
          << static_cast<long>(stepDay) << "." << static_cast<long>(stepMonth) << "." << static_cast<long>(stepYear)
          << " " << static_cast<long>(stepHour) << ". h\n\nbut in " << VariableName.c_str() << ":\n"
          << static_cast<long>(CurrentDate.day) << "." << static_cast<long>(CurrentDate.month) << "."
          << static_cast<long>(CurrentDate.year) << " " << static_cast<long>(CurrentDate.hour)
          << (". h\n\n" + dashes + "\n").c_str() << "[end-entry]";
    throw 52;
  }
  // A progress line every step with a report interval of 1; with a longer
  // one the sub-models report the run's progress.
  const int interval = GetReportInterval();
  if (!omp_in_parallel() &&
      (interval == 1 || (interval > 1 && (static_cast<int>(TimeStepHours) % interval) + stepHour == 0))) {
    *diag << std::setw(20) << VariableName.c_str() << " " << static_cast<long>(stepDay) << "."
          << static_cast<long>(stepMonth) << "." << static_cast<long>(stepYear) << " " << static_cast<long>(stepHour)
          << ". h " << (SzenUse == 1 ? "using scenarios!" : "") << "[end-entry]";
  }
  if (SzenUse == 1) {
    if (SzenMeth == 5 || SzenMeth == 6) {
      const int64_t m = stepMonth > 12 ? (stepMonth - 1) % 12 + 1 : stepMonth;
      if (m != ScenarioMonth) {
        // As for the grids of method 9: Ctrl-C ends the program while the grid is read.
        ResetCtrlCHandler();
        LoadScenarioGrid(stepMonth);
        RearmCtrlCHandler();
      }
    } else {
      UpdateScenarioTable(stepMonth, stepDay, stepYear);
    }
  }
  if (Method == 9) {
    ResetCtrlCHandler();
    if (GridListGridName == "-9999") {
      if (LastValidGridName.empty()) {
        *diag << "FATAL: interpolation method 9 (read from grid) no valid grid name was found (-9999 as input) and "
                 "no last valid grid name present (i.e., simulation starts, when input list file contains -9999 "
                 "only)"
              << "[end-entry]";
        throw 1050;
      }
      ReadInputGrid(LastValidGridName, ResultGrid);
    } else {
      ReadInputGrid(GridListGridName, ResultGrid);
      LastValidGridName = GridListGridName;
    }
    RearmCtrlCHandler();
    // The file's values outside the basin are no results: missing, as every
    // interpolated grid holds them on any layout (the zone grid holds the
    // rows of the result grid).
    for (int r = ResultGridRowLow; r <= ResultGridRowHigh; ++r)
      for (int c = 1; c <= ncols; ++c)
        if (!(zonegrid[r][c] > nodata)) ResultGrid[r][c] = nodata;
  }
  LookUpMPIRegions();
  Statistics->NewStep();

  // Everything the threads share is decided here, before the parallel region.
  const bool regressionMethod = Method == 2 || Method == 10;
  const bool applyPostProcessing = !(regressionMethod && Regr[1].a[1] < -Nodata);
  bool uniform = false;
  bool uniformValid = false;
  double uniformValue = 0;
  // The shortcut stands only where it gives what the kernels would: inverse
  // distances (within their reach), the nearest station and its lapse rates;
  // methods 3 and 11 still add their regression part. Bilinear cells fall
  // back to inverse distances with a reach (5, 6), method 6 adds the second
  // file times the elevation, spline cells without a value take inverse
  // distances (7) and method 8 adds its second spline: those compute.
  const bool shortcutMethod = Method == 1 || Method == 3 || Method == 4 || Method == 11 || Method == 12;
  if (shortcutMethod && AllEqual[0]) {
    uniform = true;
    for (int s = 1; s <= StationCount[0]; ++s) {
      if (StationValues[0][s] >= -Nodata) {
        uniformValue = StationValues[0][s];
        uniformValid = true;
        // Station 1 keeps its own value: made valid, it would reach cells
        // and be the nearest station where it has no value.
        break;
      }
    }
  }
  const size_t workSize = static_cast<size_t>(StationCount[0]) + 1;
  const size_t threads = static_cast<size_t>(std::max(1, omp_get_max_threads()));
  // The column splines of the step; the cells take the surfaces at their points in the row loop.
  if ((Method == 7 || Method == 8) && Splines) {
    for (int k = 0; k < StationFileCount; ++k) {
      PrepareSplines(k);
      if (SplineScratch[k].size() < threads) SplineScratch[k].resize(threads);
      for (TSplines::Scratch& s : SplineScratch[k]) Splines->Prepare(s);
    }
  }
  if (ThreadWork.size() < threads) ThreadWork.resize(threads);
  for (auto& w : ThreadWork)
    if (w.size() < workSize) w.assign(workSize, 0.0);
  const bool idwMethod = Method == 1 || Method == 3 || Method == 11;
  const bool warn = CheckFlag != 0 && idwMethod && !uniform;
  const size_t ownCells = static_cast<size_t>(lastrow >= firstrow ? lastrow - firstrow + 1 : 0) * (ncols + 1);
  // A uniform field takes its value only where a valid station lies within
  // the maximum distance, as the inverse distances would: the cells beyond
  // stay missing in dry hours as in wet ones. Which cells those are is known
  // from the last uniform step with the same valid stations.
  bool computeReach = false;
  if (uniform && uniformValid && idwMethod) {
    ValidNow.assign(static_cast<size_t>(StationCount[0]) + 1, 0);
    for (int s = 1; s <= StationCount[0]; ++s) ValidNow[s] = StationValues[0][s] >= -Nodata ? 1 : 0;
    if (ReachCells.size() != ownCells || ValidNow != ReachStations) {
      computeReach = true;
      ReachStations = ValidNow;
      ReachCells.assign(ownCells, 0);
    }
  }
  if (idwMethod && (!uniform || computeReach)) {
    CompactValidStations(AnisoRatio < 1);
    if (ThreadRows.size() < threads) ThreadRows.resize(threads);
    const size_t rowSize = static_cast<size_t>(ncols) + 1;
    for (auto& row : ThreadRows) {
      if (row.x.size() >= rowSize) continue;
      row.x.assign(rowSize, 0.0);
      row.y.assign(rowSize, 0.0);
      row.value.assign(rowSize, 0.0);
    }
  }
  if (warn) NoStationCells.assign(ownCells, 0);

  // A step without any valid station leaves every cell missing: the user is
  // told once per variable, the statistics write the missing value.
  if (IsStationMethod() && !NoValidStationWarned) {
    bool anyValid = false;
    for (int s = 1; s <= StationCount[0] && !anyValid; ++s) anyValid = StationValues[0][s] >= -Nodata;
    if (!anyValid) {
      NoValidStationWarned = true;
      *diag << "WARNING: " << VariableName.c_str() << ": no valid station value in " << StationFileName[0].c_str()
            << " for " << static_cast<long>(stepDay) << "." << static_cast<long>(stepMonth) << "."
            << static_cast<long>(stepYear) << " " << static_cast<long>(stepHour)
            << " h; the grid and its statistics hold missing values (said once for this variable)"
            << "[end-entry]";
    }
  }

  InterpolateRows(applyPostProcessing, uniform, uniformValid, uniformValue, warn, computeReach);

  // One entry per step: the cells of this instance that no station reaches, the first of them by its point.
  if (warn) {
    long long count = 0;
    int firstRow = 0;
    int firstColumn = 0;
    unsigned char firstFlag = 0;
    for (int r = firstrow; r <= lastrow; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        const unsigned char flag = NoStationCells[static_cast<size_t>(r - firstrow) * (ncols + 1) + c];
        if (flag == 0) continue;
        if (count++ == 0) {
          firstRow = r;
          firstColumn = c;
          firstFlag = flag;
        }
      }
    }
    if (count > 0) {
      *diag << (firstFlag == 1 ? "WARNING:  at x=" : "WARNING: at x=") << CellX[firstRow][firstColumn]
            << ", y=" << CellY[firstRow][firstColumn] << " "
            << "no station within the specified search radius! (" << VariableName.c_str() << ", "
            << static_cast<long>(stepDay) << "." << static_cast<long>(stepMonth) << "." << static_cast<long>(stepYear)
            << " " << static_cast<long>(stepHour) << " h: " << count << (count == 1 ? " cell" : " cells")
            << " of instance " << mpirank
            << " without a station within the maximum distance, this one the first of them)"
            << "[end-entry]";
    }
  }

  // Cells of a hydrologic response unit take the value of its master cell.
  for (int r = firstrow; HruMasterGrid && r <= lastrow; ++r) {
    int first = 0;
    int last = -1;
    FirstAndLastColumn(r, first, last);
    for (int c = first; c <= last; ++c) {
      if (!IsOwnCell(r, c) || HruMasterGrid[r][c] != nodata) continue;
      const double unit = HruGrid[r][c];
      const bool known = unit >= 1 && unit < static_cast<double>(HruMasters.size());
      const HruMasterCell master = known ? HruMasters[static_cast<size_t>(unit)] : HruMasterCell{};
      if (!known || master.row < firstrow || master.row > lastrow || master.column < 1 || master.column > ncols) {
        *diag << "FATAL: the hydrologic response unit " << unit << " of the cell in row " << r << ", column " << c
              << " has no master cell among the " << static_cast<long>(HruMasters.size()) - 1
              << " units of this instance (" << VariableName.c_str() << ")"
              << "[end-entry]";
        throw 1030;
      }
      ResultGrid[r][c] = ResultGrid[master.row][master.column];
    }
  }
  ReportMissingCells(step);
}

void meteointerpol::ReportMissingCells(const MeteoDate& step) {
  long long counts[3] = {0, 0, NegativeCutCells};  // missing cells, basin cells, negative water cut to 0
  NegativeCutCells = 0;
  for (int r = firstrow; r <= lastrow; ++r) {
    int first = 0;
    int last = -1;
    FirstAndLastColumn(r, first, last);
    for (int c = std::max(first, 1); c <= std::min(last, ncols); ++c) {
      if (!IsOwnCell(r, c)) continue;
      ++counts[1];
      const double v = ResultGrid[r][c];
      if (!(v > nodata && v >= -Nodata)) ++counts[0];
    }
  }
  // The instances of a divided raster count together; an interpolator set up
  // without the division (no cell counts) holds its raster alone.
  if (MpiRunning() && mpisize > 1 && instanceCellCounts)
    MPI_Allreduce(MPI_IN_PLACE, counts, 3, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  if (counts[2] > 0 && !NegativeCutWarned) {
    NegativeCutWarned = true;
    *diag << "WARNING: the grid " << VariableName.c_str() << " is negative in " << counts[2] << " of " << counts[1]
          << " basin cells on " << std::to_string(step.day).c_str() << "." << std::to_string(step.month).c_str() << "."
          << std::to_string(step.year).c_str() << " " << std::to_string(step.hour).c_str()
          << " h after its post-processing in the section [" << VariableName.c_str() << "] of "
          << UserControlFile().c_str() << " (scaling factor " << ScalingFactor << ", lower limit " << LowerLimit
          << " replaced by " << LowerReplacement;
    if (SzenUse == 1) *diag << ", scenario method " << SzenMeth;
    if (ScalingGrid) *diag << ", scaling grid";
    *diag << "): a negative water amount has no meaning, such cells take 0 (said once for this variable)"
          << "[end-entry]";
  }
  const bool missing = counts[0] > 0;
  if (missing == MissingCellsReported) return;
  MissingCellsReported = missing;
  const std::string date = std::to_string(step.day) + "." + std::to_string(step.month) + "." +
                           std::to_string(step.year) + " " + std::to_string(step.hour) + " h";
  if (missing) {
    *diag << "WARNING: the grid " << VariableName.c_str() << " holds no value in " << counts[0] << " of " << counts[1]
          << " basin cells from " << date.c_str() << " on";
    if (IsStationMethod()) *diag << " (no valid value of " << StationFileName[0].c_str() << " reaches them";
    // The bilinear and spline methods fall back to inverse distances.
    if (IsStationMethod() && (Method == 1 || Method == 3 || Method == 11 || (Method >= 5 && Method <= 8)))
      *diag << " within the maximum distance of " << IdwLimit << " m";
    if (IsStationMethod()) *diag << ")";
    *diag << ": there the grid holds the missing value " << nodata
          << ", the statistics leave the cells out and what needs the value is skipped (said again when every "
             "basin cell has a value)"
          << "[end-entry]";
  } else {
    *diag << "WARNING: the grid " << VariableName.c_str() << " holds a value in every basin cell again from "
          << date.c_str() << " on"
          << "[end-entry]";
  }
}

void meteointerpol::AddStatisticCells() {
  // Without a statistics file the loop would do nothing.
  if (!HasActiveStatistics()) return;
  const int width = std::max(ncols, 1);
  // A row of cells per thread.
  const int threads = std::max(1, omp_get_max_threads());
  const size_t room = static_cast<size_t>(width) * static_cast<size_t>(threads);
  if (StatisticColumns.size() < room) {
    StatisticColumns.resize(room);
    StatisticZones.resize(room);
    StatisticValues.resize(room);
  }
  // The zone indices of the code table, for dividing the zones among threads.
  int zones = 1;
  for (int k = 0; ZoneCodeTable && k <= HighestZoneCode; ++k) zones = std::max(zones, ZoneCodeTable[k] + 1);
  StatisticRowsSideBySide(
      1, firstrow, lastrow, width,
      [&](int r, StatisticCell* list) {
        int first = 0;
        int last = -1;
        FirstAndLastColumn(r, first, last);
        int count = 0;
        for (int c = std::max(first, 1); c <= std::min(last, ncols); ++c) {
          if (!IsOwnCell(r, c)) continue;
          // The value goes in the place of a share; the statistic takes weight 1.
          list[count++] = StatisticCell{c, ZoneIndex(zonegrid[r][c]), ResultGrid[r][c]};
        }
        return count;
      },
      [&](int, int r, const StatisticCell* list, int count) {
        const int thread = omp_in_parallel() ? omp_get_thread_num() : 0;
        const size_t at = static_cast<size_t>(thread < threads ? thread : 0) * static_cast<size_t>(width);
        int* columns = StatisticColumns.data() + at;
        int* zoneOf = StatisticZones.data() + at;
        double* values = StatisticValues.data() + at;
        for (int i = 0; i < count; ++i) {
          columns[i] = list[i].column;
          zoneOf[i] = list[i].zone;
          // A cell without a valid value (below -Nodata, whatever Nodata is) is missing in the statistics.
          values[i] = list[i].share >= -Nodata ? list[i].share : -9999.0;
        }
        Statistics->AddRow(r, count, columns, zoneOf, values);
      },
      zones, [&](int) { return Statistics->ZonesApart(); });
}

void meteointerpol::ReduceStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  Statistics->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
}

void meteointerpol::CompactValidStations(bool anisotropic) {
  const int n = StationCount[0];
  const double* v = StationValues[0].data();
  const double* sx = anisotropic ? StationXRot[0].data() : StationX[0].data();
  const double* sy = anisotropic ? StationYRot[0].data() : StationY[0].data();
  ValidX.clear();
  ValidY.clear();
  ValidValue.clear();
  for (int i = 1; i <= n; ++i) {
    if (!(v[i] >= -Nodata)) continue;
    ValidX.push_back(sx[i]);
    ValidY.push_back(sy[i]);
    ValidValue.push_back(v[i]);
  }
}

void meteointerpol::InterpolateRows(bool applyPostProcessing, bool uniform, bool uniformValid, double uniformValue,
                                    bool warn, bool computeReach) {
  const double invalid = -Nodata - 1;
  const bool regressionValid = Regr[1].a[1] >= -Nodata;
  const bool anisotropic = AnisoRatio < 1;
  const int rowFirst = firstrow;
  const int rowLast = lastrow;
  // Inverse-distance values are computed a row at a time over the valid
  // stations of the step, for the cells the loop below computes.
  const bool idwMethod = Method == 1 || Method == 3 || Method == 11;
  const bool idwRows = idwMethod && (!uniform || computeReach);
  const idw::Weighting weighting = IdwWeighting(anisotropic);
  const int validCount = static_cast<int>(ValidValue.size());
  long long cutCells = 0;
#pragma omp parallel
  {
    const size_t thread = static_cast<size_t>(omp_get_thread_num());
    double* work = ThreadWork[thread].data();
    RowCells* rowCells = idwRows ? &ThreadRows[thread] : nullptr;
#pragma omp for schedule(runtime) reduction(+ : cutCells)
    for (int r = rowFirst; r <= rowLast; ++r) {
      int first = 0;
      int last = -1;
      FirstAndLastColumn(r, first, last);
      if (idwRows) {
        int cells = 0;
        for (int c = first; c <= last; ++c) {
          if (!IsOwnCell(r, c) || (HruMasterGrid && HruMasterGrid[r][c] == nodata)) continue;
          rowCells->x[cells] = CellX[r][c];
          rowCells->y[cells] = CellY[r][c];
          ++cells;
        }
        idw::Cells(weighting, ValidValue.data(), ValidX.data(), ValidY.data(), validCount, rowCells->x.data(),
                   rowCells->y.data(), cells, rowCells->value.data());
      }
      int nextCell = 0;
      for (int c = first; c <= last; ++c) {
        if (!IsOwnCell(r, c) || (HruMasterGrid && HruMasterGrid[r][c] == nodata)) {
          ResultGrid[r][c] = nodata;
          continue;
        }
        const double X = CentreX[r][c];
        const double Y = CentreY[r][c];
        const double z = ElevationGrid[r][c];
        double v = invalid;
        // A step without a regression (no valid station, or missing
        // regression values) is missing everywhere: the previous step's field
        // would pass for this step's.
        if (Method == 2 || Method == 10) {
          if (applyPostProcessing) v = RegressionValue(X, Y, z, r, c);
        } else if (uniform) {
          bool reached = uniformValid;
          if (uniformValid && idwMethod) {
            const size_t at = static_cast<size_t>(r - rowFirst) * (ncols + 1) + c;
            if (computeReach) ReachCells[at] = rowCells->value[nextCell++] >= -Nodata ? 1 : 0;
            reached = ReachCells[at] != 0;
          }
          if (reached) v = Method == 12 ? LapseValue(X, Y, z) : uniformValue;
          // As below: the blend of both parts, the regression alone where no station reaches.
          if (Method != 1 && idwMethod && regressionValid) {
            const double regression = RegressionValue(X, Y, z, r, c);
            v = v >= -Nodata ? IdwFraction * v + (1 - IdwFraction) * regression : regression;
          }
        } else {
          const double x = CellX[r][c];
          const double y = CellY[r][c];
          switch (Method) {
            case 1:
            case 3:
            case 11: {
              const double idw = rowCells->value[nextCell++];
              if (warn && idw < -Nodata)
                NoStationCells[static_cast<size_t>(r - rowFirst) * (ncols + 1) + c] = Method == 1 ? 1 : 2;
              v = idw;
              if (Method != 1 && regressionValid) {
                // A blend needs both parts; with no station in reach the regression stands alone.
                const double regression = RegressionValue(X, Y, z, r, c);
                v = idw >= -Nodata ? IdwFraction * idw + (1 - IdwFraction) * regression : regression;
              }
              break;
            }
            case 4:
              v = NearestStation(X, Y, 0, work);
              break;
            case 5:
              v = Bilinear(x, y, 0, r, c, work);
              break;
            case 6: {
              const double gradient = Bilinear(x, y, 0, r, c, work);
              const double residual = Bilinear(x, y, 1, r, c, work);
              v = (gradient >= -Nodata && residual >= -Nodata) ? gradient + residual * z : invalid;
              break;
            }
            case 7:
            case 8: {
              // Each file's spline surface at the cell; beyond the mesh (or a
              // gap) that file's inverse distances, as the bilinear methods fall
              // back. Method 8 adds the second file times the elevation.
              double part[2] = {invalid, invalid};
              for (int k = 0; k < StationFileCount; ++k) {
                const double spline =
                    Splines ? Splines->ValueAt(SplineColumns[k], x, y, SplineScratch[k][thread]) : nodata;
                part[k] = spline != nodata ? spline
                          : anisotropic    ? IdwAnisotropic(x, y, k, work)
                                           : IdwIsotropic(x, y, k, work);
              }
              if (Method == 7)
                v = part[0];
              else if (part[0] >= -Nodata && part[1] >= -Nodata)
                v = part[0] + part[1] * z;
              break;
            }
            case 9:
              // A cell the grid file leaves missing stays missing (not a number for the limits).
              v = ResultGrid[r][c] > -9999 ? ResultGrid[r][c] : invalid;
              break;
            case 12:
              v = LapseValue(X, Y, z);
              break;
            default:
              break;
          }
        }
        if (applyPostProcessing) {
          bool cut = false;
          v = PostProcess(v, r, c, X, Y, true, &cut);
          if (cut) ++cutCells;
        }
        // A cell that no station reaches holds the grid's no-data value, as
        // the result grids' header says; the invalid marker is internal.
        ResultGrid[r][c] = v < -Nodata ? nodata : v;
      }
    }
  }
  NegativeCutCells = cutCells;
  // Columns of the mesh that stand at the same x at a cell's y end the run here, on the main thread.
  for (int k = 0; k < 2; ++k)
    for (const TSplines::Scratch& s : SplineScratch[k])
      if (s.sameAbscissas) Splines->SameAbscissas(s.sameX, s.sameColumn - 1, s.sameX, s.sameColumn);
}
