"""bitloom against the libraries users would pick instead.

Every case times bitloom and its baseline in the same process, alternating
between the two, and reports the median times and the median of the rounds'
ratios. The packet functions are measured against the floor of
their interface (bench/floor, built by `make bench`). Prints one table
(case, bitloom time, baseline time, ratio, target, met) and writes it as
JSON to bench/results.json. Run with `make bench`.
"""

from __future__ import annotations

import argparse
import json
import operator
import os
import platform
import random
import statistics
import struct
import sys
import time
import timeit

import bitloom

# The floor baseline (bench/floor, built by `make bench`): a minimal C
# extension that only walks every item's dict and builds the result.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor"))
try:
    import _floor
except ImportError:  # run without `make bench`: build it first
    _floor = None

FLOOR = "floor (dict walk + result)"

ROWS: list[dict] = []


def per_call(fn, number):
    """Nanoseconds per call. `fn` is a callable or a timeit.Timer (a
    statement compiled into the timing loop, with no extra call frame)."""
    if isinstance(fn, timeit.Timer):
        return fn.timeit(number) / number * 1e9
    start = time.perf_counter_ns()
    for _ in range(number):
        fn()
    return (time.perf_counter_ns() - start) / number


def calibrate(fn, budget_ns):
    number = 1
    while True:
        elapsed = per_call(fn, number) * number
        if elapsed >= budget_ns / 4 or number >= 1 << 22:
            return max(1, int(number * budget_ns / max(elapsed, 1)))
        number *= 4


def compare(case, ours, base, baseline, target=None, rounds=15, budget_ns=4_000_000, note=""):
    """Median time per call of `ours` and `base`, measured alternately, and
    the median of the rounds' ratios."""
    n_ours, n_base = calibrate(ours, budget_ns), calibrate(base, budget_ns)
    t_ours, t_base = [], []
    for _ in range(rounds):
        t_ours.append(per_call(ours, n_ours))
        t_base.append(per_call(base, n_base))
    mo, mb = statistics.median(t_ours), statistics.median(t_base)
    ratio = statistics.median(o / b for o, b in zip(t_ours, t_base))
    row = {
        "case": case,
        "baseline": baseline,
        "bitloom_ns": round(mo, 1),
        "baseline_ns": round(mb, 1),
        "ratio": round(ratio, 3),
        "target": target,
        "met": None if target is None else ratio <= target,
        "note": note,
    }
    ROWS.append(row)
    print(format_row(row), flush=True)
    return row


def format_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:8.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:8.2f} us"
    return f"{ns:8.1f} ns"


def format_row(row):
    target = "report" if row["target"] is None else f"<= {row['target']}"
    met = "" if row["met"] is None else ("met" if row["met"] else "NOT MET")
    return (
        f"{row['case']:<34} {format_time(row['bitloom_ns'])} {row['baseline']:<30} "
        f"{format_time(row['baseline_ns'])} {row['ratio']:6.2f}  {target:<7} {met}"
    )


# --- 1. call overhead --------------------------------------------------------


def bench_call_overhead():
    glbs = {"f": bitloom.decode_twos_complement, "g": operator.xor}
    compare(
        "call overhead",
        timeit.Timer("f(0xFFFB, 16)", globals=glbs),
        timeit.Timer("g(0xFFFB, 16)", globals=glbs),
        "operator.xor",
        1.3,
    )


# --- 2./3. HK16 ----------------------------------------------------------------


def field(name, encoding, bits, value, byte_order="big"):
    return {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": False,
        "value": value,
    }


