#!/usr/bin/env bash
# Builds gapMend and fills a copy of the bundled sample DEM, so data/ stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh build >/dev/null
mkdir -p build/demo
cp data/luxembourg_dem_voids.tif build/demo/luxembourg_dem_filled.tif
(cd build/demo && ../gapMend luxembourg_dem_filled.tif 250)
echo "Filled copy: build/demo/luxembourg_dem_filled.tif"
