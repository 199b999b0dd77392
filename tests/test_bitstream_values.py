"""Reading bits into element values: the bit reader's edges and errors, the
value and missing rules, code-table meanings, IA5 text, associated fields and
the DecodedValue class."""

from __future__ import annotations

import math

import pytest

import _morvane
from bufr_builder import BitWriter, all_ones, fxy
from decode_support import decode, decode_error, summary, tables  # noqa: F401

PREFIX = "csv/table parse error: "


def squaring_power(exponent: int) -> float:
    """10^exponent by squaring, the way values are scaled."""
    result, base = 1.0, 10.0
    while exponent:
        if exponent & 1:
            result *= base
        base *= base
        exponent >>= 1
    return result


# --------------------------------------------------------------------------
# Bit reader, seen through elements


def test_sixty_four_bit_field_is_never_missing(tables):
    (v,) = decode(tables, [63002], BitWriter().u(all_ones(64), 64))
    assert v.raw == 2**64 - 1
    assert v.raw_value == float(2**64 - 1)


@pytest.mark.parametrize(
    "descriptors, data, message",
    [
        # 2-01-129 widens a 64-bit field beyond what one read can hold.
        ([201129, 63002], b"\xff" * 9, "cannot read 65 bits into u64"),
        ([12101], b"\x01", "not enough bits while reading section 4 at bit 0 for width 16 (8 bits available)"),
        # 7 bits of 0-01-001 first: the failing read starts at bit 7 and the
        # total capacity, not the rest, is reported.
        ([1001, 12101], b"\0\0", "not enough bits while reading section 4 at bit 7 for width 16 (16 bits available)"),
        # Character data is checked byte by byte, then the partial byte.
        ([1015], b"AB", "not enough bits while reading section 4 at bit 16 for width 8 (16 bits available)"),
        ([63006], b"A", "not enough bits while reading section 4 at bit 8 for width 4 (8 bits available)"),
    ],
)
def test_reader_errors(tables, descriptors, data, message):
    assert decode_error(tables, descriptors, data) == PREFIX + message


def test_reading_exactly_to_the_end_succeeds(tables):
    # 7 + 16 + 16 + 9 = 48 bits: six bytes, no padding.
    w = BitWriter().u(5, 7).u(100, 16).u(200, 16).u(5, 9)
    assert len(w) == 48
    values = decode(tables, [1001, 12101, 12103, 20003], w)
    assert [v.raw for v in values] == [5, 100, 200, 5]


def test_partial_text_byte_is_left_aligned(tables):
    (v,) = decode(tables, [63006], b"\x41\x42")
    assert v.raw_text == "A@"  # 0x41 and the four bits 0100 -> 0x40


def test_text_straddling_bytes(tables):
    # A 4-bit flag table first, so every text byte spans two input bytes.
    w = BitWriter().u(3, 4).text("WXYZ", 32)
    flags, text = decode(tables, [63007, 1015], w)
    assert (flags.raw, text.raw_text) == (3, "WXYZ")


@pytest.mark.parametrize("offset", range(8))
def test_text_of_any_length_at_any_bit_offset(tables, offset):
    # Lengths around the seven octets the reader copies at a time when unaligned.
    for length in (1, 6, 7, 8, 13, 14, 15, 21, 22):
        text = "AZaz09#~QRSTUVWXYZ!$%&"[:length]
        w = BitWriter().u(0, offset).text(text, 8 * length).u(5, 4)
        *_, got, flags = decode(tables, [31031] * offset + [208000 + length, 1015, 208000, 63007], w)
        assert (got.raw_text, flags.raw) == (text, 5), (offset, length)


# --------------------------------------------------------------------------
# Values


@pytest.mark.parametrize(
    "descriptors, data, raw, expected",
    [
        ([63001], BitWriter().u(1000, 12), 1000, 0.0),
        ([63001], BitWriter().u(1205, 12), 1205, 20.5),
        ([63001], BitWriter().u(4095, 12), 4095, None),  # all ones: missing
        ([31001], BitWriter().u(255, 8), 255, 255.0),  # class 31 is never missing
        ([63004], BitWriter().u(5, 8), 5, 500.0),  # 5 / 0.01
        # One division by 10: 3 * 0.1 would give 0.30000000000000004.
        ([202127, 12101], BitWriter().u(3, 16), 3, 0.3),
        # The exact sum 2^53 + 2; summing in double would lose the 1.
        ([63010], BitWriter().u(1, 8), 1, 9007199254740994.0),
        # 10^33 by squaring is 1.0000000000000001e33, not the nearest double to 10^33.
        ([202161, 63009], BitWriter().u(7, 8), 7, 7 / squaring_power(33)),
        # 2-07-001: width 10 -> 14, scale 2 -> 3, reference -100 -> -1000.
        ([207001, 63005], BitWriter().u(12345, 14), 12345, 11.345),
    ],
)
def test_numeric_value_rule(tables, descriptors, data, raw, expected):
    (v,) = decode(tables, descriptors, data)
    assert v.raw == raw
    assert v.raw_value == expected


def test_zero_width_element_reads_nothing_and_is_missing(tables):
    values = decode(tables, [63003, 1001], BitWriter().u(42, 7))
    assert summary(values) == [(63003, None), (1001, 42.0)]
    assert values[0].raw == 0


