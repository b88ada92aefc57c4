#!/usr/bin/env bash
# Runs the interpolation bench and, when gdal_grid is installed, gdal_grid on
# the same 1000 x 1000 grid of 100 m cells from the same 20 and 200 stations
# (inverse distance to the power 2, no smoothing, one thread, best of several
# runs, the result kept in memory). Prints the ratio of cells per second on one
# thread (Fluvex divided by gdal_grid; gdal_grid with and without its start-up,
# measured on a 1 x 1 grid) and the parallel efficiencies of the bench.
# Usage: bench/run_meteo_vs_gdal.sh [build directory, default build] [runs, default 5]
set -euo pipefail
build=${1:-build}
runs=${2:-5}
bench="$build/bench/bench_meteo_interpolation"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" | tee "$tmp/fluvex.txt"
echo "load average after the bench: $(cut -d' ' -f1-3 /proc/loadavg)"

# Best wall time of $runs runs of a command, in seconds.
best_of() {
  local best=1e30 start end
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    best=$(echo "$best $start $end" | awk '{t = $3 - $2; print (t < $1 ? t : $1)}')
  done
  echo "$best"
}

if ! command -v gdal_grid >/dev/null; then
  echo "gdal_grid is not installed: no ratio"
  exit 0
fi
echo
printf "%-9s %14s %14s %14s %10s %10s %12s %12s\n" stations "fluvex cells/s" "gdal cells/s" "gdal net" ratio "ratio net" "eff. 8 thr." "regr. 8 thr."
for n in 20 200; do
  "$bench" --stations "$n" "$tmp/s$n.csv"
  cat >"$tmp/s$n.vrt" <<VRT
<OGRVRTDataSource>
  <OGRVRTLayer name="s$n">
    <SrcDataSource>$tmp/s$n.csv</SrcDataSource>
    <GeometryType>wkbPoint</GeometryType>
    <GeometryField encoding="PointFromColumns" x="x" y="y" z="value"/>
  </OGRVRTLayer>
</OGRVRTDataSource>
VRT
  grid() {
    GDAL_NUM_THREADS=1 gdal_grid -q -a invdist:power=2.0:smoothing=0 -zfield value -txe 0 100000 -tye 0 100000 \
      -outsize "$1" "$1" -ot Float64 -of MEM -l "s$n" "$tmp/s$n.vrt" "$tmp/out"
  }
  full=$(best_of grid 1000)
  startup=$(best_of grid 1)
  fluvex=$(awk -v n="$n" '/^inverse-distance weighting/ && $3 == n && $4 == 1 {print $5}' "$tmp/fluvex.txt")
  eff=$(awk -v n="$n" '/^inverse-distance weighting/ && $3 == n && $4 == 8 {print $6}' "$tmp/fluvex.txt")
  regr=$(awk -v n="$n" '/^elevation regression/ && $3 == n && $4 == 8 {print $6}' "$tmp/fluvex.txt")
  echo "$n $fluvex $full $startup $eff $regr" | awk '{
    g = 1e6 / $3; gn = 1e6 / ($3 - $4);
    printf "%-9d %14.4g %14.4g %14.4g %10.2f %10.2f %12s %12s\n", $1, $2, g, gn, $2 / g, $2 / gn, $5, $6}'
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
