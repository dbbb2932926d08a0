#!/usr/bin/env bash
# Core-scaling benchmark of pixelmote-batch create: the CPU share of the run's
# own thread at --jobs 2 (goal <= 4 %) with the speed-up Amdahl's law predicts
# from it, throughput at --jobs 2 against 1 (goal >= 1.9x) and 16 against 2
# (goal: wall within 1.05x), the same bytes at every --jobs, and peak memory at
# 1, 2 and 8 jobs over the tree's twelve largest JPEGs (goal at 8: <= 430 MB)
# and four 16384 x 16384 JPEGs (goal at 8: < 512 MB). With --baseline, one-job
# time against another build (goal: within 1.02x). Prints a table of the goals,
# writes bench/out/results/cores.json; exit 1 when a goal is missed, 2 on a
# usage or set-up error.
#
# Usage: bash bench/cores_bench.sh [--rounds N] [--tree DIR] [--batch PATH]
#          [--baseline PATH] [--skip-huge]
#
# --tree defaults to bench/out/photo-tree, made once with make-photo-tree.sh
# (MAKE_PHOTO_TREE, default /work/shared/tools/make-photo-tree.sh; slow). The
# tree itself is never written to: the runs work on hard links to it. Without
# --batch the project is built with tools/setup.sh. Run it on an idle machine.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$ROOT/bench/out
TREE=$OUT/photo-tree
BATCH=
PY_ARGS=()
while (($#)); do
  case $1 in
    --rounds|--baseline) PY_ARGS+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    --tree) TREE=${2:?--tree needs a folder}; shift 2 ;;
    --batch) BATCH=${2:?--batch needs a path}; shift 2 ;;
    --skip-huge) PY_ARGS+=("$1"); shift ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "cores_bench.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

source "$ROOT/tools/ensure-packages.sh"
ensure_packages python3 python3-pil python3-numpy time || exit 2

if [ -z "$BATCH" ]; then
  "$ROOT/tools/setup.sh" || { echo "cores_bench.sh: the build failed" >&2; exit 2; }
  BATCH=${PIXELMOTE_BUILD_DIR:-$ROOT/build}/pixelmote-batch
fi
[ -x "$BATCH" ] || { echo "cores_bench.sh: $BATCH is not executable" >&2; exit 2; }
if [ ! -d "$TREE" ]; then
  "${MAKE_PHOTO_TREE:-/work/shared/tools/make-photo-tree.sh}" "$TREE" ||
    { echo "cores_bench.sh: could not make the photo tree $TREE" >&2; exit 2; }
fi

exec /usr/bin/python3 "$ROOT/bench/cores_bench.py" --tree "$TREE" --batch "$BATCH" "${PY_ARGS[@]}"
