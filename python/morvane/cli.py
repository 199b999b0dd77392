"""The ``morvane`` command: list, dump and expand BUFR from the shell.

Exit status: 0 when everything was read, 1 when a file could not be read,
held no message, or a message could not be framed, parsed or decoded (the
others are still shown), or the output could not be written; 2 for a wrong
command line; 130 when interrupted.

Each command is a subparser added by an ``add_*`` function listed in
`COMMANDS`; its ``run(args, out, failures)`` writes to ``out`` and reports
every problem through the shared `Failures`.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TextIO

import _morvane

from . import _columnar, cli_table
from ._reader import Message, dated_year, read
from ._tables import Tables

PROGRESS_FROM = 10  # files; fewer need no progress report
STDIN = "-"
INTERRUPTED = 130  # as a shell reports a command stopped by Ctrl-C

HEADER_FIELDS = (
    "total_length", "edition", "master_table_number", "originating_centre",
    "originating_subcentre", "update_sequence_number", "local_section_present", "data_category",
    "international_data_subcategory", "local_data_subcategory", "master_tables_version_number",
    "local_tables_version_number", "typical_year", "typical_month", "typical_day", "typical_hour",
    "typical_minute", "typical_second", "number_of_subsets", "observed_data", "compressed_data",
    "unexpanded_descriptors",
)


def shown(path: str) -> str:
    """A file name as it can be printed: bytes that are not valid in the
    file system's encoding appear as \\xNN instead of failing the output."""
    if path == STDIN:
        return "standard input"
    return os.fsencode(path).decode(sys.getfilesystemencoding(), "backslashreplace")


class Failures:
    """Counts what went wrong, one line on stderr each; the exit status
    follows from it."""

    def __init__(self) -> None:
        self.count = 0

    def report(self, text: str, path: str | None = None) -> None:
        self.count += 1
        where = "" if path is None else f"{shown(path)}: "
        try:
            print(f"morvane: {where}{text}", file=sys.stderr, flush=True)
        except (OSError, ValueError):  # stderr gone as well: the exit status still tells
            pass


class OutputClosed(Exception):
    """The reader of our output went away (e.g. ``| head``): stop quietly."""


class OutputFailed(Exception):
    """Writing the output failed (e.g. a full disk)."""


