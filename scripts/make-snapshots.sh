#!/usr/bin/env bash
# Makes the README's screen snapshots: one rehearsal pass on one 1920 x 1080 screen and
# one on two screens (1280 x 800 touch, 1920 x 1080 live), on Qt's offscreen platform
# with the simulated camera. Each pass's screens are put on one sheet.
#   scripts/make-snapshots.sh [output folder, default docs]
# The full-size snapshots of each pass stay in the folder the script prints.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
out="${1:-docs}"
cmake --build "$BUILD_DIR" --target booth snapshot_sheet -j2
work="$(mktemp -d)"
mkdir -p "$out"

pass() { # name, the screens as the offscreen platform's JSON list
    echo "{\"screens\": $2}" >"$work/$1.json"
    QT_QPA_PLATFORM="offscreen:configfile=$work/$1.json" XDG_CONFIG_HOME="$work/config" \
        BOOTH_LOG_FILE="$work/$1.log" \
        "./$BUILD_DIR/booth/booth" --rehearse anna@example.com,ben@example.org --snapshots "$work/$1" \
        -cameraBackend sim -touchScreenCountValue 3 -scratchFolder "$work/pictures-$1/scratch" \
        -mainImagesFolder "$work/pictures-$1/main" -forUploadFolder "$work/pictures-$1/upload" >/dev/null
    QT_QPA_PLATFORM=offscreen "./$BUILD_DIR/tools/snapshot_sheet" "$work/$1" "$out/snapshots-$1.png"
    echo "make-snapshots: $out/snapshots-$1.png (full size in $work/$1)"
}

# The offscreen platform lists its screens in the order of their names: "1-..." is the
# first screen (touch), the last one is the live screen.
pass one-screen '[{"name": "1-screen", "x": 0, "y": 0, "width": 1920, "height": 1080}]'
pass two-screens '[{"name": "1-touch", "x": 0, "y": 0, "width": 1280, "height": 800},
                   {"name": "2-live", "x": 1280, "y": 0, "width": 1920, "height": 1080}]'
