// Dynamic phenology: one day of forcing and chilling sums, forcing thresholds,
// start days of the season and of leaf fall, per own cell and vegetation layer.
//
// Temperatures are the day's mean (TemperatureAVG). The start days of the
// methods with several starts live in the layer's "MultipleStartTimes" stack,
// levels 1 ... n of an entry with n fixpoints; level 0 holds the forcing
// threshold of the current start. Writes stay within levels 1 ... n of the
// cell's entry, so within the stack of nmax + 1 levels.
#include <algorithm>
#include <cmath>

#include "parameters/landuseparametergrids.h"

namespace {

// Temperature-sum rate of the forcing above the base temperature.
double SigmoidRate(double t, double base) {
  if (!(t > base)) return 0.0;
  return 28.4 / (1.0 + std::exp(-0.185 * ((t - base) - 18.4)));
}

// Chilling units of a day: a triangle rising from offset 1 to 1 at the
// chilling base temperature and falling to 0 at offset 2.
double ChillingUnits(double t, double base, double offset1, double offset2) {
  if (offset1 < t && t <= base && t < offset2) return (t - offset1) / (base - offset1);
  if (base < t && t < offset2) return (t - offset2) / (base - offset2);
  return 0.0;
}

// Fixpoint of the next start: the first whose start day is not yet passed,
// or the last of the entry's fixpoints.
int StartPosition(const double* L, int n, int dayOfYear, double nodata) {
  int p = 1;
  while (p < n && L[p] > 0 && L[p] < dayOfYear && L[p + 1] > nodata + 1) ++p;
  return p;
}

}  // namespace

double landuseparametergrids::StressScaled(const landuse_table_entry& e, int row, int column, double rate) const {
  if (!(e.StressFactorDynPhen > 0)) return rate;
  double w = 0.0;
  if (rootZoneSuction && rootZoneSuction[row]) {
    const double theta = rootZoneSuction[row][column];
    // A limit of 150 or more leaves no range to scale over.
    if (theta > nodata && theta >= e.HReduDry && e.HReduDry < 150.0) w = (theta - e.HReduDry) / (150.0 - e.HReduDry);
  }
  return rate * (1.0 + e.StressFactorDynPhen * w);
}

void landuseparametergrids::ComputeForcingUnits(int dayOfYear, int requestedLayers) {
  if (!phenology) return;
  const int layers = std::min(requestedLayers, layerCount);
  // The dormancy window opens: from now on the chilling sum decides the threshold.
  for (int i = 1; i <= tableCount; ++i) {
    landuse_table_entry& e = table[i];
    if ((e.method == landuse_table_entry::kDynPhen2 && dayOfYear == e.DP2_t0_dorm) ||
        (e.method == landuse_table_entry::kDynPhen4 && dayOfYear == e.DP4_t0_dorm))
      e.SetUseForcingOnly(0);
  }
  for (int r = firstrow; r <= lastrow; ++r) {
    int c1 = 1, c2 = 0;
    OwnColumns(r, c1, c2);
    for (int c = c1; c <= c2; ++c) {
      if (!Valid(r, c)) continue;
      for (int k = 1; k <= layers; ++k) {
        const int i = EntryIndex(k, r, c);
        if (i == 0) continue;
        PhenologyCell(table[i], k, r, c, dayOfYear);
      }
    }
  }
}

