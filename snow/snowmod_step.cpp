// The time step of the snow model: partition, accumulation, melt, retention
// and release per cell, the copy to the members of hydrologic response
// units, slides, the zone statistics and the grid statistics.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "framework/diagstream.h"
#include "framework/hrurecord.h"
#include "framework/statisticpasses.h"
#include "framework/zonalstatistic.h"
#include "parameters/landuse_table_entry.h"
#include "snow/snowmod.h"

int schneemodellklasse::SetRadiationCorrectionGrid(Grid grid) {
  if (flowcontrol != 0) radiationcorrection = grid;
  return flowcontrol;
}

Grid schneemodellklasse::GetSolidSnowStorageGrid() {
  return flowcontrol != 0 ? own[kSolid].grid : nullptr;
}

int schneemodellklasse::SetQg(double* runoff) {
  if (flowcontrol != 0) {
    qg = runoff;
    linked = 1;
  }
  return flowcontrol;
}

void schneemodellklasse::SetGlacierRunoffConcentrations(double* values) {
  if (flowcontrol != 0) glacierconc = values;
}

int schneemodellklasse::GetMethod() {
  return flowcontrol > 0 ? method : 0;
}

void schneemodellklasse::SetPrecipitationSource(int interceptionFirst) {
  if (flowcontrol == 0) return;
  precipitationsource = interceptionFirst;
  if (waterinput) return;
  glacierinput = Bind("precipitation");
  if (interceptionFirst) {
    // The throughfall of layer 0 when interception runs first.
    waterinput = gridlist[GetGridOf3("throughfall0", "precipitation", "precipitation")].grid;
  } else {
    waterinput = glacierinput;
  }
}

void schneemodellklasse::InitLakes(const std::string& section) {
  if (flowcontrol == 0) return;
  if (FindGrid("lake_codes", false) <= 0) {
    *diag << "INFO: no LAKE-grid was found in " << modulname.c_str() << "\n"
          << "Lake modelling is switched off for " << modulname.c_str() << "[end-entry]";
    return;
  }
  if (!controlfile.Open(controlfilename, diag)) {
    *diag << "FATAL: error opening " << UserControlFile().c_str() << "[end-entry]";
    throw 28;
  }
  FindSection(section, true);
  ReadValue(controlfile, "%d", &lakeflag, "flow control parameter for ", linebuffer);
  if (hru) lakeflag = 0;
  if (lakeflag) {
    lakecodes = Bind("lake_codes");
    lakewater = BindOptional("ponding_storage");
    if (!lakewater) lakewater = BindOptional("ponding_storage_top");
    if (!lakewater) {
      *diag << "FATAL: \n\n=======================================\n"
            << "!!!! ERROR !!!! \n\n"
            << "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
            << "\nboth grids as well as the MAXPOND grid must be present."
            << "\n\n=======================================\n"
            << "[end-entry]";
      throw 28;
    }
  }
  if (!controlfile.Close()) {
    *diag << "FATAL: error closing " << UserControlFile().c_str() << " after reading initialization method for "
          << section.c_str() << "[end-entry]";
    throw 11;
  }
}

double schneemodellklasse::AnnualMeltFactor(double d) {
  return rmfmean + rmfamplitude * std::sin((d + phase) * frequency);
}

double schneemodellklasse::SatVapourPressureIce(double T) {
  return 6.1078 * std::exp(21.874 * T / (265.5 + T));
}

bool schneemodellklasse::OwnCell(int r, int c) const {
  if (!zonegrid || !zonegrid[r] || Missing(zonegrid[r][c])) return false;
  return !MPIRegions || !MPIRegions[r] || static_cast<int>(MPIRegions[r][c]) == mpirank;
}

double schneemodellklasse::SnowAlbedo(double T, double age) const {
  const double k = T <= 0 ? 0.12 : 0.05;
  return ALBsnow_min + (ALBsnow_max - ALBsnow_min) * std::exp(-k * age);
}

double schneemodellklasse::LanduseAlbedo(int r, int c) const {
  if (!landusetable) return barealbedo ? barealbedo[r][c] : albedo[r][c];
  // The land-use grid of layer 1 holds the index of the cell's table entry.
  const double index = landuse[1][r][c];
  const int entries = landusetable[0].code;
  if (!(index >= 1 && index < entries + 1.0)) return albedo[r][c];
  const landuse_table_entry& e = landusetable[static_cast<int>(index)];
  return e.GetAlbedoAtDate(*diag, static_cast<int>(stepday), static_cast<int>(stepmonth), static_cast<int>(stepyear), 1,
                           r, c, elevation ? elevation[r][c] : 0.0);
}

