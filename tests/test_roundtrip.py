"""Packing then unpacking byte-aligned layouts gives the values back."""

import math
import struct

from hypothesis import given, settings, strategies as st

import bitloom as b
from recipes import item

text = st.text(st.characters(exclude_categories=["Cs"]), max_size=12)


def numeric(encoding, bits, values):
    return st.tuples(st.just(encoding), st.just(bits), values)


def signed_range(lo, hi):
    return st.integers(lo, hi)


FIELDS = st.one_of(
    st.sampled_from([8, 16, 24, 32, 48, 64]).flatmap(lambda w: numeric("unsigned", w, st.integers(0, 2**w - 1))),
    st.sampled_from([8, 16, 32, 64]).flatmap(
        lambda w: numeric("twos_complement", w, signed_range(-(2 ** (w - 1)), 2 ** (w - 1) - 1))
    ),
    st.sampled_from([8, 16, 32, 64]).flatmap(
        lambda w: numeric("ones_complement", w, signed_range(-(2 ** (w - 1)) + 1, 2 ** (w - 1) - 1))
    ),
    st.sampled_from([8, 16, 32, 64]).flatmap(
        lambda w: numeric("sign_magnitude", w, signed_range(-(2 ** (w - 1)) + 1, 2 ** (w - 1) - 1))
    ),
    st.sampled_from([8, 16, 32, 64]).flatmap(lambda w: numeric("packed_bcd", w, st.integers(0, 10 ** (w // 4) - 1))),
    st.sampled_from([8, 16, 32, 64]).flatmap(
        lambda w: numeric("packed_bcd_signed", w, st.integers(-(10 ** (w // 4 - 1)) + 1, 10 ** (w // 4 - 1) - 1))
    ),
    st.sampled_from([8, 16, 32, 64]).flatmap(lambda w: numeric("bcd", w, st.integers(0, 10 ** (w // 8) - 1))),
    st.sampled_from([8, 16, 32, 64]).flatmap(
        lambda w: numeric("bcd_signed", w, st.integers(-(10 ** (w // 8)) + 1, 10 ** (w // 8) - 1))
    ),
    numeric("ieee754_f64", 64, st.floats(allow_nan=False)),
    numeric("ieee754_f32", 32, st.floats(width=32, allow_nan=False)),
    numeric("ieee754_f16", 16, st.floats(width=16, allow_nan=False)),
    st.tuples(st.sampled_from(["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"]), st.none(), text),
    st.tuples(
        st.sampled_from(["us_ascii", "iso_8859_1", "windows_1252"]),
        st.none(),
        st.text(st.characters(max_codepoint=0x7F), max_size=12),
    ),
)

ENCODERS = {
    "utf8": lambda t: t.encode("utf-8"),
    "utf16": lambda t: b"\xfe\xff" + t.encode("utf-16-be"),
    "utf16le": lambda t: t.encode("utf-16-le"),
    "utf16be": lambda t: t.encode("utf-16-be"),
    "utf32": lambda t: b"\x00\x00\xfe\xff" + t.encode("utf-32-be"),
    "utf32le": lambda t: t.encode("utf-32-le"),
    "utf32be": lambda t: t.encode("utf-32-be"),
    "us_ascii": lambda t: t.encode("ascii"),
    "iso_8859_1": lambda t: t.encode("latin-1"),
    "windows_1252": lambda t: t.encode("cp1252"),
}


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(FIELDS, st.sampled_from(["big", "little"]), st.booleans()), max_size=8))
def test_pack_then_unpack(fields):
    recipe = []
    for i, ((encoding, bits, value), order, mirror) in enumerate(fields):
        if bits is None:
            bits = 8 * len(ENCODERS[encoding](value))
            mirror = False
        recipe.append(
            item(name=f"f{i}", encoding=encoding, bits=bits, byte_order=order, reverse_bits=mirror, value=value)
        )
    packet = b.pack_parameters(recipe)
    assert len(packet) == sum(r["bits"] for r in recipe) // 8
    result = b.unpack_parameters(packet, 0, recipe)
    for r in recipe:
        got, want = result[r["name"]], r["value"]
        if r["encoding"] == "ieee754_f32":
            want = struct.unpack("f", struct.pack("f", want))[0]
        if isinstance(want, float) and math.isnan(want):
            assert math.isnan(got)
        else:
            assert got == want and type(got) is type(want), r


@given(st.binary(max_size=32), st.integers(0, 64))
def test_unpacking_an_offset_reads_the_shifted_bytes(data, offset):
    recipe = [item(name=str(i)) for i in range(len(data) - offset // 8)]
    result = b.unpack_parameters(data, offset, recipe)
    assert list(result.values()) == list(data[offset // 8 :])
