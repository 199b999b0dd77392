"""read_bufr's frame straight from one batch, for the reads most made: a
small file of compressed messages with the same descriptors, no filters,
and one row per subset holding every key asked for. Such a read's rows are
the batch's rows and its columns the batch's columns, so the templates' row
cutting, the per-chunk pieces and their joining are left out. Anything else
goes the general way, with the same frame.

Also here: what every read does with its columns once gathered (computed
keys, the rows kept, the frame), whichever way they were gathered.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from itertools import repeat
from typing import Any

import numpy as np

from . import _columnar, _computed, _groups
from ._dataframe import Column, count_true, frame_of
from ._query import COUNT_KEY, Query
from ._reader import Message
from ._runs import RUN_BYTES, RUN_SUBSETS, in_batches

Computed = dict[str, tuple[np.ndarray, np.ndarray]]
Counted = tuple[int, Message]
# The one filter outcome of subsets when nothing is filtered.
NO_FILTER = np.zeros(0, dtype=bool)
NO_FILTER.flags.writeable = False
# The kind of each computed key's column.
COMPUTED_KINDS = {key: "datetime" if key == "data_datetime" else "int" for key in _computed.COMPUTE}


def kept_rows(q: Query, parts: dict[str, _computed.Part], n: int,
              everywhere: np.ndarray | None = None) -> tuple[Computed, np.ndarray]:
    """The computed keys' (values, exists) and which of the `n` rows pass
    their filters and hold the required keys; `everywhere`, if given, is
    the parts' held rows where every row holds them, which says they are
    a batch's: each array a run of its type."""
    keep = np.empty(n, dtype=bool)
    keep.fill(True)  # (numpy.ones is a Python function, at a cost a small read feels)
    computed: Computed = {}
    for key in q.computed:
        value, exists = _computed.COMPUTE[key](parts, n, everywhere is not None)
        computed[key] = (value, exists)
        condition = q.filters.get(key)
        if condition is not None:
            keep &= exists & condition.matches(value.astype(object) if key == "data_datetime"
                                               else value, exists)
    for key in q.required:
        if key in computed:
            keep &= computed[key][1]
        elif key in parts:
            if parts[key][1] is not everywhere:
                keep &= parts[key][1]
        else:
            keep[:] = False
    return computed, keep


def frame_of_parts(q: Query, keys: list[str], computed: Computed, parts: dict[str, _computed.Part],
                   kind: Callable[[str], str], selection: np.ndarray | None, n: int) -> Any:
    """The frame of `keys` in order, of the rows `selection` picks (every
    row of the `n` when None); `kind` tells a gathered key's kind."""
    columns: list[Column | None] = []
    for key in keys:
        # (no array kept here: the frame takes the columns one by one)
        if key in computed:
            values, valid = computed.pop(key)
            key_kind = COMPUTED_KINDS[key]
        else:
            values, _, valid = parts.pop(key)
            key_kind = kind(key)
        if selection is not None:
            values, valid = values[selection], valid[selection]
        columns.append((key, values, valid, key_kind))
    parts.clear()
    if not columns:
        return no_columns(q)
    return frame_of(columns, n if selection is None else selection.size, owned=selection is not None)


def no_columns(q: Query) -> Any:
    """The frame of a read no row of which holds a key asked for."""
    import pandas as pd

    return pd.DataFrame(columns=list(q.columns))


def may_take(q: Query) -> bool:
    """Whether a read of this query may be made from one batch: nothing
    filtered, and no header key or count, which come per message."""
    return not q.filters and not q.header_keys and COUNT_KEY not in q.keys


def read_whole(messages: Iterator[Counted], collector: Any) -> tuple[Any, list[Counted], Any]:
    """The frame of every message still to come, made from one batch; or,
    when that cannot be, None, the messages taken and their batch. The
    batch is None when they are not one batch of the kind this reads or do
    not decode: the last message taken is then the first the general way
    is to read on its own terms, the rest after it. Otherwise the batch is
    the messages' own, decoded, for the general way to cut into rows."""
    taken: list[Counted] = []
    first: Any = None
    size = subsets = 0
    for count, msg in messages:
        taken.append((count, msg))
        if not in_batches(msg):
            return None, taken, None
        m = msg.message
        assert m is not None  # (parsed, or it would not go in batches)
        key = (id(msg.tables), tuple(m.unexpanded_descriptors))
        if first is None:
            first = key
        elif key != first:
            return None, taken, None
        size += len(msg.data)
        subsets += m.number_of_subsets
        # (the general way would cut a run there: its frame is made of pieces)
        if size >= RUN_BYTES or subsets >= RUN_SUBSETS:
            return None, taken, None
    if not taken:
        return None, taken, None
    q: Query = collector.query
    tables = taken[0][1].tables
    try:
        batch = _columnar.decode_keys([(msg.data, tables) for _, msg in taken], q.keys)
    except ValueError:
        return None, taken, None  # the general way tells which message and why
    return batch_frame(taken, batch, collector), taken, batch


