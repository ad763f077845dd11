"""Campaigns: the grid of protections x fault rates (or counts) x trials, and one trial.

A rate r means r faults per stored bit: a trial under rate r injects
round(r x stored bits) faults, at least 1, at distinct sites drawn with a
``Picker`` over the protection's stored bits. Every trial has its own seed,
derived from (seed, protection, rate or count, trial) and recorded in its
result, so a trial is a pure function of the weight set and those four values:
it can be rerun alone, and no result depends on the order trials run in.
"""

from __future__ import annotations

import contextlib
import math
import signal
import threading
import time
import zlib
from collections.abc import Callable, Iterator, Sequence
from dataclasses import asdict, dataclass, field
from itertools import islice
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _rust
from .errors import Interrupted, StudyError
from .metrics import Change, Damage, Reference, damage, damage_between, diff, mean_interval
from .protections import FAULT_KINDS, U64, Protection, Secded, Stored, _SecdedStored, engine, parse_protections, unique
from .weights import STORAGE_BITS, WeightSet

Evaluate = Callable[[list[npt.NDArray[Any]]], float]
OUTCOMES = ("masked", "detected", "sdc")
METRICS = (
    "values_changed",
    "max_abs_error",
    "mean_abs_error",
    "rel_l2_error",
    "nonfinite",
    "chunks_corrected",
    "chunks_flagged",
    "chunks_miscorrected",
    "metric",
    "seconds",
)


@dataclass(frozen=True)
class Point:
    """One fault level of the grid: a rate (faults per stored bit) or an absolute count."""

    rate: float | None = None
    count: int | None = None

    @property
    def key(self) -> str:
        return f"rate={self.rate!r}" if self.rate is not None else f"faults={self.count}"

    def faults(self, stored_bits: int) -> int:
        if self.count is not None:
            return self.count
        assert self.rate is not None
        return max(1, round(self.rate * stored_bits))


@dataclass
class TrialRecord:
    """The result of one trial (the CSV row)."""

    protection: str
    kind: str
    rate: float
    faults: int
    trial: int
    seed: int
    values_changed: int
    max_abs_error: float
    mean_abs_error: float
    rel_l2_error: float
    nonfinite: int
    chunks_corrected: int | None
    chunks_flagged: int | None
    chunks_miscorrected: int | None
    seconds: float
    metric: float | None
    outcome: str
    point: int = 0

    def as_row(self) -> dict[str, Any]:
        row = asdict(self)
        del row["point"]
        return row


COLUMNS = [f for f in TrialRecord.__dataclass_fields__ if f != "point"]


@dataclass
class Fault:
    """One fault of a replayed trial, located in the weights (or in SEC-DED redundancy)."""

    site: int
    tensor: str | None
    element: int | None
    bit: int | None
    where: str
    kind: str
    before: float | None
    after: float | None


def trial_seed(seed: int, protection: str, point: Point, trial: int) -> int:
    """The seed of one trial: a pure function of the campaign seed, protection, fault level and trial."""
    key = (zlib.crc32(protection.encode()), zlib.crc32(point.key.encode()), trial)
    return int(np.random.SeedSequence(entropy=seed, spawn_key=key).generate_state(1, np.uint64)[0])


def draw_sites(size: int, seed: int, count: int) -> U64:
    """The first ``count`` values of Picker(size, seed): distinct fault sites."""
    if engine is not None:
        return np.asarray(engine.draw_sites(size, seed, count), dtype=np.uint64)
    return np.fromiter(islice(_rust.Picker(size, seed=seed), count), dtype=np.uint64, count=count)


