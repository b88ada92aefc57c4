// Evapotranspiration model: per-step operations.
#include "framework/diagstream.h"
#include "radiation_et/etpetr.h"

namespace {
constexpr int kNotAvailable = 502;
}

void verdunstungsmodellklasse::PotentialEvapotranspiration(int64_t, int64_t, int64_t, int64_t) {
  if (flowcontrol != 0) throw ReportModuleNotAvailable(diag, "evapotranspiration", modulname, kNotAvailable);
}
void verdunstungsmodellklasse::SnowEvaporationOnGlacier(int64_t, int64_t, int64_t, int64_t) {
  if (flowcontrol != 0) throw ReportModuleNotAvailable(diag, "evapotranspiration", modulname, kNotAvailable);
}
void verdunstungsmodellklasse::UpdateTotals(int64_t, int64_t, int64_t, int64_t) {
  if (flowcontrol != 0) throw ReportModuleNotAvailable(diag, "evapotranspiration", modulname, kNotAvailable);
}
void verdunstungsmodellklasse::RealEvapotranspiration(int64_t, int64_t, int64_t, int64_t) {
  if (flowcontrol != 0) throw ReportModuleNotAvailable(diag, "evapotranspiration", modulname, kNotAvailable);
}
void verdunstungsmodellklasse::AccumulateZoneStatistics(int64_t, int64_t, int64_t, int64_t) {
  if (flowcontrol != 0) throw ReportModuleNotAvailable(diag, "evapotranspiration", modulname, kNotAvailable);
}
double verdunstungsmodellklasse::PenmanMonteith(int, int, int, int, double&, double, double, double&, double&, double&,
                                                double&, double, double, double) {
  throw ReportModuleNotAvailable(diag, "evapotranspiration", modulname, kNotAvailable);
}
void verdunstungsmodellklasse::PotentialRows(int64_t, int64_t, int64_t) {}
void verdunstungsmodellklasse::CopyFromMaster(int, int, int&) {}
