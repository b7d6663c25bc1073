"""Typed use of bitloom: a recipe built from RecipeItem dicts, checked by
`mypy --strict` (`make typecheck`) through the installed stubs.

RecipeItem exists for type checkers only, so it is imported under
TYPE_CHECKING and named in quoted annotations.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import bitloom

if TYPE_CHECKING:
    from bitloom import RecipeItem


def numeric_field(name: str, encoding: str, bits: int, value: int | float) -> RecipeItem:
    return {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": "big",
        "reverse_bits": False,
        "value": value,
    }


def status_recipe(mode: int, temperature_cc: int, voltage: float, tag: str) -> list[RecipeItem]:
    recipe = [
        numeric_field("mode", "unsigned", 8, mode),
        numeric_field("temperature_cC", "twos_complement", 16, temperature_cc),
        numeric_field("voltage_V", "ieee754_f32", 32, voltage),
    ]
    # `value` and `offset_bits` may be left out; the other keys may not.
    recipe.append(
        {
            "name": "tag",
            "encoding": "us_ascii",
            "bits": 32,
            "byte_order": "big",
            "reverse_bits": False,
            "offset_bits": 56,
            "value": tag,
        }
    )
    return recipe


def read_status(packet: bytes, recipe: Sequence[RecipeItem]) -> tuple[int, float, str]:
    values = bitloom.unpack_parameters(packet, 0, recipe)
    # Values are int, float or str; narrow them before use.
    temperature, voltage, tag = values["temperature_cC"], values["voltage_V"], values["tag"]
    assert isinstance(temperature, int) and isinstance(voltage, float) and isinstance(tag, str)
    return temperature, voltage, tag


def main() -> None:
    recipe = status_recipe(mode=3, temperature_cc=-1275, voltage=28.125, tag="HK01")
    packet: bytes = bitloom.pack_parameters(recipe)
    print("packet:", packet.hex(" "))
    print("read back:", read_status(packet, recipe))

    # Keyword arguments use the parameter names of the module's functions.
    pattern: int = bitloom.encode_packed_bcd(value=-123, bits=16, signed=True)
    number: int = bitloom.decode_packed_bcd(pattern, 16, signed=True)
    half: float = bitloom.decode_ieee754_f16(value=bitloom.encode_ieee754_f16(0.625))
    text: str = bitloom.decode_utf16le(bytes=bitloom.encode_utf16le(text="été"))
    print(f"packed BCD 0x{pattern:04X} -> {number}; binary16 round trip {half}; UTF-16LE round trip {text!r}")


if __name__ == "__main__":
    main()
