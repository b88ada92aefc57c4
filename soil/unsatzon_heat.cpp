// Soil heat transfer set-up of the unsaturated zone: the section
// "[heat_transfer]", the soil temperature stack, the lower boundary
// temperature and the heat parameters of the soil table.
#include <cmath>

#include "framework/diagstream.h"
#include "framework/zonalstatistic.h"
#include "parameters/soil_table_entry.h"
#include "soil/unsatzon.h"

void unsatzonmodellklasse::ReadHeatTransferSection() {
  if (FindSection("[heat_transfer]", false) == 0) return;
  ReadValue(controlfile, "%d", &heat_transfer_flow_control, "flow control parameter for heat_transfer ", linebuffer);
  if (heat_transfer_flow_control <= 0) return;
  ReadValue(controlfile, "%d", &heat_transfer_method, " method of heat transfer modelling ", linebuffer);
  int unused = 0;
  ReadValue(controlfile, "%d", &unused, " first integer line after the method of heat transfer modelling ", linebuffer);
  ReadValue(controlfile, "%d", &unused, " second integer line after the method of heat transfer modelling ",
            linebuffer);
  struct Parameter {
    double* target;
    const char* label;
  };
  const Parameter parameters[19] = {{&dTModLowBoundBase, " dTModLowBoundBase "},
                                    {&dTModLapseRate, " dTModLapseRate "},
                                    {&dTModCDrySoil, " dTModCDrySoil "},
                                    {&dTModRhoDrySoil, " dTModRhoDrySoil "},
                                    {&dTModLamDrySoil, " dTModLamDrySoil "},
                                    {&dTModKmin, " dTModKmin "},
                                    {&dTModLamWat, " dTModLamWat "},
                                    {&dTModLamIce, " dTModLamIce "},
                                    {&dTModCWater, " dTModCWater "},
                                    {&dTModCIce20, " dTModCIce20 "},
                                    {&dTModCIce0, " dTModCIce0 "},
                                    {&dTModLatHeat, " dTModLatHeat "},
                                    {&dTModRhoWater, " dTModRhoWater "},
                                    {&dTModFactor, " dTModFactor "},
                                    {&dTModSEForStat, " dTModSEForStat "},
                                    {&dTModShortestStep, " dTModShortestStep "},
                                    {&dTModLongestStep, " dTModLongestStep "},
                                    {&dTModNFactorFreezing, " dTModNFactorFreezing "},
                                    {&dTModNFactorThawing, " dTModNFactorThawing "}};
  for (const Parameter& p : parameters) ReadValue(controlfile, "%lf", p.target, p.label, linebuffer);
  // The heat sub-steps divide the water sub-step: both limits must be positive.
  if (!(dTModShortestStep > 0) || !(dTModLongestStep >= dTModShortestStep))
    Fatal("FATAL: error in control file, [heat_transfer]: dTModShortestStep " + std::to_string(dTModShortestStep) +
              " and dTModLongestStep " + std::to_string(dTModLongestStep) + " (" + UserControlFile() +
              "); the shortest step has to be greater than 0 and not greater than the longest",
          17);
  ReadName(pointfiles[kPointTEMPER], "Name of the temperature-file in ");
  MakePath(DefaultOutputDirectory, pointfiles[kPointTEMPER]);
  ReadStatLine(statfiles[kStatTEMPER], "name of the temperstatfiles in ");
  ReadOutputPair(outfiles[kOutTEMPER], "name of the temper-stacks in ", "Writecode temper in ");
  ReadOutputPair(outfiles[kOutTHAWDEPTH], "name of the thawdepth-grid (heat-tr.mod.) in ",
                 "Writecode thawdepth (heat-tr.mod.) in ");
}

