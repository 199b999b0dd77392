"""Operators as real messages use them, in both walks: inserted text (2-05),
new reference values (2-03), bitmaps that follow 2-22/2-23/2-24/2-25/2-32-000
directly, and code/flag tables untouched by 2-01, 2-02 and 2-07."""

from __future__ import annotations

import pytest

from bufr_builder import BitWriter
from decode_support import decode, summary, tables  # noqa: F401


def cdecode(tables, descriptors, data, subsets):
    return decode(tables, descriptors, data, subsets=subsets, compressed=True)


# --------------------------------------------------------------------------
# 2-05-YYY: inserted characters


def test_inserted_text_inside_a_replicated_group(tables):
    w = BitWriter().text("ABC", 24).u(100, 16).text("XYZ", 24).u(200, 16).text("NAME", 32)
    values = decode(tables, [102002, 205003, 12101, 1015], w)
    assert summary(values) == [(205003, "ABC"), (12101, 1.0), (205003, "XYZ"), (12101, 2.0),
                               (1015, "NAME")]
    text = values[0]
    assert (text.name, text.raw_value, text.raw, text.raw_meaning) == ("text", None, None, None)
    # Inserted text is not a character element: the first one is still number 1.
    assert values[-1].raw_value == 1004.0


def test_inserted_text_of_all_ones_is_absent(tables):
    (text,) = decode(tables, [205002], b"\xff\xff")
    assert (text.descriptor, text.raw_text, text.data) == (205002, None, None)


def test_inserted_text_is_not_in_the_bitmap_history(tables):
    w = BitWriter().u(100, 16).text("AB", 16).u(0, 1).u(150, 16)
    values = decode(tables, [12101, 205002, 236000, 31031, 223255], w)
    assert summary(values)[-1] == (12101, 1.5)


def test_compressed_inserted_text(tables):
    w = BitWriter().compressed_text(["AB", "AB"], 16).compressed_text(["CD", "EF"], 16)
    values = cdecode(tables, [205002, 205002], w, 2)
    assert summary(values) == [(205002, "AB"), (205002, "CD"), (205002, "AB"), (205002, "EF")]
    assert all(v.raw_value is None and v.name == "text" for v in values)


# --------------------------------------------------------------------------
# 2-03-YYY: new reference values


def new_reference(value: int, width: int) -> int:
    """Sign in the leftmost bit, magnitude in the rest."""
    return (1 << (width - 1)) | -value if value < 0 else value


DESCRIPTORS_203 = [203012, 12101, 203255, 12101, 203000, 12101]


def test_new_reference_values(tables):
    w = BitWriter().u(new_reference(-1000, 12), 12).u(1500, 16).u(1500, 16)
    values = decode(tables, DESCRIPTORS_203, w)
    # (1500 - 1000) / 100, then Table B's reference 0 again after 2-03-000.
    assert summary(values) == [(12101, 5.0), (12101, 15.0)]


def test_new_reference_values_in_a_group_repeated_in_place(tables):
    # Kept after 2-03-255 for every repeat, only for the element given one,
    # until 2-03-000; each subset sets its own.
    w = BitWriter()
    for _ in range(2):
        w.u(new_reference(-1000, 12), 12).u(1500, 16).u(1600, 16).u(1700, 16).u(1800, 16).u(1500, 16)
    descriptors = [203012, 12101, 203255, 102002, 12101, 12103, 203000, 12101]
    values = decode(tables, descriptors, w, subsets=2)
    assert summary(values) == [(12101, 5.0), (12103, 16.0), (12101, 7.0), (12103, 18.0), (12101, 15.0)] * 2


def test_compressed_new_reference_values(tables):
    # The new reference is written once for all subsets, as plain bits.
    w = BitWriter().u(new_reference(-1000, 12), 12)
    w.compressed([1500, 1600], 16).compressed([1500, 1500], 16)
    values = cdecode(tables, DESCRIPTORS_203, w, 2)
    assert summary(values) == [(12101, 5.0), (12101, 15.0), (12101, 6.0), (12101, 15.0)]


# --------------------------------------------------------------------------
# Bitmaps right after the operator


# Two observed values, a quality bitmap with one quality value, then a
# substitution bitmap whose re-read must point at the observed values, not
# at the quality value in between.
INLINE = [12101, 12103, 222000, 101002, 31031, 101001, 33007, 223000, 101002, 31031, 223255]


def test_inline_bitmaps_refer_to_the_first_operators_elements(tables):
    w = BitWriter().u(100, 16).u(200, 16).u(1, 1).u(0, 1).u(90, 7).u(1, 1).u(0, 1).u(250, 16)
    values = decode(tables, INLINE, w)
    assert summary(values) == [
        (12101, 1.0), (12103, 2.0), (222000, 0.0), (31031, 1.0), (31031, 0.0), (33007, 90.0),
        (223000, 0.0), (31031, 1.0), (31031, 0.0), (12103, 2.5),
    ]


def test_compressed_inline_bitmaps(tables):
    w = BitWriter().compressed([100, 101], 16).compressed([200, 201], 16)
    w.compressed([1, 1], 1).compressed([0, 0], 1).compressed([90, 80], 7)
    w.compressed([1, 1], 1).compressed([0, 0], 1).compressed([250, 260], 16)
    values = cdecode(tables, INLINE, w, 2)
    assert [v.descriptor for v in values[:10]] == [12101, 12103, 222000, 31031, 31031, 33007,
                                                   223000, 31031, 31031, 12103]
    assert (values[9].raw_value, values[19].raw_value) == (2.5, 2.6)


def test_operator_without_bitmap_leaves_the_defined_one(tables):
    # 2-22-000 followed by 2-36-000: the 2-36 bitmap works as before.
    w = BitWriter().u(100, 16).u(0, 1).u(150, 16)
    values = decode(tables, [12101, 222000, 236000, 31031, 224255], w)
    assert summary(values) == [(12101, 1.0), (222000, 0.0), (236000, 0.0), (31031, 0.0), (12101, 1.5)]


# --------------------------------------------------------------------------
# Code and flag tables keep their Table B coding


@pytest.mark.parametrize(
    "operators",
    [[201132], [207001], [202129], [201132, 207002]],
)
def test_code_and_flag_tables_ignore_width_scale_reference_changes(tables, operators):
    w = BitWriter().u(9, 4).u(3, 4)
    values = decode(tables, operators + [63007, 63008], w)
    assert [(v.raw, v.raw_value, v.raw_meaning) for v in values] == [(9, 9.0, None), (3, 3.0, "THREE")]


def test_compressed_code_tables_ignore_width_changes(tables):
    w = BitWriter().compressed([9, 10], 4).compressed([3, 3], 4).compressed([40, 40], 12)
    values = cdecode(tables, [201132, 63007, 63008, 63009], w, 2)
    assert [v.raw for v in values] == [9, 3, 40, 10, 3, 40]
