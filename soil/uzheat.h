// Soil heat transport of one column: thermal conductivity from water, ice and
// air, the latent-heat term of freezing, conductive fluxes with the n-factor at
// the surface, explicit rates and update with an overshoot limiter, and an
// implicit (tridiagonal) step that can also carry heat with the water.
//
// Arrays are indexed by layer 1..n; temperatures in degrees Celsius, heat
// fluxes G_i across the lower boundary of layer i in W/m2, positive upward
// (G_0 across the surface), conductivities in W/(m K), volumetric heat
// capacities in J/(m3 K), thicknesses in m.
#pragma once

#include "soil/uzkernels.h"

namespace uzk {

// Volumetric heat capacity of water used for the heat carried by water, J/(m3 K).
constexpr double kHeatCapacityWater = 4.187e6;

// Conductivity per layer from the porosity theta_s, the water content theta
// and its liquid share u (1 = no ice): the geometric mean of solids, water and
// ice plus the air term for an unsaturated layer (air content >= 0.01), the
// saturated form (cached powers of the soil type) otherwise.
void ThermalConductivity(double* lambda, const SoilConstants& sc, int n, const double* u, const double* theta,
                         double lambdaWater, double lambdaIce);

// X_i scaled by the water frozen in the layer: X_i * (before - after) * L * rho_w
// where the water content fell, else 0.
void LatentHeatTerm(const double* before, const double* after, double* X, int n, double latentHeat, double rhoWater);

// Conductive fluxes G_0..G_n: the surface at nFactor * Ts, the lower boundary at Tb.
void HeatFluxes(double* G, const double* lambda, const double* d, const double* T, int n, double Tb, double Ts,
                double nFactor);

// Temperature change of each layer over a substep of dt whole seconds.
void TemperatureRates(double* rate, const double* G, const double* Cv, const double* d, int n, long dt);

// Explicit update T_i += rate_i from the bottom up. With the limiter no layer
// overshoots the neighbour temperatures of the start of the substep (Tbefore;
// Tb below layer n, Ts above layer 1) in the direction the heat flows.
void UpdateTemperatures(double* T, const double* Tbefore, const double* rate, const double* G, int n, bool limiter,
                        double Tb, double Ts);

// Inputs of the implicit step at one cell.
struct HeatCell {
  int method = 11;                // heat method: above 10 implicit, from 12 on heat carried by water
  double airTemperature = 0;      // Ta
  double nFactor = 1;             // surface n-factor
  bool snowOnGround = false;      // "snowstorage_solid" > 0: water enters at 0 degrees
  double lowerTemperature = 0;    // "T_Lower_Boundary_Condition"
  bool heatFluxBoundary = false;  // lower boundary given as a heat flux
  double heatFlux = 0;            // "HeatFlux_Lower_Boundary_Condition", W/m2 (positive upward)
  mutable bool fpe = false;       // set when a step gave a temperature that is not finite
};

// One implicit substep of dt seconds; T (in/out) gets the new temperatures.
// a, b, cc, r: work arrays of n + 1 values (sub-, main and super-diagonal and
// right-hand side). With method 12 or more, heat is carried by water:
// w_i (m/s) is water entering layer i directly, negative when it enters (the
// sign of a flux positive upward; infiltration into layer 1, macropore water
// deeper), at the air temperature (0 under snow; the lower boundary
// temperature in layer n); f[0..n] are the vertical water fluxes across the
// layer boundaries, positive upward: f[i] across the lower boundary of layer
// i, so f[i-1] at the upper and f[i] at the lower side of layer i, f[0] the
// surface (entering at the surface temperature) and f[n] the flux from
// below the column. Water entering a layer brings the temperature of the
// layer (or boundary) it comes from; water leaving takes the layer's own
// temperature and so changes nothing.
void ImplicitHeatStep(const HeatCell& h, const double* lambda, const double* Cv, const double* d, double* T, int n,
                      double* a, double* b, double* cc, double* r, const double* w, const double* f, double dt);

}  // namespace uzk
