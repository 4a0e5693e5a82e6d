#!/usr/bin/env bash
# One exam from start to end, inside scripts/harness.sh: quarnel runs on the
# simulated FPGA with two emulated headboxes, on a virtual X display, and the
# PC client on the other side of the harness's cable finds it, connects,
# configures it, records a few seconds of one headbox's stream with every
# byte checked, and disconnects. Screenshots of the panel are taken before,
# during and after the exam; quarnel ends with SIGTERM as under systemd.
#
#   scripts/harness.sh scripts/demo.sh BUILD_DIR [OUTPUT_DIR]
#
# Variables: QUARNEL_DEMO_SECONDS (recording time, 4), QUARNEL_DEMO_RATE
# (bytes per second of each headbox, 2000000; 0 = as fast as the chain goes).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:?usage: demo.sh BUILD_DIR [OUTPUT_DIR]}" && pwd)
out=${2:-$build/demo}
if ! "$here/harness.sh" --inside; then
    echo "demo.sh: only inside scripts/harness.sh" >&2
    exit 2
fi
seconds=${QUARNEL_DEMO_SECONDS:-4}
rate=${QUARNEL_DEMO_RATE:-2000000}
quarnel=$build/quarnel/quarnel
client=$build/tools/quarnelclient/quarnelclient
panel=$QUARNEL_PANEL_IP
for f in "$quarnel" "$client"; do
    [ -x "$f" ] || { echo "demo.sh: $f is missing: build first" >&2; exit 1; }
done
mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.log

work=$QUARNEL_HARNESS_DIR/demo
mkdir -p "$work"
xvfb_pid= quarnel_pid= listen_pid=
finish() {
    for p in $listen_pid $quarnel_pid $xvfb_pid; do
        kill "$p" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap finish EXIT

step() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/   /'; }
pc() { "$here/pc.sh" "$@"; }

# The panel's 800 x 480 screen. Xvfb picks a free display number itself;
# its sockets live in the harness's own network namespace and in a
# /tmp/.X11-unix of this mount namespace. (Probing from another network
# namespace, it would take over the socket files of the machine's own X
# servers in the shared folder, a desktop's included.)
start_display() {
    mkdir -p /tmp/.X11-unix
    mount -t tmpfs -o mode=1777 quarnel-x11 /tmp/.X11-unix
    Xvfb -displayfd 3 -noreset -screen 0 800x480x24 -nolisten tcp 3>"$work/display" >"$out/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.05
    done
    [ -s "$work/display" ] || { echo "demo.sh: Xvfb did not start (see $out/xvfb.log)" >&2; exit 1; }
    export DISPLAY=:$(head -n1 "$work/display")
}

screenshot() {
    local name=$1
    if xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$out/$name.png" 2>/dev/null; then
        echo "   screenshot: $out/$name.png"
    else
        echo "   screenshot $name failed (are x11-apps and netpbm installed?)"
    fi
}

cat <<INTRO
quarnel demo: one exam over the network, all on this machine.
  panel: quarnel on the simulated FPGA, 2 emulated headboxes streaming
         $rate bytes/s each, eth0 $panel, screen on a virtual X display
  PC:    quarnelclient in its own network namespace, pc0 $QUARNEL_PC_IP,
         joined to the panel by a virtual cable (veth pair)
INTRO

step "Starting quarnel"
start_display
# A panel installed before: its address was set once, so the status screen
# shows instead of the first-start address dialog.
mkdir -p "$XDG_CONFIG_HOME/talvenor"
printf '[General]\nfirstTime=no\n' >"$XDG_CONFIG_HOME/talvenor/quarnel.conf"
ZELK_FPGA=sim ZELK_SIM_HEADBOXES=2 ZELK_SIM_RATE=$rate QT_QPA_PLATFORM=xcb \
    "$quarnel" >"$out/quarnel.log" 2>&1 &
quarnel_pid=$!
echo "   quarnel runs as pid $quarnel_pid on display $DISPLAY (its messages: $out/quarnel.log)"

# Everything the terminal broadcasts, heard on the PC side for the whole demo.
pc "$client" discover >"$out/broadcasts.log" 2>&1 &
listen_pid=$!

step "PC: waiting for the terminal's discovery broadcast (UDP 8192)"
if ! pc "$client" discover --count 1 --timeout 20 2>&1 | indent; then
    echo "demo.sh: no discovery broadcast; quarnel's messages:" >&2
    tail -n 20 "$out/quarnel.log" >&2
    exit 1
fi
sleep 1
screenshot before-exam

step "PC: record ${seconds}s of headbox 1 (connect; clock, 2-headbox layout, read headbox 1, sync on; check every byte; sync off; disconnect)"
pc "$client" record "$panel" --quiet --check --seconds "$seconds" \
    --setup 'clock 8' --setup 'layout 2 2 64 16 32 32 0 0' --setup 'read 1' \
    >"$work/record.out" 2>&1 &
record_pid=$!
sleep $(( seconds / 2 + 1 ))
screenshot during-exam
record_status=0
wait "$record_pid" || record_status=$?
indent <"$work/record.out"
sleep 1.5
screenshot after-exam

step "PC: what the terminal broadcast meanwhile"
echo "   (discovery: about every 0.6 s while no PC is connected, only the first"
echo "    copy shown; status: when a PC connects or leaves, and at start-up)"
kill -TERM "$listen_pid" 2>/dev/null || true
wait "$listen_pid" 2>/dev/null || true
listen_pid=
# The discovery datagram repeats about every 0.6 s: show its first copy and
# every status record.
awk '/ discovery from / && seen++ { next } { print }' "$out/broadcasts.log" | indent

step "Stopping quarnel with SIGTERM"
kill -TERM "$quarnel_pid"
quarnel_status=0
wait "$quarnel_pid" || quarnel_status=$?
quarnel_pid=
echo "   quarnel exited with status $quarnel_status"

step "Result"
if [ "$record_status" -eq 0 ] && [ "$quarnel_status" -eq 0 ]; then
    echo "   exam recorded and checked"
    echo "   screenshots: $out/before-exam.png, during-exam.png, after-exam.png"
    echo "   logs: $out/broadcasts.log (all broadcasts), $out/quarnel.log"
    exit 0
fi
echo "   FAILED: recording exit code $record_status, quarnel exit status $quarnel_status"
exit 1
