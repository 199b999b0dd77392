"""The delimited-record reader, seen through the two loaders that use it:
element.table ("|", "#" comments, no header) and the WMO CSV files (",", header row)."""

import pytest

import _morvane as m

PREFIX = "csv/table parse error: "
CSV_HEADER = b"ClassNo,ClassName,FXY,Name,Unit,Scale,Reference,Width\n"


def csv_dir(tmp_path, body: bytes, name="BUFRCREX_TableB_en_01.csv"):
    d = tmp_path / "csv"
    d.mkdir(exist_ok=True)
    (d / name).write_bytes(body)
    return d


def element_dir(tmp_path, body: bytes):
    d = tmp_path / "eccodes"
    d.mkdir(exist_ok=True)
    (d / "element.table").write_bytes(body)
    (d / "sequence.def").write_bytes(b"")
    return d


def csv_error(tmp_path, body):
    with pytest.raises(ValueError) as info:
        m.TableSet.from_bufr4_45(str(csv_dir(tmp_path, body)))
    return str(info.value)


@pytest.mark.parametrize(
    "row, name",
    [
        (b'01,c,001001,"a, b",K,0,0,7\n', "a, b"),
        (b'01,c,001001,"two\nlines",K,0,0,7\n', "two\nlines"),
        (b'01,c,001001,"say ""hi""",K,0,0,7\n', 'say "hi"'),
        (b'01,c,001001,"q"tail,K,0,0,7\n', "qtail"),
        (b"01,c,001001, padded ,K,0,0,7\n", " padded "),
        (b'01,c,001001,mid"quote,K,0,0,7\n', 'mid"quote'),
        (b"01,c,001001,caf\xc3\xa9,K,0,0,7\n", "caf\u00e9"),
    ],
)
def test_csv_field_dialect(tmp_path, row, name):
    tables = m.TableSet.from_bufr4_45(str(csv_dir(tmp_path, CSV_HEADER + row)))
    assert tables.get_element(1001).name == name


@pytest.mark.parametrize("newline", [b"\n", b"\r\n", b"\r"])
def test_line_endings_bom_and_blank_lines(tmp_path, newline):
    # A BOM left in the first field would make its code unparsable.
    rows = [b"\xef\xbb\xbf001001|a|t|first|u|0|0|7", b"", b"", b"001002|b|t|second|u|1|-5|12"]
    tables = m.TableSet.from_eccodes(str(element_dir(tmp_path, newline.join(rows) + newline)))
    assert tables.element_count == 2
    assert tables.get_element(1001).abbreviation == "a"
    second = tables.get_element(1002)
    assert (second.name, second.scale, second.reference, second.width) == ("second", 1, -5, 12)


def test_comment_lines_are_skipped_before_field_count_is_set(tmp_path):
    body = b"#only|three|fields\n001001|a|t|n|u|0|0|7|x|y|z\n# x\n001002|a|t|n|u|0|0|7|x|y|z\n"
    assert m.TableSet.from_eccodes(str(element_dir(tmp_path, body))).element_count == 2


@pytest.mark.parametrize(
    "body, record, line, byte, found, expected",
    [
        # Record 0 is the header; an empty line is not a record.
        (CSV_HEADER + b"01,c,001001,n,K,0,0,7\n\n01,c,001002,n,K,0,0,7,extra\n", 2, 4, 77, 9, 8),
        (b"a,b\n1,2\n\n3,4,5\n", 2, 4, 9, 3, 2),
        # A quoted line break moves the line count but stays in one record.
        (b'a,b\n"x\ny",2\n1\n', 2, 4, 12, 1, 2),
        (b"a,b\r\n1,2\r\n3\r\n", 2, 3, 10, 1, 2),
    ],
)
def test_unequal_field_count_text(tmp_path, body, record, line, byte, found, expected):
    assert csv_error(tmp_path, body) == PREFIX + (
        f"CSV error: record {record} (line: {line}, byte: {byte}): found record with {found} "
        f"fields, but the previous record has {expected} fields")


@pytest.mark.parametrize("field, index", [(b"ab\xffcd", 2), (b"caf\xc3", 3), (b"\xed\xa0\x80", 0)])
def test_invalid_utf8_text(tmp_path, field, index):
    text = csv_error(tmp_path, CSV_HEADER + b"01,c,001001," + field + b",K,0,0,7\n")
    assert text == PREFIX + ("CSV parse error: record 1 (line 2, field: 3, byte: 54): invalid "
                             f"utf-8: invalid UTF-8 in field 3 near byte index {index}")


def test_header_only_and_short_header(tmp_path):
    assert m.TableSet.from_bufr4_45(str(csv_dir(tmp_path, CSV_HEADER))).element_count == 0
    # Seven header fields: every record must have seven and all are too short.
    short = b"a,b,c,d,e,f,g\n01,c,001001,n,K,0,0\n"
    assert m.TableSet.from_bufr4_45(str(csv_dir(tmp_path, short))).element_count == 0
    assert "found record with 8 fields, but the previous record has 7" in csv_error(
        tmp_path, short + b"01,c,001002,n,K,0,0,7\n")


def test_unterminated_quote_runs_to_end_of_file(tmp_path):
    body = CSV_HEADER + b'01,c,001001,"never closed,K,0,0,7\n01,c,001002,n,K,0,0,7\n'
    # The open quote swallows the rest of the file: a record with 4 fields.
    assert "found record with 4 fields" in csv_error(tmp_path, body)


def test_long_single_line_streams(tmp_path):
    name = "x" * (10 * 1024 * 1024)
    body = CSV_HEADER + b"01,c,001001," + name.encode() + b",K,0,0,7\n"
    assert m.TableSet.from_bufr4_45(str(csv_dir(tmp_path, body))).get_element(1001).name == name
    # The same line without delimiters is one field: a clean count error.
    assert "found record with 1 fields" in csv_error(tmp_path, CSV_HEADER + name.encode())


def test_unreadable_matched_file(tmp_path):
    d = tmp_path / "csv"
    (d / "BUFRCREX_TableB_en_00.csv").mkdir(parents=True)
    with pytest.raises(ValueError, match=r"^csv/table parse error: .*\(os error 21\)$"):
        m.TableSet.from_bufr4_45(str(d))
