"""morvane.read as a stream: messages come out before the input ends, chunk
boundaries change nothing, damaged length fields lose no message, and
messages and their errors travel between processes."""

from __future__ import annotations

import concurrent.futures
import functools
import io
import multiprocessing
import pickle

import pytest

morvane = pytest.importorskip("morvane")
_morvane = pytest.importorskip("_morvane")

from bufr_builder import BitWriter, message, older_edition  # noqa: E402
from morvane import _window  # noqa: E402


def station(block: int, **kw) -> bytes:
    return message([1001], BitWriter().u(block, 7), **kw)


def blocks(found) -> list[float | None]:
    return [m.values[0].data if m.error is None else None for m in found]


LIMIT = 64 << 20


class Endless(io.RawIOBase):
    """A binary stream that never ends, as a pipe from a producer would be;
    it counts how much was asked of it."""

    def __init__(self, unit: bytes) -> None:
        self.unit = unit
        self.served = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self.served > LIMIT:
            raise AssertionError("the whole stream is being read before the first message is yielded")
        n = len(buffer)
        reps = self.unit * (n // len(self.unit) + 2)
        start = self.served % len(self.unit)
        buffer[:n] = reps[start:start + n]
        self.served += n
        return n


def test_messages_come_out_before_the_input_ends():
    stream = Endless(station(5))
    found = morvane.read(stream)
    first = [next(found) for _ in range(3)]
    assert blocks(first) == [5.0, 5.0, 5.0] and [m.offset for m in first] == [0, 48, 96]
    assert stream.served <= 2 * _window.CHUNK


def test_a_path_is_closed_when_its_messages_are_read(tmp_path):
    path = tmp_path / "two.bufr"
    path.write_bytes(station(1) + station(2))
    found = morvane.read(path)
    assert blocks(found) == [1.0, 2.0]
    assert found._owned is None
    with morvane.read(path) as early:
        next(early)
    assert early._owned is None


# --------------------------------------------------------------------------
# Framing through small chunks


def messy_input() -> tuple[bytes, list[tuple[int, bool]]]:
    """Junk, stray markers and broken messages between good ones, and the
    (offset, good) of each message expected, worked out from the pieces."""
    good, old = station(1), older_edition(station(2), 3)
    bad_end = station(3, terminator=b"7778")
    pieces = [(b"BUFR bulletin received\n", False), (good, True), (b"\0\0BU", None), (old, True),
              (b"BUFR\x00\x00\x10\x01", False), (bad_end, False), (good, True), (good[:30], False)]
    data, expected, at = b"", [], 0
    for piece, ok in pieces:
        if ok is not None:
            expected.append((at + piece.index(b"BUFR"), ok))
        data += piece
        at += len(piece)
    return data, expected


@pytest.mark.parametrize("chunk", [1, 3, 7, 64, 1 << 20])
@pytest.mark.parametrize("kind", ["bytes", "bytearray", "memoryview", "file", "path"])
def test_every_chunk_size_and_source_frames_alike(tmp_path, monkeypatch, chunk, kind):
    monkeypatch.setattr(_window, "CHUNK", chunk)
    data, expected = messy_input()
    path = tmp_path / "messy.bufr"
    path.write_bytes(data)
    source = {"bytes": data, "bytearray": bytearray(data), "memoryview": memoryview(data),
              "file": io.BytesIO(data), "path": path}[kind]
    found = list(morvane.read(source))
    assert [(m.offset, m.error is None) for m in found] == expected
    assert [m.edition for m in found] == [ord("l"), 4, 3, 1, 4, 4, 4]
    assert all(m.original == b"" for m in found if m.message is None)  # no copies of bad bytes
    assert "runs past the end of the input (30 bytes left)" in str(found[-1].error)


def test_stray_markers_are_each_reported_once():
    text = b"BUFR bulletin received\n" * 1000
    found = list(morvane.read(text))
    assert [m.offset for m in found] == list(range(0, len(text), 23))
    assert all(m.message is None and m.original == b"" for m in found)


# --------------------------------------------------------------------------
# Length fields that swallow the next message


def with_length(data: bytes, length: int) -> bytes:
    return data[:4] + length.to_bytes(3, "big") + data[7:]


@pytest.mark.parametrize("section2", [None, b"local"], ids=["no-section-2", "section-2"])
@pytest.mark.parametrize("edition", [4, 3])
def test_a_length_that_ends_on_the_next_terminator_loses_no_message(section2, edition):
    first = station(1, section2=section2)
    first = first if edition == 4 else older_edition(first, 3)
    second, third = station(2), station(3)
    swallowing = with_length(first, len(first) + len(second))
    found = list(morvane.read(swallowing + second + third))
    assert [m.offset for m in found] == [0, len(first), len(first) + len(second)]
    assert blocks(found) == [None, 2.0, 3.0]
    assert f"into the message at offset {len(first)}" in str(found[0].error)


def test_messages_with_room_after_their_sections_read_as_before():
    # The declared length covers a few octets after the sections, ending in "7777" again.
    padded = station(1, trailer=b"\0" * 6 + b"7777")
    text_inside = message([1015], BitWriter().text("BUFR", 160))  # a marker inside section 4
    found = list(morvane.read(padded + text_inside))
    assert [m.error for m in found] == [None, None]
    assert [m.offset for m in found] == [0, len(padded)]


# --------------------------------------------------------------------------
# Pickling and worker processes


def test_errors_and_messages_survive_pickling():
    error = morvane.MessageError("section 5 terminator is not 7777", 120, 3)
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), str(again), again.reason, again.offset, again.index) == (
        morvane.MessageError, str(error), error.reason, 120, 3)
    good, cut = station(7), station(8)[:-5]
    for original in morvane.read(b"xx" + good + cut):
        copy = pickle.loads(pickle.dumps(original))
        assert (copy.index, copy.offset, copy.edition, copy.original) == (
            original.index, original.offset, original.edition, original.original)
        assert str(copy.error) == str(original.error) and blocks([copy]) == blocks([original])


