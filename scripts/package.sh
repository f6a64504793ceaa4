#!/usr/bin/env bash
# Builds the Debian package build/gapmend_<version>_<arch>.deb (installing what it needs, as the
# other scripts do): /usr/bin/gapMend and its man page, depending on this release's GDAL.
set -euo pipefail
cd "$(dirname "$0")/.."
GAPMEND_EXTRA_PACKAGES="dpkg-dev file" scripts/bootstrap.sh build >/dev/null
(cd build && cpack -G DEB >/dev/null)
ls build/gapmend_*.deb
