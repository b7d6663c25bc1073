"""Both missions' XTCE definitions against space_packet_parser: every raw
value of every packet, the packet types, and the engineering values."""

from __future__ import annotations

import math
import warnings
from pathlib import Path

import numpy as np
import pytest

import bitloom_io

xtce = pytest.importorskip("bitloom_io.xtce")
spp = pytest.importorskip("space_packet_parser")

REAL = Path(__file__).parent / "data" / "realdata"
MISSIONS = {
    "jpss": (
        REAL / "jpss" / "jpss1_geolocation_xtce_v1.xml",
        REAL / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1",
    ),
    "jpss-inheritance": (
        REAL / "jpss" / "contrived_inheritance_structure.xml",
        REAL / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1",
    ),
    "ctim": (REAL / "ctim" / "ctim_xtce_v1.xml", REAL / "ctim" / "ccsds_2021_155_14_39_51"),
}
PACKETS = {"jpss": 7200, "jpss-inheritance": 7200, "ctim": 1499}


@pytest.fixture(scope="module", params=sorted(MISSIONS))
def mission(request):
    definition_path, data_path = MISSIONS[request.param]
    definition = xtce.load(definition_path)
    with warnings.catch_warnings():
        # CTIM's APID 20 has gaps in its sequence counts.
        warnings.simplefilter("ignore", bitloom_io.ccsds.SequenceWarning)
        tables = definition.decode(data_path)
    reference = spp.load_xtce(definition_path)
    with warnings.catch_warnings():
        # The reference warns for every packet longer than its layout.
        warnings.simplefilter("ignore")
        expected = [
            reference.parse_bytes(bytes(raw), root_container_name=definition.root)
            for raw in spp.ccsds_generator(data_path.read_bytes())
        ]
    return request.param, definition, tables, expected


def test_every_packet_has_a_type(mission):
    name, definition, tables, expected = mission
    assert len(expected) == PACKETS[name]
    placed = np.sort(np.concatenate([tables.packet_index[t] for t in tables]))
    assert placed.tolist() == list(range(len(expected)))
    assert len(tables.unidentified) == 0 and len(tables.ambiguous) == 0


def test_raw_values_and_types_equal_the_reference(mission):
    name, definition, tables, expected = mission
    for type_name, table in tables.items():
        # A parameter that occurs twice (spares) is one key for the
        # reference, holding the last occurrence; ours has a column each.
        last = {entry.parameter.name: entry.name for entry in definition.fields(type_name)}
        fields = list(last)
        for row, packet_number in enumerate(tables.packet_index[type_name].tolist()):
            reference = expected[packet_number]
            # The same parameters in the same order: the same packet type.
            assert list(reference) == fields, (type_name, packet_number)
            for parameter in fields:
                column = last[parameter]
                ours = table[column][row]
                theirs = reference[parameter].raw_value
                if isinstance(theirs, bytes) and isinstance(ours, str):
                    theirs = str(reference[parameter])
                if isinstance(theirs, float) and math.isnan(theirs):
                    assert math.isnan(ours), (type_name, packet_number, column)
                else:
                    assert ours == theirs, (type_name, packet_number, column, ours, theirs)


def test_engineering_values_equal_the_reference(mission):
    name, definition, tables, expected = mission
    checked = 0
    for type_name, table in tables.items():
        for entry in definition.fields(type_name):
            column = entry.name + xtce.ENGINEERING_SUFFIX
            if column not in table.columns:
                continue
            ours = table[column]
            theirs = [expected[i][entry.name] for i in tables.packet_index[type_name].tolist()]
            if ours.dtype.kind in "fc":
                np.testing.assert_allclose(ours, np.array(theirs, dtype=np.float64), rtol=1e-9, atol=0)
            else:
                assert ours.tolist() == [type(o)(t) for o, t in zip(ours.tolist(), theirs)]
            checked += 1
    if name.startswith("jpss"):
        assert checked == 3  # DOY, MSEC, USEC: float types over integer encodings


# IMAP instruments' definitions and the packets recorded with them (copies
# of the shared real files, with their licence).
IMAP = Path(__file__).parent / "data" / "xtce" / "shared" / "imap"
IMAP_PAIRS = [
    *[("codice_packet_definition.xml", p.name) for p in sorted((IMAP / "data").glob("imap_codice_*"))],
    ("hit_packet_definitions.xml", "imap_hit_l0_hk_20100105_v001.pkts"),
    ("hit_packet_definitions.xml", "sci_sample.ccsds"),
    ("hit_packet_definitions.xml", "PREFLIGHT_raw_record_2023_256_15_59_04_apid1251.pkts"),
    ("hit_packet_definitions.xml", "PREFLIGHT_raw_record_2023_256_15_59_04_apid1252.pkts"),
    ("ialirt_hit.xml", "hit_ialirt_sample.ccsds"),
    ("idex_packet_definition.xml", "imap_idex_l0_raw_20230725_v001.pkts"),
    ("swapi_packet_definition.xml", "imap_swapi_l0_raw_20240924_v001.pkts"),
]


def _same(ours, theirs) -> bool:
    if isinstance(theirs, float) and math.isnan(theirs):
        return math.isnan(ours)
    return bool(ours == theirs)


@pytest.mark.parametrize(("definition_name", "packets_name"), IMAP_PAIRS, ids=[p for _, p in IMAP_PAIRS])
def test_imap_packets_equal_the_reference_value_for_value(definition_name, packets_name):
    path = IMAP / definition_name
    definition = xtce.load(path)
    reference = spp.load_xtce(path)
    data = (IMAP / "data" / packets_name).read_bytes()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tables = definition.decode(data)
        packets = [bytes(raw) for raw in spp.ccsds_generator(data)]
    expected, unplaced, short = {}, [], []
    for number, raw in enumerate(packets):
        try:
            expected[number] = reference.parse_bytes(raw, root_container_name=definition.root)
        except spp.exceptions.UnrecognizedPacketTypeError:
            unplaced.append(number)
        except ValueError:  # the packet ends before its container's fields
            short.append(number)
    # The packets the reference cannot place are the ones no container takes
    # here; those it cannot read are reported as failed.
    assert unplaced == tables.unidentified.tolist()
    failed = np.concatenate([np.zeros(0, np.int64), *tables.failed.values()])
    assert sorted(failed.tolist()) == short
    checked = 0
    for type_name, table in tables.items():
        last = {entry.parameter.name: entry.name for entry in definition.fields(type_name)}
        for row, number in enumerate(tables.packet_index[type_name].tolist()):
            theirs = expected.pop(number)
            assert list(theirs) == list(last), (type_name, number)
            for parameter, column in last.items():
                value = theirs[parameter]
                raw = (
                    str(value)
                    if isinstance(value.raw_value, bytes) and table[column].dtype.kind == "T"
                    else value.raw_value
                )
                assert _same(table[column][row], raw), (type_name, number, column)
                engineering = column + xtce.ENGINEERING_SUFFIX
                if engineering in table.columns:
                    ours = table[engineering][row]
                    if isinstance(ours, (float, np.floating)):
                        assert ours == pytest.approx(float(value), rel=1e-9, nan_ok=True), (
                            type_name,
                            number,
                            engineering,
                        )
                    else:
                        assert str(ours) == str(value), (type_name, number, engineering)
                checked += 1
    assert not expected  # every packet the reference reads is in a table
    assert checked or len(packets) == len(unplaced) + len(short)
