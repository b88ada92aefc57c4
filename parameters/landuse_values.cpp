// Values of a land-use entry at a day: day of year, altitude correction of
// the fixpoints, interpolation between fixpoints with wrap over the year end,
// per-cell fixpoints of the dynamic-phenology methods, monthly values of old
// rows and the vegetation period for balances.
#include <cmath>
#include <vector>

#include "framework/diagstream.h"
#include "framework/types.h"
#include "parameters/landuse_table_entry.h"

namespace {

// Altitude-corrected fixpoint days of one call; fixpoint lists are short, so
// the days normally stay on the stack.
class FixpointBuffer {
 public:
  explicit FixpointBuffer(int n) {
    if (n + 1 > kLocal) heap.resize(static_cast<size_t>(n) + 1);
  }
  int* data() { return heap.empty() ? local : heap.data(); }

 private:
  static constexpr int kLocal = 64;
  int local[kLocal];
  std::vector<int> heap;
};

double Interpolate(double y0, double y1, double x0, double x1, double x) {
  if (x1 == x0) return y0;
  return y0 * (x1 - x) / (x1 - x0) + y1 * (x - x0) / (x1 - x0);
}

}  // namespace

int landuse_table_entry::MonthLength(int month) const {
  if (month == 2) return februaryLength.load(std::memory_order_relaxed);
  if (month == 0) return 31;
  return DaysInMonth(2001, month);
}

void landuse_table_entry::SetFebruary(int year) const {
  // Every cell of every thread asks for the same year: writing only a new
  // length keeps the entry's cache line shared among the threads.
  const int length = DaysInMonth(year, 2);
  if (februaryLength.load(std::memory_order_relaxed) != length) februaryLength.store(length, std::memory_order_relaxed);
}

int landuse_table_entry::GetJulianDay(int day, int month, int year) const {
  SetFebruary(year);
  const int d = DayOfYear(year, month, day);
  if (d > 366 || d < 0) throw 150;
  return d;
}

const std::vector<double>& landuse_table_entry::SeriesOf(Series which) const {
  switch (which) {
    case Series::Rsc:
      return rsc;
    case Series::RsInterception:
      return rs_interception;
    case Series::RsEvaporation:
      return rs_evaporation;
    case Series::Z0:
      return Z0;
    case Series::LAI:
      return LAI;
    case Series::VCF:
      return VCF;
    case Series::Albedo:
      return Albedo;
    case Series::RootDepth:
      return RootDepth;
    case Series::StemDiameter:
      return SR_StemDiameter;
    case Series::ResidCovrg:
      break;
  }
  return SR_ResidCovrg;
}

const double* landuse_table_entry::CellFixpoints(int layer, int row, int column) const {
  if (!MultipleStartTimesStacks || (method != kDynPhen3 && method != kDynPhen4)) return nullptr;
  const Stack stack = MultipleStartTimesStacks[layer];
  return stack ? stack[row][column] : nullptr;
}

int landuse_table_entry::CellStartDay(int layer, int row, int column) const {
  if (!PhenoStartGrids || !PhenoStartGrids[layer]) return -1;
  const double start = PhenoStartGrids[layer][row][column];
  // Keeps the conversion defined for any stored value; the range check of
  // the corrected fixpoints reports values outside the year.
  if (!(start > -1e6)) return -1000000;
  if (start > 1e6) return 1000000;
  return static_cast<int>(start);
}

