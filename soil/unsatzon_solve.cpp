// The soil column solve of the unsaturated zone: per own cell, water
// substeps of a Richards scheme (Picard iteration over the column kernels),
// input, ponding, roots and evaporation, baseflow, water table and runoff.
//
// Amounts are mm per water substep, rates m/s (= mm/ms): a rate times the
// substep in milliseconds is an amount in mm. Fluxes between layers are
// positive upward; q[0] is the flux across the soil surface.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "framework/diagstream.h"
#include "framework/hrurecord.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"
#include "soil/unsatzon_work.h"
#include "soil/uzbalance.h"
#include "soil/uzheat.h"
#include "soil/uzlateral.h"

namespace {
// Snow storage (mm) above which part of the input runs off directly.
constexpr double kSnowForRunoff = 10.0;
// A soil whose fastest layer drains (theta_s less theta(3.45 m) over the
// saturated conductivity) within this share of the step is solved in water
// substeps of that time, at most kMostFastSoilSubsteps of them an hour (a
// sub-step of a day takes 24 times as many: in 128 of a day its recharge in
// a stormy week was a third below that of 4 sub-steps of 6 hours).
constexpr double kFastSoilShare = 4.0;
constexpr int kMostFastSoilSubsteps = 128;
// A cell with drains is solved in water substeps of at most this time (s):
// in an hour's substep the storm's front stopped above the drier layer below
// the drains' layer (the table's layer, whose conductivity with the wet one
// is their harmonic mean), and the drains took for hours the water that
// shorter substeps pass into that layer, which lifts the table above them
// (drains at 0.3 m in the example's stormy week: 28.7 mm on one sub-step,
// 25.7 on 16; in quarter-hour substeps 25.4).
constexpr double kDrainedSubstep = 900.0;
// A call of an hour or less into which water enters (input, ponded or
// silting-up water) is solved in water substeps of at most this time (s):
// the recharge is the water across the table of a substep's start, and in
// an hour's substep, in which a storm lifts the table through a layer, the
// water that crosses it higher up was missed (the example's stormy week:
// 31.11 mm of recharge on one sub-step, 32.44 on 16; in quarter-hour
// substeps 32.36). So is a call of an hour or less in which roots that
// reach below the water table transpire: their water leaves each rooted
// layer before the substep's solve, and an hour's water from the layers
// below the table left them short of saturation, so that the lowest of them
// held the table for the solve and the saturated zone above it drained into
// them, while the flux across the table turned from hour to hour (roots of
// 1.2 m over a table 0.2 m deep in the soil tests: a capillary rise of 0.36
// mm on one sub-step, 0.17 on two, 0.04 on four and 0.00 on 16).
constexpr double kWetSubstep = 900.0;
// Water (mm) that a trial call solved in one piece may miss across its
// moving water table. The recharge is the flux across the table of a
// substep's start; where the table rises or falls within the substep, the
// water between its two heights is left out. Linear in time, that is half
// the table's move times the change of the water content of the table's
// layer (its filling moves the table). A trial call whose estimate exceeds
// this is solved again in its short substeps; a dry or steady cell, whose
// table stays, takes one solve. (Six hours of 2 mm/h lifting a table 3 m
// deep in the soil tests: a percolation of 6.42 mm on one sub-step as on
// four; by the table's layer alone 6.15. Splitting wherever a layer's water
// changed by 1 % of its pore space, mostly the top layer under rain, solved
// 8.6 % of the calls of the reduced bench model again, this 3.7 %.)
constexpr double kTableTolerance = 0.005;
// Pass of the soil's iteration from which on it takes the mean of the fluxes.
constexpr int kRelaxedFrom = 10;

bool Valid(Grid g, int r, int c) {
  return g && g[r] && g[r][c] > kNodata;
}
double Value(Grid g, int r, int c, double otherwise = 0.0) {
  return Valid(g, r, c) ? g[r][c] : otherwise;
}
}  // namespace

void unsatzonmodellklasse::RecordError(int code) {
  int expected = 0;
  looperror.compare_exchange_strong(expected, code);
}

double unsatzonmodellklasse::GlacierFraction(int r, int c) const {
  if (!glacier_fraction || !glacier_fraction[r] || !(glacier_fraction[r][c] > nodata)) return 0.0;
  return std::clamp(glacier_fraction[r][c], 0.0, 1.0);
}

double unsatzonmodellklasse::CellArea(int r, int c) const {
  const bool given = relcellarea && relcellarea[r] && relcellarea[r][c] > nodata;
  return cellsize * cellsize * (given ? relcellarea[r][c] : 1.0);
}

int unsatzonmodellklasse::SubbasinOf(int r, int c) const {
  const int code = static_cast<int>(std::floor(zonegrid[r][c] + 0.5));
  if (code < 0 || code > maxzonecode) return 0;
  return zoneindex[code];
}

void unsatzonmodellklasse::ZeroResults(int r, int c) {
  for (Grid g :
       {river_infiltration, river_exfiltration, drainage_flow, real_evaporation, infiltration_excess,
        total_infiltration, directflow, interflow, ponding_storage, macropore_infiltration, groundwater_recharge,
        Percolation, Capillar_Uprise, number_of_substeps, q_downext, surface_taken, groundwater_not_given})
    if (g && g[r]) g[r][c] = 0.0;
  // With the groundwater model "baseflow" is its exchange with the column, which it writes.
  if (!groundwatercoupling && baseflow && baseflow[r]) baseflow[r][c] = 0.0;
  for (Grid g : real_transpiration)
    if (g && g[r]) g[r][c] = 0.0;
  if (q_down && q_down[r])
    for (int k = 0; k <= layers; ++k) q_down[r][c][k] = 0.0;
}

void unsatzonmodellklasse::ListCellGrids() {
  aheadgrids.clear();
  for (Grid g : {zonegrid,
                 soil_types,
                 glacier_fraction,
                 groundwater_level,
                 groundwater_distance,
                 tangens_beta,
                 infiltration_saturation,
                 infiltration_input,
                 baseflow,
                 ponding_storage,
                 max_ponding_storage,
                 drainage_level,
                 drainage_distance,
                 snowstorage_solid,
                 river_links,
                 potential_evaporation,
                 real_evaporation,
                 ETR2ETP,
                 SB_1_grid,
                 SB_2_grid,
                 MeanThetaInRootZone,
                 Theta_in_GWLEVEL,
                 ROOTgrid,
                 macropore_infiltration,
                 number_of_substeps,
                 groundwater_recharge,
                 Capillar_Uprise,
                 Percolation,
                 directflow,
                 interflow,
                 infiltration_excess,
                 total_infiltration,
                 drainage_flow,
                 river_infiltration,
                 river_exfiltration})
    if (g) aheadgrids.push_back(g);
  for (const std::vector<Grid>* layer : {&landuse, &root_depth, &vegetation_coverage_degree})
    for (Grid g : *layer)
      if (g) aheadgrids.push_back(g);
  aheadstacks.clear();
  for (Stack s : {theta, geodetic_heads, hydraulic_heads, q_down})
    if (s) aheadstacks.push_back(s);
}

void unsatzonmodellklasse::SolveCells() {
  looperror = 0;
  ListCellGrids();
  const int V = vegetation_layers;
  // River water the cells take, booked in their links' records after the
  // loop in cell order (a sum in thread order would differ in its last bits).
  // Only cells that take river water into the column (surface interaction 2
  // and more) write there.
  const bool intake = surface_interaction >= 2 && riverflow_table;
  const size_t cells =
      intake ? static_cast<size_t>(std::max(0, lastrow - firstrow + 1)) * static_cast<size_t>(ncols + 1) : 0;
  riverTaken.assign(cells, 0.0);
  riverTakenRecord.assign(cells, 0);
  const bool hrus = MasterHydrologicResponseUnits != nullptr;
  if (intake) ShareRivers();
#pragma omp parallel
  {
    CellWork w;
    w.Size(layers, V);
    w.SizeTracers(soiltracers.empty() ? 0 : ntracers);
    // A tracer of the evaporating kind (its stack holds concentrations) takes
    // one concentration in the saturated zone; the others move with the water only.
    for (int t = 1; t <= w.tracers; ++t) w.tracerMixed[t] = tracersettings[t].evaporating == 1 ? 1 : 0;
    // This row of each listed grid and stack.
    std::vector<const double*> gridRows(aheadgrids.size());
    std::vector<double* const*> stackRows(aheadstacks.size());
#pragma omp for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r) {
      if (looperror != 0) continue;
      size_t grids = 0, stacks = 0;
      for (Grid g : aheadgrids)
        if (g[r]) gridRows[grids++] = g[r];
      for (Stack s : aheadstacks)
        if (s[r]) stackRows[stacks++] = s[r];
      for (int c = 1; c <= ncols; ++c) {
        // The next cache line of every grid (eight cells on), the levels of
        // the cell after next.
        const int line = std::min(c + 8, ncols), next = std::min(c + 2, ncols);
        for (size_t k = 0; k < grids; ++k) __builtin_prefetch(gridRows[k] + line);
        for (size_t k = 0; k < stacks; ++k) __builtin_prefetch(stackRows[k][next]);
        if (!OwnValidCell(r, c)) continue;
        const double f = GlacierFraction(r, c);
        const bool member = hrus && !Valid(MasterHydrologicResponseUnits, r, c);
        if (member) continue;
        if (f >= 1.0) {
          ZeroResults(r, c);
          continue;
        }
        try {
          SolveCell(w, r, c);
        } catch (int code) {
          RecordError(code);
          break;
        } catch (...) {
          RecordError(103);
          break;
        }
      }
    }
  }
  if (looperror != 0) throw static_cast<int>(looperror);
  if (intake)
    for (size_t at = 0; at < cells; ++at)
      if (riverTakenRecord[at] > 0) riverflow_table[riverTakenRecord[at]].field[13] += riverTaken[at];
}

