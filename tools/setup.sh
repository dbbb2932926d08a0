#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing), then
# configures and builds Pixelmote. Safe to run again: it only does what is
# not done yet.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}

PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev locales
  libjpeg62-turbo-dev libgif-dev libpng-dev libtiff-dev libexif-dev libimagequant-dev liblcms2-dev imagemagick
  qt6-base-dev libqt6svg6 fonts-liberation)

source "$ROOT/tools/ensure-packages.sh"
ensure_packages "${PACKAGES[@]}"

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$BUILD" >&2
