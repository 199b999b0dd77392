"""Decoded values of every corpus message against an independent decoder.

Each edition 4 message of ../shared/data/bufr is decoded with the tables
the reference used and compared item by item (see reference_compare.py for
what counts as agreement).  Messages that differ because our decoding rules
differ from that decoder's are listed in KNOWN_DIFFERENCES with the rule;
they are strict xfails, so a mend that makes one agree removes it here.
"""

from __future__ import annotations

import functools
from collections import namedtuple
from pathlib import Path

import pytest

from conftest import ECCODES_ROOT, corpus_files, load_reference, require_shared, split_file
from reference_compare import compare, codes_agree, our_items, reference_items, values_agree

# "file#index" -> the rule of ours that makes the message differ.
KNOWN_DIFFERENCES: dict[str, str] = {
    "b002_95.e4.bufr#0": (
        "2-06-008 before 0-21-192, an element Table B defines: the override replaces only the width, "
        "so Table B's scale and reference still apply (raw 59 reads -49.41); the reference decoder "
        "reads the bits with neither"
    ),
}

# "file#index" -> why we decode a message the reference decoder gave up on.
DECODED_DESPITE_REFERENCE_ERROR: dict[str, str] = {
    "btem_111.e4.bufr#0": (
        "section 3 lists no descriptors: the walk has nothing to read and gives an empty list; "
        "the reference decoder refuses an empty descriptor list"
    ),
    **{
        f"sato_84.e4.bufr#{i}": (
            "each subset carries its own 2-22-000 quality bitmap, walked per subset as in the 1- and "
            "4-subset messages of the same file that the reference decodes; the reference decoder's "
            "bitmap count overflows on this many subsets ('bitmap index=5, max num bitmaps=5')"
        )
        for i in (0, 5)
    },
}


# --------------------------------------------------------------------------
# Corpus


@functools.cache
def messages_of(path: Path) -> list[bytes]:
    return split_file(path.read_bytes())


@functools.cache
def reference_of(path: Path) -> list[dict]:
    return load_reference(path)


def _cases():
    cases = []
    for path in corpus_files():
        for index, msg in enumerate(messages_of(path)):
            if len(msg) < 8 or msg[7] != 4:
                continue
            key = f"{path.name}#{index}"
            marks = []
            if key in KNOWN_DIFFERENCES:
                marks.append(pytest.mark.xfail(reason=KNOWN_DIFFERENCES[key], strict=True))
            cases.append(pytest.param(path, index, id=key, marks=marks))
    return cases


CASES = _cases()


@pytest.fixture(scope="module")
def decoder():
    module = pytest.importorskip("_morvane")
    if not hasattr(module, "decode_values_with_definitions"):
        pytest.skip("the decoder is not built yet")
    return module.decode_values_with_definitions


@require_shared
def test_corpus_splits_like_reference():
    """The harness numbers messages as the reference does."""
    for path in corpus_files():
        refs = reference_of(path)
        msgs = messages_of(path)
        assert [r["index"] for r in refs] == list(range(len(msgs))), path.name
        assert [r["edition"] for r in refs] == [m[7] for m in msgs], path.name


@require_shared
@pytest.mark.parametrize("path, index", CASES)
def test_message_agrees_with_reference(decoder, path, index):
    msg = messages_of(path)[index]
    ref = reference_of(path)[index]
    key = f"{path.name}#{index}"
    if "error" in ref:
        if key in DECODED_DESPITE_REFERENCE_ERROR:
            decoder(msg, str(ECCODES_ROOT))
        else:
            with pytest.raises(ValueError):
                decoder(msg, str(ECCODES_ROOT))
        return
    values = decoder(msg, str(ECCODES_ROOT))
    mismatch = compare(our_items(values), reference_items(ref))
    if mismatch is not None:
        pytest.fail(str(mismatch), pytrace=False)


# --------------------------------------------------------------------------
# The comparison itself, on hand-made item lists

V = namedtuple("V", "descriptor raw raw_value raw_text")


def num(code, value, raw=0):
    return V(code, raw, value, None)


def text(code, value):
    return V(code, None, 1008.0, value)


def uncompressed(*subsets):
    items = []
    for n, subset in enumerate(subsets, 1):
        items.append([0, "subset", n])
        items.extend(list(i) for i in subset)
    return {"header": {"compressed_data": 0, "number_of_subsets": len(subsets)}, "items": items}


def agrees(values, ref):
    return compare(our_items(values), reference_items(ref)) is None


@pytest.mark.parametrize(
    "ref_code, our_code, expected",
    [
        (12101, 12101, True),
        (12101, 12103, False),
        (223255, 12101, True),
        (224255, 1031, True),
        (223000, 12101, False),
        (205000, 205060, True),
        (205000, 206060, False),
        (205001, 205060, False),
    ],
)
def test_codes(ref_code, our_code, expected):
    assert codes_agree(ref_code, our_code) is expected


