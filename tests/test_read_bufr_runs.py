"""read_bufr's runs of uncompressed messages, decoded as flat items and cut
into rows in one pass: the items against the decoded values of the same
messages, and runs against reading message by message."""

from __future__ import annotations

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("morvane._columnar")
import morvane  # noqa: E402
from morvane import _observations  # noqa: E402
from morvane._items import Items  # noqa: E402

from bufr_builder import BitWriter, message  # noqa: E402
from conftest import BUFR_DIR, require_shared  # noqa: E402

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
    monkeypatch.setattr(_observations, "RUN_BYTES", 1)
    pd.testing.assert_frame_equal(morvane.read_bufr(path, **query), whole)
    original = _observations._in_runs
    monkeypatch.setattr(_observations, "_in_runs", lambda msg: msg.index % 3 != 1 and original(msg))
    monkeypatch.setattr(_observations, "RUN_BYTES", 1 << 20)
    pd.testing.assert_frame_equal(morvane.read_bufr(path, **query), whole)
