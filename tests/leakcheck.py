"""Helpers for the leak, reference-count and hostile-input tests."""

import copy
import ctypes
import gc
import sys


def fresh(s):
    """A new str object equal to s (literals are interned and immortal, so
    their reference counts say nothing)."""
    return "".join(list(s)) if s else ""


def objects_in(obj, seen=None):
    """obj and everything reachable from it through lists, tuples and dicts
    (keys and values), each once."""
    seen = {} if seen is None else seen
    if id(obj) in seen:
        return seen
    seen[id(obj)] = obj
    if isinstance(obj, (list, tuple)):
        for x in obj:
            objects_in(x, seen)
    elif isinstance(obj, dict):
        for k, v in obj.items():
            objects_in(k, seen)
            objects_in(v, seen)
    return seen


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _native_heap_probe():
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return lambda: 0
    fn.restype = _MallInfo2
    return lambda: fn().uordblks + fn().hblkhd


native_heap_bytes = _native_heap_probe()


def outcome(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the type is the outcome
        return type(e)
    return None


def assert_no_leak(call, watched=(), calls=400, warmup=40, rounds=3):
    """Runs call (which may raise) many times: the interpreter's allocated
    blocks, the native heap and the reference counts of every object reachable
    from `watched` must come back to where they were, and those objects must
    still be equal to a deep copy taken before.

    The interpreter fills caches of its own on first use, so a round whose
    block count grew is retried: a real leak grows in every round."""
    for _ in range(warmup):
        outcome(call)
    objs = list(objects_in(watched).values())
    snapshot = copy.deepcopy(watched)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    for _attempt in range(rounds):
        blocks = sys.getallocatedblocks()
        heap = native_heap_bytes()
        for _ in range(calls):
            outcome(call)
        gc.collect()
        block_growth = sys.getallocatedblocks() - blocks
        heap_growth = native_heap_bytes() - heap
        # One leaked object or buffer per call shows up as `calls` blocks or
        # at least 32 bytes a call.
        if block_growth < calls // 10 and heap_growth < calls * 8:
            break
    else:
        raise AssertionError(f"after {calls} calls, {block_growth} blocks and {heap_growth} native heap bytes more")
    after = [sys.getrefcount(o) for o in objs]
    changed = [(type(o).__name__, r0, r1) for o, r0, r1 in zip(objs, refs, after) if r0 != r1]
    assert not changed, f"reference counts changed: {changed}"
    assert watched == snapshot, "the arguments were modified"
