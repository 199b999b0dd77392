"""morvane._columnar: typed columns, nulls, alignment of subsets by
occurrence, quality links, several messages in one batch, subset starts, and
the NumPy and Arrow exports."""

from __future__ import annotations

import pytest

import _morvane
import morvane
from bufr_builder import BitWriter, all_ones, element, message, write_table_dir
from morvane import _columnar

ELEMENTS = {
    1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7, "blockNumber"),
    1015: element("STATION NAME", "CCITT IA5", 0, 0, 48, "stationOrSiteName"),
    7004: element("PRESSURE", "Pa", -1, 0, 14, "pressure"),
    8023: element("FIRST-ORDER STATISTICS", "CODE TABLE", 0, 0, 6, "firstOrderStatistics"),
    12101: element("TEMPERATURE", "K", 2, 0, 16, "airTemperature"),
    20003: element("PRESENT WEATHER", "CODE TABLE", 0, 0, 9, "presentWeather"),
    31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8,
                   "delayedDescriptorReplicationFactor"),
    31002: element("EXTENDED DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 16,
                   "extendedDelayedDescriptorReplicationFactor"),
    31021: element("ASSOCIATED FIELD SIGNIFICANCE", "CODE TABLE", 0, 0, 6,
                   "associatedFieldSignificance"),
    31031: element("DATA PRESENT INDICATOR", "FLAG TABLE", 0, 0, 1, "dataPresentIndicator"),
    33002: element("QUALITY INFORMATION", "CODE TABLE", 0, 0, 2, "qualityInformation"),
    33007: element("PER CENT CONFIDENCE", "%", 0, 0, 7, "percentConfidence"),
    # Written code as key, as WMO CSV tables leave the abbreviation out.
    63001: element("NO ABBREVIATION", "m", 0, 0, 8, ""),
}


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    path = write_table_dir(tmp_path_factory.mktemp("columnar"), ELEMENTS, {300010: [7004, 12101]})
    return _morvane.TableSet.from_eccodes(str(path))


def columns_of(batch, i):
    """Column i's values with None for nulls."""
    values = batch.values(i)
    if batch.columns[i].type == "text":
        return values
    valid = memoryview(batch.valid(i)).tolist()
    return [v if ok else None for v, ok in zip(memoryview(values).tolist(), valid)]


def columns(batch):
    """{name: list of values with None for nulls} of a batch."""
    return {column.name: columns_of(batch, i) for i, column in enumerate(batch.columns)}


def by_name(batch):
    return {c.name: c for c in batch.columns}


# --------------------------------------------------------------------------
# Types, nulls, text


def test_types_follow_the_unit_and_scale(tables):
    w = BitWriter().value(12, 7).value(98770, 14, -1).value(273.15, 16, 2).value(5, 9).value(7, 8)
    batch = _columnar.decode(message([1001, 7004, 12101, 20003, 63001], w), tables)
    got = by_name(batch)
    assert {n: c.type for n, c in got.items()} == {
        "#1#blockNumber": "int64", "#1#pressure": "int64", "#1#airTemperature": "float64",
        "#1#presentWeather": "int64", "#1#063001": "int64"}
    assert columns(batch) == {"#1#blockNumber": [12], "#1#pressure": [98770],
                              "#1#airTemperature": [273.15], "#1#presentWeather": [5],
                              "#1#063001": [7]}
    pressure = got["#1#pressure"]
    assert (pressure.key, pressure.rank, pressure.descriptor, pressure.unit, pressure.role,
            pressure.element_name, pressure.qualifies) == ("pressure", 1, 7004, "Pa", "element",
                                                           "PRESSURE", -1)
    assert memoryview(batch.values(batch.index("#1#pressure"))).format == "q"
    assert memoryview(batch.values(batch.index("#1#airTemperature"))).format == "d"


