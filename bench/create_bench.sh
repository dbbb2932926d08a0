#!/usr/bin/env bash
# Thumbnail benchmark: pixelmote-batch create against djpeg|cjpeg, GraphicsMagick,
# ImageMagick and vipsthumbnail on the same ~100 generated photographs
# (bench/out/photos). bench/run_all.sh runs this and every other benchmark.
#
# Usage: bash bench/create_bench.sh [ROUNDS]      (default 3 rounds)
#        bash bench/create_bench.sh --rounds N [--peers-only]
#
# Installs the missing tools (apt-get; needs root or sudo), builds the picture
# generator and the project, makes the pictures once, then runs
# bench/create_bench.py, which prints the medians, the ratios to djpeg|cjpeg and
# the peak memory on the largest picture.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$ROOT/bench/out
ROUNDS=3
EXTRA=()
while (($#)); do
  case $1 in
    --rounds) ROUNDS=${2:?--rounds needs a number}; shift 2 ;;
    --peers-only) EXTRA+=(--peers-only); shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    [0-9]*) ROUNDS=$1; shift ;;
    *) echo "create_bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

PACKAGES=(g++ pkg-config python3 libjpeg62-turbo-dev libexif-dev libgif-dev
  libjpeg-turbo-progs graphicsmagick imagemagick libvips-tools time)
source "$ROOT/tools/ensure-packages.sh"
ensure_packages "${PACKAGES[@]}"

mkdir -p "$OUT"
GEN=$OUT/make_photos
if [ ! -x "$GEN" ] || [ "$ROOT/bench/make_photos.cpp" -nt "$GEN" ]; then
  echo "Building the picture generator" >&2
  # shellcheck disable=SC2046  # pkg-config prints several words on purpose
  g++ -std=c++20 -O2 -Wall -Wextra "$ROOT/bench/make_photos.cpp" -o "$GEN" $(pkg-config --cflags --libs libjpeg libexif libgif)
fi
"$GEN" "$OUT/photos"

if [ "${EXTRA[*]}" != "--peers-only" ]; then
  "$ROOT/tools/setup.sh"
fi

exec python3 "$ROOT/bench/create_bench.py" --tree "$OUT/photos" --rounds "$ROUNDS" \
  --exe "${PIXELMOTE_BUILD_DIR:-$ROOT/build}/pixelmote-batch" --scratch "$OUT/scratch" "${EXTRA[@]}"
