// Creation of the land-use parameter grids and their values at the start
// date; release with the "_End" stacks of the multiple start times.
#include "parameters/landuseparametergrids.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "framework/diagstream.h"

namespace {

const char* const kBaseNames[landuseparametergrids::kKinds] = {"root_depth",
                                                               "vegetation_coverage_degree",
                                                               "leaf_area_index",
                                                               "SurfaceCanopyResistance",
                                                               "SurfaceIntercepResistance",
                                                               "RoughnessLength",
                                                               "VegetationStart",
                                                               "VegetationStop",
                                                               "VegetationDuration",
                                                               "SumOfForcingUnits",
                                                               "Pheno_start",
                                                               "SumOfChillingUnits",
                                                               "FStar_ForcingThreshold"};

bool UsesPhenologyStart(int method) {
  return method == landuse_table_entry::kDynPhen1 || method == landuse_table_entry::kDynPhen2 ||
         method == landuse_table_entry::kDynPhen4;
}

}  // namespace

const char* landuseparametergrids::BaseName(Kind kind) {
  return kBaseNames[kind];
}

landuseparametergrids::landuseparametergrids(DiagStream* diagnostics, const ModelObjectArgs& args, GridListEntry* list,
                                             const Frame& frame, landuse_table_entry* entries, std::vector<Grid> layers)
    : modelobject(diagnostics, "", 0, args), table(entries), layerGrids(std::move(layers)) {
  modulname = "defaults";
  SetGridList(list);
  SetGeometry(frame.ncols, frame.nrows, frame.xllcorner, frame.yllcorner, frame.cellsize, frame.nodata);
  SetRowRange(frame.firstRow, frame.lastRow);
  SetDataColumns(frame.dataColumns);
  SetMPIRegionGrids(frame.regions, frame.helper);
  SetMinToIntEnd(frame.minToIntEndMinutes);
  SetReportInterval(frame.reportInterval < 1 ? 1 : frame.reportInterval);
  // The end date decides which statistic outputs are due at the end of the run.
  SetDate(frame.endYear, frame.endMonth, frame.endDay, frame.endHour);
  firstrowhalo = frame.firstRowHalo;
  albedoRead = frame.albedoRead;
  lastrowhalo = frame.lastRowHalo;
  startyear = frame.startYear;
  startmonth = frame.startMonth;
  startday = frame.startDay;
  tableCount = table ? table[0].code : 0;
  if (gridlist) {
    zonegrid = gridlist[1].grid;
    elevation = gridlist[2].grid;
  }
}

landuseparametergrids::~landuseparametergrids() {
  // Normally released by FreeMemory; after an error during the set-up the
  // memory is returned all the same, but no stack is written.
  if (!released) ReleaseOwned();
}

void landuseparametergrids::ReleaseOwned() {
  released = true;
  for (int i = 1; i <= tableCount; ++i) {
    table[i].SetPhenoStartGrids(nullptr);
    table[i].SetFStarGrids(nullptr);
    table[i].SetForcingSumGrids(nullptr);
    table[i].SetMultipleStartTimes(nullptr, table[i].MaxJulDaysCount);
  }
  for (const Owned& o : owned)
    if (o.position > 0) UnregisterGrid(o.position);
  for (const Owned& o : owned) {
    if (o.grid) FreeMatrix(o.grid, o.firstRow, o.lastRow, 1, ncols);
    if (o.stack) FreeMatrix3d(o.stack, o.firstRow, o.lastRow);
  }
  owned.clear();
  temperatureSum = stepsOfDay = nullptr;
}

// ---------------------------------------------------------------- cells

bool landuseparametergrids::Valid(int row, int column) const {
  if (!zonegrid || !zonegrid[row] || !(zonegrid[row][column] > nodata)) return false;
  return !MPIRegions || MPIRegions[row][column] == mpirank;
}

void landuseparametergrids::OwnColumns(int row, int& first, int& last) const {
  first = 1;
  last = ncols;
  if (datacols) {
    first = std::max(1, datacols[row].first);
    last = std::min(ncols, datacols[row].last);
  }
}

