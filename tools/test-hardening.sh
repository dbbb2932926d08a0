#!/usr/bin/env bash
# The hardening checks, after the normal test run:
#   asan  the whole test suite built with gcc under AddressSanitizer and
#         UndefinedBehaviorSanitizer (build-asan/);
#   tsan  the tests that run workers beside the run's thread (the pipeline,
#         parallel Create runs, faults with jobs) built with gcc under
#         ThreadSanitizer (build-tsan/);
#   fuzz  the libFuzzer targets built with clang (build-fuzz/): seeds and
#         every saved crasher in fuzz/regressions/<target>/ replayed, then
#         each target fuzzed for a bounded time.
# Usage: tools/test-hardening.sh [asan] [tsan] [fuzz]   (all when none is named)
# Environment:
#   PIXELMOTE_FUZZ_SECONDS  wall-clock seconds for fuzzing all targets together
#                           (default 900 under CI, 120 otherwise); targets run
#                           side by side, one per core, so each gets
#                           seconds x cores / targets.
#   PIXELMOTE_FUZZ_TARGETS  the targets to run, e.g. "jpeg gif" (default: all)
# Fails on any test failure, sanitizer report or fuzz finding; a finding's
# input is printed: copy it into fuzz/regressions/<target>/ once fixed.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ASAN_BUILD=$ROOT/build-asan
FUZZ_BUILD=$ROOT/build-fuzz
TSAN_BUILD=$ROOT/build-tsan
CORES=$(nproc)

