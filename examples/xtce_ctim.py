"""Decode the CTIM housekeeping file from its XTCE definition: no recipe is
written by hand, and each packet's type comes from the definition's
restriction criteria."""

from __future__ import annotations

import os
import time

from bitloom_io import xtce

HERE = os.path.dirname(os.path.abspath(__file__))
CTIM = os.path.join(HERE, "..", "tests", "data", "realdata", "ctim")

start = time.perf_counter()
definition = xtce.load(os.path.join(CTIM, "ctim_xtce_v1.xml"))
loaded = time.perf_counter()
tables = definition.decode(os.path.join(CTIM, "ccsds_2021_155_14_39_51"))
decoded = time.perf_counter()

print(definition)
print(f"loaded in {(loaded - start) * 1e3:.0f} ms, decoded in {(decoded - loaded) * 1e3:.0f} ms")
print(f"{sum(len(t) for t in tables.values())} packets in {len(tables)} packet types:")
for name, table in sorted(tables.items(), key=lambda item: -len(item[1])):
    print(f"  {name:<16} {len(table):>5} packets  {len(table.columns):>4} columns")

busiest = max(tables.values(), key=len)
print(f"\nfirst rows of {busiest.name}:")
names = list(busiest.columns)[:8]
print("  ".join(f"{n:>12}" for n in names))
for row in range(3):
    print("  ".join(f"{busiest[n][row]!s:>12}" for n in names))
