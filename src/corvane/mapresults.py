"""What a vulnerability map found: per stratum (tensor x bit position) estimates, their marginals, and what
protecting the most vulnerable bits first would buy.

A stratum's estimates describe one fault in it: the chance that the fault is
an SDC, that it makes a value NaN or infinite, its damage (the trial's
rel_l2_error) and, with a task metric, the change of the metric. Each comes
with a 95% interval: a fraction's exact (Clopper-Pearson) interval, a mean's
from ``intervals.metric_interval``; a stratum whose every value was faulted is
known exactly and its interval has no width.

Marginals and heatmap cells average strata weighted by their stored bits
(the values of the tensor): the estimate for one fault that falls uniformly
on those bits. Their intervals combine the strata's as independent
estimates: each side's half-width is the root of the weighted squares of the
strata's half-widths on that side.

The protect-curve assumes faults at a rate r fall independently on stored
bits and that a protected bit's single faults are corrected (as SEC-DED
corrects every single fault): the expected quantity per trial is then r x
the sum, over the unprotected strata, of stored bits x the per-fault mean.
Damage adds up as squares (the squared rel L2 of faults in distinct values
is the sum of theirs), so its curve shows the root of that sum; NaN and
infinite values, which the damage leaves out, are counted beside it and
protected first.
"""

from __future__ import annotations

import math
import zlib
from collections.abc import Callable, Iterable, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import StudyError

#: What a map ranks strata by, draws and protects against.
QUANTITIES = ("damage", "sdc", "nonfinite", "metric")
UNITS = ("tensors", "bits")
#: Random orders averaged for the baseline of the protect-curve.
RANDOM_ORDERS = 64
#: Heatmap rows beyond which tensors are grouped by the prefix of their names.
MAX_ROWS = 64


@dataclass(frozen=True)
class Estimate:
    """A fraction or mean and its 95% interval (NaN ends where the data give none)."""

    mean: float
    low: float
    high: float


@dataclass(frozen=True)
class StratumRecord:
    """One fault at one bit position of one tensor's values, measured over ``trials`` values drawn without
    replacement (every value when ``trials`` equals ``values``)."""

    protection: str
    tensor: str
    bit: int
    #: The tensor's values: the stored bits of the stratum.
    values: int
    trials: int
    seed: int
    #: Trials per outcome.
    outcomes: dict[str, int]
    sdc: Estimate
    nonfinite: Estimate
    #: The rel_l2_error of the trial.
    damage: Estimate
    #: The mean square of the damage: what adds up over faults in distinct values.
    damage_sq: float
    #: The change of the task metric from the protection's fault-free metric.
    metric: Estimate | None
    #: The mean magnitude of that change.
    metric_abs: float | None
    seconds: float

    @property
    def key(self) -> tuple[str, int]:
        return (self.tensor, self.bit)

    @property
    def exhaustive(self) -> bool:
        return self.trials == self.values

    def score(self, by: str) -> float:
        """The per-fault value strata are ranked and drawn by."""
        if by == "metric":
            return math.nan if self.metric_abs is None else self.metric_abs
        return float(getattr(self, by).mean)

    def additive(self, by: str) -> float:
        """The per-fault value that adds up over the faults of a trial."""
        return self.damage_sq if by == "damage" else self.score(by)

    def as_row(self) -> dict[str, Any]:
        """The CSV row: every estimate as mean, low and high columns."""
        row: dict[str, Any] = {
            "protection": self.protection, "tensor": self.tensor, "bit": self.bit, "values": self.values,
            "trials": self.trials, "exhaustive": self.exhaustive, "seed": self.seed,
        }  # fmt: skip
        row.update({o: n for o, n in self.outcomes.items()})
        for name in ("sdc", "nonfinite", "damage", "metric"):
            e = getattr(self, name)
            row.update({name: None if e is None else e.mean, f"{name}_low": None if e is None else e.low,
                        f"{name}_high": None if e is None else e.high})  # fmt: skip
        row.update({"damage_sq": self.damage_sq, "metric_abs": self.metric_abs, "seconds": self.seconds})
        return row

    def as_json(self) -> dict[str, Any]:
        return asdict(self)

    @classmethod
    def from_json(cls, d: dict[str, Any]) -> StratumRecord:
        """A record from ``as_json``; TypeError, KeyError or ValueError for anything else."""
        est = {k: None if d[k] is None else Estimate(**d[k]) for k in ("sdc", "nonfinite", "damage", "metric")}
        if not isinstance(d["outcomes"], dict):
            raise TypeError("outcomes")
        return cls(**{**d, **est, "outcomes": {str(k): int(v) for k, v in d["outcomes"].items()}})


