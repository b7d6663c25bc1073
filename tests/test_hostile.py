"""Hostile inputs: objects that raise, lie about their type, or mutate the
recipe while a call is running. Each must end in a clean exception (or a
correct result), never a crash, SystemError or PanicException, and the
caller's objects must be as they were."""

import copy
import sys

import pytest

import bitloom as b
from leakcheck import fresh
from recipes import item

PANIC = type("probe", (), {})  # replaced below by the real class once seen


class Boom(Exception):
    pass


class Index:
    def __init__(self, result=None, action=None):
        self.result, self.action = result, action

    def __index__(self):
        if self.action:
            self.action()
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Float:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def numpy_like_bool(result=False, action=None):
    """An object whose type passes for numpy's boolean scalar, with a truth
    slot written in Python."""

    def truth(self):
        if action:
            action()
        if isinstance(result, BaseException):
            raise result
        return result

    return type("bool_", (), {"__module__": "numpy", "__bool__": truth})()


def clean_outcome(call):
    """Runs call; returns the result or the exception. A crash kills the test
    run; a SystemError or a PanicException (any BaseException that is not an
    Exception) fails the test."""
    try:
        return call()
    except Exception as e:  # noqa: BLE001
        assert not isinstance(e, SystemError), e
        return e


def assert_clean(call, *watched, raises=None, match=None):
    before = copy.deepcopy(watched)
    result = clean_outcome(call)
    if raises is not None:
        assert isinstance(result, raises), result
        if match is not None:
            assert match in str(result), str(result)
    assert watched == before
    return result


# --- Conversions that raise or return the wrong type ----------------------

SINGLE = [
    (b.encode_twos_complement, (Index(Boom("x")), 8), Boom),
    (b.encode_twos_complement, (Index(1.5), 8), TypeError),
    (b.encode_twos_complement, (5, Index("8")), TypeError),
    (b.decode_twos_complement, (Index(2**70), 8), OverflowError),
    (b.decode_packed_bcd, (Index(KeyboardInterrupt()), 8), KeyboardInterrupt),
    (b.decode_ieee754_f128, (Index(Boom("x")),), Boom),
    (b.decode_ieee754_f128, (Index(-1),), ValueError),
    (b.encode_ieee754_f64, (Float(Boom("x")),), Boom),
    (b.encode_ieee754_f64, (Float(5),), TypeError),
    (b.encode_ieee754_f16, (Float("1"),), TypeError),
    (b.encode_ti_f32, (Float(Boom("x")),), Boom),
    (b.decode_ti_f32, (Index(None),), TypeError),
    (b.encode_packed_bcd, (1, 8, numpy_like_bool(Boom("x"))), Boom),
    (b.encode_packed_bcd, (1, 8, numpy_like_bool(5)), TypeError),
    (b.decode_unpacked_bcd, (0x0402, 16, numpy_like_bool(False)), None),
]


@pytest.mark.parametrize("fn, args, raises", SINGLE)
def test_single_value_conversions(fn, args, raises):
    try:
        result = fn(*args)
    except BaseException as e:  # noqa: BLE001 - KeyboardInterrupt must come through as it is
        assert raises is not None and type(e) is raises or isinstance(e, raises), e
        assert not isinstance(e, SystemError)
    else:
        assert raises is None, result


PACK_HOSTILE = [
    # (recipe item, text the wrapped ValueError starts with)
    (item(bits=Index(Boom("no"))), "Boom: no"),
    (item(bits=Index(-1)), "OverflowError"),
    (item(bits=Index(2**32)), "OverflowError: out of range integral type conversion attempted"),
    (item(bits=Index("8")), "TypeError"),
    (item(offset_bits=Index(Boom("no")), value=1), "Boom: no"),
    (item(value=Index(Boom("no"))), "Boom: no"),
    (item(encoding="twos_complement", value=Index(2**70)), "OverflowError"),
    (item(encoding="ieee754_f32", bits=32, value=Float(Boom("no"))), "Boom: no"),
    (item(encoding="ieee754_f64", bits=64, value=Float(1)), "TypeError"),
    (item(value=1, reverse_bits=numpy_like_bool(Boom("no"))), "Boom: no"),
    (item(value=1, reverse_bits=numpy_like_bool("yes")), "TypeError"),
    (item(encoding="utf8", value="\ud800"), "UnicodeEncodeError"),
    (item(name="\udc00", value=1), "UnicodeEncodeError"),
    (item(encoding="utf-8\ud800", value="a"), "UnicodeEncodeError"),
    (item(byte_order="big\ud800", value=1), "UnicodeEncodeError"),
]


