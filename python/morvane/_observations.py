"""`read_bufr`: chosen keys of BUFR messages as a pandas DataFrame, row by
row as pdbufr makes them (needs numpy and pandas).

The structure of a template (its sequence of keys) is cut into rows once
(`_rows`); the values of every subset sharing that template are then
gathered with NumPy, so no Python work is done per value.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any

import numpy as np

import _morvane

from . import _computed
from ._query import COUNT_KEY, HEADER_KEYS, Query
from ._reader import Message, MessageError, decoding_problem, read
from ._rows import Cut, Walk, make_walk
from . import _groups
from ._groups import Group, message_groups
from ._items import ItemGroup, Items
from ._tables import Tables, as_tables

TEXT_HEADER_KEYS = frozenset({"typicalDate", "typicalTime"})
INTEGER_TYPES = frozenset({"long", "table", "flag"})


class _Column:
    """One output key's pieces, chunk by chunk."""

    __slots__ = ("values", "held", "valid", "kinds")

    def __init__(self) -> None:
        self.values: list[np.ndarray] = []
        self.held: list[np.ndarray] = []
        self.valid: list[np.ndarray] = []
        self.kinds: set[str] = set()


ABSENT = -(1 << 40)


class _Layout:
    """Where each gathered key comes from in the rows of one template and
    filter pattern: the gathered column of each row, and whether the row
    holds the key."""

    def __init__(self, cut: Cut, gathered: list[str], walk: Walk) -> None:
        starts, names, refs = cut
        self.rows_per_subset = starts.size - 1
        self._starts = starts.tolist()
        self._names = names
        self._key_names = walk.key_names
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
        self._keys: dict[str, tuple[str, np.ndarray, np.ndarray]] | None = None
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
    def keys(self) -> dict[str, tuple[str, np.ndarray, np.ndarray]]:
        """Per key: where it comes from, its gathered column on each row, and
        which rows hold it."""
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
                found[key] = (where, index_of[np.where(held, column, 0)] if where == "data" else held, held)
        return found

    def plan(self, row: int) -> list[str]:
        """The keys of one row, in order."""
        names = self._key_names
        return [names[i] for i in self._names[self._starts[row]:self._starts[row + 1]].tolist()]


class _Run:
    """Messages whose subsets are gathered together: the count and header
    values of each, as arrays by message."""

    def __init__(self, counts: list[int], headers: list[dict[str, Any]]) -> None:
        self.counts = np.array(counts, dtype=np.int64)
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


class _RunRows:
    """The rows of a run of items, chunk by chunk as item numbers, gathered
    key by key once the run is through."""

    def __init__(self, items: Items, run: _Run, width: int) -> None:
        self.items = items
        self.run = run
        self.width = width
        self.where: list[np.ndarray] = []   # (rows, keys): item number, header reference or ABSENT
        self.owners: list[np.ndarray] = []  # message of each row

    def add(self, layout: "_Layout", group: ItemGroup, subsets: np.ndarray, owners: np.ndarray) -> None:
        table = layout.table
        data = table >= 0
        offsets = np.where(data, group.index[np.where(data, table, 0)], table)
        first = self.items.subset_starts[subsets]
        where = np.where(data, first[:, None, None] + offsets, offsets).reshape(-1, self.width)
        self.where.append(where)
        self.owners.append(np.repeat(owners, layout.rows_per_subset))

    def finish(self, collector: "_Collector") -> None:
        if not self.where:
            return
        where = np.concatenate(self.where)
        owners = np.concatenate(self.owners)
        items = self.items
        for j, key in enumerate(collector.gathered):
            column = collector.columns[key]
            at = where[:, j]
            held = at != ABSENT
            if not held.any():
                column.values.append(np.full(at.size, np.nan))
                column.held.append(held)
                column.valid.append(held)
                continue
            data = at >= 0
            if data.any():
                chosen = np.where(data, at, 0)
                valid = data & items.present[chosen]
                values = items.values[chosen]
                if "text" in column.kinds:
                    values = items.texts(values, valid)
            else:
                by_message, present, is_text = self.run.column(key)
                values = by_message[owners]
                valid = held & present[owners]
                column.kinds.add("text" if is_text else "int")
            column.values.append(values)
            column.held.append(held)
            column.valid.append(valid)