double schneemodellklasse::SnowCell(double T, double w, int r, int c, double& f, double& S, double& L, double& total,
                                    double& tpack, double& tsurf, double& evap, double& P, double Pstep, double& snowIn,
                                    double& rainIn, double startAlbedo) {
  const double n = stepsperday;
  // 1. Snow fraction; water on a lake surface is rain.
  if (lakeflag && lakecodes && lakewater && lakecodes[r][c] > 0 && lakewater[r][c] > 0) {
    f = 0;
  } else if (T > T0R + transzone) {
    f = 0;
  } else if (T <= T0R - transzone) {
    f = 1;
  } else {
    f = (T0R + transzone - T) / (2 * transzone);
  }
  // 2. Snowfall and rainfall; the wind deposition index adds to the snowfall
  // (and to the cell's water input) what the wind brings. The night and the
  // day part of a long step split the same input of the step, each its
  // share w of it, so the drift of a part is its share of the step's.
  const double p = Pstep > nodata ? Pstep : 0.0;
  double snowfall = f * p;
  const double rainfall = (1 - f) * p;
  if (depositionindex && depositionindex[r][c] > nodata && P > nodata) {
    const double D = depositionindex[r][c];
    P += D * snowfall * w;
    snowfall *= 1 + D;
  }
  // 3. Accumulation.
  snowIn = snowfall * w;
  rainIn = rainfall * w;
  S += snowIn;
  L += rainIn;
  total = S + L;

  // 4. The energy-balance temperatures.
  EnergyInputs energy;
  const bool eb = EnergyBalanceMethod(method);
  if (eb) {
    energy.Ps = snowfall;
    energy.Pr = rainfall;
    energy.P = P > nodata ? P : 0.0;
    EnergyPrepare(r, c, T + kMeltingPoint, startAlbedo, tpack, tsurf, energy);
  }

  double melt = 0;
  if (T > T0) {
    // 5. Melt.
    if (S <= 0) {
      tpack = nodata;
      tsurf = nodata;
      return 0.0;
    }
    switch (method) {
      case 1:
      case 8:
      case 9:
      case 10:
        melt = C0 * (T - T0) / n;
        break;
      case 2:
      case 12:
      case 13:
      case 14:
        melt = (T - T0) * (C1 + C2 * windspeed[r][c]) / n;
        break;
      case 3:
      case 4: {
        const double cw = C1 + C2 * windspeed[r][c];
        const double p = P > nodata ? P : 0.0;
        if (p > 2.4 / n) {
          // Rain on snow: the combination formula.
          const double e = method == 3 ? SatVapourPressureIce(T) : vapourpressure[r][c];
          melt = cw * (e - 6.11) / (n * 0.662) + 0.6 * T / n + cw * T / n + 0.006 * T * p;
        } else {
          const double rf = radiationcorrection ? (radiationcorrection[r][c] + 1) / 2 : 1.0;
          melt = (T - T0) * rf * meltfactor / n;
        }
        break;
      }
      default:
        return EnergyWarm(r, c, w, S, L, total, tpack, tsurf, evap, energy);
    }
  } else {
    // 6. Refreezing.
    if (method == 3 || method == 4) {
      const double R = std::fabs((T - T0) * CRFR * meltfactor / n) * w;
      if (L < R) {
        S += L;
        L = 0;
      } else {
        L -= R;
        S += R;
      }
      total = S + L;
    } else if (eb) {
      if (S <= 0) {
        tpack = nodata;
        tsurf = nodata;
      } else {
        EnergyCold(r, c, w, S, L, total, tpack, tsurf, evap, energy);
      }
    }
    return 0.0;
  }
  return melt * w;
}

int schneemodellklasse::MissingInputs(int r, int c) const {
  auto missing = [&](Grid g, Input k) { return g && !(g[r][c] > nodata) ? 1 << k : 0; };
  int m = missing(temperature, kInTemperature) | missing(windspeed, kInWind) | missing(vapourpressure, kInVapour);
  if (timeinterval > 720) m |= missing(temperaturenight, kInNightTemperature);
  if (method == 3 || method == 4) m |= missing(radiationcorrection, kInRadiationCorrection);
  m |= missing(airhumidity, kInHumidity) | missing(globalradiation, kInRadiation) | missing(cloudiness, kInCloudiness) |
       missing(surfacetemperature, kInSurfaceTemperature);
  return m;
}

namespace {
// A concentration that leaves a store, at most at the tracer's maximum
// concentration (none when it is not above 0).
double Capped(double concentration, double maximum) {
  return maximum > 0 ? std::min(concentration, maximum) : concentration;
}
}  // namespace

