#!/usr/bin/env bash
# Cell-iterations per second of the groundwater step on 1, 2 and 4 instances,
# each with 1 to 8 threads. Usage: bench/run_groundwater.sh [build directory, default build]
set -euo pipefail
build=${1:-build}
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
for n in 1 2 4; do
  mpirun --oversubscribe -np "$n" "$build/bench/bench_groundwater"
done