class Prepared:
    """A protection applied to a weight set: stored forms (built once), fault-free decode, references."""

    def __init__(
        self, weights: WeightSet, protection: Protection, evaluate: Evaluate | None = None, dense: bool = False
    ) -> None:
        self.weights = weights
        # The sparse path needs the native engine for SEC-DED; the dense one is the reference.
        self.dense = dense or (engine is None and isinstance(protection, Secded))
        self._work: list[npt.NDArray[Any]] | None = None
        self.protection = protection
        self.groups: list[tuple[str, list[int], Stored]] = []
        refused = [s for s, _ in weights.groups() if not protection.accepts(s)]
        if refused:
            raise NotApplicable(protection.name, refused)
        for storage, members in weights.groups():
            stored = protection.encode([weights.tensors[i].patterns for i in members], storage)
            self.groups.append((storage, members, stored))
        self.offsets = np.cumsum([0] + [g[2].site_count for g in self.groups]).tolist()
        self.site_count = int(self.offsets[-1])
        clean: list[npt.NDArray[Any]] = [np.empty(0)] * len(weights.tensors)
        for _, members, stored in self.groups:
            for i, p in zip(members, stored.clean, strict=True):
                clean[i] = p
        self.clean = clean
        original = [t.patterns for t in weights.tensors]
        if all(c is o for c, o in zip(clean, original, strict=True)):  # a lossless code: nothing to measure
            self.reference = weights.reference()
            self.clean_damage = Damage(0, 0.0, 0.0, 0.0, 0)
        else:
            self.reference = Reference.of(weights.tensors, clean)
            self.clean_damage = damage_between(weights.tensors, original, clean, weights.reference())
        self.evaluate = evaluate
        self.clean_metric = _call(evaluate, weights.arrays(clean)) if evaluate else None

    @property
    def bits_per_value(self) -> float:
        return self.site_count / self.weights.value_count

    def sites(self, count: int, seed: int) -> U64:
        if count > self.site_count:
            raise StudyError(f"{count} faults asked of {self.protection.name}, which stores only {self.site_count} bits")
        return draw_sites(self.site_count, seed, count)

    def split(self, sites: U64) -> Iterator[tuple[int, U64]]:
        """Group index and group-local sites, in the order drawn."""
        if len(self.groups) == 1:  # every site is the one group's (sites() draws below site_count)
            if sites.size:
                yield 0, sites
            return
        for k in range(len(self.groups)):
            lo, hi = self.offsets[k], self.offsets[k + 1]
            m = (sites >= np.uint64(lo)) & (sites < np.uint64(hi))
            if m.any():
                yield k, sites[m] - np.uint64(lo)

    def run(self, kind: str, point: Point, index: int, trial: int, seed: int) -> TrialRecord:
        """One trial: sparse (only what the faults touch) or dense (copy, inject, decode all, compare)."""
        t0 = time.perf_counter()
        count = point.faults(self.site_count)
        tseed = trial_seed(seed, self.protection.name, point, trial)
        sites = self.sites(count, tseed)
        tensors = self.weights.tensors
        n = len(tensors)
        empty = np.zeros(0, np.int64)
        changes: list[Change] = [(empty, empty, empty)] * n
        decoded = list(self.clean)
        secded = isinstance(self.protection, Secded)
        corrected = flagged = miscorrected = 0
        for k, local in self.split(sites):
            _, members, stored = self.groups[k]
            if not self.dense:
                sp = stored.sparse(kind, local)
                for i, ch in zip(members, sp.changes, strict=True):
                    changes[i] = ch
                if sp.chunks is not None:
                    corrected += sp.chunks[0]
                    flagged += sp.chunks[1]
                    miscorrected += sp.chunks[2]
                continue
            out = stored.dense(kind, local)
            group_changes = diff(stored.clean, out.patterns)
            for i, ch, p in zip(members, group_changes, out.patterns, strict=True):
                changes[i] = ch
                decoded[i] = p
            if out.secded is not None:
                assert isinstance(stored, _SecdedStored)
                bad = stored.changed_chunks([(idx, b ^ a) for idx, b, a in _as_bits(group_changes)])
                f = out.secded.flagged
                flagged += int(f.size)
                miscorrected += int(np.setdiff1d(bad, f, assume_unique=True).size)
                either = unique(np.concatenate([f, bad]))
                corrected += int(np.setdiff1d(out.secded.effective, either, assume_unique=True).size)
        dmg = damage(tensors, changes, self.reference)
        metric = None
        if self.evaluate is not None:
            metric = self._evaluate(decoded) if self.dense else self._evaluate_sparse(changes)
        if flagged:
            outcome = "detected"
        elif dmg.values_changed == 0:
            outcome = "masked"
        else:
            outcome = "sdc"
        return _record(
            self.protection.name, kind, point, self.site_count, count, trial,
            tseed, dmg,
            (corrected, flagged, miscorrected) if secded else None, metric, outcome, index,
            time.perf_counter() - t0,
        )  # fmt: skip

    def _evaluate(self, patterns: list[npt.NDArray[Any]]) -> float:
        arrays = self.weights.arrays(patterns)
        for a in arrays:
            a.flags.writeable = False  # shared with the next trial: evaluate must not write
        return _call(self.evaluate, arrays)

    def _evaluate_sparse(self, changes: list[Change]) -> float:
        """Applies the changes to one working copy, evaluates, then restores exactly those values."""
        if self._work is None:
            self._work = [c.copy() for c in self.clean]
        work = self._work
        for w, (idx, _, after) in zip(work, changes, strict=True):
            w[idx] = after
        try:
            return self._evaluate(work)
        finally:
            for w, (idx, before, _) in zip(work, changes, strict=True):
                w[idx] = before

    def locate(self, site: int) -> tuple[int, str | None, int | None, int | None, str]:
        """Where a global site lies: (group, tensor, element, bit, description)."""
        k = int(np.searchsorted(self.offsets, site, side="right")) - 1
        _, members, stored = self.groups[k]
        local = site - self.offsets[k]
        sizes = [self.weights.tensors[i].size for i in members]
        w = STORAGE_BITS[stored.storage]
        if isinstance(stored, _SecdedStored):
            g = int(stored.encoded(np.array([local], np.uint64))[0])
            c, p = divmod(g, stored.n)
            if p == 0:
                return k, None, None, None, f"overall parity bit of chunk {c}"
            if p & (p - 1) == 0:
                return k, None, None, None, f"check bit {p.bit_length() - 1} of chunk {c}"
            t = c * stored.d + p - (p.bit_length() - 1) - 2
            if t >= stored.data_bits:
                return k, None, None, None, f"fill bit of chunk {c}"
            elem, bit = divmod(t, w)
            where = f"data bit {p - (p.bit_length() - 1) - 2} of chunk {c}"
        else:
            elem, bit = divmod(local, w)
            where = "value bit"
        for i, size in zip(members, sizes, strict=True):
            if elem < size:
                return k, self.weights.tensors[i].name, elem, bit, where
            elem -= size
        raise AssertionError("site beyond the group")  # pragma: no cover


