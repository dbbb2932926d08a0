#!/usr/bin/env bash
# Sets everything up and runs the batch command: tools/run.sh report ~/Pictures
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}
"$ROOT/tools/setup.sh"
if [ $# -eq 0 ]; then set -- report "$PWD"; fi
exec "$BUILD/pixelmote-batch" "$@"