void landuse_table_entry::CorrectFixpoints(DiagStream& stream, int startDay, double altitude, int* corrected, int row,
                                           int column) const {
  const int n = JulDaysCount;
  const int k = PhenoFixpointIndex;
  const bool phenology = UsesPhenologyStart() && k >= 1 && k < n;
  for (int i = 1; i <= n; ++i) {
    double day = JulDays[i] + std::trunc(AltDep[i] * (altitude - 400.0));
    if (phenology && i == k) day = startDay;
    if (phenology && i == k + 1) day = static_cast<double>(startDay) + JulDays[k + 1];
    if (!(day >= -1.0 && day <= 366.0)) {
#pragma omp critical
      {
        stream << "FATAL: \n---ERROR--\naltitude correction resulted in a Julian day of " << day << " for fix point "
               << i << " (JD should be between 1 and 366)"
               << "\nland use code " << code << ", altitude " << altitude << " m";
        if (!sourceLines.empty())
          stream << "\nthe entry of land use " << code << " (" << sourceLines.c_str() << "): JulDays " << JulDays[i]
                 << " + AltDep " << AltDep[i] << " per m x (" << altitude << " m - 400 m) moves fix point " << i
                 << " out of the year";
        if (row > 0) stream << " in the cell of row " << row << ", column " << column;
        if (altitude <= -9999) {
          // Where the hole is and what the correction needs.
          stream << "\nthe cell has no elevation: the elevation model";
          if (!ElevationModelName().empty()) stream << " " << ElevationModelName().c_str();
          stream << " is missing (NODATA)";
          if (row > 0) stream << " in row " << row << ", column " << column << ",";
          stream << " a cell inside the basin of the zone grid; the altitude correction (AltDep) of land use " << code
                 << " needs the elevation of every cell of that land use";
        }
        stream << "[end-entry]";
      }
      throw 152;
    }
    corrected[i] = static_cast<int>(day);
  }
  corrected[0] = JulDays[n] - 366;
}

int landuse_table_entry::SearchFixpoint(DiagStream& stream, int julianDay, int startDay, double altitude,
                                        int* corrected, int row, int column) const {
  const int n = JulDaysCount;
  if (n < 1) {
#pragma omp critical
    stream << "FATAL: Julian-day-fixpoint at " << 1 << " is outside of the allowed range of " << 1 << " to " << n + 1
           << "\nland use code " << code << " has no fixpoint days"
           << "[end-entry]";
    throw 151;
  }
  CorrectFixpoints(stream, startDay, altitude, corrected, row, column);
  if (corrected[1] < 0 || julianDay <= corrected[1]) return 1;
  int i = 2;
  while (i <= n && corrected[i] >= 0 && corrected[i] < julianDay) ++i;
  return i;
}

void landuse_table_entry::ApplyAltitudeCorrection(DiagStream& stream, int startDay, double altitude) {
  if (JulDaysCount < 1) return;
  CorrectedJulDays.resize(static_cast<size_t>(JulDaysCount) + 1);
  CorrectFixpoints(stream, startDay, altitude, CorrectedJulDays.data());
}

int landuse_table_entry::FindFixpointIndex(DiagStream& stream, int julianDay, int startDay, double altitude) {
  CorrectedJulDays.resize(static_cast<size_t>(JulDaysCount) + 1);
  return SearchFixpoint(stream, julianDay, startDay, altitude, CorrectedJulDays.data());
}