class _Collector:
    def __init__(self, query: Query) -> None:
        self.query = query
        self.gathered = sorted(set(query.columns) | {p for k in query.computed
                                                     for p in _computed_parts(k)}
                               - set(query.computed))
        self.columns = {k: _Column() for k in self.gathered}
        self.walks: dict[tuple[Any, ...], Walk] = {}
        self.keep_alive: dict[int, Any] = {}
        self.layouts: dict[tuple[int, bytes], _Layout] = {}
        # (message of each subset, subsets, rows per subset, columns of each row) of each chunk
        self.chunks: list[tuple[np.ndarray, np.ndarray, int, _Layout]] = []
        self.rows = 0
        self.reordered = False

    # -- one message ----------------------------------------------------------
    def add(self, count: int, msg: Message) -> None:
        run = _Run([count], [_header_values(msg, self.query)])
        tables = msg.tables
        self.keep_alive[id(tables)] = tables
        chunks_before = len(self.chunks)
        for group in message_groups(msg, self.query.data_keys()):
            self._add_group(run, np.zeros(group.subsets.size, dtype=np.intp), tables, group)
        if len(self.chunks) - chunks_before > 1:
            self.reordered = True

    # -- many uncompressed messages at once -------------------------------------
    def add_run(self, messages: list[tuple[int, Message]]) -> list[tuple[int, Message, str]]:
        """Adds the messages' rows; returns (count, message, problem) of those
        that do not decode, which add nothing."""
        tables = [msg.tables for _, msg in messages]
        for t in tables:
            self.keep_alive[id(t)] = t
        items = Items([(msg.data, t) for (_, msg), t in zip(messages, tables)])
        run = _Run([count for count, _ in messages], [_header_values(msg, self.query) for _, msg in messages])
        owners = items.owners()
        chunks_before = len(self.chunks)
        rows = _RunRows(items, run, len(self.gathered))
        for group in items.groups(tables):
            self._add_group(run, owners[group.subsets], tables[int(owners[group.subsets[0]])], group, rows)
        if len(self.chunks) - chunks_before > 1:
            self.reordered = True
        rows.finish(self)
        return [(messages[i][0], messages[i][1], text) for i, text in items.failures]

    def _walk(self, tables: _morvane.TableSet, group: Group) -> Walk:
        key = (id(tables), group.first_level, group.codes)
        walk = self.walks.get(key)
        if walk is None:
            q = self.query
            walk = self.walks[key] = make_walk(group.codes, group.names, group.first_level,
                                               q.header_keys, q.keys, frozenset(q.walk_filters))
        return walk

    def _add_group(self, run: _Run, owners: np.ndarray, tables: _morvane.TableSet, group: Group,
                   rows: "_RunRows | None" = None) -> None:
        """The group's rows: gathered here, or by `rows` for a run of items
        (which then needs values only to test filters)."""
        q = self.query
        walk = self._walk(tables, group)
        n = group.subsets.size
        if rows is None or walk.filter_positions:
            numbers, valid, texts = group.gather(walk.wanted)
        # filter outcomes per subset, one pattern per distinct outcome
        filter_positions = walk.filter_positions
        if filter_positions:
            outcome = np.empty((n, len(filter_positions)), dtype=bool)
            # each filter tested once on all the positions of its key
            for name, (slots, cols, text) in walk.filter_blocks(group.text_positions).items():
                block = (texts if text else numbers)[:, cols]  # type: ignore[index]
                outcome[:, slots] = q.walk_filters[name].matches(block, valid[:, cols])
            if n == 1:
                patterns, inverse = outcome, np.zeros(1, dtype=np.intp)
            else:
                patterns, inverse = np.unique(outcome, axis=0, return_inverse=True)
                inverse = inverse.reshape(-1)
        else:
            patterns, inverse = np.zeros((1, 0), dtype=bool), np.zeros(n, dtype=np.intp)
        filter_names = frozenset(q.walk_filters)
        with_count = COUNT_KEY in q.keys
        for k, pattern in enumerate(patterns):
            key = pattern.tobytes()
            layout = self.layouts.get((id(walk), key))
            if layout is None:
                layout = self.layouts[(id(walk), key)] = _Layout(walk.cut(filter_names, pattern, with_count),
                                                                 self.gathered, walk)
            if not layout.rows_per_subset:
                continue
            chosen = np.flatnonzero(inverse == k) if len(patterns) > 1 else None
            if rows is None:
                self._add_chunk(run, owners, group, layout, chosen, numbers, valid, texts)
            else:
                self._add_run_chunk(rows, run, owners, group, layout, chosen)

    def _add_run_chunk(self, rows: "_RunRows", run: _Run, owners: np.ndarray, group: Group,
                       layout: "_Layout", chosen: np.ndarray | None) -> None:
        assert isinstance(group, ItemGroup)
        subsets = group.subsets if chosen is None else group.subsets[chosen]
        if chosen is not None:
            owners = owners[chosen]
        for key, position in layout.first_position.items():
            self.columns[key].kinds.add("text" if position in group.text_positions else group.kind(position))
        rows.add(layout, group, subsets, owners)
        self.chunks.append((run.counts[owners], subsets, layout.rows_per_subset, layout))
        self.rows += subsets.size * layout.rows_per_subset

    def _add_chunk(self, run: _Run, owners: np.ndarray, group: Group,
                   layout: "_Layout", chosen: np.ndarray | None, numbers: np.ndarray,
                   valid: np.ndarray, texts: np.ndarray | None) -> None:
        per_subset = layout.rows_per_subset
        subsets = group.subsets.size if chosen is None else chosen.size
        if chosen is not None:
            owners = owners[chosen]
        total = subsets * per_subset
        for key, (where, cols, held) in layout.keys.items():
            column = self.columns[key]
            if where == "absent":
                column.values.append(np.full(total, np.nan))
                column.held.append(np.zeros(total, dtype=bool))
                column.valid.append(np.zeros(total, dtype=bool))
                continue
            held_rows = np.tile(held, subsets) if subsets > 1 else held
            if where == "header":
                by_message, present, is_text = run.column(key)
                if run.counts.size == 1:
                    values = np.full(total, by_message[0], dtype=by_message.dtype)
                    ok = held_rows & present[0]
                else:
                    values = np.repeat(by_message[owners], per_subset)
                    ok = held_rows & np.repeat(present[owners], per_subset)
                column.kinds.add("text" if is_text else "int")
                column.values.append(values)
                column.held.append(held_rows)
                column.valid.append(ok)
                continue
            position = layout.first_position[key]
            is_text = position in group.text_positions
            source = texts if is_text else numbers
            assert source is not None
            values = source[:, cols].reshape(-1) if chosen is None else source[chosen][:, cols].reshape(-1)
            ok = valid[:, cols].reshape(-1) if chosen is None else valid[chosen][:, cols].reshape(-1)
            column.values.append(values)
            column.held.append(held_rows)
            column.valid.append(ok & held_rows)
            column.kinds.add("text" if is_text else group.kind(position))
        self.chunks.append((run.counts[owners], group.subsets if chosen is None else group.subsets[chosen],
                            per_subset, layout))
        self.rows += total

    # -- the table ------------------------------------------------------------
    def frame(self) -> Any:
        import pandas as pd

        q = self.query
        n = self.rows
        parts: dict[str, _computed.Part] = {}
        for key, column in self.columns.items():
            if not column.values:
                continue
            values = _concat(column.values)
            column.values = []  # each piece freed once joined: the frame is what stays
            parts[key] = (values, np.concatenate(column.held), np.concatenate(column.valid))
            column.held, column.valid = [], []
        keep = np.ones(n, dtype=bool)
        computed: dict[str, tuple[np.ndarray, np.ndarray]] = {}
        for key in q.computed:
            value, exists = _computed.COMPUTE[key](parts, n)
            computed[key] = (value, exists)
            condition = q.filters.get(key)
            if condition is not None:
                keep &= exists & condition.matches(value.astype(object) if key == "data_datetime"
                                                   else value, exists)
        for key in q.required:
            if key in computed:
                keep &= computed[key][1]
            elif key in parts:
                keep &= parts[key][1]
            else:
                keep[:] = False
        order: np.ndarray | None = None
        if self.reordered and n:
            message = np.concatenate([np.repeat(c[0], c[2]) for c in self.chunks])
            subset = np.concatenate([np.repeat(c[1], c[2]) for c in self.chunks])
            row = np.concatenate([np.tile(np.arange(c[2]), c[1].size) for c in self.chunks])
            order = np.lexsort((row, subset, message))
            keep_sorted = keep[order]
            selection = order[keep_sorted]
        else:
            selection = np.flatnonzero(keep)
        everything = selection.size == n and order is None

        def chosen(array: np.ndarray) -> np.ndarray:
            return array if everything else array[selection]

        data: dict[str, Any] = {}
        for key in self._column_order(keep, computed, order):
            if key in computed:
                value, exists = computed.pop(key)
                data[key] = _finish(chosen(value), chosen(exists), "datetime" if key == "data_datetime"
                                    else "int")
            else:
                values, held, valid = parts.pop(key)
                data[key] = _finish(chosen(values), chosen(valid), _kind(self.columns[key].kinds))
        parts.clear()
        if not data:
            return pd.DataFrame(columns=list(q.columns))
        return pd.DataFrame(data)

    def _column_order(self, keep: np.ndarray, computed: dict[str, tuple[np.ndarray, np.ndarray]],
                      order: np.ndarray | None) -> list[str]:
        """Columns as rows bring them, in the order of the output: the plans
        taken by the rank of their first kept row (chunks may come out of
        order when a message's subsets were grouped)."""
        wanted = set(self.query.columns)
        n = keep.size
        rank = None
        if order is not None:
            rank = np.empty(n, dtype=np.intp)
            rank[order] = np.arange(n)
        computed_held = {k: v[1] & keep for k, v in computed.items() if k in wanted}
        # (first rank, chunk, plan) of every plan with a kept row
        firsts, chunk_of, plan_of, start_of = [], [], [], []
        start = 0
        for c, (_, subsets, per_subset, _) in enumerate(self.chunks):
            total = subsets.size * per_subset
            chunk_keep = keep[start:start + total].reshape(-1, per_subset)
            ranks = (np.arange(start, start + total) if rank is None
                     else rank[start:start + total]).reshape(-1, per_subset)
            first = np.where(chunk_keep, ranks, n).min(axis=0)
            plans = np.flatnonzero(first < n)
            if plans.size:
                firsts.append(first[plans])
                plan_of.append(plans)
                chunk_of.append(np.full(plans.size, c))
                start_of.append(np.full(plans.size, start))
            start += total
        seen: dict[str, None] = {}
        if not firsts:
            return []
        by_rank = np.argsort(np.concatenate(firsts), kind="stable")
        chunks, plans, starts = (np.concatenate(chunk_of)[by_rank].tolist(), np.concatenate(plan_of)[by_rank].tolist(),
                                 np.concatenate(start_of)[by_rank].tolist())
        for c, p, start in zip(chunks, plans, starts):
            _, subsets, per_subset, layout = self.chunks[c]
            for key in layout.plan(p):
                if key in wanted:
                    seen.setdefault(key)
            for key, held in computed_held.items():
                if held[start:start + subsets.size * per_subset].reshape(-1, per_subset)[:, p].any():
                    seen.setdefault(key)
            if len(seen) == len(wanted):
                break
        return list(seen)