@pytest.mark.parametrize("it, message", PACK_HOSTILE)
def test_pack_conversions_fail_cleanly(it, message):
    recipe = [item(value=7), it]
    result = assert_clean(lambda: b.pack_parameters(recipe), raises=ValueError)
    assert str(result).startswith(message), str(result)


UNPACK_HOSTILE = [
    (item(bits=Index(Boom("no"))), "Boom: no"),
    (item(offset_bits=Index(Boom("no"))), "Boom: no"),
    (item(bits=Index(2**32)), "OverflowError"),
    (item(reverse_bits=numpy_like_bool(Boom("no"))), "Boom: no"),
    (item(name="\udc00"), "UnicodeEncodeError"),
    (item(encoding="\ud800"), "UnicodeEncodeError"),
]


@pytest.mark.parametrize("it, message", UNPACK_HOSTILE)
def test_unpack_conversions_fail_cleanly(it, message):
    recipe = [item(name="a"), it]
    result = assert_clean(lambda: b.unpack_parameters(b"\x01\x02\x03", 0, recipe), raises=ValueError)
    assert str(result).startswith(message), str(result)


def test_exception_whose_str_fails_is_still_reported():
    class Opaque(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    result = assert_clean(lambda: b.pack_parameters([item(bits=Index(Opaque()))]), raises=ValueError)
    assert str(result).endswith(".Opaque: <exception str() failed>"), str(result)


# --- Recipes mutated while the call runs -------------------------------


def big_values(**extra):
    """An item whose values are held by the dict alone (no small ints, no
    interned strings), so clearing it frees them."""
    d = item(name=fresh("field"), encoding=fresh("unsigned"), byte_order=fresh("big"), bits=int("8"), **extra)
    return d


@pytest.mark.parametrize("direction", ["pack", "unpack"])
@pytest.mark.parametrize("target", ["list", "dict", "next dict"])
@pytest.mark.parametrize("hook", ["bits", "offset_bits", "reverse_bits"])
@pytest.mark.parametrize("lead", [0, 2, 70], ids=["first", "after usual items", "after 70 usual items"])
def test_mutation_during_the_call(direction, target, hook, lead):
    # `lead` plain items first: read in place from the list until the
    # hostile item is reached.
    recipe = [item(name=f"u{i}", value=i) for i in range(lead)]
    recipe += [big_values(value=int("300") % 256, offset_bits=int("1000") % 8), big_values(value=int("400") % 256)]
    hostile, after = recipe[lead], recipe[lead + 1]
    victims = {"list": recipe.clear, "dict": hostile.clear, "next dict": after.clear}

    def mutate():
        if recipe and (target == "list" or hostile or after):
            victims[target]()

    if hook == "reverse_bits":
        hostile["reverse_bits"] = numpy_like_bool(False, mutate)
    else:
        hostile[hook] = Index(int("8") if hook == "bits" else 0, mutate)
    if direction == "pack":
        call = lambda: b.pack_parameters(recipe)  # noqa: E731
    else:
        call = lambda: b.unpack_parameters(bytes(range(1, 100)), 0, recipe)  # noqa: E731
    result = clean_outcome(call)
    # The items were taken when the call began, so emptying the list changes
    # nothing; an emptied dict is missing its fields from then on.
    if isinstance(result, Exception):
        assert isinstance(result, ValueError), result
        assert str(result).startswith("KeyError: "), result
        assert target != "list"
    else:
        assert isinstance(result, bytes if direction == "pack" else dict)


def test_a_cleared_dict_is_not_read_after_a_numpy_like_bool_ran():
    # The truth slot empties the dict between reading reverse_bits and
    # reading offset_bits and value: both must be seen as absent, not read
    # from where they were before.
    it = big_values(offset_bits=int("1000"), value=int("100"))
    it["reverse_bits"] = numpy_like_bool(False, it.clear)
    result = assert_clean(lambda: b.pack_parameters([it]), raises=ValueError)
    assert str(result) == "KeyError: \"Recipe item 'field' missing required field: 'value'\""

    it = big_values(offset_bits=int("1000"))
    it["reverse_bits"] = numpy_like_bool(False, it.clear)
    assert b.unpack_parameters(b"\x05\x06", 0, [it]) == {"field": 5}


def test_a_later_item_mutated_by_an_earlier_one_is_read_afresh():
    second = big_values(value=int("200"))

    def swap():
        second["value"] = int("99")
        second["bits"] = int("16")

    first = big_values(value=int("100"))
    first["reverse_bits"] = numpy_like_bool(False, swap)
    # The sizing pass saw 8 + 8 bits; the writing pass reads the new width
    # and value of the second item, and the packet grows to hold them.
    assert b.pack_parameters([first, second]) == b"\x64\x00\x63"


class ShiftyKey(str):
    """A key equal to "bits" (same hash) whose comparison mutates the dict."""

    def __hash__(self):
        return hash("bits")

    def __eq__(self, other):
        victim = self.victim
        if victim is not None and "pad" in victim:
            del victim["pad"]
        return str.__eq__(self, other)

    __ne__ = str.__ne__


@pytest.mark.parametrize("direction", ["pack", "unpack"])
def test_key_whose_comparison_mutates_the_dict(direction):
    it = {"name": "a", "encoding": "unsigned", "byte_order": "big", "reverse_bits": False, "value": 1, "pad": 0}
    key = ShiftyKey("bits")
    key.victim = it
    it[key] = 8
    if direction == "pack":
        result = clean_outcome(lambda: b.pack_parameters([it]))
        assert result == b"\x01"
    else:
        assert clean_outcome(lambda: b.unpack_parameters(b"\x07", 0, [it])) == {"a": 7}


def test_dict_subclass_hooks_are_not_used():
    class Defaults(dict):
        def __getitem__(self, key):
            return 16

        def __missing__(self, key):
            return 16

        def get(self, key, default=None):
            return 16

    it = Defaults(item(value=3))
    assert b.pack_parameters([it]) == b"\x03"
    assert b.unpack_parameters(b"\x03", 0, [it]) == {"x": 3}
    del it["bits"]
    assert_clean(lambda: b.pack_parameters([it]), it, raises=ValueError, match="'bits'")


def test_str_subclasses_as_names_and_encodings():
    class Text(str):
        def lower(self):
            return "utf8"

        def __hash__(self):
            raise Boom("hashed")

        def __eq__(self, other):
            raise Boom("compared")

    it = item(name=Text("n"), encoding=Text("UNSIGNED"), byte_order=Text("Big"), value=5)
    assert b.pack_parameters([it]) == b"\x05"
    result = b.unpack_parameters(b"\x05", 0, [it])
    assert result == {"n": 5} and type(next(iter(result))) is str
    assert b.encode_utf8(Text("\xe9")) == b"\xc3\xa9"
    it = item(encoding=Text("utf-7"), value="a")
    assert_clean(lambda: b.pack_parameters([it]), raises=ValueError, match="Unsupported encoding type: utf-7")


def test_str_subclass_recipe_keys():
    class Key(str):
        pass

    it = {Key(k): v for k, v in item(value=9).items()}
    assert b.pack_parameters([it]) == b"\x09"
    assert b.unpack_parameters(b"\x09", 0, [it]) == {"x": 9}


def test_sequence_with_a_lying_length():
    class Huge:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, i):
            raise IndexError(i)

    assert b.pack_parameters(Huge()) == b""
    assert b.unpack_parameters(b"", 0, Huge()) == {}


