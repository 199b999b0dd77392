"""A decoded message as groups of subsets that share one template.

A template is the sequence of data elements of a subset, named by their
Table B abbreviations (the ecCodes keys). All subsets of a compressed
message share one; uncompressed subsets are grouped by theirs. Operators,
associated fields and the quality information that bitmaps attach to
elements are left out: ecCodes lists them as attributes of other keys, not
as keys of their own, so they take no part in the structure.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

import _morvane

from ._reader import Message

from . import _columnar

# Operators after which the elements are quality information for elements
# already given, until a bitmap is cancelled.
QUALITY_OPERATORS = frozenset({222000, 223000, 224000, 225000, 232000})
CANCEL_BITMAP = 235000
ASSOCIATED_FIELD = 999999
INTEGER_TYPES = frozenset({"long", "table", "flag"})
# Uncompressed messages of more subsets than this are read as columns.
OBJECTS_UP_TO = 1000
REPLICATION_FACTORS = frozenset({31000, 31001, 31002, 31011, 31012})
COLUMN_KINDS = {"int64": "int", "float64": "float", "text": "text"}

Gathered = tuple[np.ndarray, np.ndarray, "np.ndarray | None"]
Gather = Callable[[list[int]], Gathered]


class Group:
    """Subsets of one message with the same template."""

    __slots__ = ("codes", "names", "first_level", "subsets", "text_positions", "kinds", "_gather")

    def __init__(self, codes: tuple[int, ...], names: tuple[str, ...], first_level: int,
                 subsets: np.ndarray, kinds: Sequence[str], gather: Gather,
                 text_positions: frozenset[int] | None = None) -> None:
        self.codes = codes
        self.names = names
        self.first_level = first_level
        self.subsets = subsets
        self.kinds = kinds  # of each position
        self.text_positions = (frozenset([i for i, k in enumerate(kinds) if k == "text"])
                               if text_positions is None else text_positions)
        self._gather = gather

    def gather(self, positions: list[int]) -> Gathered:
        """(numbers, valid, texts) of the given template positions, one row
        per subset of the group; texts is None when none of them is text."""
        found: Gathered = self._gather(positions)
        return found


class _Names:
    """Abbreviation and kind of each descriptor, per table set.

    What is remembered of a table set elsewhere is keyed by its id, so the
    table sets are held here while it is; a few are held at a time (a caller
    may make one per read), and the others' memories are dropped with them
    (`forget`)."""

    TABLES_KEPT = 16

    def __init__(self) -> None:
        # keyed by id, holding the table set so that the id stays its own
        self._cache: dict[int, tuple[_morvane.TableSet, dict[int, tuple[str, str] | None]]] = {}
        self.forget: list[Callable[[], None]] = []

    def table(self, tables: _morvane.TableSet) -> dict[int, tuple[str, str] | None]:
        found = self._cache.get(id(tables))
        if found is None:
            if len(self._cache) >= self.TABLES_KEPT:
                for clear in self.forget:
                    clear()
                self._cache.clear()
            found = self._cache[id(tables)] = (tables, {})
        return found[1]

    def get(self, tables: _morvane.TableSet, code: int) -> tuple[str, str] | None:
        cache = self.table(tables)
        found = cache.get(code, False)
        if found is False:
            element = tables.get_element(code)
            if element is None:
                found = None
            else:
                kind = ("text" if element.element_type == "string" else
                        "int" if element.element_type in INTEGER_TYPES else "float")
                found = (element.abbreviation, kind)
            cache[code] = found
        return found  # type: ignore[return-value]

    def get_all(self, tables: _morvane.TableSet, codes: list[int]) -> list[tuple[str, str] | None]:
        """`get` of each code, the table set looked up once."""
        cache = self.table(tables)
        return [cache[code] if code in cache else self.get(tables, code) for code in codes]


NAMES = _Names()


_ELEMENTS_CACHE: dict[tuple[int, tuple[int, ...]], tuple[list[int], list[int], list[str], list[str]]] = {}
_ELEMENTS_CACHE_SIZE = 4096
NAMES.forget.append(_ELEMENTS_CACHE.clear)


def _elements(values: Sequence[_morvane.DecodedValue], tables: _morvane.TableSet
              ) -> tuple[list[int], list[int], list[str], list[str]]:
    """Indices, codes, names and kinds of a subset's data elements (the same
    descriptor sequence gives the same answer, so it is remembered)."""
    NAMES.table(tables)  # holds the table set, so its id is not reused while remembered
    key = (id(tables), tuple([v.descriptor for v in values]))
    found = _ELEMENTS_CACHE.get(key)
    if found is None:
        if len(_ELEMENTS_CACHE) >= _ELEMENTS_CACHE_SIZE:
            _ELEMENTS_CACHE.clear()
        found = _ELEMENTS_CACHE[key] = _find_elements(values, tables)
    return found


_QUALITY_CODES = np.array(sorted(QUALITY_OPERATORS))


def _find_elements(values: Sequence[_morvane.DecodedValue], tables: _morvane.TableSet
                   ) -> tuple[list[int], list[int], list[str], list[str]]:
    named = NAMES.table(tables)
    codes = np.array([v.descriptor for v in values], dtype=np.int64)
    # quality information runs from a quality operator to a bitmap cancel
    event = np.where(np.isin(codes, _QUALITY_CODES), 1, np.where(codes == CANCEL_BITMAP, 2, 0))
    last = np.maximum.accumulate(np.where(event > 0, np.arange(codes.size), -1))
    in_quality = (last >= 0) & (event[np.maximum(last, 0)] == 1)
    chosen = np.flatnonzero((codes < 100000) & ~in_quality)
    picked = codes[chosen].tolist()
    for code in set(picked):
        if code not in named:
            NAMES.get(tables, code)
    found = [named[c] for c in picked]
    keep = [i for i, f in enumerate(found) if f is not None]
    if len(keep) < len(found):
        chosen = chosen[keep]
        picked = [picked[i] for i in keep]
        found = [found[i] for i in keep]
    return (chosen.tolist(), picked, [f[0] for f in found], [f[1] for f in found])  # type: ignore[index]


def _gather_values(subset_values: Sequence[Sequence[_morvane.DecodedValue]], index: list[int],
                   kinds: list[str]) -> Gather:
    def gather_one(positions: list[int]) -> Gathered:
        subset = subset_values[0]
        items = [subset[index[p]] for p in positions]
        texts = None
        if any(kinds[p] == "text" for p in positions):
            texts = np.array([[None if kinds[p] != "text" or v.raw_text is None else v.raw_text.rstrip("\x00 ")
                               for p, v in zip(positions, items)]], dtype=object)
            present = [(v.raw_text if kinds[p] == "text" else v.raw_value) is not None
                       for p, v in zip(positions, items)]
        else:
            present = [v.raw_value is not None for v in items]
        raw = [v.raw_value for v in items]
        numbers = np.array([[np.nan if x is None else x for x in raw]], dtype=np.float64)
        return numbers, np.array([present], dtype=bool), texts

    if len(subset_values) == 1:
        return gather_one

    def gather(positions: list[int]) -> Gathered:
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
                text = [s[at].raw_text for s in subset_values]
                text = [None if t is None else t.rstrip("\x00 ") for t in text]
                texts[:, j] = text
                valid[:, j] = [t is not None for t in text]
            else:
                column = [s[at].raw_value for s in subset_values]
                present = np.array([v is not None for v in column], dtype=bool)
                valid[:, j] = present
                numbers[present, j] = [v for v in column if v is not None]
        return numbers, valid, texts
    return gather


def message_groups(msg: Message, wanted: frozenset[str]) -> list[Group]:
    """The groups of a message that decodes; raises ValueError if it does not.
    Only the values of the `wanted` keys are gathered from them."""
    m = msg.message
    # Columns pay off across the many subsets of compressed messages; an
    # uncompressed message decodes faster as objects, and its subsets may
    # each have elements of their own.
    if m is not None and (m.compressed_data or OBJECTS_UP_TO < m.number_of_subsets):
        return _columnar_groups(msg, wanted)
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
    subsets = msg.subsets() if n > 1 else [values]
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


def _batch_gather(batch: Any, columns: Sequence[int], rows: np.ndarray | None,
                  kinds: Sequence[str]) -> Gather:
    def gather(positions: list[int]) -> Gathered:
        everyone = batch.num_rows
        n = everyone if rows is None else rows.size
        if not positions:
            return np.zeros((n, 0)), np.zeros((n, 0), dtype=bool), None
        text_at = [j for j, p in enumerate(positions) if kinds[p] == "text"]
        # (position, row) arrays, filled in one call (text as zeros); their
        # transposes are (row, position) with each position's values together
        numbers = np.empty((len(positions), everyone))
        valid = np.empty((len(positions), everyone), dtype=bool)
        _columnar.key_arrays(batch, [columns[p] for p in positions], numbers, valid)
        texts = None
        if text_at:
            # (object arrays are made holding None)
            texts = np.empty((n, len(positions)), dtype=object, order="F")
            for j in text_at:
                if valid[j].any():  # (no text made of a column all missing)
                    column = np.array(batch.values(columns[positions[j]]), dtype=object)
                    texts[:, j] = column if rows is None else column[rows]
        if rows is not None:
            numbers, valid = numbers[:, rows], valid[:, rows]
        return numbers.T, valid.T, texts
    return gather


# What the elements of a batch come to, by their descriptors and types:
# reads of many small files meet the same ones again and again.
_ELEMENT_KINDS: dict[tuple[Any, ...], tuple[list[str], list[int], frozenset[int]]] = {}
_ELEMENT_KINDS_KEPT = 32


class Elements:
    """The descriptor, key and kind of each column of a batch, the columns
    of replication factors and those of text."""

    __slots__ = ("codes", "names", "kinds", "factors", "text_positions")

    def __init__(self, batch: Any) -> None:
        self.codes, self.names, types = batch.elements
        # (what is remembered follows from the descriptors and types alone:
        # the keys, made anew for each batch, would each be hashed anew)
        elements = (self.codes, types)
        found = _ELEMENT_KINDS.get(elements)
        if found is None:
            if len(_ELEMENT_KINDS) >= _ELEMENT_KINDS_KEPT:
                _ELEMENT_KINDS.clear()  # bounded, whatever the input
            kind = COLUMN_KINDS.get
            kinds = [kind(t, "float") for t in types]
            found = _ELEMENT_KINDS[elements] = (
                kinds, [i for i, code in enumerate(self.codes) if code in REPLICATION_FACTORS],
                frozenset([i for i, k in enumerate(kinds) if k == "text"]))
        self.kinds, self.factors, self.text_positions = found

    def group(self, batch: Any, n: int, first_level: int) -> Group:
        """All the columns as one group of all the rows."""
        return Group(self.codes, self.names, first_level, np.arange(n), self.kinds,
                     _batch_gather(batch, range(len(self.codes)), None, self.kinds), self.text_positions)

    def group_of(self, batch: Any, columns: list[int], rows: np.ndarray, first_level: int) -> Group:
        """The given columns as a group of the given rows."""
        kinds = [self.kinds[i] for i in columns]
        return Group(tuple(self.codes[i] for i in columns), tuple(self.names[i] for i in columns), first_level,
                     rows, kinds, _batch_gather(batch, columns, rows, kinds))


# Elements by their tables and batch template (see `elements_of`).
_TEMPLATES: dict[tuple[int, bytes], tuple[_morvane.TableSet, Elements]] = {}
_TEMPLATES_KEPT = 32


def elements_of(batch: Any, tables: _morvane.TableSet) -> Elements:
    """The `Elements` of a batch decoded with `tables`, looked up by what
    its columns are: reads of many small files meet the same again and
    again, and making them anew costs a Python object per column, thrice."""
    key = (id(tables), _columnar.batch_template(batch))
    found = _TEMPLATES.get(key)
    if found is None or found[0] is not tables:
        if len(_TEMPLATES) >= _TEMPLATES_KEPT:
            _TEMPLATES.clear()  # bounded, whatever the input
        found = _TEMPLATES[key] = (tables, Elements(batch))  # (the tables held, so their id stays theirs)
    return found[1]


def run_group(messages: list[tuple[bytes, _morvane.TableSet]], wanted: frozenset[str], batch: Any = None
              ) -> tuple[Group, np.ndarray] | None:
    """Compressed messages with the same descriptors decoded as one batch:
    its one group and the first row of each message, or None when their
    expansions may differ (the batch lines up columns by rank, so a message
    with other replication counts would have its elements shifted or
    padded). Only the `wanted` keys' values are read. Raises ValueError if
    one of them does not decode. `batch`: theirs, if already decoded."""
    if batch is None:
        batch = _columnar.decode_keys(messages, wanted)
    n = batch.num_rows
    if n == 0:
        return None
    elements = elements_of(batch, messages[0][1])
    factors = elements.factors
    if factors and not _columnar.counts_agree(batch, factors):
        return None
    return elements.group(batch, n, 0), np.asarray(batch.message_rows)


def _columnar_groups(msg: Message, wanted: frozenset[str]) -> list[Group]:
    m = msg.message
    assert m is not None
    tables = msg.tables
    # Element columns only; of a compressed message, only the wanted keys'
    # values are read (the others' bits are skipped).
    batch = _columnar.decode_keys([(msg.data, tables)], wanted)
    n = batch.num_rows
    if n == 0:
        return []
    elements = elements_of(batch, tables)
    if m.compressed_data:
        return [elements.group(batch, n, 0)]
    if n == 1:
        return [elements.group(batch, n, 1)]
    # Uncompressed subsets share the message's columns; those with the same
    # replication counts have the same elements.
    factors = elements.factors
    if not factors:
        return [elements.group(batch, n, 1)]
    counts = np.empty((n, len(factors)), dtype=np.int64)
    for j, i in enumerate(factors):
        ok = np.asarray(batch.valid(i), dtype=bool)
        counts[:, j] = np.where(ok, np.asarray(batch.values(i)), -1)
    patterns, inverse = np.unique(counts, axis=0, return_inverse=True)
    inverse = inverse.reshape(-1)
    if len(patterns) == 1 and (patterns[0] >= 0).all():
        return [elements.group(batch, n, 1)]
    # Which columns each kind of subset holds is read from one decoded subset of each.
    starts: list[int | None] = [*_columnar.subset_starts(msg.data, tables), None]
    values = msg.values
    position = {c.name: i for i, c in enumerate(batch.columns)}
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
            at = position.get(f"#{rank}#{name}")
            if at is None:
                raise ValueError(f"subset {s + 1}: element {name} #{rank} is not among the decoded columns")
            chosen.append(at)
        groups.append(elements.group_of(batch, chosen, rows, 1))
    return groups
