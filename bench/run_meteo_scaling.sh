#!/usr/bin/env bash
# What the machine gives a compute-bound kernel on all its cores, against what
# the interpolation's threads get. For 20 and 200 stations, with the bench's
# 1000 x 1000 grid:
#   alone 1      one process, one thread
#   threads 8    one process, 8 threads (OpenMP)
#   procs 8      8 single-thread processes side by side, each on the whole grid
# (and the same with 4),
# for the inverse-distance kernel alone (rows in one block per thread) and for
# the whole interpolation step (bench_meteo_interpolation --kernel / --idw).
# Efficiency (eff.) of the threads: rate(threads 8) / (8 x rate(alone 1)).
# The machine's own bound: the mean rate of a process among 8 / rate(alone 1),
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

printf "%-8s %8s %10s | %10s %10s %6s %6s | %10s %10s %6s %6s\n" what stations "alone 1" "threads 4" "procs 4" eff. bound \
  "threads 8" "procs 8" eff. bound
for mode in kernel idw; do
  for n in 20 200; do
    # Passes of about 2 s on one thread.
    if [ "$mode" = kernel ]; then passes=$((n == 20 ? 100 : 24)); else passes=$((n == 20 ? 80 : 20)); fi
    line="$mode $n"
    : >"$tmp/a"
    for _ in $(seq "$rounds"); do "$bench" --$mode "$n" 1 "$passes" | rate >>"$tmp/a"; done
    line="$line $(max <"$tmp/a")"
    for width in 4 8; do
      : >"$tmp/t" && : >"$tmp/p"
      for _ in $(seq "$rounds"); do
        "$bench" --$mode "$n" "$width" $((width * passes)) | rate >>"$tmp/t"
        for i in $(seq 0 $((width - 1))); do
          if [ "${PIN:-0}" = 1 ]; then
            taskset -c "$i" "$bench" --$mode "$n" 1 "$passes" >"$tmp/p$i" &
          else
            "$bench" --$mode "$n" 1 "$passes" >"$tmp/p$i" &
          fi
        done
        wait
        cat "$tmp"/p? | rate | awk '{s += $1} END {print s / NR}' >>"$tmp/p"
        rm -f "$tmp"/p?
      done
      line="$line $(max <"$tmp/t") $(max <"$tmp/p")"
    done
    echo "$line" | awk '{
      printf "%-8s %8d %10.4g | %10.4g %10.4g %6.2f %6.2f | %10.4g %10.4g %6.2f %6.2f\n",
        $1, $2, $3, $4, $5, $4 / (4 * $3), $5 / $3, $6, $7, $6 / (8 * $3), $7 / $3}'
  done
done
echo "$before $(cpu)" | awk '{printf "processor time stolen by the host during the runs: %.1f %%\n", 100 * ($4 - $2) / ($3 - $1)}'
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
