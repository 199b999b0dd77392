"""The pieces read_bufr's rows come in, and where their values come from.

A chunk is a block of consecutive rows: either subsets sharing a template
and filter pattern (a `Layout` says which keys each of their rows holds), or
every row of a run of messages cut at once. Both tell the frame the order
of their rows (message, subset, row within the subset) and the keys of
each row, which decide the order of the columns.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._query import COUNT_KEY
from ._rows import Cut, Walk

ABSENT = -(1 << 40)
# where a key comes from, its gathered column on each row, which rows hold
# it, whether all do, those rows as bytes, its template position on the
# first row holding it and, when a subset has one row, its gathered column
# (-1 when not data)
KeyRows = tuple[str, np.ndarray, np.ndarray, bool, bytes, int, int]


class Layout:
    """Where each gathered key comes from in the rows of one template and
    filter pattern: the gathered column of each row, and whether the row
    holds the key."""

    def __init__(self, cut: Cut, gathered: Sequence[str], walk: Walk) -> None:
        starts, names, refs = cut
        self.rows_per_subset = starts.size - 1
        self._starts = starts.tolist()
        self._names = names
        self._key_names = walk.key_names
        self._plans: dict[int, tuple[str, ...]] = {}
        slot = {key: i for i, key in enumerate(gathered)}
        # every (row, key, reference) of the rows at once
        slot_of = np.array([slot.get(name, -1) for name in walk.key_names], dtype=np.intp)
        row_of = np.repeat(np.arange(self.rows_per_subset), np.diff(starts))
        slots = slot_of[names]
        wanted = slots >= 0
        table = np.full((self.rows_per_subset, len(gathered)), ABSENT, dtype=np.int64)
        table[row_of[wanted], slots[wanted]] = refs[wanted]
        self.table = table  # (row, gathered key): position, header reference or ABSENT
        self._wanted = walk.wanted
        self._keys: dict[str, KeyRows] | None = None
        # what each key is on the first row that holds it: data (its position), header or absent
        held = table != ABSENT
        first = (table[held.argmax(axis=0), np.arange(len(gathered))].tolist() if self.rows_per_subset
                 else [ABSENT] * len(gathered))
        self.first_position: dict[str, int] = {}
        self.where: dict[str, str] = {}
        for key, j, any_held in zip(gathered, range(len(gathered)), held.any(axis=0).tolist()):
            if not any_held:
                self.where[key] = "absent"
            elif first[j] < 0:
                self.where[key] = "header"
            else:
                self.where[key] = "data"
                self.first_position[key] = first[j]

    @property
    def keys(self) -> dict[str, KeyRows]:
        """Per key: where it comes from, its gathered column on each row,
        which rows hold it, whether all of them do, those rows as bytes
        (keys with the same rows share their repetitions over the subsets),
        its first position and its one column (see KeyRows)."""
        found = self._keys
        if found is None:
            found = self._keys = {}
            wanted = self._wanted
            index_of = np.zeros(max(wanted, default=0) + 1, dtype=np.intp)
            if wanted:
                index_of[np.array(wanted)] = np.arange(len(wanted))
            for j, (key, where) in enumerate(self.where.items()):
                column = self.table[:, j]
                held = column != ABSENT
                cols = index_of[np.where(held, column, 0)] if where == "data" else held
                # Layouts serve every read of their template, and a read takes
                # these as rows of its own: read-only, so none can change them.
                held.flags.writeable = cols.flags.writeable = False
                position = self.first_position.get(key, -1)
                one = int(cols[0]) if where == "data" and self.rows_per_subset == 1 else -1
                found[key] = (where, cols, held, bool(held.all()), held.tobytes(), position, one)
        return found

    def plan(self, row: int) -> tuple[str, ...]:
        """The keys of one row, in order (kept: a layout serves many reads)."""
        found = self._plans.get(row)
        if found is None:
            names = self._key_names
            found = self._plans[row] = tuple([names[i] for i in
                                              self._names[self._starts[row]:self._starts[row + 1]].tolist()])
        return found


class Run:
    """Messages whose subsets are gathered together: the count and header
    values of each, as arrays by message."""

    def __init__(self, counts: list[int], headers: list[dict[str, Any]],
                 numbers: list[int] | None = None) -> None:
        self.counts = np.array(counts, dtype=np.int64)
        # what orders the messages' rows: their counts unless told
        self.numbers = self.counts if numbers is None else np.array(numbers, dtype=np.int64)
        self.headers = headers
        self._columns: dict[str, tuple[np.ndarray, np.ndarray, bool]] = {}

    def column(self, key: str) -> tuple[np.ndarray, np.ndarray, bool]:
        """Values by message, whether each is there, and whether they are text."""
        found = self._columns.get(key)
        if found is None:
            if key == COUNT_KEY:
                found = (self.counts.astype(np.float64), np.ones(self.counts.size, dtype=bool), False)
            else:
                given = [h.get(key) for h in self.headers]
                valid = np.array([v is not None for v in given], dtype=bool)
                if any(isinstance(v, str) for v in given):
                    found = (np.array(given, dtype=object), valid, True)
                else:
                    found = (np.array([np.nan if v is None else float(v) for v in given]), valid, False)
            self._columns[key] = found
        return found




class GroupChunk:
    """Subsets of one group with the same layout, each giving the same rows."""

    __slots__ = ("messages", "subsets", "per_subset", "layout")

    def __init__(self, messages: np.ndarray, subsets: np.ndarray, per_subset: int, layout: Layout) -> None:
        self.messages = messages  # the message count of each subset
        self.subsets = subsets
        self.per_subset = per_subset
        self.layout = layout

    @property
    def rows(self) -> int:
        return self.subsets.size * self.per_subset

    def order(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        per = self.per_subset
        return (np.repeat(self.messages, per), np.repeat(self.subsets, per),
                np.tile(np.arange(per), self.subsets.size))

    def first_rows(self, kept: np.ndarray, ranks: np.ndarray, none: int | None = None) -> np.ndarray:
        """Per plan (set of keys, here a row of each subset), the least rank
        of its kept rows; `none` (the number of rows if not given) where no
        row is kept."""
        none = kept.size if none is None else none
        return np.where(kept, ranks, none).reshape(-1, self.per_subset).min(axis=0)

    def kept_plans(self, kept: np.ndarray) -> list[int]:
        """The plans of the kept rows (some are), by their first kept row."""
        if self.per_subset == 1:
            return [0]
        first = self.first_rows(kept, np.arange(kept.size))
        plans = np.flatnonzero(first < kept.size)
        order: list[int] = plans[np.argsort(first[plans], kind="stable")].tolist()
        return order

    def plan_holds(self, held: np.ndarray, plan: int) -> bool:
        return bool(held.reshape(-1, self.per_subset)[:, plan].any())

    def plan_keys(self, plan: int) -> tuple[str, ...]:
        return self.layout.plan(plan)


class FlatChunk:
    """Rows of a run cut subset by subset, each row its own plan."""

    __slots__ = ("messages", "subsets", "starts", "names", "key_names")

    def __init__(self, messages: np.ndarray, subsets: np.ndarray, cut: Cut, key_names: list[str]) -> None:
        self.messages = messages  # the message count of each row
        self.subsets = subsets    # the subset of each row, numbered across the run
        self.starts = cut[0].tolist()
        self.names = cut[1]
        self.key_names = key_names

    @property
    def rows(self) -> int:
        return self.subsets.size

    def order(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        n = self.subsets.size
        first = np.flatnonzero(np.r_[True, self.subsets[1:] != self.subsets[:-1]]) if n else np.zeros(0, np.intp)
        ranks = np.arange(n) - np.repeat(first, np.diff(np.r_[first, n]))
        return self.messages, self.subsets, ranks

    def first_rows(self, kept: np.ndarray, ranks: np.ndarray, none: int | None = None) -> np.ndarray:
        return np.where(kept, ranks, kept.size if none is None else none)

    def kept_plans(self, kept: np.ndarray) -> list[int]:
        # each row a plan of its own: their first rows are in order
        plans: list[int] = np.flatnonzero(kept).tolist()
        return plans

    def plan_holds(self, held: np.ndarray, plan: int) -> bool:
        return bool(held[plan])

    def plan_keys(self, plan: int) -> list[str]:
        names = self.key_names
        return [names[i] for i in self.names[self.starts[plan]:self.starts[plan + 1]].tolist()]


Chunk = Any  # GroupChunk | FlatChunk
