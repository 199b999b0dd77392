"""Decode a small SYNOP-like BUFR message that this script builds itself.

Run through ``tools/run-example``. The message and its tables are made here
(with the test suite's message builder) so the example needs no data files.
"""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import _morvane  # noqa: E402
from bufr_builder import BitWriter, element, message, write_table_dir  # noqa: E402

ELEMENTS = {
    1001: element("WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
    1002: element("WMO STATION NUMBER", "Numeric", 0, 0, 10),
    1015: element("STATION OR SITE NAME", "CCITT IA5", 0, 0, 160),
    8002: element("VERTICAL SIGNIFICANCE (SURFACE OBSERVATIONS)", "CODE TABLE", 0, 0, 6),
    10004: element("PRESSURE", "Pa", -1, 0, 14),
    12101: element("TEMPERATURE/AIR TEMPERATURE", "K", 2, 0, 16),
}
SEQUENCES = {301090: [1001, 1002, 1015]}
CODE_TABLES = {8002: {0: "Surface", 1: "Base of lowest cloud"}}


def build_message() -> bytes:
    data = BitWriter()
    data.value(10, width=7)                      # block 10
    data.value(384, width=10)                    # station 10384
    data.text("BERLIN-SCHOENEFELD", width=160)
    data.value(1, width=6)                       # code table 0 08 002
    data.value(101320, width=14, scale=-1)       # pressure in Pa
    data.value(275.35, width=16, scale=2)        # temperature in K
    return message([301090, 8002, 10004, 12101], data, centre=78)


def main() -> None:
    data = build_message()
    print(_morvane.parse_bytes(data))
    with tempfile.TemporaryDirectory() as tmp:
        table_dir = write_table_dir(Path(tmp) / "tables", ELEMENTS, SEQUENCES, CODE_TABLES)
        for value in _morvane.decode_values(data, str(table_dir)):
            print(f"  {value.descriptor:06d}  {value.name:<45} {value.data!r}")


if __name__ == "__main__":
    main()
