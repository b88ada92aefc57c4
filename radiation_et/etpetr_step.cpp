// Evapotranspiration model: potential evapotranspiration of every cell and
// vegetation layer per step (Penman-Monteith, Hamon, Wendling, Haude) with the
// radiation estimate from the sun's path, sunshine duration or global
// radiation, and the Penman-Monteith evaluation of one cell, layer and part
// (night or day) of the step.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>

#include "framework/diagstream.h"
#include "framework/hrurecord.h"
#include "framework/statisticpasses.h"
#include "framework/zonalstatistic.h"
#include "parameters/multilayer_landuse_entry.h"
#include "radiation_et/etpetr.h"

namespace {
constexpr double kPi = 3.14159265359;
constexpr double kSolarConstant = 1367.0;  // W/m2
}  // namespace

bool verdunstungsmodellklasse::MasterOf(int r, int c, int& mr, int& mc) const {
  const double v = hrugrid[r][c];
  const int64_t index = v >= 1 ? static_cast<int64_t>(v) : 0;
  if (index < 1 || index > hrumax) return false;
  mr = hru[index].row;
  mc = hru[index].column;
  return mr >= firstrow && mr <= lastrow && mc >= 1 && mc <= ncols;
}

void verdunstungsmodellklasse::ReportResponseUnit(int r, int c) {
  *diag << "FATAL: the hydrologic response unit " << hrugrid[r][c] << " of cell row " << r << ", column " << c
        << " (grid HydrologicResponseUnits) has no master cell among the " << static_cast<long>(hrumax)
        << " units of this instance (" << modulname.c_str() << ")"
        << "[end-entry]";
  throw 1030;
}

