"""`read_bufr`: chosen keys of BUFR messages as a pandas DataFrame, row by
row as pdbufr makes them (needs numpy and pandas).

The structure of a template (its sequence of keys) is cut into rows once
(`_rows`); the values of every subset sharing that template are then
gathered with NumPy, so no Python work is done per value.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping
from functools import cached_property
from itertools import accumulate
from typing import Any

import numpy as np

import _morvane

from . import _computed
from ._query import COUNT_KEY, HEADER_KEYS, Query, query_of
from ._reader import Message, MessageError, read
from ._rows import Walk, make_walk
from ._runs import EXPANSIONS_DIFFER, UNDECODABLE, Runs
from . import _groups
from ._chunks import Chunk, GroupChunk, Layout, Run
from ._batch_frame import frame_of_parts, kept_rows, may_take, read_whole
from ._groups import Group, message_groups
from ._items import Items, RunRows
from ._tables import Tables, as_tables

TEXT_HEADER_KEYS = frozenset({"typicalDate", "typicalTime"})
INTEGER_TYPES = frozenset({"long", "table", "flag"})

# The walks of templates, shared by all reads: a walk depends only on the
# template and on the query's keys and filter names, so a read of many small
# files works out each template once, not once per file. Each walk keeps the
# layouts of the filter outcomes met.
_WALKS: dict[tuple[Any, ...], Walk] = {}
_WALKS_KEPT = 256
# Rows per frame when a read is written out frame by frame.
FRAME_ROWS = 1 << 18
_groups.NAMES.forget.append(_WALKS.clear)
_LAYOUTS_KEPT = 256
# The one filter outcome of subsets when nothing is filtered.
_NO_FILTER_PATTERNS = np.zeros((1, 0), dtype=bool)
_NO_FILTER_PATTERNS.flags.writeable = False


class _Column:
    """One output key's pieces (values, held, valid), chunk by chunk."""

    __slots__ = ("pieces", "kinds")

    def __init__(self) -> None:
        self.pieces: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
        self.kinds: set[str] = set()


