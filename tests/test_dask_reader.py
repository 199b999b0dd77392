"""morvane.dask against morvane.read_bufr: same rows on a real cluster of
worker processes, message ranges that add up to whole files, errors that
reach the client with their place in the file."""

from __future__ import annotations

import pickle

import pytest

pytest.importorskip("dask.dataframe")
pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")

import pandas as pd  # noqa: E402

import morvane  # noqa: E402
import morvane.dask as mdask  # noqa: E402

from conftest import shared_data  # noqa: E402,F401

SYNOP = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"
SYNOP_COLUMNS = ["WMO_station_id", "latitude", "longitude", "data_datetime", "airTemperature"]
SYNOP_FILTERS = {"heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform": 2}
TEMP_COLUMNS = ["stationNumber", "data_datetime", "pressure", "airTemperature", "windSpeed"]


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def _same(left: pd.DataFrame, right: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(left.reset_index(drop=True), right.reset_index(drop=True))


def test_cluster_matches_read_bufr(client, shared_data):
    synop = [str(shared_data / "bufr" / SYNOP),
             str(shared_data / "bufr" / "synop_multi_subset_uncompressed.bufr")]
    temp = [str(shared_data / "bufr" / "temp.e4.bufr"), str(shared_data / "bufr" / "temp_101.e4.bufr")]
    for paths, columns, filters in ((synop, SYNOP_COLUMNS, SYNOP_FILTERS), (temp, TEMP_COLUMNS, None)):
        expected = morvane.read_bufr(paths, columns, filters=filters)[columns]
        frame = mdask.read_bufr(paths, columns, filters=filters, messages_per_partition=7)
        assert frame.npartitions > len(paths)
        assert list(frame.dtypes) == list(expected.dtypes)
        _same(frame.compute(), expected)
        _same(frame.compute(scheduler="threads"), expected)
        assert len(expected) > 50


def test_message_ranges_cover_the_file(shared_data):
    path = str(shared_data / "bufr" / "temp.e4.bufr")
    ranges = mdask.message_ranges(path, 37)
    whole = [(m.offset, m.index) for m in morvane.read(path)]
    assert sum(r.count for r in ranges) == len(whole)
    assert ranges[0].start == 0 and ranges[-1].stop == len(open(path, "rb").read())
    assert all(a.stop == b.start for a, b in zip(ranges, ranges[1:]))
    assert [(r.start, r.first_index) for r in ranges[1:]] == whole[37::37]
    split = mdask.read_bufr(path, TEMP_COLUMNS, messages_per_partition=37)
    one = mdask.read_bufr(path, TEMP_COLUMNS, messages_per_partition=10**6)
    assert split.npartitions == len(ranges) and one.npartitions == 1
    _same(split.compute(scheduler="sync"), one.compute(scheduler="sync"))
    assert pickle.loads(pickle.dumps(ranges[1])) == ranges[1]
    pyarrow = pytest.importorskip("pyarrow")
    import dask

    pieces = dask.compute(*mdask.read_arrow(path, TEMP_COLUMNS, messages_per_partition=37),
                          scheduler="sync")
    assert len(pieces) == len(ranges)
    _same(pyarrow.concat_tables(pieces).to_pandas(), one.compute(scheduler="sync"))


def test_worker_error_reaches_client(client, shared_data, tmp_path):
    good = (shared_data / "bufr" / "temp.e4.bufr").read_bytes()
    messages = list(morvane.read(good))
    victim = 5
    at, m = messages[victim].offset, messages[victim].message
    # The first descriptor of section 3 becomes a sequence no table defines.
    first = at + 8 + m.section1_length + m.section2_length + 7
    damaged = bytearray(good)
    damaged[first:first + 2] = bytes([0xFF, 0xFF])
    path = tmp_path / "damaged.bufr"
    path.write_bytes(bytes(damaged))
    frame = mdask.read_bufr(str(path), TEMP_COLUMNS, messages_per_partition=3)
    with pytest.raises(morvane.MessageError) as caught:
        frame.compute()
    error = caught.value
    assert (error.index, error.offset) == (victim, at)
    assert str(path) in str(error)
    skipped = mdask.read_bufr(str(path), TEMP_COLUMNS, errors="skip", messages_per_partition=3)
    assert len(skipped.compute()) < len(morvane.read_bufr(good, TEMP_COLUMNS))


def test_paths_and_globs(shared_data, tmp_path):
    assert mdask.expand_paths(str(shared_data / "bufr" / "temp_1*.e4.bufr")) == sorted(
        str(p) for p in (shared_data / "bufr").glob("temp_1*.e4.bufr"))
    with pytest.raises(FileNotFoundError):
        mdask.expand_paths(str(tmp_path / "none*.bufr"))
    with pytest.raises(ValueError):
        mdask.read_bufr(str(shared_data / "bufr" / "temp.e4.bufr"), ["pressure"], messages_per_partition=0)


def test_a_partition_whose_integer_column_holds_fractions_keeps_them(tmp_path):
    # 2-02-129 gives the integer element a scale in the second file only: its
    # partition cannot take the Int64 schema the first one gave.
    from bufr_builder import BitWriter, element, message, write_table_dir

    tables = str(write_table_dir(tmp_path / "t", {7030: element("HEIGHT", "m", 0, 0, 16, abbreviation="height")}))
    (tmp_path / "a.bufr").write_bytes(message([7030], BitWriter().u(1234, 16)))
    (tmp_path / "b.bufr").write_bytes(message([202129, 7030], BitWriter().u(1234, 16)))
    paths = [str(tmp_path / "a.bufr"), str(tmp_path / "b.bufr")]
    frame = mdask.read_bufr(paths, ["height"], tables=tables).compute(scheduler="sync")
    assert frame["height"].tolist() == pytest.approx([1234.0, 123.4])
