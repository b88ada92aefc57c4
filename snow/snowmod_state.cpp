// The snow model's section of the storage content file, its tracer grids and
// its release at the end of a run.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/zonalstatistic.h"
#include "snow/snowmod.h"

namespace {
struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
}  // namespace

void schneemodellklasse::CheckStorageValue(const std::string& label, double controlValue, double storedValue,
                                           double relativeDifference) {
  (void)relativeDifference;
  *diag << "FATAL: (snow model) error in storage file content reading " << label.c_str()
        << ":\nvalue in actual control is:   " << controlValue << "\nbut value in storage file is: " << storedValue
        << "\nFluvex throws..."
        << "[end-entry]";
  throw 71;
}

void schneemodellklasse::ReadStorageValue(std::FILE* file, double controlValue, const std::string& label) {
  double stored = 0;
  if (!file || std::fscanf(file, "%lf", &stored) != 1) return;
  if (stored == 0) {
    if (controlValue != 0) CheckStorageValue(label, controlValue, stored, 0);
    return;
  }
  const double difference = std::fabs((stored - controlValue) / stored);
  if (difference > 1e-5) CheckStorageValue(label, controlValue, stored, difference);
}

void schneemodellklasse::ReadStorageFile(const std::string& fileName, int readParameter) {
  if (flowcontrol == 0) return;
  // Parameters 2 and 4 start the run without the state file and write none.
  if (readParameter == 2 || readParameter == 4 || fileName.empty()) return;
  storagefile = fileName;
  if (readParameter == 0 || !Qice || !Qfirn || !Qsnow) return;
  // The state is read where the other modules read theirs (beside the
  // control file, the input directory); it is written to the output directory.
  // Instance 0 wrote the storages, which every instance holds alike: it reads
  // them and hands them to the others.
  std::string path = storagefile;
  MakePath(InitialStateDirectory, path);
  if (mpirank == 0) ReadStorageSection(path, Qice, Qfirn, Qsnow);
  if (mpisize > 1 && MpiRunning()) {
    for (double* a : {Qice, Qfirn, Qsnow}) MPI_Bcast(a, subbasincount + 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (!glacierrunoffconc.empty())
      MPI_Bcast(glacierrunoffconc.data(), static_cast<int>(glacierrunoffconc.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  }
}

void schneemodellklasse::ReadStorageSection(const std::string& path, double* ice, double* firn, double* snow) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rt"));
  if (!file) {
    *diag << "FATAL: in snow/glacier model: error opening storage content file " << path.c_str()
          << " (the state of the glacier runoff storages of a warm start)"
          << "[end-entry]";
    throw 64;
  }
  // Lines of at most 1200 characters; a longer line is read in pieces.
  char line[1201];
  bool found = false;
  while (std::fgets(line, sizeof line, file.get())) {
    if (std::strstr(line, "snow_model")) {
      // A heading without its line end is the end of the file: no section follows.
      found = std::strchr(line, '\n') != nullptr;
      break;
    }
  }
  // The snow model writes its section whenever it runs: a file without it
  // was cut short, and the glacier runoff storages would start empty.
  if (!found) {
    *diag << "FATAL: error looking for the section [snow_model] in " << path.c_str()
          << ": the storage content file ends before it (cut short, or written by a run without the snow model); "
          << "the glacier runoff storages of a warm start are part of the state"
          << "[end-entry]";
    throw 71;
  }
  auto skipLine = [&]() {
    int ch = 0;
    while ((ch = std::fgetc(file.get())) != EOF && ch != '\n') {
    }
  };
  int count = 0;
  if (std::fscanf(file.get(), "%d", &count) != 1) {
    *diag << "FATAL: (snow model) error in storage file content reading number of subbasins: no number in "
          << path.c_str() << "[end-entry]";
    throw 71;
  }
  skipLine();
  if (count != subbasincount) CheckStorageValue("number of subbasins", subbasincount, count, 0);
  double* arrays[3] = {ice, firn, snow};
  const char* names[3] = {"Qice_slr", "Qfirn_slr", "Qsnow_slr"};
  for (int i = 1; i <= subbasincount; ++i) {
    for (int k = 0; k < 3; ++k) {
      int number = 0;
      double v = 0;
      const bool coded = std::fscanf(file.get(), "%d", &number) == 1;
      if (coded && number != i) CheckStorageValue("subbasin code", i, number, 0);
      if (!coded || std::fscanf(file.get(), "%lf", &v) != 1) {
        *diag << "FATAL: (snow model) error in storage file content reading " << names[k] << " of subbasin " << i
              << " in " << path.c_str() << ": "
              << (std::feof(file.get()) ? "the file ends early (a storage content file cut short)" : "no number")
              << "[end-entry]";
        throw 71;
      }
      if (arrays[k]) arrays[k][i] = v;
      // The concentration of each tracer in its outflow follows (a file
      // written without tracers holds none: the storages start without).
      const size_t x = static_cast<size_t>(k);
      for (int t = 1; t <= GlacierRunoffTracers(); ++t) {
        double conc = 0;
        if (std::fscanf(file.get(), "%lf", &conc) != 1) break;
        glacierrunoffconc[GlacierRunoffTracerIndex(t, x, i)] = conc;
      }
      skipLine();
    }
  }
}

void schneemodellklasse::WriteStorageFile(int append) {
  if (flowcontrol == 0 || storagefile.empty()) return;
  std::string path = storagefile;
  MakePath(DefaultOutputDirectory, path);
  WriteStorageSection(path, append ? "a" : "w", Qice, Qfirn, Qsnow);
}

void schneemodellklasse::WriteStorageSection(const std::string& path, const char* mode, const double* ice,
                                             const double* firn, const double* snow) {
  // Every instance holds the same storages; instance 0 writes them.
  if (mpirank != 0) return;
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (!file) {
    *diag << "FATAL: error opening storage content file " << path.c_str() << " for writing the snow model's section"
          << "[end-entry]";
    throw 64;
  }
  bool ok = std::fprintf(file, "[snow_model]\n") >= 0;
  ok = ok && std::fprintf(file, "%d (number of subasins)\n", subbasincount) >= 0;
  const double* arrays[3] = {ice, firn, snow};
  const char* comments[3] = {"(TG code and Qice_slr value)\n", "(TG code and Qfirn_slr value)\n",
                             "(TG code and Qsnow_slr value)\n"};
  // The outflows with all their digits: a storage holds its outflow times
  // about its constant in steps, so six decimals would lose or make water at
  // a warm start.
  // Each storage's outflow is followed by its concentration of each tracer.
  for (int i = 1; i <= subbasincount && ok; ++i)
    for (int k = 0; k < 3 && ok; ++k) {
      ok = std::fprintf(file, "%d\t%.17g", i, arrays[k] ? arrays[k][i] : 0.0) >= 0;
      for (int t = 1; t <= GlacierRunoffTracers() && ok; ++t) {
        const double conc = glacierrunoffconc[GlacierRunoffTracerIndex(t, static_cast<size_t>(k), i)];
        ok = std::fprintf(file, " %.17g", conc) >= 0;
      }
      ok = ok && std::fprintf(file, "%s", comments[k]) >= 0;
    }
  ok = ok && std::fprintf(file, "\n") >= 0;
  ok = std::fflush(file) == 0 && ok && !std::ferror(file);
  const bool closed = std::fclose(file) == 0;
  if (!ok) {
    *diag << "FATAL: write error " << path.c_str() << " ! (the snow model's section of the storage content file)"
          << "[end-entry]";
    throw 18;
  }
  if (!closed) {
    *diag << "FATAL: cannot close " << path.c_str() << "[end-entry]";
    throw 16;
  }
}

void schneemodellklasse::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry,
                                         int capacity) {
  if (flowcontrol == 0) return;
  // The pack's tracers are state as its water is: read with it.
  readgrids = readgrid == 1 ? 1 : 0;
  int code = 0;
  teilmodellklasse::InitTracerGrids(&code, count, settings, registry, capacity);
  if (error) *error = code;
  if (code != 0) throw code;
  tracerinput.assign(static_cast<size_t>(tracercount) + 1, nullptr);
  tracerinputbound = false;
  BindTracerInputs();
  InitGlacierTracers();
}

// The glacier part's snow tracers: written and read as the open part's store
// (file "<path><name>snowg.<gridext>").
void schneemodellklasse::InitGlacierTracers() {
  glaciertracers.clear();
  if (tracercount < 1 || !glaciergrid || !glac[kTotalOnGlacier].grid) return;
  glaciertracers.assign(static_cast<size_t>(tracercount) + 1, GlacierTracer{});
  for (int t = 1; t <= tracercount; ++t) {
    const TracerRecord& tr = tracers[t];
    GlacierTracer& g = glaciertracers[t];
    char file[1201];
    std::snprintf(file, sizeof file, "%s%.3ssnowg.%.3s", tr.path.c_str(), tr.name.c_str(), tr.gridext.c_str());
    // Read with the glacier part's snow (dynamic glaciers: with the glacier state).
    if ((glaciermethod > 10 ? glacierreadgrid : readgrid) == 1) {
      RequireTracerState(file, t, tr,
                         glaciermethod > 10 ? "start the glaciers from their initial state (read grid parameter for "
                                              "glacier model 0 in [ice_firn])"
                                            : "");
      ReadTracerStorageGrid(file, g.store, g.first, g.last);
    } else {
      g.store = matrix(1, nrows, 1, ncols, 0);
      g.first = 1;
      g.last = nrows;
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) g.store[r][c] = StoreCell(r, c) ? 0.0 : nodata;
    }
    g.position = FreeGridPosition();
    RegisterGrid(g.position, file, g.store, nullptr, 0,
                 "concstor_tracer_" + std::to_string(t) + "_" + modulname + "_onGlacier", tr.gridcode, g.first, g.last);
    char irrigation[100];
    char input[100];
    std::snprintf(irrigation, sizeof irrigation, "concflux_tracer_%1d_%s", t, "irrigation");
    std::snprintf(input, sizeof input, "concflux_tracer_%1d_%s", t, "input");
    g.input = gridlist[GetGridOf3(irrigation, input, "!!_no_entry_!!")].grid;
    g.outflow = matrix(1, nrows, 1, ncols, 0);
    g.firnmelt = matrix(1, nrows, 1, ncols, 0);
    // An evaporating tracer's concentration in the firn of dynamic glaciers
    // (file "<path><name>firng.<gridext>", read with the glacier state).
    if (glaciermethod <= 10 || tr.evaporating != 1) continue;
    std::snprintf(file, sizeof file, "%s%.3sfirng.%.3s", tr.path.c_str(), tr.name.c_str(), tr.gridext.c_str());
    if (glacierreadgrid == 1) {
      RequireTracerState(file, t, tr,
                         "start the glaciers from their initial state (read grid parameter for glacier model 0 in "
                         "[ice_firn]); a state of a program whose firn kept no tracer of its own holds no such grid");
      ReadTracerStorageGrid(file, g.firn, g.firnfirst, g.firnlast);
    } else {
      g.firn = matrix(1, nrows, 1, ncols, 0);
      g.firnfirst = 1;
      g.firnlast = nrows;
      for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) g.firn[r][c] = StoreCell(r, c) ? 0.0 : nodata;
    }
    g.firnposition = FreeGridPosition();
    RegisterGrid(g.firnposition, file, g.firn, nullptr, 0,
                 "concstor_tracer_" + std::to_string(t) + "_" + modulname + "_inFirn", tr.gridcode, g.firnfirst,
                 g.firnlast);
    g.toice = matrix(1, nrows, 1, ncols, 0);
    for (int r = std::max(1, firstrow); r <= std::min(lastrow, nrows); ++r) {
      const double* z = zonegrid ? zonegrid[r] : nullptr;
      for (int c = 1; c <= ncols; ++c) g.toice[r][c] = (z && Missing(z[c])) ? nodata : 0.0;
    }
    const OwnGridEntry& ice = glac[kFirnToIce];
    std::snprintf(file, sizeof file, "%s%.3sfirnice.%.3s", tr.path.c_str(), tr.name.c_str(), tr.gridext.c_str());
    g.toiceposition = FreeGridPosition();
    RegisterGrid(g.toiceposition, ice.file.empty() ? std::string() : std::string(file), g.toice, nullptr, 0,
                 "amount_tracer_" + std::to_string(t) + "_" + modulname + "_firnToIce",
                 ice.file.empty() ? 0 : ice.writecode, 1, nrows);
  }
  const size_t count = qice.size();
  tracermeltsums.assign(3 * count * static_cast<size_t>(tracercount), ExactSum{});
  glacierrunoffconc.assign(3 * count * static_cast<size_t>(tracercount), 0.0);
}

