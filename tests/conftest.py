import gzip
import json
import os
import sys
from pathlib import Path

import pytest

# Against the sanitizer build, the peers and the engines that only read our
# exports are left out (their tests skip as if not installed): their native
# libraries are not built for the preloaded sanitizer runtime, and what they
# check of morvane the normal run checks; the sanitizers watch our own code.
if os.environ.get("MORVANE_SANITIZED") == "1":
    for _name in ("eccodes", "gribapi", "pdbufr", "dask", "distributed", "polars", "duckdb"):
        sys.modules[_name] = None  # type: ignore[assignment]

# The shared test data lives beside the project checkout; tests that need it
# skip when it is absent.
_ROOT = Path(__file__).resolve().parent.parent
SHARED = Path(os.environ.get("MORVANE_SHARED", _ROOT.parent / "shared"))
DATA = SHARED / "data"
BUFR_DIR = DATA / "bufr"
REFERENCE_DIR = BUFR_DIR / "reference"
ECCODES_ROOT = DATA / "tables" / "eccodes"
WMO_TABLES = ECCODES_ROOT / "bufr" / "tables" / "0" / "wmo"
CSV_TABLES = DATA / "tables" / "wmo-bufr4-v45"


def have_shared() -> bool:
    return BUFR_DIR.is_dir()


require_shared = pytest.mark.skipif(not have_shared(), reason="../shared/data is absent")


@pytest.fixture
def shared_data() -> Path:
    if not have_shared():
        pytest.skip("../shared/data is absent")
    return DATA


def corpus_files() -> list[Path]:
    if not have_shared():
        return []
    return sorted(p for p in BUFR_DIR.iterdir() if p.is_file() and p.name.endswith(".bufr"))


def split_file(data: bytes) -> list[bytes]:
    """Messages by "BUFR" marker and declared total length, as the reference
    numbers them (any edition, the last one cut at the end of the file)."""
    out = []
    pos = 0
    while (start := data.find(b"BUFR", pos)) >= 0:
        length = int.from_bytes(data[start + 4:start + 7], "big") if start + 7 <= len(data) else 0
        out.append(data[start:start + length] if length >= 8 else data[start:])
        if length < 8:
            break
        pos = start + length
    return out


def load_reference(path: Path) -> list[dict]:
    ref = REFERENCE_DIR / (path.name + ".jsonl.gz")
    with gzip.open(ref, "rt", encoding="utf-8") as fh:
        return [json.loads(line) for line in fh if line.strip()]