def test_missing_values_are_null_not_numbers(tables):
    w = BitWriter()
    for block, name, temperature, weather in [(None, None, None, None), (3, "AB \0\0", 250.0, 5)]:
        w.value(block, 7).text(name, 48).value(temperature, 16, 2).value(weather, 9)
    batch = _columnar.decode(message([1001, 1015, 12101, 20003], w, subsets=2), tables)
    assert columns(batch) == {
        "#1#blockNumber": [None, 3],
        "#1#stationOrSiteName": [None, "AB"],
        "#1#airTemperature": [None, 250.0],
        "#1#presentWeather": [None, 5],
    }
    assert memoryview(batch.valid(0)).tolist() == [False, True]


def test_compressed_columns_hold_one_entry_per_subset(tables):
    w = BitWriter()
    w.compressed([1, 1, 1], 7)                                # constant
    w.compressed([27315, None, 28000], 16)                    # varying, one missing
    w.compressed_text(["ABC", None, "ABC  "], 48, same=False)  # text, one missing
    batch = _columnar.decode(message([1001, 12101, 1015], w, subsets=3, compressed=True), tables)
    assert batch.num_rows == 3 and batch.message_rows == [0, 3]
    assert columns(batch) == {"#1#blockNumber": [1, 1, 1],
                              "#1#airTemperature": [273.15, None, 280.0],
                              "#1#stationOrSiteName": ["ABC", None, "ABC"]}


def test_chosen_keys_skip_other_compressed_columns_and_fail_where_reading_fails(tables):
    # Constant and varying numbers and text, an associated field and inserted
    # text: all but pressure and station name are skipped over.
    w = BitWriter()
    w.compressed([1, 1, 1], 7)
    w.compressed([2, 2, 2], 6)                                 # 0-31-021 under 2-04-004
    w.compressed([3, None, 5], 4).compressed([27315, None, 28000], 16)
    w.compressed_text(["XY", "XY", "XY"], 16, same=True)      # 2-05-002
    w.compressed_text(["ABC", None, "DE"], 48, same=False)
    w.compressed([10000, 10010, None], 14)
    w.compressed_text(["Q", "R", "S"], 48, same=False)
    codes = [1001, 204004, 31021, 12101, 204000, 205002, 1015, 7004, 1015]
    data = message(codes, w, subsets=3, compressed=True)
    whole = columns(_columnar.decode(data, tables))
    chosen = _columnar.decode_keys([(data, tables)], ["pressure", "stationOrSiteName"])
    assert [(c.name, c.decoded) for c in chosen.columns] == [
        ("#1#blockNumber", False), ("#1#associatedFieldSignificance", True),
        ("#1#airTemperature", False), ("#1#stationOrSiteName", True), ("#1#pressure", True),
        ("#2#stationOrSiteName", True)]
    for i, c in enumerate(chosen.columns):
        if c.decoded:
            assert columns_of(chosen, i) == whole[c.name]
        else:
            with pytest.raises(ValueError, match="not decoded"):
                chosen.values(i)
    with pytest.raises(ValueError, match="not decoded"):
        chosen.__arrow_c_stream__()
    # Data cut short anywhere: the same error as reading every column.
    payload = w.getvalue()
    for end in range(len(payload)):
        cut = message(codes, payload[:end], subsets=3, compressed=True)
        with pytest.raises(ValueError) as whole_error:
            _columnar.decode(cut, tables)
        with pytest.raises(ValueError) as chosen_error:
            _columnar.decode_keys([(cut, tables)], ["pressure"])
        assert str(chosen_error.value) == str(whole_error.value)


def test_a_column_becomes_float_when_an_operator_gives_it_a_scale(tables):
    # 2-02-131 (replicated once in the second subset only) turns pressure's
    # scale -1 into 2.
    w = BitWriter().value(0, 8).value(12340, 14, -1).value(1, 8).value(123.45, 14, 2)
    batch = _columnar.decode(message([101000, 31001, 202131, 7004], w, subsets=2), tables)
    assert by_name(batch)["#1#pressure"].type == "float64"
    assert columns(batch)["#1#pressure"] == [12340.0, 123.45]


# --------------------------------------------------------------------------
# Alignment