void verdunstungsmodellklasse::PotentialEvapotranspiration(int64_t stepHour, int64_t stepDay, int64_t stepMonth,
                                                           int64_t stepYear) {
  if (flowcontrol == 0) return;
  const int64_t shifted = stepHour + static_cast<int64_t>(timeshift);
  SetStepDate(stepYear, stepMonth, stepDay, shifted);
  Log("pot. evaptranspir.", stepHour, stepDay, stepMonth, stepYear);
  const int d = static_cast<int>(stepDay);
  const int m = static_cast<int>(stepMonth);
  const double doy = DayOfYear(stepYear, stepMonth, stepDay);
  for (int l = 0; l <= LayerCount; ++l) {
    if (etpstat[l]) etpstat[l]->NewStep();
    if (eipstat[l]) eipstat[l]->NewStep();
  }
  for (zonalstatistic* s : {evapstat, rgexstat, cloudstat})
    if (s) s->NewStep();

  SunlitFraction();
  stepnight = night;
  sunriseoffset = darkbefore;
  const double hours = timeinterval / 60;
  subintervals = 0;
  if (Method == 1 || Method == 3) {
    if (!stepnight && !(radiation && sunshine)) {
      // The sun's path of a step of a day or more is that of its last day
      // (the day fraction and the sunrise offset are the day's); the
      // clear-sky radiation of the day counts once for each day of the step.
      const double span = std::min(hours, 24.0);
      int n = static_cast<int>(std::ceil(span * dayfraction - 0.001));
      n = std::clamp(n, 1, 24);
      subinterval = span * dayfraction / n;
      subintervals = n;
      for (int i = 1; i <= n; ++i) {
        const double t = shifted + mintointendhours - span + sunriseoffset + (i - 0.5) * subinterval;
        double azimuth = 0, elevation = 0;
        SunAnglesAtHour(d, m, azimuth, elevation, latitude, longitude, t);
        sunpositions[i] = std::cos(kPi / 2 - elevation);
      }
      tau = TransmissivityMean + TransmissivityAmplitude * std::cos(2 * (d + 10 + (m - 1) * 30.5) * kPi / 365);
    }
  } else {
    stepnight = 1;
  }

  if (timeinterval < 720) {
    // Relative sunshine is remembered over the night as the mean of the last daylight period.
    if (dayfraction > 0.05) {
      if (!ssdperiod) {
        ForOwnCells([&](int r, int c) { ssdtemp[r][c] = 0; });
        ssdcounter = 1;
        ssdperiod = 1;
      } else {
        ++ssdcounter;
      }
    } else if (ssdperiod) {
      const int n = ssdcounter;
      ForOwnCells([&](int r, int c) { ssdtemp[r][c] = n > 0 ? ssdtemp[r][c] / n : 0.5; });
      ssdperiod = 0;
    }
  }
  if (timeinterval > 720 && Method == 1) {
    const double* A = MonthlyAmplitude;
    if (d > 15)
      dayamplitude = LinInterpol(16, A[m], DaysInMonth(stepYear, m) + 15, A[m + 1], d);
    else
      dayamplitude = LinInterpol(-15.5, A[m - 1], 15, A[m], d);
    annualterm = AnnualVariability * std::cos(2 * kPi * doy / 365);
  }

  daytemperature = false;  // the grid holds this step's temperature again
  int inputs = 0;
  const long missing = PotentialRows(stepYear, stepMonth, stepDay, inputs);
  daytemperature = steptemperature != nullptr;
  WarnMissingInputs(missing, inputs, stepHour, stepDay, stepMonth, stepYear);

  // Cells of a response unit take the values of its master cell.
  if (hrumaster) {
    for (int r = firstrow; r <= lastrow; ++r) {
      int c0, c1;
      ColumnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c) {
        if (!OwnCell(r, c) || hrumaster[r][c] != nodata) continue;
        int mr = 0, mc = 0;
        if (!MasterOf(r, c, mr, mc)) ReportResponseUnit(r, c);
        for (int l = 0; l <= LayerCount; ++l) {
          etp[l][r][c] = etp[l][mr][mc];
          eip[l][r][c] = eip[l][mr][mc];
        }
        for (Grid g : {evap, rgex, cloud}) g[r][c] = g[mr][mc];
      }
    }
  }

  // Statistics 0 ... 2L + 1: the potential evapotranspiration (even) and the
  // interception evaporation (odd) of layer 0 ... L; then the soil
  // evaporation, the global radiation and the cloudiness. Every method fills
  // its vegetation layer, so each writes the layer statistics; those that
  // write a file are filled.
  const int L = LayerCount;
  struct Filled {
    zonalstatistic* statistic;
    Grid values;
    int layer;
  };
  std::vector<Filled> filled;
  for (int s = 0; s < 2 * L + 5; ++s) {
    Filled f{nullptr, nullptr, 0};
    if (s <= 2 * L + 1) {
      f.layer = s / 2;
      f.statistic = s % 2 == 0 ? etpstat[f.layer] : eipstat[f.layer];
      f.values = s % 2 == 0 ? etp[f.layer] : eip[f.layer];
    } else {
      f.statistic = s == 2 * L + 2 ? evapstat : (s == 2 * L + 3 ? rgexstat : cloudstat);
      f.values = s == 2 * L + 2 ? evap : (s == 2 * L + 3 ? rgex : cloud);
    }
    if (f.statistic && f.statistic->IsActive()) filled.push_back(f);
  }
  StatisticRowsSideBySide(
      static_cast<int>(filled.size()), firstrow, lastrow, ncols,
      [&](int r, StatisticCell* list) {
        int c0, c1, cells = 0;
        ColumnsOf(r, c0, c1);
        for (int c = c0; c <= c1; ++c)
          if (OwnCell(r, c)) list[cells++] = StatisticCell{c, ZoneOf(r, c), 0.0};
        return cells;
      },
      [&](int j, int r, const StatisticCell* list, int cells) {
        const Filled& f = filled[j];
        const double* values = f.values[r];
        zonalstatistic::RowSums sums(*f.statistic, r);
        if (f.layer >= 1) {
          const double* use = landuse[f.layer][r];
          for (const StatisticCell* e = list; e < list + cells; ++e)
            sums.Add(e->column, e->zone, !(use[e->column] > nodata) ? 0.0 : values[e->column], 1.0);
        } else {
          for (const StatisticCell* e = list; e < list + cells; ++e)
            sums.Add(e->column, e->zone, values[e->column], 1.0);
        }
      },
      zonecount + 1, [](int) { return true; });
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  for (int l = 0; l <= LayerCount; ++l) {
    etpstat[l]->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
    eipstat[l]->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
    WriteStatisticGrids(etppos[l], 1, 0);
    WriteStatisticGrids(eippos[l], 1, 0);
  }
  evapstat->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  WriteStatisticGrids(evappos, 1, 0);
  rgexstat->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  cloudstat->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
}

