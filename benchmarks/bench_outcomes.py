"""What outcomes, intervals, expectations and the margin rule add to a campaign.

- a campaign under --margin (cells run in rounds of batches, stopping on the interval rule) against the
  same trials run in one round per protection, as without a margin, on 2 worker processes;
- the aggregates (Wilson fractions, bootstrap and t intervals, expectations beside them) of a large
  campaign's records, against a time budget;
- the expectations of the default study's cells (4 protections x 4 rates) on 22.7M float32 values,
  against a time budget.
"""

from __future__ import annotations

import time
from functools import cache
from typing import Any

import numpy as np

from harness import Planned, Row, median_time

from corvane import Campaign, WeightSet
from corvane.campaign import EXPECTED_MAX_FAULTS
from corvane.protections import parse_protection
from corvane.vocabulary import EVERY_BIT, Rate, Storage, TrialKey

PROTECTIONS = ["none", "secded:64", "cep:D3P1", "mset"]
MARGIN = "campaign with --margin 0.05 (4 protections x 2 levels, 1M float32, --workers 2)"
AGGREGATES = "aggregates of 4 protections x 4 levels x 2450 trials"
EXPECTED = "expectations of 4 protections x 4 rates (1e-5..1e-2), 22.7M float32"


@cache
def _weights(n: int) -> WeightSet:
    rng = np.random.default_rng(0)
    return WeightSet.from_arrays([("w", rng.standard_normal(n, dtype=np.float32) * np.float32(0.05))])


class _Foreseen(Campaign):
    """A campaign told each cell's stopping point in advance: all its trials in one round per protection."""

    stops: dict[tuple[str, int], int] = {}

    def _plan(self, protection: str, done: Any) -> tuple[list[TrialKey], dict[int, int]]:
        sizes = {i: self.stops[(protection, i)] for i in range(len(self.levels))}
        keys = [TrialKey(protection, i, t) for i, n in sizes.items() for t in range(n) if t not in done.get((protection, i), {})]
        return keys, sizes


def _margin_row() -> Row:
    ws = _weights(1_000_000)
    options: dict[str, Any] = {"counts": [1, 200], "margin": 0.05, "seed": 3}
    stopped = Campaign(ws, PROTECTIONS, **options).run(workers=2)
    _Foreseen.stops = {(a.protection, a.point): a.trials for a in stopped.aggregates()}

    def with_margin() -> None:
        Campaign(ws, PROTECTIONS, **options).run(workers=2)

    def foreseen() -> None:
        _Foreseen(ws, PROTECTIONS, **options).run(workers=2)

    value = median_time(with_margin, repeat=5)
    base = median_time(foreseen, repeat=5)
    return Row(MARGIN, value, "the same trials in one round per protection", base, "<= 1.2x")


def _aggregates_row() -> Row:
    res = Campaign(_weights(4096), PROTECTIONS, counts=[1, 4, 16, 64], trials=2450, seed=1).run()
    t0 = time.perf_counter()
    res.aggregates()
    return Row(AGGREGATES, time.perf_counter() - t0, "time budget", 10.0, "<= 1x")


def _expected_row() -> Row:
    ws = _weights(22_700_000)
    groups = [(Storage.FLOAT32, [ws.value_count], EVERY_BIT)]
    t0 = time.perf_counter()
    for name in PROTECTIONS:
        prot = parse_protection(name)
        bits = prot.stored_bits(ws.value_count, Storage.FLOAT32)
        for rate in (1e-5, 1e-4, 1e-3, 1e-2):
            faults = Rate(rate).faults(bits)
            if faults <= EXPECTED_MAX_FAULTS:
                prot.expected(groups, faults)
    return Row(EXPECTED, time.perf_counter() - t0, "time budget", 5.0, "<= 1x")


def benchmarks():
    yield Planned(MARGIN, _margin_row)
    yield Planned(AGGREGATES, _aggregates_row)
    yield Planned(EXPECTED, _expected_row)
