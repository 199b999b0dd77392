"""Uncompressed messages, many at a time, as flat arrays of items.

`_columnar.decode_items` gives every item of a run of messages as arrays
(descriptor code, value, present) with the subsets' and messages' bounds;
`_columnar.cut_subsets` cuts every subset into rows, which hold item
numbers. The values of each key are then gathered with NumPy once for the
whole run: no Python work per value, subset or template.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

import _morvane

from ._chunks import ABSENT, FlatChunk, Run
from ._groups import NAMES
from ._query import COUNT_KEY, Query
from ._rows import COUNT, COUNT_NAME


ELEMENT_CODES = 100000  # codes from here on are operators, sequences and markers


class Items:
    """The decoded items of a run of messages."""

    __slots__ = ("codes", "values", "present", "subset_starts", "message_starts", "text",
                 "text_starts", "failures", "raw_codes", "raw_starts")

    def __init__(self, messages: Sequence[tuple[bytes, _morvane.TableSet]]) -> None:
        from . import _columnar

        # the codes and subset starts are also kept as bytes, as the row cutting takes them
        (self.raw_codes, values, present, self.raw_starts, message_starts, self.text, text_starts,
         self.failures) = _columnar.decode_items(messages)
        self.codes = np.frombuffer(self.raw_codes, dtype=np.uint32)
        self.values = np.frombuffer(values, dtype=np.float64)
        self.present = np.frombuffer(present, dtype=np.bool_)
        self.subset_starts = np.frombuffer(self.raw_starts, dtype=np.uint64).astype(np.intp)
        self.message_starts = np.frombuffer(message_starts, dtype=np.uint64).astype(np.intp)
        self.text_starts = np.frombuffer(text_starts, dtype=np.uint64).astype(np.intp)

    def owners(self) -> np.ndarray:
        """The message (its position in the run) of each subset."""
        counts = np.diff(self.message_starts)
        return np.repeat(np.arange(counts.size), counts)

    def texts(self, numbers: np.ndarray, valid: np.ndarray) -> np.ndarray:
        """The texts of character items by their numbers, None where missing."""
        out = np.full(numbers.shape, None, dtype=object)
        flat, ok, starts, text = numbers.reshape(-1), valid.reshape(-1), self.text_starts, self.text
        found = out.reshape(-1)
        for i in np.flatnonzero(ok).tolist():
            k = int(flat[i])
            found[i] = text[starts[k]:starts[k + 1]].decode("ascii")
        return out


# Codes of runs up to this many items are told apart by np.unique; of
# longer runs, by marking them in a table of every code up to the highest.
UNIQUE_UP_TO = 1024


def _distinct(codes: np.ndarray) -> list[int]:
    """The distinct codes, in increasing order."""
    if codes.size <= UNIQUE_UP_TO:
        found: list[int] = np.unique(codes).tolist()
    else:
        met = np.zeros(int(codes.max()) + 1, dtype=bool)
        met[codes] = True
        found = np.flatnonzero(met).tolist()
    return found


class _Numbering:
    """The names of a run's element codes numbered after the header keys and
    the count: each name's number, its codes and its kinds."""

    __slots__ = ("number", "codes_of", "kinds", "codes", "numbers", "_queries")

    def __init__(self, tables: _morvane.TableSet, header_keys: tuple[str, ...], distinct: list[int]) -> None:
        self.number = {name: i for i, name in enumerate((*header_keys, COUNT_NAME))}
        self.codes_of: dict[str, list[int]] = {}
        self.kinds: dict[str, set[str]] = {}
        named, numbers = [], []
        for code, found in zip(distinct, NAMES.get_all(tables, distinct)):
            if found is not None:
                named.append(code)
                numbers.append(self.number.setdefault(found[0], len(self.number)))
                self.codes_of.setdefault(found[0], []).append(code)
                self.kinds.setdefault(found[0], set()).add(found[1])
        self.codes = np.array(named, dtype=np.intp)
        self.numbers = np.array(numbers, dtype=np.int32)
        self._queries: dict[tuple[frozenset[str], tuple[str, ...]], tuple[bytes, np.ndarray]] = {}

    def for_query(self, keys: frozenset[str], gathered: Sequence[str]) -> tuple[bytes, np.ndarray]:
        """Whether each name is a key of the query (as bytes for the row
        cutting), and each name's gathered slot (-1 for none)."""
        query = (keys, tuple(gathered))
        found = self._queries.get(query)
        if found is None:
            if len(self._queries) >= QUERIES_KEPT:
                self._queries.clear()
            names = list(self.number)
            slot = {key: j for j, key in enumerate(gathered)}
            found = self._queries[query] = (
                np.array([k in keys for k in names], dtype=np.uint8).tobytes(),
                np.array([slot.get(name, -1) for name in names], dtype=np.intp))
            found[1].flags.writeable = False
        return found


# Numberings by table set, header keys and distinct codes: runs of one kind
# of message, read file after file, meet the same codes each time.
_NUMBERINGS: dict[tuple[int, tuple[str, ...], tuple[int, ...]], _Numbering] = {}
_NUMBERINGS_KEPT = 256
QUERIES_KEPT = 16
NAMES.forget.append(_NUMBERINGS.clear)


