"""Synthesise BUFR edition 4 messages and ecCodes-layout table trees for tests.

Typical use::

    w = BitWriter()
    w.value(20.5, width=12, scale=1, reference=-1000)   # numeric element
    w.text("ABC", width=32)                             # CCITT IA5 element
    msg = message([12101, 1015], w)

    tables = write_table_dir(tmp_path / "t", elements={
        12101: element("TEMPERATURE", "K", 2, 0, 16),
    })

Everything is packed most-significant-bit first, as section 4 is read.  The
framer fills every header field with a sensible default; any length field can
be overridden to build broken messages.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Mapping, Sequence

__all__ = [
    "BitWriter",
    "Element",
    "all_ones",
    "compressed_numeric",
    "compressed_text",
    "element",
    "encode_value",
    "fxy",
    "message",
    "older_edition",
    "pack_descriptors",
    "write_definitions_root",
    "write_table_dir",
]


# --------------------------------------------------------------------------
# Bits


def all_ones(width: int) -> int:
    """The missing-value pattern of a ``width``-bit field."""
    return (1 << width) - 1


class BitWriter:
    """Appends unsigned fields of any width MSB-first; ``getvalue`` pads with
    zero bits to a whole octet."""

    def __init__(self) -> None:
        self._acc = 0
        self._nbits = 0

    def __len__(self) -> int:
        """Number of bits written so far."""
        return self._nbits

    def u(self, value: int, width: int) -> "BitWriter":
        """Append ``value`` as an unsigned ``width``-bit field (0 <= width <= 64)."""
        if not 0 <= width <= 64:
            raise ValueError(f"width {width} outside 0..64")
        if not 0 <= value < (1 << width):
            raise ValueError(f"value {value} does not fit in {width} bits")
        self._acc = (self._acc << width) | value
        self._nbits += width
        return self

    def bits(self, text: str) -> "BitWriter":
        """Append a literal bit string such as ``"1011"`` (blanks ignored)."""
        text = text.replace(" ", "").replace("_", "")
        if text:
            self.u(int(text, 2), len(text))
        return self

    def raw_bytes(self, data: bytes) -> "BitWriter":
        """Append whole bytes at the current (possibly unaligned) position."""
        for b in data:
            self.u(b, 8)
        return self

    def pad_to_octet(self, fill: int = 0) -> "BitWriter":
        """Append ``fill`` bits (0 or 1) up to the next octet boundary."""
        n = -self._nbits % 8
        return self.u(all_ones(n) if fill else 0, n)

    def value(
        self, value: float | None, width: int, scale: int = 0, reference: int = 0
    ) -> "BitWriter":
        """Append a numeric element value; ``None`` writes the missing pattern."""
        raw = all_ones(width) if value is None else encode_value(value, width, scale, reference)
        return self.u(raw, width)

    def text(self, text: str | bytes | None, width: int) -> "BitWriter":
        """Append a CCITT IA5 field of ``width`` bits, blank-padded on the right;
        ``None`` writes all 0xFF (missing)."""
        return self.raw_bytes(_text_bytes(text, width))

    def compressed(self, raws: Sequence[int | None], width: int, nbinc: int | None = None) -> "BitWriter":
        """Append a compressed numeric column, see ``compressed_numeric``."""
        compressed_numeric(self, raws, width, nbinc)
        return self

    def compressed_text(self, texts: Sequence[str | bytes | None], width: int, same: bool | None = None) -> "BitWriter":
        """Append a compressed character column, see ``compressed_text``."""
        compressed_text(self, texts, width, same)
        return self

    def getvalue(self) -> bytes:
        n = -self._nbits % 8
        total = self._nbits + n
        return (self._acc << n).to_bytes(total // 8, "big")


def encode_value(value: float, width: int, scale: int = 0, reference: int = 0) -> int:
    """The raw field for ``value``: round(value * 10**scale) - reference.

    Raises if the result does not fit below the missing pattern, which would
    make the test encode something other than it says."""
    raw = round(value * 10**scale) if scale >= 0 else round(value / 10 ** (-scale))
    raw -= reference
    limit = 1 << 64 if width == 64 else all_ones(width)  # 64-bit fields have no missing pattern
    if not 0 <= raw < limit:
        raise ValueError(f"value {value} (raw {raw}) not encodable in {width} bits")
    return raw


def _text_bytes(text: str | bytes | None, width: int) -> bytes:
    if width % 8:
        raise ValueError("text widths are whole octets")
    n = width // 8
    if text is None:
        return b"\xff" * n
    data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    if len(data) > n:
        raise ValueError(f"text {text!r} longer than {n} octets")
    return data + b" " * (n - len(data))


def compressed_numeric(
    w: BitWriter, raws: Sequence[int | None], width: int, nbinc: int | None = None
) -> None:
    """Write R0, NBINC and increments for one compressed numeric column.

    ``raws`` holds each subset's raw field (already reference/scale encoded),
    ``None`` for missing.  R0 is the smallest present raw; NBINC is chosen so
    that no present increment equals the all-ones missing increment (or
    taken from ``nbinc`` when given).  All-equal columns use NBINC 0, all
    missing ones R0 = all ones.  For hand-built broken columns use
    ``w.u(...)`` directly."""
    present = [r for r in raws if r is not None]
    if not present:
        w.u(all_ones(width), width).u(0 if nbinc is None else nbinc, 6)
        if nbinc:
            for _ in raws:
                w.u(all_ones(nbinc), nbinc)
        return
    r0 = min(present)
    incs = [None if r is None else r - r0 for r in raws]
    has_missing = len(present) != len(raws)
    if nbinc is None:
        if not has_missing and max(present) == r0:
            nbinc = 0
        else:
            top = max(i for i in incs if i is not None)
            # The all-ones increment means missing (outside class 31), so the
            # largest real increment must stay below it.
            nbinc = (top + 1).bit_length()
    w.u(r0, width).u(nbinc, 6)
    if nbinc:
        for inc in incs:
            w.u(all_ones(nbinc) if inc is None else inc, nbinc)


def compressed_text(
    w: BitWriter, texts: Sequence[str | bytes | None], width: int, same: bool | None = None
) -> None:
    """Write one compressed character column of ``width``-bit strings.

    When all subsets agree (or ``same`` is true) the text goes in R0 with
    NBINC 0; otherwise R0 is zero bytes and NBINC = width / 8 octets per
    subset."""
    if same is None:
        same = len(set(texts)) <= 1 and len(texts) > 0
    if same:
        w.text(texts[0] if texts else "", width).u(0, 6)
        return
    w.raw_bytes(b"\0" * (width // 8)).u(width // 8, 6)
    for t in texts:
        w.text(t, width)


# --------------------------------------------------------------------------
# Descriptors and framing


def fxy(f: int, x: int, y: int) -> int:
    """Descriptor code F*100000 + X*1000 + Y."""
    return f * 100000 + x * 1000 + y


def pack_descriptors(codes: Iterable[int]) -> bytes:
    """Section 3 form: F in 2 bits, X in 6, Y in 8, big-endian pairs."""
    out = bytearray()
    for code in codes:
        f, x, y = code // 100000, code // 1000 % 100, code % 1000
        if f > 3 or x > 63 or y > 255:
            raise ValueError(f"descriptor {code:06d} cannot be packed")
        out += bytes(((f << 6) | x, y))
    return bytes(out)


def _u24(n: int) -> bytes:
    return n.to_bytes(3, "big")


def message(
    descriptors: Sequence[int],
    data: BitWriter | bytes = b"",
    *,
    subsets: int = 1,
    observed: bool = True,
    compressed: bool = False,
    flags: int | None = None,
    edition: int = 4,
    master_table: int = 0,
    centre: int = 98,
    subcentre: int = 0,
    update_sequence: int = 0,
    section2: bytes | None = None,
    section1_flag: int | None = None,
    category: int = 0,
    international_subcategory: int = 0,
    local_subcategory: int = 0,
    master_version: int = 39,
    local_version: int = 0,
    when: tuple[int, int, int, int, int, int] = (2024, 1, 2, 3, 4, 5),
    section1_extra: bytes = b"",
    odd_padding: bool = False,
    padding_octet: int = 0,
    total_length: int | None = None,
    section1_length: int | None = None,
    section2_length: int | None = None,
    section3_length: int | None = None,
    section4_length: int | None = None,
    terminator: bytes = b"7777",
    trailer: bytes = b"",
) -> bytes:
    """Frame a complete edition 4 message.

    ``data`` is section 4's packed data (a ``BitWriter`` is padded to an
    octet).  ``section2`` present sets the section 1 flag to 0x80 unless
    ``section1_flag`` says otherwise.  ``odd_padding`` appends one extra
    octet (``padding_octet``) to section 3, as edition 3 producers do.
    The ``*_length`` arguments override the written length fields only; the
    sections keep their real sizes.  ``trailer`` goes between "7777" and
    the end covered by the total length."""
    body = data.getvalue() if isinstance(data, BitWriter) else bytes(data)

    year, month, day, hour, minute, second = when
    flag = section1_flag if section1_flag is not None else (0x80 if section2 is not None else 0)
    s1_fields = (
        bytes((master_table,))
        + centre.to_bytes(2, "big")
        + subcentre.to_bytes(2, "big")
        + bytes((update_sequence, flag, category, international_subcategory,
                 local_subcategory, master_version, local_version))
        + year.to_bytes(2, "big")
        + bytes((month, day, hour, minute, second))
        + section1_extra
    )
    s1_len = 3 + len(s1_fields)
    s1 = _u24(s1_len if section1_length is None else section1_length) + s1_fields

    s2 = b""
    if section2 is not None:
        s2_len = 4 + len(section2)
        s2 = _u24(s2_len if section2_length is None else section2_length) + b"\0" + section2

    if flags is None:
        flags = (0x80 if observed else 0) | (0x40 if compressed else 0)
    s3_body = b"\0" + subsets.to_bytes(2, "big") + bytes((flags,)) + pack_descriptors(descriptors)
    if odd_padding:
        s3_body += bytes((padding_octet,))
    s3_len = 3 + len(s3_body)
    s3 = _u24(s3_len if section3_length is None else section3_length) + s3_body

    s4_len = 4 + len(body)
    s4 = _u24(s4_len if section4_length is None else section4_length) + b"\0" + body

    rest = s1 + s2 + s3 + s4 + terminator + trailer
    length = 8 + len(rest)
    head = b"BUFR" + _u24(length if total_length is None else total_length) + bytes((edition,))
    return head + rest


def older_edition(message4: bytes, edition: int = 3, local_use: bytes = b"\0") -> bytes:
    """The same message framed as edition 3 (or 2): section 1 in its 17
    octets plus ``local_use`` (octet 18 on), the year as year of century,
    no international sub-category and no second; edition 2 has a 16-bit
    centre and no sub-centre. Sections 2 to 5 are kept."""
    s1_len = int.from_bytes(message4[8:11], "big")
    s1 = message4[8:8 + s1_len]
    centre, subcentre = s1[4:6], s1[6:8]
    who = centre if edition == 2 else bytes((subcentre[1], centre[1]))
    year = int.from_bytes(s1[15:17], "big")
    fields = (bytes((s1[3],)) + who + bytes((s1[8], s1[9], s1[10], s1[12], s1[13], s1[14]))
              + bytes((year % 100 or 100,)) + s1[17:21] + local_use)
    rest = _u24(3 + len(fields)) + fields + message4[8 + s1_len:]
    return b"BUFR" + _u24(8 + len(rest)) + bytes((edition,)) + rest


# --------------------------------------------------------------------------
# Table trees in the ecCodes layout

ELEMENT_HEADER = "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"


@dataclass(frozen=True)
class Element:
    """One Table B entry as written to element.table."""

    name: str
    unit: str
    scale: int = 0
    reference: int = 0
    width: int = 8
    abbreviation: str | None = None

    def type_field(self) -> str:
        unit = self.unit.upper()
        if unit == "CCITT IA5":
            return "string"
        if unit == "CODE TABLE":
            return "table"
        if unit == "FLAG TABLE":
            return "flag"
        return "double" if self.scale > 0 else "long"

    def abbrev(self) -> str:
        if self.abbreviation is not None:
            return self.abbreviation
        words = [w for w in "".join(c if c.isalnum() else " " for c in self.name).split()]
        return (words[0].lower() + "".join(w.capitalize() for w in words[1:])) if words else "x"


def element(name: str, unit: str, scale: int = 0, reference: int = 0, width: int = 8,
            abbreviation: str | None = None) -> Element:
    return Element(name, unit, scale, reference, width, abbreviation)


def write_table_dir(
    path: str | Path,
    elements: Mapping[int, Element | tuple] = (),
    sequences: Mapping[int, Sequence[int]] = (),
    codetables: Mapping[int, Mapping[int, str]] = (),
) -> Path:
    """Write element.table, sequence.def and codetables/ into ``path``.

    ``elements`` maps codes to ``Element`` (or a tuple of its fields),
    ``sequences`` codes to member lists, ``codetables`` element codes to
    {raw value: meaning}.  Returns ``path``."""
    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    lines = [ELEMENT_HEADER]
    for code, el in dict(elements).items():
        el = el if isinstance(el, Element) else Element(*el)
        lines.append("|".join((
            f"{code:06d}", el.abbrev(), el.type_field(), el.name, el.unit,
            str(el.scale), str(el.reference), str(el.width), el.unit, str(el.scale),
            str(max(1, math.ceil(el.width * math.log10(2)))),
        )))
    (path / "element.table").write_text("\n".join(lines) + "\n", encoding="utf-8")
    seq_lines = [
        f'"{code:06d}" = [  ' + ", ".join(f"{m:06d}" for m in members) + " ]"
        for code, members in dict(sequences).items()
    ]
    (path / "sequence.def").write_text("".join(l + "\n" for l in seq_lines), encoding="utf-8")
    tables = dict(codetables)
    if tables:
        ct = path / "codetables"
        ct.mkdir(exist_ok=True)
        for code, entries in tables.items():
            (ct / f"{code}.table").write_text(
                "".join(f"{raw} {raw} {text}\n" for raw, text in entries.items()), encoding="utf-8")
    return path


def write_definitions_root(
    root: str | Path,
    masters: Mapping[int, Mapping | str] = (),
    locals_: Mapping[tuple[int, int, int], Mapping] = (),
    master_table: int = 0,
) -> Path:
    """Write a definitions tree under ``root``.

    ``masters`` maps a master version to keyword arguments of
    ``write_table_dir`` (a dict) or to the name of another version (an alias
    file).  ``locals_`` maps (local version dir name or number, centre,
    subcentre) to keyword arguments.  Returns ``root``."""
    root = Path(root)
    base = root / "bufr" / "tables" / str(master_table)
    for version, spec in dict(masters).items():
        target = base / "wmo" / str(version)
        if isinstance(spec, str):
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(spec + "\n", encoding="utf-8")
        else:
            write_table_dir(target, **spec)
    for (local, centre, sub), spec in dict(locals_).items():
        write_table_dir(base / "local" / str(local) / str(centre) / str(sub), **spec)
    return root