void landuseparametergrids::PhenologyCell(landuse_table_entry& e, int k, int r, int c, int d) {
  const int method = e.method;
  if (method < landuse_table_entry::kDynPhen1 || method > landuse_table_entry::kDynPhen4) return;
  const double T = temperatureAvg[r][c];
  const bool haveT = T > nodata;  // a day without temperature adds no units
  double& forcing = grids[kForcingSum][k][r][c];
  double& start = grids[kPhenoStart][k][r][c];
  double& chilling = grids[kChillingSum][k][r][c];
  double& threshold = grids[kForcingThreshold][k][r][c];
  double* L = multipleStarts && startTimes[k] ? startTimes[k][r][c] : nullptr;
  const int n = e.JulDaysCount;

  const bool forcingOnly =
      method == landuse_table_entry::kDynPhen1 ||
      ((method == landuse_table_entry::kDynPhen2 || method == landuse_table_entry::kDynPhen4) && e.useForcingOnly);
  if (forcingOnly) {
    if (start < 0 && d >= e.DP1_t1_dorm) {
      if (haveT) forcing += StressScaled(e, r, c, SigmoidRate(T, e.DP1_T_Bf));
      if (forcing > e.FStar) {
        start = d;
        if (method == landuse_table_entry::kDynPhen4 && L) {
          const int p = StartPosition(L, n, d, nodata);
          L[p] = d;
          if (p + 1 <= n) L[p + 1] = e.GetJulDay(p + 1) + d;
        }
      }
    }
    if (d == e.JDReset_TStart) {
      forcing = 0.0;
      start = -1.0;
      if (leafFall) leafFall[r][c] = 0.0;
      if (L)
        for (int i = 1; i <= n; ++i) L[i] = e.GetJulDay(i);
    }
    return;
  }

  if (method == landuse_table_entry::kDynPhen2) {
    const int t0 = e.DP2_t0_dorm;
    const int t1 = e.DP2_t1_dorm;
    if (start < 0 && d >= t1) {
      if (haveT) forcing += StressScaled(e, r, c, SigmoidRate(T, e.DP2_T_Bf));
      if (forcing > threshold) start = d;
    }
    if ((d >= t0 || d < t1) && haveT) chilling += ChillingUnits(T, e.DP2_T_Bc, e.DP2_Offset_1, e.DP2_Offset_2);
    if (d == e.JDReset_TStart) {
      forcing = 0.0;
      start = -1.0;
    }
    if (d == t0 - 1) chilling = 0.0;
    if (d == t1 - 1) threshold = e.DP2_Par_a * std::exp(e.DP2_Par_b * chilling);
    return;
  }

  if (method == landuse_table_entry::kDynPhen3) {
    if (!L) return;
    const int p = StartPosition(L, n, d, nodata);
    if (d >= e.GetJulDay(p) && e.GetForcingThreshold(p) > 0) {
      L[p] = e.GetJulDay(p);
      L[0] = e.GetForcingThreshold(p);
    }
    const double rate = haveT && T > e.DP1_T_Bf ? T - e.DP1_T_Bf : 0.0;
    forcing += StressScaled(e, r, c, rate);
    // A start whose threshold is reached starts on this day ("reached" includes equality here).
    if (L[p] < 0 && forcing >= e.GetForcingThreshold(p)) {
      L[p] = d;
      L[0] = e.GetForcingThreshold(p);
    }
    if (d == 1) {
      forcing = 0.0;
      L[0] = 0.0;
      for (int i = 1; i <= n; ++i) L[i] = e.GetForcingThreshold(i) < 0 || e.GetJulDay(i) < 2 ? e.GetJulDay(i) : -1.0;
    }
    return;
  }

  // DynamicPhenology_4: chilling days, a logarithmic threshold, leaf fall.
  const int t0 = e.DP4_t0_dorm;
  const int t1 = e.DP4_t1_dorm;
  if (start < 0 && d >= t1) {
    const int p = L ? StartPosition(L, n, d, nodata) : 1;
    const double rate = haveT && T >= e.DP4_T1 ? T - e.DP4_T1 : 0.0;
    forcing += StressScaled(e, r, c, rate);
    if (forcing > threshold) {
      start = d;
      if (L) {
        L[p] = d;
        if (p + 1 <= n) L[p + 1] = e.GetJulDay(p + 1) + d;
      }
    }
  }
  if ((d >= t0 || start < 0) && haveT && T <= e.DP4_T0) chilling += 1.0;
  if (d == e.JDReset_TStart) {
    forcing = 0.0;
    start = -1.0;
    if (leafFall) leafFall[r][c] = 0.0;
    if (L)
      for (int i = 1; i <= n; ++i) L[i] = e.GetJulDay(i);
  }
  if (d == t0 - 1) chilling = 0.0;
  if (d >= t1 - 1 && start < 0) threshold = chilling > 0 ? e.DP4_Par_a + e.DP4_Par_b * std::log(chilling) : e.DP4_Par_a;

  if (leafFall && d >= e.DP4_t_xs1 && leafFall[r][c] <= 0 && start > 0) {
    double& coldDays = movingStack[r][c][0];
    const double mean = movingMean[r][c];
    if (mean > nodata && e.DP4_T_xylstop > mean)
      coldDays += 1.0;
    else
      coldDays = 0.0;
    const int s = e.DP4_SPSLF;
    // The reader refuses a negative fixpoint of leaf fall.
    if (s < 0) return;
    const bool begins = coldDays >= 5.0 || s > n || d >= e.GetJulDay(s);
    if (!begins) return;
    if (s <= n && L) {
      if (s + 1 <= n) L[s + 1] += d - L[s];
      L[s] = d;
      for (int i = 1; i <= s - 1; ++i)
        if (L[i] > d || L[i] < 0 || L[i] < L[i - 1]) L[i] = d - 1;
    }
    leafFall[r][c] = d;
  }
}
