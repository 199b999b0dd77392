"""The uncompressed walk: replication, sequences, operators, bitmaps, per-subset
state, the depth limit, the error texts and bounded work."""

from __future__ import annotations

import re

import pytest

from bufr_builder import BitWriter, all_ones, element
from decode_support import decode, decode_error, summary, tables  # noqa: F401
from hostile_cases import ZERO
from hostile_cases import tables as hostile_tables

PREFIX = "csv/table parse error: "


def test_zero_subsets_read_nothing(tables):
    assert decode(tables, [12101, 101000, 31001, 12103], b"", subsets=0) == []


def test_sequence_and_fixed_replication(tables):
    w = BitWriter().u(3, 7).u(100, 16).u(200, 16).u(300, 16).u(400, 16)
    values = decode(tables, [300001, 101003, 12101], w)
    assert summary(values) == [(1001, 3.0), (12101, 1.0), (12101, 2.0), (12101, 3.0), (12101, 4.0)]


@pytest.mark.parametrize("factor, expected", [(3, [3.0, 1.0, 2.0, 3.0]), (0, [0.0])])
def test_delayed_replication(tables, factor, expected):
    w = BitWriter().u(factor, 8)
    for k in range(factor):
        w.u(100 * (k + 1), 16)
    values = decode(tables, [101000, 31001, 12101], w)
    assert [v.raw_value for v in values] == expected
    assert values[0].descriptor == 31001


@pytest.mark.parametrize(
    "descriptors, message",
    [
        ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor or replicated descriptors"),
        ([102000, 31001, 12101], "delayed replication descriptor 102000 is missing its replication factor or replicated descriptors"),
        ([103000, 31001, 12101], "unsupported replication descriptor 103000"),
        ([100000], "unsupported replication descriptor 100000"),
        ([12245], "descriptor 012245 was not found in Table B"),
        ([101000, 31009, 12101], "descriptor 031009 was not found in Table B"),
        # A factor is looked up in Table B whatever its F.
        ([101000, 201129, 12101], "descriptor 201129 was not found in Table B"),
        ([101000, 300001, 12101], "descriptor 300001 was not found in Table B"),
        ([203008, 12245], "descriptor 012245 was not found in Table B"),
        ([301250], "descriptor 301250 was not found in Table D"),
        ([300004], PREFIX + "invalid descriptor 400000"),
        ([300002], PREFIX + "descriptor decode exceeded recursion depth"),
        ([301101], PREFIX + "descriptor decode exceeded recursion depth"),
    ],
)
def test_walk_errors(tables, descriptors, message):
    assert decode_error(tables, descriptors, b"\0" * 8) == message


def test_sixty_four_levels_are_walked(tables):
    assert summary(decode(tables, [301102], BitWriter().u(9, 7))) == [(1001, 9.0)]


@pytest.mark.parametrize("repeats", [3, 1])
def test_replicated_elements_read_as_written_out(tables, repeats):
    # A group of elements only is repeated in place rather than walked again:
    # it must read, and run out of data, exactly as the elements written out.
    w = BitWriter()
    for k in range(repeats):
        w.u(k + 1, 7).u(100 * k, 16)
    written_out = [1001, 12101] * 3
    if repeats < 3:
        assert decode_error(tables, [102003, 1001, 12101], w) == decode_error(tables, written_out, w)
        return
    expected = summary(decode(tables, written_out, w))
    assert summary(decode(tables, [102003, 1001, 12101], w)) == expected
    delayed = BitWriter().u(3, 8)
    for k in range(3):
        delayed.u(k + 1, 7).u(100 * k, 16)
    assert summary(decode(tables, [102000, 31001, 1001, 12101], delayed))[1:] == expected


@pytest.mark.parametrize("levels, fails", [(63, False), (64, True)])
def test_replicated_elements_keep_the_depth_limit(tmp_path, levels, fails):
    # The replication sits in the innermost of `levels` nested sequences, so
    # its group is walked one level deeper than the sequence members.
    chain = {310000 + k: [310001 + k] for k in range(levels - 1)}
    chain[310000 + levels - 1] = [101002, 63009]
    table_set = hostile_tables(tmp_path, sequences=chain)
    data = BitWriter().u(5, 8).u(6, 8)
    if fails:
        assert decode_error(table_set, [310000], data) == PREFIX + "descriptor decode exceeded recursion depth"
    else:
        assert summary(decode(table_set, [310000], data)) == [(63009, 5.0), (63009, 6.0)]


# A replicated group of sequences of elements only (a TEMP level) repeats in
# place from its second repetition: values, failures, charges and the depth
# limit must be those of the walk.

