// The groundwater model on 1, 2 and 4 instances: the decomposed run gives the
// heads, flows and balances of the same model run on one instance.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/soil/gwworld.h"

namespace {

using gwtest::Section;
using gwtest::World;

// Layer 2's storage: its coefficient above its top, its drainable porosity
// below, 15 m thick.
constexpr double kStorage2 = 0.02, kDrainable2 = 0.15, kThickness2 = 15;

// Two layers and two zones with holes, fixed heads, sources and leakage;
// layer 2 drains towards fixed heads below its top (at -10 m).
std::unique_ptr<World> Aquifer(bool decompose) {
  auto zone = [](int r, int c) { return (r == 4 && c == 10) || (c == 11 && r < 3) ? kNodata : 1.0 + (r > 5); };
  std::unique_ptr<World> w(new World("gwmpi", 9, 11, 100.0, zone, decompose));
  w->AddLayer(
      1, 2e-5, 0.1, 10, [](int r, int c) { return r == 1 && c < 3 ? 7.0 : kNodata; },
      [](int r, int c) { return (r * 7 + c) % 13 == 0 ? 2e-8 * r : kNodata; }, 1e-9);
  w->AddLayer(
      2, 5e-4, kStorage2, kThickness2, [](int r, int c) { return r == 9 && c > 8 ? -22.0 : kNodata; },
      [](int r, int c) { return (r + 3 * c) % 11 == 0 ? 1e-8 : kNodata; });
  w->Add("gw_drainable_porosity_2", [](int, int) { return kDrainable2; });
  if (decompose) {
    // An instance knows the zones of its own cells and of their neighbours,
    // as the program's grids give them.
    Grid z = w->Find("zonegrid_soilmodel");
    auto near = [&](int r, int c) {
      for (const auto& [dr, dc] : {std::pair{0, 0}, {-1, 0}, {1, 0}, {0, -1}, {0, 1}})
        if (r + dr >= 1 && r + dr <= 9 && c + dc >= 1 && c + dc <= 11 && w->Own(r + dr, c + dc)) return true;
      return false;
    };
    for (int r = w->low; r <= w->high; ++r)
      for (int c = 1; c <= 11; ++c)
        if (!near(r, c)) z[r][c] = kNodata;
  }
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
// solver. (A method of its own, 3, solves no layer: its heads follow the
// water its faces carry at the step's start.)
TEST(GroundwaterInstances, DecomposedRunEqualsTheRunOnOneInstance) {
  struct Solve {
    const char* method;
    double alpha;
    int maxiter;
  };
  for (const Solve& v : {Solve{"1", 1.0, 30}, Solve{"1", 0.5, 3}, Solve{"2", 0.5, 30}, Solve{"3", 0.5, 30}})
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
        w->Steps(1);
        // Layer 2's water (m3) in the own cells without a fixed head, from
        // its heads: its storage coefficient above its top, its drainable
        // porosity below.
        Grid head2 = w->Find("gw_head_2"), top2 = w->Find("aquifer_upper_limit2"),
             fixh = w->Find("gw_boundary_fix_h_2"), fixq = w->Find("gw_boundary_fix_q_2"),
             leak = w->Find("gw_leakage_1"), balance = w->Find("gw_balance2");
        auto free = [&](int r, int c) { return w->Own(r, c) && w->zonefn(r, c) != kNodata && !(fixh[r][c] > kNodata); };
        // Each instance sums its own cells; terms[2] the water above the base
        // (the scale), terms[3] the cells below the top, terms[4] those dry.
        double terms[5] = {0, 0, 0, 0, 0};
        auto water = [&](bool count) {
          double sum = 0;
          for (int r = 1; r <= 9; ++r)
            for (int c = 1; c <= 11; ++c) {
              if (!free(r, c)) continue;
              const double d = std::max(head2[r][c] - top2[r][c], -kThickness2);
              sum += 1e4 * (d >= 0 ? kStorage2 * d : kDrainable2 * d);
              if (!count) continue;
              terms[2] += 1e4 * kDrainable2 * kThickness2;
              terms[3] += d < 0;
              terms[4] += d <= -kThickness2;
            }
          return sum;
        };
        const double before = water(false);
        w->Steps(1);
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
        // Layer 2 keeps the water of its heads, however far the sweeps went,
        // also below the top: the step changes it by the fixed inflows, the
        // leakage into layer 1 and the water the fixed heads gave (their
        // balance, mm, less their leakage), and by nothing else. The line
        // solver and the converged sweeps leave no cell dry; without a solve,
        // 3, the faces at the step's start would draw more than some cells
        // hold: they carry what those cells hold, and the cells run dry.
        terms[0] = water(true) - before;
        for (int r = 1; r <= 9; ++r)
          for (int c = 1; c <= 11; ++c) {
            if (!w->Own(r, c) || w->zonefn(r, c) == kNodata) continue;
            terms[1] -= 1e4 * leak[r][c] * 86400;
            const double inflow = fixq[r][c] > kNodata && !(fixh[r][c] > kNodata) ? 1e4 * fixq[r][c] * 86400 : 0.0;
            terms[1] += inflow;
            if (fixh[r][c] > kNodata) terms[1] += 1e4 * balance[r][c] / 1000 - inflow;
          }
        double sums[5];
        MPI_Allreduce(terms, sums, 5, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        EXPECT_GT(sums[3], 0) << what << ": no head below the top";
        EXPECT_EQ(sums[4] > 0, v.method[0] == '3') << what << ": " << sums[4] << " cells ran dry";
        EXPECT_NEAR(sums[0], sums[1], 1e-9 * sums[2]) << what;
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
