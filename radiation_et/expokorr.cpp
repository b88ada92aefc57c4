#include "radiation_et/expokorr.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>

#include "framework/diagstream.h"

namespace {
constexpr double kSolarConstant = 1367.0;  // W/m2

// Dark share of the interval [start, end] of length hours from the day's
// sunrise and sunset (clock hours 0 ... 24), by the rule of the step's
// sunlit fraction; the sunrise offset goes to before.
double DarkShare(double start, double end, double hours, double rise, double set) {
  const double before = (start <= rise && rise < end) ? rise - start : 0.0;
  double after = 0;
  if (set > rise) {
    if (set <= end || end <= rise) after = (set <= start || end <= set) ? hours : end - set;
  } else if (set > end) {
    after = 0;
  } else if (set > start) {
    after = end - set;
  } else {
    after = rise > end ? hours : 0.0;
  }
  double f = hours > 0 ? (before + after) / hours : 0.0;
  if (f > 1) f -= 1;
  return f;
}
}  // namespace

expokorrklasse::expokorrklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                               const std::string& workFileName, const SubModelArgs& common, int subSteps)
    : teilmodellklasse(diagnostics, "radiation_correction", workFileName, 0, common, subSteps, false) {
  (void)registry;
  (void)registryCapacity;
  error = 0;
  if (!gridlist) return;
  try {
    const int t =
        FindGrid("temperature", false) > 0 ? FindGrid("temperature", false) : FindGrid("temperature_14", false);
    if (t > 0) temperature = gridlist[t].grid;

    if (flowcontrol != 0) {
      ReadValue(controlfile, "%d", &method, "methode of correction for ", linebuffer);
      if (method < 1 || method > 4) {
        const int line = controlfile.LineNumber();
        *diag << "WARNING: methode of correction for " << modulname.c_str() << ": " << method << " ("
              << controlfile.WhereBetween(line, line).c_str()
              << ") is not 1 to 4: method 2 (shading, slope radiation and temperature) is taken"
              << "[end-entry]";
        method = 2;
      }
      ReadValue(controlfile, "%s", &tkorrfile, "name of the TKORR-Grid for", linebuffer);
      ReadValue(controlfile, "%d", &tkorrcode, "Writegrid EXKORR for ", linebuffer);
      ReadValue(controlfile, "%lf", &tscale, "scaling factor for Tkorr for ", linebuffer);
      ReadValue(controlfile, "%s", &exkorrfile, "name of the EXKORR-Grids for", linebuffer);
      ReadValue(controlfile, "%d", &exkorrcode, "Writegrid EXKORR for ", linebuffer);
      ReadValue(controlfile, "%s", &shapefile, "name of the SHAPE-Grid for", linebuffer);
      ReadValue(controlfile, "%d", &shapecode, "Writegrid SHAPE for ", linebuffer);
      ReadValue(controlfile, "%d", &every, "number if timesteps for ", linebuffer);
      ReadValue(controlfile, "%d", &splittings, "number of splittings for ", linebuffer);
      const int line = controlfile.LineNumber();
      // The step is divided by the number of splittings.
      if (splittings < 1) {
        *diag << "FATAL: error in control file, number of splittings for " << modulname.c_str() << ": " << splittings
              << " (" << controlfile.WhereBetween(line, line).c_str() << "); it has to be at least 1"
              << "[end-entry]";
        throw 17;
      }
      if (!controlfile.Close()) {
        *diag << "FATAL: error closing control file " << UserControlFile().c_str() << "[end-entry]";
        throw 11;
      }
      // A recomputation every step (or fewer than 1, taken as every step) needs no stored ratio.
      if (every < 1) every = 1;
      counter = every;

      elevation = gridlist[GetGrid("[elevation_model]")].grid;
      aspect = gridlist[GetGrid("slope_aspect")].grid;
      slope = gridlist[GetGrid("slope_angle")].grid;
      if (FindGrid("sunshine_duration", false) > 0) sunshine = gridlist[GetGrid("sunshine_duration")].grid;
      hruon = hru != nullptr && FindGrid("MasterHydrologicResponseUnits", false) > 0;
      if (hruon) hrumaster = gridlist[GetGrid("MasterHydrologicResponseUnits")].grid;
      BindMPIRegionGrids();

      correction = NewGrid(firstrow, lastrow);
      correctionpos = Register(exkorrfile, correction, "radiation_correction", exkorrcode, firstrow, lastrow);
      // The shading sweep runs on instance 0 over the whole grid.
      const bool whole = mpirank == 0 && (method == 1 || method == 2);
      shadowfirst = whole ? 1 : firstrow;
      shadowlast = whole ? nrows : lastrow;
      shadow = NewGrid(shadowfirst, shadowlast);
      shadowpos = Register(shapefile, shadow, "Shadow", shapecode, shadowfirst, shadowlast);
      ieffmax = NewGrid(firstrow, lastrow);
      if (every > 1) geometry = NewGrid(firstrow, lastrow);
      ieffmaxpos = Register("Ieff_max", ieffmax, "Ieff_max", 0, firstrow, lastrow);
      if ((method == 2 || method == 4) && temperature) {
        corrtemp = NewGrid(firstrow, lastrow);
        corrtemppos = Register(tkorrfile, corrtemp, "corr_temperature", tkorrcode, firstrow, lastrow);
      }
    }
    if (timeinterval > 720 && temperature) {
      nighttemp = NewGrid(firstrow, lastrow);
      nighttemppos = Register("$$temperature_night$$", nighttemp, "temperature_night", 0, firstrow, lastrow);
    }
  } catch (int code) {
    error = code;
  } catch (...) {
    error = 103;
  }
}

