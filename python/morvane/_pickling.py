"""Sending `Tables` to other processes by where they come from.

A worker process loads its own copy of the tables from the same source
(the bundled tree, or a path), so a `Message` or a `Tables` can go through
multiprocessing or concurrent.futures. A table set built in memory has no
source to load from again.
"""

from __future__ import annotations

import copyreg
from pathlib import Path
from typing import Any

from ._tables import Tables, bundled_tables


def restore_tables(path: Path | None, nearest_version: bool) -> Tables:
    if path is None and nearest_version:
        return bundled_tables()  # shared with every other user of the bundled tables in that process
    return Tables(path, nearest_version=nearest_version)


def reduce_tables(tables: Tables) -> tuple[Any, ...]:
    if tables.kind == "table set":
        raise TypeError("cannot pickle a morvane.Tables made from an in-memory _morvane.TableSet: "
                        "give Tables the path of its tables instead, so that each process can load them")
    return (restore_tables, (None if tables.kind == "bundled" else tables.path, tables._nearest))


copyreg.pickle(Tables, reduce_tables)
