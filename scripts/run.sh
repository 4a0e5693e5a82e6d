#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs one whole exam in
# the namespace harness (scripts/demo.sh): quarnel on the simulated FPGA with
# two headboxes, the PC client on the other end of a virtual cable.
# Screenshots and logs land in build/demo/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

echo "run: installing missing packages and building (the first time takes a few minutes)"
scripts/setup.sh
# Only what the demo runs: the whole tree with its tests takes much longer.
scripts/build.sh "" quarnel quarnelclient >/dev/null
exec scripts/harness.sh scripts/demo.sh "$root/build" "$root/build/demo"
