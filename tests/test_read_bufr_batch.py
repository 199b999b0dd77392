"""read_bufr's frame made straight from one batch: taken for a read of
compressed messages with one template, no filters and a row per subset,
and not otherwise; either way the frame is the general way's."""

from __future__ import annotations

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("morvane._columnar")
import morvane  # noqa: E402
from morvane import _batch_frame, _observations  # noqa: E402

import _morvane  # noqa: E402
from bufr_builder import BitWriter, element, encode_value, message, write_table_dir  # noqa: E402
from conftest import BUFR_DIR, require_shared  # noqa: E402
from test_read_bufr_runs import ELEMENTS, _profile_messages  # noqa: E402

DATED = [1001, 1002, 1015, 4001, 4002, 4003, 4004, 12101]
DATED_ELEMENTS = {
    **ELEMENTS,
    1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7, abbreviation="blockNumber"),
    4001: element("YEAR", "a", 0, 0, 12, abbreviation="year"),
    4002: element("MONTH", "mon", 0, 0, 4, abbreviation="month"),
    4003: element("DAY", "d", 0, 0, 6, abbreviation="day"),
    4004: element("HOUR", "h", 0, 0, 5, abbreviation="hour"),
}
# block, station, name, year, month, day, hour, temperature: the second has
# no block (no station id), no name and no temperature, the third no month
# (no date)
STATIONS = [(10, 17, "AB", 2024, 1, 2, 6, 280.5),
            (None, 18, None, 2024, 1, 2, 7, None),
            (11, 19, "C", 2024, None, 2, 8, 270.0)]
WIDTHS = [7, 10, 32, 12, 4, 6, 5, 12]


def _dated(stations=STATIONS):
    w = BitWriter()
    for k, width in enumerate(WIDTHS):
        column = [s[k] for s in stations]
        if k == 2:
            w.compressed_text(column, width)
        elif k == 7:
            w.compressed([None if v is None else encode_value(v, width, 1) for v in column], width)
        else:
            w.compressed(column, width)
    return message(DATED, w, subsets=len(stations), compressed=True)


def _tables(tmp_path):
    return _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path / "dated", DATED_ELEMENTS)))


def _read_both(monkeypatch, data, **query):
    """The frame as read, whether it came straight from the batch, and the
    frame of the general way."""
    made = []
    batch_frame = _batch_frame.batch_frame

    def spy(*args):
        made.append(batch_frame(*args))
        return made[-1]
    with monkeypatch.context() as patched:
        patched.setattr(_batch_frame, "batch_frame", spy)
        got = morvane.read_bufr(data, **query)
    with monkeypatch.context() as patched:
        patched.setattr(_observations, "may_take", lambda q: False)
        general = morvane.read_bufr(data, **query)
    pd.testing.assert_frame_equal(got, general, check_exact=True)
    assert [b.mgr_locs.as_array.tolist() for b in got._mgr.blocks] == \
        [b.mgr_locs.as_array.tolist() for b in general._mgr.blocks]
    return got, any(frame is not None for frame in made)


DATED_COLUMNS = ["WMO_station_id", "stationOrSiteName", "stationNumber", "data_datetime", "airTemperature"]


def test_a_batch_with_a_row_per_subset_is_framed_straight(tmp_path, monkeypatch):
    """Missing values as the general way writes them (<NA>, None, NaT, NaN),
    every row kept or the rows lacking a computed key left out, and a key
    the template lacks left out or leaving no row."""
    tables = _tables(tmp_path)
    data = _dated()
    got, straight = _read_both(monkeypatch, data + data, columns=DATED_COLUMNS, tables=tables,
                               required_columns=False)
    assert straight and len(got) == 6
    # the row's keys in its order, then the computed ones
    assert list(got.columns) == ["stationNumber", "stationOrSiteName", "airTemperature", "data_datetime",
                                 "WMO_station_id"]
    # (text as this pandas makes it of strings)
    assert [str(t) for t in got.dtypes.drop("stationOrSiteName")] == ["Int64", "float64", "datetime64[us]",
                                                                      "Int64"]
    first = got.iloc[:3]
    assert first["WMO_station_id"].tolist() == [10017, pd.NA, 11019]
    assert first["stationOrSiteName"].isna().tolist() == [False, True, False]
    assert first["stationOrSiteName"].tolist()[::2] == ["AB", "C"]
    assert first["data_datetime"].tolist() == [pd.Timestamp("2024-01-02 06:00"), pd.Timestamp("2024-01-02 07:00"),
                                               pd.NaT]
    assert first["airTemperature"].tolist()[::2] == pytest.approx([280.5, 270.0])
    assert np.isnan(first["airTemperature"].iloc[1])

    got, straight = _read_both(monkeypatch, data, columns=DATED_COLUMNS, tables=tables)
    assert straight and got["stationNumber"].tolist() == [17]

    got, straight = _read_both(monkeypatch, data, columns=["stationNumber", "pressure"], tables=tables,
                               required_columns=False)
    assert straight and list(got.columns) == ["stationNumber"] and len(got) == 3
    # no block anywhere: no station id, and no column of it
    got, straight = _read_both(monkeypatch, _dated([(None,) + s[1:] for s in STATIONS]), tables=tables,
                               columns=["stationNumber", "WMO_station_id"], required_columns=False)
    assert straight and list(got.columns) == ["stationNumber"] and len(got) == 3
    got, straight = _read_both(monkeypatch, data, columns=["stationNumber", "pressure"], tables=tables)
    assert straight and list(got.columns) == ["stationNumber", "pressure"] and len(got) == 0