// A cell without a value of an input its method needs (the temperature; the
// wind, vapour pressure, humidity, radiation or cloudiness of the method)
// rests for the step, as if the module were off there: the snow of both
// parts, the firn and the ice stay as they are, nothing melts, refreezes or
// accumulates, and the step's water input passes on as the outflow (on a
// glacier part into the glacier runoff, with the snow melt on the glacier);
// rain, snowfall, the melt outflow and the snow temperatures, which follow
// from the missing input, are missing. A missing water input brings no water
// here either.
void schneemodellklasse::SkippedCell(int r, int c, double g) {
  const double n = stepsperday;
  const double P = waterinput[r][c] > nodata ? waterinput[r][c] : 0.0;
  const double Pg = GlacierInput(r, c);
  // A wholly glacierized cell has no open part: its input passes to the
  // glacier part alone.
  if (g >= 1) own[kSolid].grid[r][c] = own[kLiquid].grid[r][c] = 0;
  const double S = own[kSolid].grid[r][c];
  const double L = own[kLiquid].grid[r][c];
  const bool eb = EnergyBalanceMethod(method);
  own[kOutflow].grid[r][c] = g >= 1 ? 0.0 : P;
  for (OwnGrid k : {kMeltOutflow, kSnowFraction, kRainFraction, kSnowTemp, kSurfTemp})
    if (own[k].grid) own[k].grid[r][c] = nodata;
  if (eb && snowevaporation) snowevaporation[r][c] = 0;
  if (g > 0) {
    double& Sg = glac[kSolidOnGlacier].grid[r][c];
    double& Lg = glac[kLiquidOnGlacier].grid[r][c];
    if (!(Sg > nodata)) Sg = 0;
    if (!(Lg > nodata)) Lg = 0;
    glac[kSnowMeltOnGlacier].grid[r][c] = Pg;
    for (GlacierGrid k : {kSurfTempOnGlacier, kSnowTempOnGlacier})
      if (glac[k].grid) glac[k].grid[r][c] = nodata;
    if (eb && glac[kEvapOnGlacier].grid) glac[kEvapOnGlacier].grid[r][c] = 0;
    if (glac[kTotalOnGlacier].grid) glac[kTotalOnGlacier].grid[r][c] = Sg + Lg;
  }
  // Tracers: the input passes with its concentration, at most at the
  // tracer's maximum concentration (an evaporating tracer's outflow without
  // water keeps the pack's); the glacier part's pack keeps its own.
  for (size_t t = 1; g > 0 && t < glaciertracers.size(); ++t) {
    if (tracers[t].radioactive == 1 && glaciertracers[t].store[r][c] > nodata) {
      glaciertracers[t].store[r][c] *= tracers[t].decay;
      const Grid f = glaciertracers[t].firn;
      if (f && f[r][c] > nodata) f[r][c] *= tracers[t].decay;
    }
    // The glacier part's input passes on to its runoff as it came, at most
    // at the tracer's maximum concentration: the pack keeps the rest, as it
    // keeps what it holds back from its outflow in a step with a temperature.
    Grid in = glaciertracers[t].input;
    const double cin = in && in[r] && in[r][c] > nodata ? in[r][c] : 0.0;
    double& v = glaciertracers[t].store[r][c];
    const bool keeps = tracers[t].evaporating != 1 && v > nodata && Pg > 0;
    const double passed = keeps ? Capped(cin, tracers[t].max_conc) : cin;
    if (keeps) v += Pg * (cin - passed);
    glaciertracers[t].outflow[r][c] = passed;
    glaciertracers[t].firnmelt[r][c] = 0;
  }
  for (int t = 1; t <= tracercount; ++t) {
    double& value = tracergrids[t].store[r][c];
    if (tracers[t].radioactive == 1) value *= tracers[t].decay;
    const double cin = tracerinput[t] && tracerinput[t][r] ? tracerinput[t][r][c] : 0.0;
    const bool passes = g < 1 && P > 0;
    if (passes && tracers[t].evaporating != 1) {
      // The input passes with the water, at most at the tracer's maximum
      // concentration; the pack keeps the rest.
      const double passed = Capped(cin, tracers[t].max_conc);
      value += P * (cin - passed);
      tracergrids[t].flux[r][c] = passed;
      continue;
    }
    tracergrids[t].flux[r][c] = passes ? cin : tracers[t].evaporating == 1 ? value : 0.0;
  }
  // Snow age and albedo follow the temperature: they stay.
  own[kDaysSnow].grid[r][c] = S + L > 5.0 ? 1.0 / n : 0.0;
  own[kTotal].grid[r][c] = S + L;
  PermafrostCell(r, c);
}

