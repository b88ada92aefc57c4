// Computation of the temperature-only pre-SpinUp of the soil: daily means of
// the air temperature summed into thawing and freezing degree days, the mean
// annual air temperature, and from them a steady soil temperature profile per
// cell: the temperature at the top of permafrost (TTOP) in a reference layer,
// the geothermal heat flux conducted downward and a straight line up to the
// mean air temperature at the surface.
#pragma once

#include <cstdint>

#include "soil/uzkernels.h"

class DiagStream;

namespace uzk {

// Error code of a pre-SpinUp that cannot run.
constexpr int kPreSpinUpError = 1040;
// Geothermal heat flux without a heat-flux lower boundary, W/m2.
constexpr double kGeothermalHeatFlux = 0.06;

// Days of the pre-SpinUp. A day ends with the step that completes its 1440
// minutes or, for a run that starts or ends in the middle of a day or has
// steps that do not divide the day, with the first step of the next date; so
// steps shorter than an hour (whose dates repeat the hour) are counted right.
struct PreSpinUpClock {
  int64_t year = 0, month = 0, day = 0;  // date of the day being summed; 0 before the first step
  long stepsOfDay = 0;
  double minutesOfDay = 0;
  long stepsTotal = 0;
};

// Which day sums a step closes: previous > 0 closes the day before this step
// (before its temperature is added) over that many steps; current > 0 closes
// the day with this step.
struct DayClosing {
  long previous = 0;
  long current = 0;
};

DayClosing AdvancePreSpinUpClock(PreSpinUpClock& clock, int64_t year, int64_t month, int64_t day, double stepMinutes);

// One cell of a pre-SpinUp step: daily and annual sums of the air temperature
// Ta; a closed day adds its mean to the thawing degree days (mean >= 0) or its
// magnitude to the freezing degree days.
void AccumulatePreSpinUpCell(const DayClosing& closing, double Ta, double& daily, double& annual, double& tdd,
                             double& fdd);

// Length of the pre-SpinUp in years; a period that is not positive (no step
// or a time step of 0) writes a FATAL entry and throws kPreSpinUpError.
double PreSpinUpPeriodYears(DiagStream& diag, long stepsTotal, double stepMinutes);

// Temperature at the top of permafrost (degrees Celsius) from the n-factors,
// the thawed and frozen conductivities, the degree days and the period P in years.
double TopOfPermafrostTemperature(double nThawing, double nFreezing, double lambdaThawed, double lambdaFrozen,
                                  double tdd, double fdd, double periodYears);

// The land-use entry's n-factor, or the default where it is below -9999.
inline double NFactorOrDefault(double value, double fallback) {
  return value < -9999 ? fallback : value;
}

// Reference layer: a third (at least 1) of the layers needed to reach 1 m.
int PreSpinUpReferenceLayer(const double* d, int n);

// Thawed (lambdaLiquid = lambda of water) or frozen (= lambda of ice)
// conductivity of layer i at the water content theta.
double PreSpinUpConductivity(const SoilConstants& sc, int i, double theta, double lambdaLiquid);

// Inputs of the profile of one cell.
struct PreSpinUpCell {
  double meanAirTemperature = 0;  // Tm
  double tdd = 0;
  double fdd = 0;
  double periodYears = 1;
  double nThawing = 1;
  double nFreezing = 1;
  double lambdaWater = 0.5562;
  double lambdaIce = 2.33;
  double heatFlux = kGeothermalHeatFlux;  // W/m2 into the column from below
};

// Soil temperature of layers 1..n (T out) from the thicknesses d, water
// contents theta and geodetic heights z (z_0 the surface, z_i the lower
// boundary of layer i). Returns TTOP.
double PreSpinUpProfile(const SoilConstants& sc, const PreSpinUpCell& cell, int n, const double* d, const double* theta,
                        const double* z, double* T);

}  // namespace uzk
