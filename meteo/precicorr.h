// Correction of measured precipitation for the undercatch of the gauges: a
// factor b W + a that grows with the wind speed W, with one pair (a, b) for
// rain and one for snow, told apart by the air temperature. It corrects the
// station values of the precipitation interpolator before they are
// interpolated (station mode), or the finished precipitation grid (grid mode).
#pragma once

#include <string>
#include <vector>

#include "framework/modelobject.h"

class meteointerpol;

struct PreciCorrArgs {
  ModelObjectArgs model;
  std::string controlFileName;  // the preprocessed control file
  GridListEntry* gridList = nullptr;
  int ncols = 0;
  int nrows = 0;
  int firstRow = 1;
  int lastRow = 0;
  double xll = 0;
  double yll = 0;
  double cellSize = 1;
  double nodata = kNodata;
  const ColumnRange* dataColumns = nullptr;       // per row; null: columns 1 ... ncols
  meteointerpol* const* interpolators = nullptr;  // 1 ... count
  int interpolatorCount = 0;
  int regionCount = 0;
};

class precicorrclass : public modelobject {
 public:
  // A failure is stored in error (an int code as raised, anything else 103).
  precicorrclass(int& error, DiagStream* diagnostics, const PreciCorrArgs& args);
  ~precicorrclass() override = default;

  void FreeMemory() override;
  // Station mode: corrects the precipitation station values of the step and
  // the elevation regression of the precipitation interpolator.
  virtual void CorrectStationData();
  // Corrects the precipitation grid in place over this instance's cells.
  virtual void CorrectGrid();
  // Highest elevation of the model, the top of the third regression band.
  virtual void SetGridMaximum(double zmax) { Zmax = zmax; }

  bool GetGridMode() const { return GridMode != 0; }
  int GetDoIt() const { return DoIt; }
  // The factor for temperature t and wind speed w.
  double Factor(double t, double w) const { return t > Tg ? bR * w + aR : bS * w + aS; }

 private:
  void ReadSection();
  void Bind();
  // Least-squares line through the corrected band line a + b z at count altitudes.
  void RefitBand(double& a, double& b, double zFirst, double zStep, int count, std::vector<double>& work);
  double TemperatureAt(double x, double y, double z, std::vector<double>& work) const;
  double WindAt(double x, double y, double z, std::vector<double>& work) const;

  int DoIt = 1;
  double Tg = 0;
  double aR = 1;
  double bR = 0;
  double aS = 1;
  double bS = 0;
  double Zmax = 0;
  unsigned char GridMode = 0;
  bool NoTemperature = false;
  bool NoWind = false;
  meteointerpol* const* Interpolators = nullptr;
  int InterpolatorCount = 0;
  int PrecipitationIndex = 0;  // positions among the interpolators; 0 or -1: none
  int TemperatureIndex = -1;
  int WindIndex = -1;
  Grid Precipitation = nullptr;
  Grid Temperature = nullptr;
  Grid Wind = nullptr;
  double PrecipitationNodata = 9999;  // the interpolators' positive nodata values
  double TemperatureNodata = 9999;
  double WindNodata = 9999;
  const ColumnRange* DataColumns = nullptr;
  std::vector<double> StationTemperature;  // 1 ... n
  std::vector<double> StationWind;
  bool MPIRegionsBound = false;
};
