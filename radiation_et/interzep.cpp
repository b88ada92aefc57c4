#include "radiation_et/interzep.h"

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>

#include "framework/diagstream.h"
#include "framework/firsterror.h"
#include "framework/statisticpasses.h"
#include "framework/strutil.h"
#include "framework/zonalstatistic.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/multilayer_landuse_entry.h"

namespace {
const char* const kHeaders[3] = {"interception_evaporation_in_mm_layer_", "interception_storage_in_mm_layer_",
                                 "throughfall_in_mm_layer_"};
}  // namespace

interzeptionsmodellklasse::interzeptionsmodellklasse(int& error, DiagStream* diagnostics, StatRecord* statRegistry,
                                                     int registryCapacity, const std::string& workFileName,
                                                     const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "interception_model", workFileName, 0, common, subSteps, false),
      registry(statRegistry),
      registrycapacity(registryCapacity) {
  error = 0;
  if (flowcontrol == 0 || !gridlist) return;
  try {
    *diag << "DEBUG: file "
          << "interzep"
          << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    layers = VegetationLayerCount(multilayertable);
    ReadSection();
    if (!controlfile.Close()) {
      *diag << "FATAL: error closing " << UserControlFile().c_str() << "[end-entry]";
      throw 11;
    }
    BindInputs();
    MakeGrids();
    if (FindGrid("GlacierizedCells", false) > 0)
      glacier = gridlist[GetGrid("GlacierizedCells")].grid;
    else if (FindGrid("ice_firn", false) > 0)
      glacier = gridlist[GetGrid("ice_firn")].grid;
    if (hru) {
      hrugrid = gridlist[GetGrid("HydrologicResponseUnits")].grid;
      hrumaster = gridlist[GetGrid("MasterHydrologicResponseUnits")].grid;
    }
    BindMPIRegionGrids();
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

interzeptionsmodellklasse::~interzeptionsmodellklasse() {
  for (auto& v : statistics)
    for (zonalstatistic*& s : v) {
      delete s;
      s = nullptr;
    }
}

void interzeptionsmodellklasse::ReadSection() {
  const size_t n = static_cast<size_t>(layers) + 1;
  for (auto* v : {&throughfallfile, &evaporationfile, &storagefile, &throughfallstat, &evaporationstat, &storagestat})
    v->assign(n, std::string());
  ReadValue(controlfile, "%d", &method, " method for ", linebuffer);
  // Methods 1 and 2 (11 and 12 before the snow) limit the evaporation of the
  // leaves; any other number stores and passes water without evaporating it.
  if (method != 1 && method != 2 && method != 11 && method != 12)
    *diag << "WARNING: the method for " << modulname.c_str() << " is " << method << " (" << controlfile.Where().c_str()
          << "): methods 1, 2, 11 and 12 evaporate the intercepted water; with method " << method
          << " the leaves store and pass water but evaporate none (it runs " << (method > 10 ? "before" : "after")
          << " the snow model)"
          << "[end-entry]";
  ReadValue(controlfile, "%s", &throughfallfile[0], "name outflow grid for ", linebuffer);
  ReadValue(controlfile, "%d", &throughfallcode, "write code outflow grid for ", linebuffer);
  ReadValues2(controlfile, "%s%d", &throughfallstat[0], &throughfallstatcode, "name outflow statistics file for ",
              linebuffer);
  ReadValue(controlfile, "%s", &evaporationfile[0], "name potential interception evaporation grid for ", linebuffer);
  ReadValue(controlfile, "%d", &evaporationcode, "write code potential interception evaporation grid for ", linebuffer);
  ReadValues2(controlfile, "%s%d", &evaporationstat[0], &evaporationstatcode,
              "name potential interception statistics file for ", linebuffer);
  ReadValue(controlfile, "%s", &storagefile[0], "name interception storage grid for ", linebuffer);
  ReadValue(controlfile, "%d", &storagecode, "write code interception storage grid for ", linebuffer);
  ReadValues2(controlfile, "%s%d", &storagestat[0], &storagestatcode, "name interception storage statistics file for ",
              linebuffer);
  ReadValue(controlfile, "%lf", &maxthickness, "parameter interception storage maximum water layer thickness for ",
            linebuffer);
  // The capacity of the land uses with a negative IntercepCap: a negative
  // thickness would hold negative water on the leaves.
  if (!(maxthickness >= 0 && std::isfinite(maxthickness))) {
    *diag << "FATAL: error in control file, parameter interception storage maximum water layer thickness for "
          << modulname.c_str() << ": " << maxthickness << " (" << controlfile.Where().c_str()
          << "); it has to be 0 or more (mm per unit of leaf area index)"
          << "[end-entry]";
    throw 17;
  }
  ReadValue(controlfile, "%d", &readgrid, "readgrid parameter for ", linebuffer);
  for (int i = 1; i <= layers; ++i)
    for (auto* v :
         {&throughfallfile, &evaporationfile, &storagefile, &throughfallstat, &evaporationstat, &storagestat}) {
      (*v)[i] = LayerFileName((*v)[0], i);
      if ((*v)[i].size() > kMaxPathLength) {
        *diag << "FATAL: error in control file, section [interception_model] of " << UserControlFile().c_str()
              << ": the file name of vegetation layer " << i << " would be longer than " << kMaxPathLength
              << " characters: " << (*v)[i].substr(0, 80).c_str() << "..."
              << "[end-entry]";
        throw 17;
      }
    }
}

void interzeptionsmodellklasse::BindInputs() {
  const size_t n = static_cast<size_t>(layers) + 1;
  for (auto* v : {&landuse, &lai, &coverage, &pottrans, &potintercep, &realtrans}) v->assign(n, nullptr);
  for (int i = 1; i <= layers; ++i) {
    landuse[i] = gridlist[GetGrid(Numbered("landuse", i))].grid;
    lai[i] = gridlist[GetGrid(Numbered("leaf_area_index", i))].grid;
    coverage[i] = gridlist[GetGrid(Numbered("vegetation_coverage_degree", i))].grid;
  }
  for (int i = 0; i <= layers; ++i) {
    pottrans[i] = gridlist[GetGrid(Numbered("pot_transpiration", i))].grid;
    potintercep[i] = gridlist[GetGrid(Numbered("potential_InterceptionEvap", i))].grid;
    realtrans[i] = gridlist[GetGrid(Numbered("real_transpiration", i))].grid;
  }
  // A method above 10 runs before the snow model and takes the precipitation;
  // every other runs after it and takes what leaves the snow cover (the
  // precipitation when there is no snow model), so that the step's
  // precipitation passes the snow model once.
  const int input =
      method > 10 ? GetGrid("precipitation") : GetGridOf3("snowcover_outflow", "precipitation", "ungueltiger_Name");
  water = gridlist[input].grid;
  watername = gridlist[input].shortname;
  GetGrid("[elevation_model]");
}

void interzeptionsmodellklasse::MakeGrids() {
  const size_t n = static_cast<size_t>(layers) + 1;
  for (auto* v : {&throughfall, &evaporation, &storage}) v->assign(n, nullptr);
  for (auto* v : {&throughfallpos, &evaporationpos, &storagepos}) v->assign(n, 0);
  storagefirst.assign(n, firstrow);
  storagelast.assign(n, lastrow);
  for (auto& v : statistics) v.assign(n, nullptr);
  for (auto& v : zones) v.resize(n);
  auto fresh = [&]() {
    Grid g = matrix(firstrow, lastrow, 1, ncols, nrows);
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 0; c <= ncols; ++c) g[r][c] = (c > 0 && zonegrid[r][c] > nodata) ? 0.0 : nodata;
    return g;
  };
  for (int i = 0; i <= layers; ++i) {
    int p = FreeGridPosition();
    if (readgrid == 1) {
      // A warm start continues from the stored storage of every layer.
      Grid g = nullptr;
      ReadGrid(storagefile[i], &g, 0, true, true, false, false, false, false, 0.0);
      storage[i] = g;
      int first = firstrow, last = lastrow;
      InstanceRows(false, first, last);
      storagefirst[i] = first;
      storagelast[i] = last;
    } else {
      storage[i] = fresh();
    }
    RegisterGrid(p, storagefile[i], storage[i], nullptr, 0, Numbered("interception_storage", i), storagecode,
                 storagefirst[i], storagelast[i]);
    storagepos[i] = p;
    p = FreeGridPosition();
    evaporation[i] = fresh();
    RegisterGrid(p, evaporationfile[i], evaporation[i], nullptr, 0, Numbered("interception_evaporation", i),
                 evaporationcode, firstrow, lastrow);
    evaporationpos[i] = p;
    p = FreeGridPosition();
    throughfall[i] = fresh();
    RegisterGrid(p, throughfallfile[i], throughfall[i], nullptr, 0, Numbered("throughfall", i), throughfallcode,
                 firstrow, lastrow);
    throughfallpos[i] = p;

    const std::string* files[3] = {&evaporationstat[i], &storagestat[i], &throughfallstat[i]};
    const int codes[3] = {evaporationstatcode, storagestatcode, throughfallstatcode};
    const int count = zonerecords ? std::max(0, zonecount) : 0;
    for (int k = 0; k < 3; ++k) {
      std::vector<ZoneRecord>& records = zones[k][i];
      records.assign(static_cast<size_t>(count) + 1, ZoneRecord{0, 0, 0, 0, 0});
      if (zonerecords)
        for (int z = 0; z <= count; ++z)
          records[z] = ZoneRecord{0, 0, zonerecords[z].zonenwert, zonerecords[z].rel, zonerecords[z].RelCellSum};
      int code = 0;
      auto s = std::make_unique<zonalstatistic>(code, diag, registry, registrycapacity, relcellarea, nrows, ncols,
                                                records.data(), count, codes[k], 5, *files[k], DefaultOutputDirectory,
                                                outputlistcount, outputlist);
      if (code != 0) throw code;
      char header[160];
      std::snprintf(header, sizeof header, "%s%d_", kHeaders[k], i);
      s->WriteHeader(header, modulname, registry, registrycapacity);
      statistics[k][i] = s.release();
    }
  }
}

void interzeptionsmodellklasse::ColumnsOf(int r, int& c0, int& c1) const {
  c0 = 1;
  c1 = ncols;
  if (datacols) {
    c0 = std::max(1, datacols[r].first);
    c1 = std::min(ncols, datacols[r].last);
  }
}

int interzeptionsmodellklasse::ZoneOf(int r, int c) const {
  const double code = zonegrid[r][c];
  if (zoneindex && code >= 0 && code <= maxzonecode) return zoneindex[static_cast<int>(code)];
  return 0;
}

int interzeptionsmodellklasse::GetMethod() {
  return flowcontrol > 0 ? method : 0;
}

zonalstatistic* interzeptionsmodellklasse::GetStatistics(int kind, int layer) const {
  if (kind < 0 || kind > 2 || layer < 0 || layer >= static_cast<int>(statistics[kind].size())) return nullptr;
  return statistics[kind][layer];
}

double interzeptionsmodellklasse::Capacity(int i, int r, int c) const {
  const double v = landuse[i][r][c];
  const int index = static_cast<int>(v);
  const int count = landusetable ? landusetable[0].code : 0;
  if (index < 1 || index > count) {
#pragma omp critical(interception_message)
    *diag << "FATAL: the land use " << v << " of vegetation layer " << i << " (grid landuse" << i << ") at row " << r
          << ", column " << c << " is not an entry of the land-use table (1 ... " << count << "), " << modulname.c_str()
          << "[end-entry]";
    throw 31;
  }
  const double cap = landusetable[index].GetIntercepCap();
  return cap < 0 ? lai[i][r][c] * maxthickness : cap * lai[i][r][c];
}

bool interzeptionsmodellklasse::OpenWater(int i, int r, int c) const {
  if (!lakegrid || !pondgrid || !(lakegrid[r][c] > 0) || !(pondgrid[r][c] > 0)) return false;
  return i == layers || !(lai[i + 1][r][c] > nodata);
}

double interzeptionsmodellklasse::Layer(int i, int r, int c, double W, double* store, double* conc, bool openWater) {
  // A missing water input brings no water: the storage neither fills nor
  // spills, its throughfall and that of its tracers are missing, and it
  // only evaporates. On open water the whole input and what the layer held
  // spill (a store of no capacity under full cover).
  const bool input = W > nodata;
  const double held = storage[i][r][c];
  if (!input) {
    W = 0;
    for (int k = 1; store && k <= tracercount; ++k) conc[k] = nodata;
    store = nullptr;
  }
  const double smax = openWater ? 0.0 : input ? Capacity(i, r, c) : storage[i][r][c];
  const double cov = openWater ? 1.0 : coverage[i][r][c];
  double tf = (1 - cov) * W;
  const double before = storage[i][r][c];
  double S = before + cov * W;
  // conc[k] carries the tracer's output flux (an amount for a tracer that
  // does not evaporate) until the layer's throughfall is known.
  for (int k = 1; store && k <= tracercount; ++k) {
    const double cin = conc[k];
    if (tracers[k].evaporating == 1) {
      store[k] = WeightedMean(store[k], cin, before, cov * W);
    } else {
      conc[k] = tf * cin;
      store[k] += cin * cov * W;
    }
  }
  if (S > smax) {
    const double X = S - smax;
    for (int k = 1; store && k <= tracercount; ++k) {
      if (tracers[k].evaporating == 1) {
        conc[k] = X + tf > 0 ? (store[k] * X + conc[k] * tf) / (X + tf) : store[k];
      } else {
        const double share = S > 0 ? X / S * store[k] : 0.0;
        const double moved = std::min(share, X * tracers[k].max_conc);
        store[k] -= moved;
        conc[k] += moved;
      }
    }
    tf += X;
    S = smax;
  }
  for (int k = 1; store && k <= tracercount; ++k)
    if (tracers[k].evaporating != 1) conc[k] = tf > 0 ? conc[k] / tf : 0.0;
  // A missing potential evaporates nothing, and its evaporation is missing.
  double E = 0;
  double& PT = pottrans[i][r][c];
  const bool potential = openWater                     ? true
                         : method == 1 || method == 11 ? PT > nodata
                         : method == 2 || method == 12 ? potintercep[i][r][c] > nodata
                                                       : true;
  // The layer's transpiration demand is lowered by what its wet leaves
  // evaporate; layer 0 keeps the cell's potential evapotranspiration.
  if (!potential || openWater) {
  } else if (method == 1 || method == 11) {
    E = std::min(S, PT);
    PT -= E;
    S -= E;
  } else if (method == 2 || method == 12) {
    E = std::min(S, potintercep[i][r][c]);
    const double taken = PT > nodata ? std::min(PT, E) : 0.0;
    PT -= taken;
    S -= E;
  }
  storage[i][r][c] = S;
  evaporation[i][r][c] = potential ? E : nodata;
  // Water that open water spilled from the store is known even without an input.
  throughfall[i][r][c] = input ? tf : (openWater && held > 0 ? tf : nodata);
  return E;
}

void interzeptionsmodellklasse::Cell(int r, int c, double* scratch) {
  const int n = layers;
  const int T = tracers ? tracercount : 0;
  evaporation[0][r][c] = throughfall[0][r][c] = storage[0][r][c] = 0;
  double W = water[r][c];
  // The tracers on a cell's leaves are one store (tracergrids[k].store: a
  // concentration of the water held for an evaporating tracer, else an
  // amount): at the start of the step it is shared out among the layers by
  // the water each holds (what dry leaves kept goes to the top vegetated
  // layer), each layer takes the concentration of the water reaching it
  // and passes on that of its throughfall, and the store gathers the
  // layers' tracers again. The throughfall that reaches the ground carries
  // the lowest layer's concentration.
  const size_t stride = static_cast<size_t>(T) + 1;
  double* total = scratch;
  double* store = scratch + stride;
  double* conc = scratch + 2 * stride;
  double* sum = scratch + 3 * stride;
  double* weight = scratch + 4 * stride;
  double* last = scratch + 5 * stride;
  double heldall = 0;
  int top = 0;
  if (T > 0) {
    for (int i = 1; i <= n; ++i) {
      if (storage[i][r][c] > 0) heldall += storage[i][r][c];
      if (top == 0 && landuse[i][r][c] > nodata) top = i;
    }
    if (top == 0) top = 1;
    for (int k = 1; k <= T; ++k) {
      const double v = tracergrids[k].store[r][c];
      total[k] = v > nodata ? v : 0.0;
      if (tracers[k].radioactive == 1) total[k] *= tracers[k].decay;
      conc[k] = !(W > nodata) ? nodata : tracerinput[k] ? tracerinput[k][r][c] : 0.0;
      sum[k] = weight[k] = 0;
      last[k] = total[k];
    }
  }
  bool evaporated = false;  // a layer's evaporation is known
  for (int i = 1; i <= n; ++i) {
    const double held = storage[i][r][c] > 0 ? storage[i][r][c] : 0.0;
    for (int k = 1; k <= T; ++k)
      store[k] = tracers[k].evaporating == 1 || (heldall > 0 ? held == heldall : i == top) ? total[k]
                 : heldall > 0                                                             ? total[k] * held / heldall
                                                                                           : 0.0;
    if (!(landuse[i][r][c] > nodata)) {
      // An empty layer holds nothing: it passes its water (and any it
      // held from a stored start) on to the layers below; a missing
      // input stays missing unless there was water held.
      for (int k = 1; k <= T; ++k) {
        const bool evaporating = tracers[k].evaporating == 1;
        if (!(conc[k] > nodata)) {
          conc[k] = held > 0 ? (evaporating ? store[k] : store[k] / held) : nodata;
          if (held > 0 && !evaporating) store[k] = 0;
        } else if (W + held > 0) {
          conc[k] = evaporating ? WeightedMean(conc[k], store[k], W, held) : (conc[k] * W + store[k]) / (W + held);
          if (!evaporating) store[k] = 0;
        }
      }
      evaporation[i][r][c] = storage[i][r][c] = 0;
      throughfall[i][r][c] = W > nodata ? W + held : (held > 0 ? held : nodata);
    } else {
      Layer(i, r, c, W, T > 0 ? store : nullptr, conc, OpenWater(i, r, c));
      for (int k = 1; k <= T; ++k) last[k] = store[k];
    }
    for (int k = 1; k <= T; ++k) {
      if (tracers[k].evaporating == 1) {
        sum[k] += store[k] * storage[i][r][c];
        weight[k] += storage[i][r][c];
      } else {
        sum[k] += store[k];
      }
    }
    if (evaporation[i][r][c] > nodata) {
      evaporation[0][r][c] += evaporation[i][r][c];
      evaporated = true;
    }
    storage[0][r][c] += storage[i][r][c];
    throughfall[0][r][c] = throughfall[i][r][c];
    W = throughfall[i][r][c];
  }
  if (!evaporated) evaporation[0][r][c] = nodata;
  for (int k = 1; k <= T; ++k) {
    // An evaporating tracer's store is the concentration of all the water
    // held (that of the last layer that took water when none is held).
    tracergrids[k].store[r][c] = tracers[k].evaporating != 1 ? sum[k]
                                 : n > 1 && weight[k] > 0    ? sum[k] / weight[k]
                                                             : last[k];
    tracergrids[k].flux[r][c] = conc[k];
  }
}

void interzeptionsmodellklasse::run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  if (flowcontrol == 0) return;
  teilmodellklasse::run(stepHour, stepDay, stepMonth, stepYear);
  for (auto& v : statistics)
    for (zonalstatistic* s : v) s->NewStep();
  for (int k = 1; k <= tracercount; ++k)
    if (tracergrids[k].statistic) tracergrids[k].statistic->NewStep();
  const int n = layers;
  // A cell of the step: in the zone grid and computed by this instance.
  auto computed = [&](int r, int c) {
    return zonegrid[r][c] > nodata && !(MPIRegions && MPIRegions[r][c] != static_cast<double>(mpirank));
  };
  auto glacierShare = [&](int r, int c) { return glacier ? std::clamp(glacier[r][c], 0.0, 1.0) : 0.0; };
  // The cells on the threads (each touches only its own cell), then the
  // statistics side by side, each in the order of the cells.
  const size_t scratchsize = kScratch * (static_cast<size_t>(tracers ? tracercount : 0) + 1);
  const size_t threads = static_cast<size_t>(std::max(1, omp_get_max_threads()));
  if (tracerscratch.size() < threads * scratchsize) tracerscratch.assign(threads * scratchsize, 0.0);
  FirstError failure;
  long missingcells = 0;  // without a water input
#pragma omp parallel for schedule(runtime) reduction(+ : missingcells)
  for (int r = firstrow; r <= lastrow; ++r) {
    failure.Run([&] {
      int c0, c1;
      ColumnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c) {
        if (!computed(r, c)) {
          for (int i = 0; i <= n; ++i) evaporation[i][r][c] = throughfall[i][r][c] = nodata;
          continue;
        }
        if (glacierShare(r, c) >= 1) continue;
        if (!(water[r][c] > nodata)) ++missingcells;
        Cell(r, c, tracerscratch.data() + static_cast<size_t>(omp_get_thread_num()) * scratchsize);
      }
    });
  }
  failure.ThrowIfAny();
  if (!missingwarned) {
    // The instances share the raster of a decomposed run (an object built
    // alone counts its own cells).
    if (mpisize > 1 && instanceCellCounts)
      MPI_Allreduce(MPI_IN_PLACE, &missingcells, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
    if (missingcells > 0) {
      missingwarned = true;
      *diag << "WARNING: " << modulname.c_str() << ": " << missingcells << " cells of the basin have no value of "
            << watername.c_str() << " in the step " << static_cast<long>(stepDay) << "." << static_cast<long>(stepMonth)
            << "." << static_cast<long>(stepYear) << " " << static_cast<long>(stepHour)
            << " h; there, in this and every later step without a value, the storage takes no water, and the "
               "throughfall is missing (-9999) (written once in the run)"
            << "[end-entry]";
    }
  }

  // Statistic k * (n + 1) + i: evaporation, storage and throughfall (k = 0,
  // 1, 2) of layer i; those that write a file are filled. A cell adds its
  // value with the share not under a glacier, and 0 with the glacier's share.
  std::vector<int> filled;
  for (int s = 0; s < 3 * (n + 1); ++s)
    if (statistics[s / (n + 1)][s % (n + 1)]->IsActive()) filled.push_back(s);
  StatisticRowsSideBySide(
      static_cast<int>(filled.size()), firstrow, lastrow, ncols,
      [&](int r, StatisticCell* list) {
        int c0, c1, cells = 0;
        ColumnsOf(r, c0, c1);
        for (int c = c0; c <= c1; ++c)
          if (computed(r, c)) list[cells++] = StatisticCell{c, ZoneOf(r, c), glacierShare(r, c)};
        return cells;
      },
      [&](int j, int r, const StatisticCell* list, int cells) {
        const int k = filled[j] / (n + 1), i = filled[j] % (n + 1);
        const double* values = (k == 0 ? evaporation[i] : (k == 1 ? storage[i] : throughfall[i]))[r];
        zonalstatistic::RowSums sums(*statistics[k][i], r);
        for (const StatisticCell* e = list; e < list + cells; ++e) {
          if (e->share < 1) sums.Add(e->column, e->zone, values[e->column], 1 - e->share);
          if (e->share > 0) sums.Add(e->column, e->zone, 0.0, e->share);
        }
      },
      zonecount + 1, [](int) { return true; });

  // A cell wholly under a glacier intercepts nothing. (An open part, however
  // small, keeps what it holds and passes: the snow's and the soil's open
  // part take its throughfall.)
  if (glacier) {
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r) {
      int c0, c1;
      ColumnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c) {
        if (!computed(r, c) || glacierShare(r, c) < 1) continue;
        for (int i = 0; i <= n; ++i) evaporation[i][r][c] = storage[i][r][c] = 0;
        throughfall[0][r][c] = 0;
      }
    }
  }

  // Tracer storage per zone: concentrations weighted by the stored water, masses summed.
  for (int k = 1; k <= tracercount; ++k) {
    TracerGrids& t = tracergrids[k];
    if (!t.subbasins) continue;
    for (int r = firstrow; r <= lastrow; ++r) {
      int c0, c1;
      ColumnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c) {
        if (!computed(r, c)) continue;
        const double area = relcellarea ? relcellarea[r][c] : 1.0;
        ZoneRecord& rec = t.subbasins[ZoneOf(r, c)];
        if (tracers[k].evaporating == 1) {
          const double S = storage[0][r][c];
          rec.n += S;
          rec.sx += t.store[r][c] * area * S;
          rec.RelCellSum += area * S;
        } else {
          rec.n += 1;
          rec.sx += t.store[r][c] * area;
          rec.RelCellSum += area;
        }
      }
    }
  }
  for (int i = 0; i <= n; ++i)
    for (int k = 0; k < 3; ++k) statistics[k][i]->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  for (int k = 1; k <= tracercount; ++k)
    if (tracergrids[k].statistic) tracergrids[k].statistic->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  stepgridspending = true;
  if (!stepgridsdeferred) WriteStepGrids();
}

