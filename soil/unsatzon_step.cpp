// The per-(sub)step operation of the unsaturated zone: the column solve of
// every own cell, the copy to the member cells of hydrologic response units
// and the zone statistics of the step; and the dump mode of the solve.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "framework/diagstream.h"
#include "framework/hrurecord.h"
#include "framework/irrigationtable.h"
#include "framework/statisticpasses.h"
#include "framework/zonalstatistic.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"
#include "soil/unsatzon_work.h"

void unsatzonmodellklasse::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  if (flowcontrol == 0) return;
  // The step's progress line was written by StartStep, once per step.
  SetStepDate(year, month, day, hour);
  stephour = hour;
  stepday = day;
  stepmonth = month;
  stepyear = year;
  if (!infiltration_input) SelectInfiltrationInput(infiltrationinput);
  // The surface routing's sub-step before this one within the step.
  if (surface_routing_active && substep_in_step >= 1 && substep_in_step < substeps) AddRoutedDirectFlow();
  substep_in_step = substep_in_step % std::max(1, substeps) + 1;
  const bool first = substep_in_step == 1;
  if (control_here) {
    // The control cell's amounts per layer of the whole step.
    if (first || control_etr.empty()) {
      control_etr.assign(static_cast<size_t>(layers) + 1, 0.0);
      control_interflow.assign(static_cast<size_t>(layers) + 1, 0.0);
    }
    control_source_row = control_row;
    control_source_col = control_col;
    // A member cell of a hydrologic response unit takes its master's results.
    const int r = control_row, c = control_col;
    if (MasterHydrologicResponseUnits && HydrologicResponseUnits && hru && MasterHydrologicResponseUnits[r] &&
        !(MasterHydrologicResponseUnits[r][c] > nodata) && HydrologicResponseUnits[r][c] >= 1) {
      const HRURecord& unit = hru[static_cast<int64_t>(HydrologicResponseUnits[r][c])];
      control_source_row = unit.row;
      control_source_col = unit.column;
    }
  }
  SolveCells();
  if (MasterHydrologicResponseUnits) CopyMasterCells();
  ZoneStatistics();
  AddToStepSums(first);
}

std::vector<Grid> unsatzonmodellklasse::StepFluxGrids() const {
  std::vector<Grid> grids = {river_infiltration,     river_exfiltration,   drainage_flow, real_evaporation,
                             infiltration_excess,    total_infiltration,   directflow,    interflow,
                             macropore_infiltration, groundwater_recharge, Percolation,   Capillar_Uprise};
  for (size_t j = 1; j < real_transpiration.size(); ++j) grids.push_back(real_transpiration[j]);
  // The ponded water's exchange (mm per step).
  grids.push_back(q_downext);
  // Without the groundwater model the soil's baseflow (mm per step at the
  // rate of the sub-step); with it the grid is the groundwater model's.
  grids.push_back(groundwatercoupling ? nullptr : baseflow);
  return grids;
}

void unsatzonmodellklasse::AddToStepSums(bool first) {
  const std::vector<Grid> grids = StepFluxGrids();
  const size_t rows = static_cast<size_t>(std::max(0, lastrow - firstrow + 1));
  const size_t width = static_cast<size_t>(ncols) + 1;
  if (stepsums.size() != grids.size()) stepsums.assign(grids.size(), std::vector<double>(rows * width, 0.0));
  const size_t levels = static_cast<size_t>(layers) + 1;
  if (q_down && stepsumsqdown.size() != rows * width * levels) stepsumsqdown.assign(rows * width * levels, 0.0);
  const double share = 1.0 / substeps;
  // With one sub-step a step's sum is its grid, but for the direct flow's.
  const bool one = substeps <= 1;
  // Every cell writes its own sums only: the rows go to the threads.
#pragma omp parallel for schedule(static)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c)) continue;
      const size_t at = static_cast<size_t>(r - firstrow) * width + static_cast<size_t>(c);
      for (size_t k = 0; k < grids.size(); ++k) {
        Grid g = grids[k];
        if (!g || !g[r] || (one && g != directflow)) continue;
        // The baseflow grid holds a rate per step; the step's amount is the mean
        // of the sub-steps. The direct flow of the step is the water newly
        // left on the surface (the surface routing takes all of it).
        // With the surface routing AddRoutedDirectFlow adds the direct runoff.
        const double v = g == baseflow     ? g[r][c] * share
                         : g == directflow ? (surface_routing_active ? 0.0 : g[r][c] - surface_taken[r][c])
                                           : g[r][c];
        stepsums[k][at] = first ? v : stepsums[k][at] + v;
      }
      if (q_down && q_down[r] && !one)
        for (size_t i = 0; i < levels; ++i) {
          double& sum = stepsumsqdown[at * levels + i];
          sum = first ? q_down[r][c][i] : sum + q_down[r][c][i];
        }
    }
}