void unsatzonmodellklasse::HeatTransferSetup() {
  air_temperature = gridlist[GetGrid("temperature")].grid;
  int p = FindGrid("T_Lower_Boundary_Condition", true);
  T_Lower_Boundary_Condition = p > 0 ? gridlist[p].grid : nullptr;
  p = FindGrid("HeatFlux_Lower_Boundary_Condition", true);
  HeatFlux_Lower_Boundary_Condition = p > 0 ? gridlist[p].grid : nullptr;
  heat_flux_lower_boundary = HeatFlux_Lower_Boundary_Condition ? 1 : 0;

  statistics[kStatTEMPER] = NewStatistic(kStatTEMPER, 5, "soil thaw depth [m] ", statregistry, statregistrycapacity,
                                         statfiles[kStatTEMPER].name);

  const bool read = storage_read_parameter == 1 || storage_read_parameter == 3;
  Soil_Temperature_Stack = NewStack("Soil_Temperature_Stack", outfiles[kOutTEMPER], read);
  if (!read) {
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c) {
        const double v = OwnValidCell(r, c) ? 0.0 : nodata;
        for (int k = 0; k <= layers; ++k) Soil_Temperature_Stack[r][c][k] = v;
      }
    // The start temperatures follow from the air and the lower boundary at the first step.
    soil_temperature_pending = 1;
  }

  if (!T_Lower_Boundary_Condition) {
    // Lapse rate in K/m: the deep soil is as warm as the mean air at the cell's elevation.
    FileSpec spec{"T_Lower_Boundary_Condition", 0};
    T_Lower_Boundary_Condition = NewGrid("T_Lower_Boundary_Condition", spec, 0.0, false, false);
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c)
        T_Lower_Boundary_Condition[r][c] =
            OwnValidCell(r, c) ? dTModLowBoundBase + dTModLapseRate * geodetic_heads[r][c][0] : nodata;
    const int position = owned.back().position;
    if (mpisize > 1) {
      Grid whole = MPIGatherGridAlloc(position);
      if (mpirank == 0)
        WriteGrid("T_Lower_Boundary_Condition", whole ? whole : T_Lower_Boundary_Condition, WriteAsciiGrids,
                  WriteDoubleGrids);
      if (whole) FreeMatrix(whole, 1, nrows, 1, ncols);
    } else {
      WriteGrid("T_Lower_Boundary_Condition", T_Lower_Boundary_Condition, WriteAsciiGrids, WriteDoubleGrids);
    }
  }
}

void unsatzonmodellklasse::HeatTransferGrids() {
  // The groundwater model exchanges the border rows of the frozen-soil and
  // thaw-depth grids: both hold a row above and below the instance's rows.
  if (FindGrid("gw_k_x_1", true) > 0 && FindGrid("gw_k_y_1", true) > 0) {
    FileSpec spec{"frozenSoilInGroundwater", 0};
    frozenSoilInGroundwater = NewGrid("frozenSoilInGroundwater", spec, 0.0, false, true);
    for (int r = firstrow; r <= lastrow; ++r)
      for (int c = 1; c <= ncols; ++c)
        frozenSoilInGroundwater[r][c] =
            OwnValidCell(r, c) ? geodetic_heads[r][c][0] - geodetic_heads[r][c][layers] : nodata;
  }

  ThawDepthTMod = NewGrid("ThawDepthTMod", outfiles[kOutTHAWDEPTH], 0.0, false, true);

  // Heat parameters not given in the soil table take the section's values; 0 stays.
  for (int s = 1; s <= SoilTableCount(); ++s) {
    soil_table_entry& e = soiltable[s];
    for (int L = 0; L <= e.layers; ++L) {
      if (L < static_cast<int>(e.DryDensity.size()) && e.DryDensity[L] < 0) e.DryDensity[L] = dTModRhoDrySoil;
      if (L < static_cast<int>(e.DryHeatCapacity.size()) && e.DryHeatCapacity[L] < 0)
        e.DryHeatCapacity[L] = dTModCDrySoil;
      if (L < static_cast<int>(e.DryThermalConduct.size()) && e.DryThermalConduct[L] < 0)
        e.DryThermalConduct[L] = dTModLamDrySoil;
    }
    if (e.KMinFrozenSoil < 0) {
      e.KMinFrozenSoil = dTModKmin;
      if (e.KMinFrozenSoil > 0) e.LogKMinFrozenSoil = std::log(e.KMinFrozenSoil);
    }
    for (int L = 1; L <= e.layers; ++L) e.BuildVanGenuchtenTable(L, dTModFactor);
  }
}
