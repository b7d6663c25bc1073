"""Decoding damaged real files in pieces against decoding them whole.

Each trial damages one of the real files (bytes changed, inserted, deleted),
decodes it whole and in pieces of a random size (the command line's progress
path, and Dask's partitions: byte ranges decoded one by one) and counts the
files whose rows differ, and by how many rows.

    python bench/pieces_vs_whole.py [FILES] [SEED]
"""

from __future__ import annotations

import os
import random
import sys
import tempfile
import warnings

import bitloom_io
from bitloom_io import _chunks

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data", "realdata")
FILES = [
    os.path.join(DATA, "jpss", "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
    os.path.join(DATA, "ctim", "ccsds_2021_155_14_39_51"),
]
LAYOUT = bitloom_io.Layout(
    [{"name": "W", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "offset_bits": 48}]
)


def damage(rng: random.Random, data: bytes) -> bytes:
    b = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(len(b))
        kind = rng.randrange(3)
        if kind == 0:
            b[at] = rng.randrange(256)
        elif kind == 1:
            b[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 40)))
        else:
            del b[at : at + rng.randint(1, 200)]
    return bytes(b)


def rows(tables) -> int:
    return sum(len(t) for t in tables.values())


def ranges_decode(path: str, piece: int) -> int:
    """Dask's way: each partition's byte range decoded on its own."""
    if hasattr(_chunks, "plan_pieces"):
        total = 0
        for part in _chunks.plan_pieces(path, piece):
            packets = _chunks.split_piece(part, _chunks.open_piece(part))
            total += rows(bitloom_io.decode(packets, {"*": LAYOUT}))
        return total
    data = open(path, "rb").read()
    return sum(rows(bitloom_io.decode(data[a:b], {"*": LAYOUT})) for a, b in _chunks.piece_bounds(path, piece))


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    originals = [open(f, "rb").read() for f in FILES]
    differ = {"progress": 0, "dask": 0}
    worst = {"progress": 0, "dask": 0}
    with tempfile.TemporaryDirectory() as tmp, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        path = os.path.join(tmp, "damaged.bin")
        for _ in range(n):
            with open(path, "wb") as f:
                f.write(damage(rng, rng.choice(originals)))
            piece = rng.randint(71, 400_000)
            whole = rows(bitloom_io.decode(path, {"*": LAYOUT}))
            got = {
                "progress": rows(
                    _chunks.decode_in_pieces(
                        path, lambda s, **k: bitloom_io.decode(s, {"*": LAYOUT}, **k), chunk_bytes=piece
                    )
                ),
                "dask": ranges_decode(path, piece),
            }
            for way, r in got.items():
                if r != whole:
                    differ[way] += 1
                    worst[way] = max(worst[way], abs(r - whole))
    for way in differ:
        print(
            f"{way}: {differ[way]} of {n} damaged files differ from the whole-file decode (by up to {worst[way]} rows)"
        )


if __name__ == "__main__":
    main()
