"""Embedded parity (cep) and majority vote (mset) on 64 MiB arrays.

Three figures per function, each against a baseline measured in the same run:
  - against NumPy's cheapest in-place pass over the same memory
    (np.bitwise_and(u, m, out=u) on the unsigned view): the cost of one
    trip through memory, which is what an element-wise code should cost;
  - against the fastest pure-NumPy implementation of the same transform we
    have (whole-array shifts and masks, or lookup tables, whichever is faster
    here), checked bit-exact against the module first;
  - the first figure again with RAYON_NUM_THREADS=1, measured in a child
    process because the pool size is fixed for the life of a process.

Run alone as `python bench_cep_mset.py --single-thread` (with
RAYON_NUM_THREADS=1 set), it prints that child's figures as JSON.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from functools import cache, partial
from pathlib import Path

import numpy as np

import corvane._rust as rust
from harness import Planned, Row, median_time, paired_times

SIZE = 64 << 20  # bytes per array
UINT = {"f32": np.uint32, "u16": np.uint16}
DTYPE = {"f32": np.float32, "u16": np.uint16}
MEMBERS = ["D3P1", "D7P1", "D15P1"]
DATA_BITS = {"D3P1": 3, "D7P1": 7, "D15P1": 15}
SOURCE = {"f32": 30, "u16": 14}


def width(suffix):
    return 8 * np.dtype(UINT[suffix]).itemsize


# ---- pure-NumPy embedded parity ----


class CepShifts:
    """All groups at once with whole-array shifts, xors and masks.

    The parity of each group's sources is a sliding xor-window of N bits,
    read at the group's lowest source bit; it is moved to (encode) or
    compared with (decode) the group's parity bit, one group per step.
    Scratch arrays are kept between calls, so no call allocates.
    """

    def __init__(self, suffix, member, n):
        t = self.t = UINT[suffix]
        w, self.n = width(suffix), DATA_BITS[member]
        self.m = w // (self.n + 1)
        full = (1 << w) - 1
        self.bottoms = [self.m + self.n * d for d in range(self.m)]
        self.data_mask = t(full ^ ((1 << self.m) - 1))
        self.bottom_mask = t(sum(1 << b for b in self.bottoms))
        self.widen = t((1 << self.n) - 1)
        self.a, self.b, self.c = (np.empty(n, t) for _ in range(3))

    def window(self, u):
        """self.a := xor of bits i .. i+N-1 of u, at every bit i."""
        a, b, c, n = self.a, self.b, self.c, self.n
        np.right_shift(u, 1, out=b)
        np.bitwise_xor(u, b, out=b)  # width 2
        if n == 3:
            np.right_shift(u, 2, out=a)
            np.bitwise_xor(a, b, out=a)
            return
        np.right_shift(b, 2, out=c)
        np.bitwise_xor(b, c, out=c)  # width 4
        if n == 7:  # 4 + 2 + 1
            np.right_shift(b, 4, out=a)
            np.bitwise_xor(a, c, out=a)
            np.right_shift(u, 6, out=b)
            np.bitwise_xor(a, b, out=a)
            return
        np.right_shift(c, 4, out=a)
        np.bitwise_xor(a, c, out=a)  # width 8; 15 = 8 + 4 + 2 + 1
        np.right_shift(c, 8, out=c)
        np.bitwise_xor(a, c, out=a)
        np.right_shift(b, 12, out=c)
        np.bitwise_xor(a, c, out=a)
        np.right_shift(u, 14, out=c)
        np.bitwise_xor(a, c, out=a)

    def encode(self, u):
        self.window(u)
        a, b, c, t = self.a, self.b, self.c, self.t
        np.bitwise_and(u, self.data_mask, out=u)
        for d, bottom in enumerate(self.bottoms):
            np.right_shift(a, bottom - d, out=b)
            np.bitwise_and(b, t(1 << d), out=b)
            np.bitwise_or(u, b, out=u)

    def decode(self, u):
        self.window(u)
        a, b, c, t = self.a, self.b, self.c, self.t
        for d, bottom in enumerate(self.bottoms):  # stored parity bits onto the group bottoms
            np.bitwise_and(u, t(1 << d), out=b)
            np.left_shift(b, bottom - d, out=b)
            np.bitwise_xor(a, b, out=a)
        np.bitwise_and(a, self.bottom_mask, out=a)  # a mismatch flag at each group's bottom
        np.multiply(a, self.widen, out=a)  # widened over the group's N source bits
        np.bitwise_or(a, t(~self.data_mask), out=a)
        np.invert(a, out=a)
        np.bitwise_and(u, a, out=u)


class CepTables:
    """Lookup tables over the data bits: the groups split into a lower and an
    upper half, each half's parity bits read from a table indexed by its
    data bits; decoding looks up the damaged groups from the mismatch."""

    def __init__(self, suffix, member, n):
        t = self.t = UINT[suffix]
        w, nb = width(suffix), DATA_BITS[member]
        m = w // (nb + 1)
        self.m, self.half = m, max(m // 2, 1)
        self.shift_hi = m + nb * self.half
        self.lo_mask = t((1 << (nb * self.half)) - 1)
        full = (1 << w) - 1
        self.data_mask = t(full ^ ((1 << m) - 1))
        self.parity_mask = t((1 << m) - 1)

        def parities(first_group, count):
            idx = np.arange(1 << (nb * count), dtype=np.uint64)
            out = np.zeros(idx.size, t)
            for k in range(count):
                bits = (idx >> np.uint64(nb * k)) & np.uint64((1 << nb) - 1)
                par = np.zeros(idx.size, np.uint64)
                for j in range(nb):
                    par ^= (bits >> np.uint64(j)) & np.uint64(1)
                out |= (par << np.uint64(first_group + k)).astype(t)
            return out

        self.lo_table = parities(0, self.half)
        self.hi_table = parities(self.half, m - self.half) if m > 1 else None
        damage = np.zeros(1 << m, t)
        for mism in range(1 << m):
            damage[mism] = sum(((1 << nb) - 1) << (m + nb * d) for d in range(m) if mism >> d & 1)
        self.keep_table = (~damage & self.data_mask).astype(t)
        self.p, self.q, self.r = (np.empty(n, t) for _ in range(3))

    def parities(self, u):
        """self.p := the parity bits that encoding u would write."""
        p, q, r = self.p, self.q, self.r
        np.right_shift(u, self.m, out=q)
        np.bitwise_and(q, self.lo_mask, out=q)
        np.take(self.lo_table, q, out=p)
        if self.hi_table is not None:
            np.right_shift(u, self.shift_hi, out=q)
            np.take(self.hi_table, q, out=r)
            np.bitwise_or(p, r, out=p)

    def encode(self, u):
        self.parities(u)
        np.bitwise_and(u, self.data_mask, out=u)
        np.bitwise_or(u, self.p, out=u)

    def decode(self, u):
        self.parities(u)
        p = self.p
        np.bitwise_xor(p, u, out=p)
        np.bitwise_and(p, self.parity_mask, out=p)
        np.take(self.keep_table, p, out=self.q)
        np.bitwise_and(u, self.q, out=u)


CEP_MODELS = [("shifts", CepShifts), ("tables", CepTables)]


# ---- pure-NumPy majority vote ----


class MsetNumpy:
    """The source bit copied into bits 0 and 1; decoding lines up bits 0 and 1
    under the source bit by shifts and takes the bitwise majority there."""

    def __init__(self, suffix, n):
        t = self.t = UINT[suffix]
        self.src = SOURCE[suffix]
        self.source = t(1 << self.src)
        self.low = t(3)
        self.a, self.b, self.c = (np.empty(n, t) for _ in range(3))

    def encode(self, u):
        a = self.a
        np.right_shift(u, self.src, out=a)
        np.bitwise_and(a, 1, out=a)
        np.multiply(a, self.low, out=a)
        np.bitwise_and(u, ~self.low, out=u)
        np.bitwise_or(u, a, out=u)

    def decode(self, u):
        a, b, c = self.a, self.b, self.c
        np.left_shift(u, self.src, out=a)  # bit 0 under the source
        np.left_shift(u, self.src - 1, out=b)  # bit 1 under the source
        np.bitwise_and(a, b, out=c)
        np.bitwise_or(a, b, out=a)
        np.bitwise_and(a, u, out=a)
        np.bitwise_or(a, c, out=a)  # majority at the source bit
        np.bitwise_and(a, self.source, out=a)
        np.bitwise_and(u, ~self.source, out=u)
        np.bitwise_or(u, a, out=u)


# ---- what is measured ----


def cep_call(op, suffix, member):
    f, scheme = getattr(rust.cep, f"{op}_{suffix}"), getattr(rust.cep.Scheme, member)
    return lambda a: f(a, scheme)


def model_factory(cls, op, *args):
    """n -> an in-place NumPy transform of n-element unsigned arrays."""
    return lambda n: getattr(cls(*args, n), op)


def functions():
    """(name, suffix, module call on an array, [(model kind, model factory)])."""
    out = []
    for suffix in UINT:
        for member in MEMBERS:
            for op in ("encode", "decode"):
                models = [(kind, model_factory(cls, op, suffix, member)) for kind, cls in CEP_MODELS]
                out.append((f"cep.{op}_{suffix}({member})", suffix, cep_call(op, suffix, member), models))
        for op in ("encode", "decode"):
            models = [("shifts", model_factory(MsetNumpy, op, suffix))]
            out.append((f"mset.{op}_{suffix}", suffix, getattr(rust.mset, f"{op}_{suffix}"), models))
    return out


def random_array(suffix, nbytes, seed=0):
    rng = np.random.default_rng(seed)
    n = nbytes // np.dtype(UINT[suffix]).itemsize
    return rng.integers(0, 1 << width(suffix), n, dtype=np.uint64).astype(UINT[suffix]).view(DTYPE[suffix])


def check_model(call, make_model, suffix):
    """The NumPy model must give the module's bits, or its time means nothing."""
    a = random_array(suffix, 1 << 16, seed=1)
    u = a.view(UINT[suffix]).copy()
    call(a)
    make_model(u.size)(u)
    if not np.array_equal(a.view(UINT[suffix]), u):
        raise AssertionError("NumPy model disagrees with the module")


