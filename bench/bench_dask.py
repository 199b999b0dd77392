"""morvane.dask over an archive of at least 1 GB built from the corpus.

    python bench/bench_dask.py [--gigabytes 1.0] [--dir /tmp/morvane-dask-archive]

Reports rows/s and MB/s of one query with 1 and 2 worker processes of a
dask.distributed LocalCluster, the peak memory of each worker, and the same
job on the threaded scheduler. The archive is made of whole corpus files
repeated, so every message is real.
"""

from __future__ import annotations

import argparse
import resource
import time
from pathlib import Path

import distributed

import morvane.dask as mdask

SHARED = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "bufr"
# Satellite soundings and surface reports, as a day of global feeds mixes them
# (by volume mostly satellite data).
SOURCES = ["M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",
           "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"]
COLUMNS = ["latitude", "longitude", "data_datetime"]


def build_archive(folder: Path, gigabytes: float) -> list[Path]:
    folder.mkdir(parents=True, exist_ok=True)
    blob = b"".join((SHARED / name).read_bytes() for name in SOURCES)
    target = int(gigabytes * 1e9)
    per_file = 64 * 1024 * 1024
    copies = max(1, per_file // len(blob))
    files = []
    total = 0
    k = 0
    while total < target:
        path = folder / f"part-{k:03d}.bufr"
        if not path.exists() or path.stat().st_size != copies * len(blob):
            with open(path, "wb") as fh:
                for _ in range(copies):
                    fh.write(blob)
        files.append(path)
        total += path.stat().st_size
        k += 1
    return files


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def run(paths: list[str], scheduler: str | None) -> tuple[int, float]:
    """Rows of the whole query; the frames stay on the workers (as they would
    on their way to Parquet), only their lengths travel."""
    frame = mdask.read_bufr(paths, COLUMNS, messages_per_partition=4000)
    start = time.perf_counter()
    rows = int(frame.map_partitions(len).sum().compute(scheduler=scheduler))
    return rows, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gigabytes", type=float, default=1.0)
    parser.add_argument("--dir", type=Path, default=Path("/tmp/morvane-dask-archive"))
    args = parser.parse_args()
    files = build_archive(args.dir, args.gigabytes)
    paths = [str(p) for p in files]
    size_mb = sum(p.stat().st_size for p in files) / 1e6
    print(f"archive: {len(files)} files, {size_mb:,.0f} MB, columns {COLUMNS}")
    print(f"{'run':<22} {'rows':>12} {'seconds':>8} {'rows/s':>12} {'MB/s':>8} {'peak MB/worker':>15}")
    results = {}
    for workers in (1, 2):
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=40)
        with distributed.Client(cluster) as client:
            run(paths[:1], None)  # warm the workers: imports and tables
            rows, seconds = run(paths, None)
            peaks = client.run(peak_rss_mb)
        cluster.close()
        results[workers] = seconds
        peak = max(peaks.values())
        print(f"{workers} worker process(es)   {rows:>12,} {seconds:>8.2f} {rows / seconds:>12,.0f} "
              f"{size_mb / seconds:>8.1f} {peak:>15.0f}")
    rows, seconds = run(paths, "threads")
    print(f"threaded scheduler     {rows:>12,} {seconds:>8.2f} {rows / seconds:>12,.0f} "
          f"{size_mb / seconds:>8.1f} {peak_rss_mb():>15.0f} (whole process)")
    print(f"2 workers / 1 worker: {results[1] / results[2]:.2f}x")


if __name__ == "__main__":
    main()
