"""Telecommands from XTCE: the listing, packets built bit for bit, every
wrong call refused with the command and the argument named, and every
command of the test and shared definitions read back as it was built."""

import io
import math
import os
import subprocess
import sys
import warnings

import pytest

pytest.importorskip("numpy")
pytest.importorskip("defusedxml")

from hypothesis import given, settings, strategies as st  # noqa: E402

from bitloom_io import xtce  # noqa: E402
from bitloom_io.cli import main  # noqa: E402

HERE = os.path.dirname(__file__)
DEF = os.path.join(HERE, "data", "xtce", "commands.xml")
SHARED = os.path.join(HERE, "data", "xtce")
FPRIME = os.path.join(SHARED, "fprime", "SimpleTestDictionary.ref.xml")
DEMO = os.path.join(SHARED, "workshop", "demo-mission-1.2.xml")


@pytest.fixture(scope="module")
def definition():
    return xtce.load(DEF)


@pytest.fixture
def fresh():
    """A definition of its own: the sequence counts of the commands it
    builds start from 0."""
    return xtce.load(DEF)


def by_name(definition):
    return {c.name: c for c in definition.commands()}


@pytest.mark.parametrize(
    "command, argument, attribute, expected",
    [
        ("SET_HEATER", "zone", "type", "integer"),
        ("SET_HEATER", "zone", "range", (1, 8)),
        ("SET_HEATER", "zone", "unit", "zone"),
        ("SET_HEATER", "zone", "description", "heater zone"),
        ("SET_HEATER", "state", "labels", ("OFF", "ON", "AUTO")),
        ("SET_HEATER", "state", "default", "OFF"),
        ("SET_HEATER", "setpoint", "range", (-40.0, 120.0)),
        ("SET_HEATER", "setpoint", "default", 20.5),
        ("SET_HEATER", "setpoint", "bits", 10),
        ("SET_HEATER", "count", "default", 0),
        ("CONFIGURE", "offset", "range", (-2048, 2047)),
        ("CONFIGURE", "gain", "range", (0.0, 10.0)),
        ("CONFIGURE", "rate", "range", None),
        ("CONFIGURE", "enable", "labels", ("Disabled", "Enabled")),
        ("CONFIGURE", "enable", "default", True),
        ("CONFIGURE", "label", "type", "string"),
        ("CONFIGURE", "label", "default", "none"),
        ("CONFIGURE", "key", "type", "binary"),
        ("CONFIGURE", "delay", "type", "time"),
        ("CONFIGURE", "delay", "range", (0.0, 32767.5)),
        ("SQUARE", "curve", "range", (0.0, 65025.0)),
        # a type that cannot be written is listed as far as it is known
        ("LEGACY", "value", "type", "float"),
        ("LEGACY", "value", "range", None),
        # a default its own type refuses is no default
        ("LEGACY", "small", "default", None),
        ("PAIR", "pair", "type", "unknown"),
    ],
)
def test_listing(definition, command, argument, attribute, expected):
    found = {a.name: a for a in by_name(definition)[command].arguments}
    assert getattr(found[argument], attribute) == expected


def test_listing_of_commands(definition):
    commands = by_name(definition)
    assert [n for n, c in commands.items() if c.abstract] == ["CCSDS_TC", "HEATER_BASE"]
    assert commands["SET_HEATER"].description == "Switch a heater zone"
    assert commands["CONFIGURE"].description == "Every argument type once."
    # Arguments that a base command's assignment fixes are not the caller's.
    assert [a.name for a in commands["SET_HEATER"].arguments] == ["count", "zone", "state", "setpoint"]


