#!/usr/bin/env python3
"""Columnar decoding next to ecCodes, in one process, on five files of the corpus.

    python bench/bench_columnar.py [--repeat 3] [--files hirs,iasi,cmwn,synop,temp] [--no-frame]

For each file every message is decoded:
  ecCodes     codes_bufr_new_from_file, unpack=1, codes_get_array("numericValues")
  columnar    morvane._columnar.decode(message, tables), one Batch per message
  per file    morvane._columnar.decode_messages over runs of consecutive messages
              with the same template and tables, as morvane.read_arrow decodes
              a file: one Batch per run
  2 threads   the same, the messages split between two threads (the module
              releases the GIL while it decodes)
  object      _morvane.decode_values_with_tables, one DecodedValue per value

Table sets are loaded once per table version before timing, from the
conformance definitions (../shared/data/tables/eccodes). Throughput is in
ecCodes' numericValues per second for every path, so the ratios compare equal
work; each time is the best of --repeat passes. Then morvane.to_dataframe on
the HIRS file, in a fresh process: time, the frame's size and the process's
peak resident memory above its level before the call.
"""

from __future__ import annotations

import argparse
import gc
import os
import resource
import subprocess
import sys
import math
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from bench_decode import split_file

THREAD_SECONDS = 0.5

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_DATA = Path(os.environ.get("MORVANE_SHARED", ROOT.parent / "shared")) / "data"

FILES = {
    "hirs": "M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",
    "iasi": "iasi_241.e4.bufr",
    "cmwn": "cmwn_87.e4.bufr",
    "synop": "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr",
    "temp": "temp.e4.bufr",
}
TARGETS = {  # columnar / ecCodes, object / ecCodes
    "hirs": (5.0, 0.4), "iasi": (5.0, None), "cmwn": (5.0, None), "synop": (100.0, 70.0), "temp": (100.0, None),
}


def best_of(repeat: int, run) -> float:
    times = []
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            t0 = time.perf_counter()
            run()
            times.append(time.perf_counter() - t0)
    finally:
        if gc_was:
            gc.enable()
    return min(times)


# --------------------------------------------------------------------------
# ecCodes


def eccodes_pass(path: Path) -> int:
    import eccodes as ec

    values = 0
    with open(path, "rb") as fh:
        while (h := ec.codes_bufr_new_from_file(fh)) is not None:
            try:
                ec.codes_set(h, "unpack", 1)
                values += len(ec.codes_get_array(h, "numericValues"))
            finally:
                ec.codes_release(h)
    return values


# --------------------------------------------------------------------------
# morvane


@dataclass
class Work:
    messages: list[tuple[bytes, object]]
    runs: list[list[tuple[bytes, object]]]


def load_work(path: Path, eccodes_root: Path) -> Work:
    import _morvane

    from morvane._columns import ALONE_ROWS, BATCH_ROWS

    tables: dict[tuple, object] = {}
    work = []
    runs: list[list[tuple[bytes, object]]] = []
    last, rows, alone = None, 0, False
    for data in split_file(path.read_bytes()):
        msg = _morvane.parse_bytes(data)
        key = (msg.master_table_number, msg.originating_centre, msg.originating_subcentre,
               msg.master_tables_version_number, msg.local_tables_version_number)
        if key not in tables:
            tables[key] = _morvane.TableSet.from_definitions(str(eccodes_root), msg)
        work.append((data, tables[key]))
        template = (tuple(msg.unexpanded_descriptors), key)
        big = msg.number_of_subsets >= ALONE_ROWS
        if not runs or template != last or rows + msg.number_of_subsets > BATCH_ROWS or big or alone:
            runs.append([])
            rows = 0
        alone = big
        runs[-1].append(work[-1])
        rows += msg.number_of_subsets
        last = template
    return Work(work, runs)


def columnar_pass(work: Work, rounds: int = 1) -> None:
    from morvane import _columnar

    decode = _columnar.decode
    for _ in range(rounds):
        for data, tables in work.messages:
            decode(data, tables)


def file_pass(work: Work) -> None:
    from morvane import _columnar

    decode_messages = _columnar.decode_messages
    for run in work.runs:
        decode_messages(run)


def columnar_threads(work: Work, rounds: int = 1, threads: int = 2) -> None:
    from morvane import _columnar

    decode = _columnar.decode
    failures: list[BaseException] = []

    def run(part: list[tuple[bytes, object]]) -> None:
        try:
            for _ in range(rounds):
                for data, tables in part:
                    decode(data, tables)
        except BaseException as exc:  # noqa: BLE001 - handed back to the caller
            failures.append(exc)

    # Interleaved halves: both threads get messages of every size.
    parts = [work.messages[i::threads] for i in range(threads)]
    pool = [threading.Thread(target=run, args=(p,)) for p in parts]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    if failures:
        raise failures[0]


def object_pass(work: Work) -> None:
    import _morvane

    decode = _morvane.decode_values_with_tables
    for data, tables in work.messages:
        decode(data, tables)


# --------------------------------------------------------------------------
# to_dataframe in a fresh process


