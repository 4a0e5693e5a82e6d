#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the terminal on the
# simulated FPGA inside the namespace harness, then ends it with SIGTERM.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/setup.sh
scripts/build.sh >/dev/null
exec scripts/harness.sh scripts/demo.sh "$root/build"
