// The land-use parameters of the day, brought into the grids once a day on
// the last step of the day, and the per-step counts of the vegetation period.
#include <algorithm>
#include <atomic>
#include <iomanip>

#include "framework/diagstream.h"
#include "framework/firsterror.h"
#include "parameters/landuseparametergrids.h"

// The hour stamp of a step marks its start or its end: with end stamps
// (min_to_int_end 0) the last step of a day carries hour 24, with start
// stamps its hour plus the step length is 24. Both are "hour + whole hours
// to the end of the step = 24", the rule of the result grids.
bool landuseparametergrids::IsLastStepOfDay(int64_t stepHour) const {
  return stepHour + static_cast<int64_t>(mintointendhours) == 24;
}

void landuseparametergrids::UpdateActualParameters(int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                                   int64_t stepYear, int /*stepMinutes*/, bool useRootZoneSuction) {
  if (layerCount < 1) return;
  if (phenology && !inputsLooked) {
    const int p = FindGrid("temperature", true);
    if (p < 1 || p >= kGridListMax || !gridlist[p].grid) {
      *diag << "FATAL: could not find grid with label \"temperature\". \nThis grid must be present (either by "
               "interpolating or by reading or as standard grid) for using dynamic phenology"
            << "[end-entry]";
      throw 33;
    }
    temperature = gridlist[p].grid;
    const int q = useRootZoneSuction ? FindGrid("MeanThetaInRootZone", true) : 0;
    rootZoneSuction = q > 0 ? gridlist[q].grid : nullptr;
    inputsLooked = true;
  }
  if (phenology) AccumulateTemperature();

  if (IsLastStepOfDay(stepHour)) {
    WriteDailyLogLine(stepHour, stepDay, stepMonth, stepYear);
    if (phenology) {
      AdvanceMovingMean();
      // The companions of a grid read as input are the reader's, updated once a step.
      if (movingMeanOwned) {
        SetStepDate(stepYear, stepMonth, stepDay, stepHour);
        WriteStatisticGrids(movingMeanPosition, 1, 0);
      }
    }
    storedHour = stepHour;
    storedDay = stepDay;
    storedMonth = stepMonth;
    storedYear = stepYear;
    const int dayOfYear = DayOfYear(stepYear, stepMonth, stepDay);
    if (dayOfYear > 366 || dayOfYear < 0) throw 150;
    if (phenology) ComputeForcingUnits(dayOfYear, layerCount);
    UpdateLayerCells(stepDay, stepMonth, stepYear);
    // The next step begins the next day's mean temperature; until then the
    // grid shows the mean of the day just completed.
    newDay = true;
    SetVegetationPeriodFlags(dayOfYear);
  }
  CountVegetationSteps();
}

// The day's mean temperature is the mean of the day's steps. The length that
// the caller names for a step is that of the evapotranspiration interval (a
// whole day when evapotranspiration is off), which need not be the length of
// the meteorological step: weighting by it would give 24 times the mean for
// hourly data with evapotranspiration off. Steps of equal length, which the
// model has, make the plain mean the step-weighted one; a day that the run
// enters in its course averages the steps it has seen, and steps with a
// missing temperature are left out.
void landuseparametergrids::AccumulateTemperature() {
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    int c1 = 1, c2 = 0;
    OwnColumns(r, c1, c2);
    for (int c = c1; c <= c2; ++c) {
      if (!Valid(r, c)) continue;
      if (newDay) {
        temperatureSum[r][c] = 0.0;
        stepsOfDay[r][c] = 0.0;
      }
      const double t = temperature[r] ? temperature[r][c] : nodata;
      if (t > nodata) {
        temperatureSum[r][c] += t;
        stepsOfDay[r][c] += 1.0;
      }
      temperatureAvg[r][c] = stepsOfDay[r][c] > 0 ? temperatureSum[r][c] / stepsOfDay[r][c] : nodata;
    }
  }
  newDay = false;
}

// Levels 1 ... 7 of the stack hold the daily means of the last seven days,
// the newest in level 1; level 0 belongs to the leaf fall of the phenology.
void landuseparametergrids::AdvanceMovingMean() {
  windowDays = std::min(windowDays + 1, kMovingWindowDays);
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    int c1 = 1, c2 = 0;
    OwnColumns(r, c1, c2);
    for (int c = c1; c <= c2; ++c) {
      if (!Valid(r, c)) continue;
      double* levels = movingStack[r][c];
      for (int l = kMovingWindowDays; l >= 2; --l) levels[l] = levels[l - 1];
      levels[1] = temperatureAvg[r][c];
      double sum = 0;
      int n = 0;
      for (int l = 1; l <= windowDays; ++l)
        if (levels[l] > nodata) {
          sum += levels[l];
          ++n;
        }
      movingMean[r][c] = n > 0 ? sum / n : nodata;
    }
  }
}

void landuseparametergrids::WriteDailyLogLine(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  const int interval = GetReportInterval();
  const bool due = interval == 1 || (static_cast<int64_t>(mintointendhours) + stepHour) % interval == 0;
  if (!due) return;
  *diag << "INFO: " << std::setw(20) << "actual parameters"
        << " " << stepDay << "." << stepMonth << "." << stepYear << " " << stepHour << ". h";
  if (interval != 1)
    *diag << " "
          << "(time of meteo data)";
  *diag << "[end-entry]";
}