void unsatzonmodellklasse::PutStepSums() {
  if (substep_in_step != substeps || stepsums.empty()) return;
  const std::vector<Grid> grids = StepFluxGrids();
  if (grids.size() != stepsums.size()) return;
  const size_t width = static_cast<size_t>(ncols) + 1;
  const size_t levels = static_cast<size_t>(layers) + 1;
  // With one sub-step only the direct flow's sum differs from its grid.
  const bool one = substeps <= 1;
#pragma omp parallel
  {
    // Per row the rows of the grids and of their sums, looked up once.
    std::vector<double*> to(grids.size());
    std::vector<const double*> from(grids.size());
#pragma omp for schedule(static)
    for (int r = firstrow; r <= lastrow; ++r) {
      const size_t row = static_cast<size_t>(r - firstrow) * width;
      for (size_t k = 0; k < grids.size(); ++k) {
        to[k] = grids[k] && (!one || grids[k] == directflow) ? grids[k][r] : nullptr;
        from[k] = stepsums[k].data() + row;
      }
      const bool qdown = q_down && q_down[r] && !stepsumsqdown.empty() && !one;
      for (int c = 1; c <= ncols; ++c) {
        if (!OwnValidCell(r, c)) continue;
        for (size_t k = 0; k < grids.size(); ++k)
          if (to[k]) to[k][c] = from[k][c];
        if (qdown) {
          const size_t at = row + static_cast<size_t>(c);
          for (size_t i = 0; i < levels; ++i) q_down[r][c][i] = stepsumsqdown[at * levels + i];
        }
      }
    }
  }
}

void unsatzonmodellklasse::SelectInfiltrationInput(int interceptionFirst) {
  infiltrationinput = interceptionFirst;
  if (flowcontrol == 0 || infiltration_input) return;
  const std::string throughfall = "throughfall0";
  const int p = interceptionFirst ? GetGridOf3("snowcover_outflow", throughfall, "precipitation")
                                  : GetGridOf3(throughfall, "snowcover_outflow", "precipitation");
  infiltration_input = gridlist[p].grid;
}

void unsatzonmodellklasse::CopyMasterCells() {
  looperror = 0;
  // Grids and stacks whose master values the members take.
  std::vector<Grid> grids = {PermafrostThawDepth,
                             irrigation_amounts,
                             infiltration_input,
                             real_evaporation,
                             silting_up,
                             drainage_level,
                             groundwater_distance,
                             groundwater_recharge,
                             Capillar_Uprise,
                             Percolation,
                             drainage_flow,
                             directflow,
                             surface_taken,
                             interflow,
                             baseflow,
                             groundwater_level,
                             Theta_in_GWLEVEL,
                             infiltration_excess,
                             total_infiltration,
                             ponding_storage,
                             SB_1_grid,
                             SB_2_grid,
                             ROOTgrid,
                             ETR2ETP,
                             Max_Pumping,
                             macropore_infiltration,
                             number_of_substeps,
                             frozenSoilInGroundwater,
                             ThawDepthTMod,
                             river_infiltration,
                             river_exfiltration,
                             gw_storage_coeff};
  for (Grid g : real_transpiration) grids.push_back(g);
  // Tracers: the concentrations of the runoff and the soil's substance.
  for (size_t t = 1; t < soiltracers.size(); ++t)
    grids.insert(grids.end(), {soiltracers[t].concQD, soiltracers[t].concQI, soiltracers[t].concQB});
  const Stack stacks[5] = {theta, hydraulic_heads, geodetic_heads, q_down, Soil_Temperature_Stack};
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c) || !MasterHydrologicResponseUnits[r] || MasterHydrologicResponseUnits[r][c] > nodata ||
          !HydrologicResponseUnits[r])
        continue;
      const double index = HydrologicResponseUnits[r][c];
      const HRURecord* unit = (hru && index >= 1) ? &hru[static_cast<int64_t>(index)] : nullptr;
      const int mr = unit ? unit->row : 0;
      const int mc = unit ? unit->column : 0;
      // The master must be a cell of this instance's rows.
      if (!unit || mr < firstrow || mr > lastrow || mc < 1 || mc > ncols) {
#pragma omp critical
        {
          if (looperror == 0)
            *diag << "FATAL: the hydrologic response unit " << index << " of the cell row " << r << ", column " << c
                  << " has no master cell in the rows of this instance (" << modulname.c_str() << ")"
                  << "[end-entry]";
          RecordError(103);
        }
        continue;
      }
      for (Grid g : grids)
        if (g && g[r] && g[mr]) g[r][c] = g[mr][mc];
      for (Stack s : stacks)
        if (s && s[r] && s[mr])
          for (int k = 0; k <= layers; ++k) s[r][c][k] = s[mr][mc][k];
      for (size_t t = 1; t < soiltracers.size(); ++t)
        for (int k = 0; k <= layers; ++k) soiltracers[t].store[r][c][k] = soiltracers[t].store[mr][mc][k];
    }
  }
  if (looperror != 0) throw static_cast<int>(looperror);
}

