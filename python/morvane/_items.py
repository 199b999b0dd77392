"""Uncompressed messages, many at a time, as flat arrays of items.

`_columnar.decode_items` gives every item of a run of messages as arrays
(descriptor code, value, present) with the subsets' and messages' bounds.
Subsets are grouped by their sequence of codes across all the messages of
the run, and each group's values are gathered with NumPy: no Python object
is made per value, and the per-template work is done once per run.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

import _morvane

from ._groups import Gathered, Group, elements_of_codes

class Items:
    """The decoded items of a run of messages."""

    __slots__ = ("codes", "values", "present", "subset_starts", "message_starts", "text",
                 "text_starts", "failures", "raw_codes")

    def __init__(self, messages: Sequence[tuple[bytes, _morvane.TableSet]]) -> None:
        from . import _columnar

        (self.raw_codes, values, present, subset_starts, message_starts, self.text, text_starts,
         self.failures) = _columnar.decode_items(messages)
        self.codes = np.frombuffer(self.raw_codes, dtype=np.uint32)
        self.values = np.frombuffer(values, dtype=np.float64)
        self.present = np.frombuffer(present, dtype=np.bool_)
        self.subset_starts = np.frombuffer(subset_starts, dtype=np.uint64).astype(np.intp)
        self.message_starts = np.frombuffer(message_starts, dtype=np.uint64).astype(np.intp)
        self.text_starts = np.frombuffer(text_starts, dtype=np.uint64).astype(np.intp)

    def owners(self) -> np.ndarray:
        """The message (its position in the run) of each subset."""
        counts = np.diff(self.message_starts)
        return np.repeat(np.arange(counts.size), counts)

    def texts(self, numbers: np.ndarray, valid: np.ndarray) -> np.ndarray:
        """The texts of character items by their numbers, None where missing."""
        out = np.full(numbers.shape, None, dtype=object)
        flat, ok, starts, text = numbers.reshape(-1), valid.reshape(-1), self.text_starts, self.text
        found = out.reshape(-1)
        for i in np.flatnonzero(ok).tolist():
            k = int(flat[i])
            found[i] = text[starts[k]:starts[k + 1]].decode("ascii")
        return out

    def groups(self, tables: Sequence[_morvane.TableSet]) -> list[Group]:
        return _groups(self, tables)


def _groups(items: Items, tables: Sequence[_morvane.TableSet]) -> list[Group]:
    """The groups of subsets sharing a template, over every message of the run
    (`tables` is the table set of each message). A group's `subsets` are
    subset numbers across the run, in order."""
    starts = items.subset_starts.tolist()
    owners = items.owners().tolist()
    raw = items.raw_codes
    by_key: dict[tuple[int, bytes], list[int]] = {}
    for s in range(len(starts) - 1):
        key = (id(tables[owners[s]]), raw[starts[s] * 4:starts[s + 1] * 4])
        found = by_key.get(key)
        if found is None:
            by_key[key] = [s]
        else:
            found.append(s)
    groups = []
    for (_, codes), members in by_key.items():
        table_set = tables[owners[members[0]]]
        index, picked, names, kinds = elements_of_codes(codes, table_set)
        subsets = np.array(members, dtype=np.intp)
        positions = np.array(index, dtype=np.intp)
        groups.append(ItemGroup(tuple(picked), tuple(names), 1, subsets, kinds,
                                _gather(items, items.subset_starts[subsets], positions, kinds), positions))
    return groups


class ItemGroup(Group):
    """A group of a run of items: `index` is where each element of the
    template is among the items of a subset."""

    __slots__ = ("index",)

    def __init__(self, codes: tuple[int, ...], names: tuple[str, ...], first_level: int,
                 subsets: np.ndarray, kinds: Sequence[str], gather: Any, index: np.ndarray) -> None:
        super().__init__(codes, names, first_level, subsets, kinds, gather)
        self.index = index


def _gather(items: Items, first: np.ndarray, index: np.ndarray, kinds: Sequence[str]) -> Any:
    def gather(positions: list[int]) -> Gathered:
        at = first[:, None] + index[positions][None, :]
        numbers = items.values[at]
        valid = items.present[at]
        text_columns = [j for j, p in enumerate(positions) if kinds[p] == "text"]
        texts = None
        if text_columns:
            texts = np.full(numbers.shape, None, dtype=object)
            texts[:, text_columns] = items.texts(numbers[:, text_columns], valid[:, text_columns])
        return numbers, valid, texts
    return gather
