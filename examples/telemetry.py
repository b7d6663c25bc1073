"""A housekeeping telemetry packet: primary header, time stamp and
parameters, packed from one recipe and read back.

The 6-byte primary header (version, type, secondary header flag, APID,
sequence flags and count, data length) is packed at bit granularity. Its
sub-byte fields cannot be read back one by one, because unpacking reads
whole bytes (see "The unpacking byte window" in README.md), so the header is
read as three 16-bit words and split with shifts. Run with `make demo`.
"""

import bitloom


def field(name, encoding, bits, value=None, byte_order="big", reverse_bits=False):
    return {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": reverse_bits,
        "value": value,
    }


PRIMARY_HEADER = [
    field("version", "unsigned", 3, 0),
    field("type", "unsigned", 1, 0),  # 0: telemetry
    field("sec_header", "unsigned", 1, 1),
    field("apid", "unsigned", 11, 0x3A5),
    field("seq_flags", "unsigned", 2, 0b11),  # unsegmented
    field("seq_count", "unsigned", 14, 1234),
    field("data_length", "unsigned", 16),  # filled in by pack_housekeeping
]

DATA_FIELD = [
    field("time_hhmmss", "packed_bcd", 24, 134502),
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
    field("tag", "us_ascii", 64, "HK-NOM"),  # shorter text: zero bytes follow
]

HEADER_WORDS = [field("word0", "unsigned", 16), field("word1", "unsigned", 16), field("word2", "unsigned", 16)]


def pack_housekeeping():
    header = [dict(item) for item in PRIMARY_HEADER]
    data_bytes = sum(item["bits"] for item in DATA_FIELD) // 8
    header[-1]["value"] = data_bytes - 1  # the header counts data bytes minus one
    return bitloom.pack_parameters(header + DATA_FIELD)


def read_primary_header(packet):
    w = bitloom.unpack_parameters(packet, 0, HEADER_WORDS)
    return {
        "version": w["word0"] >> 13,
        "type": (w["word0"] >> 12) & 1,
        "sec_header": (w["word0"] >> 11) & 1,
        "apid": w["word0"] & 0x7FF,
        "seq_flags": w["word1"] >> 14,
        "seq_count": w["word1"] & 0x3FFF,
        "data_length": w["word2"],
    }


def main():
    packet = pack_housekeeping()
    print(f"packet ({len(packet)} bytes):")
    for start in range(0, len(packet), 16):
        print(f"  {start:04x}  {packet[start : start + 16].hex(' ')}")

    header = read_primary_header(packet)
    print("\nprimary header:", ", ".join(f"{k}={v:#x}" if k == "apid" else f"{k}={v}" for k, v in header.items()))
    assert header["data_length"] == len(packet) - 6 - 1

    # The data field starts at bit 48: the offset argument moves the whole
    # recipe, so the same DATA_FIELD recipe reads it back.
    values = bitloom.unpack_parameters(packet, 48, DATA_FIELD)
    width = max(map(len, values))
    print("\ndata field:")
    for item in DATA_FIELD:
        value = values[item["name"]]
        shown = value.rstrip("\x00") if isinstance(value, str) else value
        print(f"  {item['name']:<{width}}  {item['encoding']:<16} {shown!r}")
        assert shown == item["value"], (item["name"], shown)


if __name__ == "__main__":
    main()