def soundings(levels):
    """Uncompressed subsets with `levels[s]` replicated (pressure, temperature)."""
    w = BitWriter()
    for s, count in enumerate(levels):
        w.value(s, 7).value(count, 8)
        for k in range(count):
            w.value(100000 - 10000 * k, 14, -1).value(200.0 + s + k / 10, 16, 2)
    return message([1001, 101000, 31001, 300010], w, subsets=len(levels))


def test_subsets_of_different_structure_line_up_by_occurrence(tables):
    levels = [2, 0, 3]
    batch = _columnar.decode(soundings(levels), tables)
    got = columns(batch)
    assert batch.num_rows == 3
    assert got["#1#pressure"] == [100000, None, 100000]
    assert got["#3#pressure"] == [None, None, 80000]
    assert got["#2#airTemperature"] == [200.1, None, 202.1]
    assert got["#1#delayedDescriptorReplicationFactor"] == levels
    assert [c.name for c in batch.columns][:4] == [
        "#1#blockNumber", "#1#delayedDescriptorReplicationFactor", "#1#pressure", "#1#airTemperature"]


def test_several_messages_align_by_name(tables):
    first = soundings([1])
    second = message([12101, 1001], BitWriter().value(300.0, 16, 2).value(9, 7))
    batch = _columnar.decode_messages([(first, tables), (second, tables)])
    got = columns(batch)
    assert batch.message_rows == [0, 1, 2]
    assert got["#1#blockNumber"] == [0, 9]
    assert got["#1#airTemperature"] == [200.0, 300.0]
    assert got["#1#pressure"] == [100000, None]


def test_read_arrow_keeps_big_messages_to_a_batch_each(tables):
    def compressed(subsets):
        return message([12101], BitWriter().compressed(list(range(subsets)), 16), subsets=subsets,
                       compressed=True)

    data = compressed(3) + compressed(3) + compressed(300) + compressed(300) + compressed(3)
    stream = morvane.read_arrow(data, tables)
    assert [batch.num_rows for batch in stream] == [6, 300, 300, 3]
    assert stream.errors == []
    # A frame holds every row anyway: one batch, whatever the sizes.
    pd = pytest.importorskip("pandas")
    frame = morvane.to_dataframe(data, tables)
    assert isinstance(frame, pd.DataFrame) and len(frame) == 609
    assert frame["#1#airTemperature"].iloc[[0, 6, 306, 608]].tolist() == [0.0, 0.0, 0.0, 0.02]


def test_decode_messages_names_the_failing_message(tables):
    good = soundings([1])
    with pytest.raises(ValueError, match=r"^message 1: "):
        _columnar.decode_messages([(good, tables), (good[:40], tables)])
    with pytest.raises(TypeError):
        _columnar.decode_messages([(good, "tables")])


def test_subsets_too_unlike_to_align_fail_cleanly(tables):
    # One subset with 60,000 occurrences and 65,534 subsets with none: a
    # 183 KB message that would need 3.9 billion cells.
    # Eight 7-bit values fill 7 octets, so the writer runs per octet group.
    group = BitWriter()
    for k in range(8):
        group.value(k, 7)
    data = message([101000, 31002, 1001],
                   BitWriter().value(60000, 16).getvalue() + group.getvalue() * 7500 + bytes(2 * 65534),
                   subsets=65535)
    with pytest.raises(ValueError, match="subsets too unlike to align into columns"):
        _columnar.decode(data, tables)


# --------------------------------------------------------------------------
# Quality values, bitmaps, associated fields


def test_quality_values_name_the_element_they_qualify(tables):
    w = BitWriter().value(250.0, 16, 2).value(98000, 14, -1)
    w.u(0, 1).u(1, 1)          # bitmap: temperature present, pressure not
    w.value(80, 7)             # its confidence
    batch = _columnar.decode(message([12101, 7004, 222000, 236000, 101002, 31031, 33007], w), tables)
    got = by_name(batch)
    quality = got["#1#airTemperature->percentConfidence"]
    assert (quality.role, quality.key, quality.rank) == ("quality", "airTemperature->percentConfidence", 1)
    assert batch.columns[quality.qualifies].name == "#1#airTemperature"
    assert columns(batch)["#1#airTemperature->percentConfidence"] == [80]
    assert [got[f"#{k}#dataPresentIndicator"].role for k in (1, 2)] == ["bitmap", "bitmap"]
    assert {c.role for c in batch.columns if c.descriptor in (222000, 236000)} == {"marker"}


