#!/usr/bin/env bash
# Installs the Debian packages the booth and booth-mailer need to build, run and test.
# Safe to run again: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config ninja-build git ccache
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev
  # The spoken countdown: Qt's TextToSpeech (whose CMake package needs the QML integration
  # headers) and an offline engine that speaks without a daemon.
  qt6-speech-dev qt6-declarative-dev qt6-speech-flite-plugin
  qt6-qpa-plugins libgl-dev
  libexiv2-dev exiv2 libimage-exiftool-perl
  libplist-dev libplist-utils
  libjpeg62-turbo-dev libturbojpeg0-dev
  libgphoto2-dev libusb-1.0-0-dev
  libcurl4-openssl-dev libqt6sql6-sqlite python3-aiosmtpd
  # Test tools: line coverage (scripts/coverage.sh) and line counts.
  gcovr cloc
  libgtest-dev libgmock-dev libbenchmark-dev
  # The kiosk test plugs screens in and out of Qt's offscreen platform through its own
  # interface, which needs Qt's private headers.
  qt6-base-private-dev
  clang libclang-rt-14-dev
  fonts-dejavu-core
  # The Debian package and its check (scripts/make-package.sh, scripts/check-package.sh):
  # dpkg-shlibdeps, lintian, systemd-analyze, and the kiosk session's X tools on Xvfb.
  dpkg-dev lintian systemd xvfb xinit x11-xserver-utils xinput unclutter-xfixes
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
