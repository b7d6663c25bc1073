"""XTCE definitions: loading them and decoding whole files from them.

- CTIM (1,499 packets of 38 packet types): split + decode into tables from
  the XTCE definition, against space_packet_parser (its ccsds_generator plus
  parsing every packet with the same definition), best of several runs each,
  in one process; the first decode (which compiles the layouts) is reported
  on its own;
- the same for JPSS (7,200 packets, one packet type, calibrated columns);
- load time of the 1.7 MB CTIM definition against space_packet_parser's, and
  of every other shared definition (the IMAP instruments', a flight-software
  framework's dictionary, a toolkit's examples, a tutorial's samples).

Run with `make bench`; writes bench/results-xtce.json.
"""

from __future__ import annotations

import glob
import json
import os
import sys
import time
import warnings

from bitloom_io import xtce

HERE = os.path.dirname(os.path.abspath(__file__))
REAL = os.path.join(HERE, "..", "tests", "data", "realdata")
CASES = {
    "CTIM": (os.path.join(REAL, "ctim", "ctim_xtce_v1.xml"), os.path.join(REAL, "ctim", "ccsds_2021_155_14_39_51")),
    "JPSS": (
        os.path.join(REAL, "jpss", "jpss1_geolocation_xtce_v1.xml"),
        os.path.join(REAL, "jpss", "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
    ),
}
ROWS: list[dict] = []


def best(fn, rounds: int, min_time: float = 0.0) -> float:
    """Best wall time of `rounds` calls (more while under `min_time` s)."""
    times = []
    start = time.perf_counter()
    while len(times) < rounds or time.perf_counter() - start < min_time:
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def row(case, value, unit, target=None, met=None, note=""):
    ROWS.append({"case": case, "value": value, "unit": unit, "target": target, "met": met, "note": note})
    flag = "" if met is None else ("  ok" if met else "  MISSED")
    tgt = f"  (target {target})" if target else ""
    extra = f"  [{note}]" if note else ""
    print(f"{case:<58} {value:>12.4g} {unit}{tgt}{flag}{extra}", flush=True)


def quiet(fn):
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn()

    return run


def decode_case(name: str, spp) -> None:
    definition_path, data_path = CASES[name]
    definition = xtce.load(definition_path)
    start = time.perf_counter()
    tables = quiet(lambda: definition.decode(data_path))()
    first = time.perf_counter() - start
    packets = sum(len(t) for t in tables.values())
    row(f"{name} first decode, layouts compiled (ms)", first * 1e3, "ms", note=f"{len(tables)} packet types")
    ours = best(quiet(lambda: definition.decode(data_path)), 10, 1.0)
    row(
        f"{name} split + decode from XTCE, bitloom_io (ms)",
        ours * 1e3,
        "ms",
        note=f"{ours / packets * 1e9:.0f} ns per packet",
    )
    if spp is None:
        return
    reference = spp.load_xtce(definition_path)
    data = open(data_path, "rb").read()

    def spp_run():
        return [reference.parse_bytes(p, root_container_name=definition.root) for p in spp.ccsds_generator(data)]

    base = best(quiet(spp_run), 2)
    row(f"{name}, space_packet_parser (ms)", base * 1e3, "ms", note=f"{base / packets * 1e6:.1f} us per packet")
    ratio = base / ours
    target = ">= 50" if name == "CTIM" else None
    row(f"{name} speed-up over space_packet_parser", ratio, "x", target, ratio >= 50 if target else None)


def load_case(spp) -> None:
    """Load time of CTIM's definition, then of every other shared definition,
    each beside space_packet_parser's (where it reads the file)."""
    definition_path = CASES["CTIM"][0]
    ours = best(quiet(lambda: xtce.load(definition_path)), 7)
    row("CTIM definition load, bitloom_io.xtce (ms)", ours * 1e3, "ms")
    if spp is None:
        return
    base = best(quiet(lambda: spp.load_xtce(definition_path)), 7)
    row("CTIM definition load, space_packet_parser (ms)", base * 1e3, "ms")
    ratio = ours / base
    row("CTIM load time / space_packet_parser's", ratio, "x", "<= 0.5", ratio <= 0.5)
    shared = sorted(
        glob.glob(os.path.join(HERE, "..", "tests", "data", "xtce", "shared", "**", "*.xml"), recursive=True)
    )
    shared.append(CASES["JPSS"][0])
    for path in shared:
        name = os.path.basename(path)
        ours = best(quiet(lambda p=path: xtce.load(p)), 7, 0.2)
        try:
            quiet(lambda p=path: spp.load_xtce(p))()
        except Exception:  # noqa: BLE001 - a file the peer does not read: ours alone
            row(f"{name} load (ms; space_packet_parser does not read it)", ours * 1e3, "ms")
            continue
        base = best(quiet(lambda p=path: spp.load_xtce(p)), 7, 0.2)
        ratio = ours / base
        row(
            f"{name} load, {ours * 1e3:.2f} ms / space_packet_parser's {base * 1e3:.2f} ms",
            ratio,
            "x",
            "<= 1",
            ratio <= 1,
        )


def array_case() -> None:
    """100,000 packets of 100 16-bit values: as 100 scalar parameters, as one
    fixed array, and as a repeat whose count a field gives (a ragged column);
    the last also with 12-bit values."""
    import tempfile

    import numpy as np

    count, size = 100_000, 100
    u16 = (
        '<IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>'
        '<IntegerParameterType name="U12"><IntegerDataEncoding sizeInBits="12"/></IntegerParameterType>'
    )
    array = (
        '<ArrayParameterType name="A" arrayTypeRef="U16"><DimensionList><Dimension><StartingIndex><FixedValue>0'
        f"</FixedValue></StartingIndex><EndingIndex><FixedValue>{size - 1}</FixedValue></EndingIndex></Dimension>"
        "</DimensionList></ArrayParameterType>"
    )
    forms = {
        "scalars": (
            "".join(f'<Parameter name="S{k}" parameterTypeRef="U16"/>' for k in range(size)),
            "".join(f'<ParameterRefEntry parameterRef="S{k}"/>' for k in range(size)),
        ),
        "fixed array": ('<Parameter name="V" parameterTypeRef="A"/>', '<ParameterRefEntry parameterRef="V"/>'),
        "array sized by a field": (
            '<Parameter name="V" parameterTypeRef="U16"/>',
            '<ParameterRefEntry parameterRef="V"><RepeatEntry><Count><DynamicValue><ParameterInstanceRef '
            'parameterRef="N" useCalibratedValue="false"/></DynamicValue></Count></RepeatEntry></ParameterRefEntry>',
        ),
        # Values not on whole bytes are read one column per repeat and then
        # interleaved, not copied from the packets: reported, no target.
        "array sized by a field, 12-bit values": (
            '<Parameter name="V" parameterTypeRef="U12"/>',
            '<ParameterRefEntry parameterRef="V"><RepeatEntry><Count><DynamicValue><ParameterInstanceRef '
            'parameterRef="N" useCalibratedValue="false"/></DynamicValue></Count></RepeatEntry></ParameterRefEntry>',
        ),
    }
    packet = size.to_bytes(2, "big") + bytes(range(2 * size))
    buffer = packet * count
    lengths = np.full(count, len(packet), dtype=np.int64)
    offsets = np.arange(count, dtype=np.int64) * len(packet)
    per_element = {}
    with tempfile.TemporaryDirectory() as folder:
        for form, (parameters, entries) in forms.items():
            path = os.path.join(folder, "arrays.xml")
            with open(path, "w") as f:
                f.write(
                    '<SpaceSystem name="B"><TelemetryMetaData><ParameterTypeSet>'
                    + u16
                    + array
                    + '</ParameterTypeSet><ParameterSet><Parameter name="N" parameterTypeRef="U16"/>'
                    + parameters
                    + '</ParameterSet><ContainerSet><SequenceContainer name="C"><EntryList>'
                    + '<ParameterRefEntry parameterRef="N"/>'
                    + entries
                    + "</EntryList></SequenceContainer></ContainerSet></TelemetryMetaData></SpaceSystem>"
                )
            definition = xtce.load(path, strict=True)
            run = quiet(lambda d=definition: d.decode_packets(buffer, offsets, lengths))
            run()
            per_element[form] = best(run, 3) / (count * size) * 1e9
            row(f"{form}: 100,000 packets x 100 values (ns per element)", per_element[form], "ns")
    for form in ("fixed array", "array sized by a field"):
        ratio = per_element[form] / per_element["scalars"]
        row(f"{form} / scalar fields, per element", ratio, "x", target="<= 2", met=ratio <= 2)
    form = "array sized by a field, 12-bit values"
    row(f"{form} / scalar fields, per element", per_element[form] / per_element["scalars"], "x")


def main() -> int:
    try:
        import space_packet_parser as spp
    except ImportError:
        print("space_packet_parser is not installed: baselines skipped")
        spp = None
    load_case(spp)
    array_case()
    for name in CASES:
        decode_case(name, spp)
    with open(os.path.join(HERE, "results-xtce.json"), "w") as f:
        json.dump(ROWS, f, indent=1)
    missed = [r["case"] for r in ROWS if r["met"] is False]
    if missed:
        print("missed:", ", ".join(missed))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