class Output:
    """The output stream, with failures to write told apart from failures
    to read: both are OSError underneath."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)
        except BrokenPipeError as exc:
            raise OutputClosed from exc
        except OSError as exc:
            raise OutputFailed(exc.strerror or str(exc)) from exc

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError as exc:
            raise OutputClosed from exc
        except OSError as exc:
            raise OutputFailed(exc.strerror or str(exc)) from exc


def load_tables(path: str | None, failures: Failures) -> Tables | None:
    """The tables the command line asks for, or None (reported) when they
    cannot be loaded."""
    try:
        return Tables(path) if path else Tables()
    except OSError as exc:
        failures.report(f"cannot read tables in {shown(str(exc.filename or path))}: {exc.strerror or exc}")
    except ValueError as exc:
        failures.report(f"cannot load tables: {exc}")
    return None


def _date(m: _morvane.BufrMessage) -> str:
    return (f"{dated_year(m):04d}-{m.typical_month:02d}-{m.typical_day:02d} "
            f"{m.typical_hour:02d}:{m.typical_minute:02d}:{m.typical_second:02d}")


def messages_of(path: str, tables: Tables, failures: Failures) -> Iterator[Message]:
    """The messages of one file (``-``: standard input) as they are read.
    A file that cannot be read, or that holds no message, is reported."""
    count = 0
    try:
        for msg in read(sys.stdin.buffer if path == STDIN else path, tables):
            count += 1
            yield msg
    except OSError as exc:
        failures.report(f"cannot read {shown(path)}: {exc.strerror or exc}")
        return
    if count == 0:
        failures.report(f"no BUFR messages found in {shown(path)}")


def report_message(msg: Message, path: str, failures: Failures) -> None:
    if msg.error is not None:
        failures.report(str(msg.error), path)


def _progress(k: int, total: int, path: str, quiet: bool) -> None:
    if total >= PROGRESS_FROM and not quiet:
        print(f"[{k}/{total}] {shown(path)}", file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# ls

LS_HEADER = f"{'offset':>10} {'ed':>2} {'centre':>6} {'cat':>3} {'ver':>3}  {'date':<19} {'subsets':>7}  compressed"


def _ls_line(msg: Message) -> str:
    m = msg.message
    if m is None:
        return f"{msg.offset:>10} {'-' if msg.edition is None else msg.edition:>2}  error: {msg.error}"
    return (f"{msg.offset:>10} {msg.edition:>2} {m.originating_centre:>6} {m.data_category:>3} "
            f"{m.master_tables_version_number:>3}  {_date(m):<19} {m.number_of_subsets:>7}  "
            f"{'yes' if m.compressed_data else 'no'}")


def cmd_ls(args: argparse.Namespace, out: Output, failures: Failures) -> None:
    if getattr(args, "print_keys", None):
        cli_table.cmd_ls_keys(args, out, failures)
        return
    tables = load_tables(args.tables, failures)
    if tables is None:
        return
    for k, path in enumerate(args.files, 1):
        _progress(k, len(args.files), path, args.quiet)
        for msg in messages_of(path, tables, failures):
            if msg.index == 0:  # headed once the file turns out to hold something
                out.write((f"{shown(path)}:\n" if len(args.files) > 1 else "") + LS_HEADER + "\n")
            out.write(_ls_line(msg) + "\n")
            if msg.message is None:
                report_message(msg, path, failures)


def add_ls(sub: Any, common: argparse.ArgumentParser) -> None:
    ls = sub.add_parser("ls", parents=[common], help="one line per message: offset, edition, centre, category, "
                                   "version, date, subsets, compressed")
    ls.add_argument("files", nargs="+", metavar="FILE", help="BUFR files; - reads standard input")
    ls.add_argument("-q", "--quiet", action="store_true", help="no progress report on stderr")
    cli_table.add_ls_options(ls)
    ls.set_defaults(run=cmd_ls)


# --------------------------------------------------------------------------
# dump


def _tables_of(msg: Message) -> _morvane.TableSet | None:
    """The tables that decode a parsed message; None when there are none
    (``msg.error`` then tells why)."""
    if msg.message is None:
        return None
    try:
        return msg.tables
    except (ValueError, OSError):
        return None


def _headed_dump(dump: Callable[[bytes, _morvane.TableSet, Callable[[str], object]], None], msg: Message,
                 tables: _morvane.TableSet, out: Output, head: str) -> bool:
    """Writes `head`, then the subsets as one of _columnar's dump functions
    makes them, in pieces straight from the data: a dump runs to millions of
    values. False, with nothing written, when the values cannot be decoded."""
    started = False

    def write(piece: str) -> None:
        nonlocal started
        if not started:
            out.write(head)
            started = True
        out.write(piece)

    try:
        dump(msg.data, tables, write)
    except ValueError:
        if started:  # not the decoding: the output
            raise
        return False
    if not started:
        out.write(head)
    return True


def _dump_text(msg: Message, out: Output) -> bool:
    """The header line, then per subset "  subset N" and per value
    "    DDDDDD  name (padded to 48) value[ [meaning]][  unit]", the unit only
    after a number whose unit is not a table, NUMERIC or CCITT IA5. False,
    with nothing written, when the values cannot be decoded."""
    m = msg.message
    tables = _tables_of(msg)
    if m is None or tables is None:
        return False
    used = msg.tables_version
    note = "" if used in (None, m.master_tables_version_number) else f" (decoded with version {used})"
    head = (f"message {msg.index} at offset {msg.offset}: edition {msg.edition}, centre "
            f"{m.originating_centre}/{m.originating_subcentre}, category {m.data_category}, "
            f"master tables {m.master_tables_version_number}{note}, local tables "
            f"{m.local_tables_version_number}, {_date(m)}, {m.number_of_subsets} subsets"
            f"{', compressed' if m.compressed_data else ''}\n")
    return _headed_dump(_columnar.dump_text, msg, tables, out, head)


def _dump_json(msg: Message, out: Output) -> bool:
    """One line: the header fields, then "subsets", an array per subset of
    {"descriptor", "name", "unit", "value", "raw", "meaning"} objects. False,
    with nothing written, when the values cannot be decoded."""
    m = msg.message
    tables = _tables_of(msg)
    if m is None or tables is None:
        return False
    head = {"index": msg.index, "offset": msg.offset, "edition": msg.edition,
            "header": {name: getattr(m, name) for name in HEADER_FIELDS},
            "tables_version": msg.tables_version}
    if not _headed_dump(_columnar.dump_json, msg, tables, out,
                        json.dumps(head, ensure_ascii=False)[:-1] + ', "subsets": ['):
        return False
    out.write("]}\n")
    return True


def cmd_dump(args: argparse.Namespace, out: Output, failures: Failures) -> None:
    tables = load_tables(args.tables, failures)
    if tables is None:
        return
    count = 0
    for msg in messages_of(args.file, tables, failures):  # one at a time: each goes once it is shown
        count += 1
        if args.message is not None and msg.index != args.message:
            continue
        # JSON of a compressed message: one array per element, as a satellite
        # message would be millions of objects.
        columns = args.json and msg.message is not None and msg.message.compressed_data
        try:
            written = not columns and (_dump_json if args.json else _dump_text)(msg, out)
        except ValueError as exc:
            failures.report(f"message {msg.index} at offset {msg.offset}: {exc}", args.file)
            written = True
        if written:
            pass
        elif msg.error is None:
            try:
                if columns:
                    cli_table.dump_json_columns(msg, out, {
                        "header": {name: getattr(msg.message, name) for name in HEADER_FIELDS},
                        "tables_version": msg.tables_version})
                else:  # the values decode, yet not into a dump
                    failures.report(f"message {msg.index} at offset {msg.offset}: cannot decode data", args.file)
            except ValueError as exc:  # e.g. subsets that cannot be told apart
                failures.report(f"message {msg.index} at offset {msg.offset}: {exc}", args.file)
        else:
            report_message(msg, args.file, failures)
            if args.json:
                out.write(json.dumps({"index": msg.index, "offset": msg.offset, "edition": msg.edition,
                                      "error": msg.error.reason}) + "\n")
        if args.message is not None:
            return
    if args.message is not None and count:
        failures.report(f"{shown(args.file)} has {count} messages; there is no message {args.message}")


def add_dump(sub: Any, common: argparse.ArgumentParser) -> None:
    dump = sub.add_parser("dump", parents=[common], help="decoded values with names, units and meanings")
    dump.add_argument("file", metavar="FILE", help="a BUFR file; - reads standard input")
    dump.add_argument("--json", action="store_true", help="one JSON object per message and line")
    dump.add_argument("-m", "--message", type=in_range(0, None), metavar="N", help="only message N (from 0)")
    dump.set_defaults(run=cmd_dump)


# --------------------------------------------------------------------------
# expand

_DESCRIPTOR = re.compile(r"^(\d)[-. ]?(\d\d)[-. ]?(\d\d\d)$")


def parse_descriptor(text: str) -> int:
    """A descriptor written FXXYYY, F-XX-YYY or F XX YYY as its integer code."""
    match = _DESCRIPTOR.match(text.strip())
    if match is None:
        raise ValueError(f"not a descriptor: {text!r} (write it as FXXYYY, e.g. 307080)")
    f, x, y = (int(g) for g in match.groups())
    if f > 3 or x > 63 or y > 255:
        raise ValueError(f"not a descriptor: {text!r} (F is 0..3, X 0..63, Y 0..255)")
    return f * 100000 + x * 1000 + y


def cmd_expand(args: argparse.Namespace, out: Output, failures: Failures) -> None:
    try:
        codes = [parse_descriptor(d) for d in args.descriptors]
    except ValueError as exc:
        failures.report(str(exc))
        return
    tables = load_tables(args.tables, failures)
    if tables is None:
        return
    version = args.master_version
    if version is None:
        present = tables.master_versions()
        version = present[-1] if present else 0
    try:
        table_set = tables.for_version(version, local_version=args.local_version, centre=args.centre,
                                       subcentre=args.subcentre)
    except (OSError, ValueError) as exc:
        failures.report(f"cannot load tables of master version {version}: {exc}")
        return
    try:
        expanded = table_set.expand(codes)
    except ValueError as exc:
        failures.report(f"cannot expand {' '.join(args.descriptors)}: {exc}")
        return
    for code in expanded:
        element = table_set.get_element(code) if code // 100000 == 0 else None
        if element is not None:
            out.write(f"{code:06d}  {element.name:<56} {element.unit}\n")
        elif code == 999999:
            out.write(f"{code:06d}  associated field\n")
        else:
            out.write(f"{code:06d}\n")


def add_expand(sub: Any, common: argparse.ArgumentParser) -> None:
    expand = sub.add_parser("expand", parents=[common], help="expand descriptors through Table D")
    expand.add_argument("descriptors", nargs="+", metavar="DESCRIPTOR", help="e.g. 307080 or 3-07-080")
    expand.add_argument("-V", "--master-version", type=in_range(0, 255),
                        help="master tables version (default: newest)")
    expand.add_argument("--local-version", type=in_range(0, 255), default=0)
    expand.add_argument("--centre", type=in_range(0, 65535), default=0)
    expand.add_argument("--subcentre", type=in_range(0, 65535), default=0)
    expand.set_defaults(run=cmd_expand)


# --------------------------------------------------------------------------


def in_range(low: int, high: int | None) -> Callable[[str], int]:
    """An argparse type: an integer in low..high (no upper bound for None)."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(
                f"{value} is out of range ({low}..{high})" if high is not None else f"{value} is below {low}")
        return value
    return parse


