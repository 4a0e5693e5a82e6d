#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian's packages.
# Idempotent and quiet when everything is there; run as root (or via sudo).
set -euo pipefail

packages=(
    g++ make ninja-build cmake pkg-config dpkg-dev systemd
    qtbase5-dev qtbase5-dev-tools
    iproute2 util-linux ifupdown
    clang libclang-rt-14-dev lld
    xvfb xdotool x11-apps netpbm socat procps
    help2man lintian xserver-xephyr
    python3-pytest
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" apt-get update -qq
# Never removes a package of the machine to make room for these.
"${as_root[@]}" apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}" >/dev/null
