"""How much of a damaged real stream the splitter recovers.

Each trial takes one real packet file, damages it once (a flipped bit, a
changed byte, a lying length field, bytes inserted or deleted) and splits it.
An original packet whose bytes the damage did not touch is intact; it is
recovered when the split returns a packet at its (shifted) place with its
length. Printed: the share of intact packets recovered, the same share over
the intact packets preceded by a header-aligned intact packet (one that is
intact and ends where the packet starts, with no inserted bytes between:
what a splitter that trusts no single length field can promise), streams
that hid intact packets, records found at no original packet's place, and
any stream whose packets and problem regions fail to tile it.

    python bench/stream_mutations.py [TRIALS] [SEED]
"""

from __future__ import annotations

import os
import random
import sys
import time
import warnings

import numpy as np

from bitloom_io import ccsds

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = [
    os.path.join(HERE, "..", "tests", "data", "realdata", "jpss", "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
    os.path.join(HERE, "..", "tests", "data", "realdata", "ctim", "ccsds_2021_155_14_39_51"),
]
IMAP = "/work/shared/xtce/imap/data"
if os.path.isdir(IMAP):
    FILES += [os.path.join(IMAP, n) for n in sorted(os.listdir(IMAP)) if os.path.getsize(os.path.join(IMAP, n)) > 10000]


def packets_of(data: bytes) -> list[tuple[int, int]]:
    out, p = [], 0
    while p + 6 <= len(data):
        n = ((data[p + 4] << 8) | data[p + 5]) + 7
        out.append((p, n))
        p += n
    assert p == len(data)
    return out


def mutate(rng: random.Random, data: bytes, packets: list[tuple[int, int]]) -> tuple[bytes, int, int, int]:
    """(damaged stream, start, end of the damaged original bytes, shift of
    the bytes after them)."""
    kind = rng.randrange(5)
    if kind == 0:  # a lying length field
        o, _ = packets[rng.randrange(len(packets))]
        at = o + 4 + rng.randrange(2)
        b = bytearray(data)
        b[at] = rng.randrange(256)
        return bytes(b), at, at + 1, 0
    if kind == 1:  # a flipped bit anywhere
        at = rng.randrange(len(data))
        b = bytearray(data)
        b[at] ^= 1 << rng.randrange(8)
        return bytes(b), at, at + 1, 0
    if kind == 2:  # a header byte changed
        o, _ = packets[rng.randrange(len(packets))]
        at = o + rng.randrange(6)
        b = bytearray(data)
        b[at] = rng.randrange(256)
        return bytes(b), at, at + 1, 0
    if kind == 3:  # bytes inserted
        at = rng.randrange(len(data) + 1)
        junk = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64)))
        return data[:at] + junk + data[at:], at, at, len(junk)
    at = rng.randrange(len(data))  # bytes deleted
    n = min(rng.randrange(1, 64), len(data) - at)
    return data[:at] + data[at + n :], at, at + n, -n


def trial(rng: random.Random, data: bytes, packets: list[tuple[int, int]]) -> tuple[int, int, int, int, bool, int]:
    damaged, lo, hi, shift = mutate(rng, data, packets)
    intact = []
    places = set()
    previous_intact = True
    for o, n in packets:
        ok = o + n <= lo or o >= hi if hi > lo else (o + n <= lo or o >= lo)
        at = o if o < lo else o + shift
        places.add(at)
        if ok:
            # Bytes inserted right before it part it from its predecessor.
            aligned = previous_intact and not (hi == lo and o == lo and shift > 0)
            intact.append((at, n, aligned))
        previous_intact = ok
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        p = ccsds.split(damaged)
    found = set(zip(p.offsets.tolist(), p.lengths.tolist()))
    recovered = sum((o, n) in found for o, n, _ in intact)
    goal = [(o, n) for o, n, prev in intact if prev]
    goal_recovered = sum(x in found for x in goal)
    tiles = int(p.lengths.sum()) + p.summary.lost_bytes == len(damaged)
    stray = sum(o not in places for o in p.offsets.tolist())
    return len(intact), recovered, len(goal), goal_recovered, tiles, stray


def main() -> None:
    trials = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    streams = [(f, open(f, "rb").read()) for f in FILES]
    streams = [(f, d, packets_of(d)) for f, d in streams]
    totals = np.zeros(4, dtype=np.int64)
    hidden = broken = stray = 0
    start = time.perf_counter()
    for _ in range(trials):
        _, data, packets = streams[rng.randrange(len(streams))]
        intact, rec, goal, goal_rec, tiles, strays = trial(rng, data, packets)
        totals += (intact, rec, goal, goal_rec)
        stray += strays
        hidden += rec < intact
        broken += not tiles
    intact, rec, goal, goal_rec = totals.tolist()
    print(f"{trials} damaged streams from {len(streams)} files ({time.perf_counter() - start:.1f} s)")
    print(f"intact packets recovered: {rec} of {intact} ({100 * rec / intact:.3f} %)")
    print(f"  of those after a header-aligned intact packet: {goal_rec} of {goal} ({100 * goal_rec / goal:.4f} %)")
    print(f"streams that hid intact packets: {hidden} ({100 * hidden / trials:.1f} %); {intact - rec} packets")
    print(f"records at no original packet's place: {stray}")
    print(f"streams not tiled by packets and problem regions: {broken}")


if __name__ == "__main__":
    main()
