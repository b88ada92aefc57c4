#include "routing/irrigate.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/types.h"

namespace {
std::string Named(const char* format, int i, const char* what) {
  char name[256];
  std::snprintf(name, sizeof name, format, i, what);
  return name;
}
}  // namespace

static int ZoneOf(const int* index, int maxCode, double value);

irrigationclass::irrigationclass(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                                 const std::string& workFileName, const SubModelArgs& common, IrrigationTable* tbl,
                                 int subSteps)
    : teilmodellklasse(diagnostics, "irrigation", workFileName, 0, common, subSteps, false), table(tbl) {
  error = 0;
  if (Off()) return;
  records = table ? table[0].code : 0;
  std::string gwName, swName;
  int gwCode = 0, swCode = 0;
  ReadValues2(controlfile, "%s%d", &gwName, &gwCode, "Name des GWSTANDstatfiles fuer ", linebuffer);
  ReadValues2(controlfile, "%s%d", &swName, &swCode, "Name des GWSTANDstatfiles fuer ", linebuffer);
  if (controlfile.IsOpen() && !controlfile.Close()) {
    *diag << "FATAL: error closing " << controlfilename << "[end-entry]";
    throw 11;
  }
  precipitation = GetGrid("precipitation");
  codes = GetGrid("irrigation_codes");
  maxPumping = GetGrid("Max_Pumping");
  amounts = GetGrid("irrigation_amounts");
  soilMoisture = GetGrid("SB_1_grid");
  lower = GetGrid("SBLOW_grid");
  upper = GetGrid("SBHIGH_grid");
  etrRatio = GetGrid("ETR2ETP");
  rootDepth = GetGrid("root_depth1");  // vegetation layer 1, m

  const int zones = std::max(0, zonecount);
  fromGroundwater.assign(static_cast<size_t>(zones) + 1, ZoneRecord{0, 0, 0, 0, 0});
  for (int k = 0; k <= zones && zonerecords; ++k)
    fromGroundwater[k] = ZoneRecord{0, 0, zonerecords[k].zonenwert, zonerecords[k].rel, 0};
  fromSurface = fromGroundwater;
  demandRecords = fromGroundwater;
  surfaceSum.assign(static_cast<size_t>(zones) + 1, ExactSum{});
  pendingSum = surfaceSum;
  demand.assign((static_cast<size_t>(nrows) + 1) * (static_cast<size_t>(ncols) + 1), 0.0);
  pending = demand;
  rootZone = demand;
  givenAtOnce = demand;
  endedAt = demand;
  reservoirShare = demand;
  waterContent = demand;
  supply.assign(2 * (static_cast<size_t>(zones) + 1), 0.0);  // (with tracers, their concentrations too)
  int code = 0;
  groundwaterStatistic = std::make_unique<zonalstatistic>(code, diag, registry, registryCapacity, relcellarea, nrows,
                                                          ncols, fromGroundwater.data(), zones, gwCode, 99, gwName,
                                                          DefaultOutputDirectory, outputlistcount, outputlist);
  if (code != 0) throw code;
  groundwaterStatistic->WriteHeader("irrigation water amount from groundwater [mm]", modulname, registry,
                                    registryCapacity);
  surfaceStatistic = std::make_unique<zonalstatistic>(code, diag, registry, registryCapacity, relcellarea, nrows, ncols,
                                                      fromSurface.data(), zones, swCode, 99, swName,
                                                      DefaultOutputDirectory, outputlistcount, outputlist);
  if (code != 0) throw code;
  surfaceStatistic->WriteHeader("irrigation water amount from  surface water [mm]", modulname, registry,
                                registryCapacity);
  BindMPIRegionGrids();
}

irrigationclass::~irrigationclass() = default;

void irrigationclass::NoRouting(const std::string& head, const std::string& what) {
  *diag << head << what << "[end-entry]";
  throw 60;
}

ZoneRecord* irrigationclass::GetSubbasinTable() {
  return Off() ? nullptr : demandRecords.data();
}

void irrigationclass::SetRiverflowTable(RiverflowTable* t) {
  if (!Off()) riverflow = t;
}

void irrigationclass::SetQg(double* runoff) {
  if (!Off()) qg = runoff;
}

