"""Codes that keep each value in its own word: none, embedded parity (cep) and majority vote (mset).

Fault sites are the bits of the stored values, value after value, so site g
is bit g mod w of value g div w of the group. cep and mset give up low bits
of every value to their redundancy; their stored form and its fault-free
decode are built once.

What a decoder did is read off the values the faults hit, on both paths
alike: their stored patterns, the patterns the faults left, and the decode.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import replace

import numpy as np

from .. import _rust
from ..errors import StudyError
from ..expectations import cep_expectations, mset_expectations, none_expectations
from ..native import I64, U64, Patterns, bits_view, diff, in_place_code, inject, popcount, unique
from ..vocabulary import SINGLE, Change, Counts, Effect, FaultKind, Kinds, Pattern, SiteLocation, Storage
from .base import (
    SITES_BLOCK, U8, ChangeBuffer, GroupShape, Protection, Stored, by_kind, changing, sorted_sites, whole,
)  # fmt: skip

#: What a decoder did, from the hit values' (stored, faulted, decoded) patterns.
Counter = Callable[[Patterns, Patterns, Patterns], Counts]


def _changed_any(changes: Sequence[Change]) -> bool:
    return any(idx.size for idx, _, _ in changes)


class PlainStored(Stored):
    """The patterns stored as they are (the stored form of ``none``)."""

    #: Whether the code raises flags; one that never does leaves wrong data silently wherever a value changed.
    flags = False

    def __init__(self, patterns: list[Patterns], storage: Storage) -> None:
        self.storage = Storage(storage)
        #: The values the stored form is made from: it is ``_encode`` of them, element by element.
        self.values = patterns
        self.clean = patterns
        self.site_count = sum(p.size for p in patterns) * self.storage.bits
        self._bounds = np.cumsum([0, *(p.size for p in patterns)])
        #: Reads the decoder's counts off the hit values; None where a change is all there is to know.
        self.counter: Counter | None = None

    def _counts(self, counts: Counts, changes: list[Change]) -> Counts:
        if self.flags:
            return counts
        return replace(counts, silent=_changed_any(changes))

    def dense(self, kinds: Kinds, sites: U64) -> Effect:
        work = [p.copy() for p in self.values]
        self._encode(work)
        for kind, s in by_kind(kinds, sites):
            inject(work, kind.code, s)
        bits = self.changed_bits(kinds, sites)
        if self.counter is None:
            self._decode(work)
            changes = diff(self.clean, work)
            return Effect(changes, bits, self._counts(Counts(), changes), decoded=work)
        hit = unique(sites // np.uint64(self.storage.bits))
        faulted = self._raw(work, hit)
        self._decode(work)
        changes = diff(self.clean, work)
        counts = Counts()
        # The counters look at every group of every hit value at once: a block of values at a time keeps
        # their temporaries small beside the trial.
        for lo in range(0, hit.size, SITES_BLOCK):
            block = hit[lo : lo + SITES_BLOCK]
            counts += self.counter(self._gather(block), faulted[lo : lo + SITES_BLOCK], self._raw(work, block))
        return Effect(changes, bits, self._counts(counts, changes), decoded=work)

    def _encode(self, work: list[Patterns]) -> None:
        pass

    def _decode(self, work: list[Patterns]) -> None:
        pass

    def _raw(self, arrays: Sequence[Patterns], elements: I64) -> Patterns:
        """The patterns (as unsigned integers) at group-wide elements, given in increasing order, of per-tensor
        arrays."""
        u = bits_view(arrays[0]).dtype
        if len(arrays) == 1:
            one: Patterns = arrays[0].view(u)[elements]
            return one
        # Elements come sorted, so each tensor's are one run of them.
        cuts = np.searchsorted(elements, self._bounds)
        out = np.empty(elements.size, u)
        for k in np.flatnonzero(np.diff(cuts)).tolist():
            a, b = cuts[k], cuts[k + 1]
            out[a:b] = arrays[k].view(u)[elements[a:b] - self._bounds[k]]
        return out

    def _gather(self, elements: I64) -> Patterns:
        """The stored patterns (as unsigned integers) of group-wide elements, given in increasing order."""
        out = self._raw(self.values, elements)
        if out.size:
            self._encode([out.view(self.values[0].dtype)])
        return out

    def bits_at(self, sites: U64) -> U8:
        elem, bit = np.divmod(sites, np.uint64(self.storage.bits))
        elem = elem.astype(np.int64)
        order = np.argsort(elem, kind="stable")
        values = np.empty(elem.size, bits_view(self.values[0]).dtype)
        values[order] = self._gather(elem[order])
        return ((values >> bit) & 1).astype(np.uint8)

    def sparse(self, kinds: Kinds, sites: U64) -> Effect:
        # Block by block over the sorted sites, so that what a trial holds per fault is its site and at most one
        # change (element, before, after); a block ends where an element's sites end.
        w = np.uint64(self.storage.bits)
        sites, kinds = sorted_sites(sites, kinds)
        changes = ChangeBuffer(self.clean, self._bounds, sites.size)
        counts = Counts()
        bits = 0
        lo = 0
        while lo < sites.size:
            hi = min(lo + SITES_BLOCK, sites.size)
            if hi < sites.size:
                hi = int(np.searchsorted(sites, (sites[hi - 1] // w + np.uint64(1)) * w))
            elem = (sites[lo:hi] // w).astype(np.int64)
            first = np.empty(elem.size, bool)
            first[0] = True
            np.not_equal(elem[1:], elem[:-1], out=first[1:])
            starts = np.flatnonzero(first)
            values = self._gather(elem[starts])
            stored = values.copy() if self.counter is not None else values
            u = values.dtype
            flips = np.left_shift(np.ones(1, u), (sites[lo:hi] % w).astype(u))
            if kinds is not FaultKind.FLIP:
                # The sites are distinct, so the faults amount to flipping the bits they change.
                held = np.repeat(values, np.diff(np.r_[starts, elem.size])) & flips
                flips[~changing(kinds if isinstance(kinds, FaultKind) else kinds[lo:hi], (held != 0).astype(np.uint8))] = 0
                bits += int(np.count_nonzero(flips))
            else:
                bits += hi - lo
            values ^= np.bitwise_or.reduceat(flips, starts)
            faulted = values.copy() if self.counter is not None else values
            decoded = values.view(self.values[0].dtype)
            self._decode([decoded])
            if self.counter is not None:
                counts += self.counter(stored, faulted, values)
            changes.add(elem[starts], decoded)
            lo = hi
        found = changes.changes()
        return Effect(found, bits, self._counts(counts, found))

    def locate(self, site: int) -> SiteLocation:
        elem, bit = divmod(site, self.storage.bits)
        return SiteLocation(elem, bit, "value bit")


class InPlaceStored(PlainStored):
    """Values encoded in place by an element-wise code, and decoded element-wise.

    The code works on each value alone, so the stored form is never held:
    what a trial reads of it is encoded from the values when read, and only the
    fault-free decode is kept.
    """

    def __init__(
        self,
        patterns: list[Patterns],
        storage: Storage,
        code: Callable[[Patterns], None],
        decode: Callable[[Patterns], None],
        counter: Counter,
        flags: bool,
        kept: tuple[frozenset[int], str] = (frozenset(), ""),
    ) -> None:
        super().__init__(patterns, storage)
        self._encode_one = code
        self._decode_one = decode
        self.counter = counter
        self.flags = flags
        self._kept, self._kept_as = kept
        self.clean = [p.copy() for p in patterns]
        self._encode(self.clean)
        self._decode(self.clean)

    def locate(self, site: int) -> SiteLocation:
        elem, bit = divmod(site, self.storage.bits)
        return SiteLocation(elem, bit, self._kept_as if bit in self._kept else "value bit")

    def _encode(self, work: list[Patterns]) -> None:
        for w in work:
            self._encode_one(w)

    def _decode(self, work: list[Patterns]) -> None:
        for w in work:
            self._decode_one(w)


class NoProtection(Protection):
    """The patterns stored as they are."""

    name = "none"

    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        return PlainStored(patterns, storage)

    def expected(self, groups: Sequence[GroupShape], faults: int, pattern: Pattern = SINGLE) -> Mapping[str, float]:
        if pattern != SINGLE:
            # An event changes bits of one value, and no value is hit twice in a trial.
            return {"values_changed": float(faults), "sdc": 1.0, "masked": 0.0, "any_silent": 1.0}
        # Each value is a unit of as many sites as it has bits faults may hit.
        units: list[tuple[int, int]] = []
        for storage, sizes, targets in groups:
            if targets.values is None:
                units.append((sum(sizes), Storage(storage).bits))
            else:
                units += [(size, len(chosen)) for size, chosen in zip(sizes, targets.values, strict=True) if chosen]
        got = none_expectations(units, faults)
        changed = got["p_any_value_changed"]
        return {"values_changed": got["values_changed"], "sdc": changed, "masked": 1.0 - changed, "any_silent": changed}


def cep_layout(width: int, data_bits: int) -> list[tuple[int, int]]:
    """(parity mask, source mask) of each parity group of a ``width``-bit value, groups from the top.

    Group g keeps its parity bit at M - 1 - g (M groups, the lowest bits) and
    its sources at width - 1 - data_bits g - j for j < data_bits.
    """
    m = width // (data_bits + 1)
    out = []
    for g in range(m):
        sources = sum(1 << (width - 1 - data_bits * g - j) for j in range(data_bits))
        out.append((1 << (m - 1 - g), sources))
    return out


def _cep_counter(width: int, data_bits: int) -> Counter:
    layout = cep_layout(width, data_bits)
    unsigned = np.dtype(f"u{width // 8}")
    parity = np.array([p for p, _ in layout], unsigned)
    sources = np.array([s for _, s in layout], unsigned)

    def count(stored: Patterns, faulted: Patterns, decoded: Patterns) -> Counts:
        changed = (stored ^ faulted)[:, None]  # values x groups below
        in_sources = popcount(changed & sources).astype(np.int64)
        hits = in_sources + ((changed & parity) != 0)
        odd = (hits & 1) == 1
        # The decoder clears a group whose parity fails; an even number of changes passes unseen.
        zeroed = int(np.count_nonzero(odd))
        intact = int(np.count_nonzero(odd & (in_sources == 0)))
        undetected = int(np.count_nonzero(~odd & (hits > 0)))
        own = {"groups_zeroed": zeroed, "groups_zeroed_intact": intact, "groups_undetected": undetected}
        return Counts(own, flagged=zeroed, flagged_wrong=zeroed - intact, silent=undetected > 0)

    return count


class Cep(Protection):
    """Embedded parity: D3P1 / D7P1 / D15P1 groups in the low bits of every value.

    A group whose parity fails is zeroed by the decoder: that is its flag.
    """

    takes = frozenset({Storage.FLOAT32, Storage.UINT16})
    SCHEMES = ("D3P1", "D7P1", "D15P1")
    counters = ("groups_zeroed", "groups_zeroed_intact", "groups_undetected")

    keeps_redundancy = True

    def __init__(self, scheme: str) -> None:
        if scheme not in self.SCHEMES:
            raise StudyError(f"unknown embedded-parity scheme '{scheme}' (use {', '.join(self.SCHEMES)})")
        self.scheme_name = scheme
        self.scheme = getattr(_rust.cep.Scheme, scheme)
        self.name = f"cep:{scheme}"
        self.data_bits = int(scheme[1:].partition("P")[0])

    def redundancy(self, storage: Storage) -> frozenset[int]:
        # One parity bit per group of N data bits: the lowest W / (N + 1) bits of each value hold them.
        n = int(self.scheme_name[1:].partition("P")[0])
        return frozenset(range(Storage(storage).bits // (n + 1)))

    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        storage = Storage(storage)
        sfx = storage.suffix
        enc, dec = getattr(_rust.cep, f"encode_{sfx}"), getattr(_rust.cep, f"decode_{sfx}")
        return InPlaceStored(patterns, storage, in_place_code(lambda a: enc(a, self.scheme), self.scheme_name, True),
                             in_place_code(lambda a: dec(a, self.scheme), self.scheme_name, False),
                             _cep_counter(storage.bits, self.data_bits), True, (self.redundancy(storage), "parity bit"))

    def expected(self, groups: Sequence[GroupShape], faults: int, pattern: Pattern = SINGLE) -> Mapping[str, float]:
        if pattern != SINGLE or not whole(groups):
            return {}
        got = cep_expectations([(sum(sizes), Storage(s).bits) for s, sizes, _ in groups], self.scheme_name, faults)
        return {
            "groups_zeroed": got["groups_zeroed"],
            "groups_zeroed_intact": got["groups_zeroed_intact"],
            "groups_undetected": got["groups_undetected"],
            "any_groups_zeroed": got["p_any_zeroed"],
            "any_groups_undetected": got["p_undetected"],
            "any_silent": got["p_undetected"],
            "due": got["p_due"],
            "false_due": got["p_false_due"],
            "masked": got["p_masked"],
            "sdc": got["p_sdc"],
        }


def _mset_counter(width: int) -> Counter:
    voted = np.uint64(width - 2)  # the top exponent bit, with its copies in bits 0 and 1

    def count(stored: Patterns, faulted: Patterns, decoded: Patterns) -> Counts:
        def bit(p: Patterns) -> Patterns:
            return (p.astype(np.uint64) >> voted) & np.uint64(1)

        s, f, d = bit(stored), bit(faulted), bit(decoded)
        # A vote corrects silently: it never raises a flag (the stored form says what is silent).
        return Counts({"votes_changed": int(np.count_nonzero(d != f)), "votes_failed": int(np.count_nonzero(d != s))})

    return count


class Mset(Protection):
    """Majority vote over the top exponent bit and two copies in the lowest mantissa bits."""

    name = "mset"
    takes = frozenset({Storage.FLOAT32, Storage.UINT16})
    counters = ("votes_changed", "votes_failed")
    keeps_redundancy = True

    def redundancy(self, storage: Storage) -> frozenset[int]:
        return frozenset({0, 1})  # the two vote copies

    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        storage = Storage(storage)
        sfx = storage.suffix
        encode, decode = getattr(_rust.mset, f"encode_{sfx}"), getattr(_rust.mset, f"decode_{sfx}")
        return InPlaceStored(patterns, storage, in_place_code(encode, "mset", True), in_place_code(decode, "mset", False),
                             _mset_counter(storage.bits), False,
                             (self.redundancy(storage), "vote copy"))  # fmt: skip

    def expected(self, groups: Sequence[GroupShape], faults: int, pattern: Pattern = SINGLE) -> Mapping[str, float]:
        if pattern != SINGLE or not whole(groups):
            return {}
        got = mset_expectations([(sum(sizes), Storage(s).bits) for s, sizes, _ in groups], faults)
        return {
            "votes_failed": got["votes_failed"],
            "any_votes_failed": got["p_vote_failed"],
            "votes_changed": got["votes_changed_bit"],
            "any_votes_changed": got["p_vote_changed_bit"],
            "masked": got["p_masked"],
            "sdc": 1.0 - got["p_masked"],
            "any_silent": 1.0 - got["p_masked"],
        }
