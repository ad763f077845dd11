"""Codes that keep each value in its own word: none, embedded parity (cep) and majority vote (mset).

Fault sites are the bits of the stored values, value after value, so site g
is bit g mod w of value g div w of the group. cep and mset give up low bits
of every value to their redundancy; their stored form and its fault-free
decode are built once.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

from .. import _rust
from ..errors import StudyError
from ..native import I64, U64, Patterns, bits_view, diff, inject
from ..vocabulary import Effect, FaultKind, Kinds, SiteLocation, Storage
from .base import SITES_BLOCK, U8, ChangeBuffer, Protection, Stored, by_kind, changing, sorted_sites


class PlainStored(Stored):
    """The patterns stored as they are (the stored form of ``none``)."""

    def __init__(self, patterns: list[Patterns], storage: Storage) -> None:
        self.storage = Storage(storage)
        #: The values the stored form is made from: it is ``_encode`` of them, element by element.
        self.values = patterns
        self.clean = patterns
        self.site_count = sum(p.size for p in patterns) * self.storage.bits
        self._bounds = np.cumsum([0, *(p.size for p in patterns)])

    def dense(self, kinds: Kinds, sites: U64) -> Effect:
        work = [p.copy() for p in self.values]
        self._encode(work)
        for kind, s in by_kind(kinds, sites):
            inject(work, kind.code, s)
        self._decode(work)
        return Effect(diff(self.clean, work), self.changed_bits(kinds, sites), decoded=work)

    def _encode(self, work: list[Patterns]) -> None:
        pass

    def _decode(self, work: list[Patterns]) -> None:
        pass

    def _gather(self, elements: I64) -> Patterns:
        """The stored patterns (as unsigned integers) of group-wide elements, given in increasing order."""
        u = bits_view(self.values[0]).dtype
        if len(self.values) == 1:
            out: Patterns = self.values[0].view(u)[elements]
        else:
            # Elements come sorted, so each tensor's are one run of them.
            cuts = np.searchsorted(elements, self._bounds)
            out = np.empty(elements.size, u)
            for k in np.flatnonzero(np.diff(cuts)).tolist():
                a, b = cuts[k], cuts[k + 1]
                out[a:b] = self.values[k].view(u)[elements[a:b] - self._bounds[k]]
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
        changes = ChangeBuffer(self.clean, self._bounds, np.diff(np.searchsorted(sites, self._bounds.astype(np.uint64) * w)))
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
            decoded = values.view(self.values[0].dtype)
            self._decode([decoded])
            changes.add(elem[starts], decoded)
            lo = hi
        return Effect(changes.changes(), bits)

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
        kept: tuple[frozenset[int], str] = (frozenset(), ""),
    ) -> None:
        super().__init__(patterns, storage)
        self._encode_one = code
        self._decode_one = decode
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


class Cep(Protection):
    """Embedded parity: D3P1 / D7P1 / D15P1 groups in the low bits of every value."""

    takes = frozenset({Storage.FLOAT32, Storage.UINT16})
    SCHEMES = ("D3P1", "D7P1", "D15P1")

    keeps_redundancy = True

    def __init__(self, scheme: str) -> None:
        if scheme not in self.SCHEMES:
            raise StudyError(f"unknown embedded-parity scheme '{scheme}' (use {', '.join(self.SCHEMES)})")
        self.scheme_name = scheme
        self.scheme = getattr(_rust.cep.Scheme, scheme)
        self.name = f"cep:{scheme}"

    def redundancy(self, storage: Storage) -> frozenset[int]:
        # One parity bit per group of N data bits: the lowest W / (N + 1) bits of each value hold them.
        n = int(self.scheme_name[1:].partition("P")[0])
        return frozenset(range(Storage(storage).bits // (n + 1)))

    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        sfx = Storage(storage).suffix
        enc, dec = getattr(_rust.cep, f"encode_{sfx}"), getattr(_rust.cep, f"decode_{sfx}")
        return InPlaceStored(patterns, storage, lambda a: enc(a, self.scheme), lambda a: dec(a, self.scheme),
                             (self.redundancy(storage), "parity bit"))  # fmt: skip


class Mset(Protection):
    """Majority vote over the top exponent bit and two copies in the lowest mantissa bits."""

    name = "mset"
    takes = frozenset({Storage.FLOAT32, Storage.UINT16})
    keeps_redundancy = True

    def redundancy(self, storage: Storage) -> frozenset[int]:
        return frozenset({0, 1})  # the two vote copies

    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        sfx = Storage(storage).suffix
        encode, decode = getattr(_rust.mset, f"encode_{sfx}"), getattr(_rust.mset, f"decode_{sfx}")
        return InPlaceStored(patterns, storage, encode, decode, (self.redundancy(storage), "vote copy"))