void schneemodellklasse::StepCell(int r, int c, bool skip) {
  const double n = stepsperday;
  double& S = own[kSolid].grid[r][c];
  double& L = own[kLiquid].grid[r][c];
  double& A = own[kAge].grid[r][c];
  double& out = own[kOutflow].grid[r][c];
  double& meltout = own[kMeltOutflow].grid[r][c];
  out = 0;
  meltout = 0;
  if (!(S > nodata)) S = 0;
  if (!(L > nodata)) L = 0;
  if (!(A > nodata)) A = 0;
  const double T = temperature[r][c];
  const bool inputmissing = !(waterinput[r][c] > nodata);
  // Cells with a glacierized part split their water input between the two parts.
  double g = 0;
  if (glaciergrid) {
    glac[kMeltFirn].grid[r][c] = 0;
    glac[kMeltIce].grid[r][c] = 0;
    glac[kSnowMeltOnGlacier].grid[r][c] = 0;
    if (glac[kFirnToIce].grid) glac[kFirnToIce].grid[r][c] = 0;
    for (size_t t = 1; t < glaciertracers.size(); ++t)
      if (glaciertracers[t].toice) glaciertracers[t].toice[r][c] = 0;
    glac[kGlacierizedOld].grid[r][c] = glaciergrid[r][c];
    g = GlacierFraction(r, c);
    if (g <= 0) {
      // A cell without glacier keeps no snow on a glacier part.
      for (GlacierGrid k : {kSolidOnGlacier, kLiquidOnGlacier, kTotalOnGlacier})
        if (glac[k].grid) glac[k].grid[r][c] = 0;
      for (size_t t = 1; t < glaciertracers.size(); ++t)
        if (glaciertracers[t].store[r][c] > nodata) glaciertracers[t].store[r][c] = 0;
      if (glac[kEvapOnGlacier].grid && EnergyBalanceMethod(method)) glac[kEvapOnGlacier].grid[r][c] = 0;
    }
  }
  if (skip) {
    SkippedCell(r, c, g);
    return;
  }

  // 2. Albedo at the start: the snow's above 2.5 mm.
  albedo[r][c] = S + L <= 2.5 ? LanduseAlbedo(r, c) : SnowAlbedo(T, A);

  // 4. Tracers: decay; the input joins the pack with its water (below).
  for (int t = 1; t <= tracercount && g < 1; ++t)
    if (tracers[t].radioactive == 1) tracergrids[t].store[r][c] *= tracers[t].decay;
  for (size_t t = 1; g > 0 && t < glaciertracers.size(); ++t)
    if (tracers[t].radioactive == 1 && glaciertracers[t].store[r][c] > nodata) {
      glaciertracers[t].store[r][c] *= tracers[t].decay;
      const Grid f = glaciertracers[t].firn;
      if (f && f[r][c] > nodata) f[r][c] *= tracers[t].decay;
    }
  const double packBefore = S + L;

  // 5. Melt, in one part or in a night and a day part.
  double f = 0;
  double total = S + L;
  double scratchPack = nodata;
  double scratchSurf = nodata;
  double& tpack = own[kSnowTemp].grid ? own[kSnowTemp].grid[r][c] : scratchPack;
  double& tsurf = own[kSurfTemp].grid ? own[kSurfTemp].grid[r][c] : scratchSurf;
  double evap = snowevaporation ? snowevaporation[r][c] : 0.0;
  const bool eb = EnergyBalanceMethod(method);
  // The energy balance reports the sublimation of this step.
  if (eb) evap = 0;
  double snowIn = 0;
  double rainIn = 0;
  double M = 0;
  if (g > 0) {
    GlacierCell(r, c, T, S, L, snowIn, rainIn);
  } else if (timeinterval <= 720) {
    M = SnowCell(T, 1.0, r, c, f, S, L, total, tpack, tsurf, evap, waterinput[r][c], waterinput[r][c], snowIn, rainIn,
                 albedo[r][c]);
  } else {
    double s1 = 0;
    double r1 = 0;
    const double Pstep = waterinput[r][c];
    double& P = waterinput[r][c];
    const double a = albedo[r][c];
    M = SnowCell(temperaturenight[r][c], nightfraction, r, c, f, S, L, total, tpack, tsurf, evap, P, Pstep, s1, r1, a);
    M += SnowCell(T, dayfraction, r, c, f, S, L, total, tpack, tsurf, evap, P, Pstep, snowIn, rainIn, a);
    snowIn += s1;
    rainIn += r1;
  }
  if (eb && snowevaporation && g <= 0) snowevaporation[r][c] = evap;
  // The tracers of the water the open part took: the water input with the
  // snow the wind brought (added to it above) or less the snow it took
  // away, at the input's concentration. A tracer that leaves with
  // evaporating water is held as a concentration (the grids
  // "concstor_tracer_*"), into which the input's concentration mixes; any
  // other as the amount in the pack, to which the input brings its water
  // times its concentration.
  const double Pin = waterinput[r][c] > nodata ? waterinput[r][c] : 0.0;
  for (int t = 1; t <= tracercount && g < 1 && Pin > 0; ++t) {
    double& value = tracergrids[t].store[r][c];
    const double cin = tracerinput[t] && tracerinput[t][r] ? tracerinput[t][r][c] : 0.0;
    if (tracers[t].evaporating == 1)
      value = WeightedMean(value, cin, packBefore, Pin);
    else
      value += Pin * cin;
  }

  // 6. Melt water joins the liquid storage; what the pack cannot hold leaves it.
  const double m = std::max(0.0, std::min(M, S));
  L += m;
  S -= m;
  const double K = S * CWH;
  if (L > K) {
    out = L - K;
    if (m > 0) meltout = L - K;
    L = K;
  }

  // 8. Snowfall and rainfall of the step: what entered the storages; missing
  // with a missing water input, which brings no water (but on a glacierized
  // cell, whose glacier part takes the precipitation).
  const bool unknown = inputmissing && g <= 0;
  own[kSnowFraction].grid[r][c] = unknown ? nodata : snowIn;
  own[kRainFraction].grid[r][c] = unknown ? nodata : rainIn;

  // 9. Tracers leave with the outflow: a concentration at the pack's; an
  // amount in the outflow's share of the pack's water, at most at the
  // tracer's maximum concentration (none when it is not above 0).
  for (int t = 1; t <= tracercount; ++t) {
    double& value = tracergrids[t].store[r][c];
    double& flux = tracergrids[t].flux[r][c];
    if (tracers[t].evaporating == 1) {
      flux = value;
      continue;
    }
    if (g >= 1) {
      flux = 0;
      continue;
    }
    const double W = out + L + S;
    // A pack that keeps no water keeps no tracer either (value * out / out
    // may leave a rounding residue behind).
    double released = W > 0 ? (L + S > 0 ? value * out / W : value) : 0.0;
    if (tracers[t].max_conc > 0) released = std::min(released, out * tracers[t].max_conc);
    value -= released;
    flux = out > 0 ? released / out : 0.0;
  }

  // 10. to 13.
  const double P = waterinput[r][c] > nodata ? waterinput[r][c] : 0.0;
  own[kDaysSnow].grid[r][c] = S + L > 5.0 ? 1.0 / n : 0.0;
  if (T > T0R + transzone || P <= 1.0 || S + L <= 5.0)
    A += 1.0 / n;
  else
    A = 0;
  albedo[r][c] = S + L > 5.0 ? SnowAlbedo(T, A) : LanduseAlbedo(r, c);
  own[kTotal].grid[r][c] = S + L;
  if (eb && S + L <= 0) {
    tpack = nodata;
    tsurf = nodata;
  }
  PermafrostCell(r, c);
}

