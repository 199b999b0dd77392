"""Checks of the test-side message builder where it could silently encode
something other than what a test claims."""

import pytest

from bufr_builder import (
    BitWriter,
    all_ones,
    element,
    encode_value,
    message,
    pack_descriptors,
    write_definitions_root,
    write_table_dir,
)


def read_bits(data: bytes, pos: int, width: int) -> int:
    """Independent MSB-first reader over a big integer."""
    whole = int.from_bytes(data, "big")
    total = len(data) * 8
    return (whole >> (total - pos - width)) & all_ones(width)


@pytest.mark.parametrize(
    "codes, packed",
    [
        ([301011, 1], b"\xc1\x0b\x00\x01"),
        ([101000, 31001], b"\x41\x00\x1f\x01"),
        ([222000, 363255], b"\x96\x00\xff\xff"),
        ([], b""),
    ],
)
def test_packed_descriptors(codes, packed):
    assert pack_descriptors(codes) == packed


@pytest.mark.parametrize("bad", [400000, 164000, 1256])
def test_unpackable_descriptor_rejected(bad):
    with pytest.raises(ValueError):
        pack_descriptors([bad])


def test_bitwriter_is_msb_first_and_pads_with_zeros():
    w = BitWriter().u(10, 4).u(80, 8).u(15, 4)
    assert w.getvalue() == b"\xa5\x0f"
    w = BitWriter().u(1, 1).u(0, 0).bits("01")
    assert len(w) == 3 and w.getvalue() == b"\xa0"
    assert BitWriter().u(all_ones(64), 64).getvalue() == b"\xff" * 8
    with pytest.raises(ValueError):
        BitWriter().u(4, 2)


@pytest.mark.parametrize(
    "value, width, scale, reference, raw",
    [(20.5, 12, 1, -1000, 1205), (0.0, 12, 1, -1000, 1000), (500.0, 8, -2, 0, 5), (273.15, 16, 2, 0, 27315)],
)
def test_encode_value(value, width, scale, reference, raw):
    assert encode_value(value, width, scale, reference) == raw


def test_encode_value_refuses_the_missing_pattern():
    with pytest.raises(ValueError):
        encode_value(255, 8)


def test_text_fields_are_blank_padded_and_missing_is_all_ff():
    w = BitWriter().u(0, 4).text("AB", 24).text(None, 16).pad_to_octet()
    data = w.getvalue()
    assert [read_bits(data, 4 + 8 * i, 8) for i in range(5)] == [0x41, 0x42, 0x20, 0xFF, 0xFF]


def _read_compressed(data, width, n):
    r0 = read_bits(data, 0, width)
    nbinc = read_bits(data, width, 6)
    incs = [read_bits(data, width + 6 + i * nbinc, nbinc) for i in range(n)] if nbinc else []
    return r0, nbinc, incs


@pytest.mark.parametrize(
    "raws",
    [[5, 5, 5], [3, 10, 4], [7, None, 0], [None, None], [0, None], [1, 4, None, 2]],
)
def test_compressed_columns_decode_back(raws):
    width = 12
    data = BitWriter().compressed(raws, width).getvalue()
    r0, nbinc, incs = _read_compressed(data, width, len(raws))
    if all(r is None for r in raws):
        assert r0 == all_ones(width)
        return
    if nbinc == 0:
        assert [r0] * len(raws) == raws
        return
    back = [None if i == all_ones(nbinc) else r0 + i for i in incs]
    assert back == raws


def test_compressed_text_column_layout():
    data = BitWriter().compressed_text(["AB", "C"], 16).getvalue()
    # zero R0, NBINC = 2 octets, then one string per subset
    assert read_bits(data, 0, 16) == 0 and read_bits(data, 16, 6) == 2
    assert [read_bits(data, 22 + 8 * i, 8) for i in range(4)] == [0x41, 0x42, 0x43, 0x20]
    same = BitWriter().compressed_text(["XY", "XY"], 16).getvalue()
    assert read_bits(same, 0, 16) == 0x5859 and read_bits(same, 16, 6) == 0


def _sections(msg: bytes):
    """Walk the framed message by its own length fields."""
    pos = 8
    out = []
    for _ in range(4 if msg[17] else 3):
        length = int.from_bytes(msg[pos:pos + 3], "big")
        out.append((pos, length))
        pos += length
    return out, pos


@pytest.mark.parametrize("with_section2", [False, True])
@pytest.mark.parametrize("odd", [False, True])
def test_message_frames_consistent_lengths(with_section2, odd):
    data = BitWriter().u(5, 3)
    msg = message([301011, 12101, 1015], data, subsets=3, compressed=True,
                  section2=b"local" if with_section2 else None, odd_padding=odd)
    assert msg[:4] == b"BUFR" and msg[7] == 4
    assert int.from_bytes(msg[4:7], "big") == len(msg)
    sections, end = _sections(msg)
    assert msg[end:end + 4] == b"7777" and end + 4 == len(msg)
    s3_pos, s3_len = sections[-2]
    assert int.from_bytes(msg[s3_pos + 4:s3_pos + 6], "big") == 3
    assert msg[s3_pos + 6] == 0xC0
    assert (s3_len - 7) % 2 == (1 if odd else 0)
    assert msg[s3_pos + 7:s3_pos + 13] == pack_descriptors([301011, 12101, 1015])
    s4_pos, s4_len = sections[-1]
    assert s4_len == 5 and msg[s4_pos + 4] == 0xA0


def test_message_length_overrides_touch_only_the_field():
    good = message([12101], b"\x00\x00")
    bad = message([12101], b"\x00\x00", section4_length=99, total_length=7)
    assert len(bad) == len(good)
    assert int.from_bytes(bad[4:7], "big") == 7
    assert bad[-10:-7] == (99).to_bytes(3, "big")


def test_table_dir_round_trip(tmp_path):
    root = write_table_dir(
        tmp_path / "t",
        elements={12101: element("TEMPERATURE", "K", 2, 0, 16), 1015: element("STATION NAME", "CCITT IA5", 0, 0, 160)},
        sequences={301099: [12101, 1015]},
        codetables={1003: {1: "REGION I"}},
    )
    lines = (root / "element.table").read_text().splitlines()
    assert lines[0].count("|") == 10
    assert lines[1].split("|")[:8] == ["012101", "temperature", "double", "TEMPERATURE", "K", "2", "0", "16"]
    assert lines[2].split("|")[2] == "string"
    assert (root / "sequence.def").read_text() == '"301099" = [  012101, 001015 ]\n'
    assert (root / "codetables" / "1003.table").read_text() == "1 1 REGION I\n"


def test_definitions_root_aliases_and_locals(tmp_path):
    root = write_definitions_root(
        tmp_path, masters={13: {"elements": {}}, 7: "13"}, locals_={(1, 98, 0): {"sequences": {340001: [12101]}}})
    base = root / "bufr" / "tables" / "0"
    assert (base / "wmo" / "7").read_text().strip() == "13"
    assert (base / "wmo" / "13" / "element.table").is_file()
    assert (base / "local" / "1" / "98" / "0" / "sequence.def").is_file()
