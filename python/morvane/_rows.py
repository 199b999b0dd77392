"""Rows from the structure of a subset, the way pdbufr makes them.

A subset is a sequence of keys. Each coordinate-like element (classes 1 to
9: station, time, position, vertical coordinate, channel, ...) opens a level
below the current one; when the same coordinate comes again, the level goes
back to where it first opened. A row is the set of wanted keys seen so far
on the path to the current level; it is emitted when a key comes at a level
that closes it (a shallower level, or a key already held at the same level)
and at the end of the subset. A filter that fails at some level hides the
keys below it until a key at its level or above comes.

This only looks at which keys come where, never at values: the outcome of
each filter is given as a pattern, so one template and one pattern give the
same rows for every subset that shares them.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _columnar

# A reference to a value: >= 0 is a position in the subset's keys,
# HEADER - i is the i-th header key, COUNT the message's count.
HEADER = -2
COUNT = -1
COUNT_NAME = "count"

Plan = dict[str, int]
# (start of each row plus the end, name number of each key, reference of each key)
Cut = tuple[np.ndarray, np.ndarray, np.ndarray]


class Walk:
    """The wanted keys of one template, ready to be cut into rows. Keys are
    numbered: `key_names[i]` is the name of number i."""

    __slots__ = ("key_names", "step_names", "step_levels", "step_references", "filter_steps",
                 "header_filter_steps", "filter_positions", "wanted", "column_of", "_blocks",
                 "_filter_names_at", "layouts")

    def __init__(self, key_names: list[str], step_names: np.ndarray, step_levels: np.ndarray,
                 step_references: np.ndarray, filtered: np.ndarray) -> None:
        self.key_names = key_names
        self.step_names = step_names.astype(np.int32)
        self.step_levels = step_levels.astype(np.int32)
        self.step_references = step_references.astype(np.int64)
        data = self.step_references >= 0
        self.filter_steps = np.flatnonzero(filtered & data)        # data steps whose key is filtered
        self.header_filter_steps = np.flatnonzero(filtered & ~data)
        # data positions whose key is filtered, and those whose values are used
        self.filter_positions: list[int] = self.step_references[self.filter_steps].tolist()
        self.wanted: list[int] = self.step_references[data].tolist()
        self.column_of = {ref: i for i, ref in enumerate(self.wanted)}
        self._filter_names_at = [key_names[i] for i in self.step_names[self.filter_steps].tolist()]
        self._blocks: dict[str, tuple[list[int], list[int], bool]] | None = None
        # the rows of each filter outcome, as the reader lays them out
        self.layouts: dict[tuple[bytes, tuple[str, ...], bool], Any] = {}

    def filter_blocks(self, text_positions: frozenset[int]
                      ) -> dict[str, tuple[list[int], list[int], bool]]:
        """Per filtered key: its slots among the filter positions, its gathered
        columns, and whether it is text."""
        found = self._blocks
        if found is None:
            found = {}
            for slot, (position, name) in enumerate(zip(self.filter_positions, self._filter_names_at)):
                entry = found.setdefault(name, ([], [], position in text_positions))
                entry[0].append(slot)
                entry[1].append(self.column_of[position])
            self._blocks = found
        return found

    def cut(self, filter_names: frozenset[str], passed: np.ndarray, with_count: bool) -> Cut:
        """The rows of a subset whose filtered keys passed (True) or failed as
        `passed` (one per filter position) says."""
        number = {name: i for i, name in enumerate(self.key_names)}
        count_name = number[COUNT_NAME] if with_count else -1
        filter_numbers = np.array([number[f] for f in sorted(filter_names) if f in number], dtype=np.int32)
        if len(filter_numbers) < len(filter_names):
            # a filtered key the template lacks: no row holds it
            return np.zeros(1, dtype=np.int64), np.zeros(0, dtype=np.int32), np.zeros(0, dtype=np.int64)
        outcome = np.zeros(self.step_names.size, dtype=np.uint8)
        outcome[self.header_filter_steps] = 1  # header filters were passed before decoding
        outcome[self.filter_steps] = np.where(np.asarray(passed, dtype=bool), 1, 2)
        starts, names, references = _columnar.cut_rows(
            self.step_names.tobytes(), self.step_levels.tobytes(), self.step_references.tobytes(),
            outcome.tobytes(), filter_numbers.tobytes(), count_name, COUNT)
        return (np.frombuffer(starts, dtype=np.int64), np.frombuffer(names, dtype=np.int32),
                np.frombuffer(references, dtype=np.int64))

    def plans(self, filter_names: frozenset[str], passed: dict[int, bool], with_count: bool) -> list[Plan]:
        """The rows as {key: reference}, one per row."""
        starts, names, references = self.cut(filter_names, np.array([passed[p] for p in self.filter_positions],
                                                                     dtype=bool), with_count)
        bounds, keys, refs = starts.tolist(), names.tolist(), references.tolist()
        return [{self.key_names[keys[i]]: refs[i] for i in range(bounds[r], bounds[r + 1])}
                for r in range(len(bounds) - 1)]


def make_walk(codes: Sequence[int], names: Sequence[str], first_level: int,
              header_keys: Sequence[str], wanted: frozenset[str],
              filter_names: frozenset[str]) -> Walk:
    number: dict[str, int] = {}
    for name in (*header_keys, COUNT_NAME):
        number.setdefault(name, len(number))
    code_array = np.asarray(codes, dtype=np.int64)
    # A code has one name: keys are numbered through their distinct codes.
    distinct, first, inverse = np.unique(code_array, return_index=True, return_inverse=True)
    distinct_names = [names[i] for i in first.tolist()]
    distinct_numbers = np.array([number.setdefault(n, len(number)) for n in distinct_names], dtype=np.int32)
    key_numbers = distinct_numbers[inverse.reshape(-1)] if code_array.size else np.zeros(0, dtype=np.int32)
    key_level = np.frombuffer(_columnar.key_levels(code_array.tobytes(), key_numbers.tobytes(), first_level),
                              dtype=np.int32)
    is_wanted = np.array([n in wanted for n in distinct_names], dtype=bool)
    positions = np.flatnonzero(is_wanted[inverse.reshape(-1)]) if code_array.size else np.zeros(0, dtype=np.intp)
    key_names = list(number)
    headers = len(header_keys)
    step_names = np.concatenate([np.arange(headers, dtype=np.int32), key_numbers[positions]])
    step_levels = np.concatenate([np.zeros(headers, dtype=np.int32), key_level[positions]])
    step_references = np.concatenate([HEADER - np.arange(headers, dtype=np.int64), positions.astype(np.int64)])
    filtered_names = np.array([n in filter_names for n in key_names], dtype=bool)
    return Walk(key_names, step_names, step_levels, step_references, filtered_names[step_names])