void schneemodellklasse::CellLoop() {
  const bool hrus = hru && masterhrugrid;
  const int first = std::max(1, firstrow);
  const int last = std::min(nrows, lastrow);
  looperror = 0;
  long missingcells[kInputCount] = {};
#pragma omp parallel for schedule(runtime) reduction(+ : missingcells[:kInputCount])
  for (int r = first; r <= last; ++r) {
    try {
      const int c1 = datacols ? std::max(1, datacols[r].first) : 1;
      const int c2 = datacols ? std::min(ncols, datacols[r].last) : ncols;
      for (int c = c1; c <= c2; ++c) {
        if (!OwnCell(r, c)) continue;
        if (hrus && Missing(masterhrugrid[r][c])) continue;
        const int m = MissingInputs(r, c);
        for (int k = 0; k < kInPrecipitation; ++k)
          if (m >> k & 1) ++missingcells[k];
        if (!(waterinput[r][c] > nodata)) ++missingcells[kInPrecipitation];
        StepCell(r, c, m != 0);
      }
    } catch (int code) {
#pragma omp critical(snow_loop_error)
      if (looperror == 0) looperror = code;
    } catch (...) {
#pragma omp critical(snow_loop_error)
      if (looperror == 0) looperror = 103;
    }
  }
  if (looperror != 0) throw looperror;
  WarnMissingInputs(missingcells);
}

void schneemodellklasse::WarnMissingInputs(long* cells) {
  // The interception, which runs first, has named a missing throughfall.
  if (precipitationsource) inputwarned[kInPrecipitation] = true;
  if (std::all_of(inputwarned, inputwarned + kInputCount, [](bool b) { return b; })) return;
  // The instances share the raster of a decomposed run (an object built
  // alone counts its own cells).
  if (mpisize > 1 && instanceCellCounts)
    MPI_Allreduce(MPI_IN_PLACE, cells, kInputCount, MPI_LONG, MPI_SUM, MPI_COMM_WORLD);
  const char* const names[kInputCount] = {temperaturename.c_str(),
                                          "temperature_night",
                                          "wind_speed",
                                          "vapor_pressure",
                                          "radiation_correction",
                                          "air_humidity",
                                          "AspectCorrectedGlobalRadiation",
                                          "cloudiness",
                                          "surfacetemperature",
                                          "precipitation"};
  for (int k = 0; k < kInputCount; ++k) {
    if (inputwarned[k] || cells[k] == 0) continue;
    inputwarned[k] = true;
    *diag << "WARNING: " << modulname.c_str() << ": " << cells[k] << " cells of the basin have no value of " << names[k]
          << " in the step " << static_cast<long>(stepday) << "." << static_cast<long>(stepmonth) << "."
          << static_cast<long>(stepyear) << " " << static_cast<long>(stephour)
          << " h; there, in this and every later step without a value, "
          << (k == kInPrecipitation
                  ? "the snow cover takes no water, and rain and snowfall are missing (-9999)"
                  : "the snow cover rests (no melt, refreezing or accumulation), the water input passes on as its "
                    "outflow, and rain, snowfall, melt outflow and snow temperatures are missing (-9999)")
          << " (written once in the run)"
          << "[end-entry]";
  }
}