double landuseparametergrids::Elevation(int row, int column) const {
  return elevation && elevation[row] ? elevation[row][column] : 0.0;
}

int landuseparametergrids::EntryIndex(int layer, int row, int column) const {
  const double value = layerGrids[layer][row][column];
  if (!(value > nodata)) return 0;
  CheckLayerIndex(layer, row, column, value);
  return static_cast<int>(value);
}

// A layer cell that is no index of the table would address memory outside
// it: the code check of the set-up replaces codes by indexes, so such a value
// is a code that was never checked (for example in a periodically read grid).
void landuseparametergrids::CheckLayerIndex(int layer, int row, int column, double value) const {
  if (value >= 1.0 && value < tableCount + 1.0) return;
#pragma omp critical(landuse_parameter_message)
  *diag << "FATAL: the land-use layer grid landuse" << layer << " holds " << value << " in row " << row << ", column "
        << column << ", which is no index of the land-use table (1 to " << tableCount
        << "); the land-use codes of the grid have to be checked against [landuse_table] first"
        << "[end-entry]";
  throw 31;
}

// ---------------------------------------------------------------- grid list

bool landuseparametergrids::IsFree(int position) const {
  const GridListEntry& e = gridlist[position];
  return !e.registered && e.filename.empty() && e.shortname.empty();
}

int landuseparametergrids::FreePosition(int from) const {
  for (int p = std::max(1, from); p < kGridListMax; ++p)
    if (IsFree(p)) return p;
  *diag << "FATAL: no free grid found in memory (at position " << kGridListMax << ")\n"
        << "[end-entry]";
  throw 12;
}

Grid landuseparametergrids::TakeOrCreateGrid(const std::string& name, int& position, bool& isNew) {
  // Stacks end the search for grids; a grid behind one is found all the same.
  const int found = FindGrid(name, true);
  if (found > 0 && gridlist[found].grid) {
    const GridListEntry& e = gridlist[found];
    if (e.firstrow > firstrowhalo || e.lastrow < lastrowhalo) {
      *diag << "FATAL: the grid " << name.c_str() << " in the grid list holds rows " << e.firstrow << " to "
            << e.lastrow << ", but the land-use parameters need rows " << firstrowhalo << " to " << lastrowhalo
            << "[end-entry]";
      throw 12;
    }
    position = found;
    isNew = false;
    return e.grid;
  }
  position = FreePosition(nextPosition);
  Grid grid = matrix(firstrowhalo, lastrowhalo, 1, ncols, nrows);
  owned.push_back(Owned{0, grid, nullptr, firstrowhalo, lastrowhalo});
  RegisterGrid(position, name, grid, nullptr, 0, name, 0, firstrowhalo, lastrowhalo);
  owned.back().position = position;
  nextPosition = position + 1;
  ++created;
  isNew = true;
  return grid;
}

void landuseparametergrids::CreateMovingMean() {
  const std::string name = "TemperatureMOVAV";
  const int found = FindGrid(name, true);
  if (found > 0 && gridlist[found].grid) {
    bool isNew = false;
    movingMean = TakeOrCreateGrid(name, movingMeanPosition, isNew);
    const GridListEntry& e = gridlist[found];
    if (e.stack && e.levels == kMovingWindowDays && e.firstrow <= firstrowhalo && e.lastrow >= lastrowhalo) {
      movingStack = e.stack;
      return;
    }
    // A grid read without its stack: the window starts empty.
    movingStack = matrix3d(firstrowhalo, lastrowhalo, 1, ncols, kMovingWindowDays, nrows);
    owned.push_back(Owned{0, nullptr, movingStack, firstrowhalo, lastrowhalo});
  } else {
    const int position = FreePosition(nextPosition);
    movingMean = matrix(firstrowhalo, lastrowhalo, 1, ncols, nrows);
    owned.push_back(Owned{0, movingMean, nullptr, firstrowhalo, lastrowhalo});
    // The stack covers the rows of its grid, the border rows included.
    movingStack = matrix3d(firstrowhalo, lastrowhalo, 1, ncols, kMovingWindowDays, nrows);
    owned.push_back(Owned{0, nullptr, movingStack, firstrowhalo, lastrowhalo});
    const int kind = temperatureAvgPosition > 0 ? gridlist[temperatureAvgPosition].writecode % 10 : 0;
    RegisterGrid(position, name, movingMean, movingStack, kMovingWindowDays, name, kind, firstrowhalo, lastrowhalo);
    owned.back().position = position;
    movingMeanPosition = position;
    movingMeanOwned = true;
    nextPosition = position + 1;
    ++created;
    for (int r = firstrowhalo; r <= lastrowhalo; ++r)
      for (int c = 1; c <= ncols; ++c)
        movingMean[r][c] = zonegrid && zonegrid[r] && zonegrid[r][c] > nodata ? 0.0 : nodata;
  }
  for (int r = firstrowhalo; r <= lastrowhalo; ++r)
    for (int c = 1; c <= ncols; ++c) {
      const double v = zonegrid && zonegrid[r] && zonegrid[r][c] > nodata ? 0.0 : nodata;
      for (int l = 0; l <= kMovingWindowDays; ++l) movingStack[r][c][l] = v;
    }
}

