// Energy balance of the snow pack (methods 5, 6, 7 and 11): melt, sublimation,
// refreezing and the temperatures of the snow pack and of its surface.
//
// Fluxes in W/m2, positive towards the snow surface; temperatures in K;
// storages in mm (= kg/m2). The mass exchange with the air is positive for
// condensation and negative for sublimation. Only sublimation changes the
// pack (condensation on snow is neglected, as in the warm case), and the
// cell's snow evaporation is the water that left the pack (mm, >= 0).
#include <algorithm>
#include <cmath>

#include "snow/snowmod.h"

namespace {
constexpr double kStefanBoltzmann = 5.67e-08;
constexpr double kHeatCapacityWater = 4180;  // J/(kg K)
constexpr double kHeatCapacityIce = 2100;    // J/(kg K)
constexpr double kSublimation = 2835500;     // J/kg
constexpr double kFusion = 337500;           // J/kg
}  // namespace

double schneemodellklasse::SatVapourIceEB(double x) {
  return 6.1071 * std::exp(22.4429 * x / (x + 172.44));
}

double schneemodellklasse::SatVapourWaterEB(double x) {
  return 6.1078 * std::exp(17.08085 * x / (x + 234.175));
}

void schneemodellklasse::EnergyPrepare(int r, int c, double TK, double a, double& tpack, double& tsurf,
                                       EnergyInputs& in) const {
  const double T = TK - kMeltingPoint;
  in.TK = TK;
  const double h = airhumidity[r][c];
  in.ea = h * (TK <= kMeltingPoint ? SatVapourIceEB(T) : SatVapourWaterEB(T));
  in.fu = 0.18 + 0.098 * (windspeed ? windspeed[r][c] : 0.0);
  in.G = globalradiation[r][c] * 60.0 / timeinterval;
  in.albedo = a;
  in.N = cloudiness[r][c];
  double Ts0 = tsurf;
  if (!(Ts0 > nodata) || Ts0 == 0) {
    Ts0 = TK - 3.0;
    tsurf = Ts0;
  }
  if (surfacetemperature) {
    const double v = surfacetemperature[r][c];
    Ts0 = v < 100 ? v + kMeltingPoint : v;
  }
  in.Tsurf = std::min(Ts0, kMeltingPoint);
  if (!(tpack > nodata) || tpack == 0) tpack = std::min(TK, kMeltingPoint);
}

double schneemodellklasse::EnergySum(const EnergyInputs& in, double Ts, double* latent) const {
  const double ds = 60.0 * timeinterval;
  double k = 0.24;
  if (in.P == 0) k = in.N <= 0.2 ? 0.08 : (in.N < 0.6 ? 0.17 : 0.2);
  const double shortwave = (1 - in.albedo) * in.G;
  const double longIn = LWINcorr * kStefanBoltzmann * std::pow(in.TK, 4) *
                        (0.61 + 0.05 * std::sqrt(std::max(0.0, in.ea))) * (1 + k * in.N * in.N);
  const double longOut = -LWOUTcorr * kStefanBoltzmann * std::pow(Ts, 4);
  const double sensible = in.fu * 18.85 * (in.TK - Ts);
  const double QL = in.fu * 32.82 * (in.ea - SatVapourIceEB(Ts - kMeltingPoint));
  const double rain = (in.TK - kMeltingPoint) * kHeatCapacityWater * in.Pr / ds;
  const double snow = (in.TK - kMeltingPoint) * kHeatCapacityIce * in.Ps / ds;
  if (latent) *latent = QL;
  return shortwave + longIn + longOut + sensible + QL + rain + snow + 1.0;
}

double schneemodellklasse::WetBulbTemperature(double T, double ea, double z) const {
  const double p = 1013.25 * std::pow(1 - 0.0065 * z / 288.15, 5.255);
  // Dry air has no dew point: a vapour pressure of 0 is taken as a trace.
  const double e = std::max(ea, 1e-6);
  const double q = 0.622 * e / (p - e);
  const double x = std::log(p * q / ((q + 0.622) * 6.112));
  const double Td = 272.62 * x / (22.46 - x);
  double Tw = (Td + 2 * T) / 3;
  double s = (T + Tw) / 2;
  for (int pass = 1; pass <= 15; ++pass) {
    const double ew = 6.1115 * std::exp(22.46 * Tw / (Tw + 272.62));
    if (e < ew - (1 + 0.00115 * Tw) * p * (T - Tw) * 0.00066)
      s = -s;
    else
      s = std::fabs(s) / 2;
    Tw += s;
    if (std::fabs(s) <= 0.025) break;
  }
  return Tw;
}

