// Lakes of "[lake_model]" in the routing model: the lake cells of every
// instance are brought to instance 0 before the routing step, where the
// reservoirs level their water, and the new ponding storage goes back after it.
#include <mpi.h>

#include <cstdio>
#include <string>

#include "framework/diagstream.h"
#include "routing/abfluss.h"

namespace {
bool MpiRunning() {
  int running = 0, finalized = 0;
  MPI_Initialized(&running);
  MPI_Finalized(&finalized);
  return running && !finalized;
}
}  // namespace

template <typename F>
void abflussmodellklasse::ForOwnLakeCells(F f) {
  if (lakes.codes < 1) return;
  Grid codes = gridlist[lakes.codes].grid;
  const int from = mpisize > 1 ? firstrow : 1;
  const int to = mpisize > 1 ? lastrow : nrows;
  for (int r = from; r <= to; ++r) {
    if (!codes[r]) continue;
    int first = 1, last = ncols;
    if (datacols) {
      first = datacols[r].first < 1 ? 1 : datacols[r].first;
      last = datacols[r].first < 1 ? 0 : (datacols[r].last > ncols ? ncols : datacols[r].last);
    }
    for (int c = first; c <= last; ++c) {
      if (!(codes[r][c] > nodata)) continue;
      if (MPIRegions && MPIRegions[r] && static_cast<int>(MPIRegions[r][c]) != mpirank) continue;
      f(r, c);
    }
  }
}

void abflussmodellklasse::SetPrecipitationSource(int interceptionBeforeSnow) {
  interceptionFirst = interceptionBeforeSnow;
}

