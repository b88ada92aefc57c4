// The "[evapotranspiration]" section of the tests, line by line, and the
// input grids its methods need.
#pragma once

#include <sstream>
#include <string>

#include "tests/radiation_et/et_world.h"

namespace ettest {

struct EtSection {
  int flow = 1;
  int step = 1440;
  int method = 1;
  std::string pec = "0.1 0.1 0.15 0.2 0.25 0.3 0.3 0.3 0.25 0.2 0.15 0.1";
  std::string fh = "0.22 0.22 0.22 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.22 0.22";
  std::string etpName = "etp.grd";
  std::string etpStat = "etp.txt 0";
  std::string etrStat = "etr.txt 0";
  std::string evrsStat = "evrs.txt 0";
  std::string rg = "0.05 0.3 0.4 0.25";
  std::string cs = "0.072 -0.808 1.749 -0.239";
  std::string tau = "0.7 0.05";
  std::string heightScale = "1200";
  std::string amplitudes = "2 3 4 5 6 6 6 6 5 4 3 2";
  std::string split = "0.6 0.1";
  std::string cloudLine = "";
  std::string Text() const {
    std::ostringstream s;
    s << "[evapotranspiration]\n"
      << flow << "   flow control\n"
      << step << "   time interval\n"
      << method << "   method\n"
      << pec << "\n"
      << fh << "\n1.0   fk\n"
      << etpName << "   etp grid\n0   write code\n"
      << etpStat << "   etp statistics\n";
    s << "etr.grd\n0\n" << etrStat << "\n";
    for (const char* g : {"evap", "evar", "evrs", "eip"})
      s << g << ".grd\n0\n" << (std::string(g) == "evrs" ? evrsStat : std::string(g) + ".txt 0") << "\n";
    s << "rgex.txt 0\n"
      << rg << "   global radiation coefficients\n"
      << cs << "   sunshine coefficients\n"
      << tau << "   transmissivity\n"
      << heightScale << "   amplitude height scale\n"
      << amplitudes << "   amplitudes\n"
      << split << "   day share, annual variability\n"
      << cloudLine << "\n";
    return s.str();
  }
};

// The meteorological and land-use grids of the Penman-Monteith method for
// layers 1 ... layers (values are set by the tests that need them).
inline void AddPenmanInputs(World& w, int layers) {
  w.Add("temperature", 15);
  w.Add("temperature_night", 15);
  w.Add("global_radiation", 2000);
  w.Add("sunshine_duration", 0.5);
  w.Add("vapor_pressure", 10);
  w.Add("wind_speed", 2);
  w.Add("albedo", 0.23);
  w.Add("SurfaceEvaporationResistance", 100);
  if (layers > 1) w.Add("landuse", 1);
  for (int l = 1; l <= layers; ++l) {
    const std::string n = std::to_string(l);
    w.Add("landuse" + n, 1);
    w.Add("leaf_area_index" + n, 2.88);
    w.Add("root_depth" + n, 1);
    w.Add("vegetation_coverage_degree" + n, 1);
    w.Add("SurfaceCanopyResistance" + n, 70);
    w.Add("SurfaceIntercepResistance" + n, 0);
    w.Add("RoughnessLength" + n, 0.015);
  }
}

}  // namespace ettest
