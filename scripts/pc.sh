#!/usr/bin/env bash
# Runs a command on the PC side of the harness's LAN (inside scripts/harness.sh).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if ! "$here/harness.sh" --inside || [ -z "${QUARNEL_PC_NETNS:-}" ]; then
    echo "pc.sh: only inside scripts/harness.sh" >&2
    exit 2
fi
exec nsenter --net="$QUARNEL_PC_NETNS" -- "$@"
