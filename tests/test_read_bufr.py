"""morvane.read_bufr against pdbufr, the reader whose rows it reproduces.

pdbufr (over ecCodes) is the oracle, run at test time on the shared
messages: the same rows, columns, values and missing cells are expected.
"""

from __future__ import annotations

import io

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("_morvane")
import morvane  # noqa: E402

from conftest import BUFR_DIR, require_shared  # noqa: E402

SYNOP = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"
TEMP = "temp.e4.bufr"
HIRS = "M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr"
AIRCRAFT = "aircraft_mrar_compressed.bufr"
SENSOR_HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"

CASES = {
    "synop 2 m temperature": (SYNOP, dict(
        columns=["WMO_station_id", "stationNumber", "latitude", "longitude", "data_datetime",
                 "airTemperature", "typicalDate", "bufrHeaderCentre"],
        filters={SENSOR_HEIGHT: 2})),
    "temp levels": (TEMP, dict(
        columns=["stationNumber", "data_datetime", "pressure", "airTemperature", "dewpointTemperature",
                 "windDirection", "windSpeed"])),
    "hirs channels": (HIRS, dict(
        columns=["latitude", "longitude", "tovsOrAtovsOrAvhrrInstrumentationChannelNumber",
                 "brightnessTemperature"],
        filters={"count": slice(2, 4)})),
    "aircraft": (AIRCRAFT, dict(
        columns=["aircraftFlightNumber", "latitude", "longitude", "data_datetime", "flightLevel",
                 "airTemperature"])),
    "station filter": (SYNOP, dict(
        columns=["stationNumber", "airTemperature", SENSOR_HEIGHT], filters={"stationNumber": 37})),
    "list filter, rows kept when columns lack": (SYNOP, dict(
        columns=["stationNumber", "airTemperature", "dewpointTemperature", SENSOR_HEIGHT],
        filters={"stationNumber": [33, 38, 67], SENSOR_HEIGHT: [2, 5]}, required_columns=False)),
    "slice filter, required subset": (TEMP, dict(
        columns=["WMO_station_id", "pressure", "airTemperature", "windSpeed"],
        filters={"pressure": slice(50000, 85000)}, required_columns=["pressure", "windSpeed"])),
    "data filter splitting compressed subsets": (AIRCRAFT, dict(
        columns=["latitude", "flightLevel", "airTemperature"], filters={"flightLevel": slice(9000, 12000)})),
    "fractional seconds": ("atap_55.e4.bufr", dict(columns=["latitude", "longitude", "data_datetime"])),
    "callable filter on a header key": (TEMP, dict(
        columns=["stationNumber", "pressure", "typicalTime"],
        filters={"typicalHour": lambda h: h >= 12, "pressure": slice(None, 10000)})),
    "text range, text callable, a long list": (SYNOP, dict(
        columns=["stationNumber", "stationOrSiteName", "airTemperature"],
        filters={"stationOrSiteName": slice("B", "M"), "stationNumber": lambda n: n % 2 == 1,
                 "blockNumber": [10, 11, 12, 13, 14, 15]})),
    "text callable": (SYNOP, dict(
        columns=["stationOrSiteName", "pressure"], filters={"stationOrSiteName": lambda s: s.startswith("H")},
        required_columns=False)),
}


def _missing(v) -> bool:
    return v is None or v is pd.NA or v is pd.NaT or (isinstance(v, str) and v == "") or (
        isinstance(v, float) and np.isnan(v))


def _normalised(frame):
    """Every missing cell as None: pdbufr shows a missing text as '' and a
    column it holds no number in as None; morvane has typed missing values."""
    frame = frame.reset_index(drop=True).copy()
    for name in frame.columns:
        if not pd.api.types.is_datetime64_any_dtype(frame[name]):
            frame[name] = pd.Series([None if _missing(v) else v for v in frame[name].astype(object)],
                                    dtype=object)
    return frame


