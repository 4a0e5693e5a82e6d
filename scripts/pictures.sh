#!/usr/bin/env bash
# Renders the panel's screens (dark, all good, all bad, setup dialog) at
# 800 x 480 to PNG files, without a display:
#   scripts/pictures.sh [FOLDER]      default: quarnel/ui/pictures
# Builds the renderer in build/ first when it is missing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$root/quarnel/ui/pictures}
build=${QUARNEL_BUILD_DIR:-$root/build}
mkdir -p "$out"
if [ ! -x "$build/quarnel/ui/panel_pictures" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target panel_pictures
fi
QT_QPA_PLATFORM=offscreen "$build/quarnel/ui/panel_pictures" "$out"
