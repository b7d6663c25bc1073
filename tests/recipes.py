"""Helpers for building recipe items in tests."""


def item(name="x", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order, "reverse_bits": reverse_bits}
    d.update(extra)
    return d


def without(d, *keys):
    return {k: v for k, v in d.items() if k not in keys}
