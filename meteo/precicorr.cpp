// Precipitation correction for wind and temperature.
#include "meteo/precicorr.h"

#include <algorithm>
#include <cmath>

#include "framework/diagstream.h"
#include "meteo/meteointerpol.h"

precicorrclass::precicorrclass(int& error, DiagStream* diagnostics, const PreciCorrArgs& args)
    : modelobject(diagnostics, args.controlFileName, 0, args.model) {
  error = 0;
  modulname = "precipitation_correction";
  try {
    gridlist = args.gridList;
    SetGeometry(args.ncols, args.nrows, args.xll, args.yll, args.cellSize, args.nodata);
    SetRowRange(args.firstRow, args.lastRow);
    SetDataColumns(args.dataColumns);
    DataColumns = args.dataColumns;
    Interpolators = args.interpolators;
    InterpolatorCount = args.interpolators ? args.interpolatorCount : 0;
    ReadSection();
    if (DoIt != 0) Bind();
  } catch (int code) {
    error = code;
    controlfile.Close();
  } catch (...) {
    error = 103;
    controlfile.Close();
  }
}

void precicorrclass::ReadSection() {
  if (!controlfile.Open(controlfilename, diag)) {
    *diag << "FATAL: error opening " << controlfilename.c_str() << "[end-entry]";
    throw 28;
  }
  FindSection("[" + modulname + "]", true);
  const std::string& s = modulname;
  ReadValue(controlfile, "%d", &DoIt, "do_it fuer " + s, linebuffer);
  ReadValue(controlfile, "%lf", &Tg, "Grenztemperatur fuer " + s, linebuffer);
  ReadValue(controlfile, "%lf", &aR, "Konstante Regen fuer " + s, linebuffer);
  ReadValue(controlfile, "%lf", &bR, "Anstieg Regen fuer " + s, linebuffer);
  ReadValue(controlfile, "%lf", &aS, "Konstante Schnee fuer " + s, linebuffer);
  ReadValue(controlfile, "%lf", &bS, "Anstieg Schnee fuer " + s, linebuffer);
  if (!controlfile.Close()) {
    *diag << "FATAL: error closing" << controlfilename.c_str() << "[end-entry]";
    throw 11;
  }
}

void precicorrclass::Bind() {
  auto position = [&](const char* name) {
    for (int i = 1; i <= InterpolatorCount; ++i)
      if (Interpolators[i] && Interpolators[i]->GetVariableName() == name) return i;
    return -1;
  };
  PrecipitationIndex = std::max(0, position("precipitation"));
  TemperatureIndex = position("temperature");
  WindIndex = position("wind_speed");
  GridMode = PrecipitationIndex == 0 ? 1 : 0;
  const bool temperatureGrid = FindGrid("temperature", false) > 0;
  const bool windGrid = FindGrid("wind_speed", false) > 0;
  if (TemperatureIndex < 0) {
    if (temperatureGrid)
      GridMode = 1;
    else
      NoTemperature = true;
  }
  if (WindIndex < 0) {
    if (windGrid)
      GridMode = 1;
    else
      NoWind = true;
  }
  for (int index : {WindIndex, TemperatureIndex, PrecipitationIndex})
    if (index > 0 && Interpolators[index]->GetMethod() == 9) GridMode = 1;

  Precipitation = gridlist[GetGrid("precipitation")].grid;
  if (temperatureGrid) Temperature = gridlist[FindGrid("temperature", false)].grid;
  if (windGrid) Wind = gridlist[FindGrid("wind_speed", false)].grid;
  // Without a precipitation interpolator the last interpolator's nodata value judges the grid.
  if (PrecipitationIndex > 0)
    PrecipitationNodata = Interpolators[PrecipitationIndex]->GetNodata();
  else if (InterpolatorCount > 0)
    PrecipitationNodata = Interpolators[InterpolatorCount]->GetNodata();
  TemperatureNodata = TemperatureIndex > 0 ? Interpolators[TemperatureIndex]->GetNodata() : PrecipitationNodata;
  WindNodata = WindIndex > 0 ? Interpolators[WindIndex]->GetNodata() : PrecipitationNodata;

  if (!GridMode) {
    const meteointerpol* p = Interpolators[PrecipitationIndex];
    const int method = p->GetMethod();
    const int n = (method == 2 || method == 10) ? 1 : p->GetStationCount(0);
    StationTemperature.assign(static_cast<size_t>(n) + 1, 0.0);
    StationWind.assign(static_cast<size_t>(n) + 1, 0.0);
  }
}

void precicorrclass::FreeMemory() {
  StationTemperature.clear();
  StationWind.clear();
  modelobject::FreeMemory();
}

double precicorrclass::TemperatureAt(double x, double y, double z, std::vector<double>& work) const {
  // Without a temperature, or where it cannot be interpolated, the precipitation is rain.
  if (TemperatureIndex <= 0) return Tg + 1.0;
  const double t = Interpolators[TemperatureIndex]->InterpolateAtPoint(x, y, z, work.data());
  return t >= -TemperatureNodata ? t : Tg + 1.0;
}

double precicorrclass::WindAt(double x, double y, double z, std::vector<double>& work) const {
  if (WindIndex <= 0) return 0.0;
  const double w = Interpolators[WindIndex]->InterpolateAtPoint(x, y, z, work.data());
  return w >= -WindNodata ? w : 0.0;
}

