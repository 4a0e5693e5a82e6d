#!/usr/bin/env bash
# Runs a command in a throw-away copy of the panel's world: private network,
# mount and IPC namespaces, so that nothing the program does (broadcasts,
# "ifdown/ifup eth0", /etc/network/interfaces, the single-instance semaphore
# and segment, settings, "sudo reboot") reaches the machine that runs it.
#
#   scripts/harness.sh COMMAND [ARGS...]
#
# Inside, the command finds:
#   lo up; a veth pair whose panel end is "eth0" (198.51.100.10/24, brought up by
#   Debian's ifup) and whose other end "pc0" (198.51.100.1/24) sits in a second
#   network namespace that stands for the PC on the LAN;
#   /etc/network/interfaces = a temporary file; /run/network = a tmpfs;
#   a "sudo" stand-in first on PATH that only records its arguments.
# and these variables:
#   QUARNEL_HARNESS=1             the marker every harness-only test checks
#   QUARNEL_HARNESS_DIR           the temporary folder of this run
#   QUARNEL_PC_NETNS              /proc/<pid>/ns/net of the PC namespace
#   QUARNEL_PANEL_IP, QUARNEL_PC_IP, QUARNEL_PC_IFACE
#   QUARNEL_SUDO_LOG              one line per "sudo" call
#   QUARNEL_INTERFACES            the file behind /etc/network/interfaces
#   QUARNEL_LOCK_FILE             the run lock, in place of /run/quarnel/quarnel.lock
#   XDG_CONFIG_HOME, TMPDIR       private settings home and temp folder
# scripts/pc.sh COMMAND runs a command on the PC side.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ "${QUARNEL_HARNESS_STAGE:-}" != inner ]; then
    if [ $# -eq 0 ]; then
        echo "usage: $0 COMMAND [ARGS...]" >&2
        exit 2
    fi
    userns=()
    [ "$(id -u)" -eq 0 ] || userns=(--user --map-root-user)
    exec unshare "${userns[@]}" --net --mount --ipc --fork --propagation private \
        env QUARNEL_HARNESS_STAGE=inner "$here/harness.sh" "$@"
fi
unset QUARNEL_HARNESS_STAGE

panel_ip=198.51.100.10
pc_ip=198.51.100.1

dir=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-harness.XXXXXX")
pc_pid=
cleanup() {
    [ -n "$pc_pid" ] && kill "$pc_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    # Never follow a mount out of our folder.
    rm -rf --one-file-system "$dir"
}
trap cleanup EXIT

# The PC: a namespace held open by a sleeping process.
unshare --net sleep infinity &
pc_pid=$!
for _ in $(seq 100); do
    [ "$(readlink /proc/$pc_pid/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.01
done

ip link set lo up
ip link add eth0 type veth peer name pc0
ip link set pc0 netns "$pc_pid"
nsenter --net=/proc/$pc_pid/ns/net ip link set lo up
nsenter --net=/proc/$pc_pid/ns/net ip addr add "$pc_ip/24" dev pc0
nsenter --net=/proc/$pc_pid/ns/net ip link set pc0 up

# Debian's ifupdown runs for real against the veth eth0.
if [ ! -e /etc/network/interfaces ]; then
    echo "harness: /etc/network/interfaces is missing; run scripts/setup.sh" >&2
    exit 1
fi
cat > "$dir/interfaces" <<IFACES
# quarnel harness: this file stands in for /etc/network/interfaces
auto lo
iface lo inet loopback

auto eth0
iface eth0 inet static
    address $panel_ip
    netmask 255.255.255.0
IFACES
mount --bind "$dir/interfaces" /etc/network/interfaces
mkdir -p /run/network
mount -t tmpfs -o mode=755 quarnel-harness /run/network
ifup eth0 >/dev/null 2>&1 || { ip addr add "$panel_ip/24" dev eth0; ip link set eth0 up; }

mkdir -p "$dir/bin" "$dir/config" "$dir/tmp" "$dir/runtime"
chmod 700 "$dir/runtime"
cat > "$dir/bin/sudo" <<'SUDO'
#!/bin/sh
# Stand-in: the harness never lets the program reboot the machine.
printf '%s\n' "$*" >> "$QUARNEL_SUDO_LOG"
exit 0
SUDO
chmod +x "$dir/bin/sudo"
: > "$dir/sudo.log"

export QUARNEL_HARNESS=1
export QUARNEL_HARNESS_DIR="$dir"
export QUARNEL_PC_NETNS=/proc/$pc_pid/ns/net
export QUARNEL_PANEL_IP=$panel_ip
export QUARNEL_PC_IP=$pc_ip
export QUARNEL_PC_IFACE=pc0
export QUARNEL_SUDO_LOG="$dir/sudo.log"
export QUARNEL_INTERFACES="$dir/interfaces"
# /run is the machine's: the program's run lock goes into this run's folder.
export QUARNEL_LOCK_FILE="$dir/quarnel.lock"
export XDG_CONFIG_HOME="$dir/config"
export TMPDIR="$dir/tmp"
export XDG_RUNTIME_DIR="$dir/runtime"
export PATH="$dir/bin:$PATH"

# Wait until eth0 carries its address (veth comes up asynchronously).
for _ in $(seq 200); do
    ip -4 -o addr show dev eth0 | grep -q "$panel_ip" && break
    sleep 0.01
done

set +e
"$@"
status=$?
exit $status