def test_equal_queries_share_a_plan_and_plans_stay_bounded(tmp_path, monkeypatch):
    """A plan is found by what the query asks, not by the query object: a
    read whose required columns come as a list each time makes a new one."""
    tables = _tables(tmp_path)
    data = _dated()
    monkeypatch.setattr(_batch_frame, "_PLANS", {})
    asked = dict(columns=DATED_COLUMNS, tables=tables, required_columns=["stationNumber"])
    first, straight = _read_both(monkeypatch, data, **asked)
    assert straight and first["stationNumber"].tolist() == [17, 18, 19]
    plans = list(_batch_frame._PLANS.values())
    assert len(plans) == 1 and plans[0][1] is not None
    again, _ = _read_both(monkeypatch, data, **{**asked, "required_columns": ["stationNumber"]})
    pd.testing.assert_frame_equal(again, first)
    assert list(_batch_frame._PLANS.values()) == plans
    # other columns, another plan; no more than are kept
    monkeypatch.setattr(_batch_frame, "_PLANS_KEPT", 2)
    for columns in (["stationNumber"], ["airTemperature", "stationNumber"], ["stationOrSiteName"]):
        got, straight = _read_both(monkeypatch, data, columns=columns, tables=tables, required_columns=False)
        assert straight and sorted(got.columns) == sorted(columns)
        assert len(_batch_frame._PLANS) <= 2
    assert plans[0] not in _batch_frame._PLANS.values()


def test_a_text_no_subset_holds_is_none_and_the_next_batch_keeps_its_text(tmp_path, monkeypatch):
    """A text column of no values is taken as made, None throughout, every
    row kept or some left out; a later batch of the same template, its text
    held, still reads its text (the plan is not changed by a read)."""
    tables = _tables(tmp_path)
    nameless = _dated([s[:2] + (None,) + s[3:] for s in STATIONS])
    for required in (False, ["data_datetime"]):
        got, straight = _read_both(monkeypatch, nameless, columns=DATED_COLUMNS, tables=tables,
                                   required_columns=required)
        assert straight and len(got) == (3 if required is False else 2)
        assert got["stationOrSiteName"].tolist() == [None] * len(got)
        # the frame's own: changing it changes no other read's
        got.loc[0, "stationOrSiteName"] = "X"
        again, _ = _read_both(monkeypatch, nameless, columns=DATED_COLUMNS, tables=tables,
                              required_columns=required)
        assert again["stationOrSiteName"].isna().all()
    got, straight = _read_both(monkeypatch, _dated(), columns=DATED_COLUMNS, tables=tables, required_columns=False)
    assert straight and got["stationOrSiteName"].tolist()[::2] == ["AB", "C"]


@pytest.mark.parametrize("query", [
    dict(columns=["stationNumber", "airTemperature"], filters={"stationNumber": [17, 19]}),
    dict(columns=["WMO_station_id", "data_datetime"], filters={"data_datetime": slice(None, None)}),
    dict(columns=["typicalHour", "stationNumber"]),
    dict(columns=["count", "stationNumber"]),
])
def test_filters_header_keys_and_count_go_the_general_way(tmp_path, monkeypatch, query):
    got, straight = _read_both(monkeypatch, _dated() * 2, tables=_tables(tmp_path), **query)
    assert not straight and len(got) > 0


