"""The WMO BUFR4 CSV loader on small directories written into tmp_path."""

import pytest

import _morvane as m

B_HEADER = "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,BUFR_DataWidth_Bits,Status\n"
D_HEADER = "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2,ElementName_en\n"


def write(d, files):
    d.mkdir(exist_ok=True)
    for name, text in files.items():
        (d / name).write_text(text, encoding="utf-8")
    return str(d)


def b_row(code, name="Example element", unit="K", scale="2", reference="0", width="16"):
    return f"12,Temperature,{code},{name},{unit},{scale},{reference},{width},Operational\n"


def d_rows(*pairs):
    return "".join(f"01,Location,{seq},Title,,{member},Name\n" for seq, member in pairs)


@pytest.mark.parametrize(
    "unit, element_type",
    [("K", "long"), ("Code table", "code"), ("Flag table", "flags"), ("CCITT IA5", "string"),
     ("code table", "long"), ("Code table ", "long")],
)
def test_table_b_record(tmp_path, unit, element_type):
    tables = m.TableSet.from_bufr4_45(write(tmp_path, {
        "BUFRCREX_TableB_en_12.csv": B_HEADER + b_row("012101", unit=unit) + b_row('"001001"'),
    }))
    e = tables.get_element(12101)
    assert (e.code, e.name, e.unit, e.scale, e.reference, e.width) == (
        12101, "Example element", unit, 2, 0, 16)
    assert (e.abbreviation, e.element_type) == ("", element_type)
    assert tables.get_element(1001).code == 1001
    assert tables.get_meaning(12101, 0) is None


def test_file_order_and_non_matching_names(tmp_path):
    d = write(tmp_path, {
        "BUFRCREX_TableB_en_02.csv": B_HEADER + b_row("001001", name="later"),
        "BUFRCREX_TableB_en_01.csv": B_HEADER + b_row("001001", name="earlier") + b_row("001002"),
        "BUFRCREX_TableB_en_.csv": B_HEADER + b_row("001003"),
        "BUFRCREX_TableB_fr_01.csv": "not, a, table\n",
        "BUFRCREX_TableB_en_03.txt": "not, a, table\n",
        "BUFR_TableD_en_01.csv": D_HEADER + d_rows((301001, 1001), (301001, 1002), (301002, 2001),
                                                   (301001, 1003), (301003, 1001)),
        "BUFR_TableD_en_03.csv": D_HEADER + d_rows((301003, 1002), (301003, 1003)),
    })
    tables = m.TableSet.from_bufr4_45(d)
    assert (tables.element_count, tables.sequence_count) == (3, 3)
    assert tables.get_element(1001).name == "later"
    assert [tables.get_sequence(c).members for c in (301001, 301002, 301003)] == [
        [1001, 1002, 1003], [2001], [1002, 1003]]


def test_short_records_are_skipped(tmp_path):
    d = write(tmp_path, {
        "BUFRCREX_TableB_en_01.csv": "a,b,c,d,e,f,g\n1,2,001001,4,5,6,7\n",
        "BUFR_TableD_en_01.csv": "a,b,c,d,e\n1,2,301001,4,5\n",
    })
    tables = m.TableSet.from_bufr4_45(d)
    assert (tables.element_count, tables.sequence_count) == (0, 0)


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row("012101", scale=" 2")},
         'bad i32 " 2": invalid digit found in string'),
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row("0 12101")},
         'bad descriptor code "0 12101": invalid digit found in string'),
        ({"BUFR_TableD_en_01.csv": D_HEADER + d_rows((301001, "x"))},
         'bad descriptor code "x": invalid digit found in string'),
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER[:-1] + ",Extra\n" + b_row("001001")},
         "CSV error: record 1 (line: 2, byte: 114): found record with 9 fields, "
         "but the previous record has 10 fields"),
    ],
)
def test_load_errors(tmp_path, files, expected):
    with pytest.raises(ValueError) as info:
        m.TableSet.from_bufr4_45(write(tmp_path, files))
    assert str(info.value) == "csv/table parse error: " + expected


def test_directory_errors(tmp_path):
    assert repr(m.TableSet.from_bufr4_45(str(tmp_path))) == "TableSet(elements=0, sequences=0)"
    with pytest.raises(ValueError, match=r"^io error: No such file or directory \(os error 2\)$"):
        m.TableSet.from_bufr4_45(str(tmp_path / "missing"))
    (tmp_path / "file").write_text("")
    with pytest.raises(ValueError, match=r"^io error: Not a directory \(os error 20\)$"):
        m.TableSet.from_bufr4_45(str(tmp_path / "file"))
