"""Compressed data: local references and increments, the missing rules,
character columns and their numbering, replication factors, marker columns,
bitmaps and the regrouping into subset order."""

from __future__ import annotations

import pytest

from bufr_builder import BitWriter, all_ones
from decode_support import decode, decode_error, summary, tables  # noqa: F401

PREFIX = "csv/table parse error: "


def cdecode(tables, descriptors, data, subsets):
    return decode(tables, descriptors, data, subsets=subsets, compressed=True)


def column(values, subsets, index=0):
    """Column ``index`` of a regrouped result with one item per column per subset."""
    width = len(values) // subsets
    return [values[s * width + index] for s in range(subsets)]


def test_zero_subsets_still_read_local_references(tables):
    # R0 and NBINC are read even with no subsets, increments are not: 16 bits
    # of R0 leave too little for the 6-bit NBINC.
    message = decode_error(tables, [12101], BitWriter().u(5, 16), subsets=0, compressed=True)
    assert message == PREFIX + "not enough bits while reading section 4 at bit 16 for width 6 (16 bits available)"
    w = BitWriter().u(5, 16).u(3, 6).u(2, 8).u(0, 6)  # NBINC 3 without increments, factor 2
    assert cdecode(tables, [12101, 101000, 31001, 12103], w, 0) == []


@pytest.mark.parametrize(
    "raws, nbinc, expected",
    [
        ([100, 100, 100], None, [1.0, 1.0, 1.0]),  # NBINC 0
        ([100, 250, None], None, [1.0, 2.5, None]),  # all-ones increment: missing
        ([None, None, None], 0, [None, None, None]),  # R0 all ones, NBINC 0
        ([None, None, None], 4, [None, None, None]),  # R0 all ones, increments ignored
        ([0, 2**62, 5], 63, [0.0, 2**62 / 100, 0.05]),  # the widest increments
    ],
)
def test_numeric_columns(tables, raws, nbinc, expected):
    values = cdecode(tables, [12101], BitWriter().compressed(raws, 16, nbinc), len(raws))
    assert [v.raw_value for v in values] == expected


def test_missing_subset_keeps_the_local_reference(tables):
    # R0 = 5 (HAZE); the second increment is all ones.
    w = BitWriter().u(5, 9).u(2, 6).u(0, 2).u(3, 2)
    values = cdecode(tables, [20003], w, 2)
    assert [(v.raw, v.raw_value, v.raw_meaning) for v in values] == [(5, 5.0, "HAZE"), (5, None, "HAZE")]


@pytest.mark.parametrize(
    "descriptors, data, expected",
    [
        # Class 31 with all bits set is a value.
        ([31021], BitWriter().u(63, 6).u(0, 6), [63.0, 63.0]),
        # Class 31 increments with all bits set are values too.
        ([31021], BitWriter().u(1, 6).u(1, 6).u(0, 1).u(1, 1), [1.0, 2.0]),
        # Width 0: R0 is 0 and counts as missing.
        ([63003], BitWriter().u(0, 6), [None, None]),
        # A 64-bit local reference of all ones is a value.
        ([63002], BitWriter().u(all_ones(64), 64).u(0, 6), [float(2**64 - 1)] * 2),
    ],
)
def test_missing_rule_exceptions(tables, descriptors, data, expected):
    assert [v.raw_value for v in cdecode(tables, descriptors, data, 2)] == expected


def test_character_columns(tables):
    w = BitWriter().compressed_text(["AB", "AB", "AB", "AB", "AB"], 32)
    w.compressed_text(["A", "B", None, "DD", "E"], 32)
    w.text(None, 32).u(0, 6)  # R0 all 0xFF with NBINC 0
    values = cdecode(tables, [1015, 1015, 1015], w, 5)
    assert [v.raw_text for v in column(values, 5, 0)] == ["AB"] * 5
    assert [v.raw_text for v in column(values, 5, 1)] == ["A", "B", None, "DD", "E"]
    third = column(values, 5, 2)
    assert [v.raw_text for v in third] == [None] * 5
    # The third character column (k = 2) of five subsets: (5 * 2 + s + 1) * 1000 + 4.
    assert [v.raw_value for v in third] == [11004.0, 12004.0, 13004.0, 14004.0, 15004.0]
    assert all(v.raw is None for v in values)


def test_equal_factors_repeat_for_every_subset(tables):
    w = BitWriter().compressed([2, 2], 8, nbinc=1).compressed([100, 200], 16).compressed([300, 400], 16)
    values = cdecode(tables, [101000, 31001, 12101], w, 2)
    assert summary(values) == [(31001, 2.0), (12101, 1.0), (12101, 3.0),
                               (31001, 2.0), (12101, 2.0), (12101, 4.0)]


@pytest.mark.parametrize("factors", [[3, 4], [3, None]])
def test_varying_factors(tables, factors):
    w = BitWriter().compressed(factors, 8, nbinc=2)
    assert decode_error(tables, [101000, 31001, 12101], w, subsets=2, compressed=True) == (
        PREFIX + "compressed delayed replication with varying factors is not implemented")


def test_missing_first_factor_repeats_nothing(tables):
    # A plain element as factor, since class 31 factors are never missing.
    w = BitWriter().u(all_ones(8), 8).u(0, 6)
    values = cdecode(tables, [101000, 63009, 12101], w, 2)
    assert summary(values) == [(63009, None), (63009, None)]


def test_markers_interleave_with_elements(tables):
    w = BitWriter().compressed([100, 200, 300], 16)
    values = cdecode(tables, [12101, 222000], w, 3)
    assert summary(values) == [(12101, 1.0), (222000, 0.0), (12101, 2.0), (222000, 0.0),
                               (12101, 3.0), (222000, 0.0)]


def test_associated_field_columns(tables):
    w = BitWriter().compressed([2, 2], 6).compressed([3, 1], 2, nbinc=2).compressed([100, 200], 16)
    values = cdecode(tables, [204002, 31021, 12101], w, 2)
    assert summary(values) == [(31021, 2.0), (999999, 3.0), (12101, 1.0),
                               (31021, 2.0), (999999, 1.0), (12101, 2.0)]


def test_bitmap_from_subset_zero(tables):
    w = BitWriter().compressed([1000, 1001], 16).compressed([2000, 2001], 16)
    w.compressed([0, 1], 1, nbinc=1).compressed([1, 1], 1)  # subset 0 decides: 0 then 1
    w.compressed([1500, 1600], 16)
    descriptors = [12101, 12103, 223000, 236000, 101002, 31031, 223255, 223255]
    values = cdecode(tables, descriptors, w, 2)
    assert [v.descriptor for v in column(values, 2, 6)] == [12101, 12101]
    assert [v.raw_value for v in column(values, 2, 6)] == [15.0, 16.0]
    assert len(values) == 14


def test_recursion_limit(tables):
    assert decode_error(tables, [300002], b"\0", subsets=2, compressed=True) == (
        PREFIX + "compressed descriptor decode exceeded recursion depth")


def test_many_subsets_with_tiny_data_fail_fast(tables):
    # A factor of 255 over 255-fold markers for 65535 subsets.
    w = BitWriter().u(255, 8).u(0, 6)
    assert "work limit" in decode_error(tables, [102000, 31001, 101255, 222000], w,
                                        subsets=65535, compressed=True)
