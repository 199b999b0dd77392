import gzip
import json
import os
from pathlib import Path

import pytest

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


def load_reference(path: Path) -> list[dict]:
    ref = REFERENCE_DIR / (path.name + ".jsonl.gz")
    with gzip.open(ref, "rt", encoding="utf-8") as fh:
        return [json.loads(line) for line in fh if line.strip()]