@dataclass(frozen=True)
class TensorInfo:
    """A mapped tensor: its name, values, element type and the width of its stored values."""

    name: str
    values: int
    dtype: str
    width: int


@dataclass(frozen=True)
class Marginal:
    """Strata pooled (a tensor's, a bit position's, a heatmap cell's): per-fault estimates over their stored bits."""

    label: str
    values: int
    strata: int
    estimates: dict[str, Estimate]
    #: Whether every pooled stratum faulted every value: then the estimates are known exactly.
    exact: bool = False


def pooled(label: str, records: Sequence[StratumRecord]) -> Marginal:
    """The strata's estimates weighted by their stored bits, with intervals combined as independent estimates."""
    weights = np.array([r.values for r in records], np.float64)
    total = float(weights.sum())
    w = weights / total if total else weights
    out: dict[str, Estimate] = {}
    bounded = {"sdc": (0.0, 1.0), "nonfinite": (0.0, 1.0), "damage": (0.0, math.inf), "metric": (-math.inf, math.inf)}
    for name, (lo_bound, hi_bound) in bounded.items():
        found = [getattr(r, name) for r in records]
        if any(e is None for e in found):
            continue
        mean = np.array([e.mean for e in found])
        low = np.array([e.low for e in found])
        high = np.array([e.high for e in found])
        m = float(np.dot(w, mean))
        below = math.sqrt(float(np.dot(w * w, (mean - low) ** 2)))
        above = math.sqrt(float(np.dot(w * w, (high - mean) ** 2)))
        out[name] = Estimate(m, max(m - below, lo_bound), min(m + above, hi_bound))
    return Marginal(label, int(total), len(records), out, all(r.exhaustive for r in records))


@dataclass(frozen=True)
class Step:
    """One unit of the protect-curve: what it is, its stored bits, and its expected share per trial."""

    label: str
    bits: int
    #: The per-trial quantity it adds (for damage, squared rel L2) at the curve's rate, and its non-finite values.
    amount: float
    nonfinite: float


@dataclass(frozen=True)
class Curve:
    """The expected quantity per trial at ``rate`` against the fraction of stored bits protected.

    ``steps`` are the units in order of vulnerability per stored bit;
    ``fractions`` a grid from 0 to 1 that holds every step's end, with the
    expected quantity left at each when units are protected in that order
    (``ordered``) and, on average, in a random order (``random``). For
    damage, ``*_nonfinite`` hold the expected NaN or infinite values beside it.
    """

    by: str
    units: str
    rate: float
    total_bits: int
    steps: list[Step]
    fractions: list[float]
    ordered: list[float]
    random: list[float]
    ordered_nonfinite: list[float] | None = None
    random_nonfinite: list[float] | None = None

    def at(self, fraction: float) -> tuple[float, float]:
        """The expected quantity left with at most ``fraction`` of the stored bits protected: in order, at random."""
        i = int(np.searchsorted(np.asarray(self.fractions), fraction, side="right")) - 1
        return self.ordered[i], self.random[i]

    def selection(self, budget: float) -> list[str]:
        """The units protected first, as many as fit in ``budget`` (a fraction of the stored bits)."""
        out: list[str] = []
        used = 0
        for s in self.steps:
            if (used + s.bits) / self.total_bits > budget * (1 + 1e-12):
                break
            used += s.bits
            out.append(s.label)
        return out


