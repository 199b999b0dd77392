#!/usr/bin/env python3
"""Throughput of morvane._columnar, and what it changes for subsets().

    python bench/bench_columnar.py [--repeat 7] [--data ../shared/data]

Figures, each best of --repeat passes:
  - the compressed HIRS file and the uncompressed German SYNOP file into
    columns with ``_columnar.decode``, message by message, in values per
    second (rows x value columns, i.e. every cell the batch holds);
  - the same messages as DecodedValue lists (``decode_values_with_tables``),
    for comparison;
  - ``Message.subsets()`` (decode + subset_starts + slicing) against decoding
    the values alone, over every uncompressed message, and on a synthetic
    message of 8,000 subsets of structure (007004 012101) x 10;
  - two threads decoding different messages into columns against one thread
    doing the same work (the walk runs with the GIL released), next to the
    same ratio for hashlib, which shows what the machine's cores allow.
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_DATA = Path(os.environ.get("MORVANE_SHARED", ROOT.parent / "shared")) / "data"
HIRS = "M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr"
SYNOP = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def load(path: Path) -> list[tuple[bytes, object]]:
    import morvane

    return [(m.original, m.tables) for m in morvane.read_messages(path) if m.error is None]


def cells(batch) -> int:
    return batch.num_rows * sum(1 for c in batch.columns if c.role != "marker")


def file_figures(name: str, messages, repeat: int) -> None:
    import _morvane
    from morvane import _columnar

    values = sum(cells(_columnar.decode(d, t)) for d, t in messages)
    items = sum(len(_morvane.decode_values_with_tables(d, t)) for d, t in messages)
    def decode_columns() -> None:
        for d, t in messages:
            _columnar.decode(d, t)

    def decode_records() -> None:
        for d, t in messages:
            _morvane.decode_values_with_tables(d, t)

    # Each result is dropped before the next decode, as a reader going
    # message by message does: the figures are the decoder's, not those of
    # first-touching hundreds of megabytes of fresh pages.
    columns = best(decode_columns, repeat)
    records = best(decode_records, repeat)
    print(f"{name[:40]:<40} {len(messages):>4} messages")
    print(f"   columns   {values / columns / 1e6:9.1f} M values/s  ({values} cells, {columns * 1e3:.2f} ms)")
    print(f"   records   {items / records / 1e6:9.1f} M values/s  ({items} items, {records * 1e3:.2f} ms)")


def subsets_figures(data_dir: Path, repeat: int) -> None:
    import _morvane
    import tempfile

    import morvane
    sys.path.insert(0, str(ROOT / "tests"))
    from bufr_builder import BitWriter, element, message, write_table_dir

    msgs = []
    for path in sorted((data_dir / "bufr").glob("*.bufr")):
        for m in morvane.read_messages(path):
            if m.error is None and m.message is not None and not m.message.compressed_data \
                    and m.message.number_of_subsets > 1:
                msgs.append(m)

    decode = best(lambda: [_morvane.decode_values_with_tables(m.data, m.tables) for m in msgs], repeat)

    def dump() -> None:
        from morvane._subsets import split_subsets
        for m in msgs:
            values = _morvane.decode_values_with_tables(m.data, m.tables)
            split_subsets(m.data, m.message, values, m.tables)

    split = best(dump, repeat)
    print(f"subsets() over {len(msgs)} uncompressed multi-subset messages: "
          f"{split / decode:.2f}x the time of decoding values ({split * 1e3:.1f} vs {decode * 1e3:.1f} ms)")

    with tempfile.TemporaryDirectory() as tmp:
        tables_dir = write_table_dir(Path(tmp) / "t", elements={
            7004: element("PRESSURE", "Pa", -1, 0, 14),
            12101: element("TEMPERATURE", "K", 2, 0, 16),
        })
        w = BitWriter()
        for s in range(8000):
            for k in range(10):
                w.value(50000 + 10 * k, 14, -1).value(250.0 + k, 16, 2)
        data = message([101010, 7004, 12101], w, subsets=8000)
        tables = _morvane.TableSet.from_eccodes(str(tables_dir))
        parsed = _morvane.parse_bytes(data)
        from morvane._subsets import split_subsets
        decode = best(lambda: _morvane.decode_values_with_tables(data, tables), repeat)

        def one() -> None:
            values = _morvane.decode_values_with_tables(data, tables)
            split_subsets(data, parsed, values, tables)

        split = best(one, repeat)
        print(f"8,000-subset synthetic message: subsets() {split / decode:.2f}x decoding values "
              f"({split * 1e3:.1f} vs {decode * 1e3:.1f} ms)")


def thread_figures(messages, repeat: int) -> None:
    from morvane import _columnar

    half = len(messages) // 2
    parts = [messages[:half], messages[half:2 * half]]

    def work(part) -> None:
        for d, t in part:
            _columnar.decode(d, t)

    single = best(lambda: [work(p) for p in parts], repeat)

    def both() -> None:
        threads = [threading.Thread(target=work, args=(p,)) for p in parts]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    double = best(both, repeat)
    print(f"two threads on {2 * half} messages: {single / double:.2f}x one thread "
          f"({double * 1e3:.1f} vs {single * 1e3:.1f} ms)")

    # What two threads can reach on this machine right now: hashlib also
    # releases the GIL for large inputs.
    import hashlib
    blob = bytes(20_000_000)

    def digest() -> None:
        hashlib.sha256(blob).digest()

    one = best(lambda: (digest(), digest()), repeat)

    def two_digests() -> None:
        threads = [threading.Thread(target=digest) for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    print(f"   the same for hashlib.sha256, the machine's ceiling now: {one / best(two_digests, repeat):.2f}x")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args(argv)
    bufr = args.data / "bufr"
    if not bufr.is_dir():
        print(f"no data at {bufr}", file=sys.stderr)
        return 2
    hirs = load(bufr / HIRS)
    synop = load(bufr / SYNOP)
    file_figures(HIRS, hirs, args.repeat)
    file_figures(SYNOP, synop, args.repeat)
    subsets_figures(args.data, args.repeat)
    thread_figures(hirs * 8, args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
