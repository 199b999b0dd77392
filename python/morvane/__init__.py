"""morvane: read BUFR messages into Python.

    import morvane
    for msg in morvane.read("observations.bufr"):
        for value in msg.values:
            print(value.name, value.data)

`read` yields one `Message` per message of a file, bytes or file object,
decoding its values on first access with the bundled tables (or those given).
`Tables` loads tables once for many messages; `to_edition4` rewrites an
edition 2 or 3 message into edition 4; `read_arrow` gives the messages as
batches of columns (one row per subset, Arrow-compatible), `to_dataframe`
(needs pandas) a table of subsets and `read_bufr` (or `read_bufr_frames`,
frame by frame) chosen keys one row per observation, as pdbufr does. The low-level module is ``_morvane``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._columns import BatchStream, read_arrow
from ._framing import to_edition4
from ._reader import ErrorMode, Message, MessageError, read, read_messages
from ._tables import BUNDLED_ROOT, Tables

if TYPE_CHECKING:
    from collections.abc import Iterator

    import pandas

try:
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("morvane")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"


def to_dataframe(source: Any, tables: Any = None, *, meanings: bool = False,
                 errors: ErrorMode = "report", max_bytes: int = 4 << 30) -> "pandas.DataFrame":
    """One row per subset, one column per element occurrence, named by ecCodes
    key (needs the ``pandas`` extra); see `morvane.frame.to_dataframe`."""
    from .frame import to_dataframe as convert

    return convert(source, tables, meanings=meanings, errors=errors, max_bytes=max_bytes)


def read_bufr(source: Any, columns: Any, filters: Any = None, required_columns: Any = True,
              **options: Any) -> "pandas.DataFrame":
    """Chosen keys as a DataFrame, one row per observation, as pdbufr makes
    them (needs numpy and pandas); see `morvane._observations.read_bufr`."""
    from ._observations import read_bufr as select

    return select(source, columns, filters, required_columns, **options)


def read_bufr_frames(source: Any, columns: Any, filters: Any = None, required_columns: Any = True,
                     **options: Any) -> "Iterator[pandas.DataFrame]":
    """`read_bufr`'s rows as consecutive DataFrames, for inputs whose table
    would not fit in memory at once; see `morvane._observations.read_bufr_frames`."""
    from ._observations import read_bufr_frames as frames

    return frames(source, columns, filters, required_columns, **options)


__all__ = ["BUNDLED_ROOT", "BatchStream", "Message", "MessageError", "Tables", "read", "read_arrow",
           "read_bufr", "read_bufr_frames", "read_messages", "to_dataframe", "to_edition4", "__version__"]
