#!/usr/bin/env bash
# Builds gapMend.exe for 64-bit Windows on this Debian machine and tests it under wine.
#   scripts/windows.sh             the library (cached), gapMend.exe with warnings as errors in
#                                  build-windows/, and the whole suite run against it under wine
#   scripts/windows.sh --library   only the cross-built library; prints its prefix
#   scripts/windows.sh --package   the library and gapMend.exe, then the release zip
#                                  build-windows/gapMend-<version>-win64.zip
#
# Installs mingw-w64 and wine from Debian's archive when missing, then cross-builds static zlib,
# sqlite, PROJ and GDAL from Debian's own source packages of this release. The archive is the one
# the machine's apt configuration names: its entries for this release are copied as deb-src into
# a private apt configuration, and the system's is left alone. The install prefix is cached in
# GAPMEND_WINDOWS_CACHE (default /var/cache/gapmend-ci) under the sources' versions and a hash of
# the build steps below, so it is rebuilt only when they change. It builds under `nice -n 19`
# with -j2 and logs to <cache>/<name>.log. The suite's tests stay native programs; they start
# `wine gapMend.exe` as the tool under test, in a fresh wine prefix of this user's, and skip what
# wine cannot show.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=${1:-}
cache=${GAPMEND_WINDOWS_CACHE:-/var/cache/gapmend-ci}
triple=x86_64-w64-mingw32
jobs=2

