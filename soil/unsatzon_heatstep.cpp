// Soil temperatures in the column solve: the number of heat substeps of a
// cell, the heat substeps after each water substep, and the freezing
// temperatures and thaw depth at the end of the step.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "parameters/landuse_table_entry.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"
#include "soil/unsatzon_work.h"
#include "soil/uzheat.h"

namespace {
double Cell(Grid g, int r, int c, double otherwise) {
  return g && g[r] && g[r][c] > kNodata ? g[r][c] : otherwise;
}
}  // namespace

// Unfrozen share, conductivity, latent-heat term and heat capacity of the
// current temperatures and water contents.
static void ThermalState(unsatzonmodellklasse::CellWork& w, const soil_table_entry& soil, double lamWat, double lamIce,
                         double latent, double rhoWater, double cWater, double cIce0, double cIce20) {
  const int n = w.n;
  soil.GetLayerValuesBySaturation2(w.unfrozen.data(), w.T.data(), w.theta.data());
  uzk::ThermalConductivity(w.lambda.data(), *w.col.constants, n, w.unfrozen.data(), w.theta.data(), lamWat, lamIce);
  // Apparent heat capacity of freezing: the slope of the unfrozen share with
  // temperature times the latent heat of the liquid water.
  soil.GetLayerValuesBySaturation(w.X.data(), w.T.data(), w.theta.data());
  for (int i = 1; i <= n; ++i) {
    const double liquid = w.theta[i] - w.tr[i];
    w.X[i] = liquid > 0 ? liquid * latent * rhoWater * w.X[i] : 0.0;
  }
  soil.GetThermalParameters(w.T.data(), w.Cv.data(), w.unfrozen.data(), w.X.data(), w.theta.data(), rhoWater, cWater,
                            cIce0, cIce20);
}

// Longest heat substep of a freezing or frozen column (s).
constexpr double kFreezingHeatStep = 300.0;

void unsatzonmodellklasse::HeatSetup(CellWork& w, int r, int c) {
  const int n = w.n;
  const soil_table_entry& soil = *w.col.soil;
  for (int i = 1; i <= n; ++i) w.T[i] = w.Tstart[i] = Soil_Temperature_Stack[r][c][i];
  w.airT = Cell(air_temperature, r, c, 0.0);
  w.lowerT = Cell(T_Lower_Boundary_Condition, r, c, dTModLowBoundBase);
  // Surface n-factor of the land use of the first vegetation layer: its
  // n-factor series at the date, else its value for freezing or thawing air,
  // else the section's.
  double nf = -99999;
  const int lu = landuse.size() > 1 ? static_cast<int>(Cell(landuse[1], r, c, 0)) : 0;
  if (landusetable && lu >= 1 && lu <= landusetable[0].code) {
    const landuse_table_entry& e = landusetable[lu];
    const int points = e.GetJulDaysCount();
    if (points >= 1 && static_cast<int>(e.n_factor.size()) > points)
      nf =
          e.GetNFactorAtDate(*diag, static_cast<int>(stepday), static_cast<int>(stepmonth), static_cast<int>(stepyear));
    if (!(nf > -9999)) nf = w.airT < 0 ? e.GetNfFreezing() : e.GetNfThawing();
  }
  if (!(nf > -9999)) nf = w.airT < 0 ? dTModNFactorFreezing : dTModNFactorThawing;
  w.nFactor = nf;
  w.surfaceT = w.airT * nf;

  ThermalState(w, soil, dTModLamWat, dTModLamIce, dTModLatHeat, dTModRhoWater, dTModCWater, dTModCIce0, dTModCIce20);
  uzk::HeatFluxes(w.G.data(), w.lambda.data(), w.d.data(), w.T.data(), n, w.lowerT, w.airT, nf);
  const double step = timeinterval * 60.0;
  uzk::TemperatureRates(w.rate.data(), w.G.data(), w.Cv.data(), w.d.data(), n, static_cast<long>(step));
  for (int i = 1; i <= n; ++i) w.Tscratch[i] = w.T[i];
  uzk::UpdateTemperatures(w.Tscratch.data(), w.T.data(), w.rate.data(), w.G.data(), n, true, w.lowerT, w.surfaceT);

  // Heat substeps of the step: short enough for the surface forcing and not
  // longer than the longest heat step.
  int m = 1;
  while ((std::fabs(w.airT - w.T[1]) * 0.25 * m < std::fabs(w.rate[1]) && step / m > dTModShortestStep) ||
         step / m > dTModLongestStep)
    ++m;
  // A column that holds ice, or whose air freezes, takes heat substeps of
  // at most kFreezingHeatStep within the call: over a longer one the latent
  // heat taken at the substep's start temperatures moves the freezing front
  // and the water drawn to it with the substep's length (24 mm of rain on a
  // sandy loam after five days at -8 deg C: a capillary rise of 3.05 mm
  // with heat substeps of 900 s, 1.65 with those of 450, 300 and 225 s).
  bool freezing = w.airT < 0;
  for (int i = 1; i <= n && !freezing; ++i) freezing = w.unfrozen[i] < 1.0;
  const double call = step / substeps;
  if (freezing && call / m > kFreezingHeatStep) m = static_cast<int>(std::ceil(call / kFreezingHeatStep - 1e-9));
  int k = w.k;
  w.heatPerWater = CoupleHeatSubsteps(k, m);
  w.k = k;
  w.m = m;
  w.dth = timeinterval * 60.0 / substeps / m;
}

