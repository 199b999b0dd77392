#!/usr/bin/env python3
"""Decoding throughput of morvane over the corpus, next to ecCodes and pybufrkit.

    python bench/bench_decode.py [--repeat 5] [--peer-seconds 5] [--peers eccodes,pybufrkit]

Every edition 4 message of ../shared/data/bufr that the reference decoder
could decode is put into groups: uncompressed, compressed, and the
uncompressed SYNOP (data category 0) and TEMP (category 2) messages; HIRS
(the 17.5 M-value compressed HIRS file) and SYNOP-GER (the German SYNOP
file) follow the object path on one large and one text-rich input.

morvane loads one TableSet per table version (master table, versions,
centre, sub-centre) before timing and decodes each group with
``decode_values_with_tables``, best of --repeat passes.  Each peer decodes
the messages of a group, in a fixed shuffled order, until --peer-seconds of
decoding time are spent, reading every value (ecCodes: unpack, then every
key of the message; pybufrkit: every decoded value of every subset);
morvane is then timed on exactly the messages the peer decoded, so each
ratio compares equal work.
Throughput is given in morvane's decoded values per second (its count of
DecodedValue items), so the three columns are comparable; the peers' own
value counts are printed beside.

Peers are optional: a peer that cannot be imported is skipped with a note.
Memory: bytes per DecodedValue from tracemalloc over a decode of every
uncompressed message, with the result lists kept alive.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import statistics
import sys
import time
import subprocess
import tracemalloc
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_DATA = Path(os.environ.get("MORVANE_SHARED", ROOT.parent / "shared")) / "data"


# --------------------------------------------------------------------------
# Corpus


@dataclass
class Message:
    key: str
    data: bytes
    compressed: bool
    category: int
    table_key: tuple
    values: int = 0  # morvane's item count, once decoded


def split_file(data: bytes) -> list[bytes]:
    out, pos = [], 0
    while (start := data.find(b"BUFR", pos)) >= 0:
        length = int.from_bytes(data[start + 4:start + 7], "big") if start + 7 <= len(data) else 0
        if length < 8:
            break
        out.append(data[start:start + length])
        pos = start + length
    return out


def header(msg: bytes) -> tuple[bool, int, tuple] | None:
    """(compressed, data category, table key) read from sections 1 and 3."""
    try:
        s1 = int.from_bytes(msg[8:11], "big")
        p3 = 8 + s1
        if msg[17]:
            p3 += int.from_bytes(msg[p3:p3 + 3], "big")
        flags = msg[p3 + 6]
        table_key = (msg[11], int.from_bytes(msg[12:14], "big"), int.from_bytes(msg[14:16], "big"), msg[21], msg[22])
        return bool(flags & 0x40), msg[18], table_key
    except IndexError:
        return None


def load_corpus(data_dir: Path) -> list[Message]:
    import gzip
    import json

    bufr_dir = data_dir / "bufr"
    out = []
    for path in sorted(p for p in bufr_dir.iterdir() if p.name.endswith(".bufr")):
        ref_path = bufr_dir / "reference" / (path.name + ".jsonl.gz")
        failed = set()
        if ref_path.exists():
            with gzip.open(ref_path, "rt", encoding="utf-8") as fh:
                failed = {r["index"] for r in map(json.loads, fh) if "error" in r}
        for index, msg in enumerate(split_file(path.read_bytes())):
            if msg[7] != 4 or index in failed or len(msg) != int.from_bytes(msg[4:7], "big"):
                continue
            head = header(msg)
            if head is not None:
                out.append(Message(f"{path.name}#{index}", msg, *head))
    return out


GROUPS = {
    "uncompressed": lambda m: not m.compressed,
    "compressed": lambda m: m.compressed,
    "SYNOP": lambda m: not m.compressed and m.category == 0,
    "TEMP": lambda m: not m.compressed and m.category == 2,
    "HIRS": lambda m: "-HIRS-" in m.key,
    "SYNOP-GER": lambda m: "synop_bufr_GER" in m.key,
}


# --------------------------------------------------------------------------
# Decoders


class Morvane:
    name = "morvane"

    def __init__(self, corpus: list[Message], eccodes_root: Path) -> None:
        import _morvane

        self.decode = _morvane.decode_values_with_tables
        self.tables: dict[tuple, object] = {}
        self.failed: dict[str, str] = {}
        t0 = time.perf_counter()
        for m in corpus:
            if m.table_key not in self.tables:
                try:
                    self.tables[m.table_key] = _morvane.TableSet.from_definitions(
                        str(eccodes_root), _morvane.parse_bytes(m.data))
                except ValueError as exc:
                    self.tables[m.table_key] = None
                    self.failed[m.key] = f"tables: {exc}"
        self.load_seconds = time.perf_counter() - t0
        for m in corpus:
            tables = self.tables[m.table_key]
            if tables is None:
                self.failed.setdefault(m.key, "tables did not load")
                continue
            try:
                m.values = len(self.decode(m.data, tables))
            except ValueError as exc:
                self.failed[m.key] = str(exc)

    def usable(self, msgs: list[Message]) -> list[Message]:
        return [m for m in msgs if m.key not in self.failed]

    def time_batch(self, msgs: list[Message], repeat: int, cpu: list[float] | None = None) -> list[float]:
        """Wall-clock seconds per pass; `cpu` receives this process's CPU
        seconds per pass, the steadier figure on a machine shared with other work."""
        decode, tables = self.decode, self.tables
        work = [(m.data, tables[m.table_key]) for m in msgs]
        times = []
        gc_was = gc.isenabled()
        gc.disable()
        try:
            for _ in range(repeat):
                c0 = time.process_time()
                t0 = time.perf_counter()
                for data, t in work:
                    decode(data, t)
                times.append(time.perf_counter() - t0)
                if cpu is not None:
                    cpu.append(time.process_time() - c0)
        finally:
            if gc_was:
                gc.enable()
        return times


class EcCodes:
    name = "ecCodes"

    def __init__(self) -> None:
        import eccodes

        self.ec = eccodes
        self.version = eccodes.codes_get_api_version()

    def decode(self, data: bytes) -> int:
        ec = self.ec
        h = ec.codes_new_from_message(data)
        n = 0
        try:
            ec.codes_set(h, "unpack", 1)
            it = ec.codes_bufr_keys_iterator_new(h)
            try:
                while ec.codes_bufr_keys_iterator_next(it):
                    key = ec.codes_bufr_keys_iterator_get_name(it)
                    size = ec.codes_get_size(h, key)
                    if size == 1:
                        ec.codes_get(h, key)
                    elif size > 1:
                        ec.codes_get_array(h, key)
                    n += size
            finally:
                ec.codes_bufr_keys_iterator_delete(it)
        finally:
            ec.codes_release(h)
        return n


class PyBufrKit:
    name = "pybufrkit"

    def __init__(self) -> None:
        import logging
        from importlib.metadata import version

        from pybufrkit.decoder import Decoder

        # It warns about every local table it lacks; that would bury the report.
        logging.disable(logging.WARNING)

        self.decoder = Decoder()
        self.version = version("pybufrkit")

    def decode(self, data: bytes) -> int:
        msg = self.decoder.process(data)
        n = 0
        for subset in msg.template_data.value.decoded_values_all_subsets:
            for _value in subset:
                n += 1
        return n


def load_peers(names: list[str]) -> list:
    peers = []
    for name in names:
        cls = {"eccodes": EcCodes, "pybufrkit": PyBufrKit}[name]
        try:
            peers.append(cls())
        except Exception as exc:  # noqa: BLE001 - any import problem just drops the peer
            print(f"note: {cls.name} skipped ({type(exc).__name__}: {exc})")
    return peers


@dataclass
class PeerRun:
    messages: list[Message] = field(default_factory=list)
    seconds: float = 0.0
    own_values: int = 0
    failures: int = 0


def run_peer(peer, msgs: list[Message], budget: float) -> PeerRun:
    """Decode until the budget is spent; failures are left out.  The order is
    a fixed shuffle, so a partial run samples every file of the group rather
    than only the first ones."""
    msgs = list(msgs)
    random.Random(0).shuffle(msgs)
    for m in msgs[:3]:  # first-use costs (definitions, table caches) are not timed
        try:
            peer.decode(m.data)
        except Exception:  # noqa: BLE001
            pass
    run = PeerRun()
    for m in msgs:
        t0 = time.perf_counter()
        try:
            n = peer.decode(m.data)
        except Exception:  # noqa: BLE001 - a peer's failure only removes the message
            run.failures += 1
            continue
        run.seconds += time.perf_counter() - t0
        run.own_values += n
        run.messages.append(m)
        if run.seconds >= budget:
            break
    return run


# --------------------------------------------------------------------------
# Report


def rate(values: int, seconds: float) -> str:
    return f"{values / seconds / 1e6:8.3f} M/s" if seconds > 0 else "      n/a"


def bytes_per_value(data_dir: Path) -> tuple[float, float, int]:
    """tracemalloc over one decode of every uncompressed message, in a process
    that has decoded nothing before: freed values are pooled for reuse, so a
    measurement after the timing runs would not see their memory."""
    import _morvane

    corpus = [m for m in load_corpus(data_dir) if not m.compressed]
    root = str(data_dir / "tables" / "eccodes")
    tables: dict[tuple, object] = {}
    for m in corpus:
        if m.table_key not in tables:
            try:
                tables[m.table_key] = _morvane.TableSet.from_definitions(root, _morvane.parse_bytes(m.data))
            except ValueError:
                tables[m.table_key] = None
    gc.collect()
    tracemalloc.start()
    kept = []
    try:
        before = tracemalloc.get_traced_memory()[0]
        for m in corpus:
            if tables[m.table_key] is None:
                continue
            try:
                kept.append(_morvane.decode_values_with_tables(m.data, tables[m.table_key]))
            except ValueError:
                continue
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    count = sum(len(k) for k in kept)
    list_bytes = sum(sys.getsizeof(k) for k in kept) + sys.getsizeof(kept)
    total = after - before
    return total / count, (total - list_bytes) / count, count


def fresh_bytes_per_value(data_dir: Path) -> tuple[float, float, int]:
    out = subprocess.run([sys.executable, __file__, "--memory-only", "--data", str(data_dir)],
                         check=True, capture_output=True, text=True).stdout
    with_list, per_object, count = out.split()
    return float(with_list), float(per_object), int(count)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help="shared data folder")
    ap.add_argument("--repeat", type=int, default=5, help="morvane passes per measurement (best is kept)")
    ap.add_argument("--peer-seconds", type=float, default=5.0, help="decoding time budget per peer and group")
    ap.add_argument("--peers", default="eccodes,pybufrkit", help="comma-separated, or 'none'")
    ap.add_argument("--groups", default=",".join(GROUPS), help="comma-separated: " + ", ".join(GROUPS))
    ap.add_argument("--memory-only", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.memory_only:
        print(*bytes_per_value(args.data))
        return 0

    if not (args.data / "bufr").is_dir():
        print(f"no corpus at {args.data / 'bufr'}; pass --data")
        return 1
    corpus = load_corpus(args.data)
    print(f"corpus: {len(corpus)} edition 4 messages that the reference decodes, from {args.data / 'bufr'}")
    print(f"python {sys.version.split()[0]}")

    morvane = None
    try:
        morvane = Morvane(corpus, args.data / "tables" / "eccodes")
    except (ImportError, AttributeError) as exc:
        print(f"note: morvane skipped ({type(exc).__name__}: {exc}); peers are measured alone")
    if morvane is not None:
        print(f"morvane: {len(morvane.tables)} table sets loaded in {morvane.load_seconds * 1e3:.1f} ms; "
              f"{len(morvane.failed)} messages it cannot decode are left out")
        for key, why in list(morvane.failed.items())[:10]:
            print(f"    {key}: {why}")

    peers = [] if args.peers == "none" else load_peers(args.peers.split(","))
    for p in peers:
        print(f"{p.name} {p.version}")
    print()

    for gname in args.groups.split(","):
        msgs = [m for m in corpus if GROUPS[gname](m)]
        if morvane is not None:
            msgs = morvane.usable(msgs)
        if not msgs:
            print(f"{gname}: no messages")
            continue
        print(f"== {gname}: {len(msgs)} messages")
        if morvane is not None:
            values = sum(m.values for m in msgs)
            cpu: list[float] = []
            times = morvane.time_batch(msgs, args.repeat, cpu)
            best = min(times)
            print(f"   morvane    {rate(values, best)}  {values:>10} values  best {best * 1e3:8.2f} ms,"
                  f" median {statistics.median(times) * 1e3:8.2f} ms; CPU time {rate(values, min(cpu))}")
        for peer in peers:
            run = run_peer(peer, msgs, args.peer_seconds)
            if not run.messages:
                print(f"   {peer.name:<10} decoded none of them ({run.failures} failures)")
                continue
            scope = f"{len(run.messages)}/{len(msgs)} msgs"
            if run.failures:
                scope += f", {run.failures} failed"
            if morvane is None:
                print(f"   {peer.name:<10} {rate(run.own_values, run.seconds)}  {run.own_values:>10} own values"
                      f"  {run.seconds * 1e3:8.1f} ms  ({scope})")
                continue
            values = sum(m.values for m in run.messages)
            ours = min(morvane.time_batch(run.messages, args.repeat))
            print(f"   {peer.name:<10} {rate(values, run.seconds)}  {values:>10} values  {run.seconds * 1e3:8.1f} ms"
                  f"  ({scope}; {run.own_values} own values)  morvane is {run.seconds / ours:6.1f}x faster")
        print()

    if morvane is not None:
        with_list, per_object, count = fresh_bytes_per_value(args.data)
        print(f"memory: {per_object:.1f} bytes per DecodedValue ({with_list:.1f} with its list slot),"
              f" over {count} values of the uncompressed messages")
    return 0


if __name__ == "__main__":
    sys.exit(main())