def single_pass(u):
    mask = u.dtype.type(~0 & ((1 << (8 * u.itemsize)) - 1))
    return lambda: np.bitwise_and(u, mask, out=u)


def fastest_model(models, suffix):
    """The faster NumPy model for this transform, chosen on a 8 MiB array."""
    small = random_array(suffix, 8 << 20, seed=2).view(UINT[suffix])
    timed = []
    for kind, make in models:
        fn = make(small.size)
        timed.append((median_time(lambda: fn(small), repeat=5), kind, make))
    return min(timed, key=lambda x: x[0])[1:]


PASS_NAME = "np.bitwise_and(u, m, out=u)"


def single_thread_figures():
    """name -> (module time, single-pass time), for the child process."""
    figures = {}
    arrays = {s: random_array(s, SIZE) for s in UINT}
    for name, suffix, call, _ in functions():
        a = arrays[suffix]
        figures[name] = paired_times(lambda: call(a), single_pass(a.view(UINT[suffix])))
    return figures


@cache
def shared_arrays():
    return {s: random_array(s, SIZE) for s in UINT}


@cache
def single_thread_results():
    child = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--single-thread"],
        env={**os.environ, "RAYON_NUM_THREADS": "1"},
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(child.stdout)


def pass_row(row_name, suffix, call, models):
    a = shared_arrays()[suffix]
    for _, make in models:
        check_model(call, make, suffix)
    ours, one_pass = paired_times(lambda: call(a), single_pass(a.view(UINT[suffix])))
    return Row(row_name, ours, PASS_NAME, one_pass, "<= 1.5x")


def numpy_row(row_name, suffix, call, models):
    a = shared_arrays()[suffix]
    u = a.view(UINT[suffix])
    for _, make in models:
        check_model(call, make, suffix)
    kind, make = fastest_model(models, suffix)
    model = make(u.size)
    ours, numpy_time = paired_times(lambda: call(a), lambda: model(u), repeat=5)
    return Row(row_name, ours, f"NumPy {kind}", numpy_time, ">= 20x faster")


def single_thread_row(row_name, name):
    one, one_pass = single_thread_results()[name]
    return Row(row_name, one, PASS_NAME, one_pass, "<= 2.5x")


def benchmarks():
    for name, suffix, call, models in functions():
        row_name = f"{name}, 64 MiB"
        yield Planned(row_name, partial(pass_row, row_name, suffix, call, models))
        yield Planned(row_name, partial(numpy_row, row_name, suffix, call, models))
        row_name = f"{name}, 64 MiB, RAYON_NUM_THREADS=1"
        yield Planned(row_name, partial(single_thread_row, row_name, name))


if __name__ == "__main__" and sys.argv[1:] == ["--single-thread"]:
    print(json.dumps(single_thread_figures()))
