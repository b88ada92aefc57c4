// Per-step work of the set-up object on the grids it read or made: time-variant
// standard grids, the statistic companions and result files of the standard
// and variable grids, and their zonal statistics files.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "application/defltuzr.h"
#include "framework/diagstream.h"
#include "framework/statregistry.h"
#include "framework/zonalstatistic.h"

// The application's registry records are ten 64-bit words, as StatRecord.
static_assert(sizeof(StatRecord) == 10 * sizeof(int64_t));

std::vector<int> defaultini::SetupGridPositions(int first, bool withVariableGrids) const {
  std::vector<int> positions;
  auto isVariable = [&](int p) {
    for (size_t i = 1; i < variablepositions.size(); ++i)
      if (variablepositions[i] == p) return true;
    return false;
  };
  // A variable grid is visited once, as a variable grid, whatever the standard count covers.
  for (int p = std::max(first, 1); p <= nstandardgrids + 2 && p < kGridListMax; ++p)
    if (!isVariable(p)) positions.push_back(p);
  if (withVariableGrids)
    for (size_t i = 1; i < variablepositions.size(); ++i)
      if (variablepositions[i] > 0 && variablepositions[i] < kGridListMax) positions.push_back(variablepositions[i]);
  return positions;
}

void defaultini::RestorePeriodicGrid(GridListEntry& e) {
  if (!e.periodiccopy || !e.grid) return;
  const int r1 = std::max<int>(firstrow, static_cast<int>(e.firstrow));
  const int r2 = std::min<int>(lastrow, static_cast<int>(e.lastrow));
  for (int r = r1; r <= r2; ++r) {
    if (!e.grid[r] || !e.periodiccopy[r]) continue;
    for (int c = 1; c <= ncols; ++c)
      if (!MPIRegions || (MPIRegions[r] && MPIRegions[r][c] == mpirank)) e.grid[r][c] = e.periodiccopy[r][c];
  }
}

void defaultini::RefreshLanduseLayers(Grid landuse) {
  const int tableSize = multilayertable ? multilayertable[0].code : 0;
  const int layers = std::min<int>(nlanduselayers, static_cast<int>(landuselayers.size()) - 1);
  const Grid zone = gridlist[1].grid;
  for (int k = 1; k <= layers; ++k) {
    Grid layer = landuselayers[k];
    if (!layer || layer == landuse) continue;
    for (int r = GridFirstRow(); r <= GridLastRow(); ++r) {
      if (!layer[r]) continue;
      for (int c = 1; c <= ncols; ++c) {
        double v = nodata;
        const bool own = r >= firstrow && r <= lastrow && zone && zone[r] && zone[r][c] > nodata && landuse[r] &&
                         (!MPIRegions || (MPIRegions[r] && MPIRegions[r][c] == mpirank));
        if (own) {
          // The cell's multi-layer entry; a value outside the table has no layers.
          const double index = landuse[r][c];
          v = -9999.0;
          if (index >= 1 && index < tableSize + 1.0) {
            multilayer_landuse_entry& entry = multilayertable[static_cast<int>(index)];
            const int* indexes = entry.GetLayerIndexes();
            if (indexes && entry.GetLayerCount() >= k) v = indexes[k];
          }
        }
        layer[r][c] = v;
      }
    }
    MPIExchangeBorders(0, layer);
  }
}

void defaultini::UpdatePeriodicGrids(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  if (!gridlist) return;
  for (int p : SetupGridPositions(3, true)) {
    GridListEntry& e = gridlist[p];
    if (e.periodnumber < 1 || !e.grid) continue;
    int& periods = e.periodcounter[0];
    int& steps = e.periodcounter[1];
    int& last = e.periodmark[0];
    int& inForce = e.periodmark[1];
    // Hours count the steps of a day ("H", "D"), days those of a month ("M"),
    // months those of a year ("Y"); a smaller value than before starts a new period.
    const std::string& unit = e.periodunit;
    int64_t u = -1;
    if (unit.find('H') != std::string::npos || unit.find('D') != std::string::npos)
      u = stepHour;
    else if (unit.find('M') != std::string::npos)
      u = stepDay;
    else if (unit.find('Y') != std::string::npos)
      u = stepMonth;
    if (u >= 0) {
      if (u > last) {
        ++steps;
      } else if (u < last) {
        steps = 1;
        ++periods;
      }
      last = static_cast<int>(u);
    }
    if (periods == e.periodnumber && steps == e.periodsecond) {
      char name[kMaxPathLength + 1];
      const int n =
          std::snprintf(name, sizeof name, "%s_%04ld%02ld%02ld%02ld", e.filename.c_str(), static_cast<long>(stepYear),
                        static_cast<long>(stepMonth), static_cast<long>(stepDay), static_cast<long>(stepHour));
      if (n < 0 || static_cast<size_t>(n) > kMaxPathLength)
        Fatal("FATAL: the name of the periodic grid file of " + e.shortname + " is longer than " +
                  std::to_string(kMaxPathLength) + " characters",
              21);
      e.datedfilename = name;
      ReadGrid(e.datedfilename, &e.grid, e.fillcode, false, true, true, true, false, true, e.defaultvalue);
      if (e.filename == "landuse" && nlanduselayers > 0 && landuselayers.size() > 1) RefreshLanduseLayers(e.grid);
      MPIExchangeBorders(p, e.grid);
      periods = 0;
      steps = 0;
      if (!e.persistent) {
        inForce = 0;
        e.periodicread = 1;
      }
    } else if (e.periodicread) {
      // In force for its duration in steps, the step of its reading included;
      // a duration below 1 ends it at the next step.
      ++inForce;
      if (inForce >= e.persistentsteps) {
        RestorePeriodicGrid(e);
        MPIExchangeBorders(p, e.grid);
        e.periodicread = 0;
      }
    }
  }
}