@pytest.mark.parametrize(
    "command, arguments, packet",
    [
        # header: TC, APID 0x64, unsegmented, count 0, length 2; opcode 1;
        # zone 3 (4 bits), ON (2 bits), (20.5 + 40) / 0.5 = 121 (10 bits)
        ("SET_HEATER", dict(zone=3, state="ON"), "1064c0000002013479"),
        ("SET_HEATER", dict(zone=8, state="AUTO", setpoint=-40, count=16383), "1064ffff0002018800"),
        ("SET_HEATER", dict(zone=1, state="on", setpoint=120.0), "1064c0000002011540"),
        # the fixed value placed from the container's start leaves a byte of zeros
        ("NOOP", {}, "1acf00ff"),
        # mode ON: zone left out; the trailer's 4 bits, then 6 bits skipped before GroundStation
        ("UPLOAD", dict(mode="ON", GroundStation=7), "1066c00000040368000070"),
        ("UPLOAD", dict(mode="AUTO", GroundStation=7, zone=2), "1066c0000004038a800007"),
        # n = 3: the fill byte twice (3 - 1); mode ON (raw 1 >= 1): level twice, 4 bits apart
        ("FILL", dict(n=3, mode="ON"), "37aaaa5a05a0"),
        # n = 1: no fill; mode OFF (raw 0): no level
        ("FILL", dict(n=1, mode="OFF"), "13"),
        ("FILL", dict(n=2, mode="AUTO", level=255), "2baaff0ff0"),
    ],
)
def test_packets(fresh, command, arguments, packet):
    built = fresh.command(command, **arguments)
    assert built.hex() == packet
    back = fresh.decode_command(built, command)
    assert back.name == command
    for key, value in arguments.items():
        expected = value.upper() if isinstance(value, str) else value
        assert back[key] == pytest.approx(expected), key


@pytest.mark.parametrize(
    "calls, counts",
    [
        # counted per APID (SET_HEATER 0x64, UPLOAD 0x66), across commands of one APID
        ([("SET_HEATER", {}), ("SET_HEATER", {}), ("UPLOAD", {}), ("SET_HEATER", {})], [0, 1, 0, 2]),
        # a count the caller gives is placed as given and leaves the running count alone
        ([("SET_HEATER", {}), ("SET_HEATER", {"count": 9}), ("SET_HEATER", {})], [0, 9, 1]),
        # a failed call counts nothing
        ([("SET_HEATER", {}), ("SET_HEATER", {"zone": 99}), ("SET_HEATER", {})], [0, None, 1]),
        # 14 bits: after 16383 comes 0
        ([("SET_HEATER", {})] * (2**14 + 1), [*range(2**14), 0]),
    ],
)
def test_sequence_counts_run_per_apid(fresh, calls, counts):
    arguments = {"SET_HEATER": dict(zone=3, state="ON"), "UPLOAD": dict(mode="ON", GroundStation=7)}
    got = []
    for command, extra in calls:
        try:
            packet = fresh.command(command, **{**arguments[command], **extra})
        except ValueError:
            got.append(None)
            continue
        assert packet[2] >> 6 == 3  # the flags stay as the container gives them
        got.append(int.from_bytes(packet[2:4], "big") & 0x3FFF)
    assert got == counts


CONFIGURE = dict(offset=-5, gain=2.5, rate=10.0, label="abc", key=b"1234", delay=10.5)


@pytest.mark.parametrize(
    "command, given, same_as",
    [
        ("SET_HEATER", dict(zone=3, state="on"), dict(zone=3, state="ON")),
        ("SET_HEATER", dict(zone=3, state=" Auto "), dict(zone=3, state="AUTO")),
        ("SET_HEATER", dict(zone=__import__("numpy").int64(3)), dict(zone=3)),
        ("SET_HEATER", dict(zone=3, setpoint=20), dict(zone=3, setpoint=20.5 - 0.5)),
        ("CONFIGURE", {**CONFIGURE, "key": "31323334"}, CONFIGURE),
        ("CONFIGURE", {**CONFIGURE, "key": bytearray(b"1234")}, CONFIGURE),
        ("CONFIGURE", {**CONFIGURE, "enable": "Enabled"}, CONFIGURE),
        ("CONFIGURE", {**CONFIGURE, "enable": "true"}, {**CONFIGURE, "enable": True}),
        ("CONFIGURE", {**CONFIGURE, "enable": "disabled"}, {**CONFIGURE, "enable": False}),
        ("CONFIGURE", {**CONFIGURE, "gain": __import__("numpy").float32(2.5)}, CONFIGURE),
        ("CONFIGURE", {**CONFIGURE, "delay": 21 / 2}, CONFIGURE),
    ],
)
def test_equivalent_values(command, given, same_as):
    assert xtce.load(DEF).command(command, **given) == xtce.load(DEF).command(command, **same_as)


