"""A decoded message as groups of subsets that share one template.

A template is the sequence of data elements of a subset, named by their
Table B abbreviations (the ecCodes keys). All subsets of a compressed
message share one; uncompressed subsets are grouped by theirs. Operators,
associated fields and the quality information that bitmaps attach to
elements are left out: ecCodes lists them as attributes of other keys, not
as keys of their own, so they take no part in the structure.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

import _morvane

from ._reader import Message

try:
    from . import _columnar
except ImportError:  # a build without the columnar module: decoded objects serve instead
    _columnar = None  # type: ignore[assignment]

# Operators after which the elements are quality information for elements
# already given, until a bitmap is cancelled.
QUALITY_OPERATORS = frozenset({222000, 223000, 224000, 225000, 232000})
CANCEL_BITMAP = 235000
ASSOCIATED_FIELD = 999999
INTEGER_TYPES = frozenset({"long", "table", "flag"})
REPLICATION_FACTORS = frozenset({31000, 31001, 31002, 31011, 31012})
COLUMN_KINDS = {"int64": "int", "float64": "float", "text": "text"}


class Group:
    """Subsets of one message with the same template."""

    __slots__ = ("codes", "names", "first_level", "subsets", "text_positions", "_kinds", "_gather")

    def __init__(self, codes: tuple[int, ...], names: tuple[str, ...], first_level: int,
                 subsets: np.ndarray, kinds: Sequence[str], gather) -> None:
        self.codes = codes
        self.names = names
        self.first_level = first_level
        self.subsets = subsets
        self._kinds = kinds
        self.text_positions = frozenset(i for i, k in enumerate(kinds) if k == "text")
        self._gather = gather

    def kind(self, position: int) -> str:
        return self._kinds[position]

    def gather(self, positions: list[int]) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
        """(numbers, valid, texts) of the given template positions, one row
        per subset of the group; texts is None when none of them is text."""
        return self._gather(positions)


class _Names:
    """Abbreviation and kind of each descriptor, per table set."""

    def __init__(self) -> None:
        self._cache: dict[tuple[int, int], tuple[str, str] | None] = {}

    def get(self, tables: _morvane.TableSet, code: int) -> tuple[str, str] | None:
        key = (id(tables), code)
        found = self._cache.get(key, False)
        if found is False:
            element = tables.get_element(code)
            if element is None:
                found = None
            else:
                kind = ("text" if element.element_type == "string" else
                        "int" if element.element_type in INTEGER_TYPES else "float")
                found = (element.abbreviation, kind)
            self._cache[key] = found
        return found  # type: ignore[return-value]


NAMES = _Names()


def _elements(values: Sequence[_morvane.DecodedValue], tables: _morvane.TableSet
              ) -> tuple[list[int], list[int], list[str], list[str]]:
    """Indices, codes, names and kinds of a subset's data elements."""
    index: list[int] = []
    codes: list[int] = []
    names: list[str] = []
    kinds: list[str] = []
    in_quality = False
    for i, value in enumerate(values):
        code = value.descriptor
        if code >= 100000:
            if code in QUALITY_OPERATORS:
                in_quality = True
            elif code == CANCEL_BITMAP:
                in_quality = False
            continue
        if in_quality:
            continue
        named = NAMES.get(tables, code)
        if named is None:
            continue
        index.append(i)
        codes.append(code)
        names.append(named[0])
        kinds.append(named[1])
    return index, codes, names, kinds


def _gather_values(subset_values: list[Sequence[_morvane.DecodedValue]], index: list[int],
                   kinds: list[str]):
    def gather(positions: list[int]) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
        n = len(subset_values)
        numbers = np.full((n, len(positions)), np.nan)
        valid = np.zeros((n, len(positions)), dtype=bool)
        texts = None
        if any(kinds[p] == "text" for p in positions):
            texts = np.full((n, len(positions)), None, dtype=object)
        for j, p in enumerate(positions):
            at = index[p]
            if kinds[p] == "text":
                assert texts is not None
                column = [s[at].raw_text for s in subset_values]
                column = [None if t is None else t.rstrip("\x00 ") for t in column]
                texts[:, j] = column
                valid[:, j] = [t is not None for t in column]
            else:
                column = [s[at].raw_value for s in subset_values]
                present = np.array([v is not None for v in column], dtype=bool)
                valid[:, j] = present
                numbers[present, j] = [v for v in column if v is not None]
        return numbers, valid, texts
    return gather


def message_groups(msg: Message, wanted: frozenset[str]) -> list[Group]:
    """The groups of a message that decodes; raises ValueError if it does not."""
    m = msg.message
    # One subset decodes faster as objects than as one-row columns; the
    # columns pay off across subsets.
    if _columnar is not None and m is not None and m.number_of_subsets > 1:
        return _columnar_groups(msg)
    return _object_groups(msg)