double landuse_table_entry::SeriesAtJulianDay(Series which, DiagStream& stream, int julianDay, int layer, int row,
                                              int column, double altitude) const {
  const std::vector<double>& S = SeriesOf(which);
  const bool monthly = which == Series::Rsc || which == Series::RsInterception || which == Series::RsEvaporation;
  if (method <= kOldRow && monthly) return MonthlyFromJulianDay(S, julianDay);
  const int n = JulDaysCount;

  if (const double* P = CellFixpoints(layer, row, column)) {
    // Per-cell fixpoint days of the phenology: no altitude correction, no
    // wrap over the year end and no hold before the start.
    const double d = julianDay;
    int i = 1;
    if (!(d < P[1] || n <= 1 || P[1] <= 0)) {
      for (i = 2; !(d < P[i] || i == n || P[i] <= 0); ++i) {
      }
    }
    if (method == kDynPhen3 && ForcingSumGrids && ForcingSumGrids[layer] && ForcingThreshold[i] > 0) {
      // Between the start of fixpoint i-1 and the forcing threshold of
      // fixpoint i the value follows the forcing sum, not the day (without
      // forcing sums the day decides).
      const double F = ForcingSumGrids[layer][row][column];
      const double T = ForcingThreshold[i];
      const double s = T - P[0];
      if (s == 0) return S[i - 1];
      return S[i - 1] * (T - F) / s + S[i] * (F - P[0]) / s;
    }
    return Interpolate(S[i - 1], S[i], P[i - 1], P[i], d);
  }

  const int startDay = UsesPhenologyStart() ? CellStartDay(layer, row, column) : -1;
  FixpointBuffer buffer(n);
  int* corrected = buffer.data();
  int i = SearchFixpoint(stream, julianDay, startDay, altitude, corrected, row, column);
  int d = julianDay;
  if (i > n) {
    d -= 366;
    i = 1;
  }
  if (UsesPhenologyStart() && i == PhenoFixpointIndex) {
    // Before the phenology start the value of the fixpoint before it holds;
    // rsc of DynamicPhenology_4 moves towards the start day instead. While
    // that start day is unknown (-1) it holds as well.
    if (!(which == Series::Rsc && method == kDynPhen4) || corrected[i] < 0) return S[i - 1];
  }
  return Interpolate(S[i - 1], S[i], corrected[i - 1], corrected[i], d);
}

double landuse_table_entry::SeriesAtDate(Series which, DiagStream& stream, int day, int month, int year, int layer,
                                         int row, int column, double altitude) const {
  const bool monthly = which == Series::Rsc || which == Series::RsInterception || which == Series::RsEvaporation;
  if (method <= kOldRow && monthly) {
    // Monthly rows interpolate on the date itself, with the year's February.
    SetFebruary(year);
    return Monthly(SeriesOf(which), day, month);
  }
  return SeriesAtJulianDay(which, stream, GetJulianDay(day, month, year), layer, row, column, altitude);
}

double landuse_table_entry::Monthly(const std::vector<double>& M, int day, int month) const {
  if (month < 1 || month > 12 || M.size() < 14) throw 154;
  const int L = MonthLength(month);
  double first, second;
  int p;
  if (day >= 15) {
    first = M[month];
    second = M[month + 1];
    p = day;
  } else {
    first = M[month - 1];
    second = M[month];
    p = day + MonthLength(month - 1) - 1;
  }
  if (L == 0) return first;
  return first * (L + 15 - p) / L + second * (p - 15) / L;
}

double landuse_table_entry::MonthlyFromJulianDay(const std::vector<double>& M, int julianDay) const {
  int d = julianDay > 365 ? julianDay % 365 : julianDay;
  int month = 1;
  int before = 0;
  while (month < 12 && before + MonthLength(month) < d) before += MonthLength(month++);
  int day = d - before;
  if (day == 0) day = 1;
  if (day < 1) throw 153;
  return Monthly(M, day, month);
}

double landuse_table_entry::GetMonthlyValue(int day, int month) const {
  return Monthly(rsc, day, month);
}

double landuse_table_entry::GetMonthlyInterceptionValue(int day, int month) const {
  return Monthly(rs_interception, day, month);
}

double landuse_table_entry::GetNFactorAtDate(DiagStream& stream, int day, int month, int year) const {
  int d = GetJulianDay(day, month, year);
  const int n = JulDaysCount;
  if (n < 1 || static_cast<int>(n_factor.size()) < n + 1) {
#pragma omp critical
    stream << "FATAL: Julian-day-fixpoint for n-factor at " << 1 << " is outside of the allowed range of " << 1
           << " to " << n + 1 << "\nland use code " << code << " has no fixpoint days"
           << "[end-entry]";
    throw 151;
  }
  int i = 1;
  if (!(JulDays[1] < 0 || d <= JulDays[1])) {
    for (i = 2; i <= n && JulDays[i] >= 0 && JulDays[i] < d; ++i) {
    }
    if (i > n) {
      d -= 366;
      i = 1;
    }
  }
  return Interpolate(n_factor[i - 1], n_factor[i], JulDays[i - 1], JulDays[i], d);
}

