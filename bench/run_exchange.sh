#!/usr/bin/env bash
# Times scatter, gather and border exchange of a 2000 x 2000 grid on 1, 2 and 4
# instances. Usage: bench/run_exchange.sh [build directory, default build]
set -euo pipefail
build=${1:-build}
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
for n in 1 2 4; do
  mpirun --oversubscribe -np "$n" "$build/bench/bench_exchange"
done