def hk16(all_big=False):
    little = "big" if all_big else "little"
    return [
        field("mode", "unsigned", 8, 3),
        field("v_bus", "unsigned", 16, 28125),
        field("i_bus", "unsigned", 16, 1540, little),
        field("uptime", "unsigned", 32, 86400),
        field("t_batt", "twos_complement", 16, -1275),
        field("wheel", "twos_complement", 32, -3021),
        field("sun", "ieee754_f32", 32, 37.25),
        field("phase", "ieee754_f64", 64, 2.0943951023931953),
        field("flags", "unsigned", 8, 0x12),
        field("v_panel", "unsigned", 16, 31000),
        field("i_panel", "unsigned", 16, 870, little),
        field("counter", "unsigned", 32, 123456),
        field("t_obc", "twos_complement", 16, 2150),
        field("torque", "twos_complement", 32, -77),
        field("heading", "ieee754_f32", 32, -0.5),
        field("tag", "us_ascii", 64, "HK-NOMNL"),
    ]


def full_range(recipe, seed=7):
    """The recipe with every integer value drawn from the whole range of its
    field's width (as 32-bit times, counters and checksums are), floats from
    the whole range of doubles that round-trip through their format."""
    rng = random.Random(seed)
    out = []
    for it in recipe:
        width, value = it["bits"], it["value"]
        if it["encoding"] == "unsigned":
            value = rng.randrange(1 << (width - 1), 1 << width)  # the top bit set: the widest value
        elif it["encoding"] == "twos_complement":
            value = rng.choice([-1, 1]) * rng.randrange(1 << (width - 2), 1 << (width - 1)) if width > 2 else -1
        elif it["encoding"] == "ieee754_f32":
            value = struct.unpack(">f", struct.pack(">f", rng.uniform(-3e38, 3e38)))[0]
        elif it["encoding"] == "ieee754_f64":
            value = rng.uniform(-1e308, 1e308)
        out.append(dict(it, value=value))
    return out


def with_value(recipe, name, value):
    return [dict(it, value=value) if it["name"] == name else it for it in recipe]


HK16_STRUCT = struct.Struct(">BHHIhifdBHHIhif8s")
HK16_BITSTRUCT = "u8u16u16u32s16s32f32f64u8u16u16u32s16s32f32t64"


def hk16_struct_unpack(packet, names):
    # Little-endian fields are byte-swapped by hand, as struct has one byte
    # order per format.
    s = HK16_STRUCT
    swap = struct.Struct("<H").unpack_from

    def run():
        values = list(s.unpack_from(packet))
        values[2] = swap(packet, 3)[0]
        values[10] = swap(packet, 30)[0]
        values[15] = values[15].decode("ascii")
        return dict(zip(names, values))

    return run


