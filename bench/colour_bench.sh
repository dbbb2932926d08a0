#!/usr/bin/env bash
# Colour fidelity benchmark: pictures of flat colour patches inside sRGB,
# stored in Adobe RGB (1998)-like coordinates and tagged with that profile,
# thumbnailed by pixelmote-batch create as JPEG and as GIF. The thumbnails
# are read as a browser reads them (through an embedded profile, else as
# sRGB) and compared with the picture converted to sRGB at the same size:
# worst and mean CIEDE2000 at the patch centres. Goal: worst below 3.
#
# Usage: bash bench/colour_bench.sh [--batch PATH/TO/pixelmote-batch]
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$ROOT/bench/out/colour
BATCH=$ROOT/build/pixelmote-batch
while (($#)); do
  case $1 in
    --batch) BATCH=${2:?--batch needs a path}; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "colour_bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

source "$ROOT/tools/ensure-packages.sh"
ensure_packages g++ pkg-config liblcms2-dev python3 python3-pil python3-numpy

if [ ! -x "$BATCH" ]; then
  echo "Building the project" >&2
  cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
  cmake --build "$ROOT/build" -j2 --target pixelmote-batch >&2
fi

mkdir -p "$OUT"
TOOL=$OUT/make_profile
if [ ! -x "$TOOL" ] || [ "$ROOT/bench/make_profile.cpp" -nt "$TOOL" ]; then
  # shellcheck disable=SC2046  # pkg-config prints several words on purpose
  g++ -std=c++20 -O2 -Wall -Wextra "$ROOT/bench/make_profile.cpp" -o "$TOOL" $(pkg-config --cflags --libs lcms2)
fi
"$TOOL" "$OUT/adobe-like.icc"

exec /usr/bin/python3 "$ROOT/bench/colour_bench.py" --batch "$BATCH" --profile "$OUT/adobe-like.icc" --work "$OUT"