def test_repeated_keys_differing_counts_and_templates_go_the_general_way(tmp_path, monkeypatch):
    profile_tables, two_levels, others, three_levels, broken = _profile_messages(tmp_path)
    station = dict(columns=["stationNumber", "stationOrSiteName"], tables=profile_tables,
                   required_columns=False)
    got, straight = _read_both(monkeypatch, two_levels + others, **station)
    assert straight and len(got) == 5
    # a height and temperature twice in each subset: two rows of it
    got, straight = _read_both(monkeypatch, two_levels + others, columns=["stationNumber", "airTemperature"],
                               tables=profile_tables)
    assert not straight and len(got) == 10
    # three levels against two: the batch's columns do not line up
    got, straight = _read_both(monkeypatch, two_levels + three_levels, **station)
    assert not straight and got["stationNumber"].tolist() == [17, 18, 19, 23]
    # another template after the first
    tables = _tables(tmp_path)
    got, straight = _read_both(monkeypatch, _dated() + _dated(STATIONS[:1]) + message([1002], BitWriter().value(
        5, width=10)), columns=["stationNumber"], tables=tables)
    assert not straight and got["stationNumber"].tolist() == [17, 18, 19, 17, 5]
    # a message that does not decode: reported by the general way
    seen = []
    got, straight = _read_both(monkeypatch, two_levels + broken, errors="skip", on_error=seen.append, **station)
    assert not straight and len(got) == 3 and [e.index for e in seen] == [1, 1]


@require_shared
@pytest.mark.parametrize("name, columns", [
    ("aircraft_mrar_compressed.bufr", ["aircraftFlightNumber", "latitude", "longitude", "data_datetime",
                                       "flightLevel", "airTemperature"]),
    ("aircraft_mrar_compressed.bufr", ["latitude", "data_datetime", "second", "windSpeed", "relativeHumidity",
                                       "aircraftTailNumber"]),
])
def test_corpus_batches_framed_straight(name, columns, monkeypatch):
    data = (BUFR_DIR / name).read_bytes()
    for required in (True, False):
        got, straight = _read_both(monkeypatch, data, columns=columns, required_columns=required)
        assert straight and len(got) > 0


def test_batch_template_tells_batches_apart_by_their_columns(tmp_path):
    """The same for batches of the same elements, whatever their values or
    keys asked for; another for other replication counts or descriptors."""
    from morvane import _columnar, _groups

    tables, two_levels, others, three_levels, _ = _profile_messages(tmp_path)

    def template(*messages, keys=("stationNumber",)):
        return _columnar.batch_template(_columnar.decode_keys([(m, tables) for m in messages], keys))

    first = template(two_levels)
    assert len(first) == 9 * 7  # station, name, count and (height, temperature) twice
    assert template(others, two_levels, keys=("airTemperature",)) == first
    assert template(three_levels) != first
    assert template(message([1002], BitWriter().value(5, width=10))) != first
    with pytest.raises(TypeError, match="batch_template.*Batch"):
        _columnar.batch_template(two_levels)
    # elements are looked up by it, one Elements per template and tables
    batch = _columnar.decode_keys([(two_levels, tables)], ["height"])
    elements = _groups.elements_of(batch, tables)
    assert _groups.elements_of(_columnar.decode_keys([(others, tables)], ["height"]), tables) is elements
    assert elements.names == batch.elements[1]
    assert _groups.elements_of(_columnar.decode_keys([(three_levels, tables)], ["height"]), tables) is not elements


def test_blocks_pandas_would_convert_are_still_converted():
    # Blocks are made past pandas' own steps only for values those steps
    # leave as they are, as learned from the first block of each type: a
    # datetime64 array pandas wraps must be wrapped the second time too.
    from morvane._dataframe import _block_maker

    make = _block_maker()
    if make is None:
        pytest.skip("this pandas has no maker of frames from blocks")
    times = np.array([0, 1, 2], dtype="datetime64[us]")
    expected = pd.DataFrame({"t": times, "x": [1.5, np.nan, 3.0], "n": pd.array([1, None, 3], dtype="Int64"),
                             "s": pd.Series(["a", None, "c"], dtype=object)})
    for _ in range(2):
        # (a float block first: a datetime64 one looks alike but for its dtype)
        blocks = [(np.array([[1.5, np.nan, 3.0]]), slice(1, 2)), (times.reshape(1, 3).copy(), slice(0, 1)),
                  (pd.array([1, None, 3], dtype="Int64"), slice(2, 3)),
                  (np.array([["a", None, "c"]], dtype=object), np.array([3], dtype=np.intp))]
        frame = make(blocks, pd.RangeIndex(3), pd.Index(["t", "x", "n", "s"]))
        pd.testing.assert_frame_equal(frame, expected)
        assert (sorted((b.mgr_locs.as_array[0], type(b).__name__, type(b.values).__name__) for b in frame._mgr.blocks)
                == sorted((b.mgr_locs.as_array[0], type(b).__name__, type(b.values).__name__)
                          for b in expected._mgr.blocks))