// The routing and the supply from it run on instance 0 only; the routing
// model of the other instances hands no arrays, and they need none.
void irrigationclass::SetMaxIrrigation(double** fromRivers, double** fromReservoirs) {
  if (Off() || mpirank != 0) return;
  const char* head = "FATAL: if irrigation is modelled, also routing has to be modelled!";
  if (!fromRivers) NoRouting(head, "\n(Adress of array maxirrig[] is NULL\n");
  if (!fromReservoirs) NoRouting(head, "\n(Adress of array maxirrigFromReservoirs[] is NULL\n");
  maxirrig = fromRivers;
  maxirrigFromReservoirs = fromReservoirs;
}

void irrigationclass::SetRoutingTarget(int** targets) {
  if (Off() || mpirank != 0) return;
  if (!targets)
    NoRouting("FATAL: if irrigation is modelled, also routing has to be modelled! ",
              "\n(Adress of array routing-target is NULL)\n");
  routingTarget = targets;
}

void irrigationclass::SetRoutingDischarge(double** discharge) {
  if (Off() || mpirank != 0) return;
  if (!discharge)
    NoRouting("FATAL: if irrigation is modelled, also routing has to be modelled!",
              " \n(Adress of array abfrel is NULL)\n");
  abfrel = discharge;
}

void irrigationclass::InitTracerGrids(int* error, int count, TracerRecord* settings, StatRecord* registry,
                                      int capacity) {
  // An irrigation that is off registers no tracer grids: its flux grid would
  // stay 0 and shadow the input's in the modules that read irrigation's
  // first (snow, interception, soil), so no tracer would reach them.
  if (Off()) {
    if (error) *error = 0;
    return;
  }
  teilmodellklasse::InitTracerGrids(error, count, settings, registry, capacity);
  tracerInput.assign(static_cast<size_t>(count) + 1, 0);
  supply.assign((2 + 2 * static_cast<size_t>(count)) * (static_cast<size_t>(std::max(0, zonecount)) + 1), 0.0);
  for (int i = 1; i <= count; ++i) tracerInput[i] = GetGrid(Named("concflux_tracer_%1d_%s", i, "input"));
}

void irrigationclass::InitTracerStorage() {
  if (Off()) return;
  tracerStorage.assign(static_cast<size_t>(tracercount) + 1, 0);
  for (int i = 1; i <= tracercount; ++i) tracerStorage[i] = GetGrid(Named("tracer_%d_saturated_zone%s", i, ""));
}

void irrigationclass::FreeTracerArrays() {
  teilmodellklasse::FreeTracerArrays();
  std::vector<int>().swap(tracerStorage);
}

void irrigationclass::WriteStatistics() {
  if (Off()) return;
  // The root zone's water content the soil has left so far (the last call,
  // after the run's last step and before the soil's grids are freed, keeps
  // the one of the end for the state).
  Grid zone = gridlist[GetGrid("zonegrid_soilmodel")].grid, sb = gridlist[soilMoisture].grid;
  for (int r = std::max(1, firstrow); r <= std::min(nrows, lastrow); ++r)
    for (int c = 1; c <= ncols; ++c)
      waterContent[static_cast<size_t>(r) * (ncols + 1) + c] = OwnCell(zone, r, c) && sb[r][c] > 0 ? sb[r][c] : 0.0;
  if (groundwaterStatistic) groundwaterStatistic->Flush();
  if (surfaceStatistic) surfaceStatistic->Flush();
  for (int t = 1; t <= tracercount && t < static_cast<int>(tracergrids.size()); ++t)
    if (tracergrids[t].statistic) tracergrids[t].statistic->Flush();
}

namespace {
constexpr const char* kStateSection = "[irrigation]";
constexpr const char* kAskedSection = "[irrigation_asked_of_the_river]";
constexpr const char* kRootZoneSection = "[irrigation_root_zone]";
constexpr const char* kGivenSection = "[irrigation_given_at_once]";
constexpr const char* kEndedSection = "[irrigation_ended_on_prediction]";
constexpr const char* kReservoirSection = "[irrigation_reservoir_share]";
constexpr const char* kContentSection = "[irrigation_root_zone_water_content]";
constexpr const char* kSections[] = {kStateSection, kAskedSection,     kRootZoneSection, kGivenSection,
                                     kEndedSection, kReservoirSection, kContentSection};
}  // namespace

std::vector<double>& irrigationclass::StateOf(const char* section) {
  return section == kStateSection      ? demand
         : section == kAskedSection    ? pending
         : section == kRootZoneSection ? rootZone
         : section == kGivenSection    ? givenAtOnce
         : section == kEndedSection    ? endedAt
         : section == kReservoirSection ? reservoirShare
                                        : waterContent;
}

