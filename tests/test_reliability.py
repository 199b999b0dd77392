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
import hostile_cases
from bufr_builder import BitWriter, element, message, write_table_dir
from conftest import DATA, have_shared

# Under the sanitizer build, shadow memory and the quarantine of freed memory
# inflate RSS, and everything runs several times slower.
SANITIZED = os.environ.get("MORVANE_SANITIZED") == "1"
HERE = Path(__file__).resolve().parent

# Inputs large enough that a leak of any core structure shows: 900 filler
# elements and 512 meanings per table load, 6000 items per decode.
ELEMENTS = {
    1015: element("STATION NAME", "CCITT IA5", 0, 0, 64),
    12101: element("TEMPERATURE", "K", 2, 0, 16),
    20003: element("PRESENT WEATHER", "CODE TABLE", 0, 0, 9),
    31002: element("EXTENDED DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 16),
    **{63000 + k: element(f"FILLER {k} " + "X" * 60, "m", 1, -5, 12) for k in range(900)},
}
SEQUENCES = {301001: [1015, 12101, 20003], 300002: [300002]}
CODE_TABLES = {20003: {k: f"WEATHER CONDITION {k}" for k in range(512)}}
CSV_HEADER = "No,Class,FXY,Name,Unit,Scale,Reference,Width\n"
CSV_ROWS = "".join(f'63,T,063{k:03d},"Filler, {k}",m,1,-5,12\n' for k in range(900))


def uncompressed(repeats=2000, cut=0) -> bytes:
    """(name, temperature, weather) replicated; `cut` octets taken off the
    end make the walk fail after most items."""
    w = BitWriter().u(repeats, 16)
    for k in range(repeats):
        w.text(f"ST{k % 100}", 64).value(250 + k % 50, 16, 2).u(k % 512, 9)
    data = w.getvalue()
    return message([101000, 31002, 301001], data[: len(data) - cut])


def compressed(subsets=1000, cut=0) -> bytes:
    w = BitWriter().compressed_text([f"ST{k % 7}" for k in range(subsets)], 64)
    w.compressed([25000 + k % 300 for k in range(subsets)], 16)
    data = w.compressed([k % 512 for k in range(subsets)], 9).getvalue()
    return message([301001], data[: len(data) - cut], compressed=True, subsets=subsets)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    root = tmp_path_factory.mktemp("reliability")
    table_dir = write_table_dir(root / "tables", ELEMENTS, SEQUENCES, CODE_TABLES)
    bad_dir = write_table_dir(root / "bad", ELEMENTS, SEQUENCES, CODE_TABLES)
    with open(bad_dir / "element.table", "a", encoding="utf-8") as fh:
        fh.write("063999|x|long|LAST|m|0|0|99999|m|0|1\n")  # width beyond u16, last line
    wmo = root / "definitions" / "bufr" / "tables" / "0" / "wmo"
    wmo.mkdir(parents=True)
    os.symlink(table_dir, wmo / "39")
    for name, extra in (("csv", ""), ("badcsv", "63,T,063999,n,m,1,x,1\n")):
        (root / name).mkdir()
        (root / name / "BUFRCREX_TableB_en_63.csv").write_text(CSV_HEADER + CSV_ROWS + extra)
        (root / name / "BUFR_TableD_en_01.csv").write_text(
            "a,b,c,d,e,f\n" + "".join(f"1,x,301{k:03d},a,b,063{k:03d}\n" for k in range(400)))
    small = uncompressed(repeats=20)
    return {
        "tables": _morvane.TableSet.from_eccodes(str(table_dir)),
        "table_dir": str(table_dir), "bad_dir": str(bad_dir),
        "definitions": str(root / "definitions"),
        "csv": str(root / "csv"), "badcsv": str(root / "badcsv"),
        "uncompressed": uncompressed(), "uncompressed_cut": uncompressed(cut=40),
        "compressed": compressed(), "compressed_cut": compressed(cut=200),
        "many": small * 300, "many_truncated": small * 300 + small[:-30],
        "missing": str(root / "absent.bufr"),
        "expansion": [102255, 101200, 301001],  # 153,000 codes
    }


def raises(kind, call, *args):
    try:
        call(*args)
    except kind:
        return
    raise AssertionError(f"{call.__name__} did not raise {kind.__name__}")


M = _morvane
# A call per success and error path of every entry point.
CALLS = {
    "parse_bytes": lambda i: M.parse_bytes(i["uncompressed"]),
    "parse_all_bytes": lambda i: M.parse_all_bytes(i["many"]),
    "parse_all_bytes truncated": lambda i: raises(ValueError, M.parse_all_bytes, i["many_truncated"]),
    "parse_bytes bad terminator": lambda i: raises(ValueError, M.parse_bytes,
                                                   i["uncompressed"][:-4] + b"7776"),
    "parse_bytes bytearray": lambda i: raises(TypeError, M.parse_bytes, bytearray(i["many"])),
    "parse_file missing": lambda i: raises(OSError, M.parse_file, i["missing"]),
    "parse_all_file missing": lambda i: raises(OSError, M.parse_all_file, i["missing"]),
    "decode uncompressed": lambda i: M.decode_values_with_tables(i["uncompressed"], i["tables"]),
    "decode uncompressed out of bits": lambda i: raises(
        ValueError, M.decode_values_with_tables, i["uncompressed_cut"], i["tables"]),
    "decode compressed": lambda i: M.decode_values_with_tables(i["compressed"], i["tables"]),
    "decode compressed out of bits": lambda i: raises(
        ValueError, M.decode_values_with_tables, i["compressed_cut"], i["tables"]),
    "decode missing element": lambda i: raises(
        ValueError, M.decode_values_with_tables, message([1015, 12101, 62001], b"\0" * 64),
        i["tables"]),
    "decode recursion": lambda i: raises(ValueError, M.decode_values_with_tables,
                                         message([300002]), i["tables"]),
    "decode tables of wrong type": lambda i: raises(TypeError, M.decode_values_with_tables,
                                                    i["uncompressed"], i["table_dir"]),
    "decode_values": lambda i: M.decode_values(i["uncompressed"], i["table_dir"]),
    "decode_values bad tables": lambda i: raises(ValueError, M.decode_values,
                                                 i["uncompressed"], i["bad_dir"]),
    "decode_values_with_definitions": lambda i: M.decode_values_with_definitions(
        i["compressed"], i["definitions"]),
    "decode_values_with_definitions missing": lambda i: raises(
        ValueError, M.decode_values_with_definitions, i["compressed"], i["missing"]),
    "from_eccodes": lambda i: M.TableSet.from_eccodes(i["table_dir"]),
    "from_eccodes bad width": lambda i: raises(ValueError, M.TableSet.from_eccodes, i["bad_dir"]),
    "from_definitions": lambda i: M.TableSet.from_definitions(
        i["definitions"], M.parse_bytes(i["compressed"])),
    "from_bufr4_45": lambda i: M.TableSet.from_bufr4_45(i["csv"]),
    "from_bufr4_45 bad reference": lambda i: raises(ValueError, M.TableSet.from_bufr4_45,
                                                    i["badcsv"]),
    "expand": lambda i: i["tables"].expand(i["expansion"]),
    "expand missing sequence": lambda i: raises(ValueError, i["tables"].expand,
                                                i["expansion"] + [399999]),
    "expand overflow": lambda i: raises(OverflowError, i["tables"].expand, [1001, 2**40]),
    "expand str": lambda i: raises(TypeError, i["tables"].expand, "301001"),
    "expand_descriptors": lambda i: M.expand_descriptors(i["table_dir"], i["expansion"]),
    "lookups": lambda i: [(t.get_element(12101), t.get_sequence(301001), t.get_meaning(20003, 7),
                           t.get_element(1), t.get_meaning(20003, 10**6))
                          for t in [i["tables"]] * 100],
    "descriptors": lambda i: [(M.Descriptor(0, 12, 101), repr(M.Descriptor.from_fxy(k)))
                              for k in range(0, 400000, 1000)],
    "attributes": lambda i: [(v.name, v.data, v.raw_text, v.raw_meaning, repr(v))
                             for v in M.decode_values_with_tables(i["compressed"], i["tables"])],
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
    # Python objects: nothing may survive a call.
    tracemalloc.start()
    try:
        call(inputs)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(60):
            call(inputs)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 16 * 1024, f"{grown} bytes of Python objects left behind"
    # Native memory: a leak of what the core builds per call (100 KB and
    # more) would grow RSS by tens of megabytes here.
    if not SANITIZED:
        start = rss_bytes()
        for _ in range(250):
            call(inputs)
        gc.collect()
        assert rss_bytes() - start < 8 * 2**20


def test_shared_objects_keep_their_reference_counts(inputs):
    record = M.parse_bytes(inputs["compressed"])
    watched = [inputs["tables"], inputs["compressed"], inputs["table_dir"], inputs["expansion"],
               record, M.DecodedValue, M.BufrMessage, M.TableSet, M.ElementDefinition,
               M.SequenceDefinition, M.Descriptor]
    for call in CALLS.values():  # instances of every type made and freed once
        call(inputs)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(20):
        for call in CALLS.values():
            call(inputs)
        M.TableSet.from_definitions(inputs["definitions"], record)
        raises(ValueError, M.decode_values_with_tables, inputs["compressed"][:-10], inputs["tables"])
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


@pytest.mark.parametrize("kind", ["uncompressed", "compressed"])
def test_item_fields_are_released_with_their_items(inputs, kind):
    # Names, meanings and texts are shared between the items of one decode;
    # reading them neither drops nor adds references, and once the list is
    # gone the module holds none of them.
    values = M.decode_values_with_tables(inputs[kind], inputs["tables"])
    first = {v.descriptor: v for v in reversed(values)}
    texts = [first[1015].raw_text, first[12101].name, first[20003].raw_meaning, first[20003].name]
    counts = [sys.getrefcount(t) for t in texts]
    for v in values:
        for _ in range(3):
            v.name, v.data, v.raw_text, v.raw_meaning, v.raw_value, v.raw, repr(v)
    assert [sys.getrefcount(t) for t in texts] == counts
    del values, first, v
    gc.collect()
    control = "".join(["not", "shared"])  # a str that never met the module
    after = [sys.getrefcount(t) for t in texts + [control]]
    assert after[:-1] == [after[-1]] * 4


def test_decoding_allocates_nothing_the_collector_counts(inputs):
    # Items, their shared labels and their texts are outside the garbage
    # collector, so no collection (each one walking the lists already made)
    # starts during a decode, however many character items it has.
    starts = []

    def on_gc(phase, info):
        if phase == "start":
            starts.append(info["generation"])

    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(50)
    gc.callbacks.append(on_gc)
    try:
        values = [M.decode_values_with_tables(inputs[kind], inputs["tables"])
                  for kind in ("uncompressed", "compressed")]
    finally:
        gc.callbacks.remove(on_gc)
        gc.set_threshold(*threshold)
    assert [sum(v.raw_text is not None for v in vs) for vs in values] == [2000, 1000]
    assert starts == []


def test_items_and_definitions_outlive_their_table_set(inputs):
    tables = M.TableSet.from_eccodes(inputs["table_dir"])
    values = M.decode_values_with_tables(inputs["uncompressed"], tables)
    definition = tables.get_element(20003)
    del tables
    gc.collect()
    M.TableSet.from_eccodes(inputs["table_dir"])  # takes the freed memory again
    # Item 0 is the replication factor, then name, temperature and weather.
    assert values[1].name == "STATION NAME" and values[1].raw_text.startswith("ST0")
    assert values[3].raw_meaning == "WEATHER CONDITION 0"
    assert definition.name == "PRESENT WEATHER"


LIMIT_MB = 1100  # about 1 GB, the interpreter's own 20 MB included
GUARD_SECONDS = 120 if SANITIZED else 20
# The cases that found faults end as intended: a clear error where the input
# asks for more than any real message, the result where it is legitimate.
EXPECTED = {
    "expand_replicated_operators": "ValueError: csv/table parse error: sequence expansion exceeded",
    "expand_replicated_elements": "ValueError: csv/table parse error: sequence expansion exceeded",
    "expand_sequence_fanout": "ValueError: csv/table parse error: sequence expansion exceeded",
    "uncompressed_replicated_zero_width": "ValueError: csv/table parse error: descriptor walk exceeded",
    "uncompressed_sequence_fanout": "ValueError: csv/table parse error: descriptor walk exceeded",
    "compressed_zero_width_columns": "ValueError: csv/table parse error: descriptor walk exceeded",
    "compressed_constant_long_text": "result 6553500",
}


@pytest.mark.parametrize("case", sorted(hostile_cases.CASES))
def test_worst_case_input_ends_quickly_with_bounded_memory(case):
    if case.startswith("real_") and not have_shared():
        pytest.skip("../shared/data is absent")
    result = subprocess.run([sys.executable, str(HERE / "hostile_cases.py"), case, str(DATA)],
                            capture_output=True, text=True, timeout=GUARD_SECONDS, cwd=HERE)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["outcome"].startswith(EXPECTED.get(case, ("result ", "ValueError: "))), report
    if not SANITIZED:
        assert report["peak_mb"] < LIMIT_MB, report


# Under a 300 MB address space these walks fail to allocate inside the core;
# the failure must reach Python as MemoryError, not end the process.
@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than the limit")
@pytest.mark.parametrize("case", ["uncompressed_replicated_zero_width", "uncompressed_sequence_fanout"])
def test_allocation_failure_in_the_core_raises_memory_error(case):
    result = subprocess.run([sys.executable, str(HERE / "hostile_cases.py"), case, str(DATA), "300"],
                            capture_output=True, text=True, timeout=GUARD_SECONDS, cwd=HERE)
    assert result.returncode == 0, result.stderr[-3000:]
    assert json.loads(result.stdout.strip().splitlines()[-1])["outcome"] == "MemoryError"


# A child process builds one small message with a text and a meaning; the
# checks below then keep its items alive where the module's own teardown
# meets them.
CHILD_SETUP = """
import tempfile, textwrap, _morvane
from bufr_builder import BitWriter, element, message, write_table_dir
table_dir = str(write_table_dir(tempfile.mkdtemp(), {
    1015: element("STATION NAME", "CCITT IA5", 0, 0, 32),
    20003: element("WEATHER", "CODE TABLE", 0, 0, 9)}, codetables={20003: {5: "HAZE"}}))
data = message([1015, 20003], BitWriter().text("ABCD", 32).u(5, 9).getvalue())
def decode():
    return _morvane.decode_values_with_tables(data, _morvane.TableSet.from_eccodes(table_dir))
"""
CHILD_CHECKS = {
    # Items in a reference cycle and on the module outlive the module's
    # teardown at exit, and are freed after it.
    "interpreter exit": """
class Holder: pass
holder = Holder(); holder.me = holder; holder.values = [decode() for _ in range(40)]
_morvane.kept = decode()
print([v.data for v in holder.values[0]])
""",
    # Sub-interpreters import their own module; items kept in one when it
    # is destroyed, and items of the main one, stay sound.
    "sub-interpreters": """
import _interpreters
script = CHILD_SETUP + "kept = [decode() for _ in range(50)]\\ndel kept[:25]\\n"
ids = [_interpreters.create() for _ in range(3)]
for i in ids:
    _interpreters.run_string(i, script)
mine = decode()
for i in ids:
    _interpreters.run_string(i, "assert [v.data for v in kept[0]] == ['ABCD', 'HAZE']; del kept[:10]")
    _interpreters.destroy(i)
print([v.data for v in mine])
""",
}


@pytest.mark.parametrize("check", CHILD_CHECKS)
def test_items_survive_module_teardown(check):
    if check == "sub-interpreters":
        pytest.importorskip("_interpreters")
    code = f"CHILD_SETUP = {CHILD_SETUP!r}\n" + CHILD_SETUP + CHILD_CHECKS[check]
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=GUARD_SECONDS, cwd=HERE)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.strip() == "['ABCD', 'HAZE']"
