"""Type-checking cases for recipes, never run: `make typecheck` runs
`mypy --strict` over this file.

Recipes are accepted the way people write them: unannotated literals,
`dict(...)`, helper results mixed with literals, and JSON. Code that
annotates with RecipeItem gets its items checked key by key. The refused
cases carry an ignore with the exact error code, so a stub that stops
catching them leaves an unused ignore, which --strict reports.
"""

import json
from typing import TYPE_CHECKING, Any

import bitloom

if TYPE_CHECKING:
    from bitloom import RecipeItem

PACKET = b"\x01\x02\x03\x04"


def plain_literal() -> None:
    # Inferred as list[dict[str, object]].
    recipe = [
        {"name": "apid", "encoding": "unsigned", "bits": 11, "offset_bits": 5, "byte_order": "big",
         "reverse_bits": False, "value": 0x123},
        {"name": "temp", "encoding": "twos_complement", "bits": 16, "byte_order": "big", "reverse_bits": False,
         "value": -5},
    ]
    bitloom.pack_parameters(recipe)
    bitloom.unpack_parameters(PACKET, 0, recipe)
    bitloom.unpack_parameters(PACKET, 0, tuple(recipe))
    one = {"name": "mode", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}
    bitloom.unpack_parameters(PACKET, 0, [one])
    bitloom.pack_parameters([{**one, "value": 3}])


def built_with_dict() -> None:
    base = dict(encoding="unsigned", bits=8, byte_order="big", reverse_bits=False)
    recipe = [dict(base, name="a", value=1), dict(base, name="b", value=2)]
    bitloom.pack_parameters(recipe)
    bitloom.pack_parameters([dict(name="c", encoding="utf8", bits=16, byte_order="big", reverse_bits=False,
                                  value="hi")])


def from_json(text: str) -> None:
    loaded = json.loads(text)
    bitloom.pack_parameters(loaded)
    bitloom.unpack_parameters(PACKET, 0, loaded["recipe"])
    declared: list[dict[str, Any]] = json.loads(text)
    bitloom.pack_parameters(declared)
    loose: list[dict[str, object]] = json.loads(text)
    bitloom.unpack_parameters(PACKET, 0, loose)


def field(name: str, bits: int) -> "RecipeItem":
    # `value` (and `offset_bits`) may be left out of a RecipeItem.
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False}


def loose_field(name: str, bits: int, **keys: object) -> dict[str, object]:
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False, **keys}


def helpers() -> None:
    bitloom.unpack_parameters(PACKET, 0, [field("a", 8), field("b", 8)])
    bitloom.pack_parameters([loose_field("a", 8, value=1), loose_field("b", 8, value=2, offset_bits=16)])
    # A RecipeItem and a plain literal in one list join to Mapping[str, object].
    mixed = [field("a", 8), {"name": "b", "encoding": "unsigned", "bits": 8, "byte_order": "big",
                             "reverse_bits": False}]
    bitloom.unpack_parameters(PACKET, 0, mixed)
    item = field("c", 16)
    item["value"] = 0x1234
    bitloom.pack_parameters([item])


def annotated_items_are_checked() -> None:
    missing: RecipeItem = {"name": "x", "encoding": "unsigned", "bits": 8}  # type: ignore[typeddict-item]
    wrong_bits: RecipeItem = {
        "name": "x", "encoding": "unsigned", "bits": "8", "byte_order": "big",  # type: ignore[typeddict-item]
        "reverse_bits": False,
    }
    misspelt: list[RecipeItem] = [
        {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
         "offest_bits": 8},  # type: ignore[typeddict-unknown-key]
    ]
    no_none: RecipeItem = {
        "name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False,
        "value": None,  # type: ignore[typeddict-item]
    }
    del missing, wrong_bits, misspelt, no_none


def refused_recipes() -> None:
    bitloom.pack_parameters([1, 2])  # type: ignore[list-item]
    bitloom.pack_parameters(["name", "x"])  # type: ignore[list-item]
    bitloom.unpack_parameters(PACKET, 0, [[("name", "x")]])  # type: ignore[list-item]
    bitloom.pack_parameters({"name": "x"})  # type: ignore[arg-type]
    bitloom.pack_parameters([{1: "x"}])  # type: ignore[dict-item]
    numbers: list[int] = []
    bitloom.pack_parameters(numbers)  # type: ignore[arg-type]
