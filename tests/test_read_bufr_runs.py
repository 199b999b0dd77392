"""read_bufr's runs of messages: uncompressed ones decoded as flat items and
cut into rows in one pass, compressed ones with the same descriptors decoded
as one batch; the items against the decoded values of the same messages, and
runs against reading message by message."""

from __future__ import annotations

import importlib.util

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("morvane._columnar")
import morvane  # noqa: E402
from morvane import _observations, _runs  # noqa: E402
from morvane._items import Items  # noqa: E402

import _morvane  # noqa: E402
from bufr_builder import BitWriter, element, encode_value, message, write_table_dir  # noqa: E402
from conftest import BUFR_DIR, require_shared  # noqa: E402
from test_read_bufr import _normalised  # noqa: E402

SYNOP = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"
TEMP = "temp.e4.bufr"
SENSOR_HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"


@require_shared
@pytest.mark.parametrize("name", [SYNOP, TEMP, "aircraft_mrar_compressed.bufr", "ship_11.e4.bufr",
                                  "b005_89.e4.bufr", "uegabe.bufr"])
def test_items_are_the_decoded_values(name):
    """Codes, presence, numbers and texts of every item, compressed messages
    included, as the message's own decoded values give them."""
    messages = [m for m in morvane.read(str(BUFR_DIR / name)) if m.error is None]
    assert messages
    items = Items([(m.data, m.tables) for m in messages])
    assert items.failures == []
    starts = items.subset_starts
    for k, m in enumerate(messages):
        values = m.values
        first = starts[items.message_starts[k]]
        last = starts[items.message_starts[k + 1]]
        assert last - first == len(values)
        codes = items.codes[first:last]
        assert codes.tolist() == [v.descriptor for v in values]
        present = items.present[first:last]
        numbers = items.values[first:last]
        is_text = np.array([_is_text(m.tables, v.descriptor) for v in values], dtype=bool)
        texts = items.texts(numbers[is_text], present[is_text])
        expected_texts = [None if v.raw_text is None else v.raw_text.rstrip("\x00 ")
                          for v, t in zip(values, is_text) if t]
        assert texts.tolist() == expected_texts
        for v, ok, number, text in zip(values, present.tolist(), numbers.tolist(), is_text.tolist()):
            if text or 100000 <= v.descriptor < 999999:
                continue  # texts above; operators and markers carry nothing
            assert ok == (v.raw_value is not None), v
            if ok:
                assert number == v.raw_value, v


def _is_text(tables, code: int) -> bool:
    element = tables.get_element(code) if code < 100000 else None
    return element is not None and element.element_type == "string"


def _broken_message() -> bytes:
    # Two elements announced, no data to read them from.
    return message([12101, 1015], BitWriter(), master_version=39)


@require_shared
def test_a_message_that_does_not_decode_is_reported_and_the_run_goes_on():
    good = (BUFR_DIR / TEMP).read_bytes()
    broken = _broken_message()
    reason = next(iter(morvane.read(broken))).error
    assert reason is not None
    columns = ["stationNumber", "pressure", "airTemperature"]
    seen = []
    frame = morvane.read_bufr(broken + good + broken, columns, errors="skip", on_error=seen.append)
    assert [e.reason for e in seen] == [reason.reason] * 2
    assert [e.index for e in seen][0] == 0 and seen[1].index > 1
    pd.testing.assert_frame_equal(frame, morvane.read_bufr(good, columns))
    with pytest.raises(morvane.MessageError) as raised:
        morvane.read_bufr(good + broken, columns)
    assert raised.value.index == seen[1].index - 1


@require_shared
@pytest.mark.parametrize("name, query", [
    (SYNOP, dict(columns=["stationNumber", "typicalDate", "count", "airTemperature", SENSOR_HEIGHT],
                 filters={"stationNumber": [33, 38, 67], SENSOR_HEIGHT: [2, 5]}, required_columns=False)),
    (TEMP, dict(columns=["WMO_station_id", "data_datetime", "pressure", "airTemperature"],
                filters={"pressure": slice(50000, 85000), "typicalHour": lambda h: h >= 6})),
])
def test_runs_of_any_size_give_the_same_rows(name, query, monkeypatch):
    """One message per run, and runs broken by a message read on its own
    (a large one), give the rows of one run over the whole file."""
    path = str(BUFR_DIR / name)
    whole = morvane.read_bufr(path, **query)
    assert len(whole) > 0
    monkeypatch.setattr(_runs, "RUN_BYTES", 1)
    pd.testing.assert_frame_equal(morvane.read_bufr(path, **query), whole)
    original = _runs.in_flat_runs
    monkeypatch.setattr(_runs, "in_flat_runs", lambda msg: msg.index % 3 != 1 and original(msg))
    monkeypatch.setattr(_runs, "RUN_BYTES", 1 << 20)
    pd.testing.assert_frame_equal(morvane.read_bufr(path, **query), whole)