def test_many_quality_values_over_subsets_and_messages(tables):
    # 40 confidences, more than the attribute table starts with, in two
    # subsets of each of two messages: every one stays with its temperature.
    n = 40
    descriptors = [101000 + n, 12101, 222000, 236000, 101000 + n, 31031, 101000 + n, 33007]

    def subset(shift):
        w = BitWriter()
        for k in range(n):
            w.value(200.0 + k, 16, 2)
        for _ in range(n):
            w.u(0, 1)
        for k in range(n):
            w.value((k + shift) % 100, 7)
        return w.getvalue()

    one = message(descriptors, subset(0) + subset(1), subsets=2)
    two = message(descriptors, subset(2) + subset(3), subsets=2)
    batch = _columnar.decode_messages([(one, tables), (two, tables)])
    got, names = columns(batch), by_name(batch)
    for k in range(1, n + 1):
        quality = names[f"#{k}#airTemperature->percentConfidence"]
        assert batch.columns[quality.qualifies].name == f"#{k}#airTemperature"
        assert got[quality.name] == [(k - 1 + shift) % 100 for shift in range(4)]
        assert got[f"#{k}#airTemperature"] == [200.0 + k - 1] * 4
    assert sum(c.role == "quality" for c in batch.columns) == n


def test_reread_values_and_associated_fields_are_tied_to_their_element(tables):
    w = BitWriter().value(3, 6)              # 0-31-021 significance
    w.u(2, 2).value(250.0, 16, 2)            # associated field, then temperature
    w.value(9, 7)                            # block number, without
    w.u(0, 1).u(1, 1)                        # bitmap: temperature, not block number
    w.value(4, 6)                            # 0-08-023 which statistic
    w.value(1.5, 16, 2)                      # temperature's first-order statistic
    descriptors = [204002, 31021, 12101, 204000, 1001, 224000, 236000, 101002, 31031, 8023, 224255]
    batch = _columnar.decode(message(descriptors, w), tables)
    got = by_name(batch)
    field = got["#1#airTemperature->associatedField"]
    statistic = got["#1#airTemperature->firstOrderStatisticalValue"]
    assert (field.role, statistic.role) == ("associated", "quality")
    assert batch.columns[field.qualifies].name == batch.columns[statistic.qualifies].name == "#1#airTemperature"
    values = columns(batch)
    assert (values["#1#airTemperature->associatedField"], values["#1#airTemperature->firstOrderStatisticalValue"]) == ([2], [1.5])


def test_a_second_quality_value_of_one_kind_is_chained(tables):
    w = BitWriter().value(250.0, 16, 2).u(0, 1).value(80, 7).value(90, 7)
    batch = _columnar.decode(message([12101, 222000, 236000, 101001, 31031, 33007, 222000, 237000, 33007], w), tables)
    got = columns(batch)
    assert got["#1#airTemperature->percentConfidence"] == [80]
    assert got["#1#airTemperature->percentConfidence->percentConfidence"] == [90]


def test_quality_values_of_two_kinds_on_one_element_chain_apart(tables):
    # The first kind met on a column and the others are counted in different
    # places; each message of a batch counts afresh.
    def one(first, second, third, fourth):
        w = BitWriter().value(250.0, 16, 2).u(0, 1).value(first, 7).u(second, 2).u(third, 2).value(fourth, 7)
        reuse = [222000, 237000]
        return message([12101, 222000, 236000, 101001, 31031, 33007, *reuse, 33002, *reuse, 33002, *reuse, 33007], w)

    got = columns(_columnar.decode_messages([(one(80, 1, 2, 90), tables), (one(70, 0, 1, 60), tables)]))
    assert got["#1#airTemperature->percentConfidence"] == [80, 70]
    assert got["#1#airTemperature->percentConfidence->percentConfidence"] == [90, 60]
    assert got["#1#airTemperature->qualityInformation"] == [1, 0]
    assert got["#1#airTemperature->qualityInformation->qualityInformation"] == [2, 1]


