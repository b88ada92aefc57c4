// The groundwater model on 1, 2 and 4 instances: the decomposed run gives the
// heads, flows and balances of the same model run on one instance.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/soil/gwworld.h"

namespace {

using gwtest::Section;
using gwtest::World;

// Two layers and two zones with holes, fixed heads, sources and leakage.
std::unique_ptr<World> Aquifer(bool decompose) {
  auto zone = [](int r, int c) { return (r == 4 && c == 6) || (c == 11 && r < 3) ? kNodata : 1.0 + (r > 5); };
  std::unique_ptr<World> w(new World("gwmpi", 9, 11, 100.0, zone, decompose));
  w->AddLayer(
      1, 2e-5, 0.1, 10, [](int r, int c) { return r == 1 && c < 3 ? 7.0 : kNodata; },
      [](int r, int c) { return (r * 7 + c) % 13 == 0 ? 2e-8 * r : kNodata; }, 1e-9);
  w->AddLayer(
      2, 5e-5, 0.02, 15, [](int r, int c) { return r == 9 && c > 8 ? 3.0 : kNodata; },
      [](int r, int c) { return (r + 3 * c) % 11 == 0 ? 1e-8 : kNodata; });
  Grid dist = w->Find("groundwater_distance");
  for (int r = w->low; r <= w->high; ++r)
    for (int c = 1; c <= w->ncols; ++c) dist[r][c] = 4.0 + 0.2 * ((r * 3 + c) % 7);
  return w;
}

// Oscillating cells as the solver's log counts them, step by step and layer
// by layer ("osc. at N points").
std::vector<long> OscillationCounts(const std::string& log) {
  std::vector<long> counts;
  for (size_t at = log.find("osc. at "); at != std::string::npos; at = log.find("osc. at ", at + 1))
    counts.push_back(std::atol(log.c_str() + at + 8));
  return counts;
}

// On one thread an instance's rows are one block, so the rows next to the
// other instances are swept by the same pass as its inner rows; on two
// threads most rows of this small model are the ends of a block. The
// sweeps converged (30) and stopped early (3, where layer 2 keeps the water
// its faces carried), the weight of the new heads 1 and 0.5, and the line
// solver.
TEST(GroundwaterInstances, DecomposedRunEqualsTheRunOnOneInstance) {
  struct Solve {
    const char* method;
    double alpha;
    int maxiter;
  };
  for (const Solve& v : {Solve{"1", 1.0, 30}, Solve{"1", 0.5, 3}, Solve{"2", 0.5, 30}})
    for (int threads : {1, 2})
      for (double sor : {0.0, 1.4}) {
        Section s;
        s.layers = 2;
        s.method = v.method;
        s.alpha = v.alpha;
        s.sor = sor;
        s.flowControl = 3;
        s.eps = 1e-11;
        s.maxiter = v.maxiter;  // the same sweeps on every instance count
        const std::string what = std::string("method ") + v.method + ", alpha " + std::to_string(v.alpha) +
                                 ", maxiter " + std::to_string(v.maxiter) + ", sor " + std::to_string(sor) + ", " +
                                 std::to_string(threads) + " threads";
        const char* names[] = {"gw_head_1",   "gw_head_2",   "gw_flow_x_1", "gw_flow_y_2",
                               "gw_balance1", "gw_balance2", "baseflow"};
        std::unique_ptr<World> w;
        try {
          w = Aquifer(true);
        } catch (int code) {
          FAIL() << "error " << code << " in the set-up";
        }
        ASSERT_EQ(w->Build(s), 0) << w->console.str();
        omp_set_num_threads(threads);
        w->Steps(2);
        // Every instance runs the whole model alone and compares its own cells.
        std::unique_ptr<World> one = Aquifer(false);
        ASSERT_EQ(one->Build(s), 0) << one->console.str();
        one->gw->Serial();
        one->Steps(2);
        // EXPECT, not ASSERT: every instance must reach the barrier below.
        int differences = 0;
        for (const char* name : names) {
          Grid got = w->Find(name);
          Grid ref = one->Find(name);
          for (int r = 1; r <= 9; ++r)
            for (int c = 1; c <= 11; ++c) {
              if (!w->Own(r, c) || w->zonefn(r, c) == kNodata) continue;
              if (std::fabs(got[r][c] - ref[r][c]) <= 1e-12 * (1 + std::fabs(ref[r][c]))) continue;
              if (++differences <= 5)
                ADD_FAILURE() << name << " " << r << " " << c << " " << what << ": " << got[r][c] << " instead of "
                              << ref[r][c];
            }
        }
        EXPECT_EQ(differences, 0);
        // Layer 2 keeps what its faces, its leakage and its fixed inflow
        // carried, however far the sweeps went: its balance is that inflow.
        Grid balance = w->Find("gw_balance2"), fixh = w->Find("gw_boundary_fix_h_2"),
             fixq = w->Find("gw_boundary_fix_q_2");
        for (int r = 1; r <= 9; ++r)
          for (int c = 1; c <= 11; ++c) {
            if (!w->Own(r, c) || w->zonefn(r, c) == kNodata || fixh[r][c] > kNodata) continue;
            const double inflow = fixq[r][c] > kNodata ? 1000 * fixq[r][c] * 86400 : 0.0;
            EXPECT_NEAR(balance[r][c], inflow, 1e-9 * (1 + std::fabs(inflow))) << r << " " << c << " " << what;
          }
        // The oscillating cells of all instances: as many as on one.
        // (Instance 0 writes the log.)
        if (v.method[0] == '1' && fluvextest::MpiRank() == 0) {
          const std::vector<long> all = OscillationCounts(w->console.str());
          EXPECT_EQ(all, OscillationCounts(one->console.str())) << what;
          EXPECT_GT(all.empty() ? 0 : *std::max_element(all.begin(), all.end()), 0) << what;
        }
        MPI_Barrier(MPI_COMM_WORLD);
      }
}

}  // namespace
