"""corvane._engine against the _rust paths it replaces in a campaign."""

import itertools

import numpy as np

import corvane._engine as engine
import corvane._rust as rust
from harness import Row, paired_times

# The size of a small sentence-embedding transformer, N(0, 0.05).
WEIGHTS = 22_700_000


def weights():
    rng = np.random.default_rng(0)
    return (rng.standard_normal(WEIGHTS, dtype=np.float32) * np.float32(0.05)).astype(np.float32)


def benchmarks():
    # Both sides run the same Fisher-Yates core; the bulk form saves the
    # Python int and the iterator call per value.
    count = 100_000
    size = WEIGHTS * 32
    drawn, picked = paired_times(lambda: engine.draw_sites(size, 1, count),
                                 lambda: list(itertools.islice(rust.Picker(size, seed=1), count)))
    yield Row(f"draw_sites, 10^5 of 0..{size}", drawn, "list(islice(Picker(...), 10^5))", picked, ">= 1.5x faster")

    w = weights()
    enc = rust.secded.encode_f32([w], 64)
    rng = np.random.default_rng(1)
    for faults, target in ((1, ">= 200x faster"), (100, ">= 100x faster"), (10_000, ">= 10x faster")):
        sites = rng.choice(enc.bit_count(), faults, replace=False).astype(np.uint64)

        def dense(sites=sites):
            c = enc.clone()
            engine.encoding_inject(c, engine.FLIP, sites)
            return c.decode_f32()

        sparse, full = paired_times(lambda sites=sites: engine.encoding_trial(enc, engine.FLIP, sites, 32), dense,
                                    repeat=5)
        yield Row(f"encoding_trial, {faults} flips, 22.7M float32 SEC-DED(64)", sparse,
                  "clone + encoding_inject + decode_f32", full, target)
    del enc

    sites = rng.integers(0, WEIGHTS * 32, 727_000).astype(np.uint64)
    flip = rust.Fault.flip()
    pairs = [(flip, int(g)) for g in sites]
    a, b = w.copy(), w.copy()
    bulk, paired = paired_times(lambda: engine.inject([a], engine.FLIP, sites),
                                lambda: rust.list_of_array_faults_f32([b], pairs))
    yield Row("inject, 727k flips into 22.7M float32", bulk, "list_of_array_faults_f32 with the pairs", paired,
              ">= 3x faster")

    a = w.copy()
    engine.inject([a], engine.FLIP, sites[:1000])
    found, flat = paired_times(lambda: engine.changed(w, a),
                               lambda: np.flatnonzero(w.view(np.uint32) != a.view(np.uint32)))
    yield Row("changed, 22.7M float32, 1000 differ", found, "np.flatnonzero(a.view(u) != b.view(u))", flat,
              ">= 1.2x faster")
