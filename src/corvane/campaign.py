"""Campaigns: the grid of protections x fault levels x trials, validated, resumed, run and interrupted.

A rate r means r fault events per stored bit: a trial under rate r draws
round(r x stored bits) events, at least 1, each one stored bit (the pattern
``single``), B adjacent bits of one storage word (``burst:B``) or K bits of
one word (``word:K``). With ``bits``, faults hit only the chosen bits and a
rate counts events per chosen bit. Every trial has its own seed,
derived from (seed, protection, rate or count, trial) and recorded in its
result, so a trial is a pure function of the weight set and those four values:
it can be rerun alone, and no result depends on the order trials run in.

With a margin, each cell (protection, fault level) runs its trials in
batches and stops once every outcome fraction is known to within the margin
(see ``results.Margin``); the trials run are a prefix of the same seeded
sequence whatever runs them and however often the run is interrupted.

This module is the one place where a campaign's options are checked; the
command line passes its flag names so that a message names what the user typed.
"""

from __future__ import annotations

import contextlib
import fnmatch
import math
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any

from .errors import Interrupted, RunFailed, StudyError, kept_trials
from .executors import Executor, make_executor
from .expectations import sample_size
from .intervals import proportion
from .patterns import Layout, layout_error, parse_bits, parse_kinds, parse_pattern, targets
from .protections import Protection, parse_protections
from .metrics import rounding_loss
from .protections import NoProtection
from .results import Margin, Results, planned
from .files import check_output
from .report import PLOT_FORMATS
from .rundir import OWN_FILES, RunDir, callable_name, read_summaries, run_config, weights_digest
from .runs import CtrlC, check_metric_range, check_seed, check_workers
from .trial import Evaluate, TrialSpec, call_evaluate, layout_of, named, replay, storage_groups
from .vocabulary import (
    SINGLE,
    BitSpec,
    Count,
    FaultKind,
    FaultLevel,
    FaultSite,
    KindMix,
    Pattern,
    ProtectionSummary,
    Rate,
    Rounding,
    TrialKey,
    TrialRecord,
)
from .weights import WeightSet

#: The finished trials of each cell (protection, level index), by trial number.
Cells = dict[tuple[str, int], dict[int, TrialRecord]]
#: Trials a cell runs at a time under a margin, and without one by default.
MARGIN_BATCH = 50
DEFAULT_TRIALS = 10
#: Most faults per trial for which expectations are computed (beyond, their engine is out of its range).
EXPECTED_MAX_FAULTS = 2_000_000


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


def check_outputs(outputs: Sequence[tuple[str | None, bool]], out: str | Path | None = None,
                  own: Sequence[str] = OWN_FILES) -> None:  # fmt: skip
    """Refuses output paths (each with whether it is a plot) before anything runs.

    An output may not replace a file of the run directory ``out`` (``own``: a
    campaign's, or a map's).
    """
    keep = [Path(out) / name for name in own] if out else []
    for path, plot in outputs:
        if path is not None:
            check_output(path, PLOT_FORMATS if plot else None, keep)


def check_count(count: object, prefix: str = "") -> int:
    if not (isinstance(count, (int, float)) and int(count) == count and count >= 1):
        raise StudyError(f"{prefix}fault count {count} is not a positive whole number")
    return int(count)


