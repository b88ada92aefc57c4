// The groundwater model on 1, 2 and 4 instances: the decomposed run gives the
// heads, flows and balances of the same model run on one instance.
#include <mpi.h>
#include <omp.h>

#include <cmath>

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

// On one thread an instance's rows are one block, so the rows next to the
// other instances are swept by the same pass as its inner rows; on two
// threads most rows of this small model are the ends of a block.
TEST(GroundwaterInstances, DecomposedRunEqualsTheRunOnOneInstance) {
  for (int threads : {1, 2})
    for (double sor : {0.0, 1.4}) {
      Section s;
      s.layers = 2;
      s.sor = sor;
      s.flowControl = 3;
      s.eps = 1e-11;
      s.maxiter = 30;  // the same sweeps on every instance count
      const char* names[] = {"gw_head_1", "gw_head_2", "gw_flow_x_1", "gw_flow_y_2", "gw_balance1", "baseflow"};
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
              ADD_FAILURE() << name << " " << r << " " << c << " sor " << sor << ", " << threads
                            << " threads: " << got[r][c] << " instead of " << ref[r][c];
          }
      }
      EXPECT_EQ(differences, 0);
      MPI_Barrier(MPI_COMM_WORLD);
    }
}

}  // namespace