// The tracer comes with the water input: the precipitation (irrigated or
// not), or the interception's throughfall when the interception runs first.
// The interception's tracer grids are made after the snow's: they are bound
// at the first step.
void schneemodellklasse::BindTracerInputs() {
  if (flowcontrol == 0 || tracerinputbound) return;
  tracerinputbound = true;
  for (int t = 1; t <= tracercount && t < static_cast<int>(tracerinput.size()); ++t) {
    char interception[100];
    char irrigation[100];
    char input[100];
    std::snprintf(interception, sizeof interception, "concflux_tracer_%1d_%s", t, "interception_model");
    std::snprintf(irrigation, sizeof irrigation, "concflux_tracer_%1d_%s", t, "irrigation");
    std::snprintf(input, sizeof input, "concflux_tracer_%1d_%s", t, "input");
    const int p = precipitationsource ? FindGrid(interception, false) : 0;
    if (precipitationsource && p < 1) tracerinputbound = false;
    tracerinput[t] = gridlist[p > 0 ? p : GetGridOf3(irrigation, input, "!!_no_entry_!!")].grid;
  }
}

void schneemodellklasse::FreeTracerArrays() {
  if (flowcontrol == 0) return;
  teilmodellklasse::FreeTracerArrays();
  tracerinput.clear();
  for (GlacierTracer& g : glaciertracers) {
    if (g.position > 0) UnregisterGrid(g.position);
    if (g.store) FreeMatrix(g.store, g.first, g.last, 1, ncols);
    if (g.firnposition > 0) UnregisterGrid(g.firnposition);
    if (g.firn) FreeMatrix(g.firn, g.firnfirst, g.firnlast, 1, ncols);
    if (g.toiceposition > 0) UnregisterGrid(g.toiceposition);
    if (g.toice) FreeMatrix(g.toice, 1, nrows, 1, ncols);
    for (Grid x : {g.outflow, g.firnmelt})
      if (x) FreeMatrix(x, 1, nrows, 1, ncols);
  }
  glaciertracers.clear();
}

