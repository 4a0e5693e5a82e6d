#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs
#   1. every test (each inside its own namespace harness) on the plain build;
#   2. the relay's command scanner under libFuzzer for 30 s (clang);
#   3. every test but the heavy ones under AddressSanitizer + UBSan;
#   4. the threaded tests under ThreadSanitizer;
#   5. the panel's armhf build with its library and record-layout tests
#      under qemu-arm (scripts/cross.sh runs the whole armhf suite).
# QUARNEL_SANITIZERS=0 skips 3 and 4, QUARNEL_FUZZ=0 skips 2,
# QUARNEL_CROSS=0 skips 5.
# Builds keep both cores busy while most tests wait on sockets and timers, so
# each flavour's tests run while the next flavour compiles in the background
# (its output goes to build/test-logs/, shown whole if it fails). The tests
# are made to pass on a loaded machine, which this is.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

start=$SECONDS
stage() { printf '\n== %s (%ds)\n' "$1" $((SECONDS - start)); }

# One background job at a time, in a session of its own so that an early
# exit can stop its whole tree (compilers included) and nothing else.
# With the kernel's autogroups every session gets an equal share of the CPU,
# and every test runs in a session of its own (the harness's): two tests with
# their polling threads left the build a third of the machine. As root the
# build's session weighs about as much as three (autogroup nice -5); the tests
# keep what they were made to pass with on a loaded machine. Elsewhere, or
# without autogroups, nothing changes.
bg_pid=
bg_name=
bg_log=
logs="$root/build/test-logs"
stop_background() {
    if [ -n "$bg_pid" ] && [ "$bg_pid" -gt 1 ] && kill -0 "$bg_pid" 2>/dev/null; then
        kill -TERM -- "-$bg_pid" 2>/dev/null || true
        wait "$bg_pid" 2>/dev/null || true
    fi
}
trap stop_background EXIT
background() {   # log-name title command...
    bg_log=$logs/$1.log
    bg_name=$2
    shift 2
    mkdir -p "$logs"
    printf '\n== %s: in the background, log %s (%ds)\n' "$bg_name" "$bg_log" $((SECONDS - start))
    setsid bash -c 'echo -5 2>/dev/null >/proc/self/autogroup || true; exec "$@"' "$bg_name" "$@" \
        > "$bg_log" 2>&1 < /dev/null &
    bg_pid=$!
}
join_background() {   # [show]: print the log even when the job passed
    local status=0
    wait "$bg_pid" || status=$?
    bg_pid=
    if [ $status -ne 0 ]; then
        cat "$bg_log"
        printf '\n== %s FAILED with status %d (%ds)\n' "$bg_name" $status $((SECONDS - start))
        exit 1
    fi
    [ "${1:-}" = show ] && cat "$bg_log"
    printf '\n== %s: done (%ds)\n' "$bg_name" $((SECONDS - start))
}

# Every flavour is built from nothing here, where compiling each target's
# sources together saves most of the parsing (scripts/build.sh).
export QUARNEL_UNITY=1
# The tests mostly wait on sockets and timers (26 of them, four at a time,
# used 71 s of CPU in 80 s), so four run at once beside the background build.
test_jobs=4

sanitizers=${QUARNEL_SANITIZERS:-1}
fuzz=${QUARNEL_FUZZ:-1}
cross=${QUARNEL_CROSS:-1}

scripts/setup.sh

stage "build"
scripts/build.sh
[ "$sanitizers" = 1 ] && background build-asan "build (asan+ubsan)" scripts/build.sh asan tests_light
stage "tests"
ctest --test-dir build --output-on-failure --parallel "$test_jobs"

if [ "$fuzz" = 1 ]; then
    stage "fuzz (relay command scanner)"
    quarnel/relay/fuzz/run-fuzz.sh --required 30
fi

if [ "$sanitizers" = 1 ]; then
    join_background
    background build-tsan "build (tsan)" scripts/build.sh tsan tests_threads
    stage "tests (asan+ubsan)"
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --output-on-failure --parallel "$test_jobs" --label-exclude 'heavy|package'
    join_background
    [ "$cross" = 1 ] && background armhf "armhf (library and record layout under qemu-arm)" scripts/cross.sh --subset
    stage "tests (tsan, threaded parts)"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp" \
        ctest --test-dir build-tsan --output-on-failure --parallel "$test_jobs" --label-regex threads --label-exclude heavy
elif [ "$cross" = 1 ]; then
    background armhf "armhf (library and record layout under qemu-arm)" scripts/cross.sh --subset
fi

[ -n "$bg_pid" ] && join_background show

stage "done"
