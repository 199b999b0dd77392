"""The ``table`` and ``copy`` commands, ``ls -p`` and the column-wise JSON
dump of compressed messages.

    morvane table FILE... --columns k1,k2 [--where 'key=value' ...] [--format csv|parquet|json]
    morvane copy --where 'typicalHour=12' IN... OUT
    morvane ls -p dataCategory,typicalDate FILE...

`register` adds ``table`` and ``copy`` to the command's sub-parsers;
`add_ls_options` and `cmd_ls_keys` give ``ls -p``; `dump_json_columns`
writes one compressed message with one array per element.

A ``--where`` condition is ``key=value``, ``key=v1,v2`` (any of them) or
``key=lo:hi`` (inclusive, either end may be left out); values that read as
numbers are numbers. Run functions take (args, out, failures) where
``failures.report(text)`` records a one-line error.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator, Sequence
from typing import Any, Protocol

from ._reader import Message, read
from ._tables import Tables

FORMATS = ("csv", "json", "parquet")
NOT_FOUND = "not_found"

# Header keys ecCodes knows besides those it lists; `centre` is shown as its number.
HEADER_ALIASES = {"centre": "bufrHeaderCentre", "subCentre": "bufrHeaderSubCentre"}


class Failures(Protocol):
    def report(self, text: str) -> None: ...


class Output(Protocol):
    def write(self, text: str, /) -> int: ...


# --------------------------------------------------------------------------
# conditions


def _scalar(text: str) -> Any:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def parse_condition(text: str) -> tuple[str, Any]:
    """'key=value', 'key=v1,v2' or 'key=lo:hi' as (key, filter)."""
    key, sep, value = text.partition("=")
    key = key.strip()
    if not sep or not key or not value.strip():
        raise argparse.ArgumentTypeError(f"not a condition: {text!r} (write key=value, key=v1,v2 or key=lo:hi)")
    value = value.strip()
    if ":" in value and "," not in value:
        low, _, high = value.partition(":")
        return key, slice(_scalar(low) if low else None, _scalar(high) if high else None)
    if "," in value:
        return key, [_scalar(v.strip()) for v in value.split(",") if v.strip()]
    return key, _scalar(value)


def _conditions(items: Sequence[tuple[str, Any]]) -> dict[str, Any]:
    return dict(items)


def _key_list(text: str) -> list[str]:
    keys = [k.strip() for k in text.split(",") if k.strip()]
    if not keys:
        raise argparse.ArgumentTypeError("give at least one key, e.g. --columns latitude,longitude")
    return keys


def _tables(path: str | None) -> Tables:
    return Tables(path) if path else Tables()


# --------------------------------------------------------------------------
# table


def cmd_table(args: argparse.Namespace, out: Output, failures: Failures) -> None:
    try:
        import pandas as pd
    except ImportError:
        failures.report("the table command needs pandas: pip install 'morvane[pandas]'")
        return
    if args.format == "parquet" and not args.output:
        failures.report("--format parquet writes a file: give --output FILE")
        return
    tables = _tables(args.tables)
    filters = _conditions(args.where)
    columns = list(dict.fromkeys(args.columns))
    frames = _frames(args, columns, filters, tables, failures)
    if args.format == "parquet":
        # One schema for the file: the frames are joined first.
        joined = [f.reindex(columns=columns) for f in frames]
        frame = pd.concat(joined, ignore_index=True) if joined else pd.DataFrame(columns=columns)
        _write_parquet(frame, args, failures)
        return
    try:
        target: Any = open(args.output, "w", encoding="utf-8", newline="") if args.output else out
    except OSError as exc:
        failures.report(f"cannot write {args.output}: {exc.strerror or exc}")
        return
    try:
        # Frame by frame, so memory follows a frame, not the whole input; in
        # the order asked for, which the order read_bufr finds the columns in
        # may not keep from one frame to the next.
        first = True
        for frame in frames:
            if list(frame.columns) != columns:
                frame = frame.reindex(columns=columns)
            if args.format == "csv":
                frame.to_csv(target, index=False, header=first, date_format="%Y-%m-%dT%H:%M:%S")
            else:
                text = frame.to_json(orient="records", lines=True, date_format="iso", date_unit="s")
                target.write(text if text.endswith("\n") or not text else text + "\n")
            first = False
        if first and args.format == "csv":
            pd.DataFrame(columns=columns).to_csv(target, index=False)
    finally:
        if target is not out:
            target.close()


def _frames(args: argparse.Namespace, columns: list[str], filters: dict[str, Any], tables: Tables,
            failures: Failures) -> Iterator[Any]:
    from ._observations import read_bufr_frames

    for path in args.files:
        def report(error: Exception, path: str = path) -> None:
            failures.report(f"{path}: {error}")
        try:
            yield from read_bufr_frames(path, columns, filters, required_columns=not args.all_rows,
                                        tables=tables, errors="skip", on_error=report)
        except OSError as exc:
            failures.report(f"cannot read {path}: {exc.strerror or exc}")


def _write_parquet(frame: Any, args: argparse.Namespace, failures: Failures) -> None:
    try:
        frame.to_parquet(args.output, index=False)
    except ImportError:
        failures.report("--format parquet needs pyarrow: pip install pyarrow")
    except OSError as exc:
        failures.report(f"cannot write {args.output}: {exc.strerror or exc}")


# --------------------------------------------------------------------------
# copy


def _header_value(msg: Message, key: str) -> Any:
    # _query is imported where used: it needs numpy, which the other commands do not.
    from ._query import HEADER_KEYS

    key = HEADER_ALIASES.get(key, key)
    getter = HEADER_KEYS.get(key)
    if getter is None or msg.message is None:
        return None
    return getter(msg.message, msg.edition or 4)


def _is_header_key(key: str) -> bool:
    from ._query import HEADER_KEYS

    return key in HEADER_KEYS or key in HEADER_ALIASES


def cmd_copy(args: argparse.Namespace, out: Output, failures: Failures) -> None:
    from ._query import FilterError, make_filter

    if len(args.paths) < 2:
        failures.report("copy needs at least one input file and an output file")
        return
    *inputs, output = args.paths
    if output in inputs:
        failures.report(f"{output} is also an input; give another output file")
        return
    conditions = _conditions(args.where)
    header = {k: make_filter(v, k) for k, v in conditions.items() if _is_header_key(k)}
    data = {HEADER_ALIASES.get(k, k): v for k, v in conditions.items() if not _is_header_key(k)}
    tables = _tables(args.tables)
    selector = _DataSelector(data) if data else None
    written = total = 0
    try:
        sink = open(output, "wb")
    except OSError as exc:
        failures.report(f"cannot write {output}: {exc.strerror or exc}")
        return
    with sink:
        for path in inputs:
            try:
                messages = read(path, tables)
                for msg in messages:
                    total += 1
                    if msg.message is None:
                        failures.report(f"{path}: {msg.error}")
                        continue
                    if not all(f.match_one(_header_value(msg, k)) for k, f in header.items()):
                        continue
                    if selector is not None:
                        try:
                            if not selector.matches(msg):
                                continue
                        except FilterError as exc:  # the same for every message: said once
                            failures.report(str(exc))
                            return
                        except ValueError as exc:
                            failures.report(f"{path}: message {msg.index} at offset {msg.offset}: {exc}")
                            continue
                    sink.write(msg.original)
                    written += 1
            except OSError as exc:
                failures.report(f"cannot read {path}: {exc.strerror or exc}")
    if not args.quiet:
        print(f"{written} of {total} messages copied to {output}", file=sys.stderr)


class _DataSelector:
    """Whether a message has at least one observation passing data filters;
    the structure of each template is worked out once for all messages."""

    def __init__(self, filters: dict[str, Any]) -> None:
        from ._observations import _Collector
        from ._query import Query

        self.query = Query(tuple(filters), filters, True)
        self._make = _Collector

    def matches(self, msg: Message) -> bool:
        collector = self._make(self.query)
        if msg.error is not None:
            raise msg.error
        collector.add(1, 1, msg)
        return collector.rows > 0 and len(collector.frame()) > 0


# --------------------------------------------------------------------------
# ls -p


def add_ls_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-p", "--print-keys", type=_key_list, metavar="KEY,...",
                        help="one column per header key, as bufr_ls -p")


def cmd_ls_keys(args: argparse.Namespace, out: Output, failures: Failures) -> None:
    """bufr_ls -p: per file its name, then one line per message with each
    key's value (not_found when the message has no such key), then a count;
    the key line is written once, before the first file."""
    keys: list[str] = args.print_keys
    # bufr_ls's layout: columns two wider than the longest key, and never so
    # narrow that "not_found" touches the next value.
    width = max(max(len(k) for k in keys) + 2, len(NOT_FOUND) + 3)
    tables = _tables(args.tables)
    shown = total = files = 0
    for k, path in enumerate(args.files):
        try:
            messages = list(read(path, tables))
        except OSError as exc:
            failures.report(f"cannot read {path}: {exc.strerror or exc}")
            continue
        files += 1
        print(path, file=out)
        if k == 0:
            print("".join(key.ljust(width) for key in keys), file=out)
        count = 0
        for msg in messages:
            if msg.message is None:
                failures.report(f"{path}: {msg.error}")
                continue
            count += 1
            values = [_header_value(msg, key) for key in keys]
            print(" ".join((NOT_FOUND if v is None else str(v)).ljust(width - 1) for v in values), file=out)
        print(f"{count} of {len(messages)} messages in {path}\n", file=out)
        shown += count
        total += len(messages)
    print(f"{shown} of {total} total messages in {files} files", file=out)


# --------------------------------------------------------------------------
# dump --json of a compressed message


def _json_number(value: float | None) -> str:
    if value is None:
        return "null"
    return str(int(value)) if value.is_integer() and abs(value) < 1e15 else repr(value)


def dump_json_columns(msg: Message, out: Output, header: dict[str, Any] | None = None) -> None:
    """A compressed message as one JSON object: the ``header`` given, then
    "elements", one entry per element of the template with its descriptor,
    name, unit and "values", one per subset (null when missing)."""
    m = msg.message
    assert m is not None
    subsets = msg.subsets()
    head = {"index": msg.index, "offset": msg.offset, "edition": msg.edition}
    if header:
        head.update(header)
    tables = msg.tables
    out.write(json.dumps(head, ensure_ascii=False)[:-1] + ', "elements": [')
    first = subsets[0] if subsets else []
    for position, value in enumerate(first):
        code = value.descriptor
        element = tables.get_element(code) if code < 100000 else None
        unit = element.unit if element is not None else ""
        if value.raw is None and value.raw_text is not None or (element is not None
                                                                and element.element_type == "string"):
            items = ", ".join("null" if s[position].raw_text is None
                              else json.dumps(s[position].raw_text, ensure_ascii=False) for s in subsets)
        else:
            items = ", ".join(_json_number(s[position].raw_value) for s in subsets)
        out.write(("" if position == 0 else ", ")
                  + f'{{"descriptor": {code}, "name": {json.dumps(value.name, ensure_ascii=False)}, '
                    f'"unit": {json.dumps(unit, ensure_ascii=False)}, "values": [{items}]}}')
    out.write("]}\n")


# --------------------------------------------------------------------------


def register(subparsers: Any, common: argparse.ArgumentParser | None = None) -> None:
    """Add ``table`` and ``copy`` to the command's sub-parsers; ``common``
    is the parent parser holding ``--tables``."""
    parents = [common] if common is not None else []
    table = subparsers.add_parser("table", parents=parents,
                                  help="chosen keys as a table, one row per observation (needs pandas)")
    table.add_argument("files", nargs="+", metavar="FILE")
    table.add_argument("-c", "--columns", type=_key_list, required=True, metavar="KEY,...",
                       help="ecCodes keys, e.g. stationNumber,data_datetime,airTemperature")
    table.add_argument("-w", "--where", type=parse_condition, action="append", default=[],
                       metavar="KEY=VALUE", help="key=value, key=v1,v2 or key=lo:hi; may be repeated")
    table.add_argument("-f", "--format", choices=FORMATS, default="csv")
    table.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    table.add_argument("--all-rows", action="store_true",
                       help="keep rows that lack some columns (empty cells)")
    if common is None:
        table.add_argument("--tables", metavar="PATH")
    table.set_defaults(run=cmd_table)

    copy = subparsers.add_parser("copy", parents=parents,
                                 help="copy the messages that match, unchanged, into one file")
    copy.add_argument("paths", nargs="+", metavar="PATH", help="input files, then the output file")
    copy.add_argument("-w", "--where", type=parse_condition, action="append", default=[],
                      metavar="KEY=VALUE", help="header or data condition; may be repeated")
    copy.add_argument("-q", "--quiet", action="store_true", help="no count on stderr")
    if common is None:
        copy.add_argument("--tables", metavar="PATH")
    copy.set_defaults(run=cmd_copy)