def test_tables_travel_by_their_source(tmp_path):
    bundled = pickle.loads(pickle.dumps(next(morvane.read(station(1)))))
    assert bundled._tables is morvane.read(b"")._tables  # the shared bundled tables
    strict = morvane.Tables(nearest_version=False)
    assert pickle.loads(pickle.dumps(strict))._nearest is False
    table_dir = morvane.BUNDLED_ROOT / "bufr" / "tables" / "0" / "wmo" / "39"
    in_memory = morvane.Tables(_morvane.TableSet.from_eccodes(str(table_dir)))
    with pytest.raises(TypeError, match="in-memory _morvane.TableSet"):
        pickle.dumps(in_memory)
    by_path = pickle.loads(pickle.dumps(morvane.Tables(table_dir)))
    assert blocks(morvane.read(station(4), by_path)) == [4.0]


HANG = 60  # seconds: far beyond what two tiny files take, short of a hung run
# Fresh worker processes: forking a test process that other tests left with threads can deadlock.
WORKERS = multiprocessing.get_context("forkserver")


def test_worker_processes_return_messages_and_errors(tmp_path):
    good, bad = tmp_path / "good.bufr", tmp_path / "bad.bufr"
    good.write_bytes(station(1) + station(2))
    bad.write_bytes(station(3) + station(4)[:-2])
    paths = [str(good), str(bad)]
    with WORKERS.Pool(2) as pool:  # a result that cannot be unpickled hangs map(): wait boundedly
        lists = pool.map_async(morvane.read_messages, paths).get(timeout=HANG)
    assert [blocks(found) for found in lists] == [[1.0, 2.0], [3.0, None]]
    assert "runs past the end" in str(lists[1][1].error)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=WORKERS) as executor:
        futures = [executor.submit(morvane.read_messages, p, errors="raise") for p in paths]
        assert blocks(futures[0].result(timeout=HANG)) == [1.0, 2.0]
        with pytest.raises(morvane.MessageError) as info:
            futures[1].result(timeout=HANG)
    assert (info.value.index, info.value.offset) == (1, len(station(3)))
    with WORKERS.Pool(2) as pool:
        raising = functools.partial(morvane.read_messages, errors="raise")
        with pytest.raises(morvane.MessageError, match="runs past the end"):
            pool.map_async(raising, paths).get(timeout=HANG)