int verdunstungsmodellklasse::MissingInputs(int r, int c) const {
  auto missing = [&](Grid g, int bit) { return g && !(g[r][c] > nodata) ? bit : 0; };
  int m = missing(temperature, kTemperature);
  if (Method == 1) m |= missing(nighttemperature, kTemperature) | missing(wind, kWind);
  if (Method == 1 || Method == 3)
    m |= missing(radiation, kRadiation) | missing(sunshine, kSunshine) | missing(airpressure, kAirPressure);
  // Penman-Monteith takes the vapour pressure before the humidity, Haude the
  // humidity before the vapour pressure.
  if (Method == 1) m |= vapour ? missing(vapour, kVapour) : missing(humidity, kHumidity);
  if (Method == 4) m |= humidity ? missing(humidity, kHumidity) : missing(vapour, kVapour);
  return m;
}

void verdunstungsmodellklasse::WarnMissingInputs(long cells, int inputs, int64_t stepHour, int64_t stepDay,
                                                 int64_t stepMonth, int64_t stepYear) {
  if (missingwarned) return;
  // The instances share the raster of a decomposed run (an object built
  // alone counts its own cells).
  if (mpisize > 1 && instanceCellCounts) {
    MPI_Allreduce(MPI_IN_PLACE, &cells, 1, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, &inputs, 1, MPI_INT, MPI_BOR, MPI_COMM_WORLD);
  }
  if (cells == 0) return;
  missingwarned = true;
  std::string names;
  const std::pair<int, std::string> grids[] = {{kTemperature, Method == 4 ? TemperatureName : "temperature"},
                                               {kVapour, VapourName},
                                               {kHumidity, HumidityName},
                                               {kWind, "wind_speed"},
                                               {kRadiation, UseNetRadiation ? "net_radiation" : "global_radiation"},
                                               {kSunshine, "sunshine_duration"},
                                               {kAirPressure, "air_pressure"}};
  for (const auto& [bit, name] : grids)
    if (inputs & bit) names += (names.empty() ? "" : ", ") + name;
  *diag << "WARNING: " << modulname.c_str() << ": " << cells << " cells of the basin have no value of " << names.c_str()
        << " in the step " << static_cast<long>(stepDay) << "." << static_cast<long>(stepMonth) << "."
        << static_cast<long>(stepYear) << " " << static_cast<long>(stepHour)
        << " h; there, in this and every later step without a value, pot_transpiration, potential_InterceptionEvap, "
           "potential_evaporation, AspectCorrectedGlobalRadiation and cloudiness are missing (-9999) and nothing "
           "evaporates on their account (written once in the run)"
        << "[end-entry]";
}

