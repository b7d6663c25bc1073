"""Several threads calling pack and unpack at once get the same results as
one thread. Some recipes call back into Python (an __index__) in the middle
of a call, which lets the interpreter switch threads there."""

import sys
import threading

import pytest

import bitloom as b
from recipes import item


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def recipes():
    out = []
    for k in range(12):
        out.append(
            [
                item(name="a", bits=8 + k, value=k * 37 % (2 ** (8 + k)), byte_order="little" if k % 2 else "big"),
                item(name="b", encoding="twos_complement", bits=Index(16), value=-k - 1, reverse_bits=k % 3 == 0),
                item(
                    name="c",
                    encoding="utf-16le" if k % 2 else "windows_1252",
                    bits=8 * 2 * (k + 1),
                    value="\u20ac" * (k + 1) if k % 2 else "\xe9" * (2 * k + 2),
                ),
                item(name="d", encoding="packed_bcd_signed", bits=24, value=k * 111 - 500, offset_bits=Index(200)),
                item(name="e", encoding="ieee754_f32", bits=32, value=k / 3),
            ]
        )
    return out


def run_all(recipe_list):
    results = []
    for recipe in recipe_list:
        packet = b.pack_parameters(recipe)
        results.append((packet, b.unpack_parameters(packet, 0, recipe), b.decode_utf8(packet[:0])))
        try:
            b.pack_parameters(recipe + [item(value=-1)])
        except ValueError as e:
            results.append(str(e))
    return results


def test_threads_agree_with_one_thread():
    recipe_list = recipes()
    expected = run_all(recipe_list)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        outcomes = []
        errors = []

        def worker(rounds):
            try:
                for _ in range(rounds):
                    outcomes.append(run_all(recipe_list))
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(25,)) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors
    assert len(outcomes) == 6 * 25
    assert all(o == expected for o in outcomes)


@pytest.mark.parametrize(
    "fn, args",
    [
        (b.encode_utf16, ("\U0001f600abc" * 50,)),
        (b.decode_windows_1252, (bytes(range(256)) * 4,)),
        (b.encode_packed_bcd, (1234567, 32, True)),
    ],
)
def test_single_value_functions_from_many_threads(fn, args):
    expected = fn(*args)
    results = []

    def worker():
        results.extend(fn(*args) for _ in range(2000))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8000 and all(r == expected for r in results)
