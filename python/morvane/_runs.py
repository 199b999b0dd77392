"""read_bufr's messages gathered into runs decoded together.

Small messages cost more in Python work per message than in decoding, so
consecutive ones that can share the work are held and decoded at once:
uncompressed ones as flat items, compressed ones with the same tables and
descriptors as one batch of columns. A run is bounded by its input bytes
and its subsets, so memory stays bounded whatever the input. Whatever a run
cannot take goes message by message, with the same rows and errors.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from . import _groups
from ._reader import Message, MessageError, decoding_problem

# Input bytes decoded in one run.
RUN_BYTES = 1 << 20
# Subsets of compressed messages decoded in one batch: its columns are
# this many rows long.
RUN_SUBSETS = 5000
# Descriptor sequences remembered as expanding differently from message to message.
VARYING_KEPT = 256

# Why the collector did not add a batch of messages.
UNDECODABLE = "one of the messages does not decode"
EXPANSIONS_DIFFER = "their expansions differ"

Report = Callable[[MessageError], None]
# The tables' id, and the descriptors of compressed messages (None for flat runs).
Key = tuple[int, "tuple[int, ...] | None"]


def _may_run(msg: Message, compressed: bool) -> bool:
    """Whether the message is parsed, compressed or not as asked, and its
    tables load (an error loading them is left to the message-by-message
    path)."""
    m = msg.message
    if m is None or m.compressed_data != compressed:
        return False
    try:
        msg.tables
    except (ValueError, OSError):
        return False
    return True


def in_flat_runs(msg: Message) -> bool:
    """Whether the message goes with a run of flat items: uncompressed, of at
    most OBJECTS_UP_TO subsets."""
    m = msg.message
    return m is not None and m.number_of_subsets <= _groups.OBJECTS_UP_TO and _may_run(msg, False)


def in_batches(msg: Message) -> bool:
    """Whether the message may share a batch: compressed, with subsets."""
    m = msg.message
    return m is not None and m.number_of_subsets > 0 and _may_run(msg, True)


class Runs:
    """Takes the messages that pass the header filters, in order, and hands
    them to the collector run by run or one by one."""

    def __init__(self, collector: Any, report: Report) -> None:
        self.collector = collector
        self.report = report
        self.pending: list[tuple[int, Message]] = []
        self.key: Key | None = None
        self.bytes = 0
        self.subsets = 0
        # descriptors whose messages expanded differently in a batch: each
        # further batch of them would likely be decoded twice
        self.varying: set[Key] = set()

    def take(self, count: int, msg: Message) -> None:
        m = msg.message
        subsets = 0
        key: Key | None = None
        if in_flat_runs(msg):
            key = (id(msg.tables), None)
        elif in_batches(msg):
            assert m is not None
            key = (id(msg.tables), tuple(m.unexpanded_descriptors))
            subsets = m.number_of_subsets
            if key in self.varying:
                key = None
        if key is None:
            self.flush()
            self.one(count, msg)
            return
        if self.pending and key != self.key:
            self.flush()
        self.key = key
        self.pending.append((count, msg))
        self.bytes += len(msg.data)
        self.subsets += subsets
        if self.bytes >= RUN_BYTES or self.subsets >= RUN_SUBSETS:
            self.flush()

    def flush(self) -> None:
        pending, key = self.pending, self.key
        self.pending, self.bytes, self.subsets = [], 0, 0
        if not pending:
            return
        assert key is not None
        if key[1] is None:
            for _, msg, problem in self.collector.add_run(pending):
                self.report(MessageError(decoding_problem(problem), msg.offset, msg.index))
            return
        if len(pending) == 1:
            self.one(*pending[0])  # a message alone is read as it always was
            return
        self._add_batch(key, pending, self.collector.add_batch(pending))

    def take_batch(self, pending: list[tuple[int, Message]], batch: Any) -> None:
        """Compressed messages with the same tables and descriptors, taken
        after any before them and already decoded as one batch: a message
        alone too, its rows being those of its batch."""
        self.flush()
        msg = pending[0][1]
        assert msg.message is not None
        key = (id(msg.tables), tuple(msg.message.unexpanded_descriptors))
        self._add_batch(key, pending, self.collector.add_batch(pending, batch))

    def _add_batch(self, key: Key, pending: list[tuple[int, Message]], refused: str | None) -> None:
        """Reads the messages one by one when the collector `refused` them
        as a batch."""
        if refused is None:
            return
        if refused == EXPANSIONS_DIFFER:
            if len(self.varying) >= VARYING_KEPT:
                self.varying.clear()  # bounded, whatever the input
            self.varying.add(key)
        for count, msg in pending:
            self.one(count, msg)

    def one(self, count: int, msg: Message) -> None:
        error = msg.error if msg.message is None else None
        if error is None:
            try:
                self.collector.add(count, count, msg)
                return
            except MessageError as exc:
                error = exc
            except ValueError as exc:
                error = MessageError(str(exc), msg.offset, msg.index)
                error.__cause__ = exc
        self.report(error)