long verdunstungsmodellklasse::PotentialRows(int64_t stepYear, int64_t stepMonth, int64_t stepDay, int& inputs) {
  const int m = static_cast<int>(stepMonth);
  const int d = static_cast<int>(stepDay);
  const double hours = timeinterval / 60;
  const int L = LayerCount;
  const double c0 = RGCoeff[0], c1 = RGCoeff[1], c2 = RGCoeff[2], c3 = RGCoeff[3];
  const bool longsteps = timeinterval > 720;
  // The share of the amplitude the day gets with the annual term: the day
  // is never cooler, the night never warmer, than the day's temperature.
  const double dayshare = std::clamp(amplitude_fraction_day + annualterm, 0.0, 1.0);
  // Hamon's monthly factor of the day, between the mid-month values.
  double pecday = 0;
  if (d > 15)
    pecday = LinInterpol(16, PEC[m], DaysInMonth(stepYear, m) + 16, PEC[m + 1], d);
  else
    pecday = LinInterpol(-15, PEC[m - 1], 15, PEC[m], d);

  // The daylight of a step of several days is that of one day, its
  // clear-sky radiation that of each day.
  const double days = std::max(1.0, hours / 24);
  long missingcells = 0;
  int missinginputs = 0;
#pragma omp parallel for schedule(runtime) reduction(+ : missingcells) reduction(| : missinginputs)
  for (int r = firstrow; r <= lastrow; ++r) {
    int cs, ce;
    ColumnsOf(r, cs, ce);
    for (int c = cs; c <= ce; ++c) {
      if (!Processed(r, c)) {
        if (!OwnCell(r, c) || !hrumaster)
          for (int l = 0; l <= L; ++l) etp[l][r][c] = eip[l][r][c] = nodata;
        continue;
      }
      if (const int m = MissingInputs(r, c)) {
        // Nothing of the step's potentials can be known here: they are
        // missing, and the interception, snow and soil take no water away on
        // their account.
        ++missingcells;
        missinginputs |= m;
        for (int l = 0; l <= L; ++l) {
          etp[l][r][c] = eip[l][r][c] = nodata;
          etr[l][r][c] = 0;
        }
        evap[r][c] = rgex[r][c] = cloud[r][c] = nodata;
        evar[r][c] = evrs[r][c] = 0;
        if (Method == 1 && longsteps) steptemperature[r][c] = temperature[r][c];
        continue;
      }
      const double z = elevation[r][c];
      const double T = temperature[r][c];
      double S = 0;   // relative sunshine
      double rr = 0;  // ratio of global to clear-sky radiation
      double Rs = 0;  // net short-wave radiation, Wh/m2
      double G = 0;
      double alpha = 0;
      if (stepnight) {
        rgex[r][c] = 0;
        S = ssdtemp[r][c];
        cloud[r][c] = 0.5;
      } else {
        double R0 = 0;
        if (!(radiation && sunshine) && subintervals > 0 && sunpositions[subintervals / 2 + 1] > 0.017) {
          const double p = airpressure ? airpressure[r][c] : c_p0 * std::exp(-z / (c_H0 + c_H1 * T));
          for (int i = 1; i <= subintervals; ++i) {
            const double cz = sunpositions[i];
            if (cz <= 0) continue;  // the sun at or below the horizon adds nothing
            R0 += kSolarConstant * subinterval * cz * std::pow(tau, (p / c_p0) / cz);
          }
          R0 *= days;
        }
        if (sunshine) {
          S = sunshine[r][c];
          rr = c0 + c1 * S + c2 * S * S + c3 * S * S * S;
        } else if (R0 > 0) {
          rr = std::clamp(radiation[r][c] / R0, 0.0, 1.0);
          S = rr > CSRoot ? std::clamp(CS[0] + CS[1] * rr + CS[2] * rr * rr + CS[3] * rr * rr * rr, 0.0, 1.0) : 0.0;
        }
        const double k = radiationcorrection ? radiationcorrection[r][c] : 1.0;
        if (radiation) {
          if (radiationcorrection) {
            G = radiation[r][c] * (1 + (1 - c0) * S * (k - 1));
            radiation[r][c] = G;
          } else {
            G = radiation[r][c];
          }
        } else {
          G = radiationcorrection ? R0 * (c0 + k * S * (c1 + c2 * S + c3 * S * S)) : R0 * rr;
        }
        ssdtemp[r][c] += S;
        G = std::min(G, 1260.0 * hours * dayfraction);
        rgex[r][c] = G;
        alpha = OpenWater(r, c) ? AlbedoOpenWater : (albedo ? albedo[r][c] : 0.0);
        Rs = G * (1 - alpha);
        cloud[r][c] = rr > 1 ? 0.0 : std::min(1.0, 0.4473 * rr + 0.997 - 1.4059 * rr * rr);
      }
      evap[r][c] = 0;
      evar[r][c] = 0;
      evrs[r][c] = 0;

      if (Method == 1) {
        if (longsteps) {
          // The daily temperature splits into a warmer day and a cooler night
          // part; the snow model melts with both in this step, and the grid
          // gets the step's temperature back before the soil takes it.
          const double D = rr * dayamplitude * std::exp(-z / AmplitudeHeightScale);
          steptemperature[r][c] = temperature[r][c];
          temperature[r][c] += dayshare * D;
          nighttemperature[r][c] -= (1 - dayshare) * D;
        }
        etp[0][r][c] = eip[0][r][c] = etr[0][r][c] = 0;
        // Each part starts at the top layer with its own net radiation and resistance.
        double raNight = 0, raDay = 0, remainingNight = 0, remainingDay = 0, cumulativeLAI = 0;
        for (int j = 1; j <= L; ++j) {
          if (!(landuse[j][r][c] > nodata)) {
            etp[j][r][c] = eip[j][r][c] = etr[j][r][c] = 0;
            continue;
          }
          // An empty layer above adds no leaves.
          if (j > 1 && landuse[j - 1][r][c] > nodata && lai[j - 1][r][c] > nodata) cumulativeLAI += lai[j - 1][r][c];
          double Tn = 0, In = 0, En = 0, Td = 0, Id = 0, Ed = 0;
          if (nightfraction >= 0.01)
            Tn = PenmanMonteith(j, r, c, 0, En, nighttemperature[r][c], nightfraction, In, raNight, remainingNight,
                                remainingDay, S, Rs, cumulativeLAI);
          if (dayfraction >= 0.01)
            Td = PenmanMonteith(j, r, c, 1, Ed, temperature[r][c], dayfraction, Id, raDay, remainingNight, remainingDay,
                                S, Rs, cumulativeLAI);
          etp[j][r][c] = std::max(0.0, Tn + Td);
          eip[j][r][c] = std::max(0.0, In + Id);
          evap[r][c] += Ed + En;
          etr[j][r][c] = 0;
          etp[0][r][c] += etp[j][r][c] + (Ed + En);
          eip[0][r][c] += eip[j][r][c];
        }
        continue;
      }

      // Hamon's and Haude's amounts and Wendling's coast term are a day's; a
      // step of several days has them on each of its days (the radiation G
      // is already the step's).
      double E = 0;
      if (Method == 2) {
        E = days * 2 * 0.1651 * pecday * dayfraction * 216.7 * SatVapPressure(T) / (T + 273.3);
      } else if (Method == 3) {
        E = (93 * fk * days + 0.36 * G * (1.1 - alpha)) * (22 + T) / (150 * (123 + T));
      } else if (Method == 4) {
        const double es = T < 0 ? 6.11 * std::exp(22.46 * T / (272.46 + T)) : 6.11 * std::exp(17.62 * T / (243.12 + T));
        double dryness = 0;
        if (humidity) {
          dryness = 1 - humidity[r][c];
        } else {
          const double q = vapour[r][c] / es;
          dryness = q < 0 ? 1.0 : (q > 1 ? 0.0 : 1 - q);
        }
        E = days * std::min(7.0, es * fh[m] * dryness);
      } else {
        E = etp[0][r][c];
      }
      E = std::max(0.0, E);
      etp[0][r][c] = etp[1][r][c] = eip[0][r][c] = eip[1][r][c] = E;
      etr[0][r][c] = etr[1][r][c] = 0;
    }
  }
  inputs = missinginputs;
  return missingcells;
}