def _numbering(tables: _morvane.TableSet, header_keys: tuple[str, ...], distinct: list[int]) -> _Numbering:
    key = (id(tables), header_keys, tuple(distinct))
    found = _NUMBERINGS.get(key)
    if found is None:
        if len(_NUMBERINGS) >= _NUMBERINGS_KEPT:
            _NUMBERINGS.clear()  # bounded, whatever the input
        NAMES.table(tables)  # held while its id keys numberings
        found = _NUMBERINGS[key] = _Numbering(tables, header_keys, distinct)
    return found


class RunRows:
    """The rows of a run: for each row and gathered key, the item holding its
    value, a header reference (< 0) or ABSENT; the kinds of the keys."""

    def __init__(self, items: Items, tables: _morvane.TableSet, query: Query, gathered: Sequence[str]) -> None:
        from . import _columnar

        self.items = items
        codes = items.codes
        distinct = _distinct(codes[codes < ELEMENT_CODES])
        numbering = _numbering(tables, query.header_keys, distinct)
        # (shared by the reads of these codes: none changes them)
        number, codes_of, self.kinds = numbering.number, numbering.codes_of, numbering.kinds
        # element codes (below 100000) numbered through a table indexed by
        # code, up to the highest met (the cutting takes codes past it as unnamed)
        code_numbers = np.full(distinct[-1] + 1 if distinct else 1, -1, dtype=np.int32)
        code_numbers[numbering.codes] = numbering.numbers
        self.key_names = list(number)
        outcomes = np.zeros(items.codes.size, dtype=np.uint8)
        header_outcomes = np.array([1 if k in query.walk_filters else 0 for k in query.header_keys], dtype=np.uint8)
        filter_numbers = []
        self.empty = False
        for key, condition in query.walk_filters.items():
            if key not in number:
                self.empty = True  # a filtered key no subset holds: no row
                continue
            filter_numbers.append(number[key])
            if key in query.header_keys or key == COUNT_KEY:
                continue  # passed before the messages were decoded
            at = np.flatnonzero(np.isin(codes, codes_of.get(key, [])))
            values, present = items.values[at], items.present[at]
            if "text" in self.kinds.get(key, ()):
                values = items.texts(values, present)
            outcomes[at] = np.where(condition.matches(values, present), 1, 2)
        wanted, slot_of = numbering.for_query(query.keys, gathered)
        starts, entry_names, references, row_subsets = _columnar.cut_subsets(
            items.raw_codes, code_numbers.tobytes(), outcomes.tobytes(), items.raw_starts, wanted,
            np.arange(len(query.header_keys), dtype=np.int32).tobytes(), header_outcomes.tobytes(),
            np.array(filter_numbers, dtype=np.int32).tobytes(),
            number[COUNT_NAME] if COUNT_KEY in query.keys else -1, COUNT, 1)
        self.cut = (np.frombuffer(starts, dtype=np.int64), np.frombuffer(entry_names, dtype=np.int32),
                    np.frombuffer(references, dtype=np.int64))
        self.row_subsets = np.frombuffer(row_subsets, dtype=np.uint64).astype(np.intp)
        if self.empty:
            self.cut = (np.zeros(1, dtype=np.int64), np.zeros(0, dtype=np.int32), np.zeros(0, dtype=np.int64))
            self.row_subsets = np.zeros(0, dtype=np.intp)
        # (row, gathered key) table of references
        row_starts, entry_names_, refs = self.cut
        rows = row_starts.size - 1
        slots = slot_of[entry_names_]
        chosen = slots >= 0
        row_of = np.repeat(np.arange(rows), np.diff(row_starts))
        self._keys: tuple[np.ndarray, list[bool], list[bool], np.ndarray, np.ndarray] | None = None
        self.where = np.full((rows, len(gathered)), ABSENT, dtype=np.int64)
        self.where[row_of[chosen], slots[chosen]] = refs[chosen]

    def chunk(self, run: Run) -> FlatChunk:
        owners = self.items.owners()[self.row_subsets]
        return FlatChunk(run.numbers[owners], self.row_subsets, self.cut, self.key_names)

    def key_values(self, j: int, key: str, run: Run) -> tuple[np.ndarray, np.ndarray, np.ndarray, set[str]]:
        """(values, held, valid, kinds) of the j-th gathered key on every row."""
        items = self.items
        if self._keys is None:
            # every key's at once: whether its rows hold it, whether some
            # row holds it as data, its validity and its values
            where = self.where
            held_all, data_all = where != ABSENT, where >= 0
            any_data = data_all.any(axis=0).tolist()
            # (no item to read when no key is data)
            valid_all: np.ndarray = data_all
            values_all: np.ndarray = data_all
            if any(any_data):
                chosen_all = np.where(data_all, where, 0)
                valid_all, values_all = data_all & items.present[chosen_all], items.values[chosen_all]
            self._keys = (held_all, held_all.any(axis=0).tolist(), any_data, valid_all, values_all)
        held_all, any_held, any_data, valid_all, values_all = self._keys
        held = held_all[:, j]
        if not any_held[j]:
            return np.full(held.size, np.nan), held, held, set()
        if any_data[j]:
            valid, values = valid_all[:, j], values_all[:, j]
            kinds = self.kinds.get(key, set())
            if "text" in kinds:
                values = items.texts(values, valid)
            return values, held, valid, kinds
        owners = items.owners()[self.row_subsets]
        by_message, present, is_text = run.column(key)
        # A key the header lacks is not held, as a data key would not be.
        held = held & present[owners]
        return by_message[owners], held, held, {"text" if is_text else "int"}
