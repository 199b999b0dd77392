"""Framing benchmark: import time of _morvane and parse_all_file on the largest
corpus file, with the size of the built extension.

    python bench/bench_parse.py [--repeat N]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import _morvane

ROOT = Path(__file__).resolve().parent.parent
CORPUS = Path(os.environ.get("MORVANE_SHARED", ROOT.parent / "shared")) / "data" / "bufr"


def import_time_ms(repeat: int) -> float:
    code = "import time; t=time.perf_counter(); import _morvane; print(time.perf_counter()-t)"
    runs = [float(subprocess.check_output([sys.executable, "-c", code])) for _ in range(repeat)]
    return statistics.median(runs) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=200)
    args = parser.parse_args()

    so = Path(_morvane.__file__)
    print(f"extension {so.name}: {so.stat().st_size / 1024:.0f} KiB")
    print(f"import _morvane: {import_time_ms(15):.2f} ms (median of 15 fresh interpreters)")
    if not CORPUS.is_dir():
        print("corpus absent: skipping parse timing")
        return
    files = sorted((p for p in CORPUS.glob("*.bufr")), key=lambda p: p.stat().st_size)
    for path in files[::-1]:
        try:
            msgs = _morvane.parse_all_file(str(path))
            break
        except ValueError:
            continue
    times = []
    for _ in range(args.repeat):
        t = time.perf_counter()
        _morvane.parse_all_file(str(path))
        times.append(time.perf_counter() - t)
    med = statistics.median(times)
    size = path.stat().st_size
    print(f"parse_all_file({path.name}): {len(msgs)} messages, {size / 1024:.0f} KiB, "
          f"median {med * 1e6:.0f} us ({size / med / 1e9:.2f} GB/s)")


if __name__ == "__main__":
    main()
