// Work arrays of the soil column solve of the unsaturated zone, one set per
// thread, made once per step and reused for every cell.
#pragma once

#include <vector>

#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"
#include "soil/uzlateral.h"

// Work arrays of one thread, made once per step and reused for every cell.
struct unsatzonmodellklasse::CellWork {
  int n = 0;
  std::vector<double> d, z, ts, tr, theta, thetaOld, thetaNew, mean, H, psiOld, q, S, A, B, sum, e, evap, w, rel,
      thetaLow, capacity, macro, drainable, base, work, available, factor, O1, O2, O1L, O2L, BL, qL, tracer;
  std::vector<double> conductance, solve;                      // implicit flux correction
  std::vector<double> qRelaxed, SRelaxed, ARelaxed, BRelaxed;  // fluxes of the relaxed iteration
  std::vector<int> intervals;                                  // table intervals of the last look-ups
  std::vector<double> demand, transpired, landuseCodes;        // per vegetation layer
  // Per vegetation layer: the water content of each soil layer at the dry
  // suction of its land use, kept while the soil and the suction stay.
  std::vector<double> dryTheta, drySuction;
  std::vector<const soil_table_entry*> drySoil;
  const double* DryTheta(int j, const soil_table_entry& soil, double suction) {
    double* out = dryTheta.data() + static_cast<size_t>(j) * (n + 2);
    if (drySoil[j] == &soil && drySuction[j] == suction) return out;
    for (int i = 1; i <= n && i <= soil.layers; ++i) out[i] = soil.InterpolateTableInverse(i, suction);
    drySoil[j] = &soil;
    drySuction[j] = suction;
    return out;
  }
  // Heat transfer.
  std::vector<double> T, Tstart, Tscratch, unfrozen, lambda, Cv, X, G, rate, ha, hb, hc, hr, hw, hf;
  // State of the substep for the dump checks.
  std::vector<double> snapTheta, snapT;
  int snapG = 0;
  double snapInputMacro = 0, snapInput = 0, snapBaseflow = 0;
  // The baseflow rate of the substep as the dump check sees it (m/s), before
  // a repair limits it.
  double checkedBaseflow = 0;
  std::vector<double> snapTranspiration;
  std::vector<double> snapArrays;  // 14 layer arrays one after another
  // Reports of the call that wait for it to be accepted (a trial call
  // solved again drops them): floating-point faults and iteration log lines.
  struct Note {
    enum Kind { kFpe, kLog } kind;
    int step, counter;
    double a, b, cc, change, e;
  };
  std::vector<Note> notes;
  void Defer(const Note& x) {
    if (notes.size() < 64) notes.push_back(x);
  }
  // The control cell's per-layer amounts at the call's start.
  std::vector<double> controlStart;
  double airT = 0, nFactor = 1, lowerT = 0, surfaceT = 0;
  int k = 1, m = 0, heatPerWater = 0;
  double dtw = 0, dth = 0;
  uzk::Column col;
  uzk::RiverCell river;
  int riverRecord = 0;
  int soilIndex = 0;
  // Tracers 1 ... T: amounts per level 0 ... n + 1 (level 0 the input store)
  // at the start and the end of the layer balance, and per-tracer values.
  int tracers = 0;
  std::vector<double> tracerStart, tracerEnd, thetaBefore, tracerWater;
  std::vector<const double*> tracerStartRows;
  std::vector<double*> tracerEndRows;
  std::vector<double> tracerCap, tracerGroundwater, tracerOut, tracerInter, tracerDrain, tracerOutAmount,
      tracerInterAmount, tracerDrainAmount, tracerDrainsAmount, tracerDirectLoad, tracerInterLoad, tracerInput,
      tracerSilt, tracerMix, tracerBaseLoad, tracerPump,
      tracerPond;  // substance of the ponded water
  std::vector<int> tracerMixed;
  double* Amount(int t) { return tracerStart.data() + static_cast<size_t>(t) * (n + 2); }
  double* AmountEnd(int t) { return tracerEnd.data() + static_cast<size_t>(t) * (n + 2); }
  void SizeTracers(int count) {
    tracers = count;
    const size_t levels = static_cast<size_t>(count + 1) * (n + 2);
    tracerStart.assign(levels, 0.0);
    tracerEnd.assign(levels, 0.0);
    thetaBefore.assign(static_cast<size_t>(n) + 3, 0.0);
    tracerWater.assign(static_cast<size_t>(n) + 3, 0.0);
    tracerStartRows.assign(static_cast<size_t>(count) + 1, nullptr);
    tracerEndRows.assign(static_cast<size_t>(count) + 1, nullptr);
    for (int t = 1; t <= count; ++t) {
      tracerStartRows[t] = Amount(t);
      tracerEndRows[t] = AmountEnd(t);
    }
    for (auto* v : {&tracerCap, &tracerGroundwater, &tracerOut, &tracerInter, &tracerDrain, &tracerOutAmount,
                    &tracerInterAmount, &tracerDrainAmount, &tracerDrainsAmount, &tracerDirectLoad, &tracerInterLoad,
                    &tracerInput, &tracerSilt, &tracerMix, &tracerBaseLoad, &tracerPump, &tracerPond})
      v->assign(static_cast<size_t>(count) + 1, 0.0);
    // Which tracers mix in the saturated zone is the caller's (their kind flag).
    tracerMixed.assign(static_cast<size_t>(count) + 1, 0);
    // The river water's concentrations come in the layer array `tracer`.
    if (tracer.size() < static_cast<size_t>(count) + 1) tracer.resize(static_cast<size_t>(count) + 1, 0.0);
  }

  void Size(int layers, int vegetation) {
    n = layers;
    for (auto* v :
         {&d,         &z,    &ts,     &tr,        &theta,    &thetaOld,  &thetaNew, &mean, &H,        &psiOld,   &q,
          &S,         &A,    &B,      &sum,       &e,        &evap,      &w,        &rel,  &thetaLow, &capacity, &macro,
          &drainable, &base, &work,   &available, &factor,   &O1,        &O2,       &O1L,  &O2L,      &BL,       &qL,
          &tracer,    &T,    &Tstart, &Tscratch,  &unfrozen, &lambda,    &Cv,       &X,    &G,        &rate,     &ha,
          &hb,        &hc,   &hr,     &hw,        &hf,       &snapTheta, &snapT})
      v->assign(static_cast<size_t>(layers) + 3, 0.0);
    conductance.assign(static_cast<size_t>(layers) + 3, 0.0);
    for (auto* v : {&qRelaxed, &SRelaxed, &ARelaxed, &BRelaxed}) v->assign(static_cast<size_t>(layers) + 3, 0.0);
    solve.assign(4 * (static_cast<size_t>(layers) + 2), 0.0);
    intervals.assign(3 * (static_cast<size_t>(layers) + 2), 0);
    demand.assign(static_cast<size_t>(vegetation) + 1, 0.0);
    transpired.assign(static_cast<size_t>(vegetation) + 1, 0.0);
    landuseCodes.assign(static_cast<size_t>(vegetation) + 1, 0.0);
    dryTheta.assign((static_cast<size_t>(vegetation) + 1) * (static_cast<size_t>(layers) + 2), 0.0);
    drySuction.assign(static_cast<size_t>(vegetation) + 1, 0.0);
    drySoil.assign(static_cast<size_t>(vegetation) + 1, nullptr);
    snapTranspiration.assign(static_cast<size_t>(vegetation) + 1, 0.0);
    snapArrays.assign(14 * (static_cast<size_t>(layers) + 1), 0.0);
  }
};
