#!/usr/bin/env bash
# Runs the example basin: makes the station data and grids (fixed seed), then
# runs fluvex on two MPI instances. Usage: run.sh [path to fluvex] [instances]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fluvex=${1:-$here/../../build/application/fluvex}
instances=${2:-2}
cd "$here"
[ -f temperature.dat ] || python3 make_inputs.py
mkdir -p out
if [ "$(id -u)" = 0 ]; then export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1; fi
mpirun --oversubscribe -np "$instances" "$fluvex" control.txt
echo "results: $here/out (daily grids temp_* and prec_*, statistics files *.stat); diagnostics: $here/Fluvex_Diag_0.xml"
