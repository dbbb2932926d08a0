#!/usr/bin/env bash
# Sets everything up and starts the desktop program on the current folder.
# A first start (no settings file yet) takes the start values the package
# installs, here from the repository's copy.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}
"$ROOT/tools/setup.sh"
export XDG_CONFIG_DIRS="$ROOT/data/xdg:${XDG_CONFIG_DIRS:-/etc/xdg}"
exec "$BUILD/pixelmote" "$@"