Grid expokorrklasse::NewGrid(int first, int last) {
  Grid g = matrix(first, last, 1, ncols, nrows);
  for (int r = first; r <= last; ++r)
    for (int c = 0; c <= ncols; ++c) g[r][c] = (zonegrid && c > 0 && zonegrid[r][c] > nodata) ? 0.0 : nodata;
  return g;
}

int expokorrklasse::Register(const std::string& fileName, Grid grid, const std::string& shortName, int writeCode,
                             int first, int last) {
  const int p = FreeGridPosition();
  RegisterGrid(p, fileName, grid, nullptr, 0, shortName, writeCode, first, last);
  return p;
}

bool expokorrklasse::Processed(int r, int c) const {
  if (!(zonegrid[r][c] > nodata)) return false;
  if (MPIRegions && MPIRegions[r][c] != static_cast<double>(mpirank)) return false;
  if (hrumaster && hrumaster[r][c] == nodata) return false;
  return true;
}

void expokorrklasse::ColumnsOf(int r, int& c0, int& c1) const {
  c0 = 1;
  c1 = ncols;
  if (datacols) {
    c0 = std::max(1, datacols[r].first);
    c1 = std::min(ncols, datacols[r].last);
  }
}

expokorrklasse::Sun expokorrklasse::SunAt(double t, double dt, int d, int m, double rise, double set) {
  Sun sun;
  const double centre = std::fmod(std::fmod(t, 24.0) + 24, 24.0);
  const double dark = DarkShare(centre - dt / 2, centre + dt / 2, dt, rise, set);
  double dayfrac = 0;
  if (!(dark > 0.95)) {
    dayfrac = 1 - dark;
    sun.day = !(dayfrac < 0.05);
  }
  if (sun.day) {
    SunAnglesAtHour(d, m, sun.azimuth, sun.elevation, latitude, longitude, t);
    sun.cosz = std::cos(3.14159265358979 / 2 - sun.elevation);
    if (sun.elevation > 0.017) sun.beam = kSolarConstant * std::pow(0.86, 0.9 / sun.cosz) * dt * dayfrac;
  }
  return sun;
}

double expokorrklasse::SlopeBeam(Grid sums, double t, double dt, int count, int d, int m, double rise, double set,
                                 bool writeShadow) {
  const double degree = 3.14159265358979 / 180;
  double H = 0;  // clear-sky beam on a horizontal surface, Wh/m2
  for (int i = 0; i < count; ++i, t += dt) {
    const Sun sun = SunAt(t, dt, d, m, rise, set);
    const bool isnight = !sun.day;
    const double phi = sun.azimuth;
    const double h = sun.elevation;
    const double cosz = sun.cosz;
    const double I0 = sun.beam;
    H += I0 * cosz;
    Shade(sun);

    const double zenith = 3.14159265358979 / 2 - h;
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r) {
      int c0, c1;
      ColumnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c) {
        if (!Processed(r, c)) continue;
        double D = 0;
        if (!isnight && shadow[r][c] < 0.5) {
          const double cinc = CosZenith(aspect[r][c] * degree, slope[r][c] * degree, phi, zenith);
          if (cinc <= 0)
            D = 0;
          else if (sunshine && sunshine[r][c] < 0.1)
            D = cosz;  // overcast: diffuse light only, as on a horizontal surface
          else
            D = cinc;
        }
        sums[r][c] += I0 * std::min(D, 5 * cosz);
      }
    }
    if (writeShadow) WriteStatisticGrids(shadowpos, 1, 0);
  }
  return H;
}