def test_every_type_at_its_bits(fresh):
    definition = fresh
    packet = definition.command("CONFIGURE", **CONFIGURE)
    bits = bin(int.from_bytes(packet, "big"))[2:].zfill(8 * len(packet))
    fields = [bits[56:68], bits[68], bits[69:101], bits[101:109], bits[109:173], bits[173:205], bits[205:221]]
    assert [int(f, 2) for f in fields] == [
        0xFFB,  # -5 in 12 bits
        1,  # enable, by default
        0x40200000,  # 2.5 as a float32
        100,  # 10.0 on the spline: raw 100
        int.from_bytes(b"abc" + bytes(5), "big"),  # text padded with NULs
        int.from_bytes(b"1234", "big"),
        21,  # 10.5 s at 0.5 s a count
    ]
    assert len(packet) == 28 and packet[5] == 21  # 221 bits: 28 bytes, length 21
    assert definition.decode_command(packet) == {**CONFIGURE, "count": 0, "enable": True}


@pytest.mark.parametrize(
    "command, arguments, message",
    [
        ("SET_HEATER", dict(state="ON"), "command 'SET_HEATER', argument 'zone': missing"),
        (
            "SET_HEATER",
            dict(zone=3, mood=1),
            "command 'SET_HEATER', argument 'mood': unknown argument (the arguments are: count, zone, state, setpoint)",
        ),
        ("SET_HEATER", dict(zone=3, opcode=1), "command 'SET_HEATER', argument 'opcode': fixed by the command at '1'"),
        ("SET_HEATER", dict(zone="3"), "command 'SET_HEATER', argument 'zone': '3' is not an integer (str)"),
        ("SET_HEATER", dict(zone=3.0), "command 'SET_HEATER', argument 'zone': 3.0 is not an integer (float)"),
        ("SET_HEATER", dict(zone=True), "command 'SET_HEATER', argument 'zone': True is not an integer (bool)"),
        ("SET_HEATER", dict(zone=0), "command 'SET_HEATER', argument 'zone': 0 is out of range [1, 8]"),
        ("SET_HEATER", dict(zone=9), "command 'SET_HEATER', argument 'zone': 9 is out of range [1, 8]"),
        (
            "SET_HEATER",
            dict(zone=3, state="HOT"),
            "command 'SET_HEATER', argument 'state': unknown label 'HOT'; the labels are 'OFF', 'ON', 'AUTO'",
        ),
        (
            "SET_HEATER",
            dict(zone=3, state=1),
            "command 'SET_HEATER', argument 'state': 1 is not a label (int); the labels are 'OFF', 'ON', 'AUTO'",
        ),
        (
            "SET_HEATER",
            dict(zone=3, setpoint=120.5),
            "command 'SET_HEATER', argument 'setpoint': 120.5 is out of range [-40, 120]",
        ),
        (
            "SET_HEATER",
            dict(zone=3, setpoint="hot"),
            "command 'SET_HEATER', argument 'setpoint': 'hot' is not a number (str)",
        ),
        (
            "SET_HEATER",
            dict(zone=3, setpoint=math.nan),
            "command 'SET_HEATER', argument 'setpoint': nan is not a finite number",
        ),
        (
            "SET_HEATER",
            dict(zone=3, count=16384),
            "command 'SET_HEATER', argument 'count': 16384 is out of range [0, 16383]",
        ),
        ("SET_HEATER", dict(zone=3, count=-1), "command 'SET_HEATER', argument 'count': -1 is out of range [0, 16383]"),
        (
            "CONFIGURE",
            dict(offset=2048, gain=1.0, rate=1.0, key=b"1234", delay=0),
            "argument 'offset': 2048 is out of range [-2048, 2047]",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=0.0, rate=1.0, key=b"1234", delay=0),
            "argument 'gain': 0 is out of range (0, 10]",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=101.0, key=b"1234", delay=0),
            "argument 'rate': 101 is out of range [0, 100] (the calibration's)",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=1.0, key=b"12345", delay=0),
            "argument 'key': 5 bytes are too long for its field of 4 bytes",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=1.0, key=b"12", delay=0),
            "argument 'key': 2 bytes for a field of 4 bytes",
        ),
        ("CONFIGURE", dict(offset=0, gain=1.0, rate=1.0, key="zz", delay=0), "argument 'key': 'zz' is not hexadecimal"),
        ("CONFIGURE", dict(offset=0, gain=1.0, rate=1.0, key=[1], delay=0), "argument 'key': [1] is not bytes (list)"),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=1.0, key=b"1234", delay=0, label="123456789"),
            "argument 'label': '123456789' is too long for its field: 9 bytes, the field holds 8",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=1.0, key=b"1234", delay=0, label="caf\u00e9"),
            "argument 'label': 'café' cannot be written in US-ASCII",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=1.0, key=b"1234", delay=0, label=5),
            "argument 'label': 5 is not a string (int)",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=1.0, key=b"1234", delay=0, enable="maybe"),
            "argument 'enable': unknown label 'maybe'; the labels are 'Disabled', 'Enabled'",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=1.0, key=b"1234", delay=0, enable=1),
            "argument 'enable': 1 is not a boolean (int)",
        ),
        (
            "CONFIGURE",
            dict(offset=0, gain=1.0, rate=1.0, key=b"1234", delay=32768),
            "argument 'delay': 32768 is out of range [0, 32767.5]",
        ),
        (
            "SQUARE",
            dict(curve=4.0),
            "command 'SQUARE', argument 'curve': its calibrator is a polynomial of degree 2, which has no single inverse",
        ),
        (
            "LEGACY",
            dict(value=1.0, small=1),
            "command 'LEGACY', argument 'value': its type 'Legacy' cannot be used: float encoding MIL-STD-1750A is not implemented",
        ),
        ("LEGACY", dict(value=1.0), "command 'LEGACY', argument 'small': 300 is out of range [0, 255]"),
        ("PAIR", dict(pair=1), "command 'PAIR', argument 'pair': its type 'Pair' cannot be used: aggregate"),
        (
            "UPLOAD",
            dict(mode="ON"),
            "command 'UPLOAD', argument 'GroundStation': missing (the packet holds parameter 'GroundStation'",
        ),
        (
            "CCSDS_TC",
            dict(apid=1, opcode=1),
            "command 'CCSDS_TC' is abstract: it is a base for other commands and is not built",
        ),
        ("NOTHING", {}, "no command 'NOTHING' in"),
        # a telemetry parameter that the command's packet does not hold
        (
            "SET_HEATER",
            dict(zone=3, GroundStation=1),
            "command 'SET_HEATER', argument 'GroundStation': unknown argument",
        ),
    ],
)
def test_wrong_calls(definition, command, arguments, message):
    with pytest.raises(ValueError) as caught:
        definition.command(command, **arguments)
    assert message in str(caught.value)


