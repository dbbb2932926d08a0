#!/usr/bin/env bash
# Before/after check of a change to the engine: two pixelmote-batch builds run
# `create` on identical copies of one picture tree (cp -a, so the picture
# times the thumbnails record match), their status lines, messages, exit
# codes and every written file are compared, then one-core `create --jobs 1`
# is timed alternating between the two builds.
#
# Usage: bash bench/before_after_create.sh BEFORE_BIN AFTER_BIN TREE [ROUNDS]
#        (default 3 rounds). Exits 1 when the outputs differ.
set -euo pipefail

BEFORE=$(realpath "${1:?before binary}")
AFTER=$(realpath "${2:?after binary}")
TREE=$(realpath "${3:?picture tree}")
ROUNDS=${4:-3}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Runs both creates (JPEG pictures on one job, GIF pictures on two) at the
# same path, so the status lines can be compared as they are.
outputs() {
  local name=$1 bin=$2
  rm -rf "$WORK/tree"
  cp -a "$TREE" "$WORK/tree"
  mkdir -p "$WORK/out-$name" "$WORK/home-$name"
  local run=1
  for args in "--jobs 1" "--source gif --jobs 2"; do
    # shellcheck disable=SC2086
    HOME=$WORK/home-$name "$bin" create "$WORK/tree" $args >"$WORK/out-$name/create$run.out" \
      2>"$WORK/out-$name/create$run.err" && echo 0 >"$WORK/out-$name/create$run.rc" ||
      echo $? >"$WORK/out-$name/create$run.rc"
    run=$((run + 1))
  done
  mv "$WORK/tree" "$WORK/tree-$name"
}

outputs before "$BEFORE"
outputs after "$AFTER"
same=0
if diff -r "$WORK/out-before" "$WORK/out-after" && diff -r "$WORK/tree-before" "$WORK/tree-after"; then
  echo "outputs: byte-identical ($(find "$WORK/tree-after" -type f | wc -l) files, status lines, exit codes)"
else
  echo "outputs: DIFFER"
  same=1
fi
rm -rf "$WORK/tree-before" "$WORK/tree-after"

seconds() {
  local bin=$1 home=$2 start end
  rm -rf "$WORK/timed"
  cp -a "$TREE" "$WORK/timed"
  sync
  start=$(date +%s.%N)
  HOME=$home "$bin" create "$WORK/timed" --jobs 1 >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

before=() after=()
for ((round = 1; round <= ROUNDS; round++)); do
  b=$(seconds "$BEFORE" "$WORK/home-before")
  a=$(seconds "$AFTER" "$WORK/home-after")
  before+=("$b") after+=("$a")
  echo "round $round: before ${b}s after ${a}s (load $(cut -d' ' -f1 /proc/loadavg))"
done
python3 - "${before[*]}" "${after[*]}" <<'PY'
import statistics, sys
b = [float(x) for x in sys.argv[1].split()]
a = [float(x) for x in sys.argv[2].split()]
mb, ma = statistics.median(b), statistics.median(a)
print(f"median before {mb:.2f}s after {ma:.2f}s: after/before {ma / mb:.3f}"
      f" (spread before {min(b):.2f}-{max(b):.2f}s, after {min(a):.2f}-{max(a):.2f}s)")
PY
exit $same
