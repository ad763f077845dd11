"""corvane._engine against the _rust paths it replaces in a campaign."""

import itertools
from functools import cache

import numpy as np

import corvane._engine as engine
import corvane._rust as rust
from harness import Planned, Row, paired_times

# The size of a small sentence-embedding transformer, N(0, 0.05).
WEIGHTS = 22_700_000


@cache
def weights():
    rng = np.random.default_rng(0)
    return (rng.standard_normal(WEIGHTS, dtype=np.float32) * np.float32(0.05)).astype(np.float32)


@cache
def encoded():
    return rust.secded.encode_f32([weights()], 64)


@cache
def sites():
    return np.random.default_rng(1).integers(0, WEIGHTS * 32, 727_000).astype(np.uint64)


DRAW = f"draw_sites, 10^5 of 0..{WEIGHTS * 32}"
INJECT = "inject, 727k flips into 22.7M float32"
CHANGED = "changed, 22.7M float32, 1000 differ"


def _draw() -> Row:
    # Both sides run the same Fisher-Yates core; the bulk form saves the
    # Python int and the iterator call per value.
    count = 100_000
    size = WEIGHTS * 32
    drawn, picked = paired_times(lambda: engine.draw_sites(size, 1, count),
                                 lambda: list(itertools.islice(rust.Picker(size, seed=1), count)))  # fmt: skip
    return Row(DRAW, drawn, "list(islice(Picker(...), 10^5))", picked, ">= 1.5x faster")


def _trial(faults: int, target: str) -> Row:
    enc = encoded()
    chosen = np.random.default_rng(faults).choice(enc.bit_count(), faults, replace=False).astype(np.uint64)

    def dense():
        c = enc.clone()
        engine.encoding_inject(c, engine.FLIP, chosen)
        return c.decode_f32()

    sparse, full = paired_times(lambda: engine.encoding_trial(enc, engine.FLIP, chosen, 32), dense, repeat=5)
    return Row(_trial_name(faults), sparse, "clone + encoding_inject + decode_f32", full, target)


def _trial_name(faults: int) -> str:
    return f"encoding_trial, {faults} flips, 22.7M float32 SEC-DED(64)"


def _inject() -> Row:
    w, s = weights(), sites()
    flip = rust.Fault.flip()
    pairs = [(flip, int(g)) for g in s]
    a, b = w.copy(), w.copy()
    bulk, paired = paired_times(lambda: engine.inject([a], engine.FLIP, s),
                                lambda: rust.list_of_array_faults_f32([b], pairs))  # fmt: skip
    return Row(INJECT, bulk, "list_of_array_faults_f32 with the pairs", paired, ">= 3x faster")


def _changed() -> Row:
    w = weights()
    a = w.copy()
    engine.inject([a], engine.FLIP, sites()[:1000])
    found, flat = paired_times(lambda: engine.changed(w, a),
                               lambda: np.flatnonzero(w.view(np.uint32) != a.view(np.uint32)))  # fmt: skip
    return Row(CHANGED, found, "np.flatnonzero(a.view(u) != b.view(u))", flat, ">= 1.2x faster")


def benchmarks():
    yield Planned(DRAW, _draw)
    for faults, target in ((1, ">= 200x faster"), (100, ">= 100x faster"), (10_000, ">= 10x faster")):
        yield Planned(_trial_name(faults), lambda faults=faults, target=target: _trial(faults, target))
    yield Planned(INJECT, _inject)
    yield Planned(CHANGED, _changed)
