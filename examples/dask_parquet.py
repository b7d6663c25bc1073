"""A directory of packet files into one Parquet dataset per packet type, decoded
on a Dask cluster.

    python examples/dask_parquet.py PACKET_DIR DEFINITION OUT_DIR
    python examples/dask_parquet.py              # a demo archive made from the JPSS file

DEFINITION is a definition file (JSON, CCSDSPy CSV or XTCE). The cluster is
a LocalCluster of two worker processes on this machine. To use a running
cluster instead, pass its scheduler's address: --scheduler tcp://HOST:8786
(that is, Client("tcp://HOST:8786") in place of Client(LocalCluster(...))).
"""

from __future__ import annotations

import argparse
import shutil
import tempfile
import time
from pathlib import Path

import dask
import pyarrow.parquet as pq
from distributed import Client, LocalCluster

from bitloom_io.dask import read_packets

DATA = Path(__file__).resolve().parent.parent / "tests" / "data" / "realdata" / "jpss"
JPSS = DATA / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
JPSS_CSV = DATA / "ccsdspy_jpss1_geolocation.csv"


def demo_archive(root: Path, files: int = 8) -> Path:
    """`files` copies of the JPSS file (7,200 packets each) in a directory."""
    root.mkdir(parents=True, exist_ok=True)
    data = JPSS.read_bytes()
    for n in range(files):
        (root / f"jpss_{n:02d}.dat").write_bytes(data)
    return root


def to_parquet(packet_dir: str | Path, layouts: str | Path, out_dir: str | Path) -> dict[str, int]:
    """Decodes every file of `packet_dir` on the current Dask client and
    writes OUT_DIR/<packet type>/part.N.parquet; returns rows per type."""
    frames = read_packets(packet_dir, layouts)
    writes = [
        frame.to_parquet(Path(out_dir) / name, write_index=False, compute=False) for name, frame in frames.items()
    ]
    dask.compute(*writes)  # every file decoded once for all packet types
    return {
        name: sum(pq.read_metadata(part).num_rows for part in (Path(out_dir) / name).glob("*.parquet"))
        for name in frames
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("packet_dir", nargs="?", help="directory of packet files")
    parser.add_argument("layouts", nargs="?", default=str(JPSS_CSV), help="layout file")
    parser.add_argument("out_dir", nargs="?", help="where the Parquet datasets go")
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://HOST:8786)")
    args = parser.parse_args()

    scratch = None
    if args.packet_dir is None:
        scratch = Path(tempfile.mkdtemp(prefix="bitloom-dask-"))
        args.packet_dir = demo_archive(scratch / "packets")
        args.out_dir = scratch / "parquet"
    elif args.out_dir is None:
        parser.error("give PACKET_DIR, LAYOUTS and OUT_DIR (or nothing for the demo)")

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None))
    try:
        start = time.perf_counter()
        rows = to_parquet(args.packet_dir, args.layouts, args.out_dir)
        elapsed = time.perf_counter() - start
        workers = len(client.scheduler_info()["workers"])
        print(f"decoded {args.packet_dir} on {workers} workers in {elapsed:.2f} s")
        for name, n in rows.items():
            parts = sorted(p.name for p in (Path(args.out_dir) / name).glob("*.parquet"))
            print(f"  {name}: {n:,} rows in {len(parts)} Parquet files under {Path(args.out_dir) / name}")
    finally:
        client.close()
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
