// Cells per second of the soil column kernels: one water substep (heads,
// fluxes, updates until the iteration converges) and one implicit heat step per
// cell of a 10-layer loam column, over 200000 cells with 1, 2, 4 and 8 OpenMP
// threads, and the parallel efficiency against one thread. Work arrays are
// made once per thread, as in the column solve.
#include <omp.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "framework/diagstream.h"
#include "parameters/soiltable.h"
#include "soil/uzheat.h"
#include "soil/uzkernels.h"

namespace {

constexpr int kLayers = 10;
constexpr int kCells = 200000;

struct Work {
  explicit Work(int n) {
    for (auto* v : {&d,  &z,      &theta, &old, &mean,   &next, &psi, &H, &S, &q, &A, &B, &ts,
                    &tr, &tracer, &k,     &T,   &lambda, &u,    &cv,  &a, &b, &c, &r, &w, &f})
      v->assign(n + 2, 0.0);
  }
  std::vector<double> d, z, theta, old, mean, next, psi, H, S, q, A, B, ts, tr, tracer, k, T, lambda, u, cv, a, b, c, r,
      w, f;
};

}  // namespace

int main() {
  std::ostringstream quiet;
  DiagStream diag("/tmp/fluvex_bench_uzkernels.xml", 0, &quiet);
  soil_table_entry soil;
  ParseSoilEntry(soil, diag,
                 "1 loam method = MultipleHorizons {\n layers = 10; ksat = 2.9e-6; theta_sat = 0.43; theta_res = "
                 "0.078;\n alpha = 3.6; Par_n = 1.56; thickness = 0.15;\n}\n");
  uzk::SoilConstants constants;
  constants.Build(soil, 0.5562, 0.58);
  std::vector<double> state(static_cast<size_t>(kCells) * (kLayers + 1));
  std::vector<double> temperature(state.size());
  double base = 0;
  for (int threads : {1, 2, 4, 8}) {
    for (size_t i = 0; i < state.size(); ++i) {
      state[i] = 0.20 + 0.2 * static_cast<double>(i % (kLayers + 1)) / kLayers;
      temperature[i] = 5.0;
    }
    const double start = omp_get_wtime();
#pragma omp parallel num_threads(threads)
    {
      Work wk(kLayers);
      uzk::Column col;
      col.soil = &soil;
      col.constants = &constants;
      col.maxLayers = kLayers;
      col.g = kLayers;
      col.work = wk.k.data();
      wk.z[0] = 100;
      for (int i = 1; i <= kLayers; ++i) {
        wk.d[i] = soil.thickness[i];
        wk.z[i] = wk.z[i - 1] - wk.d[i];
        wk.ts[i] = soil.theta_sat[i];
        wk.tr[i] = soil.theta_res[i];
        wk.cv[i] = 2e6;
      }
      col.groundwaterDistance = wk.z[kLayers] - wk.z[0];
      uzk::HeatCell heat;
      heat.airTemperature = -3.0;
#pragma omp for schedule(runtime)
      for (int cell = 0; cell < kCells; ++cell) {
        double* s = &state[static_cast<size_t>(cell) * (kLayers + 1)];
        double* t = &temperature[static_cast<size_t>(cell) * (kLayers + 1)];
        for (int i = 1; i <= kLayers; ++i) {
          wk.old[i] = wk.theta[i] = wk.mean[i] = s[i];
          wk.T[i] = t[i];
          wk.u[i] = 1.0;
        }
        double drainage = 0, sumA = 0, sumB = 0, in = 0, out = 0, meanSuction = 0;
        int count = 0;
        for (int iter = 1; iter <= 100; ++iter) {
          uzk::ComputeHeads(col, iter - 1, 0, meanSuction, wk.old.data(), wk.theta.data(), wk.A.data(), wk.B.data(),
                            wk.psi.data(), wk.H.data(), wk.z.data(), nullptr);
          uzk::ComputeFluxes(col, 0, 1e-7, 900, wk.old.data(), wk.old.data(), wk.mean.data(), wk.A.data(), wk.B.data(),
                             wk.ts.data(), wk.z.data(), wk.H.data(), wk.d.data(), wk.S.data(), wk.q.data(), drainage,
                             nullptr, wk.tracer.data(), in, out);
          uzk::UpdateThetaWithExcess(col, 10, 0, wk.A.data(), wk.B.data(), wk.old.data(), wk.next.data(), wk.ts.data(),
                                     wk.tr.data(), wk.q.data(), wk.S.data(), wk.d.data(), sumA, sumB, 900);
          if (uzk::UpdateTheta(col, iter, 0, wk.A.data(), wk.B.data(), wk.theta.data(), wk.mean.data(), wk.old.data(),
                               wk.q.data(), wk.S.data(), wk.d.data(), count, 900) <= 1e-5)
            break;
        }
        uzk::ThermalConductivity(wk.lambda.data(), constants, kLayers, wk.u.data(), wk.theta.data(), 0.5562, 2.33);
        uzk::ImplicitHeatStep(heat, wk.lambda.data(), wk.cv.data(), wk.d.data(), wk.T.data(), kLayers, wk.a.data(),
                              wk.b.data(), wk.c.data(), wk.r.data(), wk.w.data(), wk.f.data(), 900);
        for (int i = 1; i <= kLayers; ++i) {
          s[i] = wk.theta[i];
          t[i] = wk.T[i];
        }
      }
    }
    const double seconds = omp_get_wtime() - start;
    const double rate = kCells / seconds;
    if (threads == 1) base = rate;
    std::printf("threads %d: %.0f cells per second, parallel efficiency %.2f\n", threads, rate,
                rate / (base * threads));
  }
  return 0;
}