@require_shared
@pytest.mark.parametrize("case", list(CASES))
def test_rows_match_pdbufr(case):
    pdbufr = pytest.importorskip("pdbufr")
    name, query = CASES[case]
    path = str(BUFR_DIR / name)
    expected = _normalised(pdbufr.read_bufr(path, **query))
    got = _normalised(morvane.read_bufr(path, **query))
    assert len(expected) > 0, "the query should select something"
    assert list(got.columns) == list(expected.columns)
    pd.testing.assert_frame_equal(got, expected, check_dtype=False)


# Messages of many shapes: uncompressed subsets with differing replications,
# compressed satellite and profiler data, quality bitmaps, fractional seconds.
# (AMV messages with several quality bitmaps are left out: ecCodes names the
# values of their third bitmap after the elements they qualify.)
SHAPES = ["synop_multi_subset_uncompressed.bufr", "ship_11.e4.bufr", "buoy_27.e4.bufr",
          "temp_101.e4.bufr", "pgps_110.e4.bufr", "profiler_european.e4.bufr", "mhen_55.bufr",
          "b005_89.e4.bufr", "uegabe.bufr", "ens_multi_subset_uncompressed.e4.bufr"]
GENERIC = [
    dict(columns=["latitude", "longitude", "data_datetime", "airTemperature"], required_columns=False),
    dict(columns=["WMO_station_id", "typicalDate", "pressure", "windSpeed", "windDirection"],
         required_columns=["windSpeed"]),
]


@require_shared
@pytest.mark.parametrize("name", SHAPES)
def test_rows_match_pdbufr_across_message_shapes(name):
    pdbufr = pytest.importorskip("pdbufr")
    for query in GENERIC:
        _assert_rows_as_pdbufr(pdbufr, str(BUFR_DIR / name), query)


def _assert_rows_as_pdbufr(pdbufr, path, query):
    expected = _normalised(pdbufr.read_bufr(path, **query))
    got = _normalised(morvane.read_bufr(path, **query))
    if expected.empty:
        assert got.empty
        return
    assert list(got.columns) == list(expected.columns)
    pd.testing.assert_frame_equal(got, expected, check_dtype=False)


# Edition 3 headers lack internationalDataSubCategory, which their rows then
# lack as they would a data key; the cyclone's header writes its year as 15.
HEADER_CASES = [("bufr-edition3/syno_2.bufr", False), ("bufr-edition3/ahws_139.bufr", False),
                ("bufr-edition3/syno_2.bufr", ["internationalDataSubCategory"]),
                ("bufr/tropical_cyclone.bufr", True)]


@require_shared
@pytest.mark.parametrize("name, required", HEADER_CASES)
def test_header_keys_a_message_lacks_or_writes_short_match_pdbufr(name, required):
    pdbufr = pytest.importorskip("pdbufr")
    query = dict(columns=["internationalDataSubCategory", "typicalDate", "stationNumber", "latitude"],
                 required_columns=required)
    _assert_rows_as_pdbufr(pdbufr, str(BUFR_DIR.parent / name), query)


@require_shared
def test_sensor_height_qualifies_the_temperature_after_it():
    frame = morvane.read_bufr(str(BUFR_DIR / SYNOP), ["stationNumber", SENSOR_HEIGHT, "airTemperature"],
                              filters={"stationNumber": 37}, required_columns=False)
    # One row per sensor-height group; only the 2 m one holds a temperature.
    with_temperature = frame[frame["airTemperature"].notna()]
    assert len(frame) > 1 and list(with_temperature[SENSOR_HEIGHT]) == [2.0]


@require_shared
def test_types_integers_times_and_missing_values():
    frame = morvane.read_bufr(str(BUFR_DIR / TEMP), ["stationNumber", "data_datetime", "pressure",
                                                     "windSpeed"], required_columns=False)
    assert pd.api.types.is_integer_dtype(frame["stationNumber"])
    assert frame["data_datetime"].dtype.kind == "M"
    assert frame["windSpeed"].dtype == np.float64 and frame["windSpeed"].isna().any()
    # Pressure is an integer element: kept integer, with <NA> where missing.
    assert pd.api.types.is_integer_dtype(frame["pressure"])


