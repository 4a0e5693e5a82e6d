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
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

start=$SECONDS
stage() { printf '\n== %s (%ds)\n' "$1" $((SECONDS - start)); }

scripts/setup.sh

stage "build"
scripts/build.sh
stage "tests"
ctest --test-dir build --output-on-failure --parallel 2

if [ "${QUARNEL_FUZZ:-1}" = 1 ]; then
    stage "fuzz (relay command scanner)"
    quarnel/relay/fuzz/run-fuzz.sh --required 30
fi

if [ "${QUARNEL_SANITIZERS:-1}" = 1 ]; then
    stage "build (asan+ubsan)"
    scripts/build.sh asan tests_light
    # Each test carries its sanitizer options (cmake/QuarnelTesting.cmake).
    stage "tests (asan+ubsan)"
    ctest --test-dir build-asan --output-on-failure --parallel 2 --label-exclude 'heavy|package'
    stage "build (tsan)"
    scripts/build.sh tsan tests_threads
    stage "tests (tsan, threaded parts)"
    ctest --test-dir build-tsan --output-on-failure --parallel 2 --label-regex threads --label-exclude heavy
fi

if [ "${QUARNEL_CROSS:-1}" = 1 ]; then
    stage "armhf (library and record layout under qemu-arm)"
    scripts/cross.sh --subset
fi

stage "done"
