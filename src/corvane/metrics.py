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
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .weights import Tensor


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
                squares += float(np.dot(v, v))  # float32 and narrower cannot overflow float64 here
        return cls(finite, math.sqrt(squares))


@dataclass(frozen=True)
class Damage:
    values_changed: int
    max_abs_error: float
    mean_abs_error: float
    rel_l2_error: float
    nonfinite: int


Change = tuple[npt.NDArray[np.int64], npt.NDArray[Any], npt.NDArray[Any]]  # indices, before, after


def damage(tensors: Sequence[Tensor], changes: Sequence[Change], ref: Reference) -> Damage:
    """Damage from per-tensor changes (sorted indices, patterns before, patterns after).

    Sums run block by block in a fixed order, so equal changes give equal metrics.
    """

    def blocks() -> Iterator[tuple[Tensor, npt.NDArray[Any], npt.NDArray[Any]]]:
        for t, (idx, before, after) in zip(tensors, changes, strict=True):
            for i in range(0, idx.size, BLOCK):
                yield t, before[i : i + BLOCK], after[i : i + BLOCK]

    return _accumulate(blocks(), ref)


def damage_between(tensors: Sequence[Tensor], before: Sequence[npt.NDArray[Any]], after: Sequence[npt.NDArray[Any]],
                   ref: Reference) -> Damage:  # fmt: skip
    """Damage between two whole sets of patterns, a block at a time (no whole-size temporaries)."""

    def blocks() -> Iterator[tuple[Tensor, npt.NDArray[Any], npt.NDArray[Any]]]:
        for t, a, b in zip(tensors, before, after, strict=True):
            for i in range(0, a.size, BLOCK):
                pa, pb = a[i : i + BLOCK], b[i : i + BLOCK]
                idx = changed(pa, pb)
                yield t, pa[idx], pb[idx]

    return _accumulate(blocks(), ref)


def _accumulate(blocks: Iterator[tuple[Tensor, npt.NDArray[Any], npt.NDArray[Any]]], ref: Reference) -> Damage:
    changed_ = created = 0
    total = squares = worst = 0.0
    for t, before, after in blocks:
        changed_ += int(before.size)
        if before.size:
            a, b = t.values(before), t.values(after)
            fa, fb = np.isfinite(a), np.isfinite(b)
            both = fa & fb
            if both.all():  # the common case: the same errors in the same order, without the selection
                err = np.abs(b - a)
            else:
                created += int(np.count_nonzero(fa & ~fb))
                err = np.abs(b[both] - a[both])
            if err.size:
                total += float(np.sum(err))
                squares += float(np.dot(err, err))
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


try:  # the native engine compares on the worker pool, when the build has it
    _native_changed: Any = importlib.import_module("corvane._engine").changed
except (ImportError, AttributeError):  # pragma: no cover
    _native_changed = None


def changed(a: npt.NDArray[Any], b: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
    """Indices whose bit patterns differ (a NaN that kept its pattern is unchanged, -0.0 is not 0.0)."""
    if _native_changed is not None and a.ndim == 1 and all(x.flags.c_contiguous and x.flags.aligned for x in (a, b)):
        out: npt.NDArray[np.int64] = np.asarray(_native_changed(a, b)).view(np.int64)
        return out
    return changed_numpy(a, b)


def changed_numpy(a: npt.NDArray[Any], b: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
    """``changed`` in NumPy alone: whole 64-bit words first, then the elements of differing words."""
    ua, ub = a.view(f"u{a.dtype.itemsize}"), b.view(f"u{b.dtype.itemsize}")
    per = 8 // a.dtype.itemsize
    if a.nbytes % 8 or a.ctypes.data % 8 or b.ctypes.data % 8 or not (a.flags.c_contiguous and b.flags.c_contiguous):
        return np.flatnonzero(ua != ub)
    # Whole 64-bit words first (a few times fewer comparisons), then the elements of the words that differ.
    words = np.flatnonzero(a.view(np.uint64) != b.view(np.uint64))
    if per == 1 or words.size == 0:
        return words
    idx: npt.NDArray[np.int64] = (words[:, None] * per + np.arange(per)[None, :]).reshape(-1)
    keep: npt.NDArray[np.bool_] = ua[idx] != ub[idx]
    return idx[keep]


def diff(
    before: Sequence[npt.NDArray[Any]], after: Sequence[npt.NDArray[Any]]
) -> list[tuple[npt.NDArray[np.int64], npt.NDArray[Any], npt.NDArray[Any]]]:
    """Per array: the indices whose bit patterns differ, with the patterns before and after."""
    out = []
    for a, b in zip(before, after, strict=True):
        idx = changed(a, b)
        out.append((idx, a[idx], b[idx]))
    return out


# ---- aggregates -------------------------------------------------------------------

# Two-sided 95% quantiles of Student's t for 1..30 degrees of freedom.
_T95 = (
    12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
    2.201, 2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
    2.080, 2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042,
)  # fmt: skip


def t95(df: int) -> float:
    if df <= 0:
        return math.nan
    if df <= len(_T95):
        return _T95[df - 1]
    # Beyond 30: the normal quantile with the first-order correction (error < 1e-3).
    z = 1.959964
    return z + (z**3 + z) / (4 * df)


def mean_interval(values: Sequence[float]) -> tuple[float, float, float]:
    """Mean and the 95% interval of the mean (t distribution); one value gives a zero-width interval."""
    x = np.asarray([v for v in values if v is not None], dtype=np.float64)
    if x.size == 0:
        return (math.nan, math.nan, math.nan)
    m = float(np.mean(x))
    if x.size == 1 or not np.all(np.isfinite(x)):
        return (m, m, m)
    half = t95(x.size - 1) * float(np.std(x, ddof=1)) / math.sqrt(x.size)
    return (m, m - half, m + half)