def test_sequence_whose_iteration_fails():
    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise Boom("item")

    assert_clean(lambda: b.pack_parameters(Broken()), raises=Boom)


# --- Sizes and positions at their limits -----------------------------------

SMALL_WIDTHS = [0, 1, 63, 64, 65, 127, 128]
HUGE_WIDTHS = [2**32 - 8, 2**32 - 1]
OFFSETS = [None, 0, 7, 64, 65, 2**32 - 64, 2**32 - 1]
# A field of nearly 2^32 bits needs a byte form of 512 MiB: a few of them.
EDGES = [(w, o) for w in SMALL_WIDTHS for o in OFFSETS] + [(w, o) for w in HUGE_WIDTHS for o in (None, 2**32 - 64)]


@pytest.mark.parametrize("bits, offset", EDGES)
def test_pack_widths_and_offsets_at_the_edges(bits, offset):
    extra = {} if offset is None else {"offset_bits": offset}
    recipe = [item(value=1, bits=16), item(value=0, bits=bits, **extra)]
    # Positions are 32-bit and wrap; the packet is sized by the furthest end.
    end = max(16, ((16 if offset is None else offset) + bits) % 2**32)
    result = assert_clean(lambda: b.pack_parameters(recipe))
    assert isinstance(result, bytes), result
    assert len(result) == ((end + 7) % 2**32) // 8
    # The second field writes zeros over its whole (wrapping) run, so the
    # first item's low bit survives unless that run covers packet bit 15.
    start = 16 if offset is None else offset
    covered = (15 - start) % 2**32 < bits
    if len(result) >= 2:
        assert result[:2] == (b"\x00\x00" if covered else b"\x00\x01")