@pytest.mark.parametrize(
    "ref_value, our_value, expected",
    [
        (273.15, 273.15, True),
        (273.15, 273.1500001, True),
        (273.15, 273.16, False),
        (101600, 101600.0, True),
        (1.23457e-05, 1.234567e-05, True),
        (0, 0.0, True),
        (0, 1e-300, False),
        (None, None, True),
        (None, 0.0, False),
        (5, None, False),
        ("ABC", "ABC  ", True),
        ("ABC", "ABC\0\0", True),
        ("ABC", " ABC", False),
        (None, "   ", True),
        (None, "\0\0\0", True),
        ("ABC", None, False),
        ("12", 12.0, False),
    ],
)
def test_values(ref_value, our_value, expected):
    assert values_agree(ref_value, our_value) is expected


def test_uncompressed_subsets_match_in_order():
    ref = uncompressed([(1001, 78), (12101, 273.15)], [(1001, 79), (12101, None)])
    ours = [num(1001, 78.0), num(12101, 273.15), num(1001, 79.0), num(12101, None)]
    assert agrees(ours, ref)
    assert not agrees(ours[:3], ref)
    assert not agrees(ours + [num(12101, 1.0)], ref)
    swapped = [ours[0], ours[1], ours[3], ours[2]]
    mismatch = compare(our_items(swapped), reference_items(ref))
    assert mismatch is not None and mismatch.ref_index == 2 and "subset 2" in str(mismatch)


def test_character_items_compare_by_text_not_reference_number():
    ref = uncompressed([(1015, "STATION"), (1019, None)])
    assert agrees([text(1015, "STATION  "), text(1019, None)], ref)
    assert not agrees([text(1015, "STATION"), num(1019, 1008.0)], ref)


@pytest.mark.parametrize(
    "extra, allowed",
    [
        (num(999999, 3.0, raw=3), True),
        (num(31021, 1.0), True),
        (num(33007, 70.0), False),  # class 33 outside a quality block
        (num(12101, 1.0), False),
    ],
)
def test_extra_items(extra, allowed):
    ref = uncompressed([(1001, 78), (12101, 273.15)])
    ours = [num(1001, 78.0), extra, num(12101, 273.15)]
    assert agrees(ours, ref) is allowed
    assert agrees([num(1001, 78.0), num(12101, 273.15), extra], ref) is allowed


def test_quality_values_follow_2_22_000_within_the_subset_only():
    ref = uncompressed(
        [(12101, 273.15), (222000, 0), (31002, 1), (31031, 0), (12101, 274.0)],
        [(33007, 70)],
    )
    ours = [
        num(12101, 273.15), num(222000, 0.0), num(31002, 1.0), num(31031, 0.0),
        num(33007, 70.0), num(12101, 274.0),
        num(33007, 70.0),
    ]
    assert agrees(ours, ref)
    # a class 33 value the second subset lacks is not excused by the first's block
    ours2 = ours + [num(33007, 71.0)]
    assert not agrees(ours2, ref)


def test_extra_kind_that_the_reference_lists_still_matches():
    ref = uncompressed([(999999, 3), (12101, 1.5)])
    assert agrees([num(999999, 3.0, raw=3), num(12101, 1.5)], ref)
    assert not agrees([num(999999, 2.0, raw=2), num(12101, 1.5)], ref)


def test_compressed_columns_regroup_by_subset():
    ref = {
        "header": {"compressed_data": 1, "number_of_subsets": 3},
        "items": [[1001, 78], [12101, [273.15, None, 280.0]], [1015, ["A", "B", None]], [222000, 0]],
    }
    rows = reference_items(ref)
    assert [r[0] for r in rows] == [1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3]
    ours = []
    for t, s in zip([273.15, None, 280.0], ["A", "B", "  "]):
        ours += [num(1001, 78.0), num(12101, t), text(1015, s), num(222000, 0.0)]
    assert agrees(ours, ref)
    ours[5] = num(12101, 273.15)
    assert not agrees(ours, ref)


def test_compressed_column_of_wrong_length_is_a_harness_error():
    ref = {"header": {"compressed_data": 1, "number_of_subsets": 3}, "items": [[12101, [1.0, 2.0]]]}
    with pytest.raises(ValueError):
        reference_items(ref)


@pytest.mark.parametrize(
    "data, lengths",
    [
        (b"", []),
        (b"junk", []),
        (b"xxBUFR\x00\x00\x0c\x04abcdBUFR\x00\x00\x08\x03", [12, 8]),
        (b"BUFR\x00\x00\x50\x04short", [13]),
        (b"BUFR\x00\x00\x00\x04BUFR\x00\x00\x08\x04", [16]),
    ],
)
def test_split_file(data, lengths):
    assert [len(m) for m in split_file(data)] == lengths
