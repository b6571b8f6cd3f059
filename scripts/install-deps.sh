#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need
# (usbutils for lsusb on the bench; python3-ftdi and python3-usb for the
# test that drives the virtual board with pyftdi; file, desktop-file-utils,
# appstream, man-db and bash-completion to build and check the Debian
# package).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libftdi1-dev libusb-1.0-0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation fonts-dejavu-core
  sigrok-cli ffmpeg xvfb xauth
  python3 python3-jsonschema python3-ftdi python3-usb
  usbutils
  file desktop-file-utils appstream man-db bash-completion
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