void expokorrklasse::Shade(const Sun& sun) {
  const bool shading = (method == 1 || method == 2) && !hruon;
  // Shadow marks of this sub-interval only.
  const int sf = shading ? shadowfirst : firstrow;
  const int sl = shading ? shadowlast : lastrow;
#pragma omp parallel for schedule(runtime)
  for (int r = sf; r <= sl; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!(zonegrid[r][c] > nodata)) continue;
      if (!(shading && mpirank == 0) && !Processed(r, c)) continue;
      shadow[r][c] = 0;
    }
  // A sun at or below the horizon casts no meaningful ray.
  if (sun.day && shading && sun.elevation > 0) {
    if (mpirank == 0) CastShadows(sun.azimuth, sun.elevation);
    MPIScatterGrid(shadowpos);
  }
  // All instances of a decomposed run meet here; an object working alone does not wait.
  if (mpisize > 1 && BindMPIRegionGrids()) MPI_Barrier(MPI_COMM_WORLD);
}

void expokorrklasse::run(int64_t stepHour, int64_t stepDay, int64_t stepMonth, int64_t stepYear) {
  if (!gridlist) return;
  // The night temperature of daily steps starts as the step's temperature,
  // also when the correction itself is off.
  if (nighttemp) {
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r) {
      int c0, c1;
      ColumnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c)
        if (Processed(r, c)) nighttemp[r][c] = temperature[r][c];
    }
  }
  if (flowcontrol == 0) return;
  const bool recompute = counter >= every;
  counter = recompute ? 1 : counter + 1;
  if (recompute) teilmodellklasse::run(stepHour, stepDay, stepMonth, stepYear);
  // The shading of every step is written under the step's own date.
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);

  const int d = static_cast<int>(stepDay);
  const int m = static_cast<int>(stepMonth);
  double rise = 0;
  double set = 0;
  SunriseSunset(d, m, rise, set, latitude, longitude);
  rise = std::fmod(rise + 24, 24.0);
  set = std::fmod(set + 24, 24.0);
  // A step of more than a day takes the sun's path of its last day (the
  // path repeats daily) and that day's beam once for each of its days:
  // sub-intervals spread over the whole step would fall on its nights (the
  // one sub-interval of a two-day step on midnight) and leave every slope
  // uncorrected. A day or less is divided as it is.
  const double S = timeinterval / 60;  // step, hours
  const double span = std::min(S, 24.0);
  const double days = S / span;
  const double dt = span / splittings;
  // Centre of the step's first sub-interval.
  const double first = stepHour + mintointendhours - (1 - 0.5 / splittings) * span + timeshift;

#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    int c0, c1;
    ColumnsOf(r, c0, c1);
    for (int c = 1; c <= ncols; ++c) {
      const bool p = c >= c0 && c <= c1 && Processed(r, c);
      if (corrtemp) corrtemp[r][c] = p ? temperature[r][c] : nodata;
      if (p) {
        correction[r][c] = 0;
        ieffmax[r][c] = 0;
      }
    }
  }

  // This step's own sun: its beam on a horizontal surface and whether any
  // part of it is daylight.
  double H = 0;  // Wh/m2
  bool daylight = false;
  {
    double t = first;
    for (int i = 0; i < splittings; ++i, t += dt) {
      const Sun sun = SunAt(t, dt, d, m, rise, set);
      H += sun.beam * sun.cosz;
      daylight = daylight || sun.day;
    }
  }
  if (every == 1) {
    SlopeBeam(correction, first, dt, splittings, d, m, rise, set, true);
  } else {
    if (recompute) {
      // The steps until the next recomputation take the ratio over the sun's
      // path of those steps (the path repeats daily, so at most a day's); a
      // path without a beam leaves them uncorrected.
      const int steps = S >= 24 ? 1 : std::min(every, std::max(1, static_cast<int>(24 / S)));
      ForProcessed([&](int r, int c) { geometry[r][c] = 0; });
      const double path = SlopeBeam(geometry, first, dt, steps * splittings, d, m, rise, set, false);
      ForProcessed([&](int r, int c) { geometry[r][c] = path > 0 ? geometry[r][c] / path : 1.0; });
    }
    // The path's shading belongs to the hours ahead: every step marks and
    // writes the shading of its own sub-intervals, as without the path.
    double t = first;
    for (int i = 0; i < splittings; ++i, t += dt) {
      Shade(SunAt(t, dt, d, m, rise, set));
      WriteStatisticGrids(shadowpos, 1, 0);
    }
  }

  const bool withtemp = (method == 2 || method == 4) && corrtemp && temperature;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r) {
    int c0, c1;
    ColumnsOf(r, c0, c1);
    for (int c = c0; c <= c1; ++c) {
      if (!Processed(r, c)) continue;
      // Without a beam worth the name (the sun below 0.017 rad) a step that
      // still has daylight is not corrected: a flat cell's factor is 1. At
      // night the factor is 0.
      double k = daylight ? 1.0 : 0.0;
      if (every == 1) {
        const double sum = correction[r][c];
        ieffmax[r][c] = sum * days;
        if (H > 0) k = sum / H;
      } else {
        if (H > 0) k = geometry[r][c];
        ieffmax[r][c] = k * H * days;
      }
      correction[r][c] = k;
      // A missing temperature or sunshine leaves the corrected temperature missing.
      if (withtemp && (!(temperature[r][c] > nodata) || (sunshine && !(sunshine[r][c] > nodata)))) {
        corrtemp[r][c] = nodata;
      } else if (withtemp) {
        const double s = sunshine ? sunshine[r][c] : 0.5;
        const double T = temperature[r][c];
        // ln(0.2) = -1.6094 bounds the cooling of slopes that get little or no sun.
        if (k > 0.2)
          corrtemp[r][c] = T + s * tscale * std::log(k);
        else
          corrtemp[r][c] = H > 0 ? T - s * tscale * 1.6094 : T;
      }
    }
  }
  SetStepDate(stepYear, stepMonth, stepDay, stepHour);
  WriteStatisticGrids(correctionpos, 1, 0);
  if (corrtemppos > 0) WriteStatisticGrids(corrtemppos, 1, 0);
}

