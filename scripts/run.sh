#!/usr/bin/env bash
# The main job: installs what is missing, builds quarnel and quarnelclient,
# and runs the simulated panel in the namespace harness.
#
#   scripts/run.sh            one whole exam by itself (scripts/demo.sh):
#                             quarnel on the simulated FPGA with two
#                             headboxes, the PC client on the other end of a
#                             virtual cable; screenshots and logs land in
#                             build/demo/
#   scripts/run.sh --window   on a desktop: the panel in an 800 x 480 window
#                             (a nested X server, Xephyr) and a shell on the
#                             PC side to drive it (scripts/window.sh); logs
#                             land in build/window/
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

window=0
case ${1:-} in
"") ;;
--window) window=1 ;;
*) sed -n '2,13p' "$0" >&2; exit 2 ;;
esac

if [ "$window" = 1 ] && [ -z "${DISPLAY:-}" ]; then
    echo "run: --window needs a desktop, and DISPLAY is not set here." >&2
    echo "run: 'scripts/run.sh' without flags runs the demo instead: one exam, with screenshots in build/demo/." >&2
    exit 2
fi

echo "run: installing missing packages and building (the first time takes a few minutes)"
scripts/setup.sh
# Only what the panel needs: the whole tree with its tests takes much longer.
scripts/build.sh "" quarnel quarnelclient >/dev/null

if [ "$window" = 0 ]; then
    exec scripts/harness.sh scripts/demo.sh "$root/build" "$root/build/demo"
fi

# The nested X server runs here, on the desktop, in a mount namespace of its
# own whose /tmp/.X11-unix is build/window/x11: its socket lands there, so
# the machine's /tmp/.X11-unix stays untouched and the harness is handed
# exactly this socket, never the desktop's display. The desktop's own
# socket is lent to Xephyr alone, for desktops that have no abstract one.
out=$root/build/window
x11=$out/x11
mkdir -p "$out"
rm -rf "$x11" "$out/display"
mkdir -m 700 "$x11"
desktop_socket=
if [[ $DISPLAY =~ ^(unix)?:([0-9]+)(\.[0-9]+)?$ ]] && [ -S "/tmp/.X11-unix/X${BASH_REMATCH[2]}" ]; then
    desktop_socket=/tmp/.X11-unix/X${BASH_REMATCH[2]}
fi
userns=()
[ "$(id -u)" -eq 0 ] || userns=(--user --map-root-user)
unshare "${userns[@]}" --mount --propagation private sh -c '
    x11=$1 desktop=$2
    shift 2
    if [ -n "$desktop" ]; then
        : >"$x11/${desktop##*/}"
        mount --bind "$desktop" "$x11/${desktop##*/}"
    fi
    mount --rbind "$x11" /tmp/.X11-unix
    exec "$@"' sh "$x11" "$desktop_socket" \
    Xephyr -displayfd 3 -screen 800x480 -nolisten tcp -noreset -no-host-grab -title "quarnel panel" \
    3>"$out/display" >"$out/xephyr.log" 2>&1 &
xephyr_pid=$!
stop_xephyr() {
    kill "$xephyr_pid" 2>/dev/null || true
    wait "$xephyr_pid" 2>/dev/null || true
    rm -rf "$x11"
}
trap stop_xephyr EXIT
for _ in $(seq 100); do
    [ -s "$out/display" ] && break
    kill -0 "$xephyr_pid" 2>/dev/null || break
    sleep 0.1
done
[ -s "$out/display" ] || { echo "run: Xephyr did not start on $DISPLAY (see $out/xephyr.log)" >&2; exit 1; }
socket=$x11/X$(head -n1 "$out/display")
echo "run: the panel's window is Xephyr's display :${socket##*/X} on $DISPLAY"

status=0
env -u DISPLAY -u XAUTHORITY QUARNEL_WINDOW_SOCKET="$socket" \
    scripts/harness.sh scripts/window.sh "$root/build" "$out" || status=$?
exit "$status"
