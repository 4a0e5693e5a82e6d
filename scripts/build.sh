#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [FLAVOUR [TARGET...]]
#   scripts/build.sh            -> build/        (RelWithDebInfo, everything)
#   scripts/build.sh asan ...   -> build-asan/   (AddressSanitizer + UBSan)
#   scripts/build.sh tsan ...   -> build-tsan/   (ThreadSanitizer)
# Sanitizer flavours are compiled with -g1 (line tables: enough for readable
# reports) and much quicker to build on the CI's two cores: AddressSanitizer
# at -O0 (a third less compile time; its tests mostly wait on sockets and
# timers), ThreadSanitizer at -O1, which it needs to run at a usable speed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
flavour=${1:-}
shift || true
dir="$root/build${flavour:+-$flavour}"
config=(-DQUARNEL_SANITIZE="$flavour" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "$flavour" in
    asan) config+=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -g1") ;;
    ?*) config+=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1") ;;
esac
cmake -S "$root" -B "$dir" "${config[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}" -- --no-print-directory
