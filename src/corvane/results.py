"""What a campaign found, per cell (protection, fault level), and when a cell has run enough trials.

An aggregate holds, over the trials of one cell: the fraction of trials in
each outcome with its Clopper-Pearson interval; the fraction of trials in which a
protection's counter was not zero (``any_<counter>``, the "events"); the mean
of every metric with an interval that never leaves what the metric can be
(see ``intervals.metric_interval``); and the values probability theory
expects for the cell, each beside what was observed under the same name.

``Margin`` is the rule for running "enough" trials: a cell runs its trials
in batches, a prefix of the same seeded sequence every time, and stops at the
first batch boundary where every outcome fraction's interval is narrow
enough. The rule reads the records alone, so the campaign that runs the
trials and a report of its run directory find the same stopping points.
"""

from __future__ import annotations

import math
import zlib
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .intervals import MetricInterval, Proportion, metric_interval, proportion
from .vocabulary import COUNT_METRICS, COUNTERS, METRICS, SDC_SPLIT, ProtectionSummary, Rounding, TrialRecord

__all__ = ["ANY_SILENT", "Aggregate", "Check", "Margin", "Results", "aggregate", "outcome_names", "planned"]

#: The fraction of trials that left some data wrong without a flag over them, whatever their outcome.
ANY_SILENT = "any_silent"
#: How far an expectation may sit outside an interval before it counts as excluded: the
#: expectations are exact to about this much, and an interval's ends are exact numbers.
EXPECTATION_SLACK = 1e-9

Bounds = tuple[float | None, float | None]
_ERRORS = ("max_abs_error", "mean_abs_error", "rel_l2_error", "seconds")


def outcome_names(split: bool) -> tuple[str, ...]:
    """The outcome fractions of an aggregate: sdc is the whole of its split when a tolerance splits it."""
    return ("masked", "sdc", *(SDC_SPLIT if split else ()), "due", "false_due", ANY_SILENT)


def _is(record: TrialRecord, name: str) -> bool:
    if name == ANY_SILENT:
        return record.silent
    if name == "sdc":
        return record.outcome == "sdc" or record.outcome in SDC_SPLIT
    return record.outcome == name


@dataclass(frozen=True)
class Margin:
    """Each cell runs ``batch`` trials at a time until every outcome fraction's interval half-width is at most
    ``half_width`` at ``confidence``, or its maximum of trials is reached."""

    half_width: float
    confidence: float = 0.95
    batch: int = 50

    def checkpoints(self, maximum: int) -> Iterator[int]:
        yield from range(self.batch, maximum, self.batch)
        yield maximum

    def met(self, counts: Mapping[str, int], n: int) -> bool:
        return all(proportion(c, n, self.confidence).half_width <= self.half_width for c in counts.values())

    def as_config(self) -> dict[str, Any]:
        return {"half_width": self.half_width, "confidence": self.confidence, "batch": self.batch}


def planned(done: Mapping[int, TrialRecord], maximum: int, margin: Margin | None, split: bool) -> tuple[int, bool]:
    """How many trials a cell runs, from the trials done so far (by trial number).

    (n, True): the cell is finished with its first n trials. (n, False): it
    needs its first n trials before the rule can say more. Without a margin
    a cell runs its maximum.
    """
    if margin is None:
        return maximum, all(t in done for t in range(maximum))
    names = outcome_names(split)
    counts = dict.fromkeys(names, 0)
    n = 0
    for stop in margin.checkpoints(maximum):
        while n < stop and n in done:
            rec = done[n]
            for name in names:
                counts[name] += _is(rec, name)
            n += 1
        if n < stop:
            return stop, False
        if stop == maximum or margin.met(counts, n):
            return stop, True
    raise AssertionError("checkpoints end at the maximum")  # pragma: no cover


@dataclass(frozen=True)
class Check:
    """An expectation beside what was observed under its name, and whether the interval excludes it."""

    name: str
    expected: float
    observed: float
    low: float
    high: float

    @property
    def outside(self) -> bool | None:
        """True when the interval excludes the expectation, None when there is no interval to judge by."""
        if math.isnan(self.low) or math.isnan(self.high):
            return None
        return self.expected < self.low - EXPECTATION_SLACK or self.expected > self.high + EXPECTATION_SLACK