void irrigationclass::ReadStorageFile(const std::string& fileName, int readParameter) {
  if (Off() || fileName.empty() || readParameter == 2 || readParameter == 4) return;
  storagefile = fileName;
  if (readParameter == 0) return;
  std::string path = fileName;
  MakePath(InitialStateDirectory, path);
  // Instance 0 reads the rows and hands them on: whether each section is
  // there, then the value of every cell of the model grid (rows 1 ... nrows).
  const size_t cells = static_cast<size_t>(nrows) * ncols;
  for (const char* section : kSections) {
    std::vector<double> values(cells + 1, 0.0);
    if (mpirank == 0) {
      std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rt"), &std::fclose);
      if (!file) {
        *diag << "FATAL: " << modulname.c_str() << ": error opening storage content file " << path.c_str()
              << " (the running irrigations of a warm start)[end-entry]";
        throw 64;
      }
      auto fail = [&](const std::string& what) {
        *diag << "FATAL: error in storage file content reading the section " << section << " in " << path.c_str()
              << ": " << what.c_str() << "[end-entry]";
        throw 71;
      };
      char line[1202];
      bool found = false;
      while (!found && std::fgets(line, sizeof line, file.get()))
        found = std::strncmp(line, section, std::strlen(section)) == 0 &&
                (line[std::strlen(section)] == '\n' || line[std::strlen(section)] == '\r' ||
                 line[std::strlen(section)] == '\0');
      if (found) {
        int rows = 0, cols = 0;
        if (std::fscanf(file.get(), "%d %d", &rows, &cols) != 2)
          fail("expected the rows and columns of what the fields ask per step");
        if (rows != nrows || cols != ncols)
          fail(std::to_string(rows) + " rows and " + std::to_string(cols) + " columns do not fit the model grid of " +
               std::to_string(nrows) + " rows and " + std::to_string(ncols) + " columns");
        if (!std::fgets(line, sizeof line, file.get())) fail("the file ends early");
        for (size_t k = 0; k < cells; ++k)
          if (std::fscanf(file.get(), "%lf", &values[k + 1]) != 1 || !(values[k + 1] >= 0) ||
              !std::isfinite(values[k + 1]))
            fail(std::string(std::feof(file.get()) ? "the file ends early" : "no amount of 0 or more") + " at row " +
                 std::to_string(1 + static_cast<int>(k) / ncols) + ", column " +
                 std::to_string(static_cast<int>(k) % ncols + 1));
        values[0] = 1;
      } else if (section == kStateSection) {
        // A run before without irrigation wrote none: no field irrigates yet.
        *diag << "WARNING: " << modulname.c_str() << ": the storage content file " << path.c_str() << " has no section "
              << kStateSection << " (written by a run without irrigation): no field continues an irrigation[end-entry]";
      }
      // (Without the second section no river water is in transit either;
      // without the third and fourth a step of a day or more knows nothing
      // of the step before, without the last no irrigation ended on a
      // prediction.)
    }
    if (mpisize > 1 && MpiRunning())
      MPI_Bcast(values.data(), static_cast<int>(values.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (values[0] == 0) continue;
    std::vector<double>& target = StateOf(section);
    for (int r = std::max(1, firstrow); r <= std::min(nrows, lastrow); ++r)
      for (int c = 1; c <= ncols; ++c)
        target[static_cast<size_t>(r) * (ncols + 1) + c] = values[static_cast<size_t>(r - 1) * ncols + c];
    if (section == kReservoirSection) reservoirShareRead = true;
    if (section == kContentSection) waterContentRead = true;
  }
}

void irrigationclass::WriteStorageFile() {
  if (Off() || storagefile.empty()) return;
  std::string path = storagefile;
  MakePath(DefaultOutputDirectory, path);
  // The own cells of every instance on instance 0 (a cell no instance owns
  // asks nothing).
  Grid zone = gridlist[GetGrid("zonegrid_soilmodel")].grid;
  const double none = std::numeric_limits<double>::lowest();
  for (const char* section : kSections) {
    const std::vector<double>& source = StateOf(section);
    std::vector<double> all(static_cast<size_t>(nrows) * ncols, none), mine = all;
    for (int r = std::max(1, firstrow); r <= std::min(nrows, lastrow); ++r)
      for (int c = 1; c <= ncols; ++c)
        if (OwnCell(zone, r, c))
          mine[static_cast<size_t>(r - 1) * ncols + (c - 1)] = source[static_cast<size_t>(r) * (ncols + 1) + c];
    if (mpisize > 1 && MpiRunning())
      MPI_Reduce(mine.data(), all.data(), static_cast<int>(all.size()), MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
    else
      all = mine;
    if (mpirank != 0) continue;
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (!f) {
      *diag << "WARNING: the state of " << modulname.c_str() << " could not be written: error opening " << path.c_str()
            << "[end-entry]";
      return;
    }
    bool ok = std::fprintf(f, "%s\n%d %d (rows and columns of %s, mm; 0: none)\n", section, nrows, ncols,
                           section == kStateSection ? "what each field asks per step of its running irrigation"
                           : section == kAskedSection
                               ? "what each field asked of the river in the last step, which the water in "
                                 "transit answers"
                           : section == kRootZoneSection
                               ? "the root zone's water with the river water on its way at the last step"
                           : section == kGivenSection ? "what the last step gave each field at once"
                           : section == kEndedSection ? "the rate of an irrigation the last step ended on its "
                                                        "prediction"
                           : section == kReservoirSection ? "the share of its subbasin's demand the reservoir gave "
                                                            "in the last step, 1 all"
                                                          : "the root zone's mean water content the soil left, "
                                                            "m3/m3") >= 0;
    for (size_t k = 0; ok && k < all.size(); ++k)
      ok = std::fprintf(f, (k + 1) % ncols == 0 ? "%.17g\n" : "%.17g ", all[k] > none ? all[k] : 0.0) >= 0;
    ok = std::fprintf(f, "\n") >= 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
      *diag << "WARNING: the state of " << modulname.c_str() << " could not be written completely to " << path.c_str()
            << "[end-entry]";
  }
}

void irrigationclass::FreeMemory() {
  if (!Off() && initialized && gridlist) WriteStorageFile();
  if (groundwaterStatistic) groundwaterStatistic->Finish();
  if (surfaceStatistic) surfaceStatistic->Finish();
  groundwaterStatistic.reset();
  surfaceStatistic.reset();
  std::vector<ZoneRecord>().swap(fromGroundwater);
  std::vector<ZoneRecord>().swap(fromSurface);
  teilmodellklasse::FreeMemory();
}

void irrigationclass::run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  if (Off()) return;
  teilmodellklasse::run(stepHour, stepDay, stepMonth, stepYear);
  CoveredDays(stepHour, stepDay, stepMonth, stepYear);
  // Every statistic starts the step: the routing and the files take the
  // step's amounts, never a sum since the start of the run.
  groundwaterStatistic->NewStep();
  surfaceStatistic->NewStep();
  for (int t = 1; t <= tracercount && t < static_cast<int>(tracergrids.size()); ++t)
    if (tracergrids[t].statistic) tracergrids[t].statistic->NewStep();
  for (auto* records : {&fromGroundwater, &fromSurface})
    for (ZoneRecord& z : *records) z.n = z.sx = z.RelCellSum = 0;
  if (mpirank == 0 && (!maxirrig || !maxirrigFromReservoirs || !routingTarget))
    NoRouting("FATAL: if irrigation is modelled, also routing has to be modelled!",
              "\n(Adress of array maxirrig[] is NULL\n");
  // Every instance works on its own cells (the soil model's grids hold
  // only the rows of the instance); the surface-water demand of the
  // subbasins is summed over the instances, and instance 0, which holds the
  // routing, hands back the share of it that the rivers and reservoirs give.
  // A warm start's first step counts on the reservoir's share of the step
  // before as the one run did,
  if (reservoirShareRead) {
    reservoirShareRead = false;
    Grid zone = gridlist[GetGrid("zonegrid_soilmodel")].grid;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        const int k = OwnCell(zone, r, c) ? ZoneOf(zoneindex, maxzonecode, zone[r][c]) : 0;
        if (k >= 1 && k <= zonecount) supply[k] = reservoirShare[static_cast<size_t>(r) * (ncols + 1) + c];
      }
  }
  // and the root zone's water content the soil left then (the soil reckons
  // it from its state otherwise, in other digits).
  if (waterContentRead) {
    waterContentRead = false;
    Grid zone = gridlist[GetGrid("zonegrid_soilmodel")].grid, sb = gridlist[soilMoisture].grid;
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        const double v = waterContent[static_cast<size_t>(r) * (ncols + 1) + c];
        if (OwnCell(zone, r, c) && v > 0) sb[r][c] = v;
      }
  }
  RiverShare();
  CellPass();
  SurfaceWaterSupply();
  BookAmounts();
  WriteStatisticGrids(amounts, 0, 0);
  groundwaterStatistic->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  surfaceStatistic->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  for (int t = 1; t <= tracercount && t < static_cast<int>(tracergrids.size()); ++t) {
    if (tracergrids[t].statistic) tracergrids[t].statistic->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
    WriteStatisticGrids(tracergrids[t].fluxindex, 0, 0);
  }
}

