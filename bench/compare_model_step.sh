#!/usr/bin/env bash
# Before and after in one sitting: runs bench_model_step of two builds on the
# same model (bench/make_model_step_basin.py) in turns, configuration by
# configuration, ROUNDS times each, and prints the best seconds per simulated
# day of each build, its efficiency against its own one instance on one
# thread, and after / before. Runs in turns so that a change of the machine's
# state during the sitting hits both builds alike.
# Usage: bench/compare_model_step.sh BEFORE_BUILD AFTER_BUILD [N, default 500] [WARMUP, default 6] [ROUNDS, default 2]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
before=$(cd "$1" && pwd)
after=$(cd "$2" && pwd)
n=${3:-500}
warmup=${4:-6}
rounds=${5:-2}
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/make_model_step_basin.py" "$work" "$n" "$warmup" 24
cd "$work"
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
cpu() { awk '/^cpu / {t = 0; for (i = 2; i <= NF; i++) t += $i; print t, $9}' /proc/stat; }
start=$(cpu)

configs="1:1 1:2 1:4 1:8 2:1 4:1 2:4 4:2"
: >runs.txt
for round in $(seq 1 "$rounds"); do
  for c in $configs; do
    for which in before after; do
      build=$before
      [[ $which == after ]] && build=$after
      rm -rf out && mkdir out
      mpirun --oversubscribe --bind-to none -np "${c%%:*}" -x OMP_NUM_THREADS="${c##*:}" \
        "$build/bench/bench_model_step" control.txt "$warmup" >run.txt
      seconds=$(awk 'NR == 1 {print $10}' run.txt)
      echo "$which $c $seconds" >>runs.txt
      echo "round $round, $which, ${c%%:*} x ${c##*:}: $seconds s per day; load average $(cut -d' ' -f1 /proc/loadavg)"
    done
  done
done

echo
awk -v configs="$configs" '
  BEGIN { m = split(configs, list, " ") }
  { key = $1 " " $2; if (!(key in best) || $3 < best[key]) best[key] = $3 }
  END {
    printf "| instances x threads |"; for (i = 1; i <= m; i++) { c = list[i]; sub(":", " x ", c); printf " %s |", c } print ""
    printf "|---|"; for (i = 1; i <= m; i++) printf "---|"; print ""
    for (w = 1; w <= 2; w++) {
      which = w == 1 ? "before" : "after"
      printf "| %s: seconds per simulated day |", which
      for (i = 1; i <= m; i++) printf " %.1f |", best[which " " list[i]]
      print ""
      printf "| %s: efficiency |", which
      for (i = 1; i <= m; i++) {
        split(list[i], p, ":")
        printf " %.2f |", best[which " 1:1"] / (p[1] * p[2] * best[which " " list[i]])
      }
      print ""
    }
    printf "| after / before, seconds per day |"
    for (i = 1; i <= m; i++) printf " %.2f |", best["after " list[i]] / best["before " list[i]]
    print ""
  }' runs.txt
end=$(cpu)
echo "$start $end" | awk '{t = $3 - $1; s = $4 - $2; printf "processor time stolen by the host during the runs: %.1f %%\n", (t > 0 ? 100 * s / t : 0)}'
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
