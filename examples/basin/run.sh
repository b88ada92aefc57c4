#!/usr/bin/env bash
# Runs the example basin: makes the station data and grids (fixed seed), runs
# fluvex on two MPI instances and draws the pictures. Usage: run.sh [path to fluvex] [instances]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fluvex=${1:-$here/../../build/application/fluvex}
instances=${2:-2}
cd "$here"
[ -f temperature.dat ] && [ -f river_width.asc ] || python3 make_inputs.py
mkdir -p out
if [ "$(id -u)" = 0 ]; then export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1; fi
# First the first day alone into out/day1/, then the year: the water
# balance picture reads every store at the end of both (plot_results.py).
mkdir -p out/day1
python3 - <<'END'
import re
text = open("control.txt").read()
start = {k: re.search(r"^\s*(\d+)\s+starting " + k + r"\b", text, re.M).group(1) for k in ("day", "month", "year")}
text = re.sub(r"^\s*\d+(\s+end hour)", r"24\1", text, count=1, flags=re.M)
for k in ("day", "month", "year"):
    text = re.sub(r"^\s*\d+(\s+end " + k + r"\b)", start[k] + r"\1", text, count=1, flags=re.M)
text, n = re.subn(r"^\$set \$outpath = out/\s*$", "$set $outpath = out/day1/", text, count=1, flags=re.M)
assert n == 1, "control.txt: no line '$set $outpath = out/'"
open("control_day1.txt", "w").write(text)
END
mpirun --oversubscribe -np "$instances" "$fluvex" control_day1.txt
mpirun --oversubscribe -np "$instances" "$fluvex" control.txt
# The pictures need matplotlib (Debian python3-matplotlib); Debian's python3
# first, in case another python3 comes earlier in PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" plot_results.py out || echo "no pictures: plot_results.py needs python3-matplotlib"
echo "discharge at the outlet: $here/out/discharge.stat (m3/s of each hour; columns: the outlets of"
echo "  subbasins 1, 2 and 3, subbasin 3 the basin outlet); reservoir: out/reservoir_1.txt, abstraction:"
echo "  out/abstraction_1.txt"
echo "pictures: $here/out/hydrograph.png, $here/out/water_balance.png (the balance of 2 January to 31"
echo "  December, printed above; the first day alone: out/day1/)"
echo "other results: $here/out (statistics files *.stat: subbasin columns and the basin value of each"
echo "  day; daily grids temp_* and prec_*); diagnostics: $here/Fluvex_Diag_0.xml"
