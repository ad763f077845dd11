"""Campaigns: the grid of protections x fault levels x trials, validated, resumed, run and interrupted.

A rate r means r faults per stored bit: a trial under rate r injects
round(r x stored bits) faults, at least 1, at distinct sites drawn with a
``Picker`` over the protection's stored bits. Every trial has its own seed,
derived from (seed, protection, rate or count, trial) and recorded in its
result, so a trial is a pure function of the weight set and those four values:
it can be rerun alone, and no result depends on the order trials run in.

This module is the one place where a campaign's options are checked; the
command line passes its flag names so that a message names what the user typed.
"""

from __future__ import annotations

import contextlib
import math
import signal
import threading
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from types import FrameType
from typing import Any

from .errors import Interrupted, RunFailed, StudyError, kept
from .executors import Executor, make_executor
from .files import check_output
from .protections import Protection, parse_protections
from .report import PLOT_FORMATS
from .rundir import OWN_FILES, RunDir, callable_name, read_summaries, run_config
from .trial import Evaluate, TrialSpec, call_evaluate, replay
from .vocabulary import (
    FAULT_KINDS,
    Count,
    FaultKind,
    FaultLevel,
    FaultSite,
    ProtectionSummary,
    Rate,
    Results,
    TrialKey,
    TrialRecord,
)
from .weights import WeightSet


#: The most trials a campaign may hold (protections x fault levels x trials): beyond, no machine finishes it.
MAX_TRIALS = 10**9
#: The most fault levels (rates or counts) a campaign may hold.
MAX_LEVELS = 10**5


def check_trials(trials: int, name: str = "trials") -> int:
    if trials < 1:
        raise StudyError(f"{name} must be at least 1, got {trials}")
    if trials > MAX_TRIALS:
        raise StudyError(f"{name} {trials} is more than the {MAX_TRIALS:.0e} trials a campaign may hold")
    return trials


def check_levels(n: int, name: str = "fault levels") -> int:
    if n > MAX_LEVELS:
        raise StudyError(f"{name}: {n} fault levels are more than the {MAX_LEVELS:.0e} a campaign may hold")
    return n


def check_seed(seed: int, name: str = "seed") -> int:
    if not 0 <= seed < 2**64:
        raise StudyError(f"{name} must be in [0, 2**64), got {seed}")
    return seed


def check_workers(workers: int, name: str = "workers") -> int:
    if workers < 1:
        raise StudyError(f"{name} must be at least 1, got {workers}")
    return workers


def check_rate(rate: object, prefix: str = "", text: str | None = None) -> float:
    """A rate in (0, 1]; a message shows ``text``, the rate as the user wrote it, when given."""
    if not (isinstance(rate, (int, float)) and 0 < rate <= 1):
        raise StudyError(f"{prefix}rate {rate if text is None else text} is outside (0, 1]")
    return float(rate)


def log_rates(start: float, stop: float, n: int, name: str, text: str) -> list[float]:
    """N rates log-spaced from START to STOP (``text`` is how the user wrote them)."""
    if n < 1:
        raise StudyError(f"{name}: N must be at least 1, got {n}")
    check_levels(n, name)
    if not (0 < start <= 1 and 0 < stop <= 1):
        raise StudyError(f"{name}: rate outside (0, 1] in '{text}'")
    if n == 1:
        return [start]
    a, b = math.log10(start), math.log10(stop)
    return [float(10 ** (a + (b - a) * i / (n - 1))) for i in range(n)]


def check_outputs(outputs: Sequence[tuple[str | None, bool]], out: str | Path | None = None) -> None:
    """Refuses output paths (each with whether it is a plot) before anything runs.

    An output may not replace a file of the run directory ``out``.
    """
    keep = [Path(out) / name for name in OWN_FILES] if out else []
    for path, plot in outputs:
        if path is not None:
            check_output(path, PLOT_FORMATS if plot else None, keep)


def check_count(count: object, prefix: str = "") -> int:
    if not (isinstance(count, (int, float)) and int(count) == count and count >= 1):
        raise StudyError(f"{prefix}fault count {count} is not a positive whole number")
    return int(count)


