#!/usr/bin/env bash
# Sets everything up and starts the desktop program on the current folder.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}
"$ROOT/tools/setup.sh"
exec "$BUILD/pixelmote" "$@"
