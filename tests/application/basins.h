// Basins that the runs of the program use, in fresh directories: the small
// test basin (tests/data/setup/small) with its control file edited per test,
// and the 3 x 2 tiny basin of cells of 1000 m (zones 1 1 2 / 1 2 2; lower-left
// corners x 0, 1000, 2000 and y 1000 for the upper row, 0 for the lower) with
// a control file around one meteorological variable, every process module off.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/testutil.h"

namespace fluvextest {

// Replaces the first occurrence of from in the file; returns the line it
// stands on (0 and a failure when it is missing).
inline int EditFile(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = ReadFile(path);
  const size_t p = text.find(from);
  EXPECT_NE(p, std::string::npos) << from;
  if (p == std::string::npos) return 0;
  text.replace(p, from.size(), to);
  WriteFile(path, text);
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(p), '\n'));
}

class SmallBasin {
 public:
  explicit SmallBasin(const std::string& name) : dir(name) {
    for (const char* f : {"control.txt", "zones.asc", "dem.asc"})
      std::filesystem::copy_file(std::string(FLUVEX_TEST_DATA) + "/setup/small/" + f, dir / f);
    std::filesystem::create_directories(dir / "out");
  }
  void Edit(const std::string& from, const std::string& to) { EditFile(dir / "control.txt", from, to); }
  // The values of an ASCII grid file, row by row.
  std::vector<double> Values(const std::string& file) const {
    std::istringstream in(ReadFile(dir / file));
    std::string word;
    for (int i = 0; i < 12; ++i) in >> word;  // six header lines of key and value
    std::vector<double> v;
    double x = 0;
    while (in >> x) v.push_back(x);
    return v;
  }
  TempDir dir;
};

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
