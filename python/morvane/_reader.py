"""Reading files of BUFR messages: one object per message, values on demand."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, BinaryIO, Literal, Union

import _morvane

from ._framing import scan, to_edition4
from ._tables import StrPath, Tables, as_tables

if TYPE_CHECKING:
    import numpy

Source = Union[bytes, bytearray, memoryview, StrPath, BinaryIO]
ErrorMode = Literal["report", "skip", "raise"]
ERROR_MODES = ("report", "skip", "raise")


class MessageError(ValueError):
    """A message that could not be framed, parsed or decoded.

    ``offset`` and ``index`` tell which message of the input it was; the
    original exception, if any, is the ``__cause__``."""

    def __init__(self, text: str, offset: int, index: int) -> None:
        super().__init__(f"message {index} at offset {offset}: {text}")
        self.reason = text
        self.offset = offset
        self.index = index


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
                 raise_errors: bool, problem: str | None) -> None:
        self.index = index
        self.offset = offset
        self.original = original
        self.edition: int | None = original[7] if len(original) > 7 else None
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

    def _fail(self, exc: Exception) -> None:
        error = MessageError(str(exc), self.offset, self.index)
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
                self._values = _morvane.decode_values_with_tables(self.data, self.tables)
            except ValueError as exc:
                self._fail(exc)
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


def _read_source(source: Source) -> bytes:
    if isinstance(source, bytes):
        return source
    if isinstance(source, (bytearray, memoryview)):
        return bytes(source)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as fh:
            return fh.read()
    read = getattr(source, "read", None)
    if read is None:
        raise TypeError(f"source must be a path, bytes or a binary file object, not {type(source).__name__}")
    data = read()
    if isinstance(data, str) or not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError("source file object must be opened in binary mode")
    return bytes(data)


def read(source: Source, tables: Tables | _morvane.TableSet | StrPath | None = None,
         errors: ErrorMode = "report") -> Iterator[Message]:
    """Iterate over the BUFR messages of ``source``.

    ``source`` is a path, a bytes-like object or a binary file object; bytes
    before, between and after messages are skipped. Editions 2 and 3 are
    read through their edition 4 form (`to_edition4`). ``tables`` is None
    (the bundled tables), a `Tables`, a ``_morvane.TableSet``, or a path to a
    definitions root, a table directory or the WMO CSV tables.

    ``errors`` decides what a bad message does: "report" (the default)
    yields it with its ``error`` set and lets iteration go on; "skip" leaves
    it out (its values are decoded before it is yielded, to know); "raise"
    raises its `MessageError` when it is met, or when ``values`` fails to
    decode.
    """
    if errors not in ERROR_MODES:
        raise ValueError(f"errors must be one of {', '.join(map(repr, ERROR_MODES))}, not {errors!r}")
    table_source = as_tables(tables)
    buffer = _read_source(source)
    return _iterate(buffer, table_source, errors)


def _iterate(buffer: bytes, tables: Tables, errors: ErrorMode) -> Iterator[Message]:
    for index, chunk in enumerate(scan(buffer)):
        message = Message(index, chunk.offset, chunk.data, tables, errors == "raise", chunk.problem)
        if errors == "raise" and message._error is not None:
            raise message._error
        if errors == "skip" and message.error is not None:
            continue
        yield message


def read_messages(source: Source, tables: Tables | _morvane.TableSet | StrPath | None = None,
                  errors: ErrorMode = "report") -> list[Message]:
    """`read` as a list."""
    return list(read(source, tables, errors))


__all__ = ["Message", "MessageError", "read", "read_messages"]
