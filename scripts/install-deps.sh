#!/usr/bin/env bash
# Installs the Debian packages Fluvex needs to build and test and to draw the
# example's pictures (python3-matplotlib), only those missing. GRASS GIS
# (grass-core) is not among them: the example's derived grids are committed.
set -euo pipefail
packages=(cmake g++ make libopenmpi-dev openmpi-bin libgtest-dev libgmock-dev libxml2-utils gdal-bin python3
  python3-matplotlib)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
