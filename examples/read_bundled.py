"""Decode a small SYNOP-like message with the tables bundled with morvane.

The message is built here (with the test suite's message builder) so the
example needs no data files; its descriptors and widths are those of WMO
master tables version 39, which morvane ships, so no table argument is given.
Run it with tools/run-example, or as: python examples/read_bundled.py [FILE]
to read a BUFR file of your own instead.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import morvane  # noqa: E402
from bufr_builder import BitWriter, message  # noqa: E402


def build_message() -> bytes:
    data = BitWriter()
    data.value(10, width=7).value(384, width=10)             # WMO block and station
    data.text("BERLIN-SCHOENEFELD", width=160)
    data.value(2024, width=12).value(6, width=4).value(1, width=6)          # date
    data.value(12, width=5).value(0, width=6)                               # time
    data.value(52.38, width=25, scale=5, reference=-9000000)                # latitude
    data.value(13.52, width=26, scale=5, reference=-18000000)               # longitude
    data.value(101320, width=14, scale=-1)                                  # pressure, Pa
    data.value(291.45, width=16, scale=2)                                   # temperature, K
    data.value(10, width=9)                                                 # present weather: mist
    descriptors = [1001, 1002, 1015, 301011, 301012, 301021, 10004, 12101, 20003]
    return message(descriptors, data, centre=78, master_version=39)


def main() -> None:
    source = sys.argv[1] if len(sys.argv) > 1 else build_message()
    for msg in morvane.read(source):
        if msg.error is not None:
            print(f"message {msg.index}: {msg.error}")
            continue
        print(msg)
        for value in msg.values:
            element = msg.tables.get_element(value.descriptor)
            unit = element.unit if element is not None else ""
            shown = value.data if unit not in ("Numeric", "CCITT IA5", "CODE TABLE", "FLAG TABLE") else ""
            line = f"  {value.descriptor:06d}  {value.name:<45} {value.data!r:<22} {unit if shown else ''}"
            print(line.rstrip())


if __name__ == "__main__":
    main()