class _Collector:
    def __init__(self, query: Query) -> None:
        self.query = query
        self.gathered = query.gathered
        self.keep_alive: dict[int, Any] = {}
        self.filter_names = query.filter_names
        self.chunks: list[Chunk] = []
        self.rows = 0
        self.reordered = False

    @cached_property
    def columns(self) -> dict[str, _Column]:
        """Each gathered key's pieces (made when the first rows come: a read
        framed straight from its batch has none)."""
        return {k: _Column() for k in self.gathered}

    # -- one message ----------------------------------------------------------
    def add(self, number: int, count: int, msg: Message) -> None:
        """Adds one message's rows; `number` orders it among the others and
        `count` is its value of the count key."""
        run = Run([count], [_header_values(msg, self.query)], [number])
        tables = msg.tables
        self.keep_alive[id(tables)] = tables
        self._add_groups(run, tables, [(np.zeros(group.subsets.size, dtype=np.intp), group)
                                       for group in message_groups(msg, self.query.keys)])

    # -- many uncompressed messages at once -------------------------------------
    def add_run(self, messages: list[tuple[int, Message]]) -> list[tuple[int, Message, str]]:
        """Adds the messages' rows; returns (count, message, problem) of those
        that do not decode, which add nothing."""
        tables = messages[0][1].tables
        self.keep_alive[id(tables)] = tables
        items = Items([(msg.data, tables) for _, msg in messages])
        run = Run([count for count, _ in messages], [_header_values(msg, self.query) for _, msg in messages])
        rows = RunRows(items, tables, self.query, self.gathered)
        chunk = rows.chunk(run)
        if chunk.rows:
            for j, key in enumerate(self.gathered):
                values, held, valid, kinds = rows.key_values(j, key, run)
                column = self.columns[key]
                column.pieces.append((values, held, valid))
                column.kinds |= kinds
            self.chunks.append(chunk)
            self.rows += chunk.rows
        return [(messages[i][0], messages[i][1], text) for i, text in items.failures]

    # -- compressed messages with the same descriptors at once ---------------
    def add_batch(self, messages: list[tuple[int, Message]], batch: Any = None) -> str | None:
        """Adds the messages' rows decoded as one batch (`batch`, if they
        were decoded already); otherwise, having added nothing, says why they
        are to be read one by one instead."""
        tables = messages[0][1].tables
        try:
            headers = [_header_values(msg, self.query) for _, msg in messages]
            found = _groups.run_group([(msg.data, tables) for _, msg in messages], self.query.keys, batch)
        except ValueError:
            return UNDECODABLE
        if found is None:
            return EXPANSIONS_DIFFER
        group, starts = found
        self.keep_alive[id(tables)] = tables
        run = Run([count for count, _ in messages], headers)
        self._add_groups(run, tables, [(np.arange(len(messages)).repeat(starts[1:] - starts[:-1]), group)])
        return None

    def _add_groups(self, run: Run, tables: _morvane.TableSet,
                    groups: list[tuple[np.ndarray, Group]]) -> None:
        """Adds (owners, group) pairs of one run; rows come out of message
        order when they make more than one chunk."""
        chunks_before = len(self.chunks)
        for owners, group in groups:
            self._add_group(run, owners, tables, group)
        if len(self.chunks) - chunks_before > 1:
            self.reordered = True

    def walk(self, tables: _morvane.TableSet, codes: tuple[int, ...], names: tuple[str, ...],
             first_level: int) -> Walk:
        """The walk of a template (its codes and their names) for this query
        (made once, kept)."""
        q = self.query
        key = (id(tables), first_level, codes, q.header_keys, q.keys, self.filter_names)
        walk = _WALKS.get(key)
        if walk is None:
            if len(_WALKS) >= _WALKS_KEPT:
                _WALKS.clear()  # bounded, whatever the input
            _groups.NAMES.table(tables)  # held while its id keys walks
            walk = _WALKS[key] = make_walk(codes, names, first_level, q.header_keys, q.keys, self.filter_names)
        return walk

    def _add_group(self, run: Run, owners: np.ndarray, tables: _morvane.TableSet, group: Group) -> None:
        q = self.query
        walk = self.walk(tables, group.codes, group.names, group.first_level)
        n = group.subsets.size
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
            patterns, inverse = _NO_FILTER_PATTERNS, None  # one pattern: every subset takes it
        for k, pattern in enumerate(patterns):
            layout = self.layout(walk, pattern)
            if not layout.rows_per_subset:
                continue
            chosen = np.flatnonzero(inverse == k) if len(patterns) > 1 else None
            self._add_chunk(run, owners, group, layout, chosen, numbers, valid, texts)

    def layout(self, walk: Walk, pattern: np.ndarray) -> Layout:
        """The rows of the walk's subsets whose filters came out as `pattern`
        says (made once, kept with the walk)."""
        with_count = COUNT_KEY in self.query.keys
        key = (pattern.tobytes(), self.gathered, with_count)
        layout = walk.layouts.get(key)
        if layout is None:
            if len(walk.layouts) >= _LAYOUTS_KEPT:
                walk.layouts.clear()
            layout = walk.layouts[key] = Layout(walk.cut(self.filter_names, pattern, with_count),
                                                self.gathered, walk)
        return layout

    def _add_chunk(self, run: Run, owners: np.ndarray, group: Group,
                   layout: Layout, chosen: np.ndarray | None, numbers: np.ndarray,
                   valid: np.ndarray, texts: np.ndarray | None) -> None:
        per_subset = layout.rows_per_subset
        subsets = group.subsets.size if chosen is None else chosen.size
        if chosen is not None:
            owners = owners[chosen]
        total = subsets * per_subset
        # Keys mostly share a row pattern: each is repeated over the subsets once.
        tiles: dict[bytes, np.ndarray] = {}

        # a subset's one row takes a column of the gathered values as it is
        whole_columns = per_subset == 1 and chosen is None
        columns = self.columns
        text_positions = group.text_positions
        kinds = group.kinds
        for key, (where, cols, held, all_held, pattern, position, one) in layout.keys.items():
            column = columns[key]
            if where == "absent":
                column.pieces.append((np.full(total, np.nan), np.zeros(total, dtype=bool), np.zeros(total, dtype=bool)))
                continue
            if subsets == 1:
                held_rows = held
            else:
                held_rows = tiles.get(pattern)  # type: ignore[assignment]
                if held_rows is None:
                    held_rows = tiles[pattern] = held.repeat(subsets) if per_subset == 1 else np.tile(held, subsets)
            if where == "header":
                by_message, present, is_text = run.column(key)
                if run.counts.size == 1:
                    values = np.full(total, by_message[0], dtype=by_message.dtype)
                    ok = held_rows & present[0]
                else:
                    values = np.repeat(by_message[owners], per_subset)
                    ok = held_rows & np.repeat(present[owners], per_subset)
                column.kinds.add("text" if is_text else "int")
                # A key the header lacks is not held, as a data key would not be.
                column.pieces.append((values, ok, ok))
                continue
            if position in text_positions:
                source = texts
                column.kinds.add("text")
            else:
                source = numbers
                column.kinds.add(kinds[position])
            assert source is not None
            if whole_columns:
                # views, the gathered arrays being made for this read alone;
                # text is copied, its array being mostly the numbers' places
                values, ok = source[:, one], valid[:, one]
                if source is texts:
                    values = values.copy()
            elif chosen is None:
                values, ok = source[:, cols].reshape(-1), valid[:, cols].reshape(-1)
            else:
                at = np.ix_(chosen, cols)
                values, ok = source[at].reshape(-1), valid[at].reshape(-1)
            column.pieces.append((values, held_rows, ok if all_held else ok & held_rows))
        self.chunks.append(GroupChunk(run.numbers[owners], group.subsets if chosen is None else group.subsets[chosen],
                                      per_subset, layout))
        self.rows += total

    # -- the table ------------------------------------------------------------
    def frame(self) -> Any:
        q = self.query
        n = self.rows
        parts: dict[str, _computed.Part] = {}
        for key, column in self.columns.items():
            pieces = column.pieces
            if not pieces:
                continue
            column.pieces = []
            if len(pieces) == 1:
                parts[key] = pieces[0]
            else:
                held_pieces, valid_pieces = [p[1] for p in pieces], [p[2] for p in pieces]
                values_pieces = [p[0] for p in pieces]
                del pieces
                joined = _concat(values_pieces)
                del values_pieces  # each piece freed once joined: the frame is what stays
                parts[key] = (joined, _concat(held_pieces), _concat(valid_pieces))
        computed, keep = kept_rows(q, parts, n)
        order: np.ndarray | None = None
        selection: np.ndarray | None  # None: every row, in order
        if self.reordered and n:
            message, subset, row = (np.concatenate(part) for part in zip(*(c.order() for c in self.chunks)))
            order = np.lexsort((row, subset, message))
            keep_sorted = keep[order]
            selection = order[keep_sorted]
        elif keep.all():
            selection = None
        else:
            selection = np.flatnonzero(keep)
        columns = self._column_order(keep, computed, order, parts)
        return frame_of_parts(q, columns, computed, parts, lambda key: _kind(self.columns[key].kinds),
                              selection, n)

    def _column_order(self, keep: np.ndarray, computed: dict[str, tuple[np.ndarray, np.ndarray]],
                      order: np.ndarray | None, parts: dict[str, _computed.Part]) -> list[str]:
        """Columns as rows bring them, in the order of the output: the plans
        (rows with the same keys) taken by the rank of their first kept row."""
        wanted = self.query.column_set
        computed_held = {k: v[1] & keep for k, v in computed.items() if k in wanted}
        present: set[str] | None = None  # the columns some kept row holds, found when needed
        seen: dict[str, None] = {}
        starts = list(accumulate((c.rows for c in self.chunks), initial=0))
        for c, p in self._plans_by_rank(keep, order, starts):
            chunk, start = self.chunks[c], starts[c]
            for key in chunk.plan_keys(p):
                if key in wanted:
                    seen.setdefault(key)
            for key, held in computed_held.items():
                if chunk.plan_holds(held[start:start + chunk.rows], p):
                    seen.setdefault(key)
            if len(seen) == len(wanted):
                break
            if present is None:
                present = {k for k, held in computed_held.items() if held.any()}
                present |= {k for k in wanted if k in parts and (parts[k][1] & keep).any()}
            if len(seen) == len(present):
                break
        # Plans name every header key; one no kept row holds is left out.
        header = self.query.header_keys
        if not header:
            return list(seen)
        return [k for k in seen if k not in header or (k in parts and (parts[k][1] & keep).any())]

    def _plans_by_rank(self, keep: np.ndarray, order: np.ndarray | None,
                       starts: list[int]) -> Iterator[tuple[int, int]]:
        """(chunk, plan) of every plan with a kept row, by the rank of its
        first kept row; chunk by chunk when they are in the output's order."""
        if order is None:
            for c, chunk in enumerate(self.chunks):
                kept = keep[starts[c]:starts[c + 1]]
                if kept.any():
                    for p in chunk.kept_plans(kept):
                        yield c, p
            return
        n = keep.size
        rank = np.empty(n, dtype=np.intp)
        rank[order] = np.arange(n)
        firsts, chunk_of, plan_of = [], [], []
        for c, chunk in enumerate(self.chunks):
            first = chunk.first_rows(keep[starts[c]:starts[c + 1]], rank[starts[c]:starts[c + 1]], n)
            plans = np.flatnonzero(first < n)
            firsts.append(first[plans])
            plan_of.append(plans)
            chunk_of.append(np.full(plans.size, c))
        if firsts:
            by_rank = np.argsort(np.concatenate(firsts), kind="stable")
            yield from zip(np.concatenate(chunk_of)[by_rank].tolist(), np.concatenate(plan_of)[by_rank].tolist())


