"""Reading BUFR archives with Dask (``pip install 'morvane[dask]'``).

    import morvane.dask
    frame = morvane.dask.read_bufr("archive/*.bufr", columns=["latitude", "longitude", "airTemperature"])
    frame.to_parquet("observations/")

Each partition is a run of whole messages of one file: small files are one
partition each, large ones are cut into ranges of ``messages_per_partition``
messages. The ranges are found by framing alone, so planning the graph reads
each file once but decodes nothing. Every partition is decoded by
`morvane.read_bufr` on the worker; the decode releases the GIL, so the
threaded scheduler uses every core, and every task, result and error pickles
for worker processes.
"""

from __future__ import annotations

import contextlib
import glob
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

from ._reader import ErrorMode, MessageError, read

try:
    import dask.dataframe as dd
    from dask.delayed import delayed
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("morvane.dask needs dask: pip install 'morvane[dask]'") from exc

if TYPE_CHECKING:
    import pandas
    import pyarrow

DEFAULT_MESSAGES_PER_PARTITION = 2000
# Partitions decoded on the client, at most, to find the schema.
SCHEMA_PARTITIONS = 3


@dataclass(frozen=True)
class MessageRange:
    """Messages ``first_index`` onwards of ``path``, lying in bytes
    ``start`` to ``stop`` of it (junk between messages included)."""

    path: str
    start: int
    stop: int
    first_index: int
    count: int


