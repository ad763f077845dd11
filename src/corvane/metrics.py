"""What faults did to the values: per-trial damage and its aggregates over trials.

The damage of a trial is measured on the values that changed: given, for each
tensor, the element indices whose bit patterns differ from the reference and
the patterns before and after, every metric is computed in one fixed order, so
any path that finds the same changes gives bit-identical metrics.

- ``values_changed``: elements whose bit pattern differs;
- ``max_abs_error`` / ``mean_abs_error``: |w' - w| over the values where both
  are finite; the mean is over all such values of the weight set (unchanged
  ones count as 0);
- ``rel_l2_error``: ||w' - w||_2 / ||w||_2 over the same values;
- ``nonfinite``: values finite in the reference that became NaN or infinite.

Every sum is NumPy's own (pairwise, in one thread), never a BLAS call: a BLAS
dot product splits its sum over as many threads as it is allowed, so its last
bits would depend on the machine and environment that ran the trial.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .native import changed
from .vocabulary import Change, Damage, Tensor


Values = npt.NDArray[np.float64]
BLOCK = 1 << 20  # values converted to float64 at a time, to keep memory flat


@dataclass(frozen=True)
class Reference:
    """What the damage is measured against: finite count and L2 norm of the reference values."""

    finite: int
    l2: float

    @classmethod
    def of(cls, tensors: Sequence[Tensor], patterns: Sequence[npt.NDArray[Any]]) -> Reference:
        finite = 0
        squares = 0.0
        for t, p in zip(tensors, patterns, strict=True):
            for i in range(0, p.size, BLOCK):
                v = t.values(p[i : i + BLOCK])
                ok = np.isfinite(v)
                if not ok.all():
                    v = v[ok]
                finite += int(v.size)
                squares += float(np.sum(np.square(v)))  # float32 and narrower cannot overflow float64 here
        return cls(finite, math.sqrt(squares))


def damage(tensors: Sequence[Tensor], changes: Sequence[Change], ref: Reference) -> Damage:
    """Damage from per-tensor changes (sorted indices, patterns before, patterns after).

    Sums run block by block in a fixed order, so equal changes give equal metrics.
    """

    # The changes of all tensors of one source dtype are measured together, BLOCK values at a time: a model
    # has hundreds of tensors, and a small trial changes a value or two in each it hits.
    by_dtype: dict[str, tuple[Tensor, list[Change]]] = {}
    for t, ch in zip(tensors, changes, strict=True):
        if ch[0].size:
            by_dtype.setdefault(t.dtype, (t, []))[1].append(ch)

    def blocks() -> Iterator[tuple[Values, Values]]:
        for t, found in by_dtype.values():
            befores = _packed([before for _, before, _ in found])
            afters = _packed([after for _, _, after in found])
            for before, after in zip(befores, afters, strict=True):
                yield t.values(before), t.values(after)

    return _accumulate(blocks(), ref)


def _packed(parts: Sequence[npt.NDArray[Any]]) -> Iterator[npt.NDArray[Any]]:
    """The concatenation of ``parts``, BLOCK elements at a time (small parts joined, large ones cut)."""
    pending: list[npt.NDArray[Any]] = []
    size = 0
    for part in parts:
        start = 0
        while start < part.size:
            take = min(BLOCK - size, part.size - start)
            pending.append(part[start : start + take])
            size += take
            start += take
            if size == BLOCK:
                yield pending[0] if len(pending) == 1 else np.concatenate(pending)
                pending, size = [], 0
    if pending:
        yield pending[0] if len(pending) == 1 else np.concatenate(pending)


def damage_between(tensors: Sequence[Tensor], before: Sequence[npt.NDArray[Any]], after: Sequence[npt.NDArray[Any]],
                   ref: Reference) -> Damage:  # fmt: skip
    """Damage between two whole sets of patterns, a block at a time (no whole-size temporaries)."""

    def blocks() -> Iterator[tuple[Values, Values]]:
        for t, a, b in zip(tensors, before, after, strict=True):
            for i in range(0, a.size, BLOCK):
                pa, pb = a[i : i + BLOCK], b[i : i + BLOCK]
                idx = changed(pa, pb)
                yield t.values(pa[idx]), t.values(pb[idx])

    return _accumulate(blocks(), ref)


def rounding_loss(before: Sequence[Tensor], after: Sequence[Tensor]) -> Damage:
    """What storing tensors in another dtype changed in their values (a NaN that stays NaN is unchanged)."""

    def blocks() -> Iterator[tuple[Values, Values]]:
        for s, t in zip(before, after, strict=True):
            for i in range(0, s.size, BLOCK):
                a, b = s.values(s.patterns[i : i + BLOCK]), t.values(t.patterns[i : i + BLOCK])
                moved = (a != b) & ~(np.isnan(a) & np.isnan(b))
                yield a[moved], b[moved]

    return _accumulate(blocks(), Reference.of(before, [t.patterns for t in before]))


def _accumulate(blocks: Iterator[tuple[Values, Values]], ref: Reference) -> Damage:
    changed_ = created = 0
    total = squares = worst = 0.0
    for a, b in blocks:
        changed_ += int(a.size)
        if a.size:
            fa, fb = np.isfinite(a), np.isfinite(b)
            both = fa & fb
            if both.all():  # the common case: the same errors in the same order, without the selection
                err = np.abs(b - a)
            else:
                created += int(np.count_nonzero(fa & ~fb))
                err = np.abs(b[both] - a[both])
            if err.size:
                total += float(np.sum(err))
                squares += float(np.sum(np.square(err)))
                worst = max(worst, float(np.max(err)))
    pairs = ref.finite - created
    l2 = math.sqrt(squares)
    if ref.l2 > 0:
        rel = l2 / ref.l2
    else:
        rel = 0.0 if l2 == 0 else math.inf
    return Damage(
        values_changed=changed_,
        max_abs_error=worst,
        mean_abs_error=total / pairs if pairs > 0 else 0.0,
        rel_l2_error=rel,
        nonfinite=created,
    )
