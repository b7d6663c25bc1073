"""Synthetic packets: decoding them gives back the values chosen, on real
mission definitions; the stream is whole, its counts run; the same seed
gives the same packets; wrong calls are refused."""

import glob
import os
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("defusedxml")

from hypothesis import given, settings, strategies as st  # noqa: E402

import bitloom_io  # noqa: E402
from bitloom_io import ccsds, xtce  # noqa: E402
from bitloom_io.cli import main  # noqa: E402

HERE = os.path.dirname(__file__)
CTIM = os.path.join(HERE, "data", "realdata", "ctim", "ctim_xtce_v1.xml")
IMAP = os.path.join(HERE, "..", "..", "shared", "xtce", "imap")
# The flight-software dictionary's telemetry: aggregates in its header, packet types chosen by a member's path.
FPRIME = os.path.join(HERE, "data", "xtce", "fprime", "SimpleTestDictionary.ref.xml")
DEFINITIONS = [CTIM, FPRIME, *sorted(glob.glob(os.path.join(IMAP, "*.xml")))]

_loaded: dict[str, object] = {}


def load(path):
    if path not in _loaded:
        try:
            _loaded[path] = xtce.load(path)
        except (xtce.XtceError, NotImplementedError) as error:
            _loaded[path] = error
    found = _loaded[path]
    if isinstance(found, Exception):
        pytest.skip(f"the decoder does not read {os.path.basename(path)}: {found}")
    return found


def decoded(definition, packets):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no stream problem, gap or unidentified packet
        return definition.decode(packets)


def assert_reproduced(definition, simulation):
    tables = decoded(definition, simulation.packets)
    assert {name for name, table in tables.items() if len(table)} == set(simulation.values)
    for name, columns in simulation.values.items():
        for column, values in columns.items():
            assert tables[name][column].tolist() == values.tolist(), (name, column)


@pytest.mark.parametrize("path", DEFINITIONS, ids=os.path.basename)
def test_decoding_gives_back_the_values_chosen(path):
    definition = load(path)
    simulation = definition.simulate(400, seed=7)
    assert_reproduced(definition, simulation)
    stream = ccsds.split(simulation.packets, warn=False)
    assert len(stream.offsets) == 400
    assert stream.summary.problems == ()
    # Counts run from 0 per APID, in stream order.
    apids = [int.from_bytes(simulation.packets[o : o + 2], "big") & 0x7FF for o in stream.offsets.tolist()]
    counts = [int.from_bytes(simulation.packets[o + 2 : o + 4], "big") & 0x3FFF for o in stream.offsets.tolist()]
    for apid in set(apids):
        assert [c for a, c in zip(apids, counts) if a == apid] == list(range(apids.count(apid)))
    # The same through bitloom_io.decode, where the packet types are routed by APID alone.
    try:
        routes = definition.apid_layouts()
    except xtce.XtceError:
        return
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tables = bitloom_io.decode(simulation.packets, routes)
    for name, columns in simulation.values.items():
        apid = next(f.name for f in definition.layout(name).fields if (f.start_bit, f.bits) == (5, 11))
        # A packet type alone on its APID is named by it; one chosen by a further field, by its own name.
        table = tables[name] if name in tables else tables[f"apid{int(columns[apid][0])}"]
        for column, values in columns.items():
            assert table[column].tolist() == values.tolist(), (name, column)


@settings(max_examples=10, deadline=None)
@given(n=st.integers(0, 60), seed=st.integers(0, 2**32))
def test_any_seed_and_count(n, seed):
    definition = load(CTIM)
    simulation = definition.simulate(n, seed=seed)
    assert sum(len(next(iter(c.values()))) for c in simulation.values.values()) == n
    if n:
        assert_reproduced(definition, simulation)
    else:
        assert simulation.packets == b""


def test_the_same_seed_gives_the_same_packets():
    definition = load(CTIM)
    first, second = definition.simulate(50, seed=3), definition.simulate(50, seed=3)
    assert first.packets == second.packets
    assert definition.simulate(50, seed=4).packets != first.packets


def test_only_the_containers_named():
    definition = load(CTIM)
    simulation = definition.simulate(30, seed=1, containers=["APID_1_Packet", "APID_45_Packet"])
    assert set(simulation.values) <= {"APID_1_Packet", "APID_45_Packet"}
    assert_reproduced(definition, simulation)


@pytest.mark.parametrize(
    "n, options, message",
    [
        (-1, {}, "n is a number of packets (0 or more), not -1"),
        (1.5, {}, "n is a number of packets (0 or more), not 1.5"),
        (True, {}, "n is a number of packets (0 or more), not True"),
        (3, {"containers": ["CCSDSTelemetryPacket"]}, "'CCSDSTelemetryPacket' is not a packet type of"),
        (3, {"containers": ["nothing"]}, "'nothing' is not a packet type of"),
    ],
)
def test_wrong_calls(n, options, message):
    with pytest.raises(ValueError) as caught:
        load(CTIM).simulate(n, **options)
    assert message in str(caught.value)


def test_command_line(tmp_path, capsys):
    out = tmp_path / "sim.bin"
    assert (
        main(["simulate", CTIM, "--count", "20", "--seed", "5", "--out", str(out), "--container", "APID_1_Packet"]) == 0
    )
    assert "APID_1_Packet: 20 packets" in capsys.readouterr().out
    assert out.read_bytes() == load(CTIM).simulate(20, seed=5, containers=["APID_1_Packet"]).packets
    assert main(["simulate", CTIM, "--count", "2", "--out", str(out), "--container", "nothing"]) == 1
    assert "'nothing' is not a packet type" in capsys.readouterr().err
