"""Intervals: agreement with scipy, exact edges, and never leaving what is possible."""

import math

import numpy as np
import pytest
from scipy import stats

from corvane.errors import StudyError
from corvane.intervals import (
    bootstrap_interval, clopper_pearson, heavy_tailed, metric_interval, poisson_mean_interval, t_interval, wilson,
)


@pytest.mark.parametrize("x,n", [(0, 1), (1, 1), (0, 10), (10, 10), (3, 10), (0, 1000), (1000, 1000), (17, 1000)])
@pytest.mark.parametrize("confidence", [0.9, 0.95, 0.999])
def test_proportions_match_scipy_and_keep_their_edges(x, n, confidence):
    ref = stats.binomtest(x, n)
    for ours, method in ((wilson, "wilson"), (clopper_pearson, "exact")):
        low, high = ours(x, n, confidence)
        want = ref.proportion_ci(confidence, method)
        assert (low, high) == pytest.approx((want.low, want.high), abs=1e-12)
        assert 0.0 <= low <= x / n <= high <= 1.0
        assert (low == 0.0) == (x == 0) and (high == 1.0) == (x == n)


@pytest.mark.parametrize("call", [
    lambda: wilson(3, 2), lambda: clopper_pearson(-1, 5), lambda: wilson(1, 5, confidence=1.0),
    lambda: t_interval([1.0, np.nan]), lambda: bootstrap_interval([1.0, 2.0], resamples=0),
    lambda: metric_interval([0.5, 1.5], bounds=(0.0, 1.0)), lambda: metric_interval([1.0], bounds=(2.0, 1.0)),
])
def test_bad_input_is_a_study_error(call):
    with pytest.raises(StudyError):
        call()


def test_nothing_to_go_on_gives_nan():
    assert all(math.isnan(v) for v in (*wilson(0, 0), *clopper_pearson(0, 0), *t_interval([]), *bootstrap_interval([])))
    mean, low, high = t_interval([2.5])
    assert mean == 2.5 and math.isnan(low) and math.isnan(high)
    one = metric_interval([np.nan, 0.7, np.inf], bounds=(0, 1))
    assert (one.mean, one.n, one.nonfinite, one.method) == (0.7, 1, 2, "none") and math.isnan(one.low)
    empty = metric_interval([np.nan, -np.inf])
    assert empty.n == 0 and empty.nonfinite == 2 and math.isnan(empty.mean)


@pytest.mark.parametrize("values", [[1.0, 2.0], [0.3, 0.1, 0.4, 0.1, 0.5], list(np.random.default_rng(1).normal(5, 2, 300))])
def test_t_interval_matches_scipy(values):
    mean, low, high = t_interval(values, 0.95)
    want = stats.t.interval(0.95, len(values) - 1, loc=np.mean(values), scale=stats.sem(values))
    assert (mean, low, high) == pytest.approx((np.mean(values), *want), rel=1e-12)


def test_bootstrap_is_reproducible_clipped_and_close_to_t_on_normal_data():
    accuracy = [1.0] * 40 + [0.97, 0.99]
    a = bootstrap_interval(accuracy, seed=5, low_bound=0.0, high_bound=1.0)
    assert a == bootstrap_interval(accuracy, seed=5, low_bound=0.0, high_bound=1.0)
    assert a[0] <= a[2] <= 1.0 and 0.97 <= a[1] <= a[0]
    x = np.random.default_rng(2).normal(0, 1, 400)
    b, c = bootstrap_interval(x, seed=1), bootstrap_interval(x, seed=2)
    assert b != c
    t = t_interval(x)
    assert (b[2] - b[1]) == pytest.approx(t[2] - t[1], rel=0.1) and b[1] == pytest.approx(t[1], abs=0.03)


@pytest.mark.parametrize("values,heavy", [
    (np.random.default_rng(0).normal(0, 1, 1000), False),
    (np.random.default_rng(0).standard_cauchy(200), True),
    (10.0 ** np.random.default_rng(0).uniform(-3, 33, 60), True),
    ([1.0, 1e30, 2.0], False),  # too few values to judge
    ([4.0] * 20, False),
])
def test_heavy_tail_rule(values, heavy):
    assert heavy_tailed(values) is heavy


