// The time step of the silting-up model: rain pause, tillage time, cover,
// kinetic energy of the rain event, infiltration capacity of the sealed
// surface and the direct runoff above it, per own cell.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "framework/hrurecord.h"
#include "framework/zonalstatistic.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/soil_table_entry.h"
#include "surface/siltingup.h"

namespace {

// Kinetic energy of rain per millimetre for the intensity i [mm/h]; below
// 0.05 mm/h there is no rain, above 76.2 mm/h the drop size no longer grows.
double KineticEnergyPerMm(double i) {
  if (i <= 0.05) return 0.0;
  if (i >= 76.2) return 28.33;
  return 11.89 + 8.73 * std::log10(i);
}

// Mean grain diameter from the grain-size fractions sand, silt, clay, stones1 ... stones4.
double MeanGrainDiameter(const double* g) {
  return std::pow(10.0, 0.5 * (-1.0969100130080562 * g[2] + 2.1003620619491743 * g[1] + 5.100385157531412 * g[0] +
                               7.100370545117563 * g[3] + 8.100370545117563 * g[4] + 9.100370545117563 * g[5] +
                               10.100370545117563 * g[6]));
}

// Formula results of method 3 without meaning, per step: how many cells,
// the first (row * (ncols + 1) + column) and its value.
enum BadKind { kBadEnergy, kBadDisposition, kBadCapacity, kNegativeCapacity, kBadKinds };
struct BadValue {
  int64_t count = 0;
  int64_t first = INT64_MAX;
  double value = 0;
};

// The formula that assigns the variable (its text without blanks), or a
// note that none does.
std::string FormulaOf(const std::vector<std::string>& expressions, char name) {
  for (auto it = expressions.rbegin(); it != expressions.rend(); ++it)
    if (it->size() > 1 && std::toupper(static_cast<unsigned char>((*it)[0])) == name && (*it)[1] == '=') return *it;
  return std::string(1, name) + " (no formula assigns it)";
}

}  // namespace

void siltingupclass::run(int64_t hour, int64_t day, int64_t month, int64_t year) {
  teilmodellklasse::run(hour, day, month, year);
  if (flowcontrol == 0) return;
  if (!routingchecked) {
    surfacerouting = FindGrid("SurfaceRoutingWeights", true) > 0;
    const int units = FindGrid("HydrologicResponseUnits", false);
    const int masters = FindGrid("MasterHydrologicResponseUnits", false);
    hrumode = SpinUp != 0 && hru && units > 0 && masters > 0;
    if (hrumode) {
      hrugrid = gridlist[units].grid;
      hrumaster = gridlist[masters].grid;
    }
    routingchecked = true;
  }
  if (!input) SetPrecipitationSource(option);
  for (Statistic& s : statistic) s.writer->NewStep();
  for (int k = 1; k <= tracercount; ++k) tracergrids[k].statistic->NewStep();

  CellLoop(day, month, year);
  SerialPass();

  for (Statistic& s : statistic) s.writer->Reduce(year, month, day, hour, 1);
  for (int k = 0; k < kOwnGrids; ++k) WriteStatisticGrids(position[k], 1, 0);
  for (int k = 1; k <= tracercount; ++k) {
    tracergrids[k].statistic->Reduce(year, month, day, hour, 1);
    WriteStatisticGrids(tracergrids[k].fluxindex, 1, 0);
    // The tracer of the water on the surface, state of a warm start; the
    // surface routing, where it runs, hands it over anew every sub-step and
    // writes it after the hand-over.
    if (FindGrid("concstor_tracer_" + std::to_string(k) + "_SurfaceRoutingModel", false) <= 0)
      WriteStatisticGrids(tracergrids[k].storeindex, 1, 0);
  }
}

