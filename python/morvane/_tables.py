"""Table sets chosen per message, loaded once and kept."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Union

import _morvane

BUNDLED_ROOT = Path(__file__).resolve().parent / "tables"

StrPath = Union[str, "os.PathLike[str]"]


def _header_message(master_table: int, master_version: int, local_version: int,
                    centre: int, subcentre: int) -> _morvane.BufrMessage:
    """A `BufrMessage` carrying only the identification fields that choose
    tables, made by parsing the smallest message that holds them."""
    section1 = (b"\x00\x00\x16" + bytes([master_table]) + centre.to_bytes(2, "big")
                + subcentre.to_bytes(2, "big") + bytes([0, 0, 0, 255, 0, master_version, local_version])
                + b"\x07\xd0\x01\x01\x00\x00\x00")
    body = section1 + b"\x00\x00\x07\x00\x00\x00\x80" + b"\x00\x00\x04\x00" + b"7777"
    return _morvane.parse_bytes(b"BUFR" + (8 + len(body)).to_bytes(3, "big") + b"\x04" + body)


def _resolve_alias(path: Path) -> Path | None:
    """The directory an ecCodes alias chain ends in, or None."""
    for _ in range(32):
        if path.is_dir():
            return path
        if not path.is_file():
            return None
        try:
            name = path.read_text(encoding="utf-8").strip()
        except (OSError, UnicodeDecodeError):
            return None
        if not name or "/" in name or "\\" in name:
            return None
        path = path.parent / name
    return None


def _kind_of(path: Path) -> str:
    if (path / "element.table").exists():
        return "directory"
    if (path / "bufr" / "tables").is_dir():
        return "definitions"
    if any(path.glob("BUFRCREX_TableB_en_*.csv")):
        return "csv"
    raise ValueError(
        f"{path} holds no BUFR tables: expected element.table (a table directory), "
        "bufr/tables (a definitions root) or BUFRCREX_TableB_en_*.csv (the WMO CSV tables)")


class Tables:
    """BUFR tables for decoding many messages, each set loaded once.

    ``source`` is one of

    * None: the tables bundled with morvane (a definitions root);
    * a definitions root in the ecCodes layout (``bufr/tables/...``): the
      master and local tables are chosen per message by its master table
      number, table versions, centre and sub-centre;
    * a single table directory (``element.table``, ``sequence.def``,
      ``codetables/``): used for every message;
    * a directory of the WMO BUFR4 CSV tables: used for every message;
    * a loaded ``_morvane.TableSet``: used for every message.

    With a definitions root, a message whose master tables version is not in
    the tree is decoded with the nearest newer version present (master
    tables only ever add entries in principle), or the newest one if there is
    no newer; ``nearest_version=False`` makes such a message fail instead.
    """

    def __init__(self, source: StrPath | _morvane.TableSet | None = None, *,
                 nearest_version: bool = True) -> None:
        self._fixed: _morvane.TableSet | None = None
        self._root: Path | None = None
        self._nearest = nearest_version
        self._cache: dict[tuple[object, ...], _morvane.TableSet] = {}
        self._by_fields: dict[tuple[int, ...], _morvane.TableSet] = {}
        self._versions: dict[int, list[int]] = {}
        if isinstance(source, _morvane.TableSet):
            self._fixed = source
            self.kind = "table set"
            self.path: Path | None = None
            return
        path = BUNDLED_ROOT if source is None else Path(source)
        if not path.is_dir():
            raise ValueError(f"BUFR table path does not exist or is not a directory: {path}")
        self.path = path
        self.kind = "bundled" if source is None else _kind_of(path)
        if self.kind == "directory":
            self._fixed = _morvane.TableSet.from_eccodes(str(path))
        elif self.kind == "csv":
            self._fixed = _morvane.TableSet.from_bufr4_45(str(path))
        else:
            self._root = path

    def __repr__(self) -> str:
        where = "" if self.path is None else f" {str(self.path)!r}"
        return f"Tables({self.kind}{where}, loaded={len(self._cache) + (self._fixed is not None)})"

    # ------------------------------------------------------------------

    def master_versions(self, master_table: int = 0) -> list[int]:
        """The master tables versions present in a definitions root, in
        ascending order (alias files included); empty for a fixed set."""
        if self._root is None:
            return []
        if master_table not in self._versions:
            wmo = self._root / "bufr" / "tables" / str(master_table) / "wmo"
            found = []
            if wmo.is_dir():
                for entry in wmo.iterdir():
                    if entry.name.isdigit() and _resolve_alias(entry) is not None:
                        found.append(int(entry.name))
            self._versions[master_table] = sorted(found)
        return self._versions[master_table]

    def version_used(self, message: _morvane.BufrMessage) -> int | None:
        """The master tables version whose tables decode ``message``: its
        own, or the nearest one present; None for a fixed table set."""
        if self._root is None:
            return None
        wanted = message.master_tables_version_number
        present = self.master_versions(message.master_table_number)
        if wanted in present or not self._nearest or not present:
            return wanted
        newer = [v for v in present if v > wanted]
        return newer[0] if newer else present[-1]

    def for_message(self, message: _morvane.BufrMessage) -> _morvane.TableSet:
        """The table set that decodes ``message``, loaded on first use."""
        if self._fixed is not None:
            return self._fixed
        fields = (message.master_table_number, message.master_tables_version_number,
                  message.local_tables_version_number, message.originating_centre,
                  message.originating_subcentre)
        known = self._by_fields.get(fields)
        if known is not None:
            return known
        assert self._root is not None
        version = self.version_used(message)
        assert version is not None
        m = message.master_table_number
        local = message.local_tables_version_number
        centre, subcentre = message.originating_centre, message.originating_subcentre
        # Messages that lead to the same directories share one table set,
        # so aliased versions are loaded once.
        wmo = self._root / "bufr" / "tables" / str(m) / "wmo" / str(version)
        key: tuple[object, ...] = (_resolve_alias(wmo) or wmo,)
        if local:
            level = f"{version}-{local}" if version == 19 else str(local)
            local_dir = self._root / "bufr" / "tables" / str(m) / "local" / level / str(centre) / str(subcentre)
            if local_dir.exists():
                key += (local_dir,)
        tables = self._cache.get(key)
        if tables is None:
            if version != message.master_tables_version_number:
                message = _header_message(m, version, local, centre, subcentre)
            tables = _morvane.TableSet.from_definitions(str(self._root), message)
            self._cache[key] = tables
        self._by_fields[fields] = tables
        return tables

    def for_version(self, master_version: int, *, master_table: int = 0, local_version: int = 0,
                    centre: int = 0, subcentre: int = 0) -> _morvane.TableSet:
        """The table set of the given master tables version (and local
        tables, when ``local_version`` is not 0), as a message with these
        identification fields would be decoded."""
        return self.for_message(_header_message(master_table, master_version, local_version,
                                                centre, subcentre))


_bundled: Tables | None = None


def bundled_tables() -> Tables:
    """The bundled tables, shared by every call that uses them."""
    global _bundled
    if _bundled is None:
        _bundled = Tables()
    return _bundled


def as_tables(tables: "Tables | _morvane.TableSet | StrPath | None") -> Tables:
    if tables is None:
        return bundled_tables()
    if isinstance(tables, Tables):
        return tables
    return Tables(tables)
