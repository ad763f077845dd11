"""The interface every protection implements, and what its stored forms share.

A protection encodes the patterns of one storage group (the tensors of one
storage kind) once into a stored form. A trial then hands the stored form
fault kinds and fault sites, numbered over the stored form's own bits, and
gets back the trial's ``Effect`` on the group: the values that changed, the
stored bits that changed and what the decoder did (its own counters, the
units it flagged and whether it left data wrong silently). The dense path
(copy, inject, decode everything) and the sparse path (touch only what the
faults touch) give the same effect.

A protection also describes its storage words (values, or codewords) and
which of their bits a choice of value bits or of redundancy targets, from the
sizes alone: fault patterns are drawn over these words. And it knows its
geometry well enough to say what a flip campaign should observe on average
(``expected``).
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Iterable, Mapping, Sequence

import numpy as np
import numpy.typing as npt

from ..native import I64, U64, Patterns, bits_view
from ..vocabulary import (
    SINGLE,
    Change,
    Effect,
    FaultKind,
    Kinds,
    Pattern,
    SiteLocation,
    Storage,
    Targets,
    Tensor,
    Words,
)

U8 = npt.NDArray[np.uint8]
#: A storage group as expectations see it: its storage, the sizes of its tensors, the bits faults may hit.
GroupShape = tuple[Storage, Sequence[int], Targets]


def spans(offsets: Iterable[int] | I64) -> tuple[I64, I64]:
    """Bit offsets -> the [lo, hi) runs they form, sorted."""
    p = np.unique(np.asarray(list(offsets) if not isinstance(offsets, np.ndarray) else offsets, dtype=np.int64))
    if p.size == 0:
        return p, p.copy()
    breaks = np.flatnonzero(np.diff(p) != 1) + 1
    return p[np.r_[0, breaks]], p[np.r_[breaks - 1, p.size - 1]] + 1


def merge_spans(lo: I64, hi: I64) -> tuple[I64, I64]:
    """Runs [lo, hi) -> their union as sorted runs that neither overlap nor touch."""
    keep = hi > lo
    lo, hi = lo[keep], hi[keep]
    if lo.size < 2:
        return lo, hi
    order = np.argsort(lo, kind="stable")
    lo, hi = lo[order], np.maximum.accumulate(hi[order])
    starts = np.r_[True, lo[1:] > hi[:-1]]
    first = np.flatnonzero(starts)
    last = np.r_[first[1:] - 1, lo.size - 1]
    merged_lo: I64 = lo[first]
    merged_hi: I64 = hi[last]
    return merged_lo, merged_hi


def by_kind(kinds: Kinds, sites: U64) -> list[tuple[FaultKind, U64]]:
    """The sites of each fault kind present."""
    if isinstance(kinds, FaultKind):
        return [(kinds, sites)]
    return [(k, sites[kinds == k.code]) for k in FaultKind if np.any(kinds == k.code)]


def changing(kinds: Kinds, stored: U8) -> npt.NDArray[np.bool_]:
    """Which faults change their bit, given the stored bit at each site.

    A stuck-at fault's engine code is the value it sticks at and a flip's code
    (2) equals no bit, so one comparison covers every kind.
    """
    codes = np.uint8(kinds.code) if isinstance(kinds, FaultKind) else kinds
    out: npt.NDArray[np.bool_] = stored != codes
    return out


#: Sites a sparse trial works on at a time: its temporaries stay a few MiB however many faults it has.
SITES_BLOCK = 1 << 18


def sorted_sites(sites: U64, kinds: Kinds) -> tuple[U64, Kinds]:
    """The sites in increasing order with their kinds; ``sites`` itself is sorted when one kind holds for all."""
    if isinstance(kinds, FaultKind):
        sites.sort()
        return sites, kinds
    order = np.argsort(sites, kind="stable")
    return sites[order], kinds[order]


class ChangeBuffer:
    """A trial's changes to one group, gathered block by block in increasing element order into arrays
    allocated once, and split per tensor at the end.

    ``capacity`` bounds the changed elements (the trial's sites), so a trial
    holds at most one (element, before, after) per fault and never a second
    copy while it gathers them. ``bounds`` are the group-wide first elements of
    the tensors, and the group's size.
    """

    def __init__(self, clean: Sequence[Patterns], bounds: I64, capacity: int) -> None:
        self.clean = clean
        self.bounds = bounds
        dtype = clean[0].dtype
        self.elements = np.empty(capacity, np.int64)
        self.before = np.empty(capacity, dtype)
        self.after = np.empty(capacity, dtype)
        self.filled = 0

    def add(self, elements: I64, values: Patterns) -> None:
        """Group-wide sorted elements, past those added before, and their decoded patterns."""
        before = np.empty(elements.size, self.before.dtype)
        if len(self.clean) == 1:
            np.take(self.clean[0], elements, out=before)
        else:
            # Only the tensors the elements fall in (a model has hundreds; a small trial hits a few).
            cuts = np.searchsorted(elements, self.bounds)
            for k in np.flatnonzero(np.diff(cuts)).tolist():
                a, b = cuts[k], cuts[k + 1]
                before[a:b] = self.clean[k][elements[a:b] - self.bounds[k]]
        keep = np.flatnonzero(bits_view(before) != bits_view(values))
        f, n = self.filled, keep.size
        np.take(elements, keep, out=self.elements[f : f + n])
        np.take(before, keep, out=self.before[f : f + n])
        np.take(values, keep, out=self.after[f : f + n])
        self.filled = f + n

    def changes(self) -> list[Change]:
        f = self.filled
        elements, before, after = self.elements[:f], self.before[:f], self.after[:f]
        none = np.zeros(0, np.int64), before[:0], after[:0]
        out: list[Change] = [none] * len(self.clean)
        cuts = np.searchsorted(elements, self.bounds)
        for k in np.flatnonzero(np.diff(cuts)).tolist():
            a, b = cuts[k], cuts[k + 1]
            out[k] = (elements[a:b] - self.bounds[k], before[a:b], after[a:b])
        return out


class Stored(ABC):
    """The stored form of one storage group under one protection.

    The sites of one batch of faults are distinct, so the order the faults
    apply in never matters.
    """

    storage: Storage
    site_count: int
    #: The fault-free decode, one 1-D pattern array per tensor of the group.
    clean: list[Patterns]
    #: Whether ``sparse`` can run in this build (it may need the native engine).
    sparse_available: bool = True
    #: Faults per stored bit up to which ``sparse`` costs less time than ``dense`` (measured on 22.7M float32).
    sparse_limit: float = 4e-3

    @abstractmethod
    def dense(self, kinds: Kinds, sites: U64) -> Effect:
        """Copies the stored form, applies the faults at ``sites`` (group-local), decodes everything.

        The effect carries the whole decoded patterns besides the changes.
        """

    @abstractmethod
    def sparse(self, kinds: Kinds, sites: U64) -> Effect:
        """The same trial touching only what the faults touch; the stored form is left as it is."""

    @abstractmethod
    def bits_at(self, sites: U64) -> U8:
        """The fault-free stored bit (0 or 1) at each group-local site."""

    @abstractmethod
    def locate(self, site: int) -> SiteLocation:
        """Where a group-local site lies: an element of the group and its bit, or the protection's own bits."""

    def value_sites(self, elements: I64, bit: int) -> U64:
        """The group-local site of bit ``bit`` of each group element's stored word.

        Here every value is its own word: site e * w + bit, whether that bit
        holds the value's own bit or the code's redundancy.
        """
        w = self.storage.bits
        out: U64 = (elements * w + bit).astype(np.uint64)
        return out

    def word_of(self, data_bits: I64) -> I64:
        """The storage word that holds each of these bits of the group's values (bit b of element e is e * w + b).

        Faults in distinct words decode independently of each other.
        """
        out: I64 = data_bits // self.storage.bits
        return out

    def changed_bits(self, kinds: Kinds, sites: U64) -> int:
        """How many of the faults change their stored bit."""
        if kinds is FaultKind.FLIP:
            return int(sites.size)
        return int(np.count_nonzero(changing(kinds, self.bits_at(sites))))


class Protection(ABC):
    """One protective encoding, applicable to some storage kinds."""

    #: The name used on the command line and in results, e.g. "secded:64".
    name: str
    takes: frozenset[Storage] = frozenset(Storage)
    #: The counters (names from ``vocabulary.COUNTERS``) its records carry.
    counters: tuple[str, ...] = ()
    #: Whether it stores redundancy besides the values (what ``--bits check`` targets).
    keeps_redundancy: bool = False

    def accepts(self, storage: str) -> bool:
        return Storage(storage) in self.takes

    def stored_bits(self, value_count: int, storage: Storage) -> int:
        """Fault sites (stored bits) of a group of ``value_count`` values."""
        return value_count * Storage(storage).bits

    def redundancy(self, storage: Storage) -> frozenset[int]:
        """The bits of each stored value that hold redundancy instead of the value's own bits."""
        return frozenset()

    def words(self, sizes: Sequence[int], storage: Storage, targets: Targets) -> list[Words]:
        """The storage words of a group of tensors of these sizes, and the bits of each that ``targets`` chooses.

        Here every value is its own word, its bits stored in place: value bit
        b at bit b, unless the code keeps redundancy there.
        """
        w = Storage(storage).bits
        if targets.values is None:
            lo, hi = spans(range(w))
            return [Words(0, w, sum(sizes), w, lo, hi)]
        kept = self.redundancy(storage)
        out: list[Words] = []
        start = 0
        for size, chosen in zip(sizes, targets.values, strict=True):
            lo, hi = spans(sorted((chosen - kept) | (kept if targets.check else frozenset())))
            last = out[-1] if out else None
            if last is not None and np.array_equal(last.lo, lo) and np.array_equal(last.hi, hi):
                out[-1] = Words(last.base, w, last.count + size, w, lo, hi)
            else:
                out.append(Words(start * w, w, size, w, lo, hi))
            start += size
        return out

    @abstractmethod
    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        """Encodes a group once (patterns are never written)."""

    def encode_tensors(self, tensors: Sequence[Tensor], storage: Storage) -> Stored:
        """Encodes the patterns of a group's tensors, for a code that needs to know their element types."""
        return self.encode([t.patterns for t in tensors], storage)

    def expected(self, groups: Sequence[GroupShape], faults: int, pattern: Pattern = SINGLE) -> Mapping[str, float]:
        """What a trial of ``faults`` flip events of ``pattern`` should show on average.

        ``groups``: per storage group, its storage, the sizes of its tensors
        and the bits faults may hit. Names are those the values are observed
        under: outcomes, events (``any_<counter>``) and metrics. Empty where
        probability theory gives nothing simple.
        """
        return {}

    def __repr__(self) -> str:
        return f"<protection {self.name}>"


def whole(groups: Sequence[GroupShape]) -> bool:
    """Whether faults may hit every stored bit of every group."""
    return all(t.values is None for _, _, t in groups)