@pytest.mark.parametrize("route", ["blocks", "arrays", "dict", "changed"])
@pytest.mark.parametrize("owned", [False, True])
def test_frame_is_the_one_pandas_builds_from_the_columns(monkeypatch, route, owned):
    from morvane import _dataframe
    from morvane._dataframe import finish, frame_of

    taken = []

    def changed(*args, **kwargs):
        taken.append("changed")
        raise TypeError("create_dataframe_from_blocks() got an unexpected keyword argument")

    def counted(way, name):
        def call(*args, **kwargs):
            taken.append(name)
            return way(*args, **kwargs)
        return call

    # each way of making the frame, as the pandas at hand allows, and one
    # whose internals no longer take what they are given; the ways are
    # looked up again, as patched here, not taken from an earlier frame
    monkeypatch.setattr(_dataframe, "_PANDAS_WAYS", None)
    if route == "changed":
        monkeypatch.setattr(_dataframe, "_block_maker", lambda: changed)
    elif route == "blocks":
        blocks = _dataframe._block_maker()
        monkeypatch.setattr(_dataframe, "_block_maker", lambda: counted(blocks, "blocks"))
    else:
        monkeypatch.setattr(_dataframe, "_block_maker", lambda: None)
        monkeypatch.setattr(pd.DataFrame, "_from_arrays", counted(pd.DataFrame._from_arrays, "arrays"))
    if route == "dict":
        monkeypatch.setattr(_dataframe, "_sanitizer", lambda: None)
    valid = np.array([True, False, True])

    def given():
        # float and datetime columns apart and together, integers that hold
        # as int64 and one scaled past it, int64 values read as floats, text,
        # text no row holds (made holding None)
        return [("n", np.array([1.0, 0.0, 3.0]), valid, "int"),
                ("b", np.empty(3, dtype=object), np.zeros(3, dtype=bool), "missing"),
                ("x", np.array([1.5, 2.5, np.nan]), valid, "float"),
                ("s", np.array(["a", "b", "c"], dtype=object), valid, "text"),
                ("t", np.array([0, 1, 2], dtype=np.int64).view("datetime64[s]").astype("datetime64[us]"),
                 valid, "datetime"),
                ("m", np.array([7.0, 8.0, 9.0]), ~valid, "int"),
                ("o", np.array([None, None, None], dtype=object), valid, "text"),
                ("y", np.array([0.5, -0.0, 2.0]), ~valid, "float"),
                ("z", np.array([1.5, 0.0, 3.0]), valid, "int"),
                ("w", np.array([4, 5, 6], dtype=np.int64), ~valid, "float"),
                ("u", np.array([2, 9, 5], dtype=np.int64).view("datetime64[D]").astype("datetime64[us]"),
                 ~valid, "datetime")]

    kept = given()
    columns = given()
    arrays = [(values, ok) for _, values, ok, _ in columns]
    frame = frame_of(columns, 3, owned=owned)
    assert taken == ([] if route == "dict" else [route])
    # each column let go of once taken, by whichever route
    assert columns == [None] * len(kept)
    expected = pd.DataFrame({name: finish(values, ok, kind) for name, values, ok, kind in kept})
    pd.testing.assert_frame_equal(frame, expected)
    assert frame["z"].dtype == np.float64 and pd.api.types.is_integer_dtype(frame["n"])
    assert frame["t"].isna().tolist() == [False, True, False] and frame["w"].isna().tolist() == [True, False, True]
    assert frame["b"].tolist() == [None] * 3 and frame["b"].dtype == frame["o"].dtype
    # the same blocks, in the same order
    assert ([(b.dtype, b.mgr_locs.as_array.tolist()) for b in frame._mgr.blocks]
            == [(b.dtype, b.mgr_locs.as_array.tolist()) for b in expected._mgr.blocks])
    # the caller's arrays are left as they were, unless given as its own copies
    if not owned:
        for (values, ok), (_, before, ok_before, _) in zip(arrays, kept):
            np.testing.assert_array_equal(values, before)
            np.testing.assert_array_equal(ok, ok_before)
    # a frame users change and join like any other
    frame.loc[1, "x"] = 7.0
    assert frame["x"].tolist()[:2] == [1.5, 7.0] and arrays[2][0][1] != 7.0
    pd.testing.assert_frame_equal(pd.concat([frame, frame]).iloc[3:].reset_index(drop=True), frame)


