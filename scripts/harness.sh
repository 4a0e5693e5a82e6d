#!/usr/bin/env bash
# Runs a command in a throw-away copy of the panel's world, so that nothing
# the program does (broadcasts, "ifdown/ifup eth0", /etc/network/interfaces,
# the single-instance semaphore and segment, settings, "sudo reboot") reaches
# the machine that runs it.
#
#   scripts/harness.sh COMMAND [ARGS...]   run COMMAND inside a new harness
#   scripts/harness.sh --inside            exit 0 when already inside one
#
# The harness fails closed: before unsharing it records the caller's network,
# mount and PID namespaces; the inside refuses to set anything up (and the
# tests refuse to run) while any of its own namespaces is one of those.
# Environment variables alone never count as being inside.
#
# Inside, the command finds:
#   private network, mount, IPC and PID namespaces; the command is in a
#   session of its own, so kill(0, ...) and kill(-1, ...) reach nothing
#   outside, and everything it started dies with the harness;
#   lo up; a veth pair whose panel end is "eth0" (198.51.100.10/24, brought up
#   by Debian's ifup) and whose other end "pc0" (198.51.100.1/24) sits in a
#   second network namespace that stands for the PC on the LAN;
#   /etc/network = a private folder: the interfaces file and empty hook
#   folders (if-up.d, if-down.d, if-pre-up.d, if-post-down.d, interfaces.d),
#   so no hook of the machine runs and the file may be replaced by rename;
#   /sys = a read-only sysfs of the harness's own network namespace;
#   /tmp/.X11-unix = an empty tmpfs (X servers started inside never meet
#   the machine's display sockets);
#   /run = an empty tmpfs (no systemd, D-Bus or resolvconf of the machine),
#   with network/ for ifupdown's state; /dev/shm = an empty tmpfs;
#   /dev/mem, /dev/kmem, /dev/port, where the machine has them = /dev/null;
#   sudo, reboot, systemctl, shutdown, poweroff, halt: stand-ins that record
#   the call and do nothing, first on PATH and bound over the machine's own
#   programs wherever these exist;
# and these variables:
#   QUARNEL_HARNESS=1             set inside (the tests check the namespaces)
#   QUARNEL_HARNESS_CALLER_NS     the namespaces recorded before unsharing
#   QUARNEL_HARNESS_DIR           the temporary folder of this run (a tmpfs)
#   QUARNEL_PC_NETNS              /proc/<pid>/ns/net of the PC namespace
#   QUARNEL_PANEL_IP, QUARNEL_PC_IP, QUARNEL_PC_IFACE
#   QUARNEL_SUDO_LOG              one line per "sudo" call: its arguments
#   QUARNEL_STANDIN_LOG           one line per call of another stand-in:
#                                 its name and arguments
#   QUARNEL_INTERFACES            the file behind /etc/network/interfaces
#   QUARNEL_LOCK_FILE             the run lock, in place of /run/quarnel/quarnel.lock
#   XDG_CONFIG_HOME, TMPDIR       private settings home and temp folder
# scripts/pc.sh COMMAND runs a command on the PC side.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
namespaces=(net mnt pid)
standins=(sudo reboot systemctl shutdown poweroff halt)

refuse() {
    echo "harness: $*" >&2
    exit 1
}