class NotApplicable(StudyError):
    def __init__(self, protection: str, storages: Sequence[str]) -> None:
        self.protection = protection
        self.storages = list(storages)
        super().__init__(f"{protection} does not take {'/'.join(storages)} data")


def _as_bits(changes: Sequence[Change]) -> Iterator[Change]:
    for idx, a, b in changes:
        u = f"u{a.dtype.itemsize}"
        yield idx, a.view(u), b.view(u)


class _CtrlC:
    """Lets a run hold Ctrl-C back while it writes and counts a finished trial.

    Otherwise the interrupt can land between the two, and the count the user
    is told differs from the trials the run directory keeps. A Ctrl-C that
    comes meanwhile is raised when the held block ends. Python runs signal
    handlers in the main thread only, so elsewhere nothing is installed.
    """

    def __init__(self) -> None:
        self._old: Any = None
        self._holding = False
        self._pending: tuple[int, Any] | None = None

    def install(self) -> _CtrlC:
        if threading.current_thread() is threading.main_thread():
            old = signal.getsignal(signal.SIGINT)
            if callable(old):  # SIG_IGN and SIG_DFL stay as they are
                self._old = signal.signal(signal.SIGINT, self._handler)
        return self

    def restore(self) -> None:
        if self._old is not None:
            signal.signal(signal.SIGINT, self._old)
            self._old = None

    def _handler(self, signum: int, frame: Any) -> None:
        if self._holding:
            self._pending = (signum, frame)
        else:
            self._old(signum, frame)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self._holding = True
        try:
            yield
        finally:
            self._holding = False
        if self._pending is not None:
            pending, self._pending = self._pending, None
            self._old(*pending)


