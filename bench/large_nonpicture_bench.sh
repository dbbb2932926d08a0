#!/usr/bin/env bash
# What a huge file that is no picture costs a Create run: pixelmote-batch
# create over a handful of generated photographs, without and with a 3 GiB
# sparse "b.jpg" that holds no picture, at --jobs 1 and 2. Prints the peak
# resident memory and the wall time of each run (the median of ROUNDS) and
# the difference the file makes. Goal: under 100 MB and under 1 s more.
#
# Usage: bash bench/large_nonpicture_bench.sh [--rounds N] [--photos N]
#        (defaults: 3 rounds, 6 photos)
#
# Uses ${PIXELMOTE_BUILD_DIR:-build}/pixelmote-batch, building it first when
# it is missing; builds the picture generator and makes the photo tree
# (bench/out/photos) like bench/create_bench.sh, and copies the first photos
# of one of its folders.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$ROOT/bench/out
ROUNDS=3
PHOTOS=6
while (($#)); do
  case $1 in
    --rounds) ROUNDS=${2:?--rounds needs a number}; shift 2 ;;
    --photos) PHOTOS=${2:?--photos needs a number}; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "large_nonpicture_bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

source "$ROOT/tools/ensure-packages.sh"
ensure_packages g++ pkg-config libjpeg62-turbo-dev libexif-dev libgif-dev time

BUILD=${PIXELMOTE_BUILD_DIR:-$ROOT/build}
EXE=$BUILD/pixelmote-batch
if [ ! -x "$EXE" ]; then
  echo "Building pixelmote-batch in $BUILD" >&2
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
  cmake --build "$BUILD" -j2 --target pixelmote-batch >&2
fi

mkdir -p "$OUT"
GEN=$OUT/make_photos
if [ ! -x "$GEN" ] || [ "$ROOT/bench/make_photos.cpp" -nt "$GEN" ]; then
  echo "Building the picture generator" >&2
  # shellcheck disable=SC2046  # pkg-config prints several words on purpose
  g++ -std=c++20 -O2 -Wall -Wextra "$ROOT/bench/make_photos.cpp" -o "$GEN" $(pkg-config --cflags --libs libjpeg libexif libgif)
fi
"$GEN" "$OUT/photos" >/dev/null

# Two folders with the same photos; one also holds the huge non-picture.
WORK=$OUT/large-nonpicture
rm -rf "$WORK"
mkdir -p "$WORK/without" "$WORK/with"
mapfile -t sources < <(find "$OUT/photos/Family" -maxdepth 1 -name '*.jpg' | sort | head -n "$PHOTOS")
((${#sources[@]} == PHOTOS)) || { echo "large_nonpicture_bench.sh: only ${#sources[@]} photos to copy" >&2; exit 1; }
for f in "${sources[@]}"; do
  cp "$f" "$WORK/without/"
  cp "$f" "$WORK/with/"
done
printf 'this file is no picture\n' >"$WORK/with/b.jpg"
truncate -s 3G "$WORK/with/b.jpg"
trap 'rm -rf "$WORK"' EXIT

# One run: prints "peak-kB wall-seconds", after checking its output.
run() {  # folder jobs
  local folder=$1 jobs=$2 log
  find "$folder" -name 't_*' -delete
  rm -f "$folder/index.html"
  log=$(mktemp)
  local rc=0 expected=0
  [ -e "$folder/b.jpg" ] && expected=1  # a run that skipped a picture says so
  /usr/bin/time -f '%M %e' -o "$log.time" "$EXE" create "$folder" --jobs "$jobs" >"$log" 2>/dev/null || rc=$?
  if ((rc != expected)); then
    echo "large_nonpicture_bench.sh: exit status $rc in $folder, expected $expected" >&2
    exit 1
  fi
  local thumbs
  thumbs=$(find "$folder" -name 't_*' | wc -l)
  if ((thumbs != PHOTOS)); then
    echo "large_nonpicture_bench.sh: $thumbs thumbnails in $folder, expected $PHOTOS" >&2
    exit 1
  fi
  if [ -e "$folder/b.jpg" ] && [ "$(grep -c '^Skipped unreadable picture .*/b\.jpg$' "$log")" -ne 1 ]; then
    echo "large_nonpicture_bench.sh: b.jpg was not skipped once in $folder" >&2
    exit 1
  fi
  tail -n 1 "$log.time"  # time puts a line about a non-zero exit status first
  rm -f "$log" "$log.time"
}

# The median of ROUNDS runs, for memory and time separately.
measure() {  # folder jobs
  local i kb=() s=()
  for ((i = 0; i < ROUNDS; i++)); do
    read -r k t < <(run "$1" "$2")
    kb+=("$k")
    s+=("$t")
  done
  local mid=$((ROUNDS / 2))
  echo "$(printf '%s\n' "${kb[@]}" | sort -n | sed -n "$((mid + 1))p") $(printf '%s\n' "${s[@]}" | sort -g | sed -n "$((mid + 1))p")"
}

echo "== create over $PHOTOS photos ($(du -sh "$WORK/without" | cut -f1)), with and without a 3 GiB non-picture b.jpg; median of $ROUNDS runs"
printf '%-6s %-26s %12s %10s\n' jobs folder "peak RSS MB" "wall s"
status=0
for jobs in 1 2; do
  read -r kb0 s0 < <(measure "$WORK/without" "$jobs")
  read -r kb1 s1 < <(measure "$WORK/with" "$jobs")
  awk -v jobs="$jobs" -v kb0="$kb0" -v s0="$s0" -v kb1="$kb1" -v s1="$s1" 'BEGIN {
    printf "%-6s %-26s %12.1f %10.2f\n", jobs, "photos only", kb0 / 1024, s0
    printf "%-6s %-26s %12.1f %10.2f\n", jobs, "photos and 3 GiB b.jpg", kb1 / 1024, s1
    dmb = (kb1 - kb0) / 1024; ds = s1 - s0
    met = dmb < 100 && ds < 1
    printf "%-6s %-26s %+12.1f %+10.2f   goal (< 100 MB, < 1 s more): %s\n", jobs, "difference", dmb, ds, met ? "met" : "NOT met"
    exit met ? 0 : 1
  }' || status=1
done
exit $status
