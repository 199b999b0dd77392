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
from ._reader import Message, MessageError, read
from ._rows import COUNT, HEADER, Walk, make_walk
from ._groups import Group, message_groups
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


class _Collector:
    def __init__(self, query: Query) -> None:
        self.query = query
        self.gathered = sorted(set(query.columns) | {p for k in query.computed
                                                     for p in _computed_parts(k)}
                               - set(query.computed))
        self.columns = {k: _Column() for k in self.gathered}
        self.walks: dict[tuple[Any, ...], Walk] = {}
        self.keep_alive: dict[int, Any] = {}
        self.order_keys: list[np.ndarray] = []   # (message, subset, plan) per chunk
        self.plan_keys: list[list[list[str]]] = []
        self.rows = 0
        self.reordered = False

    # -- one message ----------------------------------------------------------
    def add(self, number: int, count: int, msg: Message) -> None:
        query = self.query
        header = _header_values(msg, query)
        tables = msg.tables
        self.keep_alive[id(tables)] = tables
        chunks_before = len(self.order_keys)
        for group in message_groups(msg, query.data_keys()):
            self._add_group(number, count, header, tables, group)
        if len(self.order_keys) - chunks_before > 1:
            self.reordered = True

    def _walk(self, tables: _morvane.TableSet, group: Group) -> Walk:
        key = (id(tables), group.first_level, group.codes)
        walk = self.walks.get(key)
        if walk is None:
            q = self.query
            walk = self.walks[key] = make_walk(group.codes, group.names, group.first_level,
                                               q.header_keys, q.keys, frozenset(q.walk_filters))
        return walk

    def _add_group(self, number: int, count: int, header: dict[str, Any],
                   tables: _morvane.TableSet, group: Group) -> None:
        q = self.query
        walk = self._walk(tables, group)
        wanted = sorted({ref for ref, _, _ in walk.steps if ref >= 0})
        numbers, valid, texts = group.gather(wanted)
        column_of = {ref: i for i, ref in enumerate(wanted)}
        n = group.subsets.size
        # filter outcomes per subset, one pattern per distinct outcome
        filter_positions = walk.filter_positions
        if filter_positions:
            outcome = np.empty((n, len(filter_positions)), dtype=bool)
            for j, position in enumerate(filter_positions):
                c = column_of[position]
                values = texts[:, c] if texts is not None and position in group.text_positions else numbers[:, c]
                outcome[:, j] = q.walk_filters[group.names[position]].matches(values, valid[:, c])
            patterns, inverse = np.unique(outcome, axis=0, return_inverse=True)
            inverse = inverse.reshape(-1)
        else:
            patterns, inverse = np.zeros((1, 0), dtype=bool), np.zeros(n, dtype=np.intp)
        filter_names = frozenset(q.walk_filters)
        with_count = COUNT_KEY in q.keys
        for k, pattern in enumerate(patterns):
            passed = dict(zip(filter_positions, pattern.tolist()))
            plans = walk.plans(filter_names, passed, pattern.tobytes(), with_count)
            if not plans:
                continue
            chosen = np.flatnonzero(inverse == k) if len(patterns) > 1 else np.arange(n)
            self._add_chunk(number, count, header, group, plans, chosen, numbers, valid, texts,
                            column_of)

    def _add_chunk(self, number: int, count: int, header: dict[str, Any], group: Group,
                   plans: list[dict[str, int]], chosen: np.ndarray, numbers: np.ndarray,
                   valid: np.ndarray, texts: np.ndarray | None, column_of: dict[int, int]) -> None:
        rows_per_subset = len(plans)
        total = chosen.size * rows_per_subset
        for key in self.gathered:
            refs = [plan.get(key) for plan in plans]
            if all(r is None for r in refs):
                continue
            column = self.columns[key]
            held = np.array([r is not None for r in refs], dtype=bool)
            held_rows = np.broadcast_to(held, (chosen.size, rows_per_subset)).reshape(-1)
            if any(r is not None and r < 0 for r in refs):
                value = count if key == COUNT_KEY else header.get(key)
                kind = "text" if isinstance(value, str) else "int"
                if kind == "text":
                    values = np.full(total, value, dtype=object)
                else:
                    values = np.full(total, np.nan if value is None else float(value))
                column.values.append(values)
                column.held.append(held_rows)
                column.valid.append(held_rows & (value is not None))
                column.kinds.add(kind)
                continue
            cols = np.array([column_of[r] if r is not None else 0 for r in refs], dtype=np.intp)
            position = next(r for r in refs if r is not None)
            is_text = position in group.text_positions
            source = texts if is_text else numbers
            assert source is not None
            values = source[np.ix_(chosen, cols)].reshape(-1)
            ok = valid[np.ix_(chosen, cols)].reshape(-1) & held_rows
            column.values.append(values)
            column.held.append(held_rows)
            column.valid.append(ok)
            column.kinds.add("text" if is_text else group.kind(position))
        # columns no plan holds get nothing; fill them so every key has every chunk
        for key in self.gathered:
            column = self.columns[key]
            if len(column.held) < len(self.order_keys) + 1:
                column.values.append(np.full(total, np.nan))
                column.held.append(np.zeros(total, dtype=bool))
                column.valid.append(np.zeros(total, dtype=bool))
        order = np.empty((3, total), dtype=np.int64)
        order[0] = number
        order[1] = np.repeat(group.subsets[chosen], rows_per_subset)
        order[2] = np.tile(np.arange(rows_per_subset), chosen.size)
        self.order_keys.append(order)
        self.plan_keys.append([[k for k in plan if k in self.query.columns] for plan in plans])
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
            parts[key] = (values, np.concatenate(column.held), np.concatenate(column.valid))
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
            keys = np.concatenate(self.order_keys, axis=1)
            order = np.lexsort((keys[2], keys[1], keys[0]))
            keep_sorted = keep[order]
            selection = order[keep_sorted]
        else:
            selection = np.flatnonzero(keep)
        data: dict[str, Any] = {}
        for key in self._column_order(keep, computed):
            if key in computed:
                value, exists = computed[key]
                data[key] = _finish(value[selection], exists[selection], "datetime" if key == "data_datetime"
                                    else "int")
            else:
                values, held, valid = parts[key]
                data[key] = _finish(values[selection], valid[selection], _kind(self.columns[key].kinds))
        if not data:
            return pd.DataFrame(columns=list(q.columns))
        return pd.DataFrame(data)

    def _column_order(self, keep: np.ndarray, computed: dict[str, tuple[np.ndarray, np.ndarray]]
                      ) -> list[str]:
        wanted = set(self.query.columns)
        seen: dict[str, None] = {}
        start = 0
        computed_held = {k: v[1] & keep for k, v in computed.items() if k in wanted}
        for order, plan_keys in zip(self.order_keys, self.plan_keys):
            total = order.shape[1]
            chunk_keep = keep[start:start + total]
            if chunk_keep.any():
                per_plan = chunk_keep.reshape(-1, len(plan_keys)).any(axis=0)
                for p in np.flatnonzero(per_plan):
                    for key in plan_keys[p]:
                        seen.setdefault(key)
                    for key, held in computed_held.items():
                        if held[start:start + total].reshape(-1, len(plan_keys))[:, p].any():
                            seen.setdefault(key)
                    if len(seen) == len(wanted):
                        return list(seen)
            start += total
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
        out[~valid] = np.datetime64("NaT")
        return out
    if kind in ("text", "object"):
        out = values.astype(object)
        out[~valid] = None
        return out
    if kind == "int":
        numbers = np.where(valid, values, 0).astype(np.int64)
        if valid.all():
            return numbers
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
    for count, msg in enumerate(iterate_messages(source, table_source), 1):
        if not _header_passes(msg, count, query):
            continue
        error = msg.error
        if error is None:
            try:
                collector.add(count, count, msg)
                continue
            except ValueError as exc:
                error = MessageError(str(exc), msg.offset, msg.index)
                error.__cause__ = exc
        if errors == "raise":
            raise error
        if on_error is not None:
            on_error(error)
    return collector.frame()


__all__ = ["read_bufr", "iterate_messages"]

