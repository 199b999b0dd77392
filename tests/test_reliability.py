"""Every entry point used many times in one process, on its success and error
paths, keeps memory and reference counts flat; worst-case inputs under 1 MB
end within seconds and about 1 GB."""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import tracemalloc
from pathlib import Path

import pytest

import _morvane
from bufr_builder import BitWriter, element, message, write_table_dir
from conftest import DATA, have_shared

# Under the sanitizer build memory is inflated by shadow memory and the
# freed-memory quarantine, and everything runs several times slower.
SANITIZED = os.environ.get("MORVANE_SANITIZED") == "1"
HERE = Path(__file__).resolve().parent

ELEMENTS = {
    1015: element("STATION NAME", "CCITT IA5", 0, 0, 64),
    12101: element("TEMPERATURE", "K", 2, 0, 16),
    20003: element("PRESENT WEATHER", "CODE TABLE", 0, 0, 9),
    31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8),
    31002: element("EXTENDED DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 16),
}
# Enough filler that a load which leaks its table set shows in RSS.
FILLER = {63000 + k: element(f"FILLER ELEMENT NUMBER {k} " + "X" * 60, "m", 1, -5, 12)
          for k in range(900)}
SEQUENCES = {301001: [1015, 12101, 20003], 300002: [300002]}
CODE_TABLES = {20003: {k: f"WEATHER CONDITION {k}" for k in range(512)}}

ITEMS_PER_MESSAGE = 3 * 2000


# --------------------------------------------------------------------------
# Inputs: large enough per call that a leak of any of them shows.


def uncompressed(repeats: int = 2000, cut: int = 0) -> bytes:
    """Delayed replication of (name, temperature, weather); `cut` octets
    removed from the end of section 4 make the walk fail after most items."""
    w = BitWriter().u(repeats, 16)
    for k in range(repeats):
        w.text(f"ST{k % 100}", 64).value(250 + k % 50, 16, 2).u(k % 512, 9)
    data = w.getvalue()
    return message([101000, 31002, 301001], data[: len(data) - cut])


def compressed(subsets: int = 1000, cut: int = 0) -> bytes:
    w = BitWriter()
    w.compressed_text([f"ST{k % 7}" for k in range(subsets)], 64)
    w.compressed([25000 + k % 300 for k in range(subsets)], 16)
    w.compressed([k % 512 for k in range(subsets)], 9)
    data = w.getvalue()
    return message([301001], data[: len(data) - cut], compressed=True, subsets=subsets)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    root = tmp_path_factory.mktemp("reliability")
    elements = {**ELEMENTS, **FILLER}
    table_dir = write_table_dir(root / "tables", elements, SEQUENCES, CODE_TABLES)
    bad_dir = write_table_dir(root / "bad", elements, SEQUENCES, CODE_TABLES)
    with open(bad_dir / "element.table", "a", encoding="utf-8") as fh:
        fh.write("063999|x|long|LAST|m|0|0|99999|m|0|1\n")  # width beyond u16, last line
    definitions = root / "definitions"
    (definitions / "bufr" / "tables" / "0" / "wmo").mkdir(parents=True)
    os.symlink(table_dir, definitions / "bufr" / "tables" / "0" / "wmo" / "39")

    csv_dir = root / "csv"
    csv_dir.mkdir()
    header = "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,BUFR_DataWidth_Bits\n"
    rows = "".join(f'63,Test,063{k:03d},"Filler, number {k}",m,1,-5,12\n' for k in range(900))
    (csv_dir / "BUFRCREX_TableB_en_63.csv").write_text(header + rows, encoding="utf-8")
    d_rows = "".join(f"1,x,301{k:03d},a,b,063{k:03d}\n" for k in range(400))
    (csv_dir / "BUFR_TableD_en_01.csv").write_text("a,b,c,d,e,f\n" + d_rows, encoding="utf-8")
    bad_csv = root / "badcsv"
    bad_csv.mkdir()
    (bad_csv / "BUFRCREX_TableB_en_63.csv").write_text(header + rows + "63,T,063999,n,m,1,x,1\n",
                                                       encoding="utf-8")

    return {
        "tables": _morvane.TableSet.from_eccodes(str(table_dir)),
        "table_dir": str(table_dir),
        "bad_dir": str(bad_dir),
        "definitions": str(definitions),
        "csv_dir": str(csv_dir),
        "bad_csv": str(bad_csv),
        "uncompressed": uncompressed(),
        "uncompressed_cut": uncompressed(cut=40),
        "compressed": compressed(),
        "compressed_cut": compressed(cut=200),
        "many": uncompressed(repeats=20) * 300,
        "many_then_truncated": uncompressed(repeats=20) * 300 + uncompressed(repeats=20)[:-30],
        "missing_file": str(root / "absent.bufr"),
        "long_expansion": [102255, 101200, 301001],
    }


