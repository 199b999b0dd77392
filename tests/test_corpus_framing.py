"""Framing of the real corpus against the reference headers, and hostile bytes."""

import random

import pytest

import _morvane as m
from conftest import corpus_files, load_reference, require_shared

HEADER_FIELDS = [
    "master_table_number", "originating_centre", "originating_subcentre",
    "update_sequence_number", "data_category", "international_data_subcategory",
    "local_data_subcategory", "master_tables_version_number", "local_tables_version_number",
    "typical_year", "typical_month", "typical_day", "typical_hour", "typical_minute",
    "typical_second", "number_of_subsets", "observed_data", "compressed_data", "total_length",
    "unexpanded_descriptors",
]


def _framing_error(data: bytes) -> str | None:
    """The first framing error of the buffer, as the module words it."""
    try:
        m.parse_all_bytes(data)
    except ValueError as exc:
        return str(exc)
    return None


@require_shared
@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_headers_match_reference(path):
    refs = load_reference(path)
    data = path.read_bytes()
    if all(r["edition"] == 4 for r in refs):
        msgs = m.parse_all_file(str(path))
        assert len(msgs) == len(refs)
        for msg, ref in zip(msgs, refs):
            for field in HEADER_FIELDS:
                if field in ref["header"]:
                    assert getattr(msg, field) == ref["header"][field], field
        return
    # A file holding another edition fails as a whole, with the framing text.
    edition = next(r["edition"] for r in refs if r["edition"] != 4)
    with pytest.raises(ValueError) as info:
        m.parse_all_file(str(path))
    assert str(info.value) == _framing_error(data)
    assert str(info.value) == f"unsupported BUFR edition {edition}; only edition 4 is implemented"


def _seed_messages():
    files = corpus_files()
    picked = [p for p in files if p.name in (
        "207003.e4.bufr", "temp.e4.bufr", "aircraft_mrar_compressed.bufr",
        "synop_multi_subset_uncompressed.bufr")]
    out = []
    for p in picked:
        for msg in m.parse_all_file(str(p))[:2]:
            data = p.read_bytes()
            start = data.find(b"BUFR")
            out.append(data[start:start + msg.total_length])
    return out


@require_shared
def test_prefixes_and_byte_flips_never_crash():
    rng = random.Random(20261208)
    for seed in _seed_messages():
        for cut in range(len(seed) + 1):
            for fn in (m.parse_bytes, m.parse_all_bytes):
                try:
                    fn(seed[:cut])
                except ValueError:
                    pass
        for _ in range(1500):
            data = bytearray(seed)
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            data = bytes(data)
            for fn in (m.parse_bytes, m.parse_all_bytes):
                try:
                    result = fn(data)
                except ValueError:
                    continue
                assert isinstance(result, (list, m.BufrMessage))
