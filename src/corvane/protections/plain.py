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
from ..native import I64, U64, Patterns, bits_view, diff, inject, unique_inverse
from ..vocabulary import Effect, FaultKind, Kinds, SiteLocation, Storage
from .base import U8, Protection, Stored, by_kind, changing, split_by_tensor


class PlainStored(Stored):
    """The patterns stored as they are (the stored form of ``none``)."""

    def __init__(self, patterns: list[Patterns], storage: Storage) -> None:
        self.storage = Storage(storage)
        self.stored = patterns
        self.clean = patterns
        self.site_count = sum(p.size for p in patterns) * self.storage.bits
        self._bounds = np.cumsum([0, *(p.size for p in patterns)])

    def dense(self, kinds: Kinds, sites: U64) -> Effect:
        work = [p.copy() for p in self.stored]
        for kind, s in by_kind(kinds, sites):
            inject(work, kind.code, s)
        self._decode(work)
        return Effect(diff(self.clean, work), self.changed_bits(kinds, sites), decoded=work)

    def _decode(self, work: list[Patterns]) -> None:
        pass

    def _gather(self, elements: I64) -> Patterns:
        """The stored patterns (as unsigned integers) of group-wide elements."""
        u = bits_view(self.stored[0]).dtype
        if len(self.stored) == 1:
            out: Patterns = self.stored[0].view(u)[elements]
            return out
        which = np.searchsorted(self._bounds, elements, side="right") - 1
        values = np.empty(elements.size, u)
        for k, s in enumerate(self.stored):
            m = which == k
            values[m] = s.view(u)[elements[m] - self._bounds[k]]
        return values

    def bits_at(self, sites: U64) -> U8:
        elem, bit = np.divmod(sites, np.uint64(self.storage.bits))
        return ((self._gather(elem.astype(np.int64)) >> bit) & 1).astype(np.uint8)

    def sparse(self, kinds: Kinds, sites: U64) -> Effect:
        w = self.storage.bits
        elem, bit = np.divmod(sites, np.uint64(w))
        elements, inverse = unique_inverse(elem)
        values = self._gather(elements)
        if kinds is not FaultKind.FLIP:
            # The sites are distinct, so the faults amount to flipping the bits they change.
            keep = changing(kinds, ((values[inverse] >> bit) & 1).astype(np.uint8))
            inverse, bit = inverse[keep], bit[keep]
        u = values.dtype
        masks = np.zeros(elements.size, u)
        np.bitwise_or.at(masks, inverse, (np.uint64(1) << bit).astype(u))
        values ^= masks
        decoded = values.view(self.stored[0].dtype)
        self._decode([decoded])
        sizes = [p.size for p in self.stored]
        return Effect(split_by_tensor(elements, decoded, sizes, self.clean), int(inverse.size))

    def locate(self, site: int) -> SiteLocation:
        elem, bit = divmod(site, self.storage.bits)
        return SiteLocation(elem, bit, "value bit")


class InPlaceStored(PlainStored):
    """Values encoded in place by an element-wise code, and decoded element-wise."""

    def __init__(
        self,
        patterns: list[Patterns],
        storage: Storage,
        code: Callable[[Patterns], None],
        decode: Callable[[Patterns], None],
        kept: tuple[frozenset[int], str] = (frozenset(), ""),
    ) -> None:
        stored = [p.copy() for p in patterns]
        for s in stored:
            code(s)
        super().__init__(stored, storage)
        self._decode_one = decode
        self._kept, self._kept_as = kept
        self.clean = [s.copy() for s in stored]
        self._decode(self.clean)

    def locate(self, site: int) -> SiteLocation:
        elem, bit = divmod(site, self.storage.bits)
        return SiteLocation(elem, bit, self._kept_as if bit in self._kept else "value bit")

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