def expand_paths(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """A path, a glob or a list of either, as a sorted list of files (in the
    order given for a list)."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    found: list[str] = []
    for item in items:
        text = os.fspath(item)
        if glob.has_magic(text):
            matches = sorted(glob.glob(text))
            if not matches:
                raise FileNotFoundError(f"no files match {text}")
            found.extend(matches)
        else:
            if not os.path.exists(text):
                raise FileNotFoundError(f"no such file: {text}")
            found.append(text)
    return found


def message_ranges(path: str, messages_per_partition: int) -> list[MessageRange]:
    """The file's messages cut into runs of at most ``messages_per_partition``
    by framing alone; each range ends where the next begins, so junk between
    messages is read by exactly one range."""
    starts: list[int] = []
    count = 0
    for message in read(path, errors="report"):
        if count % messages_per_partition == 0:
            starts.append(message.offset)
        count += 1
    size = os.path.getsize(path)
    if not starts:
        return [MessageRange(path, 0, size, 0, 0)]
    stops = starts[1:] + [size]
    ranges = []
    for k, (start, stop) in enumerate(zip(starts, stops)):
        first = k * messages_per_partition
        ranges.append(MessageRange(path, 0 if k == 0 else start, stop, first,
                                   min(messages_per_partition, count - first)))
    return ranges


def _read_range(part: MessageRange) -> bytes:
    with open(part.path, "rb") as fh:
        fh.seek(part.start)
        return fh.read(part.stop - part.start)


def _in_file(error: MessageError, part: MessageRange) -> MessageError:
    """The error of a message of a range as the error of that message of
    the whole file: its index and offset in the file, and the file named."""
    moved = MessageError(f"{part.path}: {error.reason}", part.start + error.offset,
                         part.first_index + error.index)
    moved.__cause__ = error.__cause__
    return moved


def read_partition(part: MessageRange, columns: Sequence[str], filters: Any,
                   required_columns: Any, tables: Any, errors: ErrorMode,
                   schema: "pandas.DataFrame | None" = None) -> "pandas.DataFrame":
    """One partition as a DataFrame, in the columns and dtypes of the empty
    frame ``schema`` when given."""
    from . import read_bufr as read_table

    try:
        frame = read_table(_read_range(part), columns, filters=filters,
                           required_columns=required_columns, tables=tables, errors=errors)
    except MessageError as error:
        raise _in_file(error, part) from error.__cause__
    if schema is not None:
        frame = frame.reindex(columns=schema.columns)
        dtypes = schema.dtypes.to_dict()
        try:
            frame = frame.astype(dtypes)
        except (TypeError, ValueError):
            # An integer element that 2-02 or 2-07 gave a scale in this
            # partition's messages holds fractions: that column stays float.
            for name, dtype in dtypes.items():
                with contextlib.suppress(TypeError, ValueError):
                    frame[name] = frame[name].astype(dtype)
    return frame


def plan(paths: Any, messages_per_partition: int) -> list[MessageRange]:
    if messages_per_partition < 1:
        raise ValueError("messages_per_partition must be at least 1")
    return [part for path in expand_paths(paths)
            for part in message_ranges(path, messages_per_partition)]


def _meta(parts: list[MessageRange], columns: Sequence[str], filters: Any,
          required_columns: Any, tables: Any) -> "pandas.DataFrame":
    """The empty frame that gives the schema, from the first partitions that
    yield rows (a few at most: the archive is not decoded to plan it)."""
    frame = None
    for part in parts[:SCHEMA_PARTITIONS]:
        frame = read_partition(part, columns, filters, required_columns, tables, "skip")
        if len(frame):
            break
    if frame is None:
        from . import read_bufr as read_table

        frame = read_table(b"", columns, filters=filters, required_columns=required_columns,
                           tables=tables, errors="skip")
    # The requested order: which order read_bufr finds the columns in may
    # differ from one partition to the next.
    return frame.iloc[:0].reindex(columns=list(columns))


def read_bufr(paths: Any, columns: Sequence[str] | str, filters: Any = None,
              required_columns: Any = True, *, tables: Any = None, errors: ErrorMode = "raise",
              messages_per_partition: int = DEFAULT_MESSAGES_PER_PARTITION,
              meta: "pandas.DataFrame | None" = None) -> "dd.DataFrame":
    """`morvane.read_bufr` over many files as a Dask DataFrame.

    ``paths`` is a path, a glob or a list of them. The result has the same
    columns, dtypes and rows as `morvane.read_bufr` over the files
    concatenated, in the same order. ``errors`` is passed on; with "raise",
    the first bad message raises its `MessageError` on the client, naming the
    file and the message's index and offset in it.
    """
    if isinstance(columns, str):
        columns = [columns]
    columns = list(columns)
    parts = plan(paths, messages_per_partition)
    if meta is None:
        meta = _meta(parts, columns, filters, required_columns, tables)
    frame = dd.from_map(read_partition, parts, columns=columns,  # type: ignore[no-untyped-call]
                        filters=filters, required_columns=required_columns, tables=tables,
                        errors=errors, schema=meta, meta=meta, enforce_metadata=False)
    return cast("dd.DataFrame", frame)


def _arrow_partition(part: MessageRange, columns: Sequence[str], filters: Any,
                     required_columns: Any, tables: Any, errors: ErrorMode,
                     schema: "pandas.DataFrame") -> "pyarrow.Table":
    import pyarrow

    frame = read_partition(part, columns, filters, required_columns, tables, errors, schema)
    return pyarrow.Table.from_pandas(frame, preserve_index=False)


def read_arrow(paths: Any, columns: Sequence[str] | str, filters: Any = None,
               required_columns: Any = True, *, tables: Any = None, errors: ErrorMode = "raise",
               messages_per_partition: int = DEFAULT_MESSAGES_PER_PARTITION) -> list[Any]:
    """One ``dask.delayed`` pyarrow Table per partition of `read_bufr`'s
    plan (needs pyarrow): compute them, or hand them to any Arrow consumer."""
    if isinstance(columns, str):
        columns = [columns]
    columns = list(columns)
    parts = plan(paths, messages_per_partition)
    meta = _meta(parts, columns, filters, required_columns, tables)
    task = delayed(_arrow_partition, pure=True)
    return [task(part, columns, filters, required_columns, tables, errors, meta) for part in parts]


__all__ = ["MessageRange", "expand_paths", "message_ranges", "read_arrow", "read_bufr",
           "read_partition"]
