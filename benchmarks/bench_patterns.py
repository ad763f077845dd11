"""Fault patterns cost what their bits cost: bursts and words against single faults.

- a sparse trial of 10^4 burst:4 events on 22.7M float32 (secded:64 and none)
  against a sparse single trial that changes as many bits (4 x 10^4 faults);
- drawing 10^6 word:3 events over 2^36 float32 words against drawing
  3 x 10^6 single sites over their bits.
"""

from __future__ import annotations

from functools import cache

import numpy as np

from harness import Planned, Row, paired_times

from corvane import WeightSet
from corvane.native import draw_sites
from corvane.patterns import Layout
from corvane.protections import parse_protection
from corvane.trial import Prepared, TrialSpec
from corvane.vocabulary import Count, FaultKind, KindMix, Pattern, Words

N = 22_700_000
EVENTS = 10_000
BURST = Pattern("burst", 4)


@cache
def _weights() -> WeightSet:
    rng = np.random.default_rng(0)
    return WeightSet.from_arrays([("w", rng.standard_normal(N, dtype=np.float32) * np.float32(0.05))])


@cache  # the burst and single trials of one protection share its stored form
def _prepared(name: str) -> tuple[Prepared, Prepared]:
    ws = _weights()
    burst = TrialSpec(ws, FaultKind.FLIP, [], 0, pattern=BURST).prepare(parse_protection(name))
    single = TrialSpec(ws, FaultKind.FLIP, [], 0).prepare(parse_protection(name))
    return burst, single


def _trial_row(name: str) -> Row:
    burst, single = _prepared(name)
    b, s = paired_times(lambda: burst.run(Count(EVENTS), 0, 0), lambda: single.run(Count(BURST.size * EVENTS), 0, 0))
    _prepared.cache_clear()
    return Row(f"{name} sparse trial, burst:4, 10^4 events, 22.7M float32", b,
               "sparse single trial, 4x10^4 faults", s, "<= 1.5x")  # fmt: skip


DRAW = "drawing 10^6 events, word:3, over 2^36 words"


def _draw_row() -> Row:
    words = 2**36
    layout = Layout([Words(0, 32, words, 32, np.array([0]), np.array([32]))])
    word3, flip = Pattern("word", 3), KindMix.of(FaultKind.FLIP)
    w, s = paired_times(lambda: layout.draw(word3, flip, 10**6, 1), lambda: draw_sites(words * 32, 1, 3 * 10**6),
                        repeat=5)  # fmt: skip
    return Row(DRAW, w, "drawing 3x10^6 single sites", s, "<= 1.5x")


def benchmarks():
    for name in ("secded:64", "none"):
        yield Planned(f"{name} sparse trial, burst:4, 10^4 events, 22.7M float32", lambda name=name: _trial_row(name))
    yield Planned(DRAW, _draw_row)