# --------------------------------------------------------------------------
# Subset boundaries


def test_subset_starts_of_8000_subsets(tables, tmp_path):
    # A subset is 300 bits, so eight of them fill whole octets and the bytes
    # can be joined without one writer growing to the whole message.
    chunks = []
    for first in range(0, 8000, 8):
        w = BitWriter()
        for s in range(first, first + 8):
            for k in range(10):
                w.value(10 * (s % 1000) + k * 10000, 14, -1).value(200.0 + k, 16, 2)
        chunks.append(w.getvalue())
    data = message([102010, 7004, 12101], b"".join(chunks), subsets=8000)
    assert _columnar.subset_starts(data, tables) == list(range(0, 160000, 20))
    (found,) = morvane.read(data, tables)
    subsets = found.subsets()
    assert len(subsets) == 8000
    assert [v.data for v in subsets[1234][:4]] == [2340.0, 200.0, 12340.0, 201.0]
    assert all(len(s) == 20 for s in subsets)


def test_subset_starts_follow_replication_and_compression(tables):
    flat = _morvane.decode_values_with_tables(soundings([2, 0, 3]), tables)
    starts = _columnar.subset_starts(soundings([2, 0, 3]), tables)
    assert starts == [0, 6, 8]
    assert [flat[i].descriptor for i in starts] == [1001] * 3
    w = BitWriter().compressed([1, 2], 7).compressed([100, 200], 16)
    assert _columnar.subset_starts(message([1001, 12101], w, subsets=2, compressed=True), tables) == [0, 2]


def test_errors_read_as_in_morvane(tables):
    broken = soundings([1])[:-10]
    with pytest.raises(ValueError) as expected:
        _morvane.decode_values_with_tables(broken, tables)
    for function in (_columnar.subset_starts, _columnar.decode):
        with pytest.raises(ValueError) as got:
            function(broken, tables)
        assert str(got.value) == str(expected.value)
    with pytest.raises(TypeError, match="must be TableSet"):
        _columnar.decode(broken, object())


# --------------------------------------------------------------------------
# Exports


def test_numpy_reads_the_columns_without_copying(tables):
    np = pytest.importorskip("numpy")
    batch = _columnar.decode(soundings([2, 0, 3]), tables)
    i = batch.index("#1#airTemperature")
    a, b = np.asarray(batch.values(i)), np.asarray(batch.values(i))
    assert a.dtype == np.float64 and a.shape == (3,) and np.shares_memory(a, b)
    assert np.asarray(batch.valid(i)).tolist() == [True, False, True]
    with pytest.raises(KeyError):
        batch.index("#9#airTemperature")


def test_arrow_export_of_a_corpus_file(shared_data):
    pa = pytest.importorskip("pyarrow")
    path = shared_data / "bufr" / "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"
    messages = [(m.original, m.tables) for m in morvane.read_messages(path) if m.error is None]
    batch = _columnar.decode_messages(messages)
    table = pa.table(batch)
    assert table.num_rows == batch.num_rows and table.column_names == [c.name for c in batch.columns]
    assert table.to_pydict() == columns(batch)
    field = table.schema.field("#1#stationNumber")
    assert field.type == pa.int64() and field.nullable
    assert field.metadata[b"descriptor"] == b"001002" and field.metadata[b"unit"] == b"Numeric"
    assert pa.schema(batch) == table.schema


# --------------------------------------------------------------------------
# Columns meeting values of another type, odd items


