#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test
# (each inside its own namespace harness), then again under AddressSanitizer
# with UBSan, and the threaded tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/setup.sh

echo "== build"
scripts/build.sh
echo "== tests"
ctest --test-dir build --output-on-failure --parallel 2

if [ "${QUARNEL_SANITIZERS:-1}" = 1 ]; then
    echo "== build (asan+ubsan)"
    scripts/build.sh asan
    echo "== tests (asan+ubsan)"
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure --parallel 2 --label-exclude heavy
    echo "== build (tsan)"
    scripts/build.sh tsan
    echo "== tests (tsan, threaded parts)"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp" \
        ctest --test-dir build-tsan --output-on-failure --parallel 2 --label-regex threads --label-exclude heavy
fi