def test_infinite_and_nan_values(tables):
    # Scale -400: the divisor 1 / 10^400 is 0; reference -1.
    values = decode(tables, [63011] * 3, BitWriter().u(0, 2).u(1, 2).u(2, 2))
    assert values[0].raw_value == -math.inf
    assert math.isnan(values[1].raw_value)
    assert values[2].raw_value == math.inf
    assert [repr(v) for v in values] == [
        "DecodedValue(063011, Some(-inf))",
        "DecodedValue(063011, Some(NaN))",
        "DecodedValue(063011, Some(inf))",
    ]


@pytest.mark.parametrize(
    "raw, width, value, meaning, data",
    [
        (5, 9, 5.0, "HAZE", "HAZE"),
        # A missing value keeps the meaning the code table gives all ones.
        (511, 9, None, "MISSING VALUE", "MISSING VALUE"),
        (6, 9, 6.0, None, 6.0),
    ],
)
def test_code_table_meaning(tables, raw, width, value, meaning, data):
    (v,) = decode(tables, [20003], BitWriter().u(raw, width))
    assert (v.raw_value, v.raw_meaning, v.data) == (value, meaning, data)


# --------------------------------------------------------------------------
# Character data


@pytest.mark.parametrize(
    "field, text",
    [
        (b"ABC ", "ABC"),
        (b"A\xc3  ", "A?"),
        (b"    ", ""),
        (b"\0 A\t", "\0 A"),  # leading blanks and NULs stay
        (b"\xff\xff\xff\xff", None),
    ],
)
def test_ia5_text(tables, field, text):
    (v,) = decode(tables, [1015], field)
    assert v.raw_text == text
    assert v.raw is None and v.raw_meaning is None
    assert v.raw_value == 1004.0  # first character element, 32 bits
    assert v.data == (text if text is not None else 1004.0)


def test_text_numbers_run_across_subsets(tables):
    w = BitWriter().text("AB", 32).u(1, 7).text("CD", 32).u(2, 7)
    values = decode(tables, [1015, 1001], w, subsets=2)
    assert [v.raw_value for v in values] == [1004.0, 1.0, 2004.0, 2.0]


def test_text_width_operator(tables):
    # 2-08-002: two characters instead of four; the number uses the new width.
    values = decode(tables, [208002, 1015, 208000, 1015], BitWriter().text("XY", 16).text("ABCD", 32))
    assert [(v.raw_text, v.raw_value) for v in values] == [("XY", 1002.0), ("ABCD", 2004.0)]


# --------------------------------------------------------------------------
# Associated fields


def test_associated_field_precedes_elements_except_class_31(tables):
    w = BitWriter().u(2, 6).u(3, 2).u(27315, 16)
    values = decode(tables, [204002, 31021, 12101, 204000], w)
    assert summary(values) == [(31021, 2.0), (999999, 3.0), (12101, 273.15)]
    field = values[1]
    assert (field.name, field.raw, field.raw_meaning) == ("associatedField", 3, None)


def test_associated_fields_in_a_group_repeated_in_place(tables):
    # Only the repeats while 2-04 is in force have fields.
    w = BitWriter().u(2, 6)
    for field, value in ((1, 27315), (2, 27316)):
        w.u(field, 2).u(value, 16)
    w.u(27317, 16)
    values = decode(tables, [204002, 31021, 101002, 12101, 204000, 101001, 12101], w)
    assert summary(values) == [(31021, 2.0), (999999, 1.0), (12101, 273.15), (999999, 2.0),
                               (12101, 273.16), (12101, 273.17)]


# --------------------------------------------------------------------------
# The DecodedValue class


def test_decoded_value_attributes(tables):
    v, marker = decode(tables, [12101, 222000], BitWriter().u(27315, 16))
    assert (v.descriptor, v.name, v.raw, v.raw_text, v.raw_meaning) == (12101, "TEMPERATURE", 27315, None, None)
    assert type(v.raw_value) is float and type(v.raw) is int
    assert (marker.name, marker.raw_value, marker.raw) == ("operator", 0.0, 0)
    with pytest.raises(AttributeError):
        v.raw = 1
    with pytest.raises(TypeError):
        _morvane.DecodedValue()


@pytest.mark.parametrize(
    "descriptors, data, expected",
    [
        ([12101], BitWriter().u(27315, 16), "DecodedValue(012101, Some(273.15))"),
        ([12101], BitWriter().u(all_ones(16), 16), "DecodedValue(012101, None)"),
        ([222000], b"", "DecodedValue(222000, Some(0.0))"),
        ([63004], BitWriter().u(0, 8), "DecodedValue(063004, Some(0.0))"),
        ([63001], BitWriter().u(950, 12), "DecodedValue(063001, Some(-5.0))"),
        ([63002], BitWriter().u(10**16, 64), "DecodedValue(063002, Some(1e16))"),
        ([63002], BitWriter().u(10**16 - 2, 64), "DecodedValue(063002, Some(9999999999999998.0))"),
        ([63002], BitWriter().u(123456789012345678, 64), "DecodedValue(063002, Some(1.2345678901234568e17))"),
        ([202134, 63009], BitWriter().u(15, 8), "DecodedValue(063009, Some(1.5e-5))"),
        ([202132, 63009], BitWriter().u(1, 8), "DecodedValue(063009, Some(0.0001))"),
        ([1015], b'a"b\\', 'DecodedValue(001015, "a\\"b\\\\")'),
        ([1015], b"\x01\tc ", 'DecodedValue(001015, "\\u{1}\\tc")'),
        ([20003], BitWriter().u(5, 9), 'DecodedValue(020003, "HAZE")'),
    ],
)
def test_repr(tables, descriptors, data, expected):
    assert repr(decode(tables, descriptors, data)[-1]) == expected
