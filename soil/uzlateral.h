// Kernels that move water sideways into or out of one soil column: the
// exchange with a river crossing the cell and the infiltration through
// macropores. Arrays and signs as in uzkernels.h; rates in m/s over the cell.
#pragma once

#include "soil/uzkernels.h"

namespace uzk {

// River data of one cell for the lateral exchange.
struct RiverCell {
  double depth = 0;      // "river_depth": river bottom below the surface (m)
  double width = 0;      // "river_width" (m)
  double kolmation = 0;  // leakage coefficient of the river bed (1/s)
  // Record of the cell's river link in the river links table (16 doubles:
  // 1..8 tracer concentrations of the river water, 10 discharge m3/s, 11 flow
  // speed m/s, 13 discharge already taken in this step); null without a link.
  const double* record = nullptr;
  // The cells of a link share what it still carries in this call of the
  // soil model: `share` is this cell's part and `taken` what its earlier
  // substeps took, both as discharges over the whole time step of
  // `stepSeconds` (m3/s), so that the cells together never take more than
  // the river holds and no cell's result depends on the order of the others.
  double share = 0;
  double taken = 0;
  double stepSeconds = 0;
  int tracers = 0;        // number of tracers (at most 8)
  int lakeMode = 0;       // lake option of the module: 0 exchange, 1 not under a lake, else never
  bool lakeCell = false;  // the cell has a lake code
  double ponding = 0;     // "ponding_storage" (mm)
};

// Discharge (m3/s) the cell would take in from its river with the column as
// it stands (heads H, table layer g): kolmation x width x cell size x the
// head from the river's water surface down to the head below the bed; 0
// when the table lies above the bed, without a link or below a lake.
double RiverInflowDemand(const Column& c, const RiverCell& r, int g, const double* z, const double* H, const double* d);

// Inflow from the river A_i and outflow to it B_i per layer (m/s): river water
// infiltrates below the bed when the groundwater table lies below the river
// bottom (surface interaction 2, limited to the cell's share of the link),
// groundwater exfiltrates when the table lies above it. tracer[1..n_t] gets
// the river water's concentrations. inflowSum and outflowSum: the totals placed.
void LateralFlows(const Column& c, const RiverCell& r, double dt, int g, double* A, double* B, double* tracer,
                  const double* thetaSat, const double* thetaA, const double* thetaB, const double* z, const double* H,
                  const double* d, double& inflowSum, double& outflowSum);

// Puts the part of the input rate P (m/s, in/out) above the soil's
// "PMacroThresh" (at most "MacroCapacity") into the macropore layers from the
// deepest up, each up to saturation and its capacity. capacity[k] and
// macro[k] (m/s) per layer out; theta in/out. tau: the substep in
// milliseconds. Returns the water put into macropores in mm.
double MacroporeInfiltration(const Column& c, double& P, const double* d, double* capacity, const double* thetaSat,
                             double* theta, double* macro, double tau);

}  // namespace uzk