ELEMENTS = {
    1002: element("WMO STATION NUMBER", "Numeric", 0, 0, 10, abbreviation="stationNumber"),
    1015: element("STATION NAME", "CCITT IA5", 0, 0, 32, abbreviation="stationOrSiteName"),
    7032: element("HEIGHT OF SENSOR", "m", 0, 0, 8, abbreviation="height"),
    12101: element("TEMPERATURE", "K", 1, 0, 12, abbreviation="airTemperature"),
}
# Per subset: station, name, then (height, temperature) twice.
SUBSETS = [(17, "AB", [(2, 280.5), (10, 279.0)]),
           (18, None, [(10, None), (2, 281.0)]),
           (19, "C\0", [(5, 270.0), (2, None)])]


def _stations(tmp_path):
    w = BitWriter()
    for number, name, levels in SUBSETS:
        w.value(number, width=10).text(name, 32)
        for height, temperature in levels:
            w.value(height, width=8).value(temperature, width=12, scale=1)
    data = message([1002, 1015, 7032, 12101, 7032, 12101], w, subsets=len(SUBSETS))
    tables = _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", ELEMENTS)))
    return data, tables


def test_items_of_a_made_message(tmp_path):
    data, tables = _stations(tmp_path)
    items = Items([(data, tables), (b"BUFR", tables), (data, tables)])
    assert [i for i, _ in items.failures] == [1]
    assert items.message_starts.tolist() == [0, 3, 3, 6]
    assert items.subset_starts.tolist() == [0, 6, 12, 18, 24, 30, 36]
    assert items.codes.tolist() == [1002, 1015, 7032, 12101, 7032, 12101] * 6
    for s, (number, name, levels) in enumerate(SUBSETS * 2):
        at = slice(6 * s, 6 * s + 6)
        numbers, present = items.values[at], items.present[at]
        assert numbers[0] == number and present[0]
        text = items.texts(numbers[1:2], present[1:2])[0]
        assert text == (None if name is None else name.rstrip("\0 "))
        expected = [v for level in levels for v in level]
        assert [None if not ok else v for v, ok in zip(numbers[2:].tolist(), present[2:].tolist())] == \
            pytest.approx(expected)


# The rows pdbufr's rules give SUBSETS, worked out by hand: station and name
# are coordinates (class 1), each height opens the level of its temperature;
# a missing value never passes a filter; the file holds the message twice.
MADE_QUERIES = [
    (dict(columns=["stationNumber", "height", "airTemperature"], filters={"height": 2}),
     [[17, 2, 280.5], [18, 2, 281.0], [19, 2, None]] * 2),
    (dict(columns=["stationNumber", "stationOrSiteName", "airTemperature"], filters={"stationOrSiteName": "AB"}),
     [[17, "AB", 280.5], [17, "AB", 279.0]] * 2),
    (dict(columns=["count", "stationNumber", "airTemperature"], filters={"airTemperature": slice(275, None)},
          required_columns=False),
     [[c, s, t] for c in (1, 2) for s, t in [(17, 280.5), (17, 279.0), (18, 281.0)]]),
]


@pytest.mark.parametrize("query, rows", MADE_QUERIES)
def test_made_messages_give_the_rows_worked_out(tmp_path, query, rows):
    data, tables = _stations(tmp_path)
    got = morvane.read_bufr(data + data, tables=tables, **query)
    assert list(got.columns) == query["columns"]
    cells = got.astype(object).where(got.notna(), None).values.tolist()
    assert len(cells) == len(rows)
    for row, expected in zip(cells, rows):
        for cell, value in zip(row, expected):
            assert cell == value if value is None or isinstance(value, str) else cell == pytest.approx(value)


def test_a_message_without_elements_gives_no_rows(tmp_path):
    data, tables = _stations(tmp_path)
    empty = message([])
    columns = ["stationNumber", "airTemperature"]
    for required in (True, False):
        alone = morvane.read_bufr(empty, columns, required_columns=required, tables=tables)
        assert list(alone.columns) == columns and len(alone) == 0
        pd.testing.assert_frame_equal(morvane.read_bufr(empty + data + empty, columns, tables=tables),
                                      morvane.read_bufr(data, columns, tables=tables))


