#!/usr/bin/env bash
# Rebuilds the subbasin grid zones.asc, the flow-time grid flow_times.asc and
# the channel values of the routing description (routing.txt) from dem.asc.
# Not needed to run the example: the results are committed. Needs GRASS GIS
# (Debian package grass-core) and python3.
#
# GRASS GIS derives the flow directions (single flow direction, r.watershed
# -s), takes the basin of the cell with the largest flow accumulation as the
# model area (r.water.outlet) and splits it into subbasins at the stream
# junctions of streams draining at least THRESHOLD cells (r.watershed
# basin=). derive_network.py then follows the flow directions to the outlet of
# each subbasin for the flow times and along the streams for the channels.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
threshold=${1:-150}   # cells of 1 km2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "${KEEP:-}" ] && trap - EXIT && echo "$work"
cp "$here/dem.asc" "$here/dem.prj" "$work/"
cat >"$work/grass.sh" <<EOF
set -e
cd "$work"
r.in.gdal -o input=dem.asc output=dem --quiet
g.region raster=dem
r.watershed -s elevation=dem accumulation=acc0 drainage=dir0 --quiet
# Accumulation is negative where water may come from beyond the elevation
# model; the largest absolute value marks the outlet of the largest basin.
r.mapcalc "absacc = abs(acc0)" --quiet
max=\$(r.univar -g map=absacc | sed -n 's/^max=//p')
r.mapcalc "outlet = if(absacc == \$max, 1, null())" --quiet
xy=\$(r.stats -1gn input=outlet | head -1 | awk '{print \$1","\$2}')
r.water.outlet input=dir0 output=domain coordinates=\$xy --quiet
r.mask raster=domain --quiet
r.watershed -s elevation=dem threshold=$threshold accumulation=acc drainage=dir basin=subbasin stream=stream --quiet
for m in dir subbasin stream; do
  r.out.gdal -c input=\$m output=\$m.asc format=AAIGrid type=Float64 nodata=-9999 --quiet
done
echo "\$xy" >outlet.txt
EOF
grass --tmp-location EPSG:2169 --exec bash "$work/grass.sh"
[ -f "$work/outlet.txt" ] || { echo "GRASS GIS failed" >&2; exit 1; }
python3 "$here/derive_network.py" "$work" "$here"
