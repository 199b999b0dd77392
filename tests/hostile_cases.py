"""Worst-case inputs, one per process: `python hostile_cases.py CASE [DATA [LIMIT_MB]]`
builds the input of CASE (BUFR inputs below 1 MB), calls the entry point once
and prints a JSON line with the outcome ("result N", "ValueError: ..." or
"MemoryError"), the peak RSS in MiB and the seconds taken. LIMIT_MB caps the
address space first, so that allocations inside the extension fail.
test_reliability.py runs them."""

from __future__ import annotations

import json
import resource
import sys
import tempfile
import time
from pathlib import Path

import _morvane
from bufr_builder import BitWriter, element, message, write_table_dir

MB = 1_000_000
ZERO = 63003  # a Table B element of width 0: reads no bits
DATA = Path("../shared/data")


def tables(tmp: Path, elements=(), sequences=()):
    path = write_table_dir(tmp / "t", {ZERO: element("ZERO WIDTH", "Numeric", 0, 0, 0),
                                       63009: element("EIGHT BITS", "Numeric", 0, 0, 8),
                                       **dict(elements)}, sequences)
    return _morvane.TableSet.from_eccodes(str(path))


def decode(tmp, descriptors, data=b"\0" * (MB - 4096), elements=(), sequences=(), **framing):
    """By default section 4 holds almost 1 MB of bits the walk never needs:
    the data-proportional part of the work limit at its largest."""
    return _morvane.decode_values_with_tables(message(descriptors, data, **framing),
                                              tables(tmp, elements, sequences))


def constant_text_columns(count: int, octets: int) -> bytes:
    """`count` compressed character columns, each R0 = `octets` letters and NBINC 0."""
    width = octets * 8 + 6
    column = int.from_bytes(b"A" * octets, "big") << 6
    bits = 0
    for _ in range(count):
        bits = (bits << width) | column
    return (bits << (-count * width % 8)).to_bytes((count * width + 7) // 8, "big")


def real_message_with_65535_subsets(tmp):
    raw = (DATA / "bufr" / "amsu_55.e4.bufr").read_bytes()
    parsed = _morvane.parse_all_bytes(raw)[0]
    start = raw.index(b"BUFR")
    msg = bytearray(raw[start:start + parsed.total_length])
    section3 = 8 + parsed.section1_length + parsed.section2_length
    msg[section3 + 4:section3 + 6] = b"\xff\xff"
    tables_set = _morvane.TableSet.from_definitions(str(DATA / "tables" / "eccodes"), parsed)
    return _morvane.decode_values_with_tables(bytes(msg), tables_set)


def table_dir(tmp, element_table=b"", sequence_def=b"", code_table=None):
    path = tmp / "t"
    (path / "codetables").mkdir(parents=True)
    (path / "element.table").write_bytes(element_table)
    (path / "sequence.def").write_bytes(sequence_def)
    if code_table is not None:
        (path / "codetables" / "1003.table").write_bytes(code_table)
    return _morvane.TableSet.from_eccodes(str(path))


def csv_dir(tmp, table_b):
    (tmp / "BUFRCREX_TableB_en_00.csv").write_bytes(table_b)
    return _morvane.TableSet.from_bufr4_45(str(tmp))


CASES = {
    # Nested fixed replications multiply: 255^5 groups that append nothing,
    # 255^4 codes, sequences of 20 sequences 6 levels deep.
    "expand_replicated_operators": lambda tmp: _morvane.TableSet().expand(
        [105255, 104255, 103255, 102255, 101255, 201130]),
    "expand_replicated_elements": lambda tmp: _morvane.TableSet().expand(
        [104255, 103255, 102255, 101255, 1001]),
    "expand_sequence_fanout": lambda tmp: tables(
        tmp, sequences={**{300000 + k: [300001 + k] * 20 for k in range(1, 6)},
                        300006: [ZERO] * 20}).expand([300001]),
    # Uncompressed walks that read no bits.
    "uncompressed_replicated_zero_width": lambda tmp: decode(tmp, [103255, 102255, 101255, ZERO]),
    "uncompressed_sequence_fanout": lambda tmp: decode(
        tmp, [101255, 300001] * 40, sequences={300001: [ZERO] * 1000}),
    "uncompressed_huge_delayed_count": lambda tmp: decode(
        tmp, [101000, 31002, ZERO], BitWriter().u(2**32 - 2, 32),
        elements={31002: element("FACTOR", "Numeric", 0, 0, 32)}),
    "uncompressed_65535_subsets": lambda tmp: decode(tmp, [ZERO] * 16, subsets=65535),
    # Compressed: every column is one item per subset.
    "compressed_65535_subsets_tiny_section4": lambda tmp: decode(
        tmp, [63009] * 40, b"\0\0\1", compressed=True, subsets=65535),
    "compressed_zero_width_columns": lambda tmp: decode(
        tmp, [ZERO] * 2000, compressed=True, subsets=65535),
    "compressed_constant_long_text": lambda tmp: decode(
        tmp, [1015] * 100, constant_text_columns(100, 8184), compressed=True, subsets=65535,
        elements={1015: element("NAME", "CCITT IA5", 0, 0, 8184 * 8)}),
    "real_compressed_message_with_65535_subsets": real_message_with_65535_subsets,
    # Framing.
    "framing_zero_length_markers": lambda tmp: _morvane.parse_all_bytes(
        b"BUFR\0\0\0\x04" * (MB // 8)),
    "framing_many_small_messages": lambda tmp: _morvane.parse_all_bytes(
        message([]) * (MB // len(message([])))),
    # Table files: 10 MB lines, an unterminated quote.
    "element_table_10mb_line": lambda tmp: table_dir(
        tmp, element_table=b"001001|a|long|" + b"N" * 10 * MB + b"|Numeric|0|0|7\n"),
    "sequence_def_10mb_line": lambda tmp: table_dir(
        tmp, sequence_def=b'"300001" = [ ' + b"001001, " * (10 * MB // 8) + b"]\n").expand([300001]),
    "code_table_10mb_line": lambda tmp: table_dir(tmp, code_table=b"1 1 " + b"word " * (2 * MB)),
    "csv_unterminated_quote": lambda tmp: csv_dir(tmp, b"a,b,c,d,e,f,g,h\n\"" + b"x,\n" * (MB // 3)),
}


def main() -> None:
    global DATA
    if len(sys.argv) > 2:
        DATA = Path(sys.argv[2])
    if len(sys.argv) > 3:
        limit = int(sys.argv[3]) * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    with tempfile.TemporaryDirectory() as tmp:
        started = time.perf_counter()
        try:
            result = CASES[sys.argv[1]](Path(tmp))
            size = result.element_count if isinstance(result, _morvane.TableSet) else len(result)
            text = f"result {size}"
        except ValueError as error:
            text = f"ValueError: {error}"
        except MemoryError:
            text = "MemoryError"
        seconds = time.perf_counter() - started
    print(json.dumps({"outcome": text, "peak_mb": round(peak_rss_mb()), "seconds": round(seconds, 2)}))


def peak_rss_mb() -> float:
    """This process's own peak resident size. Linux carries ru_maxrss over from
    the forking parent (the test runner), so read the high-water mark of this
    address space instead."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


if __name__ == "__main__":
    main()
