#!/usr/bin/env bash
# Installs what building gapMend needs on Debian or Ubuntu (only what is missing), then builds it.
#   scripts/bootstrap.sh [build-dir] [extra cmake arguments...]
# GAPMEND_EXTRA_PACKAGES names more Debian packages to install the same way.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck disable=SC2206  # the extra packages are a blank-separated list
packages=(cmake g++ make libgdal-dev gdal-bin python3-gdal libgtest-dev strace ${GAPMEND_EXTRA_PACKAGES:-})
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing ${missing[*]}" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