void schneemodellklasse::FreeMemory() {
  if (flowcontrol > 0) {
    if (initialized) WriteStorageFile(1);
    for (StatisticEntry& s : stats) {
      if (!s.writer) continue;
      std::unique_ptr<zonalstatistic> writer(s.writer);
      s.writer = nullptr;
      writer->Finish();
    }
    for (int g = 0; g < kOwnGridCount; ++g) {
      OwnGridEntry& e = own[g];
      if (e.position > 0) UnregisterGrid(e.position);
      // An input "max_deposition" stays its owner's (or is a gathered copy).
      if (e.grid && (g != kMaxDeposition || maxdepositionowned)) FreeMatrix(e.grid, e.first, e.last, 1, ncols);
      e.grid = nullptr;
      e.position = 0;
    }
    FreeGlacierMemory();
    for (Grid g : gathered) FreeMatrix(g, 1, nrows, 1, ncols);
    gathered.clear();
    if (barealbedo) {
      int first = 0, last = 0;
      InstanceRows(false, first, last);
      FreeMatrix(barealbedo, first, last, 1, ncols);
      barealbedo = nullptr;
    }
    Free(subbasins);
    Free(subbasinindex);
    subbasins = nullptr;
    subbasinindex = nullptr;
  }
  teilmodellklasse::FreeMemory();
}
