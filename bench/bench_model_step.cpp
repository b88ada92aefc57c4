// The whole model, step by step: runs the application on a control file as the
// fluvex program does (same construction, time loop and release) and splits
// the wall-clock time of every step after the first WARMUP steps by the part of
// the step that took it (meteorological input, each process module, statistics
// and output, what runs between steps). bench/run_model_step.sh makes the
// model (bench/make_model_step_basin.py) and runs this program under mpirun on
// 1 to 8 threads and 1 to 4 instances.
//
// Usage: bench_model_step CONTROL_FILE WARMUP
// Prints on instance 0: "instances I threads T steps S seconds X per_day Y",
// then one line per part: "part", its name, seconds and share, separated by tabs (the
// split of instance 0; every instance waits for the others at the exchanges
// of a step, so the instance's total is the step's wall-clock time). With
// FLUVEX_BENCH_EVERY_INSTANCE set, every instance also prints its own split to
// the error stream ("instance", its number, the part and seconds): where one
// instance computes while another waits shows an uneven division of the work.
#include <mpi.h>
#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "application/modapuzr.h"
#include "framework/diagstream.h"
#include "framework/mpirunning.h"
#include "framework/signals.h"

namespace {

class SplitClock : public StepClock {
 public:
  explicit SplitClock(int warmup) : warmup(warmup) {}

  void StartStep() override {
    Lap("between steps (flush, signals)");
    ++step;
  }
  void Lap(const char* part) override {
    const auto now = std::chrono::steady_clock::now();
    if (step > warmup) {
      const double seconds = std::chrono::duration<double>(now - last).count();
      size_t k = 0;
      while (k < parts.size() && parts[k].first != part) ++k;
      if (k == parts.size()) parts.emplace_back(part, 0.0);
      parts[k].second += seconds;
    }
    last = now;
  }
  int Timed() const { return step > warmup ? step - warmup : 0; }
  const std::vector<std::pair<std::string, double>>& Parts() const { return parts; }

 private:
  int warmup;
  int step = 0;
  std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
  std::vector<std::pair<std::string, double>> parts;
};

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  KeepMpiPluginsLoaded();
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (argc != 3) {
    if (rank == 0) std::fprintf(stderr, "usage: bench_model_step CONTROL_FILE WARMUP\n");
    MPI_Finalize();
    return 2;
  }
  const int warmup = std::atoi(argv[2]);
  // The diagnostics go to their file as in a run of fluvex; the console stays quiet.
  std::ostringstream console;
  auto diag = std::make_unique<DiagStream>("", 4, &console);
  SplitClock clock(warmup);
  int code = 0;
  try {
    // The argument vector of "fluvex CONTROL_FILE".
    char* args[] = {argv[0], argv[1], nullptr};
    auto application = std::make_unique<ModellApplication>(diag.get(), 2, args, 1);
    currentApplication = application.get();
    application->SetStepClock(&clock);
    InstallFPEHandler();
    application->run();
    clock.Lap("between steps (flush, signals)");
    application->ClearMemory();
    currentApplication = nullptr;
  } catch (int thrown) {
    currentApplication = nullptr;
    code = thrown;
  }
  if (code != 0) {
    std::fprintf(stderr, "instance %d: the run ended with error code %d:\n%s\n", rank, code, console.str().c_str());
    MPI_Abort(MPI_COMM_WORLD, code);
  }
  if (std::getenv("FLUVEX_BENCH_EVERY_INSTANCE")) {
    for (const auto& p : clock.Parts())
      std::fprintf(stderr, "instance %d\t%s\t%.4f\n", rank, p.first.c_str(), p.second);
  }
  if (rank == 0) {
    double total = 0;
    for (const auto& p : clock.Parts()) total += p.second;
    const int steps = clock.Timed();
    std::printf("instances %d threads %d steps %d seconds %.4f per_day %.4f\n", size, omp_get_max_threads(), steps,
                total, steps > 0 ? total * 24.0 / steps : 0.0);
    for (const auto& p : clock.Parts())
      std::printf("part\t%s\t%.4f\t%.4f\n", p.first.c_str(), p.second, total > 0 ? p.second / total : 0.0);
  }
  diag.reset();
  MPI_Finalize();
  return 0;
}
