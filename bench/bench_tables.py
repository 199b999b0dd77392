"""Table loading benchmark: TableSet.from_eccodes on WMO version 39 and
TableSet.from_bufr4_45 on the CSV release, median wall and CPU time over
repeated loads, and the heap memory one loaded set holds (bytes the C
allocator has handed out while it is alive, from glibc's mallinfo2).

    python bench/bench_tables.py [--repeat N] [--hold N]
"""

import argparse
import ctypes
import gc
import os
import statistics
import time
from pathlib import Path

import _morvane

ROOT = Path(__file__).resolve().parent.parent
DATA = Path(os.environ.get("MORVANE_SHARED", ROOT.parent / "shared")) / "data" / "tables"
V39 = DATA / "eccodes" / "bufr" / "tables" / "0" / "wmo" / "39"
CSV = DATA / "wmo-bufr4-v45"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_in_use() -> int | None:
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def time_loads(load, repeat: int) -> tuple[float, float, float]:
    load()  # warm the page cache
    wall, cpu = [], []
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        tables = load()
        cpu.append(time.process_time() - c)
        wall.append(time.perf_counter() - w)
        del tables  # freeing stays outside the timed region
    return statistics.median(wall) * 1e3, min(wall) * 1e3, statistics.median(cpu) * 1e3


def held_bytes(load, hold: int) -> float | None:
    gc.collect()
    before = heap_in_use()
    if before is None:
        return None
    kept = [load() for _ in range(hold)]
    grown = heap_in_use() - before
    del kept
    return grown / hold


def report(label: str, load, repeat: int, hold: int) -> None:
    tables = load()
    med, best, cpu = time_loads(load, repeat)
    held = held_bytes(load, hold)
    memory = "unknown" if held is None else f"{held / 1024:.0f} KiB"
    print(f"{label}: {tables!r}\n"
          f"  wall median {med:.2f} ms (best {best:.2f} ms), cpu median {cpu:.2f} ms, "
          f"heap held per loaded set {memory}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=200)
    parser.add_argument("--hold", type=int, default=50)
    args = parser.parse_args()
    if not V39.is_dir():
        print("shared tables absent: nothing to measure")
        return
    report("from_eccodes(wmo/39)", lambda: _morvane.TableSet.from_eccodes(str(V39)),
           args.repeat, args.hold)
    if CSV.is_dir():
        report("from_bufr4_45(wmo-bufr4-v45)", lambda: _morvane.TableSet.from_bufr4_45(str(CSV)),
               args.repeat, args.hold)


if __name__ == "__main__":
    main()
