#!/usr/bin/env python3
"""Build the table tree that the morvane wheel ships.

Reads a BUFR table tree in the ecCodes definitions layout (by default the one
from Debian's libeccodes-data package) and writes a copy that keeps the wheel
small: a WMO master version whose tables are compatible with a newer version's
becomes an alias file naming that version instead of a full directory.

A version V is compatible with a newer version W when decoding a message of
version V with W's tables gives exactly what V's own tables give:

* every element V defines is in W with the same element.table record
  (abbreviation, type, name, unit, scale, reference value and width);
* every sequence V defines is in W with the same members, in order;
* every code or flag table entry V defines has the same meaning in W.

W may define more (new elements, sequences and code-table entries): those
are codes a version V message cannot use with a meaning. Versions that are
already alias files in the source stay aliases, pointed straight at the real
directory they resolve to. Local tables are copied unchanged, and so is the
source's COPYRIGHT notice.

Usage: tools/build_tables.py [--source DIR] [--dest DIR] [--check]
"""

from __future__ import annotations

import argparse
import filecmp
import shutil
import sys
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_SOURCE = Path("/work/shared/data/tables/eccodes")
DEFAULT_DEST = ROOT / "python" / "morvane" / "tables"
NOTICE = "COPYRIGHT"


# --------------------------------------------------------------------------
# Reading one table directory, as the decoder's loader reads it


@dataclass
class TableVersion:
    elements: dict[int, tuple[str, ...]] = field(default_factory=dict)
    sequences: dict[int, tuple[int, ...]] = field(default_factory=dict)
    code_tables: dict[int, dict[int, str]] = field(default_factory=dict)


def _code(text: str) -> int:
    return int(text.strip().strip('"'))


def read_elements(path: Path) -> dict[int, tuple[str, ...]]:
    out: dict[int, tuple[str, ...]] = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("#"):
            continue
        fields = line.split("|")
        if len(fields) >= 8:
            out[_code(fields[0])] = tuple(fields[1:8])
    return out


def read_sequences(path: Path) -> dict[int, tuple[int, ...]]:
    out: dict[int, tuple[int, ...]] = {}
    pending = ""
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        pending = f"{pending} {line}" if pending else line
        if "]" not in pending:
            continue
        statement, pending = pending, ""
        key, sep, rest = statement.partition("=")
        if not sep:
            continue
        members = rest[rest.index("[") + 1:rest.index("]")]
        out[_code(key)] = tuple(_code(m) for m in members.split(",") if m.strip())
    return out


def read_code_table(path: Path) -> dict[int, str]:
    out: dict[int, str] = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        tokens = line.split()
        if len(tokens) >= 3 and not tokens[0].startswith("#"):
            out[int(tokens[0])] = " ".join(tokens[2:])
    return out


def read_version(directory: Path) -> TableVersion:
    tables = TableVersion(read_elements(directory / "element.table"),
                          read_sequences(directory / "sequence.def"))
    code_dir = directory / "codetables"
    if code_dir.is_dir():
        for path in sorted(code_dir.glob("*.table")):
            tables.code_tables[_code(path.stem)] = read_code_table(path)
    return tables


def incompatibilities(older: TableVersion, newer: TableVersion) -> list[str]:
    """Why decoding with ``newer`` would differ from ``older``; empty when it
    would not."""
    why = [f"element {code:06d}" for code, entry in older.elements.items()
           if newer.elements.get(code) != entry]
    why += [f"sequence {code:06d}" for code, members in older.sequences.items()
            if newer.sequences.get(code) != members]
    for code, table in older.code_tables.items():
        theirs = newer.code_tables.get(code, {})
        why += [f"code table {code:06d} entry {raw}" for raw, meaning in table.items()
                if theirs.get(raw) != meaning]
    return why


# --------------------------------------------------------------------------
# The tree


def resolve_alias(path: Path) -> Path:
    """The real directory an ecCodes alias file leads to (chains followed)."""
    seen = set()
    while path.is_file():
        if path in seen:
            raise ValueError(f"alias loop at {path}")
        seen.add(path)
        path = path.parent / path.read_text(encoding="utf-8").strip()
    if not path.is_dir():
        raise ValueError(f"alias leads nowhere: {path}")
    return path