# Each adds one subcommand; a command kept in a module of its own is added here.
COMMANDS: list[Callable[[Any, argparse.ArgumentParser], None]] = [add_ls, add_dump, add_expand]


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--tables", metavar="PATH",
                        help="definitions root, table directory or WMO CSV tables (default: bundled)")
    parser = argparse.ArgumentParser(prog="morvane", description="Read BUFR edition 2, 3 and 4 messages.")
    sub = parser.add_subparsers(dest="command", required=True)
    for add in COMMANDS:
        add(sub, common)
    cli_table.register(sub, common)
    return parser


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so that the flush at exit does
    not fail again on what is still buffered."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        failures = Failures()
        stream = out or sys.stdout
        if out is None and hasattr(stream, "reconfigure"):
            # Decoded text may hold characters the terminal's encoding lacks.
            stream.reconfigure(errors="backslashreplace")
        output = Output(stream)
        try:
            args.run(args, output, failures)
            output.flush()
        except OutputClosed:  # e.g. piped into head: what was shown is all that was wanted
            if out is None:
                _silence_stdout()
        except OutputFailed as exc:
            failures.report(f"cannot write output: {exc}")
            if out is None:
                _silence_stdout()
        except (OSError, ValueError) as exc:  # a command lets these through only when nothing names them better
            failures.report(str(exc) if not isinstance(exc, OSError) else
                            f"{shown(str(exc.filename)) + ': ' if exc.filename else ''}{exc.strerror or exc}")
        return 1 if failures.count else 0
    except KeyboardInterrupt:
        return INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
