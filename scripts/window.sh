#!/usr/bin/env bash
# The panel on the desktop, inside scripts/harness.sh (scripts/run.sh --window
# starts it): quarnel runs unchanged, full-screen on a nested 800 x 480 X
# server that run.sh opened on the desktop, with two simulated headboxes;
# a shell on the PC side of the harness's cable drives it with
# quarnelclient. Leaving the shell ends quarnel with SIGTERM, as systemd
# does, and reports its exit status.
#
#   scripts/harness.sh env QUARNEL_WINDOW_SOCKET=FOLDER/XN \
#       scripts/window.sh BUILD_DIR [OUTPUT_DIR]
#
# QUARNEL_WINDOW_SOCKET is the nested server's socket (display N); no other
# X server is reachable from here. QUARNEL_DEMO_RATE: bytes per second of
# each headbox (500000; 0 = as fast as the chain goes).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:?usage: window.sh BUILD_DIR [OUTPUT_DIR]}" && pwd)
out=${2:-$build/window}
fail() { echo "window.sh: $*" >&2; exit 1; }
[ "${QUARNEL_HARNESS:-}" = 1 ] || { echo "window.sh: only inside scripts/harness.sh" >&2; exit 2; }
socket=${QUARNEL_WINDOW_SOCKET:?names the nested X server socket}
quarnel=$build/quarnel/quarnel
client_dir=$build/tools/quarnelclient
for f in "$quarnel" "$client_dir/quarnelclient"; do
    [ -x "$f" ] || fail "$f is missing: build first"
done
[[ $socket =~ /X([0-9]+)$ ]] || fail "not an X server socket: $socket"
display=${BASH_REMATCH[1]}
[ -S "$socket" ] || fail "the nested X server's socket $socket is not visible in the harness"
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$QUARNEL_HARNESS_DIR/window
mkdir -p "$work"

# This mount namespace gets a /tmp/.X11-unix of its own that holds the
# nested server's socket alone: no other display can be named from here
# (abstract sockets live in the machine's network namespace).
mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777 quarnel-x11 /tmp/.X11-unix
: >"/tmp/.X11-unix/X$display"
mount --bind "$socket" "/tmp/.X11-unix/X$display"
export DISPLAY=:$display
unset XAUTHORITY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER

quarnel_pid=
finish() {
    [ -z "$quarnel_pid" ] || kill -TERM "$quarnel_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap finish EXIT

# A panel installed before: its address was set once, so the status screen
# shows instead of the first-start address dialog.
mkdir -p "$XDG_CONFIG_HOME/talvenor"
printf '[General]\nfirstTime=no\n' >"$XDG_CONFIG_HOME/talvenor/quarnel.conf"
# The simulated FIFO holds 128 KiB: at this rate a quarter of a second in
# which a busy desktop does not run the reader loses nothing.
ZELK_FPGA=sim ZELK_SIM_HEADBOXES=2 ZELK_SIM_RATE=${QUARNEL_DEMO_RATE:-500000} QT_QPA_PLATFORM=xcb \
    "$quarnel" >"$out/quarnel.log" 2>&1 &
quarnel_pid=$!

# The PC's shell: its own start file, history and working folder; the
# banner and the prompt say where it is and what to try.
cat >"$work/pcrc" <<RC
PATH='$client_dir':\$PATH
PANEL=$QUARNEL_PANEL_IP
HISTFILE='$work/history'
PS1='\[\e[1;36m\]PC $QUARNEL_PC_IP\[\e[0m\] \W\\$ '
quarnel_check() {
    kill -0 $quarnel_pid 2>/dev/null && return
    echo "(quarnel has ended: see $out/quarnel.log; exit closes the window)"
    PROMPT_COMMAND=
}
PROMPT_COMMAND=quarnel_check
cd '$out'
cat <<'BANNER'

 The panel: quarnel runs in the window "quarnel panel" on your desktop, on a
 simulated FPGA with 2 headboxes; its eth0 is $QUARNEL_PANEL_IP (\$PANEL).
 This shell: the acquisition PC ($QUARNEL_PC_IP) at the other end of the cable.

   quarnelclient discover --count 3
   quarnelclient command \$PANEL clock 8 read 1
   quarnelclient record \$PANEL --seconds 5 --check --setup 'read 1'
   quarnelclient frame sync on
   quarnelclient --help

 With the mouse on the panel (its pointer is hidden, as on the touch panel):
   corners top left, top right, bottom left, bottom right: address setup
   corners bottom right, bottom left, top right, top left: end the program
 The screen goes dark 20 s after the last touch; a click wakes it. After an
 address change, 'quarnelclient discover --count 1' shows the new address.
 Files you record land in $out.

 exit or Ctrl-D ends quarnel (SIGTERM) and closes the window.

BANNER
RC

# The harness runs this in a session of its own, apart from the desktop's
# terminal: a shell started here would not own that terminal, and Ctrl-C
# would go to run.sh's process group (Xephyr, the harness) instead of the
# command at the prompt. script(1) gives the shell a terminal of its own and
# passes the keys to it unchanged, Ctrl-C included.
shell=$(printf '%q ' "$here/pc.sh" bash --noprofile --rcfile "$work/pcrc" -i)
set +e
SHELL=/bin/sh script --quiet --return --command "$shell" /dev/null
set -e

if kill -0 "$quarnel_pid" 2>/dev/null; then
    echo "window: stopping quarnel with SIGTERM"
    kill -TERM "$quarnel_pid"
fi
status=0
wait "$quarnel_pid" || status=$?
quarnel_pid=
echo "window: quarnel exited with status $status (its messages: $out/quarnel.log)"
exit "$status"