def raises(kind, call, *args):
    try:
        call(*args)
    except kind:
        return
    raise AssertionError(f"{call.__name__} did not raise {kind.__name__}")


def read_only(kind, call, *args):
    """The call raising `kind` or returning; for paths that may do either."""
    try:
        call(*args)
    except kind:
        pass


# Each entry: a call that must not leak, on a success or an error path.
CALLS = {
    "parse_bytes": lambda i: _morvane.parse_bytes(i["uncompressed"]),
    "parse_all_bytes": lambda i: _morvane.parse_all_bytes(i["many"]),
    "parse_all_bytes truncated": lambda i: raises(ValueError, _morvane.parse_all_bytes,
                                                  i["many_then_truncated"]),
    "parse_bytes bad terminator": lambda i: raises(ValueError, _morvane.parse_bytes,
                                                   i["uncompressed"][:-4] + b"7776"),
    "parse_bytes bytearray": lambda i: raises(TypeError, _morvane.parse_bytes,
                                              bytearray(i["uncompressed"])),
    "parse_file missing": lambda i: raises(OSError, _morvane.parse_file, i["missing_file"]),
    "parse_all_file missing": lambda i: raises(OSError, _morvane.parse_all_file, i["missing_file"]),
    "decode uncompressed": lambda i: _morvane.decode_values_with_tables(i["uncompressed"], i["tables"]),
    "decode uncompressed out of bits": lambda i: raises(
        ValueError, _morvane.decode_values_with_tables, i["uncompressed_cut"], i["tables"]),
    "decode compressed": lambda i: _morvane.decode_values_with_tables(i["compressed"], i["tables"]),
    "decode compressed out of bits": lambda i: raises(
        ValueError, _morvane.decode_values_with_tables, i["compressed_cut"], i["tables"]),
    "decode missing element": lambda i: raises(
        ValueError, _morvane.decode_values_with_tables, message([1015, 12101, 62001], b"\0" * 64),
        i["tables"]),
    "decode recursion": lambda i: raises(
        ValueError, _morvane.decode_values_with_tables, message([300002], b""), i["tables"]),
    "decode wrong tables type": lambda i: raises(
        TypeError, _morvane.decode_values_with_tables, i["uncompressed"], i["table_dir"]),
    "decode_values": lambda i: _morvane.decode_values(i["uncompressed"], i["table_dir"]),
    "decode_values bad tables": lambda i: raises(ValueError, _morvane.decode_values,
                                                 i["uncompressed"], i["bad_dir"]),
    "decode_values_with_definitions": lambda i: _morvane.decode_values_with_definitions(
        i["compressed"], i["definitions"]),
    "decode_values_with_definitions missing root": lambda i: raises(
        ValueError, _morvane.decode_values_with_definitions, i["compressed"], i["missing_file"]),
    "from_eccodes": lambda i: _morvane.TableSet.from_eccodes(i["table_dir"]),
    "from_eccodes bad width": lambda i: raises(ValueError, _morvane.TableSet.from_eccodes,
                                               i["bad_dir"]),
    "from_definitions": lambda i: _morvane.TableSet.from_definitions(
        i["definitions"], _morvane.parse_bytes(i["compressed"])),
    "from_bufr4_45": lambda i: _morvane.TableSet.from_bufr4_45(i["csv_dir"]),
    "from_bufr4_45 bad reference": lambda i: raises(ValueError, _morvane.TableSet.from_bufr4_45,
                                                    i["bad_csv"]),
    "expand": lambda i: i["tables"].expand(i["long_expansion"]),
    "expand missing sequence": lambda i: raises(ValueError, i["tables"].expand,
                                                i["long_expansion"] + [399999]),
    "expand overflow": lambda i: raises(OverflowError, i["tables"].expand, [1001, 2**40]),
    "expand str": lambda i: raises(TypeError, i["tables"].expand, "301001"),
    "expand_descriptors": lambda i: _morvane.expand_descriptors(i["table_dir"], i["long_expansion"]),
    "lookups": lambda i: (i["tables"].get_element(12101), i["tables"].get_sequence(301001),
                          i["tables"].get_meaning(20003, 7), i["tables"].get_element(1),
                          i["tables"].get_meaning(20003, 10**6)),
    "descriptor": lambda i: (_morvane.Descriptor(0, 12, 101), _morvane.Descriptor.from_fxy(301001),
                             read_only(ValueError, _morvane.Descriptor.from_fxy, 400000)),
    "attributes": lambda i: [(v.name, v.data, v.raw_text, v.raw_meaning, repr(v))
                             for v in _morvane.decode_values_with_tables(i["compressed"],
                                                                         i["tables"])[:300]],
}


