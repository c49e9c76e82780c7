#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: once as built
# for use, once under AddressSanitizer and UndefinedBehaviorSanitizer; in between, the
# core and platform tests built for Windows run under Wine, and each fuzz target runs for
# a minute.
set -euo pipefail
DITTOLY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$DITTOLY_ROOT/scripts/common.sh"

ensure_packages
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== Build and test"
build_tree "$DITTOLY_ROOT/build/test" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir "$DITTOLY_ROOT/build/test" -j "$jobs" --output-on-failure

echo "== Core and platform tests built for Windows with MinGW-w64, run under Wine"
build_tree "$DITTOLY_ROOT/build/wine" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDITTOLY_WINDOW=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$DITTOLY_ROOT/cmake/mingw-w64-x86_64.cmake"
ctest --test-dir "$DITTOLY_ROOT/build/wine" -j "$jobs" --output-on-failure

echo "== Fuzz the readers, writers and name checks under AddressSanitizer and UndefinedBehaviorSanitizer"
bash "$DITTOLY_ROOT/scripts/fuzz.sh" 60

echo "== Build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
build_tree "$DITTOLY_ROOT/build/asan" -DCMAKE_BUILD_TYPE=Debug -DDITTOLY_SANITIZE=ON
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$DITTOLY_ROOT/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$DITTOLY_ROOT/build/asan" -j "$jobs" --output-on-failure
