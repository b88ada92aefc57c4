// gtest main for every Fluvex test binary: MPI is started for all of them so
// that code which asks for its rank works under one or several instances.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>

#include "framework/mpirunning.h"

namespace {
// Prints the failed assertions of a rank other than 0, marked with its rank.
class RankFailurePrinter : public ::testing::EmptyTestEventListener {
 public:
  explicit RankFailurePrinter(int r) : rank(r) {}
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::printf("[rank %d] %s:%d: Failure\n%s\n", rank, result.file_name() ? result.file_name() : "?",
                result.line_number(), result.summary());
    std::fflush(stdout);
  }

 private:
  int rank;
};
}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  ::testing::InitGoogleTest(&argc, argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  // Only rank 0 prints test results; the others report failures only.
  if (rank != 0) {
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new RankFailurePrinter(rank));
  }
  const int result = RUN_ALL_TESTS();
  int worst = result;
  MPI_Allreduce(&result, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  MPI_Finalize();
  return worst;
}
