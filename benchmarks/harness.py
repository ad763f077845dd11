"""Timing helpers shared by the benchmark modules.

Every figure is the median of at least five runs after a warm-up, and is
reported beside a baseline measured in the same run, as a ratio.
"""

from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass
from typing import Callable


def _median_times(fns: list[Callable[[], object]], repeat: int, warmup: int, number: int) -> list[float]:
    """Median seconds per call of each fn, the fns timed in turn each round
    after a warm-up, so that load from other processes falls on all alike."""
    for _ in range(warmup):
        for fn in fns:
            fn()
    times: list[list[float]] = [[] for _ in fns]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(max(repeat, 5)):
            for fn, out in zip(fns, times):
                start = time.perf_counter()
                for _ in range(number):
                    fn()
                out.append((time.perf_counter() - start) / number)
    finally:
        if gc_was_enabled:
            gc.enable()
    return [statistics.median(t) for t in times]


def median_time(fn: Callable[[], object], repeat: int = 7, warmup: int = 1, number: int = 1) -> float:
    """Median wall time of one call of fn, in seconds."""
    return _median_times([fn], repeat, warmup, number)[0]


def paired_times(fn: Callable[[], object], baseline: Callable[[], object], repeat: int = 7,
                 number: int = 1) -> tuple[float, float]:
    """Median seconds per call of fn and of baseline, timed in turn."""
    value, base = _median_times([fn, baseline], repeat, 1, number)
    return value, base


@dataclass
class Row:
    """One figure: what was measured, against which baseline, and the target."""

    name: str
    value: float
    baseline_name: str
    baseline: float
    target: str  # e.g. "<= 3x" or ">= 5x faster"
    unit: str = "s"

    @property
    def ratio(self) -> float:
        return self.value / self.baseline if self.baseline else float("inf")

    def passed(self) -> bool:
        kind, _, bound = self.target.partition(" ")
        limit = float(bound.rstrip("x").split("x")[0])
        if kind == "<=":
            return self.ratio <= limit
        return self.baseline / self.value >= limit  # ">= Nx faster"


@dataclass
class Planned:
    """A figure before it is measured: the name its row will have, and how to
    measure it. Runners filter on the name, so nothing unwanted is measured;
    setup shared by several figures belongs in a cached function they call."""

    name: str
    measure: Callable[[], Row]


def fmt(value: float, unit: str) -> str:
    if unit == "s":
        if value < 1e-6:
            return f"{value * 1e9:.0f} ns"
        if value < 1e-3:
            return f"{value * 1e6:.1f} us"
        return f"{value * 1e3:.2f} ms"
    return f"{value:.1f} {unit}"