void schneemodellklasse::CopyHRUStates() {
  if (!hru || !hrugrid || !masterhrugrid) return;
  const int first = std::max(1, firstrow);
  const int last = std::min(nrows, lastrow);
  // The grids a member takes from its master.
  std::vector<Grid> grids;
  for (OwnGrid g : {kSolid, kLiquid, kDaysSnow, kAge, kSnowFraction, kRainFraction, kTotal, kOutflow, kMeltOutflow})
    grids.push_back(own[g].grid);
  grids.push_back(albedo);
  if (method > 4)
    for (OwnGrid g : {kSnowTemp, kSurfTemp, kInputMass, kMobileMass, kDeposition})
      if (own[g].grid) grids.push_back(own[g].grid);
  if (glaciergrid) {
    for (GlacierGrid g : {kMeltFirn, kMeltIce}) grids.push_back(glac[g].grid);
    // The static methods keep the snow of the glacier cells as well.
    for (GlacierGrid g : {kSolidOnGlacier, kLiquidOnGlacier, kTotalOnGlacier, kSnowMeltOnGlacier})
      if (glac[g].grid) grids.push_back(glac[g].grid);
    if (glaciermethod > 10)
      for (GlacierGrid g : {kFirnTotal, kMassBalance, kOldMassBalance, kSurfTempOnGlacier, kSnowTempOnGlacier,
                            kEvapOnGlacier, kFirnToIce, kSnowAgeOnGlacier})
        if (glac[g].grid) grids.push_back(glac[g].grid);
  }
  // The energy balance writes the snow's sublimation into "snow_evaporation".
  if (EnergyBalanceMethod(method) && snowevaporation) grids.push_back(snowevaporation);
  // The tracers of both parts' snow and of what they gave off.
  for (int t = 1; t <= tracercount; ++t)
    for (Grid g : {tracergrids[t].store, tracergrids[t].flux})
      if (g) grids.push_back(g);
  for (size_t t = 1; t < glaciertracers.size(); ++t)
    for (Grid g : {glaciertracers[t].store, glaciertracers[t].outflow, glaciertracers[t].firnmelt})
      if (g) grids.push_back(g);
  const size_t count = grids.size();
  const bool layers = glaciermethod > 10 && firnstack;
  looperror = 0;
#pragma omp parallel for schedule(runtime)
  for (int r = first; r <= last; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c) || !Missing(masterhrugrid[r][c])) continue;
      // The unit's number indexes the table of units; its master is a cell
      // of this instance's rows.
      const double v = hrugrid[r][c];
      const int64_t index = v >= 1 && v < static_cast<double>(hrumax) + 1 ? static_cast<int64_t>(v) : 0;
      const int mr = index > 0 ? hru[index].row : 0;
      const int mc = index > 0 ? hru[index].column : 0;
      if (index < 1 || mr < first || mr > last || mc < 1 || mc > ncols) {
#pragma omp critical(snow_loop_error)
        if (looperror == 0) {
          looperror = 1030;
          *diag << "FATAL: the hydrologic response unit " << v << " of cell row " << r << ", column " << c
                << " (grid HydrologicResponseUnits) has no master cell among the " << static_cast<long>(hrumax)
                << " units of this instance (" << modulname.c_str() << ")"
                << "[end-entry]";
        }
        continue;
      }
      for (size_t k = 0; k < count; ++k) grids[k][r][c] = grids[k][mr][mc];
      if (layers) {
        for (int k = 0; k <= firn_levels; ++k) firnstack[r][c][k] = firnstack[mr][mc][k];
        // With the firn its tracer: an evaporating tracer's concentration
        // in it and what went into the ice with it.
        for (size_t t = 1; t < glaciertracers.size(); ++t)
          for (Grid g : {glaciertracers[t].firn, glaciertracers[t].toice})
            if (g) g[r][c] = g[mr][mc];
      }
    }
  }
  if (looperror != 0) throw looperror;
}