// The stack covers every row of the raster on every instance, since the
// value-at-day operations of the table entries address it by row.
Stack landuseparametergrids::TakeOrCreateStartTimes(const std::string& name, int& position, bool& isNew) {
  const int found = FindGrid(name, true);
  if (found > 0 && gridlist[found].stack) {
    const GridListEntry& e = gridlist[found];
    if (e.levels != nmax || e.firstrow > firstrow || e.lastrow < lastrow) {
      *diag << "FATAL: the stack " << name.c_str() << " in the grid list has " << e.levels + 1 << " levels for rows "
            << e.firstrow << " to " << e.lastrow << ", but the land-use table needs " << nmax + 1
            << " levels (0 to the largest number of fixpoints, " << nmax << ") for rows " << firstrow << " to "
            << lastrow << "[end-entry]";
      throw 1010;
    }
    position = found;
    isNew = false;
    return e.stack;
  }
  position = FreePosition(nextPosition);
  Stack stack = matrix3d(1, nrows, 1, ncols, nmax, nrows);
  owned.push_back(Owned{0, nullptr, stack, 1, nrows});
  RegisterGrid(position, name, nullptr, stack, nmax, name, 3, 1, nrows);
  owned.back().position = position;
  nextPosition = position + 1;
  ++created;
  isNew = true;
  return stack;
}

// Start days of a new stack from the table, the start date and the altitude.
void landuseparametergrids::InitialiseStartTimes(int k, Stack stack) {
  // Every cell first as one without data (level 0 = 0, the start days
  // missing), so that the cells of other instances and outside the basin
  // read the same on every instance.
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) {
      stack[r][c][0] = 0.0;
      for (int l = 1; l <= nmax; ++l) stack[r][c][l] = nodata;
    }
  const int d0 = DayOfYear(startyear, startmonth, startday);
  for (int r = firstrow; r <= lastrow; ++r) {
    int c1 = 1, c2 = 0;
    OwnColumns(r, c1, c2);
    for (int c = c1; c <= c2; ++c) {
      if (!Valid(r, c)) continue;
      const int i = EntryIndex(k, r, c);
      if (i == 0) continue;
      const landuse_table_entry& e = table[i];
      const bool thresholds = e.method == landuse_table_entry::kDynPhen3;
      double* L = stack[r][c];
      const int n = e.JulDaysCount;
      const double shift = Elevation(r, c) - 400.0;
      for (int f = 1; f <= n; ++f) {
        if (thresholds && e.GetForcingThreshold(f) >= 0 && e.GetJulDay(f) > d0)
          L[f] = -1.0;  // reached only by its forcing threshold
        else
          L[f] = e.GetJulDay(f) + std::trunc(e.GetAltDep(f) * shift);
        if (thresholds && e.GetJulDay(f) <= d0 && e.GetForcingThreshold(f) > 0) L[0] = e.GetForcingThreshold(f);
      }
    }
  }
}