double landuse_table_entry::GetVegetationStartDay(DiagStream& stream, int julianDay, int layer, int row, int column,
                                                  double altitude) const {
  const int s = StartVegetationPeriodForBalance;
  const int e = StopVegetationPeriodForBalance;
  if (s == 0) return 0.0;
  const int n = JulDaysCount;
  if (const double* P = CellFixpoints(layer, row, column)) {
    const double d = julianDay;
    int j = 0;
    if (!(d < P[1] || n <= 1 || P[1] <= 0)) {
      j = 1;
      while (j < n - 1 && P[j + 1] > 0 && P[j + 1] <= d) ++j;
    }
    return s <= j && (j < e || e < s) && d >= P[j] ? d : -1.0;
  }
  const int startDay = UsesPhenologyStart() ? CellStartDay(layer, row, column) : -1;
  FixpointBuffer buffer(n);
  int* corrected = buffer.data();
  int i = SearchFixpoint(stream, julianDay, startDay, altitude, corrected, row, column);
  int d = julianDay;
  if (i > n) {
    d -= 366;
    i = 1;
  }
  return s <= i && (i < e || e < s) && corrected[i] > 0 && d >= corrected[i] ? d : -1.0;
}

double landuse_table_entry::GetVegetationStopDay(DiagStream& stream, int julianDay, int layer, int row, int column,
                                                 double altitude) const {
  const int e = StopVegetationPeriodForBalance;
  if (e == 0) return 0.0;
  const int n = JulDaysCount;
  if (const double* P = CellFixpoints(layer, row, column)) {
    const double d = julianDay;
    if (d < P[1] || n <= 1 || P[1] <= 0) return -1.0;
    int j = 1;
    while (j < n - 1 && P[j + 1] > 0 && P[j + 1] <= d) ++j;
    return j == e && d == P[e] ? d : -1.0;
  }
  const int startDay = UsesPhenologyStart() ? CellStartDay(layer, row, column) : -1;
  FixpointBuffer buffer(n);
  int* corrected = buffer.data();
  int i = SearchFixpoint(stream, julianDay, startDay, altitude, corrected, row, column);
  int d = julianDay;
  if (i > n) {
    d -= 366;
    i = 1;
  }
  return i == e && corrected[i] == d ? d : -1.0;
}

double landuse_table_entry::GetVegetationStartDayAtDate(DiagStream& stream, int day, int month, int year, int layer,
                                                        int row, int column, double altitude) const {
  return GetVegetationStartDay(stream, GetJulianDay(day, month, year), layer, row, column, altitude);
}

double landuse_table_entry::GetVegetationStopDayAtDate(DiagStream& stream, int day, int month, int year, int layer,
                                                       int row, int column, double altitude) const {
  return GetVegetationStopDay(stream, GetJulianDay(day, month, year), layer, row, column, altitude);
}

int landuse_table_entry::CheckMaxStartJDforDP1(int day, int month, int year) {
  if (!UsesPhenologyStart()) return method;
  useForcingOnly = 1;
  const int d = GetJulianDay(day, month, year);
  if (maxStartJDforDP1 >= d) return maxStartJDforDP1;
  TStart = maxStartJDforDP1 - GetJulDay(PhenoFixpointIndex + 1);
  return TStart;
}

double landuse_table_entry::LinearInterpolate(double x0, double y0, double x1, double y1, double x) {
  return Interpolate(y0, y1, x0, x1, x);
}

// ---- the series, each in its date and day-of-year form ----

