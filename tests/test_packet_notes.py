"""Packet errors carry a note naming the recipe item they concern; the
exception's type and text stay as they are."""

import pytest

import bitloom as b
from leakcheck import fresh
from recipes import item, without
from test_hostile import Boom, Index

PACKET = b"\x01\x02"


def failure(call):
    with pytest.raises(Exception) as error:
        call()
    return error.value


@pytest.mark.parametrize(
    "call, text, note",
    [
        (
            lambda: b.unpack_parameters(PACKET, 0, [item("a"), item("batt_mV", bits=16)]),
            "ValueError: Field 'batt_mV' needs 2 bytes from byte 1 but the packet has 2 bytes",
            "in recipe item 1 ('batt_mV', unsigned, 16 bits)",
        ),
        (
            lambda: b.unpack_parameters(PACKET, 0, [item("t", encoding="UTF-7")]),
            "ValueError: Unsupported encoding type: UTF-7",
            "in recipe item 0 ('t', UTF-7, 8 bits)",
        ),
        (
            lambda: b.unpack_parameters(PACKET, 0, [item("a"), 5]),
            "TypeError: 'int' object cannot be cast as 'dict'",
            "in recipe item 1",
        ),
        (
            lambda: b.unpack_parameters(PACKET, 0, [without(item(), "name")]),
            "KeyError: \"Recipe missing required field: 'name'\"",
            "in recipe item 0",
        ),
        (
            lambda: b.unpack_parameters(PACKET, 0, [item("a", bits=-1)]),
            "OverflowError: can't convert negative int to unsigned",
            "in recipe item 0 ('a', unsigned)",
        ),
        (
            lambda: b.unpack_parameters(PACKET, 0, [item("a", byte_order="middle")]),
            "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'",
            "in recipe item 0 ('a', unsigned, 8 bits)",
        ),
        (
            lambda: b.pack_parameters([item("mode", value=1), item("temp")]),
            "KeyError: \"Recipe item 'temp' missing required field: 'value'\"",
            "in recipe item 1 ('temp', unsigned, 8 bits)",
        ),
        (
            lambda: b.pack_parameters([item("v", value=256)]),
            "ValueError: Value 256 is too large for 8 bits",
            "in recipe item 0 ('v', unsigned, 8 bits)",
        ),
        # The sizing pass reads bits and offset_bits only; the note names
        # what the item's dict plainly holds.
        (
            lambda: b.pack_parameters([item("a", value=1), item("b", bits=-3, value=1)]),
            "OverflowError: can't convert negative int to unsigned",
            "in recipe item 1 ('b', unsigned)",
        ),
        (
            lambda: b.pack_parameters([item("a", value=1, offset_bits=-1)]),
            "OverflowError: can't convert negative int to unsigned",
            "in recipe item 0 ('a', unsigned, 8 bits)",
        ),
        (
            lambda: b.pack_parameters([item("a", value=1), [1]]),
            "TypeError: 'list' object cannot be cast as 'dict'",
            "in recipe item 1",
        ),
    ],
)
def test_packet_errors_name_the_item(call, text, note):
    error = failure(call)
    assert type(error) is ValueError
    assert str(error) == text
    assert error.__notes__ == [note]


def test_the_note_survives_the_item_being_emptied_by_its_value():
    # The value's conversion empties the dict that held the name and the
    # encoding before it fails.
    it = item(name=fresh("gone"), encoding=fresh("unsigned"), byte_order=fresh("big"))
    it["value"] = Index(Boom("no"), it.clear)
    error = failure(lambda: b.pack_parameters([it]))
    assert str(error) == "Boom: no"
    assert error.__notes__ == ["in recipe item 0 ('gone', unsigned, 8 bits)"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: b.pack_parameters("not a recipe"),
        lambda: b.unpack_parameters(bytearray(2), 0, [item()]),
        lambda: b.decode_twos_complement(-1, 8),
    ],
)
def test_errors_outside_recipe_items_have_no_note(call):
    assert not hasattr(failure(call), "__notes__")
