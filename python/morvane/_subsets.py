"""Cutting a message's flat list of values into its subsets.

The decoder returns the values of all subsets in one list without marking
where a subset ends. Compressed subsets all have the same length. An
uncompressed subset starts with whatever its leading descriptors produce,
which is the same descriptor every time: when that descriptor occurs n
times in all, once per subset, its positions are the boundaries. Otherwise the
message is decoded again with its subset count set to 1, 2, ... n - 1: the
lengths of those decodings are the boundaries (exact, but it costs about
n/2 decodings of the message).
"""

from __future__ import annotations

import _morvane


def _with_subset_count(data: bytes, message: _morvane.BufrMessage, count: int) -> bytes:
    at = 8 + message.section1_length + message.section2_length + 4
    return data[:at] + count.to_bytes(2, "big") + data[at + 2:]


def subset_boundaries(data: bytes, message: _morvane.BufrMessage,
                      values: list[_morvane.DecodedValue], tables: _morvane.TableSet) -> list[int]:
    """Start index in ``values`` of each subset (the first is 0)."""
    n = message.number_of_subsets
    if n <= 1 or not values:
        return [0] * min(n, 1) + [len(values)] * max(n - 1, 0)
    if message.compressed_data:
        if len(values) % n:
            raise ValueError(f"{len(values)} compressed values do not divide into {n} subsets")
        step = len(values) // n
        return list(range(0, len(values), step))
    first = values[0].descriptor
    starts = [i for i, v in enumerate(values) if v.descriptor == first]
    if len(starts) == n:
        return starts
    return [0] + [len(_morvane.decode_values_with_tables(_with_subset_count(data, message, j), tables))
                  for j in range(1, n)]


def split_subsets(data: bytes, message: _morvane.BufrMessage,
                  values: list[_morvane.DecodedValue], tables: _morvane.TableSet
                  ) -> list[list[_morvane.DecodedValue]]:
    starts = subset_boundaries(data, message, values, tables)
    ends = starts[1:] + [len(values)]
    return [values[a:b] for a, b in zip(starts, ends)]