parts=("$@")
if ((${#parts[@]} == 0)); then parts=(asan tsan fuzz); fi
for p in "${parts[@]}"; do
  case $p in
    asan | tsan | fuzz) ;;
    *) echo "usage: $0 [asan] [tsan] [fuzz]" >&2; exit 2 ;;
  esac
done
wants() { [[ " ${parts[*]} " == *" $1 "* ]]; }

section() { printf '\n=== %s\n' "$*"; }

# Packages: the project's own, the first time (tools/setup.sh installs what
# is missing and brings the normal build up to date), then clang with libFuzzer.
if { wants asan && [ ! -f "$ASAN_BUILD/build.ninja" ]; } || { wants tsan && [ ! -f "$TSAN_BUILD/build.ninja" ]; } || { wants fuzz && [ ! -f "$FUZZ_BUILD/build.ninja" ]; }; then
  "$ROOT/tools/setup.sh"
fi
if wants fuzz; then
  source "$ROOT/tools/ensure-packages.sh"
  ensure_packages clang libclang-rt-14-dev
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen

# --- the test suite under the sanitizers -----------------------------------
if wants asan; then
  section "test suite under AddressSanitizer and UndefinedBehaviorSanitizer ($ASAN_BUILD)"
  # The number-format tests also check a German locale when one exists.
  if [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 2>/dev/null || true
  fi
  if [ ! -f "$ASAN_BUILD/build.ninja" ]; then
    # -O1 keeps the build and the run quick and the stack traces readable.
    cmake -S "$ROOT" -B "$ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
      -DPIXELMOTE_SANITIZE=ON -DPIXELMOTE_BUILD_TESTS=ON
  fi
  cmake --build "$ASAN_BUILD"
  ctest --test-dir "$ASAN_BUILD" --output-on-failure -j "$CORES"
fi

# --- the threaded tests under ThreadSanitizer ----------------------------------
if wants tsan; then
  section "threaded tests under ThreadSanitizer ($TSAN_BUILD)"
  if [ ! -f "$TSAN_BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$TSAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
      -DPIXELMOTE_THREAD_SANITIZER=ON -DPIXELMOTE_BUILD_TESTS=ON -DPIXELMOTE_BUILD_GUI=OFF
  fi
  cmake --build "$TSAN_BUILD" --target pixelmote_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$TSAN_BUILD/pixelmote_tests" \
    --gtest_filter='PipelineTest.*:CreateTest.*:FaultTest.RunsThatMake*:BatchCommand.*Jobs*:LargeFile*:ColourRender.*Pipeline*:RenderTest.Stamp*'
fi

# --- fuzzing -----------------------------------------------------------------
if wants fuzz; then
  section "fuzz targets ($FUZZ_BUILD)"
  if [ ! -f "$FUZZ_BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DPIXELMOTE_FUZZ=ON -DPIXELMOTE_BUILD_TESTS=OFF -DPIXELMOTE_BUILD_GUI=OFF
  fi
  cmake --build "$FUZZ_BUILD" --target pixelmote_fuzz
  BIN=$FUZZ_BUILD/fuzz
  read -r -a targets <<<"${PIXELMOTE_FUZZ_TARGETS:-jpeg gif bmp pcx tiff png exif settings}"
  for t in "${targets[@]}"; do
    [ -x "$BIN/fuzz_$t" ] || { echo "no fuzz target named '$t'" >&2; exit 2; }
  done

  SEEDS=$FUZZ_BUILD/seeds
  rm -rf "$SEEDS"
  "$BIN/make_seeds" "$SEEDS"

  # Inputs found in earlier runs (kept in the build folder between runs by
  # hand) and the findings of this run.
  CORPUS=$FUZZ_BUILD/corpus
  FINDINGS=$FUZZ_BUILD/findings
  LOGS=$FUZZ_BUILD/logs
  rm -rf "$FINDINGS" "$LOGS"
  mkdir -p "$FINDINGS" "$LOGS"
  LIMITS=(-max_len=1048576 -timeout=25 -rss_limit_mb=2048)

  # Input folders of a target: what it has learnt, its seeds, its saved crashers.
  inputs() {
    local t=$1
    mkdir -p "$CORPUS/$t" "$SEEDS/$t"
    printf '%s\n' "$CORPUS/$t" "$SEEDS/$t"
    if [ -d "$ROOT/fuzz/regressions/$t" ]; then printf '%s\n' "$ROOT/fuzz/regressions/$t"; fi
  }

  failed=()
  report() {  # target, log, what
    local t=$1 log=$2
    failed+=("$t")
    echo "FAIL: fuzz_$t $3; log $log" >&2
    grep -E 'ERROR|SUMMARY|fuzz check failed|==[0-9]+==' "$log" | head -20 >&2 || true
    local units
    units=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log")
    if [ -n "$units" ]; then
      echo "  crashing input: $units" >&2
      echo "  replay: $BIN/fuzz_$t $units ; once fixed, copy it into fuzz/regressions/$t/" >&2
    fi
  }

  section "replaying seeds and saved crashers"
  for t in "${targets[@]}"; do
    mapfile -t dirs < <(inputs "$t")
    mkdir -p "$FINDINGS/$t"
    log=$LOGS/replay-$t.log
    if "$BIN/fuzz_$t" -runs=0 "${LIMITS[@]}" -artifact_prefix="$FINDINGS/$t/" "${dirs[@]:1}" >"$log" 2>&1; then
      echo "fuzz_$t: $(grep -c . < <(find "${dirs[@]:1}" -type f)) inputs replayed"
    else
      report "$t" "$log" "on a seed or saved crasher"
    fi
  done
  if ((${#failed[@]})); then
    echo "fuzz replay failed: ${failed[*]}" >&2
    exit 1
  fi

  if [ -n "${PIXELMOTE_FUZZ_SECONDS:-}" ]; then
    budget=$PIXELMOTE_FUZZ_SECONDS
  elif [ "${CI:-}" = true ]; then
    budget=900
  else
    budget=120
  fi
  per=$((budget * CORES / ${#targets[@]}))
  ((per >= 10)) || per=10
  section "fuzzing ${#targets[@]} targets for ${per} s each, $CORES at a time"
  run_one() {  # target; leaves the fuzzer's exit status in logs/fuzz-<target>.status
    local t=$1 dirs status=0
    mapfile -t dirs < <(inputs "$t")
    "$BIN/fuzz_$t" "${LIMITS[@]}" -max_total_time="$per" -print_final_stats=1 \
      -artifact_prefix="$FINDINGS/$t/" "${dirs[@]}" >"$LOGS/fuzz-$t.log" 2>&1 || status=$?
    echo "$status" >"$LOGS/fuzz-$t.status"
  }
  for t in "${targets[@]}"; do
    while (($(jobs -rp | wc -l) >= CORES)); do wait -n || true; done
    run_one "$t" &
  done
  wait
  for t in "${targets[@]}"; do
    log=$LOGS/fuzz-$t.log
    if [ "$(cat "$LOGS/fuzz-$t.status" 2>/dev/null)" = 0 ]; then
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
      cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+' || true)
      echo "fuzz_$t: ${runs:-?} executions in ${per} s, $cov, no findings"
    else
      report "$t" "$log" "found a failure"
    fi
  done
  if ((${#failed[@]})); then
    echo "fuzzing found failures in: ${failed[*]}" >&2
    exit 1
  fi
fi
section "hardening checks passed"
