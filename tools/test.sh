#!/usr/bin/env bash
# Sets everything up and runs the whole test suite.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}
"$ROOT/tools/setup.sh"
# The number-format tests also check a German locale when one exists.
if [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8 2>/dev/null || true
fi
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" "$@"