@pytest.mark.parametrize("joined", [False, True])
@pytest.mark.parametrize("changed", [False, True])
def test_a_ready_float_block_is_the_frames_own(monkeypatch, joined, changed):
    # Float columns given already as one block: the frame's block of floats
    # when no other column joins it (an integer column read as floats does),
    # and the same frame either way, whichever route makes it.
    from morvane import _dataframe
    from morvane._dataframe import frame_of

    if changed:
        def refuses(*args):
            raise TypeError("create_dataframe_from_blocks() got an unexpected keyword argument")
        monkeypatch.setattr(_dataframe, "_PANDAS_WAYS", None)
        monkeypatch.setattr(_dataframe, "_block_maker", lambda: refuses)
    valid = np.array([True, False, True])

    def given():
        block = np.array([[1.5, 2.5, 3.5], [4.0, 5.0, 6.0]])
        written = np.array([valid, [False, True, True]])
        columns = [("x", block[0], written[0], "float"),
                   ("t", np.array([1, 2, 3], dtype=np.int64).view("datetime64[us]"), valid, "datetime"),
                   ("s", np.empty(3, dtype=object), np.zeros(3, dtype=bool), "missing"),
                   ("y", block[1], written[1], "float")]
        if joined:
            columns.insert(1, ("z", np.array([1.5, 0.0, 3.0]), valid, "int"))
        return block, written, columns

    block, written, columns = given()
    blank = columns[-2][1]
    frame = frame_of(columns, 3, owned=True, floats=(block, written))
    _, _, plain = given()
    expected = frame_of(plain, 3, owned=True)
    pd.testing.assert_frame_equal(frame, expected)
    assert frame["x"].isna().tolist() == [False, True, False] and frame["y"].isna().tolist() == [True, False, False]
    assert frame["s"].isna().all() and frame["t"].isna().tolist() == [False, True, False]
    assert ([(b.dtype, b.mgr_locs.as_array.tolist()) for b in frame._mgr.blocks]
            == [(b.dtype, b.mgr_locs.as_array.tolist()) for b in expected._mgr.blocks])
    floats = [b.values for b in frame._mgr.blocks if b.dtype == np.float64]
    assert len(floats) == 1 and np.shares_memory(floats[0], block) == (not joined and not changed)
    # (text no row holds, made holding None, as it is)
    assert np.shares_memory(frame["s"].to_numpy(), blank) == (not changed)
    frame.loc[0, "x"] = 9.0
    assert frame["x"].tolist()[0] == 9.0 and frame["y"].tolist()[1:] == [5.0, 6.0]


@require_shared
def test_reads_sharing_templates_agree_with_fresh_reads():
    # The structure of a template is worked out once for all reads; a read
    # with other columns or filter outcomes must not see another's rows.
    from morvane import _observations

    path = str(BUFR_DIR / AIRCRAFT)
    queries = [(["latitude", "airTemperature"], {}),
               (["flightLevel", "airTemperature"], {"flightLevel": slice(9000, 12000)}),
               (["latitude", "airTemperature"], {"flightLevel": slice(0, 3000)}),
               (["aircraftFlightNumber", "data_datetime"], {})]
    fresh = []
    for columns, filters in queries:
        _observations._WALKS.clear()
        fresh.append(morvane.read_bufr(path, columns, filters))
    for (columns, filters), expected in zip(queries * 2, fresh * 2):
        pd.testing.assert_frame_equal(morvane.read_bufr(path, columns, filters), expected)
    assert len({len(f) for f in fresh}) > 1


