"""Decoded messages as a pandas DataFrame (``pip install morvane[pandas]``)."""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Any

import _morvane

from ._columns import decode_runs, messages_of
from ._computed import data_datetime
from ._reader import ErrorMode, MessageError
from ._tables import StrPath, Tables

try:
    import numpy as np
    import pandas as pd
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("morvane.frame needs pandas: pip install 'morvane[pandas]'") from exc

# A frame bigger than this is refused before it is allocated: a file that mixes
# many kinds of messages makes a sparse union of all their columns.
MAX_FRAME_BYTES = 4 << 30
# Bytes per cell of each column kind: Int64 keeps a mask byte beside the value.
CELL_BYTES = {"int64": 9, "float64": 8, "text": 8, "object": 8}
# What pandas keeps per column besides its cells (Series, block, array): about
# 4 KiB measured. A one-subset message of 1-bit replicated elements makes 8
# columns per octet, so without it a 1 MB message passed for a small frame.
COLUMN_BYTES = 4096
DATE_PARTS = ("year", "month", "day", "hour", "minute", "second")


@dataclass
class FrameColumn:
    name: str
    key: str
    kind: str
    descriptor: int
    element_name: str
    unit: str
    coded: bool  # a code or flag table element, given meanings when asked


def _is_coded(unit: str) -> bool:
    unit = unit.upper()
    return "CODE TABLE" in unit or "FLAG TABLE" in unit


def _union(runs: list[Any], meanings: bool) -> dict[str, FrameColumn]:
    """Every column name of the runs, in order of first appearance; a name
    that is integer in one message and float in another becomes float."""
    out: dict[str, FrameColumn] = {}
    for run in runs:
        for column in run.batch.columns:
            if column.role == "marker":
                continue
            kind = column.type
            if meanings and kind == "int64" and _is_coded(column.unit):
                kind = "object"
            seen = out.get(column.name)
            if seen is None:
                out[column.name] = FrameColumn(column.name, column.key, kind, column.descriptor,
                                               column.element_name, column.unit, _is_coded(column.unit))
            elif seen.kind != kind:
                numeric = {seen.kind, kind} <= {"int64", "float64"}
                seen.kind = "float64" if numeric else "object"
    return out


class _Filler:
    """Output arrays of one column over all rows, filled batch by batch.

    The arrays start uninitialised and each cell is written once: rows of
    batches that lack the column are set missing at the end, from the gaps
    between the ranges filled (as many as the batches that have it)."""

    def __init__(self, column: FrameColumn, rows: int) -> None:
        self.column = column
        self.rows = rows
        self.filled: list[tuple[int, int]] = []
        self.data: Any = None
        self.mask: Any = None

    def _allocate(self) -> None:
        if self.column.kind == "int64":
            self.data = np.empty(self.rows, dtype=np.int64)
            self.mask = np.empty(self.rows, dtype=bool)
        elif self.column.kind == "float64":
            self.data = np.empty(self.rows)
        else:
            self.data = np.empty(self.rows, dtype=object)  # all None

    def take(self, batch: Any, i: int, kind: str) -> bool:
        """The whole column in one copy when the batch is all the rows, as in a
        file of one template. (The batch's buffers are read-only, and a frame
        must be writable, so they are copied all the same.) `kind`: the type
        of the batch's column."""
        if kind != self.column.kind or kind == "text" or batch.num_rows != self.rows:
            return False
        values = np.asarray(batch.values(i))
        valid = np.asarray(batch.valid(i)).astype(bool, copy=False)
        if kind == "int64":
            self.data, self.mask = values.copy(), ~valid
        else:
            self.data = values.copy() if valid.all() else np.where(valid, values, np.nan)
        self.filled.append((0, self.rows))
        return True

    def fill(self, batch: Any, i: int, kind: str, start: int, tables: _morvane.TableSet | None) -> None:
        if self.data is None:
            self._allocate()
        stop = start + batch.num_rows
        self.filled.append((start, stop))
        if kind == "text":
            self.data[start:stop] = batch.values(i)
            return
        values = np.asarray(batch.values(i))
        valid = np.asarray(batch.valid(i)).astype(bool, copy=False)
        if self.column.kind == "int64":
            self.data[start:stop] = values
            np.logical_not(valid, out=self.mask[start:stop])
        elif self.column.kind == "float64":
            target = self.data[start:stop]
            target[:] = values
            if not valid.all():
                target[~valid] = np.nan
        else:
            self.data[start:stop] = _cells(values, valid, self.column, tables)

    def array(self) -> Any:
        if self.data is None:
            self._allocate()
        at = 0
        for start, stop in self.filled + [(self.rows, self.rows)]:
            if start > at:
                self._missing(at, start)
            at = stop
        self.filled = []
        if self.column.kind == "int64":
            return pd.arrays.IntegerArray(self.data, self.mask)
        return self.data

    def _missing(self, start: int, stop: int) -> None:
        if self.column.kind == "int64":
            self.data[start:stop] = 0
            self.mask[start:stop] = True
        elif self.column.kind == "float64":
            self.data[start:stop] = np.nan
        # object arrays start as None


def _cells(values: Any, valid: Any, column: FrameColumn, tables: _morvane.TableSet | None) -> Any:
    """Python objects of a numeric column: a code's meaning where the table
    has one, else the number; None where missing."""
    out = np.full(len(values), None, dtype=object)
    if values.dtype.kind == "f":
        out[valid] = values[valid]
        return out
    found: dict[int, Any] = {}
    if column.coded and tables is not None:
        for code in np.unique(values[valid]).tolist():
            meaning = tables.get_meaning(column.descriptor, code)
            found[code] = meaning if meaning is not None else code
    out[valid] = [found.get(v, v) for v in values[valid].tolist()]
    return out


