"""Memory stays flat over 10^5 calls of every callable, succeeding and failing,
and the calls leave their arguments' reference counts as they found them.

Marked `leak`: slow, and meaningless under the sanitizers' allocators."""

import sys

import numpy as np
import pytest

import corvane._rust as rust

pytestmark = pytest.mark.leak

CALLS = 100_000
Fault = rust.Fault


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


class Index:
    def __index__(self):
        raise ZeroDivisionError


def draw(p):
    if p.size == 0 and p.initial_size > 0:
        p.reset()
    return next(p)


def cases():
    f32, u16, u8 = np.ones(16, np.float32), np.ones(16, np.uint16), np.ones(16, np.uint8)
    ro = np.ones(4, np.float32)
    ro.flags.writeable = False
    strided = np.ones(8, np.float32)[::2]
    flip = Fault.flip()
    pairs = [(flip, 3), (Fault.stuck_at_1(), 40)]
    bad_pairs = [(flip, 3), (flip, 10**6)]
    e = rust.secded.encode_f32([f32], 64)
    scheme = rust.cep.Scheme.D3P1
    # A picker's map grows with what it has drawn, by design: draw from a small
    # one, reset whenever it runs dry, and fail on one that is empty.
    picker, empty = rust.Picker(100, seed=1), rust.Picker(0)
    returned = {1, 2, 3}
    out = {}
    for suffix, a in (("f32", f32), ("u16", u16), ("u8", u8)):
        single, batch = getattr(rust, f"list_of_array_fault_{suffix}"), getattr(rust, f"list_of_array_faults_{suffix}")
        out[f"fault_{suffix}"] = (single, ([a], flip, 5), ([a], flip, 10**6))
        out[f"faults_{suffix}"] = (batch, ([a], pairs), ([a], bad_pairs))
    for suffix, a in (("f32", f32), ("u16", u16)):
        out[f"secded.encode_{suffix}"] = (getattr(rust.secded, f"encode_{suffix}"), ([a, a], 64), ([a], Index()))
        for op in ("encode", "decode"):
            out[f"cep.{op}_{suffix}"] = (getattr(rust.cep, f"{op}_{suffix}"), (a, scheme), (a, None))
            out[f"mset.{op}_{suffix}"] = (getattr(rust.mset, f"{op}_{suffix}"), (a,), (strided,))
    out["cep.encode_f32(read-only)"] = (rust.cep.encode_f32, (f32, scheme), (ro, scheme))
    out["Encoding.decode_f32"] = (e.decode_f32, (), (1,))
    out["Encoding.apply_fault"] = (e.apply_fault, (flip, 7), (flip, Index()))
    out["Encoding.apply_faults"] = (e.apply_faults, (pairs,), (bad_pairs,))
    out["Encoding.clone"] = (e.clone, (), (None,))
    out["Picker"] = (rust.Picker, (100, 7), (-1,))
    out["Picker.from_returned"] = (rust.Picker.from_returned, (100, returned, 7), (2, returned))
    out["Picker.__next__"] = (draw, (picker,), (empty,))
    out["Picker.reset"] = (picker.reset, (), (1,))
    return out


CASES = cases()


def call_many(f, args, count):
    for _ in range(count):
        try:
            f(*args)
        except BaseException:  # noqa: BLE001 - failing calls are half of the point
            pass


@pytest.mark.parametrize("name", list(CASES))
def test_flat_memory_and_reference_counts(name):
    f, good, bad = CASES[name]
    arguments = [a for a in (*good, *bad) if not isinstance(a, (int, type(None)))]
    counts = [sys.getrefcount(a) for a in arguments]
    for args in (good, bad):
        call_many(f, args, CALLS // 10)  # warm up: caches, free lists, the pool
    before = rss()
    for args in (good, bad):
        call_many(f, args, CALLS)
    grown = rss() - before
    assert grown <= before // 100, f"resident memory grew by {grown} pages over {before}"
    assert [sys.getrefcount(a) for a in arguments] == counts