def batch_frame(messages: list[Counted], batch: Any, collector: Any) -> Any:
    """The frame of the messages (compressed, with the same tables and
    descriptors) decoded as one batch; None when its rows are not the
    batch's rows."""
    q: Query = collector.query
    n = batch.num_rows
    if n == 0:
        return None
    tables = messages[0][1].tables
    elements = _groups.elements_of(batch, tables)
    factors = elements.factors
    # (a message alone is never checked: its subsets share their counts)
    if len(messages) > 1 and factors and not _columnar.counts_agree(batch, factors):
        return None
    plan = _plan(collector, tables, elements)
    if plan is None:
        return None  # not a row per subset
    numbers = np.empty((len(plan.columns), n))
    valid = np.empty((len(plan.columns), n), dtype=bool)
    _columnar.key_arrays(batch, plan.columns, numbers, valid)
    held = np.empty(n, dtype=bool)
    held.fill(True)
    # (a 2-d array's rows, all made in one call)
    parts: dict[str, _computed.Part] = dict(zip(plan.present, zip(list(numbers), repeat(held), list(valid))))
    kinds = plan.kinds
    for key, position in plan.texts:
        ok = parts[key][2]
        if count_true(ok):
            parts[key] = (np.array(batch.values(position), dtype=object), held, ok)
            continue
        # (object arrays are made holding None: no text made of a column all
        # missing, nor filled again as the frame takes it)
        parts[key] = (np.empty(n, dtype=object), held, ok)
        if kinds is plan.kinds:
            kinds = dict(kinds)  # (this read's own)
        kinds[key] = "missing"
    if plan.absent:
        nowhere = np.zeros(n, dtype=bool)
        for key in plan.absent:
            parts[key] = (np.full(n, np.nan), nowhere, nowhere)
    wanted, shown = q.column_set, plan.shown
    computed, keep = kept_rows(q, parts, n, held)
    if count_true(keep) < n:
        order: list[str] = []
        if count_true(keep):
            # the row's keys, then the computed ones some kept row holds
            order = shown + [key for key, (_, exists) in computed.items()
                             if key in wanted and count_true(exists & keep)]
        return frame_of_parts(q, order, computed, parts, kinds.__getitem__, np.flatnonzero(keep), n)
    # every row: the columns as they are, with the computed ones some row holds
    columns: list[Column | None] = [(key, parts[key][0], parts[key][2], kinds[key]) for key in shown]
    columns += [(key, values, exists, COMPUTED_KINDS[key]) for key, (values, exists) in computed.items()
                if key in wanted and count_true(exists)]
    parts.clear()
    if not columns:
        return no_columns(q)
    f = plan.floats
    # (all made by this read: the frame may take them as they are)
    return frame_of(columns, n, owned=True, floats=(numbers[:f], valid[:f]))


class _Plan:
    """What the batches of one layout and element kinds give a query's
    frame: the keys shown, in the row's order; the keys held, the float ones
    shown first in that order (their values are then the frame's block of
    floats as they come), and their batch columns; the text ones among them,
    the keys the template lacks, and the kind of each key."""

    __slots__ = ("shown", "floats", "present", "columns", "texts", "absent", "kinds")

    def __init__(self, q: Query, layout: Any, element_kinds: list[str]) -> None:
        keys = layout.keys
        wanted = q.column_set
        self.shown = list(dict.fromkeys(key for key in layout.plan(0) if key in wanted))
        floats = [key for key in self.shown if element_kinds[keys[key][5]] == "float"]
        self.floats = len(floats)
        chosen = set(floats)
        self.present = floats + [key for key in q.gathered if key not in chosen and keys[key][0] == "data"]
        self.columns = [keys[key][5] for key in self.present]
        self.texts = [(key, position) for key, position in zip(self.present, self.columns)
                      if element_kinds[position] == "text"]
        self.absent = [key for key in q.gathered if keys[key][0] != "data"]
        self.kinds = {key: element_kinds[position] for key, position in zip(self.present, self.columns)}
        self.kinds.update((key, "float") for key in self.absent)


# Plans by the elements of their batches and the form of their query (None
# where a subset's rows are not one), each with the elements it was made of,
# held so that their id stays theirs while it is kept.
_PLANS: dict[tuple[int, tuple[Any, ...]], tuple[Any, _Plan | None]] = {}
_PLANS_KEPT = 256


def _plan(collector: Any, tables: Any, elements: Any) -> _Plan | None:
    q: Query = collector.query
    key = (id(elements), q.layout_form)
    found = _PLANS.get(key)
    if found is None or found[0] is not elements:
        if len(_PLANS) >= _PLANS_KEPT:
            _PLANS.clear()  # bounded, whatever the input
        layout = collector.layout(collector.walk(tables, elements.codes, elements.names, 0), NO_FILTER)
        found = _PLANS[key] = (elements, _Plan(q, layout, elements.kinds) if layout.rows_per_subset == 1
                               else None)
    return found[1]
