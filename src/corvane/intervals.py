"""Confidence intervals that never leave what is possible.

Proportions (Wilson, Clopper-Pearson) stay inside [0, 1] and are exact at 0
and n successes; a metric's interval stays inside its known bounds: the t
interval where it does so by itself and the tails are tame, else a bootstrap
interval, which also stays inside the range of the values seen. Every function is
deterministic: the bootstrap draws from a NumPy Generator seeded by the caller.

Undefined cases give NaN rather than a made-up width: no trials give a NaN
proportion band, no values a NaN mean, and a single value a NaN band around
its mean (one value says nothing about the spread).

Counts that mostly sit at one value (chunks flagged: mostly 0; values
changed: mostly the number of faults) often sit there in every trial of a
short campaign, where resampling the trials can only say "exactly that"
(and with a few other trials says too little); such a band is joined with
exact Poisson bands of the rare deviations, which stay honest there.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from .errors import StudyError


def _scipy(name: str) -> Any:
    """A scipy submodule, imported when first needed: scipy adds tens of MiB to the process, which trials
    never need."""
    import importlib

    return importlib.import_module(f"scipy.{name}")

__all__ = [
    "MetricInterval",
    "Proportion",
    "bootstrap_interval",
    "clopper_pearson",
    "heavy_tailed",
    "metric_interval",
    "poisson_mean_interval",
    "proportion",
    "t_interval",
    "wilson",
]

FloatArray = npt.NDArray[np.float64]
Values = Sequence[float] | npt.NDArray[np.floating] | npt.NDArray[np.integer]

#: Sample excess kurtosis above which a metric counts as heavy-tailed.
HEAVY_KURTOSIS = 6.0
#: Absolute sample skewness above which a metric counts as heavy-tailed.
HEAVY_SKEW = 2.0
#: Fewest values for which the tail shape is judged at all.
HEAVY_MIN_VALUES = 8

_NAN = float("nan")


def _alpha(confidence: float) -> float:
    if not 0.0 < confidence < 1.0:
        raise StudyError(f"confidence must lie strictly between 0 and 1, got {confidence}")
    return 1.0 - confidence


def _counts(successes: int, n: int) -> None:
    if n < 0 or not 0 <= successes <= max(n, 0):
        raise StudyError(f"successes must lie in 0..n, got {successes} of {n}")


@functools.lru_cache(maxsize=64)
def _z(alpha: float) -> float:
    """The two-sided normal quantile; asked for the same few levels thousands of times per campaign."""
    return float(_scipy("stats").norm.ppf(1.0 - alpha / 2.0))


def wilson(successes: int, n: int, confidence: float = 0.95) -> tuple[float, float]:
    """Wilson score interval of a proportion.

    Exact ends at the edges: 0 successes give low = 0, n successes high = 1.
    n = 0 gives (nan, nan).
    """
    alpha = _alpha(confidence)
    _counts(successes, n)
    if n == 0:
        return _NAN, _NAN
    z = _z(alpha)
    z2 = z * z
    p = successes / n
    centre = (p + z2 / (2 * n)) / (1 + z2 / n)
    half = z / (1 + z2 / n) * math.sqrt(p * (1 - p) / n + z2 / (4 * n * n))
    low = 0.0 if successes == 0 else max(0.0, centre - half)
    high = 1.0 if successes == n else min(1.0, centre + half)
    return low, high


@dataclass(frozen=True)
class Proportion:
    """A fraction of trials with its interval: ``count`` of ``n``."""

    fraction: float
    low: float
    high: float
    count: int
    n: int

    @property
    def half_width(self) -> float:
        return (self.high - self.low) / 2


def proportion(count: int, n: int, confidence: float = 0.95) -> Proportion:
    """``count`` of ``n`` trials with its Clopper-Pearson interval (NaN for n = 0).

    Clopper-Pearson rather than Wilson: Wilson's lower end for one or two
    successes lies above what a rate that small gives often enough (one sdc in
    200 trials excluded an expectation of 0.08%), and a fraction's interval is
    what an expectation is judged by.
    """
    low, high = clopper_pearson(count, n, confidence)
    return Proportion(count / n if n else _NAN, low, high, count, n)


def clopper_pearson(successes: int, n: int, confidence: float = 0.95) -> tuple[float, float]:
    """Clopper-Pearson ("exact") interval of a proportion, from beta quantiles.

    0 successes give low = 0, n successes high = 1; n = 0 gives (nan, nan).
    """
    alpha = _alpha(confidence)
    _counts(successes, n)
    if n == 0:
        return _NAN, _NAN
    return _beta_ends(int(successes), int(n), alpha)


@functools.lru_cache(maxsize=1 << 14)
def _beta_ends(successes: int, n: int, alpha: float) -> tuple[float, float]:
    # A margin's stopping rule asks for the same counts at every batch boundary it passes again.
    low = 0.0 if successes == 0 else float(_scipy("stats").beta.ppf(alpha / 2, successes, n - successes + 1))
    high = 1.0 if successes == n else float(_scipy("stats").beta.ppf(1 - alpha / 2, successes + 1, n - successes))
    return low, high


def _finite(values: Values) -> FloatArray:
    x = np.asarray(values, dtype=np.float64).ravel()
    if not np.isfinite(x).all():
        raise StudyError("interval of values that are not all finite (drop NaN and infinities first)")
    return x


def _scale(x: FloatArray) -> float:
    """A power of two with max |x| / scale in [1, 2): dividing by it is exact and keeps sums from overflowing."""
    top = float(np.max(np.abs(x))) if x.size else 0.0
    return 1.0 if top == 0.0 else math.ldexp(1.0, math.frexp(top)[1] - 1)


def _mean(x: FloatArray) -> float:
    """The mean, computed without overflow and never outside [min(x), max(x)]."""
    s = _scale(x)
    m = float(np.mean(x / s)) * s
    return min(max(m, float(x.min())), float(x.max()))


def t_interval(values: Values, confidence: float = 0.95) -> tuple[float, float, float]:
    """(mean, low, high): the Student-t interval of the mean.

    Needs at least two values for a band: one value gives (value, nan, nan),
    none gives (nan, nan, nan). Values must be finite.
    """
    alpha = _alpha(confidence)
    x = _finite(values)
    if x.size == 0:
        return _NAN, _NAN, _NAN
    mean = _mean(x)
    if x.size == 1:
        return mean, _NAN, _NAN
    if float(x.min()) == float(x.max()):  # no spread: exactly none, not a rounding's worth
        return mean, mean, mean
    s = _scale(x)
    sd = float(np.std(x / s, ddof=1)) * s
    half = float(_scipy("stats").t.ppf(1 - alpha / 2, x.size - 1)) * sd / math.sqrt(x.size)
    return mean, mean - half, mean + half


def _check_bounds(x: FloatArray, low_bound: float | None, high_bound: float | None) -> tuple[float, float]:
    lo = -math.inf if low_bound is None else float(low_bound)
    hi = math.inf if high_bound is None else float(high_bound)
    if math.isnan(lo) or math.isnan(hi) or lo > hi:
        raise StudyError(f"bad metric bounds ({low_bound}, {high_bound})")
    if x.size and (float(x.min()) < lo or float(x.max()) > hi):
        raise StudyError(f"values outside the metric's bounds [{lo}, {hi}]: {float(x.min())}..{float(x.max())}")
    return lo, hi


#: Cells (resamples x values) drawn at once by the bootstrap.
_BOOT_BLOCK = 1 << 22
#: A sample with at most one distinct value per this many values resamples counts of its values.
_FEW_DISTINCT = 4


def _resampled_means(xs: FloatArray, resamples: int, rng: np.random.Generator) -> FloatArray:
    """Means of ``resamples`` resamples (with replacement) of ``xs``.

    Where values repeat (counts, accuracies), drawing how often each distinct
    value is picked (multinomial) gives the same distribution of means at a
    cost per distinct value instead of per value.
    """
    values, counts = np.unique(xs, return_counts=True)
    if values.size * _FEW_DISTINCT <= xs.size:
        picked = rng.multinomial(xs.size, counts / xs.size, size=resamples)
        out: FloatArray = (picked @ values) / xs.size
        return out
    means = np.empty(resamples)
    block = max(1, _BOOT_BLOCK // xs.size)
    for start in range(0, resamples, block):
        stop = min(resamples, start + block)
        # 32-bit indices draw at twice the speed of 64-bit ones, which dominate the cost.
        idx = rng.integers(0, xs.size, size=(stop - start, xs.size), dtype=np.int32 if xs.size < 2**31 else np.int64)
        means[start:stop] = xs[idx].mean(axis=1)
    return means


def bootstrap_interval(
    values: Values,
    confidence: float = 0.95,
    seed: int = 0,
    low_bound: float | None = None,
    high_bound: float | None = None,
    resamples: int = 2000,
) -> tuple[float, float, float]:
    """(mean, low, high): expanded percentile bootstrap interval of the mean.

    The plain percentile interval is too narrow for small samples (it acts
    like mean +- z s / sqrt(n)); its quantile levels are widened so that on
    normal data it matches the t interval's width, as z_(alpha'/2) =
    sqrt(n / (n - 1)) t_(alpha/2, n-1) (Hesterberg's expanded percentile
    interval), which changes nothing for large n.

    The same values and seed always give the same interval. The band is
    clipped to [low_bound, high_bound] and to [min(values), max(values)], and
    widened if need be to hold the sample mean. One value gives
    (value, nan, nan), none (nan, nan, nan).
    """
    alpha = _alpha(confidence)
    if resamples < 1:
        raise StudyError(f"the bootstrap needs at least one resample, got {resamples}")
    x = _finite(values)
    lo_b, hi_b = _check_bounds(x, low_bound, high_bound)
    if x.size == 0:
        return _NAN, _NAN, _NAN
    mean = _mean(x)
    if x.size == 1:
        return mean, _NAN, _NAN
    s = _scale(x)
    xs = x / s
    means = _resampled_means(xs, resamples, np.random.default_rng(seed))
    n = x.size
    widened = math.sqrt(n / (n - 1)) * float(_scipy("stats").t.ppf(1 - alpha / 2, n - 1))
    tail = float(_scipy("stats").norm.sf(widened))
    q_low, q_high = np.quantile(means, [tail, 1 - tail]) * s
    low = max(float(q_low), lo_b, float(x.min()))
    high = min(float(q_high), hi_b, float(x.max()))
    return mean, min(low, mean), max(high, mean)


def heavy_tailed(values: Values) -> bool:
    """Whether a sample's tails are too heavy (or too lopsided) for a t interval.

    True when there are at least ``HEAVY_MIN_VALUES`` values and the sample
    excess kurtosis exceeds ``HEAVY_KURTOSIS`` or the absolute sample skewness
    exceeds ``HEAVY_SKEW`` (plain moment estimates, computed on the values
    scaled by their largest magnitude so that no power overflows). A constant
    sample is not heavy-tailed.
    """
    x = _finite(values)
    if x.size < HEAVY_MIN_VALUES:
        return False
    z = x / _scale(x)
    d = z - z.mean()
    m2 = float(np.mean(d * d))
    if m2 == 0.0:
        return False
    skew = float(np.mean(d**3)) / m2**1.5
    kurt = float(np.mean(d**4)) / (m2 * m2) - 3.0
    return kurt > HEAVY_KURTOSIS or abs(skew) > HEAVY_SKEW


def _rare_deviations(x: FloatArray, confidence: float) -> tuple[float, float] | None:
    """For counts that mostly sit at one value m, the mean m + E[above] - E[below] bounded with the Poisson
    bands of the mean deviations above and below m; None when the counts do not mostly sit at one value."""
    values, counts = np.unique(x, return_counts=True)
    top = int(np.argmax(counts))
    if 2 * counts[top] <= x.size:
        return None
    m = float(values[top])
    # A count cannot go below 0: at m = 0 there is no deviation below to allow for.
    below = (0.0, 0.0) if m == 0 else poisson_mean_interval(int(np.sum(np.maximum(m - x, 0.0))), x.size, confidence)
    above = poisson_mean_interval(int(np.sum(np.maximum(x - m, 0.0))), x.size, confidence)
    return m + above[0] - below[1], m + above[1] - below[0]


def poisson_mean_interval(total: int, n: int, confidence: float = 0.95) -> tuple[float, float]:
    """Garwood's exact interval for the mean of ``n`` counts summing to ``total``, read as Poisson.

    A total of 0 gives low = 0 and a finite high end; n = 0 gives (nan, nan).
    """
    alpha = _alpha(confidence)
    if n <= 0:
        return _NAN, _NAN
    if total < 0:
        raise StudyError(f"a count total cannot be negative, got {total}")
    low = 0.0 if total == 0 else float(_scipy("stats").chi2.ppf(alpha / 2, 2 * total)) / (2 * n)
    high = float(_scipy("stats").chi2.ppf(1 - alpha / 2, 2 * total + 2)) / (2 * n)
    return low, high


@dataclass(frozen=True)
class MetricInterval:
    """A metric's mean and interval over the finite values of a sample."""

    mean: float
    low: float
    high: float
    #: Finite values used.
    n: int
    #: Values dropped for being NaN or infinite.
    nonfinite: int
    #: "t", "bootstrap", or "none" when fewer than two finite values leave no band.
    method: Literal["t", "bootstrap", "none"]


