// A soil entry read through the soil table's block reader and one column of
// layers with the arrays the column kernels take.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagstream.h"
#include "parameters/soiltable.h"
#include "soil/uzkernels.h"
#include "tests/support/testutil.h"

namespace uztest {

struct VanGenuchten {
  const char* name;
  double thetaRes, thetaSat, alpha, n, ksat;  // alpha 1/m, ksat m/s
};
// Carsel and Parrish (1988): sand, loam, silt loam, clay.
inline const VanGenuchten kCarselParrish[4] = {{"sand", 0.045, 0.43, 14.5, 2.68, 8.25e-5},
                                               {"loam", 0.078, 0.43, 3.6, 1.56, 2.8889e-6},
                                               {"siltloam", 0.067, 0.45, 2.0, 1.41, 1.25e-6},
                                               {"clay", 0.068, 0.38, 0.8, 1.09, 5.5556e-7}};

// Reads one soil block; extra holds further "key = value;" items.
inline std::unique_ptr<soil_table_entry> ReadSoil(const VanGenuchten& p, int layers, double thickness,
                                                  const std::string& extra = "") {
  // One directory per test program: ctest runs them side by side in one working directory.
  static fluvextest::TempDir dir("uzkernels_soil_" + std::to_string(getpid()));
  static std::ostringstream console;
  static DiagStream diag(dir / "diag.xml", 4, &console);
  std::ostringstream block;
  block.precision(17);
  block << "1 " << p.name << " method = MultipleHorizons {\n  layers = " << layers << ";\n  ksat = " << p.ksat
        << ";  theta_sat = " << p.thetaSat << ";  theta_res = " << p.thetaRes << ";\n  alpha = " << p.alpha
        << ";  Par_n = " << p.n << ";  thickness = " << thickness << ";\n"
        << extra << "\n}\n";
  auto entry = std::make_unique<soil_table_entry>();
  ParseSoilEntry(*entry, diag, block.str());
  return entry;
}

// One column of n equal layers with its work arrays, the surface at 100 m.
struct ColumnFixture {
  explicit ColumnFixture(const VanGenuchten& p, int layers = 6, double thickness = 0.2, const std::string& extra = "")
      : soil(ReadSoil(p, layers, thickness, extra)), n(layers) {
    constants.Build(*soil, 0.5562, 0.58);
    for (auto* v : {&d, &z, &theta, &thetaOld, &mean, &psi, &H, &S, &q, &A, &B, &work, &ts, &tr, &tracer})
      v->assign(n + 2, 0.0);
    z[0] = 100.0;
    for (int i = 1; i <= n; ++i) {
      d[i] = soil->thickness[i];
      z[i] = z[i - 1] - d[i];
      ts[i] = soil->theta_sat[i];
      tr[i] = soil->theta_res[i];
    }
    c.soil = soil.get();
    c.constants = &constants;
    c.maxLayers = n;
    c.g = n;
    c.groundwaterDistance = z[n] - z[0];
    c.work = work.data();
    c.cellsize = 100;
  }
  void Fill(double value) {
    for (int i = 1; i <= n; ++i) theta[i] = thetaOld[i] = mean[i] = value;
  }
  double Water() const {
    double w = 0;
    for (int i = 1; i <= n; ++i) w += theta[i] * d[i];
    return w;
  }

  std::unique_ptr<soil_table_entry> soil;
  uzk::SoilConstants constants;
  uzk::Column c;
  int n;
  std::vector<double> d, z, theta, thetaOld, mean, psi, H, S, q, A, B, work, ts, tr, tracer;
};

}  // namespace uztest
