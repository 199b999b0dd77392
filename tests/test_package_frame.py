"""morvane.to_dataframe, Message.arrays and read_arrow on synthetic messages."""

from __future__ import annotations

import io
import math

import pytest

pd = pytest.importorskip("pandas")
np = pytest.importorskip("numpy")
morvane = pytest.importorskip("morvane")
pytest.importorskip("morvane._columnar")

from bufr_builder import BitWriter, element, message, write_definitions_root  # noqa: E402


@pytest.fixture
def root(tmp_path):
    return str(write_definitions_root(tmp_path / "defs", masters={39: {
        "elements": {
            1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7, "blockNumber"),
            1015: element("STATION OR SITE NAME", "CCITT IA5", 0, 0, 24, "stationOrSiteName"),
            4001: element("YEAR", "a", 0, 0, 12, "year"),
            4002: element("MONTH", "mon", 0, 0, 4, "month"),
            4003: element("DAY", "d", 0, 0, 6, "day"),
            4004: element("HOUR", "h", 0, 0, 5, "hour"),
            4005: element("MINUTE", "min", 0, 0, 6, "minute"),
            4006: element("SECOND", "s", 3, 0, 16, "second"),
            8002: element("VERTICAL SIGNIFICANCE", "CODE TABLE", 0, 0, 6, "verticalSignificance"),
            12101: element("TEMPERATURE", "K", 2, 0, 16, "airTemperature"),
            31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8,
                           "delayedDescriptorReplicationFactor"),
        },
        "codetables": {8002: {1: "Surface"}},
    }}))


def soundings(stations: list[tuple[int | None, str | None, list[float | None]]]) -> bytes:
    """Block, name, code 1 and a replicated temperature per subset."""
    w = BitWriter()
    for block, name, temperatures in stations:
        w.value(block, width=7).text(name, 24).value(1, width=6).value(len(temperatures), width=8)
        for t in temperatures:
            w.value(t, width=16, scale=2)
    return message([1001, 1015, 8002, 101000, 31001, 12101], w, subsets=len(stations))


def dated(year: int, month: int, day: int | None) -> bytes:
    return message([4001, 4002, 4003], BitWriter().value(year, width=12).value(month, width=4)
                   .value(day, width=6))


TWO = [(1, "AB", [270.0, 260.5]), (None, None, [None])]


def test_columns_are_eccodes_keys_with_occurrence_and_nullable_types(root):
    data = soundings(TWO) + soundings([(3, "EF", [])])
    frame = morvane.to_dataframe(data, root)
    assert list(frame.index) == [(0, 0), (0, 1), (1, 0)]
    assert list(frame.columns) == ["#1#blockNumber", "#1#stationOrSiteName", "#1#verticalSignificance",
                                   "#1#delayedDescriptorReplicationFactor", "#1#airTemperature",
                                   "#2#airTemperature"]
    assert frame["#1#blockNumber"].dtype == "Int64"
    assert frame["#1#blockNumber"].tolist() == [1, pd.NA, 3]
    assert frame["#1#stationOrSiteName"].tolist() == ["AB", None, "EF"]
    assert frame["#1#airTemperature"].dtype == np.float64
    assert frame["#1#airTemperature"].iloc[0] == 270.0 and frame["#2#airTemperature"].iloc[0] == 260.5
    assert math.isnan(frame["#1#airTemperature"].iloc[1]) and math.isnan(frame["#2#airTemperature"].iloc[1])
    assert math.isnan(frame["#1#airTemperature"].iloc[2])  # the third station has no level at all
    assert frame.attrs["keys"]["#2#airTemperature"] == "airTemperature"
    assert frame.attrs["names"]["#2#airTemperature"] == "TEMPERATURE"
    assert frame.attrs["units"]["#2#airTemperature"] == "K"
    assert frame.attrs["descriptors"]["#2#airTemperature"] == 12101
    assert "datetime" not in frame
    frame.loc[(0, 1), ["#1#blockNumber", "#1#airTemperature"]] = [5, 1.5]  # a frame of our own to change
    assert frame.loc[(0, 1), "#1#blockNumber"] == 5 and frame.loc[(0, 1), "#1#airTemperature"] == 1.5


