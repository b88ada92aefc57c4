#!/usr/bin/env bash
# Installs what is missing, builds Fluvex and runs the example basin on two
# MPI instances.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DFLUVEX_TESTS=OFF
cmake --build build -j "$(nproc)"
if [ -f examples/basin/run.sh ]; then
  exec examples/basin/run.sh "$PWD/build/application/fluvex"
fi
# Until the example basin is in place the program shows its usage.
mpirun --oversubscribe -np 2 build/application/fluvex || true