void schneemodellklasse::AddStatistics() {
  const int first = std::max(1, firstrow);
  const int last = std::min(nrows, lastrow);
  // The grid each statistic of the pack takes; the storage adds solid and liquid.
  Grid source[kStatisticCount] = {};
  source[kStatOutflow] = own[kOutflow].grid;
  source[kStatMeltOutflow] = own[kMeltOutflow].grid;
  source[kStatStorage] = own[kSolid].grid;
  source[kStatDays] = own[kDaysSnow].grid;
  source[kStatAge] = own[kAge].grid;
  source[kStatSnowfall] = own[kSnowFraction].grid;
  source[kStatRainfall] = own[kRainFraction].grid;
  source[kStatAlbedo] = albedo;
  source[kStatSnowTemp] = own[kSnowTemp].grid;
  source[kStatSurfTemp] = own[kSurfTemp].grid;
  if (own[kInputMass].grid) {
    source[kStatInputMass] = own[kInputMass].grid;
    source[kStatMobileMass] = own[kMobileMass].grid;
    source[kStatDeposition] = own[kDeposition].grid;
  }
  // Tasks: the statistics of the pack, then the glacier statistics (with
  // their sums per subbasin), the thaw depth and the tracers.
  const int glacierTask = kStatisticCount, thawTask = kStatisticCount + 1, tracerTask = kStatisticCount + 2;
  int tasks[kStatisticCount + 3];
  int count = 0;
  for (int task = 0; task < kStatisticCount + 3; ++task) {
    if (task < kStatisticCount && (!stats[task].writer || !stats[task].writer->IsActive() || !source[task])) continue;
    if (task == glacierTask && !glaciergrid) continue;
    if (task == thawTask &&
        !(snowfreedays && gstats[kStatThawDepth].writer && gstats[kStatThawDepth].writer->IsActive()))
      continue;
    if (task == tracerTask && tracercount < 1) continue;
    tasks[count++] = task;
  }
  StatisticRowsSideBySide(
      count, first, last, ncols,
      [&](int r, StatisticCell* list) {
        int cells = 0;
        if (!zoneindex) return cells;
        for (int c = 1; c <= ncols; ++c) {
          if (!OwnCell(r, c)) continue;
          const long code = std::lround(zonegrid[r][c]);
          if (code < 0 || code > maxzonecode) continue;
          list[cells++] = StatisticCell{c, zoneindex[code], 0.0};
        }
        return cells;
      },
      [&](int j, int r, const StatisticCell* list, int cells) {
        const int task = tasks[j];
        const StatisticCell* const end = list + cells;
        if (task < kStatisticCount) {
          const double* values = source[task][r];
          zonalstatistic::RowSums sums(*stats[task].writer, r);
          // Amounts are mm over the cell, as the interception's and the
          // evaporation's of a glacierized cell: the open part's outflow
          // weighs by its share (the glacier part's goes to the glacier
          // runoff), the storage is the snow of both parts by their shares.
          if (task == kStatStorage) {
            const double* liquid = own[kLiquid].grid[r];
            const double* glacierTotal = glaciergrid ? glac[kTotalOnGlacier].grid[r] : nullptr;
            for (const StatisticCell* e = list; e < end; ++e) {
              const int c = e->column;
              const double g = glaciergrid ? GlacierFraction(r, c) : 0.0;
              const double open = values[c] + liquid[c];
              const double onGlacier = glacierTotal && glacierTotal[c] > nodata ? glacierTotal[c] : 0.0;
              sums.Add(c, e->zone, g > 0 ? (1 - g) * open + g * onGlacier : open, 1.0);
            }
          } else if (glaciergrid && (task == kStatOutflow || task == kStatMeltOutflow)) {
            for (const StatisticCell* e = list; e < end; ++e) {
              const double g = GlacierFraction(r, e->column);
              // (A missing value is skipped with its cell.)
              if (g <= 0 || !(values[e->column] > nodata)) {
                sums.Add(e->column, e->zone, values[e->column], 1.0);
                continue;
              }
              if (g < 1) sums.Add(e->column, e->zone, values[e->column], 1 - g);
              if (g > 0) sums.Add(e->column, e->zone, 0.0, g);
            }
          } else {
            for (const StatisticCell* e = list; e < end; ++e) sums.Add(e->column, e->zone, values[e->column], 1.0);
          }
        } else if (task == glacierTask) {
          for (const StatisticCell* e = list; e < end; ++e) AddGlacierStatistics(r, e->column, e->zone);
        } else if (task == thawTask) {
          const double* thaw = thawdepth[r];
          zonalstatistic::RowSums sums(*gstats[kStatThawDepth].writer, r);
          for (const StatisticCell* e = list; e < end; ++e) sums.Add(e->column, e->zone, thaw[e->column], 1.0);
        } else {
          for (const StatisticCell* e = list; e < end; ++e) {
            const int c = e->column;
            if (!(GlacierFraction(r, c) <= 0)) continue;
            // Tracers of cells without glacier: concentrations weighted by the
            // water of the pack, amounts summed.
            const double water = own[kSolid].grid[r][c] + own[kLiquid].grid[r][c];
            for (int t = 1; t <= tracercount; ++t)
              if (tracergrids[t].statistic)
                tracergrids[t].statistic->AddCell(r, c, e->zone, tracergrids[t].store[r][c],
                                                  tracers[t].evaporating == 1 ? water : 1.0);
          }
        }
      },
      zonecount + 1, [&](int j) { return tasks[j] < kStatisticCount || tasks[j] == thawTask; });
}