void landuseparametergrids::AttachPhenologyInputs() {
  for (int i = 1; i <= tableCount; ++i) {
    landuse_table_entry& e = table[i];
    if (e.method < landuse_table_entry::kDynPhen1 || e.method > landuse_table_entry::kDynPhen4) continue;
    e.SetPhenoStartGrids(grids[kPhenoStart].data());
    e.SetFStarGrids(grids[kForcingThreshold].data());
    e.SetForcingSumGrids(grids[kForcingSum].data());
    e.SetMultipleStartTimes(startTimes.data(), nmax);
  }
}

// ---------------------------------------------------------------- set-up

void landuseparametergrids::Generate(int requestedLayers) {
  *diag << "1"
        << "[end-entry]";
  if (!gridlist || !table) return;
  layerCount = std::min<int>(requestedLayers, static_cast<int>(layerGrids.size()) - 1);
  for (int k = 1; k <= layerCount; ++k)
    if (!layerGrids[k]) layerCount = 0;
  if (layerCount < 1) {
    layerCount = 0;
    return;
  }
  for (int kind = 0; kind < kKinds; ++kind) {
    grids[kind].assign(static_cast<size_t>(layerCount) + 1, nullptr);
    positions[kind].assign(static_cast<size_t>(layerCount) + 1, 0);
  }
  startTimes.assign(static_cast<size_t>(layerCount) + 1, nullptr);
  startTimePositions.assign(static_cast<size_t>(layerCount) + 1, 0);

  nmax = 0;
  for (int i = 1; i <= tableCount; ++i) {
    const landuse_table_entry& e = table[i];
    nmax = std::max(nmax, e.JulDaysCount);
    if (e.method >= landuse_table_entry::kDynPhen1 && e.method <= landuse_table_entry::kDynPhen4) phenology = true;
    if (e.method == landuse_table_entry::kDynPhen3 || e.method == landuse_table_entry::kDynPhen4) multipleStarts = true;
  }
  for (int i = 1; i <= tableCount; ++i) {
    landuse_table_entry& e = table[i];
    if (!UsesPhenologyStart(e.method)) continue;
    e.SetUseForcingOnly(1);
    const int d = e.GetJulianDay(static_cast<int>(startday), static_cast<int>(startmonth), static_cast<int>(startyear));
    // Past the latest start of the season the run begins as if it had started.
    if (e.maxStartJDforDP1 < d)
      e.SetTStart(e.maxStartJDforDP1 - e.GetJulDay(e.PhenoFixpointIndex + 1));
    else
      e.SetTStart(-1);
  }

  const int albedoPosition = FindGrid("albedo", true);
  if (albedoPosition < 1 || !gridlist[albedoPosition].grid) {
    *diag << "FATAL: Albedo Grid not found for use within Landuse-Table.\n This grid must be read in as standard or "
             "variable grid (there, it can be created automatically)"
          << "[end-entry]";
    throw 12;
  }
  albedo = gridlist[albedoPosition].grid;

  nextPosition = FreePosition(1);
  bool isNew = false;
  evaporationResistance = TakeOrCreateGrid("SurfaceEvaporationResistance", evaporationResistancePosition, isNew);
  if (phenology) {
    int position = 0;
    temperatureAvg = TakeOrCreateGrid("TemperatureAVG", temperatureAvgPosition, isNew);
    if (isNew) {
      // Result grids hold nodata outside the basin.
      for (int r = firstrowhalo; r <= lastrowhalo; ++r)
        for (int c = 1; c <= ncols; ++c)
          if (!(zonegrid && zonegrid[r] && zonegrid[r][c] > nodata)) temperatureAvg[r][c] = nodata;
    }
    leafFall = TakeOrCreateGrid("StartDayOfLeaveFall", position, isNew);
    if (isNew) {
      for (int r = firstrowhalo; r <= lastrowhalo; ++r)
        for (int c = 1; c <= ncols; ++c)
          if (!(zonegrid && zonegrid[r] && zonegrid[r][c] > nodata)) leafFall[r][c] = nodata;
    }
    CreateMovingMean();
    temperatureSum = matrix(firstrowhalo, lastrowhalo, 1, ncols, nrows);
    owned.push_back(Owned{0, temperatureSum, nullptr, firstrowhalo, lastrowhalo});
    stepsOfDay = matrix(firstrowhalo, lastrowhalo, 1, ncols, nrows);
    owned.push_back(Owned{0, stepsOfDay, nullptr, firstrowhalo, lastrowhalo});
  }
  if (phenology) AttachPhenologyInputs();

  for (int k = 1; k <= layerCount; ++k) {
    const int lastKind = phenology ? kForcingThreshold : kVegetationDuration;
    for (int kind = 0; kind <= lastKind; ++kind) {
      const std::string name = std::string(kBaseNames[kind]) + std::to_string(k);
      grids[kind][k] = TakeOrCreateGrid(name, positions[kind][k], isNew);
    }
    if (multipleStarts) {
      startTimes[k] = TakeOrCreateStartTimes("MultipleStartTimes" + std::to_string(k), startTimePositions[k], isNew);
      if (isNew) InitialiseStartTimes(k, startTimes[k]);
    }
    InitialiseLayer(k);
    ExchangeLayer(k);
  }
}

