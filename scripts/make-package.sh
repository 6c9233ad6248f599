#!/usr/bin/env bash
# Builds the booth and the mailer in build/ (or $BUILD_DIR) and makes the Debian package
# there with CPack: build/booth_VERSION-RELEASE_amd64.deb. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
BUILD_TARGETS="booth booth-mailer" bash scripts/build.sh >&2
# dpkg-shlibdeps computes the dependencies from the binaries; CPack runs it.
command -v dpkg-shlibdeps >/dev/null || { echo "make-package: needs dpkg-dev (scripts/install-deps.sh)" >&2; exit 2; }
rm -f "$BUILD_DIR"/booth_*.deb
(cd "$BUILD_DIR" && cpack -G DEB >&2)
(cd "$BUILD_DIR" && ls "$PWD"/booth_*.deb)