void unsatzonmodellklasse::ZoneStatistics() {
  const double n = substeps;
  // Tasks: each statistic of a flux or state grid, the glacier-covered soil,
  // the thaw depth and the flow-time zones (with their tracers). Each task
  // has records of its own, so the tasks fill side by side, every one adding
  // its cells in row order.
  Grid qb = groundwatercoupling ? river_exfiltration : baseflow;
  // Without the groundwater model "baseflow" is mm per step already, less
  // what the column could not give to a rule pumping groundwater for
  // irrigation (the pump empties the saturated zone).
  const double qbFactor = groundwatercoupling ? n : 1.0;
  struct Source {
    zonalstatistic* statistic;
    Grid grid;
    double factor;
  };
  const Source sources[] = {
      {statistics[kStatSB1], SB_1_grid, 1.0},
      {statistics[kStatSB2], SB_2_grid, 1.0},
      {statistics[kStatROOT], ROOTgrid, 1.0},
      {statistics[kStatINFEX], infiltration_excess, n},
      {statistics[kStatGWN], groundwater_recharge, n},
      {statistics[kStatMACRO], macropore_infiltration, n},
      {statistics[kStatSUBSTEPS], number_of_substeps, 1.0},
      {statistics[kStatINFILT], total_infiltration, n},
      {statistics[kStatGWSTAND], groundwater_distance, 1.0},
      {statistics[kStatQB], qb, qbFactor},
      {statistics[kStatGWIN], river_infiltration, n},
      {statistics[kStatGWEX], river_exfiltration, n},
      {statistics[kStatPOND], ponding_storage, 1.0},
      {statistics[kStatQDRAIN], drainage_flow, n},
  };
  constexpr int kSources = static_cast<int>(sizeof(sources) / sizeof(sources[0]));
  // The flow-time zones' direct flow, interflow and baseflow (with the
  // tracers) fill records of their own: on several threads three tasks, the
  // costliest of the pass, else one.
  const int immoTask = kSources, thawTask = kSources + 1, zoneTask = kSources + 2;
  int tasks[kSources + 5];
  int parts[kSources + 5];
  auto filled = [](const zonalstatistic* s) { return s && s->IsActive(); };
  int others[kSources + 2];
  int otherCount = 0;
  for (int t = 0; t < kSources; ++t)
    if (filled(sources[t].statistic)) others[otherCount++] = t;
  if (filled(statistics[kStatIMMO]) && !glacier_immo.empty()) others[otherCount++] = immoTask;
  if (filled(statistics[kStatTEMPER]) && ThawDepthTMod) others[otherCount++] = thawTask;
  const int zoneParts[3] = {kZoneDirect, kZoneInter, kZoneBase};
  const int zoneCount = zoneFZT_QD.empty() ? 0 : (omp_in_parallel() || omp_get_max_threads() < 2 ? 1 : 3);
  // The zone tasks spread evenly over the list, so that the threads' groups
  // of consecutive tasks hold one of them each.
  const int count = otherCount + zoneCount;
  for (int at = 0, k = 0, next = 0; at < count; ++at) {
    if (k < zoneCount && at == k * count / zoneCount) {
      tasks[at] = zoneTask;
      parts[at] = zoneCount == 1 ? -1 : zoneParts[k];
      ++k;
    } else {
      tasks[at] = others[next++];
    }
  }
  StatisticRowsSideBySide(
      count, firstrow, lastrow, ncols,
      [&](int r, StatisticCell* list) {
        int cells = 0;
        for (int c = 1; c <= ncols; ++c) {
          if (!OwnValidCell(r, c)) continue;
          const int k = SubbasinOf(r, c);
          if (k >= 1) list[cells++] = StatisticCell{c, k, GlacierFraction(r, c)};
        }
        return cells;
      },
      [&](int j, int r, const StatisticCell* list, int cells) {
        const int task = tasks[j];
        const StatisticCell* const end = list + cells;
        if (task < kSources) {
          // The glacierized share counts with its weight and no water.
          const Source& e = sources[task];
          const double* values = e.grid && e.grid[r] ? e.grid[r] : nullptr;
          zonalstatistic::RowSums sums(*e.statistic, r);
          for (const StatisticCell* x = list; x < end; ++x) {
            const double g = x->share;
            if (g < 1) sums.Add(x->column, x->zone, (values ? values[x->column] : 0.0) * e.factor, 1 - g);
            if (g > 0) sums.Add(x->column, x->zone, 0.0, g);
          }
        } else if (task == immoTask) {
          const double* immo = &glacier_immo[static_cast<size_t>(r - firstrow) * (ncols + 1)];
          zonalstatistic::RowSums sums(*statistics[kStatIMMO], r);
          for (const StatisticCell* x = list; x < end; ++x) sums.Add(x->column, x->zone, immo[x->column], 1.0);
        } else if (task == thawTask) {
          const double* thaw = ThawDepthTMod[r];
          zonalstatistic::RowSums sums(*statistics[kStatTEMPER], r);
          for (const StatisticCell* x = list; x < end; ++x) sums.Add(x->column, x->zone, thaw[x->column], 1);
        } else {
          const int part = parts[j];
          for (const StatisticCell* x = list; x < end; ++x) {
            AddToFlowTimeZones(r, x->column, x->zone, x->share, part);
            if (part < 0 || part == kZoneBase) AddTracersToZones(r, x->column, x->zone, x->share);
          }
        }
      },
      zonecount + 1, [&](int j) { return tasks[j] != zoneTask; });
}