def _call(evaluate: Evaluate | None, arrays: list[npt.NDArray[Any]]) -> float:
    assert evaluate is not None
    try:
        value = evaluate(arrays)
    except Exception as exc:
        raise StudyError(f"the evaluate function raised {type(exc).__name__}: {exc}") from exc
    try:
        return float(value)
    except (TypeError, ValueError):
        raise StudyError(f"the evaluate function returned {type(value).__name__}, not a number") from None


def _record(
    protection: str,
    kind: str,
    point: Point,
    site_count: int,
    count: int,
    trial: int,
    seed: int,
    dmg: Damage,
    chunks: tuple[int, int, int] | None,
    metric: float | None,
    outcome: str,
    index: int,
    seconds: float,
) -> TrialRecord:
    rate = point.rate if point.rate is not None else count / site_count
    c = chunks or (None, None, None)
    return TrialRecord(
        protection, kind, rate, count, trial, seed,
        dmg.values_changed, dmg.max_abs_error, dmg.mean_abs_error, dmg.rel_l2_error, dmg.nonfinite,
        c[0], c[1], c[2], seconds, metric, outcome, index,
    )  # fmt: skip


@dataclass
class ProtectionSummary:
    """What a protection costs and loses before any fault, once per campaign."""

    name: str
    applicable: bool
    reason: str = ""
    stored_bits: int = 0
    bits_per_value: float = 0.0
    clean: Damage | None = None
    clean_metric: float | None = None


@dataclass
class Aggregate:
    """Mean and 95% interval of each metric, and outcome fractions, over the trials of one grid point."""

    protection: str
    rate: float
    faults: int
    trials: int
    metrics: dict[str, tuple[float, float, float]]
    outcomes: dict[str, float]


@dataclass
class Results:
    config: dict[str, Any]
    records: list[TrialRecord]
    protections: list[ProtectionSummary]
    baseline_metric: float | None = None
    skipped: list[tuple[str, str]] = field(default_factory=list)

    def aggregates(self) -> list[Aggregate]:
        groups: dict[tuple[str, int], list[TrialRecord]] = {}
        for r in self.records:
            groups.setdefault((r.protection, r.point), []).append(r)
        out = []
        for (name, _), recs in groups.items():
            metrics = {}
            for m in METRICS:
                vals = [getattr(r, m) for r in recs]
                if all(v is None for v in vals):
                    continue
                metrics[m] = mean_interval(vals)
            outcomes = {o: sum(r.outcome == o for r in recs) / len(recs) for o in OUTCOMES}
            out.append(Aggregate(name, recs[0].rate, recs[0].faults, len(recs), metrics, outcomes))
        return out


@dataclass(frozen=True)
class TrialTask:
    protection: str
    point: int
    trial: int


