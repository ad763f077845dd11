"""One trial, and what all trials of a campaign share.

A ``TrialSpec`` is what every trial of a campaign needs (the weights, the
fault kind and levels, the seed, the evaluate function): it is sent to each
worker once. ``TrialSpec.prepare`` applies a protection to the weights once
(its stored forms, fault-free decode and references): a ``Prepared``. A trial
is then a pure function of the prepared protection, its fault level and its
seed: it draws its sites, asks every storage group it hits for the faults'
effect, measures the damage and calls the evaluate function. ``replay``
reruns one trial and lists its faults.

The only mutable state of a trial is the working copy its evaluate function
sees on the sparse path: a ``Scratch`` that each thread of execution owns.
"""

from __future__ import annotations

import time
import uuid
import weakref
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import NotApplicable, StudyError
from .metrics import Reference, damage, damage_between
from .native import U64, Patterns, draw_sites
from .protections import Protection, Stored
from .vocabulary import (
    NO_DAMAGE,
    Change,
    ChunkCounts,
    Damage,
    FaultKind,
    FaultLevel,
    FaultSite,
    Storage,
    TrialKey,
    TrialRecord,
    trial_seed,
)
from .weights import WeightSet

Evaluate = Callable[[list[npt.NDArray[Any]]], float]


def _describe(exc: BaseException) -> str:
    try:
        text = str(exc)
    except Exception:  # noqa: BLE001 - a user's exception whose message itself fails
        text = ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def call_evaluate(evaluate: Evaluate, arrays: list[npt.NDArray[Any]]) -> float:
    """The user's evaluate function on some weights: a number, or a StudyError that says what went wrong.

    Whatever the function raises but Ctrl-C is its failure, a ``sys.exit`` included:
    leaving the run from inside a trial would lose it without a word.
    """
    try:
        value = evaluate(arrays)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: BLE001 - SystemExit and its kind are the user's failures too
        raise StudyError(f"the evaluate function raised {_describe(exc)}") from None
    try:
        return float(value)
    except KeyboardInterrupt:
        raise
    except OverflowError:
        raise StudyError(f"the evaluate function returned a {type(value).__name__} too large for a float") from None
    except BaseException as exc:  # noqa: BLE001 - whatever the returned object's __float__ raises
        raise StudyError(f"the evaluate function returned {type(value).__name__}, not a number "
                         f"({_describe(exc)})") from None  # fmt: skip


@dataclass(frozen=True)
class Group:
    """The tensors of one storage kind (indices into the weight set) and their stored form."""

    storage: Storage
    members: list[int]
    stored: Stored


class Scratch:
    """A working copy of a prepared protection's fault-free decode, owned by one thread of execution.

    A sparse trial writes its changes into it, has it evaluated, and puts the
    fault-free values back.
    """

    def __init__(self) -> None:
        self._owner: weakref.ref[Prepared] | None = None
        self._work: list[Patterns] = []

    def work(self, prepared: Prepared) -> list[Patterns]:
        if self._owner is None or self._owner() is not prepared:
            self._work = [c.copy() for c in prepared.clean]
            self._owner = weakref.ref(prepared)
        return self._work