@require_shared
def test_table_sets_are_not_all_held(monkeypatch):
    # A caller may load tables for each read: what is remembered of table
    # sets must not keep every one of them alive.
    from morvane import _groups, _observations
    from morvane._tables import BUNDLED_ROOT, Tables

    monkeypatch.setattr(_groups.NAMES, "TABLES_KEPT", 2)
    path, columns = str(BUFR_DIR / AIRCRAFT), ["latitude", "airTemperature"]
    expected = morvane.read_bufr(path, columns)
    for _ in range(4):
        pd.testing.assert_frame_equal(morvane.read_bufr(path, columns, tables=Tables(BUNDLED_ROOT)), expected)
        assert len(_groups.NAMES._cache) <= 2
        held = {key[0] for key in _observations._WALKS}
        assert held <= set(_groups.NAMES._cache)


@require_shared
def test_sources_path_bytes_file_object_and_list_agree():
    columns = ["stationNumber", "airTemperature"]
    path = BUFR_DIR / TEMP
    by_path = morvane.read_bufr(str(path), columns)
    data = path.read_bytes()
    pd.testing.assert_frame_equal(morvane.read_bufr(data, columns), by_path)
    pd.testing.assert_frame_equal(morvane.read_bufr(io.BytesIO(data), columns), by_path)
    twice = morvane.read_bufr([path, str(path)], columns)
    pd.testing.assert_frame_equal(twice, pd.concat([by_path, by_path], ignore_index=True))


@require_shared
@pytest.mark.parametrize("name, query", [
    (TEMP, dict(columns=["stationNumber", "pressure", "airTemperature"], filters={"count": slice(3, 200)})),
    (SYNOP, dict(columns=["stationNumber", "cloudType", SENSOR_HEIGHT], required_columns=False)),
    (AIRCRAFT, dict(columns=["latitude", "flightLevel", "data_datetime"])),
])
def test_frames_of_a_read_join_to_the_read(name, query):
    """Cut between runs of messages, the frames hold the read's rows in
    order; the count key still numbers messages from the start of the input."""
    read_bufr_frames = morvane.read_bufr_frames
    path = str(BUFR_DIR / name)
    whole = morvane.read_bufr(path, **query)
    for rows in (1, 300, 10**9):
        frames = list(read_bufr_frames(path, **query, rows=rows))
        assert all(len(f) for f in frames)
        if rows == 1 and name == SYNOP:
            assert len(frames) > 1  # rows come a run of messages at a time
        joined = pd.concat(frames, ignore_index=True)[list(whole.columns)]
        pd.testing.assert_frame_equal(joined, whole, check_dtype=False)
    with pytest.raises(ValueError, match="at least 1"):
        next(read_bufr_frames(path, **query, rows=0))


@require_shared
def test_header_filter_skips_messages_before_decoding(monkeypatch):
    from morvane import _observations

    decoded = []
    original = _observations.message_groups

    def counting(msg, wanted):
        decoded.append(msg.index)
        return original(msg, wanted)

    monkeypatch.setattr(_observations, "message_groups", counting)
    runs = []
    items = _observations.Items

    def counting_runs(messages):
        runs.append(len(messages))
        return items(messages)

    monkeypatch.setattr(_observations, "Items", counting_runs)
    path = str(BUFR_DIR / TEMP)
    frame = morvane.read_bufr(path, ["stationNumber"], filters={"typicalHour": 99})
    assert frame.empty and decoded == [] and runs == []
    # a filter that passes some messages decodes those alone
    hours = [m.message.typical_hour for m in morvane.read(path)]
    frame = morvane.read_bufr(path, ["stationNumber"], filters={"typicalHour": hours[0]})
    assert len(frame) > 0 and sum(runs) + len(decoded) == hours.count(hours[0])


