"""bitloom_io.encode against what a user writes without it, and against
decode on the same file.

- encode of 10^6 HK16 packets with their primary headers, per packet, against
  a Python loop of bitloom.pack_parameters plus a struct-packed header
  (measured on fewer packets: the loop is per packet either way); target:
  encode at least 20x faster (ratio <= 0.05). GB/s of packet bytes beside it.
- encode(decode(CTIM file)) against decode of the same file; target: no more
  than 2x.

Rounds alternate between the two sides; medians are reported. Writes
bench/results-encode.json. Run with `make bench`.
"""

from __future__ import annotations

import os
import statistics
import struct
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from layouts import hk16_packets  # noqa: E402
from run import ROWS, format_row, hk16, write_results  # noqa: E402

import bitloom  # noqa: E402
import bitloom_io  # noqa: E402
from bitloom_io import Layout, xtce  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CTIM = os.path.join(ROOT, "tests", "data", "realdata", "ctim")


def _best_per_unit(fn, units, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        fn()
        times.append((time.perf_counter_ns() - start) / units)
    return statistics.median(times)


def _row(case, ours, baseline, base_ns, target, note):
    ratio = ours / base_ns
    row = {
        "case": case,
        "baseline": baseline,
        "bitloom_ns": round(ours, 1),
        "baseline_ns": round(base_ns, 1),
        "ratio": round(ratio, 3),
        "target": target,
        "met": ratio <= target,
        "note": note,
    }
    ROWS.append(row)
    print(format_row(row), flush=True)
    print("    ", note, flush=True)


def bench_hk16(count=1_000_000, loop_count=20_000):
    recipe = hk16()
    _, columns = hk16_packets(count, recipe)
    # The packet's fields start after its primary header.
    layout = Layout([dict(recipe[0], offset_bits=48), *recipe[1:]])
    tables = {"apid100": columns}
    definition = {100: layout}
    header = struct.Struct(">HHH")
    names = [item["name"] for item in recipe]
    rows = [{name: columns[name][k : k + 1].tolist()[0] for name in names} for k in range(loop_count)]
    items = [dict(item) for item in recipe]

    def loop():
        out = bytearray()
        for k, row in enumerate(rows):
            for item in items:
                item["value"] = row[item["name"]]
            body = bitloom.pack_parameters(items)
            out += header.pack(100, 0xC000 | (k & 0x3FFF), len(body) - 1)
            out += body
        return out

    stream = bitloom_io.encode(tables, definition)
    assert stream[: len(loop()) // loop_count] == bytes(loop()[: len(loop()) // loop_count])
    ours_t, base_t = [], []
    for _ in range(5):
        ours_t.append(_best_per_unit(lambda: bitloom_io.encode(tables, definition), count, 1))
        base_t.append(_best_per_unit(loop, loop_count, 1))
    ours, base = statistics.median(ours_t), statistics.median(base_t)
    gbs = len(stream) / count / ours
    _row(
        "encode 10^6 HK16 packets",
        ours,
        "pack_parameters loop + struct",
        base,
        0.05,
        f"{ours:.1f} ns vs {base:.1f} ns per packet; {gbs:.3f} GB/s of packets ({len(stream) / 1e6:.0f} MB)",
    )


def bench_ctim_round_trip():
    definition = xtce.load(os.path.join(CTIM, "ctim_xtce_v1.xml"))
    raw = open(os.path.join(CTIM, "ccsds_2021_155_14_39_51"), "rb").read()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tables = definition.decode(raw)

        def decode():
            definition.decode(raw)

    def encode():
        bitloom_io.encode(tables, definition)

    d_t, e_t = [], []
    for _ in range(7):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            d_t.append(_best_per_unit(decode, 1, 1))
        e_t.append(_best_per_unit(encode, 1, 1))
    d, e = statistics.median(d_t), statistics.median(e_t)
    _row(
        "encode(decode(CTIM file))",
        e,
        "decode of the same file",
        d,
        2.0,
        f"encode {e / 1e6:.1f} ms, decode {d / 1e6:.1f} ms, {len(raw) / 1e6:.2f} MB",
    )


def main():
    print(f"{'case':<34} {'bitloom':>11} {'baseline':<30} {'time':>11} {'ratio':>6}  target")
    bench_hk16()
    bench_ctim_round_trip()
    write_results(os.path.join(os.path.dirname(__file__), "results-encode.json"), numpy=np.__version__)


if __name__ == "__main__":
    main()