# Sets own_ns to the identities of this process's namespaces, e.g.
# "net:[4026531840] mnt:[...] pid:[...]".
own_namespaces() {
    local ids
    ids=$(readlink "${namespaces[@]/#//proc/self/ns/}") || return 1
    own_ns=${ids//$'\n'/ }
}

# True when every namespace differs from the recorded caller's; otherwise
# says (after the prefix $1) which one is shared.
contained() {
    local prefix=$1 record=${QUARNEL_HARNESS_CALLER_NS:-} t id
    if [ -z "$record" ]; then
        echo "${prefix}not inside the namespace harness (no record of the caller's namespaces)" >&2
        return 1
    fi
    own_namespaces || { echo "${prefix}cannot read /proc/self/ns" >&2; return 1; }
    for t in "${namespaces[@]}"; do
        if [[ " $record " != *" $t:["* ]]; then
            echo "${prefix}the record of the caller's namespaces lacks $t: $record" >&2
            return 1
        fi
    done
    for id in $own_ns; do
        if [[ " $record " == *" $id "* ]]; then
            echo "${prefix}still in the caller's ${id%%:*} namespace ($id): not inside the namespace harness" >&2
            return 1
        fi
    done
    # The machine's own PID namespace has this fixed identity on every Linux.
    if [[ " $own_ns " == *" pid:[4026531836] "* ]]; then
        echo "${prefix}in the machine's own PID namespace: not inside the namespace harness" >&2
        return 1
    fi
}

case ${1:-} in
--inside)
    contained "harness: "
    exit
    ;;
--inner-stage)
    shift
    ;;