def test_bad_arguments_are_reported():
    with pytest.raises(ValueError, match="at least one column"):
        morvane.read_bufr(b"", [])
    with pytest.raises(TypeError, match="required_columns"):
        morvane.read_bufr(b"", ["latitude"], required_columns=3)
    with pytest.raises(ValueError, match="errors"):
        morvane.read_bufr(b"", ["latitude"], errors="ignore")


@require_shared
def test_bad_message_raises_or_is_skipped():
    data = (BUFR_DIR / TEMP).read_bytes()
    seen = []
    frame = morvane.read_bufr(b"BUFR" + b"\0" * 10 + data, ["stationNumber"], errors="skip",
                              on_error=seen.append)
    assert len(seen) == 1 and len(frame) > 0
    with pytest.raises(morvane.MessageError):
        morvane.read_bufr(b"BUFR" + b"\0" * 10 + data, ["stationNumber"])


class _KeySequence(dict):
    """A message as pdbufr sees it: keys in order, values, descriptor codes."""

    def __init__(self, names, codes, values):
        counts = {}
        self.order = []
        super().__init__()
        self.codes = {}
        for name, code, value in zip(names, codes, values):
            counts[name] = counts.get(name, 0) + 1
            key = f"#{counts[name]}#{name}"
            self.order.append(key)
            self[key] = value
            self.codes[key] = code

    def __iter__(self):
        return iter(self.order)

    def is_coord(self, key):
        return self.codes[key] <= 9999


def test_row_cutting_matches_pdbufr_on_random_structures():
    """Random key sequences (coordinates nesting, repeating, filtered) cut
    into rows by pdbufr's own functions and by morvane's."""
    pytest.importorskip("pdbufr")
    import random

    from pdbufr.core.filters import BufrFilter
    from pdbufr.core.structure import filter_keys
    from pdbufr.readers.generic import extract_observations

    from morvane._rows import make_walk

    pool = {"station": 1002, "hour": 4004, "height": 7032, "channel": 5042, "level": 7004,
            "temperature": 12101, "wind": 11002, "cloud": 20011}
    rng = random.Random(20261208)
    for _ in range(400):
        names = [rng.choice(list(pool)) for _ in range(rng.randint(1, 30))]
        codes = [pool[n] for n in names]
        values = [rng.randint(0, 3) for _ in names]
        wanted = set(rng.sample(list(pool), rng.randint(1, 5)))
        filtered = set(rng.sample(sorted(wanted), rng.randint(0, min(2, len(wanted)))))
        message = _KeySequence(names, codes, values)
        filters = {k: BufrFilter.from_user([1, 2]) for k in filtered}
        expected = list(extract_observations(message, list(filter_keys(message, tuple(sorted(wanted)))),
                                             filters))
        walk = make_walk(codes, names, 0, (), frozenset(wanted), frozenset(filtered))
        passed = {p: values[p] in (1, 2) for p in walk.filter_positions}
        got = [{k: values[r] for k, r in plan.items()}
               for plan in walk.plans(frozenset(filtered), passed, False)]
        assert got == expected, (names, values, wanted, filtered)