class Prepared:
    """A protection applied to a weight set: stored forms (built once), fault-free decode, references."""

    def __init__(self, spec: TrialSpec, protection: Protection) -> None:
        weights = spec.weights
        self.spec = spec
        self.weights = weights
        self.protection = protection
        refused = [s for s, _ in weights.groups() if not protection.accepts(s)]
        if refused:
            raise NotApplicable(protection.name, refused)
        self.groups = [
            Group(storage, members, protection.encode([weights.tensors[i].patterns for i in members], storage))
            for storage, members in weights.groups()
        ]
        self.offsets: list[int] = np.cumsum([0] + [g.stored.site_count for g in self.groups]).tolist()
        self.site_count = int(self.offsets[-1])
        clean: list[Patterns] = [np.empty(0)] * len(weights.tensors)
        for g in self.groups:
            for i, p in zip(g.members, g.stored.clean, strict=True):
                clean[i] = p
        self.clean = clean
        # The sparse path where every group has it; the dense one is the reference.
        self.dense = spec.dense or not all(g.stored.sparse_available for g in self.groups)
        original = [t.patterns for t in weights.tensors]
        self.clean_damage: Damage
        if all(c is o for c, o in zip(clean, original, strict=True)):  # a lossless code: nothing to measure
            self.reference = spec.reference()
            self.clean_damage = NO_DAMAGE
        else:
            self.reference = Reference.of(weights.tensors, clean)
            self.clean_damage = damage_between(weights.tensors, original, clean, spec.reference())
        self.clean_metric = self._evaluate(clean) if spec.evaluate is not None else None

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

    def run(self, level: FaultLevel, index: int, trial: int, scratch: Scratch | None = None) -> TrialRecord:
        """One trial: sparse (only what the faults touch) or dense (copy, inject, decode all, compare)."""
        t0 = time.perf_counter()
        spec = self.spec
        count = level.faults(self.site_count)
        tseed = trial_seed(spec.seed, self.protection.name, level, trial)
        sites = self.sites(count, tseed)
        n = len(self.weights.tensors)
        empty = np.zeros(0, np.int64)
        changes: list[Change] = [(empty, empty, empty)] * n
        decoded: list[Patterns] | None = None
        counts = ChunkCounts(0, 0, 0) if self.protection.reports_chunks else None
        for k, local in self.split(sites):
            group = self.groups[k]
            effect = group.stored.dense(spec.kind, local) if self.dense else group.stored.sparse(spec.kind, local)
            for i, ch in zip(group.members, effect.changes, strict=True):
                changes[i] = ch
            if effect.decoded is not None:
                if decoded is None:
                    decoded = list(self.clean)
                for i, p in zip(group.members, effect.decoded, strict=True):
                    decoded[i] = p
            if effect.counts is not None and counts is not None:
                counts += effect.counts
        dmg = damage(self.weights.tensors, changes, self.reference)
        metric = None
        if spec.evaluate is not None:
            if decoded is not None:
                metric = self._evaluate(decoded)
            else:
                metric = self._evaluate_changed(changes, scratch or Scratch())
        if counts is not None and counts.flagged:
            outcome = "detected"
        elif dmg.values_changed == 0:
            outcome = "masked"
        else:
            outcome = "sdc"
        return TrialRecord(
            protection=self.protection.name,
            kind=str(spec.kind),
            rate=level.rate_of(self.site_count),
            faults=count,
            trial=trial,
            seed=tseed,
            values_changed=dmg.values_changed,
            max_abs_error=dmg.max_abs_error,
            mean_abs_error=dmg.mean_abs_error,
            rel_l2_error=dmg.rel_l2_error,
            nonfinite=dmg.nonfinite,
            chunks_corrected=None if counts is None else counts.corrected,
            chunks_flagged=None if counts is None else counts.flagged,
            chunks_miscorrected=None if counts is None else counts.miscorrected,
            seconds=time.perf_counter() - t0,
            metric=metric,
            outcome=outcome,
            point=index,
        )

    def _evaluate(self, patterns: list[Patterns]) -> float:
        assert self.spec.evaluate is not None
        # Read-only views that cannot be made writeable: the patterns are shared with every later trial.
        return call_evaluate(self.spec.evaluate, self.weights.arrays(patterns))

    def _evaluate_changed(self, changes: list[Change], scratch: Scratch) -> float:
        """Applies the changes to the scratch copy, evaluates, then restores exactly those values."""
        work = scratch.work(self)
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
        group = self.groups[k]
        loc = group.stored.locate(site - self.offsets[k])
        if loc.element is None:
            return k, None, None, None, loc.where
        elem = loc.element
        for i in group.members:
            size = self.weights.tensors[i].size
            if elem < size:
                return k, self.weights.tensors[i].name, elem, loc.bit, loc.where
            elem -= size
        raise AssertionError("site beyond the group")  # pragma: no cover


@dataclass
class TrialSpec:
    """What every trial of one campaign shares: sent to each worker once, never per trial."""

    weights: WeightSet
    kind: FaultKind
    levels: list[FaultLevel]
    seed: int
    evaluate: Evaluate | None = None
    dense: bool = False
    #: Names this spec in the caches of long-lived workers (a Dask worker serves many campaigns).
    token: str = field(default_factory=lambda: uuid.uuid4().hex)
    _reference: Reference | None = field(default=None, init=False, repr=False, compare=False)

    def reference(self) -> Reference:
        """Finite count and L2 norm of the weights' values (computed once)."""
        if self._reference is None:
            self._reference = Reference.of(self.weights.tensors, [t.patterns for t in self.weights.tensors])
        return self._reference

    def prepare(self, protection: Protection) -> Prepared:
        return Prepared(self, protection)

    def run(self, prepared: Prepared, key: TrialKey, scratch: Scratch | None = None) -> TrialRecord:
        return prepared.run(self.levels[key.point], key.point, key.trial, scratch)

    def run_batch(self, prepared: Prepared, keys: Sequence[TrialKey], scratch: Scratch) -> list[TrialRecord]:
        return [self.run(prepared, k, scratch) for k in keys]


def replay(prepared: Prepared, index: int, trial: int) -> tuple[TrialRecord, list[FaultSite]]:
    """Reruns one trial from its seed and lists its faults with the values before and after decoding."""
    spec = prepared.spec
    level = spec.levels[index]
    record = prepared.run(level, index, trial)
    sites = prepared.sites(level.faults(prepared.site_count), record.seed)
    # The decoded values of the trial, to show each fault's value after decoding.
    decoded = list(prepared.clean)
    for k, local in prepared.split(sites):
        group = prepared.groups[k]
        patterns = group.stored.dense(spec.kind, local).decoded
        assert patterns is not None
        for i, p in zip(group.members, patterns, strict=True):
            decoded[i] = p
    faults = []
    names = {t.name: i for i, t in enumerate(prepared.weights.tensors)}
    for s in sites.tolist():
        _, tensor, elem, bit, where = prepared.locate(s)
        before = after = None
        if tensor is not None and elem is not None:
            i = names[tensor]
            t = prepared.weights.tensors[i]
            before = float(t.values(prepared.clean[i][elem : elem + 1])[0])
            after = float(t.values(decoded[i][elem : elem + 1])[0])
        faults.append(FaultSite(s, tensor, elem, bit, where, str(spec.kind), before, after))
    return record, faults
