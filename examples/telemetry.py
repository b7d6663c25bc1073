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
    # The 3-bit version and the other sub-byte header fields are read back by
    # byte windows, so they are shown from a header recipe of their own below.
    width = max(len(name) for name in values)
    print("\nunpacked:")
    for item in recipe:
        if item["bits"] % 8 == 0:
            print(f"  {item['name']:<{width}}  {item['encoding']:<16} {values[item['name']]!r}")

    header_word = bitloom.unpack_parameters(packet, 0, [field("word", "unsigned", 16, None)])["word"]
    print(f"\nprimary header: version={header_word >> 13} type={(header_word >> 12) & 1} "
          f"sec_header={(header_word >> 11) & 1} apid=0x{header_word & 0x7FF:03X}")


if __name__ == "__main__":
    main()