@pytest.mark.parametrize("bits", [0, 1, 63, 64, 65, 128, 2**32 - 8, 2**32 - 1])
@pytest.mark.parametrize("offset", [0, 7, 64, 2**32 - 64, 2**32 - 1])
@pytest.mark.parametrize("encoding", ["unsigned", "twos_complement", "packed_bcd", "utf8", "ieee754_f16"])
def test_unpack_widths_and_offsets_at_the_edges(bits, offset, encoding):
    packet = bytes(range(16))
    result = assert_clean(lambda: b.unpack_parameters(packet, offset, [item(bits=bits, encoding=encoding)]))
    assert isinstance(result, (dict, ValueError)), result


def test_a_million_items():
    n = 10**6
    recipe = [item(name="a", bits=1, value=i & 1) for i in range(n)]
    packet = b.pack_parameters(recipe)
    assert packet == b"\x55" * (n // 8)
    assert b.unpack_parameters(packet, 0, recipe[:8] + [item(name="b", bits=8, offset_bits=n - 8)]) == {
        "a": 1,
        "b": 0x55,
    }
    recipe = [item(name=str(i % 1000), bits=8) for i in range(n)]
    result = b.unpack_parameters(bytes(range(256)) * (n // 256 + 1), 0, recipe)
    assert len(result) == 1000 and result["999"] == (n - 1) % 256


def test_huge_text():
    text = "\u20ac" * 3_000_000
    assert b.decode_utf16be(b.encode_utf16be(text)) == text
    assert b.decode_utf32(b.encode_utf32(text)) == text
    assert b.decode_windows_1252(b.encode_windows_1252(text)) == text
    packet = b.pack_parameters([item(encoding="utf8", bits=8 * 9_000_000, value=text)])
    assert b.unpack_parameters(packet, 0, [item(encoding="utf8", bits=8 * len(packet))]) == {"x": text}


@pytest.mark.parametrize(
    "name",
    [
        n
        for n in b.__all__
        if n.startswith("encode_")
        and n not in ("encode_utf8",)
        and "ieee" not in n
        and "complement" not in n
        and "bcd" not in n
        and "magnitude" not in n
        and n.split("_")[1] not in ("ti", "dec", "ibm", "mil")
    ]
    + ["encode_utf8"],
)
@pytest.mark.parametrize("text", ["\ud800", "a\udfffb", "\udc80" * 3])
def test_lone_surrogates_never_reach_an_encoder(name, text):
    with pytest.raises(UnicodeEncodeError):
        getattr(b, name)(text)


# --- An earlier item changed by a later item's conversions ---------------


def _hooked(hook, change):
    """The later item's field `hook` as an object whose conversion runs
    `change` and then gives the field's ordinary value."""
    if hook == "reverse_bits":
        return numpy_like_bool(False, change)
    return Index({"bits": 32, "offset_bits": 32, "value": int("200000")}[hook], change)


@pytest.mark.parametrize(
    "direction, hook, expected",
    [
        # Packing reads bits and offset_bits of every item before writing
        # any: the first item is written with its new value. reverse_bits
        # and value convert after the first item is written.
        ("pack", "bits", b"\x00\x00\x00\x07\x00\x03\x0d\x40"),
        ("pack", "offset_bits", b"\x00\x00\x00\x07\x00\x03\x0d\x40"),
        ("pack", "reverse_bits", b"\x00\x01\x86\xa0\x00\x03\x0d\x40"),
        ("pack", "value", b"\x00\x01\x86\xa0\x00\x03\x0d\x40"),
        # Unpacking is done with the first item when the second converts.
        ("unpack", "bits", {"first": 0x01020304, "second": 0x05060708}),
        ("unpack", "offset_bits", {"first": 0x01020304, "second": 0x05060708}),
        ("unpack", "reverse_bits", {"first": 0x01020304, "second": 0x05060708}),
    ],
)
def test_an_earlier_item_changed_by_a_later_items_conversion(direction, hook, expected):
    # The first item's values are held by its dict alone, so replacing them
    # frees them: a stale read of one is caught by the sanitizer build.
    first = item(
        name=fresh("first"), encoding=fresh("unsigned"), bits=int("32"), byte_order=fresh("big"), value=int("100000")
    )
    second = item(
        name=fresh("second"), encoding=fresh("unsigned"), bits=32, byte_order=fresh("big"), value=int("200000")
    )

    def change():
        first.update(
            name=fresh("renamed"), encoding=fresh("UNSIGNED"), bits=int("32"), byte_order=fresh("big"), value=int("7")
        )

    second[hook] = _hooked(hook, change)
    if direction == "pack":
        result = b.pack_parameters([first, second])
    else:
        result = b.unpack_parameters(bytes(range(1, 20)), 0, [first, second])
    assert result == expected


def _plain(d):
    """The item as a later call would read it: hooks replaced by the values
    they give."""
    return {k: (v.result if isinstance(v, Index) else False if k == "reverse_bits" else v) for k, v in d.items()}


@pytest.mark.parametrize(
    "hook, victim",
    [
        # Converted in the sizing pass, changing an item already sized.
        ("bits", "first"),
        ("offset_bits", "first"),
        # Converted in the writing pass, changing an item not yet written.
        ("value", "third"),
        ("reverse_bits", "third"),
        ("bits", "third"),
    ],
)
@pytest.mark.parametrize("width", [8, 48, 64], ids=["narrowed", "widened", "widened to 64"])
def test_a_recipe_rewritten_during_the_call_packs_as_rewritten(hook, victim, width):
    # Every field of the recipe as it reads after the change is in the
    # packet, which is exactly as long as that recipe needs: none is cut off.
    recipe = [
        item(name="first", bits=32, value=int("100000")),
        item(name="second", bits=32, value=int("200000")),
        item(name="third", bits=16, value=0xABCD),
    ]
    target = recipe[["first", "second", "third"].index(victim)]

    def change():
        target["bits"] = width
        target["value"] = 0xA5

    recipe[1][hook] = _hooked(hook, change)
    result = assert_clean(lambda: b.pack_parameters(recipe))
    assert result == b.pack_parameters([_plain(d) for d in recipe])


@pytest.mark.parametrize("width", [0, 1, 16, 72])
def test_an_empty_recipe_widened_during_the_call(width):
    # The sizing pass sees no bits at all; the writing pass sees the widened
    # item, and the packet is as long as it needs.
    first = item(name="first", bits=0, value=0)

    def change():
        first.update(bits=width, value=width % 2)

    recipe = [first, item(name="second", bits=Index(0, change), value=0)]
    result = assert_clean(lambda: b.pack_parameters(recipe))
    assert result == b.pack_parameters([_plain(d) for d in recipe])
    assert len(result) == (width + 7) // 8


# --- Layouts: containers changed by Python code while the C++ walks them ----

from bitloom_io import Layout  # noqa: E402

BYTE = [item("a", "unsigned", 8)]


class Packet:
    """A packet whose __buffer__ runs `action` and gives `sizes[call]` bytes
    of `data` on each call."""

    def __init__(self, data, action=None, sizes=None):
        self.data, self.action, self.sizes, self.calls = data, action, sizes, 0

    def __buffer__(self, flags):
        self.calls += 1
        if self.action:
            self.action()
        size = self.sizes[min(self.calls, len(self.sizes)) - 1] if self.sizes else len(self.data)
        return memoryview(self.data[:size])


def packets_clearing_their_list():
    packets = [b"\x01"]
    packets += [Packet(b"\x02", packets.clear), b"\x03"]
    return packets


def packet_shrinking_on_a_second_call():
    return [Packet(b"\x05\x06", sizes=[2, 1]), b"\x07"]


class Column:
    """A column whose tolist() gives a list it keeps, which a value's
    __index__ empties."""

    def __init__(self, values):
        self.list = [Index(v, self.emptied) for v in values]

    def emptied(self):
        self.list.clear()

    def __len__(self):
        return 3

    def __getitem__(self, i):  # not numbers: numpy makes an array of objects
        if i >= 3:
            raise IndexError(i)
        return object()

    def tolist(self):
        return self.list


def width_dict_whose_key_replaces_the_field():
    """A dynamic width whose 'slope' lookup meets a key whose __eq__ replaces
    the 'field' value (the only reference to the str that was there)."""

    class SlopeKey:
        def __hash__(self):
            return hash("slope")

        def __eq__(self, other):
            width["field"] = "".join(["o", "ther"])
            return other == "slope"

    width = {"field": "".join(["co", "unt"]), SlopeKey(): 8, "intercept": 0}
    return [item("count", "unsigned", 8), item("text", "us_ascii", width)]


# (call, expected result or exception type): each runs under ASan in `make
# sanitize`, where a read of freed memory is a crash.
LAYOUT_HOSTILE = [
    pytest.param(
        lambda: Layout(BYTE).unpack_many(packets_clearing_their_list())["a"].tolist(),
        [1, 2, 3],
        id="unpack_many: a packet's __buffer__ clears the list",
    ),
    pytest.param(
        lambda: Layout(BYTE).unpack_many(packet_shrinking_on_a_second_call(), errors="mask")["a"].tolist(),
        [5, 7],
        id="unpack_many: a packet gives another size on a second call",
    ),
    pytest.param(
        lambda: Layout(BYTE).pack_many({"a": Column([4, 5, 6])}),
        b"\x04\x05\x06",
        id="pack_many: a value's __index__ empties the column's tolist() list",
    ),
    pytest.param(
        lambda: Layout(width_dict_whose_key_replaces_the_field()).unpack(b"\x02hi"),
        {"count": 2, "text": "hi"},
        id="Layout: a width key's __eq__ replaces width['field']",
    ),
]


@pytest.mark.parametrize("call, expected", LAYOUT_HOSTILE)
def test_layout_calls_hold_what_they_walk(call, expected):
    result = clean_outcome(call)
    if isinstance(expected, type):
        assert isinstance(result, expected), result
    else:
        assert result == expected