def bench_hk16():
    recipe = hk16()
    packet = bitloom.pack_parameters(recipe) + bytes(10)  # a 64-byte packet
    assert len(packet) == 64
    names = [r["name"] for r in recipe]
    ours = lambda: bitloom.unpack_parameters(packet, 0, recipe)
    if _floor is not None:
        compare("HK16 unpack", ours, lambda: _floor.unpack(packet, 0, recipe), FLOOR, 1.25)
    base = hk16_struct_unpack(packet, names)
    assert ours() == {k: (v if not isinstance(v, float) else v) for k, v in base().items()}
    compare("HK16 unpack", ours, base, "struct + dict(zip)", 2.0)

    big = hk16(all_big=True)
    big_packet = bitloom.pack_parameters(big) + bytes(10)
    ours_big = lambda: bitloom.unpack_parameters(big_packet, 0, big)
    try:
        import bitstruct.c as bsc

        expected = ours_big()
        got = bsc.unpack_dict(HK16_BITSTRUCT, names, big_packet)
        assert got.keys() == expected.keys()
        compare(
            "HK16 unpack (big-endian)",
            ours_big,
            lambda: bsc.unpack_dict(HK16_BITSTRUCT, names, big_packet),
            "bitstruct.c.unpack_dict",
        )
    except ImportError as e:
        print(f"bitstruct not available: {e}")
    try:
        import cbitstruct

        compare(
            "HK16 unpack (big-endian)",
            ours_big,
            lambda: cbitstruct.unpack_dict(HK16_BITSTRUCT, names, big_packet),
            "cbitstruct.unpack_dict",
        )
    except ImportError:
        print("cbitstruct does not install for this Python; not compared")
    try:
        import construct as c

        layout = c.Struct(
            "mode" / c.Int8ub,
            "v_bus" / c.Int16ub,
            "i_bus" / c.Int16ul,
            "uptime" / c.Int32ub,
            "t_batt" / c.Int16sb,
            "wheel" / c.Int32sb,
            "sun" / c.Float32b,
            "phase" / c.Float64b,
            "flags" / c.Int8ub,
            "v_panel" / c.Int16ub,
            "i_panel" / c.Int16ul,
            "counter" / c.Int32ub,
            "t_obc" / c.Int16sb,
            "torque" / c.Int32sb,
            "heading" / c.Float32b,
            "tag" / c.PaddedString(8, "ascii"),
        )
        compare("HK16 unpack", ours, lambda: layout.parse(packet), "construct Struct.parse")
    except ImportError:
        print("construct not available")

    # Packing: values are gathered from the same dicts for the baseline.
    ours_pack = lambda: bitloom.pack_parameters(recipe)
    if _floor is not None:
        compare("HK16 pack", ours_pack, lambda: _floor.pack(recipe), FLOOR, 1.35)
    s = HK16_STRUCT

    def struct_pack():
        values = [r["value"] for r in recipe]
        values[2] = int.from_bytes(values[2].to_bytes(2, "little"), "big")
        values[10] = int.from_bytes(values[10].to_bytes(2, "little"), "big")
        values[15] = values[15].encode("ascii")
        return s.pack(*values)

    assert struct_pack() == ours_pack()
    compare("HK16 pack", ours_pack, struct_pack, "Struct.pack + gathering", 2.0)

    # Values as wide as their fields: no slower than small ones.
    timed = with_value(recipe, "uptime", 1_700_000_000)
    assert bitloom.unpack_parameters(bitloom.pack_parameters(timed), 0, timed)["uptime"] == 1_700_000_000
    compare(
        "HK16 pack, 32-bit time 1.7e9",
        lambda: bitloom.pack_parameters(timed),
        ours_pack,
        "same packet, small values",
        1.1,
    )
    full = full_range(recipe)
    full_packet = bitloom.pack_parameters(full) + bytes(10)
    if _floor is not None:
        compare(
            "HK16 unpack, full-range values",
            lambda: bitloom.unpack_parameters(full_packet, 0, full),
            lambda: _floor.unpack(full_packet, 0, full),
            FLOOR,
            1.25,
        )
        compare(
            "HK16 pack, full-range values",
            lambda: bitloom.pack_parameters(full),
            lambda: _floor.pack(full),
            FLOOR,
            1.35,
        )
    try:
        import bitstruct.c as bsc

        values = {r["name"]: r["value"] for r in big}
        assert bsc.pack_dict(HK16_BITSTRUCT, names, values) == bitloom.pack_parameters(big)
        compare(
            "HK16 pack (big-endian)",
            lambda: bitloom.pack_parameters(big),
            lambda: bsc.pack_dict(HK16_BITSTRUCT, names, values),
            "bitstruct.c.pack_dict",
        )
    except ImportError:
        pass


# --- 4. BIT32 ----------------------------------------------------------------


def bit32():
    """32 fields of 1 to 13 bits, unsigned and two's complement: the recipe,
    the bitstruct format and the values by name."""
    recipe, fmt, values = [], "", {}
    for i in range(32):
        width = i % 13 + 1
        name = f"p{i}"
        if i % 2 == 0 or width == 1:
            value = (i * 37) % (1 << width)
            recipe.append(field(name, "unsigned", width, value))
            fmt += f"u{width}"
        else:
            value = -((i * 11) % (1 << (width - 1)))
            recipe.append(field(name, "twos_complement", width, value))
            fmt += f"s{width}"
        values[name] = value
    return recipe, fmt, values


