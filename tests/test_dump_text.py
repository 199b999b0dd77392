"""_columnar.dump_text and dump_json, the subsets of a message as `morvane
dump` shows them in text and JSON, against formattings of the decoded value
objects written from the documented rules: corpus messages, and synthetic
ones with awkward text, numbers, meanings, units and names."""

from __future__ import annotations

import json
import random
from pathlib import Path

import pytest

import _morvane
import morvane
from bufr_builder import BitWriter, all_ones, element, message, write_table_dir
from conftest import corpus_files
from morvane import _columnar

CORPUS_VALUES = 3000  # per message: enough to cross subsets, few enough to stay fast


def dumped(data: bytes, tables: _morvane.TableSet, dump=_columnar.dump_text) -> str:
    pieces: list[str] = []
    dump(data, tables, pieces.append)
    return "".join(pieces)


def subsets_of(msg: morvane.Message, limit: int | None) -> list[list[_morvane.DecodedValue]]:
    """The first subsets, up to the one that reaches `limit` values."""
    taken: list[list[_morvane.DecodedValue]] = []
    for subset in msg.subsets():
        if limit is not None and sum(map(len, taken)) >= limit:
            break
        taken.append(subset)
    return taken


def reference_json(msg: morvane.Message, limit: int | None = None) -> str:
    """The subsets as JSON arrays of objects, without the enclosing array:
    the value as a float (null when missing or for missing text), the raw
    number (null for text), the meaning (null when none, and for a missing
    value of a compressed message), the unit always."""
    def unit(code: int) -> str:
        entry = msg.tables.get_element(code) if code < 100000 else None
        return entry.unit if entry is not None else ""

    def meaning(v: _morvane.DecodedValue) -> str | None:
        if v.raw is None or (v.raw_value is None and msg.message.compressed_data):
            return None
        return v.raw_meaning

    subsets = [[{"descriptor": v.descriptor, "name": v.name, "unit": unit(v.descriptor),
                 "value": v.raw_text if v.raw is None else v.raw_value, "raw": v.raw,
                 "meaning": meaning(v)} for v in subset]
               for subset in subsets_of(msg, limit)]
    return json.dumps(subsets, ensure_ascii=False)[1:-1]


def reference_lines(msg: morvane.Message, limit: int | None = None) -> list[str]:
    """"  subset N", then per value "    DDDDDD  name-padded-to-48 value": text
    as JSON, "missing", integral numbers below 1e15 as integers and others as
    repr, " [meaning]" for a code meaning (none for a missing value of a
    compressed message: its raw is the column's minimum), and "  unit" after a number unless
    the unit is empty, a table, NUMERIC or CCITT IA5 (in any case). Stops
    after the subset that reaches `limit` values."""
    lines: list[str] = []
    for number, subset in enumerate(subsets_of(msg, limit), 1):
        lines.append(f"  subset {number}")
        for v in subset:
            entry = msg.tables.get_element(v.descriptor) if v.descriptor < 100000 else None
            unit = entry.unit if entry is not None else ""
            if v.raw is None:
                text = "missing" if v.raw_text is None else json.dumps(v.raw_text, ensure_ascii=False)
            else:
                value = v.raw_value
                if value is None:
                    text = "missing"
                elif value.is_integer() and abs(value) < 1e15:
                    text = str(int(value))
                else:
                    text = repr(value)
                if v.raw_meaning is not None and not (value is None and msg.message.compressed_data):
                    text += f" [{v.raw_meaning}]"
                upper = unit.upper()
                if value is not None and unit and "TABLE" not in upper and upper not in ("NUMERIC", "CCITT IA5"):
                    text += f"  {unit}"
            lines.append(f"    {v.descriptor:06d}  {v.name:<48} {text}")
    return lines


