#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [FLAVOUR [TARGET...]]
#   scripts/build.sh            -> build/        (RelWithDebInfo, everything)
#   scripts/build.sh asan ...   -> build-asan/   (AddressSanitizer + UBSan)
#   scripts/build.sh tsan ...   -> build-tsan/   (ThreadSanitizer)
# Sanitizer flavours are compiled by clang with -g1 (line tables: enough for
# readable reports) and linked by lld, much quicker on the CI's two cores
# than gcc and ld: AddressSanitizer at -O0 (its tests mostly wait on sockets
# and timers), ThreadSanitizer at -O1, which it needs to run at a usable
# speed. The plain flavour is gcc's: it is what the packages are made of.
# QUARNEL_UNITY=1 (the test command, which builds from nothing) compiles the
# sources of each target together, a few to one compile: every compile
# parses much the same Qt headers. Incremental builds are quicker without.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
flavour=${1:-}
shift || true
dir="$root/build${flavour:+-$flavour}"
config=(-DQUARNEL_SANITIZE="$flavour" -DCMAKE_BUILD_TYPE=RelWithDebInfo
        -DCMAKE_UNITY_BUILD="$([ "${QUARNEL_UNITY:-0}" = 1 ] && echo ON || echo OFF)")
sanitizer_tools=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld
                 -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)
case "$flavour" in
    asan) config+=("${sanitizer_tools[@]}" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -g1") ;;
    ?*) config+=("${sanitizer_tools[@]}" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1") ;;
esac
# Ninja: it starts fewer processes than make, which spends one per target
# and level of its recursion. A folder first configured with make keeps it.
[ -f "$dir/CMakeCache.txt" ] || config+=(-G Ninja)
cmake -S "$root" -B "$dir" "${config[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