def _concat(pieces: list[np.ndarray]) -> np.ndarray:
    """The pieces joined; a piece alone is not copied (what is made of the
    joined arrays is always a new array)."""
    if len(pieces) == 1:
        return pieces[0]
    for piece in pieces:
        if piece.dtype == object:
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
    return next(_frames(source, columns, filters, required_columns, tables, errors, on_error, None))


def read_bufr_frames(source: SourceArg, columns: str | Iterable[str],
                     filters: Mapping[str, Any] | None = None,
                     required_columns: bool | Iterable[str] = True, *,
                     tables: Any = None, errors: str = "raise",
                     on_error: Callable[[MessageError], None] | None = None,
                     rows: int | None = None) -> Iterator[Any]:
    """`read_bufr`'s rows as consecutive frames, for a writer whose memory
    should follow a frame rather than the whole input. Rows come a run of
    messages at a time (a run holds at most about a megabyte of messages); a
    frame is cut after the run that brings it to ``rows`` rows (by default
    about 260,000).
    Frames without rows are left out. A column may be absent from a frame
    whose rows never hold it (with ``required_columns`` not True), and
    integers a frame holds only as missing may come as floats."""
    rows = FRAME_ROWS if rows is None else rows
    if rows < 1:
        raise ValueError(f"rows must be at least 1, not {rows}")
    for frame in _frames(source, columns, filters, required_columns, tables, errors, on_error, rows):
        if len(frame):
            yield frame