void landuseparametergrids::ClearCell(int k, int r, int c, bool withAlbedo) {
  for (int kind = kRootDepth; kind <= kVegetationDuration; ++kind) grids[kind][k][r][c] = nodata;
  if (k == 1) evaporationResistance[r][c] = nodata;
  if (phenology)
    for (int kind = kForcingSum; kind <= kForcingThreshold; ++kind) grids[kind][k][r][c] = nodata;
  if (withAlbedo && k == 1) albedo[r][c] = nodata;
}

void landuseparametergrids::InitialiseLayer(int k) {
  const int day = static_cast<int>(startday);
  const int month = static_cast<int>(startmonth);
  const int year = static_cast<int>(startyear);
  // The steps of a day run with the values that the last step of the day
  // before wrote (the daily update). The first steps of a run therefore take
  // the values of the day before the start, so that a run started from the
  // state of another continues it exactly.
  int valueDay = day - 1, valueMonth = month, valueYear = year;
  if (valueDay < 1) {
    if (--valueMonth < 1) {
      valueMonth = 12;
      --valueYear;
    }
    valueDay = DaysInMonth(valueYear, valueMonth);
  }
  for (int r = firstrowhalo; r <= lastrowhalo; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (!Valid(r, c)) {
        ClearCell(k, r, c, false);
        continue;
      }
      const int i = EntryIndex(k, r, c);
      if (i == 0) {
        ClearCell(k, r, c, !albedoRead);
        continue;
      }
      landuse_table_entry& e = table[i];
      if (phenology && UsesPhenologyStart(e.method)) {
        // Negative cells are states to be completed; a chilling sum that is
        // there already means the dormancy has been counted.
        double& forcing = grids[kForcingSum][k][r][c];
        double& start = grids[kPhenoStart][k][r][c];
        double& chilling = grids[kChillingSum][k][r][c];
        double& threshold = grids[kForcingThreshold][k][r][c];
        if (forcing < 0) forcing = 0.0;
        if (start < 0) start = e.GetTStart();
        if (chilling < 0)
          chilling = 0.0;
        else
          e.SetUseForcingOnly(0);
        if (threshold < 0) threshold = e.GetFStar();
      }
      const int d = e.GetJulianDay(day, month, year);
      const int v = e.GetJulianDay(valueDay, valueMonth, valueYear);
      const double z = Elevation(r, c);
      DiagStream& s = *diag;
      if (e.UseInternalParameter(64)) grids[kRootDepth][k][r][c] = e.GetRootDepthAtJulianDay(s, v, k, r, c, z);
      if (e.UseInternalParameter(32)) grids[kVegetationCover][k][r][c] = e.GetVCFAtJulianDay(s, v, k, r, c, z);
      if (e.UseInternalParameter(16)) grids[kLeafAreaIndex][k][r][c] = e.GetLAIAtJulianDay(s, v, k, r, c, z);
      if (e.UseInternalParameter(4))
        grids[kCanopyResistance][k][r][c] = e.method == landuse_table_entry::kOldRow
                                                ? e.GetMonthlyValue(valueDay, valueMonth)
                                                : e.GetRscAtJulianDay(s, v, k, r, c, z);
      if (e.UseInternalParameter(8))
        grids[kInterceptionResistance][k][r][c] = e.method == landuse_table_entry::kOldRow
                                                      ? e.GetMonthlyInterceptionValue(valueDay, valueMonth)
                                                      : e.GetRsInterceptionAtJulianDay(s, v, k, r, c, z);
      if (e.UseInternalParameter(128)) grids[kRoughnessLength][k][r][c] = e.GetZ0AtJulianDay(s, v, k, r, c, z);
      double& start = grids[kVegetationStart][k][r][c];
      if (start <= 0) start = e.GetVegetationStartDay(s, d, k, r, c, z);
      grids[kVegetationDuration][k][r][c] = 0.0;
      grids[kVegetationStop][k][r][c] = -1.0;
      if (k == 1) {
        if (e.UseInternalParameter(2))
          evaporationResistance[r][c] = e.GetRsEvaporationAtDate(s, valueDay, valueMonth, valueYear, k, r, c, z);
        if (e.UseInternalParameter(1) && !albedoRead) albedo[r][c] = e.GetAlbedoAtJulianDay(s, v, k, r, c, z);
      }
      // Clamps, also for values that were read instead of computed.
      double& root = grids[kRootDepth][k][r][c];
      if (root < 0.01) root = 0.01;
      double& cover = grids[kVegetationCover][k][r][c];
      if (cover < 0) cover = 0.0;
      if (cover > 1.0) cover = 1.0;
      for (Kind kind : {kLeafAreaIndex, kCanopyResistance, kInterceptionResistance})
        if (grids[kind][k][r][c] < 0) grids[kind][k][r][c] = 0.0;
      if (k == 1 && evaporationResistance[r][c] < 0) evaporationResistance[r][c] = 0.0;
      double& z0 = grids[kRoughnessLength][k][r][c];
      if (z0 < 0.01) z0 = 0.01;
    }
  }
}