*)
    if [ $# -eq 0 ]; then
        echo "usage: $0 COMMAND [ARGS...] | $0 --inside" >&2
        exit 2
    fi
    # Whatever the environment says, a harness is made here.
    own_namespaces || refuse "cannot read this process's namespaces in /proc/self/ns"
    userns=()
    [ "$(id -u)" -eq 0 ] || userns=(--user --map-root-user)
    # --kill-child: should this process be killed (a time-out), the harness's
    # first process dies and takes every process inside with it.
    exec unshare "${userns[@]}" --net --mount --ipc --pid --fork --kill-child --mount-proc \
        --propagation private \
        env QUARNEL_HARNESS_CALLER_NS="$own_ns" \
        "$here/harness.sh" --inner-stage "$@"
    ;;
esac

# From here on, the first process of the harness's PID namespace.
[ $$ -eq 1 ] || refuse "refusing to set up: not the first process of a new PID namespace"
contained "harness: refusing to set up: " || exit 1

panel_ip=198.51.100.10
pc_ip=198.51.100.1

if [ ! -d /etc/network ] || ! command -v ifup >/dev/null; then
    refuse "ifupdown is missing; run scripts/setup.sh"
fi

# The folder lives on a tmpfs of this mount namespace: should the harness be
# killed, only the empty mount point remains in the caller's temp folder.
dir=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-harness.XXXXXX")
mount -t tmpfs -o mode=755 quarnel-harness "$dir"
pc_pid=
cleanup() {
    [ -n "$pc_pid" ] && kill "$pc_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    umount -l "$dir" 2>/dev/null || true
    rmdir "$dir" 2>/dev/null || true
}
trap cleanup EXIT

# The PC: a namespace held open by a sleeping process.
unshare --net sleep infinity &
pc_pid=$!
for _ in $(seq 500); do
    [[ /proc/$pc_pid/ns/net -ef /proc/self/ns/net ]] || break
    sleep 0.01
done

ip -batch - <<IP
link set lo up
link add eth0 type veth peer name pc0
link set pc0 netns $pc_pid
IP
nsenter --net=/proc/$pc_pid/ns/net ip -batch - <<IP
link set lo up
addr add $pc_ip/24 dev pc0
link set pc0 up
IP

# Only this namespace's interfaces under /sys/class/net.
mount -t sysfs -o ro,nosuid,nodev,noexec quarnel-sys /sys

# No socket of the machine's systemd, D-Bus or resolvconf; ifupdown keeps its
# state here.
mount -t tmpfs -o mode=755,nosuid,nodev quarnel-run /run
mkdir -m 755 /run/network
mkdir -m 1777 /run/lock
if [ -d /dev/shm ]; then
    mount -t tmpfs -o mode=1777,nosuid,nodev quarnel-shm /dev/shm
fi
# X servers started inside put their sockets here: without this folder of
# its own, one started by a test takes over (and on exit deletes) the socket
# of the machine's display with the same number.
mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777,nosuid,nodev quarnel-x11 /tmp/.X11-unix
# The FPGA's registers are physical memory: never reachable from here.
for d in /dev/mem /dev/kmem /dev/port; do
    if [ -e "$d" ]; then mount --bind /dev/null "$d"; fi
done

# Debian's ifupdown runs for real against the veth eth0, on a folder that
# holds no hook of the machine.
etc=$dir/etc-network
mkdir -p "$etc"/{if-up.d,if-down.d,if-pre-up.d,if-post-down.d,interfaces.d} "$dir"/{bin,config,tmp}
mkdir -m 700 "$dir/runtime"
cat > "$etc/interfaces" <<IFACES
# quarnel harness: this file stands in for /etc/network/interfaces
auto lo
iface lo inet loopback

auto eth0
iface eth0 inet static
    address $panel_ip
    netmask 255.255.255.0
IFACES
mount --bind "$etc" /etc/network
ifup eth0 >/dev/null 2>&1 || { ip addr add "$panel_ip/24" dev eth0; ip link set eth0 up; }

: > "$dir/sudo.log"
: > "$dir/standin.log"
# The logs are named here, not taken from the environment, so that a caller
# with a cleared environment (or a chroot that binds this folder) is recorded
# too.
IFS= read -r -d '' standin <<STANDIN || true
#!/bin/sh
# Stand-in: inside the harness nothing reboots the machine or talks to its
# service manager. Records the call and does nothing.
name=\${0##*/}
if [ "\$name" = sudo ]; then
    printf '%s\n' "\$*" >> '$dir/sudo.log'
    exit 0
fi
line=\$name
for arg in "\$@"; do line="\$line \$arg"; done
printf '%s\n' "\$line" >> '$dir/standin.log'
exit 0
STANDIN
for name in standin "${standins[@]}"; do
    printf '%s' "$standin" > "$dir/bin/$name"
done
chmod 755 "$dir"/bin/*
# The machine's own programs, however they are called: bound over the file a
# path leads to (reboot is often a link to systemctl), so each is shadowed
# once and the stand-in still sees the name it was called by.
paths=()
for name in "${standins[@]}"; do
    for p in "/usr/bin/$name" "/usr/sbin/$name" "/bin/$name" "/sbin/$name"; do
        [ -e "$p" ] && paths+=("$p")
    done
done
shadowed=" "
if [ ${#paths[@]} -gt 0 ]; then
    mapfile -t reals < <(readlink -f "${paths[@]}")
    for i in "${!paths[@]}"; do
        real=${reals[$i]}
        [[ "$shadowed" != *" $real "* ]] || continue
        [[ " ${standins[*]} " == *" ${real##*/} "* ]] ||
            refuse "cannot shadow ${paths[$i]}: it leads to $real, which other programs may need"
        mount --bind "$dir/bin/standin" "$real"
        shadowed+="$real "
    done
fi

export QUARNEL_HARNESS=1
export QUARNEL_HARNESS_CALLER_NS
export QUARNEL_HARNESS_DIR="$dir"
export QUARNEL_PC_NETNS=/proc/$pc_pid/ns/net
export QUARNEL_PANEL_IP=$panel_ip
export QUARNEL_PC_IP=$pc_ip
export QUARNEL_PC_IFACE=pc0
export QUARNEL_SUDO_LOG="$dir/sudo.log"
export QUARNEL_STANDIN_LOG="$dir/standin.log"
export QUARNEL_INTERFACES="$etc/interfaces"
# The program's run lock lives in this run's folder, beside the rest of
# its private state.
export QUARNEL_LOCK_FILE="$dir/quarnel.lock"
export XDG_CONFIG_HOME="$dir/config"
export TMPDIR="$dir/tmp"
export XDG_RUNTIME_DIR="$dir/runtime"
export PATH="$dir/bin:$PATH"

# Wait until eth0 carries its address (veth comes up asynchronously).
for _ in $(seq 500); do
    ip -4 -o addr show dev eth0 | grep -q "$panel_ip" && break
    sleep 0.01
done

# A session of its own: kill(0, ...) inside must not reach the caller's
# process group (a process group may span PID namespaces).
set +e
setsid --wait "$@"
status=$?
exit $status