void precicorrclass::RefitBand(double& a, double& b, double zFirst, double zStep, int count,
                               std::vector<double>& work) {
  double sz = 0, sp = 0, szz = 0, szp = 0;
  for (int k = 0; k < count; ++k) {
    const double z = zFirst + k * zStep;
    const double p = (a + b * z) * Factor(TemperatureAt(nodata, nodata, z, work), WindAt(nodata, nodata, z, work));
    sz += z;
    sp += p;
    szz += z * z;
    szp += z * p;
  }
  const double denominator = count * szz - sz * sz;
  if (count < 2 || denominator == 0) return;
  b = (count * szp - sz * sp) / denominator;
  a = (sp - b * sz) / count;
}

void precicorrclass::CorrectStationData() {
  if (DoIt == 0 || GridMode) return;
  meteointerpol* p = Interpolators[PrecipitationIndex];
  int largest = p->GetStationCount(0);
  if (TemperatureIndex > 0) largest = std::max(largest, Interpolators[TemperatureIndex]->GetStationCount(0));
  if (WindIndex > 0) largest = std::max(largest, Interpolators[WindIndex]->GetStationCount(0));
  std::vector<double> work(static_cast<size_t>(largest) + 1, 0.0);
  const double pn = PrecipitationNodata;
  const int method = p->GetMethod();

  if (method != 2 && method != 10) {
    std::vector<double>& values = p->StationValuesForCorrection(0);
    const std::vector<double>& z = p->GetStationAltitude(0);
    const std::vector<double>& x = p->GetStationX(0);
    const std::vector<double>& y = p->GetStationY(0);
    const int n = p->GetStationCount(0);
    if (static_cast<int>(StationTemperature.size()) < n + 1) {
      StationTemperature.assign(static_cast<size_t>(n) + 1, 0.0);
      StationWind.assign(static_cast<size_t>(n) + 1, 0.0);
    }
    for (int i = 1; i <= n; ++i) {
      StationTemperature[static_cast<size_t>(i)] = TemperatureAt(x[i], y[i], z[i], work);
      StationWind[static_cast<size_t>(i)] = WindAt(x[i], y[i], z[i], work);
      if (values[i] >= -pn)
        values[i] *= Factor(StationTemperature[static_cast<size_t>(i)], StationWind[static_cast<size_t>(i)]);
    }
    // Corrected values differ by their stations' wind and temperature: judge
    // the record again, so that the uniform-field shortcut sees the new values.
    p->RecomputeAllEqual(0);
  }

  if (method == 2 || method == 3 || method == 10 || method == 11) {
    double h1 = 0, h2 = 0, a[4], b[4];
    p->GetRegressionParameters(1, h1, h2, a, b);
    const double a1 = a[1];
    if (a[1] >= -pn) {
      if (h1 > 0 && b[1] != 0)
        RefitBand(a[1], b[1], 0, h1 / 10, 11, work);
      else if (h2 > 0)
        RefitBand(a[2], b[2], 0, h2 / 10, 11, work);
      if (b[3] != 0 && Zmax > h2) {
        const double top = std::max(2 * h2, Zmax);
        // A tenth of the band up to the highest cell, but at most 1001
        // samples up to top: with the highest cell just above h2 the tenth
        // would ask for millions of point interpolations per step.
        const double step = std::max((Zmax - h2) / 10, (top - h2) / 1000);
        const int count = static_cast<int>(std::floor((top - h2) / step + 1e-9)) + 1;
        RefitBand(a[3], b[3], h2, step, count, work);
      }
      // The middle band joins the two outer ones again.
      if (h1 <= 0) {
        if (std::fabs(b[3] - b[2]) > 0.0001) h2 = (a[2] - a[3]) / (b[3] - b[2]);
      } else if (h2 != h1) {
        b[2] = ((a[3] + b[3] * h2) - (a[1] + b[1] * h1)) / (h2 - h1);
        a[2] = (b[1] - b[2]) * h1 + a[1];
      }
    }
    p->SetRegressionParameters(h2, 1, a, b);
    // The trend plane of the residuals carries the first intercept: it moves
    // with it, or the lowest band would keep its uncorrected intercept.
    if (a1 >= -pn) p->ShiftTrendIntercept(1, a[1] - a1);
  }
}

void precicorrclass::CorrectGrid() {
  if (DoIt == 0 || !Precipitation) return;
  if (!MPIRegionsBound) {
    const int index = ScanByShortName("MPIRegions");
    if (index > 0) MPIRegions = gridlist[index].grid;
    MPIRegionsBound = true;
  }
  const Grid regions = MPIRegions;
  const Grid precipitation = Precipitation;
  const Grid temperature = Temperature;
  const Grid wind = Wind;
  const double rank = mpirank;
  const double pn = PrecipitationNodata;
  const double tn = TemperatureNodata;
  const double wn = WindNodata;
  const double missing = nodata;
  const int rowFirst = firstrow;
  const int rowLast = lastrow;
#pragma omp parallel for schedule(runtime)
  for (int r = rowFirst; r <= rowLast; ++r) {
    int first = 1;
    int last = ncols;
    if (DataColumns) {
      first = std::max(1, DataColumns[r].first);
      last = std::min(ncols, DataColumns[r].last);
    }
    for (int c = first; c <= last; ++c) {
      if (regions && regions[r][c] != rank) continue;
      double& p = precipitation[r][c];
      // Missing cells (nodata of the grid) stay as they are.
      if (!(p >= -pn) || !(p > missing)) continue;
      double t = Tg + 1.0;
      if (temperature) {
        const double v = temperature[r][c];
        if (v >= -tn && v > missing) t = v;
      }
      double w = 0.0;
      if (wind) {
        const double v = wind[r][c];
        if (v >= -wn && v > missing) w = v;
      }
      p *= Factor(t, w);
    }
  }
}
