"""Time and memory of splitting a file of zeros (every 7 bytes read as a
packet of APID 0 repeating one sequence count): the report must stay small.

    python bench/zeros.py [MEGABYTES]
"""

from __future__ import annotations

import sys
import tempfile
import time
import warnings

from bitloom_io import _native, ccsds


def rss_mib() -> float:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024


def main() -> None:
    size = int(float(sys.argv[1]) * 1e6) if len(sys.argv) > 1 else 100_000_000
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        f.truncate(size)
        f.flush()
        before = rss_mib()
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            packets = ccsds.split(f.name)
        split_s = time.perf_counter() - start
        peak = rss_mib()
        columns = sum(getattr(packets, n).nbytes for n in ("offsets", "lengths", *ccsds.PrimaryHeader._fields))
        del packets
        with open(f.name, "rb") as g:
            data = g.read()
        start = time.perf_counter()
        _native.ccsds_scan(data, 0, False)
        scan_s = time.perf_counter() - start
    print(
        f"{size / 1e6:.0f} MB of zeros: split {split_s:.2f} s, native scan {scan_s:.2f} s "
        f"({split_s / scan_s:.2f}x); peak RSS {peak:.0f} MiB ({peak - before:.0f} MiB above the start, "
        f"of which {columns / 2**20:.0f} MiB are the packet columns)"
    )


if __name__ == "__main__":
    main()
