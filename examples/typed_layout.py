"""Typed use of bitloom_io: a layout compiled once, packets packed and read
one at a time and as numpy columns, and the recipe checked. Checked by
`mypy --strict` (`make typecheck`) through the package's type information."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from bitloom_io import Columns, Finding, Layout, check

if TYPE_CHECKING:
    from bitloom import RecipeItem

RECIPE: list[RecipeItem] = [
    {"name": "mode", "encoding": "unsigned", "bits": 4, "byte_order": "big", "reverse_bits": False, "value": 0},
    {"name": "temp", "encoding": "twos_complement", "bits": 12, "byte_order": "big", "reverse_bits": False, "value": 0},
    {"name": "volts", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big", "reverse_bits": False, "value": 0.0},
]


def temperatures(layout: Layout, stream: bytes) -> npt.NDArray[np.int64]:
    columns: Columns = layout.unpack_many(stream, stride=6)
    assert columns.failures == 0
    return columns["temp"].astype(np.int64)


def main() -> None:
    # The 4-bit and 12-bit fields do not end on byte boundaries: read as
    # unpack_parameters reads them, they would not come back as packed.
    findings: list[Finding] = check(RECIPE)
    for finding in findings:
        print("check:", finding)
    assert check(RECIPE, exact=True) == []
    layout = Layout(RECIPE, exact=True)  # read every field at its exact bits
    for field in layout.fields:
        print(f"  {field.name:<6} {field.encoding:<16} start bit {field.start_bit}, {field.bits} bits")
    packets = [layout.pack({"mode": i % 4, "temp": -40 + 7 * i, "volts": 27.5 + i / 4}) for i in range(5)]
    one: dict[str, int | float | str | bytes] = layout.unpack(packets[1])
    print("packet 1:", one)
    print("temperatures:", temperatures(layout, b"".join(packets)).tolist())
    again: bytes = layout.pack_many({"mode": [0, 1], "temp": [-40, -33], "volts": [27.5, 27.75]})
    assert again == b"".join(packets[:2])


if __name__ == "__main__":
    main()
