"""Packet streams: splitting and decoding whole files.

- JPSS (7,200 packets, 27 columns): split + decode into tables against
  space_packet_parser (its ccsds_generator plus parsing every packet with the
  XTCE definition) and CCSDSPy (FixedLength from the same CSV definition,
  primary header included), best of several runs each, in one process;
- splitting alone on a 1 GiB synthetic stream, in memory and from a
  memory-mapped file (GB/s), for 1 KiB and 71-byte packets;
- peak RSS of decode over the 1 GiB file (a fresh process, ru_maxrss) against
  the bytes of the tables it returns;
- the command line's start: `bitloom-io --help` and `info` on the JPSS file,
  wall time from start to exit.

Run with `make bench`; writes bench/results-stream.json.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

import bitloom_io
from bitloom_io import ccsds

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data", "realdata", "jpss")
JPSS = os.path.join(DATA, "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1")
JPSS_CSV = os.path.join(DATA, "ccsdspy_jpss1_geolocation.csv")
JPSS_XTCE = os.path.join(DATA, "jpss1_geolocation_xtce_v1.xml")
GIB = 1 << 30
ROWS: list[dict] = []


def best(fn, rounds: int, min_time: float = 0.0) -> float:
    """Best wall time of `rounds` calls (more while under `min_time` s)."""
    times = []
    start = time.perf_counter()
    while len(times) < rounds or time.perf_counter() - start < min_time:
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def row(case, value, unit, target=None, met=None, note=""):
    ROWS.append({"case": case, "value": value, "unit": unit, "target": target, "met": met, "note": note})
    flag = "" if met is None else ("  ok" if met else "  MISSED")
    tgt = f"  (target {target})" if target else ""
    print(f"{case:<58} {value:>12.4g} {unit}{tgt}{flag}", flush=True)


def jpss_tables():
    layouts = bitloom_io.load_layouts(JPSS_CSV)
    ours = best(lambda: bitloom_io.decode(JPSS, layouts), 20, 1.0)
    row("JPSS split + decode, bitloom_io (ms)", ours * 1e3, "ms")
    try:
        import space_packet_parser as spp
    except ImportError:
        print("space_packet_parser is not installed: skipped")
    else:
        definition = spp.load_xtce(JPSS_XTCE)

        def spp_run():
            with open(JPSS, "rb") as f, warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return [definition.parse_bytes(p) for p in spp.ccsds_generator(f)]

        base = best(spp_run, 3)
        row("JPSS, space_packet_parser (ms)", base * 1e3, "ms", note=f"{base / 7200 * 1e6:.1f} us per packet")
        ratio = base / ours
        row("JPSS speed-up over space_packet_parser", ratio, "x", ">= 50", ratio >= 50)
    try:
        import ccsdspy
    except ImportError:
        print("ccsdspy is not installed: skipped")
    else:
        import logging

        logging.getLogger("ccsdspy").setLevel(logging.WARNING)
        pkt = ccsdspy.FixedLength.from_file(JPSS_CSV)
        base = best(lambda: pkt.load(JPSS, include_primary_header=True), 10, 1.0)
        row("JPSS, CCSDSPy FixedLength.load (ms)", base * 1e3, "ms")
        ratio = base / ours
        row("JPSS speed-up over CCSDSPy", ratio, "x", ">= 5", ratio >= 5)


# The synthetic stream: packets of one APID with a secondary header of a
# 32-bit time, then 16-bit, 32-bit and float fields, then filler.
def synthetic_layout():
    def item(name, bits, encoding="unsigned", offset=None):
        d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}
        if offset is not None:
            d["offset_bits"] = offset
        return d

    return bitloom_io.Layout(
        [
            item("time", 32, offset=48),
            item("mode", 8),
            item("status", 16),
            item("counter", 32),
            item("temp", 16, "twos_complement"),
            item("x", 32, "ieee754_f32"),
            item("y", 32, "ieee754_f32"),
            item("z", 64, "ieee754_f64"),
        ]
    )


def synthetic_packets(n: int, size: int, apid: int = 100, start: int = 0) -> np.ndarray:
    rng = np.random.default_rng(start)
    a = rng.integers(0, 256, size=(n, size), dtype=np.uint8)
    seq = (np.arange(start, start + n) % 16384).astype(np.uint16)
    a[:, 0] = 0x08 | (apid >> 8)
    a[:, 1] = apid & 0xFF
    a[:, 2] = 0xC0 | (seq >> 8)
    a[:, 3] = seq & 0xFF
    a[:, 4] = (size - 7) >> 8
    a[:, 5] = (size - 7) & 0xFF
    return a


def write_synthetic(path: str, size: int) -> int:
    n_total = GIB // size
    step = (64 << 20) // size
    with open(path, "wb") as f:
        for start in range(0, n_total, step):
            n = min(step, n_total - start)
            f.write(synthetic_packets(n, size, start=start).tobytes())
    return n_total


def splitting(path: str):
    for size in (1024, 71):
        n = GIB // size
        memory = synthetic_packets(n, size).reshape(-1)
        t = best(lambda: ccsds.split(memory), 3)
        gbs = memory.nbytes / t / 1e9
        row(
            f"split 1 GiB in memory, {size}-byte packets (GB/s)",
            gbs,
            "GB/s",
            ">= 1",
            gbs >= 1,
            note=f"{n} packets, {t * 1e3:.0f} ms",
        )
        del memory
    size = os.path.getsize(path)
    t = best(lambda: ccsds.split(path), 3)
    gbs = size / t / 1e9
    row(
        "split 1 GiB file (memory-mapped, 1 KiB packets) (GB/s)",
        gbs,
        "GB/s",
        ">= 1",
        gbs >= 1,
        note=f"{t * 1e3:.0f} ms, page cache warm",
    )


# The child's peak resident set: VmHWM, which starts afresh at exec (the
# ru_maxrss of a child started by fork and exec keeps the parent's peak on
# Linux); ru_maxrss where there is no /proc.
CHILD = r"""
import json, resource, sys
import bitloom_io
sys.path.insert(0, sys.argv[2])
from stream import synthetic_layout