def test_row_cutting_refuses_arrays_that_do_not_line_up(tmp_path):
    from morvane import _columnar

    data, tables = _stations(tmp_path)
    with pytest.raises(TypeError, match="tuple"):
        _columnar.decode_items([data])
    with pytest.raises(TypeError, match="TableSet"):
        _columnar.decode_items([(data, None)])
    codes = np.array([1002, 12101], dtype=np.uint32).tobytes()
    names = np.array([-1] * 20000, dtype=np.int32).tobytes()

    def cut(outcomes=b"\0\0", starts=np.array([0, 2], dtype=np.uint64).tobytes(), wanted=b"",
            header_names=b"", header_outcomes=b""):
        return _columnar.cut_subsets(codes, names, outcomes, starts, wanted, header_names, header_outcomes,
                                     b"", -1, -1, 1)

    # no names, so no keys: the subset's one row holds nothing
    assert cut()[0] == np.array([0, 0], dtype=np.int64).tobytes()
    for bad in (dict(outcomes=b"\0"), dict(starts=np.array([0, 3], dtype=np.uint64).tobytes()),
                dict(starts=np.array([2, 0], dtype=np.uint64).tobytes()),
                # a start in between past the items, the last one within them
                dict(starts=np.array([0, 100000, 2], dtype=np.uint64).tobytes()),
                dict(header_names=np.array([0], dtype=np.int32).tobytes())):
        with pytest.raises(ValueError, match="line up"):
            cut(**bad)
    # Each error names the function and the parameter at fault.
    with pytest.raises(ValueError, match=r"^cut_subsets\(\) argument 'codes' must hold whole 4-byte"):
        _columnar.cut_subsets(b"\0\0\0", names, b"", b"", b"", b"", b"", b"", -1, -1, 1)
    with pytest.raises(ValueError, match=r"^cut_subsets\(\) argument 'header_names' must hold whole 4-byte"):
        _columnar.cut_subsets(codes, names, b"", b"", b"", b"\0", b"", b"", -1, -1, 1)
    with pytest.raises(TypeError, match=r"^cut_subsets\(\) argument 'count_reference' must be int"):
        _columnar.cut_subsets(codes, names, b"", b"", b"", b"", b"", b"", -1, "x", 1)
    with pytest.raises(TypeError, match=r"^cut_rows\(\) argument 'filters' must be bytes"):
        _columnar.cut_rows(b"", b"", b"", None, b"", -1, 0)
    one = np.zeros(1, dtype=np.int32).tobytes()
    with pytest.raises(ValueError, match="differ in length"):
        _columnar.key_levels(np.zeros(2, dtype=np.int64).tobytes(), one, 0)
    with pytest.raises(ValueError, match="differ in length"):
        _columnar.cut_rows(one, one, np.zeros(1, dtype=np.int64).tobytes(), b"", b"", -1, 0)
    with pytest.raises(ValueError, match=r"0 \(none\), 1 \(passed\) or 2 \(failed\)"):
        _columnar.cut_rows(one, one, np.zeros(1, dtype=np.int64).tobytes(), b"\3", b"", -1, 0)
    # Date parts: six, each None or three arrays as long as the output.
    micros, exists = np.zeros(2, dtype=np.int64), np.zeros(2, dtype=np.uint8)
    flags = np.ones(2, dtype=np.uint8)

    def times(first):
        _columnar.report_times((first,) + (None,) * 5, micros, exists)

    with pytest.raises(TypeError, match="tuple of six"):
        _columnar.report_times((None,) * 5, micros, exists)
    with pytest.raises(TypeError, match=r"None or \(values, held, valid\)"):
        times((np.zeros(2),))
    with pytest.raises(ValueError, match="held must be 2 aligned 1-byte"):
        times((np.zeros(2), flags[:1], flags))
    with pytest.raises(ValueError, match="values must be 2 aligned 8-byte"):
        times((np.zeros(3).view(np.uint8)[1:17].view(np.float64), flags, flags))
    with pytest.raises(ValueError, match="exists must be 2 aligned 1-byte"):
        _columnar.report_times((None,) * 6, micros, exists[:1])

