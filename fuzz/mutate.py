#!/usr/bin/env python3
"""Mutation campaign over every decoding entry point, from Python.

    python fuzz/mutate.py [--seconds N] [--seed S] [--out DIR] [--tables ROOT] FILE...

Without clang there is no libFuzzer; this mutates real messages instead. The
FILEs are split into messages with `morvane.read`; each round takes one,
mutates it (bits flipped, octets set to 0x00 or 0xFF, cut short, a section
length set to 0, too small or too large, the number of subsets or the flags
of section 3 changed, descriptors replaced, inserted or dropped, replications
bumped, the edition changed, section 4 lengthened, another message or garbage
appended) and hands it to a worker process, which feeds it to `_morvane`,
`morvane._columnar`, the package (`read`, `Message.to_arrow`/`arrays`,
`read_arrow`, `to_dataframe`, `read_bufr`) and the command line (`dump`,
`table`, `copy --where`).

A finding is a worker that dies (a sanitizer report, a signal) or spends more
than --hang seconds in one entry point, an exception other than ValueError
(MessageError is one), or a command-line status other than 0 and 1 or a
traceback. Its input goes to --out with a JSON note; the worker's stderr
holds the sanitizer report. Run it in the environment that
tools/run-sanitized-tests sets up (LD_PRELOAD, ASAN_OPTIONS, PYTHONMALLOC),
with that script's venv: the worker inherits it. Tables: ROOT, an ecCodes
definitions root, else the bundled ones.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import random
import select
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

MAX_MESSAGE = 64 * 1024  # larger messages only slow every round down


# --------------------------------------------------------------------------
# Mutations (of an edition 4 message's octets)

def u24(b: bytes, at: int) -> int:
    return int.from_bytes(b[at:at + 3], "big")


def section_starts(m: bytes) -> dict[int, int]:
    at, out = 8, {1: 8}
    has2 = m[17] & 0x80
    at += u24(m, at)
    if has2:
        out[2] = at
        at += u24(m, at)
    out[3] = at
    out[4] = at + u24(m, at)
    return out


def with_u24(m: bytes, at: int, value: int) -> bytes:
    return m[:at] + (value & 0xFFFFFF).to_bytes(3, "big") + m[at + 3:]


def resized(m: bytes, section: int, at: int, insert: bytes, remove: int = 0) -> bytes:
    """`insert` in place of `remove` octets at `at`, inside `section`, with its length and the total fixed."""
    start = section_starts(m)[section]
    out = m[:at] + insert + m[at + remove:]
    out = with_u24(out, start, u24(out, start) + len(insert) - remove)
    return with_u24(out, 4, len(out))


def descriptor_edit(m: bytes, r: random.Random) -> bytes:
    s3 = section_starts(m)[3]
    count = (u24(m, s3) - 7) // 2
    at = s3 + 7 + 2 * r.randrange(max(count, 1))
    f = r.choice((0, 1, 2, 2, 3))
    code = (f << 14) | (r.randrange(1, 44) << 8 if f == 2 else r.randrange(64) << 8) | r.choice((0, 1, 255, r.randrange(256)))
    new = code.to_bytes(2, "big")
    change = r.randrange(3)
    if change == 0 or count <= 1:
        return resized(m, 3, at, new, 2 if count else 0)
    return resized(m, 3, at, new if change == 1 else b"", 0 if change == 1 else 2)


def mutate(m: bytes, other: bytes, r: random.Random) -> tuple[str, bytes]:
    b = bytearray(m)
    s = section_starts(m)
    kind = r.choice(("bits", "octets", "cut", "length", "subsets", "flags", "descriptors",
                     "descriptors", "edition", "pad", "append", "garbage"))
    if kind == "bits":
        for _ in range(r.randint(1, 8)):
            b[r.randrange(len(b))] ^= 1 << r.randrange(8)
    elif kind == "octets":
        for _ in range(r.randint(1, 4)):
            b[r.randrange(len(b))] = r.choice((0, 0xFF))
    elif kind == "cut":
        b = b[:r.randrange(1, len(b))]
    elif kind == "length":
        at = r.choice([4, *s.values()])
        length = u24(m, at)
        b[at:at + 3] = r.choice((0, r.randrange(max(length, 1)), length + r.randint(1, 64), 0xFFFFFF)).to_bytes(3, "big")
    elif kind == "subsets":
        b[s[3] + 4:s[3] + 6] = r.choice((0, 1, 65535, r.randrange(65536))).to_bytes(2, "big")
    elif kind == "flags":
        b[s[3] + 6] ^= r.choice((0x40, 0x80, 0xC0))
    elif kind == "descriptors":
        b = bytearray(descriptor_edit(m, r))
    elif kind == "edition":
        b[7] = r.choice((0, 1, 2, 3, 5, 255))
    elif kind == "pad":  # more bits, so that an edited template is walked further
        n = r.choice((16, 4096, r.randint(1, 20000)))
        fill = r.choice((bytes(n), b"\xff" * n, r.randbytes(n)))
        b = bytearray(resized(m, 4, s[4] + u24(m, s[4]), fill))
    elif kind == "append":
        b += other
    else:
        junk = r.randbytes(r.randint(0, 40)) + r.choice((b"", b"BUFR", b"BUFR\0\0"))
        b = bytearray(r.choice((junk + m, m + junk + other)))
    return kind, bytes(b)


# --------------------------------------------------------------------------
# Worker: every entry point on the cases named on stdin

def worker(status_path: str, tables_root: str | None) -> None:
    import _morvane
    import morvane
    from morvane import _columnar, cli

    tables = morvane.Tables(tables_root)
    status = os.open(status_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)

    def consume(batch):
        for i in range(batch.num_columns):
            batch.values(i)
            batch.valid(i)

    def read_all(source, **options):
        for msg in morvane.read(source, tables, **options):
            msg.subsets()
            if msg.error is None:
                consume(msg.to_arrow())
                msg.arrays()

    def command(*argv):
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            code = cli.main(list(argv), out=io.StringIO())
        if code not in (0, 1) or "Traceback" in err.getvalue() or (code == 1 and not err.getvalue()):
            raise AssertionError(f"status {code}: {err.getvalue()[-500:]!r}")

    for line in sys.stdin:
        case = json.loads(line)
        path, data = case["path"], Path(case["path"]).read_bytes()
        original = Path(case["original"]).read_bytes()
        t = tables.for_message(_morvane.parse_bytes(original))
        out = path + ".out"
        calls = {
            "parse_all_bytes": lambda: _morvane.parse_all_bytes(data),
            "decode_values_with_tables": lambda: [v.data for v in _morvane.decode_values_with_tables(data, t)],
            "_columnar.decode": lambda: consume(_columnar.decode(data, t)),
            "_columnar.decode_messages": lambda: consume(_columnar.decode_messages([(original, t), (data, t)])),
            "_columnar.decode_keys": lambda: consume(_columnar.decode_keys([(data, t)], ["latitude", "pressure"])),
            "_columnar.decode_items": lambda: _columnar.decode_items([(original, t), (data, t)]),
            "_columnar.subset_starts": lambda: _columnar.subset_starts(data, t),
            "_columnar.dump_json": lambda: _columnar.dump_json(data, t, lambda text: None),
            "read": lambda: read_all(data),
            "read(path, errors=skip)": lambda: read_all(path, errors="skip"),
            "read_arrow": lambda: [consume(b) for b in morvane.read_arrow(data, tables)],
            "to_dataframe": lambda: morvane.to_dataframe(data, tables),
            "read_bufr": lambda: morvane.read_bufr(data, ["data_datetime", "latitude", "pressure", "airTemperature"],
                                                   tables=tables, errors="skip", required_columns=False),
            "read_bufr(filters)": lambda: morvane.read_bufr(data, ["stationNumber", "airTemperature"],
                                                            {"pressure": slice(50000, 85000)}, tables=tables),
            "morvane dump --json": lambda: command("dump", "--json", path),
            "morvane table": lambda: command("table", path, "-c", "latitude,airTemperature", "-w", "pressure=1:"),
            "morvane copy --where": lambda: command("copy", "-q", "-w", "airTemperature=200:400", path, out),
        }
        found = []
        for name, call in calls.items():
            os.pwrite(status, name.encode().ljust(80), 0)
            began = time.monotonic()
            try:
                call()
            except ValueError:  # MessageError included: what a bad message should give
                pass
            except Exception as exc:  # noqa: BLE001 - anything else is the finding
                found.append({"entry": name, "exception": "".join(traceback.format_exception(exc)[-6:])})
            if time.monotonic() - began > case["hang"]:
                found.append({"entry": name, "seconds": round(time.monotonic() - began, 1)})
        with contextlib.suppress(OSError):
            os.unlink(out)
        print(json.dumps(found), flush=True)


# --------------------------------------------------------------------------
# Campaign

def messages(paths: list[str]) -> list[bytes]:
    import morvane

    found = []
    for path in paths:
        with morvane.read(path) as stream:
            found += [m.data for m in stream if m.message is not None and len(m.data) <= MAX_MESSAGE]
    return found


class Worker:
    def __init__(self, args: argparse.Namespace, status: Path, stderr: Path) -> None:
        self.status, self.stderr = status, stderr
        command = [sys.executable, __file__, "--worker", str(status)] + (["--tables", args.tables] if args.tables else [])
        with open(stderr, "wb") as err:
            self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)

    def run(self, case: dict, stall: float) -> tuple[list | None, str]:
        """The worker's findings, or None and why it has to be replaced."""
        try:
            self.process.stdin.write((json.dumps(case) + "\n").encode())
            self.process.stdin.flush()
        except BrokenPipeError:
            return None, "worker died"
        last, since = "", time.monotonic()
        while True:
            if select.select([self.process.stdout], [], [], 1.0)[0]:
                line = self.process.stdout.readline()
                return (json.loads(line), "") if line else (None, "worker died")
            entry = self.status.read_text().strip()
            if entry != last:
                last, since = entry, time.monotonic()
            elif time.monotonic() - since > stall:
                self.process.kill()
                return None, f"stalled in {entry}"

    def close(self) -> None:
        self.process.kill()
        self.process.wait()


