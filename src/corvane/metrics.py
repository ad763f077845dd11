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

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .weights import Tensor


@dataclass(frozen=True)
class Reference:
    """What the damage is measured against: finite count and L2 norm of the reference values."""

    finite: int
    l2: float

    @classmethod
    def of(cls, tensors: Sequence[Tensor], patterns: Sequence[npt.NDArray[Any]]) -> Reference:
        finite = 0
        parts: list[npt.NDArray[np.float64]] = []
        for t, p in zip(tensors, patterns, strict=True):
            v = t.values(p)
            ok = np.isfinite(v)
            finite += int(ok.sum())
            parts.append(v[ok])
        return cls(finite, _norm(np.concatenate(parts) if parts else np.zeros(0)))


def _norm(x: npt.NDArray[np.float64]) -> float:
    """Euclidean norm without overflow for values near the float range."""
    if x.size == 0:
        return 0.0
    m = float(np.max(np.abs(x)))
    if m == 0.0 or not math.isfinite(m):
        return m
    return m * math.sqrt(float(np.sum(np.square(x / m))))


@dataclass(frozen=True)
class Damage:
    values_changed: int
    max_abs_error: float
    mean_abs_error: float
    rel_l2_error: float
    nonfinite: int


Change = tuple[npt.NDArray[np.int64], npt.NDArray[Any], npt.NDArray[Any]]  # indices, before, after


def damage(tensors: Sequence[Tensor], changes: Sequence[Change], ref: Reference) -> Damage:
    """Damage from per-tensor changes (sorted indices, patterns before, patterns after)."""
    changed = 0
    created = 0
    errors: list[npt.NDArray[np.float64]] = []
    for t, (idx, before, after) in zip(tensors, changes, strict=True):
        if idx.size == 0:
            continue
        changed += int(idx.size)
        a, b = t.values(before), t.values(after)
        fa, fb = np.isfinite(a), np.isfinite(b)
        created += int(np.count_nonzero(fa & ~fb))
        both = fa & fb
        errors.append(np.abs(b[both] - a[both]))
    err = np.concatenate(errors) if errors else np.zeros(0)
    pairs = ref.finite - created
    total = float(np.sum(err)) if err.size else 0.0
    l2 = _norm(err)
    if ref.l2 > 0:
        rel = l2 / ref.l2
    else:
        rel = 0.0 if l2 == 0 else math.inf
    return Damage(
        values_changed=changed,
        max_abs_error=float(np.max(err)) if err.size else 0.0,
        mean_abs_error=total / pairs if pairs > 0 else 0.0,
        rel_l2_error=rel,
        nonfinite=created,
    )


def diff(
    before: Sequence[npt.NDArray[Any]], after: Sequence[npt.NDArray[Any]]
) -> list[tuple[npt.NDArray[np.int64], npt.NDArray[Any], npt.NDArray[Any]]]:
    """Per array: the indices whose bit patterns differ, with the patterns before and after."""
    out = []
    for a, b in zip(before, after, strict=True):
        # Compared as bits: a NaN that kept its pattern is unchanged, -0.0 is not 0.0.
        kind = f"u{a.dtype.itemsize}"
        idx = np.flatnonzero(a.view(kind) != b.view(kind))
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
