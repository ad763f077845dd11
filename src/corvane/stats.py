"""Statistics of a metric over the trials of one grid point."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np

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


def mean_interval(values: Sequence[float | None]) -> tuple[float, float, float]:
    """Mean and the 95% interval of the mean (t distribution); one value gives a zero-width interval."""
    x = np.asarray([v for v in values if v is not None], dtype=np.float64)
    if x.size == 0:
        return (math.nan, math.nan, math.nan)
    m = float(np.mean(x))
    if x.size == 1 or not np.all(np.isfinite(x)):
        return (m, m, m)
    half = t95(x.size - 1) * float(np.std(x, ddof=1)) / math.sqrt(x.size)
    return (m, m - half, m + half)
