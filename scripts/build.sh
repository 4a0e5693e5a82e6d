#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh            -> build/        (RelWithDebInfo)
#   scripts/build.sh asan       -> build-asan/   (AddressSanitizer + UBSan)
#   scripts/build.sh tsan       -> build-tsan/   (ThreadSanitizer)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
flavour=${1:-}
dir="$root/build${flavour:+-$flavour}"
cmake -S "$root" -B "$dir" -DQUARNEL_SANITIZE="$flavour" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --parallel "$(nproc)" -- --no-print-directory