void siltingupclass::CellLoop(int64_t day, int64_t month, int64_t year) {
  // One evaluator per thread, kept from step to step: its variables are
  // emptied after every cell, so it computes what a new one per row would.
  const int threads = std::max(1, omp_get_max_threads());
  if (method == 3)
    while (static_cast<int>(parsers.size()) < threads) parsers.push_back(std::make_unique<ExpressionParser>());
  const double dt = timeinterval;  // minutes
  const double hours = dt / 60.0;
  const int landusecount = landusetable ? landusetable[0].code : 0;
  const int soilcount = soiltable ? soiltable[0].code : 0;
  const int d = static_cast<int>(day);
  const int m = static_cast<int>(month);
  const int y = static_cast<int>(year);
  // Power laws in the sand percentage have negative exponents: below 0.1 %
  // sand they are taken at 0.1 %, so that no infinite capacity or
  // disposition enters the grids.
  const double minimumSandPercent = 0.1;

  std::atomic<int> failure{0};
  int64_t invalid = 0;
  int64_t firstinvalid = INT64_MAX;  // row * (ncols + 1) + column of the first one
  BadValue bad[kBadKinds];
  auto note = [&](BadKind kind, int r, int c, double value) {
    const int64_t at = static_cast<int64_t>(r) * (ncols + 1) + c;
#pragma omp critical(siltingup_badvalue)
    {
      BadValue& b = bad[kind];
      ++b.count;
      if (at < b.first) {
        b.first = at;
        b.value = value;
      }
    }
  };

#pragma omp parallel for schedule(runtime) reduction(+ : invalid)
  for (int r = firstrow; r <= lastrow; ++r) {
    if (failure.load(std::memory_order_relaxed) != 0) continue;
    ExpressionParser* parser = method == 3 ? parsers[omp_get_thread_num()].get() : nullptr;
    VariableList* vars = parser ? parser->Variables() : nullptr;
    const int c0 = datacols ? std::max(1, datacols[r].first) : 1;
    const int c1 = datacols ? std::min(ncols, datacols[r].last) : ncols;
    for (int c = c0; c <= c1; ++c) {
      if (Missing(zonegrid[r][c])) continue;
      if (MPIRegions && static_cast<int>(MPIRegions[r][c]) != mpirank) continue;
      if (hrumode && !(hrumaster[r][c] > nodata)) continue;
      double& S = surfacestorage[r][c];
      // Without surface routing nothing stays on the surface from one step to the next.
      if (!surfacerouting) S = 0.0;
      const int zone = SubbasinOf(zonegrid[r][c]);
      const int lu1 = static_cast<int>(landuse[1][r][c]);
      const int si = static_cast<int>(soil[r][c]);
      int top = 1;
      for (int k = layers; k >= 1; --k)
        if (static_cast<int>(landuse[k][r][c]) != static_cast<int>(nodata)) {
          top = k;
          break;
        }
      const int lutop = static_cast<int>(landuse[top][r][c]);
      if (lu1 < 1 || lu1 > landusecount || lutop < 1 || lutop > landusecount || si < 1 || si > soilcount || zone < 1 ||
          zone > zonecount) {
        // No table entry: the cell keeps its water and makes no runoff.
        own[kDirectRunoff][r][c] = 0.0;
        ++invalid;
#pragma omp critical(siltingup_invalid)
        firstinvalid = std::min<int64_t>(firstinvalid, static_cast<int64_t>(r) * (ncols + 1) + c);
        continue;
      }
      landuse_table_entry& entry = landusetable[lu1];
      const soil_table_entry& soilentry = soiltable[si];
      // A missing water input is no rain: a pause of the rain, no energy,
      // and the soil takes what the surface holds.
      const double P = input[r][c] > nodata ? input[r][c] : 0.0;

      for (int k = 1; k <= tracercount; ++k) {
        const TracerRecord& t = tracers[k];
        double& s = tracergrids[k].store[r][c];
        // Nor its tracer: the soil took it with the water.
        if (!surfacerouting) s = 0.0;
        if (t.radioactive == 1) s *= t.decay;
        if (P > 0) s = t.evaporating == 1 ? WeightedMean(s, upstream[k][r][c], S, P) : s + P * upstream[k][r][c];
      }

      int n = 0;
      int* days = nullptr;
      entry.GetSoilTillage(n, days);
      const bool tilled = days && n >= 1 && days[0] >= -9997;
      double cover = 0;
      int t = 0;
      try {
        const double altitude = elevation ? elevation[r][c] : 0.0;
        const double residue = entry.GetSR_ResidCovrgAtDate(*diag, d, m, y, 1, r, c, altitude);
        double v = vegcover[top][r][c];
        if (!(v > nodata)) v = 0.0;
        cover = std::min(1.0, residue + v);
        t = landusetable[lutop].GetJulianDay(d, m, y);
      } catch (int code) {
        int none = 0;
        if (failure.compare_exchange_strong(none, code)) {
#pragma omp critical(siltingup_message)
          *diag << "FATAL: " << modulname.c_str() << ": no residue cover or day of the year for land use "
                << entry.GetCode() << " on " << d << "." << m << "." << y << " (row " << r << ", column " << c
                << "), error code " << code << "[end-entry]";
        }
        break;
      }

      const double* grain = soilentry.GrainSizeDist;
      const double Dg = MeanGrainDiameter(grain);
      const double sand = grain[soil_table_entry::kSand];

      // Days since the last tillage; the tillage day itself counts as 0.3.
      double& T = own[kTillageTime][r][c];
      if (!tilled) {
        T = 0.0;
      } else {
        bool found = true;
        double value = 0;
        if (t >= days[n])
          value = t - days[n];
        else if (t < days[1])
          value = t - days[0];
        else {
          found = false;
          for (int i = 2; i <= n && !found; ++i)
            if (t < days[i]) {
              value = t - days[i - 1];
              found = true;
            }
        }
        // A list that is not ascending leaves the previous value.
        if (found) T = value > 0 ? value : 0.3;
      }

      const double I = P / hours;  // mm/h
      double& pause = own[kRainPause][r][c];
      if (I > 0.05)
        pause = 0.0;
      else
        pause += dt / 1440.0;

      double& energy = own[kKineticEnergy][r][c];
      double& disposition = own[kDisposition][r][c];
      double e = 0, I0 = 0, Iinf = 0;
      int failed = -1;  // formula that could not be evaluated
      if (parser) {
        for (int k = 0; k < 10; ++k) {
          const char name[2] = {static_cast<char>('A' + k), '\0'};
          vars->Add(name, soilentry.SU_PAR[k + 1]);
        }
        vars->Add("K", Dg);
        vars->Add("L", sand);
        vars->Add("M", grain[soil_table_entry::kClay]);
        vars->Add("N", grain[soil_table_entry::kSilt]);
        vars->Add("O", T);
        vars->Add("P", I);
        vars->Add("Q", energy);
        vars->Add("R", dt);
        for (size_t i = 0; i < secondgroup && failed < 0; ++i)
          if (!parser->Run(programs[i])) failed = static_cast<int>(i);
        double z = 0;
        vars->Get("Z", z);
        // A formula's power of the time since tillage has no finite value on
        // soil never tilled (T = 0): such a cell has the disposition 0 of
        // methods 1 and 2; any other result that is not finite is missing, so
        // that no statistic takes it.
        disposition = std::isfinite(z) ? z : T > 0 ? nodata : 0.0;
        if (!std::isfinite(z) && T > 0) note(kBadDisposition, r, c, z);
        vars->Get("W", e);
        // A kinetic energy that is no finite number adds nothing to the
        // event (0 x infinity would make it NaN for the rest of the run).
        if (!std::isfinite(e)) {
          note(kBadEnergy, r, c, e);
          e = 0;
        }
      } else {
        const double* p = parameter;
        const double sandPercent = std::max(100.0 * sand, minimumSandPercent);
        I0 = p[0];
        Iinf = p[1] * std::pow(Dg, p[2]) * std::pow(sandPercent, p[3]);
        e = KineticEnergyPerMm(I);
        disposition = T > 0 ? p[4] * std::pow(sandPercent, p[5]) * std::pow(Dg, p[6]) * std::pow(T, p[7]) : 0.0;
      }

      if (T > 0) {
        const double dE = (1.0 - cover) * I * e * hours;
        // A pause as long as the minimum ends the event: the energy starts anew.
        energy = pause < minrainpause[zone] ? energy + dE : dE;
      } else {
        energy = 0.0;
      }

      double f = 0;  // infiltration capacity of the step, mm
      if (parser) {
        vars->Set("Q", energy);
        for (size_t i = secondgroup; i < programs.size() && failed < 0; ++i)
          if (!parser->Run(programs[i])) failed = static_cast<int>(i);
        vars->Get("V", f);
        if (failed >= 0) {
          int none = 0;
          if (failure.compare_exchange_strong(none, 403)) {
#pragma omp critical(siltingup_message)
            *diag << "FATAL: \n-----------------error------------\nin instance " << modulname.c_str() << "\nexpression "
                  << expressions[failed].c_str() << " could not be parsed correctly. "
                  << "Parser message: " << parser->Result() << "\n(cell in row " << r << ", column " << c << ")"
                  << "[end-entry]";
          }
          vars->Clear();
          break;
        }
        vars->Clear();
        // An infinite capacity takes all the water. A capacity below 0 would
        // let more water run off than the cell holds: no capacity, all water
        // above 0 runs off. NaN and minus infinity mean nothing: the cell
        // makes no silting-up runoff in this step.
        if (std::isnan(f) || f == -std::numeric_limits<double>::infinity()) {
          note(kBadCapacity, r, c, f);
          f = std::numeric_limits<double>::infinity();
        } else if (f < 0) {
          note(kNegativeCapacity, r, c, f);
          f = 0;
        }
      } else {
        f = (Iinf + (I0 - Iinf) * std::exp(-disposition * energy)) * hours;
      }

      // With the surface routing the storage keeps the water that stood on
      // the surface until the routing's first sub-step takes in what the
      // soil left on it: the soil takes its input, rain and standing water
      // alike, a share in each sub-step (what it cannot take goes back to the
      // surface in that sub-step).
      const double W = P + S;
      if (!surfacerouting) S = W;
      const double runoff = tilled ? W - std::min(W, f) : 0.0;
      input[r][c] = W - runoff;
      own[kDirectRunoff][r][c] = runoff;

      if (runoff > 0) {
        for (int k = 1; k <= tracercount; ++k) {
          const TracerRecord& tr = tracers[k];
          double& s = tracergrids[k].store[r][c];
          double& q = tracergrids[k].flux[r][c];
          if (tr.evaporating == 1) {
            q = s;
          } else {
            // The runoff takes its share of the cell's water, at most at the
            // tracer's maximum concentration.
            const double mass = W > 0 ? runoff * s / W : 0.0;
            const double out = std::min(runoff * tr.max_conc, mass);
            s -= out;
            q = out / runoff;
          }
        }
      }
    }
  }

  if (const int code = failure.load(); code != 0) throw code;
  if (invalid > 0 && invalid != invalidcells) {
    const int r = static_cast<int>(firstinvalid / (ncols + 1));
    const int c = static_cast<int>(firstinvalid % (ncols + 1));
    *diag << "WARNING: " << modulname.c_str() << ": " << static_cast<long>(invalid)
          << " cells have no valid land-use, soil or subbasin index and are skipped (no direct runoff); the first "
             "is row "
          << r << ", column " << c << " with land use " << landuse[1][r][c] << " and soil " << soil[r][c]
          << "[end-entry]";
  }
  invalidcells = invalid;
  const char* const what[kBadKinds] = {"the kinetic energy per mm of rain W", "the silting disposition Z",
                                       "the infiltration capacity V", "the infiltration capacity V"};
  const char names[kBadKinds] = {'W', 'Z', 'V', 'V'};
  const char* const meaning[kBadKinds] = {
      "no finite number: the cell's rain adds no kinetic energy in that step",
      "no finite number on tilled soil: the cell's disposition is missing in that step",
      "no number or minus infinity: the cell makes no silting-up runoff in that step",
      "below 0: it is taken as 0 (all water runs off) in that step"};
  for (int k = 0; k < kBadKinds; ++k) {
    if (bad[k].count == 0 || valuewarned[k]) continue;
    valuewarned[k] = true;
    const int r = static_cast<int>(bad[k].first / (ncols + 1));
    const int c = static_cast<int>(bad[k].first % (ncols + 1));
    *diag << "WARNING: " << modulname.c_str() << ": " << what[k] << " of the SiltingUpExpressions ("
          << FormulaOf(expressions, names[k]).c_str() << ") is " << bad[k].value << " in row " << r << ", column " << c
          << " on " << static_cast<long>(day) << "." << static_cast<long>(month) << "." << static_cast<long>(year)
          << " (" << static_cast<long>(bad[k].count) << " cells in this step); a value " << meaning[k]
          << ", here and wherever it recurs (this warning is written once)"
          << "[end-entry]";
  }
}