void abflussmodellklasse::CountLakeCellsPerRank() {
  // The other instances read the lake switch too, so that all of them agree.
  if (mpirank != 0 && switchedOn && controlfile.Open(controlfilename, diag)) {
    ReadLakeGrid("[lake_model]");
    controlfile.Close();
  }
  if (!switchedOn || lakeFlowControl == 0) return;
  lakeCellsPerMPIRank.assign(static_cast<size_t>(mpisize < 1 ? 1 : mpisize), 0);
  if (FindGrid("lake_codes", false) < 1) return;

  lakes.codes = GetGrid("lake_codes");
  lakes.ponding = FindGrid("ponding_storage", false) > 0 ? GetGrid("ponding_storage") : GetGrid("ponding_storage_top");
  lakes.etr0 = GetGrid("real_transpiration0");
  lakes.qdown = FindGrid("q_downext", false);
  lakes.baseflow = FindGrid("baseflow", false);
  lakes.interceptionEvap = FindGrid("interception_evaporation0", false);
  lakes.snowEvap = FindGrid("snow_evaporation", false);
  // The water that reaches the ground: of the module that comes last before
  // the soil, the grid the soil takes as its input (the interception's
  // throughfall when the snow runs first, the snow's outflow when the
  // interception does).
  const char* order[2][3] = {{"throughfall0", "snowcover_outflow", "precipitation"},
                             {"snowcover_outflow", "throughfall0", "precipitation"}};
  lakes.input = 0;
  for (const char* name : order[interceptionFirst ? 1 : 0])
    if (lakes.input < 1) lakes.input = FindGrid(name, false);
  if (lakes.input < 1) lakes.input = GetGrid("precipitation");
  // The lake water's tracers are those of the soil's ponded water (level 0
  // of its tracer stacks), as concentrations in grids of their own.
  ReleaseLakeConcentrations();
  lakes.soilStacks.assign(static_cast<size_t>(lakes.tracerCount) + 1, 0);
  lakes.tracers.assign(static_cast<size_t>(lakes.tracerCount) + 1, 0);
  lakes.concentrations.assign(static_cast<size_t>(lakes.tracerCount) + 1, nullptr);
  lakes.concentrationPositions.assign(static_cast<size_t>(lakes.tracerCount) + 1, 0);
  for (int i = 1; i <= lakes.tracerCount; ++i) {
    char name[128];
    std::snprintf(name, sizeof name, "concstor_tracer_%d_%s", i, "unsatzon_model");
    lakes.soilStacks[i] = GetGrid(name);
    if (!gridlist[lakes.soilStacks[i]].stack)
      Fail("FATAL: the lakes take their tracers from the soil's stack \"" + std::string(name) +
               "\", which holds no levels",
           33);
    std::snprintf(name, sizeof name, "LakeConcentration_%d", i);
    const int position = FreeGridPosition();
    lakes.concentrations[i] = matrix(1, nrows, 1, ncols, 0);
    RegisterGrid(position, name, lakes.concentrations[i], nullptr, 0, name, 0, 1, nrows);
    lakes.concentrationPositions[i] = position;
    lakes.tracers[i] = position;
  }
  BindMPIRegionGrids();
  TakeLakeConcentrations();
  FreeLakeCopies();
  lakes.etr0Copy = LakeCopy(lakes.etr0);
  lakes.qdownCopy = lakes.qdown > 0 ? LakeCopy(lakes.qdown) : nullptr;
  lakes.baseflowCopy = lakes.baseflow > 0 ? LakeCopy(lakes.baseflow) : nullptr;
  lakes.interceptionEvapCopy = lakes.interceptionEvap > 0 ? LakeCopy(lakes.interceptionEvap) : nullptr;
  lakes.snowEvapCopy = lakes.snowEvap > 0 ? LakeCopy(lakes.snowEvap) : nullptr;

  // The cells counted are exactly those the transfers walk: a lake code above
  // no-data in the instance's rows and data columns, owned by the instance.
  // Counting fewer (e.g. only cells of the subbasin grid) would shift the
  // transfer arrays against the cells.
  int64_t own = 0;
  ForOwnLakeCells([&](int, int) { ++own; });
  std::vector<int64_t> mine(lakeCellsPerMPIRank.size(), 0);
  mine[static_cast<size_t>(mpirank)] = own;
  if (mpisize > 1 && MpiRunning()) {
    MPI_Reduce(mine.data(), lakeCellsPerMPIRank.data(), mpisize, MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
    MPI_Bcast(lakeCellsPerMPIRank.data(), mpisize, MPI_INT64_T, 0, MPI_COMM_WORLD);
  } else {
    lakeCellsPerMPIRank = mine;
  }
  for (size_t i = 0; i < lakeCellsPerMPIRank.size(); ++i)
    *diag << "DEBUG: lakeCellsPerMPIRank[" << static_cast<int>(i) << "] " << lakeCellsPerMPIRank[i] << "[end-entry]";
  // The initial lake levels are set on instance 0 (from the concentrations
  // of every instance's lake cells) and reach the other instances once.
  for (int i = 1; i <= lakes.tracerCount; ++i)
    MPISendRecvArray(lakes.tracers[i], lakes.codes, lakeCellsPerMPIRank.data());
  if (mpirank == 0 && flowcontrol != 0) BindLakes();
  lakes.bound = true;
  ReturnLakeCells();
}

void abflussmodellklasse::LevelLakesAtWarmStart() {
  if (!switchedOn || lakeFlowControl == 0 || !lakes.bound || readStorageState == 0) return;
  if (mpirank == 0 && flowcontrol != 0)
    for (int k = 1; k <= nRoutings; ++k)
      for (int j = 1; j <= routings[k]->Reservoirs(); ++j) {
        SP_class& sp = routings[k]->Reservoir(j);
        sp.SetLakeLevel(sp.Volume());
      }
  ReturnLakeCells();
}

void abflussmodellklasse::TakeLakeConcentrations() {
  if (lakes.tracerCount < 1 || lakes.ponding < 1) return;
  Grid pond = gridlist[lakes.ponding].grid;
  for (int i = 1; i <= lakes.tracerCount; ++i) {
    Stack store = gridlist[lakes.soilStacks[i]].stack;
    Grid conc = lakes.concentrations[i];
    ForOwnLakeCells([&](int r, int c) {
      const double x = store[r] && store[r][c] && store[r][c][0] > nodata ? store[r][c][0] : 0.0;
      const double w = pond[r] && pond[r][c] > 0 ? pond[r][c] : 0.0;
      conc[r][c] = lakes.evaporating[i] ? x : (w > 0 ? x / w : 0.0);
    });
  }
}

void abflussmodellklasse::GiveLakeConcentrations() {
  if (lakes.tracerCount < 1 || lakes.ponding < 1) return;
  Grid pond = gridlist[lakes.ponding].grid;
  for (int i = 1; i <= lakes.tracerCount; ++i) {
    Stack store = gridlist[lakes.soilStacks[i]].stack;
    Grid conc = lakes.concentrations[i];
    ForOwnLakeCells([&](int r, int c) {
      if (!store[r] || !store[r][c] || !(store[r][c][0] > nodata)) return;
      const double w = pond[r] && pond[r][c] > 0 ? pond[r][c] : 0.0;
      store[r][c][0] = lakes.evaporating[i] ? (w > 0 ? conc[r][c] : 0.0) : conc[r][c] * w;
    });
  }
}

void abflussmodellklasse::ReleaseLakeConcentrations() {
  for (size_t i = 1; i < lakes.concentrations.size(); ++i)
    if (lakes.concentrations[i]) {
      UnregisterGrid(lakes.concentrationPositions[i]);
      FreeMatrix(lakes.concentrations[i], 1, nrows, 1, ncols);
      lakes.concentrations[i] = nullptr;
    }
}

void abflussmodellklasse::BindLakes() {
  SP_class::LakeGrids g;
  g.lakeCodes = gridlist[lakes.codes].grid;
  g.ponding = gridlist[lakes.ponding].grid;
  g.maxPond = gridlist[GetGrid("max_ponding_storage")].grid;
  g.zone = gridlist[GetGrid("zonegrid_soilmodel")].grid;
  g.dem = gridlist[GetGrid("[elevation_model]")].grid;
  g.etr0 = lakes.etr0Copy ? lakes.etr0Copy : gridlist[lakes.etr0].grid;
  g.qdown = lakes.qdown > 0 ? (lakes.qdownCopy ? lakes.qdownCopy : gridlist[lakes.qdown].grid) : nullptr;
  g.baseflow = lakes.baseflow > 0 ? (lakes.baseflowCopy ? lakes.baseflowCopy : gridlist[lakes.baseflow].grid) : nullptr;
  auto lakeGrid = [&](int p, Grid copy) { return p > 0 ? (copy ? copy : gridlist[p].grid) : nullptr; };
  g.interceptionEvap = lakeGrid(lakes.interceptionEvap, lakes.interceptionEvapCopy);
  g.snowEvap = lakeGrid(lakes.snowEvap, lakes.snowEvapCopy);
  g.precOnLakes = precOnLakes;
  g.relArea = relcellarea;
  g.nrows = nrows;
  g.ncols = ncols;
  g.cellsize = cellsize;
  g.nodata = nodata;
  g.zoneIndex = zoneindex;
  g.maxCode = maxzonecode;
  g.tracers.assign(static_cast<size_t>(tracercount) + 1, nullptr);
  for (int i = 1; i <= tracercount; ++i) g.tracers[i] = lakes.concentrations[i];
  for (int k = 1; k <= nRoutings; ++k) routings[k]->BindLakes(g, readStorageState);
}

void abflussmodellklasse::GatherLakeCells() {
  const int64_t* counts = lakeCellsPerMPIRank.data();
  // Precipitation on the lakes is kept apart on every instance count, so that
  // the lakes see the same input on one instance as on several.
  if (mpirank == 0 && precOnLakes) {
    Grid codes = gridlist[lakes.codes].grid;
    Grid input = gridlist[lakes.input].grid;
    for (int r = 1; r <= nrows; ++r) {
      if (!codes[r] || !input[r]) continue;
      for (int c = 1; c <= ncols; ++c)
        if (codes[r][c] > nodata) precOnLakes[r][c] = input[r][c];
    }
  }
  MPISendRecvArray(lakes.ponding, lakes.codes, counts);
  MPISendRecvArray(lakes.etr0, lakes.codes, counts, lakes.etr0Copy);
  if (lakes.qdown > 0) MPISendRecvArray(lakes.qdown, lakes.codes, counts, lakes.qdownCopy);
  if (lakes.baseflow > 0) MPISendRecvArray(lakes.baseflow, lakes.codes, counts, lakes.baseflowCopy);
  if (lakes.interceptionEvap > 0)
    MPISendRecvArray(lakes.interceptionEvap, lakes.codes, counts, lakes.interceptionEvapCopy);
  if (lakes.snowEvap > 0) MPISendRecvArray(lakes.snowEvap, lakes.codes, counts, lakes.snowEvapCopy);
  MPISendRecvArray(lakes.input, lakes.codes, counts, precOnLakes);
  TakeLakeConcentrations();
  for (int i = 1; i <= lakes.tracerCount; ++i) MPISendRecvArray(lakes.tracers[i], lakes.codes, counts);
}

Grid abflussmodellklasse::LakeCopy(int p) {
  if (mpirank != 0 || mpisize < 2 || p < 1) return nullptr;
  const GridListEntry& e = gridlist[p];
  if (e.firstrow <= 1 && e.lastrow >= nrows) return nullptr;
  Grid copy = matrix(1, nrows, 1, ncols, 0);
  for (int r = 1; r <= nrows; ++r)
    for (int c = 1; c <= ncols; ++c) copy[r][c] = nodata;
  return copy;
}

void abflussmodellklasse::FreeLakeCopies() {
  for (Grid* g :
       {&lakes.etr0Copy, &lakes.qdownCopy, &lakes.baseflowCopy, &lakes.interceptionEvapCopy, &lakes.snowEvapCopy})
    if (*g) {
      FreeMatrix(*g, 1, nrows, 1, ncols);
      *g = nullptr;
    }
}

void abflussmodellklasse::ReturnLakeCells() {
  MPISendRecvArray2(lakes.ponding, lakes.codes, lakeCellsPerMPIRank.data());
  for (int i = 1; i <= lakes.tracerCount; ++i)
    MPISendRecvArray2(lakes.tracers[i], lakes.codes, lakeCellsPerMPIRank.data());
  GiveLakeConcentrations();
}