@dataclass
class Aggregate:
    """One cell's trials: outcome fractions, events and metric means with intervals, and its expectations."""

    protection: str
    rate: float
    faults: int
    trials: int
    outcomes: dict[str, Proportion]
    events: dict[str, Proportion]
    metrics: dict[str, MetricInterval]
    expected: dict[str, float] = field(default_factory=dict)
    point: int = 0

    def observed(self, name: str) -> tuple[float, float, float] | None:
        """(value, low, high) of an outcome, event or metric mean, or None when the cell has none by that name."""
        p = self.outcomes.get(name) or self.events.get(name)
        if p is not None:
            return p.fraction, p.low, p.high
        m = self.metrics.get(name)
        if m is not None:
            return m.mean, m.low, m.high
        return None

    def checks(self) -> list[Check]:
        out = []
        for name, value in self.expected.items():
            seen = self.observed(name)
            if seen is not None:
                out.append(Check(name, value, *seen))
        return out


def metric_seed(seed: int, protection: str, point: int, metric: str) -> int:
    """The bootstrap seed of one metric of one cell: fixed by the campaign seed."""
    key = (zlib.crc32(protection.encode()), point, zlib.crc32(metric.encode()))
    return int(np.random.SeedSequence(entropy=seed, spawn_key=key).generate_state(1, np.uint64)[0])


def aggregate(
    records: Sequence[TrialRecord],
    *,
    confidence: float = 0.95,
    seed: int = 0,
    split: bool = False,
    metric_range: Bounds = (None, None),
    expected: Mapping[str, float] | None = None,
) -> Aggregate:
    """The aggregate of the records of one cell (at least one record)."""
    first = records[0]
    n = len(records)
    outcomes = {o: proportion(sum(_is(r, o) for r in records), n, confidence) for o in outcome_names(split)}
    events: dict[str, Proportion] = {}
    metrics: dict[str, MetricInterval] = {}
    for m in METRICS:
        vals = [getattr(r, m) for r in records]
        if any(v is None for v in vals):
            continue
        bounds: Bounds = metric_range if m == "metric" else (0.0, None)
        metrics[m] = metric_interval(vals, confidence, metric_seed(seed, first.protection, first.point, m), bounds,
                                     counts=m in COUNT_METRICS)  # fmt: skip
        if m in COUNTERS:
            events[f"any_{m}"] = proportion(sum(v > 0 for v in vals), n, confidence)
    return Aggregate(first.protection, first.rate, first.faults, n, outcomes, events, metrics, dict(expected or {}),
                     first.point)  # fmt: skip


@dataclass
class Results:
    """A campaign's records in grid order, its protections' summaries, and what describes its metric.

    ``confidence`` is the level of every interval; ``metric_range`` what the
    ``metric`` column can be, where known (an accuracy lies in [0, 1]).
    """

    config: dict[str, Any]
    records: list[TrialRecord]
    protections: list[ProtectionSummary]
    baseline_metric: float | None = None
    skipped: list[tuple[str, str]] = field(default_factory=list)
    #: What the ``metric`` column measures, e.g. "test-set accuracy of the digits MLP".
    metric_name: str | None = None
    #: What rounding the weights into 16 bits lost, when the campaign stored them so.
    rounding: Rounding | None = None
    #: Why the campaign has its rates, when it chose them itself.
    rates_note: str | None = None
    confidence: float = 0.95
    metric_range: Bounds = (None, None)
    weights_digest: str | None = None

    def aggregates(self) -> list[Aggregate]:
        groups: dict[tuple[str, int], list[TrialRecord]] = {}
        for r in self.records:
            groups.setdefault((r.protection, r.point), []).append(r)
        expected = {p.name: p.expected for p in self.protections}
        split = self.config.get("tolerance") is not None
        seed = int(self.config.get("seed") or 0)
        out = []
        for (name, point), recs in groups.items():
            per_point = expected.get(name) or []
            exp = per_point[point] if point < len(per_point) else {}
            out.append(aggregate(recs, confidence=self.confidence, seed=seed, split=split,
                                 metric_range=self.metric_range, expected=exp))  # fmt: skip
        return out
