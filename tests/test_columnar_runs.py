"""morvane._columnar: runs of one-subset messages in one batch, where short
columns share the batch's storage and longer ones grow out of it, and
batches with many keys."""

from __future__ import annotations

import pytest

import _morvane
from bufr_builder import BitWriter, element, message, write_table_dir
from morvane import _columnar

ELEMENTS = {
    1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7, "blockNumber"),
    1015: element("STATION NAME", "CCITT IA5", 0, 0, 48, "stationOrSiteName"),
    7004: element("PRESSURE", "Pa", -1, 0, 14, "pressure"),
    12101: element("TEMPERATURE", "K", 2, 0, 16, "airTemperature"),
    31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8,
                   "delayedDescriptorReplicationFactor"),
    31031: element("DATA PRESENT INDICATOR", "FLAG TABLE", 0, 0, 1, "dataPresentIndicator"),
    33007: element("PER CENT CONFIDENCE", "%", 0, 0, 7, "percentConfidence"),
}
# Keys long and short, and written codes where the abbreviation is missing.
MANY = {62000 + y: element(f"LOCAL {y}", "Numeric", 0, 0, 8,
                           "" if y % 7 == 0 else f"localElementNumber{y}" if y % 2 else f"k{y}")
        for y in range(1, 151)}


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    path = write_table_dir(tmp_path_factory.mktemp("runs"), {**ELEMENTS, **MANY})
    return _morvane.TableSet.from_eccodes(str(path))


def columns(batch):
    """{name: list of values with None for nulls} of a batch."""
    out = {}
    for i, column in enumerate(batch.columns):
        values = batch.values(i)
        if column.type != "text":
            valid = memoryview(batch.valid(i)).tolist()
            values = [v if ok else None for v, ok in zip(memoryview(values).tolist(), valid)]
        out[column.name] = values
    return out


def sounding(k):
    """One subset: k % 4 levels, confidences of the temperatures in every
    fifth message and a station name in every third."""
    levels = k % 4
    w = BitWriter().value(k % 100, 7).value(levels, 8)
    for level in range(levels):
        w.value(100000 - 10000 * level, 14, -1).value(200.0 + k % 50 + level / 10, 16, 2)
    codes = [1001, 102000, 31001, 7004, 12101]
    if k % 5 == 0 and levels:
        # The bitmap covers block number, factor and each level's pair.
        entries = 2 + 2 * levels
        codes += [222000, 236000, 101000 + entries, 31031, 101000 + levels, 33007]
        for i in range(entries):
            w.u(0 if i >= 2 and i % 2 == 1 else 1, 1)
        for level in range(levels):
            w.value((k + level) % 100, 7)
    if k % 3 == 0:
        w.text(f"S{k}", 48)
        codes.append(1015)
    return message(codes, w)


@pytest.mark.parametrize("count", [3, 64, 65, 200, 600])
def test_a_run_of_one_subset_messages_holds_each_message_as_decoded_alone(tables, count):
    # 64 rows of 8 octets fit the storage short columns share; 600 rows of
    # validity do not: columns of every length, first seen in any message.
    data = [sounding(k) for k in range(count)]
    alone = [columns(_columnar.decode(d, tables)) for d in data]
    batch = _columnar.decode_messages([(d, tables) for d in data])
    got = columns(batch)
    assert batch.num_rows == count and batch.message_rows == list(range(count + 1))
    assert set(got) == {name for each in alone for name in each}
    for name, values in got.items():
        assert values == [each[name][0] if name in each else None for each in alone], name
    if count > 15:
        assert got["#3#airTemperature->percentConfidence"][:16] == [None] * 15 + [17]
        assert got["#1#stationOrSiteName"][:4] == ["S0", None, None, "S3"]


