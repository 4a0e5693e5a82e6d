#!/usr/bin/env bash
# Runs inside scripts/harness.sh: starts quarnel offscreen on the simulated
# FPGA, lets it run a few seconds and stops it the way the service manager does.
set -euo pipefail
build=${1:?build folder}
if [ "${QUARNEL_HARNESS:-}" != 1 ]; then
    echo "demo.sh: only inside scripts/harness.sh" >&2
    exit 2
fi
export ZELK_FPGA=sim QT_QPA_PLATFORM=offscreen

echo "quarnel: starting on the simulated panel (eth0 $QUARNEL_PANEL_IP)"
"$build/quarnel/quarnel" &
pid=$!
sleep 3
if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid" || true
    echo "quarnel: ended early" >&2
    exit 1
fi
echo "quarnel: running (pid $pid); stopping it with SIGTERM"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
echo "quarnel: exited with status $status"
exit "$status"