// The floating-point reports and iteration log lines of the cell's
// accepted call, in the order of its substeps.
void unsatzonmodellklasse::FlushNotes(CellWork& w, int r, int c) {
  for (const CellWork::Note& x : w.notes) {
    if (x.kind == CellWork::Note::kFpe) {
#pragma omp critical
      ReportFPE(r, c, x.step, x.counter, x.a, x.b, x.cc, x.change, x.e);
      continue;
    }
#pragma omp critical
    {
      std::FILE* log = std::fopen("modell_0.log", "a");
      if (!log) {
        *diag << "FATAL: error opening log-file "
              << "modell_0.log"
              << "[end-entry]";
        RecordError(5);
      } else {
        std::fprintf(log, "%2d.%2d., %2d h r=%3d, c=%3d : ziter=%3d, max_err = %lg \n", static_cast<int>(stepday),
                     static_cast<int>(stepmonth), static_cast<int>(stephour), r, c, x.counter, x.change);
        std::fclose(log);
      }
    }
  }
  w.notes.clear();
}

// ponding: the cell's ponded water at the start of the call.
void unsatzonmodellklasse::FillRiverCell(uzk::RiverCell& river, int r, int c, double ponding) const {
  river = uzk::RiverCell{};
  river.depth = Value(river_depth, r, c);
  river.width = Value(river_width, r, c);
  river.kolmation = Value(kolmation, r, c);
  river.lakeMode = lake_flow_control;
  river.lakeCell = LakeCell(r, c);
  river.ponding = ponding;
  river.stepSeconds = timeinterval * 60.0;
}

// The cells of a river link share what it still carries in this call
// (discharge less what earlier calls of the step took), in proportion to
// what each would take with its column at the start of the call; so they
// never take more than the river holds together. The demands are summed in
// cell order, the same on any number of threads.
void unsatzonmodellklasse::ShareRivers() {
  const size_t cells = riverTaken.size();
  riverShare.assign(cells, 0.0);
  riverDemand.assign(static_cast<size_t>(zonecount) + 1, 0.0);
  if (!groundwatercoupling || !river_links) return;
  const bool hrus = MasterHydrologicResponseUnits != nullptr;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    uzk::RiverCell river;
    uzk::Column col;
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c) || !Valid(river_links, r, c) || GlacierFraction(r, c) >= 1.0) continue;
      if (hrus && !Valid(MasterHydrologicResponseUnits, r, c)) continue;
      const int record = KnownRiverLinkRecord(river_links[r][c]);
      const soil_table_entry* soil = record > 0 ? SoilOf(r, c) : nullptr;
      if (!soil) continue;
      const int n = std::min(layers, soil->layers);
      if (n < 1) continue;
      FillRiverCell(river, r, c, Value(ponding_storage, r, c));
      river.record = riverflow_table[record].field;
      col.maxLayers = n;
      col.surfaceInteraction = surface_interaction;
      col.groundwaterDistance = Value(groundwater_distance, r, c);
      col.cellsize = cellsize;
      col.cellArea = CellArea(r, c);
      const size_t at = static_cast<size_t>(r - firstrow) * static_cast<size_t>(ncols + 1) + static_cast<size_t>(c);
      riverShare[at] = uzk::RiverInflowDemand(col, river, static_cast<int>(Value(groundwater_level, r, c, n)),
                                              geodetic_heads[r][c], hydraulic_heads[r][c], soil->thickness.data());
      riverTakenRecord[at] = record;
    }
  }
  for (size_t at = 0; at < cells; ++at)
    if (riverTakenRecord[at] > 0) riverDemand[riverTakenRecord[at]] += riverShare[at];
  for (size_t at = 0; at < cells; ++at) {
    const int record = riverTakenRecord[at];
    if (record <= 0) continue;
    const double* f = riverflow_table[record].field;
    const double left = std::max(0.0, f[10] - f[13]);
    riverShare[at] = riverDemand[record] > 0 ? left * (riverShare[at] / riverDemand[record]) : 0.0;
    riverTakenRecord[at] = 0;
  }
}