def _frames(source: SourceArg, columns: str | Iterable[str], filters: Mapping[str, Any] | None,
            required_columns: bool | Iterable[str], tables: Any, errors: str,
            on_error: Callable[[MessageError], None] | None, rows: int | None) -> Iterator[Any]:
    """The frames of a read, one at the end when ``rows`` is None."""
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    query = query_of(columns, filters, required_columns)
    table_source = as_tables(tables)

    def report(error: MessageError) -> None:
        if errors == "raise":
            raise error
        if on_error is not None:
            on_error(error)

    collector = _Collector(query)
    # Small messages are decoded a run at a time.
    runs = Runs(collector, report)
    # (one input read as it is: a layer less for each of its messages)
    messages = (iterate_messages(source, table_source) if isinstance(source, (list, tuple))
                else read(source, table_source))
    counted = enumerate(messages, 1)
    if rows is None and may_take(query):
        frame, taken, batch = read_whole(counted, collector)
        if frame is not None:
            yield frame
            return
        if batch is not None:
            runs.take_batch(taken, batch)
        else:
            for count, msg in taken:  # (nothing filtered: every header passes)
                runs.take(count, msg)
        del taken, batch  # (the runs hold what they still need)
    for count, msg in counted:
        if _header_passes(msg, count, query):
            runs.take(count, msg)
            if rows is not None and collector.rows >= rows:
                runs.flush()
                yield collector.frame()
                collector = _Collector(query)
                runs = Runs(collector, report)
    runs.flush()
    yield collector.frame()


__all__ = ["read_bufr", "read_bufr_frames", "iterate_messages"]

