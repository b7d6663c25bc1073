"""The single-value codecs: one number or text in, its encoding out."""

import bitloom

print("two's complement  -5 in 16 bits ->", hex(bitloom.encode_twos_complement(-5, 16)))
print("two's complement 0xFFFB, 16 bits ->", bitloom.decode_twos_complement(0xFFFB, 16))
print("sign-magnitude    -5 in 8 bits  ->", hex(bitloom.encode_sign_magnitude(-5, 8)))
print("ones' complement  -5 in 8 bits  ->", hex(bitloom.encode_ones_complement(-5, 8)))
print("packed BCD      -123 signed     ->", hex(bitloom.encode_packed_bcd(-123, 16, signed=True)))
print("zoned BCD         42            ->", hex(bitloom.encode_unpacked_bcd(42, 16, signed=True)))
print("binary16         1.0            ->", hex(bitloom.encode_ieee754_f16(1.0)))
print("binary16       0x3555           ->", bitloom.decode_ieee754_f16(0x3555))
print("UTF-16 'A'                      ->", bitloom.encode_utf16("A"))
print("Windows-1252 b'\\x80'            ->", bitloom.decode_windows_1252(b"\x80"))
try:
    bitloom.encode_us_ascii("café")
except ValueError as e:
    print("US-ASCII 'café'                 ->", f"ValueError: {e}")
