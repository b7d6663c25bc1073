"""Helpers for building recipe items in tests."""


def item(name="x", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order, "reverse_bits": reverse_bits}
    d.update(extra)
    return d


def valued(name, encoding, bits, value=None, byte_order="big", reverse_bits=False, **extra):
    """An item with its value in fourth place, left out when None (the
    layout tests' tables)."""
    d = item(name, encoding, bits, byte_order, reverse_bits, **extra)
    if value is not None:
        d["value"] = value
    return d


def field(name, bits=8, encoding="unsigned", offset_bits=None, **extra):
    """An item by name and width first, placed at ``offset_bits`` when given
    (the packet-file tests' layouts)."""
    d = item(name, encoding, bits, **extra)
    if offset_bits is not None:
        d["offset_bits"] = offset_bits
    return d


def without(d, *keys):
    return {k: v for k, v in d.items() if k not in keys}