def _computed_parts(key: str) -> tuple[str, ...]:
    from ._query import COMPUTED_KEYS

    return COMPUTED_KEYS[key]


def _concat(pieces: list[np.ndarray]) -> np.ndarray:
    if any(p.dtype == object for p in pieces):
        return np.concatenate([p.astype(object) for p in pieces])
    return np.concatenate(pieces)


def _kind(kinds: set[str]) -> str:
    kinds = kinds - {"none"}
    if not kinds:
        return "float"
    if len(kinds) == 1:
        return next(iter(kinds))
    if "text" in kinds:
        return "object"
    return "float"


def _finish(values: np.ndarray, valid: np.ndarray, kind: str) -> Any:
    """Missing values as NaN (floats), <NA> (integers), None (text) or NaT."""
    import pandas as pd

    if kind == "datetime":
        out = values.astype("datetime64[us]")
        out[~valid] = np.datetime64("NaT", "us")
        return out
    if kind in ("text", "object"):
        out = values.astype(object)
        out[~valid] = None
        return out
    if kind == "int":
        # Always nullable: a column's type must not depend on whether this
        # read happened to meet a missing value (partitions of one query agree).
        numbers = np.where(valid, values, 0).astype(np.int64)
        return pd.arrays.IntegerArray(numbers, ~valid)
    out = values.astype(np.float64)
    out[~valid] = np.nan
    return out