def rss_bytes() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc")
@pytest.mark.parametrize("name", CALLS)
def test_repeated_calls_keep_memory_flat(inputs, name):
    call = CALLS[name]
    for _ in range(30):  # fills caches, free lists and the object pool
        call(inputs)
    gc.collect()

    # Python objects: nothing may survive the calls.
    tracemalloc.start()
    try:
        for _ in range(10):
            call(inputs)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(60):
            call(inputs)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 16 * 1024, f"{name}: {grown} bytes of Python objects left behind"

    # Native memory: every input above allocates well over 100 KB per call in
    # the core, so a leak of it grows RSS by tens of megabytes here.
    if SANITIZED:
        return  # the quarantine holds freed memory back
    start = rss_bytes()
    for _ in range(250):
        call(inputs)
    gc.collect()
    grown = rss_bytes() - start
    assert grown < 8 * 2**20, f"{name}: RSS grew by {grown / 2**20:.1f} MiB"


def test_shared_objects_keep_their_reference_counts(inputs):
    tables = inputs["tables"]
    data = inputs["compressed"]
    table_dir = inputs["table_dir"]
    descriptors = inputs["long_expansion"]
    message_record = _morvane.parse_bytes(data)
    watched = {
        "tables": tables, "data": data, "table_dir": table_dir, "descriptors": descriptors,
        "message": message_record,
        **{cls.__name__: cls for cls in (_morvane.DecodedValue, _morvane.BufrMessage,
                                         _morvane.TableSet, _morvane.ElementDefinition,
                                         _morvane.SequenceDefinition, _morvane.Descriptor)},
    }
    for call in CALLS.values():  # every type's instances created and freed once
        call(inputs)
    gc.collect()
    before = {key: sys.getrefcount(obj) for key, obj in watched.items()}
    for _ in range(20):
        for call in CALLS.values():
            call(inputs)
        _morvane.decode_values(data, table_dir)
        _morvane.TableSet.from_definitions(inputs["definitions"], message_record)
        read_only(ValueError, _morvane.decode_values_with_tables, data[:-10], tables)
        _morvane.expand_descriptors(table_dir, descriptors)
    gc.collect()
    after = {key: sys.getrefcount(obj) for key, obj in watched.items()}
    assert after == before