def test_extreme_magnitudes_do_not_overflow():
    r = metric_interval([1.7e308, 1.6e308, 1.7e308, 1.5e308])
    assert math.isfinite(r.mean) and r.low <= r.mean <= r.high and r.method == "t"
    flat = metric_interval([0.1] * 6, bounds=(0, 1))
    assert (flat.mean, flat.low, flat.high) == (0.1, 0.1, 0.1)  # not 0.09999999999999999


def draws(kind, seed):
    rng = np.random.default_rng(seed)
    if kind == "accuracy":
        return rng.binomial(50, 0.97, 12) / 50, (0.0, 1.0)
    if kind == "log-uniform":  # 1e-3 .. 1e33: a t band would reach below zero
        return 10.0 ** rng.uniform(-3, 33, 40), (0.0, None)
    if kind == "cauchy":
        return np.r_[rng.standard_cauchy(30), np.nan, np.inf], (None, None)
    return rng.normal(3, 1, 5), (None, None)


@pytest.mark.parametrize("kind", ["accuracy", "log-uniform", "cauchy", "normal"])
@pytest.mark.parametrize("seed", range(6))
def test_metric_interval_never_leaves_the_possible(kind, seed):
    values, bounds = draws(kind, seed)
    r = metric_interval(values, 0.95, seed, bounds)
    lo, hi = (-math.inf if bounds[0] is None else bounds[0]), (math.inf if bounds[1] is None else bounds[1])
    assert lo <= r.low <= r.mean <= r.high <= hi
    assert r.n + r.nonfinite == len(values)
    # The t interval where it keeps within the bounds and the tails are tame, else the bootstrap.
    finite = values[np.isfinite(values)]
    t_fits = lo <= t_interval(finite)[1] and t_interval(finite)[2] <= hi and not heavy_tailed(finite)
    assert r.method == ("t" if t_fits else "bootstrap")
    assert r.method == {"log-uniform": "bootstrap", "normal": "t"}.get(kind, r.method)
    if r.method == "bootstrap":
        assert min(values[np.isfinite(values)]) <= r.low and r.high <= max(values[np.isfinite(values)])


@pytest.mark.parametrize("total,n,low,high", [(0, 1, 0.0, 3.6888794541139363), (10, 1, 4.795389, 18.390356),
                                               (0, 1000, 0.0, 0.0036888794541139363)])
def test_poisson_band_is_garwoods(total, n, low, high):
    assert poisson_mean_interval(total, n) == pytest.approx((low, high), rel=1e-6, abs=1e-15)


@pytest.mark.parametrize("values,low,high", [
    ([0] * 50, 0.0, 3.6888794541139363 / 50),               # never seen: still an upper end
    ([8] * 50, 8 - 3.6888794541139363 / 50, 8 + 3.6888794541139363 / 50),  # always the number of faults
    ([0] * 30 + [1] * 10, 0.11, 0.45),                       # not rare enough to say nothing below
])  # fmt: skip
def test_counts_that_sit_at_one_value_keep_a_band(values, low, high):
    r = metric_interval(np.asarray(values, float), bounds=(0.0, None), counts=True)
    assert r.low == pytest.approx(low, abs=0.02) and r.high == pytest.approx(high, abs=0.02)
    assert 0.0 <= r.low <= r.mean <= r.high
    plain = metric_interval(np.asarray(values, float), bounds=(0.0, None))
    assert plain.low >= r.low and plain.high <= r.high  # the counts' band only ever widens


def test_counts_must_be_whole_and_not_negative():
    with pytest.raises(StudyError, match="whole numbers"):
        metric_interval([0.5, 1.0, 2.0], counts=True)


def test_small_samples_bootstrap_about_as_wide_as_t():
    x = np.random.default_rng(4).normal(10, 1, 8)
    boot, t = bootstrap_interval(x, seed=3), t_interval(x)
    assert (boot[2] - boot[1]) == pytest.approx(t[2] - t[1], rel=0.25)  # the plain percentile band is ~30% narrower
