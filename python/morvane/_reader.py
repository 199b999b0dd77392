"""Reading files of BUFR messages: one object per message, values on demand."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any, BinaryIO, Literal, Union

import _morvane

from . import _pickling  # noqa: F401  (lets Message and Tables be pickled)
from ._framing import Chunk, frames, to_edition4
from ._tables import StrPath, Tables, as_tables
from ._window import CHUNK, Window, memoryview_reader

if TYPE_CHECKING:
    import numpy

Source = Union[bytes, bytearray, memoryview, StrPath, BinaryIO]
ErrorMode = Literal["report", "skip", "raise"]
ERROR_MODES = ("report", "skip", "raise")


def dated_year(m: Any) -> int:
    """The year of the message's typical date. Some encoders put the year
    of the century in an edition 4 header; as ecCodes does, such a year is
    taken as 20yy (typicalYear itself stays as written)."""
    year: int = m.typical_year
    return year + 2000 if year < 100 else year


class MessageError(ValueError):
    """A message that could not be framed, parsed or decoded.

    ``offset`` and ``index`` tell which message of the input it was; the
    original exception, if any, is the ``__cause__``."""

    def __init__(self, text: str, offset: int, index: int) -> None:
        super().__init__(f"message {index} at offset {offset}: {text}")
        self.reason = text
        self.offset = offset
        self.index = index

    def __reduce__(self) -> tuple[Any, ...]:
        # The default passes only the formatted text back to __init__, which
        # wants three arguments: a worker process's error could not be rebuilt.
        return (type(self), (self.reason, self.offset, self.index))


class Message:
    """One message of the input.

    Attributes: ``index`` (its position among the messages found),
    ``offset`` (of its first byte in the input), ``edition`` (as found),
    ``original`` (its bytes as found), ``data`` (its bytes in edition 4
    form, the same as ``original`` for edition 4), ``message`` (its
    ``_morvane.BufrMessage``, or None when it could not be parsed) and
    ``values`` (its list of ``_morvane.DecodedValue``, decoded on first
    access and kept).

    ``error`` is the ``MessageError`` of a message that cannot be framed,
    parsed or decoded; reading it decodes the values if that has not
    happened yet. When the message was read with ``errors="raise"``,
    ``values`` raises that error; otherwise it is an empty list.
    """

    __slots__ = ("index", "offset", "edition", "original", "data", "message",
                 "_tables", "_raise", "_values", "_error", "_table_set")

    def __init__(self, index: int, offset: int, original: bytes, tables: Tables,
                 raise_errors: bool, problem: str | None, edition: int | None = None) -> None:
        self.index = index
        self.offset = offset
        self.original = original
        self.edition: int | None = edition if len(original) <= 7 else original[7]
        self.data = original
        self.message: _morvane.BufrMessage | None = None
        self._tables = tables
        self._raise = raise_errors
        self._values: list[_morvane.DecodedValue] | None = None
        self._error: MessageError | None = None
        self._table_set: _morvane.TableSet | None = None
        if problem is None and self.edition not in (2, 3, 4):
            problem = f"unsupported BUFR edition {self.edition}"
        if problem is not None:
            self._error = MessageError(problem, offset, index)
            return
        try:
            self.data = to_edition4(original)
            self.message = _morvane.parse_bytes(self.data)
        except ValueError as exc:
            self._fail(exc)

    def __reduce__(self) -> tuple[Any, ...]:
        # Its bytes and where they came from travel, with the tables as their
        # source (loaded again on the other side); decoded values do not.
        problem = None if self._error is None or self.message is not None else self._error.reason
        return (Message, (self.index, self.offset, self.original, self._tables, self._raise, problem,
                          self.edition))

    def _fail(self, exc: Exception, text: str | None = None) -> None:
        error = MessageError(text or str(exc), self.offset, self.index)
        error.__cause__ = exc
        self._error = error
        self._values = []

    def __repr__(self) -> str:
        if self.message is None:
            return f"<morvane.Message {self.index} at {self.offset}: {self._error}>"
        m = self.message
        return (f"<morvane.Message {self.index} at {self.offset}: edition {self.edition}, "
                f"centre {m.originating_centre}, category {m.data_category}, "
                f"{m.number_of_subsets} subsets>")

    @property
    def tables(self) -> _morvane.TableSet:
        """The table set that decodes this message (loaded on first use and
        shared with every message of the same table version)."""
        if self._table_set is None:
            if self.message is None:
                raise self._error or ValueError("message was not parsed")
            self._table_set = self._tables.for_message(self.message)
        return self._table_set

    @property
    def tables_version(self) -> int | None:
        """The master tables version used to decode (may differ from the
        message's own when the tables lack it); None for a fixed table set."""
        return None if self.message is None else self._tables.version_used(self.message)

    @property
    def values(self) -> list[_morvane.DecodedValue]:
        if self._values is None:
            try:
                tables = self.tables
            except (ValueError, OSError) as exc:
                self._fail(exc, f"cannot load tables: {exc}")
            else:
                try:
                    self._values = _morvane.decode_values_with_tables(self.data, tables)
                except ValueError as exc:
                    self._fail(exc, decoding_problem(str(exc)))
        if self._error is not None and self._raise:
            raise self._error
        assert self._values is not None
        return self._values

    @property
    def error(self) -> MessageError | None:
        if self._error is None and self._values is None:
            try:
                self.values
            except MessageError:
                pass
        return self._error

    def subsets(self) -> list[list[_morvane.DecodedValue]]:
        """``values`` cut into one list per subset."""
        from ._subsets import split_subsets

        values = self.values
        if self.message is None or not values:
            return [[] for _ in range(self.message.number_of_subsets if self.message else 0)]
        return split_subsets(self.data, self.message, values, self.tables)

    def to_arrow(self) -> object:
        """The message as columns, one row per subset: a ``_columnar.Batch``,
        which Arrow libraries take as a record batch (``pyarrow.table(batch)``,
        ``polars.DataFrame(batch)``). Raises its `MessageError` if it cannot be
        decoded."""
        from ._columns import message_batch

        return message_batch(self)

    def arrays(self, keys: "Iterable[str] | str | None" = None) -> "dict[str, numpy.ndarray]":
        """NumPy arrays by ecCodes key (needs numpy), every key when ``keys``
        is None.

        "airTemperature" gives shape (subsets,) when the key occurs once per
        subset, else (subsets, occurrences), an occurrence missing from a
        subset counting as missing; "#2#airTemperature" gives that occurrence
        alone, shape (subsets,). Missing values: NaN in float arrays; integer
        keys come as ``numpy.ma.MaskedArray`` (int64, masked where missing)
        whether or not anything is missing, so the type does not depend on the
        data; text is an object array of str, None where missing. KeyError
        for a key the message lacks.
        """
        from ._columns import batch_arrays

        return batch_arrays(self.to_arrow(), keys)


def decoding_problem(text: str) -> str:
    # The extension labels every failure inside section 4 as a table parse
    # error; here the tables have already been loaded, so it is the data.
    label = "csv/table parse error: "
    return "cannot decode data: " + text[len(label):] if text.startswith(label) else text


def _names_a_file(source: bytes) -> bool:
    """Whether ``source`` is a file name given as bytes: data without a
    single message that names an existing file would otherwise read as
    nothing at all, without a word."""
    return 0 < len(source) <= 4096 and b"BUFR" not in source and b"\0" not in source and os.path.exists(source)


def _open(source: Source) -> tuple[Window, BinaryIO | None]:
    """A window on ``source`` and the file to close when done (when the
    source is a path)."""
    if isinstance(source, (bytes, bytearray)):
        return Window.over(source), None
    if isinstance(source, memoryview):
        try:
            return Window(memoryview_reader(source)), None
        except TypeError:  # not contiguous: cannot be cast to bytes in place
            return Window.over(source.tobytes()), None
    if isinstance(source, (str, os.PathLike)):
        return _open_path(source)
    read = getattr(source, "read", None)
    if read is None:
        raise TypeError(f"source must be a path, bytes or a binary file object, not {type(source).__name__}")
    if isinstance(read(0), str):
        raise TypeError("source file object must be opened in binary mode")
    return Window(getattr(source, "read1", read)), None


def _open_path(path: StrPath) -> tuple[Window, BinaryIO | None]:
    """`_open` of a path, through its descriptor: a small regular file is
    read whole (its chunks would cost more than its messages), without the
    file object that costs a small read more than its reading."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
    except (OSError, TypeError, ValueError):
        fh = open(path, "rb", buffering=0)  # raises as a file object's opening would
        return Window(fh.read), fh
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            os.close(fd)
            fd = -1
            open(path, "rb", buffering=0).close()  # raises, naming the path, as it would have
        if not stat.S_ISREG(info.st_mode) or info.st_size > CHUNK:
            # (the descriptor itself: a pipe's writer stays the one it met)
            fh = open(fd, "rb", buffering=0)
            return Window(fh.read), fh
        # One read of its size and one more byte finds the end, unless the
        # file grew or the read came short (a raw read may).
        data = os.read(fd, info.st_size + 1)
        if len(data) != info.st_size:
            pieces = [data]
            while piece := os.read(fd, CHUNK):
                pieces.append(piece)
            data = b"".join(pieces)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        raise
    os.close(fd)
    return Window.over(data), None


class MessageStream(Iterator[Message]):
    """The messages of one input, framed and yielded one at a time; a file
    opened from a path is closed when the last message has been read, on
    `close`, or when leaving a ``with`` block."""

    def __init__(self, window: Window, owned: BinaryIO | None, tables: Tables, errors: ErrorMode) -> None:
        self._owned = owned
        self._chunks = frames(window)
        self._tables = tables
        self._errors = errors
        self._index = 0

    def __iter__(self) -> "MessageStream":
        return self

    def __next__(self) -> Message:
        while True:
            try:
                chunk: Chunk = next(self._chunks)
            except BaseException:
                self.close()
                raise
            message = Message(self._index, chunk.offset, chunk.data, self._tables, self._errors == "raise",
                              chunk.problem, chunk.edition)
            self._index += 1
            if self._errors == "raise" and message._error is not None:
                raise message._error
            if self._errors == "skip" and message.error is not None:
                continue
            return message

    def close(self) -> None:
        if self._owned is not None:
            self._owned.close()
            self._owned = None

    def __enter__(self) -> "MessageStream":
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()


def read(source: Source, tables: Tables | _morvane.TableSet | StrPath | None = None,
         errors: ErrorMode = "report") -> MessageStream:
    """Iterate over the BUFR messages of ``source``.

    ``source`` is a path, a bytes-like object or a binary file object; bytes
    before, between and after messages are skipped. A path or file is read
    in chunks and each message is yielded as soon as it is found, so memory
    stays bounded by the largest message however long the input. Editions 2
    and 3 are read through their edition 4 form (`to_edition4`). ``tables``
    is None (the bundled tables), a `Tables`, a ``_morvane.TableSet``, or a
    path to a definitions root, a table directory or the WMO CSV tables.

    ``errors`` decides what a bad message does: "report" (the default)
    yields it with its ``error`` set and lets iteration go on; "skip" leaves
    it out (its values are decoded before it is yielded, to know); "raise"
    raises its `MessageError` when it is met, or when ``values`` fails to
    decode.
    """
    if errors not in ERROR_MODES:
        raise ValueError(f"errors must be one of {', '.join(map(repr, ERROR_MODES))}, not {errors!r}")
    if isinstance(source, bytes) and _names_a_file(source):
        raise TypeError(f"bytes are read as BUFR data, not as a file name: pass {os.fsdecode(source)!r} "
                        "as str or pathlib.Path")
    table_source = as_tables(tables)
    window, owned = _open(source)
    return MessageStream(window, owned, table_source, errors)


def read_messages(source: Source, tables: Tables | _morvane.TableSet | StrPath | None = None,
                  errors: ErrorMode = "report") -> list[Message]:
    """`read` as a list."""
    return list(read(source, tables, errors))


__all__ = ["Message", "MessageError", "read", "read_messages"]
