"""Worst-case inputs for the entry points, each run in a process of its own.

    python hostile_cases.py CASE [DATA]

Builds the input of CASE (every BUFR input below 1 MB), calls the entry point
once and prints one JSON line: the outcome ("result N" with the number of
items or records, or "ValueError: ..."), the peak RSS in MiB and the seconds
the call took. Any other exception or a crash shows in the exit status.
test_reliability.py runs each case under a wall-clock guard and checks the
figures.
"""

from __future__ import annotations

import json
import resource
import sys
import tempfile
import time
from pathlib import Path

import _morvane
from bufr_builder import BitWriter, element, message, write_table_dir

MEGABYTE = 1_000_000
ZERO = 63003  # a Table B element of width 0: reads no bits
CASES = {}
DATA = Path("../shared/data")  # the test data folder, for cases that read it


def case(function):
    CASES[function.__name__] = function
    return function


def tables(tmp: Path, elements=None, sequences=None):
    default = {ZERO: element("ZERO WIDTH", "Numeric", 0, 0, 0),
               63009: element("EIGHT BITS", "Numeric", 0, 0, 8),
               31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8)}
    default.update(elements or {})
    path = write_table_dir(tmp / "t", default, sequences or {})
    return _morvane.TableSet.from_eccodes(str(path)), str(path)


def padded(descriptors, size=MEGABYTE - 4096, **framing) -> bytes:
    """A message whose section 4 holds `size` zero octets that the walk never
    needs: the bit-proportional part of the work limit at its largest."""
    return message(descriptors, b"\0" * size, **framing)


# -- Descriptor expansion: nested fixed replications multiply.

@case
def expand_replicated_operators(tmp):
    # 255^5 repetitions of a group that appends nothing.
    return _morvane.TableSet().expand([105255, 104255, 103255, 102255, 101255, 201130])


@case
def expand_replicated_elements(tmp):
    # 255^4 codes: 16 GB as a Python list.
    return _morvane.TableSet().expand([104255, 103255, 102255, 101255, 1001])


@case
def expand_descriptors_fanout(tmp):
    # Sequences of sequences, 20 members each, 6 levels: 64 million codes.
    sequences = {300000 + k: [300000 + k + 1] * 20 for k in range(1, 6)}
    sequences[300006] = [ZERO] * 20
    _, path = tables(tmp, sequences=sequences)
    return _morvane.expand_descriptors(path, [300001])


# -- Uncompressed data: work that reads no bits.

@case
def uncompressed_replicated_zero_width(tmp):
    t, _ = tables(tmp)
    return _morvane.decode_values_with_tables(padded([103255, 102255, 101255, ZERO]), t)


@case
def uncompressed_sequence_fanout(tmp):
    # As many items as the work limit allows, one unit each.
    t, _ = tables(tmp, sequences={300001: [ZERO] * 1000})
    return _morvane.decode_values_with_tables(padded([101255, 300001] * 40), t)


@case
def uncompressed_huge_delayed_count(tmp):
    # A 32-bit factor of 2^32 - 2 over a group that reads nothing.
    t, _ = tables(tmp, {31002: element("FACTOR", "Numeric", 0, 0, 32)})
    w = BitWriter().u(2**32 - 2, 32)
    return _morvane.decode_values_with_tables(message([101000, 31002, ZERO], w), t)


@case
def uncompressed_deep_fanout(tmp):
    # 64 nested sequences, each holding the next twice: 2^64 leaves.
    sequences = {301100 + k: [301101 + k] * 2 for k in range(1, 64)}
    sequences[301164] = [ZERO]
    t, _ = tables(tmp, sequences=sequences)
    return _morvane.decode_values_with_tables(padded([301101]), t)


@case
def uncompressed_65535_subsets(tmp):
    t, _ = tables(tmp)
    return _morvane.decode_values_with_tables(
        padded([ZERO] * 16, subsets=65535), t)


# -- Compressed data: every column is one item per subset.

@case
def compressed_65535_subsets_tiny_section4(tmp):
    t, _ = tables(tmp)
    return _morvane.decode_values_with_tables(
        message([63009] * 40, b"\x00\x00\x01", compressed=True, subsets=65535), t)


