"""Range restriction (``clip``): no stored redundancy; the decode clamps every value of a tensor to the range its
fault-free values span, and turns NaN into 0.

It composes after any other code, ``X+clip``: X decodes, then the values are
clamped. The range of each tensor is taken from the fault-free decode under
X (so a fault-free decode passes unchanged unless it holds NaN) and kept
beside the code, not in the faulted memory: its faults are X's faults.
Floats only (float32, float16, bfloat16): a range says little about 8-bit
integer codes.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from ..errors import StudyError
from ..native import I64, U64, Patterns, bits_view, diff
from ..vocabulary import Change, Counts, Effect, Kinds, SiteLocation, Storage, Targets, Tensor, Words, source_dtype
from .base import U8, Protection, Stored

Mask = npt.NDArray[np.bool_]
#: Element types a range applies to.
FLOATS = frozenset({Storage.FLOAT32, Storage.UINT16})


class Range:
    """One tensor's fault-free range in its source dtype: clamps patterns to it."""

    def __init__(self, clean: Patterns, dtype: str) -> None:
        self.dtype = source_dtype(dtype)
        v = clean.view(self.dtype)
        seen = v[~np.isnan(v)]
        zero = np.zeros(1, self.dtype)
        self.low = seen.min(keepdims=True) if seen.size else zero
        self.high = seen.max(keepdims=True) if seen.size else zero
        self.zero = zero

    def clamp(self, patterns: Patterns) -> tuple[Patterns, Mask]:
        """The patterns clamped (the same array when none moves), and which moved."""
        v = patterns.view(self.dtype)
        nan = np.isnan(v)
        below = v < self.low
        above = v > self.high
        moved: Mask = nan | below | above
        if not moved.any():
            return patterns, moved
        out = patterns.copy()
        w = out.view(self.dtype)
        w[below] = self.low
        w[above] = self.high
        w[nan] = self.zero
        return out, moved


class ClipStored(Stored):
    """Another code's stored form, its decode clamped to each tensor's fault-free range."""

    def __init__(self, inner: Stored, dtypes: Sequence[str]) -> None:
        self.inner = inner
        self.storage = inner.storage
        self.site_count = inner.site_count
        self.sparse_available = inner.sparse_available
        self.sparse_limit = inner.sparse_limit
        self.ranges = [Range(c, d) for c, d in zip(inner.clean, dtypes, strict=True)]
        self.clean = [r.clamp(c)[0] for r, c in zip(self.ranges, inner.clean, strict=True)]

    def dense(self, kinds: Kinds, sites: U64) -> Effect:
        effect = self.inner.dense(kinds, sites)
        assert effect.decoded is not None
        decoded: list[Patterns] = []
        clamped = 0
        for r, d, c in zip(self.ranges, effect.decoded, self.inner.clean, strict=True):
            out, moved = r.clamp(d)
            # Only the values the faults reached count: a NaN of the fault-free decode is set to 0 in every trial.
            clamped += int(np.count_nonzero(moved & (bits_view(d) != bits_view(c))))
            decoded.append(out)
        changes = diff(self.clean, decoded)
        return Effect(changes, effect.bits, self._counts(effect.counts, clamped, changes), decoded=decoded)

    def sparse(self, kinds: Kinds, sites: U64) -> Effect:
        effect = self.inner.sparse(kinds, sites)
        changes = []
        clamped = 0
        for r, c, (idx, _, after) in zip(self.ranges, self.clean, effect.changes, strict=True):
            out, moved = r.clamp(after)
            clamped += int(np.count_nonzero(moved))
            before = c[idx]
            keep = bits_view(before) != bits_view(out)
            changes.append((idx[keep], before[keep], out[keep]))
        return Effect(changes, effect.bits, self._counts(effect.counts, clamped, changes))

    @staticmethod
    def _counts(inner: Counts, clamped: int, changes: list[Change]) -> Counts:
        """The inner code's counts, the values clamped beside them, and whether data are left wrong unflagged.

        Clamping only ever puts a value back or nearer: what is wrong after it
        was wrong before. With no flag every wrong value is unflagged; under
        flags the inner code's word stands while anything is left wrong.
        """
        left = any(idx.size for idx, _, _ in changes)
        silent = left if not inner.flagged else inner.silent and left
        return Counts({**inner.own, "values_clamped": clamped}, inner.flagged, inner.flagged_wrong, silent)

    def bits_at(self, sites: U64) -> U8:
        return self.inner.bits_at(sites)

    def locate(self, site: int) -> SiteLocation:
        return self.inner.locate(site)

    def changed_bits(self, kinds: Kinds, sites: U64) -> int:
        return self.inner.changed_bits(kinds, sites)

    def value_sites(self, elements: I64, bit: int) -> U64:
        return self.inner.value_sites(elements, bit)

    def word_of(self, data_bits: I64) -> I64:
        return self.inner.word_of(data_bits)


class Clip(Protection):
    """Range restriction after ``inner``'s decode (alone: after storing the values as they are)."""

    def __init__(self, inner: Protection) -> None:
        if isinstance(inner, Clip):
            raise StudyError(f"{inner.name}+clip: clip comes once, last")
        self.inner = inner
        self.name = "clip" if inner.name == "none" else f"{inner.name}+clip"
        self.takes = inner.takes & FLOATS
        self.counters = (*inner.counters, "values_clamped")
        self.keeps_redundancy = inner.keeps_redundancy

    def stored_bits(self, value_count: int, storage: Storage) -> int:
        return self.inner.stored_bits(value_count, storage)

    def redundancy(self, storage: Storage) -> frozenset[int]:
        return self.inner.redundancy(storage)

    def words(self, sizes: Sequence[int], storage: Storage, targets: Targets) -> list[Words]:
        return self.inner.words(sizes, storage, targets)

    def encode(self, patterns: list[Patterns], storage: Storage, dtypes: Sequence[str] | None = None) -> Stored:
        if dtypes is None:
            if Storage(storage) is not Storage.FLOAT32:
                raise StudyError("clip needs the element type of 16-bit patterns (float16 or bfloat16)")
            dtypes = ["float32"] * len(patterns)
        return ClipStored(self.inner.encode(patterns, storage), dtypes)

    def encode_tensors(self, tensors: Sequence[Tensor], storage: Storage) -> Stored:
        return ClipStored(self.inner.encode_tensors(tensors, storage), [t.dtype for t in tensors])
