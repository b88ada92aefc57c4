#!/usr/bin/env bash
# Installs what is missing, builds Fluvex with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test (unit, MPI and end-to-end).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
# Jobs of mpirun are not bound to cores 0 and 1, so that tests side by side
# use every core.
export OMPI_MCA_hwloc_base_binding_policy=none
jobs=$(nproc)
# The year-long runs of the example basin take minutes with an optimised
# fluvex and far longer under the sanitizers: a Release fluvex beside the
# sanitizer build runs them (a few days of the example still run sanitized).
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DFLUVEX_TESTS=OFF -DFLUVEX_BENCH=OFF
cmake --build build-release -j "$jobs" --target fluvex
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DFLUVEX_SANITIZE=ON -DFLUVEX_BENCH=OFF \
  -DFLUVEX_EXAMPLE_BINARY="$PWD/build-release/application/fluvex"
cmake --build build-test -j "$jobs"
# ctest keeps its record of the run in build-test/ctest-junit.xml; the five
# slowest tests and the share of their time limit follow its summary.
status=0
ctest --test-dir build-test --output-on-failure -j "$jobs" --output-junit ctest-junit.xml "$@" || status=$?
python3 scripts/slowest-tests.py build-test/ctest-junit.xml build-test 5 || true
exit "$status"