TEXT = {1015: element("STATION NAME", "CCITT IA5", 0, 0, 32),
        31002: element("EXTENDED DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 16)}


TEXT_LEVEL = ([63009, 1015], [63009, 63009, 1015])
# An operator inside keeps the group on the walk.
OPERATOR_LEVEL = ([201130, 63009, 201000], [63009, 201130, 63009, 201000])


@pytest.mark.parametrize(
    "level, octets, fails",
    [
        (TEXT_LEVEL, 29, False),
        # The third repeat runs out in 310001: at its text, at its element.
        (TEXT_LEVEL, 2 * 6 + 2, True),
        (TEXT_LEVEL, 2 * 6 + 1, True),
        (OPERATOR_LEVEL, 29, False),
        (OPERATOR_LEVEL, 5, True),
    ],
)
def test_replicated_sequences_read_as_written_out(tmp_path, level, octets, fails):
    # 310000 = [0-63-009, 310001]; the next group of the same sequence must
    # not take its flat list.
    inner, written_out = level
    table_set = hostile_tables(tmp_path, elements=TEXT, sequences={
        310010: [101003, 310000, 101002, 310002, 63009],
        310000: [63009, 310001],
        310001: inner,
        310002: [310001],
    })
    w = BitWriter()
    for k in range(octets):
        w.u(k + 65, 8)
    flat = written_out * 3 + written_out[1:] * 2 + [63009]
    if fails:
        assert decode_error(table_set, [310010], w) == decode_error(table_set, flat, w)
    else:
        assert summary(decode(table_set, [310010], w)) == summary(decode(table_set, flat, w))


def test_replicated_sequences_are_charged_as_walked(tmp_path):
    # Each repeat costs 22 units: itself, 310100 ... 310119 and the element
    # at the bottom. `before` elements ahead of the group bring the total to
    # the limit exactly; one more unit fails inside the group's last repeat.
    chain = {310100 + k: [310101 + k] for k in range(19)}
    table_set = hostile_tables(tmp_path, elements=TEXT, sequences={
        **chain, 310119: [ZERO], 310200: [101000, 31002, 310100]})
    data = BitWriter().u(65535, 16)
    limit = int(re.search(r"work limit of (\d+)", decode_error(table_set, [310200], data))[1])
    count, before = divmod(limit - 2, 22)
    data = BitWriter().u(count, 16)
    values = decode(table_set, [ZERO] * before + [310200], data)
    assert len(values) == before + 1 + count
    assert "work limit" in decode_error(table_set, [ZERO] * (before + 1) + [310200], data)


@pytest.mark.parametrize("levels, fails", [(62, False), (63, True)])
def test_replicated_sequences_keep_the_depth_limit(tmp_path, levels, fails):
    # The group sits one level down and is walked one deeper: the members of
    # the last of `levels` nested sequences lie at depth 2 + levels.
    chain = {310000 + k: [310001 + k] for k in range(levels - 1)}
    chain[310000 + levels - 1] = [63009]
    table_set = hostile_tables(tmp_path, sequences={**chain, 311000: [101003, 310000]})
    data = BitWriter().u(5, 8).u(6, 8).u(7, 8)
    if fails:
        assert decode_error(table_set, [311000], data) == PREFIX + "descriptor decode exceeded recursion depth"
    else:
        assert summary(decode(table_set, [311000], data)) == [(63009, 5.0), (63009, 6.0), (63009, 7.0)]


# --------------------------------------------------------------------------
# Operators


@pytest.mark.parametrize(
    "descriptors, widths",
    [
        # 2-01: Table B width 8 plus Y - 128, then back.
        ([201130, 63009, 201000, 63009], [10, 8]),
        # 2-07-002: 10 + (10 * 2 + 2) div 3 = 17.
        ([207002, 63005], [17]),
        ([207002, 207000, 63005], [10]),
        # 2-06 lasts for the next element only.
        ([206012, 63009, 63009], [12, 8]),
        # ... and a replication factor does not use it up.
        ([206004, 101000, 31001, 63009, 63009], [4, 4, 8]),
        # 2-01 below zero reads nothing.
        ([201001, 63009], [0]),
        # Changes reach a group of elements repeated in place, and so do their ends.
        ([201130, 101002, 63009, 201128, 101002, 63009], [10, 10, 8, 8]),
        ([206012, 102002, 63009, 63009], [12, 8, 8, 8]),
    ],
)
def test_width_operators(tables, descriptors, widths):
    # Each field holds 1 so the count of bits consumed shows in the values.
    w = BitWriter()
    for width in widths:
        w.u(1 if width else 0, width)
    values = decode(tables, descriptors, w.u(0x55, 8))
    assert [v.raw for v in values] == [1 if width else 0 for width in widths]


def test_reference_multiplier_and_scale_reset_separately(tables):
    # 2-02-000 resets only the scale: 2-07-001's width and reference stay.
    values = decode(tables, [207001, 202000, 63005], BitWriter().u(2000, 14))
    assert values[0].raw_value == (2000 - 1000) / 100


MARKERS = [222000, 262000, 236000, 223000, 224010, 225254, 232000, 235000, 235001, 237000,
           237001, 226000, 227005, 229000, 230000, 231000, 233000, 234000, 238000, 239000,
           240000, 241000, 242000]
SILENT = [200000, 209000, 221005, 222001, 228000, 236001, 243000, 261000, 262001, 263000]


@pytest.mark.parametrize("code", MARKERS)
def test_operator_markers(tables, code):
    (marker,) = decode(tables, [code])
    assert (marker.descriptor, marker.name, marker.raw_value, marker.raw) == (code, "operator", 0.0, 0)


@pytest.mark.parametrize("code", SILENT)
def test_operators_without_items(tables, code):
    assert summary(decode(tables, [code, 1001], BitWriter().u(7, 7))) == [(1001, 7.0)]


def test_operator_changes_do_not_reach_the_next_subset(tables):
    # Subset 1 ends with 2-01-136 in force; subset 2 starts from Table B.
    w = BitWriter().u(1, 8).u(2, 16).u(3, 8).u(4, 16)
    values = decode(tables, [63009, 201136, 63009], w, subsets=2)
    assert [v.raw for v in values] == [1, 2, 3, 4]


# --------------------------------------------------------------------------
# Bitmaps


def bitmap_data(*bits):
    w = BitWriter().u(1000, 16).u(2000, 16)
    for bit in bits:
        w.u(bit, 1)
    return w


def test_bitmap_rereads_the_present_elements(tables):
    descriptors = [12101, 12103, 224000, 236000, 101002, 31031, 224255, 224255]
    values = decode(tables, descriptors, bitmap_data(0, 1).u(1500, 16))
    assert summary(values) == [(12101, 10.0), (12103, 20.0), (224000, 0.0), (236000, 0.0),
                               (31031, 0.0), (31031, 1.0), (12101, 15.0)]
    assert values[-1].name == "TEMPERATURE"


def test_difference_statistics_reread_is_one_bit_wider(tables):
    # Table B width 12, reference -1000; the re-read has 13 bits, reference -4096.
    w = BitWriter().u(1205, 12).u(0, 1).u(4096 + 25, 13)
    values = decode(tables, [63001, 236000, 31031, 225255], w)
    assert values[-1].descriptor == 63001
    assert values[-1].raw_value == 2.5


def test_bitmap_rewind_and_cancel(tables):
    descriptors = [12101, 12103, 236000, 101002, 31031, 223255, 237000, 223255, 235000, 223255]
    values = decode(tables, descriptors, bitmap_data(0, 1).u(1, 16).u(2, 16))
    assert [v.descriptor for v in values[5:]] == [12101, 237000, 12101, 235000]


def test_bitmap_beyond_history(tables):
    descriptors = [12101, 12103, 236000, 101003, 31031, 223255, 223255, 223255]
    w = bitmap_data(0, 0, 0).u(1, 16).u(2, 16)
    assert decode_error(tables, descriptors, w) == PREFIX + "bitmap reference is outside descriptor history"


def test_each_subset_has_its_own_bitmap(tables):
    w = BitWriter()
    for value in (100, 200):
        w.u(value, 16).u(0, 1).u(value + 1, 16)
    values = decode(tables, [12101, 236000, 31031, 223255], w, subsets=2)
    assert [v.raw for v in values if v.descriptor == 12101] == [100, 101, 200, 201]


# --------------------------------------------------------------------------
# Bounded work


@pytest.mark.parametrize(
    "descriptors, data",
    [
        # 65535 x 255 markers from 16 bits of data.
        ([102000, 31002, 101255, 222000], BitWriter().u(65535, 16)),
        # A 64-bit factor (2-01 widens 0-31-001) over an operator that reads nothing.
        ([201184, 101000, 31001, 209000], BitWriter().u(all_ones(64), 64)),
    ],
)
def test_hostile_replication_fails_fast(tables, descriptors, data):
    assert "work limit" in decode_error(tables, descriptors, data)


def test_elements_repeated_in_place_are_charged_as_walked(tmp_path):
    # Each repeat costs 21 units: itself and its 20 elements, charged for
    # all repeats at once when they fit. `before` elements ahead of the group
    # bring the total to the limit exactly; one more unit fails.
    table_set = hostile_tables(tmp_path, elements=TEXT)
    group = [120000, 31002] + [ZERO] * 20
    data = BitWriter().u(65535, 16)
    limit = int(re.search(r"work limit of (\d+)", decode_error(table_set, group, data))[1])
    count, before = divmod(limit - 1, 21)
    data = BitWriter().u(count, 16)
    assert len(decode(table_set, [ZERO] * before + group, data)) == before + 1 + 20 * count
    assert "work limit" in decode_error(table_set, [ZERO] * (before + 1) + group, data)


@pytest.mark.parametrize("count, fails", [(1500, False), (3000, True)])
def test_elements_repeated_in_place_are_charged_once_each(tables, count, fails):
    # Each outer repeat costs 2 units and 2 per element of width 0 (its
    # repeat and itself): 512 x count against a limit of about 2^20 here.
    # Without the elements' own units 3000 would pass; twice charged, 1500 fails.
    descriptors = [102000, 31002, 101255, 63003]
    data = BitWriter().u(count, 16)
    if fails:
        assert "work limit" in decode_error(tables, descriptors, data)
    else:
        assert len(decode(tables, descriptors, data)) == 1 + count * 255
