"""Decoded messages as a pandas DataFrame (``pip install morvane[pandas]``)."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, cast

import _morvane

from ._reader import ErrorMode, Message, read

try:
    import pandas as pd
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("morvane.frame needs pandas: pip install 'morvane[pandas]'") from exc

OPERATOR_NAME = "operator"


def _messages(source: Any, tables: Any, errors: ErrorMode) -> Iterable[Message]:
    if isinstance(source, Message):
        return [source]
    if isinstance(source, (list, tuple)) and all(isinstance(m, Message) for m in source):
        return source
    if hasattr(source, "__next__"):
        return cast(Iterable[Message], source)
    return read(source, tables, errors)


def _cell(value: _morvane.DecodedValue, meanings: bool) -> Any:
    if value.raw_text is not None:
        return value.raw_text
    if meanings and value.raw_meaning is not None:
        return value.raw_meaning
    return value.raw_value


def to_dataframe(source: Any, tables: Any = None, *, meanings: bool = False,
                 errors: ErrorMode = "report") -> pd.DataFrame:
    """One row per subset, one column per element occurrence.

    ``source`` is a `Message`, a list or iterator of them, or anything
    `morvane.read` accepts (then read with ``tables`` and ``errors``).

    Columns are named by the Table B name of the element; its second, third,
    ... occurrence within a subset gets "#2", "#3", ... appended, so a
    replicated level of a sounding is a column of its own. Rows are indexed
    by (message, subset), both counted from 0. Operator markers are left
    out; character values are str, numbers float (NaN when missing), and with
    ``meanings=True`` code and flag table elements give their meaning where
    the table has one. ``df.attrs["units"]`` and ``df.attrs["descriptors"]``
    map each column to its unit and descriptor code. Messages that failed to
    decode are left out unless ``errors="raise"``.
    """
    rows: list[dict[str, Any]] = []
    message_numbers: list[int] = []
    subset_numbers: list[int] = []
    units: dict[str, str] = {}
    codes: dict[str, int] = {}
    for message in _messages(source, tables, errors):
        if message.error is not None:
            if errors == "raise":
                raise message.error
            continue
        table_set = message.tables
        for number, subset in enumerate(message.subsets()):
            row: dict[str, Any] = {}
            seen: dict[str, int] = {}
            for value in subset:
                if value.name == OPERATOR_NAME and value.descriptor // 100000 == 2:
                    continue
                count = seen[value.name] = seen.get(value.name, 0) + 1
                column = value.name if count == 1 else f"{value.name}#{count}"
                row[column] = _cell(value, meanings)
                if column not in codes:
                    codes[column] = value.descriptor
                    element = table_set.get_element(value.descriptor)
                    units[column] = element.unit if element is not None else ""
            rows.append(row)
            message_numbers.append(message.index)
            subset_numbers.append(number)
    frame = pd.DataFrame(rows, columns=list(codes),
                         index=pd.MultiIndex.from_arrays([message_numbers, subset_numbers],
                                                          names=["message", "subset"]))
    frame.attrs["units"] = units
    frame.attrs["descriptors"] = codes
    return frame
