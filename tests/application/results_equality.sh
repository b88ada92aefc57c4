#!/usr/bin/env bash
# Results equality: runs two models on 1, 2 and 4 instances with 1 and 8
# threads each and compares the SHA-256 of every file they write (statistics
# files, the discharge table, reservoir and abstraction tables, result grids)
# with the references in tests/data/equality. Speed work must leave results
# unchanged bit for bit; when results change on purpose, --update writes the
# new references (see CONTRIBUTING.md).
#
# The models:
# - example: the example basin (examples/basin) from 1 to 4 January 2015, every
#   module of its control file as it stands;
# - bench: the whole-model bench basin (bench/make_model_step_basin.py) on
#   60 x 60 cells, every module on, 6 + 42 hourly steps;
# - the groundwater cases, the bench basin on 61 x 61 cells (so that
#   instances share rows) for 3 + 6 steps, with fixed heads in the rows where
#   the instances meet and alpha 0.5, on 1, 2, 3 and 4 instances:
#   bench_fixed_heads (over-relaxation with a factor of 0.5),
#   bench_line_solver (groundwater method 2) and bench_substeps (3 sub-steps
#   of soil, surface routing and groundwater, the adaptive factor).
#
# Each model directory holds "MpiSpeedFactor.dat" with 1, so the instances get
# equal shares of the cells: the speed test would divide the cells by the
# machine's load of the moment, and with them the order of the sums that cross
# instances. The state dumps and region tables (storage.ftz_N, MPIRegions_N)
# are written per instance, and the reservoir tables hold a balance residual
# (about 1e-9 of the volume) summed over the instances, so the references are
# kept per instance count (MODEL_npN); every other file must also equal that
# of 1 instance x 1 thread, so a reference written from a faulty configuration
# cannot go unnoticed.
#
# Usage: results_equality.sh --check|--update FLUVEX [MPIRUN]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
refs="$root/tests/data/equality"
mode=${1:-}
fluvex=${2:-}
mpirun=${3:-mpirun}
if [[ "$mode" != --check && "$mode" != --update ]] || [[ -z "$fluvex" ]]; then
  echo "usage: $0 --check|--update FLUVEX [MPIRUN]" >&2
  exit 2
fi
if [[ ! -x "$fluvex" ]]; then
  echo "FATAL: fluvex program not found: $fluvex" >&2
  exit 2
fi
# mpirun starts the program from the model directories: an absolute path.
fluvex=$(realpath "$fluvex")
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_hwloc_base_binding_policy=none
# Up to 32 threads on a machine that may have fewer cores: idle threads sleep.
export OMP_WAIT_POLICY=passive
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

configs="1:1 1:8 2:1 2:8 4:1 4:8"
failed=0

# Lists "sha256  name" of every file of directory $1 (sorted by name).
manifest() { (cd "$1" && find . -type f | LC_ALL=C sort | xargs -r sha256sum); }
# The lines of a manifest that do not depend on the instance count.
shared() { grep -v -E '/((MPIRegions|storage\.ftz)_[0-9]+|reservoir_[0-9]+\.txt)$' "$1" || true; }