void schneemodellklasse::WriteGridStatistics() {
  for (OwnGrid g : {kTotal, kSolid, kLiquid, kDaysSnow, kAge, kSnowFraction, kRainFraction, kOutflow, kMeltOutflow})
    WriteStatisticGrids(own[g].position, 1, 0);
  if (RedistributionMethod(method))
    for (OwnGrid g : {kInputMass, kMobileMass, kDeposition}) WriteStatisticGrids(own[g].position, 1, 0);
  if (EnergyBalanceMethod(method))
    for (OwnGrid g : {kSnowTemp, kSurfTemp}) WriteStatisticGrids(own[g].position, 1, 0);
  if (glaciergrid) {
    WriteStatisticGrids(glac[kMeltFirn].position, 1, 0);
    WriteStatisticGrids(glac[kMeltIce].position, 1, 0);
    if (glaciermethod < 10)
      for (GlacierGrid g : {kSolidOnGlacier, kLiquidOnGlacier, kTotalOnGlacier})
        if (glac[g].position > 0) WriteStatisticGrids(glac[g].position, 1, 0);
    if (glaciermethod > 10) {
      WriteDatedGrid(glac[kFirnTotal].position);
      for (GlacierGrid g :
           {kMassBalance, kOldMassBalance, kSolidOnGlacier, kLiquidOnGlacier, kTotalOnGlacier, kSnowMeltOnGlacier,
            kSurfTempOnGlacier, kSnowTempOnGlacier, kEvapOnGlacier, kFirnToIce, kSnowAgeOnGlacier})
        if (glac[g].position > 0) WriteStatisticGrids(glac[g].position, 1, 0);
    }
  }
  for (int t = 1; t <= tracercount; ++t) {
    if (tracergrids[t].statistic) tracergrids[t].statistic->Reduce(stepyear, stepmonth, stepday, stephour, 1);
    WriteStatisticGrids(tracergrids[t].storeindex, 1, 0);
  }
  for (size_t t = 1; t < glaciertracers.size(); ++t) {
    WriteStatisticGrids(glaciertracers[t].position, 1, 0);
    if (glaciertracers[t].firnposition > 0) WriteStatisticGrids(glaciertracers[t].firnposition, 1, 0);
    if (glaciertracers[t].toiceposition > 0) WriteStatisticGrids(glaciertracers[t].toiceposition, 1, 0);
  }
}

void schneemodellklasse::run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  teilmodellklasse::run(stepHour, stepDay, stepMonth, stepYear);
  if (flowcontrol == 0) return;
  stephour = stepHour;
  stepday = stepDay;
  stepmonth = stepMonth;
  stepyear = stepYear;
  // The step's calendar: February of the step's year.
  monthlength[2] = DaysInMonth(stepYear, 2);

  // 1. Annual factors at the snow model's day number: the day, plus, after
  // January, (month - 1) times the length of the current month. It runs
  // ahead of the calendar's day of the year (1 March is day 63, 31 December
  // day 372); it is the model's established number, which calibrated
  // annual factors follow.
  const double d = stepMonth <= 1 ? static_cast<double>(stepDay)
                                  : static_cast<double>(stepDay + (stepMonth - 1) * MonthLength(stepMonth));
  meltfactor = AnnualMeltFactor(d);
  snowradfactor = AnnualSnowRadiationFactor(d);
  iceradfactor = AnnualIceRadiationFactor(d);
  // 2. Day and night weights.
  SunlitFraction();
  // 3.
  for (StatisticEntry& s : stats)
    if (s.writer) s.writer->NewStep();
  for (StatisticEntry& s : gstats)
    if (s.writer) s.writer->NewStep();
  for (int t = 1; t <= tracercount; ++t)
    if (tracergrids[t].statistic) tracergrids[t].statistic->NewStep();
  BindTracerInputs();
  if (mpisize > 1) MPI_Barrier(MPI_COMM_WORLD);
  // 5. to 7.
  CellLoop();
  CopyHRUStates();
  if (!hru && RedistributionMethod(method)) Slides();
  // 8. and 9.
  AddStatistics();
  for (StatisticEntry& s : stats)
    if (s.writer) s.writer->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  for (int s = 0; s < kGlacierStatCount; ++s)
    if (s != kStatGlacierTotal && gstats[s].writer) gstats[s].writer->Reduce(stepYear, stepMonth, stepDay, stepHour, 1);
  if (glaciergrid) GlacierRunoff();
  steppending = true;
  if (!stependdeferred) FinishStep();
}

void schneemodellklasse::FinishStep() {
  // Once per step, after run().
  if (flowcontrol == 0 || !steppending) return;
  steppending = false;
  // 10. The update changes the glacierized shares; the step's outflow was
  // handed on with the shares it was computed for (after the update the
  // consumers would weight it with the new open share and make or lose
  // (g_old - g_new) times the outflow).
  if (GlacierUpdateDue()) YearlyGlacierUpdate();
  // 11.
  WriteGridStatistics();
}

void schneemodellklasse::WriteStatistics() {
  if (flowcontrol == 0) return;
  for (StatisticEntry& s : stats)
    if (s.writer) s.writer->Flush();
  for (StatisticEntry& s : gstats)
    if (s.writer) s.writer->Flush();
  for (int t = 1; t <= tracercount; ++t)
    if (tracergrids[t].statistic) tracergrids[t].statistic->Flush();
}