def peak_rss():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    scale = 1 if sys.platform == "darwin" else 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale

layout = synthetic_layout()
before = peak_rss()
tables = bitloom_io.decode(sys.argv[1], {100: layout})
peak = peak_rss()
out = sum(c.nbytes for t in tables.values() for c in t.columns.values())
print(json.dumps({"before": before, "peak": peak, "output": out, "rows": len(tables["apid100"])}))
"""


def peak_rss(path: str):
    result = subprocess.run([sys.executable, "-P", "-c", CHILD, path, HERE], capture_output=True, text=True, check=True)
    r = json.loads(result.stdout)
    mib = 1 << 20
    over = (r["peak"] - r["output"]) / mib
    row("decode 1 GiB file: output columns (MiB)", r["output"] / mib, "MiB", note=f"{r['rows']} rows")
    row(
        "decode 1 GiB file: peak RSS of the process (MiB)",
        r["peak"] / mib,
        "MiB",
        note=f"{r['before'] / mib:.0f} MiB before decode (interpreter, numpy, layouts)",
    )
    row("decode 1 GiB file: peak RSS over the output (MiB)", over, "MiB", "<= 100", over <= 100)


def command_line_start() -> None:
    """Wall time of the command line's quickest commands, interpreter start
    and imports included: `--help`, and `info` on the JPSS file (best of 7)."""
    script = os.path.join(os.path.dirname(sys.executable), "bitloom-io")
    argv = [script] if os.path.exists(script) else [sys.executable, "-m", "bitloom_io"]
    for case, args in [("--help", ["--help"]), ("info (JPSS file)", ["info", JPSS])]:

        def run(args=args):
            subprocess.run(argv + args, check=True, stdout=subprocess.DEVNULL)

        seconds = best(run, 7)
        row(f"bitloom-io {case}: start to exit (s)", seconds, "s", "<= 0.15", seconds <= 0.15)
    probe = "import sys, time; t = time.perf_counter(); import numpy; print(time.perf_counter() - t)"
    numpy_s = min(
        float(subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True).stdout) for _ in range(5)
    )
    ROWS[-1]["note"] = f"of which importing numpy alone {numpy_s:.3f} s"
    print(f"    {ROWS[-1]['note']}")


def main() -> int:
    print(f"{'case':<58} {'value':>12}")
    command_line_start()
    jpss_tables()
    fd, path = tempfile.mkstemp(prefix="bitloom-stream-", suffix=".bin")
    os.close(fd)
    try:
        write_synthetic(path, 1024)
        splitting(path)
        peak_rss(path)
    finally:
        os.unlink(path)
    with open(os.path.join(HERE, "results-stream.json"), "w") as f:
        json.dump(ROWS, f, indent=1)
    missed = [r["case"] for r in ROWS if r["met"] is False]
    if missed:
        print("missed: " + "; ".join(missed))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