def version_key(name: str) -> tuple[int, str]:
    return (int(name), name) if name.isdigit() else (1 << 30, name)


@dataclass
class Plan:
    real: list[str]
    aliases: dict[str, str]  # version -> real version it names
    reasons: dict[str, str]  # real version -> why it could not be an alias


def plan_master_tables(wmo: Path) -> Plan:
    names = sorted((p.name for p in wmo.iterdir()), key=version_key)
    source_real = [n for n in names if (wmo / n).is_dir()]
    aliases = {n: resolve_alias(wmo / n).name for n in names if (wmo / n).is_file()}
    loaded = {n: read_version(wmo / n) for n in source_real}
    real: list[str] = []
    reasons: dict[str, str] = {}
    # Newest first: a version can only be an alias of one kept as a directory,
    # and the newest compatible one is preferred.
    for name in reversed(source_real):
        why_not = "newest version"
        for candidate in real:
            why = incompatibilities(loaded[name], loaded[candidate])
            if not why:
                aliases[name] = candidate
                break
            why_not = f"differs from {candidate} in {len(why)} entries, e.g. {why[0]}"
        else:
            real.append(name)
            reasons[name] = why_not
    # An alias of an alias in the source now names the real directory.
    for name, target in aliases.items():
        while target in aliases:
            target = aliases[target]
        aliases[name] = target
    return Plan(sorted(real, key=version_key), aliases, reasons)


def build(source: Path, dest: Path) -> Plan:
    if not (source / NOTICE).is_file():
        raise SystemExit(f"{source} has no {NOTICE} notice; its tables cannot be redistributed")
    staging = dest.with_name(dest.name + ".new")
    shutil.rmtree(staging, ignore_errors=True)
    staging.mkdir(parents=True)
    shutil.copy2(source / NOTICE, staging / NOTICE)
    plans = {}
    for master in sorted((source / "bufr" / "tables").iterdir()):
        out = staging / "bufr" / "tables" / master.name
        if (master / "local").is_dir():
            shutil.copytree(master / "local", out / "local")
        wmo = master / "wmo"
        if not wmo.is_dir():
            continue
        plan = plans[master.name] = plan_master_tables(wmo)
        for name in plan.real:
            shutil.copytree(wmo / name, out / "wmo" / name)
        for name, target in plan.aliases.items():
            (out / "wmo" / name).write_text(target + "\n", encoding="utf-8")
    shutil.rmtree(dest, ignore_errors=True)
    staging.rename(dest)
    return plans.get("0") or next(iter(plans.values()))


def same_tree(a: Path, b: Path) -> bool:
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only or cmp.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    return not mismatch and not errors and all(same_tree(a / d, b / d) for d in cmp.common_dirs)


def tree_size(path: Path) -> int:
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def describe(plan: Plan) -> str:
    lines = ["| master version | in the wheel |", "|---|---|"]
    for name in sorted(plan.real + list(plan.aliases), key=version_key):
        what = f"alias of {plan.aliases[name]}" if name in plan.aliases else "tables"
        lines.append(f"| {name} | {what} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", type=Path, default=DEFAULT_SOURCE)
    parser.add_argument("--dest", type=Path, default=DEFAULT_DEST)
    parser.add_argument("--check", action="store_true",
                        help="build into a scratch directory and fail if DEST differs")
    args = parser.parse_args(argv)
    if args.check:
        scratch = args.dest.with_name(args.dest.name + ".check")
        plan = build(args.source, scratch)
        ok = same_tree(scratch, args.dest)
        shutil.rmtree(scratch)
        print("bundled tables are up to date" if ok else f"{args.dest} is stale: rerun tools/build_tables.py")
        return 0 if ok else 1
    plan = build(args.source, args.dest)
    print(describe(plan))
    for name, why in plan.reasons.items():
        print(f"  {name}: {why}", file=sys.stderr)
    print(f"{tree_size(args.dest) / 1e6:.1f} MB in {args.dest}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