def _datetime(columns: dict[str, Any]) -> np.ndarray | None:
    """One timestamp per row from the first year ... second columns, when at
    least year, month and day are there; NaT where a part is missing or the
    date is not a real one. Made as read_bufr makes data_datetime: pandas'
    assembly of a frame of parts fails outright on a year past 2262 with a
    fraction of a second, and carries an hour of 24 or a minute of 60 over."""
    parts = {p: columns.get(f"#1#{p}") for p in DATE_PARTS}
    year = parts["year"]
    if year is None or any(parts[p] is None for p in DATE_PARTS[1:3]):
        return None
    rows = len(year)
    given = {}
    for p, values in parts.items():
        if values is None:
            continue
        valid = ~np.asarray(pd.isna(values), dtype=bool)
        if not (isinstance(values, np.ndarray) and values.dtype == object):
            values = pd.array(values, dtype="Float64").to_numpy(dtype=np.float64, na_value=0.0)
        given[p] = (values, np.ones(rows, dtype=bool), valid)
    stamp, exists = data_datetime(given, rows)
    return np.where(exists, stamp, np.datetime64("NaT", "us"))


def to_dataframe(source: Any, tables: Tables | _morvane.TableSet | StrPath | None = None, *,
                 meanings: bool = False, errors: ErrorMode = "report",
                 max_bytes: int = MAX_FRAME_BYTES) -> pd.DataFrame:
    """One row per subset, one column per element occurrence.

    ``source`` is anything `morvane.read` accepts (a path, bytes, a binary
    file object; read with ``tables``), a `Message`, or a list or iterator of
    them.

    Columns are named as ecCodes names keys: "#k#key", the k-th occurrence
    of the key within the subset, "#1#" included even for a key that occurs
    once, so a column's name does not depend on what other messages hold. A
    frame of messages of different templates has the union of their columns,
    missing where a message has none. Integers are pandas' nullable Int64,
    floats float64 with NaN for missing, text str or None. With
    ``meanings=True`` code and flag table elements give their meaning where
    the table has one (the number otherwise). A "datetime" column is added
    from #1#year ... #1#second when year, month and day are there.

    Rows are indexed by (message, subset), both counted from 0. ``attrs``:
    "keys", "names" (Table B names), "units" and "descriptors", each mapping
    column names. Messages that fail to decode are left out (``errors="raise"``
    raises the first). A frame that would take more than ``max_bytes`` is
    refused with ValueError before it is allocated; read such an input per
    template with `morvane.read_arrow`.
    """
    problems: list[MessageError] = []
    # Runs as long as the template lasts: the frame holds all their rows anyway,
    # and a file of one template becomes one batch, copied a column at a time.
    runs = list(decode_runs(messages_of(source, tables, errors), errors, problems, batch_rows=sys.maxsize,
                             alone_rows=sys.maxsize))
    columns = _union(runs, meanings)
    rows = sum(run.batch.num_rows for run in runs)
    size = rows * sum(CELL_BYTES[c.kind] for c in columns.values()) + COLUMN_BYTES * len(columns)
    if size > max_bytes:
        templates = len({tuple(m.message.unexpanded_descriptors) for run in runs for m in run.messages
                         if m.message is not None})
        raise ValueError(
            f"to_dataframe: {rows} rows x {len(columns)} columns from {templates} message templates would take "
            f"{size / 2**30:.1f} GiB, over max_bytes={max_bytes}; read one template at a time with "
            "morvane.read_arrow, or select messages first")

    fillers = {name: _Filler(column, rows) for name, column in columns.items()}
    message_numbers = np.empty(rows, dtype=np.int64)
    subset_numbers = np.empty(rows, dtype=np.int64)
    start = 0
    runs.reverse()
    while runs:
        # Each run is dropped once copied, so its memory and the frame's overlap
        # only while it is copied.
        run = runs.pop()
        batch = run.batch
        table_set = run.messages[0].tables if meanings else None
        for i, column in enumerate(batch.columns):
            filler = fillers.get(column.name)
            if filler is not None and (meanings or not filler.take(batch, i, column.type)):
                filler.fill(batch, i, column.type, start, table_set)
        offsets = batch.message_rows
        for n, message in enumerate(run.messages):
            a, b = start + offsets[n], start + offsets[n + 1]
            message_numbers[a:b] = message.index
            subset_numbers[a:b] = np.arange(b - a)
        start += batch.num_rows

    index = pd.MultiIndex.from_arrays([message_numbers, subset_numbers], names=["message", "subset"])
    # Series on the frame's own index, copy=False: each column keeps its array
    # (no block of all float columns is put together, which would double the
    # frame's memory for a moment), and text stays object with None for
    # missing rather than becoming pandas' str dtype with NaN.
    arrays = {name: filler.array() for name, filler in fillers.items()}
    data = {name: pd.Series(array, index=index, copy=False,
                            dtype=object if fillers[name].column.kind in ("text", "object") else None)
            for name, array in arrays.items()}
    stamp = _datetime(arrays)
    if stamp is not None and "datetime" not in data:
        data["datetime"] = pd.Series(stamp, index=index, copy=False)
    frame = pd.DataFrame(data, index=index, copy=False)
    frame.attrs["keys"] = {n: c.key for n, c in columns.items()}
    frame.attrs["names"] = {n: c.element_name for n, c in columns.items()}
    frame.attrs["units"] = {n: c.unit for n, c in columns.items()}
    frame.attrs["descriptors"] = {n: c.descriptor for n, c in columns.items()}
    return frame