def _valid_value(argument, draw):
    """A random valid engineering value for one listed argument."""
    if argument.type == "integer":
        low, high = argument.range
        return draw(st.integers(int(math.ceil(low)), int(math.floor(high))))
    if argument.type == "enumerated":
        return draw(st.sampled_from(argument.labels))
    if argument.type == "boolean":
        return draw(st.booleans())
    if argument.type == "string":
        return draw(st.text(st.characters(min_codepoint=33, max_codepoint=126), max_size=argument.bits // 8))
    if argument.type == "binary":
        return draw(st.binary(min_size=argument.bits // 8, max_size=argument.bits // 8))
    if argument.type == "float" and argument.bits in (32, 64):
        low, high = argument.range or (-1e30, 1e30)
        return draw(st.floats(low, high, width=argument.bits, exclude_min=low == 0))
    # Integer-encoded floats and times: a value on the raw grid, so it comes back exactly.
    raw = draw(st.integers(0, (1 << argument.bits) - 1))
    return raw


ENGINEERING_GRIDS = {
    # (command, argument): raw -> engineering, for arguments whose raw values are a grid
    ("SET_HEATER", "setpoint"): lambda raw: -40 + 0.5 * min(raw, 320),
    ("CONFIGURE", "rate"): lambda raw: min(raw, 100) / 10.0,
    ("CONFIGURE", "delay"): lambda raw: raw * 0.5,
}


def same(a, b):
    if isinstance(b, float):
        return a == pytest.approx(b, rel=1e-6)
    return a == b


@st.composite
def calls(draw, definition, command):
    values = {}
    for argument in command.arguments:
        if argument.default is not None and draw(st.booleans()):
            continue
        value = _valid_value(argument, draw)
        grid = ENGINEERING_GRIDS.get((command.name, argument.name))
        values[argument.name] = grid(value) if grid else value
    if command.name == "UPLOAD":
        values["GroundStation"] = draw(st.integers(0, 65535))
    return values


BUILDABLE = ["SET_HEATER", "CONFIGURE", "UPLOAD", "NOOP", "FILL"]


@pytest.mark.parametrize("name", BUILDABLE)
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_every_command_reads_back_what_it_was_built_with(definition, name, data):
    command = by_name(definition)[name]
    values = data.draw(calls(definition, command))
    packet = definition.command(name, **values)
    headed = name not in ("NOOP", "FILL")
    assert not headed or ((packet[4] << 8) | packet[5]) + 7 == len(packet)
    # A packet with a header is recognised by it; the others are read as the command named.
    back = definition.decode_command(packet, None if headed else name)
    assert back.name == name
    for key, value in values.items():
        left_out = {
            ("UPLOAD", "zone"): values.get("mode") != "AUTO",
            ("FILL", "level"): values.get("mode", "OFF") == "OFF",
        }
        if left_out.get((name, key)):
            assert key not in back
            continue
        assert same(back[key], value), key
    # What was left to its default comes back as the default (but the
    # header's sequence count, which runs from command to command).
    for argument in command.arguments:
        if argument.name not in values and argument.name in back and argument.name != "count":
            assert same(back[argument.name], argument.default), argument.name


@pytest.mark.parametrize(
    "command, arguments",
    [
        ("SET_HEATER", dict(zone=3, state="ON")),
        ("CONFIGURE", CONFIGURE),
        ("UPLOAD", dict(mode="ON", GroundStation=7)),
        ("NOOP", {}),
        ("FILL", dict(n=3, mode="ON")),
    ],
)
def test_decode_recognises_the_command(definition, command, arguments):
    assert definition.decode_command(definition.command(command, **arguments)).name == command


@pytest.mark.parametrize(
    "packet, message",
    [
        ("1064c0000002013479ff", "no command of"),
        ("1064c0000003013479", "no command of"),
        ("1acf00fe", "no command of"),
        ("", "no command of"),
        # one byte: FILL with n = 1 and mode OFF, or SQUARE
        ("13", "the packet matches commands FILL, SQUARE: pass name= to choose"),
        # FILL's copies of level differ
        ("37aaaa5a05b0", "no command of"),
    ],
)
def test_decode_refuses_what_matches_no_command(definition, packet, message):
    with pytest.raises(ValueError, match=message):
        definition.decode_command(bytes.fromhex(packet))


def test_decode_by_name_says_why(definition):
    with pytest.raises(ValueError, match=r"command 'SET_HEATER': argument 'apid' is 101, the command fixes it at 100"):
        definition.decode_command(bytes.fromhex("1065c0000002013479"), "SET_HEATER")


# -- the shared definitions ----------------------------------------------------


@pytest.mark.parametrize(
    "path, expected",
    [
        # The flight-software dictionary's one concrete command inherits an
        # argument whose type the file never defines: it is listed, and refused.
        (
            FPRIME,
            {"CCSDSPacket": None, "FPrimeCommand": None, "SetThreshold": "its type 'FwOpcodeType' is not defined"},
        ),
        (DEMO, {"BaseCommand": None, "SetHeater": "1acf01"}),
    ],
)
def test_shared_definitions(path, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # what the telemetry side leaves out is not at issue here
        definition = xtce.load(path)
    listing = {c.name: c for c in definition.commands()}
    assert list(listing) == list(expected)
    for name, outcome in expected.items():
        if outcome is None:
            assert listing[name].abstract
            continue
        values = {a.name: 1.5 for a in listing[name].arguments}
        if outcome.startswith("its"):
            with pytest.raises(ValueError, match=outcome):
                definition.command(name, **values)
            continue
        packet = definition.command(name, **values)
        assert packet.hex() == outcome
        assert definition.decode_command(packet) == values
        assert main(["command", path, name, "--hex"]) == 0


# -- the command line ----------------------------------------------------------


@pytest.mark.parametrize(
    "argv, out, err",
    [
        (["SET_HEATER", "zone=3", "state=ON", "--hex"], "1064c0000002013479\n", ""),
        (["SET_HEATER", "zone=0x3", "state=ON", "setpoint=20.5", "--hex"], "1064c0000002013479\n", ""),
        (
            ["CONFIGURE", "offset=-1", "gain=1", "rate=0", "key=00ff00ff", "delay=1", "enable=Disabled", "--hex"],
            None,
            "",
        ),
        (["SET_HEATER", "zone=9", "--hex"], "", "command 'SET_HEATER', argument 'zone': 9 is out of range [1, 8]"),
        (["SET_HEATER", "zone=three", "--hex"], "", "command 'SET_HEATER', argument 'zone': 'three' is not a number"),
        (["SET_HEATER", "zone", "--hex"], "", "command 'SET_HEATER': 'zone' is not ARG=VALUE"),
        (["SET_HEATER", "zone=1", "zone=2", "--hex"], "", "argument 'zone': given twice"),
        (["SET_HEATER", "heat=1", "--hex"], "", "argument 'heat': unknown argument"),
    ],
)
def test_command_line(capsys, argv, out, err):
    status = main(["command", DEF, *argv])
    captured = capsys.readouterr()
    assert status == (1 if err else 0)
    if out is not None:
        assert captured.out == out
    assert err in captured.err


def test_command_line_writes_a_file(tmp_path, definition):
    target = tmp_path / "tc.bin"
    assert main(["command", DEF, "UPLOAD", "mode=AUTO", "zone=2", "GroundStation=7", "--out", str(target)]) == 0
    assert target.read_bytes() == xtce.load(DEF).command("UPLOAD", mode="AUTO", zone=2, GroundStation=7)


def test_command_line_writes_bytes_to_a_pipe(definition):
    run = subprocess.run([sys.executable, "-m", "bitloom_io", "command", DEF, "NOOP"], capture_output=True, check=True)
    assert run.stdout == definition.command("NOOP")


@settings(max_examples=50, deadline=None)
@given(
    zone=st.integers().filter(lambda z: not 1 <= z <= 8),
    setpoint=st.floats(allow_nan=False, allow_infinity=False).filter(lambda s: not -40 <= s <= 120),
    label=st.text(min_size=1).filter(lambda t: t.strip().upper() not in ("OFF", "ON", "AUTO")),
)
def test_every_value_outside_is_refused_with_what_is_allowed(definition, zone, setpoint, label):
    for arguments, says in (
        (dict(zone=zone), "argument 'zone': " + f"{zone} is out of range [1, 8]"),
        (dict(zone=1, setpoint=setpoint), "argument 'setpoint': "),
        (dict(zone=1, state=label), "argument 'state': unknown label "),
    ):
        with pytest.raises(ValueError) as caught:
            definition.command("SET_HEATER", **arguments)
        assert says in str(caught.value)
        assert "[-40, 120]" in str(caught.value) or "setpoint" not in says
        assert "'OFF', 'ON', 'AUTO'" in str(caught.value) or "state" not in says


def test_a_definition_without_commands():
    path = os.path.join(HERE, "data", "realdata", "ctim", "ctim_xtce_v1.xml")
    definition = xtce.load(path)
    assert definition.commands() == []
    with pytest.raises(ValueError, match="no command 'NOOP' in"):
        definition.command("NOOP")
    with pytest.raises(ValueError, match="no command of .* matches the packet of 3 bytes"):
        definition.decode_command(b"\x1a\xcf\x01")


def test_a_definition_read_from_a_stream():
    with open(DEF, "rb") as f:  # a file object names its file: the commands are read from it
        assert len(xtce.load(f).commands()) == len(xtce.load(DEF).commands())
    with open(DEF, "rb") as f:
        definition = xtce.load(io.BytesIO(f.read()))
    with pytest.raises(ValueError, match="commands are read from the definition's file"):
        definition.commands()
