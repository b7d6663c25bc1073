"""What failures look like, and how to handle them. Run with `make demo`.

- A codec that refuses a value raises ValueError.
- An argument of the wrong type or range raises TypeError or OverflowError
  before anything runs.
- The formats known by name only raise NotImplementedError.
- pack_parameters and unpack_parameters raise every failure inside a packet
  as one ValueError "<Type>: <message>", where <Type> names what went wrong
  (KeyError for a missing recipe key, TypeError for a wrong type, ValueError
  for a refused value, NotImplementedError for a format known by name only).
"""

import bitloom


def show(label, call):
    try:
        result = call()
    except (ValueError, TypeError, OverflowError, NotImplementedError) as error:
        print(f"  {label:<34} {type(error).__name__}: {error}")
    else:
        print(f"  {label:<34} -> {result!r}")


def item(name, encoding, bits, *value, **extra):
    """A recipe item; `value` only when one is given (a key holding None is
    present, and fails its conversion)."""
    d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False, **extra}
    if value:
        d["value"] = value[0]
    return d


def pack_reporting_fields(recipe):
    """Packs `recipe`; on failure, says which kind of problem it was."""
    try:
        return bitloom.pack_parameters(recipe)
    except ValueError as error:
        kind, _, detail = str(error).partition(": ")
        if kind == "KeyError":
            print(f"  recipe incomplete:      {detail}")
        elif kind == "TypeError":
            print(f"  recipe value mistyped:  {detail}")
        else:
            print(f"  recipe refused ({kind}): {detail}")
        return None


def main():
    print("codecs refusing a value (ValueError):")
    show("encode_twos_complement(200, 8)", lambda: bitloom.encode_twos_complement(200, 8))
    show("encode_packed_bcd(-1, 8)", lambda: bitloom.encode_packed_bcd(-1, 8))
    show("decode_utf8(b'abc\\xff')", lambda: bitloom.decode_utf8(b"abc\xff"))
    show("encode_us_ascii('café')", lambda: bitloom.encode_us_ascii("café"))

    print("\narguments refused before the codec runs:")
    show("encode_utf8(5)", lambda: bitloom.encode_utf8(5))
    show("decode_utf8(bytearray(b'a'))", lambda: bitloom.decode_utf8(bytearray(b"a")))
    show("encode_packed_bcd(5, 8, signed=1)", lambda: bitloom.encode_packed_bcd(5, 8, signed=1))
    show("decode_sign_magnitude(5, 2**32)", lambda: bitloom.decode_sign_magnitude(5, 2**32))
    show("encode_sign_magnitude(5)", lambda: bitloom.encode_sign_magnitude(5))

    print("\nformats known by name only (NotImplementedError):")
    show("decode_ti_f32(0)", lambda: bitloom.decode_ti_f32(0))
    show("encode_ieee754_f128(1.0)", lambda: bitloom.encode_ieee754_f128(1.0))

    print("\npacket functions (ValueError '<Type>: <message>'):")
    show("missing value", lambda: bitloom.pack_parameters([item("temp", "twos_complement", 16)]))
    show("value given as None", lambda: bitloom.pack_parameters([item("temp", "twos_complement", 16, None)]))
    show("unknown encoding", lambda: bitloom.pack_parameters([item("t", "utf-7", 8, "a")]))
    show("value out of range", lambda: bitloom.pack_parameters([item("t", "unsigned", 8, 256)]))
    show("field past the packet end", lambda: bitloom.unpack_parameters(b"\x01", 0, [item("t", "unsigned", 16)]))
    show("not implemented", lambda: bitloom.unpack_parameters(b"\x00" * 4, 0, [item("t", "ti_f32", 32)]))
    show("recipe given as a str", lambda: bitloom.pack_parameters("recipe"))

    print("\nsorting packet failures by their type name:")
    pack_reporting_fields([{"name": "mode", "encoding": "unsigned", "bits": 8, "byte_order": "big", "value": 1}])
    pack_reporting_fields([item("mode", "unsigned", 8, 1, reverse_bits=0)])
    pack_reporting_fields([item("mode", "unsigned", 8, 1, byte_order="middle")])


if __name__ == "__main__":
    main()
