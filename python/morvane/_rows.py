"""Rows from the structure of a subset, the way pdbufr makes them.

A subset is a sequence of keys. Each coordinate-like element (classes 1 to
9: station, time, position, vertical coordinate, channel, ...) opens a level
below the current one; when the same coordinate comes again, the level goes
back to where it first opened. A row is the set of wanted keys seen so far
on the path to the current level; it is emitted when a key comes at a level
that closes it (a shallower level, or a key already held at the same level)
and at the end of the subset. A filter that fails at some level hides the
keys below it until a key at its level or above comes.

This only looks at which keys come where, never at values: the outcome of
each filter is given as a pattern, so one template and one pattern give the
same rows for every subset that shares them.
"""

from __future__ import annotations

from collections.abc import Sequence

# A reference to a value: >= 0 is a position in the subset's keys,
# HEADER - i is the i-th header key, COUNT the message's count.
HEADER = -2
COUNT = -1

Plan = dict[str, int]


def is_coordinate(code: int) -> bool:
    """Classes 1 to 9 of Table B qualify the elements that follow them."""
    return code <= 9999


def levels(codes: Sequence[int], names: Sequence[str], first_level: int) -> list[int]:
    """The level of each key of a subset (uncompressed subsets start one level
    down, below the subset number ecCodes lists before each of them)."""
    level = first_level
    open_coordinates: dict[str, int] = {}
    out = [0] * len(codes)
    for i, (code, name) in enumerate(zip(codes, names)):
        coordinate = code <= 9999
        if coordinate:
            while name in open_coordinates:
                _, level = open_coordinates.popitem()
        out[i] = level
        if coordinate:
            open_coordinates[name] = level
            level += 1
    return out


class Walk:
    """The wanted keys of one template, ready to be cut into rows."""

    __slots__ = ("steps", "filter_positions", "wanted", "column_of", "_blocks", "_step_of")

    def __init__(self, steps: list[tuple[int, str, int]], filter_positions: list[int]) -> None:
        self.steps = steps                        # (reference, name, level) in key order
        self.filter_positions = filter_positions  # data positions whose key is filtered
        self.wanted = [ref for ref, _, _ in steps if ref >= 0]  # positions whose values are used
        self.column_of = {ref: i for i, ref in enumerate(self.wanted)}
        self._blocks: dict[str, tuple[list[int], list[int], bool]] | None = None
        self._step_of = {ref: i for i, (ref, _, _) in enumerate(steps) if ref >= 0}

    def filter_blocks(self, text_positions: frozenset[int]
                      ) -> dict[str, tuple[list[int], list[int], bool]]:
        """Per filtered key: its slots among the filter positions, its gathered
        columns, and whether it is text."""
        found = self._blocks
        if found is None:
            found = {}
            for slot, position in enumerate(self.filter_positions):
                name = self.steps[self._step_of[position]][1]
                entry = found.setdefault(name, ([], [], position in text_positions))
                entry[0].append(slot)
                entry[1].append(self.column_of[position])
            self._blocks = found
        return found

    def plans(self, filter_names: frozenset[str], passed: dict[int, bool],
              with_count: bool) -> list[Plan]:
        """The rows of a subset whose filtered keys passed (True) or failed
        as `passed` says (the caller keeps what it needs of them per pattern)."""
        return _cut(self.steps, filter_names, passed, with_count)


def make_walk(codes: Sequence[int], names: Sequence[str], first_level: int,
              header_keys: Sequence[str], wanted: frozenset[str],
              filter_names: frozenset[str]) -> Walk:
    steps: list[tuple[int, str, int]] = [(HEADER - i, name, 0) for i, name in enumerate(header_keys)]
    filter_positions: list[int] = []
    level_of = levels(codes, names, first_level)
    for position, name in enumerate(names):
        if name in wanted:
            steps.append((position, name, level_of[position]))
            if name in filter_names:
                filter_positions.append(position)
    return Walk(steps, filter_positions)


def _cut(steps: list[tuple[int, str, int]], filter_names: frozenset[str],
         passed: dict[int, bool], with_count: bool) -> list[Plan]:
    rows: list[Plan] = []
    held: Plan = {"count": COUNT} if with_count else {}
    held_levels = [0]
    failed_level: int | None = None
    for reference, name, level in steps:
        if failed_level is not None and level > failed_level:
            continue
        closes = level < held_levels[-1] or (level == held_levels[-1] and name in held)
        if closes and all(f in held for f in filter_names):
            rows.append(dict(held))
        while held and (level < held_levels[-1] or (level == held_levels[-1] and name in held)):
            held.popitem()
            held_levels.pop()
        if name in filter_names:
            # header filters were passed before the message was decoded
            if reference < 0 or passed[reference]:
                failed_level = None
            else:
                failed_level = level
                continue
        held[name] = reference
        held_levels.append(level)
    if all(f in held for f in filter_names):
        rows.append(dict(held))
    return rows
