"""Damaged real messages: flipped bits in section 4 (including the R0 and NBINC
fields of compressed data), cut data and shrunken sections give a list or a
ValueError, never a crash, another exception or a runaway decode."""

from __future__ import annotations

import random

import pytest

import _morvane
from conftest import BUFR_DIR, ECCODES_ROOT, require_shared

# (file, message index): uncompressed SYNOP and TEMP, compressed radiances
# and winds, one with 2-03 and one with associated fields and bitmaps.
SAMPLES = [
    ("synop_multi_subset_uncompressed.bufr", 0),
    ("temp.e4.bufr", 3),
    ("ISND02_LLBD.bufr", 0),
    ("amsu_55.e4.bufr", 0),
    ("cmwn_87.e4.bufr", 0),
    ("aircraft_mrar_compressed.bufr", 0),
]


def load(name: str, index: int) -> tuple[bytes, object, object]:
    """The bytes, record and tables of one corpus message."""
    data = (BUFR_DIR / name).read_bytes()
    messages = _morvane.parse_all_bytes(data)
    start = -1
    for _ in range(index + 1):
        start = data.index(b"BUFR", start + 1)
    message = messages[index]
    raw = data[start:start + message.total_length]
    return raw, message, _morvane.TableSet.from_definitions(str(ECCODES_ROOT), message)


def decodes_or_value_error(data: bytes, tables) -> None:
    try:
        values = _morvane.decode_values_with_tables(data, tables)
    except ValueError:
        return
    assert isinstance(values, list)


@require_shared
@pytest.mark.parametrize("name, index", SAMPLES)
def test_flipped_section4_bits(name, index):
    raw, message, tables = load(name, index)
    rng = random.Random(f"{name}#{index}")
    first = message.section4_data_offset
    last = first + message.section4_data_length
    for _ in range(150):
        damaged = bytearray(raw)
        for _ in range(rng.choice((1, 2, 8))):
            # Bias towards the first octets, where compressed messages keep
            # the R0/NBINC fields of their leading columns.
            position = first + min(int(rng.expovariate(1 / 40)), last - first - 1)
            damaged[position] ^= 1 << rng.randrange(8)
        decodes_or_value_error(bytes(damaged), tables)


@require_shared
@pytest.mark.parametrize("name, index", SAMPLES)
def test_cut_data(name, index):
    raw, message, tables = load(name, index)
    first = message.section4_data_offset
    length = message.section4_data_length
    for keep in sorted({0, 1, 2, length // 3, length // 2, length - 1}):
        # Shrink section 4 and the total length so the message stays framed.
        body = raw[:first + keep] + b"7777"
        body = bytearray(body)
        body[4:7] = len(body).to_bytes(3, "big")
        body[first - 4:first - 1] = (keep + 4).to_bytes(3, "big")
        decodes_or_value_error(bytes(body), tables)
