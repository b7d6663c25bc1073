"""Layout against the bitloom functions and against independent models.

- Layout(recipe).unpack / .pack against unpack_parameters / pack_parameters
  over the packet tests' arbitrary recipes: the same results and the same
  errors (type and message).
- Layout(recipe, exact=True) against bitstruct for big-endian fields, and
  against a bit-by-bit model for the rest: the field's own bits are cut out
  of the packet, right-aligned in its whole bytes, and that span is read by
  unpack_parameters, which then applies byte order, mirroring and decoding.
- unpack_many against a loop of unpack, pack_many against a loop of pack.
"""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, settings, strategies as st

import bitloom
from bitloom_io import Layout
from recipes import item
from test_packet_fuzz import pack_recipes, unpack_recipes

SETTINGS = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Errors that depend on the packet or on the direction, which a recipe that
# compiles may still raise from unpack or pack; anything else wrong with a
# recipe is refused when the layout is built.
DATA_OR_DIRECTION = (
    "Field '",
    "Unsupported encoding type",
    "not yet implemented",
    "IEEE 754 f128",
    "Invalid",
    "too large",
    "out of range",
    "Magnitude",
    "bits must be",
    "BCD",
    "UTF-",
    "US-ASCII",
    "ISO-8859-1",
    "Windows-1252",
    "missing required field: 'value'",
    "object cannot be cast as 'str'",
    "must be real number",
    "cannot be interpreted as an integer",
    "OverflowError",
)


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as e:  # noqa: BLE001 - the type is part of what is compared
        return "error", type(e), str(e)


def same_values(got, want):
    if type(got) is not type(want):
        return False
    if isinstance(want, float) and math.isnan(want):
        return math.isnan(got)
    if isinstance(want, dict):
        return list(got) == list(want) and all(same_values(got[k], want[k]) for k in want)
    return got == want


def assert_same(ours, reference):
    if reference[0] == "ok":
        assert ours[0] == "ok" and same_values(ours[1], reference[1]), (ours, reference)
    else:
        assert ours == reference


def compiled(recipe, exact=False):
    """The layout, or the construction error after checking that the
    function refuses the recipe too, with the same text unless its own first
    error depends on the data or the direction."""
    try:
        return Layout(recipe, exact=exact), None
    except Exception as e:  # noqa: BLE001
        event(f"refused: {str(e).split(':')[0]}")
        return None, ("error", type(e), str(e), getattr(e, "__notes__", []))


def refused_alone(item):
    """What each function says about one item on its own (no data errors:
    the packet is long enough for any small field)."""
    return {outcome(bitloom.pack_parameters, [item])[-1], outcome(bitloom.unpack_parameters, bytes(64), 0, [item])[-1]}


def assert_refused_alike(construction, reference, recipe, notes):
    """Construction refuses what both directions refuse, naming the item in
    a note, with what a function says about that item. The two functions
    read the keys in different orders (packing sizes the packet from every
    item's `bits` first) and may meet a data error first, so for a recipe
    with several problems the function's own first error may differ."""
    assert reference[0] == "error", (construction, reference)
    assert construction[1] is reference[1] is ValueError, (construction, reference)
    (note,) = [n for n in notes if n.startswith("in recipe item ")]
    index = int(note.split()[3])
    assert construction[2] in refused_alone(recipe[index]), (construction, note, recipe[index])
    if construction[2] != reference[2]:
        assert any(text in reference[2] for text in DATA_OR_DIRECTION) or "Recipe missing" in reference[2], (
            construction,
            reference,
        )


@SETTINGS
@given(
    st.binary(min_size=0, max_size=80), st.one_of(st.integers(0, 16), st.sampled_from([100, 2**32 - 1])), unpack_recipes
)
def test_unpack_matches_unpack_parameters(packet, offset, recipe):
    reference = outcome(bitloom.unpack_parameters, packet, offset, recipe)
    layout, refused = compiled(recipe)
    if refused:
        assert_refused_alike(refused[:3], reference, recipe, refused[3])
        return
    event(reference[0])
    assert_same(outcome(layout.unpack, packet, offset), reference)


@SETTINGS
@given(pack_recipes)
def test_pack_matches_pack_parameters(recipe):
    reference = outcome(bitloom.pack_parameters, recipe)
    layout, refused = compiled(recipe)
    if refused:
        assert_refused_alike(refused[:3], reference, recipe, refused[3])
        return
    event(reference[0])
    assert_same(outcome(layout.pack), reference)
    assert_same(outcome(layout.pack, None), reference)
    assert_same(outcome(layout.pack, {}), reference)


