#!/usr/bin/env bash
# Builds the relay's fuzz target with clang, in a build folder of its own (the
# project's gcc builds are not touched), and runs it. The scanner it drives
# opens nothing, so it runs without the namespace harness.
#
#   quarnel/relay/fuzz/run-fuzz.sh [--required] [SECONDS] [BUILD_DIR]
#
# SECONDS defaults to 30; BUILD_DIR to build-fuzz at the top of the tree.
# QUARNEL_FUZZ_RUNS=N ends the run after N inputs instead (SECONDS then
# bounds it); QUARNEL_FUZZ_MAX_LEN=N keeps inputs to N bytes (140000).
# Exits non-zero when the fuzzer finds a crash, a failed check, a stalled
# input or a memory blow-up; the input is kept as BUILD_DIR/crash-* (or
# timeout-*, oom-*) and replays with: BUILD_DIR/fuzz_scanner FILE
# Without clang or libFuzzer it says so and skips (exit 0) when run by hand;
# with --required (the test command, whose setup installs both) that is a
# failure, so that a run which fuzzed nothing never looks green.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
required=0
if [ "${1:-}" = --required ]; then
    required=1
    shift
fi
seconds=${1:-30}
build=${2:-$root/build-fuzz}

missing() {
    if [ "$required" = 1 ]; then
        echo "fuzz: FAILED: $1 not found ($2; scripts/setup.sh installs it): nothing was fuzzed" >&2
        exit 1
    fi
    echo "fuzz: $1 not found ($2); skipped"
    exit 0
}
command -v clang++ >/dev/null || missing clang++ "Debian package clang"
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 ||
    missing libFuzzer "Debian package libclang-rt-14-dev or libclang-rt-dev"

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null

corpus="$build/corpus"
log="$build/fuzz.log"
mkdir -p "$corpus"
echo "fuzz: relay command scanner for ${QUARNEL_FUZZ_RUNS:+$QUARNEL_FUZZ_RUNS inputs or }${seconds}s"
# Memory stays bounded (-rss_limit_mb, checked by libFuzzer itself: a
# ulimit -v would starve AddressSanitizer's shadow memory); an input that
# keeps the scanner busy for 10 s counts as a stall; the outer timeout is a
# last resort should the fuzzer itself hang.
set +e
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    timeout --kill-after=10 $((seconds + 120)) \
    "$build/fuzz_scanner" -max_total_time="$seconds" ${QUARNEL_FUZZ_RUNS:+-runs="$QUARNEL_FUZZ_RUNS"} \
    -rss_limit_mb=2048 -timeout=10 \
    -dict="$here/scanner.dict" -max_len="${QUARNEL_FUZZ_MAX_LEN:-140000}" -len_control=200 -print_final_stats=1 \
    -artifact_prefix="$build/" "$corpus" >"$log" 2>&1
status=$?
set -e
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz: FAILED (exit $status); full log $log, input kept under $build/"
    exit "$status"
fi
grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log"
echo "fuzz: no finding"