def test_rows_of_many_subsets_match_pdbufr_on_random_structures():
    """Random runs of subsets (coordinates nesting and repeating, filtered
    keys, quality information after an operator, operators and unnamed
    elements between) cut in one pass, against pdbufr's rows of the keys of
    each subset."""
    pytest.importorskip("pdbufr")
    _columnar = pytest.importorskip("morvane._columnar")
    import random

    from pdbufr.core.filters import BufrFilter
    from pdbufr.core.structure import filter_keys
    from pdbufr.readers.generic import extract_observations

    pool = {"station": 1002, "hour": 4004, "height": 7032, "channel": 5042, "level": 7004,
            "temperature": 12101, "wind": 11002, "cloud": 20011}
    names = list(pool)
    rng = random.Random(20261209)
    for _ in range(200):
        wanted = set(rng.sample(names, rng.randint(1, 5)))
        filtered = set(rng.sample(sorted(wanted), rng.randint(0, min(2, len(wanted)))))
        filters = {k: BufrFilter.from_user([1, 2]) for k in filtered}
        codes, numbers, values, starts, expected = [], [], [], [0], []
        for _ in range(rng.randint(1, 4)):
            keys, key_codes, key_values, quality = [], [], [], False
            for _ in range(rng.randint(0, 25)):
                r, value = rng.random(), rng.randint(0, 3)
                if r < 0.05:
                    code, number, quality = 222000, -1, True
                elif r < 0.1:
                    code, number, quality = 235000, -1, False
                elif r < 0.15:
                    code, number = rng.choice([(201129, -1), (12102, -1)])  # no name: no key
                else:
                    name = rng.choice(names)
                    code, number = pool[name], names.index(name)
                    if not quality:
                        keys.append(name)
                        key_codes.append(code)
                        key_values.append(value)
                codes.append(code)
                numbers.append(number)
                values.append(value)
            starts.append(len(codes))
            message = _KeySequence(keys, key_codes, key_values)
            expected += extract_observations(message, list(filter_keys(message, tuple(sorted(wanted)))),
                                             filters)
        outcomes = [0 if n < 0 or names[n] not in filtered else 1 if v in (1, 2) else 2
                    for n, v in zip(numbers, values)]
        code_names = np.full(20012, -1, dtype=np.int32)
        code_names[[pool[n] for n in names]] = np.arange(len(names))
        row_starts, row_names, refs, _ = _columnar.cut_subsets(
            np.array(codes, dtype=np.uint32).tobytes(), code_names.tobytes(),
            np.array(outcomes, dtype=np.uint8).tobytes(), np.array(starts, dtype=np.uint64).tobytes(),
            np.array([n in wanted for n in names], dtype=np.uint8).tobytes(), b"", b"",
            np.array([names.index(f) for f in sorted(filtered)], dtype=np.int32).tobytes(), -1, -1, 0)
        bounds = np.frombuffer(row_starts, dtype=np.int64).tolist()
        keys_of = np.frombuffer(row_names, dtype=np.int32).tolist()
        items_of = np.frombuffer(refs, dtype=np.int64).tolist()
        got = [{names[keys_of[i]]: values[items_of[i]] for i in range(bounds[r], bounds[r + 1])}
               for r in range(len(bounds) - 1)]
        assert got == expected, (codes, numbers, values, starts, wanted, filtered)


@require_shared
@pytest.mark.parametrize("name", [SYNOP, "synop_multi_subset_uncompressed.bufr"])
def test_uncompressed_subsets_read_as_columns_match_pdbufr(name, monkeypatch):
    """Large uncompressed messages go through the columnar decoder, where
    subsets with different replications are told apart."""
    pdbufr = pytest.importorskip("pdbufr")
    from morvane import _groups

    monkeypatch.setattr(_groups, "OBJECTS_UP_TO", 0)
    query = dict(columns=["stationNumber", "airTemperature", "cloudType", SENSOR_HEIGHT],
                 required_columns=False)
    path = str(BUFR_DIR / name)
    expected = _normalised(pdbufr.read_bufr(path, **query))
    got = _normalised(morvane.read_bufr(path, **query))
    assert len(expected) > 0 and list(got.columns) == list(expected.columns)
    pd.testing.assert_frame_equal(got, expected, check_dtype=False)


