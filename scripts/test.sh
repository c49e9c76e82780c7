#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: once as built for use
# (run as root, a second time as an ordinary user on a copy of that build); the core and
# platform tests built for Windows under Wine; each fuzz target for a minute; then the
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer. Warnings are errors
# in every build made here: this is where we choose the compiler.
set -euo pipefail
DITTOLY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$DITTOLY_ROOT/scripts/common.sh"

ensure_packages
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
# The ordinary user the suite runs as a second time when this runs as root.
test_user=${DITTOLY_TEST_USER:-dittoly-test}
summary=()

# skipped LOG: how many tests the CTest log LOG holds and which were skipped, and why.
skipped() {
    awk '/^[0-9]+\/[0-9]+ Testing: / { total++ }
         /: Skipped$/ { on = 1; why = ""; next }
         on && /^\[  SKIPPED \] / { list = list "\n    " $4 ":" why; n++; on = 0; next }
         on { why = why " " $0 }
         END { printf "%d tests, %d skipped%s\n", total, n, list }' "$1"
}

# suite LABEL BUILD [COMMAND...]: the tests of BUILD through COMMAND (as another user),
# then the count of tests and the skipped ones with their reasons.
suite() {
    local label=$1 build=$2 status=0
    shift 2
    "$@" ctest --test-dir "$build" -j "$jobs" --output-on-failure || status=$?
    summary+=("Linux suite $label: $(skipped "$build/Testing/Temporary/LastTest.log")")
    echo "${summary[-1]}"
    return "$status"
}

# The build tree and the sources beside it, copied into the ordinary user's home with the
# paths that CTest and the install step hold pointed at the copy. The tests find the
# programs and scripts they run from their own folders, so the copy runs its own.
as_ordinary_user() {
    id -u "$test_user" >/dev/null 2>&1 ||
        useradd --create-home --shell /usr/sbin/nologin "$test_user"
    local home copy from
    home=$(getent passwd "$test_user" | cut -d: -f6)
    copy="$home/dittoly-ua-$(printf '%s' "$DITTOLY_ROOT" | md5sum | cut -c1-8)"
    rm -rf "$copy"
    mkdir -p "$copy/build"
    tar -C "$DITTOLY_ROOT" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -
    cp -a "$DITTOLY_ROOT/build/test" "$copy/build/test"
    rm -rf "$copy/build/test/Testing"
    for from in "$DITTOLY_ROOT" "$(cd "$DITTOLY_ROOT" && pwd -P)"; do
        find "$copy/build/test" -name '*.cmake' -not -path '*/CMakeFiles/*' -print0 |
            FROM=$from TO=$copy xargs -0 perl -pi -e \
                's{(?<![\w./-])\Q$ENV{FROM}\E(?![\w.-])}{$ENV{TO}}g'
    done
    chown -R "$test_user:" "$copy"
    # A clean environment: root's display, runtime folder and temporary folder are not its.
    suite "as $test_user, an ordinary user" "$copy/build/test" \
        setpriv --reuid="$test_user" --regid="$test_user" --init-groups --reset-env \
        env LANG="${LANG:-C.UTF-8}" ${LC_ALL:+LC_ALL="$LC_ALL"} QT_QPA_PLATFORM=offscreen
}

echo "== Build and test"
build_tree "$DITTOLY_ROOT/build/test" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDITTOLY_WERROR=ON
suite "as $(id -un)" "$DITTOLY_ROOT/build/test"
if [ "$(id -u)" -eq 0 ]; then
    echo "== The same tests as the ordinary user $test_user, on a copy of that build"
    as_ordinary_user
fi

echo "== Core and platform tests built for Windows with MinGW-w64, run under Wine"
build_tree "$DITTOLY_ROOT/build/wine" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDITTOLY_WINDOW=OFF \
    -DDITTOLY_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$DITTOLY_ROOT/cmake/mingw-w64-x86_64.cmake"
ctest --test-dir "$DITTOLY_ROOT/build/wine" -j "$jobs" --output-on-failure

echo "== Fuzz the readers, writers and name checks under AddressSanitizer and UndefinedBehaviorSanitizer"
bash "$DITTOLY_ROOT/scripts/fuzz.sh" 60

echo "== Build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
build_tree "$DITTOLY_ROOT/build/asan" -DCMAKE_BUILD_TYPE=Debug -DDITTOLY_SANITIZE=ON \
    -DDITTOLY_WERROR=ON
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$DITTOLY_ROOT/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$DITTOLY_ROOT/build/asan" -j "$jobs" --output-on-failure

echo "== Passed"
printf '%s\n' "${summary[@]}"
