"""The morvane command: output of ls, dump and expand, and exit statuses."""

from __future__ import annotations

import io
import json
import os
import signal
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
    (["expand", "--tables", "ROOT", "-V", "999", "301001"], 2),
    (["expand", "--tables", "ROOT", "--centre", "70000", "301001"], 2),
    (["dump", "-m", "-1", "x.bufr"], 2),
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


# --------------------------------------------------------------------------
# Problems a user can cause: one line each, never a traceback


def console(*argv: str, **kw) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "morvane", *argv], capture_output=True, **kw)


def test_files_without_messages_are_reported(tmp_path, capsys):
    empty, text = tmp_path / "empty.bufr", tmp_path / "notes.txt"
    empty.write_bytes(b"")
    text.write_bytes(b"no messages here\n")
    status, out = run("ls", str(empty), str(text))
    err = capsys.readouterr().err.splitlines()
    assert status == 1 and out == ""
    assert err == [f"morvane: no BUFR messages found in {empty}", f"morvane: no BUFR messages found in {text}"]
    assert run("dump", str(empty))[0] == 1


def test_standard_input_and_odd_file_names(tmp_path):
    good = station(1) + station(2)
    done = console("ls", "-", input=good)
    assert done.returncode == 0 and len(done.stdout.splitlines()) == 3
    odd = os.path.join(os.fsencode(tmp_path), b"caf\xe9.bufr")  # Latin-1, not valid UTF-8
    with open(odd, "wb") as fh:
        fh.write(good)
    plain = tmp_path / "plain.bufr"
    plain.write_bytes(good)
    done = console("ls", os.fsdecode(odd), str(plain), env={**os.environ, "PYTHONIOENCODING": "utf-8:strict"})
    assert done.returncode == 0 and done.stderr == b""
    assert b"caf\\xe9.bufr:" in done.stdout and done.stdout.count(b"2024-05-06") == 4


def test_section_4_failures_are_told_as_data_problems(tmp_path, root, capsys):
    path = tmp_path / "short.bufr"
    path.write_bytes(message([12101, 12101], BitWriter().u(5, 16), master_version=39))
    status, _ = run("dump", "--tables", root, str(path))
    (line,) = capsys.readouterr().err.splitlines()
    assert status == 1 and line.startswith(f"morvane: {path}: message 0 at offset 0: cannot decode data: ")
    assert "csv/table" not in line


def test_unwritable_output_and_bad_tables_fail_with_one_line(tmp_path):
    path = tmp_path / "a.bufr"
    path.write_bytes(station(1) * 200)
    if os.path.exists("/dev/full"):
        with open("/dev/full", "w") as full:
            done = subprocess.run([sys.executable, "-m", "morvane", "dump", str(path)], stdout=full,
                                  stderr=subprocess.PIPE, text=True)
        assert done.returncode == 1 and done.stderr == "morvane: cannot write output: No space left on device\n"
    missing = console("ls", "--tables", str(tmp_path / "nowhere"), str(path), text=True)
    assert missing.returncode == 1 and missing.stderr.startswith("morvane: cannot load tables: ")
    assert missing.stderr.count("\n") == 1
    if os.geteuid() != 0:  # root reads any directory
        locked = tmp_path / "locked"
        locked.mkdir(mode=0)
        done = console("ls", "--tables", str(locked), str(path), text=True)
        assert done.returncode == 1 and "Traceback" not in done.stderr and "locked" in done.stderr


class ClosingPipe(io.StringIO):
    """An output whose reader goes away after ``lines`` writes."""

    def __init__(self, lines: int) -> None:
        super().__init__()
        self.left = lines

    def write(self, text: str) -> int:
        self.left -= 1
        if self.left < 0:
            raise BrokenPipeError(32, "Broken pipe")
        return super().write(text)


def test_a_closed_pipe_keeps_earlier_failures(tmp_path, capsys):
    path = tmp_path / "a.bufr"
    path.write_bytes(station(1)[:-1] + station(2) * 50)
    assert cli.main(["ls", str(path)], ClosingPipe(3)) == 1  # the bad message was shown and reported
    clean = tmp_path / "b.bufr"
    clean.write_bytes(station(2) * 50)
    assert cli.main(["ls", str(clean)], ClosingPipe(3)) == 0
    assert "Traceback" not in capsys.readouterr().err


def test_interrupt_exits_130_without_a_traceback(tmp_path):
    child = subprocess.Popen([sys.executable, "-m", "morvane", "ls", "-"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env={**os.environ, "PYTHONUNBUFFERED": "1"})
    child.stdin.write(station(1))
    child.stdin.flush()
    child.stdout.readline()  # the header: the command is reading and waits for more input
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 130 and b"Traceback" not in err
