"""Pack a spacecraft housekeeping packet from a recipe, then unpack it.

The recipe starts with a 6-byte primary header (version, type, secondary
header flag, APID, sequence flags and count, data length) followed by the
housekeeping parameters: mixed integers, a BCD timestamp, floats and a text
tag. Run with `make demo`.
"""

import bitloom


def field(name, encoding, bits, value, byte_order="big", reverse_bits=False, **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": reverse_bits, "value": value, **extra}


HOUSEKEEPING = [
    # Primary header: 48 bits, packed at bit granularity.
    field("version", "unsigned", 3, 0),
    field("type", "unsigned", 1, 0),
    field("sec_header", "unsigned", 1, 1),
    field("apid", "unsigned", 11, 0x3A5),
    field("seq_flags", "unsigned", 2, 0b11),
    field("seq_count", "unsigned", 14, 1234),
    field("data_length", "unsigned", 16, 0),  # patched below
    # Secondary header: a packed-BCD time of day, hhmmss.
    field("time_hhmmss", "packed_bcd", 24, 134502),
    # Housekeeping parameters.
    field("mode", "unsigned", 8, 3),
    field("bus_voltage_mV", "unsigned", 16, 28125),
    field("bus_current_mA", "unsigned", 16, 1540, byte_order="little"),
    field("battery_temp_cC", "twos_complement", 16, -1275),
    field("panel_temp_cC", "sign_magnitude", 16, -402),
    field("wheel_speed_rpm", "twos_complement", 32, -3021),
    field("heater_duty", "ieee754_f16", 16, 0.625),
    field("sun_angle_deg", "ieee754_f32", 32, 37.25),
    field("orbit_phase_rad", "ieee754_f64", 64, 2.0943951023931953),
    field("boot_count", "bcd", 32, 7021),
    field("fault_flags", "unsigned", 8, 0b0001_0010, reverse_bits=True),
    field("tag", "us_ascii", 64, "HK-NOM"),
]


def main():
    recipe = [dict(item) for item in HOUSEKEEPING]
    total_bytes = sum(item["bits"] for item in recipe) // 8
    recipe[6]["value"] = total_bytes - 6 - 1  # the header counts data bytes minus one

    packet = bitloom.pack_parameters(recipe)
    print(f"packet ({len(packet)} bytes):")
    for start in range(0, len(packet), 16):
        chunk = packet[start:start + 16]
        print(f"  {start:04x}  {chunk.hex(' ')}")

    values = bitloom.unpack_parameters(packet, 0, recipe)
    # Unpacking reads whole bytes from the one holding a field's first bit, so
    # the sub-byte header fields are read back as three 16-bit words and
    # split here; every byte-aligned field is read directly.
    words = bitloom.unpack_parameters(packet, 0, [
        field("id_word", "unsigned", 16, None),
        field("seq_word", "unsigned", 16, None),
        field("length", "unsigned", 16, None),
    ])
    print("\nprimary header:")
    print(f"  version={words['id_word'] >> 13} type={(words['id_word'] >> 12) & 1} "
          f"sec_header={(words['id_word'] >> 11) & 1} apid=0x{words['id_word'] & 0x7FF:03X} "
          f"seq_flags={words['seq_word'] >> 14:02b} seq_count={words['seq_word'] & 0x3FFF} "
          f"data_length={words['length']}")

    width = max(len(item["name"]) for item in recipe)
    print("\nparameters:")
    for item in recipe[7:]:
        value = values[item["name"]]
        if isinstance(value, str):
            value = value.rstrip("\x00")  # the text field is zero-padded to 64 bits
        print(f"  {item['name']:<{width}}  {item['encoding']:<16} {value!r}")


if __name__ == "__main__":
    main()