def _header_values(msg: Message, query: Query) -> dict[str, Any]:
    m = msg.message
    assert m is not None
    return {k: HEADER_KEYS[k](m, msg.edition or 4) for k in query.header_keys}


def _header_passes(msg: Message, count: int, query: Query) -> bool:
    if query.count_filter is not None and not query.count_filter.match_one(count):
        return False
    if not query.header_filters:
        return True
    m = msg.message
    if m is None:
        return True  # fails later, with its own error
    edition = msg.edition or 4
    return all(f.match_one(HEADER_KEYS[k](m, edition)) for k, f in query.header_filters.items())


# Input bytes decoded in one run of items: memory stays bounded whatever the input.
RUN_BYTES = 1 << 20


def _in_runs(msg: Message) -> bool:
    """Whether the message goes with a run of flat items: a parsed,
    uncompressed message of at most OBJECTS_UP_TO subsets whose tables load
    (an error loading them is left to the message-by-message path)."""
    m = msg.message
    if _groups._columnar is None or m is None or m.compressed_data or m.number_of_subsets > _groups.OBJECTS_UP_TO:
        return False
    try:
        msg.tables
    except (ValueError, OSError):
        return False
    return True


SourceArg = Any


def _sources(source: SourceArg) -> Iterator[Any]:
    if isinstance(source, (list, tuple)):
        yield from source
    else:
        yield source


