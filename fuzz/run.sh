#!/usr/bin/env bash
# Builds one libFuzzer target (clang, ASan + UBSan) and runs it for a while.
#
#   fuzz/run.sh TARGET [SECONDS] [extra libFuzzer arguments]
#   fuzz/run.sh --list
#
# Seeds are generated from ../shared/data into $MORVANE_FUZZ_WORK (default
# /tmp/morvane-fuzz) on first use; the corpus and any crash artifacts stay
# there, outside the repository. One worker: the machine is shared.
# fuzz/replay.sh replays seeds or artifacts without clang (CI runs it).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TARGETS=(fuzz_framing fuzz_record_reader fuzz_sequence_def fuzz_code_table fuzz_wmo_csv
         fuzz_decode fuzz_decode_data fuzz_columns)

if [ "${1:-}" = "--list" ]; then printf '%s\n' "${TARGETS[@]}"; exit 0; fi
TARGET="${1:?usage: fuzz/run.sh TARGET [SECONDS] [libFuzzer args...]}"
SECONDS_TO_RUN="${2:-60}"
shift $(( $# >= 2 ? 2 : 1 ))

find_clang() {
  local c
  for c in "${CXX_FUZZ:-}" clang++ clang++-19 clang++-18 clang++-17 clang++-16; do
    [ -n "$c" ] && command -v "$c" >/dev/null 2>&1 && { command -v "$c"; return 0; }
  done
  return 1
}
CLANG="$(find_clang)" || {
  echo "no clang++ found; on Debian: apt-get install clang-19 libclang-rt-19-dev" >&2; exit 1; }

DATA="${MORVANE_SHARED_DATA:-$ROOT/../shared/data}"
WORK="${MORVANE_FUZZ_WORK:-/tmp/morvane-fuzz}"
BUILD="$ROOT/build/fuzz"

cmake -S "$ROOT" -B "$BUILD" -DMORVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$CLANG" -DMORVANE_SHARED_DATA="$DATA" >/dev/null
cmake --build "$BUILD" --target "$TARGET" -j1 >/dev/null

CORPUS="$WORK/corpus/$TARGET"
if [ -z "$(ls -A "$CORPUS" 2>/dev/null)" ]; then
  python3 "$ROOT/fuzz/make_corpus.py" "$TARGET" "$CORPUS" "$DATA"
fi
mkdir -p "$WORK/artifacts"

export MORVANE_SHARED_DATA="$DATA"
exec "$BUILD/fuzz/$TARGET" "$CORPUS" \
  -max_total_time="$SECONDS_TO_RUN" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$WORK/artifacts/$TARGET-" "$@"
