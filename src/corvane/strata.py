"""The strata of a vulnerability map: one fault at one bit position of one tensor, measured on many values at once.

N single faults at bit b of N distinct values of a tensor are N independent
single-fault trials as long as no two share a storage word: each word
decodes on its own. So a stratum is measured in a few batched calls of the
stored form's sparse path instead of N trials: the faults are split into
rounds in which no two share a word (values that are their own words: one
round; SEC-DED: as many as the most faulted values sharing a chunk), each
round is one call, and every changed value goes back to the one fault whose
word holds it. A round whose flags or changes cannot be told apart that way
(a flag count between none and one per fault, some flags over changed data
and some not, a changed value spanning two faulted words) is split in halves
until they can: a single stored bit lies in one unit of any code here
(chunk, parity group), so it raises at most one flag. Each fault's outcome
follows the study's definitions (``vocabulary.outcome``).

A stratum's draws are a pure function of (map seed, protection, tensor name,
bit position): its values are the first N of ``Picker(values, stratum
seed)``, and for a mix of fault kinds each fault's kind comes from PCG64
seeded the same way, as a trial draws them. With a task metric every trial
whose decode differs from the fault-free one is evaluated on its own (the
others keep the protection's clean metric): a map then costs one evaluate
call per such fault.
"""

from __future__ import annotations

import math
import time
import zlib
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .intervals import metric_interval, proportion
from .mapresults import Estimate, StratumRecord
from .native import I64, Patterns, draw_sites
from .patterns import Stream, draw_kinds
from .protections import Protection, Stored
from .trial import Prepared, Scratch, TrialSpec
from .vocabulary import OUTCOMES, Change, Counts, Effect, FaultKind, Kinds, outcome


@dataclass(frozen=True, order=True)
class StratumKey:
    """One stratum: a tensor (its index in the weight set) and a bit position of its stored values."""

    tensor: int
    bit: int


def stratum_seed(seed: int, protection: str, tensor: str, bit: int) -> int:
    """The seed of one stratum: a pure function of the map's seed, the protection, the tensor's name and the bit."""
    key = (zlib.crc32(protection.encode()), zlib.crc32(b"map"), zlib.crc32(tensor.encode()), bit)
    return int(np.random.SeedSequence(entropy=seed, spawn_key=key).generate_state(1, np.uint64)[0])


@dataclass
class MapSpec:
    """What every stratum of a map shares: sent to each worker once, like a campaign's ``TrialSpec``."""

    trials: TrialSpec
    per_stratum: int

    @property
    def token(self) -> str:
        return self.trials.token

    def prepare(self, protection: Protection) -> Prepared:
        return self.trials.prepare(protection)

    def run(self, prepared: Prepared, key: StratumKey, scratch: Scratch | None = None) -> StratumRecord:
        return measure(prepared, key, self.per_stratum, scratch or Scratch())

    def run_batch(self, prepared: Prepared, keys: Sequence[StratumKey], scratch: Scratch) -> list[StratumRecord]:
        return [self.run(prepared, k, scratch) for k in keys]


