"""morvane.to_dataframe: one row per subset, one column per element occurrence."""

from __future__ import annotations

import math

import pytest

pytest.importorskip("pandas")
morvane = pytest.importorskip("morvane")

from bufr_builder import BitWriter, element, message, write_definitions_root  # noqa: E402


@pytest.fixture
def root(tmp_path):
    return str(write_definitions_root(tmp_path / "defs", masters={39: {
        "elements": {
            1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
            1015: element("STATION OR SITE NAME", "CCITT IA5", 0, 0, 24),
            8002: element("VERTICAL SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
            12101: element("TEMPERATURE", "K", 2, 0, 16),
            31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8),
        },
        "codetables": {8002: {1: "Surface"}},
    }}))


def soundings(stations: list[tuple[int, str, list[float | None]]]) -> bytes:
    w = BitWriter()
    for block, name, temperatures in stations:
        w.value(block, width=7).text(name, 24).value(1, width=6).value(len(temperatures), width=8)
        for t in temperatures:
            w.value(t, width=16, scale=2)
    return message([1001, 1015, 8002, 101000, 31001, 12101, 222000], w, subsets=len(stations))


def test_rows_are_subsets_and_repeated_elements_get_numbered_columns(root):
    data = soundings([(1, "AB", [270.0, 260.5]), (2, "CD", [None])]) + soundings([(3, "EF", [])])
    frame = morvane.to_dataframe(data, root)
    assert list(frame.index) == [(0, 0), (0, 1), (1, 0)]
    assert list(frame.columns) == ["WMO BLOCK NUMBER", "STATION OR SITE NAME", "VERTICAL SIGNIFICANCE",
                                   "DELAYED DESCRIPTOR REPLICATION FACTOR", "TEMPERATURE", "TEMPERATURE#2"]
    assert frame["STATION OR SITE NAME"].tolist() == ["AB", "CD", "EF"]
    assert frame["TEMPERATURE"].iloc[0] == 270.0 and frame["TEMPERATURE#2"].iloc[0] == 260.5
    assert math.isnan(frame["TEMPERATURE"].iloc[1]) and math.isnan(frame["TEMPERATURE#2"].iloc[1])
    assert frame.attrs["units"]["TEMPERATURE#2"] == "K"
    assert frame.attrs["descriptors"]["TEMPERATURE#2"] == 12101
    assert frame["VERTICAL SIGNIFICANCE"].tolist() == [1.0, 1.0, 1.0]


def test_meanings_and_failed_messages(root):
    good = soundings([(1, "AB", [270.0])])
    broken = message([12102], BitWriter().u(0, 16))
    frame = morvane.to_dataframe(morvane.read_messages(good + broken, root), meanings=True)
    assert frame["VERTICAL SIGNIFICANCE"].tolist() == ["Surface"] and len(frame) == 1
    with pytest.raises(morvane.MessageError):
        morvane.to_dataframe(good + broken, root, errors="raise")