@pytest.mark.parametrize("kind", ["uncompressed", "compressed"])
def test_item_fields_are_released_with_their_items(inputs, kind):
    # Names, meanings and texts are shared between items of one decode;
    # reading them must neither drop nor add references, and once the list is
    # gone nothing in the module holds them.
    values = _morvane.decode_values_with_tables(inputs[kind], inputs["tables"])
    def first(code):
        return next(v for v in values if v.descriptor == code)
    texts = [first(1015).raw_text, first(12101).name, first(20003).raw_meaning,
             first(20003).name]
    assert all(isinstance(t, str) for t in texts)
    counts = [sys.getrefcount(t) for t in texts]
    for v in values:
        for _ in range(3):
            v.name, v.data, v.raw_text, v.raw_meaning, v.raw_value, v.raw, v.descriptor, repr(v)
    assert [sys.getrefcount(t) for t in texts] == counts
    del values, v
    gc.collect()
    # Held only as much as a str that never met the module.
    control = "".join(["not", "shared"])
    after = [sys.getrefcount(t) for t in texts + [control]]
    assert after[:-1] == [after[-1]] * 4


def test_items_and_definitions_outlive_their_table_set(inputs):
    # Items point at the table set's names and meanings only while they are
    # made; once it is dropped they must still read correctly.
    tables = _morvane.TableSet.from_eccodes(inputs["table_dir"])
    values = _morvane.decode_values_with_tables(inputs["uncompressed"], tables)
    definition = tables.get_element(20003)
    del tables
    gc.collect()
    _morvane.TableSet.from_eccodes(inputs["table_dir"])  # takes the freed memory again
    # Item 0 is the replication factor, then name, temperature and weather.
    assert values[1].name == "STATION NAME" and values[1].raw_text.startswith("ST0")
    assert values[3].raw_meaning == "WEATHER CONDITION 0"
    assert definition.name == "PRESENT WEATHER"


# --------------------------------------------------------------------------
# Worst cases, each in a process of its own under a wall-clock guard.

sys.path.insert(0, str(HERE))
import hostile_cases  # noqa: E402

NEEDS_DATA = {"real_compressed_message_with_65535_subsets"}
LIMIT_MB = 1100  # about 1 GB, with the interpreter's own 20 MB
GUARD_SECONDS = 120 if SANITIZED else 20

# The cases that found faults end as intended: a clear error where the input
# asks for more than any real message, the result where it is legitimate.
EXPECTED = {
    "expand_replicated_operators": "ValueError: csv/table parse error: sequence expansion exceeded",
    "expand_replicated_elements": "ValueError: csv/table parse error: sequence expansion exceeded",
    "expand_descriptors_fanout": "ValueError: csv/table parse error: sequence expansion exceeded",
    "uncompressed_replicated_zero_width": "ValueError: csv/table parse error: descriptor walk exceeded",
    "uncompressed_sequence_fanout": "ValueError: csv/table parse error: descriptor walk exceeded",
    "compressed_zero_width_columns": "ValueError: csv/table parse error: descriptor walk exceeded",
    "compressed_constant_long_text": "result 6553500",
}


@pytest.mark.parametrize("case", sorted(hostile_cases.CASES))
def test_worst_case_input_ends_quickly_with_bounded_memory(case):
    if case in NEEDS_DATA and not have_shared():
        pytest.skip("../shared/data is absent")
    result = subprocess.run(
        [sys.executable, str(HERE / "hostile_cases.py"), case, str(DATA)],
        capture_output=True, text=True, timeout=GUARD_SECONDS, cwd=HERE)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    outcome = report["outcome"]
    assert outcome.startswith(EXPECTED.get(case, ("result ", "ValueError: "))), outcome
    if not SANITIZED:
        assert report["peak_mb"] < LIMIT_MB, report