def campaign(args: argparse.Namespace) -> int:
    rng = random.Random(args.seed)
    corpus = messages(args.files)
    if not corpus:
        print("mutate: no messages in the given files", file=sys.stderr)
        return 2
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="mutate-"))
    worker, rounds, findings, began = None, 0, 0, time.monotonic()
    kinds: dict[str, int] = {}
    while time.monotonic() - began < args.seconds:
        worker = worker or Worker(args, work / "status", work / "stderr")
        original = rng.choice(corpus)
        kind, mutant = mutate(original, rng.choice(corpus), random.Random(rng.getrandbits(64)))
        kinds[kind] = kinds.get(kind, 0) + 1
        rounds += 1
        (work / "case.bufr").write_bytes(mutant)
        (work / "original.bufr").write_bytes(original)
        case = {"path": str(work / "case.bufr"), "original": str(work / "original.bufr"), "hang": args.hang}
        found, failure = worker.run(case, stall=6 * args.hang)
        if failure:
            worker.close()
            found = [{"failure": failure, "stderr": (work / "stderr").read_text(errors="replace")[-20000:]}]
            worker = None
        if found:
            findings += 1
            name = out / f"{args.seed}-{rounds}"
            name.with_suffix(".bufr").write_bytes(mutant)
            name.with_suffix(".json").write_text(json.dumps({"kind": kind, "found": found}, indent=1))
            print(f"finding {name}.bufr ({kind}): {json.dumps(found)[:300]}", flush=True)
    if worker:
        worker.close()
    print(f"{rounds} mutants in {time.monotonic() - began:.0f} s, {findings} findings; by kind {kinds}")
    return 1 if findings else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", metavar="FILE")
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--hang", type=float, default=10, help="seconds one entry point may take")
    parser.add_argument("--out", default="mutate-findings")
    parser.add_argument("--tables", help="an ecCodes definitions root (default: the bundled tables)")
    parser.add_argument("--worker", metavar="STATUS", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.tables)
        return 0
    if not args.files:
        parser.error("give BUFR files to mutate")
    if args.tables:
        import morvane

        try:
            morvane.Tables(args.tables)
        except (OSError, ValueError) as exc:
            parser.error(f"--tables: {exc}")
    return campaign(args)


if __name__ == "__main__":
    sys.exit(main())
