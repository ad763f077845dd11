"""One trial, and what all trials of a campaign share.

A ``TrialSpec`` is what every trial of a campaign needs (the weights, the
fault kinds, pattern, targeted bits and levels, the seed, the evaluate
function): it is sent to each worker once. ``TrialSpec.prepare`` applies a
protection to the weights once (its stored forms, fault-free decode,
references, and the layout of its words): a ``Prepared``. A trial is then a
pure function of the prepared protection, its fault level and its seed: it
draws its fault events, asks every storage group they hit for the faults'
effect, measures the damage and calls the evaluate function. ``replay``
reruns one trial and lists its faults, event by event.

The only mutable state of a trial is the working copy its evaluate function
sees on the sparse path: a ``Scratch`` that each thread of execution owns.
"""

from __future__ import annotations

import math
import os
import threading
import time
import uuid
import weakref
from collections import OrderedDict
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import NotApplicable, StudyError
from .metrics import Reference, damage, damage_between
from .native import U64, Patterns
from .patterns import Draw, Layout, layout_error, targets
from .protections import NoProtection, Protection, Stored
from .vocabulary import (
    COUNTERS,
    NO_DAMAGE,
    SINGLE,
    BitSpec,
    Change,
    Counts,
    Damage,
    FaultKind,
    FaultLevel,
    FaultSite,
    Kinds,
    KindMix,
    Pattern,
    Storage,
    Targets,
    TrialKey,
    TrialRecord,
    outcome,
    trial_seed,
)
from .weights import WeightSet

#: The decoded weights an evaluate function sees: tensor name -> read-only array of the source dtype and
#: shape, in the order of the source.
Weights = Mapping[str, npt.NDArray[Any]]
#: ``f(weights) -> float``; or a factory, ``f(clean weights) -> (f(weights) -> float)``, called once per process.
Evaluate = Callable[[Weights], Any]


def named(weights: WeightSet, patterns: Sequence[Patterns] | None = None) -> Weights:
    """The weights (or these patterns of them) as an evaluate function sees them: by name, in views that nobody
    can make writeable again (the patterns are shared with every later trial)."""
    return MappingProxyType(dict(zip((t.name for t in weights.tensors), weights.arrays(patterns), strict=True)))


def _describe(exc: BaseException) -> str:
    try:
        text = str(exc)
    except Exception:  # noqa: BLE001 - a user's exception whose message itself fails
        text = ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _called(evaluate: Evaluate, weights: Weights) -> Any:
    """What the user's function returns; whatever it raises but Ctrl-C is its failure, a ``sys.exit`` included:
    leaving the run from inside a trial would lose it without a word."""
    try:
        return evaluate(weights)
    except (StudyError, KeyboardInterrupt):
        raise
    except BaseException as exc:  # noqa: BLE001 - SystemExit and its kind are the user's failures too
        raise StudyError(f"the evaluate function raised {_describe(exc)}") from None


def _number(value: Any) -> float:
    if isinstance(value, (str, bytes)):  # float("0.5") would pass
        raise StudyError(f"the evaluate function returned {type(value).__name__}, not a number")
    try:
        return float(value)
    except KeyboardInterrupt:
        raise
    except OverflowError:
        raise StudyError("the evaluate function returned a number too large for a float "
                         f"({type(value).__name__})") from None  # fmt: skip
    except BaseException as exc:  # noqa: BLE001 - whatever the returned object's __float__ raises
        raise StudyError(f"the evaluate function returned {type(value).__name__}, not a number "
                         f"({_describe(exc)})") from None  # fmt: skip


def in_range(value: float, metric_range: tuple[float | None, float | None]) -> float:
    """A metric, refused when finite and outside the range declared for it: every interval of the metric is
    kept within that range, so a value outside means the range (or the function) is wrong."""
    low, high = metric_range
    if math.isfinite(value) and ((low is not None and value < low) or (high is not None and value > high)):
        span = f"{'' if low is None else f'{low:g}'}:{'' if high is None else f'{high:g}'}"
        raise StudyError(f"the evaluate function returned {value!r}, outside the metric's range {span}")
    return value


def call_evaluate(
    evaluate: Evaluate, weights: Weights, metric_range: tuple[float | None, float | None] = (None, None)
) -> float:
    """The user's evaluate function on some weights: a number, or a StudyError that says what went wrong."""
    return in_range(_number(_called(evaluate, weights)), metric_range)


