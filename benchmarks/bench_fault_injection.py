"""Fault injection into lists of float32 arrays."""

import numpy as np

import corvane._rust as rust
from harness import Row, median_time


def benchmarks():
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
    yield Row("list_of_array_faults_f32, 10^6 flips over 100 x 10^4 float32", batch,
              "for f, t in faults: pass", loop, "<= 3x")

    a = np.ones(1000, np.float32)
    lst = [a]
    g = 500 * 32 + 7
    i, j = divmod(g, 32)

    def numpy_idiom():
        a.view(np.uint32)[i] ^= np.uint32(1 << j)

    single = median_time(lambda: rust.list_of_array_fault_f32(lst, flip, g), number=20000)
    idiom = median_time(numpy_idiom, number=20000)
    yield Row("list_of_array_fault_f32([a], Fault.flip(), g)", single,
              "a.view(np.uint32)[i] ^= np.uint32(1 << j)", idiom, "<= 0.5x")