void unsatzonmodellklasse::SolveCell(CellWork& w, int r, int c, int forcedK) {
  soil_table_entry* soil = SoilOf(r, c);
  if (!soil) {
#pragma omp critical
    Fatal("FATAL: the cell row " + std::to_string(r) + ", column " + std::to_string(c) + " of " + modulname +
              " has no soil type in the soil table",
          33);
  }
  const int n = std::min(layers, soil->layers);
  const int sub = SubbasinOf(r, c);
  const int V = vegetation_layers;
  // Heat transfer and frozen soil where the soil temperatures are known (a
  // cell without an air temperature at the start has none: its water flows
  // as in unfrozen soil); a cell without an air temperature in the step keeps
  // its soil temperatures (the frozen share of its water still follows them).
  const bool heat = heat_transfer_flow_control > 0 && Soil_Temperature_Stack[r][c][1] > nodata;
  const bool heatStep = heat && Valid(air_temperature, r, c);
  w.soilIndex = static_cast<int>(soil_types[r][c]);
  for (int j = 1; j <= V; ++j) w.landuseCodes[j] = Value(landuse[j], r, c, nodata);

  // Column of the cell.
  double* th = theta[r][c];
  double* hg = geodetic_heads[r][c];
  double* hh = hydraulic_heads[r][c];
  for (int i = 0; i <= n + 1; ++i) {
    const int L = std::clamp(i, 1, n);
    w.d[i] = i >= 1 && i <= n ? soil->thickness[i] : 0.0;
    w.ts[i] = soil->theta_sat[L];
    w.tr[i] = soil->theta_res[L];
    w.A[i] = w.B[i] = w.q[i] = w.S[i] = w.sum[i] = w.base[i] = 0;
  }
  for (int i = 0; i <= n; ++i) {
    w.z[i] = hg[i];
    w.H[i] = hh[i];
  }
  for (int i = 1; i <= n; ++i) {
    w.theta[i] = th[i];
    // The water content at the drainable suction, fixed per soil layer.
    w.drainable[i] = soilconstants[w.soilIndex].thetaDrainable[i];
    w.thetaLow[i] = i == 1 ? 0.0 : w.tr[i];
  }
  // "baseflow" holds mm per time step; with the groundwater model the
  // exchange it set for the column, taken here as a rate (m/s).
  const double stepMs = timeinterval * 60000.0;
  const double baseflowRate = Value(baseflow, r, c) / stepMs;
  // The ponded water of the last step, taken before the results of the step are cleared.
  const double pondStart = Value(ponding_storage, r, c);
  // What a trial call (see refined) puts back before it is solved again.
  const double baseflowStart = baseflow && baseflow[r] ? baseflow[r][c] : 0.0;
  const double pondGridStart = ponding_storage && ponding_storage[r] ? ponding_storage[r][c] : 0.0;
  const double riverTakenStart =
      riverTaken.empty()
          ? 0.0
          : riverTaken[static_cast<size_t>(r - firstrow) * static_cast<size_t>(ncols + 1) + static_cast<size_t>(c)];
  ZeroResults(r, c);
  // Per-layer amounts of the control-point files (one thread solves this cell).
  const bool atControl = control_here && r == control_source_row && c == control_source_col &&
                         static_cast<int>(control_etr.size()) > n && static_cast<int>(control_interflow.size()) > n;
  if (atControl) {
    w.controlStart.assign(control_etr.begin(), control_etr.begin() + (n + 1));
    w.controlStart.insert(w.controlStart.end(), control_interflow.begin(), control_interflow.begin() + (n + 1));
  }

  // Tracer amounts of the column (concentration times water in mm), after
  // the decay over this call; the concentrations of the water that arrives.
  const int NT = w.tracers;
  // With the groundwater model the saturated zone of the column is its
  // layer 1: its water and its tracer are the column's own, and the
  // groundwater model's faces move the tracer between the columns
  // (TakeGroundwaterTracer) with the exchange of water.
  const bool sharedGroundwater = groundwatercoupling != 0;
  for (int t = 1; t <= NT; ++t) {
    const SoilTracer& st = soiltracers[t];
    const TracerRecord& tr = tracersettings[t];
    const double* v = st.store[r][c];
    double* a = w.Amount(t);
    for (int i = 0; i <= n + 1; ++i) a[i] = 0;
    for (int i = 1; i <= n; ++i) {
      const double x = v[i] > nodata ? v[i] : 0.0;
      a[i] = (tr.evaporating == 1 ? x * w.theta[i] * w.d[i] * 1000.0 : x) * st.decay;
    }
    // What the groundwater model's faces moved into or out of the column in
    // its last step reaches it with that step's exchange of water (the
    // baseflow), the same share in each call.
    if (sharedGroundwater && st.exchange && st.exchange[r] && st.exchange[r][c] > nodata && st.exchange[r][c] != 0)
      TakeGroundwaterTracer(st.exchange[r][c] / substeps,
                            std::clamp(static_cast<int>(groundwater_level[r][c]), 1, std::max(1, n)), n, w.theta.data(),
                            w.d.data(), a);
    w.tracerDirectLoad[t] = w.tracerInterLoad[t] = w.tracerBaseLoad[t] = 0;
    w.tracerInput[t] = Value(st.input, r, c);
    if (st.handed) {
      // The silting-up model's input, taken at the step's first call (the
      // surface routing refills the store with its standing water after it).
      if (substep_in_step <= 1) {
        const double x = Value(st.siltingStore, r, c);
        const double water = Value(infiltration_input, r, c);
        st.handed[r][c] = tr.evaporating == 1 ? x : water > 0 ? x / water : w.tracerInput[t];
      }
      w.tracerInput[t] = st.handed[r][c];
    }
    w.tracerSilt[t] = st.silting ? Value(st.silting, r, c) : w.tracerInput[t];
    w.tracerPump[t] = Value(st.saturated, r, c);
    // A tracer without a maximum concentration is carried without limit.
    w.tracerCap[t] = tr.max_conc > 0 ? tr.max_conc : std::numeric_limits<double>::infinity();
    // Groundwater that rises into the column without the groundwater
    // model: at the tracer's initial groundwater concentration (with it,
    // at the saturated zone's, see below).
    w.tracerGroundwater[t] = tr.gwini;
  }

  // The column's defaults, made in place (a copy of a temporary reads back
  // what was just stored).
  uzk::Column& col = *std::construct_at(&w.col);
  col.soil = soil;
  col.constants = &soilconstants[w.soilIndex];
  col.maxLayers = n;
  col.g = std::clamp(static_cast<int>(Value(groundwater_level, r, c, n)), 1, n);
  col.groundwaterDistance = Value(groundwater_distance, r, c);
  col.groundwaterActive = groundwatercoupling != 0;
  col.externalTable = external_table_applied != 0;
  col.surfaceInteraction = surface_interaction;
  col.tanBeta = Value(tangens_beta, r, c);
  col.channelDensity = sub > 0 ? channel_density[sub] : 0.0;
  col.drainageModelled = drainage_depth != nullptr;
  col.drainageLevel = static_cast<int>(Value(drainage_level, r, c));
  col.drainageDistance = Value(drainage_distance, r, c);
  col.drainageDepth = Value(drainage_depth, r, c);
  col.cellsize = cellsize;
  col.cellArea = CellArea(r, c);
  col.clayConductivity = k_sat_clay;
  col.clayDepthGrid = clay_depth != nullptr;
  col.thawDepth = PermafrostThawDepth ? Value(PermafrostThawDepth, r, c, nodata) : nodata;
  col.reducedConductivity = reduced_k_sat;
  col.infiltrationSaturation = Value(infiltration_saturation, r, c);
  col.work = w.work.data();
  col.conductance = w.conductance.data();
  col.solveWork = w.solve.data();
  std::fill(w.intervals.begin(), w.intervals.end(), 0);
  col.intervals = w.intervals.data();
  // River crossing the cell (with the groundwater model).
  w.riverRecord = 0;
  if (groundwatercoupling && river_links && Valid(river_links, r, c) && surface_interaction > 0) {
    FillRiverCell(w.river, r, c, pondStart);
    // The river water brings the concentrations of the link's record.
    w.river.tracers = std::min(w.tracers, 8);
    if (river_links[r][c] > 0) {
      // A link without a routing record is reported, one thread at a time.
      int record = KnownRiverLinkRecord(river_links[r][c]);
      int code = 0;
      if (record == 0) {
#pragma omp critical
        {
          try {
            record = RiverLinkRecord(river_links[r][c]);
          } catch (int e) {
            code = e;
          }
        }
      }
      if (code != 0) throw code;
      w.riverRecord = record;
      w.river.record = riverflow_table ? riverflow_table[record].field : nullptr;
      if (!riverShare.empty())
        w.river.share =
            riverShare[static_cast<size_t>(r - firstrow) * static_cast<size_t>(ncols + 1) + static_cast<size_t>(c)];
    }
    col.river = &w.river;
  }
  // Clay layer: the first layer reaching the clay depth (the last one when the column is shallower).
  if (clay_depth && Value(clay_depth, r, c) > 0) {
    double depth = 0;
    col.clayLayer = n;
    for (int i = 1; i <= n; ++i) {
      depth += w.d[i];
      if (depth >= clay_depth[r][c]) {
        col.clayLayer = i;
        break;
      }
    }
  }

  // Step lengths: dts of one call of run, k water substeps of dtw.
  const double dts = timeinterval * 60.0 / substeps;
  const double input = Value(infiltration_input, r, c);
  Grid standing = surface_routing_active ? standing_input : nullptr;
  if (standing && substep_in_step <= 1)
    standing[r][c] = input > 0 ? std::min(input, std::max(0.0, Value(silting_surface, r, c))) : 0.0;
  // Frozen soil: the unfrozen share of the water of each layer at the
  // temperatures of the step start (the heat substeps update it).
  if (heat) {
    for (int i = 1; i <= n; ++i) w.T[i] = Soil_Temperature_Stack[r][c][i];
    soil->GetLayerValuesBySaturation2(w.unfrozen.data(), w.T.data(), w.theta.data());
  }
  // Water substeps of the call. A fast soil, one of whose layers drains
  // within a quarter of the call (its water between theta_s and theta(3.45
  // m) over its saturated conductivity), is solved in water substeps no
  // longer than that time: in a longer one its water table rises and falls
  // through several layers, and the water that crosses the table on the way
  // is missed (the recharge changed sign with the sub-steps).
  const double* ks = soil->GetKsat();
  double fast = dts;
  for (int i = 1; i <= n; ++i) {
    const double drainable = (w.ts[i] - w.drainable[i]) * w.d[i];
    if (ks[i] > 0 && drainable > 0) fast = std::min(fast, drainable / ks[i]);
  }
  if (fast * kFastSoilShare > dts) fast = dts;
  // (An hour's 128 substeps of 28 s, four times the drainage time of a
  // gravel layer of 2 cm, give its recharge within 2 % of shorter ones.)
  if (col.drainageModelled && col.drainageLevel >= 1 && col.drainageDistance > 0 && std::isfinite(col.drainageDistance))
    fast = std::min(fast, kDrainedSubstep);
  const int most = static_cast<int>(std::ceil(kMostFastSoilSubsteps * std::max(1.0, dts / 3600.0) - 1e-9));
  int k = std::clamp(static_cast<int>(std::ceil(dts / fast - 1e-9)), 1, most);
  if (method == 3) {
    // The dynamic step: at least the substeps in which the water crosses
    // no layer faster than it conducts; and all those of the fixed step.
    double stable = dts;
    for (int i = 1; i <= std::max(1, col.g - 1); ++i) {
      if (input == 0) {
        // The conductivity of the liquid water (at least half of it).
        const double f = heat ? std::max(0.5, w.unfrozen[i]) : 1.0;
        const double kr = soil->InterpolateTableMin(i, f * w.theta[i], f * w.theta[i]);
        if (kr > 0) stable = std::min(stable, w.d[i] / (kr * ks[i]));
      } else {
        stable = std::min(stable, w.d[i] / ks[i]);
      }
    }
    stable = std::max(stable, dParameterMinStep);
    // (Without a lower bound a tiny stable step still gives a countable number.)
    k = std::max(k, static_cast<int>(std::clamp(std::ceil(dts / stable - 1e-12), 1.0, 1e9)));
  }
  // A call of an hour or less into which water enters, or in which roots
  // that reach below the table transpire, may move the water table into
  // another layer: the recharge is the water across the table of a water
  // substep's start, and in an hour's substep, in which the table moves
  // through a layer, the water that crossed it on the way was missed (and
  // roots below the table left the saturated layers below it short of
  // saturation, so that the lowest of them held the table for the solve and
  // the saturated zone above drained into them). Such a call is solved in
  // its water substeps first; where the table's layer changed in it, the
  // call is solved again in substeps of at most kWetSubstep. (In dump mode,
  // whose checks follow every substep, at once in those.)
  int refined = k;
  if (forcedK > 0) {
    k = forcedK;
  } else if (dts <= 3600.0) {
    const bool wet = input > 0 || (ponding_storage && pondStart > 0) || Value(silting_up, r, c) > 0;
    bool rootsBelowTable = false;
    for (int j = 1; j <= V && !rootsBelowTable; ++j)
      if (Valid(landuse[j], r, c) && Value(pot_transpiration[j], r, c) > 0 &&
          Value(root_depth[j], r, c) > -col.groundwaterDistance)
        rootsBelowTable = true;
    if (wet || rootsBelowTable)
      refined = std::clamp(static_cast<int>(std::ceil(dts / std::min(fast, kWetSubstep) - 1e-9)), k, most);
    // A column that holds ice or freezes under air below 0 deg C changes
    // its unfrozen share, and with it its conductivity, with the heat
    // substeps within the call, which a trial's change of water content does
    // not show (the example from January to March, 3 K colder: a recharge
    // of 15.05 mm on one sub-step against 16.63 on 16): such a wet call is
    // solved in the short substeps at once, as in dump mode.
    bool freezing = heatStep && refined > k && Value(air_temperature, r, c) <= 0;
    for (int i = 1; heat && refined > k && i <= n && !freezing; ++i) freezing = w.unfrozen[i] < 1.0;
    if (dumpmode || freezing) k = refined;
  }
  const bool trial = refined > k;
  w.k = k;
  if (heatStep) {
    HeatSetup(w, r, c);
    k = w.k;
  }
  const double dtw = dts / k;
  const double dtms = timeinterval * 60000.0 / substeps / k;
  w.dtw = dtw;

  double snowRunoffShare = 0;
  if (snowstorage_solid && Value(snowstorage_solid, r, c) > kSnowForRunoff && sub > 0)
    snowRunoffShare = SnowRunoff_fraction[sub];
  const bool pondOn = max_ponding_storage && Value(max_ponding_storage, r, c) > 0 && ponding_storage;
  double pond = pondOn ? pondStart : 0.0;
  // Level 0 of a tracer's stack holds the substance of the ponded water (its
  // concentration for an evaporating tracer), after the decay over this call.
  // A lake cell's ponded water is the lake's: it decays in the reservoir's
  // step, once per step, with the rest of the lake.
  const bool lakeWater = lake_flow_control != 0 && LakeCell(r, c);
  for (int t = 1; t <= NT; ++t) {
    const double x = pondOn ? soiltracers[t].store[r][c][0] : 0.0;
    const double v = x > nodata ? x : 0.0;
    w.tracerPond[t] = (tracersettings[t].evaporating == 1 ? v * pond : v) * (lakeWater ? 1.0 : soiltracers[t].decay);
  }
  int lastVegetation = 0;
  for (int j = 1; j <= V; ++j)
    if (Valid(landuse[j], r, c)) lastVegetation = j;
  double baseflowAmount = 0;
  double baseflowTaken = 0;  // of it, the water the baseflow took from the layers (mm)
  // The groundwater model's exchange the column could not give (mm).
  double notGiven = 0;
  // Irrigation from groundwater: the irrigation added the cell's amount [mm
  // per step] to its input; the soil pumps it from its saturated zone.
  const double pumpPerSubstep = GroundwaterIrrigation(r, c) / substeps / k;
  // The table at the end of the call lies below its start: the groundwater
  // model's storage coefficient follows the direction of the call's table,
  // which its step shares (that of the last of many water substeps moves by
  // a trace, whose sign rounding decides, and the coefficient jumps between
  // the filled and the drainable pore space).
  bool tableFell = false;
  const double callTable = w.z[0] + col.groundwaterDistance;
  // The ponded water's exchange with the ground below it (mm per step,
  // positive into the pond): what the pond gained besides its input and lost
  // besides the transpiration it covered, less the water the soil took from
  // it for its own evaporation and transpiration (counted with the cell's
  // evapotranspiration): the infiltration the soil passed on or kept, water
  // pushed up through the surface, groundwater rising above it, the
  // silting-up surface water and what ran off above the maximum ponding.
  // Below a lake whose soil stays saturated it is minus the baseflow.
  double pondExchange = 0;
  double Rmax = 0;
  for (int j = 1; j <= V; ++j)
    if (Valid(landuse[j], r, c)) Rmax = std::max(Rmax, Value(root_depth[j], r, c));

  // Layers that held the table and the saturated zone's top at the call's
  // start: a trial call that moves either is solved again (see refined).
  auto layerOfTable = [&](double height) {
    for (int i = 1; i <= n; ++i)
      if (w.z[i] < height) return i;
    return n;
  };
  const int callTableLayer = layerOfTable(callTable);
  const int callLevel = uzk::GroundwaterLevelLayer(w.theta.data(), w.ts.data(), n);
  bool tableMoved = false;  // or the moving table missed water
  double tableMissed = 0;
  for (int step = 1; step <= k; ++step) {
    // A trial known to be solved again needs no more of its substeps.
    if (trial && tableMoved) break;
    // The recharge crosses the water table of the substep's start: in the
    // layer that holds it (tableLayer), at the share tableShare of the
    // layer's thickness below its top, where the flux is taken on the line
    // between those through the layer's top and bottom.
    const double tableStart = w.z[0] + col.groundwaterDistance;
    const int tableLayer = layerOfTable(tableStart);
    const double tableShare =
        w.d[tableLayer] > 0 ? std::clamp((w.z[tableLayer - 1] - tableStart) / w.d[tableLayer], 0.0, 1.0) : 0.0;
    // 1. Input of the substep (mm). With silting-up the step's input holds
    // the water that stood on the surface at the step's start, as far as the
    // crust lets it through: it reaches the soil over the step like the rain,
    // a share in each sub-step. (Taken whole in the first sub-step, the
    // standing water would have a sub-step's time to infiltrate, the less the
    // more sub-steps.)
    double in = input / substeps / k;
    double setAside = 0;
    if (in > 0 && snowRunoffShare > 0) {
      setAside = snowRunoffShare * in;
      in -= setAside;
    }
    for (int j = 1; j <= V; ++j) w.demand[j] = Value(pot_transpiration[j], r, c) / substeps / k;
    // Silting-up runoff is mm per time step, shared by the sub-steps; the
    // surface storage is taken whole by every call (the surface routing puts
    // back what is left on the surface after it). With the surface routing
    // the silting-up runoff (mostly the water that stood on the surface at
    // the start of the step) goes back to the surface in the first sub-step
    // whole: handed back a share per sub-step it would be off the surface,
    // not flowing, for part of the step, the more the more sub-steps.
    double silt = silting_up ? Value(silting_up, r, c) / k / (silting_up_storage == 1 ? 1 : substeps) : 0.0;
    if (silting_up_storage == 0 && surface_routing_active) silt = substep_in_step <= 1 ? silt * substeps : 0.0;
    double directSilt = 0;
    const double inBase = in;
    // 2. Surface storage water first covers the transpiration demand.
    // The water that meets a demand is transpired: it counts in the layer's real transpiration.
    auto coverDemand = [&](double water) {
      for (int j = 1; j <= V && water > 0; ++j) {
        const double met = std::min(w.demand[j], water);
        if (w.demand[j] < water) {
          water -= w.demand[j];
          w.demand[j] = 0;
        } else {
          w.demand[j] -= water;
          water = 0;
        }
        if (real_transpiration[j] && real_transpiration[j][r]) real_transpiration[j][r][c] += met;
      }
      return water;
    };
    if (!pondOn) {
      if (silting_up_storage == 1)
        in += coverDemand(silt);
      else
        directSilt = silt;
    } else {
      // The ponded water takes the silting-up water and the snow runoff with
      // their substance; an evaporating tracer leaves with the water that
      // covers the transpiration demand, another stays in the rest.
      for (int t = 1; t <= NT; ++t) w.tracerPond[t] += w.tracerSilt[t] * silt + w.tracerInput[t] * setAside;
      pond += silt + setAside;
      setAside = 0;
      const double left = coverDemand(pond);
      for (int t = 1; t <= NT; ++t)
        if (tracersettings[t].evaporating == 1) w.tracerPond[t] = pond > 0 ? w.tracerPond[t] * left / pond : 0.0;
      in += left;
      pond = in;
    }
    // The water that reaches the soil mixes the input's and the silting-up
    // water's concentrations; ponded water takes that mixture too.
    // A tracer that does not evaporate stays behind when surface water
    // covers the demand: it goes in with the rest (into the top layer when
    // none is left).
    const double siltIn = pondOn ? 0.0 : in - inBase;
    const double siltTaken = !pondOn && silting_up_storage == 1 ? silt : siltIn;
    for (int t = 1; t <= NT; ++t) {
      const double siltWater = tracersettings[t].evaporating == 1 ? siltIn : siltTaken;
      if (pondOn) {
        if (in > 0) {
          w.tracerMix[t] = (inBase * w.tracerInput[t] + w.tracerPond[t]) / in;
        } else {
          // The demand took the whole pond: what it left behind joins the top layer.
          w.tracerMix[t] = w.tracerInput[t];
          if (n >= 1) w.Amount(t)[1] += w.tracerPond[t];
        }
        w.tracerPond[t] = 0;
      } else if (inBase + siltIn > 0) {
        w.tracerMix[t] = (inBase * w.tracerInput[t] + siltWater * w.tracerSilt[t]) / (inBase + siltIn);
      } else {
        w.tracerMix[t] = w.tracerInput[t];
        if (n >= 1) w.Amount(t)[1] += siltWater * w.tracerSilt[t];
      }
    }
    // 3. Rates.
    double P = in / dtms;
    const double setAsideRate = setAside / dtms;
    w.snapInput = P;
    // 4. Macropores.
    double macroWater = 0;
    for (int i = 0; i <= n; ++i) w.macro[i] = w.capacity[i] = 0;
    // Under the lake model (switch 1) not in a lake cell that holds open
    // water (ponding of 1 mm or more); under another lake switch never.
    if (lake_flow_control == 0 || (lake_flow_control == 1 && (!LakeCell(r, c) || pond < 1.0)))
      macroWater = uzk::MacroporeInfiltration(col, P, w.d.data(), w.capacity.data(), w.ts.data(), w.theta.data(),
                                              w.macro.data(), dtms);
    w.snapInputMacro = P;
    for (int t = 1; t <= NT; ++t) {
      double* a = w.Amount(t);
      for (int i = 1; i <= n; ++i) a[i] += w.tracerMix[t] * w.macro[i] * dtms;
    }

    // 5. Transpiration and soil evaporation.
    double evaporated = 0;
    for (int i = 1; i <= n; ++i) w.thetaBefore[i] = w.theta[i];
    for (int j = 1; j <= V; ++j) {
      w.transpired[j] = 0;
      if (!Valid(landuse[j], r, c)) continue;
      uzk::RootUptake u;
      u.rootDepth = std::max(Value(root_depth[j], r, c), w.d[1]);
      const int lu = static_cast<int>(landuse[j][r][c]);
      const bool entry = landusetable && lu >= 1 && lu <= landusetable[0].code;
      u.shape = entry ? landusetable[lu].GetRootDist() : 0.0;
      u.drySuction = entry ? landusetable[lu].GetHReduDry() : 3.45;
      u.thetaDry = w.DryTheta(j, *soil, u.drySuction);
      u.wetLimit = entry ? landusetable[lu].GetLimitReduWet() : 1.0;
      u.wetReduction = entry ? landusetable[lu].GetTReduWet() : 1.0;
      u.passLimit = col.g;
      u.coverage = Value(vegetation_coverage_degree[j], r, c);
      u.demand = w.demand[j] / dtms;
      u.evaporation = j == lastVegetation ? Value(potential_evaporation, r, c) / substeps / k / dtms : 0.0;
      u.evapDepth = soil->EvapMaxDepth;
      u.dt = dtw;
      for (int i = 0; i <= n; ++i) w.e[i] = w.evap[i] = w.sum[i] = 0;
      const int N = uzk::RootExtraction(col, u, w.d.data(), w.theta.data(), w.thetaLow.data(), w.rel.data(), w.w.data(),
                                        w.e.data(), w.evap.data(), w.sum.data());
      double taken = 0, given = 0;
      for (int i = 1; i <= n; ++i) {
        double up = i <= N ? w.e[i] : 0.0;
        double ev = w.evap[i];
        const double drop = (up + ev) * dtw / w.d[i];
        const double bound = i == 1 ? 0.0 : w.tr[i];
        if (w.theta[i] - drop < bound) {
          // Not more than the layer holds above its bound: the uptake gives
          // way first. A layer at or below its bound gives nothing and keeps
          // its water (lifting it to the bound would make water).
          const double available = std::max(0.0, w.theta[i] - bound) * w.d[i] / dtw;
          up = std::min(up, available);
          ev = std::min(ev, available - up);
          w.theta[i] -= (up + ev) * dtw / w.d[i];
        } else {
          w.theta[i] -= drop;
        }
        taken += up;
        given += ev;
        if (atControl) {
          control_etr[i] += up * dtms;
          control_etr[0] += ev * dtms;
        }
      }
      w.transpired[j] = taken * dtms;
      evaporated += given * dtms;
      if (real_transpiration[j] && real_transpiration[j][r]) real_transpiration[j][r][c] += taken * dtms;
    }

    // An evaporating tracer leaves with the water taken, keeping its concentration.
    for (int t = 1; t <= NT; ++t) {
      if (tracersettings[t].evaporating != 1) continue;
      double* a = w.Amount(t);
      for (int i = 1; i <= n; ++i)
        if (w.thetaBefore[i] > 0) a[i] *= w.theta[i] / w.thetaBefore[i];
    }
    for (int i = 1; i <= n; ++i) w.thetaBefore[i] = w.theta[i];

    // 6. Baseflow (rate, m/s); negative: groundwater rising into the column.
    // With the groundwater model the grid holds the rate it set for the step.
    double qb = groundwatercoupling ? baseflowRate : 0.0;
    if (!groundwatercoupling && !external_table_applied && sub > 0)
      qb = qb_reduction_factor[sub] * std::exp(col.groundwaterDistance * kelsqlat[sub]) / (substeps * dtms * k);
    // Dump mode checks this rate; its repair limits the soil's own baseflow
    // to the bound before any water is taken, so the column keeps the rest
    // (the groundwater model's exchange is that model's water and stays).
    w.checkedBaseflow = qb;
    if (dumpmode && repairafterdump && !closeafterdump && !groundwatercoupling)
      qb = std::clamp(qb, -kDumpBaseflowBound / stepMs, kDumpBaseflowBound / stepMs);
    double rising = 0;  // rate that no layer could hold
    auto findLevel = [&]() { return uzk::GroundwaterLevelLayer(w.theta.data(), w.ts.data(), n); };
    int g = findLevel();
    for (int i = 0; i <= n; ++i) w.base[i] = 0;
    if (qb < 0) {
      double rest = -qb;
      for (int i = g; i >= 1 && rest > 0; --i) {
        const double room = (w.ts[i] - w.theta[i]) * w.d[i] / dtw;
        const double put = std::clamp(room, 0.0, rest);
        w.theta[i] += put * dtw / w.d[i];
        w.base[i] = -put;
        rest -= put;
      }
      rising = rest;
      w.base[0] = rest;
    }
    // 7. Groundwater level layer; a positive baseflow is taken from it downward.
    g = findLevel();
    if (qb > 0) {
      double rest = qb;
      for (int i = g; i <= n && rest > 0; ++i) {
        const double avail = std::max(0.0, (w.theta[i] - w.drainable[i]) * w.d[i] / dtw);
        if (avail >= rest) {
          w.theta[i] -= rest * dtw / w.d[i];
          w.base[i] = rest;
          rest = 0;
        } else {
          // A layer already below its drainable content gives nothing and
          // keeps its water.
          if (avail > 0) w.theta[i] = w.drainable[i];
          w.base[i] = avail;
          rest -= avail;
          g = std::min(n, g + 1);
        }
      }
      qb -= rest;
      notGiven += rest * dtw * 1000.0;
    }
    // Baseflow takes the layers' substance with their water; rising
    // groundwater brings the tracer's groundwater concentration. With the
    // groundwater model the baseflow is its exchange with the column, whose
    // substance that model moved already (below).
    double takenWater = 0;
    for (int i = 1; i <= n; ++i)
      if (w.base[i] > 0) takenWater += w.base[i] * dtms;
    for (int t = 1; t <= NT; ++t) {
      double* a = w.Amount(t);
      double taken = 0;
      if (sharedGroundwater) {
        // The exchange's water follows the tracer the groundwater model
        // moved already; what rises above the column (no layer holds it)
        // leaves its saturated zone at the zone's concentration. The tracer
        // joined the saturated zone's layers by their water, while the
        // exchange's water rose into the layers above the table or left
        // from the table down: the layers it passed and the saturated zone
        // mix, so that the tracer is where its water is.
        int lo = n + 1;
        for (int i = 1; i <= n && lo > n; ++i)
          if (w.base[i] != 0) lo = std::min(g, i);
        double pooled = 0, pooledWater = 0;
        for (int i = lo; i <= n; ++i) {
          pooled += a[i];
          pooledWater += w.theta[i] * w.d[i] * 1000.0;
        }
        if (pooledWater > 0)
          for (int i = lo; i <= n; ++i) a[i] = pooled * w.theta[i] * w.d[i] * 1000.0 / pooledWater;
        double mass = 0, water = 0;
        for (int i = g; i <= n; ++i) {
          mass += std::max(0.0, a[i]);
          water += w.theta[i] * w.d[i] * 1000.0;
        }
        const double x = water > 0 && rising > 0 ? std::min(mass, mass / water * rising * dtms) : 0.0;
        for (int i = g; i <= n && x > 0; ++i) a[i] -= std::max(0.0, a[i]) * x / mass;
        w.tracerGroundwater[t] = rising > 0 ? x / (rising * dtms) : 0.0;
        if (!pondOn) w.tracerDirectLoad[t] += x;
        continue;
      }
      for (int i = 1; i <= n; ++i) {
        if (w.base[i] > 0 && w.thetaBefore[i] > 0) {
          const double m = a[i] * std::min(1.0, w.base[i] * dtw / (w.thetaBefore[i] * w.d[i]));
          a[i] -= m;
          taken += m;
        } else if (w.base[i] < 0) {
          a[i] -= w.tracerGroundwater[t] * w.base[i] * dtms;
        }
      }
      if (!pondOn) w.tracerDirectLoad[t] += w.tracerGroundwater[t] * rising * dtms;
      w.tracerBaseLoad[t] += taken;
    }
    baseflowTaken += takenWater;
    // The irrigation's pumping (mm): from the groundwater level layer down the
    // water above the content at 3.45 m suction, then above the residual
    // content, then the layers above; the water leaves with the substance
    // the irrigation gave it (the saturated zone's concentration of the
    // last step's end), as far as the layer holds it.
    if (pumpPerSubstep > 0) {
      double rest = pumpPerSubstep;
      auto pump = [&](int i, double bound) {
        const double x = std::min(rest, std::max(0.0, (w.theta[i] - bound) * w.d[i] * 1000));
        if (!(x > 0)) return;
        for (int t = 1; t <= NT; ++t) {
          double& a = w.Amount(t)[i];
          a -= std::min(std::max(0.0, a), w.tracerPump[t] * x);
        }
        w.theta[i] -= x / (w.d[i] * 1000);
        rest -= x;
      };
      for (int i = g; i <= n && rest > 0; ++i) pump(i, w.drainable[i]);
      for (int i = g; i <= n && rest > 0; ++i) pump(i, w.tr[i]);
      for (int i = g - 1; i >= 1 && rest > 0; --i) pump(i, w.thetaLow[i]);
      g = findLevel();
      // What an exhausted column cannot give comes from below it: the
      // cell's baseflow is less by it.
      baseflowAmount -= rest;
    }
    col.g = g;
    if (g != callLevel) tableMoved = true;
    // The uptake and the baseflow moved the saturated zone's top: the trial
    // is solved again whatever its iteration gives.
    if (trial && tableMoved) break;
    col.baseflow = qb;
    // Negative: water from the groundwater, into the layers or, where they are full, direct runoff.
    baseflowAmount += qb * dtms;

    // 8. Start of the substep. With heat transfer the unfrozen share of the
    // current temperatures and water contents: frozen water has the suction
    // of the liquid water alone, and the liquid share bounds the conductivity.
    for (int i = 0; i <= n + 1; ++i) w.thetaOld[i] = w.mean[i] = w.thetaNew[i] = w.theta[i];
    const double* frozen = nullptr;
    if (heat) {
      soil->GetLayerValuesBySaturation2(w.unfrozen.data(), w.T.data(), w.theta.data());
      frozen = w.unfrozen.data();
    }
    if (NT > 0)
      for (int i = 0; i <= n + 1; ++i) w.thetaBefore[i] = w.theta[i];
    double waterStart = 0;
    for (int i = 1; i <= n; ++i) waterStart += w.theta[i] * w.d[i];
    (void)waterStart;
    // 9. Dump snapshot.
    if (dumpmode) {
      w.snapG = g;
      w.snapBaseflow = w.checkedBaseflow * stepMs;  // mm per step, as checked
      for (int j = 0; j <= V; ++j) w.snapTranspiration[j] = Value(real_transpiration[j], r, c);
      const std::vector<double>* arrays[14] = {&w.theta, &w.thetaOld, &w.ts,     &w.tr, &w.d, &w.z,   &w.q,
                                               &w.S,     &w.H,        &w.psiOld, &w.A,  &w.B, &w.sum, &w.drainable};
      for (int a = 0; a < 14; ++a)
        for (int i = 0; i <= n; ++i) w.snapArrays[a * (n + 1) + i] = (*arrays[a])[i];
      for (int i = 0; i <= n; ++i) w.snapT[i] = w.T[i];
    }

    // 10. Iteration.
    double tolerance = max_error;
    int counter = 0;
    double change = 0;
    double drainageFlow = 0, inflowSum = 0, outflowSum = 0, sumA = 0, sumB = 0, meanSuction = 0;
    int count = 0;
    double drainageRelaxed = 0, sumARelaxed = 0, sumBRelaxed = 0;
    do {
      // Heads and conductivities of a pass are those of the relaxed mean of
      // the iterates (UpdateTheta): taken at the last iterate alone, a layer
      // at saturation under input above its conductivity flips between its
      // saturated and its unsaturated branch from pass to pass and never
      // settles, and the step ends wherever the iteration limit stops it.
      uzk::ComputeHeads(col, counter, 0, meanSuction, w.thetaOld.data(), w.mean.data(), w.A.data(), w.B.data(),
                        w.psiOld.data(), w.H.data(), w.z.data(), frozen);
      ++counter;
      for (int i = 1; i <= n + 1; ++i) w.q[i] = w.S[i] = 0;
      drainageFlow = 0;
      uzk::ComputeFluxes(col, 0, P, dtw, w.thetaOld.data(), w.mean.data(), w.mean.data(), w.A.data(), w.B.data(),
                         w.ts.data(), w.z.data(), w.H.data(), w.d.data(), w.S.data(), w.q.data(), drainageFlow, frozen,
                         w.tracer.data(), inflowSum, outflowSum);
      sumA = inflowSum;
      sumB = outflowSum;
      // The Newton correction before the excess and deficit update: the
      // bounds have the last word, so no layer ends the pass above saturation.
      uzk::CorrectFluxes(col, 0, w.A.data(), w.B.data(), w.theta.data(), w.thetaOld.data(), w.q.data(), w.S.data(),
                         w.d.data(), dtw, frozen);
      uzk::UpdateThetaWithExcess(col, 10, 0, w.A.data(), w.B.data(), w.thetaOld.data(), w.thetaNew.data(), w.ts.data(),
                                 w.tr.data(), w.q.data(), w.S.data(), w.d.data(), sumA, sumB, dtw);
      // From pass kRelaxedFrom on, the fluxes of a pass are the mean of
      // those the passes since then gave (and the water contents those of
      // that mean, which the water balance of the layers makes linear in
      // them): near saturation the fluxes can jump between two values as the
      // heads cross (the flux correction keeps a flux's direction, and a
      // flux the heads turn upward stops), and the plain iteration flips
      // between them for ever; the mean settles where the heads meet.
      if (counter >= kRelaxedFrom) {
        const double share = 1.0 / (counter - kRelaxedFrom + 1);
        auto relax = [&](double& value, double& kept) {
          value = counter == kRelaxedFrom ? value : kept + share * (value - kept);
          kept = value;
        };
        for (int i = 0; i <= n + 1; ++i) {
          relax(w.q[i], w.qRelaxed[i]);
          relax(w.S[i], w.SRelaxed[i]);
          relax(w.A[i], w.ARelaxed[i]);
          relax(w.B[i], w.BRelaxed[i]);
        }
        relax(drainageFlow, drainageRelaxed);
        relax(sumA, sumARelaxed);
        relax(sumB, sumBRelaxed);
      }
      if (counter == 21) tolerance = 5 * max_error;
      change = uzk::UpdateTheta(col, counter, 0, w.A.data(), w.B.data(), w.theta.data(), w.mean.data(),
                                w.thetaOld.data(), w.q.data(), w.S.data(), w.d.data(), count, dtw);
    } while (change > tolerance && max_iterations > counter);
    // Water that left the updated layers downward goes to the layer below or,
    // below the last layer, out of the column with the baseflow. The last
    // pass updated the layers down to m, with the exchange with a river
    // further than two below the table's layer: a flux within them is
    // booked already.
    {
      const int m = std::min(n, uzk::UpdatedLayers(col, 0, w.A.data(), w.B.data()));
      if (w.q[m] != 0) {
        if (m < n) {
          w.theta[m + 1] -= w.q[m] * dtw / w.d[m + 1];
        } else {
          baseflowAmount -= w.q[m] * dtms;
        }
      }
    }
    if (col.fpe) w.Defer({CellWork::Note::kFpe, step, counter, w.theta[1], w.q[0], w.S[1], change, P});

    // 11. Heat substeps.
    if (heatStep) HeatSubsteps(w, r, c);

    // 12. Dump checks, repair and close.
    if (dumpmode && CheckAndDump(w, r, c, step)) {
      RecordError(199);
      return;
    }

    // 13. River water taken by the cell, as a discharge over the whole time
    // step (m3/s; the routing takes it times the step from the river): its
    // later substeps see it; the link's record gets it after the solve of
    // all cells.
    if (surface_interaction >= 2 && w.river.record && w.riverRecord > 0 && col.river && sumA > 0 &&
        !riverTaken.empty()) {
      const double taken = sumA * col.cellArea * dtw / w.river.stepSeconds;
      w.river.taken += taken;
      const size_t at = static_cast<size_t>(r - firstrow) * static_cast<size_t>(ncols + 1) + static_cast<size_t>(c);
      riverTaken[at] += taken;
      riverTakenRecord[at] = w.riverRecord;
    }

    // 14. Iteration log (written with the call's results).
    if (counter > 100 && mpirank == 0) w.Defer({CellWork::Note::kLog, step, counter, 0, 0, 0, change, 0});

    // 17. Outflows limited to the water of each layer; water kept back stays in its layer.
    for (int i = 0; i <= n; ++i) w.O1[i] = w.O2[i] = 0;
    const int dl = col.drainageLevel;
    for (int i = 1; i <= n; ++i) {
      const double drain = (i == dl && drainage_flow) ? std::clamp(drainageFlow, 0.0, std::max(0.0, w.S[i])) : 0.0;
      w.O2[i] = drain;
      w.O1[i] = w.S[i] - drain;
    }
    uzk::BalanceArrays ba;
    ba.theta = w.theta.data();
    ba.d = w.d.data();
    ba.q = w.q.data();
    ba.O1 = w.O1.data();
    ba.O2 = w.O2.data();
    ba.A = w.A.data();
    ba.B = w.B.data();
    ba.available = w.available.data();
    ba.factor = w.factor.data();
    ba.O1Limited = w.O1L.data();
    ba.O2Limited = w.O2L.data();
    ba.BLimited = w.BL.data();
    ba.qLimited = w.qL.data();
    uzk::TracerColumn tc;
    if (NT > 0) {
      for (int t = 1; t <= NT; ++t) w.Amount(t)[0] = w.tracerMix[t] * P * dtms;  // the input store
      tc.count = NT;
      tc.mixed = w.tracerMixed.data();
      tc.capFactor = w.tracerCap.data();
      tc.start = w.tracerStartRows.data();
      tc.end = w.tracerEndRows.data();
      tc.river = w.tracer.data();
      tc.inputWater = P * dtms;
      tc.thetaStart = w.thetaBefore.data();
      tc.water = w.tracerWater.data();
      tc.lastFlux = std::min(n, g + 2);  // as the water update above
      tc.groundwater = nullptr;
      tc.groundwaterStorage = 0;
      tc.output = w.tracerOut.data();
      tc.interflow = w.tracerInter.data();
      tc.drainage = w.tracerDrain.data();
      tc.outputAmount = w.tracerOutAmount.data();
      tc.interflowAmount = w.tracerInterAmount.data();
      tc.drainageAmount = w.tracerDrainAmount.data();
      tc.drainsAmount = w.tracerDrainsAmount.data();
    }
    uzk::LayerBalance(col, g, ba, NT > 0 ? &tc : nullptr, dtw, 1.0, 1.0);
    double interflowRate = 0, drainageRate = 0, exfiltrationRate = 0;
    for (int i = 1; i <= n; ++i) {
      const double kept = (w.O1[i] - w.O1L[i]) + (w.O2[i] - w.O2L[i]) + (w.B[i] - w.BL[i]);
      if (kept != 0) w.theta[i] += kept * dtw / w.d[i];
      interflowRate += w.O1L[i];
      drainageRate += w.O2L[i];
      exfiltrationRate += w.BL[i];
      if (atControl) control_interflow[i] += (w.O1L[i] + w.O2L[i]) * dtms;
    }

    // 15. Water table, of the water contents the layers keep after the
    // outflow limits. The recharge is the water that crossed the table of
    // the call's start (see tableLayer; negative: rise), and the macropore
    // water put below it; where the table rose further than the layers this
    // substep solved, the water that reached the table's layer now.
    g = std::clamp(g, 1, n);
    const double T = uzk::WaterTableHeight(w.z.data(), w.theta.data(), w.ts.data(), w.drainable.data(), n);
    double recharge = 0;
    if (tableLayer <= std::min(n, uzk::UpdatedLayers(col, 0, w.A.data(), w.B.data()))) {
      recharge = (1 - tableShare) * uzk::LowerBoundaryFlux(tableLayer, w.q.data(), dtms) +
                 tableShare * uzk::LowerBoundaryFlux(tableLayer + 1, w.q.data(), dtms);
      recharge += (1 - tableShare) * w.macro[tableLayer] * dtms;
      for (int i = tableLayer + 1; i <= n; ++i) recharge += w.macro[i] * dtms;
      // The baseflow and the exfiltration into a river leave the saturated
      // zone: what they took above the table (from the layers above its
      // layer, and from the table's layer its share above the table)
      // crossed the table first; groundwater put there rose across it.
      for (int i = 1; i < tableLayer; ++i) recharge += (w.base[i] + w.BL[i]) * dtms;
      recharge += tableShare * (w.base[tableLayer] + w.BL[tableLayer]) * dtms;
    } else {
      recharge = uzk::LowerBoundaryFlux(g, w.q.data(), dtms);
      for (int i = g; i <= n; ++i) recharge += w.macro[i] * dtms;
    }
    col.groundwaterDistance = T - w.z[0];
    tableFell = T < callTable;
    if (layerOfTable(T) != callTableLayer) tableMoved = true;
    if (trial) {
      // The water the moving table missed (mm), see kTableTolerance.
      tableMissed += 500.0 * std::fabs(T - tableStart) * std::fabs(w.theta[tableLayer] - w.thetaOld[tableLayer]);
      if (tableMissed > kTableTolerance) tableMoved = true;
    }

    // 16. Surface runoff. Water pushed up through the surface joins it.
    const double q0 = w.q[0];
    double infiltration = 0, runoff = 0;
    if (q0 < 0) {
      infiltration = -q0 * dtms;
      runoff = (P + q0 + setAsideRate) * dtms;
    } else {
      runoff = (P + q0 + setAsideRate) * dtms;
    }
    runoff = std::max(0.0, runoff);
    double directRate = runoff / dtms + rising;
    // 18. Direct-runoff silting-up water.
    directRate += directSilt / dtms;
    // 19. Ponding: what did not infiltrate stays on the surface up to the maximum.
    if (pondOn) {
      const double maxPond = max_ponding_storage[r][c];
      const double surface = (rising + P + q0) * dtms + setAsideRate * dtms;
      if (surface > maxPond) {
        directRate = (surface - maxPond) / dtms;
        pond = maxPond;
      } else {
        pond = std::max(0.0, surface);
        directRate = 0;
      }
      runoff = directRate * dtms;
      double soilEvapotranspiration = evaporated;
      for (int j = 1; j <= V; ++j) soilEvapotranspiration += w.transpired[j];
      pondExchange += pond + silt - (P + setAsideRate) * dtms + soilEvapotranspiration;
    }

    // 20. Results of the substep (mm).
    directflow[r][c] += directRate * dtms;
    // The drains lead their water into the channels with the interflow:
    // "interflow" holds both, "drainage_flow" the drains' part.
    interflow[r][c] += (interflowRate + drainageRate) * dtms;
    if (drainage_flow) drainage_flow[r][c] += drainageRate * dtms;
    if (river_infiltration) river_infiltration[r][c] += sumA * dtms;
    if (river_exfiltration) river_exfiltration[r][c] += exfiltrationRate * dtms;
    macropore_infiltration[r][c] += macroWater;
    groundwater_recharge[r][c] += recharge;
    if (recharge > 0)
      Percolation[r][c] += recharge;
    else
      Capillar_Uprise[r][c] += recharge;
    real_evaporation[r][c] += evaporated;
    infiltration_excess[r][c] += runoff;
    total_infiltration[r][c] += infiltration + macroWater;
    if (number_of_substeps) number_of_substeps[r][c] = k;
    // Water across the lower boundary of each layer (level 0: the soil
    // surface), mm, positive downward.
    if (q_down && q_down[r])
      for (int i = 0; i <= n; ++i) q_down[r][c][i] -= w.q[i] * dtms;

    // Substance of the runoff: what the input store did not give to the soil
    // (with the snow runoff set aside and the direct silting-up water), or,
    // with ponding, the direct runoff at the mixed input concentration.
    // What left the bottom of the column leaves with the baseflow.
    for (int t = 1; t <= NT; ++t) {
      double* a = w.Amount(t);
      const double* e = w.AmountEnd(t);
      for (int i = 0; i <= n; ++i) a[i] = e[i];
      if (!pondOn) {
        w.tracerDirectLoad[t] +=
            std::max(0.0, a[0]) + w.tracerInput[t] * setAsideRate * dtms + w.tracerSilt[t] * directSilt;
      } else {
        // The water left on the surface (what did not infiltrate and the
        // rising groundwater no layer could hold) mixes; the direct runoff
        // takes its share, the pond keeps the rest. Where all of it went in,
        // what the infiltration could not carry (above the maximum
        // concentration) stays in the top layer with the water it came with.
        const double surface = pond + directRate * dtms;
        const double amount = std::max(0.0, a[0]) + w.tracerGroundwater[t] * rising * dtms;
        if (surface > 0) {
          const double share = directRate * dtms / surface;
          w.tracerDirectLoad[t] += amount * share;
          w.tracerPond[t] = amount - amount * share;
        } else {
          w.tracerPond[t] = 0;
          if (n >= 1) a[1] += amount;
        }
      }
      a[0] = 0;
      w.tracerInterLoad[t] += w.tracerInterAmount[t] + w.tracerDrainsAmount[t];
      // With the groundwater model the exfiltration into the river leaves
      // with the substance it took from the layers.
      if (sharedGroundwater) w.tracerBaseLoad[t] += w.tracerDrainAmount[t] - w.tracerDrainsAmount[t];
    }
  }

  // A trial call that moved the table into another layer is solved again
  // in its refined substeps, from the state of the call's start: the
  // stacks and the step's inputs are untouched until the results below;
  // what the trial changed besides the cleared results is put back.
  if (trial && tableMoved) {
    if (ponding_storage && ponding_storage[r]) ponding_storage[r][c] = pondGridStart;
    if (!groundwatercoupling && baseflow && baseflow[r]) baseflow[r][c] = baseflowStart;
    if (!riverTaken.empty()) {
      const size_t at = static_cast<size_t>(r - firstrow) * static_cast<size_t>(ncols + 1) + static_cast<size_t>(c);
      riverTaken[at] = riverTakenStart;
    }
    if (atControl) {
      std::copy(w.controlStart.begin(), w.controlStart.begin() + (n + 1), control_etr.begin());
      std::copy(w.controlStart.begin() + (n + 1), w.controlStart.begin() + 2 * (n + 1), control_interflow.begin());
    }
    w.notes.clear();
    SolveCell(w, r, c, refined);
    return;
  }
  FlushNotes(w, r, c);

  // Results of the step.
  // The water standing on the surface was taken up whole (the surface
  // routing puts back what the cell leaves on it): it left the surface, and
  // the infiltration excess holds only the water newly left there.
  if (silting_up_storage == 1 && Valid(silting_up, r, c)) {
    surface_taken[r][c] = silting_up[r][c];
    infiltration_excess[r][c] -= silting_up[r][c];
    silting_up[r][c] = 0;
  }
  // So was the call's share of the water that stood on the surface at the
  // step's start (with silting-up, in the step's input).
  if (standing) infiltration_excess[r][c] -= standing[r][c] / substeps;
  if (ponding_storage && pondOn) ponding_storage[r][c] = pond;
  if (q_downext && pondOn) q_downext[r][c] = pondExchange;
  const soil_table_entry& s = *soil;
  const double rootZoneTheta =
      Rmax > 0 ? uzk::WaterContentToDepth(s, n, w.d.data(), w.theta.data(), 1, Rmax) / Rmax : w.theta[1];
  SB_1_grid[r][c] = rootZoneTheta;
  MeanThetaInRootZone[r][c] = s.InterpolateTable(1, rootZoneTheta);
  SB_2_grid[r][c] = uzk::WaterContentToDepth(s, n, w.d.data(), w.theta.data(), 1, 9999) * 1000.0;
  ROOTgrid[r][c] = Rmax * 1000.0;
  if (infiltration_saturation) infiltration_saturation[r][c] = col.infiltrationSaturation;

  if (heatStep) HeatResults(w, r, c);
  // State back into the stacks.
  for (int i = 1; i <= n; ++i) {
    th[i] = w.theta[i];
    hh[i] = w.H[i];
  }
  groundwater_level[r][c] = col.g;
  Theta_in_GWLEVEL[r][c] = w.theta[col.g];
  groundwater_distance[r][c] = col.groundwaterDistance;
  if (gw_storage_coeff && gw_storage_coeff[r])
    gw_storage_coeff[r][c] = std::max(0.01, w.ts[col.g] - (tableFell ? w.drainable[col.g] : w.theta[col.g]));
  // mm per time step at the rate of this call (its amount times the sub-steps).
  if (!groundwatercoupling) baseflow[r][c] = baseflowAmount * substeps;
  if (groundwatercoupling) {
    // The exchange the column takes in its later calls of this step (the
    // groundwater model's of the last step) is owed already.
    double givable = 0;
    for (int i = uzk::GroundwaterLevelLayer(w.theta.data(), w.ts.data(), n); i <= n; ++i)
      givable += std::max(0.0, w.theta[i] - w.drainable[i]) * w.d[i];
    const double owed = std::max(0.0, Value(baseflow, r, c)) * (substeps - substep_in_step) / substeps;
    groundwater_givable[r][c] = std::max(0.0, 1000.0 * givable - owed);
    groundwater_not_given[r][c] = notGiven;
  }
  for (int t = 1; t <= NT; ++t) {
    const SoilTracer& st = soiltracers[t];
    const bool evap = tracersettings[t].evaporating == 1;
    double* a = w.Amount(t);
    double* v = st.store[r][c];
    // The infiltration carries the substance at most at the tracer's maximum
    // concentration; what the input store kept back leaves with the direct
    // runoff. Where none flows, it stays in the soil with the water it came
    // with: in the top layer.
    if (!(directflow[r][c] > 0) && n >= 1) {
      a[1] += w.tracerDirectLoad[t];
      w.tracerDirectLoad[t] = 0;
    }
    // What the pond's water left behind when all of it infiltrated (the
    // substance the infiltration carried at most at the maximum
    // concentration) stays in the soil with that water: in the top layer.
    if (pondOn && !(pond > 0) && n >= 1) {
      a[1] += w.tracerPond[t];
      w.tracerPond[t] = 0;
    }
    if (pondOn) v[0] = evap ? (pond > 0 ? w.tracerPond[t] / pond : 0.0) : (pond > 0 ? w.tracerPond[t] : 0.0);
    for (int i = 1; i <= n; ++i) v[i] = evap ? (w.theta[i] > 1e-5 ? a[i] / (w.theta[i] * w.d[i] * 1000.0) : 0.0) : a[i];
    st.concQD[r][c] = directflow[r][c] > 0 ? w.tracerDirectLoad[t] / directflow[r][c] : 0.0;
    st.concQI[r][c] = interflow[r][c] > 0 ? w.tracerInterLoad[t] / interflow[r][c] : 0.0;
    const double baseWater = sharedGroundwater ? Value(river_exfiltration, r, c) : baseflowTaken;
    st.concQB[r][c] = baseWater > 0 ? w.tracerBaseLoad[t] / baseWater : 0.0;
    // The groundwater model's layer 1 moves the saturated zone's water.
    if (sharedGroundwater && st.groundwater && st.groundwater[r]) {
      double mass = 0, water = 0;
      for (int i = col.g; i <= n; ++i) {
        mass += std::max(0.0, a[i]);
        water += w.theta[i] * w.d[i] * 1000.0;
      }
      st.groundwater[r][c] = water > 0 ? mass / water : 0.0;
      if (saturated_water && saturated_water[r]) saturated_water[r][c] = water;
    }
  }
  if (ETR2ETP && SBHIGH_grid && SB_1_grid[r][c] < SBHIGH_grid[r][c]) {
    double real = 0, potential = 0;
    for (int j = 1; j <= V; ++j) {
      real += Value(real_transpiration[j], r, c);
      potential += Value(pot_transpiration[j], r, c) / substeps;
    }
    ETR2ETP[r][c] = potential > 0 ? real / potential : 1.0;
  }
}