@SETTINGS
@given(pack_recipes, st.data())
def test_pack_with_values_is_pack_parameters_with_those_values(recipe, data):
    layout, refused = compiled(recipe)
    assume(layout is not None)
    names = [it["name"] for it in recipe if isinstance(it, dict) and isinstance(it.get("name"), str)]
    other = data.draw(pack_recipes)
    candidates = [it["value"] for it in other if isinstance(it, dict) and "value" in it] or [0]
    values = {name: data.draw(st.sampled_from(candidates)) for name in names if data.draw(st.booleans())}
    substituted = [
        dict(it, value=values[it["name"]]) if isinstance(it, dict) and it.get("name") in values else it for it in recipe
    ]
    assert_same(outcome(layout.pack, values), outcome(bitloom.pack_parameters, substituted))


def test_layout_keeps_its_own_copy_of_the_recipe():
    recipe = [item("a", bits=16, value=7)]
    layout = Layout(recipe)
    recipe[0]["bits"], recipe[0]["value"] = 8, 9
    recipe.append(item("b"))
    assert layout.pack() == b"\x00\x07"
    assert layout.unpack(b"\x01\x02") == {"a": 258}
    assert layout.recipe == [item("a", bits=16, value=7)]


# --- exact=True --------------------------------------------------------------


