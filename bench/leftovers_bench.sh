#!/usr/bin/env bash
# Clearing dead runs' temporary files: the time one call of removeDeadLeftovers
# takes on a folder of many pictures, with and without leftovers.
#
# Usage: bash bench/leftovers_bench.sh [PICTURES] [LEFTOVERS]   (default 100000 1000)
#
# Builds bench/leftovers_bench.cpp against the util sources into bench/out and
# runs it on a fresh folder under $TMPDIR (removed afterwards).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$ROOT/bench/out
PICTURES=${1:-100000}
LEFTOVERS=${2:-1000}

mkdir -p "$OUT"
BIN=$OUT/leftovers_bench
g++ -std=c++20 -O2 -Wall -Wextra -I"$ROOT" "$ROOT/bench/leftovers_bench.cpp" "$ROOT/util/temp_files.cpp" \
  "$ROOT/util/file_io.cpp" "$ROOT/util/path.cpp" -o "$BIN"

FOLDER=$(mktemp -d "${TMPDIR:-/tmp}/pixelmote-leftovers-XXXXXX")
trap 'rm -rf -- "$FOLDER"' EXIT
"$BIN" "$FOLDER" "$PICTURES" "$LEFTOVERS"