// The standard grids run up to the last one before the variable grids, so
// that the companions of every grid are updated exactly once per step.
void defaultini::WriteStandardGridStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  for (int p : SetupGridPositions(2, false)) WriteStatisticGrids(p, 1, 0);
}

void defaultini::WriteVariableGridStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  for (size_t i = 1; i < variablepositions.size(); ++i) {
    const int p = variablepositions[i];
    if (p > 0 && p < kGridListMax) WriteStatisticGrids(p, 1, 0);
  }
}

void defaultini::CreateGridStatistics() {
  if (!gridlist) return;
  StatRecord* registry = static_cast<StatRecord*>(statregistry);
  for (int p : SetupGridPositions(2, true)) {
    GridListEntry& e = gridlist[p];
    if (e.statfile.empty()) continue;
    if (zonerecords.empty()) {
      *diag << "FATAL: memory allocation error in " << modulname.c_str() << " (1): no zone records for the statistics "
            << e.statfile.c_str() << " of " << e.shortname.c_str() << "[end-entry]";
      throw 81;
    }
    FinishStatistic(e);
    std::vector<ZoneRecord>& records = statisticrecords[p];
    records.assign(static_cast<size_t>(nzones) + 1, ZoneRecord{0, 0, 0, 0, 0});
    for (int k = 0; k <= nzones; ++k)
      records[k] = ZoneRecord{0, 0, zonerecords[k].zonenwert, zonerecords[k].rel, zonerecords[k].RelCellSum};
    int error = 0;
    e.statistic = new zonalstatistic(error, diag, registry, statregistrycapacity, relcellarea, nrows, ncols,
                                     records.data(), nzones, e.statcode, 5, e.statfile, DefaultOutputDirectory,
                                     outputlistcount, outputlist.empty() ? nullptr : outputlist.data());
    if (error != 0) throw error;
    e.statistic->WriteHeader(e.shortname, "(default)", registry, statregistrycapacity);
  }
}

void defaultini::StartGridStatisticsStep() {
  if (!gridlist) return;
  for (int p : SetupGridPositions(2, true))
    if (gridlist[p].statistic) gridlist[p].statistic->NewStep();
}

void defaultini::AddGridStatistics() {
  if (!gridlist || !datacols) return;
  const Grid zone = gridlist[1].grid;
  if (!zone) return;
  for (int p : SetupGridPositions(2, true)) {
    GridListEntry& e = gridlist[p];
    if (!e.statistic || !e.grid) continue;
    for (int r = firstrow; r <= lastrow; ++r) {
      if (!zone[r] || !e.grid[r]) continue;
      const int c1 = std::max(1, datacols[r].first);
      const int c2 = std::min(ncols, datacols[r].last);
      for (int c = c1; c <= c2; ++c) {
        const double z = zone[r][c];
        if (!(z > nodata) || z < 0 || z >= maxzonecode + 1.0) continue;
        if (MPIRegions && (!MPIRegions[r] || MPIRegions[r][c] != mpirank)) continue;
        // A missing grid value is skipped by the writer.
        e.statistic->AddCell(r, c, zonecodes[static_cast<int>(z)], e.grid[r][c], 1.0);
      }
    }
  }
}

void defaultini::ReduceGridStatistics(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  if (!gridlist) return;
  for (int p : SetupGridPositions(2, true))
    if (gridlist[p].statistic) gridlist[p].statistic->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
}

void defaultini::FlushGridStatistics() {
  if (!gridlist) return;
  for (int p : SetupGridPositions(2, true))
    if (gridlist[p].statistic) gridlist[p].statistic->Flush();
}

void defaultini::FinishStatistic(GridListEntry& entry) {
  if (entry.statistic) {
    std::unique_ptr<zonalstatistic> statistic(entry.statistic);
    entry.statistic = nullptr;
    statistic->Finish();
  }
  if (gridlist && &entry >= gridlist && &entry < gridlist + kGridListSize)
    statisticrecords.erase(static_cast<int>(&entry - gridlist));
}