double landuse_table_entry::GetRscAtDate(DiagStream& s, int day, int month, int year, int layer, int row, int column,
                                         double altitude) const {
  return SeriesAtDate(Series::Rsc, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetRscAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                              double altitude) const {
  return SeriesAtJulianDay(Series::Rsc, s, d, layer, row, column, altitude);
}
double landuse_table_entry::GetRsInterceptionAtDate(DiagStream& s, int day, int month, int year, int layer, int row,
                                                    int column, double altitude) const {
  return SeriesAtDate(Series::RsInterception, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetRsInterceptionAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                                         double altitude) const {
  return SeriesAtJulianDay(Series::RsInterception, s, d, layer, row, column, altitude);
}
double landuse_table_entry::GetRsEvaporationAtDate(DiagStream& s, int day, int month, int year, int layer, int row,
                                                   int column, double altitude) const {
  return SeriesAtDate(Series::RsEvaporation, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetRsEvaporationAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                                        double altitude) const {
  return SeriesAtJulianDay(Series::RsEvaporation, s, d, layer, row, column, altitude);
}
double landuse_table_entry::GetZ0AtDate(DiagStream& s, int day, int month, int year, int layer, int row, int column,
                                        double altitude) const {
  return SeriesAtDate(Series::Z0, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetZ0AtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                             double altitude) const {
  return SeriesAtJulianDay(Series::Z0, s, d, layer, row, column, altitude);
}
double landuse_table_entry::GetLAIAtDate(DiagStream& s, int day, int month, int year, int layer, int row, int column,
                                         double altitude) const {
  return SeriesAtDate(Series::LAI, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetLAIAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                              double altitude) const {
  return SeriesAtJulianDay(Series::LAI, s, d, layer, row, column, altitude);
}
double landuse_table_entry::GetVCFAtDate(DiagStream& s, int day, int month, int year, int layer, int row, int column,
                                         double altitude) const {
  return SeriesAtDate(Series::VCF, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetVCFAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                              double altitude) const {
  return SeriesAtJulianDay(Series::VCF, s, d, layer, row, column, altitude);
}
double landuse_table_entry::GetAlbedoAtDate(DiagStream& s, int day, int month, int year, int layer, int row, int column,
                                            double altitude) const {
  return SeriesAtDate(Series::Albedo, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetAlbedoAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                                 double altitude) const {
  return SeriesAtJulianDay(Series::Albedo, s, d, layer, row, column, altitude);
}
double landuse_table_entry::GetRootDepthAtDate(DiagStream& s, int day, int month, int year, int layer, int row,
                                               int column, double altitude) const {
  return GetRootDepthAtJulianDay(s, GetJulianDay(day, month, year), layer, row, column, altitude);
}
double landuse_table_entry::GetRootDepthAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                                    double altitude) const {
  try {
    return SeriesAtJulianDay(Series::RootDepth, s, d, layer, row, column, altitude);
  } catch (int error) {
#pragma omp critical
    s << "FATAL: Coordinates: i=" << row << ", j=" << column << "\nLayer=" << layer << "\nAltitude=" << altitude
      << "m\nJulday=" << d << "\nLanduse Code=" << code << "\nTStart=" << TStart << "[end-entry]";
    throw error;
  }
}
double landuse_table_entry::GetSR_StemDiameterAtDate(DiagStream& s, int day, int month, int year, int layer, int row,
                                                     int column, double altitude) const {
  return SeriesAtDate(Series::StemDiameter, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetSR_StemDiameterAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                                          double altitude) const {
  return SeriesAtJulianDay(Series::StemDiameter, s, d, layer, row, column, altitude);
}
double landuse_table_entry::GetSR_ResidCovrgAtDate(DiagStream& s, int day, int month, int year, int layer, int row,
                                                   int column, double altitude) const {
  return SeriesAtDate(Series::ResidCovrg, s, day, month, year, layer, row, column, altitude);
}
double landuse_table_entry::GetSR_ResidCovrgAtJulianDay(DiagStream& s, int d, int layer, int row, int column,
                                                        double altitude) const {
  return SeriesAtJulianDay(Series::ResidCovrg, s, d, layer, row, column, altitude);
}
