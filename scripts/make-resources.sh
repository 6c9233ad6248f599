#!/usr/bin/env bash
# Redraws the stock resources into resources/ with the make_resources tool.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
cmake --build "$BUILD_DIR" --target make_resources -j2
QT_QPA_PLATFORM=offscreen "./$BUILD_DIR/tools/make_resources" resources
