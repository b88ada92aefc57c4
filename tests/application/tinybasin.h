// The 3 x 2 basin of cells of 1000 m that the runs of the program use (zones
// 1 1 2 / 1 2 2; lower-left corners x 0, 1000, 2000 and y 1000 for the upper
// row, 0 for the lower) and the control file around one meteorological
// variable, with every process module off.
#pragma once

#include <filesystem>
#include <sstream>
#include <string>

#include "tests/support/testutil.h"

namespace fluvextest {

constexpr const char* kTinyHeader = "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";

inline void WriteTinyBasin(const TempDir& dir) {
  WriteFile(dir / "zones.asc", std::string(kTinyHeader) + "1 1 2\n1 2 2\n");
  WriteFile(dir / "dem.asc", std::string(kTinyHeader) + "100 200 300\n150 250 350\n");
  std::filesystem::create_directories(dir / "out");
}

// The control file: output control, min_to_int_end (minutes), the model time
// as start and end (hour day month year each), the variable and its section
// body; further sections follow the modules.
inline std::string TinyControl(const std::string& outputControl, int minToIntEnd, const std::string& modelTime,
                               const std::string& variable, const std::string& section, const std::string& more = "") {
  std::ostringstream c;
  c << "[output_interval]\n" << outputControl << "\n0\n0\n" << minToIntEnd;
  c << "\nWriteAsciiGrids = 1\nDefaultOutputDirectory = "
       "out/\n\n[output_list]\n0\n\n[coordinates]\n47.5\n8.5\n15\n0\n\n";
  c << "[meteo_data_count]\n1\n\n[meteo_names]\n" << variable << "\n\n[model_time]\n" << modelTime;
  c << "\n\n[zone_grid]\nzones.asc\n\n[elevation_model]\ndem.asc\n\n[standard_grids]\n1\n";
  c << "dem.asc elevation fillcode = 0 readcode = 1\n\n[variable_grids]\n0\n\n[" << variable << "]\n" << section;
  c << "\n[region_transition_distance]\n0\n\n[substance_transport]\n0\n\n[landuse_table]\n0\n\n[soil_table]\n0\n\n";
  c << "[precipitation_correction]\n0\n0\n1\n0\n1\n0\n\n";
  for (const char* module : {"RegionalSuperposition", "radiation_correction", "evapotranspiration", "snow_model",
                             "interception_model", "SiltingUpModel", "unsatzon_model", "SurfaceRoutingModel",
                             "irrigation", "groundwater_flow", "routing_model", "special_output"})
    c << "[" << module << "]\n0\n60\n\n";
  return c.str() + more;
}

}  // namespace fluvextest