void landuseparametergrids::ExchangeLayer(int k) {
  for (Kind kind : {kRootDepth, kVegetationCover, kLeafAreaIndex, kCanopyResistance, kInterceptionResistance}) {
    MPIExchangeBorders(positions[kind][k], grids[kind][k]);
  }
  if (k == 1) MPIExchangeBorders(evaporationResistancePosition, evaporationResistance);
  MPIExchangeBorders(positions[kRoughnessLength][k], grids[kRoughnessLength][k]);
}

// ---------------------------------------------------------------- access

Grid landuseparametergrids::LayerGrid(Kind kind, int layer) const {
  if (layer < 1 || layer > layerCount || kind < 0 || kind >= kKinds) return nullptr;
  return grids[kind][layer];
}

int landuseparametergrids::LayerPosition(Kind kind, int layer) const {
  if (layer < 1 || layer > layerCount || kind < 0 || kind >= kKinds) return 0;
  return positions[kind][layer];
}

Stack landuseparametergrids::MultipleStartTimes(int layer) const {
  if (layer < 1 || layer > layerCount || startTimes.empty()) return nullptr;
  return startTimes[layer];
}

// ---------------------------------------------------------------- release

void landuseparametergrids::FreeMemory() {
  if (released) return;
  for (int k = 1; k <= layerCount && multipleStarts; ++k) {
    const int p = startTimePositions[k];
    if (p < 1 || !startTimes[k]) continue;
    // Instance 0 collects the cells of the others, then the file is written.
    MPIGatherStack(p, startTimes[k]);
    WriteStack(gridlist[p].shortname + "_End", startTimes[k], nmax, WriteAsciiGrids, WriteDoubleGrids);
  }
  ReleaseOwned();
  modelobject::FreeMemory();
}
