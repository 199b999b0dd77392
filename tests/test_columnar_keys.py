"""Column names, ranks, types and values against ecCodes' own keys.

ecCodes (the `eccodes` package) names each data value "#k#key", a quality
value "#k#key->percentConfidence" (or another class 33 key) after the
element it qualifies, an associated field "#k#key->associatedField". In an
uncompressed message of several subsets ecCodes counts k over the whole
message; the columns count it within each subset, so ecCodes' keys are
renumbered per subset here (a subset starts at its "subsetNumber" key).
Keys with a second "->" (attributes of attributes) have no column.
"""

from __future__ import annotations

import math
from collections import defaultdict
from pathlib import Path

import pytest

from conftest import BUFR_DIR, ECCODES_ROOT, require_shared

ec = pytest.importorskip("eccodes")
_morvane = pytest.importorskip("_morvane")
columnar = pytest.importorskip("morvane._columnar")

MISSING_LONG = 2147483647
MISSING_DOUBLE = -1e100
NATIVE = {int: "int64", float: "float64", str: "text"}


def split(key: str) -> tuple[int, str, str]:
    """"#3#airTemperature->percentConfidence" -> (3, "airTemperature", "->percentConfidence")."""
    _, rank, rest = key.split("#", 2)
    base, arrow, attribute = rest.partition("->")
    return int(rank), base, arrow + attribute


def eccodes_columns(data: bytes) -> tuple[int, list[dict[str, tuple[list, str]]]]:
    """Per run of subsets (one for a compressed message, one per subset
    otherwise): {name with per-subset rank: (values, ecCodes type)}."""
    h = ec.codes_new_from_message(data)
    try:
        ec.codes_set(h, "unpack", 1)
        subsets = ec.codes_get(h, "numberOfSubsets")
        compressed = ec.codes_get(h, "compressedData")
        width = subsets if compressed else 1
        groups: list[dict[str, tuple[list, str]]] = [{}]
        local: dict[tuple[str, int], int] = {}
        counts: dict[str, int] = defaultdict(int)
        qualified: set[str] = set()
        after_operator = False
        it = ec.codes_bufr_keys_iterator_new(h)
        try:
            while ec.codes_bufr_keys_iterator_next(it):
                name = ec.codes_bufr_keys_iterator_get_name(it)
                if name == "subsetNumber" and not compressed and groups[-1]:
                    groups.append({})
                    local.clear()
                    counts.clear()
                    qualified.clear()
                    after_operator = False
                after_operator = after_operator or name == "operator"
                if not name.startswith("#") or name.count("->") > 1:
                    continue
                rank, base, attribute = split(name)
                if attribute:
                    qualified.add(base)
                elif after_operator and base in qualified:
                    # ecCodes lists the values of some quality blocks a second time under
                    # the qualified element's own key (cmwn, HIRS); they are the "->"
                    # values already listed, not data of their own.
                    continue
                else:
                    counts[base] += 1
                    local[(base, rank)] = counts[base]
                k = local.get((base, rank))
                if k is None:
                    continue
                kind = NATIVE[ec.codes_get_native_type(h, name)]
                if kind == "text":
                    values = list(ec.codes_get_string_array(h, name)) if ec.codes_get_size(h, name) > 1 \
                        else [ec.codes_get_string(h, name)]
                else:
                    values = list(ec.codes_get_array(h, name))
                if len(values) == 1:
                    values = values * width
                groups[-1][f"#{k}#{base}{attribute}"] = (values, kind)
        finally:
            ec.codes_bufr_keys_iterator_delete(it)
        return subsets, groups
    finally:
        ec.codes_release(h)


def as_list(cells) -> list:
    """Text columns are lists; numbers and validity come as buffers."""
    return cells if isinstance(cells, list) else memoryview(cells).tolist()


def ours(batch, name: str, rows: range) -> list:
    i = batch.index(name)
    values, valid = as_list(batch.values(i)), as_list(batch.valid(i))
    return [values[r] if valid[r] else None for r in rows]


def theirs(values: list, kind: str) -> list:
    if kind == "int64":
        return [None if v == MISSING_LONG else int(v) for v in values]
    if kind == "float64":
        return [None if v == MISSING_DOUBLE else float(v) for v in values]
    return [v.rstrip(" \0") or None if v is not None and not set(v) <= {"\xff"} else None for v in values]


def same(a, b) -> bool:
    if a is None or b is None:
        return a is b
    if isinstance(a, str) or isinstance(b, str):
        # Either side may keep the field's padding of blanks or NULs.
        return isinstance(a, str) and isinstance(b, str) and a.rstrip(" \0") == b.rstrip(" \0")
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)


