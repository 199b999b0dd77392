# Sourced by the tools scripts: finds a CPython >= 3.12, makes the project's
# virtual environment and builds the extension into it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${MORVANE_VENV:-$ROOT/.venv}"

is_suitable() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

find_python() {
  local candidate
  for candidate in "${MORVANE_PYTHON:-}" python3.13 python3.12 python3 \
    "$HOME"/.pyenv/versions/3.13*/bin/python3 "$HOME"/.pyenv/versions/3.12*/bin/python3 \
    /usr/local/bin/python3.1[2-9] /usr/bin/python3.1[2-9]; do
    [ -n "$candidate" ] || continue
    if command -v "$candidate" >/dev/null 2>&1 && is_suitable "$candidate"; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}

if ! is_suitable "$VENV/bin/python" 2>/dev/null; then
  PYTHON="$(find_python)" || { echo "morvane needs CPython >= 3.12; none was found" >&2; exit 1; }
  echo "setting up $VENV with $PYTHON" >&2
  rm -rf "$VENV"
  "$PYTHON" -m venv "$VENV"
fi

"$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
# mypy checks the package against the extension's stubs; pandas, numpy, pyarrow (also parquet),
# polars, duckdb and dask are the optional extras their tests need; eccodes and pdbufr are the
# peers whose keys and tables those tests check against.
"$VENV/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" pytest mypy pandas \
  numpy pyarrow polars duckdb "dask[dataframe]" distributed eccodes pdbufr
# Build in place of any earlier install; the build directory keeps rebuilds incremental.
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir="$ROOT/build/${MORVANE_BUILD_NAME:-default}" "$ROOT"
