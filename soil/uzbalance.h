// End of a water substep of one column: outflows of each layer limited to the
// water the layer holds, and dissolved substances (tracers) moved between the
// layers, the groundwater and the outflows with the water fluxes.
//
// Tracer amounts are held per layer as concentration times water in mm
// (index 0: the input store at the surface, whose water is given apart).
// The flows of the substep pass one after the other, from the surface down;
// water dw (mm) leaving a store carries its share dw / W of the amount the
// store holds then in its water W (its start and what reached it before),
// at most phi_t * dw.
#pragma once

#include "soil/uzkernels.h"

namespace uzk {

// Flux and state arrays of the substep (layers 1..n; q also 0) and the
// limited outflows (out).
struct BalanceArrays {
  const double* theta = nullptr;  // water content after the substep
  const double* d = nullptr;
  const double* q = nullptr;    // fluxes, positive upward
  const double* O1 = nullptr;   // interflow (m/s)
  const double* O2 = nullptr;   // drainage (m/s)
  const double* A = nullptr;    // inflow from the river (m/s)
  const double* B = nullptr;    // outflow to the river (m/s)
  double* available = nullptr;  // out: water the layer can give (m/s)
  double* factor = nullptr;     // out: factor of the layer's outflows
  double* O1Limited = nullptr;  // out
  double* O2Limited = nullptr;  // out
  double* BLimited = nullptr;   // out
  double* qLimited = nullptr;   // out, 0..n
};

// Tracers of one cell.
struct TracerColumn {
  int count = 0;                         // n_t; tracers 1..n_t
  const int* mixed = nullptr;            // [t]: 1 mixes the saturated zone (kind flag)
  const double* capFactor = nullptr;     // [t]: phi_t
  const double* const* start = nullptr;  // [t][0..n] amounts at the start of the substep
  double* const* end = nullptr;          // [t][0..n] amounts after it (out)
  const double* river = nullptr;         // [t] concentration of the river water
  double inputWater = 0;                 // water of the input store (mm)
  double* groundwater = nullptr;         // [t] concentration in the groundwater (in/out; null without)
  double groundwaterStorage = 0;         // water of the groundwater below the column (mm)
  double* output = nullptr;              // [t] amount leaving the column downward (out)
  double* interflow = nullptr;           // [t] amount leaving with interflow (out)
  double* drainage = nullptr;            // [t] amount leaving with drainage and to rivers (out)
  // Optional: the water contents the start amounts belong to (those of the
  // start of the substep). With them a uniform concentration stays uniform;
  // without them the contents after the substep divide.
  const double* thetaStart = nullptr;
  // Scratch of levels 0 ... n: the water each store holds while the flows pass.
  double* water = nullptr;
  // Deepest layer boundary whose flux moved water in the substep (the water
  // update of the column reaches down to it); fluxes below it carry no
  // substance. Negative: every boundary down to the last layer.
  int lastFlux = -1;
  // Optional: the three amounts above before a mixed tracer turns them into
  // concentrations (null: not wanted).
  double* outputAmount = nullptr;
  double* interflowAmount = nullptr;
  double* drainageAmount = nullptr;
  // Optional: the part of drainageAmount that left with the drains alone (out).
  double* drainsAmount = nullptr;
};

// Limits the outflows of the layers 1..(g + 1, extended by river exchange)
// and, with tracers, moves their amounts. For mixed tracers the outputs
// become concentrations: output / infiltrationDepth, interflow / baseflow
// and drainage / drainageDivisor (0 where the divisor is not positive).
void LayerBalance(Column& c, int g, const BalanceArrays& w, TracerColumn* tracers, double dt, double drainageDivisor,
                  double infiltrationDepth);

}  // namespace uzk