double schneemodellklasse::EnergyWarm(int r, int c, double w, double& S, double& L, double& total, double& tpack,
                                      double& tsurf, double& evap, const EnergyInputs& in) {
  const double ds = 60.0 * timeinterval;
  const double T = in.TK - kMeltingPoint;
  const double Ts = surfacetemperature ? in.Tsurf : kMeltingPoint;
  // Latent heat against a melting surface (saturation over ice at 0 C).
  const double QL = in.fu * 32.82 * (in.ea - 6.1071);
  double E = QL * ds * w / kSublimation;
  double latentAtTs = 0;
  const double sum = EnergySum(in, Ts, &latentAtTs);
  const double Q = EnBalScaling * (sum - latentAtTs + QL);
  // The pack's heat capacity (J/(m2 K)): its ice and its liquid water. The
  // energy Q warms both; what lifts it above the melting point, X, melts
  // X / (latent heat of fusion), whether the pack holds water or not. (Warming
  // the ice and the water each with the whole of Q's shares, and taking X
  // back from the ice alone, would melt up to 1.5 times the energy's worth
  // in a wet pack.)
  const double capacity = S * kHeatCapacityIce + std::max(0.0, L) * kHeatCapacityWater;
  double Tp = tpack;
  if (Q > 0) Tp += ds * w * Q / capacity;
  double melt = 0;
  if (Tp > kMeltingPoint) {
    // The energy above the melting point melts the pack, or sublimates it
    // when the wet-bulb temperature is at or below 0 C. The energy already
    // belongs to this step part: it is not weighted a second time.
    const double X = (Tp - kMeltingPoint) * capacity;
    const double Tw = WetBulbTemperature(T, in.ea, elevation ? elevation[r][c] : 0.0);
    if (Tw <= 0)
      E -= X / kSublimation;
    else
      melt = X / kFusion;
    Tp = kMeltingPoint;
  }
  if (E < 0) {
    S += E;
    if (S < 0) {
      L += S;
      S = 0;
    }
    if (L < 0) {
      E -= L;
      L = 0;
    }
    total = S + L;
    evap += -E;
  }
  tsurf = Ts;
  tpack = Tp;
  if (S + L <= 0) {
    tsurf = nodata;
    tpack = nodata;
  }
  return melt;
}

void schneemodellklasse::EnergyCold(int r, int c, double w, double& S, double& L, double& total, double& tpack,
                                    double& tsurf, double& evap, const EnergyInputs& in) {
  (void)r;
  (void)c;
  const double ds = 60.0 * timeinterval;
  const double TK = in.TK;
  double Ts = kMeltingPoint;
  if (L <= 0 && TK <= kMeltingPoint + 2.0) Ts = surfacetemperature ? in.Tsurf : TK - 2.0;
  double s = -10.0;
  double Qprev = 0;
  bool bracket = false;
  double Q = 0;
  double QL = 0;
  // The surface temperature at which the balance closes: steps of 10 K until
  // the sign changes, then secant steps within the bracket. A given surface
  // temperature grid fixes Ts: one evaluation.
  for (int pass = 1;; ++pass) {
    Q = EnergySum(in, Ts, &QL);
    if (pass == 151 || std::fabs(Q) <= 0.25 || L > 0 || surfacetemperature) break;
    double factor = 0;
    bool change = false;
    if (Q < 0) {
      if (Qprev <= 0)
        factor = bracket ? 0.5 : 1.0;
      else
        change = true;
    } else {
      if (Qprev <= 0) {
        if (pass == 1)
          factor = bracket ? -0.5 : -1.0;
        else
          change = true;
      } else {
        factor = bracket ? 0.5 : 1.0;
      }
    }
    if (change) {
      bracket = true;
      const double ratio = std::fabs(Q / (Q - Qprev));
      factor = ratio < 1 ? -ratio : -0.5;
    }
    s *= factor;
    Ts += s;
    // Far below the air the balance has long turned: this keeps the vapour
    // pressure of the surface finite.
    Ts = std::max(Ts, TK - 100.0);
    Qprev = Q;
  }
  if (!surfacetemperature) {
    if (TK - Ts > 13) {
      Ts = TK - 13;
      QL = in.fu * 32.82 * (in.ea - SatVapourIceEB(Ts - kMeltingPoint));
    }
    if (Ts > kMeltingPoint) {
      QL = (in.ea - 6.1071) * in.fu * 32.82;
      Ts = kMeltingPoint;
    }
  }
  // Heat conduction from the surface into the pack, not beyond the surface.
  const double Tp = tpack;
  double Tn = Tp + 0.3 * (Ts - Tp) * (2 * w * ds * 1000 * 0.3) / ((S + L) * (S + L) * kHeatCapacityIce);
  Tn = Tp < Ts ? std::min(Tn, Ts) : std::max(Tn, Ts);
  Tn = std::min(Tn, kMeltingPoint);

  // Sublimation; the solid storage gives first, then the liquid.
  double E = QL * ds * w / kSublimation;
  bool solidGone = false;
  if (E < 0) {
    S += E;
    if (S < 0) {
      solidGone = true;
      L += S;
      S = 0;
      if (L < 0) {
        E -= L;
        L = 0;
      }
    }
    evap += -E;
  }
  // Refreezing of liquid water by the energy deficit.
  if (!solidGone) {
    const double R = -Q * w * ds / kFusion;
    if (R > 0 && L > 0) {
      if (R <= L) {
        L -= R;
        S += R;
      } else {
        const double before = L;
        S += L;
        L = 0;
        Tn -= (R - before) * kFusion / (S * kHeatCapacityIce);
        Tn = std::min(std::max(Tn, Ts - 3.0), kMeltingPoint);
      }
    }
  }
  total = S + L;
  tsurf = Ts;
  tpack = Tn;
  if (S + L <= 0) {
    tsurf = nodata;
    tpack = nodata;
  }
}
