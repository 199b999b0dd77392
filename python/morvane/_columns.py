"""Messages as columns: NumPy arrays per ecCodes key and streams of Arrow batches.

The columns come from ``morvane._columnar``: one row per subset, one column
per element occurrence, named "#k#key" where key is the ecCodes key (the
Table B abbreviation) and k its occurrence within the subset, counted from 1.
ecCodes counts k over the whole message in an uncompressed message of several
subsets; here it restarts in each subset, so a column holds the same element
of every subset.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any

import _morvane

from ._reader import ERROR_MODES, ErrorMode, Message, MessageError, read
from ._tables import StrPath, Tables

if TYPE_CHECKING:
    import numpy

RANKED_KEY = re.compile(r"#(\d+)#(.+)")
# Rows of one batch from read_arrow: enough to amortise the per-batch cost,
# few enough that a batch of wide satellite subsets stays in the tens of MB.
BATCH_ROWS = 8192
# A message of this many subsets is a batch of its own: it is big enough to
# amortise the batch, and decoded alone its compressed columns become the
# batch's arrays instead of being copied into a longer one.
ALONE_ROWS = 256


def columnar() -> Any:
    """The extension module, with an error that says what is missing."""
    try:
        from . import _columnar
    except ImportError as exc:  # pragma: no cover - depends on the build
        raise ImportError("morvane._columnar is not built; reinstall morvane") from exc
    return _columnar


def _message_error(message: Message, exc: Exception) -> MessageError:
    error = MessageError(str(exc), message.offset, message.index)
    error.__cause__ = exc
    return error


def message_batch(message: Message) -> Any:
    """The message as one ``_columnar.Batch``; MessageError when it cannot be
    decoded."""
    if message.message is None:
        raise message.error or MessageError("message was not parsed", message.offset, message.index)
    try:
        return columnar().decode(message.data, message.tables)
    except ValueError as exc:
        raise _message_error(message, exc) from exc


# --------------------------------------------------------------------------
# NumPy arrays


def column_array(batch: Any, i: int, kind: str) -> Any:
    """Column ``i`` of ``batch``, of type `kind`: float64 with NaN where
    missing, int64 as a masked array (mask True where missing), text as
    objects (str or None)."""
    import numpy as np

    out: Any
    if kind == "text":
        out = np.empty(batch.num_rows, dtype=object)
        out[:] = batch.values(i)
        return out
    values = np.asarray(batch.values(i))
    missing = ~np.asarray(batch.valid(i)).astype(bool, copy=False)
    if kind == "int64":
        # A copy: the batch's buffers are read-only, and arrays handed out are the caller's.
        out = np.ma.MaskedArray(values.copy(), mask=missing)
    else:
        out = np.where(missing, np.nan, values)
    return out


def _stack(batch: Any, indices: list[int | None], types: list[str]) -> Any:
    """(rows, occurrences) array of the columns at ``indices`` (None for an
    occurrence this batch lacks: all missing); `types`: of every column."""
    import numpy as np

    kinds = {types[i] for i in indices if i is not None}
    shape = (batch.num_rows, len(indices))
    column: Any
    out: Any
    if "text" in kinds:
        out = np.full(shape, None, dtype=object)
        if kinds != {"text"}:
            for j, i in enumerate(indices):
                if i is not None:
                    out[:, j] = np.asarray(column_array(batch, i, types[i]), dtype=object)
            return out
    elif kinds == {"int64"}:
        out = np.ma.MaskedArray(np.zeros(shape, dtype=np.int64), mask=np.ones(shape, dtype=bool))
    else:
        out = np.full(shape, np.nan)
    for j, i in enumerate(indices):
        if i is None:
            continue
        column = column_array(batch, i, types[i])
        if kinds == {"int64"}:
            out.data[:, j] = column.data
            out.mask[:, j] = np.ma.getmaskarray(column)
        elif types[i] == "int64":
            out[:, j] = column.astype(np.float64).filled(np.nan)
        else:
            out[:, j] = column
    return out


def batch_arrays(batch: Any, keys: Iterable[str] | None = None) -> dict[str, numpy.ndarray]:
    """One array per key; see `Message.arrays`."""
    ranks: dict[str, dict[int, int]] = {}
    columns = batch.columns  # each reading of it makes every column's object
    types = [column.type for column in columns]
    for i, column in enumerate(columns):
        if column.role != "marker":
            ranks.setdefault(column.key, {})[column.rank] = i
    wanted = list(ranks) if keys is None else [keys] if isinstance(keys, str) else list(keys)
    out = {}
    for name in wanted:
        ranked = RANKED_KEY.fullmatch(name)
        if ranked is not None:
            index = ranks.get(ranked[2], {}).get(int(ranked[1]))
            if index is None:
                raise KeyError(f"no {name!r} in this message")
            out[name] = column_array(batch, index, types[index])
            continue
        if name not in ranks:
            raise KeyError(f"no {name!r} in this message")
        occurrences = ranks[name]
        if len(occurrences) == 1 and 1 in occurrences:
            out[name] = column_array(batch, occurrences[1], types[occurrences[1]])
        else:
            out[name] = _stack(batch, [occurrences.get(k) for k in range(1, max(occurrences) + 1)], types)
    return out


# --------------------------------------------------------------------------
# Batches over a whole input


def messages_of(source: Any, tables: Tables | _morvane.TableSet | StrPath | None,
                errors: ErrorMode) -> Iterable[Message]:
    """Messages from a Message, a list or iterator of them, or anything
    `read` accepts (a file object is read, never iterated)."""
    if isinstance(source, Message):
        return [source]
    if isinstance(source, Iterable) and not hasattr(source, "read") \
            and not isinstance(source, (bytes, bytearray, memoryview, str)):
        return _only_messages(source)
    # Failed messages are sorted out while decoding the columns; read's "skip"
    # would decode every message a second time, as objects, to find them.
    return read(source, tables, "raise" if errors == "raise" else "report")


def _only_messages(items: Iterable[Any]) -> Iterator[Message]:
    for item in items:
        if not isinstance(item, Message):
            raise TypeError(f"expected morvane.Message items, got {type(item).__name__}")
        yield item


def _template(message: Message) -> tuple[Any, ...] | None:
    if message.message is None:
        return None
    try:
        tables = message.tables
    except ValueError:
        return None
    return (tuple(message.message.unexpanded_descriptors), id(tables))


class Run:
    """Consecutive messages of one template, decoded together."""

    __slots__ = ("messages", "batch")

    def __init__(self, messages: list[Message], batch: Any) -> None:
        self.messages = messages
        self.batch = batch


def decode_runs(messages: Iterable[Message], errors: ErrorMode, problems: list[MessageError],
                batch_rows: int = BATCH_ROWS, alone_rows: int = ALONE_ROWS) -> Iterator[Run]:
    """Runs of consecutive messages with the same unexpanded descriptors and
    table set, at most ``batch_rows`` subsets each (a message bigger than
    that, or of ``alone_rows`` subsets or more, makes a run of its own). Messages that fail are left out and added to
    ``problems``, or raised with ``errors="raise"``."""
    if errors not in ERROR_MODES:
        raise ValueError(f"errors must be one of {', '.join(map(repr, ERROR_MODES))}, not {errors!r}")
    pending: list[Message] = []
    rows = 0
    alone = False
    key: tuple[Any, ...] | None = None
    for message in messages:
        template = _template(message)
        if template is None:
            _refuse(message, message.error or MessageError("no tables", message.offset, message.index),
                    errors, problems)
            continue
        count = message.message.number_of_subsets if message.message is not None else 0
        big = count >= alone_rows
        if pending and (template != key or rows + count > batch_rows or big or alone):
            yield from _decode_run(pending, errors, problems)
            pending, rows = [], 0
        alone = big
        pending.append(message)
        rows += count
        key = template
    if pending:
        yield from _decode_run(pending, errors, problems)


def _refuse(message: Message, error: MessageError, errors: ErrorMode, problems: list[MessageError]) -> None:
    if errors == "raise":
        raise error
    problems.append(error)


def _decode_run(messages: list[Message], errors: ErrorMode, problems: list[MessageError]) -> Iterator[Run]:
    module = columnar()
    try:
        yield Run(messages, module.decode_messages([(m.data, m.tables) for m in messages]))
        return
    except ValueError:
        pass
    # Find the messages that fail, one by one; the rest still make one batch.
    good = []
    for message in messages:
        try:
            module.decode(message.data, message.tables)
        except ValueError as exc:
            _refuse(message, _message_error(message, exc), errors, problems)
            continue
        good.append(message)
    if good:
        yield Run(good, module.decode_messages([(m.data, m.tables) for m in good]))


class BatchStream:
    """What `read_arrow` returns: an iterator of ``_columnar.Batch`` objects
    (each also an Arrow record batch), and an Arrow stream of them all.

    ``errors`` lists the `MessageError` of each message left out so far.
    As a stream (``pyarrow.table(stream)``, ``polars.DataFrame(stream)`` and
    the like; needs pyarrow) every batch must have the columns of the first,
    since an Arrow stream has one schema; a file of several templates is read
    by iterating instead. A stream can be consumed once.
    """

    def __init__(self, messages: Iterable[Message], errors: ErrorMode, batch_rows: int) -> None:
        self.errors: list[MessageError] = []
        self._runs = decode_runs(messages, errors, self.errors, batch_rows)

    def __iter__(self) -> BatchStream:
        return self

    def __next__(self) -> Any:
        return next(self._runs).batch

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        try:
            import pyarrow as pa
        except ImportError as exc:
            raise ImportError("an Arrow stream of several batches needs pyarrow; "
                              "iterate over the batches instead") from exc
        first = next(self._runs, None)
        if first is None:
            reader = pa.RecordBatchReader.from_batches(pa.schema([]), [])
            return reader.__arrow_c_stream__(requested_schema)
        head = pa.RecordBatchReader.from_stream(first.batch).read_all()
        schema = head.schema

        def batches() -> Iterator[Any]:
            yield from head.to_batches()
            for run in self._runs:
                table = pa.RecordBatchReader.from_stream(run.batch).read_all()
                if not table.schema.equals(schema):
                    raise ValueError(
                        f"message {run.messages[0].index} at offset {run.messages[0].offset} has other "
                        "columns than the first batch; iterate over read_arrow's batches instead")
                # Same names and types; the first batch's field metadata stands.
                for part in table.to_batches():
                    yield pa.RecordBatch.from_arrays(part.columns, schema=schema)

        reader = pa.RecordBatchReader.from_batches(schema, batches())
        return reader.__arrow_c_stream__(requested_schema)


def read_arrow(source: Any, tables: Tables | _morvane.TableSet | StrPath | None = None,
               errors: ErrorMode = "report", *, batch_rows: int = BATCH_ROWS) -> BatchStream:
    """The messages of ``source`` as a stream of column batches.

    ``source`` and ``tables`` are as for `morvane.read`. One batch holds a
    run of consecutive messages with the same unexpanded descriptors and
    tables, up to ``batch_rows`` subsets (one row each); columns line up by
    "#k#key" name, null where a message lacks one. Messages that cannot be
    decoded are left out and listed in the stream's ``errors``; with
    ``errors="raise"`` the first of them raises its `MessageError`.
    """
    if batch_rows < 1:
        raise ValueError(f"batch_rows must be at least 1, not {batch_rows}")
    return BatchStream(messages_of(source, tables, errors), errors, batch_rows)
