"""A small hand-made table set and helpers for decoding synthetic messages.

Elements cover each kind the walks treat differently: plain numbers with
scale and reference, class 31, character data of odd widths, code and flag
tables (ecCodes and CSV spelling), zero and 64-bit widths.
"""

from __future__ import annotations

import pytest

import _morvane
from bufr_builder import BitWriter, element, message, write_table_dir

ELEMENTS = {
    1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
    1015: element("STATION NAME", "CCITT IA5", 0, 0, 32),
    12101: element("TEMPERATURE", "K", 2, 0, 16),
    12103: element("DEW POINT", "K", 2, 0, 16),
    20003: element("PRESENT WEATHER", "CODE TABLE", 0, 0, 9),
    31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8),
    31002: element("EXTENDED DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 16),
    31021: element("ASSOCIATED FIELD SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
    31031: element("DATA PRESENT INDICATOR", "FLAG TABLE", 0, 0, 1),
    33007: element("PER CENT CONFIDENCE", "%", 0, 0, 7),
    # Test elements with the shapes the rules single out.
    63001: element("TWELVE BITS", "K", 1, -1000, 12),
    63002: element("SIXTY FOUR BITS", "Numeric", 0, 0, 64),
    63003: element("ZERO WIDTH", "Numeric", 0, 0, 0),
    63004: element("NEGATIVE SCALE", "m", -2, 0, 8),
    63005: element("TEN BITS", "m", 2, -100, 10),
    63006: element("ODD TEXT", "CCITT IA5", 0, 0, 12),
    63007: element("FLAGS", "FLAG TABLE", 0, 0, 4),
    63008: element("CODES", "Code table", 0, 0, 4),
    63009: element("EIGHT BITS", "Numeric", 0, 0, 8),
    # 2^53 + 1: the exact sum with a raw of 1 is representable, the naive
    # double sum is not.
    63010: element("WIDE REFERENCE", "Numeric", 0, 9007199254740993, 8),
    # 10^400 overflows, so the divisor is 0 and values become infinite or NaN.
    63011: element("HUGE NEGATIVE SCALE", "Numeric", -400, -1, 2),
}

SEQUENCES = {
    300001: [1001, 12101],
    300002: [300002],
    300003: [101000, 31001, 12101],
    300004: [400000],
    # A chain: 301101 holds 301102 ... 301165 holds 0-01-001, so a list of
    # [301101] walks 0-01-001 65 levels down and [301102] 64.
    **{301100 + k: [301101 + k] for k in range(1, 65)},
    301165: [1001],
}

CODE_TABLES = {
    20003: {5: "HAZE", 511: "MISSING VALUE"},
    63008: {3: "THREE", 15: "ALL SET"},
}


@pytest.fixture(scope="session")
def tables(tmp_path_factory):
    path = write_table_dir(tmp_path_factory.mktemp("tables"), ELEMENTS, SEQUENCES, CODE_TABLES)
    return _morvane.TableSet.from_eccodes(str(path))


def decode(tables, descriptors, data: BitWriter | bytes = b"", **framing):
    """The items of a synthetic message framed around ``data``."""
    return _morvane.decode_values_with_tables(message(descriptors, data, **framing), tables)


def summary(values):
    """(descriptor, data) per item: what most assertions look at."""
    return [(v.descriptor, v.data) for v in values]


def decode_error(tables, descriptors, data=b"", **framing) -> str:
    with pytest.raises(ValueError) as info:
        decode(tables, descriptors, data, **framing)
    return str(info.value)
