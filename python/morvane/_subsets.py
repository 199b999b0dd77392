"""Cutting a message's flat list of values into its subsets.

The decoder returns the values of all subsets in one list; the walk knows
where each subset starts, and ``_columnar.subset_starts`` hands those
positions out from a walk that only counts items.
"""

from __future__ import annotations

import _morvane

from . import _columnar


def subset_boundaries(data: bytes, message: _morvane.BufrMessage,
                      values: list[_morvane.DecodedValue], tables: _morvane.TableSet) -> list[int]:
    """Start index in ``values`` of each subset (the first is 0)."""
    if message.number_of_subsets == 0:
        return []
    return _columnar.subset_starts(data, tables)


def split_subsets(data: bytes, message: _morvane.BufrMessage,
                  values: list[_morvane.DecodedValue], tables: _morvane.TableSet
                  ) -> list[list[_morvane.DecodedValue]]:
    starts = subset_boundaries(data, message, values, tables)
    ends = starts[1:] + [len(values)]
    return [values[a:b] for a, b in zip(starts, ends)]