def bench_bit32():
    recipe, fmt, values = bit32()
    names = list(values)
    ours = lambda: bitloom.pack_parameters(recipe)
    if _floor is not None:
        compare("BIT32 pack", ours, lambda: _floor.pack(recipe), FLOOR, 1.35)
        full = full_range(recipe)
        compare(
            "BIT32 pack, full-range values",
            lambda: bitloom.pack_parameters(full),
            lambda: _floor.pack(full),
            FLOOR,
            1.35,
        )
    try:
        import bitstruct.c as bsc
    except ImportError:
        print("bitstruct not available")
        return
    expected = bsc.pack_dict(fmt, names, values)
    assert bitloom.pack_parameters(recipe) == expected
    compare("BIT32 pack", ours, lambda: bsc.pack_dict(fmt, names, values), "bitstruct.c.pack_dict")
    compiled = bsc.compile(fmt, names)
    compare("BIT32 pack", ours, lambda: compiled.pack(values), "bitstruct.c compiled pack")


# --- 5. scale ----------------------------------------------------------------


def bench_scale():
    base = hk16()[:15]
    timers = {}  # (direction, n) -> (timer, calls per round)
    for n in (10, 100, 1000, 10000):
        recipe = [dict(base[i % len(base)], name=f"f{i}") for i in range(n)]
        packet = bitloom.pack_parameters(recipe)
        glbs = {
            "pack": bitloom.pack_parameters,
            "unpack": bitloom.unpack_parameters,
            "recipe": recipe,
            "packet": packet,
        }
        for direction, fn in (
            ("pack", timeit.Timer("pack(recipe)", globals=glbs)),
            ("unpack", timeit.Timer("unpack(packet, 0, recipe)", globals=glbs)),
        ):
            timers[direction, n] = (fn, calibrate(fn, 4_000_000))
    # The best of rounds taken in turn across the sizes: other work on the
    # machine only ever adds time, and this row compares the module with
    # itself, so a busy spell must not fall on one size alone.
    best = {key: float("inf") for key in timers}
    for _ in range(15):
        for key, (fn, number) in timers.items():
            best[key] = min(best[key], per_call(fn, number))
    per_item = {"pack": {}, "unpack": {}}
    for (direction, n), t in best.items():
        per_item[direction][n] = t / n
    for direction, costs in per_item.items():
        lo, hi = min(costs.values()), max(costs.values())
        row = {
            "case": f"scale {direction} 10..10000",
            "baseline": "own smallest per-item cost",
            "bitloom_ns": round(hi, 1),
            "baseline_ns": round(lo, 1),
            "ratio": round(hi / lo, 3),
            "target": 1.3,
            "met": hi / lo <= 1.3,
            "note": ", ".join(f"{n}: {c:.1f} ns/item" for n, c in costs.items()),
        }
        ROWS.append(row)
        print(format_row(row), "  ", row["note"], flush=True)


# --- 6. text -----------------------------------------------------------------

MIB = 1 << 20


