"""Time of ``morvane dump`` (text, and --json) against a process that only decodes the
same values, for one uncompressed message of 8,000 subsets of
(007004 012101) x 10: 168,000 lines of output.

    python bench/bench_dump.py [--repeat 5] [--subsets 8000]

Each figure is the best of --repeat whole processes (interpreter start and
imports included), output to /dev/null; ecCodes' ``bufr_dump`` of the same
file is timed too when it is installed. The dump should take under twice the
decode-only time.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from bufr_builder import BitWriter, message  # noqa: E402

DECODE_ONLY = "import sys, morvane; [m.values for m in morvane.read(sys.argv[1])]"


def build(subsets: int) -> bytes:
    # Eight subsets of 300 bits fill whole octets, so chunks join as bytes.
    chunks = []
    for first in range(0, subsets, 8):
        w = BitWriter()
        for s in range(first, min(first + 8, subsets)):
            for k in range(10):
                w.value(10 * (s % 1000) + k * 10000, 14, -1).value(200.0 + k + s % 7 / 100, 16, 2)
        chunks.append(w.getvalue())
    return message([102010, 7004, 12101], b"".join(chunks), subsets=subsets)


def best(command: list[str], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    return min(times)


def bufr_dump() -> str | None:
    found = shutil.which("bufr_dump")
    if found:
        return found
    try:  # the ecCodes wheel carries the tools
        import eccodeslib  # type: ignore[import-not-found]
    except ImportError:
        return None
    candidate = Path(eccodeslib.__file__).parent / "bin" / "bufr_dump"
    return str(candidate) if candidate.exists() else None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--subsets", type=int, default=8000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "subsets.bufr"
        path.write_bytes(build(args.subsets))
        decode = best([sys.executable, "-c", DECODE_ONLY, str(path)], args.repeat)
        dump = best([sys.executable, "-m", "morvane", "dump", str(path)], args.repeat)
        as_json = best([sys.executable, "-m", "morvane", "dump", "--json", str(path)], args.repeat)
        lines = subprocess.run([sys.executable, "-m", "morvane", "dump", str(path)], capture_output=True,
                               check=True).stdout.count(b"\n")
        print(f"{args.subsets} subsets, {lines} lines of dump, best of {args.repeat} processes")
        print(f"  decode only      {decode:7.3f} s")
        print(f"  morvane dump     {dump:7.3f} s   {dump / decode:.2f}x decode only")
        print(f"  ... --json       {as_json:7.3f} s   {as_json / decode:.2f}x decode only")
        tool = bufr_dump()
        if tool is None:
            print("  bufr_dump        not installed")
        else:
            theirs = best([tool, str(path)], args.repeat)
            print(f"  ecCodes bufr_dump {theirs:6.3f} s   {theirs / decode:.2f}x decode only")


if __name__ == "__main__":
    main()
