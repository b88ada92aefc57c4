// The radiation correction sub-model, section "[radiation_correction]": per
// step and cell the ratio of the clear-sky direct radiation on the sloped cell
// surface to that on a horizontal surface ("radiation_correction"), with
// terrain shading cast from the elevation model along the sun direction, and
// from it a slope- and aspect-corrected temperature ("corr_temperature").
// For daily steps it keeps the night temperature grid "temperature_night",
// which the Penman-Monteith method of the evapotranspiration model changes in
// place.
#pragma once

#include <cstdint>
#include <string>

#include "framework/submodelframe.h"

class expokorrklasse : public teilmodellklasse {
 public:
  expokorrklasse(int& error, DiagStream* diagnostics, StatRecord* registry, int registryCapacity,
                 const std::string& workFileName, const SubModelArgs& common, int subSteps = 1);

  void run(int64_t hour, int64_t day, int64_t month, int64_t year) override;
  // The correction grid when the module's flow control is exactly 1, else null.
  virtual Grid GetRadiationCorrectionGrid();
  void FreeMemory() override;

  // Marks the cells of the whole model grid that the terrain shades for a sun
  // at the azimuth (radians clockwise from north) and elevation (radians) in
  // the "Shadow" grid (1 shaded, 0 lit; cells outside the zones untouched).
  // Instance 0 only, which holds the whole elevation model.
  void CastShadows(double azimuth, double elevation);

  int GetMethod() const { return method; }
  int GetShadowPosition() const { return shadowpos; }
  int GetCorrectionPosition() const { return correctionpos; }
  int GetCorrectedTemperaturePosition() const { return corrtemppos; }
  int GetNightTemperaturePosition() const { return nighttemppos; }

 private:
  // Zone data, this instance's cell and, with response units, a master cell.
  bool Processed(int r, int c) const;
  template <typename F>
  void ForProcessed(F&& f) {
    // Rows on the threads: f may only touch the cell it is given.
#pragma omp parallel for schedule(runtime)
    for (int r = firstrow; r <= lastrow; ++r) {
      int c0, c1;
      ColumnsOf(r, c0, c1);
      for (int c = c0; c <= c1; ++c)
        if (Processed(r, c)) f(r, c);
    }
  }
  void ColumnsOf(int r, int& c0, int& c1) const;
  // A new grid over rows first ... last: nodata outside the zones, 0 inside.
  Grid NewGrid(int first, int last);
  int Register(const std::string& fileName, Grid grid, const std::string& shortName, int writeCode, int first,
               int last);
  // The sun in one sub-interval centred at clock hour t (may exceed 24) of
  // length dt hours: daylight, azimuth, elevation, cos Z and the clear-sky
  // beam I0 (Wh/m2, 0 with the sun below 0.017 rad).
  struct Sun {
    bool day = false;
    double azimuth = 0, elevation = 0, cosz = 1, beam = 0;
  };
  Sun SunAt(double t, double dt, int d, int m, double rise, double set);
  // Adds the direct beam of count sub-intervals of dt hours, the first centred
  // at t, on every processed cell into sums (Wh/m2), with the shading of each
  // sub-interval (written after each with writeShadow); returns the beam on
  // a horizontal surface.
  double SlopeBeam(Grid sums, double t, double dt, int count, int d, int m, double rise, double set, bool writeShadow);
  // Marks the "Shadow" grid with the shading of one sub-interval's sun (0
  // everywhere at night, without shading or with response units); every
  // instance calls it.
  void Shade(const Sun& sun);

  int method = 2;
  std::string tkorrfile;
  int tkorrcode = 0;
  double tscale = 0;  // K per unit of ln(ratio)
  std::string exkorrfile;
  int exkorrcode = 0;
  std::string shapefile;
  int shapecode = 0;
  int every = 1;  // the correction is recomputed every N-th step
  int splittings = 1;
  int counter = 0;
  // Recomputed every N > 1 steps: the ratio of sloped to horizontal beam over
  // the sun's path of those steps, which every daylight step among them takes.
  Grid geometry = nullptr;

  bool hruon = false;
  Grid hrumaster = nullptr;
  Grid elevation = nullptr;
  Grid aspect = nullptr;  // degrees clockwise from north
  Grid slope = nullptr;   // degrees
  Grid sunshine = nullptr;
  Grid temperature = nullptr;

  Grid correction = nullptr;
  Grid shadow = nullptr;
  Grid ieffmax = nullptr;
  Grid corrtemp = nullptr;
  Grid nighttemp = nullptr;
  int correctionpos = 0;
  int shadowpos = 0;
  int ieffmaxpos = 0;
  int corrtemppos = 0;
  int nighttemppos = 0;
  int shadowfirst = 0;  // rows of the shadow grid
  int shadowlast = 0;
};
