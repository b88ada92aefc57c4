// Soil heat transfer set-up of the unsaturated zone: the section
// "[heat_transfer]", the soil temperature stack, the lower boundary
// temperature and the heat parameters of the soil table.
#include <cmath>
#include <sstream>

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
  // Each parameter within the range where it has a physical meaning: a
  // conductivity, heat capacity, density or latent heat not above 0 makes
  // the conductivity a power of a negative number or divides the heat flux
  // by a capacity of 0 (soil temperatures of NaN or 1e27 C).
  enum Range { kAnyNumber, kAboveZero, kZeroOrMore, kShare };
  struct Parameter {
    double* target;
    const char* label;
    Range range;
  };
  const Parameter parameters[19] = {{&dTModLowBoundBase, " dTModLowBoundBase ", kAnyNumber},
                                    {&dTModLapseRate, " dTModLapseRate ", kAnyNumber},
                                    {&dTModCDrySoil, " dTModCDrySoil ", kAboveZero},
                                    {&dTModRhoDrySoil, " dTModRhoDrySoil ", kAboveZero},
                                    {&dTModLamDrySoil, " dTModLamDrySoil ", kAboveZero},
                                    {&dTModKmin, " dTModKmin ", kZeroOrMore},
                                    {&dTModLamWat, " dTModLamWat ", kAboveZero},
                                    {&dTModLamIce, " dTModLamIce ", kAboveZero},
                                    {&dTModCWater, " dTModCWater ", kAboveZero},
                                    {&dTModCIce20, " dTModCIce20 ", kAboveZero},
                                    {&dTModCIce0, " dTModCIce0 ", kAboveZero},
                                    {&dTModLatHeat, " dTModLatHeat ", kAboveZero},
                                    {&dTModRhoWater, " dTModRhoWater ", kAboveZero},
                                    {&dTModFactor, " dTModFactor ", kAboveZero},
                                    {&dTModSEForStat, " dTModSEForStat ", kShare},
                                    {&dTModShortestStep, " dTModShortestStep ", kAnyNumber},
                                    {&dTModLongestStep, " dTModLongestStep ", kAnyNumber},
                                    {&dTModNFactorFreezing, " dTModNFactorFreezing ", kZeroOrMore},
                                    {&dTModNFactorThawing, " dTModNFactorThawing ", kZeroOrMore}};
  for (const Parameter& p : parameters) {
    ReadValue(controlfile, "%lf", p.target, p.label, linebuffer);
    const double v = *p.target;
    const char* expected = nullptr;
    if (!std::isfinite(v))
      expected = "it has to be a number";
    else if (p.range == kAboveZero && !(v > 0))
      expected = "a conductivity, heat capacity, density, latent heat or factor has to be greater than 0";
    else if (p.range == kZeroOrMore && !(v >= 0))
      expected = "it has to be 0 or more";
    else if (p.range == kShare && !(v >= 0 && v <= 1))
      expected = "a share of the unfrozen water has to lie within 0 ... 1";
    if (expected) {
      std::ostringstream text;
      text << "FATAL: error in control file, [heat_transfer]:" << p.label << "= " << v << " (" << controlfile.Where()
           << "); " << expected;
      Fatal(text.str(), 17);
    }
  }
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
