// Settings of one dissolved substance (tracer) carried with the water.
#pragma once

#include <string>

struct TracerRecord {
  std::string name;     // first three characters of the tracer's name, lower case
  int radioactive = 0;  // 1: decays with half_time
  int evaporating = 0;  // 1: leaves with evaporating water
  double min_conc = 0;
  double max_conc = 0;
  double half_time = -9999;  // days; -9999 for a tracer that does not decay
  double gwini = 0;          // initial concentration in the groundwater
  double soilini = 0;        // initial concentration in the soil
  std::string path;          // directory and prefix of the tracer's files
  std::string statext;       // extension of its statistics files
  std::string gridext;       // extension of its grid files
  int statcode = 0;          // statistic code of its zonal statistics
  int gridcode = 0;          // write code of its storage concentration grids
  double decay = 1;          // factor per time step of a radioactive tracer, set by the sub-models
};
