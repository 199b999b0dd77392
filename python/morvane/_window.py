"""A forward-only view of an input that holds only the bytes still needed.

Framing looks at most one message ahead (a declared length is at most
16 MB), so a file or stream is read in chunks into a buffer whose front is
dropped as the scan moves on; bytes and bytearrays are searched in place.
"""

from __future__ import annotations

from collections.abc import Callable

CHUNK = 1 << 20

Reader = Callable[[int], "bytes | bytearray | None"]


class Window:
    """Offsets are absolute positions in the input. The scan only moves
    forward: once `find` has returned an offset, bytes before it are gone."""

    def __init__(self, read: Reader | None = None, data: bytes | bytearray = b"") -> None:
        self._read = read
        self._buf: bytes | bytearray = data if read is None else bytearray(data)
        self._base = 0  # input offset of self._buf[0]
        self._eof = read is None

    @classmethod
    def over(cls, data: bytes | bytearray) -> "Window":
        """A window on input that is already in memory: nothing is copied."""
        return _Whole(data)

    @property
    def end(self) -> int:
        """Offset just past the last byte read so far."""
        return self._base + len(self._buf)

    def _more(self, want: int) -> bool:
        if self._eof or self._read is None:
            return False
        data = self._read(want)
        if not data:
            self._eof = True
            return False
        assert isinstance(self._buf, bytearray)
        self._buf += data
        return True

    def _release(self, upto: int) -> None:
        """Bytes before ``upto`` are no longer needed. They are dropped once
        they make up a quarter of the buffer: the buffer stays within 4/3 of
        what is needed, and each byte is moved at most three times however
        the scan advances."""
        if self._read is None:
            return
        drop = upto - self._base
        if drop >= CHUNK and 4 * drop >= len(self._buf):
            assert isinstance(self._buf, bytearray)
            del self._buf[:drop]
            self._base = upto

    def find(self, marker: bytes, pos: int) -> int:
        """Offset of the first ``marker`` at or after ``pos``, or -1."""
        while True:
            i = self._buf.find(marker, pos - self._base)
            if i >= 0:
                found = i + self._base
                self._release(found)
                return found
            # A marker may straddle the end of what has been read.
            pos = max(pos, self.end - len(marker) + 1)
            self._release(pos)
            if not self._more(CHUNK):
                return -1

    def fill_to(self, end: int) -> int:
        """Read until ``end`` is held; the offset held up to (less than
        ``end`` only when the input ends first)."""
        # In chunks even when far ahead: one read of many MB would briefly
        # hold its bytes twice, once read and once appended.
        while self.end < end and self._more(CHUNK):
            pass
        return min(end, self.end)

    def take(self, start: int, end: int) -> bytes:
        """A copy of the bytes [start, end), which must have been read."""
        lo, hi = start - self._base, end - self._base
        if isinstance(self._buf, bytes):
            return self._buf[lo:hi]
        with memoryview(self._buf) as view:
            return view[lo:hi].tobytes()


class _Whole(Window):
    """A window on input already in memory: nothing to read or drop, so each
    look is the input's own (a small file is framed in a few calls)."""

    def __init__(self, data: bytes | bytearray) -> None:
        super().__init__(None, data)
        self.find = data.find  # type: ignore[method-assign,assignment]  # offsets are the input's own

    def fill_to(self, end: int) -> int:
        return min(end, len(self._buf))

    def take(self, start: int, end: int) -> bytes:
        piece = self._buf[start:end]
        return piece if type(piece) is bytes else bytes(piece)


def memoryview_reader(view: memoryview) -> Reader:
    """Reads ``view`` in slices, as a file would be read."""
    flat = view if view.format == "B" and view.ndim == 1 else view.cast("B")
    pos = 0

    def read(n: int) -> bytes:
        nonlocal pos
        piece = flat[pos:pos + n].tobytes()
        pos += len(piece)
        return piece

    return read
