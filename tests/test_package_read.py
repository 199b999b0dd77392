"""morvane.read on hand-made files: framing recovery, error modes, sources,
table choice and reuse, older editions and subset splitting."""

from __future__ import annotations

import io
import os

import pytest

morvane = pytest.importorskip("morvane")
_morvane = pytest.importorskip("_morvane")

from bufr_builder import BitWriter, element, message, older_edition, write_definitions_root, write_table_dir  # noqa: E402

ELEMENTS = {
    1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
    8002: element("VERTICAL SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
    12101: element("TEMPERATURE", "K", 2, 0, 16),
    31001: element("DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8),
}
TABLES = {"elements": ELEMENTS, "sequences": {301001: [1001, 12101]}, "codetables": {8002: {1: "Surface"}}}


def station(block: int, temperature: float, version: int = 39, **kw) -> bytes:
    w = BitWriter().value(block, width=7).value(temperature, width=16, scale=2).value(1, width=6)
    return message([301001, 8002], w, master_version=version, **kw)


@pytest.fixture
def root(tmp_path):
    return write_definitions_root(tmp_path / "defs", masters={39: TABLES, 38: "39"})


def numbers(msg):
    return [v.data for v in msg.values]


def test_junk_between_messages_is_skipped_and_offsets_point_into_the_input(root):
    first, second = station(10, 273.15), station(11, 280.0)
    data = b"\x00junk" + first + b"BUF garbage" + second + b"trailing"
    found = list(morvane.read(data, str(root)))
    assert [m.offset for m in found] == [5, 5 + len(first) + 11]
    assert [m.data for m in found] == [first, second]
    assert [numbers(m) for m in found] == [[10.0, 273.15, "Surface"], [11.0, 280.0, "Surface"]]
    assert all(m.error is None for m in found)


def test_truncated_last_message_is_reported_in_each_mode(root):
    first, second = station(10, 273.15), station(11, 280.0)
    data = first + second[:-9]
    reported = list(morvane.read(data, str(root)))
    assert [m.message is not None for m in reported] == [True, False]
    bad = reported[1]
    assert bad.offset == len(first) and bad.values == []
    assert "runs past the end" in str(bad.error) and bad.error.offset == len(first)
    assert [m.offset for m in morvane.read(data, str(root), errors="skip")] == [0]
    with pytest.raises(morvane.MessageError, match=f"message 1 at offset {len(first)}"):
        list(morvane.read(data, str(root), errors="raise"))


def test_a_bad_terminator_does_not_hide_the_next_message(root):
    good = station(10, 273.15)
    broken = station(12, 250.0, terminator=b"7778")
    found = list(morvane.read(good + broken + good, str(root)))
    assert [m.error is None for m in found] == [True, False, True]
    assert found[2].offset == len(good) + len(broken)


def test_decoding_errors_follow_the_error_mode(root):
    unknown = message([12102], BitWriter().u(0, 16))
    good = station(10, 273.15)
    reported = list(morvane.read(unknown + good, str(root)))
    assert reported[0].values == [] and "012102 was not found in Table B" in str(reported[0].error)
    assert numbers(reported[1])[0] == 10.0
    assert [m.index for m in morvane.read(unknown + good, str(root), errors="skip")] == [1]
    raising = next(morvane.read(unknown + good, str(root), errors="raise"))
    with pytest.raises(morvane.MessageError) as info:
        raising.values
    assert isinstance(info.value.__cause__, ValueError) and info.value.index == 0


@pytest.mark.parametrize("kind", ["path", "pathlib", "bytes", "bytearray", "memoryview", "file"])
def test_every_kind_of_source_reads_the_same(root, tmp_path, kind):
    data = station(10, 273.15) + station(11, 280.0)
    path = tmp_path / "two.bufr"
    path.write_bytes(data)
    source = {"path": str(path), "pathlib": path, "bytes": data, "bytearray": bytearray(data),
              "memoryview": memoryview(data), "file": io.BytesIO(data)}[kind]
    assert [numbers(m)[0] for m in morvane.read(source, str(root))] == [10.0, 11.0]


@pytest.mark.parametrize("reported", [0, 30, 5000, None])
def test_a_file_read_whole_ends_where_it_ends_not_where_its_size_said(root, tmp_path, monkeypatch, reported):
    # A file may grow or shrink after its size is taken, and some (/proc)
    # report 0: all of it is read whatever its size said.
    from morvane import _reader

    data = station(10, 273.15) + station(11, 280.0) + station(12, 290.0)
    path = tmp_path / "three.bufr"
    path.write_bytes(data)
    real = _reader.os.fstat

    def fstat(fd):
        info = real(fd)
        if reported is None:
            return info
        return os.stat_result((info.st_mode, info.st_ino, info.st_dev, info.st_nlink, info.st_uid, info.st_gid,
                               reported, info.st_atime, info.st_mtime, info.st_ctime))

    monkeypatch.setattr(_reader.os, "fstat", fstat)
    assert [numbers(m)[0] for m in morvane.read(str(path), str(root))] == [10.0, 11.0, 12.0]


def test_bad_arguments_are_refused_before_reading(root, tmp_path):
    with pytest.raises(TypeError):
        morvane.read(io.StringIO("BUFR"), str(root))
    with pytest.raises(ValueError, match="errors must be one of"):
        morvane.read(b"", str(root), errors="ignore")
    with pytest.raises(OSError):
        morvane.read("/nonexistent/file.bufr", str(root))
    path = tmp_path / "one.bufr"
    path.write_bytes(station(1, 1.0))
    with pytest.raises(TypeError, match="not as a file name"):
        morvane.read(bytes(path), str(root))


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes are POSIX")
def test_a_path_that_is_not_a_small_file_is_read_as_a_stream_or_refused_by_name(root, tmp_path):
    import threading

    with pytest.raises(IsADirectoryError, match=str(tmp_path)):
        morvane.read(tmp_path, str(root))
    # A named pipe is read through the descriptor that met its writer.
    data = station(10, 273.15) + station(11, 280.0)
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    writer = threading.Thread(target=pipe.write_bytes, args=(data,))
    writer.start()
    try:
        assert [numbers(m)[0] for m in morvane.read(pipe, str(root))] == [10.0, 11.0]
    finally:
        writer.join()


def test_one_table_set_per_version_shared_by_aliases_and_messages(root):
    tables = morvane.Tables(str(root))
    found = list(morvane.read(station(1, 1.0) + station(2, 2.0, version=38) + station(3, 3.0), tables))
    assert found[0].tables is found[1].tables is found[2].tables
    assert repr(tables).endswith("loaded=1)")


@pytest.mark.parametrize("kind", ["definitions", "directory", "table set", "csv"])
def test_tables_from_each_kind_of_source_decode_alike(root, tmp_path, kind):
    if kind == "csv":
        source = tmp_path / "csv"
        source.mkdir()
        rows = ['"ClassNo","ClassName_en","FXY","ElementName_en","BUFR_Unit","BUFR_Scale",'
                '"BUFR_ReferenceValue","BUFR_DataWidth_Bits"']
        rows += [f'"{c // 1000:02d}","x","{c:06d}","{e.name}","{e.unit}","{e.scale}","{e.reference}","{e.width}"'
                 for c, e in ELEMENTS.items()]
        (source / "BUFRCREX_TableB_en_00.csv").write_text("\n".join(rows) + "\n")
        (source / "BUFR_TableD_en_00.csv").write_text(
            '"Category","CategoryOfSequences_en","FXY1","Title_en","SubTitle_en","FXY2"\n'
            '"01","x","301001","t","s","001001"\n"01","x","301001","t","s","012101"\n')
    elif kind == "directory":
        source = write_table_dir(tmp_path / "dir", **TABLES)
    elif kind == "table set":
        source = _morvane.TableSet.from_eccodes(str(write_table_dir(tmp_path / "dir", **TABLES)))
    else:
        source = root
    (found,) = morvane.read(station(10, 273.15), morvane.Tables(source))
    expected = 1.0 if kind == "csv" else "Surface"  # the CSV tables have no code tables
    assert numbers(found) == [10.0, 273.15, expected]


def test_missing_master_version_uses_the_nearest_present(root):
    (newer,) = morvane.read(station(10, 273.15, version=40), morvane.Tables(str(root)))
    assert newer.tables_version == 39 and numbers(newer)[0] == 10.0
    strict = morvane.Tables(str(root), nearest_version=False)
    (failing,) = morvane.read(station(10, 273.15, version=40), strict)
    assert "ecCodes table directory does not exist" in str(failing.error)


def test_a_directory_without_tables_is_refused(tmp_path):
    with pytest.raises(ValueError, match="holds no BUFR tables"):
        morvane.Tables(tmp_path)


# --------------------------------------------------------------------------
# Editions 2 and 3


@pytest.mark.parametrize("edition", [2, 3])
@pytest.mark.parametrize("local_use", [b"\0", b"\0\x11\x22\x33"], ids=["reserved-octet", "local-octets"])
def test_older_editions_read_as_their_edition_4_form(root, edition, local_use):
    subcentre = 0 if edition == 2 else 7
    modern = station(10, 273.15, centre=98 if edition == 3 else 300, subcentre=subcentre,
                     international_subcategory=255, when=(2012, 10, 30, 6, 45, 0))
    old = older_edition(modern, edition, local_use)
    assert morvane.to_edition4(old) == modern
    (found,) = morvane.read(b"xx" + old, str(root))
    assert (found.edition, found.offset, found.original, found.data) == (edition, 2, old, modern)
    assert (found.message.originating_subcentre, found.message.typical_year) == (subcentre, 2012)
    assert numbers(found) == [10.0, 273.15, "Surface"]


def test_edition_4_is_unchanged_and_others_are_refused():
    modern = station(10, 273.15)
    assert morvane.to_edition4(modern) is not None and morvane.to_edition4(modern) == modern
    with pytest.raises(ValueError, match="unsupported BUFR edition 1"):
        morvane.to_edition4(modern[:7] + b"\x01" + modern[8:])
    with pytest.raises(ValueError, match="does not match buffer length"):
        morvane.to_edition4(older_edition(modern) + b"\0")
    found = list(morvane.read(modern[:7] + b"\x01" + modern[8:] + modern))
    assert [m.error is None for m in found] == [False, True]


# --------------------------------------------------------------------------
# Subsets


def soundings(levels: list[int], first_repeats: bool) -> bytes:
    """Uncompressed subsets of different lengths: a block number and a
    delayed replication of temperatures (and, when ``first_repeats``, of
    block numbers, so that the first descriptor recurs inside a subset)."""
    w = BitWriter()
    for n, count in enumerate(levels):
        w.value(n, width=7).value(count, width=8)
        for level in range(count):
            w.value(200 + level, width=16, scale=2)
            if first_repeats:
                w.value(level, width=7)
    group = [101000, 31001, 12101] if not first_repeats else [102000, 31001, 12101, 1001]
    return message([1001] + group, w, subsets=len(levels))


@pytest.mark.parametrize("first_repeats", [False, True])
def test_subsets_of_different_lengths_are_cut_where_they_start(root, first_repeats):
    levels = [2, 0, 3, 1]
    (found,) = morvane.read(soundings(levels, first_repeats), str(root))
    subsets = found.subsets()
    assert [s[0].data for s in subsets] == [0.0, 1.0, 2.0, 3.0]
    per_level = 2 if first_repeats else 1
    assert [len(s) for s in subsets] == [2 + per_level * n for n in levels]
    assert sum(subsets, []) == found.values


def test_compressed_subsets_are_equal_slices(root):
    w = BitWriter()
    w.compressed([10, 11, 12], 7).compressed([27315, 28000, None], 16)
    (found,) = morvane.read(message([1001, 12101], w, subsets=3, compressed=True), str(root))
    assert [[v.data for v in s] for s in found.subsets()] == [[10.0, 273.15], [11.0, 280.0], [12.0, None]]
