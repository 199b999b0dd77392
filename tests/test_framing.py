"""Message framing: splitting buffers, section checks and the BufrMessage record."""

import inspect

import pytest

import _morvane as m
from bufr_builder import message


def sample(**kw):
    kw.setdefault("subsets", 1)
    return message([307080], b"\x01\x02\x03", **kw)


def value_error(fn, *args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    return str(info.value)


class TestRecord:
    def test_every_field_read_from_its_position(self):
        data = message(
            [301011, 1],
            b"\xAA\xBB",
            subsets=513,
            compressed=True,
            observed=False,
            master_table=7,
            centre=0x1234,
            subcentre=0x0506,
            update_sequence=9,
            section2=b"local!",
            category=21,
            international_subcategory=22,
            local_subcategory=23,
            master_version=24,
            local_version=25,
            when=(2031, 12, 30, 23, 58, 57),
            section1_extra=b"\0\0",
        )
        msg = m.parse_bytes(data)
        assert msg.total_length == len(data)
        assert msg.edition == 4
        assert msg.section1_length == 24
        assert (msg.master_table_number, msg.originating_centre, msg.originating_subcentre) == (
            7, 0x1234, 0x0506)
        assert msg.update_sequence_number == 9
        assert msg.local_section_present is True
        assert (msg.data_category, msg.international_data_subcategory,
                msg.local_data_subcategory) == (21, 22, 23)
        assert (msg.master_tables_version_number, msg.local_tables_version_number) == (24, 25)
        assert (msg.typical_year, msg.typical_month, msg.typical_day, msg.typical_hour,
                msg.typical_minute, msg.typical_second) == (2031, 12, 30, 23, 58, 57)
        assert msg.section2_length == 10
        assert msg.section3_length == 11
        assert msg.number_of_subsets == 513
        assert msg.observed_data is False and msg.compressed_data is True
        assert msg.unexpanded_descriptors == [301011, 1]
        assert msg.section4_length == 6
        off = msg.section4_data_offset
        assert data[off:off + msg.section4_data_length] == b"\xAA\xBB"
        assert off == 8 + 24 + 10 + 11 + 4

    def test_descriptor_list_is_a_fresh_copy(self):
        msg = m.parse_bytes(sample())
        msg.unexpanded_descriptors.append(1)
        assert msg.unexpanded_descriptors == [307080]

    def test_packed_descriptor_extremes(self):
        data = message([0, 363255, 301011, 1], b"")
        assert m.parse_bytes(data).unexpanded_descriptors == [0, 363255, 301011, 1]

    def test_repr(self):
        data = sample()
        assert repr(m.parse_bytes(data)) == (
            f"BufrMessage(edition=4, length={len(data)}, subsets=1, descriptors=[307080])")
        empty = message([], b"", subsets=0)
        assert repr(m.parse_bytes(empty)).endswith("subsets=0, descriptors=[])")

    def test_class_surface(self):
        msg = m.parse_bytes(sample())
        with pytest.raises(AttributeError):
            msg.edition = 3
        with pytest.raises(TypeError):
            m.BufrMessage()
        assert msg != m.parse_bytes(sample())
        names = [n for n in dir(msg) if not n.startswith("_")]
        assert len(names) == 28

    def test_reserved_flag_bit_announces_section2(self):
        data = sample(section2=b"xy", section1_flag=0x01)
        msg = m.parse_bytes(data)
        assert msg.local_section_present is True and msg.section2_length == 6

    def test_short_section4_and_trailing_bytes_accepted(self):
        # A section 4 of three octets holds only its length; "7777" follows.
        full = message([1001], b"")
        assert full.endswith(b"\0\0\x04\x007777")
        short = full[:-8] + b"\0\0\x037777"
        short = short[:4] + (len(short)).to_bytes(3, "big") + short[7:]
        msg = m.parse_bytes(short)
        assert msg.section4_length == 3 and msg.section4_data_length == 0
        msg = m.parse_bytes(sample(trailer=b"junk"))
        assert msg.total_length == len(sample()) + 4


class TestSection3Padding:
    def test_zero_padding_octet_is_not_a_descriptor(self):
        msg = m.parse_bytes(message([307080, 1001], b"\0", odd_padding=True))
        assert msg.unexpanded_descriptors == [307080, 1001]
        assert msg.section3_length == 12

    def test_padding_only_gives_empty_list(self):
        assert m.parse_bytes(message([], b"", odd_padding=True)).unexpanded_descriptors == []

    def test_nonzero_odd_octet_is_rejected(self):
        data = message([307080], b"\0", odd_padding=True, padding_octet=5)
        assert value_error(m.parse_bytes, data) == "section 3 descriptor area has odd byte count"


class TestErrors:
    @pytest.mark.parametrize(
        "data, text",
        [
            (b"BUFR\0\0\x07", "message is too short to be BUFR"),
            (b"XUFR\0\0\x08\x04", "missing BUFR marker"),
            (b"BUFR\0\0\x05\x03", "unsupported BUFR edition 3; only edition 4 is implemented"),
            (b"BUFR\0\0\x09\x04", "declared length 9 does not match buffer length 8"),
            (b"BUFR\0\0\x0a\x04\0\0", "section 1 at offset 8 is truncated"),
        ],
    )
    def test_header_checks(self, data, text):
        assert value_error(m.parse_bytes, data) == text

    def test_check_order(self):
        good = sample()
        # Edition is judged before the length: a wrong length does not hide it.
        wrong_both = good[:7] + b"\x03" + good[8:] + b"xx"
        assert "edition 3" in value_error(m.parse_bytes, wrong_both)
        assert value_error(m.parse_bytes, good + b"x") == (
            f"declared length {len(good)} does not match buffer length {len(good) + 1}")
        assert value_error(m.parse_bytes, b"junk" + good) == "missing BUFR marker"

    def test_truncated_sections(self):
        p3 = 8 + 22
        assert value_error(m.parse_bytes, message([], b"", section3_length=6)) == (
            f"section 3 at offset {p3} is truncated")
        assert value_error(m.parse_bytes, sample(section1_length=500)) == (
            "section 1 at offset 8 is truncated")
        data = sample(section2=b"ab", section2_length=400)
        assert value_error(m.parse_bytes, data) == "section 2 at offset 30 is truncated"
        data = message([1001], b"\0" * 4, section4_length=100)
        assert value_error(m.parse_bytes, data) == f"section 4 at offset {p3 + 9} is truncated"

    def test_terminator(self):
        assert value_error(m.parse_bytes, sample(terminator=b"7778")) == (
            "section 5 terminator is not 7777")
        # Section 4 running right up to the end leaves no room for "7777".
        data = message([1001], b"\0\0", section4_length=6 + 4)
        assert value_error(m.parse_bytes, data).startswith("section 5 at offset")

    def test_section1_shorter_than_its_fixed_fields(self):
        # Every section check passes but the identification fields would be
        # read past the end: an error, never a read outside the buffer.
        data = b"BUFR" + (25).to_bytes(3, "big") + b"\x04" + b"\0\0\x03" + b"\0\0\x07\0\0\0\0" + \
            b"\0\0\x03" + b"7777"
        assert len(data) == 25
        assert value_error(m.parse_bytes, data) == "section 1 at offset 8 is truncated"
        tiny = b"BUFR" + (12).to_bytes(3, "big") + b"\x04" + b"\0\0\x01\0"
        assert value_error(m.parse_bytes, tiny) == "section 1 at offset 8 is truncated"


class TestSplitting:
    def test_junk_before_between_and_after(self):
        a, b = sample(), message([1001, 1002], b"\0\0", subsets=2)
        msgs = m.parse_all_bytes(b"xx" + a + b"BUF" + b + b"tail")
        assert [x.unexpanded_descriptors for x in msgs] == [[307080], [1001, 1002]]
        assert m.parse_all_bytes(b"") == [] and m.parse_all_bytes(b"no marker here") == []

    def test_concatenated_messages(self):
        a, b = sample(), sample(subsets=3)
        assert value_error(m.parse_bytes, a + b) == (
            f"declared length {len(a)} does not match buffer length {len(a) + len(b)}")
        assert [x.number_of_subsets for x in m.parse_all_bytes(a + b)] == [1, 3]

    def test_failures(self):
        a = sample()
        assert value_error(m.parse_all_bytes, a + b"BUFR\0") == "message is too short to be BUFR"
        cut = sample()[:-5]
        assert value_error(m.parse_all_bytes, a + cut) == (
            f"section 0 at offset {len(a)} is truncated")
        bad = sample(terminator=b"7770")
        assert value_error(m.parse_all_bytes, a + bad + a) == "section 5 terminator is not 7777"

    def test_zero_total_length_cannot_hang(self):
        assert value_error(m.parse_all_bytes, b"BUFR\0\0\0\x04" + b"\0" * 40) == (
            "message is too short to be BUFR")

    def test_tiny_declared_length_resumes_inside(self):
        # A 5-byte "message" is framed, then rejected by the section parser.
        assert value_error(m.parse_all_bytes, b"BUFR\0\0\x05\x04xxxx") == (
            "message is too short to be BUFR")


class TestBoundary:
    def test_signatures(self):
        for name, params in [("parse_bytes", ["data"]), ("parse_file", ["path"]),
                             ("parse_all_bytes", ["data"]), ("parse_all_file", ["path"])]:
            fn = getattr(m, name)
            assert fn.__text_signature__ == f"({params[0]})"
            assert list(inspect.signature(fn).parameters) == params

    def test_keywords_and_arity(self):
        data = sample()
        assert m.parse_bytes(data=data).total_length == len(data)
        with pytest.raises(TypeError):
            m.parse_bytes(data, data)
        with pytest.raises(TypeError):
            m.parse_bytes()
        with pytest.raises(TypeError, match="datum"):
            m.parse_bytes(datum=data)

    @pytest.mark.parametrize("fn", ["parse_bytes", "parse_all_bytes"])
    @pytest.mark.parametrize("arg", [bytearray(b"BUFR"), memoryview(b"BUFR"), "BUFR", None])
    def test_bytes_only(self, fn, arg):
        with pytest.raises(TypeError, match="data"):
            getattr(m, fn)(arg)

    def test_bytes_subclass_accepted(self):
        class B(bytes):
            pass
        assert m.parse_bytes(B(sample())).edition == 4

    @pytest.mark.parametrize("fn", ["parse_file", "parse_all_file"])
    def test_files(self, fn, tmp_path):
        import pathlib
        path = tmp_path / "two.bufr"
        path.write_bytes(sample() + sample())
        with pytest.raises(TypeError, match="path"):
            getattr(m, fn)(pathlib.Path(path))
        with pytest.raises(TypeError, match="path"):
            getattr(m, fn)(bytes(str(path), "utf-8"))
        with pytest.raises(OSError) as info:
            getattr(m, fn)(str(tmp_path / "missing.bufr"))
        assert type(info.value) is not ValueError
        assert info.value.args == ("No such file or directory (os error 2)",)
        with pytest.raises(OSError) as info:
            getattr(m, fn)(str(tmp_path))
        assert info.value.args == ("Is a directory (os error 21)",)
        if fn == "parse_all_file":
            assert len(m.parse_all_file(str(path))) == 2
        else:
            with pytest.raises(ValueError, match="declared length"):
                m.parse_file(str(path))
            path.write_bytes(sample())
            assert m.parse_file(path=str(path)).number_of_subsets == 1
