"""The morvane command: output of ls, dump and expand, and exit statuses."""

from __future__ import annotations

import io
import json
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("_morvane")
cli = pytest.importorskip("morvane.cli")

from bufr_builder import BitWriter, element, message, older_edition, write_definitions_root  # noqa: E402

ELEMENTS = {
    1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
    1015: element("STATION OR SITE NAME", "CCITT IA5", 0, 0, 32),
    8002: element("VERTICAL SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
    12101: element("TEMPERATURE", "K", 2, 0, 16),
}


@pytest.fixture
def root(tmp_path):
    return str(write_definitions_root(tmp_path / "defs", masters={39: {
        "elements": ELEMENTS, "sequences": {301001: [1001, 1015]}, "codetables": {8002: {1: "Surface"}}}}))


def station(block: int, **kw) -> bytes:
    w = BitWriter().value(block, width=7).text("ABC", 32).value(1, width=6).value(273.15, width=16, scale=2)
    return message([301001, 8002, 12101], w, centre=98, category=2, master_version=39,
                   when=(2024, 5, 6, 12, 30, 0), **kw)


def run(*argv: str) -> tuple[int, str]:
    out = io.StringIO()
    status = cli.main(list(argv), out)
    return status, out.getvalue()


def test_ls_lists_each_message(tmp_path, root):
    path = tmp_path / "a.bufr"
    path.write_bytes(station(1) + b"junk" + older_edition(station(2), 3) + station(3, subsets=2, compressed=True))
    status, out = run("ls", "--tables", root, str(path))
    header, *lines = out.splitlines()
    assert status == 0 and header.split() == ["offset", "ed", "centre", "cat", "ver", "date", "subsets", "compressed"]
    assert [line.split() for line in lines] == [
        ["0", "4", "98", "2", "39", "2024-05-06", "12:30:00", "1", "no"],
        [str(len(station(1)) + 4), "3", "98", "2", "39", "2024-05-06", "12:30:00", "1", "no"],
        [str(len(station(1)) + 4 + len(older_edition(station(2)))), "4", "98", "2", "39",
         "2024-05-06", "12:30:00", "2", "yes"],
    ]


def test_bad_messages_and_unreadable_files_give_status_1_but_the_rest_is_listed(tmp_path, root, capsys):
    path = tmp_path / "cut.bufr"
    path.write_bytes(station(1) + station(2)[:-5])
    status, out = run("ls", str(path), str(tmp_path / "missing.bufr"))
    err = capsys.readouterr().err
    assert status == 1
    assert "error: message 1 at offset" in out and out.count("\n") == 4  # name, header, good, bad
    assert "runs past the end" in err and "cannot read" in err and "missing.bufr" in err


def test_progress_goes_to_stderr_for_many_files(tmp_path, capsys):
    paths = []
    for n in range(cli.PROGRESS_FROM):
        paths.append(tmp_path / f"{n}.bufr")
        paths[-1].write_bytes(station(n))
    assert run("ls", *map(str, paths))[0] == 0
    assert f"[{cli.PROGRESS_FROM}/{cli.PROGRESS_FROM}]" in capsys.readouterr().err
    run("ls", "-q", *map(str, paths))
    assert capsys.readouterr().err == ""


def test_dump_shows_names_units_and_meanings(tmp_path, root):
    path = tmp_path / "a.bufr"
    path.write_bytes(station(7))
    status, out = run("dump", "--tables", root, str(path))
    head, subset, *lines = out.splitlines()
    assert status == 0 and "master tables 39" in head and subset.strip() == "subset 1"
    assert [" ".join(line.split()) for line in lines] == [
        "001001 WMO BLOCK NUMBER 7", '001015 STATION OR SITE NAME "ABC"',
        "008002 VERTICAL SIGNIFICANCE 1 [Surface]", "012101 TEMPERATURE 273.15 K"]


def test_dump_json_has_one_record_per_message_and_reports_failures(tmp_path, root):
    path = tmp_path / "a.bufr"
    path.write_bytes(station(7) + message([12102], BitWriter().u(0, 16)))
    status, out = run("dump", "--json", "--tables", root, str(path))
    good, bad = (json.loads(line) for line in out.splitlines())
    assert status == 1
    assert good["header"]["originating_centre"] == 98 and good["tables_version"] == 39
    assert [(v["descriptor"], v["value"], v["unit"], v["meaning"]) for v in good["subsets"][0]] == [
        (1001, 7.0, "Numeric", None), (1015, "ABC", "CCITT IA5", None),
        (8002, 1.0, "CODE TABLE", "Surface"), (12101, 273.15, "K", None)]
    assert bad["index"] == 1 and "012102 was not found in Table B" in bad["error"]
    assert run("dump", "--tables", root, "-m", "5", str(path))[0] == 1


@pytest.mark.parametrize("written", ["301001", "3-01-001", "3 01 001"])
def test_expand_prints_the_expanded_elements(root, written):
    status, out = run("expand", "--tables", root, written, "012101")
    assert status == 0
    assert [line.split()[0] for line in out.splitlines()] == ["001001", "001015", "012101"]
    assert out.splitlines()[2].split()[-1] == "K"


@pytest.mark.parametrize("argv, status", [
    (["expand", "--tables", "ROOT", "399999"], 1),      # Y above 255
    (["expand", "--tables", "ROOT", "303999x"], 1),
    (["expand", "--tables", "ROOT", "302001"], 1),      # not in Table D
    (["expand", "--tables", "ROOT", "-V", "12", "301001"], 0),  # the nearest version stands in
    (["frobnicate"], 2),
    ([], 2),
])
def test_exit_statuses(root, argv, status):
    argv = [root if a == "ROOT" else a for a in argv]
    try:
        assert run(*argv)[0] == status
    except SystemExit as exc:  # argparse's usage errors
        assert exc.code == status


def test_console_script_is_installed(tmp_path):
    script = shutil.which("morvane") or str(__import__("pathlib").Path(sys.executable).parent / "morvane")
    path = tmp_path / "a.bufr"
    path.write_bytes(station(1)[:-3])
    done = subprocess.run([script, "ls", str(path)], capture_output=True, text=True)
    assert done.returncode == 1 and "runs past the end" in done.stderr