// Zone index of a cell, 0 outside the zone table.
static int ZoneOf(const int* index, int maxCode, double value) {
  const int v = static_cast<int>(value);
  return (index && v >= 0 && v <= maxCode) ? index[v] : 0;
}

// The step ends mintointend minutes after its date's hour and lasts
// timeinterval minutes: an hourly step lies within one day, a daily step
// stamped with hour 24 is its day, a step of two days covers its date's day
// and the one before.
void irrigationclass::CoveredDays(int64_t hour, int64_t day, int64_t month, int64_t year) {
  coveredDays.clear();
  const double end = static_cast<double>(hour) * 60 + mintointend, start = end - timeinterval;
  for (int64_t k = static_cast<int64_t>(std::floor(start / 1440)); static_cast<double>(k) * 1440 < end; ++k) {
    const double minutes =
        std::min(end, static_cast<double>(k + 1) * 1440) - std::max(start, static_cast<double>(k) * 1440);
    if (!(minutes > 0)) continue;
    // The date k days after the step's.
    int64_t y = year, m = month, d = day;
    ShiftDate(y, m, d, k);
    coveredDays.push_back({m, d, minutes});
  }
}

void irrigationclass::RiverShare() {
  const int n = zonecount;
  Grid zone = gridlist[GetGrid("zonegrid_soilmodel")].grid;
  for (ExactSum& s : pendingSum) s.Clear();
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(zone, r, c)) continue;
      const int k = ZoneOf(zoneindex, maxzonecode, zone[r][c]);
      const double asked = pending[static_cast<size_t>(r) * (ncols + 1) + c];
      if (asked > 0 && k >= 1 && k <= n) pendingSum[k].Add(asked * RelativeArea(r, c));
    }
  if (mpisize > 1 && MpiRunning()) ExactSum::Reduce(pendingSum.data(), n + 1, 0);
  riverShare.assign(static_cast<size_t>(std::max(0, n)) + 1, 0.0);
  if (mpirank == 0) {
    const double cellArea = cellsize * cellsize / 1e6;
    for (int k = 1; k <= n; ++k) {
      // (Subbasin k's area is rel(0) x rel(k) km2.)
      const double cells = cellArea > 0 ? fromSurface[0].rel * fromSurface[k].rel / cellArea : 0.0;
      const double asked = cells > 0 ? pendingSum[k].Value() / cells : 0.0;
      riverShare[k] = asked > 0 ? std::max(0.0, maxirrig[0][k]) / asked : 0.0;
    }
  }
  if (mpisize > 1 && MpiRunning())
    MPI_Bcast(riverShare.data(), static_cast<int>(riverShare.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
}

bool irrigationclass::OwnCell(Grid zone, int r, int c) const {
  if (r < firstrow || r > lastrow || !zone[r] || !(zone[r][c] > nodata)) return false;
  return !MPIRegions || !MPIRegions[r] || static_cast<int>(MPIRegions[r][c]) == mpirank;
}

// The sums are kept also when the statistic is not written.
void irrigationclass::AddCell(zonalstatistic& writer, std::vector<ZoneRecord>& table, int r, int c, int k, double value,
                              double w) {
  if (writer.IsActive()) {
    writer.AddCell(r, c, k, value, w);
    return;
  }
  if (k < 0 || k >= static_cast<int>(table.size()) || !(value > nodata)) return;
  const double a = RelativeArea(r, c);
  table[k].n += w;
  table[k].sx += value * a * w;
  table[k].RelCellSum += a * w;
}

void irrigationclass::CellPass() {
  Grid zone = gridlist[GetGrid("zonegrid_soilmodel")].grid;
  Grid code = gridlist[codes].grid, pump = gridlist[maxPumping].grid, amount = gridlist[amounts].grid;
  Grid sb = gridlist[soilMoisture].grid, low = gridlist[lower].grid, high = gridlist[upper].grid;
  Grid ratio = gridlist[etrRatio].grid, root = gridlist[rootDepth].grid, prec = gridlist[precipitation].grid;
  const double dt = timeinterval;
  for (ExactSum& s : surfaceSum) s.Clear();
  missingCells = 0;
  for (int r = firstrow; r <= lastrow; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(zone, r, c)) continue;
      const int k = ZoneOf(zoneindex, maxzonecode, zone[r][c]);
      // What the cell asked of the river in the step before.
      const double asked = pending[static_cast<size_t>(r) * (ncols + 1) + c];
      const int i = static_cast<int>(code[r][c]);
      double& a = amount[r][c];
      // The field's demand carries over from step to step; the amount is
      // what it gets of it (a surface-water field may get less).
      double& want = demand[static_cast<size_t>(r) * (ncols + 1) + c];
      if (i < 1 || i > records || table[i].method < 1) {
        a = want = 0;
        continue;
      }
      const IrrigationTable& rule = table[i];
      double ask = 0;  // what the field asks in this step
      if (rule.method == 1 || rule.method == 2) {
        // The amount of each calendar day for the part of it in the step.
        want = 0;
        for (const CoveredDay& d : coveredDays)
          for (int j = 1; j <= rule.n; ++j)
            if (rule.month[j] == d.month && rule.day[j] == d.day) {
              want += rule.amount[j] * d.minutes / 1440;
              break;
            }
        ask = want;
      } else {
        // A missing input (not above -9999) is never a number: -9999 as the
        // soil moisture would ask the root zone to be filled by some 10 m.
        // The cell's demand is skipped for the step (it is given nothing and
        // keeps what it asked for the next step); the first such cell is said.
        const int needed[4] = {rule.method == 4 ? etrRatio : lower, soilMoisture, upper, rootDepth};
        int without = 0;
        for (int g : needed)
          if (Missing(gridlist[g].grid[r][c])) {
            without = g;
            break;
          }
        if (without != 0) {
          ++missingCells;
          if (missingCells == 1) {
            missingGrid = without;
            missingRow = r;
            missingColumn = c;
            missingRecord = i;
          }
          a = 0;
          continue;
        }
        // Soil moisture (3) or evapotranspiration ratio (4) starts an
        // irrigation that fills the root zone to the upper threshold, at the
        // rate of the deficit per day; it runs on until that threshold is
        // reached.
        const double rate = (high[r][c] - sb[r][c]) * root[r][c] * 1000 * dt / 1440;
        if (dt < 1440) {
          const bool start = rule.method == 4 ? ratio[r][c] < rule.min_etr_etp : sb[r][c] < low[r][c];
          if (start) {
            if (want == 0) want = rate;
          } else if (sb[r][c] >= high[r][c]) {
            want = 0;
          }
          ask = want;
        } else {
          // A step of a day or more sees the root zone only at its end, and
          // before the river water asked in the step before reaches it in
          // this one: that water counts as there. The irrigation runs at its
          // rate while its start holds, then on while the root zone lacks
          // water. The root zone loses water while it is filled (the soil
          // drains faster the wetter it is), and hourly steps run on until
          // the threshold is reached despite it: the water the root zone
          // received in the step before (rain and irrigation) less what it
          // gained then is what it lost, and at the full rate it gains the
          // rate and the step's rain less that loss in this step. Where that
          // gain makes up what the root zone lacks, the threshold is reached
          // within the step: the step asks its rate for the share of the
          // step that needs and ends the irrigation (a step of two days
          // asks a deficit about once, not for both days).
          const size_t at = static_cast<size_t>(r) * (ncols + 1) + c;
          const double arriving = k >= 1 && k <= zonecount ? asked * riverShare[k] : 0.0;
          const double content = sb[r][c] * root[r][c] * 1000 + arriving;
          const double lacking = high[r][c] * root[r][c] * 1000 - content;
          const bool start = rule.method == 4 ? ratio[r][c] < rule.min_etr_etp
                                              : (sb[r][c] - low[r][c]) * root[r][c] * 1000 + arriving < 0;
          if (start && want == 0) want = rate;
          // An irrigation the last step ended on its prediction resumes at its
          // rate where the root zone now lacks more than it did then: the
          // water of the fill was lost faster than foreseen or was not given,
          // so the limit was not reached (hourly steps would irrigate on).
          if (endedAt[at] > 0 && want == 0 && rootZone[at] > 0 &&
              lacking > high[r][c] * root[r][c] * 1000 - rootZone[at])
            want = endedAt[at];
          endedAt[at] = 0;
          if (start || want > 0) {
            // (The first step of a run knows no loss: it reckons with the
            // rate alone and leaves the end to the next step, which sees.)
            const bool seen = rootZone[at] > 0;
            const double rain = seen && prec[r][c] > nodata ? prec[r][c] : 0.0;
            // (Water the root zone gained beyond what it received, from
            // melt, thaw or below, is not counted on for this step.)
            const double lost = seen ? std::max(0.0, givenAtOnce[at] + arriving - (content - rootZone[at])) : 0.0;
            // What the field got of what it asked in the last step: the
            // reservoir's share and the river's, or what the pump gives (all
            // when the last step tells nothing). (River water asked now lands
            // in the next step, after this step's rain and loss: the river's
            // share of the field's water makes up what it lacks then.)
            const bool routed = rule.origin == 2 && k >= 1 && k <= zonecount;
            const double river = routed ? 1 - supply[k] : 0.0;
            const double got = rule.origin == 1 && want > 0 ? std::min(1.0, std::max(0.0, pump[r][c]) / want)
                               : routed && (supply[k] > 0 || riverShare[k] > 0)
                                   ? supply[k] + river * std::min(1.0, riverShare[k])
                                   : 1.0;
            const double gain = want * got + rain - lost;
            const double needed = std::max(0.0, lacking + river * (lost - rain));
            const double share = gain > 0 && needed < gain ? needed / gain : 1.0;
            ask = want * share;
            if (share < 1 && seen) {
              endedAt[at] = want;
              want = 0;
            }
          }
          rootZone[at] = content > 0 ? content : 0.0;
        }
      }
      // Nothing is taken back from the fields; a value that is no number asks nothing.
      if (!(want > 0)) want = 0;
      a = ask > 0 ? ask : 0.0;
      if (rule.origin == 1) {
        a = std::min(a, std::max(0.0, pump[r][c]));
      } else if (rule.origin == 2) {
        // (Each cell's mm weighted by its relative area: the subbasin's
        // mean over its area, which its area turns into the volume the
        // rivers and reservoirs give.)
        const double w = RelativeArea(r, c);
        if (k >= 1 && k <= zonecount) surfaceSum[k].Add(a * w);
      } else {
        a = 0;
      }
    }
  }
  if (missingCells > 0 && !missingWarned) {
    missingWarned = true;
    const double v = gridlist[missingGrid].grid[missingRow][missingColumn];
    const ResultDate d = StepDate();
    *diag << "WARNING: irrigation: the cell of row " << missingRow << ", column " << missingColumn
          << " (irrigation record " << missingRecord << ", method " << table[missingRecord].method
          << ") has no value of \"" << gridlist[missingGrid].shortname << "\" (" << v << ") for " << d.day << "."
          << d.month << "." << d.year << ", " << d.hour
          << ". h: its demand is skipped for the step, it is given no water (" << missingCells
          << " such cell(s) of this instance in the step; said once, later steps skip such cells silently)"
          << "[end-entry]";
  }
}