def test_a_column_takes_every_type_the_messages_give_it(tables, tmp_path):
    # The same descriptor is an integer code in one table set, a scaled
    # number in another and text in a third; one batch holds all three.
    def table_set(name, entry):
        path = write_table_dir(tmp_path / name, {**ELEMENTS, 63001: entry})
        return _morvane.TableSet.from_eccodes(str(path))

    as_int = table_set("int", element("X", "m", 0, 0, 8, "x"))
    as_float = table_set("float", element("X", "m", 1, 0, 8, "x"))
    as_text = table_set("text", element("X", "CCITT IA5", 0, 0, 16, "x"))
    batch = _columnar.decode_messages([
        (message([63001], BitWriter().value(7, 8)), as_int),
        (message([63001], BitWriter().value(2.5, 8, 1)), as_float),
    ])
    assert by_name(batch)["#1#x"].type == "float64"
    assert columns(batch)["#1#x"] == [7.0, 2.5]
    batch = _columnar.decode_messages([
        (message([63001], BitWriter().value(7, 8)), as_int),
        (message([63001], BitWriter().text("AB", 16)), as_text),
        (message([63001], BitWriter().value(None, 8)), as_int),
    ])
    assert columns(batch)["#1#x"] == ["7", "AB", None]


def test_integers_beyond_int64_become_floats(tmp_path):
    path = write_table_dir(tmp_path / "wide", {63002: element("WIDE", "Numeric", 0, 0, 64, "wide")})
    wide = _morvane.TableSet.from_eccodes(str(path))
    batch = _columnar.decode(message([63002], BitWriter().u(2**63 + 2048, 64)), wide)
    assert by_name(batch)["#1#wide"].type == "float64"
    assert columns(batch)["#1#wide"] == [float(2**63 + 2048)]


def test_inserted_text_and_bytes_above_ascii(tables):
    w = BitWriter().raw_bytes(b"OK\xe9  ").text("N\xe9ME", 48)
    batch = _columnar.decode(message([205005, 1015], w), tables)
    inserted, name = batch.columns
    assert (inserted.role, inserted.type, inserted.descriptor) == ("text", "text", 205005)
    assert (batch.values(0), batch.values(1)) == (["OK?"], ["N?ME"])


def test_compressed_quality_and_associated_columns(tables):
    w = BitWriter()
    w.compressed([1, 2], 2)                       # associated field of temperature
    w.compressed([27315, 27415], 16)              # temperature
    w.compressed([0, 0], 1)                       # bitmap entry: temperature
    w.compressed([50, None], 7)                   # its confidence
    batch = _columnar.decode(message([204002, 12101, 204000, 222000, 236000, 101001, 31031, 33007], w,
                                     subsets=2, compressed=True), tables)
    got = columns(batch)
    assert got["#1#airTemperature"] == [273.15, 274.15]
    assert got["#1#airTemperature->associatedField"] == [1, 2]
    assert got["#1#airTemperature->percentConfidence"] == [50, None]
    qualities = [c for c in batch.columns if c.role in ("quality", "associated")]
    assert {batch.columns[c.qualifies].name for c in qualities} == {"#1#airTemperature"}


# --------------------------------------------------------------------------
# The objects handed out


def test_batch_objects_are_read_only_views(tables):
    batch = _columnar.decode(soundings([1, 2]), tables)
    view = memoryview(batch.values(batch.index("#1#pressure")))
    assert (view.readonly, view.shape, view.itemsize) == (True, (2,), 8)
    with pytest.raises(TypeError):
        view[0] = 1
    with pytest.raises(IndexError):
        batch.values(batch.num_columns)
    with pytest.raises(TypeError):
        _columnar.Batch()
    columns_list = batch.columns
    columns_list.clear()
    assert len(batch.columns) == batch.num_columns == 6
    assert "Column(#1#pressure, 007004, int64, element)" in repr(batch.columns)


def test_elements_give_every_column_at_once(tables):
    batch = _columnar.decode(soundings([2, 0, 3]), tables)
    descriptors, keys, types = batch.elements
    assert descriptors[:4] == (1001, 31001, 7004, 12101)
    assert keys[:4] == ("blockNumber", "delayedDescriptorReplicationFactor", "pressure", "airTemperature")
    assert types[:4] == ("int64", "int64", "int64", "float64")
    assert list(zip(descriptors, keys, types)) == [(c.descriptor, c.key, c.type) for c in batch.columns]


