#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing), then
# configures and builds Pixelmote. Safe to run again: it only does what is
# not done yet.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}

PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev locales
  libjpeg62-turbo-dev libgif-dev libpng-dev libtiff-dev libexif-dev libimagequant-dev imagemagick
  qt6-base-dev libqt6svg6 fonts-liberation)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  SUDO=
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
  echo "Installing: ${missing[*]}" >&2
  $SUDO apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=300 "${missing[@]}" >&2
fi

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$BUILD" >&2
