#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ in build/fuzz and runs each one for a while.
#
#   scripts/fuzz.sh [seconds per target]     (default 60)
#
# Each target works on its own corpus folder in build/fuzz/corpus, which starts as a copy
# of the checked-in seeds in tests/fuzz/corpus and keeps what earlier runs found; the
# checked-in seeds are never written to. A crash, a timeout, a leak or a failed check makes
# the run fail; the input that did it is saved in build/fuzz/artifacts/<target>/ and the
# log in build/fuzz/logs/<target>.log.
set -euo pipefail
DITTOLY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$DITTOLY_ROOT/scripts/common.sh"

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds per target]" >&2
    exit 2
fi

FUZZERS=(fuzz_ini fuzz_applist fuzz_names fuzz_modini)
build="$DITTOLY_ROOT/build/fuzz"

ensure_packages clang libclang-rt-dev

echo "== Build the fuzz targets"
# The whole project is configured (the root finds Qt), but only the fuzz targets and the
# core library they link are built: the window layer has no business under libFuzzer.
cmake -S "$DITTOLY_ROOT" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDITTOLY_FUZZ=ON -DDITTOLY_TESTS=OFF \
    -DDITTOLY_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers

echo "== Fuzz, $seconds s per target"
# Leaks count as failures like crashes; a failed check traps and shows up as a crash.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Scratch files go to memory where there is some: the targets replace files by renames, and
# on a journalled disk each of those waits for the disk.
scratch=/tmp
[ -w /dev/shm ] && scratch=/dev/shm
passed=0
failed=0
for fuzzer in "${FUZZERS[@]}"; do
    corpus="$build/corpus/$fuzzer"
    artifacts="$build/artifacts/$fuzzer"
    log="$build/logs/$fuzzer.log"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    cp -f "$DITTOLY_ROOT/tests/fuzz/corpus/$fuzzer/"* "$corpus/"

    start=$SECONDS
    status=0
    TMPDIR="$scratch" "$build/tests/fuzz/$fuzzer" "$corpus" -max_len=4096 -timeout=10 \
        -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
    elapsed=$((SECONDS - start))

    # The final statistics line when the run ended normally, else the last progress line.
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ -z "$runs" ]; then
        runs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
    fi
    if [ "$status" -eq 0 ]; then
        echo "$fuzzer: $elapsed s, ${runs:-0} runs, no crash"
        passed=$((passed + 1))
    else
        found=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
        echo "$fuzzer: $elapsed s, ${runs:-0} runs, FAILED (exit $status)${found:+, input saved to $found}"
        grep -E 'FUZZ_CHECK|ERROR: |SUMMARY: |runtime error' "$log" | head -n 5 | sed 's/^/    /' || true
        failed=$((failed + 1))
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