def check_selection(spec: str | Iterable[str] | None, weights: WeightSet,
                    name: str = "protect_only") -> frozenset[str] | None:  # fmt: skip
    """The tensors a protection is applied to: comma-separated globs (or a list of them; a set holds names), or
    ``@FILE`` naming the tensors one per line, as ``corvane map --selection`` writes them (lines starting with #
    and blank lines are skipped). Each glob must match a tensor and each name must be one of the weight set's."""
    if spec is None:
        return None
    names = [t.name for t in weights.tensors]
    if isinstance(spec, (set, frozenset)):
        spec = sorted(spec)
        unknown = [n for n in spec if n not in names]
        if unknown:
            raise StudyError(f"{name}: '{unknown[0]}' is no tensor of {weights.source or 'the weight set'}")
    if isinstance(spec, str) and spec.startswith("@"):
        path = Path(spec[1:])
        try:
            lines = path.read_text(encoding="utf-8").split("\n")
        except (OSError, UnicodeDecodeError) as exc:
            why = exc.strerror if isinstance(exc, OSError) else "not UTF-8 text"
            raise StudyError(f"{name} {spec}: cannot read the tensor list: {why}") from None
        listed = [line.removesuffix("\r") for line in lines if line.strip() and not line.startswith("#")]
        missing = [n for n in listed if n not in names]
        if missing:
            raise StudyError(f"{name} {spec}: '{missing[0]}' is no tensor of {weights.source or 'the weight set'}"
                             + (f" (and {len(missing) - 1} more)" if len(missing) > 1 else ""))  # fmt: skip
        chosen = set(listed)
    else:
        globs = [g for g in (spec.split(",") if isinstance(spec, str) else spec) if g]
        chosen = set()
        for g in globs:
            hits = [n for n in names if n == g or fnmatch.fnmatchcase(n, g)]
            if not hits:
                raise StudyError(f"{name}: '{g}' matches no tensor of {weights.source or 'the weight set'}")
            chosen.update(hits)
    if not chosen:
        raise StudyError(f"{name} {spec}: selects no tensor")
    return frozenset(chosen)


def check_confidence(confidence: object, name: str = "confidence") -> float:
    if not (isinstance(confidence, (int, float)) and 0 < confidence < 1):
        raise StudyError(f"{name} must lie strictly between 0 and 1, got {confidence}")
    return float(confidence)


def check_margin(margin: object, name: str = "margin") -> float:
    # Past 0.5 every interval of a fraction is narrow enough from the first batch on.
    if not (isinstance(margin, (int, float)) and 0 < margin < 0.5):
        raise StudyError(f"{name} must lie strictly between 0 and 0.5, got {margin}")
    return float(margin)


def check_tolerance(tolerance: object, name: str = "tolerance") -> float:
    if not (isinstance(tolerance, (int, float)) and math.isfinite(tolerance) and tolerance >= 0):
        raise StudyError(f"{name} must be a finite number of at least 0, got {tolerance}")
    return float(tolerance)


def check_kind(kind: str | FaultKind | KindMix, name: str = "") -> KindMix:
    """One fault kind, or a mix of kinds with their probabilities."""
    return parse_kinds(kind, name)


def check_pattern(pattern: str | Pattern, name: str = "") -> Pattern:
    return parse_pattern(pattern, name)


def check_bits(bits: str | BitSpec | None, name: str = "") -> BitSpec | None:
    return None if bits is None else parse_bits(bits, name)


#: Default rates run from about one fault per trial up to this many, where unprotected weights are long past
#: saving: about 1000 / 32 = 31 faults land on each bit position of float32 values, the exponent's top bit too.
SATURATED = 1000
#: The highest default rate, for weight sets so small that SATURATED faults would be most of their bits.
TOP_RATE = 1e-2


def default_rates(bits: int, quick: bool = False) -> tuple[list[float], str]:
    """Rates fitted to a model of ``bits`` targeted bits, and a line that says which and why.

    Log-spaced from one fault per trial (ten with ``quick``) to SATURATED
    faults per trial, at most TOP_RATE: below the first, hardly a trial sees a
    fault; beyond the last, every unprotected trial is ruined alike.
    """
    points, low = (3, 10) if quick else (4, 1)
    top = min(SATURATED / bits, TOP_RATE)
    bottom = min(low / bits, top)
    a, b = math.log10(bottom), math.log10(top)
    inner = [float(10 ** (a + (b - a) * i / (points - 1))) for i in range(1, points - 1)]
    rates = sorted({bottom, *inner, top})
    first, last = max(1, round(rates[0] * bits)), max(1, round(rates[-1] * bits))
    if last >= SATURATED:
        why = (f", past which every unprotected trial is ruined alike (about {SATURATED // 32} faults on each bit "
               "position of a float32, the exponent's top bit too)")  # fmt: skip
    else:
        why = f" (rate {TOP_RATE:g}, the highest default rate)"
    note = (
        f"rates {', '.join(f'{r:.3g}' for r in rates)} chosen from the weights' {bits:,} bits: "
        f"from {first} fault{'s' if first > 1 else ''} per trial to {last}{why}; --rates chooses others"
    )
    return rates, note