@dataclass
class MapResults:
    """A map's strata in grid order (tensor after tensor, bits in increasing order) and what describes them."""

    config: dict[str, Any]
    records: list[StratumRecord]
    tensors: list[TensorInfo]
    #: The metric of the protection's fault-free decode, and of the weights as loaded.
    clean_metric: float | None = None
    baseline_metric: float | None = None
    metric_name: str | None = None
    skipped: list[tuple[str, str]] = field(default_factory=list)

    @property
    def protection(self) -> str:
        return str(self.config.get("protection", ""))

    @property
    def has_metric(self) -> bool:
        return any(r.metric is not None for r in self.records)

    @property
    def total_bits(self) -> int:
        """The stored bits of the mapped tensors' values, unprotected."""
        return sum(t.values * t.width for t in self.tensors)

    def check_quantity(self, by: str, name: str = "by") -> str:
        if by not in QUANTITIES:
            raise StudyError(f"{name}: unknown quantity '{by}' (use {', '.join(QUANTITIES)})")
        if by == "metric" and not self.has_metric:
            raise StudyError(f"{name} metric needs a task metric (--evaluate, --data, or the default model)")
        return by

    def top(self, count: int, by: str) -> list[StratumRecord]:
        """The ``count`` strata with the highest per-fault value of ``by`` (grid order among equals)."""
        keyed = [(-_finite_or(r.score(by), -math.inf), i) for i, r in enumerate(self.records)]
        return [self.records[i] for _, i in sorted(keyed)[:count]]

    def by_tensor(self) -> list[Marginal]:
        return [pooled(t.name, [r for r in self.records if r.tensor == t.name]) for t in self._mapped()]

    def by_bit(self) -> list[Marginal]:
        bits = sorted({r.bit for r in self.records})
        return [pooled(str(b), [r for r in self.records if r.bit == b]) for b in bits]

    def _mapped(self) -> list[TensorInfo]:
        have = {r.tensor for r in self.records}
        return [t for t in self.tensors if t.name in have]

    def rows(self, max_rows: int = MAX_ROWS) -> list[tuple[str, list[str]]]:
        """Heatmap rows: one per tensor, or tensors grouped by the longest name prefix that keeps the rows few."""
        return group_rows([t.name for t in self._mapped()], max_rows)

    def heat(self, by: str, max_rows: int = MAX_ROWS) -> tuple[list[str], list[int], npt.NDArray[np.float64]]:
        """Row labels, bit positions and the per-fault value of ``by`` in each cell (NaN where no stratum is)."""
        rows = self.rows(max_rows)
        bits = sorted({r.bit for r in self.records})
        index = {r.key: r for r in self.records}
        grid = np.full((len(rows), len(bits)), np.nan)
        for i, (_, names) in enumerate(rows):
            for j, b in enumerate(bits):
                found = [index[(n, b)] for n in names if (n, b) in index]
                if found:
                    total = sum(r.values for r in found)
                    grid[i, j] = sum(r.values * _finite_or(r.score(by), math.nan) for r in found) / total
        return [label for label, _ in rows], bits, grid

    def curve(self, by: str, units: str = "tensors", rate: float | None = None) -> Curve:
        """What protecting units (tensors, or strata) in order of vulnerability per stored bit leaves, at ``rate``
        (by default one fault per trial), beside the average of random orders."""
        self.check_quantity(by)
        if units not in UNITS:
            raise StudyError(f"unknown unit '{units}' of the protect-curve (use {', '.join(UNITS)})")
        total = self.total_bits
        r = 1.0 / total if rate is None else rate
        steps = self._steps(by, units, r)
        nonfinite_first = by == "damage"

        def density(s: Step) -> tuple[float, float]:
            return (s.nonfinite / s.bits if nonfinite_first else 0.0, s.amount / s.bits)

        ordered = sorted(steps, key=density, reverse=True)  # stable: grid order among equals
        bits = np.array([s.bits for s in ordered], np.float64)
        ends = np.cumsum(bits) / total
        grid = np.unique(np.concatenate([[0.0], ends, np.linspace(0.0, 1.0, 401)]))

        def show(v: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
            out: npt.NDArray[np.float64] = np.sqrt(np.maximum(v, 0.0)) if by == "damage" else v
            return out
        amounts = np.array([s.amount for s in ordered])
        nonfinite = np.array([s.nonfinite for s in ordered])
        rng = np.random.default_rng(np.random.SeedSequence(int(self.config.get("seed", 0)),
                                                           spawn_key=(zlib.crc32(b"random order"),)))  # fmt: skip
        perms = [rng.permutation(len(ordered)) for _ in range(RANDOM_ORDERS)]

        def left(order: npt.NDArray[np.int64], values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
            done = np.searchsorted(np.cumsum(bits[order]) / total, grid * (1 + 1e-12), side="right")
            # Sums of what is left, not the total less what is protected: one bit-30 stratum outweighs the rest
            # by 30 orders of magnitude, and the difference would keep nothing of them.
            rest = np.r_[np.cumsum(values[order][::-1])[::-1], 0.0]
            out: npt.NDArray[np.float64] = rest[done]
            return out

        identity = np.arange(len(ordered))

        def both(values: npt.NDArray[np.float64]) -> tuple[list[float], list[float]]:
            mean_random = np.mean([left(p, values) for p in perms], axis=0)
            return show(left(identity, values)).tolist(), show(mean_random).tolist()

        o, rnd = both(amounts)
        on, rn = both(nonfinite) if nonfinite_first else (None, None)
        return Curve(by, units, r, total, ordered, grid.tolist(), o, rnd, on, rn)

    def _steps(self, by: str, units: str, rate: float) -> list[Step]:
        def step(label: str, recs: Sequence[StratumRecord], bits: int) -> Step:
            amount = rate * sum(x.values * _finite_or(x.additive(by), 0.0) for x in recs)
            nonfinite = rate * sum(x.values * x.nonfinite.mean for x in recs)
            return Step(label, bits, amount, nonfinite)

        if units == "bits":
            return [step(f"{r.tensor}[{r.bit}]", [r], r.values) for r in self.records]
        # A tensor's stored bits include the bit positions the map left out: protecting it protects them all.
        out = []
        for t in self.tensors:
            recs = [r for r in self.records if r.tensor == t.name]
            out.append(step(t.name, recs, t.values * t.width))
        return out


def _finite_or(x: float, default: float) -> float:
    return x if math.isfinite(x) else default


def group_rows(names: Sequence[str], max_rows: int) -> list[tuple[str, list[str]]]:
    """Names as rows: each its own while they are few, else grouped by the longest dotted prefix that keeps them
    to ``max_rows`` (names no longer than the prefix stay whole); past that, runs of consecutive names."""
    if len(names) <= max_rows:
        return [(n, [n]) for n in names]
    parts = [n.split(".") for n in names]
    for depth in range(max(len(p) for p in parts) - 1, 0, -1):
        groups: dict[str, list[str]] = {}
        for n, p in zip(names, parts, strict=True):
            groups.setdefault(".".join(p[:depth]), []).append(n)
        if len(groups) <= max_rows:
            return [(prefix if members == [prefix] else f"{prefix}.* ({len(members)})", members)
                    for prefix, members in groups.items()]  # fmt: skip
    per = -(-len(names) // max_rows)
    runs = [list(names[i : i + per]) for i in range(0, len(names), per)]
    return [(f"{run[0]} .. {run[-1]} ({len(run)})" if len(run) > 1 else run[0], run) for run in runs]


def records_of(rows: Iterable[dict[str, Any]], check: Callable[[StratumRecord], bool]) -> list[StratumRecord]:
    """Records from JSON objects that pass ``check``; anything else is left out."""
    out = []
    for d in rows:
        try:
            rec = StratumRecord.from_json(d)
        except (TypeError, KeyError, ValueError):
            continue
        if check(rec):
            out.append(rec)
    return out


__all__ = ["QUANTITIES", "UNITS", "Curve", "Estimate", "MapResults", "Marginal", "StratumRecord", "TensorInfo",
           "group_rows", "pooled"]  # fmt: skip