class Campaign:
    """A fault campaign over one weight set.

    ``rates`` are faults per stored bit, each in (0, 1]: a rate r injects
    round(r x stored bits) faults, at least 1. ``counts`` give absolute fault
    numbers instead. ``kind`` is "flip", "stuck-at-0" or "stuck-at-1".
    ``evaluate(weights) -> float``, when given, is called on the decoded
    weights (arrays of the source dtypes and shapes) of every trial.
    """

    def __init__(
        self,
        weights: WeightSet,
        protections: Sequence[str | Protection],
        *,
        rates: Sequence[float] | None = None,
        counts: Sequence[int] | None = None,
        kind: str = "flip",
        trials: int = 10,
        seed: int = 0,
        evaluate: Evaluate | None = None,
        dense: bool = False,
    ) -> None:
        if (rates is None) == (counts is None):
            raise StudyError("give either rates or counts of faults")
        if kind not in FAULT_KINDS:
            raise StudyError(f"unknown fault kind '{kind}' (use {', '.join(FAULT_KINDS)})")
        if trials < 1:
            raise StudyError(f"trials must be at least 1, got {trials}")
        if not 0 <= seed < 2**64:
            raise StudyError(f"seed must be in [0, 2**64), got {seed}")
        self.weights = weights
        self.protections = parse_protections(protections)
        if rates is not None:
            for r in rates:
                if not (isinstance(r, (int, float)) and 0 < r <= 1):
                    raise StudyError(f"rate {r} is outside (0, 1]")
            self.points = [Point(rate=float(r)) for r in rates]
        else:
            assert counts is not None
            for c in counts:
                if int(c) != c or c < 1:
                    raise StudyError(f"fault count {c} is not a positive whole number")
            self.points = [Point(count=int(c)) for c in counts]
        if not self.points:
            raise StudyError("no fault rate or count given")
        self.kind = kind
        self.trials = trials
        self.seed = seed
        self.evaluate = evaluate
        self.dense = dense
        self._checked = False

    def config(self) -> dict[str, Any]:
        return {
            "weights": self.weights.source,
            "tensors": [[t.name, list(t.shape), t.dtype] for t in self.weights.tensors],
            "protections": [p.name for p in self.protections],
            "rates": [p.rate for p in self.points] if self.points[0].rate is not None else None,
            "counts": [p.count for p in self.points] if self.points[0].count is not None else None,
            "kind": self.kind,
            "trials": self.trials,
            "seed": self.seed,
            "evaluate": self.evaluate is not None,
        }

    def summaries(self) -> list[ProtectionSummary]:
        """Applicability and stored bits of each protection, without encoding anything."""
        out = []
        for p in self.protections:
            refused = [s for s, _ in self.weights.groups() if not p.accepts(s)]
            if refused:
                out.append(ProtectionSummary(p.name, False, f"does not take {'/'.join(refused)} data"))
                continue
            bits = sum(p.stored_bits(sum(self.weights.tensors[i].size for i in m), s) for s, m in self.weights.groups())
            out.append(ProtectionSummary(p.name, True, stored_bits=bits, bits_per_value=bits / self.weights.value_count))
        return out

    def check(self) -> None:
        """Refuses counts above a protection's stored bits before anything runs."""
        for s in self.summaries():
            if not s.applicable:
                continue
            for pt in self.points:
                if pt.count is not None and pt.count > s.stored_bits:
                    raise StudyError(f"{pt.count} faults asked of {s.name}, which stores only {s.stored_bits} bits")
        self._checked = True

    def tasks(self, protection: str) -> list[TrialTask]:
        return [TrialTask(protection, i, t) for i in range(len(self.points)) for t in range(self.trials)]

    def prepare(self, protection: Protection) -> Prepared:
        return Prepared(self.weights, protection, self.evaluate, self.dense)

    def run_task(self, prepared: Prepared, task: TrialTask) -> TrialRecord:
        return prepared.run(self.kind, self.points[task.point], task.point, task.trial, self.seed)

    def run(
        self,
        on_trial: Callable[[TrialRecord], None] | None = None,
        *,
        workers: int = 1,
        scheduler: Any = None,
        out: str | Path | None = None,
        on_resume: Callable[[int], None] | None = None,
    ) -> Results:
        """Runs every trial, one protection at a time (its stored form built once, then released).

        ``workers`` > 1 runs trials in that many forked worker processes;
        ``scheduler`` (an address or a ``dask.distributed.Client``) runs them
        on a Dask cluster instead. ``out`` names a run directory: finished
        trials are kept there as they finish, and a rerun skips them
        (``on_resume`` hears how many). Records come back in grid order
        whatever runs them. Ctrl-C raises :class:`Interrupted`, every finished
        trial kept.
        """
        from .executors import Executor, Job, make_executor

        self.check()
        summaries = self.summaries()
        order = {p.name: i for i, p in enumerate(self.protections)}
        total = self.total_trials()
        rundir = None
        saved: dict[str, ProtectionSummary] = {}
        baseline: float | None = None
        records: list[TrialRecord] = []
        executor: Executor | None = None
        ctrl_c = _CtrlC().install()
        try:
            if out is not None:
                from .rundir import RunDir, read_summaries, run_config

                rundir = RunDir(out, run_config(self.config(), self.weights, self.evaluate))
                records = [r for k, r in rundir.done.items() if k[0] in order]
                if records:
                    try:
                        found, baseline, _ = read_summaries(rundir.path)
                    except StudyError:  # lost summaries are measured again
                        found = []
                    saved = {s.name: s for s in found if s.clean is not None}
                    if on_resume is not None:
                        on_resume(len(records))
            done = {(r.protection, r.point, r.trial) for r in records}
            if baseline is None and self.evaluate is not None:
                baseline = _call(self.evaluate, self.weights.arrays())
            for s in summaries:
                if s.name in saved:
                    s.clean, s.clean_metric = saved[s.name].clean, saved[s.name].clean_metric
            if rundir is not None:
                rundir.save_summaries(summaries, baseline, list(self.weights.skipped))
            job = Job(self.weights, self.kind, self.points, self.seed, self.evaluate, self.dense)
            for protection, summary in zip(self.protections, summaries, strict=True):
                if not summary.applicable:
                    continue
                pending = [(t.point, t.trial) for t in self.tasks(protection.name) if (t.protection, t.point, t.trial) not in done]
                if not pending and summary.clean is not None:
                    continue
                if executor is None:
                    executor = make_executor(workers, scheduler)
                executor.prepare(job, protection)
                trials = executor.run(pending)
                try:
                    for rec in trials:
                        with ctrl_c.held():
                            if rundir is not None:
                                rundir.append(rec)
                            records.append(rec)
                        if on_trial is not None:
                            on_trial(rec)
                finally:
                    trials.close()
                summary.clean, summary.clean_metric = executor.clean()
                if rundir is not None:
                    rundir.save_summaries(summaries, baseline, list(self.weights.skipped))
                executor.release()
        except KeyboardInterrupt:
            raise Interrupted(len(records), total, None if out is None else str(out)) from None
        finally:
            try:
                if executor is not None:
                    executor.close()
            finally:
                try:
                    if rundir is not None:
                        rundir.close()
                finally:
                    ctrl_c.restore()
        records.sort(key=lambda r: (order[r.protection], r.point, r.trial))
        return Results(self.config(), records, summaries, baseline, list(self.weights.skipped))

    def total_trials(self) -> int:
        return sum(s.applicable for s in self.summaries()) * len(self.points) * self.trials

    def point_of(self, rate: float) -> int:
        """The index of the grid point with this rate (or count)."""
        for i, p in enumerate(self.points):
            if (p.rate is not None and math.isclose(p.rate, rate, rel_tol=1e-9)) or p.count == rate:
                return i
        raise StudyError(f"rate {rate} is not one of the campaign's ({', '.join(p.key for p in self.points)})")

    def show_trial(self, protection: str, rate: float, trial: int) -> tuple[TrialRecord, list[Fault]]:
        """Reruns one trial from its seed and lists its faults with the values before and after decoding."""
        prot = next((p for p in self.protections if p.name == protection), None)
        if prot is None:
            prot = parse_protections([protection])[0]
        if not 0 <= trial < self.trials:
            raise StudyError(f"trial {trial} is outside 0..{self.trials - 1}")
        index = self.point_of(rate)
        prepared = self.prepare(prot)
        point = self.points[index]
        record = prepared.run(self.kind, point, index, trial, self.seed)
        sites = prepared.sites(point.faults(prepared.site_count), record.seed)
        # The decoded values of the trial, to show each fault's value after decoding.
        decoded = list(prepared.clean)
        for k, local in prepared.split(sites):
            _, members, stored = prepared.groups[k]
            for i, p in zip(members, stored.dense(self.kind, local).patterns, strict=True):
                decoded[i] = p
        faults = []
        names = {t.name: i for i, t in enumerate(self.weights.tensors)}
        for s in sites.tolist():
            _, tensor, elem, bit, where = prepared.locate(s)
            before = after = None
            if tensor is not None and elem is not None:
                i = names[tensor]
                t = self.weights.tensors[i]
                before = float(t.values(prepared.clean[i][elem : elem + 1])[0])
                after = float(t.values(decoded[i][elem : elem + 1])[0])
            faults.append(Fault(s, tensor, elem, bit, where, self.kind, before, after))
        return record, faults