def test_many_keys_are_told_apart_and_found_again(tables):
    codes = sorted(MANY)
    w = BitWriter()
    for code in codes:
        w.value(code % 256, 8)
    first = message(codes, w)
    # The same elements backwards and twice: each found again by its key.
    w = BitWriter()
    for code in reversed(codes):
        w.value((code + 1) % 256, 8).value((code + 2) % 256, 8)
    second = message([c for code in reversed(codes) for c in (code, code)], w)
    batch = _columnar.decode_messages([(first, tables), (second, tables)])
    got = columns(batch)

    def key(code):
        return MANY[code].abbreviation or f"{code:06d}"

    assert [c.name for c in batch.columns] == (
        [f"#1#{key(code)}" for code in codes] + [f"#2#{key(code)}" for code in reversed(codes)])
    for code in codes:
        assert got[f"#1#{key(code)}"] == [code % 256, (code + 1) % 256]
        assert got[f"#2#{key(code)}"] == [None, (code + 2) % 256]
    assert len({c.key for c in batch.columns}) == len(codes)
    # Each column's element text is its own element's, all of them kept apart.
    for column in batch.columns:
        assert (column.element_name, column.unit) == (f"LOCAL {column.descriptor - 62000}", "Numeric")


def test_batches_decoded_one_after_another_match_each_decoded_first_on_its_own_thread(tables):
    # A builder takes over the working tables of the last one on its thread:
    # what one batch leaves in them (ranks, attribute slots, keys) must not
    # show in the next. A new thread starts without any.
    import threading

    wide = sorted(MANY)
    w = BitWriter()
    for code in wide:
        w.value(code % 256, 8).value((code + 3) % 256, 8)
    many = message([c for code in wide for c in (code, code)], w)
    runs = [[sounding(k) for k in range(40)], [many], [sounding(5)], [sounding(10), sounding(11)],
            [many, sounding(15)], [sounding(20)] * 3]

    def decode(run):
        return columns(_columnar.decode_messages([(d, tables) for d in run]))

    def on_new_thread(run):
        out = []
        t = threading.Thread(target=lambda: out.append(decode(run)))
        t.start()
        t.join()
        return out[0]

    fresh = [on_new_thread(run) for run in runs]
    assert fresh[2]["#1#airTemperature->percentConfidence"] == [5]
    assert fresh[1]["#2#k2"] == [(62002 + 3) % 256]
    for order in (slice(None), slice(None, None, -1)):
        for run, want in zip(runs[order], fresh[order]):
            assert decode(run) == want

    # Threads at once, each with tables of its own.
    results = [None] * 8

    def work(i):
        results[i] = [decode(runs[(i + j) % len(runs)]) for j in range(len(runs))]

    pool = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    for i, got in enumerate(results):
        assert got == [fresh[(i + j) % len(runs)] for j in range(len(runs))]


def test_columns_first_met_in_a_later_message_hold_nulls_then_their_first_value(tmp_path):
    # A new column is made with its first value in it: after nulls for the
    # messages before, a missing value, or one too wide for int64 that makes
    # the column float.
    path = write_table_dir(tmp_path, {
        63002: element("WIDE", "Numeric", 0, 0, 64, "wide"),
        63003: element("NARROW", "Numeric", 0, 0, 8, "narrow"),
    })
    tables = _morvane.TableSet.from_eccodes(str(path))
    data = [
        message([63003], BitWriter().value(5, 8)),
        message([63003, 63002, 63002], BitWriter().value(None, 8).u(2**63 + 2048, 64).u(7, 64)),
        message([63002, 63003, 63003], BitWriter().u(3, 64).value(None, 8).value(9, 8)),
    ]
    batch = _columnar.decode_messages([(d, tables) for d in data])
    assert columns(batch) == {
        "#1#narrow": [5, None, None],
        "#1#wide": [None, float(2**63 + 2048), 3.0],
        "#2#wide": [None, 7, None],
        "#2#narrow": [None, None, 9],
    }
    assert [c.type for c in batch.columns] == ["int64", "float64", "int64", "int64"]
    alone = columns(_columnar.decode(data[1], tables))
    assert alone == {"#1#narrow": [None], "#1#wide": [float(2**63 + 2048)], "#2#wide": [7]}