def resolve(evaluate: Evaluate, clean: Weights) -> tuple[Evaluate, float | None]:
    """The per-trial function of ``evaluate``, and the clean weights' metric when finding it gave one.

    ``evaluate`` is called once with the clean weights. A callable back means
    it was a factory, and what it returned scores every trial; a number means
    it scores trials itself, and the number is the clean metric.
    """
    first = _called(evaluate, clean)
    if callable(first):
        return first, None
    return evaluate, _number(first)


# Held while a process finds its per-trial function, so that threads sharing a
# spec (a Dask worker's) call a factory once.
_RESOLVING = threading.Lock()
# This process's per-trial functions by spec token: a Dask worker may hold more
# than one copy of a spec (one it was sent, one fetched from a peer), and a
# factory is still called once per process. The latest few specs are kept.
_RESOLVED: OrderedDict[str, tuple[Evaluate, float | None]] = OrderedDict()
_RESOLVED_KEPT = 2
# A forked child's inheritance, kept and never destroyed there: what a factory
# returned lives in the process that called it, and its destructor (an ONNX
# Runtime session's) may wait on threads the child does not have.
_INHERITED: list[object] = []


def _after_fork_in_child() -> None:
    global _RESOLVING, _RESOLVED
    _RESOLVING = threading.Lock()  # another thread of the parent may have held it at the fork
    _INHERITED.append(_RESOLVED)
    _RESOLVED = OrderedDict()


os.register_at_fork(after_in_child=_after_fork_in_child)


#: A storage group as it is stored: its storage kind, its tensors (indices), and the protection they are stored under.
StorageGroup = tuple[Storage, list[int], Protection]


def storage_groups(weights: WeightSet, protection: Protection,
                   protected: frozenset[str] | None = None) -> list[StorageGroup]:  # fmt: skip
    """The weight set's groups of one storage kind under ``protection``; with ``protected``, each split into the
    tensors so named, under the protection, and the rest, stored as they are (after them)."""
    if protected is None:
        return [(storage, members, protection) for storage, members in weights.groups()]
    out: list[StorageGroup] = []
    plain = NoProtection()
    for storage, members in weights.groups():
        chosen = [i for i in members if weights.tensors[i].name in protected]
        rest = [i for i in members if weights.tensors[i].name not in protected]
        out += [(storage, m, p) for m, p in ((chosen, protection), (rest, plain)) if m]
    return out


def layout_of(weights: WeightSet, protection: Protection, chosen: Sequence[Targets],
              protected: frozenset[str] | None = None) -> Layout:  # fmt: skip
    """The words of a protection over a weight set, every storage group's after the one before; nothing encoded."""
    words = []
    offset = 0
    for (storage, members, code), t in zip(storage_groups(weights, protection, protected), chosen, strict=True):
        sizes = [weights.tensors[i].size for i in members]
        words += [w.shifted(offset) for w in code.words(sizes, storage, t)]
        offset += code.stored_bits(sum(sizes), storage)
    return Layout(words, whole=all(t.values is None for t in chosen))


