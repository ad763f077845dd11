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
from ..native import U64, Patterns, bits_view, diff, inject, unique_inverse
from ..vocabulary import Effect, FaultKind, SiteLocation, Storage
from .base import Protection, Stored, split_by_tensor


class PlainStored(Stored):
    """The patterns stored as they are (the stored form of ``none``)."""

    def __init__(self, patterns: list[Patterns], storage: Storage) -> None:
        self.storage = Storage(storage)
        self.stored = patterns
        self.clean = patterns
        self.site_count = sum(p.size for p in patterns) * self.storage.bits

    def dense(self, kind: FaultKind, sites: U64) -> Effect:
        work = [p.copy() for p in self.stored]
        inject(work, kind.code, sites)
        self._decode(work)
        return Effect(diff(self.clean, work), decoded=work)

    def _decode(self, work: list[Patterns]) -> None:
        pass

    def sparse(self, kind: FaultKind, sites: U64) -> Effect:
        w = self.storage.bits
        elem, bit = np.divmod(sites, np.uint64(w))
        elements, inverse = unique_inverse(elem)
        sizes = [p.size for p in self.stored]
        bounds = np.cumsum([0, *sizes])
        which = np.searchsorted(bounds, elements, side="right") - 1
        u = bits_view(self.stored[0]).dtype
        values = np.empty(elements.size, u)
        for k, s in enumerate(self.stored):
            m = which == k
            values[m] = s.view(u)[elements[m] - bounds[k]]
        masks = np.zeros(elements.size, u)
        np.bitwise_or.at(masks, inverse, (np.uint64(1) << bit).astype(u))
        if kind == FaultKind.FLIP:
            values ^= masks
        elif kind == FaultKind.STUCK_AT_1:
            values |= masks
        else:
            values &= ~masks
        decoded = values.view(self.stored[0].dtype)
        self._decode([decoded])
        return Effect(split_by_tensor(elements, decoded, sizes, self.clean))

    def locate(self, site: int) -> SiteLocation:
        elem, bit = divmod(site, self.storage.bits)
        return SiteLocation(elem, bit, "value bit")


class InPlaceStored(PlainStored):
    """Values encoded in place by an element-wise code, and decoded element-wise."""

    def __init__(
        self, patterns: list[Patterns], storage: Storage, code: Callable[[Patterns], None], decode: Callable[[Patterns], None]
    ) -> None:
        stored = [p.copy() for p in patterns]
        for s in stored:
            code(s)
        super().__init__(stored, storage)
        self._decode_one = decode
        self.clean = [s.copy() for s in stored]
        self._decode(self.clean)

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

    def __init__(self, scheme: str) -> None:
        if scheme not in self.SCHEMES:
            raise StudyError(f"unknown embedded-parity scheme '{scheme}' (use {', '.join(self.SCHEMES)})")
        self.scheme_name = scheme
        self.scheme = getattr(_rust.cep.Scheme, scheme)
        self.name = f"cep:{scheme}"

    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        sfx = Storage(storage).suffix
        enc, dec = getattr(_rust.cep, f"encode_{sfx}"), getattr(_rust.cep, f"decode_{sfx}")
        return InPlaceStored(patterns, storage, lambda a: enc(a, self.scheme), lambda a: dec(a, self.scheme))


class Mset(Protection):
    """Majority vote over the top exponent bit and two copies in the lowest mantissa bits."""

    name = "mset"
    takes = frozenset({Storage.FLOAT32, Storage.UINT16})

    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        sfx = Storage(storage).suffix
        return InPlaceStored(patterns, storage, getattr(_rust.mset, f"encode_{sfx}"), getattr(_rust.mset, f"decode_{sfx}"))