def test_data_datetime_follows_the_calendar():
    """Dates (leap years, month ends, impossible days, held and missing
    parts) as Python's calendar makes them, to the microsecond."""
    import datetime

    from morvane import _computed

    rng = np.random.default_rng(7)
    n = 4000
    year = rng.choice([1, 1900, 1999, 2000, 2024, 2100, 9999, 0, 10000], n)
    month = rng.integers(0, 14, n)
    day = rng.integers(0, 33, n)
    hour, minute = rng.integers(0, 25, n), rng.integers(0, 61, n)
    second = rng.choice([0.0, 59.0, 60.0, 12.5, 0.25, -1.0], n)  # fractions binary-exact
    valid = rng.random((6, n)) > 0.05
    held = rng.random((6, n)) > 0.1
    held[:3] = True
    keys = ("year", "month", "day", "hour", "minute", "second")
    values = (year, month, day, hour, minute, second)
    parts = {k: (v.astype(np.float64), h, ok) for k, v, h, ok in zip(keys, values, held, valid)}
    stamp, exists = _computed.data_datetime(parts, n)
    for i in range(n):
        given = [v[i] if held[j, i] else 0 for j, v in enumerate(values)]
        usable = all(valid[j, i] or not held[j, i] for j in range(6))
        try:
            whole = int(given[5])
            want = datetime.datetime(int(given[0]), int(given[1]), int(given[2]), int(given[3]),
                                     int(given[4]), whole, round((given[5] - whole) * 1e6))
        except ValueError:
            want = None
        if not usable or want is None:
            assert not exists[i], (i, given)
        else:
            assert exists[i] and stamp[i] == np.datetime64(want, "us"), (i, given, stamp[i])


def test_data_datetime_in_one_pass_equals_the_numpy_form():
    """Fractional seconds (decimals ecCodes stores as integer times 10^-k),
    out-of-range and text parts: both forms give the same times."""
    from numpy_times import numpy_data_datetime

    from morvane import _computed

    rng = np.random.default_rng(11)
    n = 3000
    seconds = np.array([4.132, 59.9999996, 0.000001, 12.5, 7.1234567, 1e30, -0.5, 30.0, 0.1 + 0.2])
    values = (rng.choice([1900.0, 2000.0, 2023.0, 1e19, 0.0], n), rng.integers(1, 13, n).astype(float),
              rng.integers(1, 31, n).astype(float), rng.integers(0, 24, n).astype(float),
              rng.integers(0, 60, n).astype(float), rng.choice(seconds, n))
    held = rng.random((6, n)) > 0.05
    held[:3] = True
    valid = held & (rng.random((6, n)) > 0.05)
    parts = {k: (v, h, ok) for k, v, h, ok in zip(_computed.TIME_KEYS, values, held, valid)}
    # a day given as text, as a column mixing text and numbers holds it
    parts["day"] = (np.array([str(int(d)) if i % 7 else "x" for i, d in enumerate(values[2])], dtype=object),
                    held[2], valid[2])
    day_valid = valid[2].copy()
    # parts a template lacks, and parts that are strided views of larger arrays
    strided = {k: tuple(np.repeat(a, 2)[::2] for a in v) for k, v in parts.items() if k != "day"}
    # rows repeating the row before (levels of one report), some only in their values
    repeated = {k: tuple(np.repeat(a, 3) for a in v) for k, v in parts.items()}
    repeated["hour"][2][1::3] = False
    repeated["minute"][0][2::3] = 0.0
    # runs of rows sharing a date (impossible ones too) but not their times
    dated = {k: tuple(np.repeat(a[: n // 5], 5) for a in v) if k in ("year", "month", "day") else v
             for k, v in parts.items()}
    for given in (parts, {**strided, "day": parts["day"]}, {k: v for k, v in parts.items() if k != "minute"},
                  repeated, dated):
        rows = len(given["year"][0])
        fast, fast_exists = _computed.data_datetime(given, rows)
        with np.errstate(invalid="ignore"):  # numpy's casts of the out-of-range values
            slow, slow_exists = numpy_data_datetime(given, rows)
        assert fast_exists.tolist() == slow_exists.tolist() and fast_exists.any() and not fast_exists.all()
        assert (fast[fast_exists] == slow[slow_exists]).all()
    # the text day's unreadable values leave the column's own validity alone
    assert (parts["day"][2] == day_valid).all()