def test_long_columns_change_type_and_their_text_outgrows_shared_storage(tmp_path):
    # Hundreds of rows of one column, each row a message: integers, then
    # numbers with a scale that make it float, then text that makes it text,
    # its characters and offsets past what short columns share. Each row
    # keeps what its own message held, in the column's last form.
    def table_set(name, entry):
        return _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path / name, {63001: entry})))

    as_int = table_set("int", element("X", "m", 0, 0, 8, "x"))
    as_float = table_set("float", element("X", "m", 1, 0, 8, "x"))
    as_text = table_set("text", element("X", "CCITT IA5", 0, 0, 160, "x"))
    runs, expected = [], []
    for k in range(400):
        if k % 97 == 0:
            runs.append((message([63001], BitWriter().value(None, 8)), as_int))
            expected.append(None)
        elif k < 150:
            runs.append((message([63001], BitWriter().value(k, 8)), as_int))
            expected.append(str(k))
        elif k < 250:
            runs.append((message([63001], BitWriter().value(k % 200 / 10, 8, 1)), as_float))
            text = repr(k % 200 / 10)
            expected.append(text[:-2] if text.endswith(".0") else text)
        else:
            runs.append((message([63001], BitWriter().text(f"row {k}, row {k}", 160)), as_text))
            expected.append(f"row {k}, row {k}")
    batch = _columnar.decode_messages(runs)
    assert [c.type for c in batch.columns] == ["text"]
    assert columns(batch)["#1#x"] == expected
    # The same rows decoded as two batches, the text first, end the same.
    head = columns(_columnar.decode_messages(runs[250:] + runs[:250]))["#1#x"]
    assert head == expected[250:] + expected[:250]


def test_a_table_set_made_after_another_is_freed_is_not_taken_for_it(tmp_path):
    # What a thread keeps between decodes belongs to one table set; a new set,
    # perhaps at the address of a freed one, gives its own names, units and
    # scales to the same descriptor, as does each of two sets used in turn.
    def table_set(k):
        entry = element(f"ELEMENT {k}", f"unit{k}", k % 3, 0, 12, f"key{k}")
        return _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path / f"set{k}", {63001: entry})))

    data = message([63001], BitWriter().u(1234, 12))
    for k in range(12):
        tables = table_set(k)
        batch = _columnar.decode(data, tables)
        assert [c.name for c in batch.columns] == [f"#1#key{k}"]
        assert (batch.columns[0].element_name, batch.columns[0].unit) == (f"ELEMENT {k}", f"unit{k}")
        assert columns(batch)[f"#1#key{k}"] == [1234 / 10 ** (k % 3) if k % 3 else 1234]
        del tables, batch
    first, second = table_set(20), table_set(21)
    for tables, k in [(first, 20), (second, 21), (first, 20), (second, 21)]:
        batch = _columnar.decode_messages([(data, tables), (data, tables)])
        assert list(columns(batch)) == [f"#1#key{k}"]


def test_batches_kept_while_later_ones_add_names_keep_their_own(tables, tmp_path):
    # Batches of a thread share the names they were decoded with; one that is
    # kept must read the same after later batches add keys and texts, after a
    # table set of another catalog, and after names too long to keep.
    import threading

    long_names = {50000 + k // 200 * 1000 + k % 200: element(f"ELEMENT {k} " + "X" * 400, f"unit{k}", 0, 0, 8, f"long{k}")
                  for k in range(400)}
    other = _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path, long_names)))
    codes = sorted(long_names)
    w = BitWriter()
    for code in codes:
        w.value(code % 200, 8)
    long_message = message(codes, w)
    runs = [([sounding(k) for k in range(6)], tables), ([sounding(5)], tables),
            ([message(sorted(MANY), BitWriter().text("", len(MANY) * 8))], tables),
            ([long_message], other), ([long_message, long_message], other),
            ([sounding(10), sounding(15)], tables), ([sounding(3)], tables)]

    def read(batch):
        return columns(batch), [(c.name, c.element_name, c.unit) for c in batch.columns]

    def fresh(run, tables):
        out = []
        t = threading.Thread(target=lambda: out.append(
            read(_columnar.decode_messages([(d, tables) for d in run]))))
        t.start()
        t.join()
        return out[0]

    kept = [_columnar.decode_messages([(d, t) for d in run]) for run, t in runs]
    assert [read(batch) for batch in kept] == [fresh(run, t) for run, t in runs]
    assert read(kept[3])[1][-1] == ("#1#long399", "ELEMENT 399 " + "X" * 400, "unit399")