# --------------------------------------------------------------------------
# Corpus


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_corpus_messages_read_as_their_values(path: Path) -> None:
    for msg in morvane.read(path):
        if msg.error is not None:
            with pytest.raises(ValueError):
                dumped(msg.data, msg.tables)
            continue
        text = dumped(msg.data, msg.tables)
        expected = reference_lines(msg, CORPUS_VALUES)
        got = text.split("\n", len(expected))
        assert got[:len(expected)] == expected, f"message {msg.index}"
        assert text.count("\n") == sum(len(s) + 1 for s in msg.subsets()), f"message {msg.index}"
        if not msg.message.compressed_data:  # the command shows those by column
            assert dumped(msg.data, msg.tables, _columnar.dump_json).startswith(
                reference_json(msg, CORPUS_VALUES)), f"message {msg.index}"


# --------------------------------------------------------------------------
# Synthetic messages

ELEMENTS = {
    1015: element("STATION OR SITE NAME", "CCITT IA5", 0, 0, 96),
    1019: element("LONG STATION OR SITE NAME", "CCITT IA5", 0, 0, 24),
    2001: element("TYPE OF STATION", "ﬂag table", 0, 0, 2),       # upper: "FLAG TABLE"
    4001: element("YEAR", "numeric", 0, 0, 12),
    7004: element("PRESSURE", "Maß", 0, -1000, 12),                  # upper: "MASS", shown
    10004: element("HUGE", "Pa", -20, 0, 40),
    11001: element("TINY", "degree", 20, 0, 40),
    11002: element("SMALL", "m/s", 6, 0, 24),
    12101: element("TEMPÉRATURE DE L'AIR À 2 MÈTRES AU-DESSUS DU SOL ÉTENDU", "K", 2, -30000, 16),
    13011: element("NIÑO € 😀 MASS", "kg m-2", 1, -10, 50),
    13012: element("EDGE OF INTEGERS", "kg m-2", 0, 0, 52),
    13013: element("BEYOND INTEGERS", "kg m-2", -2, 0, 50),
    20003: element("PRESENT WEATHER", "CODE TABLE", 0, 0, 9),
    31021: element("ASSOCIATED FIELD SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
}
MEANINGS = {20003: {0: 'Clear "sky"', 1: "Brume \\ légère", all_ones(9): "Missing value"},
            31021: {1: "1-bit indicator of quality"}}


@pytest.fixture(scope="module")
def tables(tmp_path_factory) -> _morvane.TableSet:
    path = write_table_dir(tmp_path_factory.mktemp("dump"), ELEMENTS, {}, MEANINGS)
    return _morvane.TableSet.from_eccodes(str(path))


def both(data: bytes, tables: _morvane.TableSet) -> tuple[list[str], list[str]]:
    """The text and its reference, lines without their ends; the JSON is
    checked on the way."""
    (msg,) = morvane.read(data, tables)
    assert msg.error is None
    assert dumped(data, tables, _columnar.dump_json) == reference_json(msg)
    return dumped(data, tables).split("\n")[:-1], reference_lines(msg)


def test_text_is_escaped_as_json(tables) -> None:
    texts = ['say "hi" \\ o', "tab\there\x01\x1f\x7f", "caf\xe9", None]
    w = BitWriter()
    for text in texts:
        w.text(text.encode("latin-1") if text else None, 96).text("AB", 24)
    got, expected = both(message([102004, 1015, 1019], w), tables)
    assert got == expected
    assert '"say \\"hi\\" \\\\ o"' in got[1] and "\\t" in got[3] and "\\u0001" in got[3]


def test_numbers_missing_values_meanings_and_units(tables) -> None:
    codes = [2001, 4001, 7004, 7004, 10004, 11001, 11001, 11002, 11002, 12101, 12101, 13012, 13012, 13013,
             20003, 20003, 20003, 20003]
    w = (BitWriter().u(2, 2).u(2024, 12).u(0, 12).u(5, 12)
         .u(12345, 40).u(5, 40).u(123456789, 40).u(12, 24).u(all_ones(24), 24)
         .u(30000 - 27315, 16).u(0, 16)
         .u(10 ** 15, 52).u(999_999_999_999_999, 52).u(10 ** 14, 50)
         .u(0, 9).u(1, 9).u(7, 9).u(all_ones(9), 9))
    got, expected = both(message(codes, w), tables)
    assert got == expected
    shown = [line[61:] for line in got[1:]]
    assert shown[:4] == ["2", "2024", "-1000  Maß", "-995  Maß"]
    assert shown[4:9] == ["1.2345e+24  Pa", "5e-20  degree", "1.23456789e-12  degree", "1.2e-05  m/s", "missing"]
    assert got[10].endswith("ÉTENDU -273.15  K") and got[11].endswith("ÉTENDU -300  K")  # a name past the column
    assert shown[11:] == ["1000000000000000.0  kg m-2", "999999999999999  kg m-2", "1e+16  kg m-2", '0 [Clear "sky"]',
                          "1 [Brume \\ légère]", "7", "missing [Missing value]"]


def test_names_are_padded_by_characters(tables) -> None:
    w = BitWriter().u(100, 16).u(5, 50)
    got, expected = both(message([12101, 13011], w), tables)
    assert got == expected
    # The first name is longer than the column, the second has characters of 2, 3 and 4 bytes.
    assert got[2].index("-0.5") == 61 and got[1].index("-299") > 61


def test_operators_associated_fields_and_inserted_text(tables) -> None:
    w = BitWriter().u(1, 6).u(3, 2).u(27315, 16).text("XYZ", 24).u(0, 9)
    data = message([204002, 31021, 12101, 204000, 205003, 222000, 20003], w, subsets=1)
    got, expected = both(data, tables)
    assert got == expected
    assert any(line.startswith("    999999  associatedField") for line in got)


def test_compressed_messages_and_empty_ones(tables) -> None:
    w = (BitWriter().compressed_text(["A", None, 'Q"'], 96).compressed([0, 1, None], 9)
         .compressed([27315, None, 100], 16))
    got, expected = both(message([1015, 20003, 12101], w, subsets=3, compressed=True), tables)
    assert got == expected and got[0] == "  subset 1" and len(got) == 12
    assert got[10].endswith(" missing")  # not the meaning of the column's minimum, code 0
    assert both(message([12101], b"", subsets=0), tables) == ([], [])


def test_random_numbers_of_every_scale(tmp_path) -> None:
    # Shortest round-trip digits, the switch to exponents and the integer
    # form all depend on the magnitude: scales -40 to 39 over random raws,
    # either side of a zero value (the reference is -2**40).
    scales = {33000 + i: element(f"SCALE {i - 40}", "u", i - 40, -(1 << 40), 48) for i in range(80)}
    tables = _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path, scales)))
    rng = random.Random(7)
    for _ in range(10):
        w = BitWriter()
        for _ in scales:
            w.u(rng.choice([rng.getrandbits(47), rng.getrandbits(rng.randint(1, 46)), (1 << 40) + rng.randint(-9, 9)]),
                48)
        got, expected = both(message(list(scales), w), tables)
        assert got == expected


def test_large_messages_go_out_in_pieces_of_whole_subsets(tables) -> None:
    w = BitWriter()
    for s in range(4000):
        w.text(f"S{s}", 96).u(s % 3, 9)
    data = message([1015, 20003], w, subsets=4000)
    pieces: list[str] = []
    _columnar.dump_text(data, tables, pieces.append)
    assert len(pieces) > 2 and all(p.startswith("  subset ") and p.endswith("\n") for p in pieces)
    (msg,) = morvane.read(data, tables)
    assert "".join(pieces).split("\n")[:-1] == reference_lines(msg)

    class Closed(Exception):
        pass

    calls = []

    def refuse(piece: str) -> None:
        calls.append(piece)
        raise Closed

    with pytest.raises(Closed):  # and no further piece is made
        _columnar.dump_text(data, tables, refuse)
    assert len(calls) == 1