int unsatzonmodellklasse::CoupleHeatSubsteps(int& k, int& m) {
  if (2 * k < m) {
    m = (m / k + 1) * k;
    return m / k;
  }
  if (m <= k)
    m = k;
  else
    k = m;
  return 1;
}

// The latent heat of the ice a heat substep made or melted. The substep
// takes the heat capacity of freezing at its start temperatures (the slope
// of the unfrozen share there, X): a layer that crosses much of its freezing
// range within the substep, or starts above freezing and ends below, gets
// another latent heat than its ice content changes by, and the freezing
// front moves with the length of the substep. Each layer's new temperature
// is moved to where its sensible heat and the latent heat of its liquid
// water change by the heat the substep brought, (Cv)(T1 - T0) with X in Cv
// (a few Newton steps on the layer's own temperature, with the slope of the
// unfrozen share at the current one). T0: the start temperatures; the
// unfrozen share, Cv and X of the start are w's.
static void KeepLatentHeat(unsatzonmodellklasse::CellWork& w, const soil_table_entry& soil, const double* T0,
                           double latent, double rhoWater) {
  const int n = w.n;
  double* brought = w.hb.data();
  double* unfrozen = w.hc.data();
  double* slope = w.hr.data();
  bool frozen = false;
  for (int i = 1; i <= n; ++i) {
    brought[i] = w.Cv[i] * (w.T[i] - T0[i]);
    frozen = frozen || w.unfrozen[i] < 1.0 || w.T[i] < 0.0;
  }
  if (!frozen) return;
  for (int pass = 0; pass < 4; ++pass) {
    soil.GetLayerValuesBySaturation2(unfrozen, w.T.data(), w.theta.data());
    soil.GetLayerValuesBySaturation(slope, w.T.data(), w.theta.data());
    double largest = 0;
    for (int i = 1; i <= n; ++i) {
      const double water = latent * rhoWater * w.theta[i];
      const double sensible = w.Cv[i] - w.X[i];
      const double f = sensible * (w.T[i] - T0[i]) + water * (unfrozen[i] - w.unfrozen[i]) - brought[i];
      const double step = f / (sensible + water * slope[i]);
      if (!std::isfinite(step) || !(sensible > 0)) continue;
      w.T[i] -= step;
      largest = std::max(largest, std::fabs(step));
    }
    if (largest < 1e-6) break;
  }
}

