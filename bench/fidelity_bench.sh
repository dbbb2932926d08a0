#!/usr/bin/env bash
# Thumbnail fidelity benchmark: mean luma PSNR of pixelmote-batch's thumbnails
# and vipsthumbnail's (-s WxH!, same size and quality) against an exact area
# average of each fully decoded photo, on camera-like photos as they are and
# on the same photos cropped losslessly (jpegtran) to sizes that are not
# multiples of 8. With BASELINE=path/to/pixelmote-batch it also times Create
# --jobs 1 of this build against that binary, alternating, and counts the
# thumbnails both write byte for byte the same.
#
# Usage: [BASELINE=...] [PHOTOS=tree] bash bench/fidelity_bench.sh [--count N]
#          [--sizes 25,10] [--rounds N] [--quality Q]
#
# PHOTOS defaults to bench/out/photo-tree, made once with make-photo-tree.sh
# (MAKE_PHOTO_TREE, default /work/shared/tools/make-photo-tree.sh; slow: 200
# photos). --count photos are taken from it, spread over its sizes (default 40).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$ROOT/bench/out
PY_ARGS=()
while (($#)); do
  case $1 in
    --count|--sizes|--rounds|--quality) PY_ARGS+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "fidelity_bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

source "$ROOT/tools/ensure-packages.sh"
ensure_packages python3 python3-pil python3-numpy libvips-tools libjpeg-turbo-progs imagemagick

EXE=${PIXELMOTE_BUILD_DIR:-$ROOT/build}/pixelmote-batch
[ -x "$EXE" ] || { echo "fidelity_bench.sh: build first ($EXE missing)" >&2; exit 1; }
PHOTOS=${PHOTOS:-$OUT/photo-tree}
if [ ! -d "$PHOTOS" ]; then
  "${MAKE_PHOTO_TREE:-/work/shared/tools/make-photo-tree.sh}" "$PHOTOS"
fi
if [ -n "${BASELINE:-}" ]; then
  [ -x "$BASELINE" ] || { echo "fidelity_bench.sh: BASELINE=$BASELINE is not executable" >&2; exit 1; }
  PY_ARGS+=(--baseline "$BASELINE")
fi

SCRATCH=$OUT/fidelity
mkdir -p "$SCRATCH"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
/usr/bin/python3 "$ROOT/bench/fidelity_bench.py" --photos "$PHOTOS" --exe "$EXE" --scratch "$SCRATCH" "${PY_ARGS[@]}"

# ---- colour fidelity (Delta E of thumbnails of profile-tagged pictures) -----
# Its own script, run over the same build when it is there.
COLOUR=$ROOT/bench/colour_fidelity_bench.py
if [ -f "$COLOUR" ]; then
  /usr/bin/python3 "$COLOUR" --exe "$EXE" --scratch "$SCRATCH/colour"
fi
