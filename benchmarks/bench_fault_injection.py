"""Fault injection into lists of float32 arrays."""

import numpy as np

import corvane._rust as rust
from harness import Planned, Row, median_time


def batch_row(name):
    rng = np.random.default_rng(0)
    arrays = [rng.standard_normal(10_000).astype(np.float32) for _ in range(100)]
    total = sum(a.size for a in arrays) * 32
    flip = rust.Fault.flip()
    faults = [(flip, int(g)) for g in rng.integers(0, total, 1_000_000)]

    def bare_loop():
        for f, t in faults:
            pass

    batch = median_time(lambda: rust.list_of_array_faults_f32(arrays, faults))
    loop = median_time(bare_loop)
    return Row(name, batch, "for f, t in faults: pass", loop, "<= 3x")


def single_row(name):
    flip = rust.Fault.flip()
    a = np.ones(1000, np.float32)
    lst = [a]
    g = 500 * 32 + 7
    i, j = divmod(g, 32)

    def numpy_idiom():
        a.view(np.uint32)[i] ^= np.uint32(1 << j)

    single = median_time(lambda: rust.list_of_array_fault_f32(lst, flip, g), number=20000)
    idiom = median_time(numpy_idiom, number=20000)
    return Row(name, single, "a.view(np.uint32)[i] ^= np.uint32(1 << j)", idiom, "<= 0.5x")


def benchmarks():
    batch = "list_of_array_faults_f32, 10^6 flips over 100 x 10^4 float32"
    yield Planned(batch, lambda: batch_row(batch))
    single = "list_of_array_fault_f32([a], Fault.flip(), g)"
    yield Planned(single, lambda: single_row(single))
