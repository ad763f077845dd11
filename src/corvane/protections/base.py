"""The interface every protection implements, and what its stored forms share.

A protection encodes the patterns of one storage group (the tensors of one
storage kind) once into a stored form. A trial then hands the stored form a
fault kind and fault sites, numbered over the stored form's own bits, and gets
back the trial's ``Effect`` on the group: the values that changed and what
the decoder did (its own counters, the units it flagged and whether it left
data wrong silently). The dense path (copy, inject, decode everything) and
the sparse path (touch only what the faults touch) give the same effect.

A protection also knows its geometry well enough to say what a flip
campaign should observe on average (``expected``).
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Mapping, Sequence

import numpy as np

from ..native import I64, U64, Patterns, bits_view
from ..vocabulary import Change, Effect, FaultKind, SiteLocation, Storage


def split_by_tensor(elements: I64, values: Patterns, sizes: Sequence[int], clean: Sequence[Patterns]) -> list[Change]:
    """Group-wide sorted element indices and decoded patterns -> per-tensor changes (unchanged ones dropped)."""
    out: list[Change] = []
    bounds = np.cumsum([0, *sizes])
    cuts = np.searchsorted(elements, bounds)
    for k, c in enumerate(clean):
        idx = elements[cuts[k] : cuts[k + 1]] - bounds[k]
        after = values[cuts[k] : cuts[k + 1]]
        before = c[idx]
        keep = bits_view(before) != bits_view(after)
        out.append((idx[keep], before[keep], after[keep]))
    return out


class Stored(ABC):
    """The stored form of one storage group under one protection."""

    storage: Storage
    site_count: int
    #: The fault-free decode, one 1-D pattern array per tensor of the group.
    clean: list[Patterns]
    #: Whether ``sparse`` can run in this build (it may need the native engine).
    sparse_available: bool = True

    @abstractmethod
    def dense(self, kind: FaultKind, sites: U64) -> Effect:
        """Copies the stored form, applies the faults at ``sites`` (group-local), decodes everything.

        The effect carries the whole decoded patterns besides the changes.
        """

    @abstractmethod
    def sparse(self, kind: FaultKind, sites: U64) -> Effect:
        """The same trial touching only what the faults touch; the stored form is left as it is."""

    @abstractmethod
    def locate(self, site: int) -> SiteLocation:
        """Where a group-local site lies: an element of the group and its bit, or the protection's own bits."""


class Protection(ABC):
    """One protective encoding, applicable to some storage kinds."""

    #: The name used on the command line and in results, e.g. "secded:64".
    name: str
    takes: frozenset[Storage] = frozenset(Storage)
    #: The counters (names from ``vocabulary.COUNTERS``) its records carry.
    counters: tuple[str, ...] = ()

    def accepts(self, storage: str) -> bool:
        return Storage(storage) in self.takes

    def stored_bits(self, value_count: int, storage: Storage) -> int:
        """Fault sites (stored bits) of a group of ``value_count`` values."""
        return value_count * Storage(storage).bits

    @abstractmethod
    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        """Encodes a group once (patterns are never written)."""

    def expected(self, groups: Sequence[tuple[Storage, int]], faults: int) -> Mapping[str, float]:
        """What a trial of ``faults`` flips over groups of (storage, value count) should show on average.

        Names are those the values are observed under: outcomes, events
        (``any_<counter>``) and metrics. Empty where probability theory gives
        nothing simple.
        """
        return {}

    def __repr__(self) -> str:
        return f"<protection {self.name}>"
