"""Loading ecCodes-layout table trees written into tmp_path."""

import pytest

import _morvane as m
from bufr_builder import element, message, write_definitions_root, write_table_dir

PARSE = "csv/table parse error: "
ENOENT = "No such file or directory (os error 2)"


def msg(version=39, local=0, centre=98, sub=0):
    return m.parse_bytes(message([1001], b"\x00", master_version=version, local_version=local,
                                 centre=centre, subcentre=sub))


def load_error(call, *args):
    with pytest.raises(ValueError) as info:
        call(*args)
    return str(info.value)


def table_dir(tmp_path, element_table="", sequence_def="", codetables=None):
    d = tmp_path / "t"
    d.mkdir(exist_ok=True)
    (d / "element.table").write_text(element_table, encoding="utf-8")
    (d / "sequence.def").write_text(sequence_def, encoding="utf-8")
    for name, text in (codetables or {}).items():
        (d / "codetables").mkdir(exist_ok=True)
        (d / "codetables" / name).write_bytes(text.encode() if isinstance(text, str) else text)
    return str(d)


# ---------------------------------------------------------------- definitions roots


def test_alias_chain_and_local_overrides(tmp_path):
    root = write_definitions_root(
        tmp_path,
        masters={34: {"elements": {1001: element("WMO", "Numeric", 0, 0, 7),
                                   1002: element("STATION", "Numeric", 0, 0, 10)},
                      "sequences": {301001: [1001, 1002]},
                      "codetables": {1003: {1: "REGION I", 2: "REGION II"}}},
                 35: "34", 36: "35"},
        locals_={(1, 98, 0): {"elements": {1002: element("LOCAL STATION", "Numeric", 0, 0, 12)},
                              "sequences": {301001: [1002]},
                              "codetables": {1003: {9: "LOCAL"}}},
                 ("19-1", 98, 0): {"elements": {1001: element("V19", "Numeric", 0, 0, 7)}}},
    )
    wmo_only = m.TableSet.from_definitions(str(root), msg(36))
    assert wmo_only.get_element(1002).name == "STATION"
    assert wmo_only.get_meaning(1003, 2) == "REGION II"
    # Local version 0 ignores the local tree even though 1/98/0 exists.
    assert m.TableSet.from_definitions(str(root), msg(35, local=0)).get_element(1002).width == 10

    local = m.TableSet.from_definitions(str(root), msg(36, local=1))
    assert local.get_element(1002).name == "LOCAL STATION" and local.get_element(1002).width == 12
    assert local.get_element(1001).name == "WMO"
    assert local.get_sequence(301001).members == [1002]
    # A local code table replaces the WMO one whole.
    assert (local.get_meaning(1003, 9), local.get_meaning(1003, 1)) == ("LOCAL", None)
    # Another centre has no local directory: WMO tables only, no error.
    assert m.TableSet.from_definitions(str(root), msg(34, local=1, centre=7)).element_count == 2


def test_version_19_local_level_and_partial_local_dir(tmp_path):
    root = write_definitions_root(tmp_path, masters={19: {"elements": {1001: ("A", "Numeric")}}})
    local = root / "bufr/tables/0/local/19-1/98/0"
    local.mkdir(parents=True)
    (local / "element.table").write_text("001001|x|long|FROM LOCAL|Numeric|0|0|7\n")
    tables = m.TableSet.from_definitions(str(root), msg(19, local=1))
    assert tables.get_element(1001).name == "FROM LOCAL"


@pytest.mark.parametrize(
    "aliases, expected",
    [
        ({35: "35"}, "ecCodes table alias chain loops: {base}/35 -> \"35\""),
        ({35: "36", 36: "35"}, "ecCodes table alias chain loops: {base}/36 -> \"35\""),
        ({35: "../34"}, "invalid ecCodes table alias {base}/35 -> \"../34\""),
        ({35: "a\\b"}, "invalid ecCodes table alias {base}/35 -> \"a\\\\b\""),
        ({35: " \n"}, "invalid ecCodes table alias {base}/35 -> \"\""),
        ({35: "40"}, "ecCodes table directory does not exist: {base}/40"),
        ({}, "ecCodes table directory does not exist: {base}/35"),
    ],
)
def test_bad_alias_files(tmp_path, aliases, expected):
    root = write_definitions_root(tmp_path, masters={34: {}, **aliases})
    base = f"{root}/bufr/tables/0/wmo"
    text = load_error(m.TableSet.from_definitions, str(root), msg(35))
    assert text == PARSE + expected.format(base=base)


def test_alias_file_not_utf8_is_io_error(tmp_path):
    root = write_definitions_root(tmp_path, masters={34: {}})
    (root / "bufr/tables/0/wmo/35").write_bytes(b"\xff34\n")
    assert load_error(m.TableSet.from_definitions, str(root), msg(35)).startswith("io error: ")


# ---------------------------------------------------------------- one table directory


def test_required_and_optional_files(tmp_path):
    d = tmp_path / "t"
    write_table_dir(d, elements={1001: ("A", "Numeric")})
    assert m.TableSet.from_eccodes(str(d)).element_count == 1  # no codetables: fine
    (d / "sequence.def").unlink()
    assert load_error(m.TableSet.from_eccodes, str(d)) == "io error: " + ENOENT
    (d / "element.table").unlink()
    assert load_error(m.TableSet.from_eccodes, str(d)) == PARSE + ENOENT
    alias = tmp_path / "alias"
    alias.write_text("t\n")
    assert load_error(m.TableSet.from_eccodes, str(alias)) == PARSE + "Not a directory (os error 20)"


