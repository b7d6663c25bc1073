"""Every packet of the two missions' files, against space_packet_parser's raw
values: JPSS decoded through its CSV definition, CTIM's primary headers and
per-APID and per-type counts."""

import collections
import os
import warnings

import pytest

np = pytest.importorskip("numpy")
spp = pytest.importorskip("space_packet_parser")

import bitloom_io  # noqa: E402
from bitloom_io import ccsds  # noqa: E402

DATA = os.path.join(os.path.dirname(__file__), "data", "realdata")
JPSS = os.path.join(DATA, "jpss", "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1")
JPSS_CSV = os.path.join(DATA, "jpss", "ccsdspy_jpss1_geolocation.csv")
JPSS_XTCE = os.path.join(DATA, "jpss", "jpss1_geolocation_xtce_v1.xml")
CTIM = os.path.join(DATA, "ctim", "ccsds_2021_155_14_39_51")

# space_packet_parser's header names and ours.
SPP_HEADER = {
    "VERSION": "CCSDS_VERSION_NUMBER",
    "TYPE": "CCSDS_PACKET_TYPE",
    "SEC_HDR_FLG": "CCSDS_SECONDARY_FLAG",
    "PKT_APID": "CCSDS_APID",
    "SEQ_FLGS": "CCSDS_SEQUENCE_FLAG",
    "SRC_SEQ_CTR": "CCSDS_SEQUENCE_COUNT",
    "PKT_LEN": "CCSDS_PACKET_LENGTH",
}
GENERATOR_HEADER = {
    "version_number": "version",
    "type": "type",
    "secondary_header_flag": "secondary_flag",
    "apid": "apid",
    "sequence_flags": "sequence_flags",
    "sequence_count": "sequence_count",
    "data_length": "data_length",
}


def reference_packets(path):
    with open(path, "rb") as f, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return list(spp.ccsds_generator(f))


def test_jpss_every_field_of_every_packet():
    tables = bitloom_io.decode(JPSS, bitloom_io.load_layouts(JPSS_CSV))
    assert list(tables) == ["apid11"]
    table = tables["apid11"]
    assert tables.summary.ok and tables.summary.lost_bytes == 0
    definition = spp.load_xtce(JPSS_XTCE)
    reference = [definition.parse_bytes(p) for p in reference_packets(JPSS)]
    assert len(table) == len(reference) == 7200
    names = [n for n in reference[0] if n not in SPP_HEADER]
    assert sorted(names) == sorted(c for c in table.columns if not c.startswith("CCSDS_"))
    expected_columns = {SPP_HEADER.get(n, n): [r[n].raw_value for r in reference] for n in reference[0]}
    for name, values in expected_columns.items():
        assert table[name].tolist() == values, name


def test_ctim_every_primary_header():
    reference = reference_packets(CTIM)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ccsds.SequenceWarning)
        packets = ccsds.split(CTIM)
    assert len(packets) == len(reference) == 1499
    assert not packets.summary.problems
    for ours, theirs in GENERATOR_HEADER.items():
        assert getattr(packets, theirs).tolist() == [getattr(p, ours) for p in reference], ours
    assert [bytes(packets.packet(i)) for i in range(len(packets))] == [bytes(p) for p in reference]
    assert packets.summary.apids == dict(sorted(collections.Counter(p.apid for p in reference).items()))
    types = collections.Counter((p.apid, p.type, p.secondary_header_flag, p.data_length) for p in reference)
    ours = collections.Counter(
        zip(packets.apid.tolist(), packets.type.tolist(), packets.secondary_flag.tolist(), packets.data_length.tolist())
    )
    assert ours == types


def test_ctim_decoded_headers_for_every_apid():
    # A layout reading only the first data byte covers every APID through "*".
    layout = bitloom_io.Layout(
        [
            {
                "name": "FIRST",
                "encoding": "unsigned",
                "bits": 8,
                "byte_order": "big",
                "reverse_bits": False,
                "offset_bits": 48,
            }
        ]
    )
    with pytest.warns(ccsds.SequenceWarning, match=r"APID 20: 4 gaps \(39 packets missing\)"):
        tables = bitloom_io.decode(CTIM, {"*": layout})
    reference = reference_packets(CTIM)
    by_apid = collections.defaultdict(list)
    for p in reference:
        by_apid[p.apid].append(p)
    assert sorted(tables) == sorted(f"apid{a}" for a in by_apid)
    for apid, packets in by_apid.items():
        t = tables[f"apid{apid}"]
        assert t["CCSDS_SEQUENCE_COUNT"].tolist() == [p.sequence_count for p in packets]
        assert t["CCSDS_PACKET_LENGTH"].tolist() == [p.data_length for p in packets]
        assert t["FIRST"].tolist() == [p.user_data[0] for p in packets]
    assert tables.summary.gaps == 4 and tables.summary.missing == 39  # APID 20 in this recording


# One damaged byte of the JPSS file (7,200 packets of 71 bytes):
# (packet, byte of its header, new value, packets found, problem kinds)
JPSS_DAMAGE = [
    (1000, 4, 0xD5, 7199, ["implausible_length"]),  # a 54,599-byte packet over the next 768
    (1000, 5, 0x00, 7200, ["junk"]),  # too short: a 7-byte packet, the rest of it not a packet
    (1000, 5, 0xFF, 7199, ["implausible_length"]),
    (10, 4, 0x01, 7199, ["implausible_length"]),
    (7198, 4, 0x01, 7199, ["overrun"]),  # the one before last runs past the end
    (1000, 0, 0x48, 7199, ["junk"]),  # version 2 among version 0
    (1000, 1, 0x0C, 7200, []),  # another APID, same length: a packet
]


