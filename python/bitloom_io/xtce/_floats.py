"""Floating-point formats other than IEEE 754, from their published
definitions: the field is read as unsigned bits (the stream's byte order)
and converted here, over whole columns.

- MIL-STD-1750A: 32 bits are a 24-bit two's complement fraction and an 8-bit
  two's complement exponent, value = M * 2**(E - 23); 48 bits add a 16-bit
  extension of the fraction after the exponent, M being 40 bits and value
  = M * 2**(E - 39).
- IBM hexadecimal: a sign, a 7-bit exponent in excess 64 and a 24- (32-bit)
  or 56-bit (64-bit) fraction, value = (-1)**s * 0.F * 16**(E - 64).
- DEC (VAX) F and D: stored as 16-bit little-endian words, the most
  significant word first; a sign, an 8-bit exponent in excess 128 and a
  fraction with a hidden leading bit, value = (-1)**s * 0.1F * 2**(E - 128),
  0 when E is 0 (XTCE's 64-bit DEC is D_floating).
- TI (TMS320C3x) 32 and 40 bits: an 8-bit two's complement exponent, a sign
  and a 23- or 31-bit fraction, value = (s ? -2 + 0.F : 1 + 0.F) * 2**E, 0
  when E is -128.
"""

from __future__ import annotations

import numpy as np


def _signed(values: np.ndarray, bits: int) -> np.ndarray:
    values = values.astype(np.int64)
    return np.where(values >= 1 << (bits - 1), values - (1 << bits), values)


def convert(float_format: str, raw: np.ndarray) -> np.ndarray:
    """The values of a column of raw bits in ``float_format`` (``family/bits``), as float64."""
    family, _, width = float_format.partition("/")
    bits = int(width)
    x = np.asarray(raw).astype(np.uint64)
    if family == "MIL-STD-1750A":
        if bits == 32:
            mantissa, exponent = _signed(x >> np.uint64(8), 24), _signed(x & np.uint64(0xFF), 8)
            return np.ldexp(mantissa.astype(np.float64), (exponent - 23).astype(np.int32))
        high = _signed(x >> np.uint64(24), 24)
        exponent = _signed((x >> np.uint64(16)) & np.uint64(0xFF), 8)
        mantissa = high * (1 << 16) + (x & np.uint64(0xFFFF)).astype(np.int64)
        return np.ldexp(mantissa.astype(np.float64), (exponent - 39).astype(np.int32))
    if family == "IBM":
        fraction_bits = bits - 8
        sign = (x >> np.uint64(bits - 1)).astype(bool)
        exponent = ((x >> np.uint64(fraction_bits)) & np.uint64(0x7F)).astype(np.int32)
        fraction = (x & np.uint64((1 << fraction_bits) - 1)).astype(np.float64)
        value = np.ldexp(fraction, 4 * (exponent - 64) - fraction_bits)
        return np.where(sign, -value, value)
    if family == "DEC":
        # Words in stream order, each little-endian: swap the bytes of each word.
        words = bits // 16
        logical = np.zeros(len(x), dtype=np.uint64)
        for k in range(words):
            word = (x >> np.uint64(16 * (words - 1 - k))) & np.uint64(0xFFFF)
            swapped = ((word & np.uint64(0xFF)) << np.uint64(8)) | (word >> np.uint64(8))
            logical |= swapped << np.uint64(16 * (words - 1 - k))
        fraction_bits = bits - 9
        sign = (logical >> np.uint64(bits - 1)).astype(bool)
        exponent = ((logical >> np.uint64(fraction_bits)) & np.uint64(0xFF)).astype(np.int32)
        fraction = (logical & np.uint64((1 << fraction_bits) - 1)).astype(np.float64) + float(1 << fraction_bits)
        value = np.ldexp(fraction, exponent - 128 - (fraction_bits + 1))
        value = np.where(sign, -value, value)
        return np.where(exponent == 0, 0.0, value)
    # TI
    fraction_bits = bits - 9
    exponent = _signed(x >> np.uint64(bits - 8), 8)
    sign = ((x >> np.uint64(fraction_bits)) & np.uint64(1)).astype(bool)
    fraction = (x & np.uint64((1 << fraction_bits) - 1)).astype(np.float64) / float(1 << fraction_bits)
    value = np.ldexp(np.where(sign, -2.0, 1.0) + fraction, exponent.astype(np.int32))
    return np.where(exponent == -128, 0.0, value)