@pytest.mark.parametrize(
    "line, expected",
    [
        ('  "001001"  |a|long|N|K|0|0|7', None),
        ("001001|a|long|N|K| 2|0|7", 'bad i32 " 2": invalid digit found in string'),
        ("001001|a|long|N|K||0|7", 'bad i32 "": cannot parse integer from empty string'),
        ("001001|a|long|N|K|2147483648|0|7", 'bad i32 "2147483648": number too large to fit in target type'),
        ("001001|a|long|N|K|0|-9223372036854775809|7", 'bad i64 "-9223372036854775809": number too small to fit in target type'),
        ("001001|a|long|N|K|0|+|7", 'bad i64 "+": invalid digit found in string'),
        ("001001|a|long|N|K|0|0|-1", 'bad u16 "-1": invalid digit found in string'),
        ("0x1001|a|long|N|K|0|0|7", 'bad descriptor code "0x1001": invalid digit found in string'),
    ],
)
def test_element_table_numbers(tmp_path, line, expected):
    d = table_dir(tmp_path, line + "\n")
    if expected is None:
        e = m.TableSet.from_eccodes(d).get_element(1001)
        assert (e.abbreviation, e.element_type, e.name, e.unit, e.width) == ("a", "long", "N", "K", 7)
    else:
        assert load_error(m.TableSet.from_eccodes, d) == PARSE + expected


def test_element_table_extremes_and_short_records(tmp_path):
    d = table_dir(tmp_path, "001001|a|t|N|K|-2147483648|-9223372036854775808|65535|x|y\n")
    e = m.TableSet.from_eccodes(d).get_element(1001)
    assert (e.scale, e.reference, e.width) == (-2147483648, -9223372036854775808, 65535)
    assert m.TableSet.from_eccodes(table_dir(tmp_path, "001001|a|t|N|K|0|0\n")).element_count == 0


SEQUENCE_DEF = """\
# leading comment
"301001" = [ 001001,
   # comment inside a statement
   "001002" , ]
301002=[]
"301003" = [  301001, 1003 ] trailing text
"301004" = [ 1001,
1002 ]
"301001" = [  001001, 001002, 001003 ]
no equals sign here ]
"301009" = [ 1001
"""


def test_sequence_def_statements(tmp_path):
    tables = m.TableSet.from_eccodes(table_dir(tmp_path, sequence_def=SEQUENCE_DEF))
    # The later 301001 replaces the first; an unfinished statement at the end is dropped.
    assert tables.sequence_count == 4 and tables.get_sequence(301009) is None
    assert [tables.get_sequence(c).members for c in (301001, 301002, 301003, 301004)] == [
        [1001, 1002, 1003], [], [301001, 1003], [1001, 1002]]


@pytest.mark.parametrize(
    "text, expected",
    [
        ('"301001" = 001001, 001002 ]', '"301001" = 001001, 001002 ]'),
        ('"301001" = ] 001001 [', '"301001" = ] 001001 ['),
        ('"3010x1" = [ 001001 ]', 'bad descriptor code "3010x1": invalid digit found in string'),
        ('= [ 1 ]', 'bad descriptor code "": cannot parse integer from empty string'),
    ],
)
def test_sequence_def_errors(tmp_path, text, expected):
    d = table_dir(tmp_path, sequence_def="# c\n" + text + "\n")
    assert load_error(m.TableSet.from_eccodes, d) == PARSE + expected


@pytest.mark.parametrize("name", ["sequence.def", "codetables/1003.table"])
def test_invalid_utf8_text_files_are_io_errors(tmp_path, name):
    d = table_dir(tmp_path, codetables={"1003.table": "1 1 A\n"})
    (tmp_path / "t" / name).write_bytes(b"1 1 \xc3\x28\n")
    assert load_error(m.TableSet.from_eccodes, d).startswith("io error: ")


def test_code_table_lines(tmp_path):
    text = ("# header\n0 0 THREE WORDS  HERE\n1 1\nbad key\n2\t2\tTABS\u00a0AND  SPACES \r\n"
            "+3 x PLUS\n3 y REPLACED\n18446744073709551615 0 MAX\n")
    d = table_dir(tmp_path, codetables={"1003.table": text, "20003.table": "# nothing\n"})
    tables = m.TableSet.from_eccodes(d)
    assert [tables.get_meaning(1003, raw) for raw in (0, 1, 2, 3, 2**64 - 1)] == [
        "THREE WORDS HERE", None, "TABS AND SPACES", "REPLACED", "MAX"]
    assert tables.get_meaning(20003, 0) is None


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"1003.table": "x1 0 MEANING\n"}, 'bad code table key "x1": invalid digit found in string'),
        ({"1003.table": "18446744073709551616 0 M\n"},
         'bad code table key "18446744073709551616": number too large to fit in target type'),
        ({".table": "1 1 A\n"}, 'bad descriptor code ".table": invalid digit found in string'),
    ],
)
def test_code_table_errors(tmp_path, files, expected):
    assert load_error(m.TableSet.from_eccodes, table_dir(tmp_path, codetables=files)) == PARSE + expected


def test_later_code_table_file_replaces_whole_table(tmp_path):
    # "001003.table" sorts before "1003.table", which therefore wins.
    d = table_dir(tmp_path, codetables={"001003.table": "1 1 OLD\n2 2 ONLY OLD\n",
                                        "1003.table": "1 1 NEW\n", "other.txt": "x"})
    tables = m.TableSet.from_eccodes(d)
    assert (tables.get_meaning(1003, 1), tables.get_meaning(1003, 2)) == ("NEW", None)


def test_codetables_that_is_a_file(tmp_path):
    d = table_dir(tmp_path)
    (tmp_path / "t" / "codetables").write_text("")
    assert load_error(m.TableSet.from_eccodes, d) == "io error: Not a directory (os error 20)"