void irrigationclass::SurfaceWaterSupply() {
  const int n = zonecount;
  const int nt = tracercount;
  // Demand of every subbasin [mm over its cells]: the sum of its amounts
  // over all instances, divided by its cells; the same for what its cells
  // asked of the river in the step before.
  // (RiverShare has summed what was asked of the river.)
  if (mpisize > 1 && MpiRunning()) ExactSum::Reduce(surfaceSum.data(), n + 1, 0);
  // The zone records give the area of subbasin k as rel(0) x rel(k) [km2].
  const double cellArea = cellsize * cellsize / 1e6;
  auto area = [&](int k) { return fromSurface[0].rel * fromSurface[k].rel; };
  auto cells = [&](int k) { return cellArea > 0 ? area(k) / cellArea : 0.0; };
  std::fill(supply.begin(), supply.end(), 0.0);
  if (mpirank == 0) {
    double* riv = maxirrig[0];
    double* res = maxirrigFromReservoirs[0];
    for (int k = 1; k <= n; ++k) {
      const double demand = cells(k) > 0 ? surfaceSum[k].Value() / cells(k) : 0.0;
      const double asked = cells(k) > 0 ? pendingSum[k].Value() / cells(k) : 0.0;
      // The reservoir gives at once, up to what it holds (its water stays
      // until it is taken); the rest is asked of the river, which gives it
      // from its flow of this step (the routing's withdrawal), and the
      // fields receive it at the next step. This step they receive what the
      // river gave in the step before, in the shares their cells asked it.
      const double fromRes = res[k] > 0 ? std::min(demand, res[k]) : 0.0;
      const double given = std::max(0.0, riv[k]);
      supply[k] = demand > 0 ? fromRes / demand : 0.0;
      supply[n + 1 + k] = asked > 0 ? given / asked : 0.0;
      if (given > 0 && !(asked > 0) && !strandedWarned) {
        strandedWarned = true;
        *diag << "WARNING: irrigation: " << given << " mm of river water in transit to the fields of subbasin "
              << fromSurface[k].zonenwert
              << " that no field asked for (a state of another irrigation set-up): it is not given[end-entry]";
      }
      // The surface water's concentrations: the reservoir's, and those of
      // the river water in transit.
      for (int t = 1; t <= nt; ++t) {
        supply[(1 + static_cast<size_t>(t)) * (n + 1) + k] = maxirrigFromReservoirs[t][k];
        supply[(1 + static_cast<size_t>(nt) + t) * (n + 1) + k] = maxirrig[t][k];
      }
      res[k] = fromRes;
      // The routing takes the demand less what the reservoirs give (the
      // mean over the subbasin's cells, sx / RelCellSum) from the river.
      demandRecords[k].n = cells(k);
      demandRecords[k].sx = demand > 0 ? demand * cells(k) : 0.0;
      demandRecords[k].RelCellSum = cells(k);
    }
  }
  if (mpisize > 1 && MpiRunning())
    MPI_Bcast(supply.data(), static_cast<int>(supply.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
}

void irrigationclass::BookAmounts() {
  Grid zone = gridlist[GetGrid("zonegrid_soilmodel")].grid;
  Grid code = gridlist[codes].grid, amount = gridlist[amounts].grid, prec = gridlist[precipitation].grid;
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(zone, r, c)) continue;
      const int k = ZoneOf(zoneindex, maxzonecode, zone[r][c]);
      const int i = static_cast<int>(code[r][c]);
      const int origin = i >= 1 && i <= records ? table[i].origin : 0;
      double& a = amount[r][c];
      double& asked = pending[static_cast<size_t>(r) * (ncols + 1) + c];
      // A missing precipitation brings no water; the irrigation water is known.
      const double P = prec[r][c] > nodata ? prec[r][c] : 0.0;
      // Surface water: the reservoir's share of the demand, and the river
      // water in transit for what the cell asked of it in the step before;
      // the rest of the demand is asked of the river now. A field outside
      // the subbasins' table has no river or reservoir.
      const bool routed = k >= 1 && k <= zonecount;
      const double fromGroundwater = origin == 1 ? a : 0.0;
      const double fromReservoir = origin == 2 && routed ? a * supply[k] : 0.0;
      const double fromRiver = routed && asked > 0 ? asked * supply[zonecount + 1 + k] : 0.0;
      asked = origin == 2 && routed ? a - fromReservoir : 0.0;
      givenAtOnce[static_cast<size_t>(r) * (ncols + 1) + c] = std::max(0.0, P) + fromGroundwater + fromReservoir;
      // (The reservoir's share of the subbasin's demand, which the next step
      // counts on, kept in each of its cells for the state.)
      reservoirShare[static_cast<size_t>(r) * (ncols + 1) + c] = routed ? supply[k] : 0.0;
      a = fromGroundwater + fromReservoir + fromRiver;
      AddCell(*groundwaterStatistic, this->fromGroundwater, r, c, k, fromGroundwater, 1);
      AddCell(*surfaceStatistic, fromSurface, r, c, k, fromReservoir + fromRiver, 1);
      for (int t = 1; t <= tracercount && t < static_cast<int>(tracergrids.size()); ++t) {
        TracerGrids& g = tracergrids[t];
        const double in = gridlist[tracerInput[t]].grid[r][c];
        double& conc = g.flux[r][c];
        if (a > 0) {
          // The irrigation water carries the concentration of where it was
          // taken: the subbasin's reservoir and river water; pumped
          // groundwater that of the soil's saturated zone (which the soil
          // takes from it when it pumps).
          const double source =
              (fromGroundwater * gridlist[tracerStorage[t]].grid[r][c] +
               (routed ? fromReservoir * supply[(1 + static_cast<size_t>(t)) * (zonecount + 1) + k] +
                             fromRiver * supply[(1 + static_cast<size_t>(tracercount) + t) * (zonecount + 1) + k]
                       : 0.0)) /
              a;
          conc = WeightedMean(in, source, P, a);
        } else {
          conc = P > 0 ? in : 0.0;
        }
        if (g.subbasins && k >= 0) {
          const double w = P + a;
          const double cellArea = relcellarea ? relcellarea[r][c] : 1.0;
          g.subbasins[k].sx += conc * cellArea * w;
          g.subbasins[k].n += w;
          g.subbasins[k].RelCellSum += w * cellArea;
        }
      }
      if (a > 0) prec[r][c] = P + a;
    }
}