def check_kind(kind: str) -> FaultKind:
    if kind not in FAULT_KINDS:
        raise StudyError(f"unknown fault kind '{kind}' (use {', '.join(FAULT_KINDS)})")
    return FaultKind(kind)


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
        self._pending: tuple[int, FrameType | None] | None = None

    def __enter__(self) -> _CtrlC:
        if threading.current_thread() is threading.main_thread():
            old = signal.getsignal(signal.SIGINT)
            if callable(old):  # SIG_IGN and SIG_DFL stay as they are
                self._old = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._old is not None:
            signal.signal(signal.SIGINT, self._old)
            self._old = None

    def _handler(self, signum: int, frame: FrameType | None) -> None:
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


class Campaign:
    """A fault campaign over one weight set.

    ``rates`` are faults per stored bit, each in (0, 1]: a rate r injects
    round(r x stored bits) faults, at least 1. ``counts`` give absolute fault
    numbers instead. ``kind`` is "flip", "stuck-at-0" or "stuck-at-1".
    ``evaluate(weights) -> float``, when given, is called on the decoded
    weights (arrays of the source dtypes and shapes) of every trial;
    ``metric_name`` says what it measures (by default its module:name).
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
        metric_name: str | None = None,
    ) -> None:
        if (rates is None) == (counts is None):
            raise StudyError("give either rates or counts of faults")
        self.kind = check_kind(kind)
        self.trials = check_trials(trials)
        self.seed = check_seed(seed)
        self.weights = weights
        self.protections = parse_protections(protections)
        self.levels: list[FaultLevel]
        check_levels(len(rates if rates is not None else counts or []))
        if rates is not None:
            self.levels = [Rate(check_rate(r)) for r in rates]
        else:
            assert counts is not None
            self.levels = [Count(check_count(c)) for c in counts]
        if not self.levels:
            raise StudyError("no fault rate or count given")
        grid = len(self.protections) * len(self.levels) * self.trials
        if grid > MAX_TRIALS:
            raise StudyError(f"the campaign holds {grid:.3g} trials ({len(self.protections)} protections x "
                             f"{len(self.levels)} fault levels x {self.trials}), more than the {MAX_TRIALS:.0e} "
                             "a campaign may hold")  # fmt: skip
        self.evaluate = evaluate
        self.dense = dense
        self.metric_name = metric_name if metric_name is not None or evaluate is None else callable_name(evaluate)
        self._spec: TrialSpec | None = None

    def config(self) -> dict[str, Any]:
        rates = [lv.value for lv in self.levels if isinstance(lv, Rate)]
        counts = [lv.value for lv in self.levels if isinstance(lv, Count)]
        return {
            "weights": self.weights.source,
            "tensors": [[t.name, list(t.shape), t.dtype] for t in self.weights.tensors],
            "protections": [p.name for p in self.protections],
            "rates": rates or None,
            "counts": counts or None,
            "kind": str(self.kind),
            "trials": self.trials,
            "seed": self.seed,
            "evaluate": self.evaluate is not None,
        }

    def spec(self) -> TrialSpec:
        """What every trial shares (built once per campaign)."""
        if self._spec is None:
            self._spec = TrialSpec(self.weights, self.kind, self.levels, self.seed, self.evaluate, self.dense)
        return self._spec

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
            for lv in self.levels:
                if isinstance(lv, Count) and lv.value > s.stored_bits:
                    raise StudyError(f"{lv.value} faults asked of {s.name}, which stores only {s.stored_bits} bits")

    def tasks(self, protection: str) -> Iterator[TrialKey]:
        """The protection's trials in grid order, made as they are taken."""
        for i in range(len(self.levels)):
            for t in range(self.trials):
                yield TrialKey(protection, i, t)

    def total_trials(self) -> int:
        return sum(s.applicable for s in self.summaries()) * len(self.levels) * self.trials

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
        check_workers(workers)
        self.check()
        records: list[TrialRecord] = []
        try:
            with contextlib.ExitStack() as stack:
                ctrl_c = stack.enter_context(_CtrlC())
                rundir = None
                if out is not None:
                    bits = {s.name: s.stored_bits for s in self.summaries() if s.applicable}
                    rundir = stack.enter_context(RunDir(out, self._run_config(), bits))
                summaries, baseline = self._resume(rundir, records, on_resume)
                done = {r.key for r in records}
                executor: Executor | None = None
                for protection, summary in zip(self.protections, summaries, strict=True):
                    count = len(self.levels) * self.trials - sum(k.protection == protection.name for k in done)
                    if not summary.applicable or (not count and summary.clean is not None):
                        continue
                    if executor is None:
                        executor = stack.enter_context(make_executor(workers, scheduler))
                    executor.prepare(self.spec(), protection)
                    pending = (k for k in self.tasks(protection.name) if k not in done)
                    with contextlib.closing(executor.run(pending, count)) as trials:
                        for rec in trials:
                            with ctrl_c.held():
                                if rundir is not None:
                                    rundir.append(rec)
                                records.append(rec)
                            if on_trial is not None:
                                on_trial(rec)
                    summary.clean, summary.clean_metric = executor.clean()
                    if rundir is not None:
                        rundir.save_summaries(summaries, baseline, list(self.weights.skipped), self.metric_name)
                    executor.release()
        except KeyboardInterrupt:
            raise Interrupted(len(records), self.total_trials(), None if out is None else str(out)) from None
        except RunFailed as exc:
            where = None if out is None else str(out)
            raise RunFailed(f"{exc}; {kept(len(records), self.total_trials(), where)}") from None
        order = {p.name: i for i, p in enumerate(self.protections)}
        records.sort(key=lambda r: (order[r.protection], r.point, r.trial))
        return Results(self.config(), records, summaries, baseline, list(self.weights.skipped), self.metric_name)

    def _run_config(self) -> dict[str, Any]:
        return run_config(self.config(), self.weights, self.evaluate)

    def _resume(
        self, rundir: RunDir | None, records: list[TrialRecord], on_resume: Callable[[int], None] | None
    ) -> tuple[list[ProtectionSummary], float | None]:
        """Takes the finished trials and measured summaries from the run directory; the summaries to fill."""
        summaries = self.summaries()
        order = {p.name for p in self.protections}
        saved: dict[str, ProtectionSummary] = {}
        baseline: float | None = None
        if rundir is not None:
            records.extend(r for k, r in rundir.done.items() if k.protection in order)
            if records:
                try:
                    found = read_summaries(rundir.path)
                    saved = {s.name: s for s in found.protections if s.clean is not None}
                    baseline = found.baseline
                except StudyError:  # lost summaries are measured again
                    pass
                if on_resume is not None:
                    on_resume(len(records))
        if baseline is None and self.evaluate is not None:
            baseline = call_evaluate(self.evaluate, self.weights.arrays())
        for s in summaries:
            if s.name in saved:
                s.clean, s.clean_metric = saved[s.name].clean, saved[s.name].clean_metric
        if rundir is not None:
            rundir.save_summaries(summaries, baseline, list(self.weights.skipped), self.metric_name)
        return summaries, baseline

    def point_of(self, rate: float) -> int:
        """The index of the grid point with this rate (or count)."""
        for i, lv in enumerate(self.levels):
            if isinstance(lv, Rate) and math.isclose(lv.value, rate, rel_tol=1e-9):
                return i
            if isinstance(lv, Count) and lv.value == rate:
                return i
        raise StudyError(f"rate {rate} is not one of the campaign's ({', '.join(lv.key for lv in self.levels)})")

    def show_trial(self, protection: str, rate: float, trial: int) -> tuple[TrialRecord, list[FaultSite]]:
        """Reruns one trial from its seed and lists its faults with the values before and after decoding."""
        prot = next((p for p in self.protections if p.name == protection), None)
        if prot is None:
            prot = parse_protections([protection])[0]
        if not 0 <= trial < self.trials:
            raise StudyError(f"trial {trial} is outside 0..{self.trials - 1}")
        index = self.point_of(rate)
        return replay(self.spec().prepare(prot), index, trial)