def metric_interval(
    values: Values,
    confidence: float = 0.95,
    seed: int = 0,
    bounds: tuple[float | None, float | None] = (None, None),
    counts: bool = False,
) -> MetricInterval:
    """Mean and interval of a metric, choosing the method from its bounds and tail shape.

    NaN and infinite values are dropped and counted. A heavy-tailed sample
    (see ``heavy_tailed``), or one whose t interval would reach past a known
    bound of the metric, gets the bootstrap interval (deterministic from
    ``seed``); otherwise the Student-t interval, which then lies within the
    bounds by itself (and costs nothing to compute). ``counts`` says the values are counts of events
    (whole numbers >= 0): when most of them sit at one value m (deviations
    from it are rare events, as a count of chunks flagged is mostly 0 or a
    count of values changed mostly the number of faults), the mean is m plus
    the mean deviation above m minus the one below, and the band is joined
    with those deviations' Poisson bands (``poisson_mean_interval``), so that a
    count seen at m in every trial still gets a band around m. Whenever the band is defined (two or more finite
    values) low <= mean <= high and both ends lie within ``bounds``; with
    fewer the band is NaN.
    """
    _alpha(confidence)
    raw = np.asarray(values, dtype=np.float64).ravel()
    keep = np.isfinite(raw)
    x = raw[keep]
    nonfinite = int(raw.size - x.size)
    low_bound, high_bound = bounds
    lo_b, hi_b = _check_bounds(x, low_bound, high_bound)
    if x.size < 2:
        mean = _mean(x) if x.size else _NAN
        return MetricInterval(mean, _NAN, _NAN, int(x.size), nonfinite, "none")
    method: Literal["t", "bootstrap"] = "t"
    mean, low, high = t_interval(x, confidence)
    if heavy_tailed(x) or low < lo_b or high > hi_b:
        mean, low, high = bootstrap_interval(x, confidence, seed, low_bound, high_bound)
        method = "bootstrap"
    if counts:
        if not (x >= 0).all() or not (np.floor(x) == x).all():
            raise StudyError("a count metric needs whole numbers of at least 0")
        rare = _rare_deviations(x, confidence)
        if rare is not None:
            low, high = min(low, rare[0]), max(high, rare[1])
    low = min(max(low, lo_b), mean)
    high = max(min(high, hi_b), mean)
    return MetricInterval(mean, low, high, int(x.size), nonfinite, method)