fail() {
    echo "windows.sh: $*" >&2
    exit 1
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_tools() {
    # mingw and wine; sqlite3 and tclsh build PROJ's database and sqlite's amalgamation; dpkg-dev
    # unpacks the sources; man and col make the man page text; the rest builds the native tests.
    local packages=(g++-mingw-w64-x86-64-posix wine wine64 sqlite3 tcl dpkg-dev cmake make zip
        man-db bsdextrautils libgdal-dev gdal-bin libgtest-dev g++ strace) missing=() package
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "Installing ${missing[*]}" >&2
    as_root apt-get update -qq || fail "cannot reach the package archive named in /etc/apt (apt-get update failed)"
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null || fail "cannot install ${missing[*]} from the package archive"
}

# The machine's own archive entries for this release, as deb-src, in a private apt configuration.
apt_dir=$cache/apt
apt_options=()
declare -A versions
private_apt() {
    local codename file
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    rm -f "$apt_dir/sources.list.d/"*
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v release="$codename" '$1 == "deb" && $0 ~ ("[ \t]" release "([ \t]|-)") {
            sub(/^deb/, "deb-src"); print }' "$file"
    done >"$apt_dir/sources.list.d/source.list"
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        # Stanzas are separated by blank lines; keep the enabled deb ones of this release.
        awk -v release="$codename" 'BEGIN { RS = ""; ORS = "\n\n" }
            /(^|\n)Types:[^\n]*deb([ \n]|$)/ && $0 ~ ("Suites:[^\n]*" release) &&
            $0 !~ /(^|\n)Enabled: *no/ {
                sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$file"
    done >"$apt_dir/sources.list.d/source.sources"
    [ -s "$apt_dir/sources.list.d/source.list" ] || [ -s "$apt_dir/sources.list.d/source.sources" ] ||
        fail "no Debian archive entry for $codename in /etc/apt to take sources from"
    apt_options=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
        -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1")
    apt-get "${apt_options[@]}" update -qq >"$apt_dir/update.log" 2>&1 ||
        fail "cannot reach the package archive named in /etc/apt for sources (see $apt_dir/update.log)"
}

# Downloads a source package into $cache/sources and prints its version: the newest that the
# archive serves (a mirror may list a security update whose source it does not carry).
download_source() {
    local version dir
    for version in $(apt-cache "${apt_options[@]}" showsrc --only-source "$1" |
        sed -n 's/^Version: //p' | sort -rVu); do
        dir=$cache/sources/$1_${version//[:~]/_}
        if [ ! -f "$dir/.complete" ]; then
            rm -rf "$dir" && mkdir -p "$dir"
            (cd "$dir" && apt-get "${apt_options[@]}" source --download-only -qq "$1=$version") \
                >"$dir/download.log" 2>&1 || continue
            touch "$dir/.complete"
        fi
        echo "$version"
        return
    done
    fail "cannot download the $1 source package from the archive named in /etc/apt"
}

fetch_source() { # name -> extracted tree in $work/<name>
    local dsc
    dsc=$(find "$cache/sources/$1_${versions[$1]//[:~]/_}" -name '*.dsc' | head -n 1)
    dpkg-source --no-check -x "$dsc" "$work/$1" >>"$log" 2>&1 || fail "cannot unpack $dsc"
}

build_zlib() {
    fetch_source zlib
    local unit # Debian's tree has no Windows makefile; zlib is a handful of C files
    (cd "$work/zlib" && for unit in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite \
        infback inffast inflate inftrees trees uncompr zutil; do
        $triple-gcc-posix -O2 -c $unit.c -o $unit.o || exit 1
    done && $triple-ar rcs libz.a ./*.o && cp zlib.h zconf.h "$stage/include/" && cp libz.a "$stage/lib/")
}

build_sqlite() { # Debian's tree has no amalgamation: make it natively, compile it with mingw.
    fetch_source sqlite3
    mkdir -p "$work/sqlite-native"
    (cd "$work/sqlite-native" && "$work/sqlite3/configure" --disable-tcl >/dev/null && make sqlite3.c) &&
        (cd "$work/sqlite-native" &&
        $triple-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION \
            -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_RTREE -c sqlite3.c -o sqlite3.o &&
        $triple-ar rcs libsqlite3.a sqlite3.o &&
        cp sqlite3.h sqlite3ext.h "$stage/include/" && cp libsqlite3.a "$stage/lib/")
}

cross_cmake() { # source dir, build dir, extra arguments
    local source=$1 build=$2
    shift 2
    cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DGAPMEND_WINDOWS_PREFIX="$stage" -DCMAKE_INSTALL_PREFIX="$stage" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "$@" &&
        cmake --build "$build" -j$jobs && cmake --install "$build"
}

build_proj() {
    fetch_source proj
    cross_cmake "$work/proj" "$work/proj-build" -DENABLE_TIFF=OFF -DENABLE_CURL=OFF -DBUILD_APPS=OFF \
        -DEXE_SQLITE3=/usr/bin/sqlite3 -DSQLITE3_INCLUDE_DIR="$stage/include" \
        -DSQLITE3_LIBRARY="$stage/lib/libsqlite3.a"
}

build_gdal() { # the drivers users fill in place, and the cheap raw formats
    fetch_source gdal
    cross_cmake "$work/gdal" "$work/gdal-build" -DBUILD_APPS=OFF -DBUILD_PYTHON_BINDINGS=OFF \
        -DBUILD_JAVA_BINDINGS=OFF -DBUILD_CSHARP_BINDINGS=OFF -DGDAL_USE_EXTERNAL_LIBS=OFF \
        -DGDAL_BUILD_OPTIONAL_DRIVERS=OFF -DOGR_BUILD_OPTIONAL_DRIVERS=OFF \
        -DGDAL_ENABLE_DRIVER_HFA=ON -DGDAL_ENABLE_DRIVER_RAW=ON -DGDAL_ENABLE_DRIVER_PCIDSK=ON \
        -DGDAL_ENABLE_DRIVER_AAIGRID=ON -DGDAL_ENABLE_DRIVER_ERS=ON -DGDAL_ENABLE_DRIVER_SAGA=ON \
        -DGDAL_ENABLE_DRIVER_MRF=ON -DENABLE_GNM=OFF \
        -DGDAL_USE_TIFF_INTERNAL=ON -DGDAL_USE_GEOTIFF_INTERNAL=ON -DGDAL_USE_JSONC_INTERNAL=ON \
        -DGDAL_USE_ZLIB=ON -DGDAL_USE_ZLIB_INTERNAL=OFF -DZLIB_INCLUDE_DIR="$stage/include" \
        -DZLIB_LIBRARY="$stage/lib/libz.a" -DPROJ_DIR="$stage/lib/cmake/proj" \
        -DSQLite3_INCLUDE_DIR="$stage/include" -DSQLite3_LIBRARY="$stage/lib/libsqlite3.a"
}

# Sets $prefix to the cached install of the library, building it when its sources changed.
library() {
    private_apt
    local package name=windows
    for package in gdal proj sqlite3 zlib; do
        versions[$package]=$(download_source $package)
        name+=-$package-${versions[$package]}
    done
    # and the recipe: a change of drivers or options is a new build too
    name+=-$(declare -f build_zlib build_sqlite cross_cmake build_proj build_gdal | sha1sum | cut -c1-8)
    name=${name//[:~]/_}
    prefix=$cache/$name
    [ -f "$prefix/.complete" ] && return
    log=$cache/$name.log
    work=$cache/$name.work
    stage=$prefix
    echo "Building the Windows library $name (10 to 20 minutes on 2 cores; log in $log)" >&2
    rm -rf "$work" "$prefix"
    mkdir -p "$work" "$prefix/include" "$prefix/lib"
    local start=$SECONDS
    (
        renice -n 19 -p $BASHPID >/dev/null
        build_zlib && build_sqlite && build_proj && build_gdal
    ) >>"$log" 2>&1 || fail "building the Windows library failed (see $log)"
    rm -rf "$work"
    echo "built in $((SECONDS - start)) s" >>"$log"
    touch "$prefix/.complete"
}

build_exe() {
    cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DGAPMEND_WINDOWS_PREFIX="$prefix" -DGDAL_DIR="$prefix/lib/cmake/gdal" \
        -DCMAKE_BUILD_TYPE=Release -DGAPMEND_WERROR=ON -DGAPMEND_BENCH=ON >/dev/null
    cmake --build build-windows -j$jobs
}

# The suite against gapMend.exe, in a wine prefix made for this run and removed after it. One
# wine server for all the runs (`wineserver -p`) spares each a start of seconds.
test_under_wine() {
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/gapmend-wine-XXXXXX")
    export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
    wineserver -p || fail "cannot start wine's server for $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || fail "wine cannot make a prefix in $WINEPREFIX"
    scripts/bootstrap.sh build-wine -DGAPMEND_WERROR=ON \
        -DGAPMEND_TOOL="$root/build-windows/gapMend.exe" -DGAPMEND_TOOL_LAUNCHER=wine
    ctest --test-dir build-wine --output-on-failure -j $jobs
}

package() {
    local version zip stage_dir
    version=$(sed -n 's/^project(gapMend VERSION \([^ ]*\).*/\1/p' CMakeLists.txt)
    zip=$root/build-windows/gapMend-$version-win64.zip
    stage_dir=$root/build-windows/gapMend-$version-win64
    rm -rf "$stage_dir" "$zip"
    mkdir -p "$stage_dir/share/proj"
    cp build-windows/gapMend.exe "$stage_dir/"
    $triple-strip "$stage_dir/gapMend.exe"
    cp build-windows/share/proj/proj.db "$stage_dir/share/proj/"
    sed 's/$/\r/' README.md >"$stage_dir/README.txt"
    MANWIDTH=80 man -l gapMend.1 2>/dev/null | col -bx | sed 's/$/\r/' >"$stage_dir/gapMend.txt"
    [ -s "$stage_dir/gapMend.txt" ] || fail "cannot render the man page as text"
    # The exe needs no DLL but Windows's own: list any other it imports.
    local dlls
    dlls=$($triple-objdump -p "$stage_dir/gapMend.exe" | sed -n 's/^\tDLL Name: //p' |
        grep -viE '^(kernel32|msvcrt|advapi32|user32|ws2_32|shell32|ole32|oleaut32|bcrypt|crypt32|rpcrt4|shlwapi|psapi|api-ms-win-.*)\.dll$' || true)
    [ -z "$dlls" ] || fail "gapMend.exe needs DLLs the zip does not have: $dlls"
    (cd "$root/build-windows" && zip -qr "$zip" "$(basename "$stage_dir")")
    echo "$zip"
}

install_tools
mkdir -p "$cache"
library
case "$mode" in
    --library) echo "$prefix" ;;
    --package) build_exe >/dev/null && package ;;
    "") build_exe && test_under_wine ;;
    *) fail "unknown option $mode (see the top of $0)" ;;
esac
