"""Trials in O(faults): sparse against dense trials on a 22.7M-value float32 weight set.

- sparse vs dense trial at rates 1e-7, 1e-6, 1e-5, each protection;
- a dense trial at rate 1e-3 (727k faults) against the same trial's copy + decode with no faults;
- a campaign of 1,000 sparse trials per protection at 1e-7 against a 60 s budget;
- a sparse trial with an evaluate function, whose arrays are views that cannot be made
  writeable again, against the same trial handing out plain views.
"""

from __future__ import annotations

import time
from functools import cache, lru_cache

import numpy as np

from harness import Planned, Row, median_time, paired_times

import corvane._rust as rust
from corvane import Campaign, WeightSet
import corvane.weights
from corvane.trial import Prepared, Scratch, TrialSpec
from corvane.vocabulary import FaultKind, Rate
from corvane.protections import parse_protection

N = 22_700_000
PROTECTIONS = ["none", "secded:64", "cep:D3P1", "mset"]


def _weights() -> WeightSet:
    rng = np.random.default_rng(0)
    return WeightSet.from_arrays([("w", rng.standard_normal(N, dtype=np.float32) * np.float32(0.05))])


def _trial(prepared: Prepared, rate: float) -> None:
    prepared.run(Rate(rate), 0, 0)


def _no_fault_trial(ws: WeightSet, name: str) -> None:
    """A dense trial's copy and decode, without its faults."""
    w = ws.tensors[0].patterns
    if name == "none":
        w.copy()
    else:
        enc = _ENCODED[name]
        enc.clone().decode_f32()


_ENCODED: dict[str, rust.secded.Encoding] = {}


@lru_cache(maxsize=1)  # one protection's pair at a time: the rows come protection by protection
def _prepared(name: str) -> tuple[Prepared, Prepared]:
    ws = cache_weights()
    prot = parse_protection(name)
    sparse = TrialSpec(ws, FaultKind.FLIP, [], 0).prepare(prot)
    if name.startswith("secded"):
        _ENCODED[name] = sparse.groups[0].stored.encoding  # type: ignore[attr-defined]
    return sparse, TrialSpec(ws, FaultKind.FLIP, [], 0, dense=True).prepare(prot)


cache_weights = cache(_weights)


def _sparse_row(name: str, rate: float, target: str) -> Row:
    sparse, dense = _prepared(name)
    s = median_time(lambda: _trial(sparse, rate), repeat=7)
    d = median_time(lambda: _trial(dense, rate), repeat=5)
    return Row(f"{name} sparse trial, rate {rate:g}, 22.7M float32", s, "dense trial", d, target)


def _dense_row(name: str) -> Row:
    _, dense = _prepared(name)
    d = median_time(lambda: _trial(dense, 1e-3), repeat=5)
    base = median_time(lambda: _no_fault_trial(cache_weights(), name), repeat=5)
    return Row(f"{name} dense trial, rate 1e-3 (727k faults)", d, "copy + decode, no faults", base, "<= 1.5x")


CAMPAIGN = "campaign: 1000 sparse trials x 4 protections at 1e-7"


def _campaign_row() -> Row:
    _prepared.cache_clear()
    _ENCODED.clear()
    t0 = time.perf_counter()
    Campaign(cache_weights(), PROTECTIONS, rates=[1e-7], trials=1000).run()
    return Row(CAMPAIGN, time.perf_counter() - t0, "time budget", 60.0, "<= 1x")


SEALED = "sparse trial with an evaluate, none, rate 1e-7, 22.7M float32, read-only views"


def _sealed_row() -> Row:
    # The cheapest evaluate there is, so that what remains is what handing out the arrays costs.
    spec = TrialSpec(cache_weights(), FaultKind.FLIP, [], 0, evaluate=lambda arrays: 0.0)
    prepared = spec.prepare(parse_protection("none"))
    scratch = Scratch()
    sealed = corvane.weights._sealed

    def plain_views() -> None:
        corvane.weights._sealed = lambda p: p
        try:
            prepared.run(Rate(1e-7), 0, 0, scratch)
        finally:
            corvane.weights._sealed = sealed

    value, base = paired_times(lambda: prepared.run(Rate(1e-7), 0, 0, scratch), plain_views, repeat=9, number=50)
    return Row(SEALED, value, "the same trial with plain views", base, "<= 1.1x")


def benchmarks():
    for name in PROTECTIONS:
        for rate, target in ((1e-7, ">= 50x faster"), (1e-6, ">= 10x faster"), (1e-5, ">= 10x faster")):
            yield Planned(f"{name} sparse trial, rate {rate:g}, 22.7M float32",
                          lambda name=name, rate=rate, target=target: _sparse_row(name, rate, target))  # fmt: skip
        if name in ("none", "secded:64"):
            yield Planned(f"{name} dense trial, rate 1e-3 (727k faults)", lambda name=name: _dense_row(name))
    yield Planned(CAMPAIGN, _campaign_row)
    yield Planned(SEALED, _sealed_row)