def sample_texts():
    ascii_heavy = ("Telemetry frame 0042: all nominal; battery 28.1 V, temp 21.5 C. " * 20000)[:MIB]
    mixed_words = ["naïve", "Ωmega", "Привет", "データ", "温度", "😀", "ascii", "ελληνικά", "עברית", "한국어"]
    mixed = (" ".join(mixed_words) + " ") * 1
    mixed = mixed * (MIB // len(mixed.encode()) + 1)
    return {"ascii-heavy": ascii_heavy, "mixed-script": mixed[: MIB // 3]}


UTF = [
    ("utf8", "utf-8", bitloom.encode_utf8, bitloom.decode_utf8),
    ("utf16", "utf-16", bitloom.encode_utf16, bitloom.decode_utf16),
    ("utf16le", "utf-16-le", bitloom.encode_utf16le, bitloom.decode_utf16le),
    ("utf16be", "utf-16-be", bitloom.encode_utf16be, bitloom.decode_utf16be),
    ("utf32", "utf-32", bitloom.encode_utf32, bitloom.decode_utf32),
    ("utf32le", "utf-32-le", bitloom.encode_utf32le, bitloom.decode_utf32le),
    ("utf32be", "utf-32-be", bitloom.encode_utf32be, bitloom.decode_utf32be),
]

SINGLE = [
    ("us_ascii", "ascii", bitloom.encode_us_ascii, bitloom.decode_us_ascii),
    ("iso_8859_1", "latin-1", bitloom.encode_iso_8859_1, bitloom.decode_iso_8859_1),
    ("windows_1252", "cp1252", bitloom.encode_windows_1252, bitloom.decode_windows_1252),
]


def bench_text():
    texts = sample_texts()
    for label, text in texts.items():
        for name, codec, enc, dec in UTF:
            data = enc(text)
            assert dec(data) == text
            compare(
                f"{name} encode, {label}",
                lambda: enc(text),
                lambda: text.encode(codec),
                f"str.encode('{codec}')",
                1.2,
                rounds=9,
            )
            compare(
                f"{name} decode, {label}",
                lambda: dec(data),
                lambda: data.decode(codec),
                f"bytes.decode('{codec}')",
                1.2,
                rounds=9,
            )
    latin = ("Café crème à la française, déjà vu. " * 40000)[:MIB]
    cp1252 = ("Price: 12 € – “quoted” text… " * 40000)[:MIB]
    sources = {"us_ascii": texts["ascii-heavy"], "iso_8859_1": latin, "windows_1252": cp1252}
    for name, codec, enc, dec in SINGLE:
        text = sources[name]
        data = text.encode(codec)
        assert enc(text) == data and dec(data) == text
        compare(
            f"{name} encode", lambda: enc(text), lambda: text.encode(codec), f"str.encode('{codec}')", 1.5, rounds=9
        )
        compare(
            f"{name} decode", lambda: dec(data), lambda: data.decode(codec), f"bytes.decode('{codec}')", 1.5, rounds=9
        )


# --- 7. binary16 ---------------------------------------------------------------


def bench_f16():
    pack, unpack = struct.pack, struct.unpack
    x, h, hb = 0.333251953125, 0x3555, b"\x55\x35"
    assert bitloom.encode_ieee754_f16(x) == int.from_bytes(pack("<e", x), "little")
    assert bitloom.decode_ieee754_f16(h) == unpack("<e", hb)[0]
    glbs = {
        "enc": bitloom.encode_ieee754_f16,
        "dec": bitloom.decode_ieee754_f16,
        "pack": pack,
        "unpack": unpack,
        "x": x,
        "h": h,
        "hb": hb,
    }
    compare(
        "binary16 encode",
        timeit.Timer("enc(x)", globals=glbs),
        timeit.Timer("pack('<e', x)", globals=glbs),
        "struct.pack('<e')",
        1.0,
    )
    compare(
        "binary16 decode",
        timeit.Timer("dec(h)", globals=glbs),
        timeit.Timer("unpack('<e', hb)", globals=glbs),
        "struct.unpack('<e')",
        1.0,
    )


CASES = {
    "call": bench_call_overhead,
    "hk16": bench_hk16,
    "bit32": bench_bit32,
    "scale": bench_scale,
    "text": bench_text,
    "f16": bench_f16,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cases", nargs="*", choices=[*CASES, []], help="cases to run (default: all)")
    parser.add_argument("--json", default=os.path.join(os.path.dirname(__file__), "results.json"))
    args = parser.parse_args()
    print(f"{'case':<34} {'bitloom':>11} {'baseline':<30} {'time':>11} {'ratio':>6}  target")
    for name in args.cases or CASES:
        CASES[name]()
    write_results(args.json)


def write_results(path, **machine):
    """Writes the rows with a description of the machine (and any `machine`
    entries a benchmark adds) and prints how many targets were missed."""
    machine = {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "processor": platform.processor(),
        "cpus": os.cpu_count(),
        **machine,
    }
    with open(path, "w") as f:
        json.dump({"machine": machine, "rows": ROWS}, f, indent=2)
    missed = [r for r in ROWS if r["met"] is False]
    print(f"\n{len(ROWS)} rows, {len(missed)} targets not met; table written to {path}")


if __name__ == "__main__":
    main()
