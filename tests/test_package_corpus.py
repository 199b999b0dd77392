"""Every corpus file through morvane.read with the bundled tables.

Each message the reference decoder decoded must decode here too, and where
the bundled tables for its version are those the reference used, agree with
the reference item by item and header field by header field. The edition 3
files are the originals of the corpus's .e4 files: they test the edition 4
rewrite against the reference's own reading of edition 3.
"""

from __future__ import annotations

import functools
import gzip
import json
from pathlib import Path

import pytest

from conftest import DATA, ECCODES_ROOT, have_shared
from reference_compare import compare, our_items, reference_items
from test_conformance import DECODED_DESPITE_REFERENCE_ERROR, KNOWN_DIFFERENCES
from test_package_tables import BUNDLED, build_tables

morvane = pytest.importorskip("morvane")

DIRECTORIES = ("bufr", "bufr-edition3")


def _files() -> list[Path]:
    if not have_shared():
        return []
    return [p for d in DIRECTORIES for p in sorted((DATA / d).glob("*.bufr"))]


def _references(path: Path) -> list[dict]:
    with gzip.open(path.parent / "reference" / f"{path.name}.jsonl.gz", "rt", encoding="utf-8") as fh:
        return [json.loads(line) for line in fh if line.strip()]


def _known(table: dict[str, str], path: Path, index: int) -> str | None:
    """An entry of the edition 4 conformance lists, for an original too."""
    for name in (path.name, path.name.replace(".bufr", ".e4.bufr")):
        if f"{name}#{index}" in table:
            return table[f"{name}#{index}"]
    return None


@functools.cache
def _same_tables(master: int, version: int, local: int, centre: int, subcentre: int) -> bool:
    def dirs(root: Path) -> list[Path | None]:
        base = root / "bufr" / "tables" / str(master)
        wmo = build_tables.resolve_alias(base / "wmo" / str(version))
        level = f"{version}-{local}" if version == 19 else str(local)
        local_dir = base / "local" / level / str(centre) / str(subcentre)
        return [wmo, local_dir if local and local_dir.is_dir() else None]

    try:
        ours, theirs = dirs(BUNDLED), dirs(ECCODES_ROOT)
    except ValueError:  # a version one of the trees lacks
        return False
    return all((a is None and b is None) or (a is not None and b is not None and build_tables.same_tree(a, b))
               for a, b in zip(ours, theirs))


@pytest.mark.skipif(not have_shared(), reason="../shared/data is absent")
@pytest.mark.parametrize("path", _files(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_file_decodes_with_bundled_tables_like_the_reference(path):
    refs = _references(path)
    messages = list(morvane.read(path))
    assert len(messages) == len(refs)
    compared = 0
    for msg, ref in zip(messages, refs):
        where = f"{path.name} message {msg.index}"
        assert msg.edition == ref["edition"], where
        if "error" in ref:
            if _known(DECODED_DESPITE_REFERENCE_ERROR, path, msg.index) is None:
                assert msg.error is not None, f"{where}: the reference could not decode it"
            continue
        if "items" not in ref:  # the reference read the header only
            continue
        assert msg.error is None, f"{where}: {msg.error}"
        m = msg.message
        for field, expected in ref["header"].items():
            if field == "total_length" and msg.edition != 4:
                continue  # the edition 4 form has a longer section 1
            assert getattr(m, field) == expected, f"{where}: {field}"
        if not _same_tables(m.master_table_number, m.master_tables_version_number,
                            m.local_tables_version_number, m.originating_centre, m.originating_subcentre):
            continue
        mismatch = compare(our_items(msg.values), reference_items(ref))
        known = _known(KNOWN_DIFFERENCES, path, msg.index)
        assert (mismatch is None) == (known is None), f"{where}: {known or mismatch}"
        compared += 1
    assert compared or not any("items" in r for r in refs)
