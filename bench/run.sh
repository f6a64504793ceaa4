#!/usr/bin/env bash
# Runs the benchmark: installs what it needs (Debian's python3-gdal, numpy, matplotlib and GNU
# time), builds gapMend and the floor program in Release, then times them. Arguments go to
# bench/bench.py (--help lists them). Test rasters are kept in bench/cache/ between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
GAPMEND_EXTRA_PACKAGES="python3-gdal python3-numpy python3-matplotlib time" \
    scripts/bootstrap.sh build-bench -DGAPMEND_BENCH=ON >/dev/null
exec /usr/bin/python3 bench/bench.py "$@"