def chosen_bits(spec: TrialSpec) -> list[Targets]:
    """Per storage group, the bits that ``bits`` chooses."""
    groups = storage_groups(spec.weights, NoProtection(), spec.protected)
    return targets(spec.bits, spec.weights.tensors, [m for _, m, _ in groups])


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
        split = storage_groups(weights, protection, spec.protected)
        refused = [s for s, _, p in split if not p.accepts(s)]
        if refused:
            raise NotApplicable(protection.name, refused)
        self.groups = [
            Group(storage, members, code.encode_tensors([weights.tensors[i] for i in members], storage))
            for storage, members, code in split
        ]
        self.offsets: list[int] = np.cumsum([0] + [g.stored.site_count for g in self.groups]).tolist()
        self.site_count = int(self.offsets[-1])
        self.layout = layout_of(weights, protection, chosen_bits(spec), spec.protected)
        #: The bits a rate counts: every stored bit, or the ones ``bits`` chooses.
        self.targeted = self.layout.targeted
        self.kinds = spec.kinds
        self._room = self.layout.capacity(spec.pattern)
        clean: list[Patterns] = [np.empty(0)] * len(weights.tensors)
        for g in self.groups:
            for i, p in zip(g.members, g.stored.clean, strict=True):
                clean[i] = p
        self.clean = clean
        # The sparse path where every group has it and it is the cheaper; the dense one is the reference.
        self.dense = spec.dense or not all(g.stored.sparse_available for g in self.groups)
        #: Stored bits hit, faults times the pattern's bits, past which a trial takes the dense path.
        self.sparse_up_to = min(g.stored.sparse_limit for g in self.groups) * self.site_count
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

    def draw(self, count: int, seed: int) -> Draw:
        """The faults of a trial of ``count`` events."""
        if count > self._room:
            raise StudyError(str(layout_error(self.layout, self.spec.pattern, count, self.protection.name)))
        return self.layout.draw(self.spec.pattern, self.kinds, count, seed)

    def split(self, draw: Draw) -> Iterator[tuple[int, U64, Kinds]]:
        """Group index, group-local sites and their kinds, in the order drawn."""
        sites, kinds = draw.sites, draw.kinds
        if len(self.groups) == 1:  # every site is the one group's (the layout lies below site_count)
            if sites.size:
                yield 0, sites, kinds
            return
        for k in range(len(self.groups)):
            lo, hi = self.offsets[k], self.offsets[k + 1]
            m = (sites >= np.uint64(lo)) & (sites < np.uint64(hi))
            if m.any():
                yield k, sites[m] - np.uint64(lo), kinds if isinstance(kinds, FaultKind) else kinds[m]

    def run(self, level: FaultLevel, index: int, trial: int, scratch: Scratch | None = None) -> TrialRecord:
        """One trial: sparse (only what the faults touch) or dense (copy, inject, decode all, compare)."""
        t0 = time.perf_counter()
        spec = self.spec
        count = level.faults(self.targeted)
        tseed = trial_seed(spec.seed, self.protection.name, level, trial)
        # The draw is referenced by the call alone, so its sites are freed before the damage is measured.
        changes, decoded, counts, bits = self._effects(self.draw(count, tseed), self.takes_dense(count))
        dmg = damage(self.weights.tensors, changes, self.reference)
        metric = None
        if spec.evaluate is not None:
            if decoded is not None:
                metric = self._evaluate(decoded)
            else:
                metric = self.evaluate_changes(changes, scratch or Scratch())
        own = {c: counts.own.get(c) for c in COUNTERS}
        return TrialRecord(
            protection=self.protection.name,
            kind=str(self.kinds),
            rate=level.rate_of(self.targeted),
            faults=count,
            trial=trial,
            seed=tseed,
            values_changed=dmg.values_changed,
            max_abs_error=dmg.max_abs_error,
            mean_abs_error=dmg.mean_abs_error,
            rel_l2_error=dmg.rel_l2_error,
            nonfinite=dmg.nonfinite,
            **own,
            silent=counts.silent,
            seconds=time.perf_counter() - t0,
            metric=metric,
            outcome=outcome(counts, dmg.values_changed, metric, self.clean_metric, spec.tolerance),
            point=index,
            bits=bits,
        )

    def _effects(self, draw: Draw, dense: bool) -> tuple[list[Change], list[Patterns] | None, Counts, int]:
        """Per tensor the changes, the whole decoded patterns when the trial decoded them, what the decoder did
        and the stored bits changed."""
        empty = np.zeros(0, np.int64)
        changes: list[Change] = [(empty, empty, empty)] * len(self.weights.tensors)
        decoded: list[Patterns] | None = None
        counts = Counts(dict.fromkeys(self.protection.counters, 0))
        bits = 0
        for k, local, kinds in self.split(draw):
            group = self.groups[k]
            effect = group.stored.dense(kinds, local) if dense else group.stored.sparse(kinds, local)
            bits += effect.bits
            for i, ch in zip(group.members, effect.changes, strict=True):
                changes[i] = ch
            if effect.decoded is not None:
                if decoded is None:
                    decoded = list(self.clean)
                for i, p in zip(group.members, effect.decoded, strict=True):
                    decoded[i] = p
            counts += effect.counts
        return changes, decoded, counts, bits

    def takes_dense(self, count: int) -> bool:
        """Whether a trial of ``count`` events takes the dense path: always with ``dense``, else when it is the
        cheaper (the two give the same record)."""
        return self.dense or count * self.spec.pattern.size > self.sparse_up_to

    def _evaluate(self, patterns: list[Patterns]) -> float:
        return call_evaluate(self.spec.task(), named(self.weights, patterns), self.spec.metric_range)

    def evaluate_changes(self, changes: list[Change], scratch: Scratch) -> float:
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
    kind: FaultKind | KindMix
    levels: list[FaultLevel]
    seed: int
    evaluate: Evaluate | None = None
    dense: bool = False
    pattern: Pattern = SINGLE
    #: The bits faults may hit; None for every stored bit.
    bits: BitSpec | None = None
    #: How far the task metric may move from the protection's clean metric for an sdc to be tolerable.
    tolerance: float | None = None
    #: What the task metric can be (None where unbounded).
    metric_range: tuple[float | None, float | None] = (None, None)
    #: The tensors a protection applies to (the others stored as they are); None for every tensor.
    protected: frozenset[str] | None = None
    #: Names this spec in the caches of long-lived workers (a Dask worker serves many campaigns).
    token: str = field(default_factory=lambda: uuid.uuid4().hex)
    _reference: Reference | None = field(default=None, init=False, repr=False, compare=False)
    # This process's per-trial function: (pid, function, clean metric if finding it gave one).
    _task: tuple[int, Evaluate, float | None] | None = field(default=None, init=False, repr=False, compare=False)

    @property
    def kinds(self) -> KindMix:
        return KindMix.of(self.kind)

    def _resolved(self) -> tuple[int, Evaluate, float | None]:
        assert self.evaluate is not None
        found = self._task
        if found is None or found[0] != os.getpid():
            with _RESOLVING:
                found = self._task
                if found is None or found[0] != os.getpid():
                    hit = _RESOLVED.get(self.token)
                    if hit is None:
                        hit = _RESOLVED[self.token] = resolve(self.evaluate, named(self.weights))
                        while len(_RESOLVED) > _RESOLVED_KEPT:
                            _RESOLVED.popitem(last=False)
                    found = self._task = (os.getpid(), *hit)
        return found

    def task(self) -> Evaluate:
        """The per-trial evaluate function in this process: a factory is called once per process
        (a forked worker or a Dask worker calls it again), a trial function is itself."""
        return self._resolved()[1]

    def baseline(self) -> float | None:
        """The metric of the fault-free weights as loaded (before any protection), or None with no evaluate."""
        if self.evaluate is None:
            return None
        _, fn, clean = self._resolved()
        if clean is not None:
            return in_range(clean, self.metric_range)
        return call_evaluate(fn, named(self.weights), self.metric_range)

    def __getstate__(self) -> dict[str, Any]:
        # What a factory returned lives in its process alone (it may hold a session, or not pickle at all).
        state = self.__dict__.copy()
        state["_task"] = None
        return state

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
    """Reruns one trial from its seed and lists its faults event by event, with the values before and after decoding."""
    spec = prepared.spec
    level = spec.levels[index]
    record = prepared.run(level, index, trial)
    draw = prepared.draw(level.faults(prepared.targeted), record.seed)
    # The decoded values of the trial, to show each fault's value after decoding.
    decoded = list(prepared.clean)
    for k, local, kinds in prepared.split(draw):
        group = prepared.groups[k]
        patterns = group.stored.dense(kinds, local).decoded
        assert patterns is not None
        for i, p in zip(group.members, patterns, strict=True):
            decoded[i] = p
    codes = {k.code: str(k) for k in FaultKind}
    if isinstance(draw.kinds, FaultKind):
        site_kinds = [str(draw.kinds)] * draw.sites.size
    else:
        site_kinds = [codes[c] for c in draw.kinds.tolist()]
    faults = []
    names = {t.name: i for i, t in enumerate(prepared.weights.tensors)}
    for n, (s, kind) in enumerate(zip(draw.sites.tolist(), site_kinds, strict=True)):
        _, tensor, elem, bit, where = prepared.locate(s)
        before = after = None
        if tensor is not None and elem is not None:
            i = names[tensor]
            t = prepared.weights.tensors[i]
            before = float(t.values(prepared.clean[i][elem : elem + 1])[0])
            after = float(t.values(decoded[i][elem : elem + 1])[0])
        faults.append(FaultSite(s, tensor, elem, bit, where, kind, before, after, event=n // draw.size))
    return record, faults
