#!/usr/bin/env bash
# Runs every benchmark and prints each measured ratio against its goal.
#
# Usage: bash bench/run_all.sh [--rounds N] [--no-build] [--skip-galleries]
#
# Installs the missing tools (apt-get; needs root or sudo), builds the picture
# generator, makes the photo tree (bench/out/photos: ~100 JPEGs and 4 GIFs),
# builds the project (tools/setup.sh; --no-build uses the build as it is) and
# copies pixelmote-batch to bench/out/bin, so that a rebuild during the run
# cannot change the program under test. Then, one after the other:
#   bench/create_bench.py    one core against djpeg|cjpeg and the thumbnailers
#   bench/scale_bench.py     --jobs, identical output, peak memory, --update, GIFs
#   bench/gallery_bench.py   the whole tree against llgal, fgallery and lazygal
#   bench/report_bench.py    Report against find
#   bench/summary.py         every ratio against its goal
# Each part's output and figures are kept in bench/out/results. Timings are
# only meaningful on an otherwise idle machine: the load average is printed
# at the start and the end.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$ROOT/bench/out
RESULTS=$OUT/results
ROUNDS=3
BUILD_IT=1
GALLERIES=1
while (($#)); do
  case $1 in
    --rounds) ROUNDS=${2:?--rounds needs a number}; shift 2 ;;
    --no-build) BUILD_IT=0; shift ;;
    --skip-galleries) GALLERIES=0; shift ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run_all.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

PACKAGES=(g++ pkg-config python3 libjpeg62-turbo-dev libexif-dev libgif-dev
  libjpeg-turbo-progs graphicsmagick imagemagick libvips-tools time)
if ((GALLERIES)); then PACKAGES+=(llgal fgallery lazygal); fi
source "$ROOT/tools/ensure-packages.sh"
# A generator that cannot be installed is reported by gallery_bench.py; the rest still runs.
ensure_packages "${PACKAGES[@]}" || echo "run_all.sh: some packages did not install" >&2

mkdir -p "$OUT"
# Two runs at once would remove each other's thumbnails and spoil each other's times.
exec 9>"$OUT/.run_all.lock"
if ! flock -n 9; then
  echo "run_all.sh: another run holds $OUT/.run_all.lock" >&2
  exit 1
fi

GEN=$OUT/make_photos
if [ ! -x "$GEN" ] || [ "$ROOT/bench/make_photos.cpp" -nt "$GEN" ]; then
  echo "Building the picture generator" >&2
  # shellcheck disable=SC2046  # pkg-config prints several words on purpose
  g++ -std=c++20 -O2 -Wall -Wextra "$ROOT/bench/make_photos.cpp" -o "$GEN" $(pkg-config --cflags --libs libjpeg libexif libgif)
fi
"$GEN" "$OUT/photos"

BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}
if ((BUILD_IT)); then "$ROOT/tools/setup.sh"; fi
mkdir -p "$OUT/bin"
cp "$BUILD/pixelmote-batch" "$OUT/bin/pixelmote-batch.new"
mv "$OUT/bin/pixelmote-batch.new" "$OUT/bin/pixelmote-batch"
EXE=$OUT/bin/pixelmote-batch

rm -rf "$RESULTS"
mkdir -p "$RESULTS"
cp /proc/loadavg "$RESULTS/load_start"
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); $("$EXE" --version 2>&1 | head -1)"

echo; echo "== One core: create --jobs 1 against djpeg|cjpeg and the thumbnailers, $ROUNDS rounds =="
python3 "$ROOT/bench/create_bench.py" --tree "$OUT/photos" --rounds "$ROUNDS" --exe "$EXE" \
  --scratch "$OUT/scratch" --results "$RESULTS/create.json" | tee "$RESULTS/create.txt"

python3 "$ROOT/bench/scale_bench.py" --tree "$OUT/photos" --rounds "$ROUNDS" --exe "$EXE" \
  --memory-dir "$OUT/memory-24mp" --results "$RESULTS/scale.json" | tee "$RESULTS/scale.txt"

if ((GALLERIES)); then
  python3 "$ROOT/bench/gallery_bench.py" --tree "$OUT/photos" --rounds "$ROUNDS" --exe "$EXE" \
    --out "$OUT" --results "$RESULTS/gallery.json" | tee "$RESULTS/gallery.txt"
fi

echo; echo "== Report against find =="
python3 "$ROOT/bench/report_bench.py" --exe "$EXE" | tee "$RESULTS/report.txt"

python3 "$ROOT/bench/summary.py" "$RESULTS" | tee "$RESULTS/summary.txt"
