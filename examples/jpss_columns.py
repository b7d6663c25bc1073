"""Decode a file of real CCSDS packets into numpy columns.

The file holds 7,200 attitude and ephemeris packets of JPSS-1 (71 bytes
each); their layout after the primary header is the CSV definition beside
it, read with `bitloom_io.read_ccsdspy_csv`. The primary header's sub-byte
fields are read at their exact bits with `exact=True`; every packet of the file has the same length, so the whole
file is decoded in one call with a stride.
"""

from pathlib import Path

import numpy as np

from bitloom_io import Layout, read_ccsdspy_csv

DATA = Path(__file__).resolve().parent.parent / "tests" / "data" / "realdata" / "jpss"
PACKETS = DATA / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
DEFINITION = DATA / "ccsdspy_jpss1_geolocation.csv"


def field(name, encoding, bits):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}


PRIMARY_HEADER = [
    field("CCSDS_VERSION_NUMBER", "unsigned", 3),
    field("CCSDS_PACKET_TYPE", "unsigned", 1),
    field("CCSDS_SECONDARY_FLAG", "unsigned", 1),
    field("CCSDS_APID", "unsigned", 11),
    field("CCSDS_SEQUENCE_FLAG", "unsigned", 2),
    field("CCSDS_SEQUENCE_COUNT", "unsigned", 14),
    field("CCSDS_PACKET_LENGTH", "unsigned", 16),
]


def recipe_from_csv(path):
    """The primary header, then one field per CSV row (name, data_type,
    bit_length), placed after it."""
    return PRIMARY_HEADER + read_ccsdspy_csv(path)


def main():
    layout = Layout(recipe_from_csv(DEFINITION), exact=True)
    data = PACKETS.read_bytes()
    last = layout.fields[-1]
    stride = (last.start_bit + last.bits) // 8
    columns = layout.unpack_many(data, stride=stride)
    count = len(columns["CCSDS_APID"])
    print(f"{PACKETS.name}: {len(data):,} bytes, {count:,} packets of {stride} bytes, {len(columns)} columns")
    assert len(data) == count * stride and columns.failures == 0
    assert (columns["CCSDS_PACKET_LENGTH"] == stride - 7).all()
    print(
        "APIDs:",
        np.unique(columns["CCSDS_APID"]).tolist(),
        " sequence counts:",
        columns["CCSDS_SEQUENCE_COUNT"][:3].tolist(),
        "...",
    )
    print("dtypes:", ", ".join(f"{name}={col.dtype}" for name, col in list(columns.items())[7:14]), "...")

    shown = ["CCSDS_SEQUENCE_COUNT", "DOY", "MSEC", "ADGPSPOSX", "ADGPSPOSY", "ADGPSPOSZ", "ADCFAQ1", "ADCFAQ4"]
    print(" ".join(f"{name:>20}" for name in shown))
    for i in (0, 1, 2, count // 2, count - 1):
        print(" ".join(f"{columns[name][i]:>20.10g}" for name in shown))
    radius = np.sqrt(
        columns["ADGPSPOSX"].astype(np.float64) ** 2 + columns["ADGPSPOSY"] ** 2 + columns["ADGPSPOSZ"] ** 2
    )
    quaternion = np.sqrt(sum(columns[f"ADCFAQ{i}"].astype(np.float64) ** 2 for i in range(1, 5)))
    print(
        f"orbit radius {radius.min() / 1e3:.1f} to {radius.max() / 1e3:.1f} km; "
        f"attitude quaternion norm {quaternion.min():.6f} to {quaternion.max():.6f}"
    )


if __name__ == "__main__":
    main()
