#!/usr/bin/env bash
# Rebuilds dem.asc from its source. Not needed to run the example: dem.asc is
# committed. Needs gdal-bin and network access to Debian's package archive.
#
# Source: ex/elev.tif of the R package terra (Debian package r-cran-terra),
# an elevation model of Luxembourg in geographic coordinates (WGS 84, 30").
# The package is only downloaded and unpacked, not installed.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get download r-cran-terra
dpkg-deb -x r-cran-terra_*.deb terra
tif=$(find terra -name elev.tif | head -1)
# Luxembourg's metric grid (LUREF, EPSG:2169), 1 km cells, bilinear resampling.
gdalwarp -q -t_srs EPSG:2169 -te 49000 56000 107000 140000 -tr 1000 1000 \
  -r bilinear -dstnodata -9999 "$tif" elev2169.tif
gdal_translate -q -of AAIGrid -co DECIMAL_PRECISION=1 elev2169.tif dem.asc
cp dem.asc dem.prj "$OLDPWD/"
