"""Peak memory of reading large inputs: it must follow the largest message,
not the size of the input.

    python bench/bench_stream.py [--size-mb 500] [--dump-seconds 90] [--keep]

Builds a file of at least --size-mb MB by repeating the corpus files
(../shared/data/bufr/*.bufr) in /tmp, a 400 KB text file repeating "BUFR
bulletin received" and 200 MB of random bytes with a "BUFR" every 64 KiB,
then runs each case in a child process and reports its peak resident set
size (ru_maxrss of that child) and wall time:

* ``morvane ls`` of the large file;
* ``morvane dump`` of the large file, output to /dev/null; decoding all of
  it takes tens of minutes, so it is stopped after --dump-seconds (0: let it
  finish) and the peak so far is reported;
* a ``morvane.read`` loop that touches every message's ``values``;
* ``morvane ls`` of the text file and of the random bytes.

Each peak must stay under 150 MB.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS = Path(os.environ.get("MORVANE_SHARED", ROOT.parent / "shared")) / "data" / "bufr"
LIMIT_MB = 150

# Runs one command and prints the peak RSS of that command alone (in KiB):
# RUSAGE_CHILDREN covers only the waited-for child, not this wrapper.
MEASURE = r"""
import resource, signal, subprocess, sys
limit = float(sys.argv[1])
# A shell's background job ignores SIGINT, and the child would inherit that.
child = subprocess.Popen(sys.argv[2:], stdout=subprocess.DEVNULL,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
try:
    child.wait(timeout=limit or None)
    stopped = False
except subprocess.TimeoutExpired:
    child.send_signal(signal.SIGINT)
    child.wait()
    stopped = True
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, child.returncode, stopped)
"""

VALUES_LOOP = """
import sys, morvane
count = 0
for msg in morvane.read(sys.argv[1]):
    count += len(msg.values)
print(count, file=sys.stderr)
"""


def build_large(path: Path, size_mb: int) -> None:
    corpus = b"".join(p.read_bytes() for p in sorted(CORPUS.glob("*.bufr")))
    if not corpus:
        sys.exit(f"no corpus files in {CORPUS}")
    target = size_mb << 20
    with open(path, "wb") as fh:
        written = 0
        while written < target:
            fh.write(corpus)
            written += len(corpus)


def build_text(path: Path) -> None:
    line = b"BUFR bulletin received\n"
    path.write_bytes(line * ((400 << 10) // len(line)))


def build_random(path: Path, size_mb: int = 200) -> None:
    rng = random.Random(1)
    with open(path, "wb") as fh:
        for _ in range((size_mb << 20) // (64 << 10)):
            fh.write(b"BUFR" + rng.randbytes((64 << 10) - 4))


def measure(label: str, command: list[str], limit: float = 0) -> bool:
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", MEASURE, str(limit), *command],
                          capture_output=True, text=True, check=True)
    elapsed = time.perf_counter() - start
    peak_kib, status, stopped = done.stdout.split()
    peak_mb = int(peak_kib) / 1024
    note = f", stopped after {limit:.0f} s" if stopped == "True" else f", exit {status}"
    ok = peak_mb < LIMIT_MB
    print(f"{label:<44} peak {peak_mb:7.1f} MB  {elapsed:7.1f} s{note}  {'ok' if ok else 'OVER'}", flush=True)
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=500)
    parser.add_argument("--dump-seconds", type=float, default=90)
    parser.add_argument("--keep", action="store_true", help="keep the files in /tmp")
    args = parser.parse_args()

    large = Path("/tmp/morvane-bench-stream.bufr")
    text = Path("/tmp/morvane-bench-bulletins.txt")
    noise = Path("/tmp/morvane-bench-noise.bin")
    build_large(large, args.size_mb)
    build_text(text)
    build_random(noise)
    print(f"{large}: {large.stat().st_size / 1e6:.0f} MB; {text}: {text.stat().st_size / 1e3:.0f} KB; "
          f"{noise}: {noise.stat().st_size / 1e6:.0f} MB", flush=True)

    morvane = [sys.executable, "-m", "morvane"]
    results = [
        measure("morvane ls (large file)", morvane + ["ls", "-q", str(large)]),
        measure("morvane dump > /dev/null (large file)", morvane + ["dump", str(large)], args.dump_seconds),
        measure("read loop touching values (large file)", [sys.executable, "-c", VALUES_LOOP, str(large)]),
        measure("morvane ls (400 KB of 'BUFR bulletin')", morvane + ["ls", "-q", str(text)]),
        measure("morvane ls (200 MB random, BUFR every 64 KiB)", morvane + ["ls", "-q", str(noise)]),
    ]
    if not args.keep:
        for path in (large, text, noise):
            path.unlink()
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