@case
def compressed_zero_width_columns(tmp):
    # A column of width 0 costs 6 bits of data and gives 65535 items.
    t, _ = tables(tmp)
    return _morvane.decode_values_with_tables(
        padded([ZERO] * 2000, compressed=True, subsets=65535), t)


@case
def compressed_constant_long_text(tmp):
    # Constant character columns of 8 KB texts: 8 KB of data each, repeated
    # for 65535 subsets.
    width = 8184 * 8
    t, _ = tables(tmp, {1015: element("NAME", "CCITT IA5", 0, 0, width)})
    column = int.from_bytes(b"A" * (width // 8), "big") << 6  # R0, then NBINC 0
    bits = 0
    for _ in range(100):
        bits = (bits << (width + 6)) | column
    total = 100 * (width + 6)
    data = (bits << (-total % 8)).to_bytes((total + 7) // 8, "big")
    return _morvane.decode_values_with_tables(
        message([1015] * 100, data, compressed=True, subsets=65535), t)


@case
def compressed_replicated_zero_width(tmp):
    t, _ = tables(tmp)
    return _morvane.decode_values_with_tables(
        padded([103255, 102255, 101255, ZERO], compressed=True, subsets=65535), t)


@case
def real_compressed_message_with_65535_subsets(tmp):
    """A corpus radiance message told it holds 65535 subsets."""
    raw = (DATA / "bufr" / "amsu_55.e4.bufr").read_bytes()
    parsed = _morvane.parse_all_bytes(raw)[0]
    start = raw.index(b"BUFR")
    msg = bytearray(raw[start:start + parsed.total_length])
    section3 = 8 + parsed.section1_length + parsed.section2_length
    msg[section3 + 4:section3 + 6] = (65535).to_bytes(2, "big")
    t = _morvane.TableSet.from_definitions(str(DATA / "tables" / "eccodes"), parsed)
    return _morvane.decode_values_with_tables(bytes(msg), t)


# -- Framing.

@case
def framing_zero_length_markers(tmp):
    return _morvane.parse_all_bytes(b"BUFR\0\0\0\x04" * (MEGABYTE // 8))


@case
def framing_many_small_messages(tmp):
    one = message([], b"")
    return _morvane.parse_all_bytes(one * (MEGABYTE // len(one)))


# -- Table files: one very long line, unterminated quotes.

@case
def element_table_10mb_line(tmp):
    path = tmp / "t"
    path.mkdir()
    (path / "element.table").write_bytes(
        b"001001|a|long|" + b"N" * 10 * MEGABYTE + b"|Numeric|0|0|7\n")
    (path / "sequence.def").write_bytes(b"")
    return _morvane.TableSet.from_eccodes(str(path))


@case
def sequence_def_10mb_line(tmp):
    path = tmp / "t"
    path.mkdir()
    (path / "element.table").write_bytes(b"")
    members = b", ".join([b"001001"] * (10 * MEGABYTE // 8))
    (path / "sequence.def").write_bytes(b'"300001" = [ ' + members + b" ]\n")
    return _morvane.TableSet.from_eccodes(str(path)).expand([300001])


@case
def code_table_10mb_line(tmp):
    path = tmp / "t"
    (path / "codetables").mkdir(parents=True)
    (path / "element.table").write_bytes(b"")
    (path / "sequence.def").write_bytes(b"")
    (path / "codetables" / "1003.table").write_bytes(b"1 1 " + b"word " * (2 * MEGABYTE))
    return _morvane.TableSet.from_eccodes(str(path))


@case
def csv_unterminated_quote(tmp):
    (tmp / "BUFRCREX_TableB_en_00.csv").write_bytes(
        b"a,b,c,d,e,f,g,h\n" + b'"' + b"x,\n" * (MEGABYTE // 3))
    return _morvane.TableSet.from_bufr4_45(str(tmp))


def outcome(result) -> str:
    if isinstance(result, _morvane.TableSet):
        return f"result {result.element_count}"
    return f"result {len(result)}"


def main() -> None:
    global DATA
    name = sys.argv[1]
    function = CASES[name]
    if len(sys.argv) > 2:
        DATA = Path(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        started = time.perf_counter()
        try:
            text = outcome(function(Path(tmp)))
        except ValueError as error:
            text = f"ValueError: {error}"
        seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"outcome": text, "peak_mb": round(peak), "seconds": round(seconds, 2)}))


if __name__ == "__main__":
    main()
