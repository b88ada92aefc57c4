// Temperature pre-SpinUp computation; see uzprespinup.h.
#include "soil/uzprespinup.h"

#include <algorithm>
#include <cmath>

#include "framework/diagstream.h"

namespace uzk {

DayClosing AdvancePreSpinUpClock(PreSpinUpClock& clock, int64_t year, int64_t month, int64_t day, double stepMinutes) {
  DayClosing closing;
  const bool sameDay = clock.year == year && clock.month == month && clock.day == day;
  if (!sameDay) {
    closing.previous = clock.stepsOfDay;
    clock.year = year;
    clock.month = month;
    clock.day = day;
    clock.stepsOfDay = 0;
    clock.minutesOfDay = 0;
  }
  ++clock.stepsOfDay;
  ++clock.stepsTotal;
  clock.minutesOfDay += stepMinutes;
  // Half a minute of slack against rounding of step lengths that divide the day.
  if (stepMinutes > 0 && clock.minutesOfDay >= 1440.0 - 0.5) {
    closing.current = clock.stepsOfDay;
    clock.stepsOfDay = 0;
    clock.minutesOfDay = 0;
  }
  return closing;
}

namespace {
void CloseDay(double& daily, long steps, double& tdd, double& fdd) {
  const double mean = daily / static_cast<double>(steps);
  if (mean >= 0)
    tdd += mean;
  else
    fdd -= mean;
  daily = 0;
}
}  // namespace

void AccumulatePreSpinUpCell(const DayClosing& closing, double Ta, double& daily, double& annual, double& tdd,
                             double& fdd) {
  if (closing.previous > 0) CloseDay(daily, closing.previous, tdd, fdd);
  daily += Ta;
  annual += Ta;
  if (closing.current > 0) CloseDay(daily, closing.current, tdd, fdd);
}

double PreSpinUpPeriodYears(DiagStream& diag, long stepsTotal, double stepMinutes) {
  const double years = static_cast<double>(stepsTotal) * stepMinutes / 525600.0;
  if (!(years > 0)) {
    diag << "FATAL: the pre-SpinUp covers no time: " << stepsTotal << " steps of " << stepMinutes
         << " minutes give a period of 0 years; the soil temperatures cannot be derived from it.[end-entry]";
    throw kPreSpinUpError;
  }
  return years;
}

double TopOfPermafrostTemperature(double nThawing, double nFreezing, double lambdaThawed, double lambdaFrozen,
                                  double tdd, double fdd, double periodYears) {
  return (nThawing * lambdaThawed * tdd - nFreezing * lambdaFrozen * fdd) / (lambdaFrozen * periodYears * 365.0);
}

int PreSpinUpReferenceLayer(const double* d, int n) {
  int c = 0;
  double depth = 0;
  while (c < n && depth < 1.0) depth += d[++c];
  return std::max(1, c / 3);
}

double PreSpinUpConductivity(const SoilConstants& sc, int i, double theta, double lambdaLiquid) {
  const double ts = sc.soil->theta_sat[i];
  const double a = 1.0 - ts;
  const double s = theta + a;
  return s * std::pow(sc.lambdaSolid[i], a / s) * std::pow(lambdaLiquid, theta / s) + (ts - theta) * kLambdaAir;
}

double PreSpinUpProfile(const SoilConstants& sc, const PreSpinUpCell& cell, int n, const double* d, const double* theta,
                        const double* z, double* T) {
  if (n < 1) return 0.0;
  const int r = std::min(PreSpinUpReferenceLayer(d, n), n);
  auto thawed = [&](int i) { return PreSpinUpConductivity(sc, i, theta[i], cell.lambdaWater); };
  auto frozen = [&](int i) { return PreSpinUpConductivity(sc, i, theta[i], cell.lambdaIce); };
  const double ttop = TopOfPermafrostTemperature(cell.nThawing, cell.nFreezing, thawed(r), frozen(r), cell.tdd,
                                                 cell.fdd, cell.periodYears);
  const double Q = cell.heatFlux;
  if (ttop < 0) {
    // Permafrost: TTOP in the reference layer, conduction downward, a straight
    // line from the mean air temperature at the surface down to it.
    T[r] = ttop;
    for (int k = r + 1; k <= n; ++k) T[k] = T[k - 1] + d[k] * Q / (T[k - 1] > 0 ? thawed(k) : frozen(k));
    const double zr = (z[r - 1] + z[r]) / 2.0;
    for (int k = r - 1; k >= 1; --k) {
      const double zk = (z[k - 1] + z[k]) / 2.0;
      T[k] = zr == z[0] ? cell.meanAirTemperature
                        : cell.meanAirTemperature * (zr - zk) / (zr - z[0]) + ttop * (zk - z[0]) / (zr - z[0]);
    }
  } else {
    T[1] = cell.meanAirTemperature;
    for (int k = 2; k <= n; ++k) T[k] = T[k - 1] + d[k] * Q / thawed(k);
  }
  return ttop;
}

}  // namespace uzk
