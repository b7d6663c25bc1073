"""Time codes and the quick look.

- CUC (4+2 octets, TAI epoch, read as UTC through the leap-second table)
  and CDS (16-bit day, milliseconds, microseconds) decoded by
  Layout.unpack_many into datetime64 columns, against the same bits read as
  plain unsigned integers; ns per value; target: no more than 2x.
- The report of the CTIM file (1,499 packets, 3,191 parameters): seconds
  from the file to the page written, against decoding alone (reported), and
  the page's size; targets: <= 10 s and <= 10 MB.
- The report of a 1 GiB file made of the real JPSS packets (bench/large.py
  builds it in a temporary directory; BENCH_REPORT_MIB sets another size):
  targets <= 60 s and <= 10 MB.

Rounds alternate between the two sides; medians are reported. Writes
bench/results-times.json. Run with `make bench`.
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import ROWS, format_row, write_results  # noqa: E402

from bitloom_io import Layout, _quicklook, xtce  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CTIM = os.path.join(ROOT, "tests", "data", "realdata", "ctim")


def _u(name, bits):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False}


def _row(case, ours, baseline, base, target, note, met=None):
    ratio = ours / base
    row = {
        "case": case,
        "baseline": baseline,
        "bitloom_ns": round(ours, 1),
        "baseline_ns": round(base, 1),
        "ratio": round(ratio, 3),
        "target": target,
        "met": (ratio <= target) if met is None else met,
        "note": note,
    }
    ROWS.append(row)
    print(format_row(row), flush=True)
    print("    ", note, flush=True)


def _median_pair(ours, base, units, rounds=7):
    a, b = [], []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        ours()
        a.append((time.perf_counter_ns() - start) / units)
        start = time.perf_counter_ns()
        base()
        b.append((time.perf_counter_ns() - start) / units)
    return statistics.median(a), statistics.median(b)


def bench_code(case, item, plain, width, count=1_000_000):
    rng = np.random.default_rng(1)
    raw = rng.integers(0, 256, size=(count, width), dtype=np.uint8)
    if item["encoding"] == "cds":
        # Days since 1958 and valid milliseconds of the day and microseconds.
        raw[:, 0:2] = rng.integers(24000, 25000, count, dtype=np.uint16).astype(">u2").view(np.uint8).reshape(count, 2)
        ms = rng.integers(0, 86_400_000, count, dtype=np.uint32).astype(">u4").view(np.uint8).reshape(count, 4)
        raw[:, 2:6] = ms
        raw[:, 6:8] = rng.integers(0, 1000, count, dtype=np.uint16).astype(">u2").view(np.uint8).reshape(count, 2)
    else:
        # A day of packets, ten a second, in 2024: what one file holds.
        start = (66 * 365 + 17) * 86400 + 37
        ticks = start * 65536 + np.sort(rng.integers(0, 86400 * 65536, count, dtype=np.uint64))
        raw = ticks.astype(">u8").view(np.uint8).reshape(count, 8)[:, 2:].copy()
    data = raw.tobytes()
    timed = Layout([item])
    ints = Layout(plain)
    assert timed.pack_many(timed.unpack_many(data, stride=width)) == data
    ours, base = _median_pair(
        lambda: timed.unpack_many(data, stride=width), lambda: ints.unpack_many(data, stride=width), count
    )
    _row(
        case,
        ours,
        "the same bits as unsigned ints",
        base,
        2.0,
        f"{ours:.2f} ns vs {base:.2f} ns per value ({count:,} values)",
    )


def bench_report():
    path = os.path.join(CTIM, "ccsds_2021_155_14_39_51")
    definition = os.path.join(CTIM, "ctim_xtce_v1.xml")
    seconds, decode_only, sizes = [], [], []
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "ctim.html")
        for _ in range(5):
            start = time.perf_counter_ns()
            measured = _quicklook.write_report(path, definition, out, time="SHCOARSE=j2000")
            seconds.append(time.perf_counter_ns() - start)
            sizes.append(os.path.getsize(out))
            start = time.perf_counter_ns()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                xtce.load(definition).decode(path)
            decode_only.append(time.perf_counter_ns() - start)
    ours, base = statistics.median(seconds), statistics.median(decode_only)
    size = max(sizes)
    _row(
        "report of the CTIM file",
        ours,
        "load XTCE + decode alone",
        base,
        None,
        f"{ours / 1e9:.2f} s (target <= 10 s), {size / 1e6:.2f} MB (target <= 10 MB), "
        f"{measured['plots']:,} plots, {measured['packet_types']} packet types",
        met=ours <= 10e9 and size <= 10e6,
    )


def bench_large_report():
    from large import JPSS, JPSS_CSV, build

    mib = int(os.environ.get("BENCH_REPORT_MIB", "1024"))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "jpss.dat")
        packets = build(JPSS, path, mib << 20)
        out = os.path.join(folder, "jpss.html")
        start = time.perf_counter_ns()
        measured = _quicklook.write_report(path, JPSS_CSV, out)
        took = time.perf_counter_ns() - start
        size = os.path.getsize(out)
    _row(
        f"report of a {mib} MiB JPSS file",
        took,
        "decode alone",
        measured["decode_seconds"] * 1e9,
        None,
        f"{took / 1e9:.1f} s (target <= 60 s), {size / 1e6:.2f} MB (target <= 10 MB), {packets:,} packets, "
        f"{measured['plots']} plots",
        met=took <= 60e9 and size <= 10e6,
    )


def main():
    print(f"{'case':<34} {'bitloom':>11} {'baseline':<30} {'time':>11} {'ratio':>6}  target")
    bench_code(
        "CUC 4+2 -> datetime64 (UTC)",
        {"name": "t", "encoding": "cuc", "coarse": 4, "fine": 2, "epoch": "tai", "scale": "utc"},
        [_u("t", 48)],
        6,
    )
    bench_code(
        "CDS 16+32+16 -> datetime64",
        {"name": "t", "encoding": "cds", "days": 16, "submilliseconds": 16, "epoch": "1958-01-01"},
        [_u("t", 48), _u("us", 16)],
        8,
    )
    bench_report()
    bench_large_report()
    write_results(os.path.join(os.path.dirname(__file__), "results-times.json"), numpy=np.__version__)


if __name__ == "__main__":
    main()
