"""Trials in O(faults): sparse against dense trials on a 22.7M-value float32 weight set.

- sparse vs dense trial at rates 1e-7, 1e-6, 1e-5, each protection;
- a dense trial at rate 1e-3 (727k faults) against the same trial's copy + decode with no faults;
- a campaign of 1,000 sparse trials per protection at 1e-7 against a 60 s budget.
"""

from __future__ import annotations

import time

import numpy as np

from harness import Row, median_time

import corvane._rust as rust
from corvane import Campaign, WeightSet
from corvane.campaign import Point, Prepared
from corvane.protections import parse_protection

N = 22_700_000
PROTECTIONS = ["none", "secded:64", "cep:D3P1", "mset"]


def _weights() -> WeightSet:
    rng = np.random.default_rng(0)
    return WeightSet.from_arrays([("w", rng.standard_normal(N, dtype=np.float32) * np.float32(0.05))])


def _trial(prepared: Prepared, rate: float) -> None:
    prepared.run("flip", Point(rate=rate), 0, 0, 0)


def _no_fault_trial(ws: WeightSet, name: str) -> None:
    """A dense trial's copy and decode, without its faults."""
    w = ws.tensors[0].patterns
    if name == "none":
        w.copy()
    else:
        enc = _ENCODED[name]
        enc.clone().decode_f32()


_ENCODED: dict[str, rust.secded.Encoding] = {}


def benchmarks():
    ws = _weights()
    for name in PROTECTIONS:
        prot = parse_protection(name)
        sparse = Prepared(ws, prot)
        dense = Prepared(ws, prot, dense=True)
        if name.startswith("secded"):
            _ENCODED[name] = sparse.groups[0][2].encoding  # type: ignore[attr-defined]
        for rate, target in ((1e-7, ">= 50x faster"), (1e-6, ">= 10x faster"), (1e-5, ">= 10x faster")):
            s = median_time(lambda: _trial(sparse, rate), repeat=7)
            d = median_time(lambda: _trial(dense, rate), repeat=5)
            yield Row(f"{name} sparse trial, rate {rate:g}, 22.7M float32", s, "dense trial", d, target)
        if name in ("none", "secded:64"):
            d = median_time(lambda: _trial(dense, 1e-3), repeat=5)
            base = median_time(lambda: _no_fault_trial(ws, name), repeat=5)
            yield Row(f"{name} dense trial, rate 1e-3 (727k faults)", d, "copy + decode, no faults", base, "<= 1.5x")
        del sparse, dense
    t0 = time.perf_counter()
    Campaign(ws, PROTECTIONS, rates=[1e-7], trials=1000).run()
    yield Row("campaign: 1000 sparse trials x 4 protections at 1e-7", time.perf_counter() - t0, "time budget", 60.0,
              "<= 1x")  # fmt: skip
