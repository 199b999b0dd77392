"""The table and copy commands, ls -p and the column-wise JSON dump.

Expected values come from elsewhere than the code under test: tables from
morvane.read_bufr (itself checked against pdbufr), copied messages from the
decoded values, header columns and compressed arrays from ecCodes.
"""

from __future__ import annotations

import io
import json

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("_morvane")
import morvane  # noqa: E402
from morvane import cli  # noqa: E402

from conftest import BUFR_DIR, require_shared  # noqa: E402

pytestmark = require_shared

TEMP = BUFR_DIR / "temp.e4.bufr"
SYNOP = BUFR_DIR / "syno_3.e4.bufr"
AIRCRAFT = BUFR_DIR / "aircraft_mrar_compressed.bufr"
# Its header gives the year of the century (15) where the year belongs.
CYCLONE = BUFR_DIR / "tropical_cyclone.bufr"
SYNOP_GER = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"
COLUMNS = ["stationNumber", "data_datetime", "pressure", "airTemperature"]


def run(*argv: str) -> tuple[int, str]:
    out = io.StringIO()
    status = cli.main([str(a) for a in argv], out)
    return status, out.getvalue()


def expected_table():
    # in the order asked for
    return morvane.read_bufr(str(TEMP), COLUMNS, {"pressure": slice(50000, 85000)})[COLUMNS]


def test_table_as_csv_and_json(monkeypatch):
    expected = expected_table()
    status, text = run("table", TEMP, "--columns", ",".join(COLUMNS), "--where", "pressure=50000:85000")
    assert status == 0
    got = pd.read_csv(io.StringIO(text), parse_dates=["data_datetime"])
    assert list(got.columns) == COLUMNS and len(got) == len(expected)
    pd.testing.assert_frame_equal(got, expected, check_dtype=False)
    # Written frame by frame: the same table, one header, every column each time.
    from morvane import _observations

    sparse = ["stationNumber", "cloudType", "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform", "pressure"]
    whole = run("table", BUFR_DIR / SYNOP_GER, TEMP, "-c", ",".join(sparse), "--all-rows")
    monkeypatch.setattr(_observations, "FRAME_ROWS", 1)
    assert run("table", BUFR_DIR / SYNOP_GER, TEMP, "-c", ",".join(sparse), "--all-rows") == whole
    assert whole[1].splitlines()[0] == ",".join(sparse) and whole[1].count("\n") > 1000

    status, text = run("table", TEMP, "-c", ",".join(COLUMNS), "-w", "pressure=50000:85000", "-f", "json")
    records = [json.loads(line) for line in text.splitlines()]
    assert status == 0 and len(records) == len(expected)
    assert [r["pressure"] for r in records] == expected["pressure"].tolist()
    assert records[0]["data_datetime"] == expected["data_datetime"][0].isoformat()


def test_table_as_parquet(tmp_path):
    pytest.importorskip("pyarrow")
    out = tmp_path / "t.parquet"
    status, _ = run("table", TEMP, "-c", ",".join(COLUMNS), "-w", "pressure=50000:85000",
                    "-f", "parquet", "-o", out)
    assert status == 0
    pd.testing.assert_frame_equal(pd.read_parquet(out), expected_table(), check_dtype=False)


def test_table_errors(tmp_path, capsys):
    status, _ = run("table", tmp_path / "absent.bufr", "-c", "pressure")
    assert status == 1 and "absent.bufr" in capsys.readouterr().err
    with pytest.raises(SystemExit) as stop:
        run("table", TEMP, "-c", "pressure", "-w", "pressure")
    assert stop.value.code == 2
    status, _ = run("table", TEMP, "-c", "pressure", "-f", "parquet")
    assert status == 1 and "--output" in capsys.readouterr().err


def _messages_with(path, predicate):
    return [m for m in morvane.read(str(path)) if predicate(m)]


def test_copy_by_header_and_by_data_writes_exactly_the_chosen_messages(tmp_path):
    out = tmp_path / "noon.bufr"
    status, _ = run("copy", "-q", "--where", "typicalHour=12", TEMP, SYNOP, out)
    wanted = _messages_with(TEMP, lambda m: m.message.typical_hour == 12) + \
        _messages_with(SYNOP, lambda m: m.message.typical_hour == 12)
    assert status == 0 and 0 < len(wanted)
    assert out.read_bytes() == b"".join(m.original for m in wanted)

    def station_in(m, numbers):
        return any(v.descriptor == 1002 and v.raw_value in numbers for v in m.values)

    out = tmp_path / "stations.bufr"
    status, _ = run("copy", "-q", "-w", "stationNumber=907,908", "-w", "typicalHour=12", TEMP, out)
    wanted = _messages_with(TEMP, lambda m: m.message.typical_hour == 12 and station_in(m, (907, 908)))
    assert status == 0 and 0 < len(wanted) < 420
    assert out.read_bytes() == b"".join(m.original for m in wanted)