def test_every_source_read_accepts_gives_the_same_frame(root, tmp_path):
    data = soundings(TWO)
    path = tmp_path / "two.bufr"
    path.write_bytes(data)
    expected = morvane.to_dataframe(data, root)
    with open(path, "rb") as fh:
        from_file = morvane.to_dataframe(fh, root)
    messages = morvane.read_messages(data, root)
    for frame in (from_file, morvane.to_dataframe(io.BytesIO(data), root), morvane.to_dataframe(str(path), root),
                  morvane.to_dataframe(path, root), morvane.to_dataframe(bytearray(data), root),
                  morvane.to_dataframe(messages[0]), morvane.to_dataframe(messages),
                  morvane.to_dataframe(iter(messages))):
        pd.testing.assert_frame_equal(frame, expected)
    with pytest.raises(TypeError):
        morvane.to_dataframe([data])
    with pytest.raises(TypeError):
        morvane.to_dataframe(io.StringIO("BUFR"))


def test_meanings_failed_messages_and_dates(root):
    good = soundings([(1, "AB", [270.0])])
    broken = message([12101], BitWriter().u(0, 8))
    frame = morvane.to_dataframe(morvane.read_messages(good + broken, root), meanings=True)
    assert frame["#1#verticalSignificance"].tolist() == ["Surface"] and len(frame) == 1
    with pytest.raises(morvane.MessageError) as caught:
        morvane.to_dataframe(good + broken, root, errors="raise")
    assert caught.value.index == 1
    dates = morvane.to_dataframe(dated(2024, 2, 29) + dated(2023, 2, 29) + dated(2024, 3, None), root)
    assert dates["datetime"].tolist()[0] == pd.Timestamp(2024, 2, 29)
    assert dates["datetime"].isna().tolist() == [False, True, True]


def test_datetime_of_times_past_nanoseconds_or_out_of_range(root):
    def timed(*when: float | None) -> bytes:
        w = BitWriter()
        for value, width, scale in zip(when, (12, 4, 6, 5, 6, 16), (0, 0, 0, 0, 0, 3)):
            w.value(value, width=width, scale=scale)
        return message([4001, 4002, 4003, 4004, 4005, 4006], w)

    frame = morvane.to_dataframe(timed(2275, 1, 12, 23, 3, 7.754) + timed(1805, 6, 30, 0, 0, 0.5)
                                 + timed(2024, 1, 1, 24, 0, 0) + timed(2024, 1, 1, 0, 60, 0)
                                 + timed(2024, 2, 29, 12, 30, None), root)
    stamps = frame["datetime"].tolist()
    assert stamps[:2] == [pd.Timestamp(2275, 1, 12, 23, 3, 7, 754000), pd.Timestamp(1805, 6, 30, 0, 0, 0, 500000)]
    assert frame["datetime"].isna().tolist() == [False, False, True, True, True]


def test_a_frame_too_big_is_refused_before_it_is_built(root):
    # Ten templates of one element each: a sparse union of 10 columns.
    kinds = b"".join(message([1001] * n, BitWriter().raw_bytes(bytes(n))) for n in range(1, 11))
    assert morvane.to_dataframe(kinds, root).shape == (10, 10)
    with pytest.raises(ValueError, match=r"10 rows x 10 columns from 10 message templates.*read_arrow"):
        morvane.to_dataframe(kinds, root, max_bytes=10 * 10 * 9 - 1)
    # One subset of 255 replicated elements: few cells, yet 255 pandas columns
    wide = message([101000, 31001, 1001], BitWriter().u(255, 8).raw_bytes(bytes(224)))
    assert morvane.to_dataframe(wide, root).shape == (1, 256)
    with pytest.raises(ValueError, match=r"1 rows x 256 columns"):
        morvane.to_dataframe(wide, root, max_bytes=256 * 4096 - 1)