def message_of(name: str, index: int) -> bytes:
    data = (BUFR_DIR / name).read_bytes()
    pos = 0
    for _ in range(index + 1):
        start = data.find(b"BUFR", pos)
        length = int.from_bytes(data[start + 4:start + 7], "big")
        pos = start + length
    return data[start:start + length]


CASES = [
    # (file, message index, what it exercises)
    ("temp.e4.bufr", 0, "TEMP: replicated levels, 2-22-000 percent confidence per level"),
    ("temp.e4.bufr", 5, "TEMP, another station"),
    ("Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr", 0,
     "SYNOP: 25 uncompressed subsets, text, repeated keys"),
    ("airc_144.e4.bufr", 0, "aircraft: quality block after a bitmap"),
    ("aircraft_mrar_compressed.bufr", 0, "aircraft, compressed: 2-04 associated fields, text"),
    ("cmwn_87.e4.bufr", 0, "satellite winds, compressed: percent confidence per subset"),
    ("M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr", 0,
     "HIRS radiances, compressed: 1008 subsets, class 33 values after the channels"),
]


def differences(name: str, index: int) -> tuple[list[str], list[str]]:
    """(differences of names, ranks and values; differences of type) from ecCodes."""
    data = message_of(name, index)
    tables = _morvane.TableSet.from_definitions(str(ECCODES_ROOT), _morvane.parse_bytes(data))
    batch = columnar.decode(data, tables)
    subsets, groups = eccodes_columns(data)
    assert batch.num_rows == subsets
    columns = {c.name: c for c in batch.columns}
    problems, types = [], []
    for g, group in enumerate(groups):
        rows = range(batch.num_rows) if len(groups) == 1 else range(g, g + 1)
        for key, (values, kind) in group.items():
            column = columns.get(key)
            if column is None:
                problems.append(f"subset {g + 1}: no column {key}")
                continue
            rank, base, attribute = split(key)
            if (column.rank, column.key) != (rank, base + attribute):
                problems.append(f"{key}: rank {column.rank}, key {column.key}")
            # Elements whose scale is 0 or negative hold only whole numbers: they are
            # integers here even where ecCodes hands them out as doubles (pressure in Pa,
            # heights in m); the values test above shows they are the same numbers.
            widened = column.type == "int64" and kind == "float64"
            if column.type != kind and g == 0 and not widened:
                types.append(f"{key} ({column.role}): {column.type}, ecCodes {kind}")
            got, want = ours(batch, key, rows), theirs(values, kind)
            bad = [(r, a, b) for r, a, b in zip(rows, got, want) if not same(a, b)]
            if bad:
                problems.append(f"{key}: row {bad[0][0]} got {bad[0][1]!r}, ecCodes {bad[0][2]!r}"
                                f" ({len(bad)} rows differ)")
    return problems, types


IDS = [f"{c[0][:24]}#{c[1]}" for c in CASES]


@require_shared
@pytest.mark.parametrize("name, index, about", CASES, ids=IDS)
def test_names_ranks_and_values_match_eccodes_keys(name, index, about):
    problems, _ = differences(name, index)
    assert not problems, f"{about}: {len(problems)} differences\n" + "\n".join(problems[:25])


@require_shared
@pytest.mark.parametrize("name, index, about", CASES, ids=IDS)
def test_eccodes_integers_and_text_keep_their_type(name, index, about):
    _, types = differences(name, index)
    assert not types, f"{about}: {len(types)} columns typed otherwise\n" + "\n".join(types[:25])


@require_shared
@pytest.mark.parametrize("name, index", [("temp.e4.bufr", 0), ("cmwn_87.e4.bufr", 0),
                                          ("aircraft_mrar_compressed.bufr", 0)])
def test_quality_columns_point_at_the_element_they_qualify(name, index):
    data = message_of(name, index)
    tables = _morvane.TableSet.from_definitions(str(ECCODES_ROOT), _morvane.parse_bytes(data))
    batch = columnar.decode(data, tables)
    linked = [c for c in batch.columns if c.role in ("quality", "associated")]
    assert linked, "no quality or associated columns"
    for column in linked:
        target = batch.columns[column.qualifies]
        assert column.qualifies >= 0 and target.role == "element", column.name
        base = column.key.partition("->")[0]
        assert (target.key, target.rank) == (base, column.rank), column.name
    assert all(c.qualifies == -1 for c in batch.columns if c.role == "element")
