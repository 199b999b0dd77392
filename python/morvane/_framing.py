"""Finding messages in an input and bringing older editions to edition 4.

The extension's own splitter gives up on the whole input at the first
malformed message; a reader of archives wants every good message and one
report per bad one, so the scan here resynchronises after a bad message.
It reads through a `Window`, so that a message is handed on as soon as it
is framed and no more than one message is held at a time.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import NamedTuple

from ._window import Window

MARKER = b"BUFR"
TERMINATOR = b"7777"
EDITION4_SECTION1_LENGTH = 22
# International data sub-category: edition 3 has none; 255 is "not defined".
UNDEFINED_SUBCATEGORY = 255


class Chunk(NamedTuple):
    """One message as found in the input: where it starts, how long it is
    taken to be, its edition (None when too short to tell), its bytes, and
    why it cannot be used (None when its framing looks sound).

    A chunk that cannot be used keeps no copy of its bytes: stray markers in
    a large file would otherwise each hold up to 16 MB."""

    offset: int
    length: int
    edition: int | None = None
    data: bytes = b""
    problem: str | None = None


def sections_end(message: bytes, edition: int) -> int | None:
    """Where sections 0 to 5 of ``message`` (its bytes up to its declared
    length) end by their own length fields, or None when those fields do not
    fit inside it."""
    end = len(message)
    flag_index = 9 if edition == 4 else 7  # octet of section 1 that says whether section 2 is present
    at = 8
    s1 = int.from_bytes(message[at:at + 3], "big") if at + 3 <= end else 0
    if s1 <= flag_index or at + s1 > end:
        return None
    sections = 3 if message[at + flag_index] & 0x80 else 2
    at += s1
    for _ in range(sections):
        length = int.from_bytes(message[at:at + 3], "big") if at + 3 <= end else 0
        if length < 4 or at + length > end:
            return None
        at += length
    at += len(TERMINATOR)
    return at if at <= end else None


def frames(window: "Window") -> Iterator[Chunk]:
    """Every message of the input behind ``window`` in order, bytes between
    them skipped; each is yielded as soon as it is framed.

    A message whose declared length runs past the end, or whose "7777" is not
    where its length says, is reported and the scan goes on four bytes after
    its marker, so that a corrupt length field cannot hide the messages that
    follow it. A message whose sections end before its declared length, with
    a "BUFR" in the unused tail, is reported and the scan resumes at that
    "BUFR": its length field has swallowed the message that follows.
    """
    pos = 0
    find, fill_to, take = window.find, window.fill_to, window.take
    while (start := find(MARKER, pos)) >= 0:
        have = fill_to(start + 8)
        if have < start + 8:
            yield Chunk(start, have - start, None, problem="message is too short to be BUFR")
            return
        head = take(start + 4, start + 8)
        edition = head[3]
        if edition < 2:
            # Editions 0 and 1 carry no total length: nothing tells where they end.
            yield Chunk(start, 8, edition, problem=f"unsupported BUFR edition {edition}")
            pos = start + 4
            continue
        length = int.from_bytes(head[:3], "big")
        end = start + length
        if length < 8:
            yield Chunk(start, length, edition, problem=f"declared length {length} is too short")
            pos = start + 4
            continue
        have = fill_to(end)
        if have < end:
            yield Chunk(start, have - start, edition,
                        problem=f"declared length {length} runs past the end of the input "
                                f"({have - start} bytes left)")
            pos = start + 4
            continue
        if take(end - 4, end) != TERMINATOR:
            yield Chunk(start, length, edition, problem="section 5 terminator is not 7777 at the declared length")
            pos = start + 4
            continue
        # The message's bytes, taken once its framing has checked out so far:
        # its inner lengths are read from them.
        data = take(start, end)
        inner_end = sections_end(data, edition)
        if inner_end is not None and inner_end < length:
            found = data.find(MARKER, inner_end)
            if found >= 0:
                yield Chunk(start, found, edition,
                            problem=f"declared length {length} runs past the end of its sections "
                                    f"({inner_end} bytes) into the message at offset {start + found}")
                pos = start + found
                continue
        # (made without the named tuple's constructor, a Python function whose
        # cost a small file's messages feel)
        yield tuple.__new__(Chunk, (start, length, edition, data, None))
        pos = end


def scan(buffer: bytes) -> list[Chunk]:
    """Every message of ``buffer`` in order (see `frames`)."""
    return list(frames(Window.over(buffer)))


def _u24(value: int) -> bytes:
    return value.to_bytes(3, "big")


def to_edition4(data: bytes) -> bytes:
    """The edition 4 form of one edition 2 or 3 message; an edition 4
    message is returned unchanged.

    Only sections 0 and 1 differ between these editions. Section 1 is
    rewritten into its 22 octets of edition 4: the originating centre and
    sub-centre become 16-bit fields (edition 2 has no sub-centre: 0), the
    international data sub-category is 255 (not defined), the year of the
    century becomes a full year (2000 plus it; 100 reads as 2000) and the
    second is 0. Octets that edition 3 leaves for local use after the date
    are dropped. Sections 2 to 5 are copied unchanged and the total length
    in section 0 is set anew.
    """
    data = bytes(data)
    if len(data) < 8 or data[:4] != MARKER:
        raise ValueError("missing BUFR marker")
    edition = data[7]
    if edition == 4:
        return data
    if edition not in (2, 3):
        raise ValueError(f"unsupported BUFR edition {edition}; only editions 2, 3 and 4 are read")
    total = int.from_bytes(data[4:7], "big")
    if total != len(data):
        raise ValueError(f"declared length {total} does not match buffer length {len(data)}")
    if len(data) < 11:
        raise ValueError("section 1 at offset 8 is truncated")
    s1_length = int.from_bytes(data[8:11], "big")
    if s1_length < 17 or 8 + s1_length > len(data):
        raise ValueError("section 1 at offset 8 is truncated")
    s1 = data[8:8 + s1_length]
    if edition == 3:
        subcentre, centre = s1[4], s1[5]
    else:
        subcentre, centre = 0, int.from_bytes(s1[4:6], "big")
    year_of_century = s1[12]
    year = 1900 + year_of_century if year_of_century == 100 else 2000 + year_of_century
    section1 = b"".join([
        _u24(EDITION4_SECTION1_LENGTH),
        bytes([s1[3]]),                          # master table number
        centre.to_bytes(2, "big"),
        subcentre.to_bytes(2, "big"),
        bytes([s1[6], s1[7], s1[8], UNDEFINED_SUBCATEGORY, s1[9], s1[10], s1[11]]),
        year.to_bytes(2, "big"),
        bytes([s1[13], s1[14], s1[15], s1[16], 0]),
    ])
    rest = data[8 + s1_length:]
    new_total = 8 + len(section1) + len(rest)
    if new_total >= 1 << 24:
        raise ValueError("message is too long for edition 4")
    return MARKER + _u24(new_total) + b"\x04" + section1 + rest