def frame_probe(path: Path) -> None:
    """Child process: prints seconds, frame bytes, peak RSS growth in bytes."""
    import morvane

    data = path.read_bytes()
    # Everything the call needs is imported and the input read, so the growth
    # of the high-water mark is the call's own.
    import numpy  # noqa: F401
    import pandas  # noqa: F401
    from morvane import _columnar  # noqa: F401

    morvane.to_dataframe(split_file(data)[0])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    t0 = time.perf_counter()
    frame = morvane.to_dataframe(data)
    seconds = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    size = int(frame.memory_usage(deep=True, index=True).sum())
    print(seconds, size, peak - before, frame.shape[0], frame.shape[1])


def frame_report(path: Path) -> str:
    out = subprocess.run([sys.executable, __file__, "--frame-probe", str(path)],
                         check=True, capture_output=True, text=True).stdout.split()
    seconds, size, grown, rows, cols = float(out[0]), int(out[1]), int(out[2]), int(out[3]), int(out[4])
    verdict = "ok" if seconds < 1.0 and grown < 3 * size else "MISSED (< 1 s, < 3x frame)"
    return (f"to_dataframe HIRS: {rows} x {cols} in {seconds:.3f} s; frame {size / 2**20:.1f} MiB, "
            f"peak RSS growth {grown / 2**20:.1f} MiB ({grown / size:.2f}x frame)  {verdict}")


# --------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help="shared data folder")
    ap.add_argument("--repeat", type=int, default=3, help="passes per measurement (best is kept)")
    ap.add_argument("--files", default=",".join(FILES), help="comma-separated: " + ", ".join(FILES))
    ap.add_argument("--no-frame", action="store_true", help="skip the to_dataframe measurement")
    ap.add_argument("--frame-probe", type=Path, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.frame_probe is not None:
        frame_probe(args.frame_probe)
        return 0

    bufr = args.data / "bufr"
    if not bufr.is_dir():
        print(f"no corpus at {bufr}; pass --data")
        return 1
    import eccodes

    try:
        from morvane import _columnar  # noqa: F401
        have_columnar = True
    except ImportError as exc:
        print(f"note: morvane._columnar is not built ({exc}); its columns are left empty")
        have_columnar = False
    print(f"python {sys.version.split()[0]}, ecCodes {eccodes.codes_get_api_version()}, best of {args.repeat}")
    head = (f"{'file':<6} {'msgs':>5} {'values':>9} {'ecCodes M/s':>11} {'columnar M/s':>12} {'x':>6} "
            f"{'file M/s':>9} {'x':>6} {'2 thr x':>7} {'object M/s':>10} {'x':>6}  targets")
    print(head)
    print("-" * len(head))
    missed = []
    for name in args.files.split(","):
        path = bufr / FILES[name]
        work = load_work(path, args.data / "tables" / "eccodes")
        values = eccodes_pass(path)
        t_ec = best_of(args.repeat, lambda: eccodes_pass(path))
        t_obj = best_of(args.repeat, lambda: object_pass(work))
        col = thr = per_file = "n/a"
        col_x = thr_x = file_x = None
        if have_columnar:
            t_col = best_of(args.repeat, lambda: columnar_pass(work))
            # Threads are compared over at least THREAD_SECONDS of work: a single pass
            # over a small file is mostly starting threads.
            rounds = max(1, math.ceil(THREAD_SECONDS / t_col))
            t_one = best_of(args.repeat, lambda: columnar_pass(work, rounds))
            t_thr = best_of(args.repeat, lambda: columnar_threads(work, rounds))
            t_file = best_of(args.repeat, lambda: file_pass(work))
            col_x, thr_x, file_x = t_ec / t_col, t_one / t_thr, t_ec / t_file
            col, thr = f"{values / t_col / 1e6:12.1f}", f"{thr_x:7.2f}"
            per_file = f"{values / t_file / 1e6:9.1f}"
        obj_x = t_ec / t_obj
        want_col, want_obj = TARGETS[name]
        notes = [f"col>={want_col:g}x"] + ([f"obj>={want_obj:g}x"] if want_obj else [])
        if file_x is not None and max(col_x, file_x) < want_col:
            missed.append(f"{name}: columnar {max(col_x, file_x):.1f}x < {want_col:g}x")
        if thr_x is not None and thr_x < 1.7:
            missed.append(f"{name}: 2 threads {thr_x:.2f}x < 1.7x")
        if want_obj and obj_x < want_obj:
            missed.append(f"{name}: object {obj_x:.2f}x < {want_obj:g}x")
        col_x_text = f"{col_x:6.1f}" if col_x is not None else "   n/a"
        file_x_text = f"{file_x:6.1f}" if file_x is not None else "   n/a"
        print(f"{name:<6} {len(work.messages):>5} {values:>9} {values / t_ec / 1e6:11.2f} {col:>12} {col_x_text} "
              f"{per_file:>9} {file_x_text} {thr:>7} {values / t_obj / 1e6:10.2f} {obj_x:6.2f}  {', '.join(notes)}")
    if have_columnar and not args.no_frame and "hirs" in args.files.split(","):
        print()
        print(frame_report(bufr / FILES["hirs"]))
    if missed:
        print()
        print("below target: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