def test_copy_refuses_to_overwrite_an_input(capsys):
    status, _ = run("copy", "-w", "typicalHour=12", TEMP, TEMP)
    assert status == 1 and "also an input" in capsys.readouterr().err


def test_a_range_its_key_cannot_be_compared_with_is_one_error_line(tmp_path, capsys):
    out = tmp_path / "out.bufr"
    for argv, shown in (
        (("table", TEMP, "-c", "pressure", "-w", "pressure=a:b"), "pressure=a:b: its bounds cannot be compared with numbers"),
        (("table", TEMP, "-c", "pressure", "-w", "data_datetime=2020:2021"), "with times"),
        (("copy", "-q", "-w", "data_datetime=2020:"), "data_datetime=2020:: its bounds"),  # data key
        (("copy", "-q", "-w", "typicalDate=1:b"), "with text"),  # header key
    ):
        if argv[0] == "copy":
            argv = (*argv, TEMP, out)
        status, _ = run(*argv)
        err = capsys.readouterr().err.splitlines()
        assert status == 1 and len(err) == 1 and shown in err[0], (argv, err)
    with pytest.raises(ValueError, match="stationNumber=:x: its bounds cannot be compared with numbers"):
        morvane.read_bufr(str(TEMP), ["pressure"], {"stationNumber": slice(None, "x")})


def test_ls_print_keys_as_eccodes_reads_them():
    eccodes = pytest.importorskip("eccodes")
    keys = ["dataCategory", "typicalYear", "typicalDate", "bufrHeaderCentre", "numberOfSubsets", "noSuchKey"]
    files = (SYNOP, TEMP, CYCLONE)
    status, text = run("ls", "-p", ",".join(keys), *files)
    lines = text.splitlines()
    assert status == 0 and lines[0] == str(SYNOP) and lines[1].split() == keys
    expected_rows = []
    for path in files:
        with open(path, "rb") as fh:
            while (h := eccodes.codes_bufr_new_from_file(fh)) is not None:
                row = [str(eccodes.codes_get(h, k)) for k in keys[:-1]] + ["not_found"]
                expected_rows.append(row)
                eccodes.codes_release(h)
    rows = [line.split() for line in lines[2:] if line and not line.startswith(tuple(map(str, files)))
            and " of " not in line]
    assert rows == expected_rows
    assert lines[-1] == f"{len(expected_rows)} of {len(expected_rows)} total messages in 3 files"
    # Short keys: columns as wide as bufr_ls makes them, values kept apart.
    status, text = run("ls", "-p", "foo,centre", TEMP)
    assert text.splitlines()[1:3] == ["foo         centre      ", "not_found   98         "]


def test_dump_json_of_a_compressed_message_has_one_array_per_element():
    eccodes = pytest.importorskip("eccodes")
    np = pytest.importorskip("numpy")
    status, text = run("dump", "--json", "-m", "0", AIRCRAFT)
    document = json.loads(text)
    assert status == 0 and document["header"]["compressed_data"]
    by_code = {}
    for item in document["elements"]:
        by_code.setdefault(item["descriptor"], item)
    with open(AIRCRAFT, "rb") as fh:
        h = eccodes.codes_bufr_new_from_file(fh)
    eccodes.codes_set(h, "unpack", 1)
    subsets = eccodes.codes_get(h, "numberOfSubsets")
    for code, key in ((12101, "#1#airTemperature"), (7010, "#1#flightLevel"), (5001, "#1#latitude")):
        want = np.resize(eccodes.codes_get_array(h, key), subsets).astype(float)
        want[want == eccodes.CODES_MISSING_DOUBLE] = np.nan
        got = np.array([np.nan if v is None else v for v in by_code[code]["values"]], dtype=float)
        np.testing.assert_allclose(got, want, equal_nan=True)
    eccodes.codes_release(h)


def test_ls_needs_no_numpy():
    import subprocess
    import sys

    # numpy is an extra: the plain listing must run without it.
    code = ("import sys; sys.modules['numpy'] = None\n"
            "from morvane import cli; sys.exit(cli.main(['ls', sys.argv[1]]))")
    done = subprocess.run([sys.executable, "-c", code, str(CYCLONE)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "2015-11-18" in done.stdout
