#!/usr/bin/env bash
# Builds the relay's fuzz target with clang and runs it inside the namespace
# harness (the relay opens its TCP ports).
#
#   quarnel/relay/fuzz/run-fuzz.sh [SECONDS] [BUILD_DIR]
#
# SECONDS defaults to 30; BUILD_DIR to build-fuzz at the top of the tree.
# Without clang or libFuzzer it says so and exits 0, so the test suite runs
# on machines without them.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
seconds=${1:-30}
build=${2:-$root/build-fuzz}

if ! command -v clang++ >/dev/null; then
    echo "fuzz: clang++ not found (Debian package clang); skipped"
    exit 0
fi
if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
    echo "fuzz: libFuzzer not found (Debian package libclang-rt-14-dev or libclang-rt-dev); skipped"
    exit 0
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null

corpus="$build/corpus"
mkdir -p "$corpus"
echo "fuzz: relay command scanner for ${seconds}s"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    "$root/scripts/harness.sh" "$build/fuzz_scanner" -max_total_time="$seconds" \
    -dict="$here/scanner.dict" -max_len=140000 -len_control=200 -print_final_stats=1 \
    -artifact_prefix="$build/" "$corpus" 2>&1 | tail -n 25
