#!/usr/bin/env bash
# Builds gapMend and its tests and runs the whole suite.
#   scripts/test.sh              the normal build, warnings as errors
#   scripts/test.sh --sanitize   the same suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh --tsan       the same suite under ThreadSanitizer (the fill runs on several
#                                threads); a report fails the run that made it
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--tsan" ]; then
    build_dir=build-tsan
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
    scripts/bootstrap.sh "$build_dir" -DGAPMEND_WERROR=ON -DGAPMEND_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
elif [ "${1:-}" = "--sanitize" ]; then
    build_dir=build-sanitize
    export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    scripts/bootstrap.sh "$build_dir" -DGAPMEND_WERROR=ON -DGAPMEND_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
else
    build_dir=build
    scripts/bootstrap.sh "$build_dir" -DGAPMEND_WERROR=ON
fi
ctest --test-dir "$build_dir" --output-on-failure -j 2
