"""Type-checking cases for the installed stubs, never run: `make typecheck`
runs `mypy --strict` over this file.

The positive cases pin each result type with assert_type. The negative cases
are calls the module refuses at run time; each carries an ignore with the
exact error code, so a stub that grew too permissive (or an error that
changed its nature) leaves an unused or a wrong ignore, which --strict
reports.
"""

from typing import TYPE_CHECKING, NoReturn, assert_type

import bitloom

if TYPE_CHECKING:
    from bitloom import RecipeItem

ITEM: "RecipeItem" = {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}


def results() -> None:
    assert_type(bitloom.pack_parameters([ITEM]), bytes)
    assert_type(bitloom.pack_parameters((ITEM,)), bytes)
    assert_type(bitloom.unpack_parameters(b"\x00", 0, [ITEM]), dict[str, int | float | str])
    assert_type(bitloom.encode_twos_complement(-5, 16), int)
    assert_type(bitloom.decode_sign_magnitude(0x85, 8), int)
    assert_type(bitloom.encode_unpacked_bcd(42, 16), int)
    assert_type(bitloom.decode_packed_bcd(0x123D, 16, True), int)
    assert_type(bitloom.encode_ieee754_f16(1), int)
    assert_type(bitloom.decode_ieee754_f32(0x3F800000), float)
    assert_type(bitloom.decode_ieee754_f128(1 << 120), float)
    assert_type(bitloom.encode_windows_1252("€"), bytes)
    assert_type(bitloom.decode_utf32be(b""), str)


def keywords() -> None:
    bitloom.unpack_parameters(packet_bytes=b"", offset_bits=0, recipe=[])
    bitloom.pack_parameters(recipe=[])
    bitloom.encode_sign_magnitude(value=-5, bits=8)
    bitloom.decode_unpacked_bcd(value=0x0402, bits=16, signed=False)
    bitloom.encode_ieee754_f64(value=0.1)
    bitloom.decode_iso_8859_1(bytes=b"\xe9")
    bitloom.encode_utf16be(text="A")


def optional_keys() -> "list[RecipeItem]":
    return [
        {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 1},
        {"name": "b", "encoding": "ieee754_f32", "bits": 32, "byte_order": "little", "reverse_bits": True,
         "offset_bits": 16, "value": 1.5},
        {"name": "c", "encoding": "utf8", "bits": 16, "byte_order": "big", "reverse_bits": False, "value": "hi"},
    ]


# The formats known by name only never return.
def not_implemented_decoder() -> NoReturn:
    bitloom.decode_ti_f32(_value=0)


def not_implemented_encoder() -> NoReturn:
    bitloom.encode_ieee754_f128(1.0)


def refused_arguments() -> None:
    bitloom.decode_utf8("text")  # type: ignore[arg-type]
    bitloom.decode_utf8(bytearray(b"a"))  # type: ignore[arg-type]
    bitloom.encode_utf8(b"text")  # type: ignore[arg-type]
    bitloom.encode_sign_magnitude(1.5, 8)  # type: ignore[arg-type]
    bitloom.encode_ieee754_f32("1.0")  # type: ignore[arg-type]
    bitloom.encode_packed_bcd(1, 8, 1)  # type: ignore[arg-type]
    bitloom.decode_twos_complement(255)  # type: ignore[call-arg]
    bitloom.encode_utf8(txt="a")  # type: ignore[call-arg]
    bitloom.pack_parameters("recipe")  # type: ignore[arg-type]
    bitloom.unpack_parameters(b"", 0.0, [])  # type: ignore[arg-type]
    bitloom.unpack_parameters("packet", 0, [])  # type: ignore[arg-type]
    bitloom.unpack_parameters(bytearray(2), 0, [])  # type: ignore[arg-type]
    bitloom.unpack_parameters(memoryview(b"ab"), 0, [])  # type: ignore[arg-type]
    bitloom.unpack_parameters(b"", 0, "recipe")  # type: ignore[arg-type]
    bitloom.pack_parameters(recipe=[], strict=True)  # type: ignore[call-arg]
    bitloom.unpack_parameters(packet=b"", offset_bits=0, recipe=[])  # type: ignore[call-arg]
    # Last: a call of a function that never returns ends the checked code.
    bitloom.decode_ti_f32(value=0)  # type: ignore[call-arg]


def precise_results() -> None:
    as_bytes: bytes = bitloom.decode_utf8(b"")  # type: ignore[assignment]
    as_text: str = bitloom.encode_utf8("")  # type: ignore[assignment]
    as_int: int = bitloom.decode_ieee754_f64(0)  # type: ignore[assignment]
    del as_bytes, as_text, as_int