// ---------------------------------------------------------------- dump mode

bool unsatzonmodellklasse::CheckAndDump(CellWork& w, int r, int c, int substep) {
  const int n = w.n;
  // The baseflow rate of the substep as mm per time step, the unit of "baseflow".
  const double stepMs = timeinterval * 60000.0;
  const double qb = baseflow && baseflow[r] ? w.checkedBaseflow * stepMs : 0.0;
  const bool baseflowFailed = qb < -kDumpBaseflowBound || qb > kDumpBaseflowBound;
  int thetaLayer = 0;
  for (int i = 1; i <= n && thetaLayer == 0; ++i)
    if (w.theta[i] < 0 || w.theta[i] > w.ts[i] + 0.001) thetaLayer = i;
  int heatLayer = 0;
  const bool heat = heat_transfer_flow_control > 0;
  // Comparison values of a layer's temperature: its start value and its neighbours'.
  auto bounds = [&](int i, double& low, double& high) {
    double v[4];
    int count = 0;
    if (i == 1) {
      v[count++] = w.snapT[1];
      v[count++] = w.surfaceT;
      v[count++] = w.snapT[2];
      v[count++] = w.T[2];
    } else {
      v[count++] = w.snapT[i];
      v[count++] = w.snapT[i - 1];
      v[count++] = w.T[i - 1];
      v[count++] = w.snapT[i + 1];
    }
    low = *std::min_element(v, v + count);
    high = *std::max_element(v, v + count);
    if (i > 1) {
      low = std::min(low, w.T[i + 1]);
      high = std::max(high, w.T[i + 1]);
    }
  };
  if (heat)
    for (int i = 1; i < n && heatLayer == 0; ++i) {
      double low, high;
      bounds(i, low, high);
      if (w.T[i] < -70 || w.T[i] > 70 || w.T[i] > high + 0.001 || w.T[i] < low - 0.001) heatLayer = i;
    }
  if (!baseflowFailed && thetaLayer == 0 && heatLayer == 0) return false;

  char name[256];
  std::string prefix;
  if (heatLayer > 0) prefix += "heat(" + std::to_string(heatLayer) + ")_";
  if (thetaLayer > 0) prefix += "theta(" + std::to_string(thetaLayer) + ")_";
  if (baseflowFailed) prefix += "dgw_";
  std::snprintf(name, sizeof name, "%sdump_row_%d_col_%d_substep_%d_%d%02d%02d%02d.dmp", prefix.c_str(), r, c, substep,
                static_cast<int>(stephour), static_cast<int>(stepday), static_cast<int>(stepmonth),
                static_cast<int>(stepyear));
  const int64_t before = dumpcounter.fetch_add(1);
  const int64_t after = before + 1;
  if (maxdumpfiles == 0 || before < maxdumpfiles) WriteDumpFile(w, name);
  if (closeafterdump) {
#pragma omp critical
    *diag << "FATAL: \n\n -------- command line option -closeAfterDump active! "
             "---------------------------------------------\n\n"
          << " a dumpfile has been written and Fluvex aborts now.\n"
          << "-------------------------------------------------------------\n\n"
          << "[end-entry]";
    return true;
  }
  if (repairafterdump) {
    // A failed baseflow check was repaired when the baseflow took its water
    // (SolveCell, step 6): limited to the bound, the rest kept in the column.
    if (thetaLayer > 0)
      for (int i = 1; i <= n; ++i) {
        if (w.theta[i] < 0) w.theta[i] = 0;
        if (w.theta[i] > w.ts[i] + 0.001) w.theta[i] = w.ts[i];
      }
    if (heatLayer > 0)
      for (int i = 1; i < n; ++i) {
        double low, high;
        bounds(i, low, high);
        if (w.T[i] < -70) w.T[i] = -70;
        if (w.T[i] > 70) w.T[i] = 70;
        if (w.T[i] > high + 0.001) w.T[i] = high;
        if (w.T[i] < low - 0.001) w.T[i] = low;
      }
    if (maxdumpfiles > 0 && after <= maxdumpfiles) {
#pragma omp critical
      *diag << "DEBUG: \n ---- command line option -repairAfterDump active! --------\n"
            << "setting the misbehaving parameter back to what is expected of it :-)"
            << (after == maxdumpfiles ? "\n continuing from now on without that message..." : "") << "[end-entry]";
    }
  }
  return false;
}