def iterate_messages(source: SourceArg, tables: Tables) -> Iterator[Message]:
    """The messages of a path, bytes, file object or list of paths, file
    after file (one file's bytes held at a time)."""
    for one in _sources(source):
        yield from read(one, tables)


def read_bufr(source: SourceArg, columns: str | Iterable[str],
              filters: Mapping[str, Any] | None = None,
              required_columns: bool | Iterable[str] = True, *,
              tables: Any = None, errors: str = "raise",
              on_error: Callable[[MessageError], None] | None = None) -> Any:
    """The values of ``columns`` as a pandas DataFrame, one row per
    observation, as pdbufr's generic reader makes them.

    ``source`` is a path, bytes, a binary file object, or a list of paths.
    ``columns`` and the keys of ``filters`` are ecCodes keys: Table B
    abbreviations (airTemperature, pressure, stationNumber, ...), header keys
    (dataCategory, typicalDate, bufrHeaderCentre, ...), ``count`` (the
    message's number, from 1) and the computed ``data_datetime`` and
    ``WMO_station_id``.

    Rows follow the structure: values of enclosing levels (station, time,
    position) repeat on each row of the levels within. A value of a
    coordinate-like element (classes 1-9: sensor height, time period,
    channel, ...) applies to what follows it, so a filter on it selects the
    elements it qualifies.

    A filter is a value, a set or list of values, ``slice(lo, hi)``
    (inclusive) or a function of the value; missing values never match.
    ``required_columns``: True drops rows lacking any column, a list names the
    columns required, False keeps every row.

    ``errors``: "raise" (a bad message raises `morvane.MessageError`) or
    "skip" (it is left out, and passed to ``on_error`` if given).
    """
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    query = Query(columns, filters, required_columns)
    collector = _Collector(query)
    table_source = as_tables(tables)

    def report(error: MessageError) -> None:
        if errors == "raise":
            raise error
        if on_error is not None:
            on_error(error)

    # Small uncompressed messages are decoded a run at a time, as flat items.
    pending: list[tuple[int, Message]] = []
    pending_bytes = 0

    def flush() -> None:
        nonlocal pending_bytes
        if pending:
            failed = collector.add_run(pending)
            pending.clear()
            pending_bytes = 0
            for _, msg, problem in failed:
                report(MessageError(decoding_problem(problem), msg.offset, msg.index))

    for count, msg in enumerate(iterate_messages(source, table_source), 1):
        if not _header_passes(msg, count, query):
            continue
        if _in_runs(msg):
            pending.append((count, msg))
            pending_bytes += len(msg.data)
            if pending_bytes >= RUN_BYTES:
                flush()
            continue
        flush()
        error = msg.error if msg.message is None else None
        if error is None:
            try:
                collector.add(count, msg)
                continue
            except MessageError as exc:
                error = exc
            except ValueError as exc:
                error = MessageError(str(exc), msg.offset, msg.index)
                error.__cause__ = exc
        report(error)
    flush()
    return collector.frame()


__all__ = ["read_bufr", "iterate_messages"]

