"""Call overhead of a published function against a C builtin of the same
call shape (two small ints in, one int out), measured in the same run."""

import operator
import statistics
import sys
import timeit

import bitloom

REPEATS = 15
NUMBER = 200_000


def median_ns(stmt, glbs):
    timer = timeit.Timer(stmt, globals=glbs)
    runs = timer.repeat(repeat=REPEATS, number=NUMBER)
    return statistics.median(runs) / NUMBER * 1e9


def measure():
    glbs = {"f": bitloom.decode_twos_complement, "g": operator.xor}
    ours, base = [], []
    for _ in range(3):  # alternate to spread machine noise over both
        ours.append(median_ns("f(0xFFFB, 16)", glbs))
        base.append(median_ns("g(0xFFFB, 16)", glbs))
    return statistics.median(ours), statistics.median(base)


if __name__ == "__main__":
    ours, base = measure()
    ratio = ours / base
    print(f"decode_twos_complement(0xFFFB, 16): {ours:.1f} ns  operator.xor: {base:.1f} ns  ratio {ratio:.2f} (target <= 1.3)")
    sys.exit(0)