void unsatzonmodellklasse::HeatSubsteps(CellWork& w, int r, int c) {
  (void)r;
  (void)c;
  const int n = w.n;
  const soil_table_entry& soil = *w.col.soil;
  double* T0 = w.Tscratch.data();
  for (int s = 0; s < w.heatPerWater; ++s) {
    ThermalState(w, soil, dTModLamWat, dTModLamIce, dTModLatHeat, dTModRhoWater, dTModCWater, dTModCIce0, dTModCIce20);
    for (int i = 1; i <= n; ++i) T0[i] = w.T[i];
    if (heat_transfer_method <= 10) {
      uzk::HeatFluxes(w.G.data(), w.lambda.data(), w.d.data(), w.T.data(), n, w.lowerT, w.airT, w.nFactor);
      uzk::TemperatureRates(w.rate.data(), w.G.data(), w.Cv.data(), w.d.data(), n, static_cast<long>(w.dth));
      uzk::UpdateTemperatures(w.T.data(), w.Tstart.data(), w.rate.data(), w.G.data(), n, true, w.lowerT, w.surfaceT);
    } else {
      uzk::HeatCell h;
      h.method = heat_transfer_method;
      h.airTemperature = w.airT;
      h.nFactor = w.nFactor;
      h.snowOnGround = snowstorage_solid && Cell(snowstorage_solid, r, c, 0) > 0;
      h.lowerTemperature = w.lowerT;
      h.heatFluxBoundary = heat_flux_lower_boundary != 0;
      h.heatFlux = Cell(HeatFlux_Lower_Boundary_Condition, r, c, 0);
      // Water of the substep carries heat from method 12 on: the fluxes
      // between the layers, and the water entering directly at the
      // temperature of the water that arrives: the infiltration into layer 1
      // and the macropore water into the layers it reaches.
      for (int i = 0; i <= n + 1; ++i) {
        w.hw[i] = i >= 1 && i <= n ? -w.macro[i] : 0.0;
        w.hf[i] = i >= 1 && i <= n ? w.q[i] : 0.0;
      }
      if (n >= 1 && w.q[0] < 0) w.hw[1] += w.q[0];
      uzk::ImplicitHeatStep(h, w.lambda.data(), w.Cv.data(), w.d.data(), w.T.data(), n, w.ha.data(), w.hb.data(),
                            w.hc.data(), w.hr.data(), w.hw.data(), w.hf.data(), w.dth);
      if (h.fpe) w.col.fpe = true;
    }
    KeepLatentHeat(w, soil, T0, dTModLatHeat, dTModRhoWater);
    for (int i = 1; i <= n; ++i) w.Tstart[i] = w.T[i];
  }
}

void unsatzonmodellklasse::HeatResults(CellWork& w, int r, int c) {
  const int n = w.n;
  const soil_table_entry& soil = *w.col.soil;
  for (int i = 1; i <= n; ++i) Soil_Temperature_Stack[r][c][i] = w.T[i];
  // Freezing temperature of a layer: where its unfrozen share falls to dTModSEForStat.
  for (int i = 1; i <= n; ++i) {
    const std::vector<double>& table = soil.FineSaturationTable(i);
    const int L = static_cast<int>(table.size()) - 1;
    int k = 1;
    if (L >= 2 && !(table[1] <= dTModSEForStat)) {
      k = L;
      for (int j = 2; j <= L; ++j)
        if (table[j] <= dTModSEForStat) {
          k = j;
          break;
        }
    }
    w.hw[i] = L > 0 ? -k / (L / 10.0) : 0.0;
  }
  double thaw = 0;
  for (int i = 1; i < n; ++i) {
    const double Tf = w.hw[i];
    if (w.T[i + 1] <= Tf && Tf < w.T[i]) {
      const double ci = (w.z[i - 1] + w.z[i]) / 2;
      const double cj = (w.z[i] + w.z[i + 1]) / 2;
      const double height = ci + (Tf - w.T[i]) * (cj - ci) / (w.T[i + 1] - w.T[i]);
      thaw = height - w.z[0];
    }
  }
  if (w.T[n] > w.hw[n] && w.lowerT <= w.hw[n]) thaw = w.z[n] - w.z[0];
  ThawDepthTMod[r][c] = thaw;
  if (frozenSoilInGroundwater && groundwatercoupling) {
    double frozen = 0;
    for (int i = 1; i <= n; ++i)
      if (w.z[i] - w.z[0] < thaw && w.T[i] <= w.hw[i] && i >= w.col.g) frozen += w.d[i];
    frozenSoilInGroundwater[r][c] = frozen;
  }
}
