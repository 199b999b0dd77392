#!/usr/bin/env python3
"""morvane.read_bufr next to pdbufr.read_bufr on the same queries.

    python bench/bench_read_bufr.py [--repeat 3] [--only NAME,...]

Each query of the read_bufr tests runs in this one process with pdbufr and
with morvane (best of --repeat in CPU time of this process, which ecCodes'
decoding is part of, after one untimed run of each so imports and table
loading are not counted; a fast read is repeated within each timing until
it adds up to 0.2 s, and its time per call taken); the frames are checked
to have the same shape, and the ratio pdbufr time / morvane time is printed. Peak memory is
the tracemalloc peak of one more morvane run of each query (Python and NumPy
allocations, the frame included), next to the size of the input file.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = Path(os.environ.get("MORVANE_SHARED", ROOT.parent / "shared")) / "data" / "bufr"

COPIES = {"aircraft-x100": 100}
SENSOR_HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"
SYNOP = "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"
TEMP = "temp.e4.bufr"
HIRS = "M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr"
AIRCRAFT = "aircraft_mrar_compressed.bufr"

QUERIES = {
    "synop-2m-temperature": (SYNOP, dict(
        columns=["WMO_station_id", "stationNumber", "latitude", "longitude", "data_datetime",
                 "airTemperature"], filters={SENSOR_HEIGHT: 2})),
    "temp-levels": (TEMP, dict(
        columns=["stationNumber", "data_datetime", "pressure", "airTemperature", "dewpointTemperature",
                 "windDirection", "windSpeed"])),
    "hirs-channels": (HIRS, dict(
        columns=["latitude", "longitude", "tovsOrAtovsOrAvhrrInstrumentationChannelNumber",
                 "brightnessTemperature"])),
    "aircraft": (AIRCRAFT, dict(
        columns=["aircraftFlightNumber", "latitude", "longitude", "data_datetime", "flightLevel",
                 "airTemperature"])),
    # The same messages 100 times over: a 21 KB file is mostly fixed cost
    # (pandas building the frame), which says little about an archive.
    "aircraft-x100": (AIRCRAFT, dict(
        columns=["aircraftFlightNumber", "latitude", "longitude", "data_datetime", "flightLevel",
                 "airTemperature"])),
    "station-filter": (SYNOP, dict(columns=["stationNumber", "airTemperature", SENSOR_HEIGHT],
                                   filters={"stationNumber": 37})),
    "list-filter": (SYNOP, dict(columns=["stationNumber", "airTemperature", SENSOR_HEIGHT],
                                filters={"stationNumber": [33, 38, 67]}, required_columns=False)),
    "slice-filter": (TEMP, dict(columns=["WMO_station_id", "pressure", "airTemperature"],
                                filters={"pressure": slice(50000, 85000)})),
}


# A read is timed over calls adding up to at least this much CPU time, so
# that a small file's read is not lost in the clock's resolution.
LEAST_TIMED = 0.2


def best(function, repeat: int) -> float:
    """Least CPU time of one call, over `repeat` timings."""
    start = time.process_time()
    function()
    once = time.process_time() - start
    calls = max(1, min(10000, int(LEAST_TIMED / max(once, 1e-6))))
    times = [once] if calls == 1 else []  # a slow read's first call is one of its timings
    for _ in range(repeat - len(times)):
        start = time.process_time()
        for _ in range(calls):
            function()
        times.append((time.process_time() - start) / calls)
    return min(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", help="comma-separated query names")
    args = parser.parse_args()
    if not DATA.is_dir():
        print(f"no test data at {DATA}", file=sys.stderr)
        return 1
    import morvane

    try:
        import pdbufr
    except ImportError:
        pdbufr = None
        print("pdbufr is not installed: morvane timings only", file=sys.stderr)
    chosen = args.only.split(",") if args.only else list(QUERIES)
    print(f"{'query':<22} {'rows':>9} {'pdbufr s':>9} {'morvane s':>10} {'ratio':>7} "
          f"{'peak MB':>8} {'file MB':>8}")
    ratios = []
    scratch = tempfile.TemporaryDirectory()
    for name in chosen:
        file_name, query = QUERIES[name]
        path = str(DATA / file_name)
        if name in COPIES:
            path = os.path.join(scratch.name, f"{name}.bufr")
            with open(path, "wb") as out:
                out.write((DATA / file_name).read_bytes() * COPIES[name])
        frame = morvane.read_bufr(path, **query)
        ours = best(lambda: morvane.read_bufr(path, **query), args.repeat)
        theirs = ratio = None
        if pdbufr is not None:
            reference = pdbufr.read_bufr(path, **query)
            if reference.shape != frame.shape:
                print(f"{name}: pdbufr gives {reference.shape}, morvane {frame.shape}", file=sys.stderr)
            theirs = best(lambda: pdbufr.read_bufr(path, **query), max(1, args.repeat - 1))
            ratio = theirs / ours
            ratios.append(ratio)
        tracemalloc.start()
        morvane.read_bufr(path, **query)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(f"{name:<22} {len(frame):>9} {'-' if theirs is None else f'{theirs:.3f}':>9} {ours:>10.4f} "
              f"{'-' if ratio is None else f'{ratio:.0f}x':>7} {peak / 1e6:>8.1f} "
              f"{os.path.getsize(path) / 1e6:>8.1f}")
    if ratios:
        import statistics

        print(f"geometric mean ratio: {statistics.geometric_mean(ratios):.0f}x, lowest {min(ratios):.0f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