def _object_groups(msg: Message) -> list[Group]:
    m = msg.message
    assert m is not None
    tables = msg.tables
    values = msg.values
    if msg.error is not None:
        raise msg.error
    n = m.number_of_subsets
    if n == 0 or not values:
        return []
    if m.compressed_data:
        step = len(values) // n
        subsets = [values[s * step:(s + 1) * step] for s in range(n)]
        index, codes, names, kinds = _elements(subsets[0], tables)
        return [Group(tuple(codes), tuple(names), 0, np.arange(n), kinds,
                      _gather_values(subsets, index, kinds))]
    subsets = msg.subsets()
    by_template: dict[tuple[int, ...], tuple[list[int], list[str], list[str], list[int]]] = {}
    for s, subset in enumerate(subsets):
        index, codes, names, kinds = _elements(subset, tables)
        key = tuple(codes)
        entry = by_template.get(key)
        if entry is None:
            by_template[key] = (index, names, kinds, [s])
        else:
            entry[3].append(s)
    groups = []
    for codes_key, (index, names, kinds, members) in by_template.items():
        chosen = [subsets[s] for s in members]
        groups.append(Group(codes_key, tuple(names), 1, np.array(members), kinds,
                            _gather_values(chosen, index, kinds)))
    return groups


# --------------------------------------------------------------------------
# From the columnar decoder: one column per element occurrence, one row per subset


def _batch_gather(batch, columns: list[int], rows: np.ndarray | None, kinds: Sequence[str]):
    def gather(positions: list[int]) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
        n = batch.num_rows if rows is None else rows.size
        numbers = np.zeros((n, len(positions)))
        valid = np.zeros((n, len(positions)), dtype=bool)
        texts = None
        for j, p in enumerate(positions):
            i = columns[p]
            ok = np.asarray(batch.valid(i), dtype=bool)
            if kinds[p] == "text":
                if texts is None:
                    texts = np.full((n, len(positions)), None, dtype=object)
                column = np.array(batch.values(i), dtype=object)
                texts[:, j] = column if rows is None else column[rows]
            else:
                column = np.asarray(batch.values(i))
                numbers[:, j] = column if rows is None else column[rows]
            valid[:, j] = ok if rows is None else ok[rows]
        return numbers, valid, texts
    return gather


def _batch_group(batch, chosen: list[tuple[int, object]], rows: np.ndarray | None, n: int,
                 first_level: int) -> Group:
    columns = [i for i, _ in chosen]
    codes = tuple(c.descriptor for _, c in chosen)  # type: ignore[attr-defined]
    names = tuple(c.key for _, c in chosen)  # type: ignore[attr-defined]
    kinds = [COLUMN_KINDS.get(c.type, "float") for _, c in chosen]  # type: ignore[attr-defined]
    return Group(codes, names, first_level, np.arange(n) if rows is None else rows, kinds,
                 _batch_gather(batch, columns, rows, kinds))


def _columnar_groups(msg: Message) -> list[Group]:
    m = msg.message
    assert m is not None
    tables = msg.tables
    batch = _columnar.decode(msg.data, tables)
    n = batch.num_rows
    if n == 0:
        return []
    elements = [(i, c) for i, c in enumerate(batch.columns) if c.role == "element"]
    if m.compressed_data:
        return [_batch_group(batch, elements, None, n, 0)]
    if n == 1:
        return [_batch_group(batch, elements, None, n, 1)]
    # Uncompressed subsets share the message's columns; those with the same
    # replication counts have the same elements.
    factors = [i for i, c in elements if c.descriptor in REPLICATION_FACTORS]
    if not factors:
        return [_batch_group(batch, elements, None, n, 1)]
    counts = np.empty((n, len(factors)), dtype=np.int64)
    for j, i in enumerate(factors):
        ok = np.asarray(batch.valid(i), dtype=bool)
        counts[:, j] = np.where(ok, np.asarray(batch.values(i)), -1)
    patterns, inverse = np.unique(counts, axis=0, return_inverse=True)
    inverse = inverse.reshape(-1)
    if len(patterns) == 1 and (patterns[0] >= 0).all():
        return [_batch_group(batch, elements, None, n, 1)]
    # Which columns each kind of subset holds is read from one decoded subset of each.
    starts = list(_columnar.subset_starts(msg.data, tables)) + [None]
    values = msg.values
    position = {c.name: i for i, c in elements}
    column_of = dict(elements)
    groups = []
    for k in range(len(patterns)):
        rows = np.flatnonzero(inverse == k)
        s = int(rows[0])
        subset = values[starts[s]:starts[s + 1]]
        _, codes, names, _ = _elements(subset, tables)
        seen: dict[str, int] = {}
        chosen = []
        for name in names:
            rank = seen[name] = seen.get(name, 0) + 1
            i = position.get(f"#{rank}#{name}")
            if i is None:
                raise ValueError(f"subset {s + 1}: element {name} #{rank} is not among the decoded columns")
            chosen.append((i, column_of[i]))
        groups.append(_batch_group(batch, chosen, rows, n, 1))
    return groups