void siltingupclass::SerialPass() {
  for (int r = firstrow; r <= lastrow; ++r) {
    const int c0 = datacols ? std::max(1, datacols[r].first) : 1;
    const int c1 = datacols ? std::min(ncols, datacols[r].last) : ncols;
    for (int c = c0; c <= c1; ++c) {
      if (Missing(zonegrid[r][c])) continue;
      if (MPIRegions && static_cast<int>(MPIRegions[r][c]) != mpirank) continue;
      if (hrumode && !(hrumaster[r][c] > nodata) && hrugrid[r][c] > nodata) {
        // A member cell of a response unit takes the states of its master cell.
        const HRURecord& unit = hru[static_cast<int64_t>(hrugrid[r][c])];
        const int mr = unit.row;
        const int mc = unit.column;
        surfacestorage[r][c] = surfacestorage[mr][mc];
        for (int k = 0; k < kOwnGrids; ++k) own[k][r][c] = own[k][mr][mc];
        input[r][c] = input[mr][mc];
        // And the tracer of that water (the soil takes it with the water).
        for (int k = 1; k <= tracercount; ++k) {
          tracergrids[k].store[r][c] = tracergrids[k].store[mr][mc];
          tracergrids[k].flux[r][c] = tracergrids[k].flux[mr][mc];
        }
      }
      const int zone = SubbasinOf(zonegrid[r][c]);
      if (zone < 1 || zone > zonecount) continue;
      const double runoff = own[kDirectRunoff][r][c];
      statistic[0].writer->AddCell(r, c, zone, own[kDisposition][r][c], 1.0);
      statistic[1].writer->AddCell(r, c, zone, runoff, 1.0);
      const double a = (relcellarea && relcellarea[r] && !Missing(relcellarea[r][c])) ? relcellarea[r][c] : 1.0;
      for (int k = 1; k <= tracercount; ++k) {
        ZoneRecord& z = tracergrids[k].subbasins[zone];
        z.n += runoff;
        z.sx += tracergrids[k].flux[r][c] * a * runoff;
        z.RelCellSum += runoff * a;
      }
    }
  }
}