def field_bits(packet, start, bits):
    """The field's bits as an integer, bit by bit, most significant first."""
    value = 0
    for n in range(start, start + bits):
        value = value << 1 | (packet[n // 8] >> (7 - n % 8)) & 1
    return value


def exact_model(packet, offset, recipe):
    """unpack for exact=True: each field's own bits, right-aligned in its
    whole bytes, then read as unpack_parameters reads a byte-aligned field."""
    result, position, values = {}, offset, {}
    for it in recipe:
        if "offset_bits" in it:
            position = offset + it["offset_bits"]
        bits = it["bits"]
        if isinstance(bits, dict):
            bits = values[bits["field"]] * bits["slope"] + bits["intercept"]
        if bits < 0 or position + bits > 8 * len(packet):
            raise IndexError("negative or past the end")
        span = field_bits(packet, position, bits).to_bytes((bits + 7) // 8, "big")
        if it["encoding"] == "binary":  # bytes as they stand, reversed for "little" as text is
            value = span[::-1] if it["byte_order"] == "little" else span
        else:
            alone = {k: v for k, v in it.items() if k not in ("offset_bits", "value")} | {"bits": bits}
            value = bitloom.unpack_parameters(span, 0, [alone])[it["name"]]
        result[it["name"]] = values[it["name"]] = value
        position += bits
    return result


INTEGER_ENCODINGS = ["unsigned", "twos_complement", "ones_complement", "sign_magnitude"]
DECIMAL_ENCODINGS = ["bcd", "bcd_signed", "packed_bcd", "packed_bcd_signed"]
FLOATS = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}
TEXTS = ["utf8", "us_ascii", "iso_8859_1", "latin1", "utf16be", "utf32le", "windows_1252"]


@st.composite
def exact_field(draw, name):
    encoding = draw(st.sampled_from(INTEGER_ENCODINGS * 3 + DECIMAL_ENCODINGS + list(FLOATS) + TEXTS + ["binary"]))
    if encoding in FLOATS:
        bits = draw(st.sampled_from([FLOATS[encoding]] * 3 + [8, 12, 40]))
    elif encoding in TEXTS or encoding == "binary":
        bits = 8 * draw(st.integers(0, 6))
    elif encoding == "sign_magnitude":
        bits = draw(st.integers(2, 64))
    else:
        bits = draw(st.integers(1, 64))
    order = draw(st.sampled_from(["big", "little"]))
    return item(name, encoding, bits, order, draw(st.booleans()))


@st.composite
def exact_recipes(draw, dynamic=True):
    recipe = []
    for i in range(draw(st.integers(1, 6))):
        if dynamic and draw(st.integers(0, 5)) == 0:
            # A length, then a field as long as it says (a layout extension).
            recipe.append(item(f"n{i}", bits=draw(st.sampled_from([4, 8, 16]))))
            width = {"field": f"n{i}", "slope": 8, "intercept": 8 * draw(st.integers(-2, 1))}
            it = item(
                f"f{i}",
                draw(st.sampled_from(["binary", "utf8", "us_ascii"])),
                width,
                draw(st.sampled_from(["big", "little"])),
            )
        else:
            it = draw(exact_field(f"f{i}"))
        if draw(st.integers(0, 4)) == 0:
            it["offset_bits"] = draw(st.integers(0, 80))
        recipe.append(it)
    return recipe


def end_bit(recipe, offset=0):
    """Where the last field ends, a width taken from the packet counted as 16 bits."""
    position = end = offset
    for it in recipe:
        position = offset + it["offset_bits"] if "offset_bits" in it else position
        position += it["bits"] if isinstance(it["bits"], int) else 16
        end = max(end, position)
    return end


@st.composite
def exact_cases(draw):
    """A recipe, an offset and a packet that is mostly long enough."""
    recipe, offset = draw(exact_recipes()), draw(st.integers(0, 20))
    need = (end_bit(recipe, offset) + 7) // 8
    size = draw(st.one_of(st.integers(0, need + 2), st.integers(need, need + 4), st.integers(need, need + 4)))
    return recipe, draw(st.binary(min_size=size, max_size=size)), offset


@SETTINGS
@given(exact_cases())
def test_exact_unpack_matches_the_bit_model(case):
    recipe, packet, offset = case
    reference = outcome(exact_model, packet, offset, recipe)
    ours = outcome(Layout(recipe, exact=True).unpack, packet, offset)
    if reference[0] == "ok":
        event("ok")
        assert ours[0] == "ok" and same_values(ours[1], reference[1]), (ours, reference)
    else:
        event(reference[1].__name__)
        assert ours[0] == "error" and ours[1] is ValueError, ours
        if reference[1] is ValueError:  # a codec's refusal: the same text
            assert ours[2] == reference[2]


bitstruct = pytest.importorskip("bitstruct")

BITSTRUCT_CODES = {
    "unsigned": "u",
    "twos_complement": "s",
    "ieee754_f16": "f",
    "ieee754_f32": "f",
    "ieee754_f64": "f",
    "binary": "r",
    "utf8": "t",
}


@st.composite
def big_endian_fields(draw):
    """Consecutive big-endian fields at any bit position, with values, as a
    recipe and as a bitstruct format."""
    recipe, fmt, values = [], "", {}
    for i in range(draw(st.integers(1, 8))):
        encoding = draw(st.sampled_from(list(BITSTRUCT_CODES)))
        name = f"f{i}"
        if encoding in FLOATS:
            bits = FLOATS[encoding]
            value = draw(st.floats(width=bits, allow_nan=False))
        elif encoding == "unsigned":
            bits = draw(st.integers(1, 64))
            value = draw(st.integers(0, 2**bits - 1))
        elif encoding == "twos_complement":
            bits = draw(st.integers(2, 64))
            value = draw(st.integers(-(2 ** (bits - 1)), 2 ** (bits - 1) - 1))
        elif encoding == "binary":
            bits = 8 * draw(st.integers(1, 5))
            value = draw(st.binary(min_size=bits // 8, max_size=bits // 8))
        else:
            value = draw(st.text(st.characters(max_codepoint=0x7F, exclude_characters="\x00"), min_size=1, max_size=5))
            bits = 8 * len(value)
        recipe.append(item(name, encoding, bits, value=value))
        fmt += f"{BITSTRUCT_CODES[encoding]}{bits}"
        values[name] = value
    pad = draw(st.integers(0, 7))
    return recipe, fmt + (f"p{pad}" if pad else ""), values


@SETTINGS
@given(big_endian_fields())
def test_exact_against_bitstruct(case):
    recipe, fmt, values = case
    names = list(values)
    packet = bitstruct.pack_dict(fmt, names, values)
    layout = Layout(recipe, exact=True)
    assert layout.pack(values) == layout.pack() == packet[: (sum(r["bits"] for r in recipe) + 7) // 8]
    if all(r["encoding"] != "binary" for r in recipe):  # a layout-only encoding
        assert layout.pack() == bitloom.pack_parameters(recipe)
    assert same_values(layout.unpack(packet), bitstruct.unpack_dict(fmt, names, packet))


@SETTINGS
@given(
    st.integers(0, 40),
    st.integers(1, 64),
    st.sampled_from(["unsigned", "twos_complement", "sign_magnitude", "ones_complement"]),
    st.sampled_from(["big", "little"]),
    st.booleans(),
    st.data(),
)
def test_exact_unpack_inverts_pack(start, bits, encoding, order, mirror, data):
    assume(not (order == "little" and bits % 8))  # packing itself drops bits there
    assume(encoding != "sign_magnitude" or bits >= 2)
    low, high = {"unsigned": (0, 2**bits - 1), "twos_complement": (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)}.get(
        encoding, (-(2 ** (bits - 1)) + 1, 2 ** (bits - 1) - 1)
    )
    value = data.draw(st.integers(low, high))
    recipe = [
        item("pad", bits=start, value=0),
        item("v", encoding, bits, order, mirror, value=value),
        item("tail", bits=3, value=5),
    ]
    layout = Layout(recipe, exact=True)
    assert layout.unpack(layout.pack()) == {"pad": 0, "v": value, "tail": 5}


# --- batches -----------------------------------------------------------------

SIGNED = {"twos_complement", "ones_complement", "sign_magnitude", "bcd_signed", "packed_bcd_signed"}


def smallest(kind, bits):
    for size in (8, 16, 32, 64):
        if bits <= size:
            return np.dtype(f"{kind}{size // 8}")
    return np.dtype(f"{kind}8")


def assert_column(column, values, encoding, bits):
    assert len(column) == len(values)
    lowered = encoding.lower()
    if lowered == "unsigned":
        assert column.dtype == smallest("u", bits)
    elif lowered in ("twos_complement", "ones_complement", "sign_magnitude"):
        assert column.dtype == smallest("i", bits)
    elif lowered in SIGNED or "bcd" in lowered:
        assert column.dtype.kind == "i"
    elif lowered in FLOATS:
        assert column.dtype.kind == "f"
    elif lowered == "binary":
        assert column.dtype == object
    else:
        assert column.dtype.kind == "T"
    for got, want in zip(column.tolist(), values):
        assert same_values(got, want), (encoding, got, want)


@st.composite
def batches(draw):
    recipe = draw(exact_recipes())
    exact = draw(st.booleans())
    # Strides around the layout's length, so that some packets are short.
    need = (end_bit(recipe) + 7) // 8
    stride = draw(st.one_of(st.integers(max(1, need - 2), need + 3), st.integers(max(1, need), need + 3)))
    count = draw(st.integers(0, 12))
    buffer = draw(st.binary(min_size=stride * count, max_size=stride * count))
    return recipe, exact, stride, buffer


@SETTINGS
@given(batches())
def test_unpack_many_matches_a_loop_of_unpack(batch):
    recipe, exact, stride, buffer = batch
    layout = Layout(recipe, exact=exact)
    packets = [buffer[i : i + stride] for i in range(0, len(buffer), stride)]
    rows = [outcome(layout.unpack, p) for p in packets]
    failed = [r[0] == "error" for r in rows]
    event(f"{sum(failed)} of {len(rows)} failed")
    names = list(dict.fromkeys(it["name"] for it in recipe))

    masked = layout.unpack_many(buffer, stride=stride, errors="mask")
    assert list(masked) == names
    assert masked.failures == sum(failed)
    assert masked.failed.tolist() == failed
    good = [r[1] for r in rows if r[0] == "ok"]
    for it in recipe:
        column = masked[it["name"]]
        assert isinstance(column, np.ma.MaskedArray)
        assert np.ma.getmaskarray(column).tolist() == failed
        assert_column(
            np.ma.getdata(column)[~masked.failed], [row[it["name"]] for row in good], it["encoding"], it["bits"]
        )

    if any(failed):
        first = failed.index(True)
        with pytest.raises(ValueError) as raised:
            layout.unpack_many(buffer, stride=stride)
        assert f"packet {first}" in str(raised.value) and f"offset {first * stride}" in str(raised.value)
        return
    columns = layout.unpack_many(buffer, stride=stride)
    assert columns.failures == 0 and columns.failed.tolist() == [False] * len(rows)
    for it in recipe:
        assert_column(columns[it["name"]], [row[it["name"]] for row in good], it["encoding"], it["bits"])
    # The same packets given as offsets, as a list of bytes, and from a
    # memoryview; then written back.
    offsets = np.arange(0, len(buffer), stride, dtype=np.int64)
    for other in (
        layout.unpack_many(buffer, offsets=offsets),
        layout.unpack_many(memoryview(bytearray(buffer)), offsets=offsets, lengths=np.full(len(offsets), stride)),
        layout.unpack_many(packets),
    ):
        assert list(other) == names
        for name in names:
            assert all(map(same_values, other[name].tolist(), columns[name].tolist()))
    packed = [outcome(layout.pack, row[1]) for row in rows]
    if all(p[0] == "ok" for p in packed):
        event("pack_many compared")
        assert layout.pack_many(columns) == b"".join(p[1] for p in packed)


def test_short_packets_fail_without_reading_past_the_buffer():
    layout = Layout([item("a", bits=16), item("b", bits=32)])
    buffer = bytes(range(15))
    offsets = np.array([0, 6, 12], dtype=np.int64)
    columns = layout.unpack_many(buffer, offsets=offsets, errors="mask")
    assert columns.failed.tolist() == [False, False, True]
    assert columns["a"].tolist() == [0x0001, 0x0607, None]
    with pytest.raises(ValueError, match="packet 2"):
        layout.unpack_many(buffer, offsets=offsets)


# --- real data -----------------------------------------------------------------


def test_jpss_file_header_at_exact_bits_body_as_unpack_parameters():
    """The JPSS example's recipe over the real file: the primary header's
    fields against shifts and masks of its two 16-bit words, the
    byte-aligned body against unpack_parameters, packet by packet."""
    import importlib.util
    from pathlib import Path

    path = Path(__file__).resolve().parent.parent / "examples" / "jpss_columns.py"
    module_spec = importlib.util.spec_from_file_location("jpss_columns", path)
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    recipe = example.recipe_from_csv(example.DEFINITION)
    data = example.PACKETS.read_bytes()
    columns = Layout(recipe, exact=True).unpack_many(data, stride=71)

    raw = np.frombuffer(data, dtype=np.uint8).reshape(-1, 71).astype(np.uint32)
    word0, word1 = raw[:, 0] << 8 | raw[:, 1], raw[:, 2] << 8 | raw[:, 3]
    expected = {
        "CCSDS_VERSION_NUMBER": word0 >> 13,
        "CCSDS_PACKET_TYPE": word0 >> 12 & 1,
        "CCSDS_SECONDARY_FLAG": word0 >> 11 & 1,
        "CCSDS_APID": word0 & 0x7FF,
        "CCSDS_SEQUENCE_FLAG": word1 >> 14,
        "CCSDS_SEQUENCE_COUNT": word1 & 0x3FFF,
        "CCSDS_PACKET_LENGTH": raw[:, 4] << 8 | raw[:, 5],
    }
    assert len(columns["CCSDS_APID"]) == 7200
    for name, want in expected.items():
        assert columns[name].tolist() == want.tolist(), name
    body = recipe[7:]
    for i in range(0, 7200, 997):
        row = bitloom.unpack_parameters(data[i * 71 : (i + 1) * 71], 0, body)  # positions from the packet start
        assert all(same_values(columns[name][i].item(), value) for name, value in row.items()), i


@st.composite
def rows_to_pack(draw):
    """Integer and text fields at any bit position and rows of values for
    them, now and then one out of range."""
    recipe = []
    for i in range(draw(st.integers(1, 6))):
        encoding = draw(
            st.sampled_from(
                [
                    "unsigned",
                    "twos_complement",
                    "sign_magnitude",
                    "packed_bcd",
                    "us_ascii",
                    "ieee754_f32",
                    "ieee754_f64",
                ]
            )
        )
        if encoding == "us_ascii":
            bits = 8 * draw(st.integers(0, 3))
        elif encoding.startswith("ieee754"):
            bits = int(encoding[-2:])
        else:  # whole bytes often, which are stored as words
            bits = draw(st.one_of(st.integers(4, 40), st.sampled_from([8, 16, 32, 64])))
        recipe.append(
            item(
                f"f{i}",
                encoding,
                bits,
                draw(st.sampled_from(["big", "little"])),
                draw(st.booleans()),
                value=0 if encoding != "us_ascii" else "",
            )
        )
    count = draw(st.integers(0, 6))
    columns = {}
    for index, it in enumerate(recipe):
        if index and draw(st.integers(0, 5)) == 0:
            continue  # no column: the recipe's value (one column at least gives the row count)
        if it["encoding"] == "us_ascii":
            values = st.text(st.characters(max_codepoint=0x80), max_size=3)
        elif it["encoding"].startswith("ieee754"):
            values = st.floats(width=it["bits"], allow_nan=False)
        else:
            reach = 2 ** it["bits"]
            values = st.integers(-reach // 2 - 1, reach) if it["encoding"] != "packed_bcd" else st.integers(0, 10**3)
        columns[it["name"]] = draw(st.lists(values, min_size=count, max_size=count))
    return recipe, columns, count


@SETTINGS
@given(rows_to_pack())
def test_pack_many_matches_a_loop_of_pack(case):
    recipe, columns, count = case
    layout = Layout(recipe)
    rows = [{name: values[i] for name, values in columns.items()} for i in range(count)]
    packed = [outcome(layout.pack, row) for row in rows]
    failed = [i for i, p in enumerate(packed) if p[0] == "error"]
    if not failed:
        event("all packed")
        assert layout.pack_many(columns) == b"".join(p[1] for p in packed)
        assert layout.pack_many({k: np.array(v, dtype=object) for k, v in columns.items()}) == b"".join(
            p[1] for p in packed
        )
        return
    event("a row fails")
    with pytest.raises(ValueError) as raised:
        layout.pack_many(columns)
    assert str(raised.value).startswith(f"packet {failed[0]}: ")
    assert str(raised.value).endswith(packed[failed[0]][2])


def typed_columns(columns):
    """The columns as numpy arrays of the dtypes the batch kernel reads:
    int64 or uint64 integers (where all the values fit one), floats, and
    StringDType text."""
    out = {}
    for name, values in columns.items():
        if values and isinstance(values[0], str):
            out[name] = np.array(values, dtype=np.dtypes.StringDType())
        elif values and isinstance(values[0], float):
            out[name] = np.array(values, dtype=np.float64)
        elif all(-(2**63) <= v < 2**63 for v in values):
            out[name] = np.array(values, dtype=np.int64)
        elif all(0 <= v < 2**64 for v in values):
            out[name] = np.array(values, dtype=np.uint64)
        else:
            out[name] = np.array(values, dtype=object)
    return out


@SETTINGS
@given(rows_to_pack(), st.integers(1, 3))
def test_pack_many_of_typed_columns_matches_a_loop_of_pack(case, repeat):
    # The same rows as numpy columns, repeated so that some layouts fill
    # more than one of the kernel's blocks: the same packets, or the same
    # first failing row and message.
    recipe, columns, count = case
    layout = Layout(recipe)
    rows = [{name: values[i] for name, values in columns.items()} for i in range(count)]
    packed = [outcome(layout.pack, row) for row in rows]
    failed = [i for i, p in enumerate(packed) if p[0] == "error"]
    times = 1 if repeat == 1 or not count else 30000 // count
    typed = typed_columns({k: v * times for k, v in columns.items()})
    if not failed:
        assert layout.pack_many(typed) == b"".join(p[1] for p in packed) * times
        return
    with pytest.raises(ValueError) as raised:
        layout.pack_many(typed)
    assert str(raised.value).startswith(f"packet {failed[0]}: ")
    assert str(raised.value).endswith(packed[failed[0]][2])


@pytest.mark.parametrize("encoding", ["us_ascii", "utf8", "iso_8859_1", "windows_1252", "utf16be"])
@pytest.mark.parametrize("byte_order", ["big", "little"])
@pytest.mark.parametrize("start", [0, 8, 13])
@pytest.mark.parametrize("data", [b"HK-NOMNL", b"HK\x00NO\x00\x00L", b"H\xc3\xa9-NOM\x7f\x80", b"\xef\xbb\xbfABCDE"])
def test_text_fields_unpack_as_unpack_parameters(encoding, byte_order, start, data):
    # Text read from the packet in place (whole ASCII bytes) or decoded in
    # full: the same str or the same error as the function, for both layouts
    # (exact ones at their bits, where a byte-aligned field reads the same).
    recipe = [
        item("pad", "unsigned", start),
        item("t", encoding, 64, byte_order=byte_order),
        item("end", "unsigned", 8),
    ]
    packet = bytes(start // 8) + data + bytes(3)
    if start % 8:
        packet = (int.from_bytes(packet, "big") >> (start % 8)).to_bytes(len(packet), "big")
    reference = outcome(bitloom.unpack_parameters, packet, 0, recipe)
    assert_same(outcome(Layout(recipe).unpack, packet), reference)
    if start % 8 == 0:
        assert_same(outcome(Layout(recipe, exact=True).unpack, packet), reference)