def test_key_arrays_read_columns_as_their_buffers_do_and_counts_agree_on_equal_factors(tables):
    import numpy as np

    w = BitWriter()
    w.compressed([1, 1, 1], 7)
    w.compressed([27315, None, 28000], 16)
    w.compressed_text(["ABC", None, "DE"], 48, same=False)
    batch = _columnar.decode(message([1001, 12101, 1015], w, subsets=3, compressed=True), tables)
    chosen = [1, 0, 2, 1]  # float, int, text, and a column twice
    numbers, valid = np.full((4, 3), -1.0), np.zeros((4, 3), dtype=bool)
    _columnar.key_arrays(batch, chosen, numbers, valid)
    for j, i in enumerate(chosen):
        assert valid[j].tolist() == memoryview(batch.valid(i)).tolist()
        expected = [0.0] * 3 if i == 2 else np.asarray(batch.values(i), dtype=np.float64).tolist()
        assert numbers[j][valid[j]].tolist() == np.asarray(expected)[valid[j]].tolist()
    with pytest.raises(ValueError, match="must be 6 aligned"):
        _columnar.key_arrays(batch, [0, 1], np.zeros(5), np.zeros(6, dtype=bool))
    with pytest.raises(IndexError):
        _columnar.key_arrays(batch, [3], np.zeros(3), np.zeros(3, dtype=bool))
    # replication factors: equal over all rows, or not
    factor = [c.name for c in _columnar.decode(soundings([2, 2]), tables).columns].index(
        "#1#delayedDescriptorReplicationFactor")
    assert _columnar.counts_agree(_columnar.decode(soundings([2, 2, 2]), tables), [factor])
    assert not _columnar.counts_agree(_columnar.decode(soundings([2, 3, 2]), tables), [factor])
    assert not _columnar.counts_agree(batch, [1])  # one missing
    # a column left undecoded is refused, as Batch.values refuses it
    keys = _columnar.decode_keys([(message([1001, 12101, 1015], w, subsets=3, compressed=True), tables)],
                                 ["airTemperature"])
    with pytest.raises(ValueError, match="not decoded"):
        _columnar.key_arrays(keys, [0], np.zeros(3), np.zeros(3, dtype=bool))
    with pytest.raises(ValueError, match="not decoded"):
        _columnar.counts_agree(keys, [0])


def test_whole_integers_take_only_what_int64_holds_exactly():
    import numpy as np

    def whole(values, valid):
        out = np.full(len(values), -7, dtype=np.int64)
        ok = _columnar.whole_integers(np.array(values, dtype=np.float64), np.array(valid, dtype=bool), out)
        return out.tolist() if ok else None

    assert whole([3.0, np.nan, -2.0**62, 0.5], [True, False, True, False]) == [3, 0, -2**62, 0]
    for bad in (0.5, np.nan, np.inf, 2.0**63, -2.0**63):
        assert whole([1.0, bad], [True, True]) is None
    assert whole([], []) == []
    with pytest.raises(ValueError, match="must be 2 aligned"):
        _columnar.whole_integers(np.zeros(2), np.zeros(3, dtype=bool), np.zeros(2, dtype=np.int64))


def test_column_buffers_outlive_their_batch(tables):
    np = pytest.importorskip("numpy")
    batch = _columnar.decode(soundings([3]), tables)
    array = np.asarray(batch.values(batch.index("#3#airTemperature")))
    del batch
    assert array.tolist() == [200.2]


def test_arrow_stream_gives_one_batch_and_can_be_read_from_threads(tables):
    pa = pytest.importorskip("pyarrow")
    import threading

    data = soundings([2, 0, 3])
    reader = pa.RecordBatchReader.from_stream(_columnar.decode(data, tables))
    batches = list(reader)
    assert [b.num_rows for b in batches] == [3]
    assert batches[0].column("#3#pressure").null_count == 2

    results = []

    def decode_many() -> None:
        results.append([pa.table(_columnar.decode(data, tables)).to_pydict() for _ in range(50)])

    threads = [threading.Thread(target=decode_many) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == results[0][0] for run in results for r in run)