# Compressed messages: per subset a station, its name and a delayed
# replication of (height, temperature) levels, the same count in all subsets.
PROFILE = [1002, 1015, 102000, 31001, 7032, 12101]
PROFILE_ELEMENTS = {**ELEMENTS, 31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8,
                                               abbreviation="delayedDescriptorReplicationFactor")}


def _profiles(subsets, hour):
    w = BitWriter()
    w.compressed([number for number, _, _ in subsets], 10)
    w.compressed_text([name for _, name, _ in subsets], 32)
    count = len(subsets[0][2])
    w.compressed([count] * len(subsets), 8)
    for k in range(count):
        w.compressed([levels[k][0] for _, _, levels in subsets], 8)
        w.compressed([None if levels[k][1] is None else encode_value(levels[k][1], 12, 1)
                      for _, _, levels in subsets], 12)
    return message(PROFILE, w, subsets=len(subsets), compressed=True, when=(2024, 1, 2, hour, 0, 0))


def _profile_messages(tmp_path):
    tables = _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", PROFILE_ELEMENTS)))
    two_levels = _profiles(SUBSETS, 6)
    others = _profiles([(21, "AB", [(2, 275.5), (5, None)]), (22, "D", [(10, 260.0), (2, 261.5)])], 12)
    three_levels = _profiles([(23, "E", [(2, 250.0), (5, 251.0), (10, None)])], 18)
    # the descriptors of the others, too few bits for their values
    broken = message(PROFILE, BitWriter().compressed([5, 6], 10), subsets=2, compressed=True)
    return tables, two_levels, others, three_levels, broken


def _batches_taken(monkeypatch):
    """The outcome of every batch tried, as the read goes."""
    taken = []
    add_batch = _observations._Collector.add_batch

    def spy(self, messages, *batch):
        taken.append(add_batch(self, messages, *batch))
        return taken[-1]
    monkeypatch.setattr(_observations._Collector, "add_batch", spy)
    return taken


def _one_by_one(monkeypatch, read):
    with monkeypatch.context() as patched:
        patched.setattr(_runs, "RUN_BYTES", 1)
        return read()


PROFILE_QUERIES = [
    dict(columns=["count", "typicalDate", "typicalHour", "stationNumber", "stationOrSiteName", "height",
                  "airTemperature"], required_columns=False),
    # a pattern of its own for each order of the heights: several chunks
    dict(columns=["count", "stationNumber", "height", "airTemperature"], filters={"height": 2}),
    # the messages of hour 12 left out: the others still go together
    dict(columns=["stationNumber", "airTemperature"], filters={"stationOrSiteName": ["AB", "E"],
                                                               "typicalHour": [6, 18]}),
    dict(columns=["typicalTime", "stationNumber", "height"], filters={"count": [2, 3],
                                                                      "airTemperature": slice(270, None)}),
]


@pytest.mark.parametrize("query", PROFILE_QUERIES)
def test_compressed_runs_give_the_rows_of_message_by_message(tmp_path, monkeypatch, query):
    """One batch for messages of the same expansion; message by message when
    a replication count differs among them, and for the rest of the read
    once it has (no batch decoded twice again); the same frame either way."""
    tables, two_levels, others, three_levels, _ = _profile_messages(tmp_path)
    taken = _batches_taken(monkeypatch)
    monkeypatch.setattr(_runs, "RUN_SUBSETS", 6)
    for data, batched in [(two_levels + others + two_levels, True),
                          (others + three_levels + two_levels + two_levels + two_levels, False)]:
        taken.clear()
        got = morvane.read_bufr(data, tables=tables, **query)
        assert taken == [None if batched else _runs.EXPANSIONS_DIFFER]
        assert len(got) > 0
        pd.testing.assert_frame_equal(got, _one_by_one(monkeypatch, lambda: morvane.read_bufr(
            data, tables=tables, **query)))


def test_a_message_that_does_not_decode_in_a_run_is_reported_as_alone(tmp_path, monkeypatch):
    tables, two_levels, others, _, broken = _profile_messages(tmp_path)
    data = two_levels + broken + others + broken + two_levels
    columns = ["count", "stationNumber", "height", "airTemperature"]
    taken = _batches_taken(monkeypatch)
    seen = []
    got = morvane.read_bufr(data, columns, tables=tables, errors="skip", on_error=seen.append)
    assert taken == [_runs.UNDECODABLE]
    alone = []
    expected = _one_by_one(monkeypatch, lambda: morvane.read_bufr(data, columns, tables=tables, errors="skip",
                                                                  on_error=alone.append))
    assert [(e.index, e.offset, e.reason) for e in seen] == [(e.index, e.offset, e.reason) for e in alone]
    assert [e.index for e in seen] == [1, 3]
    pd.testing.assert_frame_equal(got, expected)
    assert sorted(set(got["count"])) == [1, 3, 5]
    with pytest.raises(morvane.MessageError) as raised:
        morvane.read_bufr(data, columns, tables=tables)
    assert (raised.value.index, str(raised.value)) == (seen[0].index, str(seen[0]))


