"""Dask over 10 packet files on 2 worker processes against one process.

Both sides do the same work: decode 10 files of JPSS packets (the real file
repeated, 230,400 packets and 16 MB per file) with the same layout and write
one Parquet file per input. One process runs `bitloom_io.decode` and
`Table.to_parquet` file after file; the cluster runs
`bitloom_io.dask.read_packets(...).to_parquet(...)`, a partition per file.
A second pair only decodes into pandas DataFrames (the cluster returns
row counts, so the frames are not shipped back). The cluster is started before timing; its start-up
is reported apart. Medians of 3 rounds. The machine has 2 cores, so 2.0 is
the ceiling. Writes bench/results-dask.json beside this file.

    python bench/dask_bench.py [--files 10] [--copies 32] [--rounds 3]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import tempfile
import time
import warnings
from pathlib import Path

import dask
from distributed import Client, LocalCluster

import bitloom_io
from bitloom_io.dask import read_packets

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data" / "realdata" / "jpss"
JPSS = DATA / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
CSV = DATA / "ccsdspy_jpss1_geolocation.csv"


def one_process_parquet(files, layouts, out):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for n, path in enumerate(files):
            for name, table in bitloom_io.decode(path, layouts).items():
                (out / name).mkdir(parents=True, exist_ok=True)
                table.to_parquet(out / name / f"part.{n}.parquet")


def one_process_decode(files, layouts):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return sum(len(t.to_pandas()) for path in files for t in bitloom_io.decode(path, layouts).values())


def cluster_parquet(files, layouts, out):
    frames = read_packets(files, layouts, blocksize=None)
    dask.compute(*[f.to_parquet(out / name, write_index=False, compute=False) for name, f in frames.items()])


def cluster_decode(files, layouts):
    frames = read_packets(files, layouts, blocksize=None)
    counts = dask.compute(*[f.map_partitions(len).sum() for f in frames.values()])
    return int(sum(counts))


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=10)
    parser.add_argument("--copies", type=int, default=32, help="copies of the JPSS file per input file")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", default=str(Path(__file__).with_name("results-dask.json")))
    args = parser.parse_args()

    scratch = Path(tempfile.mkdtemp(prefix="bitloom-dask-bench-"))
    try:
        data = JPSS.read_bytes() * args.copies
        files = []
        for n in range(args.files):
            path = scratch / f"in_{n:02d}.dat"
            path.write_bytes(data)
            files.append(str(path))
        layouts = bitloom_io.load_layouts(CSV)
        total_mb = len(data) * args.files / 1e6
        packets = 7200 * args.copies * args.files

        start = time.perf_counter()
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
        startup = time.perf_counter() - start
        try:
            rows = {}
            for case, single, distributed_ in (
                ("decode + Parquet", one_process_parquet, cluster_parquet),
                ("decode only", one_process_decode, cluster_decode),
            ):
                t1, t2 = [], []
                for r in range(args.rounds):
                    extra = ()
                    if case.endswith("Parquet"):
                        extra = (scratch / f"out1_{r}",), (scratch / f"out2_{r}",)
                    d1, got1 = timed(single, files, layouts, *(extra[0] if extra else ()))
                    d2, got2 = timed(distributed_, files, layouts, *(extra[1] if extra else ()))
                    if not extra:
                        assert got1 == got2 == packets, (got1, got2, packets)
                    t1.append(d1)
                    t2.append(d2)
                one, two = statistics.median(t1), statistics.median(t2)
                rows[case] = {
                    "one_process_s": round(one, 3),
                    "cluster_s": round(two, 3),
                    "speedup": round(one / two, 2),
                    "one_process_MBps": round(total_mb / one, 1),
                    "cluster_MBps": round(total_mb / two, 1),
                }
        finally:
            client.close()
            cluster.close()
        load = os.getloadavg()[0]
        print(
            f"Dask LocalCluster, 2 worker processes, {args.files} files, "
            f"{total_mb:.0f} MB, {packets:,} packets (cluster start-up {startup:.1f} s, not timed; "
            f"load average {load:.1f} on {os.cpu_count()} cores)"
        )
        print(f"{'case':<18} {'one process':>12} {'2 workers':>10} {'speed-up':>9}")
        for case, row in rows.items():
            print(f"{case:<18} {row['one_process_s']:>10.2f} s {row['cluster_s']:>8.2f} s {row['speedup']:>8.2f}x")
        with open(args.json, "w") as f:
            json.dump(
                {
                    "files": args.files,
                    "megabytes": round(total_mb, 1),
                    "packets": packets,
                    "cores": os.cpu_count(),
                    "load_average": round(load, 2),
                    "startup_s": round(startup, 2),
                    "cases": rows,
                },
                f,
                indent=2,
            )
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