class Campaign:
    """A fault campaign over one weight set.

    ``rates`` are faults per stored bit, each in (0, 1]: a rate r injects
    round(r x stored bits) fault events, at least 1. ``counts`` give absolute
    event numbers instead. ``kind`` is "flip", "stuck-at-0" or "stuck-at-1",
    or a mix drawn per event, as in "flip:0.8,stuck-at-0:0.1,stuck-at-1:0.1".
    ``pattern`` is "single", "burst:B" or "word:K". ``bits`` chooses the bits
    faults may hit ("30", "23-30", "exponent", "check", ...; rates then count
    events per chosen bit). ``evaluate(weights) -> float``, when given, is
    called on the decoded weights (arrays of the source dtypes and shapes) of
    every trial; ``metric_name`` says what it measures (by default its
    module:name). With neither ``rates`` nor ``counts``, the rates are chosen
    from the weights' bits (``default_rates``; fewer with ``quick``) and
    ``rates_note`` says which and why. ``metric_range`` is what the metric
    can take, where known (an accuracy: (0, 1)), so that no interval leaves
    it. With ``tolerance`` T an sdc trial is ``sdc_tolerable`` when the metric
    stays within T of the protection's clean metric, else ``sdc_critical``.

    ``evaluate`` receives the weights as a read-only mapping, tensor name ->
    array of the source dtype and shape, in the order of the source. It is
    called first on the fault-free weights: if it returns a callable, it was a
    factory, called once per process (worker processes and Dask workers each
    call it once), and what it returned scores every trial.

    ``trials`` is the number of trials per cell, or with ``margin`` E the
    most a cell runs: each cell then runs batches of ``batch`` trials until
    every outcome fraction's interval (at ``confidence``) has a half-width of
    at most E. Without ``trials`` a margin allows the worst case
    (``worst_case_trials``). ``confidence`` is also the level of every
    interval of the results.
    """

    def __init__(
        self,
        weights: WeightSet,
        protections: Sequence[str | Protection],
        *,
        rates: Sequence[float] | None = None,
        counts: Sequence[int] | None = None,
        kind: str | FaultKind | KindMix = "flip",
        trials: int | None = None,
        seed: int = 0,
        evaluate: Evaluate | None = None,
        dense: bool = False,
        metric_name: str | None = None,
        confidence: float = 0.95,
        margin: float | None = None,
        batch: int = MARGIN_BATCH,
        tolerance: float | None = None,
        metric_range: Sequence[float | None] = (None, None),
        pattern: str | Pattern = "single",
        bits: str | BitSpec | None = None,
        quick: bool = False,
        protect_only: str | Iterable[str] | None = None,
    ) -> None:
        if rates is not None and counts is not None:
            raise StudyError("give either rates or counts of faults, not both")
        self.kind = check_kind(kind)
        self.pattern = check_pattern(pattern)
        self.bits = check_bits(bits)
        self.protected = check_selection(protect_only, weights)
        # Refuses a bit that some tensor's element type lacks, before anything runs.
        groups = storage_groups(weights, NoProtection(), self.protected)
        self.targets = targets(self.bits, weights.tensors, [m for _, m, _ in groups])
        self.confidence = check_confidence(confidence)
        self.margin = None if margin is None else Margin(check_margin(margin), self.confidence,
                                                          check_trials(batch, "batch"))  # fmt: skip
        if trials is None:
            trials = DEFAULT_TRIALS if self.margin is None else self.worst_case_trials()
        self.trials = check_trials(trials)
        self.seed = check_seed(seed)
        if tolerance is not None and evaluate is None:
            raise StudyError("a tolerance needs a task metric (an evaluate function)")
        self.tolerance = None if tolerance is None else check_tolerance(tolerance)
        self.metric_range = check_metric_range(metric_range)
        self.weights = weights
        self.protections = parse_protections(protections)
        self.levels: list[FaultLevel]
        self.rates_note: str | None = None
        if rates is None and counts is None:
            # Counted over the bits rates count: the unprotected weights' bits, or the chosen ones.
            chosen = layout_of(weights, NoProtection(), self.targets, self.protected).targeted
            rates, self.rates_note = default_rates(chosen or weights.value_count * 32, quick)
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
        self._layouts: dict[str, Layout] = {}

    def config(self) -> dict[str, Any]:
        rates = [lv.value for lv in self.levels if isinstance(lv, Rate)]
        counts = [lv.value for lv in self.levels if isinstance(lv, Count)]
        # Only when given: a run directory kept before the option existed is the same campaign.
        chosen = {} if self.protected is None else {"protect_only": sorted(self.protected)}
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
            "pattern": str(self.pattern),
            "bits": None if self.bits is None else str(self.bits),
            "tolerance": self.tolerance,
            "margin": None if self.margin is None else self.margin.as_config(),
            **chosen,
        }

    def worst_case_trials(self) -> int:
        """The most trials a cell runs under the margin by default: the sample-size formula's worst case
        (p = 0.5) for independent trials, in whole batches, and enough for the exact interval at p = 0.5."""
        if self.margin is None:
            raise StudyError("the worst case of trials needs a margin")
        margin = self.margin
        n = sample_size(margin.half_width, margin.confidence)
        n = -(-n // margin.batch) * margin.batch
        while proportion(n // 2, n, margin.confidence).half_width > margin.half_width:
            n += margin.batch
        return n

    def worst_cases(self) -> dict[tuple[str, int], int]:
        """Per cell (protection, level index): the statistical fault-injection sample size at p = 0.5,
        n = z^2 p (1 - p) / e^2, finite-population corrected.

        The population is the sets of distinct single-bit faults over the targeted bits; for events of
        several bits it is left uncorrected (the larger, safe figure).
        """
        if self.margin is None:
            raise StudyError("the worst case of trials needs a margin")
        out = {}
        for s in self.summaries():
            if not s.applicable:
                continue
            targeted = s.stored_bits if s.targeted_bits is None else s.targeted_bits
            for i, lv in enumerate(self.levels):
                population = _patterns(targeted, lv.faults(targeted)) if self.pattern == SINGLE else None
                out[(s.name, i)] = sample_size(self.margin.half_width, self.margin.confidence, population)
        return out

    def spec(self) -> TrialSpec:
        """What every trial shares (built once per campaign)."""
        if self._spec is None:
            self._spec = TrialSpec(self.weights, self.kind, self.levels, self.seed, self.evaluate, self.dense,
                                   self.pattern, self.bits, self.tolerance, self.metric_range,
                                   self.protected)  # fmt: skip
        return self._spec

    def layout(self, protection: Protection) -> Layout:
        """A protection's words over the weights and the bits faults may hit in them (nothing encoded)."""
        found = self._layouts.get(protection.name)
        if found is None:
            found = self._layouts[protection.name] = layout_of(self.weights, protection, self.targets, self.protected)
        return found

    def summaries(self) -> list[ProtectionSummary]:
        """Applicability and stored bits of each protection, without encoding anything.

        With ``protect_only`` the stored bits are the protected tensors' stored
        form and the other tensors' values as they are.
        """
        out = []
        for p in self.protections:
            groups = storage_groups(self.weights, p, self.protected)
            refused = list(dict.fromkeys(s for s, _, code in groups if not code.accepts(s)))
            if refused:
                out.append(ProtectionSummary(p.name, False, self._refusal(refused)))
                continue
            bits = sum(code.stored_bits(sum(self.weights.tensors[i].size for i in m), s) for s, m, code in groups)
            chosen = None if self.bits is None else self.layout(p).targeted
            out.append(ProtectionSummary(p.name, True, stored_bits=bits, bits_per_value=bits / self.weights.value_count,
                                         targeted_bits=chosen))  # fmt: skip
        return out

    def _refusal(self, refused: Sequence[str]) -> str:
        """Why a protection is not applicable, naming the tensors it cannot take."""
        names = [t for t in self.weights.tensors
                 if t.storage in refused and (self.protected is None or t.name in self.protected)]  # fmt: skip
        more = f" and {len(names) - 1} more" if len(names) > 1 else ""
        leave = "--protect-only or --tensors" if self.protected is not None else "--tensors"
        return (
            f"does not take {'/'.join(refused)} data ({names[0].dtype} tensor '{names[0].name}'{more}); "
            f"a protection studies every tensor or none, so {leave} can leave these out"
        )

    def check(self) -> None:
        """Refuses, before anything runs, bits a protection lacks and more events than its words can take."""
        for p, s in zip(self.protections, self.summaries(), strict=True):
            if not s.applicable:
                continue
            if self.bits is not None and self.bits.check and not p.keeps_redundancy:
                raise StudyError(f"bits {self.bits}: {p.name} keeps no redundancy for 'check' to hit")
            layout = self.layout(p)
            if layout.targeted == 0:
                kept = sorted(p.redundancy(self.weights.tensors[0].storage))
                hint = f" (it keeps redundancy in bits {kept[0]}-{kept[-1]}: 'check' hits those)" if kept else ""
                raise StudyError(f"bits {self.bits}: {p.name} stores none of these bits{hint}")
            for lv in self.levels:
                problem = layout_error(layout, self.pattern, lv.faults(layout.targeted), p.name)
                if problem:
                    raise StudyError(problem)

    def total_trials(self) -> int:
        """Trials of the whole grid; with a margin, the most it can take."""
        return sum(s.applicable for s in self.summaries()) * len(self.levels) * self.trials

    def _plan(self, protection: str, done: Cells) -> tuple[Iterator[TrialKey], int, dict[int, int]]:
        """The protection's trials still to run before its cells can be decided (made as they are taken, so a
        huge grid is never a list), how many they are, and the size of every cell (its trials when decided,
        else its maximum)."""
        split = self.tolerance is not None
        todo: list[tuple[int, int, dict[int, TrialRecord]]] = []
        count = 0
        sizes: dict[int, int] = {}
        for i in range(len(self.levels)):
            cell = done.get((protection, i), {})
            n, decided = planned(cell, self.trials, self.margin, split)
            sizes[i] = n if decided else self.trials
            if not decided:
                todo.append((i, n, cell))
                count += n - sum(t < n for t in cell)

        def keys() -> Iterator[TrialKey]:
            for i, n, cell in todo:
                yield from (TrialKey(protection, i, t) for t in range(n) if t not in cell)

        return keys(), count, sizes

    def run(
        self,
        on_trial: Callable[[TrialRecord], None] | None = None,
        *,
        workers: int = 1,
        scheduler: Any = None,
        out: str | Path | None = None,
        on_resume: Callable[[int], None] | None = None,
        on_total: Callable[[int], None] | None = None,
    ) -> Results:
        """Runs every trial, one protection at a time (its stored form built once, then released).

        ``workers`` > 1 runs trials in that many forked worker processes;
        ``scheduler`` (an address or a ``dask.distributed.Client``) runs them
        on a Dask cluster instead. ``out`` names a run directory: finished
        trials are kept there as they finish, and a rerun skips them
        (``on_resume`` hears how many). With a margin, ``on_total`` hears the
        grid's total of trials whenever a cell stops short of its maximum.
        Records come back in grid order whatever runs them. Ctrl-C raises
        :class:`Interrupted`, every finished trial kept.
        """
        check_workers(workers)
        self.check()
        records: Cells = {}
        sizes: dict[tuple[str, int], int] = {}
        digest = weights_digest(self.weights)
        total = self.total_trials()

        def planned_total() -> int:
            nonlocal total
            now = self.total_trials() - sum(self.trials - n for n in sizes.values())
            if now != total and on_total is not None:
                on_total(now)
            total = now
            return total

        try:
            with contextlib.ExitStack() as stack:
                ctrl_c = stack.enter_context(CtrlC())
                rundir = None
                if out is not None:
                    rundir = stack.enter_context(RunDir(out, self._run_config(digest), self._targeted()))
                summaries, baseline, rounding = self._resume(rundir, records, on_resume)
                executor: Executor | None = None
                for protection, summary in zip(self.protections, summaries, strict=True):
                    if not summary.applicable:
                        continue
                    prepared = False
                    while True:
                        pending, count, cells = self._plan(protection.name, records)
                        sizes.update({(protection.name, i): n for i, n in cells.items()})
                        planned_total()
                        if not count:
                            break
                        if executor is None:
                            executor = stack.enter_context(make_executor(workers, scheduler))
                        if not prepared:
                            executor.prepare(self.spec(), protection)
                            prepared = True
                        with contextlib.closing(executor.run(pending, count)) as trials:
                            for rec in trials:
                                with ctrl_c.held():
                                    if rundir is not None:
                                        rundir.append(rec)
                                    records.setdefault((rec.protection, rec.point), {})[rec.trial] = rec
                                if on_trial is not None:
                                    on_trial(rec)
                    if summary.clean is not None and not prepared:
                        continue
                    if executor is None:
                        executor = stack.enter_context(make_executor(workers, scheduler))
                    if not prepared:
                        executor.prepare(self.spec(), protection)
                    summary.clean, summary.clean_metric = executor.clean()
                    if rundir is not None:
                        rundir.save_summaries(summaries, baseline, list(self.weights.skipped), self.metric_name,
                                              rounding, self.confidence, self.metric_range)  # fmt: skip
                    executor.release()
        except KeyboardInterrupt:
            raise Interrupted(sum(map(len, records.values())), total, None if out is None else str(out)) from None
        except RunFailed as exc:
            where = None if out is None else str(out)
            raise RunFailed(f"{exc}; {kept_trials(sum(map(len, records.values())), total, where)}") from None
        order = {p.name: i for i, p in enumerate(self.protections)}
        kept = [r for cell, done in records.items() for r in done.values() if r.trial < sizes.get(cell, 0)]
        kept.sort(key=lambda r: (order[r.protection], r.point, r.trial))
        return Results(self.config(), kept, summaries, baseline, list(self.weights.skipped), self.metric_name,
                       rounding, self.rates_note, self.confidence, self.metric_range, digest)  # fmt: skip

    def _targeted(self) -> dict[str, int]:
        """Per applicable protection, the bits its rates count: what every record's fault count follows from."""
        return {s.name: s.stored_bits if s.targeted_bits is None else s.targeted_bits
                for s in self.summaries() if s.applicable}  # fmt: skip

    def _run_config(self, digest: str) -> dict[str, Any]:
        return run_config(self.config(), self.weights, self.evaluate, digest)

    def _resume(
        self, rundir: RunDir | None, records: Cells, on_resume: Callable[[int], None] | None
    ) -> tuple[list[ProtectionSummary], float | None, Rounding | None]:
        """Takes the finished trials and measured summaries from the run directory; the summaries to fill,
        the baseline metric and what rounding the weights lost."""
        summaries = self.summaries()
        order = {p.name for p in self.protections}
        saved: dict[str, ProtectionSummary] = {}
        baseline: float | None = None
        rounding: Rounding | None = None
        if rundir is not None:
            for k, r in rundir.done.items():
                if k.protection in order:
                    records.setdefault((k.protection, k.point), {})[k.trial] = r
            if records:
                try:
                    found = read_summaries(rundir.path)
                    saved = {s.name: s for s in found.protections if s.clean is not None}
                    baseline, rounding = found.baseline, found.rounding
                except StudyError:  # lost summaries are measured again
                    pass
                if on_resume is not None:
                    on_resume(sum(map(len, records.values())))
        if baseline is None and self.evaluate is not None:
            baseline = self.spec().baseline()
        if rounding is None:
            rounding = self.rounding(baseline)
        for s in summaries:
            if s.name in saved:
                s.clean, s.clean_metric = saved[s.name].clean, saved[s.name].clean_metric
        self._expect(summaries)
        if rundir is not None:
            rundir.save_summaries(summaries, baseline, list(self.weights.skipped), self.metric_name, rounding,
                                  self.confidence, self.metric_range)  # fmt: skip
        return summaries, baseline, rounding

    def _expect(self, summaries: list[ProtectionSummary]) -> None:
        """What probability theory expects of every cell, from each protection's geometry (flip faults only:
        a stuck-at fault changes a bit only where it holds the other value, so its effect depends on the data;
        nor under ``protect_only``: a protection's geometry describes all the weights stored under it)."""
        if self.kind.single is not FaultKind.FLIP or self.protected is not None:
            return
        groups = [(storage, [self.weights.tensors[i].size for i in members], chosen)
                  for (storage, members), chosen in zip(self.weights.groups(), self.targets, strict=True)]  # fmt: skip
        for protection, summary in zip(self.protections, summaries, strict=True):
            if not summary.applicable:
                continue
            summary.expected = []
            targeted = summary.stored_bits if summary.targeted_bits is None else summary.targeted_bits
            for lv in self.levels:
                faults = lv.faults(targeted)
                got: dict[str, float] = {}
                if faults <= EXPECTED_MAX_FAULTS:
                    try:
                        got = dict(protection.expected(groups, faults, self.pattern))
                    except (StudyError, ValueError):  # beyond what the exact engine takes: no expectation
                        got = {}
                    # A cell draws exactly its number of fault events.
                    got = {"faults": float(faults), **got}
                summary.expected.append(got)

    def rounding(self, baseline: float | None = None) -> Rounding | None:
        """What storing the float32 tensors in 16 bits lost, when the weights were stored so (else None):
        the values' loss, and the metric of the float32 weights beside ``baseline``, that of the stored ones."""
        original = self.weights.rounded_from
        if original is None:
            return None
        dtype = next(t.dtype for t, s in zip(self.weights.tensors, original.tensors, strict=True) if t.dtype != s.dtype)
        before = None if self.evaluate is None else call_evaluate(self.spec().task(), named(original))
        return Rounding(dtype, rounding_loss(original.tensors, self.weights.tensors), before, baseline)

    def point_of(self, rate: float, name: str = "") -> int:
        """The index of the grid point with this rate (or, in a campaign of fault counts, this count)."""
        for i, lv in enumerate(self.levels):
            if isinstance(lv, Rate) and math.isclose(lv.value, rate, rel_tol=1e-9):
                return i
            if isinstance(lv, Count) and lv.value == rate:
                return i
        prefix = f"{name}: " if name else ""
        if all(isinstance(lv, Count) for lv in self.levels):
            raise StudyError(f"{prefix}this campaign counts faults: give a fault count, one of "
                             f"{', '.join(str(lv.value) for lv in self.levels)}, not {rate:g}")  # fmt: skip
        raise StudyError(f"{prefix}rate {rate:g} is not one of the campaign's "
                         f"({', '.join(f'{lv.value:g}' for lv in self.levels)})")  # fmt: skip

    def show_trial(self, protection: str, rate: float, trial: int, name: str = "") -> tuple[TrialRecord, list[FaultSite]]:
        """Reruns one trial from its seed and lists its faults with the values before and after decoding.

        ``rate`` is one of the campaign's rates, or in a campaign of fault counts one of its counts.
        """
        prot = next((p for p in self.protections if p.name == protection), None)
        if prot is None:
            prot = parse_protections([protection])[0]
        if not 0 <= trial < self.trials:
            raise StudyError(f"trial {trial} is outside 0..{self.trials - 1}")
        index = self.point_of(rate, name)
        return replay(self.spec().prepare(prot), index, trial)


def _patterns(sites: int, faults: int) -> int | None:
    """How many distinct sets of ``faults`` sites there are, when few enough to matter (else None)."""
    if faults <= 0 or faults >= sites:
        return 1
    log10 = (math.lgamma(sites + 1) - math.lgamma(faults + 1) - math.lgamma(sites - faults + 1)) / math.log(10)
    return math.comb(sites, faults) if log10 < 15 else None
