#!/usr/bin/env bash
# Installs what is missing, builds the booth and the mailer (not the tests, benchmarks or
# fuzzers: scripts/run-tests.sh builds those in the same build/), and starts the booth
# (with the real camera unless -cameraBackend sim is given). Arguments are passed to the
# booth, e.g.
#   scripts/run-booth.sh -touchScreenCountValue 5
#
# The booth's default folders lie at the root of the file system, where only root may
# create them. When a folder (stored in the user defaults, or the default) cannot be used
# by this user, this script points the booth at a folder under ~/BoothPictures for this
# run (given as -KEY VALUE, so nothing stored is changed).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_TARGETS="booth booth-mailer" bash scripts/build.sh

settings="${XDG_CONFIG_HOME:-$HOME/.config}/Korvanex/booth.conf"
stored() { # key -> stored value, or nothing
    [ -f "$settings" ] && sed -n "s/^$1=//p" "$settings" | head -n 1 || true
}
usable() { # folder: exists and is writable, or can be created
    [ -n "$1" ] && { [ -d "$1" ] && [ -w "$1" ] || mkdir -p "$1" 2>/dev/null; }
}
overrides=()
for entry in scratchFolder:/CanonScratchFolder:Scratch \
             mainImagesFolder:/KorvanexMainImagesFolder:Main \
             forUploadFolder:/KorvanexUploadFolder:ForUpload; do
    IFS=: read -r key default fallback <<<"$entry"
    case " $* " in *" -$key "*) continue ;; esac # given on the command line
    value="$(stored "$key")"
    value="${value:-$default}"
    if ! usable "$value"; then
        mkdir -p "$HOME/BoothPictures/$fallback"
        echo "run-booth: $value is not usable here; this run uses $HOME/BoothPictures/$fallback" >&2
        overrides+=("-$key" "$HOME/BoothPictures/$fallback")
    fi
done
exec ./"${BUILD_DIR:-build}"/booth/booth "${overrides[@]}" "$@"