CORPUS_QUERY = dict(columns=["count", "typicalHour", "latitude", "longitude", "data_datetime", "pressure",
                             "airTemperature", "windSpeed"], required_columns=False)


@require_shared
@pytest.mark.parametrize("name, copies", [("aircraft_mrar_compressed.bufr", 3), ("tropical_cyclone.bufr", 1),
                                          ("grst_26.e4.bufr", 1), ("pgps_110.e4.bufr", 2)])
def test_compressed_corpus_runs_give_the_rows_of_message_by_message(name, copies, tmp_path, monkeypatch):
    """And pdbufr's rows, when it is installed."""
    path = tmp_path / name
    path.write_bytes((BUFR_DIR / name).read_bytes() * copies)
    got = morvane.read_bufr(str(path), **CORPUS_QUERY)
    assert len(got) > 0
    pd.testing.assert_frame_equal(got, _one_by_one(monkeypatch, lambda: morvane.read_bufr(str(path),
                                                                                          **CORPUS_QUERY)))
    if importlib.util.find_spec("pdbufr") is not None:
        import pdbufr

        expected = _normalised(pdbufr.read_bufr(str(path), **CORPUS_QUERY))
        pd.testing.assert_frame_equal(_normalised(got), expected, check_dtype=False)


# 2-02 and 2-07 can give an integer element a scale: its values become
# fractions, or numbers beyond int64, which ecCodes reads as floats.
HEIGHT = {7030: element("HEIGHT OF STATION", "m", 0, 0, 16, abbreviation="heightOfStation")}


@pytest.mark.parametrize("compressed", [False, True])
def test_an_integer_element_scaled_by_an_operator_keeps_its_values(tmp_path, compressed):
    tables = _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", HEIGHT)))

    def read(operators, raw, width=16):
        w = BitWriter()
        data = w.compressed([raw, raw], width) if compressed else w.u(raw, width).u(raw, width)
        msg = message([*operators, 7030], data, subsets=2, compressed=compressed)
        return morvane.read_bufr(msg, ["heightOfStation"], tables=tables)["heightOfStation"]

    plain = read([], 1234)
    assert str(plain.dtype) == "Int64" and plain.tolist() == [1234, 1234]
    tenfold = read([202127], 1234)  # scale -1: whole numbers still
    assert str(tenfold.dtype) == "Int64" and tenfold.tolist() == [12340, 12340]
    tenth = read([202129], 1234)  # scale +1
    assert tenth.dtype == np.float64 and tenth.tolist() == pytest.approx([123.4, 123.4])
    widened = read([207001], 12345, width=20)  # scale +1, reference x10, width +4
    assert widened.dtype == np.float64 and widened.tolist() == pytest.approx([1234.5, 1234.5])
    huge = read([202001], 1234)  # scale -127
    assert huge.dtype == np.float64 and huge.tolist() == pytest.approx([1234e127, 1234e127])


def test_station_id_of_a_block_number_scaled_by_an_operator(tmp_path):
    # pdbufr takes int() of block and station; a block scaled past int64 gives no id.
    elements = {1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7, abbreviation="blockNumber"),
                1002: element("WMO STATION NUMBER", "Numeric", 0, 0, 10, abbreviation="stationNumber")}
    tables = _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", elements)))
    ids = []
    for scale in (None, 202129, 202001):  # as it is, 0.7, 7e127
        msg = message([1001, 1002] if scale is None else [scale, 1001, 202000, 1002], BitWriter().u(7, 7).u(123, 10))
        frame = morvane.read_bufr(msg, ["WMO_station_id", "stationNumber"], tables=tables, required_columns=False)
        assert frame["stationNumber"].tolist() == [123]
        # a key no row holds is left out, as pdbufr leaves it out
        ids.append(frame["WMO_station_id"].tolist() if "WMO_station_id" in frame else None)
    assert ids == [[7123], [123], None]