class _Faults:
    """The faults of one stratum and what each did, filled round by round."""

    def __init__(self, prepared: Prepared, key: StratumKey, count: int, seed: int) -> None:
        self.prepared = prepared
        tensors = prepared.weights.tensors
        tensor = tensors[key.tensor]
        k = next(i for i, g in enumerate(prepared.groups) if key.tensor in g.members)
        self.group = prepared.groups[k]
        self.stored: Stored = self.group.stored
        self.offsets = np.cumsum([0, *(tensors[i].size for i in self.group.members)])
        self.width = self.group.storage.bits
        first = int(self.offsets[self.group.members.index(key.tensor)])
        values = first + draw_sites(tensor.size, seed, count).view(np.int64)
        self.kinds = draw_kinds(prepared.spec.kinds, Stream(seed), count)
        self.sites = self.stored.value_sites(values, key.bit)
        self.words = self.stored.word_of(values * self.width + key.bit)
        self.changed = np.zeros(count, np.int64)
        self.created = np.zeros(count, np.int64)
        self.squares = np.zeros(count)
        self.flagged = np.zeros(count, bool)
        #: Whether a flagged fault's stored data were changed (a DUE), or only the code's own bits (a false one).
        self.wrong = np.zeros(count, bool)
        #: Per fault, its changes as (tensor index, elements, before, after), kept only for an evaluate function.
        self.changes: list[list[tuple[int, I64, Patterns, Patterns]]] | None = None
        if prepared.spec.evaluate is not None:
            self.changes = [[] for _ in range(count)]

    def rounds(self) -> list[I64]:
        """The faults split so that no two of a round share a word: the r-th fault of each word goes to round r."""
        order = np.argsort(self.words, kind="stable")
        w = self.words[order]
        if not w.size:
            return []
        first = np.r_[True, w[1:] != w[:-1]]
        starts = np.maximum.accumulate(np.where(first, np.arange(w.size), 0))
        rank = np.arange(w.size) - starts
        return [np.sort(order[rank == r]) for r in range(int(rank.max()) + 1)]

    def run(self, ids: I64) -> None:
        """Faults ``ids`` (in distinct words) in one call; split in halves where the effect cannot be attributed."""
        kinds: Kinds = self.kinds if isinstance(self.kinds, FaultKind) else self.kinds[ids]
        sites = self.sites[ids]
        effect = self.stored.sparse(kinds, sites) if self.stored.sparse_available else self.stored.dense(kinds, sites)
        flags, wrong = effect.counts.flagged, effect.counts.flagged_wrong
        m = int(ids.size)
        # Every fault flagged alike, or none: each fault's flag is known; else the halves tell.
        alike = flags == 0 or (flags == m and wrong in (0, m))
        found = self._owners(ids, effect) if alike else None
        if found is None:
            if m > 1:
                self.run(ids[: m // 2])
                self.run(ids[m // 2 :])
                return
            found = [(j, np.full(idx.size, ids[0]), idx, b, a)
                     for j, (idx, b, a) in enumerate(effect.changes) if idx.size]  # fmt: skip
        self.flagged[ids] = flags > 0
        self.wrong[ids] = wrong > 0
        for j, owner, idx, before, after in found:
            self._add(j, owner, idx, before, after)

    def _owners(self, ids: I64, effect: Effect) -> list[tuple[int, I64, I64, Patterns, Patterns]] | None:
        """Per member tensor with changes: the fault each changed value belongs to; None if some value's is unclear."""
        order = np.argsort(self.words[ids])
        words, owners = self.words[ids][order], ids[order]
        m = words.size
        out = []
        for j, (idx, before, after) in enumerate(effect.changes):
            if not idx.size:
                continue
            bits = (self.offsets[j] + idx) * self.width
            lo, hi = self.stored.word_of(bits), self.stored.word_of(bits + self.width - 1)
            pos = np.searchsorted(words, lo)
            at, nxt = np.minimum(pos, m - 1), np.minimum(pos + 1, m - 1)
            one = (pos < m) & (words[at] <= hi) & ((pos + 1 >= m) | (words[nxt] > hi))
            if not one.all():
                return None
            out.append((j, owners[at], idx, before, after))
        return out

    def _add(self, j: int, owner: I64, idx: I64, before: Patterns, after: Patterns) -> None:
        member = self.group.members[j]
        tensor = self.prepared.weights.tensors[member]
        a, b = tensor.values(before), tensor.values(after)
        fa, fb = np.isfinite(a), np.isfinite(b)
        both = fa & fb
        err = np.abs(b[both] - a[both])
        np.add.at(self.squares, owner[both], err * err)
        np.add.at(self.created, owner[fa & ~fb], 1)
        np.add.at(self.changed, owner, 1)
        if self.changes is not None:
            for t in np.unique(owner).tolist():
                mine = owner == t
                self.changes[t].append((member, idx[mine], before[mine], after[mine]))

    def damage(self) -> npt.NDArray[np.float64]:
        """Each fault's rel_l2_error, as ``metrics.damage`` measures it."""
        l2 = self.prepared.reference.l2
        root = np.sqrt(self.squares)
        if l2 > 0:
            out: npt.NDArray[np.float64] = root / l2
            return out
        return np.where(root == 0, 0.0, math.inf)

    def metric_changes(self, scratch: Scratch) -> npt.NDArray[np.float64] | None:
        """Each fault's change of the task metric from the protection's clean metric (0 where nothing changed)."""
        if self.changes is None:
            return None
        clean = self.prepared.clean_metric
        assert clean is not None
        empty = np.zeros(0, np.int64)
        none: list[Change] = [(empty, empty, empty)] * len(self.prepared.weights.tensors)
        out = np.zeros(len(self.changes))
        for t, parts in enumerate(self.changes):
            if parts:
                changes = list(none)
                for member, idx, before, after in parts:
                    changes[member] = (idx, before, after)
                out[t] = self.prepared.evaluate_changes(changes, scratch) - clean
        return out


def _fraction(hits: int, trials: int, exhaustive: bool) -> Estimate:
    if exhaustive:  # every value of the tensor was faulted: the fraction is known
        return Estimate(hits / trials, hits / trials, hits / trials)
    p = proportion(hits, trials)
    return Estimate(p.fraction, p.low, p.high)


def _mean(values: npt.NDArray[np.float64], seed: int, exhaustive: bool,
          bounds: tuple[float | None, float | None] = (None, None)) -> Estimate:  # fmt: skip
    found = metric_interval(values, seed=seed, bounds=bounds)
    if exhaustive:
        return Estimate(found.mean, found.mean, found.mean)
    return Estimate(found.mean, found.low, found.high)


def _change_bounds(prepared: Prepared) -> tuple[float | None, float | None]:
    """What a change of the task metric from the clean metric can be, given the metric's range."""
    low, high = prepared.spec.metric_range
    clean = prepared.clean_metric
    if clean is None:
        return None, None
    return (None if low is None else low - clean, None if high is None else high - clean)


def measure(prepared: Prepared, key: StratumKey, per_stratum: int, scratch: Scratch) -> StratumRecord:
    """One stratum: ``per_stratum`` single faults at bit ``key.bit`` of distinct values of one tensor (all of its
    values when it has no more), and what each did."""
    t0 = time.perf_counter()
    tensor = prepared.weights.tensors[key.tensor]
    protection = prepared.protection.name
    seed = stratum_seed(prepared.spec.seed, protection, tensor.name, key.bit)
    count = min(per_stratum, tensor.size)
    exhaustive = count == tensor.size
    faults = _Faults(prepared, key, count, seed)
    for ids in faults.rounds():
        faults.run(ids)
    damage = faults.damage()
    deltas = faults.metric_changes(scratch)
    outcomes = [outcome(Counts(flagged=int(f), flagged_wrong=int(w)), int(c), None, None, None)
                for f, w, c in zip(faults.flagged, faults.wrong, faults.changed, strict=True)]  # fmt: skip
    finite = None if deltas is None else deltas[np.isfinite(deltas)]
    return StratumRecord(
        protection=protection,
        tensor=tensor.name,
        bit=key.bit,
        values=tensor.size,
        trials=count,
        seed=seed,
        outcomes={o: outcomes.count(o) for o in OUTCOMES},
        sdc=_fraction(outcomes.count("sdc"), count, exhaustive),
        nonfinite=_fraction(int(np.count_nonzero(faults.created)), count, exhaustive),
        damage=_mean(damage, seed, exhaustive, (0.0, None)),
        damage_sq=float(np.mean(damage * damage)),
        metric=None if deltas is None else _mean(deltas, seed, exhaustive, _change_bounds(prepared)),
        metric_abs=None if finite is None else (float(np.mean(np.abs(finite))) if finite.size else math.nan),
        seconds=time.perf_counter() - t0,
    )


__all__ = ["MapSpec", "StratumKey", "measure", "stratum_seed"]
