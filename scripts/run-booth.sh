#!/usr/bin/env bash
# Installs what is missing, builds, and starts the booth (simulated camera unless
# -cameraBackend gphoto2 is given). Arguments are passed to the booth, e.g.
#   scripts/run-booth.sh -touchScreenCountValue 5
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
exec ./"${BUILD_DIR:-build}"/booth/booth "$@"