void interzeptionsmodellklasse::WriteStepGrids() {
  // Once per step, after run().
  if (flowcontrol == 0 || !stepgridspending) return;
  stepgridspending = false;
  for (int i = 0; i <= layers; ++i) {
    WriteStatisticGrids(throughfallpos[i], 1, 0);
    WriteStatisticGrids(evaporationpos[i], 1, 0);
    WriteStatisticGrids(storagepos[i], 1, 0);
  }
  for (int k = 1; k <= tracercount; ++k) {
    const TracerGrids& t = tracergrids[k];
    if (t.storeindex > 0) WriteStatisticGrids(t.storeindex, 1, 0);
    if (t.fluxindex > 0) WriteStatisticGrids(t.fluxindex, 1, 0);
  }
}

void interzeptionsmodellklasse::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* reg,
                                                int capacity) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  if (flowcontrol == 0 || !gridlist) return;
  try {
    // The leaves' tracers are state as their water is: read with it.
    readgrids = readgrid == 1 ? 1 : 0;
    teilmodellklasse::InitTracerGrids(error, count, settings, reg, capacity);
    if (*error != 0) return;
    // The tracer comes with the water (BindInputs): a method above 10 takes
    // the precipitation (irrigated or not), every other what leaves the snow
    // cover, or the precipitation without a snow model.
    tracerinput.assign(static_cast<size_t>(std::max(0, count)) + 1, nullptr);
    for (int k = 1; k <= tracercount; ++k) {
      char a[64], b[64], c[64];
      std::snprintf(a, sizeof a, "concflux_tracer_%1d_%s", k, "snow_model");
      std::snprintf(b, sizeof b, "concflux_tracer_%1d_%s", k, "irrigation");
      std::snprintf(c, sizeof c, "concflux_tracer_%1d_%s", k, "input");
      tracerinput[k] = gridlist[method > 10 ? GetGridOf3(b, c, c) : GetGridOf3(a, b, c)].grid;
    }
  } catch (int code) {
    *error = code;
  } catch (...) {
    *error = 103;
  }
}

void interzeptionsmodellklasse::FreeTracerArrays() {
  if (flowcontrol == 0) return;
  teilmodellklasse::FreeTracerArrays();
  tracerinput.clear();
}

void interzeptionsmodellklasse::WriteStatistics() {
  if (flowcontrol == 0) return;
  for (size_t i = 0; i < statistics[0].size(); ++i)
    for (auto& v : statistics)
      if (v[i]) v[i]->Flush();
  for (int k = 1; k <= tracercount; ++k)
    if (tracergrids[k].statistic) tracergrids[k].statistic->Flush();
}

void interzeptionsmodellklasse::FreeMemory() {
  if (flowcontrol > 0 && gridlist) {
    for (auto& v : statistics)
      for (zonalstatistic*& s : v) {
        if (!s) continue;
        s->Finish();
        delete s;
        s = nullptr;
      }
    for (size_t i = 0; i < storage.size(); ++i) {
      ReleaseRegisteredGrid(storagepos[i], storage[i]);
      ReleaseRegisteredGrid(evaporationpos[i], evaporation[i]);
      ReleaseRegisteredGrid(throughfallpos[i], throughfall[i]);
    }
  }
  teilmodellklasse::FreeMemory();
}