def test_arrays_by_key_occurrence_and_missing(root):
    msg = morvane.read_messages(soundings(TWO), root)[0]
    arrays = msg.arrays()
    assert list(arrays) == ["blockNumber", "stationOrSiteName", "verticalSignificance",
                            "delayedDescriptorReplicationFactor", "airTemperature"]
    block = arrays["blockNumber"]
    assert isinstance(block, np.ma.MaskedArray) and block.dtype == np.int64
    assert block.mask.tolist() == [False, True] and block[0] == 1
    block[1] = 4  # the caller's to change
    assert block.tolist() == [1, 4]
    assert arrays["stationOrSiteName"].tolist() == ["AB", None]
    temperature = arrays["airTemperature"]
    assert temperature.shape == (2, 2)
    assert temperature[0].tolist() == [270.0, 260.5]
    assert np.isnan(temperature[1]).all()
    second = msg.arrays(["#2#airTemperature", "#1#delayedDescriptorReplicationFactor"])
    assert second["#2#airTemperature"].shape == (2,) and second["#2#airTemperature"][0] == 260.5
    assert np.isnan(second["#2#airTemperature"][1])
    assert second["#1#delayedDescriptorReplicationFactor"].tolist() == [2, 1]
    for absent in ("pressure", "#3#airTemperature"):
        with pytest.raises(KeyError, match=absent):
            msg.arrays([absent])


def test_arrays_list_the_columns_of_a_message_once(root):
    # Listing a batch's columns makes an object per column: done per column,
    # a sounding of thousands of levels took minutes.
    from morvane._columns import batch_arrays

    batch = morvane.read_messages(soundings([(1, "AB", [200.0 + k for k in range(250)])]), root)[0].to_arrow()

    class Counting:
        reads = 0

        def __getattr__(self, name):
            Counting.reads += name == "columns"
            return getattr(batch, name)

    arrays = batch_arrays(Counting())
    assert Counting.reads == 1
    assert arrays["airTemperature"].shape == (1, 250) and arrays["airTemperature"][0, 249] == 449.0


def test_read_arrow_makes_one_batch_per_run_of_a_template(root):
    a = soundings([(1, "AB", [270.0])])
    b = soundings([(2, "CD", [260.0, 250.0]), (3, "EF", [])])
    other = dated(2024, 1, 2)
    broken = message([12101], BitWriter().u(0, 8))
    stream = morvane.read_arrow(a + b + other + broken + a, root)
    batches = list(stream)
    assert [(x.num_rows, list(x.message_rows)) for x in batches] == [(3, [0, 1, 3]), (1, [0, 1]), (1, [0, 1])]
    assert [e.index for e in stream.errors] == [3]
    first = batches[0]
    assert first.columns[first.index("#2#airTemperature")].rank == 2
    small = list(morvane.read_arrow(a + b + a, root, batch_rows=2))
    assert [x.num_rows for x in small] == [1, 2, 1]
    with pytest.raises(morvane.MessageError):
        list(morvane.read_arrow(a + broken, root, errors="raise"))
    with pytest.raises(ValueError, match="batch_rows"):
        morvane.read_arrow(a, root, batch_rows=0)


def test_arrays_stack_repeated_integer_and_mixed_occurrences(root):
    # Block twice (integers), then a temperature at its own scale and one
    # whose scale 2-02 brings to 0 (a whole number: an integer column).
    def blocks(first, second, t1, t2):
        return (BitWriter().value(first, width=7).value(second, width=7)
                .value(t1, width=16, scale=2).value(t2, width=16, scale=0))

    w = blocks(1, None, 270.25, 268).value(None, width=7).value(9, width=7).value(None, width=16, scale=2) \
        .value(None, width=16, scale=0)
    msg = morvane.read_messages(message([1001, 1001, 12101, 202126, 12101, 202000], w, subsets=2), root)[0]
    arrays = msg.arrays(["blockNumber", "airTemperature"])
    block = arrays["blockNumber"]
    assert isinstance(block, np.ma.MaskedArray) and block.dtype == np.int64 and block.shape == (2, 2)
    assert block.mask.tolist() == [[False, True], [True, False]]
    assert block[0, 0] == 1 and block[1, 1] == 9
    temperature = arrays["airTemperature"]
    # One occurrence is an integer column, the other a float one: floats, NaN where missing.
    assert not isinstance(temperature, np.ma.MaskedArray) and temperature.dtype == np.float64
    assert temperature[0].tolist() == [270.25, 268.0]
    assert np.isnan(temperature[1]).all()