void landuseparametergrids::UpdateLayerCells(int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  const int day = static_cast<int>(stepDay);
  const int month = static_cast<int>(stepMonth);
  const int year = static_cast<int>(stepYear);
  DiagStream& s = *diag;
  // Every cell reads the table and writes only its own values; the first
  // error code of a row is thrown after the loop.
  FirstError failure;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) failure.Run([&] { UpdateLayerRow(r, day, month, year, s); });
  failure.ThrowIfAny();
}

void landuseparametergrids::UpdateLayerRow(int r, int day, int month, int year, DiagStream& s) {
  int c1 = 1, c2 = 0;
  OwnColumns(r, c1, c2);
  for (int c = c1; c <= c2; ++c) {
    if (!Valid(r, c)) continue;
    const double z = Elevation(r, c);
    for (int k = 1; k <= layerCount; ++k) {
      const int i = EntryIndex(k, r, c);
      if (i == 0) {
        // VegetationDuration keeps its count.
        for (Kind kind : {kRootDepth, kLeafAreaIndex, kVegetationCover, kInterceptionResistance, kCanopyResistance,
                          kRoughnessLength, kVegetationStart, kVegetationStop})
          grids[kind][k][r][c] = nodata;
        if (k == 1) {
          albedo[r][c] = nodata;
          evaporationResistance[r][c] = nodata;
        }
        continue;
      }
      const landuse_table_entry& e = table[i];
      const int d = e.GetJulianDay(day, month, year);
      if (k == 1) {
        if (e.UseInternalParameter(1)) albedo[r][c] = e.GetAlbedoAtJulianDay(s, d, k, r, c, z);
        if (e.UseInternalParameter(2))
          evaporationResistance[r][c] = e.GetRsEvaporationAtDate(s, day, month, year, k, r, c, z);
      }
      if (e.UseInternalParameter(64)) grids[kRootDepth][k][r][c] = e.GetRootDepthAtJulianDay(s, d, k, r, c, z);
      if (e.UseInternalParameter(16)) grids[kLeafAreaIndex][k][r][c] = e.GetLAIAtJulianDay(s, d, k, r, c, z);
      if (e.UseInternalParameter(32)) grids[kVegetationCover][k][r][c] = e.GetVCFAtJulianDay(s, d, k, r, c, z);
      if (e.UseInternalParameter(4))
        grids[kCanopyResistance][k][r][c] = e.GetRscAtDate(s, day, month, year, k, r, c, z);
      if (e.UseInternalParameter(8))
        grids[kInterceptionResistance][k][r][c] = e.GetRsInterceptionAtDate(s, day, month, year, k, r, c, z);
      if (e.UseInternalParameter(128)) grids[kRoughnessLength][k][r][c] = e.GetZ0AtJulianDay(s, d, k, r, c, z);

      double& start = grids[kVegetationStart][k][r][c];
      double& stop = grids[kVegetationStop][k][r][c];
      if (d == e.JDVegetationResetForBalance) {
        start = -1.0;
        stop = -1.0;
        grids[kVegetationDuration][k][r][c] = 0.0;
      }
      if (start <= 0) start = e.GetVegetationStartDay(s, d, k, r, c, z);
      if (stop < 0) stop = e.GetVegetationStopDay(s, d, k, r, c, z);

      double& root = grids[kRootDepth][k][r][c];
      if (root < 0.01) root = 0.01;
      double& cover = grids[kVegetationCover][k][r][c];
      if (cover < 0) cover = 0.0;
      if (cover > 1.0) cover = 1.0;
      if (grids[kLeafAreaIndex][k][r][c] < 0) grids[kLeafAreaIndex][k][r][c] = 0.0;
      if (grids[kInterceptionResistance][k][r][c] < 0) grids[kInterceptionResistance][k][r][c] = 0.0;
      if (grids[kRoughnessLength][k][r][c] <= 0) grids[kRoughnessLength][k][r][c] = 0.01;
    }
  }
}

// Entry 0 of the table holds the days on which the vegetation-period
// statistics of the grid list start anew and are written.
void landuseparametergrids::SetVegetationPeriodFlags(int dayOfYear) {
  const landuse_table_entry& defaults = table[0];
  const bool reset = dayOfYear == defaults.JDVegetationResetForBalance;
  const bool write = dayOfYear == defaults.JDVegetationWriteForBalance;
  if (!reset && !write) return;
  for (int p = 1; p < kGridListMax; ++p) {
    GridListEntry& e = gridlist[p];
    if (e.filename.empty() && !e.registered) break;
    if (reset) e.vegreset = 1;
    if (write) e.vegwrite = 1;
  }
}

void landuseparametergrids::CountVegetationSteps() {
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    int c1 = 1, c2 = 0;
    OwnColumns(r, c1, c2);
    for (int c = c1; c <= c2; ++c) {
      const bool zoneData = zonegrid && zonegrid[r] && zonegrid[r][c] > nodata;
      if (!zoneData) {
        for (int k = 1; k <= layerCount; ++k) grids[kVegetationDuration][k][r][c] = nodata;
        continue;
      }
      if (!Valid(r, c)) continue;
      for (int k = 1; k <= layerCount; ++k)
        if (grids[kVegetationStart][k][r][c] >= 0 && grids[kVegetationStop][k][r][c] <= 0)
          grids[kVegetationDuration][k][r][c] += 1.0;
    }
  }
}
