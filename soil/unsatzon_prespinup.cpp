// Temperature pre-SpinUp of the unsaturated zone: degree days and the mean
// air temperature of every own cell over the input period, then a steady soil
// temperature profile per cell as the start of the heat transport.
#include <algorithm>

#include "framework/diagstream.h"
#include "parameters/landuse_table_entry.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"

void unsatzonmodellklasse::PreSpinUpStep(int64_t hour, int64_t day, int64_t month, int64_t year) {
  (void)hour;
  if (!air_temperature || heat_transfer_flow_control <= 0) {
    *diag << "FATAL: heat transfer model not active in unsatzon_model. This is required for pre-SpinUp!"
          << "[end-entry]";
    throw uzk::kPreSpinUpError;
  }
  if (!FreezingDegreeDays) {
    const FileSpec none{"", 0};
    FreezingDegreeDays = NewGrid("FreezingDegreeDays", none, 0.0, false, false);
    thawingDegreeDays = NewGrid("thawingDegreeDays", none, 0.0, false, false);
    DailyTemperature = NewGrid("DailyTemperature", none, 0.0, false, false);
    AnnualTemperature = NewGrid("AnnualTemperature", none, 0.0, false, false);
    prespinupclock = uzk::PreSpinUpClock{};
  }
  // Days close by the date (steps of less than an hour repeat their hour).
  const uzk::DayClosing closing = uzk::AdvancePreSpinUpClock(prespinupclock, year, month, day, timeinterval);
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c) || !(air_temperature[r][c] > nodata)) continue;
      uzk::AccumulatePreSpinUpCell(closing, air_temperature[r][c], DailyTemperature[r][c], AnnualTemperature[r][c],
                                   thawingDegreeDays[r][c], FreezingDegreeDays[r][c]);
    }
}

void unsatzonmodellklasse::WriteWholeGrid(const std::string& name, Grid grid) {
  if (mpisize > 1) {
    const int position = PositionOf(grid);
    Grid whole = MPIGatherGridAlloc(position);
    if (mpirank == 0) WriteGrid(name, whole ? whole : grid, WriteAsciiGrids, WriteDoubleGrids);
    if (whole) FreeMatrix(whole, 1, nrows, 1, ncols);
  } else {
    WriteGrid(name, grid, WriteAsciiGrids, WriteDoubleGrids);
  }
}

void unsatzonmodellklasse::SetPreSpinUpSoilTemperature() {
  if (!FreezingDegreeDays || !Soil_Temperature_Stack) {
    *diag << "FATAL: heat transfer model not active in unsatzon_model. This is required for pre-SpinUp!"
          << "[end-entry]";
    throw uzk::kPreSpinUpError;
  }
  const long steps = prespinupclock.stepsTotal;
  const double years = uzk::PreSpinUpPeriodYears(*diag, steps, timeinterval);
  looperror = 0;
#pragma omp parallel for schedule(runtime)
  for (int r = firstrow; r <= lastrow; ++r)
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnValidCell(r, c) || !(air_temperature[r][c] > nodata)) continue;
      soil_table_entry* soil = SoilOf(r, c);
      if (!soil) continue;
      AnnualTemperature[r][c] /= static_cast<double>(steps);
      uzk::PreSpinUpCell cell;
      cell.meanAirTemperature = AnnualTemperature[r][c];
      cell.tdd = thawingDegreeDays[r][c];
      cell.fdd = FreezingDegreeDays[r][c];
      cell.periodYears = years;
      cell.lambdaWater = dTModLamWat;
      cell.lambdaIce = dTModLamIce;
      cell.nThawing = dTModNFactorThawing;
      cell.nFreezing = dTModNFactorFreezing;
      const int lu = landuse[1] && landuse[1][r][c] > nodata ? static_cast<int>(landuse[1][r][c]) : 0;
      if (landusetable && lu >= 1 && lu <= landusetable[0].code) {
        cell.nThawing = uzk::NFactorOrDefault(landusetable[lu].GetNfThawing(), dTModNFactorThawing);
        cell.nFreezing = uzk::NFactorOrDefault(landusetable[lu].GetNfFreezing(), dTModNFactorFreezing);
      }
      if (heat_flux_lower_boundary && HeatFlux_Lower_Boundary_Condition &&
          HeatFlux_Lower_Boundary_Condition[r][c] > nodata)
        cell.heatFlux = HeatFlux_Lower_Boundary_Condition[r][c];
      const int n = std::min(layers, soil->layers);
      uzk::PreSpinUpProfile(soilconstants[static_cast<int>(soil_types[r][c])], cell, n, soil->thickness.data(),
                            theta[r][c], geodetic_heads[r][c], Soil_Temperature_Stack[r][c]);
    }
  WriteWholeGrid("FreezingDegreeDays", FreezingDegreeDays);
  WriteWholeGrid("thawingDegreeDays", thawingDegreeDays);
  WriteWholeGrid("AnnualTemperature", AnnualTemperature);
  // The stack of every instance's rows is gathered by the dated writer of its grid-list entry.
  const int p = PositionOf(Soil_Temperature_Stack);
  if (mpisize > 1 && p > 0)
    WriteDatedGrid(p);
  else
    WriteStack(outfiles[kOutTEMPER].name, Soil_Temperature_Stack, layers, WriteAsciiGrids, WriteDoubleGrids);
  for (Grid* g : {&FreezingDegreeDays, &thawingDegreeDays, &DailyTemperature, &AnnualTemperature}) {
    for (OwnedGrid& o : owned)
      if (o.grid == *g) {
        if (o.position > 0) UnregisterGrid(o.position);
        FreeMatrix(o.grid, o.first, o.last, 1, ncols);
        o = OwnedGrid{};
      }
    *g = nullptr;
  }
  prespinupclock = uzk::PreSpinUpClock{};
  // The profile is the start of the heat transport: the first step keeps it.
  soil_temperature_pending = 0;
}
