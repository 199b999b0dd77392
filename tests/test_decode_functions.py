"""The four decoding and expansion functions at the Python boundary:
signatures, keywords, argument types, first-message selection and the order
of their checks."""

from __future__ import annotations

import inspect
import pathlib

import pytest

import _morvane
from bufr_builder import BitWriter, message, write_definitions_root, write_table_dir
from decode_support import CODE_TABLES, ELEMENTS, SEQUENCES

SOUND = message([12101], BitWriter().u(27315, 16))
OTHER = message([12101], BitWriter().u(100, 16))


@pytest.fixture(scope="module")
def table_dir(tmp_path_factory):
    return str(write_table_dir(tmp_path_factory.mktemp("t"), ELEMENTS, SEQUENCES, CODE_TABLES))


@pytest.mark.parametrize(
    "function, signature",
    [
        (_morvane.expand_descriptors, "(table_dir, descriptors)"),
        (_morvane.decode_values, "(data, table_dir)"),
        (_morvane.decode_values_with_tables, "(data, tables)"),
        (_morvane.decode_values_with_definitions, "(data, definitions_root)"),
    ],
)
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature


def test_decode_values_by_position_and_keyword(table_dir):
    by_position = _morvane.decode_values(SOUND, table_dir)
    by_keyword = _morvane.decode_values(table_dir=table_dir, data=SOUND)
    assert [repr(v) for v in by_position] == [repr(v) for v in by_keyword] == ["DecodedValue(012101, Some(273.15))"]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "missing BUFR marker"),
        (b"no marker here", "missing BUFR marker"),
        # Only the first message is decoded, but the whole buffer is framed.
        (SOUND + b"BUFR\0\0\0", "message is too short to be BUFR"),
    ],
)
def test_first_message_selection_errors(table_dir, data, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _morvane.decode_values(data, table_dir)


def test_only_the_first_message_is_decoded(table_dir):
    values = _morvane.decode_values(b"junk" + SOUND + OTHER, table_dir)
    assert [v.raw_value for v in values] == [273.15]


def test_message_errors_come_before_table_errors(tmp_path):
    broken = SOUND[:-4] + b"7776"
    with pytest.raises(ValueError, match="^section 5 terminator is not 7777$"):
        _morvane.decode_values(broken, str(tmp_path / "absent"))
    # A missing table directory is a ValueError, not an OSError.
    with pytest.raises(ValueError) as info:
        _morvane.decode_values(SOUND, str(tmp_path / "absent"))
    assert not isinstance(info.value, OSError)


@pytest.mark.parametrize(
    "call",
    [
        lambda d: _morvane.decode_values(bytearray(SOUND), d),
        lambda d: _morvane.decode_values(SOUND, pathlib.Path(d)),
        lambda d: _morvane.decode_values(SOUND, d, d),
        lambda d: _morvane.decode_values(SOUND),
        lambda d: _morvane.decode_values(SOUND, tables=d),
        lambda d: _morvane.decode_values_with_tables(SOUND, d),
        lambda d: _morvane.decode_values_with_definitions(SOUND, None),
        lambda d: _morvane.expand_descriptors(d, "301011"),
        lambda d: _morvane.expand_descriptors(d, [1001, "x"]),
    ],
)
def test_argument_type_errors(table_dir, call):
    with pytest.raises(TypeError):
        call(table_dir)


def test_descriptor_out_of_range(table_dir):
    with pytest.raises(OverflowError):
        _morvane.expand_descriptors(table_dir, [2**32])


def test_expand_descriptors(table_dir):
    assert _morvane.expand_descriptors(table_dir, (300001,)) == [1001, 12101]
    assert _morvane.expand_descriptors(descriptors=[300003], table_dir=table_dir) == [31001, 12101]
    with pytest.raises(ValueError, match="was not found in Table D"):
        _morvane.expand_descriptors(table_dir, [301250])


def test_one_table_set_serves_many_decodes(table_dir):
    tables = _morvane.TableSet.from_eccodes(table_dir)
    first = _morvane.decode_values_with_tables(SOUND, tables)
    second = _morvane.decode_values_with_tables(data=SOUND, tables=tables)
    assert [repr(v) for v in first] == [repr(v) for v in second]
    assert first[0].name == "TEMPERATURE" and first[0] is not second[0]


def test_definitions_follow_the_message_header(tmp_path):
    # Version 39 holds a different temperature width than version 40.
    root = write_definitions_root(tmp_path, masters={
        39: {"elements": {12101: ELEMENTS[12101]}},
        40: {"elements": {12101: ELEMENTS[12101].__class__("T40", "K", 2, 0, 8)}},
    })
    v39 = _morvane.decode_values_with_definitions(SOUND, str(root))
    newer = message([12101], BitWriter().u(150, 8), master_version=40)
    v40 = _morvane.decode_values_with_definitions(newer, definitions_root=str(root))
    assert [(v.name, v.raw_value) for v in v39 + v40] == [("TEMPERATURE", 273.15), ("T40", 1.5)]


def test_compressed_and_uncompressed_give_the_same_shape(table_dir):
    plain = message([12101, 222000], BitWriter().u(100, 16).u(200, 16), subsets=2)
    packed = message([12101, 222000], BitWriter().compressed([100, 200], 16), subsets=2, compressed=True)
    assert [repr(v) for v in _morvane.decode_values(plain, table_dir)] == [
        repr(v) for v in _morvane.decode_values(packed, table_dir)]
