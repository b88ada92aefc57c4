#!/usr/bin/env bash
# Whole-model step benchmark: makes the example basin on an N x N grid with all
# modules on (bench/make_model_step_basin.py), then runs bench_model_step under
# mpirun on 1, 2, 4 and 8 threads of one instance and on 2 and 4 instances,
# and prints the seconds per simulated day (24 hourly steps after WARMUP steps)
# with the share of each part of the step. Also times one whole run of the
# fluvex program beside the same run of the bench (one instance, 8 threads).
# Usage: bench/run_model_step.sh [build directory, default build] [N, default 500] [WARMUP, default 6]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
n=${2:-500}
warmup=${3:-6}
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/make_model_step_basin.py" "$work" "$n" "$warmup" 24
cd "$work"
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
  "$(free -g | awk '/^Mem:/ {print $2}') GiB; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# Processor time of the whole machine: all fields and the time stolen by the host (steal).
cpu() { awk '/^cpu / {t = 0; for (i = 2; i <= NF; i++) t += $i; print t, $9}' /proc/stat; }
before=$(cpu)

# One run: instances threads; appends the bench's lines to results.txt.
run() {
  rm -rf out && mkdir out
  local start end
  start=$(date +%s.%N)
  mpirun --oversubscribe --bind-to none -np "$1" -x OMP_NUM_THREADS="$2" \
    "$build/bench/bench_model_step" control.txt "$warmup" >"run_$1_$2.txt"
  end=$(date +%s.%N)
  echo "whole run (set-up, $warmup warm-up steps, 24 steps, release): $(echo "$start $end" | awk '{printf "%.1f", $2 - $1}') s" \
    >>"run_$1_$2.txt"
  echo "$1 $2: $(head -1 "run_$1_$2.txt"); load average $(cut -d' ' -f1 /proc/loadavg)"
}
configs="1:1 1:2 1:4 1:8 2:1 4:1 2:4 4:2"
for c in $configs; do run "${c%%:*}" "${c##*:}"; done

rm -rf out && mkdir out
start=$(date +%s.%N)
mpirun --oversubscribe --bind-to none -np 1 -x OMP_NUM_THREADS=8 "$build/application/fluvex" control.txt >fluvex.txt
end=$(date +%s.%N)
echo "fluvex, 1 instance, 8 threads, whole run: $(echo "$start $end" | awk '{printf "%.1f", $2 - $1}') s;" \
  "bench_model_step: $(sed -n 's/^whole run.*: //p' run_1_8.txt)"

# Table of seconds per day and shares; efficiency against one instance with one thread.
echo
awk -v configs="$configs" '
  BEGIN { m = split(configs, list, " ") }
  FNR == 1 { k++; per[k] = $10; n[k] = $2 * $4 }
  /^part\t/ {
    split($0, f, "\t")
    if (!(f[2] in seen)) { seen[f[2]] = 1; parts[++np] = f[2] }
    share[k, f[2]] = f[4]
  }
  END {
    printf "| instances x threads |"; for (i = 1; i <= m; i++) { sub(":", " x ", list[i]); printf " %s |", list[i] } print ""
    printf "|---|"; for (i = 1; i <= m; i++) printf "---|"; print ""
    printf "| seconds per day |"; for (i = 1; i <= m; i++) printf " %.1f |", per[i]; print ""
    printf "| efficiency |"; for (i = 1; i <= m; i++) printf " %.2f |", per[1] / (per[i] * n[i]); print ""
    for (p = 1; p <= np; p++) {
      printf "| %s |", parts[p]
      for (i = 1; i <= m; i++) printf " %.1f %% |", 100 * share[i, parts[p]]
      print ""
    }
  }' $(for c in $configs; do echo "run_${c%%:*}_${c##*:}.txt"; done)
echo "$before $(cpu)" | awk '{printf "processor time stolen by the host during the runs: %.1f %%\n", 100 * ($4 - $2) / ($3 - $1)}'
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
