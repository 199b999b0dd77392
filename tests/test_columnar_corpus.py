"""Every corpus message decodes through the columns to the values of the object path.

Each edition 4 message of ../shared/data/bufr is decoded by
``_morvane.decode_values_with_tables`` and by ``morvane._columnar.decode``
with the conformance tables. The flat list of values is cut into subsets at
``subset_starts``; for each subset (row) and each element descriptor, the
present values in the list and the non-null cells of that descriptor's
columns, in column order, must be the same numbers and texts. Associated
fields (999999 in the list) are compared with the "associated" columns;
operator markers are not data and are left out on both sides. A message the
object path refuses must be refused with the same text.
"""

from __future__ import annotations

import functools
import math
from collections import defaultdict
from pathlib import Path

import pytest

from conftest import ECCODES_ROOT, corpus_files, require_shared, split_file

_morvane = pytest.importorskip("_morvane")
columnar = pytest.importorskip("morvane._columnar")

ASSOCIATED = 999999


@functools.cache
def messages_of(path: Path) -> list[bytes]:
    return split_file(path.read_bytes())


TABLES: dict[tuple, object] = {}


def tables_for(data: bytes) -> object:
    """One table set per table version, shared by the messages that use it."""
    m = _morvane.parse_bytes(data)
    key = (m.master_table_number, m.originating_centre, m.originating_subcentre,
           m.master_tables_version_number, m.local_tables_version_number)
    if key not in TABLES:
        TABLES[key] = _morvane.TableSet.from_definitions(str(ECCODES_ROOT), m)
    return TABLES[key]


def text_or_none(text: str | None) -> str | None:
    """Padding of blanks or NULs is not part of a text; a field of nothing else, or
    all ones, is missing."""
    if text is None or set(text) <= {"\xff"}:
        return None
    return text.rstrip(" \0") or None


def expected_rows(values: list, starts: list[int], tables) -> list[dict[int, list]]:
    texts = {v.descriptor for v in values if v.raw_text is not None}
    # A missing text has no raw_text; its element's type tells it from a number.
    texts |= {v.descriptor for v in values if v.descriptor not in texts
              and (e := tables.get_element(v.descriptor)) is not None and e.element_type == "string"}
    rows = []
    ends = starts[1:] + [len(values)]
    for a, b in zip(starts, ends):
        row: dict[int, list] = defaultdict(list)
        for v in values[a:b]:
            if v.descriptor // 100000 == 2:
                continue
            cell = text_or_none(v.raw_text) if v.descriptor in texts else v.raw_value
            if cell is not None:
                row[v.descriptor].append(cell)
        rows.append(dict(row))
    return rows


def as_list(cells) -> list:
    """Text columns are lists; numbers and validity come as buffers."""
    return cells if isinstance(cells, list) else memoryview(cells).tolist()


def column_rows(batch) -> list[dict[int, list]]:
    rows: list[dict[int, list]] = [defaultdict(list) for _ in range(batch.num_rows)]
    for i, column in enumerate(batch.columns):
        if column.role == "marker" or column.descriptor // 100000 == 2:
            continue
        descriptor = ASSOCIATED if column.role == "associated" else column.descriptor
        values, valid = as_list(batch.values(i)), as_list(batch.valid(i))
        for r in range(batch.num_rows):
            if valid[r]:
                cell = text_or_none(values[r]) if column.type == "text" else values[r]
                if cell is not None:
                    rows[r][descriptor].append(cell)
    return [dict(row) for row in rows]


def same(a, b) -> bool:
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-300)


def first_difference(want: list[dict[int, list]], got: list[dict[int, list]]) -> str | None:
    if len(want) != len(got):
        return f"{len(got)} rows, {len(want)} subsets"
    for r, (w, g) in enumerate(zip(want, got)):
        for d in sorted(set(w) | set(g)):
            a, b = w.get(d, []), g.get(d, [])
            if len(a) != len(b) or not all(same(x, y) for x, y in zip(a, b)):
                return f"subset {r + 1}, {d:06d}: object path {a[:6]}, columns {b[:6]}"
    return None


def _cases():
    cases = []
    for path in corpus_files():
        for index, msg in enumerate(split_file(path.read_bytes())):
            if msg[7] == 4:
                cases.append(pytest.param(path, index, id=f"{path.name}#{index}"))
    return cases


@require_shared
@pytest.mark.parametrize("path, index", _cases())
def test_columns_hold_the_object_paths_values(path: Path, index: int):
    data = messages_of(path)[index]
    try:
        tables = tables_for(data)
    except ValueError:
        pytest.skip("the conformance tables lack this message's version")
    try:
        values = _morvane.decode_values_with_tables(data, tables)
    except ValueError as exc:
        with pytest.raises(ValueError) as caught:
            columnar.decode(data, tables)
        assert str(caught.value) == str(exc)
        # Skipping columns' bits must fail where reading them fails.
        with pytest.raises(ValueError) as caught:
            columnar.decode_keys([(data, tables)], [])
        assert str(caught.value) == str(exc)
        return
    starts = columnar.subset_starts(data, tables)
    batch = columnar.decode(data, tables)
    assert batch.num_rows == len(starts) == _morvane.parse_bytes(data).number_of_subsets
    assert list(batch.message_rows) == [0, batch.num_rows]
    assert starts == sorted(starts) and (not starts or starts[0] == 0)
    difference = first_difference(expected_rows(values, starts, tables), column_rows(batch))
    if difference is not None:
        pytest.fail(difference, pytrace=False)
    assert len({c.name for c in batch.columns}) == batch.num_columns
    check_chosen_keys(data, tables, batch)


def cells(batch, i: int) -> list:
    return [v if ok else None for v, ok in zip(as_list(batch.values(i)), as_list(batch.valid(i)))]


def check_chosen_keys(data: bytes, tables, batch) -> None:
    """Asked for some keys, the decode keeps every element column and its
    name, and the columns it decodes hold what the whole decode holds."""
    compressed = _morvane.parse_bytes(data).compressed_data
    elements = [c for c in batch.columns if c.role == "element"]
    keys = sorted({c.key for c in elements})[::2]
    chosen = columnar.decode_keys([(data, tables)], keys)
    assert [c.name for c in chosen.columns] == [c.name for c in elements]
    assert chosen.num_rows == batch.num_rows
    for i, column in enumerate(chosen.columns):
        assert column.decoded == (not compressed or column.key in keys or column.descriptor // 1000 == 31)
        if column.decoded:
            assert cells(chosen, i) == cells(batch, batch.index(column.name)), column.name
        else:
            with pytest.raises(ValueError, match="not decoded"):
                chosen.values(i)