# Runs model $1 (prepared in $work/$1/model) in every configuration (or in those of $2).
run_model() {
  local model=$1 dir="$work/$1/model" c np threads got
  echo 1 >"$dir/MpiSpeedFactor.dat"
  for c in ${2:-$configs}; do
    np=${c%%:*}
    grep -qx "$np" "$work/$model/instances" 2>/dev/null || echo "$np" >>"$work/$model/instances"
    threads=${c##*:}
    rm -rf "$dir/out" && mkdir "$dir/out"
    if ! (cd "$dir" && "$mpirun" --oversubscribe --bind-to none -np "$np" -x OMP_NUM_THREADS="$threads" \
      "$fluvex" control.txt >"$work/$model/run_${np}_$threads.log" 2>&1); then
      echo "FAIL: $model on $np instances x $threads threads: fluvex failed; last lines of its output:"
      tail -20 "$work/$model/run_${np}_$threads.log"
      failed=1
      continue
    fi
    got="$work/$model/${np}_$threads.sha256"
    manifest "$dir/out" >"$got"
    if [[ ! -s "$got" ]]; then
      echo "FAIL: $model on $np instances x $threads threads wrote no results"
      failed=1
    elif [[ "$c" != 1:1 ]] && ! diff <(shared "$work/$model/1_1.sha256") <(shared "$got") >"$work/diff"; then
      echo "FAIL: $model on $np instances x $threads threads differs from 1 instance x 1 thread:"
      sed 's/^/  /' "$work/diff" | head -20
      failed=1
    fi
    if [[ "$mode" == --update ]]; then
      [[ -f "$work/$model/np$np.sha256" ]] || cp "$got" "$work/$model/np$np.sha256"
      if ! cmp -s "$work/$model/np$np.sha256" "$got"; then
        echo "FAIL: $model on $np instances: 1 and $threads threads differ"
        failed=1
      fi
    else
      if ! diff "$refs/${model}_np$np.sha256" "$got" >"$work/diff"; then
        echo "FAIL: $model on $np instances x $threads threads differs from the reference (< reference, > now):"
        sed 's/^/  /' "$work/diff" | head -20
        failed=1
      else
        echo "ok: $model on $np instances x $threads threads: $(wc -l <"$got") files equal"
      fi
    fi
  done
}

# The example, 1 to 4 January 2015.
mkdir -p "$work/example"
cp -r "$root/examples/basin" "$work/example/model"
rm -rf "$work/example/model/out"
(cd "$work/example/model" && python3 make_inputs.py >/dev/null)
python3 - "$work/example/model/control.txt" <<'EOF'
import sys
path = sys.argv[1]
text = open(path).read()
old = "24        end hour\n31        end day\n12        end month"
assert old in text, "end of the model time not found in the example's control file"
open(path, "w").write(text.replace(old, "24        end hour\n4         end day\n1         end month", 1))
EOF
run_model example

# The bench basin, 60 x 60 cells.
mkdir -p "$work/bench"
python3 "$root/bench/make_model_step_basin.py" "$work/bench/model" 60 6 42 >/dev/null
run_model bench

# The groundwater cases.
models="example bench"
for model in bench_fixed_heads bench_line_solver bench_substeps; do
  mkdir -p "$work/$model"
  python3 "$root/bench/make_model_step_basin.py" "$work/$model/model" 61 3 6 >/dev/null
  python3 - "$work/$model/model" "$model" <<'EOF'
import sys
model_dir, case = sys.argv[1], sys.argv[2]
path = model_dir + "/control.txt"
text = open(path).read()
def edit(old, new):
    global text
    assert old in text, "not in the bench control file: " + old
    text = text.replace(old, new, 1)
edit("fixh1.asc gw_boundary_fix_h_1 fillcode = 0 readcode = 0", "fixh1.asc gw_boundary_fix_h_1 fillcode = 0 readcode = 1")
edit("1.0       alpha", "0.5       alpha")
# The heads and balances of layer 1 at the end of the run.
edit("gwhead1.asc\n0\n", "gwhead1.asc\n3\n")
edit("gwbalance1.asc\n0", "gwbalance1.asc\n3")
if case == "bench_fixed_heads":
    edit("1.5       sor-parameter", "0.5       sor-parameter")
elif case == "bench_line_solver":
    edit("1         method: over-relaxation", "2         method: line solver")
else:
    edit("1.5       sor-parameter", "0         sor-parameter: adaptive")
    edit("[zone_grid]\n", "[soil_surface_groundwater_substeps]\n3\n\n[zone_grid]\n")
open(path, "w").write(text)
# Heads fixed 1 m below the surface in every third cell of the rows around
# where 2 and 4 instances meet (rows 15, 30 and 45 of 61).
lines = open(model_dir + "/dem.asc").read().split("\n")
rows = [l.split() for l in lines[6:] if l.strip()]
out = lines[:6]
for r, row in enumerate(rows, 1):
    fixed = r in (14, 15, 16, 30, 31, 32, 45, 46, 47)
    out.append(" ".join("%.3f" % (float(v) - 1) if fixed and c % 3 == 0 else "-9999" for c, v in enumerate(row, 1)))
open(model_dir + "/fixh1.asc", "w").write("\n".join(out) + "\n")
EOF
  run_model "$model" "1:1 2:2 3:1 4:1"
  models="$models $model"
done

if [[ "$mode" == --update ]]; then
  if [[ $failed != 0 ]]; then
    echo "references not written: the configurations differ from each other or a run failed"
    exit 1
  fi
  mkdir -p "$refs"
  for model in $models; do
    for np in $(cat "$work/$model/instances"); do
      cp "$work/$model/np$np.sha256" "$refs/${model}_np$np.sha256"
      echo "reference written: $refs/${model}_np$np.sha256 ($(wc -l <"$refs/${model}_np$np.sha256") files)"
    done
  done
  exit 0
fi
if [[ $failed != 0 ]]; then
  exit 1
fi
echo "results equal to the references on every configuration"