@pytest.mark.parametrize("index, at, value, found, kinds", JPSS_DAMAGE)
def test_one_damaged_header_loses_one_packet(index, at, value, found, kinds):
    data = bytearray(open(JPSS, "rb").read())
    data[index * 71 + at] = value
    packets = ccsds.split(bytes(data), warn=False)
    assert len(packets) == found
    assert [p.kind for p in packets.summary.problems] == kinds
    intact = set(range(0, len(data), 71)) - {index * 71}
    assert intact <= set(packets.offsets.tolist())
    assert int(packets.lengths.sum()) + packets.summary.lost_bytes == len(data)


# Pieces equal the whole: damaged real streams cut into pieces of any size,
# decoded as the command line's progress path and as Dask partitions do.
hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies

STREAMS = {"jpss": open(JPSS, "rb").read(), "ctim": open(CTIM, "rb").read()}
FIRST_BYTE = bitloom_io.Layout(
    [
        {
            "name": "FIRST",
            "encoding": "unsigned",
            "bits": 16,
            "byte_order": "big",
            "reverse_bits": False,
            "offset_bits": 48,
        }
    ]
)


@st.composite
def damaged_streams(draw):
    data = bytearray(STREAMS[draw(st.sampled_from(sorted(STREAMS)))])
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data) - 1))
        kind = draw(st.sampled_from(["byte", "insert", "delete"]))
        if kind == "byte":
            data[at] = draw(st.integers(0, 255))
        elif kind == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=40))
        else:
            del data[at : at + draw(st.integers(1, 200))]
    return bytes(data)


def decoded(tables):
    return {name: {col: np.asarray(v).tolist() for col, v in t.columns.items()} for name, t in tables.items()}


def _odd_first_version():
    # A first record of version 1 is taken only because every record after
    # it chains by length to the file's end: pieces read without mapping
    # must see that end too.
    data = bytearray(open(CTIM, "rb").read())
    data[0] |= 0x20
    return bytes(data)


@hypothesis.settings(max_examples=25, deadline=None)
@hypothesis.given(stream=damaged_streams(), piece=st.integers(71, 400_000))
@hypothesis.example(stream=_odd_first_version(), piece=71)
def test_pieces_equal_the_whole_on_damaged_files(tmp_path_factory, stream, piece):
    from bitloom_io import _chunks

    path = tmp_path_factory.mktemp("pieces") / "damaged.bin"
    path.write_bytes(stream)
    from bitloom_io._decode import decode_in_steps

    layouts = {"*": FIRST_BYTE}
    stream_warnings = (bitloom_io.StreamWarning, bitloom_io.SequenceWarning)
    with warnings.catch_warnings(record=True) as caught_whole:
        warnings.simplefilter("always")
        whole = bitloom_io.decode(path, layouts)
    with warnings.catch_warnings(record=True) as caught_pieces:
        warnings.simplefilter("always")
        pieces = _chunks.decode_in_pieces(path, lambda s, **k: bitloom_io.decode(s, layouts, **k), chunk_bytes=piece)
    assert decoded(pieces) == decoded(whole)
    assert str(pieces.summary) == str(whole.summary)
    messages = [
        [str(w.message) for w in c if issubclass(w.category, stream_warnings)] for c in (caught_whole, caught_pieces)
    ]
    assert messages[0] == messages[1]
    # The command line's steps, with and without mapping the file, from a
    # whole split and from one taken in steps (what large files take).
    from bitloom_io import _decode, _sources

    for map_, counted_bytes in [(True, _decode.COUNTED_BYTES), (False, _decode.COUNTED_BYTES), (True, 0)]:
        saved, _decode.COUNTED_BYTES = _decode.COUNTED_BYTES, counted_bytes
        try:
            steps = decode_in_steps(path, layouts, step_bytes=piece, map=map_)
        finally:
            _decode.COUNTED_BYTES = saved
        assert decoded(steps) == decoded(whole)
        assert str(steps.report) == str(whole.report)
    # What large files take: a first pass counting, then steps decoded into
    # columns made once.
    buffer, mapped, name = _sources.open_source(path)
    counted = _decode.decode_counted(buffer, mapped, name, ccsds.ScanOptions.of(), _decode.plan(layouts), "skip", piece)
    assert decoded(counted) == decoded(whole)
    assert str(counted.summary) == str(whole.summary) and str(counted.report) == str(whole.report)
    # Dask's partitions: each byte range split on its own, from the state
    # the whole-file split had at its start.
    for map_ in (True, False):
        offsets = []
        for part in _chunks.plan_pieces(path, piece, map=map_):
            buffer = _chunks.open_piece(part, map=map_)
            offsets += _chunks.split_piece(part, buffer).offsets.tolist()
        assert offsets == ccsds.split(stream, warn=False).offsets.tolist()


@pytest.mark.parametrize("change", ["junk inserted", "same size, touched", "truncated"])
def test_a_file_changed_after_planning_is_refused(tmp_path, change):
    from bitloom_io import _chunks

    path = tmp_path / "jpss.bin"
    path.write_bytes(STREAMS["jpss"])
    parts = _chunks.plan_pieces(path, 100_000)
    data = STREAMS["jpss"]
    if change == "junk inserted":
        path.write_bytes(data[:1000] + b"\xff" * 50 + data[1000:])
    elif change == "same size, touched":
        os.utime(path, ns=(parts[0].mtime_ns + 10**9, parts[0].mtime_ns + 10**9))
    else:
        os.truncate(path, 1000)
    for part in parts:
        with pytest.raises(OSError, match=f"{path.name} changed after it was planned"):
            _chunks.open_piece(part)
