"""A telecommand: primary header, secondary header, command arguments and a
CRC-16 over everything before it, packed on the ground and checked and
decoded on board. Run with `make demo`.

The CRC is computed over the packed bytes, so the packet is packed twice:
once without the CRC field, once with its value.
"""

import binascii

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


def primary_header(apid, seq_count, data_length):
    return [
        field("version", "unsigned", 3, 0),
        field("type", "unsigned", 1, 1),  # 1: telecommand
        field("sec_header", "unsigned", 1, 1),
        field("apid", "unsigned", 11, apid),
        field("seq_flags", "unsigned", 2, 0b11),
        field("seq_count", "unsigned", 14, seq_count),
        field("data_length", "unsigned", 16, data_length),
    ]


# Secondary header and command arguments: whole bytes, so the same recipe
# reads them back exactly.
def command_body(service, subservice, heater, setpoint_cc, hold_s, gain):
    return [
        field("ack_flags", "unsigned", 8, 0b0000_1001),
        field("service", "unsigned", 8, service),
        field("subservice", "unsigned", 8, subservice),
        field("mnemonic", "us_ascii", 64, "HTR_SET"),
        field("heater", "unsigned", 8, heater),
        field("setpoint_cC", "twos_complement", 16, setpoint_cc),
        field("hold_s", "packed_bcd", 16, hold_s),
        field("gain", "ieee754_f32", 32, gain),
    ]


HEADER_BITS = 48
CRC_BITS = 16


def encode_command(seq_count, **arguments):
    body = command_body(**arguments)
    body_bytes = sum(item["bits"] for item in body) // 8
    header = primary_header(apid=0x1F3, seq_count=seq_count, data_length=body_bytes + CRC_BITS // 8 - 1)
    unprotected = bitloom.pack_parameters(header + body)
    crc = binascii.crc_hqx(unprotected, 0xFFFF)  # CRC-16/CCITT, initial value 0xFFFF
    return bitloom.pack_parameters(header + body + [field("crc", "unsigned", CRC_BITS, crc)])


def decode_command(packet):
    received_crc = bitloom.unpack_parameters(packet, 8 * len(packet) - CRC_BITS, [field("crc", "unsigned", CRC_BITS)])
    if binascii.crc_hqx(packet[:-2], 0xFFFF) != received_crc["crc"]:
        raise ValueError("telecommand rejected: CRC mismatch")
    # The body recipe is used as it is, moved behind the primary header by
    # the offset argument; its values are ignored when unpacking.
    body_layout = command_body(service=0, subservice=0, heater=0, setpoint_cc=0, hold_s=0, gain=0.0)
    return bitloom.unpack_parameters(packet, HEADER_BITS, body_layout)


def main():
    packet = encode_command(seq_count=77, service=8, subservice=1, heater=2, setpoint_cc=-1550, hold_s=900, gain=0.75)
    print(f"telecommand ({len(packet)} bytes): {packet.hex(' ')}")

    command = decode_command(packet)
    command["mnemonic"] = command["mnemonic"].rstrip("\x00")
    print("decoded on board:", command)
    assert command["setpoint_cC"] == -1550 and command["hold_s"] == 900 and command["gain"] == 0.75

    corrupted = bytearray(packet)
    corrupted[12] ^= 0x04  # one bit flipped on the way up
    try:
        decode_command(bytes(corrupted))
    except ValueError as error:
        print("corrupted copy:", error)


if __name__ == "__main__":
    main()
