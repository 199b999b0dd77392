#!/usr/bin/env bash
# Builds the fuzz targets as replay drivers (replay_main.cpp in place of
# libFuzzer, so any compiler will do: $CXX or g++) with AddressSanitizer and
# UndefinedBehaviorSanitizer, then replays the seed corpus of every target
# through them. Any sanitizer finding fails the run, so the targets keep
# building and the seeds keep passing without a fuzzing session.
#
#   fuzz/replay.sh                 every target, seeds from ../shared/data
#   fuzz/replay.sh TARGET...       some of them
#   fuzz/replay.sh TARGET PATH...  one target over given files or folders
#
# Seeds are written to a temporary folder and removed afterwards; without the
# test data there are none, and the run says so and succeeds.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DATA="${MORVANE_SHARED_DATA:-$ROOT/../shared/data}"
BUILD="$ROOT/build/fuzz-replay"

if [ $# -ge 2 ] && [ -e "$2" ]; then
  TARGETS=("$1")
  PATHS=("${@:2}")
else
  mapfile -t TARGETS < <(if [ $# -gt 0 ]; then printf '%s\n' "$@"; else "$ROOT/fuzz/run.sh" --list; fi)
  PATHS=()
  if [ ! -d "$DATA/bufr" ]; then
    echo "fuzz replay: no test data at $DATA, no seeds to replay; skipped"
    exit 0
  fi
  DATA="$(cd "$DATA" && pwd)"
fi

GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)
# -O1 with line tables: a third of the compile time of an optimised build,
# and the sanitizers' reports still name file and line.
[ -f "$BUILD/CMakeCache.txt" ] && GENERATOR=()
cmake -S "$ROOT" -B "$BUILD" "${GENERATOR[@]}" -DMORVANE_FUZZ_REPLAY=ON \
  -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" \
  -DCMAKE_CXX_COMPILER="${CXX:-g++}" -DMORVANE_SHARED_DATA="$DATA" >/dev/null
cmake --build "$BUILD" -j"${MORVANE_JOBS:-2}" --target "${TARGETS[@]/%/_replay}" >"$BUILD/build.log" 2>&1 || {
  tail -50 "$BUILD/build.log" >&2; echo "fuzz replay: build failed" >&2; exit 1; }

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export MORVANE_SHARED_DATA="$DATA"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/morvane-replay.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
for target in "${TARGETS[@]}"; do
  inputs=("${PATHS[@]}")
  if [ ${#inputs[@]} -eq 0 ]; then
    python3 "$ROOT/fuzz/make_corpus.py" "$target" "$WORK/$target" "$DATA" >/dev/null
    inputs=("$WORK/$target")
  fi
  "$BUILD/fuzz/${target}_replay" "${inputs[@]}" || {
    echo "fuzz replay: $target failed on its inputs (report above)" >&2; exit 1; }
done
