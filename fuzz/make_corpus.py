#!/usr/bin/env python3
"""Write seed inputs for one fuzz target into a directory.

    make_corpus.py TARGET OUTDIR [DATA]

DATA is the shared test data folder (default ../shared/data beside the
checkout). Seeds are cut from its BUFR messages and table files; nothing is
written into the repository.
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

MAX_SEED = 48 * 1024  # larger seeds only slow every mutation down


def messages(data: Path):
    """(bytes of one message) for every edition 4 message of the corpus."""
    for path in sorted((data / "bufr").glob("*.bufr")):
        buf = path.read_bytes()
        pos = buf.find(b"BUFR")
        while pos >= 0 and pos + 8 <= len(buf):
            length = int.from_bytes(buf[pos + 4:pos + 7], "big")
            if length < 8 or pos + length > len(buf):
                break
            yield buf[pos:pos + length]
            pos = buf.find(b"BUFR", pos + length)


def sections(msg: bytes):
    """(section 3 flags, master version, subsets, descriptor octets, section 4 data) or None."""
    if msg[7] != 4 or len(msg) < 30:
        return None
    l1 = int.from_bytes(msg[8:11], "big")
    version = msg[8 + 13] if 8 + 13 < len(msg) else 0
    p = 8 + l1
    if msg[17] & 0x80:
        p += int.from_bytes(msg[p:p + 3], "big")
    l3 = int.from_bytes(msg[p:p + 3], "big")
    subsets = msg[p + 4:p + 6]
    flags = msg[p + 6]
    descriptors = msg[p + 7:p + l3]
    if len(descriptors) % 2:
        descriptors = descriptors[:-1]
    p4 = p + l3
    l4 = int.from_bytes(msg[p4:p4 + 3], "big")
    return flags, version, subsets, descriptors, msg[p4 + 4:p4 + l4]


def head(path: Path, lines: int) -> bytes:
    with path.open("rb") as fh:
        return b"".join(fh.readline() for _ in range(lines))


def seeds(target: str, data: Path):
    wmo = data / "tables" / "eccodes" / "bufr" / "tables" / "0" / "wmo"
    csv = data / "tables" / "wmo-bufr4-v45"
    if target in ("fuzz_framing", "fuzz_decode", "fuzz_columns"):
        for msg in messages(data):
            if len(msg) <= MAX_SEED:
                yield msg
        if target == "fuzz_framing":
            yield b"junk BUFR\x00\x00\x00\x04 BUFR"
    elif target == "fuzz_decode_data":
        for msg in messages(data):
            parts = sections(msg)
            if parts is None:
                continue
            flags, version, subsets, descriptors, body = parts
            descriptors = descriptors[: 2 * 255]
            seed = bytes((flags, version)) + subsets + bytes((len(descriptors) // 2,)) + descriptors
            yield seed + body[: MAX_SEED - len(seed)]
    elif target == "fuzz_record_reader":
        yield head(wmo / "39" / "element.table", 20)
        yield head(csv / "BUFRCREX_TableB_en_00.csv", 12)
        yield head(csv / "BUFR_TableD_en_01.csv", 12)
        yield b'\xef\xbb\xbfa,"b,""c""\r\nd",e\r\n1,2,3\n\n#x|y\r4,"5\n'
    elif target == "fuzz_sequence_def":
        yield head(wmo / "39" / "sequence.def", 40)
        yield b'# c\n"301001" = [ 001001,\n  001002 ]\n"302000" = [\n# in\n301001, 302000, ]\n303000 = []\n'
        yield b'"300002" = ] [ 000002 \n= [\n'
    elif target == "fuzz_code_table":
        for i, path in enumerate(sorted((wmo / "39" / "codetables").glob("*.table"))[:40]):
            yield bytes((i % 6,)) + head(path, 30)
    elif target == "fuzz_wmo_csv":
        for b, d in (("00", "01"), ("12", "02"), ("22", "07")):
            yield (head(csv / f"BUFRCREX_TableB_en_{b}.csv", 15) + b"\n====\n"
                   + head(csv / f"BUFR_TableD_en_{d}.csv", 25))
    else:
        raise SystemExit(f"unknown target {target}")


def main() -> None:
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    target, out = sys.argv[1], Path(sys.argv[2])
    data = Path(sys.argv[3]) if len(sys.argv) == 4 else Path(__file__).resolve().parents[2] / "shared" / "data"
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for seed in seeds(target, data):
        (out / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
        count += 1
    print(f"{count} seeds for {target} in {out}")


if __name__ == "__main__":
    main()