void unsatzonmodellklasse::WriteDumpFile(const CellWork& w, const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return;  // a dump that cannot be written is skipped
  const int n = w.n;
  const int V = vegetation_layers;
  auto ints = [&](int v) { std::fwrite(&v, sizeof v, 1, f); };
  auto doubles = [&](const double* v, size_t count) { std::fwrite(v, sizeof(double), count, f); };
  ints(w.snapG);
  // The rate handed to the macropores, the infiltration rate after them, the baseflow that was checked.
  const double rates[3] = {w.snapInput, w.snapInputMacro, w.snapBaseflow};
  doubles(rates, 3);
  doubles(w.snapTranspiration.data(), static_cast<size_t>(V) + 1);
  doubles(w.snapArrays.data(), 14 * (static_cast<size_t>(n) + 1));
  const bool heat = heat_transfer_flow_control > 0;
  if (heat) {
    const std::vector<double>* arrays[7] = {&w.snapT, &w.T, &w.unfrozen, &w.lambda, &w.Cv, &w.X, &w.rate};
    for (const auto* a : arrays) doubles(a->data(), static_cast<size_t>(n) + 1);
    doubles(&w.lowerT, 1);
  }
  ints(w.soilIndex);
  doubles(w.landuseCodes.data() + 1, static_cast<size_t>(V));
  const int date[4] = {static_cast<int>(stephour), static_cast<int>(stepday), static_cast<int>(stepmonth),
                       static_cast<int>(stepyear)};
  std::fwrite(date, sizeof(int), 4, f);
  const double steps[2] = {static_cast<double>(w.k), w.dtw};
  doubles(steps, 2);
  if (heat) {
    const double m = w.m;
    doubles(&m, 1);
    ints(w.heatPerWater);
    doubles(&w.dth, 1);
  }
  std::fclose(f);
}