bool verdunstungsmodellklasse::OpenWater(int r, int c) const {
  return lakegrid && pondgrid && lakegrid[r][c] > 0 && pondgrid[r][c] > 0;
}

double verdunstungsmodellklasse::PenmanMonteith(int j, int r, int c, int part, double& soilEvaporation, double T,
                                                double fraction, double& interceptionEvaporation, double& ra,
                                                double& remainingNight, double& remainingDay, double sunshineRel,
                                                double shortwave, double cumulativeLAI) {
  const int L = LayerCount;
  const bool lowerMissing = j < L && !(lai[j + 1][r][c] > nodata);
  const bool soillayer = L == 1 || j == L || lowerMissing;
  double LAI = lai[j][r][c];
  double cov = coverage[j][r][c];
  double rsc = canopyres[j][r][c];
  double z0 = roughness[j][r][c];
  const bool water = soillayer && OpenWater(r, c);
  if (water) {
    LAI = LAIOpenWater;
    cov = CoverageOpenWater;
    rsc = CanopyResOpenWater;
    z0 = RoughnessOpenWater;
  }
  const double p = airpressure ? airpressure[r][c] : c_p0 * std::exp(-elevation[r][c] / (c_H0 + c_H1 * T));
  const double es = SatVapPressure(T);
  const double e = vapour ? vapour[r][c] : es * humidity[r][c];

  double k = 0.3;
  double cra = 10.0;
  if (L >= 2 && multilayertable && landuse[0]) {
    const double v = landuse[0][r][c];
    const int index = v >= 1 ? static_cast<int>(v) : 0;
    if (index >= 1 && index <= multilayertable[0].code) {
      k = multilayertable[index].k_extinct;
      cra = multilayertable[index].LAI_scale;
    }
  }

  // The first vegetated layer from the top receives the net radiation of the
  // part and sets the aerodynamic resistance; ra is 0 until then.
  const bool top = !(ra > 0);
  double& remaining = part ? remainingDay : remainingNight;
  double R = 0;  // mm
  if (top) {
    const double lambda = c_L0 - c_L1 * T;
    if (!UseNetRadiation) {
      const double Ln = std::pow(T + c_T0, 4) * fraction * sigma * (c_e0 - c_e1 * std::sqrt(std::max(0.0, e))) *
                        (RGCoeff[0] + (1 - RGCoeff[0]) * sunshineRel);
      R = part ? c_day * (shortwave - Ln) / lambda : -Ln / lambda;
    } else {
      // A net radiation grid holds the whole step: each part takes its share.
      R = fraction * radiation[r][c] / lambda;
    }
  } else {
    R = remaining;
  }
  const double A = cov * R * (1 - std::exp(-k * LAI));
  remaining = std::max(0.0, R - A);
  const double Rrem = remaining;

  const double s = c_s0 * std::exp(c_s1 * T / (c_s2 + T)) / ((c_s2 + T) * (c_s2 + T));
  const double gamma = c_g0 * p / (c_g1 - c_g2 * T);
  const double w = s / gamma;
  const double D = std::max(0.0, es - e);
  const double u = wind[r][c];
  if (top) {
    ra = z0 <= 2.0 ? c_ra1 * std::pow(std::log(c_z / z0), 2) / (c_one + c_u * u) : c_ra0 / (c_one + c_u * u);
  }
  const double raj = top ? ra : cra * cumulativeLAI + ra;

  double rs = 0;
  if (LAI > 0 && cov > 0 && rsc > 0)
    rs = (part || water) ? rsc / (1 - std::pow(c_canopy, LAI * cov)) : 1 / (LAI * cov * c_night);
  else if (LAI <= 0 || cov <= 0)
    rs = rsc > 0 ? 2500.0 : 0.0;

  const double Q = fraction * timeinterval * c_min * c_aero * D / (T + c_T0) / raj;
  if (water) {
    soilEvaporation = 0;
    interceptionEvaporation = 0;
    return ((A + Rrem) * w + Q) / (w + 1 + rs / raj);
  }
  soilEvaporation = soillayer ? (Rrem * w + Q) / (evaporationres[r][c] / raj + 1 + w) : 0.0;
  interceptionEvaporation = (A * w + Q) / (interceptres[j][r][c] / raj + 1 + w);
  return (A * w + Q) / (w + 1 + rs / raj);
}