void expokorrklasse::CastShadows(double phi, double h) {
  const int sx = phi <= 3.14159265359 ? 1 : -1;
  const int sy = (phi <= 1.570796326795 || phi > 4.7123889803850005) ? 1 : -1;
  const bool rowsmajor = std::fabs(std::cos(phi)) > 0.707106781;
  int M = 0;
  int minor = 0;
  double drop = 0;  // height lost by the ray per step, m
  if (rowsmajor) {
    M = nrows;
    minor = static_cast<int>(std::fabs(nrows * std::sin(phi) / std::cos(phi)));
    drop = std::tan(h) * std::fabs(cellsize / std::cos(phi));
  } else {
    M = ncols;
    minor = static_cast<int>(std::fabs(ncols * std::cos(phi) / std::sin(phi)));
    drop = std::tan(h) * std::fabs(cellsize / std::sin(phi));
  }
  // Rows grow southwards, columns eastwards; a ray moves away from the sun.
  const int dr = sy;
  const int dc = -sx;
  auto ray = [&](int r, int c) {
    double y = elevation[r][c];
    int e = -(M / 2);
    while (true) {
      y -= drop;
      if (rowsmajor)
        r += dr;
      else
        c += dc;
      e += minor;
      if (e >= 0) {
        if (rowsmajor)
          c += dc;
        else
          r += dr;
        e -= M;
      }
      if (r < 1 || r > nrows || c < 1 || c > ncols) return;
      if (!(zonegrid[r][c] > nodata)) continue;
      const double z = elevation[r][c];
      if (z < y) {
        shadow[r][c] = 1;
      } else {
        shadow[r][c] = 0;
        y = z;
      }
    }
  };
  const int edgerow = sy == 1 ? 1 : nrows;
  const int suncol = sx == 1 ? ncols : 1;
  // Rays from the sun-side column, from the far edge towards the sun-side row,
  // then the rays of that row, whose marks overwrite the earlier ones.
  if (sy == 1) {
    for (int r = nrows; r >= 2; --r) ray(r, suncol);
  } else {
    for (int r = 1; r <= nrows - 1; ++r) ray(r, suncol);
  }
  if (sx == 1) {
    for (int c = 1; c <= ncols; ++c) ray(edgerow, c);
  } else {
    for (int c = ncols; c >= 1; --c) ray(edgerow, c);
  }
}

Grid expokorrklasse::GetRadiationCorrectionGrid() {
  return flowcontrol == 1 ? correction : nullptr;
}

void expokorrklasse::FreeMemory() {
  if (gridlist) {
    ReleaseRegisteredGrid(nighttemppos, nighttemp);
    ReleaseRegisteredGrid(corrtemppos, corrtemp);
    ReleaseRegisteredGrid(shadowpos, shadow);
    ReleaseRegisteredGrid(correctionpos, correction);
    ReleaseRegisteredGrid(ieffmaxpos, ieffmax);
    if (geometry) FreeMatrix(geometry, firstrow, lastrow, 1, ncols);
    geometry = nullptr;
  }
  teilmodellklasse::FreeMemory();
}
