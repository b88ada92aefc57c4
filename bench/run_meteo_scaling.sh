#!/usr/bin/env bash
# What the machine gives a compute-bound kernel on all its cores, against what
# the interpolation's threads get. For 20 and 200 stations, with the bench's
# 1000 x 1000 grid:
#   alone 1      one process, one thread
#   threads 8    one process, 8 threads (OpenMP)
#   procs 8      8 single-thread processes side by side, each on the whole grid
# for the inverse-distance kernel alone (rows in one block per thread) and for
# the whole interpolation step (bench_meteo_interpolation --kernel / --idw).
# Efficiency of the threads: rate(threads 8) / (8 x rate(alone 1)). The
# machine's own bound: the mean rate of a process among 8 / rate(alone 1),
# the efficiency 8 independent processes reach (no shared data, no
# synchronisation). Every run lasts about 2 s; best of ROUNDS rounds.
# Thread placement: OMP_PROC_BIND and OMP_PLACES as set by the caller; with
# PIN=1 the 8 processes are bound to cores 0 ... 7 (taskset).
# Usage: bench/run_meteo_scaling.sh [build directory, default build] [rounds, default 3]
set -euo pipefail
build=${1:-build}
rounds=${2:-3}
bench="$build/bench/bench_meteo_interpolation"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "OMP_PROC_BIND=${OMP_PROC_BIND:-} OMP_PLACES=${OMP_PLACES:-} OMP_SCHEDULE=${OMP_SCHEDULE:-} PIN=${PIN:-0}"

rate() { awk '{print $(NF - 1)}'; }
# Processor time of the whole machine: all fields and the time stolen by the host (steal).
cpu() { awk '/^cpu / {t = 0; for (i = 2; i <= NF; i++) t += $i; print t, $9}' /proc/stat; }
before=$(cpu)
max() { awk 'BEGIN {m = 0} {if ($1 > m) m = $1} END {print m}'; }

printf "%-14s %8s %12s %12s %12s %10s %10s %8s\n" what stations "alone 1" "threads 8" "procs 8 mean" "eff. thr." "machine" ratio
for mode in kernel idw; do
  for n in 20 200; do
    # Passes of about 2 s on one thread.
    if [ "$mode" = kernel ]; then passes=$((n == 20 ? 100 : 24)); else passes=$((n == 20 ? 80 : 20)); fi
    : >"$tmp/a" && : >"$tmp/t" && : >"$tmp/p"
    for _ in $(seq "$rounds"); do
      "$bench" --$mode "$n" 1 "$passes" | rate >>"$tmp/a"
      "$bench" --$mode "$n" 8 $((8 * passes)) | rate >>"$tmp/t"
      for i in 0 1 2 3 4 5 6 7; do
        if [ "${PIN:-0}" = 1 ]; then
          taskset -c "$i" "$bench" --$mode "$n" 1 "$passes" >"$tmp/p$i" &
        else
          "$bench" --$mode "$n" 1 "$passes" >"$tmp/p$i" &
        fi
      done
      wait
      cat "$tmp"/p? | rate | awk '{s += $1} END {print s / NR}' >>"$tmp/p"
    done
    a=$(max <"$tmp/a")
    t=$(max <"$tmp/t")
    p=$(max <"$tmp/p")
    echo "$mode $n $a $t $p" | awk '{e = $4 / (8 * $3); m = $5 / $3;
      printf "%-14s %8d %12.4g %12.4g %12.4g %10.2f %10.2f %8.2f\n", $1, $2, $3, $4, $5, e, m, e / m}'
  done
done
echo "$before $(cpu)" | awk '{printf "processor time stolen by the host during the runs: %.1f %%\n", 100 * ($4 - $2) / ($3 - $1)}'
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
