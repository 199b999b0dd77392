"""The bundled table tree and the script that builds it."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import pytest

from bufr_builder import element, write_definitions_root
from conftest import ECCODES_ROOT, have_shared

ROOT = Path(__file__).resolve().parent.parent
BUNDLED = ROOT / "python" / "morvane" / "tables"


def _load_builder():
    spec = importlib.util.spec_from_file_location("build_tables", ROOT / "tools" / "build_tables.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


build_tables = _load_builder()

OLD = {"elements": {1001: element("BLOCK", "Numeric", 0, 0, 7)}, "sequences": {301001: [1001]},
       "codetables": {1003: {1: "REGION I"}}}
NEW = {"elements": {1001: element("BLOCK", "Numeric", 0, 0, 7), 1002: element("STATION", "Numeric", 0, 0, 10)},
       "sequences": {301001: [1001], 301002: [1001, 1002]}, "codetables": {1003: {1: "REGION I", 2: "REGION II"}}}


def changed(**what):
    return {**NEW, **what}


@pytest.mark.parametrize("newest, aliased", [
    (NEW, True),                                                        # only additions
    (changed(elements={1001: element("BLOCK", "Numeric", 0, 0, 8)}), False),   # width
    (changed(elements={1001: element("BLOCK NUMBER", "Numeric", 0, 0, 7)}), False),  # name
    (changed(sequences={301001: [1001, 1002]}), False),
    (changed(codetables={1003: {1: "REGION 1"}}), False),               # a meaning reworded
    (changed(codetables={}), False),                                    # meanings lost
], ids=["additions", "width", "name", "sequence", "meaning", "no-code-table"])
def test_an_older_version_becomes_an_alias_only_when_compatible(tmp_path, newest, aliased):
    source = write_definitions_root(tmp_path / "src", masters={10: OLD, 11: newest, 9: "10"})
    (source / "COPYRIGHT").write_text("notice\n")
    plan = build_tables.build(source, tmp_path / "out")
    wmo = tmp_path / "out" / "bufr" / "tables" / "0" / "wmo"
    assert (tmp_path / "out" / "COPYRIGHT").read_text() == "notice\n"
    assert (wmo / "10").is_file() is aliased and (wmo / "11").is_dir()
    assert (wmo / "9").read_text().strip() == ("11" if aliased else "10")  # straight to a directory
    assert plan.real == (["11"] if aliased else ["10", "11"])


def test_a_source_without_its_notice_is_refused(tmp_path):
    source = write_definitions_root(tmp_path / "src", masters={10: OLD})
    with pytest.raises(SystemExit, match="COPYRIGHT"):
        build_tables.build(source, tmp_path / "out")


def test_bundled_tree_keeps_the_notice_and_every_alias_leads_to_tables():
    assert "Apache" in (BUNDLED / "COPYRIGHT").read_text()
    wmo = BUNDLED / "bufr" / "tables" / "0" / "wmo"
    aliases = [p for p in wmo.iterdir() if p.is_file()]
    assert aliases, "the source's own aliases are kept"
    for alias in aliases:
        target = wmo / alias.read_text().strip()
        assert (target / "element.table").is_file() and (target / "sequence.def").is_file(), alias.name


@pytest.mark.skipif(not have_shared(), reason="../shared/data is absent")
def test_bundled_tree_is_what_the_script_makes_of_the_shared_tables():
    assert build_tables.main(["--source", str(ECCODES_ROOT), "--dest", str(BUNDLED), "--check"]) == 0
